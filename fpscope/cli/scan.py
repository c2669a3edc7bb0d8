"""``fpscope scan``: the knife edges of a range, and the command that scans the rest when it stops early."""
from __future__ import annotations

import argparse
import sys
from typing import Any, Optional

from fpscope import Scan, ScanInterrupted, _cluster, _core, knife_edges, report
from fpscope._floats import from_ordered, hexfloat, is_f32, to_format
from fpscope.cli._main import EXIT_INTERRUPTED, EXIT_OK, Command, check_range, count_arg, engine_options, float_arg
from fpscope.cli._render import dtype_name, float_fields, json_float, print_json, report_fields, shown, table

# Options that change nothing in the answer, left out of the command line that continues a scan.
NOT_REPEATED = {"help", "json", "progress", "run", "command"}


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("op", help=f"unary operation: {', '.join(_core.UNARY_OPS)} (f64 scans: sqrt only)")
    p.add_argument("lo", type=float_arg, help="lower end of the range, inclusive")
    p.add_argument("hi", type=float_arg, help="upper end of the range, inclusive")
    # A text default is read by the type when the arguments are, in the default float environment; a
    # float literal is read when the module is compiled, in whatever environment that happens.
    p.add_argument("--tol", type=float_arg, default="1e-3", help="tolerance in ulp (default 1e-3)")
    p.add_argument("--limit", type=count_arg, default=100, help="stop after this many hits (default 100)")
    p.add_argument("--stride", type=count_arg, default=1, help="visit every n-th float (default 1)")
    p.add_argument("--max-evals", type=count_arg, default=100_000_000,
                   help="evaluate at most this many inputs (default 1e8; the whole f32 line is about 4.3e9)")
    p.add_argument("--chunk", type=count_arg, default=None,
                   help="inputs per core call (default: sized to about 50 ms, so Ctrl-C answers at once)")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    engine_options(p)


def check(args: argparse.Namespace) -> None:
    check_range("scan", args.op, args.lo, args.hi, args.tol)


def run(args: argparse.Namespace) -> int:
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
        print_json({
            "op": args.op, "dtype": dtype, **float_fields("lo", to_format(args.lo, f32)),
            **float_fields("hi", to_format(args.hi, f32)), "tol_ulp": json_float(args.tol),
            "certified": not args.uncertified,
            "hits": [{**float_fields("x", h.x), **float_fields("rounded", h.rounded),
                      "distance_ulp": h.distance_ulp, "exact_above": h.exact_above,
                      **({"core_differs": True, "core_report": None if core[h.x] is None else report_fields(core[h.x])}
                         if h.x in core else {} if args.uncertified else {"core_differs": False})}
                     for h in scan.hits],
            "evaluated": scan.evaluated, "covered": scan.covered, "interrupted": interrupted,
            **(float_fields("next", pending) if pending is not None else {"next": None, "next_hex": None}),
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
        table(["x", "hex", "rounded", "hex", "distance_ulp", "exact result"] + (["core"] if core else []),
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
    print(f"next input: {shown(pending)}; continue with: {resume_command(args, pending, hi)}")


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
            words += [flag, dtype_name(value)]
        elif isinstance(value, float):
            words += [flag, repr(value)]
        elif isinstance(value, (list, tuple)):
            words += [flag, *map(str, value)]
        else:
            words += [flag, str(value)]
    return " ".join(words)


COMMAND = Command("scan", "find knife edges: inputs whose exact result lies within a tolerance of a rounding "
                          "midpoint", "f32", add_arguments, run, check)
