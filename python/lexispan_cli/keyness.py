"""``lexispan keyness``: the words of a target corpus against a reference
corpus, each read as 'lexispan INPUT' reads it, aligned by the union of their
vocabularies, in a table ordered by keyness."""

from __future__ import annotations

import argparse
import json
from collections.abc import Sequence
from pathlib import Path

from lexispan_table import KEYNESS_MEASURE_NAMES
from lexispan_table._engine import default_threads, from_compressed
from lexispan_table._keyness import Comparison, compare

from lexispan_cli import options
from lexispan_cli.corpus import Corpus, read
from lexispan_cli.errors import PROG, InputError, guarded, need
from lexispan_cli.output_files import Output
from lexispan_cli.report import order, output_format, write

DESCRIPTION = """\
Compare a target corpus with a reference corpus: for every word of either,
its frequency and range in each, log-likelihood G2 and Log Ratio on the
frequencies, text dispersion keyness (G2 on the numbers of parts containing
the word) and its Log Ratio, Cohen's d of the per-part rates, and p-values.

TARGET and REFERENCE are each a folder of text files, a text stream (--text)
or a table of counts, as for 'lexispan INPUT'; the reading options apply to
both. The rows go from the words most characteristic of the target to those
most characteristic of the reference (--sort, default
text_dispersion_keyness)."""

# Where the Parquet output keeps the settings of the comparison.
METADATA_KEY = "lexispan.keyness"


def build_parser() -> argparse.ArgumentParser:
    parser = options.Parser(prog=f"{PROG} keyness", description=DESCRIPTION,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    add_corpora(parser)
    out = parser.add_argument_group("output")
    options.add_output_options(out)
    out.add_argument("--measures", metavar="NAME,...",
                     type=lambda text: options.measures(text, KEYNESS_MEASURE_NAMES),
                     help="the columns to write, in this order (default: all of them)")
    out.add_argument("--precision", metavar="N", type=options.digits,
                     help="write N significant digits (default: every digit)")
    out.add_argument("--sort", metavar="MEASURE", default="text_dispersion_keyness",
                     choices=("word", *KEYNESS_MEASURE_NAMES),
                     help="column to sort by (default: text_dispersion_keyness)")
    options.add_row_options(out, "keep only words found at least N times in the two corpora "
                                 "together (default: 0)")
    options.add_progress_option(out)
    options.add_input_options(parser, total=False)
    return parser


def add_corpora(parser: argparse.ArgumentParser) -> None:
    """The two positional inputs."""
    parser.add_argument("target", metavar="TARGET", type=Path,
                        help="the corpus studied: a folder, a table, or - for standard input")
    parser.add_argument("reference", metavar="REFERENCE", type=Path,
                        help="the corpus it is compared with")


def main(argv: Sequence[str]) -> int:
    args = build_parser().parse_args(list(argv))
    return guarded(_run, args)


def read_both(args: argparse.Namespace) -> tuple[Corpus, Corpus]:
    chosen = options.read_options(args)
    return read(args.target, chosen, None), read(args.reference, chosen, None)


def compare_corpora(args: argparse.Namespace, target: Corpus, reference: Corpus,
                    names: Sequence[str]) -> Comparison:
    """The columns `names` over the union vocabulary: the target's words in
    their order, then the reference's new ones."""
    ours, theirs = (from_compressed(c.matrix.indptr, c.matrix.indices, c.matrix.data,
                                   len(c.matrix.words), len(c.matrix.part_names),
                                   labels=c.matrix.words) for c in (target, reference))
    try:
        return compare(ours, theirs, target.sizes, reference.sizes, names, default_threads())
    except (ValueError, TypeError) as exc:
        raise InputError(f"{args.target} against {args.reference}", str(exc)) from None


def _run(args: argparse.Namespace) -> None:
    names = list(KEYNESS_MEASURE_NAMES) if args.measures is None else args.measures
    fmt = output_format(args.format, args.output)
    if fmt == "parquet":
        need("pyarrow", "parquet", "writing Parquet")
    output = Output(args.output, binary=fmt == "parquet")
    try:
        target, reference = read_both(args)
        needed = list(names)
        for extra in (args.sort, "target_frequency", "reference_frequency"):
            if extra != "word" and extra not in needed:
                needed.append(extra)
        comparison = compare_corpora(args, target, reference, needed)
        columns = comparison.columns
        words: list[str] = comparison.labels
        descending = args.descending if args.descending is not None else args.sort != "word"
        both = columns["target_frequency"] + columns["reference_frequency"]
        rows = order(words, columns, args.sort, descending, args.min_freq, args.top,
                     frequency=both)
        write(output, fmt, words, {name: columns[name] for name in names}, rows,
              args.precision, {METADATA_KEY: settings(args, comparison, names)})
        output.commit()
    finally:
        output.discard()


def settings(args: argparse.Namespace, comparison: Comparison, names: Sequence[str]) -> str:
    """Both corpora's number of parts and total, and the columns, as JSON."""
    def corpus(source: Path, parts: int, total: float) -> dict[str, object]:
        return {"input": str(source), "parts": parts, "total": total}

    return json.dumps({
        "target": corpus(args.target, comparison.target.parts, comparison.target.total),
        "reference": corpus(args.reference, comparison.reference.parts,
                            comparison.reference.total),
        "measures": list(names),
    })

