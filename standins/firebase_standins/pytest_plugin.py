"""pytest fixtures for an application's own tests of tavrin.firebase.

Loaded by itself once firebase_standins is installed (``pip install
./standins``: the entry point in the pytest11 group), or with
``pytest_plugins = ["firebase_standins.pytest_plugin"]`` in the top-level
conftest.py of a project that has the standins directory on its path.

    firebase_module           the application's tavrin.firebase (override the
                              fixture to test a module of another name)
    firebase_standins_config  the StandinConfig the stand-ins run with: made
                              from the application's tavrin.firebase_config
                              and tavrin.env (override it to change the
                              config, e.g. to give the functions stand-in
                              the private half of your own server key)
    firebase_standins         the stand-ins of all four services, running for
                              the test, with firebase_module routed to them:
                              a started ServicesThread (svc.accounts,
                              svc.outbox, svc.documents, svc.functions,
                              svc.requests, svc.make_id_token(...), ...)
    firebase_auth_emulator    the official Firebase Auth emulator named by
                              FIREBASE_AUTH_EMULATOR_HOST answers for the
                              identity and secure-token hosts instead (its
                              accounts deleted first), the stand-ins for the
                              documents and functions hosts: an AuthEmulator
                              whose `standins` is the ServicesThread. The
                              test is skipped when no emulator is named.

Each fixture gives the module its own httpx back when the test ends.
"""

from __future__ import annotations

import importlib

import pytest

from .config import StandinConfig
from .emulator import AuthEmulator, EmulatorUnavailable
from .routing import route, unroute
from .server import ServicesThread


@pytest.fixture
def firebase_module():
    """The module under test: the application's tavrin.firebase."""
    return importlib.import_module("tavrin.firebase")


def _sibling(module, name):
    package = module.__name__.rpartition(".")[0]
    try:
        return importlib.import_module(f"{package}.{name}")
    except ImportError:
        return None


@pytest.fixture
def firebase_standins_config(firebase_module) -> StandinConfig:
    """The stand-ins accept what the application's configuration sends:
    its API key, project and region (firebase_config) and, when its env
    module has them, its function headers and version (env)."""
    config = _sibling(firebase_module, "firebase_config")
    env = _sibling(firebase_module, "env")
    if config is None:
        return StandinConfig()
    if env is not None and not all(hasattr(env, name) for name in (
            "AUTH_HEADER_NAME", "ENCRYPTED_AUTH_KEY", "ENCRYPTION_HEADER_NAME", "API_VERSION")):
        env = None
    return StandinConfig.from_config_module(config, env)


@pytest.fixture
def firebase_standins(firebase_module, firebase_standins_config):
    """The stand-ins, with the module's requests routed to them."""
    with ServicesThread(firebase_standins_config) as svc:
        route(firebase_module, svc)
        try:
            yield svc
        finally:
            unroute(firebase_module)


@pytest.fixture(scope="session")
def _firebase_emulator_found() -> AuthEmulator:
    try:
        return AuthEmulator.from_environment().wait()
    except EmulatorUnavailable as missing:
        if missing.failed:
            pytest.fail(f"Firebase Auth emulator: {missing.reason}", pytrace=False)
        pytest.skip(f"Firebase Auth emulator not available: {missing.reason}")


@pytest.fixture
def firebase_auth_emulator(firebase_module, firebase_standins, _firebase_emulator_found):
    """The Auth emulator for the identity and secure-token hosts, the
    stand-ins for the others."""
    emulator = _firebase_emulator_found
    emulator.clear()
    route(firebase_module, firebase_standins, emulator=emulator)
    emulator.standins = firebase_standins
    try:
        yield emulator
    finally:
        route(firebase_module, firebase_standins)
