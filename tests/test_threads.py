"""Threads: concurrent calls answer as sequential ones, and the once-only caches survive a first-use race.

The module holds the interpreter lock for a whole call, but threads still interleave between calls and
inside the conversions that run Python code (__float__, __getitem__). The process-wide caches (the
PanicException class, collections.abc.Sequence, the interned attribute names) are filled on first use
(the PanicException class by the module's execution step), so their race needs a fresh process for every
attempt. So does the interpreter's shutdown while threads are inside a first-use fill.
"""
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import fpscope
from fpscope import _core as fs
from support import PanicFloat

THREADS = 6
PASSES = 3
JOIN_TIMEOUT = 120


class SlowFloat:
    """A float computed in Python, so that the interpreter may switch threads in mid-conversion."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return sum([self.value / 4] * 4)


class PySeq:
    """A sequence iterated through __getitem__ in Python, another place to switch threads."""

    def __init__(self, values):
        self.values = values

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


def _calls():
    xs = [0.1, 1.0, 1.5, 2.0, 3.7, 1e-3, 123.456]
    calls = [
        lambda: fs.knife_edges_raw("sqrt", 1.0, 1.5, 1e-3, "f32", limit=50, max_evals=20000),
        lambda: fs.knife_edges_raw("sqrt", 1.0, 2.0, 1e-3, "f64", limit=20, stride=2**40, max_evals=2000),
        lambda: fs.all_floats(SlowFloat(1.0), 1.001, "f32", limit=10000),
        lambda: fs.binade_edges(-150, 150, "f32"),
        lambda: fs.special("f32"),
        lambda: fs.special("f64"),
        lambda: fs.ulp_distances(PySeq([SlowFloat(x) for x in xs] * 20), list(reversed(xs)) * 20, "f32"),
        lambda: fs.midpoint("div", 1e-300, "f64", 1e300),
        lambda: fs.next_up(PanicFloat()),
        lambda: fs.next_up("a"),
        lambda: fs.ulp_distances(3, [1.0]),
        lambda: fs.midpoint("nope", 1.0),
    ]
    for op in fs.UNARY_OPS:
        calls.append(lambda op=op: fs.knife_edges_raw(op, 0.5, 2.0, 1e-2, "f32", limit=20, stride=97, max_evals=3000))
        for x in xs:
            calls.append(lambda op=op, x=x: fs.midpoint(op, SlowFloat(x)))
    for x in xs:
        calls.append(lambda x=x: fs.midpoint("div", x, "f64", SlowFloat(x + 1)))
        calls.append(lambda x=x: fs.midpoint("sqrt", x, "f64"))
        calls.append(lambda x=x: fs.sqrt_cr(SlowFloat(x), "f32"))
        calls.append(lambda x=x: fs.neighbours(x, 50, "f32"))
    return calls


def _outcome(call):
    """A comparable record of a call: the result's repr (NaN and -0.0 compare by it), or the exception."""
    try:
        return ("ok", repr(call()))
    except BaseException as exc:  # noqa: B902 - PanicException derives from BaseException
        return ("raised", type(exc), exc.args, getattr(exc, "__notes__", None))


def test_concurrent_calls_answer_as_sequential_ones(capfd):
    calls = _calls()
    expected = [_outcome(call) for call in calls]
    results = {}
    failures = []

    def worker(index):
        try:
            # Each thread walks the calls in its own rotation, so different calls overlap.
            order = list(range(len(calls)))
            shift = index * len(calls) // THREADS
            order = order[shift:] + order[:shift]
            got = {}
            for _ in range(PASSES):
                for i in order:
                    outcome = _outcome(calls[i])
                    if got.setdefault(i, outcome) != outcome:
                        failures.append((index, i, got[i], outcome))
            results[index] = got
        except BaseException as exc:  # noqa: B902
            failures.append((index, exc))

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(JOIN_TIMEOUT)
        assert not any(t.is_alive() for t in threads), "a thread did not finish"
    finally:
        sys.setswitchinterval(interval)
    capfd.readouterr()  # the reports of the panics provoked on purpose

    assert failures == []
    for index in range(THREADS):
        assert [results[index][i] for i in range(len(calls))] == expected, f"thread {index}"


# ---------------------------------------------------------------------------------------------------
# First use of each cache, raced in a fresh interpreter.

RACE = textwrap.dedent(
    r"""
    import builtins, importlib.util, os, sys, threading

    scenario, threads, so_path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    sys.setswitchinterval(1e-6)
    barrier = threading.Barrier(threads)
    results = [None] * threads
    errors = []

    def run_all(body):
        def worker(i):
            try:
                barrier.wait()
                results[i] = body()
            except BaseException as exc:
                errors.append(repr(exc))
        pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        assert errors == [], errors

    if scenario == "module":
        # Execution steps of fresh module objects run at once: the interned "__name__" and "__all__".
        module_spec = importlib.util.spec_from_file_location("fpscope._core", so_path)
        def body():
            module = importlib.util.module_from_spec(module_spec)
            module_spec.loader.exec_module(module)
            return module
        run_all(body)
        names = [list(m.__all__) for m in results]
        assert all(n == names[0] for n in names) and len(names[0]) == 15, names
        assert len({id(m) for m in results}) == threads
        assert all(m.next_up(1.0) == 1.0000000000000002 for m in results)
        panics = {id(m.PanicException) for m in results}
        assert len(panics) == 1, "PanicException created more than once"
        cls = results[0].PanicException
        assert cls.__name__ == "PanicException" and cls.__bases__ == (BaseException,)
        assert [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"] == [cls]
    else:
        import fpscope._core as fs

    if scenario == "panic":
        # Failures resumed from Python code in many threads at once, each reported and raised as its own.
        class PanicFloat:
            def __float__(self):
                raise fs.PanicException("raised by __float__")
        def body():
            try:
                fs.next_up(PanicFloat())
            except BaseException as exc:
                return type(exc), exc.args
        run_all(body)
        assert all(r == (fs.PanicException, ("raised by __float__",)) for r in results), results
        assert [c for c in BaseException.__subclasses__() if c.__name__ == "PanicException"] == [fs.PanicException]

    if scenario == "sequence":
        # The import of collections.abc goes through builtins.__import__ (with a list for fromlist,
        # where import statements pass a tuple or None): count it, and hold the first one long enough
        # for every other thread to find the cache still empty.
        imports = []
        real_import = builtins.__import__
        def counting_import(name, globals=None, locals=None, fromlist=(), level=0):
            if name == "collections.abc" and isinstance(fromlist, list):
                imports.append(threading.get_ident())
                if len(imports) == 1:
                    import time
                    time.sleep(0.05)
            return real_import(name, globals, locals, fromlist, level)
        builtins.__import__ = counting_import
        def body():
            try:
                fs.ulp_distances(3, [1.0])
            except TypeError as exc:
                return str(exc), getattr(exc, "__notes__", None)
        run_all(body)
        builtins.__import__ = real_import
        assert len(imports) == 1, imports
        notes = ["while processing 'a'"] if sys.version_info >= (3, 11) else None
        assert all(r == ("'int' object is not an instance of 'Sequence'", notes) for r in results), results

    if scenario == "conversion":
        # The first conversion error: the interned "__qualname__" and "add_note".
        def body():
            try:
                fs.next_up(1.0, dtype=3)
            except TypeError as exc:
                return str(exc), getattr(exc, "__notes__", None)
        run_all(body)
        notes = ["while processing 'dtype'"] if sys.version_info >= (3, 11) else None
        assert all(r == ("'int' object is not an instance of 'str'", notes) for r in results), results

    if scenario == "reentrant":
        # An import hook that calls into the module while the Sequence class is being imported for the
        # first time: the inner call needs the cache its own thread is filling. It must fail, not hang.
        inner = []
        real_import = builtins.__import__
        def calling_import(name, globals=None, locals=None, fromlist=(), level=0):
            if name == "collections.abc" and isinstance(fromlist, list):
                try:
                    fs.ulp_distances(4, [1.0])
                except BaseException as exc:
                    inner.append((type(exc).__name__, exc.args))
            return real_import(name, globals, locals, fromlist, level)
        builtins.__import__ = calling_import
        outer = []
        for _ in range(2):
            try:
                fs.ulp_distances(3, [1.0])
            except TypeError as exc:
                outer.append(str(exc))
        builtins.__import__ = real_import
        assert inner == [("PanicException", ("a process-wide cache was needed while this thread was filling it",))], inner
        assert outer == ["'int' object is not an instance of 'Sequence'"] * 2, outer

    print("ok")
    """
)


def _in_fresh_process(scenario, threads=16):
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(fpscope.__file__)))
    env = dict(os.environ, PYTHONPATH=package_root)
    return subprocess.run(
        [sys.executable, "-c", RACE, scenario, str(threads), os.path.abspath(fs.__file__)],
        cwd=package_root, env=env, capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("scenario", ["module", "panic", "sequence", "conversion"])
@pytest.mark.parametrize("attempt", range(3))
def test_first_use_of_a_cache_raced_from_many_threads(scenario, attempt):
    done = _in_fresh_process(scenario)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "ok", done.stderr


def test_a_cache_needed_again_while_its_own_thread_fills_it_fails_instead_of_hanging():
    done = _in_fresh_process("reentrant", threads=1)
    assert done.returncode == 0, done.stderr
    # The failure report names the source file within the project, not where it was built.
    root = os.path.dirname(os.path.dirname(os.path.abspath(fpscope.__file__)))
    assert " at src/py/frame.cpp:" in done.stderr and root not in done.stderr, done.stderr
    assert done.stdout.strip() == "ok", done.stderr
