from contextlib import AbstractContextManager
from typing import SupportsIndex

__all__ = ["available_cores", "workers"]

def available_cores() -> int: ...
def workers(n: SupportsIndex | None = None) -> AbstractContextManager[int]: ...
