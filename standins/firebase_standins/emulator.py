"""The official Firebase Auth emulator (firebase-tools) as a second backend
for the identity and secure-token hosts.

The emulator runs outside Python (``firebase emulators:start --only auth
--project demo-...`` on Node.js; this repository's tools/emulator starts one
for tools/test). FIREBASE_AUTH_EMULATOR_HOST names it as HOST:PORT, the
variable the Firebase SDKs read::

    emulator = AuthEmulator.from_environment()   # EmulatorUnavailable if none
    emulator.wait()                              # until it answers
    with routed(tavrin.firebase, svc, emulator=emulator):
        ...

Its ID tokens are unsigned (alg "none") and it does not check their expiry;
it takes any API key.
"""

from __future__ import annotations

import base64
import json
import os
import time
from pathlib import Path

import httpx

DEFAULT_PROJECT = "demo-tavrin"


class EmulatorUnavailable(Exception):
    """No emulator to use. `failed` is true when one should have been there
    (it could not be installed or started), false when none was asked for."""

    def __init__(self, reason: str, *, failed: bool = False):
        super().__init__(reason)
        self.reason = reason
        self.failed = failed


def _b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def _unb64url(text: str) -> bytes:
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def token_claims(id_token: str) -> dict:
    """The claims of an ID token (not verified)."""
    return json.loads(_unb64url(id_token.split(".")[1]))


class AuthEmulator:
    """A running Auth emulator at `address` (HOST:PORT) for `project`.

        emulator.base_url            "http://HOST:PORT"
        emulator.wait(timeout)       until it answers; EmulatorUnavailable if not
        emulator.clear()             delete every account of the project, and
                                     forget the e-mails sent so far
        emulator.oob_codes()         the e-mails it would have sent since:
                                     [{"email", "requestType", "oobCode", "oobLink"}]
        emulator.with_expiry(id_token, exp)
                                     the same unsigned token expiring at `exp`
    """

    def __init__(self, address: str, project: str = DEFAULT_PROJECT, state_dir=None):
        address = address.strip().rstrip("/")
        if "://" in address:
            address = address.split("://", 1)[1]
        self.address = address
        self.project = project
        self.state_dir = Path(state_dir) if state_dir else None
        self._old_codes: set[str] = set()

    @classmethod
    def from_environment(cls, environ=None) -> AuthEmulator:
        """The emulator that FIREBASE_AUTH_EMULATOR_HOST names (its project
        from TAVRIN_EMULATOR_PROJECT, else GCLOUD_PROJECT, else demo-tavrin).
        Raises EmulatorUnavailable with the reason when there is none."""
        env = os.environ if environ is None else environ
        address = env.get("FIREBASE_AUTH_EMULATOR_HOST")
        if not address:
            if env.get("TAVRIN_EMULATOR_ERROR"):
                raise EmulatorUnavailable(env["TAVRIN_EMULATOR_ERROR"], failed=True)
            raise EmulatorUnavailable(
                env.get("TAVRIN_EMULATOR_UNAVAILABLE")
                or "no Firebase Auth emulator: FIREBASE_AUTH_EMULATOR_HOST is not set "
                   "(start one with `firebase emulators:start --only auth --project "
                   "demo-tavrin` and set it to its HOST:PORT, or run tools/test on a "
                   "host with Node.js)")
        project = env.get("TAVRIN_EMULATOR_PROJECT") or env.get("GCLOUD_PROJECT") or DEFAULT_PROJECT
        return cls(address, project, env.get("TAVRIN_EMULATOR_STATE"))

    @property
    def base_url(self) -> str:
        return "http://" + self.address

    def __repr__(self) -> str:
        return f"<Firebase Auth emulator at {self.address}, project {self.project}>"

    def _log_tail(self, lines: int = 15) -> str:
        if self.state_dir is None:
            return ""
        try:
            text = (self.state_dir / "log").read_text(errors="replace")
        except OSError:
            return ""
        return "\n".join(text.splitlines()[-lines:])

    def ready(self) -> bool:
        try:
            reply = httpx.get(self.base_url + "/", timeout=2, trust_env=False)
            return bool(reply.json()["authEmulator"]["ready"])
        except (httpx.HTTPError, ValueError, KeyError, TypeError):
            return False

    def wait(self, timeout: float = 90) -> AuthEmulator:
        """Returns once the emulator answers; EmulatorUnavailable (failed)
        if it has exited or does not answer within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            if self.state_dir is not None and (self.state_dir / "exited").exists():
                raise EmulatorUnavailable(
                    f"the Auth emulator at {self.address} exited; its log ends:\n"
                    + self._log_tail(), failed=True)
            if self.ready():
                return self
            if time.monotonic() > deadline:
                raise EmulatorUnavailable(
                    f"the Auth emulator at {self.address} did not answer within "
                    f"{timeout:g} s" + ("; its log ends:\n" + self._log_tail()
                                        if self.state_dir is not None else ""), failed=True)
            time.sleep(0.25)

    def _project_url(self, what: str) -> str:
        return f"{self.base_url}/emulator/v1/projects/{self.project}/{what}"

    def clear(self) -> None:
        url = self._project_url("accounts")
        httpx.delete(url, timeout=10, trust_env=False).raise_for_status()
        # The emulator keeps its codes; later calls leave these out.
        self._old_codes = {code["oobCode"] for code in self._all_oob_codes()}

    def _all_oob_codes(self) -> list[dict]:
        reply = httpx.get(self._project_url("oobCodes"), timeout=10, trust_env=False)
        reply.raise_for_status()
        return reply.json().get("oobCodes", [])

    def oob_codes(self) -> list[dict]:
        return [code for code in self._all_oob_codes() if code["oobCode"] not in self._old_codes]

    @staticmethod
    def with_expiry(id_token: str, exp: float) -> str:
        """The emulator's token with its "exp" claim replaced (it is unsigned
        and the emulator reads only the account from it)."""
        header, claims = id_token.split(".")[:2]
        payload = json.loads(_unb64url(claims))
        payload["exp"] = int(exp)
        payload["iat"] = min(payload.get("iat", int(exp)), int(exp) - 1)
        return f"{header}.{_b64url(json.dumps(payload).encode())}."
