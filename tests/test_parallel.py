"""Scans on threads and process pools: the sequential answer for every engine, chunk size and budget;
the core lets other threads run while it walks; Ctrl-C stops a parallel scan with the merged prefix and
interrupts even one long core call."""
import collections
import concurrent.futures as cf
import math
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from hypothesis import HealthCheck, example, given, settings, strategies as st

import fpscope
from fpscope import _certify, _core, _fenv, _floats, _scan
from fpscope._floats import from_ordered
from fpscope._scan import ScanInterrupted, knife_edges

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INF = math.inf


@pytest.fixture(scope="module")
def process_pool():
    with cf.ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
        yield pool


@st.composite
def scans(draw):
    """Small scans (at most a few thousand inputs) with limits and budgets that end anywhere."""
    dtype = draw(st.sampled_from(["f32", "f32", "f64"]))
    op = draw(st.sampled_from(_core.UNARY_OPS)) if dtype == "f32" else "sqrt"
    f32 = dtype == "f32"
    lo = draw(st.sampled_from([-2.0, -1e-40, 0.0, 0.3, 1.0, 7.5, 3e38]))
    lo = from_ordered(_core.ordered(lo, dtype) + draw(st.integers(-50, 50)), f32)
    hi = from_ordered(_core.ordered(lo, dtype) + draw(st.integers(-2, 3000)), f32)
    if draw(st.booleans()):
        hi = draw(st.sampled_from([hi, INF, math.nan]))
    stride = draw(st.sampled_from([0, 1, 1, 2, 3, 7, 1 << 40]))
    limit = draw(st.sampled_from([0, 1, 2, 3, 10, 100]))
    max_evals = draw(st.sampled_from([0, 1, 5, 100, 2999, 3000, 10**8]))
    tol = draw(st.sampled_from([1e-3, 0.01, 0.1, 0.5]))
    return op, lo, hi, tol, dtype, limit, stride, max_evals


ENGINES = st.one_of(st.tuples(st.just("threads"), st.integers(1, 4)), st.just(("processes", 2)))
MOST_CHUNKS = 400


@st.composite
def chunks(draw, args):
    """A chunk size, or None, that cuts the scan into at most MOST_CHUNKS chunks: a range that runs to
    infinity with a budget of 10^8 inputs and no hits would otherwise be 10^8 tasks of one input."""
    chunk = draw(st.one_of(st.none(), st.integers(1, 700)))
    _, lo, hi, _, dtype, _, stride, max_evals = args
    if chunk is None or math.isnan(hi) or hi < lo:
        return chunk
    inputs = (_core.ordered(hi, dtype) - _core.ordered(lo, dtype)) // max(stride, 1) + 1
    return max(chunk, -(-min(inputs, max_evals) // MOST_CHUNKS))


@st.composite
def scans_and_chunks(draw):
    args = draw(scans())
    return args, draw(chunks(args))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(args_chunk=scans_and_chunks(), engine=ENGINES, certified=st.booleans())
@example(args_chunk=(("sqrt", 4.0, 4.000000953674316, 0.6, "f32", 1, 1, 10**8), 1), engine=("threads", 2), certified=False)
@example(args_chunk=(("sqrt", 4.0, 4.000000476837158, 0.6, "f32", 1, 1, 10**8), 1), engine=("threads", 3), certified=False)
@example(args_chunk=(("sqrt", -INF, INF, 0.3, "f32", 5, 1 << 31, 10), 1), engine=("processes", 2), certified=True)
@example(args_chunk=(("sqrt", -2.0, INF, 1e-3, "f32", 100, 1, 10**8), 250_000), engine=("processes", 2), certified=False)
def test_parallel_scan_equals_the_sequential_one(args_chunk, engine, certified, process_pool):
    args, chunk = args_chunk
    kind, n = engine
    engine_args = {"workers": n} if kind == "threads" else {"executor": process_pool}
    one_call = _scan.certified_scan if certified else _core.knife_edges_raw
    try:
        expected = one_call(*args)
    except ValueError as refusal:
        with pytest.raises(ValueError) as info:
            knife_edges(*args, chunk=chunk, certified=certified, **engine_args)
        assert str(info.value) == str(refusal)
        return
    got = knife_edges(*args, chunk=chunk, certified=certified, **engine_args)
    assert (got.hits, got.evaluated, got.covered) == tuple(expected)
    assert [repr(h) for h in got.hits] == [repr(fpscope.Hit(*h)) for h in expected[0]]


def test_a_parallel_certified_scan_checks_its_arguments_once(monkeypatch):
    """Each chunk is one core call (no hit limit is reached) and enters the float environment guard
    once on its worker; the call itself checks its arguments with one core call, under one guard."""
    calls = collections.Counter()

    def count(module, name, key):
        original = getattr(module, name)
        monkeypatch.setattr(module, name, lambda *a, **k: calls.update([key]) or original(*a, **k))

    count(_scan, "knife_edges_raw", "core scan")
    count(_certify, "knife_edges_raw", "core scan")
    count(_fenv, "_with_default_float_environment", "guard")
    count(_scan, "_timed_chunk", "chunk")
    count(_floats, "ordered", "dtype probe")
    scan = knife_edges("exp", 1.0, 2.0, 1e-6, "f32", workers=2, chunk=1 << 18)
    assert calls["chunk"] == 33 and scan.covered and 0 < len(scan.hits) < 100
    assert calls["core scan"] == calls["guard"] == calls["chunk"] + 1
    assert calls["dtype probe"] <= 1
    assert scan == _scan.certified_scan("exp", 1.0, 2.0, 1e-6)


def test_limit_reached_cancels_the_chunks_that_cannot_matter(monkeypatch):
    """Chunk 1 alone holds the limit while chunk 0 is still running: no chunk past 1 may start."""
    calls = []
    original = _scan.knife_edges_raw

    def slow_first(*a):
        calls.append(a[1])
        if a[1] == 1.0 and a[7] == 1000:  # chunk 0, not the checks of the arguments
            time.sleep(0.5)
        return original(*a)

    monkeypatch.setattr(_scan, "knife_edges_raw", slow_first)
    args = ("exp", 1.0, 2.0, 0.5, "f32", 5)  # every input a hit
    scan = knife_edges(*args, chunk=1000, workers=2, certified=False)
    assert scan == original(*args)
    assert len(calls) <= 2 * 2 + 3  # the first window of chunks and the checks of the arguments


def test_bad_engines_are_refused():
    with pytest.raises(ValueError, match="not both"):
        knife_edges("sqrt", 1.0, 2.0, workers=2, executor=cf.ThreadPoolExecutor(1))
    for workers in (0, -2):
        with pytest.raises(ValueError, match="workers"):
            knife_edges("sqrt", 1.0, 2.0, workers=workers)
    with pytest.raises(TypeError, match="Executor"):
        knife_edges("sqrt", 1.0, 2.0, executor=object())


def test_a_chunk_failure_propagates_and_the_executor_stays_open(monkeypatch):
    def failing(*a):
        if a[1] > 1.5:
            raise MemoryError
        return _core.knife_edges_raw(*a)

    monkeypatch.setattr(_scan, "knife_edges_raw", failing)
    with cf.ThreadPoolExecutor(2) as pool:
        with pytest.raises(MemoryError):
            knife_edges("sqrt", 1.0, 2.0, 1e-3, limit=10**6, chunk=10000, executor=pool, certified=False)
        assert pool.submit(int, "7").result() == 7


def test_progress_reports_the_merged_prefix():
    seen = []
    args = ("exp", 1.0, 1.01, 1e-3, "f32", 10**6)
    scan = knife_edges(*args, chunk=1000, workers=3, certified=False, progress=lambda *a: seen.append(a))
    total = scan.evaluated
    assert seen[0] == (0, total) and seen[-1] == (total, total)
    assert all(n % 1000 == 0 or n == total for n, _ in seen) and [n for n, _ in seen] == sorted(n for n, _ in seen)


def test_the_core_releases_the_interpreter_lock_while_it_walks():
    ticks = []
    stop = threading.Event()

    def spin():
        while not stop.is_set():
            ticks.append(time.perf_counter())

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        time.sleep(0.05)
        evals = 10**6
        while True:  # a call long enough to see: the pre-filter makes most inputs nearly free
            began = time.perf_counter()
            _core.knife_edges_raw("sqrt", 1.0, 1e300, 0.3, "f64", 10**6, 1, evals)
            ended = time.perf_counter()
            if ended - began > 0.2 or evals > 10**11:
                break
            evals *= 4
    finally:
        stop.set()
        spinner.join()
    inside = [t for t in ticks if began + 0.2 * (ended - began) < t < ended - 0.2 * (ended - began)]
    assert ended - began > 0.2 and len(inside) > 1000


# ---------------------------------------------------------------- Ctrl-C in a subprocess

def _child(code):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], cwd=ROOT, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def _interrupt_after_start(child, delay):
    assert child.stdout.readline().strip() == "started"
    time.sleep(delay)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    return out, err, time.monotonic() - sent


@pytest.mark.parametrize("engine", ["workers=2", "executor=pool", "workers=None"])
def test_ctrl_c_gives_the_sequential_scan_cut_at_its_evaluated(engine):
    child = _child(f"""
        import concurrent.futures as cf, sys
        from fpscope import _core, knife_edges, ScanInterrupted
        # About 1.3e9 inputs: seconds even on two idle cores, so the interrupt lands mid-scan.
        args = ("exp", -1e-30, 80.0, 1e-4, "f32", 10**7)
        if __name__ == "__main__":
            pool = cf.ProcessPoolExecutor(2)
            pool.submit(int).result()
            started = []
            def progress(n, total):
                if n and not started:
                    started.append(print("started", flush=True))
            try:
                knife_edges(*args, max_evals=2**33, progress=progress, certified=False, {engine})
            except ScanInterrupted as stop:
                partial = stop.scan
                assert not partial.covered and partial.evaluated > 0
                assert tuple(partial) == _core.knife_edges_raw(*args, max_evals=partial.evaluated)
                assert stop.resume_from == _core.all_floats(-1e-30, 80.0, "f32", 10**9)[partial.evaluated] \
                    if partial.evaluated < 10**6 else True
                print("equal", partial.evaluated, len(partial.hits))
            pool.shutdown()
    """)
    out, err, _ = _interrupt_after_start(child, 0.3)
    assert child.returncode == 0, err
    assert out.startswith("equal")


@pytest.mark.parametrize("handler, raised", [
    ("", "KeyboardInterrupt"),
    ("signal.signal(signal.SIGINT, lambda *a: (_ for _ in ()).throw(RuntimeError('handled')))", "RuntimeError: handled"),
])
def test_one_long_core_call_answers_ctrl_c_promptly(handler, raised):
    child = _child(f"""
        import signal
        from fpscope import _core
        {handler}
        print("started", flush=True)
        _core.knife_edges_raw("sqrt", 0.0, 1e300, 0.0, "f64", 10, 1, 10**12)
        print("finished")
    """)
    out, err, waited = _interrupt_after_start(child, 0.3)
    assert child.returncode != 0 and "finished" not in out
    assert err.strip().splitlines()[-1].startswith(raised)
    assert waited < 10  # the whole call would take hours
