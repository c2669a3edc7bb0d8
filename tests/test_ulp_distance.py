import math
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
