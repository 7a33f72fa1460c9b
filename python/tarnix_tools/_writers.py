"""Streaming table writers: open once, append tables as they are made, close.

tsv, csv and jsonl need only NumPy and write to a path or to a stream (text or
binary, e.g. stdout); parquet needs pyarrow and a path. A path is written as a
PlacedFile: the file at the path is complete or untouched, and a writer left by an
exception, or discarded, leaves no file behind.
"""

from __future__ import annotations

import base64
import errno
import io
import os
import secrets
import stat
import tempfile
from collections.abc import Mapping, Sequence
from types import TracebackType
from typing import IO, TYPE_CHECKING, Any, BinaryIO, TypeVar, Union

import numpy as np

from . import _provenance, _render
from ._arrow import Coded, Column, arrow_table, plain_schema
from ._extras import check_installed, require

if TYPE_CHECKING:
    from .table import Table

_W = TypeVar("_W", bound="_Writer")
# A path, or for the text formats an open stream (text or binary).
Target = Union[str, "os.PathLike[str]", IO[Any]]

FORMATS = ("parquet", "tsv", "csv", "jsonl")
_SEPARATORS = {"tsv": "\t", "csv": ","}
# rows rendered at once: bounds the memory of the byte matrices
_CHUNK_ROWS = 1 << 15


def dictionary_columns(schema: Any) -> list[str]:
    """The columns of a pyarrow schema worth dictionary-encoding in Parquet: text and integers
    repeat within a file; floats (angles, energies, areas) hardly ever do, and encoding them
    with a dictionary made the writing twice as slow and the files larger."""
    types = require("pyarrow", "arrow").types
    return [field.name for field in schema if types.is_string(field.type) or types.is_integer(field.type)]


def format_for(path: str | os.PathLike[str]) -> str:
    """The output format named by a path's suffix."""
    name = os.fsdecode(os.fspath(path))
    suffix = os.path.splitext(name)[1].lower().lstrip(".")
    if suffix in FORMATS:
        return suffix
    raise ValueError(f"cannot tell the output format of {name!r}: "
                     "use a name ending in .parquet, .tsv, .csv or .jsonl")


class OutputError(Exception):
    """Writing the output failed (a full disk, a file too large, the folder gone)."""


# Unnamed files are given their name through /proc; some file systems (NFS, say) have none.
_UNNAMED = hasattr(os, "O_TMPFILE") and os.path.isdir("/proc/self/fd")
_NO_UNNAMED = (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL)


def _umask() -> int:
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError, IndexError):
        pass
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


def _open_file_link(path: str) -> bool:
    """Whether `path` leads through /proc's links to open files (/dev/stdout, /dev/fd/1): that is
    someone's open file (a log appended to, say), to be written to, not replaced."""
    current = os.path.abspath(path)
    for _ in range(40):  # as the kernel's limit on links in one path
        current = os.path.join(os.path.realpath(os.path.dirname(current)), os.path.basename(current))
        if current.startswith("/proc/"):
            return True
        if not os.path.islink(current):
            return False
        current = os.path.join(os.path.dirname(current), os.readlink(current))
    return False


def written_through(path: str | os.PathLike[str]) -> bool:
    """Whether an output path names what is written through rather than replaced: a device, FIFO
    or socket, or an open file reached through /proc."""
    try:
        mode = os.stat(path).st_mode
    except (OSError, ValueError):
        return False
    return not stat.S_ISDIR(mode) and (not stat.S_ISREG(mode) or _open_file_link(os.fspath(path)))


class PlacedFile:
    """An output file that appears at `target` complete, or not at all.

    A regular file (or a new name) is written into an unnamed file in the target's folder (a hidden
    named one where the file system has no unnamed files), given the target's name by ``commit``
    and gone after ``discard``: the target holds a complete file or what it held before. A symbolic
    link's target is replaced, not the link, and a file replaced keeps its permissions. A device,
    FIFO, socket or /dev/stdout is written through: it cannot be replaced, and must not be."""

    temporary: str | None = None  # the hidden name while there is one
    _open = False  # until committed or discarded

    def __init__(self, target: str | os.PathLike[str]) -> None:
        self.target = os.fspath(target)
        try:
            status: os.stat_result | None = os.stat(self.target)
        except FileNotFoundError:
            status = None
        except OSError as exc:
            raise self._failure(exc) from exc
        self.through = status is not None and (not stat.S_ISREG(status.st_mode) or _open_file_link(self.target))
        self._open = True
        try:
            if self.through:  # appended to: an open file reached through /proc is not cut short
                self.file: BinaryIO = open(self.target, "ab")
            else:
                self.destination = os.path.realpath(self.target)
                self.file = os.fdopen(self._make_temporary(), "wb")
                self._set_permissions(status)
        except OSError as exc:
            self.discard()
            raise self._failure(exc) from exc

    def _failure(self, exc: OSError) -> OutputError:
        return OutputError(f"cannot write {self.target}: {exc.strerror or exc}")

    def _make_temporary(self) -> int:
        folder, name = os.path.split(self.destination)
        if _UNNAMED:
            try:
                return os.open(folder or ".", os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o600)
            except OSError as exc:
                if exc.errno not in _NO_UNNAMED:
                    raise
        handle, self.temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder or ".")
        return handle

    def _set_permissions(self, replaced: os.stat_result | None) -> None:
        """A replaced file's owner (where allowed) and mode; a new one the mode open() would give."""
        handle = self.file.fileno()
        if replaced is None:
            os.fchmod(handle, 0o666 & ~_umask())
            return
        if (replaced.st_uid, replaced.st_gid) != (os.geteuid(), os.getegid()):
            try:
                os.fchown(handle, replaced.st_uid, replaced.st_gid)
            except PermissionError:
                pass
        os.fchmod(handle, stat.S_IMODE(replaced.st_mode))

    def ready(self) -> None:
        """Everything of commit that can fail for want of space: the data written out and, for an
        unnamed file, a hidden name beside the target."""
        if not self._open:
            return
        try:
            self.file.flush()
            if self.through or self.temporary is not None:
                return
            folder, name = os.path.split(self.destination)
            directory = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            try:
                hidden = f".{name}.{secrets.token_hex(4)}.part"
                os.link(f"/proc/self/fd/{self.file.fileno()}", hidden, dst_dir_fd=directory)
            finally:
                os.close(directory)
            self.temporary = os.path.join(folder, hidden)
        except OSError as exc:
            self.discard()
            raise self._failure(exc) from exc

    def commit(self) -> None:
        """Puts the file at the target (a written-through target: closes it)."""
        if not self._open:
            return
        self.ready()
        try:
            self.file.close()
            if not self.through:
                os.replace(self.temporary, self.destination)  # type: ignore[arg-type]
        except OSError as exc:
            self.discard()
            raise self._failure(exc) from exc
        self.temporary, self._open = None, False

    def discard(self) -> None:
        """Removes the file; never raises (a written-through target keeps what was written)."""
        if not self._open:
            return
        self._open = False
        file = getattr(self, "file", None)
        try:
            if file is not None:
                file.close()
        except OSError:
            pass
        if self.temporary is not None:
            try:
                os.unlink(self.temporary)
            except OSError:
                pass
            self.temporary = None

    def __del__(self) -> None:
        # Ctrl-C can land after the file is made and before its writer is in a with block (or
        # while this constructor runs): the file goes when it is let go of.
        self.discard()


def commit_together(files: Sequence[PlacedFile | None]) -> None:
    """Commits the files in order, none of them unless every one could be written out: a full disk
    found on the last leaves the first unplaced too."""
    placed = [file for file in files if file is not None]
    try:
        for file in placed:
            file.ready()
        for file in placed:
            file.commit()
    except BaseException:
        for file in placed:
            file.discard()
        raise


def open_writer(target: Target, format: str | None = None) -> TextWriter | ParquetWriter:
    """A writer for `target` (a path, or for text formats a stream) in `format`,
    by default the one the path's suffix names."""
    if format is None:
        if not isinstance(target, (str, os.PathLike)):
            raise ValueError("writing to a stream needs a format: tsv, csv or jsonl")
        format = format_for(target)
    if format == "parquet":
        return ParquetWriter(target)
    if format in FORMATS:
        return TextWriter(target, format)
    raise ValueError(f"unknown output format {format!r}: use parquet, tsv, csv or jsonl")


class _Writer:
    _names: list[str] | None = None

    def __enter__(self: _W) -> _W:
        return self

    def append(self, table: Table) -> None:
        self._record(table.provenance)
        self._append(table.columns)

    def append_with_names(self, structures: Table, residues: Table, first: int) -> None:
        """Appends the residue rows with their input's name in front; `first` is the run-wide
        row of the first structure in `structures`."""
        self._record(residues.provenance)
        codes = (residues.columns["input"] - first).astype(np.int32, copy=False)
        self._append({"name": Coded(codes, structures.columns["name"]), **residues.columns})

    def _append(self, columns: Mapping[str, Column]) -> None:
        raise NotImplementedError

    def _record(self, provenance: Mapping[str, str]) -> None:
        """Text formats stay plain data: only Parquet keeps what made the rows."""

    def finish(self) -> PlacedFile | None:
        """Ends the output without placing it: the file for the caller to commit (with others, say),
        or None for a stream (flushed)."""
        raise NotImplementedError

    def close(self) -> None:
        placed = self.finish()
        if placed is not None:
            placed.commit()

    def discard(self) -> None:
        raise NotImplementedError

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if exc_type is None:
            self.close()
        else:
            self.discard()

    def _check_columns(self, columns: Mapping[str, Column]) -> bool:
        names = list(columns)
        if self._names is None:
            self._names = names
            return True
        if names != self._names:
            raise ValueError(f"table columns {names} differ from the columns written so far "
                             f"{self._names}")
        return False


class TextWriter(_Writer):
    """tsv / csv (with a header line) or jsonl."""

    def __init__(self, target: Target, format: str) -> None:
        self._placed: PlacedFile | None = None
        self._stream: IO[Any] | None
        if isinstance(target, (str, os.PathLike)):
            self._placed = PlacedFile(target)
            self._stream = self._placed.file
        else:
            self._stream = target
        self._decode = isinstance(self._stream, io.TextIOBase)
        self._separator = _SEPARATORS.get(format)

    def _append(self, columns: Mapping[str, Column]) -> None:
        first = self._check_columns(columns)
        plain = {name: values.decoded() if isinstance(values, Coded) else values for name, values in columns.items()}
        if first and self._separator:
            self._write(_render.delimited_header(plain, self._separator))
        rows = len(next(iter(plain.values()))) if plain else 0
        for start in range(0, rows, _CHUNK_ROWS):
            chunk = {name: values[start:start + _CHUNK_ROWS] for name, values in plain.items()}
            if self._separator:
                self._write(_render.render_delimited(chunk, self._separator))
            else:
                self._write(_render.render_jsonl(chunk))

    def _write(self, data: bytes) -> None:
        if self._stream is None:
            raise ValueError("the writer is closed")
        try:
            self._stream.write(data.decode("utf-8") if self._decode else data)
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise self._failure(exc) from exc

    def _failure(self, exc: OSError) -> OutputError:
        where = self._placed.target if self._placed is not None else "the output"
        return OutputError(f"cannot write {where}: {exc.strerror or exc}")

    def finish(self) -> PlacedFile | None:
        stream, self._stream = self._stream, None
        if stream is None or self._placed is not None:
            return self._placed
        try:
            stream.flush()
        except BrokenPipeError:
            raise
        except OSError as exc:
            raise self._failure(exc) from exc
        return None

    def discard(self) -> None:
        """Stop without a file: the target keeps what it held before."""
        self._stream = None
        if self._placed is not None:
            self._placed.discard()


class ParquetFile:
    """Tables written to an open file as Parquet, one row group each. Text whose values repeat
    goes to pyarrow as dictionaries of the distinct values, which it stores without hashing every
    value again (a third of the writing); a column keeps the kind its first table gave it. The
    file records the schema of plain strings, so that readers get the columns to_arrow() gives,
    and beside it what made the rows (see _provenance): the version always, then `provenance`."""

    def __init__(self, file: BinaryIO, provenance: Mapping[str, str] | None = None) -> None:
        self._file = file
        self._writer: Any = None
        self._schema: Any = None  # as the file records it
        self.provenance = dict(provenance or {})

    def write(self, columns: Mapping[str, Column]) -> None:
        arrow = arrow_table(columns, text_as_dictionary=True)
        if self._writer is None:
            self._schema = plain_schema(arrow.schema)
            self._writer = require("pyarrow.parquet", "arrow").ParquetWriter(self._file, arrow.schema, store_schema=False,
                                                       use_dictionary=dictionary_columns(self._schema))
        elif not arrow.schema.equals(self._writer.schema):
            arrow = arrow.cast(self._writer.schema)
        self._writer.write_table(arrow)

    def close(self, complete: bool = True) -> None:
        """Ends the file; `complete` False only closes it, for a file about to be removed."""
        writer, self._writer = self._writer, None
        if writer is None:
            return
        if complete:
            # In the recorded schema too, where pyarrow's readers look for a schema's metadata.
            keys = {**_provenance.base(), **self.provenance}
            serialized = self._schema.with_metadata(keys).serialize().to_pybytes()
            writer.add_key_value_metadata({"ARROW:schema": base64.b64encode(serialized).decode("ascii"), **keys})
        writer.close()


class ParquetWriter(_Writer):
    """One row group per appended table; the file appears at its path when closed."""

    def __init__(self, path: Target) -> None:
        if not isinstance(path, (str, os.PathLike)):
            raise ValueError("parquet is written to a file path, not to a stream")
        # Refused before the file is made; imported with the first rows, the workers already busy.
        check_installed("pyarrow", "arrow")
        self._placed: PlacedFile | None = PlacedFile(path)
        self._parquet = ParquetFile(self._placed.file)

    def _append(self, columns: Mapping[str, Column]) -> None:
        self._check_columns(columns)
        if self._placed is None:
            raise ValueError("the writer is closed")
        try:
            self._parquet.write(columns)
        except OSError as exc:
            raise OutputError(f"cannot write {self._placed.target}: {exc.strerror or exc}") from exc

    def _record(self, provenance: Mapping[str, str]) -> None:
        self._parquet.provenance.update(provenance)

    def finish(self) -> PlacedFile | None:
        if self._placed is None:
            return None
        try:
            self._parquet.close()
        except OSError as exc:
            target = self._placed.target
            self.discard()
            raise OutputError(f"cannot write {target}: {exc.strerror or exc}") from exc
        return self._placed

    def discard(self) -> None:
        """Stop without a file: the target keeps what it held before."""
        if self._placed is None:
            return
        try:
            self._parquet.close(complete=False)
        except OSError:
            pass
        placed, self._placed = self._placed, None
        placed.discard()
