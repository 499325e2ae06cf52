"""Reference balance under the debug interpreter: every function on every
path, run in rounds; the interpreter's total reference count and its count of
allocated blocks must not move between the last rounds."""
import asyncio
import datetime
import gc
import importlib
import logging
import pickle
import re
import sys
import time
import types
import warnings
from collections.abc import Mapping

import httpx
import pytest

import handmade
from handmade import OPS, drive, token
from support import Touchy
from test_stub import signature

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs the debug interpreter (python3.14-dbg)")

ROUNDS, CALLS = 5, 500  # calls per path and round (half as many cancelled tasks)
NOISE = 10  # |change| of either count allowed between the last rounds (the counts kept add 3)
LOGIN, EXPIRING = (token(int(time.time()) + 10**6), "rt"), (token(int(time.time()) + 60), "rt")
OUT, NO_REFRESH = (None, "rt"), (EXPIRING[0], "")
NETWORK = [("ok", None), ("400", httpx.HTTPStatusError), ("refused", httpx.ConnectError),
           ("notjson", ValueError), ("int", TypeError)]
TOKENS = [LOGIN[0], "", None, b"a.b.c", "a.b", "a.b.c.d", "a.!!!.c", "a.e30.c", "a.W10.c",
          token("x"), token(1.5), token("12")]


class Interrupt(BaseException):
    """Outside Exception: no handler of the module takes it."""


def interrupt(*args):
    raise Interrupt


def raises(exc_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{call} did not raise {exc_type.__name__}")


# What becomes of a coroutine, suspended in a request that holds or unstarted.
def throw(coro):
    raises(Interrupt, coro.throw, Interrupt)


def close(coro):
    coro.close()


def drop(coro):
    """Left to the collector (unstarted: never awaited)."""


WAYS = [(["hold"], throw), (["hold"], close), (["hold"], drop), ([], drop), ([], "cancel"),
        ([], "bind")]


def bind(func, args):
    """The ways a call can fail to bind."""
    names = list(signature(func.__name__).parameters)
    raises(TypeError, func, *args, *range(7))
    raises(TypeError, func, *args, unknown=1)
    if names:
        raises(TypeError, func)
        raises(TypeError, func, *args, **{names[0]: 1})
    if len(names) > 1:
        raises(TypeError, func, **{names[-1]: 1})


class Relogin(handmade.Exchange):
    """A refresh during which another login replaces the one being refreshed (by
    `token`, a str or a str that cannot be compared)."""

    def __init__(self, outcome, token=LOGIN[0]):
        super().__init__(outcome)
        self.token = token

    def __await__(self):
        from tavrin import env
        env.get_app().firebase_id_token = self.token
        return (yield from super().__await__())


class Key(str):
    """A str key whose formatted text is not its characters."""

    def __format__(self, how):
        return "formatted"


def rows(fb, shim):
    """(login, plan, how, function, args[, patch]). How: None (returns), an
    exception type (raised), "cancel", "bind" or a function of the coroutine
    (suspended first at "hold"); a patch is applied around the calls."""
    evt, reg, seal = fb.ensure_valid_token, fb.register_new_user_in_firestore, fb._sealed_box_encrypt
    trigger, user = fb.trigger_function, ("u1", "a@b.c", "tok")
    for func, args in [(getattr(fb, name), args) for name, args in OPS]:
        yield from ((LOGIN, [outcome], exc, func, args) for outcome, exc in NETWORK)
        yield from ((LOGIN, plan, how, func, args) for plan, how in WAYS)
    # The session: every way out, and both handlers.
    for login, plan in [(OUT, []), (NO_REFRESH, []), (LOGIN, []), (EXPIRING, ["empty"]),
                        (EXPIRING, [Relogin("ok")]), (EXPIRING, [Relogin("400")]),
                        (EXPIRING, [Relogin("ok", Touchy(EXPIRING[0]))])]:
        yield login, plan, None, evt, ()
    yield from ((EXPIRING, [outcome], None, evt, ()) for outcome, _ in NETWORK)
    yield from ((EXPIRING, plan, how, evt, ()) for plan, how in WAYS)

    def print_fails(message, style=None):
        if message.startswith("\nToken refresh failed"):
            raise OSError("no terminal")
    from tavrin import env
    yield EXPIRING, ["400"], None, evt, (), lambda m: m.setattr(env.get_app(), "print", print_fails)
    yield EXPIRING, ["400"], None, evt, (), lambda m: m.delattr(fb, "get_token_expiry")
    # Triggers and their session, documents, registration.
    fresh = handmade.Exchange("ok", {"id_token": LOGIN[0], "refresh_token": "rt"})
    yield from [(OUT, [], Exception, trigger, ("f", {}, True)),
                (EXPIRING, [fresh, "ok"], None, trigger, ("f", {}, True)),
                (EXPIRING, ["400"], Exception, trigger, ("f", {}, True)),
                (LOGIN, [], Exception, trigger, ("f", {1, 2})),
                (LOGIN, [], TypeError, trigger, ("f", {}, False, 5)),
                (LOGIN, ["empty"], ValueError, fb.get_auth_user_data, ("t",)),
                (LOGIN, [], AttributeError, fb.update_document, ("p", 5, "t")),
                (LOGIN, [], ValueError, fb.update_document, ("p", {}, "t")),
                (LOGIN, ["ok"], None, fb.update_document,
                 ("a?b", {"z.y": 1, Key("k"): 2, True: 3, None: 4, 1.5: 5, 6: 6}, "t")),
                (LOGIN, [], UnicodeEncodeError, fb.get_document, ("n/\ud800", "t")),
                (LOGIN, [], ValueError, fb.get_document, ("n/..", "t")),
                (LOGIN, [], ValueError, fb.create_document, ("c/.", 1, {}, "t")),
                (LOGIN, [], ValueError, trigger, ("a/..", {})),
                (LOGIN, ["404", "ok", "ok"], None, reg, user),
                (LOGIN, ["ok", "404", "ok"], None, reg, user),
                (LOGIN, [], ValueError, reg, ("",) + user[1:]),
                (LOGIN, ["404", "hold"], throw, reg, user),
                (LOGIN, ["404", "hold"], close, reg, user)]
    yield from ((LOGIN, plan, how, reg, user) for plan, how in WAYS)
    for plan, exc in [(["ok"], Exception), (["500"], httpx.HTTPStatusError),
                      (["ok", "500"], httpx.HTTPStatusError), (["refused"], httpx.ConnectError),
                      (["404", "400"], httpx.HTTPStatusError),
                      (["404", "ok", "400"], httpx.HTTPStatusError)]:
        yield LOGIN, plan, exc, reg, user
    # The plain functions.
    yield from [(LOGIN, [], None, seal, ({"a": [1, 2]},)), (LOGIN, [], Exception, seal, ({1},)),
                (LOGIN, [], Exception, seal, ({},),
                 lambda m: m.setattr(fb, "SEALED_BOX_SERVER_PUBLIC_KEY_B64", "AAAA")),
                (LOGIN, [], "bind", seal, ({},))]
    yield from ((LOGIN, [], None, fb.get_token_expiry, (t,)) for t in TOKENS)
    yield LOGIN, [], Interrupt, fb.get_token_expiry, (types.SimpleNamespace(split=interrupt),)
    for func, args in [(fb.get_token_expiry, ("t",)), (fb.get_firestore_base_url, ()),
                       (fb.get_functions_base_url, ())]:
        yield from [(LOGIN, [], None, func, args), (LOGIN, [], "bind", func, args)]

    yield from ((LOGIN, [], how, func, args) for func, args, how in codec_rows())

    # The coroutine protocol itself, and cycles through records.
    def cycle():
        data = {}
        data["self"] = fb.create_document("c", "i", data, "t")
        return data["self"]
    yield from [(LOGIN, [], drop, cycle, ()), (LOGIN, ["hold"], drop, cycle, ())]
    yield from ((LOGIN, plan, how, fb.auth_sign_in, ("a", "b")) for plan, how in [
        ([], throw), ([], close), ([], lambda coro: raises(TypeError, coro.send, 1)),
        ([], lambda coro: raises(TypeError, coro.throw, ValueError("a"), "x")),
        ([], lambda coro: (coro.cr_frame, list(coro.__await__()),  # reused, pickled
                           raises(RuntimeError, coro.send, None),
                           raises(TypeError, pickle.dumps, coro))),
        (["hold"], lambda coro: (shim.plan.append(coro),  # awaited by another
                                 raises(RuntimeError, fb.auth_sign_in("c", "d").send, None),
                                 coro.close()))])


def codec_rows():
    """(function, args, how) of tavrin.firestore_values: every kind both ways, every refusal."""
    fv = importlib.import_module("tavrin.firestore_values")
    zone = datetime.timezone(datetime.timedelta(hours=-3))
    note = {"s": "x", "b": True, "i": -5, "f": float("nan"), "n": None, "by": bytearray(b"ab"),
            "t": datetime.datetime(2024, 5, 1, 9, 0, 0, 7, tzinfo=zone), "g": fv.GeoPoint(1, 2),
            "r": fv.Reference("projects/p/databases/d/documents/a/b"), "m": {"l": [1, {}]},
            "e": [], "tu": (memoryview(b"xyz"),)}
    loop, deep, toggled = {}, 1, {}
    loop["me"] = loop
    for _ in range(21):
        deep = {"a": deep}

    class Toggle(datetime.tzinfo):  # adds or takes a field while its dict is read
        def utcoffset(self, when):
            toggled.pop("b") if "b" in toggled else toggled.setdefault("b", 1)
            return datetime.timedelta(0)
    toggled["a"] = datetime.datetime(2024, 1, 1, tzinfo=Toggle())
    far = datetime.datetime(2024, 1, 1, tzinfo=type("Far", (datetime.tzinfo,), {
        "utcoffset": lambda self, when: datetime.timedelta(days=2)})())
    listed = type("Listed", (Mapping,), dict.fromkeys(["__getitem__", "__iter__", "__len__"]) | {
        "items": lambda self: [["a", 1]]})()
    rows = [(fv.to_fields, (note,), None), (fv.from_document, ({"fields": fv.to_fields(note)},), None),
            (fv.GeoPoint, (1, 2.5), None), (lambda g: (repr(g), hash(g), g == g), (note["g"],), None),
            (lambda r: (repr(r), r.path, hash(r), r == r), (note["r"],), None),
            (fv.document_id, ({"name": "a/b"},), None), (fv.document_id, ({},), ValueError),
            (fv.GeoPoint, (91, 0), ValueError), (fv.GeoPoint, ("1", 0), TypeError),
            (fv.GeoPoint, (0, 10**400), ValueError),
            (fv.Reference, ("a/b",), ValueError), (fv.to_fields, ([],), TypeError)]
    rows += [(fv.to_value, (bad,), exc) for bad, exc in [
        ({"s": {1}}, TypeError), (loop, ValueError), ([datetime.datetime.now()], ValueError),
        ([(1,)], ValueError), (deep, ValueError), ({"i": 2**64}, ValueError), ({1: 2}, TypeError),
        (toggled, RuntimeError), ([far], ValueError), ({"m": listed}, TypeError)]]
    rows += [(fv.from_value, (bad,), ValueError) for bad in [
        {"integerValue": "1.5"}, {"doubleValue": True}, {"timestampValue": "2024-05-01T12:00:00"},
        {"bytesValue": "A==="}, {"referenceValue": "x"}, {"geoPointValue": {"latitude": "1"}},
        {"arrayValue": {"values": [{"nullValue": None}, 5]}}, {"mapValue": {"fields": {"a": {}}}},
        {"stringValue": 1}, {"x": 1}, [],
        {"mapValue": {"fields": {"a": {"mapValue": {"fields": {"b": {"booleanValue": "t"}}}}}}}]]
    return rows


def path(shim, loop, login, plan, how, func, args, patch=None):
    """run(n), making n calls on one path."""
    from tavrin import env
    app, held = env.get_app(), "hold" in plan

    def once():
        app.firebase_id_token, app.firebase_refresh_token = login
        shim.plan[:] = plan
        if how == "bind":
            bind(func, args)
        elif how is None:
            finish(func(*args))
        elif isinstance(how, type):
            raises(how, lambda: finish(func(*args)))
        else:
            coro = func(*args)
            while held and coro.send(None) != "hold":
                pass
            how(coro)

    async def cancelled(n):
        app.firebase_id_token, app.firebase_refresh_token = login
        shim.plan[:] = ["loop"] * n
        tasks = [asyncio.ensure_future(func(*args)) for _ in range(n)]
        await asyncio.sleep(0)
        for task in tasks:
            task.cancel()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        assert all(type(r) is asyncio.CancelledError for r in results), results[:3]

    def run(n):
        with pytest.MonkeyPatch.context() as m:
            if patch:
                patch(m)
            if how == "cancel":
                return loop.run_until_complete(cancelled(n // 2))
            for _ in range(n):
                once()
    how_name = getattr(how, "__name__", how)
    run.name = f"{func.__qualname__}{args!r:.50} {login[0] and login[0][:8]} {plan} {how_name}"
    return run


def finish(result):
    return drive(result) if hasattr(result, "cr_code") else result


def counts():
    # Caches that keep what recent calls made, without a trend: re's pattern
    # caches, and the type attribute cache, which holds a reference to each
    # name it caches (str.format and getattr make fresh ones).
    re.purge()
    sys._clear_internal_caches()
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


class PlainBox:
    """Seals in place of nacl.public.SealedBox: under python3.14-dbg PyNaCl's
    sealing moves sys.gettotalrefcount() by -1 a call (its cffi backend is
    built for the release ABI), which would hide a leak of ours."""

    def __init__(self, key):
        self.encrypt = lambda plaintext: bytes(key) + bytes(16) + plaintext


@pytest.mark.timeout(300)
def test_reference_balance(fb, monkeypatch, figure):
    from tavrin import env
    monkeypatch.setattr(env.get_app(), "print", lambda message, style=None: None)  # keeps none
    for name in ("firebase_id_token", "firebase_refresh_token", "user_id"):
        monkeypatch.setattr(env.get_app(), name, None)  # the session paths change them
    shim, loop = handmade.Httpx(), asyncio.new_event_loop()
    monkeypatch.setattr(fb, "httpx", shim)
    monkeypatch.setattr(fb, "SealedBox", PlainBox)
    logging.disable(logging.CRITICAL)  # pytest's log capture keeps every record
    paths, totals = [path(shim, loop, *row) for row in rows(fb, shim)], []
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # never awaited, on purpose
            for _ in range(ROUNDS):
                for run in paths:
                    run(CALLS)
                totals.append(counts())
            refs, blocks = ([b[i] - a[i] for a, b in zip(totals, totals[1:])] for i in (0, 1))
            figure(f"{len(paths)} paths, {CALLS} calls each a round, {ROUNDS} rounds; change"
                   f" between rounds: refs {refs}, blocks {blocks}; allowed |change| <= {NOISE}"
                   f" in the last two")
            assert shim.opened == shim.closed
            if all(abs(d) <= NOISE for d in refs[-2:] + blocks[-2:]):
                return
            moving = []
            for i, run in enumerate(paths):  # the paths alone, to name the ones that move
                run(CALLS)
                before = counts()
                run(CALLS)
                change = [a - b for a, b in zip(counts(), before)]
                if max(map(abs, change)) > NOISE:
                    moving.append(f"{i} {run.name}: refs {change[0]:+}, blocks {change[1]:+}")
            pytest.fail("counts move between rounds; the paths alone:\n" + "\n".join(moving))
    finally:
        loop.close()
        logging.disable(logging.NOTSET)
