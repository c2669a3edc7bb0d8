"""Certified binary32 scans of library-based operations on every scan path, beside a plain C loop.

Each case is a certified scan (knife_edges, one worker, tolerance 1e-6, no hit limit) of consecutive
binary32 inputs on each scan path: the scalar path decides every input from the platform's binary64
function; the vector paths pre-filter with the vector references and decide only their candidates. The
peer is a plain C loop over the same inputs that decides each from the C library's binary64 function, as
the scans' binary64 judgement does (no certification, no Python). Paths and peer run in turn, round after
round, so that load from other processes spreads over all of them; the fastest round of each is reported,
with its ratio to the peer. sin over [2^100, 2^101] is compared with sin over [1, 2] on each path.

Every path must give the scalar path's scan. The machine's load average is printed: on a shared machine
the figures are noisy, and the ratios between figures of one round are the steadier ones.

Run after building the module into the package directory (the peers are compiled on the fly with the
project's flags, by $CXX or c++):
    python3 benchmarks/bench_vector_ref.py [--repeat N] [--inputs N]
"""

import argparse
import ctypes
import os
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

import fpscope  # noqa: E402
from fpscope import _core  # noqa: E402

TOL = 1e-6
# (op, first input, peer function)
CASES = [("exp", 1.0, "peer_exp_f32"), ("log", 3.0, "peer_log_f32"), ("sin", 1.0, "peer_sin_f32"),
         ("tanh", 0.25, "peer_tanh_f32")]
# sin over one binade near 1 and one near 2^100: the reduction must cost the same.
BINADES = [("sin", 1.0), ("sin", 2.0**100)]
PEER_FLAGS = ["-O3", "-DNDEBUG", "-std=c++20", "-ffp-contract=off", "-fno-fast-math", "-fPIC", "-shared"]


def float_at(start, offset):
    bits = struct.unpack("<I", struct.pack("<f", start))[0] + offset
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def build_peers(directory):
    library = Path(directory) / "scan_peers.so"
    compiler = os.environ.get("CXX", "c++")
    subprocess.run([compiler, *PEER_FLAGS, str(HERE / "scan_peers.cpp"), "-o", str(library)], check=True)
    peers = ctypes.CDLL(str(library))
    for _, _, name in CASES:
        function = getattr(peers, name)
        function.restype = ctypes.c_uint64
        function.argtypes = [ctypes.c_float, ctypes.c_uint64, ctypes.c_double]
    return peers


def available_paths():
    current = _core._scan_path()
    paths = []
    for name in ("scalar", "sse2", "avx2", "avx512"):
        try:
            _core._scan_path(name)
            paths.append(name)
        except ValueError:
            pass
    _core._scan_path(current)
    return paths


def certified(path, op, lo, n):
    previous = _core._scan_path(path)
    try:
        hi = float_at(lo, n - 1)
        start = time.perf_counter()
        scan = fpscope.knife_edges(op, lo, hi, TOL, "f32", limit=10**9, certified=True)
        elapsed = time.perf_counter() - start
    finally:
        _core._scan_path(previous)
    assert scan.evaluated == n and scan.covered, scan.evaluated
    return elapsed * 1e9 / n, scan


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="rounds; the fastest of each is reported")
    parser.add_argument("--inputs", type=int, default=2**24, help="consecutive inputs per case")
    args = parser.parse_args()
    paths = available_paths()
    n = args.inputs
    best, scans = {}, {}

    def keep(key, ns):
        best[key] = min(best.get(key, float("inf")), ns)

    with tempfile.TemporaryDirectory() as directory:
        peers = build_peers(directory)
        for op, lo, _ in CASES:  # first use: the overflow edge, MPFR contexts, imports
            certified(paths[-1], op, lo, 1 << 12)
        for _ in range(args.repeat):
            for op, lo, peer in CASES:
                for path in paths:
                    ns, scan = certified(path, op, lo, n)
                    keep((op, lo, path), ns)
                    scans.setdefault((op, lo), {})[path] = scan
                start = time.perf_counter()
                peer_hits = getattr(peers, peer)(lo, n, TOL + fpscope._certify.MARGIN)
                keep((op, lo, "peer"), (time.perf_counter() - start) * 1e9 / n)
                scans.setdefault((op, lo, "peer"), peer_hits)
            for op, lo in BINADES:
                for path in paths:
                    keep(("binade", lo, path), certified(path, op, lo, 1 << 23)[0])
    print(f"CPython {sys.version.split()[0]}, fpscope {fpscope.__version__}; fastest of {args.repeat} rounds; "
          f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores")
    failed = False
    for op, lo, _ in CASES:
        found = scans[(op, lo)]
        reference = found["scalar"]
        identical = all(found[p] == reference for p in paths)
        failed = failed or not identical
        peer_ns = best[(op, lo, "peer")]
        print(f"{op} certified, {n:,} consecutive inputs from {lo}, tol {TOL}: {len(reference.hits)} hits, "
              f"all paths {'identical' if identical else 'DIFFERENT'}; the C loop saw "
              f"{scans[(op, lo, 'peer')]} binary64 hits at tol + {fpscope._certify.MARGIN}")
        for path in paths:
            ns = best[(op, lo, path)]
            print(f"    {path:28} {ns:6.2f} ns/input  {ns / peer_ns:5.2f}x the C loop")
        print(f"    {'C loop, binary64 libm':28} {peer_ns:6.2f} ns/input")
    print("sin certified over [2^100, 2^101] against [1, 2] (2^23 inputs each):")
    for path in paths:
        near, huge = best[("binade", 1.0, path)], best[("binade", 2.0**100, path)]
        print(f"    {path:28} {near:6.2f} and {huge:6.2f} ns/input: {huge / near:4.2f}x")
    if failed:
        sys.exit(1)


if __name__ == "__main__":
    main()
