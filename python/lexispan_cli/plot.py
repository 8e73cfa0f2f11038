"""``lexispan plot``: frequency against a dispersion measure for every word, or
where chosen words occur along the corpus (a dispersion plot)."""

from __future__ import annotations

import argparse
import math
from collections.abc import Sequence
from pathlib import Path
from typing import Any

import numpy as np

from lexispan_table import MEASURE_NAMES, MEASURES

from lexispan_cli import options
from lexispan_cli.corpus import Corpus, is_text_input, read
from lexispan_cli.counts import compute
from lexispan_cli.errors import PROG, InputError, UsageError, guarded, need, warn
from lexispan_cli.groups import intervals, part_groups
from lexispan_cli.output_files import Output

IMAGE_FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
DPI = 150
SCATTER_SIZE = (10.0, 6.5)     # inches: 1500 x 975 pixels at DPI
ROW_HEIGHT = 0.5               # inches per word of a dispersion plot
FRAME_HEIGHT = 1.6             # title, axis and margins of a dispersion plot

DESCRIPTION = """\
Draw the words of a corpus (INPUT as for 'lexispan').

Without --words: every word as a point, its frequency (log scale) across and
the --measure up, the --label most frequent words named.
--bootstrap B --seed S draws the bootstrap interval at --level of each named
word, over replicates of the parts.
With --words w1,w2,...: for a folder of texts (or --text), one row per word
and a tick where it occurs along the corpus, the files in order, their
boundaries marked; the parts of each group shaded alike with --groups or
--groups-from-folders.

'lexispan plot keyness TARGET REFERENCE -o FILE' draws the words of two
corpora by Log Ratio and text dispersion keyness ('lexispan plot keyness
--help')."""


def build_parser() -> argparse.ArgumentParser:
    parser = options.Parser(prog=f"{PROG} plot", description=DESCRIPTION,
                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input", metavar="INPUT", type=Path,
                        help="folder of text files, a table, or - for standard input")
    parser.add_argument("-o", "--output", metavar="FILE", type=Path, required=True,
                        help="the picture: .png, .svg or .pdf")
    parser.add_argument("--measure", metavar="NAME", default="dp",
                        choices=[name for name in MEASURE_NAMES if name != "frequency"],
                        help="the measure drawn against frequency (default: dp)")
    parser.add_argument("--label", metavar="N", type=options.count, default=15,
                        help="name the N most frequent words (default: 15)")
    parser.add_argument("--words", metavar="W1,W2,...",
                        help="draw where these words occur instead (text input)")
    options.add_da_option(parser)
    parser.add_argument("--title", metavar="TEXT", help="title (default: the input's name)")
    options.add_progress_option(parser)
    options.add_structure_options(parser, "draw the bootstrap interval of each named word "
                                          "over B replicates (with --seed)")
    options.add_input_options(parser)
    return parser


def main(argv: Sequence[str]) -> int:
    args = build_parser().parse_args(list(argv))
    return guarded(_run, args)


def picture_format(output: Path) -> str:
    fmt = IMAGE_FORMATS.get(output.suffix.lower())
    if fmt is None:
        raise UsageError(f"{output}: the picture must end in .png, .svg or .pdf")
    return fmt


def start_matplotlib() -> None:
    matplotlib: Any = need("matplotlib", "plot", f"{PROG} plot")
    matplotlib.use("Agg")


def save(figure: Any, target: Output, fmt: str) -> None:
    """Writes the picture beside its file and puts it in place."""
    assert target.path is not None
    try:
        figure.savefig(target.binary(), format=fmt, dpi=DPI)
    except OSError as exc:
        raise InputError(target.path, f"cannot write: {exc.strerror or exc}") from None
    target.commit()


def _run(args: argparse.Namespace) -> None:
    options.check_structure(args)
    output: Path = args.output
    fmt = picture_format(output)
    words = None
    if args.words is not None:
        words = [w.strip() for w in args.words.split(",") if w.strip()]
        if not words:
            raise UsageError("--words needs at least one word")
    start_matplotlib()
    chosen = options.read_options(args, positions=words is not None)
    if words is not None and not is_text_input(args.input, chosen):
        raise UsageError("--words needs text input (a folder, or --text)")
    target = Output(output, binary=True)
    try:
        corpus = read(args.input, chosen, args.total)
        title = args.title or input_name(args.input)
        groups = part_groups(args, corpus)
        if words is None:
            figure = _frequency_plot(corpus, args, chosen.progress, title)
        else:
            folded = words if args.keep_case else [w.casefold() for w in words]
            figure = _dispersion_plot(corpus, words, folded, title)
            if groups is not None:
                shade_groups(figure.axes[0], corpus, groups)
        save(figure, target, fmt)
    finally:
        target.discard()


def input_name(source: Path) -> str:
    return "standard input" if str(source) == "-" else source.resolve().name or str(source)


def _frequency_plot(corpus: Corpus, args: argparse.Namespace, progress: bool,
                    title: str) -> Any:
    from matplotlib.figure import Figure

    measure, label = args.measure, args.label
    columns = compute(corpus.matrix, corpus.sizes, corpus.total, [measure], args.da, progress)
    frequency = columns["frequency"]
    values = columns[measure].astype(np.float64)
    shown = (frequency > 0) & np.isfinite(values)
    figure = Figure(figsize=SCATTER_SIZE, dpi=DPI, layout="constrained")
    axes = figure.add_subplot()
    x, y = frequency[shown], values[shown]
    # Many words share a point at low frequencies; transparency shows where.
    alpha = float(min(0.6, max(0.08, 300.0 / max(1, x.size) ** 0.75)))
    axes.scatter(x, y, s=9, alpha=alpha, linewidths=0, color="#1f5fa8", rasterized=x.size > 2000)
    axes.set_xscale("log")
    axes.set_xlabel("frequency (log scale)")
    axes.set_ylabel(_measure_title(measure))
    axes.set_title(f"{title}: {x.size:,} words, {len(corpus.matrix.part_names):,} parts",
                   fontsize=11)
    axes.grid(True, which="major", color="#dddddd", linewidth=0.6)
    axes.set_axisbelow(True)
    if x.size:
        low, high = float(x.min()), float(x.max())
        axes.set_xlim(low / 1.3, high * 2.2)  # room for the labels of the top words
    words = corpus.matrix.words
    candidates = np.flatnonzero(shown)
    top = candidates[np.lexsort((-values[candidates], -frequency[candidates]))][:label]
    if args.bootstrap and top.size:
        # Over the parts, as the points are: groups would ask for the value
        # across them instead.
        limits = intervals(corpus, args, [measure], None, progress, words=top)
        lower, upper = limits[f"{measure}_low"], limits[f"{measure}_high"]
        drawn = np.isfinite(lower) & np.isfinite(upper)
        x = frequency[top][drawn]
        axes.vlines(x, lower[drawn], upper[drawn], color="#c0392b", linewidth=0.9, zorder=3,
                    label=f"{args.level:.0%} bootstrap interval ({args.bootstrap} replicates "
                          f"of the parts)")
        for ends in (lower[drawn], upper[drawn]):
            axes.plot(x, ends, marker="_", markersize=6, color="#c0392b", linestyle="none",
                      zorder=3)
        axes.legend(loc="upper right", fontsize=8, frameon=False)
    place_labels(figure, axes, [(words[i], float(frequency[i]), float(values[i])) for i in top])
    return figure


def _measure_title(measure: str) -> str:
    for item in MEASURES:
        if item.name == measure:
            return f"{item.title} ({measure})" if item.title != measure else measure
    return measure


def place_labels(figure: Any, axes: Any, points: list[tuple[str, float, float]]) -> None:
    """Names points, each label at the first of a few offsets around its point
    where it overlaps neither another label nor the frame; most frequent first."""
    if not points:
        return
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.text import Text
    from matplotlib.transforms import Bbox

    canvas: Any = FigureCanvasAgg(figure)
    renderer = canvas.get_renderer()
    figure.draw_without_rendering()  # settle the layout, so display positions are final
    frame = axes.get_window_extent(renderer)
    # The highlighted points are obstacles too, so that no label covers one.
    xs = [x for _, x, _ in points]
    ys = [y for _, _, y in points]
    axes.plot(xs, ys, marker="o", markersize=3.5, color="#c0392b", linestyle="none")
    radius = 3.5 / 72 * figure.dpi
    taken: list[Any] = [Bbox.from_extents(px - radius, py - radius, px + radius, py + radius)
                        for px, py in axes.transData.transform(list(zip(xs, ys)))]
    # Near the point first, then further out (with a leader line) above and below.
    offsets = [(6, 4), (6, -12), (-6, 4), (-6, -12), (6, 14), (6, -22), (-6, 14), (-6, -22),
               (14, -4), (-14, -4)]
    offsets += [(dx, dy) for step in (26, 38, 50, 62) for dy in (step, -step - 8)
                for dx in (8, -8)]
    pad = 2.0 / 72 * figure.dpi
    for word, x, y in points:
        for dx, dy in offsets:
            text = axes.annotate(word, (x, y), xytext=(dx, dy), textcoords="offset points",
                                 ha="left" if dx >= 0 else "right", va="bottom", fontsize=8.5,
                                 color="#222222",
                                 arrowprops=dict(arrowstyle="-", color="#999999", lw=0.5,
                                                 shrinkA=0, shrinkB=2))
            # The text alone: an annotation's own extent spans its leader line too.
            text.update_positions(renderer)
            box = Text.get_window_extent(text, renderer).padded(pad)
            inside = (box.x0 >= frame.x0 and box.x1 <= frame.x1 and box.y0 >= frame.y0
                      and box.y1 <= frame.y1)
            if inside and not any(box.overlaps(other) for other in taken):
                taken.append(box)
                break
            text.remove()


def shade_groups(axes: Any, corpus: Corpus, groups: list[str]) -> None:
    """Shades the stretch of every part by its group, a legend naming them."""
    from matplotlib.patches import Patch

    starts = corpus.part_starts
    ends = [*starts[1:], int(corpus.token_ids.size) if corpus.token_ids is not None else 0]
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
    handles = [Patch(color=colours[group], alpha=0.5, label=_short(group)) for group in order]
    axes.legend(handles=handles, title="groups", loc="upper left", bbox_to_anchor=(1.01, 1.0),
                fontsize=8, title_fontsize=8, frameon=False)


def _short(name: str, width: int = 18) -> str:
    return name if len(name) <= width else name[: width - 1] + "\u2026"


def _dispersion_plot(corpus: Corpus, words: list[str], folded: list[str], title: str) -> Any:
    from matplotlib.figure import Figure

    assert corpus.token_ids is not None
    ids = corpus.token_ids
    vocabulary = {word: i for i, word in enumerate(corpus.matrix.words)}
    length = int(ids.size)
    rows: list[tuple[str, np.ndarray]] = []
    for shown, word in zip(words, folded):
        index = vocabulary.get(word)
        if index is None:
            warn(f"{word!r} does not occur in the corpus")
            rows.append((shown, np.zeros(0)))
        else:
            rows.append((shown, np.flatnonzero(ids == index)))
    height = FRAME_HEIGHT + ROW_HEIGHT * len(words)
    figure = Figure(figsize=(SCATTER_SIZE[0], height), dpi=DPI, layout="constrained")
    axes = figure.add_subplot()
    starts = corpus.part_starts
    parts = len(starts)
    # Part boundaries: every one when they are few enough to tell apart.
    if 1 < parts <= 400:
        axes.vlines(starts[1:], -0.5, len(words) - 0.5, color="#888888", linewidth=0.8,
                    linestyles="dashed", zorder=1)
    elif parts > 400:
        step = math.ceil(parts / 200)
        axes.vlines(starts[step::step], -0.5, len(words) - 0.5, color="#dddddd",
                    linewidth=0.5, zorder=1)
    for row, (_, found) in enumerate(rows):
        y = len(words) - 1 - row
        axes.vlines(found, y - 0.38, y + 0.38, color="#1f5fa8", linewidth=0.7, zorder=2)
    axes.set_yticks(range(len(words)))
    axes.set_yticklabels([f"{w} ({len(f):,})" for w, f in reversed(rows)])
    axes.set_ylim(-0.5, len(words) - 0.5)
    axes.set_xlim(0, max(1, length))
    axes.xaxis.set_major_formatter(lambda x, _: f"{x:,.0f}")
    axes.set_xlabel(f"token position in the corpus ({length:,} tokens, {parts:,} parts"
                    + (", every boundary marked)" if parts <= 400 else
                       f", every {math.ceil(parts / 200)}th boundary marked)"))
    if 1 < parts <= 12:
        # Few parts: name each over its stretch, where the name fits in it.
        ends = [*starts[1:], length]
        width = 0.85 * SCATTER_SIZE[0] * 72  # axis width in points, about
        marks = [((a + b) / 2, _short(Path(name).stem))
                 for a, b, name in zip(starts, ends, corpus.matrix.part_names)
                 if (b - a) / max(1, length) * width >= 5.0 * len(_short(Path(name).stem))]
        top = axes.secondary_xaxis("top")
        top.set_xticks([x for x, _ in marks], labels=[label for _, label in marks],
                       fontsize=7.5)
        top.tick_params(length=0)
    axes.set_title(f"{title}: where the words occur", fontsize=11)
    for side in ("top", "right"):
        axes.spines[side].set_visible(False)
    return figure
