"""``fpscope scan``: the knife edges of a range, and the command that scans the rest when it stops early."""
from __future__ import annotations

import argparse
import sys
from typing import Any, Optional

from fpscope import Hit, Midpoint, Scan, ScanInterrupted, _cluster, _core, _mathlib, knife_edges, report
from fpscope._floats import from_ordered, hexfloat, to_format
from fpscope._formats import F32, Format, resolve
from fpscope.cli._main import (EXIT_INTERRUPTED, EXIT_OK, Command, check_range, count_arg, engine_options, float_arg,
                               to_stderr)
from fpscope.cli._render import (core_differs, core_judgement, dtype_name, float_fields, in_format, is_core, hit_count, hit_fields,
                                 json_float, print_hits, print_hits_csv, print_json, progress, report_fields, scan_title, shown)

# Options that change nothing in the answer, left out of the command line that continues a scan.
NOT_REPEATED = {"help", "json", "csv", "progress", "run", "command"}


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("op", help=f"operation: {', '.join(_core.UNARY_OPS)}, {_mathlib.UNARY_NAMES}, or with --y "
                              f"{_mathlib.BINARY_NAMES}; numpy's names: {_mathlib.NUMPY_NAMES} (f64 scans: sqrt only)")
    p.add_argument("lo", type=float_arg, help="lower end of the range, inclusive")
    p.add_argument("hi", type=float_arg, help="upper end of the range, inclusive")
    # A text default is read by the type when the arguments are, in the default float environment; a
    # float literal is read when the module is compiled, in whatever environment that happens.
    p.add_argument("--y", type=float_arg, default=None,
                   help="the second argument of hypot, atan2 or pow, fixed while the first walks over [LO, HI]")
    p.add_argument("--tol", type=float_arg, default="1e-3", help="tolerance in ulp (default 1e-3)")
    p.add_argument("--limit", type=count_arg, default=100, help="stop after this many hits (default 100)")
    p.add_argument("--stride", type=count_arg, default=1, help="visit every n-th float (default 1)")
    p.add_argument("--max-evals", type=count_arg, default=100_000_000,
                   help="evaluate at most this many inputs (default 1e8; the whole f32 line is about 4.3e9)")
    p.add_argument("--chunk", type=count_arg, default=None,
                   help="inputs per core call (default: sized to about 50 ms, so Ctrl-C answers at once)")
    p.add_argument("--csv", action="store_true", help="one line per hit, comma-separated")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    engine_options(p)


def check(args: argparse.Namespace) -> None:
    check_range("scan", args.op, args.lo, args.hi, args.tol)


def _input_at(fmt: Format, k: int) -> float:
    """The float of the format with ordered value k (+0.0 for 0)."""
    return from_ordered(k, fmt is F32) if is_core(fmt) else fmt._value(fmt._from_ordered(k))


def run(args: argparse.Namespace) -> int:
    fmt = resolve(args.dtype)
    interrupted = False
    try:
        with _cluster.scan_engine(args.workers, args.scheduler) as engine:
            scan = knife_edges(args.op, args.lo, args.hi, args.tol, args.dtype, args.limit, args.stride,
                               args.max_evals, y=args.y, chunk=args.chunk, progress=progress(args), desc=args.op,
                               certified=not args.uncertified, **engine)
    except ScanInterrupted as stop:
        scan, interrupted = stop.scan, True
    step = args.stride or 1
    pending: Optional[float] = None
    if not scan.covered:
        pending = _input_at(fmt, fmt.ordered(args.lo) + scan.evaluated * step)
    # The 16-bit formats have one answer, certified, --uncertified or not: there is no judgement of the
    # core's to differ, and the answer says it is certified.
    certified = not args.uncertified or not is_core(fmt)
    core = _core_judgements(args, scan) if certified and is_core(fmt) else {}
    if args.json:
        print_json({
            "op": args.op, "dtype": dtype_name(args.dtype), **float_fields("lo", in_format(args.lo, fmt)),
            **float_fields("hi", in_format(args.hi, fmt)),
            **(float_fields("y", to_format(args.y, True)) if args.y is not None else {}),
            "tol_ulp": json_float(args.tol),
            "certified": certified,
            "hits": [_hit_json(h, core if certified else None) for h in scan.hits],
            "evaluated": scan.evaluated, "covered": scan.covered, "interrupted": interrupted,
            **(float_fields("next", pending) if pending is not None else {"next": None, "next_hex": None}),
        })
    elif args.csv:
        print_hits_csv([(args.op, scan.hits)])
        if not scan.covered:
            # The lines a table ends with, where a reader of the CSV alone would miss them.
            assert pending is not None
            sys.stdout.flush()  # the hits first, where both streams go to one terminal or file
            for line in _stopped(args, scan, interrupted, pending):
                to_stderr("scan", line)
    else:
        _print_scan(args, scan, interrupted, pending, core)
    return EXIT_INTERRUPTED if interrupted else EXIT_OK


def _hit_json(hit: Hit, core: Optional[dict[float, Optional[Midpoint]]]) -> dict[str, Any]:
    """A hit in JSON; in a certified scan, whether the core judges otherwise and, if so, how."""
    if core is None:
        return hit_fields(hit)
    if hit.x not in core:
        return {**hit_fields(hit), "core_differs": False}
    said = core[hit.x]
    return {**hit_fields(hit), "core_differs": True, "core_report": None if said is None else report_fields(said)}


def _core_judgements(args: argparse.Namespace, scan: Scan) -> dict[float, Optional[Midpoint]]:
    """The core's own report for each certified hit where it judges otherwise."""
    differing = {}
    for h in scan.hits:
        core = report(args.op, h.x, args.dtype, args.y, certified=False)
        if core_differs(Midpoint(h.rounded, h.distance_ulp, h.exact_above, False), core, args.tol):
            differing[h.x] = core
    return differing


def _print_scan(args: argparse.Namespace, scan: Scan, interrupted: bool, pending: Optional[float],
                core: dict[float, Optional[Midpoint]]) -> None:
    fmt = resolve(args.dtype)
    lo, hi = in_format(args.lo, fmt), in_format(args.hi, fmt)
    what = args.op if args.y is None else f"{args.op}(x, {to_format(args.y, True)!r}) for x"
    print(scan_title(what, lo, hi, dtype_name(args.dtype), args.tol, args.stride))
    if scan.hits:
        print_hits(scan.hits, differing=core)
        for x, said in core.items():
            print(f"* {x!r}: the core's binary64 judgement: {core_judgement(said)}")
    else:
        print("no knife edges found")
    if scan.covered:
        print(f"{hit_count(scan)}; range covered{' before the interrupt' if interrupted else ''}")
        return
    assert pending is not None
    for line in _stopped(args, scan, interrupted, pending):
        print(line)


def _stopped(args: argparse.Namespace, scan: Scan, interrupted: bool, pending: float) -> list[str]:
    """What a scan that did not cover its range says: why it stopped, and how to scan the rest."""
    if interrupted:
        why = "interrupted"
    elif len(scan.hits) >= args.limit:
        why = f"stopped at the hit limit ({args.limit}; raise --limit)"
    else:
        why = f"stopped at the evaluation limit ({args.max_evals}; raise --max-evals)"
    hi = in_format(args.hi, resolve(args.dtype))
    return [f"{hit_count(scan)}; range NOT covered: {why}",
            f"next input: {shown(pending)}; continue with: {resume_command(args, pending, hi)}"]


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
