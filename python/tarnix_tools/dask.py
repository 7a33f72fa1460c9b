"""Annotating more structures than one machine should, on a Dask cluster, into Parquet datasets.

The driver only lists the inputs; every structure is read by a worker. Work goes out in chunks of
``files_per_task`` inputs, each annotated with one thread (Dask's worker threads are the
parallelism); a large uncompressed tar archive is cut into chunks of its members, from its headers
alone (a compressed one is one chunk). Results land in two datasets under ``out_dir``:

- ``structures/``: the columns of ``annotate``'s ``structures`` table, with ``part`` (the chunk's
  number) and ``input`` (the input's row within that chunk) in front;
- ``residues/``: the columns of ``annotate``'s ``residues`` table, with ``part`` and the input's
  ``name`` in front; its ``input`` is the same row number within the chunk.

``(part, input)`` identifies an input in both datasets and is the key to join them on; ``input``
alone starts again at 0 in every part. (Tar archives are opened by the workers, so the driver
cannot number their members run-wide.)

Both are in input order: part files by chunk number, rows in order within each. A failed input is a
row of ``structures/`` with its reason; a lost worker's chunk is run again, and its files are
written whole or not at all, so every input appears exactly once.

Every part file of both datasets carries the run's provenance as Parquet key-value metadata
(``tarnix.version``, the options, and the command line when the ``tarnix`` command ran it).

``out_dir`` is marked as this function's own; a run refuses an ``out_dir`` that holds anything
else, and replaces a previous dataset there (its files only) when asked to. ``out_dir/_SUCCESS``
appears when the run has written everything: a dataset without it is partial (the run was stopped).
"""

from __future__ import annotations

import math
import os
import re
import time
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass
from typing import Any

from tarnix_tools import _provenance
from tarnix_tools._annotate import DEFAULT_MAX_BYTES, Annotation
from tarnix_tools._columns import STRUCTURE_COLUMNS
from tarnix_tools._extras import require
from tarnix_tools._inputs import (Item, TarPart, is_tar_name, split_tar, structure_paths, tar_member_starts,
                                  walk_directory)
from tarnix_tools._names import display_name
from tarnix_tools._arrow import Coded, Column
from tarnix_tools._writers import ParquetFile, PlacedFile

__all__ = ["RefusedRun", "Summary", "annotate_to_parquet", "list_inputs"]

# Marks out_dir as holding datasets this module wrote, so that a later run may replace them.
MARKER = ".tarnix-dataset"
# Written into out_dir when both datasets are complete, last: without it a dataset is partial.
COMPLETE = "_SUCCESS"
_DATASETS = ("structures", "residues")
# What a run writes inside a dataset: part files, the hidden temporary names of unfinished ones,
# and the metadata files Parquet writers may add.
_OWN_FILE = re.compile(r"part\.\d{6,}\.parquet|\..+\.(tmp|part)|_metadata|_common_metadata")


class RefusedRun(ValueError):
    """annotate_to_parquet did not start: an argument or ``out_dir`` would not do. Nothing was
    read, written or removed."""


@dataclass(frozen=True)
class Summary:
    """What a run did: inputs listed, inputs that failed, residues written, wall-clock seconds, and
    inputs read that hold no amino-acid residue (not failures)."""

    inputs: int
    failed: int
    residues: int
    seconds: float
    no_protein: int = 0


@dataclass(frozen=True)
class _Chunk:
    part: int
    # an Item: what a walk found unreadable, sent as its error row; a TarPart: a share of an archive
    paths: tuple[str | Item | TarPart, ...]


def list_inputs(inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> Iterator[str]:
    """Every input path: directories walked in sorted order, everything else as it is (as
    ``annotate`` takes it: a file of any name is read as a structure)."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    for value in inputs:
        path = os.fspath(value)
        if os.path.isdir(path):
            yield from map(os.fsdecode, structure_paths(os.fsencode(path)))
        else:
            yield path


def _listed(inputs: Iterable[str | os.PathLike[str]]) -> Iterator[str | Item]:
    """list_inputs, with what a walk could not list or found no regular file as error rows, and
    what it found as items a worker reads only if they are still regular files: a worker must
    never open a FIFO it met in a directory, or one put there since (that could block it)."""
    for value in inputs:
        path = os.fspath(value)
        if os.path.isdir(path):
            yield from walk_directory(os.fsencode(path))
        else:
            yield path


def _chunks(paths: Iterable[str | Item | list[TarPart]], size: int) -> Iterator[_Chunk]:
    """Chunks of `size` inputs; each part of a split archive is a chunk of its own."""
    batch: list[str | Item | TarPart] = []
    part = 0
    for path in paths:
        if isinstance(path, list):
            if batch:
                yield _Chunk(part, tuple(batch))
                batch, part = [], part + 1
            for share in path:
                yield _Chunk(part, (share,))
                part += 1
            continue
        batch.append(path)
        if len(batch) == size:
            yield _Chunk(part, tuple(batch))
            batch, part = [], part + 1
    if batch:
        yield _Chunk(part, tuple(batch))


def _split_archives(paths: list[str | Item], workers: int,
                    files_per_task: int) -> tuple[list[str | Item | list[TarPart]], int]:
    """The inputs with every uncompressed tar archive of more than a task's inputs cut into parts
    by its members, and the inputs per task: `files_per_task`, fewer when that would leave a worker
    thread without a task. The driver reads only the archives' headers."""
    starts = {path: tar_member_starts(os.fsencode(path)) for path in paths
              if isinstance(path, str) and is_tar_name(os.fsencode(path)) and os.path.isfile(path)}
    count = sum((len(starts[path]) if isinstance(path, str) and path in starts else 0) or 1 for path in paths)
    per_task = min(files_per_task, max(1, math.ceil(count / workers)))
    split: list[str | Item | list[TarPart]] = []
    for path in paths:
        parts = split_tar(os.fsencode(path), starts[path], per_task) if isinstance(path, str) and path in starts else []
        split.append(parts or path)
    return split, per_task


def _part_name(part: int) -> str:
    """Zero-padded, so that file-name order is input order."""
    return f"part.{part:06d}.parquet"


def _write_whole(columns: Mapping[str, Column], path: str, provenance: Mapping[str, str]) -> None:
    """Writes a Parquet file as every output file is written (a PlacedFile), so that a worker lost
    while writing never leaves half a file in the dataset."""
    require("pyarrow.parquet", "dask")
    placed = PlacedFile(path)
    try:
        parquet = ParquetFile(placed.file, provenance)
        parquet.write(columns)
        parquet.close()
    except BaseException:
        placed.discard()
        raise
    placed.commit()


def _remove_leftovers(folder: str) -> None:
    """The hidden files of writers lost on a file system without unnamed files."""
    for name in os.listdir(folder):
        if name.startswith(".") and name.endswith((".part", ".tmp")):
            os.remove(os.path.join(folder, name))


def _annotate_chunk(chunk: _Chunk, out_dir: str, sasa: bool, ppii_stretch: int, models: str,
                    provenance: Mapping[str, str]) -> Any:
    import numpy as np

    from tarnix_tools import annotate

    pd = require("pandas", "dask")

    message = ""
    try:
        annotation = annotate(list(chunk.paths), threads=1, sasa=sasa, ppii_stretch=ppii_stretch, models=models)
    except Exception as error:  # a fault of the chunk as a whole is still rows, not a failed job
        annotation = None
        message = f"{type(error).__name__}: {error}"
    if annotation is None:
        given = [p.name if isinstance(p, Item) else display_name(p.path if isinstance(p, TarPart) else p)
                 for p in chunk.paths]
        structures = pd.DataFrame({"name": given, "status": "error", "error": message})
        residues = _empty_residues()
    else:
        structures = pd.DataFrame({name: values for name, values in annotation.structures.columns.items()})
        residue_columns = annotation.residues.columns
        names = annotation.structures.columns["name"]
        residues = {"part": np.full(len(annotation.residues), chunk.part, dtype=np.int32),
                    "name": Coded(residue_columns["input"], names), **residue_columns}
    _write_whole(residues, os.path.join(out_dir, "residues", _part_name(chunk.part)), provenance)
    structures.insert(0, "input", np.arange(len(structures), dtype=np.int32))
    structures.insert(0, "part", np.int32(chunk.part))
    return _typed(structures)


def _empty_residues() -> dict[str, Column]:
    import numpy as np

    columns = Annotation.empty().residues.columns
    return {"part": np.zeros(0, np.int32), "name": np.zeros(0, "U1"), **columns}


def _typed(structures: Any) -> Any:
    """The structures frame with the same dtypes whatever the chunk held: a chunk that failed as a
    whole has only names, status and error, and model 1, zero counts and undefined numbers."""
    import numpy as np

    columns = {"part": np.dtype("i4"), "input": np.dtype("i4")}
    columns.update((name, np.dtype(dtype)) for name, dtype in STRUCTURE_COLUMNS.items())
    for name, dtype in columns.items():
        if name not in structures:
            structures[name] = (1 if name == "model" else 0) if dtype.kind == "i" else float("nan")
    return structures[list(columns)].astype({name: "string" if dtype.kind == "U" else dtype.name
                                             for name, dtype in columns.items()})


def _local_workers(client: object) -> int | None:
    """N of a "local:N" client, None for any other client."""
    if not isinstance(client, str) or not client.startswith("local:"):
        return None
    try:
        workers = int(client.split(":", 1)[1])
    except ValueError:
        raise RefusedRun(f"client {client!r}: local:N needs a whole number of workers") from None
    if workers < 1:
        raise RefusedRun(f"client {client!r} has no worker: give local:N with N at least 1")
    return workers


def _client(client: Any) -> tuple[Any, list[Any]]:
    """The client to run on and what this call opened (to close); None for Dask's default scheduler.
    A scheduler that cannot be reached is a RefusedRun."""
    if client is None or not isinstance(client, str):
        return client, []
    distributed = require("distributed", "dask")
    workers = _local_workers(client)
    if workers is not None:
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        opened = distributed.Client(cluster)
        return opened, [opened, cluster]
    try:
        opened = distributed.Client(client)
    except (OSError, ValueError, TypeError) as error:
        raise RefusedRun(f"cannot reach the scheduler {client!r}: {error}") from None
    return opened, [opened]


def _worker_threads(runner: Any) -> int:
    if runner is None:  # Dask's default scheduler runs tasks on the local processors
        return os.cpu_count() or 1
    return max(1, int(sum(runner.nthreads().values())))


def _foreign_entries(out: str) -> list[str]:
    """What in out_dir this module did not write (as paths relative to it)."""
    foreign = []
    for entry in sorted(os.listdir(out)):
        path = os.path.join(out, entry)
        if entry in (MARKER, COMPLETE) and os.path.isfile(path):
            continue
        if entry in _DATASETS and os.path.isdir(path) and not os.path.islink(path):
            foreign += [os.path.join(entry, name) for name in sorted(os.listdir(path))
                        if not (_OWN_FILE.fullmatch(name) and os.path.isfile(os.path.join(path, name)))]
            continue
        foreign.append(entry)
    return foreign


def _dataset_files(out: str) -> list[str]:
    """The files of a previous dataset of ours in out_dir (its datasets' folders hold only ours)."""
    return [os.path.join(out, dataset, name) for dataset in _DATASETS if os.path.isdir(os.path.join(out, dataset))
            for name in os.listdir(os.path.join(out, dataset))]


def _check_out_dir(out: str, replace: bool) -> None:
    """Refuses an out_dir that is not a folder, holds anything but a dataset of ours, or holds one
    and replacing it was not asked for; a folder of ours without a dataset file is as good as empty."""
    if os.path.exists(out) and not os.path.isdir(out):
        raise RefusedRun(f"out_dir {out!r} is not a folder")
    existing = os.listdir(out) if os.path.isdir(out) else []
    if not existing:
        return
    foreign = _foreign_entries(out) if MARKER in existing else sorted(existing)
    if foreign:
        shown = ", ".join(foreign[:3]) + (", ..." if len(foreign) > 3 else "")
        raise RefusedRun(f"out_dir {out!r} holds files that are not a dataset of this tool ({shown}); "
                         "give a new or empty folder")
    if not replace and _dataset_files(out):
        held = "a previous dataset" if COMPLETE in existing else f"an unfinished dataset (no {COMPLETE})"
        raise RefusedRun(f"out_dir {out!r} holds {held}; ask to replace it "
                         "(replace=True, or --replace on the command line) or give another folder")


def _prepare_out_dir(out: str) -> None:
    """Makes a checked out_dir ready for a new dataset, removing only the files of a previous one of
    ours (the mark of completion first, so that a run stopped while replacing leaves none)."""
    if os.path.isfile(os.path.join(out, COMPLETE)):
        os.remove(os.path.join(out, COMPLETE))
    for path in _dataset_files(out):
        os.remove(path)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, MARKER), "w", encoding="utf-8") as marker:
        marker.write("structures/ and residues/ here were written by tarnix_tools.dask.annotate_to_parquet\n")
    for dataset in _DATASETS:
        os.makedirs(os.path.join(out, dataset), exist_ok=True)


def annotate_to_parquet(inputs: Any, out_dir: str | os.PathLike[str], *, client: Any = None,
                        files_per_task: int = 500, sasa: bool = True, ppii_stretch: int = 3,
                        replace: bool = False, models: str = "first") -> Summary:
    """Annotate every input on a Dask cluster into ``out_dir/structures/`` and ``out_dir/residues/``.

    inputs: paths every worker can read: structure files, tar archives and directories (walked
        here, in sorted order).
    client: None for Dask's default scheduler, a ``distributed.Client``, a scheduler address, or
        ``"local:N"`` for a local cluster of N single-threaded worker processes.
    files_per_task: the most inputs per task; fewer when that leaves a worker thread without a task.
    models: "first" or "all", as for ``annotate``.
    replace: replace the dataset a previous run wrote into ``out_dir`` (only its files), finished or
        not. Without it, ``out_dir`` holding a dataset is refused; an ``out_dir`` holding anything
        else is always refused, and so is a scheduler that cannot be reached (``RefusedRun``, a
        ValueError), before anything is read or written.
    Join the two datasets on ``(part, input)``; ``out_dir/_SUCCESS`` is written last, when both are
    complete.
    """
    dd = require("dask.dataframe", "dask")
    parquet = require("pyarrow.parquet", "dask")
    if models not in ("first", "all"):
        raise RefusedRun(f"models must be 'first' or 'all', got {models!r}")
    if isinstance(files_per_task, bool) or int(files_per_task) < 1:
        raise RefusedRun(f"files_per_task must be a positive int, got {files_per_task!r}")
    _local_workers(client)
    start = time.perf_counter()
    out = os.fspath(out_dir)
    _check_out_dir(out, bool(replace))
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    # Made here, so that the files the workers write record the driver's command line.
    provenance = _provenance.of_annotation(bool(sasa), int(ppii_stretch), models, DEFAULT_MAX_BYTES)
    runner, opened = _client(client)
    try:
        _prepare_out_dir(out)
        paths = list(_listed(inputs))
        split, per_task = _split_archives(paths, _worker_threads(runner), int(files_per_task))
        chunks = list(_chunks(split, per_task))
        if chunks:
            frames = dd.from_map(_annotate_chunk, chunks, out_dir=out, sasa=bool(sasa),
                                 ppii_stretch=int(ppii_stretch), models=models, provenance=provenance,
                                 meta=_typed(_meta()), enforce_metadata=False)
            write = frames.to_parquet(os.path.join(out, "structures"), write_index=False, compute=False,
                                      name_function=_part_name, custom_metadata=provenance)
            if runner is not None:
                runner.compute(write).result()
            else:
                write.compute()
    finally:
        for thing in opened:
            thing.close()
    _remove_leftovers(os.path.join(out, "residues"))
    with open(os.path.join(out, COMPLETE), "wb"):
        pass
    if not chunks:
        return Summary(0, 0, 0, time.perf_counter() - start)
    table = parquet.read_table(os.path.join(out, "structures"), columns=["status", "residue_count"])
    status = table.column("status").to_pylist()
    residues = sum(table.column("residue_count").to_pylist())
    return Summary(len(status), status.count("error"), residues, time.perf_counter() - start,
                   status.count("no_protein"))


def _meta() -> Any:
    return Annotation.empty().structures.to_pandas()
