"""get_token_expiry: the "exp" claim of a token, or 0."""
import base64
import json
import sys
import types

import pytest

from support import entries


def segment(claims, pad=False):
    raw = claims if isinstance(claims, bytes) else json.dumps(claims).encode()
    text = base64.urlsafe_b64encode(raw).decode()
    return text if pad else text.rstrip("=")


def token(claims, pad=False):
    return "eyJhbGciOiJSUzI1NiJ9." + segment(claims, pad) + ".c2ln"


@pytest.mark.parametrize("tok, expected", [
    (token({"exp": 1000}), 1000),             # remainder 2, padded by the function
    (token({"exp": 1000}, pad=True), 1000),   # padding already there
    (token({"exp": 10000}), 10000),           # remainder 3
    (token({"exp": -3.7}), -3),
    (token({"iat": 5}), 0),
    (token({"exp": 1}) + ".d", 0),
    (None, 0),
])
def test_expiry(fb, tok, expected):
    result = fb.get_token_expiry(token=tok)
    assert (type(result), result) == (int, expected)


def test_uses_the_token_split_and_the_module_json_and_keeps_the_handled_exception(
        fb, monkeypatch):
    calls = []
    tok = types.SimpleNamespace(split=lambda *a, **k: calls.append((a, k)) or ["x", "e30", "y"])
    claims = types.SimpleNamespace(get=lambda *args: calls.append(args) or "41")
    monkeypatch.setattr(fb, "json", types.SimpleNamespace(loads=lambda text: claims))
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        assert fb.get_token_expiry(tok) == 41
        assert fb.get_token_expiry("a.b") == 0
        assert sys.exception() is outer
    assert calls == [((".",), {}), ("exp", 0)]


def interrupt(*args):
    raise KeyboardInterrupt


class Parts:
    """Three pieces whose count, indexing or middle piece's length fails as asked."""

    def __init__(self, where):
        self.where = where

    def __len__(self):
        return interrupt() if self.where == "len" else 3

    def __getitem__(self, index):
        if self.where == "item":
            interrupt()
        return Segment() if self.where == "segment" else segment({"exp": 1})


class Segment(str):
    def __len__(self):
        raise SystemExit(3)


def split_to(parts):
    return types.SimpleNamespace(split=lambda sep: parts)


@pytest.mark.parametrize("tok, patch, exc_type, line", [
    (types.SimpleNamespace(split=interrupt), None, KeyboardInterrupt, 293),
    (split_to(Parts("len")), None, KeyboardInterrupt, 294),
    (split_to(Parts("item")), None, KeyboardInterrupt, 296),
    (split_to(Parts("segment")), None, SystemExit, 298),
    (token({"exp": 1}), ("base64", "urlsafe_b64decode"), KeyboardInterrupt, 301),
    (token({"exp": 1}), ("json", "loads"), KeyboardInterrupt, 302),
], ids=["split", "count", "index", "length", "decode", "parse"])
def test_base_exceptions_pass_through(fb, monkeypatch, tok, patch, exc_type, line):
    if patch:
        monkeypatch.setattr(fb, patch[0], types.SimpleNamespace(**{patch[1]: interrupt}))
    with pytest.raises(exc_type) as info:
        fb.get_token_expiry(tok)
    assert entries(info.value) == [("tavrin.firebase.get_token_expiry", line)]
