"""Hypothesis strategies for the floats where numerical code breaks.

Needs Hypothesis (``pip install hypothesis``); importing this module without it raises ImportError.

    from hypothesis import given
    from fpscope.strategies import edge_floats

    @given(edge_floats("f32"))
    def test_roundtrip(x): ...
"""
from __future__ import annotations

import functools
import math

try:
    from hypothesis import strategies as st
except ImportError as e:  # pragma: no cover - exercised only without Hypothesis
    raise ImportError("fpscope.strategies needs Hypothesis: pip install hypothesis") from e

from fpscope._core import binade_edges, neighbours, special
from fpscope._fenv import default_float_environment
from fpscope._floats import bits, is_f32

__all__ = ["edge_floats", "edge_values"]


@functools.lru_cache(maxsize=None)
@default_float_environment
def _edge_values(f32: bool) -> tuple[float, ...]:
    """Every edge value of the format, both signs, each once (by bit pattern, so -0.0 and 0.0 both).

    The order is the one shrinking should prefer: the named values first (zero leads), then
    the powers of two with the floats just below them, then the neighbours of all of those.
    """
    dtype = "f32" if f32 else "f64"
    named = [value for _, value in special(dtype)]
    powers = binade_edges(-1100, 1100, dtype)
    around = [v for centre in named + powers if math.isfinite(centre) for v in neighbours(centre, 1, dtype)]
    seen: set[int] = set()
    values: list[float] = []
    for v in named + powers + around:
        for signed in (v, -v):
            key = bits(signed, f32) if not math.isnan(signed) else -1
            if key not in seen:
                seen.add(key)
                values.append(signed)
    return tuple(values)


def edge_values(dtype: str = "f64", allow_nan: bool = False, allow_infinity: bool = True) -> list[float]:
    """The values :func:`edge_floats` draws from, as a list (for ``pytest.mark.parametrize``)."""
    return [v for v in _edge_values(is_f32(dtype))
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
