"""What certification costs: certified against uncertified knife-edge scans, in one interleaved run.

Each case scans 10^6 consecutive binary32 floats from 1.0 at tol 1e-3 (about 2,000 hits) with no
hit limit, once certified and once not, alternating, and reports the median of each and their
ratio. Run after building the module into the package directory:
    python3 benchmarks/bench_certified.py [--repeat N]
"""

import argparse
import inspect
import statistics
import struct
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import fpscope  # noqa: E402
from fpscope import _certify  # noqa: E402

CASES = [("exp", 10**6, 1e-3), ("log", 10**6, 1e-3)]
LIMIT = 10**9


def float_at(start, offset):
    """The binary32 float `offset` positions above the positive float `start`."""
    bits = struct.unpack("<I", struct.pack("<f", start))[0] + offset
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def scanners():
    """(name, scan) pairs: the package's scan in both modes where it takes `certified`, else the
    two chunk functions it is built on."""
    if "certified" in inspect.signature(fpscope.knife_edges).parameters:
        return [("uncertified", lambda *a: fpscope.knife_edges(*a, certified=False)),
                ("certified", lambda *a: fpscope.knife_edges(*a, certified=True))]
    return [("uncertified", fpscope.knife_edges_raw), ("certified", _certify.certified_scan)]


def timed(scan, op, n, tol):
    hi = float_at(1.0, n - 1)
    start = time.perf_counter()
    hits, evaluated, covered = scan(op, 1.0, hi, tol, "f32", LIMIT)
    elapsed = time.perf_counter() - start
    assert evaluated == n and covered, (evaluated, covered)
    return elapsed, len(hits)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="runs of each mode per case (median reported)")
    args = parser.parse_args()
    modes = scanners()
    print(f"CPython {sys.version.split()[0]}, fpscope {fpscope.__version__}; medians of {args.repeat} runs")
    for op, n, tol in CASES:
        for _, scan in modes:
            timed(scan, op, 10**4, tol)  # first use: imports, caches
        times = {name: [] for name, _ in modes}
        hits = {}
        for _ in range(args.repeat):
            for name, scan in modes:
                seconds, hits[name] = timed(scan, op, n, tol)
                times[name].append(seconds)
        medians = {name: statistics.median(t) for name, t in times.items()}
        ratio = medians["certified"] / medians["uncertified"]
        print(f"f32 {op:4} {n:,} inputs tol {tol}: "
              + "  ".join(f"{name} {medians[name] * 1e3:7.2f} ms ({hits[name]} hits)" for name, _ in modes)
              + f"  certified/uncertified {ratio:.2f}x")


if __name__ == "__main__":
    main()
