"""Hostile arguments: objects that raise, lie or mutate their container.

Every input is drawn as a recipe and built twice, so that objects with state
behave the same way for both uses. One copy goes through a reference
conversion written here in Python, which makes the interpreter calls that the
module's conversion makes, in the same order; the other goes to the module.
Either the reference raises, and then the module raises the same exception
type (with the parameter prefix when it is exactly TypeError), or the module
returns, bit for bit, what it returns for the plain lists of floats that the
reference produced.
"""

import ctypes
import struct

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import FIELDS
from lexispan import CorpusWordAnalyzer

A = CorpusWordAnalyzer
SETTINGS = settings(max_examples=200, deadline=None, suppress_health_check=list(HealthCheck))

METRIC_NAMES = ["dp", "dp_norm", "juilland_d", "carroll_d2", "evenness_da", "kl_divergence",
                "jsd_dispersion", "pervasiveness_pt", "hellinger_dispersion",
                "mean_text_frequency_ft"]
MEASURES = ["get_range", "get_sd_population", "get_vc_population", "get_juilland_d",
            "get_carroll_d2", "get_roschengren_s_adj", "get_dp", "get_dp_norm",
            "get_kl_divergence", "get_evenness_da", "get_jsd_dispersion",
            "get_hellinger_dispersion", "get_mean_text_frequency_ft", "get_pervasiveness_pt",
            "get_corpus_part_sizes", "get_total_corpus_words", "get_relative_partition_sizes",
            "get_normalized_frequencies"]

# The interpreter's own conversions, called exactly as the module calls them.
_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double
_is_sequence = ctypes.pythonapi.PySequence_Check
_is_sequence.argtypes = [ctypes.py_object]
_is_sequence.restype = ctypes.c_int

# Used from inside conversions; must still work after every call.
WITNESS = A([2, 0, 3], [100, 50, 150], 300)
WITNESS_RECORD = None
NESTED = ([1, 2], [3, 4], 7)
REENTRY_PROBLEMS = []


def bits(value):
    if isinstance(value, float):
        return ("f", struct.pack("<d", value))
    if isinstance(value, list):
        return [bits(item) for item in value]
    return value


def record_bits(record):
    return tuple(bits(getattr(record, name)) for name in FIELDS)


# --- hostile objects -------------------------------------------------------------------------

class Failing(Exception):
    pass


class TypeErrorSubclass(TypeError):
    pass


EXCEPTIONS = {"failing": Failing, "type": TypeError, "type_sub": TypeErrorSubclass,
              "value": ValueError, "overflow": OverflowError, "index": IndexError}


class FloatSub(float):
    def __float__(self):  # never consulted for a float subclass
        return 0.25


class IntSub(int):
    def __float__(self):  # consulted: an int has no stored double
        return 2.5


class StrSub(str):
    pass


class HasFloat:
    def __init__(self, result, raises=None):
        self.result, self.raises = result, raises

    def __float__(self):
        if self.raises:
            raise EXCEPTIONS[self.raises]("from __float__")
        return self.result


class HasIndex:
    def __init__(self, result, raises=None):
        self.result, self.raises = result, raises

    def __index__(self):
        if self.raises:
            raise EXCEPTIONS[self.raises]("from __index__")
        return self.result


class Reentrant:
    """Calls back into the module (and into the shared witness) while converting."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        if record_bits(WITNESS.calculate_all_metrics()) != WITNESS_RECORD:
            REENTRY_PROBLEMS.append("witness record changed")
        if WITNESS.get_range() != 2:
            REENTRY_PROBLEMS.append("witness range changed")
        if (A.calculate_single_metric([1, 2], [3, 4], 7, "dp") !=
                A(*NESTED).get_dp() or
                record_bits(A.calculate_batch_metrics([NESTED[0]], *NESTED[1:])[0]) !=
                record_bits(A(*NESTED).calculate_all_metrics())):
            REENTRY_PROBLEMS.append("nested call disagrees")
        return self.result


class Mutator:
    """Changes the list it sits in when first converted."""

    def __init__(self, action, result):
        self.action, self.result, self.container = action, result, None

    def __float__(self):
        items, self.container = self.container, None  # once: an insert would come round again
        if items is None:  # not in a list, or already done
            pass
        elif self.action == "append":
            items.append(1.5)
        elif self.action == "pop":
            if items:
                items.pop()
        elif self.action == "clear":
            items.clear()
        elif self.action == "insert":
            items.insert(0, -3.0)
        elif self.action == "replace":
            items[:] = [7.0, 8.0]
        return self.result


class OldSequence:
    """__getitem__ only (plus an optional __len__ that may lie or raise);
    indexing may fail part-way with something other than IndexError."""

    def __init__(self, items, length, fail_at=-1, raises=None):
        self.items, self.length, self.fail_at, self.raises = items, length, fail_at, raises

    def __getitem__(self, index):
        if index == self.fail_at:
            raise EXCEPTIONS[self.raises]("from __getitem__")
        return self.items[index]


class LengthSequence(OldSequence):
    def __len__(self):
        if self.length == "raises":
            raise Failing("from __len__")
        if self.length == "huge":
            return 2 ** 62
        if self.length == "overflow":
            return 2 ** 70
        if self.length == "negative":
            return -1
        if self.length == "wrong_type":
            return "three"
        return len(self.items)


class IterSequence:
    """Iteration yields other items than indexing, and may fail part-way."""

    def __init__(self, items, fail_at, raises):
        self.items, self.fail_at, self.raises = items, fail_at, raises

    def __getitem__(self, index):
        return 99.0

    def __len__(self):
        return 1

    def __iter__(self):
        for position, item in enumerate(self.items):
            if position == self.fail_at:
                raise EXCEPTIONS[self.raises]("from __next__")
            yield item


# --- recipes ---------------------------------------------------------------------------------

def nan_with_payload(sign, payload):
    return struct.unpack("<d", struct.pack("<Q", (sign << 63) | 0x7FF0000000000000 |
                                           (payload or 1)))[0]


exception_names = st.sampled_from(sorted(EXCEPTIONS))
plain_floats = st.one_of(
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([0.0, -0.0, 1.0, -1.0, 5e-324, -5e-324, 2.2250738585072014e-308,
                     1.7976931348623157e308, -1.7976931348623157e308, 1e-300, 1e300]),
    st.builds(nan_with_payload, st.integers(0, 1), st.integers(0, 2 ** 52 - 1)),
)
numbers = st.one_of(
    st.tuples(st.just("float"), plain_floats),
    st.tuples(st.just("int"), st.one_of(st.integers(-10, 1000),
                                        st.integers(-(2 ** 1030), 2 ** 1030))),
    st.tuples(st.just("bool"), st.booleans()),
    st.tuples(st.just("float_sub"), plain_floats),
    st.tuples(st.just("int_sub"), st.integers(-5, 5)),
    st.tuples(st.just("has_float"), plain_floats),
    st.tuples(st.just("float_wrong_type"), st.sampled_from([1, "1.0", None, [1.0]])),
    st.tuples(st.just("float_raises"), exception_names),
    st.tuples(st.just("has_index"), st.integers(-(2 ** 1030), 2 ** 1030)),
    st.tuples(st.just("index_wrong_type"), st.sampled_from([1.5, "1", None])),
    st.tuples(st.just("index_raises"), exception_names),
    st.tuples(st.just("other"), st.sampled_from(["str", "none", "complex", "list", "bytes"])),
    st.tuples(st.just("reentrant"), plain_floats),
    st.tuples(st.just("mutator"), st.tuples(
        st.sampled_from(["append", "pop", "clear", "insert", "replace"]), plain_floats)),
)
benign = st.one_of(
    st.tuples(st.just("int"), st.integers(0, 20)),
    st.tuples(st.just("float"), plain_floats),
    st.tuples(st.sampled_from(["float_sub", "has_float", "reentrant"]), plain_floats),
    st.tuples(st.sampled_from(["int_sub", "bool"]), st.integers(0, 1)),
    st.tuples(st.just("has_index"), st.integers(-5, 50)),
)
# Mostly items that convert, so that many examples get through conversion.
def weighted(common, rare, rare_in_ten):
    return st.integers(0, 9).flatmap(lambda k: rare if k < rare_in_ten else common)


item = weighted(benign, numbers, 1)
LENGTH_BEHAVIOURS = ["none", "true", "huge", "overflow", "negative", "raises", "wrong_type"]


def sequences_of(children):
    """Containers that are sequences and iterate over `children`."""
    return st.one_of(
        st.tuples(st.sampled_from(["list", "tuple"]), children),
        st.tuples(st.just("old"), children, st.sampled_from(LENGTH_BEHAVIOURS),
                  weighted(st.just(-1), st.integers(0, 5), 3), exception_names),
        st.tuples(st.just("iter"), children, st.integers(-1, 5), exception_names),
    )


def containers(children):
    return st.one_of(
        sequences_of(children),
        st.tuples(st.sampled_from(["bytes", "bytearray"]),
                  st.lists(st.integers(0, 255), max_size=5)),
        st.tuples(st.just("range"), st.integers(-3, 3), st.integers(-3, 5)),
        st.tuples(st.sampled_from(["str", "str_sub", "dict", "set", "generator", "number"]),
                  st.text(max_size=3)),
    )


vectors = containers(st.lists(item, max_size=5))
matrices = containers(st.lists(vectors, max_size=4))


def vectors_of(n):
    return sequences_of(st.lists(item, min_size=n, max_size=n))


lengths = st.integers(1, 5)
# Frequencies and part sizes of one length most of the time.
vector_pairs = st.one_of(lengths.flatmap(lambda n: st.tuples(vectors_of(n), vectors_of(n))),
                         st.tuples(vectors, vectors))
matrix_and_sizes = st.one_of(
    lengths.flatmap(lambda n: st.tuples(sequences_of(st.lists(vectors_of(n), max_size=4)),
                                        vectors_of(n))),
    st.tuples(matrices, vectors))


def build_number(recipe):
    kind, data = recipe
    if kind in ("float", "int", "bool"):
        return data
    if kind == "float_sub":
        return FloatSub(data)
    if kind == "int_sub":
        return IntSub(data)
    if kind == "has_float":
        return HasFloat(data)
    if kind == "float_wrong_type":
        return HasFloat(list(data) if isinstance(data, list) else data)
    if kind == "float_raises":
        return HasFloat(None, raises=data)
    if kind == "has_index":
        return HasIndex(data)
    if kind == "index_wrong_type":
        return HasIndex(data)
    if kind == "index_raises":
        return HasIndex(None, raises=data)
    if kind == "other":
        return {"str": "1", "none": None, "complex": 1j, "list": [1.0], "bytes": b"1"}[data]
    if kind == "reentrant":
        return Reentrant(data)
    if kind == "mutator":
        return Mutator(*data)
    raise AssertionError(kind)


def build_container(recipe, build_child):
    kind = recipe[0]
    if kind in ("list", "tuple"):
        built = [build_child(child) for child in recipe[1]]
        for item in built:
            if isinstance(item, Mutator):
                item.container = built
        return built if kind == "list" else tuple(built)
    if kind == "old":
        built = [build_child(child) for child in recipe[1]]
        sequence = OldSequence if recipe[2] == "none" else LengthSequence
        return sequence(built, recipe[2], recipe[3], recipe[4])
    if kind == "iter":
        return IterSequence([build_child(child) for child in recipe[1]], recipe[2], recipe[3])
    if kind == "bytes":
        return bytes(recipe[1])
    if kind == "bytearray":
        return bytearray(recipe[1])
    if kind == "range":
        return range(recipe[1], recipe[2])
    text = recipe[1]
    return {"str": lambda: text, "str_sub": lambda: StrSub(text), "dict": lambda: {text: 1},
            "set": lambda: {1.0}, "generator": lambda: (x for x in [1.0]),
            "number": lambda: 3.0}[kind]()


def build_vector(recipe):
    return build_container(recipe, build_number)


def build_matrix(recipe):
    return build_container(recipe, build_vector)


# --- the reference conversion ----------------------------------------------------------------

def reference_sequence(obj, convert_item):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if not _is_sequence(obj):
        raise TypeError(f"'{type(obj).__qualname__}' object cannot be converted to 'Sequence'")
    try:
        len(obj)  # only a size hint; a failure is ignored
    except Exception:
        pass
    return [convert_item(item) for item in iter(obj)]


def reference_vector(obj):
    return reference_sequence(obj, _as_double)


def reference_matrix(obj):
    return reference_sequence(obj, reference_vector)


def reference_text(obj):
    if not isinstance(obj, str):
        raise TypeError(f"'{type(obj).__qualname__}' object cannot be converted to 'PyString'")
    return obj.encode("utf-8").decode("utf-8")


def convert_all(parameters, converters, objects):
    """Plain values in parameter order, or (the failing parameter, its exception)."""
    converted = []
    for name, convert, obj in zip(parameters, converters, objects):
        try:
            converted.append(convert(obj))
        except Exception as error:
            return None, (name, error)
    return converted, None


def outcome(call):
    """The result (as bits) or the documented exception of a call: the
    module's own, or one that a hostile object raised. Anything else (a
    RuntimeError from a stuck borrow flag, PanicException, SystemError)
    fails the test."""
    try:
        return ("ok", call()), None
    except (TypeError, ValueError, OverflowError, UnicodeEncodeError, Failing,
            IndexError) as error:
        return ("error",), error


def assert_same_failure(actual, name, expected):
    assert actual is not None, f"expected {type(expected).__name__} for {name}"
    assert type(actual) is type(expected), (actual, expected)
    if type(expected) is TypeError:
        assert str(actual) == f"argument '{name}': {expected}"
    else:
        assert str(actual) == str(expected)


def arrange(function, parameters, values, order, positional):
    """Calls function with the first `positional` parameters of `order` by
    position (in declaration order) and the rest by keyword in `order`."""
    by_position = [values[i] for i in range(positional)]
    keywords = {parameters[i]: values[i] for i in order if i >= positional}
    return function(*by_position, **keywords)


def check_entry(function, parameters, converters, build, recipes, order, positional,
                summarise):
    global WITNESS_RECORD
    WITNESS_RECORD = record_bits(WITNESS.calculate_all_metrics())
    plain, failure = convert_all(parameters, converters, build(recipes))
    hostile = build(recipes)
    result, error = outcome(lambda: summarise(arrange(function, parameters, hostile, order,
                                                      positional)))
    if failure is not None:
        assert_same_failure(error, *failure)
    else:
        expected, expected_error = outcome(lambda: summarise(function(*plain)))
        if expected_error is not None:
            assert type(error) is type(expected_error) and str(error) == str(expected_error)
        else:
            assert error is None, error
            assert result == expected
    assert not REENTRY_PROBLEMS
    # Every call left the shared witness unborrowed.
    assert WITNESS.get_range() == 2
    assert record_bits(WITNESS.calculate_all_metrics()) == WITNESS_RECORD


def analyzer_summary(analyzer):
    return [bits(getattr(analyzer, name)()) for name in MEASURES] + [
        record_bits(analyzer.calculate_all_metrics()), repr(analyzer.calculate_all_metrics())]


totals = weighted(st.one_of(benign, st.tuples(st.just("int"), st.integers(1, 1000)),
                            st.tuples(st.just("float"), st.floats(1e-300, 1e300))),
                  numbers, 3)
metric_names = st.one_of(
    st.sampled_from(METRIC_NAMES),
    st.sampled_from(METRIC_NAMES),
    st.builds(StrSub, st.sampled_from(METRIC_NAMES)),
    st.sampled_from(["range", "", "DP", " dp", "\ud800", "d\u00e9p"]),
    st.sampled_from([7, None, b"dp", 2.5]),
)


@SETTINGS
@given(pair=vector_pairs, total=totals, order=st.permutations(range(3)),
       positional=st.integers(0, 3))
def test_constructor(pair, total, order, positional):
    v, sizes = pair
    parameters = ["v", "corpus_part_sizes_words", "total_corpus_words"]
    check_entry(A, parameters, [reference_vector, reference_vector, _as_double],
                lambda r: [build_vector(r[0]), build_vector(r[1]), build_number(r[2])],
                (v, sizes, total), order, positional, analyzer_summary)


@SETTINGS
@given(pair=vector_pairs, total=totals, name=metric_names, order=st.permutations(range(4)),
       positional=st.integers(0, 4))
def test_single_metric(pair, total, name, order, positional):
    v, sizes = pair
    parameters = ["frequency_vector", "corpus_part_sizes", "total_corpus_words", "metric_name"]
    check_entry(A.calculate_single_metric, parameters,
                [reference_vector, reference_vector, _as_double, reference_text],
                lambda r: [build_vector(r[0]), build_vector(r[1]), build_number(r[2]), r[3]],
                (v, sizes, total, name), order, positional, bits)


@SETTINGS
@given(inputs=matrix_and_sizes, total=totals, order=st.permutations(range(3)),
       positional=st.integers(0, 3))
def test_batch(inputs, total, order, positional):
    matrix, sizes = inputs
    parameters = ["frequency_matrix", "corpus_part_sizes", "total_corpus_words"]
    check_entry(A.calculate_batch_metrics, parameters,
                [reference_matrix, reference_vector, _as_double],
                lambda r: [build_matrix(r[0]), build_vector(r[1]), build_number(r[2])],
                (matrix, sizes, total), order, positional,
                lambda records: [record_bits(record) for record in records])
