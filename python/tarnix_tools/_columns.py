"""The columns of annotate's two tables, each list written once: name and NumPy dtype, in order.

Text is "U", as wide as a table's longest value (at least one character), or of a fixed width when
its values are a fixed vocabulary (the status). The residues' columns are the engine's, which fills
them; the structures' are made from what the engine found of each input and the inputs' names."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

import numpy as np
import numpy.typing as npt

from tarnix_tools import _native
from tarnix_tools.table import Table

STRUCTURE_COLUMNS: dict[str, str] = {
    "name": "U",
    "model": "i4",
    "status": "U10",
    "error": "U",
    "residue_count": "i4",
    "chain_count": "i4",
    "helix_fraction": "f8",
    "strand_fraction": "f8",
    "accessibility_total": "f8",
    "seconds": "f8",
}

RESIDUE_COLUMNS: dict[str, str] = dict(_native.RESIDUE_COLUMNS)

# frames' long table (a row per frame and residue), in order; accessibility is left out when it
# was not computed, rsa is then NaN.
FRAMES_RESIDUE_COLUMNS = ("frame", "time", "chain_id", "seq_id", "insertion_code", "residue_name", "structure", "phi",
                          "psi", "accessibility", "rsa")


def table(columns: Mapping[str, str], values: Mapping[str, npt.ArrayLike]) -> Table:
    """A table of exactly these columns, in their order and of their dtypes."""
    if values.keys() != columns.keys():
        raise ValueError(f"columns {sorted(values)} are not the table's {sorted(columns)}")
    return Table({name: np.array(values[name], dtype=dtype) for name, dtype in columns.items()})


def empty(columns: Mapping[str, str]) -> Table:
    return Table({name: np.zeros(0, dtype=dtype) for name, dtype in columns.items()})


def from_engine(columns: Mapping[str, tuple[str, int, bytes]]) -> dict[str, npt.NDArray[Any]]:
    """The engine's {name: (kind, width, bytes)} columns as NumPy arrays over those bytes."""
    return {name: np.frombuffer(data, dtype=f"<U{width}" if kind == "U" else f"<{kind}")
            for name, (kind, width, data) in columns.items()}
