"""The ``fpscope`` command: exact float questions from a terminal.

Every subcommand prints an aligned table with each float in ``repr`` and C99 hex form, or JSON
with ``--json`` (non-finite floats as the strings "inf", "-inf", "nan"; every float also as a
``*_hex`` string). Floats on the command line are what Python's ``float()`` reads (``1.5``,
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
from __future__ import annotations

import argparse
import errno
import json
import math
import os
import sys
from typing import Any, Callable, NoReturn, Optional, Sequence

from fpscope import _core
from fpscope._core import PanicException
from fpscope._fenv import default_float_environment
from fpscope._floats import bits, from_ordered, hexfloat, is_f32, parse_float, to_format
from fpscope._certify import report
from fpscope._results import Scan
from fpscope._scan import ScanInterrupted, knife_edges
from fpscope import _cluster, _sweep, _worst

EXIT_OK = 0
EXIT_INTERNAL = 1
EXIT_USAGE = 2
EXIT_WRITE = 74  # EX_IOERR of sysexits.h
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 128 + 13  # as reported for a process killed by SIGPIPE

# Commands that scan a range of inputs [lo, hi] at a tolerance; their requests are checked up front.
RANGE_COMMANDS = ("scan", "sweep", "worst")
# Options that change nothing in the answer, left out of the command line that continues a scan.
NOT_REPEATED = {"help", "json", "progress", "run", "command"}
# Requests whose answer cannot fit in memory, or whose workers cannot run at once, are refused up
# front: the process would otherwise be killed by the kernel, or hang starting them.
MAX_NEIGHBOURS = 10**6
WORKERS_PER_CORE = 4


def _escaped(text: str) -> str:
    """``text`` with each character that is not printable (newline, escape, bidirectional
    controls) written as its Python escape, so a message stays one line that shows what was typed."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as one line instead of the usage block plus the error."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {_escaped(message)} (see '{self.prog} --help')\n")


# ---------------------------------------------------------------- argument types

def _float_arg(text: str) -> float:
    try:
        return parse_float(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _int_arg(text: str) -> int:
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


def _count_arg(text: str) -> int:
    value = _int_arg(text)
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {text.strip()!r}")
    return value


def _neighbour_count_arg(text: str) -> int:
    value = _count_arg(text)
    if value > MAX_NEIGHBOURS:
        raise argparse.ArgumentTypeError(f"at most {MAX_NEIGHBOURS} floats on each side, not {value}")
    return value


def _protect_negative_floats(argv: Sequence[str]) -> list[str]:
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


# ---------------------------------------------------------------- output

def _dtype_name(dtype: str) -> str:
    return "f32" if is_f32(dtype) else "f64"


def _bits_text(value: float, f32: bool) -> str:
    return f"0x{bits(value, f32):0{8 if f32 else 16}x}"


def _json_float(value: float) -> Any:
    return value if math.isfinite(value) else repr(value)


def _float_fields(name: str, value: float) -> dict[str, Any]:
    return {name: _json_float(value), f"{name}_hex": hexfloat(value)}


def _print_json(obj: Any) -> None:
    print(json.dumps(obj, indent=2, allow_nan=False))


def _table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[int] = ()) -> None:
    """Prints rows in columns separated by two blanks; column numbers in ``right`` align right."""
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    print(line(headers))
    for r in rows:
        print(line(r))


def _shown(value: float) -> str:
    """repr of a float with its dtype-free C99 hex form, for one-off lines."""
    return f"{value!r} ({hexfloat(value)})"


# ---------------------------------------------------------------- subcommands

def _scan_command(args: argparse.Namespace) -> int:
    f32 = is_f32(args.dtype)
    progress = args.progress if args.progress is not None else (sys.stderr.isatty() and not args.json)
    interrupted = False
    try:
        with _cluster.scan_engine(args.workers, args.scheduler) as engine:
            scan = knife_edges(args.op, args.lo, args.hi, args.tol, args.dtype, args.limit, args.stride,
                               args.max_evals, chunk=args.chunk, progress=progress, desc=args.op,
                               certified=not args.uncertified, **engine)
    except ScanInterrupted as stop:
        scan, interrupted = stop.scan, True
    step = args.stride or 1
    pending: Optional[float] = None
    if not scan.covered:
        pending = from_ordered(_core.ordered(args.lo, args.dtype) + scan.evaluated * step, f32)
    dtype = "f32" if f32 else "f64"
    core = {} if args.uncertified else _core_judgements(args, scan)
    if args.json:
        _print_json({
            "op": args.op, "dtype": dtype, **_float_fields("lo", to_format(args.lo, f32)),
            **_float_fields("hi", to_format(args.hi, f32)), "tol_ulp": _json_float(args.tol),
            "certified": not args.uncertified,
            "hits": [{**_float_fields("x", h.x), **_float_fields("rounded", h.rounded),
                      "distance_ulp": h.distance_ulp, "exact_above": h.exact_above,
                      **({"core_differs": True, "core_report": None if core[h.x] is None else _report_fields(core[h.x])}
                         if h.x in core else {} if args.uncertified else {"core_differs": False})}
                     for h in scan.hits],
            "evaluated": scan.evaluated, "covered": scan.covered, "interrupted": interrupted,
            **(_float_fields("next", pending) if pending is not None else {"next": None, "next_hex": None}),
        })
    else:
        _print_scan(args, scan, dtype, interrupted, pending, core)
    return EXIT_INTERRUPTED if interrupted else EXIT_OK


def _core_judgements(args: argparse.Namespace, scan: Scan) -> dict[float, Any]:
    """The core's own report for each certified hit where it decides otherwise: another rounded
    value or side, a claim of exactness, no report, or a distance that is not below the tolerance."""
    differing = {}
    for h in scan.hits:
        core = report(args.op, h.x, args.dtype, certified=False)
        if core is None or core.exact or not core.distance_ulp < args.tol or \
                (core.rounded, core.exact_above) != (h.rounded, h.exact_above):
            differing[h.x] = core
    return differing


def _print_scan(args: argparse.Namespace, scan: Scan, dtype: str, interrupted: bool,
                pending: Optional[float], core: dict[float, Any]) -> None:
    f32 = dtype == "f32"
    lo, hi = to_format(args.lo, f32), to_format(args.hi, f32)
    print(f"{args.op} over [{lo!r}, {hi!r}] in {dtype}, tolerance {args.tol!r} ulp"
          + (f", stride {args.stride}" if args.stride > 1 else ""))
    if scan.hits:
        _table(["x", "hex", "rounded", "hex", "distance_ulp", "exact result"] + (["core"] if core else []),
               [[repr(h.x), hexfloat(h.x), repr(h.rounded), hexfloat(h.rounded), repr(h.distance_ulp),
                 "above rounded" if h.exact_above else "below rounded"]
                + (["* differs" if h.x in core else ""] if core else []) for h in scan.hits])
        for x, said in core.items():
            print(f"* {x!r}: the core's binary64 judgement: " + (
                "no report" if said is None else f"rounded {said.rounded!r}, claimed exact" if said.exact else
                f"rounded {said.rounded!r}, exact result {'above' if said.exact_above else 'below'}, "
                f"{said.distance_ulp!r} ulp"))
    else:
        print("no knife edges found")
    counts = f"{len(scan.hits)} hit{'s' if len(scan.hits) != 1 else ''}, {scan.evaluated} inputs evaluated"
    if scan.covered:
        print(f"{counts}; range covered{' before the interrupt' if interrupted else ''}")
        return
    assert pending is not None
    if interrupted:
        why = "interrupted"
    elif len(scan.hits) >= args.limit:
        why = f"stopped at the hit limit ({args.limit}; raise --limit)"
    else:
        why = f"stopped at the evaluation limit ({args.max_evals}; raise --max-evals)"
    print(f"{counts}; range NOT covered: {why}")
    print(f"next input: {_shown(pending)}; continue with: {resume_command(args, pending, hi)}")


def resume_command(args: argparse.Namespace, pending: float, hi: float) -> str:
    """The command line that scans the rest of the range [pending, hi] with the same options.

    Written from the parsed options themselves, so an option added to a scan command is repeated
    too: every option whose value differs from its default (``--tol`` and ``--dtype`` always),
    except those that change nothing in the answer (``--json``, ``--progress``).
    """
    parser: Optional[argparse.ArgumentParser] = getattr(args, "parser", None)
    words = ["fpscope", args.command, args.op, hexfloat(pending), hexfloat(hi)]
    for action in parser._actions if parser is not None else []:
        if not action.option_strings or action.dest in NOT_REPEATED or not hasattr(args, action.dest):
            continue
        value = getattr(args, action.dest)
        always = action.dest in ("tol", "dtype")
        if value == action.default and not always:
            continue
        flag = max(action.option_strings, key=len)
        if isinstance(action, argparse.BooleanOptionalAction):
            words.append(flag if value else "--no-" + flag[2:])
        elif action.nargs == 0:  # store_true and the like: the flag alone says it
            words.append(flag)
        elif action.dest == "dtype":
            words += [flag, _dtype_name(value)]
        elif isinstance(value, float):
            words += [flag, repr(value)]
        elif isinstance(value, (list, tuple)):
            words += [flag, *map(str, value)]
        else:
            words += [flag, str(value)]
    return " ".join(words)


def _worst_command(args: argparse.Namespace) -> int:
    progress = args.progress if args.progress is not None else (sys.stderr.isatty() and not args.json)
    lo, hi = (args.lo, args.hi) if args.lo is not None else (None, None)
    with _cluster.scan_engine(args.workers, args.scheduler) as engine:
        result = _worst.find_worst_cases(args.op, lo, hi, args.dtype, args.top, certified=not args.uncertified,
                                         progress=progress, **engine)
    if args.json:
        _print_json(_worst.to_json(result))
        return EXIT_OK
    print(f"{result.op} over [{result.lo!r}, {result.hi!r}] in {result.dtype}: the {result.top} inputs "
          f"closest to a rounding midpoint ({'certified' if result.certified else 'uncertified'})")
    if result.rows:
        _table(["#", "x", "hex", "rounded", "hex", "distance_ulp", "exact result"],
               [[str(i + 1), repr(h.x), hexfloat(h.x), repr(h.rounded), hexfloat(h.rounded), repr(h.distance_ulp),
                 "above rounded" if h.exact_above else "below rounded"] for i, h in enumerate(result.rows)],
               right=[0])
    else:
        print("no input has an inexact, finite result")
    print(f"{result.evaluated} inputs evaluated; every input closer than {result.tol_ulp!r} ulp was ranked")
    return EXIT_OK

def _report_fields(answer: Any) -> dict[str, Any]:
    return {**_float_fields("rounded", answer.rounded), "distance_ulp": answer.distance_ulp,
            "exact_above": answer.exact_above, "exact": answer.exact}


def _differs(certified: Any, core: Any) -> bool:
    """Whether the core's own judgement differs from the certified answer in what it decides:
    whether there is a report, the rounded value, the side or exactness (its distance always
    differs a little)."""
    if certified is None or core is None:
        return certified is not core
    return (certified.rounded, certified.exact_above, certified.exact) != (core.rounded, core.exact_above, core.exact) \
        or math.copysign(1.0, certified.rounded) != math.copysign(1.0, core.rounded)


def _midpoint_command(args: argparse.Namespace) -> int:
    answer = report(args.op, args.x, args.dtype, args.y, certified=not args.uncertified)
    core = report(args.op, args.x, args.dtype, args.y, certified=False)
    differs = not args.uncertified and _differs(answer, core)
    dtype = _dtype_name(args.dtype)
    f32 = dtype == "f32"
    x = to_format(args.x, f32)
    what = f"{x!r} / {to_format(args.y, f32)!r}" if args.op == "div" and args.y is not None else f"{args.op}({x!r})"
    if args.json:
        _print_json({"op": args.op, "dtype": dtype, **_float_fields("x", x),
                     **(_float_fields("y", to_format(args.y, f32)) if args.y is not None else {}),
                     "certified": not args.uncertified,
                     "report": None if answer is None else _report_fields(answer),
                     **({"core_differs": differs, "core_report": None if core is None else _report_fields(core)}
                        if not args.uncertified else {})})
        return EXIT_OK
    mode = "" if args.uncertified else " (certified)"
    if answer is None:
        print(f"{what} in {dtype}: no report (the result is not finite, or the input is outside the "
              "operation's domain)")
    else:
        print(f"{what} in {dtype}{mode}")
        _table(["field", "value", "hex"], [
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
            tie = " (on the midpoint: a tie, rounded to even)" if answer.distance_ulp == 0.0 and not args.uncertified else ""
            # So close to a float that the distance rounds to 0.5, yet not on it.
            near = " (not exact: it only rounds to 0.5)" if answer.distance_ulp == 0.5 else ""
            print(f"exact result lies {side} rounded; {answer.distance_ulp!r} ulp from the rounding "
                  f"midpoint{tie}{near}")
    if differs:
        said = ("no report" if core is None else
                f"rounded {core.rounded!r}, "
                + ("claimed exact" if core.exact else
                   f"exact result {'above' if core.exact_above else 'below'}, {core.distance_ulp!r} ulp"))
        print(f"* the core's binary64 judgement differs: {said}")
    return EXIT_OK


def _special_command(args: argparse.Namespace) -> int:
    table = _core.special(args.dtype)
    f32 = is_f32(args.dtype)
    if args.json:
        _print_json([{"name": name, **_float_fields("value", v), "bits": _bits_text(v, f32)} for name, v in table])
        return EXIT_OK
    _table(["name", "value", "hex", "bits"],
           [[name, repr(v), hexfloat(v), _bits_text(v, f32)] for name, v in table])
    return EXIT_OK


def _ulp_command(args: argparse.Namespace) -> int:
    distance = _core.ulp_distance(args.a, args.b, args.dtype)
    f32 = is_f32(args.dtype)
    a, b = to_format(args.a, f32), to_format(args.b, f32)
    if args.json:
        _print_json({"dtype": "f32" if f32 else "f64", **_float_fields("a", a), **_float_fields("b", b),
                     "distance": distance})
        return EXIT_OK
    _table(["", "value", "hex", "ordered"],
           [[name, repr(v), hexfloat(v), str(_core.ordered(v, args.dtype))] for name, v in (("a", a), ("b", b))],
           right=[3])
    print(f"distance: {distance} ulp ({'f32' if f32 else 'f64'})" if distance is not None
          else "distance: undefined, a NaN is no number of floats away from anything")
    return EXIT_OK


def _neighbours_command(args: argparse.Namespace) -> int:
    values = _core.neighbours(args.x, args.k, args.dtype)
    f32 = is_f32(args.dtype)
    centre = _core.ordered(args.x, args.dtype)
    rows = [(_core.ordered(v, args.dtype) - centre if math.isfinite(v) else 0, v) for v in values]
    if args.json:
        _print_json([{"offset": k, **_float_fields("value", v), "bits": _bits_text(v, f32)} for k, v in rows])
        return EXIT_OK
    _table(["offset", "value", "hex", "bits"],
           [[f"{k:+d}" if k else "0", repr(v), hexfloat(v), _bits_text(v, f32)] for k, v in rows], right=[0])
    return EXIT_OK


def _range_command(args: argparse.Namespace) -> int:
    values = _core.all_floats(args.lo, args.hi, args.dtype, args.limit)
    f32 = is_f32(args.dtype)
    if args.json:
        _print_json([{**_float_fields("value", v), "bits": _bits_text(v, f32)} for v in values])
        return EXIT_OK
    if not values:
        print("no floats in the range")
        return EXIT_OK
    _table(["#", "value", "hex", "bits"],
           [[str(i), repr(v), hexfloat(v), _bits_text(v, f32)] for i, v in enumerate(values)], right=[0])
    return EXIT_OK


def _edges_command(args: argparse.Namespace) -> int:
    values = _core.binade_edges(args.min_exp, args.max_exp, args.dtype)
    pairs = [(values[i], values[i + 1]) for i in range(0, len(values), 2)]
    rows = [(math.frexp(p)[1] - 1, below, p) for below, p in pairs]
    if args.json:
        _print_json([{"e": e, **_float_fields("below", below), **_float_fields("power", p)} for e, below, p in rows])
        return EXIT_OK
    if not rows:
        print("no normal exponents in the range")
        return EXIT_OK
    _table(["e", "just below 2**e", "hex", "2**e", "hex"],
           [[str(e), repr(below), hexfloat(below), repr(p), hexfloat(p)] for e, below, p in rows], right=[0])
    return EXIT_OK


# ---------------------------------------------------------------- parser

def _engine_options(p: argparse.ArgumentParser) -> None:
    """Where and how a scan runs: --workers, --scheduler, --uncertified."""
    p.add_argument("--workers", type=_int_arg, default=None,
                   help="run on this many threads (-1: one per core; default: the calling thread)")
    p.add_argument("--scheduler", default=None, metavar="ADDRESS",
                   help=f"run on a dask cluster: {_cluster.SCHEDULER_FORMS} (local:N: at most {WORKERS_PER_CORE} "
                        "workers per core; pip install 'fpscope[dask]')")
    p.add_argument("--uncertified", action="store_true",
                   help="judge by the core's own results instead of certified ones (faster)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="fpscope",
        description="Exact answers about IEEE 754 binary32 (f32) and binary64 (f64) floats. "
                    "Floats may be written in decimal (1.5, -0.0, inf, nan) or C99 hex (0x1.8p+1).")
    parser.add_argument("--version", action="version", version=f"fpscope {_core.__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    def command(name: str, help_text: str, run: Callable[[argparse.Namespace], int],
                dtype: str) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help_text, description=help_text)
        p.set_defaults(run=run)
        p.add_argument("--dtype", default=dtype, help=f"f32 or f64 (also float32/float, float64/double; "
                                                      f"default {dtype})")
        p.add_argument("--json", action="store_true", help="machine-readable output")
        return p

    ops = ", ".join(_core.UNARY_OPS)
    p = command("scan", "find knife edges: inputs whose exact result lies within a tolerance of a "
                        "rounding midpoint", _scan_command, "f32")
    p.add_argument("op", help=f"unary operation: {ops} (f64 scans: sqrt only)")
    p.add_argument("lo", type=_float_arg, help="lower end of the range, inclusive")
    p.add_argument("hi", type=_float_arg, help="upper end of the range, inclusive")
    # A text default is read by the type when the arguments are, in the default float environment; a
    # float literal is read when the module is compiled, in whatever environment that happens.
    p.add_argument("--tol", type=_float_arg, default="1e-3", help="tolerance in ulp (default 1e-3)")
    p.add_argument("--limit", type=_count_arg, default=100, help="stop after this many hits (default 100)")
    p.add_argument("--stride", type=_count_arg, default=1, help="visit every n-th float (default 1)")
    p.add_argument("--max-evals", type=_count_arg, default=100_000_000,
                   help="evaluate at most this many inputs (default 1e8; the whole f32 line is about 4.3e9)")
    p.add_argument("--chunk", type=_count_arg, default=None,
                   help="inputs per core call (default: sized to about 50 ms, so Ctrl-C answers at once)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    _engine_options(p)

    p = command("worst", "the inputs whose exact result lies closest to a rounding midpoint (default: "
                         "every f32 input)", _worst_command, "f32")
    p.add_argument("op", help=f"unary operation: {ops} (f64: sqrt only, with a range)")
    p.add_argument("lo", type=_float_arg, nargs="?", default=None, help="lower end of the range, inclusive")
    p.add_argument("hi", type=_float_arg, nargs="?", default=None, help="upper end of the range, inclusive")
    p.add_argument("--top", type=_count_arg, default=10, help="how many inputs (default 10)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    _engine_options(p)

    _sweep.add_command(command, _engine_options, _float_arg, _count_arg, ops)

    p = command("midpoint", "where the exact result of op(x), or x / y, lies against the rounding "
                            "midpoint", _midpoint_command, "f32")
    p.add_argument("op", help=f"{ops}, or div (needs Y); f64: sqrt, recip, div")
    p.add_argument("x", type=_float_arg)
    p.add_argument("y", type=_float_arg, nargs="?", default=None, help="divisor, for div")
    p.add_argument("--uncertified", action="store_true",
                   help="the core's own answer: binary32 library functions judged from binary64")

    command("special", "the named edge values of a format", _special_command, "f32")

    p = command("ulp", "distance between two floats, counted in floats of the format", _ulp_command, "f64")
    p.add_argument("a", type=_float_arg)
    p.add_argument("b", type=_float_arg)

    p = command("neighbours", "the k floats below x, x, and the k floats above it", _neighbours_command, "f64")
    p.add_argument("x", type=_float_arg)
    p.add_argument("-k", type=_neighbour_count_arg, default=1,
                   help=f"floats on each side (default 1, at most {MAX_NEIGHBOURS:,})")

    p = command("range", "every float of the format in [lo, hi]", _range_command, "f32")
    p.add_argument("lo", type=_float_arg)
    p.add_argument("hi", type=_float_arg)
    p.add_argument("--limit", type=_count_arg, default=1000,
                   help="refuse ranges holding more floats than this (default 1000)")

    p = command("edges", "the float just below 2**e and 2**e, for each normal exponent e in "
                         "[min_exp, max_exp]", _edges_command, "f64")
    p.add_argument("min_exp", type=_int_arg)
    p.add_argument("max_exp", type=_int_arg)
    return parser


def _check_request(args: argparse.Namespace) -> None:
    """Refuses requests that could only give an empty or meaningless answer, with ValueError.

    The Python functions answer these as specified (a reversed range is an empty scan); on the
    command line they are almost always a slip, so they are refused with a message instead.
    """
    op = getattr(args, "op", None)
    lo, hi = getattr(args, "lo", None), getattr(args, "hi", None)
    what = getattr(args, "what", None)  # sweep: OP [LO HI], or [LO HI] with --all-ops
    if isinstance(what, list):
        rest = what if getattr(args, "all_ops", False) else what[1:]
        op = None if getattr(args, "all_ops", False) or not what else what[0]
        if len(rest) == 2:
            lo, hi = parse_float(rest[0]), parse_float(rest[1])
    if args.command in RANGE_COMMANDS:
        if op == "div":
            raise ValueError(f"div is not a {args.command} operation: it takes a unary operation "
                             f"({', '.join(_core.UNARY_OPS)}); for one quotient use: fpscope midpoint div X Y")
        if lo is not None and hi is not None:
            if math.isnan(lo) or math.isnan(hi):
                raise ValueError(f"a range bound is NaN: [{lo!r}, {hi!r}] holds no inputs")
            if lo > hi:
                raise ValueError(f"reversed range: lo {lo!r} is above hi {hi!r}, so it holds no inputs")
        tol = getattr(args, "tol", None)
        if tol is not None and not tol >= 0:
            raise ValueError(f"the tolerance must be a non-negative number of ulp, not {tol!r}")
    if args.command == "midpoint" and getattr(args, "y", None) is not None and op != "div":
        raise ValueError(f"{op} takes one operand; y is only for div")
    scheduler = getattr(args, "scheduler", None)
    if scheduler is not None:
        kind, count = _cluster.parse_scheduler(scheduler)
        cores = os.cpu_count() or 1
        if kind == "local" and count > WORKERS_PER_CORE * cores:
            raise ValueError(f"--scheduler {scheduler}: at most {WORKERS_PER_CORE} local workers per core "
                             f"({WORKERS_PER_CORE * cores} on this machine)")


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


def _report(command: str, message: str) -> None:
    if sys.stderr is None:
        return  # started with stderr closed: the exit status is all that is left
    try:
        print(f"fpscope{' ' + command if command else ''}: {_escaped(message)}", file=sys.stderr, flush=True)
    except (OSError, ValueError):
        pass  # stderr is gone too: the exit status is all that is left


# All of it in the default float environment, the reading of the command line included: under
# upward rounding ``float("0.3")`` is the float above 0.3, under denormals-are-zero a subnormal
# reads as zero.
@default_float_environment
def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs one command; returns the exit status (see the module docstring)."""
    command = ""
    stdout = sys.stdout
    sys.stdout = _GuardedOutput(stdout)  # type: ignore[assignment]
    try:
        try:
            parser = build_parser()
            args = parser.parse_args(_protect_negative_floats(sys.argv[1:] if argv is None else argv))
            command = args.command
            chosen = _subparser(parser, command)
            if chosen is not None:
                args.parser = chosen
            _check_request(args)
            status: int = args.run(args)
        except SystemExit as done:  # argparse after --help, --version or a usage error
            status = done.code if isinstance(done.code, int) else (0 if done.code is None else EXIT_USAGE)
        sys.stdout.flush()
        return status
    except (ValueError, TypeError, OverflowError) as e:
        _report(command, f"error: {e}")
        return EXIT_USAGE
    except MemoryError:
        _report(command, "error: not enough memory for the answer; ask for fewer values")
        return EXIT_USAGE
    except KeyboardInterrupt:
        _report("", "interrupted")
        return EXIT_INTERRUPTED
    except _OutputError as e:
        _silence_stdout(stdout)
        if isinstance(e.error, BrokenPipeError):
            return EXIT_BROKEN_PIPE  # the reader went away (``fpscope range ... | head``): stop quietly
        _report(command, f"error: cannot write the output: {e.error.strerror or e.error}")
        return EXIT_WRITE
    except Exception as e:
        if os.environ.get("FPSCOPE_TRACEBACK"):
            raise
        _report(command, f"internal failure: {type(e).__name__}: {e} (set FPSCOPE_TRACEBACK=1 for the traceback)")
        return EXIT_INTERNAL
    except PanicException as e:
        _report(command, f"internal failure: {e}")
        return EXIT_INTERNAL
    finally:
        sys.stdout = stdout


def _subparser(parser: argparse.ArgumentParser, command: str) -> Optional[argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            chosen: Optional[argparse.ArgumentParser] = action.choices.get(command)
            return chosen
    return None


if __name__ == "__main__":
    sys.exit(main())
