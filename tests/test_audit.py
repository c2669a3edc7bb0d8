"""Accuracy audits: implementations with known errors, errors against mpmath, engines, specials."""
import concurrent.futures as cf
import json
import math
from fractions import Fraction

import mpmath
import numpy as np
import pytest

import fpscope
from fpscope import _audit, _core
from fpscope._floats import from_ordered
from support import F32, F64 as F64_MODEL, MP_FUNCTIONS, Undecided, mp_f32_report

# Ranges that cross binades, subnormal and overflowing results, and the tiny inputs whose binary64
# result is a binary32 value; strided so that every op stays cheap.
RANGES = {
    "exp": (-104.0, 89.0), "exp2": (-151.0, 129.0), "expm1": (-20.0, 89.0), "log": (0.0, 1e38),
    "log2": (0.0, 1e38), "log10": (0.0, 1e38), "log1p": (-1.0, 1e38), "sin": (-10.0, 10.0),
    "cos": (-10.0, 10.0), "tan": (-3.0, 3.0), "atan": (-1e30, 1e30), "tanh": (-20.0, 20.0),
    "sigmoid": (-105.0, 20.0), "softplus": (-105.0, 100.0), "rsqrt": (0.0, 1e38), "sqrt": (0.0, 1e38),
    "recip": (-1e38, 1e38),
}
STRIDE = 40_009


# Binary64 functions for the results that have no midpoint report (infinite, undefined), where the
# binary64 value rounds to the right binary32 one.
F64 = {"exp": np.exp, "exp2": np.exp2, "expm1": np.expm1, "log": np.log, "log2": np.log2, "log10": np.log10,
       "log1p": np.log1p, "sin": np.sin, "cos": np.cos, "tan": np.tan, "atan": np.arctan, "tanh": np.tanh,
       "rsqrt": lambda v: 1 / np.sqrt(v), "sigmoid": lambda v: 1 / (1 + np.exp(-v)),
       "softplus": lambda v: np.logaddexp(0, v), "sqrt": np.sqrt, "recip": lambda v: 1 / v}


def correct_rounding(op):
    """The correctly rounded function, from the certified midpoint reports (scalar)."""
    def f(x):
        rep = fpscope.report(op, x)
        if rep is not None:
            return rep.rounded
        with np.errstate(all="ignore"):
            return float(np.float32(F64[op](np.float64(x))))
    return f


def mp_error(op, x, y, fmt=F32):
    """|y - f(x)| / ulp(f(x)) from mpmath, with the binade rule of the definitions. The precision
    reaches past the smallest subnormal: exp(-2^-1000) must not round to 1."""
    with mpmath.workprec(300 if fmt is F32 else 2300):
        v = {"sqrt": mpmath.sqrt, "recip": lambda t: 1 / t}.get(op, MP_FUNCTIONS.get(op))(mpmath.mpf(x))
        sign, man, exp, _ = mpmath.mpf(v)._mpf_
    f = Fraction(int(man)) * Fraction(2) ** int(exp) * (-1 if sign else 1)
    quantum = fmt.quantum(abs(f))
    return float(abs(Fraction(y) - f) / quantum)


@pytest.mark.parametrize("op", sorted(RANGES))
def test_correct_rounding_has_no_misrounded_result(op):
    lo, hi = RANGES[op]
    a = fpscope.audit(correct_rounding(op), op, lo=lo, hi=hi, stride=STRIDE)
    assert a.inputs > 20_000 and a.misrounded == 0 and a.special_mismatches == 0
    assert a.correctly_rounded == a.inputs and a.max_error <= 0.5


@pytest.mark.parametrize("op", ["exp", "log", "sin", "tanh", "sqrt", "recip", "sigmoid", "exp2"])
def test_next_float_up_errs_by_half_to_one_and_a_half(op):
    cr = correct_rounding(op)

    def up(x):
        r = cr(x)
        return r if not math.isfinite(r) else float(np.nextafter(np.float32(r), np.float32(np.inf)))

    lo, hi = RANGES[op]
    a = fpscope.audit(up, op, lo=lo, hi=hi, stride=STRIDE, worst=1000)
    counts = {(low, high): count for low, high, count in a.histogram if count}
    # Only a correctly rounded infinity (error 0) is right; a step up from a power of two whose exact
    # value lies in the binade below it is measured in that binade's ulps: up to 2.5.
    assert set(counts) <= {(0.0, 0.0), (0.5, 1.0), (1.0, 2.0), (2.0, 4.0)}
    assert a.misrounded == a.inputs - counts.get((0.0, 0.0), 0) - a.special_mismatches > 0
    for x, y, r, e in a.worst:
        assert 0.5 < e <= (1.5 if math.frexp(abs(r))[0] != 0.5 else 2.5)
        if len(a.worst) < 30 or x == a.worst[-1][0]:
            assert e == pytest.approx(mp_error(op, x, y), abs=1e-6)


def double_rounded_exp(xs):
    """exp rounded to 30 bits, then to binary32: wrong wherever the first rounding lands on a midpoint."""
    m, e = np.frexp(np.exp(xs.astype(np.float64)))
    return np.ldexp(np.round(m * 2.0 ** 30) / 2.0 ** 30, e).astype(np.float32)


def test_double_rounded_exp_is_caught_and_measured_like_mpmath():
    a = fpscope.audit(double_rounded_exp, "exp", lo=0.5, hi=0.5 + 2 ** -10, worst=8)
    assert 0.002 < a.misrounded / a.inputs < 0.01 and a.special_mismatches == 0
    for x, y, r, e in a.worst:
        assert y != r and 0.5 < e <= 0.5 + 2 ** -6
        assert e == pytest.approx(mp_error("exp", x, y), abs=1e-6)


@pytest.mark.parametrize("op,f,misrounded", [("log", math.log, 5), ("log1p", math.log1p, 9), ("exp", math.exp, 0)])
def test_binary64_rounded_again_fails_at_the_knife_edges(op, f, misrounded):
    # The shipped worst cases lie within 2e-8 ulp of a midpoint: every one is decided by MPFR.
    xs = [row["x"] for row in fpscope.worst_table(op)["rows"]]
    a = fpscope.audit(f, op, inputs=xs, worst=16)
    assert a.misrounded == misrounded and a.correctly_rounded == len(xs) - misrounded
    for x, y, r, e in a.worst:
        assert e == pytest.approx(mp_error(op, x, y), abs=1e-6)


@pytest.mark.parametrize("x,y", [
    (-103.5, 2.0 ** -149), (-103.5, 0.0),          # subnormal results
    (float.fromhex("-0x1.5d589ep+6"), 2.0 ** -126), (88.7, 3e38),  # next to the smallest normal, near overflow
    (2.0 ** -30, 1.0), (2.0 ** -30, 1.0000001192092896), (-2.0 ** -30, 0.9999999403953552),  # at 1
    (0.6931471824645996, 2.0), (0.6931471824645996, 1.9999998807907104),  # next to a power of two
    (1e-40, 1.0), (3.0, 20.085536956787109),
])
def test_errors_agree_with_mpmath(x, y):
    a = fpscope.audit(lambda v: y, "exp", inputs=[x])
    assert a.inputs == 1 and a.max_error_x == np.float32(x)
    assert a.max_error == pytest.approx(mp_error("exp", float(np.float32(x)), float(np.float32(y))), abs=1e-6)


@pytest.mark.parametrize("op,x,expected_bin", [
    ("exp", 0.0, (0.0, 0.0)), ("log", 1.0, (0.0, 0.0)), ("exp2", -3.0, (0.0, 0.0)),
    ("log10", 1000.0, (0.0, 0.0)), ("sqrt", 2.25, (0.0, 0.0)), ("exp", 1e-30, (0.0, 0.5)),
    ("cos", 1e-20, (0.0, 0.5)), ("exp2", -150.0, (0.0, 0.5)),
])
def test_exactly_zero_only_at_exact_points(op, x, expected_bin):
    a = fpscope.audit(correct_rounding(op), op, inputs=[x])
    assert [(lo, hi) for lo, hi, count in a.histogram if count] == [expected_bin]


def test_specials_are_listed_apart_from_ulp_errors():
    def bad(xs):
        ys = np.exp(xs)
        ys[xs == 1.0] = np.nan                        # NaN for a real result
        ys[xs == 2.0] = np.inf                        # infinite for a finite one
        ys[xs == 100.0] = np.float32(3e38)            # finite where the rounding overflows
        return ys

    a = fpscope.audit(bad, "exp", inputs=[100.0, 2.0, 0.5, 1.0, np.inf, -np.inf, np.nan])
    assert a.inputs == 6 and a.special_mismatches == 3
    assert [(x, y) for x, y, _ in a.special_examples][:1] == [(100.0, float(np.float32(3e38)))]
    assert a.correctly_rounded + a.misrounded == 3
    s = fpscope.audit(lambda xs: -np.sin(-xs), "sin", inputs=[0.0, -0.0, 1.0])
    assert s.special_mismatches == 0
    z = fpscope.audit(lambda xs: np.abs(np.sin(xs)), "sin", inputs=[-0.0, 0.5])
    assert z.special_mismatches == 1 and z.special_examples[0][2] == 0.0
    u = fpscope.audit(lambda xs: np.zeros_like(xs), "log", inputs=[-1.0])  # log(-1) is undefined
    assert u.special_mismatches == 1 and math.isnan(u.special_examples[0][2])


@pytest.mark.parametrize("dtype,tiny", [("f32", 1e-45), ("f64", 5e-324)])
def test_walks_across_zero_audit_both_zeros(dtype, tiny):
    # The ordered view has one zero; a walk of every float meets -0.0 as well (the whole binary32 range
    # is 4,278,190,082 inputs).
    a = fpscope.audit(lambda xs: np.abs(np.sin(xs)), "sin", dtype, lo=-tiny, hi=tiny)
    assert a.inputs == 4 and a.special_mismatches == 1
    x, y, expected = a.special_examples[0]
    assert [math.copysign(1, v) for v in (x, y, expected)] == [-1, 1, -1]
    assert fpscope.audit(np.sin, "sin", dtype, lo=0.0, hi=3 * tiny, stride=2).inputs == 2  # strides walk the view


@pytest.mark.parametrize("impl,error", [
    (lambda xs: xs[:-1], ValueError), (lambda xs: xs.astype(np.float64), TypeError),
])
def test_array_function_with_wrong_shape_or_dtype_is_refused(impl, error):
    with pytest.raises(error, match="returned"):
        fpscope.audit(impl, "exp", lo=1.0, hi=2.0)


def vector_paths():
    current, found = _core._scan_path(), []
    for name in ("sse2", "avx2", "avx512"):
        try:
            _core._scan_path(name)
            found.append(name)
        except ValueError:
            pass
    _core._scan_path(current)
    return found


def scrambled(op):
    """The correct rounding (through binary64) moved by a few ulps on some inputs, far on others, NaN or a zero of
    the other sign on a few: chosen from the input's own bits, so every chunking sees the same answers."""
    def f(xs):
        with np.errstate(all="ignore"):
            ys = F64[op](xs.astype(np.float64)).astype(np.float32)
        h = (xs.view(np.uint32).astype(np.uint64) * 2654435761) >> 29 & 0xFFFF
        step = np.where(h % 5 == 0, (h % 7).astype(np.int64) - 3, 0)
        step = np.where(h % 97 == 0, (h.astype(np.int64) << 6) - (1 << 21), step)
        out = (ys.view(np.int32).astype(np.int64) + step).astype(np.int32).view(np.float32)
        out = np.where(np.isfinite(ys), out, ys)
        out[h % 211 == 0] = np.nan
        return np.where(h % 223 == 0, -out * np.float32(0), out)
    return f


DESCENDING_TIES = np.concatenate([np.linspace(-800, -900, 3000), [0.0, -0.0, -np.inf]])
# Exact points of each kind, and results within 1e-7 ulp of a midpoint (the shipped worst cases).
EXACT_POINTS = [1.0, 2.0, 4.0, 0.25, -3.0, 10.0, 1000.0, 1e10, 2.0 ** -140, 0.0, -np.inf, 2.25]


# One operation for each set of exact points the vector kernels test for.
@pytest.mark.parametrize("op", ["exp", "sqrt", "recip", "log", "log2", "exp2", "log10", "sin", "rsqrt"])
@pytest.mark.parametrize("kwargs", [
    dict(stride=100_003),                     # every region of the range
    dict(lo=-1e-37, hi=1e-37, stride=101),    # zeros and subnormals
    dict(sample=20_000, seed=4),              # inputs in no order
    dict(inputs=DESCENDING_TIES, worst=5),    # equal errors (zeros beyond underflow) from lower and lower x
    dict(inputs=EXACT_POINTS),
    dict(inputs="worst table"),
], ids=["range", "tiny", "sample", "ties", "exact", "near midpoints"])
def test_vector_paths_judge_as_the_full_judgement(op, kwargs):
    # The scalar path takes every input through the full judgement; the others decide the common inputs
    # in vector kernels and must give the very same audit (compared as text: NaN answers are not equal).
    if isinstance(kwargs.get("inputs"), str):  # the shipped worst cases
        kwargs = dict(inputs=[row["x"] for row in fpscope.worst_table(op)["rows"]])
    current = _core._scan_path()
    try:
        _core._scan_path("scalar")
        expected = repr(fpscope.audit(scrambled(op), op, **{"worst": 40, **kwargs}))
        for path in vector_paths():
            _core._scan_path(path)
            assert repr(fpscope.audit(scrambled(op), op, **{"worst": 40, **kwargs})) == expected, path
    finally:
        _core._scan_path(current)


@pytest.mark.parametrize("path", ["scalar"] + vector_paths())
def test_equal_errors_go_to_the_lowest_inputs(path):
    # exp is 0 beyond -745 in binary64 and binary32: every error is the same, and the list keeps the lowest x
    # whatever order the inputs come in.
    xs = np.linspace(-800, -900, 5000, dtype=np.float32)
    current = _core._scan_path(path)
    try:
        for order in (xs, xs[::-1]):
            a = fpscope.audit(np.exp, "exp", inputs=order, worst=5)
            assert [w[0] for w in a.worst] == sorted(xs.tolist())[:5] and a.max_error_x == float(xs.min())
    finally:
        _core._scan_path(current)


@pytest.mark.parametrize("impl", ["array", "native"])
@pytest.mark.parametrize("lo,hi,stride", [
    (-1e-44, 1e-44, 1),         # across zero: -0.0 comes last, in a chunk of its own
    (-1000.0, -700.0, 997),     # equal errors (results beyond underflow) over several chunks
    (-104.0, 89.0, 10_007),     # every kind of result, a short last chunk
])
def test_range_audits_judge_the_floats_they_walk(monkeypatch, impl, lo, hi, stride):
    # A range is made in chunks by the package (for an array function) or by the core (for a native one);
    # either way it must be the audit of exactly those floats, in that order, given as inputs.
    monkeypatch.setattr(_audit, "CHUNK", 64)
    f = np.exp if impl == "array" else fpscope.native("libm.so.6", "expf")
    start, end = _core.ordered(lo, "f32"), _core.ordered(hi, "f32")
    floats = [from_ordered(k, True) for k in range(start, end + 1, stride)]
    if stride == 1:
        floats.append(-0.0)
    walked = fpscope.audit(f, "exp", lo=lo, hi=hi, stride=stride, worst=6)
    given = fpscope.audit(f, "exp", inputs=np.array(floats, dtype=np.float32), worst=6)
    assert walked.inputs == len(floats) and repr(walked) == repr(given)


def test_sqrt_strided_is_correctly_rounded():
    a = fpscope.audit(np.sqrt, "sqrt", stride=997)
    assert a.misrounded == 0 and a.special_mismatches == 0 and a.max_error < 0.5


@pytest.mark.slow
def test_sqrt_whole_range_is_correctly_rounded():
    a = fpscope.audit(np.sqrt, "sqrt", workers=-1)
    assert a.exhaustive and a.inputs == _audit.ALL_F32 and a.misrounded == 0 and a.special_mismatches == 0


def test_engines_give_identical_audits():
    args = dict(lo=-5.0, hi=5.0, stride=301)
    base = fpscope.audit(np.exp, "exp", **args)
    with cf.ThreadPoolExecutor(3) as pool:
        assert fpscope.audit(np.exp, "exp", executor=pool, **args) == base
    assert fpscope.audit(np.exp, "exp", workers=2, **args) == base
    with cf.ProcessPoolExecutor(2) as pool:
        assert fpscope.audit(np.exp, "exp", executor=pool, **args) == base


def libm():
    import ctypes
    lib = ctypes.CDLL("libm.so.6")
    lib.expf.restype, lib.expf.argtypes = ctypes.c_float, [ctypes.c_float]
    return lib


def test_native_loop_answers_as_the_same_function_called_per_input():
    args = dict(lo=-90.0, hi=90.0, stride=100_003, worst=4)
    native = fpscope.audit(fpscope.native("libm.so.6", "expf"), "exp", **args)
    pointer = fpscope.audit(libm().expf, "exp", **args)
    expf = libm().expf
    scalar = fpscope.audit(lambda x: expf(x), "exp", **args)
    assert native.inputs > 20_000 and native.impl == "libm.so.6:expf"
    assert (native.misrounded, native.worst, native.histogram) == (pointer.misrounded, pointer.worst, pointer.histogram)
    assert (native.misrounded, native.worst, native.histogram) == (scalar.misrounded, scalar.worst, scalar.histogram)


@pytest.mark.parametrize("call,error,match", [
    (lambda: fpscope.native("/nonexistent/libnothing.so", "expf"), ValueError, "cannot open shared library"),
    (lambda: fpscope.native("libm.so.6", "no_such_symbol"), ValueError, "no symbol 'no_such_symbol'"),
    (lambda: fpscope.audit(fpscope.native("libm.so.6", "exp", "f64"), "exp", lo=1, hi=2), ValueError, "f64"),
    (lambda: fpscope.audit(__import__("ctypes").CDLL("libm.so.6").logf, "log", lo=1, hi=2), TypeError, "restype"),
    (lambda: fpscope.audit(np.exp, "exp", lo=1.0), ValueError, "both lo and hi"),
    (lambda: fpscope.audit(np.exp, "exp", sample=10, inputs=[1.0]), ValueError, "one of"),
    (lambda: fpscope.audit(np.exp, "cube", lo=1, hi=2), ValueError, "unknown op"),
    (lambda: fpscope.audit(np.exp, "exp", inputs="everything"), ValueError, "knife-edges"),
    (lambda: fpscope.audit(np.divide, "div", lo=1.0, hi=2.0), ValueError, "pairs"),
    (lambda: fpscope.audit(np.divide, "div", inputs=[1.0, 2.0]), TypeError, "pairs of floats"),
    (lambda: fpscope.audit("numpy.divide", "div", sample=4), TypeError, "two arrays"),
])
def test_bad_requests_are_one_clear_error(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_process_pool_reopens_native_functions():
    args = dict(lo=1.0, hi=4.0, stride=1001)
    with cf.ProcessPoolExecutor(2) as pool:
        assert fpscope.audit(fpscope.native("libm.so.6", "logf"), "log", executor=pool, **args) == \
            fpscope.audit(fpscope.native("libm.so.6", "logf"), "log", **args)


def test_ctrl_c_gives_the_audit_of_the_chunks_done():
    calls = []

    def interrupted_on_third_chunk(xs):
        calls.extend([len(xs)] if len(xs) > 2 else [])  # the probe of array functions has 2 inputs
        if len(calls) == 3:
            raise KeyboardInterrupt
        return np.exp(xs)

    seen = []
    with pytest.raises(fpscope.AuditInterrupted) as caught:
        fpscope.audit(interrupted_on_third_chunk, "exp", lo=1.0, hi=8.0,
                      progress=lambda done, total: seen.append((done, total)))
    partial = caught.value.partial
    assert isinstance(caught.value, KeyboardInterrupt) and not partial.complete
    assert partial.inputs == 2 * _audit.CHUNK == seen[-1][0]
    full = fpscope.audit(np.exp, "exp", lo=1.0, hi=float(np.float32(1.0) + np.float32(2 * _audit.CHUNK - 1) * np.float32(2 ** -23)))
    assert (partial.misrounded, partial.worst, partial.histogram) == (full.misrounded, full.worst, full.histogram)


def test_assert_accurate_names_the_worst_input():
    fpscope.assert_accurate(np.sqrt, "sqrt", lo=1.0, hi=4.0, stride=101, correctly_rounded=True)
    with pytest.raises(AssertionError, match=r"worst at x=0x1\.[0-9a-f]+p-1: got .* correct .* error 0\.5\d* ulp.*"
                                             r"misrounded"):
        fpscope.assert_accurate(double_rounded_exp, "exp", lo=0.5, hi=0.5 + 2 ** -10, max_ulp=0.5)
    with pytest.raises(AssertionError, match="1 special mismatches, first at x=0x1p\\+0"):
        fpscope.assert_accurate(lambda xs: np.where(xs == 1, np.float32(np.nan), np.exp(xs)), "exp",
                                inputs=[1.0, 2.0], max_ulp=100)


def test_dask_cluster_gives_the_same_audit():
    distributed = pytest.importorskip("dask.distributed")
    args = dict(lo=-5.0, hi=5.0, stride=3001)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        assert fpscope.audit(np.exp, "exp", executor=client.get_executor(), **args) == \
            fpscope.audit(np.exp, "exp", **args)


@pytest.mark.parametrize("op", ["exp", "log", "sin", "sqrt"])
def test_binary64_samples_agree_with_mpmath(op):
    def off_by_one(xs):
        with np.errstate(all="ignore"):
            ys = F64[op](xs)
        return np.where(np.isfinite(ys) & (np.abs(xs) < 1e6), np.nextafter(ys, np.inf), ys)

    a = fpscope.audit(off_by_one, op, "f64", sample=300, seed=7, worst=300)
    assert a.inputs == 300 and a.special_mismatches == 0 and a.misrounded > 0
    for x, y, r, e in a.worst:
        if y != r and math.isfinite(r):
            assert e == pytest.approx(mp_error(op, x, y, F64_MODEL), abs=1e-6)
    with pytest.raises(ValueError, match="2\\^64"):
        fpscope.audit(np.exp, "exp", "f64")


def mp_judgement(op, x, y):
    """(correctly rounded, histogram bin (low, high), error) of the finite binary64 answer y at x, from mpmath
    and the rational model of binary64."""
    with mpmath.workprec(2300):
        v = {"sqrt": mpmath.sqrt, "recip": lambda t: 1 / t}.get(op, MP_FUNCTIONS.get(op))(mpmath.mpf(x))
        sign, man, exp, _ = mpmath.mpf(v)._mpf_
    f = Fraction(int(man)) * Fraction(2) ** int(exp) * (-1 if sign else 1)
    error = abs(Fraction(y) - f) / F64_MODEL.quantum(abs(f))
    rounded = F64_MODEL.round(abs(f))
    edges = [Fraction(0), Fraction(1, 2)] + [Fraction(2) ** k for k in range(21)]
    low = max(edge for edge in edges if edge < error) if error else 0
    high = min([edge for edge in edges if edge >= error] or [math.inf]) if error else 0
    correct = rounded is not None and Fraction(y) == rounded * (-1 if sign else 1)
    return correct, (float(low), float(high)), float(error)


TINY = 5e-324


# Results within a hair of a float (a power of two among them, where the binade below has half the
# spacing), where binary64 gives way; answers on either side, errors on the edges of bins.
@pytest.mark.parametrize("op,x,y", [
    ("exp", -2.0 ** -60, 1.0), ("exp", -2.0 ** -60, 1 - 2.0 ** -53), ("exp", 2.0 ** -60, 1 + 2.0 ** -52),
    ("exp", 2.0 ** -60, 1 - 2.0 ** -53), ("exp", -2.0 ** -60, 1 + 2.0 ** -52), ("exp", -2.0 ** -55, 1 - 2.0 ** -52),
    ("exp", -2.0 ** -90, 1 - 2.0 ** -53), ("tanh", -30.0, -1.0), ("tanh", -30.0, -1 + 2.0 ** -53),
    ("tanh", 30.0, 1 + 2.0 ** -52), ("sigmoid", 100.0, 1.0), ("sigmoid", 100.0, 1 - 2.0 ** -53),
    ("softplus", 60.0, 60.0), ("softplus", 60.0, 60.00000000000001), ("softplus", -800.0, TINY),
    ("sin", 1e-300, 1e-300), ("sin", 1e-300, 9.999999999999999e-301), ("log1p", 1e-20, 1e-20),
    ("exp", -1e5, 0.0), ("exp", -1e5, TINY), ("exp", -1e5, -TINY), ("exp", -1e5, 4 * TINY),
    ("log", 1.0, 0.0), ("log", 1.0, TINY), ("exp2", 3.0, 8.0), ("sqrt", 2.25, 1.5), ("sqrt", 2.0, 1.5),
    ("expm1", -50.0, -1.0), ("expm1", -50.0, -1 + 2.0 ** -53), ("cos", 2.0 ** -40, 1.0),
])
def test_binary64_judgements_agree_with_mpmath(op, x, y):
    a = fpscope.audit(lambda v: y, op, "f64", inputs=[x])
    correct, bin_, error = mp_judgement(op, x, y)
    assert (a.correctly_rounded, a.misrounded, a.special_mismatches) == (int(correct), int(not correct), 0)
    assert [(low, high) for low, high, count in a.histogram if count] == [bin_]
    assert a.max_error == pytest.approx(error, abs=1e-6)


@pytest.mark.parametrize("op", sorted(MP_FUNCTIONS) + ["sqrt", "recip"])
def test_binary64_judge_agrees_with_the_directed_rounding_certifier(op):
    # The one-evaluation judge against the certifier it falls back on, on every sign and magnitude and on
    # answers moved by 0 to 3 ulps (the certifier gives up on results within 2^-8192 of a float).
    from fpscope import _certify, _truth
    xs = _audit._sample(400, 21, False)
    with np.errstate(all="ignore"):
        ys = F64[op](xs)
    ys = (ys.view(np.int64) + np.arange(400) % 4 * (np.isfinite(ys) & (ys != 0))).view(np.float64)
    judge = _truth.binary64_judge(op)
    for x, y in zip(xs.tolist(), ys.tolist()):
        try:
            expected = _truth.certified_judgement(op, x, y, False)
        except _certify.CertificationError:
            continue
        got = judge(x, y)
        assert got[:2] == expected[:2] and got.error == pytest.approx(expected.error, rel=1e-9, abs=1e-6), (x, y)
        assert repr(got.expected) == repr(expected.expected), (x, y)


@pytest.mark.parametrize("op,x,y,outcome", [
    ("exp", 1000.0, math.inf, "correct"), ("exp", 1e300, math.inf, "correct"), ("exp", 1000.0, 1.7976931348623157e308, "special"),
    ("exp", -1e300, 0.0, "correct"), ("exp", -1e300, -0.0, "special"), ("exp", -1e300, TINY, "misrounded"),
    ("log", -1.0, math.nan, "correct"), ("log", -1.0, 0.0, "special"), ("log", 0.0, -math.inf, "correct"),
    ("exp", 1.0, math.nan, "special"), ("sin", -0.0, 0.0, "special"), ("tanh", math.inf, 1.0, "correct"),
])
def test_binary64_overflow_underflow_and_specials(op, x, y, outcome):
    # Past MPFR's own exponent range too (e^1e300, e^-1e300): the result is beyond binary64's either way.
    a = fpscope.audit(lambda v: y, op, "f64", inputs=[x])
    assert (a.correctly_rounded, a.misrounded, a.special_mismatches) == (
        outcome == "correct", outcome == "misrounded", outcome == "special")
    if outcome == "misrounded":
        assert a.max_error == 1.0 and a.histogram[2][2] == 1  # 1 - e^-1e300 / 2^-1074 ulp: in (0.5, 1]


def test_binary64_audit_ignores_the_callers_gmpy2_context():
    import gmpy2
    args = dict(sample=2000, seed=5, worst=50)
    expected = repr(fpscope.audit(np.exp, "exp", "f64", **args))
    with gmpy2.context(precision=20, round=gmpy2.RoundUp, emax=200, emin=-200,
                       trap_inexact=True, trap_overflow=True):
        assert repr(fpscope.audit(np.exp, "exp", "f64", **args)) == expected


def twice_rounded_divide(xs, ds):
    """x * (1/d): two roundings, wrong by up to about an ulp."""
    with np.errstate(all="ignore"):
        return xs * (np.ones_like(ds) / ds)


def exact_error(x, d, y, fmt):
    q = Fraction(x) / Fraction(d)
    return float(abs(Fraction(y) - q) / fmt.quantum(abs(q)))


@pytest.mark.parametrize("dtype,fmt", [("f32", F32), ("f64", F64_MODEL)])
def test_quotients_are_audited_against_the_exact_quotient(dtype, fmt):
    exact = fpscope.audit(np.divide, "div", dtype, sample=20_000, seed=3)
    assert exact.inputs == 20_000 and exact.misrounded == exact.special_mismatches == 0
    a = fpscope.audit(twice_rounded_divide, "div", dtype, sample=20_000, seed=3, worst=50)
    assert a.misrounded > 0 and a.max_error_x == a.worst[0][0]
    for (x, d), y, r, e in a.worst:
        if math.isfinite(y) and y != r:
            assert e == pytest.approx(exact_error(x, d, y, fmt), abs=1e-6)
            assert r == float(fmt.round(abs(Fraction(x) / Fraction(d)))) * math.copysign(1, x) * math.copysign(1, d)


@pytest.mark.parametrize("dtype", ["f32", "f64"])
def test_quotient_specials_follow_ieee(dtype):
    pairs = [(0.0, 0.0), (1.0, 0.0), (1.0, -0.0), (-0.0, 2.0), (np.inf, np.inf), (np.inf, -2.0), (3.0, np.inf),
             (np.nan, 1.0)]
    assert fpscope.audit(np.divide, "div", dtype, inputs=pairs).correctly_rounded == 7
    # A divide that loses the sign of zero and answers 0/0 with 0.
    a = fpscope.audit(lambda xs, ds: np.nan_to_num(np.abs(np.divide(xs, ds))), "div", dtype, inputs=pairs, worst=8)
    assert a.inputs == 7 and a.special_mismatches == 6 and a.correctly_rounded == 1
    assert [x for x, _, _ in a.special_examples][:3] == [(0.0, 0.0), (1.0, 0.0), (1.0, -0.0)]


def test_quotients_rank_ties_on_x_then_y_on_every_path():
    # Exact quotients only (errors all 0): the list keeps the lowest x, then the lowest divisor.
    pairs = [(x, d) for x in (4.0, -8.0, 2.0) for d in (2.0, -1.0, 0.5, -4.0)][::-1]
    current = _core._scan_path()
    try:
        for path in ["scalar"] + vector_paths():
            _core._scan_path(path)
            a = fpscope.audit(np.divide, "div", inputs=pairs, worst=3)
            assert [w[0] for w in a.worst] == [(-8.0, -4.0), (-8.0, -1.0), (-8.0, 0.5)]
            assert a.histogram[0][2] == len(pairs)  # exactly 0: each quotient is a float
            assert repr(fpscope.audit(twice_rounded_divide, "div", sample=5000, seed=9, worst=20)) == \
                repr(fpscope.audit(twice_rounded_divide, "div", sample=5000, seed=9, worst=20, workers=2))
    finally:
        _core._scan_path(current)


@pytest.mark.parametrize("op", sorted(MP_FUNCTIONS))
def test_binary64_reports_agree_with_mpmath(op):
    # Every sign and magnitude: results beyond the range and below the smallest subnormal among them.
    xs = _audit._sample(40, 11, False).tolist() + [0.5, -0.5, 3.0, 1e-300, -40.0, 700.0, -745.0, 1000.0]
    for x in xs:
        try:
            expected = mp_f32_report(op, x, bits=1200, fmt=F64_MODEL)
        except Undecided:
            continue
        got = fpscope.report(op, x, "f64")
        if expected is None:
            assert got is None, x
        else:
            assert got is not None and (got.rounded, got.exact_above, got.exact) == (expected[0], expected[2], False), x
            assert got.distance_ulp == pytest.approx(expected[1], abs=1e-12, rel=1e-9), x


@pytest.mark.parametrize("op,x,expected", [
    ("log", 1.0, (0.0, 0.5, False, True)), ("exp2", -1074.0, (5e-324, 0.5, False, True)),
    ("log10", 1e22, (22.0, 0.5, False, True)), ("log2", 2.0 ** -1074, (-1074.0, 0.5, False, True)),
    ("exp", -1e300, (0.0, 0.5, True, False)), ("log", -1.0, None), ("log", 0.0, None), ("exp", 1e300, None),
    ("exp", math.nan, None),
])
def test_binary64_reports_at_exact_points_and_past_the_range(op, x, expected):
    assert (None if (r := fpscope.report(op, x, "f64")) is None else tuple(r)) == expected


def test_binary64_reports_keep_the_cores_refusals():
    with pytest.raises(ValueError, match="no exact f64 oracle"):
        fpscope.report("exp", 1.0, "f64", certified=False)
    with pytest.raises(TypeError, match="must be real number"):
        fpscope.report("exp", "1.0", "f64")
    assert fpscope.report("sqrt", 2.0, "f64") == fpscope.report("sqrt", 2.0, "f64", certified=False)


def test_knife_edges_are_audited():
    a = fpscope.audit(math.log, "log", lo=1.0, hi=1.5, inputs="knife-edges", tol_ulp=1e-7)
    assert a.inputs == len(fpscope.knife_edges("log", 1.0, 1.5, 1e-7, limit=10_000).hits) > 0


def raising(xs):
    raise RuntimeError("boom")


def wrong_length(xs):
    return xs[:-1]


def zeros(xs):
    return np.zeros_like(xs)


def test_audit_command_prints_strict_json(capsys):
    from fpscope import _audit_cli
    assert _audit_cli.main(["log", "test_audit:zeros", "-2", "-1.999999", "--json"]) == 0
    out = capsys.readouterr().out

    def refuse(constant):
        raise AssertionError(f"not strict JSON: {constant}")

    data = json.loads(out, parse_constant=refuse)
    assert list(data) == list(_audit.Audit.__dataclass_fields__)
    assert data["special_mismatches"] == data["inputs"] > 0 and data["special_examples"][0][2] == "nan"
    assert data["histogram"][-1][:2] == [1048576.0, "inf"]


@pytest.mark.parametrize("suffix,magic", [(".png", b"\x89PNG"), (".SVG", b"<svg")])
def test_audit_command_plots_png_and_svg(suffix, magic, tmp_path, capsys):
    pytest.importorskip("matplotlib")
    from fpscope import _audit_cli
    path = tmp_path / f"exp{suffix}"
    assert _audit_cli.main(["exp", "numpy", "0x1p-3", "2", "--plot", str(path)]) == 0
    assert magic in path.read_bytes()[:400] and "misrounded" in capsys.readouterr().out


@pytest.mark.parametrize("plot,missing,needle", [
    ("out.pdf", False, "PNG or SVG"), ("out.png", True, "pip install 'fpscope[plot]'"),
    ("/no/such/dir/out.png", False, "No such file"),
])
def test_audit_command_refuses_plots_it_cannot_write(plot, missing, needle, capsys, monkeypatch):
    from fpscope import _audit_cli
    if missing:
        real = _audit_cli.importlib.import_module
        monkeypatch.setattr(_audit_cli.importlib, "import_module", lambda name: (
            (_ for _ in ()).throw(ImportError(name)) if name.startswith("matplotlib") else real(name)))
    elif "dir" in plot:
        pytest.importorskip("matplotlib")
    assert _audit_cli.main(["exp", "numpy", "1", "2", "--plot", plot]) == 2
    err = capsys.readouterr().err
    assert needle in err and err.count("\n") == 1


@pytest.mark.parametrize("argv,status,needle", [
    (["exp", "numpy", "1", "2"], 0, "misrounded"),
    (["log", "libm", "1", "0x1.2p+0", "--json"], 0, '"op": "log"'),
    (["sigmoid", "numpy"], 2, "numpy has no sigmoid"),
    (["rsqrt", "libm"], 2, "libm has no rsqrt"),
    (["exp", "nonsense"], 2, "bad IMPL"),
    (["exp", "/no/such/lib.so:expf", "1", "2"], 2, "cannot open shared library"),
    (["exp", "libm.so.6:nothing", "1", "2"], 2, "no symbol"),
    (["exp", "test_audit:raising", "1", "2"], 2, "failed: RuntimeError: boom"),
    (["exp", "test_audit:wrong_length", "1", "2"], 2, "fpscope audit: error:"),
    (["exp", "no_such_module:f", "1", "2"], 2, "cannot import"),
    (["exp", "numpy", "1"], 2, "both LO and HI"),
    (["exp", "numpy", "2", "1"], 2, "reversed range"),
    (["div", "numpy", "--sample", "300"], 0, "0 (exact)"),
    (["div", "numpy", "1", "2"], 2, "pairs"),
])
def test_audit_command_answers_in_one_line_or_a_summary(argv, status, needle, capsys):
    from fpscope.cli import main
    assert main(["audit", *argv]) == status
    out, err = capsys.readouterr()
    assert needle in (out if status == 0 else err) and "Traceback" not in out + err
    assert status == 0 or err.count("\n") == 1
    if "--json" in argv:
        json.loads(out, parse_constant=lambda name: pytest.fail(f"not strict JSON: {name}"))
