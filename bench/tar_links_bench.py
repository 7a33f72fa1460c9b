"""Links in a compressed archive: `annotate` on a .tar.gz holding a filler, one structure after it
and many hard and symbolic links to that structure, beside one streaming pass of tarfile over the
same archive (what reading it once costs). Prints medians of wall time and the peak memory.

    python bench/tar_links_bench.py [--filler-mb 200] [--links 200 1000] [--repeats 3]
"""
import argparse
import io
import os
import pathlib
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time
import zlib

DATA = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data"


def write_archive(path, filler_mb, links):
    """filler.pdb.txt (PDB text, compressible as structures are), a.pdb, then the links, gzip level 6."""
    target = (DATA / "1ubq.pdb").read_bytes()
    filler = target * (filler_mb * 2**20 // len(target))
    packer = zlib.compressobj(6, zlib.DEFLATED, 31)
    buffer = io.BytesIO()
    with tarfile.open(fileobj=buffer, mode="w", format=tarfile.GNU_FORMAT) as archive:
        for name, data in (("filler.txt", filler), ("a.pdb", target)):
            info = tarfile.TarInfo(name)
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
        for k in range(links):
            info = tarfile.TarInfo(f"links/{k:05d}.pdb")
            info.type = tarfile.LNKTYPE if k % 2 else tarfile.SYMTYPE
            info.linkname = "a.pdb" if k % 2 else "../a.pdb"
            archive.addfile(info)
    path.write_bytes(packer.compress(buffer.getvalue()) + packer.flush())


def timed_child(code):
    """(seconds, peak RSS in MiB) of Python code run in a child."""
    start = time.perf_counter()
    child = subprocess.Popen([sys.executable, "-c", code])
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise SystemExit(f"the child failed: {code}")
    return seconds, usage.ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--filler-mb", type=int, default=200)
    parser.add_argument("--links", type=int, nargs="+", default=[200, 1000])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--write", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.write:
        write_archive(pathlib.Path(args.write), args.filler_mb, args.links[0])
        return
    with tempfile.TemporaryDirectory() as folder:
        for links in args.links:
            path = pathlib.Path(folder) / f"links{links}.tar.gz"
            # written by a child, so that this process stays small: a child's peak counts the
            # pages it shares with its parent at fork
            subprocess.run([sys.executable, __file__, "--write", str(path), "--filler-mb", str(args.filler_mb),
                            "--links", str(links)], check=True)
            ours = f"""
import tarnix_tools
s = tarnix_tools.annotate({str(path)!r}, sasa=False, threads=2).structures.columns
assert (s["status"] == "ok").all() and len(s["status"]) == {links + 1}, set(s["error"].tolist())
"""
            once = f"""
import tarfile
with tarfile.open({str(path)!r}, "r|gz") as archive:
    for member in archive:
        if member.isreg():
            archive.extractfile(member).read()
"""
            ours_runs, once_runs = [], []
            for _ in range(args.repeats):
                ours_runs.append(timed_child(ours))
                once_runs.append(timed_child(once))
            ours_s = statistics.median(r[0] for r in ours_runs)
            once_s = statistics.median(r[0] for r in once_runs)
            print(f"{links} links after {args.filler_mb} MB: annotate {ours_s:.2f} s "
                  f"(peak RSS {max(r[1] for r in ours_runs):.0f} MiB), one tarfile pass {once_s:.2f} s "
                  f"(reading each regular member whole: {max(r[1] for r in once_runs):.0f} MiB), "
                  f"ratio {ours_s / once_s:.2f}; archive {path.stat().st_size / 2**20:.1f} MiB")


if __name__ == "__main__":
    main()
