"""Every scan path (scalar, and the pre-filter on each instruction set the processor has) gives the same scans."""
import math
import platform
import re
import struct
from pathlib import Path

import pytest
from hypothesis import given, settings, strategies as st

from fpscope import _core
from fpscope._certify import LIBRARY_OPS
from fpscope._scan import certified_scan
from fpscope._core import knife_edges_raw

INF, NAN = math.inf, math.nan
NAMES = ["scalar", "sse2", "avx2", "avx512"]


def available_paths():
    current = _core._scan_path()
    found = []
    for name in NAMES:
        try:
            _core._scan_path(name)
        except ValueError:
            continue
        found.append(name)
    _core._scan_path(current)
    return found


PATHS = available_paths()
VECTOR_PATHS = [p for p in PATHS if p != "scalar"]


@pytest.fixture(autouse=True)
def restore_path():
    current = _core._scan_path()
    yield
    _core._scan_path(current)


def shifted(x, k, dtype):
    """The float k positions above x in the dtype's order (k may be negative)."""
    code, word, sign = ("<f", "<I", 1 << 31) if dtype == "f32" else ("<d", "<Q", 1 << 63)
    top = _core.ordered(INF, dtype)
    o = max(-top, min(top, _core.ordered(x, dtype) + k))
    return struct.unpack(code, struct.pack(word, o if o >= 0 else sign | -o))[0]


def scan_on(path, *args, **kwargs):
    _core._scan_path(path)
    return knife_edges_raw(*args, **kwargs)


def assert_paths_agree(*args, **kwargs):
    expected = scan_on("scalar", *args, **kwargs)
    for path in VECTOR_PATHS:
        assert scan_on(path, *args, **kwargs) == expected, path
    return expected


def test_processor_features_select_the_widest_path():
    flags = set()
    cpuinfo = Path("/proc/cpuinfo")
    if cpuinfo.exists():
        match = re.search(r"^flags\s*:(.*)$", cpuinfo.read_text(), re.M)
        flags = set(match.group(1).split()) if match else set()
    expected = ["scalar"]
    if platform.machine() in ("x86_64", "AMD64"):
        expected.append("sse2")
        if flags:
            expected += ["avx2"] if {"avx2", "fma"} <= flags else []
            expected += ["avx512"] if "avx512f" in flags else []
    if flags or platform.machine() not in ("x86_64", "AMD64"):
        assert PATHS == expected
    assert _core._scan_path() == PATHS[-1]


def test_switch_returns_the_previous_path_and_stays_private():
    assert "_scan_path" not in _core.__all__
    assert _core._scan_path("scalar") == PATHS[-1]
    assert _core._scan_path(PATHS[-1]) == "scalar"
    with pytest.raises(ValueError, match=r'^unknown scan path "fast": one of \["scalar", "sse2", "avx2", "avx512"\]$'):
        _core._scan_path("fast")
    assert _core._scan_path() == PATHS[-1]


# Tolerances: none admitted, a few hits, thousands of hits per block, every inexact input, and NaN.
TOLERANCES = [0.0, -1.0, NAN, 1e-9, 1e-3, 0.3, 0.4999999, 0.5, INF]


@pytest.mark.parametrize("op", ["sqrt", "recip"])
@pytest.mark.parametrize("tol", TOLERANCES)
def test_f32_strided_over_every_pattern(op, tol):
    stride = 40961 if tol >= 0.3 else 4093
    hits, evaluated, covered = assert_paths_agree(op, -INF, INF, tol, "f32", limit=10**7, stride=stride)
    assert covered and evaluated == (2 * 0x7F800000) // stride + 1


@pytest.mark.parametrize("op", ["sqrt", "recip"])
@pytest.mark.parametrize(
    "lo, n",
    [(1.0, 50000), (-3.0, 20000), (0.0, 20000), (1.1754942e-38, 5000), (8.5e37, 5000), (3.4e38, 5000),
     (0.25, 5000)],
)
def test_f32_consecutive_ranges_through_binade_and_range_edges(op, lo, n):
    hi = min(shifted(lo, n, "f32"), INF)
    for tol in (1e-4, 0.2, 0.5):
        assert_paths_agree(op, lo, hi, tol, "f32", limit=10**7)


F64_RANGES = [
    (1.0, 3000.0, 2**40), (3.0, 3.0000001, 1), (0.0, 1e-300, 2**44), (5e-324, 1e-307, 2**40),
    (-1.0, 1.0, 2**46), (1e300, INF, 2**38), (2.0**-900, 2.0**-890, 2**44), (2.0**899, 2.0**901, 2**44),
    (-INF, INF, 2**50), (4.0, 4.000000000001, 1),
]


@pytest.mark.parametrize("lo, hi, stride", F64_RANGES)
def test_f64_samples(lo, hi, stride):
    for tol in (1e-12, 1e-3, 0.3, 0.5, INF):
        assert_paths_agree("sqrt", lo, hi, tol, "f64", limit=10**7, stride=stride, max_evals=30000)


@pytest.mark.parametrize("op, dtype, lo", [("sqrt", "f32", 1.0), ("recip", "f32", 1.5), ("sqrt", "f64", 3.0),
                                           ("exp", "f32", 1.0), ("sin", "f32", 2.0**90), ("log1p", "f32", -0.9)])
def test_tolerance_equal_to_a_reported_distance(op, dtype, lo):
    hi = INF
    hits, _, _ = scan_on("scalar", op, lo, hi, 0.3, dtype, limit=200, max_evals=100000)
    for _, _, distance, _ in hits[::20]:
        for tol in (distance, _core.next_up(distance)):
            assert_paths_agree(op, lo, hi, tol, dtype, limit=10**6, max_evals=100000)


@pytest.mark.skipif(not VECTOR_PATHS, reason="no vector path on this processor")
@settings(max_examples=60, deadline=None)
@given(
    case=st.sampled_from([("sqrt", "f32", 1.0), ("recip", "f32", -7.0), ("sqrt", "f64", 3.0), ("sqrt", "f32", 0.0)]),
    offset=st.integers(0, 5000),
    tol=st.sampled_from([1e-3, 0.05, 0.45]),
    limit=st.integers(1, 3000),
    max_evals=st.integers(0, 9000),
    stride=st.sampled_from([1, 3, 2048, 2049]),
)
def test_limit_and_max_evals_cut_a_block_anywhere(case, offset, tol, limit, max_evals, stride):
    op, dtype, start = case
    lo = shifted(start, offset, dtype)
    assert_paths_agree(op, lo, INF, tol, dtype, limit=limit, max_evals=max_evals, stride=stride)


# The library-based operations are pre-filtered by the vector references, whose margin takes in the
# binary64 judgement's own error: the scans must report exactly that judgement on every path.
LIBRARY = sorted(LIBRARY_OPS)
LIBRARY_TOLERANCES = [0.0, NAN, 1e-9, 2e-6, 1e-3, 0.3, 0.4999999, 0.5]


@pytest.mark.parametrize("op", LIBRARY)
def test_library_ops_strided_over_every_pattern(op):
    for tol in LIBRARY_TOLERANCES:
        stride = 409601 if tol >= 0.3 else 40961
        hits, evaluated, covered = assert_paths_agree(op, -INF, INF, tol, "f32", limit=10**7, stride=stride)
        assert covered and evaluated == (2 * 0x7F800000) // stride + 1


# Where the kernels switch formulas or results change binade, overflow, underflow or saturate.
LIBRARY_EDGES = {
    "exp": [88.72283, -87.33655, -103.97208, 0.34657359, -150.0, 100.0],
    "exp2": [128.0, -126.0, -149.0, -150.0, 0.5],
    "expm1": [88.72283, -17.0, 0.34657359, -60.0],
    "log": [1.0, 0.70710677, 1.4142135, 1.1754944e-38, 3.4028235e38],
    "log2": [1.0, 0.70710677, 2.0**-149, 2.0**127],
    "log10": [1.0, 10.0, 1e10, 0.1],
    "log1p": [-1.0, -0.29289323, 0.41421357, 2.0**-30, 2.0**60],
    "sin": [0.5, 1.5707964, 3.1415927, 2.0**100, 2.0**127],
    "cos": [0.5, 1.5707964, 2.0**23, 2.0**126],
    "tan": [0.5, 1.5707964, 0.7853982, 2.0**60],
    "atan": [0.4375, 0.6875, 1.1875, 2.4375, 2.0**100],
    "tanh": [9.010913, 0.1733, 2.0**-12, 30.0],
    "sigmoid": [-87.33655, -103.97208, 16.635532, 150.0],
    "softplus": [-87.33655, 16.635532, -103.97208, 88.7],
    "rsqrt": [1.0, 2.0**-149, 2.0**127, 0.0],
}


@pytest.mark.parametrize("op", LIBRARY)
def test_library_ops_through_their_edges(op):
    for edge in LIBRARY_EDGES[op]:
        for x in (edge, -edge):
            lo = shifted(x, -3000, "f32")
            for tol in (2e-6, 0.05, 0.49):
                assert_paths_agree(op, lo, shifted(lo, 6000, "f32"), tol, "f32", limit=10**7)


def hardest_reductions():
    """(x, distance of x 2/pi from an integer) per binade, from the search of tools/prove_vector_bounds.py."""
    text = (Path(__file__).parent / "native" / "trig_hardest.inc").read_text()
    return [(struct.unpack("<f", struct.pack("<I", int(bits, 16)))[0], float(d))
            for bits, d in re.findall(r"\{0x([0-9a-f]+)u, ([^}]+)\}", text)]


HARDEST = hardest_reductions()


def test_every_binade_has_its_hardest_reduction():
    assert len(HARDEST) == 129
    assert [math.frexp(x)[1] for x, _ in HARDEST] == list(range(0, 129))
    # Some binary32 inputs come within 2^-30 of a multiple of pi/2: the reduction needs its 128 bits.
    assert min(d for _, d in HARDEST) < 2.0**-29


@pytest.mark.parametrize("op", ["sin", "cos", "tan"])
def test_trigonometric_scans_at_the_hardest_reductions(op):
    for x, _ in HARDEST:
        for sign in (1.0, -1.0):
            lo = shifted(sign * x, -40, "f32")
            for tol in (2e-6, 0.3):
                assert_paths_agree(op, lo, shifted(lo, 80, "f32"), tol, "f32", limit=10**6)


@pytest.mark.skipif(not VECTOR_PATHS, reason="no vector path on this processor")
@settings(max_examples=40, deadline=None)
@given(
    case=st.sampled_from([("exp", 1.0), ("log", 3.0), ("sin", 1.0), ("tanh", 0.25), ("sin", 2.0**100),
                          ("atan", -7.0), ("expm1", -0.3), ("softplus", 5.0)]),
    offset=st.integers(0, 5000),
    tol=st.sampled_from([2e-6, 0.05, 0.45]),
    limit=st.integers(1, 3000),
    max_evals=st.integers(0, 9000),
    stride=st.sampled_from([1, 3, 2048, 2049]),
)
def test_library_scans_cut_a_block_anywhere(case, offset, tol, limit, max_evals, stride):
    op, start = case
    lo = shifted(start, offset, "f32")
    assert_paths_agree(op, lo, INF, tol, "f32", limit=limit, max_evals=max_evals, stride=stride)


def certified_on(path, *args, **kwargs):
    _core._scan_path(path)
    return certified_scan(*args, **kwargs)


# Certified scans decide the core's candidates with MPFR: on every path the same candidates, so the same
# answer, at tolerances that put many hits in a block and with limits that cut one anywhere.
@pytest.mark.parametrize("op, lo", [("exp", 1.0), ("log", 3.0), ("sin", 1.0), ("tanh", 0.25), ("sin", 2.0**100),
                                    ("cos", -2.0**40), ("log1p", -0.5), ("sigmoid", -90.0)])
@pytest.mark.parametrize("tol, limit", [(1e-6, 10**6), (0.02, 10**6), (0.02, 777)])
def test_certified_scans_agree(op, lo, tol, limit):
    hi = shifted(lo, 200000, "f32")
    expected = certified_on("scalar", op, lo, hi, tol, "f32", limit)
    for path in VECTOR_PATHS:
        assert certified_on(path, op, lo, hi, tol, "f32", limit) == expected, path


@pytest.fixture
def upward_rounding():
    ctypes = pytest.importorskip("ctypes")
    try:
        libm = ctypes.CDLL("libm.so.6")
    except OSError:
        pytest.skip("no libm.so.6 to change the rounding mode with")
    fe_upward, fe_tonearest = 0x800, 0
    if platform.machine() not in ("x86_64", "AMD64") or libm.fesetround(fe_upward) != 0:
        pytest.skip("rounding mode constants known for x86-64 only")
    try:
        yield
    finally:
        libm.fesetround(fe_tonearest)


@pytest.mark.parametrize("op, dtype, lo, tol", [("sqrt", "f32", 1.0, 0.01), ("recip", "f32", 3.0, 0.3),
                                                ("sqrt", "f64", 3.0, 0.01), ("exp", "f32", 1.0, 0.01),
                                                ("sin", "f32", 1.0, 0.3)])
def test_paths_agree_under_upward_rounding(upward_rounding, op, dtype, lo, tol):
    assert_paths_agree(op, lo, shifted(lo, 30000, dtype), tol, dtype, limit=10**6)
