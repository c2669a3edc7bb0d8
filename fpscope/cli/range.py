"""``fpscope range``: every float of the format in [lo, hi]."""
from __future__ import annotations

import argparse

from fpscope._floats import hexfloat
from fpscope._formats import resolve
from fpscope.cli._main import EXIT_OK, Command, count_arg, float_arg
from fpscope.cli._render import bits_text, float_fields, print_json, table


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("lo", type=float_arg)
    p.add_argument("hi", type=float_arg)
    p.add_argument("--limit", type=count_arg, default=1000,
                   help="refuse ranges holding more floats than this (default 1000)")


def run(args: argparse.Namespace) -> int:
    fmt = resolve(args.dtype)
    values = fmt.all_floats(args.lo, args.hi, args.limit)
    if args.json:
        print_json([{**float_fields("value", v), "bits": bits_text(v, fmt)} for v in values])
        return EXIT_OK
    if not values:
        print("no floats in the range")
        return EXIT_OK
    table(["#", "value", "hex", "bits"],
          [[str(i), repr(v), hexfloat(v), bits_text(v, fmt)] for i, v in enumerate(values)], right=[0])
    return EXIT_OK


COMMAND = Command("range", "every float of the format in [lo, hi]", "f32", add_arguments, run)
