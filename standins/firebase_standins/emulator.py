"""The official Firebase emulators (firebase-tools) as a second backend: the
Auth emulator for the identity and secure-token hosts, the Functions
emulator for the application's HTTPS functions.

The emulators run outside Python, on Node.js (``firebase emulators:start
--only auth,functions --project PROJECT``). FIREBASE_AUTH_EMULATOR_HOST names
the Auth emulator as HOST:PORT, the variable the Firebase SDKs read;
FIREBASE_FUNCTIONS_EMULATOR_HOST names the Functions emulator (no SDK reads
one; under ``firebase emulators:exec`` it is found through the emulator hub
that FIREBASE_EMULATOR_HUB names)::

    auth = AuthEmulator.from_environment()            # EmulatorUnavailable if none
    functions = FunctionsEmulator.from_environment()
    with routed(tavrin.firebase, svc, emulator=auth.wait(),
                functions_emulator=functions.wait()):
        ...

The Auth emulator's ID tokens are unsigned (alg "none") and it does not
check their expiry; it takes any API key. The Functions emulator serves the
functions of the project it was started with; firebase-admin inside them
verifies ID tokens at the Auth emulator.
"""

from __future__ import annotations

import base64
import json
import os
import time
from pathlib import Path

import httpx

DEFAULT_PROJECT = "demo-tavrin"
AUTH_VARIABLE = "FIREBASE_AUTH_EMULATOR_HOST"
FUNCTIONS_VARIABLE = "FIREBASE_FUNCTIONS_EMULATOR_HOST"


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


class Emulator:
    """A running emulator at `address` (HOST:PORT) for `project`.

        emulator.base_url            "http://HOST:PORT"
        emulator.wait(timeout)       until it answers; EmulatorUnavailable if not
    """

    kind = "emulator"  # "Auth", "Functions": for messages

    def __init__(self, address: str, project: str = DEFAULT_PROJECT, state_dir=None):
        address = address.strip().rstrip("/")
        if "://" in address:
            address = address.split("://", 1)[1]
        self.address = address
        self.project = project
        self.project_given = None  # the project the environment named, if any
        self.state_dir = Path(state_dir) if state_dir else None

    @classmethod
    def _from_environment(cls, env, address, missing):
        if not address:
            if env.get("TAVRIN_EMULATOR_ERROR"):
                raise EmulatorUnavailable(env["TAVRIN_EMULATOR_ERROR"], failed=True)
            raise EmulatorUnavailable(env.get("TAVRIN_EMULATOR_UNAVAILABLE") or missing)
        given = env.get("TAVRIN_EMULATOR_PROJECT") or env.get("GCLOUD_PROJECT")
        emulator = cls(address, given or DEFAULT_PROJECT, env.get("TAVRIN_EMULATOR_STATE"))
        emulator.project_given = given
        return emulator

    @property
    def base_url(self) -> str:
        return "http://" + self.address

    def __repr__(self) -> str:
        return f"<Firebase {self.kind} emulator at {self.address}, project {self.project}>"

    def _log_tail(self, lines: int = 15) -> str:
        if self.state_dir is None:
            return ""
        try:
            text = (self.state_dir / "log").read_text(errors="replace")
        except OSError:
            return ""
        return "\n".join(text.splitlines()[-lines:])

    def _get(self, path: str, timeout: float = 10) -> httpx.Response:
        return httpx.get(self.base_url + path, timeout=timeout, trust_env=False)

    def ready(self) -> bool:
        try:
            return self._ready()
        except (httpx.HTTPError, ValueError, KeyError, TypeError):
            return False

    def _ready(self) -> bool:
        raise NotImplementedError

    def wait(self, timeout: float = 90):
        """Returns the emulator once it answers; EmulatorUnavailable (failed)
        if it has exited or does not answer within `timeout` seconds."""
        deadline = time.monotonic() + timeout
        what = f"the {self.kind} emulator at {self.address}"
        while True:
            if self.state_dir is not None and (self.state_dir / "exited").exists():
                raise EmulatorUnavailable(f"{what} exited; its log ends:\n" + self._log_tail(),
                                          failed=True)
            if self.ready():
                return self
            if time.monotonic() > deadline:
                raise EmulatorUnavailable(
                    f"{what} did not answer within {timeout:g} s"
                    + ("; its log ends:\n" + self._log_tail() if self.state_dir else ""),
                    failed=True)
            time.sleep(0.25)


class AuthEmulator(Emulator):
    """The Auth emulator.

        emulator.clear()             delete every account of the project, and
                                     forget the e-mails sent so far
        emulator.oob_codes()         the e-mails it would have sent since:
                                     [{"email", "requestType", "oobCode", "oobLink"}]
        emulator.with_expiry(id_token, exp)
                                     the same unsigned token expiring at `exp`
    """

    kind = "Auth"

    def __init__(self, address: str, project: str = DEFAULT_PROJECT, state_dir=None):
        super().__init__(address, project, state_dir)
        self._old_codes: set[str] = set()

    @classmethod
    def from_environment(cls, environ=None) -> AuthEmulator:
        """The emulator that FIREBASE_AUTH_EMULATOR_HOST names (its project
        from TAVRIN_EMULATOR_PROJECT, else GCLOUD_PROJECT, else demo-tavrin,
        until find_project() asks the emulator). Raises EmulatorUnavailable
        with the reason when there is none."""
        env = os.environ if environ is None else environ
        return cls._from_environment(env, env.get(AUTH_VARIABLE), (
            f"no Firebase Auth emulator: {AUTH_VARIABLE} is not set. Start one with "
            "`firebase emulators:start --only auth --project demo-PROJECT` "
            f"(firebase-tools, on Node.js) and set {AUTH_VARIABLE} to its HOST:PORT "
            "(127.0.0.1:9099 by default)"))

    def _ready(self) -> bool:
        return bool(self._get("/", timeout=2).json()["authEmulator"]["ready"])

    def served_project(self) -> str:
        """The project the emulator was started for (its default project):
        the audience of a probe account's ID token, the probe deleted again."""
        identity = self.base_url + "/identitytoolkit.googleapis.com/v1/accounts:"
        reply = httpx.post(identity + "signUp?key=probe", json={"returnSecureToken": True},
                           timeout=10, trust_env=False)
        reply.raise_for_status()
        token = reply.json()["idToken"]
        httpx.post(identity + "delete?key=probe", json={"idToken": token}, timeout=10,
                   trust_env=False).raise_for_status()
        return token_claims(token)["aud"]

    def find_project(self) -> AuthEmulator:
        """Takes the project the emulator serves; EmulatorUnavailable (failed)
        when the environment named another, whose accounts and e-mail codes
        the tests would read in vain."""
        served = self.served_project()
        if self.project_given and self.project_given != served:
            raise EmulatorUnavailable(
                f"the Auth emulator at {self.address} serves the project {served}, not "
                f"{self.project_given} (TAVRIN_EMULATOR_PROJECT or GCLOUD_PROJECT): start it "
                f"with --project {self.project_given}, or set the variable to {served} or "
                "leave it unset", failed=True)
        self.project = served
        return self

    def _project_path(self, what: str) -> str:
        return f"/emulator/v1/projects/{self.project}/{what}"

    def clear(self) -> None:
        httpx.delete(self.base_url + self._project_path("accounts"), timeout=10,
                     trust_env=False).raise_for_status()
        # The emulator keeps its codes; later calls leave these out.
        self._old_codes = {code["oobCode"] for code in self._all_oob_codes()}

    def _all_oob_codes(self) -> list[dict]:
        reply = self._get(self._project_path("oobCodes"))
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


class FunctionsEmulator(Emulator):
    """The Functions emulator, serving the functions of a Firebase project
    directory at http://HOST:PORT/PROJECT/REGION/NAME."""

    kind = "Functions"

    @classmethod
    def from_environment(cls, environ=None) -> FunctionsEmulator:
        """The emulator that FIREBASE_FUNCTIONS_EMULATOR_HOST names, else the
        one that the emulator hub of FIREBASE_EMULATOR_HUB lists (set by
        `firebase emulators:exec`). Raises EmulatorUnavailable with the
        reason when there is none."""
        env = os.environ if environ is None else environ
        address = env.get(FUNCTIONS_VARIABLE)
        if not address and env.get("FIREBASE_EMULATOR_HUB"):
            hub = Emulator(env["FIREBASE_EMULATOR_HUB"])
            try:
                listed = hub._get("/emulators").json().get("functions")
            except (httpx.HTTPError, ValueError) as failure:
                raise EmulatorUnavailable(f"the emulator hub at {hub.address} does not "
                                          f"answer: {failure}", failed=True) from None
            if listed:
                address = f"{listed['host']}:{listed['port']}"
        return cls._from_environment(env, address, (
            f"no Firebase Functions emulator: {FUNCTIONS_VARIABLE} is not set. In the "
            "Firebase project directory of your functions, start the emulators with "
            "`firebase emulators:start --only auth,functions --project PROJECT` "
            f"and set {FUNCTIONS_VARIABLE} to the Functions emulator's HOST:PORT "
            f"(127.0.0.1:5001 by default) and {AUTH_VARIABLE} to the Auth emulator's; "
            "or run pytest under `firebase emulators:exec --only auth,functions` (the CLI "
            "called by its path: npm install --prefix DIR firebase-tools; DIR/node_modules/.bin/"
            "firebase)"))

    def _ready(self) -> bool:  # once it has loaded the functions
        return any(backend.get("functionTriggers")
                   for backend in self._get("/backends", timeout=2).json()["backends"])
