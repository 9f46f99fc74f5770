"""Ctrl-C during a call, other threads running while one waits, and what many
calls leave behind."""

import os
import resource
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

import tagproto

WAITER = """
import sys, tagproto
target = sys.argv[1]
print("ready", flush=True)
try:
    if sys.argv[2] == "get":
        tagproto.get(target, "TAG_DEV_ID", timeout=30, retries=5)
    else:
        for r in tagproto.poll([target] * 50, "TAG_DEV_ID", timeout=30, retries=5):
            print(r.status, flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
    sys.exit(3)
"""


@pytest.mark.parametrize("call", ["get", "poll"])
def test_sigint_during_a_long_wait_raises_keyboard_interrupt_promptly(silent_port, call):
    waiter = subprocess.Popen([sys.executable, "-c", WAITER, f"127.0.0.1:{silent_port}", call],
                              stdout=subprocess.PIPE, text=True, env=os.environ)
    try:
        assert waiter.stdout.readline() == "ready\n"
        time.sleep(0.3)  # in the wait by now
        sent = time.monotonic()
        waiter.send_signal(signal.SIGINT)
        out, _ = waiter.communicate(timeout=5)
        took = time.monotonic() - sent
    finally:
        waiter.kill()
    assert out == "interrupted\n"
    assert waiter.returncode == 3
    assert took < 2


GOES_ON = """
import asyncio, sys, time, tagproto
targets = [sys.argv[1]] * 20
print("ready", flush=True)
if sys.argv[2] == "poll":
    try:
        for r in tagproto.poll(targets, "TAG_DEV_ID", timeout=0.1, retries=50):
            pass
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        time.sleep(1.5)
        print("quiet", flush=True)
else:
    async def main():
        try:
            async for r in tagproto.aio.poll(targets, "TAG_DEV_ID", timeout=0.1, retries=50):
                pass
        except asyncio.CancelledError:
            print("interrupted", flush=True)
            await asyncio.sleep(1.5)  # the loop runs on, with the engine's timers
            print("quiet", flush=True)
    asyncio.run(main())
"""


@pytest.mark.parametrize("call", ["poll", "aio.poll"])
def test_after_sigint_nothing_in_flight_is_sent_again(call):
    # Attempts every 0.1 to 0.4 s until then: had the poll's exchanges gone on
    # after the interrupt, the device would read several more each.
    device = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    device.bind(("127.0.0.1", 0))
    device.setblocking(False)

    def drain():
        count = 0
        while True:
            try:
                device.recv(2048)
            except BlockingIOError:
                return count
            count += 1

    waiter = subprocess.Popen([sys.executable, "-c", GOES_ON, f"127.0.0.1:{device.getsockname()[1]}", call],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=os.environ)
    try:
        assert waiter.stdout.readline() == "ready\n"
        time.sleep(0.6)
        waiter.send_signal(signal.SIGINT)
        assert waiter.stdout.readline() == "interrupted\n"
        before = drain()  # on loopback, every datagram sent is queued here by now
        assert waiter.stdout.readline() == "quiet\n"
        after = drain()
        waiter.wait(timeout=5)
    finally:
        waiter.kill()
        device.close()
    assert before >= 40
    assert after == 0


def test_calls_leak_neither_memory_nor_descriptors(agent_factory):
    agent = agent_factory("--budget", "0")
    def descriptors():
        return len(os.listdir("/proc/self/fd"))

    def rss_kib():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * resource.getpagesize() // 1024

    for _ in range(2000):  # settle allocator pools and the engine's tables
        tagproto.get(agent.target, "TAG_DEV_ID")
    fds, rss = descriptors(), rss_kib()
    for _ in range(100000):
        assert tagproto.get(agent.target, "TAG_DEV_LABEL") == {"TAG_DEV_LABEL": "Demo rack controller"}
    with pytest.raises(ValueError):
        tagproto.get(agent.target, "TAG_NOPE")
    for _ in range(10):
        list(tagproto.poll([agent.target] * 20, "TAG_DEV_ID"))
    assert descriptors() == fds
    assert rss_kib() - rss < 4096  # a leak of 40 bytes a call shows


def test_other_threads_run_while_a_call_waits(silent_port):
    target = f"127.0.0.1:{silent_port}"
    errors = []

    def wait():
        try:
            tagproto.get(target, "TAG_DEV_ID", timeout=0.5, retries=0)
        except tagproto.TimedOut as e:
            errors.append(e)

    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.05)
    spins, start = 0, time.monotonic()
    while waiter.is_alive():
        spins += 1
    took = time.monotonic() - start
    waiter.join()
    assert len(errors) == 1 and errors[0].attempts == 1
    assert took > 0.3
    # Held, the GIL would let this thread spin a few times per switch interval.
    assert spins > 100000
