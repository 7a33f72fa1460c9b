"""Turning what a caller hands to ``annotate`` into a stream of single inputs."""

from __future__ import annotations

import gzip
import io
import os
import stat
from collections.abc import Generator, Iterable, Iterator
from dataclasses import dataclass
from typing import BinaryIO, Union

from tarnix_tools import _tar
from tarnix_tools._formats import GZIP_SUFFIX, SUFFIXES as STRUCTURE_SUFFIXES
from tarnix_tools._names import display_name

TAR_SUFFIXES = (".tar", ".tar.gz", ".tgz")

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


@dataclass(frozen=True)
class Item:
    """One input: a file by path, a range of a file ((offset, length) of the file at path), bytes
    in memory, or a failure found before reading it."""

    name: str
    path: bytes | None = None
    data: bytes | bytearray | memoryview | None = None
    failure: str | None = None
    span: tuple[int, int] | None = None

    def native(self) -> bytes | tuple[bytes, bytes | bytearray | memoryview | str] | tuple[bytes, bytes, int, int]:
        """The item as the engine takes it."""
        encoded = os.fsencode(self.name)
        if self.path is not None:
            return self.path if self.span is None else (encoded, self.path, *self.span)
        if self.failure is not None:
            return (encoded, self.failure)
        return (encoded, self.data if self.data is not None else b"")

    @property
    def size(self) -> int:
        """The input's length when it is in memory or a range (what a chunk of results is sized by)."""
        if self.span is not None:
            return self.span[1]
        return len(self.data) if self.data is not None else 0


@dataclass(frozen=True)
class TarPart:
    """The members of an uncompressed tar archive whose headers start from `start` on and before
    `stop` (to the end of the archive when None): a share of one archive for one task."""

    path: bytes
    start: int
    stop: int | None
    count: int  # structure members in the part


def os_error_text(error: OSError) -> str:
    """The text the readers give for an operating-system error."""
    if error.errno is None:
        return str(error)
    return f"{os.strerror(error.errno)} (os error {error.errno})"


# Encoded once: every member of an archive is asked about.
_GZIP = GZIP_SUFFIX.encode()
_STRUCTURE_SUFFIXES = tuple(s.encode() for s in STRUCTURE_SUFFIXES)
_TAR_SUFFIXES = tuple(s.encode() for s in TAR_SUFFIXES)


def is_structure_name(name: bytes) -> bool:
    lowered = name.lower()
    if lowered.endswith(_GZIP):
        lowered = lowered[:-len(_GZIP)]
    return lowered.endswith(_STRUCTURE_SUFFIXES)


def is_tar_name(name: bytes) -> bool:
    return name.lower().endswith(_TAR_SUFFIXES)


def _walk(root: bytes) -> list[tuple[bytes, str | None]]:
    """(path, failure) of every entry below root named like a structure file, and of every
    directory that could not be listed, sorted by path. Symbolic links to directories are not
    followed (they could loop); directories are walked, not read."""
    found: list[tuple[bytes, str | None]] = []
    pending = [root]
    while pending:
        directory = pending.pop()
        try:
            with os.scandir(directory) as listing:
                entries = list(listing)
        except OSError as error:
            found.append((directory, os_error_text(error)))
            continue
        for entry in entries:
            try:
                is_directory = entry.is_dir(follow_symlinks=False)
            except OSError:
                is_directory = False
            if is_directory:
                pending.append(entry.path)
            elif is_structure_name(entry.name):
                # decided from the status, never by opening: opening a FIFO or a device can block
                try:
                    mode = entry.stat().st_mode
                except OSError as error:
                    found.append((entry.path, os_error_text(error)))
                    continue
                if not stat.S_ISDIR(mode):  # a link to a directory is not followed
                    found.append((entry.path, None if stat.S_ISREG(mode) else "not a regular file"))
    return sorted(found)


def structure_paths(root: bytes) -> list[bytes]:
    """Paths below root whose names are structure file names, in sorted order."""
    return [path for path, _ in _walk(root)]


def walk_directory(root: bytes) -> Iterator[Item]:
    """Structure files below root, in sorted order of their paths; a directory that cannot be
    listed and an entry that is no regular file are error rows."""
    found = _walk(root)
    if not found:
        yield Item(name=display_name(root), failure="no structure files in this directory")
    for path, failure in found:
        yield Item(name=display_name(path), path=None if failure else path, failure=failure)


def stdin_item(name: str) -> Item:
    """Standard input, streamed by the reader like any file (never read whole first)."""
    return Item(name=name, path=b"/dev/stdin")


def stream_tar(path: bytes, max_bytes: int, part: TarPart | None = None) -> Iterator[Item]:
    """Members of a tar archive (of one part of it), read one at a time so memory does not grow
    with the archive; a damaged or truncated archive ends in an error row after the members read
    before the damage. Members of an uncompressed archive are handed on as ranges of the file."""
    name = display_name(path)
    try:
        raw = open(path, "rb")
    except OSError as error:
        yield Item(name=name, failure=os_error_text(error))
        return
    with raw:
        try:
            if part is None:
                yield from _archive_items(path, name, raw, max_bytes)
            else:
                raw.seek(part.start)
                yield from _member_items(path, name, raw, _tar.Members(raw, part.start), max_bytes, part.stop,
                                         part.start)
        except _tar.TarError as error:
            yield Item(name=name, failure=f"tar: {error}")
        except _tar.STREAM_ERRORS as error:
            yield Item(name=name, failure=f"tar: {_stream_error_text(error)}")


def tar_member_starts(path: bytes) -> list[int]:
    """Where the headers of the structure members of an uncompressed tar archive start, read from
    the headers alone (seeking past the data). Empty when the archive cannot be cut into parts (it
    is compressed, damaged, or has what a part could not read alone: a link among its structures,
    a global extended header): then it is read whole, as one input."""
    starts: list[int] = []
    try:
        with open(path, "rb") as raw:
            if _tar.open_stream(raw) is not raw or not raw.seekable():
                return []
            members = _tar.Members(raw)
            for member in members:
                if member.kind is _tar.Kind.OTHER or not is_structure_name(member.name):
                    continue
                if member.kind is not _tar.Kind.FILE:
                    return []
                starts.append(member.header)
    except (_tar.TarError, *_tar.STREAM_ERRORS):
        return []
    return [] if members.has_defaults else starts


def split_tar(path: bytes, starts: list[int], per_part: int) -> list[TarPart]:
    """The archive whose structure members' headers start at `starts`, in parts of `per_part`
    members; none when it has no more than that."""
    if len(starts) <= per_part:
        return []
    bounds: list[int | None] = [0, *starts[per_part::per_part], None]
    return [TarPart(path, start or 0, stop, min(per_part, len(starts) - k * per_part))
            for k, (start, stop) in enumerate(zip(bounds, bounds[1:]))]


def _stream_error_text(error: BaseException) -> str:
    """An operating-system error as the readers give it; any other failure of a decompressor
    (whose own texts differ by format and version) as one text."""
    if isinstance(error, OSError) and not isinstance(error, gzip.BadGzipFile) and error.errno is not None:
        return os_error_text(error)
    return "invalid or truncated compressed data"


def _archive_items(path: bytes, name: str, raw: io.BufferedReader, max_bytes: int) -> Iterator[Item]:
    stream = _tar.open_stream(raw)
    found = yield from _member_items(path, name, raw, _tar.Members(stream), max_bytes, None, 0)
    if found == 0:
        yield Item(name=name, failure="tar: no structure files in this archive")


def _member_items(path: bytes, name: str, raw: io.BufferedReader, members: _tar.Members, max_bytes: int,
                  stop: int | None, start: int) -> Generator[Item, None, int]:
    """The structure members of `members` (from the header at `start` on) whose headers start before
    `stop`; returns how many."""
    # The length of an uncompressed archive: its members within it are read in place by the workers.
    plain = os.fstat(raw.fileno()).st_size if members.stream is raw and raw.seekable() else None
    # The members passed, by the name a link would use. Kept only from the first link on (found
    # again then by reading the archive's start once more), so that an archive without links is
    # read in memory that does not grow with it; a stream that cannot be read twice keeps them all.
    seen: dict[bytes, _tar.Member] | None = None if raw.seekable() else {}
    later: list[_tar.Member] = []  # links to members further on
    found = 0
    for member in members:
        if stop is not None and member.header >= stop:
            break
        if seen is None and member.kind in (_tar.Kind.HARD_LINK, _tar.Kind.SYMLINK):
            seen = _members_before(path, start, member.header)
        if seen is not None:
            seen[_tar.normal_name(member.name)] = member
        if member.kind is _tar.Kind.OTHER or not is_structure_name(member.name):
            continue
        found += 1
        item_name = f"{name}/{display_name(member.name)}"
        if member.kind is _tar.Kind.FILE:
            if member.size > max_bytes:
                yield Item(name=item_name, failure=_too_large(max_bytes))
            elif plain is not None and member.offset + member.size <= plain:
                yield Item(name=item_name, path=path, span=(member.offset, member.size))
            else:  # a member cut short raises, as it is read, where the archive ends
                data = bytearray(member.size)
                members.read_data(member, data)
                yield Item(name=item_name, data=data)
            continue
        target = _resolve(member, seen or {})
        if target is None:
            later.append(member)
        else:
            yield _link_item(item_name, target, path, raw, max_bytes, plain)
    for member in later:
        target = _resolve(member, seen or {})
        yield _link_item(f"{name}/{display_name(member.name)}",
                         target if target is not None else _outside(member), path, raw, max_bytes, plain)
    return found


def _members_before(path: bytes, start: int, end: int) -> dict[bytes, _tar.Member]:
    """The members whose headers lie from `start` to before `end`, by normal name, read again from
    the archive at `path` (headers only where it is uncompressed)."""
    seen: dict[bytes, _tar.Member] = {}
    with open(path, "rb") as again:
        stream = _tar.open_stream(again)
        if stream is again:
            again.seek(start)
        for member in _tar.Members(stream, start if stream is again else 0):
            if member.header >= end:
                break
            seen[_tar.normal_name(member.name)] = member
    return seen


def _too_large(max_bytes: int) -> str:
    return f"input size exceeds max_bytes ({max_bytes})"


def _outside(link: _tar.Member) -> str:
    return f"link points outside the archive: {display_name(link.link)}"


_MAX_LINKS = 40  # as the kernel's limit on symbolic links in one path


def _resolve(member: _tar.Member, seen: dict[bytes, _tar.Member]) -> _tar.Member | str | None:
    """The regular member a link leads to, why it leads nowhere, or None while its target has not
    been seen yet. Only names inside the archive count: nothing is looked up on the file system."""
    current = member
    for _ in range(_MAX_LINKS):
        if current.kind is _tar.Kind.FILE:
            return current
        if current.kind is _tar.Kind.OTHER:
            return f"link target is not a regular file: {display_name(current.name)}"
        target = _tar.link_target(current)
        if target is None:
            return _outside(current)
        following = seen.get(target)
        if following is None:
            return None
        current = following
    return f"too many levels of links: {display_name(member.link)}"


def _link_item(name: str, target: _tar.Member | str, path: bytes, raw: io.BufferedReader,
               max_bytes: int, plain: int | None) -> Item:
    if isinstance(target, str):
        return Item(name=name, failure=f"tar: {target}")
    if target.size > max_bytes:
        return Item(name=name, failure=_too_large(max_bytes))
    if plain is not None:  # a target passed is within the archive
        return Item(name=name, path=path, span=(target.offset, target.size))
    return Item(name=name, data=_member_data(target, path, raw))


def _member_data(member: _tar.Member, path: bytes, raw: io.BufferedReader) -> bytearray:
    """The data of a member of a compressed archive already passed, by reading the archive again
    from its start (links are rare; this keeps memory bounded)."""
    data = bytearray(member.size)
    view = memoryview(data)
    with open(path, "rb") as again:
        stream = _tar.open_stream(again)
        _discard(stream, member.offset)
        done = 0
        while done < member.size:
            count = stream.readinto(view[done:])  # type: ignore[attr-defined]
            if not count:
                raise _tar.TarError("the archive changed while it was read")
            done += count
    return data


def _discard(stream: BinaryIO, count: int) -> None:
    while count > 0:
        piece = stream.read(min(count, 1 << 20))
        if not piece:
            raise _tar.TarError("the archive changed while it was read")
        count -= len(piece)


def expand_path(path: bytes, max_bytes: int) -> Iterator[Item]:
    if os.path.isdir(path):
        yield from walk_directory(path)
    elif is_tar_name(path) and not is_structure_name(path):
        yield from stream_tar(path, max_bytes)
    else:
        yield Item(name=display_name(path), path=path)


def _pair(value: tuple[object, ...]) -> Item:
    if len(value) != 2:
        raise TypeError(f"an in-memory input is a (name, bytes) pair, not a tuple of {len(value)} items")
    name, data = value
    if not isinstance(name, (str, bytes)):
        raise TypeError(f"the name of an in-memory input must be str or bytes, not {type(name).__name__}")
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"the content of an in-memory input must be bytes-like, not {type(data).__name__}")
    return Item(name=display_name(name), data=data)


def _path(value: object) -> bytes:
    if isinstance(value, (str, bytes, os.PathLike)):
        return os.fsencode(value)
    raise TypeError(
        "inputs must be a path (str, bytes, os.PathLike), a (name, bytes) pair, or an iterable of them, "
        f"not {type(value).__name__}"
    )


def iter_items(inputs: object, max_bytes: int) -> Iterator[Item]:
    """Every single input, in order; raises TypeError before yielding anything for a bad argument."""
    if isinstance(inputs, (str, bytes, os.PathLike)):
        yield from expand_path(_path(inputs), max_bytes)
        return
    if isinstance(inputs, tuple) and len(inputs) == 2 and isinstance(inputs[1], (bytes, bytearray, memoryview)):
        yield _pair(inputs)
        return
    if not isinstance(inputs, Iterable):
        raise TypeError(f"inputs must be a path, a (name, bytes) pair or an iterable of them, "
                        f"not {type(inputs).__name__}")
    for value in inputs:
        if isinstance(value, Item):
            yield value
        elif isinstance(value, TarPart):
            yield from stream_tar(value.path, max_bytes, value)
        elif isinstance(value, tuple):
            yield _pair(value)
        else:
            yield from expand_path(_path(value), max_bytes)
