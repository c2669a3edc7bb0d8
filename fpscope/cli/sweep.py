"""``fpscope sweep``: a knife-edge scan recorded chunk by chunk in SQLite (see :mod:`fpscope._sweep`)."""
from __future__ import annotations

import argparse
import csv
import math
import sys

from fpscope import Hit, Scan, _cluster, _core
from fpscope._floats import hexfloat, is_f32, parse_float, to_format
from fpscope._scan import ScanInterrupted, ScanRange, make_executor, validate
from fpscope._sweep import DEFAULT_CHUNK, MAX_EVALS, NO_LIMIT, SweepDB, identity, sweep
from fpscope.cli._main import EXIT_INTERRUPTED, EXIT_OK, Command, check_range, count_arg, engine_options, float_arg
from fpscope.cli._render import json_float, print_json, table


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
    what = args.what
    rest = what if args.all_ops else what[1:]
    op = None if args.all_ops or not what else what[0]
    lo = hi = None
    if len(rest) == 2:
        lo, hi = parse_float(rest[0]), parse_float(rest[1])
    check_range("sweep", op, lo, hi, args.tol)


def _parse_what(args: argparse.Namespace) -> tuple[list[str], float, float]:
    what = list(args.what)
    if args.all_ops:
        ops = list(_core.UNARY_OPS)
    elif what:
        ops = [what.pop(0)]
    else:
        raise ValueError("name an operation, or pass --all-ops")
    if len(what) == 2:
        return ops, parse_float(what[0]), parse_float(what[1])
    if what:
        raise ValueError("give both LO and HI, or neither")
    if not is_f32(args.dtype):
        raise ValueError("f64 sweeps need an explicit range LO HI")
    return ops, -math.inf, math.inf


def run(args: argparse.Namespace) -> int:
    ops, lo, hi = _parse_what(args)
    f32 = is_f32(args.dtype)
    dtype = "f32" if f32 else "f64"
    if args.chunk < 1:
        raise ValueError("--chunk must be at least 1")
    if args.db in ("", ":memory:"):
        # SQLite keeps these in memory or in a file deleted on close: nothing would be left to resume.
        raise ValueError(f"--db must name a file, not {args.db!r}: the sweep would be recorded nowhere")
    limit = NO_LIMIT if args.limit is None else args.limit
    certified = not args.uncertified
    # Every argument is checked before the database is touched.
    ranges = [validate(op, lo, hi, args.tol, dtype, limit, args.stride, MAX_EVALS, certified) for op in ops]
    progress = args.progress if args.progress is not None else (sys.stderr.isatty() and not (args.json or args.csv))
    lo_f, hi_f = to_format(lo, f32), to_format(hi, f32)
    recorded = identity(ops, dtype, lo_f, hi_f, args.stride, float(args.tol), certified, args.chunk)
    scans: list[Scan] = []
    with _cluster.scan_engine(args.workers, args.scheduler) as engine:
        executor, owned = make_executor(engine.get("workers"), engine.get("executor"))
        db = SweepDB(args.db, recorded)
        try:
            for op, r in zip(ops, ranges):
                if isinstance(r, ScanRange):
                    scans.append(sweep(db, r, op, args.chunk, executor, progress))
                else:
                    scans.append(Scan([Hit(*h) for h in r[0]], r[1], r[2]))
        except ScanInterrupted:
            print(f"fpscope sweep: interrupted; the finished chunks are recorded in {args.db}: "
                  "run the same command again to resume", file=sys.stderr)
            return EXIT_INTERRUPTED
        finally:
            db.close()
            if owned:
                executor.shutdown(wait=True, cancel_futures=True)

    header = {"dtype": dtype, "lo": json_float(lo_f), "lo_hex": hexfloat(lo_f), "hi": json_float(hi_f),
              "hi_hex": hexfloat(hi_f), "tol_ulp": json_float(args.tol), "stride": args.stride,
              "limit": args.limit, "certified": certified}
    if args.json:
        objects = [{"op": op, **header,
                    "hits": [{"x": json_float(h.x), "x_hex": hexfloat(h.x), "rounded": json_float(h.rounded),
                              "rounded_hex": hexfloat(h.rounded), "distance_ulp": h.distance_ulp,
                              "exact_above": h.exact_above} for h in scan.hits],
                    "evaluated": scan.evaluated, "covered": scan.covered} for op, scan in zip(ops, scans)]
        print_json(objects if args.all_ops else objects[0])
    elif args.csv:
        out = csv.writer(sys.stdout, lineterminator="\n")
        out.writerow(["op", "x", "x_hex", "rounded", "rounded_hex", "distance_ulp", "exact_above"])
        for op, scan in zip(ops, scans):
            for h in scan.hits:
                out.writerow([op, repr(h.x), hexfloat(h.x), repr(h.rounded), hexfloat(h.rounded),
                              repr(h.distance_ulp), str(h.exact_above).lower()])
    else:
        for n, (op, scan) in enumerate(zip(ops, scans)):
            if n:
                print()
            print(f"{op} over [{lo_f!r}, {hi_f!r}] in {dtype}, tolerance {args.tol!r} ulp"
                  + (f", stride {args.stride}" if args.stride > 1 else "")
                  + ("" if certified else ", uncertified"))
            if scan.hits:
                table(["x", "hex", "rounded", "hex", "distance_ulp", "exact result"],
                      [[repr(h.x), hexfloat(h.x), repr(h.rounded), hexfloat(h.rounded), repr(h.distance_ulp),
                        "above rounded" if h.exact_above else "below rounded"] for h in scan.hits])
            else:
                print("no knife edges found")
            counts = f"{len(scan.hits)} hit{'s' if len(scan.hits) != 1 else ''}, {scan.evaluated} inputs evaluated"
            print(f"{counts}; " + ("range covered" if scan.covered
                                   else f"range NOT covered: stopped at the hit limit ({args.limit})"))
    return EXIT_OK


COMMAND = Command("sweep", "a knife-edge scan recorded chunk by chunk in SQLite: kill it, rerun the same command, "
                           "and it resumes (default range: every f32 input)", "f32", add_arguments, run, check)
