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
    (token({"exp": 1000, "x": 1}), 1000),     # no padding needed
    (token({"exp": -3.7}), -3),
    (token({"iat": 5}), 0),
    (token({"exp": 1}) + ".d", 0),
    (None, 0),
])
def test_expiry(fb, tok, expected):
    result = fb.get_token_expiry(token=tok)
    assert type(result) is int
    assert result == expected


class Pieces:
    """A token-like object whose split gives its own pieces."""

    def __init__(self, pieces):
        self.pieces = pieces
        self.calls = []

    def split(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.pieces


def test_uses_the_token_split_and_keeps_the_handled_exception(fb):
    tok = Pieces(["x", segment({"exp": 9}), "y"])
    outer = KeyError("outer")
    try:
        raise outer
    except KeyError:
        assert fb.get_token_expiry(tok) == 9
        assert fb.get_token_expiry("a.b") == 0
        assert sys.exception() is outer
    assert tok.calls == [((".",), {})]


class Interrupting:
    def __init__(self, where):
        self.where = where

    def __len__(self):
        if self.where == "len":
            raise KeyboardInterrupt
        return 3

    def __getitem__(self, index):
        if self.where == "item":
            raise KeyboardInterrupt
        return Segment() if self.where == "segment" else segment({"exp": 1})


class Segment(str):
    def __len__(self):
        raise SystemExit(3)


class Splits:
    def __init__(self, result):
        self.result = result

    def split(self, sep):
        if self.result is None:
            raise KeyboardInterrupt
        return self.result


@pytest.mark.parametrize("tok, patch, exc_type, line", [
    (Splits(None), None, KeyboardInterrupt, 293),
    (Splits(Interrupting("len")), None, KeyboardInterrupt, 294),
    (Splits(Interrupting("item")), None, KeyboardInterrupt, 296),
    (Splits(Interrupting("segment")), None, SystemExit, 298),
    (token({"exp": 1}), "base64", KeyboardInterrupt, 301),
    (token({"exp": 1}), "json", KeyboardInterrupt, 302),
], ids=["split", "count", "index", "length", "decode", "parse"])
def test_base_exceptions_pass_through(fb, monkeypatch, tok, patch, exc_type, line):
    def interrupt(*args):
        raise KeyboardInterrupt

    if patch == "base64":
        monkeypatch.setattr(fb, "base64", types.SimpleNamespace(urlsafe_b64decode=interrupt))
    elif patch == "json":
        monkeypatch.setattr(fb, "json", types.SimpleNamespace(loads=interrupt))
    with pytest.raises(exc_type) as info:
        fb.get_token_expiry(tok)
    assert entries(info.value) == [("tavrin.firebase.get_token_expiry", line)]


def test_uses_the_module_level_json(fb, monkeypatch):
    class Claims:
        def get(self, *args):
            assert args == ("exp", 0)
            return "41"
    monkeypatch.setattr(fb, "json", types.SimpleNamespace(loads=lambda text: Claims()))
    assert fb.get_token_expiry(token({})) == 41
