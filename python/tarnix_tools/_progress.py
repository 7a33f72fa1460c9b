"""The progress bar of a run, for ``annotate(progress=True)`` and the tarnix command alike."""

from __future__ import annotations

import os
import sys
import time
from typing import IO, Any

from ._extras import require


class ProgressBar:
    """A bar on stderr: inputs done, of how many when that is known (then with a rate and the time
    left), and residues per second. Lines written through ``write`` appear above the bar, which is
    drawn again below them, so that messages and the bar never share a line."""

    def __init__(self, total: int | None = None, stream: IO[str] | None = None) -> None:
        tqdm = require("tqdm", "progress")
        self._stream = stream if stream is not None else sys.stderr
        try:
            width, height = os.get_terminal_size(self._stream.fileno())
        except (OSError, ValueError, AttributeError):
            width = height = 0
        self._total = total
        self._start = time.perf_counter()
        # a terminal that does not say its size (0) would get an empty or hidden bar
        self._bar: Any = tqdm.tqdm(total=total, unit=" inputs", file=self._stream, ncols=width or 80,
                                   nrows=height or 24, mininterval=0.2)

    def __call__(self, done: int, known: int | None = None, residues: int = 0) -> None:
        """Reports `done` inputs (`known` of them seen so far, unused) and `residues` residues."""
        if self._bar is None:
            return
        if self._total is not None and done > self._total:  # the count was a lower bound
            self._total = self._bar.total = None
        seconds = max(time.perf_counter() - self._start, 1e-9)
        self._bar.set_postfix_str(f"{residues:,} residues, {residues / seconds:,.0f}/s", refresh=False)
        self._bar.update(done - self._bar.n)

    def write(self, line: str) -> None:
        if self._bar is not None:
            self._bar.write(line, file=self._stream)
        else:
            print(line, file=self._stream)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None
