"""Ctrl-C during a call, other threads running while one waits, and what many
calls leave behind."""

import os
import resource
import signal
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
