"""What is written reads back exactly in other programs: quoting whatever a column's width, names
that are not UTF-8 escaped the same way everywhere, non-finite numbers in JSON lines."""
import csv
import io
import json
import math
import os
import pathlib
import tarfile

import numpy as np
import pytest

import tarnix_tools
from tarnix_tools.table import Table

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"


def read_delimited(path, separator):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.reader(f, delimiter=separator))


@pytest.mark.parametrize("fmt, separator", [("csv", ","), ("tsv", "\t")])
@pytest.mark.parametrize("texts", [['"'], ['"', "A"], ['"x', 'a"', "b"], [",", "\t", "\n", "\r", ' "']],
                         ids=["quote", "quote beside a letter", "quote at either end", "separators"])
def test_every_field_that_needs_quoting_reads_back(tmp_path, fmt, separator, texts):
    # the narrowest array holding the texts: a doubled quote must not be cut to the column's width
    chain = np.array(texts)
    table = Table({"chain_id": chain, "n": np.arange(len(texts), dtype=np.int32)})
    table.write(tmp_path / f"t.{fmt}")
    assert read_delimited(tmp_path / f"t.{fmt}", separator) == [["chain_id", "n"]] + [
        [text, str(k)] for k, text in enumerate(texts)]
    pd = pytest.importorskip("pandas")
    back = pd.read_csv(tmp_path / f"t.{fmt}", sep=separator, keep_default_na=False, dtype=str)
    assert back["chain_id"].tolist() == texts


def test_jsonl_writes_non_finite_numbers_as_null(tmp_path):
    values = np.array([np.nan, np.inf, -np.inf, 1.5], dtype=np.float32)
    Table({"x": values, "y": values.astype(np.float64)}).write(tmp_path / "t.jsonl")
    records = [json.loads(line) for line in (tmp_path / "t.jsonl").read_text().splitlines()]
    assert [r["x"] for r in records] == [r["y"] for r in records] == [None, None, None, 1.5]


@pytest.fixture
def odd_names(tmp_path):
    """A walked file and a tar member whose names are not UTF-8, and the names the tables show."""
    walked = tmp_path / "walk"
    walked.mkdir()
    content = (DATA / "1ajj.pdb").read_bytes()
    with open(os.path.join(os.fsencode(walked), b"bad\xff\xfe.pdb"), "wb") as f:
        f.write(content)
    archive = tmp_path / "a.tar"
    with tarfile.open(archive, "w", format=tarfile.GNU_FORMAT, encoding="utf-8",
                      errors="surrogateescape") as tar:
        member = tarfile.TarInfo(os.fsdecode(b"m\xe9.pdb"))
        member.size = len(content)
        tar.addfile(member, io.BytesIO(content))
    return [walked, archive], [f"{walked}/bad\\xff\\xfe.pdb", f"{archive}/m\\xe9.pdb"]


def test_names_that_are_not_utf8_are_escaped_alike_in_every_output(tmp_path, odd_names):
    inputs, shown = odd_names
    annotation = tarnix_tools.annotate(inputs)
    assert annotation.structures.columns["name"].tolist() == shown
    assert annotation.structures.columns["status"].tolist() == ["ok", "ok"]
    for fmt, separator in (("tsv", "\t"), ("csv", ",")):
        annotation.structures.write(tmp_path / f"s.{fmt}")
        assert [row[0] for row in read_delimited(tmp_path / f"s.{fmt}", separator)[1:]] == shown
    annotation.structures.write(tmp_path / "s.jsonl")
    assert [json.loads(line)["name"] for line in open(tmp_path / "s.jsonl", encoding="utf-8")] == shown
    pytest.importorskip("pyarrow")
    annotation.structures.write(tmp_path / "s.parquet")
    import pyarrow.parquet as pq
    assert pq.read_table(tmp_path / "s.parquet").column("name").to_pylist() == shown
    assert annotation.structures.to_arrow().column("name").to_pylist() == shown
    pytest.importorskip("polars")
    assert annotation.structures.to_polars()["name"].to_list() == shown


def test_writers_escape_texts_a_caller_built_with_undecodable_bytes(tmp_path):
    names = np.array([os.fsdecode(b"x\xff"), "fine", "lone \ud800 surrogate"])
    table = Table({"name": names, "v": np.array([math.nan, 1.0, 2.0])})
    shown = ["x\\xff", "fine", "lone \\ud800 surrogate"]
    for fmt, separator in (("tsv", "\t"), ("csv", ",")):
        table.write(tmp_path / f"t.{fmt}")
        assert [row[0] for row in read_delimited(tmp_path / f"t.{fmt}", separator)[1:]] == shown
    table.write(tmp_path / "t.jsonl")
    assert [json.loads(line)["name"] for line in open(tmp_path / "t.jsonl", encoding="utf-8")] == shown


def test_a_cluster_run_keeps_names_that_are_not_utf8(tmp_path, odd_names):
    pytest.importorskip("distributed")
    pq = pytest.importorskip("pyarrow.parquet")
    from tarnix_tools.dask import annotate_to_parquet

    inputs, shown = odd_names
    summary = annotate_to_parquet([str(p) for p in inputs], tmp_path / "out", files_per_task=1)
    assert (summary.inputs, summary.failed) == (2, 0)
    structures = pq.read_table(tmp_path / "out" / "structures").column("name").to_pylist()
    residues = pq.read_table(tmp_path / "out" / "residues").column("name").to_pylist()
    assert structures == shown and sorted(set(residues)) == sorted(shown)
