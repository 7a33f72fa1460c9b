from collections.abc import Callable, Sequence
from typing import Optional, Union, final

# a path; (path, True): a file found by a walk, read only if regular; (name, content or failure);
# (name, open file descriptor, offset, length): a range of an open archive
_Item = Union[bytes, tuple[bytes, Union[bytes, bytearray, memoryview, str, bool]], tuple[bytes, int, int, int]]
_Column = tuple[str, int, bytes]  # (NumPy dtype kind, text width, data)

FORMATS: tuple[tuple[str, str, tuple[str, ...]], ...]
RESIDUE_COLUMNS: tuple[tuple[str, str], ...]
GZIP_SUFFIX: str
MAX_THREADS: int


class InternalError(BaseException):
    """A broken internal invariant of the engine: a fault of tarnix, never of the input."""


@final
class Run:
    """A run fed one input at a time; results taken in input order."""

    def __new__(
        cls,
        threads: int,
        sasa: bool,
        ppii_stretch: int,
        format: Optional[str],
        max_bytes: int,
        progress: Optional[Callable[[int, int], object]],
        every_model: bool,
        window_inputs: int,
        window_bytes: int,
        /,
    ) -> Run: ...
    def add(self, item: _Item, /) -> None: ...
    def close(self) -> None: ...
    def ready(self) -> int: ...
    def take(self, count: int, /) -> tuple[dict[str, _Column], dict[str, _Column]]: ...
    def cancel(self) -> None: ...


def layout(
    atom_names: Sequence[str],
    residue_names: Sequence[str],
    chain_ids: Sequence[str],
    seq_ids: Sequence[int],
    insertion_codes: Sequence[str],
    alt_locs: Sequence[str],
    /,
) -> tuple[object, bytes, tuple[list[str], list[int], list[str], list[str]]]: ...
def max_accessibilities(residue_names: Sequence[str], /) -> bytes: ...
def frames(
    layout: object,
    positions: object,
    count: int,
    first_frame: int,
    frame_step: int,
    sasa: bool,
    ppii_stretch: int,
    threads: int,
    /,
) -> tuple[bytes, bytes, bytes, bytes, Optional[bytes]]: ...
def utf8_column(codes: object, width: int, /) -> Optional[tuple[bytes, bytes]]: ...
def dictionary_column(codes: object, width: int, /) -> Optional[tuple[bytes, bytes, bytes]]: ...
