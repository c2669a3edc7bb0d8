"""Certified judgements of single answers, for the inputs an audit's binary64 judgement leaves open.

The core judges an implementation's answer y at x from the binary64 value of the operation and
leaves an input undecided only where an error of ``MARGIN`` binary32 ulps could change the outcome:
the exact result near a midpoint (the correct rounding), near the overflow threshold, or near a float
without a known side (the bin of the error, and its binade when that float is a power of two).
:func:`certified_judgement` decides those with MPFR, bounding the exact result between its roundings
toward -inf and +inf at growing precision until every part of the answer is settled. It runs in a
gmpy2 context of its own: whatever context the caller set never changes an answer.

Outside the exact points (see ``fpscope._certify``) the exact result is not dyadic: it never equals
a float, a midpoint or an end of its bracket, so each decision is reached at some precision.
"""
from __future__ import annotations

import math
from fractions import Fraction
from typing import Any, NamedTuple, Optional

import gmpy2  # type: ignore[import-untyped]  # no type information is published for it

from fpscope import _certify
from fpscope._certify import CertificationError
from fpscope._floats import F32, F64, BinaryFormat as _Format, pow2

ERROR_BINS = 24
# The error of an undecided bound: the reported error is within this of the exact one.
ERROR_WIDTH = 1e-7
PRECISIONS = (64, 128, 256, 512, 1024, 2048, 4096, 8192)

CORRECT, MISROUNDED, SPECIAL = "correct", "misrounded", "special"


class Judgement(NamedTuple):
    outcome: str  # CORRECT, MISROUNDED or SPECIAL
    bin: int  # histogram bin (CORRECT and MISROUNDED)
    error: float  # ulps (CORRECT and MISROUNDED)
    expected: float  # the correctly rounded value; NaN where the result is undefined


def error_bin(e: Fraction) -> int:
    """The bin of an exact error e >= 0: 0 only for 0, then (0, 0.5], (0.5, 1], (1, 2], ... (2^19, 2^20],
    beyond."""
    if e == 0:
        return 0
    if e <= Fraction(1, 2):
        return 1
    if e > 2 ** 20:
        return ERROR_BINS - 1
    k = 0  # smallest k with e <= 2^k
    while e > Fraction(2) ** k:
        k += 1
    return 2 + k


def bin_edges(index: int) -> tuple[float, float]:
    if index == 0:
        return 0.0, 0.0
    if index == ERROR_BINS - 1:
        return float(2 ** 20), math.inf
    return (0.0 if index == 1 else 2.0 ** (index - 3)), 2.0 ** (index - 2)


def _ulp(fmt: _Format, magnitude: Fraction) -> Fraction:
    if magnitude == 0:
        return pow2(fmt.min_exponent - fmt.precision + 1)
    return fmt.quantum(magnitude)


def _signed_round(fmt: _Format, v: Fraction, negative: bool) -> float:
    r = fmt.round(abs(v))
    if r is None:
        return -math.inf if negative else math.inf
    return -float(r) if negative else float(r)


def _judge_special(y: float, r: float) -> Optional[Judgement]:
    """The special mismatches against a correct rounding r, or the correct infinity; None otherwise."""
    if math.isnan(y):
        return Judgement(SPECIAL, 0, 0.0, r)
    if math.isinf(r) or math.isinf(y):
        if y == r:
            return Judgement(CORRECT, 0, 0.0, r)
        return Judgement(SPECIAL, 0, 0.0, r)
    if y == 0 and r == 0 and math.copysign(1, y) != math.copysign(1, r):
        return Judgement(SPECIAL, 0, 0.0, r)
    return None


def judge_exact(fmt: _Format, v: Fraction, negative_zero: bool, y: float) -> Judgement:
    """y against the exactly known finite result v (a zero's sign given by ``negative_zero``)."""
    negative = v < 0 or (v == 0 and negative_zero)
    r = _signed_round(fmt, v, negative)
    if r == 0:
        r = -0.0 if negative else 0.0
    special = _judge_special(y, r)
    if special is not None:
        return special
    outcome = CORRECT if y == r else MISROUNDED
    e = abs(Fraction(y) - v) / _ulp(fmt, abs(v))
    return Judgement(outcome, error_bin(e), float(e), r)


def _infinite(negative: bool, y: float) -> Judgement:
    r = -math.inf if negative else math.inf
    return Judgement(CORRECT, 0, 0.0, r) if y == r else Judgement(SPECIAL, 0, 0.0, r)


def _mpfr_bounds(op: str, xm: Any, precision: int) -> tuple[Any, Any]:
    if op == "sqrt":
        down, up = _certify._contexts(precision)
        return down.sqrt(xm), up.sqrt(xm)
    if op == "recip":
        down, up = _certify._contexts(precision)
        return down.div(1, xm), up.div(1, xm)
    return _certify._bounds(op, xm, precision)


def _overflow(fmt: _Format) -> Fraction:
    top = pow2(fmt.max_exponent + 1)
    return top - pow2(fmt.max_exponent - fmt.precision)


def _decide(fmt: _Format, lo: Fraction, hi: Fraction, y: float) -> Optional[Judgement]:
    """The judgement when every v in (lo, hi) gives the same one (lo < hi, same sign); else None."""
    negative = hi <= 0
    r_lo, r_hi = _signed_round(fmt, lo, negative), _signed_round(fmt, hi, negative)
    if r_lo != r_hi:
        return None
    r = r_lo if r_lo != 0 else (-0.0 if negative else 0.0)
    special = _judge_special(y, r)
    if special is not None:
        return special
    yq = Fraction(y)
    if lo <= yq <= hi:
        return None
    u_lo, u_hi = _ulp(fmt, abs(lo)), _ulp(fmt, abs(hi))
    if u_lo != u_hi:
        return None  # the bracket straddles a power of two
    e_lo, e_hi = sorted((abs(yq - lo) / u_lo, abs(yq - hi) / u_hi))
    # The exact error lies strictly between the two: a bound on a bin edge stands for its inside.
    low_bin = error_bin(e_lo)
    if e_lo == Fraction(1, 2) or (e_lo >= 1 and e_lo <= 2 ** 20 and e_lo.denominator == 1
                                  and e_lo.numerator & (e_lo.numerator - 1) == 0):
        low_bin += 1  # on a bin's upper edge: the values just above it lie in the next bin
    if low_bin != error_bin(e_hi) or e_hi - e_lo > ERROR_WIDTH:
        return None
    return Judgement(CORRECT if y == r else MISROUNDED, low_bin, float((e_lo + e_hi) / 2), r)


def _clamped_fraction(v: Any, fmt: _Format) -> Fraction:
    """v as a Fraction, moved onto [2^(emin - 2p - 300), 2^(emax + 8)] in magnitude.

    Magnitudes outside carry their answers at a small size: beyond the top every rounding is
    infinite, below the bottom every rounding is zero and the error of an answer against such a
    result differs from the clamped one by less than 2^-250 ulps. MPFR's own range reaches
    2^(+-2^30), whose exact rationals would have a billion bits.
    """
    top, bottom = fmt.max_exponent + 8, fmt.min_exponent - 2 * fmt.precision - 300
    if gmpy2.is_zero(v):
        return Fraction(0)
    if gmpy2.is_infinite(v) or abs(v) > gmpy2.exp2(top):
        return pow2(top) * (1 if v > 0 else -1)
    if abs(v) < gmpy2.exp2(bottom):
        return pow2(bottom) * (1 if v > 0 else -1)
    return Fraction(*(int(n) for n in v.as_integer_ratio()))


def certified_judgement(op: str, x: float, y: float, f32: bool = True) -> Judgement:
    """The certified judgement of the answer y (a value of the format) at the input x (not NaN)."""
    with gmpy2.context(precision=64):
        return _certified(_certify.canonical_op(op), x, y, F32 if f32 else F64)


def _certified(op: str, x: float, y: float, fmt: _Format) -> Judgement:
    if op in _certify.LIBRARY_OPS and fmt is F32:
        point = _certify.exact_point(op, x)
        if point is not None:
            return judge_exact(fmt, point[0], point[1], y)
    xm = gmpy2.mpfr(x, 64)
    overflow = _overflow(fmt)
    for precision in PRECISIONS:
        lo, hi = _mpfr_bounds(op, xm, precision)
        if gmpy2.is_nan(lo) or gmpy2.is_nan(hi):
            nan = math.nan
            return Judgement(CORRECT, 0, 0.0, nan) if math.isnan(y) else Judgement(SPECIAL, 0, 0.0, nan)
        if lo == hi:
            if gmpy2.is_infinite(lo):
                return _infinite(lo < 0, y)
            return judge_exact(fmt, Fraction(*(int(n) for n in lo.as_integer_ratio())), gmpy2.is_signed(lo), y)
        a, b = _clamped_fraction(lo, fmt), _clamped_fraction(hi, fmt)
        if a >= overflow:
            return _infinite(False, y)
        if b <= -overflow:
            return _infinite(True, y)
        # A bound that underflowed MPFR's range is zero; the result itself is not (it would be exact).
        if a == 0 < b:
            a = b
        elif a < 0 == b:
            b = a
        if a < 0 < b:
            continue
        decided = _decide(fmt, a, b, y)
        if decided is not None:
            return decided
    raise CertificationError(f"{op}({x!r}) could not be judged with {PRECISIONS[-1]} bits")
