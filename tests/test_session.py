"""ensure_valid_token: the refresh window, the two handlers and the cleared login."""
import asyncio
import logging
import time
from unittest.mock import Mock

import httpx
import pytest

from support import Touchy, entries, jwt
from tavrin import env

T = 1_900_000_000.75  # the frozen clock: int() of it is what the body compares with
REFRESH_FAILED = "\nToken refresh failed: {}. Please log in again."
INVALID = "\nError validating session. Please log in again."
LOGGED = "Error checking token expiry: {}. Assuming token is invalid."


@pytest.fixture(autouse=True)
def clock(monkeypatch):
    monkeypatch.setattr(time, "time", lambda: T)


def expiring(left):
    return jwt({"exp": int(T) + left})


def validate(fb):
    return asyncio.run(fb.ensure_valid_token())


def login(app, id_token, refresh_token="r1", user_id="u1"):
    app.firebase_id_token, app.firebase_refresh_token, app.user_id = id_token, refresh_token, user_id


def state(app):
    return app.firebase_id_token, app.firebase_refresh_token, app.user_id


def answer(mock_http, status, reply=None):
    mock_http.handler = lambda request: httpx.Response(status, json=reply or {})


# -- the refresh window, and what a refresh reply leaves stored ------------------

FULL = {"id_token": "new", "refresh_token": "r2", "other": 1}
E = expiring(0)


@pytest.mark.parametrize("id_token, refresh_token, reply, stored", [
    # nothing to do: a token missing, or 300 s left
    (None, "r1", None, None), ("", "r1", None, None), (0, "r1", None, None),
    (E, None, None, None), (E, "", None, None), (E, [], None, None),
    (expiring(300), "r1", None, None),
    # refreshed: 299 s left, expired, or no readable expiry
    (expiring(299), "r1", FULL, ("new", "r2")), (expiring(-1), "r1", FULL, ("new", "r2")),
    (jwt({"iat": 1}), "r1", FULL, ("new", "r2")), ("a.b!.c", "r1", FULL, ("new", "r2")),
    # a token missing from the reply is stored as None
    (E, "r1", {"id_token": "new"}, ("new", None)), (E, "r1", {}, (None, None)),
    (E, "r1", {"refresh_token": "r2"}, (None, "r2")),
])
def test_refresh_window_and_reply(fb, app, mock_http, caplog, id_token, refresh_token, reply,
                                  stored):
    answer(mock_http, 200, reply)
    login(app, id_token, refresh_token)
    assert validate(fb) is None
    assert [r.content for r in mock_http.requests] == (
        [] if reply is None else [b"grant_type=refresh_token&refresh_token=r1"])
    assert state(app) == (stored or (id_token, refresh_token)) + ("u1",)
    assert (app.messages, caplog.records) == ([], [])


def test_refresh_token_is_not_read_after_a_falsy_id_token(fb, monkeypatch):
    unread = property(lambda self: pytest.fail("refresh token read"))
    login = type("Login", (), {"firebase_id_token": "", "firebase_refresh_token": unread})
    monkeypatch.setattr(env, "_app", login())
    assert validate(fb) is None


# -- held refreshes: runs that overlap a newer login or each other, a cancellation --

@pytest.mark.parametrize("outcomes, relogin, final, shown", [
    (["ok"], True, ("idB", "rB", "uB"), 0), (["fail"], True, ("idB", "rB", "uB"), 0),
    (["ok", "fail"], False, ("id0", "r0", "u1"), 0), (["ok", "ok"], False, ("id0", "r0", "u1"), 0),
    (["fail", "ok"], False, (None, None, None), 1), (["cancel"], False, (E, "r1", "u1"), 0),
])
def test_held_refreshes(fb, app, mock_http, caplog, outcomes, relogin, final, shown):
    """Refresh n is held until run n is released (or cancelled), in order; with relogin,
    B logs in meanwhile. A run whose login was replaced changes nothing."""
    gates = [asyncio.Event() for _ in outcomes]

    async def handler(request):
        n = len(mock_http.requests) - 1
        await gates[n].wait()
        return httpx.Response(200 if outcomes[n] == "ok" else 400,
                              json={"id_token": f"id{n}", "refresh_token": f"r{n}"})
    mock_http.handler = handler
    login(app, E)

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
        assert entries(info.value) == [("ensure_valid_token", 348), ("refresh_id_token", 319),
                                       ("tavrin.firebase.refresh_id_token", 320)]
    else:
        assert [run.result() for run in runs] == [None] * len(runs)
    assert all(c.is_closed for c in mock_http.clients)
    assert (state(app), len(app.messages), caplog.records) == (final, shown, [])


def test_failure_after_storing_the_id_token_still_clears(fb, app, monkeypatch):
    class Half(dict):
        def get(self, key):
            return {"id_token": "stored"}[key]
    monkeypatch.setattr(fb, "refresh_id_token", lambda token: asyncio.sleep(0, Half()))
    login(app, E)
    validate(fb)
    assert app.messages == [(REFRESH_FAILED.format("'refresh_token'"), "red")]
    assert state(app) == (None, None, None)


class Kept(env.App):
    """Keeps its ID token as bytes, as an application over stored data may: every read
    gives a new str, equal to the last one (of type `kind`)."""

    kind = str
    firebase_id_token = property(
        lambda self: self._id and self.kind(self._id.decode()),
        lambda self, token: setattr(self, "_id", token and token.encode()))


@pytest.mark.parametrize("kind, status, final, shown, logged", [
    (str, 200, ("new", "r2", "u1"), [], []),
    (str, 400, (None, None, None), ["\nToken refresh failed: Client error '400 "], []),
    # a comparison that fails is a failure of the check
    (Touchy, 200, (None, None, None), [INVALID], [LOGGED.format("no comparing")]),
    (Touchy, 400, (None, None, None), [INVALID], [LOGGED.format("no comparing")]),
])
def test_a_login_read_anew_is_the_same_login(fb, mock_http, caplog, monkeypatch,
                                             kind, status, final, shown, logged):
    app = Kept()
    app.kind = kind
    monkeypatch.setattr(env, "_app", app)
    answer(mock_http, status, FULL)
    login(app, E)
    assert validate(fb) is None
    assert state(app) == final and len(app.messages) == len(shown)
    assert all(m.startswith(start) for (m, _), start in zip(app.messages, shown))
    assert [r.message for r in caplog.records] == logged


# -- the outer handler --------------------------------------------------------

@pytest.mark.parametrize("where, value, text, line", [
    ("get_token_expiry", None, "name 'get_token_expiry' is not defined", None),
    ("get_token_expiry", Mock(side_effect=RuntimeError("expiry broke")), "expiry broke", 343),
    ("time", Mock(side_effect=OSError("no clock")), "no clock", 344),
    ("get_token_expiry", Mock(return_value="soon"),
     "unsupported operand type(s) for -: 'str' and 'int'", None),
])
def test_failed_check_logs_and_clears(fb, app, mock_http, caplog, monkeypatch,
                                      where, value, text, line):
    login(app, E)
    if value is None:
        monkeypatch.delattr(fb, where)
    else:
        monkeypatch.setattr(time if where == "time" else fb, where, value)
    assert validate(fb) is None
    assert caplog.record_tuples == [("root", logging.ERROR, LOGGED.format(text))]
    assert app.messages == [(INVALID, "red")]
    assert state(app) == (None, None, None) and mock_http.requests == []
    if line is not None:
        assert entries(value.side_effect) == [("tavrin.firebase.ensure_valid_token", line)]


@pytest.mark.parametrize("fails, error, lines, final", [
    ("\nToken refresh failed: ", None, [353], (None, None, None)),
    ("\n", RuntimeError, [360, 353], (E, "r1", "u1")),
    ("user_id", AttributeError, [362, 355], (None, "r1", "u1")),
], ids=["refresh message", "every message", "user_id cannot be set"])
def test_failures_inside_the_handlers(fb, app, mock_http, caplog, monkeypatch,
                                      fails, error, lines, final):
    """What fails in the refresh handler goes to the outer one; what fails there propagates."""
    answer(mock_http, 400)
    login(app, E)
    tried, raised = [], []

    def show(message, style=None):
        tried.append(message)
        if message.startswith(fails):
            raised.append(RuntimeError("print broke"))
            raise raised[-1]
    app.print = show
    if fails == "user_id":
        monkeypatch.setattr(type(app), "user_id", property(lambda self: "u1"), raising=False)
    if error is None:
        assert validate(fb) is None
        inner = raised[0]
    else:
        with pytest.raises(error) as info:
            validate(fb)
        inner = info.value.__context__
        assert entries(info.value) == [("ensure_valid_token", lines[0])]
    assert entries(inner) == [("tavrin.firebase.ensure_valid_token", lines[-1])]
    assert type(inner) is (error or RuntimeError)
    assert isinstance(inner.__context__, httpx.HTTPStatusError)
    assert caplog.record_tuples == [("root", logging.ERROR, LOGGED.format(inner))]
    assert tried[0].startswith("\nToken refresh failed: ") and tried[1:] == [INVALID]
    assert state(app) == final


# -- what passes through --------------------------------------------------------

class Untestable:
    def __bool__(self):
        raise ZeroDivisionError("truth")


@pytest.mark.parametrize("setup, error, line", [
    (lambda app, mp: mp.delattr(env, "get_app"), ImportError, 335),
    (lambda app, mp: mp.setattr(env, "get_app", lambda: {}["app"]), KeyError, 337),
    (lambda app, mp: login(app, Untestable()), ZeroDivisionError, 339),
])
def test_failures_before_the_check_propagate(fb, app, caplog, monkeypatch, setup, error, line):
    setup(app, monkeypatch)
    with pytest.raises(error) as info:
        validate(fb)
    assert entries(info.value) == [("ensure_valid_token", line)]
    assert (app.messages, caplog.records) == ([], [])
