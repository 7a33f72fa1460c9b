import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
STRUCTURES = REPO.parent / "shared" / "data" / "structures"


@pytest.fixture(scope="session")
def structures_dir():
    if not STRUCTURES.is_dir():
        pytest.skip(f"real structures not found at {STRUCTURES}")
    return STRUCTURES


def residue_fields(residue):
    """Every attribute of a ResidueInfo, for comparing results field by field."""
    return (residue.index, residue.chain_id, residue.seq_id, residue.amino_acid, residue.structure,
            residue.structure_c3, residue.phi, residue.psi, residue.accessibility)
