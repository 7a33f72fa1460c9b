"""A rehearsal at archive scale: a synthetic archive shaped like the ones users download (gzipped
PDB and mmCIF files in uncompressed tar shards), annotated as the command line and a cluster would.

    python bench/scale_rehearsal.py [--inputs 100000] [--shard-size 10000] [--structures DIR]
        [--work DIR] [--copies] [--bcif] [--seed 1] [--parts build,threads,cluster,memory,breakdown]

Parts (run them one at a time with --parts; the archive is built once in --work and reused):

- build: N inputs drawn in turn from the structures given (default the corpus beside the
  repository, else tests/data; files that tarnix.assign cannot read, or of more than
  --max-residues residues, are left out), each a seeded perturbation of its source's coordinates
  (+-0.01 A; --copies for plain copies), gzipped, in tar shards of --shard-size members; the first
  --scaling-inputs of them also as a directory of the same .gz files. With --bcif (and --copies)
  the members are the mmCIF structures as BinaryCIF, to compare the rate with the text formats.
- threads: `tarnix annotate INPUT -o out.parquet` on 1 thread and on every thread, on that
  directory and on the same members as one tar: wall and CPU seconds, residues/s, per-core
  residues/s (residues per CPU second), the 2-or-more / 1 thread ratio of each, and the tar's
  ratio against the directory's; every run's rows must be the same, bit for bit.
- cluster: annotate_to_parquet over the shards on a LocalCluster of 1 and of --workers single-
  threaded workers: residues/s and the ratio.
- memory: peak memory (of the command's process) over all N inputs and over the first N/10 (whole
  shards, then the head of the next one), on every thread.
- breakdown: where one thread's time goes on the first --breakdown-inputs inputs, from the
  inputs' own `seconds`: decompression (gzip members against the same members decompressed),
  reading and secondary structure (accessibility off), accessibility (on against off), the run
  outside the inputs (archive reading, tables), writing the Parquet file (the command against the
  same run in a process of its own).
- extrapolation (printed after threads or breakdown): core-hours for the PDB and AlphaFold DB
  from the per-core rate of the 1-thread tar run.

Every time is a median over --repeats runs; CPU seconds are the children's user + system time,
steadier than wall time on a shared machine. Peak memory is the child's maximum resident set.
"""
import argparse
import gzip
import io
import multiprocessing
import os
import pathlib
import random
import shutil
import statistics
import subprocess
import sys
import tarfile
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
CORPUS = REPO.parent / "shared" / "data" / "structures"
SUFFIXES = (".pdb", ".cif", ".pdb.gz", ".cif.gz")
PARTS = ("build", "threads", "cluster", "memory", "breakdown")
# What the extrapolation assumes (override with --pdb-residues / --afdb-residues): the PDB's
# about 230,000 entries at about 870 residues in the first model, all chains; AlphaFold DB's
# about 214 million models at about 280 residues each.
PDB_RESIDUES = 2.0e8
AFDB_RESIDUES = 6.0e10


def sources(folder, max_residues):
    """(name, text, residues) of every structure file in folder that tarnix reads, PDB and mmCIF."""
    import tarnix

    found = []
    for path in sorted(folder.iterdir()):
        if not path.is_file() or not path.name.lower().endswith(SUFFIXES):
            continue
        text = path.read_bytes()
        if path.name.endswith(".gz"):
            text = gzip.decompress(text)
        plain = path.name[:-3] if path.name.endswith(".gz") else path.name
        if any(name == plain for name, _, _ in found):
            continue
        with tempfile.NamedTemporaryFile(suffix=pathlib.Path(plain).suffix) as copy:
            copy.write(text)
            copy.flush()
            try:
                residues = len(tarnix.assign(copy.name, calculate_sasa=False))
            except ValueError:
                continue
        if 0 < residues <= max_residues:
            found.append((plain, text, residues))
    return found


_PDB_ATOM = (b"ATOM  ", b"HETATM")


def perturb_pdb(text, rng):
    lines = text.split(b"\n")
    for i, line in enumerate(lines):
        if line[:6] in _PDB_ATOM and len(line) >= 54:
            try:
                values = [float(line[c:c + 8]) + rng.uniform(-0.01, 0.01) for c in (30, 38, 46)]
            except ValueError:
                continue
            lines[i] = line[:30] + b"".join(b"%8.3f" % v for v in values) + line[54:]
    return b"\n".join(lines)


def perturb_cif(text, rng):
    lines = text.split(b"\n")
    columns, coordinates = [], None
    for i, line in enumerate(lines):
        if line.startswith(b"_atom_site."):
            columns.append(line.split()[0][len(b"_atom_site."):])
            if columns[-1] == b"Cartn_z":
                coordinates = [columns.index(b"Cartn_x"), columns.index(b"Cartn_y"), columns.index(b"Cartn_z")]
            continue
        if coordinates and line[:6].rstrip() in (b"ATOM", b"HETATM"):
            tokens = line.split()
            if len(tokens) != len(columns):
                continue
            try:
                for c in coordinates:
                    tokens[c] = b"%.3f" % (float(tokens[c]) + rng.uniform(-0.01, 0.01))
            except ValueError:
                continue
            lines[i] = b" ".join(tokens)
        elif not line.startswith(b"_atom_site.") and columns and line.startswith((b"loop_", b"#", b"_")):
            columns, coordinates = [], None
    return b"\n".join(lines)


_FOUND = []  # the sources, set before the shard-building processes fork


def member_name(i, name):
    return f"{i // 1000:04d}/{i:07d}_{name}.gz"


def build_shard(path, first, count, copies, seed, folder, scaling_inputs):
    """Writes inputs first .. first + count - 1 into the tar at path (and those before
    scaling_inputs into folder too); returns their residues."""
    rng = random.Random(seed * 1_000_003 + first)  # the same inputs whatever the number of processes
    residues = 0
    with tarfile.open(path, "w", format=tarfile.GNU_FORMAT) as archive:
        for i in range(first, first + count):
            name, text, found = _FOUND[i % len(_FOUND)]
            if not copies:
                text = (perturb_cif if name.endswith(".cif") else perturb_pdb)(text, rng)
            data = gzip.compress(text, compresslevel=6, mtime=0)
            info = tarfile.TarInfo(member_name(i, name))
            info.size = len(data)
            archive.addfile(info, io.BytesIO(data))
            if i < scaling_inputs:
                (folder / info.name).parent.mkdir(exist_ok=True)
                (folder / info.name).write_bytes(data)
            residues += found
    return residues


def binary_sources(found):
    """The mmCIF sources as BinaryCIF, written as the archives ship them (biotite's `compress`)."""
    sys.path.insert(0, str(REPO / "bench"))
    from bcif_bench import to_binary

    binaries = []
    with tempfile.TemporaryDirectory() as folder:
        for name, text, residues in found:
            if not name.endswith(".cif"):
                continue
            source, out = pathlib.Path(folder) / name, pathlib.Path(folder) / (name[:-4] + ".bcif")
            source.write_bytes(text)
            to_binary(source, out)
            binaries.append((out.name, out.read_bytes(), residues))
    return binaries


def build(args, work):
    structures = args.structures if args.structures.is_dir() else REPO / "tests" / "data"
    _FOUND[:] = sources(structures, args.max_residues)
    if args.bcif:
        _FOUND[:] = binary_sources(_FOUND)
    if not _FOUND:
        sys.exit(f"no readable structure in {structures}")
    print(f"build: {args.inputs:,} inputs from {len(_FOUND)} {'BinaryCIF ' if args.bcif else ''}structures in "
          f"{structures} ({'plain copies' if args.copies else f'perturbed, seed {args.seed}'}), "
          f"shards of {args.shard_size:,}")
    shards, folder = work / "shards", work / "directory"
    for place in (shards, folder):
        shutil.rmtree(place, ignore_errors=True)
        place.mkdir(parents=True)
    started = time.perf_counter()
    firsts = range(0, args.inputs, args.shard_size)
    with multiprocessing.get_context("fork").Pool(all_threads()) as pool:
        residues = sum(pool.starmap(build_shard, [
            (shards / f"shard_{k:05d}.tar", first, min(args.shard_size, args.inputs - first), args.copies, args.seed,
             folder, args.scaling_inputs) for k, first in enumerate(firsts)]))
    with tarfile.open(work / "scaling.tar", "w", format=tarfile.GNU_FORMAT) as same:
        for path in sorted(folder.rglob("*.gz")):
            same.add(path, arcname=str(path.relative_to(folder)))
    print(f"  {residues:,} residues ({residues / args.inputs:,.0f} per input), "
          f"{sum(p.stat().st_size for p in shards.iterdir()) / 2**20:,.0f} MiB of shards, "
          f"{time.perf_counter() - started:.0f} s")


# Runs a command and prints its exit status, CPU seconds and peak resident kB. The command is this
# small process's child, not the script's: a child inherits the peak of the process it is started
# from (Linux counts the parent's pages up to the exec), and the script holds a cluster's client.
MEASURE = """
import os, subprocess, sys
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
_, status, usage = os.wait4(child.pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_utime + usage.ru_stime, usage.ru_maxrss)
"""


def run_command(argv):
    """(wall seconds, CPU seconds, peak resident MiB) of a child process, which must succeed."""
    started = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", MEASURE, *map(str, argv)], capture_output=True, text=True)
    wall = time.perf_counter() - started
    status, cpu, peak = done.stdout.split() if done.returncode == 0 else ("-1", "0", "0")
    if int(status) not in (0, 1):  # 1: some inputs failed, the rest written
        sys.exit(f"{' '.join(map(str, argv))} failed ({status}): {done.stderr}")
    return wall, float(cpu), int(peak) / 1024


def tarnix_command(inputs, out, threads, extra=()):
    return [sys.executable, "-m", "tarnix_tools", "annotate", *map(str, inputs), "-o", str(out), "-j", str(threads),
            "-q", *extra]


def parquet_rows(path):
    import pyarrow.parquet as pq

    return pq.ParquetFile(path).metadata.num_rows


def result_table(path, source):
    """The residue rows a run wrote, names relative to its input, floats as their bits, for
    comparing runs over the same inputs as files or as tar members."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pq.read_table(path)
    prefix = str(source)
    names = pa.array([name.removeprefix(prefix) for name in table.column("name").to_pylist()])
    columns = {"name": names}
    for field in table.schema:
        if field.name != "name":
            column = table.column(field.name).combine_chunks()
            columns[field.name] = column.view(pa.int32()) if pa.types.is_float32(field.type) else column
    return pa.table(columns)


def median_run(argv, repeats):
    runs = [run_command(argv) for _ in range(repeats)]
    return tuple(statistics.median(r[k] for r in runs) for k in range(3))


def one_input(work):
    """The archive's first input as a file of its own (for warming up, and for a command's start-up)."""
    with tarfile.open(work / "scaling.tar") as archive:
        member = next(m for m in archive if m.isfile())
        path = work / pathlib.Path(member.name).name
        path.write_bytes(archive.extractfile(member).read())
    return path


def all_threads():
    return len(os.sched_getaffinity(0))


def threads_part(args, work, figures):
    threads = args.threads or all_threads()
    out = work / "out.parquet"
    print(f"threads: `tarnix annotate INPUT -o out.parquet -j J` on {args.scaling_inputs:,} inputs, "
          f"medians of {args.repeats} (load average before: {os.getloadavg()[0]:.1f})")
    rates = {}
    first = None  # the first run's rows, which every other run must equal to the bit
    for label, source in (("directory of .gz files", work / "directory"), ("the same files in one .tar",
                                                                            work / "scaling.tar")):
        for j in (1, threads):
            wall, cpu, peak = median_run(tarnix_command([source], out, j), args.repeats)
            residues = parquet_rows(out)
            rows = result_table(out, source)
            if first is None:
                first = rows
            elif not rows.equals(first):
                sys.exit(f"  the {label} on {j} thread(s) wrote other results than the first run")
            rates[label, j] = residues / wall
            print(f"  {label:28s} {j:2d} thread(s): {wall:7.2f} s wall, {cpu:7.2f} s CPU, "
                  f"{residues / wall:10,.0f} residues/s, {residues / cpu:10,.0f} residues per CPU second, "
                  f"peak {peak:,.0f} MiB")
            if label.endswith(".tar") and j == 1:
                figures["per_core"] = residues / cpu
        ratio = rates[label, threads] / rates[label, 1]
        figures[label] = ratio
        print(f"  {label:28s} {threads} / 1 threads: {ratio:.2f}x")
    tar, folder = figures["the same files in one .tar"], figures["directory of .gz files"]
    print(f"  tar scaling / directory scaling: {tar / folder:.3f} (load average after: {os.getloadavg()[0]:.1f})")
    print("  every run wrote the same rows, bit for bit")


def cluster_part(args, work, figures):
    from distributed import Client, LocalCluster

    from tarnix_tools.dask import annotate_to_parquet

    shards = sorted(str(p) for p in (work / "shards").iterdir())
    print(f"cluster: annotate_to_parquet over {len(shards)} shard(s) of {args.inputs:,} inputs, "
          f"--files-per-task {args.files_per_task}, medians of {args.repeats}")
    rates = {}
    for workers in sorted({1, args.workers}):
        with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            # warm up: the workers' imports are not part of a run
            annotate_to_parquet([str(one_input(work))], work / "cluster", client=client, replace=True)
            times, summary = [], None
            for _ in range(args.repeats):
                started = time.perf_counter()
                summary = annotate_to_parquet(shards, work / "cluster", client=client,
                                              files_per_task=args.files_per_task, replace=True)
                times.append(time.perf_counter() - started)
            wall = statistics.median(times)
            rates[workers] = summary.residues / wall
            print(f"  {workers} worker(s): {wall:7.2f} s, {summary.inputs:,} inputs, {summary.failed} failed, "
                  f"{rates[workers]:,.0f} residues/s")
    if args.workers != 1:
        print(f"  {args.workers} / 1 workers: {rates[args.workers] / rates[1]:.2f}x")


def first_inputs(work, count):
    """A tar of the archive's first `count` inputs: whole shards, then the head of the next one cut
    at a member's header (its bytes copied as they are, and the end-of-archive blocks added)."""
    from tarnix_tools._inputs import tar_member_starts

    chosen, covered = [], 0
    for shard in sorted((work / "shards").iterdir()):
        if covered == count:
            break
        starts = tar_member_starts(os.fsencode(shard))
        if covered + len(starts) <= count:
            chosen.append(shard)
            covered += len(starts)
            continue
        head = work / "head.tar"
        with open(shard, "rb") as source, open(head, "wb") as out:
            out.write(source.read(starts[count - covered]) + bytes(1024))
        chosen.append(head)
        covered = count
    return chosen, covered


def memory_part(args, work, figures):
    threads = args.threads or all_threads()
    print(f"memory: peak resident memory of `tarnix annotate SHARDS -o out.parquet -j {threads}`")
    peaks = {}
    for wanted in (args.inputs // 10, args.inputs):
        chosen, count = first_inputs(work, wanted)
        wall, cpu, peak = run_command(tarnix_command(chosen, work / "out.parquet", threads))
        peaks[count] = peak
        print(f"  {count:9,} inputs ({len(chosen)} tar(s)): peak {peak:,.0f} MiB, {wall:.1f} s wall, {cpu:.1f} s CPU")
    low, high = sorted(peaks)
    print(f"  {high:,} / {low:,} inputs: peak ratio {peaks[high] / peaks[low]:.2f}")


def breakdown_part(args, work, figures):
    import tarnix_tools

    members = []
    with tarfile.open(work / "scaling.tar") as archive:
        for member in archive:
            if member.isfile() and len(members) < args.breakdown_inputs:
                members.append((member.name, archive.extractfile(member).read()))
    zipped, plain = work / "breakdown.tar", work / "breakdown_plain.tar"
    for path, decompress in ((zipped, False), (plain, True)):
        with tarfile.open(path, "w", format=tarfile.GNU_FORMAT) as archive:
            for name, data in members:
                if decompress:
                    name, data = name[:-3], gzip.decompress(data)
                info = tarfile.TarInfo(name)
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))

    def seconds(path, sasa):
        """Median over the repeats of (sum of the inputs' seconds, the call's seconds, residues)."""
        runs = []
        for _ in range(args.repeats):
            started = time.perf_counter()
            annotation = tarnix_tools.annotate(str(path), threads=1, sasa=sasa)
            wall = time.perf_counter() - started
            runs.append((float(annotation.structures.columns["seconds"].sum()), wall, len(annotation.residues)))
        return tuple(statistics.median(r[k] for r in runs) for k in range(3))

    full, wall, residues = seconds(zipped, True)
    no_sasa, _, _ = seconds(zipped, False)
    plain_no_sasa, _, _ = seconds(plain, False)
    command, command_cpu, _ = median_run(tarnix_command([zipped], work / "out.parquet", 1), args.repeats)
    startup, _, _ = median_run(tarnix_command([one_input(work)], work / "one.parquet", 1), args.repeats)
    phases = [
        ("decompression (gzip members)", no_sasa - plain_no_sasa),
        ("reading and secondary structure", plain_no_sasa),
        ("accessibility", full - no_sasa),
        ("outside the inputs (archive, tables)", wall - full),
        ("writing Parquet", command - wall - startup),
        ("starting the command (one input)", startup),
    ]
    print(f"breakdown: one thread, {len(members):,} inputs, {residues:,} residues, medians of {args.repeats}; "
          f"the command took {command:.2f} s ({command_cpu:.2f} s CPU, {residues / command_cpu:,.0f} residues per "
          "CPU second); wall times, from the inputs' own seconds and whole runs (a quiet machine is needed)")
    for label, value in phases:
        print(f"  {label:40s} {value:7.2f} s  {100 * value / command:5.1f} %")
    figures.setdefault("per_core", residues / command_cpu)


def extrapolate(args, figures):
    rate = figures.get("per_core")
    if rate is None:
        return
    print(f"extrapolation at {rate:,.0f} residues per core-second (the 1-thread tar run, with accessibility):")
    for label, residues in (("the PDB", args.pdb_residues), ("AlphaFold DB", args.afdb_residues)):
        print(f"  {label:13s} {residues:.1e} residues: {residues / rate / 3600:,.1f} core-hours")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--inputs", type=int, default=100_000, help="inputs in the archive (default 100,000)")
    parser.add_argument("--shard-size", type=int, default=10_000, help="members per tar shard")
    parser.add_argument("--structures", type=pathlib.Path, default=CORPUS, help="where the inputs are drawn from")
    parser.add_argument("--max-residues", type=int, default=3000, help="leave out larger structures")
    parser.add_argument("--copies", action="store_true", help="plain copies instead of perturbed ones")
    parser.add_argument("--bcif", action="store_true",
                        help="members are the mmCIF structures as BinaryCIF (made by biotite; with --copies)")
    parser.add_argument("--seed", type=int, default=1, help="of the perturbations")
    parser.add_argument("--work", type=pathlib.Path, default=pathlib.Path(tempfile.gettempdir()) / "tarnix-rehearsal",
                        help="where the archive is built and kept")
    parser.add_argument("--parts", default=",".join(PARTS), help="which parts to run, comma-separated")
    parser.add_argument("--scaling-inputs", type=int, default=3000, help="inputs of the thread runs")
    parser.add_argument("--breakdown-inputs", type=int, default=1000, help="inputs of the time breakdown")
    parser.add_argument("--threads", type=int, default=0, help="the many-thread runs (default: every processor)")
    parser.add_argument("--workers", type=int, default=2, help="workers of the larger cluster")
    parser.add_argument("--files-per-task", type=int, default=500, help="inputs per cluster task")
    parser.add_argument("--repeats", type=int, default=3, help="runs per time, of which the median")
    parser.add_argument("--pdb-residues", type=float, default=PDB_RESIDUES, help="residues in the PDB")
    parser.add_argument("--afdb-residues", type=float, default=AFDB_RESIDUES, help="residues in AlphaFold DB")
    args = parser.parse_args()
    parts = [p for p in args.parts.split(",") if p]
    unknown = set(parts) - set(PARTS)
    if unknown:
        parser.error(f"unknown parts {sorted(unknown)}; choose from {','.join(PARTS)}")
    if args.bcif and not args.copies:
        parser.error("--bcif builds plain copies: add --copies")
    args.scaling_inputs = min(args.scaling_inputs, args.inputs)
    args.work.mkdir(parents=True, exist_ok=True)
    if "build" not in parts and not (args.work / "shards").is_dir():
        parser.error(f"no archive in {args.work}: run the build part first")
    figures = {}
    load = os.getloadavg()[0]
    print(f"{all_threads()} processors, load average {load:.1f}")
    if load > all_threads() - 1:
        print("  the machine is busy: wall times and thread or worker ratios will not mean much (CPU seconds do)")
    steps = {"build": lambda: build(args, args.work), "threads": threads_part, "cluster": cluster_part,
             "memory": memory_part, "breakdown": breakdown_part}
    for part in PARTS:
        if part in parts:
            step = steps[part]
            step() if part == "build" else step(args, args.work, figures)
    extrapolate(args, figures)


if __name__ == "__main__":
    main()
