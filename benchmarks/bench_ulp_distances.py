"""fpscope.ulp_distances on two arrays of a million floats against the same distances computed by
vectorised numpy integer arithmetic (the bit patterns' ordered view, subtracted), for float32, float64,
float16 and bfloat16 arrays; and assert_ulp_close on the same arrays. The two are timed interleaved,
repeat after repeat, so that load on the machine falls on both alike; the ratio is what to read.
Run after building the module into the package directory:
    python3 benchmarks/bench_ulp_distances.py [--n 1000000] [--repeat 15]
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

import numpy as np  # noqa: E402

import fpscope  # noqa: E402


def numpy_distances(a, b, bits):
    """The peer: |ordered(a) - ordered(b)| as uint64, from the patterns with numpy's integer operations."""
    ia, ib = a.view(f"int{bits}").astype(np.int64), b.view(f"int{bits}").astype(np.int64)
    magnitude = (1 << (bits - 1)) - 1
    oa = np.where(ia < 0, -(ia & magnitude), ia)
    ob = np.where(ib < 0, -(ib & magnitude), ib)
    # The difference of two 64-bit ordered values can pass int64's range: larger minus smaller, unsigned.
    ua, ub = oa.view(np.uint64), ob.view(np.uint64)
    return np.where(oa >= ob, ua - ub, ub - ua)


def arrays(dtype, bits, n, rng):
    """Two arrays of n finite floats of the dtype: random patterns, the NaNs replaced by zeros, and
    their neighbours a few ulps away."""
    patterns = rng.integers(0, 1 << bits, n, dtype=np.uint64).astype(f"uint{bits}")
    a = patterns.view(dtype)
    with np.errstate(invalid="ignore"):
        a = np.where(np.isnan(a.astype(np.float64)), dtype(0), a).astype(dtype)
    b = (a.view(f"uint{bits}") ^ rng.integers(0, 8, n).astype(f"uint{bits}")).view(dtype)
    with np.errstate(invalid="ignore"):
        b = np.where(np.isnan(b.astype(np.float64)), dtype(0), b).astype(dtype)
    return a, b


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    formats = [("float32", np.float32, 32), ("float64", np.float64, 64), ("float16", np.float16, 16)]
    try:
        import ml_dtypes
        formats.append(("bfloat16", ml_dtypes.bfloat16, 16))
    except ImportError:
        print("bfloat16: skipped (no ml_dtypes)")
    rng = np.random.default_rng(1)
    print(f"{'dtype':9} {'numpy (ms)':>11} {'fpscope (ms)':>13} {'ratio':>6} {'assert (ms)':>12}")
    for name, dtype, bits in formats:
        a, b = arrays(dtype, bits, args.n, rng)
        want = numpy_distances(a, b, bits)
        got = fpscope.ulp_distances(a, b)
        assert got.dtype == np.uint64 and (got == want).all(), name
        peer, ours, checks = [], [], []
        for _ in range(args.repeat):
            start = time.perf_counter()
            numpy_distances(a, b, bits)
            peer.append(time.perf_counter() - start)
            start = time.perf_counter()
            fpscope.ulp_distances(a, b)
            ours.append(time.perf_counter() - start)
            start = time.perf_counter()
            fpscope.assert_ulp_close(a, b, max_ulp=1 << bits)
            checks.append(time.perf_counter() - start)
        p, o, c = (statistics.median(t) * 1e3 for t in (peer, ours, checks))
        print(f"{name:9} {p:11.2f} {o:13.2f} {o / p:6.2f} {c:12.2f}")


if __name__ == "__main__":
    main()
