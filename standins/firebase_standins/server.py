"""The one loopback HTTP server behind every stand-in service.

Requests are dispatched to a service by the Host header, which names the
production host the caller addressed (the routing shim keeps it).
"""

from __future__ import annotations

import asyncio
import contextlib
import sys
import traceback
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from .accounts import Account, Accounts
from .config import StandinConfig
from .firestore import Documents, Firestore
from .functions import CloudFunctions, Functions
from .identity import IdentityToolkit
from .outbox import Outbox
from .securetoken import SecureToken
from .wire import Request, Response, ServiceError, json_response

# Every stand-in service, one class per module; the server asks each in turn
# whether it answers for a request's host.
SERVICE_CLASSES = [IdentityToolkit, SecureToken, Firestore, CloudFunctions]


class Services:
    """The state of all stand-in services and the dispatch of one request.

        accounts    the accounts, their passwords and refresh tokens
        outbox      the e-mails the identity service would have sent
        documents   the Firestore documents, by path ("users/abc")
        functions   the HTTPS functions served and the calls they received
        requests    every request received, in order
        clock       the stand-ins' time (seconds since the epoch), replaceable
    """

    def __init__(self, config: StandinConfig | None = None):
        self.config = config or StandinConfig()
        # The stand-ins' clock (seconds since the epoch); tests may replace it.
        self.clock = time.time
        clock = lambda: self.clock()  # noqa: E731 (follows a replaced clock)
        self.accounts = Accounts(self.config, clock)
        self.outbox = Outbox(self.config, clock)
        self.documents = Documents(self.config, clock)
        self.functions = Functions(self.config)
        self.services = [cls(self) for cls in SERVICE_CLASSES]
        # Every request received, in order of arrival.
        self.requests: list[Request] = []
        self._lock = threading.Lock()

    def now(self) -> float:
        return self.clock()

    def account(self, who: str) -> Account:
        """The account with this local id or e-mail address; KeyError if none."""
        account = self.accounts.by_id(who) or self.accounts.by_email(who)
        if account is None:
            raise KeyError(who)
        return account

    def make_id_token(self, who: str, *, exp: float | None = None,
                      lifetime: int | None = None) -> str:
        """An ID token for the account `who` (local id or e-mail address),
        signed as the identity service signs them, that expires at `exp`
        (seconds since the epoch; may be near or past) or after `lifetime`
        seconds from now (by default the configured lifetime)."""
        return self.accounts.issue_id_token(self.account(who), lifetime=lifetime,
                                            exp=None if exp is None else int(exp))

    def revoke_refresh_token(self, token: str) -> bool:
        """The secure-token service refuses the token from now on (400
        INVALID_REFRESH_TOKEN). False if the token was not known."""
        return self.accounts.revoke_refresh_token(token)

    def dispatch(self, request: Request) -> Response:
        with self._lock:
            self.requests.append(request)
        for service in self.services:
            if service.handles(request.host):
                try:
                    return service.handle(request)
                except ServiceError as error:
                    return error.response()
        return json_response({"error": {
            "code": 404, "status": "NOT_FOUND",
            "message": f"No stand-in service answers for host {request.host!r}"}}, 404)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "firebase-standins"
    sys_version = ""
    timeout = 60

    def _read_body(self) -> bytes:
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            chunks = []
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return b"".join(chunks)
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
        return self.rfile.read(int(self.headers.get("Content-Length") or 0))

    def _serve(self) -> None:
        body = self._read_body()
        headers = {name.lower(): value for name, value in self.headers.items()}
        request = Request.parse(self.command, self.path, headers, body)
        try:
            response = self.server.services.dispatch(request)
        except Exception as exc:  # a stand-in bug: answer 500 and say what it was
            response = json_response({"error": {
                "code": 500, "status": "INTERNAL",
                "message": f"stand-in failure: {type(exc).__name__}: {exc}"}}, 500)
            traceback.print_exc()
        self.send_response(response.status)
        self.send_header("Content-Type", response.content_type)
        self.send_header("Content-Length", str(len(response.body)))
        for name, value in response.headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(response.body)

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = _serve

    def log_message(self, format, *args):  # noqa: A002 (the base class's name)
        if self.server.verbose:
            sys.stderr.write("standins: %s - %s\n" % (self.address_string(), format % args))


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # The listen backlog: an application's tests may start hundreds of
    # operations at once, each on a new connection, and the accepting
    # thread takes them one by one (the default of 5 drops some).
    request_queue_size = 1024

    def __init__(self, address, services: Services, verbose: bool):
        self.services = services
        self.verbose = verbose
        super().__init__(address, _Handler)

    def handle_error(self, request, client_address):
        # A client that went away mid-request (a cancelled operation) is not
        # the stand-ins' error; only the verbose log shows it.
        if self.verbose or not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


class ServicesThread:
    """The stand-ins served on a loopback port by a background thread.

        with ServicesThread() as svc:
            svc.base_url        # "http://127.0.0.1:PORT"
            svc.services        # state: svc.services.accounts, .requests, .clock
            svc.accounts, svc.outbox, svc.documents, svc.functions, svc.requests
                                # the same, shorter
            svc.make_id_token("a@b.com", exp=time.time() + 60)
            svc.revoke_refresh_token(refresh_token)
    """

    def __init__(self, config: StandinConfig | None = None, *,
                 host: str = "127.0.0.1", port: int = 0, verbose: bool = False):
        self.services = Services(config)
        self.config = self.services.config
        self._address = (host, port)
        self._verbose = verbose
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None

    @property
    def base_url(self) -> str:
        if self._server is None:
            raise RuntimeError("the stand-ins are not running")
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    @property
    def accounts(self) -> Accounts:
        return self.services.accounts

    @property
    def requests(self) -> list[Request]:
        return self.services.requests

    @property
    def outbox(self) -> Outbox:
        return self.services.outbox

    @property
    def documents(self) -> Documents:
        return self.services.documents

    @property
    def functions(self) -> Functions:
        return self.services.functions

    def make_id_token(self, who: str, **kwargs) -> str:
        return self.services.make_id_token(who, **kwargs)

    def revoke_refresh_token(self, token: str) -> bool:
        return self.services.revoke_refresh_token(token)

    def start(self) -> ServicesThread:
        if self._server is not None:
            raise RuntimeError("the stand-ins are already running")
        self._server = _Server(self._address, self.services, self._verbose)
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.05},
                                        name="firebase-standins", daemon=True)
        self._thread.start()
        return self

    def stop(self) -> None:
        server, thread = self._server, self._thread
        if server is None:
            return
        server.shutdown()
        server.server_close()
        thread.join()
        self._server = self._thread = None

    def __enter__(self) -> ServicesThread:
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()


@contextlib.asynccontextmanager
async def running_services(config: StandinConfig | None = None, **kwargs):
    """`async with running_services() as svc:` serves the stand-ins for the
    block; `svc` is a started ServicesThread."""
    svc = ServicesThread(config, **kwargs).start()
    try:
        yield svc
    finally:
        await asyncio.to_thread(svc.stop)
