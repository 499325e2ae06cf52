"""tavrin.firebase_pool over the plain-HTTP stand-ins, counting the
connections the server accepts."""
import asyncio
import contextlib
import time

import httpx
import pytest
import trio
from firebase_standins import server
from firebase_standins.pytest_plugin import (  # noqa: F401 (fixtures)
    firebase_module, firebase_standins, firebase_standins_config)

from tavrin import firebase_pool

EMAIL, PASSWORD = "ada@example.com", "secret-1"


def run(loop, main):
    return asyncio.run(main()) if loop == "asyncio" else trio.run(main)


@pytest.fixture
def connections(monkeypatch):
    """The client address of every connection the stand-ins accept."""
    accepted, setup = [], server._Handler.setup
    monkeypatch.setattr(server._Handler, "setup",
                        lambda handler: (accepted.append(handler.client_address), setup(handler)))
    return accepted


@pytest.fixture
def svc(firebase_standins):
    firebase_standins.accounts.create(EMAIL, PASSWORD)
    return firebase_standins


async def sign_ins(fb, count):
    replies = [await fb.auth_sign_in(EMAIL, PASSWORD) for _ in range(count)]
    assert all(reply["email"] == EMAIL for reply in replies)


@pytest.mark.parametrize("loop", ["asyncio", "trio"])
@pytest.mark.parametrize("pooling", [True, False])
def test_calls_in_a_row_share_one_connection_in_a_block(svc, firebase_module, connections,
                                                         loop, pooling):
    async def main():
        async with firebase_pool.pooled() if pooling else contextlib.nullcontext() as pool:
            await sign_ins(firebase_module, 30)
        return pool

    pool = run(loop, main)
    assert len(connections) == (1 if pooling else 30)
    if pooling:
        assert (pool.clients_made, pool.leases, pool.closed) == (1, 30, True)


@pytest.mark.parametrize("failure", [None, LookupError("in the block")])
def test_the_binding_comes_back_and_serves_only_its_loop(svc, firebase_module, failure):
    routing = firebase_module.httpx

    async def main():
        async with firebase_pool.pooled(max_connections=3) as pool:
            async with firebase_pool.pooled() as inner:  # nested: the same pool
                assert inner is pool and firebase_module.httpx.HTTPStatusError is httpx.HTTPStatusError
            await sign_ins(firebase_module, 2)
            made = routing.clients_made  # another loop goes through the routing
            await asyncio.to_thread(asyncio.run, sign_ins(firebase_module, 2))
            assert (routing.clients_made - made, pool.clients_made, pool.leases) == (2, 1, 2)
            assert pool.limits.max_connections == 3
            if failure is not None:
                raise failure

    with pytest.raises(LookupError) if failure else contextlib.nullcontext():
        asyncio.run(main())
    assert firebase_module.httpx is routing


def test_failed_calls_leave_the_pool_usable(svc, firebase_module):
    svc.functions.register("slow", lambda call: time.sleep(0.3) or {"slept": True})

    def slow(timeout_seconds=30.0):
        return firebase_module.trigger_function("slow", {}, False, None, timeout_seconds, False)

    async def main():
        async with firebase_pool.pooled() as pool:
            with pytest.raises(httpx.HTTPStatusError):
                await firebase_module.auth_sign_in(EMAIL, "wrong")
            with pytest.raises(httpx.ReadTimeout):
                await slow(timeout_seconds=0.05)
            with pytest.raises(TimeoutError):  # a cancellation mid-request
                await asyncio.wait_for(slow(), 0.05)
            assert await slow() == {"slept": True}
            await sign_ins(firebase_module, 1)
            in_flight = asyncio.ensure_future(slow())
            await asyncio.sleep(0.1)
        # A call still in flight when the block ends finishes on the shared client.
        assert (await in_flight, pool.closed) == ({"slept": True}, True)
        return pool

    assert asyncio.run(main()).clients_made == 1


def test_bursts_of_200_calls(svc, firebase_module, connections):
    async def main():
        opened = []
        async with firebase_pool.pooled() as pool:
            for _ in range(2):
                await asyncio.gather(*(sign_ins(firebase_module, 1) for _ in range(200)))
                opened.append(len(connections))
        return pool, opened

    pool, (first, both) = asyncio.run(main())
    # The second burst reuses the connections kept from the first.
    assert (pool.clients_made, first <= 200, both - first < 200) == (1, True, True)


@pytest.fixture
def blocks(firebase_module):
    """pooled() blocks entered on a loop that outlives the test's fixtures,
    ended after them: the module must be back on the plugin's guard, not on a
    pool or routing to a stopped server."""
    guard = firebase_module.httpx
    with asyncio.Runner() as runner:
        stack = contextlib.AsyncExitStack()
        yield lambda: runner.run(stack.enter_async_context(firebase_pool.pooled())), runner
        runner.run(stack.aclose())
    assert firebase_module.httpx is guard


@pytest.mark.parametrize("pool_first", [True, False])
def test_with_the_plugins_fixtures(request, blocks, firebase_module, connections, pool_first):
    enter, runner = blocks
    pool = enter() if pool_first else None  # over the plugin's guard
    svc = request.getfixturevalue("svc")  # routes; unroutes before the blocks end
    pool = pool or enter()
    runner.run(sign_ins(firebase_module, 3))
    # Routing put over a pool wins while it lasts; a pool over routing serves.
    assert (len(connections), pool.leases) == ((3, 0) if pool_first else (1, 3))
    assert len(svc.requests) == 3
