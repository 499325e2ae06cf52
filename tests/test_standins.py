"""The Firebase stand-ins and the routing shim, driven with plain httpx."""
import asyncio
import json
import re
import signal
import subprocess
import sys
import time
import types
from pathlib import Path

import httpx
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "standins"))

from firebase_standins import ServicesThread, StandinConfig, route, routed, unroute  # noqa: E402
from firebase_standins import FunctionError  # noqa: E402
from firebase_standins import jwt  # noqa: E402
from firebase_standins.accounts import TokenExpired  # noqa: E402
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
def call(http):
    """call(endpoint, body, key=...): a post to the identity stand-in."""
    return lambda endpoint, body, key="key-1": http(
        "POST", IDENTITY + endpoint + ("" if key is None else "?key=" + key), json=body)


@pytest.fixture
def user(call):
    """A signed-up account: the sign-up reply."""
    return call("signUp", account()).json()


def account(email="Someone@Example.com", password="secret-1", **more):
    return {"email": email, "password": password, "returnSecureToken": True, **more}


def error_of(response):
    assert response.headers["content-type"].startswith("application/json")
    return response.json()["error"]


def expired_token(svc, user):
    return svc.make_id_token(user["localId"], exp=time.time() - 1)


# What the identity and secure-token stand-ins answer alike with the official
# Auth emulator is compared in test_emulator; here only what they do on
# purpose beyond it: the API key checked, signed tokens with an expiry,
# revoked refresh tokens, the outbox.

@pytest.mark.parametrize("url, status, message, reason", [
    (IDENTITY + "signUp?key=wrong", 400, "API key not valid. Please pass a valid API key.",
     "badRequest"),
    (IDENTITY + "signUp", 403, "The request is missing a valid API key.", "forbidden"),
    (TOKEN.replace("key-1", "key-2"), 400, "API key not valid. Please pass a valid API key.",
     "badRequest"),
])
def test_api_key_is_checked(http, svc, url, status, message, reason):
    response = http("POST", url, json=account()) if "token" not in url else http(
        "POST", url, data={"grant_type": "refresh_token", "refresh_token": "r"})
    assert response.status_code == status
    error = error_of(response)
    assert (error["message"], error["errors"][0]["reason"]) == (message, reason)
    assert svc.accounts.all() == []


def test_tokens_are_signed_and_expire(call, http, svc):
    before = int(time.time())
    reply = call("signUp", account()).json()
    header_b64, claims_b64, signature_b64 = reply["idToken"].split(".")
    header = json.loads(jwt.b64url_decode(header_b64))
    assert (header["alg"], header["typ"]) == ("HS256", "JWT")
    assert len(jwt.b64url_decode(signature_b64)) == 32
    claims = json.loads(jwt.b64url_decode(claims_b64))
    assert (claims["aud"], claims["sub"], claims["exp"] - claims["iat"]) == (
        "proj-1", reply["localId"], 3600)
    assert before <= claims["iat"] <= time.time()
    assert svc.accounts.verify_id_token(reply["idToken"]) == claims
    with pytest.raises(jwt.InvalidToken):
        svc.accounts.verify_id_token(reply["idToken"][:-2] + "AA")
    soon = int(time.time()) + 120
    claims = svc.accounts.verify_id_token(svc.make_id_token("someone@example.com", exp=soon))
    assert (claims["exp"], claims["user_id"]) == (soon, reply["localId"])
    with pytest.raises(TokenExpired):
        svc.accounts.verify_id_token(expired_token(svc, reply))
    for endpoint, body in [("lookup", {"idToken": expired_token(svc, reply)}),
                           ("sendOobCode", {"requestType": "VERIFY_EMAIL",
                                            "idToken": reply["idToken"][:-3] + "AAA"})]:
        assert error_of(call(endpoint, body))["message"] in ("TOKEN_EXPIRED", "INVALID_ID_TOKEN")
    assert svc.revoke_refresh_token(reply["refreshToken"])
    refused = http("POST", TOKEN, data={"grant_type": "refresh_token",
                                        "refresh_token": reply["refreshToken"]})
    assert (refused.status_code, error_of(refused)["message"]) == (400, "INVALID_REFRESH_TOKEN")
    assert len(svc.outbox) == 0


@pytest.mark.parametrize("body, local_id", [
    (lambda user: {"requestType": "VERIFY_EMAIL", "idToken": user["idToken"]}, True),
    (lambda user: {"requestType": "PASSWORD_RESET", "email": "SOMEONE@example.com"}, True),
    (lambda user: {"requestType": "EMAIL_SIGNIN", "email": "New@Example.com"}, False),
], ids=["VERIFY_EMAIL", "PASSWORD_RESET", "EMAIL_SIGNIN"])
def test_outbox(call, svc, user, body, local_id):
    request = body(user)
    address = "someone@example.com" if local_id else "new@example.com"
    assert call("sendOobCode", request).status_code == 200
    mail, = svc.outbox.mails()
    assert (mail.kind, mail.email, mail.local_id) == (
        request["requestType"], address, user["localId"] if local_id else None)
    assert mail.oob_code in mail.link
    assert ("mode=signIn&" in mail.link) == (not local_id)
    assert svc.outbox.mails(kind="VERIFY_EMAIL", email="Someone@example.com") == (
        [mail] if mail.kind == "VERIFY_EMAIL" else [])


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

    functions = asyncio.run(go())
    assert module.httpx is httpx
    # Only the functions request arrived, under its production host name.
    assert [(r.host, r.path) for r in svc.requests] == [
        ("europe-west1-proj-1.cloudfunctions.net", "/v1/f")]
    assert functions.status_code == 404  # no function "v1/f" is deployed
    route(module, svc.base_url)
    route(module, svc.base_url)  # routing twice still remembers the original
    unroute(module)
    assert module.httpx is httpx


def test_command_line_server():
    standins = Path(__file__).resolve().parent.parent / "standins"
    proc = subprocess.Popen(
        [sys.executable, "-m", "firebase_standins", "--quiet", "--api-key", "cli-key"],
        cwd=standins, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert line.startswith("firebase stand-ins listening on http://127.0.0.1:")
        base_url = line.split()[4]
        response = httpx.post(base_url + "/v1/accounts:signUp?key=cli-key",
                              headers={"Host": "identitytoolkit.googleapis.com"},
                              json=account())
        assert response.status_code == 200
    finally:
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=10)
    assert proc.returncode == 0, err


# ---- documents ------------------------------------------------------------------------


class Clock:
    def __init__(self, t):
        self.t = t

    def __call__(self):
        return self.t


@pytest.fixture
def docs(http, svc, user):
    """docs(method, path, auth=..., **kwargs): a document request, by default
    with a token of the user; docs.clock.t is the stand-ins' time."""
    svc.services.clock = docs_clock = Clock(T0)
    token = svc.make_id_token(user["localId"], exp=T0 + 3600)

    def send(method, path, auth=..., url=DOCS, **kwargs):
        headers = {} if auth is None else {
            "Authorization": "Bearer " + (token if auth is ... else auth)}
        return http(method, url + path, headers=headers, **kwargs)
    send.clock = docs_clock
    return send


def stamp(offset):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(T0 + offset)) + \
        f".{round((T0 + offset) % 1 * 1e6):06d}Z"


def fields(**values):
    return {name: {"stringValue": value} for name, value in values.items()}


def test_document_lifecycle(docs, svc):
    created = docs("POST", "/notes?documentId=n1", json={"fields": fields(a="1", b="2")})
    assert created.status_code == 200
    document = created.json()
    assert list(document) == ["name", "fields", "createTime", "updateTime"]
    assert document["name"] == DOC_NAME + "notes/n1"
    assert document["fields"] == fields(a="1", b="2")
    assert document["createTime"] == document["updateTime"] == stamp(0)
    assert svc.documents.get("notes", "n1") == document
    assert docs("GET", "/notes/n1").json() == document

    again = docs("POST", "/notes?documentId=n1", json={"fields": {}})
    assert again.status_code == 409
    assert error_of(again) == {"code": 409, "status": "ALREADY_EXISTS",
                               "message": "Document already exists: " + DOC_NAME + "notes/n1"}

    docs.clock.t += 2.5
    replaced = docs("PATCH", "/notes/n1", json={"fields": fields(c="3")}).json()
    assert replaced["fields"] == fields(c="3")
    assert (replaced["createTime"], replaced["updateTime"]) == (stamp(0), stamp(2.5))

    assert docs("GET", "/notes").json() == {"documents": [svc.documents.get("notes/n1")]}
    assert docs("DELETE", "/notes/n1").json() == {}
    assert svc.documents.get("notes", "n1") is None
    gone = docs("GET", "/notes/n1")
    assert gone.status_code == 404
    assert error_of(gone) == {"code": 404, "status": "NOT_FOUND",
                              "message": f'Document "{DOC_NAME}notes/n1" not found.'}
    assert docs("DELETE", "/notes/n1").json() == {}
    assert docs("GET", "/notes").json() == {}


def test_create_without_a_document_id(docs, svc):
    for query, body in (("", {"fields": fields(a="1")}), ("?documentId=", {})):
        document = docs("POST", "/notes" + query, json=body).json()
        assert ("fields" in document) == bool(body)  # an empty document has no "fields"
        collection, document_id = document["name"][len(DOC_NAME):].split("/")
        assert collection == "notes" and re.fullmatch(r"[A-Za-z0-9]{20}", document_id)
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
    (None, "", fields(c="3"), fields(c="3")),
    # Dotted paths reach into maps; backquotes quote any other name.
    ({"m": {"mapValue": {"fields": fields(x="1", y="2")}}}, "?updateMask.fieldPaths=m.x",
     {"m": {"mapValue": {"fields": fields(x="new")}}},
     {"m": {"mapValue": {"fields": fields(x="new", y="2")}}}),
    (fields(**{"a.b": "1", "c": "2"}), "?updateMask.fieldPaths=%60a.b%60", {}, fields(c="2")),
])
def test_update_mask(docs, svc, stored, query, body, expected):
    if stored is not None:
        svc.documents.set("notes/n1", stored)
    response = docs("PATCH", "/notes/n1" + query, json={"fields": body})
    assert response.status_code == 200
    assert response.json()["fields"] == expected
    assert svc.documents.fields("notes", "n1") == expected


def test_put_is_not_a_method_of_the_service(docs, svc):
    svc.documents.set("notes/n1", fields(a="1"))
    for path in ("/notes/n1", "/notes/n2"):
        response = docs("PUT", path, json={"fields": fields(a="2")})
        assert response.status_code == 404
        assert error_of(response) == {"code": 404, "message": "Method not found.",
                                      "status": "NOT_FOUND"}
    assert svc.documents.paths() == ["notes/n1"]
    assert svc.documents.fields("notes/n1") == fields(a="1")


UNAUTHENTICATED = {"code": 401, "status": "UNAUTHENTICATED", "message": (
    "Request had invalid authentication credentials. Expected OAuth 2 access token, login"
    " cookie or other valid authentication credential. See"
    " https://developers.google.com/identity/sign-in/web/devconsole-project.")}
PERMISSION_DENIED = {"code": 403, "status": "PERMISSION_DENIED",
                     "message": "Missing or insufficient permissions."}


def other_project_token(svc, user):
    other = ServicesThread(StandinConfig(api_key="key-1", project_id="proj-2")).services
    other.clock = svc.services.clock
    return other.accounts.issue_id_token(svc.accounts.by_id(user["localId"]))


@pytest.mark.parametrize("path, auth, expected", [
    ("/notes/n1", None, UNAUTHENTICATED),
    ("/notes/n1", "None", UNAUTHENTICATED),
    ("/notes/n1", lambda svc, user: user["idToken"][:-3] + "AAA", UNAUTHENTICATED),
    ("/notes/n1", lambda svc, user: svc.make_id_token(user["localId"], exp=T0 - 10),
     UNAUTHENTICATED),
    ("/notes/n1", other_project_token, PERMISSION_DENIED),
    ("/notes/n1", lambda svc, user: user["refreshToken"], UNAUTHENTICATED),
])
@pytest.mark.parametrize("method", ["GET", "PATCH", "DELETE"])
def test_document_auth(docs, svc, user, method, path, auth, expected):
    svc.documents.set("notes/n1", fields(a="1"))
    if callable(auth):
        auth = auth(svc, user)
    response = docs(method, path, auth=auth, json={"fields": {}} if method == "PATCH" else None)
    assert response.status_code == expected["code"]
    assert error_of(response) == expected
    assert svc.documents.fields("notes/n1") == fields(a="1")


def test_another_projects_documents_are_refused(docs):
    response = docs("GET", "/notes/n1", url=DOCS.replace("proj-1", "proj-2"))
    assert response.status_code == 403
    assert error_of(response) == PERMISSION_DENIED


@pytest.mark.parametrize("body, message", [
    ({"fields": "abc"}, "Invalid JSON payload received. Invalid value at 'document.fields'"),
    ({"fields": {"a": "plain"}}, "Invalid JSON payload received. Invalid value at"
     " 'document.fields[0].value'"),
    ({"fields": {"a": {"stringValue": "x", "booleanValue": True}}},
     "Invalid JSON payload received. Oneof field 'value_type' is already set."),
    ({"fields": {"a": {"textValue": "x"}}}, 'Invalid JSON payload received. Unknown name "textValue"'),
    ({"fields": {"a": {"integerValue": "1.5"}}}, "Invalid JSON payload received. Invalid value at"
     " 'document.fields[0].value.integer_value' (TYPE_INT64)"),
    ({"data": {}}, 'Invalid JSON payload received. Unknown name "data": Cannot find field.'),
    ([], "Invalid JSON payload received. Root element must be a message."),
])
@pytest.mark.parametrize("method, path", [("POST", "/notes?documentId=n1"), ("PATCH", "/notes/n1")])
def test_document_body_errors(docs, svc, method, path, body, message):
    response = docs(method, path, json=body)
    assert response.status_code == 400
    error = error_of(response)
    assert (error["code"], error["status"]) == (400, "INVALID_ARGUMENT")
    assert error["message"].startswith(message)
    assert svc.documents.paths() == []


def test_typed_values_come_back_as_the_service_gives_them(docs):
    sent = {"n": {"integerValue": 7}, "d": {"doubleValue": 0.0}, "z": {"nullValue": None},
            "arr": {"arrayValue": {"values": [{"integerValue": "-2"}, {"booleanValue": False}]}},
            "t": {"timestampValue": "2026-12-04T16:23:55.123Z"}}
    document = docs("POST", "/notes?documentId=n1", json={"fields": sent}).json()
    assert document["fields"] == dict(sent, n={"integerValue": "7"})
    assert type(document["fields"]["d"]["doubleValue"]) is float


@pytest.mark.parametrize("method, query, message", [
    ("GET", "?documentId=x", 'Invalid JSON payload received. Unknown name "documentId": Cannot'),
    ("PATCH", "?updateMask.fieldPaths=a@b.c", 'Invalid property path "a@b.c". Unquoted property'),
])
def test_bad_query_parameters_are_refused(docs, svc, method, query, message):
    svc.documents.set("notes/n1", fields(a="1"))
    response = docs(method, "/notes/n1" + query, json={"fields": fields(a="2")})
    assert response.status_code == 400
    assert error_of(response)["message"].startswith(message)
    assert svc.documents.fields("notes/n1") == fields(a="1")


# ---- functions --------------------------------------------------------------------------

FUNCTIONS = "https://europe-west1-proj-1.cloudfunctions.net/v1_"
AUTH = {"X-Tavrin-Auth": "standin-auth-key"}


def test_registered_function(http, svc):
    def greet(call):
        if not call.payload.get("name"):
            raise FunctionError(422, "name missing", "FAILED_PRECONDITION")
        return {"hello": call.payload["name"]}

    svc.functions.register("greet", greet)
    assert http("POST", FUNCTIONS + "greet", headers=AUTH, json={"name": "Ada"}).json() == {
        "hello": "Ada"}
    refused = http("POST", FUNCTIONS + "greet", headers=AUTH, json={})
    assert refused.status_code == 422
    assert error_of(refused) == {"code": 422, "message": "name missing",
                                 "status": "FAILED_PRECONDITION"}
    assert [c.status for c in svc.functions.calls_to("v1_greet")] == [200, 422]


def test_config_from_the_application_modules():
    config_module = types.SimpleNamespace(FIREBASE_API_KEY="k", FIREBASE_PROJECT_ID="p",
                                          FIREBASE_REGION="r")
    env = types.SimpleNamespace(AUTH_HEADER_NAME="X-A", ENCRYPTED_AUTH_KEY="s\u00e9".encode(),
                                ENCRYPTION_HEADER_NAME="X-E", API_VERSION="beta")
    config = StandinConfig.from_config_module(config_module, env)
    assert (config.api_key, config.project_id, config.region) == ("k", "p", "r")
    assert (config.auth_header_name, config.auth_key, config.encryption_header_name,
            config.api_version) == ("X-A", "s\u00e9", "X-E", "beta")
