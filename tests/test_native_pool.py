"""The worker pool and its sizing on their own, as native programs (no Python involved): one
program per fault (sizing, hand-out of work, stop and poll, failures, fork)."""

import os
import subprocess

import pytest

from native_build import native_release  # noqa: F401 (a fixture)


def run(program, *arguments, **env):
    environment = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    environment.update(env)
    return subprocess.run([str(program), *arguments], capture_output=True, text=True,
                          timeout=300, env=environment)


@pytest.mark.parametrize("workers", ["1", "3", "8"])
@pytest.mark.parametrize("part", ["sizing", "scheduling", "stop", "failure", "fork"])
def test_pool(native_release, part, workers):
    result = run(native_release / f"pool_{part}_test", RAYON_NUM_THREADS=workers)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"workers={workers}" in result.stdout


def test_thread_start_failure_is_permanent(native_release):
    result = run(native_release / "pool_failure_test", "threads", RAYON_NUM_THREADS="6")
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
def test_worker_count_from_environment(native_release, env, expected):
    result = run(native_release / "pool_sizing_test", **env)
    assert result.returncode == 0, result.stdout + result.stderr
    fields = dict(item.split("=") for item in result.stdout.split())
    want = fields["default"] if expected == "default" else expected
    assert fields["workers"] == want
    assert int(fields["tasks"]) == int(want) + 1  # the workers and the main thread


@pytest.mark.parametrize("workers", ["1", "4"])
def test_failed_batch_starts_nothing_after_the_failure(native_release, workers):
    result = run(native_release / "batch_test", RAYON_NUM_THREADS=workers)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"batch ok workers={workers}" in result.stdout


def test_cpu_budget(native_release):
    result = run(native_release / "cpu_budget_test")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "cpu budget ok" in result.stdout
