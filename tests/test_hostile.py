"""Hostile arguments: objects that raise, lie, call back into the module or change their container.

Each case names a hostile input and what it must give: the plain value it converts to (the call
must then return, bit for bit, what the same call returns for that plain value, or raise the same
error) or the exact exception the conversion raises (named by its parameter when it is exactly
TypeError). Every case goes into every slot of its kind on the three entries that convert
arguments; afterwards an analyzer that the hostile objects also use must be unharmed.
"""

import struct

import pytest

from conftest import bits, record_bits, value_bits
from lexispan import CorpusWordAnalyzer

A = CorpusWordAnalyzer
single, batch = A.calculate_single_metric, A.calculate_batch_metrics
GETTERS = [name for name in dir(A) if name.startswith("get_")]

# Used from inside conversions; must still work after every call.
WITNESS = A([2, 0, 3], [100, 50, 150], 300)
WITNESS_RECORD = record_bits(WITNESS.calculate_all_metrics())
REENTRY_PROBLEMS = []


class Raises:
    def __init__(self, kind, message):
        self.kind, self.message = kind, message


class Failing(Exception):
    pass


class TypeErrorSubclass(TypeError):
    pass


# Raised by a hostile object: only an exact TypeError gets the parameter's name.
KINDS = [Failing, TypeError, TypeErrorSubclass, ValueError, OverflowError, IndexError]


class FloatSub(float):
    def __float__(self):  # never consulted for a float subclass
        return 0.25


class IntSub(int):
    def __float__(self):  # consulted: an int has no stored double
        return 2.5


class StrSub(str):
    pass


class HasFloat:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class HasIndex:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class Reentrant:
    """Calls back into the module (and into the shared witness) while converting."""

    def __float__(self):
        if record_bits(WITNESS.calculate_all_metrics()) != WITNESS_RECORD:
            REENTRY_PROBLEMS.append("witness record changed")
        if (single([1, 2], [3, 4], 7, "dp") != A([1, 2], [3, 4], 7).get_dp() or
                record_bits(batch([[1, 2]], [3, 4], 7)[0]) !=
                record_bits(A([1, 2], [3, 4], 7).calculate_all_metrics())):
            REENTRY_PROBLEMS.append("nested call disagrees")
        return 2.0


class Mutator:
    """Converts to 2.0 after changing the list it sits in, on its first conversion only (an
    item inserted before it comes round again)."""

    def __init__(self, change):
        self.change, self.items = change, None

    def __float__(self):
        items, self.items = self.items, None
        if items is not None:
            self.change(items)
        return 2.0


def in_list(*items):
    built = list(items)
    for item in built:
        if isinstance(item, Mutator):
            item.items = built
    return built


class OldSequence:
    """__getitem__ only; IndexError ends it, anything else raised at `fail_at` is an error."""

    def __init__(self, items, fail_at=-1, error=None):
        self.items, self.fail_at, self.error = items, fail_at, error

    def __getitem__(self, index):
        if index == self.fail_at:
            raise self.error
        return self.items[index]


class LengthSequence(OldSequence):
    """With a __len__ that may lie, raise or return something other than a size."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length


class IterSequence:
    """Iteration yields other items than indexing and the length say, and may fail part-way."""

    def __init__(self, items, fail_at=-1, error=None):
        self.items, self.fail_at, self.error = items, fail_at, error

    def __getitem__(self, index):
        return 99.0

    def __len__(self):
        return 1

    def __iter__(self):
        for position, item in enumerate(self.items):
            if position == self.fail_at:
                raise self.error
            yield item


# NaNs whose payload and sign must survive (the second one signalling).
NANS = [-float("nan"), struct.unpack("<d", struct.pack("<Q", 0xFFF4000000000123))[0]]
NOT_REAL = "must be real number, not {}"

# (case, hostile item, the value it converts to or the exception it raises)
ITEMS = [
    ("float subclass: its value, not its __float__", lambda: FloatSub(0.5), 0.5),
    ("int subclass: its __float__", lambda: IntSub(3), 2.5),
    ("bool", lambda: True, 1.0),
    ("int rounded to a double", lambda: 2 ** 53 + 1, 9007199254740992.0),
    ("int beyond a double", lambda: 2 ** 1030,
     Raises(OverflowError, "int too large to convert to float")),
    ("negative int beyond a double", lambda: -(2 ** 1030),
     Raises(OverflowError, "int too large to convert to float")),
    *[(f"NaN {bits(nan).hex()}", lambda nan=nan: nan, nan) for nan in NANS],
    ("-0.0", lambda: -0.0, -0.0),
    ("smallest subnormal", lambda: 5e-324, 5e-324),
    ("infinity", lambda: float("inf"), float("inf")),
    ("__float__", lambda: HasFloat(1e300), 1e300),
    ("__float__ giving a genuine -1.0", lambda: HasFloat(-1.0), -1.0),
    ("__index__", lambda: HasIndex(7), 7.0),
    ("__index__ giving a genuine -1", lambda: HasIndex(-1), -1.0),
    ("__index__ beyond a double", lambda: HasIndex(2 ** 1030),
     Raises(OverflowError, "int too large to convert to float")),
    *[(f"__float__ returning {type(bad).__name__}", lambda bad=bad: HasFloat(bad),
       Raises(TypeError, f"HasFloat.__float__ returned non-float (type {type(bad).__name__})"))
      for bad in (1, "1.0", None, [1.0])],
    *[(f"__index__ returning {type(bad).__name__}", lambda bad=bad: HasIndex(bad),
       Raises(TypeError, f"__index__ returned non-int (type {type(bad).__name__})"))
      for bad in (1.5, "1", None)],
    *[(f"__{method}__ raising {kind.__name__}", lambda kind=kind, cls=cls: cls(kind("hostile")),
       Raises(kind, "hostile"))
      for method, cls in (("float", HasFloat), ("index", HasIndex)) for kind in KINDS],
    *[(f"a {type(bad).__name__}", lambda bad=bad: bad,
       Raises(TypeError, NOT_REAL.format(type(bad).__name__)))
      for bad in ("1", None, 1j, [1.0], b"1")],
    ("calls back into the module", Reentrant, 2.0),
]

ONE_TWO_THREE = [1.0, 2.0, 3.0]
NOT_A_SEQUENCE = "'{}' object cannot be converted to 'Sequence'"
NOT_TEXT = Raises(TypeError, "Can't extract `str` to `Vec`")

# (case, hostile container of `items`, what it converts to: a function of `items` or a
# constant); `items` are numbers for a vector and rows for a matrix.
CONTAINERS = [
    ("tuple", tuple, list),
    ("sequence by __getitem__ alone", OldSequence, list),
    *[(f"__len__ {lie}", lambda items, length=length: LengthSequence(items, length), list)
      for lie, length in (("true", 3), ("huge", 2 ** 62), ("beyond an index", 2 ** 70),
                          ("negative", -1), ("raising", Failing("hostile")),
                          ("not an int", "three"))],
    ("iteration unlike indexing", IterSequence, list),
    ("__getitem__ raising IndexError part-way: the items before it",
     lambda items: OldSequence(items, 2, IndexError("end")), lambda items: items[:2]),
    *[(f"__getitem__ raising {kind.__name__}",
       lambda items, kind=kind: OldSequence(items, 1, kind("hostile")), Raises(kind, "hostile"))
      for kind in KINDS if kind is not IndexError],
    *[(f"__next__ raising {kind.__name__} at {at}",
       lambda items, kind=kind, at=at: IterSequence(items, at, kind("hostile")),
       Raises(kind, "hostile")) for kind in KINDS for at in (0, 2)],
    ("bytes", lambda _: b"\x01\x02\x03", [1, 2, 3]),
    ("bytearray", lambda _: bytearray(b"\x01\x02\x03"), [1, 2, 3]),
    ("range", lambda _: range(1, 4), [1, 2, 3]),
    ("empty", lambda _: [], []),
    ("str", lambda _: "123", NOT_TEXT),
    ("str subclass", lambda _: StrSub("123"), NOT_TEXT),
    *[(type(bad).__name__, lambda _, bad=bad: bad,
       Raises(TypeError, NOT_A_SEQUENCE.format(type(bad).__name__)))
      for bad in ({1: 2}, {1.0}, (x for x in [1.0]), 3.0)],
]

# (case, a list whose item changes it while it is converted, what iterating it gives)
MUTATIONS = [
    ("appends", lambda _: in_list(Mutator(lambda items: items.append(1.5)), 3.0),
     [2.0, 3.0, 1.5]),
    ("pops the last item", lambda _: in_list(1.0, Mutator(list.pop), 3.0, 4.0), ONE_TWO_THREE),
    ("clears", lambda _: in_list(1.0, 3.0, Mutator(list.clear)), [1.0, 3.0, 2.0]),
    ("inserts before it", lambda _: in_list(Mutator(lambda items: items.insert(0, -3.0)), 3.0),
     [2.0, 2.0, 3.0]),
    ("replaces every item",
     lambda _: in_list(Mutator(lambda items: items.__setitem__(slice(None), [7.0, 8.0, 9.0])),
                       5.0, 6.0), [2.0, 8.0, 9.0]),
]

# (case, hostile metric name, the name it converts to or the exception it raises)
NAMES = [
    ("str subclass", lambda: StrSub("dp"), "dp"),
    ("unknown str subclass", lambda: StrSub("DP"), "DP"),
    ("lone surrogate", lambda: "\ud800", Raises(
        UnicodeEncodeError,
        "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed")),
    ("float", lambda: 2.5, Raises(TypeError, "'float' object cannot be converted to 'PyString'")),
]

SIZES, TOTAL = [10.0, 20.0, 30.0], 60.0


def analyzer_summary(analyzer):
    record = analyzer.calculate_all_metrics()
    return [value_bits(getattr(analyzer, name)()) for name in GETTERS] + [
        record_bits(record), repr(record)]


def records(result):
    return [record_bits(record) for record in result]


# Where a hostile vector goes: (entry, its summary, the parameter, the arguments around it).
VECTOR_SLOTS = {
    "v": (A, analyzer_summary, "v", lambda x: (x, SIZES, TOTAL)),
    "corpus_part_sizes_words": (A, analyzer_summary, "corpus_part_sizes_words",
                                lambda x: ([1.0, 0.0, 3.0], x, TOTAL)),
    "frequency_vector": (single, value_bits, "frequency_vector",
                         lambda x: (x, SIZES, TOTAL, "dp")),
    "corpus_part_sizes": (single, value_bits, "corpus_part_sizes",
                          lambda x: ([1.0, 0.0, 3.0], x, TOTAL, "jsd_dispersion")),
    "row": (batch, records, "frequency_matrix",
            lambda x: ([SIZES, x, [0.0, 0.0, 1.0]], SIZES, TOTAL)),
    "batch sizes": (batch, records, "corpus_part_sizes", lambda x: ([[1.0, 0.0, 3.0]], x, TOTAL)),
}
# Where a hostile number goes: into the middle of every vector, and as every total.
NUMBER_SLOTS = {
    **{name: (entry, summary, parameter, lambda x, around=around: around([1.0, x, 3.0]))
       for name, (entry, summary, parameter, around) in VECTOR_SLOTS.items()},
    "total": (A, analyzer_summary, "total_corpus_words", lambda x: ([1.0, 0.0, 3.0], SIZES, x)),
    "single total": (single, value_bits, "total_corpus_words",
                     lambda x: ([1.0, 0.0, 3.0], SIZES, x, "kl_divergence")),
    "batch total": (batch, records, "total_corpus_words", lambda x: ([[1.0, 0.0, 3.0]], SIZES, x)),
}
MATRIX_SLOT = (batch, records, "frequency_matrix", lambda x: (x, SIZES, TOTAL))
NAME_SLOT = (single, value_bits, "metric_name", lambda x: ([1.0, 0.0, 3.0], SIZES, TOTAL, x))


def outcome(call):
    """The result or the exception of a call, comparable by value."""
    try:
        return call()
    except Exception as error:  # noqa: BLE001 (compared by type and text)
        return type(error), str(error)


def check(slot, hostile, expected):
    entry, summary, parameter, arguments = slot
    if isinstance(expected, Raises):
        with pytest.raises(expected.kind) as caught:
            entry(*arguments(hostile))
        prefix = f"argument '{parameter}': " if expected.kind is TypeError else ""
        assert type(caught.value) is expected.kind
        assert str(caught.value) == prefix + expected.message
    else:
        assert outcome(lambda: summary(entry(*arguments(hostile)))) == outcome(
            lambda: summary(entry(*arguments(expected))))
    assert not REENTRY_PROBLEMS
    # Every call left the shared witness unborrowed.
    assert WITNESS.get_range() == 2
    assert record_bits(WITNESS.calculate_all_metrics()) == WITNESS_RECORD


def ids(cases):
    return [case[0] for case in cases]


@pytest.mark.parametrize("slot", NUMBER_SLOTS)
@pytest.mark.parametrize(("case", "item", "expected"), ITEMS, ids=ids(ITEMS))
def test_numbers(slot, case, item, expected):
    check(NUMBER_SLOTS[slot], item(), expected)


@pytest.mark.parametrize("slot", VECTOR_SLOTS)
@pytest.mark.parametrize(("case", "container", "expected"), CONTAINERS + MUTATIONS,
                         ids=ids(CONTAINERS + MUTATIONS))
def test_vectors(slot, case, container, expected):
    check(VECTOR_SLOTS[slot], container(list(ONE_TWO_THREE)),
          expected(ONE_TWO_THREE) if callable(expected) else expected)


@pytest.mark.parametrize(("case", "container", "expected"), CONTAINERS, ids=ids(CONTAINERS))
def test_matrices(case, container, expected):
    rows = [[1.0, 0.0, 3.0], [0.0, 0.0, 0.0], ONE_TWO_THREE]
    check(MATRIX_SLOT, container([list(row) for row in rows]),
          expected(rows) if callable(expected) else expected)


@pytest.mark.parametrize(("case", "name", "expected"), NAMES, ids=ids(NAMES))
def test_metric_names(case, name, expected):
    check(NAME_SLOT, name(), expected)


ENTRIES = {
    "new": (A, ["v", "corpus_part_sizes_words", "total_corpus_words"], analyzer_summary),
    "single": (single, ["frequency_vector", "corpus_part_sizes", "total_corpus_words",
                        "metric_name"], value_bits),
    "batch": (batch, ["frequency_matrix", "corpus_part_sizes", "total_corpus_words"], records),
}
PLAIN = {"v": [1.0, 0.0, 3.0], "frequency_vector": [1.0, 0.0, 3.0],
         "frequency_matrix": [[1.0, 0.0, 3.0], SIZES], "corpus_part_sizes_words": SIZES,
         "corpus_part_sizes": SIZES, "total_corpus_words": TOTAL, "metric_name": "dp"}


def failing(parameter):
    """A value for `parameter` that fails to convert, and the text of its error."""
    if parameter == "metric_name":
        return 7, "argument 'metric_name': 'int' object cannot be converted to 'PyString'"
    bad = HasFloat(ValueError(parameter))
    return {"frequency_matrix": [[bad]], "total_corpus_words": bad}.get(parameter, [bad]), parameter


@pytest.mark.parametrize(("entry", "positional"),
                         [(name, count) for name, (_, parameters, _) in ENTRIES.items()
                          for count in range(len(parameters) + 1)])
def test_parameters_convert_in_declaration_order(entry, positional):
    """The first `positional` parameters by position, the rest by keyword in reverse order: the
    result is the positional call's, and of several failing parameters the first declared one
    is reported."""
    function, parameters, summary = ENTRIES[entry]

    def call(values):
        keywords = {name: values[name] for name in reversed(parameters[positional:])}
        return function(*(values[name] for name in parameters[:positional]), **keywords)

    assert summary(call(PLAIN)) == summary(function(*(PLAIN[name] for name in parameters)))
    for first, name in enumerate(parameters):
        values = {later: failing(later)[0] for later in parameters[first:]}
        with pytest.raises((ValueError, TypeError)) as caught:
            call({**PLAIN, **values})
        assert str(caught.value) == failing(name)[1]
