import os
import resource

import numpy as np
import pytest

import tarnix
from conftest import residue_fields


def backbone(length, seed=0):
    """A rough chain: consecutive residues 3.8 Å apart along x, atoms jittered."""
    rng = np.random.default_rng(seed)
    coords = np.zeros((length, 4, 3), np.float32)
    coords[:, :, 0] = np.arange(length, dtype=np.float32)[:, None] * 3.8
    coords += rng.normal(scale=0.7, size=coords.shape).astype(np.float32)
    return coords


def test_empty_array_gives_empty_result():
    result = tarnix.assign_from_coords(np.zeros((0, 4, 3), np.float32))
    assert (result.sequence, result.sequence_c3, result.aa_sequence, result.structure_id) == ("", "", "", "")
    assert result.residue_count == 0 and len(result) == 0 and not result
    assert result.residues == []
    assert repr(result) == "TarnixResult(id='', residues=0, sequence='')"


def test_coordinate_path_fills_identity_fields():
    result = tarnix.assign_from_coords(backbone(6), chain_id="XY")
    assert result.aa_sequence == "AAAAAA"
    assert result.structure_id == ""
    assert [r.seq_id for r in result.residues] == [1, 2, 3, 4, 5, 6]
    assert [r.index for r in result.residues] == list(range(6))
    assert {r.chain_id for r in result.residues} == {"XY"}
    assert result.residues[0].phi is None
    assert len(result.sequence) == len(result.sequence_c3) == result.residue_count == 6
    assert tarnix.assign_from_coords(backbone(2), chain_id="").residues[0].chain_id == ""


@pytest.mark.parametrize("length, shown", [(50, " " * 50), (51, " " * 50 + "...")])
def test_repr_shows_at_most_fifty_codes(length, shown):
    result = tarnix.assign_from_coords(np.full((length, 4, 3), np.nan, np.float32), calculate_sasa=False)
    assert repr(result) == f"TarnixResult(id='', residues={length}, sequence='{shown}')"


def test_residues_are_fresh_copies_on_every_access():
    result = tarnix.assign_from_coords(backbone(4))
    first, second = result.residues, result.residues
    assert first is not second and first[0] is not second[0]
    assert [residue_fields(r) for r in first] == [residue_fields(r) for r in second]
    first.clear()
    assert len(result.residues) == 4
    kept = result.residues[2]
    del result
    assert kept.index == 2


def test_residue_repr_and_floats_are_exact_singles():
    residue = tarnix.assign_from_coords(backbone(5, seed=3), chain_id="A", calculate_sasa=False).residues[1]
    assert repr(residue) == "ResidueInfo(A:2, A, " + residue.structure + ")"
    assert residue.accessibility == 0.0
    assert residue.phi is None or float(np.float32(residue.phi)) == residue.phi


def test_residue_repr_shows_file_residues_as_read(tmp_path):
    lines = []
    for k, (seq_id, name) in enumerate([(-3, "GLY"), (5, "GLY"), (6, "SER")]):
        for serial, (atom, x, y) in enumerate([(" N  ", 0.0, 0.0), (" CA ", 1.46, 0.0), (" C  ", 2.0, 1.4),
                                               (" O  ", 1.3, 2.4)], start=4 * k + 1):
            lines.append(f"ATOM  {serial:5d} {atom} {name} A{seq_id:4d}    {20.0 * k + x:8.3f}{y:8.3f}{0.0:8.3f}"
                         f"  1.00  0.00           {atom.strip()[0]}")
    path = tmp_path / "isolated.pdb"
    path.write_text("\n".join(lines) + "\n")
    residues = tarnix.assign(str(path), False).residues
    assert [repr(r) for r in residues] == ["ResidueInfo(A:-3, G,  )", "ResidueInfo(A:5, G,  )", "ResidueInfo(A:6, S,  )"]


def test_classes_have_no_constructor_setters_or_dict():
    with pytest.raises(TypeError, match="^No constructor defined for TarnixResult$"):
        tarnix.TarnixResult()
    with pytest.raises(TypeError, match="^No constructor defined for ResidueInfo$"):
        tarnix.ResidueInfo()
    result = tarnix.assign_from_coords(backbone(3))
    residue = result.residues[0]
    for obj, name in [(result, "sequence"), (residue, "phi")]:
        with pytest.raises(AttributeError):
            setattr(obj, name, "x")
    for obj in (result, residue):
        with pytest.raises(AttributeError):
            obj.extra = 1
        assert not hasattr(obj, "__dict__")
    assert [n for n in vars(tarnix.TarnixResult) if not n.startswith("__")] == [
        "sequence", "sequence_c3", "aa_sequence", "structure_id", "residue_count", "residues"]
    assert tarnix.TarnixResult.sequence_c3.__doc__ == "Secondary structure sequence (C3: H, E, -)"
    assert tarnix.ResidueInfo.phi.__doc__ is None


@pytest.mark.parametrize(
    "view",
    [
        lambda c: np.asfortranarray(c),
        lambda c: c[::-1].copy()[::-1],
        lambda c: np.repeat(c, 2, axis=2)[:, :, ::2],
        lambda c: np.ascontiguousarray(c[:, ::-1, ::-1])[:, ::-1, ::-1],
    ],
)
def test_strided_arrays_are_read_in_place(view):
    coords = backbone(12, seed=5)
    alias = view(coords)
    assert not alias.flags.c_contiguous or alias.base is not None
    expected = tarnix.assign_from_coords(coords)
    got = tarnix.assign_from_coords(alias)
    assert got.sequence == expected.sequence
    assert [residue_fields(r) for r in got.residues] == [residue_fields(r) for r in expected.residues]


def test_non_finite_coordinates_pass_through():
    coords = backbone(8)
    coords[3, 1, 0] = np.nan
    coords[5, 0, 2] = np.inf
    result = tarnix.assign_from_coords(coords)
    assert result.residue_count == 8


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer allocator holds freed memory")
def test_repeated_calls_do_not_leak():
    coords = backbone(6)

    def run(times):
        for _ in range(times):
            result = tarnix.assign_from_coords(coords, "A", True)
            residues = result.residues
            repr(result), [repr(r) for r in residues], residues[0].phi, residues[-1].psi

    run(20_000)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    run(100_000)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grown_kib < 2048, f"resident memory grew by {grown_kib} KiB"
