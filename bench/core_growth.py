"""Growth of assign_from_coords with size, on copies of real chains packed side by side.

Run: python bench/core_growth.py [--runs N]
Copies of a real chain sit on a lattice as tightly as they fit (no two CA atoms of
neighbouring copies closer than 4.5 A), so that neighbouring copies interact. For each size the script prints the median time over
several runs, residues/s, and the peak memory the call added, per residue (each size
runs in a fresh process so that the peak belongs to that size alone). Linear growth
means residues/s at 100,000 and 1,000,000 within 30 % of residues/s at 1,000.
"""
import argparse
import json
import statistics
import subprocess
import sys
import time

import numpy as np

import tarnix

from core_backbones import STRUCTURES, pdb_backbone

SOURCE = "3enl.pdb"  # enolase, one chain of 436 residues, helices and strands
SIZES = (100, 1_000, 10_000, 100_000, 1_000_000)
CONTACT = 4.5  # closest CA-CA distance allowed between neighbouring copies
STEP = 0.25
NEIGHBOURS = [np.array(o) - 1 for o in np.ndindex(3, 3, 3) if tuple(np.array(o) - 1) > (0, 0, 0)]


def too_close(cas, shift):
    """Whether a copy moved by `shift` has a CA within CONTACT of one of the original."""
    moved = cas + shift
    near = cas[np.all((cas >= moved.min(0) - CONTACT) & (cas <= moved.max(0) + CONTACT), axis=1)]
    near_moved = moved[np.all((moved >= cas.min(0) - CONTACT) & (moved <= cas.max(0) + CONTACT), axis=1)]
    if not len(near) or not len(near_moved):
        return False
    return bool((((near[:, None] - near_moved[None]) ** 2).sum(-1) < CONTACT * CONTACT).any())


def lattice_spacing(cas):
    """Per axis, the spacing at which copies coming from afar first touch (STEP
    increments); then widened until no neighbour, diagonals included, comes too close."""
    spacing = np.zeros(3)
    for axis in range(3):
        spacing[axis] = np.ptp(cas[:, axis]) + CONTACT
        unit = np.eye(3)[axis]
        while not too_close(cas, (spacing[axis] - STEP) * unit):
            spacing[axis] -= STEP
    while any(too_close(cas, spacing * o) for o in NEIGHBOURS):
        spacing += STEP
    return spacing


def packed_backbone(size):
    """The first `size` residues of copies of one real chain on a lattice, each copy as
    close to its neighbours as it fits, so that neighbouring copies interact."""
    chain = pdb_backbone(STRUCTURES / SOURCE).astype(np.float64)
    spacing = lattice_spacing(chain[:, 1])
    count = -(-size // len(chain))
    side = int(np.ceil(count ** (1 / 3)))
    copies = [chain + spacing * np.array([k % side, k // side % side, k // (side * side)]) for k in range(count)]
    return np.ascontiguousarray(np.concatenate(copies)[:size], dtype=np.float32)


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_peak_rss():
    """Lower the recorded peak to the current size (Linux: clear_refs 5)."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")


def measure(size, runs):
    coords = packed_backbone(size)
    tarnix.assign_from_coords(coords[:50], calculate_sasa=False)
    reset_peak_rss()
    baseline = status_kib("VmRSS")
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = tarnix.assign_from_coords(coords, calculate_sasa=False)
        times.append(time.perf_counter() - start)
        del result
    return {"size": size, "seconds": statistics.median(times), "peak_kib": status_kib("VmHWM") - baseline}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--one", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        print(json.dumps(measure(args.one, args.runs)))
        return 0
    print(f"{'residues':>9} {'median s':>10} {'residues/s':>12} {'peak B/residue':>15}")
    rates = {}
    for size in SIZES:
        child = subprocess.run([sys.executable, __file__, "--one", str(size), "--runs", str(args.runs)],
                               check=True, capture_output=True, text=True)
        m = json.loads(child.stdout)
        rates[size] = size / m["seconds"]
        print(f"{size:9d} {m['seconds']:10.4f} {rates[size]:12.0f} {1024 * m['peak_kib'] / size:15.0f}")
    for large in (100_000, 1_000_000):
        print(f"residues/s at {large:,} / at 1,000 = {rates[large] / rates[1_000]:.2f} (linear growth: 0.70 or more)")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
