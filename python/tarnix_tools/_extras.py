"""Optional dependencies, imported when first needed.

Extras and what they install: arrow (pyarrow), pandas, polars, progress (tqdm),
plot (matplotlib), dask, trajectory (chemfiles).
"""

import importlib
from types import ModuleType


class MissingExtra(ImportError):
    """An optional dependency is not installed; the message names the extra that installs it."""


def require(module_name: str, extra: str) -> ModuleType:
    """Import an optional dependency, or say which extra installs it."""
    try:
        return importlib.import_module(module_name)
    except ImportError as exc:
        top = module_name.partition(".")[0]
        raise MissingExtra(
            f"{top} is needed for this but is not installed; "
            f"install it with: pip install 'tarnix[{extra}]'"
        ) from exc
