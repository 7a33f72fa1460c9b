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


TYPED_CONVERSIONS = """
import numpy as np
import numpy.typing as npt
import pandas
import polars

from tarnix_tools import Table

table = Table({"structure": np.array(["H", "E"]), "phi": np.array([-57.0, -120.0], np.float32)})
codes: npt.NDArray[np.str_] = table["structure"]
names: list[str] = table.column_names
frame: pandas.DataFrame = table.to_pandas()
rows: int = len(table) + frame.shape[0] + table.to_polars().height + table.to_arrow().num_rows
polars_frame: polars.DataFrame = table.to_polars()
print([name.upper() for name in table], "phi" in table, codes, names, rows, polars_frame.columns)
"""


def run_pyright(args, cwd):
    """pyright on the installed packages; skipped where it cannot run (it needs Node.js, which
    the test extras bring as a wheel, or downloads on its first run)."""
    try:
        probe = subprocess.run([sys.executable, "-m", "pyright", "--version"], cwd=cwd, capture_output=True,
                               text=True, timeout=120)
    except subprocess.TimeoutExpired:
        pytest.skip("pyright did not start within 120 s (fetching Node.js?)")
    if probe.returncode != 0:
        pytest.skip(f"pyright cannot run here: {(probe.stderr or probe.stdout).strip()[-300:]}")
    done = subprocess.run([sys.executable, "-m", "pyright", "--pythonpath", sys.executable, *args], cwd=cwd,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr


def test_a_users_script_and_the_package_pass_pyright(tmp_path):
    import tarnix_tools

    (tmp_path / "user.py").write_text(USER_SCRIPT)
    (tmp_path / "conversions.py").write_text(TYPED_CONVERSIONS)
    run_pyright(["user.py", "conversions.py", str(pathlib.Path(tarnix_tools.__file__).parent)], tmp_path)


def test_conversions_are_typed_for_mypy(tmp_path):
    (tmp_path / "conversions.py").write_text(TYPED_CONVERSIONS)
    run_checker(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "conversions.py"], tmp_path)


def test_errors_are_classes_caught_by_type():
    import tarnix_tools
    from tarnix_tools import _native

    assert tarnix_tools.InternalError is _native.InternalError
    assert issubclass(tarnix_tools.InternalError, BaseException)
    assert not issubclass(tarnix_tools.InternalError, Exception)
    assert issubclass(tarnix_tools.MissingExtra, ImportError)
