"""Faults around the sweep file: a refusal is one line and exit status 2, and leaves the file as it was."""
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import time

import pytest

from fpscope import cli

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARGS = ["sweep", "exp", "1", "1.01", "--tol", "1e-3", "--uncertified", "--chunk", "20000", "--db"]


@pytest.fixture(scope="module")
def finished(tmp_path_factory):
    db = tmp_path_factory.mktemp("finished") / "sweep.sqlite"
    assert cli.main([*ARGS, str(db)]) == 0
    return db


def copy(finished, tmp_path, keep_chunks=None):
    db = shutil.copy(finished, tmp_path / "db.sqlite")
    with sqlite3.connect(db) as conn:
        if keep_chunks is not None:
            conn.execute("DELETE FROM chunks WHERE idx >= ?", (keep_chunks,))
    conn.execute("VACUUM")  # no free pages left to record into
    conn.close()
    return db


def refused(capsys, argv, text):
    assert cli.main(argv) == 2
    out, err = capsys.readouterr()
    assert out == "" and text in err and len(err.splitlines()) == 1


@pytest.mark.parametrize("column, tamper", [  # the new value from the hits of chunks 0 and 1
    ("hits", lambda h, n: [[(33.0000001).hex(), *h[0][1:]], *h[1:]]),  # neither binary32 nor in the chunk
    ("hits", lambda h, n: [["0x1.0001280001p+0", *h[0][1:]], *h[1:]]),  # in the chunk, not binary32
    ("hits", lambda h, n: h + n[:1]),  # the next chunk's
    ("hits", lambda h, n: h[1::-1] + h[2:]),  # out of order
    ("hits", lambda h, n: [h[0][:2] + ["0x1p+0", False]]),  # a distance above 0.5
    ("hits", lambda h, n: "[" * 100000 + "]" * 100000),
    ("hit_limit", lambda h, n: "1"),  # more hits than its limit
])
@pytest.mark.parametrize("keep_chunks", [None, 4])  # served, resumed
def test_a_tampered_chunk_is_refused(finished, tmp_path, capsys, column, tamper, keep_chunks):
    db = copy(finished, tmp_path, keep_chunks)
    with sqlite3.connect(db) as conn:
        value = tamper(*(json.loads(conn.execute("SELECT hits FROM chunks WHERE idx = ?", (i,)).fetchone()[0])
                         for i in (0, 1)))
        conn.execute(f"UPDATE chunks SET {column} = ? WHERE idx = 0",
                     (value if isinstance(value, str) else json.dumps(value),))
    conn.close()
    before = db.read_bytes()
    refused(capsys, [*ARGS, str(db)], "holds a damaged chunk exp #0")
    assert db.read_bytes() == before


def _full(connect):
    def full(path, **kw):
        conn = connect(path, **kw)
        conn.execute(f"PRAGMA max_page_count = {max(1, conn.execute('PRAGMA page_count').fetchone()[0])}")
        return conn
    return full


@pytest.mark.parametrize("fault, new, text", [
    (_full, False, "no space left on the device"), (_full, True, "no space left on the device"),
    (lambda connect: lambda path, **kw: connect(f"file:{path}?mode=ro", uri=True, **kw), False, "it is read-only"),
])
def test_a_full_disk_or_read_only_file_is_named_and_left_intact(finished, tmp_path, monkeypatch, capsys, fault,
                                                                 new, text):
    db = tmp_path / "new.sqlite" if new else copy(finished, tmp_path, 2)
    before = b"" if new else db.read_bytes()
    monkeypatch.setattr(sqlite3, "connect", fault(sqlite3.connect))
    refused(capsys, [*ARGS, str(db)], f"cannot write {db}: {text}")
    assert (db.read_bytes() if db.exists() else b"") == before


@pytest.mark.parametrize("name", ["", ":memory:"])
def test_a_database_that_records_nothing_is_refused(capsys, name):
    refused(capsys, [*ARGS, name], f"--db must name a file, not {name!r}")


def test_two_runs_creating_one_database_at_once_both_succeed(tmp_path):
    # Both children wait for the same moment after their imports, so that they open the file together.
    code = "import sys, time; from fpscope import cli; time.sleep(max(0, float(sys.argv[1]) - time.time())); " \
           "sys.exit(cli.main(sys.argv[2:]))"
    for n in range(3):
        argv = [sys.executable, "-c", code, str(time.time() + 1.0), *ARGS, str(tmp_path / f"{n}.sqlite")]
        runs = [subprocess.Popen(argv, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
                for _ in range(2)]
        (out1, err1), (out2, err2) = (run.communicate(timeout=600) for run in runs)
        assert [run.returncode for run in runs] == [0, 0] and err1 + err2 == "" and out1 == out2
