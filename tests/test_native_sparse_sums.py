"""The bulk sums and the sparse rows equal the plain walk over every part, bit for bit (native
test on random inputs: ties, subnormal and huge terms, runs across many binades, all-zero, one
nonzero and full rows, rows at the dense/sparse switch)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = [
    "tests/native/sparse_sums_test.cpp",
    "src/analyzer/zero_run_sums.cpp",
    "src/analyzer/sparse_measures.cpp",
    "src/analyzer/row_evaluation.cpp",
    "src/analyzer/da_pair_sums.cpp",
    "src/analyzer/measures.cpp",
    "src/analyzer/corpus_profile.cpp",
    "src/analyzer/full_evaluation.cpp",
]
# 30,000 rounds: about 130,000 rows through the row engine, 30,000 sparse DA rows and 90,000
# bulk sums, in a few seconds.
ROUNDS = "30000"


def compiler():
    return os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")


@pytest.fixture(scope="module")
def binary(tmp_path_factory):
    if compiler() is None:
        pytest.skip("no C++ compiler to build the native test")
    path = tmp_path_factory.mktemp("native") / "sparse_sums_test"
    subprocess.run(
        [compiler(), "-std=c++20", "-O2", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror",
         "-I", str(ROOT / "src"), *(str(ROOT / s) for s in SOURCES), "-o", str(path)],
        check=True,
    )
    return path


@pytest.mark.parametrize("seed", ["12", "2026"])
def test_bulk_sums_match_the_plain_walk(binary, seed):
    run = subprocess.run([str(binary), ROUNDS, seed], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("ok ")
