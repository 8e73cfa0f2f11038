"""The platform unit on its own (native test): the stand-ins of the portable core give the bits
of what they replace, and LEXISPAN_CPU_LEVEL picks the kernels' level once, clamped to what the
processor runs; an unknown name leaves the widest."""

import os
import subprocess

import pytest

from native_build import native_release  # noqa: F401 (fixture)

LEVELS = ["baseline", "avx2", "avx512"]


def run(program, level):
    env = dict(os.environ)
    env.pop("LEXISPAN_CPU_LEVEL", None)
    if level is not None:
        env["LEXISPAN_CPU_LEVEL"] = level
    done = subprocess.run([str(program)], capture_output=True, text=True, timeout=120, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.endswith("ok platform\n"), done.stdout
    return done.stdout.split()[1]


@pytest.mark.parametrize("level", [*LEVELS, "AVX2", ""])
def test_the_level_asked_for_or_the_widest_below(native_release, level):  # noqa: F811
    program = native_release / "platform_test"
    widest = run(program, None)
    expected = LEVELS[min(LEVELS.index(level), LEVELS.index(widest))] if level in LEVELS else widest
    assert run(program, level) == expected
