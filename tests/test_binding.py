"""The published functions, argument binding, the base URLs and name lookup."""
import builtins
import types

import pytest

from support import Formatted, StrSub, entries
from test_loading import FUNCTIONS

LINES = {
    "_sealed_box_encrypt": 21, "auth_sign_in": 41, "auth_sign_up": 60,
    "verify_email": 79, "send_password_reset_email": 105,
    "get_auth_user_data": 124, "get_firestore_base_url": 156,
    "get_functions_base_url": 162, "create_document": 168, "get_document": 189,
    "overwrite_document": 203, "update_document": 217, "delete_document": 237,
    "register_new_user_in_firestore": 250, "get_token_expiry": 288,
    "refresh_id_token": 309, "ensure_valid_token": 327, "trigger_function": 367,
}


def indented(*lines):
    return "\n" + "".join("    " + line + "\n" for line in lines) + "    "


DOCS = {
    "auth_sign_in": indented(
        "Authenticates a user using Firebase email/password authentication. ",
        "Sends a POST request to the Firebase Auth REST API and returns the JSON response,",
        "which includes the authentication token and related information."),
    "auth_sign_up": indented(
        "Registers a new user using Firebase's signUp endpoint.",
        "Sends a POST request to the Firebase Auth signUp REST API and returns the JSON response,",
        "which includes the authentication token and related information."),
    "get_token_expiry": indented(
        "Decodes the JWT token to extract its expiration timestamp (exp claim)."),
    "get_firestore_base_url": "Returns the base URL for Firestore REST API calls.",
    "get_functions_base_url": "Returns the base URL for Cloud Functions REST API calls.",
    "_sealed_box_encrypt":
        "Encrypts the entire payload dict using the server's public key via a sealed box.\n"
        "\n"
        "    Returns base64-encoded ciphertext bytes suitable for sending as the request body.\n"
        "    The import of PyNaCl is local to avoid hard dependency at module import time.\n"
        "    ",
}


def test_published_functions(fb):
    for name in FUNCTIONS:
        f = getattr(fb, name)
        assert type(f) is types.BuiltinFunctionType and f.__self__ is None
        assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "tavrin.firebase")
        assert not any(hasattr(f, a) for a in ("__code__", "__defaults__", "__kwdefaults__",
                                               "__wrapped__"))
        assert name not in DOCS or f.__doc__ == DOCS[name], name


class BadName(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise ZeroDivisionError("no comparison")


class Alias(BadName):
    """A keyword name that equals "email" by its own equality."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        return other == "email"


MULTIPLE = "got multiple values for keyword argument "
UNEXPECTED = "got an unexpected keyword argument "
BINDING_FAILURES = [
    ("auth_sign_in", (1,), {}, ("exactly", 2, 1)),
    ("auth_sign_in", (1, 2, 3), {}, ("exactly", 2, 3)),
    ("auth_sign_in", (), {"password": 1}, ("exactly", 2, 0)),
    ("verify_email", (), {}, ("exactly", 1, 0)),
    ("create_document", (1,), {"document_id": 2, "id_token": 3}, ("exactly", 4, 2)),
    ("get_document", (1, 2, 3), {"id_token": 4}, ("exactly", 2, 3)),
    ("auth_sign_in", (1, 2), {"email": 3}, MULTIPLE + "'email'"),
    ("auth_sign_in", (1, 2), {"foo": 3}, UNEXPECTED + "'foo'"),
    ("trigger_function", (1,), {}, ("at least", 2, 1)),
    ("trigger_function", (1,) * 7, {"encrypt": 1}, ("at most", 6, 7)),
    ("trigger_function", (), {"payload": 1, "encrypt": 2}, ("at least", 2, 0)),
    ("trigger_function", (1, 2), {"firebase_function": 3}, MULTIPLE + "'firebase_function'"),
    ("get_token_expiry", (1, 2), {}, ("exactly", 1, 2)),
    ("_sealed_box_encrypt", (), {"data": 1}, UNEXPECTED + "'data'"),
    ("auth_sign_in", (), {BadName("mail"): "a", "password": "b"},
     ZeroDivisionError("no comparison")),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_FAILURES)
def test_binding_failure(fb, name, args, kwargs, message):
    """`message` follows "NAME() ", or is (qualifier, count, given) of a count."""
    with pytest.raises(Exception) as info:
        getattr(fb, name)(*args, **kwargs)
    if isinstance(message, tuple):
        qualifier, count, given = message
        message = (f"takes {qualifier} {count} positional argument"
                   f"{'' if count == 1 else 's'} ({given} given)")
    if not isinstance(message, Exception):
        message = TypeError(f"{name}() {message}")
    assert (type(info.value), str(info.value)) == (type(message), str(message))
    assert entries(info.value) == [("tavrin.firebase." + name, LINES[name])]


@pytest.mark.parametrize("name, args, kwargs", [
    ("create_document", (), {"id_token": 4, "data": 3, "document_id": 2, "collection": 1}),
    ("trigger_function", ("f",), {"payload": {}, "encrypt": False, "timeout_seconds": 3}),
    ("ensure_valid_token", (), {}),
    ("auth_sign_in", (), {Alias("mail"): "a@b.c", "password": "pw"}),  # matched by equality
])
def test_binding_success_returns_a_fresh_coroutine(fb, name, args, kwargs):
    coro = getattr(fb, name)(*args, **kwargs)
    try:
        assert type(coro).__name__ == "coroutine"
        assert coro.cr_code.co_name == name
        assert coro.cr_code.co_firstlineno == LINES[name]
    finally:
        coro.close()


FIRESTORE = "https://firestore.googleapis.com/v1/projects/{}/databases/(default)/documents"
FUNCTIONS_URL = "https://{}-{}.cloudfunctions.net"


@pytest.mark.parametrize("project, region, texts", [
    (None, None, ("demo-project", "europe-west1")),   # from the sibling module
    (42, 7, ("42", "7")), ("", "", ("", "")),
    (Formatted("p/q"), StrSub("r"), ("p/q", "via-format")),
    (builtins, "eu", ("from-builtins", "eu")),   # names fall back to builtins
])
def test_base_urls(fb, monkeypatch, project, region, texts):
    if project is builtins:
        monkeypatch.delattr(fb, "FIREBASE_PROJECT_ID")
        monkeypatch.setattr(builtins, "FIREBASE_PROJECT_ID", "from-builtins", raising=False)
    for name, value in [("FIREBASE_PROJECT_ID", project), ("FIREBASE_REGION", region)]:
        if value not in (None, builtins):
            monkeypatch.setattr(fb, name, value)
    assert fb.get_firestore_base_url() == FIRESTORE.format(texts[0])
    assert fb.get_functions_base_url() == FUNCTIONS_URL.format(texts[1], texts[0])


GONE = object()
Q = "tavrin.firebase."


@pytest.mark.parametrize("name, args, names, error, entry", [
    ("auth_sign_in", ("a", "b"), {"FIREBASE_API_KEY": GONE}, NameError, ("auth_sign_in", 52)),
    ("auth_sign_up", ("a", "b"), {"httpx": GONE}, NameError, ("auth_sign_up", 72)),
    ("get_firestore_base_url", None, {"FIREBASE_PROJECT_ID": GONE}, NameError,
     (Q + "get_firestore_base_url", 158)),
    ("get_functions_base_url", None, {"FIREBASE_REGION": GONE}, NameError,
     (Q + "get_functions_base_url", 164)),
    ("get_functions_base_url", None, {"FIREBASE_PROJECT_ID": GONE, "FIREBASE_REGION": GONE},
     NameError, (Q + "get_functions_base_url", 164)),
    ("get_firestore_base_url", None, {"FIREBASE_PROJECT_ID": Formatted(None)}, LookupError,
     (Q + "get_firestore_base_url", 158)),
    ("get_functions_base_url", None, {"FIREBASE_PROJECT_ID": Formatted(None)}, LookupError,
     (Q + "get_functions_base_url", 164)),
])
def test_name_and_format_failures(fb, monkeypatch, name, args, names, error, entry):
    """A missing name fails when a coroutine runs, not when it is made."""
    for key, value in names.items():
        monkeypatch.delattr(fb, key) if value is GONE else monkeypatch.setattr(fb, key, value)
    run = getattr(fb, name) if args is None else getattr(fb, name)(*args).send
    with pytest.raises(error) as info:
        run() if args is None else run(None)
    missing = sorted(k for k, v in names.items() if v is GONE)[-1:]
    assert str(info.value) == (f"name '{missing[0]}' is not defined" if missing else "no text")
    assert entries(info.value) == [entry]
