from collections.abc import Callable
from typing import Optional, Union

_Item = Union[bytes, tuple[bytes, Union[bytes, bytearray, memoryview, str]]]
_StructureRow = tuple[str, int, int, int, int, float, float, int]
_Column = tuple[str, int, bytes]

FORMATS: tuple[tuple[str, str, tuple[str, ...]], ...]
GZIP_SUFFIX: str


class InternalError(BaseException):
    """A broken internal invariant of the engine: a fault of tarnix, never of the input."""


def run(
    inputs: list[_Item],
    first_row: int,
    threads: int,
    sasa: bool,
    ppii_stretch: int,
    format: Optional[str],
    max_bytes: int,
    progress: Optional[Callable[[int, int], object]],
    /,
) -> tuple[list[_StructureRow], dict[str, _Column]]: ...
