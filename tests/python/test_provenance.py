"""Every Parquet file the package writes says what made it; `tarnix --version` says which tarnix."""

import importlib.metadata
import shlex
import subprocess
import sys

import pytest

import tarnix_tools
from test_cli import tarnix

pq = pytest.importorskip("pyarrow.parquet")

VERSION = importlib.metadata.version("tarnix")


def recorded(path):
    """The tarnix keys of a Parquet file's metadata, which the file's own key-value metadata and
    the schema pyarrow reads from it must both hold."""
    def ours(metadata):
        return {k.decode(): v.decode() for k, v in (metadata or {}).items() if k.startswith(b"tarnix.")}

    in_file = ours(pq.read_metadata(path).metadata)
    assert ours(pq.read_schema(path).metadata) == in_file
    return in_file


def expected(sasa=True, ppii=3, models="first", command=None):
    keys = {"tarnix.version": VERSION, "tarnix.accessibility": "on" if sasa else "off",
            "tarnix.ppii_stretch": str(ppii), "tarnix.models": models, "tarnix.max_bytes": str(2**31)}
    if command is not None:
        keys["tarnix.command"] = shlex.join(["tarnix", *map(str, command)])
    return keys


def test_version_of_the_command_and_the_package():
    done = tarnix("--version")
    assert done.returncode == 0
    assert done.stdout.decode().strip() == f"tarnix {VERSION}"
    assert tarnix_tools.__version__ == VERSION


@pytest.mark.parametrize("options, keys", [
    ([], {}),
    (["--no-sasa", "--ppii", "5", "--models", "all", "--per", "structure"],
     {"sasa": False, "ppii": 5, "models": "all"}),
])
def test_the_command_records_its_options_and_command_line(data_dir, tmp_path, options, keys):
    out = tmp_path / "out dir" / "rows.parquet"
    out.parent.mkdir()
    command = ["annotate", data_dir / "1ubq.pdb", data_dir / "1d3z.pdb", "-o", out, "-q", *options]
    assert tarnix(*command).returncode == 0
    assert recorded(out) == expected(**keys, command=command)


def test_the_command_with_no_input_still_records_version_and_command(tmp_path):
    listing = tmp_path / "empty.txt"
    listing.write_text("")
    command = ["annotate", "--from-list", listing, "-o", tmp_path / "none.parquet"]
    assert tarnix(*command).returncode == 0
    assert recorded(tmp_path / "none.parquet") == {"tarnix.version": VERSION,
                                                   "tarnix.command": shlex.join(["tarnix", *map(str, command)])}


@pytest.mark.parametrize("per", ["frame", "residue"])
def test_frames_of_the_command_record_their_options(data_dir, tmp_path, per):
    pytest.importorskip("chemfiles")
    command = ["frames", data_dir / "2juy_crlf.pdb", "--stop", 3, "--per", per, "--sasa", "--ppii", 2,
               "-o", tmp_path / "frames.parquet", "-q"]
    assert tarnix(*command).returncode == 0
    assert recorded(tmp_path / "frames.parquet") == {
        "tarnix.version": VERSION, "tarnix.command": shlex.join(["tarnix", *map(str, command)]),
        "tarnix.accessibility": "on", "tarnix.ppii_stretch": "2"}


@pytest.mark.parametrize("inputs", [["1ubq.pdb", "1aki.cif"], []])
def test_a_written_table_records_its_run_and_reads_back_with_the_same_columns(data_dir, tmp_path, inputs):
    pd = pytest.importorskip("pandas")
    pl = pytest.importorskip("polars")
    annotation = tarnix_tools.annotate([str(data_dir / name) for name in inputs], sasa=False, ppii_stretch=0)
    for table, name in ((annotation.residues, "r.parquet"), (annotation.structures, "s.parquet")):
        table.write(tmp_path / name)
        assert recorded(tmp_path / name) == expected(sasa=False, ppii=0)
        assert list(pd.read_parquet(tmp_path / name).columns) == table.column_names
        assert pl.read_parquet(tmp_path / name).columns == table.column_names
        assert pq.read_table(tmp_path / name).equals(table.to_arrow())


def test_chunks_concatenated_keep_what_they_share(data_dir, tmp_path):
    inputs = [str(data_dir / "1ubq.pdb")] * 3
    chunks = [c.residues for c in tarnix_tools.iter_annotate(inputs, chunk_size=1, models="all")]
    merged = tarnix_tools.Table.concat(chunks)
    assert merged.provenance == expected(models="all")
    other = tarnix_tools.annotate(inputs[:1], sasa=False).residues
    assert tarnix_tools.Table.concat([merged, other]).provenance == {
        key: value for key, value in expected().items() if key not in ("tarnix.accessibility", "tarnix.models")}
    mine = tarnix_tools.Table({"x": [1, 2]})
    mine.write(tmp_path / "mine.parquet")
    assert recorded(tmp_path / "mine.parquet") == {"tarnix.version": VERSION}


def test_text_formats_stay_plain_data(data_dir, tmp_path):
    csv_out = tmp_path / "rows.csv"
    assert tarnix("annotate", data_dir / "1ubq.pdb", "-o", csv_out, "-q").returncode == 0
    lines = csv_out.read_text().splitlines()
    assert lines[0].startswith("name,input,index,") and len(lines) == 77


def test_both_dask_datasets_record_the_run(data_dir, tmp_path):
    pytest.importorskip("distributed")
    from tarnix_tools.dask import annotate_to_parquet

    inputs = [str(data_dir / "1ubq.pdb"), str(data_dir / "1aki.cif"), str(tmp_path / "missing.pdb")]
    annotate_to_parquet(inputs, tmp_path / "api", client="local:1", files_per_task=1, sasa=False,
                        ppii_stretch=4)
    command = ["annotate", *inputs, "-o", tmp_path / "cli", "--scheduler", "local:1", "--files-per-task", "2",
               "--models", "all", "-q"]
    done = subprocess.run([sys.executable, "-m", "tarnix_tools", *map(str, command)], capture_output=True,
                          timeout=300)
    assert done.returncode == 1, done.stderr
    for run, keys in (("api", expected(sasa=False, ppii=4)), ("cli", expected(models="all", command=command))):
        for dataset in ("structures", "residues"):
            parts = sorted((tmp_path / run / dataset).glob("part.*.parquet"))
            assert len(parts) == (3 if run == "api" else 2)
            for part in parts:
                got = recorded(part)
                assert got == keys, (run, dataset, part.name)
