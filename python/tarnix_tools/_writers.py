"""Streaming table writers: open once, append tables as they are made, close.

tsv, csv and jsonl need only NumPy and write to a path or to a stream (text or
binary, e.g. stdout); parquet needs pyarrow and a path.
"""

import io
import os

from . import _render
from ._extras import require

FORMATS = ("parquet", "tsv", "csv", "jsonl")
_SEPARATORS = {"tsv": "\t", "csv": ","}
# rows rendered at once: bounds the memory of the byte matrices
_CHUNK_ROWS = 1 << 15


def format_for(path):
    """The output format named by a path's suffix."""
    name = os.fsdecode(os.fspath(path))
    suffix = os.path.splitext(name)[1].lower().lstrip(".")
    if suffix in FORMATS:
        return suffix
    raise ValueError(f"cannot tell the output format of {name!r}: "
                     "use a name ending in .parquet, .tsv, .csv or .jsonl")


def open_writer(target, format=None):
    """A writer for `target` (a path, or for text formats a stream) in `format`,
    by default the one the path's suffix names."""
    if format is None:
        if hasattr(target, "write"):
            raise ValueError("writing to a stream needs a format: tsv, csv or jsonl")
        format = format_for(target)
    if format == "parquet":
        return ParquetWriter(target)
    if format in FORMATS:
        return TextWriter(target, format)
    raise ValueError(f"unknown output format {format!r}: use parquet, tsv, csv or jsonl")


class _Writer:
    _names = None

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def _check_columns(self, table):
        names = list(table.columns)
        if self._names is None:
            self._names = names
            return True
        if names != self._names:
            raise ValueError(f"table columns {names} differ from the columns written so far "
                             f"{self._names}")
        return False


class TextWriter(_Writer):
    """tsv / csv (with a header line) or jsonl."""

    def __init__(self, target, format):
        self._owned = not hasattr(target, "write")
        self._stream = open(target, "wb") if self._owned else target
        self._decode = isinstance(self._stream, io.TextIOBase)
        self._separator = _SEPARATORS.get(format)

    def append(self, table):
        first = self._check_columns(table)
        if first and self._separator:
            self._write(_render.delimited_header(self._names, self._separator))
        columns = table.columns
        for start in range(0, len(table), _CHUNK_ROWS):
            chunk = {name: values[start:start + _CHUNK_ROWS] for name, values in columns.items()}
            if self._separator:
                self._write(_render.render_delimited(chunk, self._separator))
            else:
                self._write(_render.render_jsonl(chunk))

    def _write(self, data):
        self._stream.write(data.decode("utf-8") if self._decode else data)

    def close(self):
        if self._stream is None:
            return
        if self._owned:
            self._stream.close()
        else:
            self._stream.flush()
        self._stream = None


class ParquetWriter(_Writer):
    """One row group per appended table; the file appears with the first table."""

    def __init__(self, path):
        if hasattr(path, "write"):
            raise ValueError("parquet is written to a file path, not to a stream")
        self._parquet = require("pyarrow.parquet", "arrow")
        self._path = os.fspath(path)
        self._writer = None

    def append(self, table):
        self._check_columns(table)
        arrow = table.to_arrow()
        if self._writer is None:
            self._writer = self._parquet.ParquetWriter(self._path, arrow.schema)
        elif not arrow.schema.equals(self._writer.schema):
            arrow = arrow.cast(self._writer.schema)
        self._writer.write_table(arrow)

    def close(self):
        if self._writer is not None:
            self._writer.close()
            self._writer = None
