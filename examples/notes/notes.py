"""A notes application on tavrin.firebase: an account, a login kept valid,
one note per user in Firestore, and a sealed call of an HTTPS function."""
from datetime import UTC, datetime
from typing import Any

from tavrin import firebase, firebase_pool, firestore_values
from tavrin.env import get_app


async def sign_up(email: str, password: str) -> str:
    """Creates the account and asks for the verification e-mail."""
    reply = await firebase.auth_sign_up(email, password)
    await firebase.verify_email(reply["idToken"])
    return str(reply["localId"])


async def log_in(email: str, password: str) -> None:
    """Keeps the login on the application object, where the module renews it."""
    reply = await firebase.auth_sign_in(email, password)
    app = get_app()
    app.firebase_id_token = reply["idToken"]
    app.firebase_refresh_token = reply["refreshToken"]
    app.user_id = reply["localId"]


async def id_token() -> str:
    """The ID token, renewed first when it expires within five minutes."""
    await firebase.ensure_valid_token()
    token = get_app().firebase_id_token
    if token is None:  # never logged in, or the renewal failed (the user was told)
        raise PermissionError("not logged in")
    return token


async def save_note(text: str) -> None:
    fields = firestore_values.to_fields({"text": text, "saved": datetime.now(UTC)})
    await firebase.overwrite_document(f"notes/{get_app().user_id}", fields, await id_token())


async def read_note() -> str:
    document = await firebase.get_document(f"notes/{get_app().user_id}", await id_token())
    return str(firestore_values.from_document(document)["text"])


async def echo(payload: dict[str, Any]) -> Any:
    """Calls the HTTPS function v1_echo as the user, the payload sealed."""
    return await firebase.trigger_function("echo", payload, use_auth_token=True)


async def main(email: str, password: str) -> None:
    async with firebase_pool.pooled():  # the calls below share one client and its connections
        await sign_up(email, password)
        await log_in(email, password)
        await save_note("buy milk")
        print("note:", await read_note())
        print("echo:", await echo({"note": "buy milk"}))
