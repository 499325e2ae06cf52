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

Outside these fixtures the module sends nothing: a test that awaits one of
its operations without them fails at once, naming the host and the fixture
to use. A test marked ``@pytest.mark.firebase_production`` is left alone
and so may reach the production Firebase hosts.
"""

from __future__ import annotations

import importlib

import httpx
import pytest

from .config import StandinConfig
from .emulator import AuthEmulator, EmulatorUnavailable, FunctionsEmulator
from .routing import HttpxShim, route, unroute
from .server import ServicesThread

PRODUCTION_MARKER = "firebase_production"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", f"{PRODUCTION_MARKER}: tavrin.firebase may reach the production Firebase "
        "hosts in this test (the firebase_standins plugin does not stop its requests)")


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


class _ProductionRefused(httpx.AsyncBaseTransport):
    def __init__(self, module_name: str):
        self.module_name = module_name

    async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
        # pytest's own failure: the module and the application let it
        # through where they would handle an httpx error or an Exception.
        pytest.fail(
            f"{self.module_name} tried to send {request.method} {request.url.scheme}://"
            f"{request.url.host}{request.url.path} outside the firebase_standins fixtures: "
            "a test must not reach the production Firebase hosts. Use the fixture "
            "firebase_standins (or firebase_auth_emulator, firebase_functions_emulator), "
            f"or mark the test @pytest.mark.{PRODUCTION_MARKER} to let it through.",
            pytrace=False)


class _ProductionGuard(HttpxShim):
    """The module's httpx while no fixture routes it: every request fails."""

    def __init__(self, module, original):
        super().__init__(None, original)
        self.module_name = module.__name__

    def transport(self, **pool) -> httpx.AsyncBaseTransport:
        return _ProductionRefused(self.module_name)

    def __repr__(self) -> str:
        return "<httpx of no Firebase host: use a firebase_standins fixture>"


@pytest.fixture(autouse=True)
def _firebase_production_guard(request):
    """Every test: the module's requests fail unless a fixture routes them
    or the test is marked firebase_production."""
    if request.node.get_closest_marker(PRODUCTION_MARKER) is not None:
        yield
        return
    try:
        module = request.getfixturevalue("firebase_module")
    except Exception:  # noqa: BLE001 (no module to guard in this project)
        yield
        return
    module.httpx = _ProductionGuard(module, module.httpx)
    try:
        yield
    finally:
        unroute(module)


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
