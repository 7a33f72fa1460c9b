"""Damaged archives, unreadable or odd directory entries and oversized inputs: each given input ends
as rows (the members read before a fault, then an error row), nothing blocks, memory stays bounded.
Faults that show as a hang or a memory blow-up run in a child with a time and address-space limit."""
import gzip
import io
import os
import pathlib
import resource
import shutil
import socket
import subprocess
import sys
import tarfile
import textwrap
import threading

import pytest

import tarnix
import tarnix_tools

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
SOURCES = [DATA / "1ajj.pdb", DATA / "1ubq.pdb", DATA / "1aki.pdb"]


def rows(annotation):
    s = annotation.structures.columns
    return list(zip(s["name"].tolist(), s["status"].tolist(), s["error"].tolist(), s["residue_count"].tolist()))


def residue_count(path):
    return len(tarnix.assign(str(path)).residues)


def run_child(code, timeout=60, memory=None, unprivileged=False, stdin=subprocess.DEVNULL):
    """Runs Python code in a child, optionally under an address-space limit, and as a root that
    file permissions bind (no capability to override them)."""
    if memory is not None and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the address sanitizer reserves more address space than the limit allows")

    def limit():
        if memory is not None:
            resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    prefix = ["setpriv", "--bounding-set", "-dac_override,-dac_read_search,-fowner"] if unprivileged else []
    return subprocess.run([*prefix, sys.executable, "-c", textwrap.dedent(code)], stdin=stdin,
                          capture_output=True, text=True, timeout=timeout, preexec_fn=limit)


def twenty_member_tar(path, compress=False):
    """Members m00.pdb .. m19.pdb, cycling through the sources; returns each member's header offset."""
    buffer = io.BytesIO()
    offsets = []
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.USTAR_FORMAT) as archive:
        for k in range(20):
            offsets.append(buffer.tell())
            archive.add(SOURCES[k % 3], arcname=f"m{k:02d}.pdb")
    data = buffer.getvalue()
    path.write_bytes(gzip.compress(data) if compress else data)
    return data, offsets


def damaged(data, offsets, how):
    data = bytearray(data)
    at = offsets[10]
    if how == "zeroed checksum":
        data[at + 148:at + 156] = b"\0" * 8
    elif how == "junk header":
        data[at:at + 512] = b"junk " * 102 + b"ju"
    elif how == "ends before the end blocks":
        return bytes(data[:at])
    elif how == "ends inside a member":
        return bytes(data[:at + 700])
    return bytes(data)


@pytest.mark.parametrize("compress", [False, True], ids=["tar", "tar.gz"])
@pytest.mark.parametrize("how", ["zeroed checksum", "junk header", "ends before the end blocks",
                                 "ends inside a member"])
def test_damage_part_way_gives_the_members_before_it_then_an_error_row(tmp_path, how, compress):
    data, offsets = twenty_member_tar(tmp_path / "plain.tar")
    broken = damaged(data, offsets, how)
    archive = tmp_path / ("archive.tar.gz" if compress else "archive.tar")
    archive.write_bytes(gzip.compress(broken) if compress else broken)
    got = rows(tarnix_tools.annotate(archive))
    assert [r[:3] for r in got[:10]] == [(f"{archive}/m{k:02d}.pdb", "ok", "") for k in range(10)]
    assert [r[3] for r in got[:10]] == [residue_count(SOURCES[k % 3]) for k in range(10)]
    assert len(got) == 11 and got[10][:2] == (str(archive), "error") and got[10][2].startswith("tar: ")


@pytest.mark.parametrize("cut", ["corrupt", "truncated"])
def test_compressed_stream_broken_half_way_ends_in_an_error_row(tmp_path, cut):
    data, _ = twenty_member_tar(tmp_path / "plain.tar")
    packed = bytearray(gzip.compress(data))
    half = len(packed) // 2
    if cut == "corrupt":
        packed[half:half + 64] = bytes(64)
    else:
        del packed[half:]
    archive = tmp_path / "archive.tar.gz"
    archive.write_bytes(bytes(packed))
    got = rows(tarnix_tools.annotate(archive))
    assert 1 <= len(got) < 21
    # zlib notices corruption only some way on (at the latest by the checksum at the end), so the
    # members just before it may be garbage: error rows of their own
    assert [r[0] for r in got[:-1]] == [f"{archive}/m{k:02d}.pdb" for k in range(len(got) - 1)]
    assert got[0][1] == "ok"
    assert got[-1][:2] == (str(archive), "error") and got[-1][2].startswith("tar: ")


def test_truncated_gzip_header_is_one_error_row(tmp_path):
    archive = tmp_path / "x.tar.gz"
    archive.write_bytes(b"\x1f\x8b\x08")
    got = rows(tarnix_tools.annotate([archive, SOURCES[0]]))
    assert [r[:2] for r in got] == [(str(archive), "error"), (str(SOURCES[0]), "ok")]
    assert got[0][2].startswith("tar: ")


@pytest.mark.parametrize("suffix", [".tar.gz", ".tar"])
def test_links_read_their_member_inside_the_archive_only(tmp_path, suffix):
    outside = tmp_path / "outside.pdb"
    outside.write_bytes(SOURCES[1].read_bytes())  # a real structure the links must never read

    def info(name, kind=tarfile.REGTYPE, link=""):
        member = tarfile.TarInfo(name)
        member.type, member.linkname = kind, link
        return member

    archive = tmp_path / f"links{suffix}"
    with tarfile.open(archive, "w:gz" if suffix == ".tar.gz" else "w") as tar:
        content = SOURCES[0].read_bytes()
        member = info("data/a.pdb")
        member.size = len(content)
        tar.addfile(member, io.BytesIO(content))
        # the first link: the members before it are found by reading the archive again
        tar.addfile(info("hard.pdb", tarfile.LNKTYPE, "data/a.pdb"))
        tar.addfile(info("sub/late.pdb", tarfile.SYMTYPE, "../data/later.pdb"))
        tar.addfile(info("data/soft.pdb", tarfile.SYMTYPE, "a.pdb"))
        tar.addfile(info("chain.pdb", tarfile.SYMTYPE, "data/soft.pdb"))
        tar.addfile(info("absolute.pdb", tarfile.SYMTYPE, str(outside)))
        tar.addfile(info("climbing.pdb", tarfile.SYMTYPE, os.path.relpath(outside, tmp_path / "x")))
        tar.addfile(info("hard_out.pdb", tarfile.LNKTYPE, str(outside)))
        tar.addfile(info("missing.pdb", tarfile.SYMTYPE, "nowhere.pdb"))
        tar.addfile(info("loop.pdb", tarfile.SYMTYPE, "loop.pdb"))
        tar.addfile(info("dir.pdb", tarfile.DIRTYPE))
        tar.addfile(info("fifo.pdb", tarfile.FIFOTYPE))
        tar.addfile(info("dev.pdb", tarfile.CHRTYPE))
        other = SOURCES[2].read_bytes()
        member = info("data/later.pdb")
        member.size = len(other)
        tar.addfile(member, io.BytesIO(other))
    got = {name.rsplit(f"{suffix}/", 1)[1]: (status, error, count) for name, status, error, count
           in rows(tarnix_tools.annotate(archive))}
    small, later = residue_count(SOURCES[0]), residue_count(SOURCES[2])
    assert {k: v for k, v in got.items() if v[0] == "ok"} == {
        "data/a.pdb": ("ok", "", small), "hard.pdb": ("ok", "", small), "data/soft.pdb": ("ok", "", small),
        "chain.pdb": ("ok", "", small), "data/later.pdb": ("ok", "", later), "sub/late.pdb": ("ok", "", later)}
    failed = {k: v[1] for k, v in got.items() if v[0] != "ok"}
    assert set(failed) == {"absolute.pdb", "climbing.pdb", "hard_out.pdb", "missing.pdb", "loop.pdb"}
    assert all(e.startswith("tar: ") for e in failed.values())
    assert failed["absolute.pdb"] == failed["hard_out.pdb"] == f"tar: link points outside the archive: {outside}"


def annotate_as_unprivileged(path):
    """(name, status, error) rows of annotate(path) where file permissions apply: running as root
    hides them, so root runs the child without the capabilities that override them."""
    if os.geteuid() != 0:
        return [r[:3] for r in rows(tarnix_tools.annotate(path))]
    if shutil.which("setpriv") is None:
        pytest.skip("setpriv (util-linux) is needed to drop root's permission override")
    child = run_child(f"""
        import tarnix_tools
        s = tarnix_tools.annotate({str(path)!r}).structures.columns
        print(repr(list(zip(s["name"].tolist(), s["status"].tolist(), s["error"].tolist()))))
    """, unprivileged=True)
    if child.returncode != 0 and "setpriv" in child.stderr:
        pytest.skip(f"cannot drop root's permission override here: {child.stderr.strip()}")
    assert child.returncode == 0, child.stderr
    return eval(child.stdout)


def test_unreadable_directories_are_error_rows_naming_them(tmp_path):
    top = tmp_path / "walk"
    for name in ("a/ok.pdb", "b/locked/hidden.pdb", "c.pdb"):
        (top / name).parent.mkdir(parents=True, exist_ok=True)
        (top / name).write_bytes(SOURCES[0].read_bytes())
    os.chmod(top / "b" / "locked", 0o000)
    got = annotate_as_unprivileged(top)
    os.chmod(top / "b" / "locked", 0o700)  # let pytest clean up
    assert got == [
        (f"{top}/a/ok.pdb", "ok", ""),
        (f"{top}/b/locked", "error", "Permission denied (os error 13)"),
        (f"{top}/c.pdb", "ok", "")]
    os.chmod(top, 0o000)
    got = annotate_as_unprivileged(top)
    os.chmod(top, 0o700)
    assert got == [(str(top), "error", "Permission denied (os error 13)")]


def test_a_path_too_long_to_open_is_an_error_row(tmp_path):
    top = tmp_path / "deep"
    top.mkdir()
    (top / "a.pdb").write_bytes(SOURCES[0].read_bytes())
    here = os.open(top, os.O_RDONLY)
    depth = 0
    try:
        while depth * 201 < 4200:  # past PATH_MAX, built relative to an open directory
            os.mkdir("d" * 200, dir_fd=here)
            inner = os.open("d" * 200, os.O_RDONLY, dir_fd=here)
            os.close(here)
            here, depth = inner, depth + 1
    finally:
        os.close(here)
    got = rows(tarnix_tools.annotate(top))
    assert got[0][:2] == (f"{top}/a.pdb", "ok")
    assert len(got) == 2 and got[1][1:3] == ("error", "File name too long (os error 36)")
    assert got[1][0].startswith(f"{top}/{'d' * 200}/") and len(got[1][0]) > 4000


def test_special_files_in_a_walk_are_error_rows_without_blocking(tmp_path):
    top = tmp_path / "walk"
    top.mkdir()
    (top / "a.pdb").write_bytes(SOURCES[0].read_bytes())
    os.mkfifo(top / "fifo.pdb")
    server = socket.socket(socket.AF_UNIX)
    server.bind(str(top / "socket.cif"))
    child = run_child(f"""
        import tarnix_tools
        s = tarnix_tools.annotate({str(top)!r}).structures.columns
        print(repr(list(zip(s["name"].tolist(), s["error"].tolist()))))
    """, timeout=30)
    server.close()
    assert child.returncode == 0, child.stderr
    assert eval(child.stdout) == [(f"{top}/a.pdb", ""), (f"{top}/fifo.pdb", "not a regular file"),
                                  (f"{top}/socket.cif", "not a regular file")]


def test_a_cluster_run_over_a_directory_with_a_fifo_ends(tmp_path):
    pytest.importorskip("distributed")
    top = tmp_path / "walk"
    top.mkdir()
    (top / "a.pdb").write_bytes(SOURCES[0].read_bytes())
    os.mkfifo(top / "fifo.pdb")
    (tmp_path / "empty").mkdir()
    child = run_child(f"""
        import pyarrow.parquet as pq
        from tarnix_tools.dask import annotate_to_parquet
        annotate_to_parquet([{str(top)!r}, {str(tmp_path / "empty")!r}], {str(tmp_path / "out")!r})
        s = pq.read_table({str(tmp_path / "out" / "structures")!r}).to_pydict()
        print(repr(list(zip(s["name"], s["error"]))))
    """, timeout=120)
    assert child.returncode == 0, child.stderr
    assert eval(child.stdout) == [(f"{top}/a.pdb", ""), (f"{top}/fifo.pdb", "not a regular file"),
                                  (str(tmp_path / "empty"), "no structure files in this directory")]


def test_a_fifo_given_explicitly_is_still_read(tmp_path):
    fifo = tmp_path / "given.pdb"
    os.mkfifo(fifo)
    writer = threading.Thread(target=lambda: fifo.write_bytes(SOURCES[0].read_bytes()))
    writer.start()
    got = rows(tarnix_tools.annotate([fifo]))
    writer.join(timeout=30)
    assert got == [(str(fifo), "ok", "", residue_count(SOURCES[0]))]


def test_a_file_over_max_bytes_is_an_error_row_without_being_read(tmp_path):
    huge = tmp_path / "huge.pdb"
    with open(huge, "wb") as f:
        f.truncate(64 * 2**30)  # sparse: reading it would take minutes and a line of 64 GiB
    child = run_child(f"""
        import tarnix_tools
        s = tarnix_tools.annotate([{str(huge)!r}, {str(SOURCES[0])!r}], max_bytes=10**6).structures.columns
        print(repr(list(zip(s["status"].tolist(), s["error"].tolist()))))
    """, timeout=30, memory=3 * 2**30)
    assert child.returncode == 0, child.stderr
    assert eval(child.stdout) == [("error", "input size exceeds max_bytes (1000000)"), ("ok", "")]


def test_an_endless_stream_stops_at_max_bytes(tmp_path):
    with open("/dev/zero", "rb") as zeros:
        child = run_child("""
            import tarnix_tools
            s = tarnix_tools.annotate("/dev/stdin", max_bytes=50 * 2**20).structures.columns
            print(s["error"][0])
        """, timeout=60, memory=3 * 2**30, stdin=zeros)
    assert child.returncode == 0, child.stderr
    assert child.stdout.strip() == f"input size exceeds max_bytes ({50 * 2**20})"


def test_stdin_of_the_command_is_bounded_and_streamed(tmp_path):
    """A stream of zeros on stdin used to be read whole into memory first."""
    with open("/dev/zero", "rb") as zeros:
        child = run_child("""
            import sys
            from tarnix_tools import cli
            cli.iter_annotate.__kwdefaults__["max_bytes"] = 50 * 2**20  # the command has no option for it
            sys.exit(cli.main(["annotate", "-", "--per", "structure", "-q"]))
        """, timeout=60, memory=3 * 2**30, stdin=zeros)
    assert child.returncode == 1, child.stderr
    assert child.stderr.strip() == f"<stdin>: input size exceeds max_bytes ({50 * 2**20})"


@pytest.mark.parametrize("packing", ["bytes", "tar member"])
def test_a_large_input_is_copied_at_most_once(tmp_path, packing):
    size = 300 * 2**20
    code = f"""
        import io, resource, tarfile
        import tarnix_tools
        tarnix_tools.annotate([("warm.pdb", b"REMARK\\n")])
        line = b"REMARK" + b" " * 73 + b"\\n"
        data = line * ({size} // len(line))
        if {packing!r} == "tar member":
            member = tarfile.TarInfo("big.pdb")
            member.size = len(data)
            with tarfile.open({str(tmp_path / "big.tar")!r}, "w") as tar:
                tar.addfile(member, io.BytesIO(data))
            del data
            source = {str(tmp_path / "big.tar")!r}
        else:
            source = [("big.pdb", data)]
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        error = tarnix_tools.annotate(source).structures.columns["error"][0]
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        print(error)
        print((peak - before) / {size})
    """
    child = run_child(code, timeout=120)
    assert child.returncode == 0, child.stderr
    error, growth = child.stdout.split("\n")[:2]
    assert error  # the REMARK lines hold no structure
    # the high-water mark already holds the input once (the bytes, or the tar's making); a second
    # copy on the way to the reader would raise it by the input's size
    assert float(growth) < 0.5
