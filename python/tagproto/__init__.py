"""Read and write the tags of tag-protocol devices over UDP.

    >>> import tagproto
    >>> tagproto.get("127.0.0.1:60000", "TAG_DEV_ID", "TAG_DEV_LABEL")
    {'TAG_DEV_ID': 42, 'TAG_DEV_LABEL': 'Demo rack controller'}
    >>> tagproto.set("127.0.0.1:60000", {"TAG_DEV_LABEL": "rack 7"})
    {'TAG_DEV_LABEL': 'rack 7'}
    >>> for r in tagproto.poll(["127.0.0.1:60001", "127.0.0.1:60002"], "TAG_DEV_ID"):
    ...     print(r.target, r.status, r.values)

Targets are "host", "host:port", "[v6]:port" or a bare IPv6 address (port
60000 when none is given). Tags are named as the tag table names them (case
ignored) or by id; values are int, float, str (bytes for a text that is not
UTF-8) and None for a tag without a value, typed by the table (tagproto.tags).

An attempt waits ``timeout`` seconds while the device has not shown how fast
it answers, and no longer once it has (its round trips then set the wait);
each further attempt waits up to twice the one before, at most four times
``timeout``, the last one ``timeout`` at least. ``retries`` more attempts
follow a lost one, and ``budget`` bounds a whole exchange in seconds: a
device that never answers ends within the waits of its attempts (at most
1.4 seconds at timeout=0.2, retries=2) or the budget, whichever is first.
Whatever does not end as asked raises a subclass of tagproto.Error; bad
arguments raise ValueError or TypeError before anything is sent. The calls
release the GIL while they wait, and Ctrl-C cancels what is in flight.
tagproto.aio has the same calls as coroutines for asyncio.
"""

from typing import Any, Dict, Iterable, Iterator, Mapping, NamedTuple, Optional, Union

from . import _engine
from ._results import (Cancelled, Error, ErrorReply, Mismatch, Refused, ReplyTooLong, Result,
                       SendFailed, TimedOut, Unresolvable, _result)

__all__ = [
    "aio",
    "get", "set", "poll", "parse_value", "tag", "tags", "Tag", "Result", "Error", "TimedOut",
    "ErrorReply", "Refused", "Unresolvable", "Mismatch", "ReplyTooLong", "SendFailed", "Cancelled",
]

# The engine builds poll's Results itself, a constructor call each.
_engine.use_results(Result, _result)

# Shown as tagproto.TimedOut, ..., in help() and tracebacks.
for _public in (Result, Error, TimedOut, ErrorReply, Refused, Unresolvable, Mismatch, ReplyTooLong,
                SendFailed, Cancelled):
    _public.__module__ = __name__

TagRef = Union[str, int]
Value = Union[int, float, str, bytes, None]


class Tag(NamedTuple):
    """A tag of the table: its id, its name and the kind of value it holds
    ("none" for a group tag, "integer", "float" or "text")."""

    id: int
    name: str
    kind: str


def _table() -> Mapping[str, Tag]:
    from types import MappingProxyType
    return MappingProxyType({name: Tag(i, name, kind) for i, name, kind in _engine.table()})


tags: Mapping[str, Tag] = _table()
"""Every tag of the table by name (upper case, as the table writes it)."""

_by_id = {t.id: t for t in tags.values()}


def tag(name_or_id: TagRef) -> Tag:
    """The Tag a name (case ignored) or an id stands for; ValueError when the
    table has no such tag."""
    return _by_id[_engine.tag_id(name_or_id)]


def parse_value(tag: TagRef, text: str) -> Value:
    """A value written as tagconf reads it from a state file: integers in
    hexadecimal (an optional 0x, within the tag's width), floats in decimal
    (nan, inf), texts as they are. ValueError with tagconf's own message when
    the text does not fit the tag, or the tag is a group tag."""
    return _engine.parse_value(tag, text)


def get(target: str, *tags: TagRef, timeout: float = 2.0, retries: int = 2,
        budget: Optional[float] = None) -> Dict[Any, Value]:
    """Read tags from one device with one GET; return name -> value.

    A group tag is sent as it is, and the device answers with the tags it
    stands for. A tag the reply repeats keeps its last copy. Raises TimedOut,
    ErrorReply (a tag the device does not hold), Refused, Unresolvable,
    ReplyTooLong, SendFailed or Cancelled."""
    # One line a thread under get(): its socket kept connected to the last
    # target (a steady GET is a send and a receive) and the round trips it has
    # learnt, never shared between threads nor kept across fork; the last
    # target and tags asked kept parsed.
    got = _engine.call_get(target, tags, timeout, retries, budget)
    if type(got) is dict:  # the reply's values; else how it ended
        return got
    raise _result(got).error  # type: ignore[misc]


def set(target: str, values: Mapping[TagRef, Value], verify: bool = True, timeout: float = 2.0,
        retries: int = 2, budget: Optional[float] = None) -> Dict[Any, Value]:
    """Write values (name or id -> value) to one device.

    verify=True writes, reads the tags back and writes again what did not
    take, up to ``retries`` more rounds; it returns the read-back (name ->
    value) or raises Mismatch (what was written and read), TimedOut (the
    device may hold the values: see its set_sent), ErrorReply, Refused, ...
    verify=False sends the SET once and returns {}: nobody knows whether it
    arrived. A value must be of its tag's kind (an int is taken for a float
    tag) and a group tag cannot be written: ValueError or TypeError."""
    got = _engine.call_set(target, dict(values), verify, timeout, retries, budget)
    if type(got) is dict:  # the read-back (verify) or nothing (sent)
        return got
    raise _result(got).error  # type: ignore[misc]


def poll(targets: Iterable[str], *tags: TagRef, timeout: float = 2.0, retries: int = 2,
         budget: Optional[float] = None, max_in_flight: Optional[int] = None,
         rate: Optional[float] = None) -> Iterator[Result]:
    """Read the tags from every target at once; yield a Result per target as
    its exchange ends, in that order (never raises for a device: see
    Result.status and Result.error).

    max_in_flight bounds the exchanges between first send and end (4096 by
    default), rate the datagrams sent per second (None: no limit). Every
    target is checked before anything is sent (ValueError, TypeError)."""
    if isinstance(targets, (str, bytes)):
        raise TypeError("targets is an iterable of targets, not one target")
    driver = _engine.Driver(max_in_flight or 0, rate or 0.0)
    # Every target parsed, its GET queued, in one call; sent at the first wait.
    driver.poll(targets, tags, timeout, retries, budget, False)
    return _poll_results(driver)


def _poll_results(driver: Any) -> Iterator[Result]:
    """The results of a poll as they end, a batch a wait. Closing it (or
    leaving a for loop early and dropping it) cancels what is still in
    flight."""
    try:
        while True:
            batch = driver.wait_take()
            if not batch:
                return
            yield from batch
    finally:
        driver.cancel_all()


from . import aio  # noqa: E402  (tagproto.aio after import tagproto)
