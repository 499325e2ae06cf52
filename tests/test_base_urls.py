"""The document and functions base URLs."""
import builtins

import pytest

from support import entries

FIRESTORE = "https://firestore.googleapis.com/v1/projects/{}/databases/(default)/documents"
FUNCTIONS = "https://{}-{}.cloudfunctions.net"


class Formatted:
    def __init__(self, text):
        self.text = text

    def __format__(self, format_spec):
        assert format_spec == ""
        return self.text


class StrSub(str):
    def __format__(self, format_spec):
        return "formatted"


class FormatFails:
    def __format__(self, format_spec):
        raise LookupError("no text")


@pytest.mark.parametrize("project, text", [
    ("demo", "demo"), (42, "42"), (Formatted("p/q"), "p/q"), (StrSub("raw"), "formatted"),
])
def test_firestore_base_url(fb, monkeypatch, project, text):
    monkeypatch.setattr(fb, "FIREBASE_PROJECT_ID", project)
    assert fb.get_firestore_base_url() == FIRESTORE.format(text)


@pytest.mark.parametrize("region, project, text", [
    ("europe-west1", "demo", ("europe-west1", "demo")),
    (7, Formatted("x"), ("7", "x")), ("", "", ("", "")),
])
def test_functions_base_url(fb, monkeypatch, region, project, text):
    monkeypatch.setattr(fb, "FIREBASE_REGION", region)
    monkeypatch.setattr(fb, "FIREBASE_PROJECT_ID", project)
    assert fb.get_functions_base_url() == FUNCTIONS.format(*text)


def test_configuration_from_the_sibling_module(fb):
    assert fb.get_firestore_base_url() == FIRESTORE.format("demo-project")
    assert fb.get_functions_base_url() == FUNCTIONS.format("europe-west1", "demo-project")


def test_names_fall_back_to_builtins(fb, monkeypatch):
    monkeypatch.delattr(fb, "FIREBASE_PROJECT_ID")
    monkeypatch.setattr(builtins, "FIREBASE_PROJECT_ID", "from-builtins", raising=False)
    assert fb.get_firestore_base_url() == FIRESTORE.format("from-builtins")


@pytest.mark.parametrize("func, line, missing, expected", [
    ("get_firestore_base_url", 158, ["FIREBASE_PROJECT_ID"], "FIREBASE_PROJECT_ID"),
    ("get_functions_base_url", 164, ["FIREBASE_REGION"], "FIREBASE_REGION"),
    ("get_functions_base_url", 164, ["FIREBASE_PROJECT_ID", "FIREBASE_REGION"],
     "FIREBASE_REGION"),
])
def test_missing_name(fb, monkeypatch, func, line, missing, expected):
    for name in missing:
        monkeypatch.delattr(fb, name)
    with pytest.raises(NameError) as info:
        getattr(fb, func)()
    assert str(info.value) == f"name '{expected}' is not defined"
    assert entries(info.value) == [("tavrin.firebase." + func, line)]


@pytest.mark.parametrize("func, line, name", [
    ("get_firestore_base_url", 158, "FIREBASE_PROJECT_ID"),
    ("get_functions_base_url", 164, "FIREBASE_PROJECT_ID"),
])
def test_format_failure_propagates(fb, monkeypatch, func, line, name):
    monkeypatch.setattr(fb, name, FormatFails())
    with pytest.raises(LookupError) as info:
        getattr(fb, func)()
    assert str(info.value) == "no text"
    assert entries(info.value) == [("tavrin.firebase." + func, line)]
