"""The extreme allocations of the frequency-adjusted measures against plain forms of their
rules (a full sort, a greedy pass), as a native program on random part sizes."""

import subprocess

from native_build import native_release  # noqa: F401 (fixture)


def test_fast_rules_match_their_plain_forms(native_release):
    run = subprocess.run([str(native_release / "allocations_test")], capture_output=True,
                         text=True, timeout=300)
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.startswith("ok ")
