from collections.abc import Callable
from typing import Optional, Union

_Item = Union[bytes, tuple[bytes, Union[bytes, bytearray, memoryview, str]]]
_StructureRow = tuple[str, int, int, int, int, float, float, int, int]
_Column = tuple[str, int, bytes]


def run(
    inputs: list[_Item],
    first_row: int,
    threads: int,
    sasa: bool,
    ppii_stretch: int,
    format: Optional[str],
    max_bytes: int,
    progress: Optional[Callable[[int, int], object]],
    every_model: bool = ...,
    /,
) -> tuple[list[_StructureRow], dict[str, _Column]]: ...
