"""The operations only the package names (C's <math.h> and numpy's): the core's private entry points
_midpoint and _knife_edges against mpmath, their exact cases, domains and poles, and the scope rules."""
import math
import struct
from fractions import Fraction

import mpmath
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fpscope import _core
from fpscope._core import _knife_edges, _midpoint, all_floats, knife_edges_raw, midpoint
from support import F32, f32

INF, NAN = math.inf, math.nan
F32_MAX = f32(3.4028234663852886e38)


def atan2(x, y):
    # mpmath has no signed zeros: C's angle of (+-0, y) from the signs.
    if x == 0:
        v = mpmath.pi if math.copysign(1, y) < 0 else mpmath.mpf(0)
        return -v if math.copysign(1, x) < 0 else v
    return mpmath.atan2(x, y)


EXACT = {
    "cbrt": lambda x: mpmath.sign(x) * mpmath.cbrt(abs(x)),
    "asin": mpmath.asin, "acos": mpmath.acos, "sinh": mpmath.sinh, "cosh": mpmath.cosh,
    "asinh": mpmath.asinh, "acosh": mpmath.acosh, "atanh": mpmath.atanh,
    "exp10": lambda x: mpmath.power(10, x), "erf": mpmath.erf, "erfc": mpmath.erfc,
    "tgamma": mpmath.gamma, "lgamma": lambda x: mpmath.re(mpmath.loggamma(x)),
    "sinpi": mpmath.sinpi, "cospi": mpmath.cospi, "tanpi": lambda x: mpmath.sinpi(x) / mpmath.cospi(x),
    "log2p1": lambda x: mpmath.log1p(x) / mpmath.ln2, "exp2m1": lambda x: mpmath.powm1(2, x),
    "hypot": mpmath.hypot, "atan2": atan2, "pow": mpmath.power,
}
BINARY = ("hypot", "atan2", "pow")
NEAR = 1e-6  # the binary64 estimate places a result this close to a midpoint on either side


def exact_f32(op, x, y=None):
    """(rounded, distance_ulp, exact_above, exact) from mpmath at 320 bits; exact is None when the value
    lies too close to a float to tell. None when there is no finite binary32 result."""
    with mpmath.workprec(320):
        try:
            v = EXACT[op](*((x,) if y is None else (x, y)))  # floats convert exactly
        except (ValueError, ZeroDivisionError):  # poles
            return None
        if isinstance(v, mpmath.mpc) or not mpmath.isfinite(v):
            return None
        sign, man, exp, bits = mpmath.mpf(v)._mpf_
    if man and exp + bits > 200:  # far beyond the binary32 range
        return None
    if man and exp + bits < -300:  # far below the subnormals: rounds to zero, half a gap away
        return (-0.0 if sign else 0.0), 0.5, not sign, None
    magnitude = Fraction(int(man)) * Fraction(2) ** int(exp)
    r = F32.round(magnitude)
    if r is None:
        return None
    above = magnitude > r
    gap = F32.gap_toward(r, above)
    distance = abs(magnitude - (r + (gap if above else -gap) / 2)) / gap
    exact = True if magnitude == r else (None if distance > Fraction(1, 2) - Fraction(1, 2**200) else False)
    return (-float(r) if sign else float(r)), float(distance), above != bool(sign), exact


def check(op, x, y=None):
    got, want = _midpoint(op, x, y=y), exact_f32(op, f32(x), None if y is None else f32(y))
    if want is None or got is None:  # either the same, or a result on the edge of overflow
        edge = got or want
        assert edge is None or (abs(edge[0]) == F32_MAX and edge[1] < NEAR), (op, x, y, got, want)
        return
    rounded, distance, above, exact = want
    if distance < NEAR:  # left to the certified layer
        return
    assert got[0] == rounded, (op, x, y, got, want)
    if exact:
        assert got[3], (op, x, y, got, want)
    if got[3]:  # a binary64 value equal to a float: the exact result is at most that close to it
        assert distance > 0.5 - NEAR, (op, x, y, got, want)
    else:
        assert abs(got[1] - distance) < NEAR and (got[2] == above or distance > 0.5 - NEAR), (op, x, y, got, want)


def near(center, spread=4096):
    """binary32 values within `spread` steps of the binary32 nearest to `center`."""
    k = struct.unpack("<i", struct.pack("<f", center))[0]
    return st.integers(-spread, spread).map(lambda d: struct.unpack("<f", struct.pack("<i", k + d))[0])


ANY = st.floats(width=32, allow_nan=False)
FINITE = st.floats(width=32, allow_nan=False, allow_infinity=False)
TINY = st.floats(-2.0**-133, 2.0**-133, width=32)
INPUTS = {
    "cbrt": ANY, "asinh": ANY, "erf": ANY, "sinh": ANY | near(-89.4), "cosh": ANY | near(89.4),
    "exp10": ANY | near(-45.5) | near(38.5), "sinpi": ANY | near(16777215.0) | near(-2.5),
    "asin": st.floats(-1.5, 1.5, width=32) | near(1.0) | near(-1.0),
    "acos": st.floats(-1.5, 1.5, width=32) | near(1.0) | near(-1.0),
    "atanh": st.floats(-1.5, 1.5, width=32) | near(1.0) | near(-1.0),
    "acosh": st.floats(0.5, 2.0**126, width=32) | near(1.0),
    "erfc": ANY | near(10.05, 2**20) | near(9.2) | near(-4.0),
    "tgamma": st.floats(-60, 40, width=32) | near(-3.0) | near(-30.0) | TINY,
    "lgamma": st.floats(-60, 2.0**119, width=32) | near(1.0) | near(2.0) | near(-2.4570247) | near(-5.0),
    "cospi": ANY | near(2.5) | near(-1e6 - 0.5),
    "tanpi": ANY | near(0.5) | near(-0.25) | near(4194303.5),
    "log2p1": st.floats(-1.5, 2.0**126, width=32) | near(-1.0) | near(3.0),
    "exp2m1": ANY | TINY | near(-1.0),
}
SECOND = {
    "hypot": (FINITE, FINITE),
    "atan2": (FINITE, FINITE),
    "pow": (st.floats(-100, 100, width=32) | near(1.0), st.floats(-60, 60, width=32) | st.integers(-40, 40).map(float)
            | st.sampled_from([1e30, -1e30, 1e-30, -1e-30, 0.5, -0.5])),
}


@pytest.mark.parametrize("op", sorted(INPUTS))
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_unary_reports_agree_with_mpmath(op, data):
    check(op, data.draw(INPUTS[op]))


@pytest.mark.parametrize("op", BINARY)
@settings(max_examples=100, deadline=None)
@given(data=st.data())
def test_binary_reports_agree_with_mpmath(op, data):
    check(op, data.draw(SECOND[op][0]), data.draw(SECOND[op][1]))


@pytest.mark.parametrize("op, x, y, value", [
    ("cbrt", 27.0, None, 3.0), ("cbrt", -0.125, None, -0.5), ("cbrt", -0.0, None, -0.0), ("acos", 1.0, None, 0.0),
    ("acosh", 1.0, None, 0.0), ("asinh", -0.0, None, -0.0), ("sinh", -0.0, None, -0.0), ("cosh", 0.0, None, 1.0),
    ("lgamma", 1.0, None, 0.0), ("lgamma", 2.0, None, 0.0), ("tgamma", 13.0, None, 479001600.0),
    ("tgamma", 14.0, None, 6227020800.0), ("exp10", 3.0, None, 1000.0), ("exp10", 10.0, None, 1e10),
    ("log2p1", 3.0, None, 2.0), ("log2p1", 16777215.0, None, 24.0), ("log2p1", -0.0, None, -0.0),
    ("exp2m1", 5.0, None, 31.0), ("exp2m1", -1.0, None, -0.5), ("exp2m1", -0.0, None, -0.0),
    ("erf", INF, None, 1.0), ("erfc", -INF, None, 2.0), ("erfc", INF, None, 0.0),
    ("hypot", 3.0, 4.0, 5.0), ("hypot", -0.0, -0.0, 0.0), ("hypot", -5.0, 0.0, 5.0),
    ("atan2", -0.0, 1.0, -0.0), ("atan2", 0.0, 0.0, 0.0),
    ("pow", 2.0, 10.0, 1024.0), ("pow", -2.0, 3.0, -8.0), ("pow", 4.0, 0.5, 2.0), ("pow", 9.0, 1.5, 27.0),
    ("pow", NAN, 0.0, 1.0), ("pow", 1.0, NAN, 1.0), ("pow", -1.0, INF, 1.0), ("pow", -0.0, 3.0, -0.0),
    # pi-scaled: signed zeros at integers, +-1 at half-integers (tanpi at odd quarters), +0 for cospi.
    ("sinpi", 3.0, None, 0.0), ("sinpi", -3.0, None, -0.0), ("sinpi", -4.0, None, -0.0), ("sinpi", 2.5, None, 1.0),
    ("sinpi", -0.5, None, -1.0), ("sinpi", 2.0**30, None, 0.0), ("sinpi", -3e38, None, -0.0),
    ("cospi", 3.0, None, -1.0), ("cospi", -4.0, None, 1.0), ("cospi", -2.5, None, 0.0), ("cospi", 0.5, None, 0.0),
    ("cospi", 3e38, None, 1.0), ("cospi", -0.0, None, 1.0),
    ("tanpi", 2.0, None, 0.0), ("tanpi", 3.0, None, -0.0), ("tanpi", -2.0, None, -0.0), ("tanpi", -3.0, None, 0.0),
    ("tanpi", -0.0, None, -0.0), ("tanpi", 0.25, None, 1.0), ("tanpi", -0.75, None, 1.0), ("tanpi", 1.75, None, -1.0),
])
def test_exact_cases(op, x, y, value):
    got = _midpoint(op, x, y=y)
    assert got == (value, 0.5, False, True) and math.copysign(1, got[0]) == math.copysign(1, value)


@pytest.mark.parametrize("op, x, y", [
    ("atanh", 1.0, None), ("atanh", -1.0, None), ("atanh", 1.0000001, None), ("acosh", 0.99999994, None),
    ("acosh", -INF, None), ("acos", 1.0000001, None), ("asin", -1.0000001, None), ("lgamma", 0.0, None),
    ("lgamma", -0.0, None), ("lgamma", -3.0, None), ("lgamma", -1e7, None), ("lgamma", INF, None),
    ("lgamma", -INF, None), ("tgamma", 0.0, None), ("tgamma", -0.0, None), ("tgamma", -1.0, None),
    ("tgamma", -INF, None), ("tgamma", 36.0, None), ("sinh", 89.5, None), ("cosh", -89.5, None),
    ("exp10", 38.6, None), ("tanpi", 0.5, None), ("tanpi", -1.5, None), ("tanpi", 4194303.5, None),
    ("sinpi", INF, None), ("cospi", NAN, None), ("log2p1", -1.0, None), ("log2p1", -2.0, None),
    ("hypot", INF, NAN), ("hypot", NAN, 1.0), ("pow", -8.0, 1 / 3), ("pow", 0.0, -1.0), ("pow", -0.0, -1.0),
    ("pow", 10.0, 40.0), ("atan2", NAN, 1.0),
])
def test_no_report_where_there_is_no_finite_result(op, x, y):
    assert _midpoint(op, x, y=y) is None


@pytest.mark.parametrize("op, x, y, rounded", [
    ("pow", 1 + 2**-12, 2.0, 1 + 2**-11),  # 1 + 2^-11 + 2^-24, halfway to the next float
    ("hypot", 15008001.0, 8002000.0, 17008000.0),  # the odd integer 17008001, between two floats
])
def test_ties_are_reported_at_distance_zero_on_the_even_side(op, x, y, rounded):
    assert _midpoint(op, x, y=y) == (rounded, 0.0, True, False)


PRIVATE_ALIASES = {"arcsin": "asin", "arccos": "acos", "arctan": "atan", "arcsinh": "asinh", "arccosh": "acosh",
                   "arctanh": "atanh", "arctan2": "atan2", "power": "pow"}


@pytest.mark.parametrize("alias, canonical", PRIVATE_ALIASES.items())
def test_numpy_names_answer_as_c_names(alias, canonical):
    assert _core._ALIASES[alias] == canonical
    y = 0.75 if canonical in BINARY else None
    assert _midpoint(alias, 0.3, y=y) == _midpoint(canonical, 0.3, y=y)
    assert _knife_edges(alias, 0.3, 0.31, 0.1, y=y) == _knife_edges(canonical, 0.3, 0.31, 0.1, y=y)


@pytest.mark.parametrize("name", sorted(INPUTS) + list(BINARY) + list(PRIVATE_ALIASES))
def test_public_functions_refuse_the_new_names_as_unknown(name):
    assert name in PRIVATE_ALIASES or not _core._OPERATIONS[name]["public"]
    old = str(pytest.raises(ValueError, midpoint, "nosuchop", 1.0).value).replace('"nosuchop"', f'"{name}"')
    assert str(pytest.raises(ValueError, midpoint, name, 1.0, y=2.0).value) == old
    assert str(pytest.raises(ValueError, knife_edges_raw, name, 1.0, 2.0).value) == old


NO_F64 = "has no exact f64 oracle yet, only sqrt, recip and div do; use dtype='f32'"


@pytest.mark.parametrize("call, message", [
    (lambda: _midpoint("hypot", 1.0), "op='hypot' needs y"),
    (lambda: _midpoint("power", 1.0, "f32"), "op='power' needs y"),
    (lambda: _midpoint("div", 1.0, "f64"), "op='div' needs y"),
    (lambda: _midpoint("cbrt", 1.0, y=2.0), "op='cbrt' takes no y"),
    (lambda: _midpoint("erf", 1.0, "f64"), f'"erf" {NO_F64}'),
    (lambda: _midpoint("pow", 1.0, "f64", 2.0), f'"pow" {NO_F64}'),
    (lambda: _midpoint("cbrt", 1.0, "f16"), str(pytest.raises(ValueError, midpoint, "sqrt", 1.0, "f16").value)),
    (lambda: _knife_edges("pow", 1.0, 2.0), "op='pow' needs y"),
    (lambda: _knife_edges("sinpi", 1.0, 2.0, y=1.0), "op='sinpi' takes no y"),
    (lambda: _knife_edges("atan2", 1.0, 2.0, dtype="f64", y=1.0), "f64 scans are available for op='sqrt' only"),
    (lambda: _knife_edges("nosuchop", 1.0, 2.0), '"tanpi", "log2p1", "exp2m1"] or \'div\', \'hypot\', \'atan2\', \'pow\''),
])
def test_argument_errors(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value).endswith(message)


@pytest.mark.parametrize("op, lo, hi, kwargs", [
    ("sqrt", 1.0, 1.01, dict(tol_ulp=0.05, limit=7)), ("recip", 0.7, 0.75, dict(tol_ulp=0.01, stride=3)),
    ("exp", -3.0, -2.99, dict(tol_ulp=0.02, max_evals=3000)), ("ln", 5.0, 5.001, dict(tol_ulp=0.3)),
    ("sqrt", 2.0, 2.0000000001, dict(tol_ulp=0.1, dtype="f64")), ("sin", 2.0, 1.0, {}),
])
def test_private_scan_of_an_old_operation_is_the_public_one(op, lo, hi, kwargs):
    assert _knife_edges(op, lo, hi, **kwargs) == knife_edges_raw(op, lo, hi, **kwargs)
    for x in (lo, hi, (lo + hi) / 2):
        assert _midpoint(op, x, kwargs.get("dtype", "f32")) == midpoint(op, x, kwargs.get("dtype", "f32"))
    assert _midpoint("div", lo, y=hi) == midpoint("div", lo, y=hi)


@pytest.mark.parametrize("op, lo, hi, y", [
    ("cbrt", 1.0, 1.0005, None), ("lgamma", -2.5, -2.4995, None), ("tanpi", 0.4999, 0.49995, None),
    ("pow", 1.5, 1.5003, 2.5), ("hypot", 3.0, 3.0003, 4.0), ("atan2", 0.5, 0.5003, -1.0), ("div", 1.0, 1.0003, 3.3),
])
def test_scan_finds_the_inputs_whose_reports_are_hits(op, lo, hi, y):
    tol = 0.02
    reports = [(x, _midpoint(op, x, y=y)) for x in all_floats(lo, hi, limit=10**5)]
    hits = [(x, r[0], r[1], r[2]) for x, r in reports if r and not r[3] and r[1] < tol]
    assert 0 < len(hits) < len(reports)
    assert _knife_edges(op, lo, hi, tol, y=y, limit=10**6) == (hits, len(reports), True)
    # Stopping at the limit: the walk ends on the input of the last hit kept.
    walked = [x for x, _ in reports].index(hits[0][0]) + 1
    assert _knife_edges(op, lo, hi, tol, y=y, limit=1) == (hits[:1], walked, walked == len(reports))
