"""Optional dependencies, imported when first needed.

Extras and what they install: arrow (pyarrow), pandas, polars, progress (tqdm),
plot (matplotlib), dask, trajectory (chemfiles).
"""

import importlib
import importlib.util
import sys
from types import ModuleType


class MissingExtra(ImportError):
    """An optional dependency is not installed; the message names the extra that installs it."""


def require(module_name: str, extra: str) -> ModuleType:
    """Import an optional dependency, or say which extra installs it."""
    try:
        return importlib.import_module(module_name)
    except ImportError as exc:
        raise _missing(module_name, extra) from exc


def check_installed(module_name: str, extra: str) -> None:
    """Say which extra installs an optional dependency that is not installed, without importing
    it: a run can start its work first and import it when it is first used."""
    top = module_name.partition(".")[0]
    found = sys.modules[top] is not None if top in sys.modules else importlib.util.find_spec(top) is not None
    if not found:
        raise _missing(module_name, extra)


def _missing(module_name: str, extra: str) -> MissingExtra:
    top = module_name.partition(".")[0]
    return MissingExtra(f"{top} is needed for this but is not installed; "
                        f"install it with: pip install 'tarnix[{extra}]'")
