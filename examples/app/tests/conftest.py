"""The fixtures firebase_standins and firebase_auth_emulator come from the
firebase_standins pytest plugin (pip install ./standins of the tavrin
repository). Listing it here as well lets these tests run with the standins
directory merely on PYTHONPATH."""

import pytest

from tavrin import env

pytest_plugins = ["firebase_standins.pytest_plugin"]


@pytest.fixture(autouse=True)
def app(monkeypatch):
    """A fresh application object (no login) for every test."""
    fresh = env.App()
    monkeypatch.setattr(env, "_app", fresh)
    return fresh
