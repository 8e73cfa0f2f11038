"""The multi-row DA kernels agree bit for bit with the one-row sum (native test)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = [
    "tests/native/da_pair_sums_test.cpp",
    "src/analyzer/da_pair_sums.cpp",
    "src/analyzer/measures.cpp",
    "src/analyzer/corpus_profile.cpp",
]


def compiler():
    return os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")


@pytest.mark.skipif(compiler() is None, reason="no C++ compiler to build the native test")
@pytest.mark.parametrize("optimisation", ["-O0", "-O2", "-O3"])
def test_every_kernel_matches_the_scalar_sum(tmp_path, optimisation):
    binary = tmp_path / "da_pair_sums_test"
    subprocess.run(
        [compiler(), "-std=c++20", optimisation, "-ffp-contract=off", "-Wall", "-Wextra",
         "-Werror", "-I", str(ROOT / "src"), *(str(ROOT / s) for s in SOURCES),
         "-o", str(binary)],
        check=True,
    )
    run = subprocess.run([str(binary)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "ok baseline" in run.stdout
    assert "ok da_pair_sums" in run.stdout
