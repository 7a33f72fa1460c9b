"""Secondary-structure codes end to end, on backbones built from ideal geometry."""
import numpy as np
import pytest

import tarnix


def place(a, b, c, length, angle, torsion):
    """Atom d with |cd| = length, angle bcd = angle and torsion abcd = torsion (degrees)."""
    bc = (c - b) / np.linalg.norm(c - b)
    n = np.cross(b - a, bc)
    n /= np.linalg.norm(n)
    m = np.cross(n, bc)
    t, w = np.radians(angle), np.radians(torsion)
    return c - length * np.cos(t) * bc + length * np.sin(t) * (np.cos(w) * m + np.sin(w) * n)


def ideal_backbone(angles):
    """N, CA, C, O per residue from (phi, psi) pairs: standard bond lengths and angles,
    trans peptides, O in the peptide plane."""
    n, ca = np.zeros(3), np.array([1.458, 0.0, 0.0])
    t = np.radians(111.2)
    c = ca + 1.525 * np.array([-np.cos(t), np.sin(t), 0.0])
    atoms = []
    for k, (_, psi) in enumerate(angles):
        atoms.append([n, ca, c, place(n, ca, c, 1.231, 120.5, psi + 180.0)])
        if k + 1 < len(angles):
            n2 = place(n, ca, c, 1.329, 116.2, psi)
            ca2 = place(ca, c, n2, 1.458, 121.7, 180.0)
            c = place(c, n2, ca2, 1.525, 111.2, angles[k + 1][0])
            n, ca = n2, ca2
    return np.array(atoms)


def oriented_strand(length):
    """Extended strand (phi -120, psi 130) along x, carbonyls of even residues along +y."""
    s = ideal_backbone([(-120.0, 130.0)] * length)
    ca = s[:, 1]
    x = (ca[-1] - ca[0]) / np.linalg.norm(ca[-1] - ca[0])
    side = ((s[:, 3] - s[:, 2]) * np.where(np.arange(length) % 2 == 0, 1.0, -1.0)[:, None]).sum(0)
    y = side - side.dot(x) * x
    y /= np.linalg.norm(y)
    return (s - ca.mean(0)) @ np.array([x, y, np.cross(x, y)]).T


def strand_pair(length, parallel):
    """Two strands in one chain; the second lies 4.8 Å (parallel, shifted) or 5.0 Å
    (antiparallel, turned about z through the CA of residue 4) along +y."""
    first = oriented_strand(length)
    second = first.copy()
    if parallel:
        second[..., 1] += 4.8
    else:
        second[..., 0] = 2 * first[4, 1, 0] - first[..., 0]
        second[..., 1] = 5.0 - first[..., 1]
    return np.concatenate([first, second])


def codes(coords):
    return tarnix.assign_from_coords(coords.astype(np.float32), calculate_sasa=False).sequence


@pytest.mark.parametrize("phi, psi, code", [(-57, -47, "H"), (-49, -26, "G"), (-75, 145, "P")])
def test_uniform_backbones(phi, psi, code):
    coords = ideal_backbone([(phi, psi)] * 16)
    assert codes(coords) == " " + code * 14 + " "
    residues = tarnix.assign_from_coords(coords.astype(np.float32)).residues
    assert residues[0].phi is None and residues[-1].psi is None
    assert [r.phi for r in residues[1:]] == pytest.approx([phi] * 15, abs=0.01)
    assert [r.psi for r in residues[:-1]] == pytest.approx([psi] * 15, abs=0.01)


@pytest.mark.parametrize("parallel, expected", [(False, "  EEEEE   EEEEE "), (True, "   EEEE    EEEE ")])
def test_two_strand_sheets(parallel, expected):
    assert codes(strand_pair(8, parallel)) == expected


def test_coil_has_no_helix_or_strand():
    motif = [(-80, 80), (60, 40), (-150, -60), (-70, 160), (80, -170), (-100, 10)]
    assert not set(codes(ideal_backbone(motif * 4))) & set("HGIEB")


@pytest.mark.parametrize("stretch, expected", [(0, ""), (1, "PPPPPPPP"), (3, "PPPPPPPP"), (8, "PPPPPPPP"), (9, ""),
                                               (2**64 - 1, "")])
def test_ppii_stretch_bounds_through_assign(tmp_path, stretch, expected):
    coords = ideal_backbone([(-75.0, 145.0)] * 10)
    lines = []
    for i, residue in enumerate(coords):
        for name, (x, y, z) in zip(("N", "CA", "C", "O"), residue):
            lines.append(f"ATOM  {len(lines) + 1:5d}  {name:<3s} PRO A{i + 1:4d}    {x:8.3f}{y:8.3f}{z:8.3f}  1.00  0.00")
    path = tmp_path / "ppii.pdb"
    path.write_text("\n".join(lines) + "\n")
    result = tarnix.assign(str(path), calculate_sasa=False, ppii_stretch=stretch)
    # residue 0 never starts a stretch and the last residue has no psi
    assert result.sequence.strip() == expected
