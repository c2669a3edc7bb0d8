"""Checks numpy's float32 validation files against fpscope's certified reports.

    PYTHONPATH=. python tools/numpy_validation.py [DIRECTORY]     (from the source tree, module built)

numpy ships, for twenty functions, files ``umath-validation-set-NAME.csv`` of lines
``dtype,input,output,ulperrortol`` (hex bit patterns) whose output is meant to be the correctly rounded
result. For every float32 line this prints whether the expected output is the correctly rounded value
of the exact result (``fpscope.report``), and per file how many are not, with the inputs in hex.

Where ``report`` gives no report the exact result has no finite binary32 value (a domain error, a pole,
an overflow); the expected output must then be the same non-finite value as the binary64 function
rounded to binary32 (NaN, or an infinity of the right sign). Signed zeros count: -0.0 is not +0.0.

DIRECTORY defaults to numpy's own test data; exit status 1 when that holds no such files.
"""
from __future__ import annotations

import csv
import glob
import math
import os
import struct
import sys
from typing import Iterator, Optional

import numpy as np

import fpscope

PREFIX = "umath-validation-set-"


def default_directory() -> str:
    return os.path.join(os.path.dirname(np.__file__), "_core", "tests", "data")


def files(directory: str) -> list[str]:
    return sorted(glob.glob(os.path.join(directory, PREFIX + "*.csv")))


def bits_to_f32(text: str) -> float:
    return struct.unpack("<f", struct.pack("<I", int(text, 16)))[0]


def f32_lines(path: str) -> Iterator[tuple[float, float]]:
    """(input, expected output) of every float32 line of one file."""
    with open(path, newline="", encoding="utf-8") as f:
        for row in csv.reader(f):
            if row and row[0].strip() == "np.float32":
                yield bits_to_f32(row[1].strip()), bits_to_f32(row[2].strip())


def same(a: float, b: float) -> bool:
    """Equal as binary32 values: NaN matches NaN, and zeros match only with the same sign."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)


def correctly_rounded(op: str, x: float) -> float:
    """The binary32 result of op at x rounded to nearest from the exact value."""
    answer: Optional[fpscope.Midpoint] = fpscope.report(op, x)
    if answer is not None:
        return answer.rounded
    # No finite result: its kind (NaN or a signed infinity) is that of the binary64 function.
    with np.errstate(all="ignore"):
        return float(np.float32(getattr(np, op)(np.float64(x))))


def check_file(path: str) -> tuple[str, int, list[tuple[float, float, float]]]:
    """(function, float32 lines, [(input, expected, correctly rounded)] where they differ)."""
    op = os.path.basename(path)[len(PREFIX):-len(".csv")]
    lines, wrong = 0, []
    for x, expected in f32_lines(path):
        lines += 1
        right = correctly_rounded(op, x)
        if not same(expected, right):
            wrong.append((x, expected, right))
    return op, lines, wrong


def hexf(v: float) -> str:
    return v.hex() if math.isfinite(v) else repr(v)


def main(argv: list[str]) -> int:
    directory = argv[0] if argv else default_directory()
    paths = files(directory)
    if not paths:
        print(f"no {PREFIX}*.csv files in {directory}", file=sys.stderr)
        return 1
    for path in paths:
        op, lines, wrong = check_file(path)
        print(f"{op}: {lines} float32 lines, {len(wrong)} expected values not correctly rounded")
        for x, expected, right in wrong:
            print(f"    x={hexf(x)} expected {hexf(expected)} correctly rounded {hexf(right)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
