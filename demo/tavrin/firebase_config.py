"""Firebase project of the demo application: the stand-ins' demo project, or
with TAVRIN_DEMO_REAL=1 the real project named by the environment."""

from .settings import setting

FIREBASE_API_KEY = setting("TAVRIN_FIREBASE_API_KEY", "demo-api-key", required=True)
FIREBASE_PROJECT_ID = setting("TAVRIN_FIREBASE_PROJECT_ID", "tavrin-demo", required=True)
FIREBASE_REGION = setting("TAVRIN_FIREBASE_REGION", "europe-west1")
