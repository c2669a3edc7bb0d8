"""Small float helpers shared by the package: the dtype test, the ordered view's inverse, text forms."""
from __future__ import annotations

import struct

from fpscope._core import ordered


def is_f32(dtype: str) -> bool:
    """Whether the core reads ``dtype`` as binary32; raises the core's ValueError for a bad one."""
    return ordered(1.0, dtype) == 0x3F800000


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
