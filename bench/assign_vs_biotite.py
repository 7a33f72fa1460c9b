"""A whole tarnix.assign against the pipeline a user would otherwise write with biotite.

    python bench/assign_vs_biotite.py [--data DIR] [--repeats N] [--max-atoms N]

Needs tarnix installed and `pip install biotite`. For every plain-text PDB or mmCIF file in
DIR (default: the shared corpus next to the repository) that both read, the script times

- tarnix: `tarnix.assign(path)`: reading, secondary structure and accessibility (100 points);
- biotite: `load_structure(path, model=1)`, then `annotate_sse` (P-SEA) and `sasa` with 100
  points (Shrake-Rupley, probe 1.4 A) on the atoms read.

Each timed sample repeats the call until it lasts at least 20 ms; the two sides alternate, so
machine load hits both alike, and each file's time is the median over the repeats. tarnix is
also timed without accessibility, to show what share of it the accessibility phase takes. Files
above --max-atoms atoms (default: no limit) are left out to keep the run short. Printed per
file: atoms biotite read, both times and the ratio; the last line is the ratio of the summed
times over all files, which weighs each file by its size.
"""

import argparse
import pathlib
import statistics
import warnings

import biotite.structure as struc
import biotite.structure.io as strucio
import tarnix
from timing import sample

DEFAULT_DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "structures"


def biotite_pipeline(path):
    atoms = strucio.load_structure(str(path), model=1)
    struc.annotate_sse(atoms)
    struc.sasa(atoms, probe_radius=1.4, point_number=100)
    return atoms


def corpus(data, max_atoms):
    """Files both sides read, with the atom count biotite sees."""
    usable, skipped = [], []
    for path in sorted(data.iterdir()):
        if path.suffix.lower() not in (".pdb", ".cif"):
            continue
        try:
            tarnix.assign(str(path))
            atoms = biotite_pipeline(path).array_length()
        except Exception as error:  # a file either side rejects is not comparable
            skipped.append(f"{path.name} ({type(error).__name__})")
            continue
        if max_atoms is None or atoms <= max_atoms:
            usable.append((path, atoms))
        else:
            skipped.append(f"{path.name} ({atoms} atoms)")
    return usable, skipped


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=pathlib.Path, default=DEFAULT_DATA)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--max-atoms", type=int, default=None)
    args = parser.parse_args()
    warnings.simplefilter("ignore")  # biotite warns about unusual records in some files

    files, skipped = corpus(args.data, args.max_atoms)
    print(f"{'file':<14}{'atoms':>8}{'tarnix ms':>12}{'no access.':>12}{'biotite ms':>12}{'ratio':>9}")
    total_tarnix = total_plain = total_biotite = 0.0
    for path, atoms in files:
        ours, plain, theirs = [], [], []
        for _ in range(args.repeats):
            ours.append(sample(lambda: tarnix.assign(str(path))))
            plain.append(sample(lambda: tarnix.assign(str(path), calculate_sasa=False)))
            theirs.append(sample(lambda: biotite_pipeline(path)))
        ours_s, plain_s, theirs_s = statistics.median(ours), statistics.median(plain), statistics.median(theirs)
        total_tarnix += ours_s
        total_plain += plain_s
        total_biotite += theirs_s
        print(f"{path.name:<14}{atoms:>8}{ours_s * 1e3:>12.2f}{plain_s * 1e3:>12.2f}{theirs_s * 1e3:>12.2f}"
              f"{theirs_s / ours_s:>9.1f}")
    if skipped:
        print(f"left out ({len(skipped)}): {', '.join(skipped)}")
    print(f"{len(files)} files: tarnix {total_tarnix * 1e3:.1f} ms (without accessibility "
          f"{total_plain * 1e3:.1f} ms), biotite {total_biotite * 1e3:.1f} ms, ratio {total_biotite / total_tarnix:.1f}")


if __name__ == "__main__":
    main()
