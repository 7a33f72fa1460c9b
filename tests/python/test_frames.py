"""frames() and trajectory(): every frame equal to the single-structure path, to the bit."""

import csv
import pathlib
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest
import tarnix
from processes import started_writing

from tarnix_tools import TrajectoryError, annotate, frames, iter_trajectory, trajectory
from tarnix_tools._columns import FRAMES_RESIDUE_COLUMNS
from tarnix_tools._frames import Frames
from tarnix_tools._plot_frames import _residue_ticks

chemfiles = pytest.importorskip("chemfiles", reason="chemfiles reads and writes the trajectories of these tests")

BACKBONE = ("N", "CA", "C", "O")
STRUCTURES = pathlib.Path(__file__).resolve().parents[3] / "shared" / "data" / "structures"  # beside the repository
FRAMES = 6


def backbone(path):
    """(L, 4, 3) float32 N, CA, C, O and the residue names and chain ids, read by chemfiles."""
    return backbone_of(chemfiles.Trajectory(str(path)).read())


def backbone_of(frame):
    names = [atom.name for atom in frame.atoms]
    coords, residue_names, chain_ids = [], [], []
    for residue in frame.topology.residues:
        where = {names[i]: i for i in residue.atoms}
        if all(atom in where for atom in BACKBONE):
            coords.append([frame.positions[where[atom]] for atom in BACKBONE])
            residue_names.append(residue.name)
            chain_ids.append(residue["chainid"])
    return np.array(coords, dtype=np.float32), residue_names, chain_ids


def wobbled(coords, count, seed, scale=0.3):
    """Seeded moves of every atom, rounded to the 3 decimals a PDB file holds."""
    rng = np.random.default_rng(seed)
    return np.round(coords[None] + rng.normal(0.0, scale, (count, *coords.shape)), 3).astype(np.float32)


def residue_values(result, name):
    return np.array([np.nan if getattr(r, name) is None else getattr(r, name) for r in result.residues],
                    dtype=np.float32)


def assert_frame_equals(frames_result, t, reference, sasa=True):
    assert frames_result.codes[t].tobytes().decode() == reference.sequence
    assert frames_result.codes_c3[t].tobytes().decode() == reference.sequence_c3
    for name in ("phi", "psi") + (("accessibility",) if sasa else ()):
        assert getattr(frames_result, name)[t].tobytes() == residue_values(reference, name).tobytes(), (t, name)


def pdb_text(coords, residue_names, chain_ids):
    lines = []
    for i, (residue, name, chain) in enumerate(zip(coords, residue_names, chain_ids)):
        for atom, (x, y, z) in zip(BACKBONE, residue):
            lines.append(f"ATOM  {len(lines) + 1:5d} {atom:<4s} {name:>3s} {chain:1s}{i + 1:4d}    "
                         f"{x:8.3f}{y:8.3f}{z:8.3f}  1.00  0.00\n")
    return "".join(lines) + "END\n"


@pytest.fixture(scope="module")
def hemoglobin(data_dir):
    return backbone(data_dir / "4hhb.pdb")


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("as_stream", [False, True])
def test_frames_equal_assign_from_coords(hemoglobin, threads, as_stream, monkeypatch):
    monkeypatch.setattr("tarnix_tools._frames.CHUNK_FRAMES", 4)  # several chunks
    coords = wobbled(hemoglobin[0], FRAMES, seed=1)
    given = iter(list(coords)) if as_stream else coords
    result = frames(given, sasa=True, threads=threads)
    assert result.codes.shape == (FRAMES, len(coords[0])) and result.codes.dtype == np.dtype("S1")
    assert result.frame.tolist() == list(range(FRAMES))
    for t in range(FRAMES):
        assert_frame_equals(result, t, tarnix.assign_from_coords(coords[t]))
    c3 = np.array([list(tarnix.assign_from_coords(c, calculate_sasa=False).sequence_c3) for c in coords])
    assert result.helix_fraction.tolist() == (c3 == "H").mean(axis=1).tolist()
    assert result.strand_fraction.tolist() == (c3 == "E").mean(axis=1).tolist()
    summary = result.summary().columns
    codes = np.array([list(tarnix.assign_from_coords(c).sequence) for c in coords])
    assert summary["H"].tolist() == (codes == "H").mean(axis=0).tolist()
    assert summary["blank"].tolist() == (codes == " ").mean(axis=0).tolist()
    assert np.allclose(sum(summary[name] for name in ("H", "B", "E", "G", "I", "P", "T", "S", "blank")), 1.0)


def test_frames_with_names_and_chains_equal_assign_on_a_pdb_file(hemoglobin, tmp_path):
    coords, names, chains = hemoglobin
    assert "PRO" in names and len(set(chains)) == 4
    moved = wobbled(coords, 3, seed=2)
    result = frames(moved.astype(np.float64), residue_names=names, chain_ids=chains, sasa=True)
    assert result.chain_id.tolist() == chains and result.residue_name.tolist() == names
    for t in range(3):
        path = tmp_path / f"frame{t}.pdb"
        path.write_text(pdb_text(moved[t], names, chains))
        assert_frame_equals(result, t, tarnix.assign(str(path)))
        # rsa through the layout path: annotate divides by the same maxima, in float32.
        rsa = result.per_residue().columns["rsa"].reshape(3, -1)[t]
        assert rsa.tobytes() == annotate(path, sasa=True).residues.columns["rsa"].tobytes(), t


@pytest.mark.parametrize("bad, error, match", [
    (np.zeros((2, 5, 3, 3), np.float32), ValueError, r"\(T, L, 4, 3\)"),
    (np.zeros((2, 5, 4, 3), np.complex64), TypeError, "coords holds complex64, not real numbers"),
    ([np.zeros((5, 4, 3), "U1")], TypeError, "frame 0 holds <U1, not real numbers"),
    (np.zeros((0, 5, 4, 3), np.float32), ValueError, "no frames"),
    ([np.zeros((5, 4, 3)), np.zeros((6, 4, 3))], ValueError, "frame 1 has 6 residues"),
    ([], ValueError, "no frames"),
])
def test_frames_refuses_bad_coordinates(bad, error, match):
    with pytest.raises(error, match=match):
        frames(bad)


def test_a_frame_that_is_not_finite_is_named(hemoglobin):
    coords = wobbled(hemoglobin[0], 5, seed=3)
    coords[3, 7, 1, 2] = np.nan
    with pytest.raises(ValueError, match="frame 3 has coordinates that are not finite"):
        frames(coords)


def test_ctrl_c_stops_frames(hemoglobin):
    coords = np.repeat(hemoglobin[0][None], 2000, axis=0)
    timer = threading.Timer(0.3, signal.raise_signal, (signal.SIGINT,))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            frames(coords, sasa=True, threads=2)
    finally:
        timer.cancel()


@pytest.fixture(scope="module")
def written(tmp_path_factory, data_dir):
    """Ubiquitin moved about, written by chemfiles to every format it writes that we read back."""
    folder = tmp_path_factory.mktemp("trajectories")
    source = chemfiles.Trajectory(str(data_dir / "1ubq.pdb")).read()
    base = np.array(source.positions)
    rng = np.random.default_rng(11)
    moved = [np.round(base + rng.normal(0.0, 0.25, base.shape), 3) for _ in range(FRAMES)]
    paths = {kind: folder / f"ens.{kind}" for kind in ("pdb", "dcd", "nc", "xtc")}
    for kind, path in paths.items():
        with chemfiles.Trajectory(str(path), "w") as out:
            for k, positions in enumerate(moved):
                source.positions[:] = positions
                source["time"] = 2.5 * (k + 1)  # ps, for the formats that keep it
                out.write(source)
    return paths, data_dir / "1ubq.pdb"


def corpus_ensembles():
    """The multi-model files of the shared corpus, by its MANIFEST."""
    manifest = STRUCTURES / "MANIFEST.tsv"
    if not manifest.is_file():
        return []
    rows = [line.split("\t") for line in manifest.read_text().splitlines()[1:]]
    return [row[0] for row in rows if " models" in row[-1]]


def assert_models_are_frames(path, models, frames_read):
    """Frame k of frames_read is model k of annotate(models="all"), to the bit."""
    residues = models.residues.columns
    assert len(frames_read) == len(models.structures)
    for t in range(len(frames_read)):
        mine = residues["input"] == t
        assert frames_read.codes[t].tobytes().decode() == "".join(residues["structure"][mine]), (path, t)
        for name in ("phi", "psi", "accessibility"):
            assert getattr(frames_read, name)[t].tobytes() == residues[name][mine].tobytes(), (path, t, name)
    first = residues["input"] == 0
    assert frames_read.chain_id.tolist() == residues["chain_id"][first].tolist()
    assert frames_read.seq_id.tolist() == residues["seq_id"][first].tolist()
    assert frames_read.frame.tolist() == list(range(len(frames_read)))


def same_residues(models):
    residues, structures = models.residues.columns, models.structures.columns
    if (structures["status"] != "ok").any():
        return False
    keys = [tuple(residues[name][residues["input"] == t].tobytes() for name in
                  ("chain_id", "seq_id", "insertion_code", "residue_name")) for t in range(len(structures["model"]))]
    return len(set(keys)) == 1


@pytest.mark.parametrize("name", dict.fromkeys(["written", "1d3z.pdb", "2juy_crlf.pdb", *corpus_ensembles()]))
def test_trajectory_of_an_ensemble_equals_annotate_of_every_model(name, written, data_dir):
    path = written[0]["pdb"] if name == "written" else data_dir / name
    if not path.exists():
        path = STRUCTURES / name
    paths = [path]
    if path.suffix == ".cif" and same_residues(annotate(path, models="all", sasa=False)):
        bcif_writer = pytest.importorskip("bcif_writer", reason="biotite writes the BinaryCIF twin")
        twin = written[0]["pdb"].parent / (path.stem + ".bcif")
        twin.write_bytes(bcif_writer.from_mmcif(path.read_text()))
        paths.append(twin)
    models = annotate(path, models="all")
    for given in paths:
        if not same_residues(models):
            with pytest.raises(TrajectoryError, match=r"model \d+"):
                trajectory(given)
            continue
        assert_models_are_frames(given, models, trajectory(given, sasa=True, threads=2))
        for chunk_frames, step in ((3, 1), (2, 3)):  # chunks and steps take the same rows
            chunks = list(iter_trajectory(given, sasa=True, step=step, chunk_frames=chunk_frames))
            assert np.concatenate([c.codes for c in chunks]).tobytes() == \
                trajectory(given, sasa=True).codes[::step].tobytes()


def test_frames_command_reads_an_nmr_file_as_our_readers_do(data_dir, tmp_path):
    from test_models import pdb_models

    expected = []
    for number, text in pdb_models((data_dir / "1d3z.pdb").read_text()).items():
        cut = tmp_path / f"model{number}.pdb"
        cut.write_text(text)
        expected.append(tarnix.assign(str(cut)).sequence)
    out = tmp_path / "frames.csv"
    run = subprocess.run([sys.executable, "-m", "tarnix_tools", "frames", str(data_dir / "1d3z.pdb"), "-o", str(out)],
                         capture_output=True, timeout=120)
    assert run.returncode == 0, run.stderr
    rows = list(csv.DictReader(out.open()))
    assert [row["codes"] for row in rows] == expected and len(expected) == 10
    with pytest.raises(ValueError, match="names its own atoms"):
        trajectory(data_dir / "1d3z.pdb", data_dir / "1ubq.pdb")


@pytest.mark.parametrize("kind", ["dcd", "nc", "xtc"])
def test_trajectory_frames_equal_assign_on_each_frame_written_as_pdb(kind, written, tmp_path):
    paths, topology = written
    result = trajectory(paths[kind], topology, sasa=True, start=1, step=2)
    assert result.frame.tolist() == [1, 3, 5]
    reader = chemfiles.Trajectory(str(paths[kind]))
    reader.set_topology(str(topology))
    for t, step in enumerate(result.frame):
        frame = reader.read_step(int(step))
        if kind == "xtc":
            # Stored to 0.01 A and scaled on reading, the positions have no 3-decimal text; the
            # backbone alone through frames() (checked against tarnix.assign above) gives the codes.
            check_backbone_frame(result, t, frame)
            continue
        path = tmp_path / f"{kind}{step}.pdb"
        with chemfiles.Trajectory(str(path), "w") as out:
            out.write(frame)
        assert_frame_equals(result, t, tarnix.assign(str(path)))


def check_backbone_frame(result, t, frame):
    coords, residue_names, chain_ids = backbone_of(frame)
    alone = frames(coords[None], residue_names=residue_names, chain_ids=chain_ids)
    assert result.codes[t].tobytes() == alone.codes[0].tobytes()
    assert result.phi[t].tobytes() == alone.phi[0].tobytes()
    assert result.psi[t].tobytes() == alone.psi[0].tobytes()


def test_iter_trajectory_chunks_concatenate_to_trajectory(written):
    paths, topology = written
    whole = trajectory(paths["dcd"], topology)
    chunks = list(iter_trajectory(paths["dcd"], topology, chunk_frames=4))
    assert [len(c) for c in chunks] == [4, 2]
    assert np.concatenate([c.codes for c in chunks]).tobytes() == whole.codes.tobytes()
    assert np.concatenate([c.frame for c in chunks]).tolist() == list(range(FRAMES))


def test_time_is_read_in_picoseconds(written):
    paths, topology = written
    result = trajectory(paths["xtc"], topology)
    assert np.isfinite(result.time).all() and len(set(result.time.tolist())) == FRAMES
    times = [chemfiles.Trajectory(str(paths["xtc"])).read_step(k)["time"] for k in range(FRAMES)]
    assert result.time.tolist() == times
    assert result.per_residue().columns["time"].tolist() == np.repeat(times, len(result.seq_id)).tolist()


def test_bad_trajectories_are_named(written, tmp_path, data_dir):
    paths, topology = written
    truncated = tmp_path / "cut.xtc"
    data = paths["xtc"].read_bytes()
    truncated.write_bytes(data[:-10])  # inside the last frame: a cut between frames leaves a whole file
    empty = tmp_path / "empty.xtc"
    empty.write_bytes(b"")
    nan = tmp_path / "nan.dcd"
    frame = chemfiles.Trajectory(str(paths["dcd"])).read()
    with chemfiles.Trajectory(str(nan), "w") as out:
        out.write(frame)
        out.write(frame)
        frame.positions[5, 0] = np.nan
        out.write(frame)
    cases = [
        ((paths["dcd"], data_dir / "1aki.pdb"), TrajectoryError, r"ens\.dcd: frame 0: .*atoms"),
        ((truncated, topology), TrajectoryError, r"cut\.xtc: the file ends inside frame 5"),
        ((empty, topology), TrajectoryError, r"empty\.xtc"),
        ((nan, topology), TrajectoryError, r"nan\.dcd: frame 2 has coordinates that are not finite"),
    ]
    for args, error, match in cases:
        with pytest.raises(error, match=match):
            trajectory(*args)
    with pytest.raises(TrajectoryError, match=r"^\S*missing\.pdb: "):  # the topology's error names it
        trajectory(paths["dcd"], tmp_path / "missing.pdb")
    with pytest.raises(TrajectoryError, match=r"ens\.dcd: no residue with N, CA, C and O.*give a topology"):
        trajectory(paths["dcd"])
    with pytest.raises(TrajectoryError, match=r"nan\.dcd: frame 2 has"):  # numbered as in the file
        trajectory(nan, topology, step=2)
    with pytest.raises(ValueError, match="step must be a positive"):
        trajectory(paths["dcd"], topology, step=0)
    with pytest.raises(ValueError, match=r"start \(4\) is after stop \(2\)"):
        trajectory(paths["dcd"], topology, start=4, stop=2)
    with pytest.raises(TrajectoryError, match=f"start {FRAMES + 3} is past the last of its {FRAMES} frames"):
        trajectory(paths["dcd"], topology, start=FRAMES + 3)
    with pytest.raises(TrajectoryError, match="start 2 and stop 2 select no frame"):
        trajectory(paths["dcd"], topology, start=2, stop=2)


def test_without_chemfiles_the_error_names_the_extra(monkeypatch, written):
    monkeypatch.setitem(__import__("sys").modules, "chemfiles", None)
    with pytest.raises(ImportError, match=r"pip install 'tarnix\[trajectory\]'"):
        trajectory(written[0]["dcd"])


@pytest.mark.parametrize("threads", [1, 2])
def test_frames_past_the_first_work_slice_equal_assign_from_coords(data_dir, threads):
    # A slice is 32 frames per thread: 150 frames cross several slices at either count.
    coords = wobbled(backbone(data_dir / "1ubq.pdb")[0], 150, seed=5, scale=0.4)
    result = frames(coords, sasa=True, threads=threads)
    for t in range(len(coords)):
        assert_frame_equals(result, t, tarnix.assign_from_coords(coords[t]))


def hung(call):
    """Runs call in a daemon thread: a call that spins must fail the test, not hang it."""
    outcome = []
    worker = threading.Thread(target=lambda: outcome.append(_raised(call)), daemon=True)
    worker.start()
    worker.join(20)
    assert outcome, "the call did not return"
    return outcome[0]


def _raised(call):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - the test looks at what was raised
        return error
    return None


@pytest.mark.parametrize("arguments, match", [
    ({"threads": 2**59}, "threads must be at most 256"),
    ({"threads": 257}, "threads must be at most 256"),
    ({"threads": -1}, "threads must not be negative"),
    ({"ppii_stretch": 2**64}, "ppii_stretch must be at most"),
    ({"start": 10**21}, "start must be at most"),
    ({"stop": 10**21}, "stop must be at most"),
    ({"step": 10**21}, "step must be at most"),
    ({"step": 0}, "step must be a positive"),
    ({"chunk_frames": 2**70}, "chunk_frames must be at most"),
])
def test_numbers_out_of_range_are_value_errors(hemoglobin, written, arguments, match):
    paths, topology = written
    error = hung(lambda: trajectory(paths["dcd"], topology, **arguments) if "chunk_frames" not in arguments
                 else list(iter_trajectory(paths["dcd"], topology, **arguments)))
    assert type(error) is ValueError and error.args[0].startswith(match.split(" must")[0]), error
    assert match in str(error)
    if set(arguments) <= {"threads", "ppii_stretch"}:
        error = hung(lambda: frames(hemoglobin[0][None], **arguments))
        assert type(error) is ValueError and match in str(error)


@pytest.mark.parametrize("option", [["--step", str(10**21)], ["--start", "-1"], ["--stop", "x"], ["-j", str(2**59)],
                                    ["--step", "0"]])
def test_frame_options_out_of_range_are_usage_errors(written, option):
    paths, topology = written
    run = subprocess.run([sys.executable, "-m", "tarnix_tools", "frames", str(paths["dcd"]), "--topology",
                          str(topology), *option], capture_output=True, timeout=60)
    assert run.returncode == 2 and run.stdout == b""
    assert len(run.stderr.decode().splitlines()) == 1 and "Traceback" not in run.stderr.decode()


@pytest.fixture(scope="module")
def long_written(tmp_path_factory, data_dir):
    """Fifty frames of ubiquitin in each binary format chemfiles writes, and the topology."""
    folder = tmp_path_factory.mktemp("long")
    source = chemfiles.Trajectory(str(data_dir / "1ubq.pdb")).read()
    base = np.array(source.positions)
    paths = {kind: folder / f"md.{kind}" for kind in ("dcd", "trr", "xtc")}
    for path in paths.values():
        with chemfiles.Trajectory(str(path), "w") as out:
            for k in range(50):
                source.positions[:] = base + 0.01 * k
                out.write(source)
    return paths, data_dir / "1ubq.pdb"


def damaged(data, how):
    middle = len(data) * 12 // 25 + 17  # inside frame 24 of 50, in every format
    if how == "cut":
        return data[:middle]
    if how == "zeros":
        return data[:middle] + bytes(200) + data[middle + 200:]
    return data[:-10]  # inside the last frame


@pytest.mark.parametrize("kind", ["dcd", "trr", "xtc"])
@pytest.mark.parametrize("how", ["cut", "zeros", "tail"])
def test_a_damaged_trajectory_is_an_error_not_a_short_one(long_written, tmp_path, kind, how):
    paths, topology = long_written
    assert len(trajectory(paths[kind], topology, sasa=False)) == 50
    bad = tmp_path / f"bad.{kind}"
    bad.write_bytes(damaged(paths[kind].read_bytes(), how))
    for stop in (None, 5):  # found whatever frames are asked for
        with pytest.raises(TrajectoryError, match=rf"bad\.{kind}: "):
            trajectory(bad, topology, stop=stop)
    run = subprocess.run([sys.executable, "-m", "tarnix_tools", "frames", str(bad), "--topology", str(topology)],
                         capture_output=True, timeout=120)
    assert run.returncode == 1 and run.stdout == b"", run.stderr
    assert run.stderr.decode().startswith(f"tarnix: {bad}: ") and "Traceback" not in run.stderr.decode()


def test_the_first_ctrl_c_always_stops_a_frames_run(data_dir, tmp_path):
    import random
    import time

    long = tmp_path / "long.dcd"
    frame = chemfiles.Trajectory(str(data_dir / "1ubq.pdb")).read()
    with chemfiles.Trajectory(str(long), "w") as out:
        for _ in range(4000):  # long enough that every signal below comes before the end
            out.write(frame)
    work = tmp_path / "out"
    work.mkdir()
    rng = random.Random(7)
    for run in range(20):
        process = subprocess.Popen([sys.executable, "-m", "tarnix_tools", "frames", str(long), "--topology",
                                    str(data_dir / "1ubq.pdb"), "--sasa", "-o", str(work / "frames.csv")],
                                   stderr=subprocess.PIPE)
        try:
            started_writing(work, process)  # the output is opened once the trajectory is
            time.sleep(rng.uniform(0.0, 0.2))
            process.send_signal(signal.SIGINT)
            _, stderr = process.communicate(timeout=30)
        finally:
            process.kill()
        assert (process.returncode, stderr) == (130, b"tarnix: interrupted\n"), (run, stderr.decode()[-300:])
        assert list(work.iterdir()) == []


def test_the_frames_bar_counts_to_the_frames_selected(data_dir, tmp_path):
    import fcntl
    import os
    import pty
    import struct
    import termios

    pytest.importorskip("tqdm")
    main, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # a terminal 100 wide
    run = subprocess.run([sys.executable, "-m", "tarnix_tools", "frames", str(data_dir / "1d3z.pdb"), "--step", "3",
                          "-o", str(tmp_path / "f.csv")], stderr=terminal, timeout=120)
    os.close(terminal)
    shown = os.read(main, 65536).decode()
    os.close(main)
    assert run.returncode == 0 and "4/4" in shown, shown


def test_the_trajectory_library_warns_in_one_line_naming_the_file(data_dir, tmp_path):
    import warnings

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        frame = chemfiles.Trajectory(str(data_dir / "4hhb.pdb")).read()  # its records warn four times
    with chemfiles.Trajectory(str(tmp_path / "hb.dcd"), "w") as out:
        for _ in range(3):
            out.write(frame)
    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        assert len(trajectory(tmp_path / "hb.dcd", data_dir / "4hhb.pdb")) == 3
    shown = [str(w.message) for w in seen if issubclass(w.category, chemfiles.misc.ChemfilesWarning)]
    assert len(shown) == 1 and shown[0].startswith(f"{data_dir / '4hhb.pdb'}: ") and "3 more warnings" in shown[0]


def with_insertion_codes(text):
    """The ensemble with residue 10 of every model renumbered 9A (after residue 9)."""
    lines = []
    for line in text.splitlines(keepends=True):
        if line.startswith(("ATOM  ", "HETATM")) and line[22:26] == "  10":
            line = line[:22] + "   9A" + line[27:]
        lines.append(line)
    return "".join(lines)


@pytest.mark.parametrize("sasa", [True, False])
@pytest.mark.parametrize("insertion", [False, True])
def test_long_table_of_an_ensemble_equals_annotate_of_every_model(data_dir, tmp_path, sasa, insertion):
    path = data_dir / "1d3z.pdb"
    if insertion:
        path = tmp_path / "1d3z_ins.pdb"
        path.write_text(with_insertion_codes((data_dir / "1d3z.pdb").read_text()))
    expected = annotate(path, models="all", sasa=True).residues.columns
    result = trajectory(path, sasa=sasa, threads=2)
    table = result.per_residue().columns
    assert list(table) == [name for name in FRAMES_RESIDUE_COLUMNS if sasa or name != "accessibility"]
    assert len(table["frame"]) == len(expected["input"]) == 10 * len(result.seq_id)
    assert table["frame"].tolist() == expected["input"].tolist()
    for name in ("chain_id", "seq_id", "insertion_code", "residue_name", "structure"):
        assert table[name].tolist() == expected[name].tolist(), name
    assert ("A" in table["insertion_code"].tolist()) == insertion
    if sasa:
        assert table["rsa"].tobytes() == expected["rsa"].tobytes()
        assert table["accessibility"].tobytes() == expected["accessibility"].tobytes()
        assert np.isfinite(table["rsa"]).mean() > 0.9
    else:
        assert np.isnan(table["rsa"]).all()
    per_frame = result.per_frame().columns
    assert table["time"].tobytes() == np.repeat(per_frame["time"], len(result.seq_id)).tobytes()


def test_frames_command_writes_the_long_table_of_an_ensemble(data_dir, tmp_path):
    pyarrow_parquet = pytest.importorskip("pyarrow.parquet")
    path = tmp_path / "1d3z_ins.pdb"
    path.write_text(with_insertion_codes((data_dir / "1d3z.pdb").read_text()))
    out = tmp_path / "long.parquet"
    run = subprocess.run([sys.executable, "-m", "tarnix_tools", "frames", str(path), "--per", "residue", "--sasa",
                          "-o", str(out)], capture_output=True, timeout=120)
    assert run.returncode == 0, run.stderr
    written = pyarrow_parquet.read_table(out)
    assert written.column_names == list(FRAMES_RESIDUE_COLUMNS)
    expected = annotate(path, models="all", sasa=True).residues.columns
    assert written["insertion_code"].to_pylist() == expected["insertion_code"].tolist()
    assert written["rsa"].to_numpy().astype("<f4").tobytes() == expected["rsa"].tobytes()
    assert np.isnan(written["time"].to_numpy()).all()


def test_residue_ticks_fall_at_round_numbers_in_each_chain():
    # A 141-residue chain, a 146-residue chain numbered from -5 with an insertion 20A, and a
    # nine-residue chain numbered in odd steps (no multiple of its step: its first residue).
    chains = ["A"] * 141 + ["B"] * 147 + ["C"] * 9
    numbers = list(range(1, 142)) + [*range(-5, 21), 20, *range(21, 141)] + list(range(1, 18, 2))
    insertions = [""] * 141 + [""] * 26 + ["A"] + [""] * 120 + [""] * 9
    fake = Frames(np.zeros((1, len(chains)), "S1"), np.zeros((1, len(chains)), "S1"), *[None] * 3,
                  np.zeros(1), np.zeros(1, np.int64), np.array(chains), np.array(numbers, np.int32),
                  np.array(["ALA"] * len(chains)), insertion_code=np.array(insertions))

    class Axes:
        def set_yticks(self, ticks, labels, **_):
            self.ticks, self.labels = list(ticks), list(labels)

        def axhline(self, y, **_):
            self.lines = [*getattr(self, "lines", []), y]

    axes = Axes()
    _residue_ticks(axes, fake)
    assert axes.labels == [f"A:{n}" for n in range(20, 141, 20)] + [f"B:{n}" for n in (0, 20, *range(40, 141, 20))] \
        + ["C:1"]
    assert [numbers[i] for i in axes.ticks] == [int(label.split(":")[1]) for label in axes.labels]
    assert insertions[axes.ticks[8]] == "" and chains[axes.ticks[8]] == "B"
    assert axes.lines == [140.5, 287.5]


def test_a_topology_with_insertion_codes_gives_them_to_every_frame(written, tmp_path):
    paths, topology = written
    renumbered = tmp_path / "1ubq_ins.pdb"
    renumbered.write_text(with_insertion_codes(topology.read_text()))
    table = trajectory(paths["dcd"], renumbered, sasa=True).per_residue().columns
    expected = annotate(renumbered, sasa=True).residues.columns
    assert "A" in expected["insertion_code"].tolist()
    for name in ("seq_id", "insertion_code"):
        assert table[name].tolist() == np.tile(expected[name], FRAMES).tolist(), name
