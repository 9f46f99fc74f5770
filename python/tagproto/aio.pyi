from typing import AsyncIterator, Dict, Iterable, Mapping, Optional, Union

from . import Result, TagRef, Value

async def get(target: str, *tags: TagRef, timeout: float = ..., retries: int = ...,
              budget: Optional[float] = ...) -> Dict[Union[str, int], Value]: ...
async def set(target: str, values: Mapping[TagRef, Value], verify: bool = ..., timeout: float = ...,
              retries: int = ..., budget: Optional[float] = ...) -> Dict[Union[str, int], Value]: ...
def poll(targets: Iterable[str], *tags: TagRef, timeout: float = ..., retries: int = ...,
         budget: Optional[float] = ...) -> AsyncIterator[Result]: ...
