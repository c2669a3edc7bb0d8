"""Knife-edge scans in chunks: interruptible with Ctrl-C, with progress, same answer as one core call.

The core scan holds the interpreter for its whole run, so a long scan cannot be interrupted and
shows nothing while it works. ``knife_edges`` cuts the walk into core calls of at most ``chunk``
evaluations. Each call starts at the next input that the previous one left pending: for a stride
s the inputs are the floats whose ordered values are start, start + s, start + 2s, ..., so after e
evaluations the pending input has the ordered value start + e*s. Hits and evaluations add up, and
``limit`` and ``max_evals`` are charged across chunks; a chunk that reports its range covered has
seen the last input of the whole range. The stopping rules of the core then carry over exactly:
a scan stops uncovered only when an input is still pending and a budget is spent.
"""
from __future__ import annotations

import operator
import signal
import threading
import time
from types import FrameType
from typing import Any, Optional, SupportsFloat, SupportsIndex, Union

from fpscope._core import knife_edges_raw, ordered
from fpscope._fenv import default_float_environment
from fpscope._floats import from_ordered, is_f32
from fpscope._progress import ProgressArg, make_reporter
from fpscope._results import Hit, Scan

_FloatLike = Union[SupportsFloat, SupportsIndex]

# Adaptive chunking aims at this wall time per core call, and never hands one call more than
# MAX_CHUNK inputs. The cost of one input ranges from about a nanosecond (a negative square root,
# refused at once) to some 200 ns (a binary64 square root), and it can jump between one chunk and
# the next, as when a scan of [-inf, inf] reaches the positive half. The cap bounds the chunk that
# lands on such a jump to a fraction of a second, so Ctrl-C is answered within one; the few
# microseconds of Python around each call stay below one percent even for the cheapest inputs.
TARGET_SECONDS = 0.05
FIRST_CHUNK = 1 << 12
MAX_GROWTH = 2.0
MAX_CHUNK = 1 << 20


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
    """Turns SIGINT into a flag for the duration of a scan.

    Only done on the main thread and only while the default handler is in place: a program with
    its own handler keeps it, and then a ``KeyboardInterrupt`` raised between chunks is caught
    and turned into :class:`ScanInterrupted` all the same.
    """

    def __init__(self) -> None:
        self.fired = False
        self._previous: Any = None

    def _handler(self, signum: int, frame: Optional[FrameType]) -> None:
        self.fired = True

    def __enter__(self) -> "_Sigint":
        if threading.current_thread() is threading.main_thread():
            if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
                self._previous = signal.signal(signal.SIGINT, self._handler)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._previous is not None:
            signal.signal(signal.SIGINT, self._previous)


@default_float_environment
def knife_edges(op: str, lo: _FloatLike, hi: _FloatLike, tol_ulp: _FloatLike = 1e-3, dtype: str = "f32",
                limit: SupportsIndex = 100, stride: SupportsIndex = 1, max_evals: SupportsIndex = 100_000_000,
                *, chunk: Optional[int] = None, progress: ProgressArg = False, desc: str = "") -> Scan:
    """Inputs in [lo, hi] whose exact ``op`` result lies within ``tol_ulp`` of a rounding midpoint.

    The arguments and the result are those of ``knife_edges_raw`` (as a :class:`Scan` of
    :class:`Hit`), and so are the errors; the answer is identical for every ``chunk``.

    ``chunk``: the most inputs evaluated by one core call. ``None`` (the default) sizes chunks
    by time, about 50 ms each, so Ctrl-C is answered quickly whatever the operation costs.

    ``progress``: ``True`` draws a bar on stderr (tqdm when installed); a callable is called as
    ``progress(evaluated, total)`` at the start and after every chunk, ``total`` being the
    number of inputs the scan evaluates if no ``limit`` stops it. ``desc`` labels the bar.

    Ctrl-C (SIGINT) is honoured between chunks: the scan stops and raises
    :class:`ScanInterrupted` (a ``KeyboardInterrupt``) carrying the partial :class:`Scan` and
    the input to resume from.
    """
    if chunk is not None:
        chunk = operator.index(chunk)
        if chunk < 1:
            raise ValueError(f"chunk must be at least 1, not {chunk}")
    # Let the core check every argument, in its own order and with its own messages, without
    # evaluating anything: first with no evaluations allowed (which checks all but max_evals),
    # then with no hits allowed (which checks max_evals). The first call also tells an empty
    # range (covered with nothing evaluated) from a non-empty one.
    empty = knife_edges_raw(op, lo, hi, tol_ulp, dtype, limit, stride, 0)[2]
    knife_edges_raw(op, lo, hi, tol_ulp, dtype, 0, stride, max_evals)
    if empty:
        reporter = make_reporter(progress, 0, desc)
        reporter.close()
        return Scan([], 0, True)

    f32 = is_f32(dtype)
    limit_n = operator.index(limit)
    max_n = operator.index(max_evals)
    step = operator.index(stride) or 1
    start = ordered(lo, dtype)
    end = ordered(hi, dtype)
    total = min((end - start) // step + 1, max_n)

    # Each core call's answer is kept whole in `parts`, appended in one step, so that a
    # KeyboardInterrupt landing anywhere in the loop leaves a consistent record to report.
    parts: list[tuple[list[Hit], int, bool]] = []
    n_hits = 0
    evaluated = 0
    size = chunk if chunk is not None else FIRST_CHUNK
    reporter = make_reporter(progress, total, desc)
    interrupted = False
    with _Sigint() as sigint:
        try:
            while True:
                n = min(size, max_n - evaluated)
                began = time.monotonic()
                found, done, finished = knife_edges_raw(
                    op, lo if evaluated == 0 else from_ordered(start + evaluated * step, f32), hi,
                    tol_ulp, dtype, limit_n - n_hits, stride, n)
                elapsed = time.monotonic() - began
                parts.append(([Hit(*h) for h in found], done, finished))
                n_hits += len(found)
                evaluated += done
                reporter.update(evaluated)
                # Not covered means an input is still pending: stop if a budget is spent.
                if finished or n_hits >= limit_n or evaluated >= max_n:
                    break
                if sigint.fired:
                    interrupted = True
                    break
                if chunk is None:
                    size = _next_size(n, done, elapsed)
        except KeyboardInterrupt:
            interrupted = True
        finally:
            reporter.close()
    hits = [hit for part in parts for hit in part[0]]
    evaluated = sum(part[1] for part in parts)
    covered = bool(parts) and parts[-1][2]
    scan = Scan(hits, evaluated, covered)
    if interrupted or sigint.fired:
        raise ScanInterrupted(scan, None if covered else from_ordered(start + evaluated * step, f32))
    return scan


def _next_size(size: int, done: int, elapsed: float) -> int:
    """The next chunk size, scaled from the last chunk's time towards TARGET_SECONDS."""
    if done < size:
        return size  # the chunk ended early, on the hit limit: its time says little
    if elapsed <= 0:
        return min(int(size * MAX_GROWTH), MAX_CHUNK)
    factor = min(TARGET_SECONDS / elapsed, MAX_GROWTH)
    return max(1, min(int(size * factor), MAX_CHUNK))
