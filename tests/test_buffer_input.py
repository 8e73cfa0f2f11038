"""Numeric buffers read directly must give exactly what item-by-item conversion gives.

Every case compares the outcome for a buffer-exporting object with the outcome
for a plain list of the same items: the same doubles bit for bit (NaN payloads,
-0.0 and rounding of large integers included), or the same exception type and
message.
"""

import array
import struct
import sys
import warnings

import pytest

from conftest import record_bits, value_bits
from lexispan import CorpusWordAnalyzer as A

np = pytest.importorskip("numpy")

def outcome(call):
    """The result as bits, or the exception's type and text."""
    try:
        result = call()
    except Exception as error:  # noqa: BLE001 - compared, not swallowed
        return type(error), str(error)
    if isinstance(result, list):
        return [value_bits(x) if isinstance(x, float) else record_bits(x) for x in result]
    return value_bits(result)


def as_vector(v):
    """The vector conversion of `v`, read back exactly (part sizes are kept as given)."""
    return A([1] * len(v), v, 10).get_corpus_part_sizes()


def doubles(*patterns):
    return [struct.unpack("<d", struct.pack("<Q", p))[0] for p in patterns]


SPECIAL_DOUBLES = [1.5, -0.0, 0.0, float("inf"), -float("inf"), 5e-324, 1.7976931348623157e308,
                   *doubles(0x7FF8000000000123, 0xFFF4000000000001, 0x7FF0000000000001)]
SPECIAL_SINGLES = np.frombuffer(struct.pack(
    "<8I", 0x3FC00000, 0x80000000, 0x7F800000, 0x00000001, 0x7F800001, 0xFFC00123, 0x7F7FFFFF,
    0x7FA00000), dtype="<f4")


def integer_values(dtype):
    info = np.iinfo(dtype)
    values = {info.min, info.max, 0, 1, info.max // 3}
    if info.bits == 64:
        # Above 2**53: ties to even and the roundings either side of them.
        values |= {2**53 + 1, 2**53 + 3, 2**62 + 2**9, 2**62 + 2**9 + 1, 2**63 - 2**9,
                   2**63 - 1}
        if info.min == 0:
            values |= {2**64 - 2**10, 2**64 - 2**10 - 1, 2**63 + 2**10, 2**63 + 3 * 2**10}
        else:
            values |= {-(2**53) - 1, -(2**63) + 2**9, -(2**63) + 2**9 + 1}
    return sorted(values)


def sample(dtype):
    dtype = np.dtype(dtype)
    if dtype.kind in "iu":
        return np.array(integer_values(dtype), dtype=dtype)
    if dtype.itemsize == 4:
        return SPECIAL_SINGLES.astype(dtype)
    return np.array(SPECIAL_DOUBLES, dtype=dtype)


NUMPY_DTYPES = ["f8", "f4", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "q", "Q",
                ">f8", ">f4", ">i2", ">u4", ">i8", ">u8", "<f8", "<i8"]


@pytest.mark.parametrize("dtype", NUMPY_DTYPES)
def test_numpy_vector_gives_the_doubles_of_its_items(dtype):
    arr = sample(dtype)
    assert outcome(lambda: as_vector(arr)) == outcome(lambda: as_vector(arr.tolist()))
    assert outcome(lambda: as_vector(arr)) == outcome(lambda: as_vector(list(arr)))


def test_large_integers_round_to_nearest_even():
    arr = np.array([2**53 + 1, 2**53 + 3, 2**64 - 2**10], dtype=np.uint64)
    assert [value_bits(x) for x in as_vector(arr)] == [
        value_bits(float(2**53)), value_bits(float(2**53 + 4)), value_bits(float(2**64))]


def test_nan_payloads_and_negative_zero_survive():
    arr = np.array(SPECIAL_DOUBLES)
    assert [value_bits(x) for x in as_vector(arr)] == [value_bits(x) for x in SPECIAL_DOUBLES]


@pytest.mark.parametrize("typecode", "bBhHiIlLqQfd")
def test_array_array_and_its_memoryview(typecode):
    if typecode in "fd":
        items = SPECIAL_DOUBLES if typecode == "d" else SPECIAL_SINGLES.tolist()
    else:
        info = np.iinfo(np.dtype(typecode))
        items = [info.min, info.max, 0, 7]
    arr = array.array(typecode, items)
    expected = outcome(lambda: as_vector(list(arr)))
    assert outcome(lambda: as_vector(arr)) == expected
    assert outcome(lambda: as_vector(memoryview(arr))) == expected


@pytest.mark.parametrize("fmt", ["b", "B", "h", "H", "i", "I", "l", "L", "q", "Q", "n", "N", "f",
                                 "d", "@d"])
def test_memoryview_cast(fmt):
    view = memoryview(bytes(range(256)) * 2).cast(fmt)
    assert outcome(lambda: as_vector(view)) == outcome(lambda: as_vector(view.tolist()))


@pytest.mark.parametrize("data", [b"", b"\x00\x01\xff", bytearray(b"\x03\x04")])
def test_bytes_give_their_byte_values(data):
    assert outcome(lambda: as_vector(data)) == outcome(lambda: as_vector(list(data)))


# Objects that keep the item-by-item path; the reference is the list of the
# same items, so values, warnings and errors must all agree.
FALLBACKS = {
    "strided": lambda: np.arange(10.0)[::2],
    "reversed": lambda: np.arange(5.0)[::-1],
    "broadcast": lambda: np.broadcast_to(np.array(2.5), (4,)),
    "object": lambda: np.array([1, 2.5, 2**70], dtype=object),
    "bool": lambda: np.array([True, False]),
    "half": lambda: np.frombuffer(struct.pack("<3H", 0x7C01, 0x8000, 0x3C00), dtype="<f2"),
    "long double": lambda: np.array([1.5, 2.0], dtype=np.longdouble),
    "complex": lambda: np.array([1 + 0j, 2 + 0j]),
    "2-D as vector": lambda: np.ones((2, 3)),
    "unicode array.array": lambda: array.array("w" if sys.version_info >= (3, 13) else "u", "ab"),
    "memoryview, big-endian": lambda: memoryview(np.arange(3.0).astype(">f8")),
    "memoryview, 2-D": lambda: memoryview(np.ones((2, 2))),
    "memoryview, bool": lambda: memoryview(b"\x01\x00").cast("?"),
}


@pytest.mark.parametrize("name", FALLBACKS)
def test_fallback_agrees_with_the_items(name):
    obj = FALLBACKS[name]()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            items = list(obj)
        except Exception as error:  # the conversion must fail the same way
            items = None
            expected = type(error), str(error)
        if items is not None:
            expected = outcome(lambda: as_vector(items))
        assert outcome(lambda: as_vector(obj)) == expected


def test_subclasses_are_iterated_not_read():
    class Bytes(bytearray):
        def __iter__(self):
            return iter([9, 9])

    assert as_vector(Bytes(b"\x01\x02")) == [9.0, 9.0]
    masked = np.ma.masked_array([1.0, 5.0], mask=[False, True])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert outcome(lambda: as_vector(masked)) == outcome(lambda: as_vector(list(masked)))
        matrix = np.matrix([[1.0, 2.0], [3.0, 4.0]])
    assert outcome(lambda: A.calculate_batch_metrics(matrix, [1, 1], 2)) == outcome(
        lambda: A.calculate_batch_metrics(list(matrix), [1, 1], 2))


def test_other_dimensions_fail_as_their_items_do():
    with pytest.raises(TypeError) as raised:
        iter(np.array(2.0))
    assert outcome(lambda: A(np.array(2.0), [1], 1)) == (
        TypeError, f"argument 'v': {raised.value}")
    cube = np.ones((2, 2, 2))
    assert outcome(lambda: A.calculate_batch_metrics(cube, [1, 2], 3)) == outcome(
        lambda: A.calculate_batch_metrics(list(cube), [1, 2], 3))


ERRORS = [
    (lambda: A.calculate_batch_metrics(memoryview(np.ones((2, 2))), [1, 2], 3),
     NotImplementedError, "multi-dimensional sub-views are not implemented"),
    (lambda: A.calculate_batch_metrics(b"\x01\x02", [1], 3), TypeError,
     "argument 'frequency_matrix': 'int' object cannot be converted to 'Sequence'"),
    (lambda: A.calculate_batch_metrics(np.ones((2, 3)), [1, 2], 3), ValueError,
     "Row 0 has length 3, expected 2"),
    (lambda: A.calculate_batch_metrics([np.ones(2), np.ones(1)], [1, 2], 3), ValueError,
     "Row 1 has length 1, expected 2"),
    (lambda: A.calculate_batch_metrics(np.ones((3, 0)), np.ones(0), 3), ValueError,
     "Input vectors cannot be empty."),
    (lambda: A.calculate_batch_metrics(np.ones((1, 2)), np.ones(2), 0), ValueError,
     "Total corpus words must be positive."),
    (lambda: A(np.array([]), array.array("d"), 3), ValueError, "Input vectors cannot be empty."),
    (lambda: A.calculate_single_metric(np.ones(2), "ab", 3, "dp"), TypeError,
     "argument 'corpus_part_sizes': Can't extract `str` to `Vec`"),
]


@pytest.mark.parametrize(("call", "error", "message"), ERRORS)
def test_error_messages(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message and type(raised.value) is error


def test_released_memoryview_fails_as_before():
    view = memoryview(b"\x01\x02")
    view.release()
    with pytest.raises(ValueError, match="^operation forbidden on released memoryview object$"):
        A(view, [1, 2], 3)


def batch_matrix():
    rng = np.random.default_rng(3)
    m = rng.integers(0, 9, size=(37, 5)).astype(np.float64)
    m[3, 1] = -0.0
    m[4, :] = 0.0
    m[5, 2] = float("inf")
    m[6, 0:3] = doubles(0x7FF8000000000123, 0xFFF4000000000001, 0x7FF0000000000001)
    return m


def finite(m):
    return np.nan_to_num(m, nan=0.0, posinf=1.0, neginf=0.0)


def single(m):
    with np.errstate(invalid="ignore"):  # narrowing a signalling NaN
        return m.astype(np.float32)


SIZES = [3.0, 1.0, 4.0, 1.0, 5.0]
MATRICES = {
    "float64": lambda m: m,
    "float64 big-endian": lambda m: m.astype(">f8"),
    "float32": lambda m: single(m),
    # Above 2**53, so that rounding shows.
    "int64": lambda m: (finite(m).astype(np.int64) * 2**59 + 2**9 + 1)
    * np.where(m > 4, -1, 1),
    "uint64": lambda m: finite(m).astype(np.uint64) * 2**60 + 2**9 + 1,
    "uint8": lambda m: finite(m).astype(np.uint8),
    "Fortran order": np.asfortranarray,
    "every other column": lambda m: np.repeat(m, 2, axis=1)[:, ::2],
    "rows as 1-D arrays": list,
    "rows as array.array": lambda m: [array.array("d", row) for row in m],
    "unaligned": lambda m: np.frombuffer(b"\x00" + m.tobytes(), dtype="f8", offset=1).reshape(
        m.shape),
    "no rows": lambda m: m[:0],
}


# Plain totals and part sizes let a float64 matrix be read in place; the
# others make the conversion copy it first.
@pytest.mark.parametrize("name", MATRICES)
@pytest.mark.parametrize(("sizes", "total"), [
    (SIZES, 30.0), (np.array(SIZES), 30), (tuple(SIZES), float("nan")),
    (SIZES, np.float64(30.0)), (range(1, 6), 30.0)])
def test_batch_matrix_agrees_with_lists(name, sizes, total):
    matrix = MATRICES[name](batch_matrix())
    reference = np.asarray(matrix).tolist()
    assert outcome(lambda: A.calculate_batch_metrics(matrix, sizes, total)) == outcome(
        lambda: A.calculate_batch_metrics(reference, list(sizes), float(total)))


def test_batch_rows_agree_with_the_single_word_path():
    matrix = batch_matrix()
    records = A.calculate_batch_metrics(matrix, np.array(SIZES), 30.0)
    for row, record in zip(matrix, records, strict=True):
        assert record_bits(record) == record_bits(A(row, SIZES, 30.0).calculate_all_metrics())
    assert outcome(lambda: A.calculate_single_metric(matrix[1], np.array(SIZES), 30.0, "dp")) == \
        outcome(lambda: A.calculate_single_metric(matrix[1].tolist(), SIZES, 30.0, "dp"))


class Mutating:
    """Changes the matrix while a later argument is converted."""

    def __init__(self, matrix, value):
        self.matrix, self.value = matrix, value

    def mutate(self):
        self.matrix[:] = 1.0
        return self.value


class MutatingTotal(Mutating):
    def __float__(self):
        return self.mutate()


class MutatingSizes(Mutating):
    def __len__(self):
        return len(self.value)

    def __getitem__(self, i):
        if i == 0:
            self.mutate()
        return self.value[i]


@pytest.mark.parametrize("kind", ["total", "sizes"])
def test_matrix_is_read_before_later_arguments_run_python_code(kind):
    matrix = batch_matrix()
    expected = outcome(lambda: A.calculate_batch_metrics(matrix.tolist(), SIZES, 30.0))
    if kind == "total":
        args = (SIZES, MutatingTotal(matrix, 30.0))
    else:
        args = (MutatingSizes(matrix, SIZES), 30.0)
    assert outcome(lambda: A.calculate_batch_metrics(matrix, *args)) == expected
    assert (matrix == 1.0).all()


def test_buffers_are_released():
    data = bytearray(b"\x01\x02")
    A(data, data, 3)
    data.extend(b"\x03")  # refused while a buffer is still exported
    matrix = batch_matrix()
    before = sys.getrefcount(matrix)
    A.calculate_batch_metrics(matrix, SIZES, 30.0)
    with pytest.raises(ValueError):
        A.calculate_batch_metrics(matrix, SIZES[:1], 30.0)
    assert sys.getrefcount(matrix) == before


def one_row(make):
    """The same elements as a 1-D and as a one-row 2-D buffer."""
    flat = make()
    return flat, (flat.reshape(1, -1) if isinstance(flat, np.ndarray)
                  else flat.cast("B").cast(flat.format, shape=[1, len(flat)]))


def unaligned(dtype):
    data = sample(dtype)
    return np.frombuffer(b"\x00" + data.tobytes(), dtype=data.dtype, offset=1)


# Both extension modules parse element formats with one parser, each with its
# own rules: where the table engine reads a format, it must read the doubles
# of the items, as the record's conversion does; it refuses the byte-swapped
# ones (the package converts them first).
SHARED_FORMATS = {
    **{dtype: (lambda dtype=dtype: sample(dtype)) for dtype in NUMPY_DTYPES},
    **{f"unaligned {dtype}": (lambda dtype=dtype: unaligned(dtype)) for dtype in ["i8", "u8", "f8",
                                                                                 "f4", "i2"]},
    "bool": lambda: np.array([True, False, True]),
    **{f"memoryview {fmt}": (lambda fmt=fmt: memoryview(bytes(range(64))).cast(fmt))
       for fmt in "bBhHiIlLqQnNfd"},
}


@pytest.mark.parametrize("name", SHARED_FORMATS)
def test_both_modules_read_a_format_alike(name):
    from lexispan_table import _native
    flat, matrix = one_row(SHARED_FORMATS[name])
    sums = np.zeros(len(flat))
    try:
        _native.part_sums(("dense", matrix, 0), sums)
    except TypeError as error:
        assert str(error) == f"counts: unsupported element format '{memoryview(flat).format}'"
        assert memoryview(flat).format[0] in "<>!" and flat.dtype.byteorder != "="
        return
    # One word: each part's sum is +0.0 plus the word's count.
    expected = [value_bits(0.0 + x) for x in as_vector(flat.tolist())]
    assert [value_bits(x) for x in sums.tolist()] == expected == [
        value_bits(0.0 + x) for x in as_vector(flat)]
