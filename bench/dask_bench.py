"""annotate_to_parquet on a local Dask cluster: scaling from one worker to two, and the overhead
against a plain annotate on the same files.

    python bench/dask_bench.py [--files 1000] [--files-per-task 50] [--repeats 3]

Each worker is a single-threaded process. Prints files/s with 1 and 2 workers (clusters started
outside the timing), their ratio, files/s of annotate(threads=2) writing the same two Parquet
tables, and the cluster's overhead against it. Medians over the repeats.
"""
import argparse
import pathlib
import tempfile

import pyarrow as pa
import pyarrow.parquet as pq
from distributed import Client, LocalCluster

import tarnix_tools
from tarnix_tools.dask import annotate_to_parquet
from timing import median_seconds

STRUCTURES = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "structures"


def corpus(count):
    files = sorted(str(p) for p in STRUCTURES.iterdir() if p.suffix in {".pdb", ".cif"})
    return [files[i % len(files)] for i in range(count)]




def plain(paths, out):
    annotation = tarnix_tools.annotate(paths, threads=2)
    pq.write_table(pa.table(annotation.residues.columns), f"{out}/residues.parquet")
    pq.write_table(pa.table(annotation.structures.columns), f"{out}/structures.parquet")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--files", type=int, default=1000)
    parser.add_argument("--files-per-task", type=int, default=50)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    paths = corpus(args.files)
    figures = {}
    with tempfile.TemporaryDirectory() as out:
        for workers in (1, 2):
            with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                              dashboard_address=None) as cluster, Client(cluster) as client:
                annotate_to_parquet(paths[:8], out, client=client, files_per_task=4, replace=True)  # warm up
                figures[workers] = median_seconds(
                    lambda: annotate_to_parquet(paths, out, client=client, files_per_task=args.files_per_task,
                                                replace=True),
                    args.repeats)
            print(f"{workers} worker(s): {len(paths) / figures[workers]:7.1f} files/s")
        local = median_seconds(lambda: plain(paths, out), args.repeats)
    print(f"2 workers / 1 worker: {figures[1] / figures[2]:.2f}x")
    print(f"annotate(threads=2) + Parquet: {len(paths) / local:7.1f} files/s")
    print(f"cluster overhead against it: {100 * (figures[2] / local - 1):+.1f} %")


if __name__ == "__main__":
    main()
