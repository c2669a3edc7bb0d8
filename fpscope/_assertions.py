"""ULP-exact assertions for tests of numerical code."""
from __future__ import annotations

import math
import sys
from collections.abc import Mapping
from typing import Any, Optional, Sequence, SupportsFloat, SupportsIndex, Union

from fpscope import _core
from fpscope._fenv import default_float_environment
from fpscope._floats import to_format
from fpscope._formats import F32, F64, Format, format_of, resolve

_FloatLike = Union[SupportsFloat, SupportsIndex]



def _nested(items: list[Any]) -> list[Any]:
    """A memoryview's nested lists, flattened in row-major order (used without numpy)."""
    if not items or not isinstance(items[0], list):
        return items
    return [v for row in items for v in _nested(row)]


def _array_items(value: Any) -> Optional[tuple[list[Any], tuple[int, ...]]]:
    """The elements of an array or memoryview of any shape in row-major order, and its shape;
    None for anything else (and for a zero-dimensional array, which is a scalar)."""
    if isinstance(value, memoryview):
        shape = tuple(value.shape or ())
        if not shape:
            return None
        # numpy flattens a memoryview in one step when the program has loaded it; importing it here
        # would cost every `import fpscope` a tenth of a second and start its thread pools.
        np: Any = sys.modules.get("numpy")
        if np is not None:
            return np.asarray(value).ravel().tolist(), shape
        return _nested(value.tolist()), shape
    dims: Any = getattr(value, "shape", None)
    if dims is None or not hasattr(value, "ravel"):
        return None
    shape = tuple(int(n) for n in dims)
    if shape == ():
        return None
    flat = value.ravel()
    return (flat.tolist() if hasattr(flat, "tolist") else list(flat)), shape


def _flatten(value: Any, name: str) -> tuple[Optional[list[float]], Optional[tuple[int, ...]]]:
    """(None, None) for a scalar; else the elements as floats and the shape (arrays are flattened)."""
    if isinstance(value, (str, bytes, bytearray)) or isinstance(value, Mapping):
        raise TypeError(f"{name} must be a float, a sequence or an array of floats, not {type(value).__name__}")
    array = _array_items(value)
    if array is not None:
        items, shape = array
    else:
        if getattr(value, "shape", None) == ():
            return None, None
        try:
            items = list(value)
        except TypeError:
            return None, None
        shape = (len(items),)
    try:
        return [float(v) for v in items], shape
    except TypeError as e:
        raise TypeError(f"{name} must be a float, a sequence or an array of floats: {e}") from None


def inferred_dtype(a: Any, b: Any) -> str:
    """The dtype both sides mean when none is given: float16, bfloat16 or float32 when both are
    arrays, scalars or memoryviews of that format; "f64" otherwise."""
    def of(value: Any) -> Optional[Format]:
        # Only numpy's values have a dtype to look at, and only once the program has loaded numpy.
        return format_of(value) if isinstance(value, memoryview) or sys.modules.get("numpy") else None

    fmt = of(a)
    return fmt.name if fmt is not None and fmt is not F64 and fmt is of(b) else "f64"


def ulp_distances(a: Sequence[_FloatLike], b: Sequence[_FloatLike], dtype: Optional[str] = None
                  ) -> list[Optional[int]]:
    """Elementwise ulp_distance over two equally long sequences.

    numpy arrays of any shape and memoryviews are taken element by element in row-major order
    (the answer is one flat list); two arrays must have the same shape. ``dtype`` defaults to the
    format of the arrays when both are float16, bfloat16 or float32 arrays (of the same format),
    else to "f64". In binary32 and binary64 everything else goes to the core's ``ulp_distances``
    as it is, with its answers and errors; "f16" and "bf16" are answered by `fpscope.formats`.
    """
    fmt = resolve(inferred_dtype(a, b) if dtype is None else dtype)
    if fmt is not F32 and fmt is not F64:
        return fmt.ulp_distances(a, b)
    dtype = fmt.name
    a_array, b_array = _array_items(a), _array_items(b)
    if a_array is not None and b_array is not None and a_array[1] != b_array[1]:
        raise ValueError(f"shape mismatch: {a_array[1]} vs {b_array[1]}")
    return _core.ulp_distances(a if a_array is None else a_array[0], b if b_array is None else b_array[0], dtype)


def _index(flat: int, shape: tuple[int, ...]) -> tuple[str, str]:
    """The element's index as shown in the message and inside brackets: ``3`` and ``3`` for one
    dimension, ``(1, 2)`` and ``1, 2`` for more."""
    if len(shape) == 1:
        return str(flat), str(flat)
    coords = []
    for n in reversed(shape):
        flat, c = divmod(flat, n)
        coords.append(c)
    inner = ", ".join(str(c) for c in reversed(coords))
    return f"({inner})", inner


def _show(value: float, fmt: Format) -> str:
    text = f"{value!r}  ({value.hex()})"
    if fmt is not F64:
        narrowed = to_format(value, True) if fmt is F32 else fmt.round_to(value)
        if narrowed != value and not (math.isnan(value) and math.isnan(narrowed)):
            text += f"  -> {fmt.name} {narrowed!r}  ({narrowed.hex()})"
    return text


@default_float_environment
def assert_ulp_close(actual: Any, desired: Any, max_ulp: Union[int, float] = 1,
                     dtype: Optional[str] = None) -> None:
    """Assert that ``actual`` and ``desired`` are at most ``max_ulp`` floats apart in ``dtype``.

    Both may be floats, or sequences (lists, tuples, numpy arrays of any shape, memoryviews) of
    equal length or shape; a float against a sequence is compared with every element. Distances
    are exact counts of the representable floats between the two values after rounding them to
    the dtype (the zeros count as one float, infinity is one step above the largest finite
    value). A NaN equals a NaN and nothing else.

    ``dtype`` defaults to the format of both sides when both hold float16, bfloat16 or float32
    values of one format (numpy arrays or scalars, ml_dtypes bfloat16 arrays, memoryviews of C
    halves or floats) and to ``"f64"`` otherwise; any of the names "f32", "f64", "f16", "bf16"
    (and their aliases) may be given. Strings and mappings are refused with ``TypeError``.

    The ``AssertionError`` names the worst element (index, as a tuple for arrays of more than
    one dimension; both values with ``repr`` and ``float.hex``; their distance) and how many
    elements exceed ``max_ulp``.
    """
    __tracebackhide__ = True  # pytest shows the caller's line, not this one
    fmt = resolve(inferred_dtype(actual, desired) if dtype is None else dtype)
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

    distances = _core.ulp_distances(a, d, fmt.name) if fmt in (F32, F64) else fmt.ulp_distances(a, d)
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
        head = f"not within {max_ulp} ulp ({fmt.name}): {apart}"
        labels = ("actual", "desired")
    else:
        head = (f"not within {max_ulp} ulp ({fmt.name}): {exceeding} of {len(a)} "
                f"elements differ by more; worst at index {_index(worst, shape)[0]}: {apart}")
        at = _index(worst, shape)[1]
        labels = (f"actual[{at}]", f"desired[{at}]")
    width = max(len(s) for s in labels)
    raise AssertionError("\n".join([
        head,
        f"  {labels[0]:<{width}} = {_show(a[worst], fmt)}",
        f"  {labels[1]:<{width}} = {_show(d[worst], fmt)}",
    ]))
