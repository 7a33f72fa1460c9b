"""The tarnix command as an unattended run sees it: rows checked against tarnix.assign, output
files that are whole or absent, and the exit statuses."""
import csv
import os
import pathlib
import resource
import signal
import subprocess
import sys

import numpy as np
import pytest

import tarnix
from processes import started_writing

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
SMALL, HELICAL, DNA = DATA / "1ajj.pdb", DATA / "1aki.pdb", DATA / "1bna.pdb"
COMMAND = [sys.executable, "-m", "tarnix_tools"]


def tarnix_cli(*args, cwd=None, **options):
    return subprocess.run([*COMMAND, *map(str, args)], capture_output=True, cwd=cwd, timeout=120, **options)


def two_letter_chain_cif(path):
    """1ubq as mmCIF with the chain called XY (both asym ids), whitespace-separated."""
    lines = []
    for line in (DATA / "1ubq.cif").read_text().splitlines():
        if line.startswith(("ATOM", "HETATM")):
            fields = line.split()
            fields[6] = fields[18] = "XY"
            line = " ".join(fields)
        lines.append(line)
    path.write_text("\n".join(lines) + "\n")
    return path


def chain_runs(chain_ids):
    return sum(1 for i, c in enumerate(chain_ids) if i == 0 or c != chain_ids[i - 1])


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def test_rows_agree_with_tarnix_assign(tmp_path):
    """One-letter and two-letter chain ids in one run, a file without protein and a missing one:
    every residue row names its input and holds what tarnix.assign gives for that file, and every
    per-structure value is recomputed here from tarnix.assign."""
    cif = two_letter_chain_cif(tmp_path / "xy.cif")
    inputs = [SMALL, cif, DNA, HELICAL, tmp_path / "missing.pdb"]
    residues, structures = tmp_path / "residues.csv", tmp_path / "structures.csv"
    run = tarnix_cli("annotate", *inputs, "-o", residues, "-j", 2)
    assert run.returncode == 1, run.stderr
    assert tarnix_cli("annotate", *inputs, "--per", "structure", "-o", structures).returncode == 1
    rows = read_csv(residues)
    by_structure = {row["name"]: row for row in read_csv(structures)}
    start = 0
    for path in inputs:
        summary = by_structure[str(path)]
        try:
            result = tarnix.assign(str(path))
        except ValueError as exc:
            assert summary["error"] == str(exc)
            assert summary["status"] == ("no_protein" if path == DNA else "error")
            assert summary["residue_count"] == summary["chain_count"] == "0"
            continue
        assert summary["status"] == "ok" and summary["error"] == ""
        expected = result.residues
        got = rows[start:start + len(expected)]
        start += len(expected)
        assert [r["name"] for r in got] == [str(path)] * len(expected)
        assert [(r["chain_id"], int(r["seq_id"]), r["structure"]) for r in got] == \
            [(e.chain_id, e.seq_id, e.structure) for e in expected]
        for r, e in zip(got, expected):
            assert np.float32(r["accessibility"]) == np.float32(e.accessibility)
            for angle in ("phi", "psi"):
                value = getattr(e, angle)
                assert (r[angle] == "") if value is None else np.float32(r[angle]) == np.float32(value)
        assert int(summary["residue_count"]) == result.residue_count
        assert int(summary["chain_count"]) == chain_runs([e.chain_id for e in expected])
        assert float(summary["helix_fraction"]) == pytest.approx(result.sequence_c3.count("H") / len(expected))
        assert float(summary["strand_fraction"]) == pytest.approx(result.sequence_c3.count("E") / len(expected))
        assert float(summary["accessibility_total"]) == pytest.approx(sum(e.accessibility for e in expected))
    assert start == len(rows)
    assert "5 inputs, 1 failed, 1 without protein" in run.stderr.decode()


@pytest.mark.parametrize("name, content, status, error", [
    ("dna.pdb", DNA.read_bytes(), "no_protein", "Empty file or no valid records"),
    ("ca_trace.pdb", b"".join(
        b"ATOM  %5d  CA  ALA A%4d    %8.3f   0.000   0.000  1.00  0.00           C\n" % (i, i, 3.8 * i)
        for i in range(1, 6)), "no_protein", "Empty file or no valid records"),
    ("water.pdb", b"HETATM    1  O   HOH A   1       1.000   2.000   3.000  1.00  0.00           O\n",
     "no_protein", "Empty file or no valid records"),
    ("empty.pdb", b"", "error", "Empty file or no valid records"),
    ("notes.pdb", b"not a structure\n", "error", "Empty file or no valid records"),
])
def test_statuses(tmp_path, name, content, status, error):
    import tarnix_tools

    path = tmp_path / name
    path.write_bytes(content)
    with pytest.raises(ValueError) as raised:
        tarnix.assign(str(path))
    assert str(raised.value) == error
    got = tarnix_tools.annotate(path).structures.columns
    assert (got["status"][0], got["error"][0]) == (status, error)
    # a run whose only trouble is inputs without protein is a complete, successful run
    run = tarnix_cli("annotate", path, SMALL, "--per", "structure")
    assert run.returncode == (0 if status == "no_protein" else 1)
    assert f"2 inputs, {int(status == 'error')} failed, {int(status == 'no_protein')} without protein" in \
        run.stderr.decode()


@pytest.mark.parametrize("bad", ["nan", "-inf", "1e39"])
def test_non_finite_coordinate_is_an_error(bad):
    import tarnix_tools

    lines = HELICAL.read_text().splitlines(keepends=True)
    atoms = [i for i, line in enumerate(lines) if line.startswith("ATOM")]
    line = lines[atoms[100]]  # a kept atom well inside the chain
    lines[atoms[100]] = line[:38] + f"{bad:>8}" + line[46:]
    got = tarnix_tools.annotate([("bad.pdb", "".join(lines).encode())])
    assert got.structures.columns["status"].tolist() == ["error"]
    assert got.structures.columns["error"][0] == f"non-finite coordinate in residue {line[21]} {int(line[22:26])}"
    assert len(got.residues) == 0


def listing_of(tmp_path, paths, name="list.txt"):
    listing = tmp_path / name
    listing.write_text("".join(f"{p}\n" for p in paths))
    return listing


def leftovers(folder, keep):
    return sorted(set(os.listdir(folder)) - set(keep))


@pytest.mark.parametrize("case", ["input", "list", "listed", "inside", "folder_missing", "is_folder",
                                  "suffix", "threads", "local0", "parquet_extra"])
def test_refused_before_anything_is_read_or_written(tmp_path, case):
    work = tmp_path / "work"
    work.mkdir()
    kept = work / "1ajj.pdb"
    kept.write_bytes(SMALL.read_bytes())
    listing = listing_of(work, [kept])
    fifo = tmp_path / "list.fifo"  # reading it would block: the refusal must come first
    os.mkfifo(fifo)
    args, message = {
        "input": (["annotate", kept, "--format", "tsv", "-o", kept], "is one of the inputs"),
        "list": (["annotate", "--from-list", listing, "--format", "tsv", "-o", listing], "--from-list file"),
        "listed": (["annotate", "--from-list", listing_of(tmp_path, [HELICAL, kept]), "--format", "tsv",
                    "-o", kept], "is one of the inputs"),
        "inside": (["annotate", work, "-o", work / "out.tsv"], "inside the input folder"),
        "folder_missing": (["annotate", "--from-list", fifo, "-o", work / "no" / "out.tsv"], "does not exist"),
        "is_folder": (["annotate", "--from-list", fifo, "--format", "tsv", "-o", work], "is a folder"),
        "suffix": (["annotate", "--from-list", fifo, "-o", work / "out.txt"], "cannot tell the output format"),
        "threads": (["annotate", "--from-list", fifo, "-j", 257], "at most 256"),
        "local0": (["annotate", kept, "-o", tmp_path / "out", "--scheduler", "local:0"], "local:0"),
        "parquet_extra": (None, "pip install 'tarnix[arrow]'"),
    }[case]
    if args is None:  # pyarrow missing
        code = ("import sys; sys.modules['pyarrow'] = None; from tarnix_tools.cli import main; "
                f"sys.exit(main(['annotate', '--from-list', {str(fifo)!r}, '-o', 'out.parquet']))")
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, cwd=work, timeout=60)
    else:
        run = tarnix_cli(*args)
    assert run.returncode == 2
    lines = run.stderr.decode().splitlines()
    assert len(lines) == 1 and message in lines[0], lines
    assert kept.read_bytes() == SMALL.read_bytes() and listing.read_text() == f"{kept}\n"
    assert leftovers(work, ["1ajj.pdb", "list.txt"]) == []


def test_stdout_by_dash_and_default(tmp_path):
    default = tarnix_cli("annotate", SMALL, "-q")
    dash = tarnix_cli("annotate", SMALL, "-q", "-o", "-")
    assert default.returncode == dash.returncode == 0
    assert default.stdout == dash.stdout and default.stdout.count(b"\n") == 1 + tarnix.assign(str(SMALL)).residue_count


@pytest.fixture
def long_list(tmp_path):
    """Enough inputs for about a minute of work on one thread."""
    return listing_of(tmp_path, [HELICAL] * 60000, "long.txt")


@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP])
@pytest.mark.parametrize("suffix", ["tsv", "parquet"])
def test_stopped_run_leaves_the_old_file(tmp_path, long_list, stop, suffix):
    out = tmp_path / "out" / f"residues.{suffix}"
    out.parent.mkdir()
    out.write_bytes(b"the user's file")
    process = subprocess.Popen([*COMMAND, "annotate", "--from-list", str(long_list), "-j", "1", "-o", str(out)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    started_writing(out.parent, process)
    process.send_signal(stop)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130
    assert out.read_bytes() == b"the user's file" and os.listdir(out.parent) == [out.name]
    assert "interrupted after" in stderr.decode() and "was not written" in stderr.decode()
    assert "Traceback" not in stderr.decode()


@pytest.mark.parametrize("existing", [True, False])
def test_failed_write_and_fail_fast_leave_no_file(tmp_path, existing):
    out = tmp_path / "out" / "residues.tsv"
    out.parent.mkdir()
    if existing:
        out.write_bytes(b"the user's file")

    def limit_file_size():
        resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))

    full = tarnix_cli("annotate", HELICAL, SMALL, "-o", out, preexec_fn=limit_file_size)
    assert full.returncode == 3, full.stderr
    assert "File too large" in full.stderr.decode() and "was not written" in full.stderr.decode()
    failing = tarnix_cli("annotate", SMALL, tmp_path / "missing.pdb", HELICAL, "--fail-fast", "-o", out)
    assert failing.returncode == 1 and "was not written" in failing.stderr.decode()
    assert os.listdir(out.parent) == ([out.name] if existing else [])
    if existing:
        assert out.read_bytes() == b"the user's file"


def test_a_new_file_gets_the_usual_permissions(tmp_path):
    out = tmp_path / "residues.tsv"
    old_mask = os.umask(0o027)
    try:
        run = tarnix_cli("annotate", SMALL, tmp_path / "missing.pdb", "-o", out)
    finally:
        os.umask(old_mask)
    assert run.returncode == 1  # one input failed, but the output is complete
    assert out.read_bytes().count(b"\n") == 1 + tarnix.assign(str(SMALL)).residue_count
    assert out.stat().st_mode & 0o777 == 0o640
    assert os.listdir(tmp_path) == [out.name]


def test_closed_pipe_ends_quietly(tmp_path, long_list):
    process = subprocess.Popen([*COMMAND, "annotate", "--from-list", str(long_list)],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert process.stdout.readline().startswith(b"name\tinput\t")
    process.stdout.close()
    stderr = process.stderr.read()
    process.wait(timeout=60)
    assert stderr == b""
    assert process.returncode == 128 + signal.SIGPIPE


def test_numpy_is_a_dependency_of_the_distribution():
    from importlib.metadata import requires

    plain = [r for r in requires("tarnix") if "extra ==" not in r]
    assert any(r.startswith("numpy") for r in plain)


def test_help_states_statuses_and_limits():
    shown = " ".join(tarnix_cli("annotate", "--help").stdout.decode().split())
    for text in ("0 every input", "1 some input failed", "2 a usage", "3 writing the output",
                 "130 interrupted", "at most 256", "0 assigns no PPII"):
        assert text in shown, text
