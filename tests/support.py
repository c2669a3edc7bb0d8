"""Helpers shared by the test suites: hostile objects, and slow, obviously correct models of the
formats (bit patterns, exact rationals) and of the operations (mpmath)."""
import functools
import math
import struct
from fractions import Fraction

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


# Arguments by parameter name with which every core function answers (ulp_distances takes sequences).
SAMPLE_ARGUMENTS = {"x": 2.0, "a": 1.0, "b": 3.0, "lo": 1.0, "hi": 1.0000005, "op": "sqrt", "min_exp": -2,
                    "max_exp": 3}


def public_functions():
    """The core's public functions, in the order of __all__."""
    return [getattr(fs, name) for name in fs.__all__ if callable(getattr(fs, name))]


def sample_arguments(fn):
    """(required, defaults): sample values of fn's required parameters in order, and its declared
    defaults by name, both read from its signature."""
    import inspect

    parameters = inspect.signature(fn).parameters.values()
    required = [SAMPLE_ARGUMENTS[p.name] for p in parameters if p.default is p.empty]
    if fn.__name__ == "ulp_distances":
        required = [[v, -v] for v in required]
    return required, {p.name: p.default for p in parameters if p.default is not p.empty}


def with_keywords(fn, positional, kwargs):
    """A callable that hands `kwargs` to fn as its keyword dict, keys of any type included: `**`
    unpacking refuses non-str keys before the call, a restored partial does not."""
    bound = functools.partial(fn)
    bound.__setstate__((fn, tuple(positional), dict(kwargs), None))
    return bound


# --- a slow, obviously correct model on bit patterns -------------------------------------------------

FORMATS = {
    "f32": dict(width=32, pack="<f", ipack="<I", inf=0x7F800000),
    "f64": dict(width=64, pack="<d", ipack="<Q", inf=0x7FF0000000000000),
    "f16": dict(width=16, pack="<e", ipack="<H", inf=0x7C00),
    # bfloat16 is the upper half of a binary32 pattern.
    "bf16": dict(width=16, pack=None, ipack="<H", inf=0x7F80),
}


def bits_of(x, dtype):
    if dtype == "bf16":
        wide = bits_of(x, "f32")
        assert wide & 0xFFFF == 0, f"{x!r} is not a bfloat16 value"
        return wide >> 16
    f = FORMATS[dtype]
    return struct.unpack(f["ipack"], struct.pack(f["pack"], x))[0]


def value_of(b, dtype):
    if dtype == "bf16":
        return value_of(b << 16, "f32")
    f = FORMATS[dtype]
    return struct.unpack(f["pack"], struct.pack(f["ipack"], b))[0]


def model_ordered(b, dtype):
    sign = 1 << (FORMATS[dtype]["width"] - 1)
    return -(b & (sign - 1)) if b & sign else b


def model_next_up(b, dtype):
    f = FORMATS[dtype]
    sign = 1 << (f["width"] - 1)
    mag = b & (sign - 1)
    if mag > f["inf"] or b == f["inf"]:
        return b
    if mag == 0:
        return 1
    # Step in the ordered view; ordered 0 (from -min_subnormal) must stay -0.0.
    if b & sign:
        return b - 1
    return b + 1


def model_spacing(b, dtype):
    f = FORMATS[dtype]
    sign = 1 << (f["width"] - 1)
    mag = b & (sign - 1)
    if mag >= f["inf"]:
        return None  # NaN
    if mag == f["inf"] - 1:
        return value_of(mag, dtype) - value_of(mag - 1, dtype)
    return value_of(mag + 1, dtype) - value_of(mag, dtype)


def same_float(a, b):
    """Equal as bit patterns of binary64 (distinguishes -0.0, accepts NaN only against NaN)."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


# --- an exact model of the two formats ---------------------------------------------------------------

from fpscope._floats import F32 as F32_MODEL, F64 as F64_MODEL, BinaryFormat, floor_log2  # noqa: E402,F401


class Fmt:
    """A format: the package's model of it in rationals (rounding, spacing), and its bit patterns."""

    def __init__(self, model, pack, ipack):
        self.model, self.pack, self.ipack = model, pack, ipack
        self.p, self.emin, self.emax = model.precision, model.min_exponent, model.max_exponent
        # The largest finite value: every significand bit set in the top binade.
        self.max = (2 - Fraction(2) ** (1 - self.p)) * Fraction(2) ** model.max_exponent

    def quantum(self, r):
        return self.model.quantum(r)

    def value(self, bits):
        return struct.unpack(self.pack, struct.pack(self.ipack, bits))[0]

    def round(self, v):
        """Round a non-negative rational to nearest, ties to even; None when it overflows."""
        return self.model.round(v)

    def gap_toward(self, r, above):
        """Distance from the non-negative float r to its neighbour on the given side."""
        return self.model.gap(r, above)


F32 = Fmt(F32_MODEL, "<f", "<I")
F64 = Fmt(F64_MODEL, "<d", "<Q")
F16 = Fmt(BinaryFormat(11, -14, 15), "<e", "<H")
BF16 = Fmt(BinaryFormat(8, -126, 127), None, None)  # rounding only: value() has no struct code for it
FMT = {"f32": F32, "f64": F64, "f16": F16, "bf16": BF16}


# --- the exact results of the unary operations, from mpmath (which shares no code with MPFR) -------

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
def f32(x):
    """x rounded to binary32 through struct (for values that are binary32 already, the identity)."""
    return struct.unpack("<f", struct.pack("<f", x))[0]


class Undecided(Exception):
    """The high-precision value lies too close to a float or a midpoint to decide anything."""


def mp_f32_report(op, x, bits=320, fmt=F32):
    """(rounded, distance_ulp, exact_above, exact) of op at the binary32 value x, from mpmath at
    `bits` bits, placed among the binary32 floats by the rational model; None when the result is not
    a finite binary32 number. Raises Undecided when the value cannot be told apart from a float or a
    midpoint at this precision. fmt=F64 places it among the binary64 floats instead."""
    with mpmath.workprec(bits):
        try:
            v = MP_FUNCTIONS[op](mpmath.mpf(x))
        except ZeroDivisionError:  # 1 / sqrt(0)
            return None
        if isinstance(v, mpmath.mpc) or not mpmath.isfinite(v):
            return None
        sign, man, exp, bc = mpmath.mpf(v)._mpf_
    if man and exp + bc > fmt.emax + 73:
        return None  # far beyond the format's range
    if man and exp + bc < fmt.emin - fmt.p - 450:
        raise Undecided(op, x)  # it rounds to a zero at distance 0.5 - 2^-450: only the side is left
    magnitude = Fraction(int(man)) * Fraction(2) ** int(exp)
    r = fmt.round(magnitude)
    if r is None:
        return None
    above = magnitude > r
    gap = fmt.gap_toward(r, above)
    mid = r + (gap if above else -gap) / 2
    slack = magnitude * Fraction(1, 2 ** (bits - fmt.p))
    if abs(magnitude - r) <= slack or abs(magnitude - mid) <= slack:
        raise Undecided(op, x)
    rounded = -float(r) if sign else float(r)
    return rounded, float(abs(magnitude - mid) / gap), above != bool(sign), False
