"""tavrin.firebase against the official Firebase Auth emulator (firebase-tools)
as well as the stand-ins, and the stand-ins' answers compared with the
emulator's.

tools/test starts the emulator on the host (tools/emulator) and names it in
FIREBASE_AUTH_EMULATOR_HOST; without it these tests are skipped, with the
reason. The identity and secure-token hosts go to the emulator; the
stand-ins keep serving the documents and functions hosts.

Known differences, kept on purpose (the stand-ins do what production does):
- the emulator takes any API key; the stand-ins refuse a wrong one;
- the emulator's ID tokens are unsigned and it checks neither their
  signature nor their expiry; the stand-ins sign theirs and refuse a
  tampered (INVALID_ID_TOKEN) or expired (TOKEN_EXPIRED) one;
- the emulator's account record holds "salt" and a fake "passwordHash" that
  contains the password; the stand-ins give the redacted hash only;
- for a body that is not JSON the emulator quotes its JSON parser's message.

The HTTPS functions run at the official Functions emulator as well: the
test application's functions (standins/functions, JavaScript that opens the
sealed boxes with tweetnacl-sealedbox-js and verifies bearer tokens with
firebase-admin) answer the module's calls and the same raw requests as the
functions stand-in.
"""
import asyncio
import base64
import json
import time
import types
import uuid

import httpx
import nacl.public
import pytest

from firebase_standins import route
from firebase_standins.emulator import token_claims
# The plugin's emulator fixtures, for this module only (its guard stays out
# of the suite).
from firebase_standins.pytest_plugin import (  # noqa: F401
    _firebase_emulator_found, _firebase_functions_emulator_found, firebase_auth_emulator,
    firebase_functions_emulator, firebase_module, firebase_standins, firebase_standins_config)
from support import PUBLIC_KEY_B64, entries, sender, service_error

pytestmark = pytest.mark.timeout(180)

KEY = "test-api-key"  # the test application's FIREBASE_API_KEY
IDENTITY = "https://identitytoolkit.googleapis.com/v1/accounts:"
TOKEN = "https://securetoken.googleapis.com/v1/token?key=" + KEY
OOB_REPLY = "identitytoolkit#GetOobConfirmationCodeResponse"
SIGN_UP = {"kind", "localId", "email", "idToken", "refreshToken", "expiresIn"}
SIGN_IN = SIGN_UP | {"registered"}
REFRESH = {"access_token", "expires_in", "token_type", "refresh_token", "id_token", "user_id",
           "project_id"}
RECORD = {"localId", "email", "emailVerified", "passwordHash", "passwordUpdatedAt",
          "providerUserInfo", "validSince", "lastLoginAt", "createdAt", "lastRefreshAt"}


@pytest.fixture
def emulator(_firebase_emulator_found):
    return _firebase_emulator_found


class Backend:
    """Where the identity and secure-token requests go."""

    def __init__(self, name, svc, emulator=None):
        self.name, self.svc, self.emulator = name, svc, emulator

    def expiring(self, id_token, exp):
        """The account's ID token, made to expire at `exp`."""
        if self.emulator is not None:
            return self.emulator.with_expiry(id_token, exp)
        return self.svc.make_id_token(token_claims(id_token)["user_id"], exp=exp)

    def mails(self):
        if self.emulator is not None:
            return [(c["requestType"], c["email"]) for c in self.emulator.oob_codes()]
        return [(m.kind, m.email) for m in self.svc.outbox.mails()]


@pytest.fixture(params=["standins", "emulator"])
def backend(request, fb, svc):
    if request.param == "standins":
        return Backend("standins", svc)
    emulator = request.getfixturevalue("emulator")
    emulator.clear()
    route(fb, svc, emulator=emulator)  # the svc fixture gives httpx back afterwards
    return Backend("emulator", svc, emulator)


def run(coroutine):
    return asyncio.run(coroutine)


def new_address():
    return f"ada-{uuid.uuid4().hex[:12]}@example.com"


def refused(coroutine):
    """(status, message) of the HTTPStatusError that awaiting raises."""
    with pytest.raises(httpx.HTTPStatusError) as info:
        run(coroutine)
    return service_error(info.value)[:2]


@pytest.fixture
def user(fb, backend):
    address = new_address()
    reply = run(fb.auth_sign_up(address, "secret-1"))
    return types.SimpleNamespace(email=address, uid=reply["localId"], id_token=reply["idToken"],
                                 refresh_token=reply["refreshToken"])


# ---- the module's operations, on both -------------------------------------------------

def test_sign_up_and_sign_in(fb, backend):
    address = new_address()
    up = run(fb.auth_sign_up(address, "secret-1"))
    assert set(up) == SIGN_UP
    assert (up["kind"], up["email"], up["expiresIn"]) == (
        "identitytoolkit#SignupNewUserResponse", address, "3600")
    assert abs(fb.get_token_expiry(up["idToken"]) - (time.time() + 3600)) < 120
    signed_in = run(fb.auth_sign_in(address.upper(), "secret-1"))
    assert set(signed_in) == SIGN_IN
    assert (signed_in["localId"], signed_in["email"], signed_in["registered"]) == (
        up["localId"], address, True)
    assert refused(fb.auth_sign_up(address, "secret-2")) == (400, "EMAIL_EXISTS")
    assert refused(fb.auth_sign_up(new_address(), "12345")) == (
        400, "WEAK_PASSWORD : Password should be at least 6 characters")
    assert refused(fb.auth_sign_in(address, "wrong-1")) == (400, "INVALID_PASSWORD")
    assert refused(fb.auth_sign_in(new_address(), "secret-1")) == (400, "EMAIL_NOT_FOUND")
    assert refused(fb.auth_sign_in("not-an-address", "secret-1")) == (400, "INVALID_EMAIL")


def test_e_mails(fb, backend, user):
    assert run(fb.verify_email(user.id_token)) == {"kind": OOB_REPLY, "email": user.email}
    assert run(fb.send_password_reset_email(user.email.upper())) == {
        "kind": OOB_REPLY, "email": user.email}
    assert backend.mails() == [("VERIFY_EMAIL", user.email), ("PASSWORD_RESET", user.email)]
    assert refused(fb.send_password_reset_email(new_address())) == (400, "EMAIL_NOT_FOUND")
    assert refused(fb.verify_email("not-a-token")) == (400, "INVALID_ID_TOKEN")
    assert refused(fb.verify_email(None)) == (
        400, "Invalid JSON payload received. /idToken must be string")
    assert len(backend.mails()) == 2


def test_lookup(fb, backend, user):
    record = run(fb.get_auth_user_data(user.id_token))
    assert set(record) - {"salt"} == RECORD
    assert (record["localId"], record["email"], record["emailVerified"]) == (
        user.uid, user.email, False)
    assert record["providerUserInfo"] == [{"providerId": "password", "email": user.email,
                                           "federatedId": user.email, "rawId": user.email}]
    assert type(record["passwordUpdatedAt"]) is int
    assert refused(fb.get_auth_user_data("not-a-token")) == (400, "INVALID_ID_TOKEN")
    assert refused(fb.get_auth_user_data("")) == (400, "MISSING_ID_TOKEN")


def test_refresh(fb, backend, user):
    reply = run(fb.refresh_id_token(user.refresh_token))
    assert set(reply) == REFRESH
    assert (reply["user_id"], reply["token_type"], reply["expires_in"]) == (
        user.uid, "Bearer", "3600")
    assert reply["access_token"] == reply["id_token"]
    assert run(fb.get_auth_user_data(reply["id_token"]))["localId"] == user.uid
    # Both keep the refresh token that was sent.
    assert reply["refresh_token"] == user.refresh_token
    assert refused(fb.refresh_id_token("not-a-refresh-token")) == (400, "INVALID_REFRESH_TOKEN")


def login(app, user, id_token, refresh_token=None):
    app.firebase_id_token = id_token
    app.firebase_refresh_token = refresh_token or user.refresh_token
    app.user_id = user.uid


def test_session_validation_refreshes_an_expiring_login(fb, backend, user, app):
    login(app, user, backend.expiring(user.id_token, time.time() + 60))
    run(fb.ensure_valid_token())
    assert fb.get_token_expiry(app.firebase_id_token) > time.time() + 3000
    assert token_claims(app.firebase_id_token)["user_id"] == user.uid
    assert app.firebase_refresh_token and app.user_id == user.uid
    assert app.messages == []
    # A login with an hour left is left alone.
    fresh = app.firebase_id_token
    run(fb.ensure_valid_token())
    assert app.firebase_id_token is fresh


def test_session_validation_gives_up_a_refused_login(fb, backend, user, app):
    login(app, user, backend.expiring(user.id_token, time.time() - 10), "not-a-refresh-token")
    run(fb.ensure_valid_token())
    ((message, style),) = app.messages
    assert style == "red"
    assert message.startswith("\nToken refresh failed: Client error '400 Bad Request' for url "
                              f"'{TOKEN}'")
    assert message.endswith(". Please log in again.")
    assert (app.firebase_id_token, app.firebase_refresh_token, app.user_id) == (None, None, None)


# ---- the stand-ins compared with the emulator -----------------------------------------

def answer(response):
    """What is compared of a reply: the status, and the error's code,
    message, status and whether it lists "errors"; or the reply's members."""
    body = response.json()
    if "error" in body:
        error = body["error"]
        return response.status_code, error["message"], error.get("status"), "errors" in error
    users = body.get("users")
    if users:
        return response.status_code, sorted(body), sorted(set(users[0]) - {"salt"})
    return response.status_code, sorted(body)


def scenario(send):
    """The same requests to one backend; the answers, by name."""
    address = new_address()

    def identity(endpoint, body, key=KEY):
        query = "" if key is None else "?key=" + key
        return send("POST", IDENTITY + endpoint + query, json=body)

    def mail(kind, **body):
        return {"requestType": kind, **body}

    answers = {}
    account = {"email": address, "password": "secret-1", "returnSecureToken": True}
    created = identity("signUp", account)
    answers["sign-up"] = answer(created)
    tokens = created.json()
    for name, endpoint, body in [
        ("sign-up again", "signUp", account),
        ("sign-up, weak password", "signUp", dict(account, email="w" + address, password="12345")),
        ("sign-up, no password", "signUp", {"email": "p" + address}),
        ("sign-up, no address", "signUp", {"password": "secret-1"}),
        ("sign-up, bad address", "signUp", dict(account, email="ada.example.com")),
        ("sign-up, password a number", "signUp", dict(account, email="n" + address,
                                                       password=123456)),
        ("sign-up, password true", "signUp", dict(account, email="t" + address, password=True)),
        ("sign-up, address null", "signUp", dict(account, email=None)),
        ("sign-up, unknown member", "signUp", dict(account, email="u" + address, extra=1)),
        ("sign-up, not an object", "signUp", [account]),
        ("sign-in", "signInWithPassword", dict(account, email=address.upper())),
        ("sign-in, no returnSecureToken", "signInWithPassword",
         {"email": address, "password": "secret-1"}),
        ("sign-in, wrong password", "signInWithPassword", dict(account, password="wrong-1")),
        ("sign-in, unknown address", "signInWithPassword", dict(account, email="x" + address)),
        ("sign-in, bad address", "signInWithPassword", dict(account, email="ada.example.com")),
        ("sign-in, no address", "signInWithPassword", {"password": "secret-1"}),
        ("sign-in, no password", "signInWithPassword", {"email": address}),
        ("sign-in, returnSecureToken text", "signInWithPassword",
         dict(account, returnSecureToken="yes")),
        ("verification mail", "sendOobCode", mail("VERIFY_EMAIL", idToken=tokens["idToken"])),
        ("verification mail, bad token", "sendOobCode", mail("VERIFY_EMAIL", idToken="a.b.c")),
        ("verification mail, no token", "sendOobCode", mail("VERIFY_EMAIL")),
        ("verification mail, null token", "sendOobCode", mail("VERIFY_EMAIL", idToken=None)),
        ("reset mail", "sendOobCode", mail("PASSWORD_RESET", email=address)),
        ("reset mail, unknown address", "sendOobCode", mail("PASSWORD_RESET", email="x" + address)),
        ("reset mail, bad address", "sendOobCode", mail("PASSWORD_RESET", email="ada.example.com")),
        ("reset mail, no address", "sendOobCode", mail("PASSWORD_RESET")),
        ("sign-in link", "sendOobCode", mail("EMAIL_SIGNIN", email=address)),
        ("mail, no type", "sendOobCode", {"email": address}),
        ("mail, unspecified type", "sendOobCode", mail("OOB_REQ_TYPE_UNSPECIFIED")),
        ("mail, unknown type", "sendOobCode", mail("BOGUS", email=address)),
        ("lookup", "lookup", {"idToken": tokens["idToken"]}),
        ("lookup, bad token", "lookup", {"idToken": "a.b.c"}),
        ("lookup, no token", "lookup", {}),
        ("lookup, empty token", "lookup", {"idToken": ""}),
        ("lookup, null token", "lookup", {"idToken": None}),
    ]:
        answers[name] = answer(identity(endpoint, body))
    answers["no API key"] = answer(identity("signUp", dict(account, email="k" + address),
                                            key=None))

    refresh = tokens["refreshToken"]
    for name, form, url in [
        ("refresh", {"grant_type": "refresh_token", "refresh_token": refresh}, TOKEN),
        ("refresh, unknown token", {"grant_type": "refresh_token", "refresh_token": "nope"}, TOKEN),
        ("refresh, no token", {"grant_type": "refresh_token"}, TOKEN),
        ("refresh, no grant", {"refresh_token": refresh}, TOKEN),
        ("refresh, other grant", {"grant_type": "password", "refresh_token": refresh}, TOKEN),
        ("refresh, no API key", {"grant_type": "refresh_token", "refresh_token": refresh},
         TOKEN.split("?")[0]),
    ]:
        answers[name] = answer(send("POST", url, data=form))
    claims = token_claims(tokens["idToken"])
    answers["ID token claims"] = sorted(claims), sorted(claims["firebase"])
    answers["ID token values"] = (
        claims["iss"] == "https://securetoken.google.com/" + claims["aud"],
        claims["sub"] == claims["user_id"] == tokens["localId"],
        claims["exp"] - claims["iat"], claims["email"] == address, claims["email_verified"],
        claims["firebase"]["identities"] == {"email": [address]},
        claims["firebase"]["sign_in_provider"])
    return answers


def test_the_stand_ins_answer_as_the_emulator(svc, emulator):
    emulator.clear()
    expected = scenario(sender(None, emulator=emulator))
    got = scenario(sender(svc))
    assert list(got) == list(expected)
    different = {name: (got[name], expected[name]) for name in got if got[name] != expected[name]}
    assert not different, "\n".join(f"{name}:\n  stand-ins {ours}\n  emulator  {theirs}"
                                    for name, (ours, theirs) in different.items())


# ---- HTTPS functions, at the Functions emulator and at the stand-in -------------------

FUNCTIONS = "https://europe-west1-demo-project.cloudfunctions.net/v1_"
FIXED = {"X-Tavrin-Auth": "test-auth-key"}
SEALED = dict(FIXED, **{"X-Tavrin-Encrypted": "true"})
PAYLOAD = {"order": 7, "items": ["tea", "caf\u00e9"], "gift": None}
OTHER_KEY_B64 = base64.b64encode(bytes(nacl.public.PrivateKey.generate().public_key)).decode()
LARGE = {"blob": "x" * 2_000_000}
VALID = "valid functions are: europe-west1-v1_echo, europe-west1-v1_fail"


def echoed(payload, encrypted=True, uid=None):
    return {"echo": payload, "encrypted": encrypted, "uid": uid}


@pytest.fixture(params=["standins", "emulator"])
def functions(request, fb, app):
    """The module's function calls go to the functions stand-in, or to the
    Functions emulator (accounts to the Auth emulator); returns a sender of
    raw requests routed the same way."""
    if request.param == "standins":
        return sender(request.getfixturevalue("svc"))
    return sender(None, functions_emulator=request.getfixturevalue("firebase_functions_emulator"))


@pytest.mark.parametrize("name, payload, options, expected", [
    ("echo", PAYLOAD, {}, echoed(PAYLOAD)),
    ("echo", PAYLOAD, {"encrypt": False}, echoed(PAYLOAD, False)),
    ("echo", LARGE, {}, echoed(LARGE)),
    ("echo", PAYLOAD, {"use_auth_token": True}, echoed(PAYLOAD, uid="account")),
    ("echo", PAYLOAD, {"use_auth_token": True,
                       "additional_headers": {"Authorization": "Bearer forged"}}, echoed(PAYLOAD)),
    ("echo", PAYLOAD, {"additional_headers": {"X-Tavrin-Auth": "wrong"}},
     (403, "PERMISSION_DENIED")),
    ("echo", PAYLOAD, {"key": OTHER_KEY_B64}, (400, "INVALID_ARGUMENT")),
    ("fail", {"status": 503}, {}, (503, "INTERNAL")),
    ("fail", {}, {"encrypt": False}, (500, "INTERNAL")),
], ids=["sealed", "plain", "large", "bearer", "bearer replaced", "fixed header replaced",
        "other key", "fail 503", "fail"])
def test_trigger_function(fb, app, functions, monkeypatch, name, payload, options, expected):
    options = dict(options)
    if "key" in options:
        monkeypatch.setattr(fb, "SEALED_BOX_SERVER_PUBLIC_KEY_B64", options.pop("key"))
    if options.get("use_auth_token"):
        up = run(fb.auth_sign_up(new_address(), "secret-1"))
        app.firebase_id_token, app.firebase_refresh_token = up["idToken"], up["refreshToken"]
        if isinstance(expected, dict) and expected["uid"] == "account":
            expected = dict(expected, uid=up["localId"])
    if isinstance(expected, dict):
        assert run(fb.trigger_function(name, payload, **options)) == expected
        return
    with pytest.raises(httpx.HTTPStatusError) as info:
        run(fb.trigger_function(name, payload, **options))
    assert service_error(info.value)[::2] == expected
    assert entries(info.value) == [("trigger_function", 410),
                                   ("tavrin.firebase.trigger_function", 429)]


def test_concurrent_calls(fb, functions):
    async def calls():
        return await asyncio.gather(*(fb.trigger_function("echo", {"n": n}) for n in range(4)))
    assert run(calls()) == [echoed({"n": n}) for n in range(4)]


def sealed(payload):
    box = nacl.public.SealedBox(nacl.public.PublicKey(base64.b64decode(PUBLIC_KEY_B64)))
    return base64.b64encode(box.encrypt(json.dumps(payload).encode()))


@pytest.mark.parametrize("method, url, headers, body, expected", [
    ("POST", FUNCTIONS + "echo", {}, b"{}", (401, "UNAUTHENTICATED")),
    ("POST", FUNCTIONS + "echo", {"X-Tavrin-Auth": "wrong"}, b"{}", (403, "PERMISSION_DENIED")),
    ("POST", FUNCTIONS + "echo", {"x-tavrin-auth": "test-auth-key"}, b"[]",
     (200, echoed([], False))),
    ("POST", FUNCTIONS + "echo", SEALED, sealed(PAYLOAD)[:-8], (400, "INVALID_ARGUMENT")),
    ("POST", FUNCTIONS + "echo", SEALED, base64.b64encode(b"x" * 47), (400, "INVALID_ARGUMENT")),
    ("POST", FUNCTIONS + "echo", SEALED, json.dumps(PAYLOAD).encode(),
     (400, "INVALID_ARGUMENT")),
    ("POST", FUNCTIONS + "echo", FIXED, b"{not json", (400, "INVALID_ARGUMENT")),
    ("POST", FUNCTIONS + "echo", FIXED, b"", (400, "INVALID_ARGUMENT")),
    ("GET", FUNCTIONS + "echo", FIXED, None, (405, "METHOD_NOT_ALLOWED")),
    ("POST", FUNCTIONS + "fail", FIXED, b'{"status": 200}', (400, "INVALID_ARGUMENT")),
    ("POST", FUNCTIONS + "missing", FIXED, b"{}",
     (404, "Function europe-west1-v1_missing does not exist, " + VALID)),
    ("POST", FUNCTIONS.replace("europe-west1", "us-central1") + "echo", FIXED, b"{}",
     (404, "Function us-central1-v1_echo does not exist, " + VALID)),
    ("POST", FUNCTIONS.replace("demo-project", "demo-other") + "echo", FIXED, b"{}",
     (404, "Not Found")),
])
def test_raw_requests(functions, method, url, headers, body, expected):
    """The functions stand-in answers as the test application's functions
    answer at the emulator."""
    response = functions(method, url, headers=headers, content=body)
    if response.headers["content-type"].startswith("application/json"):
        reply = response.json()
        assert (response.status_code, reply["error"]["status"] if "error" in reply else reply
                ) == expected
    else:
        assert (response.status_code, response.text) == expected
