"""trigger_function: headers, address, sealed or plain body, timeout."""
import asyncio
import base64
import importlib
import types

import nacl.public
import pytest
from hypothesis import HealthCheck, example, given, settings
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
    """Session validation replaced: it records the ID token it finds and leaves
    `renewed` in its place."""
    seen = types.SimpleNamespace(runs=[], renewed="tok")

    async def ensure_valid_token():
        seen.runs.append(app.firebase_id_token)
        app.firebase_id_token = seen.renewed
    monkeypatch.setattr(fb, "ensure_valid_token", ensure_valid_token)
    return seen


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
    assert list(kw) == ["headers", "content" if encrypt else "json", "timeout"]
    expected = (float, 30.0) if timeout is DEFAULT else (type(timeout), timeout)
    assert (type(kw["timeout"]), kw["timeout"]) == expected
    if encrypt:
        assert list(kw["headers"].items()) == [FIXED, (SEALED, "true")]
        assert type(kw["content"]) is bytes and open_box(kw["content"]) == COMPACT
    else:
        assert list(kw["headers"].items()) == [FIXED] and kw["json"] is PAYLOAD


def test_address_pieces_are_looked_up_and_converted_to_text(fb, fake, app, monkeypatch):
    monkeypatch.setattr(fb, "API_VERSION", 2)
    monkeypatch.setattr(fb, "get_functions_base_url", lambda: 7)
    sent = recorded(fake)
    trigger(fb, 5, {}, encrypt=False)
    assert sent()[1] == "7/2_5"


class EmptyMapping:
    def __len__(self):
        return 0

    def keys(self):
        raise AssertionError("merged")


def folded(name):
    """A header name without case: str names and ASCII bytes names alike."""
    if isinstance(name, bytes):
        return name.decode("ascii").lower() if name.isascii() else None
    return name.lower() if isinstance(name, str) else None


def one_spelling_each(extra, encrypt):
    """What a dict gives: the caller's headers (if any) over the module's, then each
    name only in its last spelling, then the sealed marker under its own spelling alone."""
    headers = dict([FIXED, ("Authorization", "Bearer tok")])
    headers.update(extra or {})
    last = {folded(k): k for k in headers}
    headers = {k: v for k, v in headers.items() if folded(k) is None or last[folded(k)] is k}
    if encrypt:
        headers = {k: v for k, v in headers.items()
                   if folded(k) != SEALED.lower() or k == SEALED and type(k) is str}
        headers[SEALED] = "true"
    return list(headers.items())


SPELLINGS = ["Authorization", "authorization", "AUTHORIZATION", SEALED, SEALED.lower(),
             FIXED[0], FIXED[0].upper(), "X-A", "x-a", b"x-a", b"Authorization",
             SEALED.lower().encode(), b"X-\xc9", b"x-\xe9", 7]


@settings(deadline=None, database=None, max_examples=60,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(extra=st.dictionaries(st.sampled_from(SPELLINGS), st.sampled_from(["1", "2"])),
       encrypt=st.booleans())
@example(extra=[("X-Pair", "p"), ("x-pair", "q")], encrypt=False)  # pairs, not a dict
@example(extra=EmptyMapping(), encrypt=True)  # empty, so never merged
def test_header_names_match_without_case(fb, fake, app, validated, extra, encrypt):
    app.firebase_id_token = "old"
    fake.log.clear()
    sent, before = recorded(fake), repr(extra)
    trigger(fb, "f", {}, True, extra, encrypt=encrypt)
    assert list(sent()[2]["headers"].items()) == one_spelling_each(extra, encrypt)
    assert repr(extra) == before and validated.runs[-1] == "old"


# -- failures ---------------------------------------------------------------------

@pytest.mark.parametrize("token, renewed, line", [
    (None, "tok", 401), ("", "tok", 401), (0, "tok", 401),
    ("old", None, 403), ("old", "", 403),  # the login given up while validating
])
def test_token_requested_but_missing(fb, fake, app, validated, token, renewed, line):
    app.firebase_id_token, validated.renewed = token, renewed
    with pytest.raises(Exception) as info:
        trigger(fb, "f", {}, use_auth_token=True)
    assert type(info.value) is Exception and info.value.args == (NO_TOKEN,)
    assert entries(info.value) == [("trigger_function", line)]
    assert (fake.calls, validated.runs) == ([], [token] if line == 403 else [])


def test_sealing_failure_closes_the_client_first(fb, fake, app, monkeypatch):
    monkeypatch.setattr(fb, "SEALED_BOX_SERVER_PUBLIC_KEY_B64", base64.b64encode(b"k" * 31))
    fake.client()
    with pytest.raises(Exception) as info:
        trigger(fb, "f", {})
    assert type(info.value) is Exception and str(info.value) == (
        "Failed to encrypt request payload: Invalid server public key length; expected 32 bytes")
    assert [e[:3] for e in fake.log] == [("enter", ()), ("exit", Exception, info.value)]
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
