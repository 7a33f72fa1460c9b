"""Companion tools of tarnix: archives as they are distributed, results as tables.

``annotate`` reads files, directories, tar archives and in-memory files (plain or gzip) on
worker threads and returns every per-residue value of the core as columns.
"""

from importlib.metadata import PackageNotFoundError, version

from tarnix_tools._annotate import Annotation, annotate, iter_annotate
from tarnix_tools._extras import MissingExtra
from tarnix_tools._native import InternalError
from tarnix_tools.table import Table

try:
    __version__ = version("tarnix")
except PackageNotFoundError:  # running from a source tree
    __version__ = "0+unknown"

__all__ = ["Annotation", "InternalError", "MissingExtra", "Table", "annotate", "iter_annotate", "__version__"]
