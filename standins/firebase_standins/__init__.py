"""Local stand-ins for the Firebase services that tavrin.firebase talks to.

One loopback HTTP server answers for every service; it tells them apart by the
Host header of each request (the production host name, which the routing shim
keeps). Each service lives in its own module of this package:

    identity.py   identitytoolkit.googleapis.com (accounts:signUp, accounts:signInWithPassword)

Use from synchronous code (pytest fixtures)::

    with ServicesThread() as svc:
        route(tavrin.firebase, svc.base_url)

or from asynchronous code::

    async with running_services() as svc:
        ...

or from a shell: ``python3 -m firebase_standins`` serves until interrupted.
"""

from .config import StandinConfig
from .routing import ROUTED_HOSTS, route, routed, unroute
from .server import Services, ServicesThread, running_services

__all__ = [
    "ROUTED_HOSTS",
    "Services",
    "ServicesThread",
    "StandinConfig",
    "route",
    "routed",
    "running_services",
    "unroute",
]
