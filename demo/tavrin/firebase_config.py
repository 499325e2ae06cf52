"""Firebase project of the demo application (served by the local stand-ins)."""

FIREBASE_API_KEY = "demo-api-key"
FIREBASE_PROJECT_ID = "tavrin-demo"
FIREBASE_REGION = "europe-west1"
