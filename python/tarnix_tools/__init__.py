"""Companion tools of tarnix: archives as they are distributed, results as tables.

``annotate`` reads files, directories, tar archives and in-memory files (plain or gzip) on
worker threads and returns every per-residue value of the core as columns; ``frames`` and
``trajectory`` give the codes of every frame of an ensemble or a trajectory.
"""

from tarnix_tools._annotate import Annotation, annotate, iter_annotate
from tarnix_tools._extras import MissingExtra
from tarnix_tools._frames import Frames, frames
from tarnix_tools._native import InternalError
from tarnix_tools._provenance import VERSION as __version__
from tarnix_tools._trajectory import TrajectoryError, iter_trajectory, trajectory
from tarnix_tools.table import Table

__all__ = ["Annotation", "Frames", "InternalError", "MissingExtra", "Table", "TrajectoryError", "annotate", "frames",
           "iter_annotate", "iter_trajectory", "trajectory", "__version__"]
