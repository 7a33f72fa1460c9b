"""Fuzzes BinaryCIF text: the first four bytes of the input (padded with "A") become the residue
name of residue 1 in a BinaryCIF file of ubiquitin's first residues. Bytes that are not UTF-8 must
give the input one error row with the text files' message; UTF-8 bytes read as that name. Either
way every table and writer must take the run.

Run by fuzz/run.sh under atheris; the tests replay the seeds and the kept regressions through
``check`` without atheris."""
import io
import pathlib
import sys

UTF8_ERROR = "IO error: stream did not contain valid UTF-8"
PLACEHOLDER = b"QQQQ"  # residue 1's name in the template, in both of its name columns
_template = (pathlib.Path(__file__).resolve().parent / "bcif_text_template.bcif").read_bytes()


def check(data: bytes) -> None:
    from tarnix_tools import annotate
    from tarnix_tools._writers import open_writer

    name = data[:4].ljust(4, b"A")
    result = annotate([("t.bcif", _template.replace(PLACEHOLDER, name))], models="all")
    structures = result.structures.columns
    try:
        text = name.decode("utf-8")
    except UnicodeDecodeError:
        assert structures["error"].tolist() == [UTF8_ERROR], structures["error"]
    else:
        assert structures["status"].tolist() == ["ok"], structures["error"]
        if "\0" not in text:
            assert result.residues.columns["residue_name"][0] == text
    for table in (result.structures, result.residues):
        table.to_pandas()
        for fmt in ("tsv", "csv", "jsonl"):
            writer = open_writer(io.BytesIO(), fmt)
            writer.append(table)
            writer.close()


def main() -> None:
    import atheris

    with atheris.instrument_imports(include=["tarnix_tools"]):
        import tarnix_tools  # noqa: F401
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
