"""Requests and replies as the services see them, and Google's error format."""

from __future__ import annotations

import datetime
import json
from dataclasses import dataclass, field
from urllib.parse import parse_qs

JSON_TYPE = "application/json; charset=UTF-8"


@dataclass
class Request:
    """One request as a stand-in received it (svc.requests holds them all)."""

    method: str
    host: str  # the production host named by the Host header, lower case, no port
    path: str  # without the query
    query: dict[str, list[str]]
    headers: dict[str, str]  # names in lower case
    body: bytes
    target: str = ""  # the request target as received (path and query)

    @classmethod
    def parse(cls, method: str, target: str, headers: dict[str, str], body: bytes) -> Request:
        path, _, query = target.partition("?")
        host = headers.get("host", "").lower()
        if host.startswith("["):  # [v6 address]:port
            host = host[: host.find("]") + 1]
        else:
            host = host.rsplit(":", 1)[0] if ":" in host else host
        return cls(method, host, path,
                   parse_qs(query, keep_blank_values=True), headers, body, target)

    def param(self, name: str) -> str | None:
        values = self.query.get(name)
        return values[0] if values else None

    def header(self, name: str) -> str | None:
        return self.headers.get(name.lower())

    def json(self):
        """The body parsed as JSON; ValueError when it is not JSON."""
        return json.loads(self.body.decode("utf-8"))


@dataclass
class Response:
    status: int
    body: bytes = b""
    content_type: str = JSON_TYPE
    headers: list[tuple[str, str]] = field(default_factory=list)


def json_response(value, status: int = 200) -> Response:
    return Response(status, json.dumps(value, indent=2).encode("utf-8") + b"\n")


STATUS_NAMES = {
    400: "INVALID_ARGUMENT",
    401: "UNAUTHENTICATED",
    403: "PERMISSION_DENIED",
    404: "NOT_FOUND",
    409: "ALREADY_EXISTS",
    500: "INTERNAL",
}


class ServiceError(Exception):
    """Raised by a service handler; becomes a Google-style error reply."""

    def __init__(self, code: int, message: str, *, reason: str = "invalid",
                 status: str | None = None, details: list | None = None,
                 errors: bool = True):
        super().__init__(message)
        self.code = code
        self.message = message
        self.reason = reason
        self.status = status
        self.details = details
        self.errors = errors

    def response(self) -> Response:
        error: dict = {"code": self.code, "message": self.message}
        if self.errors:
            error["errors"] = [{"message": self.message, "domain": "global",
                                "reason": self.reason}]
        if self.status:
            error["status"] = self.status
        if self.details:
            error["details"] = self.details
        return json_response({"error": error}, self.code)


def not_found(request: Request) -> ServiceError:
    """What Google's front end answers for a method and path that no
    operation of the service is bound to (a PUT to a document among them)."""
    return ServiceError(404, "Method not found.", status="NOT_FOUND", errors=False)


API_KEY_INVALID = "API key not valid. Please pass a valid API key."
# What the Auth emulator answers for a request without a key.
API_KEY_MISSING = "The request is missing a valid API key."


def check_api_key(request: Request, api_key: str, host: str) -> None:
    """Refuses a request whose `key` query parameter is missing or is not
    `api_key`, as the Google front end of `host` refuses it. (The Auth
    emulator takes any key, but refuses a missing one the same way.)"""
    key = request.param("key")
    if key is None:
        raise ServiceError(403, API_KEY_MISSING, reason="forbidden",
                           status="PERMISSION_DENIED")
    if key != api_key:
        raise ServiceError(400, API_KEY_INVALID, reason="badRequest",
                           status="INVALID_ARGUMENT", details=[
                               {"@type": "type.googleapis.com/google.rpc.ErrorInfo",
                                "reason": "API_KEY_INVALID",
                                "domain": "googleapis.com",
                                "metadata": {"service": host}},
                               {"@type": "type.googleapis.com/google.rpc.LocalizedMessage",
                                "locale": "en-US",
                                "message": API_KEY_INVALID},
                           ])


def rfc3339(seconds: float, digits: int = 3) -> str:
    """A UTC time as the services write it, with `digits` (3, 6 or 9)
    fractional digits: 2026-12-06T08:00:00.123Z."""
    whole = int(seconds // 1)
    nanos = int(round((seconds - whole) * 1e9))
    if nanos >= 1_000_000_000:
        whole, nanos = whole + 1, nanos - 1_000_000_000
    stamp = datetime.datetime.fromtimestamp(whole, datetime.timezone.utc)
    fraction = f"{nanos:09d}"[:digits]
    return stamp.strftime("%Y-%m-%dT%H:%M:%S") + (("." + fraction) if digits else "") + "Z"


class Service:
    """One stand-in service. Subclasses set `hosts` (or override `handles`)
    and `routes`, a map of (method, path) to the name of a handler method
    taking the request and returning a reply (or raising ServiceError)."""

    hosts: tuple[str, ...] = ()
    routes: dict[tuple[str, str], str] = {}

    def __init__(self, services):
        self.services = services
        self.config = services.config

    def handles(self, host: str) -> bool:
        return host in self.hosts

    def handle(self, request: Request) -> Response:
        name = self.routes.get((request.method, request.path))
        if name is None:
            raise not_found(request)
        return getattr(self, name)(request)
