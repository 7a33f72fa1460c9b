"""Speed and memory of frames() and trajectory() next to their peers, measured in the same run.

A protein of 300 residues (the first 300 of haemoglobin's backbone, tests/data/4hhb.pdb), moved
about at random for every frame, gives:

1. frames() on 2 threads against a Python loop of tarnix.assign_from_coords over the same frames;
2. trajectory() on an XTC file against chemfiles reading the frames alone plus frames() on the
   array it made;
3. the memory (each in a process of its own) of iter_trajectory over a long and a ten times
   shorter XTC file, beside chemfiles reading the same frames alone: the largest anonymous
   memory seen (the program's own) and the peak RSS, which also counts the pages of the file
   that chemfiles maps into memory.

    python bench/frames_bench.py [--frames 10000] [--long-frames 100000] [--passes 3]

Times are medians of --passes runs, taken in turns. No accessibility (the default of frames()).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
RESIDUES = 300
BACKBONE = ("N", "CA", "C", "O")

# Prints frames read, the largest anonymous memory seen after a chunk (kB) and the peak RSS (kB).
# chemfiles maps an XTC file into memory, so that its pages read count in RSS as file-backed
# memory: the peak RSS grows with the file, the anonymous memory (the program's own) does not.
MEMORY_CODE = r"""
import re, sys, warnings
warnings.filterwarnings("ignore")
def status(field):
    return int(re.search(field + r":\s+(\d+)", open("/proc/self/status").read()).group(1))
count, anonymous = 0, 0
if sys.argv[3] == "tarnix":
    from tarnix_tools import iter_trajectory
    for chunk in iter_trajectory(sys.argv[1], sys.argv[2], threads=2):
        count += len(chunk)
        anonymous = max(anonymous, status("RssAnon"))
else:
    import chemfiles
    trajectory = chemfiles.Trajectory(sys.argv[1])
    trajectory.set_topology(sys.argv[2])
    for step in range(trajectory.nsteps):
        trajectory.read_step(step).positions
        count += 1
        if count % 256 == 0:
            anonymous = max(anonymous, status("RssAnon"))
print(count, anonymous, status("VmHWM"))
"""


def backbone():
    import chemfiles

    frame = chemfiles.Trajectory(str(ROOT / "tests" / "data" / "4hhb.pdb")).read()
    names = [atom.name for atom in frame.atoms]
    coords, residue_names, chains = [], [], []
    for residue in frame.topology.residues:
        where = {names[i]: i for i in residue.atoms}
        if all(atom in where for atom in BACKBONE):
            coords.append([frame.positions[where[atom]] for atom in BACKBONE])
            residue_names.append(residue.name)
            chains.append(residue["chainid"])
    return np.array(coords[:RESIDUES], dtype=np.float32), residue_names[:RESIDUES], chains[:RESIDUES]


def moved(coords, count, seed=1):
    rng = np.random.default_rng(seed)
    return (coords[None] + rng.normal(0.0, 0.3, (count, *coords.shape))).astype(np.float32)


def write_files(folder, coords, names, chains, counts):
    """A backbone topology PDB and an XTC file of each length in counts."""
    import chemfiles

    top = folder / "top.pdb"
    lines = []
    for i, (residue, name, chain) in enumerate(zip(coords, names, chains)):
        for atom, (x, y, z) in zip(BACKBONE, residue):
            lines.append(f"ATOM  {len(lines) + 1:5d} {atom:<4s} {name:>3s} {chain:1s}{i + 1:4d}    "
                         f"{x:8.3f}{y:8.3f}{z:8.3f}  1.00  0.00\n")
    top.write_text("".join(lines) + "END\n")
    frame = chemfiles.Trajectory(str(top)).read()
    paths = {}
    rng = np.random.default_rng(2)
    flat = coords.reshape(-1, 3).astype(np.float64)
    for count in counts:
        path = folder / f"md{count}.xtc"
        with chemfiles.Trajectory(str(path), "w") as out:
            for k in range(count):
                frame.positions[:] = flat + rng.normal(0.0, 0.3, flat.shape)
                frame["time"] = float(k)
                out.write(frame)
        paths[count] = path
    return top, paths


def read_with_chemfiles(path, top):
    import chemfiles

    trajectory = chemfiles.Trajectory(str(path))
    trajectory.set_topology(str(top))
    count = trajectory.nsteps
    out = np.empty((count, RESIDUES * 4, 3), dtype=np.float32)
    for k in range(count):
        out[k] = trajectory.read_step(k).positions
    return out.reshape(count, RESIDUES, 4, 3)


def median_times(tasks, passes):
    """Median wall-clock seconds per task, the tasks taking turns; the median CPU seconds of the
    process beside them (on a machine busy with other work, wall time says little of threads)."""
    times = {name: [] for name in tasks}
    cpu = {name: [] for name in tasks}
    for _ in range(passes):
        for name, task in tasks.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            task()
            times[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
    for name in tasks:
        print(f"    ({name}: CPU {statistics.median(cpu[name]):.2f} s)")
    return {name: statistics.median(values) for name, values in times.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--frames", type=int, default=10000)
    parser.add_argument("--long-frames", type=int, default=100000)
    parser.add_argument("--passes", type=int, default=3)
    args = parser.parse_args()

    import warnings

    import chemfiles
    import tarnix

    from tarnix_tools import frames, trajectory

    warnings.filterwarnings("ignore", category=chemfiles.misc.ChemfilesWarning)
    coords, names, chains = backbone()
    stack = moved(coords, args.frames)
    print(f"{RESIDUES} residues, {args.frames} frames, {os.cpu_count()} processors")

    speed = median_times({
        "python loop of assign_from_coords": lambda: [tarnix.assign_from_coords(c, calculate_sasa=False)
                                                      for c in stack],
        "frames(), 1 thread": lambda: frames(stack, threads=1),
        "frames(), 2 threads": lambda: frames(stack, threads=2),
    }, args.passes)
    loop = speed["python loop of assign_from_coords"]
    for name, seconds in speed.items():
        print(f"  {name:38s} {seconds:7.2f} s  {args.frames / seconds:8.0f} frames/s  {loop / seconds:5.2f}x the loop")

    with tempfile.TemporaryDirectory() as folder:
        top, paths = write_files(Path(folder), coords, names, chains, sorted({args.frames, args.long_frames // 10,
                                                                                args.long_frames}))
        xtc = paths[args.frames]
        reading = median_times({
            "chemfiles reading alone": lambda: read_with_chemfiles(xtc, top),
            "chemfiles reading + frames()": lambda: frames(read_with_chemfiles(xtc, top), threads=2),
            "trajectory()": lambda: trajectory(xtc, top, threads=2),
        }, args.passes)
        peer = reading["chemfiles reading + frames()"]
        for name, seconds in reading.items():
            print(f"  {name:38s} {seconds:7.2f} s  {args.frames / seconds:8.0f} frames/s  {seconds / peer:5.2f}x "
                  "reading + frames()")

        anonymous = {}
        for count in (args.long_frames // 10, args.long_frames):
            for reader in ("tarnix", "chemfiles"):
                done = subprocess.run([sys.executable, "-c", MEMORY_CODE, str(paths[count]), str(top), reader],
                                      capture_output=True, text=True, check=True)
                frames_read, anonymous_kb, peak_kb = map(int, done.stdout.split())
                anonymous[count, reader] = anonymous_kb
                name = "iter_trajectory" if reader == "tarnix" else "chemfiles reading alone"
                print(f"  {name:24s} over {frames_read:7d} frames: anonymous memory {anonymous_kb / 1024:7.1f} MiB, "
                      f"peak RSS {peak_kb / 1024:7.1f} MiB (file {os.path.getsize(paths[count]) / 2**20:.0f} MiB)")
        ratio = anonymous[args.long_frames, "tarnix"] / anonymous[args.long_frames // 10, "tarnix"]
        print(f"  iter_trajectory's anonymous memory, {args.long_frames} frames / {args.long_frames // 10}: "
              f"{ratio:.3f}")
    print(json.dumps({"loop_s": loop, "frames_2_threads_speedup": loop / speed["frames(), 2 threads"],
                      "trajectory_vs_reading_plus_frames": reading["trajectory()"] / peer,
                      "memory_ratio": ratio}))


if __name__ == "__main__":
    main()
