"""Benchmark of tavrin.firebase against a pure-Python rendering of it.

    python3 bench/run.py [--quick] [--markdown] [EXTENSION]

(tools/bench builds the release module and runs this inside the development
root.) EXTENSION is the built module, by default build/release/firebase<EXT_SUFFIX>.
A temporary copy of tests/app/tavrin is put on sys.path with the extension
linked in as tavrin/firebase<EXT_SUFFIX> and bench/baseline.py copied in as
tavrin/baseline.py, so both sides read the same `env` and `firebase_config`
modules and the same application object. Every figure is printed as
module / baseline and their ratio (module divided by baseline: below 1 the
module is faster or smaller), with the target where there is one.

Timing is timeit-style: the number of iterations per repeat is calibrated so
that a repeat lasts about 50 ms, the garbage collector is off during a
repeat, the two sides alternate from repeat to repeat, and the minimum over
the repeats is kept. Memory is measured with tracemalloc (bytes requested
from every Python allocator domain, which includes the module's C++
coroutine frames) and sys.getallocatedblocks() (live pymalloc blocks), as the
difference over many objects kept alive at once, divided by their number.
"""

import argparse
import asyncio
import base64
import gc
import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
import tracemalloc
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
sys.path.insert(0, str(REPO / "tools"))
from app_package import make_app_package  # noqa: E402 (found through the line above)
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")

QUICK = False
REPEAT = 7
REPEAT_SECONDS = 0.05


# ---- timing -------------------------------------------------------------------

def _timed(loop, n):
    gc_was = gc.isenabled()
    gc.disable()
    try:
        start = time.perf_counter()
        loop(n)
        return time.perf_counter() - start
    finally:
        if gc_was:
            gc.enable()


def _calibrate(loop):
    """Iterations for one repeat of about REPEAT_SECONDS (as timeit.autorange)."""
    n = 1
    while True:
        t = _timed(loop, n)
        if t >= REPEAT_SECONDS / 5:
            return max(1, int(n * REPEAT_SECONDS / t))
        n *= 10 if t < REPEAT_SECONDS / 100 else 2


def compare(loop_module, loop_baseline, repeat=None):
    """Seconds per iteration of each loop: minimum over alternating repeats."""
    repeat = repeat or REPEAT
    n = _calibrate(loop_module)
    _calibrate(loop_baseline)  # warms the baseline up as well
    best_m = best_b = float("inf")
    for r in range(repeat):
        gc.collect()
        if r % 2:
            best_b = min(best_b, _timed(loop_baseline, n))
            best_m = min(best_m, _timed(loop_module, n))
        else:
            best_m = min(best_m, _timed(loop_module, n))
            best_b = min(best_b, _timed(loop_baseline, n))
    return best_m / n, best_b / n


# ---- reporting ------------------------------------------------------------------

ROWS = []  # (section, label, module, baseline, unit, ratio, target)


def fmt_value(v, unit):
    if unit == "s":
        if v < 1e-6:
            return f"{v * 1e9:.0f} ns"
        if v < 1e-3:
            return f"{v * 1e6:.2f} us"
        return f"{v * 1e3:.2f} ms"
    return f"{v:.0f} {unit}"


def section(title):
    print()
    print(title, flush=True)


def row(sec, label, m, b, unit="s", target=None):
    ratio = m / b if b else float("nan")
    verdict = ""
    if target is not None:
        verdict = f"<= {target:g} " + ("met" if ratio <= target else "MISSED")
    ROWS.append((sec, label, m, b, unit, ratio, target))
    print(f"  {label:<46} {fmt_value(m, unit):>11} / {fmt_value(b, unit):>11}"
          f"   {ratio:5.2f}   {verdict}", flush=True)


def info(text):
    print(f"    {text}", flush=True)


# ---- the application package ----------------------------------------------------

def setup_app(extension):
    app_dir = Path(tempfile.mkdtemp(prefix="tavrin-bench-"))
    package = make_app_package(REPO / "tests" / "app" / "tavrin", extension, app_dir)
    shutil.copy(BENCH / "baseline.py", package / "baseline.py")
    return app_dir


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def make_token(exp):
    """A JSON Web Token whose claims segment needs padding."""
    header = b64url(json.dumps({"alg": "HS256", "typ": "JWT"}).encode())
    claims = {"iss": "https://securetoken.google.com/demo-project", "aud": "demo-project",
              "sub": "uid-0123456789", "email": "user@example.com", "exp": exp}
    segment = b64url(json.dumps(claims).encode())
    while len(segment) % 4 == 0:
        claims["pad"] = claims.get("pad", "") + "x"
        segment = b64url(json.dumps(claims).encode())
    return f"{header}.{segment}.c2lnbmF0dXJl"


# ---- hand-made httpx stand-ins ----------------------------------------------------

class Yields:
    """The awaitable of a fake request: yields `len(items)` times, then gives
    the response."""
    __slots__ = ("items", "response")

    def __init__(self, items, response):
        self.items = items
        self.response = response

    def __await__(self):
        yield from self.items
        return self.response


class FakeResponse:
    __slots__ = ("payload",)

    def __init__(self, payload):
        self.payload = payload

    def raise_for_status(self):
        return self

    def json(self):
        return self.payload


class FakeClient:
    __slots__ = ("shim",)

    def __init__(self, shim):
        self.shim = shim

    async def __aenter__(self):
        return self

    async def __aexit__(self, exc_type, exc, tb):
        return None

    def post(self, url, **kwargs):
        return Yields(self.shim.items, self.shim.response)


class FakeHttpx:
    """Stands where the modules expect httpx: every client's post() returns an
    awaitable that yields `yields` times, then a response whose json() is
    `reply`."""

    def __init__(self, reply, yields=0):
        import httpx
        self.HTTPStatusError = httpx.HTTPStatusError
        self.response = FakeResponse(reply)
        self.items = [None] * yields

    def AsyncClient(self):  # noqa: N802 (httpx's name)
        return FakeClient(self)


class MockHttpx:
    """Real httpx clients on a MockTransport that answers every request."""

    def __init__(self, reply, status=200):
        import httpx
        self.httpx = httpx
        self.HTTPStatusError = httpx.HTTPStatusError
        body = json.dumps(reply).encode()
        self.handler = lambda request: httpx.Response(
            status, content=body, headers={"content-type": "application/json"})

    def AsyncClient(self):  # noqa: N802
        return self.httpx.AsyncClient(transport=self.httpx.MockTransport(self.handler))


def drive(coro):
    """Runs a coroutine to its end by send(None); gives its result."""
    send = coro.send
    try:
        while True:
            send(None)
    except StopIteration as stop:
        return stop.value


# ---- the figures --------------------------------------------------------------------

def bench_creation(fb, py):
    section("1. call, binding and coroutine creation, then close()   [module / baseline, ratio]")
    sec = "creation"

    def two(f, a, b):
        def loop(n):
            for _ in range(n):
                f(a, b).close()
        return loop

    def two_kw(f, a, b):
        def loop(n):
            for _ in range(n):
                f(email=a, password=b).close()
        return loop

    def four(f, a, b, c, d):
        def loop(n):
            for _ in range(n):
                f(a, b, c, d).close()
        return loop

    def none(f):
        def loop(n):
            for _ in range(n):
                f().close()
        return loop

    def trig(f, a, b):
        def loop(n):
            for _ in range(n):
                f(a, b).close()
        return loop

    def trig_kw(f, a, b):
        def loop(n):
            for _ in range(n):
                f(a, b, use_auth_token=True, timeout_seconds=5.0).close()
        return loop

    data = {"a": {"stringValue": "x"}}
    cases = [
        ("auth_sign_in(email, password)", lambda m: two(m.auth_sign_in, "a@b.c", "pw")),
        ("auth_sign_in(email=, password=)", lambda m: two_kw(m.auth_sign_in, "a@b.c", "pw")),
        ("create_document(4 positional)", lambda m: four(m.create_document, "users", "u", data, "t")),
        ("ensure_valid_token()", lambda m: none(m.ensure_valid_token)),
        ("trigger_function(name, payload) + 4 defaults", lambda m: trig(m.trigger_function, "f", data)),
        ("trigger_function(2 positional, 2 keywords)", lambda m: trig_kw(m.trigger_function, "f", data)),
    ]
    for label, make in cases:
        m, b = compare(make(fb), make(py))
        row(sec, label, m, b, target=1.0)


def bench_no_suspend(fb, py, app):
    section("2. a coroutine that finishes without suspending, driven by send(None)")
    sec = "no suspension"
    app.firebase_id_token = None
    app.firebase_refresh_token = None

    def loop_for(f):
        def loop(n):
            for _ in range(n):
                c = f()
                try:
                    c.send(None)
                except StopIteration:
                    pass
        return loop

    m, b = compare(loop_for(fb.ensure_valid_token), loop_for(py.ensure_valid_token))
    row(sec, "ensure_valid_token() with no login", m, b, target=1.0)


def bench_pass_through(fb, py, app):
    section("3. pass-through of suspensions: a fake request that yields N times   [per yield]")
    sec = "pass-through"
    yields = 200 if QUICK else 2000
    token = make_token(int(time.time()) + 60)   # inside the 300 s refresh window
    reply = {"id_token": token, "refresh_token": "refresh-token-1"}
    shim_n = FakeHttpx(reply, yields)
    shim_0 = FakeHttpx(reply, 0)

    def set_shim(shim):
        fb.httpx = py.httpx = shim

    def login():
        app.firebase_id_token = token
        app.firebase_refresh_token = "refresh-token-1"

    def chain(f):
        def loop(n):
            for _ in range(n):
                drive(f())
        return loop

    def sign_in(f):
        def loop(n):
            for _ in range(n):
                drive(f("a@b.c", "pw"))
        return loop

    def bare(shim):
        def loop(n):
            for _ in range(n):
                drive(Yields(shim.items, shim.response).__await__())
        return loop

    login()
    # Make sure the chain really refreshes and keeps its login.
    for m in (fb, py):
        set_shim(shim_0)
        drive(m.ensure_valid_token())
        assert app.firebase_id_token == token and app.firebase_refresh_token, m
    cases = [
        ("ensure_valid_token > refresh_id_token > request", chain, "ensure_valid_token"),
        ("auth_sign_in > request", sign_in, "auth_sign_in"),
    ]
    for label, make, name in cases:
        set_shim(shim_0)
        m0, b0 = compare(make(getattr(fb, name)), make(getattr(py, name)))
        set_shim(shim_n)
        mn, bn = compare(make(getattr(fb, name)), make(getattr(py, name)))
        row(sec, label, (mn - m0) / yields, (bn - b0) / yields, target=1.0)
        info(f"whole operation without suspending: {fmt_value(m0, 's')} / {fmt_value(b0, 's')}"
             f"  ratio {m0 / b0:.2f}")
    t_bare, _ = compare(bare(shim_n), bare(shim_n), repeat=3)
    info(f"(N = {yields}; per yield = (time with N yields - time with none) / N; the fake")
    info(f" request's own generator, driven directly, costs {t_bare / yields * 1e9:.0f} ns per yield"
         " of this on both sides)")
    app.firebase_id_token = app.firebase_refresh_token = None


def bench_plain(fb, py):
    section("4. plain functions")
    sec = "plain"
    token = make_token(int(time.time()) + 3600)
    bad = "not-a-token"
    payload = {"order": 1042, "items": ["tea", "caf\u00e9"], "total": 7.5, "gift": None}
    assert fb.get_token_expiry(token) == py.get_token_expiry(token) > 0
    assert fb.get_token_expiry(bad) == py.get_token_expiry(bad) == 0

    def expiry(f, t):
        def loop(n):
            for _ in range(n):
                f(t)
        return loop

    def seal(f):
        def loop(n):
            for _ in range(n):
                f(payload)
        return loop

    def base_url(f):
        def loop(n):
            for _ in range(n):
                f()
        return loop

    m, b = compare(expiry(fb.get_token_expiry, token), expiry(py.get_token_expiry, token))
    row(sec, "get_token_expiry(valid token)", m, b, target=0.9)
    m, b = compare(expiry(fb.get_token_expiry, bad), expiry(py.get_token_expiry, bad))
    row(sec, "get_token_expiry(malformed token) -> 0", m, b, target=0.9)
    m, b = compare(seal(fb._sealed_box_encrypt), seal(py._sealed_box_encrypt))
    row(sec, "_sealed_box_encrypt(4-member dict)", m, b, target=0.9)
    m, b = compare(base_url(fb.get_functions_base_url), base_url(py.get_functions_base_url))
    row(sec, "get_functions_base_url()", m, b)


def bench_full(fb, py):
    section("5. a full operation over httpx.MockTransport (no suspension), driven by send(None)")
    info(f"(min of {2 * REPEAT + 1} repeats: these vary most from run to run)")
    sec = "full operation"
    reply = {"kind": "identitytoolkit#VerifyPasswordResponse", "localId": "uid-1",
             "idToken": "x" * 600, "refreshToken": "r" * 100, "expiresIn": "3600"}
    fb.httpx = py.httpx = MockHttpx(reply)
    data = {"title": {"stringValue": "Groceries"}, "items": {"integerValue": "3"}}
    payload = {"order": 1042, "items": ["tea", "caf\u00e9"], "total": 7.5}

    def op(make):
        def loop(n):
            for _ in range(n):
                drive(make())
        return loop

    cases = [
        ("auth_sign_in", lambda m: lambda: m.auth_sign_in("a@b.c", "pw")),
        ("create_document", lambda m: lambda: m.create_document("notes", "n1", data, "tok")),
        ("trigger_function (sealed)", lambda m: lambda: m.trigger_function("echo", payload)),
    ]
    for label, make in cases:
        assert drive(make(fb)()) == drive(make(py)()) == reply
        m, b = compare(op(make(fb)), op(make(py)), repeat=2 * REPEAT + 1)
        row(sec, label, m, b, target=1.0)

    # The failure path: the status test raises and the error leaves the
    # operation through the client's exit.
    fb.httpx = py.httpx = MockHttpx({"error": {"code": 400, "message": "INVALID_PASSWORD"}}, 400)

    def refused(m):
        error = m.httpx.HTTPStatusError

        def loop(n):
            for _ in range(n):
                try:
                    drive(m.auth_sign_in("a@b.c", "pw"))
                except error:
                    pass
        return loop

    m, b = compare(refused(fb), refused(py), repeat=2 * REPEAT + 1)
    row(sec, "auth_sign_in answered 400 (HTTPStatusError)", m, b)


def _memory_per_object(make, count):
    """(bytes, blocks) per object for `count` objects made by make() and kept."""
    objects = [None] * count
    gc.collect()
    gc.disable()
    try:
        tracemalloc.start()
        blocks0 = sys.getallocatedblocks()
        traced0 = tracemalloc.get_traced_memory()[0]
        for i in range(count):
            objects[i] = make()
        traced1 = tracemalloc.get_traced_memory()[0]
        blocks1 = sys.getallocatedblocks()
        tracemalloc.stop()
    finally:
        gc.enable()
    for c in objects:
        c.close()
    del objects
    gc.collect()
    return (traced1 - traced0) / count, (blocks1 - blocks0) / count


def bench_memory(fb, py):
    section("6. memory per coroutine object   [bytes by tracemalloc; pymalloc blocks]")
    sec = "memory"
    count = 2000 if QUICK else 20000
    data = {"a": {"stringValue": "x"}}
    fb.httpx = py.httpx = FakeHttpx({"ok": True}, 1)

    def suspended(f, *args):
        def make():
            c = f(*args)
            c.send(None)
            return c
        return make

    cases = [
        ("pending auth_sign_in", lambda m: lambda: m.auth_sign_in("a@b.c", "pw")),
        ("pending trigger_function", lambda m: lambda: m.trigger_function("f", data)),
        ("suspended auth_sign_in (in the request)", lambda m: suspended(m.auth_sign_in, "a@b.c", "pw")),
        ("suspended trigger_function (in the request)",
         lambda m: suspended(m.trigger_function, "f", data, False, None, 30.0, False)),
    ]
    for label, make in cases:
        mb, mk = _memory_per_object(make(fb), count)
        bb, bk = _memory_per_object(make(py), count)
        row(sec, label, mb, bb, unit="B", target=1.0)
        info(f"pymalloc blocks per object: {mk:.1f} / {bk:.1f}")
    info(f"({count} objects kept alive at once; the suspended ones include the fake request's")
    info(" client, awaitable and generator, the same objects on both sides)")


# ---- loopback stand-ins ------------------------------------------------------------------

SERVE_CODE = r"""
import resource, sys, threading
sys.path.insert(0, sys.argv[1])
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
from firebase_standins import StandinConfig, ServicesThread
from firebase_standins import server
# The stand-in server keeps socketserver's listen backlog of 5, which would
# make a burst of connections wait for SYN retransmissions; the benchmark
# wants the servers' own cost, so the backlog is raised here.
server._Server.request_queue_size = 4096
config = StandinConfig(api_key=sys.argv[2], project_id=sys.argv[3], region=sys.argv[4])
with ServicesThread(config) as svc:
    print(svc.base_url, flush=True)
    sys.stdin.read()
"""


def bench_concurrency(fb, py, firebase_config):
    section("7. concurrent auth_sign_in against the loopback stand-ins   [time per operation]")
    sec = "concurrency"
    sys.path.insert(0, str(REPO / "standins"))
    from firebase_standins import route, unroute

    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    server = subprocess.Popen(
        [sys.executable, "-c", SERVE_CODE, str(REPO / "standins"),
         str(firebase_config.FIREBASE_API_KEY), str(firebase_config.FIREBASE_PROJECT_ID),
         str(firebase_config.FIREBASE_REGION)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        base_url = server.stdout.readline().strip()
        if not base_url.startswith("http://"):
            raise RuntimeError("the stand-in server did not start")
        route(fb, base_url)
        route(py, base_url)
        email, password = "bench@example.com", "correct horse battery"

        async def run():
            await fb.auth_sign_up(email, password)
            plan = [(1, 3 if QUICK else 30), (10, 2 if QUICK else 8),
                    (100, 1 if QUICK else 4), (1000, 1 if QUICK else 2)]
            for concurrency, rounds in plan:
                if QUICK and concurrency > 100:
                    continue
                best = {fb: float("inf"), py: float("inf")}
                for r in range(rounds):
                    for m in ((fb, py) if r % 2 == 0 else (py, fb)):
                        start = time.perf_counter()
                        replies = await asyncio.gather(
                            *(m.auth_sign_in(email, password) for _ in range(concurrency)))
                        elapsed = time.perf_counter() - start
                        assert all(reply["email"] == email for reply in replies)
                        best[m] = min(best[m], elapsed)
                row(sec, f"{concurrency:>5} concurrent", best[fb] / concurrency,
                    best[py] / concurrency)
            info("(one process serves the stand-ins, the other drives; each operation opens its")
            info(" own httpx client, whose default transport loads the CA bundle into a new SSL")
            info(" context, as production clients do)")

        asyncio.run(run())
    finally:
        unroute(fb)
        unroute(py)
        server.stdin.close()
        server.wait(timeout=10)


# ---- main ----------------------------------------------------------------------------------

def print_platform(extension):
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print("tavrin.firebase benchmark: the native module against bench/baseline.py (pure Python)")
    print(f"python {sys.version}")
    print(f"build: {sys.implementation.cache_tag}, Py_GIL_DISABLED={sysconfig.get_config_var('Py_GIL_DISABLED')}"
          f", Py_DEBUG={sysconfig.get_config_var('Py_DEBUG')}, GIL enabled at run time: {gil}")
    print(f"machine: {platform.machine()}, {os.cpu_count()} CPUs, {platform.platform()}")
    print(f"module: {extension}")
    print(f"timing: min of {REPEAT} alternating repeats of ~{REPEAT_SECONDS * 1000:.0f} ms each;"
          " ratio = module / baseline")


def print_markdown():
    print()
    print("| figure | case | ratio | target |")
    print("|---|---|---|---|")
    for sec, label, m, b, unit, ratio, target in ROWS:
        tgt = "" if target is None else f"<= {target:.1f}" + ("" if ratio <= target else " (missed)")
        print(f"| {sec} | {label.replace('>', '&gt;')} | {ratio:.2f} | {tgt} |")


def main(argv):
    global QUICK, REPEAT
    parser = argparse.ArgumentParser(prog="bench/run.py", description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats and objects")
    parser.add_argument("--markdown", action="store_true", help="also print the ratios as a table")
    parser.add_argument("--only", default="", help="comma-separated figure numbers, e.g. 1,3")
    parser.add_argument("extension", nargs="?", type=Path,
                        default=REPO / "build" / "release" / ("firebase" + EXT_SUFFIX))
    args = parser.parse_args(argv[1:])
    QUICK = args.quick
    if QUICK:
        REPEAT = 3
    if not args.extension.is_file():
        print(f"bench: no built extension at {args.extension} (run tools/build release)")
        return 1
    print_platform(args.extension)
    app_dir = setup_app(args.extension)
    started = time.perf_counter()
    try:
        import tavrin.firebase as fb
        import tavrin.baseline as py
        from tavrin import env, firebase_config
        app = env.get_app()
        only = {int(x) for x in args.only.split(",") if x}
        steps = [
            (1, lambda: bench_creation(fb, py)),
            (2, lambda: bench_no_suspend(fb, py, app)),
            (3, lambda: bench_pass_through(fb, py, app)),
            (4, lambda: bench_plain(fb, py)),
            (5, lambda: bench_full(fb, py)),
            (6, lambda: bench_memory(fb, py)),
            (7, lambda: bench_concurrency(fb, py, firebase_config)),
        ]
        for number, step in steps:
            if not only or number in only:
                step()
    finally:
        shutil.rmtree(app_dir, ignore_errors=True)
    missed = [r for r in ROWS if r[6] is not None and r[5] > r[6]]
    print()
    print(f"targets: {sum(1 for r in ROWS if r[6] is not None) - len(missed)} met, {len(missed)} missed"
          + (": " + "; ".join(f"{r[1]} ({r[5]:.2f} > {r[6]:.1f})" for r in missed) if missed else ""))
    print(f"total time {time.perf_counter() - started:.0f} s")
    if args.markdown:
        print_markdown()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
