"""A pure-Python rendering of tavrin.firebase, for the benchmark only.

Every function does what the native module's function of the same name does,
written as the ordinary Python source it mirrors: `async def` coroutines, the
REST exchange as `async with httpx.AsyncClient() as client`, the same bodies,
addresses and keyword arguments, and every name (imports, configuration,
the module's own functions) read from this module's globals at the moment
of use. bench/run.py copies this file into the temporary application package
beside the native module, as tavrin/baseline.py, so that its relative imports
of `env` and `firebase_config` are the very modules the native module reads.
"""
import base64
import json
import logging
from datetime import datetime, timezone
from typing import Dict, Optional

import httpx
from httpx import HTTPStatusError
from nacl.public import PublicKey, SealedBox

from .env import (
    AUTH_HEADER_NAME,
    ENCRYPTED_AUTH_KEY,
    API_VERSION,
    ENCRYPTION_HEADER_NAME,
    SEALED_BOX_SERVER_PUBLIC_KEY_B64,
)

from .firebase_config import FIREBASE_API_KEY, FIREBASE_PROJECT_ID, FIREBASE_REGION


def _sealed_box_encrypt(payload):
    """Encrypts the entire payload dict using the server's public key via a sealed box."""
    try:
        plaintext = json.dumps(payload, separators=(",", ":")).encode("utf-8")
        server_pk_bytes = base64.b64decode(SEALED_BOX_SERVER_PUBLIC_KEY_B64)
        if len(server_pk_bytes) != 32:
            raise ValueError("Invalid server public key length; expected 32 bytes")
        server_pk = PublicKey(server_pk_bytes)
        sealed_box = SealedBox(server_pk)
        ciphertext = sealed_box.encrypt(plaintext)
        return base64.b64encode(ciphertext)
    except Exception as e:
        raise Exception(f"Failed to encrypt request payload: {e}")


async def auth_sign_in(email, password):
    """Authenticates a user using Firebase email/password authentication."""
    payload = {
        "email": email,
        "password": password,
        "returnSecureToken": True,
    }
    signin_endpoint = f"https://identitytoolkit.googleapis.com/v1/accounts:signInWithPassword?key={FIREBASE_API_KEY}"
    async with httpx.AsyncClient() as client:
        response = await client.post(signin_endpoint, json=payload)
        response.raise_for_status()
        return response.json()


async def auth_sign_up(email, password):
    """Registers a new user using Firebase's signUp endpoint."""
    payload = {
        "email": email,
        "password": password,
        "returnSecureToken": True,
    }
    signup_endpoint = f"https://identitytoolkit.googleapis.com/v1/accounts:signUp?key={FIREBASE_API_KEY}"
    async with httpx.AsyncClient() as client:
        response = await client.post(signup_endpoint, json=payload)
        response.raise_for_status()
        return response.json()


async def verify_email(id_token):
    """Sends a verification email for the currently authenticated user."""
    payload = {
        "requestType": "VERIFY_EMAIL",
        "idToken": id_token,
    }
    verify_endpoint = f"https://identitytoolkit.googleapis.com/v1/accounts:sendOobCode?key={FIREBASE_API_KEY}"
    async with httpx.AsyncClient() as client:
        response = await client.post(verify_endpoint, json=payload)
        response.raise_for_status()
        return response.json()


async def send_password_reset_email(email):
    """Sends a password reset email using Firebase's sendOobCode endpoint."""
    payload = {
        "requestType": "PASSWORD_RESET",
        "email": email,
    }
    reset_endpoint = f"https://identitytoolkit.googleapis.com/v1/accounts:sendOobCode?key={FIREBASE_API_KEY}"
    async with httpx.AsyncClient() as client:
        response = await client.post(reset_endpoint, json=payload)
        response.raise_for_status()
        return response.json()


async def get_auth_user_data(id_token):
    """Retrieves a user's data from Firebase using the provided ID token."""
    payload = {"idToken": id_token}
    lookup_endpoint = f"https://identitytoolkit.googleapis.com/v1/accounts:lookup?key={FIREBASE_API_KEY}"
    async with httpx.AsyncClient() as client:
        response = await client.post(lookup_endpoint, json=payload)
        response.raise_for_status()
        data = response.json()
        users = data.get("users")
        if not users or len(users) == 0:
            raise ValueError("No user data found for the provided idToken.")
        return users[0]


def get_firestore_base_url():
    """Returns the base URL for Firestore REST API calls."""
    return f"https://firestore.googleapis.com/v1/projects/{FIREBASE_PROJECT_ID}/databases/(default)/documents"


def get_functions_base_url():
    """Returns the base URL for Cloud Functions REST API calls."""
    return f"https://{FIREBASE_REGION}-{FIREBASE_PROJECT_ID}.cloudfunctions.net"


async def create_document(collection, document_id, data, id_token):
    """Creates a new document in the specified Firestore collection."""
    if document_id:
        url = f"{get_firestore_base_url()}/{collection}?documentId={document_id}"
    else:
        url = f"{get_firestore_base_url()}/{collection}"
    headers = {"Authorization": f"Bearer {id_token}"}
    payload = {"fields": data}
    async with httpx.AsyncClient() as client:
        response = await client.post(url, headers=headers, json=payload)
        response.raise_for_status()
        return response.json()


async def get_document(document_path, id_token):
    """Retrieves a document from Firestore."""
    url = f"{get_firestore_base_url()}/{document_path}"
    headers = {"Authorization": f"Bearer {id_token}"}
    async with httpx.AsyncClient() as client:
        response = await client.get(url, headers=headers)
        response.raise_for_status()
        return response.json()


async def overwrite_document(document_path, data, id_token):
    """Overwrites an existing Firestore document at the given document_path with new data."""
    url = f"{get_firestore_base_url()}/{document_path}"
    headers = {"Authorization": f"Bearer {id_token}"}
    payload = {"fields": data}
    async with httpx.AsyncClient() as client:
        response = await client.put(url, headers=headers, json=payload)
        response.raise_for_status()
        return response.json()


async def update_document(document_path, data, id_token):
    """Updates specified fields in an existing Firestore document."""
    fields_to_update = list(data.keys())
    update_mask = "&".join([f"updateMask.fieldPaths={field}" for field in fields_to_update])
    url = f"{get_firestore_base_url()}/{document_path}?{update_mask}"
    headers = {"Authorization": f"Bearer {id_token}"}
    payload = {"fields": data}
    async with httpx.AsyncClient() as client:
        response = await client.patch(url, headers=headers, json=payload)
        response.raise_for_status()
        return response.json()


async def delete_document(document_path, id_token):
    """Deletes the Firestore document at the specified document_path."""
    url = f"{get_firestore_base_url()}/{document_path}"
    headers = {"Authorization": f"Bearer {id_token}"}
    async with httpx.AsyncClient() as client:
        response = await client.delete(url, headers=headers)
        response.raise_for_status()
        return response.json()


async def register_new_user_in_firestore(user_id, email, id_token):
    """Registers a new user in Firestore under the 'users' collection."""
    user_doc_path = f"users/{user_id}"
    try:
        await get_document(user_doc_path, id_token)
        raise Exception("User already exists in Firestore.")
    except HTTPStatusError as e:
        if e.response.status_code != 404:
            raise
    data = {
        "email": {"stringValue": email},
        "user_id": {"stringValue": user_id},
        "created_at": {"timestampValue": datetime.now(timezone.utc).isoformat(
            "T", "milliseconds").replace("+00:00", "Z")},
        "active": {"booleanValue": False},
    }
    await create_document("users", user_id, data, id_token)
    data = {
        "user_id": {"stringValue": user_id},
        "email": {"stringValue": email},
        "balance": {"doubleValue": 0.0},
    }
    await create_document("billing", user_id, data, id_token)


def get_token_expiry(token):
    """Decodes the JWT token to extract its expiration timestamp (exp claim)."""
    try:
        parts = token.split(".")
        if len(parts) != 3:
            raise ValueError("Invalid token format")
        payload_b64 = parts[1]
        padding = len(payload_b64) % 4
        if padding:
            payload_b64 += "=" * (4 - padding)
        decoded = base64.urlsafe_b64decode(payload_b64)
        payload = json.loads(decoded.decode("utf-8"))
        return int(payload.get("exp", 0))
    except Exception:
        return 0


async def refresh_id_token(refresh_token):
    """Refresh the Firebase ID token using the provided refresh token."""
    refresh_endpoint = f"https://securetoken.googleapis.com/v1/token?key={FIREBASE_API_KEY}"
    payload = {
        "grant_type": "refresh_token",
        "refresh_token": refresh_token,
    }
    async with httpx.AsyncClient() as client:
        response = await client.post(refresh_endpoint, data=payload)
        response.raise_for_status()
        return response.json()


async def ensure_valid_token():
    """Ensures that the current Firebase ID token is valid."""
    import time

    from .env import get_app

    app = get_app()

    if not app.firebase_id_token or not app.firebase_refresh_token:
        return

    try:
        expiry = get_token_expiry(app.firebase_id_token)
        current_time = int(time.time())

        if expiry - current_time < 300:
            try:
                refresh_response = await refresh_id_token(app.firebase_refresh_token)

                app.firebase_id_token = refresh_response.get("id_token")
                app.firebase_refresh_token = refresh_response.get("refresh_token")
            except Exception as e:
                app.print(f"\nToken refresh failed: {e}. Please log in again.", style="red")
                app.firebase_id_token = None
                app.user_id = None
                app.firebase_refresh_token = None
    except Exception as e:
        logging.error(f"Error checking token expiry: {e}. Assuming token is invalid.")
        app.print("\nError validating session. Please log in again.", style="red")
        app.firebase_id_token = None
        app.user_id = None
        app.firebase_refresh_token = None


async def trigger_function(
    firebase_function,
    payload,
    use_auth_token=False,
    additional_headers: Optional[Dict[str, str]] = None,
    timeout_seconds: float = 30.0,
    encrypt: bool = True,
):
    """Triggers a Firebase Cloud Function by making a POST request."""
    from .env import get_app
    app = get_app()

    headers = {AUTH_HEADER_NAME: ENCRYPTED_AUTH_KEY.decode("utf-8")}

    if use_auth_token:
        if not app.firebase_id_token:
            raise Exception("Authentication token requested but not available.")
        await ensure_valid_token()
        headers["Authorization"] = f"Bearer {app.firebase_id_token}"

    firebase_function_url = f"{get_functions_base_url()}/{API_VERSION}_{firebase_function}"

    if additional_headers:
        headers.update(additional_headers)

    async with httpx.AsyncClient() as client:
        if encrypt:
            # The body is the sealed box of the compact JSON payload, base64.
            headers[ENCRYPTION_HEADER_NAME] = "true"
            ciphertext_b64 = _sealed_box_encrypt(payload)
            response = await client.post(
                firebase_function_url,
                headers=headers,
                content=ciphertext_b64,
                timeout=timeout_seconds,
            )
        else:
            response = await client.post(
                firebase_function_url,
                headers=headers,
                json=payload,
                timeout=timeout_seconds,
            )

        response.raise_for_status()
        return response.json()
