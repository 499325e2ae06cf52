"""The example application's tests: the module's requests go to the local
stand-ins (firebase_standins) or, for accounts and tokens, to the official
Firebase Auth emulator (firebase_auth_emulator); without these fixtures they
go nowhere (the plugin's guard fails the test)."""

import asyncio
import time

from tavrin import accounts, firebase


def test_an_account_at_the_stand_ins(firebase_standins, app):
    uid = asyncio.run(accounts.onboard("Ada@Example.com", "secret-1"))
    assert app.user_id == uid and app.firebase_id_token and app.firebase_refresh_token
    (mail,) = firebase_standins.outbox.mails()
    assert (mail.kind, mail.email, mail.local_id) == ("VERIFY_EMAIL", "ada@example.com", uid)
    user = firebase_standins.documents.fields(f"users/{uid}")
    assert (user["email"], user["active"]) == ({"stringValue": "ada@example.com"},
                                               {"booleanValue": False})
    assert firebase_standins.documents.fields(f"billing/{uid}")["balance"] == {"doubleValue": 0.0}
    assert asyncio.run(accounts.read_note()) is None
    asyncio.run(accounts.save_note("hello"))
    assert asyncio.run(accounts.read_note()) == "hello"
    assert "timestampValue" in firebase_standins.documents.fields(f"notes/{uid}")["saved"]
    reply = asyncio.run(accounts.echo({"amount": 3}))
    assert reply == {"echo": {"amount": 3}, "encrypted": True, "uid": uid}
    (call,) = firebase_standins.functions.calls
    assert call.headers["x-example-auth"] == "example-auth-key"
    # A login about to expire is refreshed.
    app.firebase_id_token = firebase_standins.make_id_token(uid, exp=time.time() + 60)
    assert asyncio.run(accounts.email_verified()) is False
    assert firebase.get_token_expiry(app.firebase_id_token) > time.time() + 3000
    assert asyncio.run(accounts.sign_in("ada@example.com", "wrong")) is False
    assert asyncio.run(accounts.sign_in("ada@example.com", "secret-1")) is True


def test_accounts_at_the_auth_emulator(firebase_auth_emulator, app):
    uid = asyncio.run(accounts.sign_up("ada@example.com", "secret-1"))
    assert [(c["email"], c["requestType"]) for c in firebase_auth_emulator.oob_codes()] == [
        ("ada@example.com", "VERIFY_EMAIL")]
    assert asyncio.run(accounts.sign_in("ada@example.com", "wrong")) is False
    assert asyncio.run(accounts.sign_in("ada@example.com", "secret-1")) is True
    # A login about to expire is refreshed at the emulator.
    app.firebase_id_token = firebase_auth_emulator.with_expiry(app.firebase_id_token,
                                                               time.time() + 60)
    assert asyncio.run(accounts.email_verified()) is False
    assert app.user_id == uid
    assert firebase.get_token_expiry(app.firebase_id_token) > time.time() + 3000

