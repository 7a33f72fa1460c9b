import os
import subprocess
import sys

import numpy as np
import pytest

import tarnix

# Expanded radii (atom radius plus a 1.4 A probe) as exact single-precision bit patterns.
RADIUS_BITS = {"N": 0x40433333, "CA": 0x405147AE, "C": 0x404A3D70, "O": 0x40333333, "side": 0x404CCCCC}


def full_area(atom):
    r = np.array([RADIUS_BITS[atom]], np.uint32).view(np.float32)[0]
    return r * r * np.float32(12.566371)


def spread_backbones(length):
    """Residues whose atoms all lie 20 A apart along x: no sphere overlaps another."""
    coords = np.zeros((length, 4, 3), np.float32)
    coords[:, :, 0] = np.arange(length * 4, dtype=np.float32).reshape(length, 4) * 20
    return coords


def accessibilities(result):
    return [r.accessibility for r in result.residues]


def test_isolated_backbone_atoms_have_their_full_area():
    expected = ((full_area("N") + full_area("CA")) + full_area("C")) + full_area("O")
    assert expected.dtype == np.float32
    assert accessibilities(tarnix.assign_from_coords(spread_backbones(3))) == [float(expected)] * 3


def test_overlapping_backbones_bury_each_other():
    coords = spread_backbones(3)
    coords[1] = coords[0] + np.float32(1.0)
    isolated = float(((full_area("N") + full_area("CA")) + full_area("C")) + full_area("O"))
    values = accessibilities(tarnix.assign_from_coords(coords))
    assert 0 < values[0] < isolated and 0 < values[1] < isolated
    assert values[2] == isolated


@pytest.mark.parametrize("entry", ["coords", "file", "batch"])
def test_without_sasa_every_value_is_zero(entry, data_dir):
    path = str(data_dir / "1ubq.pdb")
    if entry == "coords":
        coords = spread_backbones(4)
        coords[1] = coords[0]
        result = tarnix.assign_from_coords(coords, calculate_sasa=False)
    elif entry == "file":
        result = tarnix.assign(path, calculate_sasa=False)
    else:
        (result,) = tarnix.assign_batch([path], calculate_sasa=False)
    values = accessibilities(result)
    assert values and all(v == 0.0 for v in values)


@pytest.mark.parametrize("name", ["1ubq.pdb", "1ubq.cif", "1ejg.pdb"])
def test_file_values_are_sane(name, data_dir):
    path = str(data_dir / name)
    values = accessibilities(tarnix.assign(path))
    largest_side_chain = 10
    ceiling = float(full_area("CA")) * (4 + largest_side_chain)
    assert all(0.0 <= v < ceiling for v in values)
    # Small proteins have a buried core and an exposed surface.
    assert min(values) < 20.0 < 100.0 < max(values)
    (batch,) = tarnix.assign_batch([path])
    assert accessibilities(batch) == values


KERNEL_DIGEST = """
import hashlib, sys, numpy as np, tarnix
digest = hashlib.sha256()
for path in sys.argv[1:]:
    digest.update(np.array([r.accessibility for r in tarnix.assign(path).residues], np.float32).tobytes())
print(digest.hexdigest())
"""


def test_every_kernel_the_environment_selects_gives_the_same_bits(data_dir):
    """The module picks its point-test kernel once per process: run each choice in its own."""
    paths = [str(data_dir / name) for name in ("4hhb.pdb", "1ubq.cif", "1ejg.pdb", "2juy_crlf.pdb")]
    digests = set()
    for choice in (None, "avx2", "baseline"):
        env = {k: v for k, v in os.environ.items() if k != "TARNIX_SASA_KERNEL"}
        if choice:
            env["TARNIX_SASA_KERNEL"] = choice
        run = subprocess.run([sys.executable, "-c", KERNEL_DIGEST, *paths], env=env, capture_output=True,
                             text=True, check=True)
        digests.add(run.stdout)
    assert len(digests) == 1
