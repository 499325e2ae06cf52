"""Stand-in of the Secure Token service (securetoken.googleapis.com):
POST /v1/token?key=KEY with a form body grant_type=refresh_token and the
refresh token, answered with a fresh ID token as production and the Auth
emulator answer it (production keeps the refresh token; the emulator hands
out a new one on every refresh: both are valid afterwards)."""

from __future__ import annotations

import json
from urllib.parse import parse_qs

from .wire import Request, Response, Service, ServiceError, check_api_key, json_response

HOST = "securetoken.googleapis.com"


def token_error(message: str) -> ServiceError:
    """The service's own errors: 400, the code as the message, in the shape
    of the identity service's errors (as the Auth emulator answers them)."""
    return ServiceError(400, message)


def form_fields(request: Request) -> dict[str, str]:
    """The body's fields: form-encoded as a rule; the service also takes a
    JSON object."""
    content_type = (request.header("content-type") or "").lower()
    if content_type.startswith("application/json"):
        try:
            body = request.json()
        except ValueError:
            raise ServiceError(400, "Invalid JSON payload received. Unexpected token.",
                               status="INVALID_ARGUMENT", reason="parseError") from None
        if not isinstance(body, dict):
            raise ServiceError(400, "Invalid JSON payload received.  must be object",
                               status="INVALID_ARGUMENT")
        return {str(k): v if isinstance(v, str) else json.dumps(v) for k, v in body.items()}
    try:
        text = request.body.decode("utf-8")
    except UnicodeDecodeError:
        text = ""
    return {name: values[0] for name, values in parse_qs(text, keep_blank_values=True).items()}


class SecureToken(Service):
    hosts = (HOST,)
    routes = {("POST", "/v1/token"): "token"}

    def handle(self, request: Request) -> Response:
        check_api_key(request, self.config.api_key, HOST)
        return super().handle(request)

    def token(self, request: Request) -> Response:
        fields = form_fields(request)
        grant = fields.get("grant_type")
        if not grant:
            raise token_error("MISSING_GRANT_TYPE")
        if grant != "refresh_token":
            raise token_error("INVALID_GRANT_TYPE")
        refresh_token = fields.get("refresh_token")
        if not refresh_token:
            raise token_error("MISSING_REFRESH_TOKEN")
        accounts = self.services.accounts
        account = accounts.account_for_refresh_token(refresh_token)
        if account is None:
            raise token_error("INVALID_REFRESH_TOKEN")
        if account.disabled:
            raise token_error("USER_DISABLED")
        account.last_refresh_at = int(self.services.now() * 1000)
        id_token = accounts.issue_id_token(account)
        # The refresh token stays the same; the access token is the ID token.
        return json_response({
            "access_token": id_token,
            "expires_in": str(self.config.token_lifetime),
            "token_type": "Bearer",
            "refresh_token": refresh_token,
            "id_token": id_token,
            "user_id": account.local_id,
            "project_id": self.config.project_number,
        })
