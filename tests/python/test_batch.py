import shutil
import subprocess
import sys
import textwrap

import pytest

import tarnix
from conftest import residue_fields


def snapshot(result):
    if result is None:
        return None
    residues = [residue_fields(r) for r in result.residues]
    return (result.sequence, result.sequence_c3, result.aa_sequence, result.structure_id, residues)


@pytest.fixture
def mixed_paths(data_dir, tmp_path):
    empty = tmp_path / "empty.pdb"
    empty.write_text("")
    renamed = tmp_path / "ubiquitin.MMCIF"
    shutil.copy(data_dir / "1ubq.cif", renamed)
    return [
        str(data_dir / "1ubq.pdb"),
        str(tmp_path / "missing.pdb"),
        str(data_dir / "1aki.cif"),
        str(empty),
        str(tmp_path),
        str(renamed),
        str(data_dir / "1ubq.pdb"),
        str(data_dir / "1ake.cif.gz"),
    ]


@pytest.mark.parametrize("calculate_sasa", [True, False])
def test_batch_equals_assign_in_input_order(mixed_paths, calculate_sasa):
    results = tarnix.assign_batch(mixed_paths, 2, calculate_sasa)
    assert [r is None for r in results] == [False, True, False, True, True, False, False, True]
    for path, result in zip(mixed_paths, results):
        if result is not None:
            assert snapshot(result) == snapshot(tarnix.assign(path, calculate_sasa))
    assert results[0] is not results[6]
    # a valid mmCIF file named .mmcif is read as mmCIF, as assign reads it
    assert results[5].residue_count == 76


def test_batch_accepts_tuples_and_empty_lists(data_dir):
    assert tarnix.assign_batch([]) == []
    (result,) = tarnix.assign_batch((str(data_dir / "1aki.pdb"),), calculate_sasa=False)
    assert snapshot(result) == snapshot(tarnix.assign(str(data_dir / "1aki.pdb"), False))


def run_python(script, timeout=120):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True, text=True,
                          timeout=timeout)


THREADS = "import os\ndef threads():\n    return len(os.listdir('/proc/self/task'))\n"


def test_first_nonzero_request_fixes_the_pool_size(data_dir):
    out = run_python(THREADS + f"""
import tarnix
path = {str(data_dir / "1aki.pdb")!r}
base = threads()
tarnix.assign_batch([path] * 4, 2)
print(threads() - base)
tarnix.assign_batch([path] * 4, 8)
print(threads() - base)
""")
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["2", "2"]


def test_default_pool_follows_the_affinity_set_and_keeps_its_size(data_dir):
    out = run_python(THREADS + f"""
import tarnix
os.sched_setaffinity(0, {{min(os.sched_getaffinity(0))}})
path = {str(data_dir / "1aki.pdb")!r}
base = threads()
tarnix.assign_batch([path] * 3)
print(threads() - base)
tarnix.assign_batch([path] * 3, 2)
print(threads() - base)
""")
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["1", "1"]


def test_absurd_thread_request_is_bounded_and_exit_is_clean():
    out = run_python(THREADS + """
import tarnix
base = threads()
assert tarnix.assign_batch([], 10**9) == []
print(threads() - base)
""")
    assert out.returncode == 0, out.stderr
    assert int(out.stdout) == 256


def test_forked_child_gets_a_working_pool(data_dir):
    out = run_python(f"""
import os, tarnix
path = {str(data_dir / "1aki.pdb")!r}
parent = tarnix.assign_batch([path] * 3, 2)
pid = os.fork()
if pid == 0:
    child = tarnix.assign_batch([path] * 3)
    os._exit(0 if [r.sequence for r in child] == [r.sequence for r in parent] else 1)
_, status = os.waitpid(pid, 0)
print(os.waitstatus_to_exitcode(status))
""", timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "0"
