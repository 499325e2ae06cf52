"""Compact JSON Web Tokens signed with HMAC-SHA256."""

from __future__ import annotations

import base64
import hashlib
import hmac
import json


def b64url_encode(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def b64url_decode(text: str) -> bytes:
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def _segment(value: dict) -> str:
    return b64url_encode(json.dumps(value, separators=(",", ":")).encode("utf-8"))


def encode(claims: dict, secret: bytes, *, kid: str = "standin") -> str:
    header = {"alg": "HS256", "kid": kid, "typ": "JWT"}
    signing_input = _segment(header) + "." + _segment(claims)
    signature = hmac.new(secret, signing_input.encode("ascii"), hashlib.sha256).digest()
    return signing_input + "." + b64url_encode(signature)


class InvalidToken(ValueError):
    pass


def decode(token: str, secret: bytes) -> dict:
    """The claims of a token signed with `secret`; InvalidToken otherwise.
    The expiry is not checked here."""
    try:
        header_b64, claims_b64, signature_b64 = token.split(".")
        header = json.loads(b64url_decode(header_b64))
        claims = json.loads(b64url_decode(claims_b64))
        signature = b64url_decode(signature_b64)
    except (ValueError, TypeError, AttributeError) as exc:
        raise InvalidToken("malformed token") from exc
    if not isinstance(header, dict) or header.get("alg") != "HS256" or not isinstance(claims, dict):
        raise InvalidToken("unexpected token header or claims")
    expected = hmac.new(secret, f"{header_b64}.{claims_b64}".encode("ascii"), hashlib.sha256).digest()
    if not hmac.compare_digest(signature, expected):
        raise InvalidToken("bad signature")
    return claims
