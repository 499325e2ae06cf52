"""Connections kept open across tavrin.firebase's calls, for one block.

    from tavrin import firebase_pool

    async with firebase_pool.pooled() as pool:
        await firebase.auth_sign_in(...)    # every call in the block that runs on
        await firebase.get_document(...)    # this event loop shares one httpx client
    pool.clients_made                       # 1 (0 if no call was made)

On entry `pooled()` binds `module.httpx` (default: tavrin.firebase) to a
binding that serves the event loop that entered it (asyncio or trio): its
`AsyncClient()` hands out a lease on one shared httpx client, made on first
use through whatever the module had bound on entry, so the block composes
with routing such as the stand-ins'. Entering the lease gives the shared
client and leaving it keeps the client open (and returns None, so the
call's exception passes). Calls from any other event loop or thread, and
every other attribute, go to the binding that was there on entry.

On exit the previous binding comes back, unless something else has been
bound since (then the module is left alone), and the shared client closes
once the calls still in flight on it have ended; calls made after the exit
go through the previous binding. A `pooled()` entered again on the same
loop while the module is bound to a pool shares that pool.
"""

import asyncio
import importlib
import sys
import threading
from http.cookiejar import DefaultCookiePolicy

import httpx

__all__ = ["Pool", "pooled"]

# Binding and unbinding the module's name is the one step that other
# threads may race; everything else belongs to the pool's own event loop.
_binding_lock = threading.Lock()
_MISSING = object()


def _running_loop():
    """The event loop running this call: asyncio's loop, or trio's run token."""
    try:
        return asyncio.get_running_loop()
    except RuntimeError:
        pass
    trio = sys.modules.get("trio")
    if trio is not None:
        try:
            return trio.lowlevel.current_trio_token()
        except RuntimeError:
            pass
    return None


class Pool:
    """What `async with pooled() as pool` gives: the shared client's
    `limits`, how many clients it made (`clients_made`, 0 or 1) and how
    many calls it served (`leases`)."""

    def __init__(self, module, previous, loop, limits):
        self.module, self.previous, self.loop, self.limits = module, previous, loop, limits
        self.clients_made = self.leases = 0
        self.closed = False
        self._client = None
        self._in_flight = 0
        self._entries = 1  # pooled() blocks sharing this pool, nested on its loop

    def __repr__(self):
        state = "closed" if self.closed else "open"
        return (f"<tavrin.firebase_pool.Pool {state}: {self.clients_made} client(s) made, "
                f"{self.leases} call(s) served>")

    def _lease(self):
        if self._client is None:
            self._client = self.previous.AsyncClient(limits=self.limits)
            # No cookie is kept: a call sends what it would on a client of its own.
            self._client.cookies.jar.set_policy(DefaultCookiePolicy(allowed_domains=()))
            self.clients_made += 1
        self.leases += 1
        return _Lease(self, self._client)

    async def _release(self, client):
        self._in_flight -= 1
        if self.closed and self._in_flight == 0:
            await client.aclose()


class _Lease:
    """What the module gets for a client: the shared client on entry, kept
    open on exit."""

    __slots__ = ("_pool", "_client")

    def __init__(self, pool, client):
        self._pool, self._client = pool, client

    async def __aenter__(self):
        self._pool._in_flight += 1
        return self._client

    async def __aexit__(self, exc_type, exc, tb):
        await self._pool._release(self._client)
        return None


class _PooledHttpx:
    """Stands where the module expects httpx while a pool is open.
    `pooled_over` names the binding it stands on: the stand-ins' routing
    looks through it, so that a pool goes with the routing under it."""

    def __init__(self, pool):
        self.pool = pool
        self.pooled_over = pool.previous

    def AsyncClient(self, **options):  # noqa: N802 (httpx's name)
        pool = self.pool
        if options or pool.closed or _running_loop() is not pool.loop:
            return pool.previous.AsyncClient(**options)
        return pool._lease()

    def __getattr__(self, name):
        return getattr(self.pool.previous, name)

    def __repr__(self):
        return f"<httpx pooled over {self.pool.previous!r}>"


def _restorable(binding):
    """`binding`, or what it stands on if it is a pool that has ended."""
    while isinstance(binding, _PooledHttpx) and binding.pool.closed:
        binding = binding.pool.previous
    return binding


def pooled(module=None, *, max_connections=None, max_keepalive_connections=100,
           keepalive_expiry=5.0):
    """`async with pooled() as pool:` keeps one httpx client for the
    module's calls on this event loop until the block ends. By default
    nothing caps the connections (a burst of calls never waits for one) and
    up to 100 idle ones are kept, each for 5 seconds."""
    limits = httpx.Limits(max_connections=max_connections,
                          max_keepalive_connections=max_keepalive_connections,
                          keepalive_expiry=keepalive_expiry)
    return _Block(module, limits)


class _Block:
    def __init__(self, module, limits):
        self._module, self._limits = module, limits
        self._pool = None

    async def __aenter__(self):
        if self._pool is not None:
            raise RuntimeError("this pooled() block is already entered")
        module = self._module
        if module is None:
            module = importlib.import_module("tavrin.firebase")
        loop = _running_loop()
        if loop is None:
            raise RuntimeError("pooled() needs a running asyncio or trio event loop")
        with _binding_lock:
            current = module.httpx
            if (isinstance(current, _PooledHttpx) and current.pool.loop is loop
                    and not current.pool.closed):
                current.pool._entries += 1
                self._pool = current.pool
            else:
                self._pool = Pool(module, current, loop, self._limits)
                module.httpx = _PooledHttpx(self._pool)
        return self._pool

    async def __aexit__(self, exc_type, exc, tb):
        pool, self._pool = self._pool, None
        with _binding_lock:
            pool._entries -= 1
            if pool._entries:
                return None
            pool.closed = True
            current = pool.module.__dict__.get("httpx", _MISSING)
            if isinstance(current, _PooledHttpx) and current.pool is pool:
                pool.module.httpx = _restorable(pool.previous)
        if pool._client is not None and pool._in_flight == 0:
            await pool._client.aclose()
        return None
