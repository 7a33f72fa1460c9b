"""Fuzzes the expansion of inputs: a small random tree (files, directories, FIFOs, sockets,
symbolic links, names of any bytes) walked as a directory, and a list file naming paths one per
line. Every structure-named regular file must come out once, in sorted order; every other entry
named like a structure file as an error row; no FIFO may be opened (it would block: a time-out);
every name must be text any writer takes.

Run by fuzz/run.sh under atheris; the tests replay the seeds and the kept regressions through
``check`` without atheris."""
import os
import shutil
import socket
import stat
import sys
import tempfile

_inputs = None
_cli = None
_ROOT = tempfile.mkdtemp(prefix="expansion-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
_NAMES = [b"a.pdb", b"B.CIF.gz", b"c.ent", b"d.mmcif", b"e.txt", b"f", b"\xff.pdb", b"g h.cif", b"x.tar",
          b"\xc3\xa9.pdb.gz", b"dir.pdb", b"-", b".pdb"]
_UNSAFE = bytes(b if b not in b"/\0\n\r" else ord("_") for b in range(256))
_KINDS = ("file", "directory", "fifo", "socket", "symlink", "dangling")


def _build(data, top):
    """Entries created from the fuzzer's bytes; returns {path: kind} of what was made."""
    made = {}
    for _ in range(data[0] % 12 if data else 0):
        data = data[1:]
        if len(data) < 3:
            break
        depth = data[0] % 3
        parts = [_NAMES[b % len(_NAMES)] for b in data[1:1 + depth + 1]]
        if data[0] & 0x80 and len(data) > 6:
            # any bytes but those a path or a list line cannot hold
            parts[-1] = bytes(data[2:6]).translate(_UNSAFE) or b"_"
        kind = _KINDS[data[-1] % len(_KINDS)]
        data = data[2 + depth:]
        path = os.path.join(top, *parts)
        parent = os.path.dirname(path)
        try:
            os.makedirs(parent, exist_ok=True)
            if os.path.lexists(path):
                continue
            if kind == "file":
                with open(path, "wb") as f:
                    f.write(b"ATOM\n")
            elif kind == "directory":
                os.mkdir(path)
            elif kind == "fifo":
                os.mkfifo(path)
            elif kind == "socket":
                with socket.socket(socket.AF_UNIX) as s:
                    s.bind(path)
            elif kind == "symlink":
                os.symlink(top if data[:1] == b"\0" else os.path.join(top, _NAMES[len(data) % len(_NAMES)]), path)
            else:
                os.symlink(b"/nonexistent/" + parts[-1], path)
        except OSError:
            continue  # a part of the path is a file already, a name too long...
        made[path] = kind
    return made


def _expected(top):
    """(path, is_input) below top as a walk must give them, found here with os.walk."""
    expected = []
    for directory, subdirectories, files in os.walk(top):
        for name in files + subdirectories:
            path = os.path.join(directory, name)
            if not _inputs.is_structure_name(name):
                continue
            try:
                mode = os.stat(path).st_mode
            except OSError:
                expected.append((path, False))
                continue
            if not stat.S_ISDIR(mode):
                expected.append((path, stat.S_ISREG(mode)))
    return sorted(expected)


def check(data):
    top = os.path.join(os.fsencode(_ROOT), b"t")
    shutil.rmtree(top, ignore_errors=True)
    os.mkdir(top)
    made = _build(data, top)
    items = list(_inputs.iter_items([top], 1 << 20))
    for item in items:
        item.name.encode("utf-8")  # any writer must take it
        assert (item.path is None) != (item.failure is None), item
    expected = _expected(top)
    if not expected:
        assert [i.failure for i in items] == ["no structure files in this directory"], items
    else:
        got = [(os.fsencode(i.path) if i.path else None, i.failure) for i in items]
        assert [g[0] is not None for g in got] == [e[1] for e in expected], (got, expected)
        assert [i.name for i in items] == [_inputs.display_name(p) for p, _ in expected], (items, expected)
        for item, (path, regular) in zip(items, expected):
            if not regular and os.path.exists(path):
                assert item.failure == "not a regular file", item
    # the same entries named in a list file: each line is one input, never opened here
    listing = os.path.join(os.fsencode(_ROOT), b"list.txt")
    lines = [p for p in made if not os.path.isdir(p) and not _inputs.is_tar_name(p)]
    with open(listing, "wb") as f:
        f.write(b"".join(p + b"\n" for p in lines) + data[:64].replace(b"\0", b"") + b"\n")
    listed = [line for line in _cli._listed_inputs(open(listing, "rb"))]
    listed_items = list(_inputs.iter_items(listed[:len(lines)], 1 << 20))
    assert [i.path for i in listed_items] == lines, (listed_items, lines)


def _load():
    global _inputs, _cli
    from tarnix_tools import _inputs as inputs, cli
    _inputs, _cli = inputs, cli


def main():
    import atheris

    with atheris.instrument_imports(include=["tarnix_tools"]):
        _load()
    atheris.Setup(sys.argv, check)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
else:
    _load()
