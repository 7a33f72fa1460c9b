"""Text in a BinaryCIF file that is not UTF-8 fails its input as the same bytes fail an mmCIF or PDB
file, as an error row of that input only; every table and writer then works on the run."""

import csv
import json
import subprocess
import sys

import pytest

from tarnix_tools import annotate

import bcif_writer

UTF8_ERROR = "IO error: stream did not contain valid UTF-8"

NOT_UTF8 = {
    "surrogate_first": b"\xed\xa0\x80",
    "surrogate_last": b"\xed\xbf\xbf",
    "beyond_u10ffff": b"\xf4\x90\x80\x80",
    "lead_f7": b"\xf7\xbf\xbf\xbf",
    "overlong_nul": b"\xc0\x80",
    "overlong_three": b"\xe0\x80\xaf",
    "lone_continuation": b"\x80",
    "cut_short": b"\xe2\x82",
}


def with_name(data_dir, name):
    """1ubq.cif and its BinaryCIF form with the residue name MET (every row of residue 1) as `name`:
    written with a placeholder of the same length, then replaced byte for byte."""
    placeholder = b"Q" * len(name)
    text = (data_dir / "1ubq.cif").read_bytes().replace(b" MET ", b" " + placeholder + b" ")
    bcif = bcif_writer.from_mmcif(text.decode(), "plain")
    assert bcif.count(placeholder) >= 1
    return text.replace(placeholder, name), bcif.replace(placeholder, name)


@pytest.mark.parametrize("bad", list(NOT_UTF8))
def test_text_that_is_not_utf8_fails_only_its_input_in_every_form(bad, data_dir):
    cif, bcif = with_name(data_dir, NOT_UTF8[bad])
    pdb = (data_dir / "1ubq.pdb").read_bytes().replace(b" MET A", NOT_UTF8[bad].ljust(4, b" ") + b"A", 1)
    inputs = [("bad.bcif", bcif), ("bad.cif", cif), ("bad.pdb", pdb), data_dir / "1ubq.pdb"]
    for models in ("first", "all"):
        result = annotate(inputs, models=models)
        structures = result.structures.columns
        assert structures["status"].tolist() == ["error", "error", "error", "ok"]
        assert structures["error"].tolist()[:3] == [UTF8_ERROR] * 3
        assert structures["residue_count"].tolist() == [0, 0, 0, 76]
        frame = result.residues.to_pandas()
        assert len(frame) == 76


def test_a_run_with_such_a_file_writes_every_format(data_dir, tmp_path):
    _, bcif = with_name(data_dir, NOT_UTF8["lead_f7"])
    bad = tmp_path / "bad.bcif"
    bad.write_bytes(bcif)
    for suffix in ("tsv", "csv", "jsonl"):
        for per in ("residue", "structure"):
            out = tmp_path / f"out_{per}.{suffix}"
            done = subprocess.run([sys.executable, "-m", "tarnix_tools", "annotate", str(bad), str(data_dir / "1ubq.pdb"),
                                   "--per", per, "-o", str(out)], capture_output=True, text=True, timeout=120)
            assert done.returncode == 1, done.stderr  # some input failed, the output is complete
            assert done.stderr.startswith(f"{bad}: {UTF8_ERROR}\n")
            text = out.read_text(encoding="utf-8")
            if suffix == "jsonl":
                rows = [json.loads(line) for line in text.splitlines()]
            else:
                rows = list(csv.DictReader(text.splitlines(), delimiter="\t" if suffix == "tsv" else ","))
            assert len(rows) == (76 if per == "residue" else 2)
            if per == "structure":
                assert rows[0]["error"] == UTF8_ERROR


@pytest.mark.parametrize("name", ["É", "Ωα", "\U0001F600", "\U0010FFFD"])
def test_names_that_are_utf8_read_as_in_mmcif(name, data_dir):
    cif, bcif = with_name(data_dir, name.encode())
    result = annotate([("ok.bcif", bcif), ("ok.cif", cif)])
    residues = result.residues.columns
    assert result.structures.columns["status"].tolist() == ["ok", "ok"]
    first = residues["input"] == 0
    assert residues["residue_name"][first][0] == name
    for column, values in residues.items():
        if column != "input":
            assert values[first].tobytes() == values[~first].tobytes(), column
    assert result.residues.to_pandas()["residue_name"].iloc[0] == name
