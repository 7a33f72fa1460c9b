"""tarnix_tools.annotate end to end: the same values as tarnix.assign, whatever the packaging
of the input, and one row per input whatever goes wrong."""
import gzip
import os
import signal
import subprocess
import sys
import tarfile
import textwrap
import threading

import numpy as np
import pytest

import tarnix
import tarnix_tools
from test_secondary_structure import ideal_backbone, strand_pair

RESIDUE_FIELDS = ("index", "chain_id", "seq_id", "amino_acid", "structure", "structure_c3", "phi", "psi",
                  "accessibility")


def corpus_files(folder):
    return sorted(p for p in folder.iterdir() if p.is_file())


@pytest.fixture(params=["data_dir", "structures_dir"])
def real_files(request):
    """The repository's own files, then the whole corpus when it is there."""
    return corpus_files(request.getfixturevalue(request.param))


def rows_of(annotation, row):
    columns = annotation.residues.columns
    chosen = columns["input"] == row
    return {name: columns[name][chosen] for name in columns}


def has_atom_records(path):
    """Whether the file holds an atom record for the reader its name selects, read here apart."""
    lines = path.read_bytes().splitlines()
    if path.suffix.lower() in (".cif", ".mmcif"):
        return any(line.split()[:1] in ([b"ATOM"], [b"HETATM"]) for line in lines)

    def pdb_atom(line):
        try:
            return line[:6] in (b"ATOM  ", b"HETATM") and all(float(line[c:c + 8]) == float(line[c:c + 8])
                                                            for c in (30, 38, 46))
        except ValueError:
            return False

    return any(pdb_atom(line) for line in lines)


def expected_rows(result, sasa=True):
    """assign's residues as the columns annotate gives (absent angles as NaN, and accessibility
    when it was not computed)."""
    records = result.residues
    out = {name: [getattr(r, name) for r in records] for name in RESIDUE_FIELDS}
    for name in ("phi", "psi"):
        out[name] = np.array([np.nan if v is None else v for v in out[name]], dtype=np.float32)
    out["accessibility"] = np.array(out["accessibility"] if sasa else [np.nan] * len(records), dtype=np.float32)
    return out


def assert_same_rows(annotation, row, result, sasa=True):
    got = rows_of(annotation, row)
    for name, values in expected_rows(result, sasa).items():
        if name in ("phi", "psi", "accessibility"):
            assert got[name].tobytes() == values.tobytes(), name  # bit for bit, NaN included
        else:
            assert got[name].tolist() == list(values), name


@pytest.mark.parametrize("sasa, ppii_stretch", [(True, 3), (False, 2)])
def test_every_real_file_matches_assign(real_files, sasa, ppii_stretch):
    files = real_files
    annotation = tarnix_tools.annotate(files, threads=2, sasa=sasa, ppii_stretch=ppii_stretch)
    structures = annotation.structures.columns
    assert structures["name"].tolist() == [str(f) for f in files]
    for row, path in enumerate(files):
        try:
            result = tarnix.assign(str(path), calculate_sasa=sasa, ppii_stretch=ppii_stretch)
        except ValueError as error:
            if path.suffix == ".gz":
                continue  # assign reads gzip as text; annotate decompresses it
            if path.suffix.lower() not in (".pdb", ".ent", ".cif", ".mmcif"):
                continue  # assign reads such a name as PDB; annotate goes by the content
            status = "no_protein" if has_atom_records(path) else "error"
            assert (structures["status"][row], structures["error"][row]) == (status, str(error))
            continue
        assert (structures["status"][row], structures["error"][row]) == ("ok", "")
        assert structures["residue_count"][row] == len(result)
        assert_same_rows(annotation, row, result, sasa)
    assert np.all(np.diff(annotation.residues.columns["input"]) >= 0)


def test_gzip_memory_and_tar_member_give_identical_rows(data_dir, tmp_path):
    plain = data_dir / "1ake.cif"
    data = plain.read_bytes()
    (tmp_path / "copy.pdb.gz").write_bytes(gzip.compress((data_dir / "1aki.pdb").read_bytes()))
    with tarfile.open(tmp_path / "set.tar.gz", "w:gz") as archive:
        archive.add(plain, arcname="deep/1ake.cif")
        archive.add(tmp_path / "copy.pdb.gz", arcname="deep/1aki.pdb.gz")
    inputs = [plain, data_dir / "1ake.cif.gz", ("memory.cif", data), ("zipped.cif", gzip.compress(data)),
              tmp_path / "set.tar.gz", ("any-name", data)]
    annotation = tarnix_tools.annotate(inputs, format="mmcif")
    structures = annotation.structures.columns
    assert structures["name"].tolist()[4:6] == [f"{tmp_path}/set.tar.gz/deep/1ake.cif",
                                                f"{tmp_path}/set.tar.gz/deep/1aki.pdb.gz"]
    assert structures["status"].tolist() == ["ok", "ok", "ok", "ok", "ok", "error", "ok"]  # 1aki forced to mmCIF
    reference = {name: values.tobytes() for name, values in rows_of(annotation, 0).items() if name != "input"}
    for row in (1, 2, 3, 4, 6):
        assert {n: v.tobytes() for n, v in rows_of(annotation, row).items() if n != "input"} == reference
    by_name = tarnix_tools.annotate([tmp_path / "set.tar.gz"])
    assert by_name.structures.columns["status"].tolist() == ["ok", "ok"]
    assert_same_rows(by_name, 1, tarnix.assign(str(data_dir / "1aki.pdb")))


def write_pdb(path, coords):
    lines = []
    for i, residue in enumerate(coords):
        for name, (x, y, z) in zip(("N", "CA", "C", "O"), residue):
            serial = 4 * i + len(lines) % 4 + 1
            lines.append(f"ATOM  {serial:5d}  {name:<3s} ALA A{i + 1:4d}    {x:8.3f}{y:8.3f}{z:8.3f}  1.00  0.00")
    path.write_text("\n".join(lines) + "\nEND\n")
    return path


def test_hydrogen_bonds_bridges_and_sheets_on_built_geometry(tmp_path):
    helix = write_pdb(tmp_path / "helix.pdb", ideal_backbone([(-57.0, -47.0)] * 20))
    pair = write_pdb(tmp_path / "pair.pdb", strand_pair(8, parallel=False))
    annotation = tarnix_tools.annotate([helix, pair], sasa=False)
    h = rows_of(annotation, 0)
    inner = slice(4, 16)
    assert set(h["structure"][inner]) == {"H"}
    assert set(h["nh_o_1_offset"][inner]) == {-4}  # N-H of i to C=O of i-4
    assert set(h["o_hn_1_offset"][inner]) == {4}
    assert np.all(h["nh_o_1_energy"][inner] < -0.5)
    assert np.isnan(h["rsa"]).all()
    s = rows_of(annotation, 1)
    bridged = np.flatnonzero(s["bridge_partner_1"])
    assert len(bridged) >= 4 and set(s["structure"][bridged]) == {"E"}
    partners = bridged + s["bridge_partner_1"][bridged]
    assert np.all((bridged < 8) != (partners < 8))  # every bridge joins the two strands
    assert np.array_equal(partners + s["bridge_partner_1"][partners], bridged)  # and is mutual
    assert set(s["sheet"][bridged]) == {1} and set(s["sheet"][s["structure"] != "E"]) == {0}


def bad_inputs(tmp_path):
    good = write_pdb(tmp_path / "good.pdb", ideal_backbone([(-57.0, -47.0)] * 12))
    text = good.read_bytes()
    (tmp_path / "truncated.pdb.gz").write_bytes(gzip.compress(text)[:-30])
    (tmp_path / "random.pdb.gz").write_bytes(b"\x1f\x8b" + os.urandom(500))
    (tmp_path / "bomb.pdb.gz").write_bytes(gzip.compress(b"REMARK" + b" " * 5_000_000 + b"\n" + text))
    (tmp_path / "folder.pdb").mkdir()
    with tarfile.open(tmp_path / "empty.tar", "w"):
        pass
    (tmp_path / "corrupt.tar").write_bytes(b"not a tar archive at all" * 40)
    return [
        (tmp_path / "truncated.pdb.gz", "gzip: invalid or truncated compressed data"),
        (tmp_path / "random.pdb.gz", "gzip: "),
        (tmp_path / "bomb.pdb.gz", "gzip: decompressed size exceeds max_bytes (1000000)"),
        (tmp_path / "missing.pdb", "No such file or directory (os error 2)"),
        (tmp_path / "folder.pdb", "no structure files in this directory"),
        (tmp_path / "empty.tar", "tar: no structure files in this archive"),
        (tmp_path / "corrupt.tar", "tar: "),
        (good, ""),
    ]


def test_each_bad_input_is_one_error_row_and_the_run_goes_on(tmp_path):
    cases = bad_inputs(tmp_path)
    annotation = tarnix_tools.annotate([path for path, _ in cases], max_bytes=1_000_000)
    structures = annotation.structures.columns
    assert len(annotation.structures) == len(cases)
    for row, (path, message) in enumerate(cases):
        assert structures["error"][row].startswith(message), path
        assert structures["status"][row] == ("error" if message else "ok")
    assert set(annotation.residues.columns["input"]) == {len(cases) - 1}
    assert np.isnan(structures["helix_fraction"][0]) and structures["helix_fraction"][-1] > 0.5


def test_directory_walk_is_recursive_and_sorted(tmp_path):
    good = write_pdb(tmp_path / "src.pdb", ideal_backbone([(-57.0, -47.0)] * 8)).read_bytes()
    for name in ("b/z.ent", "a.PDB.GZ", "b/a.cif.txt", "c.mmcif"):
        (tmp_path / "d" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "d" / name).write_bytes(gzip.compress(good) if name.endswith("GZ") else good)
    names = tarnix_tools.annotate(tmp_path / "d").structures.columns["name"].tolist()
    assert names == [str(tmp_path / "d" / n) for n in ("a.PDB.GZ", "b/z.ent", "c.mmcif")]


def tiled_structure(pdb_path, copies):
    """Copies of a structure side by side, each under its own chain ids: one large input."""
    atoms = [line for line in pdb_path.read_text().splitlines() if line.startswith("ATOM")]
    lines = []
    for k in range(copies):
        for line in atoms:
            x = float(line[30:38]) + 80.0 * k
            lines.append(f"{line[:21]}{chr(ord('A') + (ord(line[21]) - ord('A') + 4 * k) % 26)}{line[22:30]}"
                         f"{x:8.3f}{line[38:]}")
    return "\n".join(lines).encode() + b"\nEND\n"


def test_thread_count_never_changes_a_value(data_dir):
    big = ("tiled.pdb", tiled_structure(data_dir / "4hhb.pdb", 4))  # large enough to be spread
    inputs = [big, *corpus_files(data_dir)]
    one, three = (tarnix_tools.annotate(inputs, threads=n) for n in (1, 3))
    alone = tarnix_tools.annotate([big], threads=2)
    assert len(alone.residues) > 2000
    for name, values in one.residues.columns.items():
        assert three.residues.columns[name].tobytes() == values.tobytes(), name
        assert alone.residues.columns[name].tobytes() == values[one.residues.columns["input"] == 0].tobytes(), name


def test_concurrent_calls_agree_with_one_call(data_dir):
    files = corpus_files(data_dir) * 3
    reference = tarnix_tools.annotate(files, threads=1)
    results = [None, None]

    def run(k):
        results[k] = tarnix_tools.annotate(files, threads=2)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for result in results:
        for name, values in reference.residues.columns.items():
            assert result.residues.columns[name].tobytes() == values.tobytes(), name


@pytest.mark.parametrize("call, error", [
    (lambda: tarnix_tools.annotate(42), TypeError),
    (lambda: tarnix_tools.annotate([("name", "text, not bytes")]), TypeError),
    (lambda: tarnix_tools.annotate([], threads=-1), ValueError),
    (lambda: tarnix_tools.annotate([], sasa=1), TypeError),
    (lambda: tarnix_tools.annotate([], format="xyz"), ValueError),
])
def test_arguments_of_the_wrong_kind_raise(call, error):
    with pytest.raises(error):
        call()


def test_ctrl_c_interrupts_a_run_stuck_on_a_fifo(tmp_path):
    fifo = tmp_path / "stuck.pdb"
    os.mkfifo(fifo)
    script = textwrap.dedent(f"""
        import sys, tarnix_tools
        print("ready", flush=True)
        try:
            tarnix_tools.annotate([{str(fifo)!r}])
        except KeyboardInterrupt:
            print("interrupted", flush=True)
        print(len(tarnix_tools.annotate([("x.pdb", open({str(tmp_path / 'ok.pdb')!r}, "rb").read())]).residues))
    """)
    write_pdb(tmp_path / "ok.pdb", ideal_backbone([(-57.0, -47.0)] * 9))
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n"
    threading.Event().wait(0.5)
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=20)
    assert out.split() == ["interrupted", "9"]


def test_progress_bar_counts_a_list_of_files(capsys, data_dir):
    pytest.importorskip("tqdm")
    files = [data_dir / "1ajj.pdb", data_dir / "1aki.pdb", data_dir / "1ubq.pdb"]
    tarnix_tools.annotate(files, progress=True, sasa=False)
    shown = capsys.readouterr().err
    assert "3/3 [" in shown and "residues" in shown


def test_error_texts_come_back_whole_whatever_their_characters(tmp_path, data_dir):
    archive = tmp_path / "links.tar"
    with tarfile.open(archive, "w") as tar:
        for name, target in [("a.pdb", "../Ωmega😀.pdb"), ("b.pdb", "../x.pdb")]:
            link = tarfile.TarInfo(name)
            link.type, link.linkname = tarfile.SYMTYPE, target
            tar.addfile(link)
    result = tarnix_tools.annotate([str(archive), str(data_dir / "1ubq.pdb")])
    expected = ["tar: link points outside the archive: ../Ωmega😀.pdb",
                "tar: link points outside the archive: ../x.pdb", ""]
    errors = result.structures.columns["error"]
    assert errors.tolist() == expected
    assert errors.dtype == np.dtype(f"<U{len(expected[0])}")
    assert result.structures.columns["status"].tolist() == ["error", "error", "ok"]
    pa = pytest.importorskip("pyarrow")
    assert result.structures.to_arrow().column("error").to_pylist() == expected
    assert pa.types.is_string(result.structures.to_arrow().schema.field("error").type)


def test_an_empty_annotation_has_the_columns_and_types_of_a_real_one(data_dir):
    real = tarnix_tools.annotate([str(data_dir / "1ubq.pdb"), ("bad.pdb", b"")])
    for empty in (tarnix_tools.Annotation.empty(), tarnix_tools.annotate([])):
        for table in ("structures", "residues"):
            got, model = getattr(empty, table).columns, getattr(real, table).columns
            assert len(getattr(empty, table)) == 0
            assert list(got) == list(model), table
            for name in model:
                # Text is as wide as its longest value, or as a fixed vocabulary's.
                kept = model[name].dtype if name == "status" or model[name].dtype.kind != "U" else np.dtype("<U1")
                assert got[name].dtype == kept, (table, name)
            pa = pytest.importorskip("pyarrow")
            assert pa.table(getattr(empty, table)).schema == pa.table(getattr(real, table)).schema
