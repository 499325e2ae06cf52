"""Configuration and application object of the demo application."""

import sys

AUTH_HEADER_NAME = "X-Tavrin-Auth"
ENCRYPTED_AUTH_KEY = b"demo-auth-key"
API_VERSION = "v1"
ENCRYPTION_HEADER_NAME = "X-Tavrin-Encrypted"
# The public half of the demo server key pair; the private key is the
# SHA-256 digest of b"tavrin demo server key".
SEALED_BOX_SERVER_PUBLIC_KEY_B64 = "LmECPMrNKUxOOu4Tv4r7buPczz87BLFXHWcMqvzmlws="

_STYLES = {"red": "\033[31m", "green": "\033[32m", "bold": "\033[1m"}


class DemoApp:
    """Holds the login and shows messages on the terminal."""

    def __init__(self):
        self.firebase_id_token = None
        self.firebase_refresh_token = None
        self.user_id = None

    def print(self, msg, style=None):
        text = str(msg)
        if style in _STYLES and sys.stdout.isatty():
            text = _STYLES[style] + text + "\033[0m"
        print(text, flush=True)


_app = DemoApp()


def get_app():
    return _app
