# Type stub of tavrin.firebase_pool, installed beside it: one httpx client
# kept for tavrin.firebase's calls on the event loop that enters pooled(),
# until the block ends.

from contextlib import AbstractAsyncContextManager
from types import ModuleType

import httpx

__all__ = ["Pool", "pooled"]

class Pool:
    module: ModuleType
    previous: object          # what module.httpx was bound to on entry
    loop: object              # the asyncio loop or trio run token served
    limits: httpx.Limits
    clients_made: int         # clients made through `previous` (0 or 1)
    leases: int               # calls served by the shared client
    closed: bool              # the block has ended

def pooled(module: ModuleType | None = None, *, max_connections: int | None = None,
           max_keepalive_connections: int | None = 100,
           keepalive_expiry: float | None = 5.0) -> AbstractAsyncContextManager[Pool]: ...
