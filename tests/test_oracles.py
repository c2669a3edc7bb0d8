"""The rounding oracles from Python: midpoint and sqrt_cr, against exact rational arithmetic."""
import math
import struct
from fractions import Fraction

import pytest
from hypothesis import example, given, settings, strategies as st

from fpscope import _core as fs
from support import PanicFloat, panic_class

PanicException = panic_class()

INF, NAN = math.inf, math.nan


# --- an exact model of the two formats ---------------------------------------------------------------

class Fmt:
    def __init__(self, p, emin, emax, pack, ipack):
        self.p, self.emin, self.emax, self.pack, self.ipack = p, emin, emax, pack, ipack
        self.max = (2 - Fraction(1, 2 ** (p - 1))) * Fraction(2) ** emax

    def value(self, bits):
        return struct.unpack(self.pack, struct.pack(self.ipack, bits))[0]

    def quantum(self, v):
        """Spacing of the floats in the binade of the positive rational v (subnormals included)."""
        e = max(floor_log2(v), self.emin) if v else self.emin
        return Fraction(2) ** (e - self.p + 1)

    def round(self, v):
        """Round a non-negative rational to nearest, ties to even; None when it overflows."""
        q = self.quantum(v)
        m = v / q
        n = m.numerator // m.denominator
        rest = m - n
        if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and n % 2):
            n += 1
        r = n * q
        return None if r > self.max else r

    def gap_toward(self, r, above):
        """Distance from the non-negative float r to its neighbour on the given side."""
        if above or r == 0:
            return self.quantum(r)
        e = floor_log2(r)
        if r == Fraction(2) ** e and e > self.emin:
            return Fraction(2) ** (e - self.p)
        return self.quantum(r)


F32 = Fmt(24, -126, 127, "<f", "<I")
F64 = Fmt(53, -1022, 1023, "<d", "<Q")
FMT = {"f32": F32, "f64": F64}


def floor_log2(v):
    e = v.numerator.bit_length() - v.denominator.bit_length()
    return e if Fraction(2) ** e <= v else e - 1


def sqrt_approx(x, bits=400):
    """sqrt of a positive rational, from below, within a relative 2**-bits."""
    shift = 2 * (bits + max(0, x.denominator.bit_length() - x.numerator.bit_length()))
    return Fraction(math.isqrt(x.numerator * 4 ** (shift // 2) // x.denominator), 2 ** (shift // 2))


def check_report(report, fmt, exact_value_cmp, approx, rounded_expected):
    """exact_value_cmp(c) gives the sign of (exact result - c) exactly; approx is a close rational."""
    assert report is not None
    rounded, distance, above, exact = report
    assert Fraction(rounded) == rounded_expected
    s = exact_value_cmp(rounded_expected)
    assert exact == (s == 0)
    assert above == (s > 0)
    if exact:
        assert distance == 0.5
        return
    gap = fmt.gap_toward(rounded_expected, above)
    mid = rounded_expected + (gap if above else -gap) / 2
    true_distance = abs(approx - mid) / gap
    assert 0 < true_distance < Fraction(1, 2)
    assert math.isclose(distance, float(true_distance), rel_tol=1e-12, abs_tol=0)


# --- inputs: random patterns weighted toward the edges of the formats ---------------------------------

def patterns(dtype):
    width, frac = (32, 23) if dtype == "f32" else (64, 52)
    max_bits = (1 << (width - 1)) - (1 << frac) - 1
    top_exp = (1 << (width - frac - 1)) - 2
    edges = st.one_of(
        st.integers(1, 1 << 12),                               # tiny subnormals
        st.integers((1 << frac) - 64, (1 << frac) + 64),      # largest subnormals, smallest normals
        st.integers(max_bits - 64, max_bits),                  # largest finite values
        st.integers(1, top_exp).flatmap(                       # powers of two and their neighbours
            lambda e: st.integers(-2, 2).map(lambda d: (e << frac) + d)),
    )
    return st.one_of(st.integers(1, max_bits), edges)


def positive(dtype):
    return patterns(dtype).map(lambda b: FMT[dtype].value(b))


# --- square root -------------------------------------------------------------------------------------

@settings(max_examples=1500, deadline=None)
@given(st.sampled_from(["f32", "f64"]).flatmap(lambda d: st.tuples(st.just(d), positive(d))))
@example(("f64", 2.0)).via("worked example")
@example(("f64", 0.9999999999999999)).via("root just below a midpoint")
@example(("f32", 1.401298464324817e-45)).via("smallest subnormal")
def test_sqrt_is_exact(case):
    dtype, x = case
    fmt = FMT[dtype]
    xq = Fraction(x)
    root = sqrt_approx(xq)
    r = fmt.round(root)
    # the approximation is far closer than any root is to a midpoint, so rounding it is exact
    check_report(fs.midpoint("sqrt", x, dtype), fmt, lambda c: (xq > c * c) - (xq < c * c), root, r)
    assert Fraction(fs.sqrt_cr(x, dtype)) == r


# --- division and reciprocal --------------------------------------------------------------------------

def check_division(dtype, x, y, report):
    fmt = FMT[dtype]
    q = Fraction(x) / Fraction(y)
    r = fmt.round(q)
    if r is None:
        assert report is None
        return
    gap = fmt.gap_toward(r, q > r)
    if q != r and abs(q - r) * 2 == gap:
        assert report is None  # a quotient exactly on a midpoint
        return
    check_report(report, fmt, lambda c: (q > c) - (q < c), q, r)


@settings(max_examples=1500, deadline=None)
@given(st.sampled_from(["f32", "f64"]).flatmap(lambda d: st.tuples(st.just(d), positive(d), positive(d))))
@example(("f64", 1.0, 3.0)).via("worked example")
@example(("f64", 5e-324, 4.0)).via("quotient below the smallest subnormal")
@example(("f32", 1.401298464324817e-45, 2.0)).via("quotient on a midpoint")
@example(("f64", 1e-300, 1e300)).via("quotient far below the smallest subnormal")
@example(("f64", 5e-324, 2.0**128)).via("smallest quotient the search cannot align")
def test_division_is_exact(case):
    dtype, x, y = case
    check_division(dtype, x, y, fs.midpoint("div", x, dtype, y))


@settings(max_examples=1000, deadline=None)
@given(st.sampled_from(["f32", "f64"]).flatmap(lambda d: st.tuples(st.just(d), positive(d))), st.booleans())
def test_reciprocal_is_exact(case, negate):
    dtype, x = case
    if dtype == "f64" or not negate:
        check_division(dtype, 1.0, x, fs.midpoint("recip", x, dtype))
        return
    report = fs.midpoint("recip", -x, dtype)
    if report is not None:
        assert math.copysign(1.0, report[0]) == -1.0
        report = (-report[0],) + report[1:]
    check_division(dtype, 1.0, x, report)


# --- the binary32 oracle for library functions, against Python's math on the same platform library ----

def sigmoid(x):
    if x >= 0:
        t = math.exp(-x)
        return 1.0 / (t + 1.0)
    t = math.exp(x)
    return t / (1.0 + t)


def softplus(x):
    if x > 0:
        return math.log1p(math.exp(-x)) + x
    return math.log1p(math.exp(x))


def guarded(fn):
    def call(x):
        try:
            return fn(x)
        except (ValueError, OverflowError, ZeroDivisionError):
            return None  # NaN or infinite in C
    return call


LIBRARY = {
    "rsqrt": lambda x: 1.0 / math.sqrt(x),
    "exp": math.exp, "expm1": math.expm1, "log": math.log, "log2": math.log2, "log10": math.log10,
    "log1p": math.log1p, "sin": math.sin, "cos": math.cos, "tan": math.tan, "atan": math.atan,
    "tanh": math.tanh, "sigmoid": sigmoid, "softplus": softplus,
}
if hasattr(math, "exp2"):
    LIBRARY["exp2"] = math.exp2


def model_f32_report(e):
    if e is None or not math.isfinite(e):
        return None
    r = F32.round(abs(Fraction(e)))
    if r is None:
        return None
    r = r if e >= 0 else -r
    if Fraction(e) == r:
        return (float(r), 0.5, False, True)
    above = Fraction(e) > r
    toward_zero = (above and r < 0) or (not above and r > 0)
    mag = abs(r)
    # past the largest finite value the spacing below it is taken to continue, which is the same number
    gap = F32.gap_toward(mag, not toward_zero)
    mid = r + (gap if above else -gap) / 2
    return (float(r), float(abs(Fraction(e) - mid) / gap), above, False)


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(sorted(LIBRARY)), st.one_of(
    st.floats(-100, 100, width=32), st.floats(width=32), st.integers(-2**31, 2**31 - 1).map(
        lambda b: struct.unpack("<f", struct.pack("<i", b))[0])))
def test_library_operations_match_python_math(op, x):
    e = guarded(LIBRARY[op])(x)
    expected = model_f32_report(e)
    got = fs.midpoint(op, x)
    if expected is None:
        assert got is None
        return
    assert got[0] == expected[0] and got[2:] == expected[2:]
    assert math.isclose(got[1], expected[1], rel_tol=1e-12)


# --- examples and refusals ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "args, expected",
    [
        (("sqrt", 2.0), (1.4142135381698608, 0.297, True, False)),
        (("sqrt", 2.0, "f64"), (1.4142135623730951, 0.0646, False, False)),
        (("sqrt", 4.0, "f64"), (2.0, 0.5, False, True)),
        (("sqrt", -0.0, "f64"), (-0.0, 0.5, False, True)),
        (("sqrt", 0.9999999999999999, "f64"), (0.9999999999999999, 1.3877787807814457e-17, True, False)),
        (("div", 1.0, "f32", 3.0), (0.3333333432674408, 1 / 6, False, False)),
        (("div", 1.0, "f64", 3.0), (0.3333333333333333, 1 / 6, True, False)),
        (("div", 1.0, "f64", 10.0), (0.1, 0.1, False, False)),
        (("div", 1.0, "f32", 10.0), (0.10000000149011612, 0.3, False, False)),
        (("div", 3.0, "f64", 0.5), (6.0, 0.5, False, True)),
        (("div", 5e-324, "f64", 4.0), (0.0, 0.25, True, False)),
        (("recip", 3.0, "f64"), (0.3333333333333333, 1 / 6, True, False)),
        (("recip", -3.0), (-0.3333333432674408, 1 / 6, False, False)),
        (("recip", -4.0), (-0.25, 0.5, False, True)),
        (("rsqrt", 4.0), (0.5, 0.5, False, True)),
        (("rsqrt", 2.0), (0.7071067690849304, 0.297, True, False)),
        (("exp", 0.0), (1.0, 0.5, False, True)),
        (("log", 1.0), (0.0, 0.5, False, True)),
        (("ln", 1.0), (0.0, 0.5, False, True)),
        (("exp2", 3.0), (8.0, 0.5, False, True)),
        (("log2", 8.0), (3.0, 0.5, False, True)),
        (("exp", -104.0), (0.0, 0.014, True, False)),
        (("sigmoid", -0.0), (0.5, 0.5, False, True)),
        (("sigmoid", 100.0), (1.0, 0.5, False, True)),
        (("tanh", 20.0), (1.0, 0.5, False, True)),
        (("softplus", 100.0), (100.0, 0.5, False, True)),
        (("reciprocal", 4.0), (0.25, 0.5, False, True)),
    ],
)
def test_midpoint_examples(args, expected):
    got = fs.midpoint(*args)
    assert struct.pack("<d", got[0]) == struct.pack("<d", expected[0])
    assert got[1] == pytest.approx(expected[1], rel=2e-2)
    assert got[2:] == expected[2:]


@pytest.mark.parametrize(
    "args",
    [("sqrt", -1.0), ("sqrt", NAN, "f64"), ("sqrt", INF, "f64"), ("log", 0.0), ("log", -1.0), ("exp", 89.0),
     ("sqrt", 1e39), ("div", 1.0, "f64", 0.0), ("div", -1.0, "f64", 2.0), ("div", 1.0, "f32", INF),
     ("div", 1e300, "f64", 1e-300), ("recip", INF, "f64"), ("recip", 5e-324, "f64"), ("recip", 0.0),
     ("recip", -0.0), ("recip", NAN), ("rsqrt", 0.0), ("exp", NAN)],
)
def test_no_report(args):
    assert fs.midpoint(*args) is None


@pytest.mark.parametrize(
    "args, kwargs, cls, message",
    [
        (("div", 1.0), {}, ValueError, "op='div' needs y"),
        (("div", 1.0), {"y": None}, ValueError, "op='div' needs y"),
        (("div", 1.0, "bad"), {}, ValueError, "unsupported dtype \"bad\": use 'f32' or 'f64'"),
        (("nope", 1.0, "bad"), {}, ValueError, "unsupported dtype \"bad\": use 'f32' or 'f64'"),
        (("recip", -3.0, "f64"), {}, ValueError, "recip for f64 takes a positive x"),
        (("recip", 0.0, "f64"), {}, ValueError, "recip for f64 takes a positive x"),
        (("recip", NAN, "f64"), {}, ValueError, "recip for f64 takes a positive x"),
        (("exp", 1.0, "f64"), {}, ValueError,
         "\"exp\" has no exact f64 oracle yet, only sqrt, recip and div do; use dtype='f32'"),
        (("ln", 1.0, "double"), {}, ValueError,
         "\"ln\" has no exact f64 oracle yet, only sqrt, recip and div do; use dtype='f32'"),
        (("sqrt", 2.0), {"y": "a"}, TypeError, None),
        ((3, 2.0), {}, TypeError, "'int' object is not an instance of 'str'"),
    ],
)
def test_midpoint_refusals(args, kwargs, cls, message):
    with pytest.raises(cls) as info:
        fs.midpoint(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


UNKNOWN = ('one of ["sqrt", "rsqrt", "recip", "exp", "exp2", "expm1", "log", "log2", "log10", "log1p", "sin", '
           '"cos", "tan", "atan", "tanh", "sigmoid", "softplus"] or \'div\'')


@pytest.mark.parametrize("name, shown", [("foo", '"foo"'), ("Sqrt", '"Sqrt"'), (" sqrt", '" sqrt"'),
                                         ("sqrt ", '"sqrt "'), ("", '""'), ('a"b', '"a\\"b"'), ("SQRT", '"SQRT"')])
def test_unknown_op_message(name, shown):
    with pytest.raises(ValueError) as info:
        fs.midpoint(name, 1.0)
    assert str(info.value) == f"unknown op {shown}: {UNKNOWN}"


def test_every_catalogue_name_is_accepted():
    for op in fs.UNARY_OPS:
        fs.midpoint(op, 0.5)


def test_midpoint_y_none_is_omission():
    assert fs.midpoint("sqrt", 2.0, y=None) == fs.midpoint("sqrt", 2.0)


def test_panic_exception_escapes_except_exception():
    assert PanicException is not None
    assert issubclass(PanicException, BaseException) and not issubclass(PanicException, Exception)
    assert PanicException.__name__ == "PanicException"
    assert "BaseException" in PanicException.__doc__
    with pytest.raises(BaseException) as info:
        try:
            fs.next_up(PanicFloat())  # the resumed failure is the only one valid input can reach
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by except Exception")
    assert type(info.value) is PanicException
    assert info.value.args == ("raised by __float__",)


@pytest.mark.parametrize(
    "x, dtype, expected",
    [(2.0, "f64", 1.4142135623730951), (2.0, "f32", 1.4142135381698608), (-1.0, "f64", NAN),
     (NAN, "f32", NAN), (INF, "f64", INF), (-0.0, "f64", -0.0), (1e39, "f32", INF), (-INF, "f64", NAN)],
)
def test_sqrt_cr(x, dtype, expected):
    got = fs.sqrt_cr(x, dtype)
    if math.isnan(expected):
        assert math.isnan(got)
    else:
        assert struct.pack("<d", got) == struct.pack("<d", expected)
