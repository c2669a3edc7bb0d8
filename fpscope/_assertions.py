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


def _listed(a: Any, b: Any, fmt: Format) -> list[Optional[int]]:
    """The distances as a list, None for a NaN: arrays and memoryviews of any shape are flattened in
    row-major order (two of them must have the same shape), everything else is the core's to take or
    refuse in binary32 and binary64, and `fpscope.formats`' in the 16-bit formats."""
    if fmt is not F32 and fmt is not F64:
        return fmt.ulp_distances(a, b)
    a_array, b_array = _array_items(a), _array_items(b)
    if a_array is not None and b_array is not None and a_array[1] != b_array[1]:
        raise ValueError(f"shape mismatch: {a_array[1]} vs {b_array[1]}")
    return _core.ulp_distances(a if a_array is None else a_array[0], b if b_array is None else b_array[0], fmt.name)


def _flat_patterns(np: Any, array: Any, fmt: Format) -> Any:
    """The bit patterns of a float array (float16, bfloat16, float32, float64) in ``fmt``, flat and
    contiguous, in the unsigned type of the format's width: an array of the format as it is, any
    other rounded to the format to nearest, ties to even (every such float is a binary64 value).
    None for any other array. Call it in the default float environment (numpy's casts obey it)."""
    unsigned = f"uint{fmt.bits}"
    if not array.dtype.isnative:  # the patterns are read in the machine's byte order
        array = array.astype(array.dtype.newbyteorder("="))
    if format_of(array) is fmt:
        return np.ravel(array).view(unsigned)
    if not (array.dtype.name == "bfloat16" or array.dtype.kind == "f" and array.dtype.itemsize <= 8):
        return None
    if fmt is F64 or fmt is F32:
        with np.errstate(all="ignore"):  # past binary32's range a value rounds to inf, as in the core
            return np.ravel(array.astype(fmt.numpy_name)).view(unsigned)
    return fmt._round_float64(np.ravel(array.astype(np.float64))).astype(unsigned)


def _kernel(np: Any, pa: Any, pb: Any, fmt: Format) -> tuple[Any, int]:
    """The distances (a flat uint64 array) of two flat pattern arrays of ``fmt``, and the first index
    where either side holds a NaN (the length when none does; the distance there is meaningless)."""
    out = np.empty(pa.size, dtype=np.uint64)
    first = _core._ulp_distances_array(pa.ctypes.data, pb.ctypes.data, out.ctypes.data, pa.size, fmt.bits // 8,
                                       fmt._inf)
    return out, first


def _no_nan(first: int, shape: tuple[int, ...]) -> ValueError:
    return ValueError(f"a NaN at index {_index(first, shape)[0]} has no ulp distance, and a uint64 array no None "
                      "for it: leave the NaNs out, or pass lists to get None")


@default_float_environment
def _array_distances(np: Any, a: Any, b: Any, fmt: Format) -> Any:
    """`ulp_distances` with a numpy array on either side: a uint64 array of the array's shape."""
    a = np.asarray(a) if isinstance(a, memoryview) else a
    b = np.asarray(b) if isinstance(b, memoryview) else b
    arrays = [v for v in (a, b) if isinstance(v, np.ndarray)]
    if len(arrays) == 2 and a.shape != b.shape:
        raise ValueError(f"shape mismatch: {a.shape} vs {b.shape}")
    shape = tuple(int(n) for n in arrays[0].shape)
    pa = _flat_patterns(np, a, fmt) if isinstance(a, np.ndarray) else None
    pb = _flat_patterns(np, b, fmt) if isinstance(b, np.ndarray) else None
    if pa is not None and pb is not None:
        out, first = _kernel(np, pa, pb, fmt)
        if first < out.size:
            raise _no_nan(first, shape)
        return out.reshape(shape)
    # Integer and object arrays, and a sequence beside an array (paired with its elements in row-major
    # order): the answers and the refusals of the lists.
    listed = _listed(np.ravel(a) if isinstance(a, np.ndarray) else a,
                     np.ravel(b) if isinstance(b, np.ndarray) else b, fmt)
    if None in listed:
        raise _no_nan(listed.index(None), shape)
    return np.array(listed, dtype=np.uint64).reshape(shape)


def ulp_distances(a: Sequence[_FloatLike], b: Sequence[_FloatLike], dtype: Optional[str] = None) -> Any:
    """Elementwise ulp_distance over two equally long sequences, or two arrays of the same shape.

    With a numpy array on either side the answer is a numpy ``uint64`` array of that array's shape
    (a zero-dimensional one for two zero-dimensional arrays); shapes are never broadcast, and a
    sequence beside an array pairs with its elements in row-major order. A NaN on either side has
    no distance and a ``uint64`` array no ``None`` to say so: it is refused with ``ValueError``
    naming the first index that holds one. Without a numpy array (sequences, memoryviews) the
    answer is a list, with ``None`` where either value is NaN; memoryviews of any shape are taken
    in row-major order. ``dtype`` defaults to the format of the arrays when both are float16,
    bfloat16 or float32 arrays (of the same format), else to "f64". Elements are rounded to the
    dtype to nearest, ties to even, from their value; in binary32 and binary64 lists go to the
    core's ``ulp_distances`` as they are, with its answers and errors, and "f16" and "bf16" are
    answered by `fpscope.formats`.
    """
    fmt = resolve(inferred_dtype(a, b) if dtype is None else dtype)
    np: Any = sys.modules.get("numpy")  # a numpy array exists only once the program has loaded numpy
    if np is not None and (isinstance(a, np.ndarray) or isinstance(b, np.ndarray)):
        return _array_distances(np, a, b, fmt)
    return _listed(a, b, fmt)


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
    np: Any = sys.modules.get("numpy")
    if np is not None and (isinstance(actual, np.ndarray) or isinstance(desired, np.ndarray)) \
            and _assert_arrays(np, actual, desired, max_ulp, fmt):
        return
    a, a_shape = _flatten(actual, "actual")
    d, d_shape = _flatten(desired, "desired")
    scalar = a is None and d is None
    if a is None:
        a = [float(actual)] * (len(d) if d is not None else 1)
        a_shape = d_shape
    if d is None:
        d = [float(desired)] * len(a)
        d_shape = a_shape
    _check_shapes(a_shape, d_shape)
    shape = a_shape if a_shape is not None else (1,)

    distances = _core.ulp_distances(a, d, fmt.name) if fmt in (F32, F64) else fmt.ulp_distances(a, d)
    # Keys are exact integers: distances past 2**53 that differ can round to one float. A NaN beside a
    # number is worse than any distance.
    worst = -1
    worst_key = -1
    exceeding = 0
    for i, dist in enumerate(distances):
        if dist is None:
            if math.isnan(a[i]) and math.isnan(d[i]):
                continue
            key = 1 << 64
        else:
            key = dist if dist > max_ulp else -1
        if key < 0:
            continue
        exceeding += 1
        if key > worst_key:
            worst, worst_key = i, key
    if exceeding == 0:
        return
    raise _failure(fmt, max_ulp, scalar, exceeding, shape, worst, distances[worst], a[worst], d[worst])


def _check_shapes(a_shape: Optional[tuple[int, ...]], d_shape: Optional[tuple[int, ...]]) -> None:
    if a_shape != d_shape:
        what = "lengths" if a_shape is not None and d_shape is not None and len(a_shape) == len(d_shape) == 1 \
            else "shapes"
        show = (lambda s: str(s[0])) if what == "lengths" else str
        raise AssertionError(f"{what} differ: actual has {show(a_shape)}, desired has {show(d_shape)}")


def _failure(fmt: Format, max_ulp: Union[int, float], scalar: bool, exceeding: int, shape: tuple[int, ...],
             worst: int, dist: Optional[int], actual: float, desired: float) -> AssertionError:
    """The failure of `assert_ulp_close`: its worst element (flat index ``worst``), its distance (None
    when one side is NaN) and values, and how many of the elements exceed ``max_ulp``."""
    apart = "one is NaN" if dist is None else f"{dist} ulp apart"
    if scalar:
        head = f"not within {max_ulp} ulp ({fmt.name}): {apart}"
        labels = ("actual", "desired")
    else:
        head = (f"not within {max_ulp} ulp ({fmt.name}): {exceeding} of {math.prod(shape)} "
                f"elements differ by more; worst at index {_index(worst, shape)[0]}: {apart}")
        at = _index(worst, shape)[1]
        labels = (f"actual[{at}]", f"desired[{at}]")
    width = max(len(s) for s in labels)
    return AssertionError("\n".join([
        head,
        f"  {labels[0]:<{width}} = {_show(actual, fmt)}",
        f"  {labels[1]:<{width}} = {_show(desired, fmt)}",
    ]))


def _assert_arrays(np: Any, actual: Any, desired: Any, max_ulp: Union[int, float], fmt: Format) -> bool:
    """`assert_ulp_close` in one pass of the native kernel when each side is a float array or a
    float: True when every element is close enough, AssertionError when one is not, False when a
    side is anything else (lists, memoryviews, integer arrays), for the general path to answer."""
    __tracebackhide__ = True

    def side(value: Any) -> Any:
        if isinstance(value, np.ndarray):
            return value if value.ndim else None
        return value if isinstance(value, (float, int)) and not isinstance(value, bool) \
            or isinstance(value, np.floating) else None

    a, d = side(actual), side(desired)
    if a is None or d is None or not isinstance(a, np.ndarray) and not isinstance(d, np.ndarray):
        return False
    if isinstance(a, np.ndarray) and isinstance(d, np.ndarray):
        _check_shapes(tuple(a.shape), tuple(d.shape))
    shape = tuple(int(n) for n in (a if isinstance(a, np.ndarray) else d).shape)
    # A float beside an array is compared with every element, as a float64 array of its value.
    a = a if isinstance(a, np.ndarray) else np.full(shape, float(a))
    d = d if isinstance(d, np.ndarray) else np.full(shape, float(d))
    pa, pd = _flat_patterns(np, a, fmt), _flat_patterns(np, d, fmt)
    if pa is None or pd is None:
        return False
    distances, first_nan = _kernel(np, pa, pd, fmt)
    # dist > max_ulp for an integer dist is dist > floor(max_ulp), compared exactly in uint64.
    limit = math.floor(max_ulp) if max_ulp < 2**64 else 2**64 - 1
    exceed = distances > np.uint64(limit)
    lonely = None  # where exactly one side is NaN: the worst of all
    if first_nan < distances.size:
        magnitude = (1 << (fmt.bits - 1)) - 1
        nan_a, nan_d = (pa & magnitude) > fmt._inf, (pd & magnitude) > fmt._inf
        exceed &= ~(nan_a | nan_d)
        lonely = nan_a != nan_d
        exceed |= lonely
    exceeding = int(np.count_nonzero(exceed))
    if exceeding == 0:
        return True
    if lonely is not None and lonely.any():
        worst, dist = int(np.argmax(lonely)), None
    else:
        worst = int(np.argmax(np.where(exceed, distances, 0)))
        dist = int(distances[worst])
    raise _failure(fmt, max_ulp, False, exceeding, shape, worst, dist,
                   float(np.ravel(a)[worst]), float(np.ravel(d)[worst]))
