"""``fpscope neighbours``: the k floats below x, x, and the k floats above it."""
from __future__ import annotations

import argparse
import math

from fpscope._floats import hexfloat
from fpscope._formats import resolve
from fpscope.cli._main import EXIT_OK, Command, count_arg, float_arg
from fpscope.cli._render import bits_text, float_fields, print_json, table

# An answer that cannot fit in memory is refused up front: the process would otherwise be killed
# by the kernel.
MAX_NEIGHBOURS = 10**6


def _neighbour_count_arg(text: str) -> int:
    value = count_arg(text)
    if value > MAX_NEIGHBOURS:
        raise argparse.ArgumentTypeError(f"at most {MAX_NEIGHBOURS} floats on each side, not {value}")
    return value


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("x", type=float_arg)
    p.add_argument("-k", type=_neighbour_count_arg, default=1,
                   help=f"floats on each side (default 1, at most {MAX_NEIGHBOURS:,})")


def run(args: argparse.Namespace) -> int:
    fmt = resolve(args.dtype)
    values = fmt.neighbours(args.x, args.k)
    centre = fmt.ordered(args.x)
    rows = [(fmt.ordered(v) - centre if math.isfinite(v) else 0, v) for v in values]
    if args.json:
        print_json([{"offset": k, **float_fields("value", v), "bits": bits_text(v, fmt)} for k, v in rows])
        return EXIT_OK
    table(["offset", "value", "hex", "bits"],
          [[f"{k:+d}" if k else "0", repr(v), hexfloat(v), bits_text(v, fmt)] for k, v in rows], right=[0])
    return EXIT_OK


COMMAND = Command("neighbours", "the k floats below x, x, and the k floats above it", "f64", add_arguments, run)
