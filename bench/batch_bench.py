"""assign_batch throughput with one and two worker threads, against assign called file by file.

    python bench/batch_bench.py [--files 2000] [--repeats 3] [--no-sasa]

The pool size is fixed per process, so every configuration runs in a fresh process. Prints
files/s, residues/s and peak resident memory per configuration, the two-thread speed-up and
the one-thread batch overhead over a plain loop of assign calls.
"""
import argparse
import json
import pathlib
import statistics
import subprocess
import sys

STRUCTURES = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "structures"

WORKER = r"""
import json, resource, sys, time
import tarnix
mode, threads, sasa, repeats, paths = sys.argv[1], int(sys.argv[2]), sys.argv[3] == "1", int(sys.argv[4]), sys.argv[5:]
tarnix.assign_batch(paths[:4], threads, sasa)  # creates the pool outside the timing
times, residues = [], 0
for _ in range(repeats):
    start = time.perf_counter()
    if mode == "batch":
        results = tarnix.assign_batch(paths, threads, sasa)
    else:
        results = []
        for p in paths:
            try:
                results.append(tarnix.assign(p, sasa))
            except ValueError:
                results.append(None)
    times.append(time.perf_counter() - start)
    residues = sum(r.residue_count for r in results if r is not None)
    del results
print(json.dumps({"times": times, "residues": residues,
                  "peak_mib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}))
"""


def corpus(count):
    files = sorted(p for p in STRUCTURES.iterdir() if p.suffix in {".pdb", ".cif"})
    return [str(files[i % len(files)]) for i in range(count)]


def measure(mode, threads, sasa, repeats, paths):
    out = subprocess.run([sys.executable, "-c", WORKER, mode, str(threads), "1" if sasa else "0", str(repeats), *paths],
                         capture_output=True, text=True, check=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--no-sasa", action="store_true")
    args = parser.parse_args()
    paths = corpus(args.files)
    sasa = not args.no_sasa
    print(f"{len(paths)} files from {STRUCTURES}, calculate_sasa={sasa}, median of {args.repeats}")
    rows = {}
    for label, mode, threads in [("assign loop", "loop", 1), ("batch 1 thread", "batch", 1),
                                 ("batch 2 threads", "batch", 2)]:
        m = measure(mode, threads, sasa, args.repeats, paths)
        t = statistics.median(m["times"])
        rows[label] = t
        print(f"{label:16s} {t:7.2f} s  {len(paths) / t:8.1f} files/s  {m['residues'] / t:10.0f} residues/s"
              f"  peak {m['peak_mib']:.0f} MiB")
    print(f"speed-up 2 threads / 1 thread: {rows['batch 1 thread'] / rows['batch 2 threads']:.2f}x")
    print(f"batch 1 thread / assign loop:  {rows['batch 1 thread'] / rows['assign loop']:.3f}")


if __name__ == "__main__":
    main()
