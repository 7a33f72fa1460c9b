"""annotate: many structures on worker threads, results as columns."""

from __future__ import annotations

import collections
import itertools
import os
from collections.abc import Callable, Iterator
from typing import Any, Optional, Union

import numpy as np

from tarnix_tools import _checks, _columns, _formats, _native, _provenance
from tarnix_tools._inputs import Item, is_tar_name, iter_items
from tarnix_tools._progress import ProgressBar
from tarnix_tools.table import Table

DEFAULT_MAX_BYTES = 2**31
# A chunk also ends once its in-memory inputs reach this many bytes.
CHUNK_MEMORY = 256 * 2**20

# The values of the `status` column: read; read but holding no amino-acid residue with N, CA, C
# and O (a nucleic acid, ligands, a CA trace); not read.
OK, NO_PROTEIN, ERROR = "ok", "no_protein", "error"

Progress = Union[bool, Callable[[int, Optional[int]], Any]]


class Annotation:
    """The results of one run: ``residues`` (a row per residue) and ``structures`` (a row per input)."""

    __slots__ = ("residues", "structures")

    def __init__(self, residues: Table, structures: Table) -> None:
        self.residues = residues
        self.structures = structures

    def __repr__(self) -> str:
        return f"Annotation(structures={len(self.structures)}, residues={len(self.residues)})"

    @classmethod
    def empty(cls) -> Annotation:
        """An annotation of no input: both tables with their columns and no row."""
        return cls(_columns.empty(_columns.RESIDUE_COLUMNS), _columns.empty(_columns.STRUCTURE_COLUMNS))


def _every_model(models: object) -> bool:
    if models not in ("first", "all"):
        raise ValueError(f"models must be 'first' or 'all', got {models!r}")
    return models == "all"


def _check_options(threads: object, sasa: object, ppii_stretch: object, format: object,
                   max_bytes: object) -> tuple[int, bool, int, Optional[str], int]:
    sasa, ppii_stretch, threads = _checks.computation(sasa, ppii_stretch, threads)
    _formats.check(format)
    limit = _checks.whole("max_bytes", max_bytes)
    return threads, sasa, ppii_stretch, format, min(limit, 2**64 - 1)  # type: ignore[return-value, unused-ignore]


def _structures_table(names: list[str], columns: dict[str, tuple[str, int, bytes]], sasa: bool) -> Table:
    found = _columns.from_engine(columns)
    counts = found["residue_count"]
    with np.errstate(invalid="ignore", divide="ignore"):
        helix = found["helix_residues"] / counts
        strand = found["strand_residues"] / counts
    failed = found["error"] != ""
    total = found["accessibility_total"].copy()
    if not sasa:
        total[:] = np.nan
    total[failed] = np.nan
    return _columns.table(_columns.STRUCTURE_COLUMNS, {
        "name": [names[source] for source in found["source"].tolist()],
        "model": found["model"],
        "status": np.where(found["no_protein"], NO_PROTEIN, np.where(failed, ERROR, OK)),
        "error": found["error"],
        "residue_count": counts,
        "chain_count": found["chain_count"],
        "helix_fraction": helix,
        "strand_fraction": strand,
        "accessibility_total": total,
        "seconds": found["seconds"],
    })


Reporter = Callable[[int, int, int], Any]  # (inputs done, inputs known so far, residues done)


def _known_count(inputs: object) -> int | None:
    """How many inputs a collection is, when each of them is one structure (no folder, no archive)."""
    if not isinstance(inputs, (list, tuple)) or (isinstance(inputs, tuple) and len(inputs) == 2
                                                 and isinstance(inputs[1], (bytes, bytearray, memoryview))):
        return None
    for value in inputs:
        if isinstance(value, (str, bytes, os.PathLike)):
            path = os.fsencode(value)
            if os.path.isdir(path) or is_tar_name(path):
                return None
    return len(inputs)


def _progress_reporter(progress: Progress, inputs: object) -> tuple[Optional[Reporter], Optional[ProgressBar]]:
    """The function a run reports to, and the bar the run opened (to close when it ends)."""
    if isinstance(progress, ProgressBar):  # the caller's own bar: the caller closes it
        return progress, None
    if progress is True:
        bar = ProgressBar(total=_known_count(inputs))
        return bar, bar
    if progress is False or progress is None:
        return None, None
    if callable(progress):
        callback = progress
        return (lambda done, total, residues: callback(done, total)), None
    raise TypeError(f"progress must be a bool or a callable, not {type(progress).__name__}")


def iter_annotate(inputs: object, *, threads: int = 0, sasa: bool = True, ppii_stretch: int = 3,
                  format: Optional[str] = None, max_bytes: int = DEFAULT_MAX_BYTES, chunk_size: int = 256,
                  progress: Progress = False, models: str = "first") -> Iterator[Annotation]:
    """Annotate inputs chunk by chunk: one ``Annotation`` per chunk of inputs, in input order.

    Takes the same arguments as ``annotate``; ``chunk_size`` is the most inputs in one chunk. The
    residues' ``input`` column counts structures from the start of the whole run, so the chunks
    concatenate into what ``annotate`` returns.
    """
    threads, sasa, ppii_stretch, format, max_bytes = _check_options(threads, sasa, ppii_stretch, format, max_bytes)
    every_model = _every_model(models)
    chunk_size = max(1, _checks.whole("chunk_size", chunk_size))
    report, bar = _progress_reporter(progress, inputs)
    items = iter_items(inputs, max_bytes)
    first = next(items, None)  # argument errors surface here, before any work
    provenance = _provenance.of_annotation(sasa, ppii_stretch, models, max_bytes)
    return _run_chunks(itertools.chain([first], items) if first else iter(()), threads, sasa, ppii_stretch,
                       format, max_bytes, chunk_size, report, bar, every_model, provenance)


def _window(threads: int, chunk_size: int) -> int:
    """The most inputs added to a run and not yet done: enough that a worker finds the next input
    read, whatever the sizes of the ones before it, and that the workers stay busy while the caller
    turns a chunk into tables and writes it (their bytes stay bounded by CHUNK_MEMORY)."""
    return 16 * (threads or os.cpu_count() or 1) + 16 + min(2 * chunk_size, 1024)


def _run_chunks(items: Iterator[Item], threads: int, sasa: bool, ppii_stretch: int, format: Optional[str],
                max_bytes: int, chunk_size: int, report: Optional[Reporter],
                bar: Optional[ProgressBar], every_model: bool, provenance: dict[str, str]) -> Iterator[Annotation]:
    """Feeds the inputs to one run as they are read, and takes its results chunk by chunk: a chunk
    ends after `chunk_size` inputs or once its in-memory inputs reach CHUNK_MEMORY bytes."""
    added = 0

    def on_progress(done: int, made: int) -> None:
        if report is not None:
            report(done, added, made)

    run = _native.Run(threads, sasa, ppii_stretch, format, max_bytes, on_progress if report else None,
                      every_model, _window(threads, chunk_size), CHUNK_MEMORY)
    pending: collections.deque[list[str]] = collections.deque()  # the chunks not yet taken, by name
    chunk: list[str] = []
    memory = 0

    def take(names: list[str]) -> Annotation:
        found, columns = run.take(len(names))
        structures = _structures_table(names, found, sasa)
        structures.provenance = provenance
        return Annotation(Table(_columns.from_engine(columns), provenance), structures)

    try:
        for item in items:
            run.add(item.native())
            added += 1
            chunk.append(item.name)
            memory += item.size
            del item  # the run holds its bytes until it is done with them
            if len(chunk) >= chunk_size or memory >= CHUNK_MEMORY:
                pending.append(chunk)
                chunk, memory = [], 0
            while pending and run.ready() >= len(pending[0]):
                yield take(pending.popleft())
        if chunk:
            pending.append(chunk)
        run.close()
        while pending:
            yield take(pending.popleft())
    finally:
        run.cancel()
        if bar is not None:
            bar.close()


def annotate(inputs: object, *, threads: int = 0, sasa: bool = True, ppii_stretch: int = 3,
             format: Optional[str] = None, progress: Progress = False,
             max_bytes: int = DEFAULT_MAX_BYTES, models: str = "first") -> Annotation:
    """Secondary structure and accessibility of many structures, as two tables.

    inputs: a path (str, bytes, os.PathLike) to a structure file (plain or gzip), a directory
        (walked recursively in sorted order for the formats' suffixes, ``.pdb``, ``.cif`` and so
        on, each optionally .gz) or a tar archive (.tar, .tar.gz, .tgz); a (name, bytes) pair; or
        an iterable of these.
    threads: worker threads; 0 means the processors available to the process.
    sasa: whether to compute accessibility.
    ppii_stretch: minimum length of a polyproline-II stretch.
    format: None to choose the reader by the name (a trailing .gz set aside, the format whose
        suffix ends it: .cif is mmCIF, say) or, when no suffix names a format (stdin, .pdbx, .txt,
        no suffix), by the first bytes of the decompressed text (a MessagePack map is BinaryCIF, a
        first line that is neither blank nor a comment and opens a ``data_`` block is mmCIF, the
        rest PDB); or a format's name ("pdb", "mmcif", ...) for every input.
    progress: True for a progress bar on stderr, or a callable receiving (done, total).
    max_bytes: the largest decompressed size accepted per input.
    models: "first" reads the first model of a multi-model file, as ``tarnix.assign`` does;
        "all" reads every model (PDB: the lines up to each ENDMDL, the first model being what
        "first" reads; mmCIF and BinaryCIF model numbers in order of first appearance), each its
        own row of ``structures``; an input that would make more than ``max_bytes / 512`` rows
        or ``max_bytes / 4096`` models so is an error row.

    Returns an Annotation whose ``structures`` has one row per input (per model with
    ``models="all"``; its ``model`` column is the model number as written, 1 for a file
    without models), in input order, and whose ``residues`` has one row per residue of every
    structure read, in residue order; their ``input`` column is the row in ``structures``.
    """
    chunks = list(iter_annotate(inputs, threads=threads, sasa=sasa, ppii_stretch=ppii_stretch, format=format,
                                max_bytes=max_bytes, chunk_size=4096, progress=progress, models=models))
    if len(chunks) == 1:
        return chunks[0]
    if not chunks:
        empty = Annotation.empty()
        _, sasa, ppii_stretch, _, max_bytes = _check_options(threads, sasa, ppii_stretch, format, max_bytes)
        empty.residues.provenance = empty.structures.provenance = _provenance.of_annotation(
            sasa, ppii_stretch, models, max_bytes)
        return empty
    return Annotation(Table.concat([c.residues for c in chunks]), Table.concat([c.structures for c in chunks]))
