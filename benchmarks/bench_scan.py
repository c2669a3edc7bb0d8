"""Nanoseconds per input of knife_edges_raw over consecutive floats from 1.0.

Run after building the module into the package directory:
    python3 benchmarks/bench_scan.py [--repeat N]
"""

import argparse
import struct
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from fpscope._core import knife_edges_raw  # noqa: E402

# (op, dtype, number of consecutive inputs, tolerance). The tolerances keep the hits to a few dozen,
# so the time measured is the walk and the oracle rather than building the result.
CASES = [
    ("sqrt", "f32", 10**7, 1e-6),
    ("exp", "f32", 10**7, 1e-6),
    ("sqrt", "f64", 10**6, 1e-12),
]
LIMIT = 10**9


def float_at(dtype, start, offset):
    """The float `offset` positions above the positive float `start`."""
    code, word = ("<f", "<I") if dtype == "f32" else ("<d", "<Q")
    bits = struct.unpack(word, struct.pack(code, start))[0] + offset
    return struct.unpack(code, struct.pack(word, bits))[0]


def run(op, dtype, n, tol):
    hi = float_at(dtype, 1.0, n - 1)
    start = time.perf_counter()
    hits, evaluated, covered = knife_edges_raw(op, 1.0, hi, tol, dtype, LIMIT)
    elapsed = time.perf_counter() - start
    assert evaluated == n and covered, (evaluated, covered)
    return elapsed * 1e9 / n, len(hits)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs per case; the fastest is reported")
    args = parser.parse_args()
    for op, dtype, n, tol in CASES:
        results = [run(op, dtype, n, tol) for _ in range(args.repeat)]
        ns = min(r[0] for r in results)
        print(f"{op:5} {dtype}  {n:>10,} inputs  {ns:6.2f} ns/input  ({results[0][1]} hits below {tol} ulp)")


if __name__ == "__main__":
    main()
