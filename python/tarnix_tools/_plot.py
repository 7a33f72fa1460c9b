"""A picture of one structure: per chain, the eight-state codes above the relative accessibility."""

import numpy as np

from ._extras import require

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
_TRACK_HEIGHT = 0.45
_PROFILE_HEIGHT = 1.1
_CHAIN_GAP = 0.55


def chain_slices(chain_ids):
    """(chain id, slice) per run of equal chain ids, in order."""
    starts = np.flatnonzero(np.r_[True, chain_ids[1:] != chain_ids[:-1]]) if len(chain_ids) else []
    ends = list(starts[1:]) + [len(chain_ids)]
    return [(str(chain_ids[s]), slice(s, e)) for s, e in zip(starts, ends)]


def _round_numbered(seq_ids, insertion_codes, locator):
    """Positions of the residues whose numbers are multiples of a round step (about a dozen)."""
    values = locator(nbins=12, steps=[1, 2, 2.5, 5, 10], integer=True).tick_values(
        int(seq_ids.min()), int(seq_ids.max()))
    step = max(int(round(values[1] - values[0])), 1) if len(values) > 1 else 1
    return np.flatnonzero((seq_ids % step == 0) & (insertion_codes == ""))


def draw(residues, name, path, chain=None):
    """Save the picture of one structure's residue table to `path` (.png, .svg or .pdf)."""
    require("matplotlib", "plot")
    from matplotlib.colors import ListedColormap
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch
    from matplotlib.ticker import MaxNLocator

    columns = residues.columns
    panels = [(c, s) for c, s in chain_slices(columns["chain_id"]) if chain is None or c == chain]
    codes = np.array(list(CODE_STYLES))
    colormap = ListedColormap([colour for _, colour in CODE_STYLES.values()])
    widest = max(s.stop - s.start for _, s in panels)
    height = 0.9 + len(panels) * (_TRACK_HEIGHT + _PROFILE_HEIGHT + _CHAIN_GAP)
    figure = Figure(figsize=(min(max(10.0, 6 + widest / 120), 22.0), height), layout="constrained")
    grid = figure.add_gridspec(2 * len(panels), 1, height_ratios=[_TRACK_HEIGHT, _PROFILE_HEIGHT] * len(panels))

    for number, (chain_id, rows) in enumerate(panels):
        count = rows.stop - rows.start
        labels = np.char.add(columns["seq_id"][rows].astype(str), columns["insertion_code"][rows])
        index = (columns["structure"][rows][:, None] == codes[None, :]).argmax(axis=1)

        track = figure.add_subplot(grid[2 * number])
        track.imshow(index[None, :], aspect="auto", cmap=colormap, vmin=-0.5, vmax=len(codes) - 0.5,
                     interpolation="nearest", extent=(-0.5, count - 0.5, 0, 1))
        track.set_yticks([])
        track.tick_params(labelbottom=False)
        track.set_title(f"{name}, chain {chain_id or repr(chain_id)} ({count} residues)", loc="left",
                        fontsize=10)

        profile = figure.add_subplot(grid[2 * number + 1], sharex=track)
        rsa = columns["rsa"][rows]
        positions = np.arange(count)
        profile.fill_between(positions, rsa, step="mid", color="#4a6fa5", alpha=0.35, linewidth=0)
        profile.step(positions, rsa, where="mid", color="#2b4c7e", linewidth=0.7)
        profile.axhline(_EXPOSED, color="#888888", linewidth=0.6, linestyle=":")
        top = np.nanmax(rsa) if np.isfinite(rsa).any() else 1.0
        profile.set_ylim(0, max(1.0, float(top) * 1.05))
        profile.set_xlim(-0.5, count - 0.5)
        profile.set_ylabel("relative\naccessibility", fontsize=8)
        profile.tick_params(labelsize=8)
        ticks = _round_numbered(columns["seq_id"][rows], columns["insertion_code"][rows], MaxNLocator)
        profile.set_xticks(ticks, labels[ticks])
        if number == len(panels) - 1:
            profile.set_xlabel("residue number")

    figure.legend(handles=[Patch(color=colour, label=label) for label, colour in CODE_STYLES.values()],
                  loc="outside upper center", ncol=len(CODE_STYLES), frameon=False, fontsize=9)
    figure.savefig(path, dpi=110)
