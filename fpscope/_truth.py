"""Certified judgements of single answers: for the binary32 inputs an audit's binary64 judgement leaves
open, and for every binary64 answer.

The core judges an implementation's answer y at x from the binary64 value of the operation and
leaves an input undecided only where an error of ``MARGIN`` binary32 ulps could change the outcome:
the exact result near a midpoint (the correct rounding), near the overflow threshold, or near a float
without a known side (the bin of the error, and its binade when that float is a power of two).
:func:`certified_judgement` decides those with MPFR, bounding the exact result between its roundings
toward -inf and +inf at growing precision until every part of the answer is settled. It runs in a
gmpy2 context of its own: whatever context the caller set never changes an answer.

Outside the exact points (see ``fpscope._certify``) the exact result is not dyadic: it never equals
a float, a midpoint or an end of its bracket, so each decision is reached at some precision.

Binary64 answers have no binary64 stand-in to start from: :func:`binary64_judge` evaluates the operation
once with MPFR at 80 bits, rounded to nearest, which decides nearly every input exactly in integer
arithmetic, and leaves the rest to :func:`certified_judgement`.
"""
from __future__ import annotations

import contextlib
import math
from fractions import Fraction
from typing import Any, Callable, Iterator, NamedTuple, Optional

import gmpy2  # type: ignore[import-untyped]  # no type information is published for it

from fpscope import _certify, _core
from fpscope._certify import CertificationError
from fpscope._floats import F32, F64, BinaryFormat as _Format, pow2
from fpscope._formats import resolve

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


def _mpfr_bounds(op: str, xm: Any, precision: int, ym: Any = None) -> tuple[Any, Any]:
    if op in PRIVATE_UNARY or op in PRIVATE_BINARY:
        bounds: tuple[Any, Any] = _private_rules["bounds"](op, xm, ym, float(xm), precision)
        return bounds
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


def quotient_judgement(x: float, d: float, y: float, f32: bool = True) -> Judgement:
    """The judgement of the answer y to x / d (values of the format, not NaN), from the exact quotient:
    infinite for a zero divisor or an infinite dividend, undefined for 0/0 and inf/inf (IEEE's answers)."""
    fmt = F32 if f32 else F64
    negative = (math.copysign(1.0, x) < 0) != (math.copysign(1.0, d) < 0)
    if (x == 0 and d == 0) or (math.isinf(x) and math.isinf(d)):
        return Judgement(CORRECT, 0, 0.0, math.nan) if math.isnan(y) else Judgement(SPECIAL, 0, 0.0, math.nan)
    if d == 0 or math.isinf(x):
        return _infinite(negative, y)
    if x == 0 or math.isinf(d):
        return judge_exact(fmt, Fraction(0), negative, y)
    return judge_exact(fmt, Fraction(x) / Fraction(d), negative, y)


def certified_judgement(op: str, x: Any, y: float, f32: bool = True) -> Judgement:
    """The certified judgement of the answer y (a value of the format) at the input x (not NaN), or at the
    pair x = (x, x2) of an operation of two arguments: ``x[0] / x[1]`` for div, C's results for hypot, atan2
    and pow (atan2(x, x2) the angle of the point (x2, x)), which MPFR follows: hypot(+-inf, NaN) = +inf,
    pow(1, NaN) = pow(NaN, 0) = 1, pow(0, -1) = +inf (a pole), pow(-8, 1/3) undefined."""
    name = _certify.canonical_op(op)
    if name == "div":
        return quotient_judgement(x[0], x[1], y, f32)
    with _own_context():
        return _certified(name, x, y, F32 if f32 else F64)


# C's other operations (fpscope._mathlib): audits judge those of one argument here as well, from the rules
# of that module, which imports this one: fpscope._audit hands them over (set_private_rules).
PRIVATE_UNARY = frozenset(n for n, p in _core._OPERATIONS.items() if not p["public"] and p["arity"] == 1)
PRIVATE_BINARY = frozenset(n for n, p in _core._OPERATIONS.items() if not p["public"] and p["arity"] == 2)
_private_rules: dict[str, Callable[..., Any]] = {}


def set_private_rules(exact_point: Callable[[str, float], Any], bounds: Callable[..., tuple[Any, Any]]) -> None:
    """fpscope._mathlib's exact points by rule, and its MPFR bounds lo <= op(x) <= hi."""
    _private_rules.update(point=exact_point, bounds=bounds)


def _rule_point(op: str, x: float, y: float, fmt: _Format) -> Optional[Judgement]:
    """The judgement at a point where fpscope._mathlib knows op's result by rule (the operations that are
    not one MPFR function): exact values, and where there is no finite result, C's value there (NaN,
    or the infinity of a pole: tanpi's at the half-integers, +inf for even n + 1/2 and -inf for odd,
    odd in x; log2p1(-1) = -inf; the limits at the infinities)."""
    point = _private_rules["point"](op, x)
    if point is None:
        return None
    value, negative_zero = point
    if value is not None:
        return judge_exact(fmt, value, negative_zero, y)
    infinite: Optional[bool] = None  # the sign of an infinite result
    if op == "tanpi" and math.isfinite(x):
        n = math.floor(abs(x))  # |x| = n + 1/2
        infinite = (n % 2 == 1) != (x < 0)
    elif op == "log2p1" and x == -1:
        infinite = True
    elif op in ("log2p1", "exp2m1") and x == math.inf:
        infinite = False
    if infinite is None:
        return Judgement(CORRECT, 0, 0.0, math.nan) if math.isnan(y) else Judgement(SPECIAL, 0, 0.0, math.nan)
    return _infinite(infinite, y)


def _certified(op: str, x: Any, y: float, fmt: _Format) -> Judgement:
    ym = None
    if op in PRIVATE_BINARY:  # a pair: MPFR's functions of two arguments give C's values at every pair
        x, ym = x[0], gmpy2.mpfr(x[1], 64)
    elif op in _certify.LIBRARY_OPS and fmt is F32:
        point = _certify.exact_point(op, x)
        if point is not None:
            return judge_exact(fmt, point[0], point[1], y)
    private = op in PRIVATE_UNARY or ym is not None
    if op in PRIVATE_UNARY:
        ruled = _rule_point(op, x, y, fmt)
        if ruled is not None:
            return ruled
    xm = gmpy2.mpfr(x, 64)
    overflow = _overflow(fmt)
    for precision in PRECISIONS:
        lo, hi = _mpfr_bounds(op, xm, precision, ym)
        if gmpy2.is_nan(lo) or gmpy2.is_nan(hi):
            nan = math.nan
            return Judgement(CORRECT, 0, 0.0, nan) if math.isnan(y) else Judgement(SPECIAL, 0, 0.0, nan)
        if lo == hi:
            if gmpy2.is_infinite(lo):
                return _infinite(lo < 0, y)
            # A zero result of C's other operations takes the sign of its upward rounding: downward MPFR may
            # answer -0 for a zero reached by cancellation (acos(1)).
            negative = gmpy2.is_signed(hi if private else lo)
            return judge_exact(fmt, Fraction(*(int(n) for n in lo.as_integer_ratio())), negative, y)
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
    arguments = repr(x) if ym is None else f"{x!r}, {float(ym)!r}"
    raise CertificationError(f"{op}({arguments}) could not be judged with {PRECISIONS[-1]} bits")


# ---------------------------------------------------------------- binary64, from one evaluation

# Binary64 answers are judged against one evaluation of the operation rounded to nearest with this many
# bits, in a context of its own with MPFR's widest exponent range: MPFR's functions are correctly rounded,
# so the exact result lies within half a unit of the evaluation's last place (sigmoid and softplus, each
# three correctly rounded steps on positive terms, within three units relative to it; eight are allowed).
# That is 2^-27 (2^-22) of a binary64 ulp: the evaluation decides the rounding, the error to that and its
# bin everywhere but within that of a float, a midpoint or a bin's edge. The exact result is never on one
# where the evaluation is inexact (it is not dyadic there, see fpscope._certify), so those few inputs are
# decided by certified_judgement, with directed roundings at growing precision.
NEAREST_PRECISION = 80
# The evaluation's error bound in units of its last place, doubled to an integer.
_SLACK = {"sigmoid": 16, "softplus": 16}
_HALF_WIDTH = NEAREST_PRECISION - 1  # bits of the mantissa below its leading one


@contextlib.contextmanager
def _own_context() -> Iterator[None]:
    """A fresh 64-bit gmpy2 context is current inside the block; the caller's is current again after it,
    also on error. Not `with context:`, whose exit in older gmpy2 leaves that context current."""
    caller = gmpy2.get_context()
    gmpy2.set_context(gmpy2.context(precision=64))
    try:
        yield
    finally:
        gmpy2.set_context(caller)


def _wide_context(rounding: Any) -> Any:
    return gmpy2.context(precision=NEAREST_PRECISION, round=rounding, subnormalize=False,
                         emax=gmpy2.get_emax_max(), emin=gmpy2.get_emin_min(),
                         trap_underflow=False, trap_overflow=False, trap_inexact=False, trap_invalid=False,
                         trap_erange=False, trap_divzero=False)


def _nearest_evaluation(op: str, ctx: Any) -> Callable[[Any], Any]:
    """op of a float (of a pair for div, hypot, atan2 and pow), rounded in ctx's direction (a few roundings to
    nearest for the compositions)."""
    if op == "div":
        return lambda pair: ctx.div(pair[0], pair[1])
    if op in PRIVATE_BINARY:
        of_two = getattr(ctx, op)  # gmpy2's hypot, atan2 and pow: C's names and argument order
        return lambda pair: of_two(pair[0], pair[1])
    if op == "recip":
        return lambda x: ctx.div(1, x)
    if op == "sigmoid":
        return lambda x: ctx.div(1, ctx.add(1, ctx.exp(-x)))
    if op == "softplus":
        # ln(1 + e^x) = x + ln(1 + e^-x): the second form for x > 0 keeps e^x from overflowing.
        return lambda x: ctx.add(x, ctx.log1p(ctx.exp(-x))) if x > 0 else ctx.log1p(ctx.exp(x))
    if op == "lgamma":  # (log |gamma(x)|, sign of gamma(x)) in gmpy2
        return lambda x: ctx.lgamma(x)[0]
    function: Callable[[float], Any] = getattr(ctx, _ONE_MPFR_FUNCTION.get(op) or _certify._MPFR_FUNCTIONS.get(op, op))
    return function


# C's other operations that are one correctly rounded MPFR function, by gmpy2 name; the others (sinpi, cospi,
# tanpi, log2p1, exp2m1) are judged by certified_judgement alone.
_ONE_MPFR_FUNCTION = {"cbrt": "cbrt", "asin": "asin", "acos": "acos", "sinh": "sinh", "cosh": "cosh",
                      "asinh": "asinh", "acosh": "acosh", "atanh": "atanh", "exp10": "exp10", "erf": "erf",
                      "erfc": "erfc", "tgamma": "gamma", "lgamma": "lgamma"}


def binary64_judge(op: str) -> Callable[[Any, float], Judgement]:
    """A function judging the binary64 answer y at x (not NaN; a pair for div, hypot, atan2, pow) for op, as
    certified_judgement does, from one evaluation wherever that decides. It keeps its own gmpy2 context:
    one per thread."""
    name = _certify.canonical_op(op)
    if name in PRIVATE_UNARY and name not in _ONE_MPFR_FUNCTION:
        def composed(x: Any, y: float) -> Judgement:
            with _own_context():
                return _certified(name, x, y, F64)

        return composed
    ctx = _wide_context(gmpy2.RoundToNearest)
    evaluate = _nearest_evaluation(name, ctx)
    above = _side_of_float(name)
    clear_flags = ctx.clear_flags
    slack = _SLACK.get(name, 1)
    ldexp, inf = math.ldexp, math.inf
    is_regular, is_infinite, is_signed = gmpy2.is_regular, gmpy2.is_infinite, gmpy2.is_signed
    # Judgements made as plain tuples of their type (without the constructor's own call, which costs as
    # much as the rest of a common judgement), and the ones of infinite and vanishing results made once.
    new = tuple.__new__
    beyond = {(negative, y): _infinite(negative, y) for negative in (False, True) for y in (-inf, inf)}
    vanishing = {negative: new(Judgement, (CORRECT, 1, 0.0, -0.0 if negative else 0.0)) for negative in (False, True)}

    def certified(x: Any, y: float) -> Judgement:
        if name == "div":
            return quotient_judgement(x[0], x[1], y, False)
        with _own_context():
            return _certified(name, x, y, F64)

    def judge(x: Any, y: float) -> Judgement:
        clear_flags()
        v = evaluate(x)
        if not ctx.inexact or not is_regular(v):
            if ctx.inexact and y == 0 and not is_infinite(v) and v == 0:
                # A result past MPFR's range toward zero, answered with a zero: of the result's sign, the
                # correct rounding; of the other, a special mismatch.
                negative = is_signed(v)
                if (math.copysign(1.0, y) < 0) == negative:
                    return vanishing[negative]
            elif is_infinite(v) and (y == inf or y == -inf):
                return beyond[is_signed(v), y]
            return _irregular(v, ctx, x, y, certified)
        m, e = v.as_mantissa_exp()
        m, e = int(m), int(e)  # Python's integers: cheaper than mpz in the few operations below
        negative = m < 0
        if negative:
            m = -m
        # |v| = m 2^e with 2^79 <= m < 2^80; the exact result lies within slack/2 of m (in units of 2^e).
        top = e + _HALF_WIDTH  # floor(log2 |v|)
        q = (top if top > -1022 else -1022) - 52  # exponent of the binary64 spacing at |v|
        # Floats and midpoints lie 2^t apart (t >= 26): k counts them below m, rest is m's offset above.
        t = q - 1 - e
        if t > NEAREST_PRECISION + 1:
            k, rest, room = 0, m, inf  # far below the smallest subnormal's midpoint
        else:
            k = m >> t
            rest = m - (k << t)
            room = (1 << t) - rest
        if 2 * rest <= slack or 2 * room <= slack:
            # Within the bound of a float or a midpoint. A float is the correct rounding; an answer equal
            # to it errs by less than 2^-26 ulp (its binade aside, which moves that by a factor 2), any
            # other answer is placed by the side of the float the result lies on.
            near = k if 2 * rest <= slack else k + 1
            if near % 2 or near == 0 or q + (near >> 1).bit_length() > 1024:
                return certified(x, y)
            f = ldexp(near >> 1, q)
            if y == (-f if negative else f):
                return new(Judgement, (CORRECT, 1, ldexp(abs(m - (near << t)), e - q), y))
            r = -f if negative else f
            side = above(x, r)
            if side is None:
                return certified(x, y)
            return _beside_float(r, side, slack, e, x, y, certified)
        rounded = (k + 1) >> 1  # in units of 2^q: up from above a midpoint
        try:
            r = ldexp(rounded, q)
        except OverflowError:
            r = inf
        if negative:
            r = -r
        if r != r or y != y or r == inf or r == -inf or y == inf or y == -inf:
            return _judge_special(y, r) or certified(x, y)
        if y == 0 and r == 0 and math.copysign(1.0, y) != math.copysign(1.0, r):
            return Judgement(SPECIAL, 0, 0.0, r)
        # |y - v| in units of 2^g, and the bound in the same units, both doubled.
        n, d = y.as_integer_ratio()
        ey = 1 - d.bit_length()
        sv = -m if negative else m
        if n == 0 or e - ey > 4096:
            # A y below 2^(e + 53 - 4096) is below one unit of v: it widens the bound by at most that.
            g, diff, bound = e, m, slack + (n != 0) * 2
        elif ey - e > 4096:
            return _negligible(y, r, negative, q)
        elif ey >= e:
            g, diff, bound = e, abs((n << (ey - e)) - sv), slack
        else:
            g, diff, bound = ey, abs(n - (sv << (e - ey))), slack << (e - ey)
        # error = diff / 2^u; its bin's edges 2^-1 ... 2^20 must lie farther than the bound.
        u = q - g
        c = diff.bit_length() - u  # 2^(c-1) <= error < 2^c
        if (-1 <= c - 1 <= 20 and 2 * (diff - (1 << (diff.bit_length() - 1))) <= bound) or \
                (-1 <= c <= 20 and 2 * ((1 << diff.bit_length()) - diff) <= bound):
            return certified(x, y)
        bin_ = 1 if c <= -1 else ERROR_BINS - 1 if c > 20 else c + 2
        try:
            error = ldexp(float(diff), -u)
        except OverflowError:
            error = inf
        return new(Judgement, (CORRECT if y == r else MISROUNDED, bin_, error, r))

    return judge


def _side_of_float(op: str) -> Callable[[Any, float], Optional[bool]]:
    """A function telling whether op(x) lies above the float r it is within 2^-70 of (relative), or None.

    One correctly rounded function rounded down gives r exactly when the result lies above r. For the
    compositions: the inequalities that hold everywhere (0 < sigmoid(x) < 1, above 1/2 for x > 0;
    softplus(x) > max(0, x)), where the result comes closest to a float; elsewhere bounds at twice and
    four times the precision."""
    if op not in _SLACK:
        down = _nearest_evaluation(op, _wide_context(gmpy2.RoundDown))
        return lambda x, r: bool(down(x) == r)

    def composed(x: float, r: float) -> Optional[bool]:
        if op == "sigmoid" and r in (0.0, 0.5, 1.0):
            return r == 0.0 or (r == 0.5 and x > 0)
        if op == "softplus" and (r == 0.0 or r == x):
            return True
        for precision in (2 * NEAREST_PRECISION, 4 * NEAREST_PRECISION):
            with _own_context():
                lo, hi = _certify._bounds(op, gmpy2.mpfr(x, 64), precision)
                if lo > r:
                    return True
                if hi < r:
                    return False
        return None

    return composed


def _beside_float(r: float, above: bool, slack: int, e: int, x: Any, y: float,
                  certified: Callable[[Any, float], Judgement]) -> Judgement:
    """The judgement of y (not r) where the exact result lies within slack/2 units of 2^e of the float r
    (not zero), above it when ``above``: r is its correct rounding, and the side gives its binade and on
    which side of |y - r| / ulp the error lies."""
    special = _judge_special(y, r)
    if special is not None:
        return special
    magnitude = abs(Fraction(r))
    away = above != (r < 0)  # the result lies farther from zero than r
    ulp = _ulp(F64, magnitude if away else magnitude * (1 - Fraction(1, 2 ** 60)))
    distance = abs(Fraction(y) - Fraction(r)) / ulp
    toward = (y > r) == above  # the result lies between r and y: the error is a little below distance
    bin_ = error_bin(distance)
    if _on_edge(distance):
        bin_ += 0 if toward else 1
    else:
        # No edge between distance and the error, which differ by less than the bound.
        bound = slack * pow2(e - 1) / ulp
        if error_bin(distance - bound) != bin_ or error_bin(distance + bound) != bin_:
            return certified(x, y)
    return Judgement(MISROUNDED, bin_, _to_float(distance), r)


def _negligible(y: float, r: float, negative: bool, q: int) -> Judgement:
    """The judgement of a finite y against a result (negative or not, correctly rounded to r) below one unit
    of y's last place: the error is |y| / 2^q a little below (the result on y's side of zero) or above, and
    that is an edge of the bins or farther from one than the result."""
    distance = abs(Fraction(y)) * pow2(-q)
    bin_ = error_bin(distance) + (_on_edge(distance) and (y < 0) != negative)
    return Judgement(CORRECT if y == r else MISROUNDED, bin_, _to_float(distance), r)


def _on_edge(e: Fraction) -> bool:
    """Whether e is an edge of the histogram's bins: 1/2, 1, 2, 4, ... 2^20."""
    return e == Fraction(1, 2) or (1 <= e <= 2 ** 20 and e.denominator == 1 and e.numerator & (e.numerator - 1) == 0)


def _to_float(e: Fraction) -> float:
    """An error as a float: infinite beyond the binary64 range (a binary64 answer can be 2^2098 ulps off)."""
    try:
        return float(e)
    except OverflowError:
        return math.inf


def _irregular(v: Any, ctx: Any, x: Any, y: float, certified: Callable[[Any, float], Judgement]) -> Judgement:
    """The judgement when the evaluation is exact, or zero, infinite or NaN."""
    if gmpy2.is_nan(v):
        nan = math.nan
        return Judgement(CORRECT, 0, 0.0, nan) if math.isnan(y) else Judgement(SPECIAL, 0, 0.0, nan)
    if gmpy2.is_infinite(v):  # an infinite result, or one past MPFR's range: infinite either way
        return _infinite(v < 0, y)
    if not ctx.inexact:
        m, e = v.as_mantissa_exp()
        return judge_exact(F64, Fraction(int(m)) * pow2(int(e)), gmpy2.is_signed(v), y)
    # Zero from an underflow past MPFR's range: the result is a nonzero of that sign, rounding to zero.
    negative = gmpy2.is_signed(v)
    r = -0.0 if negative else 0.0
    special = _judge_special(y, r)
    if special is not None:
        return special
    return Judgement(CORRECT, 1, 0.0, y) if y == 0 else _negligible(y, r, negative, -1074)


# ---------------------------------------------------------------- binary64 reports

def binary64_report(op: str, x: Any) -> Optional[tuple[float, float, bool, bool]]:
    """The certified midpoint report (rounded, distance_ulp, exact_above, exact) of a library operation at
    the binary64 value x, which the core has no oracle for: MPFR's roundings toward -inf and +inf at
    growing precision until they give the same report, the distance to 1e-12 ulp (a relative 1e-9 when
    it is small). None where the result is undefined or not finite in binary64, as for binary32."""
    _core.ordered(x, "f64")  # the core's errors for what is not a float
    value = float(x)
    name = _certify.canonical_op(op)
    if math.isnan(value):
        return None
    with _own_context():  # conversions and comparisons below in a context of its own
        return _binary64_report(name, gmpy2.mpfr(value, 53))


def _binary64_report(op: str, xm: Any) -> Optional[tuple[float, float, bool, bool]]:
    overflow = _overflow(F64)
    for precision in PRECISIONS[1:]:
        lo, hi = _mpfr_bounds(op, xm, precision)
        if gmpy2.is_nan(lo) or gmpy2.is_nan(hi):
            return None
        if lo == hi:  # the result is this value exactly
            if gmpy2.is_infinite(lo):
                return None
            exact = _certify.report_of_value(Fraction(*(int(n) for n in lo.as_integer_ratio())), F64,
                                             bool(gmpy2.is_signed(lo)))
            return None if exact is None else tuple(exact)  # type: ignore[return-value]
        a, b = _clamped_fraction(lo, F64), _clamped_fraction(hi, F64)
        if a >= overflow or b <= -overflow:
            return None
        if a == 0 < b:  # a bound that underflowed MPFR's range; the result itself is not zero
            a = b
        elif a < 0 == b:
            b = a
        if a < 0 < b:
            continue
        low, high = _certify.report_of_value(a, F64), _certify.report_of_value(b, F64)
        if low is None or high is None or low.exact or high.exact or low[:1] != high[:1] or \
                low.exact_above != high.exact_above:
            continue
        d_low, d_high = sorted((low.distance_ulp, high.distance_ulp))
        if d_high - d_low <= max(1e-12 if d_low >= 1e-5 else 0.0, d_low * 1e-9):
            return (low.rounded, (d_low + d_high) / 2, low.exact_above, False)
    raise CertificationError(f"{op}({float(xm)!r}) could not be decided with {PRECISIONS[-1]} bits")


def binary64_library_op(op: str, dtype: str) -> bool:
    """Whether report(op, x, dtype) is a binary64 library operation, answered by binary64_report."""
    return (type(op) is str and _certify.canonical_op(op) in _certify.LIBRARY_OPS
            and resolve(dtype).name == "f64")
