import pathlib

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
STRUCTURES = REPO.parent / "shared" / "data" / "structures"


@pytest.fixture(scope="session")
def structures_dir():
    if not STRUCTURES.is_dir():
        pytest.skip(f"real structures not found at {STRUCTURES}")
    return STRUCTURES
