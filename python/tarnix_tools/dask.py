"""Annotating more structures than one machine should, on a Dask cluster, into Parquet datasets.

The driver only lists the inputs; every structure is read by a worker. Work goes out in chunks of
``files_per_task`` inputs, each annotated with one thread (Dask's worker threads are the
parallelism), and lands in two datasets under ``out_dir``:

- ``structures/``: the columns of ``annotate``'s ``structures`` table, with ``part`` (the chunk's
  number) and ``input`` (the row within that chunk) in front;
- ``residues/``: the columns of ``annotate``'s ``residues`` table, with ``part`` and the input's
  ``name`` added, so that each dataset stands alone.

Both are in input order: part files by chunk number, rows in order within each. A failed input is a
row of ``structures/`` with its reason; a lost worker's chunk is run again, and its files are
written whole or not at all, so every input appears exactly once.
"""

from __future__ import annotations

import os
import shutil
import threading
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import Any

from tarnix_tools._extras import require
from tarnix_tools._inputs import is_structure_name, is_tar_name, structure_paths

__all__ = ["Summary", "annotate_to_parquet", "list_inputs"]


@dataclass(frozen=True)
class Summary:
    """What a run did: inputs listed, inputs that failed, residues written, wall-clock seconds."""

    inputs: int
    failed: int
    residues: int
    seconds: float


@dataclass(frozen=True)
class _Chunk:
    part: int
    paths: tuple[str, ...]


def list_inputs(inputs: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> Iterator[str]:
    """Every input path: files (plain or gzip) and tar archives as they are, directories walked in
    sorted order, and any other file read as a list of paths, one per line (blank lines skipped)."""
    if isinstance(inputs, (str, os.PathLike)):
        inputs = [inputs]
    for value in inputs:
        path = os.fspath(value)
        encoded = os.fsencode(path)
        if os.path.isdir(path):
            yield from map(os.fsdecode, structure_paths(encoded))
        elif is_structure_name(encoded) or is_tar_name(encoded) or not os.path.isfile(path):
            yield path
        else:
            with open(path, encoding="utf-8", errors="surrogateescape") as listing:
                for line in listing:
                    line = line.rstrip("\r\n")
                    if line.strip():
                        yield line


def _chunks(paths: Iterable[str], size: int) -> Iterator[_Chunk]:
    batch: list[str] = []
    part = 0
    for path in paths:
        batch.append(path)
        if len(batch) == size:
            yield _Chunk(part, tuple(batch))
            batch, part = [], part + 1
    if batch:
        yield _Chunk(part, tuple(batch))


def _part_name(part: int) -> str:
    """Zero-padded, so that file-name order is input order."""
    return f"part.{part:06d}.parquet"


def _write_whole(table: Any, path: str) -> None:
    """Writes a Parquet file under a hidden temporary name first (Parquet readers skip names that
    start with a dot), so that a worker lost while writing never leaves half a file in the dataset."""
    parquet = require("pyarrow.parquet", "dask")
    folder, name = os.path.split(path)
    temporary = os.path.join(folder, f".{name}.{os.getpid()}.{threading.get_ident()}.tmp")
    parquet.write_table(table, temporary)
    os.replace(temporary, path)


def _remove_leftovers(folder: str) -> None:
    for name in os.listdir(folder):
        if name.startswith(".") and name.endswith(".tmp"):
            os.remove(os.path.join(folder, name))


def _annotate_chunk(chunk: _Chunk, out_dir: str, sasa: bool, ppii_stretch: int, models: str = "first") -> Any:
    import numpy as np

    from tarnix_tools import annotate

    pd = require("pandas", "dask")
    pa = require("pyarrow", "dask")

    try:
        annotation = annotate(list(chunk.paths), threads=1, sasa=sasa, ppii_stretch=ppii_stretch, models=models)
    except Exception as error:  # a fault of the chunk as a whole is still rows, not a failed job
        annotation = None
        message = f"{type(error).__name__}: {error}"
    if annotation is None:
        structures = pd.DataFrame({"name": list(chunk.paths), "status": "error", "error": message})
        residues = _empty_residues()
    else:
        structures = pd.DataFrame({name: values for name, values in annotation.structures.columns.items()})
        residue_columns = annotation.residues.columns
        names = annotation.structures.columns["name"]
        residues = pa.table({"part": np.full(len(annotation.residues), chunk.part, dtype=np.int32),
                             "name": names[residue_columns["input"]], **residue_columns})
    _write_whole(residues, os.path.join(out_dir, "residues", _part_name(chunk.part)))
    structures.insert(0, "input", np.arange(len(structures), dtype=np.int32))
    structures.insert(0, "part", np.int32(chunk.part))
    return _typed(structures)


def _empty_residues() -> Any:
    from tarnix_tools import annotate

    pa = require("pyarrow", "dask")

    columns = annotate([]).residues.columns
    return pa.table({"part": pa.array([], pa.int32()), "name": pa.array([], pa.string()), **columns})


def _typed(structures: Any) -> Any:
    """The structures frame with the same dtypes whatever the chunk held."""
    types = {"part": "int32", "input": "int32", "name": "string", "model": "int32", "status": "string",
             "error": "string",
             "residue_count": "int32", "chain_count": "int32", "helix_fraction": "float64",
             "strand_fraction": "float64", "accessibility_total": "float64", "seconds": "float64"}
    for column in types:
        if column not in structures:
            structures[column] = (1 if column == "model" else 0) if types[column].startswith("int") else float("nan")
    return structures[list(types)].astype(types)


def _client(client: Any) -> tuple[Any, list[Any]]:
    """The client to run on and what this call opened (to close); None for Dask's default scheduler."""
    if client is None or not isinstance(client, str):
        return client, []
    distributed = require("distributed", "dask")
    if client.startswith("local:"):
        workers = int(client.split(":", 1)[1])
        cluster = distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                           dashboard_address=None)
        opened = distributed.Client(cluster)
        return opened, [opened, cluster]
    opened = distributed.Client(client)
    return opened, [opened]


def annotate_to_parquet(inputs: Any, out_dir: str | os.PathLike[str], *, client: Any = None,
                        files_per_task: int = 500, sasa: bool = True, ppii_stretch: int = 3,
                        models: str = "first") -> Summary:
    """Annotate every input on a Dask cluster into ``out_dir/structures/`` and ``out_dir/residues/``.

    inputs: paths every worker can read: structure files, tar archives, directories (walked here,
        in sorted order) and list files (one path per line).
    client: None for Dask's default scheduler, a ``distributed.Client``, a scheduler address, or
        ``"local:N"`` for a local cluster of N single-threaded worker processes.
    files_per_task: inputs per task.
    models: "first" or "all", as for ``annotate``.
    Existing ``structures/`` and ``residues/`` under ``out_dir`` are replaced.
    """
    dd = require("dask.dataframe", "dask")
    parquet = require("pyarrow.parquet", "dask")
    if models not in ("first", "all"):
        raise ValueError(f"models must be 'first' or 'all', got {models!r}")
    if isinstance(files_per_task, bool) or int(files_per_task) < 1:
        raise ValueError(f"files_per_task must be a positive int, got {files_per_task!r}")
    start = time.perf_counter()
    out = os.fspath(out_dir)
    for name in ("structures", "residues"):
        shutil.rmtree(os.path.join(out, name), ignore_errors=True)
    os.makedirs(os.path.join(out, "residues"), exist_ok=True)
    chunks = list(_chunks(list_inputs(inputs), int(files_per_task)))
    runner, opened = _client(client)
    try:
        if chunks:
            frames = dd.from_map(_annotate_chunk, chunks, out_dir=out, sasa=bool(sasa),
                                 ppii_stretch=int(ppii_stretch), models=models, meta=_typed(_meta()),
                                 enforce_metadata=False)
            write = frames.to_parquet(os.path.join(out, "structures"), write_index=False, compute=False,
                                      name_function=_part_name)
            if runner is not None:
                runner.compute(write).result()
            else:
                write.compute()
    finally:
        for thing in opened:
            thing.close()
    _remove_leftovers(os.path.join(out, "residues"))
    if not chunks:
        return Summary(0, 0, 0, time.perf_counter() - start)
    table = parquet.read_table(os.path.join(out, "structures"), columns=["status", "residue_count"])
    status = table.column("status").to_pylist()
    residues = sum(table.column("residue_count").to_pylist())
    return Summary(len(status), sum(s != "ok" for s in status), residues, time.perf_counter() - start)


def _meta() -> Any:
    pd = require("pandas", "dask")
    return pd.DataFrame({"name": [], "status": [], "error": []})
