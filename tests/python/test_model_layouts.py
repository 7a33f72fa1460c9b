"""models="all" against models="first": model 1 of the one (the first model of a PDB file, the one
numbered 1 of an atom table) is the other, on every file of the corpus and on generated layouts of
MODEL, ENDMDL and model numbers; the other models are checked against tarnix.assign on the file cut
down by plain text handling here."""

import gzip
import pathlib

import numpy as np
import pytest
import tarnix

from tarnix_tools import annotate

import bcif_writer

EMPTY = "Empty file or no valid records"
PDB_SUFFIXES = (".pdb", ".ent", ".pdb.gz", ".ent.gz")


def is_pdb(name):
    return str(name).lower().endswith(PDB_SUFFIXES)


def rows_of(annotation, row):
    """The residue columns of structures row `row`, without the column that numbers the rows."""
    residues = annotation.residues.columns
    mine = residues["input"] == row
    return {name: np.asarray(values)[mine] for name, values in residues.items() if name != "input"}


def structure_row(annotation, row, ignored=("seconds",)):
    """The row's values as bytes, so that NaN equals NaN."""
    return {name: np.asarray(values[row]).tobytes() for name, values in annotation.structures.columns.items()
            if name not in ignored}


def assert_same_model(first, first_row, every, every_row, ignored=("seconds",)):
    assert structure_row(every, every_row, ignored) == structure_row(first, first_row, ignored)
    mine, theirs = rows_of(every, every_row), rows_of(first, first_row)
    for name in theirs:
        assert mine[name].tobytes() == theirs[name].tobytes(), name


def model_one(every, rows, name):
    """The row of `rows` (one input's rows of an every-model run) that must equal the first-model read."""
    if is_pdb(name):
        return rows[0]
    numbered_one = [row for row in rows if every.structures.columns["model"][row] == 1]
    return numbered_one[0] if numbered_one else None


def check_first_model_agrees(inputs):
    first = annotate(inputs, threads=2)
    every = annotate(inputs, models="all", threads=2)
    names = every.structures.columns["name"]
    for row, name in enumerate(first.structures.columns["name"]):
        rows = [r for r in range(len(names)) if names[r] == name]
        assert rows, name
        one = model_one(every, rows, name)
        if one is None:
            # No model numbered 1: the first-model read finds nothing, unless the whole file failed.
            error = first.structures.columns["error"][row]
            whole_file_failure = len(rows) == 1 and every.structures.columns["error"][rows[0]] == error
            assert error == EMPTY or whole_file_failure, name
            continue
        assert_same_model(first, row, every, one)
    return first, every


@pytest.fixture(scope="module")
def corpus():
    """The shared corpus, beside the repository or beside the folder of work trees it sits in."""
    here = pathlib.Path(__file__).resolve()
    for root in (here.parents[3], here.parents[4]):
        if (root / "shared" / "data" / "structures").is_dir():
            return root / "shared" / "data" / "structures"
    pytest.skip("shared corpus not found")


def test_model_one_is_the_first_model_on_every_corpus_and_test_file(corpus, data_dir):
    files = sorted(p for folder in (corpus, data_dir) for p in folder.iterdir()
                   if p.name.lower().endswith((".pdb", ".ent", ".cif", ".pdbx", ".gz", ".bcif")))
    assert len(files) > 100
    first, every = check_first_model_agrees(files)
    assert len(every.structures) > len(first.structures)  # the corpus holds ensembles


def ubiquitin_atoms(data_dir):
    return "".join(line + "\n" for line in (data_dir / "1ubq.pdb").read_text().splitlines()
                   if line.startswith("ATOM"))


def other_chain(atoms, chain="B", shift=30.0):
    """The atoms as another chain, moved along x, as a PDB line keeps them."""
    out = []
    for line in atoms.splitlines(keepends=True):
        x = float(line[30:38]) + shift
        out.append(line[:21] + chain + line[22:30] + f"{x:8.3f}" + line[38:])
    return "".join(out)


def stretches(text):
    """The text cut at lines starting with END: ENDMDL lets another stretch follow, END stops."""
    cut, current = [], []
    for line in text.splitlines(keepends=True):
        current.append(line)
        if line.startswith("END"):
            cut.append("".join(current))
            current = []
            if not line.startswith("ENDMDL"):
                return cut
    cut.append("".join(current))
    return cut


def holds_records(text):
    return any(line.startswith(("ATOM  ", "HETATM", "MODEL")) for line in text.splitlines())


LAYOUTS = {
    # name: (layout of a and b, the ubiquitin atoms as chain A and B; expected model numbers)
    "endmdl_without_model": ("{a}ENDMDL\n{b}ENDMDL\n", [1, 2]),
    "cat_of_two_files": ("{a}TER\nENDMDL\n{b}TER\nENDMDL\nEND\n", [1, 2]),
    "model_and_endmdl": ("MODEL        1\n{a}ENDMDL\nMODEL        2\n{b}ENDMDL\nEND\n", [1, 2]),
    "model_without_endmdl": ("MODEL        1\n{a}MODEL        2\n{b}END\n", [1]),
    "out_of_order": ("MODEL        9\n{b}ENDMDL\nMODEL        2\n{a}ENDMDL\nMODEL        1\n{b}ENDMDL\n", [9, 2, 1]),
    "atoms_before_the_first_model": ("{b}MODEL        1\n{a}ENDMDL\nMODEL        2\n{a}ENDMDL\n", [1, 2]),
    "empty_model_between": ("MODEL        1\n{a}ENDMDL\nMODEL        2\nENDMDL\nMODEL        3\n{b}ENDMDL\n", [1, 2, 3]),
    "records_after_the_last_model": ("MODEL        4\n{a}ENDMDL\nCONECT    1    2\nMASTER\nEND\n", [4]),
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_pdb_layouts_give_each_stretch_up_to_endmdl(layout, data_dir, tmp_path):
    atoms = ubiquitin_atoms(data_dir)
    template, numbers = LAYOUTS[layout]
    text = template.format(a=atoms, b=other_chain(atoms))
    path = tmp_path / f"{layout}.pdb"
    path.write_text(text)
    every = annotate(path, models="all")
    assert every.structures.columns["model"].tolist() == numbers
    # Each model is tarnix.assign on its stretch alone (numbers aside); an empty one fails as it does.
    kept = [s for k, s in enumerate(stretches(text)) if k == 0 or holds_records(s)]
    assert len(kept) == len(numbers)
    for row, stretch in enumerate(kept):
        cut = tmp_path / f"{layout}_{row}.pdb"
        cut.write_text(stretch)
        try:
            reference = tarnix.assign(str(cut))
        except ValueError as error:
            assert every.structures.columns["error"][row] == str(error)
            continue
        assert every.structures.columns["residue_count"][row] == reference.residue_count
        assert "".join(rows_of(every, row)["structure"]) == reference.sequence
    check_first_model_agrees([path])


def cif_rows(text):
    lines = text.splitlines(keepends=True)
    items = [i for i, line in enumerate(lines) if line.startswith("_atom_site.")]
    model_column = [lines[i].strip() for i in items].index("_atom_site.pdbx_PDB_model_num")
    start = items[-1] + 1
    end = next(i for i in range(start, len(lines)) if lines[i].startswith("#"))
    return lines[:start], lines[start:end], lines[end:], model_column


def renumbered(row, column, number):
    tokens = row.split()
    tokens[column] = str(number)
    return " ".join(tokens) + "\n"


def comeback_file(data_dir):
    """1ubq.cif as model 1 with a model 2 (a copy of its first rows) between its halves, and that
model 2 alone as model 1 of a file."""
    head, rows, tail, column = cif_rows((data_dir / "1ubq.cif").read_text())
    half = len(rows) // 2
    middle = []
    for row in rows[:300]:
        tokens = row.split()
        tokens[column] = "2"
        middle.append(" ".join(tokens) + "\n")
    text = "".join(head + rows[:half] + middle + rows[half:] + tail)
    return text, "".join(head + [renumbered(r, column, 1) for r in middle] + tail)


@pytest.mark.parametrize("kind", ["cif", "bcif", "cif.gz"])
def test_a_model_number_that_comes_back_adds_to_its_model(kind, data_dir, tmp_path):
    text, model_two_alone = comeback_file(data_dir)
    data = {"cif": text.encode(), "bcif": bcif_writer.from_mmcif(text, "archive"),
            "cif.gz": gzip.compress(text.encode())}[kind]
    path = tmp_path / f"comeback.{kind}"
    path.write_bytes(data)
    every = annotate(path, models="all")
    assert every.structures.columns["model"].tolist() == [1, 2]
    whole = annotate(data_dir / "1ubq.cif")
    assert every.structures.columns["residue_count"].tolist()[0] == 76
    assert_same_model(whole, 0, every, 0, ignored=("seconds", "name"))
    alone = tmp_path / "two.cif"
    alone.write_text(model_two_alone)
    reference = tarnix.assign(str(alone))
    assert every.structures.columns["residue_count"][1] == reference.residue_count
    assert "".join(rows_of(every, 1)["structure"]) == reference.sequence
    check_first_model_agrees([path])
