"""``fpscope worst``: the inputs whose exact result lies closest to a rounding midpoint."""
from __future__ import annotations

import argparse
from typing import Any

from fpscope import _cluster, _core, _mathlib, _worst
from fpscope._core import __version__
from fpscope.cli._main import EXIT_OK, Command, check_range, count_arg, engine_options, float_arg
from fpscope.cli._render import float_fields, hit_fields, print_hits, print_hits_csv, print_json, progress


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("op", help=f"operation: {', '.join(_core.UNARY_OPS)}, {_mathlib.UNARY_NAMES}, or with --y "
                              f"{_mathlib.BINARY_NAMES}; numpy's names: {_mathlib.NUMPY_NAMES} "
                              "(f64: sqrt only, with a range)")
    p.add_argument("lo", type=float_arg, nargs="?", default=None, help="lower end of the range, inclusive")
    p.add_argument("hi", type=float_arg, nargs="?", default=None, help="upper end of the range, inclusive")
    p.add_argument("--y", type=float_arg, default=None,
                   help="the second argument of hypot, atan2 or pow, fixed while the first walks over [LO, HI]")
    p.add_argument("--top", type=count_arg, default=10, help="how many inputs (default 10)")
    p.add_argument("--csv", action="store_true", help="one line per input, comma-separated, closest first")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    engine_options(p)


def check(args: argparse.Namespace) -> None:
    check_range("worst", args.op, args.lo, args.hi, None)
    if args.y is not None and _mathlib.canonical_op(args.op) not in _mathlib.BINARY_OPS:
        raise ValueError(f"{args.op} takes one operand; --y is only for hypot, atan2 and pow")


def to_json(result: _worst.WorstCases) -> dict[str, Any]:
    """The JSON form of a table, as ``fpscope worst --json`` prints and ``fpscope/data/worst/`` keeps it."""
    return {"op": result.op, "dtype": result.dtype, **float_fields("lo", result.lo), **float_fields("hi", result.hi),
            **(float_fields("y", result.y) if result.y is not None else {}),
            "top": result.top, "certified": result.certified, "tol_ulp": result.tol_ulp,
            "evaluated": result.evaluated, "fpscope_version": __version__,
            "rows": [hit_fields(h) for h in result.rows]}


def run(args: argparse.Namespace) -> int:
    lo, hi = (args.lo, args.hi) if args.lo is not None else (None, None)
    with _cluster.scan_engine(args.workers, args.scheduler) as engine:
        result = _worst.find_worst_cases(args.op, lo, hi, args.dtype, args.top, certified=not args.uncertified,
                                         progress=progress(args), y=args.y, **engine)
    if args.json:
        print_json(to_json(result))
        return EXIT_OK
    if args.csv:
        print_hits_csv([(result.op, result.rows)])
        return EXIT_OK
    what = result.op if result.y is None else f"{result.op}(x, {result.y!r}) for x"
    print(f"{what} over [{result.lo!r}, {result.hi!r}] in {result.dtype}: the {result.top} inputs "
          f"closest to a rounding midpoint ({'certified' if result.certified else 'uncertified'})")
    if result.rows:
        print_hits(result.rows, ranked=True)
    else:
        print("no input has an inexact, finite result")
    print(f"{result.evaluated} inputs evaluated; every input closer than {result.tol_ulp!r} ulp was ranked")
    return EXIT_OK


COMMAND = Command("worst", "the inputs whose exact result lies closest to a rounding midpoint (default: every f32 "
                           "input)", "f32", add_arguments, run, check)
