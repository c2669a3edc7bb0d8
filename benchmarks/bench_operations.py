"""Nanoseconds per input of native scans (_knife_edges) of the operations only the package names.

Three kinds of walk, each beside exp (a public operation) for scale:
- whole-range-like: every k-th binary32 from -inf to +inf, so that every binade weighs as it does in a
  whole-range scan; the line also gives the time that whole range would take on one and on two workers;
- huge arguments of sin and sinpi, where the C library's argument reduction is slow (sinpi reduces
  exactly in a few operations), and ordinary ones;
- the gamma functions near their poles and lgamma near the zeros of its negative branch.
Rounds alternate over the cases so that load from other processes spreads over all of them; the
fastest round of each is reported.

Run after building the module into the package directory:
    python3 benchmarks/bench_operations.py [--repeat N] [--inputs N]
"""

import argparse
import math
import struct
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="rounds; the fastest of each case is reported")
    parser.add_argument("--inputs", type=int, default=2 * 10**6, help="inputs per case")
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


if __name__ == "__main__":
    main()
