"""The e-mails the identity stand-in would have sent, kept for inspection."""

from __future__ import annotations

import secrets
import threading
from dataclasses import dataclass


@dataclass(frozen=True)
class Mail:
    """One e-mail the identity stand-in would have sent."""

    kind: str  # the request type: "VERIFY_EMAIL", "PASSWORD_RESET" or "EMAIL_SIGNIN"
    email: str  # the address it went to
    local_id: str | None  # the account it is about (None: a sign-in link to a new address)
    oob_code: str  # the out-of-band code the link carries
    link: str  # the action link the mail holds
    sent_at: float  # seconds since the epoch, by the stand-ins' clock


class Outbox:
    """Thread-safe list of mails, oldest first.

        svc.outbox.mails()                      # every mail
        svc.outbox.mails(kind="VERIFY_EMAIL")   # only one kind
        svc.outbox.mails(email="a@b.com")       # only to one address
        svc.outbox.last()                       # the latest mail, or None
    """

    def __init__(self, config, clock):
        self._config = config
        self._clock = clock
        self._lock = threading.Lock()
        self._mails: list[Mail] = []

    def send(self, kind: str, email: str, local_id: str | None) -> Mail:
        code = secrets.token_urlsafe(36)
        mode = {"VERIFY_EMAIL": "verifyEmail", "PASSWORD_RESET": "resetPassword",
                "EMAIL_SIGNIN": "signIn"}.get(kind, kind)
        link = (f"https://{self._config.project_id}.firebaseapp.com/__/auth/action"
                f"?mode={mode}&oobCode={code}&apiKey={self._config.api_key}&lang=en")
        mail = Mail(kind, email, local_id, code, link, self._clock())
        with self._lock:
            self._mails.append(mail)
        return mail

    def mails(self, *, kind: str | None = None, email: str | None = None) -> list[Mail]:
        with self._lock:
            mails = list(self._mails)
        return [m for m in mails
                if (kind is None or m.kind == kind)
                and (email is None or m.email == email.lower())]

    def last(self) -> Mail | None:
        with self._lock:
            return self._mails[-1] if self._mails else None

    def clear(self) -> None:
        with self._lock:
            self._mails.clear()

    def __len__(self) -> int:
        with self._lock:
            return len(self._mails)
