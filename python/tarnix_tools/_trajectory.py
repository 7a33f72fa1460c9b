"""trajectory: secondary structure of every frame of a trajectory file, read through chemfiles."""

from __future__ import annotations

import bz2
import gzip
import io
import lzma
import os
from collections.abc import Iterator
from typing import Any, Optional, Union

import numpy as np

from tarnix_tools._annotate import _non_negative
from tarnix_tools._extras import require
from tarnix_tools._frames import Frames, Layout, _check

PathLike = Union[str, "os.PathLike[str]"]
CHUNK_FRAMES = 256


class TrajectoryError(ValueError):
    """A trajectory or topology that cannot be read as asked; the message names the file and frame."""


def _chemfiles() -> Any:
    return require("chemfiles", "trajectory")


def quiet_chemfiles() -> None:
    """Leave chemfiles' warnings unshown (the command line reports its errors itself)."""
    import warnings

    warnings.filterwarnings("ignore", category=_chemfiles().misc.ChemfilesWarning)


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


class _Source:
    """An open trajectory, its layout and the frames selected."""

    def __init__(self, path: PathLike, topology: Optional[PathLike], start: int, stop: Optional[int],
                 step: int) -> None:
        chemfiles = _chemfiles()
        self.path = os.fspath(path)
        start = _non_negative("start", start)
        step = _non_negative("step", step)
        if step == 0:
            raise ValueError("step must be a positive number of frames, got 0")
        if stop is not None:
            stop = _non_negative("stop", stop)
            if start > stop:
                raise ValueError(f"start ({start}) is after stop ({stop})")
        try:
            self.trajectory = chemfiles.Trajectory(self.path)
            if topology is not None:
                self.trajectory.set_topology(os.fspath(topology))
            total = self.trajectory.nsteps
        except chemfiles.ChemfilesError as error:
            raise TrajectoryError(f"{self.path}: {error}") from None
        try:
            self._select(topology, start, stop, step, total)
        except BaseException:
            self.trajectory.close()
            raise

    def _select(self, topology: Optional[PathLike], start: int, stop: Optional[int], step: int, total: int) -> None:
        if total == 0:
            raise TrajectoryError(f"{self.path}: the trajectory holds no frames")
        self.steps = range(start, min(total if stop is None else stop, total), step)
        if start >= total:
            raise TrajectoryError(f"{self.path}: start {start} is past the last of its {total} frames")
        if len(self.steps) == 0:
            raise TrajectoryError(f"{self.path}: start {start} and stop {stop} select no frame")
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
        every_atom = len(used) == self.layout.atoms  # then used is every atom in order: no gathering
        for begin in range(0, len(self.steps), chunk_frames):
            steps = self.steps[begin:begin + chunk_frames]
            positions = np.empty((len(steps), len(used), 3), dtype=np.float32)
            times = np.full(len(steps), np.nan)
            for k, step in enumerate(steps):
                frame = self._read(step)
                read = frame.positions
                if read.shape[0] != self.layout.atoms:
                    raise TrajectoryError(f"{self.path}: frame {step} has {read.shape[0]} atoms, "
                                          f"the topology {self.layout.atoms}")
                positions[k] = read if every_atom else read[used]
                if self.has_time:
                    times[k] = float(frame["time"])
            yield positions, times, steps

    def close(self) -> None:
        self.trajectory.close()


def iter_trajectory(path: PathLike, topology: Optional[PathLike] = None, *, start: int = 0,
                    stop: Optional[int] = None, step: int = 1, sasa: bool = False, ppii_stretch: int = 3,
                    threads: int = 0, chunk_frames: int = CHUNK_FRAMES) -> Iterator[Frames]:
    """``trajectory``, chunk by chunk: a ``Frames`` of at most ``chunk_frames`` frames at a time, so
    that memory stays flat however long the trajectory is."""
    sasa, ppii_stretch, threads = _check(sasa, ppii_stretch, threads)
    chunk_frames = _non_negative("chunk_frames", chunk_frames)
    if chunk_frames == 0:
        raise ValueError("chunk_frames must be positive")
    source = _Source(path, topology, start, stop, step)
    return _frames_of(source, chunk_frames, sasa, ppii_stretch, threads)


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
    """Secondary structure of every selected frame of a trajectory file (read with chemfiles: XTC, TRR,
    DCD, NetCDF, TNG, GRO, multi-model PDB and mmCIF, ...).

    topology: a file giving the atoms' names and residues (a PDB file, say) when the trajectory has
        none; by default the trajectory's own.
    start, stop, step: the frames taken, as ``range(start, stop, step)`` (stop None: to the end).
    sasa, ppii_stretch, threads: as for ``frames``.

    The topology's residues are found as ``annotate`` finds them in a file (N, CA, C, O, the
    amide hydrogen, the other heavy atoms for accessibility; residues lacking a backbone atom left
    out; residues and chains as the file gives them), so frame t equals ``annotate`` on that frame
    written as a PDB file. Needs the ``trajectory`` extra (chemfiles). Raises TrajectoryError naming the file and frame for a
    trajectory that cannot be read as asked.
    """
    parts = list(iter_trajectory(path, topology, start=start, stop=stop, step=step, sasa=sasa,
                                 ppii_stretch=ppii_stretch, threads=threads))
    return Frames.concat(parts)
