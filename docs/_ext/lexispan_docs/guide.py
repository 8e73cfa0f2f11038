"""The figures and tables of "Which measure to use", from the King James Bible
(kjv.py), drawn while the site is built. Each figure function returns a
matplotlib figure for ``.. lexispan-figure::``; the table functions return
DataFrames for the page's examples."""

from __future__ import annotations

from typing import Any

import numpy as np
import pandas as pd

from .kjv import ADJUSTED, COMPARED, LEVELS, bible, measures, positions

TITLES = {"juilland_d": "Juilland's D", "carroll_d2": "Carroll's D2",
          "roschengren_s_adj": "Rosengren's S", "dp": "DP", "dp_norm": "DPnorm",
          "kl_divergence": "KL divergence (bits)", "evenness_da": "DA",
          "juilland_d_eq": "D for equal parts", "arf": "ARF"}
BANDS = ((10, 100, "f 10-99"), (100, 1000, "f 100-999"), (1000, np.inf, "f 1,000 and more"))
COLOURS = ("#4c72b0", "#dd8452", "#55a868")


def _pyplot() -> Any:
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib import pyplot
    return pyplot


def parts() -> dict[str, int]:
    return {level: bible().counts(level)[0].shape[1] for level in LEVELS}


def _title(name: str) -> str:
    return TITLES.get(name, name)


def level_table(min_frequency: int = 100) -> pd.DataFrame:
    """Median of each measure over the words of frequency >= `min_frequency`,
    one column per division into parts."""
    rows = {}
    for level, n in parts().items():
        table = measures(level)
        keep = table["frequency"] >= min_frequency
        rows[f"{n:,} {level}s"] = {name: float(np.median(table[name][keep]))
                                   for name in COMPARED}
    return pd.DataFrame(rows).round(3)


def frequency_correlations() -> pd.DataFrame:
    """Spearman's rank correlation of each measure with frequency, words of
    frequency >= 5, one column per division into parts."""
    rows = {}
    for level, n in parts().items():
        table = pd.DataFrame(measures(level))
        table = table[table["frequency"] >= 5]
        names = [*COMPARED, *ADJUSTED]
        ranks = table[["frequency", *names]].rank()
        rows[f"{n:,} {level}s"] = ranks.corr().loc["frequency", names]
    return pd.DataFrame(rows).round(2)


def parts_growth() -> Any:
    pyplot = _pyplot()
    figure, axes = pyplot.subplots(2, 4, figsize=(12, 5.6), layout="constrained")
    counts = parts()
    x = [counts[level] for level in LEVELS]
    for ax, name in zip(axes.flat, COMPARED):
        for (low, high, label), colour in zip(BANDS, COLOURS):
            quartiles = []
            for level in LEVELS:
                table = measures(level)
                keep = (table["frequency"] >= low) & (table["frequency"] < high)
                quartiles.append(np.percentile(table[name][keep], [25, 50, 75]))
            q = np.array(quartiles)
            ax.fill_between(x, q[:, 0], q[:, 2], color=colour, alpha=0.18, linewidth=0)
            ax.plot(x, q[:, 1], marker="o", color=colour, label=label)
        ax.set_xscale("log")
        ax.set_xticks(x, [f"{n:,}" for n in x])
        ax.minorticks_off()
        ax.set_title(_title(name))
    legend = axes.flat[-1]
    legend.axis("off")
    legend.legend(*axes.flat[0].get_legend_handles_labels(), loc="center",
                  title="median and quartiles of\nthe words of frequency")
    figure.supxlabel("number of parts: books, chapters, verses (log scale)")
    return figure


def _binned_median(frequency: np.ndarray, values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    edges = np.logspace(0, np.log10(frequency.max()) + 0.01, 25)
    which = np.digitize(frequency, edges)
    centres, medians = [], []
    for b in np.unique(which):
        inside = which == b
        if inside.sum() >= 5:
            centres.append(np.exp(np.mean(np.log(frequency[inside]))))
            medians.append(np.median(values[inside]))
    return np.array(centres), np.array(medians)


def frequency_confound() -> Any:
    pyplot = _pyplot()
    names = ["dp", "evenness_da", "juilland_d", "roschengren_s_adj", *ADJUSTED]
    columns = min(len(names), 4)
    rows = -(-len(names) // columns)
    figure, axes = pyplot.subplots(rows, columns, figsize=(12, 3.4 * rows), sharex=True,
                                   layout="constrained", squeeze=False)
    table = measures("chapter")
    frequency = table["frequency"]
    for ax, name in zip(axes.flat, names):
        ax.scatter(frequency, table[name], s=2, alpha=0.15, color="#4c72b0", rasterized=True)
        centres, medians = _binned_median(frequency, table[name])
        ax.plot(centres, medians, color="#c44e52", linewidth=2, label="median")
        ax.set_xscale("log")
        ax.set_title(_title(name))
        ax.set_xlabel("frequency (log scale)")
    for ax in axes.flat[len(names):]:
        ax.axis("off")
    axes.flat[0].legend(loc="upper right")
    return figure


def da_dp_d() -> Any:
    pyplot = _pyplot()
    figure, axes = pyplot.subplots(2, 3, figsize=(12, 7.2), layout="constrained")
    for column, level in enumerate(LEVELS):
        table = measures(level)
        keep = table["frequency"] >= 5
        colour = np.log10(table["frequency"][keep])
        for row, other in enumerate(("evenness_da", "juilland_d")):
            ax = axes[row, column]
            points = ax.scatter(table["dp"][keep], table[other][keep], c=colour, s=3,
                                cmap="viridis", alpha=0.6, rasterized=True)
            ax.set_xlim(0, 1)
            ax.set_ylim(-0.02, 1.02)
            ax.set_xlabel("DP")
            ax.set_ylabel(_title(other))
            if row == 0:
                ax.set_title(f"{table['frequency'].size:,} words, {parts()[level]:,} {level}s")
    figure.colorbar(points, ax=axes, label="log10 frequency", shrink=0.6)
    return figure


def unequal_parts() -> Any:
    pyplot = _pyplot()
    figure, (sizes_ax, dp_ax) = pyplot.subplots(1, 2, figsize=(12, 4.6), layout="constrained",
                                                width_ratios=(1, 1.3))
    sizes = bible().counts("book")[1]
    order = np.argsort(sizes)[::-1]
    sizes_ax.bar(np.arange(sizes.size), sizes[order], color="#4c72b0")
    sizes_ax.set_yscale("log")
    sizes_ax.set_xlabel("the 66 books, largest first")
    sizes_ax.set_ylabel("tokens (log scale)")
    for rank in (0, sizes.size - 1):
        book = bible().books[order[rank]]
        sizes_ax.annotate(f"{book}: {sizes[order[rank]]:,.0f}", (rank, sizes[order[rank]]),
                          xytext=(0, 6), textcoords="offset points",
                          ha="left" if rank == 0 else "right", fontsize=9)
    real, equal = measures("book"), measures("book", equal_sizes=True)
    keep = real["frequency"] >= 20
    points = dp_ax.scatter(real["dp"][keep], equal["dp"][keep], s=3, alpha=0.4,
                           c=np.log10(real["frequency"][keep]), cmap="viridis", rasterized=True)
    figure.colorbar(points, ax=dp_ax, label="log10 frequency", shrink=0.8)
    dp_ax.plot([0, 1], [0, 1], color="#888888", linewidth=1)
    dp_ax.set_xlabel("DP with the books' sizes")
    dp_ax.set_ylabel("DP if every book had the same size")
    words = np.array(bible().words)
    for word in ("the", "and", "lord", "selah", "begat"):
        row = int(np.flatnonzero(words == word)[0])
        dp_ax.annotate(word, (real["dp"][row], equal["dp"][row]), xytext=(4, -10),
                       textcoords="offset points", fontsize=9)
    return figure


def clumped_words(low: int = 150, high: int = 250) -> pd.DataFrame:
    """Three words of similar frequency: the most clumped, a middling one and
    the most even by ARF / frequency, with their DP at every division."""
    words = np.array(bible().words)
    arf = positions()["arf"]
    frequency = measures("verse")["frequency"]
    candidates = np.flatnonzero((frequency >= low) & (frequency < high))
    ratio = arf[candidates] / frequency[candidates]
    picked = candidates[np.argsort(ratio)[[0, ratio.size // 2, -1]]]
    table = {"frequency": frequency[picked], "ARF": arf[picked],
             "ARF / f": arf[picked] / frequency[picked]}
    for level in LEVELS:
        table[f"DP ({level}s)"] = measures(level)["dp"][picked]
    return pd.DataFrame(table, index=words[picked]).round(3)


def positions_arf() -> Any:
    pyplot = _pyplot()
    figure, (strip_ax, scatter_ax) = pyplot.subplots(
        1, 2, figsize=(12, 4.2), layout="constrained", width_ratios=(1.5, 1))
    chosen = clumped_words()
    text = bible().tokens
    where = {word: [] for word in chosen.index}
    for position, token in enumerate(text):
        if token in where:
            where[token].append(position)
    for row, word in enumerate(chosen.index):
        strip_ax.vlines(where[word], row - 0.35, row + 0.35, linewidth=0.6, color="#4c72b0")
    strip_ax.set_yticks(range(len(chosen)), [f"{w} (ARF/f {r:.2f})"
                                             for w, r in zip(chosen.index, chosen["ARF / f"])])
    strip_ax.set_xlim(0, len(text))
    strip_ax.xaxis.set_major_formatter(lambda value, _: f"{value:,.0f}")
    strip_ax.set_xlabel("position in the text (tokens), Genesis to Revelation")
    strip_ax.invert_yaxis()
    table = measures("chapter")
    keep = table["frequency"] >= 20
    arf = positions()["arf"][keep] / table["frequency"][keep]
    scatter_ax.scatter(table["dp"][keep], arf, s=3, alpha=0.4, color="#4c72b0", rasterized=True)
    scatter_ax.set_xlabel("DP over chapters")
    scatter_ax.set_ylabel("ARF / frequency")
    return figure
