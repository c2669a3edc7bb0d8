"""Every exhaustive question on a 16-bit format, timed: a whole-range certified scan, a worst-case
table and an audit of a numpy function, for each operation in binary16 and bfloat16 (each should
answer in under a second). Caches are cleared between runs: each answer is computed afresh.
Run after building the module into the package directory:
    python3 benchmarks/bench_sixteen_bit.py [--repeat N] [--ops exp,tanh]
"""

import argparse
import math
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import numpy as np  # noqa: E402

import fpscope  # noqa: E402


def bfloat16_of(fn):
    import ml_dtypes

    def computed_in_float32(a):
        with np.errstate(all="ignore"):
            return fn(a.astype(np.float32)).astype(ml_dtypes.bfloat16)
    return computed_in_float32


NUMPY = {"exp": np.exp, "log": np.log, "sin": np.sin, "tanh": np.tanh, "sqrt": np.sqrt, "exp2": np.exp2,
         "log2": np.log2, "cos": np.cos}


def median_seconds(call, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--ops", default=",".join(fpscope.UNARY_OPS))
    args = parser.parse_args()
    print(f"{'dtype':5} {'op':9} {'scan (s)':>9} {'table (s)':>10} {'audit (s)':>10}")
    slowest = 0.0
    for dtype in ("f16", "bf16"):
        for op in args.ops.split(","):
            scan = median_seconds(lambda: fpscope.knife_edges(op, -math.inf, math.inf, 1e-3, dtype, limit=1 << 17),
                                  args.repeat)
            table = median_seconds(lambda: fpscope.worst_cases(op, dtype=dtype, top=16), args.repeat)
            audit = math.nan
            if op in NUMPY:
                impl = NUMPY[op] if dtype == "f16" else bfloat16_of(NUMPY[op])
                audit = median_seconds(lambda: fpscope.audit(impl, op, dtype), args.repeat)
            slowest = max(slowest, scan, table, audit if audit == audit else 0.0)
            print(f"{dtype:5} {op:9} {scan:9.3f} {table:10.3f} {audit:10.3f}")
    print(f"slowest: {slowest:.3f} s")


if __name__ == "__main__":
    main()
