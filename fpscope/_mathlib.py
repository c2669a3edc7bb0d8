"""Certified answers for the operations only the package names: C's <math.h> functions beyond the core's
catalogue (cbrt, asin, acos, sinh, cosh, asinh, acosh, atanh, exp10, erf, erfc, tgamma, lgamma, sinpi,
cospi, tanpi, log2p1, exp2m1; hypot, atan2 and pow of two arguments) and numpy's names for them.

The core estimates them in binary32 from binary64 (``_core._midpoint``, ``_core._knife_edges``); as for
the older library operations, that judgement stands only where an error of ``MARGIN`` binary32 ulps
cannot change it (see ``fpscope._certify``), and MPFR decides everything else: each result is bounded
between its roundings toward -inf and toward +inf, at precisions doubling until the interval decides
the rounded value, the side and the distance. Binary64 answers have no estimate: MPFR gives them all.

Exactness without a list. Every operation but the pi-scaled ones, log2p1 and exp2m1 is one MPFR
function, correctly rounded in each rounding mode: at precision p its rounding toward -inf is the
largest p-bit number <= v and its rounding toward +inf the smallest p-bit number >= v. The two are
equal exactly when v itself has p bits, which is what MPFR's ternary value of 0 says. So ``lo == hi``
proves the result exact, and ``lo < hi`` proves it is not a p-bit number. A float or a rounding
midpoint of binary32 or binary64 has at most 54 significant bits, fewer than the first precision
(64): a result on a float or a midpoint is therefore found exact at once (cbrt(27), hypot(3, 4),
pow(2, 10), acos(1), lgamma(2), the tie pow(1 + 2^-12, 2)), and an inexact one lies strictly inside
its bracket and off every float and midpoint, where the interval decides it at some precision. The
same holds for bounds that are not one MPFR function, as long as they are bounds: equal bounds are
the value. What MPFR cannot give for the compositions is the proof of exactness, so those use rules:

- sinpi, cospi, tanpi are sin, cos, tan of pi x after an exact reduction of x to (0, 1/2). At a
  dyadic x the value is rational only at the multiples of 1/2 (sin, cos: 0, +-1) and, for tan, of
  1/4 (0, +-1), by Niven's theorem (the rational values of sin and cos at rational multiples of pi
  are 0, +-1/2, +-1, of tan 0 and +-1; +-1/2 needs x = +-1/6 or +-1/3 modulo 1, which no float is).
  Signed zeros: sinpi(n) has the sign of n, cospi(n + 1/2) is +0, tanpi(n) is +0 for even n > 0 and
  -0 for odd n > 0 (the opposite for n < 0); tanpi has poles at the half-integers.
- exp2m1(x) = 2^x - 1 is dyadic only at integer x; log2p1(x) = log2(1 + x) is rational only where
  1 + x is a power of 2 (the argument of ``fpscope._certify`` for exp2 and log2).

Domains follow C's Annex F: no real result (asin(2), acosh(0.5), pow(-8, 1/3)), a pole (atanh(1),
tgamma(-3), lgamma(0), tanpi(0.5), pow(0, -1)) and an infinite result give no report.
"""
from __future__ import annotations

import functools
import math
import sys
from fractions import Fraction
from typing import Any, Optional, SupportsFloat, SupportsIndex, Union

import gmpy2  # type: ignore[import-untyped]  # no type information is published for it

from fpscope import _certify, _truth
from fpscope._certify import canonical_op as canonical_op
from fpscope._certify import is_private_name as is_private_name
from fpscope._certify import (CertificationError, NEAR_FLOAT, NEAR_MIDPOINT, PRECISIONS, _new_tuple,
                              _clamped, _contexts, _decide, _fraction, _in_own_context, _OVERFLOW_F32,
                              report_of_value)
from fpscope._core import _ALIASES, _OPERATIONS, _midpoint, ordered
from fpscope._fenv import default_float_environment
from fpscope._floats import F32, F64, BinaryFormat, from_ordered, is_f32, pow2, to_format
from fpscope._results import Midpoint, RawScan

_FloatLike = Union[SupportsFloat, SupportsIndex]

PRIVATE_OPS = frozenset(name for name, p in _OPERATIONS.items() if not p["public"])
BINARY_OPS = frozenset(name for name, p in _OPERATIONS.items() if p["arity"] == 2)
# For help texts: the operations only the package names, in the core's order, and numpy's names.
UNARY_NAMES = ", ".join(n for n, p in _OPERATIONS.items() if not p["public"] and p["arity"] == 1)
BINARY_NAMES = ", ".join(n for n, p in _OPERATIONS.items() if not p["public"] and p["arity"] == 2)
NUMPY_NAMES = ", ".join(a for a in _ALIASES if a.startswith("arc") or a == "power")


# ---------------------------------------------------------------- exact points by rule

_Point = Optional[tuple[Optional[Fraction], bool]]  # (value or None for no result, negative zero)
_NO_RESULT: _Point = (None, False)


def _pi_point(op: str, x: float) -> _Point:
    """The exact result of a pi-scaled op where it is rational (see the module docstring), ``_NO_RESULT``
    at a pole or a non-finite x, None elsewhere."""
    if not math.isfinite(x):
        return _NO_RESULT
    negative = math.copysign(1.0, x) < 0
    twice = Fraction(x) * 2
    if op == "tanpi":
        four = Fraction(x) * 4
        if four.denominator != 1:
            return None
        k = int(four)
        if k % 4 == 0:  # an integer n = k / 4
            return Fraction(0), negative != ((k // 4) % 2 == 1)
        if k % 2 == 0:
            return _NO_RESULT  # a pole at the half-integers
        r = abs(k) % 4  # |x| modulo 1 is r / 4
        return Fraction(1 if (r == 1) != negative else -1), False
    if twice.denominator != 1:
        return None
    k = int(twice)
    if op == "sinpi":
        if k % 2 == 0:
            return Fraction(0), negative
        return Fraction(1 if ((k - 1) // 2) % 2 == 0 else -1), False  # (-1)^floor(x)
    if k % 2 == 0:  # cospi
        return Fraction(1 if (k // 2) % 2 == 0 else -1), False
    return Fraction(0), False


def exact_point(op: str, x: float) -> _Point:
    """The result of a composed op where its exactness is known by rule; None elsewhere."""
    if op in ("sinpi", "cospi", "tanpi"):
        return _pi_point(op, x)
    if math.isnan(x):
        return _NO_RESULT
    if x == 0 and op in ("exp2m1", "log2p1"):
        return Fraction(0), math.copysign(1.0, x) < 0
    if op == "exp2m1":
        if x == math.inf:
            return _NO_RESULT
        if x == -math.inf:
            return Fraction(-1), False
        # Beyond +-4096 the clamped power gives the same report: infinity, or -1 at distance 0.5.
        return (pow2(max(min(int(x), 4096), -4096)) - 1, False) if x == int(x) else None
    if op == "log2p1":
        if not x > -1 or x == math.inf:
            return _NO_RESULT
        one_plus = Fraction(x) + 1
        n, d = one_plus.numerator, one_plus.denominator
        if n & (n - 1) == 0 and d & (d - 1) == 0:
            return Fraction(n.bit_length() - d.bit_length()), False
    return None


# ---------------------------------------------------------------- MPFR bounds

# Operations that are one correctly rounded MPFR function, by gmpy2 name.
_MPFR = {"cbrt": "cbrt", "asin": "asin", "acos": "acos", "sinh": "sinh", "cosh": "cosh", "asinh": "asinh",
         "acosh": "acosh", "atanh": "atanh", "exp10": "exp10", "erf": "erf", "erfc": "erfc", "tgamma": "gamma",
         "hypot": "hypot", "atan2": "atan2", "pow": "pow"}

# Enough bits for any residue of a binary64 reduced below: its bits lie between 2^1 and 2^-1074.
_REDUCED_PRECISION = 1100


def _reduced(op: str, x: float) -> tuple[int, Fraction, bool]:
    """(sign, r, tangent): op(x) = sign * sin(pi r), or sign * tan(pi r) for tanpi, with r in (0, 1/2)
    exactly, for an x that is not an exact point."""
    sign = -1 if x < 0 else 1
    a = abs(Fraction(x))
    if op == "tanpi":
        r = a % 1
        if r > Fraction(1, 2):
            sign, r = -sign, 1 - r
        return sign, r, True
    r = a % 2
    if op == "cospi":
        sign = 1  # even
        if r >= 1:
            sign, r = -1, r - 1
        r = Fraction(1, 2) - r  # cos(pi r) = sin(pi (1/2 - r))
        if r < 0:
            sign, r = -sign, -r
        return sign, r, False
    if r >= 1:
        sign, r = -sign, r - 1
    return sign, min(r, 1 - r), False


def _pi_bounds(op: str, x: float, precision: int) -> tuple[Any, Any]:
    down, up = _contexts(precision)
    sign, r, tangent = _reduced(op, x)
    rm = gmpy2.mpfr(gmpy2.mpq(r.numerator, r.denominator), _REDUCED_PRECISION)  # exact
    pi_lo, pi_hi = down.const_pi(), up.const_pi()
    t_lo, t_hi = down.mul(pi_lo, rm), up.mul(pi_hi, rm)
    # sin and tan rise on [0, pi/2]; an upper end that may pass pi/2 bounds nothing: no decision yet.
    if t_hi >= down.div(pi_lo, 2):
        return gmpy2.mpfr(-1) if sign < 0 else gmpy2.mpfr(0), gmpy2.mpfr(0) if sign < 0 else gmpy2.mpfr(1)
    fn = "tan" if tangent else "sin"
    lo, hi = getattr(down, fn)(t_lo), getattr(up, fn)(t_hi)
    return (up.minus(hi), down.minus(lo)) if sign < 0 else (lo, hi)


def _bounds(op: str, xm: Any, ym: Any, x: float, precision: int) -> tuple[Any, Any]:
    """lo <= op(x[, y]) <= hi as MPFR numbers of ``precision`` bits (NaN where there is no real result)."""
    down, up = _contexts(precision)
    name = _MPFR.get(op)
    if name is not None:
        args = (xm,) if ym is None else (xm, ym)
        return getattr(down, name)(*args), getattr(up, name)(*args)
    if op == "lgamma":  # (log|gamma(x)|, sign of gamma(x)) in gmpy2
        return down.lgamma(xm)[0], up.lgamma(xm)[0]
    if op in ("sinpi", "cospi", "tanpi"):
        return _pi_bounds(op, x, precision)
    ln2_lo, ln2_hi = down.const_log2(), up.const_log2()
    if op == "exp2m1":  # expm1(x ln 2), rising in its argument
        if xm > 0:
            return down.expm1(down.mul(xm, ln2_lo)), up.expm1(up.mul(xm, ln2_hi))
        return down.expm1(down.mul(xm, ln2_hi)), up.expm1(up.mul(xm, ln2_lo))
    if op == "log2p1":  # log1p(x) / ln 2
        l_lo, l_hi = down.log1p(xm), up.log1p(xm)
        return (down.div(l_lo, ln2_lo if l_lo < 0 else ln2_hi), up.div(l_hi, ln2_hi if l_hi < 0 else ln2_lo))
    raise ValueError(f"no MPFR evaluation for {op!r}")


def _decide_fraction(fmt: BinaryFormat, lo: Fraction, hi: Fraction) -> Optional[Midpoint]:
    """The report of any v with lo < v < hi (same sign, not a float or midpoint), None when the
    interval does not decide it; ``Midpoint(inf, ...)`` when v overflows."""
    if lo < 0 < hi:
        return None
    negative = hi <= 0
    a, b = (-hi, -lo) if negative else (lo, hi)
    ra, rb = fmt.round(a), fmt.round(b)
    if ra is None:
        return Midpoint(math.inf, 0.0, False, False)
    if rb is None or ra != rb:
        return None
    r = ra
    if a >= r:
        above = True
    elif b <= r:
        above = False
    else:
        return None
    gap = fmt.gap(r, above)
    middle = r + gap / 2 if above else r - gap / 2

    def distance(end: Fraction) -> Fraction:
        return Fraction(1, 2) if end == r else abs(end - middle) / gap

    low, high = sorted((distance(a), distance(b)))
    if high - low > max(Fraction(1, 10**12) if low >= Fraction(1, 10**5) else 0, low / 10**9):
        return None
    rounded = float(r)
    return Midpoint(-rounded if negative else rounded, float((low + high) / 2), above != negative, False)


def _clamped_fraction(v: Any, fmt: BinaryFormat) -> Fraction:
    # Magnitudes past 2^(emax + 8) round to infinity, those below 2^(emin - 2p - 300) to zero at a
    # distance of 0.5 to within 2^-250: clamping keeps the rationals small (see fpscope._truth).
    top, bottom = fmt.max_exponent + 8, fmt.min_exponent - 2 * fmt.precision - 300
    if gmpy2.is_zero(v):
        return Fraction(0)
    sign = 1 if v > 0 else -1
    if gmpy2.is_infinite(v) or abs(v) > gmpy2.exp2(top):
        return sign * pow2(top)
    if abs(v) < gmpy2.exp2(bottom):
        return sign * pow2(bottom)
    return _fraction(v)


@_in_own_context
def certified(op: str, x: float, y: Optional[float] = None, f32: bool = True) -> Optional[Midpoint]:
    """The certified report of the private operation ``op`` (canonical name) at x (and y), values of
    the format, from MPFR alone; None where there is no finite result."""
    fmt = F32 if f32 else F64
    if op not in BINARY_OPS:
        point = exact_point(op, x)
        if point is not None:
            return None if point[0] is None else report_of_value(point[0], fmt, point[1])
        if math.isnan(x):
            return None
    xm = gmpy2.mpfr(x, 64)
    ym = None if y is None else gmpy2.mpfr(y, 64)
    for precision in PRECISIONS:
        lo, hi = _bounds(op, xm, ym, x, precision)
        if gmpy2.is_nan(lo) or gmpy2.is_nan(hi):
            return None
        if lo == hi:
            if gmpy2.is_infinite(lo):
                return None
            # A zero result's sign is the one rounded upward: toward -inf MPFR may answer -0 for a zero
            # reached by cancellation.
            return report_of_value(_fraction(lo), fmt, gmpy2.is_zero(lo) and gmpy2.is_signed(hi))
        if f32:
            if lo >= _OVERFLOW_F32 or hi <= -_OVERFLOW_F32:
                return None
            decided = _decide(_clamped(lo, False), _clamped(hi, True), precision)
        else:
            decided = _decide_fraction(fmt, _clamped_fraction(lo, fmt), _clamped_fraction(hi, fmt))
        if decided is not None:
            return None if math.isinf(decided.rounded) else decided
    arguments = f"{x!r}" if y is None else f"{x!r}, {y!r}"
    raise CertificationError(f"{op}({arguments}) could not be decided with {PRECISIONS[-1]} bits")


def report(op: str, x: _FloatLike, dtype: str = "f32", y: Optional[_FloatLike] = None, *,
           certified: bool = True) -> Optional[Midpoint]:
    """The midpoint report of ``op(x)`` (``op(x, y)`` for an operation of two, ``x / y`` for ``div``)
    as a :class:`Midpoint`.

    Certified (the default): the report of the exact mathematical result. The core judges the
    binary32 library operations (all but ``sqrt``, ``recip`` and ``div``) from the platform's binary64
    function; where that judgement could be wrong (close to a midpoint or to a float, claims of
    exactness, no report for a finite input) MPFR decides. A quotient exactly on a midpoint between
    two subnormals, for which the core has no report, is answered as well. ``certified=False``
    gives the core's own answer, exactly ``midpoint(op, x, dtype, y)``. The core has no binary64
    oracle for the library operations (``exp`` and the others but ``sqrt``, ``recip``, ``div``):
    their binary64 reports come from MPFR alone.

    Besides the core's operations, C's <math.h> functions ``cbrt``, ``asin``, ``acos``, ``sinh``,
    ``cosh``, ``asinh``, ``acosh``, ``atanh``, ``exp10``, ``erf``, ``erfc``, ``tgamma``, ``lgamma``,
    ``sinpi``, ``cospi``, ``tanpi``, ``log2p1``, ``exp2m1`` and, with ``y``, ``hypot``, ``atan2``
    (``atan2(x, y)``) and ``pow`` (``pow(x, y)``), under numpy's names as well (``arcsin``,
    ``arctan2``, ``power``, ...). These answer in binary64 too, from MPFR alone (``certified=False``
    is refused there: the core has no binary64 estimate of them).

    >>> report("log", float.fromhex("0x1.2f1fd6p+3")).rounded.hex()
    '0x1.1fcbce0000000p+1'
    >>> report("log", float.fromhex("0x1.2f1fd6p+3"), certified=False).rounded.hex()
    '0x1.1fcbd00000000p+1'
    >>> report("cbrt", 27.0)
    Midpoint(rounded=3.0, distance_ulp=0.5, exact_above=False, exact=True)

    ``None`` when the operation has no finite result in the format, or the input lies outside
    the oracle's domain (a negative square root, a logarithm of zero, asin(2), a pole such as
    tgamma(-3), an overflowing result). Refusals are the core's ``ValueError``s: an unknown op or
    dtype, ``div`` without ``y``.
    """
    if type(op) is not str or canonical_op(op) not in PRIVATE_OPS:
        if certified and _truth.binary64_library_op(op, dtype):  # the core has no binary64 oracle for these
            answer = _truth.binary64_report(op, x)
            return None if answer is None else Midpoint(*answer)
        return _certify.report(op, x, dtype, y, certified=certified)
    if is_f32(dtype):
        raw = _midpoint(op, x, dtype, y)
        # Inexact and far from a midpoint and a float: the estimate stands, outside the float
        # environment's guard (comparing floats does not depend on it).
        if raw is not None and not raw[3] and NEAR_MIDPOINT <= raw[1] <= NEAR_FLOAT:
            return _new_tuple(Midpoint, raw)
        if not certified:
            return None if raw is None else _new_tuple(Midpoint, raw)
        if raw is not None and raw[1] > NEAR_FLOAT and raw[0] in (1.0, -1.0, 2.0):
            beside = _beside_bound(_ALIASES.get(op, op), to_format(float(x), True), raw[0])
            if beside is not None:
                return beside
        return _certified_report(_ALIASES.get(op, op), x, y, True)
    if not certified:
        _midpoint(op, x, dtype, y)  # the core's refusal: it has no binary64 estimate
    _midpoint(op, x, "f32", y)  # the arity and the arguments, with the core's messages
    return _certified_report(_ALIASES.get(op, op), x, y, False)


@default_float_environment
def _certified_report(name: str, x: Any, y: Any, f32: bool) -> Optional[Midpoint]:
    if f32:
        return certified(name, to_format(float(x), True), None if y is None else to_format(float(y), True), True)
    return certified(name, float(x), None if y is None else float(y), False)


# ---------------------------------------------------------------- results beside a bound

# The bounds some operations approach without reaching them away from their exact points: a result
# within a millionth of an ulp of one of these floats lies strictly on the side of it the function
# stays on.
_STRICT_BOUNDS = {"erf": (-1.0, 1.0), "erfc": (0.0, 2.0), "sinpi": (-1.0, 1.0), "cospi": (-1.0, 1.0),
                  "cosh": (1.0, math.inf)}


@default_float_environment
def _beside_bound(op: str, x: float, r: float) -> Optional[Midpoint]:
    """The binary32 report of op(x) when it lies next to a bound r that op never reaches at x (erf(6)
    is just below 1, cosh(2^-20) just above it), None when no such rule applies. MPFR needs hundreds
    of microseconds for erf and erfc there; the gap g between the result and r is a simple binary64
    expression instead. The rule is taken only where g is below 2e-6 ulp of r, so the distance
    0.5 - g / ulp is right to 1e-6 ulp even if g were off by half of itself: no accuracy of the
    platform's functions is relied on. The result is no float and no midpoint (it lies strictly
    between r and the midpoint beside it)."""
    bounds = _STRICT_BOUNDS.get(op)
    if bounds is None or r not in bounds or not math.isfinite(x):
        return None
    if op in ("erf", "erfc"):
        gap = math.erfc(abs(x))  # erf(x) = sign(x) (1 - erfc|x|), erfc(x) = 2 - erfc|x| for x < 0
        if op == "erfc" and x >= 0:
            return None
    elif op == "cosh":
        gap = 2 * math.sinh(x / 2) ** 2  # cosh x - 1, without its cancellation
    else:
        # |sinpi| and |cospi| are cos(pi d) for the distance d of x to the nearest half-integer (sinpi) or
        # integer (cospi): exact in binary64. 1 - cos(pi d) = 2 sin^2(pi d / 2).
        shifted = x - 0.5 if op == "sinpi" else x
        d = abs(shifted - round(shifted))
        if d == 0:
            return None  # an exact point, by rule
        gap = 2 * math.sin(math.pi * d / 2) ** 2
    # The spacing on the side of r the result lies on: below 1 and 2 (toward 0 from -1).
    spacing = pow2(-24) if abs(r) == 1.0 and op != "cosh" else pow2(-23)
    offset = gap / float(spacing)
    if not 0 < offset < 2e-6:
        return None
    inside_is_above = r == bounds[0]
    return Midpoint(r, 0.5 - offset, inside_is_above, False)


# ---------------------------------------------------------------- overflow edges of scans

_SMALLEST = 1  # ordered value of the smallest positive subnormal


def _finite(op: str, k: int, y: Optional[float]) -> bool:
    return certified(op, from_ordered(k, True), y, True) is not None


def _edge(op: str, y: Optional[float], finite: int, infinite: int) -> tuple[int, int]:
    """The adjacent ordered inputs between ``finite`` (a finite result) and ``infinite`` (none) where the
    result stops being finite, on a stretch where it does so once."""
    a, b = finite, infinite
    while abs(b - a) > 1:
        mid = (a + b) // 2
        if _finite(op, mid, y):
            a = mid
        else:
            b = mid
    return a, b


@functools.lru_cache(maxsize=1024)
def edge_inputs(op: str, y: Optional[float]) -> tuple[int, ...]:
    """Ordered binary32 inputs on either side of each place where ``op`` (with y fixed) overflows
    binary32 at a finite input. The core gives no report where its binary64 value rounds to
    infinity, so a knife edge just before the overflow could hide there: certified scans decide them."""
    one, inf = ordered(1.0, "f32"), ordered(math.inf, "f32")
    stretches: list[tuple[int, int]] = []
    if op in ("sinh", "cosh"):
        stretches = [(one, inf), (-one, -inf)]
    elif op in ("exp10", "exp2m1", "lgamma"):
        stretches = [(one if op != "lgamma" else ordered(2.0, "f32"), inf)]
    elif op == "tgamma":
        stretches = [(ordered(2.0, "f32"), inf), (one, _SMALLEST), (ordered(-0.5, "f32"), -_SMALLEST)]
    elif op == "hypot" and y is not None and math.isfinite(y):
        stretches = [(0, inf), (0, -inf)]
    elif op == "pow" and y is not None and math.isfinite(y) and y != 0:
        # pow(+-0, y < 0) is infinite; ordered value 0 is +0.0, as infinite on the negative side.
        stretches = [(one, inf if y > 0 else 0)]
        if y == int(y):
            stretches.append((-one, -inf if y > 0 else 0))
    inputs: list[int] = []
    for finite, infinite in stretches:
        if not _finite(op, finite, y) or _finite(op, infinite, y):
            continue
        inputs += list(_edge(op, y, finite, infinite))
    return tuple(sorted(set(inputs)))


def certified_walk(op: str, first: int, step: int, size: int, tol: float, limit: int, y: Optional[float]
                   ) -> RawScan:
    """``fpscope._certify.certified_walk`` for an operation only the package names."""
    return _certify.certified_walk(op, first, step, size, tol, limit, y, sys.modules[__name__])
