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


# -- recorded calls ----------------------------------------------------------

def test_one_post_with_the_body_then_status_json_and_exit(op, fake):
    func, url, _ = op
    reply = {"idToken": "t", "unexpected": [1]}
    done(fake, reply)
    assert asyncio.run(func(" Mixed@Example.COM ", 123)) is reply
    assert fake.calls == [((), {})]
    assert fake.log == [
        ("enter", ()),
        ("post", url + "test-api-key",
         {"json": {"email": " Mixed@Example.COM ", "password": 123, "returnSecureToken": True}}),
        ("raise_for_status", ()),
        ("json", ()),
        ("exit", None, None, None),
    ]
    body = fake.log[1][2]["json"]
    assert list(body) == ["email", "password", "returnSecureToken"]
    assert body["returnSecureToken"] is True


class Formatted:
    def __format__(self, spec):
        assert spec == ""
        return "formatted"


class StrSub(str):
    def __format__(self, spec):
        return "via-format"


@pytest.mark.parametrize("key, text", [
    ("k y/é&x=1", "k y/é&x=1"), (12345, "12345"), (None, "None"),
    (Formatted(), "formatted"), (StrSub("raw"), "via-format"),
])
def test_key_text_is_appended_unchanged(fb, op, fake, monkeypatch, key, text):
    func, url, _ = op
    monkeypatch.setattr(fb, "FIREBASE_API_KEY", key)
    done(fake)
    asyncio.run(func("a", "b"))
    assert fake.log[1][1] == url + text


def test_key_from_builtins_when_the_module_lacks_it(fb, op, fake, monkeypatch):
    func, url, _ = op
    monkeypatch.delattr(fb, "FIREBASE_API_KEY")
    monkeypatch.setattr(builtins, "FIREBASE_API_KEY", "builtin-key", raising=False)
    done(fake)
    asyncio.run(func("a", "b"))
    assert fake.log[1][1] == url + "builtin-key"


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

def test_real_request(op, mock_http):
    func, url, _ = op
    mock_http.handler = lambda request: httpx.Response(200, json={"kind": "reply", "n": [1]})
    assert asyncio.run(func("Who@Example.com ", "pw")) == {"kind": "reply", "n": [1]}
    (request,) = mock_http.requests
    assert request.method == "POST"
    assert str(request.url) == url + "test-api-key"
    assert request.headers["content-type"] == "application/json"
    assert list(json.loads(request.content).items()) == [
        ("email", "Who@Example.com "), ("password", "pw"), ("returnSecureToken", True)]
    (client,) = mock_http.clients
    assert client.is_closed


def test_int_password_is_a_json_number(op, mock_http):
    asyncio.run(op[0]("a", 1234))
    assert json.loads(mock_http.requests[0].content)["password"] == 1234


def test_status_error_is_the_one_raise_for_status_raised(op, mock_http, monkeypatch):
    raised = []
    original = httpx.Response.raise_for_status

    def recording(self):
        try:
            return original(self)
        except httpx.HTTPStatusError as e:
            raised.append(e)
            raise
    monkeypatch.setattr(httpx.Response, "raise_for_status", recording)
    mock_http.handler = lambda request: httpx.Response(
        400, json={"error": {"message": "EMAIL_NOT_FOUND"}})
    with pytest.raises(httpx.HTTPStatusError) as info:
        asyncio.run(op[0]("a", "b"))
    assert raised == [info.value] and info.value is raised[0]
    assert info.value.response.status_code == 400
    assert mock_http.clients[0].is_closed
    assert entries(info.value) == expected_entries(op, 2)


@pytest.mark.parametrize("body", [b"", b"not json"])
def test_reply_that_is_not_json(op, mock_http, body):
    mock_http.handler = lambda request: httpx.Response(200, content=body)
    with pytest.raises(json.JSONDecodeError) as info:
        asyncio.run(op[0]("a", "b"))
    assert mock_http.clients[0].is_closed
    assert entries(info.value) == expected_entries(op, 3)


def test_transport_error(op, mock_http):
    errors = []

    def refuse(request):
        errors.append(httpx.ConnectError("refused", request=request))
        raise errors[0]
    mock_http.handler = refuse
    with pytest.raises(httpx.ConnectError) as info:
        asyncio.run(op[0]("a", "b"))
    assert info.value is errors[0]
    assert mock_http.clients[0].is_closed
    assert entries(info.value) == expected_entries(op, 1)


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
