"""The special functions of D_MB (our exponential; for the interval the
normal and chi-squared quantiles, both branches of Lambert W), and its
expected share through the grouped part sizes against the plain sum, run as
a native program: built with the core's flags (and its sanitizers, under
tools/sanitize-tests)."""

import math
import os
import struct
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


def run_program(native_release, lines, env=None):
    result = subprocess.run([str(native_release / "special_functions_test")], input=lines,
                            capture_output=True, text=True, timeout=120, env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def bits(x):
    return struct.pack("<d", x)


def test_portable_exp_against_the_exact_exponential(native_release):
    # Our own where the result is normal (x in [-708, 709]): within 0.52
    # ulp of e^x in 40 digits, so within 1 ulp of the C library's; beyond,
    # the C library's own bits (math.exp calls it too).
    rng = np.random.default_rng(21)
    direct = np.concatenate([rng.uniform(-708, 709, 30000), rng.uniform(-1, 1, 5000),
                             np.copysign(10.0 ** rng.uniform(-20, 0, 5000), rng.random(5000) - 0.5),
                             [-708.0, 709.0, 0.0, -0.0, np.log(2) / 256, -np.log(2) / 256]])
    beyond = np.concatenate([rng.uniform(-760, -708, 300), rng.uniform(709, 720, 100),
                             [np.nextafter(-708.0, -1e3), np.nextafter(709.0, 1e3), -np.inf,
                              np.inf, np.nan, -1e308, 1e308]])
    lines = "".join(f"exp {float(x).hex()}\n" for x in np.concatenate([direct, beyond]))
    getcontext().prec = 40
    worst = 0.0
    for line in run_program(native_release, lines):
        _, x, value = line.split()
        x, value = float.fromhex(x), float.fromhex(value)
        if -708.0 <= x <= 709.0:
            exact = Decimal(x).exp()
            error = float(abs(Decimal(value) - exact)) / math.ulp(float(exact))
            worst = max(worst, error)
            library = math.exp(x)
            assert abs(value - library) <= math.ulp(library), (x, value, library)
        else:
            try:
                library = math.exp(x)
            except OverflowError:
                library = math.inf
            assert bits(value) == bits(library), x
    assert worst <= 0.52, worst


@pytest.mark.parametrize("level", ["baseline", "avx2", "avx512"])
def test_grouped_sizes_give_the_plain_sums_bits(native_release, level):
    # Every kernel level's exponentials. Part sizes drawn from small pools (repeats, as in corpora cut into
    # equal parts), with zeros, -0.0, ties (powers of two), subnormal, tiny
    # and huge sizes; one to five rates, 0, infinite and NaN among them, so
    # that terms underflow, overflow the product, and the kernel's range
    # ends anywhere in the sizes.
    rng = np.random.default_rng(2021)
    specials = [0.0, -0.0, 1.0, 2.0 ** -1074, 1e-300, 1e300, 2.0 ** 40, 0.5]
    rate_specials = [0.0, 5e-324, 1e-300, 1e300, math.inf, math.nan, -1e-3]
    lines = []
    for _ in range(1500):
        pool = np.concatenate([rng.integers(1, 5000, rng.integers(1, 40)).astype(float),
                               rng.exponential(10.0 ** rng.uniform(-3, 6), rng.integers(1, 20)),
                               rng.choice(specials, rng.integers(0, 3))])
        sizes = rng.choice(pool, rng.integers(0, 300))
        rates = [rate_specials[rng.integers(len(rate_specials))] if rng.random() < 0.15
                 else 10.0 ** rng.uniform(-12, 3) for _ in range(rng.integers(1, 6))]
        lines.append(" ".join(["shares", str(len(rates)), *(float(r).hex() for r in rates),
                               str(len(sizes)), *(float(c).hex() for c in sizes)]))
    env = dict(os.environ, LEXISPAN_CPU_LEVEL=level)
    output = run_program(native_release, "\n".join(["level", *lines]) + "\n", env)
    if output[0] != f"level {level}":
        pytest.skip(f"the processor does not run {level}")
    for line, printed in zip(lines, output[1:], strict=True):
        values = [bits(float.fromhex(v)) for v in printed.split()[1:]]
        half = len(values) // 2
        assert values[:half] == values[half:], line[:200]
