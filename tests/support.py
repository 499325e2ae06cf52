"""Shared helpers: key pair, traceback entries, and hand-made HTTP clients."""
import asyncio
import base64
import json
import traceback
import types

import httpx

SOURCE = "tavrin/firebase"
IDENTITY = "https://identitytoolkit.googleapis.com/v1/accounts:"

# The test key pair; env.py carries the public half.
PRIVATE_KEY_B64 = "JYzqGgsmGeV8rcOxpgaLhf/9fkM8bChKkd89hmJAJKA="
PUBLIC_KEY_B64 = "FT7CJ/xxo2zYXwB9JK9ZfGvf9t68r1Xlj+G5b2/b3WE="

fb = None  # the module under test, set by the fb fixture


def entries(exc):
    """The module's traceback entries of exc, outermost first, as (name, line)."""
    return [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.filename == SOURCE]


def jwt(claims):
    """An ID token whose claims segment holds `claims` (no padding)."""
    body = base64.urlsafe_b64encode(json.dumps(claims).encode()).decode().rstrip("=")
    return "e30." + body + ".sig"


class Formatted:
    """Formats as `text` followed by format_spec; fails when `text` is None."""

    def __init__(self, text):
        self.text = text

    def __format__(self, format_spec):
        if self.text is None:
            raise LookupError("no text")
        return self.text + format_spec


class StrSub(str):
    """A str whose formatted text is not its own."""

    def __format__(self, format_spec):
        return "via-format"


class Touchy(str):
    """A token that cannot be compared."""

    def __eq__(self, other):
        raise RuntimeError("no comparing")

    __hash__ = str.__hash__


class FakeResponse:
    def __init__(self, log, payload=None, status_error=None, json_error=None):
        self.log, self.payload = log, payload
        self.status_error, self.json_error = status_error, json_error

    def raise_for_status(self, *args):
        self.log.append(("raise_for_status", args))
        if self.status_error is not None:
            raise self.status_error

    def json(self, *args):
        self.log.append(("json", args))
        if self.json_error is not None:
            raise self.json_error
        return self.payload


class Suspend:
    """Yields each of `yields`, then returns `result` (or raises `error`);
    logs what it is sent and what is thrown into it."""

    def __init__(self, log, yields=("y1",), result=None, error=None):
        self.log, self.yields, self.result, self.error = log, yields, result, error

    def __await__(self):
        try:
            for value in self.yields:
                got = yield value
                self.log.append(("got", got))
        except BaseException as e:
            self.log.append(("delegate", type(e).__name__))
            raise
        if self.error is not None:
            raise self.error
        return self.result


class FakeClient:
    """A client with async context methods; each request method logs its call
    and returns `request` (an awaitable, or a callable making one)."""

    def __init__(self, log, request=None, suppress=False, entered=None, exit=None):
        self.log, self.request, self.suppress = log, request, suppress
        self.entered, self.exit_awaitable = entered, exit

    async def __aenter__(self, *args):
        self.log.append(("enter", args))
        return self if self.entered is None else self.entered

    def __aexit__(self, *args):
        self.log.append(("exit",) + args)
        if self.exit_awaitable is not None:
            return self.exit_awaitable

        async def done():
            return self.suppress
        return done()

    def _call(self, method, url, kw):
        self.log.append((method, url, kw))
        return self.request() if callable(self.request) else self.request


for _method in ("post", "get", "put", "patch", "delete"):
    setattr(FakeClient, _method, lambda self, url, _m=_method, **kw: self._call(_m, url, kw))


class FakeHttpx:
    """Stands in for the httpx module: AsyncClient() hands out queued clients."""

    def __init__(self):
        self.log, self.calls, self.queue = [], [], []

    def client(self, **kw):
        self.queue.append(FakeClient(self.log, **kw))
        return self.queue[-1]

    def response(self, **kw):
        return FakeResponse(self.log, **kw)

    def AsyncClient(self, *args, **kw):
        self.calls.append((args, kw))
        return self.queue.pop(0)


class MockHttpx:
    """Stands in for the httpx module with real clients on a MockTransport."""

    HTTPStatusError = httpx.HTTPStatusError

    def __init__(self):
        self.clients, self.requests = [], []
        self.handler = lambda request: httpx.Response(200, json={})

    def _handle(self, request):
        self.requests.append(request)
        return self.handler(request)

    def AsyncClient(self):
        client = httpx.AsyncClient(transport=httpx.MockTransport(self._handle))
        self.clients.append(client)
        return client


async def auth_sign_in(email, password):
    """A native coroutine doing what the module's auth_sign_in does; the
    protocol checks run against both."""
    payload = {"email": email, "password": password, "returnSecureToken": True}
    url = f"{IDENTITY}signInWithPassword?key={fb.FIREBASE_API_KEY}"
    async with fb.httpx.AsyncClient() as client:
        response = await client.post(url, json=payload)
        response.raise_for_status()
        return response.json()


async def _await_twice(coro):
    await coro
    await coro


def drive(coro, ops):
    """The outcome of each operation on a coroutine: ("yielded", value),
    ("returned", StopIteration's args), ("closed", result) or ("raised", type,
    message, exception). Operations: send, throw, close; next and list over a
    new __await__ wrapper; wnext, wsend, wthrow, wclose on one kept wrapper;
    "await twice" from a native coroutine."""
    got, wrapper = [], None
    for op, *args in ops:
        if op.startswith("w"):
            wrapper = wrapper or coro.__await__()
        target = wrapper if op.startswith("w") else coro
        try:
            if op in ("send", "throw", "wsend", "wthrow"):
                value = getattr(target, op.removeprefix("w"))(*args)
            elif op in ("close", "wclose"):
                got.append(("closed", target.close()))
                continue
            elif op == "wnext":
                value = next(wrapper)
            elif op in ("next", "list"):
                value = (next if op == "next" else list)(coro.__await__())
            else:
                value = _await_twice(coro).send(None)
            got.append(("yielded", value))
        except StopIteration as stop:
            got.append(("returned", stop.args))
        except BaseException as exc:  # noqa: B036 (every outcome is recorded)
            got.append(("raised", type(exc), str(exc), exc))
    return got


def account(svc, email, password="secret-1"):
    """A new account at the stand-ins, with an ID token and a refresh token."""
    created = svc.accounts.create(email, password)
    return types.SimpleNamespace(
        uid=created.local_id, email=created.email,
        id_token=svc.make_id_token(created.local_id),
        refresh_token=svc.accounts.issue_refresh_token(created))


def service_error(exc):
    """(status code, message, status text or None) of the error reply that an
    HTTPStatusError carries."""
    error = exc.response.json()["error"]
    return exc.response.status_code, error["message"], error.get("status")


def sender(target, **emulators):
    """send(method, url, **kwargs): one request through a client routed to the
    stand-ins `target` (and to the emulators given, as route takes them)."""
    from firebase_standins import route
    module = types.ModuleType("caller")
    module.httpx = httpx
    route(module, target, **emulators)

    async def go(method, url, kwargs):
        async with module.httpx.AsyncClient() as client:
            return await client.request(method, url, **kwargs)
    return lambda method, url, **kwargs: asyncio.run(go(method, url, kwargs))


def record_status_errors(monkeypatch):
    """The list of the HTTPStatusErrors that Response.raise_for_status raises from now on."""
    raised, original = [], httpx.Response.raise_for_status

    def recording(self):
        try:
            return original(self)
        except httpx.HTTPStatusError as e:
            raised.append(e)
            raise
    monkeypatch.setattr(httpx.Response, "raise_for_status", recording)
    return raised
