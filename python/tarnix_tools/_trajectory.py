"""trajectory: secondary structure of every frame of a trajectory file, read through chemfiles."""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any, Optional, Union

import numpy as np

from tarnix_tools import _checks
from tarnix_tools._extras import require
from tarnix_tools._frames import CHUNK_FRAMES, Frames, Layout

PathLike = Union[str, "os.PathLike[str]"]


class TrajectoryError(ValueError):
    """A trajectory or topology that cannot be read as asked; the message names the file and frame."""


def _chemfiles() -> Any:
    return require("chemfiles", "trajectory")


def quiet_chemfiles() -> None:
    """Leave chemfiles' warnings unshown (the command line reports its errors itself)."""
    import warnings

    warnings.filterwarnings("ignore", category=_chemfiles().misc.ChemfilesWarning)


def topology_layout(topology: Any) -> Layout:
    """The residues of a chemfiles Topology, found by the PDB reader's rules."""
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
        try:
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
    sasa, ppii_stretch, threads = _checks.computation(sasa, ppii_stretch, threads)
    chunk_frames = _checks.chunk_frames(chunk_frames)
    start, stop, step = _checks.frame_range(start, stop, step)
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
    start, stop, step: the frames taken, as ``range(start, stop, step)`` (stop None: to the end);
        each at most 10**12, step at least 1.
    sasa, ppii_stretch, threads: as for ``frames``.

    The topology's residues are found as the PDB reader finds them in a file (N, CA, C, O, the
    amide hydrogen, the other heavy atoms for accessibility; residues lacking a backbone atom left
    out), so frame t equals ``tarnix.assign`` on that frame written as a PDB file. Needs the
    ``trajectory`` extra (chemfiles). Raises TrajectoryError naming the file and frame for a
    trajectory that cannot be read as asked.
    """
    parts = list(iter_trajectory(path, topology, start=start, stop=stop, step=step, sasa=sasa,
                                 ppii_stretch=ppii_stretch, threads=threads))
    return Frames.concat(parts)
