"""The special functions of D_MB's interval (the normal and chi-squared
quantiles, both branches of Lambert W), run as a native program: built with
the core's flags (and its sanitizers, under tools/sanitize-tests)."""

import subprocess
from decimal import Decimal, getcontext

import numpy as np
import pytest

from native_build import native_release  # noqa: F401 (fixture)

special = pytest.importorskip("scipy.special")
stats = pytest.importorskip("scipy.stats")


def lambert_w(x, branch):
    # Newton from the branch-point series near -1/e, else from the
    # asymptotic forms.
    getcontext().prec = 60
    x = Decimal(x)
    near = (2 * (1 + Decimal(1).exp() * x)).sqrt()
    if near < Decimal("0.5"):
        w = -1 + near if branch == 0 else -1 - near
    else:
        w = x if branch == 0 else (-x).ln() - (-(-x).ln()).ln()
    for _ in range(100):
        step = w.exp()
        w -= (w * step - x) / (step * (w + 1))
    return float(w)


def test_special_functions_against_references(native_release):
    # SciPy for the quantiles; Newton's iteration in 60 digits for W, whose
    # SciPy form loses digits near the branch point -1/e.
    rng = np.random.default_rng(3)
    cases = {
        "normal": np.concatenate([rng.random(100), 10.0 ** -rng.uniform(1, 300, 40),
                                  1 - 10.0 ** -rng.uniform(1, 16, 20)]),
        "chi2": np.concatenate([rng.random(100), 1 - 10.0 ** -rng.uniform(1, 15, 20),
                                10.0 ** -rng.uniform(1, 100, 20)]),
        "w0": -np.exp(-1 - 10.0 ** rng.uniform(-14, 2.5, 60)),
        "wm1": -np.exp(-1 - 10.0 ** rng.uniform(-14, 2.5, 60)),
    }
    references = {"normal": special.ndtri, "chi2": lambda p: stats.chi2.ppf(p, 1),
                  "w0": lambda x: lambert_w(x, 0), "wm1": lambda x: lambert_w(x, -1)}
    lines = "".join(f"{name} {float(x).hex()}\n" for name, xs in cases.items() for x in xs)
    binary = native_release / "special_functions_test"
    result = subprocess.run([str(binary)], input=lines, capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    for line in result.stdout.splitlines():
        name, x, value = line.split()
        x, value = float.fromhex(x), float.fromhex(value)
        reference = references[name](x)
        assert abs(value - reference) <= 1e-12 * abs(reference), (name, x, value, reference)
