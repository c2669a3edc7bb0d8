"""The ``fpscope`` command: exact float questions from a terminal.

Every subcommand prints an aligned table with each float in ``repr`` and C99 hex form, or JSON
with ``--json`` (non-finite floats as the strings "inf", "-inf", "nan"; every float also as a
``*_hex`` string). The commands that list hits (``scan``, ``worst``, ``sweep``) also print CSV with
``--csv``: a line of column names, then one line per hit; a scan that stops before the end of its
range says so on stderr. Floats on the command line are what Python's ``float()`` reads (``1.5``,
``-0.0``, ``1e-3``, ``inf``, ``nan``) or C99 hex with its ``0x`` prefix (``0x1.8p+1``).

A failure is one line on stderr, never a traceback (control characters in it, such as a newline
in an argument, are written as escapes like ``\\n``). Exit status:

- 0: success;
- 1: internal failure (a fault in fpscope itself);
- 2: usage error or refused request (bad arguments, a request the core refuses, a range or
  tolerance that can only give an empty or meaningless answer, not enough memory for the answer);
- 74: the output could not be written (a full disk, ``/dev/full``, a closed standard output);
- 130: interrupted (Ctrl-C); a scan still prints what it found and how to continue;
- 141: the reader of the output went away (``fpscope range ... | head``): the output stops
  quietly, with the status of a process ended by SIGPIPE.

The command parses and computes in the default float environment (rounding to nearest, subnormals
kept), whatever the process it runs in has set: a library built with fast-math loaded into it, or
a directed rounding mode, changes no answer.
"""
# Each command is a module of its own; fpscope.cli._main holds the parser, main and the exit
# statuses, fpscope.cli._render the output every command shares. A new command is a module that
# defines COMMAND, and its name in COMMANDS below.
from __future__ import annotations

import argparse
from typing import Optional, Sequence

from fpscope.cli import _main, audit, edges, midpoint, neighbours, range, scan, special, sweep, ulp, worst

# The commands, in the order ``fpscope --help`` lists them.
COMMANDS = (scan.COMMAND, worst.COMMAND, sweep.COMMAND, audit.COMMAND, midpoint.COMMAND, special.COMMAND, ulp.COMMAND,
            neighbours.COMMAND, range.COMMAND, edges.COMMAND)


def build_parser() -> argparse.ArgumentParser:
    """The parser of the ``fpscope`` command and all its commands."""
    return _main.build_parser(COMMANDS)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one command; returns the exit status (see the module docstring)."""
    return _main.main(COMMANDS, argv)


__all__ = ["build_parser", "main"]
