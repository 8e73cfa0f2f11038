"""Every kernel level gives the baseline's bits: the extension forced to each level by
LEXISPAN_CPU_LEVEL (a level the processor lacks is clamped to one it has, never run) computes the
same table, catalogue included, and the same batch as at the baseline, on random rows that take
the dense DA kernels, the sparse sums and the plain walk."""

import os
import subprocess
import sys

import pytest

SCRIPT = r"""
import hashlib
import struct

import numpy as np

import lexispan_table
from lexispan import CorpusWordAnalyzer, DispersionMetrics

rng = np.random.default_rng(2027)
parts = 257
# Words found in few parts (sparse sums), in most (dense DA kernel), in all; NaN and infinite
# cells send a row to the kernels' plain order.
density = rng.choice([0.02, 0.3, 0.97, 1.0], size=(300, 1))
counts = rng.integers(1, 9, size=(300, parts)) * (rng.random((300, parts)) < density)
counts = counts.astype(np.float64)
counts[rng.integers(0, 300, 6), rng.integers(0, parts, 6)] = np.nan
counts[rng.integers(0, 300, 6), rng.integers(0, parts, 6)] = np.inf
sizes = rng.integers(100, 5000, size=parts).astype(np.float64)
total = float(sizes.sum())
digest = hashlib.sha256()
table = lexispan_table.dispersion_arrays(counts, sizes, total, measures=lexispan_table.MEASURE_NAMES,
                                         da="pairwise", check=False)
for name in lexispan_table.MEASURE_NAMES:
    digest.update(np.ascontiguousarray(table[name]).tobytes())
fields = [n for n, a in vars(DispersionMetrics).items() if type(a).__name__ == "getset_descriptor"]
for record in CorpusWordAnalyzer.calculate_batch_metrics(counts.tolist(), sizes.tolist(), total):
    for name in fields:
        digest.update(struct.pack("<d", getattr(record, name)))
print(digest.hexdigest())
"""


def digest(level):
    env = dict(os.environ, LEXISPAN_CPU_LEVEL=level)
    run = subprocess.run([sys.executable, "-c", SCRIPT], env=env, capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout.strip()


@pytest.fixture(scope="module")
def baseline():
    return digest("baseline")


@pytest.mark.parametrize("level", ["avx2", "avx512", "widest"])
def test_every_level_gives_the_baseline_bits(baseline, level):
    # "widest" is no level name: ignored, the kernels run at the widest level there is.
    assert digest(level) == baseline
