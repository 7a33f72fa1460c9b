"""The tarnix command: annotate structure files into tables, or draw one structure."""

import argparse
import itertools
import os
import signal
import sys
import time

from . import __version__
from ._annotate import ERROR, NO_PROTEIN, annotate, iter_annotate
from ._extras import MissingExtra, require
from ._writers import FORMATS, OutputError, format_for, open_writer
from .table import Table

STDIN_NAME = "<stdin>"
PICTURE_SUFFIXES = (".png", ".svg", ".pdf")
# The most worker threads -j takes (as many as the batch pool of tarnix allows).
MAX_THREADS = 256

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_WRITE, EXIT_INTERRUPTED = 0, 1, 2, 3, 130
# A reader that went away (`| head`) ends the run as a shell reports death by SIGPIPE.
EXIT_CLOSED_PIPE = 128 + signal.SIGPIPE
EXIT_STATUS_HELP = (
    "exit status:\n"
    "  0    every input was read (inputs holding no protein included)\n"
    "  1    some input failed; the output is complete and lists them\n"
    "  2    a usage or environment problem, found before any input was read\n"
    "  3    writing the output failed after work started (disk full, folder gone)\n"
    "  130  interrupted (Ctrl-C, SIGTERM)\n"
    "A file named by -o is written whole when the run ends or not at all: an\n"
    "interrupted run, a failed write or a --fail-fast stop leaves what was there.")


class UsageError(Exception):
    """A mistake in the command line or its environment: one line on stderr, status 2."""


def build_parser():
    parser = argparse.ArgumentParser(
        prog="tarnix",
        description="Secondary structure (eight-state codes with polyproline II) and solvent "
                    "accessibility of protein structures in PDB or mmCIF files.",
        epilog="Run 'tarnix annotate --help' or 'tarnix plot --help' for examples.")
    parser.add_argument("--version", action="version", version=f"tarnix {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    annotate_parser = commands.add_parser(
        "annotate", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="write a table with a row per residue (or per structure)",
        description="Read structures and write a table with one row per residue (or, with\n"
                    "--per structure, one row per input); each residue row starts with its\n"
                    "input's name. Failed inputs are listed on stderr as 'name: reason' and\n"
                    "still get a row in the per-structure table, with status 'error'; an input\n"
                    "holding atoms but no amino-acid residue with N, CA, C and O (DNA, ligands,\n"
                    "a CA trace) gets status 'no_protein' and is not a failure.",
        epilog=EXIT_STATUS_HELP + "\n\n"
               "examples:\n"
               "  tarnix annotate 1ubq.pdb                      tsv on stdout\n"
               "  tarnix annotate structures/ -o residues.parquet -j 8\n"
               "  tarnix annotate pdb.tar.gz --per structure -o summary.csv\n"
               "  tarnix annotate --from-list paths.txt -o out.jsonl --no-sasa\n"
               "  zcat 1abc.cif.gz | tarnix annotate - --input-format mmcif\n"
               "  tarnix annotate pdb_mirror/ -o out/ --scheduler local:2\n"
               "  tarnix annotate --from-list paths.txt -o /shared/out --scheduler tcp://head:8786")
    annotate_parser.add_argument(
        "inputs", nargs="*", metavar="INPUT",
        help="a structure file (.pdb/.ent/.cif/.mmcif, optionally .gz), a directory (searched "
             "recursively), a .tar/.tar.gz/.tgz archive, or - for one file on stdin")
    annotate_parser.add_argument("-o", "--output", metavar="OUT",
                                 help="output file; its suffix picks the format (default, or -: stdout)")
    annotate_parser.add_argument("--format", choices=FORMATS,
                                 help="output format (default: from OUT's suffix, else tsv)")
    annotate_parser.add_argument("--per", choices=("residue", "structure"), default="residue",
                                 help="one row per residue (default) or per input structure")
    annotate_parser.add_argument("-j", "--threads", type=_count, default=0, metavar="N",
                                 help=f"worker threads, at most {MAX_THREADS} (default 0: every "
                                      "processor available)")
    annotate_parser.add_argument("--no-sasa", action="store_true",
                                 help="skip the accessibility calculation (faster)")
    annotate_parser.add_argument("--ppii", type=_count, default=3, metavar="N",
                                 help="shortest polyproline-II stretch, in residues (default 3; "
                                      "0 assigns no PPII)")
    annotate_parser.add_argument("--input-format", choices=("pdb", "mmcif"),
                                 help="read every input as this format (default: by name; "
                                      "stdin is read as PDB)")
    annotate_parser.add_argument("--from-list", metavar="FILE",
                                 help="also read inputs from FILE, one per line (- for stdin)")
    annotate_parser.add_argument("-q", "--quiet", action="store_true",
                                 help="no progress bar and no summary line")
    annotate_parser.add_argument("--scheduler", metavar="ADDRESS",
                                 help="run on a Dask cluster: a scheduler address, or local:N for N "
                                      "local single-threaded workers; writes the Parquet datasets "
                                      "OUT/structures/ and OUT/residues/ (needs the dask extra)")
    annotate_parser.add_argument("--files-per-task", type=_count, default=500, metavar="N",
                                 help="with --scheduler: inputs per cluster task (default 500)")
    annotate_parser.add_argument("--replace", action="store_true",
                                 help="with --scheduler: replace the dataset an earlier run wrote into "
                                      "OUT_DIR (only its files); a folder holding anything else is refused")
    annotate_parser.add_argument("--fail-fast", action="store_true",
                                 help="stop at the first input that fails (status 1); -o OUT is "
                                      "then not written")
    annotate_parser.set_defaults(run=run_annotate, command_parser=annotate_parser)

    plot_parser = commands.add_parser(
        "plot", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="draw the codes and relative accessibility of one structure",
        description="Draw, for each chain of one structure, a track of the eight-state codes\n"
                    "along the residues and beneath it the relative accessibility.\n"
                    "Needs matplotlib: pip install 'tarnix[plot]'.",
        epilog="examples:\n"
               "  tarnix plot 1ubq.pdb                 writes 1ubq.png\n"
               "  tarnix plot 1aon.pdb --chain A -o groel_a.svg")
    plot_parser.add_argument("input", metavar="INPUT",
                             help="one structure file (optionally .gz), or - for stdin")
    plot_parser.add_argument("-o", "--output", metavar="OUT",
                             help="picture file: .png, .svg or .pdf (default: INPUT's name with .png)")
    plot_parser.add_argument("--chain", metavar="ID", help="draw only this chain")
    plot_parser.add_argument("--input-format", choices=("pdb", "mmcif"),
                             help="read the input as this format (default: by name)")
    plot_parser.set_defaults(run=run_plot, command_parser=plot_parser)
    return parser


def _count(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _stdin_input():
    return (STDIN_NAME, sys.stdin.buffer.read())


def _identity(path):
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return (status.st_dev, status.st_ino)


class _OutputGuard:
    """Refuses an input that is the output file, or a folder the output file is in: the run
    would read what it writes, or replace what it reads."""

    def __init__(self, output):
        self.output = output
        self.protected = {_identity(output)} - {None}
        folder = os.path.realpath(os.path.dirname(os.path.abspath(output)))
        while True:
            self.protected.add(_identity(folder))
            parent = os.path.dirname(folder)
            if parent == folder:
                break
            folder = parent

    def check(self, path, role="one of the inputs"):
        if _identity(path) not in self.protected:
            return
        shown = os.fsdecode(path)
        if os.path.isdir(path):
            raise UsageError(f"-o {self.output} is inside the input folder {shown}: write it elsewhere")
        raise UsageError(f"-o {self.output} is {role} ({shown}): choose another output file")


def _listed_inputs(stream, guard):
    """Inputs named one per line, read lazily as the file system's bytes."""
    with stream:
        for line in stream:
            line = line.rstrip(b"\r\n")
            if line:
                if guard is not None:
                    guard.check(line)
                yield line


def _inputs(args, guard):
    stdin_uses = args.inputs.count("-") + (args.from_list == "-")
    if stdin_uses > 1:
        raise UsageError("stdin (-) can be used only once")
    if not args.inputs and not args.from_list:
        raise UsageError("give at least one INPUT or --from-list FILE")
    if guard is not None:
        for path in args.inputs:
            if path != "-":
                guard.check(path)
        if args.from_list and args.from_list != "-":
            guard.check(args.from_list, "the --from-list file")
    given = (_stdin_input() if path == "-" else path for path in args.inputs)
    if not args.from_list:
        return given
    try:
        listing = sys.stdin.buffer if args.from_list == "-" else open(args.from_list, "rb")
    except OSError as exc:
        raise UsageError(f"cannot read the list {args.from_list!r}: {exc.strerror}") from None
    return itertools.chain(given, _listed_inputs(listing, guard))


def _check_writable(path):
    """An output file that could not be written is found before any input is read."""
    if os.path.isdir(path):
        raise UsageError(f"-o {path} is a folder: name a file")
    folder = os.path.dirname(path) or "."
    if not os.path.isdir(folder):
        raise UsageError(f"-o {path}: the folder {folder} does not exist; create it first")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise UsageError(f"-o {path}: cannot write into the folder {folder}; choose another")


def _output(args):
    """(path or None for stdout, format), checked before any input is read."""
    path = None if args.output in (None, "-") else args.output
    if args.format:
        fmt = args.format
    elif path is not None:
        try:
            fmt = format_for(path)
        except ValueError as exc:
            raise UsageError(f"{exc}, or give --format") from None
    else:
        fmt = "tsv"
    if fmt == "parquet":
        if path is None:
            raise UsageError("parquet output needs a file: give -o OUT.parquet")
        require("pyarrow.parquet", "arrow")
    if path is not None:
        _check_writable(path)
    return path, fmt


def _rows(table, selection):
    return Table({name: values[selection] for name, values in table.columns.items()})


class _Progress:
    """A bar on stderr (tqdm, when installed): inputs done, their rate, residues per second."""

    def __init__(self):
        try:
            from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            self.bar = None
            return
        try:
            width, height = os.get_terminal_size(sys.stderr.fileno())
        except OSError:
            width = height = 0
        # a terminal that does not say its size (0) would get an empty or hidden bar
        self.bar = tqdm(unit=" inputs", file=sys.stderr, ncols=width or 80, nrows=height or 24,
                        mininterval=0.2)

    def __call__(self, done, total):
        if self.bar is not None:
            self.bar.update(done - self.bar.n)

    def residues(self, count, seconds):
        if self.bar is not None:
            self.bar.set_postfix_str(f"{count:,} residues, {count / max(seconds, 1e-9):,.0f}/s")

    def write(self, line):
        """A line on stderr above the bar, which is drawn again below it."""
        if self.bar is not None:
            self.bar.write(line, file=sys.stderr)
        else:
            print(line, file=sys.stderr)

    def close(self):
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def run_on_cluster(args):
    """--scheduler: the inputs go to a Dask cluster, the rows to two Parquet datasets."""
    if not args.output:
        raise UsageError("--scheduler writes Parquet datasets into a folder: give -o OUT_DIR")
    if args.format or args.per != "residue" or args.fail_fast or args.input_format:
        raise UsageError("--scheduler takes none of --format, --per, --fail-fast, --input-format")
    if "-" in args.inputs or args.from_list == "-":
        raise UsageError("--scheduler reads paths every worker can open, not stdin")
    if not args.inputs and not args.from_list:
        raise UsageError("give at least one INPUT or --from-list FILE")
    from .dask import RefusedRun, annotate_to_parquet

    inputs = [*args.inputs, *([args.from_list] if args.from_list else [])]
    try:
        summary = annotate_to_parquet(inputs, args.output, client=args.scheduler,
                                      files_per_task=max(1, args.files_per_task), sasa=not args.no_sasa,
                                      ppii_stretch=args.ppii, replace=args.replace)
    except RefusedRun as exc:
        raise UsageError(str(exc)) from None
    if summary.failed:
        pq = require("pyarrow.parquet", "dask")

        failures = pq.read_table(os.path.join(args.output, "structures"), columns=["name", "status", "error"],
                                 filters=[("status", "==", "error")])
        for name, error in zip(failures.column("name").to_pylist(), failures.column("error").to_pylist()):
            print(f"{name}: {error}", file=sys.stderr)
    if not args.quiet:
        _say(f"tarnix: {_plural(summary.inputs, 'input')}, {summary.failed:,} failed, "
             f"{summary.no_protein:,} without protein, {summary.residues:,} residues, "
             f"{summary.seconds:.2f} s, {summary.residues / max(summary.seconds, 1e-9):,.0f} residues/s")
    return EXIT_FAILED if summary.failed else EXIT_OK


class _Counts:
    """What a run has written so far."""

    def __init__(self):
        self.inputs = self.failed = self.no_protein = self.residues = 0


def _with_names(structures, residues, first):
    """The residue rows with their input's name in front; `first` is the run-wide row of the
    first structure in `structures`."""
    names = structures.columns["name"][residues.columns["input"] - first]
    return Table({"name": names, **residues.columns})


def _annotate_chunks(args, inputs, path, fmt, counts, progress):
    """Writes every chunk; returns the status, or None when --fail-fast stopped the run."""
    with open_writer(path if path is not None else sys.stdout.buffer, fmt) as writer:
        for chunk in iter_annotate(inputs, threads=args.threads, sasa=not args.no_sasa,
                                   ppii_stretch=args.ppii, format=args.input_format,
                                   progress=progress or False):
            done, found = chunk.structures, chunk.residues
            status = done.columns["status"]
            failures = (status == ERROR).nonzero()[0]
            stop = args.fail_fast and len(failures) > 0
            if stop:  # keep the rows up to the first failure
                failures = failures[:1]
                done = _rows(done, slice(0, failures[0] + 1))
                found = _rows(found, found.columns["input"] <= counts.inputs + failures[0])
            for row in failures:
                _say(f"{done.columns['name'][row]}: {done.columns['error'][row]}", progress)
            writer.append(done if args.per == "structure" else _with_names(done, found, counts.inputs))
            counts.inputs += len(done)
            counts.failed += len(failures)
            counts.no_protein += int((done.columns["status"] == NO_PROTEIN).sum())
            counts.residues += len(found)
            if stop:
                writer.discard()
                return None
        if counts.inputs == 0:  # still write the header (or an empty parquet file)
            empty = annotate([])
            writer.append(empty.structures if args.per == "structure"
                          else _with_names(empty.structures, empty.residues, 0))
    return EXIT_FAILED if counts.failed else EXIT_OK


def _say(line, progress=None):
    if progress:
        progress.write(line)
    else:
        print(line, file=sys.stderr)


def _plural(count, word):
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def run_annotate(args):
    if args.scheduler:
        return run_on_cluster(args)
    if args.replace:
        raise UsageError("--replace goes with --scheduler: a file named by -o is always replaced whole")
    if args.threads > MAX_THREADS:
        raise UsageError(f"-j {args.threads}: at most {MAX_THREADS} threads")
    path, fmt = _output(args)
    inputs = _inputs(args, _OutputGuard(path) if path is not None else None)
    progress = _Progress() if not args.quiet and sys.stderr.isatty() else None
    started = time.perf_counter()
    counts = _Counts()
    unwritten = f"{path} was not written" if path is not None else None
    try:
        status = _annotate_chunks(args, inputs, path, fmt, counts, progress)
    except KeyboardInterrupt:
        _close(progress)
        _say(f"tarnix: interrupted after {_plural(counts.inputs, 'input')}; "
             + (unwritten or "their rows were written"))
        return EXIT_INTERRUPTED
    except OutputError as exc:
        _close(progress)
        _say(f"tarnix: {exc}; {_plural(counts.inputs, 'input')} done, " + (unwritten or "their rows written"))
        return EXIT_WRITE
    finally:
        _close(progress)
    if status is None:
        _say(f"tarnix: stopped at the first failure after {_plural(counts.inputs, 'input')}"
             + (f"; {unwritten}" if unwritten else ""))
        return EXIT_FAILED
    if not args.quiet:
        seconds = time.perf_counter() - started
        _say(f"tarnix: {_plural(counts.inputs, 'input')}, {counts.failed:,} failed, "
             f"{counts.no_protein:,} without protein, {counts.residues:,} residues, "
             f"{seconds:.2f} s, {counts.residues / max(seconds, 1e-9):,.0f} residues/s")
    return status


def _close(progress):
    if progress:
        progress.close()


def run_plot(args):
    from . import _plot

    output = args.output
    if output is None:
        base = "stdin" if args.input == "-" else os.path.basename(args.input.rstrip("/"))
        for suffix in (".gz", ".pdb", ".ent", ".cif", ".mmcif"):
            if base.lower().endswith(suffix):
                base = base[:-len(suffix)]
        output = (base or "structure") + ".png"
    if os.path.splitext(output)[1].lower() not in PICTURE_SUFFIXES:
        raise UsageError(f"cannot tell the picture format of {output!r}: use .png, .svg or .pdf")
    source = _stdin_input() if args.input == "-" else args.input
    result = annotate([source], format=args.input_format)
    names = result.structures.columns["name"]
    if len(names) != 1:
        raise UsageError(f"plot draws one structure file; {args.input!r} holds {len(names)}")
    if result.structures.columns["status"][0] == "error":
        print(f"{names[0]}: {result.structures.columns['error'][0]}", file=sys.stderr)
        return 1
    chains = [chain for chain, _ in _plot.chain_slices(result.residues.columns["chain_id"])]
    if args.chain is not None and args.chain not in chains:
        raise UsageError(f"no chain {args.chain!r} in {names[0]}; its chains: {', '.join(chains)}")
    title = STDIN_NAME if args.input == "-" else os.path.basename(args.input.rstrip("/"))
    _plot.draw(result.residues, title, output, chain=args.chain)
    print(f"tarnix: wrote {output}", file=sys.stderr)
    return 0


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except UsageError as exc:
        print(f"{args.command_parser.prog}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except MissingExtra as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_CLOSED_PIPE
    except OSError as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("tarnix: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def _silence_stdout():
    """Nothing more can reach the reader; the interpreter's last flush must not complain."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _interrupt(signum, frame):
    raise KeyboardInterrupt


def console_main():
    """Entry point of the console script: exit with main's status, quietly on a closed pipe."""
    # SIGTERM stops the run as Ctrl-C does, so that the output is cleaned up; a file size limit
    # becomes a failed write instead of killing the process.
    signal.signal(signal.SIGTERM, _interrupt)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    status = main()
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()
        status = EXIT_CLOSED_PIPE
    sys.exit(status)
