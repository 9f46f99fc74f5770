"""What get() and set() keep between calls (an engine and its socket a
thread, the last target and tags parsed) never shows in a result: a late
reply to an earlier call, another target or tag list, another thread, a
forked child, a signal handler calling in the middle of a call."""

import asyncio
import os
import signal
import socket
import threading
import time

import pytest
from conftest import free_udp_port

import tagproto


def reply(request: bytes, value: int) -> bytes:
    """The answer to a GET of TAG_DEV_ID (id 8): the request's header
    (format, msgId, sequence, tag count) and the tag typed 2, 32 bits."""
    return request[:5] + bytes([8, 2]) + value.to_bytes(4, "big")


def test_a_late_reply_to_an_earlier_call_never_answers_the_next():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as device:
        device.bind(("127.0.0.1", 0))
        device.settimeout(5)
        target = f"127.0.0.1:{device.getsockname()[1]}"

        def answer_late() -> None:
            first, client = device.recvfrom(2048)  # left unanswered: the call times out
            second, _ = device.recvfrom(2048)
            device.sendto(reply(first, 7), client)  # too late, ahead of the right one
            device.sendto(reply(second, 42), client)

        peer = threading.Thread(target=answer_late)
        peer.start()
        try:
            with pytest.raises(tagproto.TimedOut):
                tagproto.get(target, "TAG_DEV_ID", timeout=0.2, retries=0)
            assert tagproto.get(target, "TAG_DEV_ID", timeout=2, retries=0) == {"TAG_DEV_ID": 42}
        finally:
            peer.join()


def in_turn_by_aio(calls: list) -> list:
    """Each (target, tags) read by tagproto.aio.get on one loop, one after
    the other: the loop's engine keeps the last GET built, as get()'s does."""
    async def main() -> list:
        return [await tagproto.aio.get(target, *tags) for target, tags in calls]
    return asyncio.run(main())


def in_turn(calls: list) -> list:
    return [tagproto.get(target, *tags) for target, tags in calls]


@pytest.mark.parametrize("read", [in_turn, in_turn_by_aio])
def test_each_call_goes_to_its_own_target_with_its_own_tags(agent_factory, read):
    first, second = agent_factory("--budget", "0"), agent_factory("--budget", "0")
    tagproto.set(second.target, {"TAG_DEV_LABEL": "second"})
    by_name = f"localhost:{second.port}"
    calls = [
        (first.target, ("TAG_DEV_ID",), {"TAG_DEV_ID": 42}),
        (first.target, ("TAG_DEV_LABEL",), {"TAG_DEV_LABEL": "Demo rack controller"}),
        (second.target, ("TAG_DEV_LABEL",), {"TAG_DEV_LABEL": "second"}),
        (by_name, ("tag_dev_label",), {"TAG_DEV_LABEL": "second"}),
        (first.target, ("TAG_DEV_LABEL", "TAG_DEV_ID"), {"TAG_DEV_LABEL": "Demo rack controller", "TAG_DEV_ID": 42}),
        (first.target, ("TAG_DEV_LABEL",), {"TAG_DEV_LABEL": "Demo rack controller"}),
        (first.target, (8,), {"TAG_DEV_ID": 42}),
        (second.target, ("TAG_DEV_LABEL",), {"TAG_DEV_LABEL": "second"}),
    ]
    calls *= 2
    assert read([(target, tags) for target, tags, _ in calls]) == [expected for _, _, expected in calls]
    with pytest.raises(ValueError, match="no tag TAG_DEV_IDX"):
        tagproto.get(first.target, "TAG_DEV_IDX")


def test_threads_each_read_on_their_own(agent_factory):
    agent = agent_factory("--budget", "0")
    wrong = []

    def read() -> None:
        for _ in range(300):
            got = tagproto.get(agent.target, "TAG_DEV_ID", timeout=2, retries=2)
            if got != {"TAG_DEV_ID": 42}:
                wrong.append(got)

    readers = [threading.Thread(target=read) for _ in range(4)]
    for r in readers:
        r.start()
    for r in readers:
        r.join()
    assert wrong == []


def test_a_forked_child_reads_on_a_socket_of_its_own(agent_factory):
    agent = agent_factory("--budget", "0")
    assert tagproto.get(agent.target, "TAG_DEV_ID") == {"TAG_DEV_ID": 42}  # the parent's engine exists

    def reads() -> int:
        """How many of 300 short reads came back right; shared with the
        other process, the socket would hand each its replies half the time."""
        right = 0
        for _ in range(300):
            try:
                right += tagproto.get(agent.target, "TAG_DEV_ID", timeout=0.5, retries=0) == {"TAG_DEV_ID": 42}
            except tagproto.TimedOut:
                pass
        return right

    child = os.fork()
    if child == 0:
        os._exit(0 if reads() == 300 else 1)
    parent_right = reads()
    _, status = os.waitpid(child, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert parent_right == 300


def test_a_signal_handler_may_call_get_while_a_get_waits(agent, silent_port):
    got = []

    def handler(signum, frame) -> None:
        got.append(tagproto.get(agent.target, "TAG_DEV_ID"))

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        with pytest.raises(tagproto.TimedOut):
            tagproto.get(f"127.0.0.1:{silent_port}", "TAG_DEV_ID", timeout=0.5, retries=0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert got == [{"TAG_DEV_ID": 42}]
    assert tagproto.get(agent.target, "TAG_DEV_ID") == {"TAG_DEV_ID": 42}


def test_a_call_interrupted_by_an_exception_leaves_the_engine_ready(agent, silent_port):
    class Stop(Exception):
        pass

    def handler(signum, frame) -> None:
        raise Stop()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.1)
        with pytest.raises(Stop):
            tagproto.get(f"127.0.0.1:{silent_port}", "TAG_DEV_ID", timeout=5, retries=0)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert tagproto.get(agent.target, "TAG_DEV_LABEL") == {"TAG_DEV_LABEL": "Demo rack controller"}
    assert tagproto.set(agent.target, {"TAG_DEV_LABEL": "after"}) == {"TAG_DEV_LABEL": "after"}


def test_a_device_gone_between_calls_is_refused_on_the_kept_socket(agent_factory):
    agent = agent_factory("--budget", "0")
    assert tagproto.get(agent.target, "TAG_DEV_ID") == {"TAG_DEV_ID": 42}
    agent.stop()
    started = time.monotonic()
    with pytest.raises(tagproto.Refused):
        tagproto.get(agent.target, "TAG_DEV_ID", timeout=5, retries=2)
    assert time.monotonic() - started < 2  # the kernel's report, not the time-out


def test_one_thread_goes_between_families_and_targets(agent_factory):
    try:
        socket.socket(socket.AF_INET6, socket.SOCK_DGRAM).bind(("::1", 0))
    except OSError:
        pytest.skip("no ::1 on this machine")
    six, four = agent_factory("-a", "::1"), agent_factory()
    closed = f"127.0.0.1:{free_udp_port()}"
    for target in [six.target, f"localhost:{four.port}", closed, six.target, four.target, closed]:
        if target == closed:
            with pytest.raises(tagproto.Refused):
                tagproto.get(target, "TAG_DEV_ID", timeout=5)
        else:
            assert tagproto.get(target, "TAG_DEV_ID", timeout=5) == {"TAG_DEV_ID": 42}, target
