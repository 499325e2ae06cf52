"""The main job: a session of the demo application run through
tavrin.firebase against the local Firebase stand-ins: sign-up, sign-in, the
verification and password-reset e-mails, account lookup, token refresh, and
a document created, read, updated, overwritten and deleted.

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


async def refused(fb, awaitable, status, message):
    """Awaits an operation that the service must refuse with `status` and
    an error whose message starts with `message`; the line to print."""
    try:
        reply = await awaitable
    except fb.HTTPStatusError as exc:
        got = error_message(exc) or ""
        expect(exc.response.status_code == status and got.startswith(message),
               f"expected {status} {message}, got {exc.response.status_code} {got}")
        shown = got if len(got) <= 100 else got[:97] + "..."
        return f"refused as expected: HTTPStatusError {status} {shown}"
    raise StepFailed(f"the service accepted it: {reply!r}")


def field_text(fields):
    """{"a": {"stringValue": "x"}} as a=x, for the printed lines."""
    return ", ".join(f"{name}={next(iter(value.values()))!r}"
                     for name, value in (fields or {}).items()) or "(no fields)"


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

            async def verification_mail():
                reply = await fb.verify_email(app.firebase_id_token)
                expect(reply == {"kind": "identitytoolkit#GetOobConfirmationCodeResponse",
                                 "email": email}, f"unexpected reply {reply!r}")
                mails = svc.outbox.mails(kind="VERIFY_EMAIL", email=email)
                expect(len(mails) == 1 and mails[0].local_id == state["local_id"],
                       f"the outbox holds {svc.outbox.mails()!r}")
                return (f"{reply['kind']} for {reply['email']}; outbox: "
                        f"{mails[0].kind} to {mails[0].email}, code {mails[0].oob_code[:12]}...")

            async def reset_mail():
                reply = await fb.send_password_reset_email(email)
                expect(reply == {"kind": "identitytoolkit#GetOobConfirmationCodeResponse",
                                 "email": email}, f"unexpected reply {reply!r}")
                mails = svc.outbox.mails(kind="PASSWORD_RESET", email=email)
                expect(len(mails) == 1, f"the outbox holds {svc.outbox.mails()!r}")
                return (f"{reply['kind']} for {reply['email']}; outbox now holds "
                        f"{len(svc.outbox)} mails: "
                        + ", ".join(f"{m.kind} to {m.email}" for m in svc.outbox.mails()))

            async def lookup():
                user = await fb.get_auth_user_data(app.firebase_id_token)
                expect(isinstance(user, dict) and user.get("localId") == state["local_id"]
                       and user.get("email") == email, f"unexpected account {user!r}")
                expect(user.get("emailVerified") is False, "the address shows as verified")
                return (f"localId {user['localId']}, email {user['email']}, emailVerified "
                        f"{user['emailVerified']}, providers "
                        f"{[p['providerId'] for p in user['providerUserInfo']]}, "
                        f"last refresh {user['lastRefreshAt']}")

            async def refresh():
                reply = await fb.refresh_id_token(app.firebase_refresh_token)
                expect(reply.get("user_id") == state["local_id"]
                       and reply.get("token_type") == "Bearer" and reply.get("id_token"),
                       f"unexpected reply {reply!r}")
                claims = token_claims(reply["id_token"])
                expect(claims["user_id"] == state["local_id"], f"token of {claims['user_id']}")
                app.firebase_id_token = reply["id_token"]
                app.firebase_refresh_token = reply["refresh_token"]
                return (f"new ID token for {reply['user_id']}, expires in "
                        f"{reply['expires_in']} s (exp {claims['exp']})")

            async def bad_refresh():
                return await refused(fb, fb.refresh_id_token("AMf-vB-not-a-refresh-token"),
                                     400, "INVALID_REFRESH_TOKEN")

            note = {"title": {"stringValue": "Groceries"}, "items": {"integerValue": "3"},
                    "done": {"booleanValue": False}}

            async def create():
                document = await fb.create_document("notes", state["local_id"], note,
                                                    app.firebase_id_token)
                expect(document.get("name", "").endswith("/documents/" + path)
                       and document.get("fields") == note, f"unexpected reply {document!r}")
                expect(svc.documents.get(path) == document, "the stand-in stored something else")
                state["document"] = document
                return f"{document['name']}: {field_text(document['fields'])}, created {document['createTime']}"

            async def create_again():
                return await refused(fb, fb.create_document("notes", state["local_id"], note,
                                                            app.firebase_id_token),
                                     409, "Document already exists")

            async def create_with_chosen_id():
                document = await fb.create_document("notes", None, note, app.firebase_id_token)
                chosen = document.get("name", "").rsplit("/", 1)[-1]
                expect(len(chosen) == 20 and chosen != state["local_id"],
                       f"unexpected name {document.get('name')!r}")
                await fb.delete_document("notes/" + chosen, app.firebase_id_token)
                return f"the service chose the id {chosen} (deleted again)"

            async def read():
                document = await fb.get_document(path, app.firebase_id_token)
                expect(document == state.get("document"), f"read back {document!r}")
                return f"{path}: {field_text(document['fields'])}"

            async def update():
                change = {"items": {"integerValue": "4"}, "done": {"booleanValue": True}}
                document = await fb.update_document(path, change, app.firebase_id_token)
                expect(document.get("fields") == dict(note, **change),
                       f"unexpected fields {document.get('fields')!r}")
                expect(svc.requests[-1].query.get("updateMask.fieldPaths") == ["items", "done"],
                       f"sent {svc.requests[-1].target}")
                return (f"mask items, done -> {field_text(document['fields'])} "
                        f"(title kept), updated {document['updateTime']}")

            async def overwrite():
                whole = {"title": {"stringValue": "Groceries, new list"}}
                document = await fb.overwrite_document(path, whole, app.firebase_id_token)
                expect(document.get("fields") == whole and svc.documents.fields(path) == whole,
                       f"unexpected reply {document!r}")
                sent = svc.requests[-1]
                return (f"{sent.method} without a mask -> {field_text(document['fields'])} "
                        "(items and done gone)")

            async def delete():
                reply = await fb.delete_document(path, app.firebase_id_token)
                expect(reply == {} and svc.documents.get(path) is None,
                       f"reply {reply!r}, stored {svc.documents.get(path)!r}")
                return f"{path} deleted, reply {reply!r}"

            async def read_deleted():
                return await refused(fb, fb.get_document(path, app.firebase_id_token),
                                     404, f'Document "projects/{config.project_id}/')

            async def read_without_login():
                return await refused(fb, fb.get_document(path, None), 401,
                                     "Request had invalid authentication credentials.")

            await session.step("sign-up", sign_up)
            await session.step("sign-up again", sign_up_again)
            await session.step("sign-in", sign_in)
            await session.step("sign-in, wrong password", wrong_password)
            await session.step("token expiry", token_expiry)
            await session.step("verification e-mail", verification_mail)
            await session.step("password-reset e-mail", reset_mail)
            await session.step("password reset, unknown address", lambda: refused(
                fb, fb.send_password_reset_email("nobody@example.com"), 400, "EMAIL_NOT_FOUND"))
            await session.step("account lookup", lookup)
            await session.step("token refresh", refresh)
            await session.step("token refresh, bad refresh token", bad_refresh)
            path = f"notes/{state.get('local_id')}"
            await session.step("create document", create)
            await session.step("create it again", create_again)
            await session.step("create, service-chosen id", create_with_chosen_id)
            await session.step("read document", read)
            await session.step("update with a mask", update)
            await session.step("overwrite document", overwrite)
            await session.step("delete document", delete)
            await session.step("read after delete", read_deleted)
            await session.step("read without a valid token", read_without_login)


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
