"""Reading speed and peak memory of the tarnix structure readers.

Runs each reader over the plain-text files of the shared corpus and over one large
generated file per format (ATOM lines, or _atom_site rows, of several corpus files
repeated; written to a temporary directory and deleted afterwards), next to a plain scan
of the same bytes, `grep -c ^ATOM` on them, and biotite's PDB and mmCIF readers. Every
measurement runs in its own process so that peak RSS belongs to it alone. The tools take
turns round by round (`--passes` rounds), and times are medians. Each section ends with the
reader's speed as a share of the line scan's and of grep's.

    python bench/read_bench.py [--passes 5] [--large-mb 200] [--no-biotite-large]

The C++ driver is built with CMake option TARNIX_BUILD_BENCH=ON in build-bench/.
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

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT.parent / "shared" / "data" / "structures"
BUILD = ROOT / "build-bench"
DRIVER = BUILD / "tarnix_read_bench"

BIOTITE_CODE = r"""
import json, re, statistics, sys, time
import biotite.structure.io.pdb as pdb
import biotite.structure.io.pdbx as pdbx
mode, passes, files = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
def read(path):
    if mode == "pdb":
        return pdb.PDBFile.read(path).get_structure(model=1)
    return pdbx.get_structure(pdbx.CIFFile.read(path), model=1)
times, failures = [], 0
for _ in range(passes):
    failures = 0
    start = time.perf_counter()
    for path in files:
        try:
            read(path)
        except Exception:
            failures += 1
    times.append(time.perf_counter() - start)
size = sum(__import__("os").path.getsize(f) for f in files)
median = statistics.median(times)
print(json.dumps({"mode": "biotite-" + mode, "bytes": size, "median_s": median,
                  "mb_per_s": size / 1e6 / median,
                  "peak_rss_kb": int(re.search(r"VmHWM:\s+(\d+)", open("/proc/self/status").read()).group(1)),
                  "failures": failures}))
"""


def build_driver():
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja", "-DTARNIX_BUILD_PYTHON=OFF",
                    "-DTARNIX_BUILD_BENCH=ON"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "-j2", "--target", "tarnix_read_bench"], check=True,
                   stdout=subprocess.DEVNULL)


def run_json(command):
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def driver(mode, passes, files):
    return run_json([str(DRIVER), mode, str(passes), *map(str, files)])


def biotite(mode, passes, files):
    return run_json([sys.executable, "-c", BIOTITE_CODE, mode, str(passes), *map(str, files)])


def grep(files):
    """One pass of `grep -c ^ATOM` over the files, the plainest tool a user would time the bytes with."""
    start = time.perf_counter()
    # Through a pipe: with its output on /dev/null grep stops at the first match.
    subprocess.run(["grep", "-c", "^ATOM", *map(str, files)], stdout=subprocess.PIPE, check=False)
    seconds = time.perf_counter() - start
    size = sum(os.path.getsize(f) for f in files)
    return {"mode": "grep ^ATOM", "bytes": size, "median_s": seconds, "mb_per_s": size / 1e6 / seconds,
            "peak_rss_kb": 0}


def interleaved(reader, rounds, files):
    """The reader, the line reader, the plain scan and grep in turn, round after round, so that
    a change of load on a shared machine falls on all of them alike; medians per tool. In each
    round a driver takes the median of three passes, which run in one process as a program
    reading many files would."""
    runs = {}
    for _ in range(rounds):
        for mode in (reader, "lines", "scan", "grep"):
            runs.setdefault(mode, []).append(grep(files) if mode == "grep" else driver(mode, 3, files))
    results = []
    for mode_runs in runs.values():
        result = dict(mode_runs[0])
        result["median_s"] = statistics.median(r["median_s"] for r in mode_runs)
        result["mb_per_s"] = result["bytes"] / 1e6 / result["median_s"]
        result["peak_rss_kb"] = max(r["peak_rss_kb"] for r in mode_runs)
        results.append(result)
    return results


def atom_site_layout(text):
    """The _atom_site item lines and the rows of a one-row-per-line mmCIF atom table."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("_atom_site."))
    end = start
    while end < len(lines) and lines[end].startswith("_atom_site."):
        end += 1
    rows = []
    for line in lines[end:]:
        if line.startswith(("#", "_", "loop_")):
            break
        rows.append(line)
    return tuple(lines[start:end]), rows


def make_large_files(directory, megabytes):
    target = megabytes * 1_000_000
    pdb_lines = []
    for name in ["1aon.pdb", "2btv.pdb", "1vln_triclinic.pdb", "1igy.pdb"]:
        with open(DATA / name) as f:
            pdb_lines += [line for line in f if line.startswith(("ATOM  ", "HETATM"))]
    pdb_block = "".join(pdb_lines)
    large_pdb = directory / "large.pdb"
    with open(large_pdb, "w") as f:
        for _ in range(target // len(pdb_block) + 1):
            f.write(pdb_block)

    layouts = {}
    for path in sorted(DATA.glob("*.cif")):
        try:
            items, rows = atom_site_layout(path.read_text())
        except StopIteration:
            continue
        layouts.setdefault(items, []).extend(rows)
    items, rows = max(layouts.items(), key=lambda kv: len(kv[1]))
    cif_block = "\n".join(rows) + "\n"
    large_cif = directory / "large.cif"
    with open(large_cif, "w") as f:
        f.write("data_LARGE\n#\nloop_\n" + "\n".join(items) + "\n")
        for _ in range(target // len(cif_block) + 1):
            f.write(cif_block)
        f.write("#\n")
    return large_pdb, large_cif


def report(title, results):
    base = next(r for r in results if r["mode"] in ("pdb", "mmcif"))
    print(f"\n{title}: {base['bytes'] / 1e6:.1f} MB")
    print(f"  {'tool':<16}{'MB/s':>9}{'peak RSS MB':>13}{'time vs tarnix':>16}{'failures':>10}")
    for r in results:
        ratio = r["median_s"] / base["median_s"]
        rss = f"{r['peak_rss_kb'] / 1024:.1f}" if r["peak_rss_kb"] else "-"
        print(f"  {r['mode']:<16}{r['mb_per_s']:>9.1f}{rss:>13}{ratio:>15.2f}x{r.get('failures', 0):>10}")
    shares = [f"{base['mb_per_s'] / r['mb_per_s']:.2f} of {r['mode']}"
              for r in results if r["mode"] in ("scan", "grep ^ATOM")]
    print(f"  {base['mode']} speed: " + ", ".join(shares))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passes", type=int, default=5)
    parser.add_argument("--large-mb", type=int, default=200)
    parser.add_argument("--no-biotite-large", action="store_true", help="skip biotite on the large files")
    args = parser.parse_args()

    build_driver()
    pdb_files = sorted(p for p in DATA.iterdir() if p.suffix in (".pdb", ".ent"))
    cif_files = sorted(DATA.glob("*.cif"))
    for title, mode, files in [("corpus PDB files", "pdb", pdb_files), ("corpus mmCIF files", "mmcif", cif_files)]:
        results = interleaved(mode, args.passes, files)
        results.append(biotite(mode, max(1, args.passes // 2), files))
        report(f"{title} ({len(files)})", results)

    with tempfile.TemporaryDirectory(prefix="tarnix-bench-") as tmp:
        large_pdb, large_cif = make_large_files(Path(tmp), args.large_mb)
        passes = max(1, args.passes // 2)
        for title, mode, path in [("large PDB file", "pdb", large_pdb), ("large mmCIF file", "mmcif", large_cif)]:
            results = interleaved(mode, passes, [path])
            if not args.no_biotite_large:
                results.append(biotite(mode, 1, [path]))
            report(title, results)
            os.remove(path)


if __name__ == "__main__":
    main()
