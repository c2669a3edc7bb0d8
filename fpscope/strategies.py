"""Hypothesis strategies for the floats where numerical code breaks.

Needs Hypothesis (``pip install hypothesis``); importing this module without it raises ImportError.

- :func:`edge_floats`: the edges of the format (zeros, subnormal and normal limits, powers of two
  and their neighbours);
- :func:`knife_edge_floats`: inputs whose exact result under an operation lies close to a
  rounding midpoint, where a routine that is merely accurate rounds wrongly.

    from hypothesis import given
    from fpscope.strategies import edge_floats

    @given(edge_floats("f32"))
    def test_roundtrip(x): ...
"""
from __future__ import annotations

import functools
import json
import math
from importlib import resources


try:
    from hypothesis import strategies as st
except ImportError as e:  # pragma: no cover - exercised only without Hypothesis
    raise ImportError("fpscope.strategies needs Hypothesis: pip install hypothesis") from e

from fpscope._certify import canonical_op
from fpscope._core import _OPERATIONS, _knife_edges, ordered
from fpscope._fenv import default_float_environment
from fpscope._floats import bits, from_ordered, is_f32
from fpscope._formats import F32, F64, resolve
from fpscope._scan import knife_edges

__all__ = ["edge_floats", "edge_values", "knife_edge_floats"]

# knife_edge_floats: the points tried per draw before one is drawn as it is.
ATTEMPTS = 4


def _format_name(dtype: str) -> str:
    """"f32", "f64", "f16" or "bf16" for a dtype name (the package's message for others)."""
    return resolve(dtype).name


@functools.lru_cache(maxsize=None)
@default_float_environment
def _edge_values(name: str) -> tuple[float, ...]:
    """Every edge value of the format, both signs, each once (by bit pattern, so -0.0 and 0.0 both).

    The order is the one shrinking should prefer: the named values first (zero leads), then
    the powers of two with the floats just below them, then the neighbours of all of those.
    """
    fmt = resolve(name)
    f32 = fmt is F32
    named = [value for _, value in fmt.special()]
    powers = fmt.binade_edges(-1100, 1100)
    around = [v for centre in named + powers if math.isfinite(centre) for v in fmt.neighbours(centre, 1)]
    seen: set[int] = set()
    values: list[float] = []
    for v in named + powers + around:
        for signed in (v, -v):
            if math.isnan(signed):
                key = -1
            else:
                key = bits(signed, f32) if fmt in (F32, F64) else fmt._round(signed)
            if key not in seen:
                seen.add(key)
                values.append(signed)
    return tuple(values)


def edge_values(dtype: str = "f64", allow_nan: bool = False, allow_infinity: bool = True) -> list[float]:
    """The values :func:`edge_floats` draws from, as a list (for ``pytest.mark.parametrize``)."""
    return [v for v in _edge_values(_format_name(dtype))
            if (allow_nan or not math.isnan(v)) and (allow_infinity or not math.isinf(v))]


def edge_floats(dtype: str = "f64", allow_nan: bool = False,
                allow_infinity: bool = True) -> st.SearchStrategy[float]:
    """Floats of ``dtype`` at its edges, as Python floats exactly representable in it.

    Draws from the named edge values (zeros, subnormal and normal limits, the neighbours of 1,
    the largest finite value, the squaring and reciprocal limits, ...), the powers of two of every
    normal exponent with the float just below each, and the immediate neighbours of all of these,
    with both signs. NaN only with ``allow_nan``; the infinities unless ``allow_infinity`` is false.
    Shrinks towards +0.0, then the other named values.
    """
    return st.sampled_from(edge_values(dtype, allow_nan, allow_infinity))


@functools.lru_cache(maxsize=None)
def _table_inputs(op: str, f32: bool) -> tuple[float, ...]:
    """The inputs of the shipped worst-case table of ``op``, closest to a midpoint first; () without one."""
    name = f"{'f32' if f32 else 'f64'}_{op}.json"
    try:
        text = resources.files("fpscope").joinpath("data", "worst", name).read_text(encoding="utf-8")
    except (FileNotFoundError, NotADirectoryError):
        return ()
    rows = sorted(json.loads(text)["rows"], key=lambda row: row["distance_ulp"])
    return tuple(float.fromhex(row["x_hex"]) for row in rows)


def knife_edge_floats(op: str, dtype: str = "f32", *, tol_ulp: float = 1e-3,
                      window: int = 4096) -> st.SearchStrategy[float]:
    """Inputs of ``dtype`` whose exact ``op`` result lies within ``tol_ulp`` of a rounding midpoint.

    These are the inputs that a routine which is merely accurate rounds wrongly, and random
    floats almost never produce them: at the default tolerance about one binary32 input in 500
    qualifies, at 1e-6 one in 400,000. Draws come from two sources:

    - the worst-case table of ``op`` shipped in ``fpscope/data/worst/``, when there is one: the
      inputs closest to a midpoint of all (shrinking prefers the closest);
    - short scans: a float ``x`` is drawn and the ``window`` floats from ``x`` upwards are
      scanned at ``tol_ulp`` (from ``abs(x)`` too when that finds none, as for ``sqrt`` of a
      negative ``x``); one of the knife edges found there is drawn. A few points are tried in
      turn; when no window holds a knife edge (outside the operation's domain, where every
      result is exact, or with a tolerance too small for the window), the last point is drawn.

    ``op`` is a unary operation: one of :data:`fpscope.UNARY_OPS` or of C's other functions that
    :func:`fpscope.report` answers (``cbrt``, ``acos``, ``lgamma``, ..., numpy's names too);
    binary64 takes ``sqrt`` only, as for every scan. A request the scan refuses is refused here
    at once with its ValueError.
    In binary16 and bfloat16 (``"f16"``, ``"bf16"``) the whole format is scanned once and its
    knife edges are drawn, the closest first when shrinking.
    """
    if isinstance(window, bool) or not isinstance(window, int) or window < 1:
        raise ValueError(f"window must be a positive int, not {window!r}")
    fmt = resolve(dtype) if dtype not in ("f32", "float", "float32", "f64", "double", "float64") else None
    if fmt is not None and fmt.bits == 16:
        return _small_knife_edges(op, fmt.name, float(tol_ulp))
    f32 = is_f32(dtype)
    described = _OPERATIONS.get(canonical_op(op)) if type(op) is str else None
    if described is not None and described["arity"] == 2:
        raise ValueError(f"op={op!r} takes two arguments: knife_edge_floats draws inputs of a unary operation")
    # The core's own checks of op, dtype and tolerance, without evaluating anything.
    _knife_edges(op, 1.0, 1.0, tol_ulp, dtype, 100, 1, 0)
    name = "f32" if f32 else "f64"
    top = ordered(math.inf, name)

    @st.composite
    @default_float_environment
    def around_drawn_points(draw: st.DrawFn) -> float:
        # A few points are tried in turn; the last one is drawn itself when no window holds a hit.
        for _ in range(ATTEMPTS):
            # Half the points uniformly in [-16, 16], where every operation has ordinary results
            # (tanh rounds to 1 past 9, exp overflows past 88), on a grid of values of both
            # formats; half anywhere in the format.
            x = draw(st.one_of(st.integers(-(1 << 24), 1 << 24).map(lambda k: k * 2.0**-20),
                               st.floats(allow_nan=False, allow_infinity=False, width=32 if f32 else 64)))
            # Many operations have no inexact finite results below zero (sqrt, log): try |x| too.
            for start in dict.fromkeys([x, abs(x)]):
                end = from_ordered(min(ordered(start, name) + window - 1, top - 1), f32)
                hits = _knife_edges(op, start, end, tol_ulp, name, window, 1, window)[0]
                if hits:
                    return draw(st.sampled_from([hit[0] for hit in hits]))
        return x

    scans = around_drawn_points()
    table = _table_inputs(canonical_op(op), f32)
    return st.one_of(st.sampled_from(table), scans) if table else scans




@functools.lru_cache(maxsize=None)
def _all_knife_edges(op: str, name: str, tol_ulp: float) -> tuple[float, ...]:
    """Every knife edge of a 16-bit format at ``tol_ulp``, closest to a midpoint first."""
    hits = knife_edges(op, -math.inf, math.inf, tol_ulp, name, limit=1 << 17).hits
    return tuple(h.x for h in sorted(hits, key=lambda h: h.distance_ulp))


def _small_knife_edges(op: str, name: str, tol_ulp: float) -> st.SearchStrategy[float]:
    """binary16 and bfloat16: the whole format is scanned once, and its knife edges drawn
    (shrinking towards the closest); the format's edge values where there are none."""
    found = _all_knife_edges(op, name, tol_ulp)
    return st.sampled_from(found) if found else st.sampled_from(_edge_values(name))
