"""Reference balance under the debug interpreter: every function on every
path, run in rounds; the interpreter's total reference count and its count of
allocated blocks must not move between the last rounds."""
import asyncio
import base64
import gc
import logging
import pickle
import re
import sys
import time
import types
import warnings

import httpx
import pytest

import handmade
from handmade import OPS, drive, token
from support import PUBLIC_KEY_B64 as KEY

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="needs the debug interpreter (python3.14-dbg)")

ROUNDS = 5
CALLS = 500       # calls per path and round, with hand-made clients
MOCK_CALLS = 40   # calls per path and round, with real httpx clients on a MockTransport
NOISE = 10        # |change| of either count allowed between the last rounds; the
                  # stored counts themselves add 3 a round
FAR, NEAR = token(int(time.time()) + 10**6), token(int(time.time()) + 60)


class PlainBox:
    """Stands in for nacl.public.SealedBox in the rounds. PyNaCl's sealing
    moves sys.gettotalrefcount() by -1 a call under python3.14-dbg, from
    plain Python too (nacl.bindings.crypto_box_seal in a loop: -998 per 1000
    calls, allocated blocks flat; test_pynacl_drift prints it): its cffi
    backend and _sodium are built for the release ABI. That drift would hide
    a leak of ours, so the rounds seal with this box; PublicKey stays."""

    def __init__(self, key):
        self.key = bytes(key)

    def encrypt(self, plaintext):
        return self.key + bytes(16) + plaintext


class Interrupt(BaseException):
    """Outside Exception: no handler of the module takes it."""


def raises(exc_type, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except exc_type:
        return
    raise AssertionError(f"{call} did not raise {exc_type.__name__}")


def repeat(one):
    return lambda n: [one() for _ in range(n)]


def quiet(run):
    """`run` with never-awaited warnings ignored, and its cycles collected."""
    def wrapped(n):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            run(n)
            gc.collect()
    return wrapped


def login(app, id_token=FAR, refresh="rt"):
    app.firebase_id_token, app.firebase_refresh_token = id_token, refresh


class Paths(list):
    """The paths of the rounds: (name, run(n), n)."""

    def __init__(self, shim, loop):
        super().__init__()
        self.shim, self.loop = shim, loop

    def add(self, name, run, n=CALLS):
        self.append((name, run, n))

    def call(self, plan, func, *args):
        self.shim.plan[:] = plan
        return drive(func(*args))

    def fails(self, name, plan, exc_type, func, *args):
        self.add(name, repeat(lambda: raises(exc_type, self.call, plan, func, *args)))

    def held(self, plan, func, *args):
        """A coroutine suspended in a request that holds."""
        self.shim.plan[:] = plan
        coro = func(*args)
        while coro.send(None) != "hold":
            pass
        return coro

    def cancelled(self, name, make):
        async def batch(n):
            self.shim.plan[:] = ["loop"] * n
            tasks = [asyncio.ensure_future(make()) for _ in range(n)]
            await asyncio.sleep(0)
            for task in tasks:
                task.cancel()
            results = await asyncio.gather(*tasks, return_exceptions=True)
            assert all(type(r) is asyncio.CancelledError for r in results), results[:3]
        self.add(name, lambda n: self.loop.run_until_complete(batch(n)), CALLS // 2)

    def binding(self, name, func, args):
        coro = func(*args)
        names = coro.cr_code.co_varnames[:coro.cr_code.co_argcount]
        coro.close()

        def bind():
            raises(TypeError, func, *args, *range(7))
            raises(TypeError, func, *args, unknown=1)
            raises(TypeError, func)
            raises(TypeError, func, *args, **{names[0]: 1})
            if len(names) > 1:
                raises(TypeError, func, **{names[-1]: 1})
        self.add(name + " binding", repeat(bind))

    def network(self, name, func, args):
        """Every way out of one network operation."""
        self.add(name + " ok", repeat(lambda: self.call(["ok"], func, *args)))
        for outcome, exc_type in [("400", httpx.HTTPStatusError), ("refused", httpx.ConnectError),
                                  ("notjson", ValueError), ("int", TypeError)]:
            self.fails(f"{name} {outcome}", [outcome], exc_type, func, *args)
        self.add(name + " throw mid-request", repeat(
            lambda: raises(KeyError, self.held(["hold"], func, *args).throw, KeyError("k"))))
        self.add(name + " close mid-request", repeat(
            lambda: self.held(["hold"], func, *args).close()))
        self.cancelled(name + " task cancelled", lambda: func(*args))
        self.add(name + " never awaited", quiet(repeat(lambda: func(*args))))
        self.binding(name, func, args)


@pytest.fixture
def paths(fb, monkeypatch):
    from tavrin import env
    app = env.get_app()
    saved = dict(vars(app))
    app.print = lambda message, style=None: None  # the app's own keeps every message
    shim = handmade.Httpx()
    monkeypatch.setattr(fb, "httpx", shim)
    monkeypatch.setattr(fb, "SealedBox", PlainBox)
    logging.disable(logging.CRITICAL)  # pytest's log capture keeps every record
    loop = asyncio.new_event_loop()
    p = Paths(shim, loop)
    build(p, fb, app, shim)
    yield p
    loop.close()
    logging.disable(logging.NOTSET)
    vars(app).clear()
    vars(app).update(saved)


def build(p, fb, app, shim):
    p.add("log in", lambda n: login(app), 1)  # the session paths below change it
    for name, args in OPS:
        p.network(f"{name}/{len(args)}", getattr(fb, name), args)
    p.fails("get_auth_user_data no users", ["empty"], ValueError, fb.get_auth_user_data, "t")
    p.fails("update_document data without keys", [], AttributeError, fb.update_document, "p", 5, "t")
    p.fails("update_document without fields", [], ValueError, fb.update_document, "p", {}, "t")
    p.fails("get_document lone surrogate", [], UnicodeEncodeError, fb.get_document, "n/\ud800", "t")
    p.add("encoded path and keys",
          repeat(lambda: p.call(["ok"], fb.update_document, "a?b", {"z.y": 1}, "t")))
    p.fails("trigger_function seal fails", [], Exception, fb.trigger_function, "f", {1, 2})
    p.add("trigger_function no login", repeat(lambda: (
        login(app, None), raises(Exception, p.call, [], fb.trigger_function, "f", {}, True))))
    fresh = handmade.Exchange("ok", {"id_token": FAR, "refresh_token": "rt"})
    p.add("trigger_function refreshes first", repeat(lambda: (
        login(app, NEAR), p.call([fresh, "ok"], fb.trigger_function, "f", {}, True))))
    p.add("trigger_function refresh refused", repeat(lambda: (
        login(app, NEAR), raises(Exception, p.call, ["400"], fb.trigger_function, "f", {}, True))))

    # Session validation: both handlers and every way out.
    def session(id_token, plan, refresh="rt"):
        login(app, id_token, refresh)
        assert p.call(plan, fb.ensure_valid_token) is None
    for name, args in [("no login", (None, [])), ("no refresh token", (NEAR, [], "")),
                       ("far from expiry", (FAR, [])), ("refreshed", (NEAR, ["ok"])),
                       ("reply without tokens", (NEAR, ["empty"])),
                       ("refresh refused", (NEAR, ["400"])), ("refresh transport error", (NEAR, ["refused"]))]:
        p.add("ensure_valid_token " + name, repeat(lambda args=args: session(*args)))

    class Relogin(handmade.Exchange):  # another login replaces the checked one meanwhile
        def __await__(self):
            return login(app, FAR) or (yield from super().__await__())
    for outcome in ("ok", "400"):
        p.add("ensure_valid_token login replaced, refresh " + outcome, repeat(
            lambda outcome=outcome: session(NEAR, [Relogin(outcome, handmade.REPLY)])))

    def print_fails(message, style=None):
        if message.startswith("\nToken refresh failed"):
            raise OSError("no terminal")

    def outer_handler(replace):
        def run(n):
            saved = dict(vars(app)), fb.get_token_expiry
            replace()
            try:
                for _ in range(n):
                    session(NEAR, ["400"])
            finally:
                vars(app).update(saved[0])
                fb.get_token_expiry = saved[1]
        return run
    p.add("ensure_valid_token print fails", outer_handler(lambda: setattr(app, "print", print_fails)))
    p.add("ensure_valid_token expiry missing", outer_handler(lambda: delattr(fb, "get_token_expiry")))
    p.add("ensure_valid_token throw mid-refresh", repeat(lambda: (login(app, NEAR), raises(
        Interrupt, p.held(["hold"], fb.ensure_valid_token).throw, Interrupt))))
    p.add("ensure_valid_token close mid-refresh", repeat(lambda: (
        login(app, NEAR), p.held(["hold"], fb.ensure_valid_token).close())))
    p.cancelled("ensure_valid_token task cancelled",
                lambda: (login(app, NEAR), fb.ensure_valid_token())[1])
    p.add("ensure_valid_token never awaited", quiet(repeat(fb.ensure_valid_token)))
    p.add("ensure_valid_token with an argument", repeat(
        lambda: raises(TypeError, fb.ensure_valid_token, 1)))

    # Registration: the handler of the existence check and every way out.
    reg, user = fb.register_new_user_in_firestore, ("u1", "a@b.c", "tok")
    p.add("register new user", repeat(lambda: p.call(["404", "ok", "ok"], reg, *user)))
    p.add("register billing missing", repeat(lambda: p.call(["ok", "404", "ok"], reg, *user)))
    p.fails("register no user id", [], ValueError, reg, None, "a@b.c", "tok")
    for name, plan, exc in [("exists", ["ok"], Exception), ("read 500", ["500"], httpx.HTTPStatusError),
                            ("billing read 500", ["ok", "500"], httpx.HTTPStatusError),
                            ("read refused", ["refused"], httpx.ConnectError),
                            ("user create 400", ["404", "400"], httpx.HTTPStatusError),
                            ("billing create 400", ["404", "ok", "400"], httpx.HTTPStatusError)]:
        p.fails("register " + name, plan, exc, reg, *user)
    for where, plan in [("read", ["hold"]), ("create", ["404", "hold"])]:
        p.add(f"register throw mid-{where}", repeat(
            lambda plan=plan: raises(KeyError, p.held(plan, reg, *user).throw, KeyError)))
        p.add(f"register close mid-{where}", repeat(lambda plan=plan: p.held(plan, reg, *user).close()))
    p.cancelled("register task cancelled", lambda: reg(*user))
    p.add("register never awaited", quiet(repeat(lambda: reg(*user))))
    p.binding("register", reg, user)

    # The plain functions.
    seal, expiry = fb._sealed_box_encrypt, fb.get_token_expiry
    p.add("_sealed_box_encrypt ok", repeat(lambda: seal({"a": [1, 2]})))
    p.add("_sealed_box_encrypt not serialisable", repeat(lambda: raises(Exception, seal, {1})))

    def short_key(n):
        fb.SEALED_BOX_SERVER_PUBLIC_KEY_B64 = "AAAA"
        try:
            for _ in range(n):
                raises(Exception, seal, {})
        finally:
            fb.SEALED_BOX_SERVER_PUBLIC_KEY_B64 = KEY
    p.add("_sealed_box_encrypt short key", short_key)
    p.add("_sealed_box_encrypt binding", repeat(
        lambda: (raises(TypeError, seal), raises(TypeError, seal, 1, payload=2))))
    tokens = [FAR, "", None, b"a.b.c", "a.b", "a.b.c.d", "a.!!!.c", "a.e30.c", "a.W10.c",
              token("x"), token(1.5), token("12")]
    p.add("get_token_expiry", repeat(lambda: [expiry(t) for t in tokens]))
    def interrupt(sep):
        raise Interrupt
    p.add("get_token_expiry interrupted", repeat(
        lambda: raises(Interrupt, expiry, types.SimpleNamespace(split=interrupt))))
    p.add("get_token_expiry binding", repeat(
        lambda: (raises(TypeError, expiry), raises(TypeError, expiry, token=1, other=2))))
    for func in (fb.get_firestore_base_url, fb.get_functions_base_url):
        p.add(func.__name__, repeat(lambda func=func: (func(), raises(TypeError, func, 1))))

    # The coroutine protocol itself, and cycles through records.
    sign_in = fb.auth_sign_in
    p.add("send non-None at start", repeat(lambda: raises(TypeError, sign_in("a", "b").send, 1)))
    p.add("throw at start", repeat(lambda: raises(KeyError, sign_in("a", "b").throw, KeyError)))
    p.add("close at start", repeat(lambda: sign_in("a", "b").close()))
    p.add("bad throw arguments", repeat(
        lambda: raises(TypeError, sign_in("a", "b").throw, ValueError("a"), "x")))

    def frame_wrapper_reuse_pickle():
        shim.plan[:] = ["ok"]
        coro = sign_in("a", "b")
        coro.cr_frame
        list(coro.__await__())
        raises(RuntimeError, coro.send, None)
        raises(TypeError, pickle.dumps, coro)
    p.add("cr_frame, wrapper, reuse, pickling", repeat(frame_wrapper_reuse_pickle))

    def awaited_already():
        first = p.held(["hold"], sign_in, "a", "b")
        shim.plan[:] = [first]
        raises(RuntimeError, sign_in("c", "d").send, None)
        first.close()
    p.add("awaiting a coroutine awaited already", repeat(awaited_already))

    def cycle(start):
        data = {}
        data["self"] = coro = fb.create_document("c", "i", data, "t")
        if start:
            shim.plan[:] = ["hold"]
            coro.send(None)
    p.add("cycle through a suspended record", quiet(repeat(lambda: cycle(True))))
    p.add("cycle through a fresh record", quiet(repeat(lambda: cycle(False))))

    # Real httpx clients on a MockTransport.
    mode = []

    def handler(request):
        if mode[0] == "refused":
            raise httpx.ConnectError("refused", request=request)
        if mode[0] == "notjson":
            return httpx.Response(200, text="not json")
        return httpx.Response(400 if mode[0] == "400" else 200, json=handmade.REPLY)
    transport = httpx.MockTransport(handler)
    real = types.SimpleNamespace(HTTPStatusError=httpx.HTTPStatusError,
                                 AsyncClient=lambda: httpx.AsyncClient(transport=transport))

    def with_mock(outcome, func, args, exc_type):
        def run(n):
            mode[:], fb.httpx = [outcome], real
            login(app)
            try:
                for _ in range(n):
                    raises(exc_type, drive, func(*args)) if exc_type else drive(func(*args))
            finally:
                fb.httpx = shim
        return run
    for name, args in OPS:
        for outcome, exc in [("ok", None), ("400", httpx.HTTPStatusError),
                             ("notjson", ValueError), ("refused", httpx.ConnectError)]:
            p.add(f"{name}/{len(args)} MockTransport {outcome}",
                  with_mock(outcome, getattr(fb, name), args, exc), MOCK_CALLS)


def counts():
    # Caches that keep what recent calls made, without a trend: re's pattern
    # caches, and the type attribute cache, which holds a reference to each
    # name it caches (str.format and getattr make fresh ones).
    re.purge()
    sys._clear_internal_caches()
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


@pytest.mark.timeout(300)
def test_reference_balance(paths, figure):
    totals = []
    for _ in range(ROUNDS):
        for name, run, n in paths:
            run(n)
        totals.append(counts())
    refs, blocks = ([b[i] - a[i] for a, b in zip(totals, totals[1:])] for i in (0, 1))
    figure(f"{len(paths)} paths, {sum(n for _, _, n in paths)} calls a round, {ROUNDS} rounds;"
           f" change between rounds: refs {refs}, blocks {blocks}; allowed |change| <= {NOISE}"
           f" in the last two")
    assert paths.shim.opened == paths.shim.closed
    if all(abs(d) <= NOISE for d in refs[-2:] + blocks[-2:]):
        return
    moving = []
    for name, run, n in paths:
        run(n)
        before = counts()
        run(n)
        after = counts()
        if max(abs(after[0] - before[0]), abs(after[1] - before[1])) > NOISE:
            moving.append(f"{name}: refs {after[0] - before[0]:+}, blocks"
                          f" {after[1] - before[1]:+} per {n} calls")
    pytest.fail("counts move between rounds; the paths alone:\n" + "\n".join(moving))


def test_pynacl_drift(figure):
    """The drift that PlainBox keeps out of the rounds, in plain Python."""
    from nacl.bindings import crypto_box_seal
    key = base64.b64decode(KEY)
    for _ in range(100):
        crypto_box_seal(b"{}", key)
    before = counts()
    for _ in range(1000):
        crypto_box_seal(b"{}", key)
    after = counts()
    figure(f"PyNaCl crypto_box_seal alone, 1000 calls: refs {after[0] - before[0]:+},"
           f" blocks {after[1] - before[1]:+}")
    assert abs(after[1] - before[1]) <= NOISE
