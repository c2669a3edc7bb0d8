"""Audits of C's other operations (acos, cospi, lgamma, ...): exact points, domain edges and poles, errors
against mpmath in binary32 and binary64, and the same audit on every path."""
import math
from fractions import Fraction

import mpmath
import numpy as np
import pytest

import fpscope
from fpscope import _audit, _audit_cli, _core
from support import F32, F64
from test_audit import vector_paths
from test_operations import EXACT


def c_value(op, x):
    """C's binary64 value of op at x, near enough for answers to round from: NaN outside the domain, the
    infinity of a pole or an overflow."""
    if math.isnan(x):
        return x
    if op == "cospi":
        return math.cos(math.pi * math.fmod(x, 2.0)) if math.isfinite(x) else math.nan
    if op == "lgamma" and (math.isinf(x) or (x <= 0 and x == int(x))):
        return math.inf
    if op == "tgamma":
        if x == 0 or x == math.inf:
            return math.copysign(math.inf, x)
        if x < 0 and (x == -math.inf or x == int(x)):
            return math.nan
    try:
        return {"acos": math.acos, "erfc": math.erfc, "erf": math.erf, "lgamma": math.lgamma, "tgamma": math.gamma,
                "cbrt": lambda v: float(np.cbrt(v)), "sinh": math.sinh, "exp2m1": lambda v: float(np.exp2(v) - 1)}[op](x)
    except ValueError:
        return math.nan
    except OverflowError:
        return math.copysign(math.inf, x) if op == "sinh" else math.inf


def library(op, xs):
    return np.array([c_value(op, x) for x in np.asarray(xs, dtype=np.float64).tolist()])


def correct_rounding(op):
    """The correctly rounded function from the certified reports; C's value where there is no finite result."""
    def f(x):
        rep = fpscope.report(op, x)
        if rep is not None:
            return rep.rounded
        with np.errstate(all="ignore"):
            return float(np.float32(c_value(op, x)))
    return f


def next_up(op):
    cr = correct_rounding(op)

    def f(x):
        r = cr(x)
        return r if not math.isfinite(r) else float(np.nextafter(np.float32(r), np.float32(np.inf)))
    return f


def mp_error(op, x, y, fmt=F32):
    """(|y - f(x)| / ulp, whether y is f(x) correctly rounded) from mpmath, for a finite result."""
    with mpmath.workprec(2400 if fmt is F64 else 400):
        v = EXACT[op](mpmath.mpf(x))
        sign, man, exp, bits = mpmath.mpf(v)._mpf_
    if not man or not fmt.emin - fmt.p - 8 < exp + bits < fmt.emax + 8:
        return None  # zero, or far outside the format: its rational would be enormous
    f = Fraction(int(man)) * Fraction(2) ** int(exp) * (-1 if sign else 1)
    r = fmt.round(abs(f))
    if r == abs(f):
        return None  # on a float at this precision (erfc(-1e35) = 2 - e^-1e70): no binade to measure in
    return float(abs(Fraction(y) - f) / fmt.quantum(abs(f))), r is not None and Fraction(y) == r * (-1 if f < 0 else 1)


# Ranges across the domain edges, and the exact points and poles of each (exact: results that are floats).
CASES = {
    "acos": ((-1.5, 1.5), [1.0, -1.0, 0.0, -0.0, 1.0000001, -1.0000001, np.inf], [1.0]),
    "cospi": ((-5.0, 5.0), [0.5, -0.5, 1.5, 2.0, -3.0, 2.0 ** 24 + 2, -3e38, 1e6 + 0.5, 0.0, -0.0, np.inf],
              [0.5, -0.5, 1.5, 2.0, -3.0, 2.0 ** 24 + 2, -3e38, 1e6 + 0.5, 0.0, -0.0]),
    "lgamma": ((-6.0, 40.0), [1.0, 2.0, 0.0, -0.0, -3.0, -2.5, 3.0, 1e-40, -np.inf, np.inf], [1.0, 2.0]),
    "erfc": ((-8.0, 12.0), [0.0, -0.0, 10.05, 30.0, -30.0, np.inf, -np.inf], [0.0, -0.0, np.inf, -np.inf]),
    "tgamma": ((-6.0, 36.0), [1.0, 2.0, 5.0, 13.0, 14.0, 35.0, 36.0, 0.0, -0.0, -3.0, -2.5, 1e-40, -200.5, -201.5],
               [1.0, 2.0, 5.0, 13.0, 14.0]),
}


@pytest.mark.parametrize("op", sorted(CASES))
def test_correct_rounding_is_never_misrounded(op):
    (lo, hi), points, exact = CASES[op]
    a = fpscope.audit(correct_rounding(op), op, lo=lo, hi=hi, stride=40_009)
    assert a.inputs > 10_000 and a.misrounded == a.special_mismatches == 0 and a.max_error < 0.5
    b = fpscope.audit(correct_rounding(op), op, inputs=points)
    assert b.inputs == len(points) and b.misrounded == b.special_mismatches == 0 and b.max_error < 0.5
    # Exactly 0 only at the results that are floats (acos(0) = pi/2 is not one), infinite or undefined.
    assert b.histogram[0][2] == len(exact) + sum(1 for x in points if not math.isfinite(correct_rounding(op)(x)))


@pytest.mark.parametrize("op", sorted(CASES))
def test_next_float_up_errs_by_half_to_one_and_a_half(op):
    (lo, hi), points, _ = CASES[op]
    a = fpscope.audit(next_up(op), op, lo=lo, hi=hi, stride=200_003, worst=1000)
    assert a.special_mismatches == 0 and a.misrounded > 0.9 * a.inputs
    for x, y, r, e in a.worst:
        if math.isfinite(y):
            assert 0.5 < e <= (1.5 if math.frexp(abs(r))[0] != 0.5 else 2.5), x
    for x, y, r, e in a.worst[:40]:
        if math.isfinite(y) and (mp := mp_error(op, x, y)) is not None:
            assert e == pytest.approx(mp[0], abs=1e-6), x


@pytest.mark.parametrize("dtype,fmt", [("f32", F32), ("f64", F64)])
@pytest.mark.parametrize("op", ["acos", "cbrt", "erfc", "lgamma", "cospi", "exp2m1", "sinh", "tgamma"])
def test_sampled_audits_agree_with_mpmath(op, dtype, fmt):
    # The library's answers moved by 0 to 2 ulps: every input's error and whether it is correctly rounded.
    def moved(xs):
        with np.errstate(all="ignore"):
            ys = library(op, xs).astype(xs.dtype)
        step = (np.arange(len(xs)) % 3) * np.isfinite(ys)
        bits = ys.view(np.int32 if dtype == "f32" else np.int64)
        return (bits + step.astype(bits.dtype)).view(ys.dtype)

    xs = _audit._sample(300, 5, dtype == "f32").astype(np.float64)
    xs = xs[np.abs(xs) < 1e4] if op not in ("acos", "cbrt") else xs  # mpmath's erfc(-1e300) takes forever
    a = fpscope.audit(moved, op, dtype, inputs=xs, worst=len(xs))
    assert a.inputs == len(xs) and a.special_mismatches == 0
    checked = 0
    for x, y, r, e in a.worst:
        if math.isfinite(r) and math.isfinite(y) and (mp := mp_error(op, x, y, fmt)) is not None:
            assert e == pytest.approx(mp[0], abs=1e-6) and (y == r) == mp[1], (x, y)
            checked += 1
    assert checked > 50


def test_special_values_follow_c():
    # cospi(n + 1/2) is +0, lgamma has +inf at its poles, tgamma(-0) is -inf, acos(2) is undefined.
    cases = [("cospi", 0.5, -0.0, 0.0), ("cospi", -2.5, -0.0, 0.0), ("lgamma", -3.0, -math.inf, math.inf),
             ("tgamma", -0.0, math.inf, -math.inf), ("tgamma", -3.0, math.inf, math.nan), ("acos", 2.0, 0.0, math.nan),
             ("atanh", -1.0, math.nan, -math.inf), ("erfc", -math.inf, math.inf, 2.0)]
    for op, x, wrong, right in cases:
        for dtype in ("f32", "f64"):
            a = fpscope.audit(lambda v: wrong, op, dtype, inputs=[x])
            assert a.special_mismatches == 1 and repr(a.special_examples[0][2]) == repr(right), (op, x, dtype)
            assert fpscope.audit(lambda v: right, op, dtype, inputs=[x]).correctly_rounded == 1, (op, x, dtype)


@pytest.mark.parametrize("op", ["erf", "cospi", "exp2m1", "tgamma"])
def test_every_path_gives_the_same_audit(op):
    # Saturated results (erf near +-1, exp2m1 near -1), exact points at every integer (cospi) and results
    # that underflow with either sign (tgamma), answered with errors of a few ulps, NaN and wrong zeros.
    def scrambled(xs):
        with np.errstate(all="ignore"):
            ys = library(op, xs).astype(np.float32)
        h = (xs.view(np.uint32).astype(np.uint64) * 2654435761) >> 29 & 0xFFFF
        out = (ys.view(np.int32) + (h % 5 == 0) * ((h % 7).astype(np.int32) - 3)).view(np.float32)
        out = np.where(np.isfinite(ys), out, ys)
        out[h % 211 == 0] = np.nan
        return np.where(h % 223 == 0, -out * np.float32(0), out)

    current = _core._scan_path()
    try:
        _core._scan_path("scalar")
        expected = repr(fpscope.audit(scrambled, op, lo=-300.0, hi=300.0, stride=12_007, worst=40))
        for path in vector_paths():
            _core._scan_path(path)
            assert repr(fpscope.audit(scrambled, op, lo=-300.0, hi=300.0, stride=12_007, worst=40)) == expected, path
    finally:
        _core._scan_path(current)


@pytest.mark.parametrize("impl,op,dtype,name", [
    ("numpy", "arcsinh", "f32", "arcsinh"), ("numpy", "acos", "f64", "arccos"), ("numpy", "cbrt", "f32", "cbrt"),
    ("libm", "cbrt", "f32", "libm.so.6:cbrtf"), ("libm", "arcsinh", "f64", "libm.so.6:asinh"),
    ("libm", "erfc", "f32", "libm.so.6:erfcf"), ("libm", "lgamma", "f32", "libm.so.6:lgammaf"),
])
def test_command_resolves_numpy_and_libm_names(impl, op, dtype, name):
    resolved = _audit_cli.resolve_impl(impl, op, dtype)
    assert (resolved.__name__ if impl == "numpy" else resolved.description) == name


@pytest.mark.parametrize("call,match", [
    (lambda: fpscope.audit(np.hypot, "hypot", lo=1.0, hi=2.0), "audits of hypot take pairs"),
    (lambda: fpscope.audit(np.cbrt, "cbrt", "f16", lo=1.0, hi=2.0), "f32 or f64, not f16"),
    (lambda: _audit_cli.resolve_impl("numpy", "erf", "f32"), "numpy has no erf"),
])
def test_refusals(call, match):
    with pytest.raises(ValueError, match=match):
        call()
