"""What made a table: the key-value metadata every Parquet file of the package carries.

Text formats (tsv, csv, jsonl) stay plain data; the Parquet writers record these keys beside
the file's Arrow schema, where pyarrow, pandas and polars leave them out of the columns.
"""

from __future__ import annotations

import contextlib
import contextvars
import shlex
from collections.abc import Iterator, Sequence
from importlib.metadata import PackageNotFoundError, version

try:
    VERSION = version("tarnix")
except PackageNotFoundError:  # running from a source tree
    VERSION = "0+unknown"

PREFIX = "tarnix."
VERSION_KEY = PREFIX + "version"
COMMAND_KEY = PREFIX + "command"

# The command line of the run in progress, when the `tarnix` command runs it.
_command: contextvars.ContextVar[str | None] = contextvars.ContextVar("tarnix_command", default=None)


@contextlib.contextmanager
def command_line(argv: Sequence[str]) -> Iterator[None]:
    """Records `tarnix ARGV...` as the command line of what is made inside the block."""
    token = _command.set(shlex.join(["tarnix", *argv]))
    try:
        yield
    finally:
        _command.reset(token)


def base() -> dict[str, str]:
    """The keys every file carries: the version, and the command line when there is one."""
    keys = {VERSION_KEY: VERSION}
    command = _command.get()
    if command is not None:
        keys[COMMAND_KEY] = command
    return keys


def of_frames(sasa: bool, ppii_stretch: int) -> dict[str, str]:
    """The keys of a table of frames computed with these options."""
    return {**base(), PREFIX + "accessibility": "on" if sasa else "off", PREFIX + "ppii_stretch": str(ppii_stretch)}


def of_annotation(sasa: bool, ppii_stretch: int, models: str, max_bytes: int) -> dict[str, str]:
    """The keys of a table made by annotate with these options."""
    return {**base(), PREFIX + "accessibility": "on" if sasa else "off", PREFIX + "ppii_stretch": str(ppii_stretch),
            PREFIX + "models": models, PREFIX + "max_bytes": str(max_bytes)}
