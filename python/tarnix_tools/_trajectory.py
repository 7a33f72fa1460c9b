"""trajectory: secondary structure of every frame of a trajectory file: structure files (every model)
through our own readers, the other formats through chemfiles."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
import warnings
from collections.abc import Iterator
from typing import Any, Optional, Union

import numpy as np

from tarnix_tools import _checks, _formats
from tarnix_tools._annotate import OK, annotate
from tarnix_tools._extras import require
from tarnix_tools._frame_walk import Damaged, walked_frames
from tarnix_tools._frames import CHUNK_FRAMES, Frames, Layout, models_as_frames

PathLike = Union[str, "os.PathLike[str]"]
# Binary formats whose count of frames the library fixes on opening: a warning then is damage.
_COUNTED_SUFFIXES = (".dcd", ".xtc", ".trr")


class TrajectoryError(ValueError):
    """A trajectory or topology that cannot be read as asked; the message names the file and frame."""


def _chemfiles() -> Any:
    return require("chemfiles", "trajectory")


def quiet_chemfiles() -> None:
    """Leave chemfiles' warnings unshown (the command line reports its errors itself)."""
    try:
        chemfiles = _chemfiles()
    except ImportError:  # then structure files only, read without it
        return
    warnings.filterwarnings("ignore", category=chemfiles.misc.ChemfilesWarning)


def topology_layout(topology: Any) -> Layout:
    """The residues of a chemfiles Topology, found by annotate's rules."""
    count = len(topology.atoms)
    names = [atom.name for atom in topology.atoms]
    alt_locs = [""] * count
    residue_names = [""] * count
    chain_ids = [""] * count
    seq_ids = [0] * count
    insertion_codes = [""] * count
    for residue in topology.residues:
        name = residue.name
        number = residue.id if residue.id is not None else 0
        chain = _text_property(residue, "chainid")
        insertion = _text_property(residue, "insertion_code")
        for index in residue.atoms:
            residue_names[index] = name
            chain_ids[index] = chain
            seq_ids[index] = number
            insertion_codes[index] = insertion
    for index, atom in enumerate(topology.atoms):
        if "altloc" in atom.list_properties():
            alt_locs[index] = str(atom["altloc"]).strip()
    return Layout(names, residue_names, chain_ids, seq_ids, insertion_codes, alt_locs)


def gro_layout(path: str, atoms: int) -> Layout:
    """The residues of a .gro file from its own atom lines: chemfiles makes one residue of every
    atom with a number, so that chains numbered alike would share their first chain's names."""
    names: list[str] = []
    residue_names: list[str] = []
    seq_ids: list[int] = []
    with _open_binary(path) as file:
        file.readline()
        file.readline()
        for _ in range(atoms):
            line = file.readline().decode("utf-8", "replace")
            try:
                seq_ids.append(int(line[0:5]))
            except ValueError:
                raise ValueError(f"atom line {len(names) + 1} has no residue number") from None
            residue_names.append(line[5:10].strip())
            names.append(line[10:15].strip())
    return Layout(names, residue_names, [""] * atoms, seq_ids, [""] * atoms, [""] * atoms)


def _open_binary(path: str) -> io.BufferedIOBase:
    suffix = os.path.splitext(path)[1].lower()
    if suffix == ".gz":
        return gzip.open(path, "rb")
    if suffix == ".bz2":
        return bz2.open(path, "rb")
    if suffix == ".xz":
        return lzma.open(path, "rb")
    return open(path, "rb")


def _is_gro(path: str) -> bool:
    name = path.lower()
    return any(name.endswith(".gro" + suffix) for suffix in ("", ".gz", ".bz2", ".xz"))


def _text_property(residue: Any, name: str) -> str:
    if name not in residue.list_properties():
        return ""
    return str(residue[name]).strip()


def _selected(path: str, total: int, start: int, stop: Optional[int], step: int) -> range:
    """The frames of ``total`` taken by start, stop and step; an error when none is."""
    if total == 0:
        raise TrajectoryError(f"{path}: the trajectory holds no frames")
    steps = range(start, min(total if stop is None else stop, total), step)
    if start >= total:
        raise TrajectoryError(f"{path}: start {start} is past the last of its {total} frames")
    if len(steps) == 0:
        raise TrajectoryError(f"{path}: start {start} and stop {stop} select no frame")
    return steps


def _structure_file(path: str) -> bool:
    """Whether our own readers read the file (a structure format, by its name)."""
    name = path.lower()
    if name.endswith(_formats.GZIP_SUFFIX):
        name = name[:-len(_formats.GZIP_SUFFIX)]
    return name.endswith(_formats.SUFFIXES)


def _model_frames(path: str, topology: Optional[PathLike], start: int, stop: Optional[int], step: int, sasa: bool,
                  ppii_stretch: int, threads: int, chunk_frames: int) -> Iterator[Frames]:
    """Every model of a structure file as read by ``annotate(models="all")``, one frame each."""
    if topology is not None:
        raise ValueError(f"{path} names its own atoms: a topology goes only with a trajectory of coordinates")
    annotation = annotate(path, models="all", sasa=sasa, ppii_stretch=ppii_stretch, threads=threads)
    structures = annotation.structures.columns
    total = len(structures["status"])
    failed = np.flatnonzero(structures["status"] != OK)
    if len(failed):
        row = failed[0]
        model = f"model {structures['model'][row]}: " if total > 1 else ""
        raise TrajectoryError(f"{path}: {model}{structures['error'][row] or 'no residue with N, CA, C and O'}")
    steps = _selected(path, total, start, stop, step)
    try:
        every = models_as_frames(annotation, frame=np.arange(total, dtype=np.int64))
    except ValueError as error:
        raise TrajectoryError(f"{path}: {error}") from None
    del annotation
    return _Counted(_model_chunks(every, steps, sasa, chunk_frames), len(steps))


def _model_chunks(every: Frames, steps: range, sasa: bool, chunk_frames: int) -> Iterator[Frames]:
    for begin in range(0, len(steps), chunk_frames):
        rows = steps[begin:begin + chunk_frames]
        taken = slice(rows.start, rows.stop, rows.step)
        yield Frames(every.codes[taken], every.codes_c3[taken], every.phi[taken], every.psi[taken],
                     every.accessibility[taken] if sasa and every.accessibility is not None else None,
                     every.time[taken], every.frame[taken], every.chain_id, every.seq_id, every.residue_name,
                     insertion_code=every.insertion_code)


class _Counted(Iterator[Frames]):
    """Chunks of frames that know how many frames they hold in all (for a progress bar)."""

    def __init__(self, chunks: Iterator[Frames], total: int) -> None:
        self.chunks = chunks
        self.total = total

    def __next__(self) -> Frames:
        return next(self.chunks)

    def close(self) -> None:
        close = getattr(self.chunks, "close", None)
        if close is not None:
            close()


class _Summarised:
    """The trajectory library's warnings of one step (opening the topology, reading a chunk), shown
    as one line naming the file and counting the rest, instead of a line each."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.catcher = warnings.catch_warnings(record=True)

    def __enter__(self) -> None:
        self.seen = self.catcher.__enter__()
        warnings.simplefilter("always", _chemfiles().misc.ChemfilesWarning)

    def __exit__(self, *exc: object) -> None:
        self.catcher.__exit__(None, None, None)
        category = _chemfiles().misc.ChemfilesWarning
        messages = [str(seen.message) for seen in self.seen if issubclass(seen.category, category)]
        for seen in self.seen:
            if not issubclass(seen.category, category):
                warnings.warn_explicit(seen.message, seen.category, seen.filename, seen.lineno)
        if messages:
            more = f" (and {len(messages) - 1:,} more warnings)" if len(messages) > 1 else ""
            warnings.warn(f"{self.name}: {messages[0]}{more}", category, stacklevel=3)


class _Source:
    """An open trajectory, its layout and the frames selected."""

    def __init__(self, path: PathLike, topology: Optional[PathLike], start: int, stop: Optional[int],
                 step: int) -> None:
        chemfiles = _chemfiles()
        self.path = os.fspath(path)
        try:
            with warnings.catch_warnings(record=True) as seen:
                warnings.simplefilter("always", chemfiles.misc.ChemfilesWarning)
                self.trajectory = chemfiles.Trajectory(self.path)
                total = self.trajectory.nsteps
        except chemfiles.ChemfilesError as error:
            raise TrajectoryError(f"{self.path}: {error}") from None
        try:
            self._check_whole(total, [str(w.message) for w in seen
                                      if issubclass(w.category, chemfiles.misc.ChemfilesWarning)])
            if topology is not None:
                try:
                    with _Summarised(os.fspath(topology)):
                        self.trajectory.set_topology(os.fspath(topology))
                except chemfiles.ChemfilesError as error:
                    raise TrajectoryError(f"{os.fspath(topology)}: {error}") from None
            self._select(topology, start, stop, step, total)
        except BaseException:
            self.trajectory.close()
            raise

    def _check_whole(self, total: int, warned: list[str]) -> None:
        """A file cut inside a frame, damaged between frames, or holding fewer frames than its
        header says is an error, not a shorter trajectory."""
        if not self.path.lower().endswith(_COUNTED_SUFFIXES):
            for message in warned:
                warnings.warn(message, _chemfiles().misc.ChemfilesWarning, stacklevel=4)
            return
        if warned:
            raise TrajectoryError(f"{self.path}: {warned[0]}")
        try:
            walked = walked_frames(self.path)
        except Damaged as damage:
            raise TrajectoryError(f"{self.path}: {damage}") from None
        except OSError as error:
            raise TrajectoryError(f"{self.path}: {error.strerror or error}") from None
        if walked is not None and walked != total:
            raise TrajectoryError(f"{self.path}: the file holds {walked} frames, of which {total} could be read")

    def _select(self, topology: Optional[PathLike], start: int, stop: Optional[int], step: int, total: int) -> None:
        self.steps = _selected(self.path, total, start, stop, step)
        with _Summarised(self.path):
            first = self._read(self.steps[0])
        self.has_time = "time" in first.list_properties()
        topology_path = self.path if topology is None else os.fspath(topology)
        try:
            if _is_gro(topology_path):
                self.layout = gro_layout(topology_path, len(first.topology.atoms))
            else:
                self.layout = topology_layout(first.topology)
        except ValueError as error:
            if topology is not None:
                raise TrajectoryError(f"{os.fspath(topology)}: {error}") from None
            raise TrajectoryError(f"{self.path}: {error}; if the file names no atoms, give a topology "
                                  "(a PDB file of the system, say)") from None

    def _read(self, step: int) -> Any:
        try:
            return self.trajectory.read_step(step)
        except _chemfiles().ChemfilesError as error:
            raise TrajectoryError(f"{self.path}: frame {step}: {error}") from None

    def chunks(self, chunk_frames: int) -> Iterator[tuple[np.ndarray, np.ndarray, range]]:
        """(positions (n, used atoms, 3) float32, time, frame numbers) of at most chunk_frames frames."""
        used = self.layout.used
        for begin in range(0, len(self.steps), chunk_frames):
            steps = self.steps[begin:begin + chunk_frames]
            positions = np.empty((len(steps), len(used), 3), dtype=np.float32)
            times = np.full(len(steps), np.nan)
            with _Summarised(self.path):
                self._read_into(steps, positions, times)
            yield positions, times, steps

    def _read_into(self, steps: range, positions: np.ndarray, times: np.ndarray) -> None:
        used = self.layout.used
        every_atom = len(used) == self.layout.atoms  # then used is every atom in order: no gathering
        for k, step in enumerate(steps):
            frame = self._read(step)
            read = frame.positions
            if read.shape[0] != self.layout.atoms:
                raise TrajectoryError(f"{self.path}: frame {step} has {read.shape[0]} atoms, "
                                      f"the topology {self.layout.atoms}")
            positions[k] = read if every_atom else read[used]
            if self.has_time:
                times[k] = float(frame["time"])

    def close(self) -> None:
        self.trajectory.close()


def iter_trajectory(path: PathLike, topology: Optional[PathLike] = None, *, start: int = 0,
                    stop: Optional[int] = None, step: int = 1, sasa: bool = False, ppii_stretch: int = 3,
                    threads: int = 0, chunk_frames: int = CHUNK_FRAMES) -> Iterator[Frames]:
    """``trajectory``, chunk by chunk: a ``Frames`` of at most ``chunk_frames`` frames at a time, so
    that memory stays flat however long the trajectory is."""
    sasa, ppii_stretch, threads = _checks.computation(sasa, ppii_stretch, threads)
    chunk_frames = _checks.chunk_frames(chunk_frames)
    start, stop, step = _checks.frame_range(start, stop, step)
    if _structure_file(os.fspath(path)):
        return _model_frames(os.fspath(path), topology, start, stop, step, sasa, ppii_stretch, threads, chunk_frames)
    source = _Source(path, topology, start, stop, step)
    return _Counted(_frames_of(source, chunk_frames, sasa, ppii_stretch, threads), len(source.steps))


def _frames_of(source: _Source, chunk_frames: int, sasa: bool, ppii_stretch: int, threads: int) -> Iterator[Frames]:
    try:
        for positions, times, steps in source.chunks(chunk_frames):
            try:
                yield source.layout.compute(positions, steps.start, sasa, ppii_stretch, threads, times, steps.step)
            except ValueError as error:  # a frame that is not finite, numbered as in the file
                raise TrajectoryError(f"{source.path}: {error}") from None
    finally:
        source.close()


def trajectory(path: PathLike, topology: Optional[PathLike] = None, *, start: int = 0, stop: Optional[int] = None,
               step: int = 1, sasa: bool = False, ppii_stretch: int = 3, threads: int = 0) -> Frames:
    """Secondary structure of every selected frame of a trajectory file: every model of a PDB, mmCIF
    or BinaryCIF file (optionally .gz), read by our own readers, frame k being model k of
    ``annotate(path, models="all")`` to the bit; the other formats through chemfiles (XTC, TRR,
    DCD, NetCDF, TNG, GRO, ...).

    topology: a file giving the atoms' names and residues (a PDB file, say) when the trajectory has
        none; by default the trajectory's own. A structure file names its own atoms and takes none.
    start, stop, step: the frames taken, as ``range(start, stop, step)`` (stop None: to the end);
        each at most 10**12, step at least 1.
    sasa, ppii_stretch, threads: as for ``frames``.

    The topology's residues are found as ``annotate`` finds them in a file (N, CA, C, O, the
    amide hydrogen, the other heavy atoms for accessibility; residues lacking a backbone atom left
    out; residues and chains as the file gives them), so frame t equals ``annotate`` on that frame
    written as a PDB file. Needs the ``trajectory`` extra (chemfiles) for the formats it reads.
    Raises TrajectoryError naming the file and frame for a trajectory that cannot be read as asked,
    and for a file cut or damaged inside a frame or holding fewer frames than its header says.
    """
    parts = list(iter_trajectory(path, topology, start=start, stop=stop, step=step, sasa=sasa,
                                 ppii_stretch=ppii_stretch, threads=threads))
    return Frames.concat(parts)
