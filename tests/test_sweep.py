"""Resumable sweeps: killed at random moments and resumed, they end with the uninterrupted hits and output;
a database serves only the sweep it records, and a damaged or foreign file is one clear line. A kill is
a child process's; everything else runs in process, through main(argv)."""
import contextlib
import io
import json
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from fpscope import _core, knife_edges
from fpscope.cli import main

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENV = {**os.environ, "PYTHONPATH": ROOT}
SWEEP = ["exp", "1", "1.5", "--tol", "1e-3", "--uncertified", "--chunk", "20000"]


def fpscope(*args):
    """The command in process: (status, stdout, stderr)."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        status = main(list(args))
    return status, out.getvalue(), err.getvalue()


def start(*args):
    return subprocess.Popen([sys.executable, "-m", "fpscope", *args], cwd=ROOT, env=ENV, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def one_line_error(done, text):
    status, out, err = done
    assert status == 2 and out == ""
    assert text in err and len(err.strip().splitlines()) == 1


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    """The uninterrupted sweep: its JSON output, how long it takes in a child process, and its database."""
    db = tmp_path_factory.mktemp("ref") / "ref.sqlite"
    began = time.monotonic()
    child = start("sweep", *SWEEP, "--db", str(db), "--json")
    out, err = child.communicate(timeout=600)
    assert child.returncode == 0, err
    return out, time.monotonic() - began, db


@pytest.mark.parametrize("seed, workers", [(1, []), (2, ["--workers", "2"]), (3, ["--workers", "3"])])
def test_a_sweep_killed_at_random_moments_resumes_to_the_uninterrupted_hits(tmp_path, reference, seed, workers):
    expected, seconds, _ = reference
    rng = random.Random(seed)
    db = str(tmp_path / "sweep.sqlite")
    kills = 0
    for _ in range(8):
        child = start("sweep", *SWEEP, "--db", db, "--json", *workers)
        time.sleep(rng.uniform(0.05, seconds))
        if child.poll() is None:
            child.send_signal(signal.SIGKILL)
            kills += 1
        out, err = child.communicate(timeout=600)
        if child.returncode == 0:
            break
        assert child.returncode == -signal.SIGKILL, err
    assert fpscope("sweep", *SWEEP, "--db", db, "--json", *workers) == (0, expected, "")
    assert kills >= 1
    scan = json.loads(expected)
    raw = _core.knife_edges_raw("exp", 1.0, 1.5, 1e-3, "f32", 2**64 - 1)
    assert [h["x"] for h in scan["hits"]] == [h[0] for h in raw[0]] and scan["evaluated"] == raw[1]


@pytest.mark.parametrize("form", ["--json", "--csv", None])
def test_a_finished_database_prints_the_uninterrupted_output(tmp_path, form):
    args = ["sweep", *SWEEP[:2], "1.1", *SWEEP[3:], "--db", str(tmp_path / "f.sqlite"), *([form] if form else [])]
    fresh = fpscope(*args)
    assert fresh[0] == 0 and fpscope(*args) == fresh
    if form == "--csv":
        lines = fresh[1].splitlines()
        assert lines[0] == "op,x,x_hex,rounded,rounded_hex,distance_ulp,exact_above" and len(lines) > 10


def test_limits_and_all_ops(tmp_path):
    db = str(tmp_path / "limit.sqlite")
    args = ["exp", "1", "1.2", "--tol", "1e-3", "--uncertified", "--chunk", "5000", "--db", db, "--json"]
    for limit in (5, 50, 3):  # a larger limit recomputes the chunks that stopped on a smaller one
        scan = json.loads(fpscope("sweep", *args, "--limit", str(limit))[1])
        expected = knife_edges("exp", 1.0, 1.2, 1e-3, "f32", limit, certified=False)
        assert [h["x"] for h in scan["hits"]] == [h.x for h in expected.hits]
        assert (scan["evaluated"], scan["covered"]) == (expected.evaluated, expected.covered)
    every = fpscope("sweep", "--all-ops", "1", "1.001", "--tol", "1e-2", "--uncertified", "--db",
                    str(tmp_path / "all.sqlite"), "--json", "--workers", "2")
    scans = json.loads(every[1])
    assert [s["op"] for s in scans] == list(_core.UNARY_OPS)
    for s in scans:
        raw = _core.knife_edges_raw(s["op"], 1.0, 1.001, 1e-2, "f32", 2**64 - 1)
        assert [h["x"] for h in s["hits"]] == [h[0] for h in raw[0]] and s["evaluated"] == raw[1]


def test_a_certified_sweep_records_certified_hits(tmp_path):
    done = fpscope("sweep", "sqrt", "1", "1.01", "--tol", "1e-2", "--db", str(tmp_path / "c.sqlite"), "--json")
    scan = json.loads(done[1])
    expected = knife_edges("sqrt", 1.0, 1.01, 1e-2, "f32", 2**64 - 1)
    assert scan["certified"] is True and [h["distance_ulp"] for h in scan["hits"]] == [
        h.distance_ulp for h in expected.hits]


def _garbage(path):
    path.write_bytes(bytes(random.Random(0).randrange(256) for _ in range(4096)))


def _foreign(path):
    with sqlite3.connect(path) as conn:
        conn.execute("CREATE TABLE notes (text TEXT)")
        conn.execute("INSERT INTO notes VALUES ('mine')")
    conn.close()


def _damaged_row(path):
    fpscope("sweep", *SWEEP[:2], "1.01", *SWEEP[3:], "--db", str(path))
    with sqlite3.connect(path) as conn:
        conn.execute("UPDATE chunks SET hits = 'nonsense' WHERE idx = 0")
    conn.close()


def _truncated(path):
    fpscope("sweep", *SWEEP[:2], "1.01", *SWEEP[3:], "--db", str(path))
    data = path.read_bytes()
    path.write_bytes(data[: len(data) // 2])


def _other_sweep(path):
    fpscope("sweep", *SWEEP[:2], "1.01", *SWEEP[3:], "--db", str(path), "--tol", "1e-4")


@pytest.mark.parametrize("make, message", [
    (_garbage, "not a usable fpscope sweep database"),
    (_foreign, "is not an fpscope sweep database"),
    (_damaged_row, "damaged chunk exp #0"),
    (_truncated, "fpscope sweep database"),
    (_other_sweep, "is a sweep of exp f32 [0x1p+0, 0x1.028f5cp+0] stride 1 tol 0.0001 uncertified chunk 20000, not "
                   "of exp f32 [0x1p+0, 0x1.028f5cp+0] stride 1 tol 0.001 uncertified chunk 20000; use another --db"),
])
def test_a_foreign_or_damaged_database_is_refused_and_left_alone(tmp_path, make, message):
    path = tmp_path / "db.sqlite"
    make(path)
    before = path.read_bytes()
    done = fpscope("sweep", *SWEEP[:2], "1.01", *SWEEP[3:], "--db", str(path))
    one_line_error(done, message)
    assert path.read_bytes() == before and sorted(os.listdir(tmp_path)) == ["db.sqlite"]


@pytest.mark.parametrize("args, message", [
    (["nope", "1", "2"], "unknown op"),
    (["exp", "1", "2", "--dtype", "f64"], "f64 scans are available for op='sqrt' only"),
    (["sqrt", "--dtype", "f64"], "f64 sweeps need an explicit range"),
    (["exp", "1"], "give both LO and HI"),
    ([], "name an operation"),
    (["exp", "1", "2", "--chunk", "0"], "--chunk must be at least 1"),
])
def test_bad_arguments_leave_no_database_behind(tmp_path, args, message):
    done = fpscope("sweep", *args, "--db", str(tmp_path / "new.sqlite"))
    one_line_error(done, message)
    assert os.listdir(tmp_path) == []


def test_a_directory_is_no_database(tmp_path):
    one_line_error(fpscope("sweep", *SWEEP, "--db", str(tmp_path)), str(tmp_path))
