"""``fpscope midpoint``: where the exact result of one operation lies against the rounding midpoint."""
from __future__ import annotations

import argparse
import math

from fpscope import _core, _mathlib, report
from fpscope._floats import hexfloat
from fpscope._formats import resolve
from fpscope.cli._main import EXIT_OK, Command, float_arg
from fpscope.cli._render import core_differs, core_judgement, float_fields, in_format, is_core, print_json, report_fields, table


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("op", help=f"{', '.join(_core.UNARY_OPS)}, {_mathlib.UNARY_NAMES}; of two (need Y): div, "
                              f"{_mathlib.BINARY_NAMES}; numpy's names: {_mathlib.NUMPY_NAMES}")
    p.add_argument("x", type=float_arg)
    p.add_argument("y", type=float_arg, nargs="?", default=None,
                   help="second argument: the divisor of div, atan2(X, Y), pow(X, Y), hypot(X, Y)")
    p.add_argument("--uncertified", action="store_true",
                   help="the core's own answer: binary32 library functions judged from binary64")


def _binary(op: str) -> bool:
    return op == "div" or _mathlib.canonical_op(op) in _mathlib.BINARY_OPS


def check(args: argparse.Namespace) -> None:
    if args.y is not None and not _binary(args.op):
        raise ValueError(f"{args.op} takes one operand; y is only for div, hypot, atan2 and pow")


def run(args: argparse.Namespace) -> int:
    fmt = resolve(args.dtype)
    # The 16-bit formats have one answer, certified, --uncertified or not: there is no judgement of the
    # core's to differ, and the answer says it is certified.
    uncertified = args.uncertified and is_core(fmt)
    answer = report(args.op, args.x, args.dtype, args.y, certified=not uncertified)
    try:
        core = report(args.op, args.x, args.dtype, args.y, certified=False) if is_core(fmt) else answer
        differs = not uncertified and core_differs(answer, core)
    except ValueError:  # the core has no binary64 estimate of C's other functions: MPFR answered alone
        core, differs = None, False
    dtype = fmt.name
    f32 = dtype == "f32"
    x = in_format(args.x, fmt)
    if args.y is None:
        what = f"{args.op}({x!r})"
    elif args.op == "div":
        what = f"{x!r} / {in_format(args.y, fmt)!r}"
    else:
        what = f"{args.op}({x!r}, {in_format(args.y, fmt)!r})"
    if args.json:
        print_json({"op": args.op, "dtype": dtype, **float_fields("x", x),
                    **(float_fields("y", in_format(args.y, fmt)) if args.y is not None else {}),
                    "certified": not uncertified,
                    "report": None if answer is None else report_fields(answer),
                    **({"core_differs": differs, "core_report": None if core is None else report_fields(core)}
                       if not uncertified else {})})
        return EXIT_OK
    mode = "" if uncertified else " (certified)"
    if answer is None:
        print(f"{what} in {dtype}: no report (the result is not finite, or the input is outside the "
              "operation's domain)")
    else:
        print(f"{what} in {dtype}{mode}")
        table(["field", "value", "hex"], [
            ["rounded", repr(answer.rounded), hexfloat(answer.rounded)],
            ["distance_ulp", repr(answer.distance_ulp), hexfloat(answer.distance_ulp)],
            ["exact_above", str(answer.exact_above), ""],
            ["exact", str(answer.exact), ""],
        ])
        if answer.exact:
            print("exact: the result is itself a float of the format")
        else:
            side = "above" if answer.exact_above else "below"
            if args.op in ("recip", "reciprocal") and f32 and math.copysign(1.0, answer.rounded) < 0:
                side += " (in magnitude)"
            # Only a certified distance of 0.0 is a tie; the core's may be a tiny distance rounded.
            tie = " (on the midpoint: a tie, rounded to even)" if answer.distance_ulp == 0.0 and not uncertified else ""
            # So close to a float that the distance rounds to 0.5, yet not on it.
            near = " (not exact: it only rounds to 0.5)" if answer.distance_ulp == 0.5 else ""
            print(f"exact result lies {side} rounded; {answer.distance_ulp!r} ulp from the rounding "
                  f"midpoint{tie}{near}")
    if differs:
        print(f"* the core's binary64 judgement differs: {core_judgement(core)}")
    return EXIT_OK


COMMAND = Command("midpoint", "where the exact result of op(x), op(x, y) or x / y, lies against the rounding midpoint",
                  "f32", add_arguments, run, check)
