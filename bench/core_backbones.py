"""Backbones (N, CA, C, O) of the real structures, read with plain Python and NumPy."""
import pathlib

import numpy as np

STRUCTURES = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "structures"
BACKBONE = ("N", "CA", "C", "O")


def pdb_backbone(path):
    """(L, 4, 3) float32 backbone of the first model: residues in file order that have all
    four atoms, each atom at its first alternate location."""
    residues = {}
    with open(path, encoding="latin-1") as lines:
        for line in lines:
            if line.startswith("ENDMDL"):
                break
            if not line.startswith(("ATOM  ", "HETATM")):
                continue
            name = line[12:16].strip()
            if name not in BACKBONE:
                continue
            atoms = residues.setdefault((line[21], line[22:27]), {})
            atoms.setdefault(name, (float(line[30:38]), float(line[38:46]), float(line[46:54])))
    rows = [[atoms[name] for name in BACKBONE] for atoms in residues.values() if len(atoms) == 4]
    return np.array(rows, dtype=np.float32).reshape(-1, 4, 3)

