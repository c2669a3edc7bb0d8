"""``fpscope ulp``: the distance between two floats, counted in floats of the format."""
from __future__ import annotations

import argparse

from fpscope import _core
from fpscope._floats import hexfloat, is_f32, to_format
from fpscope.cli._main import EXIT_OK, Command, float_arg
from fpscope.cli._render import dtype_name, float_fields, print_json, table


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("a", type=float_arg)
    p.add_argument("b", type=float_arg)


def run(args: argparse.Namespace) -> int:
    distance = _core.ulp_distance(args.a, args.b, args.dtype)
    f32 = is_f32(args.dtype)
    dtype = dtype_name(args.dtype)
    a, b = to_format(args.a, f32), to_format(args.b, f32)
    if args.json:
        print_json({"dtype": dtype, **float_fields("a", a), **float_fields("b", b), "distance": distance})
        return EXIT_OK
    table(["", "value", "hex", "ordered"],
          [[name, repr(v), hexfloat(v), str(_core.ordered(v, args.dtype))] for name, v in (("a", a), ("b", b))],
          right=[3])
    print(f"distance: {distance} ulp ({dtype})" if distance is not None
          else "distance: undefined, a NaN is no number of floats away from anything")
    return EXIT_OK


COMMAND = Command("ulp", "distance between two floats, counted in floats of the format", "f64", add_arguments, run)
