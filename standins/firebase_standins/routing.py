"""Sending a module's production Firebase requests to the loopback stand-ins.

`route(module, base_url)` rebinds `module.httpx` to a shim whose
`AsyncClient()` returns a real `httpx.AsyncClient`. Its transport sends
requests for the Firebase hosts to the stand-in server over a real socket,
keeping the production host name in the Host header (the server dispatches
on it), and refuses every other host with `httpx.ConnectError`. Everything
else read from the shim (HTTPStatusError, Response, ...) is the real httpx.
"""

from __future__ import annotations

import contextlib

import httpx

IDENTITY_HOST = "identitytoolkit.googleapis.com"
SECURE_TOKEN_HOST = "securetoken.googleapis.com"
FIRESTORE_HOST = "firestore.googleapis.com"
FUNCTIONS_DOMAIN = "cloudfunctions.net"
ROUTED_HOSTS = (IDENTITY_HOST, SECURE_TOKEN_HOST, FIRESTORE_HOST, "*." + FUNCTIONS_DOMAIN)


def is_routed(host: str) -> bool:
    host = host.lower()
    return (host in (IDENTITY_HOST, SECURE_TOKEN_HOST, FIRESTORE_HOST)
            or host.endswith("." + FUNCTIONS_DOMAIN))


def _base_url(target) -> httpx.URL:
    return httpx.URL(getattr(target, "base_url", target))


class LoopbackTransport(httpx.AsyncBaseTransport):
    """Sends the Firebase hosts to the stand-ins; refuses anything else."""

    def __init__(self, base_url):
        self.base_url = _base_url(base_url)
        self._inner = httpx.AsyncHTTPTransport()

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        if not is_routed(request.url.host):
            raise httpx.ConnectError(
                f"stand-in routing refuses {request.url.scheme}://{request.url.host}:"
                " not a Firebase service host", request=request)
        # The Host header still names the production host: the one server
        # tells the services apart by it. The client puts the original request
        # (with its production URL) on the response.
        url = request.url.copy_with(scheme=self.base_url.scheme, host=self.base_url.host,
                                    port=self.base_url.port)
        loopback = httpx.Request(request.method, url, headers=request.headers,
                                 stream=request.stream, extensions=request.extensions)
        return await self._inner.handle_async_request(loopback)

    async def aclose(self) -> None:
        await self._inner.aclose()


class HttpxShim:
    """Stands where a module expects the httpx module."""

    def __init__(self, base_url, original):
        self.base_url = _base_url(base_url)
        self.original = original  # what the module had bound before routing
        self.clients_made = 0

    def AsyncClient(self) -> httpx.AsyncClient:  # noqa: N802 (httpx's name)
        self.clients_made += 1
        return httpx.AsyncClient(transport=LoopbackTransport(self.base_url))

    def __getattr__(self, name):
        return getattr(httpx, name)

    def __repr__(self) -> str:
        return f"<httpx routed to {self.base_url}>"


_MISSING = object()


def route(module, base_url) -> HttpxShim:
    """Rebind `module.httpx` so that the module's requests reach the stand-ins
    at `base_url` (a URL, or anything with a `base_url`, such as a
    ServicesThread). Returns the shim."""
    current = module.__dict__.get("httpx", _MISSING)
    if isinstance(current, HttpxShim):
        current = current.original
    shim = HttpxShim(base_url, current)
    module.httpx = shim
    return shim


def unroute(module) -> None:
    """Give the module back the httpx binding it had before `route`."""
    current = module.__dict__.get("httpx", _MISSING)
    if not isinstance(current, HttpxShim):
        return
    if current.original is _MISSING:
        del module.httpx
    else:
        module.httpx = current.original


@contextlib.contextmanager
def routed(module, base_url):
    """`with routed(module, svc):` routes for the block."""
    shim = route(module, base_url)
    try:
        yield shim
    finally:
        unroute(module)
