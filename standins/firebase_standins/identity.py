"""Stand-in of Firebase Identity Toolkit (identitytoolkit.googleapis.com):
password sign-up and sign-in, the verification, password-reset and sign-in
e-mails (accounts:sendOobCode, recorded in the outbox instead of being sent)
and account lookup. Replies, error codes and the checks of the request body
follow the official Firebase Auth emulator (firebase-tools), which
tests/test_emulator.py compares them with."""

from __future__ import annotations

import json
import re

from . import jwt
from .accounts import Account, EmailExists, TokenExpired
from .wire import (Request, Response, Service, ServiceError, check_api_key,
                   json_response, rfc3339)

HOST = "identitytoolkit.googleapis.com"

# What the Auth emulator takes for an e-mail address.
_EMAIL = re.compile(r"[^@]+@[^@]+")

# Members that each request message knows, with their JSON types. Members not
# listed are ignored; a listed one of another type is refused, except that a
# number stands for its text in a string member.
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
_OOB_FIELDS = {
    "requestType": str, "email": str, "oldEmail": str, "newEmail": str, "idToken": str,
    "challenge": str, "captchaResp": str, "userIp": str, "continueUrl": str,
    "iOSBundleId": str, "iOSAppStoreId": str, "androidPackageName": str,
    "androidInstallApp": bool, "androidMinimumVersion": str, "canHandleCodeInApp": bool,
    "tenantId": str, "targetProjectId": str, "dynamicLinkDomain": str,
    "returnOobLink": bool, "clientType": str, "recaptchaVersion": str, "linkDomain": str,
}
_OOB_TYPES = ("OOB_REQ_TYPE_UNSPECIFIED", "PASSWORD_RESET", "OLD_EMAIL_AGREE",
              "NEW_EMAIL_ACCEPT", "VERIFY_EMAIL", "RECOVER_EMAIL", "EMAIL_SIGNIN",
              "VERIFY_AND_CHANGE_EMAIL", "REVERT_SECOND_FACTOR_ADDITION")
_LOOKUP_FIELDS = {
    "idToken": str, "localId": list, "email": list, "phoneNumber": list,
    "federatedUserId": list, "initialEmail": list, "delegatedProjectNumber": str,
    "tenantId": str, "targetProjectId": str,
}
_TYPE_NAMES = {str: "string", bool: "boolean", list: "array"}
# What the identity service writes for the hash of a password to a caller
# that may not see it: base64 of "REDACTED".
_REDACTED_HASH = "UkVEQUNURUQ="


def auth_error(message: str) -> ServiceError:
    """An identity-service error: 400 with the code text as the message."""
    return ServiceError(400, message)


def bad_payload(detail: str, reason: str = "invalid") -> ServiceError:
    return ServiceError(400, "Invalid JSON payload received. " + detail,
                        status="INVALID_ARGUMENT", reason=reason)


def parse_body(request: Request, fields: dict[str, type]) -> dict:
    """The request body as the emulator's schema check leaves it: a JSON
    object, numbers in string members turned into their text."""
    try:
        body = request.json()
    except ValueError:
        raise bad_payload("Unexpected token.", reason="parseError") from None
    if not isinstance(body, dict):
        # An empty path before the message, as the emulator writes it.
        raise bad_payload(" must be object")
    for name, value in list(body.items()):
        kind = fields.get(name)
        if kind is None or type(value) is kind:
            continue
        if kind is str and type(value) in (int, float):
            body[name] = json.dumps(value)
            continue
        raise bad_payload(f"/{name} must be {_TYPE_NAMES[kind]}")
    return body


class IdentityToolkit(Service):
    hosts = (HOST,)
    routes = {
        ("POST", "/v1/accounts:signUp"): "sign_up",
        ("POST", "/v1/accounts:signInWithPassword"): "sign_in_with_password",
        ("POST", "/v1/accounts:sendOobCode"): "send_oob_code",
        ("POST", "/v1/accounts:lookup"): "lookup",
    }

    def handle(self, request: Request) -> Response:
        check_api_key(request, self.config.api_key, HOST)
        return super().handle(request)

    def account_for_id_token(self, token) -> Account:
        """The account an ID token of these stand-ins names; TOKEN_EXPIRED
        for one past its expiry, INVALID_ID_TOKEN for anything else that is
        not a good token of this project, USER_NOT_FOUND for a deleted
        account, USER_DISABLED for a disabled one."""
        if not token:
            raise auth_error("INVALID_ID_TOKEN")
        try:
            claims = self.services.accounts.verify_id_token(token)
        except TokenExpired:
            raise auth_error("TOKEN_EXPIRED") from None
        except jwt.InvalidToken:
            raise auth_error("INVALID_ID_TOKEN") from None
        account = self.services.accounts.by_id(claims["user_id"])
        if account is None:
            raise auth_error("USER_NOT_FOUND")
        if account.disabled:
            raise auth_error("USER_DISABLED")
        return account

    def tokens(self, account: Account) -> dict:
        """The members that every sign-in reply ends with: a fresh ID token,
        a new refresh token and the ID token's lifetime in seconds (whether
        or not the request asked for returnSecureToken)."""
        accounts = self.services.accounts
        return {"idToken": accounts.issue_id_token(account),
                "refreshToken": accounts.issue_refresh_token(account),
                "expiresIn": str(self.config.token_lifetime)}

    def sign_up(self, request: Request) -> Response:
        body = parse_body(request, _SIGN_UP_FIELDS)
        email = body.get("email")
        password = body.get("password")
        if email or password:
            if not email:
                raise auth_error("MISSING_EMAIL")
            if not password:
                raise auth_error("MISSING_PASSWORD")
        else:
            email = password = None  # an anonymous account
        if email is not None and not _EMAIL.fullmatch(email):
            raise auth_error("INVALID_EMAIL")
        accounts = self.services.accounts
        if email is not None and accounts.by_email(email) is not None:
            raise auth_error("EMAIL_EXISTS")
        if password is not None and len(password) < 6:
            raise auth_error("WEAK_PASSWORD : Password should be at least 6 characters")
        try:
            account = accounts.create(email, password)
        except EmailExists:
            raise auth_error("EMAIL_EXISTS") from None
        if body.get("displayName"):
            account.display_name = body["displayName"]
        reply: dict = {"kind": "identitytoolkit#SignupNewUserResponse"}
        tokens = self.tokens(account)
        reply["idToken"] = tokens.pop("idToken")
        if account.display_name:
            reply["displayName"] = account.display_name
        if account.email is not None:
            reply["email"] = account.email
        reply.update(tokens)
        reply["localId"] = account.local_id
        return json_response(reply)

    def sign_in_with_password(self, request: Request) -> Response:
        body = parse_body(request, _SIGN_IN_FIELDS)
        email = body.get("email")
        password = body.get("password")
        if email is None:
            raise auth_error("MISSING_EMAIL")
        if not _EMAIL.fullmatch(email):
            raise auth_error("INVALID_EMAIL")
        if not password:
            raise auth_error("MISSING_PASSWORD")
        account = self.services.accounts.by_email(email)
        if account is None:
            raise auth_error("EMAIL_NOT_FOUND")
        if account.disabled:
            raise auth_error("USER_DISABLED")
        if account.password is None or account.password != password:
            raise auth_error("INVALID_PASSWORD")
        account.last_login_at = account.last_refresh_at = int(self.services.now() * 1000)
        # No displayName here, even for an account that has one.
        reply: dict = {
            "kind": "identitytoolkit#VerifyPasswordResponse",
            "localId": account.local_id,
            "email": account.email,
            "registered": True,
        }
        tokens = self.tokens(account)
        reply["idToken"] = tokens.pop("idToken")
        reply.update(tokens)
        return json_response(reply)

    def send_oob_code(self, request: Request) -> Response:
        body = parse_body(request, _OOB_FIELDS)
        kind = body.get("requestType")
        if kind is not None and kind not in _OOB_TYPES:
            raise bad_payload("/requestType must be equal to one of the allowed values")
        if not kind or kind == "OOB_REQ_TYPE_UNSPECIFIED":
            raise auth_error("MISSING_REQ_TYPE")
        accounts = self.services.accounts
        if kind == "VERIFY_EMAIL":
            account = self.account_for_id_token(body.get("idToken"))
            if account.email is None:
                raise auth_error("MISSING_EMAIL")
            email, local_id = account.email, account.local_id
        elif kind in ("PASSWORD_RESET", "EMAIL_SIGNIN"):
            if not body.get("email"):
                raise auth_error("MISSING_EMAIL")
            email = body["email"].lower()
            account = accounts.by_email(email)
            if kind == "PASSWORD_RESET" and account is None:
                raise auth_error("EMAIL_NOT_FOUND")
            # A sign-in link may go to an address without an account yet.
            local_id = account.local_id if account is not None else None
        else:
            # The project allows only these three e-mail actions.
            raise auth_error("OPERATION_NOT_ALLOWED")
        self.services.outbox.send(kind, email, local_id)
        return json_response({"kind": "identitytoolkit#GetOobConfirmationCodeResponse",
                              "email": email})

    def lookup(self, request: Request) -> Response:
        body = parse_body(request, _LOOKUP_FIELDS)
        if not body.get("idToken"):
            raise auth_error("MISSING_ID_TOKEN")
        account = self.account_for_id_token(body["idToken"])
        return json_response({"kind": "identitytoolkit#GetAccountInfoResponse",
                              "users": [user_info(account)]})


def user_info(account: Account) -> dict:
    """The account as accounts:lookup describes it (numbers of milliseconds
    as text but passwordUpdatedAt, which is a number)."""
    info: dict = {"localId": account.local_id}
    if account.email is not None:
        info["email"] = account.email
    if account.display_name:
        info["displayName"] = account.display_name
    info["emailVerified"] = account.email_verified
    if account.password is not None:
        info["passwordHash"] = _REDACTED_HASH
        info["passwordUpdatedAt"] = account.password_updated_at
    providers = []
    if account.email is not None:
        provider = {"providerId": "password", "federatedId": account.email,
                    "email": account.email, "rawId": account.email}
        if account.display_name:
            provider["displayName"] = account.display_name
        providers.append(provider)
    info["providerUserInfo"] = providers
    info["validSince"] = str(account.valid_since)
    if account.disabled:
        info["disabled"] = True
    info["lastLoginAt"] = str(account.last_login_at)
    info["createdAt"] = str(account.created_at)
    info["lastRefreshAt"] = rfc3339(account.last_refresh_at / 1000)
    return info
