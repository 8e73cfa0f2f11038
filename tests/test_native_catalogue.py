"""The catalogue measures' sparse forms equal their dense forms bit for bit (native test on
random rows with zeros of both signs, NaN payloads, infinities and negative sizes)."""

import subprocess

import pytest

from native_build import native_debug, native_release  # noqa: F401 (fixtures)


@pytest.mark.parametrize("build", ["native_debug", "native_release"])
def test_sparse_forms_match_the_dense_forms_bit_for_bit(request, build):
    binary = request.getfixturevalue(build) / "catalogue_sparse_test"
    run = subprocess.run([str(binary)], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("ok ")
