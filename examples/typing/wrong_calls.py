"""Calls that the stub must refuse: checked with mypy --strict, which must
report exactly the errors marked "# error: CODE, ..." (tests/packaging
checks the lines and codes), no more and no fewer."""

from __future__ import annotations

from tavrin import firebase, firestore_values


async def wrong() -> None:
    await firebase.auth_sign_in("ada@example.com")  # error: call-arg
    await firebase.auth_sign_up("ada@example.com", "secret-1", True)  # error: call-arg
    await firebase.verify_email(token="t")  # error: call-arg
    await firebase.create_document("notes", "n1", {})  # error: call-arg
    await firebase.get_document("notes/n1", id_token=None)  # error: arg-type
    await firebase.update_document("notes/n1", ["not", "a", "mapping"], "t")  # error: arg-type
    await firebase.ensure_valid_token(None)  # error: call-arg
    await firebase.trigger_function("echo")  # error: call-arg
    await firebase.trigger_function("echo", {}, timeout="30")  # error: call-arg
    await firebase.trigger_function("echo", {}, False, None, "30")  # error: arg-type
    firebase.get_firestore_base_url("demo")  # error: call-arg


async def wrong_results() -> None:
    user: str = await firebase.get_auth_user_data("t")  # error: assignment
    registration = firebase.register_new_user_in_firestore("u", "e", "t")
    registered: dict[str, object] = await registration  # error: func-returns-value, assignment
    expiry: str = firebase.get_token_expiry("a.b.c")  # error: assignment
    sealed: str = firebase._sealed_box_encrypt({})  # error: assignment
    url: bytes = firebase.get_functions_base_url()  # error: assignment
    print(user, registered, expiry, sealed, url)


def not_awaited() -> None:
    reply = firebase.auth_sign_in("ada@example.com", "secret-1")
    reply["idToken"]  # error: index
    key: bytes = firebase.FIREBASE_API_KEY  # error: assignment
    firebase.no_such_function()  # error: attr-defined


def wrong_codec_calls() -> None:
    firestore_values.to_fields(["a", 1])  # error: arg-type
    firestore_values.to_value({1, 2})  # error: arg-type
    firestore_values.GeoPoint("48.2", 16.4)  # error: arg-type
    firestore_values.Reference(name=b"projects/p")  # error: arg-type
    identifier: int = firestore_values.document_id({})  # error: assignment
