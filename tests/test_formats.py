"""fpscope.formats: the float model of binary16 and bfloat16 over every bit pattern, against the bit
and rational models of support.py; rounding from exact values; arrays; dtype names; the views of the
core's formats."""
import functools
import inspect
import math
import sys
from decimal import Decimal
from fractions import Fraction

import gmpy2
import mpmath
import numpy as np
import pytest
from hypothesis import given, strategies as st

import fpscope
from fpscope import _core
from fpscope.formats import bf16, f16, f32, f64, format_of, resolve, round_to

from support import FMT, FORMATS, model_next_up, model_ordered, model_spacing, same_float, value_of  # noqa: E402

SMALL = {"f16": f16, "bf16": bf16}
QUIET = {"f16": 0x0200, "bf16": 0x0040}


@functools.lru_cache(maxsize=None)
def decoded(dtype):
    """The float of every pattern 0..0xFFFF, decoded by numpy (which keeps NaN payloads)."""
    patterns = np.arange(1 << 16, dtype=np.uint32)
    with np.errstate(invalid="ignore"):  # signalling NaNs are quietened
        if dtype == "f16":
            return tuple(patterns.astype(np.uint16).view(np.float16).astype(np.float64).tolist())
        return tuple((patterns << 16).view(np.float32).astype(np.float64).tolist())


@pytest.mark.parametrize("dtype", SMALL)
def test_every_pattern_against_the_bit_model(dtype):
    fmt, inf = SMALL[dtype], FORMATS[dtype]["inf"]
    for b, x in enumerate(decoded(dtype)):
        nan = (b & 0x7FFF) > inf
        assert fmt.ordered(x) == model_ordered(b | QUIET[dtype] if nan else b, dtype), hex(b)
        assert same_float(fmt.round_to(x), x)
        up, down = fmt.next_up(x), fmt.next_down(x)
        assert same_float(up, x if nan else value_of(model_next_up(b, dtype), dtype)), hex(b)
        assert same_float(down, x if nan else -value_of(model_next_up(b ^ 0x8000, dtype), dtype)), hex(b)
        spacing = model_spacing(b, dtype)
        assert same_float(fmt.spacing(x), math.nan if spacing is None else spacing), hex(b)
        assert fmt.ulp_distance(x, up) == (None if nan else int(b != inf))


@pytest.mark.parametrize("dtype", SMALL)
def test_rounding_of_doubles_at_and_beside_every_midpoint(dtype):
    """Each midpoint between adjacent positive floats (and the overflow threshold past the largest)
    rounds to the even one, the doubles beside it to the nearer; the array path agrees."""
    fmt, inf = SMALL[dtype], FORMATS[dtype]["inf"]
    doubles, expected = [], []
    for b in range(inf):
        lo = value_of(b, dtype)
        gap = value_of(b + 1, dtype) - lo if b + 1 < inf else lo - value_of(b - 1, dtype)
        mid = lo + gap / 2
        for x, above in ((math.nextafter(mid, 0), False), (mid, b % 2 == 1), (math.nextafter(mid, math.inf), True)):
            doubles += [x, -x]
            expected += [b + above, 0x8000 | (b + above)]
    doubles += [1e300, -1.7976931348623157e308, 5e-324, math.inf, -0.0]
    expected += [inf, 0x8000 | inf, 0, inf, 0x8000]
    got = [fmt.round_to(x) for x in doubles]
    assert [fmt.ordered(v) for v in got] == [model_ordered(b, dtype) for b in expected]
    vectorised = fmt.FORMAT._round_float64(np.array(doubles))
    assert vectorised.tolist() == expected


@pytest.mark.parametrize("dtype, value, expected", [
    # Rounded to binary32 first, these land on a midpoint and round to even: 1.0.
    ("bf16", 1 + 2**-8 + 2**-30, 1 + 2**-7),
    ("f16", 1 + 2**-11 + 2**-40, 1 + 2**-10),
    ("bf16", 2**100 + 2**92 + 1, 2**100 + 2**93),      # an int that binary64 cannot hold
    ("f16", Fraction(2**11 + 1, 2**11) + Fraction(1, 10**30), 1 + 2**-10),
    ("f16", 65520, math.inf), ("f16", Fraction(65520) - Fraction(1, 10**9), 65504.0),
    ("bf16", -2**-134, -0.0), ("f16", -0.0, -0.0), ("f16", 10**400, math.inf),
    ("bf16", gmpy2.mpfr("1.00390625000000000001", 200), 1 + 2**-7), ("bf16", Decimal("1.00390625000001"), 1 + 2**-7),
    ("f16", Decimal("-0"), -0.0), ("f16", np.float16(-0.0), -0.0), ("f16", True, 1.0),
])
def test_rounding_is_from_the_exact_value(dtype, value, expected):
    assert same_float(round_to(dtype, value), expected)


@given(st.fractions(), st.integers(-160, 140), st.sampled_from(["f16", "bf16", "f32", "f64"]))
def test_rounding_of_rationals_agrees_with_the_rational_model(fraction, scale, dtype):
    value = fraction * Fraction(2) ** scale
    model = FMT[dtype].round(abs(value))
    expected = math.inf if model is None else float(model)
    assert same_float(round_to(dtype, value), math.copysign(expected, value) if value else 0.0)


@pytest.mark.parametrize("dtype", SMALL)
def test_named_values_have_their_defining_property(dtype):
    fmt, model = SMALL[dtype], FMT[dtype]
    table = fmt.special()
    assert [name for name, _ in table] == [name for name, _ in _core.special("f32")]
    v = {name: Fraction(x) for name, x in table if math.isfinite(x)}

    def squared(name, up=False):
        x = Fraction(fmt.next_up(float(v[name]))) if up else v[name]
        return model.round(x * x)

    assert squared("square_underflows_to_zero") == 0 != squared("square_underflows_to_zero", up=True)
    assert 0 < squared("square_is_subnormal") < v["min_normal"] <= squared("square_is_subnormal", up=True)
    assert squared("square_just_finite") is not None and squared("square_just_finite", up=True) is None
    assert fmt.next_up(float(v["square_just_finite"])) == v["square_overflows"]
    assert model.round(1 / v["reciprocal_overflows"]) is None
    assert model.round(1 / Fraction(fmt.next_up(float(v["reciprocal_overflows"])))) is not None
    assert v["sqrt_max"] ** 2 <= v["max"] < Fraction(fmt.next_up(float(v["sqrt_max"]))) ** 2
    assert v["max"] == model.max and v["min_normal"] == Fraction(2) ** model.emin
    assert v["min_subnormal"] == model.quantum(Fraction(0)) == v["min_normal"] - v["max_subnormal"]
    assert v["integer_limit"] == 2**model.p and fmt.round_to(2**model.p + 1) != 2**model.p + 1
    with mpmath.workprec(200):
        for name, exact in [("tenth", 1 / mpmath.mpf(10)), ("third", 1 / mpmath.mpf(3)), ("e", +mpmath.e),
                            ("pi", +mpmath.pi)]:
            man, exp = exact.man_exp
            assert v[name] == model.round(man * Fraction(2) ** exp), name
    assert str(table[1][1]) == "-0.0" and math.isnan(table[-1][1]) and table[-3:-1] == [("inf", math.inf),
                                                                                      ("neg_inf", -math.inf)]


def finite_values(dtype):
    return sorted({x for x in decoded(dtype) if math.isfinite(x)})


@pytest.mark.parametrize("dtype", SMALL)
@pytest.mark.parametrize("lo, hi", [(1.0, 1.01), (-0.0, 0.0), (-1e-40, 1e-40), (3e38, math.inf), (1e39, 1e40),
                                    (65000.0, 1e6), (-math.inf, -3e38), (2.0, 1.0), (math.nan, 1.0)])
def test_ranges_and_neighbourhoods_against_the_list_of_every_float(dtype, lo, hi):
    fmt, every, model = SMALL[dtype], finite_values(dtype), FMT[dtype]

    def rounded(x):
        if not math.isfinite(x):
            return x
        r = model.round(abs(Fraction(x)))
        return math.copysign(math.inf if r is None else float(r), x)

    every = [-math.inf] + every + [math.inf]
    r_lo, r_hi = rounded(lo), rounded(hi)
    assert fmt.all_floats(lo, hi, limit=2**64 - 1) == [x for x in every if r_lo <= x <= r_hi]
    for k in (0, 1, 3):
        if math.isfinite(r_lo):
            i = every.index(r_lo)
            assert fmt.neighbours(lo, k) == [x for x in every[max(i - k, 0):i + k + 1] if math.isfinite(x)]
        else:
            assert same_float(fmt.neighbours(lo, k)[0], r_lo)


@pytest.mark.parametrize("dtype", SMALL)
def test_binade_edges_clamp_to_the_normal_exponents(dtype):
    fmt = SMALL[dtype]
    emin, emax = fmt.FORMAT.emin, fmt.FORMAT.emax
    special = dict(fmt.special())
    assert fmt.binade_edges(-10**6, emin) == [special["max_subnormal"], special["min_normal"]]
    assert fmt.binade_edges(emax, 10**6) == [fmt.next_down(2.0**emax), 2.0**emax]
    assert fmt.binade_edges(-1, 1) == [fmt.next_down(0.5), 0.5, special["one_minus_ulp"], 1.0, fmt.next_down(2.0), 2.0]
    assert fmt.binade_edges(emax + 1, 10**6) == [] == fmt.binade_edges(1, 0)


BAD_CALLS = [
    ("next_up", ("a",)), ("ordered", ([1.0],)), ("neighbours", (1.0, -1)), ("neighbours", (1.0, 2**32)),
    ("neighbours", (1.0, 1.5)), ("all_floats", (1.0, 2.0, -1)), ("all_floats", (1.0, 2.0, 2**64)),
    ("binade_edges", (2**31, 0)), ("binade_edges", (0, -2**31 - 1)), ("ulp_distances", ([1.0], [1.0, 2.0])),
    ("all_floats", (-0.0, 1e20, 5)), ("all_floats", (0.1, 0.2, 10)), ("ulp_distance", (1.0, None)),
]


@pytest.mark.parametrize("dtype", SMALL)
@pytest.mark.parametrize("name, args", BAD_CALLS)
def test_errors_are_the_cores(dtype, name, args):
    """The same refusal, message and argument note as the core gives for binary32."""
    with pytest.raises(Exception) as core:
        getattr(_core, name)(*args[:2], "f32", *args[2:]) if name == "all_floats" else \
            getattr(_core, name)(*args, dtype="f32")
    with pytest.raises(type(core.value)) as ours:
        getattr(SMALL[dtype], name)(*args)
    assert str(ours.value) == str(core.value)
    assert getattr(ours.value, "__notes__", None) == getattr(core.value, "__notes__", None)


@pytest.mark.parametrize("module", [f16, bf16, f32, f64])
def test_every_module_mirrors_the_cores_functions(module):
    for name in ["ordered", "next_up", "next_down", "spacing", "ulp_distance", "ulp_distances", "special",
                 "neighbours", "binade_edges", "all_floats"]:
        core = inspect.signature(getattr(_core, name)).parameters
        ours = inspect.signature(getattr(module, name)).parameters
        assert [(p.name, p.default) for p in ours.values()] == [
            (p.name, p.default) for p in core.values() if p.name != "dtype"], name
    if module in (f32, f64):
        dtype = module.FORMAT.name
        assert repr(module.special()) == repr(_core.special(dtype)) and module.next_up(0.1) == _core.next_up(0.1, dtype)
        assert module.neighbours(1, 2) == _core.neighbours(1, 2, dtype)
        values = np.array([[0.1, 1e-40], [3.4028235677973366e+38, -1e-46]])
        with np.errstate(over="ignore"):  # the tie above the largest binary32 rounds to inf
            assert module.array(values).tolist() == values.astype(module.numpy_dtype()).tolist()
        assert module.ulp_distances(np.array([1.0], np.float16), [2]) == _core.ulp_distances([1.0], [2], dtype)


def test_arrays_of_any_shape_are_read_in_row_major_order():
    a = np.array([[1.0, np.nan, 65504.0], [-0.0, 2.0**-24, -np.inf]], dtype=np.float16)
    b = np.array([[1.0, 1.0, np.inf], [0.0, -2.0**-24, -65504.0]], dtype=np.float16)
    expected = [f16.ulp_distance(x, y) for x, y in zip(a.ravel().tolist(), b.ravel().tolist())]
    assert f16.ulp_distances(a, b) == expected == [0, None, 1, 0, 2, 1]
    assert f16.ulp_distances(a.ravel(), b.ravel().tolist()) == expected
    assert f16.ulp_distances(a.astype(np.float64), b) == expected
    assert f16.array(b.tolist()).tolist() == b.tolist() and f16.array([[1e-8, 3e-8, 65520]]).tolist() == [
        [0.0, 2.0**-24, np.inf]]
    with pytest.raises(ValueError, match=r"shape mismatch: \(2, 3\) vs \(3, 2\)"):
        f16.ulp_distances(a, b.reshape(3, 2))
    with pytest.raises(TypeError, match="a must be a sequence or an array of floats, not str"):
        f16.ulp_distances("ab", "cd")


def test_bfloat16_arrays_with_ml_dtypes():
    ml_dtypes = pytest.importorskip("ml_dtypes")
    values = [1.0, 1 + 2**-8 + 2**-30, 3.4e38, -1e-45, math.nan]  # 3.4e38 is past the overflow threshold
    a = bf16.array(values)
    assert a.dtype == np.dtype(ml_dtypes.bfloat16) and format_of(a) is bf16.FORMAT is resolve(a.dtype)
    assert [bf16.ordered(x) for x in a.tolist()] == [bf16.ordered(x) for x in values]
    assert bf16.ulp_distances(a, a[::-1]) == [None, 0x3F81, 0, 0x3F81, None]


def test_bfloat16_arrays_without_ml_dtypes_say_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "ml_dtypes", None)  # an import that fails
    with pytest.raises(ImportError, match=r"^bfloat16 arrays need the ml_dtypes package: "
                                          r"pip install 'fpscope\[ml\]'$"):
        bf16.array([1.0])
    assert bf16.next_up(1.0) == 1.0078125 and bf16.ulp_distances([1.0], np.array([2.0])) == [128]


@pytest.mark.parametrize("dtype, expected", [
    ("f32", f32), ("float", f32), ("float32", f32), ("f64", f64), ("double", f64), ("float64", f64),
    ("f16", f16), ("float16", f16), ("half", f16), ("bf16", bf16), ("bfloat16", bf16),
    (np.float16, f16), (np.dtype("float32"), f32), (float, f64), (bf16.FORMAT, bf16),
])
def test_dtype_names(dtype, expected):
    assert resolve(dtype) is expected.FORMAT
    assert round_to(dtype, 0.1) == expected.round_to(0.1)


@pytest.mark.parametrize("dtype, shown", [
    ("F16", '"F16"'), ("", '""'), ("bf16 ", '"bf16 "'), ('a\t"\u00ad', '"a\\t\\"\\u{ad}"'),
    (np.int32, '"int32"'), (np.dtype("complex64"), '"complex64"'), (None, "None"), (16, "16"),
])
def test_unsupported_dtypes_name_the_four_formats(dtype, shown):
    with pytest.raises(ValueError) as info:
        resolve(dtype)
    assert str(info.value) == f"unsupported dtype {shown}: use 'f32', 'f64', 'f16' or 'bf16'"


def test_the_package_exports_the_formats():
    assert fpscope.formats.bf16.next_up is bf16.next_up and "formats" in fpscope.__all__
