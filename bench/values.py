"""Benchmark of tavrin.firestore_values against its plain Python rendering.

    python3 bench/values.py [--quick] [CODEC]

(tools/bench runs it after bench/run.py.) CODEC is the built codec, by
default build/release/firestore_values<EXT_SUFFIX>; bench/values_baseline.py
is the rendering, which validates the same things with the standard
library (datetime.fromisoformat, base64.b64decode). Both encode (to_fields)
and decode (from_document) a typical document of about 1 KB: a dozen
fields, one nested map, a list, two timestamps. Times are the minimum over
alternating repeats of about 50 ms, garbage collector off; the speed-up is
rendering / codec, to reach at least 5.
"""

import argparse
import datetime as dt
import gc
import json
import shutil
import sys
import sysconfig
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REPO = BENCH.parent
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")
TARGET = 5.0


def timed(call, arg, n):
    gc.disable()
    try:
        start = time.perf_counter()
        for _ in range(n):
            call(arg)
        return time.perf_counter() - start
    finally:
        gc.enable()


def compare(native, plain, arg, repeat):
    """Seconds per call of each: the minimum over alternating repeats."""
    n = 1
    while timed(native, arg, n) < 0.01:
        n *= 2
    n = max(1, int(n * 0.05 / timed(native, arg, n)))
    best = [float("inf"), float("inf")]
    for r in range(repeat):
        for i in (0, 1) if r % 2 else (1, 0):
            best[i] = min(best[i], timed((native, plain)[i], arg, n) / n)
    return best


def document(fv):
    """The typical document: its Python fields, and the document as read."""
    when = dt.datetime(2024, 5, 1, 9, 30, 15, 250000, tzinfo=dt.timezone.utc)
    fields = {
        "title": "Quarterly review of the delivery routes",
        "body": "Routes 4 and 7 overlap between the depot and the ring road; merge them "
                "before the summer timetable and move the early van to route 9. " * 2,
        "status": "open", "priority": 3, "estimate_hours": 12.5, "done": False,
        "assignee": None, "created": when,
        "due": dt.datetime(2024, 6, 30, 17, 0, tzinfo=dt.timezone(dt.timedelta(hours=2))),
        "tags": ["routes", "planning", "summer", 2024],
        "owner": fv.Reference("projects/demo/databases/(default)/documents/users/u1"),
        "thumbnail": bytes(range(48)),
        "meta": {"source": "web", "version": 7, "reviewed": True,
                 "location": fv.GeoPoint(48.2082, 16.3738)},
    }
    typed = fv.to_fields(fields)
    read = {"name": "projects/demo/databases/(default)/documents/notes/q2-routes",
            "fields": json.loads(json.dumps(typed)),
            "createTime": "2024-05-01T09:30:15.250113Z", "updateTime": "2024-05-02T10:00:00.5Z"}
    return fields, read


def main(argv):
    parser = argparse.ArgumentParser(prog="bench/values.py", description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("codec", nargs="?", type=Path,
                        default=REPO / "build" / "release" / ("firestore_values" + EXT_SUFFIX))
    args = parser.parse_args(argv)
    app = Path(tempfile.mkdtemp(prefix="tavrin-bench-values-"))
    try:
        (app / "tavrin").mkdir()
        (app / "tavrin" / args.codec.name).symlink_to(args.codec.resolve())
        sys.path[:0] = [str(app), str(BENCH)]
        from tavrin import firestore_values as fv
        import values_baseline as plain

        fields, read = document(fv)
        plain_fields = dict(fields, owner=plain.Reference(fields["owner"].name),
                            meta=dict(fields["meta"], location=plain.GeoPoint(48.2082, 16.3738)))
        assert fv.to_fields(fields) == plain.to_fields(plain_fields) == read["fields"]
        assert repr(fv.from_document(read)) == repr(plain.from_document(read))
        size = len(json.dumps(read["fields"], separators=(",", ":")))
        print(f"tavrin.firestore_values against its Python rendering: {len(fields)} fields, "
              f"{size} bytes of compact JSON fields, Python {sys.version.split()[0]}")
        print(f"  {'':<28} {'codec':>10} {'rendering':>10}  speed-up  target")
        repeat = 5 if args.quick else 15
        missed = 0
        for label, native, python, arg in [
                ("encode: to_fields", fv.to_fields, plain.to_fields, (fields, plain_fields)),
                ("decode: from_document", fv.from_document, plain.from_document, (read, read))]:
            t_native, t_plain = compare(lambda a: native(a[0]), lambda a: python(a[1]), arg, repeat)
            speedup = t_plain / t_native
            missed += speedup < TARGET
            print(f"  {label:<28} {t_native * 1e6:8.2f} us {t_plain * 1e6:7.2f} us  {speedup:7.1f}x"
                  f"  >= {TARGET:.0f}x {'met' if speedup >= TARGET else 'MISSED'}", flush=True)
        return 1 if missed else 0
    finally:
        shutil.rmtree(app, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
