"""BinaryCIF files that end too early or too late, and files whose atom table claims more rows
than their bytes can pay for: each one error row, quickly and in bounded memory."""
import gzip

import msgpack
import pytest

import tarnix_tools
from bcif_writer import from_mmcif
from test_binary_cif import annotate_both, assert_same_annotation
from test_hostile_inputs import run_child

INVALID = "Invalid BinaryCIF: "


def with_categories_around_atom_site(binary):
    """The file with a category before its atom table and two after it, as deposited files have."""
    document = msgpack.unpackb(binary)
    block = document["dataBlocks"][0]
    atom_site = block["categories"][0]
    extra = {"name": "_pdbx_poly_seq_scheme", "rowCount": 2, "columns": [
        {"name": "mon_id", "data": {"data": b"\x00\x00\x00\x00\x01\x00\x00\x00", "encoding": [
            {"kind": "StringArray", "dataEncoding": [{"kind": "ByteArray", "type": 3}], "stringData": "METGLN",
             "offsetEncoding": [{"kind": "ByteArray", "type": 3}], "offsets": b"\x00\x00\x00\x00\x03\x00\x00\x00"
             b"\x06\x00\x00\x00"}]}, "mask": None}]}
    block["categories"] = [dict(extra, name="_entity"), atom_site, extra, dict(extra, name="_struct_site_gen")]
    return msgpack.packb(document, use_bin_type=True)


def statuses(inputs):
    s = tarnix_tools.annotate(inputs, threads=2, sasa=False).structures.columns
    return list(zip(s["status"].tolist(), s["error"].tolist()))


def test_every_cut_and_every_tail_of_a_real_file_is_an_error_row(data_dir):
    text = (data_dir / "1ubq.cif").read_text()
    binary = with_categories_around_atom_site(from_mmcif(text, "biotite"))
    got, expected = annotate_both(text, binary)
    assert got.structures.columns["status"][0] == "ok"
    assert_same_annotation(got, expected)
    # Every cut, the many that fall after the atom table included (the last two categories).
    cuts = [(f"cut{size}.bcif", binary[:size]) for size in range(1, len(binary))]
    rows = statuses(cuts)
    assert len(rows) == len(binary) - 1
    assert set(rows) == {("error", INVALID + "the data end early (a truncated file?)")}
    tails = [(f"tail{k}.bcif", binary + tail) for k, tail in enumerate([b"\0", b"\xc0", b"\n", binary])]
    assert set(statuses(tails)) == {("error", INVALID + "bytes after the end of the MessagePack data")}
    # Gzip adds its own length and checksum, which the cut no longer matches; the tail it holds.
    assert statuses([("x.bcif.gz", gzip.compress(binary + b"\0"))]) == [
        ("error", INVALID + "bytes after the end of the MessagePack data")]


def row_bomb(rows, padding=0):
    """An atom table claiming `rows` rows, each column one run: a few hundred bytes, plus a
    category of `padding` zero bytes that gzip makes nothing of."""
    def run(value):
        return {"data": (value).to_bytes(4, "little", signed=True) + rows.to_bytes(4, "little"), "encoding": [
            {"kind": "RunLength", "srcType": 3, "srcSize": rows}, {"kind": "ByteArray", "type": 3}]}

    def text(value):
        return {"data": run(0)["data"], "encoding": [{
            "kind": "StringArray", "dataEncoding": run(0)["encoding"], "stringData": value,
            "offsetEncoding": [{"kind": "ByteArray", "type": 3}],
            "offsets": (0).to_bytes(4, "little") + len(value).to_bytes(4, "little")}]}

    columns = [("label_atom_id", text("CA")), ("label_comp_id", text("GLY")), ("Cartn_x", run(1)),
               ("Cartn_y", run(2)), ("Cartn_z", run(3)), ("label_seq_id", run(1)), ("label_asym_id", text("A"))]
    atom_site = {"name": "_atom_site", "rowCount": rows,
                 "columns": [{"name": name, "data": data, "mask": None} for name, data in columns]}
    categories = [{"name": "_padding", "rowCount": 0, "columns": [{"name": "x", "data": {
        "data": bytes(padding), "encoding": []}}]}, atom_site]
    document = {"version": "0.3.0", "encoder": "test", "dataBlocks": [{"header": "BOMB", "categories": categories}]}
    return gzip.compress(msgpack.packb(document, use_bin_type=True), 9)


@pytest.mark.parametrize("padding", [0, 4 << 20], ids=["tiny", "4 MB of zeros"])
def test_a_row_bomb_is_one_error_row_in_bounded_memory(tmp_path, padding):
    rows = 32 << 20
    path = tmp_path / "bomb.bcif.gz"
    path.write_bytes(row_bomb(rows, padding))
    assert path.stat().st_size < 6000
    # The peak resident size grows by what the read takes beyond the import; the address-space
    # limit turns a blow-up into a failure rather than a swapping machine.
    child = run_child(f"""
        import resource, tarnix_tools
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        s = tarnix_tools.annotate({str(path)!r}, threads=1).structures.columns
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(s["status"][0], s["error"][0], grown, sep="|")
        """, timeout=120, memory=3 << 30)
    assert child.returncode == 0, child.stderr[-2000:]
    status, error, grown_kb = child.stdout.strip().split("|")
    assert (status, error.split(" rows,")[0]) == ("error", INVALID + f"_atom_site claims {rows}")
    assert int(grown_kb) < 64 << 10, f"peak memory grew by {int(grown_kb) >> 10} MiB"
    print(f"row bomb ({padding} bytes of padding): peak memory grew by {int(grown_kb) >> 10} MiB")
