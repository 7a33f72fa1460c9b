"""An input whose name claims no format (stdin, `.pdbx`, `.txt`, no suffix) is read by what its
bytes are; each case gives the rows of the same content under its proper suffix."""

import csv
import gzip
import io

import pytest

import tarnix_tools
from test_binary_cif import assert_same_annotation
from test_cli import tarnix

# The first bytes the engine looks at to decide; a data block opened past them is not seen.
SNIFF_BYTES = 4096


def proper(data_dir, name):
    return tarnix_tools.annotate([str(data_dir / name)], threads=1)


def bcif_of(data_dir, name):
    from bcif_writer import from_mmcif

    return from_mmcif((data_dir / name).read_text(), "archive")


@pytest.mark.parametrize("source, suffix", [
    ("1ake.cif", ".pdbx"), ("1aki.pdb", ".txt"), ("1aki.cif", ""), ("1ubq.pdb", ""),
    ("1ake.cif.gz", ".pdbx.gz"), ("1ake.cif.gz", ".gz"), ("1ubq.cif", ".CIF1"),
])
def test_a_file_named_for_no_format_reads_as_its_content(data_dir, tmp_path, source, suffix):
    path = tmp_path / ("structure" + suffix)
    path.write_bytes((data_dir / source).read_bytes())
    got = tarnix_tools.annotate([str(path)], threads=1)
    assert got.structures.columns["status"][0] == "ok"
    assert_same_annotation(got, proper(data_dir, source))


@pytest.mark.parametrize("compress", [False, True])
@pytest.mark.parametrize("name", ["x", "x.txt"])
def test_binary_cif_in_memory_reads_without_its_suffix(data_dir, name, compress):
    binary = bcif_of(data_dir, "1aki.cif")
    data = gzip.compress(binary) if compress else binary
    got = tarnix_tools.annotate([(name + (".gz" if compress else ""), data)], threads=1)
    assert_same_annotation(got, tarnix_tools.annotate([("x.bcif", binary)], threads=1))


def atom_records(path):
    return b"".join(line for line in path.read_bytes().splitlines(keepends=True) if line.startswith(b"ATOM"))


def tsv_rows(output):
    rows = list(csv.reader(io.StringIO(output.decode()), delimiter="\t"))
    return [row[1:] for row in rows]  # the name differs: <stdin> against the file's


@pytest.mark.parametrize("make, proper_name", [
    (lambda d: (d / "1ake.cif").read_bytes(), "1ake.cif"),
    (lambda d: (d / "1ake.cif.gz").read_bytes(), "1ake.cif.gz"),
    (lambda d: (d / "4hhb.pdb").read_bytes(), "4hhb.pdb"),
    (lambda d: atom_records(d / "4hhb.pdb"), "4hhb.pdb"),  # atoms from the first byte on
    (lambda d: gzip.compress((d / "4hhb.pdb").read_bytes()), "4hhb.pdb"),
    (lambda d: bcif_of(d, "1aki.cif"), "1aki.bcif"),
    (lambda d: gzip.compress(bcif_of(d, "1aki.cif")), "1aki.bcif"),
])
def test_stdin_without_input_format_reads_as_its_content(data_dir, tmp_path, make, proper_name):
    data = make(data_dir)
    if proper_name.endswith(".bcif"):
        (tmp_path / proper_name).write_bytes(bcif_of(data_dir, "1aki.cif"))
        named = tmp_path / proper_name
    else:
        named = data_dir / proper_name
    piped = tarnix("annotate", "-", "-q", stdin=data)
    expected = tarnix("annotate", named, "-q")
    assert piped.returncode == expected.returncode == 0, piped.stderr
    assert len(tsv_rows(piped.stdout)) > 100
    assert tsv_rows(piped.stdout) == tsv_rows(expected.stdout)


@pytest.mark.parametrize("head, reads_as", [
    (b"", "mmcif"),
    (b"# a comment\n\n   \t\r\n#\n", "mmcif"),
    (b"  ", "mmcif"),                         # blanks before the block on its own line
    (b"#" * (SNIFF_BYTES - 6) + b"\n", "mmcif"),   # "data_" ends on the last byte looked at
    (b"#" * (SNIFF_BYTES - 5) + b"\n", "pdb"),     # ... and one byte past it
    (b"#" + b" " * (SNIFF_BYTES + 10) + b"\n", "pdb"),  # a comment longer than the look
])
@pytest.mark.parametrize("via", ["memory", "stream"])
def test_the_data_block_decides_within_the_first_bytes(data_dir, tmp_path, head, reads_as, via):
    text = head + (data_dir / "1ubq.cif").read_bytes().replace(b"data_", b"DATA_", 1)
    if via == "memory":
        got = tarnix_tools.annotate([("structure", text)], threads=1)
    else:  # read through a FIFO, which only a stream can give
        import os
        import threading

        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        writer = threading.Thread(target=fifo.write_bytes, args=(text,))
        writer.start()
        got = tarnix_tools.annotate([str(fifo)], threads=1)
        writer.join(timeout=60)
    forced = tarnix_tools.annotate([("structure", text)], threads=1, format=reads_as)
    assert_same_annotation(got, forced)
    assert (got.structures.columns["status"][0] == "ok") == (reads_as == "mmcif")


def test_a_named_suffix_keeps_deciding(data_dir):
    text = (data_dir / "1ake.cif").read_bytes()
    named_pdb = tarnix_tools.annotate([("x.pdb", text), ("x.pdb.gz", gzip.compress(text))], threads=1)
    assert_same_annotation(named_pdb, tarnix_tools.annotate([("x", text), ("y", text)], threads=1, format="pdb"))
    assert (named_pdb.structures.columns["status"] == "error").all()


def test_stdin_that_no_format_claims_fails_as_pdb_does():
    piped = tarnix("annotate", "-", "--per", "structure", stdin=b"\x00\x01 not a structure\n")
    assert piped.returncode == 1
    assert piped.stderr.splitlines()[0] == b"<stdin>: Empty file or no valid records"
