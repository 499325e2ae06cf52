"""Local stand-ins for the Firebase services that tavrin.firebase talks to.

One loopback HTTP server answers for every service; it tells them apart by the
Host header of each request (the production host name, which the routing shim
keeps). Each service lives in its own module of this package:

    identity.py     identitytoolkit.googleapis.com (accounts:signUp, :signInWithPassword,
                    :sendOobCode, :lookup); e-mails go to the outbox (outbox.py)
    securetoken.py  securetoken.googleapis.com (/v1/token, refresh_token grant)
    firestore.py    firestore.googleapis.com (documents: create, get, patch, delete, list)
    functions.py    REGION-PROJECT.cloudfunctions.net (HTTPS functions VERSION_NAME: the
                    fixed authentication header, sealed or plain JSON bodies; VERSION_echo,
                    VERSION_fail, and any registered by tests)

The functions stand-in opens sealed bodies with a development-only key pair
(keys.py) whose public half the demo application carries; tests may give
their own private key (StandinConfig.server_private_key_b64).

Use from synchronous code (pytest fixtures)::

    with ServicesThread() as svc:
        route(tavrin.firebase, svc.base_url)

or from asynchronous code::

    async with running_services() as svc:
        ...

or from a shell: ``python3 -m firebase_standins`` serves until interrupted.

The official Firebase Auth emulator can answer for the identity and
secure-token hosts instead, and the official Functions emulator for the
functions hosts (emulator.py), the stand-ins serving the rest::

    emulator = AuthEmulator.from_environment().wait()   # FIREBASE_AUTH_EMULATOR_HOST
    functions = FunctionsEmulator.from_environment().wait()
    route(tavrin.firebase, svc.base_url, emulator=emulator, functions_emulator=functions)

An application's own tests get them as pytest fixtures (pytest_plugin.py):
``firebase_standins``, ``firebase_auth_emulator`` and
``firebase_functions_emulator``; outside them the plugin lets no request of
tavrin.firebase leave.

What the services hold, from Python (``svc`` is a ServicesThread)::

    svc.accounts.by_email("a@b.com")       # Account (local_id, password, ...)
    svc.outbox.mails(kind="VERIFY_EMAIL")  # [Mail(kind, email, local_id, oob_code, link, sent_at)]
    svc.documents.get("users", uid)        # {"name", "fields", "createTime", "updateTime"} or None
    svc.documents.fields("users/" + uid)   # just the fields, or None
    svc.make_id_token(uid, exp=t)          # an ID token expiring at t
    svc.revoke_refresh_token(token)        # later refreshes: 400 INVALID_REFRESH_TOKEN
    svc.functions.register("name", handler)  # serve handler(call) at /VERSION_name
    svc.functions.calls                    # [FunctionCall(headers, body, payload, uid, ...)]
    svc.services.clock = lambda: t         # the stand-ins' time
"""

from .config import StandinConfig
from .emulator import AuthEmulator, EmulatorUnavailable, FunctionsEmulator
from .functions import FunctionCall, FunctionError
from .keys import DEV_SERVER_PRIVATE_KEY_B64, DEV_SERVER_PUBLIC_KEY_B64
from .routing import ROUTED_HOSTS, route, routed, unroute
from .server import Services, ServicesThread, running_services

__all__ = [
    "AuthEmulator",
    "DEV_SERVER_PRIVATE_KEY_B64",
    "DEV_SERVER_PUBLIC_KEY_B64",
    "EmulatorUnavailable",
    "FunctionCall",
    "FunctionError",
    "FunctionsEmulator",
    "ROUTED_HOSTS",
    "Services",
    "ServicesThread",
    "StandinConfig",
    "route",
    "routed",
    "running_services",
    "unroute",
]
