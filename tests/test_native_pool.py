"""The worker pool on its own, built as a native program (no Python involved)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
SOURCES = ["tests/native/thread_pool_test.cpp", "src/parallel/thread_pool.cpp"]


def compiler():
    return os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")


pytestmark = pytest.mark.skipif(compiler() is None, reason="no C++ compiler for the native test")


@pytest.fixture(scope="module")
def binary(tmp_path_factory):
    out = tmp_path_factory.mktemp("pool") / "thread_pool_test"
    subprocess.run(
        [compiler(), "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-pthread",
         "-I", str(ROOT / "src"), *(str(ROOT / s) for s in SOURCES), "-o", str(out)],
        check=True,
    )
    return out


def run(binary, mode, **env):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    environment.update(env)
    return subprocess.run([str(binary), mode], capture_output=True, text=True, timeout=300,
                          env=environment)


@pytest.mark.parametrize("workers", ["1", "3", "8"])
@pytest.mark.parametrize("mode", ["unit", "fork"])
def test_pool(binary, mode, workers):
    result = run(binary, mode, RAYON_NUM_THREADS=workers)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"workers={workers}" in result.stdout


def test_thread_start_failure_is_permanent(binary):
    result = run(binary, "nothreads", RAYON_NUM_THREADS="6")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "nothreads ok" in result.stdout


@pytest.mark.parametrize(
    ("env", "expected"),
    [
        ({"RAYON_NUM_THREADS": "5"}, "5"),
        ({"RAYON_NUM_THREADS": "+5"}, "5"),
        ({"RAYON_NUM_THREADS": "1000"}, "255"),
        ({"RAYON_NUM_THREADS": "255"}, "255"),
        ({"RAYON_NUM_THREADS": "x", "RAYON_RS_NUM_CPUS": "3"}, "3"),
        ({"RAYON_NUM_THREADS": " 4", "RAYON_RS_NUM_CPUS": "6"}, "6"),
        ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "6"}, "default"),
        ({"RAYON_RS_NUM_CPUS": "-2"}, "default"),
        ({}, "default"),
    ],
)
def test_worker_count_from_environment(binary, env, expected):
    result = run(binary, "count", **env)
    assert result.returncode == 0, result.stdout + result.stderr
    fields = dict(item.split("=") for item in result.stdout.split())
    want = fields["default"] if expected == "default" else expected
    assert fields["workers"] == want
    assert int(fields["tasks"]) == int(want) + 1  # the workers and the main thread


BATCH_SOURCES = [
    "tests/native/batch_test.cpp", "src/analyzer/batch_evaluation.cpp",
    "src/analyzer/corpus_profile.cpp", "src/analyzer/measures.cpp",
    "src/analyzer/full_evaluation.cpp", "src/analyzer/da_pair_sums.cpp",
    "src/analyzer/row_evaluation.cpp", "src/analyzer/sparse_measures.cpp",
    "src/analyzer/zero_run_sums.cpp", "src/parallel/thread_pool.cpp",
]


@pytest.fixture(scope="module")
def batch_binary(tmp_path_factory):
    out = tmp_path_factory.mktemp("batch") / "batch_test"
    subprocess.run(
        [compiler(), "-std=c++20", "-O1", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror",
         "-pthread", "-I", str(ROOT / "src"), *(str(ROOT / s) for s in BATCH_SOURCES),
         "-o", str(out)],
        check=True,
    )
    return out


@pytest.mark.parametrize("workers", ["1", "4"])
def test_failed_batch_starts_nothing_after_the_failure(batch_binary, workers):
    result = run(batch_binary, "", RAYON_NUM_THREADS=workers)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"batch ok workers={workers}" in result.stdout
