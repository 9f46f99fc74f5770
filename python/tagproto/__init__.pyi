from typing import Any, Dict, Iterable, Iterator, Mapping, NamedTuple, Optional, Tuple, Union

from . import aio as aio

TagRef = Union[str, int]
Value = Union[int, float, str, bytes, None]

class Tag(NamedTuple):
    id: int
    name: str
    kind: str

tags: Mapping[str, Tag]

def tag(name_or_id: TagRef) -> Tag: ...
def parse_value(tag: TagRef, text: str) -> Value: ...

class Error(Exception):
    target: str
    status: str
    attempts: int
    def __init__(self, target: str, status: str, message: str, attempts: int = ...) -> None: ...

class TimedOut(Error):
    set_sent: bool

class ErrorReply(Error):
    tags: Dict[Union[str, int], Value]
    def __init__(self, target: str, status: str, message: str, attempts: int = ...,
                 tags: Optional[Dict[Union[str, int], Value]] = ...) -> None: ...

class Refused(Error): ...
class Unresolvable(Error): ...

class Mismatch(Error):
    differences: Dict[Union[str, int], Tuple[Value, Value]]
    def __init__(self, target: str, status: str, message: str, attempts: int = ...,
                 differences: Optional[Dict[Union[str, int], Tuple[Value, Value]]] = ...) -> None: ...

class ReplyTooLong(Error): ...
class SendFailed(Error): ...
class Cancelled(Error): ...

class Result:
    target: str
    status: str
    values: Dict[Union[str, int], Value]
    attempts: int
    round_trip: Optional[float]
    error: Optional[Error]

def get(target: str, *tags: TagRef, timeout: float = ..., retries: int = ...,
        budget: Optional[float] = ...) -> Dict[Union[str, int], Value]: ...
def set(target: str, values: Mapping[TagRef, Value], verify: bool = ..., timeout: float = ...,
        retries: int = ..., budget: Optional[float] = ...) -> Dict[Union[str, int], Value]: ...
def poll(targets: Iterable[str], *tags: TagRef, timeout: float = ..., retries: int = ...,
         budget: Optional[float] = ..., max_in_flight: Optional[int] = ...,
         rate: Optional[float] = ...) -> Iterator[Result]: ...
