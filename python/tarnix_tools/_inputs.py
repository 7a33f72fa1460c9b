"""Turning what a caller hands to ``annotate`` into a stream of single inputs."""

from __future__ import annotations

import os
import tarfile
import zlib
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Union

STRUCTURE_SUFFIXES = (".pdb", ".ent", ".cif", ".mmcif")
TAR_SUFFIXES = (".tar", ".tar.gz", ".tgz")

PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]


@dataclass(frozen=True)
class Item:
    """One input: a file by path, bytes in memory, or a failure found before reading it."""

    name: str
    path: bytes | None = None
    data: bytes | bytearray | memoryview | None = None
    failure: str | None = None

    def native(self) -> bytes | tuple[bytes, bytes | bytearray | memoryview | str]:
        """The item as the engine takes it."""
        if self.path is not None:
            return self.path
        encoded = os.fsencode(self.name)
        if self.failure is not None:
            return (encoded, self.failure)
        return (encoded, self.data if self.data is not None else b"")

    @property
    def size(self) -> int:
        return len(self.data) if self.data is not None else 0


def os_error_text(error: OSError) -> str:
    """The text the readers give for an operating-system error."""
    if error.errno is None:
        return str(error)
    return f"{os.strerror(error.errno)} (os error {error.errno})"


def is_structure_name(name: bytes) -> bool:
    lowered = name.lower()
    if lowered.endswith(b".gz"):
        lowered = lowered[:-3]
    return lowered.endswith(tuple(s.encode() for s in STRUCTURE_SUFFIXES))


def is_tar_name(name: bytes) -> bool:
    return name.lower().endswith(tuple(s.encode() for s in TAR_SUFFIXES))


def structure_paths(root: bytes) -> list[bytes]:
    """Paths below root whose names are structure file names, in sorted order."""
    found: list[bytes] = []
    for directory, subdirectories, files in os.walk(root):
        found.extend(os.path.join(directory, entry) for entry in (*files, *subdirectories)
                     if is_structure_name(entry))
    return sorted(found)


def walk_directory(root: bytes) -> Iterator[Item]:
    """Structure files below root, in sorted order of their paths."""
    found = structure_paths(root)
    if not found:
        yield Item(name=os.fsdecode(root), failure="no structure files in this directory")
    for path in found:
        yield Item(name=os.fsdecode(path), path=path)


def stream_tar(path: bytes, max_bytes: int) -> Iterator[Item]:
    """Members of a tar archive, read one at a time so memory does not grow with the archive."""
    name = os.fsdecode(path)
    try:
        raw = open(path, "rb")
    except OSError as error:
        yield Item(name=name, failure=os_error_text(error))
        return
    members = 0
    with raw:
        try:
            with tarfile.open(fileobj=raw, mode="r|*") as archive:
                for member in archive:
                    if not member.isfile() or not is_structure_name(os.fsencode(member.name)):
                        continue
                    members += 1
                    member_name = f"{name}/{member.name}"
                    if member.size > max_bytes:
                        yield Item(name=member_name, failure=f"tar: member size exceeds max_bytes ({max_bytes})")
                        continue
                    extracted = archive.extractfile(member)
                    yield Item(name=member_name, data=extracted.read() if extracted is not None else b"")
        except (tarfile.TarError, EOFError, OSError, zlib.error) as error:
            yield Item(name=name, failure=f"tar: {error or type(error).__name__}")
            return
    if members == 0:
        yield Item(name=name, failure="tar: no structure files in this archive")


def expand_path(path: bytes, max_bytes: int) -> Iterator[Item]:
    if os.path.isdir(path):
        yield from walk_directory(path)
    elif is_tar_name(path) and not is_structure_name(path):
        yield from stream_tar(path, max_bytes)
    else:
        yield Item(name=os.fsdecode(path), path=path)


def _pair(value: tuple[object, ...]) -> Item:
    if len(value) != 2:
        raise TypeError(f"an in-memory input is a (name, bytes) pair, not a tuple of {len(value)} items")
    name, data = value
    if not isinstance(name, (str, bytes)):
        raise TypeError(f"the name of an in-memory input must be str or bytes, not {type(name).__name__}")
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"the content of an in-memory input must be bytes-like, not {type(data).__name__}")
    return Item(name=os.fsdecode(name), data=data)


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
        if isinstance(value, tuple):
            yield _pair(value)
        else:
            yield from expand_path(_path(value), max_bytes)
