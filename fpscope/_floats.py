"""Small float helpers shared by the package: the dtype test, the ordered view's inverse, text forms,
and the exact model of the formats in rationals."""
from __future__ import annotations

import struct
from fractions import Fraction
from typing import NamedTuple, Optional

from fpscope._core import _FORMATS, ordered

# The answers of the core for the dtype names it accepted, by name: the test runs once per name.
_F32_BY_NAME: dict[str, bool] = {}


def is_f32(dtype: str) -> bool:
    """Whether the core reads ``dtype`` as binary32; raises the core's ValueError for a bad one."""
    if type(dtype) is str:
        known = _F32_BY_NAME.get(dtype)
        if known is not None:
            return known
    f32 = ordered(1.0, dtype) == 0x3F800000
    if type(dtype) is str:  # only names the core accepts get here, so the dict stays small
        _F32_BY_NAME[dtype] = f32
    return f32


def from_ordered(k: int, f32: bool) -> float:
    """The float of ordered value ``k`` (``0`` gives +0.0), widened to a Python float."""
    if f32:
        return float(struct.unpack("<f", struct.pack("<I", k if k >= 0 else 0x80000000 | -k))[0])
    return float(struct.unpack("<d", struct.pack("<Q", k if k >= 0 else 0x8000000000000000 | -k))[0])


def bits(value: float, f32: bool) -> int:
    """The bit pattern of ``value`` in the format (``value`` must be representable in it)."""
    if f32:
        return int(struct.unpack("<I", struct.pack("<f", value))[0])
    return int(struct.unpack("<Q", struct.pack("<d", value))[0])


def hexfloat(value: float) -> str:
    """C99 hexadecimal notation without trailing zero digits: ``0x1.8p+1``, ``0x1p-149``, ``-0x0p+0``."""
    text = value.hex()
    if "p" not in text:
        return text  # inf, -inf, nan
    mantissa, exponent = text.split("p")
    if "." in mantissa:
        mantissa = mantissa.rstrip("0").rstrip(".")
    return f"{mantissa}p{exponent}"


def parse_float(text: str) -> float:
    """A float written in decimal (``1.5``, ``-0.0``, ``1e-3``, ``inf``, ``nan``) or C99 hex (``0x1.8p+1``)."""
    s = text.strip()
    try:
        return float(s)
    except ValueError:
        pass
    # Hex only with its 0x prefix: float.fromhex would also read bare digits, so "abc" would be 2748.
    if s.lstrip("+-")[:2].lower() == "0x":
        try:
            return float.fromhex(s)
        except (ValueError, OverflowError):
            pass
    raise ValueError(f"not a float: {text.strip()!r} (write decimal like 1.5, -0.0, inf, "
                     "or C99 hex like 0x1.8p+1)")


def to_format(value: float, f32: bool) -> float:
    """``value`` rounded to the format (to nearest, ties to even; binary64 values pass unchanged)."""
    if not f32 or value != value or value == 0:
        return value
    return from_ordered(ordered(value, "f32"), True)


# ---------------------------------------------------------------- the formats in rationals

def floor_log2(q: Fraction) -> int:
    """floor(log2(q)) for a rational q > 0."""
    n, d = q.numerator, q.denominator
    e = n.bit_length() - d.bit_length()
    if (n << max(-e, 0)) < (d << max(e, 0)):
        e -= 1
    return e


def pow2(e: int) -> Fraction:
    """2^e exactly, for any integer e."""
    return Fraction(1 << e) if e >= 0 else Fraction(1, 1 << -e)


class BinaryFormat(NamedTuple):
    """A binary floating-point format as exact rationals: ``precision`` significand bits (the hidden
    bit included), normal exponents from ``min_exponent`` to ``max_exponent``, subnormals below.
    Magnitudes only: signs are the caller's."""

    precision: int
    min_exponent: int  # of the smallest normal
    max_exponent: int  # of the largest finite

    def quantum_exponent(self, magnitude: Fraction) -> int:
        """The exponent of the spacing of the floats at ``magnitude`` (>= 0), subnormals and zero included."""
        e = max(floor_log2(magnitude), self.min_exponent) if magnitude else self.min_exponent
        return e - (self.precision - 1)

    def quantum(self, magnitude: Fraction) -> Fraction:
        """The spacing of the floats at ``magnitude`` (>= 0): 2^quantum_exponent."""
        return pow2(self.quantum_exponent(magnitude))

    def round(self, magnitude: Fraction) -> Optional[Fraction]:
        """``magnitude`` (>= 0) rounded to the nearest float, ties to even; None when it rounds to infinity."""
        if magnitude == 0:
            return magnitude
        k = self.quantum_exponent(magnitude)
        scaled = magnitude / pow2(k)
        m = scaled.numerator // scaled.denominator
        rest = scaled - m
        if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and m % 2 == 1):
            m += 1
        rounded = m * pow2(k)
        return None if rounded >= pow2(self.max_exponent + 1) else rounded

    def gap(self, r: Fraction, up: bool) -> Fraction:
        """The distance from the float ``r`` (>= 0) to the next float larger (``up``) or smaller in
        magnitude. Below a power of two the spacing halves (but not below the smallest normal); past
        the largest finite float the spacing below it continues."""
        k = self.quantum_exponent(r)
        if not up and r and r == pow2(floor_log2(r)) and floor_log2(r) > self.min_exponent:
            k -= 1
        return pow2(k)


# Binary32 and binary64.


def _model_of(dtype: str) -> BinaryFormat:
    constants = _FORMATS[dtype]
    return BinaryFormat(constants["precision"], constants["emin"], constants["emax"])


F32 = _model_of("f32")
F64 = _model_of("f64")
