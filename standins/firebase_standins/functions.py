"""Stand-in of the application's HTTPS Cloud Functions (*.cloudfunctions.net).

A function is addressed as production addresses it:

    POST https://REGION-PROJECT.cloudfunctions.net/VERSION_NAME

and each call goes through these checks, in order:

    host is not REGION-PROJECT of the configuration's   404 "Not Found"
    project
    no function VERSION_NAME in the region              404 "Function REGION-VERSION_NAME
                                                        does not exist, valid functions
                                                        are: ..."
    a method other than POST                            405 METHOD_NOT_ALLOWED
    the fixed authentication header missing             401 UNAUTHENTICATED
    ... or not the configured value                     403 PERMISSION_DENIED
    encryption header "true": the body is base64 of a sealed box, opened
    with the server's private key; when it cannot be    400 INVALID_ARGUMENT
    otherwise the body is JSON; when it is not          400 INVALID_ARGUMENT

then the function runs. "Authorization: Bearer ID_TOKEN" is optional: a good
ID token of the identity stand-in gives the call its `uid`, anything else
leaves it None. The 404s are plain text, as the official Functions emulator
answers them; the other errors are JSON: {"error": {"code", "message",
"status"}}.

Two functions are always there:

    VERSION_echo   200 {"echo": payload, "encrypted": bool, "uid": uid or None}
    VERSION_fail   500 {"error": {...}}, or the status the payload names
                   ({"status": 503}, any of 400 to 599)

More are added with `svc.functions.register(name, handler)`. Every call that
reaches the functions domain is recorded (`svc.functions.calls`).
"""

from __future__ import annotations

import base64
import binascii
import json
import threading
import traceback
from dataclasses import dataclass, field
from typing import Any, Callable
from urllib.parse import unquote

import nacl.exceptions
import nacl.public

from . import jwt
from .routing import FUNCTIONS_DOMAIN as DOMAIN, FUNCTIONS_HOST
from .wire import STATUS_NAMES, Request, Response, Service, ServiceError, json_response

# The content types of the Functions emulator's two 404s.
UNKNOWN_PROJECT_TYPE = "text/plain; charset=utf-8"
UNKNOWN_FUNCTION_TYPE = "text/html; charset=utf-8"


class FunctionError(Exception):
    """Raised by a function handler: answered as {"error": {...}} with `code`."""

    def __init__(self, code: int, message: str, status: str | None = None):
        super().__init__(message)
        self.code = code
        self.message = message
        self.status = status or STATUS_NAMES.get(code) or ("INTERNAL" if code >= 500 else "UNKNOWN")

    def service_error(self) -> ServiceError:
        return ServiceError(self.code, self.message, status=self.status, errors=False)


@dataclass
class FunctionCall:
    """One request to the functions domain, as received and as answered."""

    host: str
    method: str
    name: str  # the path without its "/", percent-decoded: "v1_echo"
    headers: dict[str, str]  # names in lower case
    body: bytes  # the raw body
    encrypted: bool = False  # the encryption header said "true"
    plaintext: bytes | None = None  # the opened sealed box, or the plain body
    payload: Any = None  # the decoded JSON payload (None when refused before)
    uid: str | None = None  # the account of a good bearer ID token
    status: int = 0  # the status answered
    reply: Any = None  # the JSON answered
    error: str | None = None  # the message of a refusal or failure

    def header(self, name: str) -> str | None:
        return self.headers.get(name.lower())


Handler = Callable[[FunctionCall], Any]


def echo(call: FunctionCall) -> dict:
    return {"echo": call.payload, "encrypted": call.encrypted, "uid": call.uid}


def fail(call: FunctionCall):
    code = 500
    if isinstance(call.payload, dict) and call.payload.get("status") is not None:
        code = call.payload["status"]
        if type(code) is not int or not 400 <= code <= 599:
            raise FunctionError(400, f"status must be an int from 400 to 599, not {code!r}")
    raise FunctionError(code, f"The function failed as asked (status {code}).")


class Functions:
    """The functions the stand-in serves and the calls it received.

        svc.functions.register("greet", lambda call: {"hello": call.payload["name"]})
        svc.functions.calls                 # every call, oldest first
        svc.functions.calls_to("v1_echo")   # the calls of one function (full name)
        svc.functions.last()                # the latest call, or None

    A handler takes the FunctionCall and returns the JSON value of a 200
    reply, or a wire.Response, or raises FunctionError(code, message).
    """

    def __init__(self, config):
        self._config = config
        self._lock = threading.Lock()
        self._handlers: dict[str, Handler] = {}
        self._calls: list[FunctionCall] = []
        self.register("echo", echo)
        self.register("fail", fail)

    def full_name(self, name: str) -> str:
        return f"{self._config.api_version}_{name}"

    def register(self, name: str, handler: Handler, *, versioned: bool = True) -> Handler:
        """Serves `handler` at /VERSION_NAME (at /NAME when not `versioned`);
        replaces a function of that name. Returns the handler."""
        with self._lock:
            self._handlers[self.full_name(name) if versioned else name] = handler
        return handler

    def unregister(self, name: str, *, versioned: bool = True) -> None:
        with self._lock:
            self._handlers.pop(self.full_name(name) if versioned else name, None)

    def handler(self, full_name: str) -> Handler | None:
        with self._lock:
            return self._handlers.get(full_name)

    def names(self) -> list[str]:
        with self._lock:
            return sorted(self._handlers)

    def record(self, call: FunctionCall) -> None:
        with self._lock:
            self._calls.append(call)

    @property
    def calls(self) -> list[FunctionCall]:
        with self._lock:
            return list(self._calls)

    def calls_to(self, full_name: str) -> list[FunctionCall]:
        return [c for c in self.calls if c.name == full_name]

    def last(self) -> FunctionCall | None:
        with self._lock:
            return self._calls[-1] if self._calls else None

    def clear(self) -> None:
        with self._lock:
            self._calls.clear()


def error(code: int, message: str) -> ServiceError:
    return ServiceError(code, message, status=STATUS_NAMES.get(code, "INTERNAL"), errors=False)


class CloudFunctions(Service):
    def __init__(self, services):
        super().__init__(services)
        self._private_key = nacl.public.PrivateKey(
            base64.b64decode(self.config.server_private_key_b64, validate=True))

    @property
    def functions(self) -> Functions:
        return self.services.functions

    def handles(self, host: str) -> bool:
        return host.endswith("." + DOMAIN)

    def handle(self, request: Request) -> Response:
        call = FunctionCall(request.host, request.method, unquote(request.path.lstrip("/")),
                            dict(request.headers), request.body)
        self.functions.record(call)
        try:
            response = self.serve(request, call)
        except ServiceError as refusal:
            response = refusal.response()
            call.error = refusal.message
        except Exception as exc:  # a handler's bug: 500, and say what it was
            traceback.print_exc()
            call.error = f"function {call.name} raised {type(exc).__name__}: {exc}"
            response = error(500, call.error).response()
        call.status = response.status
        try:
            call.reply = json.loads(response.body) if response.body else None
        except ValueError:
            call.reply = response.body
        return response

    def serve(self, request: Request, call: FunctionCall) -> Response:
        # The Functions emulator's answers for what is not deployed: plain text.
        found = FUNCTIONS_HOST.fullmatch(request.host)
        if found is None or found.group(2) != self.config.project_id:
            return Response(404, b"Not Found", UNKNOWN_PROJECT_TYPE)
        region = found.group(1)
        handler = self.functions.handler(call.name) if region == self.config.region else None
        if handler is None:
            call.error = (f"Function {region}-{call.name} does not exist, valid functions are: "
                          + ", ".join(f"{self.config.region}-{name}"
                                      for name in self.functions.names()))
            return Response(404, call.error.encode(), UNKNOWN_FUNCTION_TYPE)
        if request.method != "POST":
            raise ServiceError(405, f"Function {call.name} takes POST, not {request.method}.",
                               status="METHOD_NOT_ALLOWED", errors=False)
        self.check_auth_header(request)
        call.encrypted = request.header(self.config.encryption_header_name) == "true"
        call.plaintext = self.open_body(request.body) if call.encrypted else request.body
        try:
            call.payload = json.loads(call.plaintext.decode("utf-8"))
        except ValueError as exc:
            what = "The opened sealed body" if call.encrypted else "The request body"
            raise error(400, f"{what} is not JSON: {exc}") from None
        call.uid = self.bearer_uid(request)
        try:
            result = handler(call)
        except FunctionError as failure:
            raise failure.service_error() from None
        if isinstance(result, Response):
            return result
        return json_response(result)

    def check_auth_header(self, request: Request) -> None:
        name = self.config.auth_header_name
        value = request.header(name)
        if value is None:
            raise error(401, f"Missing authentication header {name}.")
        if value != self.config.auth_key:
            raise error(403, f"Wrong value of the authentication header {name}.")

    def open_body(self, body: bytes) -> bytes:
        try:
            sealed = base64.b64decode(body, validate=True)
        except (binascii.Error, ValueError) as exc:
            raise error(400, f"The encrypted body is not base64: {exc}") from None
        try:
            return nacl.public.SealedBox(self._private_key).decrypt(sealed)
        except (nacl.exceptions.CryptoError, ValueError, TypeError) as exc:
            raise error(400, "The sealed body cannot be opened with the server's key:"
                             f" {exc or type(exc).__name__}") from None

    def bearer_uid(self, request: Request) -> str | None:
        scheme, _, token = (request.header("authorization") or "").strip().partition(" ")
        if scheme.lower() != "bearer" or not token.strip():
            return None
        try:
            return self.services.accounts.verify_id_token(token.strip())["user_id"]
        except jwt.InvalidToken:
            return None


__all__ = ["CloudFunctions", "FunctionCall", "FunctionError", "Functions", "echo", "fail"]
