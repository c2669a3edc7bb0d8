"""Scans on a real dask LocalCluster of two worker processes: the sequential answer, from Python and the CLI."""
import os
import subprocess
import sys

import pytest

distributed = pytest.importorskip("dask.distributed")
import dask  # noqa: E402

from fpscope import _core, _scan, knife_edges  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="module")
def executor(tmp_path_factory):
    with dask.config.set({"temporary-directory": str(tmp_path_factory.mktemp("dask"))}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            yield client.get_executor()


@pytest.mark.parametrize("args, chunk", [
    (("exp", 1.0, 1.05, 1e-3, "f32", 10**6), 5000),
    (("exp", 1.0, 1.05, 1e-3, "f32", 7), 3000),             # the limit is reached in a later chunk
    (("sin", -3.0, 3.0, 1e-2, "f32", 100, 9999, 40000), 700),  # stride and max_evals
    (("sqrt", 1.0, 2.0, 1e-3, "f64", 20, 2**40), None),     # chunks sized for a remote executor
])
@pytest.mark.parametrize("certified", [False, True])
def test_cluster_scan_equals_the_sequential_one(executor, args, chunk, certified):
    got = knife_edges(*args, chunk=chunk, executor=executor, certified=certified)
    one_call = _scan.certified_scan if certified else _core.knife_edges_raw
    assert tuple(got) == one_call(*args)
    assert _scan.is_remote(executor) and _scan.parallelism(executor) == 2


def test_cli_runs_a_scan_on_a_local_cluster_and_leaves_no_scratch_files(tmp_path):
    command = [sys.executable, "-m", "fpscope", "scan", "exp", "1", "1.01", "--tol", "1e-3", "--json", "--uncertified"]
    env = {**os.environ, "PYTHONPATH": ROOT}
    local = subprocess.run(command, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120)
    cluster = subprocess.run(command + ["--scheduler", "local:2"], cwd=tmp_path, env=env, capture_output=True,
                             text=True, timeout=300)
    assert local.returncode == cluster.returncode == 0, cluster.stderr
    assert cluster.stdout == local.stdout and os.listdir(tmp_path) == []


@pytest.mark.parametrize("scheduler, message", [
    ("local:0", "local:N needs a worker count"),
    ("nowhere", "use tcp://HOST:PORT or local:N"),
    ("tcp://127.0.0.1:9", "cannot reach the dask scheduler"),
])
def test_bad_schedulers_are_one_line_errors(scheduler, message):
    done = subprocess.run([sys.executable, "-m", "fpscope", "scan", "exp", "1", "1.01", "--scheduler", scheduler],
                          cwd=ROOT, capture_output=True, text=True, timeout=120)
    assert done.returncode == 2 and message in done.stderr and len(done.stderr.strip().splitlines()) == 1
