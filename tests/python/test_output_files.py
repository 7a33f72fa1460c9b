"""What the command line does to the files it writes: devices, FIFOs and links written through or
resolved, never replaced; no input it opens (named, walked or a topology) overwritten; every file,
pictures included, placed whole or not at all, with status 3 and one line when that fails."""
import contextlib
import csv
import io
import os
import pathlib
import resource
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest

import tarnix

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
SMALL, UBIQUITIN, ENSEMBLE = DATA / "1ajj.pdb", DATA / "1ubq.pdb", DATA / "1d3z.pdb"
COMMAND = [sys.executable, "-m", "tarnix_tools"]
ROOT = os.geteuid() == 0


def tarnix_cli(*args, **options):
    options.setdefault("timeout", 120)
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, **options)


def one_line(run):
    lines = run.stderr.decode().splitlines()
    assert len(lines) == 1 and "Traceback" not in lines[0], lines
    return lines[0]


def residue_rows(text):
    return list(csv.DictReader(io.StringIO(text), delimiter="\t"))


def check_table(text, path=SMALL):
    """The rows are those of `path`, as tarnix.assign reads it."""
    rows = residue_rows(text)
    assert [(r["chain_id"], int(r["seq_id"]), r["structure"]) for r in rows] == \
        [(e.chain_id, e.seq_id, e.structure) for e in tarnix.assign(str(path)).residues]


def char_device(folder, name, minor):
    """A character device: a node of its own where we may make one (as the faulty code would have
    replaced it), else the system's (1, 3 is null, 1, 7 full)."""
    if ROOT:
        path = folder / name
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, minor))
        return path
    return pathlib.Path({3: "/dev/null", 7: "/dev/full"}[minor])


@contextlib.contextmanager
def fifo_reader(path):
    """A FIFO at `path` and a thread reading all it is sent."""
    os.mkfifo(path)
    received = []
    reader = threading.Thread(target=lambda: received.append(path.read_bytes()), daemon=True)
    reader.start()
    yield received
    reader.join(timeout=60)


@pytest.mark.parametrize("option", ["-o", "--errors"])
@pytest.mark.parametrize("kind", ["device", "fifo", "link"])
def test_a_device_fifo_or_link_is_written_through_not_replaced(tmp_path, option, kind):
    missing = tmp_path / "missing.pdb"
    args = [SMALL, missing, "--format", "tsv", "-q"]
    other = ["--errors", tmp_path / "errors.txt"] if option == "-o" else ["-o", tmp_path / "rows.tsv"]
    expected_rows = f"{missing}\tNo such file or directory (os error 2)\n"

    def written(received):
        if option == "-o":
            check_table(received.decode())
        else:
            assert received.decode() == expected_rows

    if kind == "device":
        device = char_device(tmp_path, "null", 3)
        run = tarnix_cli("annotate", *args, option, device, *other)
        assert run.returncode == 1, run.stderr
        assert stat.S_ISCHR(os.stat(device).st_mode) and os.stat(device).st_rdev == os.makedev(1, 3)
    elif kind == "fifo":
        with fifo_reader(tmp_path / "pipe") as received:
            run = tarnix_cli("annotate", *args, option, tmp_path / "pipe", *other)
        assert run.returncode == 1, run.stderr
        assert stat.S_ISFIFO(os.lstat(tmp_path / "pipe").st_mode)
        written(received[0])
    else:
        target = tmp_path / "kept" / "target.txt"
        target.parent.mkdir()
        target.write_bytes(b"old")
        target.chmod(0o600)
        link = tmp_path / "link.txt"
        link.symlink_to(target)
        run = tarnix_cli("annotate", *args, option, link, *other)
        assert run.returncode == 1, run.stderr
        assert link.is_symlink() and os.readlink(link) == str(target)
        assert stat.S_IMODE(target.stat().st_mode) == 0o600
        assert os.listdir(target.parent) == ["target.txt"]
        written(target.read_bytes())


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o604])
def test_a_replaced_file_keeps_its_permissions(tmp_path, mode):
    out = tmp_path / "rows.tsv"
    out.write_bytes(b"old")
    out.chmod(mode)
    assert tarnix_cli("annotate", SMALL, "-o", out, "-q").returncode == 0
    assert stat.S_IMODE(out.stat().st_mode) == mode
    check_table(out.read_text())


@pytest.mark.parametrize("option", ["-o", "--errors"])
@pytest.mark.parametrize("walked", ["link", "hard_link"])
def test_a_file_found_by_a_walk_is_never_overwritten(tmp_path, option, walked):
    data = tmp_path / "data"
    data.mkdir()
    precious = data / "p.pdb"
    precious.write_bytes(SMALL.read_bytes())
    walked_folder = tmp_path / "in"
    walked_folder.mkdir()
    (walked_folder / "0.pdb").write_bytes(UBIQUITIN.read_bytes())  # read before the clash is met
    if walked == "link":
        (walked_folder / "a.pdb").symlink_to(os.path.relpath(precious, walked_folder))
    else:
        os.link(precious, walked_folder / "a.pdb")
    run = tarnix_cli("annotate", walked_folder, "--format", "tsv", option, precious, "-q")
    assert run.returncode == 2
    assert f"{option} {precious} is one of the inputs ({walked_folder / 'a.pdb'})" in one_line(run)
    assert precious.read_bytes() == SMALL.read_bytes() and os.listdir(data) == ["p.pdb"]


@pytest.mark.parametrize("case", ["frames_topology", "frames_trajectory", "plot_topology"])
def test_frames_and_plots_never_overwrite_what_they_read(tmp_path, case):
    pytest.importorskip("chemfiles")
    trajectory, topology = tmp_path / "md.pdb", tmp_path / "top.pdb"
    trajectory.write_bytes(ENSEMBLE.read_bytes())
    topology.write_bytes(UBIQUITIN.read_bytes())
    if case == "plot_topology":
        pytest.importorskip("matplotlib")
        topology = tmp_path / "top.png"  # a topology named like a picture
        topology.write_bytes(UBIQUITIN.read_bytes())
    args, clash = {
        "frames_topology": (["frames", trajectory, "--topology", topology, "-o", topology, "--format", "tsv"],
                            "the topology"),
        "frames_trajectory": (["frames", trajectory, "-o", trajectory, "--format", "csv"], "the trajectory"),
        "plot_topology": (["plot", trajectory, "--topology", topology, "-o", topology], "the topology"),
    }[case]
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    run = tarnix_cli(*args)
    assert run.returncode == 2 and clash in one_line(run)
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (8000, 8000))


@pytest.mark.parametrize("kind", ["structure", "ensemble"])
def test_a_picture_that_cannot_be_written_leaves_the_old_one(tmp_path, kind):
    pytest.importorskip("matplotlib")
    picture = tmp_path / "pic.png"
    picture.write_bytes(b"the old picture")
    args = [SMALL] if kind == "structure" else [ENSEMBLE, "--models", "all"]
    run = tarnix_cli("plot", *args, "-o", picture, preexec_fn=limit_file_size)
    assert run.returncode == 3
    assert one_line(run) == f"tarnix: cannot write {picture}: File too large"
    assert picture.read_bytes() == b"the old picture" and os.listdir(tmp_path) == ["pic.png"]
    assert tarnix_cli("plot", *args, "-o", picture).returncode == 0
    assert picture.read_bytes().startswith(b"\x89PNG")


def open_files_in(folder, pid):
    """The files process `pid` has open in `folder` (an unnamed one shows as '#inode (deleted)')."""
    found = []
    for fd in os.listdir(f"/proc/{pid}/fd"):
        with contextlib.suppress(OSError):
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
            if os.path.dirname(target) == str(folder):
                found.append(target)
    return found


def wait_for(condition, process, what):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and process.poll() is None:
        if condition():
            return
        time.sleep(0.02)
    raise AssertionError(f"never saw {what}")


def system_tool(name):
    """The system's `name` command, also when PATH holds only a virtual environment (the wheel's test)."""
    return shutil.which(name) or shutil.which(name, path="/usr/sbin:/usr/bin:/sbin:/bin")


def make_read_only(folder, read_only):
    """No entry can be made in or removed from `folder` any more (for root too: immutable)."""
    if ROOT:
        flag = "+i" if read_only else "-i"
        chattr = system_tool("chattr")
        if chattr is None:
            pytest.skip("no chattr to make a folder immutable")
        if subprocess.run([chattr, flag, str(folder)], capture_output=True, timeout=30).returncode != 0:
            pytest.skip("cannot make a folder immutable here")
    else:
        folder.chmod(0o555 if read_only else 0o755)


@pytest.mark.parametrize("existing", [True, False])
def test_a_folder_made_read_only_at_the_end_leaves_nothing(tmp_path, existing):
    """The inputs come through a FIFO list, so that the folder can be made read-only while the run
    has its output open, before it places it."""
    folder = tmp_path / "out"
    folder.mkdir()
    out = folder / "rows.tsv"
    if existing:
        out.write_bytes(b"the user's file")
    listing = tmp_path / "list.fifo"
    os.mkfifo(listing)
    process = subprocess.Popen([*COMMAND, "annotate", "--from-list", str(listing), "-o", str(out), "-q"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        with open(listing, "w") as feed:
            wait_for(lambda: open_files_in(folder, process.pid), process, "the output being written")
            make_read_only(folder, True)
            feed.write(f"{SMALL}\n")
        _, stderr = process.communicate(timeout=60)
    finally:
        process.kill()
        make_read_only(folder, False)
    assert process.returncode == 3, stderr
    lines = stderr.decode().splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"tarnix: cannot write {out}: "), lines
    assert os.listdir(folder) == (["rows.tsv"] if existing else [])
    if existing:
        assert out.read_bytes() == b"the user's file"


@contextlib.contextmanager
def full_disk(tmp_path):
    """A tiny file system with no space left (root mounts one), else the full device."""
    if not ROOT:
        yield pathlib.Path("/dev/full")
        return
    mount = tmp_path / "full"
    mount.mkdir()
    mount_tool, umount_tool = system_tool("mount"), system_tool("umount")
    if mount_tool is None or umount_tool is None or subprocess.run(
            [mount_tool, "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount)], capture_output=True,
            timeout=30).returncode != 0:
        yield char_device(tmp_path, "full_device", 7)
        return
    try:
        with contextlib.suppress(OSError), open(mount / "filler", "wb") as filler:
            while True:
                filler.write(b"\0" * 4096)
                filler.flush()
        yield mount / "errors.txt"
    finally:
        subprocess.run([umount_tool, str(mount)], timeout=30)


@pytest.mark.parametrize("existing", [True, False])
def test_errors_on_a_full_disk_leave_the_output_unplaced(tmp_path, existing):
    out = tmp_path / "rows.tsv"
    if existing:
        out.write_bytes(b"the user's file")
    with full_disk(tmp_path) as errors:
        run = tarnix_cli("annotate", SMALL, tmp_path / "missing.pdb", "-o", out, "--errors", errors, "-q")
        assert run.returncode == 3
        assert one_line(run).startswith(f"tarnix: cannot write {errors}: No space left on device")
        if errors.parent.name == "full":
            assert os.listdir(errors.parent) == ["filler"]
    assert [p for p in os.listdir(tmp_path) if not p.startswith("full")] == (["rows.tsv"] if existing else [])
    if existing:
        assert out.read_bytes() == b"the user's file"


def waiting_on_a_fifo(pid):
    with open(f"/proc/{pid}/wchan") as wchan:
        return wchan.read() == "wait_for_partner"


def default_interrupts():
    signal.signal(signal.SIGINT, signal.SIG_DFL)  # a shell's background job would ignore Ctrl-C


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
def test_a_stop_while_waiting_on_a_fifo_trajectory_is_an_interrupt(tmp_path, stop):
    pytest.importorskip("chemfiles")
    trajectory = tmp_path / "md.xtc"
    os.mkfifo(trajectory)
    process = subprocess.Popen([*COMMAND, "frames", str(trajectory), "--topology", str(UBIQUITIN)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=default_interrupts)
    wait_for(lambda: waiting_on_a_fifo(process.pid), process, "the wait on the FIFO")
    process.send_signal(stop)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130 and stderr.decode().splitlines() == ["tarnix: interrupted"], stderr


def test_an_unknown_scheduler_is_refused_before_anything_is_made(tmp_path):
    pytest.importorskip("distributed")
    run = tarnix_cli("annotate", SMALL, "-o", tmp_path / "out", "--scheduler", "nonsense")
    assert run.returncode == 2 and "cannot reach the scheduler 'nonsense'" in one_line(run)
    assert os.listdir(tmp_path) == []


def test_a_dataset_is_marked_complete_only_at_its_end(tmp_path):
    """Stopped by SIGTERM, a cluster run leaves no mark of completion; a rerun is refused as
    unfinished unless asked to replace it, which clears it and marks the new dataset complete."""
    pytest.importorskip("distributed")
    pq = pytest.importorskip("pyarrow.parquet")
    from tarnix_tools.dask import COMPLETE, MARKER, RefusedRun, annotate_to_parquet

    out = tmp_path / "out"
    listing = tmp_path / "list.txt"
    listing.write_text(f"{UBIQUITIN}\n" * 2000)
    process = subprocess.Popen([*COMMAND, "annotate", "--from-list", str(listing), "-o", str(out),
                                "--scheduler", "local:1", "--files-per-task", "4", "-q"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for(lambda: (out / "residues").is_dir() and any((out / "residues").iterdir()), process,
             "a part file")
    process.send_signal(signal.SIGTERM)
    _, stderr = process.communicate(timeout=120)
    assert process.returncode == 130 and "tarnix: interrupted" in stderr.decode().splitlines()
    assert COMPLETE not in os.listdir(out) and any((out / "residues").iterdir())
    rerun = tarnix_cli("annotate", SMALL, "-o", out, "--scheduler", "local:1")
    assert rerun.returncode == 2 and f"an unfinished dataset (no {COMPLETE})" in one_line(rerun)
    with pytest.raises(RefusedRun, match="unfinished"):
        annotate_to_parquet([str(SMALL)], out)
    summary = annotate_to_parquet([str(SMALL), str(UBIQUITIN)], out, replace=True)
    assert sorted(os.listdir(out)) == sorted([COMPLETE, MARKER, "residues", "structures"])
    assert pq.read_table(out / "structures").column("name").to_pylist() == [str(SMALL), str(UBIQUITIN)]
    assert summary.residues == pq.read_table(out / "residues").num_rows == \
        tarnix.assign(str(SMALL)).residue_count + tarnix.assign(str(UBIQUITIN)).residue_count
    with pytest.raises(RefusedRun, match="holds a previous dataset"):
        annotate_to_parquet([str(SMALL)], out)


def test_a_marked_folder_without_a_dataset_takes_a_new_run(tmp_path):
    """What a run stopped before its first file left behind holds nothing to lose."""
    pytest.importorskip("distributed")
    pytest.importorskip("pyarrow")
    from tarnix_tools.dask import COMPLETE, MARKER, annotate_to_parquet

    for name in ("structures", "residues"):
        (tmp_path / name).mkdir()
    (tmp_path / MARKER).write_text("")
    annotate_to_parquet([str(SMALL)], tmp_path)
    assert COMPLETE in os.listdir(tmp_path)


def test_dev_stdout_into_a_log_is_appended_to_not_replaced(tmp_path):
    log = tmp_path / "log.txt"
    log.write_text("before\n")
    with open(log, "a") as stdout:
        run = subprocess.run([*COMMAND, "annotate", SMALL, "-q", "-o", "/dev/stdout", "--format", "tsv"], stdout=stdout,
                             stderr=subprocess.PIPE, timeout=120)
    assert run.returncode == 0, run.stderr
    text = log.read_text()
    assert text.startswith("before\n") and os.listdir(tmp_path) == ["log.txt"]
    check_table(text[len("before\n"):])
