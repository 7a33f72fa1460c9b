"""Inputs flow to the workers as they are read: no chunk waits to fill before its inputs start, the
bytes of an input are let go once it is done, and the chunks still come out whole and in order."""
import errno
import gzip
import os
import tarfile
import time

import pytest

import tarnix
import tarnix_tools
from tarnix_tools import _annotate
from tarnix_tools._inputs import iter_items


def exported(data):
    """Whether something (the run) still holds a view of this bytearray."""
    try:
        data.append(0)
    except BufferError:
        return True
    data.pop()
    return False


def test_inputs_start_before_their_chunk_is_full(tmp_path, data_dir):
    fifo = tmp_path / "first.pdb"
    os.mkfifo(fifo)
    text = (data_dir / "1ubq.pdb").read_bytes()

    def inputs():
        yield fifo
        # A worker must already be reading the first input, though its chunk has 255 places left.
        deadline = time.monotonic() + 30
        while True:
            try:
                writer = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as error:
                if error.errno != errno.ENXIO or time.monotonic() > deadline:
                    raise AssertionError("no worker opened the first input while the chunk was being read")
                time.sleep(0.01)
        os.set_blocking(writer, True)
        os.write(writer, text)
        os.close(writer)
        yield ("second.pdb", text)

    chunks = list(tarnix_tools.iter_annotate(inputs(), threads=2, chunk_size=256))
    assert len(chunks) == 1
    assert chunks[0].structures.columns["status"].tolist() == ["ok", "ok"]
    assert chunks[0].structures.columns["residue_count"].tolist() == [len(tarnix.assign(str(data_dir / "1ubq.pdb")))] * 2


def test_bytes_of_done_inputs_are_let_go_while_the_run_goes_on(data_dir):
    text = (data_dir / "1ubq.pdb").read_bytes()
    given = []
    most_held = 0

    def inputs():
        nonlocal most_held
        for i in range(1000):
            most_held = max(most_held, sum(exported(data) for data in given))
            data = bytearray(text)
            given.append(data)
            yield (f"{i}.pdb", data)

    annotation = tarnix_tools.annotate(inputs(), threads=2)  # a single chunk of 4096 places
    assert len(annotation.structures) == 1000
    # what the window holds, and the few done since the last input was added
    assert most_held <= _annotate._window(2, 4096) + 4
    assert not any(exported(data) for data in given)


def test_leaving_a_run_early_lets_go_of_every_input(data_dir):
    text = (data_dir / "1ubq.pdb").read_bytes()
    given = [bytearray(text) for _ in range(50)]
    chunks = tarnix_tools.iter_annotate([(f"{i}.pdb", data) for i, data in enumerate(given)], threads=2,
                                        chunk_size=5)
    first = next(chunks)
    assert len(first.structures) == 5
    chunks.close()
    assert not any(exported(data) for data in given)


@pytest.fixture
def mixed_inputs(data_dir, tmp_path):
    """Files, bytes, members of a plain and of a gzipped tar, and inputs that fail, with the name
    and residue count each must give (counts from tarnix.assign on the file itself)."""
    files = [data_dir / n for n in ("1ubq.pdb", "1aki.cif", "1ejg.pdb", "4hhb.pdb", "1bna.pdb")]
    counts = {}
    for path in files:
        try:
            counts[path.name] = len(tarnix.assign(str(path)))
        except ValueError:
            counts[path.name] = 0
    with tarfile.open(tmp_path / "set.tar", "w") as plain, tarfile.open(tmp_path / "set.tgz", "w:gz") as zipped:
        for path in files:
            plain.add(path, arcname=f"in/{path.name}")
            zipped.add(path, arcname=path.name)
    inputs, expected = [], []
    for path in files:
        inputs += [path, (path.name, path.read_bytes())]
        expected += [(str(path), counts[path.name]), (path.name, counts[path.name])]
    inputs += [tmp_path / "set.tar", tmp_path / "missing.pdb", tmp_path / "set.tgz"]
    expected += [(f"{tmp_path}/set.tar/in/{p.name}", counts[p.name]) for p in files]
    expected += [(f"{tmp_path}/missing.pdb", 0)]
    expected += [(f"{tmp_path}/set.tgz/{p.name}", counts[p.name]) for p in files]
    return inputs, expected


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("chunk_size", [1, 4, 64])
def test_chunks_are_whole_and_in_input_order(mixed_inputs, threads, chunk_size):
    inputs, expected = mixed_inputs
    chunks = list(tarnix_tools.iter_annotate(inputs, threads=threads, chunk_size=chunk_size))
    sizes = [len(chunk.structures) for chunk in chunks]
    assert sizes == [chunk_size] * (len(expected) // chunk_size) + ([len(expected) % chunk_size]
                                                                     if len(expected) % chunk_size else [])
    got = [(str(n), int(c)) for chunk in chunks for n, c in zip(chunk.structures.columns["name"],
                                                                   chunk.structures.columns["residue_count"])]
    assert got == expected
    rows = [chunk.residues.columns["input"] for chunk in chunks]
    counts = [count for _, count in expected]
    assert [int(r) for chunk_rows in rows for r in chunk_rows] == [i for i, c in enumerate(counts) for _ in range(c)]


def test_a_chunk_also_ends_at_its_memory_bound(monkeypatch, data_dir):
    sizes = [len((data_dir / n).read_bytes()) for n in ("1ubq.pdb", "1aki.pdb", "1ejg.pdb")] * 4
    inputs = [(f"{i}.pdb", (data_dir / n).read_bytes())
              for i, n in enumerate(("1ubq.pdb", "1aki.pdb", "1ejg.pdb") * 4)]
    bound = sizes[0] + sizes[1]
    monkeypatch.setattr(_annotate, "CHUNK_MEMORY", bound)
    expected, count, held = [], 0, 0
    for size in sizes:
        count, held = count + 1, held + size
        if held >= bound:
            expected.append(count)
            count, held = 0, 0
    expected += [count] if count else []
    chunks = list(tarnix_tools.iter_annotate(inputs, threads=2, chunk_size=100))
    assert [len(c.structures) for c in chunks] == expected
    assert len(expected) > 2


def test_members_of_a_plain_tar_are_read_in_place(data_dir, tmp_path):
    files = [data_dir / "1ubq.pdb", data_dir / "1ake.cif.gz", data_dir / "1aki.cif"]
    with tarfile.open(tmp_path / "set.tar", "w") as plain:
        for path in files:
            plain.add(path, arcname=f"{'x' * 120}/{path.name}")  # a name that needs an extended header
    with tarfile.open(tmp_path / "set.tar.gz", "w:gz") as zipped:
        for path in files:
            zipped.add(path, arcname=path.name)
    items = list(iter_items(str(tmp_path / "set.tar"), 2**31))
    data = (tmp_path / "set.tar").read_bytes()
    assert [item.data for item in items] == [None] * 3
    assert [data[item.span[0]:sum(item.span)] for item in items] == [p.read_bytes() for p in files]
    in_place = tarnix_tools.annotate(tmp_path / "set.tar", threads=2).residues.columns
    zipped = tarnix_tools.annotate(tmp_path / "set.tar.gz", threads=2).residues.columns
    as_files = tarnix_tools.annotate(files, threads=1).residues.columns
    for name, values in as_files.items():
        assert in_place[name].tobytes() == zipped[name].tobytes() == values.tobytes(), name
    limited = tarnix_tools.annotate(tmp_path / "set.tar", max_bytes=100).structures.columns["error"].tolist()
    assert limited == ["input size exceeds max_bytes (100)"] * 3
    # a gzip member's decompressed size is bounded too
    small = len(gzip.decompress(files[1].read_bytes())) - 1
    bounded = tarnix_tools.annotate(tmp_path / "set.tar", max_bytes=small).structures.columns["error"][1]
    assert bounded == f"gzip: decompressed size exceeds max_bytes ({small})"
