FIREBASE_API_KEY = "test-api-key"
FIREBASE_PROJECT_ID = "demo-project"
FIREBASE_REGION = "europe-west1"
