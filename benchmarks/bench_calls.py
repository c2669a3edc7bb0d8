"""Nanoseconds per call of every core function, positional and keyword forms, beside the interpreter's
own `math.nextafter` and a probe extension built like the core whose functions do nothing (the floor of
the calling convention). One interleaved run: each round times every case once, in turn, and the median
over the rounds is reported, as a tight Python loop sees it (the loop's own cost, an empty statement timed
the same way, is printed beside). Ratios are to `math.nextafter(1.0, inf)` in the same round.
    python3 benchmarks/bench_calls.py [--build-dir build] [--calls N] [--rounds N]
"""

import argparse
import math
import platform
import statistics
import sys
import timeit
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))

from _cmake import build_targets  # noqa: E402 (a module beside this script)

# (label, statement); the statement's names come from NAMES below, bound as locals of the timing loop.
CASES = [
    ("math.nextafter(1.0, inf)", "nextafter(1.0, inf)"),
    ("probe.none(1.0)", "none(1.0)"),
    ("probe.none(1.0, dtype='f32')", "none(1.0, dtype='f32')"),
    ("probe.one_float(1.0)", "one_float(1.0)"),
    ("probe.report('sqrt', 2.0)", "report('sqrt', 2.0)"),
    ("next_up(1.0)", "next_up(1.0)"),
    ("next_up(1.0, 'f32')", "next_up(1.0, 'f32')"),
    ("next_up(1.0, dtype='f32')", "next_up(1.0, dtype='f32')"),
    ("next_up(x=1.0, dtype='f32')", "next_up(x=1.0, dtype='f32')"),
    ("next_down(1.0)", "next_down(1.0)"),
    ("next_down(1.0, dtype='f32')", "next_down(1.0, dtype='f32')"),
    ("ordered(1.0)", "ordered(1.0)"),
    ("ordered(1.0, dtype='f32')", "ordered(1.0, dtype='f32')"),
    ("spacing(1.0)", "spacing(1.0)"),
    ("spacing(1.0, dtype='f32')", "spacing(1.0, dtype='f32')"),
    ("sqrt_cr(2.0)", "sqrt_cr(2.0)"),
    ("sqrt_cr(2.0, dtype='f32')", "sqrt_cr(2.0, dtype='f32')"),
    ("ulp_distance(1.0, 2.0)", "ulp_distance(1.0, 2.0)"),
    ("ulp_distance(1.0, 2.0, dtype='f32')", "ulp_distance(1.0, 2.0, dtype='f32')"),
    ("ulp_distances([1.0], [2.0])", "ulp_distances(one, two)"),
    ("ulp_distances(a=[1.0], b=[2.0])", "ulp_distances(a=one, b=two)"),
    ("midpoint('sqrt', 2.0)", "midpoint('sqrt', 2.0)"),
    ("midpoint('sqrt', 2.0, dtype='f64')", "midpoint('sqrt', 2.0, dtype='f64')"),
    ("midpoint('div', 1.0, 'f64', 3.0)", "midpoint('div', 1.0, 'f64', 3.0)"),
    ("midpoint(op='div', x=1.0, y=3.0)", "midpoint(op='div', x=1.0, y=3.0)"),
    ("neighbours(1.0)", "neighbours(1.0)"),
    ("neighbours(1.0, k=2, dtype='f32')", "neighbours(1.0, k=2, dtype='f32')"),
    ("binade_edges(0, 1)", "binade_edges(0, 1)"),
    ("binade_edges(0, 1, dtype='f32')", "binade_edges(0, 1, dtype='f32')"),
    ("all_floats(1.0, 1.0)", "all_floats(1.0, 1.0)"),
    ("all_floats(1.0, 1.0, limit=1)", "all_floats(1.0, 1.0, limit=1)"),
    ("special()", "special()"),
    ("special(dtype='f64')", "special(dtype='f64')"),
    ("knife_edges_raw('sqrt', 1.0, 1.0)", "knife_edges_raw('sqrt', 1.0, 1.0)"),
    ("knife_edges_raw('sqrt', 1.0, 1.0, limit=1)", "knife_edges_raw('sqrt', 1.0, 1.0, limit=1)"),
    # The package's certified report beside the core's midpoint it starts from.
    ("midpoint('exp', 1.0)", "midpoint('exp', 1.0)"),
    ("fpscope.report('exp', 1.0)", "package_report('exp', 1.0)"),
    ("fpscope.report('exp2', -1e30)", "package_report('exp2', -1e30)"),
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(ROOT / "build"), help="CMake build directory (configured if new)")
    parser.add_argument("--calls", type=int, default=2000, help="calls per case and round")
    parser.add_argument("--rounds", type=int, default=101, help="interleaved rounds; medians are reported")
    args = parser.parse_args()
    build_targets(Path(args.build_dir), "call_probe")
    import call_probe

    import fpscope
    from fpscope import _core

    names = {name: getattr(_core, name) for name in _core.__all__ if callable(getattr(_core, name))}
    names.update(nextafter=math.nextafter, inf=math.inf, none=call_probe.none, one_float=call_probe.one_float,
                 report=call_probe.report, one=[1.0], two=[2.0], package_report=fpscope.report)
    setup = "; ".join(f"{name} = names[{name!r}]" for name in names)

    def timer(statement):
        return timeit.Timer(statement, setup, globals={"names": names})

    timers = [(label, timer(statement)) for label, statement in CASES]
    empty = timer("pass")
    samples = {label: [] for label, _ in CASES}
    loops = []
    for _ in range(args.rounds):
        loops.append(empty.timeit(args.calls) / args.calls * 1e9)
        for label, t in timers:
            samples[label].append(t.timeit(args.calls) / args.calls * 1e9)

    # Ratios and differences are taken within each round, then the median over rounds: a shared machine
    # changes speed from one second to the next, and a round takes milliseconds, so its cases see the
    # same machine.
    medians = {label: statistics.median(values) for label, values in samples.items()}
    base = samples["math.nextafter(1.0, inf)"]
    ratios = {label: statistics.median(v / b for v, b in zip(values, base)) for label, values in samples.items()}
    print(f"CPython {platform.python_version()} ({sys.implementation.cache_tag}), {args.rounds} interleaved rounds "
          f"of {args.calls} calls, median ns per call and median of the rounds' ratios; the loop alone: "
          f"{statistics.median(loops):.1f} ns")
    print(f"{'call':<46} {'ns':>8} {'x nextafter':>12}")
    for label, _ in CASES:
        print(f"{label:<46} {medians[label]:8.1f} {ratios[label]:12.2f}")
    print()
    keyword = statistics.median(
        k - p for k, p in zip(samples["next_up(1.0, dtype='f32')"], samples["next_up(1.0, 'f32')"]))
    print(f"next_up(1.0, dtype='f32') - next_up(1.0, 'f32'), median of the rounds' differences: {keyword:.1f} ns")
    certified = statistics.median(
        r / m for r, m in zip(samples["fpscope.report('exp', 1.0)"], samples["midpoint('exp', 1.0)"]))
    print(f"fpscope.report('exp', 1.0) / midpoint('exp', 1.0), median of the rounds' ratios: {certified:.2f}")


if __name__ == "__main__":
    main()
