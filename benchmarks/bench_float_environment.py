"""Nanoseconds per call added by the float-environment guard, from a native microbenchmark.

A timing from Python cannot resolve a couple of nanoseconds, so the guard is timed natively around a
small function, against the same function without it. Builds the benchmark with the project's CMake
options, then runs it:
    python3 benchmarks/bench_float_environment.py [--build-dir build] [--scale X] [--rounds N]
"""

import argparse
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(ROOT / "build"), help="CMake build directory (configured if new)")
    parser.add_argument("--scale", type=float, default=1.0, help="scales the calls per round (1: about 0.2 s)")
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds; the fastest is reported")
    args = parser.parse_args()
    build = Path(args.build_dir)
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"], check=True,
                       stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "--target", "bench_float_environment"], check=True,
                   stdout=subprocess.DEVNULL)
    done = subprocess.run([str(build / "bench_float_environment"), str(args.scale), str(args.rounds)],
                          capture_output=True, text=True, check=True)
    sys.stdout.write(done.stdout)


if __name__ == "__main__":
    main()
