"""Worst cases: the inputs whose exact result lies closest to a rounding midpoint.

A scan at tolerance t finds every input whose distance is below t, so once it covers the range
and finds at least K hits, the K smallest distances over the range are among them. The tolerance
starts where about 16K hits are expected (distances spread about evenly over [0, 0.5) ulp), is
narrowed when a scan stops on its hit limit and widened when it finds fewer than K.

Tables computed this way ship in ``fpscope/data/worst/`` (``worst_table``), one file per
operation, each the JSON output of ``fpscope worst OP --top K --json``; the binary16 and bfloat16
tables (``f16_OP.json``, ``bf16_OP.json``) that of ``fpscope worst OP --dtype f16 --top 16 --json``,
every input judged at once.
"""
from __future__ import annotations

import concurrent.futures as cf
import functools
import json
import math
import operator
from dataclasses import dataclass
from importlib import resources
from typing import Any, Optional, SupportsFloat, SupportsIndex, Union

from fpscope import _certify
from fpscope._core import UNARY_OPS, knife_edges_raw, ordered
from fpscope._formats import F32, F64, NAMES, resolve
from fpscope._small import is_small
from fpscope._small import worst as small_worst
from fpscope._fenv import default_float_environment
from fpscope._floats import is_f32, to_format
from fpscope._progress import ProgressArg
from fpscope._results import Hit
from fpscope._scan import make_executor, run_request, scan_request

_FloatLike = Union[SupportsFloat, SupportsIndex]

# Each pass may keep this many hits per wanted row (and at least MIN_LIMIT) before it is retried
# at a narrower tolerance; the factor by which a tolerance is narrowed or widened between passes.
LIMIT_PER_ROW = 64
MIN_LIMIT = 100_000
TOL_FACTOR = 8.0
MAX_EVALS = 2**64 - 1


@dataclass(frozen=True)
class WorstCases:
    """The ``top`` smallest distances over [lo, hi], and the final scan's tolerance and size."""

    op: str
    dtype: str
    lo: float
    hi: float
    top: int
    certified: bool
    tol_ulp: float
    evaluated: int
    rows: list[Hit]
    y: Optional[float] = None  # the fixed second argument of hypot, atan2 or pow, as a binary32 value


@default_float_environment
def find_worst_cases(op: str, lo: Optional[_FloatLike] = None, hi: Optional[_FloatLike] = None,
                     dtype: str = "f32", top: SupportsIndex = 10, *, workers: Optional[int] = None,
                     executor: Optional[cf.Executor] = None, certified: bool = True,
                     progress: ProgressArg = False, y: Optional[_FloatLike] = None) -> WorstCases:
    """:func:`worst_cases` with the scan's tolerance, size and range."""
    k = operator.index(top)
    if k < 1:
        raise ValueError(f"top must be at least 1, not {k}")
    small = resolve(dtype) if isinstance(dtype, str) and NAMES.get(dtype) not in (F32, F64) else None
    if small is not None and is_small(small):
        if (lo is None) != (hi is None):
            raise ValueError("give both lo and hi, or neither")
        if y is not None:
            raise ValueError(f"worst cases of an operation of two arguments are binary32 only, not {small.name}")
        pool, owned = make_executor(workers, executor)  # the same refusals; every input is judged inline
        if owned:
            pool.shutdown()
        name = _certify.canonical_op(op)
        if name == "div" or name not in UNARY_OPS:
            knife_edges_raw(op, 0.0, -1.0)  # the core's message for an unknown operation
        low, high, evaluated, found = small_worst(small, name, -math.inf if lo is None else float(lo),
                                                  math.inf if hi is None else float(hi), k)
        return WorstCases(op, small.name, low, high, k, True, 0.5, evaluated, [Hit(*h) for h in found])
    f32 = is_f32(dtype)
    if lo is None and hi is None:
        if not f32:
            raise ValueError("binary64 worst cases need an explicit range (lo, hi)")
        lo, hi = -math.inf, math.inf
    elif lo is None or hi is None:
        raise ValueError("give both lo and hi, or neither")
    low, high = to_format(float(lo), f32), to_format(float(hi), f32)
    fixed = None if y is None else to_format(float(y), f32)
    if math.isnan(low) or math.isnan(high) or low > high:
        inputs = 0
    else:
        inputs = ordered(high, dtype) - ordered(low, dtype) + 1
    # Past 0.5 ulp every inexact result is a hit; certified scans stop a little short of that.
    widest = _certify.MAX_TOLERANCE if certified else 1.0
    tol = min(0.5, widest, max(8.0 * k / max(inputs, 1), 1e-30))
    limit = max(LIMIT_PER_ROW * k, MIN_LIMIT)
    overflowing: Optional[float] = None  # the smallest tolerance whose scan stopped on the limit
    pool, owned = make_executor(workers, executor)  # one for every pass
    try:
        while True:
            request = scan_request(op, low, high, tol, dtype, limit, 1, MAX_EVALS, bool(certified), fixed)
            scan = run_request(request, pool, None, progress, f"{op} tol {tol:.3g}")
            if not scan.covered:
                overflowing = tol
                tol /= TOL_FACTOR
                continue
            if len(scan.hits) < k and tol < widest:
                wider = tol * TOL_FACTOR
                if overflowing is not None and wider >= overflowing:
                    limit *= int(TOL_FACTOR)  # between two tolerances that both fail: keep more hits
                    tol = overflowing
                else:
                    tol = min(wider, widest)
                continue
            rows = sorted(scan.hits, key=lambda h: h.distance_ulp)[:k]  # stable: ties stay in ascending x
            return WorstCases(op, "f32" if f32 else "f64", low, high, k, bool(certified), tol, scan.evaluated, rows,
                              fixed)
    finally:
        if owned:
            pool.shutdown(wait=True, cancel_futures=True)


def worst_cases(op: str, lo: Optional[_FloatLike] = None, hi: Optional[_FloatLike] = None, dtype: str = "f32",
                top: SupportsIndex = 10, *, workers: Optional[int] = None, executor: Optional[cf.Executor] = None,
                certified: bool = True, progress: ProgressArg = False, y: Optional[_FloatLike] = None) -> list[Hit]:
    """The ``top`` inputs in [lo, hi] whose exact ``op`` result lies closest to a rounding midpoint.

    Ranked by distance (certified unless ``certified=False``), ties by ascending x; fewer rows
    only when fewer inputs have an inexact, finite result (certified: one within
    ``fpscope._certify.MAX_TOLERANCE`` ulp of a midpoint). The range defaults to every binary32
    float; binary64 (``sqrt`` only) needs an explicit range. ``workers``, ``executor`` and
    ``progress`` are those of :func:`knife_edges`, which does the scans. Besides the core's
    operations, C's other <math.h> functions and numpy's names for them are ranked too; ``y`` is the
    second argument of ``hypot``, ``atan2`` or ``pow``, fixed while the first walks over the range.
    """
    return find_worst_cases(op, lo, hi, dtype, top, workers=workers, executor=executor, certified=certified,
                            progress=progress, y=y).rows


_TABLES = resources.files("fpscope").joinpath("data").joinpath("worst")


@functools.lru_cache(maxsize=None)
def _table_files() -> frozenset[str]:
    """The file names of the shipped tables (none where the package was installed without them)."""
    try:
        return frozenset(entry.name for entry in _TABLES.iterdir() if entry.is_file())
    except OSError:
        return frozenset()


def worst_table(op: str, dtype: str = "f32") -> dict[str, Any]:
    """The shipped worst-case table of ``op`` (JSON form: range, tolerance, ``rows``) in binary32
    (``dtype`` "f32"), binary16 ("f16") or bfloat16 ("bf16"): every input of the format ranked.

    Rows list ``x``, ``rounded``, ``distance_ulp`` and ``exact_above`` (floats also as ``*_hex``);
    ``lo``/``hi`` say which inputs the table covers. C's functions of one argument beyond the core's
    catalogue have binary32 tables, under numpy's names as well (``worst_table("arcsinh")``). Raises
    ``LookupError`` for an operation without a table.
    """
    # numpy's names (arcsinh) find the table of C's (asinh).
    name = f"{resolve(dtype).name}_{_certify.canonical_op(op) if isinstance(op, str) else op}.json"
    # The name is looked up among the shipped files, never made into a path: a long name or one
    # with a NUL or a slash in it is just an unknown operation.
    if not isinstance(op, str) or name not in _table_files():
        raise LookupError(f"no worst-case table for {op!r} in {dtype!r}")
    table: dict[str, Any] = json.loads(_TABLES.joinpath(name).read_text(encoding="utf-8"))
    return table
