"""Certified answers for C's <math.h> operations beyond the core's catalogue (fpscope._mathlib): reports in
binary32 and binary64 against mpmath, exactness found by MPFR against a hand-made list, certified scans with
y and across overflow edges, and the command line."""
import importlib.util
import json
import math
import os
from fractions import Fraction

import mpmath
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import fpscope
from fpscope import _certify, _mathlib, all_floats, knife_edges, report
from fpscope.cli import main
from support import FMT, f32
from test_operations import EXACT, INPUTS, SECOND, near

INF, NAN = math.inf, math.nan
F32, F64 = FMT["f32"], FMT["f64"]


def mp_report(op, x, y, fmt, bits=600):
    """(rounded, distance, exact_above, exact) from mpmath at ``bits`` bits, 3000 where that lands on a
    float or a midpoint (erfc(-21) = 2 - 2^-640); exact None where the value is too close to a float to
    tell, which includes every exact value (those are the hand-made list's); None for no finite result.
    mpmath has no signed zeros: a zero result is +0.0."""
    with mpmath.workprec(bits):
        try:
            v = EXACT[op](*((x,) if y is None else (x, y)))
        except (ValueError, ZeroDivisionError):
            return None
        if isinstance(v, mpmath.mpc) or not mpmath.isfinite(v):
            return None
        sign, man, exp, width = mpmath.mpf(v)._mpf_
    if man and exp + width > fmt.model.max_exponent + 8:
        return None
    if man and exp + width < fmt.emin - 2 * fmt.p - 300:
        return (-0.0 if sign else 0.0), 0.5, not sign, None
    magnitude = Fraction(int(man)) * Fraction(2) ** int(exp)
    r = fmt.round(magnitude)
    if r is None:
        return None
    above = magnitude > r
    gap = fmt.gap_toward(r, above)
    distance = abs(magnitude - (r + (gap if above else -gap) / 2)) / gap
    if bits < 3000 and (magnitude == r or distance == 0):
        return mp_report(op, x, y, fmt, 3000)
    exact = None if distance > Fraction(1, 2) - Fraction(1, 2**(bits - 200)) else False
    return (-float(r) if sign else float(r)), float(distance), above != bool(sign), exact


def agree(op, x, y=None, dtype="f32"):
    fmt = F32 if dtype == "f32" else F64
    if dtype == "f32":
        x, y = f32(x), None if y is None else f32(y)
    got, want = report(op, x, dtype, y), mp_report(op, x, y, fmt)
    if want is None:
        assert got is None, (op, x, y, got)
        return
    rounded, distance, above, exact = want
    assert got is not None and got.rounded == rounded, (op, x, y, got, want)
    assert rounded == 0 or math.copysign(1, got.rounded) == math.copysign(1, rounded), (op, x, y, got, want)
    if exact is not None:
        assert got.exact == exact, (op, x, y, got, want)
    if not got.exact:
        # MPFR's distances are good to 1e-12 (relative 1e-9 near a midpoint); a binary64 estimate that
        # stands, far from a midpoint and a float, to the margin its error is assumed never to reach.
        far = dtype == "f32" and _certify.NEAR_MIDPOINT <= got.distance_ulp <= _certify.NEAR_FLOAT
        error = _certify.MARGIN if far else max(1e-12, distance * 1e-9)
        assert abs(got.distance_ulp - distance) <= error, (op, x, y, got, want)
        assert got.exact_above == above or distance == 0.5, (op, x, y, got, want)


# Near-domain edges beyond the core's own draws: erfc where it underflows binary32, pow with huge and tiny y,
# hypot with one huge and one tiny argument, lgamma at its zeros and poles.
EDGES = {
    "erfc": near(10.0546, 64) | near(9.194, 64) | st.floats(20, 1e5, width=32),
    "acos": near(1.0, 64) | near(-1.0, 64), "atanh": near(1.0, 64) | near(-1.0, 64),
    "lgamma": near(1.0, 64) | near(2.0, 64) | near(-3.0, 64) | near(-2.4570247, 64) | near(-170.0, 64),
}
SECOND_EDGES = {
    "pow": (st.floats(0.5, 2.0, width=32) | near(1.0, 64),
            st.sampled_from([3e38, -3e38, 1e-38, -1e-38, 2.0**-149, 16777216.0, -16777215.0])),
    "hypot": (st.sampled_from([3e38, -1e38, 1e-45, 2.0**-126, 0.0]), st.floats(width=32, allow_nan=False)),
}


@pytest.mark.parametrize("op", sorted(INPUTS))
@settings(max_examples=40, deadline=None)
@given(data=st.data())
def test_unary_reports_agree_with_mpmath(op, data):
    agree(op, data.draw(INPUTS[op] | EDGES.get(op, st.nothing())))


@pytest.mark.parametrize("op", sorted(SECOND))
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_binary_reports_agree_with_mpmath(op, data):
    first, second = SECOND_EDGES.get(op, (st.nothing(), st.nothing()))
    agree(op, data.draw(SECOND[op][0] | first), data.draw(SECOND[op][1] | second))


@pytest.mark.parametrize("op", sorted(INPUTS) + sorted(SECOND))
@settings(max_examples=15, deadline=None)
# Finite x: C's rules for infinite operands (pow(inf, 0) = 1) are not mpmath's; the list of exact
# cases holds them.
@given(x=st.floats(allow_nan=False, allow_infinity=False), y=st.floats(-1e3, 1e3))
def test_binary64_reports_agree_with_mpmath(op, x, y):
    agree(op, x, y if op in SECOND else None, "f64")


# Exact results: found by equal directed roundings (the ternary rule) or, for the composed operations, by rule.
EXACT_CASES = [
    ("cbrt", 27.0, None, 3.0), ("cbrt", -0.125, None, -0.5), ("cbrt", -0.0, None, -0.0), ("asin", -0.0, None, -0.0),
    ("acos", 1.0, None, 0.0), ("sinh", -0.0, None, -0.0), ("cosh", -0.0, None, 1.0), ("asinh", 0.0, None, 0.0),
    ("acosh", 1.0, None, 0.0), ("atanh", -0.0, None, -0.0), ("exp10", 3.0, None, 1000.0), ("exp10", -INF, None, 0.0),
    ("erf", -INF, None, -1.0), ("erfc", 0.0, None, 1.0), ("erfc", -INF, None, 2.0), ("tgamma", 5.0, None, 24.0),
    ("tgamma", 1.0, None, 1.0), ("lgamma", 1.0, None, 0.0), ("lgamma", 2.0, None, 0.0),
    ("sinpi", -3.0, None, -0.0), ("sinpi", 2.5, None, 1.0), ("cospi", 2.5, None, 0.0), ("cospi", -3.0, None, -1.0),
    ("tanpi", -0.75, None, 1.0), ("tanpi", 3.0, None, -0.0), ("log2p1", 3.0, None, 2.0), ("exp2m1", -1.0, None, -0.5),
    ("hypot", 3.0, 4.0, 5.0), ("hypot", -0.0, -0.0, 0.0), ("atan2", -0.0, 1.0, -0.0), ("pow", 2.0, 10.0, 1024.0),
    ("pow", 9.0, 1.5, 27.0), ("pow", 0.5, 149.0, 2.0**-149), ("pow", NAN, 0.0, 1.0), ("pow", -1.0, INF, 1.0),
    ("pow", -0.0, 3.0, -0.0), ("arccosh", 1.0, None, 0.0), ("power", -2.0, 3.0, -8.0),
]


# Results within a millionth of an ulp of a bound they never reach, on either side of it: erf and erfc in
# their tails, cosh near 0, sinpi and cospi next to their extremes, reported without MPFR.
BESIDE_BOUNDS = [("erf", x) for x in (5.0, 6.0, 9.0, -6.5, 1e30)] + [("erfc", x) for x in (-5.0, -6.0, -40.0)] + [
    ("cosh", s * 2.0**-k) for k in (14, 27, 30, 80, 149) for s in (1, -1)] + [
    ("sinpi", 0.5 - 2.0**-25), ("sinpi", -1.5 + 2.0**-20), ("sinpi", 2.5 + 2.0**-22),
    ("cospi", 2.0**-26), ("cospi", -2.0**-40), ("cospi", 3 - 2.0**-21), ("cospi", 2 + 2.0**-22)]


@pytest.mark.parametrize("op, x", BESIDE_BOUNDS)
def test_results_beside_a_bound_they_never_reach(op, x):
    agree(op, x)


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@pytest.mark.parametrize("op, x, y, value", EXACT_CASES)
def test_exact_cases(op, x, y, value, dtype):
    got = report(op, x, dtype, y)
    assert got == (value, 0.5, False, True) and math.copysign(1, got.rounded) == math.copysign(1, value)


@pytest.mark.parametrize("x, dtype, zero", [(-200.5, "f32", -0.0), (-44.5, "f32", -0.0), (-45.5, "f32", 0.0),
                                            (-200.5, "f64", -0.0), (-180.25, "f64", -0.0)])
def test_results_that_round_to_zero_keep_their_sign(x, dtype, zero):
    # tgamma changes sign between consecutive poles; far out its values lie below the smallest subnormal.
    answer = report("tgamma", x, dtype)
    assert math.copysign(1, answer.rounded) == math.copysign(1, zero) and answer.rounded == 0
    assert answer.exact_above == (zero > 0 or math.copysign(1, zero) > 0)


@pytest.mark.parametrize("op, x, y", [
    ("cbrt", 3.0, None), ("acos", -1.0, None), ("exp10", -1.0, None), ("tgamma", 0.5, None), ("lgamma", 3.0, None),
    ("lgamma", 0.5, None), ("pow", 2.0, 0.5, ), ("hypot", 1.0, 1.0), ("atan2", 0.0, -0.0), ("sinpi", 1 / 3, None),
    ("asinh", 1e-30, None), ("cospi", 1e-20, None), ("erfc", 30.0, None),
])
def test_near_exact_results_are_not_called_exact(op, x, y):
    for dtype in ("f32", "f64"):
        got = report(op, x, dtype, y)
        assert got is not None and not got.exact


@pytest.mark.parametrize("op, x, y", [
    ("asin", 1.0000001, None), ("acosh", 0.99999994, None), ("atanh", -1.0, None), ("tgamma", -3.0, None),
    ("tgamma", -0.0, None), ("lgamma", 0.0, None), ("lgamma", -INF, None), ("tanpi", -1.5, None), ("sinpi", INF, None),
    ("pow", -8.0, 1 / 3), ("pow", 0.0, -1.0), ("hypot", INF, NAN), ("exp10", 309.0, None), ("cosh", -711.0, None),
])
def test_no_real_or_finite_result_gives_no_report(op, x, y):
    assert report(op, x, "f32", y) is None and report(op, x, "f64", y) is None


@pytest.mark.parametrize("op, lo, hi, y, tol", [
    ("cbrt", 1.0, 1.0005, None, 0.02), ("tanpi", 0.4999, 0.49995, None, 0.02), ("pow", 1.5, 1.5003, 2.5, 0.02),
    ("arctan2", 0.5, 0.5003, -1.0, 0.02), ("lgamma", 0.99995, 1.00005, None, 0.05),
])
def test_certified_scans_keep_the_certified_reports_below_the_tolerance(op, lo, hi, y, tol):
    reports = [(x, report(op, x, "f32", y)) for x in all_floats(lo, hi, limit=10**5)]
    hits = [(x, r.rounded, r.distance_ulp, r.exact_above) for x, r in reports if r and not r.exact and r.distance_ulp < tol]
    assert hits and knife_edges(op, lo, hi, tol, y=y, limit=10**6, workers=2, chunk=97) == (hits, len(reports), True)


@pytest.mark.parametrize("op, y", [("sinh", None), ("cosh", None), ("exp10", None), ("tgamma", None), ("pow", -3.0),
                                   ("hypot", 3e38), ("lgamma", None)])
def test_scans_across_an_overflow_edge_see_the_last_finite_inputs(op, y):
    # The last finite input before each overflow and its neighbours: reports decide them all.
    for k in _mathlib.edge_inputs(op, y):
        lo, hi = fpscope.neighbours(fpscope._floats.from_ordered(k, True), 3, "f32")[0::6]
        reports = [(x, report(op, x, "f32", y)) for x in all_floats(lo, hi)]
        assert any(r is None for _, r in reports) and any(r is not None for _, r in reports)
        hits = [(x, r.rounded, r.distance_ulp, r.exact_above) for x, r in reports if r and r.distance_ulp < 0.49]
        assert knife_edges(op, lo, hi, 0.49, y=y).hits == hits


@pytest.mark.parametrize("call, message", [
    (lambda: report("cbrt", 1.0, y=2.0), "op='cbrt' takes no y"),
    (lambda: report("pow", 1.0), "op='pow' needs y"),
    (lambda: report("erf", 1.0, "f64", certified=False), "has no exact f64 oracle yet"),
    (lambda: knife_edges("sqrt", 1.0, 2.0, y=3.0), "op='sqrt' takes no y"),
    (lambda: knife_edges("hypot", 1.0, 2.0), "op='hypot' needs y"),
    (lambda: fpscope.midpoint("cbrt", 1.0), 'unknown op "cbrt"'),
])
def test_refusals(call, message):
    with pytest.raises(ValueError, match=message):
        call()


@pytest.mark.parametrize("argv, expected", [
    (["midpoint", "cbrt", "27"], {"rounded": 3.0, "exact": True}),
    (["midpoint", "atan2", "1", "2"], {"rounded": float.fromhex("0x1.dac67p-2"), "exact": False}),
    (["midpoint", "cbrt", "27", "--dtype", "f64"], {"rounded": 3.0, "exact": True}),
])
def test_cli_midpoint(capsys, argv, expected):
    assert main(argv + ["--json"]) == 0
    answer = json.loads(capsys.readouterr().out)["report"]
    assert {k: answer[k] for k in expected} == expected


def test_cli_scan_of_a_binary_operation_repeats_y_in_the_command_that_continues(capsys):
    assert main(["scan", "pow", "1.5", "1.6", "--y", "2.5", "--limit", "2"]) == 0
    out = capsys.readouterr().out
    assert out.startswith("pow(x, 2.5) for x over [1.5,") and "--y 2.5" in out.splitlines()[-1]


# ---------------------------------------------------------------- numpy's float32 validation files

def _validation_script():
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools", "numpy_validation.py")
    if not os.path.isfile(path):
        return None
    found = importlib.util.spec_from_file_location("numpy_validation", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


VALIDATION = _validation_script()
VALIDATION_FILES = VALIDATION.files(VALIDATION.default_directory()) if VALIDATION else []
# Expected values of numpy's files that are not the correctly rounded ones (checked against mpmath):
# log(1 - 2^-23) = -2^-23 - 2^-47 - ... lies just past the midpoint below -2^-23.
NOT_CORRECTLY_ROUNDED = {("log", float.fromhex("0x1.fffffcp-1")), ("log", float.fromhex("0x1.960ad2p-1"))}


@pytest.mark.skipif(not VALIDATION_FILES, reason="no numpy validation files beside numpy, or no tools/ directory")
@pytest.mark.parametrize("path", VALIDATION_FILES, ids=os.path.basename)
def test_numpy_validation_files(path):
    op, lines, wrong = VALIDATION.check_file(path)
    inputs = {x for x, _ in VALIDATION.f32_lines(path)}
    assert lines > 100
    assert {(op, x) for x, _, _ in wrong} == {(o, x) for o, x in NOT_CORRECTLY_ROUNDED if o == op and x in inputs}


# The checker itself: a wrong value, a zero of the wrong sign, a NaN for an infinity or the reverse
# are all caught; float64 lines and comments are not read.
@pytest.mark.skipif(VALIDATION is None, reason="no tools/ directory beside the tests")
@pytest.mark.parametrize("op, x, expected, right", [
    ("cbrt", "0x41d80000", "0x40400000", True),       # cbrt(27) = 3
    ("cbrt", "0x41d80000", "0x40400001", False),
    ("arccos", "0x3f800000", "0x00000000", True),     # acos(1) = +0
    ("arccos", "0x3f800000", "0x80000000", False),
    ("arcsinh", "0x80000000", "0x80000000", True),    # asinh(-0) = -0
    ("arcsinh", "0x80000000", "0x00000000", False),
    ("arccos", "0x40000000", "0x7fc00000", True),     # acos(2): no real result
    ("arccos", "0x40000000", "0x7f800000", False),
    ("arctanh", "0x3f800000", "0x7f800000", True),    # atanh(1): a pole
    ("arctanh", "0x3f800000", "0x7fc00000", False),
    ("arctanh", "0xbf800000", "0x7f800000", False),   # atanh(-1) = -inf
    ("cosh", "0x42c80000", "0x7f800000", True),       # cosh(100) overflows
    ("log", "0x3f7ffffe", "0xb4000000", False),       # log(1 - 2^-23), numpy's own value
])
def test_numpy_validation_checker_catches_wrong_values(tmp_path, op, x, expected, right):
    path = tmp_path / f"umath-validation-set-{op}.csv"
    path.write_text("dtype,input,output,ulperrortol\n## a comment ##\nnp.float64,0x0,0x1,1\n"
                    f"np.float32,{x},{expected},2\n")
    name, lines, wrong = VALIDATION.check_file(str(path))
    assert (name, lines, len(wrong)) == (op, 1, 0 if right else 1)
