"""A table of named NumPy columns, convertible to Arrow, pandas and polars."""

from __future__ import annotations

import os
from collections.abc import Iterable, Mapping
from types import ModuleType
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

from . import _native
from ._extras import require
from ._writers import open_writer


class Table:
    """Named one-dimensional NumPy columns of equal length, in a fixed order.

    Numbers are held as NumPy numbers and text as fixed-width 'U' arrays, so a table
    of a million rows holds no per-row Python objects.
    """

    __slots__ = ("columns",)

    columns: dict[str, npt.NDArray[Any]]

    def __init__(self, columns: Mapping[str, npt.ArrayLike]) -> None:
        arrays: dict[str, npt.NDArray[Any]] = {}
        for name, values in columns.items():
            array = np.asarray(values)
            if array.ndim != 1:
                raise ValueError(f"column {name!r} is not one-dimensional")
            if arrays and len(array) != len(next(iter(arrays.values()))):
                raise ValueError(f"column {name!r} has {len(array)} rows, "
                                 f"the columns before it {len(next(iter(arrays.values())))}")
            arrays[name] = array
        self.columns = arrays

    def __len__(self) -> int:
        return len(next(iter(self.columns.values()))) if self.columns else 0

    def __repr__(self) -> str:
        return f"<Table: {len(self)} rows; columns: {', '.join(self.columns)}>"

    @classmethod
    def concat(cls, tables: Iterable[Table]) -> Table:
        """The rows of several tables with the same columns, one after another."""
        tables = list(tables)
        if not tables:
            raise ValueError("concat needs at least one table")
        names = list(tables[0].columns)
        for table in tables[1:]:
            if list(table.columns) != names:
                raise ValueError(f"cannot concatenate tables with columns {names} "
                                 f"and {list(table.columns)}")
        return cls({name: np.concatenate([t.columns[name] for t in tables]) for name in names})

    def to_arrow(self) -> Any:
        """A pyarrow.Table: text columns become strings, and NaN, which in these tables only
        ever stands for an undefined value, becomes null."""
        pa = require("pyarrow", "arrow")
        return pa.table({name: _arrow_array(pa, values) for name, values in self.columns.items()})

    def to_pandas(self, dtype_backend: Literal["numpy", "pyarrow"] = "numpy") -> Any:
        """A pandas.DataFrame. With the default "numpy" backend undefined values are NaN, pandas'
        own convention; with "pyarrow" the columns are Arrow-backed and undefined values are
        null (<NA>)."""
        pd = require("pandas", "pandas")
        if dtype_backend == "pyarrow":
            require("pyarrow", "arrow")
            return self.to_arrow().to_pandas(types_mapper=pd.ArrowDtype)
        if dtype_backend != "numpy":
            raise ValueError(f"dtype_backend must be 'numpy' or 'pyarrow', got {dtype_backend!r}")
        return pd.DataFrame(self.columns)

    def to_polars(self) -> Any:
        """A polars.DataFrame, built from the NumPy arrays (pyarrow is not needed); undefined
        values (NaN) are null."""
        pl = require("polars", "polars")
        return pl.DataFrame(self.columns, nan_to_null=True)

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The Arrow PyCapsule stream interface: pyarrow.table(t), polars.DataFrame(t)."""
        try:
            source = self.to_arrow()
        except ImportError:
            try:
                import polars
            except ImportError:
                raise  # the message names the extra that provides Arrow
            source = self.to_polars()
        return source.__arrow_c_stream__(requested_schema)

    def write(self, path: str | os.PathLike[str]) -> None:
        """Write the table to `path` in the format its suffix names: .parquet, .tsv, .csv or
        .jsonl. The file appears whole or not at all (written beside it, then renamed)."""
        with open_writer(path) as writer:
            writer.append(self)


def _arrow_array(pa: ModuleType, values: npt.NDArray[Any]) -> Any:
    """values as a pyarrow array over the same bytes where it can be. Text is encoded to UTF-8 by
    the engine: pyarrow's own conversion of a 'U' array makes a Python string per row, which cost
    most of to_arrow. Numbers are laid out directly: pa.array would import pandas, a second's
    start-up for a run that never uses it."""
    if values.dtype.kind in "iuf":
        values = np.ascontiguousarray(values, dtype=values.dtype.newbyteorder("="))
        data = pa.py_buffer(values)
        missing = np.isnan(values) if values.dtype.kind == "f" else None
        if missing is None or not missing.any():
            return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values), [None, data])
        # NaN as null: in these tables it only ever stands for an undefined value
        valid = pa.py_buffer(np.packbits(~missing, bitorder="little"))
        return pa.Array.from_buffers(pa.from_numpy_dtype(values.dtype), len(values), [valid, data],
                                     null_count=int(missing.sum()))
    if values.dtype.kind != "U" or values.dtype.itemsize == 0:
        return pa.array(values)
    width = values.dtype.itemsize // 4
    buffers = _native.utf8_column(np.ascontiguousarray(values).view(np.uint32), width)
    if buffers is None:  # a lone surrogate, or over 2 GiB of text
        return pa.array(values)
    offsets, data = buffers
    return pa.StringArray.from_buffers(len(values), pa.py_buffer(offsets), pa.py_buffer(data))
