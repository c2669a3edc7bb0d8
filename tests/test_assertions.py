"""assert_ulp_close and ulp_distances on numpy arrays of any shape and memoryviews; the refusals."""
import array
import math
import re
import subprocess
import sys

import pytest

import fpscope
from fpscope import _core, assert_ulp_close

np = pytest.importorskip("numpy")


def shaped(shape, dtype):
    """Distinct values of the dtype, including both zeros, a subnormal and a NaN."""
    n = math.prod(shape)
    values = np.linspace(-3, 3, n).astype(dtype)
    values.flat[0], values.flat[n // 2], values.flat[-1] = -0.0, np.finfo(dtype).smallest_subnormal, np.nan
    return values.reshape(shape)


@pytest.mark.parametrize("shape", [(7,), (2, 3), (2, 3, 4), (1, 1, 5)])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_arrays_and_memoryviews_answer_as_their_flat_lists(shape, dtype):
    a = shaped(shape, dtype)
    b = np.nextafter(a, dtype(np.inf)) if a.size > 1 else a
    name = "f32" if dtype is np.float32 else "f64"
    want = _core.ulp_distances(a.ravel().tolist(), b.ravel().tolist(), name)
    for x, y in [(memoryview(a), memoryview(b)), (a.tolist() if a.ndim == 1 else memoryview(a), memoryview(b))]:
        assert fpscope.ulp_distances(x, y, name) == want
    # With a numpy array on either side: a uint64 array of its shape, which has no None for the NaN.
    last = np.unravel_index(a.size - 1, shape)
    where = str(int(last[0])) if len(shape) == 1 else str(tuple(int(i) for i in last))
    a0, b0 = np.where(np.isnan(a), 0, a), np.where(np.isnan(b), 0, b)
    want = np.array(want[:-1] + [0], dtype=np.uint64).reshape(shape)
    for x, y, x0, y0 in [(a, b, a0, b0), (a, memoryview(b), a0, memoryview(b0)),
                         (a.tolist() if a.ndim == 1 else a, b, a0.tolist() if a.ndim == 1 else a0, b0)]:
        with pytest.raises(ValueError, match=rf"NaN at index {re.escape(where)} has no ulp distance"):
            fpscope.ulp_distances(x, y, name)
        got = fpscope.ulp_distances(x0, y0, name)
        assert got.dtype == np.uint64 and got.shape == shape and (got == want).all()


def test_memoryviews_flatten_without_numpy(monkeypatch):
    monkeypatch.setitem(sys.modules, "numpy", None)  # as in a program that has not loaded numpy
    a = np.arange(6, dtype=np.float64).reshape(2, 3)
    assert fpscope.ulp_distances(memoryview(a), memoryview(a + 1)) == fpscope.ulp_distances(a, a + 1)
    with pytest.raises(AssertionError, match=r"worst at index \(1, 2\)"):
        assert_ulp_close(memoryview(a), memoryview(np.array([[0, 1, 2], [3, 4, 7.0]])), max_ulp=0)


def test_importing_fpscope_leaves_numpy_unloaded():
    # numpy is used when the program has it loaded, never imported: that costs a tenth of a second.
    code = "import sys, fpscope; fpscope.ulp_distances(memoryview(b'\\0' * 8).cast('d'), [0.0]); print('numpy' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.stdout.strip() == "False", done.stderr


def test_shapes_must_match_even_with_equal_sizes():
    with pytest.raises(ValueError, match=r"shape mismatch: \(2, 3\) vs \(3, 2\)"):
        fpscope.ulp_distances(np.zeros((2, 3)), np.zeros((3, 2)))
    with pytest.raises(ValueError, match="length mismatch: 2 vs 3"):
        fpscope.ulp_distances([1.0, 2.0], np.zeros(3))


@pytest.mark.parametrize("actual, desired, expect", [
    (np.float32([1, 1]), np.float32([1, 1]), "f32"),
    (np.float32(1), np.float32([1, 1]), "f32"),
    (memoryview(array.array("f", [1.0])), np.float32([1]), "f32"),
    (np.float32([1, 1]), [1.0, 1.0], "f64"),
    (np.float32([1, 1]), np.float64([1, 1]), "f64"),
    (1.0, 1.0, "f64"),
])
def test_dtype_comes_from_float32_on_both_sides(actual, desired, expect):
    # 1 and its binary32 successor: 1 ulp apart in f32, 2**29 in f64.
    up = np.nextafter(np.float32(1), np.float32(2))
    moved = np.asarray(actual, dtype=np.float32 if expect == "f32" else np.float64).copy()
    moved.flat[0] = up
    if isinstance(actual, memoryview):
        moved = memoryview(array.array("f", moved.tolist()))
    elif np.ndim(actual) == 0:
        moved = moved.dtype.type(up)
    if expect == "f64":
        with pytest.raises(AssertionError, match=r"\(f64\): .*536870912 ulp apart"):
            assert_ulp_close(moved, desired, max_ulp=1)
    else:
        assert_ulp_close(moved, desired, max_ulp=1)
        with pytest.raises(AssertionError, match=r"\(f32\): .*1 ulp apart"):
            assert_ulp_close(moved, desired, max_ulp=0)


def test_array_failures_name_the_index_as_a_tuple():
    desired = np.zeros((2, 3, 4))
    actual = desired.copy()
    actual[1, 0, 3] = 5e-324 * 3
    actual[0, 2, 1] = 5e-324
    with pytest.raises(AssertionError) as err:
        assert_ulp_close(actual, desired, max_ulp=0)
    lines = str(err.value).splitlines()
    assert lines[0] == ("not within 0 ulp (f64): 2 of 24 elements differ by more; worst at index (1, 0, 3): "
                        "3 ulp apart")
    assert lines[1].startswith("  actual[1, 0, 3]  = 1.5e-323")


@pytest.mark.parametrize("value, message", [
    ({1: 2.0}, "must be a float, a sequence or an array of floats, not dict"),
    ("1.0", "not str"),
    (b"\x00", "not bytes"),
])
@pytest.mark.parametrize("side", ["actual", "desired"])
def test_refusals(value, message, side):
    args = (value, [1.0]) if side == "actual" else ([1.0], value)
    with pytest.raises(TypeError, match=message) as err:
        assert_ulp_close(*args)
    assert str(err.value).startswith(side)


def test_a_mapping_never_passes_by_its_keys():
    with pytest.raises(TypeError):
        assert_ulp_close({1: 2.0}, {1: 3.0})


def ordered16(patterns):
    """The ordered view of 16-bit patterns, by plain integers: -0 and +0 both 0."""
    p = np.asarray(patterns, dtype=np.int64)
    return np.where(p & 0x8000, -(p & 0x7FFF), p)


def bf16_array(values):
    ml_dtypes = pytest.importorskip("ml_dtypes")
    return np.asarray(values, dtype=ml_dtypes.bfloat16)


# One inference rule: both sides of one format among float16, bfloat16 and float32 mean that format;
# anything else means binary64 (for float32 arrays ulp_distances used to count binary64 floats).
@pytest.mark.parametrize("make, expect", [
    (lambda v: np.float16(v), "f16"),
    (lambda v: memoryview(np.float16(v)), "f16"),
    (bf16_array, "bf16"),
    (lambda v: np.float32(v), "f32"),
    (lambda v: np.float64(v), "f64"),
])
def test_arrays_mean_their_own_format(make, expect):
    a, b = make([1.0, -0.0, 3.0, 65504.0]), make([1.0, 0.0, 3.03125, 65504.0])
    fmt = fpscope.formats.__dict__[expect]
    listed = lambda d: d.tolist() if isinstance(d, np.ndarray) else d  # memoryviews give lists
    assert listed(fpscope.ulp_distances(a, b)) == \
        fmt.ulp_distances(np.asarray(a, np.float64), np.asarray(b, np.float64))
    assert listed(fpscope.ulp_distances(a, [1.0, 0.0, 3.03125, 65504.0])) == \
        fpscope.ulp_distances(np.asarray(a, np.float64).tolist(), [1.0, 0.0, 3.03125, 65504.0], "f64")
    with pytest.raises(AssertionError, match=rf"\({expect}\): 1 of 4 elements differ by more; worst at index 2"):
        assert_ulp_close(a, b, max_ulp=0)


@pytest.mark.parametrize("dtype, view", [("f16", lambda p: p.view(np.float16)),
                                         ("bf16", lambda p: (p.astype(np.uint32) << 16).view(np.float32))])
def test_sixteen_bit_distances_are_counts_of_patterns(dtype, view):
    rng = np.random.default_rng(3)
    pa, pb = (rng.integers(0, 1 << 16, 2000, dtype=np.uint16) for _ in range(2))
    with np.errstate(invalid="ignore"):  # signalling NaN patterns
        a, b = view(pa).astype(np.float64), view(pb).astype(np.float64)
    want = np.abs(ordered16(pa) - ordered16(pb)).tolist()
    nan = np.isnan(a) | np.isnan(b)
    got = fpscope.ulp_distances(a.tolist(), b.tolist(), dtype)
    assert [g for g, n in zip(got, nan) if not n] == [w for w, n in zip(want, nan) if not n]
    assert all(g is None for g, n in zip(got, nan) if n)
    a, b = np.where(nan, 0.0, a), np.where(nan, 0.0, b)
    want = [0 if n else w for w, n in zip(want, nan)]
    assert fpscope.ulp_distances(a, b, dtype).tolist() == want
    worst = want.index(max(want))
    with pytest.raises(AssertionError, match=rf"\({dtype}\): \d+ of 2000 elements differ by more; worst at index "
                                             rf"\({worst // 50}, {worst % 50}\): {max(want)} ulp apart"):
        assert_ulp_close(a.reshape(40, 50), b.reshape(40, 50), max_ulp=1, dtype=dtype)
