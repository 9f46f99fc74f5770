"""Results and exceptions: how an exchange with a device ended."""

from typing import Any, Dict, Optional, Tuple

__all__ = [
    "Result", "Error", "TimedOut", "ErrorReply", "Refused", "Unresolvable", "Mismatch",
    "ReplyTooLong", "SendFailed", "Cancelled",
]


class Error(Exception):
    """An exchange that did not end as asked: the base of every tagproto error.

    ``target`` is the target as given, ``status`` the status word the whole
    family reports it by ("timed_out", "refused", ...), ``attempts`` the
    datagrams sent.
    """

    def __init__(self, target: str, status: str, message: str, attempts: int = 0) -> None:
        super().__init__(f"{target}: {message}")
        self.target = target
        self.status = status
        self.attempts = attempts


class TimedOut(Error):
    """No complete reply within the attempts, the budget or the deadline.

    For a verified write, ``set_sent`` tells that a SET went out: the device
    may hold the values, nobody knows.
    """

    set_sent = False


class ErrorReply(Error):
    """The device answered with an error message; ``tags`` holds its error tags
    (name -> value, e.g. {"TAG_ERR_TAGID": 21})."""

    def __init__(self, target: str, status: str, message: str, attempts: int = 0,
                 tags: Optional[Dict[Any, Any]] = None) -> None:
        super().__init__(target, status, message, attempts)
        self.tags = tags if tags is not None else {}


class Refused(Error):
    """The kernel reported the target's port closed."""


class Unresolvable(Error):
    """The host name has no address."""


class Mismatch(Error):
    """A verified write read back other values than written.

    ``differences`` maps each such tag's name to (wrote, read); read is None
    when the read-back lacked the tag.
    """

    def __init__(self, target: str, status: str, message: str, attempts: int = 0,
                 differences: Optional[Dict[Any, Tuple[Any, Any]]] = None) -> None:
        super().__init__(target, status, message, attempts)
        self.differences = differences if differences is not None else {}


class ReplyTooLong(Error):
    """The reply grew past the bounds a reply may have."""


class SendFailed(Error):
    """The local system refused to send (the reason is in the message)."""


class Cancelled(Error):
    """The exchange was cancelled before it ended."""


_ERRORS = {
    "error_reply": ErrorReply,
    "timed_out": TimedOut,
    "refused": Refused,
    "unresolvable": Unresolvable,
    "mismatch": Mismatch,
    "reply_too_long": ReplyTooLong,
    "send_failed": SendFailed,
    "cancelled": Cancelled,
}

# What a caller asked for happened: no exception.
_SUCCESS = ("answered", "verified", "sent")


def _message(status: str, attempts: int, detail: str, values: Dict[Any, Any],
             differences: Dict[Any, Tuple[Any, Any]]) -> str:
    if status == "timed_out":
        return f"timed out after {attempts} attempt{'s' if attempts != 1 else ''}"
    if status == "error_reply":
        return "error reply " + ", ".join(f"{k}={v!r}" for k, v in values.items())
    if status == "mismatch":
        return "read back other values: " + ", ".join(
            f"{k} wrote {w!r} read {r!r}" for k, (w, r) in differences.items())
    words = status.replace("_", " ")
    return f"{words}: {detail}" if detail else words


class Result:
    """How one target's exchange ended (what poll yields).

    target: the target as given; status: the status word ("answered",
    "error_reply", "timed_out", "refused", "unresolvable", "reply_too_long",
    "send_failed", "cancelled", "verified", "mismatch", "sent"); values: the
    reply's tags, name -> value (an error reply's error tags); attempts:
    datagrams sent (rounds, for a verified write); round_trip: seconds from
    the send answered to the reply, or None; error: the exception get()
    would raise for it, or None when it succeeded.
    """

    __slots__ = ("target", "status", "values", "attempts", "round_trip", "error")

    def __init__(self, target: str, status: str, values: Dict[Any, Any], attempts: int,
                 round_trip: Optional[float], error: Optional[Error]) -> None:
        self.target = target
        self.status = status
        self.values = values
        self.attempts = attempts
        self.round_trip = round_trip
        self.error = error

    def __repr__(self) -> str:
        return (f"Result(target={self.target!r}, status={self.status!r}, values={self.values!r}, "
                f"attempts={self.attempts}, round_trip={self.round_trip!r})")


def _result(raw: tuple) -> Result:
    """A Result from the engine's tuple (id, target, status, values, attempts,
    round trip, detail, differences, set sent)."""
    _, target, status, values, attempts, round_trip, detail, differences, set_sent = raw
    error: Optional[Error] = None
    if status not in _SUCCESS:
        kind = _ERRORS.get(status, Error)
        message = _message(status, attempts, detail, values, differences)
        if kind is ErrorReply:
            error = ErrorReply(target, status, message, attempts, tags=values)
        elif kind is Mismatch:
            error = Mismatch(target, status, message, attempts, differences=differences)
        else:
            error = kind(target, status, message, attempts)
            if isinstance(error, TimedOut) and set_sent:
                error.set_sent = True
    return Result(target, status, values, attempts, round_trip, error)
