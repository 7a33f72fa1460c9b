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
    """One input: a file by path, a range of an archive ((offset, length) of the file at path, read
    through `archive`, the archive held open while its members are handed on), bytes in memory, or
    a failure found before reading it. A file found by a walk (`regular_only`) is read only when it
    is still a regular file when it is opened."""

    name: str
    path: bytes | None = None
    data: bytes | bytearray | memoryview | None = None
    failure: str | None = None
    span: tuple[int, int] | None = None
    archive: io.BufferedReader | None = None
    regular_only: bool = False

    def native(self) -> (bytes | tuple[bytes, bytes | bytearray | memoryview | str | bool]
                         | tuple[bytes, int, int, int]):
        """The item as the engine takes it."""
        encoded = os.fsencode(self.name)
        if self.archive is not None and self.span is not None:
            return (encoded, self.archive.fileno(), *self.span)
        if self.path is not None:
            return (self.path, True) if self.regular_only else self.path
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
    # The archive split (inode, size, modification time; not the device, which differs between the
    # mounts of one network file system): a task that finds another file at the path reads none of
    # it, its offsets would be pieces of other members.
    identity: tuple[int, int, int] | None = None


class MemberStarts(list[int]):
    """Where the headers of an archive's structure members start, and the `identity` of the
    archive they were read from."""

    def __init__(self, starts: Iterable[int] = (), identity: tuple[int, int, int] | None = None) -> None:
        super().__init__(starts)
        self.identity = identity


def _identity(raw: io.BufferedReader) -> tuple[int, int, int]:
    status = os.fstat(raw.fileno())
    return (status.st_ino, status.st_size, status.st_mtime_ns)


NOT_REGULAR = "not a regular file"


class NotRegularFile(OSError):
    """What was opened where a regular file was expected is a FIFO, a device, a directory..."""


def open_file(path: bytes, regular_only: bool = False) -> io.BufferedReader:
    """Opens path to read: the one place inputs are opened on this side. A file found rather than
    named (`regular_only`) is opened without blocking and kept only when what was opened is a
    regular file: a FIFO or a device put in its place since could block the run or never end.
    Raises OSError (NotRegularFile for anything else)."""
    if not regular_only:
        return open(path, "rb")
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise NotRegularFile(NOT_REGULAR)
        os.set_blocking(descriptor, True)
        return open(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


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
                    found.append((entry.path, None if stat.S_ISREG(mode) else NOT_REGULAR))
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
        yield Item(name=display_name(path), path=None if failure else path, failure=failure, regular_only=True)


def stdin_item(name: str) -> Item:
    """Standard input, streamed by the reader like any file (never read whole first)."""
    return Item(name=name, path=b"/dev/stdin")


def stream_tar(path: bytes, max_bytes: int, part: TarPart | None = None) -> Iterator[Item]:
    """Members of a tar archive (of one part of it), read one at a time so memory does not grow
    with the archive; a damaged or truncated archive ends in an error row after the members read
    before the damage. Members of an uncompressed archive are handed on as ranges of the file."""
    name = display_name(path)
    try:
        raw = open_file(path, regular_only=part is not None)  # a part was cut from a regular file
    except OSError as error:
        yield Item(name=name, failure=os_error_text(error))
        return
    with raw:
        try:
            if part is None:
                yield from _archive_items(path, name, raw, max_bytes)
            elif part.identity is not None and _identity(raw) != part.identity:
                yield Item(name=name, failure="tar: the archive changed since it was split into parts")
            else:
                raw.seek(part.start)
                yield from _member_items(path, name, raw, _tar.Members(raw, part.start), max_bytes, part.stop,
                                         part.start)
        except _tar.TarError as error:
            yield Item(name=name, failure=f"tar: {error}")
        except _tar.STREAM_ERRORS as error:
            yield Item(name=name, failure=f"tar: {_stream_error_text(error)}")


def tar_member_starts(path: bytes) -> MemberStarts:
    """Where the headers of the structure members of an uncompressed tar archive start, read from
    the headers alone (seeking past the data). Empty when the archive cannot be cut into parts (it
    is compressed, damaged, or has what a part could not read alone: a link among its structures,
    a global extended header): then it is read whole, as one input."""
    starts = MemberStarts()
    try:
        with open_file(path, regular_only=True) as raw:
            if _tar.open_stream(raw) is not raw or not raw.seekable():
                return MemberStarts()
            starts.identity = _identity(raw)
            members = _tar.Members(raw)
            for member in members:
                if member.kind is _tar.Kind.OTHER or not is_structure_name(member.name):
                    continue
                if member.kind is not _tar.Kind.FILE:
                    return MemberStarts()
                starts.append(member.header)
    except (_tar.TarError, *_tar.STREAM_ERRORS):
        return MemberStarts()
    return MemberStarts() if members.has_defaults else starts


def split_tar(path: bytes, starts: list[int], per_part: int) -> list[TarPart]:
    """The archive whose structure members' headers start at `starts`, in parts of `per_part`
    members; none when it has no more than that."""
    if len(starts) <= per_part:
        return []
    bounds: list[int | None] = [0, *starts[per_part::per_part], None]
    identity = starts.identity if isinstance(starts, MemberStarts) else None
    return [TarPart(path, start or 0, stop, min(per_part, len(starts) - k * per_part), identity)
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
    # The members passed, by the name a link would use (in an uncompressed archive). Kept only from
    # the first link on (found again then by reading the archive's start once more), so that an
    # archive without links is read in memory that does not grow with it.
    seen: dict[bytes, _tar.Member] | None = None
    later: list[_tar.Member] = []  # links to members further on; every link of an archive read in memory
    wanted: set[bytes] = set()  # the names links lead to, in an archive read in memory
    found = 0
    for member in members:
        if stop is not None and member.header >= stop:
            break
        is_link = member.kind in (_tar.Kind.HARD_LINK, _tar.Kind.SYMLINK)
        if plain is None:
            if is_link and (named := _tar.link_target(member)) is not None:
                wanted.add(named)
        else:
            if seen is None and is_link:
                seen = _members_before(raw, start, member.header)
            if seen is not None:
                seen[_tar.normal_name(member.name)] = member
        if member.kind is _tar.Kind.OTHER or not is_structure_name(member.name):
            continue
        found += 1
        item_name = f"{name}/{display_name(member.name)}"
        if member.kind is _tar.Kind.FILE:
            yield _file_item(item_name, member, path, raw, members, max_bytes, plain)
            continue
        target = None if seen is None else _resolve(member, seen)
        if target is None:
            later.append(member)
        else:
            yield _range_link_item(item_name, target, path, raw, max_bytes)
    if plain is None:
        yield from _links_read_again(name, raw, later, wanted, max_bytes)
    for member in later if plain is not None else ():
        target = _resolve(member, seen or {})
        yield _range_link_item(f"{name}/{display_name(member.name)}",
                               target if target is not None else _outside(member), path, raw, max_bytes)
    return found


OUT_OF_MEMORY = "out of memory while reading this input"


def _file_item(name: str, member: _tar.Member, path: bytes, raw: io.BufferedReader, members: _tar.Members,
               max_bytes: int, plain: int | None) -> Item:
    """A regular member: a range of an uncompressed archive, or its data read from the stream."""
    if member.size > max_bytes:
        return Item(name=name, failure=_too_large(max_bytes))
    if plain is not None:
        if member.offset + member.size > plain:
            raise _tar.TarError(f"the archive ends inside the data of {display_name(member.name)}")
        return Item(name=name, path=path, span=(member.offset, member.size), archive=raw)
    try:
        return Item(name=name, data=members.read_data(member))
    except MemoryError:
        return Item(name=name, failure=OUT_OF_MEMORY)


def _members_before(raw: io.BufferedReader, start: int, end: int) -> dict[bytes, _tar.Member]:
    """The members whose headers lie from `start` to before `end` in the uncompressed archive `raw`
    has open, by normal name (headers only)."""
    seen: dict[bytes, _tar.Member] = {}
    for member in _tar.Members(_tar.reader_at(raw, start), start):
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


def _range_link_item(name: str, target: _tar.Member | str, path: bytes, raw: io.BufferedReader,
                     max_bytes: int) -> Item:
    """A link of an uncompressed archive: the range of the member it leads to (passed, so within it)."""
    if isinstance(target, str):
        return Item(name=name, failure=f"tar: {target}")
    if target.size > max_bytes:
        return Item(name=name, failure=_too_large(max_bytes))
    return Item(name=name, path=path, span=(target.offset, target.size), archive=raw)


# The most bytes of link targets held at once while the links of an archive read in memory
# (compressed) are resolved; each target is also bounded by max_bytes.
LINK_TARGET_BYTES = 512 * 2**20


def _links_read_again(name: str, raw: io.BufferedReader, links: list[_tar.Member], wanted: set[bytes],
                      max_bytes: int) -> Iterator[Item]:
    """The links of an archive read in memory (compressed, or from a pipe), after its other members:
    resolved in one more pass over the archive (by the descriptor already open), which keeps the
    data of the latest member of each name a link leads to, so that any number of links costs one
    pass. An archive that cannot be read again (a pipe) gives its links as error rows."""
    if not links:
        return
    if not raw.seekable():
        for link in links:
            yield Item(name=f"{name}/{display_name(link.name)}",
                       failure="tar: a link cannot be followed in an archive read from a pipe")
        return
    pending = {link.offset: link for link in links}
    seen: dict[bytes, _tar.Member] = {}
    kept: dict[bytes, tuple[int, bytearray]] = {}  # by name: (the member's offset, its data)
    held = 0
    forward: list[_tar.Member] = []
    members = _tar.Members(_tar.open_stream(_tar.reader_at(raw, 0)))
    for member in members:
        key = _tar.normal_name(member.name)
        if key in wanted:
            seen[key] = member
            if key in kept:
                held -= len(kept.pop(key)[1])
            if member.kind is _tar.Kind.FILE and member.size <= max_bytes and held + member.size <= LINK_TARGET_BYTES:
                try:
                    kept[key] = (member.offset, members.read_data(member))
                    held += member.size
                except MemoryError:
                    pass
        reached = pending.get(member.offset)
        if reached is not None:
            target = _resolve(reached, seen)
            if target is None:
                forward.append(reached)
            else:
                yield _kept_link_item(f"{name}/{display_name(reached.name)}", target, kept, max_bytes)
    for link in forward:
        target = _resolve(link, seen)
        yield _kept_link_item(f"{name}/{display_name(link.name)}",
                              target if target is not None else _outside(link), kept, max_bytes)


def _kept_link_item(name: str, target: _tar.Member | str, kept: dict[bytes, tuple[int, bytearray]],
                    max_bytes: int) -> Item:
    if isinstance(target, str):
        return Item(name=name, failure=f"tar: {target}")
    if target.size > max_bytes:
        return Item(name=name, failure=_too_large(max_bytes))
    offset, data = kept.get(_tar.normal_name(target.name), (-1, bytearray()))
    if offset != target.offset:
        return Item(name=name, failure=f"tar: link targets exceed the memory kept for them "
                                       f"({LINK_TARGET_BYTES} bytes): {display_name(target.name)}")
    return Item(name=name, data=data)


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
