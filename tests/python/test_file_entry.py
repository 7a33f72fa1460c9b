"""assign() on files: the ValueError texts of opening and reading, and the reader choice."""

import gzip
import os
import shutil

import pytest

import tarnix


EMPTY = "Empty file or no valid records"
NOT_UTF8 = "IO error: stream did not contain valid UTF-8"
# Rows the PDB reader skips, while the mmCIF reader fails on the missing atom name.
CIF_WITHOUT_ATOM_NAMES = "data_x\nloop_\n_atom_site.Cartn_x\n1.0\n"


def os_error(code):
    return f"{os.strerror(code)} (os error {code})"


def assign_error(path):
    with pytest.raises(ValueError) as raised:
        tarnix.assign(str(path), calculate_sasa=False)
    return str(raised.value)


@pytest.mark.parametrize("name", ["missing.pdb", "missing.cif", "missing.mmcif", "missing"])
def test_missing_file_gives_the_bare_os_text(tmp_path, name):
    assert assign_error(tmp_path / name) == os_error(2)


@pytest.mark.parametrize("name", ["folder", "folder.cif"])
def test_directory_fails_in_the_reader(tmp_path, name):
    (tmp_path / name).mkdir()
    assert assign_error(tmp_path / name) == "IO error: " + os_error(21)


def test_nul_byte_fails_before_opening(tmp_path):
    (tmp_path / "a.pdb").write_text("")
    assert assign_error(f"{tmp_path}/a.pdb\0.cif") == "file name contained an unexpected NUL byte"


@pytest.mark.parametrize("name", ["empty.pdb", "empty.cif", "empty"])
def test_empty_file(tmp_path, name):
    (tmp_path / name).write_bytes(b"")
    assert assign_error(tmp_path / name) == EMPTY


def test_gzip_files_go_to_the_pdb_reader_and_fail_as_text(tmp_path, data_dir):
    assert assign_error(data_dir / "1ake.cif.gz") == NOT_UTF8
    packed = tmp_path / "model.cif.gz"
    packed.write_bytes(gzip.compress((data_dir / "1ubq.cif").read_bytes()))
    assert assign_error(packed) == NOT_UTF8


@pytest.mark.parametrize(
    "name, message",
    [
        ("model.cif", "Missing field: label_atom_id"),
        ("model.CIF", "Missing field: label_atom_id"),
        ("model.Cif", "Missing field: label_atom_id"),
        ("MODEL.MMCIF", "Missing field: label_atom_id"),
        ("mod\u00e8le.cif", "Missing field: label_atom_id"),
        ("model.cif.gz", EMPTY),
        ("model.ent", EMPTY),
        ("model", EMPTY),
        ("model.c\u0130f", EMPTY),
    ],
)
def test_reader_is_chosen_by_the_name(tmp_path, name, message):
    (tmp_path / name).write_text(CIF_WITHOUT_ATOM_NAMES)
    assert assign_error(tmp_path / name) == message


def test_mmcif_messages_reach_python(tmp_path):
    path = tmp_path / "bad.cif"
    path.write_text(
        "loop_\n_atom_site.label_atom_id\n_atom_site.label_comp_id\n"
        "_atom_site.Cartn_x\n_atom_site.Cartn_y\n_atom_site.Cartn_z\nN ALA ? 1 2\n"
    )
    assert assign_error(path) == "Invalid number: invalid float literal"


def test_both_formats_of_an_entry_read_alike(tmp_path, data_dir):
    renamed = tmp_path / "1ubq.MMCIF"
    shutil.copyfile(data_dir / "1ubq.cif", renamed)
    from_pdb = tarnix.assign(str(data_dir / "1ubq.pdb"), calculate_sasa=False)
    from_cif = tarnix.assign(str(renamed), calculate_sasa=False)
    assert from_pdb.residue_count == from_cif.residue_count == 76
    assert from_pdb.aa_sequence == from_cif.aa_sequence
    assert from_pdb.structure_id == from_cif.structure_id == ""
