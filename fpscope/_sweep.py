"""Resumable sweeps: a scan recorded chunk by chunk in SQLite, so that a killed run loses little.

``fpscope sweep OP [LO HI] --db FILE`` walks the range in fixed chunks of ``--chunk`` inputs. Each
finished chunk is committed with its hits in one transaction, so killing the process (SIGKILL
included) loses at most the chunks in flight. The same command run again reads the recorded chunks,
computes the missing ones and prints exactly what an uninterrupted run prints; on a finished
database it prints at once. Every chunk is run with the sweep's whole hit limit, so its answer does
not depend on the others, and the chunks are merged in range order as in any parallel scan.

A database records what it is a sweep of (operations, dtype, range, stride, tolerance, mode, chunk
size) and refuses to serve another sweep. Only rows are added; a recorded chunk is replaced only
when it stopped on a smaller hit limit than the one asked now.

It also records the version of its own layout (the schema) and what decides its answers besides the
request: the version of the certification rule (``fpscope._certify.RULE_VERSION``, for certified
sweeps) and of the core's oracles. A later fpscope whose answers cannot differ resumes it; one whose
rule or oracles changed refuses it and says which, since a sweep finished with other answers than
it began with would be silently wrong. Schema 1, written up to fpscope 0.3.2, recorded the package
version instead; the versions that wrote it are mapped to the rule and oracles they had, and such a
database is served and resumed as it is, its description left unchanged.
"""
from __future__ import annotations

import json
import math
import os
import sqlite3
import struct
from typing import Any

from fpscope import Scan, _certify, _core
from fpscope._core import ordered
from fpscope._floats import hexfloat
from fpscope._progress import make_reporter
from fpscope._scan import FixedPlan, RawHit, RawScan, ScanRange, run_chunks

# The description's "format" entry: this prefix and the schema version.
FORMAT = "fpscope sweep"
SCHEMA = 2
# Schema 1 recorded the package version ("version") instead of what decides the answers: the
# certification rule and oracle versions of each release that wrote it.
_SCHEMA1_DECIDED_BY = {"0.3.2": ("1", "1")}
DEFAULT_CHUNK = 1 << 22
NO_LIMIT = 2**64 - 1
MAX_EVALS = 2**64 - 1
# Primary result codes of SQLite, and its messages for them (Python before 3.11 gives only the message).
_SQLITE_READONLY, _SQLITE_FULL = 8, 13
_READONLY_TEXT, _FULL_TEXT = "attempt to write a readonly database", "database or disk is full"

_TABLES = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE chunks (op TEXT NOT NULL, idx INTEGER NOT NULL, evaluated INTEGER NOT NULL,
                     hit_limit TEXT NOT NULL, hits TEXT NOT NULL, PRIMARY KEY (op, idx));
"""


class SweepError(ValueError):
    """A database that cannot serve this sweep: one line, exit status 2."""


def identity(ops: list[str], dtype: str, lo: float, hi: float, stride: int, tol: float, certified: bool,
             chunk: int) -> dict[str, str]:
    """What a sweep is, as its database describes it (floats in hex, exactly)."""
    return {"ops": ",".join(ops), "dtype": dtype, "lo": hexfloat(lo), "hi": hexfloat(hi), "stride": str(stride),
            "tol_ulp": tol.hex() if math.isfinite(tol) else repr(tol),
            "mode": "certified" if certified else "uncertified", "chunk": str(chunk)}


def decided_by() -> dict[str, str]:
    """What decides the answers of this fpscope besides the request: the versions of the
    certification rule and of the core's oracles (1 for a core that does not say)."""
    return {"certification_rule": str(_certify.RULE_VERSION), "oracles": str(getattr(_core, "_ORACLE_VERSION", 1))}


def _decimal(text: str) -> str:
    """A float of a description, recorded in hex, in the decimal a user types."""
    try:
        return repr(float.fromhex(text))
    except (ValueError, OverflowError):
        return text


def _describe(request: dict[str, str]) -> str:
    return (f"{request['ops']} {request['dtype']} [{request['lo']}, {request['hi']}] stride {request['stride']} "
            f"tol {_decimal(request['tol_ulp'])} {request['mode']} chunk {request['chunk']}")


class SweepDB:
    """The SQLite file of one sweep; every sqlite3 failure becomes a one-line SweepError."""

    def __init__(self, path: str, identity: dict[str, str]) -> None:
        self.path = path
        fresh = not os.path.exists(path) or (os.path.isfile(path) and os.path.getsize(path) == 0)
        try:
            self.conn = sqlite3.connect(path, isolation_level=None, timeout=30)
        except sqlite3.Error as e:
            raise SweepError(f"cannot open {path}: {e}") from None
        try:
            self._open(fresh, identity)
        except BaseException:
            self.conn.close()
            raise

    def _fail(self, e: sqlite3.Error) -> SweepError:
        code = getattr(e, "sqlite_errorcode", 0) & 0xFF
        if code == _SQLITE_FULL or str(e) == _FULL_TEXT:
            return SweepError(f"cannot write {self.path}: no space left on the device")
        if code == _SQLITE_READONLY or str(e) == _READONLY_TEXT:
            return SweepError(f"cannot write {self.path}: it is read-only")
        return SweepError(f"{self.path} is not a usable fpscope sweep database ({e})")

    def _open(self, fresh: bool, identity: dict[str, str]) -> None:
        try:
            if fresh:
                # Another run of the same sweep may be creating this file right now: whether it is new
                # is decided under the write lock, and a file that got tables meanwhile is read as any.
                self.conn.execute("BEGIN IMMEDIATE")
                if not self.conn.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]:
                    for statement in _TABLES.strip().split(";"):
                        if statement.strip():
                            self.conn.execute(statement)
                    described = {"format": f"{FORMAT} {SCHEMA}", **identity, **decided_by()}
                    self.conn.executemany("INSERT INTO meta VALUES (?, ?)", sorted(described.items()))
                    self.conn.execute("COMMIT")
                    return
                self.conn.execute("ROLLBACK")
            names = {row[0] for row in self.conn.execute("SELECT name FROM sqlite_master WHERE type='table'")}
            if not {"meta", "chunks"} <= names:
                raise SweepError(f"{self.path} is not an fpscope sweep database")
            meta = dict(self.conn.execute("SELECT key, value FROM meta").fetchall())
        except sqlite3.Error as e:
            raise self._fail(e) from None
        self._check(meta, identity)

    def _check(self, meta: dict[str, str], request: dict[str, str]) -> None:
        """Refuses a database that is not of this sweep, or whose answers may differ from this fpscope's."""
        prefix, _, schema_text = meta.get("format", "").rpartition(" ")
        if prefix != FORMAT or not schema_text.isdigit() or int(schema_text) < 1:
            raise SweepError(f"{self.path} is not an fpscope sweep database")
        schema = int(schema_text)
        if schema > SCHEMA:
            raise SweepError(f"{self.path} was written by a newer fpscope (sweep schema {schema}; this one reads "
                             f"up to {SCHEMA}): upgrade fpscope, or use another --db")
        now = decided_by()
        expected = {"format", *request, *(("version",) if schema == 1 else now)}
        if set(meta) != expected:
            raise SweepError(f"{self.path} is not a usable fpscope sweep database (its description differs in "
                             f"{', '.join(sorted(set(meta) ^ expected))})")
        recorded = {key: meta[key] for key in request}
        if recorded != request:
            raise SweepError(f"{self.path} is a sweep of {_describe(recorded)}, not of {_describe(request)}; "
                             "use another --db")
        if schema == 1:
            written_by = meta["version"]
            if written_by not in _SCHEMA1_DECIDED_BY:
                raise SweepError(f"{self.path} was written by fpscope {written_by}, which did not record what "
                                 "decides its answers, so they may differ from this version's; use another --db")
            rule, oracles = _SCHEMA1_DECIDED_BY[written_by]
        else:
            rule, oracles = meta["certification_rule"], meta["oracles"]
        if request["mode"] == "certified" and rule != now["certification_rule"]:
            raise SweepError(f"{self.path} was recorded under certification rule {rule}, and this fpscope "
                             f"certifies by rule {now['certification_rule']}: its answers may differ; use another --db")
        if oracles != now["oracles"]:
            raise SweepError(f"{self.path} was recorded with version {oracles} of the core's oracles, and this "
                             f"fpscope's are version {now['oracles']}: its answers may differ; use another --db")

    def chunks(self, op: str, r: ScanRange, plan: FixedPlan) -> dict[int, RawScan]:
        """The recorded answers of ``op`` that serve the sweep ``r``, each checked against its chunk."""
        out: dict[int, RawScan] = {}
        try:
            rows = self.conn.execute("SELECT idx, evaluated, hit_limit, hits FROM chunks WHERE op = ?",
                                     (op,)).fetchall()
        except sqlite3.Error as e:
            raise self._fail(e) from None
        for idx, evaluated, hit_limit, text in rows:
            try:
                if type(idx) is not int or type(evaluated) is not int:
                    raise ValueError("index or count not an integer")
                offset, size = plan.chunk(idx)
                if not (0 <= offset < plan.budget and 0 <= evaluated <= size):
                    raise ValueError("chunk outside the sweep")
                hits = _chunk_hits(json.loads(text), r, offset, size)
                whole = evaluated == size
                if not (len(hits) <= int(hit_limit) and (whole or len(hits) == int(hit_limit))):
                    raise ValueError("hit count does not match the hit limit")
            except (ValueError, TypeError, OverflowError, RecursionError) as e:
                why = "hits nested too deeply" if isinstance(e, RecursionError) else e
                raise SweepError(f"{self.path} holds a damaged chunk {op} #{idx} ({why})") from None
            if whole or int(hit_limit) >= r.limit:
                out[idx] = (hits, evaluated, False)
        return out

    def record(self, op: str, idx: int, answer: RawScan, limit: int) -> None:
        hits = json.dumps([[x.hex(), r.hex(), d.hex(), bool(a)] for x, r, d, a in answer[0]])
        try:
            self.conn.execute("INSERT OR REPLACE INTO chunks VALUES (?, ?, ?, ?, ?)",
                              (op, idx, answer[1], str(limit), hits))
        except sqlite3.Error as e:
            raise self._fail(e) from None

    def close(self) -> None:
        self.conn.close()


def _in_format(value: float, f32: bool) -> bool:
    """Whether ``value`` is a float of the format other than a NaN (infinities included)."""
    if value != value:
        return False
    if not f32:
        return True
    try:
        return bool(struct.unpack("<f", struct.pack("<f", value))[0] == value)
    except OverflowError:
        return False


def _chunk_hits(rows: Any, r: ScanRange, offset: int, size: int) -> list[RawHit]:
    """The hits of a recorded chunk of inputs [offset, offset + size), as decoded from its JSON.

    Raises ValueError unless each hit is an input of the chunk (on its stride), in ascending order,
    with floats of the format and a distance in [0, 0.5]: a database edited by hand, or damaged,
    is refused rather than served. The cost is one pass over the hits, as decoding them is.
    """
    if not isinstance(rows, list):
        raise ValueError("hits not a list")
    first = r.start + offset * r.step
    last = first + (size - 1) * r.step
    previous = first - 1
    hits: list[RawHit] = []
    for row in rows:
        if not (isinstance(row, list) and len(row) == 4 and all(isinstance(v, str) for v in row[:3])
                and isinstance(row[3], bool)):
            raise ValueError("malformed hit")
        x, rounded, distance = float.fromhex(row[0]), float.fromhex(row[1]), float.fromhex(row[2])
        if not (_in_format(x, r.f32) and _in_format(rounded, r.f32)):
            raise ValueError(f"hit {row[0]} is not an {r.dtype} float")
        k = ordered(x, r.dtype)
        if not (previous < k <= last and (k - r.start) % r.step == 0):
            raise ValueError(f"hit {row[0]} is not an input of the chunk, in order")
        if not 0.0 <= distance <= 0.5:
            raise ValueError(f"hit {row[0]} has distance {row[2]}")
        previous = k
        hits.append((x, rounded, distance, row[3]))
    return hits


def sweep(db: SweepDB, r: ScanRange, op: str, chunk: int, executor: Any, progress: Any) -> Scan:
    """The scan of ``r``, from the recorded chunks and the missing ones (recorded as they finish)."""
    plan = FixedPlan(r.budget, chunk)
    done = db.chunks(op, r, plan)
    plan = FixedPlan(r.budget, chunk, skip=done)
    reporter = make_reporter(progress, r.budget, op)
    return run_chunks(r, executor, plan, reporter, done=done, fixed_limit=True,
                      on_chunk=lambda i, offset, size, answer: db.record(op, i, answer, r.limit))
