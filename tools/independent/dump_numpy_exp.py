"""Writes numpy's float32 exp of binary32 inputs to stdout, as raw binary32, in the order check.c reads them:
the ordered view from -inf to +inf (in chunks of 2^20 from the first, as an audit calls numpy), then -0.0.
Uses numpy only, never the package.

    python3 dump_numpy_exp.py [--from S] [--limit N] | ./check exp stdin [--from S] [--limit N]

The same --from and --limit on both sides keep them in step; a reader that stops early ends the dump
quietly.
"""
import argparse
import os
import sys

import numpy as np

FIRST = -2139095040  # ordered value of -inf
ALL = 4278190082  # every non-NaN binary32 value, then -0.0 again
CHUNK = 1 << 20


def floats(start, stop):
    """The inputs at positions [start, stop) of the order: ordered values from -inf, -0.0 last."""
    k = np.arange(FIRST + start, FIRST + min(stop, ALL - 1), dtype=np.int64)
    bits = np.where(k < 0, 0x80000000 | -k, k).astype(np.uint32).view(np.float32)
    return np.append(bits, np.float32(-0.0)) if stop >= ALL else bits


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--from", dest="first", type=int, default=0, help="first input position")
    parser.add_argument("--limit", type=int, default=ALL, help="number of inputs")
    args = parser.parse_args()
    if not 0 <= args.first <= ALL or args.limit < 0:
        parser.error("--from must lie in [0, 4278190082] and --limit must not be negative")
    stop = min(args.first + args.limit, ALL)
    out = sys.stdout.buffer
    try:
        with np.errstate(all="ignore"):
            for start in range(args.first, stop, CHUNK):
                out.write(np.exp(floats(start, min(start + CHUNK, stop))).astype(np.float32).tobytes())
        out.flush()
    except BrokenPipeError:
        # The reader has what it wanted; keep the interpreter from reporting the closed pipe at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


if __name__ == "__main__":
    main()
