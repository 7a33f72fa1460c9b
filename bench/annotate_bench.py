"""tarnix_tools.annotate against assign_batch on the same files, plain against gzip, and the
size and conversion cost of its tables.

    python bench/annotate_bench.py [--files 1000] [--repeats 3] [--threads 2]

Prints, with medians over the repeats (peers timed alternately in the same process):
- files/s of annotate and of tarnix.assign_batch on the same corpus files, and their ratio;
- annotate on gzip copies of the same files against the plain files (time ratio);
- bytes per residue held by the result's columns (both tables, arrays only);
- to_arrow() on a table of at least a million residues, as a share of the time annotate took
  to compute that many residues;
- one structure of about a million atoms (copies of 1aon side by side, in memory): the
  accessibility phase (the input's own time with minus without, runs alternating, at least
  seven of each) on 1 and on 2 threads.
"""
import argparse
import gzip
import pathlib
import shutil
import statistics
import tempfile
import time

import tarnix
import tarnix_tools
from tarnix_tools import Table
from timing import median_seconds

STRUCTURES = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "structures"


def corpus(count):
    files = sorted(p for p in STRUCTURES.iterdir() if p.suffix in {".pdb", ".cif"})
    return [str(files[i % len(files)]) for i in range(count)]


def timed(call):
    start = time.perf_counter()
    result = call()
    return time.perf_counter() - start, result


def table_bytes(table):
    return sum(array.nbytes for array in table.columns.values())


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    paths = corpus(args.files)
    tarnix.assign_batch(paths[:4], args.threads)  # the pool is created outside the timing

    batch_times, annotate_times = [], []
    for _ in range(args.repeats):
        batch_times.append(timed(lambda: tarnix.assign_batch(paths, args.threads))[0])
        seconds, annotation = timed(lambda: tarnix_tools.annotate(paths, threads=args.threads))
        annotate_times.append(seconds)
    batch, plain = statistics.median(batch_times), statistics.median(annotate_times)
    residues = len(annotation.residues)
    print(f"assign_batch  {len(paths) / batch:8.1f} files/s")
    print(f"annotate      {len(paths) / plain:8.1f} files/s  ({residues / plain:,.0f} residues/s)")
    print(f"annotate / assign_batch files/s: {batch / plain:.3f}")

    with tempfile.TemporaryDirectory() as folder:
        zipped = {}
        for path in sorted(set(paths)):
            target = pathlib.Path(folder) / (pathlib.Path(path).name + ".gz")
            with open(path, "rb") as source, gzip.open(target, "wb", compresslevel=6) as sink:
                shutil.copyfileobj(source, sink)
            zipped[path] = str(target)
        gz_paths = [zipped[p] for p in paths]
        plain_times, gz_times = [], []
        for _ in range(args.repeats):
            plain_times.append(timed(lambda: tarnix_tools.annotate(paths, threads=args.threads))[0])
            gz_times.append(timed(lambda: tarnix_tools.annotate(gz_paths, threads=args.threads))[0])
        print(f"gzip / plain time: {statistics.median(gz_times) / statistics.median(plain_times):.3f}")

    held = table_bytes(annotation.residues) + table_bytes(annotation.structures)
    print(f"result: {held / residues:.1f} bytes per residue ({residues:,} residues, both tables)")

    copies = -(-1_000_000 // residues)
    big = Table.concat([annotation.residues] * copies)
    arrow_seconds = median_seconds(big.to_arrow, args.repeats)
    compute_seconds = plain * copies
    print(f"to_arrow on {len(big):,} residues: {arrow_seconds * 1000:.0f} ms, "
          f"{100 * arrow_seconds / compute_seconds:.2f} % of annotating them ({compute_seconds:.1f} s)")
    one_large_structure(args.repeats)


def tiled(path, copies):
    """Copies of a structure 80 Å apart along x, each copy under chain ids of its own."""
    atoms = [line for line in path.read_text().splitlines() if line.startswith(("ATOM", "HETATM"))]
    ids = [chr(c) for c in range(ord("A"), ord("Z") + 1)] + [chr(c) for c in range(ord("a"), ord("z") + 1)]
    out = []
    for k in range(copies):
        for line in atoms:
            chain = ids[(ids.index(line[21]) + 21 * k) % len(ids)] if line[21] in ids else line[21]
            out.append(f"{line[:21]}{chain}{line[22:30]}{float(line[30:38]) + 80.0 * k:8.3f}{line[38:]}")
    return "\n".join(out).encode() + b"\nEND\n"


def one_large_structure(repeats):
    """The phase is the difference of two timings that each move by several per cent here, so
    the runs with and without it alternate, on 1 and 2 threads in turn, and each run is timed by
    the input's own `seconds` (its worker's time, without the Python around it)."""
    big = ("tiled_1aon.pdb", tiled(STRUCTURES / "1aon.pdb", 17))

    def seconds(threads, sasa):
        return tarnix_tools.annotate([big], threads=threads, sasa=sasa).structures.columns["seconds"][0]

    whole, phase = {1: [], 2: []}, {1: [], 2: []}
    for _ in range(max(repeats, 7)):
        for threads in (1, 2):
            with_sasa = seconds(threads, True)
            whole[threads].append(with_sasa)
            phase[threads].append(with_sasa - seconds(threads, False))
    for threads in (1, 2):
        print(f"one structure, {threads} thread(s): whole {statistics.median(whole[threads]):.2f} s, "
              f"accessibility phase {statistics.median(phase[threads]):.3f} s")
    print(f"accessibility phase, 2 threads against 1: "
          f"{statistics.median(phase[1]) / statistics.median(phase[2]):.2f}x")


if __name__ == "__main__":
    main()
