"""Residues and chains as a file gives them in tarnix_tools: chains without ids (a blank PDB column,
mmCIF ".", a .gro file) give, residue for residue, what the same file with ids gives; the tarnix
module keeps merging equal keys. Force-field residue names take their parent's code and scale."""
import re

import numpy as np
import pytest

import tarnix
import tarnix_tools

pytestmark = pytest.mark.timeout(120)

# Every value column of the residue table but the chain id; the names in its own test.
VALUES = ("index", "seq_id", "insertion_code", "residue_name", "amino_acid", "structure", "structure_c3", "phi",
          "psi", "omega", "kappa", "alpha", "tco", "accessibility", "rsa", "bridge_partner_1", "bridge_partner_2",
          "sheet", "nh_o_1_offset", "nh_o_1_energy", "nh_o_2_offset", "nh_o_2_energy", "o_hn_1_offset",
          "o_hn_1_energy", "o_hn_2_offset", "o_hn_2_energy")


def blank_pdb_chains(text, keep_ter=True):
    lines = []
    for line in text.splitlines(keepends=True):
        if line.startswith("TER") and not keep_ter:
            continue
        if line.startswith(("ATOM  ", "HETATM", "TER")) and len(line) > 22:
            line = line[:21] + " " + line[22:]
        lines.append(line)
    return "".join(lines)


def atom_site_items(lines):
    """The item names of the atom_site loop and the index of its first row."""
    items, first = [], None
    for i, line in enumerate(lines):
        if line.startswith("_atom_site."):
            items.append(line.split()[0][len("_atom_site."):])
        elif items:
            first = i
            break
    return items, first


def rewrite_atom_site(text, change):
    """The mmCIF text with change(row tokens, item names) applied to every atom_site row (rows of
    plain tokens, as in the files used here)."""
    lines = text.splitlines(keepends=True)
    items, first = atom_site_items(lines)
    for i in range(first, len(lines)):
        tokens = lines[i].split()
        if len(tokens) != len(items):
            break
        change(tokens, items)
        lines[i] = " ".join(tokens) + "\n"
    return "".join(lines)


def blank_cif_chains(text):
    def blank(tokens, items):
        for name in ("auth_asym_id", "label_asym_id"):
            tokens[items.index(name)] = "."
    return rewrite_atom_site(text, blank)


def residue_rows(annotation, row=0):
    columns = annotation.residues.columns
    chosen = columns["input"] == row
    return {name: np.asarray(values[chosen]) for name, values in columns.items()}


def assert_same_values(got, want, names=VALUES):
    assert len(got["seq_id"]) == len(want["seq_id"])
    for name in names:
        a, b = got[name], want[name]
        if a.dtype.kind == "f":
            assert a.tobytes() == b.tobytes(), name  # bit for bit, NaN included
        else:
            assert a.tolist() == b.tolist(), name


def assert_chains_renamed(got_chains, want_chains):
    """Each labelled chain became its ordinal among the file's chains."""
    order = list(dict.fromkeys(want_chains.tolist()))
    assert got_chains.tolist() == [str(order.index(c) + 1) for c in want_chains.tolist()]


@pytest.fixture(scope="module")
def blank_twins(data_dir, tmp_path_factory):
    """(labelled file, its twin without chain ids) pairs, PDB with and without TER and mmCIF."""
    folder = tmp_path_factory.mktemp("blank")
    pdb = (data_dir / "4hhb.pdb").read_text()
    cif = (data_dir / "1ake.cif").read_text()
    twins = {"pdb with TER": (data_dir / "4hhb.pdb", blank_pdb_chains(pdb), "blank.pdb"),
             "pdb without TER": (data_dir / "4hhb.pdb", blank_pdb_chains(pdb, keep_ter=False), "blank_no_ter.pdb"),
             "mmcif": (data_dir / "1ake.cif", blank_cif_chains(cif), "blank.cif")}
    out = {}
    for key, (labelled, text, name) in twins.items():
        (folder / name).write_text(text)
        out[key] = (labelled, folder / name)
    return out


@pytest.mark.parametrize("twin", ["pdb with TER", "pdb without TER", "mmcif"])
@pytest.mark.parametrize("models", ["first", "all"])
def test_chains_without_ids_give_the_values_of_the_labelled_file(blank_twins, twin, models):
    labelled, blank = blank_twins[twin]
    annotation = tarnix_tools.annotate([labelled, blank], models=models, threads=2)
    want, got = residue_rows(annotation, 0), residue_rows(annotation, 1)
    assert len(set(want["chain_id"].tolist())) >= 2
    assert_same_values(got, want)
    assert_chains_renamed(got["chain_id"], want["chain_id"])
    structures = annotation.structures.columns
    assert structures["chain_count"].tolist()[0] == structures["chain_count"].tolist()[1]


@pytest.mark.parametrize("twin", ["pdb with TER", "mmcif"])
def test_the_tarnix_module_still_merges_equal_keys(blank_twins, twin):
    labelled, blank = blank_twins[twin]
    residues = tarnix.assign(str(blank)).residues
    first_seen = list(dict.fromkeys(r.seq_id for r in tarnix.assign(str(labelled)).residues))
    assert [r.seq_id for r in residues] == first_seen
    assert {r.chain_id for r in residues} == ({" "} if twin.startswith("pdb") else {"."})


def gro_text(atoms, box_nm=30.0):
    """A .gro file of (residue number, residue name, atom name, x, y, z in Angstrom) atoms."""
    lines = ["two chains without ids\n", f"{len(atoms):5d}\n"]
    for serial, (seq, res_name, name, x, y, z) in enumerate(atoms, start=1):
        lines.append(f"{seq % 100000:5d}{res_name:<5s}{name:>5s}{serial % 100000:5d}"
                     f"{x / 10:8.3f}{y / 10:8.3f}{z / 10:8.3f}\n")
    lines.append(f"{box_nm:10.5f}{box_nm:10.5f}{box_nm:10.5f}\n")
    return "".join(lines)


def pdb_twin_of_gro(atoms, chains):
    """The same atoms as a PDB file with chain ids, coordinates as the .gro file rounds them."""
    lines = []
    for serial, ((seq, res_name, name, x, y, z), chain) in enumerate(zip(atoms, chains), start=1):
        padded = f" {name:<3s}" if len(name) < 4 else name
        xyz = "".join(f"{round(v / 10, 3) * 10:8.3f}" for v in (x, y, z))
        lines.append(f"ATOM  {serial:5d} {padded:4s} {res_name:>3s} {chain}{seq:4d}    {xyz}  1.00  0.00\n")
    return "".join(lines) + "END\n"


def protein_atoms(path, chain_ids):
    """(atoms, their chain ids) of the ATOM records of the given chains, in file order."""
    atoms, chains = [], []
    for line in path.read_text().splitlines():
        if line.startswith("ATOM  ") and line[21] in chain_ids and line[16] in " A":
            atoms.append((int(line[22:26]), line[17:20].strip(), line[12:16].strip(), float(line[30:38]),
                          float(line[38:46]), float(line[46:54])))
            chains.append(line[21])
    return atoms, chains


@pytest.mark.filterwarnings("ignore:PDB reader")
@pytest.mark.parametrize("kind", ["gro", "pdb"])
def test_a_trajectory_without_chain_ids_gives_the_values_of_its_labelled_twin(kind, data_dir, blank_twins, tmp_path):
    pytest.importorskip("chemfiles")
    if kind == "gro":
        atoms, chains = protein_atoms(data_dir / "4hhb.pdb", "AB")
        (tmp_path / "hb.gro").write_text(gro_text(atoms))
        (tmp_path / "hb.pdb").write_text(pdb_twin_of_gro(atoms, chains))
        blank, labelled = tmp_path / "hb.gro", tmp_path / "hb.pdb"
    else:
        labelled, blank = blank_twins["pdb with TER"]
    frames = tarnix_tools.trajectory(blank, sasa=True, threads=2)
    want = residue_rows(tarnix_tools.annotate(labelled))
    assert frames.codes.shape == (1, len(want["seq_id"]))
    assert frames.codes[0].astype("U1").tolist() == want["structure"].tolist()
    for name, got in (("phi", frames.phi[0]), ("psi", frames.psi[0]), ("accessibility", frames.accessibility[0])):
        assert got.tobytes() == want[name].tobytes(), name
    assert frames.seq_id.tolist() == want["seq_id"].tolist()
    assert frames.residue_name.tolist() == want["residue_name"].tolist()
    assert_chains_renamed(frames.chain_id, want["chain_id"])
    assert 0.6 < float(frames.helix_fraction[0]) < 0.9


# A variant name for each residue type that has one, as force fields write them.
FORCE_FIELD = {"HIS": ["HIE", "HID", "HIP", "HSD", "HSE", "HSP"], "ASP": ["ASH"], "GLU": ["GLH"], "LYS": ["LYN"],
               "CYS": ["CYX", "CYM"], "ARG": ["ARN"], "TYR": ["TYM"]}
# The one-letter code the tarnix module gives each: its own table, which knows HID, HIE and HIP.
MODULE_CODE = {"HIE": "H", "HID": "H", "HIP": "H"}


def renamed(name, seq):
    variants = FORCE_FIELD.get(name)
    return variants[seq % len(variants)] if variants else name


def test_force_field_names_take_their_parents_code_and_accessibility(data_dir, tmp_path):
    text = (data_dir / "4hhb.pdb").read_text()
    lines = []
    for line in text.splitlines(keepends=True):
        if line.startswith("ATOM  "):
            line = line[:17] + f"{renamed(line[17:20], int(line[22:26])):>3s}" + line[20:]
        lines.append(line)
    (tmp_path / "ff.pdb").write_text("".join(lines))
    annotation = tarnix_tools.annotate([data_dir / "4hhb.pdb", tmp_path / "ff.pdb"], sasa=True)
    want, got = residue_rows(annotation, 0), residue_rows(annotation, 1)
    variants = {v for names in FORCE_FIELD.values() for v in names}
    assert variants <= set(got["residue_name"].tolist())
    assert_same_values(got, want, [name for name in VALUES if name != "residue_name"] + ["chain_id"])
    assert not np.isnan(got["rsa"]).any()
    # The tarnix module keeps its own table.
    module = [r.amino_acid for r in tarnix.assign(str(tmp_path / "ff.pdb")).residues]
    assert module == [MODULE_CODE.get(name, "X") if name in variants else code
                      for name, code in zip(got["residue_name"].tolist(), want["amino_acid"].tolist())]


def test_terminal_names_take_their_parents_code_and_accessibility(data_dir, tmp_path):
    """AMBER-style N- and C-terminal names (NMET, CGLY) where the format holds four letters."""
    text = (data_dir / "1ake.cif").read_text()
    items, _ = atom_site_items(text.splitlines())
    rows = [line.split() for line in text.splitlines() if line.startswith("ATOM ")]
    seq, comp, chain = items.index("auth_seq_id"), items.index("label_comp_id"), items.index("auth_asym_id")
    ends = {}
    for row in rows:
        first, last = ends.get(row[chain], (row[seq], row[seq]))
        ends[row[chain]] = (first, row[seq])

    def prefix(tokens, _items):
        first, last = ends.get(tokens[chain], (None, None))
        if tokens[0] == "ATOM" and tokens[seq] in (first, last):
            tokens[comp] = ("N" if tokens[seq] == first else "C") + tokens[comp]
            tokens[items.index("auth_comp_id")] = tokens[comp]

    (tmp_path / "termini.cif").write_text(rewrite_atom_site(text, prefix))
    annotation = tarnix_tools.annotate([data_dir / "1ake.cif", tmp_path / "termini.cif"])
    want, got = residue_rows(annotation, 0), residue_rows(annotation, 1)
    prefixed = [name for name in got["residue_name"].tolist() if re.fullmatch("[NC][A-Z]{3}", name)]
    assert len(prefixed) == 4
    assert_same_values(got, want, [name for name in VALUES if name != "residue_name"])


def cif_models(text):
    """{model number: the file with only that model's atom rows, renumbered 1}, in file order."""
    lines = text.splitlines(keepends=True)
    items, first = atom_site_items(lines)
    end = next(i for i in range(first, len(lines)) if len(lines[i].split()) != len(items))
    column = items.index("pdbx_PDB_model_num")
    rows = [line.split() for line in lines[first:end]]
    models = {}
    for number in dict.fromkeys(row[column] for row in rows):
        kept = [" ".join(row[:column] + ["1"] + row[column + 1:]) + "\n" for row in rows if row[column] == number]
        models[int(number)] = "".join(lines[:first] + kept + lines[end:])
    return models


def test_every_model_of_the_corpus_reads_as_its_cut_down_file(structures_dir, tmp_path):
    """Where keys do not come back, reading as written changes nothing: every model of every
    multi-model file equals tarnix.assign on the file cut down to it."""
    from test_models import assert_rows_equal, pdb_models

    files = sorted(p for p in structures_dir.iterdir() if p.suffix in (".pdb", ".cif"))
    annotation = tarnix_tools.annotate(files, models="all", threads=2)
    structures = annotation.structures.columns
    checked = 0
    for path in files:
        rows = np.flatnonzero(structures["name"] == str(path))
        if len(rows) < 2:
            continue
        text = path.read_text()
        models = pdb_models(text) if path.suffix == ".pdb" else cif_models(text)
        assert structures["model"][rows].tolist() == list(models), path.name
        for row, (number, cut_text) in zip(rows, models.items()):
            cut = tmp_path / f"model{number}{path.suffix}"
            cut.write_text(cut_text)
            assert_rows_equal(annotation, row, tarnix.assign(str(cut)))
        checked += 1
    assert checked >= 3
