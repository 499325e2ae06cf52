"""Sign-in and sign-up through the REST exchange."""
import asyncio
import builtins
import json

import httpx
import pytest

from support import IDENTITY, FakeClient, Suspend, entries

OPS = [("auth_sign_in", "signInWithPassword", 52), ("auth_sign_up", "signUp", 71)]
OP_IDS = ["sign_in", "sign_up"]


@pytest.fixture(params=OPS, ids=OP_IDS)
def op(request, fb):
    """(function, endpoint URL without the key, line of the URL statement)."""
    name, endpoint, line = request.param
    return getattr(fb, name), IDENTITY + endpoint + "?key=", line


def expected_entries(op, offset):
    """Entries of a failure `offset` lines below the client context statement."""
    func, _, url_line = op
    top = url_line + 1
    return [(func.__name__, top), ("tavrin.firebase." + func.__name__, top + offset)]


def done(fake, payload=None):
    """A fake client whose request completes at once with `payload`."""
    return fake.client(request=Suspend(fake.log, (), result=fake.response(payload=payload)))


# -- recorded calls (the request itself and its failures: test_operations) ----

class Formatted:
    def __format__(self, format_spec):
        assert format_spec == ""
        return "formatted"


class StrSub(str):
    def __format__(self, format_spec):
        return "via-format"


@pytest.mark.parametrize("key, text", [
    ("k y/é&x=1", "k y/é&x=1"), (12345, "12345"), (None, "None"),
    (Formatted(), "formatted"), (StrSub("raw"), "via-format"), (builtins, "builtin-key"),
])
def test_key_text_is_appended_unchanged(fb, op, fake, monkeypatch, key, text):
    """The key's text, from builtins when the module lacks it."""
    func, url, _ = op
    if key is builtins:
        monkeypatch.delattr(fb, "FIREBASE_API_KEY")
        monkeypatch.setattr(builtins, "FIREBASE_API_KEY", text, raising=False)
    else:
        monkeypatch.setattr(fb, "FIREBASE_API_KEY", key)
    done(fake)
    asyncio.run(func("a", "b"))
    assert fake.log[1][1] == url + text


@pytest.mark.parametrize("missing, line_offset", [("FIREBASE_API_KEY", 0), ("httpx", 1)])
def test_missing_name_fails_when_run_not_when_called(fb, op, monkeypatch, missing, line_offset):
    func, _, url_line = op
    monkeypatch.delattr(fb, missing)
    coro = func("a", "b")
    with pytest.raises(NameError) as info:
        coro.send(None)
    assert str(info.value) == f"name '{missing}' is not defined"
    assert entries(info.value) == [(func.__name__, url_line + line_offset)]


class NoExit:
    async def __aenter__(self):
        raise AssertionError("entered")


class NoEnter:
    async def __aexit__(self, *args):
        raise AssertionError("exited")


class InstanceOnly:
    def __init__(self):
        self.__aenter__ = NoExit.__aenter__.__get__(self)
        self.__aexit__ = NoEnter.__aexit__.__get__(self)


@pytest.mark.parametrize("client, missing", [
    (NoExit, "__aexit__"), (NoEnter, "__aenter__"), (object, "__aexit__"),
    (InstanceOnly, "__aexit__"),
])
def test_context_methods_are_looked_up_on_the_type(op, fake, client, missing):
    func, _, url_line = op
    fake.queue.append(client())
    with pytest.raises(AttributeError) as info:
        func("a", "b").send(None)
    assert info.value.args == (missing,)
    assert entries(info.value) == [(func.__name__, url_line + 1)]


def test_request_goes_to_what_enter_returned(op, fake):
    func, _, _ = op
    other_log = []
    other = FakeClient(other_log, request=Suspend(other_log, (), result=fake.response(payload=7)))
    fake.client(entered=other)
    assert asyncio.run(func("a", "b")) == 7
    assert [e[0] for e in other_log] == ["post"]
    assert [e[0] for e in fake.log] == ["enter", "raise_for_status", "json", "exit"]


def test_exit_that_suppresses_a_status_error_gives_none(op, fake):
    error = httpx.HTTPError("bad status")
    fake.client(request=Suspend(fake.log, (), result=fake.response(status_error=error)),
                suppress=1)
    assert asyncio.run(op[0]("a", "b")) is None
    assert [e[:3] for e in fake.log if e[0] == "exit"] == [("exit", httpx.HTTPError, error)]
    assert ("json", ()) not in fake.log


class Untestable:
    def __bool__(self):
        raise ZeroDivisionError("truth")


def test_failing_truth_test_of_the_exit_result_replaces_the_error(op, fake):
    fake.client(request=Suspend(fake.log, (), result=fake.response(status_error=KeyError("s"))),
                exit=Suspend(fake.log, (), result=Untestable()))
    with pytest.raises(ZeroDivisionError, match="^truth$"):
        asyncio.run(op[0]("a", "b"))
    assert len([e for e in fake.log if e[0] == "exit"]) == 1


def test_exit_failure_after_success_drops_the_reply(op, fake):
    error = OSError("close failed")
    fake.client(request=Suspend(fake.log, (), result=fake.response(payload={})),
                exit=Suspend(fake.log, (), error=error))
    with pytest.raises(OSError) as info:
        op[0]("a", "b").send(None)
    assert info.value is error
    assert entries(error) == [(op[0].__name__, op[2] + 1)]


def test_failed_request_closes_the_client_with_the_error(op, fake):
    error = httpx.ReadTimeout("slow")
    fake.client(request=Suspend(fake.log, (), error=error))
    with pytest.raises(httpx.ReadTimeout) as info:
        op[0]("a", "b").send(None)
    assert info.value is error
    assert [e[:3] for e in fake.log if e[0] == "exit"] == [("exit", httpx.ReadTimeout, error)]
    assert entries(error) == expected_entries(op, 1)


# -- real httpx on a MockTransport ------------------------------------------

def test_rebinding_the_key_changes_the_next_url(fb, op, mock_http, monkeypatch):
    func, url, _ = op
    asyncio.run(func("a", "b"))
    monkeypatch.setattr(fb, "FIREBASE_API_KEY", "second")
    asyncio.run(func("a", "b"))
    assert [str(r.url) for r in mock_http.requests] == [url + "test-api-key", url + "second"]


def test_concurrent_calls_use_their_own_clients(fb, mock_http):
    async def handler(request):
        await asyncio.sleep(0)
        return httpx.Response(200, json=json.loads(request.content)["email"])
    mock_http.handler = handler

    async def main():
        return await asyncio.gather(fb.auth_sign_in("one", "p"), fb.auth_sign_up("two", "p"))
    assert asyncio.run(main()) == ["one", "two"]
    first, second = mock_http.clients
    assert first is not second and first.is_closed and second.is_closed


def test_cancellation_in_flight(op, mock_http):
    async def handler(request):
        await asyncio.Event().wait()
    mock_http.handler = handler

    async def main():
        task = asyncio.create_task(op[0]("a", "b"))
        while not mock_http.requests:
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError) as info:
            await task
        return info.value
    cancelled = asyncio.run(main())
    assert mock_http.clients[0].is_closed
    assert entries(cancelled) == expected_entries(op, 1)
