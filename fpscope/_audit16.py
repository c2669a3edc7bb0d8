"""Audits in binary16 and bfloat16: every input judged at once, in well under a second.

The truth is `fpscope._small.reports`: for each input the correctly rounded value r, the certified
distance d of the exact result f from the midpoint on its side, that side, and exactness. An answer
y is correct when it is r (the sign of a zero included). Its error is |y - f| / ulp(f), ulp(f) the
spacing of f's binade (p = 11, emin = -14 in binary16; p = 8, emin = -126 in bfloat16):

- y = r: |r - f| = (0.5 - d) spacings on f's side of r, and that spacing is ulp(f) (below a power
  of two f lies in the lower binade, whose spacing is the one below r), so the error is 0.5 - d
  (0 when exact);
- y != r: f = r + (0.5 - d) g towards f's side, g that spacing, and the error follows in binary64,
  good to about 1e-9 relative. Where that could put it in another histogram bin (within 1e-6 of an
  edge: 0.5, 1, 2, ...) `fpscope._truth` decides with MPFR, as for binary32.

No report for a finite input: the binary64 value says a NaN (outside the domain) or an infinite
result when it is NaN or at least twice the overflow threshold; MPFR decides the rest (results
near the threshold).
"""
from __future__ import annotations

import math
from fractions import Fraction
from typing import Any, Optional

from fpscope import _core, _small, _truth
from fpscope._certify import exact_point
from fpscope._formats import Format

EXAMPLES = 16
_EDGE = 1e-6  # errors this close (relative) to a bin edge are decided by MPFR


def inputs_of(fmt: Format, lo: Any, hi: Any, stride: int, given: Any) -> tuple[Any, bool]:
    """The float64 values audited, ascending or in the given order, NaNs left out, and whether they
    are every input of the format."""
    import numpy as np

    if given is not None:
        xs = np.asarray(given)
        if xs.dtype.kind not in "fiuV" and xs.dtype.name != "bfloat16":
            raise TypeError(f"inputs must be floats, not {xs.dtype}")
        xs = _small.values_of(fmt, fmt._round_float64(xs.astype(np.float64).ravel()).astype(np.int64))
        return xs[~np.isnan(xs)], False
    if lo is None:
        return _small.all_inputs(fmt), stride == 1
    low, high = fmt.round_to(lo), fmt.round_to(hi)
    if math.isnan(low) or math.isnan(high):
        raise ValueError("lo and hi must not be NaN")
    start, end = fmt.ordered(low), fmt.ordered(high)
    count = 0 if end < start else (end - start) // stride + 1
    return _small._inputs(fmt, start, stride, count), False


def answers(fmt: Format, impl: Any, xs: Any, description: str) -> Any:
    """The implementation's answers as float64: an array function is given an array of the format
    (numpy float16, ml_dtypes bfloat16) and must answer one; any other callable is called per input,
    its answer rounded to the format."""
    import numpy as np

    dtype = fmt.numpy_dtype()
    arg = xs.astype(dtype)
    if isinstance(impl, np.ufunc) or _takes_arrays(impl, dtype):
        with np.errstate(all="ignore"):
            out = impl(arg)
        if not isinstance(out, np.ndarray):
            raise TypeError(f"{description} returned {type(out).__name__}, not an array")
        if out.shape != arg.shape:
            raise ValueError(f"{description} returned an array of shape {out.shape} for an input of shape {arg.shape}")
        if out.dtype != dtype:
            raise TypeError(f"{description} returned {out.dtype} values for {dtype} inputs")
        return out.astype(np.float64)
    ys = np.array([float(impl(x)) for x in xs.tolist()], dtype=np.float64)
    return _small.values_of(fmt, fmt._round_float64(ys).astype(np.int64))


def _takes_arrays(impl: Any, dtype: Any) -> bool:
    import numpy as np

    try:
        with np.errstate(all="ignore"):
            out = impl(np.array([1.0, 2.0], dtype=dtype))
    except Exception:  # a function of one float fails on an array in its own way
        return False
    return isinstance(out, np.ndarray) and out.ndim >= 1


def _error_bins(e: Any) -> Any:
    """`fpscope._truth.error_bin` of float errors: 0 for 0, 1 for (0, 0.5], 2 + k for (2^(k-1), 2^k]."""
    import numpy as np

    m, ex = np.frexp(e)
    k = ex - (m == 0.5)  # the smallest k with e <= 2^k
    return np.where(e == 0, 0, np.where(e <= 0.5, 1, np.where(e > 2.0 ** 20, _truth.ERROR_BINS - 1, 2 + k)))


def _near_edge(e: Any) -> Any:
    import numpy as np

    m, ex = np.frexp(e)
    # The edges are 0.5 and the powers of two up to 2^20: m near 0.5 from above or near 1 from below.
    close = (np.abs(m - 0.5) <= _EDGE) | (np.abs(1.0 - m) <= _EDGE)
    return close & (e > 0.25) & (e < 2.0 ** 21)


def judge(fmt: Format, op: str, xs: Any, ys: Any) -> dict[str, Any]:
    """Arrays over the inputs: outcome (0 correct, 1 misrounded, 2 special), error, bin, expected."""
    import numpy as np

    valid, rounded, distance, side, exact = _small.reports(fmt, op, xs)
    v = np.empty(xs.size, dtype=np.float64)
    _core._evaluate_f64(op, np.ascontiguousarray(xs).ctypes.data, v.ctypes.data, xs.size)
    with np.errstate(all="ignore"):
        expected = np.where(valid, rounded, np.where(np.isnan(v), np.nan, np.copysign(np.inf, v)))
        # Away from zero in magnitude: the side says "above" in signed terms.
        away = np.where(np.signbit(rounded), ~side, side)
        mag = np.abs(rounded)
        pattern = fmt._round_float64(mag).astype(np.int64)
        up = _small.values_of(fmt, pattern + 1)
        top = pattern == fmt._inf - 1
        down = _small.values_of(fmt, np.maximum(pattern - 1, 0))
        gap_up = np.where(top, mag - down, up - mag)
        tiny = _small.values_of(fmt, np.ones(1, dtype=np.int64))[0]
        # The spacing of f's binade: towards f from r (below a power of two, the lower binade's);
        # r's own for an exact result.
        gap = np.where(away | exact, gap_up, np.where(mag == 0, tiny, mag - down))
        offset = np.where(exact, 0.0, (0.5 - distance) * gap)
        f = np.where(np.signbit(rounded), -1.0, 1.0) * (mag + np.where(away, offset, -offset))
        error = np.where(ys == rounded, np.where(exact, 0.0, 0.5 - distance), np.abs(ys - f) / gap)
        outcome = np.where((ys == expected) | (np.isnan(ys) & np.isnan(expected)), 0, 1)
        nan_y, nan_e = np.isnan(ys), np.isnan(expected)
        special = (nan_y & ~nan_e) | (~nan_y & nan_e) | ((np.isinf(ys) | np.isinf(expected)) & (ys != expected)) \
            | ((ys == 0) & (expected == 0) & (np.signbit(ys) != np.signbit(expected)))
        outcome = np.where(special, 2, outcome)
        zero = (np.isinf(expected) | nan_e) & ~special
        error = np.where(special | zero, 0.0, error)
    # An inexact result within 2^-53 ulp or so of r has a distance that rounds to 0.5: its error
    # rounds to 0, but it is not 0, and stays in the bin (0, 0.5].
    bins = np.where((outcome == 0) & valid & ~exact, np.maximum(_error_bins(error), 1), _error_bins(error))
    # MPFR where the binary64 judgement could be wrong: no certified report for a finite input that
    # is neither NaN nor clearly infinite, and errors next to a bin edge.
    unsure = (~valid & np.isfinite(xs) & ~np.isnan(v) & ~(np.abs(v) >= 2 * float(_small._overflow(fmt))))
    near = (outcome != 2) & valid & ~exact & (ys != rounded) & _near_edge(error)
    # Next to an edge because f lies within a hair of r (a saturated tanh, say) while y is a whole
    # edge away from r: the certified side says on which side of the edge the error lies, the far
    # one (the next bin up) when f and y lie on opposite sides of r.
    with np.errstate(all="ignore"):
        base = np.abs(ys - rounded) / gap
    m, _ = np.frexp(base)
    whole = near & (m == 0.5) & (base >= 0.5) & (base <= 2.0 ** 20)
    far = (ys > rounded) != side
    bins = np.where(whole, _error_bins(base) + far, bins)
    unsure |= near & ~whole
    model = _small.MODELS[fmt]
    outcome, error, bins, expected = outcome.copy(), error.copy(), bins.copy(), expected.copy()
    for i in np.flatnonzero(unsure).tolist():
        x, y = float(xs[i]), float(ys[i])
        j = _judge_exactly(fmt, op, x, y) or _truth._certified(op, x, y, model)
        outcome[i] = {_truth.CORRECT: 0, _truth.MISROUNDED: 1, _truth.SPECIAL: 2}[j.outcome]
        error[i], bins[i], expected[i] = j.error, j.bin, j.expected
    return {"outcome": outcome, "error": error, "bin": bins, "expected": expected}


def _judge_exactly(fmt: Format, op: str, x: float, y: float) -> Optional[_truth.Judgement]:
    """The judgement at an exact point of the operation (a dyadic result), from the exact value."""
    point = exact_point(op, x)
    if point is None:
        return None
    return _truth.judge_exact(_small.MODELS[fmt], Fraction(point[0]), point[1], y)


def binade_keys(fmt: Format, xs: Any) -> tuple[Any, Any]:
    """(sign, exponent) of each input's binade: emin - 1 for zeros and subnormals, emax + 1 for
    the infinities."""
    import numpy as np

    pattern = fmt._round_float64(xs).astype(np.int64)
    field = (pattern & fmt._magnitude) >> (fmt.precision - 1)
    sign = np.where(pattern & fmt._sign, -1, 1)
    return sign, np.maximum(field, 0) - fmt.emax


def audit(fmt: Format, op: str, impl: Any, description: str, xs: Any, exhaustive: bool, worst: int
          ) -> dict[str, Any]:
    """The fields of the `fpscope.Audit` of ``impl`` at the float64 inputs ``xs`` (values of
    ``fmt``, no NaNs)."""
    import numpy as np

    ys = answers(fmt, impl, xs, description)
    j = judge(fmt, op, xs, ys)
    outcome, error = j["outcome"], j["error"]
    judged = outcome != 2
    histogram = np.bincount(j["bin"][judged], minlength=_truth.ERROR_BINS)
    sign, exponent = binade_keys(fmt, xs)
    per_binade: dict[tuple[int, int], float] = {}
    for s, e, err in zip(sign[judged].tolist(), exponent[judged].tolist(), error[judged].tolist()):
        key = (s, e)
        if err > per_binade.get(key, -1.0):
            per_binade[key] = err
    rows = sorted(((s, e, v) for (s, e), v in per_binade.items()), key=lambda r: (r[0], r[1] * r[0]))
    candidates = np.flatnonzero(judged)
    # Largest error first, ties to the lowest input (input order is ascending for a range).
    order = candidates[np.lexsort((candidates, -error[candidates]))][:max(worst, 1)]
    worst_rows = [(float(xs[i]), float(ys[i]), float(j["expected"][i]), float(error[i])) for i in order.tolist()]
    examples = [(float(xs[i]), float(ys[i]), float(j["expected"][i])) for i in np.flatnonzero(~judged)[:EXAMPLES]]
    top = worst_rows[0] if worst_rows else None
    edges = [_truth.bin_edges(i) for i in range(_truth.ERROR_BINS)]
    return dict(op=op, dtype=fmt.name, impl=description, inputs=int(xs.size), exhaustive=exhaustive, complete=True,
                max_error=top[3] if top else 0.0, max_error_x=top[0] if top else None,
                correctly_rounded=int(np.count_nonzero(outcome == 0)), misrounded=int(np.count_nonzero(outcome == 1)),
                special_mismatches=int(np.count_nonzero(outcome == 2)), special_examples=examples,
                histogram=[(lo, hi, int(c)) for (lo, hi), c in zip(edges, histogram.tolist())],
                worst=worst_rows[:worst], per_binade=rows)
