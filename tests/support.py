"""Helpers shared by the test suites."""
import functools

from fpscope import _core as fs


def panic_class():
    """The PanicException class of the core; valid input never raises it, a resumed one does (PanicFloat)."""
    return fs.PanicException


Panic = panic_class()


class Hostile(Exception):
    """Raised by the hostile objects below, so a test can tell their failures from the module's."""


class PanicFloat:
    """__float__ lets a PanicException escape: the frame resumes it as its own internal failure."""

    def __float__(self):
        raise Panic("raised by __float__")

    def __repr__(self):
        return "PanicFloat()"


class StrSub(str):
    def __repr__(self):
        return f"StrSub({str.__repr__(self)})"


class StrRaisingStr(str):
    """A str subclass whose str() fails: reachable as a keyword key, whose message uses str()."""

    def __str__(self):
        raise Hostile("__str__")

    def __repr__(self):
        return f"StrRaisingStr({str.__repr__(self)})"


class IntSub(int):
    def __repr__(self):
        return f"IntSub({int.__repr__(self)})"


class FloatSub(float):
    def __repr__(self):
        return f"FloatSub({float.__repr__(self)})"


def with_keywords(fn, positional, kwargs):
    """A callable that hands `kwargs` to fn as its keyword dict, keys of any type included: `**`
    unpacking refuses non-str keys before the call, a restored partial does not."""
    bound = functools.partial(fn)
    bound.__setstate__((fn, tuple(positional), dict(kwargs), None))
    return bound


# --- the exact results of the unary operations, from mpmath (which shares no code with MPFR) -------

import math  # noqa: E402
import struct  # noqa: E402
from fractions import Fraction  # noqa: E402

import mpmath  # noqa: E402

MP_FUNCTIONS = {
    "rsqrt": lambda x: 1 / mpmath.sqrt(x),
    "exp": mpmath.exp,
    "exp2": lambda x: mpmath.power(2, x),
    "expm1": mpmath.expm1,
    "log": mpmath.log,
    "log2": lambda x: mpmath.log(x, 2),
    "log10": mpmath.log10,
    "log1p": mpmath.log1p,
    "sin": mpmath.sin,
    "cos": mpmath.cos,
    "tan": mpmath.tan,
    "atan": mpmath.atan,
    "tanh": mpmath.tanh,
    "sigmoid": lambda x: 1 / (1 + mpmath.exp(-x)),
    "softplus": lambda x: mpmath.log1p(mpmath.exp(x)),
}
LIBRARY_OPS = sorted(MP_FUNCTIONS)
F32_MAX = float.fromhex("0x1.fffffep+127")


def f32(x):
    """x rounded to binary32 through struct (for values that are binary32 already, the identity)."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


class Undecided(Exception):
    """The high-precision value lies too close to a float or a midpoint to decide anything."""


def mp_f32_report(op, x, bits=320):
    """(rounded, distance_ulp, exact_above, exact) of op at the binary32 value x, from mpmath at
    `bits` bits, by exact comparison with the binary32 floats around it; None when the result is
    not a finite binary32 number. Raises Undecided when the value cannot be told apart from a float
    or a midpoint at this precision."""
    with mpmath.workprec(bits):
        try:
            v = MP_FUNCTIONS[op](mpmath.mpf(x))
        except ZeroDivisionError:  # 1 / sqrt(0)
            return None
        if isinstance(v, mpmath.mpc) or not mpmath.isfinite(v):
            return None
        sign, man, exp, bc = mpmath.mpf(v)._mpf_
    if man and exp + bc > 200:
        return None  # far beyond the binary32 range
    if man and exp + bc < -600:
        raise Undecided(op, x)  # it rounds to a zero at distance 0.5 - 2^-450: only the side is left
    value = (-1) ** sign * Fraction(int(man)) * Fraction(2) ** exp  # int: mpmath may hand out gmpy2 integers
    slack = abs(value) * Fraction(1, 2 ** (bits - 24))
    if abs(value) >= Fraction(F32_MAX) + 2 ** 103:  # the largest float plus half its spacing
        return None
    # Within a step or two of the float below the value.
    low = f32(max(-F32_MAX, min(F32_MAX, float(value))))
    while Fraction(low) > value:
        low = fs.next_down(low, "f32")
    while Fraction(fs.next_up(low, "f32")) <= value:
        low = fs.next_up(low, "f32")
    high = fs.next_up(low, "f32")
    if math.isinf(high):
        high = 2 * F32_MAX - fs.next_down(F32_MAX, "f32")  # the spacing continues past the largest
    mid = (Fraction(low) + Fraction(high)) / 2
    gap = Fraction(high) - Fraction(low)
    if min(abs(value - Fraction(low)), abs(value - mid), abs(Fraction(high) - value)) <= slack:
        raise Undecided(op, x)
    rounded = low if value < mid else high
    return rounded, float(abs(value - mid) / gap), value > Fraction(rounded), False
