"""BinaryCIF reads as the mmCIF text of the same data: annotate gives the same rows, floats bit for
bit and errors text for text. The BinaryCIF files are made here from the mmCIF files with biotite."""

import gzip
import io
import pathlib

import numpy as np
import pytest
from biotite.structure.io import pdb, pdbx

import tarnix_tools
from bcif_writer import PLANS, from_mmcif
from test_cli import tarnix

MMCIF = sorted(p.name for p in (pathlib.Path(__file__).parents[1] / "data").glob("*.cif"))


def assert_same_annotation(got, expected):
    for table in ("structures", "residues"):
        a, b = getattr(got, table).columns, getattr(expected, table).columns
        assert a.keys() == b.keys()
        for name in a:
            if name in ("name", "seconds"):
                continue
            x, y = np.asarray(a[name]), np.asarray(b[name])
            assert x.dtype == y.dtype and x.shape == y.shape, (table, name)
            if x.dtype.kind == "f":
                # Bit for bit, NaN included.
                assert x.tobytes() == y.tobytes(), (table, name)
            else:
                assert (x == y).all(), (table, name)


def annotate_both(text, binary, **options):
    got = tarnix_tools.annotate([("x.bcif", binary)], threads=1, **options)
    expected = tarnix_tools.annotate([("x.cif", text.encode())], threads=1, **options)
    return got, expected


@pytest.mark.parametrize("plan", PLANS)
@pytest.mark.parametrize("name", MMCIF)
def test_every_mmcif_file_reads_the_same_as_binary(data_dir, name, plan):
    text = (data_dir / name).read_text()
    got, expected = annotate_both(text, from_mmcif(text, plan))
    assert got.structures.columns["status"][0] == "ok"
    assert_same_annotation(got, expected)


def test_the_corpus_reads_the_same_as_binary(structures_dir):
    files = sorted(structures_dir.glob("*.cif"))
    if not files:
        pytest.skip(f"no mmCIF files in {structures_dir}")
    for path in files:
        text = path.read_text()
        got, expected = annotate_both(text, from_mmcif(text, "archive"))
        assert_same_annotation(got, expected)


def column_values(text, column):
    lines = text.splitlines()
    items = [i for i, line in enumerate(lines) if line.startswith("_atom_site.")]
    position = [lines[i].strip() for i in items].index(f"_atom_site.{column}")
    return [line.split()[position] for line in lines[items[-1] + 1:] if line.startswith(("ATOM", "HETATM"))]


@pytest.mark.parametrize("column, change", [
    ("Cartn_y", lambda i, v: "?" if i == 5 else v),   # a masked coordinate fails the read
    ("Cartn_x", lambda i, v: "." if i == 5 else v),
    ("auth_seq_id", lambda i, v: "?" if i % 3 == 0 else v),  # masked numbers become 1
    ("pdbx_PDB_model_num", lambda i, v: "." if i % 3 == 0 else v),
    ("auth_asym_id", lambda i, v: "?" if i % 2 else "."),     # a masked chain is the text "." or "?"
    ("label_alt_id", lambda i, v: "?" if i % 2 else "A"),     # "?" is an alternate location, "." none
    ("label_alt_id", lambda i, v: "." if i % 2 else "A"),
    ("pdbx_PDB_ins_code", lambda i, v: "?" if i % 3 == 0 else "A"),  # both are no insertion code
])
def test_masked_values_mean_what_dot_and_question_mark_mean_in_text(data_dir, column, change):
    original = (data_dir / "1ubq.cif").read_text()
    values = [change(i, v) for i, v in enumerate(column_values(original, column))]
    text = replace_column(original, column, values)
    got, expected = annotate_both(text, from_mmcif(text, "archive"))
    assert_same_annotation(got, expected)
    assert got.structures.columns["error"][0] == expected.structures.columns["error"][0]


@pytest.mark.parametrize("column", ["label_atom_id", "label_comp_id", "Cartn_z", "auth_asym_id", "auth_seq_id",
                                    "pdbx_PDB_model_num", "label_alt_id"])
def test_absent_columns_mean_what_absent_items_mean_in_text(data_dir, column):
    lines = (data_dir / "1aki.cif").read_text().splitlines(keepends=True)
    # Drop the item's header line and its token in every row.
    items = [i for i, line in enumerate(lines) if line.startswith("_atom_site.")]
    position = [lines[i].strip() for i in items].index(f"_atom_site.{column}")
    out = []
    for i, line in enumerate(lines):
        if i == items[position]:
            continue
        if i > items[-1] and line.startswith(("ATOM", "HETATM")):
            tokens = line.split()
            del tokens[position]
            line = " ".join(tokens) + "\n"
        out.append(line)
    text = "".join(out)
    got, expected = annotate_both(text, from_mmcif(text, "archive"))
    assert_same_annotation(got, expected)
    assert got.structures.columns["error"][0] == expected.structures.columns["error"][0]


def test_quantized_and_double_coordinates_read_as_biotite_decodes_them(data_dir):
    original = (data_dir / "1ake.cif").read_text()
    axes = ("Cartn_x", "Cartn_y", "Cartn_z")
    quantized = [pdbx.IntervalQuantizationEncoding(min=-100, max=100, num_steps=2**16),
                 pdbx.ByteArrayEncoding(type=pdbx.TypeCode.INT32)]
    doubles = [pdbx.ByteArrayEncoding(type=pdbx.TypeCode.FLOAT64)]
    for encoding in (quantized, doubles):
        binary = from_mmcif(original, "archive", atom_site={axis: encoding for axis in axes})
        text = original
        # The same values as text, decoded by biotite and written as Python writes floats.
        category = pdbx.BinaryCIFFile.read(io.BytesIO(binary)).block["atom_site"]
        for axis in axes:
            decoded = category[axis].as_array(np.float64)
            text = replace_column(text, axis, [repr(float(v)) for v in decoded])
        got, expected = annotate_both(text, binary)
        assert_same_annotation(got, expected)


def replace_column(text, column, values):
    lines = text.splitlines(keepends=True)
    items = [i for i, line in enumerate(lines) if line.startswith("_atom_site.")]
    position = [lines[i].strip() for i in items].index(f"_atom_site.{column}")
    rows = iter(values)
    for i in range(items[-1] + 1, len(lines)):
        if lines[i].startswith(("ATOM", "HETATM")):
            tokens = lines[i].split()
            tokens[position] = next(rows)
            lines[i] = " ".join(tokens) + "\n"
    return "".join(lines)


def test_names_and_gzip_pick_binary_cif(tmp_path, data_dir):
    text = (data_dir / "1ubq.cif").read_text()
    binary = from_mmcif(text, "biotite")
    (tmp_path / "a.BCIF").write_bytes(binary)
    (tmp_path / "b.bcif.gz").write_bytes(gzip.compress(binary))
    (tmp_path / "c.data").write_bytes(binary)
    result = tarnix_tools.annotate([str(tmp_path / "a.BCIF"), str(tmp_path / "b.bcif.gz")], threads=1)
    assert list(result.structures.columns["status"]) == ["ok", "ok"]
    forced = tarnix_tools.annotate(str(tmp_path / "c.data"), format="bcif", threads=1)
    assert forced.structures.columns["status"][0] == "ok"
    walked = tarnix_tools.annotate(str(tmp_path), threads=1)
    assert sorted(pathlib.Path(n).name for n in walked.structures.columns["name"]) == ["a.BCIF", "b.bcif.gz"]


def test_the_command_line_reads_binary_cif_from_stdin(data_dir):
    text = (data_dir / "1aki.cif").read_text()
    binary = from_mmcif(text, "archive")
    run = tarnix("annotate", "-", "--input-format", "bcif", "--per", "structure", "-q", stdin=binary)
    assert run.returncode == 0, run.stderr
    expected = tarnix("annotate", "-", "--input-format", "mmcif", "--per", "structure", "-q", stdin=text.encode())
    # The same row but for the seconds column.
    assert [line.split("\t")[:-1] for line in run.stdout.decode().splitlines()] == \
        [line.split("\t")[:-1] for line in expected.stdout.decode().splitlines()]


@pytest.fixture(scope="module")
def nmr_mmcif(data_dir):
    """1d3z's ten models as mmCIF text written by biotite, renumbered out of order, with the third
    model's rows split around the fourth's."""
    stack = pdb.PDBFile.read(str(data_dir / "1d3z.pdb")).get_structure(model=None)
    cif = pdbx.CIFFile()
    pdbx.set_structure(cif, stack)
    out = io.StringIO()
    cif.write(out)
    lines = out.getvalue().splitlines(keepends=True)
    items = [i for i, line in enumerate(lines) if line.startswith("_atom_site.")]
    column = [lines[i].strip() for i in items].index("_atom_site.pdbx_PDB_model_num")
    rows = [i for i in range(items[-1] + 1, len(lines)) if lines[i].startswith(("ATOM", "HETATM"))]
    numbers = dict(zip(range(1, 11), [7, -2, 1, 30, 5, 6, 100, 8, 9, 2]))
    by_model = {}
    for i in rows:
        tokens = lines[i].split()
        model = int(tokens[column])
        tokens[column] = str(numbers[model])
        by_model.setdefault(model, []).append(" ".join(tokens) + "\n")
    half = len(by_model[3]) // 2
    ordered = (by_model[1] + by_model[2] + by_model[3][:half] + by_model[4] + by_model[3][half:]
               + [row for model in range(5, 11) for row in by_model[model]])
    return "".join(lines[:rows[0]] + ordered + lines[rows[-1] + 1:])


@pytest.mark.parametrize("plan", PLANS)
def test_every_model_reads_the_same_as_binary(nmr_mmcif, plan):
    got, expected = annotate_both(nmr_mmcif, from_mmcif(nmr_mmcif, plan), models="all")
    # The models in order of first appearance, from the text itself.
    written = column_values(nmr_mmcif, "pdbx_PDB_model_num")
    assert got.structures.columns["model"].tolist() == [int(n) for n in dict.fromkeys(written)]
    assert (got.structures.columns["status"] == "ok").all()
    assert_same_annotation(got, expected)


def test_a_bad_row_in_any_model_fails_the_whole_binary_file(nmr_mmcif):
    rows = len(column_values(nmr_mmcif, "Cartn_x"))
    text = replace_column(nmr_mmcif, "Cartn_x", ["?" if i == rows - 3 else v
                                                  for i, v in enumerate(column_values(nmr_mmcif, "Cartn_x"))])
    got, expected = annotate_both(text, from_mmcif(text, "archive"), models="all")
    assert len(got.structures) == 1 and got.structures.columns["status"][0] == "error"
    assert got.structures.columns["error"][0] == expected.structures.columns["error"][0]
    assert_same_annotation(got, expected)
