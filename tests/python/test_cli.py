"""The tarnix command, run as a subprocess on real files."""
import csv
import gzip
import os
import pathlib
import pty
import shutil
import subprocess
import sys

import numpy as np
import pytest

import tarnix as tarnix_module
from tarnix import assign
import tarnix_tools
from tarnix_tools.table import Table
from test_table import assert_same_columns, read_back

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
SMALL, HELICAL = DATA / "1ajj.pdb", DATA / "1aki.pdb"
CORPUS = DATA.parents[2] / "shared" / "data" / "structures"


def tarnix(*args, stdin=b"", stderr=subprocess.PIPE, cwd=None):
    return subprocess.run([sys.executable, "-m", "tarnix_tools", *map(str, args)], input=stdin,
                          stdout=subprocess.PIPE, stderr=stderr, cwd=cwd, timeout=300)


def without_seconds(table):
    return Table({n: v for n, v in table.columns.items() if n != "seconds"})


@pytest.fixture
def inputs(tmp_path):
    """A plain file, a gzipped one and one that fails."""
    packed = tmp_path / "helical.pdb.gz"
    packed.write_bytes(gzip.compress(HELICAL.read_bytes()))
    return [SMALL, packed, tmp_path / "missing.pdb"]


@pytest.mark.parametrize("fmt, per, to_stdout", [
    ("tsv", "residue", True), ("csv", "structure", False), ("jsonl", "residue", False),
    ("parquet", "residue", False),
])
def test_output_reads_back_as_annotate(tmp_path, inputs, fmt, per, to_stdout):
    out = tmp_path / f"out.{fmt}"
    where = ["--format", fmt] if to_stdout else ["-o", out]
    run = tarnix("annotate", *inputs, "--per", per, "-j", 2, *where)
    if to_stdout:
        out.write_bytes(run.stdout)
    expected = tarnix_tools.annotate(inputs, threads=2)
    names = expected.structures.columns["name"][expected.residues.columns["input"]]
    table = (Table({"name": names, **expected.residues.columns}) if per == "residue"
             else without_seconds(expected.structures))
    got = read_back(out, fmt, table)
    got.pop("seconds", None)
    assert_same_columns(got, table)
    # the failed input: listed on stderr exactly as its row says, and status 1
    error = expected.structures.columns["error"][2]
    assert error and run.returncode == 1
    assert f"{inputs[2]}: {error}" in run.stderr.decode().splitlines()
    assert "3 inputs, 1 failed, 0 without protein, 166 residues" in run.stderr.decode().splitlines()[-1]


@pytest.mark.parametrize("args, status, message", [
    ([SMALL, "-q"], 0, None),
    ([], 2, "give at least one INPUT"),
    ([SMALL, "--format", "parquet"], 2, "parquet output needs a file"),
    ([SMALL, "-o", "out.txt"], 2, ".parquet, .tsv, .csv or .jsonl"),
    (["-", "-"], 2, "stdin (-) can be used only once"),
    ([SMALL, "-j", "-1"], 2, "must not be negative"),
    ([SMALL, "--from-list", "no-such-list"], 2, "No such file"),
])
def test_exit_status(tmp_path, args, status, message):
    run = tarnix("annotate", *args, cwd=tmp_path)
    assert run.returncode == status
    if message:
        assert message in run.stderr.decode()
        assert "Traceback" not in run.stderr.decode()
    else:
        assert run.stderr == b""


def test_fail_fast_and_list(tmp_path, inputs):
    listing = tmp_path / "list.txt"
    later_failure = tmp_path / "also-missing.pdb"
    listing.write_bytes(b"".join(os.fsencode(p) + b"\n" for p in [SMALL, inputs[2], HELICAL, later_failure]))
    run = tarnix("annotate", "--from-list", listing, "--per", "structure", "--fail-fast")
    assert run.returncode == 1
    lines = run.stdout.decode().splitlines()
    assert len(lines) == 3  # the header, the input before the failure and the failure
    assert lines[2].split("\t")[:3] == [str(inputs[2]), "1", "error"]
    assert "also-missing" not in run.stderr.decode()
    # per residue: the rows of the input before the failure, none of the one after it
    run = tarnix("annotate", "--from-list", listing, "--fail-fast")
    names = [line.split("\t")[0] for line in run.stdout.decode().splitlines()[1:]]
    assert names == [str(SMALL)] * assign(str(SMALL)).residue_count
    run = tarnix("annotate", "--from-list", listing, "--per", "structure", "-q")
    assert [line.split("\t")[2] for line in run.stdout.decode().splitlines()[1:]] == ["ok", "error", "ok", "error"]
    assert "also-missing" in run.stderr.decode()


@pytest.mark.parametrize("pack", [bytes, gzip.compress])
def test_stdin(tmp_path, pack):
    data = HELICAL.read_bytes()
    run = tarnix("annotate", "-", stdin=pack(data))
    assert run.returncode == 0
    residues = tarnix_tools.annotate([("<stdin>", data)]).residues
    Table({"name": np.full(len(residues), "<stdin>"), **residues.columns}).write(tmp_path / "expected.tsv")
    assert run.stdout == (tmp_path / "expected.tsv").read_bytes()


def read_terminal(master):
    chunks = []
    while True:
        try:
            chunk = os.read(master, 65536)
        except OSError:  # the other end closed
            break
        if not chunk:
            break
        chunks.append(chunk)
    return b"".join(chunks).decode()


@pytest.mark.parametrize("terminal, quiet, rows_to_terminal", [
    (True, False, False), (True, True, False), (False, False, False), (True, False, True)])
def test_progress_only_on_a_terminal(tmp_path, terminal, quiet, rows_to_terminal):
    """The bar (with its total) only on a terminal that rows are not written to; failures on lines
    of their own."""
    pytest.importorskip("tqdm")
    missing = tmp_path / "missing.pdb"
    args = ["annotate", SMALL, missing, HELICAL] + (["-q"] if quiet else [])
    if terminal:
        master, child = pty.openpty()
        stdout = child if rows_to_terminal else subprocess.DEVNULL
        run = subprocess.Popen([sys.executable, "-m", "tarnix_tools", *map(str, args)], stdout=stdout,
                               stderr=child)
        os.close(child)
        shown = read_terminal(master)  # as it comes: a full terminal would block the writer
        os.close(master)
        run.wait(timeout=300)
    else:
        run = tarnix(*args)
        shown = run.stderr.decode()
    assert run.returncode == 1
    bar = "3/3 [" in shown
    assert bar == (terminal and not quiet and not rows_to_terminal)
    assert ("3 inputs, 1 failed" in shown) == (not quiet)
    failure = f"{missing}: No such file or directory (os error 2)"
    assert failure in [line.split("\r")[-1].strip() for line in shown.splitlines()]


def test_failures_to_a_file(tmp_path, inputs):
    errors = tmp_path / "errors.tsv"
    run = tarnix("annotate", *inputs, "--errors", errors, "-q", "-o", tmp_path / "out.tsv")
    assert run.returncode == 1 and run.stderr == b""
    with open(errors, newline="", encoding="utf-8") as f:
        assert list(csv.reader(f, delimiter="\t")) == [[str(inputs[2]), "No such file or directory (os error 2)"]]


def track_colour_shares(png):
    """Share of each code colour along the middle pixel row of the track."""
    import matplotlib.colors
    import matplotlib.image
    from tarnix_tools._plot import CODE_STYLES

    image = (matplotlib.image.imread(png)[..., :3] * 255).round()
    colours = np.array([matplotlib.colors.to_rgb(c) for _, c in CODE_STYLES.values()]) * 255
    matches = (np.abs(image[:, :, None, :] - colours.round()[None, None]) <= 1).all(axis=-1)
    per_row = matches.any(axis=-1).sum(axis=1)
    track_rows = np.flatnonzero(per_row > 0.9 * per_row.max())
    row = matches[track_rows[len(track_rows) // 2]]
    coloured = row.any(axis=-1)
    row = row[np.argmax(coloured):len(coloured) - np.argmax(coloured[::-1])]
    return dict(zip(CODE_STYLES, row.mean(axis=0)))


def test_plot_track_follows_the_codes(tmp_path):
    pytest.importorskip("matplotlib")
    run = tarnix("plot", HELICAL, "--chain", "A", "-o", tmp_path / "p.png")
    assert run.returncode == 0, run.stderr
    structure = tarnix_tools.annotate(HELICAL).residues.columns["structure"]
    shares = track_colour_shares(tmp_path / "p.png")
    for code, share in shares.items():
        assert share == pytest.approx(np.mean(structure == code), abs=0.03), code
    assert shares["H"] > 0.25


def test_plot_without_matplotlib_says_what_to_install(tmp_path):
    code = ("import sys; sys.modules['matplotlib'] = None; from tarnix_tools.cli import main; "
            f"sys.exit(main(['plot', {str(SMALL)!r}, '-o', 'p.png']))")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, cwd=tmp_path)
    assert run.returncode == 2
    assert "pip install 'tarnix[plot]'" in run.stderr.decode()
    assert "Traceback" not in run.stderr.decode()


def png_width(path):
    return int.from_bytes(path.read_bytes()[16:20], "big")  # the IHDR chunk's width


def test_plot_several_inputs_and_dpi(tmp_path):
    pytest.importorskip("matplotlib")
    shutil.copy(DATA / "4hhb.pdb", tmp_path)
    run = tarnix("plot", tmp_path / "4hhb.pdb", DATA / "1ubq.pdb", "--dpi", 50, cwd=tmp_path)
    assert run.returncode == 0, run.stderr
    small = {name: png_width(tmp_path / name) for name in ("4hhb.png", "1ubq.png")}
    run = tarnix("plot", DATA / "1ubq.pdb", "--chain", "A", "--chain", "B", cwd=tmp_path)
    assert run.returncode == 1 and "no chain 'B'" in run.stderr.decode() and "its chains: A" in run.stderr.decode()
    assert tarnix("plot", DATA / "1ubq.pdb", cwd=tmp_path).returncode == 0
    assert png_width(tmp_path / "1ubq.png") == 2 * small["1ubq.png"]
    refused = tarnix("plot", DATA / "1ubq.pdb", DATA / "1aki.pdb", "-o", tmp_path / "x.png")
    assert refused.returncode == 2 and len(refused.stderr.decode().splitlines()) == 1


def chains_of(path):
    """Chain ids grouped by identical residues, and within each group by identical codes, from
    tarnix.assign."""
    by_chain = {}
    for residue in tarnix_module.assign(str(path)).residues:
        by_chain.setdefault(residue.chain_id, []).append(residue)
    groups = {}
    for chain, residues in by_chain.items():
        key = tuple((r.amino_acid, r.seq_id) for r in residues)
        groups.setdefault(key, {}).setdefault("".join(r.structure for r in residues), []).append(chain)
    return [[chain for ids in tracks.values() for chain in ids] for tracks in groups.values()], \
        [list(tracks.values()) for tracks in groups.values()]


def twin_chains(path):
    """1ubq twice, as chains A and B far apart: the same residues and the same codes."""
    atoms = [line for line in (DATA / "1ubq.pdb").read_text().splitlines() if line.startswith("ATOM")]
    moved = [line[:21] + "B" + line[22:30] + f"{float(line[30:38]) + 200:8.3f}" + line[38:] for line in atoms]
    path.write_text("\n".join(atoms + moved) + "\nEND\n")
    return path


@pytest.mark.parametrize("name", ["twin.pdb", "4hhb.pdb", "1aon.pdb", "1avg.pdb"])
def test_plot_panels_join_identical_chains(data_dir, tmp_path, name):
    from tarnix_tools._plot import panels, regular_ticks
    from matplotlib.ticker import MaxNLocator

    path = twin_chains(tmp_path / name) if name == "twin.pdb" else data_dir / name
    if not path.exists():
        path = CORPUS / name
        if not path.exists():
            pytest.skip(f"{name} is not in the shared corpus")
    residues = tarnix_tools.annotate(path).residues
    drawn = panels(residues.columns)
    chains, tracks = chains_of(path)
    assert [sorted(p.chains) for p in drawn] == [sorted(c) for c in chains]
    assert [[ids for ids, _ in p.tracks] for p in drawn] == tracks
    if name == "1aon.pdb":  # the two GroEL rings are one panel, GroES another
        assert [len(p.chains) for p in drawn] == [14, 7]
    if name == "twin.pdb":
        assert [[ids for ids, _ in p.tracks] for p in drawn] == [[["A", "B"]]]
    for panel in drawn:  # ticks evenly spaced along the residues, insertion codes or not
        rows = panel.rows[0]
        ticks = regular_ticks(rows.stop - rows.start, residues.columns["seq_id"][rows],
                              residues.columns["insertion_code"][rows], MaxNLocator)
        assert len(set(np.diff(ticks))) <= 1 and 4 <= len(ticks) <= 13


def test_models_all_and_frames_commands(tmp_path):
    import csv

    from tarnix import assign
    from test_models import pdb_models

    chemfiles = pytest.importorskip("chemfiles")
    ensemble = DATA / "2juy_crlf.pdb"
    models = pdb_models(ensemble.read_bytes().decode())
    expected = []
    for number, text in models.items():
        cut = tmp_path / f"model{number}.pdb"
        cut.write_text(text)
        expected.append(assign(str(cut)).sequence)

    run = tarnix("annotate", ensemble, "--models", "all", "--per", "structure", "-q")
    assert run.returncode == 0
    rows = list(csv.DictReader(run.stdout.decode().splitlines(), delimiter="\t"))
    assert [int(row["model"]) for row in rows] == list(models)

    out = tmp_path / "frames.csv"
    run = tarnix("frames", ensemble, "--stop", len(models), "-o", out)
    assert run.returncode == 0, run.stderr
    rows = list(csv.DictReader(out.open()))
    assert [row["codes"] for row in rows] == expected
    assert [int(row["frame"]) for row in rows] == list(range(len(models)))

    dcd = tmp_path / "ens.dcd"
    with chemfiles.Trajectory(str(dcd), "w") as writer:
        writer.write(chemfiles.Trajectory(str(DATA / "1ubq.pdb")).read())
    run = tarnix("frames", dcd, "--topology", DATA / "1aki.pdb")
    assert run.returncode == 1 and b"ens.dcd: frame 0" in run.stderr and run.stdout == b""
    assert tarnix("frames", dcd, "--step", 0).returncode == 2
    assert tarnix("frames", dcd, "--start", 3, "--stop", 1).returncode == 2

    pytest.importorskip("matplotlib")
    for args in (["plot", ensemble, "--models", "all"], ["plot", dcd, "--topology", DATA / "1ubq.pdb"]):
        picture = tmp_path / f"{len(args)}.png"
        run = tarnix(*args, "-o", picture)
        assert run.returncode == 0, run.stderr
        assert picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
