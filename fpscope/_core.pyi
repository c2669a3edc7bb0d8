"""Native core: exact answers about IEEE 754 binary32 ("f32") and binary64 ("f64") floats."""
from typing import Any, Callable, Optional, Sequence, SupportsFloat, SupportsIndex, TypedDict, TypeVar, Union

# Floats are read like float() reads them (also ints and objects with __float__ or __index__);
# integer arguments take int or anything with __index__.
_Float = Union[SupportsFloat, SupportsIndex]
_T = TypeVar("_T")

__all__: list[str]
__version__: str
UNARY_OPS: list[str]

def ulp_distance(a: _Float, b: _Float, dtype: str = "f64") -> Optional[int]: ...
def ulp_distances(a: Sequence[_Float], b: Sequence[_Float], dtype: str = "f64") -> list[Optional[int]]: ...
def ordered(x: _Float, dtype: str = "f64") -> int: ...
def next_up(x: _Float, dtype: str = "f64") -> float: ...
def next_down(x: _Float, dtype: str = "f64") -> float: ...
def spacing(x: _Float, dtype: str = "f64") -> float: ...
def special(dtype: str = "f32") -> list[tuple[str, float]]: ...
def neighbours(x: _Float, k: SupportsIndex = 1, dtype: str = "f64") -> list[float]: ...
def binade_edges(min_exp: SupportsIndex, max_exp: SupportsIndex, dtype: str = "f64") -> list[float]: ...
def all_floats(lo: _Float, hi: _Float, dtype: str = "f32", limit: SupportsIndex = 1000000) -> list[float]: ...
def midpoint(
    op: str, x: _Float, dtype: str = "f32", y: Optional[_Float] = None
) -> Optional[tuple[float, float, bool, bool]]: ...
def knife_edges_raw(
    op: str,
    lo: _Float,
    hi: _Float,
    tol_ulp: _Float = 1e-3,
    dtype: str = "f32",
    limit: SupportsIndex = 100,
    stride: SupportsIndex = 1,
    max_evals: SupportsIndex = 100000000,
) -> tuple[list[tuple[float, float, float, bool]], int, bool]: ...
def sqrt_cr(x: _Float, dtype: str = "f64") -> float: ...

class PanicException(BaseException):
    """Raised when fpscope's native code fails an internal invariant."""

def _with_default_float_environment(fn: Callable[..., _T], /, *args: Any, **kwargs: Any) -> _T: ...

# Private: forces the path of new scans ("scalar", "sse2", "avx2", "avx512") and returns the previous one;
# without a name, returns the current one. For the tests.
def _scan_path(name: str = "") -> str: ...

# Private, for the package: midpoint and knife_edges_raw for every operation of _OPERATIONS, public or not,
# by canonical name or alias. y is the second argument of an operation of two (refused beside a unary
# one); a scan of such an operation walks its first argument over [lo, hi] with y fixed.
def _midpoint(
    op: str, x: _Float, dtype: str = "f32", y: Optional[_Float] = None
) -> Optional[tuple[float, float, bool, bool]]: ...
def _knife_edges(
    op: str,
    lo: _Float,
    hi: _Float,
    tol_ulp: _Float = 1e-3,
    dtype: str = "f32",
    limit: SupportsIndex = 100,
    stride: SupportsIndex = 1,
    max_evals: SupportsIndex = 100000000,
    y: Optional[_Float] = None,
) -> tuple[list[tuple[float, float, float, bool]], int, bool]: ...

# Private, for the package: the core's vocabulary, read instead of repeated.
class _Operation(TypedDict):
    arity: int  # number of float arguments
    exact: bool  # decided by an exact oracle (integer residuals), never through the platform's maths library
    public: bool  # taken by midpoint and knife_edges_raw too, not only by _midpoint and _knife_edges

class _Format(TypedDict):
    precision: int  # significand bits, the hidden bit included
    emin: int  # exponent of the smallest normal
    emax: int  # exponent of the largest finite
    bits: int  # storage width

_OPERATIONS: dict[str, _Operation]  # canonical name -> properties; those of two arguments too
_ALIASES: dict[str, str]  # other name -> canonical name, public or not
_FORMATS: dict[str, _Format]  # "f32", "f64"
_ORACLE_VERSION: int  # raised whenever the answer of any oracle could change
_SIGNATURES: dict[str, str]  # every function, private ones too, in the order of __all__ -> its text signature

# Private, for accuracy audits (fpscope._audit): buffers are passed as addresses of contiguous arrays that
# the caller keeps alive and has checked, functions as addresses of C functions float(float).
# (inputs, correctly rounded, misrounded, special, histogram, [(binade, max error)],
# [(position, x, y, ordered x, error, expected)], [(position, x, y, expected)], [(position, x, y) uncertain])
def _audit_f32(
    op: str, n: SupportsIndex, xs: SupportsIndex = 0, ys: SupportsIndex = 0, function: SupportsIndex = 0,
    lo: _Float = 0.0, step: SupportsIndex = 1, worst: SupportsIndex = 16,
) -> tuple[
    int, int, int, int, list[int], list[tuple[int, float]], list[tuple[int, float, float, int, float, float]],
    list[tuple[int, float, float, float]], list[tuple[int, float, float]],
]: ...
def _audit_pairs_f32(
    op: str, n: SupportsIndex, xs: SupportsIndex, seconds: SupportsIndex, ys: SupportsIndex,
    worst: SupportsIndex = 16,
) -> tuple[
    int, int, int, int, list[int], list[tuple[int, float]], list[tuple[int, float, float, int, float, float]],
    list[tuple[int, float, float, float]], list[tuple[int, float, float]],
]: ...
def _audit_fill(out: SupportsIndex, lo: _Float, step: SupportsIndex, n: SupportsIndex, dtype: str = "f32") -> bool: ...
def _audit_call(
    function: SupportsIndex, xs: SupportsIndex, ys: SupportsIndex, n: SupportsIndex, dtype: str = "f32",
    seconds: SupportsIndex = 0,
) -> bool: ...
# Private, for the 16-bit formats (fpscope._small): ys[i] = the binary64 value of op at xs[i], float64 buffers.
def _evaluate_f64(op: str, xs: SupportsIndex, ys: SupportsIndex, n: SupportsIndex) -> bool: ...
# Private, for fpscope.ulp_distances on arrays: out[i] = the distance of bit patterns a[i] and b[i] (width
# bytes each, +inf's pattern inf) into a uint64 buffer; the first index holding a NaN, or n.
def _ulp_distances_array(
    a: SupportsIndex, b: SupportsIndex, out: SupportsIndex, n: SupportsIndex, width: SupportsIndex, inf: SupportsIndex
) -> int: ...
