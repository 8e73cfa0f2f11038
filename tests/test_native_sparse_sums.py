"""The bulk sums and the sparse rows equal the plain walk over every part, bit for bit (native
test on random inputs: ties, subnormal and huge terms, runs across many binades, all-zero, one
nonzero and full rows, rows at the dense/sparse switch; every column of the table, the catalogue's
included, on random choices of columns, and rows with NaN, infinite, negative or -0.0 cells that
must take the plain walk). The bulk sums' kernels run at each level LEXISPAN_CPU_LEVEL forces."""

import os
import subprocess

import pytest

from native_build import native_release  # noqa: F401 (fixture)

# 30,000 rounds: about 130,000 rows through the row engine, 30,000 sparse DA rows and 90,000
# bulk sums, in a few seconds.
ROUNDS = "30000"


@pytest.fixture
def binary(native_release):  # noqa: F811
    return native_release / "sparse_sums_test"


@pytest.mark.parametrize("seed", ["12", "2026"])
def test_bulk_sums_match_the_plain_walk(binary, seed):
    run = subprocess.run([str(binary), ROUNDS, seed], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("ok ")


@pytest.mark.parametrize("level", ["baseline", "avx2", "avx512"])
def test_every_kernel_level_matches_the_plain_walk(binary, level):
    env = dict(os.environ, LEXISPAN_CPU_LEVEL=level)
    run = subprocess.run([str(binary), "10000", "7"], capture_output=True, text=True,
                         timeout=300, env=env)
    assert run.returncode == 0, run.stdout + run.stderr
    if run.stdout.startswith("skip"):
        pytest.skip(run.stdout.strip())
    assert run.stdout.strip().endswith(f"at {level}")
