"""The firebase_standins pytest plugin in an application's own test run: no
request of the module reaches a production host's transport without the
opt-out, whatever the fixtures' scopes and the routing."""
import json
import os
from pathlib import Path

pytest_plugins = ["pytester"]

STANDINS = Path(__file__).resolve().parent.parent / "standins"

# Every request that reaches httpx's real transport for a host other than
# the loopback is recorded and refused, never sent.
CONFTEST = """
import json
import httpx
from pathlib import Path

pytest_plugins = ["firebase_standins.pytest_plugin"]
REACHED = []
_send = httpx.AsyncHTTPTransport.handle_async_request

async def _spy(self, request):
    if request.url.host != "127.0.0.1":
        REACHED.append(request.url.host)
        raise httpx.ConnectError("spy: not sent", request=request)
    return await _send(self, request)

httpx.AsyncHTTPTransport.handle_async_request = _spy

def pytest_sessionfinish(session):
    Path("reached.json").write_text(json.dumps(REACHED))
"""

TESTS = """
import asyncio
import httpx
import pytest
from firebase_standins import ServicesThread, route, routed, unroute
from firebase_standins.pytest_plugin import production_allowed
from tavrin import firebase as fb

REFUSED = "outside the firebase_standins fixtures"

def sign_in():
    return asyncio.run(fb.auth_sign_in("ada@example.com", "secret-1"))

@pytest.fixture(scope="session")
def signed_in_once():
    return sign_in()

@pytest.fixture(scope="module")
def allowed_once():
    with production_allowed():
        with pytest.raises(httpx.ConnectError, match="spy"):
            sign_in()

def test_a_session_fixture_is_guarded(signed_in_once):
    pass

def test_a_module_fixture_may_opt_out(allowed_once):
    with pytest.raises(pytest.fail.Exception, match=REFUSED):
        sign_in()

def test_routing_unwinds_to_the_guard(firebase_standins):
    firebase_standins.accounts.create("ada@example.com", "secret-1")
    fixture_shim = fb.httpx
    with ServicesThread(firebase_standins.config) as other, routed(fb, other):
        with routed(fb, firebase_standins) as inner:
            assert fb.httpx is inner and sign_in()["localId"]
        with pytest.raises(httpx.HTTPStatusError):  # no such account at the other
            sign_in()
    assert fb.httpx is fixture_shim and sign_in()["localId"]
    route(fb, firebase_standins)
    unroute(fb)
    with pytest.raises(pytest.fail.Exception, match=REFUSED):
        sign_in()

@pytest.mark.firebase_production
def test_a_marked_test_may_opt_out():
    assert fb.httpx is httpx
    with pytest.raises(httpx.ConnectError, match="spy"):
        sign_in()

def test_the_guard_is_back_after_the_marked_test():
    with pytest.raises(pytest.fail.Exception, match=REFUSED):
        sign_in()
"""


def test_the_guard_holds_for_every_scope_and_routing(pytester, fb, monkeypatch):
    app_dir = Path(fb.__file__).parent.parent
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join([str(app_dir), str(STANDINS)]))
    pytester.makeconftest(CONFTEST)
    pytester.makepyfile(test_app=TESTS)
    result = pytester.runpytest_subprocess("-p", "no:cacheprovider", "-p", "no:asyncio")
    result.assert_outcomes(passed=4, errors=1)
    result.stdout.fnmatch_lines(["*ERROR at setup of test_a_session_fixture_is_guarded*",
                                 "*tried to send POST https://identitytoolkit.googleapis.com*"])
    # Only the two opted-out sign-ins reached a transport.
    reached = json.loads((pytester.path / "reached.json").read_text())
    assert reached == ["identitytoolkit.googleapis.com"] * 2
