"""Every function of tavrin.firebase called as the stub types it; checked
with mypy --strict (and never run): it must pass."""

from __future__ import annotations

import asyncio
from collections.abc import Coroutine
from typing import Any

import httpx

from tavrin import firebase

FIELDS = {"email": {"stringValue": "ada@example.com"}, "active": {"booleanValue": False}}


async def tour(id_token: str, refresh_token: str) -> None:
    signed_in: dict[str, Any] = await firebase.auth_sign_in("ada@example.com", "secret-1")
    signed_up: dict[str, Any] = await firebase.auth_sign_up(email="ada@example.com",
                                                            password="secret-1")
    token: str = signed_in["idToken"]
    await firebase.verify_email(token)
    await firebase.send_password_reset_email(signed_up["email"])
    user: dict[str, Any] = await firebase.get_auth_user_data(id_token=token)

    documents: str = firebase.get_firestore_base_url()
    functions: str = firebase.get_functions_base_url()
    created = await firebase.create_document("notes", None, FIELDS, token)
    await firebase.create_document("notes", "n1", data=FIELDS, id_token=token)
    document: dict[str, Any] = await firebase.get_document("notes/n1", token)
    await firebase.overwrite_document("notes/n1", FIELDS, token)
    await firebase.update_document("notes/n1", {"active": {"booleanValue": True}}, token)
    await firebase.delete_document(document_path="notes/n1", id_token=token)
    await firebase.register_new_user_in_firestore(user["localId"], "ada@example.com", token)

    expiry: int = firebase.get_token_expiry(id_token) - firebase.get_token_expiry(None)
    refreshed: dict[str, Any] = await firebase.refresh_id_token(refresh_token)
    await firebase.ensure_valid_token()

    reply: Any = await firebase.trigger_function("echo", {"amount": 3})
    await firebase.trigger_function("echo", [1, 2], True, {"X-Trace": "1"}, 5.0, False)
    await firebase.trigger_function(firebase_function="echo", payload=None, use_auth_token=True,
                                    additional_headers=[("X-Trace", "1")],
                                    timeout_seconds=None, encrypt=False)
    sealed: bytes = firebase._sealed_box_encrypt({"amount": 3})

    print(created, documents, functions, expiry, refreshed, reply, sealed)


def configuration() -> None:
    key: str = firebase.FIREBASE_API_KEY
    project: str = firebase.FIREBASE_PROJECT_ID
    region: str = firebase.FIREBASE_REGION
    header: str = firebase.AUTH_HEADER_NAME
    auth_key: bytes = firebase.ENCRYPTED_AUTH_KEY
    version: str = firebase.API_VERSION
    encrypted_header: str = firebase.ENCRYPTION_HEADER_NAME
    public_key: str | bytes = firebase.SEALED_BOX_SERVER_PUBLIC_KEY_B64
    print(key, project, region, header, auth_key, version, encrypted_header, public_key)


def imported_names() -> None:
    error: type[httpx.HTTPStatusError] = firebase.HTTPStatusError
    client: type[httpx.AsyncClient] = firebase.httpx.AsyncClient
    print(error, client, firebase.PublicKey, firebase.SealedBox, firebase.base64.b64encode,
          firebase.json.dumps, firebase.logging.error, firebase.datetime.now(firebase.timezone.utc),
          firebase.Dict, firebase.Optional)


def not_awaited() -> Coroutine[Any, Any, dict[str, Any]]:
    # A call returns a coroutine object; asyncio runs it.
    return firebase.get_document("notes/n1", "token")


def run() -> dict[str, Any]:
    return asyncio.run(firebase.get_auth_user_data("token"))
