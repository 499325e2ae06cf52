"""The accounts that the identity and secure-token stand-ins share, kept in
memory with their passwords, and the tokens issued for them."""

from __future__ import annotations

import secrets
import string
import threading
from dataclasses import dataclass, field

from . import jwt

_ID_ALPHABET = string.ascii_letters + string.digits


def new_local_id() -> str:
    return "".join(secrets.choice(_ID_ALPHABET) for _ in range(28))


def new_refresh_token() -> str:
    return "AMf-vB" + secrets.token_urlsafe(150)


@dataclass
class Account:
    """One account as the stand-ins hold it; changing a field (say
    email_verified) changes what the services answer from then on."""

    local_id: str
    email: str | None  # None for an anonymous account
    password: str | None
    created_at: int  # milliseconds since the epoch
    email_verified: bool = False
    display_name: str = ""
    disabled: bool = False
    last_login_at: int = 0
    password_updated_at: int = 0
    valid_since: int = 0  # seconds
    last_refresh_at: int = 0  # milliseconds; the last sign-in or token refresh
    extra: dict = field(default_factory=dict)

    @property
    def provider(self) -> str:
        return "password" if self.email is not None else "anonymous"


class EmailExists(Exception):
    pass


class Accounts:
    """Thread-safe store of accounts and refresh tokens.

        svc.accounts.create("a@b.com", "pw")    # a new Account (no tokens yet); EmailExists if taken
        svc.accounts.by_email("a@b.com")        # the Account, or None
        svc.accounts.by_id(local_id)            # the Account, or None
        svc.accounts.all(); svc.accounts.delete(local_id)
    """

    def __init__(self, config, clock):
        self._config = config
        self._clock = clock
        self._lock = threading.Lock()
        self._by_id: dict[str, Account] = {}
        self._by_email: dict[str, Account] = {}
        self._refresh: dict[str, str] = {}  # refresh token -> local id

    # Accounts.

    def create(self, email: str | None, password: str | None) -> Account:
        """A new account; EmailExists when the address is taken. Addresses
        are kept in lower case, as the identity service keeps them."""
        now = self._clock()
        account = Account(new_local_id(), email.lower() if email is not None else None,
                          password, created_at=int(now * 1000),
                          last_login_at=int(now * 1000),
                          last_refresh_at=int(now * 1000),
                          password_updated_at=int(now * 1000) if password else 0,
                          valid_since=int(now))
        with self._lock:
            if account.email is not None:
                if account.email in self._by_email:
                    raise EmailExists(account.email)
                self._by_email[account.email] = account
            self._by_id[account.local_id] = account
        return account

    def by_email(self, email: str) -> Account | None:
        with self._lock:
            return self._by_email.get(email.lower())

    def by_id(self, local_id: str) -> Account | None:
        with self._lock:
            return self._by_id.get(local_id)

    def all(self) -> list[Account]:
        with self._lock:
            return list(self._by_id.values())

    def delete(self, local_id: str) -> None:
        with self._lock:
            account = self._by_id.pop(local_id, None)
            if account is not None and account.email is not None:
                self._by_email.pop(account.email, None)
            for token in [t for t, owner in self._refresh.items() if owner == local_id]:
                del self._refresh[token]

    # Tokens.

    def issue_refresh_token(self, account: Account) -> str:
        token = new_refresh_token()
        with self._lock:
            self._refresh[token] = account.local_id
        return token

    def account_for_refresh_token(self, token: str) -> Account | None:
        with self._lock:
            local_id = self._refresh.get(token)
            return self._by_id.get(local_id) if local_id is not None else None

    def revoke_refresh_token(self, token: str) -> bool:
        """Forget a refresh token: the secure-token service then refuses it
        with INVALID_REFRESH_TOKEN. False if it was not known."""
        with self._lock:
            return self._refresh.pop(token, None) is not None

    def refresh_tokens(self, account: Account) -> list[str]:
        """The refresh tokens issued to the account and not revoked."""
        with self._lock:
            return [t for t, owner in self._refresh.items() if owner == account.local_id]

    def issue_id_token(self, account: Account, *, now: float | None = None,
                       lifetime: int | None = None, auth_time: int | None = None,
                       exp: int | None = None) -> str:
        """An ID token for the account, as the identity service issues it:
        issued at `now` (the stand-ins' clock by default) and valid for
        `lifetime` seconds (the configured lifetime by default), or until
        `exp` (seconds since the epoch) when that is given, which may lie in
        the past or just ahead."""
        config = self._config
        iat = int(self._clock() if now is None else now)
        if exp is None:
            exp = iat + (config.token_lifetime if lifetime is None else lifetime)
        else:
            exp = int(exp)
            iat = min(iat, exp - 1)
        claims: dict = {
            "iss": f"https://securetoken.google.com/{config.project_id}",
            "aud": config.project_id,
            "auth_time": iat if auth_time is None else auth_time,
            "user_id": account.local_id,
            "sub": account.local_id,
            "iat": iat,
            "exp": exp,
        }
        if account.email is not None:
            claims["email"] = account.email
            claims["email_verified"] = account.email_verified
            claims["firebase"] = {"identities": {"email": [account.email]},
                                  "sign_in_provider": "password"}
        else:
            claims["provider_id"] = "anonymous"
            claims["firebase"] = {"identities": {}, "sign_in_provider": "anonymous"}
        return jwt.encode(claims, config.token_secret)

    def verify_id_token(self, token) -> dict:
        """The claims of a token these stand-ins issued, if still valid for
        this project at the stand-ins' clock. Raises jwt.InvalidToken, or
        its subclasses TokenExpired (signature good, past its "exp") and
        OtherProject (signature good, issued for another project)."""
        if not isinstance(token, str):
            raise jwt.InvalidToken("no token")
        claims = jwt.decode(token, self._config.token_secret)
        if not isinstance(claims.get("exp"), int) or not isinstance(claims.get("user_id"), str):
            raise jwt.InvalidToken("token without exp or user_id")
        if claims["exp"] <= self._clock():
            raise TokenExpired("token expired")
        if claims.get("aud") != self._config.project_id:
            raise OtherProject(f"token for project {claims.get('aud')!r}")
        return claims


class TokenExpired(jwt.InvalidToken):
    pass


class OtherProject(jwt.InvalidToken):
    pass
