"""``lexispan plot keyness``: the words of two corpora, Log Ratio across and text
dispersion keyness up, the most characteristic words of each side named."""

from __future__ import annotations

import argparse
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from lexispan_cli import options
from lexispan_cli.errors import PROG, guarded
from lexispan_cli.keyness import add_corpora, compare_corpora, read_both
from lexispan_cli.plot import (DPI, SCATTER_SIZE, input_name, picture_format, place_labels,
                               save, start_matplotlib)
from lexispan_cli.output_files import Output

DESCRIPTION = """\
Draw the words of a target corpus against a reference corpus (each as for
'lexispan keyness'): Log Ratio across (how much more frequent, in powers of 2),
text dispersion keyness up (signed G2 on the numbers of parts containing the
word), the --label most characteristic words of each side named."""

COLUMNS = ["log_ratio", "text_dispersion_keyness", "target_frequency", "reference_frequency"]
SIDES = (("#1f5fa8", "in more of the target's parts"), ("#d9822b", "in more of the reference's"),
         ("#999999", "in as many"))


def build_parser() -> argparse.ArgumentParser:
    parser = options.Parser(prog=f"{PROG} plot keyness", description=DESCRIPTION,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    add_corpora(parser)
    parser.add_argument("-o", "--output", metavar="FILE", type=Path, required=True,
                        help="the picture: .png, .svg or .pdf")
    parser.add_argument("--label", metavar="N", type=options.count, default=10,
                        help="name the N words of highest keyness on each side (default: 10)")
    parser.add_argument("--title", metavar="TEXT",
                        help="title (default: the inputs' names)")
    options.add_progress_option(parser)
    options.add_input_options(parser, total=False)
    return parser


def main(argv: Sequence[str]) -> int:
    args = build_parser().parse_args(list(argv))
    return guarded(_run, args)


def _run(args: argparse.Namespace) -> None:
    fmt = picture_format(args.output)
    start_matplotlib()
    target = Output(args.output, binary=True)
    try:
        corpora = read_both(args)
        comparison = compare_corpora(args, *corpora, COLUMNS)
        title = args.title or f"{input_name(args.target)} against {input_name(args.reference)}"
        parts = (comparison.target.parts, comparison.reference.parts)
        figure = keyness_plot(comparison.labels, comparison.columns, args.label, title, parts)
        save(figure, target, fmt)
    finally:
        target.discard()


def keyness_plot(words: list[str], columns: dict[str, np.ndarray], label: int, title: str,
                 parts: tuple[int, int]) -> Any:
    from matplotlib.figure import Figure

    x, y = columns["log_ratio"], columns["text_dispersion_keyness"]
    frequency = columns["target_frequency"] + columns["reference_frequency"]
    figure = Figure(figsize=SCATTER_SIZE, dpi=DPI, layout="constrained")
    axes = figure.add_subplot()
    alpha = float(min(0.7, max(0.1, 300.0 / max(1, x.size) ** 0.75)))
    for (color, name), side in zip(SIDES, (y > 0, y < 0, y == 0)):
        axes.scatter(x[side], y[side], s=9, alpha=alpha, linewidths=0, color=color,
                     label=name, rasterized=x.size > 2000)
    axes.axhline(0.0, color="#999999", linewidth=0.6)
    axes.axvline(0.0, color="#999999", linewidth=0.6)
    axes.set_xlabel("Log Ratio: log2 of (relative frequency in the target / in the reference)")
    axes.set_ylabel("text dispersion keyness (signed G2 on parts containing the word)")
    axes.set_title(f"{title}: {x.size:,} words, {parts[0]:,} target and {parts[1]:,} "
                   f"reference parts", fontsize=11)
    axes.grid(True, color="#dddddd", linewidth=0.6)
    axes.set_axisbelow(True)
    axes.legend(loc="upper left", fontsize=8.5, frameon=False)
    if x.size:
        # Room beyond the extreme points for their labels.
        low, high = float(y.min()), float(y.max())
        span = max(high - low, 1.0)
        axes.set_ylim(low - 0.08 * span, high + 0.12 * span)
    place_labels(figure, axes, [(words[i], float(x[i]), float(y[i]))
                                for i in _named(y, frequency, label)])
    return figure


def _named(keyness: np.ndarray, frequency: np.ndarray, label: int) -> list[int]:
    """The `label` words of highest keyness on each side (ties: the more
    frequent), taken in turn from each side so that both get room."""
    target = [int(i) for i in np.lexsort((-frequency, -keyness))[:label] if keyness[i] > 0]
    reference = [int(i) for i in np.lexsort((-frequency, keyness))[:label] if keyness[i] < 0]
    return [side[k] for k in range(label) for side in (target, reference) if k < len(side)]
