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
