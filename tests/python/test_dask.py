"""annotate_to_parquet on a local Dask cluster: the datasets equal a serial annotate, also when a
worker process dies in the middle of the run."""
import os
import subprocess
import sys
import signal
import threading
import time

import numpy as np
import pytest

pytest.importorskip("distributed")
pq = pytest.importorskip("pyarrow.parquet")

import tarnix_tools  # noqa: E402
from tarnix_tools.dask import annotate_to_parquet, list_inputs  # noqa: E402


@pytest.fixture(scope="module")
def client():
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as connected:
        yield connected


@pytest.fixture(scope="module")
def inputs(data_dir, tmp_path_factory):
    files = sorted(str(p) for p in data_dir.iterdir() if p.suffix in {".pdb", ".cif", ".gz"}) * 3
    listing = tmp_path_factory.mktemp("list") / "inputs.txt"
    listing.write_text("\n".join(files[10:] + [str(data_dir / "missing.pdb")]) + "\n")
    return files[:10] + [str(listing)]


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
    structures, _ = read_back(tmp_path)
    assert summary.inputs == len(paths) == len(structures) >= 30
    assert summary.failed == int((structures["status"] == "error").sum()) >= 1
    assert summary.residues == int(structures["residue_count"].sum())
    check_against_serial(tmp_path, paths)


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
