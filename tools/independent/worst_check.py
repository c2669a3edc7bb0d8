"""Compares the shipped binary32 worst-case tables of C's other <math.h> functions with worst_check.c.

    python tools/independent/worst_check.py [OP ...]      (default: every operation worst_check knows)

Builds worst_check into build-independent/ when it is missing or older than its source (cc, OpenMP,
libmpfr), runs it for each operation with K the table's row count, and says per operation whether
the two rankings agree: the same inputs in the same order, the same rounded values and sides, and
distances equal to a relative 1e-6. It reads the tables as JSON files and never imports the package,
so that the check owes nothing to the code it checks. Run it niced: each operation visits every
binary32 input.
"""
from __future__ import annotations

import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
TABLES = os.path.join(ROOT, "fpscope", "data", "worst")
SOURCE = os.path.join(HERE, "worst_check.c")
BINARY = os.path.join(ROOT, "build-independent", "worst_check")  # under build*/, which git ignores
OPS = ["cbrt", "asin", "acos", "sinh", "cosh", "asinh", "acosh", "atanh", "exp10", "erf", "erfc", "tgamma",
       "lgamma", "sinpi", "cospi", "tanpi"]
RELATIVE = 1e-6


def build() -> None:
    if os.path.exists(BINARY) and os.path.getmtime(BINARY) >= os.path.getmtime(SOURCE):
        return
    os.makedirs(os.path.dirname(BINARY), exist_ok=True)
    subprocess.run([os.environ.get("CC", "cc"), "-O2", "-fopenmp", SOURCE, "-o", BINARY, "-lmpfr", "-lgmp", "-lm"],
                   check=True)


def independent(op: str, k: int) -> tuple[list[tuple[float, float, float, bool]], str]:
    out = subprocess.run([BINARY, op, str(k)], check=True, capture_output=True, text=True).stdout
    rows, summary = [], ""
    for line in out.splitlines():
        if line.startswith("#"):
            summary = line[1:].strip()
            continue
        x, rounded, distance, above = line.split()
        rows.append((float.fromhex(x), float.fromhex(rounded), float(distance), above == "1"))
    return rows, summary


def differences(table: list[dict], rows: list[tuple[float, float, float, bool]]) -> list[str]:
    found = []
    if len(table) != len(rows):
        found.append(f"{len(table)} rows shipped, {len(rows)} found")
    for i, (t, r) in enumerate(zip(table, rows), 1):
        x, rounded = float.fromhex(t["x_hex"]), float.fromhex(t["rounded_hex"])
        if (x, rounded, t["exact_above"]) != (r[0], r[1], r[3]) or \
                abs(t["distance_ulp"] - r[2]) > RELATIVE * max(abs(r[2]), 1e-300):
            found.append(f"row {i}: shipped {x.hex()} {rounded.hex()} {t['distance_ulp']!r} {t['exact_above']}, "
                         f"found {r[0].hex()} {r[1].hex()} {r[2]!r} {r[3]}")
    return found


def main(ops: list[str]) -> int:
    build()
    failed = 0
    for op in ops:
        path = os.path.join(TABLES, f"f32_{op}.json")
        if not os.path.exists(path):
            print(f"{op}: no shipped table")
            failed += 1
            continue
        with open(path, encoding="utf-8") as f:
            table = json.load(f)["rows"]
        start = time.monotonic()
        rows, summary = independent(op, len(table))
        seconds = time.monotonic() - start
        found = differences(table, rows)
        print(f"{op}: {'agree' if not found else 'DISAGREE'} on {len(table)} rows ({seconds:.0f} s; {summary})")
        for line in found:
            print("   ", line)
        failed += bool(found)
        sys.stdout.flush()
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or OPS))
