import asyncio
import time

import pytest

import notes


def test_a_note_and_a_sealed_call_under_a_login_kept_valid(firebase_standins, app):
    uid = asyncio.run(notes.sign_up("ada@example.com", "secret-1"))
    assert [mail.kind for mail in firebase_standins.outbox.mails()] == ["VERIFY_EMAIL"]
    asyncio.run(notes.log_in("ada@example.com", "secret-1"))
    app.firebase_id_token = expiring = firebase_standins.make_id_token(uid, exp=time.time() + 60)
    asyncio.run(notes.save_note("buy milk"))  # renews the login first
    assert app.firebase_id_token != expiring and app.user_id == uid
    assert firebase_standins.documents.fields(f"notes/{uid}")["text"] == {"stringValue": "buy milk"}
    assert asyncio.run(notes.read_note()) == "buy milk"
    assert asyncio.run(notes.echo({"note": "buy milk"})) == {
        "echo": {"note": "buy milk"}, "encrypted": True, "uid": uid}


def test_a_login_that_cannot_be_renewed_ends(firebase_standins, app):
    uid = asyncio.run(notes.sign_up("ada@example.com", "secret-1"))
    asyncio.run(notes.log_in("ada@example.com", "secret-1"))
    firebase_standins.revoke_refresh_token(app.firebase_refresh_token)
    app.firebase_id_token = firebase_standins.make_id_token(uid, exp=time.time() + 60)
    with pytest.raises(PermissionError):
        asyncio.run(notes.read_note())
