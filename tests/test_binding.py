"""The published functions and argument binding."""
import types

import pytest

import support
from support import entries
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


@pytest.mark.parametrize("name", FUNCTIONS)
def test_published_as_builtin_function(fb, name):
    f = getattr(fb, name)
    assert type(f) is types.BuiltinFunctionType
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "tavrin.firebase")
    assert f.__self__ is None
    for attr in ("__code__", "__defaults__", "__kwdefaults__", "__wrapped__"):
        assert not hasattr(f, attr)


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstring(fb, name):
    assert getattr(fb, name).__doc__ == DOCS[name]


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
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_FAILURES)
def test_binding_failure(fb, name, args, kwargs, message):
    """`message` follows "NAME() ", or is (qualifier, count, given) of a count."""
    with pytest.raises(TypeError) as info:
        getattr(fb, name)(*args, **kwargs)
    if isinstance(message, tuple):
        qualifier, count, given = message
        message = (f"takes {qualifier} {count} positional argument"
                   f"{'' if count == 1 else 's'} ({given} given)")
    assert str(info.value) == f"{name}() {message}"
    assert entries(info.value) == [("tavrin.firebase." + name, LINES[name])]


@pytest.mark.parametrize("name, args, kwargs", [
    ("create_document", (), {"id_token": 4, "data": 3, "document_id": 2, "collection": 1}),
    ("trigger_function", ("f",), {"payload": {}, "encrypt": False, "timeout_seconds": 3}),
    ("ensure_valid_token", (), {}),
])
def test_binding_success_returns_a_fresh_coroutine(fb, name, args, kwargs):
    coro = getattr(fb, name)(*args, **kwargs)
    try:
        assert type(coro).__name__ == "coroutine"
        assert coro.cr_code.co_name == name
        assert coro.cr_code.co_firstlineno == LINES[name]
    finally:
        coro.close()


@pytest.mark.parametrize("call", [
    lambda fb: fb.get_firestore_base_url(1),
    lambda fb: fb.ensure_valid_token(x=1),
])
def test_functions_without_parameters_refuse_arguments(fb, monkeypatch, call):
    monkeypatch.delattr(fb, "FIREBASE_PROJECT_ID")
    monkeypatch.delattr(fb, "FIREBASE_REGION")
    with pytest.raises(TypeError, match="takes no"):
        call(fb)


class Alias(str):
    """A keyword name that equals "email" by its own equality."""
    __hash__ = str.__hash__

    def __eq__(self, other):
        return other == "email"


class BadName(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise ZeroDivisionError("no comparison")


def test_keyword_of_a_str_subclass_matches_by_its_equality(fb, fake):
    fake.client(request=support.Suspend(fake.log, (), result=fake.response(payload={})))
    coro = fb.auth_sign_in(**{Alias("mail"): "a@b.c", "password": "pw"})
    with pytest.raises(StopIteration):
        coro.send(None)
    assert fake.log[1][2]["json"]["email"] == "a@b.c"


def test_keyword_comparison_error_fails_binding(fb):
    with pytest.raises(ZeroDivisionError) as info:
        fb.auth_sign_in(**{BadName("mail"): "a", "password": "b"})
    assert entries(info.value) == [("tavrin.firebase.auth_sign_in", 41)]
