"""The frames of an XTC or TRR file counted by walking their headers to the file's end, and the
records of a DCD file walked the same way.

The trajectory library stops counting at the first frame it cannot read, so a file damaged in
its middle reads as a shorter, whole one; a walk that does not end exactly at the end of the file
finds it.
"""

from __future__ import annotations

import os
import struct
from typing import BinaryIO, Callable, Optional

_INT = struct.Struct(">i")
_XTC_MAGIC, _XTC_LARGE_MAGIC, _TRR_MAGIC = 1995, 2023, 1993
# An XTC frame of more than nine atoms: magic, atoms, step, time, box (9), atoms, precision,
# the smallest and largest integer triples, the small index, then the length of the packed bytes.
_XTC_HEAD = 4 * (1 + 1 + 1 + 1 + 9 + 1 + 1 + 3 + 3 + 1 + 1)
_XTC_SMALL_HEAD = 4 * (1 + 1 + 1 + 1 + 9 + 1)


class Damaged(Exception):
    """A frame that does not parse, or a file that ends inside one: the message says where."""


def _read(stream: BinaryIO, size: int, frame: int) -> bytes:
    data = stream.read(size)
    if len(data) != size:
        raise Damaged(f"the file ends inside frame {frame}")
    return data


def _xtc_frame(stream: BinaryIO, frame: int) -> int:
    """Bytes of the XTC frame starting at the stream's position."""
    start = _read(stream, _XTC_SMALL_HEAD, frame)
    magic, atoms = (int(v) for v in struct.unpack_from(">ii", start))
    if magic not in (_XTC_MAGIC, _XTC_LARGE_MAGIC):
        raise Damaged(f"frame {frame} does not start with an XTC header")
    if atoms <= 9:  # stored uncompressed
        return _XTC_SMALL_HEAD + 12 * max(atoms, 0)
    if magic == _XTC_LARGE_MAGIC:
        rest = _read(stream, _XTC_HEAD - _XTC_SMALL_HEAD + 4, frame)
        packed = int(struct.unpack_from(">q", rest, len(rest) - 8)[0])
        head = _XTC_HEAD + 4
    else:
        rest = _read(stream, _XTC_HEAD - _XTC_SMALL_HEAD, frame)
        packed = int(_INT.unpack_from(rest, len(rest) - 4)[0])
        head = _XTC_HEAD
    if packed < 0:
        raise Damaged(f"frame {frame} has a negative length")
    return head + (packed + 3) // 4 * 4


def _trr_frame(stream: BinaryIO, frame: int) -> int:
    """Bytes of the TRR frame starting at the stream's position."""
    start = _read(stream, 12, frame)
    magic, _, text = (int(v) for v in struct.unpack(">iii", start))
    if magic != _TRR_MAGIC or not 0 <= text <= 128:
        raise Damaged(f"frame {frame} does not start with a TRR header")
    padded = (text + 3) // 4 * 4
    sizes = [int(v) for v in struct.unpack(">13i", _read(stream, padded + 52, frame)[padded:])]
    box, virial, pressure, x, v, f, atoms = sizes[2], sizes[3], sizes[4], sizes[7], sizes[8], sizes[9], sizes[10]
    if min(sizes[:11]) < 0:
        raise Damaged(f"frame {frame} has a negative size")
    # The reals are doubles when the box (or else the first array present) holds 8 bytes a value.
    double = (box == 9 * 8) if box else (atoms > 0 and (x or v or f) == 3 * 8 * atoms)
    head = 12 + padded + 52 + (16 if double else 8)
    return head + box + virial + pressure + x + v + f  # the other sizes are of parts never written


def _dcd_records(stream: BinaryIO, size: int) -> None:
    """Every Fortran record of a DCD file: a length, that many bytes, the length again."""
    first = stream.read(4)
    order = "<" if first == struct.pack("<i", 84) else ">"
    marker = struct.Struct(f"{order}i")
    position = 0
    while position < size:
        stream.seek(position)
        head = stream.read(4)
        length = marker.unpack(head)[0] if len(head) == 4 else -1
        end = position + 4 + length
        if length < 0 or end + 4 > size:
            raise Damaged(f"the file is cut or damaged in the record at byte {position}")
        stream.seek(end)
        if stream.read(4) != head:
            raise Damaged(f"the record at byte {position} is damaged")
        position = end + 4


_WALKERS: dict[str, Callable[[BinaryIO, int], int]] = {".xtc": _xtc_frame, ".trr": _trr_frame}


def walked_frames(path: str) -> Optional[int]:
    """Frames of an XTC or TRR file, or None for another kind of file; raises Damaged when the
    walk does not end at the end of the file (or, in a DCD file, a record is cut or damaged)."""
    suffix = os.path.splitext(path)[1].lower()
    walker = _WALKERS.get(suffix)
    if walker is None and suffix != ".dcd":
        return None
    with open(path, "rb") as stream:
        size = os.fstat(stream.fileno()).st_size
        if walker is None:  # DCD: its header's count is checked by the library
            _dcd_records(stream, size)
            return None
        position = frames = 0
        while position < size:
            stream.seek(position)
            position += walker(stream, frames)
            frames += 1
        if position > size:
            raise Damaged(f"the file ends inside frame {frames - 1}")
    return frames
