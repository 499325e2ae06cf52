"""What the stand-ins accept: the project, its API key and its functions region."""

from dataclasses import dataclass

# Defaults shared by the demo and the tests unless they pass their own.
DEFAULT_API_KEY = "standin-api-key"
DEFAULT_PROJECT_ID = "tavrin-standin"
DEFAULT_REGION = "europe-west1"


@dataclass(frozen=True)
class StandinConfig:
    api_key: str = DEFAULT_API_KEY
    project_id: str = DEFAULT_PROJECT_ID
    region: str = DEFAULT_REGION
    # The project's number, which the secure-token service gives as "project_id".
    project_number: str = "271828182845"
    # Secret of the HS256 signature of the ID tokens the stand-ins issue.
    token_secret: bytes = b"tavrin stand-in token secret"
    # Lifetime of an ID token, in seconds ("expiresIn").
    token_lifetime: int = 3600

    @classmethod
    def from_config_module(cls, module, **overrides) -> "StandinConfig":
        """The configuration that matches an application's firebase_config
        module (FIREBASE_API_KEY, FIREBASE_PROJECT_ID, FIREBASE_REGION)."""
        values = {"api_key": str(module.FIREBASE_API_KEY),
                  "project_id": str(module.FIREBASE_PROJECT_ID),
                  "region": str(module.FIREBASE_REGION)}
        values.update(overrides)
        return cls(**values)
