import asyncio
import time

import httpx
import pytest

import notes
from tavrin import firebase


def test_a_note_written_and_read_back(firebase_standins, app):
    uid = asyncio.run(notes.sign_up("ada@example.com", "secret-1"))
    assert [m.kind for m in firebase_standins.outbox.mails(email="ada@example.com")] == [
        "VERIFY_EMAIL"]
    asyncio.run(notes.log_in("ada@example.com", "secret-1"))
    asyncio.run(notes.save_note("buy milk"))
    assert firebase_standins.documents.fields(f"notes/{uid}") == {
        "text": {"stringValue": "buy milk"}}
    assert asyncio.run(notes.read_note()) == "buy milk"
    reply = asyncio.run(notes.echo({"note": "buy milk"}))
    assert reply == {"echo": {"note": "buy milk"}, "encrypted": True, "uid": uid}


def test_a_login_about_to_expire_is_renewed_and_a_revoked_one_ends(firebase_standins, app):
    asyncio.run(notes.sign_up("ada@example.com", "secret-1"))
    asyncio.run(notes.log_in("ada@example.com", "secret-1"))
    app.firebase_id_token = firebase_standins.make_id_token(app.user_id, exp=time.time() + 60)
    asyncio.run(notes.save_note("renewed"))
    assert firebase.get_token_expiry(app.firebase_id_token) > time.time() + 3000
    firebase_standins.revoke_refresh_token(app.firebase_refresh_token)
    app.firebase_id_token = firebase_standins.make_id_token(app.user_id, exp=time.time() + 60)
    with pytest.raises(PermissionError):
        asyncio.run(notes.read_note())
    assert app.user_id is None


def test_a_wrong_password_is_refused(firebase_standins):
    asyncio.run(notes.sign_up("ada@example.com", "secret-1"))
    with pytest.raises(httpx.HTTPStatusError) as refused:
        asyncio.run(notes.log_in("ada@example.com", "wrong"))
    assert refused.value.response.json()["error"]["message"] == "INVALID_PASSWORD"
