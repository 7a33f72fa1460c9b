"""The tarnix command: annotate structure files into tables, or draw one structure."""

import argparse
import itertools
import os
import sys
import time

from . import __version__
from ._annotate import annotate, iter_annotate
from ._extras import require
from ._writers import FORMATS, format_for, open_writer
from .table import Table

STDIN_NAME = "<stdin>"
PICTURE_SUFFIXES = (".png", ".svg", ".pdf")


class UsageError(Exception):
    """A mistake in the command line: reported with the usage, status 2."""


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
                    "--per structure, one row per input). Rows are written as work finishes.\n\n"
                    "Failed inputs are listed on stderr as 'name: reason' and still get a row\n"
                    "in the per-structure table. Exit status: 0 when every input was read,\n"
                    "1 when any failed, 2 for a usage error.",
        epilog="examples:\n"
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
    _add_output_options(annotate_parser)
    annotate_parser.add_argument("--per", choices=("residue", "structure"), default="residue",
                                 help="one row per residue (default) or per input structure")
    annotate_parser.add_argument("-j", "--threads", type=_count, default=0, metavar="N",
                                 help="worker threads (default 0: every processor available)")
    annotate_parser.add_argument("--no-sasa", action="store_true",
                                 help="skip the accessibility calculation (faster)")
    annotate_parser.add_argument("--ppii", type=_count, default=3, metavar="N",
                                 help="shortest polyproline-II stretch, in residues (default 3)")
    annotate_parser.add_argument("--input-format", choices=("pdb", "mmcif"),
                                 help="read every input as this format (default: by name; "
                                      "stdin is read as PDB)")
    annotate_parser.add_argument("--models", choices=("first", "all"), default="first",
                                 help="read the first model of a multi-model file (default), or every "
                                      "model, each its own structure")
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
    annotate_parser.add_argument("--fail-fast", action="store_true",
                                 help="stop at the first input that fails (status 1)")
    annotate_parser.set_defaults(run=run_annotate, command_parser=annotate_parser)

    _add_frames_parser(commands)

    plot_parser = commands.add_parser(
        "plot", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="draw the codes and relative accessibility of one structure",
        description="Draw, for each chain of one structure, a track of the eight-state codes\n"
                    "along the residues and beneath it the relative accessibility.\n"
                    "Needs matplotlib: pip install 'tarnix[plot]'.",
        epilog="examples:\n"
               "  tarnix plot 1ubq.pdb                 writes 1ubq.png\n"
               "  tarnix plot 1aon.pdb --chain A -o groel_a.svg\n"
               "  tarnix plot md.xtc --topology md.pdb      secondary structure over time\n"
               "  tarnix plot 1d3z.pdb --models all          every model of an ensemble")
    plot_parser.add_argument("input", metavar="INPUT",
                             help="one structure file (optionally .gz), or - for stdin")
    plot_parser.add_argument("-o", "--output", metavar="OUT",
                             help="picture file: .png, .svg or .pdf (default: INPUT's name with .png)")
    plot_parser.add_argument("--chain", metavar="ID", help="draw only this chain")
    plot_parser.add_argument("--input-format", choices=("pdb", "mmcif"),
                             help="read the input as this format (default: by name)")
    plot_parser.add_argument("--topology", metavar="TOP",
                             help="INPUT is a trajectory and TOP names its atoms: draw the codes of every "
                                  "frame over time, with each residue's shares beside them (needs chemfiles)")
    plot_parser.add_argument("--models", choices=("first", "all"), default="first",
                             help="with all, draw every model of the file the same way")
    plot_parser.set_defaults(run=run_plot, command_parser=plot_parser)
    return parser


def _add_output_options(parser):
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="output file; its suffix picks the format (default: stdout)")
    parser.add_argument("--format", choices=FORMATS, help="output format (default: from OUT's suffix, else tsv)")


def _add_frames_parser(commands):
    frames_parser = commands.add_parser(
        "frames", formatter_class=argparse.RawDescriptionHelpFormatter,
        help="write the secondary structure of every frame of a trajectory",
        description="Read a trajectory (XTC, TRR, DCD, NetCDF, TNG, GRO, multi-model PDB or mmCIF,\n"
                    "through chemfiles) and write one row per frame (its eight-state codes and\n"
                    "helix and strand fractions) or, with --per residue, one row per frame and\n"
                    "residue. Rows are written as frames are done; memory stays flat.\n"
                    "Needs chemfiles: pip install 'tarnix[trajectory]'.\n\n"
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
    frames_parser.add_argument("--start", type=_count, default=0, metavar="N", help="first frame (default 0)")
    frames_parser.add_argument("--stop", type=_count, default=None, metavar="N",
                               help="stop before this frame (default: the end)")
    frames_parser.add_argument("--step", type=_count, default=1, metavar="N", help="take every N-th frame")
    frames_parser.add_argument("--sasa", action="store_true", help="also compute accessibility")
    frames_parser.add_argument("--ppii", type=_count, default=3, metavar="N",
                               help="shortest polyproline-II stretch, in residues (default 3)")
    frames_parser.add_argument("-j", "--threads", type=_count, default=0, metavar="N",
                               help="worker threads (default 0: every processor available)")
    _add_output_options(frames_parser)
    frames_parser.add_argument("--per", choices=("frame", "residue"), default="frame",
                               help="one row per frame (default) or per frame and residue")
    frames_parser.add_argument("-q", "--quiet", action="store_true", help="no summary line")
    frames_parser.set_defaults(run=run_frames, command_parser=frames_parser)


def run_frames(args):
    from ._trajectory import TrajectoryError, iter_trajectory, quiet_chemfiles

    quiet_chemfiles()  # its warnings repeat the errors reported here, or are of no use to the table
    fmt = _output_format(args)
    started = time.perf_counter()
    count = 0
    progress = _frames_bar() if not args.quiet and sys.stderr.isatty() else None
    try:
        try:
            chunks = iter_trajectory(args.trajectory, args.topology, start=args.start, stop=args.stop,
                                     step=args.step, sasa=args.sasa, ppii_stretch=args.ppii, threads=args.threads)
        except TrajectoryError:
            raise
        except ValueError as exc:  # the selection of frames asked for (step 0, start after stop)
            raise UsageError(str(exc)) from None
        target = args.output if args.output else sys.stdout.buffer
        with open_writer(target, fmt) as writer:
            for chunk in chunks:
                writer.append(chunk.per_frame() if args.per == "frame" else chunk.per_residue())
                count += len(chunk)
                if progress is not None:
                    progress.update(len(chunk))
    except TrajectoryError as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return 1
    finally:
        if progress is not None:
            progress.close()
    if not args.quiet:
        seconds = time.perf_counter() - started
        print(f"tarnix: {count:,} frame{'' if count == 1 else 's'}, {seconds:.2f} s, "
              f"{count / max(seconds, 1e-9):,.0f} frames/s", file=sys.stderr)
    return 0


def _frames_bar():
    """A bar of frames done on stderr, when tqdm is installed."""
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    return tqdm(unit=" frames", file=sys.stderr, mininterval=0.2)


def _count(text):
    value = int(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text}")
    return value


def _stdin_input():
    return (STDIN_NAME, sys.stdin.buffer.read())


def _listed_inputs(stream):
    """Inputs named one per line, read lazily as the file system's bytes."""
    with stream:
        for line in stream:
            line = line.rstrip(b"\r\n")
            if line:
                yield line


def _inputs(args):
    stdin_uses = args.inputs.count("-") + (args.from_list == "-")
    if stdin_uses > 1:
        raise UsageError("stdin (-) can be used only once")
    if not args.inputs and not args.from_list:
        raise UsageError("give at least one INPUT or --from-list FILE")
    given = (_stdin_input() if path == "-" else path for path in args.inputs)
    if not args.from_list:
        return given
    try:
        listing = sys.stdin.buffer if args.from_list == "-" else open(args.from_list, "rb")
    except OSError as exc:
        raise UsageError(f"cannot read the list {args.from_list!r}: {exc.strerror}") from None
    return itertools.chain(given, _listed_inputs(listing))


def _output_format(args):
    if args.format:
        fmt = args.format
    elif args.output:
        try:
            fmt = format_for(args.output)
        except ValueError as exc:
            raise UsageError(f"{exc}, or give --format") from None
    else:
        fmt = "tsv"
    if fmt == "parquet" and not args.output:
        raise UsageError("parquet output needs a file: give -o OUT.parquet")
    return fmt


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

    def close(self):
        if self.bar is not None:
            self.bar.close()


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
    from .dask import annotate_to_parquet

    inputs = [*args.inputs, *([args.from_list] if args.from_list else [])]
    summary = annotate_to_parquet(inputs, args.output, client=args.scheduler,
                                  files_per_task=max(1, args.files_per_task), sasa=not args.no_sasa,
                                  ppii_stretch=args.ppii, models=args.models)
    if summary.failed:
        pq = require("pyarrow.parquet", "dask")

        failures = pq.read_table(os.path.join(args.output, "structures"), columns=["name", "status", "error"],
                                 filters=[("status", "==", "error")])
        for name, error in zip(failures.column("name").to_pylist(), failures.column("error").to_pylist()):
            print(f"{name}: {error}", file=sys.stderr)
    if not args.quiet:
        print(f"tarnix: {summary.inputs:,} inputs, {summary.failed:,} failed, {summary.residues:,} residues, "
              f"{summary.seconds:.2f} s, {summary.residues / max(summary.seconds, 1e-9):,.0f} residues/s",
              file=sys.stderr)
    return 1 if summary.failed else 0


def run_annotate(args):
    if args.scheduler:
        return run_on_cluster(args)
    fmt = _output_format(args)
    inputs = _inputs(args)
    progress = _Progress() if not args.quiet and sys.stderr.isatty() else None
    started = time.perf_counter()
    structures = failed = residues = 0
    try:
        target = args.output if args.output else sys.stdout.buffer
        with open_writer(target, fmt) as writer:
            for chunk in iter_annotate(inputs, threads=args.threads, sasa=not args.no_sasa,
                                       ppii_stretch=args.ppii, format=args.input_format,
                                       progress=progress or False, models=args.models):
                done, found = chunk.structures, chunk.residues
                failures = (done.columns["status"] == "error").nonzero()[0]
                stop = args.fail_fast and len(failures) > 0
                if stop:  # keep the rows up to the first failure
                    failures = failures[:1]
                    done = _rows(done, slice(0, failures[0] + 1))
                    found = _rows(found, found.columns["input"] <= structures + failures[0])
                for row in failures:
                    print(f"{done.columns['name'][row]}: {done.columns['error'][row]}", file=sys.stderr)
                writer.append(done if args.per == "structure" else found)
                structures += len(done)
                failed += len(failures)
                residues += len(found)
                if progress:
                    progress.residues(residues, time.perf_counter() - started)
                if stop:
                    break
            if structures == 0:  # still write the header (or an empty parquet file)
                empty = annotate([])
                writer.append(empty.structures if args.per == "structure" else empty.residues)
    finally:
        if progress:
            progress.close()
    if not args.quiet:
        seconds = time.perf_counter() - started
        print(f"tarnix: {structures:,} input{'' if structures == 1 else 's'}, {failed:,} failed, "
              f"{residues:,} residues, "
              f"{seconds:.2f} s, {residues / max(seconds, 1e-9):,.0f} residues/s", file=sys.stderr)
    return 1 if failed else 0


TRAJECTORY_SUFFIXES = (".xtc", ".trr", ".dcd", ".nc", ".ncdf", ".tng", ".gro")


def run_plot(args):
    from . import _plot

    output = args.output
    if output is None:
        base = "stdin" if args.input == "-" else os.path.basename(args.input.rstrip("/"))
        for suffix in (".gz", ".pdb", ".ent", ".cif", ".mmcif") + TRAJECTORY_SUFFIXES:
            if base.lower().endswith(suffix):
                base = base[:-len(suffix)]
        output = (base or "structure") + ".png"
    if os.path.splitext(output)[1].lower() not in PICTURE_SUFFIXES:
        raise UsageError(f"cannot tell the picture format of {output!r}: use .png, .svg or .pdf")
    if args.topology or args.models == "all" or args.input.lower().endswith(TRAJECTORY_SUFFIXES):
        return plot_frames(args, output)
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


def plot_frames(args, output):
    """The picture of many frames: a trajectory (with its topology), or every model of a file."""
    from ._frames import models_as_frames
    from ._plot_frames import draw_frames
    from ._trajectory import TrajectoryError, quiet_chemfiles, trajectory

    title = STDIN_NAME if args.input == "-" else os.path.basename(args.input.rstrip("/"))
    if args.chain is not None:
        raise UsageError("--chain draws one structure; a trajectory or ensemble is drawn whole")
    if args.topology or args.models != "all":
        if args.input == "-":
            raise UsageError("a trajectory is read from a file, not stdin")
        quiet_chemfiles()
        try:
            result = trajectory(args.input, args.topology)
        except TrajectoryError as exc:
            print(f"tarnix: {exc}", file=sys.stderr)
            return 1
        draw_frames(result, title, output, axis="frame")
    else:
        source = _stdin_input() if args.input == "-" else args.input
        annotation = annotate([source], format=args.input_format, models="all", sasa=False)
        try:
            result = models_as_frames(annotation)
        except ValueError as exc:
            print(f"tarnix: {title}: {exc}", file=sys.stderr)
            return 1
        draw_frames(result, title, output, axis="model")
    print(f"tarnix: wrote {output}", file=sys.stderr)
    return 0


def main(argv=None):
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return args.run(args)
    except UsageError as exc:
        args.command_parser.error(str(exc))  # exits with status 2
    except ImportError as exc:
        if "pip install 'tarnix[" not in str(exc):
            raise
        print(f"tarnix: {exc}", file=sys.stderr)  # a missing optional dependency
        return 1
    except BrokenPipeError:
        raise
    except OSError as exc:
        print(f"tarnix: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("tarnix: interrupted", file=sys.stderr)
        return 130


def console_main():
    """Entry point of the console script: exit with main's status, quietly on a closed pipe."""
    try:
        status = main()
        sys.stdout.flush()
    except BrokenPipeError:
        # the reader went away (e.g. `| head`): nothing more to say
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        status = 1
    sys.exit(status)
