"""Sending a module's production Firebase requests to local services.

`route(module, base_url)` rebinds `module.httpx` to a shim whose
`AsyncClient()` returns a real `httpx.AsyncClient`. Its transport sends
requests for the Firebase hosts to the stand-in server over a real socket,
keeping the production host name in the Host header (the server dispatches
on it), and refuses every other host with `httpx.ConnectError`. Everything
else read from the shim (HTTPStatusError, Response, ...) is the real httpx.

`route(module, base_url, emulator="127.0.0.1:9099")` sends the identity and
secure-token hosts to the official Firebase Auth emulator instead, the way
the Firebase SDKs address it:

    https://identitytoolkit.googleapis.com/v1/accounts:signUp?key=K
        -> http://127.0.0.1:9099/identitytoolkit.googleapis.com/v1/accounts:signUp?key=K

and the document and functions hosts to the stand-ins at `base_url` (which
may then be None: those requests are refused).

`functions_emulator="127.0.0.1:5001"` sends the functions hosts to the
official Functions emulator, which serves a function under its project and
region:

    https://europe-west1-demo-p.cloudfunctions.net/v1_echo
        -> http://127.0.0.1:5001/demo-p/europe-west1/v1_echo

The request on every response (and so in every HTTPStatusError) keeps its
production URL.
"""

from __future__ import annotations

import contextlib
import re
import ssl

import httpx

IDENTITY_HOST = "identitytoolkit.googleapis.com"
SECURE_TOKEN_HOST = "securetoken.googleapis.com"
FIRESTORE_HOST = "firestore.googleapis.com"
FUNCTIONS_DOMAIN = "cloudfunctions.net"
ROUTED_HOSTS = (IDENTITY_HOST, SECURE_TOKEN_HOST, FIRESTORE_HOST, "*." + FUNCTIONS_DOMAIN)
# The hosts that the Auth emulator serves, under a path prefix of their name.
EMULATED_HOSTS = (IDENTITY_HOST, SECURE_TOKEN_HOST)
# REGION-PROJECT.cloudfunctions.net; a region is "europe-west1", "us-central1", ...
FUNCTIONS_HOST = re.compile(r"([a-z]+-[a-z]+\d+)-(.+)\." + re.escape(FUNCTIONS_DOMAIN))


# Every loopback transport shares one TLS context: making one loads the CA
# certificates, some milliseconds for every client the module opens, and
# the loopback is plain HTTP anyway.
_TLS = ssl.create_default_context()


def is_routed(host: str) -> bool:
    host = host.lower()
    return (host in (IDENTITY_HOST, SECURE_TOKEN_HOST, FIRESTORE_HOST)
            or host.endswith("." + FUNCTIONS_DOMAIN))


def _base_url(target) -> httpx.URL | None:
    if target is None:
        return None
    return httpx.URL(getattr(target, "base_url", target))


def emulator_url(address) -> httpx.URL | None:
    """The emulator's base URL from "HOST:PORT" (the form of
    FIREBASE_AUTH_EMULATOR_HOST), "http://HOST:PORT", or anything with a
    `base_url`; None for no emulator."""
    if address is None:
        return None
    text = str(getattr(address, "base_url", address)).rstrip("/")
    if "://" not in text:
        text = "http://" + text
    return httpx.URL(text)


class LoopbackTransport(httpx.AsyncBaseTransport):
    """Sends the Firebase hosts to the stand-ins, or to the official
    emulators given for them; refuses anything else."""

    def __init__(self, base_url, emulator=None, functions_emulator=None, **pool):
        self.base_url = _base_url(base_url)
        self.emulator, self.functions_emulator = map(emulator_url, (emulator, functions_emulator))
        self._inner = httpx.AsyncHTTPTransport(verify=_TLS, **pool)

    def _refuse(self, request: httpx.Request, why: str):
        raise httpx.ConnectError(
            f"stand-in routing refuses {request.url.scheme}://{request.url.host}: {why}",
            request=request)

    def _emulated(self, request: httpx.Request, host: str):
        """The emulator and the path that serve `host`, or None."""
        if self.emulator is not None and host in EMULATED_HOSTS:
            # The Auth emulator serves each host under a path prefix of its name.
            return self.emulator, f"/{host}{request.url.path}"
        if self.functions_emulator is not None and host.endswith("." + FUNCTIONS_DOMAIN):
            found = FUNCTIONS_HOST.fullmatch(host)
            if found is None:
                self._refuse(request, "not a REGION-PROJECT functions host")
            region, project = found.groups()
            return self.functions_emulator, f"/{project}/{region}{request.url.path}"
        return None

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        host = request.url.host.lower()
        if not is_routed(host):
            self._refuse(request, "not a Firebase service host")
        emulated = self._emulated(request, host)
        if emulated is not None:
            target, path = emulated
            url = request.url.copy_with(scheme=target.scheme, host=target.host,
                                        port=target.port, path=path)
            headers = httpx.Headers(request.headers)
            headers["Host"] = target.netloc.decode("ascii")
        else:
            if self.base_url is None:
                self._refuse(request, "no stand-in is running for it (only the hosts "
                             "of the emulators given go to them)")
            # The Host header still names the production host: the one server
            # tells the services apart by it.
            url = request.url.copy_with(scheme=self.base_url.scheme, host=self.base_url.host,
                                        port=self.base_url.port)
            headers = request.headers
        # The client puts the original request (with its production URL) on
        # the response.
        loopback = httpx.Request(request.method, url, headers=headers,
                                 stream=request.stream, extensions=request.extensions)
        return await self._inner.handle_async_request(loopback)

    async def aclose(self) -> None:
        await self._inner.aclose()


class HttpxShim:
    """Stands where a module expects the httpx module."""

    def __init__(self, base_url, original, emulator=None, functions_emulator=None):
        self.base_url = _base_url(base_url)
        self.emulator, self.functions_emulator = map(emulator_url, (emulator, functions_emulator))
        self.original = original  # what the module had bound before routing
        self.clients_made = 0

    def transport(self, **pool) -> httpx.AsyncBaseTransport:
        return LoopbackTransport(self.base_url, self.emulator, self.functions_emulator, **pool)

    def AsyncClient(self, **pool) -> httpx.AsyncClient:  # noqa: N802 (httpx's name)
        """A client on a new transport; `limits=httpx.Limits(...)` sizes its
        connection pool, as it would httpx's own client's."""
        self.clients_made += 1
        return httpx.AsyncClient(transport=self.transport(**pool))

    def __getattr__(self, name):
        return getattr(httpx, name)

    def __repr__(self) -> str:
        targets = [f"{what} at {where}" for what, where in (
            ("stand-ins", self.base_url), ("Auth emulator", self.emulator),
            ("Functions emulator", self.functions_emulator)) if where is not None]
        return f"<httpx routed to {' and '.join(targets) or 'nothing'}>"


_MISSING = object()


def under_pools(binding):
    """The binding under those that tavrin.firebase_pool stacks on it (each
    names the binding it stands on as `pooled_over`)."""
    while (under := getattr(binding, "pooled_over", None)) is not None:
        binding = under
    return binding


def _routing_under(binding):
    """The routing under the pools stacked on it: routing that is replaced
    or removed takes the pools above it along. Else `binding`."""
    below = under_pools(binding)
    return below if isinstance(below, HttpxShim) else binding


def route(module, base_url=None, *, emulator=None, functions_emulator=None) -> HttpxShim:
    """Rebind `module.httpx` so that the module's requests reach the
    stand-ins at `base_url` (a URL, or anything with a `base_url`, such as a
    ServicesThread); when `emulator` is given ("HOST:PORT", a URL or
    anything with a `base_url`), its identity and secure-token requests reach
    that Firebase Auth emulator instead, and when `functions_emulator` is
    given, its function calls reach that Functions emulator. Returns the
    shim."""
    if base_url is None and emulator is None and functions_emulator is None:
        raise TypeError("route() needs the stand-ins' base_url, an emulator, or both")
    current = _routing_under(module.__dict__.get("httpx", _MISSING))
    if isinstance(current, HttpxShim):
        current = current.original
    shim = HttpxShim(base_url, current, emulator, functions_emulator)
    module.httpx = shim
    return shim


def unroute(module) -> None:
    """Give the module back the httpx binding it had before `route`."""
    current = _routing_under(module.__dict__.get("httpx", _MISSING))
    if not isinstance(current, HttpxShim):
        return
    if current.original is _MISSING:
        del module.httpx
    else:
        module.httpx = current.original


def rebind(module, binding) -> None:
    """Bind `module.httpx` to `binding`, or take it away for _MISSING."""
    if binding is _MISSING:
        module.__dict__.pop("httpx", None)
    else:
        module.httpx = binding


@contextlib.contextmanager
def routed(module, base_url=None, *, emulator=None, functions_emulator=None):
    """`with routed(module, svc):` (or `routed(module, svc, emulator=...)`)
    routes for the block, then gives back exactly the binding it found, so
    that nested blocks unwind in order."""
    before = module.__dict__.get("httpx", _MISSING)
    shim = route(module, base_url, emulator=emulator, functions_emulator=functions_emulator)
    try:
        yield shim
    finally:
        rebind(module, before)
