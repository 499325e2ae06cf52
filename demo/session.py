"""The main job: a sign-up and sign-in session of the demo application,
run through tavrin.firebase against the local Firebase stand-ins.

    python3 demo/session.py [EXTENSION]

EXTENSION is the built module (default: build/release/firebase<EXT_SUFFIX>).
A temporary copy of demo/tavrin with the extension linked in is put on
sys.path. Prints one line per step; the exit status is 0 only if every step
did what it should.
"""

import asyncio
import base64
import json
import shutil
import sys
import sysconfig
import tempfile
import time
import traceback
import uuid
from pathlib import Path

DEMO = Path(__file__).resolve().parent
REPO = DEMO.parent
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


class StepFailed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise StepFailed(what)


class Session:
    def __init__(self):
        self.failures = 0

    def report(self, ok, name, detail):
        print(f"[{' ok ' if ok else 'FAIL'}] {name}: {detail}", flush=True)
        if not ok:
            self.failures += 1

    async def step(self, name, action):
        """Runs one step; its result is the line to print on success."""
        try:
            detail = action()
            if asyncio.iscoroutine(detail):
                detail = await detail
        except StepFailed as failure:
            self.report(False, name, str(failure))
            return False
        except Exception as exc:
            self.report(False, name, f"unexpected {type(exc).__name__}: {exc}")
            traceback.print_exc()
            return False
        self.report(True, name, detail)
        return True


def token_claims(token):
    segment = token.split(".")[1]
    return json.loads(base64.urlsafe_b64decode(segment + "=" * (-len(segment) % 4)))


def error_message(exc):
    try:
        return exc.response.json()["error"]["message"]
    except Exception:
        return None


async def run(extension):
    session = Session()
    app_dir = Path(tempfile.mkdtemp(prefix="tavrin-demo-"))
    try:
        shutil.copytree(DEMO / "tavrin", app_dir / "tavrin")
        (app_dir / "tavrin" / ("firebase" + EXT_SUFFIX)).symlink_to(extension.resolve())
        sys.path.insert(0, str(app_dir))
        sys.path.insert(0, str(REPO / "standins"))
        await steps(session)
    finally:
        shutil.rmtree(app_dir, ignore_errors=True)
    return session.failures


async def steps(session):
    state = {}

    def load():
        import tavrin.firebase as fb
        state["fb"] = fb
        return f"loaded tavrin.firebase from {fb.__file__}"

    if not await session.step("load", load):
        return
    fb = state["fb"]

    from firebase_standins import StandinConfig, running_services, routed
    from tavrin import env, firebase_config

    config = StandinConfig.from_config_module(firebase_config)
    async with running_services(config) as svc:
        print(f"       stand-ins for project {config.project_id} at {svc.base_url}", flush=True)
        with routed(fb, svc):
            email = f"demo-{uuid.uuid4().hex[:8]}@example.com"
            password = "correct horse battery"
            app = env.get_app()

            async def sign_up():
                reply = await fb.auth_sign_up(email, password)
                expect(reply.get("kind") == "identitytoolkit#SignupNewUserResponse",
                       f"unexpected reply {reply!r}")
                expect(reply.get("email") == email and reply.get("idToken"),
                       f"reply lacks the account: {reply!r}")
                state["local_id"] = reply["localId"]
                return f"created {email} (localId {reply['localId']})"

            async def sign_up_again():
                try:
                    reply = await fb.auth_sign_up(email, password)
                except fb.HTTPStatusError as exc:
                    message = error_message(exc)
                    expect(exc.response.status_code == 400 and message == "EMAIL_EXISTS",
                           f"expected 400 EMAIL_EXISTS, got {exc.response.status_code} {message}")
                    return "refused as expected: 400 EMAIL_EXISTS"
                raise StepFailed(f"a second sign-up succeeded: {reply!r}")

            async def sign_in():
                reply = await fb.auth_sign_in(email, password)
                expect(reply.get("kind") == "identitytoolkit#VerifyPasswordResponse"
                       and reply.get("registered") is True, f"unexpected reply {reply!r}")
                expect(reply.get("localId") == state.get("local_id"),
                       f"signed in as {reply.get('localId')}, not {state.get('local_id')}")
                app.firebase_id_token = reply["idToken"]
                app.firebase_refresh_token = reply["refreshToken"]
                app.user_id = reply["localId"]
                return f"signed in as {reply['localId']}, token expires in {reply['expiresIn']} s"

            async def wrong_password():
                try:
                    reply = await fb.auth_sign_in(email, password + "!")
                except fb.HTTPStatusError as exc:
                    message = error_message(exc)
                    expect(exc.response.status_code == 400 and message == "INVALID_PASSWORD",
                           f"expected 400 INVALID_PASSWORD, got {exc.response.status_code} {message}")
                    return "refused as expected: HTTPStatusError 400 INVALID_PASSWORD"
                raise StepFailed(f"signing in with a wrong password succeeded: {reply!r}")

            def token_expiry():
                token = app.firebase_id_token
                expect(token, "no ID token from the sign-in")
                expiry = fb.get_token_expiry(token)
                claims = token_claims(token)
                expect(type(expiry) is int and expiry == claims["exp"],
                       f"get_token_expiry gave {expiry!r}, the token says {claims['exp']!r}")
                left = expiry - time.time()
                expect(3500 < left <= 3600, f"token expires in {left:.0f} s, expected about 3600")
                return f"ID token of {claims['sub']} expires at {expiry} (in {left:.0f} s)"

            await session.step("sign-up", sign_up)
            await session.step("sign-up again", sign_up_again)
            await session.step("sign-in", sign_in)
            await session.step("sign-in, wrong password", wrong_password)
            await session.step("token expiry", token_expiry)


def main(argv):
    if len(argv) > 2:
        print(__doc__, file=sys.stderr)
        return 2
    extension = Path(argv[1]) if len(argv) == 2 else REPO / "build" / "release" / ("firebase" + EXT_SUFFIX)
    if not extension.is_file():
        print(f"[FAIL] load: no built extension at {extension} (run tools/build release)")
        return 1
    failures = asyncio.run(run(extension))
    print("session passed" if failures == 0 else f"session FAILED: {failures} step(s) failed",
          flush=True)
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
