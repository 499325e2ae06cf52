"""The pytest plugin's guard in an application's test run: no request reaches a
production host's transport without the opt-out, whatever the scopes and routing."""
import json
import os
from pathlib import Path

pytest_plugins = ["pytester"]

# httpx's real transport records and refuses every request for a host other
# than the loopback: nothing is sent.
CONFTEST = """
import json, pathlib, httpx
REACHED, _send = [], httpx.AsyncHTTPTransport.handle_async_request
async def _spy(self, request):
    if request.url.host == "127.0.0.1":
        return await _send(self, request)
    REACHED.append(request.url.host)
    raise httpx.ConnectError("spy: not sent", request=request)
httpx.AsyncHTTPTransport.handle_async_request = _spy
def pytest_sessionfinish(session):
    pathlib.Path("reached.json").write_text(json.dumps(REACHED))
"""

TESTS = """
import asyncio, contextlib, httpx, pytest
from firebase_standins import route, routed, unroute
from firebase_standins.pytest_plugin import production_allowed
from tavrin import firebase as fb
from tavrin.firebase_pool import pooled

def sign_in(refused=None):
    with pytest.raises(refused) if refused else contextlib.nullcontext():
        return asyncio.run(fb.auth_sign_in("ada@example.com", "secret-1"))
GUARD, SPY = pytest.fail.Exception, httpx.ConnectError
@pytest.fixture(scope="session")
def signed_in_once():
    return sign_in()
@pytest.fixture(scope="module")
def allowed_once():
    with production_allowed():
        sign_in(SPY)
def test_a_session_fixture_is_guarded(signed_in_once): pass
def test_a_module_fixture_may_opt_out(allowed_once):
    sign_in(GUARD)
def test_routing_unwinds_to_the_guard(firebase_standins):
    firebase_standins.accounts.create("ada@example.com", "secret-1")
    fixture_shim = fb.httpx
    with routed(fb, firebase_standins) as outer:
        with routed(fb, firebase_standins) as inner:
            assert fb.httpx is inner and sign_in()["localId"]
        assert fb.httpx is outer
    assert fb.httpx is fixture_shim and sign_in()["localId"]
    route(fb, firebase_standins)
    unroute(fb)
    sign_in(GUARD)
@pytest.mark.firebase_production
def test_a_marked_test_may_opt_out():
    assert fb.httpx is httpx
    sign_in(SPY)
@pytest.fixture(scope="module")
def kept_pool():  # a pool over the guard, kept across tests
    with asyncio.Runner() as runner:
        stack = contextlib.AsyncExitStack()
        yield runner.run(stack.enter_async_context(pooled()))
        runner.run(stack.aclose())
@pytest.mark.firebase_production
def test_a_marked_test_may_opt_out_under_a_kept_pool(kept_pool):
    sign_in(SPY)
def test_a_test_binds_the_real_httpx_itself():
    fb.httpx = httpx  # e.g. an application's own fixture undoing its mock
def test_the_guard_is_back_after_either():
    sign_in(GUARD)
"""


def test_the_guard_holds_for_every_scope_and_routing(pytester, fb, monkeypatch):
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(
        [str(Path(fb.__file__).parent.parent), str(Path(__file__).parent.parent / "standins")]))
    pytester.makeconftest(CONFTEST)
    pytester.makepyfile(test_app=TESTS)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-p", "no:asyncio",
                                           "-p", "firebase_standins.pytest_plugin")
    result.assert_outcomes(passed=6, errors=1)
    result.stdout.fnmatch_lines([
        "*ERROR at setup of test_a_session_fixture_is_guarded*",
        "*tavrin.firebase tried to send POST https://identitytoolkit.googleapis.com/v1/accounts:"
        "signInWithPassword outside the firebase_standins fixtures*firebase_production*"])
    # Only the three opted-out sign-ins reached a transport.
    reached = json.loads((pytester.path / "reached.json").read_text())
    assert reached == ["identitytoolkit.googleapis.com"] * 3
