"""ensure_valid_token: the refresh window, the two handlers and the cleared login."""
import asyncio
import base64
import importlib
import json
import logging
import time

import httpx
import pytest

from support import entries

T = 1_900_000_000.75  # the frozen clock: int() of it is what the body compares with
REFRESH_FAILED = "\nToken refresh failed: {}. Please log in again."
INVALID = "\nError validating session. Please log in again."
LOGGED = "Error checking token expiry: {}. Assuming token is invalid."
TOKEN_LINES = [("refresh_id_token", 319), ("tavrin.firebase.refresh_id_token", 321)]
CANCELLED = [("ensure_valid_token", 348), ("refresh_id_token", 319),
             ("tavrin.firebase.refresh_id_token", 320)]


@pytest.fixture(autouse=True)
def clock(monkeypatch):
    monkeypatch.setattr(time, "time", lambda: T)


def env():
    return importlib.import_module("tavrin.env")


def jwt(claims):
    body = base64.urlsafe_b64encode(json.dumps(claims).encode()).decode().rstrip("=")
    return "e30." + body + ".sig"


def expiring(left):
    return jwt({"exp": int(T) + left})


def validate(fb):
    return asyncio.run(fb.ensure_valid_token())


def login(app, id_token, refresh_token="r1", user_id="u1"):
    app.firebase_id_token, app.firebase_refresh_token, app.user_id = id_token, refresh_token, user_id


def state(app):
    return app.firebase_id_token, app.firebase_refresh_token, app.user_id


@pytest.fixture
def spy(fb, monkeypatch):
    """Wraps the module's refresh_id_token (looked up by name) and keeps what it raised."""
    original, raised = fb.refresh_id_token, []

    async def refresh(token):
        try:
            return await original(token)
        except BaseException as e:
            raised.append(e)
            raise
    monkeypatch.setattr(fb, "refresh_id_token", refresh)
    return raised


def answer(mock_http, status, reply=None):
    mock_http.handler = lambda request: httpx.Response(status, json=reply or {})


# -- when nothing is done (a token missing, or 300 s left) -----------------------------------------------------

@pytest.mark.parametrize("id_token, refresh_token", [
    (None, "r1"), ("", "r1"), (0, "r1"), (expiring(-10), None), (expiring(-10), ""),
    (expiring(-10), []), (expiring(300), "r1"),
], ids=["none", "empty", "zero", "no refresh", "empty refresh", "list refresh", "300s left"])
def test_nothing_to_do(fb, app, mock_http, caplog, id_token, refresh_token):
    login(app, id_token, refresh_token)
    assert validate(fb) is None
    assert state(app) == (id_token, refresh_token, "u1")
    assert (mock_http.requests, app.messages, caplog.records) == ([], [], [])


class NoRefreshToken:
    firebase_id_token = ""

    @property
    def firebase_refresh_token(self):
        raise AssertionError("refresh token read")


def test_refresh_token_is_not_read_after_a_falsy_id_token(fb, monkeypatch):
    monkeypatch.setattr(env(), "_app", NoRefreshToken())
    assert validate(fb) is None


# -- refresh over the stand-ins -----------------------------------------------

@pytest.mark.parametrize("id_token", [
    expiring(299), expiring(-1), jwt({"iat": 1}), "not-a-token", "a.b!.c",
], ids=["299s", "expired", "no exp", "one segment", "undecodable"])
def test_refresh_stores_both_tokens(fb, app, svc, user, caplog, id_token):
    login(app, id_token, user.refresh_token, user.uid)
    assert validate(fb) is None
    assert [(r.method, r.path) for r in svc.requests] == [("POST", "/v1/token")]
    new = app.firebase_id_token
    assert new != id_token and svc.accounts.verify_id_token(new)["user_id"] == user.uid
    assert state(app)[1:] == (user.refresh_token, user.uid)
    assert (app.messages, caplog.records) == ([], [])


def test_refused_refresh_clears_the_login(fb, app, svc, user, spy, caplog):
    svc.revoke_refresh_token(user.refresh_token)
    login(app, expiring(10), user.refresh_token, user.uid)
    assert validate(fb) is None
    (error,) = spy
    assert isinstance(error, httpx.HTTPStatusError) and error.response.status_code == 400
    assert app.messages == [(REFRESH_FAILED.format(error), "red")]
    assert "Client error '400 Bad Request'" in app.messages[0][0]
    assert state(app) == (None, None, None)
    assert caplog.records == []
    assert entries(error) == [("tavrin.firebase.ensure_valid_token", 348)] + TOKEN_LINES


@pytest.mark.parametrize("reply, stored", [
    ({"id_token": "new"}, ("new", None)),
    ({}, (None, None)),
    ({"refresh_token": "r2", "other": 1}, (None, "r2")),
])
def test_reply_missing_a_token_stores_none(fb, app, mock_http, reply, stored):
    answer(mock_http, 200, reply)
    login(app, expiring(0))
    validate(fb)
    assert state(app) == stored + ("u1",)
    validate(fb)  # with a token missing the next run stops at once
    assert len(mock_http.requests) == 1


# -- held refreshes: runs that overlap a newer login or each other, a cancellation --

@pytest.mark.parametrize("outcomes, relogin, final, shown", [
    (["ok"], True, ("idB", "rB", "uB"), 0), (["fail"], True, ("idB", "rB", "uB"), 0),
    (["ok", "fail"], False, ("id0", "r0", "u1"), 0), (["ok", "ok"], False, ("id0", "r0", "u1"), 0),
    (["fail", "ok"], False, (None, None, None), 1), (["cancel"], False, (expiring(0), "r1", "u1"), 0),
])
def test_held_refreshes(fb, app, mock_http, caplog, outcomes, relogin, final, shown):
    """Refresh n is held until run n is released (or cancelled), in order;
    with relogin, B logs in while the one run's refresh is in flight. A
    cancellation is not absorbed; a run whose login was replaced changes
    nothing."""
    gates = [asyncio.Event() for _ in outcomes]

    async def handler(request):
        n = len(mock_http.requests) - 1
        await gates[n].wait()
        return httpx.Response(200 if outcomes[n] == "ok" else 400,
                              json={"id_token": f"id{n}", "refresh_token": f"r{n}"})
    mock_http.handler = handler
    login(app, expiring(0))

    async def main():
        runs = [asyncio.create_task(fb.ensure_valid_token()) for _ in outcomes]
        while len(mock_http.requests) < len(runs):
            await asyncio.sleep(0)
        if relogin:
            login(app, "idB", "rB", "uB")
        for gate, run, outcome in zip(gates, runs, outcomes):
            run.cancel() if outcome == "cancel" else gate.set()
            await asyncio.wait([run])
        return runs
    runs = asyncio.run(main())
    if outcomes == ["cancel"]:
        with pytest.raises(asyncio.CancelledError) as info:
            runs[0].result()
        assert entries(info.value) == CANCELLED
    else:
        assert [run.result() for run in runs] == [None] * len(runs)
    assert all(c.is_closed for c in mock_http.clients)
    assert (state(app), len(app.messages), caplog.records) == (final, shown, [])


def test_failure_after_storing_the_id_token_still_clears(fb, app, monkeypatch):
    class Half(dict):
        def get(self, key):
            return {"id_token": "stored"}[key]
    monkeypatch.setattr(fb, "refresh_id_token", lambda token: asyncio.sleep(0, Half()))
    login(app, expiring(0))
    validate(fb)
    assert app.messages == [(REFRESH_FAILED.format("'refresh_token'"), "red")]
    assert state(app) == (None, None, None)


# -- the outer handler --------------------------------------------------------

def raiser(error):
    def raising(*args):
        raise error
    return raising


@pytest.mark.parametrize("where, value, text, line", [
    ("get_token_expiry", None, "name 'get_token_expiry' is not defined", None),
    ("get_token_expiry", RuntimeError("expiry broke"), "expiry broke", 343),
    ("time", OSError("no clock"), "no clock", 344),
    ("get_token_expiry", "soon", "unsupported operand type(s) for -: 'str' and 'int'", None),
])
def test_failed_check_logs_and_clears(fb, app, mock_http, caplog, monkeypatch,
                                      where, value, text, line):
    login(app, expiring(0))
    if value is None:
        monkeypatch.delattr(fb, where)
    else:
        raising = raiser(value) if isinstance(value, Exception) else lambda *args: value
        monkeypatch.setattr(*((time, "time") if where == "time" else (fb, where)), raising)
    assert validate(fb) is None
    assert caplog.record_tuples == [("root", logging.ERROR, LOGGED.format(text))]
    assert app.messages == [(INVALID, "red")]
    assert state(app) == (None, None, None) and mock_http.requests == []
    if line is not None:
        assert entries(value) == [("tavrin.firebase.ensure_valid_token", line)]


def test_print_failing_for_the_refresh_message_only(fb, app, mock_http, caplog):
    answer(mock_http, 400)
    error = RuntimeError("print broke")
    shown = []

    def show(message, style=None):
        if message.startswith("\nToken refresh failed: "):
            raise error
        shown.append((message, style))
    app.print = show
    login(app, expiring(0))
    assert validate(fb) is None
    assert caplog.record_tuples == [("root", logging.ERROR, LOGGED.format("print broke"))]
    assert shown == [(INVALID, "red")] and state(app) == (None, None, None)
    assert entries(error) == [("tavrin.firebase.ensure_valid_token", 353)]
    assert isinstance(error.__context__, httpx.HTTPStatusError)


def print_failing(app, monkeypatch):
    def show(message, style=None):
        raise RuntimeError(message)
    app.print = show


def sticky_user(app, monkeypatch):
    monkeypatch.setattr(type(app), "user_id", property(lambda self: "u1"), raising=False)


@pytest.mark.parametrize("setup, error, lines, final", [
    (print_failing, RuntimeError, (360, 353), (expiring(0), "r1", "u1")),
    (sticky_user, AttributeError, (362, 355), (None, "r1", "u1")),
], ids=["print fails", "user_id cannot be set"])
def test_failure_inside_the_outer_handler_propagates(fb, app, mock_http, caplog, monkeypatch,
                                                     setup, error, lines, final):
    answer(mock_http, 400)
    login(app, expiring(0))
    setup(app, monkeypatch)
    with pytest.raises(error) as info:
        validate(fb)
    outer, inner = info.value, info.value.__context__
    assert (entries(outer), entries(inner)) == ([("ensure_valid_token", lines[0])],
                                                [("tavrin.firebase.ensure_valid_token", lines[1])])
    assert type(inner) is error and isinstance(inner.__context__, httpx.HTTPStatusError)
    tried = [m for m, _ in app.messages] + [str(e) for e in (inner, outer) if type(e) is RuntimeError]
    assert tried[0].startswith("\nToken refresh failed: ") and tried[1:] == [INVALID]
    assert (state(app), len(caplog.records)) == (final, 1)


# -- what passes through --------------------------------------------------------

class Untestable:
    def __bool__(self):
        raise ZeroDivisionError("truth")


def no_get_app(app, monkeypatch):
    monkeypatch.delattr(env(), "get_app")


def failing_get_app(app, monkeypatch):
    monkeypatch.setattr(env(), "get_app", lambda: {}["app"])


def untestable_token(app, monkeypatch):
    login(app, Untestable())


@pytest.mark.parametrize("setup, error, line", [
    (no_get_app, ImportError, 335), (failing_get_app, KeyError, 337),
    (untestable_token, ZeroDivisionError, 339),
])
def test_failures_before_the_check_propagate(fb, app, caplog, monkeypatch, setup, error, line):
    setup(app, monkeypatch)
    with pytest.raises(error) as info:
        validate(fb)
    assert entries(info.value) == [("ensure_valid_token", line)]
    assert (app.messages, caplog.records) == ([], [])
