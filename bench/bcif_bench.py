"""Reading BinaryCIF against reading the mmCIF text of the same structures, and against biotite.

Every mmCIF file of the shared corpus is written once as BinaryCIF (all its categories, each column
typed and encoded as biotite's `compress` chooses, the shape of deposited BinaryCIF files) into a
temporary directory. Then, round by round, each reader reads all files to a structure in a
process of its own: tarnix's BinaryCIF reader, tarnix's mmCIF reader on the text, biotite's
`BinaryCIFFile.read` + `get_structure(model=1)` on the BinaryCIF files, and msgpack-cxx unpacking
each whole file into objects (what the reader avoids by walking the bytes to its one category and
unpacking only that). Times are medians over the rounds.

    python bench/bcif_bench.py [--rounds 5]

Needs biotite (the bench extra); builds the C++ driver of read_bench.py in build-bench/.
"""

import argparse
import statistics
import sys
import tempfile
from pathlib import Path

import numpy as np
from biotite.structure.io import pdbx

from read_bench import DATA, build_driver, driver, run_json

BIOTITE_BCIF = r"""
import json, statistics, sys, time, warnings
import biotite.structure.io.pdbx as pdbx
warnings.simplefilter("ignore")
passes, files = int(sys.argv[1]), sys.argv[2:]
times = []
for _ in range(passes):
    failures = 0
    start = time.perf_counter()
    for path in files:
        try:
            pdbx.get_structure(pdbx.BinaryCIFFile.read(path), model=1)
        except Exception:
            failures += 1
    times.append(time.perf_counter() - start)
print(json.dumps({"median_s": statistics.median(times), "failures": failures}))
"""


def typed(column):
    """A text column as int32, float64 or text, whichever all its present values are."""
    strings = column.as_array(str)
    mask = np.zeros(len(strings), np.uint8) if column.mask is None else np.asarray(column.mask.array, np.uint8)
    present = strings[mask == 0]
    for kind, convert in (("i", int), ("f", float)):
        try:
            values = np.array([convert(v) for v in present])
        except ValueError:
            continue
        if kind == "i" and len(values) and np.abs(values).max() >= 2**31:
            continue
        out = np.zeros(len(strings), np.int32 if kind == "i" else np.float64)
        out[mask == 0] = values
        break
    else:
        out = strings
    data = pdbx.BinaryCIFData(out)
    return pdbx.BinaryCIFColumn(data, mask=None if (mask == 0).all() else pdbx.BinaryCIFData(mask))


def to_binary(path, out):
    cif = pdbx.CIFFile.read(str(path))
    blocks = {}
    for block_name, block in cif.items():
        categories = {}
        for name, category in block.items():
            columns = {column_name: typed(column) for column_name, column in category.items()}
            categories[name] = pdbx.BinaryCIFCategory(columns, row_count=category.row_count)
        blocks[block_name] = pdbx.BinaryCIFBlock(categories)
    pdbx.compress(pdbx.BinaryCIFFile(blocks)).write(str(out))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    texts = sorted(DATA.glob("*.cif"))
    if not texts:
        sys.exit(f"no mmCIF files in {DATA}")
    build_driver()
    with tempfile.TemporaryDirectory() as folder:
        binaries = []
        for path in texts:
            binaries.append(Path(folder) / (path.stem + ".bcif"))
            to_binary(path, binaries[-1])
        text_bytes = sum(p.stat().st_size for p in texts)
        binary_bytes = sum(p.stat().st_size for p in binaries)
        times = {"bcif": [], "mmcif": [], "unpack": [], "biotite": []}
        outcome = {}
        for _ in range(args.rounds):
            for mode, files in (("bcif", binaries), ("mmcif", texts), ("unpack", binaries)):
                result = driver(mode, 3, files)
                times[mode].append(result["median_s"])
                outcome[mode] = (result["work"], result["failures"])
            result = run_json([sys.executable, "-c", BIOTITE_BCIF, "1", *map(str, binaries)])
            times["biotite"].append(result["median_s"])
            outcome["biotite"] = result["failures"]
    # Files without protein fail in both readers alike; the rest must give the same residues.
    if outcome["bcif"] != outcome["mmcif"] or outcome["unpack"][1] != 0:
        sys.exit(f"the readers disagree: (residues, failures) {outcome}")
    residues, failures = outcome["bcif"]
    median = {mode: statistics.median(values) for mode, values in times.items()}
    count = len(texts)
    print(f"{count} structures ({failures} without protein), {residues:,} residues; mmCIF text {text_bytes / 1e6:.1f} MB, "
          f"BinaryCIF {binary_bytes / 1e6:.1f} MB; medians of {args.rounds} rounds")
    for mode, label in (("bcif", "tarnix, BinaryCIF"), ("mmcif", "tarnix, mmCIF text"),
                        ("biotite", "biotite, BinaryCIF read + get_structure"), ("unpack", "msgpack-cxx unpacking whole files")):
        print(f"  {label:42s} {median[mode] * 1e3:9.1f} ms  {count / median[mode]:9.0f} structures/s")
    print(f"BinaryCIF vs mmCIF text: {median['mmcif'] / median['bcif']:.1f}x faster; "
          f"vs biotite: {median['biotite'] / median['bcif']:.1f}x faster; "
          f"unpacking whole files would take {100 * median['unpack'] / median['bcif']:.0f}% of the BinaryCIF "
          f"read's time (biotite failed on {outcome['biotite']} files)")


if __name__ == "__main__":
    main()
