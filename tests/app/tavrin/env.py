"""Test configuration of the stand-in application and its application object."""

AUTH_HEADER_NAME = "X-Tavrin-Auth"
ENCRYPTED_AUTH_KEY = b"test-auth-key"
API_VERSION = "v1"
ENCRYPTION_HEADER_NAME = "X-Tavrin-Encrypted"
# Public half of the test key pair; the private half is in tests/support.py.
SEALED_BOX_SERVER_PUBLIC_KEY_B64 = "FT7CJ/xxo2zYXwB9JK9ZfGvf9t68r1Xlj+G5b2/b3WE="


class App:
    def __init__(self):
        self.firebase_id_token = None
        self.firebase_refresh_token = None
        self.user_id = None
        self.messages = []

    def print(self, message, style=None):
        self.messages.append((message, style))


_app = App()


def get_app():
    return _app
