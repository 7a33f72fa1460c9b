"""Assign secondary structure to a structure file, or to an ideal helix built here.

    python examples/quickstart.py [path/to/structure.pdb|.cif]
"""
import sys

import numpy as np
import numpy.typing as npt

import tarnix


def ideal_helix(length: int) -> npt.NDArray[np.float32]:
    """Backbone N, CA, C, O of an alpha helix (3.6 residues per turn, 1.5 Å rise)."""
    atoms = {  # radius (Å), phase (degrees), height (Å) of each atom relative to its residue
        "N": (1.55, -28.0, -0.8), "CA": (2.3, 0.0, 0.0), "C": (1.6, 27.0, 0.9), "O": (1.9, 33.0, 2.1),
    }
    coords = np.zeros((length, 4, 3), np.float32)
    for i in range(length):
        for a, (radius, phase, height) in enumerate(atoms.values()):
            angle = np.radians(100.0 * i + phase)
            coords[i, a] = (radius * np.cos(angle), radius * np.sin(angle), 1.5 * i + height)
    return coords


if len(sys.argv) > 1:
    result = tarnix.assign(sys.argv[1])
else:
    result = tarnix.assign_from_coords(ideal_helix(20), chain_id="A")

print(result)
print("sequence   :", result.aa_sequence)
print("8-state    :", result.sequence)
print("3-state    :", result.sequence_c3)
for residue in result.residues[:5]:
    print(residue, "phi", residue.phi, "psi", residue.psi, "accessibility", round(residue.accessibility, 1))
