"""The ranges of the numbers the public functions and the command line take, and their messages.

Each check gives ValueError for a number out of its range (never OverflowError: a number too
large is as much the caller's mistake as a negative one) and TypeError for a value that is not a
whole number; the command line shows the same message as a usage error.
"""

from __future__ import annotations

import argparse
import operator
from collections.abc import Callable
from typing import Optional

import numpy as np

from tarnix_tools import _native

# The most worker threads a run takes, the same limit as the engine's pool.
MAX_THREADS: int = _native.MAX_THREADS
# The shortest polyproline-II stretch is kept in 64 bits.
MAX_PPII_STRETCH = 2**64 - 1
# Frame numbers (start, stop, step) beyond any trajectory, well inside int64 arithmetic.
MAX_FRAME = 10**12
# Frames read and computed at a time.
MAX_CHUNK_FRAMES = 2**20
# Pictures: dots per inch, pixels (inches x dpi, whatever the format), panels of one structure,
# and frame-by-residue cells of a picture of many frames.
MAX_DPI = 1200
MAX_PIXELS = 60_000_000
MAX_PANELS = 40
MAX_CELLS = 20_000_000


def whole(name: str, value: object, minimum: int = 0, maximum: Optional[int] = None) -> int:
    """``value`` as an int in [minimum, maximum]."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an int, not bool")
    number = operator.index(value)  # type: ignore[arg-type]
    if number < minimum:
        if minimum == 0:
            raise ValueError(f"{name} must not be negative, got {number}")
        raise ValueError(f"{name} must be at least {minimum}, got {number}")
    if maximum is not None and number > maximum:
        raise ValueError(f"{name} must be at most {maximum:,}, got {number:,}")
    return number


def flag(name: str, value: object) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be a bool, not {type(value).__name__}")
    return bool(value)


def threads(value: object) -> int:
    """Worker threads: 0 (every processor available) to MAX_THREADS."""
    return whole("threads", value, 0, MAX_THREADS)


def ppii_stretch(value: object) -> int:
    return whole("ppii_stretch", value, 0, MAX_PPII_STRETCH)


def computation(sasa: object, stretch: object, workers: object) -> tuple[bool, int, int]:
    """(sasa, ppii_stretch, threads) as every computing function takes them."""
    return flag("sasa", sasa), ppii_stretch(stretch), threads(workers)


class TooLarge(ValueError):
    """A picture beyond the limits above; the message says which and how to draw less."""


def picture_size(width: float, height: float, dpi: int) -> None:
    """Refuses a picture of more than MAX_PIXELS pixels."""
    pixels = round(width * dpi) * round(height * dpi)
    if pixels > MAX_PIXELS:
        raise TooLarge(f"the picture would have {pixels:,} pixels ({width:.1f} x {height:.1f} inches at "
                       f"{dpi} dpi), more than the {MAX_PIXELS:,} drawn: lower --dpi or draw fewer chains")


def frame_cells(name: str, count: int, length: int, axis: str = "frame") -> None:
    """Refuses a picture of more than MAX_CELLS frames x residues."""
    if count * length > MAX_CELLS:
        raise TooLarge(f"{name} has {count:,} {axis}s of {length:,} residues, more than the {MAX_CELLS:,} "
                       f"{axis}-residue cells drawn: draw part of it")


def frame_range(start: object, stop: object, step: object) -> tuple[int, Optional[int], int]:
    """The frames taken, as ``range(start, stop, step)``; stop None means to the end."""
    first = whole("start", start, 0, MAX_FRAME)
    stride = whole("step", step, 0, MAX_FRAME)
    if stride == 0:
        raise ValueError("step must be a positive number of frames, got 0")
    if stop is None:
        return first, None, stride
    end = whole("stop", stop, 0, MAX_FRAME)
    if first > end:
        raise ValueError(f"start ({first}) is after stop ({end})")
    return first, end, stride


def chunk_frames(value: object) -> int:
    number = whole("chunk_frames", value, 0, MAX_CHUNK_FRAMES)
    if number == 0:
        raise ValueError("chunk_frames must be positive")
    return number


def command_line(check: Callable[[str, object], int], name: str) -> Callable[[str], int]:
    """An argparse type for a whole number checked as ``check(name, number)``."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        try:
            return check(name, value)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    return parse


def counted(maximum: Optional[int] = None) -> Callable[[str, object], int]:
    """A check of a number in [0, maximum] for ``command_line``."""
    return lambda name, value: whole(name, value, 0, maximum)
