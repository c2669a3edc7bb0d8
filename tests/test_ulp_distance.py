import math
import struct

import pytest
from hypothesis import given, strategies as st

from fpscope._core import all_floats, ulp_distance, ulp_distances

INF, NAN = math.inf, math.nan


def narrow(x, dtype):
    """x as the format holds it: binary32 rounds to nearest, overflowing to an infinity."""
    if dtype == "f64" or math.isnan(x):
        return x
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(INF, x)


def bits_model(x, dtype):
    code = "<f" if dtype == "f32" else "<d"
    return int.from_bytes(struct.pack(code, x), "little")


def ordered_model(x, dtype):
    """Ordered value from the bit pattern, as plain integers."""
    sign = 1 << (31 if dtype == "f32" else 63)
    bits = bits_model(x, dtype)
    return -(bits - sign) if bits & sign else bits


def from_ordered_model(k, dtype):
    code, width = ("<f", 32) if dtype == "f32" else ("<d", 64)
    bits = k if k >= 0 else (1 << (width - 1)) | -k
    return struct.unpack(code, bits.to_bytes(width // 8, "little"))[0]


def distance_model(a, b, dtype):
    if math.isnan(a) or math.isnan(b):
        return None
    return abs(ordered_model(narrow(a, dtype), dtype) - ordered_model(narrow(b, dtype), dtype))


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
        (1.0, NAN, "f32", None),
        (INF, NAN, "f64", None),
    ],
)
def test_ulp_distance_examples(a, b, dtype, expected):
    assert ulp_distance(a, b, dtype) == expected
    assert ulp_distance(b, a, dtype=dtype) == expected


floats = st.floats(allow_nan=True, allow_infinity=True)


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@given(a=floats, b=floats)
def test_ulp_distance_matches_bit_model(dtype, a, b):
    assert ulp_distance(a, b, dtype) == distance_model(a, b, dtype)


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@given(a=st.floats(allow_nan=False), n=st.integers(0, 300))
def test_ulp_distance_counts_the_floats_of_a_range(dtype, a, n):
    lo = narrow(a, dtype)
    top = ordered_model(INF, dtype)
    hi = from_ordered_model(min(ordered_model(lo, dtype) + n, top), dtype)
    assert ulp_distance(lo, hi, dtype) == len(all_floats(lo, hi, dtype, limit=1000)) - 1


def test_ulp_distances_elementwise():
    assert ulp_distances([1.0, NAN], [2.0, 1.0]) == [4503599627370496, None]
    assert ulp_distances((1, 2.0), [2, 1], "f32") == [8388608, 8388608]
    assert ulp_distances(range(3), range(3)) == [0, 0, 0]
    assert ulp_distances([], []) == []


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@given(pairs=st.lists(st.tuples(floats, floats), max_size=20))
def test_ulp_distances_agrees_with_ulp_distance(dtype, pairs):
    a = [p[0] for p in pairs]
    b = [p[1] for p in pairs]
    assert ulp_distances(a, b, dtype) == [ulp_distance(x, y, dtype) for x, y in pairs]


@pytest.mark.parametrize(
    "a, b, dtype, exc, message",
    [
        ([1.0], [1.0, 2.0], "bad", ValueError, "length mismatch: 1 vs 2"),
        ([], [], "bad", ValueError, "unsupported dtype \"bad\": use 'f32' or 'f64'"),
        ("ab", "cd", "f64", TypeError, "Can't extract `str` to `Vec`"),
        (3, [1.0], "f64", TypeError, "'int' object is not an instance of 'Sequence'"),
    ],
)
def test_ulp_distances_refusals(a, b, dtype, exc, message):
    with pytest.raises(exc) as info:
        ulp_distances(a, b, dtype)
    assert str(info.value) == message
