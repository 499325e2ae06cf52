"""Fuzzing with hypothesis: call shapes of all eighteen functions against
the stub's signatures, tokens, sealed-box payloads and keys, and
send/throw/close sequences on coroutine objects next to a native async def
doing the same."""
import ast
import asyncio
import base64
import json
import re

import nacl.public
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import support
from test_stub import FUNCTIONS as STUB, signature

SETTINGS = dict(deadline=None, database=None,
                suppress_health_check=[HealthCheck.function_scoped_fixture])
PREFIX = "Failed to encrypt request payload: "
NAMES = sorted({p for name in STUB for p in signature(name).parameters})


class Name(str):
    """A keyword name that is a str subclass: matched by equality."""


def binding_message(name):
    own = (rf"{name}\(\) (takes (exactly|at least|at most) \d+ positional arguments? \(\d+ given\)"
           rf"|got multiple values for keyword argument '.*'|got an unexpected keyword argument '.*')")
    # the interpreter's own refusal, for the functions without parameters
    interpreter = rf"tavrin\.firebase\.{name}\(\) takes no (arguments \(\d+ given\)|keyword arguments)"
    return re.compile(f"{own}|{interpreter}", re.S)


values = st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=8),
                   st.binary(max_size=8), st.lists(st.integers(), max_size=3),
                   st.dictionaries(st.text(max_size=3), st.integers(), max_size=3))
keywords = st.dictionaries(
    st.one_of(st.sampled_from(NAMES), st.text(max_size=4), st.builds(Name, st.sampled_from(NAMES))),
    values, max_size=4)


@settings(max_examples=400, **SETTINGS)
@given(name=st.sampled_from(sorted(STUB)), args=st.lists(values, max_size=8), kwargs=keywords)
def test_call_shapes_against_the_stub(fb, name, args, kwargs):
    try:
        binds = signature(name).bind(*args, **kwargs) is not None
    except TypeError:
        binds = False
    try:
        result = getattr(fb, name)(*args, **kwargs)
    except TypeError as exc:
        assert not binds and binding_message(name).fullmatch(str(exc)), (exc, args, kwargs)
        return
    except Exception as exc:  # only the sealing body raises, and only its own exception
        assert binds and name == "_sealed_box_encrypt", (exc, args, kwargs)
        assert type(exc) is Exception and str(exc).startswith(PREFIX)
        return
    assert binds, (args, kwargs)
    if isinstance(STUB[name], ast.FunctionDef):
        assert type(result).__name__ == ast.unparse(STUB[name].returns)
    else:
        assert type(result).__name__ == "coroutine" and result.close() is None


def expiry(token):
    """What get_token_expiry computes, in Python."""
    try:
        head, claims, sig = token.split(".")
        claims += "=" * (-len(claims) % 4)
        return int(json.loads(base64.urlsafe_b64decode(claims).decode("utf-8")).get("exp", 0))
    except Exception:
        return 0


json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=6)),
    lambda inner: st.one_of(st.lists(inner, max_size=3),
                            st.dictionaries(st.text(max_size=4), inner, max_size=3)),
    max_leaves=6)


def segment(data):
    return base64.urlsafe_b64encode(data).decode().rstrip("=")


claims = st.one_of(
    st.builds(lambda v: json.dumps({"exp": v}), json_values),
    st.builds(json.dumps, json_values),
    st.text(max_size=12)).map(lambda text: segment(text.encode()))
tokens = st.one_of(
    st.builds(lambda h, c, s: f"{h}.{c}.{s}", st.text(max_size=4), claims, st.text(max_size=4)),
    st.text(max_size=20), st.lists(st.sampled_from(["a", ".", "=", "_", "-", "e30"]),
                                   max_size=10).map("".join),
    values)


@settings(max_examples=500, **SETTINGS)
@given(token=tokens)
def test_token_expiry_is_always_an_int(fb, token):
    result = fb.get_token_expiry(token)
    assert type(result) is int and result == expiry(token)


payloads = st.one_of(json_values, st.sets(st.integers(), max_size=2), st.binary(max_size=4),
                     st.dictionaries(st.integers(), st.integers(), max_size=2))
good_key = support.PUBLIC_KEY_B64
keys = st.one_of(st.just(good_key), st.just(good_key.encode()), st.text(max_size=48),
                 st.binary(min_size=29, max_size=35).map(base64.b64encode),
                 st.binary(max_size=40), st.none(), st.integers())


def sealed_outcome(payload, key):
    """What _sealed_box_encrypt should give: the plaintext, or the error text."""
    try:
        plain, raw = json.dumps(payload, separators=(",", ":")).encode(), base64.b64decode(key)
        if len(raw) != 32:
            raise ValueError("Invalid server public key length; expected 32 bytes")
        nacl.public.PublicKey(raw)
        return plain, None
    except Exception as exc:
        return None, PREFIX + str(exc)


OPENER = nacl.public.SealedBox(nacl.public.PrivateKey(base64.b64decode(support.PRIVATE_KEY_B64)))


@settings(max_examples=200, **SETTINGS)
@given(payload=payloads, key=keys)
def test_sealed_box_payloads_and_keys(fb, monkeypatch, payload, key):
    monkeypatch.setattr(fb, "SEALED_BOX_SERVER_PUBLIC_KEY_B64", key)
    plain, message = sealed_outcome(payload, key)
    try:
        sealed = fb._sealed_box_encrypt(payload)
    except Exception as exc:
        assert type(exc) is Exception and str(exc) == message, (exc, message)
        return
    assert message is None and type(sealed) is bytes
    assert len(base64.b64decode(sealed)) == len(plain) + 48
    if base64.b64decode(key) == base64.b64decode(good_key):
        assert OPENER.decrypt(base64.b64decode(sealed)) == plain


class Script:
    """A request that yields `yields` in turn (each value it is sent is
    recorded); with `recover`, a ValueError thrown in gives one more yield."""

    def __init__(self, yields, recover, log):
        self.yields, self.recover, self.log = yields, recover, log

    def __await__(self):
        for value in self.yields:
            try:
                self.log.append((yield value))
            except ValueError:
                if not self.recover:
                    raise
                self.log.append((yield "recovered"))
        return support.FakeResponse(self.log, payload={"reply": len(self.yields)})


class Interrupt(BaseException):
    """Outside Exception."""


THROWN = [ValueError, KeyError, GeneratorExit, StopIteration, Interrupt, asyncio.CancelledError]
operations = st.lists(st.one_of(
    st.tuples(st.just("send"), st.sampled_from([None, None, 1, "v"])),
    st.tuples(st.just("throw"), st.sampled_from(THROWN)),
    st.just(("close",)), st.just(("next",))), max_size=8)


@settings(max_examples=300, **SETTINGS)
@given(yields=st.lists(st.sampled_from(["a", "b"]), max_size=3), recover=st.booleans(),
       ops=operations)
def test_send_throw_close_sequences(fb, monkeypatch, yields, recover, ops):
    if ops and ops[0] == ("throw", StopIteration):
        # A native coroutine lets it out as it is; ours turns it into a
        # RuntimeError, as for every StopIteration leaving the body.
        ops = []
    if ops and ops[0][0] == "send" and ops[0][1] is not None:
        # Refused at the start: a native coroutine stays unstarted, ours ends.
        ops = ops[:1]
    results, logs = [], []
    for make in (fb.auth_sign_in, support.auth_sign_in):
        monkeypatch.setattr(fb, "httpx", fake := support.FakeHttpx())
        fake.client(request=Script(yields, recover, fake.log))
        results.append([o[:3] for o in support.drive(make("a@b.c", "pw"), ops + [("close",)])])
        # what the request was sent and how the client was left, exceptions by type
        logs.append([e[:2] if isinstance(e, tuple) and e[0] == "exit" else e for e in fake.log])
    assert results[0] == results[1] and logs[0] == logs[1]
