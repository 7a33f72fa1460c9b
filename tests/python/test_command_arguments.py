"""Malformed numbers and schedulers on the command line are usage errors, and inputs mean the same
with --scheduler as without it."""
import pathlib
import subprocess
import sys

import pytest

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"


def tarnix(*args, timeout=60):
    return subprocess.run([sys.executable, "-m", "tarnix_tools", *map(str, args)], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize("option, value", [
    ("-j", "99999999999999999999"), ("-j", "-1"), ("-j", "two"), ("-j", "100000"),
    ("--ppii", "99999999999999999999999"), ("--ppii", "18446744073709551616"), ("--ppii", "1.5"),
    ("--scheduler", "local:abc"), ("--scheduler", "local:-1"), ("--scheduler", "local:0"),
    ("--scheduler", "local:"), ("--scheduler", "local:99999999999999999999"),
])
def test_a_malformed_number_is_a_usage_error(tmp_path, option, value):
    done = tarnix("annotate", DATA / "1ajj.pdb", option, value, "-o", tmp_path / "out.tsv")
    assert done.returncode == 2, done.stderr
    errors = [line for line in done.stderr.splitlines() if "error" in line]
    assert len(errors) == 1 and "Traceback" not in done.stderr, done.stderr
    assert errors[0].startswith("tarnix annotate: error: ") and option.lstrip("-")[0] in errors[0]
    assert not (tmp_path / "out.tsv").exists()


def test_the_largest_ppii_stretch_is_accepted():
    done = tarnix("annotate", DATA / "1ajj.pdb", "--ppii", str(2**64 - 1), "--per", "structure", "-q")
    assert done.returncode == 0, done.stderr
    header, row = done.stdout.splitlines()[:2]
    assert dict(zip(header.split("\t"), row.split("\t")))["status"] == "ok"


def test_with_a_scheduler_a_file_without_a_structure_suffix_is_an_input(tmp_path):
    pytest.importorskip("distributed")
    pq = pytest.importorskip("pyarrow.parquet")
    plain = tmp_path / "model_one"  # a structure whose name says nothing
    plain.write_bytes((DATA / "1ajj.pdb").read_bytes())
    listing = tmp_path / "list.txt"
    listing.write_text(f"{DATA / '1ubq.pdb'}\n")
    done = tarnix("annotate", plain, "--from-list", listing, "-o", tmp_path / "out", "--scheduler", "local:1",
                  "-q", timeout=300)
    assert done.returncode == 0, done.stderr
    structures = pq.read_table(tmp_path / "out" / "structures").to_pydict()
    assert structures["name"] == [str(plain), str(DATA / "1ubq.pdb")]
    assert structures["status"] == ["ok", "ok"]
