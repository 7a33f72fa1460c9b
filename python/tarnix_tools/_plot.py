"""A picture of one structure: per chain, the eight-state codes above the relative accessibility.

Chains with the same residues (names, numbers, insertion codes) share a panel: a track row per
distinct run of codes, labelled with every chain that has it, and the mean relative accessibility
with a band from the lowest to the highest value among them.
"""

from __future__ import annotations

import os
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._checks import MAX_PANELS, TooLarge, picture_size
from ._extras import require
from ._writers import OutputError, PlacedFile
from .table import Table

# eight-state code -> (legend label, colour); blank is drawn as coil
CODE_STYLES = {
    "H": ("α helix", "#d62728"),
    "G": ("3₁₀ helix", "#ff9f1c"),
    "I": ("π helix", "#8c564b"),
    "E": ("strand", "#1f77b4"),
    "B": ("bridge", "#7fc8f8"),
    "P": ("PPII", "#2ca02c"),
    "T": ("turn", "#9467bd"),
    "S": ("bend", "#f4a6d7"),
    " ": ("coil", "#d9d9d9"),
}
# a common boundary between buried and exposed residues, drawn as a guide
_EXPOSED = 0.25
_TRACK_ROW = 0.16
_PROFILE_HEIGHT = 1.1
_CHAIN_GAP = 0.55


@dataclass
class Panel:
    """Chains with the same residues: their ids, their rows in the residue table, and the distinct
    code tracks, each with the ids of the chains that have it."""

    chains: list[str]
    rows: list[slice]
    tracks: list[tuple[list[str], slice]]


def chain_slices(chain_ids: npt.NDArray[Any]) -> list[tuple[str, slice]]:
    """(chain id, slice) per run of equal chain ids, in order."""
    if not len(chain_ids):
        return []
    starts = np.flatnonzero(np.r_[True, chain_ids[1:] != chain_ids[:-1]])
    ends = [*starts[1:], len(chain_ids)]
    return [(str(chain_ids[s]), slice(int(s), int(e))) for s, e in zip(starts, ends)]


def panels(columns: dict[str, npt.NDArray[Any]], chosen: Sequence[str] | None = None) -> list[Panel]:
    """The panels of a residue table, in order of each one's first chain."""
    by_residues: dict[tuple[bytes, ...], Panel] = {}
    # each panel's tracks by their codes: found in one look, however many chains there are
    tracks: dict[tuple[bytes, ...], dict[bytes, list[str]]] = {}
    for chain, rows in chain_slices(columns["chain_id"]):
        if chosen is not None and chain not in chosen:
            continue
        key = tuple(np.ascontiguousarray(columns[name][rows]).tobytes()
                    for name in ("residue_name", "seq_id", "insertion_code"))
        panel = by_residues.setdefault(key, Panel([], [], []))
        panel.chains.append(chain)
        panel.rows.append(rows)
        codes = np.ascontiguousarray(columns["structure"][rows]).tobytes()
        ids = tracks.setdefault(key, {}).get(codes)
        if ids is not None:
            ids.append(chain)
        else:
            panel.tracks.append(([chain], rows))
            tracks[key][codes] = panel.tracks[-1][0]
    return list(by_residues.values())


def id_list(ids: Sequence[str]) -> str:
    """Chain ids for a label; runs of consecutive one-letter ids are shortened to 'A–G'."""
    shown: list[str] = []
    start = 0
    for i in range(1, len(ids) + 1):
        if i < len(ids) and len(ids[i]) == len(ids[i - 1]) == 1 and ord(ids[i]) == ord(ids[i - 1]) + 1:
            continue
        run = ids[start:i]
        shown.append(f"{run[0]}–{run[-1]}" if len(run) > 2 else ", ".join(repr(c) if not c else c for c in run))
        start = i
    return ", ".join(shown)


def _tracks_text(count: int) -> str:
    return "the same codes" if count == 1 else f"{count} distinct code tracks"


def regular_ticks(count: int, seq_ids: npt.NDArray[Any], insertion_codes: npt.NDArray[Any],
                  locator: Any) -> npt.NDArray[np.intp]:
    """Tick positions a round number of residues apart (about a dozen), starting where the
    numbering is a multiple of that step when one is near: regular whatever the insertion codes."""
    values = locator(nbins=12, steps=[1, 2, 2.5, 5, 10], integer=True).tick_values(0, max(count - 1, 1))
    step = max(int(round(values[1] - values[0])), 1) if len(values) > 1 else 1
    head = np.flatnonzero((seq_ids[:step] % step == 0) & (insertion_codes[:step] == ""))
    return np.arange(int(head[0]) if len(head) else 0, count, step)


def draw(residues: Table, name: str, path: str | os.PathLike[str], chains: Sequence[str] | None = None,
         dpi: int = 100) -> None:
    """Save the picture of one structure's residue table to `path` (.png, .svg or .pdf), whole or
    not at all. Raises TooLarge, before drawing, for more than MAX_PANELS panels or MAX_PIXELS
    pixels."""
    require("matplotlib", "plot")
    from matplotlib.colors import ListedColormap  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.figure import Figure  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.patches import Patch  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.ticker import MaxNLocator  # type: ignore[import-not-found, unused-ignore]

    columns = residues.columns
    drawn = panels(columns, chains)
    if len(drawn) > MAX_PANELS:
        raise TooLarge(f"{name} has {len(drawn):,} chains with different residues, more panels than the "
                       f"{MAX_PANELS} drawn: choose chains with --chain")
    codes = np.array(list(CODE_STYLES))
    colormap = ListedColormap([colour for _, colour in CODE_STYLES.values()])
    widest = max(p.rows[0].stop - p.rows[0].start for p in drawn)
    track_heights = [0.3 + _TRACK_ROW * len(p.tracks) for p in drawn]
    height = 0.9 + sum(track_heights) + len(drawn) * (_PROFILE_HEIGHT + _CHAIN_GAP)
    width = min(max(10.0, 6 + widest / 120), 22.0)
    picture_size(width, height, dpi)
    figure = Figure(figsize=(width, height), layout="constrained")
    grid = figure.add_gridspec(2 * len(drawn), 1,
                               height_ratios=[h for t in track_heights for h in (t, _PROFILE_HEIGHT)])

    for number, panel in enumerate(drawn):
        rows = panel.rows[0]
        count = rows.stop - rows.start
        labels = np.char.add(columns["seq_id"][rows].astype(str), columns["insertion_code"][rows])

        track = figure.add_subplot(grid[2 * number])
        index = np.stack([(columns["structure"][r][:, None] == codes[None, :]).argmax(axis=1)
                          for _, r in panel.tracks])
        track.imshow(index, aspect="auto", cmap=colormap, vmin=-0.5, vmax=len(codes) - 0.5,
                     interpolation="nearest", extent=(-0.5, count - 0.5, len(panel.tracks), 0))
        if len(panel.tracks) > 1:
            track.set_yticks(np.arange(len(panel.tracks)) + 0.5, [id_list(ids) for ids, _ in panel.tracks],
                             fontsize=7)
        else:
            track.set_yticks([])
        track.tick_params(labelbottom=False, length=0)
        plural = "s" if len(panel.chains) > 1 else ""
        track.set_title(f"{name}, chain{plural} {id_list(panel.chains)} ({count} residues"
                        + (f" each; {_tracks_text(len(panel.tracks))}" if plural else "") + ")",
                        loc="left", fontsize=10)

        profile = figure.add_subplot(grid[2 * number + 1], sharex=track)
        values = np.stack([columns["rsa"][r] for r in panel.rows])
        positions = np.arange(count)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # all NaN at a position: NaN, silently
            mean, low, high = np.nanmean(values, axis=0), np.nanmin(values, axis=0), np.nanmax(values, axis=0)
        if len(panel.rows) > 1:
            profile.fill_between(positions, low, high, step="mid", color="#4a6fa5", alpha=0.25, linewidth=0,
                                 label=f"lowest to highest of {len(panel.rows)} chains")
            profile.step(positions, mean, where="mid", color="#2b4c7e", linewidth=0.7, label="mean")
        else:
            profile.fill_between(positions, mean, step="mid", color="#4a6fa5", alpha=0.35, linewidth=0)
            profile.step(positions, mean, where="mid", color="#2b4c7e", linewidth=0.7)
        profile.axhline(_EXPOSED, color="#888888", linewidth=0.8, linestyle=":",
                        label=f"{_EXPOSED:g}: exposed above, buried below")
        profile.legend(loc="upper right", fontsize=7, frameon=False, ncol=3)
        finite = values[np.isfinite(values)]
        top = max(1.0, float(finite.max()) * 1.05) if finite.size else 1.0
        profile.set_ylim(0, top * 1.15)  # room for the legend
        profile.set_yticks(np.arange(0, top + 1e-9, _EXPOSED))  # the guide's value is a labelled tick
        profile.set_xlim(-0.5, count - 0.5)
        profile.set_ylabel("relative\naccessibility", fontsize=8)
        profile.tick_params(labelsize=8)
        ticks = regular_ticks(count, columns["seq_id"][rows], columns["insertion_code"][rows], MaxNLocator)
        profile.set_xticks(ticks, labels[ticks])
        if number == len(drawn) - 1:
            profile.set_xlabel("residue number")

    figure.legend(handles=[Patch(color=colour, label=f"{code if code != ' ' else 'blank'}  {label}")
                           for code, (label, colour) in CODE_STYLES.items()],
                  loc="outside upper center", ncol=len(CODE_STYLES), frameon=False, fontsize=8,
                  handlelength=1.2, columnspacing=1.0)
    save(figure, path, dpi)


def save(figure: Any, path: str | os.PathLike[str], dpi: int) -> None:
    """Writes a figure to `path` (its suffix names the format) whole or not at all, as every output
    file is written; a failed write is an OutputError."""
    placed = PlacedFile(path)
    try:
        figure.savefig(placed.file, format=os.path.splitext(os.fspath(path))[1].lstrip(".").lower(), dpi=dpi)
    except OSError as exc:
        placed.discard()
        raise OutputError(f"cannot write {os.fspath(path)}: {exc.strerror or exc}") from exc
    except BaseException:
        placed.discard()
        raise
    placed.commit()
