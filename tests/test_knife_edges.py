import math

import mpmath
import pytest
from fractions import Fraction
from hypothesis import given, settings, strategies as st

from fpscope._core import UNARY_OPS, all_floats, knife_edges_raw, midpoint, next_down, next_up

INF, NAN = math.inf, math.nan
FOUR_UP = 4.000000476837158  # the binary32 float after 4.0; sqrt(4.0) is exact, sqrt(FOUR_UP) is not


def steps_up(x, n, dtype):
    for _ in range(n):
        x = next_up(x, dtype)
    return x


def reference_scan(op, lo, hi, tol, dtype):
    """The slow scan: every float of the range asked one by one through `midpoint`."""
    reports = [(x, midpoint(op, x, dtype)) for x in all_floats(lo, hi, dtype, limit=10**6)]
    return [(x, r[0], r[1], r[2]) for x, r in reports if r is not None and not r[3] and r[1] < tol]


@pytest.mark.parametrize("lo, hi", [(2.0, 1.0), (NAN, 1.0), (1.0, NAN)])
@pytest.mark.parametrize("op, dtype", [(op, "f32") for op in UNARY_OPS] + [("sqrt", "f64"), ("sqrt", "double")])
def test_empty_range(op, dtype, lo, hi):
    assert knife_edges_raw(op, lo, hi, dtype=dtype) == ([], 0, True)


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        (("sqrt", -0.0, 0.0), {}, ([], 1, True)),
        (("sqrt", -0.0, 0.0, 0.6, "f64"), {}, ([], 1, True)),
        (("sqrt", 1.0, 1.0), {"limit": 0}, ([], 0, False)),
        (("sqrt", 1.0, 2.0), {"max_evals": 0}, ([], 0, False)),
        (("exp", 1e39, 1e40), {}, ([], 1, True)),  # both bounds narrow to +inf, which is visited
        (("sqrt", 4.0, 4.0), {"tol_ulp": 1.0}, ([], 1, True)),  # an exact result is never a hit
        (("sqrt", 1.0, 2.0), {"stride": 2**40}, ([], 1, True)),
        (("sqrt", 1.0, 2.0, 1e-3, "f64"), {"stride": 2**64 - 1}, ([], 1, True)),
        (("sqrt", 4.0, FOUR_UP, 0.6), {"limit": 1}, ([(FOUR_UP, 2.0, 1.4901160305669303e-08, True)], 2, True)),
        (("sqrt", 4.0, 4.000000953674316, 0.6), {"limit": 1}, ([(FOUR_UP, 2.0, 1.4901160305669303e-08, True)], 2, False)),
        (("sqrt", 4.0, 4.000000953674316, 0.6), {"max_evals": 3}, (None, 3, True)),
        (("sqrt", 4.0, 4.000000953674316, 0.6), {"max_evals": 2}, (None, 2, False)),
    ],
)
def test_result_shapes(args, kwargs, expected):
    result = knife_edges_raw(*args, **kwargs)
    assert result[1:] == expected[1:] and expected[0] in (None, result[0])


@pytest.mark.parametrize("tol", [0.0, -1.0, NAN])
def test_tolerances_that_admit_nothing(tol):
    assert knife_edges_raw("sqrt", 1.0, 1.0001, tol) == ([], len(all_floats(1.0, 1.0001)), True)


def test_bounds_narrow_stride_zero_is_one_and_ln_is_log():
    assert knife_edges_raw("sqrt", 0.1, 0.2, 0.6, limit=1)[0][0][0] == 0.10000000149011612
    assert knife_edges_raw("exp", 1.0, 1.001, 0.01, stride=0) == knife_edges_raw("exp", 1.0, 1.001, 0.01)
    assert knife_edges_raw("ln", 1.5, 1.6, 0.01) == knife_edges_raw("log", 1.5, 1.6, 0.01)


@pytest.mark.parametrize(
    "args, kwargs, exc, message",
    [
        (("exp", 2.0, 1.0, 1e-3, "f64"), {}, ValueError, "f64 scans are available for op='sqrt' only"),
        (("ln", 2.0, 1.0), {"dtype": "double"}, ValueError, "f64 scans are available for op='sqrt' only"),
        (("div", 1.0, 2.0), {"dtype": "bad"}, ValueError, 'unknown op "div": one of ["sqrt", "rsqrt", "recip", '
         '"exp", "exp2", "expm1", "log", "log2", "log10", "log1p", "sin", "cos", "tan", "atan", "tanh", "sigmoid", '
         "\"softplus\"] or 'div'"),
        (("sqrt", 1.0, 2.0), {"dtype": "f16"}, ValueError, "unsupported dtype \"f16\": use 'f32' or 'f64'"),
        (("sqrt", 1.0, 2.0), {"limit": None}, TypeError, "'NoneType' object cannot be interpreted as an integer"),
    ],
)
def test_refusals(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        knife_edges_raw(*args, **kwargs)
    assert str(info.value) == message


SCANS = {
    "f32": dict(op=st.sampled_from(UNARY_OPS), start=st.floats(min_value=-1e6, max_value=1e6)),
    "f64": dict(op=st.just("sqrt"), start=st.floats(min_value=0.0, max_value=1e300)),
}


@pytest.mark.parametrize("dtype", ["f32", "f64"])
def test_scan_agrees_with_midpoint(dtype):
    @settings(max_examples=50, deadline=None)
    @given(width=st.integers(0, 300), tol=st.sampled_from([0.6, 0.1, 0.01]), **SCANS[dtype])
    def check(op, start, width, tol):
        lo = all_floats(start, start, dtype)[0]
        hi = steps_up(lo, width, dtype)
        hits, evaluated, covered = knife_edges_raw(op, lo, hi, tol, dtype, limit=10**6)
        assert hits == reference_scan(op, lo, hi, tol, dtype)
        assert (evaluated, covered) == (len(all_floats(lo, hi, dtype)), True)

    check()


@pytest.mark.parametrize("dtype", ["f32", "f64"])
def test_scan_cut_by_max_evals_and_resumed_finds_the_same_hits(dtype):
    @settings(max_examples=50, deadline=None)
    @given(width=st.integers(0, 300), cut=st.integers(1, 300), stride=st.integers(1, 4), **SCANS[dtype])
    def check(op, start, width, cut, stride):
        lo = all_floats(start, start, dtype)[0]
        hi = steps_up(lo, width, dtype)
        scan = dict(tol_ulp=0.1, dtype=dtype, limit=10**6, stride=stride)
        whole = knife_edges_raw(op, lo, hi, **scan)
        first = knife_edges_raw(op, lo, hi, max_evals=cut, **scan)
        if first[2]:
            assert first == whole
            return
        rest = knife_edges_raw(op, all_floats(lo, hi, dtype)[cut * stride], hi, **scan)
        assert (first[0] + rest[0], first[1] + rest[1], rest[2]) == whole

    check()


@pytest.mark.parametrize("dtype, lo, n", [("f32", 1.0, 20000), ("f32", 1e-40, 20000), ("f32", 3e38, 2000),
                                          ("f64", 2.0, 2000)])
def test_sqrt_hits_hold_in_exact_arithmetic(dtype, lo, n):
    hits, evaluated, _ = knife_edges_raw("sqrt", lo, INF, 0.05, dtype, limit=10**6, max_evals=n)
    assert hits and evaluated == n
    mpmath.mp.prec = 300
    for x, r, d, above in hits:
        other = next_up(r, dtype) if above else next_down(r, dtype)
        X, R, M = Fraction(x), Fraction(r), (Fraction(r) + Fraction(other)) / 2
        # The root lies beyond r on the reported side, and strictly before the midpoint on that side.
        assert (R * R < X) == above and (M * M > X) == above and M * M != X
        exact = abs(mpmath.sqrt(x) - (mpmath.mpf(r) + other) / 2) / abs(mpmath.mpf(other) - r)
        assert d == pytest.approx(float(exact), rel=1e-12)
