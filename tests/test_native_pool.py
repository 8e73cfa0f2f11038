"""The worker pool and its sizing on their own, as native programs (no Python involved)."""

import os
import subprocess

import pytest

from native_build import native_release  # noqa: F401 (a fixture)


@pytest.fixture(scope="module")
def binary(native_release):
    return native_release / "thread_pool_test"


@pytest.fixture(scope="module")
def batch_binary(native_release):
    return native_release / "batch_test"


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


@pytest.mark.parametrize("workers", ["1", "4"])
def test_failed_batch_starts_nothing_after_the_failure(batch_binary, workers):
    result = run(batch_binary, "", RAYON_NUM_THREADS=workers)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"batch ok workers={workers}" in result.stdout


def test_cpu_budget(native_release):
    result = run(native_release / "cpu_budget_test", "")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "cpu budget ok" in result.stdout
