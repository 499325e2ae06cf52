"""Stand-in of Firebase Identity Toolkit (identitytoolkit.googleapis.com):
password sign-up and sign-in, with the production reply and error shapes."""

from __future__ import annotations

import json
import re

from .accounts import EmailExists
from .wire import Request, Response, Service, ServiceError, json_response

HOST = "identitytoolkit.googleapis.com"

API_KEY_INVALID = "API key not valid. Please pass a valid API key."
UNREGISTERED_CALLER = (
    "Method doesn't allow unregistered callers (callers without established identity)."
    " Please use API Key or other form of API consumer identity to call this API.")

_EMAIL = re.compile(r"[^@\s]+@[^@\s]+\.[^@\s]+")

# Members that each request message knows; any other is refused the way the
# production JSON parser refuses it.
_SIGN_UP_FIELDS = {
    "email": str, "password": str, "displayName": str, "photoUrl": str,
    "emailVerified": bool, "disabled": bool, "localId": str, "phoneNumber": str,
    "idToken": str, "tenantId": str, "targetProjectId": str, "instanceId": str,
    "captchaChallenge": str, "captchaResponse": str, "clientType": str,
    "recaptchaVersion": str, "returnSecureToken": bool,
}
_SIGN_IN_FIELDS = {
    "email": str, "password": str, "pendingIdToken": str, "idToken": str,
    "tenantId": str, "instanceId": str, "delegatedProjectNumber": str,
    "captchaChallenge": str, "captchaResponse": str, "clientType": str,
    "recaptchaVersion": str, "returnSecureToken": bool,
}
_TYPE_NAMES = {str: "TYPE_STRING", bool: "TYPE_BOOL"}


def auth_error(message: str) -> ServiceError:
    """An identity-service error: 400 with the code text as the message."""
    return ServiceError(400, message)


def bad_payload(detail: str) -> ServiceError:
    return ServiceError(400, "Invalid JSON payload received. " + detail,
                        status="INVALID_ARGUMENT")


def parse_body(request: Request, fields: dict[str, type]) -> dict:
    try:
        body = request.json()
    except ValueError:
        raise bad_payload("Unexpected token.") from None
    if not isinstance(body, dict):
        raise bad_payload("Root element must be a message.")
    for name, value in body.items():
        kind = fields.get(name)
        if kind is None:
            raise bad_payload(f'Unknown name "{name}": Cannot find field.')
        if value is not None and type(value) is not kind:
            raise bad_payload(f"Invalid value at '{name}' ({_TYPE_NAMES[kind]}), "
                              + json.dumps(value))
    return body


class IdentityToolkit(Service):
    hosts = (HOST,)
    routes = {
        ("POST", "/v1/accounts:signUp"): "sign_up",
        ("POST", "/v1/accounts:signInWithPassword"): "sign_in_with_password",
    }

    def handle(self, request: Request) -> Response:
        self.check_api_key(request)
        return super().handle(request)

    def check_api_key(self, request: Request) -> None:
        key = request.param("key")
        if key is None:
            raise ServiceError(403, UNREGISTERED_CALLER, reason="forbidden",
                               status="PERMISSION_DENIED")
        if key != self.config.api_key:
            raise ServiceError(400, API_KEY_INVALID, reason="badRequest",
                               status="INVALID_ARGUMENT", details=[
                                   {"@type": "type.googleapis.com/google.rpc.ErrorInfo",
                                    "reason": "API_KEY_INVALID",
                                    "domain": "googleapis.com",
                                    "metadata": {"service": HOST}},
                                   {"@type": "type.googleapis.com/google.rpc.LocalizedMessage",
                                    "locale": "en-US",
                                    "message": API_KEY_INVALID},
                               ])

    def sign_up(self, request: Request) -> Response:
        body = parse_body(request, _SIGN_UP_FIELDS)
        email = body.get("email") or None
        password = body.get("password") or None
        accounts = self.services.accounts
        if email is not None:
            if not _EMAIL.fullmatch(email):
                raise auth_error("INVALID_EMAIL")
            if password is None:
                raise auth_error("MISSING_PASSWORD")
        elif password is not None:
            raise auth_error("MISSING_EMAIL")
        if password is not None and len(password) < 6:
            raise auth_error("WEAK_PASSWORD : Password should be at least 6 characters")
        try:
            account = accounts.create(email, password)
        except EmailExists:
            raise auth_error("EMAIL_EXISTS") from None
        if body.get("displayName"):
            account.display_name = body["displayName"]
        reply: dict = {"kind": "identitytoolkit#SignupNewUserResponse",
                       "idToken": accounts.issue_id_token(account)}
        if account.email is not None:
            reply["email"] = account.email
        if body.get("returnSecureToken"):
            reply["refreshToken"] = accounts.issue_refresh_token(account)
            reply["expiresIn"] = str(self.config.token_lifetime)
        reply["localId"] = account.local_id
        return json_response(reply)

    def sign_in_with_password(self, request: Request) -> Response:
        body = parse_body(request, _SIGN_IN_FIELDS)
        email = body.get("email")
        password = body.get("password")
        if not email or not _EMAIL.fullmatch(email):
            raise auth_error("INVALID_EMAIL")
        if not password:
            raise auth_error("MISSING_PASSWORD")
        accounts = self.services.accounts
        account = accounts.by_email(email)
        if account is None:
            raise auth_error("EMAIL_NOT_FOUND")
        if account.password != password:
            raise auth_error("INVALID_PASSWORD")
        if account.disabled:
            raise auth_error("USER_DISABLED")
        account.last_login_at = int(self.services.now() * 1000)
        reply: dict = {
            "kind": "identitytoolkit#VerifyPasswordResponse",
            "localId": account.local_id,
            "email": account.email,
            "displayName": account.display_name,
            "idToken": accounts.issue_id_token(account),
            "registered": True,
        }
        if body.get("returnSecureToken"):
            reply["refreshToken"] = accounts.issue_refresh_token(account)
            reply["expiresIn"] = str(self.config.token_lifetime)
        return json_response(reply)
