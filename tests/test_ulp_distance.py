import math
import re
import struct

import pytest
from hypothesis import given, strategies as st

from fpscope._core import all_floats, next_up, ulp_distance, ulp_distances

INF, NAN = math.inf, math.nan
CODES = {"f32": ("<f", "<i", "<I"), "f64": ("<d", "<q", "<Q")}


def ordered_model(x, dtype):
    """Ordered value of x (narrowed for f32) from its bit pattern, in plain integers."""
    code, _, word = CODES[dtype]
    try:
        bits = struct.unpack(word, struct.pack(code, x))[0]
    except OverflowError:  # beyond the binary32 range: an infinity
        bits = struct.unpack(word, struct.pack(code, math.copysign(INF, x)))[0]
    sign = 1 << (struct.calcsize(word) * 8 - 1)
    return sign - bits if bits & sign else bits


@pytest.mark.parametrize(
    "a, b, dtype, expected",
    [
        (1.0, 1.0, "f64", 0),
        (-0.0, 0.0, "f64", 0),
        (0.0, 5e-324, "f64", 1),
        (-5e-324, 5e-324, "f64", 2),
        (1.0, 2.0, "f64", 4503599627370496),
        (1.0, 2.0, "f32", 8388608),
        (-1.0, 1.0, "f64", 9214364837600034816),
        (-1.0, 1.0, "f32", 2130706432),
        (1.7976931348623157e308, INF, "f64", 1),
        (-INF, INF, "f64", 18437736874454810624),
        (-INF, INF, "f32", 4278190080),
        (1.0, 1e300, "f32", 1073741824),
        (1.0, 1.0000000000000002, "f32", 0),
        (NAN, 1.0, "f64", None),
        (INF, NAN, "f32", None),
    ],
)
def test_ulp_distance_examples(a, b, dtype, expected):
    assert ulp_distance(a, b, dtype) == ulp_distance(b, a, dtype=dtype) == expected


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@given(a=st.floats(), b=st.floats())
def test_ulp_distance_matches_bit_model(dtype, a, b):
    expected = None if math.isnan(a) or math.isnan(b) else abs(ordered_model(a, dtype) - ordered_model(b, dtype))
    assert ulp_distance(a, b, dtype) == expected


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@given(a=st.floats(allow_nan=False), n=st.integers(0, 300))
def test_ulp_distance_counts_the_floats_of_a_range(dtype, a, n):
    lo = hi = all_floats(a, a, dtype)[0]
    for _ in range(n):
        hi = next_up(hi, dtype)
    assert ulp_distance(lo, hi, dtype) == len(all_floats(lo, hi, dtype, limit=1000)) - 1


def test_ulp_distances_elementwise():
    assert ulp_distances([1.0, NAN], [2.0, 1.0]) == [4503599627370496, None]
    assert ulp_distances((1, 2.0, 1e300), [2, 1, 1.0], "f32") == [8388608, 8388608, 1073741824]
    assert ulp_distances([], []) == []


@pytest.mark.parametrize(
    "a, b, message",
    [([1.0], [1.0, 2.0], "length mismatch: 1 vs 2"), ([], [], "unsupported dtype \"bad\": use 'f32' or 'f64'")],
)
def test_ulp_distances_checks_lengths_before_dtype(a, b, message):
    with pytest.raises(ValueError) as info:
        ulp_distances(a, b, "bad")
    assert str(info.value) == message


# --- numpy arrays: uint64 arrays from the native kernel ----------------------------------------------

np = pytest.importorskip("numpy")
import fpscope  # noqa: E402
from support import FORMATS, model_ordered  # noqa: E402



def dtype_of(name):
    if name == "bf16":
        return pytest.importorskip("ml_dtypes").bfloat16
    return {"f16": np.float16, "f32": np.float32, "f64": np.float64}[name]


def finite_pairs(name, n=4000, seed=5):
    """Pattern arrays a, b: every pair of edge patterns (signed zeros, extreme subnormals, smallest
    normal, largest finite, infinities), then random non-NaN pairs."""
    width, inf = FORMATS[name]["width"], FORMATS[name]["inf"]
    normal = 1 << (fpscope.formats.resolve(name).precision - 1)
    edges = [s | m for s in (0, 1 << (width - 1)) for m in (0, 1, 2, normal - 1, normal, inf - 1, inf)]
    random = np.random.default_rng(seed).integers(0, 1 << width, (2, n), dtype=np.uint64)
    random = random[:, ((random & ((1 << (width - 1)) - 1)) <= inf).all(axis=0)]
    pa = [a for a in edges for _ in edges] + random[0].tolist()
    pb = [b for _ in edges for b in edges] + random[1].tolist()
    return np.array(pa, dtype=f"uint{width}"), np.array(pb, dtype=f"uint{width}")


@pytest.mark.parametrize("name", ["f16", "bf16", "f32", "f64"])
def test_arrays_of_a_format_count_floats_as_the_integer_model(name):
    pa, pb = finite_pairs(name)
    a, b = pa.view(dtype_of(name)), pb.view(dtype_of(name))
    want = [abs(model_ordered(x, name) - model_ordered(y, name)) for x, y in zip(pa.tolist(), pb.tolist())]
    got = fpscope.ulp_distances(a, b)  # the format inferred from the arrays
    assert got.dtype == np.uint64 and got.tolist() == want
    grid = fpscope.ulp_distances(a[:196].reshape(14, 14).T, b[:196].reshape(14, 14).T)  # strided, 2-d
    assert grid.shape == (14, 14) and grid.T.ravel().tolist() == want[:196]
    if name != "bf16":  # byte-swapped, here and in the lists of fpscope.formats
        swapped = a.astype(a.dtype.newbyteorder())
        assert fpscope.ulp_distances(swapped, b, name).tolist() == want
        assert fpscope.formats.resolve(name).ulp_distances(swapped[:50], b[:50].tolist()) == want[:50]


WIDE = [0.0, -0.0, 5e-324, 1e-45, 65519.99, 65520.0, 3.4e38, 1e300, -math.inf, 1.0 + 2**-11, 1.0 + 2**-8 + 2**-30]


@pytest.mark.parametrize("source, name", [("f64", "f32"), ("f64", "f16"), ("f64", "bf16"), ("f32", "f16"),
                                          ("f32", "bf16"), ("f16", "bf16"), ("f32", "f64"), ("i64", "f32"),
                                          ("i64", "f16")])
def test_arrays_of_other_dtypes_round_as_the_lists_do(source, name):
    if name == "bf16":
        dtype_of(name)
    if source == "i64":  # integers past 2**53 round from their exact value
        a = np.array([2**53 + 1, -(2**62) - 1, 3, 65519, 65520, 0])
    else:
        with np.errstate(over="ignore"):
            a = np.array(WIDE).astype(dtype_of(source))
    b = a[::-1].copy()
    got = fpscope.ulp_distances(a, b, name)
    assert got.dtype == np.uint64 and got.tolist() == fpscope.ulp_distances(a.tolist(), b.tolist(), name)


@pytest.mark.parametrize("shape, index, shown", [((5,), (3,), "3"), ((2, 3), (1, 0), "(1, 0)"), ((), (), "()")])
@pytest.mark.parametrize("side", ["a", "b", "both"])
@pytest.mark.parametrize("dtype", [np.float32, object])  # the kernel, and the path of the lists
def test_a_nan_is_refused_at_its_first_index(shape, index, shown, side, dtype):
    a, b = np.ones(shape, dtype=dtype), np.full(shape, 2.0, dtype=dtype)
    for array in (a, b) if side == "both" else (a,) if side == "a" else (b,):
        array[index] = math.nan
        array.flat[-1] = math.nan  # a later NaN is not the one named
    with pytest.raises(ValueError, match=rf"^a NaN at index {re.escape(shown)} has no ulp distance"):
        fpscope.ulp_distances(a, b, "f32")
    assert None in fpscope.ulp_distances(a.ravel().tolist(), b.ravel().tolist(), "f32")  # lists say None


@pytest.mark.parametrize("a, b, answer", [
    ([1.0, 2.0], [2.0, 1.0], list),
    (memoryview(np.ones(2)), memoryview(np.zeros(2)), list),
    (np.ones(2), [2.0, 1.0], (2,)),
    ([2.0, 1.0], np.ones(2), (2,)),
    (np.ones((2, 3)), [1.0] * 6, (2, 3)),  # a sequence pairs with the array's elements in row-major order
    (np.ones((2, 3)), memoryview(np.ones((2, 3))), (2, 3)),
    (np.ones(()), np.zeros(()), ()),
    (np.ones((0, 3)), np.ones((0, 3)), (0, 3)),
    (np.ones((2, 3)), np.ones((3, 2)), r"shape mismatch: \(2, 3\) vs \(3, 2\)"),
    (np.ones(3), np.ones((1, 3)), r"shape mismatch: \(3,\) vs \(1, 3\)"),  # never broadcast
    (np.ones(()), np.ones(1), r"shape mismatch: \(\) vs \(1,\)"),
    (np.ones((2, 3)), [1.0] * 5, "length mismatch: 6 vs 5"),
])
def test_a_numpy_array_on_either_side_gives_a_uint64_array_of_its_shape(a, b, answer):
    if isinstance(answer, str):
        with pytest.raises(ValueError, match=answer):
            fpscope.ulp_distances(a, b)
    elif answer is list:
        assert type(fpscope.ulp_distances(a, b)) is list
    else:
        got = fpscope.ulp_distances(a, b)
        assert isinstance(got, np.ndarray) and got.dtype == np.uint64 and got.shape == answer


def failure(call):
    """The message of the AssertionError of ``call``, or None when it passes."""
    try:
        call()
    except AssertionError as e:
        return str(e)
    return None


@pytest.mark.parametrize("name", ["f16", "bf16", "f32", "f64"])
@pytest.mark.parametrize("max_ulp", [0, 1, 2.5, 2**40, 2**70, math.inf])
@pytest.mark.parametrize("nans", ["none", "paired", "lonely"])
def test_assert_ulp_close_on_arrays_answers_as_on_lists(name, max_ulp, nans):
    pa, pb = finite_pairs(name, n=300, seed=11)
    a, b = pa.view(dtype_of(name)).copy(), pb.view(dtype_of(name)).copy()
    if nans != "none":
        a[[7, 250]] = math.nan
        b[250] = math.nan
        if nans == "paired":  # NaNs of opposite signs: far apart as patterns, equal as NaNs
            b[7] = -a[7]
    # The list path (float lists, the dtype named) is the reference for verdict, worst element and count.
    listed = (a.astype(np.float64).tolist(), b.astype(np.float64).tolist())
    want = failure(lambda: fpscope.assert_ulp_close(*listed, max_ulp=max_ulp, dtype=name))
    assert failure(lambda: fpscope.assert_ulp_close(a, b, max_ulp=max_ulp)) == want
    grid = failure(lambda: fpscope.assert_ulp_close(a[:300].reshape(20, 15), b[:300].reshape(20, 15), max_ulp))
    assert (grid is None) == (want is None)
    scalar = float(b[3])  # one float beside an array is compared with every element
    assert failure(lambda: fpscope.assert_ulp_close(a, scalar, max_ulp, name)) == \
        failure(lambda: fpscope.assert_ulp_close(listed[0], scalar, max_ulp, name))
