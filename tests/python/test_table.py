import csv
import io
import json
import sys

import math

import numpy as np
import pytest

from tarnix_tools._writers import open_writer
from tarnix_tools.table import Table

TEXTS = ["A", " ", "", 'say "hi"', "tab\there", "a,b", "line\nbreak", "back\\slash", "Å ü",
         " lead", "trail ", "\x01ctl"]


def synthetic(rows=3000, seed=7):  # rows >= 8
    """Every column kind of the annotation tables, with the awkward values of each."""
    rng = np.random.default_rng(seed)
    floats = rng.integers(0, 2**32, rows, dtype=np.uint64).astype(np.uint32).view(np.float32)
    floats = np.where(np.isfinite(floats), floats, np.float32(1.5))
    floats[:8] = [np.nan, -0.0, 0.0, 1e-5, 123456.79, -180.0, 0.1, np.float32(1) / 3]
    angles = rng.uniform(-180, 180, rows).astype(np.float32)
    angles[rng.random(rows) < 0.1] = np.nan
    return Table({
        "input": (np.arange(rows) // 7).astype(np.int32),
        "seq_id": rng.integers(-(2**31), 2**31 - 1, rows).astype(np.int32),
        "chain_id": np.array(TEXTS)[np.arange(rows) % len(TEXTS)],
        "structure": rng.choice(np.array(list("HGIEBPTS ")), rows),
        "phi": angles,
        "bits": floats,
        "energy": np.round(rng.uniform(-9.9, 0, rows), 1).astype(np.float32),
        "fraction": np.where(rng.random(rows) < 0.1, np.nan, rng.random(rows)),
    })


def read_back(path, fmt, like):
    """Columns read with the standard library (or pyarrow for parquet), typed like `like`."""
    if fmt == "parquet":
        import pyarrow.parquet as pq
        arrow = pq.read_table(path)
        return {n: arrow.column(n).to_numpy(zero_copy_only=False) for n in arrow.column_names}
    with open(path, newline="", encoding="utf-8") as f:
        if fmt == "jsonl":
            records = [json.loads(line) for line in f]
            cells = {n: [r[n] for r in records] for n in like.columns}
        else:
            reader = csv.reader(f, delimiter="\t" if fmt == "tsv" else ",")
            names = next(reader)
            cells = dict(zip(names, map(list, zip(*reader))))
    out = {}
    for name, values in like.columns.items():
        raw = cells[name]
        if values.dtype.kind == "f":
            out[name] = np.array([np.nan if v in ("", None) else float(v) for v in raw]).astype(values.dtype)
        else:
            out[name] = np.array(raw, dtype=values.dtype if values.dtype.kind != "U" else str)
    return out


def assert_same_columns(got, table):
    assert list(got) == list(table.columns)
    for name, expected in table.columns.items():
        actual = got[name]
        if expected.dtype.kind == "f":
            # NaN where NaN (of either sign), every other value bit for bit
            actual = np.asarray(actual, expected.dtype)
            nan = np.isnan(expected)
            np.testing.assert_array_equal(np.isnan(actual), nan, err_msg=name)
            bits = f"u{expected.itemsize}"
            np.testing.assert_array_equal(actual[~nan].view(bits), expected[~nan].view(bits), err_msg=name)
        else:
            assert np.asarray(actual).tolist() == expected.tolist(), name


@pytest.mark.parametrize("fmt", ["tsv", "csv", "jsonl", "parquet"])
def test_written_tables_read_back_equal(tmp_path, fmt):
    table = synthetic()
    first, second = (Table({n: v[s] for n, v in table.columns.items()})
                     for s in (slice(None, 1234), slice(1234, None)))
    assert_same_columns(Table.concat([first, second]).columns, table)

    path = tmp_path / f"out.{fmt}"
    with open_writer(path) as writer:  # streamed in two pieces, one header
        writer.append(first)
        writer.append(second)
    assert_same_columns(read_back(path, fmt, table), table)

    if fmt != "parquet":
        whole = tmp_path / f"whole.{fmt.upper()}"
        table.write(whole)
        assert whole.read_bytes() == path.read_bytes()
        stream = io.StringIO()
        with open_writer(stream, fmt) as writer:
            writer.append(table)
        assert stream.getvalue().encode() == path.read_bytes()
        assert not stream.closed


def test_delimited_text_stays_readable(tmp_path):
    # a blank code is a visible quoted space; NaN an empty field; common readers agree
    pd = pytest.importorskip("pandas")
    table = synthetic(rows=40)
    table.write(tmp_path / "t.tsv")
    first, second = [line.split("\t") for line in (tmp_path / "t.tsv").read_text().splitlines()[1:3]]
    assert (first[2], first[5], second[2], second[5]) == ("A", "", '" "', "-0.0")
    frame = pd.read_csv(tmp_path / "t.tsv", sep="\t", keep_default_na=False,
                        dtype={"chain_id": str, "structure": str})
    assert frame["structure"].tolist() == table.columns["structure"].tolist()
    assert frame["chain_id"].tolist() == table.columns["chain_id"].tolist()


def test_float_text_is_numpy_shortest_repr():
    rng = np.random.default_rng(3)
    values = rng.integers(0, 2**32, 200_000, dtype=np.uint64).astype(np.uint32).view(np.float32)
    values = np.concatenate([values, np.float32([1e-4, 9.9999e-5, 999999.94, 1e6, 0.5, -0.0,
                                                 np.inf, -np.inf, 16777217, 1e-45])])
    with np.errstate(invalid="ignore"):
        expected = values.astype(str)
    expected[np.isnan(values)] = ""
    stream = io.StringIO()
    with open_writer(stream, "tsv") as writer:
        writer.append(Table({"x": values}))
    assert stream.getvalue().splitlines()[1:] == expected.tolist()


def test_arrow_pandas_polars():
    pa = pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    pd = pytest.importorskip("pandas")
    table = synthetic(rows=500)
    arrow = table.to_arrow()
    assert arrow.schema.field("chain_id").type == pa.string()
    assert arrow.schema.field("phi").type == pa.float32()
    assert arrow.column("phi").null_count == np.isnan(table.columns["phi"]).sum() > 0  # NaN is null
    for converted in (arrow, pa.table(table)):
        assert converted.schema == arrow.schema
        assert_same_columns({n: converted.column(n).to_numpy(zero_copy_only=False)
                             for n in table.columns}, table)

    frame = pl.DataFrame(table)
    assert frame.equals(table.to_polars(), null_equal=True)
    assert_same_columns({n: frame[n].to_numpy() for n in table.columns}, table)
    assert_same_columns({n: s.to_numpy() for n, s in table.to_pandas().items()}, table)
    assert isinstance(table.to_pandas(), pd.DataFrame)
    assert repr(table).startswith("<Table: 500 rows; columns: input, seq_id, chain_id")


@pytest.mark.parametrize("values", [
    np.array(["A", "", " B", "C ", "a\x00b", "\x01", "xyzw"]),   # ASCII: laid out directly
    np.array(["H", "E", " ", ""] * 1000, dtype="U1"),
    np.array([], dtype="U3"),
    np.array(["", ""]),
    np.array(["Å", "A"]),
    np.array(["é\x00é", "日本", "🧬x", "\u07ff\u0800\uffff\U00010000\U0010ffff", "", "plain"]),  # 1 to 4 UTF-8 bytes
    np.array(["x" * 69 + "é", "y"] * 3000),
    np.array([f"v{i * 7919 % 5003}" for i in range(20000)]),  # mostly distinct: no dictionary of its own
    np.tile(np.repeat([f"v{i * 7919 % 1500}" for i in range(1500)], 3), 2),  # runs, and values met again
])
def test_text_columns_convert_like_pyarrow(values, tmp_path):
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    column = Table({"t": values}).to_arrow().column("t")
    assert column.type == pa.string()
    # The values themselves: pyarrow's own conversion would cut "a\x00b" at the NUL.
    assert column.to_pylist() == values.tolist()
    kept = np.array([v for v in values.tolist() if "\x00" not in v], dtype=values.dtype)
    assert Table({"t": kept}).to_arrow().column("t").combine_chunks().equals(pa.array(kept))
    # Parquet takes text as a dictionary of the distinct values: it reads back as the values
    Table({"t": values}).write(tmp_path / "t.parquet")
    assert pq.read_table(tmp_path / "t.parquet").column("t").to_pylist() == values.tolist()


@pytest.mark.parametrize("order", [1, -1])
def test_parquet_text_mostly_distinct_in_one_table_and_repeated_in_another(tmp_path, order):
    pq = pytest.importorskip("pyarrow.parquet")
    tables = [Table({"t": np.array(["a", "b"] * 2000)}), Table({"t": np.array([f"n{i}" for i in range(4000)])})]
    with open_writer(tmp_path / "t.parquet") as writer:
        for table in tables[::order]:
            writer.append(table)
    expected = [value for table in tables[::order] for value in table.columns["t"].tolist()]
    assert pq.read_table(tmp_path / "t.parquet").column("t").to_pylist() == expected


def test_parquet_reads_back_as_pyarrow_writes_the_arrow_table(tmp_path, data_dir):
    """Residue rows go to Parquet with each structure's name coded by input, chunk by chunk;
    the file reads back, schema and metadata included, as pyarrow writes the whole table with
    the run's provenance as its schema's metadata."""
    pq = pytest.importorskip("pyarrow.parquet")
    from tarnix_tools import annotate, iter_annotate

    inputs = [str(data_dir / name) for name in ("1ubq.pdb", "1aki.cif", "1ubq.pdb", "4hhb.pdb")]
    path = tmp_path / "chunks.parquet"
    with open_writer(path) as writer:
        first = 0
        for chunk in iter_annotate(inputs, chunk_size=1):
            writer.append_with_names(chunk.structures, chunk.residues, first)
            first += len(chunk.structures)
    whole = annotate(inputs)
    names = whole.structures.columns["name"][whole.residues.columns["input"]]
    expected = Table({"name": names, **whole.residues.columns}).to_arrow()
    pq.write_table(expected.replace_schema_metadata(whole.residues.provenance), tmp_path / "whole.parquet")
    assert pq.read_table(path).equals(expected)
    assert pq.read_metadata(path).metadata == pq.read_metadata(tmp_path / "whole.parquet").metadata


@pytest.mark.parametrize("values", [
    np.array([1.5, np.nan, -0.0, np.inf], dtype=np.float32),
    np.array([np.nan] * 9, dtype=">f8"),                            # not in the machine's byte order
    np.array([2**31 - 1, -2**31, 0, 7, 9], dtype=np.int32)[::2],     # a strided view
    np.array([65535, 1], dtype=">u2"),
    np.array([], dtype=np.int64),
])
def test_number_columns_convert_like_pyarrow(values):
    pa = pytest.importorskip("pyarrow")
    column = Table({"v": values}).to_arrow().column("v")
    assert column.type == pa.from_numpy_dtype(values.dtype.newbyteorder("="))
    expected = [None if isinstance(v, float) and math.isnan(v) else v for v in values.tolist()]
    assert column.to_pylist() == expected


def test_capsule_and_polars_without_pyarrow(monkeypatch):
    pl = pytest.importorskip("polars")
    table = synthetic(rows=100)
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    assert pl.DataFrame(table).equals(table.to_polars(), null_equal=True)


@pytest.mark.parametrize("call, module, extra", [
    (lambda t, p: t.to_arrow(), "pyarrow", "arrow"),
    (lambda t, p: t.to_pandas(), "pandas", "pandas"),
    (lambda t, p: t.to_polars(), "polars", "polars"),
    (lambda t, p: t.write(p / "x.parquet"), "pyarrow.parquet", "arrow"),
])
def test_missing_extra_names_it(monkeypatch, tmp_path, call, module, extra):
    from tarnix_tools import MissingExtra

    monkeypatch.setitem(sys.modules, module, None)
    with pytest.raises(MissingExtra, match=rf"pip install 'tarnix\[{extra}\]'"):
        call(synthetic(rows=8), tmp_path)


def test_rejections(tmp_path):
    table = synthetic(rows=8)
    with pytest.raises(ValueError, match=r"\.parquet, \.tsv, \.csv or \.jsonl"):
        table.write(tmp_path / "out.txt")
    with pytest.raises(ValueError, match="'b' has 2 rows"):
        Table({"a": np.zeros(3), "b": np.zeros(2)})
    with pytest.raises(ValueError, match="concatenate"):
        Table.concat([table, Table({"input": np.zeros(1, np.int32)})])
    with pytest.raises(ValueError, match="differ"), open_writer(tmp_path / "x.csv") as writer:
        writer.append(table)
        writer.append(Table({"input": np.zeros(1, np.int32)}))
    with pytest.raises(ValueError, match="stream"):
        open_writer(io.StringIO(), "parquet")


@pytest.mark.parametrize("sasa", [True, False])
def test_undefined_values_are_null(tmp_path, data_dir, sasa):
    """Null wherever tarnix.assign has no value (an angle of None, no accessibility without sasa,
    no fraction without residues), in every format that has nulls; NaN in NumPy and pandas."""
    pa = pytest.importorskip("pyarrow")
    pl = pytest.importorskip("polars")
    pq = pytest.importorskip("pyarrow.parquet")
    import tarnix
    import tarnix_tools

    path = str(data_dir / "1ajj.pdb")
    expected = tarnix.assign(path, calculate_sasa=sasa).residues
    ann = tarnix_tools.annotate([path, str(data_dir / "1bna.pdb")], sasa=sasa)
    no_value = {"phi": [r.phi is None for r in expected], "psi": [r.psi is None for r in expected],
                "accessibility": [not sasa] * len(expected)}
    structures_null = {"helix_fraction": [False, True], "accessibility_total": [not sasa, True]}
    assert np.isnan(ann.residues.columns["accessibility"]).tolist() == no_value["accessibility"]
    ann.residues.write(tmp_path / "r.parquet")
    ann.structures.write(tmp_path / "s.parquet")
    for table, nulls, written in ((ann.residues, no_value, "r.parquet"), (ann.structures, structures_null,
                                                                            "s.parquet")):
        for arrow in (table.to_arrow(), pa.table(table), pq.read_table(tmp_path / written)):
            for name, where in nulls.items():
                assert arrow.column(name).is_null().to_pylist() == where, name
        for frame in (table.to_polars(), pl.DataFrame(table), pl.read_parquet(tmp_path / written)):
            for name, where in nulls.items():
                assert frame[name].is_null().to_list() == where, name
        pandas_nan = table.to_pandas()
        arrow_backed = table.to_pandas(dtype_backend="pyarrow")
        for name, where in nulls.items():
            assert pandas_nan[name].dtype.kind == "f" and pandas_nan[name].isna().tolist() == where
            assert str(arrow_backed[name].dtype).endswith("[pyarrow]") and arrow_backed[name].isna().tolist() == where
    if sasa:  # defined values stay what tarnix.assign gives
        got = ann.residues.to_arrow().column("accessibility").to_pylist()
        assert got == [float(np.float32(r.accessibility)) for r in expected]


@pytest.mark.parametrize("suffix", ["tsv", "parquet"])
def test_an_interrupt_while_opening_leaves_no_file(tmp_path, monkeypatch, suffix):
    """Ctrl-C can land after the temporary file is made and before a with block owns its writer."""
    pytest.importorskip("pyarrow")

    def interrupted(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr("os.fchmod", interrupted)
    with pytest.raises(KeyboardInterrupt):
        open_writer(tmp_path / f"out.{suffix}")
    assert list(tmp_path.iterdir()) == []


def test_a_table_is_indexed_by_name_and_iterates_over_names_like_a_data_frame(data_dir):
    from tarnix_tools import annotate

    residues = annotate([str(data_dir / "1ubq.pdb"), str(data_dir / "1aki.cif")]).residues
    names = residues.column_names
    assert names == list(residues.columns) and names[:3] == ["input", "index", "chain_id"]
    assert list(residues) == names and "structure" in residues and "name" not in residues
    assert len(residues) == 76 + 129  # rows, as len(DataFrame)
    assert residues["structure"] is residues.columns["structure"]
    pd = pytest.importorskip("pandas")
    frame = residues.to_pandas()
    assert list(frame) == list(residues)
    for name in residues:
        assert np.array_equal(frame[name].to_numpy(), residues[name], equal_nan=residues[name].dtype.kind == "f")
    names.append("changed")  # a copy: the table keeps its columns
    assert "changed" not in residues.column_names


@pytest.mark.parametrize("key", ["structur", "Structure", "", "residues"])
def test_a_wrong_name_is_a_key_error_naming_the_columns(key):
    table = Table({"structure": np.array(["H"]), "phi": np.array([1.0])})
    with pytest.raises(KeyError) as raised:
        table[key]
    assert raised.value.args[0] == f"no column {key!r}; the columns are structure, phi"
    assert key not in table
