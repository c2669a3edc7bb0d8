"""Certified answers in binary16 and bfloat16: every question over all 65,536 inputs at once.

Truth is the exact result rounded to nearest, ties to even, in the 16-bit format (its subnormals and
its overflow threshold), never the binary32 result rounded again. It comes from the same two steps
as binary32's: the core's binary64 value of the operation for every input in one native call, judged
against the 16-bit format in numpy; and MPFR for the inputs where that judgement could be wrong.

Why the binary64 value decides the rest. Every 16-bit value is a binary32 value, so the core's
binary64 evaluation applies as for binary32: its error is a few binary64 ulps, a relative 2^-50 or so,
and ``_RELATIVE`` (2^-40) is a thousand times that. A report stands when the binary64 value v lies
more than ``_RELATIVE * |v|`` from the float it rounds to (then the exact value lies on the same side
of it) and at least ``NEAR_MIDPOINT`` of a 16-bit spacing from the midpoint (about 2^-5 of a spacing
more than v's error: the rounded value cannot change, and the distance is off by 2^-29 ulp at most).
MPFR decides the others: near a midpoint, a claim of exactness (v equal to a float) and no report
where the input is finite. The exact points of fpscope._certify (where the result is dyadic) are
computed exactly before any of this. Close to zero, where results lie closer to a float than the
binary64 value can tell (sin x next to x, exp x next to 1), a few terms of the Taylor series stand
in for MPFR wherever their error bound leaves one answer: tens of thousands of bfloat16 inputs.

sqrt and recip go the same way: their binary64 values are correctly rounded, so their error is half a
binary64 ulp; MPFR's square root and quotient are correctly rounded in each direction too, and
equal directed roundings mean an exact result.
"""
from __future__ import annotations

import math
from fractions import Fraction
from typing import Any, Callable, Optional

import gmpy2  # type: ignore[import-untyped]

from fpscope import _certify, _core
from fpscope._certify import (_OVERFLOWS, _UNDERFLOWED, _UNDERFLOWS, NEAR_MIDPOINT, PRECISIONS, CertificationError, _bounds, _clamped, _exact_context,
                              _fraction, _in_own_context, canonical_op, exact_point, report_of_value)
from fpscope._fenv import default_float_environment
from fpscope._floats import BinaryFormat
from fpscope._formats import BF16, F16, Format
from fpscope._results import Midpoint

_RELATIVE = 2.0 ** -40

# The rational model, and the MPFR context that rounds to the format (subnormals and overflow included;
# MPFR's emin is the exponent of the smallest subnormal plus one, its emax that of the largest float plus one).
MODELS = {F16: BinaryFormat(11, -14, 15), BF16: BinaryFormat(8, -126, 127)}
_ROUNDING = {fmt: gmpy2.context(precision=fmt.precision, emin=fmt._qmin + 1, emax=fmt.emax + 1, subnormalize=True)
             for fmt in MODELS}


def is_small(fmt: Format) -> bool:
    return fmt in MODELS


def _overflow(fmt: Format) -> Fraction:
    """The magnitude from which the format rounds to infinity: the largest float plus half its spacing."""
    return Fraction(2) ** (fmt.emax + 1) - Fraction(2) ** (fmt.emax - fmt.precision)


def _decide(fmt: Format, lo: Any, hi: Any, precision: int) -> Optional[Midpoint]:
    """The report for a non-dyadic v with lo < v < hi in the format, or None when the interval does
    not decide it (the rounded value, the side, or the distance to 1e-12 ulp or a relative 1e-9)."""
    if lo < 0 < hi:
        return None
    negative = hi <= 0
    exact = _exact_context(precision)
    a, b = (exact.minus(hi), exact.minus(lo)) if negative else (lo, hi)
    rounding = _ROUNDING[fmt]
    r = rounding.plus(a)
    if r != rounding.plus(b):
        return None
    if gmpy2.is_infinite(r):
        return Midpoint(math.inf, 0.0, False, False)
    if a >= r:
        above = True
    elif b <= r:
        above = False
    else:
        return None
    rounded = float(r)
    n = fmt.next_up(rounded) if above else fmt.next_down(rounded)
    if math.isinf(n):
        n = 2 * rounded - fmt.next_down(rounded)
    gap = abs(n - rounded)
    midpoint = exact.div(exact.add(gmpy2.mpfr(rounded, 53), gmpy2.mpfr(n, 53)), 2)

    def distance(end: Any) -> Any:
        return gmpy2.mpfr(0.5) if end == r else exact.div(abs(exact.sub(end, midpoint)), gap)

    da, db = distance(a), distance(b)
    low, high = min(da, db), max(da, db)
    if high - low > max(1e-12 if low >= 1e-5 else 0.0, low * 1e-9):
        return None
    return Midpoint(-rounded if negative else rounded, float((low + high) / 2), above != negative, False)


_MPFR_EXACT = {"sqrt": "sqrt"}


@_in_own_context
def _beside_float(op: str, x: float, r: float, gap_up: float, gap_down: float) -> Optional[Midpoint]:
    """The report of a non-dyadic result whose binary64 value lies on, or within its error of, the
    float ``r`` (so ``r`` is the rounded value): only the side is unknown, and MPFR at 128 bits settles it
    when its interval does not contain ``r``. None when it does not (the caller asks `certified`)."""
    xm = gmpy2.mpfr(x, 64)
    # The result of a tiny input differs from r by a relative x^2 or so: down to 2^-266 in bfloat16.
    for precision in (128, 320, 640):
        lo, hi = _bounds(op, xm, precision)
        if gmpy2.is_nan(lo) or gmpy2.is_nan(hi):
            return None
        if lo > r or hi < r:
            break
    else:
        return None
    above = lo > r
    exact = _exact_context(precision)
    # Away from r in magnitude the gap is the one above |r|, towards zero the one below.
    gap = gap_up if above == (r >= 0) else gap_down
    d = float(exact.div(abs(exact.sub(exact.div(exact.add(lo, hi), 2), r)), gap))
    if not d < 0.25:
        return None
    return Midpoint(r, 0.5 - d, above, False)


@_in_own_context
def certified(fmt: Format, op: str, x: float) -> Optional[Midpoint]:
    """The certified report of ``op`` (canonical name, not div) at the value ``x`` of the 16-bit
    format ``fmt``, from exact arithmetic and MPFR alone."""
    model = MODELS[fmt]
    if math.isnan(x):
        return None
    if op == "recip":
        if x == 0 or math.isinf(x):
            return None if x == 0 else report_of_value(Fraction(0), model, x < 0)
        return report_of_value(1 / Fraction(x), model)
    point = exact_point(op, x)
    if point is not None:
        return report_of_value(point[0], model, point[1])
    if op == "sqrt" and (x < 0 or math.isinf(x)):
        return None  # outside the domain, or an infinite root
    xm = gmpy2.mpfr(x, 64)
    limit = gmpy2.mpfr(_overflow(fmt))
    for precision in PRECISIONS:
        if op == "sqrt":
            down, up = gmpy2.context(precision=precision, round=gmpy2.RoundDown), \
                gmpy2.context(precision=precision, round=gmpy2.RoundUp)
            lo, hi = down.sqrt(xm), up.sqrt(xm)
        else:
            lo, hi = _bounds(op, xm, precision)
        if gmpy2.is_nan(lo) or gmpy2.is_nan(hi):
            return None
        if lo >= limit or hi <= -limit:
            return None
        if lo == hi:
            return report_of_value(_fraction(lo), model, gmpy2.is_zero(lo) and gmpy2.is_signed(lo))
        decided = _decide(fmt, _clamped(lo, False), _clamped(hi, True), precision)
        if decided is not None:
            return None if math.isinf(decided.rounded) else decided
    raise CertificationError(f"{op}({x!r}) could not be decided with {PRECISIONS[-1]} bits")


def all_inputs(fmt: Format) -> Any:
    """Every value of the format but the NaNs, as float64, ascending (-0.0 just before +0.0)."""
    import numpy as np

    top = fmt._inf  # ordered value of +inf
    ordered = np.arange(-top, top + 1, dtype=np.int64)
    patterns = np.where(ordered < 0, fmt._sign | -ordered, ordered)
    patterns = np.insert(patterns, top, fmt._sign)  # -0.0 before +0.0
    return values_of(fmt, patterns)


def values_of(fmt: Format, patterns: Any) -> Any:
    """The float64 values of an integer array of the format's bit patterns (NaNs quiet, payload dropped)."""
    import numpy as np

    p = np.asarray(patterns, dtype=np.int64)
    mag = p & fmt._magnitude
    field = mag >> (fmt.precision - 1)
    significand = np.where(field > 0, (mag & fmt._fraction) | (1 << (fmt.precision - 1)), mag & fmt._fraction)
    v = np.ldexp(significand.astype(np.float64), (np.maximum(field, 1) - 1 + fmt._qmin).astype(np.int32))
    v = np.where(mag == fmt._inf, np.inf, v)
    v = np.where(mag > fmt._inf, np.nan, v)
    return np.where(p & fmt._sign, -v, v)


# Far out, a result lies within a relative 2^-70 of its limit (-1, 1, or x for softplus), from a
# known side: 1 - tanh(x) < 2e^(-2x), 1 - sigmoid(x) < e^-x, expm1(x) + 1 = e^x, softplus(x) - x <
# e^-x. The distance is then 0.5 to within 2^-58 of a 16-bit spacing, 0.5 once rounded to binary64:
# MPFR would need thousands of bits to say the same. (op: (bound on |x|, for positive x))
_SATURATES = {"tanh": (30.0, True), "sigmoid": (50.0, True), "expm1": (60.0, False), "softplus": (60.0, True)}
_SATURATES_NEGATIVE = {"tanh": 30.0}


# Near zero these results lie within a relative 2^-40 of the float r they round to (x itself, 1 or 1/2),
# closer than the binary64 value's error: a few terms of the Taylor series give f(x) - r instead. For
# |x| up to the bound the terms left out are below a relative 2^-60 of it, and its evaluation in
# binary64 errs by a few ulps (x**2 and x**3 of a 16-bit x are exact); _NEAR_ERROR bounds the two with
# room. (op: (r, bound on |x|, f(x) - r))
_LN2 = math.log(2.0)
_NEAR_ERROR = 2.0 ** -45
_NEAR_ZERO: dict[str, tuple[Optional[float], float, Callable[[Any], Any]]] = {
    "sin": (None, 2.0 ** -15, lambda x: x ** 3 * (-1 / 6 + x * x / 120)),
    "tan": (None, 2.0 ** -15, lambda x: x ** 3 * (1 / 3 + x * x * (2 / 15))),
    "atan": (None, 2.0 ** -15, lambda x: x ** 3 * (-1 / 3 + x * x / 5)),
    "tanh": (None, 2.0 ** -15, lambda x: x ** 3 * (-1 / 3 + x * x * (2 / 15))),
    "expm1": (None, 2.0 ** -20, lambda x: x * x * (0.5 + x * (1 / 6 + x / 24))),
    "log1p": (None, 2.0 ** -20, lambda x: x * x * (-0.5 + x * (1 / 3 - x / 4))),
    "exp": (1.0, 2.0 ** -20, lambda x: x * (1 + x * (0.5 + x / 6))),
    "exp2": (1.0, 2.0 ** -20, lambda y: (y * _LN2) * (1 + (y * _LN2) * (0.5 + (y * _LN2) / 6))),
    "cos": (1.0, 2.0 ** -15, lambda x: x * x * (-0.5 + x * x / 24)),
    "sigmoid": (0.5, 2.0 ** -15, lambda x: x * (0.25 + x * x * (-1 / 48 + x * x / 480))),
}


def _near_zero(op: str, xs: Any, candidates: Any, rounded: Any, gap_up: Any, gap_down: Any) -> tuple[Any, Any, Any]:
    """The reports that MPFR would give (`_beside_float`) at the inputs ``xs[candidates]`` whose result
    lies beside its rounded float close to zero: the indices it decides, their distances and sides.
    An input is decided where its value rounds to the limit and the error bound on f(x) - r cannot
    move the distance's rounding, 0.5 - d in binary64 (that is nearly all of them)."""
    import numpy as np

    limit, bound, deviation = _NEAR_ZERO[op]
    x = xs[candidates]
    r = x if limit is None else np.full(x.size, limit)
    keep = (x != 0) & (np.abs(x) <= bound) & (rounded[candidates] == r)
    i, x, r = candidates[keep], x[keep], r[keep]
    dev = deviation(x)
    above = dev > 0
    # Away from zero the gap above |r| measures the distance, towards zero the one below.
    gap = np.where(above == (r > 0), gap_up[i], gap_down[i])
    # MPFR's distance is 0.5 - d in binary64 for a d within the bounds: where both ends give one
    # distance, so does MPFR. Past a quarter of a gap it does not answer (nor does this).
    low = 0.5 - np.abs(dev) * (1 + _NEAR_ERROR) / gap
    high = 0.5 - np.abs(dev) * (1 - _NEAR_ERROR) / gap
    sure = (low == high) & (low > 0.25)
    return i[sure], low[sure], above[sure]


def _saturated(op: str, x: float) -> Midpoint:
    if op == "softplus":
        return Midpoint(x, 0.5, True, False)
    limit = math.copysign(1.0, x)
    return Midpoint(limit, 0.5, limit < 0, False)


@default_float_environment
def reports(fmt: Format, op: str, xs: Any) -> tuple[Any, Any, Any, Any, Any]:
    """Certified reports of ``op`` (canonical name, not div) at every value of the float64 array
    ``xs`` (values of ``fmt``): arrays (valid, rounded, distance, exact_above, exact), ``valid`` false
    where there is no report (NaN input or result, infinite result, outside the domain)."""
    import numpy as np

    xs = np.ascontiguousarray(xs, dtype=np.float64)
    n = xs.size
    v = np.empty(n, dtype=np.float64)
    _core._evaluate_f64(op, xs.ctypes.data, v.ctypes.data, n)
    with np.errstate(all="ignore"):
        patterns = fmt._round_float64(v).astype(np.int64)
        rounded = values_of(fmt, patterns)
        magnitude = np.abs(rounded)
        up = values_of(fmt, (patterns & fmt._magnitude) + 1)  # the next float in magnitude
        # Past the largest float its spacing continues; below a power of two the spacing may halve.
        down_pattern = np.maximum((patterns & fmt._magnitude) - 1, 0)
        down = values_of(fmt, down_pattern)
        av = np.abs(v)
        above = av > magnitude
        top = (patterns & fmt._magnitude) == fmt._inf - 1
        gap_up = np.where(top, magnitude - down, up - magnitude)
        gap_down = np.where(magnitude == 0, values_of(fmt, np.ones(1, dtype=np.int64))[0], magnitude - down)
        gap = np.where(above, gap_up, gap_down)
        distance = np.abs(np.abs(av - magnitude) / gap - 0.5)
        exact = av == magnitude
        distance = np.where(exact, 0.5, distance)
        finite_v = np.isfinite(v) & (np.abs(rounded) < np.inf)
        valid = finite_v & ~np.isnan(xs)
        undecided = ~exact & ((distance < NEAR_MIDPOINT) | (np.abs(av - magnitude) <= _RELATIVE * av))
        # No report for a finite input, or a claim of exactness: MPFR. A binary64 value past twice the
        # overflow threshold is infinite in the format whatever its error.
        unsure = np.isfinite(xs) & ~np.isnan(v) & ~valid & ~(av >= 2 * float(_overflow(fmt)))
        undecided |= exact & valid
        undecided |= unsure
        side = np.where(np.signbit(v), ~above, above)
        valid = valid.copy()
        if op in _NEAR_ZERO:
            beside = np.flatnonzero(undecided & valid & ~(distance < NEAR_MIDPOINT))
            near, near_distance, near_side = _near_zero(op, xs, beside, rounded, gap_up, gap_down)
            distance[near], side[near], exact[near] = near_distance, near_side, False
            undecided[near] = False
    for i in np.flatnonzero(undecided).tolist():
        x = float(xs[i])
        decided = None
        if -math.inf < x <= _UNDERFLOWS.get(op, -math.inf):
            decided = _UNDERFLOWED
        elif math.isfinite(x) and op in _SATURATES and abs(x) >= _SATURATES[op][0] \
                and ((x > 0) == _SATURATES[op][1] or op in _SATURATES_NEGATIVE):
            decided = _saturated(op, x)
        elif math.inf > x >= _OVERFLOWS.get(op, math.inf):
            valid[i] = False
            continue
        elif valid[i] and not distance[i] < NEAR_MIDPOINT and op not in ("sqrt", "recip") \
                and exact_point(op, x) is None:
            decided = _beside_float(op, x, float(rounded[i]), float(gap_up[i]), float(gap_down[i]))
        if decided is None:
            decided = certified(fmt, op, x)
        if decided is None:
            valid[i] = False
            continue
        valid[i] = True
        rounded[i], distance[i], side[i], exact[i] = decided
    distance = np.where(exact, 0.5, distance)
    return valid, rounded, distance, side, exact


def report(fmt: Format, op: str, x: Any, y: Any = None) -> Optional[Midpoint]:
    """The certified report of ``op(x)`` (``x / y`` for div) in the 16-bit format, its arguments
    rounded to the format first; the core's rules for when there is none."""
    import numpy as np

    name = canonical_op(op)
    a = fmt.round_to(x)
    if name == "div":
        b = fmt.round_to(y)
        if not (a > 0 and b > 0 and math.isfinite(a) and math.isfinite(b)):
            return None
        return report_of_value(Fraction(a) / Fraction(b), MODELS[fmt])
    valid, rounded, distance, side, exact = reports(fmt, name, np.array([a]))
    if not valid[0]:
        return None
    return Midpoint(float(rounded[0]), float(distance[0]), bool(side[0]), bool(exact[0]))


def _inputs(fmt: Format, start: int, step: int, count: int) -> Any:
    """The float64 values of the inputs of ordered values start, start + step, ... (count of them)."""
    import numpy as np

    k = start + step * np.arange(count, dtype=np.int64)
    return values_of(fmt, np.where(k < 0, fmt._sign | -k, k))


def scan(fmt: Format, op: str, lo: float, hi: float, tol: float, limit: int, step: int,
         max_evals: int) -> tuple[list[tuple[float, float, float, bool]], int, bool]:
    """The certified knife-edge scan of ``op`` (canonical name, not div) over the 16-bit inputs in
    [lo, hi], bounds rounded to the format first: hits, evaluated, covered under the stopping
    rules of ``knife_edges_raw`` (``step`` already 1 for a stride of 0). One call to `reports`
    judges every input the budget allows; the limit then cuts the walk at its last hit."""
    import numpy as np

    low, high = fmt.round_to(lo), fmt.round_to(hi)
    if not low <= high:  # NaN at either end too
        return [], 0, True
    start = fmt.ordered(low)
    inputs = (fmt.ordered(high) - start) // step + 1
    if limit == 0 or max_evals == 0:
        return [], 0, False
    budget = min(inputs, max_evals)
    xs = _inputs(fmt, start, step, budget)
    valid, rounded, distance, side, exact = reports(fmt, op, xs)
    found = np.flatnonzero(valid & ~exact & (distance < tol))
    if found.size >= limit:
        found = found[:limit]
        evaluated = int(found[-1]) + 1
    else:
        evaluated = budget
    hits = [(float(xs[i]), float(rounded[i]), float(distance[i]), bool(side[i])) for i in found.tolist()]
    return hits, evaluated, evaluated == inputs


def worst(fmt: Format, op: str, lo: float, hi: float, top: int) -> tuple[float, float, int, list[tuple[float, float, float, bool]]]:
    """The ``top`` inputs of [lo, hi] (rounded to the format) with an inexact, finite result
    closest to a midpoint, ranked by distance, ties by ascending x: (lo, hi, evaluated, rows)."""
    import numpy as np

    low, high = fmt.round_to(lo), fmt.round_to(hi)
    if not low <= high:
        return low, high, 0, []
    start = fmt.ordered(low)
    xs = _inputs(fmt, start, 1, fmt.ordered(high) - start + 1)
    valid, rounded, distance, side, exact = reports(fmt, op, xs)
    candidates = np.flatnonzero(valid & ~exact)
    order = candidates[np.argsort(distance[candidates], kind="stable")[:top]]
    rows = [(float(xs[i]), float(rounded[i]), float(distance[i]), bool(side[i])) for i in order.tolist()]
    return low, high, int(xs.size), rows


_certify.SIXTEEN_BIT_REPORT[:] = [report]
