"""Dispersion of every word of a folder of text files too large for one machine,
on Dask: each file is one corpus part, its words found by the lexispan
command's word rule (lexispan_table.count_files).

    python examples/dask_folder.py FOLDER OUT.parquet [--scheduler tcp://host:8786]

Without --scheduler the work runs on a LocalCluster of this machine.
"""

from __future__ import annotations

import argparse
from pathlib import Path

import dask.array as da
import dask.bag as db
import numpy as np
import scipy.sparse as sparse
from dask.delayed import delayed

import lexispan_table


def group_words(paths: list[str]) -> list[str]:
    """The distinct words of one group of files."""
    return lexispan_table.count_files(list(paths)).words


def count_block(paths: list[str], vocabulary: dict[str, int]) -> sparse.csr_matrix:
    """The counts of one group of files: every word of the vocabulary x these files."""
    counts = lexispan_table.count_files(list(paths))
    rows = np.fromiter(map(vocabulary.__getitem__, counts.words), dtype=np.int64,
                       count=len(counts.words))
    local = counts.to_scipy().tocoo()
    return sparse.csr_matrix((local.data, (rows[local.row], local.col)),
                             shape=(len(vocabulary), counts.shape[1]))


def folder_measures(paths: list[str], files_per_block: int = 500,
                    words_per_block: int = 20_000, **options):
    """A lazy Dask DataFrame of measures, one row per word, indexed by the word."""
    files = db.from_sequence(paths, partition_size=files_per_block)
    # The files are read once for the vocabulary and once more when the
    # result is computed, so no worker ever holds more than its share of text.
    words = sorted(files.map_partitions(group_words).distinct().compute())
    vocabulary = {word: row for row, word in enumerate(words)}

    # One sparse block per group of files, all over the same rows; the index
    # is one key of the graph, sent to each worker once, not once per task.
    blocks = files.map_partitions(count_block, delayed(vocabulary)).to_delayed()
    files_per_group = files.map_partitions(lambda part: [len(list(part))]).compute()
    empty = sparse.csr_matrix((0, 0), dtype=np.float64)
    counts = da.concatenate(
        [da.from_delayed(block, shape=(len(words), files), dtype=np.float64, meta=empty)
         for block, files in zip(blocks, files_per_group)],
        axis=1,
    )
    # Every word needs its whole row: split the words into blocks, each block
    # one task (and one partition of the result).
    counts = counts.rechunk({0: words_per_block})
    return lexispan_table.dispersion(counts, words=words, **options)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=Path)
    parser.add_argument("out")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    cluster = None if args.scheduler else LocalCluster()
    with Client(args.scheduler or cluster):
        paths = sorted(str(path) for path in args.folder.glob("**/*.txt"))
        folder_measures(paths).to_parquet(args.out)
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()
