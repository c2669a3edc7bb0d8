"""The float model: ordered view, steps, spacing, narrowing, dtype selection, against an integer model."""
import math
import struct
from fractions import Fraction

import pytest
from hypothesis import given, settings, strategies as st

from fpscope import _core as fs

INF = math.inf
NAN = math.nan

from support import (FORMATS, F32_MODEL, F64_MODEL, bits_of, model_next_up, model_ordered,  # noqa: E402
                     model_spacing, same_float, value_of)


def f32_patterns():
    special = [0, 1, 0x007FFFFF, 0x00800000, 0x3F800000, 0x7F7FFFFF, 0x7F800000]
    return st.one_of(
        st.integers(0, 2**32 - 1),
        st.sampled_from(special + [p | 0x80000000 for p in special]).map(lambda p: p),
    )


def f64_patterns():
    special = [0, 1, 0x000FFFFFFFFFFFFF, 0x0010000000000000, 0x3FF0000000000000, 0x7FEFFFFFFFFFFFFF,
               0x7FF0000000000000]
    return st.one_of(st.integers(0, 2**64 - 1), st.sampled_from(special + [p | 1 << 63 for p in special]))


# --- examples ----------------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "fn, x, dtype, expected",
    [
        (fs.next_up, 0.0, "f64", 5e-324),
        (fs.next_up, -0.0, "f64", 5e-324),
        (fs.next_up, 0.0, "f32", 1.401298464324817e-45),
        (fs.next_up, -5e-324, "f64", -0.0),
        (fs.next_down, 5e-324, "f64", 0.0),
        (fs.next_down, 0.0, "f64", -5e-324),
        (fs.next_down, -0.0, "f64", -5e-324),
        (fs.next_up, 1.7976931348623157e308, "f64", INF),
        (fs.next_up, INF, "f64", INF),
        (fs.next_up, -INF, "f64", -1.7976931348623157e308),
        (fs.next_down, INF, "f64", 1.7976931348623157e308),
        (fs.next_down, -INF, "f64", -INF),
        (fs.next_up, NAN, "f64", NAN),
        (fs.next_down, NAN, "f32", NAN),
        (fs.next_up, 1.0, "f64", 1.0000000000000002),
        (fs.next_down, 1.0, "f64", 0.9999999999999999),
        (fs.next_up, 1.0, "f32", 1.0000001192092896),
        (fs.next_down, 1.0, "f32", 0.9999999403953552),
        (fs.next_up, 0.1, "f32", 0.10000000894069672),
        (fs.next_up, 3.4028235677973366e38, "f32", INF),
        (fs.next_up, 3.4028235677973362e38, "f32", INF),
        (fs.next_down, 3.4028235677973362e38, "f32", 3.4028232635611926e38),
        (fs.spacing, 0.0, "f64", 5e-324),
        (fs.spacing, -0.0, "f64", 5e-324),
        (fs.spacing, 1.0, "f64", 2.220446049250313e-16),
        (fs.spacing, -1.0, "f64", 2.220446049250313e-16),
        (fs.spacing, 1.0, "f32", 1.1920928955078125e-07),
        (fs.spacing, 2.2250738585072014e-308, "f64", 5e-324),
        (fs.spacing, 1.7976931348623157e308, "f64", 1.99584030953472e292),
        (fs.spacing, 3.4028234663852886e38, "f32", 2.028240960365167e31),
        (fs.spacing, INF, "f64", NAN),
        (fs.spacing, -INF, "f32", NAN),
        (fs.spacing, NAN, "f64", NAN),
        (fs.spacing, 1e300, "f32", NAN),
        (fs.spacing, 3.4028235677973366e38, "f32", NAN),
    ],
)
def test_step_and_spacing_examples(fn, x, dtype, expected):
    assert same_float(fn(x, dtype), expected)


@pytest.mark.parametrize(
    "x, dtype, expected",
    [
        (0.0, "f64", 0), (-0.0, "f64", 0), (5e-324, "f64", 1), (-5e-324, "f64", -1),
        (1.0, "f64", 4607182418800017408), (1.0, "f32", 1065353216), (-1.0, "f32", -1065353216),
        (INF, "f64", 9218868437227405312), (-INF, "f32", -2139095040),
        (NAN, "f64", 9221120237041090560), (NAN, "f32", 2143289344),
        (-NAN, "f64", -9221120237041090560), (-NAN, "f32", -2143289344),
        (2.0**-150, "f32", 0), (-1e-50, "f32", 0), (1e39, "f32", 2139095040),
    ],
)
def test_ordered_examples(x, dtype, expected):
    assert fs.ordered(x, dtype) == expected


def test_spacing_result_is_the_positive_quiet_nan():
    assert bits_of(fs.spacing(-INF), "f64") == 0x7FF8000000000000
    assert bits_of(fs.spacing(NAN, "f32"), "f64") == 0x7FF8000000000000


def test_narrowing_keeps_nan_payload():
    payload_nan = value_of(0x7FF4000000000123, "f64")  # signalling NaN with a payload
    assert bits_of(fs.next_up(payload_nan, "f32"), "f64") == 0x7FFC000000000000


@pytest.mark.parametrize("dtype, is32", [("f32", True), ("float", True), ("float32", True),
                                         ("f64", False), ("double", False), ("float64", False)])
def test_dtype_spellings(dtype, is32):
    assert fs.next_up(1.0, dtype) == (1.0000001192092896 if is32 else 1.0000000000000002)


@pytest.mark.parametrize("dtype, shown", [
    ("F64", '"F64"'), ("float16", '"float16"'), ("f32 ", '"f32 "'), ("", '""'),
    ('a"b\\c', '"a\\"b\\\\c"'), ("\t\r\n\0", '"\\t\\r\\n\\0"'), ("x\u00a0y", '"x\\u{a0}y"'),
    ("e\u0301", '"e\\u{301}"'), ("\u00ad", '"\\u{ad}"'), ("it's é", "\"it's é\""),
])
def test_dtype_error_quotes_the_string(dtype, shown):
    with pytest.raises(ValueError) as info:
        fs.spacing(1.0, dtype)
    assert str(info.value) == f"unsupported dtype {shown}: use 'f32' or 'f64'"


# --- properties against the integer model ------------------------------------------------------------

@settings(max_examples=400)
@given(st.one_of(f32_patterns().map(lambda b: ("f32", b)), f64_patterns().map(lambda b: ("f64", b))))
def test_bit_operations_agree_with_integer_model(case):
    dtype, b = case
    x = value_of(b, dtype)
    xd = float(x)
    sign = 1 << (FORMATS[dtype]["width"] - 1)
    is_nan = (b & (sign - 1)) > FORMATS[dtype]["inf"]

    up = fs.next_up(xd, dtype)
    down = fs.next_down(xd, dtype)
    if is_nan:
        assert math.isnan(up) and math.isnan(down)
    else:
        assert same_float(up, float(value_of(model_next_up(b, dtype), dtype)))
        neg = b ^ sign
        assert same_float(down, -float(value_of(model_next_up(neg, dtype), dtype)))

    expected_spacing = model_spacing(b, dtype)
    got = fs.spacing(xd, dtype)
    assert math.isnan(got) if expected_spacing is None else got == expected_spacing

    if dtype == "f64" or not is_nan:
        # binary32 NaNs are quietened by narrowing, which changes their ordered value
        assert fs.ordered(xd, dtype) == model_ordered(b, dtype)


@given(st.floats(allow_nan=False), st.floats(allow_nan=False))
def test_ordered_is_monotone_and_counts_floats(a, b):
    if a < b:
        assert fs.ordered(a) < fs.ordered(b)
    assert fs.ordered(fs.next_up(a)) - fs.ordered(a) == (a != math.inf)


@given(st.floats())
def test_next_down_mirrors_next_up(x):
    assert same_float(fs.next_down(x), -fs.next_up(-x))
    assert same_float(fs.next_down(x, "f32"), -fs.next_up(-x, "f32"))


@given(st.floats(allow_nan=False))
def test_narrowing_matches_struct_rounding(x):
    try:
        expected = struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:  # struct refuses what IEEE rounding sends to infinity
        expected = math.copysign(INF, x)
    assert fs.ordered(x, "f32") == model_ordered(bits_of(expected, "f32"), "f32")


# --- the package's model of the formats in rationals ---------------------------------------------

@pytest.mark.parametrize("dtype, model", [("f32", F32_MODEL), ("f64", F64_MODEL)])
@settings(max_examples=300)
@given(data=st.data())
def test_rational_model_spacing_and_rounding_agree_with_the_core(dtype, model, data):
    """Every positive finite float: its gaps to both neighbours, and the rounding of the points
    around it (a tie goes to the even neighbour, past the largest float half a gap overflows)."""
    patterns = f32_patterns() if dtype == "f32" else f64_patterns()
    b = data.draw(patterns.filter(lambda p: 0 < p < FORMATS[dtype]["inf"]))
    v = value_of(b, dtype)
    r = Fraction(v)
    up, down = fs.next_up(v, dtype), fs.next_down(v, dtype)
    gap_up = model.gap(r, True)
    assert gap_up == (Fraction(up) - r if up != INF else model.gap(r, False))
    assert model.gap(r, False) == r - Fraction(down)
    assert model.round(r) == r and model.round(r + gap_up / 4) == r and model.round(r - model.gap(r, False) / 4) == r
    tie = model.round(r + gap_up / 2)
    if up == INF:
        assert tie is None and model.round(r + gap_up / 2 - Fraction(1, 2**2000)) == r
    else:
        assert tie == (r if b % 2 == 0 else Fraction(up))
