"""The Firebase stand-ins and the routing shim, driven with plain httpx: what
no official emulator checks (test_emulator compares the rest)."""
import asyncio
import json
import re
import sys
import time
import types
from pathlib import Path

import httpx
import pytest

STANDINS = Path(__file__).resolve().parent.parent / "standins"
sys.path.insert(0, str(STANDINS))

from firebase_standins import FunctionError, ServicesThread, StandinConfig  # noqa: E402
from firebase_standins import routed  # noqa: E402
from support import sender  # noqa: E402

CONFIG = StandinConfig(api_key="key-1", project_id="proj-1")
IDENTITY = "https://identitytoolkit.googleapis.com/v1/accounts:"
TOKEN = "https://securetoken.googleapis.com/v1/token?key=key-1"
DOCS = "https://firestore.googleapis.com/v1/projects/proj-1/databases/(default)/documents"
DOC_NAME = "projects/proj-1/databases/(default)/documents/"
T0 = 1_800_000_000.25  # the stand-ins' clock in the document tests


@pytest.fixture
def svc():
    with ServicesThread(CONFIG) as running:
        yield running


@pytest.fixture
def http(svc):
    """http(method, url, **kwargs): one request through a routed client."""
    return sender(svc)


@pytest.fixture
def user(http):
    """A signed-up account: the sign-up reply."""
    return http("POST", IDENTITY + "signUp?key=key-1", json=ACCOUNT).json()


ACCOUNT = {"email": "Someone@Example.com", "password": "secret-1", "returnSecureToken": True}


def error_of(response):
    assert response.headers["content-type"].startswith("application/json")
    return response.json()["error"]


# ---- identity and secure token: the API key -----------------------------------------------

BAD_KEY = (400, "API key not valid. Please pass a valid API key.", "badRequest")


@pytest.mark.parametrize("url, status, message, reason", [
    (IDENTITY + "signUp?key=wrong", *BAD_KEY), (TOKEN.replace("key-1", "key-2"), *BAD_KEY),
    (IDENTITY + "signUp", 403, "The request is missing a valid API key.", "forbidden"),
])
def test_api_key_is_checked(http, svc, url, status, message, reason):
    response = http("POST", url, json=ACCOUNT)
    error = error_of(response)
    assert (response.status_code, error["message"], error["errors"][0]["reason"]) == (
        status, message, reason)
    assert svc.accounts.all() == []


def test_the_command_lines_help_shows_every_default(capsys):
    with pytest.raises(SystemExit):
        __import__("firebase_standins.__main__").__main__.main(["--help"])
    entries = re.split(r"\n  (?=-)", capsys.readouterr().out.split("options:")[1])[1:]
    assert len(entries) == 13 and [e[:3] for e in entries if "(default:" not in e] == ["-h,"]


# ---- routing ---------------------------------------------------------

def test_routing_keeps_the_host_and_refuses_others(svc):
    module = types.ModuleType("caller")
    module.httpx = httpx

    async def go():
        with routed(module, svc) as shim:
            assert module.httpx is shim
            assert module.httpx.HTTPStatusError is httpx.HTTPStatusError
            async with module.httpx.AsyncClient() as client:
                functions = await client.post(
                    "https://europe-west1-proj-1.cloudfunctions.net/v1/f", json={})
                for url in ("https://example.com/", "http://127.0.0.1:1/",
                            "https://googleapis.com/", svc.base_url + "/v1/accounts:signUp"):
                    with pytest.raises(httpx.ConnectError, match="stand-in routing refuses"):
                        await client.get(url)
            assert shim.clients_made == 1
        return functions

    assert asyncio.run(go()).status_code == 404  # no function "v1/f" is deployed
    assert module.httpx is httpx
    # Only the functions request arrived, under its production host name.
    assert [(r.host, r.path) for r in svc.requests] == [
        ("europe-west1-proj-1.cloudfunctions.net", "/v1/f")]


# ---- documents ------------------------------------------------------------------------

@pytest.fixture
def docs(http, svc, user):
    """docs(method, path, auth=..., **kwargs): a document request, by default
    with a token of the user; docs.t is the stand-ins' time."""
    def send(method, path, auth=..., url=DOCS, **kwargs):
        headers = {} if auth is None else {
            "Authorization": "Bearer " + (token if auth is ... else auth)}
        if kwargs.get("json") is not None:  # as json.dumps writes it: \u escapes
            headers["Content-Type"], kwargs["content"] = "application/json", json.dumps(
                kwargs.pop("json"))
        return http(method, url + path, headers=headers, **kwargs)
    send.t = T0
    svc.services.clock = lambda: send.t
    token = svc.make_id_token(user["localId"], exp=T0 + 3600)
    return send


def stamp(offset):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(T0 + offset)) + \
        f".{round((T0 + offset) % 1 * 1e6):06d}Z"


def fields(**values):
    return {name: {"stringValue": value} for name, value in values.items()}


def test_document_lifecycle(docs, svc):
    # An id in the address is percent-decoded once.
    document = docs("POST", "/notes?documentId=n%231", json={"fields": fields(a="1")}).json()
    assert list(document) == ["name", "fields", "createTime", "updateTime"]
    assert (document["name"], document["fields"]) == (DOC_NAME + "notes/n#1", fields(a="1"))
    assert document["createTime"] == document["updateTime"] == stamp(0)
    assert svc.documents.get("notes", "n#1") == docs("GET", "/notes/n%231").json() == document
    docs.t += 2.5
    replaced = docs("PATCH", "/notes/n%231", json={"fields": fields(c="3")}).json()
    assert (replaced["fields"], replaced["createTime"], replaced["updateTime"]) == (
        fields(c="3"), stamp(0), stamp(2.5))
    assert docs("GET", "/notes").json() == {"documents": [svc.documents.get("notes/n#1")]}
    for _ in range(2):  # deleting an absent document succeeds too
        assert docs("DELETE", "/notes/n%231").json() == {}
    assert svc.documents.paths() == [] and docs("GET", "/notes").json() == {}
    for body in ({"fields": fields(a="1")}, {}):  # no id: one is made
        made = docs("POST", "/notes?documentId=", json=body).json()
        assert ("fields" in made) == bool(body)  # an empty document has no "fields"
        assert re.fullmatch(re.escape(DOC_NAME) + "notes/[A-Za-z0-9]{20}", made["name"])
    assert len(svc.documents.paths()) == 2


@pytest.mark.parametrize("stored, query, body, expected", [
    # Only masked fields change; a masked field absent from the body goes;
    # a field of the body outside the mask is not written.
    (fields(a="1", b="2", c="3"), "?updateMask.fieldPaths=a&updateMask.fieldPaths=b",
     fields(a="new", d="4"), fields(a="new", c="3")),
    (fields(a="1"), "?updateMask.fieldPaths=z", fields(z="9"), fields(a="1", z="9")),
    (None, "?updateMask.fieldPaths=a", fields(a="1", b="2"), fields(a="1")),
    # No mask (also a bare "?"): the document is replaced, or created.
    (fields(a="1", b="2"), "?", fields(c="3"), fields(c="3")),
    # Dotted paths reach into maps; backquotes quote any other name.
    ({"m": {"mapValue": {"fields": fields(x="1", y="2")}}}, "?updateMask.fieldPaths=m.x",
     {"m": {"mapValue": {"fields": fields(x="new")}}},
     {"m": {"mapValue": {"fields": fields(x="new", y="2")}}}),
    # A map left empty is given back as one sent empty.
    ({"m": {"mapValue": {"fields": fields(x="1")}}}, "?updateMask.fieldPaths=m.x", {},
     {"m": {"mapValue": {}}}),
    (fields(**{"a.b": "1", "c": "2"}), "?updateMask.fieldPaths=%60a.b%60", {}, fields(c="2")),
])
def test_update_mask(docs, svc, stored, query, body, expected):
    if stored is not None:
        svc.documents.set("notes/n1", stored)
    response = docs("PATCH", "/notes/n1" + query, json={"fields": body})
    assert response.status_code == 200
    # As JSON text: a double stays a double.
    assert json.dumps(response.json()["fields"], sort_keys=True) == json.dumps(
        expected, sort_keys=True)
    assert svc.documents.fields("notes", "n1") == expected


# Firestore's documented rules (REST reference: Value, Document.fields;
# quotas and limits: ids and field names), read through the JSON mapping.
S, LONG = {"stringValue": "x"}, "a" * 1500
REF = "projects/p/databases/(default)/documents/"


def writes(doc="n2", coll="notes", body=None, mask="f"):
    """A document's three writes: create, overwrite, update of `mask`."""
    body = {"fields": {"f": S}} if body is None else body
    return [("POST", f"/{coll}?documentId={doc}", body), ("PATCH", f"/{coll}/{doc}", body),
            ("PATCH", f"/{coll}/{doc}?updateMask.fieldPaths={mask}", body)]


def values(table):
    """(sent, stored) typed values from rows of what is sent or (sent, stored)."""
    return [({kind: inner}, {re.sub(r"_(.)", lambda m: m[1].upper(), kind): stored})
            for kind, rows in table.items() for inner, stored in (
                row if isinstance(row, tuple) else (row, row) for row in rows)]


REFUSED = [  # kwargs of writes()
    # Collection and document ids; the path is percent-decoded strictly.
    *({"doc": d} for d in ("%2E", "%2E%2E", "__x__", LONG + "b", "a%2Fb", "%FF", "%C3%28")),
    {"coll": "__c__"}, {"coll": "%2E"},
    # Field names, also inside maps and in the update mask.
    *({"body": {"fields": {name: S}}, "mask": "`__x__`"} for name in ("", "__x__", LONG + "b")),
    {"body": {"fields": {"f": {"mapValue": {"fields": {"__m__": S}}}}}},
    # One kind per value, of a known name, holding its type.
    *({"body": {"fields": {"f": v}}} for v, _ in values({
        "stringValue": [123, "\ud800"], "booleanValue": ["yes", 1], "nullValue": ["null", False],
        # Digits are ASCII ones.
        "integerValue": ["1.5", 1.5, True, str(2**63), -2**63 - 1, "\u0661"],
        "doubleValue": ["abc", "nan", "1e999", True, "\u0661.5", 10**400],
        "timestampValue": ["\uff12026-01-01T00:00:00Z", "2026-01-01T00:00:00", 1767225600,
                           "2026-01-01t00:00:00z", "2026-01-01 00:00:00Z", "0000-12-31T00:00:00Z",
                           "2026-01-01T00:00:00.1234567891Z", "2026-02-30T00:00:00Z"], "bytesValue": ["a b", "QQQ==", "Q", "QQ="],
        "referenceValue": [REF + "c", "c/d", REF + "c//d/e", REF + "c/\udc00"], "mapValue": [{"x": {}}, []],
        "arrayValue": [{"values": [{"arrayValue": {}}]}, [], {"items": []}],
        "geoPointValue": [{"latitude": "north"}, {"lat": 1}, {"longitude": -10**400}]})),
    {"body": {"fields": {"f": {}}}}, {"body": {"fields": {"f": {"textValue": "x"}}}},
]


@pytest.mark.parametrize("doc, name, sent, stored", [("n1", "n1", *v) for v in values({
    "stringValue": ["x"], "boolean_value": [False], "integerValue": [(7, "7"), str(-2**63)],
    "doubleValue": [1.5, 2, "1e3", "-.5E-2", "NaN", "Infinity", "-Infinity"],
    # An offset, up to nine digits; given back in UTC, cut to microseconds.
    "timestampValue": [("2026-01-01T01:30:00+01:30", "2026-01-01T00:00:00Z"),
                       ("2025-12-31T23:00:00.5-01:00", "2026-01-01T00:00:00.500Z"),
                       ("0001-01-01T00:00:00.123456789Z", "0001-01-01T00:00:00.123456Z"),
                       ("9999-12-31T23:59:59.999999999Z", "9999-12-31T23:59:59.999999Z")],
    "bytesValue": ["", "QQ", "QQ==", "QUI=", "-_8", "+/8="], "geoPointValue": [{}],
    "nullValue": [None, ("NULL_VALUE", None), (0, None)], "mapValue": [{}, {"fields": {
        LONG: S, "__x": S, ".": S}}], "referenceValue": [REF + "c/d", REF + "c/d/s/e"],
    "arrayValue": [{}, ({"values": [{"mapValue": {"fields": {"a": {"array_value": {}}}}}]},
                        {"values": [{"mapValue": {"fields": {"a": {"arrayValue": {}}}}}]})],
    "geo_point_value": [{"latitude": -33.5, "longitude": 151}]})] + [  # and ids
    *((d, d, S, S) for d in (LONG, "__", "___", "_x_", "...", ".x")), ("%C3%BC%20", "ü ", S, S)])
def test_accepted_writes(docs, svc, doc, name, sent, stored):
    for method, path, body in writes(doc=doc, coll=doc, body={"fields": {"f": sent}}):
        replied = docs(method, path, json=body).json()["fields"]["f"]
        assert json.dumps(replied) == json.dumps(stored), (method, path)
        assert docs("GET", f"/{doc}/{doc}").json()["fields"]["f"] == replied
    assert svc.documents.paths() == [f"{name}/{name}"]
    assert svc.documents.fields(name, name) == {"f": stored}


UNAUTHENTICATED = (401, "UNAUTHENTICATED", "Request had invalid authentication credentials.")
PERMISSION_DENIED = (403, "PERMISSION_DENIED", "Missing or insufficient permissions.")
PAYLOAD = "Invalid JSON payload received. "
BODY_ERRORS = [
    ({"fields": "abc"}, PAYLOAD + "Invalid value at 'document.fields'"),
    ({"fields": {"a": "plain"}}, PAYLOAD + "Invalid value at 'document.fields[0].value'"),
    ({"fields": {"a": {"stringValue": "x", "string_value": "y"}}},
     PAYLOAD + "Oneof field 'value_type' is already set."),
    ({"data": {}}, PAYLOAD + 'Unknown name "data": Cannot find field.'),
    ([], PAYLOAD + "Root element must be a message."),
]


def other_project_token(svc, user):
    other = ServicesThread(StandinConfig(api_key="key-1", project_id="proj-2")).services
    other.clock = svc.services.clock
    return other.accounts.issue_id_token(svc.accounts.by_id(user["localId"]))


@pytest.mark.parametrize("method, path, auth, body, expected", [
    (method, "/notes/n1", auth, {"fields": {}}, error)
    for method in ("GET", "PATCH", "DELETE") for auth, error in [
        (None, UNAUTHENTICATED), ("None", UNAUTHENTICATED),
        (lambda svc, user: user["idToken"][:-3] + "AAA", UNAUTHENTICATED),
        (lambda svc, user: svc.make_id_token(user["localId"], exp=T0 - 10), UNAUTHENTICATED),
        (lambda svc, user: user["refreshToken"], UNAUTHENTICATED),
        (other_project_token, PERMISSION_DENIED)]
] + [
    (method, path, ..., body, (400, "INVALID_ARGUMENT", message)) for body, message in BODY_ERRORS
    for method, path in [("POST", "/notes?documentId=n2"), ("PATCH", "/notes/n1")]
] + [  # what Firestore's documented rules refuse, on each write
    (method, path, ..., body, (400, "INVALID_ARGUMENT", ""))
    for sent in REFUSED for method, path, body in writes(**sent)
] + [
    ("GET", DOCS.replace("proj-1", "proj-2") + "/notes/n1", ..., None, PERMISSION_DENIED),
    ("POST", "/notes?documentId=n1", ..., {},
     (409, "ALREADY_EXISTS", "Document already exists: " + DOC_NAME + "notes/n1")),
    ("GET", "/notes/n2", ..., None, (404, "NOT_FOUND", f'Document "{DOC_NAME}notes/n2" not')),
    ("PUT", "/notes/n1", ..., {}, (404, "NOT_FOUND", "Method not found.")),
    ("PUT", "/notes/n2", ..., {}, (404, "NOT_FOUND", "Method not found.")),
    ("GET", "/notes/n1?documentId=x", ..., None,
     (400, "INVALID_ARGUMENT", PAYLOAD + 'Unknown name "documentId": Cannot')),
    ("PATCH", "/notes/n1?updateMask.fieldPaths=a@b.c", ..., {},
     (400, "INVALID_ARGUMENT", 'Invalid property path "a@b.c". Unquoted property')),
    ("PATCH", "/notes/n1?updateMask.fieldPaths=a.__x__", ..., {},
     (400, "INVALID_ARGUMENT", "Invalid field name at 'update_mask.field_paths[0]'")),
])
def test_refused_requests_change_nothing(docs, svc, user, method, path, auth, body, expected):
    svc.documents.set("notes/n1", fields(a="1"))
    response = docs(method, "" if "://" in path else path, url=path if "://" in path else DOCS,
                    auth=auth(svc, user) if callable(auth) else auth, json=body)
    error = error_of(response)
    assert (response.status_code, error["code"], error["status"]) == (expected[0],) + expected[:2]
    assert error["message"].startswith(expected[2]) and "errors" not in error
    assert svc.documents.paths() == ["notes/n1"]
    assert svc.documents.fields("notes/n1") == fields(a="1")


# ---- functions --------------------------------------------------------------------------

def test_registered_function(http, svc):
    def greet(call):
        if not call.payload.get("name"):
            raise FunctionError(422, "name missing", "FAILED_PRECONDITION")
        return {"hello": call.payload["name"]}

    svc.functions.register("greet", greet)
    url = "https://europe-west1-proj-1.cloudfunctions.net/v1_greet"
    replies = [http("POST", url, headers={"X-Tavrin-Auth": "standin-auth-key"}, json=payload)
               for payload in ({"name": "Ada"}, {})]
    assert [(r.status_code, r.json()) for r in replies] == [(200, {"hello": "Ada"}), (422, {
        "error": {"code": 422, "message": "name missing", "status": "FAILED_PRECONDITION"}})]
    assert [c.status for c in svc.functions.calls_to("v1_greet")] == [200, 422]
