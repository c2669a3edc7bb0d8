"""``fpscope sweep``: a knife-edge scan recorded chunk by chunk in SQLite (see :mod:`fpscope._sweep`)."""
from __future__ import annotations

import argparse
import math

from fpscope import Hit, Scan, _cluster, _core
from fpscope._floats import is_f32, parse_float, to_format
from fpscope._formats import resolve
from fpscope._scan import ScanInterrupted, ScanRange, make_executor, validate
from fpscope._sweep import DEFAULT_CHUNK, MAX_EVALS, NO_LIMIT, SweepDB, identity, sweep
from fpscope.cli._main import (EXIT_INTERRUPTED, EXIT_OK, Command, check_range, count_arg, engine_options, float_arg,
                               to_stderr)
from fpscope.cli._render import (dtype_name, float_fields, hit_count, hit_fields, json_float, print_hits, print_hits_csv,
                                 print_json, progress, scan_title)


def add_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("what", nargs="*", metavar="OP [LO HI]",
                   help=f"unary operation ({', '.join(_core.UNARY_OPS)}; f64: sqrt only, with a range) and the "
                        "range; with --all-ops only the range")
    p.add_argument("--db", required=True, metavar="FILE", help="the SQLite file recording the sweep")
    p.add_argument("--all-ops", action="store_true", help="sweep every operation")
    p.add_argument("--tol", type=float_arg, default="1e-3", help="tolerance in ulp (default 1e-3)")
    p.add_argument("--limit", type=count_arg, default=None, help="stop after this many hits (default: none)")
    p.add_argument("--stride", type=count_arg, default=1, help="visit every n-th float (default 1)")
    p.add_argument("--chunk", type=count_arg, default=DEFAULT_CHUNK,
                   help=f"inputs per recorded chunk (default {DEFAULT_CHUNK})")
    p.add_argument("--csv", action="store_true", help="one line per hit, comma-separated")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    engine_options(p)


def check(args: argparse.Namespace) -> None:
    """Reads ``OP [LO HI]``, once: ``args.ops`` (empty: none named), ``args.bounds`` ((lo, hi), or
    None), ``args.odd_bounds`` (one bound, or more than two); refuses what every scan command does."""
    what = list(args.what)
    args.ops = list(_core.UNARY_OPS) if args.all_ops else what[:1]
    rest = what if args.all_ops else what[1:]
    args.bounds = (parse_float(rest[0]), parse_float(rest[1])) if len(rest) == 2 else None
    args.odd_bounds = len(rest) not in (0, 2)
    lo, hi = args.bounds or (None, None)
    check_range("sweep", None if args.all_ops or not what else what[0], lo, hi, args.tol)


def _range(args: argparse.Namespace) -> tuple[float, float]:
    """The range to sweep; the requests that name no operation or no full range are refused here,
    after the checks of every command."""
    fmt = resolve(args.dtype)  # the package's message for an unknown dtype
    if fmt.bits == 16:
        # Nothing to resume: every input of a 16-bit format is scanned and certified in under a second.
        raise ValueError(f"sweeps take f32 or f64; scan every {fmt.name} input at once with "
                         f"'fpscope scan OP --dtype {fmt.name}'")
    if not args.ops:
        raise ValueError("name an operation, or pass --all-ops")
    if args.bounds is not None:
        lo, hi = args.bounds
        return lo, hi
    if args.odd_bounds:
        raise ValueError("give both LO and HI, or neither")
    if not is_f32(args.dtype):
        raise ValueError("f64 sweeps need an explicit range LO HI")
    return -math.inf, math.inf


def run(args: argparse.Namespace) -> int:
    ops = args.ops
    lo, hi = _range(args)
    f32 = is_f32(args.dtype)
    dtype = dtype_name(args.dtype)
    if args.chunk < 1:
        raise ValueError("--chunk must be at least 1")
    if args.db in ("", ":memory:"):
        # SQLite keeps these in memory or in a file deleted on close: nothing would be left to resume.
        raise ValueError(f"--db must name a file, not {args.db!r}: the sweep would be recorded nowhere")
    limit = NO_LIMIT if args.limit is None else args.limit
    certified = not args.uncertified
    # Every argument is checked before the database is touched.
    ranges = [validate(op, lo, hi, args.tol, dtype, limit, args.stride, MAX_EVALS, certified) for op in ops]
    lo_f, hi_f = to_format(lo, f32), to_format(hi, f32)
    recorded = identity(ops, dtype, lo_f, hi_f, args.stride, float(args.tol), certified, args.chunk)
    scans: list[Scan] = []
    with _cluster.scan_engine(args.workers, args.scheduler) as engine:
        executor, owned = make_executor(engine.get("workers"), engine.get("executor"))
        db = SweepDB(args.db, recorded)
        try:
            for op, r in zip(ops, ranges):
                if isinstance(r, ScanRange):
                    scans.append(sweep(db, r, op, args.chunk, executor, progress(args)))
                else:
                    scans.append(Scan([Hit(*h) for h in r[0]], r[1], r[2]))
        except ScanInterrupted:
            to_stderr("sweep", f"interrupted; the finished chunks are recorded in {args.db}: run the same command "
                               "again to resume")
            return EXIT_INTERRUPTED
        finally:
            db.close()
            if owned:
                executor.shutdown(wait=True, cancel_futures=True)

    if args.json:
        header = {"dtype": dtype, **float_fields("lo", lo_f), **float_fields("hi", hi_f),
                  "tol_ulp": json_float(args.tol), "stride": args.stride, "limit": args.limit, "certified": certified}
        objects = [{"op": op, **header, "hits": [hit_fields(h) for h in scan.hits], "evaluated": scan.evaluated,
                    "covered": scan.covered} for op, scan in zip(ops, scans)]
        print_json(objects if args.all_ops else objects[0])
    elif args.csv:
        print_hits_csv((op, scan.hits) for op, scan in zip(ops, scans))
    else:
        for n, (op, scan) in enumerate(zip(ops, scans)):
            if n:
                print()
            print(scan_title(op, lo_f, hi_f, dtype, args.tol, args.stride) + ("" if certified else ", uncertified"))
            if scan.hits:
                print_hits(scan.hits)
            else:
                print("no knife edges found")
            print(f"{hit_count(scan)}; " + ("range covered" if scan.covered
                                             else f"range NOT covered: stopped at the hit limit ({args.limit})"))
    return EXIT_OK


COMMAND = Command("sweep", "a knife-edge scan recorded chunk by chunk in SQLite: kill it, rerun the same command, "
                           "and it resumes (default range: every f32 input)", "f32", add_arguments, run, check)
