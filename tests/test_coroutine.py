"""The coroutine objects the coroutine functions return. The table drives the
module's auth_sign_in and support.auth_sign_in, a native mirror, through the same
operations and wants the same outcomes, requests and client exits from both."""
import copy
import gc
import inspect
import pickle
import sys
import types
import warnings
import weakref

import httpx
import pytest

import support
from support import FakeClient, Formatted, StrSub, Suspend, drive, entries

REUSE = "cannot reuse already awaited coroutine"


class Iter:
    """A delegate iterator without a native send slot."""

    def __init__(self, log, result, close_error=None):
        self.log, self.result, self.close_error, self.count = log, result, close_error, 0

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


def reentering(fake, run):
    """A request that sends, throws and closes its own caller, then replies."""
    def steps():
        coro = run.coro
        fake.log.append(("running", coro.cr_running))
        for op in (lambda: coro.send(None), lambda: coro.throw(KeyError), coro.close):
            try:
                op()
            except ValueError as e:
                fake.log.append(str(e))
        return fake.response(payload=4)
        yield
    return Awaits(steps())


@types.coroutine
def iterable_coroutine():
    yield


def suspended(fake, *yields, **kw):
    """A request that yields `yields` in turn, then replies."""
    return Suspend(fake.log, yields, result=fake.response(**kw))


class NoTruth:
    __bool__ = None


ONCE = [("send", None)]
# (request made from the fake httpx and the run, client options, operations)
SEQUENCES = {
    "through": (lambda f, r: suspended(f, "y1", "y2", payload={"ok": 1}), {},
                [("send", None), ("send", "v1"), ("send", "v2"), ("send", None), ("close",)]),
    "wrapper": (lambda f, r: suspended(f, "y1", "y2", "y3"), {},
                [("wnext",), ("wsend", "v"), ("wthrow", KeyError("k")), ("wclose",)]),
    "listed": (lambda f, r: suspended(f, "y1", "y2"), {}, [("list",)]),
    "throw first": (None, {}, [("throw", ValueError("boom")), ("send", None)]),
    "throw instance and value": (None, {}, [("throw", ValueError("a"), "x")]),
    "throw class and tuple": (None, {}, [("throw", ValueError, ("a", "b"))]),
    "throw class and None": (None, {}, [("throw", KeyError, None)]),
    "throw class and value": (None, {}, [("throw", KeyError, "k")]),
    "throw argument counts": (lambda f, r: suspended(f, "y1"), {},
                              [("send", None), ("throw",), ("throw", ValueError, None, None, None),
                               ("send", None)]),
    "throw into the request": (lambda f, r: suspended(f, "y1"), {},
                               [("send", None), ("throw", ValueError("boom")), ("send", None)]),
    "exit suspends on close": (lambda f, r: suspended(f, "y1"),
                               {"exit": lambda f: Suspend(f.log, ("again",), result=False)},
                               [("send", None), ("close",), ("close",)]),
    "delegate close fails": (lambda f, r: Awaits(Iter(f.log, None, close_error=KeyError("c"))), {},
                             [("send", None), ("close",)]),
    "throw GeneratorExit, delegate close fails": (
        lambda f, r: Awaits(Iter(f.log, None, close_error=KeyError("c"))), {},
        [("send", None), ("throw", GeneratorExit)]),
    "delegate close lookup fails": (lambda f, r: Awaits(BadClose(f.log, None)), {},
                                    [("send", None), ("close",)]),
    "delegate without send slot": (
        lambda f, r: Awaits(Iter(f.log, f.response(payload={"ok": 3}))), {},
        [("send", None), ("send", "value")]),
    "delegate without throw": (lambda f, r: Awaits(Iter(f.log, None)), {},
                               [("send", None), ("throw", IndexError)]),
    "reentry": (reentering, {}, ONCE),
    "same kind": (lambda f, r: r.make("x", "y"), {}, [("send", None), ("send", "v")]),
    "throw down the same kind": (lambda f, r: r.make("x", "y"), {},
                                 [("send", None), ("throw", ValueError("deep"))]),
    "awaited already": (lambda f, r: r.other, {}, ONCE),
    "non-iterator from __await__": (lambda f, r: Awaits(5), {}, ONCE),
    "coroutine from __await__": (lambda f, r: Awaits(iterable_coroutine()), {}, ONCE),
    "awaited twice": (lambda f, r: suspended(f, payload=1), {}, [("await twice",)]),
    "request fails": (lambda f, r: Suspend(f.log, (), error=httpx.ReadTimeout("slow")), {}, ONCE),
    "request to what enter returned": (
        None, {"entered": lambda f: FakeClient(f.log, request=suspended(f, payload=7))}, ONCE),
    "exit suppresses": (lambda f, r: suspended(f, status_error=httpx.HTTPError("bad")),
                        {"suppress": lambda f: 1}, ONCE),
    "exit result without truth": (lambda f, r: suspended(f, status_error=KeyError("s")),
                                  {"exit": lambda f: Suspend(f.log, (), result=NoTruth())}, ONCE),
    "exit fails after success": (lambda f, r: suspended(f, payload={}),
                                 {"exit": lambda f: Suspend(f.log, (), error=OSError("x"))}, ONCE),
    # The key goes into the address as its text, read again on each call.
    **{f"key of type {type(key).__name__}": (lambda f, r: suspended(f), {"key": lambda f, k=key: k},
                                             ONCE)
       for key in ["k y/\u00e9&x=1", 12345, None, Formatted("text"), StrSub("raw")]},
}


class Run:
    """One sequence on one kind of coroutine, with its own fake httpx."""

    def __init__(self, fb, monkeypatch, make, name):
        request, client, self.ops = SEQUENCES[name]
        self.make, self.fake = make, support.FakeHttpx()
        monkeypatch.setattr(fb, "httpx", self.fake)
        client = {k: v(self.fake) for k, v in client.items()}
        if "key" in client:
            monkeypatch.setattr(fb, "FIREBASE_API_KEY", client.pop("key"))
        self.other = None
        if name == "awaited already":   # another of the same kind, already suspended
            self.fake.client(request=suspended(self.fake, "y1"))
            self.other = make("o", "p")
            self.other.send(None)
        self.fake.client(request=request and (lambda: request(self.fake, self)), **client)
        if name in ("same kind", "throw down the same kind"):
            inner = self.fake.response(payload={"final": 1})
            self.fake.client(request=suspended(self.fake, "y1", payload=inner))
        self.coro = make("a@b.c", "pw")
        # Fresh exceptions for each run: a thrown one keeps its traceback.
        self.ops = [tuple(copy.copy(a) if isinstance(a, BaseException) else a for a in op)
                    for op in self.ops]

    def outcome(self, monkeypatch):
        seen = []
        monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(
            ("unraisable", type(u.exc_value), str(u.exc_value))))
        got = drive(self.coro, self.ops + [("close",)])
        if self.other is not None:
            got.append(("other closed", self.other.close()))
        log = [(e[0], e[1], str(e[2]), type(e[3]).__name__) if e[0] == "exit" else e
               for e in self.fake.log]
        return got, log, len(self.fake.calls), seen


# The module's entries of a failure at the request's await, and of the first
# exception leaving the body where the table knows them.
IN_CLIENT = [("auth_sign_in", 53), ("tavrin.firebase.auth_sign_in", 54)]
ENTRIES = {"throw into the request": IN_CLIENT, "delegate without throw": IN_CLIENT,
           "throw down the same kind": IN_CLIENT * 2, "non-iterator from __await__": IN_CLIENT,
           "coroutine from __await__": IN_CLIENT, "request fails": IN_CLIENT,
           "exit fails after success": IN_CLIENT[:1]}


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("name", SEQUENCES)
def test_sequence_like_a_native_coroutine(fb, monkeypatch, name):
    ours, native = (Run(fb, monkeypatch, make, name).outcome(monkeypatch)
                    for make in (fb.auth_sign_in, support.auth_sign_in))
    raised = [o[3] for o in ours[0] if o[0] == "raised"]
    assert [o[:3] for o in ours[0]] == [o[:3] for o in native[0]]
    assert ours[1:] == native[1:]
    if name in ENTRIES:
        assert entries(raised[0]) == ENTRIES[name]


async def _enter(self):
    raise AssertionError("entered")


@pytest.mark.parametrize("client, missing", [
    (type("NoExit", (), {"__aenter__": _enter}), "__aexit__"),
    (type("NoEnter", (), {"__aexit__": _enter}), "__aenter__"),
    (lambda: types.SimpleNamespace(__aenter__=_enter, __aexit__=_enter), "__aexit__"),
])
def test_context_methods_are_looked_up_on_the_type(fb, fake, client, missing):
    fake.queue.append(client())
    with pytest.raises(AttributeError) as info:
        fb.auth_sign_in("a", "b").send(None)
    assert info.value.args == (missing,) and entries(info.value) == IN_CLIENT[:1]


@pytest.mark.parametrize("enter, warned", [
    (lambda coro: coro.close(), []),
    (lambda coro: None, ["coroutine 'auth_sign_in' was never awaited"]),
    (lambda coro: setattr(coro, "__qualname__", "re.named"),
     ["coroutine 're.named' was never awaited"]),
])
def test_never_awaited_warning(fb, fake, enter, warned):
    coro = fb.auth_sign_in("a", "b")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        enter(coro)
        del coro
        gc.collect()
    assert [str(w.message) for w in caught] == warned
    assert fake.calls == []


def test_types_are_final_immutable_unpicklable_and_documented(fb):
    coro = fb.auth_sign_in("a", "b")
    for obj, short in [(coro, "coroutine"), (coro.__await__(), "coroutine_wrapper")]:
        for attempt in (pickle.dumps, copy.copy, lambda o: o.__reduce_ex__(2)):
            with pytest.raises(TypeError, match=rf"^cannot pickle '([\w.]+\.)?{short}' object$"):
                attempt(obj)
        for final in (lambda t: type("Sub", (t,), {}), lambda t: setattr(t, "extra", 1)):
            with pytest.raises(TypeError):
                final(type(obj))
    with pytest.raises(TypeError, match="^cannot instantiate type, use 'await coroutine' instead$"):
        type(coro.__await__())()
    wrapper = coro.__await__()
    assert coro.__await__() is not wrapper
    ends = "\nreturn next {} value or raise StopIteration."
    for obj, kind in [(coro, "iterated"), (wrapper, "yielded")]:
        assert obj.send.__doc__ == "send(arg) -> send 'arg' into coroutine," + ends.format(kind)
        assert obj.throw.__doc__ == ("throw(typ[,val[,tb]]) -> raise exception in coroutine,"
                                     + ends.format(kind))
        assert obj.close.__doc__ == "close() -> raise GeneratorExit inside coroutine."
    for attr, text in [("cr_await", "object being awaited, or None"),
                       ("cr_frame", "Frame of the coroutine"),
                       ("__name__", "name of the coroutine"),
                       ("__qualname__", "qualified name of the coroutine")]:
        assert vars(type(coro))[attr].__doc__ == text
    assert not hasattr(coro, "__next__") and not hasattr(coro, "__iter__")
    for attr in ("__name__", "__qualname__"):
        for change in (lambda: setattr(coro, attr, 1), lambda: delattr(coro, attr)):
            with pytest.raises(TypeError, match=f"^{attr} must be set to a string object$"):
                change()
    coro.close()


def test_suspended_coroutine_in_a_cycle_is_collected_and_closed(fb, fake, monkeypatch):
    fake.client(request=Suspend(fake.log, ("y1",), result=fake.response()))
    cell = []
    coro = fb.auth_sign_in(cell, "pw")
    cell.append(coro)
    coro.send(None)
    ref = weakref.ref(coro)
    fake.log.clear()
    del coro, cell
    gc.collect()
    assert ref() is None
    assert fake.log[0] == ("delegate", "GeneratorExit")
    assert [e[1] for e in fake.log if e[0] == "exit"] == [GeneratorExit]
    # a close that fails at finalisation is unraisable
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(str(u.exc_value)))
    fake.client(request=Suspend(fake.log, ("y1",)),
                exit=Suspend(fake.log, ("again",), result=False))
    fb.auth_sign_in("a", "b").send(None)
    gc.collect()
    assert "coroutine ignored GeneratorExit" in seen


def test_code_object_and_attributes(fb, fake):
    fake.client(request=Suspend(fake.log, ("y1",), result=fake.response()))
    coro, other = fb.auth_sign_in("a", "b"), fb.auth_sign_in("c", "d")
    code = coro.cr_code
    assert other.cr_code is code and other.close() is None
    assert (code.co_name, code.co_qualname, code.co_filename, code.co_firstlineno) == (
        "auth_sign_in", "auth_sign_in", "tavrin/firebase", 41)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (2, 0, 0)
    assert code.co_varnames == ("email", "password", "payload", "signin_endpoint",
                                "client", "response")
    flags = inspect.CO_COROUTINE | inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert code.co_flags & flags == flags
    assert (coro.__name__, coro.__qualname__, coro.__module__) == (
        "auth_sign_in", "auth_sign_in", "tavrin.firebase")
    coro.send(None)
    frame = coro.cr_frame
    assert isinstance(frame, types.FrameType) and coro.cr_frame is frame and frame.f_code is code
    assert coro.__weaklistoffset__ == type(coro).__weakrefoffset__ > 0
    with pytest.raises(AttributeError):
        coro.__weaklistoffset__ = 0
    with pytest.raises(StopIteration):
        coro.send(None)
    assert [coro.__name__, coro.__qualname__, coro.__module__, coro.cr_code,
            coro.cr_frame] == [None] * 5


class Bad(Exception):
    def __new__(cls, *args):
        return 5


@pytest.mark.parametrize("args, error", [
    ((1,), (TypeError, "can't send non-None value to a just-started coroutine")),
    ((KeyError("k"),), (KeyError, "'k'")),
    ((ValueError("a"), "x"), (TypeError, "instance exception may not have a separate value")),
    ((ValueError, None, 5), (TypeError, "raise: arg 3 must be a traceback or None")),
    ((int,), (TypeError, "raise: exception class must be a subclass of BaseException")),
    ((5,), (TypeError, "raise: exception class must be a subclass of BaseException")),
    ((Bad,), (TypeError, f"calling {Bad!r} should have returned an instance of "
                         "BaseException, not <class 'int'>")),
])
def test_failures_before_the_start_at_the_definition_line(fb, args, error):
    """A send of a value (one argument that is no exception) or a throw."""
    coro = fb.auth_sign_in("a", "b")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(error[0]) as info:
            coro.send(*args) if args == (1,) else coro.throw(*args)
    assert str(info.value) == error[1]
    assert entries(info.value) == [("auth_sign_in", 41)]
    with pytest.raises(RuntimeError, match=REUSE):
        coro.send(None)


def test_stop_iteration_leaving_the_body(fb, fake):
    stop = StopIteration("leak")
    fake.client(request=Suspend(fake.log, (), result=fake.response(json_error=stop)))
    with pytest.raises(RuntimeError, match="^generator raised StopIteration$") as info:
        fb.auth_sign_in("a", "b").send(None)
    assert info.value.__cause__ is stop
    assert [e[:3] for e in fake.log if e[0] == "exit"] == [("exit", StopIteration, stop)]
    assert entries(info.value) == [("auth_sign_in", 53)]
    assert entries(stop) == [("tavrin.firebase.auth_sign_in", 56)]


class AwaitFails:
    def __await__(self):
        raise KeyError("no iterator")


@pytest.mark.parametrize("made, message", [
    (5, "object int can't be used in 'await' expression"),
    (AwaitFails(), "'async for' received an invalid object from __anext__: AwaitFails"),
])
def test_module_await_failures(fb, fake, made, message):
    fake.client(request=made)
    with pytest.raises(TypeError) as info:
        fb.auth_sign_in("a", "b").send(None)
    assert str(info.value) == message
    assert entries(info.value) == IN_CLIENT
    if isinstance(made, AwaitFails):
        assert type(info.value.__cause__) is KeyError
        assert info.value.__context__ is info.value.__cause__
