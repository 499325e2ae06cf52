"""Stand-in of Cloud Firestore's REST interface (firestore.googleapis.com):
documents under /v1/projects/{project}/databases/(default)/documents/...

    POST   .../documents/{collection}[?documentId=ID]   create
    GET    .../documents/{collection}/{id}              read
    PATCH  .../documents/{collection}/{id}              replace (creates when absent)
    PATCH  ...?updateMask.fieldPaths=a&updateMask.fieldPaths=b
                                                        change only the named fields
    DELETE .../documents/{collection}/{id}              delete ({} also when absent)
    GET    .../documents/{collection}                   list

Path segments and query values are percent-decoded once (400 when the
bytes are not UTF-8); ids, field names and typed values that Firestore
refuses get its 400 INVALID_ARGUMENT (see "names and typed values"). A
mask entry is a field path ("a.b" reaches into map a, "`a.b`" names the
field "a.b") and a masked field that the body lacks is removed. Subcollections (c/id/sub/id2)
work the same way. Every request needs "Authorization: Bearer" with an ID
token of the identity stand-in for this project. The documents are kept in
memory (`Documents`) and can be read and written from Python:
`svc.documents.get("users", uid)`.
"""

from __future__ import annotations

import copy
import datetime
import json
import math
import re
import secrets
import string
import sys
import threading
from dataclasses import dataclass
from urllib.parse import parse_qs, unquote, unquote_to_bytes

from . import jwt
from .accounts import OtherProject
from .wire import Request, Response, Service, ServiceError, json_response, not_found, rfc3339

HOST = "firestore.googleapis.com"

UNAUTHENTICATED = (
    "Request had invalid authentication credentials. Expected OAuth 2 access token,"
    " login cookie or other valid authentication credential. See"
    " https://developers.google.com/identity/sign-in/web/devconsole-project.")
PERMISSION_DENIED = "Missing or insufficient permissions."

_PATH = re.compile(r"/v1/projects/([^/]+)/databases/([^/]+)/documents(?:/(.*))?")
_ID_ALPHABET = string.ascii_letters + string.digits
_VALUE_KINDS = ("nullValue", "booleanValue", "integerValue", "doubleValue", "timestampValue",
                "stringValue", "bytesValue", "referenceValue", "geoPointValue",
                "arrayValue", "mapValue")
_DOCUMENT_MEMBERS = ("name", "fields", "createTime", "updateTime")
# Query parameters each operation binds; "key" (an API key) is taken by all.
_PARAMS = {"create": {"documentId"}, "get": set(), "list": set(),
           "patch": {"updateMask.fieldPaths"}, "delete": set()}


def error(code: int, status: str, message: str) -> ServiceError:
    """Firestore's error shape: code, message and status, no "errors" list."""
    return ServiceError(code, message, status=status, errors=False)


def invalid(message: str) -> ServiceError:
    return error(400, "INVALID_ARGUMENT", message)


def strict_unquote(text: str) -> str:
    """Percent-decoded once; 400 when the bytes are not UTF-8."""
    try:
        return unquote_to_bytes(text).decode("utf-8")
    except UnicodeDecodeError:
        raise invalid(f'Resource id "{text}" is invalid: it is not valid UTF-8.') from None


def new_document_id() -> str:
    return "".join(secrets.choice(_ID_ALPHABET) for _ in range(20))


# ---- the store ---------------------------------------------------------------


@dataclass
class StoredDocument:
    fields: dict
    create_time: float
    update_time: float


def _path_text(parts) -> str:
    """'users/abc' from ("users", "abc") or ("users/abc",)."""
    return "/".join(str(p).strip("/") for p in parts)


class Documents:
    """The documents of the stand-in's one database, by path ("users/abc").
    Thread-safe; every value handed out is a copy.

        docs.get("users", uid)      # the document as the service returns it, or None
        docs.fields("users/" + uid) # just its fields, or None
        docs.set("users/abc", {"email": {"stringValue": "a@b.com"}})
        docs.delete("users", uid); docs.paths(); docs.clear()
    """

    def __init__(self, config, clock):
        self._config = config
        self._clock = clock
        self._lock = threading.Lock()
        self._docs: dict[str, StoredDocument] = {}

    def name(self, path: str) -> str:
        return f"projects/{self._config.project_id}/databases/(default)/documents/{path}"

    def _render(self, path: str, doc: StoredDocument) -> dict:
        # An empty map is left out of the reply, as the service leaves it out.
        rendered: dict = {"name": self.name(path)}
        if doc.fields:
            rendered["fields"] = copy.deepcopy(doc.fields)
        rendered["createTime"] = rfc3339(doc.create_time, 6)
        rendered["updateTime"] = rfc3339(doc.update_time, 6)
        return rendered

    def get(self, *path) -> dict | None:
        key = _path_text(path)
        with self._lock:
            doc = self._docs.get(key)
            return None if doc is None else self._render(key, doc)

    def fields(self, *path) -> dict | None:
        with self._lock:
            doc = self._docs.get(_path_text(path))
            return None if doc is None else copy.deepcopy(doc.fields)

    def set(self, path: str, fields: dict) -> dict:
        """Writes a whole document, as a PATCH without a mask does (and
        refuses what it refuses: ServiceError)."""
        return self.write(_path_text([path]), check_fields(fields), None)

    def delete(self, *path) -> bool:
        with self._lock:
            return self._docs.pop(_path_text(path), None) is not None

    def paths(self) -> list[str]:
        with self._lock:
            return sorted(self._docs)

    def clear(self) -> None:
        with self._lock:
            self._docs.clear()

    # Operations of the service.

    def create(self, path: str, fields: dict) -> dict:
        with self._lock:
            if path in self._docs:
                raise error(409, "ALREADY_EXISTS", f"Document already exists: {self.name(path)}")
            now = self._clock()
            doc = self._docs[path] = StoredDocument(copy.deepcopy(fields), now, now)
            return self._render(path, doc)

    def read(self, path: str) -> dict:
        with self._lock:
            doc = self._docs.get(path)
            if doc is None:
                raise error(404, "NOT_FOUND", f'Document "{self.name(path)}" not found.')
            return self._render(path, doc)

    def write(self, path: str, fields: dict, mask: list[list[str]] | None) -> dict:
        """Without a mask the document becomes `fields`; with one, each masked
        path takes its value from `fields`, or is removed when `fields` has
        none, and everything else stays. Creates the document when absent."""
        with self._lock:
            now = self._clock()
            doc = self._docs.get(path)
            if doc is None:
                doc = StoredDocument({}, now, now)
            if mask is None:
                doc.fields = copy.deepcopy(fields)
            else:
                for segments in mask:
                    found, value = _lookup(fields, segments)
                    if found:
                        _assign(doc.fields, segments, copy.deepcopy(value))
                    else:
                        _remove(doc.fields, segments)
            doc.update_time = now
            self._docs[path] = doc
            return self._render(path, doc)

    def documents_of(self, collection: str) -> list[dict]:
        prefix = collection + "/"
        with self._lock:
            return [self._render(p, d) for p, d in sorted(self._docs.items())
                    if p.startswith(prefix) and "/" not in p[len(prefix):]]


# Field paths: segments joined by ".". An unquoted segment is a simple name;
# any other name is quoted in backquotes, with \` and \\ escaped.
_SEGMENT = re.compile(r"`((?:[^`\\]|\\.)+)`|([a-zA-Z_][a-zA-Z_0-9]*)")


def parse_field_path(text: str) -> list[str]:
    segments, pos = [], 0
    while True:
        match = _SEGMENT.match(text, pos)
        if match is None or match.end() < len(text) and text[match.end()] != ".":
            raise invalid(
                f'Invalid property path "{text}". Unquoted property paths must match regex'
                " ([a-zA-Z_][a-zA-Z_0-9]*), and quoted property paths must match regex"
                " (`(?:[^`\\\\]|(?:\\\\.))+`)")
        quoted, plain = match.groups()
        segments.append(re.sub(r"\\(.)", r"\1", quoted) if quoted is not None else plain)
        pos = match.end() + 1
        if pos > len(text):
            return segments


def _lookup(fields: dict, segments: list[str]):
    value = None
    for i, segment in enumerate(segments):
        if not isinstance(fields, dict) or segment not in fields:
            return False, None
        value = fields[segment]
        if i + 1 < len(segments):
            fields = value.get("mapValue", {}).get("fields") if isinstance(value, dict) else None
    return True, value


def _assign(fields: dict, segments: list[str], value) -> None:
    for segment in segments[:-1]:
        holder = fields.get(segment)
        if not (isinstance(holder, dict) and "mapValue" in holder):
            holder = fields[segment] = {"mapValue": {}}
        fields = holder["mapValue"].setdefault("fields", {})
    fields[segments[-1]] = value


def _remove(fields: dict, segments: list[str]) -> None:
    holder = None
    for segment in segments[:-1]:
        holder = fields.get(segment)
        if not (isinstance(holder, dict) and "mapValue" in holder):
            return
        fields = holder["mapValue"].get("fields") or {}
    fields.pop(segments[-1], None)
    if holder is not None and not fields:  # an empty map has no "fields"
        holder["mapValue"].pop("fields", None)


# ---- names and typed values --------------------------------------------------
#
# What the service refuses with 400 INVALID_ARGUMENT, by its documented
# limits and the JSON mapping of its Value message: a value names one kind,
# in lowerCamelCase or as the message's field name; integers come back as
# text and timestamps in UTC with "Z", cut to microseconds; everything else
# is kept as sent.

_RESERVED = re.compile(r"__.*__", re.S)
_NAME_BYTES = 1500


def name_problem(name: str) -> str | None:
    """Why `name` cannot be a field name, or None (ids add their own rules)."""
    try:
        size = len(name.encode("utf-8"))
    except UnicodeEncodeError:
        return "is not valid UTF-8"
    if not name:
        return "is empty"
    if size > _NAME_BYTES:
        return f"is longer than {_NAME_BYTES} bytes"
    if _RESERVED.fullmatch(name):
        return "is reserved (__.*__)"
    return None


def check_id(segment: str) -> None:
    """A collection or document id."""
    problem = "contains '/'" if "/" in segment else \
        "is '.' or '..'" if segment in (".", "..") else name_problem(segment)
    if problem is not None:
        raise invalid(f'Resource id "{segment}" is invalid: it {problem}.')


def check_field_name(name: str, where: str) -> None:
    problem = name_problem(name)
    if problem is not None:
        raise invalid(f"Invalid field name at '{where}': \"{name}\" {problem}.")


def _bad(where: str, field: str, kind: str, inner):
    return invalid(f"Invalid JSON payload received. Invalid value at '{where}.{field}' "
                   f"({kind}), {json.dumps(inner)}")


_INT64 = range(-2**63, 2**63)
# Digits are ASCII digits only (re.ASCII): int() and float() take any
# Unicode digit, the service does not.
_DOUBLE_TEXT = re.compile(r"-?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?", re.ASCII)
_TIMESTAMP = re.compile(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(?:\.(\d{1,9}))?"
                        r"(Z|[-+]\d\d:\d\d)", re.ASCII)
_BASE64 = re.compile(r"[A-Za-z0-9+/_-]*")
_REFERENCE = re.compile(r"projects/[^/]+/databases/[^/]+/documents/(.+)")
_NULLS = (None, "NULL_VALUE", 0)


def _integer(inner):
    if isinstance(inner, str) and re.fullmatch(r"-?[0-9]+", inner):
        inner = int(inner)
    elif isinstance(inner, bool) or not isinstance(inner, int):
        return None
    return str(inner) if inner in _INT64 else None


def _double(inner):
    if isinstance(inner, str):
        ok = inner in ("NaN", "Infinity", "-Infinity") or (
            _DOUBLE_TEXT.fullmatch(inner) and math.isfinite(float(inner)))
    else:  # NaN and Infinity are text in JSON, never bare numbers; an
        # integer beyond every double is out of range (float() overflows)
        ok = isinstance(inner, (int, float)) and not isinstance(inner, bool) \
            and abs(inner) <= sys.float_info.max
    return inner if ok else None


def _timestamp(inner):
    """RFC 3339 with an offset, years 0001-9999, as UTC "Z" cut to microseconds."""
    found = _TIMESTAMP.fullmatch(inner) if isinstance(inner, str) else None
    if found is None:
        return None
    *parts, fraction, offset = found.groups()
    try:
        when = datetime.datetime(*map(int, parts), int((fraction or "0").ljust(6, "0")[:6]),
                                 tzinfo=datetime.UTC if offset == "Z" else
                                 datetime.datetime.strptime(offset, "%z").tzinfo)
        when = when.astimezone(datetime.UTC)
    except (ValueError, OverflowError):
        return None
    micros = when.microsecond
    digits = "" if not micros else f".{micros // 1000:03d}" if not micros % 1000 else \
        f".{micros:06d}"
    return when.replace(tzinfo=None, microsecond=0).isoformat() + digits + "Z"


def _bytes(inner):
    if not isinstance(inner, str):
        return None
    data = inner.rstrip("=")
    padding = len(inner) - len(data)
    if (not _BASE64.fullmatch(data) or len(data) % 4 == 1 or padding > 2
            or padding and len(inner) % 4):
        return None
    return inner


def _text(inner):
    """A string the service can hold as UTF-8: JSON's \\ud800 escapes give
    Python lone surrogates, which UTF-8 cannot encode."""
    try:
        return inner if isinstance(inner, str) and inner.encode("utf-8") is not None else None
    except UnicodeEncodeError:
        return None


def _reference(inner):
    found = _REFERENCE.fullmatch(inner) if _text(inner) is not None else None
    segments = found.group(1).split("/") if found else []
    return inner if segments and len(segments) % 2 == 0 and all(segments) else None


def _lat_lng(inner, where):
    if not isinstance(inner, dict):
        return None
    for member, number in inner.items():
        if member not in ("latitude", "longitude"):
            raise _unknown(member, where)
        if _double(number) is None:
            raise _bad(where, member, "TYPE_DOUBLE", number)
    return inner


# kind: (field name, wire type in errors, check returning the stored value or
# None; a check that takes `where` looks inside).
_KINDS = {
    "nullValue": ("null_value", "TYPE_ENUM", lambda v: None if v in _NULLS and not isinstance(
        v, (bool, float)) else _REFUSED),
    "booleanValue": ("boolean_value", "TYPE_BOOL", lambda v: v if isinstance(v, bool) else None),
    "integerValue": ("integer_value", "TYPE_INT64", _integer),
    "doubleValue": ("double_value", "TYPE_DOUBLE", _double),
    "timestampValue": ("timestamp_value", "type.googleapis.com/google.protobuf.Timestamp",
                       _timestamp),
    "stringValue": ("string_value", "TYPE_STRING", _text),
    "bytesValue": ("bytes_value", "TYPE_BYTES", _bytes),
    "referenceValue": ("reference_value", "TYPE_STRING", _reference),
    "geoPointValue": ("geo_point_value", "type.googleapis.com/google.type.LatLng", _lat_lng),
    "arrayValue": ("array_value", "type.googleapis.com/google.firestore.v1.ArrayValue",
                   lambda v, where: _array(v, where)),
    "mapValue": ("map_value", "type.googleapis.com/google.firestore.v1.MapValue",
                 lambda v, where: _map(v, where)),
}
_REFUSED = object()
_BY_FIELD_NAME = {field: kind for kind, (field, _, _) in _KINDS.items()}
_TAKES_WHERE = ("geoPointValue", "arrayValue", "mapValue")


def _unknown(member, where):
    return invalid(f'Invalid JSON payload received. Unknown name "{member}" at '
                   f"'{where}': Cannot find field.")


def _members(inner, names: tuple[str, str], where: str):
    """The one member of a message (as `names`: lowerCamel and field name)
    that may be left out; unknown members refused."""
    if not isinstance(inner, dict):
        return _REFUSED
    for member in inner:
        if member not in names:
            raise _unknown(member, where)
    found = [inner[n] for n in names if n in inner]
    return found[0] if found else None


def _array(inner, where):
    values = _members(inner, ("values", "values"), where)
    if values is _REFUSED or not isinstance(values, (list, type(None))):
        return None
    checked = []
    for i, item in enumerate(values or ()):
        at = f"{where}.values[{i}]"
        value = check_value(item, at)
        if "arrayValue" in value:
            raise invalid(f"Cannot have an array value directly inside an array value at '{at}'.")
        checked.append(value)
    return {"values": checked} if checked else {}


def _map(inner, where):
    fields = _members(inner, ("fields", "fields"), where)
    if fields is _REFUSED:
        return None
    checked = check_fields(fields, where + ".fields")
    return {"fields": checked} if checked else {}


def check_value(value, where: str) -> dict:
    """A typed value as stored: the kind in lowerCamelCase, normalised as
    the service gives it back; 400 for what the service refuses."""
    if not isinstance(value, dict):
        raise invalid(f"Invalid JSON payload received. Invalid value at '{where}' "
                      f"(type.googleapis.com/google.firestore.v1.Value), {json.dumps(value)}")
    for member in value:
        if member not in _KINDS and member not in _BY_FIELD_NAME:
            raise _unknown(member, where)
    if not value:
        raise invalid(f"Invalid value at '{where}': a value needs one of "
                      + ", ".join(_KINDS) + ".")
    if len(value) > 1:
        raise invalid("Invalid JSON payload received. Oneof field 'value_type' is already"
                      f" set. Cannot set '{list(value)[1]}'")
    (member, inner), = value.items()
    kind = _BY_FIELD_NAME.get(member, member)
    field, wire, check = _KINDS[kind]
    at = f"{where}.{field}"
    stored = check(inner, at) if kind in _TAKES_WHERE else check(inner)
    if stored is _REFUSED or stored is None and kind != "nullValue":
        raise _bad(where, field, wire, inner)
    return {kind: stored}


def check_fields(fields, where: str = "document.fields") -> dict:
    if fields is None:
        return {}
    if not isinstance(fields, dict):
        raise invalid(f"Invalid JSON payload received. Invalid value at '{where}' "
                      "(type.googleapis.com/google.firestore.v1.Document.FieldsEntry), "
                      + json.dumps(fields))
    checked = {}
    for i, (name, value) in enumerate(fields.items()):
        check_field_name(name, f"{where}[{i}].key")
        checked[name] = check_value(value, f"{where}[{i}].value")
    return checked


def document_fields(request: Request) -> dict:
    """The "fields" of a request body that holds a Document."""
    if not request.body.strip():
        return {}
    try:
        body = request.json()
    except ValueError:
        raise invalid("Invalid JSON payload received. Unexpected token.") from None
    if not isinstance(body, dict):
        raise invalid("Invalid JSON payload received. Root element must be a message.")
    for member in body:
        if member not in _DOCUMENT_MEMBERS:
            raise invalid(f'Invalid JSON payload received. Unknown name "{member}": '
                          "Cannot find field.")
    return check_fields(body.get("fields"))


# ---- the service -------------------------------------------------------------


class Firestore(Service):
    hosts = (HOST,)

    def handle(self, request: Request) -> Response:
        match = _PATH.fullmatch(request.path)
        if match is None:
            raise not_found(request)
        project, database = unquote(match.group(1)), unquote(match.group(2))
        self.authorize(request, project)
        if database != "(default)":
            raise error(404, "NOT_FOUND",
                        f"The database {database} does not exist for project {project} Please"
                        " visit https://console.cloud.google.com/datastore/setup?project="
                        f"{project} to add a Cloud Datastore or Cloud Firestore database.")
        segments = [strict_unquote(s) for s in (match.group(3) or "").split("/")]
        if not all(segments):
            raise not_found(request)
        for segment in segments:
            check_id(segment)
        path = "/".join(segments)
        # A PUT, like any other method that no operation binds to a path,
        # gets the 404 "Method not found." of Google's front end: the
        # service writes documents with PATCH only.
        if len(segments) % 2:  # a collection
            operation = {"POST": "create", "GET": "list"}.get(request.method)
        else:
            operation = {"GET": "get", "PATCH": "patch", "DELETE": "delete"}.get(request.method)
        if operation is None:
            raise not_found(request)
        try:  # the query as parsed put U+FFFD for bytes that are not UTF-8
            parse_qs(request.target.partition("?")[2], errors="strict")
        except UnicodeDecodeError:
            raise invalid("Invalid JSON payload received. Query parameters are not"
                          " valid UTF-8.") from None
        for name in request.query:
            if name != "key" and name not in _PARAMS[operation]:
                raise invalid(f'Invalid JSON payload received. Unknown name "{name}": Cannot bind'
                              f" query parameter. Field '{name}' could not be found in request"
                              " message.")
        return getattr(self, operation)(request, path)

    def authorize(self, request: Request, project: str) -> None:
        """401 without a good ID token of the identity stand-in; 403 for a
        token of another project, or a project other than the stand-ins'."""
        scheme, _, token = (request.header("authorization") or "").strip().partition(" ")
        if scheme.lower() != "bearer" or not token.strip():
            raise error(401, "UNAUTHENTICATED", UNAUTHENTICATED)
        try:
            self.services.accounts.verify_id_token(token.strip())
        except OtherProject:
            raise error(403, "PERMISSION_DENIED", PERMISSION_DENIED) from None
        except jwt.InvalidToken:  # bad signature, malformed, expired
            raise error(401, "UNAUTHENTICATED", UNAUTHENTICATED) from None
        if project != self.config.project_id:
            raise error(403, "PERMISSION_DENIED", PERMISSION_DENIED)

    @property
    def documents(self) -> Documents:
        return self.services.documents

    def create(self, request: Request, collection: str) -> Response:
        document_id = request.param("documentId") or new_document_id()
        check_id(document_id)
        fields = document_fields(request)
        return json_response(self.documents.create(f"{collection}/{document_id}", fields))

    def get(self, request: Request, path: str) -> Response:
        return json_response(self.documents.read(path))

    def list(self, request: Request, collection: str) -> Response:
        found = self.documents.documents_of(collection)
        return json_response({"documents": found} if found else {})

    def patch(self, request: Request, path: str) -> Response:
        fields = document_fields(request)
        paths = request.query.get("updateMask.fieldPaths")
        mask = None if paths is None else [parse_field_path(p) for p in paths]
        for i, segments in enumerate(mask or ()):
            for segment in segments:
                check_field_name(segment, f"update_mask.field_paths[{i}]")
        return json_response(self.documents.write(path, fields, mask))

    def delete(self, request: Request, path: str) -> Response:
        self.documents.delete(path)
        return json_response({})
