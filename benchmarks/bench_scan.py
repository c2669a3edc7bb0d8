"""Nanoseconds per input of knife_edges_raw on every scan path, beside plain C++ integer loops.

Each case scans consecutive floats; every available scan path (the scalar loop, and the pre-filter on
each instruction set the processor has) and, for square roots, a peer loop that decides each input with
64-bit (binary32) or 128-bit (binary64) integers run in turn, round after round, so that load from other
processes spreads over all of them. The fastest round of each is reported, with its ratio to the peer.
Every path must return the scalar path's result, and the peer must count as many hits.

Run after building the module into the package directory (the peers are compiled on the fly with the
project's flags, by $CXX or c++):
    python3 benchmarks/bench_scan.py [--repeat N]
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

from fpscope import _core  # noqa: E402
from fpscope._core import knife_edges_raw  # noqa: E402

# (op, dtype, first input, number of consecutive inputs, tolerance, peer function or None).
CASES = [
    ("sqrt", "f32", 1.0, 5 * 10**6, 1e-3, "peer_sqrt_f32"),
    ("sqrt", "f64", 3.0, 10**6, 1e-3, "peer_sqrt_f64"),
    ("recip", "f32", 1.0, 5 * 10**6, 1e-3, None),
    ("exp", "f32", 1.0, 10**6, 1e-6, None),
]
LIMIT = 10**9
# The Release build's flags (CMakeLists.txt): optimisation, exact binary32/binary64 arithmetic.
PEER_FLAGS = ["-O3", "-DNDEBUG", "-std=c++20", "-ffp-contract=off", "-fno-fast-math", "-fPIC", "-shared"]


def float_at(dtype, start, offset):
    """The float `offset` positions above the positive float `start`."""
    code, word = ("<f", "<I") if dtype == "f32" else ("<d", "<Q")
    bits = struct.unpack(word, struct.pack(code, start))[0] + offset
    return struct.unpack(code, struct.pack(word, bits))[0]


def build_peers(directory):
    library = Path(directory) / "scan_peers.so"
    compiler = os.environ.get("CXX", "c++")
    subprocess.run([compiler, *PEER_FLAGS, str(HERE / "scan_peers.cpp"), "-o", str(library)], check=True)
    peers = ctypes.CDLL(str(library))
    for name, argument in (("peer_sqrt_f32", ctypes.c_float), ("peer_sqrt_f64", ctypes.c_double)):
        function = getattr(peers, name)
        function.restype = ctypes.c_uint64
        function.argtypes = [argument, ctypes.c_uint64, ctypes.c_double]
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


def time_path(path, op, dtype, lo, n, tol):
    previous = _core._scan_path(path)
    try:
        hi = float_at(dtype, lo, n - 1)
        start = time.perf_counter()
        result = knife_edges_raw(op, lo, hi, tol, dtype, LIMIT)
        elapsed = time.perf_counter() - start
    finally:
        _core._scan_path(previous)
    assert result[1] == n and result[2], result[1:]
    return elapsed * 1e9 / n, result


def time_peer(function, lo, n, tol):
    start = time.perf_counter()
    hits = function(lo, n, tol)
    return (time.perf_counter() - start) * 1e9 / n, hits


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="rounds; the fastest of each is reported")
    args = parser.parse_args()
    paths = available_paths()
    with tempfile.TemporaryDirectory() as directory:
        peers = build_peers(directory)
        best = {}
        results = {}
        for _ in range(args.repeat):
            for op, dtype, lo, n, tol, peer in CASES:
                for path in paths:
                    ns, result = time_path(path, op, dtype, lo, n, tol)
                    key = (op, dtype, path)
                    best[key] = min(best.get(key, float("inf")), ns)
                    results.setdefault((op, dtype), {})[path] = result
                if peer:
                    ns, hits = time_peer(getattr(peers, peer), lo, n, tol)
                    key = (op, dtype, "peer")
                    best[key] = min(best.get(key, float("inf")), ns)
                    results.setdefault((op, dtype, "peer"), hits)
    for op, dtype, lo, n, tol, peer in CASES:
        scans = results[(op, dtype)]
        reference = scans["scalar"]
        identical = all(scans[p] == reference for p in paths)
        print(f"{op} {dtype}: {n:,} consecutive inputs from {lo}, tol {tol}: {len(reference[0])} hits, "
              f"all paths {'identical' if identical else 'DIFFERENT'}")
        peer_ns = best.get((op, dtype, "peer"))
        rows = [(p, best[(op, dtype, p)]) for p in paths]
        if peer:
            peer_hits = results[(op, dtype, "peer")]
            rows.append((f"C++ {'64' if dtype == 'f32' else '128'}-bit integer loop", peer_ns))
        for name, ns in rows:
            ratio = f"  {ns / peer_ns:5.2f}x the integer loop" if peer_ns else ""
            print(f"    {name:28} {ns:6.2f} ns/input{ratio}")
        if peer and peer_hits != len(reference[0]):
            print(f"    the integer loop counted {peer_hits} hits")
        if not identical:
            sys.exit(1)


if __name__ == "__main__":
    main()
