"""Resumable sweeps: a scan recorded chunk by chunk in SQLite, so that a killed run loses little.

``fpscope sweep OP [LO HI] --db FILE`` walks the range in fixed chunks of ``--chunk`` inputs. Each
finished chunk is committed with its hits in one transaction, so killing the process (SIGKILL
included) loses at most the chunks in flight. The same command run again reads the recorded chunks,
computes the missing ones and prints exactly what an uninterrupted run prints; on a finished
database it prints at once. Every chunk is run with the sweep's whole hit limit, so its answer does
not depend on the others, and the chunks are merged in range order as in any parallel scan.

A database records what it is a sweep of (operations, dtype, range, stride, tolerance, mode, chunk
size, fpscope version) and refuses to serve another sweep. Only rows are added; a recorded chunk is
replaced only when it stopped on a smaller hit limit than the one asked now.
"""
from __future__ import annotations

import argparse
import csv
import json
import math
import os
import sqlite3
import struct
import sys
from typing import Any, Callable, Optional

from fpscope._core import UNARY_OPS, __version__, ordered
from fpscope._fenv import default_float_environment
from fpscope._floats import hexfloat, is_f32, parse_float, to_format
from fpscope._progress import make_reporter
from fpscope._results import Hit, Scan
from fpscope._scan import FixedPlan, RawHit, RawScan, ScanInterrupted, ScanRange, make_executor, run_chunks, validate
from fpscope import _cluster

FORMAT = "fpscope sweep 1"
DEFAULT_CHUNK = 1 << 22
NO_LIMIT = 2**64 - 1
MAX_EVALS = 2**64 - 1
# Primary result codes of SQLite, and its messages for them (Python before 3.11 gives only the message).
_SQLITE_READONLY, _SQLITE_FULL = 8, 13
_READONLY_TEXT, _FULL_TEXT = "attempt to write a readonly database", "database or disk is full"

_SCHEMA = """
CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE chunks (op TEXT NOT NULL, idx INTEGER NOT NULL, evaluated INTEGER NOT NULL,
                     hit_limit TEXT NOT NULL, hits TEXT NOT NULL, PRIMARY KEY (op, idx));
"""


class SweepError(ValueError):
    """A database that cannot serve this sweep: one line, exit status 2."""


def _identity(ops: list[str], dtype: str, lo: float, hi: float, stride: int, tol: float, certified: bool,
              chunk: int) -> dict[str, str]:
    return {"format": FORMAT, "ops": ",".join(ops), "dtype": dtype, "lo": hexfloat(lo), "hi": hexfloat(hi),
            "stride": str(stride), "tol_ulp": tol.hex() if math.isfinite(tol) else repr(tol),
            "mode": "certified" if certified else "uncertified", "chunk": str(chunk), "version": __version__}


def _describe(meta: dict[str, str]) -> str:
    return (f"{meta.get('ops', '?')} {meta.get('dtype', '?')} [{meta.get('lo', '?')}, {meta.get('hi', '?')}] "
            f"stride {meta.get('stride', '?')} tol {meta.get('tol_ulp', '?')} {meta.get('mode', '?')} "
            f"chunk {meta.get('chunk', '?')} fpscope {meta.get('version', '?')}")


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
                    for statement in _SCHEMA.strip().split(";"):
                        if statement.strip():
                            self.conn.execute(statement)
                    self.conn.executemany("INSERT INTO meta VALUES (?, ?)", sorted(identity.items()))
                    self.conn.execute("COMMIT")
                    return
                self.conn.execute("ROLLBACK")
            names = {row[0] for row in self.conn.execute("SELECT name FROM sqlite_master WHERE type='table'")}
            if not {"meta", "chunks"} <= names:
                raise SweepError(f"{self.path} is not an fpscope sweep database")
            meta = dict(self.conn.execute("SELECT key, value FROM meta").fetchall())
        except sqlite3.Error as e:
            raise self._fail(e) from None
        if meta.get("format") != FORMAT:
            raise SweepError(f"{self.path} is not an fpscope sweep database")
        if meta != identity:
            raise SweepError(f"{self.path} is a sweep of {_describe(meta)}, not of {_describe(identity)}; "
                             "use another --db")

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


# ---------------------------------------------------------------- command line

def add_command(command: Callable[..., argparse.ArgumentParser], engine_options: Callable[[Any], None],
                float_arg: Any, count_arg: Any, ops: str) -> None:
    p = command("sweep", "a knife-edge scan recorded chunk by chunk in SQLite: kill it, rerun the same "
                         "command, and it resumes (default range: every f32 input)", run_command, "f32")
    p.add_argument("what", nargs="*", metavar="OP [LO HI]",
                   help=f"unary operation ({ops}; f64: sqrt only, with a range) and the range; "
                        "with --all-ops only the range")
    p.add_argument("--db", required=True, metavar="FILE", help="the SQLite file recording the sweep")
    p.add_argument("--all-ops", action="store_true", help="sweep every operation")
    p.add_argument("--tol", type=float_arg, default="1e-3", help="tolerance in ulp (default 1e-3)")
    p.add_argument("--limit", type=count_arg, default=None, help="stop after this many hits (default: none)")
    p.add_argument("--stride", type=count_arg, default=1, help="visit every n-th float (default 1)")
    p.add_argument("--chunk", type=count_arg, default=DEFAULT_CHUNK,
                   help=f"inputs per recorded chunk (default {DEFAULT_CHUNK})")
    p.add_argument("--csv", action="store_true", help="one line per hit, comma-separated")
    p.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None,
                   help="progress bar on stderr (default: when stderr is a terminal)")
    engine_options(p)


def _parse_what(args: argparse.Namespace) -> tuple[list[str], float, float]:
    what = list(args.what)
    if args.all_ops:
        ops = list(UNARY_OPS)
    elif what:
        ops = [what.pop(0)]
    else:
        raise ValueError("name an operation, or pass --all-ops")
    if len(what) == 2:
        return ops, parse_float(what[0]), parse_float(what[1])
    if what:
        raise ValueError("give both LO and HI, or neither")
    if not is_f32(args.dtype):
        raise ValueError("f64 sweeps need an explicit range LO HI")
    return ops, -math.inf, math.inf


def _json_float(value: float) -> Any:
    return value if math.isfinite(value) else repr(value)


@default_float_environment
def run_command(args: argparse.Namespace) -> int:
    from fpscope import cli  # the output helpers; cli imports this module

    ops, lo, hi = _parse_what(args)
    f32 = is_f32(args.dtype)
    dtype = "f32" if f32 else "f64"
    if args.chunk < 1:
        raise ValueError("--chunk must be at least 1")
    if args.db in ("", ":memory:"):
        # SQLite keeps these in memory or in a file deleted on close: nothing would be left to resume.
        raise ValueError(f"--db must name a file, not {args.db!r}: the sweep would be recorded nowhere")
    limit = NO_LIMIT if args.limit is None else args.limit
    certified = not args.uncertified
    # Every argument is checked before the database is touched.
    ranges = [validate(op, lo, hi, args.tol, dtype, limit, args.stride, MAX_EVALS, certified) for op in ops]
    progress = args.progress if args.progress is not None else (sys.stderr.isatty() and not (args.json or args.csv))
    lo_f, hi_f = to_format(lo, f32), to_format(hi, f32)
    identity = _identity(ops, dtype, lo_f, hi_f, args.stride, float(args.tol), certified, args.chunk)
    scans: list[Scan] = []
    with _cluster.scan_engine(args.workers, args.scheduler) as engine:
        executor, owned = make_executor(engine.get("workers"), engine.get("executor"))
        db = SweepDB(args.db, identity)
        try:
            for op, r in zip(ops, ranges):
                if isinstance(r, ScanRange):
                    scans.append(sweep(db, r, op, args.chunk, executor, progress))
                else:
                    scans.append(Scan([Hit(*h) for h in r[0]], r[1], r[2]))
        except ScanInterrupted:
            print(f"fpscope sweep: interrupted; the finished chunks are recorded in {args.db}: "
                  "run the same command again to resume", file=sys.stderr)
            return cli.EXIT_INTERRUPTED
        finally:
            db.close()
            if owned:
                executor.shutdown(wait=True, cancel_futures=True)

    header = {"dtype": dtype, "lo": _json_float(lo_f), "lo_hex": hexfloat(lo_f), "hi": _json_float(hi_f),
              "hi_hex": hexfloat(hi_f), "tol_ulp": _json_float(args.tol), "stride": args.stride,
              "limit": args.limit, "certified": certified}
    if args.json:
        objects = [{"op": op, **header,
                    "hits": [{"x": _json_float(h.x), "x_hex": hexfloat(h.x), "rounded": _json_float(h.rounded),
                              "rounded_hex": hexfloat(h.rounded), "distance_ulp": h.distance_ulp,
                              "exact_above": h.exact_above} for h in scan.hits],
                    "evaluated": scan.evaluated, "covered": scan.covered} for op, scan in zip(ops, scans)]
        cli._print_json(objects if args.all_ops else objects[0])
    elif args.csv:
        out = csv.writer(sys.stdout, lineterminator="\n")
        out.writerow(["op", "x", "x_hex", "rounded", "rounded_hex", "distance_ulp", "exact_above"])
        for op, scan in zip(ops, scans):
            for h in scan.hits:
                out.writerow([op, repr(h.x), hexfloat(h.x), repr(h.rounded), hexfloat(h.rounded),
                              repr(h.distance_ulp), str(h.exact_above).lower()])
    else:
        for n, (op, scan) in enumerate(zip(ops, scans)):
            if n:
                print()
            print(f"{op} over [{lo_f!r}, {hi_f!r}] in {dtype}, tolerance {args.tol!r} ulp"
                  + (f", stride {args.stride}" if args.stride > 1 else "")
                  + ("" if certified else ", uncertified"))
            if scan.hits:
                cli._table(["x", "hex", "rounded", "hex", "distance_ulp", "exact result"],
                           [[repr(h.x), hexfloat(h.x), repr(h.rounded), hexfloat(h.rounded), repr(h.distance_ulp),
                             "above rounded" if h.exact_above else "below rounded"] for h in scan.hits])
            else:
                print("no knife edges found")
            counts = f"{len(scan.hits)} hit{'s' if len(scan.hits) != 1 else ''}, {scan.evaluated} inputs evaluated"
            print(f"{counts}; " + ("range covered" if scan.covered
                                   else f"range NOT covered: stopped at the hit limit ({args.limit})"))
    return cli.EXIT_OK
