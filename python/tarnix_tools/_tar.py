"""Tar archives read header by header: what each member is and where its data lies.

Every reader of archives goes through ``parse_header`` and ``Members``: each member's data starts at
a known offset of the (decompressed) stream, so a caller can read it there, come back to it later,
or hand the range on. Unlike ``tarfile``, a damaged header or an archive that stops before its
end-of-archive blocks raises ``TarError``, never passes for the end.
"""

from __future__ import annotations

import bz2
import enum
import gzip
import io
import lzma
import os
import posixpath
import zlib
from collections.abc import Iterator
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING, BinaryIO, Optional

from tarnix_tools._names import display_name

if TYPE_CHECKING:
    from _typeshed import WriteableBuffer

BLOCK = 512
_ZERO_BLOCK = bytes(BLOCK)
# Skipped data is read through in pieces of this size when the stream cannot seek.
_SKIP_PIECE = 1 << 20
# Longest extended-header or long-name member accepted (they are held in memory).
_MAX_META = 1 << 20


class TarError(Exception):
    """The archive is damaged or cut short; the text says why and where."""


class Kind(enum.Enum):
    FILE = "file"
    HARD_LINK = "hard link"
    SYMLINK = "symbolic link"
    OTHER = "other"  # a directory, device, FIFO or a type this reader does not know


@dataclass(frozen=True)
class Member:
    """One entry: ``offset`` is where its data starts in the decompressed stream, ``header`` where
    its first header block starts (an extended header's, when one comes before it)."""

    name: bytes
    kind: Kind
    size: int
    offset: int
    link: bytes = b""
    flag: bytes = b"0"
    header: int = 0


_KINDS = {b"0": Kind.FILE, b"\0": Kind.FILE, b"7": Kind.FILE, b"1": Kind.HARD_LINK, b"2": Kind.SYMLINK}
# Types with no data blocks whatever their size field says; every other type's data follows it.
_NO_DATA = {b"1", b"2", b"3", b"4", b"5", b"6"}


def _number(field: bytes, what: str, at: int) -> int:
    """An octal field (NUL or space terminated), or base-256 when its first byte has the high bit."""
    if field[:1] == b"\x80":
        return int.from_bytes(field[1:], "big")
    if field[:1] == b"\xff":
        raise TarError(f"negative {what} in the header at byte {at}")
    text = field.split(b"\0", 1)[0].strip(b" ")
    if not text:
        return 0
    if text.strip(b"01234567"):
        raise TarError(f"invalid {what} in the header at byte {at}")
    return int(text, 8)


def _text(field: bytes) -> bytes:
    return field.split(b"\0", 1)[0]


def parse_header(block: bytes, at: int) -> Optional[Member]:
    """The member a 512-byte header at stream offset `at` describes (its data starts right after);
    None for a block of zeros."""
    if block == _ZERO_BLOCK:
        return None
    try:
        stored = _number(block[148:156], "checksum", at)
    except TarError:
        stored = -1
    unsigned = sum(block[:148]) + 8 * 32 + sum(block[156:])
    if stored != unsigned and stored != _signed_sum(block):  # some old writers summed signed bytes
        raise TarError(f"damaged header at byte {at} (checksum mismatch)")
    flag = block[156:157]
    name = _text(block[0:100])
    if block[257:263] == b"ustar\0" and block[345:346] != b"\0":
        name = _text(block[345:500]) + b"/" + name
    size = 0 if flag in _NO_DATA else _number(block[124:136], "size", at)
    return Member(name, _KINDS.get(flag, Kind.OTHER), size, at + BLOCK, _text(block[157:257]), flag, at)


def _signed_sum(block: bytes) -> int:
    return sum(b - 256 if b >= 128 else b for b in block[:148] + block[156:]) + 8 * 32


def _padded(size: int) -> int:
    return -(-size // BLOCK) * BLOCK


def _pax_records(data: bytes, at: int) -> dict[bytes, bytes]:
    """The "length key=value\\n" records of an extended header."""
    records: dict[bytes, bytes] = {}
    position = 0
    while position < len(data) and data[position:position + 1] != b"\0":
        length_text, space, _ = data[position:position + 20].partition(b" ")
        if not space or not length_text.isdigit() or int(length_text) <= len(length_text) + 1:
            raise TarError(f"invalid extended header at byte {at}")
        record = data[position:position + int(length_text)]
        key, equals, value = record[len(length_text) + 1:].partition(b"=")
        if not equals or not record.endswith(b"\n"):
            raise TarError(f"invalid extended header at byte {at}")
        records[key] = value[:-1]
        position += int(length_text)
    return records


class _PositionalReader(io.RawIOBase):
    """Reads an open file by position (pread) from a place of its own: several readers of one open
    archive never move each other, nor the file's own position. The descriptor stays its owner's."""

    def __init__(self, descriptor: int, at: int) -> None:
        super().__init__()
        self._descriptor = descriptor
        self._at = at

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def readinto(self, buffer: WriteableBuffer) -> int:
        count = os.preadv(self._descriptor, [buffer], self._at)
        self._at += count
        return count

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_CUR:
            offset += self._at
        elif whence == io.SEEK_END:
            offset += os.fstat(self._descriptor).st_size
        self._at = offset
        return offset

    def tell(self) -> int:
        return self._at

    def fileno(self) -> int:
        return self._descriptor


def reader_at(raw: io.BufferedReader, at: int) -> io.BufferedReader:
    """A reader of the file `raw` has open (seekable) from byte `at` on, by the same descriptor:
    reading the archive again never reopens it by its path, which may name another file by now."""
    return io.BufferedReader(_PositionalReader(raw.fileno(), at), _SKIP_PIECE)


def open_stream(raw: io.BufferedReader) -> BinaryIO:
    """The tar stream inside `raw`: decompressed when it starts with a gzip, bzip2 or xz signature."""
    head = raw.peek(6)[:6]
    if head[:2] == b"\x1f\x8b":
        return gzip.GzipFile(fileobj=raw, mode="rb")  # type: ignore[return-value]
    if head[:3] == b"BZh":
        return bz2.BZ2File(raw)  # type: ignore[return-value]
    if head == b"\xfd7zXZ\0":
        return lzma.LZMAFile(raw)  # type: ignore[return-value]
    return raw


# What a broken compressed stream raises, here or while reading a member's data.
STREAM_ERRORS = (EOFError, zlib.error, gzip.BadGzipFile, lzma.LZMAError, OSError)


class Members:
    """Iterates over the members of a tar stream, moving past each member's data unless
    ``read_data`` took it; raises TarError where the archive is damaged or ends early. `at` is the
    stream's offset in the archive when it starts at a member's header further on."""

    def __init__(self, stream: BinaryIO, at: int = 0) -> None:
        self.stream = stream
        self._position = at
        self._current: Optional[Member] = None
        # Whether a global extended header was met: it changes every member after it.
        self.has_defaults = False
        # A decompressing stream can seek only by decompressing: skip data by reading it instead.
        self._end: Optional[int] = None
        self._decompressing = isinstance(stream, (gzip.GzipFile, bz2.BZ2File, lzma.LZMAFile))
        if not self._decompressing and stream.seekable():
            start = stream.tell()
            self._end = stream.seek(0, 2) - start + at
            stream.seek(start)

    def __iter__(self) -> Iterator[Member]:
        defaults: dict[bytes, bytes] = {}
        pending: dict[bytes, bytes] = {}
        first: Optional[int] = None  # where the headers of the coming member started
        while True:
            self._finish_current()
            at = self._position
            first = at if first is None else first
            block = self._read(BLOCK)
            if not block:
                raise TarError("the archive ends without its end-of-archive blocks")
            if len(block) < BLOCK:
                raise TarError(f"the archive ends inside the header at byte {at}")
            member = parse_header(block, at)
            if member is None:
                self._check_end(at)
                if self._decompressing:
                    self._drain()
                return
            flag = member.flag
            if flag in (b"x", b"g", b"L", b"K"):
                if member.size > _MAX_META:
                    raise TarError(f"extended header at byte {at} is too long ({member.size} bytes)")
                data = self._read_exactly(member.size, at)
                self._skip(_padded(member.size) - member.size)
                if flag == b"x":
                    pending.update(_pax_records(data, at))
                elif flag == b"g":
                    defaults.update(_pax_records(data, at))
                    self.has_defaults = True
                else:
                    pending[b"path" if flag == b"L" else b"linkpath"] = _text(data)
                continue
            if defaults or pending:
                member = self._with_records(member, {**defaults, **pending}, at)
            if first != at:  # its extended headers came first
                member = replace(member, header=first)
            pending, first = {}, None
            self._current = member
            yield member

    def read_data(self, member: Member) -> bytearray:
        """The data of the member just yielded, read in pieces: memory grows with what the archive
        holds, never with what a header claims. On MemoryError the reader has moved past it."""
        if self._current is not member:
            raise ValueError("read_data takes the member just yielded, once")
        data = bytearray()
        end = member.offset + member.size
        try:
            while self._position < end:
                piece = self._read(min(end - self._position, _SKIP_PIECE))
                if not piece:
                    raise TarError(f"the archive ends inside the data of {display_name(member.name)}")
                data += piece
        except MemoryError:
            del data
            self._skip(member.offset + _padded(member.size) - self._position)
            self._current = None
            raise
        self._skip(_padded(member.size) - member.size)
        self._current = None
        return data

    def _with_records(self, member: Member, records: dict[bytes, bytes], at: int) -> Member:
        if not records:
            return member
        name = records.get(b"path", member.name)
        link = records.get(b"linkpath", member.link)
        size = member.size
        if b"size" in records and member.flag not in _NO_DATA:
            if not records[b"size"].isdigit():
                raise TarError(f"invalid size in the extended header before byte {at}")
            size = int(records[b"size"])
        return replace(member, name=name, link=link, size=size)

    def _finish_current(self) -> None:
        if self._current is not None:
            self._skip(_padded(self._current.size))
            self._current = None

    def _check_end(self, at: int) -> None:
        """A zero block ends the archive when a second one or the end of the stream follows it;
        anything else after it would be members silently lost."""
        following = self._read(BLOCK)
        if following and following != _ZERO_BLOCK[:len(following)]:
            raise TarError(f"a zero block at byte {at} is followed by more data")

    def _drain(self) -> None:
        """Reads a decompressing stream to its end: only there are its checksum and length checked,
        and a stream that fails them makes the whole archive suspect."""
        while self.stream.read(_SKIP_PIECE):
            pass

    def _read(self, size: int) -> bytes:
        data = self.stream.read(size)
        self._position += len(data)
        return data

    def _read_exactly(self, size: int, at: int) -> bytes:
        data = self._read(size)
        if len(data) < size:
            raise TarError(f"the archive ends inside the member at byte {at}")
        return data

    def _skip(self, size: int) -> None:
        if size <= 0:
            return
        at = self._position
        if self._end is not None:
            self._position = min(at + size, self._end)
            self.stream.seek(self._position - at, 1)
        else:
            left = size
            while left:
                piece = self._read(min(left, _SKIP_PIECE))
                if not piece:
                    break
                left -= len(piece)
        if self._position < at + size:
            raise TarError(f"the archive ends inside the data of {display_name(self._current.name)}" if self._current
                           else f"the archive ends {at + size - self._position} bytes short")


def link_target(member: Member) -> Optional[bytes]:
    """The archive path a link names (normalised), or None when it leaves the archive."""
    if member.link.startswith(b"/"):
        return None
    base = b"" if member.kind is Kind.HARD_LINK else posixpath.dirname(normal_name(member.name))
    target = posixpath.normpath(posixpath.join(base, member.link))
    if target == b".." or target.startswith(b"../") or target in (b".", b""):
        return None
    return target


def normal_name(name: bytes) -> bytes:
    """The name a link would use for a member: no leading "./", no trailing "/"."""
    normal = posixpath.normpath(name.rstrip(b"/")) if name else name
    return normal.lstrip(b"/")
