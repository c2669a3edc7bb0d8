"""``fpscope ulp``: the distance between two floats, counted in floats of the format."""
from __future__ import annotations

import argparse

from fpscope._floats import hexfloat
from fpscope._formats import resolve
from fpscope.cli._main import EXIT_OK, Command, float_arg
from fpscope.cli._render import float_fields, in_format, print_json, table


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("a", type=float_arg)
    p.add_argument("b", type=float_arg)


def run(args: argparse.Namespace) -> int:
    fmt = resolve(args.dtype)
    distance = fmt.ulp_distance(args.a, args.b)
    dtype = fmt.name
    a, b = in_format(args.a, fmt), in_format(args.b, fmt)
    if args.json:
        print_json({"dtype": dtype, **float_fields("a", a), **float_fields("b", b), "distance": distance})
        return EXIT_OK
    table(["", "value", "hex", "ordered"],
          [[name, repr(v), hexfloat(v), str(fmt.ordered(v))] for name, v in (("a", a), ("b", b))],
          right=[3])
    print(f"distance: {distance} ulp ({dtype})" if distance is not None
          else "distance: undefined, a NaN is no number of floats away from anything")
    return EXIT_OK


COMMAND = Command("ulp", "distance between two floats, counted in floats of the format", "f64", add_arguments, run)
