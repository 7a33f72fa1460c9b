"""annotate(models="all"): every model of a multi-model file, each equal to tarnix.assign on the
file cut down to that model (cut here by plain text handling, independently of the readers)."""

import gzip
import io
import tarfile

import numpy as np
import pytest
import tarnix

from tarnix_tools import annotate, iter_annotate

chemfiles = pytest.importorskip("chemfiles", reason="chemfiles writes the ensembles of these tests")

MODELS = 4


def perturbed_frames(path, count, seed):
    """chemfiles frames of a structure with small seeded moves, rounded to what a PDB file holds."""
    frame = chemfiles.Trajectory(str(path)).read()
    base = np.array(frame.positions)
    rng = np.random.default_rng(seed)
    for _ in range(count):
        moved = np.round(base + rng.normal(0.0, 0.25, base.shape), 3)
        frame.positions[:] = moved
        yield frame


@pytest.fixture(scope="module")
def ensembles(tmp_path_factory, data_dir):
    """A 4-model PDB and mmCIF file of ubiquitin, written by chemfiles."""
    folder = tmp_path_factory.mktemp("ensembles")
    paths = {"pdb": folder / "ens.pdb", "cif": folder / "ens.cif"}
    for kind, path in paths.items():
        with chemfiles.Trajectory(str(path), "w", "PDB" if kind == "pdb" else "mmCIF") as out:
            for frame in perturbed_frames(data_dir / "1ubq.pdb", MODELS, seed=7):
                out.write(frame)
    return paths


def pdb_models(text):
    """{model number: the file cut down to the lines before the first MODEL plus that model's}."""
    lines = text.splitlines(keepends=True)
    starts = [i for i, line in enumerate(lines) if line.startswith("MODEL")]
    header = lines[:starts[0]] if starts else lines
    models = {}
    for start in starts:
        end = next(i for i in range(start, len(lines)) if lines[i].startswith("ENDMDL"))
        models[int(lines[start][5:].strip())] = "".join(header + lines[start:end + 1])
    return models


def mmcif_models(text):
    """{model number: the file with only that model's atom rows, renumbered 1}, in file order."""
    lines = text.splitlines(keepends=True)
    items = [i for i, line in enumerate(lines) if line.startswith("_atom_site.")]
    column = [lines[i].strip() for i in items].index("_atom_site.pdbx_PDB_model_num")
    first_row = items[-1] + 1
    rows = [line for line in lines[first_row:] if line.strip() and not line.startswith(("#", "_", "loop_"))]
    numbers = list(dict.fromkeys(row.split()[column] for row in rows))
    models = {}
    for number in numbers:
        kept = []
        for row in rows:
            tokens = row.split()
            if tokens[column] == number:
                tokens[column] = "1"
                kept.append(" ".join(tokens) + "\n")
        models[int(number)] = "".join(lines[:first_row] + kept)
    return models


def assert_rows_equal(annotation, row, reference):
    """Residue rows of structures row `row` against a tarnix result, to the bit."""
    residues = annotation.residues.columns
    mine = residues["input"] == row
    assert mine.sum() == reference.residue_count
    assert "".join(residues["structure"][mine]) == reference.sequence
    assert list(residues["chain_id"][mine]) == [r.chain_id for r in reference.residues]
    assert list(residues["seq_id"][mine]) == [r.seq_id for r in reference.residues]
    for name in ("phi", "psi", "accessibility"):
        expected = np.array([np.nan if getattr(r, name) is None else getattr(r, name) for r in reference.residues],
                            dtype=np.float32)
        assert residues[name][mine].view(np.uint32).tolist() == expected.view(np.uint32).tolist(), name


def check_every_model(annotation, models, suffix, tmp_path):
    structures = annotation.structures.columns
    assert structures["model"].dtype == np.int32
    assert structures["model"].tolist() == list(models)
    assert (structures["status"] == "ok").all()
    for row, (number, text) in enumerate(models.items()):
        cut = tmp_path / f"model{number}{suffix}"
        cut.write_text(text)
        assert_rows_equal(annotation, row, tarnix.assign(str(cut)))


@pytest.mark.parametrize("name", ["1d3z.pdb", "2juy_crlf.pdb"])
def test_every_model_of_an_nmr_file_equals_its_cut_down_file(name, data_dir, tmp_path):
    text = (data_dir / name).read_bytes().decode()
    models = pdb_models(text)
    assert len(models) > 1
    check_every_model(annotate(data_dir / name, models="all"), models, ".pdb", tmp_path)


@pytest.mark.parametrize("kind", ["pdb", "cif"])
def test_every_model_of_a_written_ensemble(kind, ensembles, tmp_path):
    text = ensembles[kind].read_text()
    models = pdb_models(text) if kind == "pdb" else mmcif_models(text)
    assert list(models) == list(range(1, MODELS + 1))
    check_every_model(annotate(ensembles[kind], models="all"), models, "." + kind, tmp_path)


def test_mmcif_models_come_in_file_order_with_their_numbers(ensembles, tmp_path):
    text = ensembles["cif"].read_text()
    renumbered = []
    for line in text.splitlines(keepends=True):
        tokens = line.split()
        if line.startswith("ATOM") or line.startswith("HETATM"):
            tokens[-1] = {"1": "7", "2": "-2", "3": "1", "4": "30"}[tokens[-1]]
            line = " ".join(tokens) + "\n"
        renumbered.append(line)
    path = tmp_path / "renumbered.cif"
    path.write_text("".join(renumbered))
    models = mmcif_models(path.read_text())
    assert list(models) == [7, -2, 1, 30]
    check_every_model(annotate(path, models="all"), models, ".cif", tmp_path)


def test_first_model_is_the_default_and_numbers_the_model(ensembles, data_dir):
    for path in (data_dir / "1d3z.pdb", ensembles["cif"], data_dir / "1ubq.pdb"):
        result = annotate(path)
        assert result.structures.columns["model"].tolist() == [1]
        assert_rows_equal(result, 0, tarnix.assign(str(path)))


def test_a_pdb_files_first_model_number_is_as_written(tmp_path, ensembles):
    text = ensembles["pdb"].read_text().replace("MODEL    1", "MODEL   12", 1)
    path = tmp_path / "twelve.pdb"
    path.write_text(text)
    assert annotate(path).structures.columns["model"].tolist() == [12]
    assert annotate(path, models="all").structures.columns["model"].tolist() == [12, 2, 3, 4]


def test_input_rows_follow_every_earlier_inputs_models(ensembles, data_dir):
    inputs = [data_dir / "1ubq.pdb", ensembles["pdb"], data_dir / "1ake.cif", ensembles["cif"]]
    result = annotate(inputs, models="all")
    structures = result.structures.columns
    assert structures["model"].tolist() == [1, 1, 2, 3, 4, 1, 1, 2, 3, 4]
    names = structures["name"][result.residues.columns["input"]]
    assert set(names[result.residues.columns["input"] == 6]) == {str(ensembles["cif"])}
    assert np.bincount(result.residues.columns["input"]).tolist() == structures["residue_count"].tolist()
    chunks = list(iter_annotate(inputs, models="all", chunk_size=1, threads=2))
    assert np.concatenate([c.residues.columns["input"] for c in chunks]).tolist() == \
        result.residues.columns["input"].tolist()


def test_every_kind_of_input_reads_every_model(ensembles, tmp_path):
    plain = annotate(ensembles["pdb"], models="all")
    data = ensembles["pdb"].read_bytes()
    packed = tmp_path / "ens.pdb.gz"
    packed.write_bytes(gzip.compress(data))
    archive = tmp_path / "ens.tar"
    with tarfile.open(archive, "w") as tar:
        info = tarfile.TarInfo("inside/ens.pdb")
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))
    for source in (packed, ("ens.pdb", data), ("ens.pdb.gz", gzip.compress(data)), archive):
        other = annotate(source, models="all")
        assert other.structures.columns["model"].tolist() == [1, 2, 3, 4]
        for name in ("structure", "phi", "psi", "accessibility", "input"):
            assert other.residues.columns[name].tobytes() == plain.residues.columns[name].tobytes(), name


@pytest.mark.parametrize("models_text, expected", [
    # A model without protein is its own row; the others stay.
    ("MODEL 1\n{atoms}ENDMDL\nMODEL 2\nHETATM    1  O   HOH A   1      1.000   1.000   1.000  1.00  0.00\n"
     "ENDMDL\nMODEL 3\n{atoms}ENDMDL\n", [(1, "ok"), (2, "no_protein"), (3, "ok")]),
    # Only ENDMDL ends a model, as it ends the first-model read; END ends the file.
    ("MODEL 1\n{atoms}MODEL 2\n{atoms}END\nMODEL 3\n{atoms}ENDMDL\n", [(1, "ok")]),
    ("MODEL 1\n{atoms}ENDMDL\nMODEL 2\n{atoms}MODEL 3\n{atoms}ENDMDL\n", [(1, "ok"), (2, "ok")]),
    # A serial that is not a number is the model's place.
    ("MODEL x\n{atoms}ENDMDL\nMODEL\n{atoms}ENDMDL\n", [(1, "ok"), (2, "ok")]),
])
def test_pdb_model_records(models_text, expected, data_dir):
    atoms = "".join(line + "\n" for line in (data_dir / "1ubq.pdb").read_text().splitlines()
                    if line.startswith("ATOM"))
    result = annotate(("m.pdb", models_text.format(atoms=atoms).encode()), models="all")
    structures = result.structures.columns
    assert list(zip(structures["model"].tolist(), structures["status"].tolist())) == expected
    assert all(error == "Empty file or no valid records" for error, status in
               zip(structures["error"], structures["status"]) if status != "ok")


def test_an_unreadable_row_fails_the_whole_mmcif_file(ensembles):
    lines = ensembles["cif"].read_text().splitlines(keepends=True)
    last = max(i for i, line in enumerate(lines) if line.startswith("ATOM"))
    tokens = lines[last].split()
    tokens[8] = "1.2.3"
    lines[last] = " ".join(tokens) + "\n"
    result = annotate(("bad.cif", "".join(lines).encode()), models="all")
    structures = result.structures.columns
    assert structures["status"].tolist() == ["error"]
    assert structures["error"][0].startswith("Invalid number")
    assert len(result.residues) == 0


def test_models_must_be_first_or_all():
    with pytest.raises(ValueError, match="models must be 'first' or 'all'"):
        annotate([], models="every")


def test_atoms_before_the_first_model_belong_to_the_first_model(ensembles, data_dir, tmp_path):
    other_chain = "".join(line[:21] + "B" + line[22:] + "\n" for line in (data_dir / "1ubq.pdb").read_text().splitlines()
                          if line.startswith("ATOM"))
    path = tmp_path / "shared_chain.pdb"
    path.write_text(other_chain + ensembles["pdb"].read_text())
    every = annotate(path, models="all")
    models = pdb_models(ensembles["pdb"].read_text())
    assert every.structures.columns["model"].tolist() == list(models)
    chains = every.residues.columns["chain_id"]
    assert set(chains[every.residues.columns["input"] == 0]) == {"A", "B"}
    assert set(chains[every.residues.columns["input"] > 0]) == {"A"}
    assert_rows_equal(every, 0, tarnix.assign(str(path)))
