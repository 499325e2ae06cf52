"""Settings of the example application's HTTPS functions, and its
application object."""

from __future__ import annotations

AUTH_HEADER_NAME = "X-Example-Auth"
ENCRYPTED_AUTH_KEY = b"example-auth-key"
API_VERSION = "v1"
ENCRYPTION_HEADER_NAME = "X-Example-Encrypted"
# The public half of the stand-ins' development key pair
# (firebase_standins.DEV_SERVER_PUBLIC_KEY_B64): for local tests only. A
# deployment puts its functions' own public key here.
SEALED_BOX_SERVER_PUBLIC_KEY_B64 = "E6wVJN7jx4iX8Fa61MqyUX/q4lfYWH+aaPJq0kZXewU="


class App:
    """What tavrin.firebase needs of the application: the login and a way to
    show the user a message."""

    def __init__(self) -> None:
        self.firebase_id_token: str | None = None
        self.firebase_refresh_token: str | None = None
        self.user_id: str | None = None
        self.messages: list[tuple[str, str | None]] = []

    def print(self, message: str, style: str | None = None) -> None:
        self.messages.append((message, style))


_app = App()


def get_app() -> App:
    return _app
