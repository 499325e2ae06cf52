"""_sealed_box_encrypt: compact JSON sealed to the server key, base64-encoded."""
import base64
import binascii
import json
import types

import nacl.public
import pytest

from support import PRIVATE_KEY_B64, entries

NAME = "tavrin.firebase._sealed_box_encrypt"
LENGTH = "Invalid server public key length; expected 32 bytes"
KEY = "SEALED_BOX_SERVER_PUBLIC_KEY_B64"
GONE = object()


def test_compact_json_sealed_with_a_fresh_ephemeral_key_each_call(fb, monkeypatch):
    calls = []

    def dumps(*args, **kwargs):
        calls.append((args, kwargs))
        return json.dumps(*args, **kwargs)
    monkeypatch.setattr(fb, "json", types.SimpleNamespace(dumps=dumps))
    payload = {"caf\u00e9": [1, "\u00e9"]}
    sealed = fb._sealed_box_encrypt(payload=payload)
    assert calls == [((payload,), {"separators": (",", ":")})] and calls[0][0][0] is payload
    assert type(sealed) is bytes and sealed.isascii()
    box = nacl.public.SealedBox(nacl.public.PrivateKey(base64.b64decode(PRIVATE_KEY_B64)))
    assert box.decrypt(base64.b64decode(sealed, validate=True)) == b'{"caf\\u00e9":[1,"\\u00e9"]}'
    assert fb._sealed_box_encrypt(payload) != sealed


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


def key_of(size):
    # ValueError is the built-in one, whatever the module's namespace holds
    return {KEY: base64.b64encode(b"k" * size).decode(), "ValueError": KeyError}


@pytest.mark.parametrize("names, payload, context, text, line", [
    (key_of(31), {}, ValueError, LENGTH, 31),
    (key_of(33), {}, ValueError, LENGTH, 31),
    ({KEY: "abc"}, {}, binascii.Error, "Incorrect padding", 29),
    ({}, {"s": {1}}, TypeError, "Object of type set is not JSON serializable", 28),
    ({"PublicKey": Raising(TypeError("bad key"))}, {}, TypeError, "bad key", 32),
    ({"SealedBox": Raising(OSError("no box"))}, {}, OSError, "no box", 33),
    ({"SealedBox": BoxFails}, {}, RuntimeError, "cannot seal", 34),
    ({"base64": types.SimpleNamespace(b64decode=base64.b64decode,
                                      b64encode=Raising(ValueError("b64")))},
     {}, ValueError, "b64", 35),
    ({"SealedBox": GONE}, {}, NameError, "name 'SealedBox' is not defined", 33),
    ({KEY: GONE}, {}, NameError, f"name '{KEY}' is not defined", 29),
    ({"PublicKey": Raising(KeyboardInterrupt())}, {}, None, "", 32),   # not wrapped
])
def test_failures_are_wrapped(fb, monkeypatch, names, payload, context, text, line):
    for name, value in names.items():
        if value is GONE:
            monkeypatch.delattr(fb, name)
        else:
            monkeypatch.setattr(fb, name, value, raising=False)
    with pytest.raises(BaseException) as info:
        fb._sealed_box_encrypt(payload)
    exc = info.value
    if context is None:
        assert type(exc) is KeyboardInterrupt and entries(exc) == [(NAME, line)]
        return
    assert (type(exc), str(exc)) == (Exception, "Failed to encrypt request payload: " + text)
    assert exc.__cause__ is None and exc.__suppress_context__ is False
    assert entries(exc) == [(NAME, 37)]
    assert (type(exc.__context__), str(exc.__context__)) == (context, text)
    assert entries(exc.__context__) == [(NAME, line)]
