"""The Firebase project (a demo-* id: no real project behind it)."""
FIREBASE_API_KEY = "notes-api-key"
FIREBASE_PROJECT_ID = "demo-notes"
FIREBASE_REGION = "europe-west1"
