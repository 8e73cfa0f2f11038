"""The sixteen dispersion values of one word in plain Python, one loop per measure."""

from __future__ import annotations

import math
from types import GetSetDescriptorType

from lexispan import DispersionMetrics

EPS = 1e-12
LN2 = 0.6931471805599453

# The record's fields in record order: the attribute descriptors of its type.
FIELDS = tuple(name for name, attribute in vars(DispersionMetrics).items()
               if isinstance(attribute, GetSetDescriptorType))


def _sd(v: list[float], f: float, mean: float) -> float:
    if f == 0:
        return 0.0
    acc = 0.0
    for x in v:
        acc += (x - mean) * (x - mean)
    return math.sqrt(acc / len(v))


def _evenness_da(q: list[float], f: float, mu: float) -> float:
    n = len(q)
    if f == 0:
        return 0.0
    if n == 1:
        return 1.0
    if abs(mu) < EPS:
        return 1.0 if all(abs(x - mu) < EPS for x in q) else 0.0
    pair_sum = 0.0
    for i in range(n - 1):
        qi = q[i]
        for qj in q[i + 1 :]:
            pair_sum += abs(qi - qj)
    da = 1.0 - (pair_sum / float(n * (n - 1) // 2)) / (mu + mu)
    if da < 0:
        return 0.0
    if da > 1:
        return 1.0
    return da


def all_metrics(v: list[float], sizes: list[float], total: float) -> dict[str, float]:
    """All sixteen values for one word.

    Inputs must be finite and non-negative, of equal length n >= 1, with total > 0: the math
    module raises on the square roots and logarithms that such inputs would make NaN.
    """
    n = len(v)
    f = -0.0
    for x in v:
        f += x
    s = [c / total for c in sizes]
    q = [x / c if c > 0 else 0.0 for x, c in zip(v, sizes)]

    q_sum = -0.0
    for x in q:
        q_sum += x
    mu = q_sum / n
    r = sum(1 for x in v if x > 0)
    ft = mu
    pt = r / n
    da = _evenness_da(q, f, mu)

    mean = f / n
    sd = _sd(v, f, mean)
    vc = 0.0 if abs(mean) < EPS else sd / mean

    if n < 2:
        juilland = carroll = 1.0 if f > 0 else 0.0
    else:
        if f == 0 or abs(mu) < EPS:
            juilland = 0.0
        else:
            acc = 0.0
            for x in q:
                acc += (x - mu) * (x - mu)
            juilland = 1.0 - (math.sqrt(acc / n) / mu) / math.sqrt(n - 1)
        q_total = 0.0 + q_sum
        if abs(q_total) < EPS:
            carroll = 0.0
        else:
            entropy = 0.0
            for x in q:
                p = x / q_total
                if p > EPS:
                    entropy += -p * math.log(p)
            carroll = entropy / (math.log(n) / LN2 * LN2)

    if f == 0:
        s_adj = 0.0
    else:
        acc = 0.0
        for si, x in zip(s, v):
            acc += math.sqrt(si * x)
        s_adj = acc * acc / f

    if f == 0:
        dp = 0.0
    else:
        acc = -0.0
        for x, si in zip(v, s):
            acc += abs(x / f - si)
        dp = acc * 0.5
    d = 1.0 - min(s)
    dp_norm = 0.0 if abs(d) < EPS else dp / d

    kl = 0.0
    if f > 0:
        for x, si in zip(v, s):
            if si > 0:
                p = x / f
                if p > 0:
                    kl += p * math.log(p / si) / LN2

    if f == 0:
        jsd = 0.0
        hellinger = 0.0
    else:
        a = 0.0
        b = 0.0
        bc = 0.0
        for x, si in zip(v, s):
            p = x / f
            m = (p + si) * 0.5
            if p > EPS and m > EPS:
                a += p * math.log(p / m)
            if si > EPS and m > EPS:
                b += si * math.log(si / m)
            bc += math.sqrt(p * si)
        j = (a + b) * 0.5 / LN2
        jsd = 1.0 - (j if j < 1.0 else 1.0)
        bc = 0.0 if bc < 0 else 1.0 if bc > 1 else bc
        hellinger = 1.0 - math.sqrt(1.0 - bc)

    return {
        "range": r,
        "sd_population": sd,
        "vc_population": vc,
        "juilland_d": juilland,
        "carroll_d2": carroll,
        "roschengren_s_adj": s_adj,
        "dp": dp,
        "dp_norm": dp_norm,
        "kl_divergence": kl,
        "jsd_dispersion": jsd,
        "hellinger_dispersion": hellinger,
        "mean_text_frequency_ft": ft,
        "pervasiveness_pt": pt,
        "evenness_da": da,
        "ft_adjusted_by_pt": ft * pt,
        "ft_adjusted_by_da": da * ft,
    }
