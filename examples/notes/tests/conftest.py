"""The fixtures come from the firebase_standins pytest plugin (pip install
firebase-standins, or its folder on PYTHONPATH)."""
import pytest

from tavrin import env

pytest_plugins = ["firebase_standins.pytest_plugin"]


@pytest.fixture(autouse=True)
def app(monkeypatch):
    """A fresh application object, logged out, for every test."""
    monkeypatch.setattr(env, "_app", env.App())
    return env._app
