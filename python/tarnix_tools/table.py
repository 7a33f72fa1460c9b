"""A table of named NumPy columns, convertible to Arrow, pandas and polars."""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt

from ._arrow import arrow_table
from ._extras import require
from ._writers import open_writer

if TYPE_CHECKING:
    import pandas  # type: ignore[import-untyped, unused-ignore]
    import polars
    import pyarrow  # type: ignore[import-untyped, unused-ignore]


class Table:
    """Named one-dimensional NumPy columns of equal length, in a fixed order.

    Numbers are held as NumPy numbers and text as fixed-width 'U' arrays, so a table
    of a million rows holds no per-row Python objects. As with a data frame, ``table[name]``
    is a column, iterating gives the column names and ``len`` counts the rows.

    ``provenance`` says what made the table (the tarnix version and the options of the run);
    its Parquet files carry it as key-value metadata.
    """

    __slots__ = ("columns", "provenance")

    columns: dict[str, npt.NDArray[Any]]
    provenance: dict[str, str]

    def __init__(self, columns: Mapping[str, npt.ArrayLike], provenance: Mapping[str, str] | None = None) -> None:
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
        self.provenance = dict(provenance or {})

    def __len__(self) -> int:
        return len(next(iter(self.columns.values()))) if self.columns else 0

    @property
    def column_names(self) -> list[str]:
        """The names of the columns, in order."""
        return list(self.columns)

    def __getitem__(self, name: str) -> npt.NDArray[Any]:
        try:
            return self.columns[name]
        except KeyError:
            raise KeyError(f"no column {name!r}; the columns are {', '.join(self.columns)}") from None

    def __iter__(self) -> Iterator[str]:
        return iter(self.columns)

    def __contains__(self, name: object) -> bool:
        return name in self.columns

    def __repr__(self) -> str:
        return f"<Table: {len(self)} rows; columns: {', '.join(self.columns)}>"

    @classmethod
    def concat(cls, tables: Iterable[Table]) -> Table:
        """The rows of several tables with the same columns, one after another; their
        provenance is what they all share."""
        tables = list(tables)
        if not tables:
            raise ValueError("concat needs at least one table")
        names = list(tables[0].columns)
        for table in tables[1:]:
            if list(table.columns) != names:
                raise ValueError(f"cannot concatenate tables with columns {names} "
                                 f"and {list(table.columns)}")
        shared = {key: value for key, value in tables[0].provenance.items()
                  if all(t.provenance.get(key) == value for t in tables[1:])}
        return cls({name: np.concatenate([t.columns[name] for t in tables]) for name in names}, shared)

    def to_arrow(self) -> pyarrow.Table:
        """A pyarrow.Table: text columns become strings, and NaN, which in these tables only
        ever stands for an undefined value, becomes null."""
        table: pyarrow.Table = arrow_table(self.columns)
        return table

    def to_pandas(self, dtype_backend: Literal["numpy", "pyarrow"] = "numpy") -> pandas.DataFrame:
        """A pandas.DataFrame. With the default "numpy" backend undefined values are NaN, pandas'
        own convention; with "pyarrow" the columns are Arrow-backed and undefined values are
        null (<NA>)."""
        pd = require("pandas", "pandas")
        if dtype_backend == "pyarrow":
            require("pyarrow", "arrow")
            arrow_backed: pandas.DataFrame = self.to_arrow().to_pandas(types_mapper=pd.ArrowDtype)
            return arrow_backed
        if dtype_backend != "numpy":
            raise ValueError(f"dtype_backend must be 'numpy' or 'pyarrow', got {dtype_backend!r}")
        frame: pandas.DataFrame = pd.DataFrame(self.columns)
        return frame

    def to_polars(self) -> polars.DataFrame:
        """A polars.DataFrame, built from the NumPy arrays (pyarrow is not needed); undefined
        values (NaN) are null."""
        pl = require("polars", "polars")
        frame: polars.DataFrame = pl.DataFrame(self.columns, nan_to_null=True)
        return frame

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The Arrow PyCapsule stream interface: pyarrow.table(t), polars.DataFrame(t)."""
        source: Any  # either has the interface; their stubs may not say so
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
        .jsonl. The file appears whole or not at all (written beside it, then renamed). A Parquet
        file carries the table's provenance as key-value metadata."""
        with open_writer(path) as writer:
            writer.append(self)
