"""Stand-in of Firebase Identity Toolkit (identitytoolkit.googleapis.com):
password sign-up and sign-in, the verification and password-reset e-mails
(accounts:sendOobCode, recorded in the outbox instead of being sent) and
account lookup, with the production reply and error shapes."""

from __future__ import annotations

import json
import re

from . import jwt
from .accounts import Account, EmailExists, TokenExpired
from .wire import (Request, Response, Service, ServiceError, check_api_key,
                   json_response, rfc3339)

HOST = "identitytoolkit.googleapis.com"

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
_TYPE_NAMES = {str: "TYPE_STRING", bool: "TYPE_BOOL", list: "TYPE_STRING"}
# What the identity service writes for the hash of a password to a caller
# that may not see it: base64 of "REDACTED".
_REDACTED_HASH = "UkVEQUNURUQ="


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
        account."""
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
        return account

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
        account.last_login_at = account.last_refresh_at = int(self.services.now() * 1000)
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

    def send_oob_code(self, request: Request) -> Response:
        body = parse_body(request, _OOB_FIELDS)
        kind = body.get("requestType")
        if not kind:
            raise auth_error("MISSING_REQ_TYPE")
        if kind not in _OOB_TYPES:
            raise bad_payload("Invalid value at 'requestType' (type.googleapis.com/"
                              "google.cloud.identitytoolkit.v1.OobReqType), " + json.dumps(kind))
        if kind == "VERIFY_EMAIL":
            account = self.account_for_id_token(body.get("idToken"))
            if account.email is None:
                raise auth_error("MISSING_EMAIL")
        elif kind == "PASSWORD_RESET":
            email = body.get("email")
            if not email:
                raise auth_error("MISSING_EMAIL")
            if not _EMAIL.fullmatch(email):
                raise auth_error("INVALID_EMAIL")
            account = self.services.accounts.by_email(email)
            if account is None:
                raise auth_error("EMAIL_NOT_FOUND")
        else:
            # The project allows only these two e-mail actions.
            raise auth_error("OPERATION_NOT_ALLOWED")
        self.services.outbox.send(kind, account.email, account.local_id)
        return json_response({"kind": "identitytoolkit#GetOobConfirmationCodeResponse",
                              "email": account.email})

    def lookup(self, request: Request) -> Response:
        body = parse_body(request, _LOOKUP_FIELDS)
        account = self.account_for_id_token(body.get("idToken"))
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
