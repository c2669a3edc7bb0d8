"""Certified answers: the exact mathematical results of the library-based binary32 operations.

``certified_scan`` has the arguments, errors and result of ``knife_edges_raw`` and the same
stopping rules, applied to the exact results instead of the core's binary64 stand-ins.
"""
from __future__ import annotations

from typing import Any

from fpscope._core import knife_edges_raw


def certified_scan(op: Any, lo: Any, hi: Any, tol_ulp: Any = 1e-3, dtype: Any = "f32", limit: Any = 100,
                   stride: Any = 1, max_evals: Any = 100_000_000) -> tuple[list[tuple[float, float, float, bool]], int, bool]:
    """``knife_edges_raw`` over the exact results (placeholder: the core's own judgement for now)."""
    return knife_edges_raw(op, lo, hi, tol_ulp, dtype, limit, stride, max_evals)
