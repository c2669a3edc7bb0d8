"""Certified answers: where the exact mathematical result lies, not where its binary64 stand-in lies.

The core judges the fifteen library-based binary32 operations (every unary operation but ``sqrt``
and ``recip``) from the platform's binary64 function, whose error is a few binary64 ulps: about
1e-9 of a binary32 ulp. That judgement is right except where the exact result lies within that
error of a binary32 float or of a midpoint between two; there the rounded value, the side and the
claim of exactness can be wrong. This module keeps the core's judgement wherever such an error
cannot change it, and decides everything else with MPFR.

Triggers: MPFR re-decides a report when its binary64 distance is below ``NEAR_MIDPOINT`` (close to
a midpoint, where the rounded value may be wrong and a relative accuracy of the distance is
wanted), above ``NEAR_FLOAT`` (close to a float, where the side may be wrong), when it claims
exactness at an input not on the list of exact points below, when there is no report for a finite
input, and, in scans, when its distance lies within ``MARGIN`` of the tolerance. ``MARGIN`` is the
error the binary64 judgement is assumed never to reach: 1e-6 binary32 ulp, some 500 binary64 ulps,
hundreds of times the error of common maths libraries, so the trigger holds on other platforms too.

Far out, where the result of exp, exp2, expm1, sigmoid or softplus underflows or overflows binary32
by a wide margin, a bound on the input settles the report without MPFR (``_UNDERFLOWS``, ``_OVERFLOWS``).

MPFR evaluates the function with rounding toward -inf and toward +inf, which bounds the exact
result v by lo <= v <= hi; the precision doubles until the interval decides the rounded value, the
side and the distance (to 1e-12 ulp, or a relative 1e-9 when the distance is small).

Exact points. Floats and midpoints are dyadic rationals, and away from the points listed here
the exact results are not dyadic, so v never equals an end of the interval it is bracketed by,
and never lies on a float or a midpoint:

- exp, expm1, sin, cos, tan, tanh, sigmoid and softplus at a non-zero rational x, and log, log1p
  at a rational argument other than 1 and 0 respectively, are transcendental by the
  Lindemann-Weierstrass theorem (e^a is transcendental for algebraic a != 0; the trigonometric and
  hyperbolic functions are rational in e^(ix) or e^x; softplus(x) = y algebraic would make
  e^0 + e^x - e^y = 0 a relation between exponentials of distinct algebraic numbers; atan(x) = y
  algebraic and non-zero would make tan(y) = x algebraic).
- 2^x for rational non-integer x is irrational (2^(p/q) = a/b gives 2^p b^q = a^q, so q divides
  p); log2(x) and log10(x) are rational only where x^q = 2^p or 10^p, that is x a power of 2 or
  of 10; 1/sqrt(x) is dyadic only where x is a power of 4.

So the exact points are: the zeros of exp, expm1, log1p, sin, cos, tan, atan, tanh, sigmoid; x = 1
for log; the integers for exp2; the powers of 2 for log2 and of 4 for rsqrt; 10^k (k = 0..10, the
powers of ten that are binary32 values) for log10; and the infinities, whose limits are exact
(exp(-inf) = 0, tanh(inf) = 1, ...). Their results are computed exactly instead.
"""
from __future__ import annotations

import functools
import math
from fractions import Fraction
from typing import Any, Callable, Optional, SupportsFloat, SupportsIndex, TypeVar, Union

import gmpy2  # type: ignore[import-untyped]  # no type information is published for it

from fpscope._core import UNARY_OPS, knife_edges_raw, midpoint, next_down, next_up, ordered
from fpscope._core import _ALIASES, _OPERATIONS, _knife_edges, _midpoint
from fpscope._fenv import default_float_environment
from fpscope._formats import resolve
from fpscope._floats import F32, F64, BinaryFormat, from_ordered, is_f32, pow2, to_format
from fpscope._results import Midpoint, RawHit, RawScan

_FloatLike = Union[SupportsFloat, SupportsIndex]

NEAR_MIDPOINT = 2e-5
NEAR_FLOAT = 0.5 - 1e-6
MARGIN = 1e-6
# A tolerance this close to 0.5 would make every inexact result a hit, including those the core
# wrongly calls exact, and finding those means deciding every input with MPFR.
MAX_TOLERANCE = 0.4999
PRECISIONS = (64, 128, 256, 512, 1024, 2048, 4096, 8192)
# The version of the rules of this module (triggers, margins, precisions, exact points): raised with
# any change that can change a certified answer, so that a sweep recorded under other rules is not
# resumed with answers that differ from its first chunks'.
RULE_VERSION = 1

EXACT_OPS = frozenset(name for name, properties in _OPERATIONS.items() if properties["exact"])
LIBRARY_OPS = frozenset(UNARY_OPS) - EXACT_OPS

_new_tuple = tuple.__new__  # a named tuple from the core's tuple, without unpacking it


class CertificationError(ArithmeticError):
    """MPFR could not decide a result within its precision limit; the answer is refused."""


def canonical_op(op: str) -> str:
    return _ALIASES.get(op, op)


@functools.lru_cache(maxsize=None)
def is_private_name(op: str) -> bool:
    """Whether ``op`` is a name only the core's private entry points take: an operation of C's
    <math.h> beyond the core's catalogue, or a numpy name (``arctan``) of any operation."""
    if op not in _OPERATIONS and op not in _ALIASES:
        return False
    name = _ALIASES.get(op, op)
    if not _OPERATIONS[name]["public"]:
        return True
    try:
        midpoint(op, 0.5, "f32", 0.5 if _OPERATIONS[name]["arity"] == 2 else None)
    except ValueError:
        return True
    return False


# ---------------------------------------------------------------- reports of exact values

def report_of_value(value: Fraction, fmt: BinaryFormat = F32, negative_zero: bool = False) -> Optional[Midpoint]:
    """The report for an exactly known result: rounded to nearest, ties to even.

    A result on a midpoint (a tie) reports distance 0.0 and, in ``exact_above``, on which side of
    ``rounded`` it lies. ``negative_zero`` gives the sign of a zero result. None on overflow.
    """
    negative = value < 0 or (value == 0 and negative_zero)
    magnitude = abs(value)
    r = fmt.round(magnitude)
    if r is None:
        return None
    rounded = -float(r) if negative else float(r)  # -0.0 for a negative result that rounds to zero
    if r == magnitude:
        return Midpoint(rounded, 0.5, False, True)
    above = magnitude > r
    gap = fmt.gap(r, above)
    middle = r + gap / 2 if above else r - gap / 2
    # exact_above compares signed values: a larger magnitude is a smaller negative value.
    return Midpoint(rounded, float(abs(magnitude - middle) / gap), above != negative, False)


# ---------------------------------------------------------------- exact points

def _is_power_of(base: int, x: float, exponents: range) -> Optional[int]:
    for k in exponents:
        if x == float(Fraction(base) ** k):
            return k
    return None


def _power_of_two_exponent(x: float) -> Optional[int]:
    if not (x > 0 and math.isfinite(x)):
        return None
    mantissa, exponent = math.frexp(x)
    return exponent - 1 if mantissa == 0.5 else None


def exact_point(op: str, x: float) -> Optional[tuple[Fraction, bool]]:
    """The exact result of ``op`` at a binary32 input where it is dyadic, with the sign of a zero;
    None elsewhere (there it is not dyadic, see the module docstring)."""
    if math.isnan(x):
        return None
    negative = math.copysign(1.0, x) < 0
    if x == 0:
        if op in ("expm1", "log1p", "sin", "tan", "atan", "tanh"):
            return Fraction(0), negative
        if op in ("exp", "cos"):
            return Fraction(1), False
        if op == "sigmoid":
            return Fraction(1, 2), False
        return None
    if math.isinf(x):
        limits = {"exp": (0, None), "exp2": (0, None), "expm1": (-1, None), "tanh": (-1, 1),
                  "sigmoid": (0, 1), "softplus": (0, None), "rsqrt": (None, 0)}
        low, high = limits.get(op, (None, None))
        limit = low if x < 0 else high
        return None if limit is None else (Fraction(limit), False)
    if op == "exp2" and x == int(x):
        # Beyond +-4096 the clamped power gives the same report: infinity, or +0.0 at distance 0.5.
        return pow2(max(min(int(x), 4096), -4096)), False
    if op == "log" and x == 1:
        return Fraction(0), False
    if op == "log2":
        k = _power_of_two_exponent(x)
        return None if k is None else (Fraction(k), False)
    if op == "log10" and x >= 1:
        k = _is_power_of(10, x, range(0, 11))
        return None if k is None else (Fraction(k), False)
    if op == "rsqrt":
        k = _power_of_two_exponent(x)
        return None if k is None or k % 2 else (pow2(-k // 2), False)
    return None


# ---------------------------------------------------------------- MPFR bounds

# Every MPFR computation here runs in this context: 53 bits, to nearest, gmpy2's widest exponent
# range, no subnormals, no traps. gmpy2's current context is per thread and whatever the caller
# set; operators, conversions, comparisons and float() of MPFR numbers follow it, so a caller's
# narrow exponent range, low precision, rounding mode or traps would otherwise change the answers
# or raise from inside them. (The explicit contexts below fix their own settings.)
_CONTEXT = gmpy2.context(precision=53, round=gmpy2.RoundToNearest, subnormalize=False,
                         trap_underflow=False, trap_overflow=False, trap_inexact=False,
                         trap_invalid=False, trap_erange=False, trap_divzero=False)

_T = TypeVar("_T")


def _in_own_context(fn: Callable[..., _T]) -> Callable[..., _T]:
    """``fn`` run in a fresh copy of ``_CONTEXT``; the caller's context object (its flags
    included) is current again afterwards, also when ``fn`` raises."""
    @functools.wraps(fn)
    def in_own_context(*args: Any, **kwargs: Any) -> _T:
        # Not `with context:`, whose exit in older gmpy2 leaves that context current.
        caller = gmpy2.get_context()
        gmpy2.set_context(_CONTEXT.copy())
        try:
            return fn(*args, **kwargs)
        finally:
            gmpy2.set_context(caller)

    return in_own_context


@functools.lru_cache(maxsize=None)
def _contexts(precision: int) -> tuple[Any, Any]:
    return (gmpy2.context(precision=precision, round=gmpy2.RoundDown),
            gmpy2.context(precision=precision, round=gmpy2.RoundUp))


# Operations that are one correctly rounded MPFR function: its directed roundings bound the result.
_MPFR_FUNCTIONS = {
    "rsqrt": "rec_sqrt", "exp": "exp", "exp2": "exp2", "expm1": "expm1", "log": "log", "log2": "log2",
    "log10": "log10", "log1p": "log1p", "sin": "sin", "cos": "cos", "tan": "tan", "atan": "atan",
    "tanh": "tanh",
}


def _bounds(op: str, x: Any, precision: int) -> tuple[Any, Any]:
    """lo <= op(x) <= hi, as MPFR numbers of the given precision (NaN outside the domain)."""
    down, up = _contexts(precision)
    name = _MPFR_FUNCTIONS.get(op)
    if name is not None:
        return getattr(down, name)(x), getattr(up, name)(x)
    if op == "sigmoid":
        # 1 / (1 + e^-x) falls as e^-x grows: bound e^-x the other way round.
        return (down.div(1, up.add(1, up.exp(-x))), up.div(1, down.add(1, down.exp(-x))))
    if op == "softplus":
        # ln(1 + e^x) = x + ln(1 + e^-x); the form with e^-x keeps large x from overflowing.
        if x > 0:
            return (down.add(x, down.log1p(down.exp(-x))), up.add(x, up.log1p(up.exp(-x))))
        return down.log1p(down.exp(x)), up.log1p(up.exp(x))
    raise ValueError(f"no MPFR evaluation for {op!r}")


def _fraction(v: Any) -> Fraction:
    return Fraction(*(int(n) for n in v.as_integer_ratio()))


# Binary32 rounds every magnitude from 2^128 - 2^103 (the largest float plus half its spacing) up
# to infinity; it rounds every magnitude below 2^-150 to zero, at a distance that is 0.5 to within
# 2^-250 once the magnitude is below 2^-400. Clamping bounds to [2^-400, 2^200] in magnitude keeps
# them bounds of the same answer while keeping the rationals small: MPFR's own range reaches
# 2^(+-2^30), whose exact rationals would have a billion bits.
# Computed in the module's own context: the importer's could round or overflow them.
@_in_own_context
def _limits() -> tuple[Any, Any, Any]:
    two = gmpy2.mpfr(2)
    return two ** 128 - two ** 103, two ** 200, two ** -400


_OVERFLOW_F32, _HUGE, _TINY = _limits()  # _HUGE also stands in for MPFR's infinities


def _clamped(v: Any, upper: bool) -> Any:
    """The lower (or upper) bound v moved outward onto [2^-400, 2^200] in magnitude.

    A huge bound moves inward instead, which leaves the interval reaching past 2^128 - 2^103 on
    one side only: undecided, and the precision grows; MPFR's infinities are finite beyond it.
    """
    if gmpy2.is_zero(v):
        return gmpy2.mpfr(0)
    if abs(v) > _HUGE:
        return gmpy2.copy_sign(_HUGE, v)
    if abs(v) < _TINY:
        return gmpy2.copy_sign(_TINY, v) if (v > 0) == upper else gmpy2.mpfr(0)
    return v


_BINARY32 = gmpy2.ieee(32)  # rounds to binary32, subnormals and overflow included


@functools.lru_cache(maxsize=None)
def _exact_context(precision: int) -> Any:
    return gmpy2.context(precision=precision + 64)


def _decide(lo: Any, hi: Any, precision: int) -> Optional[Midpoint]:
    """The report for a non-dyadic v with lo < v < hi (MPFR numbers of ``precision`` bits), or None
    when the interval is too wide to decide it."""
    if lo < 0 < hi:
        return None
    negative = hi <= 0
    exact = _exact_context(precision)
    # Magnitudes, a < |v| < b. Arithmetic goes through a context wide enough to be exact: the
    # operators of MPFR numbers round to the default 53 bits.
    a, b = (exact.minus(hi), exact.minus(lo)) if negative else (lo, hi)
    r = _BINARY32.plus(a)
    if r != _BINARY32.plus(b):
        return None
    if gmpy2.is_infinite(r):
        return Midpoint(math.inf, 0.0, False, False)  # the caller turns overflow into no report
    if a >= r:
        above = True
    elif b <= r:
        above = False
    else:
        return None
    # The rounding of a magnitude: a zero here is +0 even when a is -0 (the negated upper bound 0 of
    # a negative v clamped to zero), and the sign is put back below.
    rounded = abs(float(r))
    n = next_up(rounded, "f32") if above else next_down(rounded, "f32")
    if math.isinf(n):
        n = 2 * rounded - next_down(rounded, "f32")  # past the largest float its spacing continues
    gap = abs(n - rounded)  # a power of two, exact
    midpoint = exact.div(exact.add(gmpy2.mpfr(rounded, 53), gmpy2.mpfr(n, 53)), 2)

    # Both ends lie within a gap of the midpoint and carry ``precision`` bits, so the difference is
    # exact with 64 bits to spare; dividing by a power of two is exact too. An end equal to r stands
    # for the limit from v's side, where the distance tends to 0.5.
    def distance(end: Any) -> Any:
        return gmpy2.mpfr(0.5) if end == r else exact.div(abs(exact.sub(end, midpoint)), gap)

    da, db = distance(a), distance(b)
    low, high = min(da, db), max(da, db)
    if high - low > max(1e-12 if low >= 1e-5 else 0.0, low * 1e-9):
        return None
    return Midpoint(-rounded if negative else rounded, float((low + high) / 2), above != negative, False)


@_in_own_context
def certified_f32(op: str, x: float) -> Optional[Midpoint]:
    """The certified report of a library-based ``op`` at the binary32 value ``x``, from MPFR alone,
    whatever gmpy2 context the calling thread has set."""
    point = exact_point(op, x)
    if point is not None:
        return report_of_value(point[0], F32, point[1])
    if math.isnan(x):
        return None
    xm = gmpy2.mpfr(x, 64)
    for precision in PRECISIONS:
        lo, hi = _bounds(op, xm, precision)
        if gmpy2.is_nan(lo) or gmpy2.is_nan(hi):
            return None
        if lo >= _OVERFLOW_F32 or hi <= -_OVERFLOW_F32:
            return None  # an infinite result (log(0)) included
        if lo == hi:
            return report_of_value(_fraction(lo), F32, gmpy2.is_zero(lo) and gmpy2.is_signed(lo))
        decided = _decide(_clamped(lo, False), _clamped(hi, True), precision)
        if decided is not None:
            return None if math.isinf(decided.rounded) else decided
    raise CertificationError(f"{op}({x!r}) could not be decided with {PRECISIONS[-1]} bits")


# ---------------------------------------------------------------- certified queries

def _binary64_decides(distance: float) -> bool:
    """Whether an inexact binary64 report at this distance has the true rounded value and side: far
    enough from a midpoint and from a float that an error below MARGIN cannot move either."""
    return NEAR_MIDPOINT <= distance <= NEAR_FLOAT


# Results that underflow or overflow binary32 far from the inputs where they start to, decided by a
# bound on the input instead of by MPFR, which answers the same after tens of microseconds. At or
# below _UNDERFLOWS[op] the exact result is positive and below 2^-205: it rounds to +0.0 from above,
# at the distance 0.5 - v / 2^-149, which is 0.5 once rounded to binary64. exp(-150) < 2^-216;
# 2^-206; sigmoid(x) < e^x and softplus(x) = ln(1 + e^x) < e^x. At or above _OVERFLOWS[op] the
# exact result exceeds 2^128, beyond the largest float plus half its spacing: e^89 - 1 > 2^128.
_UNDERFLOWS = {"exp": -150.0, "exp2": -206.0, "sigmoid": -150.0, "softplus": -150.0}
_OVERFLOWS = {"exp": 89.0, "exp2": 128.0, "expm1": 89.0}
_UNDERFLOWED = Midpoint(0.0, 0.5, True, False)


# The report in binary16 and bfloat16, fpscope._small.report: that module builds on this one, so it
# puts its function here when it is imported (the package imports it, so it is always there).
SIXTEEN_BIT_REPORT: list[Callable[[Any, str, Any, Any], Optional[Midpoint]]] = []


def report(op: str, x: _FloatLike, dtype: str = "f32", y: Optional[_FloatLike] = None, *,
           certified: bool = True) -> Optional[Midpoint]:
    """The midpoint report of ``op(x)`` (or ``x / y`` for ``op="div"``) as a :class:`Midpoint`.

    Certified (the default): the report of the exact mathematical result. The core judges the
    binary32 library operations (all but ``sqrt`` and ``recip``) from the platform's binary64
    function; where that judgement could be wrong (close to a midpoint or to a float, claims of
    exactness, no report for a finite input) MPFR decides. A quotient exactly on a midpoint between
    two subnormals, for which the core has no report, is answered as well. ``certified=False``
    gives the core's own answer, exactly ``midpoint(op, x, dtype, y)``.

    >>> report("log", float.fromhex("0x1.2f1fd6p+3")).rounded.hex()
    '0x1.1fcbce0000000p+1'
    >>> report("log", float.fromhex("0x1.2f1fd6p+3"), certified=False).rounded.hex()
    '0x1.1fcbd00000000p+1'

    ``None`` when the operation has no finite result in the format, or the input lies outside
    the oracle's domain (a negative square root, a logarithm of zero, an overflowing result).
    Refusals are the core's ``ValueError``s: an unknown op or dtype, ``div`` without ``y``.
    """
    fmt = resolve(dtype)
    if fmt.bits == 16:
        midpoint(op, 1.0, "f32", None if y is None else 1.0)  # the core's errors for op and y
        return SIXTEEN_BIT_REPORT[0](fmt, op, x, y)
    dtype = fmt.name
    # numpy's names of these operations (arctan) are taken by the core's private entry point only.
    private = type(op) is str and is_private_name(op)
    raw = (_midpoint if private else midpoint)(op, x, dtype, y)  # checks the arguments: the core's errors
    # Most reports stand as the core made them, whatever the operation: inexact and far from a
    # midpoint and from a float. Comparing such floats does not depend on the float environment, so
    # they are returned without entering its guard. A zero result is left to the rules below: exp2
    # has exact results there that are neither floats nor midpoints.
    if raw is not None and raw[0] and not raw[3] and NEAR_MIDPOINT <= raw[1] <= NEAR_FLOAT:
        return _new_tuple(Midpoint, raw)
    if not certified:
        return None if raw is None else _new_tuple(Midpoint, raw)
    return _certified_report(op, x, dtype, y, raw)


@default_float_environment
def _certified_report(op: str, x: Any, dtype: str, y: Any, raw: Optional[tuple[float, float, bool, bool]]
                      ) -> Optional[Midpoint]:
    """The certified report where the core's own, ``raw``, may not stand."""
    if op == "div":
        return _division_tie(x, y, dtype) if raw is None else _new_tuple(Midpoint, raw)
    name = canonical_op(op)
    if name not in LIBRARY_OPS or not is_f32(dtype):
        return None if raw is None else _new_tuple(Midpoint, raw)
    x32 = to_format(float(x), True)
    if math.isfinite(x32):  # the infinities are exact points
        if x32 <= _UNDERFLOWS.get(name, -math.inf):
            return _UNDERFLOWED
        if x32 >= _OVERFLOWS.get(name, math.inf):
            return None
    point = exact_point(name, x32)
    if point is not None:
        return report_of_value(point[0], F32, point[1])
    if raw is None:
        return None if math.isnan(x32) else certified_f32(name, x32)
    # A claim of exactness needs MPFR: the exact points are decided above.
    if not raw[3] and _binary64_decides(raw[1]):
        return _new_tuple(Midpoint, raw)
    return certified_f32(name, x32)


def _division_tie(x: Any, y: Any, dtype: str) -> Optional[Midpoint]:
    """The report of a quotient that lies exactly on a midpoint, which the core leaves without one.

    The core gives no report for zero, negative or non-finite operands and overflowing quotients
    as well; only a positive finite quotient that is a tie is answered here.
    """
    f32 = is_f32(dtype)
    a, b = (to_format(float(x), True), to_format(float(y), True)) if f32 else (float(x), float(y))
    if not (a > 0 and b > 0 and math.isfinite(a) and math.isfinite(b)):
        return None
    value = report_of_value(Fraction(a) / Fraction(b), F32 if f32 else F64)
    if value is None or value.distance_ulp != 0.0 or value.exact:
        return None
    return value


# ---------------------------------------------------------------- certified scans

@functools.lru_cache(maxsize=None)
def overflow_edge(op: str) -> Optional[int]:
    """For an operation that overflows binary32 at finite inputs, the ordered value of the largest
    input whose exact result still rounds to a finite float; None for the others.

    The core gives no report where its binary64 value rounds to infinity, so an input just below
    the edge could be a knife edge that the core cannot see; scans certify the inputs at the edge.
    """
    if op not in ("exp", "exp2", "expm1"):
        return None
    lo, hi = ordered(1.0, "f32"), ordered(math.inf, "f32")  # finite at 1, infinite at inf
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if certified_f32(op, from_ordered(mid, True)) is None:
            hi = mid
        else:
            lo = mid
    return lo


def certified_walk(op: str, first: int, step: int, size: int, tol: float, limit: int,
                   y: Optional[float] = None, private: Optional[Any] = None) -> RawScan:
    """The certified scan of the binary32 inputs of ordered values first, first + step, ... (``size``
    of them) for a library operation (canonical name) at a tolerance in (0, MAX_TOLERANCE]: the
    answer of ``knife_edges_raw`` over that walk, hits and ``limit`` counting certified hits.

    The core scans with its tolerance widened by ``MARGIN``, which finds every input whose exact
    result can lie within ``tol`` of a midpoint; each of those candidates is then decided, by MPFR
    where the binary64 judgement could be wrong. ``y`` is the fixed second argument of an operation
    of two (a binary32 value). ``private`` is ``fpscope._mathlib`` for the operations only the package
    names: it decides them and knows where they overflow. Call it in the default float environment.
    """
    last = first + (size - 1) * step
    hi = from_ordered(last, True)
    if private is not None:
        edges: tuple[int, ...] = private.edge_inputs(op, y)
        scan: Callable[..., RawScan] = functools.partial(_knife_edges, y=y)
        estimate: Callable[..., Any] = functools.partial(_midpoint, y=y)
    else:
        edge = overflow_edge(op)
        edges = () if edge is None else (edge, edge + 1)
        scan, estimate = knife_edges_raw, midpoint
    edge_inputs = [k for k in edges if first <= k <= last and (k - first) % step == 0]
    hits: list[RawHit] = []
    done = 0  # inputs evaluated so far, a prefix of the walk
    while done < size and len(hits) < limit:
        start = first + done * step
        found, evaluated, _ = scan(op, from_ordered(start, True), hi, tol + MARGIN, "f32",
                                   limit - len(hits), step, size - done)
        window_end = start + (evaluated - 1) * step  # the last input the core evaluated
        candidates: dict[int, Optional[RawHit]] = {ordered(h[0], "f32"): h for h in found}
        for k in edge_inputs:
            if start <= k <= window_end and k not in candidates:
                x = from_ordered(k, True)
                core = estimate(op, x)
                candidates[k] = None if core is None or core[3] else (x, core[0], core[1], core[2])
        for k in sorted(candidates):
            hit = _certified_hit(op, from_ordered(k, True), candidates[k], tol, y, private)
            if hit is None:
                continue
            hits.append(hit)
            if len(hits) == limit:
                evaluated_total = (k - first) // step + 1
                return hits, evaluated_total, evaluated_total == size
        done += evaluated
    return hits, done, done == size


def _certified_hit(op: str, x: float, raw: Optional[RawHit], tol: float, y: Optional[float] = None,
                   private: Optional[Any] = None) -> Optional[RawHit]:
    if raw is not None and _binary64_decides(raw[2]) and abs(raw[2] - tol) >= MARGIN:
        return raw if raw[2] < tol else None
    decided = certified_f32(op, x) if private is None else private.certified(op, x, y)
    if decided is None or decided.exact or not decided.distance_ulp < tol:
        return None
    return (x, decided.rounded, decided.distance_ulp, decided.exact_above)
