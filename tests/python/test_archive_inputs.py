"""Archives and walked files that change or lie: an archive replaced while its members are read, a
compressed archive failing its checksum or cut short, headers claiming more than the archive holds,
a file swapped for a FIFO after the walk, and links in compressed archives. Every row is the
member's own result (as tarnix.assign reads the member taken from the archive) or an error row."""
import gzip
import io
import os
import pathlib
import resource
import subprocess
import sys
import tarfile
import textwrap
import zlib

import pytest

import tarnix
import tarnix_tools
from tarnix_tools import _inputs, _tar

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
SOURCES = [DATA / "1ajj.pdb", DATA / "1ubq.pdb", DATA / "1aki.pdb"]


def run_child(code, timeout=60, memory=None):
    """Runs Python code in a child, optionally under an address-space limit."""
    if memory is not None and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the address sanitizer reserves more address space than the limit allows")

    def limit():
        if memory is not None:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, preexec_fn=limit)


def results(annotation):
    """{name: (status, error, codes, accessibility bytes)}, one entry per row of structures."""
    s, r = annotation.structures.columns, annotation.residues.columns
    out = {}
    for row, (name, status, error) in enumerate(zip(s["name"].tolist(), s["status"].tolist(), s["error"].tolist())):
        chosen = r["input"] == row
        out[name] = (status, error, "".join(r["structure"][chosen].tolist()), r["accessibility"][chosen].tobytes())
    return out


_ASSIGNED = {}


def assigned(content, folder):
    """What tarnix.assign gives for these bytes as a PDB file, as results() shows a good row."""
    if content not in _ASSIGNED:
        path = folder / f"member{len(_ASSIGNED)}.pdb"
        path.write_bytes(content)
        residues = tarnix.assign(str(path)).residues
        import numpy as np
        _ASSIGNED[content] = ("ok", "", "".join(x.structure for x in residues),
                              np.array([x.accessibility for x in residues], dtype=np.float32).tobytes())
    return _ASSIGNED[content]


def make_tar(members, compress=False):
    """Bytes of a tar archive of (name, content) or (name, kind, link) members, in order."""
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.GNU_FORMAT) as archive:
        for name, *rest in members:
            info = tarfile.TarInfo(name)
            if len(rest) == 1:
                info.size = len(rest[0])
                archive.addfile(info, io.BytesIO(rest[0]))
            else:
                info.type, info.linkname = rest
                archive.addfile(info)
    data = buffer.getvalue()
    return gzip.compress(data, 1, mtime=0) if compress else data


def extracted(archive_bytes):
    """{member name: content} of the regular members, by tarfile (links read as their targets)."""
    with tarfile.open(fileobj=io.BytesIO(archive_bytes), mode="r:*") as archive:
        return {m.name: archive.extractfile(m).read() for m in archive.getmembers() if m.isreg() or m.islnk()}


# An archive replaced under its name while its members are read: every row must come from the
# archive as it was opened.
@pytest.mark.parametrize("compress", [False, True], ids=["tar", "tar.gz"])
def test_an_archive_replaced_during_the_run_is_read_as_it_was_opened(tmp_path, compress, monkeypatch):
    contents = [s.read_bytes() for s in SOURCES]
    names = [f"m{k:03d}.pdb" for k in range(90)]
    original = make_tar([(n, contents[k % 3]) for k, n in enumerate(names)]
                        + [("hard.pdb", tarfile.LNKTYPE, "m001.pdb"), ("soft.pdb", tarfile.SYMTYPE, "m002.pdb")],
                        compress)
    # the same names, other contents, at other offsets
    replacement = make_tar([("pad.txt", b"x" * 1500)] + [(n, contents[(k + 1) % 3]) for k, n in enumerate(names)]
                           + [("hard.pdb", tarfile.LNKTYPE, "m002.pdb"), ("soft.pdb", tarfile.SYMTYPE, "m000.pdb")],
                           compress)
    live = tmp_path / ("live.tar.gz" if compress else "live.tar")
    live.write_bytes(original)
    (tmp_path / "next").write_bytes(replacement)
    stream_tar = _inputs.stream_tar

    def replaced_after_the_first_member(path, max_bytes, part=None):
        for k, item in enumerate(stream_tar(path, max_bytes, part)):
            yield item
            if k == 0:
                os.replace(tmp_path / "next", live)

    monkeypatch.setattr(_inputs, "stream_tar", replaced_after_the_first_member)
    got = results(tarnix_tools.annotate(live, threads=2))
    assert live.read_bytes() == replacement
    members = extracted(original)
    assert list(got) == [f"{live}/{n}" for n in [*names, "hard.pdb", "soft.pdb"]]
    for name, row in got.items():
        member = name.rsplit("/", 1)[1]
        content = members[member] if member != "soft.pdb" else members["m002.pdb"]
        assert row == assigned(content, tmp_path) or row[0] == "error", name


def gzip_rows(path):
    """(name, data or failure) of every item an archive gives."""
    return [(item.name, bytes(item.data) if item.data is not None else item.failure)
            for item in _inputs.stream_tar(os.fsencode(path), 1 << 20)]


@pytest.fixture(scope="module")
def packed_archive():
    members = [(f"m{k:02d}.pdb", SOURCES[k % 3].read_bytes()) for k in range(6)]
    return make_tar(members, compress=True)


def damaged_copies(packed):
    """Single-bit flips spread over the whole stream and over its trailer (CRC-32 and length), and
    cuts of its last bytes."""
    flips = [(at, bit) for at in range(10, len(packed) - 8, max(1, (len(packed) - 18) // 40)) for bit in (0, 5)]
    flips += [(at, bit) for at in range(len(packed) - 8, len(packed)) for bit in (0, 7)]
    for at, bit in flips:
        damaged = bytearray(packed)
        damaged[at] ^= 1 << bit
        yield f"flip {at}:{bit}", bytes(damaged), at >= len(packed) - 8
    for cut in (1, 4, 8, 9, 47):
        yield f"cut {cut}", packed[:-cut], True


def test_a_compressed_archive_failing_its_checksum_or_length_ends_in_an_error_row(tmp_path, packed_archive):
    archive = tmp_path / "a.tar.gz"
    archive.write_bytes(packed_archive)
    good = gzip_rows(archive)
    assert [name for name, _ in good] == [f"{archive}/m{k:02d}.pdb" for k in range(6)]
    for what, damaged, in_trailer in damaged_copies(packed_archive):
        archive.write_bytes(damaged)
        got = gzip_rows(archive)
        failed = got[-1][0] == str(archive) and got[-1][1].startswith("tar: ")
        # a flip the checksum must catch is an error row; anywhere else the data must be the same
        assert failed or (not in_trailer and got == good), what


def test_a_cut_or_flipped_compressed_archive_is_an_error_row_of_the_run(tmp_path, packed_archive):
    archive = tmp_path / "a.tar.gz"
    for damaged in (packed_archive[:-47], packed_archive[:-4] + bytes([packed_archive[-4] ^ 1]) + packed_archive[-3:]):
        archive.write_bytes(damaged)
        got = results(tarnix_tools.annotate([archive, SOURCES[0]], sasa=False))
        assert got[str(archive)][:2] == ("error", "tar: invalid or truncated compressed data")
        assert got[str(SOURCES[0])][0] == "ok"


def oversized_header(compress, claimed=2**31 - 1):
    """A good member, then a header claiming `claimed` bytes with 80 KB of data behind it."""
    content = SOURCES[0].read_bytes()
    good = tarfile.TarInfo("good.pdb")
    good.size = len(content)
    good = good.tobuf(format=tarfile.GNU_FORMAT) + content + bytes(-len(content) % 512)
    info = tarfile.TarInfo("big.pdb")
    info.size = claimed
    header = info.tobuf(format=tarfile.GNU_FORMAT)
    data = good + header + b"ATOM  " * (80_000 // 6)
    return gzip.compress(data, 1) if compress else data


@pytest.mark.parametrize("compress", [False, True], ids=["tar", "tar.gz"])
def test_a_header_claiming_more_than_the_archive_holds_allocates_nothing_for_it(tmp_path, compress):
    archive = tmp_path / ("big.tar.gz" if compress else "big.tar")
    archive.write_bytes(oversized_header(compress))
    child = run_child(f"""
        import tarnix_tools
        s = tarnix_tools.annotate([{str(archive)!r}, {str(SOURCES[1])!r}]).structures.columns
        print(repr(list(zip(s["name"].tolist(), s["status"].tolist(), s["error"].tolist()))))
    """, memory=1536 * 2**20)
    assert child.returncode == 0, child.stderr
    assert eval(child.stdout) == [(f"{archive}/good.pdb", "ok", ""),
                                  (str(archive), "error", "tar: the archive ends inside the data of big.pdb"),
                                  (str(SOURCES[1]), "ok", "")]


def test_a_member_that_exhausts_memory_is_its_own_error_row(tmp_path):
    """A real member of 1.2 GB (zeros, compressed) under a 1 GB address-space limit."""
    archive = tmp_path / "zeros.tar.gz"
    size = 1200 * 2**20
    info = tarfile.TarInfo("zeros.pdb")
    info.size = size
    packer = zlib.compressobj(1, zlib.DEFLATED, 31)
    piece = bytes(1 << 20)
    with open(archive, "wb") as out:
        out.write(packer.compress(info.tobuf(format=tarfile.GNU_FORMAT)))
        for _ in range(size // len(piece)):
            out.write(packer.compress(piece))
        out.write(packer.compress(make_tar([("after.pdb", SOURCES[0].read_bytes())])))
        out.write(packer.flush())
    child = run_child(f"""
        import tarnix_tools
        s = tarnix_tools.annotate([{str(archive)!r}, {str(SOURCES[1])!r}], threads=1).structures.columns
        print(repr(list(zip(s["name"].tolist(), s["status"].tolist(), s["error"].tolist()))))
    """, timeout=120, memory=2**30)
    assert child.returncode == 0, child.stderr
    assert eval(child.stdout) == [(f"{archive}/zeros.pdb", "error", "out of memory while reading this input"),
                                  (f"{archive}/after.pdb", "ok", ""), (str(SOURCES[1]), "ok", "")]


def test_a_file_swapped_for_a_fifo_after_the_walk_is_an_error_row(tmp_path):
    top = tmp_path / "walk"
    top.mkdir()
    for name in ("a.pdb", "b.pdb", "c.pdb"):
        (top / name).write_bytes(SOURCES[0].read_bytes())
    child = run_child(f"""
        import os
        import tarnix_tools
        from tarnix_tools import _inputs
        walk = _inputs._walk

        def swapped(root):
            found = walk(root)
            os.remove({str(top / "b.pdb")!r})
            os.mkfifo({str(top / "b.pdb")!r})
            return found

        _inputs._walk = swapped
        s = tarnix_tools.annotate({str(top)!r}).structures.columns
        print(repr(list(zip(s["name"].tolist(), s["error"].tolist()))))
    """, timeout=30)
    assert child.returncode == 0, child.stderr
    assert eval(child.stdout) == [(f"{top}/a.pdb", ""), (f"{top}/b.pdb", "not a regular file"),
                                  (f"{top}/c.pdb", "")]


def test_an_archive_swapped_for_a_fifo_is_not_split(tmp_path):
    fifo = tmp_path / "x.tar"
    os.mkfifo(fifo)
    child = run_child(f"""
        from tarnix_tools import _inputs
        print(_inputs.tar_member_starts({bytes(fifo)!r}))
    """, timeout=30)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == "[]"


def test_a_thousand_links_in_a_compressed_archive_cost_one_more_pass(tmp_path, monkeypatch):
    filler = os.urandom(4 * 2**20)
    target = SOURCES[0].read_bytes()
    links = [(f"l/{k:04d}.pdb", tarfile.LNKTYPE if k % 2 else tarfile.SYMTYPE, "../a.pdb" if k % 2 == 0 else "a.pdb")
             for k in range(1000)]
    archive = tmp_path / "links.tar.gz"
    archive.write_bytes(make_tar([("filler.bin", filler), ("a.pdb", target), *links], compress=True))
    opened = []
    open_stream = _tar.open_stream

    def counted(raw):
        opened.append(raw)
        return open_stream(raw)

    monkeypatch.setattr(_tar, "open_stream", counted)
    got = results(tarnix_tools.annotate(archive, sasa=False, threads=2))
    assert len(opened) == 2  # the archive's members, then its links
    expected = assigned(target, tmp_path)
    assert list(got) == [f"{archive}/a.pdb", *(f"{archive}/{name}" for name, *_ in links)]
    assert all(row[:3] == expected[:3] for row in got.values())


@pytest.mark.parametrize("compress", [False, True], ids=["tar", "tar.gz"])
def test_a_link_reads_the_member_of_its_name_before_it(tmp_path, compress):
    """Two members of one name: a hard link names the one before it; a symbolic link to a member
    further on, reached through a link whose name is no structure's, the last one."""
    first, second, third = (s.read_bytes() for s in SOURCES)
    archive = tmp_path / ("twice.tar.gz" if compress else "twice.tar")
    archive.write_bytes(make_tar([
        ("d/a.pdb", first), ("h1.pdb", tarfile.LNKTYPE, "d/a.pdb"), ("d/a.pdb", second),
        ("h2.pdb", tarfile.LNKTYPE, "d/a.pdb"), ("ahead.pdb", tarfile.SYMTYPE, "d/current"),
        ("d/current", tarfile.SYMTYPE, "later.pdb"), ("d/later.pdb", third)], compress))
    got = {name.rsplit(archive.name + "/", 1)[1]: row for name, row in results(tarnix_tools.annotate(archive)).items()}
    assert got == {"d/a.pdb": assigned(second, tmp_path), "h1.pdb": assigned(first, tmp_path),
                   "h2.pdb": assigned(second, tmp_path), "ahead.pdb": assigned(third, tmp_path),
                   "d/later.pdb": assigned(third, tmp_path)}


def test_links_in_a_compressed_archive_from_a_pipe_are_error_rows(tmp_path):
    fifo = tmp_path / "piped.tar.gz"
    os.mkfifo(fifo)
    data = make_tar([("a.pdb", SOURCES[0].read_bytes()), ("b.pdb", tarfile.LNKTYPE, "a.pdb")], compress=True)
    child = run_child(f"""
        import threading
        import tarnix_tools
        threading.Thread(target=lambda: open({str(fifo)!r}, "wb").write({data!r})).start()
        s = tarnix_tools.annotate({str(fifo)!r}).structures.columns
        print(repr(list(zip(s["name"].tolist(), s["error"].tolist()))))
    """, timeout=30)
    assert child.returncode == 0, child.stderr
    assert eval(child.stdout) == [(f"{fifo}/a.pdb", ""),
                                  (f"{fifo}/b.pdb", "tar: a link cannot be followed in an archive read from a pipe")]


def test_a_part_of_an_archive_replaced_since_it_was_split_reads_none_of_it(tmp_path):
    contents = [s.read_bytes() for s in SOURCES]
    archive = tmp_path / "split.tar"
    archive.write_bytes(make_tar([(f"m{k:02d}.pdb", contents[k % 3]) for k in range(12)]))
    path = bytes(archive)
    parts = _inputs.split_tar(path, _inputs.tar_member_starts(path), 4)
    assert [item.name for item in _inputs.stream_tar(path, 1 << 20, parts[1])] == [
        f"{archive}/m{k:02d}.pdb" for k in range(4, 8)]
    (tmp_path / "next").write_bytes(make_tar([("pad.txt", b"x" * 700)]
                                             + [(f"m{k:02d}.pdb", contents[k % 2]) for k in range(12)]))
    os.replace(tmp_path / "next", archive)
    assert [(item.name, item.failure) for item in _inputs.stream_tar(path, 1 << 20, parts[1])] == [
        (str(archive), "tar: the archive changed since it was split into parts")]
