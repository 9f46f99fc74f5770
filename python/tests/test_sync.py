"""get, set and poll end to end against real tagagents on loopback."""

import asyncio
import socket

import pytest

import tagproto
from conftest import free_udp_port


def test_get_types_values_by_the_table(agent):
    got = tagproto.get(agent.target, "TAG_DEV_ID", "tag_dev_label", 6, "TAG_IO_SAMPLED_VALUE")
    assert got == {"TAG_DEV_ID": 42, "TAG_DEV_LABEL": "Demo rack controller", "TAG_DEV_STATE": 1,
                   "TAG_IO_SAMPLED_VALUE": 21.5}
    assert type(got["TAG_DEV_ID"]) is int
    assert type(got["TAG_IO_SAMPLED_VALUE"]) is float
    assert list(got)[:2] == ["TAG_DEV_ID", "TAG_DEV_LABEL"]


def test_get_of_a_group_tag_returns_the_tags_the_device_expands_it_to(agent):
    got = tagproto.get(agent.target, "TAG_SITE_CFG")
    assert got["TAG_SITE_ID"] == "SITE-0001"
    assert got["TAG_SITE_LABEL"] == "Demo site"


def test_tag_the_device_lacks_is_an_error_reply_naming_it(agent):
    with pytest.raises(tagproto.ErrorReply) as caught:
        tagproto.get(agent.target, "TAG_DEV_ID", "TAG_IO_LABEL")
    e = caught.value
    assert e.tags == {"TAG_ERR_TAGID": 21}
    assert e.status == "error_reply"
    assert e.target == agent.target
    assert isinstance(e, tagproto.Error)


def test_verified_write_returns_the_read_back_and_the_device_keeps_it(agent):
    back = tagproto.set(agent.target, {"TAG_DEV_LABEL": "rack 7", "tag_io_sampled_value": 3, 18: 0x23})
    assert back == {"TAG_DEV_LABEL": "rack 7", "TAG_IO_SAMPLED_VALUE": 3.0, "TAG_IO_PNUM": 0x23}
    assert tagproto.get(agent.target, "TAG_DEV_LABEL") == {"TAG_DEV_LABEL": "rack 7"}


def test_unverified_write_sends_once_and_returns_nothing(agent):
    assert tagproto.set(agent.target, {"TAG_DEV_LABEL": "sent once"}, verify=False) == {}
    for _ in range(100):
        if tagproto.get(agent.target, "TAG_DEV_LABEL")["TAG_DEV_LABEL"] == "sent once":
            break
    assert tagproto.get(agent.target, "TAG_DEV_LABEL") == {"TAG_DEV_LABEL": "sent once"}


def test_read_only_tag_is_a_mismatch_naming_what_was_written_and_read(agent_factory):
    agent = agent_factory("--read-only", "TAG_DEV_LABEL")
    with pytest.raises(tagproto.Mismatch) as caught:
        tagproto.set(agent.target, {"TAG_DEV_LABEL": "new", "TAG_DEV_STATE": 2}, timeout=0.2, retries=1)
    e = caught.value
    assert e.differences == {"TAG_DEV_LABEL": ("new", "Demo rack controller")}
    assert e.status == "mismatch"
    assert e.attempts == 2


def test_text_that_is_not_utf8_reads_back_as_bytes(agent):
    for raw in (b"\xff\xfe", b"\xed\xa0\x80", b"\xc0\xaf", b"caf\xc3"):
        assert tagproto.set(agent.target, {"TAG_DEV_LABEL": raw}) == {"TAG_DEV_LABEL": raw}
    assert tagproto.set(agent.target, {"TAG_DEV_LABEL": "caf\xe9".encode()}) == {"TAG_DEV_LABEL": "café"}


def test_silent_port_times_out_after_every_attempt(silent_port):
    target = f"127.0.0.1:{silent_port}"
    with pytest.raises(tagproto.TimedOut) as caught:
        tagproto.get(target, "TAG_DEV_ID", timeout=0.05, retries=1)
    assert caught.value.attempts == 2
    assert caught.value.status == "timed_out"
    assert caught.value.target == target


def test_closed_port_is_refused():
    target = f"127.0.0.1:{free_udp_port()}"
    with pytest.raises(tagproto.Refused) as caught:
        tagproto.get(target, "TAG_DEV_ID", timeout=1.0)
    assert caught.value.status == "refused"


# An empty label: no resolver can put the name in a query, so the lookup
# fails on this machine and sends nothing.
def test_unknown_host_name_is_unresolvable():
    with pytest.raises(tagproto.Unresolvable):
        tagproto.get("no-such-host..invalid", "TAG_DEV_ID", timeout=0.1)


BAD_ARGUMENTS = [
    (lambda t: tagproto.get(t, "TAG_NO_SUCH"), ValueError, "no tag TAG_NO_SUCH in the tag table"),
    (lambda t: tagproto.get(t, 300), ValueError, "no tag 300"),
    (lambda t: tagproto.get(t, 2.5), TypeError, "a tag is a name or an id"),
    (lambda t: tagproto.get("[::1", "TAG_DEV_ID"), ValueError, "no ']' in target"),
    (lambda t: tagproto.get("127.0.0.1:0", "TAG_DEV_ID"), ValueError, "bad port"),
    (lambda t: tagproto.get(t, "TAG_DEV_ID", timeout=0), ValueError, "timeout"),
    (lambda t: tagproto.get(t, "TAG_DEV_ID", retries=-1), ValueError, "retries"),
    (lambda t: tagproto.set(t, {"TAG_DEV_CFG": 1}), ValueError, "TAG_DEV_CFG"),
    (lambda t: tagproto.set(t, {"TAG_DEV_ID": "x"}), ValueError, "TAG_DEV_ID"),
    (lambda t: tagproto.set(t, {"TAG_DEV_STATE": 256}), ValueError, "TAG_DEV_STATE"),
    (lambda t: tagproto.set(t, {"TAG_DEV_ID": -1}), ValueError, "out of range"),
    (lambda t: tagproto.set(t, {"TAG_DEV_ID": True}), TypeError, "bool"),
    (lambda t: tagproto.set(t, {"TAG_DEV_LABEL": 3.5}), ValueError, "TAG_DEV_LABEL"),
    (lambda t: tagproto.set(t, {"TAG_DEV_LABEL": [1]}), TypeError, "list"),
    (lambda t: list(tagproto.poll([t, "[::1]x"], "TAG_DEV_ID")), ValueError, "bad port in target"),
    (lambda t: tagproto.poll(t, "TAG_DEV_ID"), TypeError, "not one target"),
    (lambda t: tagproto.poll(iter([t, t, b"x:1"]), "TAG_DEV_ID"), TypeError, "a target is a str, not bytes"),
    (lambda t: tagproto.poll([t, t], "TAG_DEV_ID", "TAG_NOPE"), ValueError, "no tag TAG_NOPE"),
    (lambda t: tagproto.poll([t], "TAG_DEV_ID", timeout=-1), ValueError, "timeout"),
    (lambda t: asyncio.run(drained(tagproto.aio.poll([t, "localhost:1", "[::1]x"], "TAG_DEV_ID"))),
     ValueError, "bad port in target"),
    (lambda t: asyncio.run(drained(tagproto.aio.poll([t, 7], "TAG_DEV_ID"))), TypeError, "not int"),
    (lambda t: asyncio.run(drained(tagproto.aio.poll([t], "TAG_DEV_ID", 2.5))), TypeError, "a tag is"),
    (lambda t: asyncio.run(tagproto.aio.get("localhost:0", "TAG_DEV_ID")), ValueError, "bad port"),
    (lambda t: asyncio.run(tagproto.aio.get("localhost", "TAG_NOPE")), ValueError, "no tag TAG_NOPE"),
]


async def drained(results):
    return [r async for r in results]


@pytest.mark.parametrize("call,error,words", BAD_ARGUMENTS)
def test_bad_arguments_raise_before_anything_is_sent(call, error, words):
    """The target is a socket that would see any datagram sent."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as watcher:
        watcher.bind(("127.0.0.1", 0))
        watcher.setblocking(False)
        target = f"127.0.0.1:{watcher.getsockname()[1]}"
        with pytest.raises(error, match=words.replace("[", r"\[")):
            call(target)
        with pytest.raises(BlockingIOError):
            watcher.recv(2048)


def test_poll_yields_a_result_per_target_whatever_it_ended_as(agent_factory, silent_port):
    fleet = agent_factory(devices=20)
    silent = f"127.0.0.1:{silent_port}"
    closed = f"127.0.0.1:{free_udp_port()}"
    results = list(tagproto.poll(fleet.targets + [silent, closed], "TAG_DEV_ID", timeout=0.2, retries=1))
    by_target = {r.target: r for r in results}
    assert len(results) == 22
    assert sorted(r.values["TAG_DEV_ID"] for r in results if r.status == "answered") == list(range(1, 21))
    assert by_target[silent].status == "timed_out"
    assert by_target[silent].attempts == 2
    assert by_target[silent].round_trip is None
    assert isinstance(by_target[silent].error, tagproto.TimedOut)
    assert by_target[closed].status == "refused"
    first = by_target[fleet.targets[0]]
    assert first.error is None and first.attempts == 1 and 0 < first.round_trip < 0.2
    # The ones that answered came before the one that waited out its attempts.
    assert results[-1].target == silent


def test_poll_reads_a_lossy_fleet_whole_by_retrying(agent_factory):
    fleet = agent_factory("--loss", "0.3", devices=50)
    results = list(tagproto.poll(fleet.targets, "TAG_DEV_ID", timeout=0.1, retries=8))
    assert sorted(r.values["TAG_DEV_ID"] for r in results) == list(range(1, 51))
    assert max(r.attempts for r in results) > 1


def test_ipv6_loopback(agent_factory):
    try:
        socket.socket(socket.AF_INET6, socket.SOCK_DGRAM).bind(("::1", 0))
    except OSError:
        pytest.skip("no ::1 on this machine")
    agent = agent_factory("-a", "::1")
    assert agent.target.startswith("[::1]:")
    assert tagproto.get(agent.target, "TAG_DEV_ID") == {"TAG_DEV_ID": 42}
    assert tagproto.set(agent.target, {"TAG_DEV_STATE": 2}) == {"TAG_DEV_STATE": 2}
    results = list(tagproto.poll([agent.target, f"127.0.0.1:{free_udp_port()}"], "TAG_DEV_ID"))
    assert sorted(r.status for r in results) == ["answered", "refused"]

    async def both_families():
        # The loop's engine opens its IPv6 socket with the first IPv6 target.
        return await asyncio.gather(tagproto.aio.get(agent.target, "TAG_DEV_ID"),
                                    tagproto.aio.get(f"127.0.0.1:{agent.port}", "TAG_DEV_ID"),
                                    return_exceptions=True)

    got = asyncio.run(both_families())
    assert got[0] == {"TAG_DEV_ID": 42}
    assert isinstance(got[1], tagproto.Refused)


@pytest.mark.parametrize("way", ["poll", "aio.poll"])
def test_poll_results_are_typed_as_get_returns_or_raises(agent, way):
    cases = [  # (target, tag, status, values, error)
        (f"localhost:{agent.port}", "TAG_DEV_ID", "answered", {"TAG_DEV_ID": 42}, None),
        (agent.target, "TAG_IO_LABEL", "error_reply", {"TAG_ERR_TAGID": 21}, tagproto.ErrorReply),
        ("no-such-host..invalid", "TAG_DEV_ID", "unresolvable", {}, tagproto.Unresolvable),
    ]
    for target, tag, status, values, error in cases:
        if way == "poll":
            results = list(tagproto.poll([target], tag, timeout=0.5, retries=4))
        else:
            results = asyncio.run(drained(tagproto.aio.poll([target], tag, timeout=0.5, retries=4)))
        assert len(results) == 1
        r = results[0]
        assert (type(r), r.target, r.status, r.values) == (tagproto.Result, target, status, values)
        assert type(r.error) is (error or type(None))
        if error is tagproto.ErrorReply:
            assert r.error.tags == values and r.error.target == target
