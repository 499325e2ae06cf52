"""The Firebase project of the example application."""

FIREBASE_API_KEY = "example-api-key"
FIREBASE_PROJECT_ID = "demo-example"
FIREBASE_REGION = "europe-west1"
