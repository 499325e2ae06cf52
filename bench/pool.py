"""tavrin.firebase_pool over real TLS on loopback, and how often a kept
connection that the server closed while idle fails the next request.

    python3 bench/pool.py [--quick] [EXTENSION]      (tools/bench pool [--quick])

1. TLS. A throwaway certificate authority (made with the openssl command)
   signs a certificate for the Firebase hosts; it is appended to a copy of
   the system CA bundle, which SSL_CERT_FILE names, so every new httpx
   client loads the whole bundle into a new TLS context as in production.
   The stand-ins serve TLS from a second process, and this process connects
   the Firebase hosts' port 443 to them (httpcore's connect_tcp), keeping
   the host names for SNI and certificate checks. auth_sign_in is timed for
   the module as it stands (tavrin.firebase.httpx is httpx itself: a new
   client per call), bench/baseline.py likewise, and the module inside
   pooled() (the pool entered once and warmed by one round, as an
   application keeps it); 1, 10 and 100 calls at once. Per call: wall time
   and this process's CPU time (the server's excluded), each side's best
   round, the sides taking turns batch by batch within a round.
2. Idle close. The plain-HTTP stand-ins with a short idle timeout close kept
   connections; calls inside pooled() are spaced around that timeout and
   the failures (httpx.RemoteProtocolError, httpx.ReadError) counted.
"""

import argparse
import asyncio
import gc
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import httpcore
import httpx

BENCH = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))
sys.path.insert(0, str(BENCH.parent / "standins"))
import run as bench  # noqa: E402 (bench/run.py: the application package, reporting)

from firebase_standins import route, routing  # noqa: E402

HOSTS = (routing.IDENTITY_HOST, routing.SECURE_TOKEN_HOST, routing.FIRESTORE_HOST,
         "*." + routing.FUNCTIONS_DOMAIN)
EMAIL, PASSWORD = "bench@example.com", "correct horse battery"

# The stand-ins in a process of their own, on TLS when given a certificate:
# each accepted socket is wrapped, and the handshake runs in the
# connection's own thread at its first read. argv: standins dir, API key,
# project, region, idle timeout of a kept connection, [cert, key].
SERVE = r"""
import ssl, sys
sys.path.insert(0, sys.argv[1])
from firebase_standins import StandinConfig, ServicesThread, server
server._Handler.timeout = float(sys.argv[5])
server._Handler.disable_nagle_algorithm = True  # as production servers answer: no 40 ms stalls
if len(sys.argv) > 6:
    tls = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    tls.load_cert_chain(sys.argv[6], sys.argv[7])
    accept = server._Server.get_request
    def get_request(self):
        sock, address = accept(self)
        return tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address
    server._Server.get_request = get_request
config = StandinConfig(api_key=sys.argv[2], project_id=sys.argv[3], region=sys.argv[4])
with ServicesThread(config) as svc:
    print(svc.base_url.rsplit(":", 1)[1], flush=True)
    sys.stdin.read()
"""


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


def make_certificates(folder: Path) -> tuple[Path, Path, Path]:
    """(CA bundle with the throwaway CA appended, server certificate, its key)."""
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    openssl("req", "-x509", *ec, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
            "-subj", "/CN=tavrin bench throwaway CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    openssl("req", *ec, "-keyout", "server.key", "-out", "server.csr",
            "-subj", f"/CN={HOSTS[0]}", cwd=folder)
    (folder / "san.ext").write_text(
        "subjectAltName=" + ",".join("DNS:" + host for host in HOSTS) + "\n"
        "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
        "extendedKeyUsage=serverAuth\nsubjectKeyIdentifier=hash\nauthorityKeyIdentifier=keyid\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "san.ext",
            cwd=folder)
    bundle = folder / "bundle.pem"
    with bundle.open("wb") as out:
        out.write(Path("/etc/ssl/certs/ca-certificates.crt").read_bytes())
        out.write((folder / "ca.pem").read_bytes())
    return bundle, folder / "server.pem", folder / "server.key"


def serve(firebase_config, idle_timeout, *tls):
    server = subprocess.Popen(
        [sys.executable, "-c", SERVE, str(BENCH.parent / "standins"),
         *(str(v) for v in (firebase_config.FIREBASE_API_KEY, firebase_config.FIREBASE_PROJECT_ID,
                            firebase_config.FIREBASE_REGION, idle_timeout, *tls))],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    port = server.stdout.readline().strip()
    if not port.isdigit():
        raise RuntimeError("the stand-in server did not start")
    return server, int(port)


CONNECTIONS = [0]  # connections opened by this process


def connect_firebase_hosts_to(port):
    """Port 443 of the Firebase hosts is 127.0.0.1:PORT, for this process."""
    connect = httpcore.AnyIOBackend.connect_tcp

    async def connect_tcp(self, host, remote_port, *args, **kwargs):
        CONNECTIONS[0] += 1
        if remote_port == 443 and routing.is_routed(host):
            host, remote_port = "127.0.0.1", port
        return await connect(self, host, remote_port, *args, **kwargs)

    httpcore.AnyIOBackend.connect_tcp = connect_tcp


def clock():
    return time.perf_counter(), time.process_time()


async def timed_rounds(sides, concurrency, calls, rounds):
    """{side: (wall, cpu) per call} and {side: connections opened} over the
    timed rounds. A side is (name, module, what the module's httpx is bound
    to). Within a round the sides take turns batch by batch, in a new
    random order each time, so that whatever else loads the machine falls
    on each alike; a side's figure is its best round."""
    turns = random.Random(18)
    best = {side[0]: (float("inf"), float("inf")) for side in sides}
    opened = dict.fromkeys(best, 0)
    gc.disable()
    try:
        for r in range(rounds + 1):  # round 0 warms up, untimed
            gc.collect()
            spent = {name: [0.0, 0.0] for name in best}
            for batch in range(calls // concurrency):
                for name, module, binding in turns.sample(sides, len(sides)):
                    module.httpx = binding
                    connections, start = CONNECTIONS[0], clock()
                    replies = await asyncio.gather(
                        *(module.auth_sign_in(EMAIL, PASSWORD) for _ in range(concurrency)))
                    for i, (end, begin) in enumerate(zip(clock(), start)):
                        spent[name][i] += end - begin
                    assert all(reply["email"] == EMAIL for reply in replies)
                    opened[name] += (CONNECTIONS[0] - connections) if r else 0
            if r:
                best = {name: tuple(min(b, s / calls) for b, s in zip(best[name], spent[name]))
                        for name in best}
    finally:
        gc.enable()
    return best, opened


def bench_tls(fb, py, pooled, firebase_config, quick):
    bench.section("1. auth_sign_in over TLS on loopback   [per call: wall, CPU of this process]")
    folder = Path(tempfile.mkdtemp(prefix="tavrin-tls-"))
    server = None
    try:
        bundle, cert, key = make_certificates(folder)
        os.environ["SSL_CERT_FILE"] = str(bundle)
        server, port = serve(firebase_config, 60, cert, key)
        connect_firebase_hosts_to(port)
        fb.httpx = py.httpx = httpx
        rounds = 3 if quick else 7

        async def main():
            await fb.auth_sign_up(EMAIL, PASSWORD)
            async with pooled(fb) as pool:
                sides = [("module", fb, httpx), ("baseline", py, httpx), ("pooled", fb, fb.httpx)]
                for concurrency in (1, 10, 100):
                    calls = max(concurrency, 10 if quick else 50)
                    best, opened = await timed_rounds(sides, concurrency, calls, rounds)
                    (mw, mc), (bw, bc), (pw, pc) = best["module"], best["baseline"], best["pooled"]
                    label = f"{concurrency:>3} at once"
                    bench.row("tls", f"{label}: module / baseline, wall", mw, bw, target=1.02)
                    bench.row("tls", f"{label}: module / baseline, CPU", mc, bc, target=1.02)
                    bench.row("tls", f"{label}: pooled / module, wall", pw, mw)
                    bench.row("tls", f"{label}: pooled / module, CPU", pc, mc, target=0.2)
                    bench.info("connections opened in the timed rounds: " + ", ".join(
                        f"{name} {count} for {calls * rounds} calls" for name, count in opened.items()))
                fb.httpx = sides[2][2]  # the pool's binding, for the block's end
            bench.info(f"pooled: {pool.clients_made} client made, {pool.leases} calls served; "
                       f"{rounds} timed rounds after one untimed")

        asyncio.run(main())
    finally:
        if server is not None:
            server.stdin.close()
            server.wait(timeout=10)
        os.environ.pop("SSL_CERT_FILE", None)
        shutil.rmtree(folder, ignore_errors=True)


def bench_idle_close(fb, pooled, firebase_config, quick):
    bench.section("2. a kept connection closed by the server while idle, then the next call")
    idle = 0.05
    server, port = serve(firebase_config, idle)
    try:
        route(fb, f"http://127.0.0.1:{port}")
        trials = 200 if quick else 1000
        # The next call within 2 ms of the server's idle timeout, and, as a
        # control, well before it and well after it.
        plans = [("within 2 ms of the timeout", trials, lambda: idle + random.uniform(-0.002, 0.002)),
                 ("at half the timeout", trials // 10, lambda: idle / 2),
                 ("at twice the timeout", trials // 10, lambda: 2 * idle)]

        async def main():
            await fb.auth_sign_up(EMAIL, PASSWORD)
            for label, count, gap in plans:
                failed, opened = {}, CONNECTIONS[0]
                async with pooled(fb):
                    for _ in range(count):
                        for wait in (0, gap()):  # a call right after a reply, then one after `gap`
                            await asyncio.sleep(wait)
                            try:
                                await fb.auth_sign_in(EMAIL, PASSWORD)
                            except httpx.TransportError as error:
                                key = (wait > 0, type(error).__name__)
                                failed[key] = failed.get(key, 0) + 1
                failures = ", ".join(f"{n} {name}" + ("" if waited else " right after a reply")
                                     for (waited, name), n in sorted(failed.items())) or "none"
                bench.info(f"{label:<27} {count:>5} next calls, {CONNECTIONS[0] - opened:>5} new "
                           f"connections, failed: {failures}")

        asyncio.run(main())
        bench.info(f"(the stand-ins close a connection idle for {idle * 1000:.0f} ms here, "
                   "60 s as they are shipped; httpx drops a kept connection after 5 s idle)")
    finally:
        server.stdin.close()
        server.wait(timeout=10)


def main(argv):
    parser = argparse.ArgumentParser(prog="bench/pool.py", description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds and trials")
    parser.add_argument("extension", nargs="?", type=Path,
                        default=BENCH.parent / "build" / "release" / ("firebase" + bench.EXT_SUFFIX))
    args = parser.parse_args(argv[1:])
    if not args.extension.is_file():
        print(f"bench: no built extension at {args.extension} (run tools/build release)")
        return 1
    bench.print_platform(args.extension)
    app_dir = bench.setup_app(args.extension)
    try:
        import tavrin.baseline as py
        import tavrin.firebase as fb
        from tavrin import firebase_config
        from tavrin.firebase_pool import pooled
        bench_tls(fb, py, pooled, firebase_config, args.quick)
        bench_idle_close(fb, pooled, firebase_config, args.quick)
    finally:
        shutil.rmtree(app_dir, ignore_errors=True)
    missed = [r for r in bench.ROWS if r[6] is not None and r[5] > r[6]]
    print(f"\ntargets: {sum(r[6] is not None for r in bench.ROWS) - len(missed)} met, "
          f"{len(missed)} missed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
