"""Fuzzes the reading of tar archives (plain or compressed) into inputs: any bytes must give items
(members, then at most one error row for the archive, as the last row), never an exception or a
read outside the archive; where the archive reads cleanly, tarfile must see the same members. The
same bytes with their first header claiming a member of 256 MiB, plain and compressed, must be
read in memory bounded by the archive's size, never by what a header claims.

Run by fuzz/run.sh under atheris; the tests replay the seeds and the kept regressions through
``check`` without atheris."""
import gzip
import io
import os
import sys
import tarfile
import tempfile
import tracemalloc

_inputs = None
_FOLDER = tempfile.mkdtemp(prefix="tar-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
_MAX_BYTES = 1 << 20


def _tarfile_view(data):
    """Structure-named regular members and their data as tarfile reads them, or None. Names are
    shown as the inputs show them: bytes that are not UTF-8 escaped, where tarfile keeps them as
    surrogates."""
    from tarnix_tools._names import display_name

    try:
        with tarfile.open(fileobj=io.BytesIO(data), mode="r:*") as archive:
            members = archive.getmembers()
            if any(_prefix_outside_ustar(archive.fileobj, m) for m in members):
                return None
            return [(display_name(os.fsencode(m.name)), archive.extractfile(m).read())
                    for m in members
                    if m.isreg() and _inputs.is_structure_name(os.fsencode(m.name)) and m.size <= _MAX_BYTES]
    except Exception:
        return None


def _prefix_outside_ustar(stream, member):
    """Whether the member's header holds a name prefix without the ustar magic that gives the field
    that meaning: tarfile joins it to the name all the same, our reader (as GNU tar) does not."""
    stream.seek(member.offset_data - 512)
    header = stream.read(512)
    return header[345:346] not in (b"", b"\0") and header[257:263] != b"ustar\0"


def _claiming_more(data):
    """The bytes with the size field of their first header set to 256 MiB (base-256, an allocation
    that succeeds: tracemalloc sees it) and its checksum made right, or None when they are too short
    to hold a header or are compressed (their first block is no header then)."""
    if len(data) < 512 or data[:2] == b"\x1f\x8b" or data[:3] == b"BZh" or data[:6] == b"\xfd7zXZ\0":
        return None
    header = bytearray(data[:512])
    header[124:136] = b"\x80" + (2**28).to_bytes(11, "big")
    header[148:156] = b" " * 8
    header[148:156] = b"%06o\0 " % sum(header)
    return bytes(header) + data[512:]


def _check_bounded(data, decompressed):
    """Reads the archive with no max_bytes to stop a member: memory must stay within a small
    multiple of what the archive decompresses to."""
    path = os.path.join(_FOLDER, "claimed.tar")
    with open(path, "wb") as f:
        f.write(data)
    # Under atheris tracing runs from the start (started and stopped for every input, it makes the
    # process grow); a replay traces its one input and stops, leaving the process as it was.
    replay = not tracemalloc.is_tracing()
    if replay:
        tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        items = list(_inputs.stream_tar(os.fsencode(path), 1 << 50))
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        if replay:
            tracemalloc.stop()
    assert peak < 4 * decompressed + (8 << 20), (peak, decompressed)
    assert all(item.data is None or len(item.data) <= decompressed for item in items)
    assert not any(item.failure == _inputs.OUT_OF_MEMORY for item in items)


def check(data):
    claimed = _claiming_more(data)
    if claimed is not None:
        _check_bounded(claimed, len(claimed))
        _check_bounded(gzip.compress(claimed, 1, mtime=0), len(claimed))
    _check_items(data)


def _check_items(data):
    path = os.path.join(_FOLDER, "input.tar")
    with open(path, "wb") as f:
        f.write(data)
    items = list(_inputs.stream_tar(os.fsencode(path), _MAX_BYTES))
    assert items, "no row for an archive"
    prefix = path + "/"
    for item in items[:-1]:
        assert item.name.startswith(prefix), item
    last = items[-1]
    archive_failed = last.name == path
    if archive_failed:
        assert last.failure and last.failure.startswith("tar: "), last
    for item in items:
        if item.path is not None:  # a member of a plain archive, as a range of it
            assert item.path == os.fsencode(path) and item.span is not None, "a member read outside the archive"
            assert 0 <= item.span[0] and sum(item.span) <= len(data), item
        else:
            assert (item.data is None) != (item.failure is None), item
    if archive_failed or any(item.failure for item in items):
        return
    view = _tarfile_view(data)
    if view is None or any(m[0].startswith("/") or "\\" in m[0] for m in view):
        return
    ours = [(item.name[len(prefix):], data[item.span[0]:sum(item.span)] if item.span else bytes(item.data))
            for item in items]
    regular = [(n, d) for n, d in ours if any(n == name for name, _ in view)]
    assert sorted(regular) == sorted(view), (regular, view)


def _load():
    global _inputs
    from tarnix_tools import _inputs as module
    _inputs = module


def main():
    import atheris

    with atheris.instrument_imports(include=["tarnix_tools"]):
        _load()
    tracemalloc.start()
    atheris.Setup(sys.argv, lambda data: check(data))
    atheris.Fuzz()


if __name__ == "__main__":
    main()
else:
    _load()
