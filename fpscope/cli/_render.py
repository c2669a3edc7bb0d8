"""The output of the ``fpscope`` command: aligned tables, JSON, and the text forms of floats."""
from __future__ import annotations

import json
import math
from typing import Any, Sequence

from fpscope._floats import bits, hexfloat, is_f32


def dtype_name(dtype: str) -> str:
    return "f32" if is_f32(dtype) else "f64"


def bits_text(value: float, f32: bool) -> str:
    return f"0x{bits(value, f32):0{8 if f32 else 16}x}"


def json_float(value: float) -> Any:
    return value if math.isfinite(value) else repr(value)


def float_fields(name: str, value: float) -> dict[str, Any]:
    return {name: json_float(value), f"{name}_hex": hexfloat(value)}


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


def shown(value: float) -> str:
    """repr of a float with its dtype-free C99 hex form, for one-off lines."""
    return f"{value!r} ({hexfloat(value)})"


def report_fields(answer: Any) -> dict[str, Any]:
    return {**float_fields("rounded", answer.rounded), "distance_ulp": answer.distance_ulp,
            "exact_above": answer.exact_above, "exact": answer.exact}
