"""Certified reports in binary16 and bfloat16 against mpmath, which shares no code with MPFR or the
platform's maths library: every operation over a strided set of all 65,536 inputs (every input with
--runslow), through the package's `report` and its whole-range judgement alike."""
import math

import numpy as np
import pytest

import fpscope
from fpscope import _small
from fpscope._formats import BF16, F16
from support import BF16 as BF16_MODEL, F16 as F16_MODEL, LIBRARY_OPS, Undecided, mp_f32_report

FORMATS = [(F16, F16_MODEL), (BF16, BF16_MODEL)]
STRIDE = 61


def expected(op, x, model):
    for bits in (320, 1400):
        try:
            return mp_f32_report(op, x, bits, model)
        except Undecided:
            continue
    return "undecided"


@pytest.mark.parametrize("fmt,model", FORMATS, ids=["f16", "bf16"])
@pytest.mark.parametrize("op", LIBRARY_OPS)
def test_whole_range_reports_match_mpmath(fmt, model, op, request):
    xs = _small.all_inputs(fmt)
    valid, rounded, distance, side, exact = _small.reports(fmt, op, xs)
    stride = 1 if request.config.getoption("--runslow", default=False) else STRIDE
    for i in range(0, xs.size, stride):
        x = float(xs[i])
        want = expected(op, x, model)
        if want == "undecided" or (want is not None and want[3]):
            continue  # exact results and the limits are the exact-point rules' own tests
        got = (float(rounded[i]), float(distance[i]), bool(side[i]), bool(exact[i])) if valid[i] else None
        if want is None or got is None:
            assert got == want, (op, x)
            continue
        assert fpscope.formats.resolve(fmt).ordered(got[0]) == fmt.ordered(want[0]) and \
            math.copysign(1, got[0]) == math.copysign(1, want[0]), (op, x, got, want)
        assert got[2] == want[2] and not got[3], (op, x, got, want)
        assert got[1] == pytest.approx(want[1], abs=1e-9), (op, x, got, want)


@pytest.mark.parametrize("dtype,x,op", [
    ("f16", 1.0, "exp"), ("half", -3.5, "tanh"), ("bf16", 0.1, "sigmoid"), ("bfloat16", 2.0 ** -130, "tanh"),
    ("f16", 2.0 ** -24, "sin"), ("bf16", 80.0, "softplus"), ("f16", 11.0, "exp"), ("bf16", -100.0, "expm1"),
])
def test_scalar_report_is_the_whole_range_answer(dtype, x, op):
    fmt = fpscope.formats.resolve(dtype)
    got = fpscope.report(op, x, dtype)
    valid, rounded, distance, side, exact = _small.reports(fmt, op, np.array([fmt.round_to(x)]))
    assert got == ((float(rounded[0]), float(distance[0]), bool(side[0]), bool(exact[0])) if valid[0] else None)
    want = mp_f32_report(op, fmt.round_to(x), 1400, F16_MODEL if fmt is F16 else BF16_MODEL)
    assert (got[0], got[2], got[3]) == (want[0], want[2], want[3])
    assert got[1] == pytest.approx(want[1], abs=1e-9)


@pytest.mark.parametrize("dtype,x,y,want", [
    ("f16", 1.0, 3.0, (0.333251953125, 0.16666666666666666, True, False)),  # 1/3 = 0x1.554p-2 + 1/3 ulp
    ("f16", 1.0, 0.0, None), ("bf16", -1.0, 3.0, None), ("bf16", 6.0, 3.0, (2.0, 0.5, False, True)),
])
def test_division_is_exact_rational(dtype, x, y, want):
    assert fpscope.report("div", x, dtype, y) == want


def test_unknown_dtype_names_the_four_formats():
    with pytest.raises(ValueError, match=r"""unsupported dtype "f8": use 'f32', 'f64', 'f16' or 'bf16'"""):
        fpscope.report("exp", 1.0, "f8")


# Results a hair away from zero past a float that is a power of two, where the binary64 value cannot
# tell the side: the gap above that float, twice the one below, measures the distance.
@pytest.mark.parametrize("op,x", [("exp", 2.0 ** -60), ("exp2", 2.0 ** -60), ("sigmoid", 2.0 ** -58),
                                  ("expm1", 2.0 ** -60), ("log1p", -2.0 ** -52), ("tan", -2.0 ** -26)])
def test_distances_beside_a_power_of_two_take_the_gap_on_their_side(op, x):
    got = fpscope.report(op, x, "bf16")
    want = mp_f32_report(op, x, 1400, BF16_MODEL)
    assert (got.rounded, got.exact_above, got.exact) == (want[0], want[2], want[3])
    assert abs(got.distance_ulp - want[1]) <= 2.0 ** -54  # one ulp of a distance just below 0.5


# Strided, this catches wrong terms of the first order; over every input (-m slow) the others too,
# whose effect shows only where a distance lies near a rounding boundary of its own.
@pytest.mark.parametrize("stride", [13, pytest.param(1, marks=pytest.mark.slow)])
@pytest.mark.parametrize("fmt", [F16, BF16], ids=["f16", "bf16"])
@pytest.mark.parametrize("op", sorted(_small._NEAR_ZERO))
def test_series_near_zero_answer_as_mpfr_does(fmt, op, stride, monkeypatch):
    xs = _small.all_inputs(fmt)
    xs = xs[np.abs(xs) < 2.0 ** -14][::stride]  # where a Taylor series stands in for MPFR
    decided = []
    series = _small._near_zero
    monkeypatch.setattr(_small, "_near_zero", lambda *args: decided.append(series(*args)[0].size) or series(*args))
    fast = _small.reports(fmt, op, xs)
    assert sum(decided) > 0 or fmt is F16  # few binary16 inputs lie that close to zero
    monkeypatch.delitem(_small._NEAR_ZERO, op)
    slow = _small.reports(fmt, op, xs)
    for a, b in zip(fast, slow):
        assert np.array_equal(a, b, equal_nan=True), op
