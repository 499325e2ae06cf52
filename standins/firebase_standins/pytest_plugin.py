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

Outside these fixtures the module sends nothing: from the start of the
session to its end (once the module imports) its httpx is a guard, which
routing keeps underneath and gives back, so that an operation awaited
outside the fixtures, in a test or in a fixture of any scope, fails at once,
naming the host and the fixture to use. A test marked
``@pytest.mark.firebase_production``, and a block ``with
production_allowed():`` in a fixture of any scope, run with the module's
own httpx and so may reach the production Firebase hosts. The ini option
``firebase_module`` names another module to guard.
"""

from __future__ import annotations

import contextlib
import importlib
import sys

import httpx
import pytest

from .config import StandinConfig
from .emulator import AuthEmulator, EmulatorUnavailable, FunctionsEmulator
from .routing import _MISSING, rebind, route, routed, under_pools
from .server import ServicesThread

PRODUCTION_MARKER = "firebase_production"
MODULE_OPTION = "firebase_module"


def pytest_addoption(parser):
    parser.addini(MODULE_OPTION, default="tavrin.firebase",
                  help="the module whose requests the firebase_standins plugin guards and "
                       "routes (default: tavrin.firebase)")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", f"{PRODUCTION_MARKER}: tavrin.firebase may reach the production Firebase "
        "hosts in this test (the firebase_standins plugin does not stop its requests)")


def _module_name(config) -> str:
    try:
        return config.getini(MODULE_OPTION)
    except ValueError:  # fixtures imported by a test module, the plugin not loaded
        return "tavrin.firebase"


@pytest.fixture
def firebase_module(request):
    """The module under test: the application's tavrin.firebase (or the
    module the ini option firebase_module names)."""
    return importlib.import_module(_module_name(request.config))


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


# ---- the production guard ----------------------------------------------------


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
            f"or mark the test @pytest.mark.{PRODUCTION_MARKER} to let it through "
            "(a fixture: with production_allowed():).",
            pytrace=False)


class ProductionGuard:
    """The module's httpx for the whole session, under any routing: every
    client it makes refuses every request. Not a routing shim, so route()
    keeps it as the binding to give back and unroute() gives it back."""

    def __init__(self, module):
        self.module = module
        self.original = module.__dict__.get("httpx", _MISSING)  # the module's own

    def AsyncClient(self, *args, **kwargs) -> httpx.AsyncClient:  # noqa: N802 (httpx's name)
        return httpx.AsyncClient(transport=_ProductionRefused(self.module.__name__))

    def __getattr__(self, name):
        return getattr(httpx, name)

    def __repr__(self) -> str:
        return "<httpx of no Firebase host: use a firebase_standins fixture>"


_guard: ProductionGuard | None = None
_allowed = 0  # production_allowed() blocks open


def _bind_guard(config, retry_import: bool) -> None:
    """Binds the guard once the module imports: the application's conftest
    may set up its path only during collection."""
    global _guard
    name = _module_name(config)
    if _guard is not None:
        # A test or fixture that bound the module's own httpx back itself
        # (undoing a mock by hand) gets the guard back for the next test.
        module = _guard.module
        if not _allowed and module.__dict__.get("httpx", _MISSING) is _guard.original:
            module.httpx = _guard
        return
    if not (retry_import or name in sys.modules):
        return
    try:
        module = importlib.import_module(name)
    except Exception:  # noqa: BLE001 (not importable yet, or no such module here)
        return
    _guard = ProductionGuard(module)
    module.httpx = _guard


@pytest.hookimpl(trylast=True)
def pytest_sessionstart(session):
    _bind_guard(session.config, retry_import=True)


def pytest_collection_finish(session):
    _bind_guard(session.config, retry_import=True)


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_setup(item):
    # Before any fixture of the test, also a session-scoped one.
    _bind_guard(item.config, retry_import=False)


def pytest_sessionfinish(session):
    global _guard
    if _guard is not None:
        rebind(_guard.module, _guard.original)
        _guard = None


@contextlib.contextmanager
def production_allowed():
    """`with production_allowed():` lets the module reach the production
    hosts for the block (in a fixture of any scope; a test uses the marker
    firebase_production): the module's own httpx is bound in the guard's
    place, or in that of a pooled() block entered over the guard, which
    comes back after. Routing bound meanwhile is left alone."""
    global _allowed
    guard = _guard
    current = None if guard is None else guard.module.__dict__.get("httpx")
    # A tavrin.firebase_pool block entered over the guard (kept across
    # tests) is hidden for the block, as routing hides it, and comes back.
    if guard is None or under_pools(current) is not guard:
        yield
        return
    rebind(guard.module, guard.original)
    _allowed += 1
    try:
        yield
    finally:
        _allowed -= 1
        guard.module.httpx = current


@pytest.fixture(autouse=True)
def _firebase_production_allowed(request):
    """A test marked firebase_production runs with the module's own httpx."""
    if request.node.get_closest_marker(PRODUCTION_MARKER) is None:
        yield
        return
    with production_allowed():
        yield


@pytest.fixture
def firebase_standins(firebase_module, firebase_standins_config):
    """The stand-ins of the four services, running for the test, with the
    module's requests routed to them: a ServicesThread (.accounts, .outbox,
    .documents, .functions, .requests, .make_id_token(uid, exp=...),
    .revoke_refresh_token(token))."""
    with ServicesThread(firebase_standins_config) as svc, routed(firebase_module, svc):
        yield svc


def _running(kind):
    try:
        return kind.from_environment().wait()
    except EmulatorUnavailable as missing:
        if missing.failed:
            pytest.fail(f"Firebase {kind.kind} emulator: {missing.reason}", pytrace=False)
        pytest.skip(f"Firebase {kind.kind} emulator not available: {missing.reason}")


@pytest.fixture(scope="session")
def _firebase_emulator_found() -> AuthEmulator:
    emulator = _running(AuthEmulator)
    try:
        return emulator.find_project()
    except EmulatorUnavailable as mismatch:
        pytest.fail(f"Firebase Auth emulator: {mismatch.reason}", pytrace=False)


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
    emulator.standins = firebase_standins
    with routed(firebase_module, firebase_standins, emulator=emulator):
        yield emulator


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
