"""A hand-made httpx for the reliability checks: no sockets; each request's
outcome is the next of `plan` ("ok" when empty): "ok" (one suspension, then a
reply whose json() is REPLY), "empty" (the reply {}), a status such as "400"
(raise_for_status() raises), "refused" (httpx.ConnectError), "notjson" (json()
raises), "hold" (yields "hold" until something is thrown in), "loop" (waits on
a future that never completes), "int" (5, not awaitable), or any object (the
request is that object); every error is a fresh one."""
import asyncio
import json

import httpx

import support

REQUEST = httpx.Request("GET", "https://firestore.googleapis.com/v1/x")
REPLY = {"idToken": "t", "users": [{"localId": "u"}], "id_token": None, "refresh_token": "rt"}


def token(exp):
    """An ID token whose claims segment holds `exp`."""
    return support.jwt({"exp": exp})


class Exchange:
    """One planned request: an awaitable that gives itself as the response."""

    def __init__(self, outcome, reply=REPLY):
        self.outcome, self.reply = outcome, reply

    def __await__(self):
        if self.outcome == "loop":
            yield from asyncio.get_running_loop().create_future().__await__()
        yield "pause"
        while self.outcome == "hold":
            yield "hold"
        if self.outcome == "refused":
            raise httpx.ConnectError("refused", request=REQUEST)
        return self

    def raise_for_status(self):
        if self.outcome.isdigit():
            raise httpx.HTTPStatusError(f"status {self.outcome}", request=REQUEST,
                                        response=httpx.Response(int(self.outcome), request=REQUEST))

    def json(self):
        if self.outcome == "notjson":
            raise json.JSONDecodeError("Expecting value", "", 0)
        return {} if self.outcome == "empty" else self.reply


class Httpx:
    """Stands where the module expects the httpx module; it is its own client."""
    HTTPStatusError = httpx.HTTPStatusError

    def __init__(self):
        self.plan, self.opened, self.closed = [], 0, 0

    def AsyncClient(self):  # noqa: N802 (httpx's name)
        self.opened += 1
        return self

    async def __aenter__(self):
        return self

    async def __aexit__(self, *exc_info):
        self.closed += 1

    def request(self, url, **kwargs):
        outcome = self.plan.pop(0) if self.plan else "ok"
        if not isinstance(outcome, str):
            return outcome
        return 5 if outcome == "int" else Exchange(outcome)

    post = get = put = patch = delete = request


def drive(coro):
    """Sends None until the coroutine finishes; its result."""
    try:
        while True:
            coro.send(None)
    except StopIteration as stop:
        return stop.value


DATA = {"a": {"stringValue": "x"}, "b": {"booleanValue": False}}
# One call of each network operation (trigger_function: plain, sealed, and
# sealed with the session validated first and headers in other spellings).
OPS = [
    ("auth_sign_in", ("a@b.c", "pw")), ("auth_sign_up", ("a@b.c", "pw")),
    ("verify_email", ("tok",)), ("send_password_reset_email", ("a@b.c",)),
    ("get_auth_user_data", ("tok",)), ("create_document", ("notes", "n1", DATA, "tok")),
    ("create_document", ("notes", None, DATA, "tok")), ("get_document", ("notes/n1", "tok")),
    ("overwrite_document", ("notes/n1", DATA, "tok")),
    ("update_document", ("notes/n1", DATA, "tok")), ("delete_document", ("notes/n1", "tok")),
    ("refresh_id_token", ("rt",)),
    ("trigger_function", ("echo", {"x": 1}, False, None, 30.0, False)),
    ("trigger_function", ("echo", {"x": 1})),
    ("trigger_function", ("echo", {"x": 1}, True,
                          {"x-tavrin-auth": "a", "x-tavrin-encrypted": "no", 1: "b",
                           b"authorization": b"c", b"X-Tavrin-Encrypted": b"d", b"\xe9": b"e"},
                          None)),
]
