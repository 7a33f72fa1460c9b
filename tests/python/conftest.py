import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
DATA = REPO / "tests" / "data"
STRUCTURES = REPO.parent / "shared" / "data" / "structures"


@pytest.fixture(scope="session")
def data_dir():
    """The small real files the repository carries (see tests/data/MANIFEST.tsv)."""
    return DATA


@pytest.fixture(scope="session")
def structures_dir():
    """The full corpus beside the repository, for checks over all of it."""
    if not STRUCTURES.is_dir():
        pytest.skip(f"shared corpus not found at {STRUCTURES}")
    return STRUCTURES


def residue_fields(residue):
    """Every attribute of a ResidueInfo, for comparing results field by field."""
    return (residue.index, residue.chain_id, residue.seq_id, residue.amino_acid, residue.structure,
            residue.structure_c3, residue.phi, residue.psi, residue.accessibility)
