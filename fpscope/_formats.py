"""The float formats of the package: one `Format` object per format, and the float model written once
against it.

A `Format` holds a format's traits (precision, exponent range, width); every question of the float
model (stepping, the ordered view, spacing, distances, named values, ranges, rounding) is one method
that reads them, on the bit pattern held in a Python int. binary16 and bfloat16 are answered by these
methods; binary32 and binary64 are answered by the native core (`_CoreFormat`), so the two paths
agree there by construction. `resolve` turns every dtype name of the package into its format.

The scalar questions of the 16-bit formats make no inexact float operation, and their values are
normal binary64 numbers (a binary64 subnormal argument rounds to zero however it is read), so the
caller's float environment cannot change them. The methods that widen arrays (float32 and bfloat16
subnormals, which denormals-are-zero would read as zero) or round to any format run in the default
environment, as the rest of the package does.
"""
from __future__ import annotations

import importlib
import json
import math
import numbers
import operator
import struct
import sys
from collections.abc import Mapping
from decimal import Decimal
from fractions import Fraction
from typing import Any, Callable, Optional, Sequence, SupportsFloat, SupportsIndex, Union

from fpscope import _core
from fpscope._fenv import default_float_environment

_Float = Union[SupportsFloat, SupportsIndex]
# An exact value as the model holds it: a float (NaN, infinities and signed zeros included), an int
# or a Fraction.
_Exact = Union[float, int, Fraction]

ML_DTYPES_MISSING = "bfloat16 arrays need the ml_dtypes package: pip install 'fpscope[ml]'"


def _note(error: BaseException, name: str) -> BaseException:
    """``error`` with the note that names the argument whose conversion failed (Python 3.11 on)."""
    add_note = getattr(error, "add_note", None)
    if add_note is not None:
        add_note(f"while processing '{name}'")
    return error


def _exact(value: Any, name: str) -> _Exact:
    """The exact value of a float argument. Floats, ints, fractions and anything with an exact
    ``as_integer_ratio`` (Decimal, numpy floats, gmpy2) keep their value; other objects are read
    with ``__float__``. Strings are refused like the core refuses them."""
    if isinstance(value, float):
        return float(value)
    if isinstance(value, int):
        return int(value)
    if isinstance(value, Fraction):
        return value
    try:
        if isinstance(value, numbers.Rational):
            return Fraction(int(value.numerator), int(value.denominator))
        if hasattr(type(value), "__index__"):
            return operator.index(value)
        if not hasattr(type(value), "__float__"):
            raise TypeError(f"must be real number, not {type(value).__name__}")
        approx = float(value)
        ratio = getattr(value, "as_integer_ratio", None)
        if ratio is None or not math.isfinite(approx):
            return approx
        n, d = ratio()
        # A zero keeps its sign, which the ratio loses.
        return Fraction(int(n), int(d)) if n else approx
    except (TypeError, ValueError, OverflowError) as e:
        raise _note(e, name)


def _index(value: Any, name: str, lo: int, hi: int, message: Optional[str] = None) -> int:
    """An integer argument in [lo, hi]; OverflowError outside it."""
    try:
        n = operator.index(value)
        if not lo <= n <= hi:
            if message is None:
                message = "can't convert negative int to unsigned" if n < 0 else "int too big to convert"
            raise OverflowError(message)
        return n
    except (TypeError, OverflowError) as e:
        raise _note(e, name)


def _written(value: _Exact) -> str:
    """A bound as the error message of ``all_floats`` writes it: shortest digits, positional."""
    if isinstance(value, float):
        if math.isinf(value):
            return "inf" if value > 0 else "-inf"
        return format(Decimal(repr(value)).normalize(), "f")
    return str(value)


def _numpy() -> Any:
    import numpy

    return numpy


def _is_array(value: Any) -> bool:
    return isinstance(value, memoryview) or (hasattr(value, "dtype") and hasattr(value, "shape")
                                             and hasattr(value, "ravel"))


class Format:
    """An IEEE 754 binary format: ``precision`` significand bits (the leading bit counted), normal
    exponents from ``emin`` to ``emax``, ``bits`` wide, with subnormals, infinities and NaNs.

    Each method answers one question of the float model in this format, under the name and with
    the arguments of the core's function of that name, less ``dtype``. Float arguments are rounded
    to the format (to nearest, ties to even) from their exact value: a float, an int, a
    ``Fraction``, a ``Decimal`` or a numpy scalar. Results are Python floats, which hold every
    value of the format exactly. A NaN argument keeps its sign and the leading bits of its payload,
    and is quiet.
    """

    def __init__(self, name: str, precision: int, emin: int, emax: int, bits: int, numpy_name: str) -> None:
        exponent_bits = bits - precision
        if emax != (1 << (exponent_bits - 1)) - 1 or emin != 1 - emax:
            raise ValueError(f"no binary format has precision {precision}, exponents {emin} to {emax} "
                             f"and {bits} bits")
        self.name = name
        self.precision = precision
        self.emin = emin
        self.emax = emax
        self.bits = bits
        self.numpy_name = numpy_name
        self._sign = 1 << (bits - 1)
        self._magnitude = self._sign - 1
        self._fraction = (1 << (precision - 1)) - 1
        self._inf = ((1 << exponent_bits) - 1) << (precision - 1)
        self._quiet = 1 << (precision - 2)
        self._qmin = emin - precision + 1  # exponent of the smallest subnormal, 2**_qmin
        self._special: Optional[list[tuple[str, float]]] = None

    def __repr__(self) -> str:
        return (f"<format {self.name}: precision {self.precision}, exponents {self.emin} to {self.emax}, "
                f"{self.bits} bits>")

    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]:
        if NAMES.get(self.name) is self:  # the package's formats stay one object each
            return resolve, (self.name,)
        return type(self), (self.name, self.precision, self.emin, self.emax, self.bits, self.numpy_name)

    # --- bit patterns ----------------------------------------------------------------------------

    def _value(self, b: int) -> float:
        """The float of bit pattern ``b``; a NaN keeps its sign and payload, widened."""
        mag = b & self._magnitude
        if mag > self._inf:
            double = 0x7FF0000000000000 | ((mag & self._fraction) << (53 - self.precision))
            return float(struct.unpack("<d", struct.pack("<Q", double | (1 << 63 if b & self._sign else 0)))[0])
        if mag == self._inf:
            v = math.inf
        else:
            field = mag >> (self.precision - 1)
            significand = mag & self._fraction
            if field:
                significand |= 1 << (self.precision - 1)
            v = math.ldexp(significand, max(field, 1) - 1 + self._qmin)
        return -v if b & self._sign else v

    def _round(self, x: _Exact) -> int:
        """The bit pattern of ``x`` rounded to nearest, ties to even, in the format: past the
        largest finite value by half a spacing or more it is infinite; a NaN stays a NaN."""
        if isinstance(x, float):
            if x != x:
                double = int(struct.unpack("<Q", struct.pack("<d", x))[0])
                payload = (double & 0xFFFFFFFFFFFFF) >> (53 - self.precision)
                return (self._sign if double >> 63 else 0) | self._inf | self._quiet | payload
            negative = math.copysign(1.0, x) < 0
            if math.isinf(x):
                return (self._sign if negative else 0) | self._inf
            n, d = abs(x).as_integer_ratio()
        else:
            negative = x < 0
            n, d = abs(x.numerator), x.denominator
        sign = self._sign if negative else 0
        if n == 0:
            return sign
        e = n.bit_length() - d.bit_length()  # floor(log2(n/d)) is e or e - 1
        if (n << max(-e, 0)) < (d << max(e, 0)):
            e -= 1
        if e > self.emax:
            return sign | self._inf
        q = max(e, self.emin) - self.precision + 1  # the exponent of the spacing at x
        whole, rest = divmod(n << max(-q, 0), d << max(q, 0))
        twice = 2 * rest
        if twice > d << max(q, 0) or (twice == d << max(q, 0) and whole & 1):
            whole += 1
        # The pattern of whole * 2**q: the subnormals and every binade count up in steps of one,
        # and a carry to 2**precision lands on the next binade's first pattern (past the largest
        # binade, on the infinity).
        return sign | (((q - self._qmin) << (self.precision - 1)) + whole)

    def _bits(self, value: Any, name: str) -> int:
        return self._round(_exact(value, name))

    def _ordered(self, b: int) -> int:
        """The ordered value of pattern ``b``: both zeros map to 0, adjacent floats 1 apart."""
        return -(b & self._magnitude) if b & self._sign else b

    def _from_ordered(self, k: int) -> int:
        return k if k >= 0 else self._sign | -k

    def _is_nan(self, b: int) -> bool:
        return (b & self._magnitude) > self._inf

    # --- the float model -------------------------------------------------------------------------

    def ordered(self, x: _Float) -> int:
        """Monotone integer view of x (-0.0 and +0.0 both map to 0)."""
        return self._ordered(self._bits(x, "x"))

    def next_up(self, x: _Float) -> float:
        """The next float above x: +0.0 and -0.0 step to the smallest subnormal, the largest
        finite value to inf, -inf to minus the largest finite value; inf and NaN stay."""
        b = self._bits(x, "x")
        mag = b & self._magnitude
        if mag > self._inf or b == self._inf:
            return self._value(b)
        if mag == 0:
            return self._value(1)
        return self._value(b - 1 if b & self._sign else b + 1)

    def next_down(self, x: _Float) -> float:
        """The next float below x: the mirror image of `next_up` (next_down(x) == -next_up(-x))."""
        b = self._bits(x, "x")
        mag = b & self._magnitude
        if mag > self._inf or b == self._sign | self._inf:
            return self._value(b)
        if mag == 0:
            return self._value(self._sign | 1)
        return self._value(b + 1 if b & self._sign else b - 1)

    def spacing(self, x: _Float) -> float:
        """Spacing between ``|x|`` and the next larger float; at the largest finite value the spacing
        below it, and NaN for inf and NaN."""
        a = self._bits(x, "x") & self._magnitude
        if a >= self._inf:
            return math.nan
        if a == self._inf - 1:
            a -= 1
        return self._value(a + 1) - self._value(a)

    def ulp_distance(self, a: _Float, b: _Float) -> Optional[int]:
        """Number of representable floats between a and b, None if either is NaN."""
        ba, bb = self._bits(a, "a"), self._bits(b, "b")
        if self._is_nan(ba) or self._is_nan(bb):
            return None
        return abs(self._ordered(ba) - self._ordered(bb))

    @default_float_environment
    def ulp_distances(self, a: Any, b: Any) -> list[Optional[int]]:
        """Elementwise `ulp_distance` over two equally long sequences, or two arrays of the same
        shape (taken in row-major order; the answer is one flat list). An array of the format is
        read as it is; other float arrays and sequences are rounded to the format element by
        element."""
        pa, shape_a = self._patterns(a, "a")
        pb, shape_b = self._patterns(b, "b")
        if shape_a is not None and shape_b is not None and shape_a != shape_b:
            raise ValueError(f"shape mismatch: {shape_a} vs {shape_b}")
        if len(pa) != len(pb):
            raise ValueError(f"length mismatch: {len(pa)} vs {len(pb)}")
        if isinstance(pa, list) and isinstance(pb, list):
            return [None if self._is_nan(x) or self._is_nan(y) else abs(self._ordered(x) - self._ordered(y))
                    for x, y in zip(pa, pb)]
        np = _numpy()
        oa, nan_a = self._ordered_array(np.asarray(pa, dtype=np.int64))
        ob, nan_b = self._ordered_array(np.asarray(pb, dtype=np.int64))
        distances: list[Optional[int]] = np.abs(oa - ob).tolist()
        for i in np.flatnonzero(nan_a | nan_b).tolist():
            distances[i] = None
        return distances

    def special(self) -> list[tuple[str, float]]:
        """Named edge values of the format as (name, value) pairs, by the names of the core's
        ``special``; the searched entries come from this format's own arithmetic."""
        if self._special is None:
            self._special = self._special_table()
        return list(self._special)

    def neighbours(self, x: _Float, k: SupportsIndex = 1) -> list[float]:
        """The k floats below x, x, and the k floats above it (finite only, ascending)."""
        b = self._bits(x, "x")
        k = _index(k, "k", 0, 2**32 - 1, "out of range integral type conversion attempted")
        if (b & self._magnitude) >= self._inf:
            return [self._value(b)]
        o, top = self._ordered(b), self._inf - 1
        return [self._value(self._from_ordered(i)) for i in range(max(o - k, -top), min(o + k, top) + 1)]

    def binade_edges(self, min_exp: SupportsIndex, max_exp: SupportsIndex) -> list[float]:
        """For each exponent e in [min_exp, max_exp]: the float just below ``2**e`` and ``2**e``. Exponents
        outside the normal range of the format are left out."""
        message = "out of range integral type conversion attempted"
        lo = max(_index(min_exp, "min_exp", -2**31, 2**31 - 1, message), self.emin)
        hi = min(_index(max_exp, "max_exp", -2**31, 2**31 - 1, message), self.emax)
        edges = []
        for e in range(lo, hi + 1):
            power = (e + self.emax) << (self.precision - 1)
            edges += [self._value(power - 1), self._value(power)]
        return edges

    def all_floats(self, lo: _Float, hi: _Float, limit: SupportsIndex = 1000000) -> list[float]:
        """Every float in [lo, hi], ascending. Errors if there are more than `limit`."""
        lo_exact, hi_exact = _exact(lo, "lo"), _exact(hi, "hi")
        n = _index(limit, "limit", 0, 2**64 - 1)
        bl, bh = self._round(lo_exact), self._round(hi_exact)
        if not self._value(bh) >= self._value(bl):
            return []
        first, last = self._ordered(bl), self._ordered(bh)
        if last - first + 1 > n:
            raise ValueError(f"more than {n} floats in [{_written(lo_exact)}, {_written(hi_exact)}], "
                             "raise limit or narrow the range")
        return [self._value(self._from_ordered(i)) for i in range(first, last + 1)]

    @default_float_environment
    def round_to(self, value: Any) -> float:
        """``value`` rounded to the format, to nearest with ties to even, from its exact value:
        a float, an int, a ``Fraction`` or anything with an exact ``as_integer_ratio`` (gmpy2's
        ``mpq`` and ``mpfr`` included). Subnormals are kept; magnitudes from the largest finite
        value plus half its spacing on become infinities."""
        return self._value(self._bits(value, "value"))

    # --- arrays ----------------------------------------------------------------------------------

    def numpy_dtype(self) -> Any:
        """The numpy dtype of the format; bfloat16 needs the ``ml_dtypes`` package (ImportError
        saying what to install without it)."""
        np = _numpy()
        if self.numpy_name == "bfloat16":
            try:  # by name: the optional package need not be there for type checkers either
                ml_dtypes = importlib.import_module("ml_dtypes")
            except ImportError:
                raise ImportError(ML_DTYPES_MISSING) from None
            return np.dtype(ml_dtypes.bfloat16)
        return np.dtype(self.numpy_name)

    @default_float_environment
    def array(self, values: Any) -> Any:
        """A numpy array of the format holding ``values`` (a sequence or an array of any shape),
        each rounded to the format from its exact value."""
        np = _numpy()
        dtype = self.numpy_dtype()
        if not _is_array(values) and isinstance(values, Sequence) and not isinstance(values, (str, bytes, bytearray)):
            values = np.array(values, dtype=object)  # nested sequences give the shape
        patterns, shape = self._patterns(values, "values")
        unsigned = np.dtype(f"uint{self.bits}")
        out = np.asarray(patterns, dtype=np.uint64).astype(unsigned).view(dtype)
        return out.reshape(shape if shape is not None else (len(patterns),))

    def _patterns(self, value: Any, name: str) -> tuple[Any, Optional[tuple[int, ...]]]:
        """The bit patterns of the elements of an array (a numpy array in row-major order, with the
        array's shape) or of a sequence (a list of ints, shape None)."""
        if isinstance(value, (str, bytes, bytearray)) or isinstance(value, Mapping):
            raise _note(TypeError(f"{name} must be a sequence or an array of floats, "
                                  f"not {type(value).__name__}"), name)
        if isinstance(value, memoryview) and sys.modules.get("numpy") is None:
            # Without numpy loaded, a memoryview is read as nested lists rather than loading it.
            shape = tuple(value.shape or ())
            if not shape:
                raise _note(TypeError(f"{name} must be a sequence or an array of floats, not a "
                                      "zero-dimensional memoryview"), name)
            items: list[Any] = value.tolist()
            for _ in shape[1:]:
                items = [v for row in items for v in row]
            return [self._bits(v, name) for v in items], shape
        if _is_array(value):
            np = _numpy()
            array = np.asarray(value)
            if array.ndim == 0:
                raise _note(TypeError(f"{name} must be a sequence or an array of floats, not a "
                                      "zero-dimensional array"), name)
            shape = tuple(int(n) for n in array.shape)
            if format_of(array) is self and array.dtype.isnative:  # patterns in the machine's byte order
                return array.view(f"uint{self.bits}").ravel().astype(np.uint64), shape
            widens = array.dtype.name == "bfloat16" or (array.dtype.kind == "f" and array.dtype.itemsize <= 8)
            if widens:  # every such float is a binary64 value
                return self._round_float64(array.astype(np.float64).ravel()), shape
            return np.asarray([self._bits(v, name) for v in array.ravel().tolist()], dtype=np.uint64), shape
        if isinstance(value, Sequence) or hasattr(value, "__len__") and hasattr(value, "__getitem__"):
            return [self._bits(v, name) for v in value], None
        raise _note(TypeError(f"{name} must be a sequence or an array of floats, not {type(value).__name__}"),
                    name)

    def _round_float64(self, x: Any) -> Any:
        """The bit patterns (uint64) of a float64 array rounded to the format: `_round` vectorised."""
        np = _numpy()
        raw = np.ascontiguousarray(x, dtype=np.float64).view(np.uint64)
        if self.precision >= 53:
            return raw
        negative = (raw >> np.uint64(63)) != 0
        field = ((raw >> np.uint64(52)) & np.uint64(0x7FF)).astype(np.int64)
        fraction = (raw & np.uint64(0xFFFFFFFFFFFFF)).astype(np.int64)
        significand = np.where(field > 0, fraction | (1 << 52), fraction)  # times 2**(max(field, 1) - 1075)
        # A binary64 subnormal is far below every format's smallest subnormal: its exponent -1022
        # gives the same spacing as its own.
        q = np.maximum(field.clip(1, None) - 1023, self.emin) - (self.precision - 1)
        shift = np.minimum(q - (field.clip(1, None) - 1075), 62)  # 53 - precision or more
        whole = significand >> shift
        rest = significand & ((1 << shift) - 1)
        half = 1 << (shift - 1)
        whole += (rest > half) | ((rest == half) & ((whole & 1) == 1))
        pattern = np.minimum(((q - self._qmin) << (self.precision - 1)) + whole, self._inf)
        nan = self._inf | self._quiet | (fraction >> (53 - self.precision))
        pattern = np.where(field == 0x7FF, np.where(fraction == 0, self._inf, nan), pattern)
        return (pattern | np.where(negative, self._sign, 0)).astype(np.uint64)

    def _ordered_array(self, patterns: Any) -> tuple[Any, Any]:
        """The ordered values (int64) of an int64 array of patterns of at most 32 bits, and where
        the patterns are NaNs."""
        np = _numpy()
        magnitude = patterns & self._magnitude
        return np.where(patterns & self._sign, -magnitude, magnitude), magnitude > self._inf

    # --- named values ----------------------------------------------------------------------------

    def _search(self, lo: int, hi: int, holds: Callable[[int], bool]) -> int:
        """The last pattern in [lo, hi) for which ``holds`` is true (true at lo, false at hi, and
        false from some pattern on)."""
        while hi - lo > 1:
            mid = lo + (hi - lo) // 2
            if holds(mid):
                lo = mid
            else:
                hi = mid
        return lo

    def _special_table(self) -> list[tuple[str, float]]:
        one = self._round(1)
        min_normal = 1 << (self.precision - 1)
        largest = self._inf - 1

        def exact(b: int) -> Fraction:
            return Fraction(self._value(b))

        def square(b: int) -> int:  # x*x in the format's arithmetic: exact, then rounded once
            return self._round(exact(b) ** 2)

        underflows = self._search(1, one, lambda b: square(b) == 0)
        subnormal = self._search(underflows + 1, one, lambda b: square(b) < min_normal)
        finite = self._search(one, largest, lambda b: square(b) < self._inf)
        sqrt_max = self._search(one, largest, lambda b: exact(b) ** 2 <= exact(largest))
        reciprocal = self._search(1, one, lambda b: self._round(1 / exact(b)) == self._inf)
        s = self._sign
        # math.e and math.pi are within 2**-51 of e and pi, and no rounding boundary of a format
        # of up to 24 bits lies that close to either: they round as e and pi do.
        patterns = {
            "zero": 0, "neg_zero": s, "min_subnormal": 1, "neg_min_subnormal": s | 1,
            "max_subnormal": min_normal - 1, "min_normal": min_normal, "neg_min_normal": s | min_normal,
            "reciprocal_overflows": reciprocal, "square_underflows_to_zero": underflows,
            "square_is_subnormal": subnormal, "tenth": self._round(Fraction(1, 10)),
            "third": self._round(Fraction(1, 3)), "half": self._round(Fraction(1, 2)),
            "one_minus_ulp": one - 1, "one": one, "one_plus_ulp": one + 1, "neg_one": s | one,
            "two": self._round(2), "e": self._round(math.e), "pi": self._round(math.pi),
            "integer_limit": self._round(2**self.precision), "sqrt_max": sqrt_max,
            "square_just_finite": finite, "square_overflows": finite + 1, "max": largest,
            "neg_max": s | largest, "inf": self._inf, "neg_inf": s | self._inf,
            "nan": self._inf | self._quiet,
        }
        # The names and their order are the core's.
        return [(name, self._value(patterns[name])) for name, _ in _core.special("f32")]


class _CoreFormat(Format):
    """binary32 or binary64: the float model is the core's, under this format's dtype name."""

    def ordered(self, x: _Float) -> int:
        return _core.ordered(x, self.name)

    def next_up(self, x: _Float) -> float:
        return _core.next_up(x, self.name)

    def next_down(self, x: _Float) -> float:
        return _core.next_down(x, self.name)

    def spacing(self, x: _Float) -> float:
        return _core.spacing(x, self.name)

    def ulp_distance(self, a: _Float, b: _Float) -> Optional[int]:
        return _core.ulp_distance(a, b, self.name)

    @default_float_environment
    def ulp_distances(self, a: Any, b: Any) -> list[Optional[int]]:
        if _is_array(a) and _is_array(b):
            np = _numpy()
            shape_a, shape_b = np.shape(a), np.shape(b)
            if shape_a != shape_b:
                raise ValueError(f"shape mismatch: {shape_a} vs {shape_b}")
        return _core.ulp_distances(self._floats(a), self._floats(b), self.name)

    def special(self) -> list[tuple[str, float]]:
        return _core.special(self.name)

    def neighbours(self, x: _Float, k: SupportsIndex = 1) -> list[float]:
        return _core.neighbours(x, k, self.name)

    def binade_edges(self, min_exp: SupportsIndex, max_exp: SupportsIndex) -> list[float]:
        return _core.binade_edges(min_exp, max_exp, self.name)

    def all_floats(self, lo: _Float, hi: _Float, limit: SupportsIndex = 1000000) -> list[float]:
        return _core.all_floats(lo, hi, self.name, limit)

    @staticmethod
    def _floats(value: Any) -> Any:
        """An array as the flat list of its values (any float array of up to 64 bits widens to
        binary64 exactly); anything else as it is, for the core to take or refuse."""
        if not _is_array(value):
            return value
        np = _numpy()
        array = np.asarray(value)
        if array.ndim and (array.dtype.name == "bfloat16" or array.dtype.kind == "f" and array.dtype.itemsize <= 8):
            return array.astype(np.float64).ravel().tolist()
        return array.ravel().tolist() if array.ndim else value


F16 = Format("f16", 11, -14, 15, 16, "float16")
BF16 = Format("bf16", 8, -126, 127, 16, "bfloat16")
F32 = _CoreFormat("f32", 24, -126, 127, 32, "float32")
F64 = _CoreFormat("f64", 53, -1022, 1023, 64, "float64")

# The dtype names of the package: the core's six, and those of the 16-bit formats.
NAMES = {
    "f32": F32, "float": F32, "float32": F32,
    "f64": F64, "double": F64, "float64": F64,
    "f16": F16, "float16": F16, "half": F16,
    "bf16": BF16, "bfloat16": BF16,
}
_BY_NUMPY_NAME = {f.numpy_name: f for f in (F16, BF16, F32, F64)}
_CORE_HEAD, _CORE_TAIL = "unsupported dtype ", ": use 'f32' or 'f64'"


def _quoted(text: str) -> str:
    """``text`` as the core shows a dtype string in its messages (quoted, control and invisible
    characters escaped): taken from the core's own message, so the two cannot differ."""
    try:
        _core.ordered(0.0, text)
    except ValueError as e:
        message = str(e)
        if message.startswith(_CORE_HEAD) and message.endswith(_CORE_TAIL):
            return message[len(_CORE_HEAD):-len(_CORE_TAIL)]
    except Exception:  # a string the core cannot take at all (a lone surrogate)
        pass
    return json.dumps(text)


def _unsupported(shown: str) -> ValueError:
    return ValueError(f"unsupported dtype {shown}: use 'f32', 'f64', 'f16' or 'bf16'")


def resolve(dtype: Any) -> Format:
    """The format of a dtype: a name ("f32", "float32", "float"; "f64", "float64", "double";
    "f16", "float16", "half"; "bf16", "bfloat16"), a numpy dtype or scalar type of one of the four
    formats, or a `Format`. Anything else is a ValueError naming the four formats."""
    if isinstance(dtype, Format):
        return dtype
    if isinstance(dtype, str):
        found = NAMES.get(dtype)
        if found is None:
            raise _unsupported(_quoted(dtype))
        return found
    np = sys.modules.get("numpy")  # a numpy dtype exists only once numpy is loaded
    if np is not None and dtype is not None:
        try:
            name = np.dtype(dtype).name
        except (TypeError, ValueError):
            pass
        else:
            found = _BY_NUMPY_NAME.get(name)
            if found is None:
                raise _unsupported(_quoted(name))
            return found
    raise _unsupported(repr(dtype))


def round_to(fmt: Any, value: Any) -> float:
    """``value`` rounded to the format ``fmt`` (a `Format` or a dtype name), to nearest with ties
    to even, from its exact value; see `Format.round_to`."""
    return resolve(fmt).round_to(value)


def format_of(value: Any) -> Optional[Format]:
    """The format of a numpy array or scalar of float16, bfloat16, float32 or float64, or of a
    memoryview of C halves, floats or doubles; None for anything else."""
    if isinstance(value, memoryview):
        return {"e": F16, "f": F32, "d": F64}.get(value.format.lstrip("@=<>!"))
    name = getattr(getattr(value, "dtype", None), "name", None)
    return _BY_NUMPY_NAME.get(name) if isinstance(name, str) else None
