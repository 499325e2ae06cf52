"""Loads the built extension ($TAVRIN_FIREBASE_EXT, else build/debug or build/release
after the interpreter) as tavrin.firebase from a temporary copy of tests/app, and
the codec built beside it as tavrin.firestore_values."""
import importlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
from pathlib import Path

import pytest

import support

REPO = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(REPO / "standins"), str(REPO / "tools")]
from app_package import make_app_package  # noqa: E402 (found through the line above)
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
VARIANT = "debug" if hasattr(sys, "gettotalrefcount") else "release"
EXTENSION = Path(os.environ.get("TAVRIN_FIREBASE_EXT")
                 or REPO / "build" / VARIANT / ("firebase" + EXT_SUFFIX))
CODEC = EXTENSION.parent / ("firestore_values" + EXT_SUFFIX)
APP_DIR = Path(tempfile.mkdtemp(prefix="tavrin-app-"))


def pytest_configure(config):
    if not EXTENSION.is_file():
        raise pytest.UsageError(
            f"tavrin.firebase extension not found at {EXTENSION}: build it with "
            f"'tools/build release' (or debug) or set TAVRIN_FIREBASE_EXT")
    if not CODEC.is_file():
        raise pytest.UsageError(f"tavrin.firestore_values not found beside it at {CODEC}")
    make_app_package(REPO / "tests" / "app" / "tavrin", EXTENSION, APP_DIR)


def pytest_unconfigure(config):
    shutil.rmtree(APP_DIR, ignore_errors=True)


def pytest_report_header(config):
    return f"tavrin.firebase extension: {EXTENSION}; tavrin.firestore_values: {CODEC}"


@pytest.fixture
def fb():
    """The imported module; the native mirror coroutines in support read it."""
    support.fb = importlib.import_module("tavrin.firebase")
    return support.fb


@pytest.fixture
def run_py():
    """Runs code in a fresh interpreter with the stand-in package importable."""
    path = os.pathsep.join(filter(None, [str(APP_DIR), str(REPO / "tests"),
                                         os.environ.get("PYTHONPATH")]))
    return lambda code, timeout=60: subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        env=dict(os.environ, PYTHONPATH=path), capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def fake(fb, monkeypatch):
    """Installs a FakeHttpx as the module's httpx; add clients with fake.client(...)."""
    monkeypatch.setattr(fb, "httpx", support.FakeHttpx())
    return fb.httpx


@pytest.fixture
def mock_http(fb, monkeypatch):
    """Real httpx clients on a MockTransport calling mock_http.handler(request)."""
    monkeypatch.setattr(fb, "httpx", support.MockHttpx())
    return fb.httpx


@pytest.fixture
def app(monkeypatch):
    """A fresh application object, the one env.get_app() returns for the test."""
    env = importlib.import_module("tavrin.env")
    monkeypatch.setattr(env, "_app", env.App())
    return env._app


@pytest.fixture
def svc(fb):
    """The loopback stand-ins, configured like the test application, the module routed there."""
    from firebase_standins import ServicesThread, StandinConfig, routed
    config = StandinConfig.from_config_module(
        importlib.import_module("tavrin.firebase_config"),
        importlib.import_module("tavrin.env"),
        server_private_key_b64=support.PRIVATE_KEY_B64)
    with ServicesThread(config) as running, routed(fb, running):
        yield running


@pytest.fixture
def user(svc):
    """An account at the stand-ins: uid, email, id_token, refresh_token."""
    return support.account(svc, "someone@example.com")
