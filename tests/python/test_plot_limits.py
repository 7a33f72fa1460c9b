"""tarnix plot refuses pictures beyond its documented limits, quickly and in one line, and builds the
frames of many models in memory linear in models x residues."""

import pathlib
import subprocess
import sys
import tracemalloc
from types import SimpleNamespace

import numpy as np
import pytest

from tarnix_tools import _checks
from tarnix_tools._frames import models_as_frames

pytest.importorskip("matplotlib")
DATA = pathlib.Path(__file__).resolve().parents[1] / "data"


def tarnix(*args, cwd):
    return subprocess.run([sys.executable, "-m", "tarnix_tools", *map(str, args)], capture_output=True, cwd=cwd,
                          timeout=120)


def chains_cif(path, chains):
    """Four-residue chains of ubiquitin, each numbered on from the one before: every chain a panel."""
    atoms = [line for line in (DATA / "1ubq.pdb").read_text().splitlines()
             if line.startswith("ATOM") and int(line[22:26]) <= 4]
    names = ("group_PDB", "id", "label_atom_id", "label_comp_id", "label_asym_id", "label_seq_id", "Cartn_x",
             "Cartn_y", "Cartn_z", "auth_seq_id", "auth_asym_id", "pdbx_PDB_model_num")
    rows = ["data_x", "loop_", *(f"_atom_site.{name}" for name in names)]
    for chain in range(chains):
        for line in atoms:
            seq = int(line[22:26]) + 4 * chain
            x, y, z = (float(line[30 + 8 * k:38 + 8 * k]) + 30 * (chain // 10 ** k % 10) for k in range(3))
            rows.append(f"ATOM {len(rows)} {line[12:16].strip()} {line[17:20]} C{chain} {seq} {x:.3f} {y:.3f} "
                        f"{z:.3f} {seq} C{chain} 1")
    path.write_text("\n".join(rows) + "\n")
    return path


@pytest.mark.parametrize("args, message", [
    (["--dpi", 100000], "--dpi must be at most 1,200"),
    (["--dpi", 10**20], "--dpi must be at most 1,200"),
    (["--dpi", 0], "--dpi must be at least 1"),
    ([DATA / "4hhb.pdb", "--dpi", 1200], "pixels"),
    (["chains", "-o", "c.png"], f"more panels than the {_checks.MAX_PANELS} drawn"),
])
def test_pictures_beyond_the_limits_are_usage_errors(tmp_path, args, message):
    if args[0] == "chains":
        args = [chains_cif(tmp_path / "chains.cif", 1000), *args[1:]]
    elif not isinstance(args[0], pathlib.Path):
        args = [DATA / "1ubq.pdb", *args]
    run = tarnix("plot", *args, cwd=tmp_path)
    lines = run.stderr.decode().splitlines()
    assert run.returncode == 2 and len(lines) == 1 and message in lines[0], lines
    assert list(tmp_path.glob("*.png")) == []


def test_the_largest_panel_count_is_drawn(tmp_path):
    run = tarnix("plot", chains_cif(tmp_path / "chains.cif", 3), "-o", "c.png", cwd=tmp_path)
    assert run.returncode == 0, run.stderr


def png_width(path):
    return int.from_bytes(path.read_bytes()[16:20], "big")


def test_dpi_is_honoured_on_pictures_of_models(tmp_path):
    widths = []
    for dpi in (40, 80):
        assert tarnix("plot", DATA / "2juy_crlf.pdb", "--models", "all", "--dpi", dpi, "-o", f"{dpi}.png",
                      cwd=tmp_path).returncode == 0
        widths.append(png_width(tmp_path / f"{dpi}.png"))
    assert widths[1] == 2 * widths[0]


def test_too_many_frame_cells_are_refused_before_drawing(monkeypatch):
    from tarnix_tools._plot_frames import draw_frames

    codes = np.broadcast_to(np.array(b"H"), (_checks.MAX_CELLS // 100 + 1, 100))  # no memory behind it
    with pytest.raises(_checks.TooLarge, match="cells"):
        draw_frames(SimpleNamespace(codes=codes), "big", "never.png")


def test_models_become_frames_in_memory_linear_in_models_by_residues():
    models, length = 3000, 100
    structures = {"status": np.full(models, "ok"), "model": np.arange(1, models + 1, dtype=np.int32)}
    rng = np.random.default_rng(1)
    residues = {"input": np.repeat(np.arange(models, dtype=np.int32), length),
                "chain_id": np.full(models * length, "A"), "seq_id": np.tile(np.arange(length, dtype=np.int32), models),
                "insertion_code": np.full(models * length, ""), "residue_name": np.full(models * length, "ALA"),
                "structure": rng.choice(list("HE T"), models * length), "phi": rng.random(models * length, np.float32)}
    residues["structure_c3"] = residues["structure"]
    residues["psi"] = residues["accessibility"] = residues["phi"]
    annotation = SimpleNamespace(structures=SimpleNamespace(columns=structures),
                                 residues=SimpleNamespace(columns=residues))
    tracemalloc.start()
    try:
        result = models_as_frames(annotation)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 40 * models * length  # a mask over every residue per model would need 900 MB
    assert result.codes.shape == (models, length)
    assert result.codes[1234].tobytes().decode() == "".join(residues["structure"][1234 * length:1235 * length])
    assert result.frame.tolist() == list(range(1, models + 1))


def test_a_trajectory_beyond_the_cells_drawn_is_refused(tmp_path, monkeypatch, capsys):
    chemfiles = pytest.importorskip("chemfiles")
    from tarnix_tools import cli

    frame = chemfiles.Trajectory(str(DATA / "1ubq.pdb")).read()
    with chemfiles.Trajectory(str(tmp_path / "md.dcd"), "w") as out:
        for _ in range(6):
            out.write(frame)
    monkeypatch.setattr(_checks, "MAX_CELLS", 76 * 5)
    status = cli.main(["plot", str(tmp_path / "md.dcd"), "--topology", str(DATA / "1ubq.pdb"), "-o",
                       str(tmp_path / "md.png")])
    assert status == 2 and "6 frames of 76 residues" in capsys.readouterr().err
    assert not (tmp_path / "md.png").exists()
