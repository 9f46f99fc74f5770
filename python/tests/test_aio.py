"""tagproto.aio on a real event loop against real agents."""

import asyncio
import contextlib
import gc
import os
import socket
import threading

import pytest

import tagproto
from conftest import free_udp_port


def test_a_thousand_concurrent_reads_each_get_their_own_device(agent_factory):
    fleet = agent_factory(devices=1000)

    async def main():
        reads = [tagproto.aio.get(t, "TAG_DEV_ID", "TAG_DEV_LABEL", retries=4) for t in fleet.targets]
        return await asyncio.gather(*reads)

    got = asyncio.run(main())
    assert [g["TAG_DEV_ID"] for g in got] == list(range(1, 1001))
    assert got[999]["TAG_DEV_LABEL"].endswith(" 1000")


def test_poll_yields_as_they_end_and_errors_raise_as_in_get(agent_factory, silent_port):
    fleet = agent_factory("--loss", "0.3", devices=30)
    silent = f"127.0.0.1:{silent_port}"

    async def main():
        results = [r async for r in tagproto.aio.poll(fleet.targets + [silent], "TAG_DEV_ID",
                                                      timeout=0.1, retries=8)]
        with pytest.raises(tagproto.TimedOut) as timed_out:
            await tagproto.aio.get(silent, "TAG_DEV_ID", timeout=0.05, retries=0)
        with pytest.raises(tagproto.ErrorReply) as error_reply:
            await tagproto.aio.get(fleet.targets[0], "TAG_IO_LABEL", retries=8, timeout=0.1)
        with pytest.raises(tagproto.Refused):
            await tagproto.aio.get(f"127.0.0.1:{free_udp_port()}", "TAG_DEV_ID")
        with pytest.raises(ValueError, match="no tag TAG_NOPE"):
            await tagproto.aio.get(silent, "TAG_NOPE")
        # An empty label: refused by the resolver before any query is sent.
        with pytest.raises(tagproto.Unresolvable):
            await tagproto.aio.get("no-such-host..invalid", "TAG_DEV_ID")
        # A name is looked up off the loop, then read as an address is.
        port = fleet.targets[0].rsplit(":", 1)[1]
        named = [r async for r in tagproto.aio.poll([f"localhost:{port}", "no-such-host..invalid"], "TAG_DEV_ID",
                                                    timeout=0.1, retries=8)]
        return results, timed_out.value, error_reply.value, named

    results, timed_out, error_reply, named = asyncio.run(main())
    assert sorted((r.target, r.status, r.values) for r in named) == [
        (f"localhost:{fleet.targets[0].rsplit(':', 1)[1]}", "answered", {"TAG_DEV_ID": 1}),
        ("no-such-host..invalid", "unresolvable", {})]
    assert len(results) == 31
    assert sorted(r.values["TAG_DEV_ID"] for r in results if r.status == "answered") == list(range(1, 31))
    assert results[-1].target == silent and results[-1].status == "timed_out"
    assert results[-1].attempts == 9
    assert timed_out.attempts == 1
    assert error_reply.tags == {"TAG_ERR_TAGID": 21}


def test_a_host_name_is_looked_up_off_the_loop(agent, monkeypatch):
    looked_up = []
    real = tagproto._engine.resolve

    def resolve(target):
        looked_up.append((target, threading.current_thread() is threading.main_thread()))
        return real(target)

    monkeypatch.setattr(tagproto._engine, "resolve", resolve)
    named = f"localhost:{agent.port}"
    assert asyncio.run(tagproto.aio.get(named, "TAG_DEV_ID")) == {"TAG_DEV_ID": 42}
    assert looked_up == [(named, False)]


def test_verified_and_mismatched_writes(agent_factory):
    agent = agent_factory("--read-only", "TAG_DEV_STATE")

    async def main():
        back = await tagproto.aio.set(agent.target, {"TAG_DEV_LABEL": "async"})
        with pytest.raises(tagproto.Mismatch) as caught:
            await tagproto.aio.set(agent.target, {"TAG_DEV_STATE": 3}, retries=0)
        sent = await tagproto.aio.set(agent.target, {"TAG_DEV_LABEL": "once"}, verify=False)
        return back, caught.value, sent

    back, mismatch, sent = asyncio.run(main())
    assert back == {"TAG_DEV_LABEL": "async"}
    assert mismatch.differences == {"TAG_DEV_STATE": (3, 1)}
    assert sent == {}


def test_a_cancelled_call_cancels_its_exchange(silent_port):
    silent = f"127.0.0.1:{silent_port}"

    async def main():
        task = asyncio.ensure_future(tagproto.aio.get(silent, "TAG_DEV_ID", timeout=5))
        await asyncio.sleep(0.05)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        engine = tagproto.aio._engine_of_loop()
        await asyncio.sleep(0.01)
        return engine._driver.pending(), engine._driver.awaited()

    assert asyncio.run(main()) == (0, 0)


def test_a_large_gather_sends_its_first_requests_while_the_rest_start():
    # Devices of our own that never answer but count what reaches them:
    # five, as an address holds at most 128 exchanges in flight.
    with contextlib.ExitStack() as stack:
        devices = [stack.enter_context(socket.socket(socket.AF_INET, socket.SOCK_DGRAM)) for _ in range(5)]
        for device in devices:
            device.bind(("127.0.0.1", 0))
            device.setblocking(False)
        targets = [f"127.0.0.1:{d.getsockname()[1]}" for d in devices] * 120

        def arrived() -> int:
            count = 0
            for device in devices:
                with contextlib.suppress(BlockingIOError):
                    while device.recv(2048):
                        count += 1
            return count

        async def main():
            tasks = [asyncio.ensure_future(tagproto.aio.get(t, "TAG_DEV_ID", timeout=5)) for t in targets]
            # One turn: every task has started, the engine's own step (which
            # the first of them scheduled) has not run yet.
            await asyncio.sleep(0)
            early = arrived()
            for task in tasks:
                task.cancel()
            cancelled = await asyncio.gather(*tasks, return_exceptions=True)
            await asyncio.sleep(0.01)
            driver = tagproto.aio._engine_of_loop()._driver
            return early, cancelled, driver.pending(), driver.awaited()

        early, cancelled, pending, awaited = asyncio.run(main())
    # Sent 256 at a time: the last 88 wait for the step.
    assert early == 512
    assert all(isinstance(c, asyncio.CancelledError) for c in cancelled)
    assert (pending, awaited) == (0, 0)


def test_leaving_a_poll_early_cancels_the_rest(agent_factory, silent_port):
    fleet = agent_factory(devices=3)
    silent = [f"127.0.0.1:{silent_port}"] * 5

    async def main():
        async for r in tagproto.aio.poll(fleet.targets + silent, "TAG_DEV_ID", timeout=5):
            assert r.status == "answered"
            break
        await asyncio.sleep(0.01)
        return tagproto.aio._engine_of_loop()._driver.pending()

    assert asyncio.run(main()) == 0


def test_an_engine_goes_with_its_loop(agent):
    def descriptors():
        return len(os.listdir("/proc/self/fd"))

    async def one():
        return await tagproto.aio.get(agent.target, "TAG_DEV_ID")

    asyncio.run(one())
    gc.collect()
    before = descriptors()
    for _ in range(20):
        assert asyncio.run(one()) == {"TAG_DEV_ID": 42}
    gc.collect()
    assert descriptors() == before


def test_polls_at_once_on_one_loop_each_get_their_own_results(agent_factory, silent_port):
    fleet = agent_factory(devices=60)
    first, second, third = fleet.targets[:20], fleet.targets[20:40], fleet.targets[40:]
    silent = f"127.0.0.1:{silent_port}"

    async def collect(targets):
        return [r async for r in tagproto.aio.poll(targets, "TAG_DEV_ID", retries=4)]

    async def left_early():
        # Its silent targets' results, cancelled, must reach no other poll.
        async for r in tagproto.aio.poll(third[:1] + [silent] * 5, "TAG_DEV_ID", timeout=5):
            return r

    async def main():
        # A result sent to the wrong poll leaves its own waiting: bounded.
        return await asyncio.wait_for(
            asyncio.gather(collect(first), left_early(), collect(second), collect(third)), 10)

    got_first, early, got_second, got_third = asyncio.run(main())
    assert early.target == third[0] and early.status == "answered"
    for targets, got in ((first, got_first), (second, got_second), (third, got_third)):
        assert sorted(r.target for r in got) == sorted(targets)
        assert {type(r) for r in got} == {tagproto.Result}
        assert all(r.status == "answered" and r.error is None and r.attempts >= 1 for r in got)
    assert sorted(r.values["TAG_DEV_ID"] for r in got_second) == list(range(21, 41))
    assert all(isinstance(r.round_trip, float) for r in got_third)
