import math
import struct

import pytest
from hypothesis import given, strategies as st

from fpscope._core import all_floats, binade_edges, neighbours, next_down, next_up

INF, NAN = math.inf, math.nan
F32_MAX = 3.4028234663852886e38
TENTH_F32 = 0.10000000149011612


def same(a, b):
    """Equal lists of floats, telling -0.0 from 0.0 and matching NaN with NaN."""
    return [struct.pack("<d", v) for v in a] == [struct.pack("<d", v) for v in b]


def walk(x, k, step, dtype):
    """Up to k finite floats from x by repeated steps, zeros shown as +0.0."""
    out = []
    while len(out) < k and math.isfinite(x := step(x, dtype)):
        out.append(x + 0.0)
    return out


# ---- all_floats ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "lo, hi, dtype, limit, expected",
    [
        (2.0, 1.0, "f32", 0, []),
        (NAN, 1.0, "f64", 10, []),
        (1.0, 1.0, "f32", 1000000, [1.0]),
        (-0.0, 0.0, "f32", 1, [0.0]),
        (-0.0, -0.0, "f64", 1, [0.0]),
        (0.1, 0.1, "f32", 1, [TENTH_F32]),
        (1e39, 1e40, "f32", 1, [INF]),
        (F32_MAX, INF, "f32", 2, [F32_MAX, INF]),
        (1.0, 1.0000000000000002, "f64", 2, [1.0, 1.0000000000000002]),
        (-5e-324, 5e-324, "f64", 3, [-5e-324, 0.0, 5e-324]),
    ],
)
def test_all_floats_examples(lo, hi, dtype, limit, expected):
    assert same(all_floats(lo, hi, dtype, limit), expected)


@pytest.mark.parametrize(
    "lo, hi, dtype, limit, bounds",
    [
        (1.0, 1.0, "f32", 0, "[1, 1]"),
        (0.1, 0.2, "f32", 10, "[0.1, 0.2]"),
        (0.0, INF, "f32", 10, "[0, inf]"),
        (-INF, -1e300, "f64", 10, "[-inf, -1" + "0" * 300 + "]"),
        (-0.0, 1e20, "f32", 5, "[-0, 100000000000000000000]"),
        (0.000001, 1.5e-5, "f64", 3, "[0.000001, 0.000015]"),
        (-1234.5678, 16777216.0, "f32", 7, "[-1234.5678, 16777216]"),
        (1.0, 1.0000020265579224, "f32", 17, "[1, 1.0000020265579224]"),  # 18 floats
    ],
)
def test_all_floats_refuses_more_than_limit(lo, hi, dtype, limit, bounds):
    with pytest.raises(ValueError) as info:
        all_floats(lo, hi, dtype, limit)
    assert str(info.value) == f"more than {limit} floats in {bounds}, raise limit or narrow the range"


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@given(start=st.floats(allow_nan=False), n=st.integers(0, 200))
def test_all_floats_agrees_with_stepping_next_up(dtype, start, n):
    lo = all_floats(start, start, dtype)[0]
    expected = [lo] + walk(lo, n, next_up, dtype)
    if len(expected) <= n and lo != INF:
        expected.append(INF)  # the walk above stops before the infinity
    assert same(all_floats(lo, expected[-1], dtype, limit=len(expected)), expected)


# ---- neighbours ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "x, k, dtype, expected",
    [
        (1.0, 1, "f64", [0.9999999999999999, 1.0, 1.0000000000000002]),
        (-0.0, 1, "f64", [-5e-324, 0.0, 5e-324]),
        (-0.0, 0, "f32", [0.0]),
        (0.1, 0, "f32", [TENTH_F32]),
        (1.7976931348623157e308, 2, "f64", [1.7976931348623153e308, 1.7976931348623155e308, 1.7976931348623157e308]),
        (-INF, 5, "f32", [-INF]),
        (1e39, 5, "f32", [INF]),
        (NAN, 3, "f64", [NAN]),
    ],
)
def test_neighbours_examples(x, k, dtype, expected):
    assert same(neighbours(x, k, dtype), expected)


def test_neighbours_window_reaching_past_the_ordered_type():
    floats = neighbours(-F32_MAX, 8388609, "f32")
    assert len(floats) == 8388610 and floats[0] == -F32_MAX and floats == sorted(floats)


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@given(x=st.floats(allow_nan=False, allow_infinity=False), k=st.integers(0, 40))
def test_neighbours_agrees_with_repeated_steps(dtype, x, k):
    centre = all_floats(x, x, dtype)[0]
    if math.isinf(centre):
        expected = [centre]
    else:
        expected = walk(centre, k, next_down, dtype)[::-1] + [centre] + walk(centre, k, next_up, dtype)
    assert same(neighbours(x, k, dtype), expected)


# ---- binade_edges -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "lo, hi, dtype, expected",
    [
        (0, 0, "f32", [0.9999999403953552, 1.0]),
        (1, 0, "f64", []),
        (-2000, -1022, "f64", [2.225073858507201e-308, 2.2250738585072014e-308]),
        (1023, 5000, "f64", [8.988465674311579e307, 8.98846567431158e307]),
        (128, 200, "f32", []),
        (-200, -126, "f32", [1.1754942106924411e-38, 1.1754943508222875e-38]),
    ],
)
def test_binade_edges_examples(lo, hi, dtype, expected):
    assert binade_edges(lo, hi, dtype) == expected


@pytest.mark.parametrize("dtype, low, high", [("f32", -126, 127), ("f64", -1022, 1023)])
def test_binade_edges_cover_every_normal_exponent(dtype, low, high):
    expected = [v for e in range(low, high + 1) for v in (next_down(math.ldexp(1.0, e), dtype), math.ldexp(1.0, e))]
    assert binade_edges(-(2**31), 2**31 - 1, dtype) == expected


# ---- results that cannot fit in memory ----------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda: neighbours(0.0, 2**32 - 1, "f32"),
        lambda: all_floats(-INF, INF, "f32", 2**64 - 1),
        lambda: all_floats(0.0, 1.0, "f64", 2**64 - 1),
    ],
)
def test_results_beyond_memory_raise_memory_error(call):
    with pytest.raises(MemoryError):
        call()
