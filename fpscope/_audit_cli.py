"""The ``audit`` command: ``fpscope audit OP IMPL [LO HI] [--dtype] [--sample N] [--seed] [--workers N]
[--scheduler ADDR] [--json] [--plot FILE]``, as functions the command line wires in.

IMPL is ``numpy`` (numpy's function of that name), ``libm`` (the C library's function for the
operation and format), ``LIBRARY:SYMBOL`` (when the part before the colon contains ``/`` or ``.so``)
or ``MODULE:FUNCTION`` (an importable Python array function).
"""
from __future__ import annotations

import argparse
import importlib
import json
import math
import sys
from typing import IO, Any, Optional

from fpscope import _certify
from fpscope._audit import Audit, AuditInterrupted, audit, input_hex, native
from fpscope._floats import hexfloat, is_f32, parse_float

LIBM = "libm.so.6"
# The C library's functions; binary32 takes the name with an "f". C's other operations are there under their
# own names (the newest of them only in recent libraries: an older one is "no symbol").
LIBM_FUNCTIONS = {op: op for op in ("exp", "exp2", "expm1", "log", "log2", "log10", "log1p", "sin", "cos", "tan",
                                    "atan", "tanh", "sqrt", "cbrt", "asin", "acos", "sinh", "cosh", "asinh",
                                    "acosh", "atanh", "exp10", "erf", "erfc", "tgamma", "lgamma", "sinpi", "cospi",
                                    "tanpi", "log2p1", "exp2m1", "hypot", "atan2", "pow")}
# numpy's functions of the operations it has, by its names (arcsinh for asinh).
NUMPY_FUNCTIONS = {**{op: op for op in ("exp", "exp2", "expm1", "log", "log2", "log10", "log1p", "sin", "cos",
                                        "tan", "tanh", "sqrt", "cbrt", "sinh", "cosh")},
                   "atan": "arctan", "asin": "arcsin", "acos": "arccos", "asinh": "arcsinh", "acosh": "arccosh",
                   "atanh": "arctanh", "div": "divide", "hypot": "hypot", "atan2": "arctan2", "pow": "power"}


def resolve_impl(impl: str, op: str, dtype: str) -> Any:
    """The implementation an IMPL argument names; ValueError with a one-line message otherwise."""
    name = _certify.canonical_op(op)
    if impl in ("numpy", "libm"):
        table = NUMPY_FUNCTIONS if impl == "numpy" else LIBM_FUNCTIONS
        if name not in table:
            raise ValueError(f"{impl} has no {name}: give LIBRARY:SYMBOL or MODULE:FUNCTION")
        if impl == "numpy":
            return getattr(importlib.import_module("numpy"), table[name])
        return native(LIBM, table[name] + ("f" if is_f32(dtype) else ""), dtype)
    if ":" not in impl:
        raise ValueError(f"bad IMPL {impl!r}: use numpy, libm, LIBRARY:SYMBOL or MODULE:FUNCTION")
    left, right = impl.rsplit(":", 1)
    if "/" in left or ".so" in left:
        return native(left, right, dtype)
    try:
        module = importlib.import_module(left)
    except Exception as e:
        raise ValueError(f"cannot import {left!r}: {e}") from None
    fn = getattr(module, right, None)
    if not callable(fn):
        raise ValueError(f"module {left!r} has no function {right!r}")
    return fn


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("op")
    parser.add_argument("impl")
    parser.add_argument("lo", nargs="?")
    parser.add_argument("hi", nargs="?")
    parser.add_argument("--dtype", default="f32")
    parser.add_argument("--sample", type=int)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--workers", type=int)
    parser.add_argument("--scheduler")
    parser.add_argument("--json", action="store_true")
    parser.add_argument("--plot")


def render_text(a: Audit) -> str:
    total = max(a.inputs, 1)
    lines = [f"audit of {a.impl} for {a.op} ({a.dtype}): {a.inputs} inputs"
             + (" (every one)" if a.exhaustive else "") + ("" if a.complete else " (interrupted)"),
             f"  correctly rounded   {a.correctly_rounded:>12}  {100 * a.correctly_rounded / total:8.4f}%",
             f"  misrounded          {a.misrounded:>12}  {100 * a.misrounded / total:8.4f}%",
             f"  special mismatches  {a.special_mismatches:>12}"]
    if a.max_error_x is not None:
        lines.append(f"  max error {a.max_error:.6f} ulp at x = {input_hex(a.max_error_x)}")
    for x, y, r in a.special_examples[:5]:
        lines.append(f"  special: x = {input_hex(x)}: got {hexfloat(y)}, expected {hexfloat(r)}")
    lines.append("error (ulp)        count")
    for low, high, count in a.histogram:
        if count:
            label = "0 (exact)" if high == 0 else (f"> {low:g}" if math.isinf(high) else f"({low:g}, {high:g}]")
            lines.append(f"  {label:<16} {count:>12}")
    return "\n".join(lines)


PLOT_FORMATS = (".png", ".svg")


def _figure_class() -> Any:
    """matplotlib's Figure, drawn without pyplot (no backend or state of the caller's is touched); a
    ValueError naming the extra when matplotlib is missing."""
    try:
        return importlib.import_module("matplotlib.figure").Figure
    except ImportError:
        raise ValueError("--plot needs matplotlib: pip install 'fpscope[plot]'") from None


def plot(a: Audit, path: str) -> None:
    """The largest error per binade of the input and the histogram, as PNG (drawn by Agg) or SVG by the
    file's suffix."""
    if not path.lower().endswith(PLOT_FORMATS):
        raise ValueError(f"--plot writes PNG or SVG: {path!r} ends in neither .png nor .svg")
    fig = _figure_class()(figsize=(11, 4))
    left, right = fig.subplots(1, 2)
    for sign, style in ((1, "o-"), (-1, "s--")):
        rows = [(e, m) for s, e, m in a.per_binade if s == sign]
        if rows:
            left.plot([e for e, _ in rows], [m for _, m in rows], style, label="x > 0" if sign > 0 else "x < 0")
    left.set_xlabel("binade of x (exponent)")
    left.set_ylabel("max error (ulp)")
    if a.per_binade:
        left.legend()
    bins = [(low, high, count) for low, high, count in a.histogram if count]
    right.bar(range(len(bins)), [c for _, _, c in bins])
    right.set_xticks(range(len(bins)), ["0" if h == 0 else f"<={h:g}" if math.isfinite(h) else f">{lo:g}"
                                        for lo, h, _ in bins], rotation=45)
    if bins:
        right.set_yscale("log")
    right.set_ylabel("inputs")
    fig.suptitle(f"{a.impl} for {a.op} ({a.dtype})")
    fig.tight_layout()
    fig.savefig(path)


def to_json(a: Audit) -> str:
    """The audit's fields as strict JSON, as the other commands print: non-finite floats as the strings
    "inf", "-inf" and "nan"."""
    def strict(v: Any) -> Any:
        if isinstance(v, float) and not math.isfinite(v):
            return repr(v)
        if isinstance(v, list):
            return [strict(i) for i in v]
        return v

    return json.dumps({k: strict(v) for k, v in a.to_dict().items()}, indent=2, allow_nan=False)


def command(ns: argparse.Namespace, out: Optional[IO[str]] = None, err: Optional[IO[str]] = None) -> int:
    """Runs one audit command: 0 on success, 2 with one line on stderr for a bad request, 130 on Ctrl-C
    (after printing the partial audit)."""
    from fpscope._cluster import scan_engine

    out = out or sys.stdout
    err = err or sys.stderr
    try:
        if (ns.lo is None) != (ns.hi is None):
            raise ValueError("give both LO and HI, or neither")
        lo = None if ns.lo is None else parse_float(ns.lo)
        hi = None if ns.hi is None else parse_float(ns.hi)
        if ns.plot:  # before a long audit, not after it
            if not ns.plot.lower().endswith(PLOT_FORMATS):
                raise ValueError(f"--plot writes PNG or SVG: {ns.plot!r} ends in neither .png nor .svg")
            _figure_class()
        impl = resolve_impl(ns.impl, ns.op, ns.dtype)
        with scan_engine(ns.workers, ns.scheduler) as engine:
            try:
                result = audit(impl, ns.op, ns.dtype, lo, hi, sample=ns.sample, seed=ns.seed, **engine)
                status = 0
            except AuditInterrupted as stop:
                result, status = stop.partial, 130
        if ns.plot:
            plot(result, ns.plot)
    except (ValueError, TypeError, OSError, ArithmeticError) as e:
        print(f"fpscope audit: {e}", file=err)
        return 2
    except Exception as e:  # the implementation itself failed
        print(f"fpscope audit: {ns.impl} failed: {type(e).__name__}: {e}", file=err)
        return 2
    print(to_json(result) if ns.json else render_text(result), file=out)
    return status


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="fpscope audit")
    add_arguments(parser)
    return command(parser.parse_args(argv))
