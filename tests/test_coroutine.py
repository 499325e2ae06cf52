"""The coroutine objects the coroutine functions return.

Protocol checks marked by the `sign_in` fixture run against both the module's
auth_sign_in and support.auth_sign_in, a native coroutine doing the same.
"""
import asyncio
import copy
import gc
import inspect
import pickle
import sys
import types
import warnings
import weakref

import pytest

import support
from support import Suspend, entries, sign_in_entries


@pytest.fixture(params=["module", "native"])
def sign_in(request, fb):
    return fb.auth_sign_in if request.param == "module" else support.auth_sign_in


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook",
                        lambda u: seen.append((u.exc_type, str(u.exc_value))))
    return seen


def pending(sign_in, fake, yields=("y1",), payload=None, **client):
    """A sign-in suspended in its request, which yields `yields` in turn."""
    fake.client(request=Suspend(fake.log, yields, result=fake.response(payload=payload)),
                **client)
    coro = sign_in("a@b.c", "pw")
    assert coro.send(None) == yields[0]
    return coro


def exits(log):
    return [e[1:] for e in log if e[0] == "exit"]


def finish(coro, value=None):
    with pytest.raises(StopIteration) as info:
        coro.send(value)
    return info.value


class Iter:
    """A delegate iterator without a native send slot."""

    def __init__(self, log, result, close_error=None):
        self.log, self.result, self.close_error = log, result, close_error
        self.count = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.log.append("next")
        self.count += 1
        if self.count > 1:
            raise StopIteration(self.result)
        return "item"

    def send(self, value):
        self.log.append(("send", value))
        raise StopIteration(self.result)

    def close(self):
        self.log.append("close")
        if self.close_error is not None:
            raise self.close_error


class BadClose(Iter):
    @property
    def close(self):
        raise KeyError("close lookup")


class Awaits:
    """An awaitable whose __await__ returns or raises what it is given."""

    def __init__(self, result=None, error=None):
        self.result, self.error = result, error

    def __await__(self):
        if self.error is not None:
            raise self.error
        return self.result


# -- protocol checks, module and native ------------------------------------

REUSE = "^cannot reuse already awaited coroutine$"


def test_runs_through_suspensions_to_the_result(sign_in, fake):
    fake.client(request=Suspend(fake.log, ("y1", "y2"), result=fake.response(payload={"ok": 1})))
    coro = sign_in("a@b.c", "pw")
    assert (coro.cr_running, coro.cr_await) == (False, None)
    assert coro.send(None) == "y1"
    assert coro.cr_running is False
    assert inspect.isgenerator(coro.cr_await)
    assert coro.cr_await.gi_code.co_name == "__await__"
    assert coro.send("v1") == "y2"
    assert finish(coro, "v2").value == {"ok": 1}
    assert ("got", "v1") in fake.log and ("got", "v2") in fake.log
    assert exits(fake.log) == [(None, None, None)]
    assert (coro.cr_running, coro.cr_await) == (False, None)
    with pytest.raises(AttributeError):
        coro.cr_await = None
    with pytest.raises(RuntimeError, match=REUSE):
        coro.send(None)
    assert coro.close() is None


def test_return_of_none(sign_in, fake):
    stop = finish(pending(sign_in, fake, payload=None))
    assert stop.args == () and stop.value is None
    fake.client(request=Suspend(fake.log, ("y1", "y2"), result=fake.response()))
    wrapper = sign_in("a", "b").__await__()
    assert iter(wrapper) is wrapper
    assert list(wrapper) == ["y1", "y2"]


@pytest.mark.parametrize("enter, warned", [
    (lambda coro: pytest.raises(ValueError, coro.throw, ValueError("boom")).match("^boom$"), []),
    (lambda coro: coro.close() is None, []),
    (lambda coro: True, [(RuntimeWarning, "coroutine 'auth_sign_in' was never awaited")]),
], ids=["throw", "close", "dropped"])
def test_first_entry_other_than_send_none_finishes(sign_in, fake, enter, warned):
    coro = sign_in("a", "b")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert enter(coro)
        if not warned:
            with pytest.raises(RuntimeError, match=REUSE):
                coro.send(None)
        del coro
        gc.collect()
    assert [(w.category, str(w.message)) for w in caught] == warned
    assert fake.calls == []


@pytest.mark.parametrize("args, exc_type, message", [
    ((ValueError("a"), "x"), TypeError, "instance exception may not have a separate value"),
    ((ValueError, ("a", "b")), ValueError, "('a', 'b')"),
    ((ValueError, None), ValueError, ""),
    ((KeyError, "k"), KeyError, "'k'"),
])
def test_throw_makes_the_exception_like_raise(sign_in, args, exc_type, message):
    coro = sign_in("a", "b")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(exc_type) as info:
            coro.throw(*args)
    assert str(info.value) == message
    coro.close()


def test_throw_with_a_wrong_argument_count_changes_nothing(sign_in, fake):
    coro = pending(sign_in, fake)
    for args in [(), (ValueError, None, None, None)]:
        with pytest.raises(TypeError):
            coro.throw(*args)
    assert coro.cr_await is not None
    finish(coro)


def test_throw_into_the_pending_request_closes_the_client_with_it(sign_in, fake, fb):
    coro = pending(sign_in, fake)
    error = ValueError("boom")
    with pytest.raises(ValueError) as info:
        coro.throw(error)
    assert info.value is error
    assert ("delegate", "ValueError") in fake.log
    ((exc_type, exc, tb),) = exits(fake.log)
    assert (exc_type, exc, type(tb)) == (ValueError, error, types.TracebackType)
    if sign_in is fb.auth_sign_in:
        assert entries(error) == sign_in_entries(54)


def test_throw_handled_by_the_request_continues(sign_in, fake):
    log = fake.log

    def forgiving():
        try:
            yield "y1"
        except ValueError:
            yield "recovered"
        return fake.response(payload={"ok": 2})

    class Forgiving:
        def __await__(self):
            return forgiving()

    fake.client(request=Forgiving())
    coro = sign_in("a", "b")
    coro.send(None)
    assert coro.throw(ValueError) == "recovered"
    assert finish(coro).value == {"ok": 2}
    assert exits(log) == [(None, None, None)]


@pytest.mark.parametrize("how", ["close", "throw"])
def test_closing_mid_request_closes_the_request_then_the_client(sign_in, fake, how):
    coro = pending(sign_in, fake)
    if how == "close":
        assert coro.close() is None
    else:
        with pytest.raises(GeneratorExit):
            coro.throw(GeneratorExit)
    closed = fake.log.index(("delegate", "GeneratorExit"))
    (exit_at,) = [i for i, e in enumerate(fake.log) if e[0] == "exit"]
    assert exit_at > closed and fake.log[exit_at][1] is GeneratorExit
    assert coro.cr_await is None
    with pytest.raises(RuntimeError, match=REUSE):
        coro.send(None)


def test_close_when_the_exit_awaits_a_suspension(sign_in, fake):
    coro = pending(sign_in, fake, exit=Suspend(fake.log, ("again",), result=False))
    with pytest.raises(RuntimeError, match="^coroutine ignored GeneratorExit$"):
        coro.close()
    assert coro.close() is None


def test_close_failure_of_the_delegate_goes_into_the_body(sign_in, fake):
    error = KeyError("close failed")
    fake.client(request=Awaits(Iter(fake.log, None, close_error=error)))
    coro = sign_in("a", "b")
    assert coro.send(None) == "item"
    with pytest.raises(KeyError) as info:
        coro.close()
    assert info.value is error
    assert [e[:2] for e in exits(fake.log)] == [(KeyError, error)]


def test_close_lookup_failure_of_the_delegate_is_unraisable(sign_in, fake, unraisable):
    fake.client(request=Awaits(BadClose(fake.log, None)))
    coro = sign_in("a", "b")
    coro.send(None)
    assert coro.close() is None
    assert unraisable == [(KeyError, "'close lookup'")]
    assert [e[0] for e in exits(fake.log)] == [GeneratorExit]


def test_delegate_without_send_slot(sign_in, fake):
    response = fake.response(payload={"ok": 3})
    fake.client(request=Awaits(Iter(fake.log, response)))
    coro = sign_in("a", "b")
    assert coro.send(None) == "item"
    assert finish(coro, "value").value == {"ok": 3}
    assert fake.log[2:4] == ["next", ("send", "value")]
    fake.client(request=Awaits(Iter(fake.log, None)))
    coro = sign_in("a", "b")
    coro.send(None)
    with pytest.raises(IndexError):   # no throw method: raised at the await
        coro.throw(IndexError)
    assert [e[0] for e in exits(fake.log)] == [None, IndexError]


def test_reentry_while_running_is_refused(sign_in, fake):
    seen, holder = [], []

    def reenter():
        coro = holder[0]
        seen.append(coro.cr_running)
        for op in (lambda: coro.send(None), lambda: coro.throw(KeyError), coro.close):
            with pytest.raises(ValueError) as info:
                op()
            seen.append(str(info.value))
        return fake.response(payload=4)
        yield

    fake.client(request=lambda: Awaits(reenter()))
    holder.append(sign_in("a", "b"))
    assert finish(holder[0]).value == 4
    assert seen == [True] + ["coroutine already executing"] * 3


def test_awaiting_a_coroutine_that_is_awaited_already(sign_in, fake):
    first = pending(sign_in, fake)
    fake.client(request=first)
    second = sign_in("c", "d")
    with pytest.raises(RuntimeError, match="^coroutine is being awaited already$"):
        second.send(None)
    assert first.close() is None


def test_awaiting_a_coroutine_of_the_same_kind_passes_values_through(sign_in, fake):
    inner_response = fake.response(payload={"final": 1})
    fake.client(request=lambda: sign_in("x", "y"))
    fake.client(request=Suspend(fake.log, ("y1",),
                                result=fake.response(payload=inner_response)))
    outer = sign_in("a", "b")
    assert outer.send(None) == "y1"
    inner = outer.cr_await
    assert type(inner) is type(outer)
    assert inspect.isgenerator(inner.cr_await)
    assert finish(outer, "v").value == {"final": 1}
    assert ("got", "v") in fake.log
    assert exits(fake.log) == [(None, None, None)] * 2


def test_throw_passes_down_a_chain_of_the_same_kind(sign_in, fake, fb):
    fake.client(request=lambda: sign_in("x", "y"))
    fake.client(request=Suspend(fake.log, ("y1",)))
    outer = sign_in("a", "b")
    outer.send(None)
    error = ValueError("deep")
    with pytest.raises(ValueError) as info:
        outer.throw(error)
    assert info.value is error
    assert [e[:2] for e in exits(fake.log)] == [(ValueError, error)] * 2
    if sign_in is fb.auth_sign_in:
        assert entries(error) == sign_in_entries(54) * 2


def test_wrapper_forwards_to_its_coroutine(sign_in, fake):
    fake.client(request=Suspend(fake.log, ("y1", "y2", "y3")))
    wrapper = sign_in("a", "b").__await__()
    assert next(wrapper) == "y1"
    assert wrapper.send("v") == "y2"
    with pytest.raises(KeyError):
        wrapper.throw(KeyError("k"))
    assert wrapper.close() is None
    assert ("got", "v") in fake.log and ("delegate", "KeyError") in fake.log


@pytest.mark.parametrize("make, message", [
    (lambda: 5, "__await__() returned non-iterator of type 'int'"),
    (lambda: support.auth_sign_in("a", "b"), "__await__() returned a coroutine"),
])
def test_await_protocol_results_are_checked(sign_in, fake, make, message):
    made = make()
    fake.client(request=Awaits(made))
    with pytest.raises(TypeError) as info:
        sign_in("a", "b").send(None)
    assert str(info.value) == message
    if inspect.iscoroutine(made):
        made.close()


def test_types_are_final_immutable_and_unpicklable(sign_in):
    coro = sign_in("a", "b")
    for obj, short in [(coro, "coroutine"), (coro.__await__(), "coroutine_wrapper")]:
        for attempt in (pickle.dumps, copy.copy, lambda o: o.__reduce__(),
                        lambda o: o.__reduce_ex__(2)):
            with pytest.raises(TypeError, match=rf"^cannot pickle '([\w.]+\.)?{short}' object$"):
                attempt(obj)
        with pytest.raises(TypeError):
            type("Sub", (type(obj),), {})
        with pytest.raises(TypeError):
            type(obj).extra = 1
    coro.close()


def test_name_and_qualname_setters(sign_in):
    coro = sign_in("a", "b")
    coro.__name__ = "renamed"
    coro.__qualname__ = "re.named"
    assert (coro.__name__, coro.__qualname__) == ("renamed", "re.named")
    for attr in ("__name__", "__qualname__"):
        with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
            setattr(coro, attr, 1)
        with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
            delattr(coro, attr)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        del coro
        gc.collect()
    assert [str(w.message) for w in caught] == ["coroutine 're.named' was never awaited"]


def test_suspended_coroutine_in_a_cycle_is_collected_and_closed(sign_in, fake):
    fake.client(request=Suspend(fake.log, ("y1",), result=fake.response()))
    cell = []
    coro = sign_in(cell, "pw")
    cell.append(coro)
    coro.send(None)
    ref = weakref.ref(coro)
    fake.log.clear()
    del coro, cell
    gc.collect()
    assert ref() is None
    assert fake.log[0] == ("delegate", "GeneratorExit")
    assert [e[0] for e in exits(fake.log)] == [GeneratorExit]


def test_failed_close_at_finalisation_is_unraisable(sign_in, fake, unraisable):
    pending(sign_in, fake, exit=Suspend(fake.log, ("again",), result=False))
    gc.collect()
    assert (RuntimeError, "coroutine ignored GeneratorExit") in unraisable


# -- asyncio ---------------------------------------------------------------

async def tick():
    await asyncio.sleep(0)


async def _respond_later(response):
    await tick()
    return response


def test_run_gather_and_tasks(sign_in, fake):
    fake.client(request=lambda: _respond_later(fake.response(payload={"ok": 5})))
    coro = sign_in("a", "b")
    assert asyncio.iscoroutine(coro)
    assert asyncio.run(coro) == {"ok": 5}
    fake.log.clear()
    for n in range(3):
        fake.client(request=lambda n=n: _respond_later(fake.response(payload=n)))

    async def main():
        task = asyncio.create_task(sign_in("t", "t"))
        return await asyncio.gather(sign_in("a", "b"), sign_in("c", "d")), await task
    gathered, alone = asyncio.run(main())
    assert sorted(gathered + [alone]) == [0, 1, 2]
    assert exits(fake.log) == [(None, None, None)] * 3


def test_cancelling_the_task_closes_the_client_with_the_cancellation(sign_in, fake):
    fake.client(request=lambda: asyncio.Event().wait())

    async def main():
        task = asyncio.create_task(sign_in("a", "b"))
        await tick()
        await tick()
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
    asyncio.run(main())
    assert [e[0] for e in exits(fake.log)] == [asyncio.CancelledError]


def test_awaiting_twice(sign_in, fake):
    fake.client(request=Suspend(fake.log, (), result=fake.response(payload=1)))
    coro = sign_in("a", "b")

    async def twice():
        assert await coro == 1
        await coro
    with pytest.raises(RuntimeError, match=REUSE):
        twice().send(None)


# -- the module's own coroutine type -----------------------------------------

def test_code_object(fb):
    coro, other = fb.auth_sign_in("a", "b"), fb.auth_sign_in("c", "d")
    code = coro.cr_code
    assert other.cr_code is code
    assert (code.co_name, code.co_qualname, code.co_filename, code.co_firstlineno) == (
        "auth_sign_in", "auth_sign_in", "tavrin/firebase", 41)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (2, 0, 0)
    assert code.co_varnames == ("email", "password", "payload", "signin_endpoint",
                                "client", "response")
    for flag in (inspect.CO_COROUTINE, inspect.CO_OPTIMIZED, inspect.CO_NEWLOCALS):
        assert code.co_flags & flag
    up = fb.auth_sign_up("a", "b")
    assert up.cr_code.co_firstlineno == 60
    for c in (up, coro, other):
        c.close()


def test_attributes_before_and_after_finishing(fb, fake):
    coro = pending(fb.auth_sign_in, fake)
    assert (coro.__name__, coro.__qualname__, coro.__module__) == (
        "auth_sign_in", "auth_sign_in", "tavrin.firebase")
    frame = coro.cr_frame
    assert isinstance(frame, types.FrameType)
    assert coro.cr_frame is frame and frame.f_code is coro.cr_code
    assert coro.__weaklistoffset__ == type(coro).__weakrefoffset__ > 0
    with pytest.raises(AttributeError):
        coro.__weaklistoffset__ = 0
    finish(coro)
    assert [coro.__name__, coro.__qualname__, coro.__module__, coro.cr_code,
            coro.cr_frame] == [None] * 5


def test_method_docstrings(fb):
    coro = fb.auth_sign_in("a", "b")
    wrapper = coro.__await__()
    assert coro.__await__() is not wrapper
    doc = "{}(arg) -> send 'arg' into coroutine,\nreturn next {} value or raise StopIteration."
    assert coro.send.__doc__ == doc.format("send", "iterated")
    assert wrapper.send.__doc__ == doc.format("send", "yielded")
    throw = ("throw(typ[,val[,tb]]) -> raise exception in coroutine,\n"
             "return next {} value or raise StopIteration.")
    assert coro.throw.__doc__ == throw.format("iterated")
    assert wrapper.throw.__doc__ == throw.format("yielded")
    assert coro.close.__doc__ == wrapper.close.__doc__ == \
        "close() -> raise GeneratorExit inside coroutine."
    for attr, text in [("cr_await", "object being awaited, or None"),
                       ("cr_frame", "Frame of the coroutine"),
                       ("__name__", "name of the coroutine"),
                       ("__qualname__", "qualified name of the coroutine")]:
        assert vars(type(coro))[attr].__doc__ == text
    assert not hasattr(coro, "__next__") and not hasattr(coro, "__iter__")
    with pytest.raises(TypeError):
        iter(coro)
    with pytest.raises(TypeError, match="^cannot instantiate type, use 'await coroutine' instead$"):
        type(wrapper)()
    coro.close()


def test_module_failures_at_the_definition_line(fb):
    coro = fb.auth_sign_in("a", "b")
    with pytest.raises(TypeError, match="^can't send non-None value to a just-started coroutine$") as info:
        coro.send(1)
    assert entries(info.value) == [("auth_sign_in", 41)]
    with pytest.raises(RuntimeError, match=REUSE):
        coro.send(None)
    coro = fb.auth_sign_up("a", "b")
    with pytest.raises(KeyError) as info:
        coro.throw(KeyError("k"))
    assert entries(info.value) == [("auth_sign_up", 60)]


class Bad(Exception):
    def __new__(cls, *args):
        return 5


@pytest.mark.parametrize("args, message", [
    ((ValueError("a"), "x"), "instance exception may not have a separate value"),
    ((ValueError, None, 5), "raise: arg 3 must be a traceback or None"),
    ((int,), "raise: exception class must be a subclass of BaseException"),
    ((5,), "raise: exception class must be a subclass of BaseException"),
    ((Bad,), f"calling {Bad!r} should have returned an instance of BaseException, "
             "not <class 'int'>"),
])
def test_module_throw_argument_messages(fb, args, message):
    coro = fb.auth_sign_in("a", "b")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(TypeError) as info:
            coro.throw(*args)
    assert str(info.value) == message
    assert entries(info.value) == [("auth_sign_in", 41)]
    with pytest.raises(RuntimeError, match=REUSE):
        coro.send(None)


def test_stop_iteration_leaving_the_body(fb, fake):
    stop = StopIteration("leak")
    fake.client(request=Suspend(fake.log, (), result=fake.response(json_error=stop)))
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        fb.auth_sign_in("a", "b").send(None)
    assert info.value.__cause__ is stop
    assert [e[:2] for e in exits(fake.log)] == [(StopIteration, stop)]
    assert entries(info.value) == [("auth_sign_in", 53)]
    assert entries(stop) == [("tavrin.firebase.auth_sign_in", 56)]


class AwaitFails:
    def __await__(self):
        raise KeyError("no iterator")


@pytest.mark.parametrize("make, message", [
    (lambda fb: 5, "object int can't be used in 'await' expression"),
    (lambda fb: AwaitFails(), "'async for' received an invalid object from __anext__: AwaitFails"),
    (lambda fb: Awaits(fb.auth_sign_up("a", "b")), "__await__() returned a coroutine"),
])
def test_module_await_failures(fb, fake, make, message):
    made = make(fb)
    fake.client(request=made)
    with pytest.raises(TypeError) as info:
        fb.auth_sign_in("a", "b").send(None)
    assert str(info.value) == message
    assert entries(info.value) == sign_in_entries(54)
    if isinstance(made, AwaitFails):
        assert type(info.value.__cause__) is KeyError
        assert info.value.__context__ is info.value.__cause__
    if isinstance(made, Awaits):
        made.result.close()


def test_rounds_leave_nothing_behind(fb, fake):
    def one_round():
        for payload in ({"ok": 1}, None):
            fake.client(request=Suspend(fake.log, ("y",), result=fake.response(payload=payload)))
            coro = fb.auth_sign_in("a", "b")
            coro.send(None)
            finish(coro)
        fake.client(request=Suspend(fake.log, (), error=KeyError("k")))
        with pytest.raises(KeyError):
            fb.auth_sign_up("a", "b").send(None)
        fake.client(request=Suspend(fake.log, ("y",)))
        coro = fb.auth_sign_in("a", "b")
        coro.send(None)
        coro.close()
        with pytest.raises(TypeError):
            fb.auth_sign_in(1)
        fb.get_token_expiry("a.b")
        fake.log.clear()
        fake.calls.clear()

    def total():
        gc.collect()
        counter = getattr(sys, "gettotalrefcount", None)
        return counter() if counter else len(gc.get_objects())
    for _ in range(3):
        one_round()
    before = total()
    for _ in range(30):
        one_round()
    assert total() - before < 30
