"""What only a child process shows: how the process ends.

At shutdown the interpreter ends a daemon thread that asks for its lock back with ``pthread_exit``,
which unwinds the thread's native frames. Inside the core that must neither terminate the process nor
touch Python objects without the lock: the process exits with the status it was given.
"""
import os
import subprocess
import sys
import textwrap

import pytest

import fpscope

RUNS = 20

# Forks RUNS children, one after another, of an interpreter that has imported the package and run `body`
# once; each starts a daemon thread calling `body` in a loop and exits 0.05 s later, while the thread is
# inside the core. Prints the children's exit statuses.
DAEMON_AT_EXIT = textwrap.dedent(
    r"""
    import os, sys, threading, time
    import fpscope
    from fpscope import _core

    class Fresh:  # new objects, whose conversion and release run Python code
        def __len__(self):
            return 1000
        def __getitem__(self, i):
            if i >= 1000:
                raise IndexError(i)
            return Busy()

    class Busy:
        def __float__(self):
            return sum([0.25] * 4)
        def __del__(self):
            sum(range(100))

    X = float.fromhex("0x1.2f1fd6p+3")  # decided by MPFR on the certified path
    bodies = {
        "scan": lambda: _core.knife_edges_raw("log", 1.0, 2.0, 1e-4, "f32", 100, 1, 20000),
        "report": lambda: fpscope.report("log", X),
        "workers": lambda: fpscope.knife_edges("log", 1.0, 2.0, 1e-4, workers=2),
        "conversion": lambda: _core.ulp_distances(Fresh(), [1.0] * 1000, "f32"),
        "audit": lambda: fpscope.audit(__import__("numpy").exp, "exp", "f32", 1.0, 64.0),
    }
    body, runs = bodies[sys.argv[1]], int(sys.argv[2])
    body()
    assert threading.active_count() == 1  # nothing left running to fork with

    def loop():
        while True:
            try:
                body()
            except RuntimeError:
                pass  # an executor refuses new work once shutdown has begun

    statuses = []
    for _ in range(runs):
        pid = os.fork()
        if pid == 0:
            threading.Thread(target=loop, daemon=True).start()
            time.sleep(0.05)
            sys.exit(0)
        statuses.append(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    print(statuses)
    """
)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("body", ["scan", "report", "workers", "conversion", "audit"])
def test_exit_while_a_daemon_thread_is_inside_the_core(body):
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(fpscope.__file__)))
    env = dict(os.environ, PYTHONPATH=package_root)
    done = subprocess.run([sys.executable, "-c", DAEMON_AT_EXIT, body, str(RUNS)], cwd=package_root, env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str([0] * RUNS), done.stderr[-3000:]
