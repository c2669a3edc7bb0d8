"""Executors for the command line: threads on this machine, or a dask cluster (``pip install 'fpscope[dask]'``).

``--scheduler tcp://HOST:PORT`` connects to a running dask scheduler; ``--scheduler local:N`` starts a
cluster of N single-threaded worker processes on this machine for the length of the command. The
scan then runs on the client's ``concurrent.futures`` executor, like any other.
"""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import importlib
import logging
import tempfile
from typing import Any, Iterator, Optional

SCHEDULER_FORMS = "tcp://HOST:PORT or local:N"
# The loggers of the dask client, the cluster and their event loop.
_CLUSTER_LOGGERS = ("distributed", "tornado", "asyncio")


def _distributed() -> Any:
    try:
        return importlib.import_module("dask.distributed")
    except ImportError:
        raise ValueError("--scheduler needs dask: pip install 'fpscope[dask]'") from None


def parse_scheduler(text: str) -> tuple[str, Any]:
    """``("local", N)`` or ``("address", text)``; ValueError for anything else."""
    if text.startswith("local:"):
        count = text[len("local:"):]
        if count.isdigit() and int(count) >= 1:
            return "local", int(count)
        raise ValueError(f"bad scheduler {text!r}: local:N needs a worker count N >= 1")
    if "://" in text and text.split("://", 1)[1]:
        return "address", text
    raise ValueError(f"bad scheduler {text!r}: use {SCHEDULER_FORMS}")


@contextlib.contextmanager
def _quiet_cluster_logs() -> Iterator[None]:
    """Drops the log records of the client, the cluster and their event loop while it lasts.

    A scan that stops early cancels the chunks still queued or running; when such a chunk finishes
    anyway, the client fails to hand its result to the cancelled future and the event loop logs
    that with a traceback (FutureCancelledError, InvalidStateError), though nothing went wrong. A
    failure that matters reaches the scan as the exception of its chunk, and the command reports
    it in one line.
    """
    names = set(_CLUSTER_LOGGERS) | {name for name in logging.Logger.manager.loggerDict
                                     if name.split(".")[0] in _CLUSTER_LOGGERS}
    loggers = [logging.getLogger(name) for name in sorted(names)]
    levels = [logger.level for logger in loggers]
    for logger in loggers:
        logger.setLevel(logging.CRITICAL + 1)
    try:
        yield
    finally:
        for logger, level in zip(loggers, levels):
            logger.setLevel(level)


@contextlib.contextmanager
def dask_executor(scheduler: str) -> Iterator[cf.Executor]:
    """The executor of a dask client for ``scheduler``; the client (and a local cluster) close after."""
    kind, value = parse_scheduler(scheduler)
    distributed = _distributed()
    dask = importlib.import_module("dask")
    # Workers spill and keep their files under the system's temporary directory, never in the
    # directory the command was started from.
    with dask.config.set({"temporary-directory": tempfile.gettempdir()}), _quiet_cluster_logs():
        if kind == "local":
            # Its worker processes log nothing either: silence_logs is the level they log from.
            with distributed.LocalCluster(n_workers=value, threads_per_worker=1, processes=True,
                                          dashboard_address=None, silence_logs=logging.CRITICAL + 1) as cluster, \
                    distributed.Client(cluster) as client:
                yield client.get_executor()
        else:
            try:
                client = distributed.Client(value, timeout="5s")
            except (OSError, TimeoutError) as e:
                raise ValueError(f"cannot reach the dask scheduler at {value}: {e}") from None
            with client:
                yield client.get_executor()


@contextlib.contextmanager
def scan_engine(workers: Optional[int], scheduler: Optional[str]) -> Iterator[dict[str, Any]]:
    """The ``workers=``/``executor=`` arguments of a scan for the command line's options."""
    if workers is not None and scheduler is not None:
        raise ValueError("pass --workers or --scheduler, not both")
    if scheduler is None:
        yield {"workers": workers}
        return
    with dask_executor(scheduler) as executor:
        yield {"executor": executor}
