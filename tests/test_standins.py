"""The Firebase stand-ins and the routing shim, driven with plain httpx."""
import asyncio
import json
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
from firebase_standins import jwt  # noqa: E402

CONFIG = StandinConfig(api_key="key-1", project_id="proj-1")
IDENTITY = "https://identitytoolkit.googleapis.com/v1/accounts:"


@pytest.fixture
def svc():
    with ServicesThread(CONFIG) as running:
        yield running


@pytest.fixture
def call(svc):
    """call(endpoint, body, key=...) posts to the identity stand-in through
    a routed client and returns the response."""
    module = types.ModuleType("caller")
    module.httpx = httpx
    route(module, svc)

    def post(endpoint, body, key="key-1"):
        async def go():
            async with module.httpx.AsyncClient() as client:
                query = "" if key is None else "?key=" + key
                return await client.post(IDENTITY + endpoint + query, json=body)
        return asyncio.run(go())
    return post


def account(email="Someone@Example.com", password="secret-1"):
    return {"email": email, "password": password, "returnSecureToken": True}


def error_of(response):
    assert response.headers["content-type"].startswith("application/json")
    return response.json()["error"]


def auth_error(message):
    return {"code": 400, "message": message,
            "errors": [{"message": message, "domain": "global", "reason": "invalid"}]}


def test_sign_up_reply(call):
    response = call("signUp", account())
    assert response.status_code == 200
    reply = response.json()
    assert list(reply) == ["kind", "idToken", "email", "refreshToken", "expiresIn", "localId"]
    assert reply["kind"] == "identitytoolkit#SignupNewUserResponse"
    assert reply["email"] == "someone@example.com"
    assert reply["expiresIn"] == "3600"
    assert len(reply["localId"]) == 28 and reply["refreshToken"]


def test_duplicate_sign_up(call):
    assert call("signUp", account()).status_code == 200
    response = call("signUp", account(email="someone@example.com", password="other-pw"))
    assert response.status_code == 400
    assert error_of(response) == auth_error("EMAIL_EXISTS")


def test_sign_in(call):
    created = call("signUp", account()).json()
    response = call("signInWithPassword", account())
    assert response.status_code == 200
    reply = response.json()
    assert reply["kind"] == "identitytoolkit#VerifyPasswordResponse"
    assert reply["registered"] is True
    assert reply["localId"] == created["localId"]
    assert reply["email"] == "someone@example.com"
    assert reply["expiresIn"] == "3600"
    assert reply["idToken"].count(".") == 2 and reply["refreshToken"]


@pytest.mark.parametrize("endpoint, body, message", [
    ("signInWithPassword", account(password="wrong-pw"), "INVALID_PASSWORD"),
    ("signInWithPassword", account(email="nobody@example.com"), "EMAIL_NOT_FOUND"),
    ("signInWithPassword", account(password=""), "MISSING_PASSWORD"),
    ("signInWithPassword", account(email="not-an-address"), "INVALID_EMAIL"),
    ("signUp", account(email="new@example.com", password="12345"),
     "WEAK_PASSWORD : Password should be at least 6 characters"),
    ("signUp", {"email": "new@example.com"}, "MISSING_PASSWORD"),
    ("signUp", account(email=" new@example.com"), "INVALID_EMAIL"),
])
def test_account_errors(call, endpoint, body, message):
    call("signUp", account())
    response = call(endpoint, body)
    assert response.status_code == 400
    assert error_of(response) == auth_error(message)


def test_status_error_names_the_production_url(call):
    response = call("signInWithPassword", account())
    with pytest.raises(httpx.HTTPStatusError) as info:
        response.raise_for_status()
    assert info.value.response.status_code == 400
    assert str(info.value.request.url) == IDENTITY + "signInWithPassword?key=key-1"


def test_bad_api_key(call, svc):
    response = call("signUp", account(), key="wrong")
    assert response.status_code == 400
    error = error_of(response)
    assert error["message"] == "API key not valid. Please pass a valid API key."
    assert error["status"] == "INVALID_ARGUMENT"
    assert error["errors"] == [{"message": error["message"], "domain": "global",
                                "reason": "badRequest"}]
    assert error["details"][0]["reason"] == "API_KEY_INVALID"
    assert svc.accounts.all() == []
    missing = call("signUp", account(), key=None)
    assert missing.status_code == 403
    assert error_of(missing)["status"] == "PERMISSION_DENIED"


def test_payload_errors(call):
    response = call("signInWithPassword", {"email": "a@b.com", "password": 123456})
    assert response.status_code == 400
    assert error_of(response)["message"] == (
        "Invalid JSON payload received. Invalid value at 'password' (TYPE_STRING), 123456")
    response = call("signUp", {"email": "a@b.com", "password": "secret-1", "extra": 1})
    assert error_of(response)["message"] == (
        'Invalid JSON payload received. Unknown name "extra": Cannot find field.')


def test_id_token_is_a_jwt(call, svc):
    before = int(time.time())
    reply = call("signUp", account()).json()
    header_b64, claims_b64, signature_b64 = reply["idToken"].split(".")
    assert "=" not in reply["idToken"]
    header = json.loads(jwt.b64url_decode(header_b64))
    claims = json.loads(jwt.b64url_decode(claims_b64))
    assert header["alg"] == "HS256" and header["typ"] == "JWT"
    assert len(jwt.b64url_decode(signature_b64)) == 32
    assert claims["iss"] == "https://securetoken.google.com/proj-1"
    assert claims["aud"] == "proj-1"
    assert claims["sub"] == claims["user_id"] == reply["localId"]
    assert before <= claims["iat"] <= time.time()
    assert claims["auth_time"] == claims["iat"]
    assert claims["exp"] == claims["iat"] + 3600
    assert claims["email"] == "someone@example.com" and claims["email_verified"] is False
    assert claims["firebase"] == {"identities": {"email": ["someone@example.com"]},
                                  "sign_in_provider": "password"}
    assert svc.accounts.verify_id_token(reply["idToken"]) == claims
    with pytest.raises(jwt.InvalidToken):
        svc.accounts.verify_id_token(reply["idToken"][:-2] + "AA")


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
    assert functions.status_code == 404  # no functions stand-in answers yet


def test_unroute_restores_a_missing_binding(svc):
    module = types.ModuleType("caller")
    route(module, svc.base_url)
    route(module, svc.base_url)  # routing twice still remembers the original
    unroute(module)
    assert not hasattr(module, "httpx")


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
