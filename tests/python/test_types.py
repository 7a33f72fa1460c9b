"""The installed type information, checked the way a user's type checker would see it."""
import importlib.util
import pathlib
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run_checker(args, cwd):
    # Run outside the repository, so that only installed packages and stubs are found.
    done = subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.parametrize("module", ["tarnix", "tarnix_tools"])
def test_stubs_match_the_runtime(module, tmp_path):
    if importlib.util.find_spec(module) is None:
        pytest.skip(f"{module} is not installed")
    run_checker(["mypy.stubtest", module], tmp_path)


def test_examples_pass_strict_checking(tmp_path):
    run_checker(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(EXAMPLES)], tmp_path)


USER_SCRIPT = """
from pathlib import Path

import tarnix_tools
from tarnix_tools import Annotation, MissingExtra, Table, annotate, iter_annotate
from tarnix_tools.dask import Summary, annotate_to_parquet


def run(folder: Path) -> int:
    annotation: Annotation = annotate([folder, ("mine.pdb", b"")], threads=2, sasa=False, progress=True)
    tables: list[Table] = [chunk.residues for chunk in iter_annotate(str(folder), chunk_size=64)]
    merged = Table.concat(tables)
    merged.write(folder / "residues.parquet")
    try:
        arrow = annotation.residues.to_arrow()
        frame = annotation.structures.to_pandas(dtype_backend="pyarrow")
        polars_frame = merged.to_polars()
    except MissingExtra as missing:
        print(missing)
        return 2
    except tarnix_tools.InternalError:
        raise
    summary: Summary = annotate_to_parquet([str(folder)], folder / "out", client="local:2", replace=True)
    print(arrow.num_rows, len(frame), polars_frame.height, summary.no_protein)
    return len(annotation.residues) + int(annotation.residues.columns["seq_id"].sum())
"""


def test_a_users_script_and_the_package_pass_strict_checking(tmp_path):
    (tmp_path / "user.py").write_text(USER_SCRIPT)
    cache = str(tmp_path / "cache")
    run_checker(["mypy", "--strict", "--cache-dir", cache, "user.py"], tmp_path)
    run_checker(["mypy", "--strict", "--cache-dir", cache, "-p", "tarnix_tools"], tmp_path)


def test_errors_are_classes_caught_by_type():
    import tarnix_tools
    from tarnix_tools import _native

    assert tarnix_tools.InternalError is _native.InternalError
    assert issubclass(tarnix_tools.InternalError, BaseException)
    assert not issubclass(tarnix_tools.InternalError, Exception)
    assert issubclass(tarnix_tools.MissingExtra, ImportError)
