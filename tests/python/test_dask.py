"""annotate_to_parquet on a local Dask cluster: the datasets equal a serial annotate, also when a
worker process dies in the middle of the run."""
import os
import subprocess
import sys
import signal
import tarfile
import threading
import time

import numpy as np
import pytest

pytest.importorskip("distributed")
pq = pytest.importorskip("pyarrow.parquet")

import tarnix_tools  # noqa: E402
from tarnix_tools.dask import COMPLETE, MARKER, RefusedRun, annotate_to_parquet, list_inputs  # noqa: E402


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as connected:
        yield connected


@pytest.fixture(scope="module")
def inputs(data_dir):
    files = sorted(str(p) for p in data_dir.iterdir() if p.suffix in {".pdb", ".cif", ".gz"}) * 3
    return [*files, str(data_dir / "missing.pdb")]


def read_back(out_dir):
    structures = pq.read_table(out_dir / "structures").to_pandas()
    residues = pq.read_table(out_dir / "residues")
    return structures, residues


def check_against_serial(out_dir, paths, models="first"):
    structures, residues = read_back(out_dir)
    serial = tarnix_tools.annotate(paths, threads=1, models=models)
    expected = serial.structures.columns
    assert structures["name"].tolist() == expected["name"].tolist()  # every input once, in input order
    assert structures["model"].tolist() == expected["model"].tolist()
    assert structures["error"].tolist() == expected["error"].tolist()
    assert residues.column("name").to_pylist() == expected["name"][serial.residues.columns["input"]].tolist()
    for name, values in serial.residues.columns.items():
        if name != "input":
            column = residues.column(name).to_numpy(zero_copy_only=False)
            assert np.array_equal(column.astype(values.dtype), values, equal_nan=values.dtype.kind == "f"), name


def test_cluster_run_equals_serial_annotate(client, inputs, tmp_path):
    summary = annotate_to_parquet(inputs, tmp_path, client=client, files_per_task=4)
    paths = list(list_inputs(inputs))
    structures, residues = read_back(tmp_path)
    assert summary.inputs == len(paths) == len(structures) >= 30
    assert summary.failed == int((structures["status"] == "error").sum()) >= 1
    assert summary.no_protein == int((structures["status"] == "no_protein").sum()) >= 1
    assert summary.residues == int(structures["residue_count"].sum())
    check_against_serial(tmp_path, paths)
    # (part, input) joins the datasets; input alone repeats from part to part
    key = structures.set_index(["part", "input"])["name"]
    parts, rows = residues.column("part").to_pylist(), residues.column("input").to_pylist()
    assert [key[(p, i)] for p, i in zip(parts, rows)] == residues.column("name").to_pylist()
    assert structures["input"].max() < 4 < len(structures)
    # undefined values are null in both datasets
    for dataset, column in (("residues", "phi"), ("residues", "rsa"), ("structures", "helix_fraction")):
        read = pq.read_table(tmp_path / dataset, columns=[column]).column(column)
        assert read.null_count > 0 and not np.isnan(read.drop_null().to_numpy()).any(), column


def test_every_worker_thread_gets_a_task(client, data_dir, tmp_path):
    paths = [str(data_dir / "1ubq.pdb")] * 3
    annotate_to_parquet(paths, tmp_path, client=client)  # 500 files per task would be one task
    assert sorted(os.listdir(tmp_path / "structures")) == ["part.000000.parquet", "part.000001.parquet"]


@pytest.mark.parametrize("case", ["user_file", "user_structures", "previous", "previous_plus_user_file",
                                  "local0", "file_as_out_dir"])
def test_out_dir_that_is_not_ours_is_refused(data_dir, tmp_path, case):
    out = tmp_path / "proj"
    out.mkdir()
    if case == "user_file":
        (out / "notes.txt").write_text("mine")
    elif case == "user_structures":  # the command that used to delete the user's structures
        (out / "structures").mkdir()
        (out / "structures" / "1ubq.pdb").write_bytes((data_dir / "1ubq.pdb").read_bytes())
    elif case.startswith("previous"):
        (out / MARKER).write_text("")
        (out / COMPLETE).write_text("")
        for dataset in ("structures", "residues"):
            (out / dataset).mkdir()
            (out / dataset / "part.000000.parquet").write_bytes(b"old")
        if case == "previous_plus_user_file":
            (out / "residues" / "mine.csv").write_text("mine")
    elif case == "file_as_out_dir":
        out.rmdir()
        out.write_text("mine")
    before = {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()}
    replace = case != "previous"  # asking to replace never reaches files that are not ours
    client = "local:0" if case == "local0" else None
    with pytest.raises(RefusedRun, match="local:N|previous dataset|not a dataset|not a folder"):
        annotate_to_parquet([str(data_dir / "1ubq.pdb")], out, client=client, replace=replace)
    assert {p: p.read_bytes() for p in tmp_path.rglob("*") if p.is_file()} == before


def test_replace_removes_only_the_previous_dataset(client, data_dir, tmp_path):
    paths = [str(data_dir / "1ubq.pdb"), str(data_dir / "1ajj.pdb")] * 3
    annotate_to_parquet(paths, tmp_path, client=client, files_per_task=1)
    assert len(os.listdir(tmp_path / "residues")) == 6
    annotate_to_parquet(paths[:1], tmp_path, client=client, replace=True)
    assert sorted(os.listdir(tmp_path)) == sorted([COMPLETE, MARKER, "residues", "structures"])
    structures, residues = read_back(tmp_path)
    assert structures["name"].tolist() == paths[:1] and residues.num_rows == 76


def test_every_model_on_a_cluster(client, data_dir, tmp_path):
    paths = [str(data_dir / name) for name in ("1d3z.pdb", "1ubq.pdb", "2juy_crlf.pdb", "1ake.cif")]
    annotate_to_parquet(paths, tmp_path, client=client, files_per_task=2, models="all")
    structures, _ = read_back(tmp_path)
    assert structures["model"].tolist()[:11] == list(range(1, 11)) + [1]
    check_against_serial(tmp_path, paths, models="all")


def test_a_killed_worker_loses_no_input(client, inputs, tmp_path):
    paths = list(list_inputs(inputs)) * 3
    done = threading.Event()
    errors = []

    def run():
        try:
            annotate_to_parquet(paths, tmp_path, client=client, files_per_task=2)
        except Exception as error:  # pragma: no cover - reported below
            errors.append(error)
        done.set()

    worker = threading.Thread(target=run)
    worker.start()
    residues = tmp_path / "residues"
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not (residues.is_dir() and any(residues.iterdir())):
        time.sleep(0.05)
    victim = next(iter(client.run(os.getpid).values()))
    os.kill(victim, signal.SIGKILL)
    worker.join(timeout=180)
    assert done.is_set() and not errors
    check_against_serial(tmp_path, paths)


def test_command_line_runs_on_a_local_cluster(data_dir, tmp_path):
    missing = tmp_path / "missing.pdb"
    done = subprocess.run([sys.executable, "-m", "tarnix_tools", "annotate", str(data_dir / "1ubq.pdb"), str(missing),
                           "-o", str(tmp_path / "out"), "--scheduler", "local:2", "-q"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 1
    assert f"{missing}: No such file or directory (os error 2)" in done.stderr.splitlines()
    structures, residues = read_back(tmp_path / "out")
    assert structures["status"].tolist() == ["ok", "error"] and residues.num_rows == 76
    again = subprocess.run([sys.executable, "-m", "tarnix_tools", "annotate", str(data_dir / "1ubq.pdb"),
                            "-o", str(tmp_path / "out"), "--scheduler", "local:1"],
                           capture_output=True, text=True, timeout=300)
    assert again.returncode == 2 and "--replace" in again.stderr and len(again.stderr.splitlines()) == 1


def write_archive(path, files, mode, link=False):
    """An archive of `files` under a name long enough to need an extended header, with a folder
    and a text file among them, and a hard link to the first when asked."""
    with tarfile.open(path, mode) as archive:
        archive.add(files[0].parent, arcname="folder", recursive=False)
        for i, source in enumerate(files):
            archive.add(source, arcname=f"{'deep/' * 30}{i:03d}_{source.name}")
            if i == 4:
                archive.add(files[0].parent / "README.md", arcname="README.md")
        if link:
            member = tarfile.TarInfo("zz_link.pdb")
            member.type, member.linkname = tarfile.LNKTYPE, f"{'deep/' * 30}000_{files[0].name}"
            archive.addfile(member)
    return path


@pytest.mark.parametrize("kind, mode, link, parts", [("plain", "w", False, 4), ("gzipped", "w:gz", False, 1),
                                                     ("linked", "w", True, 1)])
def test_a_large_plain_archive_spreads_over_tasks(client, data_dir, tmp_path, kind, mode, link, parts):
    files = sorted(p for p in data_dir.iterdir() if p.suffix in {".pdb", ".cif", ".gz"})[:11]
    archive = write_archive(tmp_path / f"set.{kind}.tar", files, mode, link)
    out = tmp_path / "out"
    summary = annotate_to_parquet([str(archive), str(data_dir / "1ubq.pdb")], out, client=client, files_per_task=3)
    written = sorted(os.listdir(out / "structures"))
    assert len(written) == parts + 1, written  # the archive's parts, then the file
    structures, residues = read_back(out)
    assert summary.inputs == len(structures) == len(files) + 1 + link
    check_against_serial(out, [str(archive), str(data_dir / "1ubq.pdb")])
    key = structures.set_index(["part", "input"])["name"]
    pairs = zip(residues.column("part").to_pylist(), residues.column("input").to_pylist())
    assert [key[pair] for pair in pairs] == residues.column("name").to_pylist()
