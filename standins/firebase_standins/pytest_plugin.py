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
                              whose `standins` is the ServicesThread
    firebase_functions_emulator
                              as firebase_auth_emulator, and the official
                              Functions emulator named by
                              FIREBASE_FUNCTIONS_EMULATOR_HOST (or listed by
                              the hub of `firebase emulators:exec`) answers
                              for the functions hosts, serving your own
                              functions: a FunctionsEmulator whose `auth` is
                              the AuthEmulator and `standins` the
                              ServicesThread

A test that asks for an emulator that is not there is skipped, with the
reason. Each fixture gives the module its own httpx back when the test ends.
"""

from __future__ import annotations

import importlib

import pytest

from .config import StandinConfig
from .emulator import AuthEmulator, EmulatorUnavailable, FunctionsEmulator
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
    """The stand-ins of the four services, running for the test, with the
    module's requests routed to them: a ServicesThread (.accounts, .outbox,
    .documents, .functions, .requests, .make_id_token(uid, exp=...),
    .revoke_refresh_token(token))."""
    with ServicesThread(firebase_standins_config) as svc:
        route(firebase_module, svc)
        try:
            yield svc
        finally:
            unroute(firebase_module)


def _running(kind):
    try:
        return kind.from_environment().wait()
    except EmulatorUnavailable as missing:
        if missing.failed:
            pytest.fail(f"Firebase {kind.kind} emulator: {missing.reason}", pytrace=False)
        pytest.skip(f"Firebase {kind.kind} emulator not available: {missing.reason}")


@pytest.fixture(scope="session")
def _firebase_emulator_found() -> AuthEmulator:
    return _running(AuthEmulator)


@pytest.fixture(scope="session")
def _firebase_functions_emulator_found() -> FunctionsEmulator:
    return _running(FunctionsEmulator)


@pytest.fixture
def firebase_auth_emulator(firebase_module, firebase_standins, _firebase_emulator_found):
    """The Auth emulator of FIREBASE_AUTH_EMULATOR_HOST for the identity and
    secure-token hosts (its accounts deleted first), the stand-ins for the
    others: an AuthEmulator (.oob_codes(), .with_expiry(id_token, exp),
    .standins)."""
    emulator = _firebase_emulator_found
    emulator.clear()
    route(firebase_module, firebase_standins, emulator=emulator)
    emulator.standins = firebase_standins
    try:
        yield emulator
    finally:
        route(firebase_module, firebase_standins)


@pytest.fixture
def firebase_functions_emulator(firebase_module, firebase_auth_emulator,
                                _firebase_functions_emulator_found):
    """The Functions emulator of FIREBASE_FUNCTIONS_EMULATOR_HOST for the
    functions hosts (https://REGION-PROJECT.cloudfunctions.net/NAME is
    served there as /PROJECT/REGION/NAME: start it with the project of your
    configuration), the Auth emulator for the identity and secure-token
    hosts, the stand-ins for the documents: a FunctionsEmulator (.auth,
    .standins)."""
    emulator = _firebase_functions_emulator_found
    emulator.auth, emulator.standins = firebase_auth_emulator, firebase_auth_emulator.standins
    route(firebase_module, emulator.standins, emulator=emulator.auth,
          functions_emulator=emulator)
    return emulator
