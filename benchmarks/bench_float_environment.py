"""Nanoseconds per call added by the float-environment guard, from native microbenchmarks.

A timing from Python cannot resolve a couple of nanoseconds, so the guard is timed natively, against
the same code without it, in two ways:
- whole calls: functions declared and bound as the core's are, their entries instantiated with the
  guard and without it (guard_probe), called natively with a prepared argument tuple, which is what a
  call from Python pays for the guard;
- bare bodies: the guard around a small native function alone (bench_float_environment), where
  nothing else hides the control-register read.
Builds both with the project's CMake options, then runs them:
    python3 benchmarks/bench_float_environment.py [--build-dir build] [--scale X] [--rounds N]
"""

import argparse
import platform
import subprocess
import sys
from pathlib import Path

from _cmake import ROOT, build_targets


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(ROOT / "build"), help="CMake build directory (configured if new)")
    parser.add_argument("--scale", type=float, default=1.0, help="scales the calls per round (1: about 0.2 s)")
    parser.add_argument("--rounds", type=int, default=7, help="interleaved rounds; the fastest is reported")
    args = parser.parse_args()
    build = Path(args.build_dir)
    build_targets(build, "bench_float_environment", "guard_probe")
    import guard_probe

    rounds = max(args.rounds, 1) * 3
    rows = guard_probe.measure(int(500_000 * args.scale) + 1, rounds)
    print(f"{'whole call':28} {'no guard':>10} {'guard':>10} {'added':>8}")
    for name, without, with_guard in rows:
        print(f"{name:28} {without:7.2f} ns {with_guard:7.2f} ns {with_guard - without:+5.2f} ns")
    print(f"(best of {rounds} interleaved rounds, the order alternating; CPython {platform.python_version()})\n")
    done = subprocess.run([str(build / "bench_float_environment"), str(args.scale), str(args.rounds)],
                          capture_output=True, text=True, check=True)
    sys.stdout.write(done.stdout)


if __name__ == "__main__":
    main()
