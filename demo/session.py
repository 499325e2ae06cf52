"""The main job: a whole session of the demo application run through
tavrin.firebase, by default against the local Firebase stand-ins.

    python3 demo/session.py [--real] [--loop asyncio|trio] [EXTENSION]

EXTENSION is the built module (default: build/release/firebase<EXT_SUFFIX>).
--loop trio runs the same session under trio instead of asyncio.
A temporary copy of demo/tavrin with the extension and the codec built
beside it (tavrin.firestore_values, which writes and reads the notes) linked
in is put on sys.path. Prints one line per step; the exit status is 0 only if every step
did what it should.

The session: sign-up (and a refused second one), sign-in (and a refused wrong
password), the ID token's expiry, the verification e-mail, account lookup,
registration of the user and billing records (and the refusal of a second
registration), a document created, read, updated, overwritten and deleted,
token refresh, session validation (a token about to expire is refreshed),
function calls (sealed and plain bodies echoed by the function, a failing
function), a failed refresh that clears the login with a red message, and
the password-reset e-mail.

--real (or TAVRIN_DEMO_REAL=1) runs the same session against the real
Firebase project that the TAVRIN_* environment variables name (see
demo/tavrin/env.py, demo/tavrin/firebase_config.py and the README): no
stand-in is started and no request is routed. Steps that only the stand-ins
can check are skipped; the function steps run only with
TAVRIN_DEMO_FUNCTIONS=1, for a project that deploys VERSION_echo and
VERSION_fail as the stand-in serves them.
"""

import argparse
import asyncio
import base64
import datetime
import json
import os
import re
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
sys.path.insert(0, str(REPO / "tools"))
from app_package import make_app_package  # noqa: E402 (found through the line above)
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
STANDIN_ONLY = "stand-in only"
NEEDS_FUNCTIONS = "needs TAVRIN_DEMO_FUNCTIONS=1 and the echo and fail functions deployed"
REAL_REQUIRED = ("TAVRIN_FIREBASE_API_KEY", "TAVRIN_FIREBASE_PROJECT_ID")
REGISTRATION_TIME = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")


class StepFailed(Exception):
    pass


def expect(condition, what):
    if not condition:
        raise StepFailed(what)


def flag(name):
    return os.environ.get(name, "") not in ("", "0")


class Session:
    def __init__(self, real):
        self.real = real
        self.functions = not real or flag("TAVRIN_DEMO_FUNCTIONS")
        self.passed = self.failures = self.skipped = 0

    def report(self, mark, name, detail):
        print(f"[{mark}] {name}: {detail}", flush=True)

    async def step(self, name, action, *, skip=None):
        """Runs one step, unless `skip` gives the reason why not; the
        action's result is the line to print on success."""
        if skip:
            self.skipped += 1
            self.report("skip", name, skip)
            return None
        try:
            detail = action()
            if asyncio.iscoroutine(detail):
                detail = await detail
        except StepFailed as failure:
            self.failures += 1
            self.report("FAIL", name, str(failure))
            return False
        except Exception as exc:
            self.failures += 1
            self.report("FAIL", name, f"unexpected {type(exc).__name__}: {exc}")
            traceback.print_exc()
            return False
        self.passed += 1
        self.report(" ok ", name, detail)
        return True


def token_claims(token):
    segment = token.split(".")[1]
    return json.loads(base64.urlsafe_b64decode(segment + "=" * (-len(segment) % 4)))


def error_message(exc):
    try:
        return exc.response.json()["error"]["message"]
    except Exception:
        return None


def short(text, limit=100):
    return text if len(text) <= limit else text[: limit - 3] + "..."


async def refused(fb, awaitable, status, *messages):
    """Awaits an operation that the service must refuse with `status` and
    an error whose message starts with one of `messages`; the line to print."""
    try:
        reply = await awaitable
    except fb.HTTPStatusError as exc:
        got = error_message(exc) or ""
        expect(exc.response.status_code == status and got.startswith(messages),
               f"expected {status} {' or '.join(messages)}, got {exc.response.status_code} {got}")
        return f"refused as expected: HTTPStatusError {status} {short(got)}"
    raise StepFailed(f"the service accepted it: {reply!r}")


def field_text(fields):
    """{"a": {"stringValue": "x"}} as a='x', for the printed lines."""
    return ", ".join(f"{name}={next(iter(value.values()))!r}"
                     for name, value in (fields or {}).items()) or "(no fields)"


class Demo:
    """The steps of the session. `svc` is the running stand-ins, or None
    against a real project (then nothing is looked at behind the services)."""

    def __init__(self, session, fb, env, project, svc):
        from tavrin import firestore_values
        self.fv = firestore_values
        self.session = session
        self.fb = fb
        self.env = env
        self.project = project
        self.svc = svc
        self.app = env.get_app()
        self.email = f"tavrin-demo-{uuid.uuid4().hex[:8]}@example.com"
        self.password = "correct horse battery"
        self.uid = None
        self.document = None
        self.path = None
        self.note = {"title": "Groceries", "items": 3, "done": False,
                     "due": datetime.datetime(2026, 12, 24, 17, tzinfo=datetime.timezone.utc)}
        self.payload = {"order": 1042, "items": ["tea", "caf\u00e9"], "total": 7.5, "gift": None}

    # What only the stand-ins can show.

    def sent(self, since, host=None):
        """The requests the stand-ins received since the index `since`."""
        return [r for r in self.svc.requests[since:] if host is None or r.host == host]

    def mark(self):
        return len(self.svc.requests) if self.svc else 0

    def near_expiry_token(self):
        """An ID token of the account with 60 seconds left; against a real
        project, whose tokens cannot be made here, one whose expiry cannot
        be read, which the validation refreshes just the same."""
        if self.svc:
            exp = int(time.time()) + 60
            return self.svc.make_id_token(self.uid, exp=exp), f"60 s left (exp {exp})"
        return "tavrin-demo.unreadable-expiry.token", "an unreadable expiry"

    # Accounts.

    async def sign_up(self):
        reply = await self.fb.auth_sign_up(self.email, self.password)
        expect(reply.get("kind") == "identitytoolkit#SignupNewUserResponse",
               f"unexpected reply {reply!r}")
        expect(reply.get("email") == self.email and reply.get("idToken"),
               f"reply lacks the account: {reply!r}")
        self.uid = reply["localId"]
        return f"created {self.email} (localId {self.uid})"

    async def sign_up_again(self):
        return await refused(self.fb, self.fb.auth_sign_up(self.email, self.password),
                             400, "EMAIL_EXISTS")

    async def sign_in(self):
        reply = await self.fb.auth_sign_in(self.email, self.password)
        expect(reply.get("kind") == "identitytoolkit#VerifyPasswordResponse"
               and reply.get("registered") is True, f"unexpected reply {reply!r}")
        expect(reply.get("localId") == self.uid,
               f"signed in as {reply.get('localId')}, not {self.uid}")
        self.app.firebase_id_token = reply["idToken"]
        self.app.firebase_refresh_token = reply["refreshToken"]
        self.app.user_id = reply["localId"]
        return f"signed in as {reply['localId']}, token expires in {reply['expiresIn']} s"

    async def wrong_password(self):
        # A project with e-mail enumeration protection says INVALID_LOGIN_CREDENTIALS.
        return await refused(self.fb, self.fb.auth_sign_in(self.email, self.password + "!"),
                             400, "INVALID_PASSWORD", "INVALID_LOGIN_CREDENTIALS")

    def token_expiry(self):
        token = self.app.firebase_id_token
        expect(token, "no ID token from the sign-in")
        expiry = self.fb.get_token_expiry(token)
        claims = token_claims(token)
        expect(type(expiry) is int and expiry == claims["exp"],
               f"get_token_expiry gave {expiry!r}, the token says {claims['exp']!r}")
        left = expiry - time.time()
        expect(3500 < left <= 3600, f"token expires in {left:.0f} s, expected about 3600")
        return f"ID token of {claims['sub']} expires at {expiry} (in {left:.0f} s)"

    async def verification_mail(self):
        reply = await self.fb.verify_email(self.app.firebase_id_token)
        expect(reply.get("kind") == "identitytoolkit#GetOobConfirmationCodeResponse"
               and reply.get("email") == self.email, f"unexpected reply {reply!r}")
        line = f"{reply['kind']} for {reply['email']}"
        if self.svc:
            mails = self.svc.outbox.mails(kind="VERIFY_EMAIL", email=self.email)
            expect(len(mails) == 1 and mails[0].local_id == self.uid,
                   f"the outbox holds {self.svc.outbox.mails()!r}")
            line += (f"; outbox: {mails[0].kind} to {mails[0].email},"
                     f" code {mails[0].oob_code[:12]}...")
        return line

    async def lookup(self):
        user = await self.fb.get_auth_user_data(self.app.firebase_id_token)
        expect(isinstance(user, dict) and user.get("localId") == self.uid
               and user.get("email") == self.email, f"unexpected account {user!r}")
        expect(user.get("emailVerified") is False, "the address shows as verified")
        return (f"localId {user['localId']}, email {user['email']}, emailVerified "
                f"{user['emailVerified']}, providers "
                f"{[p.get('providerId') for p in user.get('providerUserInfo', [])]}, "
                f"last refresh {user.get('lastRefreshAt')}")

    async def reset_mail(self):
        reply = await self.fb.send_password_reset_email(self.email)
        expect(reply.get("kind") == "identitytoolkit#GetOobConfirmationCodeResponse"
               and reply.get("email") == self.email, f"unexpected reply {reply!r}")
        line = f"{reply['kind']} for {reply['email']}"
        if self.svc:
            mails = self.svc.outbox.mails(kind="PASSWORD_RESET", email=self.email)
            expect(len(mails) == 1, f"the outbox holds {self.svc.outbox.mails()!r}")
            line += (f"; outbox now holds {len(self.svc.outbox)} mails: "
                     + ", ".join(f"{m.kind} to {m.email}" for m in self.svc.outbox.mails()))
        return line

    async def reset_unknown(self):
        return await refused(self.fb, self.fb.send_password_reset_email("nobody@example.com"),
                             400, "EMAIL_NOT_FOUND")

    # Registration.

    async def stored(self, collection):
        """The fields of collection/uid: from the stand-ins' store, or read
        back from the real service."""
        if self.svc:
            return self.svc.documents.fields(collection, self.uid)
        document = await self.fb.get_document(f"{collection}/{self.uid}",
                                              self.app.firebase_id_token)
        return document.get("fields")

    async def register(self):
        since = self.mark()
        result = await self.fb.register_new_user_in_firestore(
            self.uid, self.email, self.app.firebase_id_token)
        expect(result is None, f"the registration gave {result!r}, not None")
        users, billing = await self.stored("users"), await self.stored("billing")
        expect(users is not None and billing is not None,
               f"stored: users {users!r}, billing {billing!r}")
        created_at = users.get("created_at", {}).get("timestampValue", "")
        expect(users == {"email": {"stringValue": self.email},
                         "user_id": {"stringValue": self.uid},
                         "created_at": {"timestampValue": created_at},
                         "active": {"booleanValue": False}}, f"users/{self.uid}: {users!r}")
        balance = billing.get("balance", {}).get("doubleValue")
        expect(billing == {"user_id": {"stringValue": self.uid},
                           "email": {"stringValue": self.email},
                           "balance": {"doubleValue": 0.0}}, f"billing/{self.uid}: {billing!r}")
        line = ""
        if self.svc:
            # The store keeps the documents as they were sent.
            expect(list(users) == ["email", "user_id", "created_at", "active"]
                   and list(billing) == ["user_id", "email", "balance"],
                   f"field orders {list(users)}, {list(billing)}")
            expect(REGISTRATION_TIME.fullmatch(created_at),
                   f"created_at {created_at!r} is not YYYY-MM-DDTHH:MM:SS.mmmZ")
            expect(type(balance) is float, f"balance {balance!r} is not a float")
            requests = [(r.method, r.target.split("/documents/", 1)[-1]) for r in self.sent(since)]
            expect(requests == [("GET", f"users/{self.uid}"),
                                ("POST", f"users?documentId={self.uid}"),
                                ("POST", f"billing?documentId={self.uid}")],
                   f"requests {requests}")
            line = "; stored: "
        else:
            expect(created_at.endswith("Z"), f"created_at {created_at!r}")
            line = "; read back: "
        return (f"None{line}users/{self.uid} {{{field_text(users)}}}, "
                f"billing/{self.uid} {{{field_text(billing)}}}")

    async def register_again(self):
        since = self.mark()
        try:
            result = await self.fb.register_new_user_in_firestore(
                self.uid, self.email, self.app.firebase_id_token)
        except Exception as exc:
            expect(type(exc) is Exception and exc.args == ("User already exists in Firestore.",),
                   f"raised {type(exc).__name__}{exc.args!r}")
            error = exc
        else:
            raise StepFailed(f"a second registration went through: {result!r}")
        line = f"refused as expected: Exception: {error}"
        if self.svc:
            requests = [r.method for r in self.sent(since)]
            expect(requests == ["GET", "GET"], f"requests {requests}")
            line += " (users and billing read, nothing written)"
        return line

    # Documents.

    async def create(self):
        document = await self.fb.create_document("notes", self.uid, self.fv.to_fields(self.note),
                                                 self.app.firebase_id_token)
        expect(document.get("name", "").endswith("/documents/" + self.path)
               and self.fv.from_document(document) == self.note, f"unexpected reply {document!r}")
        if self.svc:
            expect(self.svc.documents.get(self.path) == document,
                   "the stand-in stored something else")
        self.document = document
        return (f"{document['name']}: {field_text(document['fields'])}, "
                f"created {document['createTime']}")

    async def create_again(self):
        return await refused(self.fb, self.fb.create_document(
            "notes", self.uid, self.fv.to_fields(self.note), self.app.firebase_id_token),
            409, "Document already exists")

    async def create_with_chosen_id(self):
        document = await self.fb.create_document("notes", None, self.fv.to_fields(self.note),
                                                 self.app.firebase_id_token)
        chosen = self.fv.document_id(document)
        expect(len(chosen) == 20 and chosen != self.uid,
               f"unexpected name {document.get('name')!r}")
        await self.fb.delete_document("notes/" + chosen, self.app.firebase_id_token)
        return f"the service chose the id {chosen} (deleted again)"

    async def read(self):
        document = await self.fb.get_document(self.path, self.app.firebase_id_token)
        expect(document == self.document, f"read back {document!r}")
        return f"{self.path}: {field_text(document['fields'])}"

    async def update(self):
        change = {"items": 4, "done": True}
        since = self.mark()
        document = await self.fb.update_document(self.path, self.fv.to_fields(change),
                                                 self.app.firebase_id_token)
        expect(self.fv.from_document(document) == dict(self.note, **change),
               f"unexpected fields {document.get('fields')!r}")
        if self.svc:
            request, = self.sent(since)
            expect(request.query.get("updateMask.fieldPaths") == ["items", "done"],
                   f"sent {request.target}")
        return (f"mask items, done -> {field_text(document['fields'])} "
                f"(title kept), updated {document['updateTime']}")

    async def overwrite(self):
        whole = self.fv.to_fields({"title": "Groceries, new list"})
        document = await self.fb.overwrite_document(self.path, whole, self.app.firebase_id_token)
        expect(self.fv.from_document(document) == {"title": "Groceries, new list"},
               f"unexpected reply {document!r}")
        if self.svc:
            expect(self.svc.documents.fields(self.path) == whole,
                   f"stored {self.svc.documents.fields(self.path)!r}")
        return f"replaced without a mask -> {field_text(document['fields'])} (items and done gone)"

    async def delete(self):
        reply = await self.fb.delete_document(self.path, self.app.firebase_id_token)
        expect(reply == {}, f"reply {reply!r}")
        if self.svc:
            expect(self.svc.documents.get(self.path) is None,
                   f"stored {self.svc.documents.get(self.path)!r}")
        return f"{self.path} deleted, reply {reply!r}"

    async def read_deleted(self):
        return await refused(self.fb, self.fb.get_document(self.path, self.app.firebase_id_token),
                             404, f'Document "projects/{self.project}/')

    async def read_without_login(self):
        return await refused(self.fb, self.fb.get_document(self.path, None), 401,
                             "Request had invalid authentication credentials.")

    # Tokens and the session.

    async def refresh(self):
        reply = await self.fb.refresh_id_token(self.app.firebase_refresh_token)
        expect(reply.get("user_id") == self.uid
               and reply.get("token_type") == "Bearer" and reply.get("id_token"),
               f"unexpected reply {reply!r}")
        claims = token_claims(reply["id_token"])
        expect(claims["user_id"] == self.uid, f"token of {claims['user_id']}")
        self.app.firebase_id_token = reply["id_token"]
        self.app.firebase_refresh_token = reply["refresh_token"]
        return (f"new ID token for {reply['user_id']}, expires in "
                f"{reply['expires_in']} s (exp {claims['exp']})")

    async def bad_refresh(self):
        return await refused(self.fb, self.fb.refresh_id_token("AMf-vB-not-a-refresh-token"),
                             400, "INVALID_REFRESH_TOKEN")

    async def session_valid(self):
        app = self.app
        tokens = (app.firebase_id_token, app.firebase_refresh_token)
        since, shown = self.mark(), len(app.messages)
        result = await self.fb.ensure_valid_token()
        expect(result is None, f"ensure_valid_token gave {result!r}")
        expect((app.firebase_id_token, app.firebase_refresh_token) == tokens,
               "the tokens changed")
        expect(len(app.messages) == shown, f"the app showed {app.messages[shown:]!r}")
        left = token_claims(tokens[0])["exp"] - int(time.time())
        line = f"{left} s left, at least 300: the tokens are kept"
        if self.svc:
            expect(not self.sent(since), f"sent {[r.target for r in self.sent(since)]}")
            line += ", nothing sent"
        return line

    async def session_near_expiry(self):
        app = self.app
        token, how = self.near_expiry_token()
        app.firebase_id_token = token
        refresh_token = app.firebase_refresh_token
        since, shown = self.mark(), len(app.messages)
        result = await self.fb.ensure_valid_token()
        expect(result is None, f"ensure_valid_token gave {result!r}")
        expect(len(app.messages) == shown, f"the app showed {app.messages[shown:]!r}")
        expect(app.firebase_id_token and app.firebase_id_token != token,
               f"the ID token was not replaced: {app.firebase_id_token!r}")
        expect(app.firebase_refresh_token and app.user_id == self.uid,
               "the login was not kept")
        claims = token_claims(app.firebase_id_token)
        left = claims["exp"] - int(time.time())
        expect(claims["user_id"] == self.uid and left > 3000,
               f"new token of {claims['user_id']} with {left} s left")
        line = (f"ID token with {how} refreshed: changed "
                f"{token[-10:]} -> {app.firebase_id_token[-10:]}, exp {claims['exp']} ({left} s left)")
        if self.svc:
            refreshes = self.sent(since, "securetoken.googleapis.com")
            expect(len(refreshes) == 1, f"{len(refreshes)} refresh requests")
            expect(app.firebase_refresh_token == refresh_token, "the refresh token changed")
            line += ", one request to the secure-token service"
        return line

    async def failed_refresh(self):
        app = self.app
        if self.svc:
            expect(self.svc.revoke_refresh_token(app.firebase_refresh_token),
                   "the stand-in does not know the refresh token")
            what = "refresh token revoked"
        else:
            app.firebase_refresh_token = "AMf-vB-tavrin-demo-revoked-refresh-token"
            what = "unknown refresh token"
        token, how = self.near_expiry_token()
        app.firebase_id_token = token
        shown = len(app.messages)
        result = await self.fb.ensure_valid_token()
        expect(result is None, f"ensure_valid_token gave {result!r}")
        login = (app.firebase_id_token, app.user_id, app.firebase_refresh_token)
        expect(login == (None, None, None), f"the login was not cleared: {login!r}")
        messages = app.messages[shown:]
        expect(len(messages) == 1, f"the app showed {messages!r}")
        text, style = messages[0]
        expect(style == "red" and text.startswith("\nToken refresh failed: ")
               and text.endswith(". Please log in again.") and "400" in text,
               f"the app showed {messages[0]!r}")
        return (f"{what}, ID token with {how}: the refresh was refused (400), the red message"
                f" was shown, ID token, user id and refresh token are None")

    # Functions.

    def function_url(self, name):
        return f"{self.fb.get_functions_base_url()}/{self.env.API_VERSION}_{name}"

    def last_call(self, name, since):
        calls = self.svc.functions.calls[since:]
        expect(len(calls) == 1 and calls[0].name == f"{self.env.API_VERSION}_{name}",
               f"the functions stand-in received {[c.name for c in calls]}")
        call = calls[0]
        expect(call.header(self.env.AUTH_HEADER_NAME) == self.env.ENCRYPTED_AUTH_KEY.decode(),
               f"authentication header {call.header(self.env.AUTH_HEADER_NAME)!r}")
        return call

    async def encrypted_call(self):
        since = len(self.svc.functions.calls) if self.svc else 0
        reply = await self.fb.trigger_function("echo", self.payload, use_auth_token=True)
        expect(isinstance(reply, dict) and reply.get("echo") == self.payload,
               f"the function answered {reply!r}")
        line = f"POST {self.function_url('echo')}: echo == payload"
        if self.svc:
            expect(reply == {"echo": self.payload, "encrypted": True, "uid": self.uid},
                   f"the function answered {reply!r}")
            call = self.last_call("echo", since)
            expect(call.encrypted and call.header(self.env.ENCRYPTION_HEADER_NAME) == "true",
                   "the body was not marked as sealed")
            expect(call.header("authorization") == "Bearer " + self.app.firebase_id_token,
                   f"Authorization {call.header('authorization')!r}")
            compact = json.dumps(self.payload, separators=(",", ":")).encode()
            sealed = base64.b64decode(call.body)
            expect(call.plaintext == compact and len(sealed) == len(compact) + 48,
                   f"opened {call.plaintext!r} from {len(sealed)} bytes")
            line += (f", sealed body ({len(call.body)} bytes of base64, {len(sealed)} sealed)"
                     f" opened by the stand-in to {call.plaintext.decode()}, uid {reply['uid']}")
        return line

    async def plain_call(self):
        since = len(self.svc.functions.calls) if self.svc else 0
        reply = await self.fb.trigger_function("echo", self.payload, encrypt=False)
        expect(isinstance(reply, dict) and reply.get("echo") == self.payload,
               f"the function answered {reply!r}")
        line = f"POST {self.function_url('echo')} with a JSON body: echo == payload"
        if self.svc:
            expect(reply == {"echo": self.payload, "encrypted": False, "uid": None},
                   f"the function answered {reply!r}")
            call = self.last_call("echo", since)
            expect(call.header(self.env.ENCRYPTION_HEADER_NAME) is None
                   and call.header("authorization") is None,
                   "the call carried an encryption or Authorization header")
            expect(json.loads(call.body) == self.payload, f"body {call.body!r}")
            line += f", body {call.body.decode()}, no bearer token (uid None)"
        return line

    async def failing_call(self):
        try:
            reply = await self.fb.trigger_function("fail", {"reason": "demo"})
        except self.fb.HTTPStatusError as exc:
            got = error_message(exc) or ""
            expect(exc.response.status_code == 500, f"status {exc.response.status_code} {got}")
            return f"refused as expected: HTTPStatusError 500 {short(got)}"
        raise StepFailed(f"the function answered {reply!r}")

    async def call_without_login(self):
        since = len(self.svc.functions.calls) if self.svc else 0
        try:
            reply = await self.fb.trigger_function("echo", self.payload, use_auth_token=True)
        except Exception as exc:
            expect(type(exc) is Exception
                   and exc.args == ("Authentication token requested but not available.",),
                   f"raised {type(exc).__name__}{exc.args!r}")
            error = exc
        else:
            raise StepFailed(f"the call went out: {reply!r}")
        line = f"refused as expected: Exception: {error}"
        if self.svc:
            expect(len(self.svc.functions.calls) == since, "a call reached the functions")
            line += " (nothing sent)"
        return line

    async def clean_up(self):
        """Against a real project: sign in again and delete the two records."""
        reply = await self.fb.auth_sign_in(self.email, self.password)
        token = reply["idToken"]
        for path in (f"users/{self.uid}", f"billing/{self.uid}"):
            await self.fb.delete_document(path, token)
        return (f"deleted users/{self.uid} and billing/{self.uid}; the account {self.email}"
                " stays (delete it in the Firebase console)")

    # The session.

    async def run(self):
        step, real = self.session.step, self.session.real
        no_functions = None if self.session.functions else NEEDS_FUNCTIONS
        await step("sign-up", self.sign_up)
        await step("sign-up again", self.sign_up_again)
        await step("sign-in", self.sign_in)
        await step("sign-in, wrong password", self.wrong_password)
        await step("token expiry", self.token_expiry)
        await step("verification e-mail", self.verification_mail)
        await step("account lookup", self.lookup)
        await step("register user", self.register)
        await step("register again", self.register_again)
        self.path = f"notes/{self.uid}"
        await step("create document", self.create)
        await step("create it again", self.create_again)
        await step("create, service-chosen id", self.create_with_chosen_id)
        await step("read document", self.read)
        await step("update with a mask", self.update)
        await step("overwrite document", self.overwrite)
        await step("delete document", self.delete)
        await step("read after delete", self.read_deleted)
        await step("read without a valid token", self.read_without_login)
        await step("token refresh", self.refresh)
        await step("token refresh, bad refresh token", self.bad_refresh)
        await step("session valid", self.session_valid)
        await step("session near expiry", self.session_near_expiry)
        await step("function call, sealed", self.encrypted_call, skip=no_functions)
        await step("function call, plain", self.plain_call, skip=no_functions)
        await step("function call, failing", self.failing_call, skip=no_functions)
        await step("failed refresh", self.failed_refresh)
        await step("function call without a login", self.call_without_login)
        await step("password-reset e-mail", self.reset_mail)
        # With e-mail enumeration protection a real project answers 200 here.
        await step("password reset, unknown address", self.reset_unknown,
                   skip=STANDIN_ONLY if real else None)
        if real:
            await step("clean up", self.clean_up)


async def run(extension, real):
    session = Session(real)
    app_dir = Path(tempfile.mkdtemp(prefix="tavrin-demo-"))
    try:
        make_app_package(DEMO / "tavrin", extension, app_dir)
        state = {}

        def load():
            import tavrin.firebase as fb
            state["fb"] = fb
            return f"loaded tavrin.firebase from {fb.__file__}"

        if await session.step("load", load):
            await run_steps(session, state["fb"])
    finally:
        shutil.rmtree(app_dir, ignore_errors=True)
    return session


async def pooled_run(demo):
    """The session's calls share one client and its connections
    (tavrin.firebase_pool), as an application that makes many calls would."""
    from tavrin.firebase_pool import pooled

    async with pooled(demo.fb) as pool:
        await demo.run()
    print(f"       {pool.leases} calls on {pool.clients_made} pooled client", flush=True)


async def run_steps(session, fb):
    from tavrin import env, firebase_config

    project = firebase_config.FIREBASE_PROJECT_ID
    if session.real:
        print(f"       real Firebase project {project}: no stand-ins, no routing", flush=True)
        await pooled_run(Demo(session, fb, env, project, None))
        return
    sys.path.insert(0, str(REPO / "standins"))
    from firebase_standins import ServicesThread, StandinConfig, routed

    config = StandinConfig.from_config_module(firebase_config, env)
    # Started and stopped from this thread, so that any event loop will do.
    with ServicesThread(config) as svc:
        print(f"       stand-ins for project {config.project_id} at {svc.base_url}", flush=True)
        with routed(fb, svc):
            await pooled_run(Demo(session, fb, env, project, svc))


def main(argv):
    parser = argparse.ArgumentParser(
        prog="demo/session.py", description="The demo session of tavrin.firebase.")
    parser.add_argument("--real", action="store_true",
                        help="run against the real project of the TAVRIN_* variables"
                             " (also TAVRIN_DEMO_REAL=1)")
    parser.add_argument("--loop", choices=("asyncio", "trio"), default="asyncio",
                        help="the event loop that runs the session (default asyncio)")
    parser.add_argument("extension", nargs="?", type=Path,
                        default=REPO / "build" / "release" / ("firebase" + EXT_SUFFIX))
    args = parser.parse_args(argv[1:])
    real = args.real or flag("TAVRIN_DEMO_REAL")
    if real:
        os.environ["TAVRIN_DEMO_REAL"] = "1"  # the demo configuration reads it
        missing = [v for v in REAL_REQUIRED if not os.environ.get(v)]
        if missing:
            print(f"[FAIL] configuration: --real needs {' and '.join(missing)}"
                  " (README: Against a real Firebase project)")
            return 2
    if not args.extension.is_file():
        print(f"[FAIL] load: no built extension at {args.extension} (run tools/build release)")
        return 1
    if args.loop == "trio":
        import trio
        session = trio.run(run, args.extension, real)
    else:
        session = asyncio.run(run(args.extension, real))
    counts = f"{session.passed} steps ok, {session.skipped} skipped"
    if session.failures:
        print(f"session FAILED: {session.failures} step(s) failed; {counts}", flush=True)
        return 1
    print(f"session passed: {counts}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
