# Type stub of the native extension module tavrin.firebase, installed beside
# it as tavrin/firebase.pyi. Fourteen functions are coroutine functions: a
# call checks only the number and names of its arguments and returns a
# coroutine object, whose await yields the service's decoded JSON reply.
# Arguments are never type-checked at run time; the parameter types below say
# what the services expect. Errors: TypeError at the call for a wrong
# argument list; httpx's errors (HTTPStatusError above all) from the await;
# nothing is retried.

import base64 as base64
import json as json
import logging as logging
from collections.abc import Iterable, Mapping
from datetime import datetime as datetime, timezone as timezone
from typing import Any, Dict as Dict, Optional as Optional

import httpx as httpx
from httpx import HTTPStatusError as HTTPStatusError
from nacl.public import PublicKey as PublicKey, SealedBox as SealedBox

# Configuration, copied from the application's tavrin.firebase_config and
# tavrin.env when the module loads, and read by name at every call.
FIREBASE_API_KEY: str
FIREBASE_PROJECT_ID: str
FIREBASE_REGION: str
AUTH_HEADER_NAME: str
ENCRYPTED_AUTH_KEY: bytes
API_VERSION: str
ENCRYPTION_HEADER_NAME: str
SEALED_BOX_SERVER_PUBLIC_KEY_B64: str | bytes

# A Firestore document's fields in the service's typed-value form, e.g.
# {"email": {"stringValue": "a@b.c"}, "active": {"booleanValue": False}}.
_Fields = Mapping[str, Any]

# Sealed-box encryption of a JSON-serialisable payload to the server's
# public key: base64 text as bytes. Raises Exception("Failed to encrypt
# request payload: ...") on any failure.
def _sealed_box_encrypt(payload: Any) -> bytes: ...

# Identity Toolkit: the service's reply, unchanged.
async def auth_sign_in(email: str, password: str) -> dict[str, Any]: ...
async def auth_sign_up(email: str, password: str) -> dict[str, Any]: ...
async def verify_email(id_token: str) -> dict[str, Any]: ...
async def send_password_reset_email(email: str) -> dict[str, Any]: ...
# The first element of the reply's "users"; ValueError when there is none.
async def get_auth_user_data(id_token: str) -> dict[str, Any]: ...

# Base addresses: https://firestore.googleapis.com/v1/projects/PROJECT/databases/(default)/documents
# and https://REGION-PROJECT.cloudfunctions.net.
def get_firestore_base_url() -> str: ...
def get_functions_base_url() -> str: ...

# Firestore documents; document_path is "collection/document_id".
# document_id None (or empty) lets the service choose the identifier.
async def create_document(
    collection: str, document_id: str | None, data: _Fields, id_token: str
) -> dict[str, Any]: ...
async def get_document(document_path: str, id_token: str) -> dict[str, Any]: ...
async def overwrite_document(
    document_path: str, data: _Fields, id_token: str
) -> dict[str, Any]: ...
async def update_document(document_path: str, data: _Fields, id_token: str) -> dict[str, Any]: ...
async def delete_document(document_path: str, id_token: str) -> dict[str, Any]: ...
# Writes users/USER_ID and billing/USER_ID; when both exist, raises
# Exception("User already exists in Firestore."); when only the user document
# exists, writes billing/USER_ID alone. A falsy user_id raises ValueError.
async def register_new_user_in_firestore(user_id: str, email: str, id_token: str) -> None: ...

# The token's "exp" claim, or 0 when it cannot be read; never raises.
def get_token_expiry(token: str | None) -> int: ...
# The secure-token service's reply: "id_token", "refresh_token", ...
async def refresh_id_token(refresh_token: str) -> dict[str, Any]: ...
# Refreshes the application's tokens when fewer than 300 seconds are left;
# on failure shows a red message and clears the login. Never raises for that.
async def ensure_valid_token() -> None: ...

# Calls the HTTPS function API_VERSION_NAME; returns its decoded JSON reply.
async def trigger_function(
    firebase_function: str,
    payload: Any,
    use_auth_token: bool = False,
    additional_headers: Mapping[str, str] | Iterable[tuple[str, str]] | None = None,
    timeout_seconds: float | None = 30.0,
    encrypt: bool = True,
) -> Any: ...
