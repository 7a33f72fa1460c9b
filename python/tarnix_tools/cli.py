"""The tarnix command: annotate structure files into tables, or draw structures."""

from __future__ import annotations

import argparse
import contextlib
import itertools
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from types import FrameType
from typing import IO, Any, NoReturn, Union

from . import __version__, _checks, _formats, _provenance
from ._annotate import DEFAULT_MAX_BYTES, ERROR, NO_PROTEIN, OK, Annotation, annotate, iter_annotate
from ._checks import MAX_THREADS
from ._extras import MissingExtra, require
from ._inputs import Item, is_tar_name, iter_items, stdin_item
from ._progress import ProgressBar
from ._writers import (FORMATS, OutputError, PlacedFile, commit_together, format_for, open_writer,
                       written_through)
from .table import Table

Input = Union[str, bytes, Item]

STDIN_NAME = "<stdin>"
PICTURE_SUFFIXES = (".png", ".svg", ".pdf")
DEFAULT_DPI = 100

EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_WRITE, EXIT_INTERRUPTED = 0, 1, 2, 3, 130
# A reader that went away (`| head`) ends the run as a shell reports death by SIGPIPE.
EXIT_CLOSED_PIPE = 128 + signal.SIGPIPE
EXIT_STATUS_HELP = (
    "exit status:\n"
    "  0    every input was read (inputs holding no protein included)\n"
    "  1    some input failed; the output is complete and lists them\n"
    "  2    a usage or environment problem, found before any input was read\n"
    "  3    writing the output failed after work started (disk full, folder gone)\n"
    "  130  interrupted (Ctrl-C, SIGTERM, SIGHUP)\n"
    "A file named by -o is written whole when the run ends or not at all: an\n"
    "interrupted run, a failed write or a --fail-fast stop leaves what was there.")


class UsageError(Exception):
    """A mistake in the command line or its environment: one line on stderr, status 2."""


class _Parser(argparse.ArgumentParser):
    """Reports a malformed command line in one line, as every other usage error is reported."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tarnix",
        description="Secondary structure (eight-state codes with polyproline II) and solvent "
                    f"accessibility of protein structures in files of these formats: {_formats.describe()}.",
        epilog="Run 'tarnix annotate --help', 'tarnix frames --help' or 'tarnix plot --help' for examples.")
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
               "  zcat 1abc.cif.gz | tarnix annotate -           any format on stdin\n"
               "  tarnix annotate pdb_mirror/ -o out/ --scheduler local:2\n"
               "  tarnix annotate --from-list paths.txt -o /shared/out --scheduler tcp://head:8786")
    annotate_parser.add_argument(
        "inputs", nargs="*", metavar="INPUT",
        help=f"a structure file ({_formats.suffix_list()}, optionally .gz), a directory (searched "
             "recursively), a .tar/.tar.gz/.tgz archive, or - for one file on stdin")
    _add_output_options(annotate_parser)
    annotate_parser.add_argument("--per", choices=("residue", "structure"), default="residue",
                                 help="one row per residue (default) or per input structure")
    annotate_parser.add_argument("-j", "--threads", type=_threads, default=0, metavar="N",
                                 help=f"worker threads, at most {MAX_THREADS} (default 0: every "
                                      "processor available)")
    annotate_parser.add_argument("--no-sasa", action="store_true",
                                 help="skip the accessibility calculation (faster)")
    annotate_parser.add_argument("--ppii", type=_stretch, default=3, metavar="N",
                                 help="shortest polyproline-II stretch, in residues (default 3; "
                                      "0 assigns no PPII)")
    annotate_parser.add_argument("--input-format", choices=_formats.NAMES,
                                 help=f"read every input as this format: {_formats.describe()} "
                                      "(default: by the name's suffix; stdin and names of no format "
                                      "by the content)")
    annotate_parser.add_argument("--models", choices=("first", "all"), default="first",
                                 help="read the first model of a multi-model file (default), or every "
                                      "model, each its own structure")
    annotate_parser.add_argument("--from-list", metavar="FILE",
                                 help="also read inputs from FILE, one per line (- for stdin)")
    annotate_parser.add_argument("-q", "--quiet", action="store_true",
                                 help="no progress bar and no summary line")
    annotate_parser.add_argument("--errors", metavar="FILE",
                                 help="write the failures to FILE as 'name<TAB>reason' lines instead of "
                                      "to stderr (written whole at the end, like -o)")
    annotate_parser.add_argument("--scheduler", metavar="ADDRESS", type=_scheduler,
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

    _add_frames_parser(commands)

    plot_parser = commands.add_parser(
        "plot", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="draw the codes and relative accessibility of structures",
        description="Draw, for each structure, a picture: per chain a track of the eight-state\n"
                    "codes along the residues and beneath it the relative accessibility, with a\n"
                    "guide at 0.25 (exposed above). Chains with the same residues are one panel:\n"
                    "a track row per distinct run of codes, labelled with every chain that has\n"
                    "it, and the mean accessibility with a band from the lowest to the highest.\n"
                    "Needs matplotlib: pip install 'tarnix[plot]'.",
        epilog="examples:\n"
               "  tarnix plot 1ubq.pdb                 writes 1ubq.png\n"
               "  tarnix plot 1ubq.pdb 4hhb.pdb        writes 1ubq.png and 4hhb.png\n"
               "  tarnix plot 1aon.pdb --chain A --chain O -o groel.svg\n"
               "  tarnix plot 1aon.pdb --dpi 300       for print\n"
               "  tarnix plot md.xtc --topology md.pdb secondary structure over time\n"
               "  tarnix plot 1d3z.pdb --models all    every model of an ensemble")
    plot_parser.add_argument("inputs", nargs="+", metavar="INPUT",
                             help="structure files (optionally .gz), or - for one on stdin")
    plot_parser.add_argument("-o", "--output", metavar="OUT",
                             help="picture file for a single INPUT: .png, .svg or .pdf (default: "
                                  "each INPUT's name with .png, in the current folder)")
    plot_parser.add_argument("--chain", metavar="ID", action="append",
                             help="draw only this chain (repeat for several)")
    plot_parser.add_argument("--dpi", type=_dpi, default=DEFAULT_DPI, metavar="N",
                             help=f"dots per inch (default {DEFAULT_DPI}, for a screen; 300 for print), 1 to "
                                  f"{_checks.MAX_DPI}; a picture has at most {_checks.MAX_PIXELS:,} pixels, "
                                  f"{_checks.MAX_PANELS} panels of chains and {_checks.MAX_CELLS:,} "
                                  "frame-residue cells")
    plot_parser.add_argument("--input-format", choices=_formats.NAMES,
                             help=f"read the inputs as this format: {_formats.describe()} "
                                  "(default: by the name's suffix, else by the content)")
    plot_parser.add_argument("--topology", metavar="TOP",
                             help="INPUT is a trajectory and TOP names its atoms: draw the codes of every "
                                  "frame over time, with each residue's shares beside them (needs chemfiles)")
    plot_parser.add_argument("--models", choices=("first", "all"), default="first",
                             help="with all, draw every model of the file the same way")
    plot_parser.set_defaults(run=run_plot, command_parser=plot_parser)
    return parser


def _add_output_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="output file; its suffix picks the format (default, or -: stdout)")
    parser.add_argument("--format", choices=FORMATS, help="output format (default: from OUT's suffix, else tsv)")


def _add_frames_parser(commands: Any) -> None:
    frames_parser = commands.add_parser(
        "frames", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="write the secondary structure of every frame of a trajectory",
        description="Read a trajectory (every model of a PDB, mmCIF or BinaryCIF file, by our own\n"
                    "readers; XTC, TRR, DCD, NetCDF, TNG, GRO through chemfiles) and write one\n"
                    "row per frame (its eight-state codes and helix and strand fractions) or,\n"
                    "with --per residue, one row per frame and residue. Rows are written as\n"
                    "frames are done; memory stays flat.\n"
                    "Those through chemfiles need it: pip install 'tarnix[trajectory]'.\n\n"
                    "Exit status: 0 when every frame was read, 1 when the trajectory or a frame\n"
                    "could not be read (the message names the file and frame), 2 for a usage error.",
        epilog="examples:\n"
               "  tarnix frames md.xtc --topology md.pdb                  tsv on stdout\n"
               "  tarnix frames md.dcd --topology md.pdb -o frames.parquet -j 2\n"
               "  tarnix frames md.xtc --topology md.pdb --per residue --sasa -o long.parquet\n"
               "  tarnix frames nmr.pdb --step 2 -o models.csv")
    frames_parser.add_argument("trajectory", metavar="TRAJ", help="the trajectory file")
    frames_parser.add_argument("--topology", metavar="TOP",
                               help="a file naming the atoms and residues (a PDB file, say), when the "
                                    "trajectory has none")
    frames_parser.add_argument("--start", type=_frame("start"), default=0, metavar="N",
                               help="first frame (default 0)")
    frames_parser.add_argument("--stop", type=_frame("stop"), default=None, metavar="N",
                               help="stop before this frame (default: the end)")
    frames_parser.add_argument("--step", type=_frame("step"), default=1, metavar="N",
                               help=f"take every N-th frame (frame numbers at most {_checks.MAX_FRAME:,})")
    frames_parser.add_argument("--sasa", action="store_true", help="also compute accessibility")
    frames_parser.add_argument("--ppii", type=_stretch, default=3, metavar="N",
                               help="shortest polyproline-II stretch, in residues (default 3)")
    frames_parser.add_argument("-j", "--threads", type=_threads, default=0, metavar="N",
                               help=f"worker threads, at most {MAX_THREADS} (default 0: every processor available)")
    _add_output_options(frames_parser)
    frames_parser.add_argument("--per", choices=("frame", "residue"), default="frame",
                               help="one row per frame (default) or per frame and residue")
    frames_parser.add_argument("-q", "--quiet", action="store_true", help="no summary line")
    frames_parser.set_defaults(run=run_frames, command_parser=frames_parser)


def _count(text: str, maximum: int | None = None) -> int:
    return _checks.command_line(_checks.counted(maximum), "N")(text)


_threads = _checks.command_line(lambda name, value: _checks.threads(value), "threads")
_stretch = _checks.command_line(lambda name, value: _checks.ppii_stretch(value), "ppii_stretch")


_dpi = _checks.command_line(lambda name, value: _checks.whole(name, value, 1, _checks.MAX_DPI), "--dpi")


def _frame(name: str) -> Any:
    return _checks.command_line(_checks.counted(_checks.MAX_FRAME), name)


def _scheduler(text: str) -> str:
    """A scheduler address, or local:N with 1 <= N <= MAX_THREADS."""
    if text.startswith("local:"):
        workers = _count(text[len("local:"):], MAX_THREADS)
        if workers == 0:
            raise argparse.ArgumentTypeError("local:0 has no worker: give local:N with N at least 1")
        return f"local:{workers}"
    return text


def _stdin_input() -> Item:
    return stdin_item(STDIN_NAME)


def _identity(path: str | bytes) -> tuple[int, int] | None:
    try:
        status = os.stat(path)
    except (OSError, ValueError):
        return None
    return (status.st_dev, status.st_ino)


class _OutputGuard:
    """Refuses an input that is an output file, or a folder an output file is in: the run would
    read what it writes, or replace what it reads. Every input the run opens goes through
    ``check`` before it is read, however it was found (named, listed or walked)."""

    def __init__(self, outputs: dict[str, str]) -> None:
        self.protected: dict[tuple[int, int], str] = {}  # identity -> the option naming the output
        for option, output in outputs.items():
            shown = f"{option} {output}"
            self._protect(output, shown)
            if written_through(output):  # nothing is made beside a device or FIFO
                continue
            for placed in {os.path.abspath(output), os.path.realpath(output)}:
                folder = os.path.realpath(os.path.dirname(placed))
                while True:
                    self._protect(folder, shown)
                    parent = os.path.dirname(folder)
                    if parent == folder:
                        break
                    folder = parent

    def _protect(self, path: str, shown: str) -> None:
        identity = _identity(path)
        if identity is not None:
            self.protected[identity] = shown

    def check(self, path: str | bytes, role: str = "one of the inputs") -> None:
        identity = _identity(path)
        if identity not in self.protected:
            return
        output, shown = self.protected[identity], os.fsdecode(path)
        if os.path.isdir(path):
            raise UsageError(f"{output} is inside the input folder {shown}: write it elsewhere")
        raise UsageError(f"{output} is {role} ({shown}): choose another output file")

    def items(self, inputs: Iterable[Input]) -> Iterator[Item]:
        """The single inputs of `inputs`, each path checked before it is opened: a folder's files
        as the walk hands them on (a link in it can lead to an output), an archive before it is
        read (its members are read from it)."""
        for value in inputs:
            if isinstance(value, Item):  # stdin: what it reads may be an output too
                if value.path is not None:
                    self.check(value.path)
                yield value
                continue
            self.check(value)
            named = os.fsencode(value)
            for item in iter_items(value, DEFAULT_MAX_BYTES):
                if item.path is not None and item.path != named:
                    self.check(item.path)
                yield item


def _listed_inputs(stream: IO[bytes]) -> Iterator[bytes]:
    """Inputs named one per line, read lazily as the file system's bytes."""
    with stream:
        for line in stream:
            line = line.rstrip(b"\r\n")
            if line:
                yield line


def _inputs(args: argparse.Namespace, guard: _OutputGuard | None) -> Iterator[Input]:
    stdin_uses = args.inputs.count("-") + (args.from_list == "-")
    if stdin_uses > 1:
        raise UsageError("stdin (-) can be used only once")
    if not args.inputs and not args.from_list:
        raise UsageError("give at least one INPUT or --from-list FILE")
    if guard is not None:  # the inputs named are refused before any output is made
        for path in args.inputs:
            if path != "-":
                guard.check(path)
        if args.from_list and args.from_list != "-":
            guard.check(args.from_list, "the --from-list file")
    given: Iterator[Input] = (_stdin_input() if path == "-" else path for path in args.inputs)
    if args.from_list:
        try:
            listing = sys.stdin.buffer if args.from_list == "-" else open(args.from_list, "rb")
        except OSError as exc:
            raise UsageError(f"cannot read the list {args.from_list!r}: {exc.strerror}") from None
        given = itertools.chain(given, _listed_inputs(listing))
    return given if guard is None else guard.items(given)


def _known_count(args: argparse.Namespace) -> int | None:
    """How many inputs the run has, when that is known without reading them: every INPUT a file
    (not a folder or an archive, which hold an unknown number), and any list a file to count."""
    count = 0
    for path in args.inputs:
        if path != "-" and (os.path.isdir(path) or is_tar_name(os.fsencode(path))):
            return None
        count += 1
    if args.from_list:
        if args.from_list == "-" or not os.path.isfile(args.from_list):
            return None
        with open(args.from_list, "rb") as listing:
            count += sum(1 for line in listing if line.strip(b"\r\n"))
    return count


def _check_writable(option: str, path: str) -> None:
    """An output file that could not be written is found before any input is read."""
    if os.path.isdir(path):
        raise UsageError(f"{option} {path} is a folder: name a file")
    if written_through(path):
        if not os.access(path, os.W_OK):
            raise UsageError(f"{option} {path}: cannot write to it; choose another output")
        return
    # a symbolic link's target is what gets replaced
    folder = os.path.dirname(os.path.realpath(path) if os.path.islink(path) else path) or "."
    if not os.path.isdir(folder):
        raise UsageError(f"{option} {path}: the folder {folder} does not exist; create it first")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise UsageError(f"{option} {path}: cannot write into the folder {folder}; choose another")


def _output(args: argparse.Namespace) -> tuple[str | None, str]:
    """(path or None for stdout, format), checked before any input is read."""
    path = None if args.output in (None, "-") else args.output
    if args.format:
        fmt: str = args.format
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
        _check_writable("-o", path)
    if getattr(args, "errors", None) is not None:
        _check_writable("--errors", args.errors)
        if path is not None and os.path.realpath(args.errors) == os.path.realpath(path) \
                and not written_through(path):
            raise UsageError("--errors and -o name the same file")
    return path, fmt


def _rows(table: Table, selection: Any) -> Table:
    return Table({name: values[selection] for name, values in table.columns.items()})


class _Messages:
    """Where failures and the summary go: stderr above the progress bar, or failures to a file."""

    def __init__(self, progress: ProgressBar | None, errors: str | None) -> None:
        self.progress = progress
        self.errors = PlacedFile(errors) if errors is not None else None

    def say(self, line: str) -> None:
        if self.progress is not None:
            self.progress.write(line)
        else:
            print(line, file=sys.stderr)

    def failure(self, name: str, reason: str) -> None:
        if self.errors is None:
            self.say(f"{name}: {reason}")
            return
        try:
            self.errors.file.write(f"{_field(name)}\t{_field(reason)}\n".encode("utf-8", "surrogateescape"))
        except OSError as exc:
            raise OutputError(f"cannot write {self.errors.target}: {exc.strerror or exc}") from exc

    def close_progress(self) -> None:
        if self.progress is not None:
            self.progress.close()
            self.progress = None

    def finish(self) -> None:
        """Ends the bar; the failure list, unless committed with the output, leaves no file."""
        self.close_progress()
        if self.errors is not None:
            errors, self.errors = self.errors, None
            errors.discard()


def _field(text: str) -> str:
    """One tab-separated field: a tab, line break or backslash inside is escaped."""
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def _progress_bar(args: argparse.Namespace, to_stdout: bool) -> ProgressBar | None:
    """A bar on a terminal's stderr, unless rows go to that same terminal."""
    if args.quiet or not sys.stderr.isatty() or (to_stdout and sys.stdout.isatty()):
        return None
    try:
        return ProgressBar(total=_known_count(args))
    except MissingExtra:  # the bar is a nicety: without tqdm, none
        return None


def run_on_cluster(args: argparse.Namespace) -> int:
    """--scheduler: the inputs go to a Dask cluster, the rows to two Parquet datasets."""
    if not args.output:
        raise UsageError("--scheduler writes Parquet datasets into a folder: give -o OUT_DIR")
    if args.format or args.per != "residue" or args.fail_fast or args.input_format or args.errors:
        raise UsageError("--scheduler takes none of --format, --per, --fail-fast, --input-format, --errors")
    if "-" in args.inputs or args.from_list == "-":
        raise UsageError("--scheduler reads paths every worker can open, not stdin")
    if not args.inputs and not args.from_list:
        raise UsageError("give at least one INPUT or --from-list FILE")
    from .dask import RefusedRun, annotate_to_parquet

    inputs = list(args.inputs)
    if args.from_list:
        try:
            listing = open(args.from_list, "rb")
        except OSError as exc:
            raise UsageError(f"cannot read the list {args.from_list!r}: {exc.strerror}") from None
        inputs += map(os.fsdecode, _listed_inputs(listing))
    try:
        summary = annotate_to_parquet(inputs, args.output, client=args.scheduler,
                                      files_per_task=max(1, args.files_per_task), sasa=not args.no_sasa,
                                      ppii_stretch=args.ppii, replace=args.replace, models=args.models)
    except RefusedRun as exc:
        raise UsageError(str(exc)) from None
    if summary.failed:
        pq = require("pyarrow.parquet", "dask")

        failures = pq.read_table(os.path.join(args.output, "structures"), columns=["name", "status", "error"],
                                 filters=[("status", "==", ERROR)])
        for name, error in zip(failures.column("name").to_pylist(), failures.column("error").to_pylist()):
            print(f"{name}: {error}", file=sys.stderr)
    if not args.quiet:
        print(f"tarnix: {_plural(summary.inputs, 'input')}, {summary.failed:,} failed, "
              f"{summary.no_protein:,} without protein, {summary.residues:,} residues, "
              f"{summary.seconds:.2f} s, {summary.residues / max(summary.seconds, 1e-9):,.0f} residues/s",
              file=sys.stderr)
    return EXIT_FAILED if summary.failed else EXIT_OK


class _Counts:
    """What a run has written so far."""

    def __init__(self) -> None:
        self.inputs = self.failed = self.no_protein = self.residues = 0


def _annotate_chunks(args: argparse.Namespace, inputs: Iterable[Input], path: str | None, fmt: str,
                     counts: _Counts, messages: _Messages) -> int | None:
    """Writes every chunk; returns the status, or None when --fail-fast stopped the run."""
    with open_writer(path if path is not None else sys.stdout.buffer, fmt) as writer:
        for chunk in iter_annotate(inputs, threads=args.threads, sasa=not args.no_sasa,
                                   ppii_stretch=args.ppii, format=args.input_format,
                                   progress=messages.progress or False, models=args.models):
            done, found = chunk.structures, chunk.residues
            failures = (done.columns["status"] == ERROR).nonzero()[0]
            stop = args.fail_fast and len(failures) > 0
            if stop:  # keep the rows up to the first failure
                failures = failures[:1]
                done = _rows(done, slice(0, failures[0] + 1))
                found = _rows(found, found.columns["input"] <= counts.inputs + failures[0])
            for row in failures:
                messages.failure(str(done.columns["name"][row]), str(done.columns["error"][row]))
            if args.per == "structure":
                writer.append(done)
            else:
                writer.append_with_names(done, found, counts.inputs)
            counts.inputs += len(done)
            counts.failed += len(failures)
            counts.no_protein += int((done.columns["status"] == NO_PROTEIN).sum())
            counts.residues += len(found)
            if stop:
                writer.discard()
                return None
        if counts.inputs == 0:  # still write the header (or an empty parquet file)
            empty = Annotation.empty()
            if args.per == "structure":
                writer.append(empty.structures)
            else:
                writer.append_with_names(empty.structures, empty.residues, 0)
        # the failure list is placed with the rows or not at all
        commit_together([messages.errors, writer.finish()])
    return EXIT_FAILED if counts.failed else EXIT_OK


def _plural(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def run_annotate(args: argparse.Namespace) -> int:
    if args.scheduler:
        return run_on_cluster(args)
    if args.replace:
        raise UsageError("--replace goes with --scheduler: a file named by -o is always replaced whole")
    if args.threads > MAX_THREADS:
        raise UsageError(f"-j {args.threads}: at most {MAX_THREADS} threads")
    path, fmt = _output(args)
    outputs = {option: value for option, value in (("-o", path), ("--errors", args.errors)) if value}
    inputs = _inputs(args, _OutputGuard(outputs) if outputs else None)
    messages = _Messages(_progress_bar(args, path is None), args.errors)
    started = time.perf_counter()
    counts = _Counts()
    unwritten = ", ".join(outputs.values()) + (" was" if len(outputs) == 1 else " were") + " not written"
    unwritten_or_rows = unwritten if path is not None else "their rows were written"
    status: int | None = None
    try:
        status = _annotate_chunks(args, inputs, path, fmt, counts, messages)
    except KeyboardInterrupt:
        messages.finish()
        messages.say(f"tarnix: interrupted after {_plural(counts.inputs, 'input')}; {unwritten_or_rows}")
        return EXIT_INTERRUPTED
    except OutputError as exc:
        messages.finish()
        messages.say(f"tarnix: {exc}; {_plural(counts.inputs, 'input')} done, {unwritten_or_rows}")
        return EXIT_WRITE
    finally:
        messages.finish()
    if status is None:
        messages.say(f"tarnix: stopped at the first failure after {_plural(counts.inputs, 'input')}"
                     + (f"; {unwritten}" if outputs else ""))
        return EXIT_FAILED
    if not args.quiet:
        seconds = time.perf_counter() - started
        messages.say(f"tarnix: {_plural(counts.inputs, 'input')}, {counts.failed:,} failed, "
                     f"{counts.no_protein:,} without protein, {counts.residues:,} residues, "
                     f"{seconds:.2f} s, {counts.residues / max(seconds, 1e-9):,.0f} residues/s")
    return status


TRAJECTORY_SUFFIXES = (".xtc", ".trr", ".dcd", ".nc", ".ncdf", ".tng", ".gro")


@contextlib.contextmanager
def _noted_interrupts() -> Iterator[Callable[[], None]]:
    """Ctrl-C, SIGTERM or SIGHUP while chemfiles runs: landing in its code (a callback it makes
    through ctypes) or in a finaliser, where the interpreter would print the exception and drop it,
    the signal is noted instead of raised; the function given raises it once chemfiles returns, or
    fails."""
    noted: list[int] = []

    def handler(signum: int, frame: FrameType | None) -> None:
        noted.append(signum)
        if frame is not None and (str(frame.f_globals.get("__name__", "")).startswith("chemfiles")
                                  or frame.f_code.co_name == "__del__"):
            return
        raise KeyboardInterrupt

    def stop_if_noted() -> None:
        if noted:
            raise KeyboardInterrupt

    if threading.current_thread() is not threading.main_thread():
        yield stop_if_noted  # signals reach only the main thread
        return

    interrupting = (signal.default_int_handler, _interrupt)
    previous = {signum: signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    for signum, action in previous.items():
        if action in interrupting:
            signal.signal(signum, handler)
    try:
        yield stop_if_noted
    finally:
        for signum, action in previous.items():
            if action in interrupting:
                signal.signal(signum, action)


def run_frames(args: argparse.Namespace) -> int:
    from ._trajectory import quiet_chemfiles

    quiet_chemfiles()  # its warnings repeat the errors reported here, or are of no use to the table
    path, fmt = _output(args)
    if path is not None:
        guard = _OutputGuard({"-o": path})
        guard.check(args.trajectory, "the trajectory")
        if args.topology is not None:
            guard.check(args.topology, "the topology")
    started = time.perf_counter()
    with _noted_interrupts() as stop_if_interrupted:
        return _write_frames(args, path, fmt, stop_if_interrupted, started)


def _write_frames(args: argparse.Namespace, path: str | None, fmt: str, stop_if_interrupted: Callable[[], None],
                  started: float) -> int:
    from ._trajectory import TrajectoryError, iter_trajectory

    count = 0
    progress = None
    try:
        try:
            chunks = iter_trajectory(args.trajectory, args.topology, start=args.start, stop=args.stop,
                                     step=args.step, sasa=args.sasa, ppii_stretch=args.ppii, threads=args.threads)
        except TrajectoryError:
            raise
        except ValueError as exc:  # the selection of frames asked for (step 0, start after stop)
            raise UsageError(str(exc)) from None
        if not args.quiet and sys.stderr.isatty():
            progress = _frames_bar(getattr(chunks, "total", None))
        with open_writer(path if path is not None else sys.stdout.buffer, fmt) as writer:
            for chunk in chunks:
                stop_if_interrupted()
                table = chunk.per_frame() if args.per == "frame" else chunk.per_residue()
                table.provenance.update(_provenance.of_frames(args.sasa, args.ppii))
                writer.append(table)
                count += len(chunk)
                if progress is not None:
                    progress.update(len(chunk))
            stop_if_interrupted()  # before the output is placed
    except TrajectoryError as exc:
        stop_if_interrupted()  # the read failed because it was interrupted
        print(f"tarnix: {exc}", file=sys.stderr)
        return EXIT_FAILED
    except OutputError as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return EXIT_WRITE
    finally:
        if progress is not None:
            progress.close()
    if not args.quiet:
        seconds = time.perf_counter() - started
        print(f"tarnix: {_plural(count, 'frame')}, {seconds:.2f} s, "
              f"{count / max(seconds, 1e-9):,.0f} frames/s", file=sys.stderr)
    return EXIT_OK


def _frames_bar(total: int | None) -> Any:
    """A bar of frames done (of the total, with the time left) on stderr, when tqdm is installed."""
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    return tqdm(total=total, unit=" frames", file=sys.stderr, mininterval=0.2)


def _picture_name(source: str) -> str:
    """The default picture of an input: its name without the structure suffixes, with .png."""
    base = "stdin" if source == "-" else os.path.basename(source.rstrip("/"))
    for suffix in TRAJECTORY_SUFFIXES:
        if base.lower().endswith(suffix):
            base = base[:-len(suffix)]
    return (_formats.strip_suffixes(base) or "structure") + ".png"


def _pictures(args: argparse.Namespace) -> list[str]:
    """The picture file of each input, checked before anything is read."""
    if args.output is not None and len(args.inputs) > 1:
        raise UsageError("-o names the picture of a single INPUT; with several, each is named after its INPUT")
    if args.inputs.count("-") > 1:
        raise UsageError("stdin (-) can be used only once")
    outputs = [args.output] if args.output is not None else [_picture_name(i) for i in args.inputs]
    for output in outputs:
        if os.path.splitext(output)[1].lower() not in PICTURE_SUFFIXES:
            raise UsageError(f"cannot tell the picture format of {output!r}: use .png, .svg or .pdf")
        _check_writable("-o", output)
    if len(set(map(os.path.abspath, outputs))) < len(outputs):
        raise UsageError("two INPUTs would give the same picture name: draw them one at a time with -o")
    for source, output in zip(args.inputs, outputs):
        guard = _OutputGuard({"-o": output})
        if source != "-":
            guard.check(source, "the input")
        if args.topology is not None:
            guard.check(args.topology, "the topology")
    require("matplotlib", "plot")
    return outputs


def run_plot(args: argparse.Namespace) -> int:
    try:
        return _plot_each(args, _pictures(args))
    except _checks.TooLarge as exc:
        raise UsageError(str(exc)) from None


def _plot_each(args: argparse.Namespace, outputs: list[str]) -> int:
    from . import _plot

    status = EXIT_OK
    for source, output in zip(args.inputs, outputs):
        if args.topology or args.models == "all" or source.lower().endswith(TRAJECTORY_SUFFIXES):
            status = max(status, plot_frames(args, source, output))
            continue
        result = annotate([_stdin_input() if source == "-" else source], format=args.input_format)
        names, states = result.structures.columns["name"], result.structures.columns["status"]
        if len(names) != 1:
            print(f"tarnix: plot draws a structure file; {source!r} holds {len(names)}", file=sys.stderr)
            status = EXIT_FAILED
            continue
        if states[0] != OK:
            print(f"{names[0]}: {result.structures.columns['error'][0]}", file=sys.stderr)
            status = EXIT_FAILED
            continue
        chains = list(dict.fromkeys(str(c) for c in result.residues.columns["chain_id"]))
        missing = [c for c in args.chain or [] if c not in chains]
        if missing:
            print(f"{names[0]}: no chain {', '.join(map(repr, missing))}; its chains: {', '.join(chains)}",
                  file=sys.stderr)
            status = EXIT_FAILED
            continue
        title = STDIN_NAME if source == "-" else os.path.basename(source.rstrip("/"))
        try:
            _plot.draw(result.residues, title, output, chains=args.chain, dpi=args.dpi)
        except OutputError as exc:
            print(f"tarnix: {exc}", file=sys.stderr)
            return EXIT_WRITE
        print(f"tarnix: wrote {output}", file=sys.stderr)
    return status


def plot_frames(args: argparse.Namespace, source: str, output: str) -> int:
    """The picture of many frames: a trajectory (with its topology), or every model of a file."""
    from ._frames import Frames, models_as_frames
    from ._plot_frames import draw_frames
    from ._trajectory import TrajectoryError, iter_trajectory, quiet_chemfiles

    title = STDIN_NAME if source == "-" else os.path.basename(source.rstrip("/"))
    if args.chain is not None:
        raise UsageError("--chain draws one structure; a trajectory or ensemble is drawn whole")
    if args.topology or args.models != "all":
        if source == "-":
            raise UsageError("a trajectory is read from a file, not stdin")
        quiet_chemfiles()
        parts: list[Frames] = []
        progress = None
        with _noted_interrupts() as stop_if_interrupted:
            try:
                chunks = iter_trajectory(source, args.topology)
                if sys.stderr.isatty():
                    progress = _frames_bar(getattr(chunks, "total", None))
                for chunk in chunks:
                    stop_if_interrupted()
                    parts.append(chunk)  # refused as soon as the picture would be too large
                    _checks.frame_cells(title, sum(map(len, parts)), chunk.codes.shape[1])
                    if progress is not None:
                        progress.update(len(chunk))
                stop_if_interrupted()
            except TrajectoryError as exc:
                stop_if_interrupted()  # the read failed because it was interrupted
                print(f"tarnix: {exc}", file=sys.stderr)
                return EXIT_FAILED
            except ValueError as exc:
                if isinstance(exc, _checks.TooLarge):
                    raise
                raise UsageError(str(exc)) from None
            finally:
                if progress is not None:
                    progress.close()
        result = Frames.concat(parts)
        draw_frames(result, title, output, axis="frame", dpi=args.dpi)
    else:
        annotation = annotate([_stdin_input() if source == "-" else source], format=args.input_format,
                              models="all", sasa=False)
        try:
            result = models_as_frames(annotation)
        except ValueError as exc:
            print(f"tarnix: {title}: {exc}", file=sys.stderr)
            return EXIT_FAILED
        draw_frames(result, title, output, axis="model", dpi=args.dpi)
    print(f"tarnix: wrote {output}", file=sys.stderr)
    return EXIT_OK


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        with _provenance.command_line(sys.argv[1:] if argv is None else argv):
            status: int = args.run(args)
        return status
    except UsageError as exc:
        print(f"{args.command_parser.prog}: error: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except MissingExtra as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return EXIT_USAGE
    except OutputError as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return EXIT_WRITE
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_CLOSED_PIPE
    except OSError as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return EXIT_FAILED
    except KeyboardInterrupt:
        print("tarnix: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED


def _silence_stdout() -> None:
    """Nothing more can reach the reader; the interpreter's last flush must not complain."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def _interrupt(signum: int, frame: FrameType | None) -> None:
    raise KeyboardInterrupt


def console_main() -> None:
    """Entry point of the console script: exit with main's status, quietly on a closed pipe."""
    # SIGTERM and a closed terminal (SIGHUP, unless nohup ignores it) stop the run as Ctrl-C does,
    # so that the output is cleaned up; a file size limit becomes a failed write instead of
    # killing the process.
    signal.signal(signal.SIGTERM, _interrupt)
    if signal.getsignal(signal.SIGHUP) is not signal.SIG_IGN:
        signal.signal(signal.SIGHUP, _interrupt)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    status = main()
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        _silence_stdout()
        status = EXIT_CLOSED_PIPE
    sys.exit(status)
