"""Parallel scans: speed with 1 and 2 worker threads against one raw core call, the cost of a chunk,
and the cost of a task on a dask LocalCluster.

Run after building the module into the package directory (dask is optional):
    python3 benchmarks/bench_parallel.py [--repeat N] [--no-dask]
Other processes on the machine distort the figures: the load average is printed before and after.
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from fpscope import knife_edges  # noqa: E402
from fpscope._core import knife_edges_raw, ordered  # noqa: E402
from fpscope._floats import from_ordered  # noqa: E402

# (op, dtype, first input, consecutive inputs, tolerance). The binary32 exp inputs run from -80 towards
# zero, all with finite, inexact results; the tolerances keep hits to a few dozen, so the figures are
# the walk, not the building of results.
CASES = [("exp", "f32", -80.0, 10**8, 1e-7), ("sqrt", "f64", 1.0, 10**7, 1e-10)]
LIMIT = 10**9


def float_at(dtype, start, offset):
    """The float `offset` steps above `start` in the format's order."""
    return from_ordered(ordered(start, dtype) + offset, dtype == "f32")


def best(repeat, run, cpu=None):
    """The fastest wall time of `repeat` runs; `cpu` (a list) receives the process CPU time of that run,
    which other processes on the machine leave alone."""
    times = []
    for _ in range(repeat):
        began, began_cpu = time.perf_counter(), time.process_time()
        result = run()
        times.append((time.perf_counter() - began, time.process_time() - began_cpu))
    wall, cpu_s = min(times)
    if cpu is not None:
        cpu.append(cpu_s)
    return wall, result


def scaling(repeat):
    for op, dtype, lo, n, tol in CASES:
        args = (op, lo, float_at(dtype, lo, n - 1), tol, dtype, LIMIT, 1, n)
        cpu = []
        raw_s, raw = best(repeat, lambda: knife_edges_raw(*args), cpu)
        assert raw[1] == n and raw[2]
        chunks = []
        one_s, one = best(repeat, lambda: knife_edges(*args, workers=1, certified=False,
                                                        progress=lambda e, t: chunks.append(e)), cpu)
        two_s, two = best(repeat, lambda: knife_edges(*args, workers=2, certified=False), cpu)
        assert tuple(one) == tuple(two) == raw
        per_run = len(chunks) // repeat - 1
        print(f"{op:4} {dtype} {n:>11,} inputs  raw call {raw_s:7.3f} s   1 worker {one_s:7.3f} s "
              f"({100 * (one_s / raw_s - 1):+5.1f}% vs raw)   2 workers {two_s:7.3f} s "
              f"({one_s / two_s:4.2f}x 1 worker)")
        print(f"     CPU time: raw call {cpu[0]:.3f} s, 1 worker {cpu[1]:.3f} s ({100 * (cpu[1] / cpu[0] - 1):+5.1f}%), "
              f"2 workers {cpu[2]:.3f} s ({100 * (cpu[2] / cpu[0] - 1):+5.1f}%)")
        print(f"     {per_run} chunks of about {n // max(per_run, 1):,} inputs: "
              f"{1e6 * (one_s - raw_s) / max(per_run, 1):+7.1f} us per chunk against the raw call")


def dask_cost(repeat):
    try:
        import dask
        from dask.distributed import Client, LocalCluster
    except ImportError:
        print("dask: not installed (pip install 'fpscope[dask]')")
        return
    with dask.config.set({"temporary-directory": tempfile.gettempdir()}):
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            executor = client.get_executor()
            executor.submit(int).result()
            tasks = 200
            trip_s, _ = best(repeat, lambda: [executor.submit(int, i).result() for i in range(tasks)])
            n, chunk = 2 * 10**6, 2000
            args = ("exp", 1.0, float_at("f32", 1.0, n - 1), 1e-7, "f32", LIMIT, 1, n)
            raw_s, raw = best(repeat, lambda: knife_edges_raw(*args))
            scan_s, scan = best(repeat, lambda: knife_edges(*args, chunk=chunk, executor=executor, certified=False))
            assert tuple(scan) == raw
            print(f"dask LocalCluster, 2 worker processes: {1e3 * trip_s / tasks:.2f} ms per task one at a time; "
                  f"{1e3 * (scan_s - raw_s / 2) / (n // chunk):.2f} ms per chunk of {chunk} inputs in a scan "
                  f"({n // chunk} chunks, {scan_s:.2f} s against {raw_s:.3f} s for one raw call)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3, help="runs per case; the fastest is reported")
    parser.add_argument("--no-dask", action="store_true", help="skip the LocalCluster figures")
    args = parser.parse_args()
    print(f"load average before: {' '.join(f'{x:.2f}' for x in os.getloadavg())}  ({os.cpu_count()} cores)")
    scaling(args.repeat)
    if not args.no_dask:
        dask_cost(args.repeat)
    print(f"load average after:  {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
