"""Valid input never ends in PanicException: far-underflowing quotients, failed allocations, shutdown.

And the PanicException that remains (a broken invariant, or one resumed from Python code) is the
module's attribute, so it pickles and crosses process boundaries.
"""
import concurrent.futures
import os
import pickle
import subprocess
import sys
import textwrap
from fractions import Fraction

import pytest

import fpscope
from fpscope import _core as fs
from support import PanicFloat

MAX = sys.float_info.max
MIN_SUB = 5e-324
MIN_SUB_F32 = 2.0**-149
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(fpscope.__file__)))
UNDER_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in os.environ


def _run_python(code, timeout=60, **kwargs):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=PACKAGE_ROOT, env=env,
                          capture_output=True, text=True, timeout=timeout, **kwargs)


# --- quotients far below the smallest subnormal -------------------------------------------------------

F64_FAR_BELOW = (
    [(MIN_SUB, 2.0**k) for k in (120, 127, 128, 129, 130, 150, 200, 300, 500, 700, 900, 1000, 1023)]
    + [(MIN_SUB, MAX), (MIN_SUB, 1.5 * 2.0**1000), (3 * MIN_SUB, 2.0**600), (1e-300, 1e300), (1e-300, MAX),
       (2.0**-1022, 2.0**113), (2.0**-1022, 2.0**112), (1e-200, 1e200), (2.0**-1000, 2.0**300),
       ((1 - 2.0**-53) * 2.0**-1021, MAX), (1e-320, 1e280), (1e-310, 3.0**400)]
)
F32_FAR_BELOW = [(MIN_SUB_F32, 2.0**k) for k in (56, 60, 100, 127)] + [
    (MIN_SUB_F32, 3.4028234663852886e38), (2.0**-126, 3.4028234663852886e38), (1e-40, 1e30)]


@pytest.mark.parametrize("dtype, x, y", [("f64", x, y) for x, y in F64_FAR_BELOW]
                         + [("f32", x, y) for x, y in F32_FAR_BELOW])
def test_quotient_far_below_the_subnormals_rounds_to_zero(dtype, x, y, capfd):
    assert Fraction(x) / Fraction(y) <= Fraction(MIN_SUB if dtype == "f64" else MIN_SUB_F32) / 2**55
    assert fs.midpoint("div", x, dtype, y) == (0.0, 0.5, True, False)
    assert fpscope.report("div", x, dtype, y) == (0.0, 0.5, True, False)
    assert capfd.readouterr().err == ""


def test_far_underflow_is_no_special_case_at_its_edge():
    # The search's distances reach 0.5 well before the exponent test takes over (at 2^-1022 / 2^113), and
    # from there on every report is the same.
    assert fs.midpoint("div", 2.0**-1022, "f64", 2.0**106) == (0.0, 0.49999999999999994, True, False)
    for k in range(107, 160):
        assert fs.midpoint("div", 2.0**-1022, "f64", 2.0**k) == (0.0, 0.5, True, False)
    assert fs.midpoint("div", MIN_SUB, "f64", 2.0**40) == (0.0, 0.4999999999990905, True, False)


# --- failed allocations -------------------------------------------------------------------------------

ALLOCATION_FAILURE = """
    import resource
    import fpscope._core as fs

    def mapped():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()

    # Room for the native array, not for the Python objects built from it.
    room = mapped() + (300 << 20)
    resource.setrlimit(resource.RLIMIT_AS, (room, room))
    outcomes = []
    for call in (lambda: fs.neighbours(1.0, 10**7, "f32"), lambda: fs.all_floats(1.0, 4.0, "f32", 10**8),
                 lambda: fs.ulp_distances([1.0] * 10**7, [2.0] * 10**7), lambda: fs.neighbours(1.0, 10**7, "f64")):
        try:
            call()
            outcomes.append("answered")
        except MemoryError:
            outcomes.append("MemoryError")
    # The interpreter is fine afterwards.
    assert fs.next_up(1.0) == 1.0000000000000002
    print(outcomes)
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer reserves address space: RLIMIT_AS cannot be used")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
def test_an_allocation_failure_while_building_a_result_raises_memory_error():
    done = _run_python(ALLOCATION_FAILURE)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(["MemoryError"] * 4), done.stdout + done.stderr
    assert "fpscope: internal failure" not in done.stderr


def test_results_beyond_available_memory_are_refused_up_front():
    # Hundreds of GiB: refused before anything is allocated.
    with pytest.raises(MemoryError):
        fs.all_floats(-3.4e38, 3.4e38, "f32", 2**40)
    with pytest.raises(MemoryError):
        fs.neighbours(1.0, 2**32 - 1, "f64")


# --- the interpreter shutting down while threads use the module --------------------------------------

# Daemon threads keep entering a first-use cache fill (the import of collections.abc, made to fail so the
# cache stays empty) or a conversion that runs Python code, while the main thread exits. A thread that the
# interpreter ends at shutdown must not take the process down with it.
SHUTDOWN = """
    import builtins, sys, threading, time
    import fpscope._core as fs

    scenario = sys.argv[1]
    real_import = builtins.__import__

    def failing_import(name, globals=None, locals=None, fromlist=(), level=0):
        if name == "collections.abc":
            time.sleep(0.0005)
            raise ImportError("not now")
        return real_import(name, globals, locals, fromlist, level)

    class SleepyFloat:
        def __float__(self):
            time.sleep(0.0005)
            return 1.0

    if scenario == "cache fill":
        builtins.__import__ = failing_import
        call = lambda: fs.ulp_distances(3, [1.0])
    else:
        call = lambda: fs.next_up(SleepyFloat())

    started = threading.Barrier(5)
    def hammer():
        started.wait()
        while True:
            try:
                call()
            except BaseException:
                pass

    for _ in range(4):
        threading.Thread(target=hammer, daemon=True).start()
    started.wait()
    time.sleep(0.05)
    print("exiting")
"""


@pytest.mark.parametrize("scenario", ["cache fill", "conversion"])
@pytest.mark.parametrize("attempt", range(5))
def test_interpreter_shutdown_with_threads_inside_the_module_does_not_crash(scenario, attempt):
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(SHUTDOWN), scenario], cwd=PACKAGE_ROOT, env=env,
                          capture_output=True, text=True, timeout=60)
    # The threads' own failure reports are expected (the import fails on purpose); anything else is shown.
    other = "\n".join(line for line in done.stderr.splitlines() if not line.startswith("fpscope: internal failure"))
    assert done.returncode == 0, other[:4000]
    assert done.stdout.strip() == "exiting"
    assert "Fatal Python error" not in other and "FATAL" not in other, other[:4000]


# --- PanicException as a module attribute ------------------------------------------------------------

def test_panic_exception_is_an_attribute_outside_all():
    assert fs.PanicException is fpscope.PanicException
    assert fs.PanicException.__module__ == "fpscope._core" and fs.PanicException.__qualname__ == "PanicException"
    assert "PanicException" not in fs.__all__ and "PanicException" in fpscope.__all__
    with pytest.raises(fs.PanicException):
        fs.next_up(PanicFloat())


def test_panic_exception_pickles(capfd):
    with pytest.raises(fs.PanicException) as info:
        fs.next_up(PanicFloat())
    again = pickle.loads(pickle.dumps(info.value))
    assert type(again) is fs.PanicException and again.args == ("raised by __float__",)
    assert pickle.loads(pickle.dumps(fs.PanicException)) is fs.PanicException
    capfd.readouterr()


def _panic_in_worker():
    from support import PanicFloat as WorkerPanicFloat
    from fpscope import _core
    return _core.next_up(WorkerPanicFloat())


def test_a_failure_in_a_worker_process_reaches_the_caller(capfd):
    # A BaseException in a worker breaks a process pool; a plain failure of the task must come back as it.
    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        future = pool.submit(_panic_in_worker)
        with pytest.raises(fs.PanicException, match="raised by __float__"):
            future.result(timeout=60)
    capfd.readouterr()
