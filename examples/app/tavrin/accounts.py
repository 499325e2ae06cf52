"""What the example application does with tavrin.firebase: accounts, the
login, a note per user and one HTTPS function."""

from __future__ import annotations

import datetime as dt
from typing import Any

import httpx

from . import firebase, firestore_values
from .env import get_app
from .firebase_pool import pooled


def _log_in(reply: dict[str, Any]) -> str:
    app = get_app()
    app.firebase_id_token = reply["idToken"]
    app.firebase_refresh_token = reply["refreshToken"]
    uid: str = reply["localId"]
    app.user_id = uid
    return uid


def _token() -> str:
    token = get_app().firebase_id_token
    if not token:
        raise PermissionError("not logged in")
    return token


async def sign_up(email: str, password: str) -> str:
    """Creates the account, logs it in and asks for the verification
    e-mail; returns the account's id."""
    uid = _log_in(await firebase.auth_sign_up(email, password))
    await firebase.verify_email(_token())
    return uid


async def sign_in(email: str, password: str) -> bool:
    """Logs in; False when the service refuses the address or password."""
    try:
        reply = await firebase.auth_sign_in(email, password)
    except httpx.HTTPStatusError as refused:
        if refused.response.status_code == 400:
            return False
        raise
    _log_in(reply)
    return True


async def register() -> None:
    """Writes the logged-in user's users/ and billing/ records."""
    app = get_app()
    if app.user_id is None:
        raise PermissionError("not logged in")
    profile = await firebase.get_auth_user_data(_token())
    await firebase.register_new_user_in_firestore(app.user_id, profile["email"], _token())


async def onboard(email: str, password: str) -> str:
    """Signs up and registers the user: seven calls that share one client
    and its connection (tavrin.firebase_pool) instead of opening one each."""
    async with pooled():
        uid = await sign_up(email, password)
        await register()
    return uid


async def email_verified() -> bool:
    """Whether the logged-in user has confirmed the address (the login is
    refreshed first when it is about to expire)."""
    await firebase.ensure_valid_token()
    profile = await firebase.get_auth_user_data(_token())
    return bool(profile.get("emailVerified"))


async def save_note(text: str) -> None:
    """Writes the user's note: its text and when it was saved."""
    fields = firestore_values.to_fields({"text": text, "saved": dt.datetime.now(dt.UTC)})
    await firebase.overwrite_document(f"notes/{get_app().user_id}", fields, _token())


async def read_note() -> str | None:
    """The user's note, or None when there is none."""
    try:
        document = await firebase.get_document(f"notes/{get_app().user_id}", _token())
    except httpx.HTTPStatusError as failed:
        if failed.response.status_code == 404:
            return None
        raise
    text: str = firestore_values.from_document(document)["text"]
    return text


async def echo(payload: dict[str, Any]) -> Any:
    """Calls the HTTPS function v1_echo as the logged-in user, sealed."""
    return await firebase.trigger_function("echo", payload, use_auth_token=True)
