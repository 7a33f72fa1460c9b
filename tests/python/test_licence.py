"""The licence travels with the package: in its metadata and as a file of the installed distribution."""
import importlib.metadata
import pathlib

LICENSE = pathlib.Path(__file__).resolve().parents[2] / "LICENSE"


def test_the_installed_distribution_carries_the_licence():
    metadata = importlib.metadata.metadata("tarnix")
    assert metadata["License-Expression"] == "BSD-3-Clause"
    assert metadata.get_all("License-File") == ["LICENSE"]
    files = [f for f in importlib.metadata.distribution("tarnix").files or [] if f.name == "LICENSE"]
    assert len(files) == 1 and ".dist-info/" in str(files[0]).replace("\\", "/")
    installed = files[0].read_text()
    assert installed.startswith("BSD 3-Clause License") and "The tarnix developers" in installed
    if LICENSE.exists():
        assert installed == LICENSE.read_text()
