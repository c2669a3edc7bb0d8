"""The parser, ``main`` and the exit statuses of the ``fpscope`` command (see :mod:`fpscope.cli`).

The commands are modules of their own, each with a :class:`Command`; this module knows none of them
and is handed their list. It holds what they share: the argument types, the engine options, the
checks of a range request, and the one-line reporting of every failure.
"""
from __future__ import annotations

import argparse
import errno
import math
import os
import sys
from dataclasses import dataclass
from typing import Any, Callable, NoReturn, Optional, Sequence

from fpscope import _cluster, _core
from fpscope._core import PanicException
from fpscope._fenv import default_float_environment
from fpscope._floats import parse_float

EXIT_OK = 0
EXIT_INTERNAL = 1
EXIT_USAGE = 2
EXIT_WRITE = 74  # EX_IOERR of sysexits.h
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 128 + 13  # as reported for a process killed by SIGPIPE

# Workers that cannot run at once are refused up front: the command would otherwise hang starting them.
WORKERS_PER_CORE = 4


def _no_check(args: argparse.Namespace) -> None:
    pass


@dataclass(frozen=True)
class Command:
    """One command: its name, its help line, its default ``--dtype``, and three functions.

    ``add_arguments(parser)`` adds its arguments after ``--dtype`` and ``--json``; ``check(args)``
    refuses a request that can only give an empty or meaningless answer (ValueError), before any
    work; ``run(args)`` answers and returns the exit status.
    """

    name: str
    help: str
    dtype: str
    add_arguments: Callable[[argparse.ArgumentParser], None]
    run: Callable[[argparse.Namespace], int]
    check: Callable[[argparse.Namespace], None] = _no_check


def escaped(text: str) -> str:
    """``text`` with each character that is not printable (newline, escape, bidirectional
    controls) written as its Python escape, so a message stays one line that shows what was typed."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as one line instead of the usage block plus the error."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {escaped(message)} (see '{self.prog} --help')\n")


# ---------------------------------------------------------------- argument types

def float_arg(text: str) -> float:
    try:
        return parse_float(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def int_arg(text: str) -> int:
    s = text.strip()
    try:
        return int(s, 0)
    except ValueError:
        pass
    try:
        value = float(s)
    except ValueError:
        value = math.nan
    if math.isfinite(value) and value == int(value):
        return int(value)
    raise argparse.ArgumentTypeError(f"not an integer: {s!r}")


def count_arg(text: str) -> int:
    value = int_arg(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text.strip()!r}")
    return value


def protect_negative_floats(argv: Sequence[str]) -> list[str]:
    """Keep argparse from reading ``-inf``, ``-1e-3`` or ``-0x1p-3`` as options.

    argparse treats a token that starts with '-' as an option unless it looks like a plain
    negative number; a token with a space in it is always positional, and the float and integer
    parsers strip the space again.
    """
    out = []
    for token in argv:
        if len(token) > 1 and token.startswith("-") and not token.startswith("--"):
            try:
                parse_float(token)
            except ValueError:
                pass
            else:
                token = " " + token
        out.append(token)
    return out


# ---------------------------------------------------------------- shared options and checks

def engine_options(p: argparse.ArgumentParser) -> None:
    """Where and how a scan runs: --workers, --scheduler, --uncertified."""
    p.add_argument("--workers", type=int_arg, default=None,
                   help="run on this many threads (-1: one per core; default: the calling thread)")
    p.add_argument("--scheduler", default=None, metavar="ADDRESS",
                   help=f"run on a dask cluster: {_cluster.SCHEDULER_FORMS} (local:N: at most {WORKERS_PER_CORE} "
                        "workers per core; pip install 'fpscope[dask]')")
    p.add_argument("--uncertified", action="store_true",
                   help="judge by the core's own results instead of certified ones (faster)")


def check_range(command: str, op: Optional[str], lo: Optional[float], hi: Optional[float],
                tol: Optional[float]) -> None:
    """Refuses a scan of [lo, hi] that could only give an empty or meaningless answer, with ValueError.

    The Python functions answer these as specified (a reversed range is an empty scan); on the
    command line they are almost always a slip, so they are refused with a message instead.
    """
    if op == "div":
        raise ValueError(f"div is not a {command} operation: it takes a unary operation "
                         f"({', '.join(_core.UNARY_OPS)}); for one quotient use: fpscope midpoint div X Y")
    if lo is not None and hi is not None:
        if math.isnan(lo) or math.isnan(hi):
            raise ValueError(f"a range bound is NaN: [{lo!r}, {hi!r}] holds no inputs")
        if lo > hi:
            raise ValueError(f"reversed range: lo {lo!r} is above hi {hi!r}, so it holds no inputs")
    if tol is not None and not tol >= 0:
        raise ValueError(f"the tolerance must be a non-negative number of ulp, not {tol!r}")


def _check_scheduler(scheduler: Optional[str]) -> None:
    if scheduler is not None:
        kind, count = _cluster.parse_scheduler(scheduler)
        cores = os.cpu_count() or 1
        if kind == "local" and count > WORKERS_PER_CORE * cores:
            raise ValueError(f"--scheduler {scheduler}: at most {WORKERS_PER_CORE} local workers per core "
                             f"({WORKERS_PER_CORE * cores} on this machine)")


# ---------------------------------------------------------------- the parser

def build_parser(commands: Sequence[Command]) -> argparse.ArgumentParser:
    parser = _Parser(
        prog="fpscope",
        description="Exact answers about IEEE 754 binary32 (f32) and binary64 (f64) floats. "
                    "Floats may be written in decimal (1.5, -0.0, inf, nan) or C99 hex (0x1.8p+1).")
    parser.add_argument("--version", action="version", version=f"fpscope {_core.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True
    for command in commands:
        p = sub.add_parser(command.name, help=command.help, description=command.help)
        p.set_defaults(run=command.run, check=command.check)
        p.add_argument("--dtype", default=command.dtype, help=f"f32, f64, f16 or bf16 (also float32/float, float64/double, float16/half, bfloat16; "
                                                              f"default {command.dtype})")
        p.add_argument("--json", action="store_true", help="machine-readable output")
        command.add_arguments(p)
    return parser


def _subparser(parser: argparse.ArgumentParser, command: str) -> Optional[argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            chosen: Optional[argparse.ArgumentParser] = action.choices.get(command)
            return chosen
    return None


# ---------------------------------------------------------------- output and failures

class _OutputError(Exception):
    """Writing the command's output failed; ``error`` is the OSError the stream raised."""

    def __init__(self, error: OSError) -> None:
        super().__init__(error)
        self.error = error


class _GuardedOutput:
    """Standard output for one command: a failed write or flush raises :class:`_OutputError`, so
    it is told apart from an OSError of anything else. A process started with its standard output
    closed has no stream (``None``); writing to it fails as writing to a closed descriptor does."""

    def __init__(self, stream: Any) -> None:
        self._stream = stream

    def _closed(self) -> _OutputError:
        return _OutputError(OSError(errno.EBADF, os.strerror(errno.EBADF)))

    def write(self, text: str) -> int:
        if self._stream is None:
            raise self._closed()
        try:
            return int(self._stream.write(text))
        except OSError as e:
            raise _OutputError(e) from None

    def flush(self) -> None:
        if self._stream is None:
            return  # nothing was written
        try:
            self._stream.flush()
        except OSError as e:
            raise _OutputError(e) from None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def _silence_stdout(stream: Any) -> None:
    """Points ``stream``'s file descriptor at /dev/null, so the interpreter's final flush of what is
    still buffered cannot fail again (and print its own traceback) once the failure is reported."""
    if stream is None:
        return  # no stream, nothing buffered
    try:
        fd = stream.fileno()
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, fd)
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


def to_stderr(command: str, message: str) -> None:
    """``message`` as one line on stderr after the command's name, control characters escaped;
    nothing when stderr is gone (closed, or never open)."""
    if sys.stderr is None:
        return  # started with stderr closed: the exit status is all that is left
    try:
        print(f"fpscope{' ' + command if command else ''}: {escaped(message)}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass  # stderr is gone too: the exit status is all that is left


# All of it in the default float environment, the reading of the command line included: under
# upward rounding ``float("0.3")`` is the float above 0.3, under denormals-are-zero a subnormal
# reads as zero.
@default_float_environment
def main(commands: Sequence[Command], argv: Optional[Sequence[str]] = None) -> int:
    """Runs one of ``commands``; returns the exit status (see :mod:`fpscope.cli`)."""
    command = ""
    stdout = sys.stdout
    sys.stdout = _GuardedOutput(stdout)  # type: ignore[assignment]
    try:
        try:
            parser = build_parser(commands)
            args = parser.parse_args(protect_negative_floats(sys.argv[1:] if argv is None else argv))
            command = args.command
            chosen = _subparser(parser, command)
            if chosen is not None:
                args.parser = chosen
            args.check(args)
            _check_scheduler(getattr(args, "scheduler", None))
            status: int = args.run(args)
        except SystemExit as done:  # argparse after --help, --version or a usage error
            status = done.code if isinstance(done.code, int) else (0 if done.code is None else EXIT_USAGE)
        sys.stdout.flush()
        return status
    except (ValueError, TypeError, OverflowError) as e:
        to_stderr(command, f"error: {e}")
        return EXIT_USAGE
    except MemoryError:
        to_stderr(command, "error: not enough memory for the answer; ask for fewer values")
        return EXIT_USAGE
    except KeyboardInterrupt:
        to_stderr("", "interrupted")
        return EXIT_INTERRUPTED
    except _OutputError as e:
        _silence_stdout(stdout)
        if isinstance(e.error, BrokenPipeError):
            return EXIT_BROKEN_PIPE  # the reader went away (``fpscope range ... | head``): stop quietly
        to_stderr(command, f"error: cannot write the output: {e.error.strerror or e.error}")
        return EXIT_WRITE
    except Exception as e:
        if os.environ.get("FPSCOPE_TRACEBACK"):
            raise
        to_stderr(command, f"internal failure: {type(e).__name__}: {e} (set FPSCOPE_TRACEBACK=1 for the "
                                "traceback)")
        return EXIT_INTERNAL
    except PanicException as e:
        to_stderr(command, f"internal failure: {e}")
        return EXIT_INTERNAL
    finally:
        sys.stdout = stdout
