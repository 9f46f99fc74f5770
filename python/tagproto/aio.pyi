from typing import AsyncIterator, Dict, Iterable, Mapping, Optional, Union

from . import Result, TagRef, Value

async def get(target: str, *tags: TagRef, timeout: float = ..., retries: int = ...,
              budget: Optional[float] = ...) -> Dict[Union[str, int], Value]:
    """tagproto.get as a coroutine. For many devices at once use poll(): a
    gather of get() calls costs asyncio a task, a future and three turns of
    its loop a device."""
    ...
async def set(target: str, values: Mapping[TagRef, Value], verify: bool = ..., timeout: float = ...,
              retries: int = ..., budget: Optional[float] = ...) -> Dict[Union[str, int], Value]: ...
def poll(targets: Iterable[str], *tags: TagRef, timeout: float = ..., retries: int = ...,
         budget: Optional[float] = ...) -> AsyncIterator[Result]:
    """tagproto.poll as an asynchronous iterator, the way to read many
    devices: results gather in one list, no task nor future a device."""
    ...
