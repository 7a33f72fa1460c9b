"""frames: the secondary structure of every frame of a trajectory or ensemble given as coordinates."""

from __future__ import annotations

import itertools
from collections.abc import Iterable, Iterator, Sequence
from typing import Any, Optional, Union

import numpy as np

from tarnix_tools import _checks, _native
from tarnix_tools._columns import FRAMES_RESIDUE_COLUMNS
from tarnix_tools.table import Table

# The eight-state codes, blank last; ``Frames.summary`` has a column per code under these names.
CODES = (b"H", b"B", b"E", b"G", b"I", b"P", b"T", b"S", b" ")
CODE_COLUMNS = ("H", "B", "E", "G", "I", "P", "T", "S", "blank")
BACKBONE = ("N", "CA", "C", "O")
# Frames read and computed at a time when coordinates come as a stream.
CHUNK_FRAMES = 256


class Frames:
    """Per-frame, per-residue results of many frames of one set of residues.

    ``codes`` and ``codes_c3``: (T, L) one-byte codes (dtype S1); ``phi``, ``psi``: (T, L) float32,
    NaN where undefined; ``accessibility``: (T, L) float32, or None when not computed; ``time``:
    (T,) float64 in ps (NaN when the input carries none); ``frame``: (T,) int64, each frame's
    number in the input; ``chain_id``, ``seq_id``, ``residue_name``, ``insertion_code``: (L,) the
    residues.
    """

    __slots__ = ("codes", "codes_c3", "phi", "psi", "accessibility", "time", "frame", "chain_id", "seq_id",
                 "residue_name", "insertion_code")

    def __init__(self, codes: np.ndarray, codes_c3: np.ndarray, phi: np.ndarray, psi: np.ndarray,
                 accessibility: Optional[np.ndarray], time: np.ndarray, frame: np.ndarray, chain_id: np.ndarray,
                 seq_id: np.ndarray, residue_name: np.ndarray, *, insertion_code: np.ndarray) -> None:
        self.codes = codes
        self.codes_c3 = codes_c3
        self.phi = phi
        self.psi = psi
        self.accessibility = accessibility
        self.time = time
        self.frame = frame
        self.chain_id = chain_id
        self.seq_id = seq_id
        self.residue_name = residue_name
        self.insertion_code = insertion_code

    def __len__(self) -> int:
        return int(self.codes.shape[0])

    def __repr__(self) -> str:
        return f"Frames(frames={self.codes.shape[0]}, residues={self.codes.shape[1]})"

    @property
    def helix_fraction(self) -> np.ndarray:
        """(T,) the share of residues in H, G or I, per frame."""
        return _share(self.codes_c3 == b"H", axis=1)

    @property
    def strand_fraction(self) -> np.ndarray:
        """(T,) the share of residues in E or B, per frame."""
        return _share(self.codes_c3 == b"E", axis=1)

    def summary(self) -> Table:
        """A row per residue: ``chain_id``, ``seq_id``, ``residue_name``, then for each code the share of
        frames in which the residue has it (columns H, B, E, G, I, P, T, S, blank), and ``helix`` and
        ``strand``, the three-state shares."""
        columns: dict[str, np.ndarray] = {"chain_id": self.chain_id, "seq_id": self.seq_id,
                                          "residue_name": self.residue_name}
        for code, name in zip(CODES, CODE_COLUMNS):
            columns[name] = _share(self.codes == code, axis=0)
        columns["helix"] = _share(self.codes_c3 == b"H", axis=0)
        columns["strand"] = _share(self.codes_c3 == b"E", axis=0)
        return Table(columns)

    def per_frame(self) -> Table:
        """A row per frame: ``frame``, ``time``, ``codes`` (the eight-state string), ``helix_fraction``,
        ``strand_fraction``."""
        length = self.codes.shape[1]
        strings = np.ascontiguousarray(self.codes).view(f"S{max(length, 1)}").reshape(-1) if length else \
            np.full(len(self), b"", dtype="S1")
        return Table({"frame": self.frame, "time": self.time, "codes": strings.astype(f"U{max(length, 1)}"),
                      "helix_fraction": self.helix_fraction, "strand_fraction": self.strand_fraction})

    @property
    def rsa(self) -> np.ndarray:
        """(T, L) float32 relative accessibility, as annotate's ``rsa``: NaN where accessibility was
        not computed or the residue type has no maximum."""
        if self.accessibility is None:
            return np.full(self.codes.shape, np.nan, dtype=np.float32)
        maximum = np.frombuffer(_native.max_accessibilities(self.residue_name.tolist()), dtype="<f4")
        return np.asarray(self.accessibility / maximum, dtype=np.float32)

    def per_residue(self) -> Table:
        """The long table: a row per frame and residue, the columns of _columns.FRAMES_RESIDUE_COLUMNS
        (``accessibility`` only when computed)."""
        count, length = self.codes.shape
        columns: dict[str, Optional[np.ndarray]] = {
            "frame": np.repeat(self.frame, length), "time": np.repeat(self.time, length),
            "chain_id": np.tile(self.chain_id, count), "seq_id": np.tile(self.seq_id, count),
            "insertion_code": np.tile(self.insertion_code, count),
            "residue_name": np.tile(self.residue_name, count),
            "structure": self.codes.reshape(-1).astype("U1"),
            "phi": self.phi.reshape(-1), "psi": self.psi.reshape(-1),
            "accessibility": None if self.accessibility is None else self.accessibility.reshape(-1),
            "rsa": self.rsa.reshape(-1)}
        return Table({name: column for name in FRAMES_RESIDUE_COLUMNS if (column := columns[name]) is not None})

    @classmethod
    def concat(cls, parts: Sequence[Frames]) -> Frames:
        """The frames of several results over the same residues, one after another."""
        if not parts:
            raise ValueError("concat needs at least one Frames")
        first = parts[0]
        if len(parts) == 1:
            return first
        accessibility = None if first.accessibility is None else np.concatenate([p.accessibility for p in parts
                                                                                 if p.accessibility is not None])
        return cls(np.concatenate([p.codes for p in parts]), np.concatenate([p.codes_c3 for p in parts]),
                   np.concatenate([p.phi for p in parts]), np.concatenate([p.psi for p in parts]), accessibility,
                   np.concatenate([p.time for p in parts]), np.concatenate([p.frame for p in parts]), first.chain_id,
                   first.seq_id, first.residue_name, insertion_code=first.insertion_code)


def models_as_frames(annotation: Any, frame: Optional[np.ndarray] = None) -> Frames:
    """The models of an ``annotate(..., models="all")`` of one file as frames, one per model read;
    the models must hold the same residues. ``frame``: each model row's frame number (default:
    its model number). Memory is linear in models x residues."""
    structures, residues = annotation.structures.columns, annotation.residues.columns
    ok = np.flatnonzero(structures["status"] == "ok")
    if len(ok) == 0:
        raise ValueError("no model could be read")
    # Residue rows come in model order: each model's rows are one run of its `input` value.
    begins = np.searchsorted(residues["input"], ok, "left")
    lengths = np.searchsorted(residues["input"], ok, "right") - begins
    first = slice(int(begins[0]), int(begins[0] + lengths[0]))
    for row, begin, length in zip(ok, begins, lengths):
        mine = slice(int(begin), int(begin + length))
        if length != lengths[0] or any(not np.array_equal(residues[name][mine], residues[name][first])
                                       for name in ("chain_id", "seq_id", "insertion_code", "residue_name")):
            raise ValueError(f"model {structures['model'][row]} does not hold the residues of model "
                             f"{structures['model'][ok[0]]}")
    index = begins[:, None] + np.arange(lengths[0])[None, :]

    def stacked(name: str, dtype: str) -> np.ndarray:
        return np.asarray(residues[name][index], dtype=dtype)

    numbers = structures["model"] if frame is None else frame
    return Frames(stacked("structure", "S1"), stacked("structure_c3", "S1"), stacked("phi", "<f4"),
                  stacked("psi", "<f4"), stacked("accessibility", "<f4"), np.full(len(ok), np.nan),
                  np.asarray(numbers)[ok].astype(np.int64), residues["chain_id"][first],
                  residues["seq_id"][first], residues["residue_name"][first],
                  insertion_code=residues["insertion_code"][first])


def _share(mask: np.ndarray, axis: int) -> np.ndarray:
    if mask.shape[axis] == 0:
        return np.full(mask.shape[1 - axis], np.nan)
    return np.asarray(mask.mean(axis=axis, dtype=np.float64))


def _text_array(values: Sequence[str]) -> np.ndarray:
    width = max((len(v) for v in values), default=1) or 1
    return np.array(values, dtype=f"<U{width}")


class Layout:
    """A topology's residues as the PDB reader finds them, ready for frames of its atoms."""

    __slots__ = ("handle", "atoms", "used", "chain_id", "seq_id", "residue_name", "insertion_code")

    def __init__(self, atom_names: Sequence[str], residue_names: Sequence[str], chain_ids: Sequence[str],
                 seq_ids: Sequence[int], insertion_codes: Sequence[str], alt_locs: Sequence[str]) -> None:
        self.handle, used, (chains, numbers, names, insertions) = _native.layout(atom_names, residue_names, chain_ids, seq_ids,
                                                                     insertion_codes, alt_locs)
        self.atoms = len(atom_names)
        # The topology's atoms the residues use, in order: a frame's positions are taken at these.
        self.used = np.frombuffer(used, dtype=np.uint32).astype(np.intp)
        self.chain_id = _text_array(chains)
        self.seq_id = np.array(numbers, dtype=np.int32)
        self.residue_name = _text_array(names)
        self.insertion_code = _text_array(insertions)

    def compute(self, positions: np.ndarray, first_frame: int, sasa: bool, ppii_stretch: int, threads: int,
                time: Optional[np.ndarray] = None, frame_step: int = 1) -> Frames:
        """Frames of ``positions``, float32 (n, used atoms, 3), numbered ``first_frame`` on by
        ``frame_step``."""
        count = positions.shape[0]
        codes, codes_c3, phi, psi, accessibility = _native.frames(
            self.handle, np.ascontiguousarray(positions, dtype=np.float32), count, first_frame, frame_step, sasa,
            ppii_stretch, threads)
        shape = (count, len(self.seq_id))

        def array(data: bytes, dtype: str) -> np.ndarray:
            return np.frombuffer(data, dtype=dtype).reshape(shape)

        return Frames(array(codes, "S1"), array(codes_c3, "S1"), array(phi, "<f4"), array(psi, "<f4"),
                      None if accessibility is None else array(accessibility, "<f4"),
                      np.full(count, np.nan) if time is None else time,
                      np.arange(count, dtype=np.int64) * frame_step + first_frame,
                      self.chain_id, self.seq_id, self.residue_name, insertion_code=self.insertion_code)


def backbone_layout(length: int, residue_names: Optional[Sequence[str]], chain_ids: Optional[Sequence[str]]) -> Layout:
    """The layout of (L, 4, 3) arrays: residue i is atoms 4i..4i+3 (N, CA, C, O), numbered i + 1;
    by default every residue an alanine of chain A, as ``tarnix.assign_from_coords`` takes them."""
    names = _residue_texts("residue_names", residue_names, length, "ALA")
    chains = _residue_texts("chain_ids", chain_ids, length, "A")
    return Layout(BACKBONE * length, [n for n in names for _ in BACKBONE], [c for c in chains for _ in BACKBONE],
                  [i + 1 for i in range(length) for _ in BACKBONE], [""] * (4 * length), [""] * (4 * length))


def _residue_texts(name: str, values: Optional[Sequence[str]], length: int, default: str) -> list[str]:
    if values is None:
        return [default] * length
    texts = [str(v) for v in np.asarray(values).reshape(-1).tolist()]
    if len(texts) != length:
        raise ValueError(f"{name} has {len(texts)} entries for {length} residues")
    return texts


def _check_real(array: np.ndarray, what: str) -> None:
    if not np.issubdtype(array.dtype, np.floating) and not np.issubdtype(array.dtype, np.integer):
        raise TypeError(f"{what} holds {array.dtype}, not real numbers")


def _frame_array(frame: Any, index: int, length: Optional[int]) -> np.ndarray:
    array = np.asarray(frame)
    if array.ndim != 3 or array.shape[1:] != (4, 3):
        raise ValueError(f"frame {index} has shape {array.shape}; each frame must be (L, 4, 3): N, CA, C, O")
    if length is not None and array.shape[0] != length:
        raise ValueError(f"frame {index} has {array.shape[0]} residues, the frames before it {length}")
    _check_real(array, f"frame {index}")
    return array


def _chunks_of(frames: Iterable[Any]) -> Iterator[np.ndarray]:
    """(n, L, 4, 3) float32 blocks of at most CHUNK_FRAMES frames from an iterable of (L, 4, 3) frames."""
    iterator = iter(frames)
    index = 0
    length: Optional[int] = None
    while True:
        block = list(itertools.islice(iterator, CHUNK_FRAMES))
        if not block:
            return
        arrays = []
        for frame in block:
            array = _frame_array(frame, index, length)
            length = array.shape[0]
            arrays.append(array)
            index += 1
        yield np.stack(arrays).astype(np.float32, copy=False)


def frames(coords: Union[np.ndarray, Iterable[Any]], *, residue_names: Optional[Sequence[str]] = None,
           chain_ids: Optional[Sequence[str]] = None, sasa: bool = False, ppii_stretch: int = 3,
           threads: int = 0) -> Frames:
    """Secondary structure of every frame of backbone coordinates, on worker threads.

    coords: a (T, L, 4, 3) array of N, CA, C, O positions in Angstrom (float32; other real dtypes
        are converted to float32 first), or an iterable of (L, 4, 3) arrays, read a chunk of frames
        at a time so that memory does not grow with the input beyond the results.
    residue_names: L three-letter names (so that prolines are prolines); default alanine.
    chain_ids: L chain ids; a change of id between neighbours starts a chain. Default "A".
    sasa: whether to compute each residue's accessibility (of the four atoms given).
    ppii_stretch: minimum length of a polyproline-II stretch.
    threads: worker threads, 0 (the processors available to the process) to 256.

    Frame t holds what ``tarnix.assign_from_coords(coords[t])`` gives (with names and ids, what
    ``tarnix.assign`` gives for a PDB file of that frame's atoms), to the bit.
    """
    sasa, ppii_stretch, threads = _checks.computation(sasa, ppii_stretch, threads)
    if isinstance(coords, np.ndarray):
        if coords.ndim != 4 or coords.shape[2:] != (4, 3):
            raise ValueError(f"coords has shape {coords.shape}; it must be (T, L, 4, 3): N, CA, C, O per residue")
        _check_real(coords, "coords")
        blocks: Iterator[np.ndarray] = (coords[start:start + CHUNK_FRAMES].astype(np.float32, copy=False)
                                        for start in range(0, coords.shape[0], CHUNK_FRAMES))
    else:
        blocks = _chunks_of(coords)
    parts: list[Frames] = []
    layout: Optional[Layout] = None
    done = 0
    for block in blocks:
        if layout is None:
            layout = backbone_layout(block.shape[1], residue_names, chain_ids)
        parts.append(layout.compute(block.reshape(block.shape[0], -1, 3), done, sasa, ppii_stretch, threads))
        done += block.shape[0]
    if layout is None:
        raise ValueError("no frames were given")
    return Frames.concat(parts)
