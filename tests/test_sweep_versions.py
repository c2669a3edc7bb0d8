"""Sweeps across upgrades: a database records what decides its answers (the certification rule, the core's
oracles), not the package version. An upgrade that cannot change the answers resumes it; one that can is
refused, saying why, and the file is left as it was. Databases written by 0.3.2 are served and resumed."""
import shutil
import sqlite3
from pathlib import Path

import pytest

from fpscope import _certify, _core
from fpscope.cli import main

DATA = Path(__file__).resolve().parent / "data" / "sweep-0.3.2"
# The sweep of the 0.3.2 databases (see tests/data/sweep-0.3.2/README).
OLD = ["sweep", "exp", "1", "1.25", "--stride", "3", "--tol", "2e-5", "--chunk", "50000", "--db"]
SMALL = ["sweep", "exp", "1", "1.01", "--tol", "1e-3", "--chunk", "20000", "--db"]


def query(db, sql):
    conn = sqlite3.connect(db)
    try:
        return conn.execute(sql).fetchall()
    finally:
        conn.close()


def description(db):
    return dict(query(db, "SELECT key, value FROM meta"))


def chunk_count(db):
    return query(db, "SELECT count(*) FROM chunks")[0][0]


def refused(capsys, argv, *texts):
    assert main(argv) == 2
    out, err = capsys.readouterr()
    assert out == "" and len(err.splitlines()) == 1 and all(text in err for text in texts), err


@pytest.mark.parametrize("form, expected", [([], "expected.txt"), (["--json"], "expected.json"),
                                            (["--csv"], "expected.csv")])
@pytest.mark.parametrize("name", ["finished.sqlite", "unfinished.sqlite"])
def test_a_database_of_0_3_2_is_served_and_resumed_as_0_3_2_printed_it(tmp_path, capsys, name, form, expected):
    db = shutil.copy(DATA / name, tmp_path / name)
    before = description(db)
    for _ in range(2):  # resumed (or served), then served
        assert main([*OLD, str(db), *form]) == 0
        out, err = capsys.readouterr()
        assert (out, err) == ((DATA / expected).read_text(), "")
    # The chunks are all recorded now; the description is still the one 0.3.2 reads.
    assert chunk_count(db) == 14 and description(db) == before and before["version"] == "0.3.2"


@pytest.fixture
def recorded(tmp_path, capsys):
    """Makes a database of SMALL (certified or not) after the given change of the package, half its
    chunks recorded; returns its path."""
    def make(mode, patch):
        db = tmp_path / "sweep.sqlite"
        with pytest.MonkeyPatch.context() as mp:
            patch(mp)
            assert main([*SMALL, str(db), *mode]) == 0
        with sqlite3.connect(db) as conn:
            conn.execute("DELETE FROM chunks WHERE idx >= 3")
        conn.close()
        capsys.readouterr()
        return db
    return make


def rule(version):
    return lambda mp: mp.setattr(_certify, "RULE_VERSION", version)


def oracles(version):
    if version is None:  # a core that does not say: version 1
        return lambda mp: mp.delattr(_core, "_ORACLE_VERSION", raising=False)
    return lambda mp: mp.setattr(_core, "_ORACLE_VERSION", version, raising=False)


# (what wrote it, what reads it, mode, the refusal or None)
@pytest.mark.parametrize("before, after, mode, refusal", [
    pytest.param(rule(1), rule(2), ["--uncertified"], None, id="rule, uncertified"),  # decides no answer there
    pytest.param(oracles(None), oracles(1), [], None, id="oracles unsaid, then 1"),
    pytest.param(rule(1), rule(2), [], "was recorded under certification rule 1, and this fpscope certifies by "
                                       "rule 2", id="rule 1 to 2"),
    pytest.param(rule(3), rule(2), [], "was recorded under certification rule 3, and this fpscope certifies by "
                                       "rule 2", id="rule 3 to 2"),
    pytest.param(oracles(None), oracles(2), ["--uncertified"], "with version 1 of the core's oracles, and this "
                 "fpscope's are version 2", id="oracles 1 to 2, uncertified"),
    pytest.param(oracles(2), oracles(1), [], "with version 2 of the core's oracles", id="oracles 2 to 1"),
])
def test_an_upgrade_resumes_unless_it_can_change_the_answers(recorded, capsys, before, after, mode, refusal):
    db = recorded(mode, before)
    left = chunk_count(db)
    bytes_before = db.read_bytes()
    with pytest.MonkeyPatch.context() as mp:
        after(mp)
        if refusal:
            refused(capsys, [*SMALL, str(db), *mode], refusal, "its answers may differ; use another --db")
            assert db.read_bytes() == bytes_before
            return
        assert main([*SMALL, str(db), *mode]) == 0
    assert chunk_count(db) > left and capsys.readouterr().err == ""


def _edit(key, value):
    def edit(db):
        with sqlite3.connect(db) as conn:
            if value is None:
                conn.execute("DELETE FROM meta WHERE key = ?", (key,))
            else:
                conn.execute("INSERT OR REPLACE INTO meta VALUES (?, ?)", (key, value))
        conn.close()
    return edit


@pytest.mark.parametrize("edit, texts", [
    (_edit("version", "0.2.0"), ["was written by fpscope 0.2.0, which did not record what decides its answers"]),
    (_edit("format", "fpscope sweep 3"), ["was written by a newer fpscope (sweep schema 3; this one reads up to 2)"]),
    (_edit("format", "fpscope sweep 0"), ["is not an fpscope sweep database"]),
    (_edit("note", "mine"), ["is not a usable fpscope sweep database (its description differs in note)"]),
    (_edit("version", None), ["is not a usable fpscope sweep database (its description differs in version)"]),
    (_edit("tol_ulp", (1e-4).hex()), ["is a sweep of exp f32 [0x1p+0, 0x1.4p+0] stride 3 tol 0.0001 certified "
                                      "chunk 50000, not of exp f32 [0x1p+0, 0x1.4p+0] stride 3 tol 2e-05 "
                                      "certified chunk 50000; use another --db"]),
])
def test_a_0_3_2_database_that_cannot_be_vouched_for_is_refused(tmp_path, capsys, edit, texts):
    db = shutil.copy(DATA / "unfinished.sqlite", tmp_path / "db.sqlite")
    edit(db)
    before = db.read_bytes()
    refused(capsys, [*OLD, str(db)], *texts)
    assert db.read_bytes() == before


def test_a_0_3_2_database_is_refused_once_the_rule_changes(tmp_path, capsys, monkeypatch):
    db = shutil.copy(DATA / "unfinished.sqlite", tmp_path / "db.sqlite")
    monkeypatch.setattr(_certify, "RULE_VERSION", 2)
    refused(capsys, [*OLD, str(db)], "was recorded under certification rule 1, and this fpscope certifies by rule 2")
