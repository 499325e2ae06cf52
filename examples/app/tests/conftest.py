"""The fixtures come from the firebase_standins pytest plugin (pip install
./standins); named here too, the tests also run with standins on PYTHONPATH."""

import pytest

from tavrin import env

pytest_plugins = ["firebase_standins.pytest_plugin"]


@pytest.fixture(autouse=True)
def app(monkeypatch):
    """A fresh application object (no login) for every test."""
    fresh = env.App()
    monkeypatch.setattr(env, "_app", fresh)
    return fresh
