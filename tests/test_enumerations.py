import math
import struct

import pytest
from hypothesis import given, strategies as st

from fpscope._core import all_floats, binade_edges, neighbours, next_down, next_up

INF, NAN = math.inf, math.nan
F32_MAX = 3.4028234663852886e38
TENTH_F32 = 0.10000000149011612


def narrow(x, dtype):
    if dtype == "f64" or math.isnan(x):
        return x
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(INF, x)


def same(a, b):
    """Equal lists of floats, telling -0.0 from 0.0."""
    return [struct.pack("<d", v) for v in a] == [struct.pack("<d", v) for v in b]


# ---- all_floats ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "lo, hi, dtype, limit, expected",
    [
        (2.0, 1.0, "f32", 0, []),
        (NAN, 1.0, "f64", 10, []),
        (1.0, NAN, "f32", 10, []),
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
    ],
)
def test_all_floats_refuses_more_than_limit(lo, hi, dtype, limit, bounds):
    with pytest.raises(ValueError) as info:
        all_floats(lo, hi, dtype, limit)
    assert str(info.value) == f"more than {limit} floats in {bounds}, raise limit or narrow the range"


def test_all_floats_limit_is_exact():
    assert len(all_floats(1.0, 1.0000019073486328, "f32", limit=17)) == 17
    with pytest.raises(ValueError):
        all_floats(1.0, 1.0000020265579224, "f32", limit=17)


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@given(start=st.floats(allow_nan=False), n=st.integers(0, 200))
def test_all_floats_agrees_with_stepping_next_up(dtype, start, n):
    steps = [narrow(start, dtype)]
    while len(steps) <= n and steps[-1] != INF:
        steps.append(next_up(steps[-1], dtype))
    # Stepping passes zero as -0.0 or +0.0; the range holds it once, as +0.0.
    expected = [0.0 if v == 0 else v for v in steps]
    assert same(all_floats(steps[0], steps[-1], dtype, limit=n + 1), expected)


# ---- neighbours ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "x, k, dtype, expected",
    [
        (1.0, 1, "f64", [0.9999999999999999, 1.0, 1.0000000000000002]),
        (0.0, 1, "f64", [-5e-324, 0.0, 5e-324]),
        (-0.0, 1, "f64", [-5e-324, 0.0, 5e-324]),
        (-0.0, 0, "f32", [0.0]),
        (0.1, 0, "f32", [TENTH_F32]),
        (1.7976931348623157e308, 2, "f64", [1.7976931348623153e308, 1.7976931348623155e308, 1.7976931348623157e308]),
        (-F32_MAX, 1, "f32", [-F32_MAX, -3.4028232635611926e38]),
        (INF, 5, "f64", [INF]),
        (-INF, 5, "f32", [-INF]),
        (1e39, 5, "f32", [INF]),
    ],
)
def test_neighbours_examples(x, k, dtype, expected):
    assert same(neighbours(x, k, dtype), expected)


def test_neighbours_nan_and_window_reaching_past_the_ordered_type():
    [only] = neighbours(NAN, 3)
    assert math.isnan(only)
    floats = neighbours(-F32_MAX, 8388609, "f32")
    assert len(floats) == 8388610 and floats[0] == -F32_MAX
    assert all(a < b for a, b in zip(floats, floats[1:]))


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@given(x=st.floats(allow_nan=False, allow_infinity=False), k=st.integers(0, 40))
def test_neighbours_agrees_with_repeated_steps(dtype, x, k):
    centre = narrow(x, dtype)
    below, above = [], []
    for _ in range(k if math.isfinite(centre) else 0):
        step = next_down(below[-1] if below else centre, dtype)
        if math.isinf(step):
            break
        below.append(step)
    for _ in range(k if math.isfinite(centre) else 0):
        step = next_up(above[-1] if above else centre, dtype)
        if math.isinf(step):
            break
        above.append(step)
    expected = below[::-1] + [centre] + above
    assert same(neighbours(x, k, dtype), [0.0 if v == 0 else v for v in expected])


# ---- binade_edges -------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "lo, hi, dtype, expected",
    [
        (0, 0, "f64", [0.9999999999999999, 1.0]),
        (0, 0, "f32", [0.9999999403953552, 1.0]),
        (1, 0, "f64", []),
        (-2000, -1022, "f64", [2.225073858507201e-308, 2.2250738585072014e-308]),
        (1023, 5000, "f64", [8.988465674311579e307, 8.98846567431158e307]),
        (2000, 3000, "f64", []),
        (128, 200, "f32", []),
        (-200, -126, "f32", [1.1754942106924411e-38, 1.1754943508222875e-38]),
        (-1, 1, "f64", [0.49999999999999994, 0.5, 0.9999999999999999, 1.0, 1.9999999999999998, 2.0]),
    ],
)
def test_binade_edges_examples(lo, hi, dtype, expected):
    assert binade_edges(lo, hi, dtype) == expected


@pytest.mark.parametrize("dtype, low, high", [("f32", -126, 127), ("f64", -1022, 1023)])
def test_binade_edges_cover_every_normal_exponent(dtype, low, high):
    edges = binade_edges(-(2**31), 2**31 - 1, dtype)
    expected = [v for e in range(low, high + 1) for v in (next_down(math.ldexp(1.0, e), dtype), math.ldexp(1.0, e))]
    assert edges == expected


# ---- results that cannot fit in memory ----------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda: neighbours(0.0, 2**32 - 1, "f32"),
        lambda: neighbours(1.0, 2**32 - 1, "f64"),
        lambda: all_floats(-INF, INF, "f32", 2**64 - 1),
        lambda: all_floats(0.0, 1.0, "f64", 2**64 - 1),
    ],
)
def test_results_beyond_memory_raise_memory_error(call):
    with pytest.raises(MemoryError):
        call()
