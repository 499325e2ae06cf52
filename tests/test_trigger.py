"""trigger_function: headers, address, sealed or plain body, timeout."""
import asyncio
import base64
import importlib
import time

import nacl.public
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from support import PRIVATE_KEY_B64, Suspend, entries

FUNCTIONS = "https://europe-west1-demo-project.cloudfunctions.net"
FIXED = ("X-Tavrin-Auth", "test-auth-key")
SEALED = "X-Tavrin-Encrypted"
NO_TOKEN = "Authentication token requested but not available."
PAYLOAD = {"b": 1, "caf\u00e9": [1, None]}
COMPACT = b'{"b":1,"caf\\u00e9":[1,null]}'


def open_box(body):
    key = nacl.public.PrivateKey(base64.b64decode(PRIVATE_KEY_B64))
    return nacl.public.SealedBox(key).decrypt(base64.b64decode(body, validate=True))


def trigger(fb, *args, **kwargs):
    return asyncio.run(fb.trigger_function(*args, **kwargs))


def recorded(fake, payload=None):
    """A recording client; returns the log entry of its one request once sent."""
    fake.client(request=Suspend(fake.log, (), result=fake.response(payload=payload)))
    return lambda: next(e for e in fake.log if e[0] == "post")


@pytest.fixture
def validated(fb, app, monkeypatch):
    """Session validation replaced: it records its runs and formats nothing."""
    runs = []

    async def ensure_valid_token():
        runs.append(app.firebase_id_token)
    monkeypatch.setattr(fb, "ensure_valid_token", ensure_valid_token)
    return runs


# -- over the stand-ins ---------------------------------------------------------

@pytest.mark.parametrize("left, refreshed", [(3600, False), (60, True)])
def test_bearer_token_after_validation(fb, svc, app, user, left, refreshed):
    app.firebase_id_token = svc.make_id_token(user.uid, exp=time.time() + left)
    app.firebase_refresh_token, app.user_id = user.refresh_token, user.uid
    old = app.firebase_id_token
    reply = trigger(fb, "echo", {"n": 1}, True, None, 5.0, False)
    assert reply == {"echo": {"n": 1}, "encrypted": False, "uid": user.uid}
    assert [r.host.split(".", 1)[1] for r in svc.requests] == (
        ["googleapis.com"] * refreshed + ["cloudfunctions.net"])
    assert (app.firebase_id_token != old) is refreshed
    assert svc.functions.last().header("authorization") == "Bearer " + app.firebase_id_token


def test_failed_refresh_sends_nothing(fb, svc, app, user):
    app.firebase_id_token = svc.make_id_token(user.uid, exp=time.time() - 5)
    app.firebase_refresh_token = user.refresh_token
    svc.revoke_refresh_token(user.refresh_token)
    with pytest.raises(Exception) as info:
        trigger(fb, "echo", {}, use_auth_token=True)
    assert info.value.args == (NO_TOKEN,) and entries(info.value) == [("trigger_function", 403)]
    assert svc.functions.last() is None and app.firebase_id_token is None


# -- what is handed to the client -----------------------------------------------

DEFAULT = object()


@pytest.mark.parametrize("timeout", [DEFAULT, 12.5, None, 7])
@pytest.mark.parametrize("encrypt", [True, False])
def test_keywords_in_order_and_timeout_unchanged(fb, fake, app, timeout, encrypt):
    sent = recorded(fake, payload={"ok": 1})
    options = {} if timeout is DEFAULT else {"timeout_seconds": timeout}
    assert trigger(fb, "f", PAYLOAD, encrypt=encrypt, **options) == {"ok": 1}
    assert fake.calls == [((), {})]
    _, url, kw = sent()
    assert url == FUNCTIONS + "/v1_f"
    body = "content" if encrypt else "json"
    assert list(kw) == ["headers", body, "timeout"]
    if timeout is DEFAULT:
        assert type(kw["timeout"]) is float and kw["timeout"] == 30.0
    else:
        assert kw["timeout"] is timeout
    if encrypt:
        assert list(kw["headers"].items()) == [FIXED, (SEALED, "true")]
        assert type(kw["content"]) is bytes and open_box(kw["content"]) == COMPACT
    else:
        assert list(kw["headers"].items()) == [FIXED] and kw["json"] is PAYLOAD


@pytest.mark.parametrize("version, name, base, url", [
    ("beta", "processPayment", None, FUNCTIONS + "/beta_processPayment"),
    (2, 5, lambda: 7, "7/2_5"),
])
def test_address(fb, fake, app, monkeypatch, version, name, base, url):
    monkeypatch.setattr(fb, "API_VERSION", version)
    if base is not None:
        monkeypatch.setattr(fb, "get_functions_base_url", base)
    sent = recorded(fake)
    trigger(fb, name, {}, encrypt=False)
    assert sent()[1] == url


class EmptyMapping:
    def __len__(self):
        return 0

    def keys(self):
        raise AssertionError("merged")


@pytest.mark.parametrize("extra, expected", [
    ([("X-Pair", "p"), ("x-pair", "q")], [FIXED, ("Authorization", "Bearer tok"), ("x-pair", "q")]),
    ({}, [FIXED, ("Authorization", "Bearer tok")]),
    (EmptyMapping(), [FIXED, ("Authorization", "Bearer tok")]),
])
def test_additional_headers_not_a_dict_or_empty(fb, fake, app, validated, extra, expected):
    app.firebase_id_token = "tok"
    sent = recorded(fake)
    trigger(fb, "f", {}, True, extra, encrypt=False)
    assert list(sent()[2]["headers"].items()) == expected
    assert validated == ["tok"]


def one_spelling_each(headers, extra, encrypt):
    """What a dict gives: the update, then each str name only in its last
    spelling, then the sealed marker under its own spelling alone."""
    headers = {**headers, **extra}
    last = {k.lower(): k for k in headers if isinstance(k, str)}
    headers = {k: v for k, v in headers.items() if not isinstance(k, str) or last[k.lower()] == k}
    if encrypt:
        headers = {k: v for k, v in headers.items()
                   if not isinstance(k, str) or k.lower() != SEALED.lower() or k == SEALED}
        headers[SEALED] = "true"
    return list(headers.items())


SPELLINGS = ["Authorization", "authorization", "AUTHORIZATION", SEALED, SEALED.lower(),
             FIXED[0], FIXED[0].upper(), "X-A", "x-a", b"x-a", b"Authorization"]


@settings(deadline=None, database=None, max_examples=60,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(extra=st.dictionaries(st.sampled_from(SPELLINGS), st.sampled_from(["1", "2"]), min_size=1),
       encrypt=st.booleans())
def test_header_names_match_without_case(fb, fake, app, validated, extra, encrypt):
    app.firebase_id_token = "tok"
    fake.log.clear()
    sent, before = recorded(fake), dict(extra)
    trigger(fb, "f", {}, True, extra, encrypt=encrypt)
    assert list(sent()[2]["headers"].items()) == one_spelling_each(
        dict([FIXED, ("Authorization", "Bearer tok")]), extra, encrypt)
    assert extra == before


# -- failures ---------------------------------------------------------------------

@pytest.mark.parametrize("token", [None, "", 0])
def test_token_requested_but_missing(fb, fake, app, validated, token):
    app.firebase_id_token = token
    with pytest.raises(Exception) as info:
        trigger(fb, "f", {}, use_auth_token=True)
    assert type(info.value) is Exception and info.value.args == (NO_TOKEN,)
    assert entries(info.value) == [("trigger_function", 401)]
    assert (fake.calls, validated) == ([], [])


def test_sealing_failure_closes_the_client_first(fb, fake, app, monkeypatch):
    monkeypatch.setattr(fb, "SEALED_BOX_SERVER_PUBLIC_KEY_B64", base64.b64encode(b"k" * 31))
    fake.client()
    with pytest.raises(Exception) as info:
        trigger(fb, "f", {})
    assert type(info.value) is Exception
    assert str(info.value) == ("Failed to encrypt request payload: "
                               "Invalid server public key length; expected 32 bytes")
    assert [e[:2] for e in fake.log] == [("enter", ()), ("exit", Exception)]
    assert fake.log[1][2] is info.value
    assert entries(info.value) == [
        ("trigger_function", 410), ("tavrin.firebase.trigger_function", 414),
        ("tavrin.firebase._sealed_box_encrypt", 37)]


def no_get_app(fb, monkeypatch):
    monkeypatch.setattr(importlib.import_module("tavrin.env"), "get_app", lambda: 1 / 0)


@pytest.mark.parametrize("setup, error, line", [
    (no_get_app, ZeroDivisionError, 395),
    (lambda fb, mp: mp.delattr(fb, "AUTH_HEADER_NAME"), NameError, 397),
    (lambda fb, mp: mp.setattr(fb, "ENCRYPTED_AUTH_KEY", "text"), AttributeError, 397),
    (lambda fb, mp: mp.delattr(fb, "API_VERSION"), NameError, 405),
    (lambda fb, mp: mp.setattr(fb, "get_functions_base_url", None), TypeError, 405),
])
def test_failures_before_the_client(fb, fake, app, monkeypatch, setup, error, line):
    setup(fb, monkeypatch)
    with pytest.raises(error) as info:
        trigger(fb, "f", {})
    assert entries(info.value) == [("trigger_function", line)]
    assert fake.calls == []
