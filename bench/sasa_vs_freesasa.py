"""Accessibility phase of tarnix against FreeSASA, structure by structure, in one run.

    python bench/sasa_vs_freesasa.py [--data DIR] [--repeats N]

Needs tarnix installed and `pip install freesasa`. For every plain-text PDB or mmCIF file in
DIR (default: the shared corpus next to the repository), tarnix's accessibility phase is
the median time of `assign(path, calculate_sasa=True)` minus that of
`assign(path, calculate_sasa=False)`. FreeSASA runs Shrake-Rupley with 100 points, probe
1.4 A, one thread, on the atoms tarnix reads from the same file (this script applies the
readers' selection rules) with the same radii: N 1.65, CA 1.87, C 1.76, O 1.4, any other
atom 1.8. Radii are handed over per atom, which stands in for a custom classifier. Each
timed sample repeats the call until it lasts at least 20 ms; calls are interleaved so that
machine load hits both sides alike.

Printed per structure: atoms, both times, the ratio FreeSASA / tarnix, the difference of the
total surfaces and the mean per-residue difference. The two programs spread their test
points differently, so a few per cent of disagreement is expected. A file whose phase is
lost in the noise of reading it (difference of medians not above 0) is reported and left
out of both totals. The last line is the ratio over the whole corpus.
"""

import argparse
import pathlib
import re
import statistics

import freesasa
import tarnix
from timing import sample

RADII = {"N": 1.65, "CA": 1.87, "C": 1.76, "O": 1.4}
OTHER_RADIUS = 1.8
BACKBONE = ("N", "CA", "C", "O")
WHITE_SPACE = (" \t\n\x0b\x0c\r\x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B)))
               + "\u2028\u2029\u202f\u205f\u3000")
FLOAT = re.compile(r"[+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|(?i:inf|infinity|nan))")
INT = re.compile(r"[+-]?\d+")
DEFAULT_DATA = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "structures"


def parse_float(text):
    return float(text) if FLOAT.fullmatch(text) else None


def parse_int(text):
    if not INT.fullmatch(text):
        return None
    value = int(text)
    return value if -(2**31) <= value < 2**31 else None


class Pending:
    def __init__(self):
        self.alt = None
        self.slots = {}
        self.atoms = []

    def place(self, name, xyz):
        if name in ("N", "CA", "C"):
            self.slots[name] = xyz
        elif name in ("O", "OXT"):
            self.slots.setdefault("O", xyz)
        elif name.startswith("H"):
            pass
        else:
            self.atoms.append(xyz)

    def accepts(self, alt, blank):
        if alt == blank:
            return True
        if self.alt is None:
            self.alt = alt
        return alt == self.alt


def lines_of(path):
    for raw in path.read_bytes().split(b"\n"):
        yield raw[:-1] if raw.endswith(b"\r") else raw


def pdb_residues(path):
    pending, order = {}, []
    for line in lines_of(path):
        if line[:6] in (b"ATOM  ", b"HETATM") and len(line) >= 54:
            try:
                text = [line[a:b].decode().strip(WHITE_SPACE) for a, b in ((12, 16), (22, 26), (26, 27))]
                coords = [parse_float(line[a:a + 8].decode().strip(WHITE_SPACE)) for a in (30, 38, 46)]
            except UnicodeDecodeError:
                text, coords = None, [None]
            seq = parse_int(text[1]) if text else None
            if seq is not None and None not in coords:
                key = (line[21:22], seq, text[2])
                if key not in pending:
                    pending[key] = Pending()
                    order.append(key)
                residue = pending[key]
                if residue.accepts(line[16:17], b" "):
                    residue.place(text[0], coords)
        if line[:3] == b"END":
            break
    return [pending[k] for k in order]


def cif_tokens(line):
    tokens, token, quote = [], "", None
    for ch in line:
        if quote:
            if ch == quote:
                tokens.append(token)
                token, quote = "", None
            else:
                token += ch
        elif ch in WHITE_SPACE:
            if token:
                tokens.append(token)
            token = ""
        elif ch in "'\"":
            quote = ch
        else:
            token += ch
    if token:
        tokens.append(token)
    return tokens


def mmcif_residues(path):
    wanted = ("label_atom_id", "label_comp_id", "Cartn_x", "Cartn_y", "Cartn_z", "auth_asym_id", "label_asym_id",
              "auth_seq_id", "label_seq_id", "pdbx_PDB_ins_code", "label_alt_id", "pdbx_PDB_model_num")
    columns, counter, in_loop, rows = {}, 0, False, []
    for raw in lines_of(path):
        line = raw.decode()
        t = line.strip(WHITE_SPACE)
        if t.startswith("loop_"):
            counter, in_loop = 0, False
        elif t.startswith("_atom_site."):
            if t[11:] in wanted:
                columns[t[11:]] = counter
            counter, in_loop = counter + 1, True
        elif not in_loop or not t or t.startswith("#"):
            continue
        elif t.startswith("_"):
            break
        else:
            rows.append(cif_tokens(line))
    chain_item = "auth_asym_id" if "auth_asym_id" in columns else "label_asym_id"
    seq_item = "auth_seq_id" if "auth_seq_id" in columns else "label_seq_id"
    pending, order = {}, []
    for tokens in rows:
        def value(item):
            return tokens[columns[item]] if item in columns and len(tokens) > columns[item] else None
        model = parse_int(value("pdbx_PDB_model_num") or "")
        if (model if model is not None else 1) != 1 or value("label_comp_id") in ("HOH", "WAT"):
            continue
        seq = parse_int(value(seq_item) or "")
        ins = value("pdbx_PDB_ins_code")
        key = (value(chain_item) or "A", 1 if seq is None else seq, "" if ins in (None, ".", "?") else ins)
        if key not in pending:
            pending[key] = Pending()
            order.append(key)
        alt = value("label_alt_id")
        residue = pending[key]
        if residue.accepts("" if alt in (None, ".") else alt, ""):
            residue.place(value("label_atom_id"), [float(value(c)) for c in ("Cartn_x", "Cartn_y", "Cartn_z")])
    return [pending[k] for k in order]


def spheres(path):
    """Coordinates, radii and owning residue of every atom tarnix uses, in its order."""
    lower = path.name.lower()
    pending = mmcif_residues(path) if lower.endswith((".cif", ".mmcif")) else pdb_residues(path)
    coords, radii, owner = [], [], []
    residues = [p for p in pending if all(n in p.slots for n in BACKBONE)]
    for k, residue in enumerate(residues):
        backbone = [(residue.slots[n], RADII[n]) for n in BACKBONE]
        for xyz, radius in backbone + [(a, OTHER_RADIUS) for a in residue.atoms]:
            coords.extend(xyz)
            radii.append(radius)
            owner.append(k)
    return coords, radii, owner, len(residues)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=pathlib.Path, default=DEFAULT_DATA)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    params = freesasa.Parameters({"algorithm": freesasa.ShrakeRupley, "n-points": 100, "probe-radius": 1.4,
                                  "n-threads": 1})
    files = sorted(p for p in args.data.iterdir() if p.suffix.lower() in (".pdb", ".cif", ".mmcif", ".pdbx"))
    print(f"{'file':28} {'atoms':>7} {'tarnix ms':>10} {'FreeSASA ms':>12} {'ratio':>6} {'total':>7} {'|d|/res':>8}")
    total_tarnix = total_freesasa = 0.0
    sums = [0.0, 0.0]
    differences, skipped, noisy = [], [], []
    for path in files:
        name = str(path)
        try:
            result = tarnix.assign(name)
        except ValueError as error:
            skipped.append(f"{path.name} ({error})")
            continue
        coords, radii, owner, count = spheres(path)
        if count != result.residue_count:
            skipped.append(f"{path.name} (script read {count} residues, tarnix {result.residue_count})")
            continue
        on, off, peer = [], [], []
        for _ in range(args.repeats):
            on.append(sample(lambda: tarnix.assign(name, calculate_sasa=True)))
            off.append(sample(lambda: tarnix.assign(name, calculate_sasa=False)))
            peer.append(sample(lambda: freesasa.calcCoord(coords, radii, params)))
        ours = statistics.median(on) - statistics.median(off)
        theirs = statistics.median(peer)

        areas = freesasa.calcCoord(coords, radii, params)
        per_residue = [0.0] * count
        for i, k in enumerate(owner):
            per_residue[k] += areas.atomArea(i)
        mine = [r.accessibility for r in result.residues]
        total_diff = (sum(mine) - sum(per_residue)) / sum(per_residue)
        differences.extend(abs(a - b) for a, b in zip(mine, per_residue))
        mean_abs = statistics.fmean(differences[-count:])
        sums[0] += sum(mine)
        sums[1] += sum(per_residue)
        if ours > 0:
            total_tarnix += ours
            total_freesasa += theirs
            ratio = f"{theirs / ours:6.1f}"
        else:
            noisy.append(path.name)
            ratio = f"{'noise':>6}"
        print(f"{path.name:28} {len(radii):7} {ours * 1e3:10.2f} {theirs * 1e3:12.2f} {ratio} "
              f"{total_diff:+7.2%} {mean_abs:8.2f}")
    print(f"\nskipped {len(skipped)}: " + "; ".join(skipped))
    print(f"phase below timing noise, left out of the totals: {', '.join(noisy) or 'none'}")
    print(f"agreement: total surface {(sums[0] - sums[1]) / sums[1]:+.2%}, mean per-residue difference "
          f"{statistics.fmean(differences):.2f} A^2 over {len(differences)} residues")
    print(f"whole corpus: tarnix {total_tarnix * 1e3:.1f} ms, FreeSASA {total_freesasa * 1e3:.1f} ms, "
          f"FreeSASA / tarnix = {total_freesasa / total_tarnix:.2f}")


if __name__ == "__main__":
    main()
