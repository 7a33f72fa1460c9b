"""Table columns as pyarrow arrays over their own bytes, without a Python object per row."""

from __future__ import annotations

from collections.abc import Mapping
from types import ModuleType
from typing import Any, NamedTuple, Union

import numpy as np
import numpy.typing as npt

from . import _native
from ._extras import require


class Coded(NamedTuple):
    """A text column as codes into a few values, values[codes], for a column that would repeat
    each of its values over many rows (a structure's name on each of its residues)."""

    codes: npt.NDArray[np.int32]
    values: npt.NDArray[Any]

    def decoded(self) -> npt.NDArray[Any]:
        return self.values[self.codes]


Column = Union[npt.NDArray[Any], Coded]


def arrow_table(columns: Mapping[str, Column], text_as_dictionary: bool = False) -> Any:
    """The columns as a pyarrow.Table: numbers over the same bytes, NaN as null, and text as
    strings, or with `text_as_dictionary` as dictionaries of the distinct strings where values
    repeat (a Coded column always, over its values)."""
    pa = require("pyarrow", "arrow")
    arrays = {}
    for name, values in columns.items():
        if isinstance(values, Coded) and text_as_dictionary:
            codes = pa.Array.from_buffers(pa.int32(), len(values.codes),
                                          [None, pa.py_buffer(np.ascontiguousarray(values.codes, np.int32))])
            arrays[name] = pa.DictionaryArray.from_arrays(codes, _arrow_array(pa, values.values, False))
        else:
            decoded = values.decoded() if isinstance(values, Coded) else values
            arrays[name] = _arrow_array(pa, decoded, text_as_dictionary)
    return pa.table(arrays)


def plain_schema(schema: Any) -> Any:
    """The schema with each dictionary column as its values' type: what arrow_table gives
    without text_as_dictionary."""
    pa = require("pyarrow", "arrow")
    return pa.schema([field.with_type(field.type.value_type) if pa.types.is_dictionary(field.type) else field
                      for field in schema], metadata=schema.metadata)


def _arrow_array(pa: ModuleType, values: npt.NDArray[Any], text_as_dictionary: bool) -> Any:
    """Text is encoded to UTF-8 by the engine: pyarrow's own conversion of a 'U' array makes a
    Python string per row, which cost most of the conversion. Numbers are laid out directly:
    pa.array would import pandas, a second's start-up for a run that never uses it."""
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
        plain = pa.array(values)
        return plain.dictionary_encode() if text_as_dictionary and pa.types.is_string(plain.type) else plain
    codes = np.ascontiguousarray(values).view(np.uint32)
    width = values.dtype.itemsize // 4
    if text_as_dictionary:
        found = _native.dictionary_column(codes, width)
        if found is None:  # mostly distinct values, a lone surrogate, or over 2 GiB of text
            return _arrow_array(pa, values, False)
        indices, offsets, data = found
        dictionary = pa.StringArray.from_buffers(len(offsets) // 4 - 1, pa.py_buffer(offsets), pa.py_buffer(data))
        return pa.DictionaryArray.from_arrays(
            pa.Array.from_buffers(pa.int32(), len(values), [None, pa.py_buffer(indices)]), dictionary, safe=False)
    buffers = _native.utf8_column(codes, width)
    if buffers is None:
        return pa.array(values)
    offsets, data = buffers
    return pa.StringArray.from_buffers(len(values), pa.py_buffer(offsets), pa.py_buffer(data))
