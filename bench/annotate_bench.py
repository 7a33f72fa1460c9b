"""tarnix_tools.annotate against assign_batch on the same files, plain against gzip, and the
size and conversion cost of its tables.

    python bench/annotate_bench.py [--files 1000] [--repeats 3] [--threads 2]

Prints, with medians over the repeats (peers timed alternately in the same process):
- files/s of annotate and of tarnix.assign_batch on the same corpus files, and their ratio;
- annotate on gzip copies of the same files against the plain files (time ratio);
- bytes per residue held by the result's columns (both tables, arrays only);
- to_arrow() on a table of at least a million residues, as a share of the time annotate took
  to compute that many residues.
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


if __name__ == "__main__":
    main()
