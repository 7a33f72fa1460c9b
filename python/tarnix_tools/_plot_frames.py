"""A picture of many frames: the codes of every residue over time, and beside it each residue's
share of frames in each code."""

from __future__ import annotations

from typing import Any

import numpy as np

from tarnix_tools._checks import frame_cells, picture_size
from tarnix_tools._extras import require
from tarnix_tools._frames import Frames
from tarnix_tools._plot import CODE_STYLES, save


def draw_frames(result: Frames, name: str, path: str, axis: str = "frame", dpi: int = 110) -> None:
    """Save the picture of ``result`` to ``path`` (.png, .svg or .pdf). ``axis`` names what a
    frame is ("frame" or "model"); the time in ns is used instead when every frame has one.
    Raises TooLarge (of _checks), before drawing, for more than MAX_CELLS frames x residues or
    MAX_PIXELS pixels."""
    require("matplotlib", "plot")
    from matplotlib.colors import ListedColormap  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.figure import Figure  # type: ignore[import-not-found, unused-ignore]
    from matplotlib.patches import Patch  # type: ignore[import-not-found, unused-ignore]

    codes = np.array([code.encode() for code in CODE_STYLES])
    colours = [colour for _, colour in CODE_STYLES.values()]
    count, length = result.codes.shape
    frame_cells(name, count, length, axis)
    height = min(max(4.0, 2.0 + length / 40), 14.0)
    picture_size(12.0, height, dpi)
    index = np.full(result.codes.shape, len(codes) - 1, dtype=np.int8)
    for k, code in enumerate(codes):
        index[result.codes == code] = k

    timed = count > 1 and bool(np.isfinite(result.time).all())
    if timed:
        first, last = float(result.time[0]) / 1000, float(result.time[-1]) / 1000
        step = (last - first) / (count - 1)
        extent = (first - step / 2, last + step / 2, -0.5, length - 0.5)
        label = "time (ns)"
    else:
        extent = (float(result.frame[0]) - 0.5, float(result.frame[-1]) + 0.5, -0.5, length - 0.5)
        label = axis

    figure = Figure(figsize=(12.0, height), layout="constrained")
    grid = figure.add_gridspec(1, 2, width_ratios=[5, 1])
    timeline = figure.add_subplot(grid[0])
    # Averaged in colour, not in code: a column of many frames shows the mix of its colours.
    timeline.imshow(index.T, aspect="auto", cmap=ListedColormap(colours), vmin=-0.5, vmax=len(codes) - 0.5,
                    interpolation="antialiased", interpolation_stage="rgba", extent=extent, origin="lower")
    timeline.set_xlabel(label)
    timeline.set_ylabel("residue")
    _residue_ticks(timeline, result)
    timeline.set_title(f"{name}: {count:,} {axis}s, {length:,} residues", loc="left", fontsize=10)

    shares = figure.add_subplot(grid[1], sharey=timeline)
    left = np.zeros(length)
    positions = np.arange(length)
    for k, colour in enumerate(colours):
        share = (index == k).mean(axis=0) if count else np.zeros(length)
        shares.barh(positions, share, left=left, height=1.0, color=colour, linewidth=0)
        left += share
    shares.set_xlim(0, 1)
    shares.set_ylim(-0.5, length - 0.5)
    shares.set_xlabel(f"share of {axis}s")
    shares.tick_params(labelleft=False)
    figure.legend(handles=[Patch(color=colour, label=label) for label, colour in CODE_STYLES.values()],
                  loc="outside upper center", ncol=len(CODE_STYLES), frameon=False, fontsize=9)
    save(figure, path, dpi=dpi)


def _residue_ticks(axes: Any, result: Frames) -> None:
    """About a dozen residue numbers, with the chain where there are several; a line between chains."""
    chains = result.chain_id
    length = len(chains)
    several = len(set(chains.tolist())) > 1
    step = max(1, int(np.ceil(length / 12)))
    ticks = np.arange(0, length, step)
    labels = [f"{chains[i]}:{result.seq_id[i]}" if several else str(result.seq_id[i]) for i in ticks]
    axes.set_yticks(ticks, labels, fontsize=8)
    for boundary in np.flatnonzero(chains[1:] != chains[:-1]):
        axes.axhline(boundary + 0.5, color="black", linewidth=0.6)
