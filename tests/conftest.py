"""Shared helpers: exact float comparison and the record's field layout."""

import math
import signal
import struct
import types
from pathlib import Path

from lexispan import DispersionMetrics

# A shell starts background jobs with SIGINT ignored, and children inherit that,
# so a suite run in the background (as CI's legs run) would see no Ctrl-C in
# the child interpreters whose interrupts it tests. With a handler here, every
# child starts with the default action and Python installs its own.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

# The record's fields in record order: the attribute descriptors of its type
# (test_typing checks them against the names the stubs spell out).
FIELDS = tuple(name for name, attribute in vars(DispersionMetrics).items()
               if isinstance(attribute, types.GetSetDescriptorType))
# Record fields that an analyzer also answers through `get_<field>()`.
METHOD_FIELDS = FIELDS[:14]
SINGLE_METRIC_NAMES = (
    "dp", "dp_norm", "juilland_d", "carroll_d2", "evenness_da", "kl_divergence",
    "jsd_dispersion", "pervasiveness_pt", "hellinger_dispersion", "mean_text_frequency_ft",
)
NAN = float("nan")
INF = float("inf")


def bits(x):
    return struct.pack("<d", x)


def exact(actual, expected):
    """Same float bit for bit (so -0.0 != 0.0); an expected NaN accepts any NaN."""
    if not isinstance(actual, float) or not isinstance(expected, float):
        return type(actual) is type(expected) and actual == expected
    if math.isnan(expected):
        return math.isnan(actual)
    return bits(actual) == bits(expected)


def value_bits(value):
    """A value's identity for bit-exact agreement between entry points (NaN payloads too)."""
    if isinstance(value, list):
        return [value_bits(item) for item in value]
    return bits(value) if isinstance(value, float) else value


def record_bits(record):
    return tuple(value_bits(getattr(record, name)) for name in FIELDS)


# The first line of a script run in a child interpreter that compares records as these tests do.
IMPORT_RECORD_BITS = (f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r}); "
                      "from conftest import record_bits")

