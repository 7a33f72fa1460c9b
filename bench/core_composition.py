"""Share of helix (H, G, I) and strand (E, B) codes over the real structures.

Run: python bench/core_composition.py
Every PDB file of the corpus is read by tarnix.assign (files without a protein
residue are skipped). Over the whole corpus a helix share outside 20-50 % or a
strand share outside 10-35 % points to a fault in the assignment.
"""
from collections import Counter

import tarnix

from core_backbones import STRUCTURES

HELIX, STRAND = set("HGI"), set("EB")


def share(counts, codes):
    total = sum(counts.values())
    return 100.0 * sum(counts[c] for c in codes) / total if total else 0.0


def main():
    overall = Counter()
    print(f"{'file':28} {'residues':>8} {'helix %':>8} {'strand %':>9}")
    for path in sorted(STRUCTURES.glob("*.pdb")):
        try:
            counts = Counter(tarnix.assign(str(path), calculate_sasa=False).sequence)
        except ValueError:
            continue
        overall += counts
        print(f"{path.name:28} {sum(counts.values()):8d} {share(counts, HELIX):8.1f} {share(counts, STRAND):9.1f}")
    helix, strand = share(overall, HELIX), share(overall, STRAND)
    print(f"{'all':28} {sum(overall.values()):8d} {helix:8.1f} {strand:9.1f}")
    print("eight-state counts:", dict(sorted(overall.items())))
    healthy = 20.0 <= helix <= 50.0 and 10.0 <= strand <= 35.0
    print("composition", "within" if healthy else "OUTSIDE", "the expected ranges (helix 20-50 %, strand 10-35 %)")
    return 0 if healthy else 1


if __name__ == "__main__":
    raise SystemExit(main())
