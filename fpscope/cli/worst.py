"""``fpscope worst``: the inputs whose exact result lies closest to a rounding midpoint."""
from __future__ import annotations

import argparse
import sys

from fpscope import _cluster, _core, _worst
from fpscope._floats import hexfloat
from fpscope.cli._main import EXIT_OK, Command, check_range, count_arg, engine_options, float_arg
from fpscope.cli._render import print_json, table


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("op", help=f"unary operation: {', '.join(_core.UNARY_OPS)} (f64: sqrt only, with a range)")
    p.add_argument("lo", type=float_arg, nargs="?", default=None, help="lower end of the range, inclusive")
    p.add_argument("hi", type=float_arg, nargs="?", default=None, help="upper end of the range, inclusive")
    p.add_argument("--top", type=count_arg, default=10, help="how many inputs (default 10)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    engine_options(p)


def check(args: argparse.Namespace) -> None:
    check_range("worst", args.op, args.lo, args.hi, None)


def run(args: argparse.Namespace) -> int:
    progress = args.progress if args.progress is not None else (sys.stderr.isatty() and not args.json)
    lo, hi = (args.lo, args.hi) if args.lo is not None else (None, None)
    with _cluster.scan_engine(args.workers, args.scheduler) as engine:
        result = _worst.find_worst_cases(args.op, lo, hi, args.dtype, args.top, certified=not args.uncertified,
                                         progress=progress, **engine)
    if args.json:
        print_json(_worst.to_json(result))
        return EXIT_OK
    print(f"{result.op} over [{result.lo!r}, {result.hi!r}] in {result.dtype}: the {result.top} inputs "
          f"closest to a rounding midpoint ({'certified' if result.certified else 'uncertified'})")
    if result.rows:
        table(["#", "x", "hex", "rounded", "hex", "distance_ulp", "exact result"],
              [[str(i + 1), repr(h.x), hexfloat(h.x), repr(h.rounded), hexfloat(h.rounded), repr(h.distance_ulp),
                "above rounded" if h.exact_above else "below rounded"] for i, h in enumerate(result.rows)],
              right=[0])
    else:
        print("no input has an inexact, finite result")
    print(f"{result.evaluated} inputs evaluated; every input closer than {result.tol_ulp!r} ulp was ranked")
    return EXIT_OK


COMMAND = Command("worst", "the inputs whose exact result lies closest to a rounding midpoint (default: every f32 "
                           "input)", "f32", add_arguments, run, check)
