"""Knife-edge scans in chunks: on one core or many, interruptible with Ctrl-C, with progress.

A scan is checked once, into a :class:`ScanRequest`: the canonical operation, the format, the first
input and the stride as ordered values, the number of inputs, the tolerance, the limits, and the
strategy that scans one chunk of it: ``scan_raw`` (one ``knife_edges_raw`` call) or ``scan_certified``
(a certified scan, ``fpscope._certify.certified_walk``). For a stride s the inputs are the floats whose
ordered values are start, start + s, start + 2s, ...; chunk i covers the inputs numbered
[offset_i, offset_i + size_i), so its bounds are the floats of ordered values start + offset_i*s and
start + (offset_i + size_i - 1)*s.

Chunks may run anywhere (the calling thread, a thread pool, a process pool, a cluster) and finish
in any order; their answers are merged in range order, by chunk index. A chunk is given a hit limit
no smaller than what the merged prefix before it can still take, so when the limit is reached
inside chunk i, its first hits complete the answer, and ``evaluated`` ends at the last hit taken.
A chunk that stops on its own limit also tells that no later chunk can matter; those are cancelled.
The stopping rules of one call then carry over exactly: the merged answer is the one of a single
call, whatever the chunk sizes and the engine.
"""
from __future__ import annotations

import concurrent.futures as cf
import operator
import os
import signal
import threading
import time
from dataclasses import dataclass
from types import FrameType
from typing import Any, Callable, Iterable, Optional, SupportsFloat, SupportsIndex, Union

from fpscope._certify import LIBRARY_OPS, MAX_TOLERANCE, canonical_op, certified_walk
from fpscope._core import _knife_edges, knife_edges_raw, ordered
from fpscope import _mathlib
from fpscope._mathlib import PRIVATE_OPS, is_private_name
from fpscope._fenv import default_float_environment
from fpscope._floats import from_ordered, is_f32, to_format
from fpscope._formats import F32, F64, NAMES, Format, resolve
from fpscope._small import is_small
from fpscope._small import scan as small_scan
from fpscope._progress import ProgressArg, Reporter, make_reporter
from fpscope._results import Hit, Scan
from fpscope._results import RawHit as RawHit  # also imported from here by the sweep
from fpscope._results import RawScan as RawScan

_FloatLike = Union[SupportsFloat, SupportsIndex]

# Adaptive chunking aims at this wall time per chunk, and never hands one chunk more than MAX_CHUNK
# inputs. The cost of one input ranges from about a nanosecond (a negative square root, refused at
# once) to some 200 ns (a binary64 square root), and it can jump between one chunk and the next, as
# when a scan of [-inf, inf] reaches the positive half. The cap bounds the chunk that lands on such a
# jump to under a second, the longest a parallel scan waits for its running chunks after Ctrl-C (a
# sequential one is interrupted inside the core). It lets chunks of cheap inputs reach the target,
# so the Python around each chunk stays well under a percent of it. A remote executor (a cluster)
# costs milliseconds per task, so its chunks aim at a second and may be far larger.
TARGET_SECONDS = 0.05
FIRST_CHUNK = 1 << 12
MAX_GROWTH = 2.0
MAX_CHUNK = 1 << 22
REMOTE_TARGET_SECONDS = 1.0
REMOTE_MAX_CHUNK = 1 << 26
# How long the thread that merges waits for a chunk before it looks at Ctrl-C again.
POLL_SECONDS = 0.1


class ScanInterrupted(KeyboardInterrupt):
    """Ctrl-C arrived during :func:`knife_edges`.

    ``scan`` is the result so far: exactly what the same scan with ``max_evals`` set to
    ``scan.evaluated`` returns (``covered`` is false unless the range happened to be finished).
    ``resume_from`` is the next input that was not evaluated, as a float of the format, or
    ``None`` when nothing was pending; scanning from it to the same ``hi`` gives the rest.
    Being a ``KeyboardInterrupt``, it ends a program that does not catch it like Ctrl-C does.
    """

    def __init__(self, scan: Scan, resume_from: Optional[float]) -> None:
        super().__init__(scan, resume_from)
        self.scan = scan
        self.resume_from = resume_from

    def __str__(self) -> str:
        return f"scan interrupted after {self.scan.evaluated} evaluations with {len(self.scan.hits)} hits"


class _Sigint:
    """Turns SIGINT into a flag for the duration of a scan, and into ``KeyboardInterrupt`` as
    well when ``raise_now`` is set (chunks running in the calling thread, inside the core, which
    runs the handler while it walks).

    Only done on the main thread and only while the default handler is in place: a program with
    its own handler keeps it, and then a ``KeyboardInterrupt`` raised during the scan is caught
    and turned into :class:`ScanInterrupted` all the same.
    """

    def __init__(self, raise_now: bool = False) -> None:
        self.fired = False
        self.raise_now = raise_now
        self._previous: Any = None

    def _handler(self, signum: int, frame: Optional[FrameType]) -> None:
        self.fired = True
        if self.raise_now:
            raise KeyboardInterrupt

    def __enter__(self) -> "_Sigint":
        if threading.current_thread() is threading.main_thread():
            if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
                self._previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


# ---------------------------------------------------------------- the request

# The largest count the core takes (limit, stride, max_evals are unsigned 64-bit integers).
_MAX_COUNT = 2**64 - 1


@dataclass(frozen=True)
class ScanRequest:
    """A checked scan with at least one input, one evaluation and one hit allowed.

    ``strategy(request, offset, size, limit)`` scans inputs [offset, offset + size) with at most
    ``limit`` hits and answers as ``knife_edges_raw`` does for them: ``scan_raw`` or
    ``scan_certified``, module-level functions, so that process pools and clusters can ship a request.
    """

    op: str  # canonical name
    dtype: str  # "f32" or "f64"
    f32: bool
    tol_ulp: float
    start: int  # ordered value of the first input
    step: int
    inputs: int  # inputs of the whole range
    budget: int  # inputs the scan evaluates unless the limit stops it: min(inputs, max_evals)
    limit: int
    strategy: Callable[["ScanRequest", int, int, int], RawScan]
    y: Optional[float] = None  # the fixed second argument of an operation of two, a value of the format

    def bounds(self, offset: int, size: int) -> tuple[float, float]:
        """The floats of the first and the last input of inputs [offset, offset + size)."""
        return (from_ordered(self.start + offset * self.step, self.f32),
                from_ordered(self.start + (offset + size - 1) * self.step, self.f32))

    def input_at(self, evaluated: int) -> Optional[float]:
        """The input numbered ``evaluated``, the next one pending, or None past the range."""
        return from_ordered(self.start + evaluated * self.step, self.f32) if evaluated < self.inputs else None


def scan_raw(r: ScanRequest, offset: int, size: int, limit: int) -> RawScan:
    """The core's scan of inputs [offset, offset + size): one ``knife_edges_raw`` call."""
    lo, hi = r.bounds(offset, size)
    if r.y is not None or r.op in PRIVATE_OPS:
        return _knife_edges(r.op, lo, hi, r.tol_ulp, r.dtype, limit, r.step, size, y=r.y)
    return knife_edges_raw(r.op, lo, hi, r.tol_ulp, r.dtype, limit, r.step, size)


def scan_certified(r: ScanRequest, offset: int, size: int, limit: int) -> RawScan:
    """The certified scan of inputs [offset, offset + size) of a binary32 library operation."""
    if r.op in PRIVATE_OPS:
        return _mathlib.certified_walk(r.op, r.start + offset * r.step, r.step, size, r.tol_ulp, limit, r.y)
    return certified_walk(r.op, r.start + offset * r.step, r.step, size, r.tol_ulp, limit)


def _plain_count(n: Any) -> bool:
    """Whether the core reads ``n`` as a count without calling any of its methods or failing."""
    return type(n) is int and 0 <= n <= _MAX_COUNT


def _checked_by_core(op: Any, lo: Any, hi: Any, tol_ulp: Any, dtype: Any, limit: Any, stride: Any,
                     max_evals: Any, y: Any = None) -> bool:
    """Whether the range is empty, once the core has checked every argument with its own messages
    and in its own order, evaluating nothing.

    One call with no hits allowed does it: a ``limit`` that is a plain int in range is one the core
    reads without fail, so putting 0 in its place changes no check (nor does 0 for such a
    ``max_evals``, with no evaluations allowed). When neither count is one, two calls check them;
    the order then differs from the core's only where ``max_evals`` cannot be read and the core
    also refuses the operation or the dtype. The answer is covered only for an empty range.
    """
    def core(limit: Any, max_evals: Any) -> RawScan:
        # Names only the private entry point takes go there, and so does any y (it refuses y beside an
        # operation of one argument); the others keep the public entry point's messages.
        if y is not None or (type(op) is str and is_private_name(op)):
            return _knife_edges(op, lo, hi, tol_ulp, dtype, limit, stride, max_evals, y)
        return knife_edges_raw(op, lo, hi, tol_ulp, dtype, limit, stride, max_evals)

    if _plain_count(limit):
        return bool(core(0, max_evals)[2])
    empty = bool(core(limit, 0)[2])
    if not _plain_count(max_evals):
        core(0, max_evals)
    return empty


def scan_request(op: Any, lo: Any, hi: Any, tol_ulp: Any, dtype: Any, limit: Any, stride: Any, max_evals: Any,
                 certified: bool, y: Any = None) -> Union[ScanRequest, RawScan]:
    """The arguments of ``knife_edges_raw`` checked once, into a request; the answer itself when it
    is trivial (an empty range, no evaluation or no hit allowed).

    The errors are the core's. Certified scans of the binary32 library operations at a positive
    tolerance also refuse tolerances above ``MAX_TOLERANCE``; the other certified scans (exact
    oracles, binary64, no possible hit) are the core's own. Call it in the default float environment.
    """
    empty = _checked_by_core(op, lo, hi, tol_ulp, dtype, limit, stride, max_evals, y)
    if empty:
        return [], 0, True
    name = canonical_op(op)
    f32 = is_f32(dtype)
    tol = float(tol_ulp)
    strategy = scan_raw
    if certified and f32 and (name in LIBRARY_OPS or name in PRIVATE_OPS) and tol > 0:
        if tol > MAX_TOLERANCE:
            raise ValueError(f"certified scans take tol_ulp up to {MAX_TOLERANCE}, not {tol!r}: a larger "
                             "tolerance makes nearly every input a hit; use certified=False")
        strategy = scan_certified
    limit_n, max_n = operator.index(limit), operator.index(max_evals)
    if limit_n == 0 or max_n == 0:
        return [], 0, False
    dtype = "f32" if f32 else "f64"
    step = operator.index(stride) or 1
    start = ordered(lo, dtype)
    inputs = (ordered(hi, dtype) - start) // step + 1
    y32 = None if y is None else to_format(float(y), True)  # the core checked it and takes it as binary32
    return ScanRequest(name, dtype, f32, tol, start, step, inputs, min(inputs, max_n), limit_n, strategy, y32)


def small_format(op: Any, lo: Any, hi: Any, tol_ulp: Any, dtype: Any, limit: Any, stride: Any,
                 max_evals: Any) -> Optional[Format]:
    """The 16-bit format a scan's ``dtype`` names, once the core has checked the other arguments
    (with its messages, as for a binary32 scan); None for the core's own formats, whose scans the
    core checks. A dtype string of no format is refused with the package's message."""
    if not isinstance(dtype, str) or NAMES.get(dtype) in (F32, F64):
        return None
    _checked_by_core(op, lo, hi, tol_ulp, "f32", limit, stride, max_evals)
    fmt = resolve(dtype)  # the package's message for an unknown name
    return fmt if is_small(fmt) else None


def _small_scan(fmt: Format, op: Any, lo: Any, hi: Any, tol_ulp: Any, limit: Any, stride: Any, max_evals: Any,
                progress: ProgressArg, desc: str) -> Scan:
    """A scan of a 16-bit format: every input it may evaluate is judged in one certified pass
    (well under a second for the whole range), so it runs inline whatever the executor; the
    answer is the one the stopping rules give, as for any other scan."""
    step = operator.index(stride) or 1
    hits, evaluated, covered = small_scan(fmt, canonical_op(op), float(lo), float(hi), float(tol_ulp),
                                          operator.index(limit), step, operator.index(max_evals))
    reporter = make_reporter(progress, evaluated, desc)
    reporter.update(evaluated)
    reporter.close()
    return Scan([Hit(*h) for h in hits], evaluated, covered)


# The names the sweep imports.
ScanRange = ScanRequest
validate = scan_request


# ---------------------------------------------------------------- running chunks

def _timed_chunk(r: ScanRequest, offset: int, size: int, limit: int) -> tuple[RawScan, float]:
    """One chunk with the seconds it took where it ran, queueing and transport left out."""
    began = time.perf_counter()
    answer = r.strategy(r, offset, size, limit)
    return answer, time.perf_counter() - began


@default_float_environment
def _worker_chunk(r: ScanRequest, offset: int, size: int, limit: int) -> tuple[RawScan, float]:
    """``_timed_chunk`` on a worker thread or process, whose float environment is not the caller's."""
    return _timed_chunk(r, offset, size, limit)


# ---------------------------------------------------------------- merging

@dataclass(frozen=True)
class Merged:
    """The scan of the chunks merged so far, replaced whole at each step so that an interrupt
    landing anywhere leaves a consistent one. ``parts`` is shared and only appended to; the first
    ``count`` of them belong to this state."""

    parts: list[list[Hit]]
    count: int
    hits: int
    evaluated: int
    finished: bool
    covered: bool

    def scan(self) -> Scan:
        return Scan([hit for part in self.parts[:self.count] for hit in part], self.evaluated, self.covered)


def merge(state: Merged, r: ScanRequest, offset: int, size: int, answer: RawScan) -> Merged:
    """The state after the chunk of inputs [offset, offset + size), whose answer is ``answer``."""
    found, done, _ = answer
    need = r.limit - state.hits
    if len(found) >= need:
        taken = [Hit(*h) for h in found[:need]]
        evaluated = offset + (ordered(taken[-1].x, r.dtype) - (r.start + offset * r.step)) // r.step + 1
        state.parts[state.count:] = [taken]
        return Merged(state.parts, state.count + 1, r.limit, evaluated, True, evaluated == r.inputs)
    if done != size:
        raise RuntimeError(f"scan chunk evaluated {done} of {size} inputs with {len(found)} hits")
    state.parts[state.count:] = [[Hit(*h) for h in found]]
    evaluated = offset + size
    return Merged(state.parts, state.count + 1, state.hits + len(found), evaluated, evaluated == r.budget,
                  evaluated == r.inputs)


def start_state() -> Merged:
    return Merged([], 0, 0, 0, False, False)


# ---------------------------------------------------------------- chunk plans

class Plan:
    """Hands out chunks (index, offset, size) in range order and learns from their timings."""

    def next(self) -> Optional[tuple[int, int, int]]:
        raise NotImplementedError

    def observe(self, size: int, done: int, seconds: float) -> None:
        pass


class FixedPlan(Plan):
    """Chunks of ``size`` inputs at multiples of ``size``, skipping the indices in ``skip``."""

    def __init__(self, budget: int, size: int, skip: Iterable[int] = ()) -> None:
        self.budget, self.size, self.skip, self.index = budget, size, set(skip), 0

    def next(self) -> Optional[tuple[int, int, int]]:
        while self.index * self.size < self.budget:
            i = self.index
            self.index += 1
            if i not in self.skip:
                offset = i * self.size
                return i, offset, min(self.size, self.budget - offset)
        return None

    def chunk(self, i: int) -> tuple[int, int]:
        offset = i * self.size
        return offset, min(self.size, self.budget - offset)


class TimedPlan(Plan):
    """Chunks sized from the cost per input seen so far, towards ``target`` seconds each."""

    def __init__(self, budget: int, target: float, cap: int) -> None:
        self.budget, self.target, self.cap = budget, target, cap
        self.offset = self.index = 0
        self.size = min(FIRST_CHUNK, cap)

    def next(self) -> Optional[tuple[int, int, int]]:
        if self.offset >= self.budget:
            return None
        size = min(self.size, self.budget - self.offset)
        chunk = (self.index, self.offset, size)
        self.index += 1
        self.offset += size
        return chunk

    def observe(self, size: int, done: int, seconds: float) -> None:
        if done < size or size < self.size / MAX_GROWTH:
            return  # stopped on the hit limit, or a short last chunk: its time says little
        factor = MAX_GROWTH if seconds <= 0 else min(self.target / seconds, MAX_GROWTH)
        self.size = max(1, min(int(size * factor), self.cap))


# ---------------------------------------------------------------- executors

class InlineExecutor(cf.Executor):
    """Runs each chunk at once in the calling thread: the sequential scan."""

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> "cf.Future[Any]":
        future: cf.Future[Any] = cf.Future()
        try:
            result = fn(*args, **kwargs)
        except Exception as e:
            future.set_exception(e)
        else:
            future.set_result(result)
        return future


def _all_cores() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def worker_count(workers: Any) -> int:
    """``workers`` as a thread count: N >= 1, or -1 for all cores."""
    n = operator.index(workers)
    if n == -1:
        return _all_cores()
    if n < 1:
        raise ValueError(f"workers must be at least 1, or -1 for all cores, not {n}")
    return n


def is_remote(executor: cf.Executor) -> bool:
    return not isinstance(executor, (InlineExecutor, cf.ThreadPoolExecutor, cf.ProcessPoolExecutor))


def parallelism(executor: cf.Executor) -> int:
    """How many chunks the executor runs at once, as far as it tells."""
    if isinstance(executor, InlineExecutor):
        return 1
    n = getattr(executor, "_max_workers", None)
    if isinstance(n, int) and n > 0:
        return n
    client = getattr(executor, "_client", None)  # a dask client's executor
    if client is not None:
        try:
            return max(1, int(sum(client.nthreads().values())))
        except Exception:
            pass
    return _all_cores()


# ---------------------------------------------------------------- the engine

def run_chunks(r: ScanRequest, executor: cf.Executor, plan: Plan, reporter: Reporter, *,
               done: Optional[dict[int, RawScan]] = None, fixed_limit: bool = False,
               on_chunk: Optional[Callable[[int, int, int, RawScan], None]] = None) -> Scan:
    """Runs the chunks of ``plan`` on ``executor`` and merges them in range order.

    ``done`` holds answers known already (a resumed sweep), keyed by chunk index; ``plan`` must be
    a FixedPlan then. ``fixed_limit`` gives every chunk the scan's whole limit, so that its answer
    does not depend on the others (a sweep records it); otherwise a chunk gets what the merged prefix
    can still take. ``on_chunk(index, offset, size, answer)`` is called in the calling thread for
    each answer computed. Raises :class:`ScanInterrupted` on Ctrl-C, with the merged prefix.

    Called in the default float environment, in which the chunks of an InlineExecutor run; a
    chunk elsewhere enters it itself.
    """
    known: dict[int, tuple[int, int, RawScan]] = {}
    if done:
        assert isinstance(plan, FixedPlan)
        known = {i: (*plan.chunk(i), answer) for i, answer in done.items()}
    state = start_state()
    inline = isinstance(executor, InlineExecutor)
    window = 1 if inline else 2 * parallelism(executor)
    # Chunks in the calling thread run in its float environment, the default one (see above).
    run = _timed_chunk if inline else _worker_chunk
    running: dict[cf.Future[Any], tuple[int, int, int]] = {}
    horizon: Optional[int] = None  # no chunk past this index can matter
    exhausted = False
    interrupted = False

    def drain() -> Merged:
        """Merges the known chunks that continue the prefix."""
        s = state
        while not s.finished and s.count in known:
            offset, size, answer = known.pop(s.count)
            s = merge(s, r, offset, size, answer)
        return s

    def update_horizon() -> None:
        nonlocal horizon
        hits = state.hits
        for i in sorted(known):
            hits += len(known[i][2][0])
            if hits >= r.limit:
                horizon = i if horizon is None else min(horizon, i)
                break
        if horizon is not None:
            for future, (i, _, _) in list(running.items()):
                if i > horizon and future.cancel():
                    del running[future]

    # Chunks in the calling thread are cut short by Ctrl-C: the merged state is replaced whole, so
    # the interrupt leaves it consistent wherever it lands. A thread waiting on other threads or
    # processes only notes it and stops at its next look.
    with _Sigint(raise_now=isinstance(executor, InlineExecutor)) as sigint:
        try:
            state = drain()
            update_horizon()
            if state.evaluated:
                reporter.update(state.evaluated)
            while not state.finished:
                while not exhausted and len(running) < window:
                    chunk = plan.next()
                    if chunk is None or (horizon is not None and chunk[0] > horizon):
                        exhausted = True
                        break
                    i, offset, size = chunk
                    limit = r.limit if fixed_limit else r.limit - state.hits
                    running[executor.submit(run, r, offset, size, limit)] = chunk
                if not running:
                    raise RuntimeError("scan chunks ran out before the range was merged")
                finished, _ = cf.wait(list(running), timeout=POLL_SECONDS, return_when=cf.FIRST_COMPLETED)
                for future in finished:
                    i, offset, size = running.pop(future)
                    if future.cancelled():
                        continue
                    error = future.exception()
                    if isinstance(error, KeyboardInterrupt) or (error is not None and sigint.fired):
                        # A worker process saw the Ctrl-C too, or a cluster's workers went down with it.
                        interrupted = True
                        continue
                    if error is not None:
                        raise error
                    answer, seconds = future.result()
                    plan.observe(size, answer[1], seconds)
                    if on_chunk is not None:
                        on_chunk(i, offset, size, answer)
                    known[i] = (offset, size, answer)
                before = state.evaluated
                state = drain()
                update_horizon()
                if state.evaluated != before:
                    reporter.update(state.evaluated)
                if interrupted or sigint.fired:
                    interrupted = True
                    break
        except KeyboardInterrupt:
            interrupted = True
        finally:
            for future in running:
                future.cancel()
            reporter.close()
    scan = state.scan()
    if interrupted or sigint.fired:
        raise ScanInterrupted(scan, None if scan.covered else r.input_at(scan.evaluated))
    return scan


def make_executor(workers: Any, executor: Optional[cf.Executor]) -> tuple[cf.Executor, bool]:
    """The executor to run chunks on, and whether the scan owns it (and shuts it down)."""
    if workers is not None and executor is not None:
        raise ValueError("pass workers or executor, not both")
    if executor is not None:
        if not isinstance(executor, cf.Executor):
            raise TypeError(f"executor must be a concurrent.futures.Executor, not {type(executor).__name__}")
        return executor, False
    if workers is None:
        return InlineExecutor(), False
    return cf.ThreadPoolExecutor(worker_count(workers), thread_name_prefix="fpscope-scan"), True


def timed_plan(r: ScanRequest, executor: cf.Executor, chunk: Optional[int]) -> Plan:
    if chunk is not None:
        return FixedPlan(r.budget, chunk)
    if is_remote(executor):
        return TimedPlan(r.budget, REMOTE_TARGET_SECONDS, REMOTE_MAX_CHUNK)
    return TimedPlan(r.budget, TARGET_SECONDS, MAX_CHUNK)


def check_chunk(chunk: Optional[int]) -> Optional[int]:
    if chunk is None:
        return None
    chunk = operator.index(chunk)
    if chunk < 1:
        raise ValueError(f"chunk must be at least 1, not {chunk}")
    return chunk


def run_request(r: Union[ScanRequest, RawScan], executor: cf.Executor, chunk: Optional[int],
                progress: ProgressArg, desc: str) -> Scan:
    """The scan of a checked request (or its trivial answer) on ``executor``, as :func:`knife_edges`
    makes it; in the default float environment."""
    if not isinstance(r, ScanRequest):
        make_reporter(progress, 0, desc).close()  # nothing is evaluated
        return Scan([Hit(*h) for h in r[0]], r[1], r[2])
    return run_chunks(r, executor, timed_plan(r, executor, chunk), make_reporter(progress, r.budget, desc))


@default_float_environment
def certified_scan(op: Any, lo: Any, hi: Any, tol_ulp: Any = 1e-3, dtype: Any = "f32", limit: Any = 100,
                   stride: Any = 1, max_evals: Any = 100_000_000) -> RawScan:
    """``knife_edges_raw`` over the exact results, in one chunk: the same arguments, errors and
    stopping rules, with hits and ``limit`` counting certified hits (tolerances above
    ``MAX_TOLERANCE`` are refused for the library operations)."""
    r = scan_request(op, lo, hi, tol_ulp, dtype, limit, stride, max_evals, True)
    if not isinstance(r, ScanRequest):
        return r
    hits, evaluated, _ = r.strategy(r, 0, r.budget, r.limit)
    return hits, evaluated, evaluated == r.inputs


@default_float_environment
def knife_edges(op: str, lo: _FloatLike, hi: _FloatLike, tol_ulp: _FloatLike = 1e-3, dtype: str = "f32",
                limit: SupportsIndex = 100, stride: SupportsIndex = 1, max_evals: SupportsIndex = 100_000_000,
                *, y: Optional[_FloatLike] = None, chunk: Optional[int] = None, progress: ProgressArg = False,
                desc: str = "", workers: Optional[int] = None, executor: Optional[cf.Executor] = None,
                certified: bool = True) -> Scan:
    """Inputs in [lo, hi] whose exact ``op`` result lies within ``tol_ulp`` of a rounding midpoint.

    The arguments, the result (as a :class:`Scan` of :class:`Hit`), the errors and the stopping
    rules (``limit`` hits, ``max_evals`` inputs) are those of ``knife_edges_raw``; the operations of
    C's <math.h> and numpy beyond its catalogue (``cbrt``, ``erf``, ``sinpi``, ...) are taken as well.
    ``y``: the second argument of ``hypot``, ``atan2`` or ``pow``, fixed while the first walks over
    ``[lo, hi]`` (``atan2(x, y)``, ``pow(x, y)``). With
    ``certified=True`` (the default) distances are certified (``fpscope._certify.certified_walk``);
    with ``certified=False`` the answer is exactly that of one ``knife_edges_raw`` call. It is the
    same for every ``chunk``, ``workers`` and ``executor``.

    ``chunk``: the most inputs of one chunk. ``None`` (the default) sizes chunks by time, about
    50 ms each (a second on a cluster, where a task costs milliseconds).

    ``workers``: run chunks on that many threads (``-1``: one per core); the core releases the
    interpreter lock while it walks, so they run in parallel. ``executor``: any
    ``concurrent.futures.Executor`` (a thread or process pool, a dask client's
    ``get_executor()``), used but not shut down. Not both. Chunks finish in any order and are merged
    in range order; once ``limit`` is reached, the chunks that can no longer matter are cancelled.

    ``progress``: ``True`` draws a bar on stderr (tqdm when installed); a callable is called as
    ``progress(evaluated, total)`` at the start and as the merged prefix grows, ``total`` being
    the number of inputs the scan evaluates if no ``limit`` stops it. ``desc`` labels the bar.

    Ctrl-C (SIGINT) raises :class:`ScanInterrupted` (a ``KeyboardInterrupt``) carrying the merged
    prefix, which is exactly the scan with ``max_evals`` set to its ``evaluated``, and the input to
    resume from. The core looks for pending signals about every 50 ms of its walk, so even one long
    ``knife_edges_raw`` call answers Ctrl-C quickly, raising whatever the signal handler raises.
    """
    chunk = check_chunk(chunk)
    small = small_format(op, lo, hi, tol_ulp, dtype, limit, stride, max_evals)
    pool, owned = make_executor(workers, executor)
    try:
        if small is not None:
            return _small_scan(small, op, lo, hi, tol_ulp, limit, stride, max_evals, progress, desc)
        r = scan_request(op, lo, hi, tol_ulp, dtype, limit, stride, max_evals, bool(certified), y)
        return run_request(r, pool, chunk, progress, desc)
    finally:
        if owned:
            pool.shutdown(wait=True, cancel_futures=True)
