"""Certified accuracy audits: how far an implementation's answers are from the exact results.

``audit`` feeds an implementation chunks of inputs (about 2^20 each), and the core judges every answer
against the exact result: correctly rounded or not, its error in ulps of the exact result's binade, and
the special mismatches (NaN, infinities, signs of zero). The core decides from the binary64 value of the
operation wherever an error below ``fpscope._certify.MARGIN`` cannot change the outcome and hands back
the few inputs where it could; ``fpscope._truth`` decides those with MPFR. Binary64 answers are judged
by ``fpscope._truth`` alone, from one MPFR evaluation per input. Chunks run in the calling thread, on
threads or on any executor, and are merged by their index, so the answer is the same on every engine.
"""
from __future__ import annotations

import concurrent.futures as cf
import ctypes
import math
import operator
import struct
import threading
from dataclasses import asdict, dataclass, field
from typing import Any, Callable, Optional, Sequence, Union

from fpscope import _certify, _core, _mathlib, _truth
from fpscope._fenv import default_float_environment
from fpscope._floats import from_ordered, hexfloat, is_f32
from fpscope._formats import resolve
from fpscope._progress import ProgressArg, make_reporter
from fpscope._scan import InlineExecutor, _Sigint, is_remote, make_executor, parallelism

_truth.set_private_rules(_mathlib.exact_point, _mathlib._bounds)

CHUNK = 1 << 20
REMOTE_CHUNK = 1 << 23
EXAMPLES = 16
POLL_SECONDS = 0.1
ALL_F32 = 4_278_190_082  # non-NaN binary32 values, both infinities included
# The operations of two arguments, audited on pairs (x, y): atan2(x, y) is C's, the angle of the point (y, x).
PAIR_OPS = ("div", "hypot", "atan2", "pow")


def _np() -> Any:
    import numpy  # imported when an audit runs: `import fpscope` stays free of numpy

    return numpy


# ---------------------------------------------------------------- the result

@dataclass(frozen=True)
class Audit:
    """The accuracy of an implementation of ``op`` over the audited inputs.

    ``inputs == correctly_rounded + misrounded + special_mismatches``. Errors are in ulps of the exact
    result's binade, to within 1e-6. ``special_examples``: (x, y, expected) of the first special
    mismatches in input order. ``histogram``: (low, high, count) rows of the errors of the inputs that
    are not special mismatches: exactly 0, (0, 0.5], (0.5, 1], (1, 2], ... (2^19, 2^20], beyond.
    ``worst``: (x, y, correct value, error), largest first, ties to the lowest input. ``per_binade``:
    (sign, exponent, max error) for each binade of the input that was audited; exponent -127 holds
    the zeros and subnormals, 128 the infinities. For the operations of two arguments (``div``, ``hypot``,
    ``atan2``, ``pow``) an input x is the pair (x, y), ties go to the lowest x, then the lowest y, and the
    binades are those of x.
    """

    op: str
    dtype: str
    impl: str
    inputs: int
    exhaustive: bool
    complete: bool
    max_error: float
    max_error_x: Optional[Any]
    correctly_rounded: int
    misrounded: int
    special_mismatches: int
    special_examples: list[tuple[Any, float, float]] = field(default_factory=list)
    histogram: list[tuple[float, float, int]] = field(default_factory=list)
    worst: list[tuple[Any, float, float, float]] = field(default_factory=list)
    per_binade: list[tuple[int, int, float]] = field(default_factory=list)

    def to_dict(self) -> dict[str, Any]:
        """The fields as plain JSON-ready values (lists for tuples; non-finite floats stay floats)."""
        def plain(v: Any) -> Any:
            if isinstance(v, (list, tuple)):
                return [plain(i) for i in v]
            return v
        return {k: plain(v) for k, v in asdict(self).items()}


class AuditInterrupted(KeyboardInterrupt):
    """Ctrl-C arrived during :func:`audit`; ``partial`` is the audit of the inputs done so far
    (a prefix of them, ``complete=False``)."""

    def __init__(self, partial: Audit) -> None:
        super().__init__(partial)
        self.partial = partial

    def __str__(self) -> str:
        return f"audit interrupted after {self.partial.inputs} inputs"


# ---------------------------------------------------------------- implementations

class NativeFunction:
    """A C function ``float f(float)`` (or ``double f(double)``; ``float f(float, float)`` for an operation of
    two) called from the core in a loop."""

    def __init__(self, address: int, dtype: str, description: str,
                 source: Optional[tuple[str, str]] = None, keep: Any = None) -> None:
        self.address, self.dtype, self.description, self.source, self._keep = address, dtype, description, source, keep

    def __reduce__(self) -> Any:
        if self.source is None:
            raise TypeError("a ctypes function pointer cannot be sent to another process; "
                            "use fpscope.native(library, symbol) instead")
        return native, (self.source[0], self.source[1], self.dtype)

    def __repr__(self) -> str:
        return f"<native {self.description}>"


def native(library: str, symbol: str, dtype: str = "f32") -> NativeFunction:
    """The C function ``symbol`` of the shared library ``library`` (a path, or a name the dynamic
    loader finds such as ``libm.so.6``) as an audit implementation: ``float symbol(float)`` for
    binary32, ``double symbol(double)`` for binary64, and for an operation of two arguments (``div``,
    ``hypot``, ``atan2``, ``pow``) ``float symbol(float, float)`` or ``double symbol(double, double)``.
    The core calls it in a loop with the interpreter lock released. ValueError when the library or the
    symbol cannot be found."""
    f32 = is_f32(dtype)
    try:
        handle = ctypes.CDLL(library)
    except OSError as e:
        raise ValueError(f"cannot open shared library {library!r}: {e}") from None
    try:
        fn = getattr(handle, symbol)
    except AttributeError:
        raise ValueError(f"no symbol {symbol!r} in shared library {library!r}") from None
    address = ctypes.cast(fn, ctypes.c_void_p).value
    if not address:
        raise ValueError(f"symbol {symbol!r} in {library!r} has a null address")
    return NativeFunction(address, "f32" if f32 else "f64", f"{library}:{symbol}", (library, symbol), handle)


def _from_ctypes(fn: Any, f32: bool, operands: int = 1) -> NativeFunction:
    scalar = ctypes.c_float if f32 else ctypes.c_double
    if fn.restype is not scalar or list(fn.argtypes or ()) != [scalar] * operands:
        name = "c_float" if f32 else "c_double"
        raise TypeError(f"a ctypes function for a {'binary32' if f32 else 'binary64'} audit must have "
                        f"restype {name} and argtypes [{', '.join([name] * operands)}]")
    address = ctypes.cast(fn, ctypes.c_void_p).value
    if not address:
        raise ValueError("the ctypes function pointer is null")
    return NativeFunction(address, "f32" if f32 else "f64", getattr(fn, "__name__", "ctypes function"), keep=fn)


def _describe(impl: Any) -> str:
    name = getattr(impl, "__name__", None) or type(impl).__name__
    module = getattr(impl, "__module__", None) or ""
    if type(impl).__name__ == "ufunc":
        return f"numpy.{name}"
    return f"{module}.{name}" if module and module != "builtins" else name


def _probe_array(impl: Callable[..., Any], dtype: Any, operands: int = 1) -> bool:
    """Whether ``impl`` takes whole arrays: it answers small ones with an array."""
    np = _np()
    try:
        with np.errstate(all="ignore"):
            out = impl(*[np.array([1.0, 2.0], dtype=dtype)] * operands)
    except Exception:  # a function of one float fails on an array in its own way
        return False
    return isinstance(out, np.ndarray) and out.ndim >= 1


class _Impl:
    """What a chunk needs: ``evaluate(xs) -> ys``, both arrays of the format's dtype.

    Chunks of one audit reuse their arrays, one set per thread: fresh arrays of a few megabytes come
    from the operating system zeroed, page by page, which costs as much as judging them. ``into``: the
    implementation is a ufunc of one argument that answers in the format's dtype, given the output array.
    """

    kind: str

    def __init__(self, fn: Any, kind: str, description: str, into: bool = False, operands: int = 1) -> None:
        self.fn, self.kind, self.description, self.into, self.operands = fn, kind, description, into, operands
        self._scratch = threading.local()

    def __getstate__(self) -> dict[str, Any]:
        return {k: v for k, v in self.__dict__.items() if k != "_scratch"}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
        self._scratch = threading.local()

    def scratch(self, name: str, n: int, dtype: Any) -> Any:
        """An array of n values of dtype, this thread's own, reused by the next chunk."""
        np = _np()
        have = getattr(self._scratch, name, None)
        if have is None or len(have) < n or have.dtype != dtype:
            have = np.empty(max(n, CHUNK), dtype=dtype)
            setattr(self._scratch, name, have)
        return have[:n]

    def evaluate(self, xs: Any, f32: bool, *more: Any) -> Any:
        """The answers at xs (and the second operands ``more`` of an operation of two)."""
        np = _np()
        dtype = np.float32 if f32 else np.float64
        if self.kind == "native":
            ys = self.scratch("y", len(xs), dtype)
            _core._audit_call(self.fn.address, xs.ctypes.data, ys.ctypes.data, len(xs), "f32" if f32 else "f64",
                              more[0].ctypes.data if more else 0)
            return ys
        if self.kind == "array":
            with np.errstate(all="ignore"):  # NaN and overflow are answers here, not incidents
                out = self.fn(xs, *more, out=self.scratch("y", len(xs), dtype)) if self.into else self.fn(xs, *more)
            if not isinstance(out, np.ndarray):
                try:
                    out = np.asarray(out)
                except Exception:
                    raise TypeError(f"{self.description} returned {type(out).__name__}, not an array") from None
            if out.shape != xs.shape:
                raise ValueError(f"{self.description} returned an array of shape {out.shape} for an input of "
                                 f"shape {xs.shape}")
            if out.dtype != dtype:
                raise TypeError(f"{self.description} returned {out.dtype} values for {np.dtype(dtype)} inputs")
            return np.ascontiguousarray(out)
        out = self.scratch("y", len(xs), dtype)
        for i, args in enumerate(zip(xs.tolist(), *(m.tolist() for m in more))):
            out[i] = float(self.fn(*args))  # a binary64 answer rounds to the format, to nearest
        return out


def _resolve(impl: Any, f32: bool, pairs: Optional[str] = None) -> _Impl:
    np = _np()
    if isinstance(impl, NativeFunction):
        if is_f32(impl.dtype) != f32:
            raise ValueError(f"{impl.description} was opened for dtype={impl.dtype!r}")
        return _Impl(impl, "native", impl.description, operands=2 if pairs else 1)
    if isinstance(impl, ctypes._CFuncPtr):  # type: ignore[attr-defined]
        fn = _from_ctypes(impl, f32, 2 if pairs else 1)
        return _Impl(fn, "native", fn.description, operands=2 if pairs else 1)
    if pairs:
        return _resolve_pairs(impl, f32, pairs)
    if not callable(impl):
        raise TypeError(f"impl must be an array function, a callable of one float or fpscope.native(...), "
                        f"not {type(impl).__name__}")
    description = _describe(impl)
    dtype = np.float32 if f32 else np.float64
    if isinstance(impl, np.ufunc):
        into = impl.nin == 1 and impl.nout == 1 and _probe_dtype(impl, dtype) == dtype
        return _Impl(impl, "array", description, into)
    if _probe_array(impl, dtype):
        return _Impl(impl, "array", description)
    return _Impl(impl, "scalar", description)


def _resolve_pairs(impl: Any, f32: bool, op: str) -> _Impl:
    """An implementation of ``op``, an operation of two operands: an array function of two arrays (a ufunc
    such as numpy.divide among them), or a callable of two floats."""
    np = _np()
    if not callable(impl):
        raise TypeError(f"audits of {op} take an array function of two arrays, a callable of two floats or "
                        f"fpscope.native(...), not {type(impl).__name__}")
    description = _describe(impl)
    dtype = np.float32 if f32 else np.float64
    if isinstance(impl, np.ufunc):
        into = impl.nin == 2 and impl.nout == 1 and _probe_dtype(impl, dtype, 2) == dtype
        return _Impl(impl, "array", description, into, 2)
    if _probe_array(impl, dtype, 2):
        return _Impl(impl, "array", description, operands=2)
    return _Impl(impl, "scalar", description, operands=2)


def _probe_dtype(ufunc: Any, dtype: Any, operands: int = 1) -> Any:
    np = _np()
    try:
        with np.errstate(all="ignore"):
            return ufunc(*[np.ones(2, dtype=dtype)] * operands).dtype
    except Exception:  # it fails on the chunks too, where the error is reported
        return None


# ---------------------------------------------------------------- inputs

@dataclass(frozen=True)
class _Range:
    """``count`` floats of the ordered view from ``start`` on, ``step`` apart; with ``negative_zero``, -0.0
    after them (the ordered view folds it into +0.0, a walk of every float meets it too)."""

    start: int  # ordered value of the first input
    step: int
    count: int
    negative_zero: bool = False


def _sample(n: int, seed: Any, f32: bool, pairs: bool = False) -> Any:
    """n bit patterns drawn uniformly, NaN patterns redrawn, as floats of the format; with ``pairs``, an
    (n, 2) array of the n first operands and then the n second ones from the same generator."""
    np = _np()
    rng = np.random.default_rng(seed)
    if pairs:
        first = _draw(rng, n, f32)
        return np.ascontiguousarray(np.stack([first, _draw(rng, n, f32)], axis=1))
    return _draw(rng, n, f32)


def _draw(rng: Any, n: int, f32: bool) -> Any:
    np = _np()
    utype, ftype, width = (np.uint32, np.float32, 32) if f32 else (np.uint64, np.float64, 64)
    bits = rng.integers(0, 2 ** width, size=n, dtype=utype)
    while True:
        values = bits.view(ftype)
        nan = np.isnan(values)
        k = int(nan.sum())
        if k == 0:
            return values
        bits[nan] = rng.integers(0, 2 ** width, size=k, dtype=utype)


def _given(inputs: Any, f32: bool) -> Any:
    np = _np()
    dtype = np.float32 if f32 else np.float64
    if isinstance(inputs, (str, bytes)):
        raise TypeError("inputs must be a sequence or an array of floats, or 'knife-edges'")
    array = np.asarray(inputs)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"inputs must be floats, not {array.dtype}")
    array = np.ascontiguousarray(array.ravel(), dtype=dtype)
    return array[~np.isnan(array)]


def _given_pairs(inputs: Any, f32: bool, op: str) -> Any:
    """The pairs of ``inputs`` as an (n, 2) array of the format's dtype, the pairs with a NaN skipped but
    those C gives a number: hypot(+-inf, NaN) and hypot(NaN, +-inf) are +inf, pow(1, NaN) and
    pow(NaN, +-0) are 1."""
    np = _np()
    array = np.asarray(inputs)
    if array.dtype.kind not in "fiu" or array.ndim != 2 or array.shape[1] != 2:
        if array.size == 0:
            return np.empty((0, 2), dtype=np.float32 if f32 else np.float64)
        raise TypeError(f"inputs of {op} must be pairs of floats (x, y): a sequence of pairs or an (n, 2) array")
    array = np.ascontiguousarray(array, dtype=np.float32 if f32 else np.float64)
    keep = ~np.isnan(array).any(axis=1)
    if op == "hypot":
        keep |= np.isinf(array).any(axis=1)
    elif op == "pow":
        keep |= (array[:, 0] == 1) | (array[:, 1] == 0)
    return np.ascontiguousarray(array[keep])


def _knife_edges(op: str, lo: float, hi: float, tol: Any, f32: bool) -> Any:
    from fpscope._scan import knife_edges

    np = _np()
    if tol is None:
        raise ValueError("inputs='knife-edges' needs tol_ulp=")
    scan = knife_edges(op, lo, hi, tol, "f32" if f32 else "f64", limit=1 << 62)
    return np.array([h.x for h in scan.hits], dtype=np.float32 if f32 else np.float64)


# ---------------------------------------------------------------- chunks

@dataclass
class _Part:
    """The audit of one chunk, or of several merged: positions are global input numbers."""

    inputs: int = 0
    correct: int = 0
    misrounded: int = 0
    special: int = 0
    histogram: list[int] = field(default_factory=lambda: [0] * _truth.ERROR_BINS)
    binades: dict[int, float] = field(default_factory=dict)
    worst: list[tuple[float, int, int, float, float, float]] = field(default_factory=list)  # (error, key, pos, x, y, r)
    examples: list[tuple[int, float, float, float]] = field(default_factory=list)  # (pos, x, y, expected)


def _worst_key(w: tuple[float, int, int, float, float, float]) -> tuple[float, int, int]:
    return (-w[0], w[1], w[2])


def _chunk_inputs(source: Any, offset: int, size: int, f32: bool, impl: _Impl) -> Any:
    np = _np()
    if isinstance(source, _Range):
        xs = impl.scratch("x", size, np.float32 if f32 else np.float64)
        lo = from_ordered(source.start + offset * source.step, f32)
        _core._audit_fill(xs.ctypes.data, lo, source.step, size, "f32" if f32 else "f64")
        return xs
    return source


def _add_certified(part: _Part, op: str, f32: bool, position: int, x: Any, y: float, binade: int) -> None:
    """Adds the certified judgement of one input (a pair for an operation of two) to ``part``."""
    j = _truth.certified_judgement(op, x, y, f32)
    part.inputs += 1
    if j.outcome == _truth.SPECIAL:
        part.special += 1
        part.examples.append((position, x, y, j.expected))
        return
    if j.outcome == _truth.CORRECT:
        part.correct += 1
    else:
        part.misrounded += 1
    part.histogram[j.bin] += 1
    part.binades[binade] = max(part.binades.get(binade, -1.0), j.error)
    part.worst.append((j.error, _key(x, f32), position, x, y, j.expected))


def _f32_binade(x: float) -> int:
    bits: int = struct.unpack("<I", struct.pack("<f", x))[0]
    return bits >> 23


def audit_chunk(op: str, f32: bool, impl: _Impl, source: Any, offset: int, size: int, worst: int) -> _Part:
    """Judges the inputs [offset, offset + size) of the audit. ``source`` is a :class:`_Range`, or the
    chunk's own array of inputs. Module-level with picklable arguments, for process pools and clusters."""
    np = _np()
    keep = max(worst, 1)
    if isinstance(source, _Range) and offset + size > source.count:
        # The last chunk holds -0.0 after the range's last floats.
        zero = audit_chunk(op, f32, impl, np.array([-0.0], dtype=np.float32 if f32 else np.float64),
                           source.count, 1, worst)
        head = source.count - offset
        return zero if head == 0 else _merge(audit_chunk(op, f32, impl, source, offset, head, worst), zero, keep)
    if op in PAIR_OPS:
        return _audit_pairs(op, f32, impl, source, offset, keep)
    if not f32:
        xs = _chunk_inputs(source, offset, size, f32, impl)
        return _audit_f64(op, xs, impl.evaluate(xs, f32), offset, keep)
    if impl.kind == "native" and isinstance(source, _Range):
        # One pass in the core: each input made, answered and judged in turn, with no arrays at all.
        raw = _core._audit_f32(op, size, function=impl.fn.address, step=source.step, worst=keep,
                               lo=from_ordered(source.start + offset * source.step, True))
    elif impl.kind == "native":
        raw = _core._audit_f32(op, size, xs=source.ctypes.data, function=impl.fn.address, worst=keep)
    else:
        # The core reads the inputs back from the array the implementation was given (this thread's own):
        # measured cheaper than making them again, and they are the very floats that were answered.
        xs = _chunk_inputs(source, offset, size, f32, impl)
        ys = impl.evaluate(xs, f32)
        raw = _core._audit_f32(op, size, xs=xs.ctypes.data, ys=ys.ctypes.data, worst=keep)
    return _part_of(raw, op, offset, keep)


def _part_of(raw: Any, op: str, offset: int, keep: int, seconds: Any = None) -> _Part:
    """The core's tally of a binary32 chunk, with its undecided inputs decided here; the inputs of an
    operation of two are the pairs (x, seconds[i])."""
    n, cr, mis, sp, hist, binades, worst_raw, examples_raw, uncertain = raw

    def operands(i: int, x: float) -> Any:
        return x if seconds is None else (x, float(seconds[i]))

    part = _Part(n, cr, mis, sp, list(hist), dict(binades))
    part.worst = [(e, key, offset + i, operands(i, x), y, r) for i, x, y, key, e, r in worst_raw]
    part.examples = [(offset + i, operands(i, x), y, r) for i, x, y, r in examples_raw]
    if uncertain:
        for i, x, y in uncertain:
            _add_certified(part, op, True, offset + i, operands(i, x), y, _f32_binade(x))
        part.worst = sorted(part.worst, key=_worst_key)[:keep]
        part.examples = sorted(part.examples)[:EXAMPLES]
    return part


def _audit_pairs(op: str, f32: bool, impl: _Impl, pairs: Any, offset: int, keep: int) -> _Part:
    """The audit of op (div, hypot, atan2, pow) over a chunk of pairs (an (n, 2) array)."""
    np = _np()
    xs, seconds = np.ascontiguousarray(pairs[:, 0]), np.ascontiguousarray(pairs[:, 1])
    ys = impl.evaluate(xs, f32, seconds)
    if not f32:
        return _audit_f64(op, xs, ys, offset, keep, seconds)
    raw = _core._audit_pairs_f32(op, len(xs), xs.ctypes.data, seconds.ctypes.data, ys.ctypes.data, keep)
    return _part_of(raw, op, offset, keep, seconds)


def _key(x: Any, f32: bool) -> int:
    """Where an input comes in the order ties are broken by: its ordered value, or for a pair (x, y) the
    ordered value of x, then of y (as the core keys binary32 pairs)."""
    if isinstance(x, tuple):
        width = 32 if f32 else 64
        return _ordered_bits(x[0], f32) * (1 << width) + _ordered_bits(x[1], f32) + (1 << (width - 1))
    return _core.ordered(x, _dtype_name(f32))


def _ordered_bits(v: float, f32: bool) -> int:
    """The core's ordered value of v from its bits, NaN included (above +inf, or below -inf with its sign):
    the operand of a pair may be NaN where C gives the pair a number."""
    bits: int = struct.unpack("<I", struct.pack("<f", v))[0] if f32 else struct.unpack("<Q", struct.pack("<d", v))[0]
    sign = 1 << (31 if f32 else 63)
    return -(bits - sign) if bits & sign else bits


def _audit_f64(op: str, xs: Any, ys: Any, offset: int, keep: int, seconds: Any = None) -> _Part:
    """The audit of binary64 answers ys at xs (input offset + i; the pairs of xs and ``seconds`` for an
    operation of two), each judged from one evaluation with MPFR (fpscope._truth.binary64_judge), in a loop kept to
    a few operations per input."""
    np = _np()
    judge = _truth.binary64_judge(op)
    correct, special = _truth.CORRECT, _truth.SPECIAL
    part = _Part()
    histogram, binades, examples = part.histogram, part.binades, part.examples
    candidates: list[tuple[float, int, float, float, float]] = []  # (error, position, x, y, expected)
    threshold = -1.0  # below it an error cannot be among the `keep` largest of the chunk
    n_correct = n_misrounded = n_special = 0
    binade_of = (xs.view(np.uint64) >> np.uint64(52)).tolist()
    inputs = xs.tolist() if seconds is None else list(zip(xs.tolist(), seconds.tolist()))
    for i, x, y, b in zip(range(offset, offset + len(xs)), inputs, ys.tolist(), binade_of):
        if x != x:  # a NaN, or a pair holding one
            continue
        outcome, bin_, error, expected = judge(x, y)
        if outcome is special:
            n_special += 1
            if len(examples) < EXAMPLES:
                examples.append((i, x, y, expected))
            continue
        if outcome is correct:
            n_correct += 1
        else:
            n_misrounded += 1
        histogram[bin_] += 1
        if error > binades.get(b, -1.0):
            binades[b] = error
        if error >= threshold:
            candidates.append((error, i, x, y, expected))
            if len(candidates) >= 4 * keep:
                # Keep the `keep` largest and every tie with the last of them, which a lower x may win.
                candidates.sort(key=lambda c: -c[0])
                threshold = candidates[keep - 1][0]
                candidates = [c for c in candidates if c[0] >= threshold]
    part.inputs = n_correct + n_misrounded + n_special
    part.correct, part.misrounded, part.special = n_correct, n_misrounded, n_special
    part.worst = sorted(((e, _key(x, False), i, x, y, r) for e, i, x, y, r in candidates), key=_worst_key)[:keep]
    return part


def _merge(a: _Part, b: _Part, keep: int) -> _Part:
    binades = dict(a.binades)
    for k, v in b.binades.items():
        binades[k] = max(binades.get(k, -1.0), v)
    return _Part(a.inputs + b.inputs, a.correct + b.correct, a.misrounded + b.misrounded, a.special + b.special,
                 [p + q for p, q in zip(a.histogram, b.histogram)], binades,
                 sorted(a.worst + b.worst, key=_worst_key)[:keep], sorted(a.examples + b.examples)[:EXAMPLES])


def _finish(part: _Part, op: str, dtype: str, impl: str, exhaustive: bool, complete: bool, worst: int) -> Audit:
    top = part.worst[0] if part.worst else None
    histogram = [(*_truth.bin_edges(i), c) for i, c in enumerate(part.histogram)]
    bits, bias = (8, 127) if dtype == "f32" else (11, 1023)
    per_binade = [(-1 if k >> bits else 1, (k & ((1 << bits) - 1)) - bias, v) for k, v in part.binades.items()]
    per_binade.sort(key=lambda row: (row[0], row[1] * row[0]))
    return Audit(op, dtype, impl, part.inputs, exhaustive, complete,
                 top[0] if top else 0.0, top[3] if top else None,
                 part.correct, part.misrounded, part.special,
                 [(x, y, r) for _, x, y, r in part.examples], histogram,
                 [(x, y, r, e) for e, _, _, x, y, r in part.worst[:worst]], per_binade)


# ---------------------------------------------------------------- the engine

def _run(op: str, f32: bool, impl: _Impl, source: Any, total: int, worst: int, executor: cf.Executor,
         progress: ProgressArg, finish: Callable[[_Part, bool], Audit]) -> Audit:
    chunk = REMOTE_CHUNK if is_remote(executor) else CHUNK
    keep = max(worst, 1)
    chunks = [(i, off, min(chunk, total - off)) for i, off in enumerate(range(0, total, chunk))]
    # In the calling thread each chunk is merged before the next runs, so Ctrl-C keeps all done.
    window = 1 if isinstance(executor, InlineExecutor) else 2 * parallelism(executor)
    reporter = make_reporter(progress, total, f"audit {op}")
    merged, done = _Part(), 0
    known: dict[int, _Part] = {}
    running: dict[cf.Future[Any], tuple[int, int, int]] = {}
    pending = iter(chunks)
    exhausted = interrupted = False

    def submit() -> None:
        nonlocal exhausted
        while not exhausted and len(running) < window:
            c = next(pending, None)
            if c is None:
                exhausted = True
                return
            i, off, size = c
            src = source if isinstance(source, _Range) else source[off:off + size]
            running[executor.submit(audit_chunk, op, f32, impl, src, off, size, worst)] = c

    with _Sigint(raise_now=isinstance(executor, InlineExecutor)) as sigint:
        try:
            while done < len(chunks):
                submit()
                finished, _ = cf.wait(list(running), timeout=POLL_SECONDS, return_when=cf.FIRST_COMPLETED)
                for future in finished:
                    i, _, _ = running.pop(future)
                    error = future.exception()
                    if isinstance(error, KeyboardInterrupt) or (error is not None and sigint.fired):
                        interrupted = True
                        continue
                    if error is not None:
                        raise error
                    known[i] = future.result()
                before = done
                while done in known:
                    merged = _merge(merged, known.pop(done), keep)
                    done += 1
                if done != before:
                    reporter.update(merged_inputs(chunks, done))
                if interrupted or sigint.fired:
                    interrupted = True
                    break
        except KeyboardInterrupt:
            interrupted = True
        finally:
            for future in running:
                future.cancel()
            reporter.close()
    if interrupted:
        raise AuditInterrupted(finish(merged, False))
    return finish(merged, True)


def merged_inputs(chunks: list[tuple[int, int, int]], done: int) -> int:
    return chunks[done - 1][1] + chunks[done - 1][2] if done else 0


def _dtype_name(f32: bool) -> str:
    return "f32" if f32 else "f64"


@default_float_environment
def audit(impl: Any, op: str, dtype: str = "f32", lo: Any = None, hi: Any = None, *,
          inputs: Any = None, sample: Optional[int] = None, seed: Any = 0, stride: int = 1,
          tol_ulp: Any = None, workers: Optional[int] = None, executor: Optional[cf.Executor] = None,
          progress: ProgressArg = False, worst: int = 16) -> Audit:
    """How accurate ``impl`` is for ``op``: the certified errors of its answers, in ulps.

    Inputs: every non-NaN float of the format (binary32 only) when no range, ``inputs`` or ``sample``
    is given; every ``stride``-th float in [lo, hi]; the floats of ``inputs`` (a sequence or an array,
    rounded to the format, NaNs skipped); ``sample=N`` bit patterns drawn uniformly with
    ``numpy.random.default_rng(seed)`` (NaN patterns redrawn); ``inputs="knife-edges"`` with
    ``tol_ulp`` and a range: the certified knife edges of ``op`` there. The operations of two arguments
    (``div``, ``hypot``, ``atan2``, ``pow`` and numpy's ``arctan2``, ``power``) take pairs: ``inputs`` as
    pairs (x, y) or an (n, 2) array, or ``sample=N`` pairs (the N first operands drawn first). ``div``'s
    exact results are IEEE's at zeros and infinities (x/0 infinite, 0/0 and inf/inf undefined). C's other
    operations (``cbrt``, ``acos``, ``erfc``, ``lgamma``, ``cospi``, ... and numpy's names such as
    ``arcsinh``; ``hypot``, ``atan2(x, y)``, ``pow(x, y)``) are audited in binary32 and binary64 like the
    others, with C's values where there is no finite result (NaN outside the domain, an infinity at a
    pole: pow(-8, 1/3) is undefined, pow(0, -1) = +inf) and at the pairs holding a NaN that C gives a number
    (hypot(inf, NaN) = +inf, pow(1, NaN) = pow(NaN, 0) = 1); other pairs holding a NaN are skipped.

    ``impl``: an array function (a numpy ufunc, or a callable taking and returning a 1-D array of the
    format's dtype), called on chunks of about 2^20 inputs; :func:`native` (or a ctypes function
    pointer with the format's restype and argtypes), called from the core; or any other callable of
    one float, called per input (slow: about a microsecond each), whose answer is rounded to the format.
    For the operations of two arguments: an array function of two arrays (``numpy.divide``,
    ``numpy.hypot``), a C function of two floats (:func:`native`), or a callable of two floats.

    The answer is the same sequentially, on ``workers`` threads and on any ``executor``. Ctrl-C raises
    :class:`AuditInterrupted` carrying the audit of the inputs done so far. ``progress`` as for scans.
    """
    name = _certify.canonical_op(op) if isinstance(op, str) else op
    pairs = name in PAIR_OPS
    if pairs and (lo is not None or hi is not None or isinstance(inputs, str) or (inputs is None and sample is None)):
        raise ValueError(f"audits of {name} take pairs: inputs=[(x, y), ...] or sample=N")
    if name not in _core.UNARY_OPS and name not in _truth.PRIVATE_UNARY and not pairs:
        _core.midpoint(op, 1.0)  # the core's unknown-op message
        raise ValueError(f"audits take one of {_core.UNARY_OPS}, not {op!r}")
    fmt16 = resolve(dtype)
    f32 = fmt16.name == "f32"
    worst = operator.index(worst)
    if worst < 0:
        raise ValueError(f"worst must be at least 0, not {worst}")
    stride = operator.index(stride) or 1
    if stride < 0:
        raise ValueError(f"stride must be positive, not {stride}")
    if fmt16.bits == 16 and (name in _truth.PRIVATE_UNARY or name in _truth.PRIVATE_BINARY):
        raise ValueError(f"audits of {name} take f32 or f64, not {fmt16.name}")
    if fmt16.bits == 16:
        return _sixteen_bit(fmt16, name, impl, lo, hi, inputs, sample, stride, worst, workers, executor)
    np = _np()
    ranged = lo is not None or hi is not None
    if ranged and (lo is None or hi is None):
        raise ValueError("give both lo and hi, or neither")
    if sum([ranged and not isinstance(inputs, str), inputs is not None and not isinstance(inputs, str),
            sample is not None]) > 1 or (isinstance(inputs, str) and sample is not None):
        raise ValueError("give one of: a range (lo, hi), inputs=, sample=")
    exhaustive = False
    source: Any
    if isinstance(inputs, str):
        if inputs != "knife-edges":
            raise ValueError(f"inputs={inputs!r}: the only named input set is 'knife-edges'")
        if not ranged:
            raise ValueError("inputs='knife-edges' needs a range lo, hi")
        source = _knife_edges(name, float(lo), float(hi), tol_ulp, f32)
        total = len(source)
    elif inputs is not None:
        source = _given_pairs(inputs, f32, name) if pairs else _given(inputs, f32)
        total = len(source)
    elif sample is not None:
        n = operator.index(sample)
        if n < 0:
            raise ValueError(f"sample must be at least 0, not {n}")
        source = _sample(n, seed, f32, pairs)
        total = n
    else:
        if not f32 and not ranged:
            raise ValueError("a binary64 audit needs a range, inputs= or sample=: its whole range is "
                             "2^64 inputs")
        lo_f, hi_f = (-math.inf, math.inf) if not ranged else (float(lo), float(hi))
        if math.isnan(lo_f) or math.isnan(hi_f):
            raise ValueError("lo and hi must not be NaN")
        fmt = _dtype_name(f32)
        start, end = _core.ordered(lo_f, fmt), _core.ordered(hi_f, fmt)
        total = 0 if end < start else (end - start) // stride + 1
        zero = stride == 1 and start <= 0 <= end
        source = _Range(start, stride, total, zero)
        total += zero
        exhaustive = f32 and stride == 1 and start == _core.ordered(-math.inf, fmt) and end == _core.ordered(math.inf, fmt)
    resolved = _resolve(impl, f32, name if pairs else None)
    pool, owned = make_executor(workers, executor)

    def finish(part: _Part, complete: bool) -> Audit:
        return _finish(part, name, _dtype_name(f32), resolved.description, exhaustive and complete, complete, worst)

    try:
        if isinstance(source, np.ndarray):
            source = np.ascontiguousarray(source)
        return _run(name, f32, resolved, source, total, worst, pool, progress, finish)
    finally:
        if owned:
            pool.shutdown(wait=True, cancel_futures=True)


def _sixteen_bit(fmt: Any, op: str, impl: Any, lo: Any, hi: Any, inputs: Any, sample: Any, stride: int, worst: int,
                 workers: Any, executor: Any) -> Audit:
    """The audit in binary16 or bfloat16 (fpscope._audit16): every input in one pass, inline on any engine."""
    from fpscope import _audit16

    if (lo is None) != (hi is None):
        raise ValueError("give both lo and hi, or neither")
    if isinstance(inputs, str) or sample is not None:
        raise ValueError("16-bit audits take a range (lo, hi) or inputs=; every input of the format takes "
                         "well under a second")
    if lo is not None and inputs is not None:
        raise ValueError("give one of: a range (lo, hi), inputs=, sample=")
    if isinstance(impl, (NativeFunction, ctypes._CFuncPtr)):  # type: ignore[attr-defined]
        raise ValueError(f"native functions take f32 or f64, not {fmt.name}")
    if not callable(impl):
        raise TypeError(f"impl must be an array function or a callable of one float, not {type(impl).__name__}")
    pool, owned = make_executor(workers, executor)
    if owned:
        pool.shutdown()
    xs, exhaustive = _audit16.inputs_of(fmt, lo, hi, stride, inputs)
    return Audit(**_audit16.audit(fmt, op, impl, _describe(impl), xs, exhaustive, worst))


def input_hex(x: Any) -> str:
    """An audited input in hex: a float, or a pair (x, y) of an operation of two."""
    return f"({hexfloat(x[0])}, {hexfloat(x[1])})" if isinstance(x, tuple) else hexfloat(x)


# ---------------------------------------------------------------- pytest

def assert_accurate(impl: Any, op: str, dtype: str = "f32", lo: Any = None, hi: Any = None, *,
                    max_ulp: Optional[float] = None, correctly_rounded: bool = False, **options: Any) -> Audit:
    """Audits ``impl`` (same arguments as :func:`audit`) and raises AssertionError when an error exceeds
    ``max_ulp``, when ``correctly_rounded`` is asked and an answer is not, or on any special mismatch.
    The message names the worst input in hex, its answer, the correct value, the error and the counts.
    Returns the audit otherwise."""
    options.setdefault("worst", 1)
    a = audit(impl, op, dtype, lo, hi, **options)
    problems = []
    if a.special_mismatches:
        x, y, r = a.special_examples[0]
        problems.append(f"{a.special_mismatches} special mismatches, first at x={input_hex(x)}: "
                        f"got {hexfloat(y)}, expected {hexfloat(r)}")
    if correctly_rounded and a.misrounded:
        problems.append(f"{a.misrounded} results not correctly rounded")
    if max_ulp is not None and a.max_error > max_ulp:
        problems.append(f"max error {a.max_error:.6g} ulp exceeds {max_ulp}")
    if problems:
        detail = ""
        if a.worst:
            x, y, r, e = a.worst[0]
            detail = (f"; worst at x={input_hex(x)}: got {hexfloat(y)}, correct {hexfloat(r)}, "
                      f"error {e:.6g} ulp")
        raise AssertionError(f"{a.impl} for {op} ({a.dtype}): " + "; ".join(problems) + detail
                             + f" [{a.inputs} inputs: {a.correctly_rounded} correctly rounded, "
                             f"{a.misrounded} misrounded, {a.special_mismatches} special]")
    return a
