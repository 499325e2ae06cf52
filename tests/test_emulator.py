"""tavrin.firebase at the official Auth and Functions emulators and at the
stand-ins, and the stand-ins' raw answers compared with the emulators'. The
emulator takes any API key and neither signs nor expires its ID tokens."""
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
from firebase_standins.emulator import AuthEmulator, EmulatorUnavailable, token_claims
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


@pytest.fixture(params=["standins", "emulator"])
def backend(request, fb, svc):
    """Where the identity and secure-token requests go: expiring(id_token, exp)
    is the account's ID token made to expire at exp, mails() what was sent."""
    if request.param == "standins":
        return types.SimpleNamespace(
            expiring=lambda token, exp: svc.make_id_token(token_claims(token)["user_id"], exp=exp),
            mails=lambda: [(m.kind, m.email) for m in svc.outbox.mails()])
    emulator = request.getfixturevalue("_firebase_emulator_found")
    emulator.clear()
    route(fb, svc, emulator=emulator)  # the svc fixture gives httpx back afterwards
    return types.SimpleNamespace(expiring=emulator.with_expiry, mails=lambda: [
        (c["requestType"], c["email"]) for c in emulator.oob_codes()])


run = asyncio.run


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

def test_operations(fb, backend):  # the replies' members are compared below
    address = new_address()
    up = run(fb.auth_sign_up(address, "secret-1"))
    assert (up["kind"], up["email"], up["expiresIn"]) == (
        "identitytoolkit#SignupNewUserResponse", address, "3600")
    signed_in = run(fb.auth_sign_in(address.upper(), "secret-1"))
    assert (signed_in["localId"], signed_in["email"], signed_in["registered"]) == (
        up["localId"], address, True)
    assert run(fb.verify_email(up["idToken"])) == run(fb.send_password_reset_email(
        address.upper())) == {"kind": OOB_REPLY, "email": address}
    assert backend.mails() == [("VERIFY_EMAIL", address), ("PASSWORD_RESET", address)]
    record = run(fb.get_auth_user_data(up["idToken"]))
    assert (record["localId"], record["emailVerified"]) == (up["localId"], False)
    assert record["providerUserInfo"] == [{"providerId": "password", "email": address,
                                           "federatedId": address, "rawId": address}]
    reply = run(fb.refresh_id_token(up["refreshToken"]))
    assert (reply["user_id"], reply["token_type"], reply["expires_in"], reply["refresh_token"]
            ) == (up["localId"], "Bearer", "3600", up["refreshToken"])
    assert run(fb.get_auth_user_data(reply["access_token"]))["localId"] == up["localId"]


# One refusal per operation; the stand-ins' answers to the rest are compared below.
@pytest.mark.parametrize("call, message", [
    (lambda fb, user: fb.auth_sign_up(user.email, "secret-2"), "EMAIL_EXISTS"),
    (lambda fb, user: fb.auth_sign_in(user.email, "wrong-1"), "INVALID_PASSWORD"),
    (lambda fb, user: fb.send_password_reset_email(new_address()), "EMAIL_NOT_FOUND"),
    (lambda fb, user: fb.verify_email(None),
     "Invalid JSON payload received. /idToken must be string"),
    (lambda fb, user: fb.get_auth_user_data(""), "MISSING_ID_TOKEN"),
    (lambda fb, user: fb.refresh_id_token("not-a-refresh-token"), "INVALID_REFRESH_TOKEN"),
])
def test_refusals(fb, backend, user, call, message):
    assert refused(call(fb, user)) == (400, message)
    assert backend.mails() == []


@pytest.mark.parametrize("refused", [False, True])
def test_session_validation(fb, backend, user, app, refused):
    app.firebase_id_token = backend.expiring(user.id_token, time.time() + (-10 if refused else 60))
    app.firebase_refresh_token = "not-a-refresh-token" if refused else user.refresh_token
    app.user_id = user.uid
    run(fb.ensure_valid_token())
    if refused:  # the login is given up
        assert app.messages[0][0].startswith(
            f"\nToken refresh failed: Client error '400 Bad Request' for url '{TOKEN}'")
        assert (app.firebase_id_token, app.firebase_refresh_token, app.user_id) == (None,) * 3
    else:
        assert fb.get_token_expiry(app.firebase_id_token) > time.time() + 2900
        assert token_claims(app.firebase_id_token)["user_id"] == app.user_id == user.uid


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
        if endpoint == "token":  # a form to the secure-token host
            return send("POST", TOKEN, data=body)
        query = "" if key is None else "?key=" + key
        return send("POST", IDENTITY + endpoint + query, json=body)

    def mail(kind, **body):
        return {"requestType": kind, **body}

    answers = {}
    account = {"email": address, "password": "secret-1", "returnSecureToken": True}
    created = identity("signUp", account)
    answers["sign-up"] = answer(created)
    tokens = created.json()
    refresh = tokens["refreshToken"]
    for name, endpoint, body in [
        ("sign-up, weak password", "signUp", dict(account, email="w" + address, password="12345")),
        ("sign-up, no password", "signUp", {"email": "p" + address}),
        ("sign-up, no address", "signUp", {"password": "secret-1"}),
        ("sign-up, bad address", "signUp", dict(account, email="ada.example.com")),
        ("sign-up, password a number", "signUp", dict(account, email="n" + address,
                                                       password=123456)),
        ("sign-up, password true", "signUp", dict(account, email="t" + address, password=True)),
        ("sign-up, not an object", "signUp", [account]),
        ("sign-in", "signInWithPassword", dict(account, email=address.upper())),
        ("sign-in, no returnSecureToken", "signInWithPassword",
         {"email": address, "password": "secret-1"}),
        ("sign-in, unknown address", "signInWithPassword", dict(account, email="x" + address)),
        ("sign-in, no password", "signInWithPassword", {"email": address}),
        ("sign-in, returnSecureToken text", "signInWithPassword",
         dict(account, returnSecureToken="yes")),
        ("verification mail", "sendOobCode", mail("VERIFY_EMAIL", idToken=tokens["idToken"])),
        ("verification mail, bad token", "sendOobCode", mail("VERIFY_EMAIL", idToken="a.b.c")),
        ("verification mail, no token", "sendOobCode", mail("VERIFY_EMAIL")),
        ("reset mail", "sendOobCode", mail("PASSWORD_RESET", email=address)),
        ("reset mail, no address", "sendOobCode", mail("PASSWORD_RESET")),
        ("sign-in link", "sendOobCode", mail("EMAIL_SIGNIN", email=address)),
        ("mail, no type", "sendOobCode", {"email": address}),
        ("mail, unknown type", "sendOobCode", mail("BOGUS", email=address)),
        ("lookup", "lookup", {"idToken": tokens["idToken"]}),
        ("lookup, no token", "lookup", {}),
        ("refresh", "token", {"grant_type": "refresh_token", "refresh_token": refresh}),
        ("refresh, no token", "token", {"grant_type": "refresh_token"}),
        ("refresh, no grant", "token", {"refresh_token": refresh}),
    ]:
        answers[name] = answer(identity(endpoint, body))
    answers["no API key"] = answer(identity("signUp", dict(account, email="k" + address),
                                            key=None))

    claims = token_claims(tokens["idToken"])
    answers["ID token claims"] = sorted(claims), sorted(claims["firebase"])
    answers["ID token values"] = (
        claims["iss"] == "https://securetoken.google.com/" + claims["aud"],
        claims["sub"] == claims["user_id"] == tokens["localId"],
        claims["exp"] - claims["iat"], claims["email"] == address, claims["email_verified"],
        claims["firebase"]["identities"] == {"email": [address]},
        claims["firebase"]["sign_in_provider"])
    return answers


def test_the_stand_ins_answer_as_the_emulator(svc, _firebase_emulator_found):
    emulator = _firebase_emulator_found
    emulator.clear()
    expected = scenario(sender(None, emulator=emulator))
    got = scenario(sender(svc))
    assert list(got) == list(expected)
    different = {name: (got[name], expected[name]) for name in got if got[name] != expected[name]}
    assert not different, "\n".join(f"{name}:\n  stand-ins {ours}\n  emulator  {theirs}"
                                    for name, (ours, theirs) in different.items())


def test_a_project_the_emulator_does_not_serve_fails_at_once(_firebase_emulator_found):
    emu = _firebase_emulator_found  # its project asked of it
    with pytest.raises(EmulatorUnavailable, match=f"serves the project {emu.project}, not demo-x"):
        AuthEmulator.from_environment({"FIREBASE_AUTH_EMULATOR_HOST": emu.address,
                                       "TAVRIN_EMULATOR_PROJECT": "demo-x"}).find_project()


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


@pytest.mark.parametrize("url, headers, body, expected", [
    ("echo", {}, b"{}", (401, "UNAUTHENTICATED")),
    ("echo", {"X-Tavrin-Auth": "wrong"}, b"{}", (403, "PERMISSION_DENIED")),
    ("echo", {"x-tavrin-auth": "test-auth-key"}, b"[]", (200, echoed([], False))),
    ("echo", SEALED, sealed(PAYLOAD)[:-8], (400, "INVALID_ARGUMENT")),
    ("echo", SEALED, base64.b64encode(b"x" * 47), (400, "INVALID_ARGUMENT")),
    ("echo", SEALED, json.dumps(PAYLOAD).encode(), (400, "INVALID_ARGUMENT")),
    ("echo", FIXED, b"{not json", (400, "INVALID_ARGUMENT")),
    ("echo", FIXED, None, (405, "METHOD_NOT_ALLOWED")),  # a GET
    ("fail", FIXED, b'{"status": 200}', (400, "INVALID_ARGUMENT")),
    ("missing", FIXED, b"{}", (404, "Function europe-west1-v1_missing does not exist, " + VALID)),
    (FUNCTIONS.replace("europe-west1", "us-central1") + "echo", FIXED, b"{}",
     (404, "Function us-central1-v1_echo does not exist, " + VALID)),
    (FUNCTIONS.replace("demo-project", "demo-other") + "echo", FIXED, b"{}", (404, "Not Found")),
])
def test_raw_requests(functions, url, headers, body, expected):
    response = functions("GET" if body is None else "POST",
                         url if "://" in url else FUNCTIONS + url, headers=headers, content=body)
    if response.headers["content-type"].startswith("application/json"):
        reply = response.json()
        assert (response.status_code, reply["error"]["status"] if "error" in reply else reply
                ) == expected
    else:
        assert (response.status_code, response.text) == expected
