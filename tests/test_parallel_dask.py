"""Scans on a real dask LocalCluster of two worker processes: the sequential answer (from the CLI: test_cli.py)."""
import pytest

distributed = pytest.importorskip("dask.distributed")
import dask  # noqa: E402

from fpscope import _core, _scan, knife_edges  # noqa: E402


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
