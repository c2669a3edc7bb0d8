"""The output of the ``fpscope`` command, written once for every command: aligned tables, JSON and
CSV, the text and JSON forms of floats, the hits of a scan, and where the core judges otherwise."""
from __future__ import annotations

import argparse
import csv
import json
import math
import sys
from typing import Any, Iterable, Optional, Sequence

from fpscope import Hit, Midpoint, Scan
from fpscope._floats import bits, hexfloat, to_format
from fpscope._formats import F32, F64, Format, resolve

HIT_CSV_HEADER = ("op", "x", "x_hex", "rounded", "rounded_hex", "distance_ulp", "exact_above")


# ---------------------------------------------------------------- floats and formats

def dtype_name(dtype: str) -> str:
    """``"f32"``, ``"f64"``, ``"f16"`` or ``"bf16"``, whichever name of the format was given; an
    unknown name is the package's ValueError."""
    return resolve(dtype).name


def is_core(fmt: Format) -> bool:
    """Whether the core answers for the format itself (binary32, binary64)."""
    return fmt is F32 or fmt is F64


def in_format(value: float, fmt: Format) -> float:
    """``value`` rounded to the format, to nearest even (binary64 values and NaNs pass unchanged)."""
    return to_format(value, fmt is F32) if is_core(fmt) else fmt.round_to(value)


def bits_text(value: float, fmt: Format) -> str:
    """The bit pattern of a float of the format, in hex, as wide as the format."""
    pattern = bits(value, fmt is F32) if is_core(fmt) else fmt._round(value)
    return f"0x{pattern:0{fmt.bits // 4}x}"


def json_float(value: float) -> Any:
    """A float for JSON: the number, or "inf", "-inf", "nan", which JSON has no numbers for."""
    return value if math.isfinite(value) else repr(value)


def float_fields(name: str, value: float) -> dict[str, Any]:
    return {name: json_float(value), f"{name}_hex": hexfloat(value)}


def shown(value: float) -> str:
    """repr of a float with its dtype-free C99 hex form, for one-off lines."""
    return f"{value!r} ({hexfloat(value)})"


# ---------------------------------------------------------------- forms of output

def print_json(obj: Any) -> None:
    print(json.dumps(obj, indent=2, allow_nan=False))


def table(headers: Sequence[str], rows: Sequence[Sequence[str]], right: Sequence[int] = ()) -> None:
    """Prints rows in columns separated by two blanks; column numbers in ``right`` align right."""
    widths = [max([len(h)] + [len(r[i]) for r in rows]) for i, h in enumerate(headers)]

    def line(cells: Sequence[str]) -> str:
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()

    print(line(headers))
    for r in rows:
        print(line(r))


def progress(args: argparse.Namespace) -> bool:
    """Whether a scan draws its progress bar: as ``--progress``/``--no-progress`` say, else when
    stderr is a terminal and the output is not for a machine (JSON, CSV)."""
    if args.progress is not None:
        return bool(args.progress)
    return sys.stderr is not None and sys.stderr.isatty() and not (args.json or getattr(args, "csv", False))


# ---------------------------------------------------------------- hits

def hit_fields(hit: Hit) -> dict[str, Any]:
    return {**float_fields("x", hit.x), **float_fields("rounded", hit.rounded), "distance_ulp": hit.distance_ulp,
            "exact_above": hit.exact_above}


def print_hits(hits: Sequence[Hit], *, ranked: bool = False, differing: Iterable[float] = ()) -> None:
    """The hits as a table; ``ranked`` numbers them from 1, ``differing`` marks the inputs where
    the core judges otherwise in a last column."""
    marked = set(differing)
    headers = ["x", "hex", "rounded", "hex", "distance_ulp", "exact result"]
    rows = [[repr(h.x), hexfloat(h.x), repr(h.rounded), hexfloat(h.rounded), repr(h.distance_ulp),
             "above rounded" if h.exact_above else "below rounded"] for h in hits]
    if marked:
        headers.append("core")
        for h, row in zip(hits, rows):
            row.append("* differs" if h.x in marked else "")
    if ranked:
        headers.insert(0, "#")
        for i, row in enumerate(rows):
            row.insert(0, str(i + 1))
    table(headers, rows, right=[0] if ranked else [])


def print_hits_csv(scans: Iterable[tuple[str, Sequence[Hit]]]) -> None:
    """One line per hit of each (op, hits), after a line of column names."""
    out = csv.writer(sys.stdout, lineterminator="\n")
    out.writerow(HIT_CSV_HEADER)
    for op, hits in scans:
        for h in hits:
            out.writerow([op, repr(h.x), hexfloat(h.x), repr(h.rounded), hexfloat(h.rounded), repr(h.distance_ulp),
                          str(h.exact_above).lower()])


def scan_title(op: str, lo: float, hi: float, dtype: str, tol: float, stride: int) -> str:
    return f"{op} over [{lo!r}, {hi!r}] in {dtype}, tolerance {tol!r} ulp" + (f", stride {stride}" if stride > 1 else "")


def hit_count(scan: Scan) -> str:
    return f"{len(scan.hits)} hit{'s' if len(scan.hits) != 1 else ''}, {scan.evaluated} inputs evaluated"


# ---------------------------------------------------------------- where the core judges otherwise

def report_fields(answer: Midpoint) -> dict[str, Any]:
    return {**float_fields("rounded", answer.rounded), "distance_ulp": answer.distance_ulp,
            "exact_above": answer.exact_above, "exact": answer.exact}


def core_differs(certified: Optional[Midpoint], core: Optional[Midpoint], tol: Optional[float] = None) -> bool:
    """Whether the core's own judgement differs from the certified answer in what it decides:
    whether there is a report, the rounded value (its sign included), the side or exactness, and,
    for a hit of a scan at tolerance ``tol``, whether the input is a hit at all. Its distance
    always differs a little, and that alone is no difference."""
    if certified is None or core is None:
        return certified is not core
    if tol is not None and not core.distance_ulp < tol:
        return True
    return (certified.rounded, certified.exact_above, certified.exact) != (core.rounded, core.exact_above, core.exact) \
        or math.copysign(1.0, certified.rounded) != math.copysign(1.0, core.rounded)


def core_judgement(core: Optional[Midpoint]) -> str:
    """What the core alone answers, for the line marked ``*``."""
    if core is None:
        return "no report"
    if core.exact:
        return f"rounded {core.rounded!r}, claimed exact"
    return f"rounded {core.rounded!r}, exact result {'above' if core.exact_above else 'below'}, {core.distance_ulp!r} ulp"
