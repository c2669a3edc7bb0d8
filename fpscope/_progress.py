"""Progress display for long scans: tqdm when it is installed, else a one-line bar on stderr."""
from __future__ import annotations

import importlib
import sys
import time
from typing import IO, Any, Callable, Optional, Union

ProgressCallback = Callable[[int, int], object]
ProgressArg = Union[bool, ProgressCallback, None]


class Reporter:
    """Receives the running count of evaluated inputs; ``close`` is called once at the end."""

    def update(self, evaluated: int) -> None:
        pass

    def close(self) -> None:
        pass


class _CallbackReporter(Reporter):
    def __init__(self, callback: ProgressCallback, total: int) -> None:
        self._callback = callback
        self._total = total
        callback(0, total)

    def update(self, evaluated: int) -> None:
        self._callback(evaluated, self._total)


class _TqdmReporter(Reporter):
    def __init__(self, tqdm_class: Any, total: int, desc: str) -> None:
        self._bar = tqdm_class(total=total, desc=desc or None, unit="eval", unit_scale=True,
                               file=sys.stderr, dynamic_ncols=True, leave=True)
        self._shown = 0

    def update(self, evaluated: int) -> None:
        self._bar.update(evaluated - self._shown)
        self._shown = evaluated

    def close(self) -> None:
        self._bar.close()


def _si(n: float) -> str:
    for unit in ("", "k", "M", "G", "T"):
        if abs(n) < 1000 or unit == "T":
            return f"{n:.0f}{unit}" if unit == "" else f"{n:.3g}{unit}"
        n /= 1000
    raise AssertionError("unreachable")


def _clock(seconds: float) -> str:
    s = int(seconds)
    return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}" if s >= 3600 else f"{s // 60:02d}:{s % 60:02d}"


class TextBar(Reporter):
    """A bar redrawn in place with a carriage return, at most ten times a second.

    ``[#########.........]  45.0%  1.93G/4.28G evals  12.5M/s  0:02:55 left``
    """

    WIDTH = 24

    def __init__(self, total: int, desc: str = "", stream: Optional[IO[str]] = None,
                 interval: float = 0.1) -> None:
        self._total = total
        self._desc = desc
        self._stream = stream if stream is not None else sys.stderr
        self._interval = interval
        self._start = time.monotonic()
        self._last_draw = -interval
        self._evaluated = 0
        self._width = 0
        self._draw(force=True)

    def _line(self) -> str:
        done = self._evaluated
        total = self._total
        frac = 1.0 if total == 0 else min(done / total, 1.0)
        filled = int(frac * self.WIDTH)
        elapsed = time.monotonic() - self._start
        rate = done / elapsed if elapsed > 0 else 0.0
        parts = [f"[{'#' * filled}{'.' * (self.WIDTH - filled)}]", f"{100 * frac:5.1f}%",
                 f"{_si(done)}/{_si(total)} evals"]
        if rate > 0:
            parts.append(f"{_si(rate)}/s")
            if done < total:
                parts.append(f"{_clock((total - done) / rate)} left")
        else:
            parts.append(_clock(elapsed))
        if self._desc:
            parts.insert(0, self._desc)
        return "  ".join(parts)

    def _draw(self, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self._last_draw < self._interval:
            return
        self._last_draw = now
        line = self._line()
        pad = max(self._width - len(line), 0)
        self._width = len(line)
        self._stream.write("\r" + line + " " * pad)
        self._stream.flush()

    def update(self, evaluated: int) -> None:
        self._evaluated = evaluated
        self._draw()

    def close(self) -> None:
        self._draw(force=True)
        self._stream.write("\n")
        self._stream.flush()


def make_reporter(progress: ProgressArg, total: int, desc: str = "") -> Reporter:
    """Turn the ``progress`` argument of a scan into a reporter.

    ``False``/``None``: nothing. ``True``: a tqdm bar on stderr when tqdm can be imported, else
    :class:`TextBar`. A callable: called as ``callback(evaluated, total)`` at the start and after
    every chunk.
    """
    if progress is None or progress is False:
        return Reporter()
    if progress is True:
        try:
            tqdm_module = importlib.import_module("tqdm")
        except ImportError:
            return TextBar(total, desc)
        return _TqdmReporter(tqdm_module.tqdm, total, desc)
    if callable(progress):
        return _CallbackReporter(progress, total)
    raise TypeError(f"progress must be a bool or a callable (evaluated, total), not {type(progress).__name__}")
