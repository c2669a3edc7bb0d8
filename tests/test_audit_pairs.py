"""Audits of hypot, atan2 and pow on pairs: errors against mpmath, exact and special pairs, the same audit on
every path and engine, and the command line."""
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

OPS = ("hypot", "atan2", "pow")
NUMPY = {"hypot": np.hypot, "atan2": np.arctan2, "pow": np.power}


def pairs_of(op, n, seed, f32):
    """n pairs with finite results for most: any floats for hypot and atan2; for pow, x in (0, 64) with
    y in (-30, 30), and negative x with integer y."""
    if op != "pow":
        return _audit._sample(n, seed, f32, pairs=True).astype(np.float64)
    rng = np.random.default_rng(seed)
    xs, ys = rng.uniform(0, 64, n), rng.uniform(-30, 30, n)
    xs[::4], ys[::4] = -xs[::4], np.round(ys[::4])
    pairs = np.stack([xs, ys], axis=1)
    return pairs.astype(np.float32).astype(np.float64) if f32 else pairs


def correct_rounding(op, dtype):
    """The correctly rounded function of two floats, from the certified reports; C's value (numpy's in
    binary64) where there is no finite result."""
    def f(x, y):
        rep = fpscope.report(op, x, dtype, y=y)
        if rep is not None:
            return rep.rounded
        with np.errstate(all="ignore"):
            return float(NUMPY[op](np.float64(x), np.float64(y)).astype(np.float32 if dtype == "f32" else np.float64))
    return f


def mp_error(op, x, y, answer, fmt):
    """(|answer - op(x, y)| / ulp, whether answer is op(x, y) correctly rounded) from mpmath, for a finite
    result inside the format's range; None elsewhere."""
    with mpmath.workprec(2400 if fmt is F64 else 400):
        v = EXACT[op](mpmath.mpf(x), mpmath.mpf(y))
        if isinstance(v, mpmath.mpc) or not mpmath.isfinite(v) or v == 0:
            return None
        sign, man, exp, bits = mpmath.mpf(v)._mpf_
    if not fmt.emin - fmt.p - 8 < exp + bits < fmt.emax:
        return None
    f = Fraction(int(man)) * Fraction(2) ** int(exp) * (-1 if sign else 1)
    r = fmt.round(abs(f))
    return (float(abs(Fraction(answer) - f) / fmt.quantum(abs(f))),
            r is not None and Fraction(answer) == r * (-1 if f < 0 else 1))


@pytest.mark.parametrize("dtype,fmt", [("f32", F32), ("f64", F64)])
@pytest.mark.parametrize("op", OPS)
def test_errors_agree_with_mpmath(op, dtype, fmt):
    # numpy's answers moved by 0 to 2 ulps: every pair's error and whether it is correctly rounded.
    def moved(xs, ys):
        with np.errstate(all="ignore"):
            out = NUMPY[op](xs.astype(np.float64), ys.astype(np.float64)).astype(xs.dtype)
        bits = out.view(np.int32 if dtype == "f32" else np.int64)
        step = (np.arange(len(xs)) % 3) * np.isfinite(out)
        return (bits + step.astype(bits.dtype)).view(out.dtype)

    pairs = pairs_of(op, 400, 11, dtype == "f32")
    a = fpscope.audit(moved, op, dtype, inputs=pairs, worst=len(pairs))
    assert a.inputs == len(pairs) and a.special_mismatches == 0 and a.misrounded > len(pairs) // 2
    checked = 0
    for (x, y), answer, r, e in a.worst:
        if math.isfinite(answer) and (mp := mp_error(op, x, y, answer, fmt)) is not None:
            assert e == pytest.approx(mp[0], abs=1e-6) and (answer == r) == mp[1], (x, y)
            checked += 1
    assert checked > 200


# Pairs at exact results (floats, a tie, zeros, infinities), poles, no result, and C's values at NaN.
POINTS = {
    "hypot": [(3.0, 4.0), (-5.0, 12.0), (0.0, -7.5), (-0.0, 0.0), (np.inf, np.nan), (np.nan, -np.inf),
              (3e38, 3e38), (1e-45, 1e-45), (2.5, 1e-30)],
    "atan2": [(0.0, -1.0), (-0.0, -1.0), (0.0, 1.0), (-0.0, 0.0), (1.0, 1.0), (np.inf, -np.inf), (-1.0, np.inf),
              (1e-45, 3e38), (2.0, 0.0)],
    "pow": [(2.0, 10.0), (4.0, 0.5), (-2.0, 3.0), (1 + 2.0 ** -12, 2.0), (0.0, -1.0), (-0.0, -3.0), (-8.0, 1 / 3),
            (1.0, np.nan), (np.nan, 0.0), (-1.0, np.inf), (0.5, -np.inf), (2.0, 200.0), (2.0, -200.0),
            (-2.0, -149.0), (1.0000001, 1e-30)],
}


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@pytest.mark.parametrize("op", OPS)
def test_correct_rounding_passes_and_next_float_up_errs_by_half_to_one_and_a_half(op, dtype):
    cr = correct_rounding(op, dtype)
    pairs = np.concatenate([pairs_of(op, 300, 4, dtype == "f32"), POINTS[op]])
    a = fpscope.audit(cr, op, dtype, inputs=pairs)
    assert a.inputs == len(pairs) and a.misrounded == a.special_mismatches == 0 and a.max_error <= 0.5

    def next_up(x, y):
        r = cr(x, y)
        if not math.isfinite(r):
            return r
        return float(np.nextafter(np.float32(r), np.float32(np.inf)) if dtype == "f32" else np.nextafter(r, np.inf))

    b = fpscope.audit(next_up, op, dtype, inputs=pairs, worst=len(pairs))
    assert b.special_mismatches == 0
    for x, y, r, e in b.worst:
        if math.isfinite(r) and (y != r or r == 0):
            # Exactly 0.5 only from an exact tie or -2^k; above 2^k the binade below counts, up to 2.5.
            power = math.frexp(abs(r))[0] == 0.5
            tie = x == (1 + 2.0 ** -12, 2.0) and dtype == "f32"
            assert (0.5 <= e if power or tie else 0.5 < e) and e <= (2.5 if power else 1.5), (x, y, r)


@pytest.mark.parametrize("dtype", ["f32", "f64"])
def test_exact_results_have_no_error_and_ties_round_to_even(dtype):
    a = fpscope.audit(correct_rounding("pow", dtype), "pow", dtype, inputs=POINTS["pow"], worst=20)
    answers = {x: (answer, e) for x, answer, _, e in a.worst}
    # (1 + 2^-12)^2 lies on a binary32 midpoint, which rounds to the even float below it; a binary64 value.
    tie = (1 + 2.0 ** -11, 0.5) if dtype == "f32" else (1 + 2.0 ** -11 + 2.0 ** -24, 0.0)
    assert [answers[p] for p in [(2.0, 10.0), (4.0, 0.5), (-2.0, 3.0), (-1.0, math.inf), (1 + 2.0 ** -12, 2.0)]] \
        == [(1024.0, 0.0), (2.0, 0.0), (-8.0, 0.0), (1.0, 0.0), tie]


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@pytest.mark.parametrize("op,pair,wrong,right", [
    ("pow", (-8.0, 1 / 3), -2.0, math.nan),  # no real result
    ("pow", (0.0, -1.0), math.nan, math.inf),  # a pole: C's infinity
    ("pow", (-0.0, -3.0), math.inf, -math.inf),
    ("pow", (math.nan, 0.0), math.nan, 1.0),
    ("pow", (1.0, math.nan), math.nan, 1.0),
    ("pow", (2.0, 200.0), 3e38, math.inf),  # past the binary32 range only
    ("hypot", (math.inf, math.nan), math.nan, math.inf),
    ("hypot", (math.nan, -math.inf), -math.inf, math.inf),
    ("atan2", (-0.0, 1.0), 0.0, -0.0),
    ("atan2", (0.0, 0.0), math.nan, 0.0),
])
def test_special_pairs_follow_c(op, pair, wrong, right, dtype):
    if dtype == "f64" and pair == (2.0, 200.0):
        pair, right = (2.0, 2000.0), math.inf
    a = fpscope.audit(lambda x, y: wrong, op, dtype, inputs=[pair])
    assert a.special_mismatches == 1 and repr(a.special_examples[0][2]) == repr(right)
    assert fpscope.audit(lambda x, y: right, op, dtype, inputs=[pair]).correctly_rounded == 1


def test_pairs_holding_a_nan_without_a_result_are_skipped():
    pairs = [(math.nan, 1.0), (2.0, math.nan), (math.nan, 0.0), (1.0, math.nan), (math.inf, math.nan)]
    counts = {op: fpscope.audit(NUMPY[op], op, inputs=pairs).inputs for op in OPS}
    assert counts == {"hypot": 1, "atan2": 0, "pow": 2}


@pytest.mark.parametrize("op", OPS)
def test_every_path_and_engine_gives_the_same_audit(op):
    # numpy's float32 answers, some moved by up to 3 ulps, some NaN and some zeros of the wrong sign; ties on
    # every exact pair (error 0), broken on x and then y.
    def scrambled(xs, ys):
        with np.errstate(all="ignore"):
            out = NUMPY[op](xs, ys)
        h = (xs.view(np.uint32).astype(np.uint64) * 2654435761 + ys.view(np.uint32)) >> 29 & 0xFFFF
        moved = (out.view(np.int32) + (h % 5 == 0) * ((h % 7).astype(np.int32) - 3)).view(np.float32)
        moved = np.where(np.isfinite(out), moved, out)
        moved[h % 211 == 0] = np.nan
        return np.where(h % 223 == 0, -moved * np.float32(0), moved)

    pairs = np.concatenate([pairs_of(op, 6000, 2, True), POINTS[op] * 3, [(y, x) for x, y in POINTS[op]]])
    current = _core._scan_path()
    try:
        _core._scan_path("scalar")
        expected = repr(fpscope.audit(scrambled, op, inputs=pairs, worst=60))
        for path in vector_paths():
            _core._scan_path(path)
            assert repr(fpscope.audit(scrambled, op, inputs=pairs, worst=60)) == expected, path
        assert repr(fpscope.audit(scrambled, op, inputs=pairs, worst=60, workers=2)) == expected
    finally:
        _core._scan_path(current)
    sampled = dict(sample=2000, seed=8, worst=30)
    assert repr(fpscope.audit(NUMPY[op], op, "f64", **sampled)) == \
        repr(fpscope.audit(NUMPY[op], op, "f64", workers=2, **sampled))
    # Exact results only (errors all 0): the lowest x first, then the lowest y.
    exact = fpscope.audit(np.hypot, "hypot", inputs=[(3.0, 4.0), (3.0, -4.0), (-3.0, 4.0), (-3.0, -4.0)], worst=3)
    assert [w[0] for w in exact.worst] == [(-3.0, -4.0), (-3.0, 4.0), (3.0, -4.0)]


def test_assert_accurate_names_the_worst_pair():
    with pytest.raises(AssertionError, match=r"worst at x=\(0x1p\+0, 0x1p\+0\): got 0x1\.921fb4p-1"):
        fpscope.assert_accurate(lambda x, y: 0.78539812, "atan2", inputs=[(2.0, 2.0), (1.0, 1.0)], max_ulp=0.5)
    assert fpscope.assert_accurate(np.power, "pow", "f64", sample=500, max_ulp=1).inputs == 500


@pytest.mark.parametrize("call,error,match", [
    (lambda: fpscope.audit(lambda x, y: np.hypot(x, y)[:-1], "hypot", sample=10), ValueError, "shape"),
    (lambda: fpscope.audit(np.power, "power", lo=1.0, hi=2.0), ValueError, "audits of pow take pairs"),
    (lambda: fpscope.audit(np.arctan2, "arctan2", inputs=[1.0, 2.0]), TypeError, "inputs of atan2 must be pairs"),
    (lambda: fpscope.audit(np.hypot, "hypot", inputs="knife-edges"), ValueError, "take pairs"),
    (lambda: fpscope.audit(np.hypot, "hypot", "f16", inputs=[(1.0, 2.0)]), ValueError, "f32 or f64, not f16"),
])
def test_bad_requests_are_one_clear_error(call, error, match):
    with pytest.raises(error, match=match):
        call()


@pytest.mark.parametrize("op,dtype", [("hypot", "f32"), ("arctan2", "f64"), ("power", "f32")])
def test_command_audits_numpy_pairs(op, dtype, capsys):
    from fpscope.cli import main
    assert main(["audit", op, "numpy", "--sample", "500", "--dtype", dtype]) == 0
    out = capsys.readouterr().out
    assert "500 inputs" in out and "max error" in out and "at x = (" in out


@pytest.mark.parametrize("dtype", ["f32", "f64"])
@pytest.mark.parametrize("op", OPS)
def test_c_functions_of_two_floats_are_called_from_the_core(op, dtype):
    import ctypes
    import dataclasses
    resolved = _audit_cli.resolve_impl("libm", op, dtype)
    symbol = op + ("f" if dtype == "f32" else "")
    assert resolved.description == f"libm.so.6:{symbol}"
    scalar = ctypes.c_float if dtype == "f32" else ctypes.c_double
    fn = getattr(ctypes.CDLL("libm.so.6"), symbol)
    fn.restype, fn.argtypes = scalar, [scalar, scalar]
    pairs = np.concatenate([pairs_of(op, 500, 6, dtype == "f32"), POINTS[op]])
    by_core, by_ctypes = (fpscope.audit(impl, op, dtype, inputs=pairs, worst=20) for impl in (resolved, fn))
    per_call = fpscope.audit(lambda x, y: fn(x, y), op, dtype, inputs=pairs, worst=20)
    assert by_core.inputs == len(pairs)
    for other in (by_ctypes, per_call):
        assert repr(dataclasses.replace(other, impl="")) == repr(dataclasses.replace(by_core, impl=""))
    fn.argtypes = [scalar]
    with pytest.raises(TypeError, match="argtypes"):
        fpscope.audit(fn, op, dtype, inputs=pairs)
