"""Model layouts that cost little to write and much to read: each input is read with models="all"
in a subprocess under an address-space limit, whose peak memory must stay within the bound the
README gives (a few times the decompressed size, plus what the rows made cost)."""

import gzip
import json
import os
import subprocess
import sys
import textwrap

import pytest

import bcif_writer

# The address sanitizer reserves far more address space than any limit and holds freed memory in
# quarantine: under it no limit is set and peaks are not compared, the rows still are.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")
ADDRESS_SPACE = 0 if UNDER_ASAN else 3 << 30
# The README's bound: MEMORY_FACTOR times the decompressed size, plus per row made.
MEMORY_FACTOR = 8
BYTES_PER_MODEL_ROW = 4096
BYTES_PER_RESIDUE_ROW = 512
SLACK = 96 << 20  # the interpreter's own growth over the run (tables, allocator)

# Peak memory as VmHWM: ru_maxrss of a child starts at its parent's peak, which execve carries over.
RUN = textwrap.dedent("""
    import json, resource, sys
    if {limit}:
        resource.setrlimit(resource.RLIMIT_AS, ({limit}, {limit}))
    from tarnix_tools import annotate

    def peak():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

    annotate([], models="all")
    before = peak()
    result = annotate(sys.argv[1], models="all", max_bytes=int(sys.argv[2]))
    after = peak()
    s = result.structures.columns
    print(json.dumps({{"grown": (after - before) * 1024, "models": len(result.structures),
                      "residues": len(result.residues), "status": sorted(set(s["status"].tolist())),
                      "errors": sorted(set(s["error"].tolist()))[:3], "first": s["residue_count"][:1].tolist()}}))
""").format(limit=ADDRESS_SPACE)


def read_all_models(path, max_bytes=1 << 31):
    done = subprocess.run([sys.executable, "-c", RUN, str(path), str(max_bytes)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout)


def within_bound(found, decompressed):
    bound = MEMORY_FACTOR * decompressed + BYTES_PER_MODEL_ROW * found["models"] + \
        BYTES_PER_RESIDUE_ROW * found["residues"] + SLACK
    print(f"peak growth {found['grown'] / 2**20:.1f} MiB for {decompressed} bytes and {found['models']} models,"
          f" bound {bound / 2**20:.1f} MiB")
    assert UNDER_ASAN or found["grown"] <= bound


def one_row_models_cif(count):
    rows = "".join(f"ATOM CA ALA A 1 1.0 2.0 3.0 {model}\n" for model in range(1, count + 1))
    return ("data_T\nloop_\n_atom_site.group_PDB\n_atom_site.label_atom_id\n_atom_site.label_comp_id\n"
            "_atom_site.label_asym_id\n_atom_site.label_seq_id\n_atom_site.Cartn_x\n_atom_site.Cartn_y\n"
            "_atom_site.Cartn_z\n_atom_site.pdbx_PDB_model_num\n" + rows + "#\n")


@pytest.mark.parametrize("kind, count", [("cif", 50_000), ("bcif.gz", 80_000)])
def test_many_one_row_models(kind, count, tmp_path):
    text = one_row_models_cif(count)
    data = text.encode() if kind == "cif" else bcif_writer.from_mmcif(text, "archive")
    path = tmp_path / f"models.{kind}"
    path.write_bytes(data if kind == "cif" else gzip.compress(data))
    found = read_all_models(path)
    assert found["models"] == count
    assert found["status"] == ["no_protein"]
    within_bound(found, len(data))


def ubiquitin_then_models(data_dir, model_lines):
    atoms = "".join(line + "\n" for line in (data_dir / "1ubq.pdb").read_text().splitlines()
                    if line.startswith("ATOM"))
    return (atoms + model_lines).encode()


@pytest.mark.parametrize("model_lines, models", [
    # MODEL records alone do not end a model: one model of every atom.
    ("MODEL        1\n" * 100_000, 1),
    # Each ENDMDL ends one: ubiquitin, then empty models.
    ("ENDMDL\nMODEL        1\n" * 100_000, 100_001),
])
def test_ubiquitin_then_many_models(model_lines, models, data_dir, tmp_path):
    data = ubiquitin_then_models(data_dir, model_lines)
    path = tmp_path / "bomb.pdb.gz"
    path.write_bytes(gzip.compress(data))
    found = read_all_models(path)
    assert found["models"] == models
    assert found["first"] == [76]
    assert found["residues"] == 76
    within_bound(found, len(data))


def backbone_models(data_dir, count):
    """`count` models of ubiquitin's backbone atoms: 77 rows each in about 330 bytes a residue."""
    atoms = "".join(line + "\n" for line in (data_dir / "1ubq.pdb").read_text().splitlines()
                    if line.startswith("ATOM") and line[12:16].strip() in ("N", "CA", "C", "O"))
    return ("".join(f"MODEL {k:8d}\n{atoms}ENDMDL\n" for k in range(1, count + 1))).encode()


LIMITS = {
    # name: (the file, its models, max_bytes that just holds them, the first max_bytes that fails)
    "rows": (lambda data_dir: backbone_models(data_dir, 20), 20, 512 * 20 * 77),
    "models": (lambda data_dir: ubiquitin_then_models(data_dir, "ENDMDL\nMODEL        1\n" * 5_000), 5_001,
               4096 * 5_001),
}


@pytest.mark.parametrize("limit", list(LIMITS))
@pytest.mark.parametrize("room", [0, -1])
def test_more_rows_or_models_than_max_bytes_allows_is_an_error_row(limit, room, data_dir, tmp_path):
    make, models, enough = LIMITS[limit]
    data = make(data_dir)
    path = tmp_path / "many.pdb.gz"
    path.write_bytes(gzip.compress(data))
    max_bytes = enough - 1 if room else enough
    assert len(data) <= max_bytes
    found = read_all_models(path, max_bytes)
    if room == 0:
        assert found["models"] == models
        return
    assert found["models"] == 1
    assert found["errors"] == [f"every model of this input would make more than {max_bytes // 512} rows or"
                               f" {max_bytes // 4096} models (max_bytes / 512 and / 4096)"]
