"""The multi-row DA kernels agree bit for bit with the one-row sum (native test)."""

import subprocess

import pytest

from native_build import native_debug, native_release  # noqa: F401 (fixtures)


@pytest.mark.parametrize("build", ["native_debug", "native_release"])
def test_every_kernel_matches_the_scalar_sum(request, build):
    program = request.getfixturevalue(build) / "da_pair_sums_test"
    run = subprocess.run([str(program)], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stdout + run.stderr
    assert "ok baseline" in run.stdout
    assert "ok da_pair_sums" in run.stdout
    assert "ok stoppable" in run.stdout
