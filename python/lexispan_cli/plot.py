"""``lexispan plot``: frequency against a dispersion measure for every word, or
where chosen words occur along the corpus (a dispersion plot)."""

from __future__ import annotations

import argparse
import math
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np

from lexispan_table import MEASURES, POSITION_MEASURES, POSITION_MEASURE_NAMES

from lexispan_cli import options
from lexispan_cli.corpus import Corpus, is_text_input, read
from lexispan_cli.counts import compute
from lexispan_cli.errors import PROG, InputError, UsageError, guarded, need, warn
from lexispan_cli.output_files import Output
from lexispan_cli.positions import position_columns

IMAGE_FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
DPI = 150
SCATTER_SIZE = (10.0, 6.5)     # inches: 1500 x 975 pixels at DPI
ROW_HEIGHT = 0.5               # inches per word of a dispersion plot
FRAME_HEIGHT = 1.6             # title, axis and margins of a dispersion plot
# Frequencies adjusted by dispersion: drawn on a log scale like the frequency.
ADJUSTED_FREQUENCIES = frozenset({"arf", "f_awt", "f_ald", "juilland_u", "carroll_um",
                                  "rosengren_kf", "engwall_fm"})
AXIS_WIDTH = 0.88 * SCATTER_SIZE[0] * 72  # points, about, of a dispersion plot's axis
PART_FONT = 7.5                # points: the part names over a dispersion plot

DESCRIPTION = """\
Draw the words of a corpus (INPUT as for 'lexispan').

Without --words: every word as a point, its frequency (log scale) across and
the --measure up, the --label most frequent words named.
With --words w1,w2,...: for a folder of texts (or --text), one row per word
and a tick where it occurs along the corpus, the files in order, their
boundaries marked.

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
    parser.add_argument("--measure", metavar="NAME", default="dp", type=options.measure,
                        help="the measure drawn against frequency: any measure of 'lexispan', "
                             "the distance-based ones with --positions (default: dp)")
    parser.add_argument("--positions", action="store_true",
                        help="compute the distance-based measures (arf, awt, ...) from where "
                             "each token occurs (text input only)")
    parser.add_argument("--label", metavar="N", type=options.count, default=15,
                        help="name the N most frequent words (default: 15)")
    parser.add_argument("--label-extremes", metavar="N", type=options.count, default=5,
                        help="name the N words whose value lies furthest above, and the N "
                             "furthest below, that of words of like frequency, among the most "
                             "frequent tenth of the words (default: 5)")
    parser.add_argument("--label-words", metavar="W1,W2,...",
                        help="name these words too")
    parser.add_argument("--words", metavar="W1,W2,...",
                        help="draw where these words occur instead (text input)")
    options.add_engine_options(parser)
    parser.add_argument("--title", metavar="TEXT", help="title (default: the input's name)")
    options.add_progress_option(parser)
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


def _word_list(text: str | None, option: str) -> list[str] | None:
    if text is None:
        return None
    words = [w.strip() for w in text.split(",") if w.strip()]
    if not words:
        raise UsageError(f"{option} needs at least one word")
    return words


def _run(args: argparse.Namespace) -> None:
    output: Path = args.output
    fmt = picture_format(output)
    words = _word_list(args.words, "--words")
    named = _word_list(args.label_words, "--label-words") or []
    if args.measure == "frequency":
        raise UsageError("--measure frequency: frequency is the horizontal axis; choose "
                         "another measure")
    by_positions = args.measure in POSITION_MEASURE_NAMES
    if by_positions and not args.positions:
        raise UsageError(f"{args.measure} is computed from token positions: add --positions")
    start_matplotlib()
    chosen = options.read_options(args, positions=words is not None or by_positions)
    if words is not None and not is_text_input(args.input, chosen):
        raise UsageError("--words needs text input (a folder, or --text)")
    if by_positions:
        if not is_text_input(args.input, chosen):
            raise UsageError("--positions needs text input (a folder, or --text)")
        need("pandas", "table", "--positions")
    target = Output(output, binary=True)
    try:
        corpus = read(args.input, chosen, args.total)
        title = args.title or input_name(args.input)
        fold = (lambda w: w) if args.keep_case else str.casefold
        if words is None:
            labels = Labels(args.label, args.label_extremes, named, [fold(w) for w in named])
            figure = _frequency_plot(corpus, args, labels, title)
        else:
            figure = _dispersion_plot(corpus, words, [fold(w) for w in words], title)
        save(figure, target, fmt)
    finally:
        target.discard()


def input_name(source: Path) -> str:
    return "standard input" if str(source) == "-" else source.resolve().name or str(source)


@dataclass
class Labels:
    """Which words of a scatter are named: the most frequent, the extremes of
    the measure among the frequent ones, and the words asked for (as given,
    and as looked up)."""

    frequent: int
    extremes: int
    asked: list[str]
    keys: list[str]


def _frequency_plot(corpus: Corpus, args: argparse.Namespace, labels: Labels,
                    title: str) -> Any:
    from matplotlib.figure import Figure

    measure = args.measure
    if measure in POSITION_MEASURE_NAMES:
        frequency = compute(corpus.matrix, corpus.sizes, corpus.total, [], args.da,
                            False, args.threads)["frequency"]
        values = position_columns(corpus.matrix, [measure])[measure]
    else:
        columns = compute(corpus.matrix, corpus.sizes, corpus.total, [measure], args.da,
                          options.progress_enabled(args.progress), args.threads)
        frequency, values = columns["frequency"], columns[measure].astype(np.float64)
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
    if measure in ADJUSTED_FREQUENCIES and y.size and float(y.min()) > 0:
        axes.set_yscale("log")
        axes.set_ylabel(_measure_title(measure) + " (log scale)")
    axes.set_title(f"{title}: {x.size:,} words, {len(corpus.matrix.part_names):,} parts",
                   fontsize=11)
    axes.grid(True, which="major", color="#dddddd", linewidth=0.6)
    axes.set_axisbelow(True)
    if x.size:
        low, high = float(x.min()), float(x.max())
        axes.set_xlim(low / 1.3, high * 2.2)  # room for the labels of the top words
    words = corpus.matrix.words
    points = [(words[i], float(frequency[i]), float(values[i]))
              for i in _labelled(corpus.matrix.words, frequency, values, shown, labels)]
    place_labels(figure, axes, points)
    return figure


def _labelled(words: list[str], frequency: np.ndarray, values: np.ndarray, shown: np.ndarray,
              labels: Labels) -> list[int]:
    """The rows to name, most wanted first: the words asked for, the most
    frequent, then those of the frequent tenth whose value is furthest from
    that of their neighbours in frequency, above and below."""
    index = {word: i for i, word in enumerate(words)}
    chosen: list[int] = []
    for word, key in zip(labels.asked, labels.keys):
        row = index.get(key)
        if row is None or not shown[row]:
            warn(f"{word!r} is not in the plot (" +
                 ("it does not occur in the corpus)" if row is None else
                  "its value is not a finite number)"))
        else:
            chosen.append(row)
    candidates = np.flatnonzero(shown)
    by_frequency = candidates[np.lexsort((-values[candidates], -frequency[candidates]))]
    chosen += by_frequency[:labels.frequent].tolist()
    if labels.extremes:
        pool = by_frequency[:max(100, by_frequency.size // 10)]
        deviation = _deviation(values[pool])
        for sign in (-1.0, 1.0):  # furthest above, then below; the more frequent of equals first
            order = pool[np.lexsort((-frequency[pool], sign * deviation))]
            chosen += order[:labels.extremes].tolist()
    return list(dict.fromkeys(chosen))


def _deviation(values: np.ndarray) -> np.ndarray:
    """For values in order of frequency, how far each lies from the median of
    its neighbours of like frequency, in units of their median deviation: a
    word unusual for its frequency, wherever the measure is steep or flat."""
    half = max(5, values.size // 40)
    windows = np.lib.stride_tricks.sliding_window_view(np.pad(values, half, mode="edge"),
                                                       2 * half + 1)
    middle = np.median(windows, axis=1)
    spread = np.median(np.abs(windows - middle[:, None]), axis=1)
    scale = np.maximum(spread, 1e-9 * max(1e-300, float(np.max(np.abs(values)))))
    return np.asarray((values - middle) / scale)


def _measure_title(measure: str) -> str:
    for item in (*MEASURES, *POSITION_MEASURES):
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


def _short(name: str, width: int = 18) -> str:
    return name if len(name) <= width else name[: width - 1] + "\u2026"


def ordinal(n: int) -> str:
    """1st, 2nd, 3rd, 4th, 11th, 12th, 13th, 21st, ..."""
    suffix = "th" if n % 100 in (11, 12, 13) else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th")
    return f"{n}{suffix}"


def part_marks(starts: list[int], length: int, names: list[str]
               ) -> tuple[list[tuple[float, str]], int]:
    """Where to name the parts over the axis, and the rotation: level when
    every name fits over its stretch, else upright, thinned so that names do
    not overlap (the earlier part keeps its name)."""
    ends = [*starts[1:], length]
    labels = [_short(Path(name).stem) for name in names]
    centres = [(a + b) / 2 for a, b in zip(starts, ends)]
    scale = AXIS_WIDTH / max(1, length)  # points per token
    if all((b - a) * scale >= PART_FONT * 0.62 * len(label) + 4
           for a, b, label in zip(starts, ends, labels)):
        return list(zip(centres, labels)), 0
    marks: list[tuple[float, str]] = []
    for centre, label in zip(centres, labels):
        if not marks or (centre - marks[-1][0]) * scale >= PART_FONT * 1.2:
            marks.append((centre, label))
    return marks, 90


def _dispersion_plot(corpus: Corpus, words: list[str], folded: list[str], title: str) -> Any:
    from matplotlib.figure import Figure

    matrix = corpus.matrix
    assert matrix.token_ids is not None and matrix.part_starts is not None
    ids = matrix.token_ids
    vocabulary = {word: i for i, word in enumerate(matrix.words)}
    length = int(ids.size)
    rows: list[tuple[str, np.ndarray]] = []
    for shown, word in zip(words, folded):
        index = vocabulary.get(word)
        if index is None:
            warn(f"{word!r} does not occur in the corpus")
            rows.append((shown, np.zeros(0)))
        else:
            rows.append((shown, np.flatnonzero(ids == index)))
    starts = matrix.part_starts.tolist()
    parts = len(starts)
    marks, rotation = part_marks(starts, length, matrix.part_names) if parts > 1 else ([], 0)
    # Upright names take their own height above the plot.
    extra = max((len(label) for _, label in marks), default=0) * PART_FONT * 0.62 / 72 \
        if rotation else 0.0
    height = FRAME_HEIGHT + ROW_HEIGHT * len(words) + extra
    figure = Figure(figsize=(SCATTER_SIZE[0], height), dpi=DPI, layout="constrained")
    axes = figure.add_subplot()
    # Part boundaries: every one when they are few enough to tell apart.
    step = 1 if parts <= 400 else math.ceil(parts / 200)
    if 1 < parts <= 400:
        axes.vlines(starts[1:], -0.5, len(words) - 0.5, color="#888888", linewidth=0.8,
                    linestyles="dashed", zorder=1)
    elif parts > 400:
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
    marked = "every boundary marked" if step == 1 else f"every {ordinal(step)} boundary marked"
    named = "" if len(marks) in (0, parts) else f", {len(marks):,} named"
    axes.set_xlabel(f"token position in the corpus ({length:,} tokens, {parts:,} parts, "
                    f"{marked}{named})")
    if marks:
        top = axes.secondary_xaxis("top")
        top.set_xticks([x for x, _ in marks], labels=[label for _, label in marks],
                       fontsize=PART_FONT, rotation=rotation)
        top.tick_params(length=0)
    axes.set_title(f"{title}: where the words occur", fontsize=11)
    for side in ("top", "right"):
        axes.spines[side].set_visible(False)
    return figure
