"""``fpscope special``: the named edge values of a format."""
from __future__ import annotations

import argparse

from fpscope._floats import hexfloat
from fpscope._formats import resolve
from fpscope.cli._main import EXIT_OK, Command
from fpscope.cli._render import bits_text, float_fields, print_json, table


def add_arguments(p: argparse.ArgumentParser) -> None:
    pass


def run(args: argparse.Namespace) -> int:
    fmt = resolve(args.dtype)
    values = fmt.special()
    if args.json:
        print_json([{"name": name, **float_fields("value", v), "bits": bits_text(v, fmt)} for name, v in values])
        return EXIT_OK
    table(["name", "value", "hex", "bits"],
          [[name, repr(v), hexfloat(v), bits_text(v, fmt)] for name, v in values])
    return EXIT_OK


COMMAND = Command("special", "the named edge values of a format", "f32", add_arguments, run)
