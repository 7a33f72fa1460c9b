"""Peak memory of `tarnix annotate --from-list ... -o out.parquet` as the list grows.

Each run is its own process; its peak resident memory comes from wait4. The peer, in the
same run, is the whole-table way: `annotate(list).residues.write(out.parquet)` in one
process, which holds every residue row at once.

    python bench/cli_memory.py [--sizes 2500 5000 10000 20000] [--peer-sizes 2500 5000] [--sasa]
"""

import argparse
import os
import pathlib
import subprocess
import sys
import tempfile
import time

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "structures"
STRUCTURE_SUFFIXES = (".pdb", ".ent", ".cif", ".mmcif", ".gz")


def run_measured(command):
    """(seconds, peak resident MiB) of a child process."""
    with tempfile.TemporaryFile() as stderr:  # failures are listed: a pipe could fill up
        started = time.perf_counter()
        child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=stderr)
        _, status, usage = os.wait4(child.pid, 0)
        seconds = time.perf_counter() - started
        if os.waitstatus_to_exitcode(status) not in (0, 1):  # 1: some corpus files fail by design
            stderr.seek(0)
            raise SystemExit(f"{command} failed:\n{stderr.read().decode()}")
    return seconds, usage.ru_maxrss / 1024


def parquet_rows(path):
    import pyarrow.parquet as pq
    return pq.ParquetFile(path).metadata.num_rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[2500, 5000, 10000, 20000])
    parser.add_argument("--peer-sizes", type=int, nargs="+", default=[2500, 5000])
    parser.add_argument("--sasa", action="store_true", help="also compute accessibility (slower)")
    parser.add_argument("--threads", type=int, default=2)
    options = parser.parse_args()

    files = sorted(str(p) for p in CORPUS.iterdir() if p.name.lower().endswith(STRUCTURE_SUFFIXES))
    sasa_flag = [] if options.sasa else ["--no-sasa"]
    print(f"corpus: {len(files)} files repeated; threads {options.threads}; "
          f"accessibility {'on' if options.sasa else 'off'}")
    print(f"{'inputs':>8} {'what':<34} {'residues':>11} {'seconds':>8} {'peak MiB':>9}")
    with tempfile.TemporaryDirectory() as scratch:
        for size in sorted(set(options.sizes) | set(options.peer_sizes)):
            listing = pathlib.Path(scratch, f"list-{size}.txt")
            listing.write_text("".join(files[i % len(files)] + "\n" for i in range(size)))
            out = pathlib.Path(scratch, "out.parquet")
            runs = []
            if size in options.sizes:
                runs.append(("tarnix annotate (streamed)",
                             [sys.executable, "-m", "tarnix_tools", "annotate", "--from-list", str(listing),
                              "-o", str(out), "-q", "-j", str(options.threads), *sasa_flag]))
            if size in options.peer_sizes:
                code = ("import sys, tarnix_tools; paths = open(sys.argv[1]).read().split(); "
                        "tarnix_tools.annotate(paths, threads=int(sys.argv[3]), sasa=sys.argv[4] == '1')"
                        ".residues.write(sys.argv[2])")
                runs.append(("annotate(list).residues.write",
                             [sys.executable, "-c", code, str(listing), str(out), str(options.threads),
                              "1" if options.sasa else "0"]))
            for label, command in runs:
                seconds, peak = run_measured(command)
                print(f"{size:>8} {label:<34} {parquet_rows(out):>11,} {seconds:>8.1f} {peak:>9.0f}",
                      flush=True)
                out.unlink()


if __name__ == "__main__":
    main()
