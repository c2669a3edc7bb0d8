"""``fpscope edges``: the float just below 2**e and 2**e, for each normal exponent e of a range."""
from __future__ import annotations

import argparse
import math

from fpscope._floats import hexfloat
from fpscope._formats import resolve
from fpscope.cli._main import EXIT_OK, Command, int_arg
from fpscope.cli._render import float_fields, print_json, table


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("min_exp", type=int_arg)
    p.add_argument("max_exp", type=int_arg)


def run(args: argparse.Namespace) -> int:
    values = resolve(args.dtype).binade_edges(args.min_exp, args.max_exp)
    pairs = [(values[i], values[i + 1]) for i in range(0, len(values), 2)]
    rows = [(math.frexp(p)[1] - 1, below, p) for below, p in pairs]
    if args.json:
        print_json([{"e": e, **float_fields("below", below), **float_fields("power", p)} for e, below, p in rows])
        return EXIT_OK
    if not rows:
        print("no normal exponents in the range")
        return EXIT_OK
    table(["e", "just below 2**e", "hex", "2**e", "hex"],
          [[str(e), repr(below), hexfloat(below), repr(p), hexfloat(p)] for e, below, p in rows], right=[0])
    return EXIT_OK


COMMAND = Command("edges", "the float just below 2**e and 2**e, for each normal exponent e in [min_exp, max_exp]",
                  "f64", add_arguments, run)
