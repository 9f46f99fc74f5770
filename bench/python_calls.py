"""The Python package's figures, for bench/python_calls.sh (never a test).

python3 python_calls.py steady HOST:PORT CALLS
    one steady GET in-process beside a bare socket exchange of the same
    datagram with the same agent: median microseconds of each
python3 python_calls.py fleet TARGETS_FILE RUNS
    every device of the file read at once, by poll, aio.poll and a gather of
    aio.get calls, and asyncio's own floor under that gather (as many futures
    resolved by one callback, no network): median wall milliseconds of each
python3 python_calls.py soak HOST:PORT CALLS
    RSS (KiB) and descriptors every tenth of the calls
"""

import asyncio
import os
import select
import socket
import statistics
import sys
import time

import tagproto

TAG = "TAG_DEV_ID"


def request_datagram() -> bytes:
    """The datagram tagproto.get sends, caught on a socket of our own."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as catcher:
        catcher.bind(("127.0.0.1", 0))
        try:
            tagproto.get(f"127.0.0.1:{catcher.getsockname()[1]}", TAG, timeout=0.01, retries=0)
        except tagproto.TimedOut:
            pass
        return catcher.recv(2048)


def per_call(call, calls: int) -> float:
    """Median microseconds of one call, over batches of 100."""
    batches = []
    for _ in range(max(1, calls // 100)):
        start = time.perf_counter()
        for _ in range(100):
            call()
        batches.append((time.perf_counter() - start) * 1e4)
    return statistics.median(batches)


def steady(target: str, calls: int) -> None:
    host, port = target.rsplit(":", 1)
    datagram = request_datagram()
    bare = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    bare.connect((host, int(port)))

    def exchange() -> None:
        bare.send(datagram)
        bare.recv(2048)

    # As a socket that talks to many devices must: sendto and recvfrom on
    # one not connected to any.
    unconnected = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    to = (host, int(port))

    def exchange_to() -> None:
        unconnected.sendto(datagram, to)
        unconnected.recvfrom(2048)

    # The engine's own steps, bare: a socket that never blocks, not
    # connected, a wait in poll(), the read. (The error queue is read only
    # when the kernel has said it holds a report, never on a steady GET.)
    engine_like = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    engine_like.setblocking(False)
    engine_like.setsockopt(socket.SOL_IP, 11, 1)  # IP_RECVERR
    waiter = select.poll()
    waiter.register(engine_like, select.POLLIN)

    def exchange_polled() -> None:
        engine_like.sendto(datagram, to)
        waiter.poll(1000)
        engine_like.recvfrom(2048)

    def get() -> None:
        tagproto.get(target, TAG)

    ways = (exchange, get, exchange_to, exchange_polled)
    for _ in range(1000):
        for way in ways:
            way()
    times: list = [[] for _ in ways]
    for _ in range(5):  # interleaved, so that all see the same machine
        for way, figures in zip(ways, times):
            figures.append(per_call(way, calls // 5))
    socket_us, get_us, sendto_us, polled_us = (statistics.median(t) for t in times)
    print(f"socket {socket_us:.1f} get {get_us:.1f} sendto {sendto_us:.1f} polled {polled_us:.1f}")


def fleet(path: str, runs: int) -> None:
    with open(path) as f:
        targets = [line.strip() for line in f if line.strip()]

    def sync() -> int:
        return sum(r.status == "answered" for r in tagproto.poll(targets, TAG))

    async def gathered() -> int:
        got = await asyncio.gather(*(tagproto.aio.get(t, TAG) for t in targets), return_exceptions=True)
        return sum(isinstance(g, dict) for g in got)

    async def floor() -> int:
        # asyncio's own share of a gather, no network: as many coroutines,
        # each awaiting a future that one callback resolves once all wait.
        loop = asyncio.get_running_loop()
        futures: list = []

        def resolve() -> None:
            for future in futures:
                future.set_result({})

        async def one() -> dict:
            future = loop.create_future()
            futures.append(future)
            if len(futures) == len(targets):
                loop.call_soon(resolve)
            return await future

        got = await asyncio.gather(*(one() for _ in targets), return_exceptions=True)
        return sum(isinstance(g, dict) for g in got)

    async def polled() -> int:
        return sum([r.status == "answered" async for r in tagproto.aio.poll(targets, TAG)])

    async def aio_runs(runs: int, *ways) -> list:
        """Each way's (wall ms, answered) of every run, the ways taken in
        turn within a run so that all see the same machine."""
        walls: list = [[] for _ in ways]
        for _ in range(runs):
            for way, figures in zip(ways, walls):
                start = time.perf_counter()
                answered = await way()
                figures.append(((time.perf_counter() - start) * 1e3, answered))
                await asyncio.sleep(0.2)
        return walls

    sync_walls = []
    for _ in range(runs):
        start = time.perf_counter()
        answered = sync()
        sync_walls.append(((time.perf_counter() - start) * 1e3, answered))
        time.sleep(0.2)  # the devices' reply budgets refill
    gather_walls, floor_walls = asyncio.run(aio_runs(runs, gathered, floor))
    (aio_poll_walls,) = asyncio.run(aio_runs(runs, polled))
    for name, walls in (("poll", sync_walls), ("aio.poll", aio_poll_walls), ("aio.get-gather", gather_walls),
                        ("asyncio-floor", floor_walls)):
        wall = statistics.median(w for w, _ in walls)
        print(f"{name} {wall:.2f} {min(a for _, a in walls)}")


def soak(target: str, calls: int) -> None:
    def rss() -> int:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    step = calls // 10
    for i in range(calls):
        if i % step == 0:
            print(f"{i} {rss()} {len(os.listdir('/proc/self/fd'))}", flush=True)
        tagproto.get(target, TAG)
    print(f"{calls} {rss()} {len(os.listdir('/proc/self/fd'))}")


if __name__ == "__main__":
    {"steady": steady, "fleet": fleet, "soak": soak}[sys.argv[1]](sys.argv[2], int(sys.argv[3]))
