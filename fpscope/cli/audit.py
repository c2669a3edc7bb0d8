"""``fpscope audit``: how accurate an implementation of an operation is, certified."""
from __future__ import annotations

import argparse
import math
from typing import Any

from fpscope import _cluster
from fpscope._audit import AuditInterrupted, audit
from fpscope._audit_cli import plot, render_text, resolve_impl
from fpscope.cli._main import EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, Command, check_range, count_arg, float_arg, \
    int_arg, to_stderr
from fpscope.cli._render import json_float, print_json


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("op", help="the operation the implementation computes (exp, log, sin, sqrt, ...; div, hypot, "
                              "atan2 and pow take pairs, drawn with --sample)")
    p.add_argument("impl", metavar="IMPL",
                   help="numpy (numpy's function of that name), libm (the C library's), LIBRARY:SYMBOL (a C "
                        "function of one float, or of two for the pairs, in a shared library) or MODULE:FUNCTION "
                        "(a Python array function)")
    p.add_argument("lo", type=float_arg, nargs="?", default=None,
                   help="lower end of the range, inclusive (default: every input of the format)")
    p.add_argument("hi", type=float_arg, nargs="?", default=None, help="upper end of the range, inclusive")
    p.add_argument("--sample", type=count_arg, default=None, help="audit this many inputs drawn at random")
    p.add_argument("--seed", type=int_arg, default=0, help="seed of the drawing (default 0)")
    p.add_argument("--workers", type=int_arg, default=None,
                   help="run on this many threads (-1: one per core; default: the calling thread)")
    p.add_argument("--scheduler", default=None, metavar="ADDRESS",
                   help=f"run on a dask cluster: {_cluster.SCHEDULER_FORMS}")
    p.add_argument("--plot", default=None, metavar="FILE",
                   help="also draw the error per input binade and the histogram (.png or .svg; needs matplotlib)")


def check(args: argparse.Namespace) -> None:
    if (args.lo is None) != (args.hi is None):
        raise ValueError("give both LO and HI, or neither")
    check_range("audit", None, args.lo, args.hi, None)


def _strict(value: Any) -> Any:
    """``value`` with every non-finite float written as the CLI's JSON writes them ("inf", "nan")."""
    if isinstance(value, float):
        return json_float(value) if not math.isfinite(value) else value
    if isinstance(value, dict):
        return {k: _strict(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_strict(v) for v in value]
    return value


def run(args: argparse.Namespace) -> int:
    impl = resolve_impl(args.impl, args.op, args.dtype)
    status = EXIT_OK
    try:
        with _cluster.scan_engine(args.workers, args.scheduler) as engine:
            try:
                result = audit(impl, args.op, args.dtype, args.lo, args.hi, sample=args.sample, seed=args.seed,
                               **engine)
            except AuditInterrupted as stop:
                result, status = stop.partial, EXIT_INTERRUPTED
    except (ValueError, TypeError, OverflowError, MemoryError, KeyboardInterrupt):
        raise
    except Exception as e:  # the implementation itself failed: the user's fault, not fpscope's
        to_stderr("audit", f"error: {args.impl} failed: {type(e).__name__}: {e}")
        return EXIT_USAGE
    if args.plot:
        plot(result, args.plot)
    if args.json:
        print_json(_strict(result.to_dict()))
    else:
        print(render_text(result))
    return status


COMMAND = Command("audit", "how accurate an implementation of an operation is: every error certified, "
                           "counted and ranked (default: every f32 input)", "f32", add_arguments, run, check)
