"""Configuration and application object of the demo application."""

import sys

from .settings import setting

# The functions' fixed authentication header and its value (bytes, decoded
# as UTF-8 by the module), the version prefix of the function names and the
# header that marks a sealed body.
AUTH_HEADER_NAME = setting("TAVRIN_AUTH_HEADER_NAME", "X-Tavrin-Auth")
ENCRYPTED_AUTH_KEY = setting("TAVRIN_AUTH_KEY", "demo-auth-key").encode("utf-8")
API_VERSION = setting("TAVRIN_API_VERSION", "v1")
ENCRYPTION_HEADER_NAME = setting("TAVRIN_ENCRYPTION_HEADER_NAME", "X-Tavrin-Encrypted")
# The server's public key, to which function payloads are sealed. The demo
# value is the public half of the stand-ins' development-only key pair
# (standins/firebase_standins/keys.py): it must never reach a real deployment.
SEALED_BOX_SERVER_PUBLIC_KEY_B64 = setting(
    "TAVRIN_SERVER_PUBLIC_KEY_B64", "E6wVJN7jx4iX8Fa61MqyUX/q4lfYWH+aaPJq0kZXewU=")

_STYLES = {"red": "\033[31m", "green": "\033[32m", "bold": "\033[1m"}
_RESET = "\033[0m"


class DemoApp:
    """Holds the login and shows messages on the terminal: styled with ANSI
    codes when standard output is a terminal, plainly otherwise. Every
    message is also kept in `messages`, as (text, style), oldest first."""

    def __init__(self):
        self.firebase_id_token = None
        self.firebase_refresh_token = None
        self.user_id = None
        self.messages = []

    def print(self, msg, style=None):
        text = str(msg)
        self.messages.append((text, style))
        if style in _STYLES and sys.stdout.isatty():
            text = _STYLES[style] + text + _RESET
        print(text, flush=True)


_app = DemoApp()


def get_app():
    return _app
