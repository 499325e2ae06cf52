"""_sealed_box_encrypt: compact JSON sealed to the server key, base64-encoded."""
import base64
import binascii
import json
import types

import nacl.public
import pytest

from support import PRIVATE_KEY_B64, entries

NAME = "tavrin.firebase._sealed_box_encrypt"
PREFIX = "Failed to encrypt request payload: "
LENGTH = "Invalid server public key length; expected 32 bytes"


def open_box(sealed):
    key = nacl.public.PrivateKey(base64.b64decode(PRIVATE_KEY_B64))
    return nacl.public.SealedBox(key).decrypt(base64.b64decode(sealed, validate=True))


def test_opens_with_the_private_key_and_a_fresh_ephemeral_key_each_call(fb):
    sealed = fb._sealed_box_encrypt(payload={"caf\u00e9": [1, "\u00e9"]})
    assert type(sealed) is bytes and sealed.isascii()
    assert open_box(sealed) == b'{"caf\\u00e9":[1,"\\u00e9"]}'
    assert fb._sealed_box_encrypt({"a": 1}) != fb._sealed_box_encrypt({"a": 1})


def test_serialises_with_compact_separators_only(fb, monkeypatch):
    calls = []

    def dumps(*args, **kwargs):
        calls.append((args, kwargs))
        return json.dumps(*args, **kwargs)
    monkeypatch.setattr(fb, "json", types.SimpleNamespace(dumps=dumps))
    payload = {"a": 1}
    fb._sealed_box_encrypt(payload)
    assert calls == [((payload,), {"separators": (",", ":")})]
    assert calls[0][0][0] is payload


def failure(fb, payload={"a": 1}):
    with pytest.raises(Exception) as info:
        fb._sealed_box_encrypt(payload)
    exc = info.value
    assert type(exc) is Exception
    assert exc.__cause__ is None and exc.__suppress_context__ is False
    assert entries(exc) == [(NAME, 37)]
    return exc


@pytest.mark.parametrize("key_bytes", [31, 33, 0])
def test_key_length(fb, monkeypatch, key_bytes):
    monkeypatch.setattr(fb, "SEALED_BOX_SERVER_PUBLIC_KEY_B64",
                        base64.b64encode(b"k" * key_bytes).decode())
    monkeypatch.setattr(fb, "ValueError", KeyError, raising=False)
    exc = failure(fb)
    assert str(exc) == PREFIX + LENGTH
    assert type(exc.__context__) is ValueError
    assert str(exc.__context__) == LENGTH
    assert entries(exc.__context__) == [(NAME, 31)]


def test_undecodable_key(fb, monkeypatch):
    monkeypatch.setattr(fb, "SEALED_BOX_SERVER_PUBLIC_KEY_B64", "abc")
    with pytest.raises(binascii.Error) as decoder:
        base64.b64decode("abc")
    exc = failure(fb)
    assert str(exc) == PREFIX + str(decoder.value)
    assert type(exc.__context__) is binascii.Error
    assert entries(exc.__context__) == [(NAME, 29)]


def test_unserialisable_payload(fb):
    exc = failure(fb, {"s": {1}})
    assert str(exc) == PREFIX + "Object of type set is not JSON serializable"
    assert type(exc.__context__) is TypeError
    assert entries(exc.__context__) == [(NAME, 28)]


class Raising:
    def __init__(self, error):
        self.error = error

    def __call__(self, *args):
        raise self.error


class BoxFails:
    def __init__(self, key):
        pass

    def encrypt(self, plain):
        raise RuntimeError("cannot seal")


@pytest.mark.parametrize("name, value, line, text", [
    ("PublicKey", Raising(TypeError("bad key")), 32, "bad key"),
    ("SealedBox", Raising(OSError("no box")), 33, "no box"),
    ("SealedBox", BoxFails, 34, "cannot seal"),
    ("base64", types.SimpleNamespace(b64decode=base64.b64decode,
                                     b64encode=Raising(ValueError("b64"))), 35, "b64"),
])
def test_failures_inside_are_wrapped(fb, monkeypatch, name, value, line, text):
    monkeypatch.setattr(fb, name, value)
    exc = failure(fb)
    assert str(exc) == PREFIX + text
    assert entries(exc.__context__) == [(NAME, line)]


@pytest.mark.parametrize("name", ["SealedBox", "SEALED_BOX_SERVER_PUBLIC_KEY_B64"])
def test_missing_name_is_wrapped(fb, monkeypatch, name):
    monkeypatch.delattr(fb, name)
    exc = failure(fb)
    assert str(exc) == PREFIX + f"name '{name}' is not defined"
    assert type(exc.__context__) is NameError


def test_base_exceptions_pass_through(fb, monkeypatch):
    monkeypatch.setattr(fb, "PublicKey", Raising(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt) as info:
        fb._sealed_box_encrypt({})
    assert entries(info.value) == [(NAME, 32)]
