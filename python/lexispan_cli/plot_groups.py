"""What the plots draw for corpora with structure: the parts of each group
shaded in the dispersion plot, the bootstrap interval of the named words in
the frequency scatter."""

from __future__ import annotations

import argparse
from typing import Any

import numpy as np

from lexispan_cli.corpus import Corpus
from lexispan_cli.groups import intervals


def short(name: str, width: int = 18) -> str:
    return name if len(name) <= width else name[: width - 1] + "\u2026"


def shade_groups(axes: Any, corpus: Corpus, groups: list[str]) -> None:
    """Shades the stretch of every part by its group, a legend naming them."""
    from matplotlib.patches import Patch

    matrix = corpus.matrix
    assert matrix.token_ids is not None and matrix.part_starts is not None
    starts = matrix.part_starts.tolist()
    ends = [*starts[1:], int(matrix.token_ids.size)]
    order = list(dict.fromkeys(groups))
    palette = ["#f4d03f", "#76d7c4", "#f1948a", "#bb8fce", "#85c1e9", "#f0b27a", "#82e0aa",
               "#d7dbdd"]
    colours = {group: palette[i % len(palette)] for i, group in enumerate(order)}
    first = 0
    for p in range(1, len(starts) + 1):
        # Neighbouring parts of one group make one stretch.
        if p == len(starts) or groups[p] != groups[first]:
            axes.axvspan(starts[first], ends[p - 1], color=colours[groups[first]], alpha=0.35,
                         linewidth=0, zorder=0)
            first = p
    handles = [Patch(color=colours[group], alpha=0.5, label=short(group)) for group in order]
    axes.legend(handles=handles, title="groups", loc="upper left", bbox_to_anchor=(1.01, 1.0),
                fontsize=8, title_fontsize=8, frameon=False)


def draw_intervals(axes: Any, corpus: Corpus, args: argparse.Namespace, measure: str,
                   rows: np.ndarray, frequency: np.ndarray, progress: bool) -> None:
    """The bootstrap interval of `measure` for the words at `rows`, over
    replicates of the parts (as the points are: groups would ask for the
    value across them instead)."""
    limits = intervals(corpus, args, [measure], None, progress, words=rows)
    lower, upper = limits[f"{measure}_low"], limits[f"{measure}_high"]
    drawn = np.isfinite(lower) & np.isfinite(upper)
    x = frequency[rows][drawn]
    axes.vlines(x, lower[drawn], upper[drawn], color="#c0392b", linewidth=0.9, zorder=3,
                label=f"{args.level:.0%} bootstrap interval ({args.bootstrap} replicates "
                      f"of the parts)")
    for ends in (lower[drawn], upper[drawn]):
        axes.plot(x, ends, marker="_", markersize=6, color="#c0392b", linestyle="none",
                  zorder=3)
    axes.legend(loc="upper right", fontsize=8, frameon=False)
