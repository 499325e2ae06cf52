"""A small driver for instruction counts of one benchmark case under callgrind.

    valgrind --tool=callgrind --callgrind-out-file=OUT \\
        python3 bench/profile_driver.py SIDE CASE COUNT [EXTENSION]

SIDE is `module` or `baseline`; CASE one of the names in CASES below; COUNT
the number of iterations (run it once with 0 as well: the difference of the
two totals divided by COUNT is the cost of one iteration). Uses the same
temporary application package and hand-made clients as bench/run.py.
"""
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import run as bench  # noqa: E402


def cases(m, app):
    data = {"a": {"stringValue": "x"}}
    payload = {"order": 1042, "items": ["tea", "caf\u00e9"], "total": 7.5, "gift": None}
    token = bench.make_token(2**31 - 1)
    near = bench.make_token(int(bench.time.time()) + 60)
    reply = {"id_token": near, "refresh_token": "refresh-token-1"}

    def login():
        app.firebase_id_token = near
        app.firebase_refresh_token = "refresh-token-1"

    def no_login():
        app.firebase_id_token = app.firebase_refresh_token = None

    def send_once(c):
        try:
            c.send(None)
        except StopIteration:
            pass

    def refused(run):
        try:
            run()
        except Exception:
            pass

    return {
        "create_close": (None, lambda: m.auth_sign_in("a@b.c", "pw").close()),
        "create_close_trigger": (None, lambda: m.trigger_function("f", data).close()),
        "no_suspend": (no_login, lambda: send_once(m.ensure_valid_token())),
        "expiry_valid": (None, lambda: m.get_token_expiry(token)),
        "expiry_bad": (None, lambda: m.get_token_expiry("not-a-token")),
        "seal": (None, lambda: m._sealed_box_encrypt(payload)),
        "chain0": (lambda: (login(), setattr(m, "httpx", bench.FakeHttpx(reply, 0))),
                   lambda: bench.drive(m.ensure_valid_token())),
        "chain100": (lambda: (login(), setattr(m, "httpx", bench.FakeHttpx(reply, 100))),
                     lambda: bench.drive(m.ensure_valid_token())),
        "sign_in_fake": (lambda: setattr(m, "httpx", bench.FakeHttpx({"ok": 1}, 0)),
                         lambda: bench.drive(m.auth_sign_in("a@b.c", "pw"))),
        "sign_in_mock": (lambda: setattr(m, "httpx", bench.MockHttpx({"ok": 1})),
                         lambda: bench.drive(m.auth_sign_in("a@b.c", "pw"))),
        "refused_mock": (lambda: setattr(m, "httpx", bench.MockHttpx({"error": {"code": 400}}, 400)),
                         lambda: refused(lambda: bench.drive(m.auth_sign_in("a@b.c", "pw")))),
        "trigger_mock": (lambda: setattr(m, "httpx", bench.MockHttpx({"ok": 1})),
                         lambda: bench.drive(m.trigger_function("echo", payload))),
    }


def main(argv):
    side, case, count = argv[1], argv[2], int(argv[3])
    ext = Path(argv[4]) if len(argv) > 4 else (
        bench.REPO / "build" / "release" / ("firebase" + bench.EXT_SUFFIX))
    app_dir = bench.setup_app(ext)
    try:
        import tavrin.firebase as fb
        import tavrin.baseline as py
        from tavrin import env
        m = fb if side == "module" else py
        setup, op = cases(m, env.get_app())[case]
        if setup:
            setup()
        for _ in range(50):   # warm-up: specialisation, caches
            op()
        for _ in range(count):
            op()
    finally:
        bench.shutil.rmtree(app_dir, ignore_errors=True)


if __name__ == "__main__":
    main(sys.argv)
