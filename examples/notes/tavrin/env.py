"""The functions' settings and the application object."""
AUTH_HEADER_NAME = "X-Notes-Auth"
ENCRYPTED_AUTH_KEY = b"notes-auth-key"
API_VERSION = "v1"
ENCRYPTION_HEADER_NAME = "X-Notes-Encrypted"
# The stand-ins' published key; a deployment puts its functions' own here.
SEALED_BOX_SERVER_PUBLIC_KEY_B64 = "E6wVJN7jx4iX8Fa61MqyUX/q4lfYWH+aaPJq0kZXewU="


class App:
    def __init__(self) -> None:
        self.firebase_id_token: str | None = None
        self.firebase_refresh_token: str | None = None
        self.user_id: str | None = None

    def print(self, message: str, style: str | None = None) -> None:
        print(message)


_app = App()


def get_app() -> App:
    return _app
