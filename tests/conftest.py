"""Loads the built extension as tavrin.firebase from a temporary copy of tests/app.

The extension is taken from $TAVRIN_FIREBASE_EXT when set, else from
build/debug (debug interpreter) or build/release, named firebase<EXT_SUFFIX>
of the running interpreter.
"""
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
sys.path.insert(0, str(REPO / "standins"))
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
_app_dir = None


def _extension_path():
    configured = os.environ.get("TAVRIN_FIREBASE_EXT")
    if configured:
        return Path(configured)
    variant = "debug" if hasattr(sys, "gettotalrefcount") else "release"
    return REPO / "build" / variant / ("firebase" + EXT_SUFFIX)


def pytest_configure(config):
    global _app_dir
    ext = _extension_path()
    if not ext.is_file():
        raise pytest.UsageError(
            f"tavrin.firebase extension not found at {ext}: build it with "
            f"'tools/build release' (or debug) or set TAVRIN_FIREBASE_EXT")
    _app_dir = Path(tempfile.mkdtemp(prefix="tavrin-app-"))
    shutil.copytree(REPO / "tests" / "app" / "tavrin", _app_dir / "tavrin")
    (_app_dir / "tavrin" / ("firebase" + EXT_SUFFIX)).symlink_to(ext.resolve())
    sys.path.insert(0, str(_app_dir))


def pytest_unconfigure(config):
    if _app_dir is not None:
        shutil.rmtree(_app_dir, ignore_errors=True)


def pytest_report_header(config):
    return f"tavrin.firebase extension: {_extension_path()}"


@pytest.fixture
def fb():
    """The imported module; the native mirror coroutines in support read it."""
    module = importlib.import_module("tavrin.firebase")
    support.fb = module
    return module


@pytest.fixture
def app_dir():
    return _app_dir


def _run_py(code, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(_app_dir), str(REPO / "tests")] +
        ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)],
        env=env, capture_output=True, text=True, timeout=timeout)


@pytest.fixture
def run_py():
    """Runs code in a fresh interpreter with the stand-in package importable."""
    return _run_py


@pytest.fixture
def fake(fb, monkeypatch):
    """Installs a FakeHttpx as the module's httpx; add clients with fake.client(...)."""
    shim = support.FakeHttpx()
    monkeypatch.setattr(fb, "httpx", shim)
    return shim


@pytest.fixture
def mock_http(fb, monkeypatch):
    """Routes the module's requests through real httpx clients on a MockTransport.

    Set mock_http.handler to a function of the request; every client made is
    kept in mock_http.clients.
    """
    shim = support.MockHttpx()
    monkeypatch.setattr(fb, "httpx", shim)
    return shim


@pytest.fixture
def app(monkeypatch):
    """A fresh application object, the one env.get_app() returns for the test."""
    env = importlib.import_module("tavrin.env")
    fresh = env.App()
    monkeypatch.setattr(env, "_app", fresh)
    return fresh


@pytest.fixture
def svc(fb):
    """The loopback stand-ins, configured like the test application (the
    functions stand-in holds the test private key), with the module routed
    to them for the test."""
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
