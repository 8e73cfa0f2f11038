"""The installed type stubs describe the extension: good usage passes mypy --strict, misuse fails."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

HERE = Path(__file__).parent / "typing"


def mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # Run outside the checkout so only the installed package and stubs are seen.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *args],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )


def test_usage_passes_strict_and_runs(tmp_path):
    result = mypy(tmp_path, str(HERE / "usage.py"))
    assert result.returncode == 0, result.stdout + result.stderr
    ran = subprocess.run([sys.executable, str(HERE / "usage.py")], capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0, ran.stderr


def test_every_marked_misuse_is_an_error(tmp_path):
    source = HERE / "misuse.py"
    marked = {n for n, line in enumerate(source.read_text().splitlines(), 1) if "# error" in line}
    result = mypy(tmp_path, str(source))
    assert result.returncode == 1, result.stdout + result.stderr
    reported = {int(m) for m in re.findall(r"^[^:\n]*misuse\.py:(\d+): error:", result.stdout, re.M)}
    assert reported == marked, result.stdout


def test_stubs_match_the_runtime_module(tmp_path):
    # stubtest imports the extension and compares every name and signature.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "lexispan"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_command_line_package_is_strictly_typed(tmp_path):
    result = mypy(tmp_path, "-p", "lexispan_cli")
    assert result.returncode == 0, result.stdout + result.stderr


def test_table_package_is_strictly_typed(tmp_path):
    result = mypy(tmp_path, "-p", "lexispan_table")
    assert result.returncode == 0, result.stdout + result.stderr
