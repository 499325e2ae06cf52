"""Storms: thousands of operations at once on one event loop against the
stand-ins, threads driving shared coroutine objects, and cycles through
per-call records."""
import asyncio
import gc
import os
import random
import re
import signal
import subprocess
import sys
import threading
import time
import tracemalloc
import warnings
import weakref
from collections import Counter
from pathlib import Path

import httpx
import pytest
from firebase_standins.routing import HttpxShim

import handmade
import support
from handmade import DATA, OPS, token

OPERATIONS = 2000
CANCELLED = 0.3           # share of the operations cancelled, at random points
MEMORY_BOUND = 256 << 10  # bytes a storm may leave behind: 128 an operation
SEED = int(os.environ.get("TAVRIN_STORM_SEED", time.time_ns() % 10**6))
COROUTINES = sorted({name for name, _ in OPS} | {"ensure_valid_token",
                                                  "register_new_user_in_firestore"})

@pytest.fixture
def standins(fb):
    """The stand-ins from the command line, in a process of their own."""
    options = {"api-key": fb.FIREBASE_API_KEY, "project": fb.FIREBASE_PROJECT_ID,
               "region": fb.FIREBASE_REGION, "auth-header": fb.AUTH_HEADER_NAME,
               "auth-key": fb.ENCRYPTED_AUTH_KEY.decode(), "api-version": fb.API_VERSION,
               "encryption-header": fb.ENCRYPTION_HEADER_NAME,
               "private-key": support.PRIVATE_KEY_B64, "backlog": 4096}
    with subprocess.Popen(
            [sys.executable, "-m", "firebase_standins", "--quiet",
             *(f"--{name}={value}" for name, value in options.items())],
            cwd=Path(__file__).resolve().parents[2] / "standins", stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL, text=True) as proc:
        try:
            line = proc.stdout.readline()
            assert line.startswith("firebase stand-ins listening on http://127.0.0.1:"), line
            yield line.split()[4]
        finally:
            proc.send_signal(signal.SIGINT)
            try:
                assert proc.wait(30) == 0
            finally:
                proc.kill()


class CountingShim(HttpxShim):
    """The routing shim, keeping every client it makes."""

    def __init__(self, base_url):
        super().__init__(base_url, httpx)
        self.clients = []

    def AsyncClient(self):  # noqa: N802 (httpx's name)
        # A long default timeout: a busy machine slows the stand-ins, not the module.
        self.clients.append(httpx.AsyncClient(transport=self.transport(), timeout=60))
        return self.clients[-1]


def outcome(result):
    if not isinstance(result, BaseException):
        return "result"
    if type(result) is Exception and result.args == (
            "Authentication token requested but not available.",):
        return "no login"
    if isinstance(result, httpx.HTTPStatusError):
        return f"status {result.response.status_code}"
    return "timeout" if isinstance(result, httpx.TimeoutException) else type(result).__name__


def test_frame_line_is_readable(run_py):
    # A task's repr reads the placeholder frame's line: the definition line,
    # on the debug interpreter too (no assertion failure, hence a process of its own).
    done = run_py("import asyncio, tavrin.firebase as fb\ncoro = fb.auth_sign_in('a', 'b')\n"
                  "print(coro.cr_frame.f_lineno, asyncio.coroutines._format_coroutine(coro))")
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.startswith("41 ") and "tavrin/firebase:41" in done.stdout


@pytest.mark.timeout(600)
def test_storm_on_one_loop(fb, app, standins, monkeypatch, figure):
    shim, made, rnd = CountingShim(standins), [], random.Random(SEED)
    monkeypatch.setattr(fb, "httpx", shim)
    unraisable, warned = [], Counter()
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    app.print = lambda message, style=None: None  # the test app's own keeps every message
    account = asyncio.run(fb.auth_sign_up(f"storm{SEED}@example.com", "secret-1"))
    uid, id_token = account["localId"], account["idToken"]
    app.firebase_id_token, app.firebase_refresh_token = id_token, account["refreshToken"]
    for name in COROUTINES:  # keeps every coroutine, also those made inside the module
        monkeypatch.setattr(fb, name, lambda *a, f=getattr(fb, name): made.append(f(*a)) or made[-1])

    async def validate():
        app.firebase_id_token = token(int(time.time()) + 60)  # about to expire: refreshed
        await fb.ensure_valid_token()

    async def operations():
        loop, errors = asyncio.get_running_loop(), []
        loop.set_exception_handler(lambda loop, context: errors.append(context))
        tag = f"{SEED}-{rnd.randrange(10**9)}"  # new accounts and documents in every storm
        kinds = [
            lambda i: fb.auth_sign_in(account["email"], "secret-1"),
            lambda i: fb.auth_sign_in(account["email"], "wrong"),
            lambda i: fb.auth_sign_up(f"storm{tag}-{i}@example.com", "secret-1"),
            lambda i: fb.get_document(f"users/{uid}", id_token),
            lambda i: fb.create_document("notes", f"s{tag}-{i}", DATA, id_token),
            lambda i: fb.update_document(f"notes/s{tag}-{i}", DATA, id_token),
            lambda i: fb.delete_document(f"notes/s{tag}-{i}", id_token),
            lambda i: fb.refresh_id_token(account["refreshToken"]),
            lambda i: validate(),
            lambda i: fb.trigger_function("echo", {"i": i}, rnd.random() < 0.5),
            lambda i: fb.register_new_user_in_firestore(f"s{tag}-{i}", "a@b.c", id_token),
            lambda i: fb.get_auth_user_data(id_token),
        ]
        tasks = [asyncio.ensure_future(kinds[i % len(kinds)](i)) for i in range(OPERATIONS)]
        for task in rnd.sample(tasks, int(OPERATIONS * CANCELLED)):
            loop.call_later(rnd.choice([0, rnd.uniform(0, 1.5)]), task.cancel)
        start = time.perf_counter()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        return Counter(map(outcome, results)), time.perf_counter() - start, errors

    def storm():
        counts, seconds, errors = asyncio.run(operations())
        unfinished = [c for c in made if c.cr_code is not None or c.cr_await is not None]
        figures = dict(seconds=round(seconds, 1), outcomes=dict(counts), coroutines=len(made),
                       unfinished=len(unfinished), clients=len(shim.clients),
                       open=sum(not c.is_closed for c in shim.clients), loop_errors=errors)
        shim.clients.clear()
        made.clear()
        assert set(counts) <= {"result", "CancelledError", "status 400", "status 404",
                               "no login", "timeout"}, figures
        assert counts["CancelledError"] > 0 and counts["result"] > OPERATIONS // 3, figures
        assert figures["coroutines"] >= OPERATIONS and not unfinished, figures
        assert figures["open"] == 0 and not errors, figures
        re.purge()  # drops what caches keep of recent calls, then collects
        sys._clear_internal_caches()
        gc.collect()
        return figures

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        # Counted by kind only: a record would keep each warning's source alive.
        warnings.showwarning = lambda message, category, *args, **kwargs: warned.update(
            [f"{category.__name__}: {' '.join(str(message).split()[:2])}"])
        first = storm()  # also fills every cache; the second storm is the one measured
        tracemalloc.start()
        before = tracemalloc.take_snapshot()
        second = storm()
        after = tracemalloc.take_snapshot()
        tracemalloc.stop()
    grown = sum(s.size_diff for s in after.compare_to(before, "filename"))
    for name, figures in [("first", first), ("second", second)]:
        figure(f"{name} storm (seed {SEED}): {OPERATIONS} operations, {figures}")
    figure(f"warnings {dict(warned)}; unraisable {len(unraisable)}; memory left by the second"
           f" storm {grown:+} bytes (bound {MEMORY_BOUND}; anyio's task table, sized by the"
           f" peak, is ~150 KB of it)")
    assert unraisable == []
    # httpcore leaves the sockets of some cancelled connects to the collector:
    # a native async def doing the same under the same storm gets as many.
    assert [w for w in warned if not w.startswith("ResourceWarning: unclosed")] == []
    assert grown <= MEMORY_BOUND


class Steps:
    """A request that yields 1, 2, ... 40, letting other threads run at every
    step, then replies; `delivered` is the last step taken."""
    delivered = 0

    def __await__(self):
        for step in range(1, 41):
            time.sleep(0)  # drops the GIL while its coroutine is running
            self.delivered = step
            yield step
        return handmade.Exchange("ok", {"done": True})


@pytest.mark.timeout(120)
def test_threads_share_coroutine_objects(fb, monkeypatch, figure):
    threads, coros = 8, [fb.auth_sign_in("a@b.c", "pw") for _ in range(200)]
    shim, requests = handmade.Httpx(), [Steps() for _ in coros]
    shim.plan[:] = requests  # one for each client, in the order they are made
    monkeypatch.setattr(fb, "httpx", shim)
    barrier, seen = threading.Barrier(threads), Counter()
    taken, finished = [[] for _ in coros], [False] * len(coros)
    expected = {ValueError: "coroutine already executing",
                RuntimeError: "cannot reuse already awaited coroutine"}

    def drive(k):
        rnd = random.Random(SEED + k)
        barrier.wait()
        while not all(finished):
            i, op = rnd.randrange(len(coros)), rnd.random()
            try:
                if op < 0.99:
                    taken[i].append(coros[i].send(None))
                    seen["yielded"] += 1  # counts are figures only: a lost update is harmless
                else:
                    coros[i].throw(KeyError("k")) if op < 0.995 else coros[i].close()
                    finished[i], seen["closed"] = True, seen["closed"] + 1
            except StopIteration as stop:
                assert stop.value == {"done": True}
                finished[i], seen["returned"] = True, seen["returned"] + 1
            except KeyError:
                finished[i], seen["threw"] = True, seen["threw"] + 1
            except (ValueError, RuntimeError) as e:
                assert str(e) == expected[type(e)]
                seen[str(e)] += 1

    workers = [threading.Thread(target=drive, args=(k,)) for k in range(threads)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    finally:
        sys.setswitchinterval(interval)
    figure(f"{threads} threads on {len(coros)} shared coroutines: {dict(seen)}")
    assert seen["coroutine already executing"] > 0
    # A coroutine closed or thrown into before its first step makes no client.
    assert shim.opened == shim.closed == len(coros) - len(shim.plan)
    assert all(coro.cr_code is None and coro.cr_running is False for coro in coros)
    # Every step of every request reached exactly one driver.
    assert sorted(map(len, taken)) == sorted(r.delivered for r in requests)
    assert all(sorted(steps) == list(range(1, len(steps) + 1)) for steps in taken)


@pytest.mark.parametrize("started", [False, True], ids=["fresh", "suspended"])
def test_cycles_through_records_are_collected(fb, app, monkeypatch, started):
    app.firebase_id_token, app.firebase_refresh_token = token(int(time.time()) + 10**6), "rt"
    shim, refs = handmade.Httpx(), []
    monkeypatch.setattr(fb, "httpx", shim)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for name, args in OPS + [("register_new_user_in_firestore", ("u1", "a@b.c", "tok"))]:
            for through in ("argument", "delegate"):
                # The coroutine goes in its first argument, or in the request that holds.
                cell, holding = [], handmade.Exchange("hold")
                coro = getattr(fb, name)(*((cell,) + args[1:] if through == "argument" else args))
                (cell if through == "argument" else holding.__dict__.setdefault("c", [])).append(coro)
                if started:
                    shim.plan[:] = ["hold"] if through == "argument" else [holding]
                    while coro.send(None) != "hold":
                        pass
                refs.append(weakref.ref(coro))
                del coro, cell, holding
        gc.collect()
    assert [r for r in refs if r() is not None] == []
    never_awaited = [w for w in caught if "was never awaited" in str(w.message)]
    assert len(never_awaited) == len(caught) == (0 if started else len(refs))
    assert shim.closed == shim.opened == (len(refs) if started else 0)
