"""What the stand-ins accept: the project, its API key and its functions
region, and what the functions stand-in expects of a call (the fixed
authentication header, the encryption header, the version prefix of the
function names and the server's private key)."""

from dataclasses import dataclass

from .keys import DEV_SERVER_PRIVATE_KEY_B64

# Defaults shared by the demo and the tests unless they pass their own.
DEFAULT_API_KEY = "standin-api-key"
DEFAULT_PROJECT_ID = "tavrin-standin"
DEFAULT_REGION = "europe-west1"
DEFAULT_AUTH_HEADER_NAME = "X-Tavrin-Auth"
DEFAULT_AUTH_KEY = "standin-auth-key"
DEFAULT_ENCRYPTION_HEADER_NAME = "X-Tavrin-Encrypted"
DEFAULT_API_VERSION = "v1"


@dataclass(frozen=True)
class StandinConfig:
    """What the stand-ins accept; every field has a default, so
    StandinConfig(project_id="my-project") changes one thing.

    A request with another API key, or for another project or region, is
    refused as the service would refuse it. The functions stand-in opens
    sealed bodies with `server_private_key_b64`: to serve an application
    that seals to its own public key, give the private half here (or to
    from_config_module)."""

    api_key: str = DEFAULT_API_KEY
    project_id: str = DEFAULT_PROJECT_ID
    region: str = DEFAULT_REGION
    # The project's number, which the secure-token service gives as "project_id".
    project_number: str = "271828182845"
    # Secret of the HS256 signature of the ID tokens the stand-ins issue.
    token_secret: bytes = b"tavrin stand-in token secret"
    # Lifetime of an ID token, in seconds ("expiresIn").
    token_lifetime: int = 3600
    # Functions: the header every call must carry, and its value (the
    # application's ENCRYPTED_AUTH_KEY decoded as UTF-8).
    auth_header_name: str = DEFAULT_AUTH_HEADER_NAME
    auth_key: str = DEFAULT_AUTH_KEY
    # The header that says "true" when the body is a sealed box.
    encryption_header_name: str = DEFAULT_ENCRYPTION_HEADER_NAME
    # Function names are addressed as VERSION_NAME.
    api_version: str = DEFAULT_API_VERSION
    # The private half of the key pair whose public half the application
    # seals to (standard base64 of 32 bytes); a development-only key by default.
    server_private_key_b64: str = DEV_SERVER_PRIVATE_KEY_B64

    @classmethod
    def from_config_module(cls, module, env=None, **overrides) -> "StandinConfig":
        """The configuration that matches an application's firebase_config
        module (FIREBASE_API_KEY, FIREBASE_PROJECT_ID, FIREBASE_REGION) and,
        when given, its env module (AUTH_HEADER_NAME, ENCRYPTED_AUTH_KEY,
        ENCRYPTION_HEADER_NAME, API_VERSION). The server's private key is not
        the application's to give: pass server_private_key_b64 to replace the
        development key."""
        values = {"api_key": str(module.FIREBASE_API_KEY),
                  "project_id": str(module.FIREBASE_PROJECT_ID),
                  "region": str(module.FIREBASE_REGION)}
        if env is not None:
            key = env.ENCRYPTED_AUTH_KEY
            values.update(auth_header_name=str(env.AUTH_HEADER_NAME),
                          auth_key=key.decode("utf-8") if isinstance(key, bytes) else str(key),
                          encryption_header_name=str(env.ENCRYPTION_HEADER_NAME),
                          api_version=str(env.API_VERSION))
        values.update(overrides)
        return cls(**values)
