"""ULP-exact assertions for tests of numerical code."""
from __future__ import annotations

import math
from typing import Any, Optional, SupportsFloat, SupportsIndex, Union

from fpscope._core import ulp_distances
from fpscope._fenv import default_float_environment
from fpscope._floats import is_f32, to_format

_FloatLike = Union[SupportsFloat, SupportsIndex]


def _flatten(value: Any, name: str) -> tuple[Optional[list[float]], Optional[tuple[int, ...]]]:
    """(None, None) for a scalar; else the elements as floats and the shape (arrays are flattened)."""
    shape = getattr(value, "shape", None)
    if shape is not None and hasattr(value, "ravel"):
        shape = tuple(int(n) for n in shape)
        if shape == ():
            return None, None
        return [float(v) for v in value.ravel()], shape
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a float or a sequence of floats, not {type(value).__name__}")
    try:
        items = list(value)
    except TypeError:
        return None, None
    try:
        return [float(v) for v in items], (len(items),)
    except TypeError as e:
        raise TypeError(f"{name} must be a float or a sequence of floats: {e}") from None


def _index(flat: int, shape: tuple[int, ...]) -> str:
    if len(shape) == 1:
        return str(flat)
    coords = []
    for n in reversed(shape):
        flat, c = divmod(flat, n)
        coords.append(c)
    return ", ".join(str(c) for c in reversed(coords))


def _show(value: float, f32: bool) -> str:
    text = f"{value!r}  ({value.hex()})"
    if f32:
        narrowed = to_format(value, True)
        if narrowed != value:
            text += f"  -> f32 {narrowed!r}  ({narrowed.hex()})"
    return text


@default_float_environment
def assert_ulp_close(actual: Any, desired: Any, max_ulp: Union[int, float] = 1, dtype: str = "f64") -> None:
    """Assert that ``actual`` and ``desired`` are at most ``max_ulp`` floats apart in ``dtype``.

    Both may be floats, or sequences (lists, tuples, arrays) of equal length or shape; a float
    against a sequence is compared with every element. Distances are exact counts of the
    representable floats between the two values after rounding them to the dtype (the zeros
    count as one float, infinity is one step above the largest finite value). A NaN equals a
    NaN and nothing else.

    The ``AssertionError`` names the worst element (index, both values with ``repr`` and
    ``float.hex``, their distance) and how many elements exceed ``max_ulp``.
    """
    __tracebackhide__ = True  # pytest shows the caller's line, not this one
    f32 = is_f32(dtype)
    if isinstance(max_ulp, bool) or not isinstance(max_ulp, (int, float)) or not max_ulp >= 0:
        raise ValueError(f"max_ulp must be a non-negative number, not {max_ulp!r}")
    a, a_shape = _flatten(actual, "actual")
    d, d_shape = _flatten(desired, "desired")
    scalar = a is None and d is None
    if a is None:
        a = [float(actual)] * (len(d) if d is not None else 1)
        a_shape = d_shape
    if d is None:
        d = [float(desired)] * len(a)
        d_shape = a_shape
    if a_shape != d_shape:
        what = "lengths" if a_shape is not None and d_shape is not None and len(a_shape) == len(d_shape) == 1 \
            else "shapes"
        show = (lambda s: str(s[0])) if what == "lengths" else str
        raise AssertionError(f"{what} differ: actual has {show(a_shape)}, desired has {show(d_shape)}")
    shape = a_shape if a_shape is not None else (1,)

    distances = ulp_distances(a, d, dtype)
    worst = -1
    worst_key = -1.0
    exceeding = 0
    for i, dist in enumerate(distances):
        if dist is None:
            if math.isnan(a[i]) and math.isnan(d[i]):
                continue
            key = math.inf
        else:
            key = float(dist) if dist > max_ulp else -1.0
        if key < 0:
            continue
        exceeding += 1
        if key > worst_key:
            worst, worst_key = i, key
    if exceeding == 0:
        return

    dist = distances[worst]
    apart = "one is NaN" if dist is None else f"{dist} ulp apart"
    if scalar:
        head = f"not within {max_ulp} ulp ({'f32' if f32 else 'f64'}): {apart}"
        labels = ("actual", "desired")
    else:
        head = (f"not within {max_ulp} ulp ({'f32' if f32 else 'f64'}): {exceeding} of {len(a)} "
                f"elements differ by more; worst at index {_index(worst, shape)}: {apart}")
        at = _index(worst, shape)
        labels = (f"actual[{at}]", f"desired[{at}]")
    width = max(len(s) for s in labels)
    raise AssertionError("\n".join([
        head,
        f"  {labels[0]:<{width}} = {_show(a[worst], f32)}",
        f"  {labels[1]:<{width}} = {_show(d[worst], f32)}",
    ]))
