"""Replays the seeds and the kept regression inputs of the Python fuzz harnesses (fuzz/*.py)."""
import importlib
import pathlib
import sys

import pytest

FUZZ = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
HARNESSES = {"tar": "tar_reader_fuzz", "inputs": "input_expansion_fuzz", "writers": "writers_fuzz",
             "bcif_text": "bcif_text_fuzz"}
CASES = [(folder, path) for folder in HARNESSES for kind in ("seeds", "regressions")
         for path in sorted((FUZZ / kind / folder).glob("*"))]


@pytest.mark.parametrize("folder, path", CASES, ids=[f"{f}/{p.parent.parent.name}/{p.name}" for f, p in CASES])
def test_fuzz_input_passes_its_harness(folder, path):
    if folder == "writers":
        pytest.importorskip("atheris", reason="the writers harness draws its columns with atheris")
    sys.path.insert(0, str(FUZZ))
    try:
        harness = importlib.import_module(HARNESSES[folder])
    finally:
        sys.path.remove(str(FUZZ))
    harness.check(path.read_bytes())
