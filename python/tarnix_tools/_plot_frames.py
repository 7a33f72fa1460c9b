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


# Tick spacings in residues; a chain takes the smallest that leaves it at most TICKS_PER_CHAIN ticks.
TICK_STEPS = (1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000)
TICKS_PER_CHAIN = 8


def residue_ticks(chain_id: np.ndarray, seq_id: np.ndarray, insertion_code: np.ndarray) -> tuple[np.ndarray, list[str]]:
    """Tick rows and labels: in each chain (a run of one id), the residues numbered a round multiple
    chosen by the chain's length, without insertion code; the chain's first residue when none is.
    Labels carry the chain where there are several."""
    length = len(chain_id)
    several = len(set(chain_id.tolist())) > 1
    begins = np.concatenate(([0], np.flatnonzero(chain_id[1:] != chain_id[:-1]) + 1)).astype(np.intp)
    ends = np.append(begins[1:], length)
    rows: list[np.ndarray] = []
    for begin, end in zip(begins.tolist(), ends.tolist()):
        step = next((s for s in TICK_STEPS if (end - begin) / s <= TICKS_PER_CHAIN), TICK_STEPS[-1])
        mine = np.flatnonzero((seq_id[begin:end] % step == 0) & (insertion_code[begin:end] == "")) + begin
        rows.append(mine if len(mine) else np.array([begin], dtype=np.intp))
    ticks = np.concatenate(rows) if rows else np.zeros(0, dtype=np.intp)
    labels = [f"{chain_id[i]}:{seq_id[i]}" if several else str(seq_id[i]) for i in ticks.tolist()]
    return ticks, labels


def _residue_ticks(axes: Any, result: Frames) -> None:
    """Round residue numbers per chain; a line between chains."""
    chains = result.chain_id
    ticks, labels = residue_ticks(chains, result.seq_id, result.insertion_code)
    axes.set_yticks(ticks, labels, fontsize=8)
    for boundary in np.flatnonzero(chains[1:] != chains[:-1]):
        axes.axhline(boundary + 0.5, color="black", linewidth=0.6)
