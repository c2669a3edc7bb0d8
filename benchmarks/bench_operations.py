"""Nanoseconds per input of native scans (_knife_edges) of the operations only the package names.

Three kinds of walk, each beside exp (a public operation) for scale:
- whole-range-like: every k-th binary32 from -inf to +inf, so that every binade weighs as it does in a
  whole-range scan; the line also gives the time that whole range would take on one and on two workers;
- huge arguments of sin and sinpi, where the C library's argument reduction is slow (sinpi reduces
  exactly in a few operations), and ordinary ones;
- the gamma functions near their poles and lgamma near the zeros of its negative branch.
Rounds alternate over the cases so that load from other processes spreads over all of them; the
fastest round of each is reported.

Then, certified (the package's answers, MPFR deciding near midpoints and floats):
- the same slow-argument ranges scanned by ``knife_edges`` on two workers;
- ``report`` of each new unary operation per call, beside ``report("exp", ...)``, over inputs spread
  evenly across each function's usual range, with the ratio (the aim: within 3x); each block of calls
  counts with its fastest round, so that a pause of the process on a loaded machine does not;
- with ``--whole OP ...``: the certified whole-range scan of a worst-case table on two workers
  (``worst_cases(op, top=16)``, every binary32 input; the aim: under 5 minutes for cbrt, asinh, erf).
  Each takes minutes: run it niced, one at a time.

Run after building the module into the package directory:
    python3 benchmarks/bench_operations.py [--repeat N] [--inputs N] [--whole cbrt asinh erf]
"""

import argparse
import math
import random
import struct
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import fpscope  # noqa: E402
from fpscope._core import _knife_edges, ordered  # noqa: E402

TOL = 1e-3
WHOLE_RANGE = ordered(math.inf, "f32") - ordered(-math.inf, "f32") + 1  # every non-NaN binary32


def float_at(x, offset):
    """The binary32 `offset` positions above the binary32 x (x > 0)."""
    return struct.unpack("<f", struct.pack("<I", struct.unpack("<I", struct.pack("<f", x))[0] + offset))[0]


def cases(inputs):
    stride = WHOLE_RANGE // inputs
    whole = [(op, "whole range", -math.inf, math.inf, stride) for op in ("cbrt", "asinh", "erf", "exp")]
    huge = [(op, "huge arguments", 1e30, float_at(1e30, inputs - 1), 1) for op in ("sin", "sinpi")]
    # Beside them, arguments whose reduction leaves many bits (binary32 inputs from 2^23 on are integers).
    huge += [(op, "arguments from 1000", 1000.0, float_at(1000.0, inputs - 1), 1) for op in ("sin", "sinpi")]
    # Ranges around a point, holding about `inputs` binary32 values each.
    poles = [("tgamma", -3.0), ("tgamma", -30.0), ("lgamma", -3.0), ("lgamma", -30.0), ("lgamma", -2.4570247)]
    near = []
    for op, at in poles:
        width = (inputs // 2) * 2.0 ** (math.floor(math.log2(abs(at))) - 23)  # inputs / 2 binary32 steps
        near.append((op, f"around {at}", at - width, at + width, 1))
    return whole + huge + near


def run(case):
    op, _, lo, hi, stride = case
    start = time.perf_counter()
    hits, evaluated, covered = _knife_edges(op, lo, hi, TOL, "f32", 10**9, stride)
    elapsed = time.perf_counter() - start
    assert covered, case
    return elapsed * 1e9 / evaluated, evaluated, len(hits)


# Inputs of report, drawn uniformly from [lo, hi] as binary32 values (a grid of decimals would hit the
# exact cases of the pi-scaled functions far more often than use does): each function where it is commonly
# called, and erf and erfc also where their results round to 1 or 2, next to a bound they never reach.
REPORT_CASES = [("exp", -80, 80), ("cbrt", -50, 50), ("asin", -1, 1), ("acos", -1, 1), ("sinh", -50, 50),
                ("cosh", -50, 50), ("asinh", -50, 50), ("acosh", 1, 100), ("atanh", -1, 1), ("exp10", -30, 30),
                ("erf", -3.5, 3.5), ("erf", 3.5, 9), ("erfc", -3, 9), ("erfc", -9, -3), ("tgamma", -20, 30),
                ("lgamma", -20, 1000), ("sinpi", -50, 50), ("cospi", -50, 50), ("tanpi", -50, 50)]


def report_inputs(lo, hi, n):
    draw = random.Random(f"{lo} {hi}")
    return [struct.unpack("<f", struct.pack("<f", draw.uniform(lo, hi)))[0] for _ in range(n)]


BLOCK = 25  # calls timed together: a block that another process interrupts is retried in the next round


def time_reports(op, xs):
    """Seconds of each block of BLOCK consecutive calls."""
    times = []
    for i in range(0, len(xs), BLOCK):
        block = xs[i:i + BLOCK]
        start = time.perf_counter()
        for x in block:
            fpscope.report(op, x)
        times.append(time.perf_counter() - start)
    return times


def certified_ranges(todo, repeat):
    """Microseconds per input of certified knife_edges on 2 workers over the slow-argument ranges."""
    best = {}
    for _ in range(repeat):
        for case in todo:
            op, _, lo, hi, stride = case
            start = time.perf_counter()
            scan = fpscope.knife_edges(op, lo, hi, TOL, limit=10**9, stride=stride, max_evals=10**12, workers=2)
            ns = (time.perf_counter() - start) * 1e9 / scan.evaluated
            best[case] = min(ns, best.get(case, math.inf))
    for case in todo:
        print(f"{case[0]:7} {case[1]:22} {best[case]:7.1f} ns/input certified, 2 workers")


def reports(n, repeat):
    """Microseconds per call: for each block of inputs its fastest round, summed over the blocks."""
    best = {}
    inputs = {case: report_inputs(case[1], case[2], n) for case in REPORT_CASES}
    for _ in range(repeat):
        for case in REPORT_CASES:
            times = time_reports(case[0], inputs[case])
            best[case] = [min(a, b) for a, b in zip(times, best.get(case, times))]
    per_call = {case: sum(best[case]) * 1e6 / n for case in REPORT_CASES}
    exp = per_call[REPORT_CASES[0]]
    for case in REPORT_CASES:
        op, lo, hi = case
        where = f"over [{lo}, {hi}]"
        print(f"report {op:7} {where:16} {per_call[case]:7.2f} us/call  {per_call[case] / exp:6.2f}x exp")


def whole(op):
    start = time.perf_counter()
    result = fpscope._worst.find_worst_cases(op, top=16, workers=2)
    seconds = time.perf_counter() - start
    print(f"whole range {op:7} certified, 2 workers: {seconds:6.1f} s ({result.evaluated:,} inputs, "
          f"tolerance {result.tol_ulp:.3g} ulp)", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="rounds; the fastest of each case is reported")
    parser.add_argument("--inputs", type=int, default=2 * 10**6, help="inputs per case")
    parser.add_argument("--reports", type=int, default=2000, help="inputs per operation for report")
    parser.add_argument("--whole", nargs="*", default=[], metavar="OP", help="certified whole-range scans")
    args = parser.parse_args()
    todo = cases(args.inputs)
    best = {}
    for _ in range(args.repeat):
        for case in todo:
            ns, evaluated, hits = run(case)
            previous = best.get(case)
            best[case] = (min(ns, previous[0]) if previous else ns, evaluated, hits)
    for case in todo:
        op, where, *_ = case
        ns, evaluated, hits = best[case]
        line = f"{op:7} {where:22} {ns:7.1f} ns/input  ({evaluated:,} inputs, {hits} hits at tol {TOL})"
        if where == "whole range":
            seconds = ns * WHOLE_RANGE / 1e9
            line += f"  whole range: {seconds:5.0f} s on 1 worker, {seconds / 2:5.0f} s on 2"
        print(line)
    certified_ranges([case for case in todo if case[1] != "whole range"], args.repeat)
    reports(args.reports, args.repeat)
    for op in args.whole:
        whole(op)


if __name__ == "__main__":
    main()
