"""Speed of binary32 audits of exp against their floor, and of a sampled binary64 audit.

The floor of an audit is what any audit must pay: evaluating the implementation over every input (numpy's
`exp` on the same chunks of 2^20 inputs; the C library's `expf` in a plain C loop) plus a plain C loop of the
binary64 `exp` over the same inputs, the reference the audit judges against. The inputs are every
`--stride`-th binary32 value over the whole range (2^32 / stride of them, 2^26 by default), so every region
of the range (overflow, underflow, the tiny arguments whose exp is 1) weighs as it does in a whole-range
audit, whose time is extrapolated from them (`--whole` measures it once, with 2 workers). The audit itself
calls the binary64 `exp` only where it must: tiny arguments take a short series and those beyond the binary64
range its infinity or zero, so it may run below this floor, whose C loop pays the platform's function (its
overflow and underflow handling included) on every input.

One interleaved run: each round times every case once, in turn; the fastest round of each is reported.
The machine may be shared: wall times then include other processes' time slices, process CPU times do not
(for 2 workers the CPU time is the sum over both threads, which shows that the work is not duplicated;
only wall time shows the speed-up, and only when two cores are free). The load average is printed, and so
is the speed-up of the floor's C loop of exp split over 2 threads, timed in the same rounds: the most that
2 workers could show at that time. Other sessions' processes take their share whatever their nice value
where the kernel groups processes by session (/proc/sys/kernel/sched_autogroup_enabled): one busy program
started at nice 19 elsewhere leaves this one a single core.

The path column is the instruction set the audit's common pass runs on (and its vector reference of exp,
except on the scalar path, which judges every input on the platform's binary64 function); the native
audit with one worker is timed on every path the processor has, the others on the widest.

Targets: one worker at most 1.3x the floor; 2 workers at least 1.8x as fast as one; the whole range in at
most 60 s (numpy) and 90 s (expf) with 2 workers; a binary64 audit of 10^6 sampled inputs in at most 10 s
on one worker.
    python3 benchmarks/bench_audit.py [--build-dir build] [--stride 64] [--rounds 3] [--whole] [--f64 N] [--sinpi]
"""

import argparse
import ctypes
import os
import platform
import sys
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # idle BLAS threads would spin on the CPU time
import numpy as np  # noqa: E402

import fpscope  # noqa: E402
from fpscope import _audit, _core  # noqa: E402
from fpscope._floats import from_ordered  # noqa: E402
from _cmake import build_targets  # noqa: E402 (a module beside this script)

ALL = _audit.ALL_F32  # every non-NaN binary32 value
FIRST = _core.ordered(-np.inf, "f32")


def floor_library(build):
    build_targets(build, "audit_floor")
    lib = ctypes.CDLL(str(build / "libaudit_floor.so"))
    for name in ("floor_exp_f64", "floor_expf"):
        fn = getattr(lib, name)
        fn.restype, fn.argtypes = ctypes.c_uint64, [ctypes.c_int64, ctypes.c_uint64, ctypes.c_uint64]
    return lib


def on_two_threads(run, count):
    """run(first_index, n) over [0, count) split in two halves, each on a thread of its own."""
    half = count // 2
    threads = [threading.Thread(target=run, args=(0, half)), threading.Thread(target=run, args=(half, count - half))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def timed(run):
    """(wall, process CPU) seconds of run()."""
    wall, cpu = time.perf_counter(), time.process_time()
    run()
    return time.perf_counter() - wall, time.process_time() - cpu


def numpy_floor(count, stride):
    """Wall and CPU seconds of numpy's exp over the audit's chunks of inputs; making the inputs is not timed."""
    xs = np.empty(_audit.CHUNK, dtype=np.float32)
    wall = cpu = 0.0
    with np.errstate(all="ignore"):
        for offset in range(0, count, _audit.CHUNK):
            size = min(_audit.CHUNK, count - offset)
            _core._audit_fill(xs.ctypes.data, from_ordered(FIRST + offset * stride, True), stride, size, "f32")
            chunk = xs[:size]
            w, c = timed(lambda: np.exp(chunk))
            wall, cpu = wall + w, cpu + c
    return wall, cpu


def available_paths():
    """The paths this processor can run, narrowest first."""
    current, found = _core._scan_path(), []
    for name in ("scalar", "sse2", "avx2", "avx512"):
        try:
            _core._scan_path(name)
            found.append(name)
        except ValueError:
            pass
    _core._scan_path(current)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(HERE.parent / "build"), help="CMake build directory")
    parser.add_argument("--stride", type=int, default=64, help="audit every STRIDE-th binary32 value")
    parser.add_argument("--rounds", type=int, default=3, help="interleaved rounds; the fastest is reported")
    parser.add_argument("--whole", action="store_true", help="also time whole-range audits with 2 workers")
    parser.add_argument("--f64", type=int, default=10**6, help="inputs of the sampled binary64 audit (0: none)")
    parser.add_argument("--sinpi", action="store_true",
                        help="also time audits of sinpi (numpy's binary64 sin of pi x, rounded), 2 workers")
    args = parser.parse_args()
    lib = floor_library(Path(args.build_dir))
    stride = args.stride
    count = (ALL - 1) // stride + 1
    hi = from_ordered(FIRST + (count - 1) * stride, True)  # the last input
    expf = fpscope.native("libm.so.6", "expf")
    audit_args = dict(lo=-np.inf, hi=hi, stride=stride, worst=16)
    widest = _core._scan_path()

    def on_path(path, run):
        def timed_on_path():
            _core._scan_path(path)
            try:
                run()
            finally:
                _core._scan_path(widest)
        return timed_on_path

    cases = {
        "floor: C loop of exp (binary64)": lambda: lib.floor_exp_f64(FIRST, stride, count),
        "  the same on 2 threads": lambda: on_two_threads(
            lambda i, n: lib.floor_exp_f64(FIRST + i * stride, stride, n), count),
        "floor: numpy exp on the chunks": lambda: numpy_floor(count, stride),
        "floor: C loop of expf": lambda: lib.floor_expf(FIRST, stride, count),
        "audit numpy exp, 1 worker": lambda: fpscope.audit(np.exp, "exp", **audit_args),
        "audit numpy exp, 2 workers": lambda: fpscope.audit(np.exp, "exp", workers=2, **audit_args),
        "audit native expf, 1 worker": lambda: fpscope.audit(expf, "exp", **audit_args),
        "audit native expf, 2 workers": lambda: fpscope.audit(expf, "exp", workers=2, **audit_args),
    }
    paths = {name: widest for name in cases if name.startswith("audit")}
    for path in available_paths():
        if path != widest:
            name = f"audit native expf, 1 worker, {path}"
            cases[name] = on_path(path, lambda: fpscope.audit(expf, "exp", **audit_args))
            paths[name] = path
    print(f"{count:,} binary32 inputs (every {stride}th of the {ALL:,}); load average before: "
          f"{' '.join(f'{v:.1f}' for v in os.getloadavg())}")
    best = {name: (float("inf"), float("inf")) for name in cases}
    for _ in range(max(args.rounds, 1)):
        for name, run in cases.items():
            wall, cpu = run() if name == "floor: numpy exp on the chunks" else timed(run)
            best[name] = (min(best[name][0], wall), min(best[name][1], cpu))
    exp64 = best["floor: C loop of exp (binary64)"]
    floors = {"numpy": tuple(a + b for a, b in zip(exp64, best["floor: numpy exp on the chunks"])),
              "native": tuple(a + b for a, b in zip(exp64, best["floor: C loop of expf"]))}
    scale = ALL / count
    print(f"{'case':42} {'path':>7} {'wall s':>8} {'CPU s':>8} {'CPU ns/in':>10} {'x floor':>16} {'whole range':>12}")
    for name, (wall, cpu) in best.items():
        row = f"{name:42} {paths.get(name, ''):>7} {wall:8.3f} {cpu:8.3f} {cpu / count * 1e9:10.2f}"
        kind = "numpy" if "numpy" in name else "native" if "expf" in name else None
        if name.startswith("  "):
            one = best["floor: C loop of exp (binary64)"][0]
            row += f" {one / wall:5.2f}x as fast as on 1 thread: the machine's own 2-thread speed-up"
        if name.startswith("audit"):
            floor_wall, floor_cpu = floors[kind]
            row += f" {wall / floor_wall:6.2f} w {cpu / floor_cpu:5.2f} c" if "1 worker" in name else f"{'':16}"
            row += f" {wall * scale:10.1f} s"
        print(row)
    ceiling = best["floor: C loop of exp (binary64)"][0] / best["  the same on 2 threads"][0]
    for kind in ("numpy", "native"):
        label = "numpy exp" if kind == "numpy" else "native expf"
        one, two = best[f"audit {label}, 1 worker"], best[f"audit {label}, 2 workers"]
        print(f"floor ({label} + exp): {floors[kind][0]:.3f} s wall, {floors[kind][1]:.3f} s CPU; "
              f"2 workers vs 1: {one[0] / two[0]:.2f}x wall (the C loop: {ceiling:.2f}x), "
              f"CPU {two[1] / one[1]:.2f}x of one worker's")
    print(f"(best of {args.rounds} interleaved rounds; 'x floor' is the ratio of wall (w) and CPU (c) times; "
          f"'whole range' extrapolates wall time by {scale:.0f}; load average after: "
          f"{' '.join(f'{v:.1f}' for v in os.getloadavg())}; CPython {platform.python_version()}, "
          f"numpy {np.__version__}, {os.cpu_count()} CPUs)")
    if args.whole:
        for label, impl in (("numpy exp", np.exp), ("native expf", expf)):
            wall, cpu = timed(lambda: fpscope.audit(impl, "exp", workers=2))
            print(f"whole range, {label}, 2 workers: {wall:.1f} s wall, {cpu:.1f} s CPU")
    if args.sinpi:
        # About 41% of the range are exact points of sinpi (every |x| >= 2^23 among them), decided in the core.
        def sinpi(xs):
            return np.sin(np.pi * xs.astype(np.float64)).astype(np.float32)
        wall, cpu = timed(lambda: fpscope.audit(sinpi, "sinpi", workers=2, **audit_args))
        print(f"sinpi, numpy sin(pi x), 2 workers: {wall:.3f} s wall, {cpu:.3f} s CPU; whole range {wall * scale:.1f} s")
        if args.whole:
            wall, cpu = timed(lambda: fpscope.audit(sinpi, "sinpi", workers=2))
            print(f"whole range, sinpi, 2 workers: {wall:.1f} s wall, {cpu:.1f} s CPU")
    if args.f64:
        def f64():
            a = fpscope.audit(np.exp, "exp", "f64", sample=args.f64, seed=1)
            assert a.inputs == args.f64
        wall, cpu = timed(f64)
        print(f"binary64, {args.f64:,} sampled inputs of numpy exp, 1 worker: {wall:.2f} s wall, {cpu:.2f} s CPU "
              f"({cpu / args.f64 * 1e6:.2f} µs CPU per input)")


if __name__ == "__main__":
    main()
