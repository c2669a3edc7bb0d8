import struct

import numpy as np
import pytest

from fpscope._core import next_down, next_up, special

# (name, binary32 pattern, binary64 pattern), in table order
TABLE = [
    ("zero", 0x00000000, 0x0000000000000000),
    ("neg_zero", 0x80000000, 0x8000000000000000),
    ("min_subnormal", 0x00000001, 0x0000000000000001),
    ("neg_min_subnormal", 0x80000001, 0x8000000000000001),
    ("max_subnormal", 0x007FFFFF, 0x000FFFFFFFFFFFFF),
    ("min_normal", 0x00800000, 0x0010000000000000),
    ("neg_min_normal", 0x80800000, 0x8010000000000000),
    ("reciprocal_overflows", 0x00200000, 0x0004000000000000),
    ("square_underflows_to_zero", 0x1A000000, 0x1E56A09E667F3BCC),
    ("square_is_subnormal", 0x1FFFFFFF, 0x1FFFFFFFFFFFFFFF),
    ("tenth", 0x3DCCCCCD, 0x3FB999999999999A),
    ("third", 0x3EAAAAAB, 0x3FD5555555555555),
    ("half", 0x3F000000, 0x3FE0000000000000),
    ("one_minus_ulp", 0x3F7FFFFF, 0x3FEFFFFFFFFFFFFF),
    ("one", 0x3F800000, 0x3FF0000000000000),
    ("one_plus_ulp", 0x3F800001, 0x3FF0000000000001),
    ("neg_one", 0xBF800000, 0xBFF0000000000000),
    ("two", 0x40000000, 0x4000000000000000),
    ("e", 0x402DF854, 0x4005BF0A8B145769),
    ("pi", 0x40490FDB, 0x400921FB54442D18),
    ("integer_limit", 0x4B800000, 0x4340000000000000),
    ("sqrt_max", 0x5F7FFFFF, 0x5FEFFFFFFFFFFFFF),
    ("square_just_finite", 0x5F7FFFFF, 0x5FEFFFFFFFFFFFFF),
    ("square_overflows", 0x5F800000, 0x5FF0000000000000),
    ("max", 0x7F7FFFFF, 0x7FEFFFFFFFFFFFFF),
    ("neg_max", 0xFF7FFFFF, 0xFFEFFFFFFFFFFFFF),
    ("inf", 0x7F800000, 0x7FF0000000000000),
    ("neg_inf", 0xFF800000, 0xFFF0000000000000),
    ("nan", 0x7FC00000, 0x7FF8000000000000),
]
F32, F64 = (1, "<f", "<I", np.float32), (2, "<d", "<Q", np.float64)
FORMATS = {None: F32, "f32": F32, "float": F32, "f64": F64, "double": F64}


@pytest.mark.parametrize("dtype", FORMATS)
def test_table_matches_bit_patterns(dtype):
    column, code, word, _ = FORMATS[dtype]
    entries = special() if dtype is None else special(dtype)
    assert all(type(entry) is tuple and len(entry) == 2 for entry in entries)
    assert [name for name, _ in entries] == [row[0] for row in TABLE]
    assert [struct.unpack(word, struct.pack(code, v))[0] for _, v in entries] == [row[column] for row in TABLE]


@pytest.mark.parametrize("dtype", ["f32", "f64"])
def test_searched_boundaries_hold_in_the_formats_own_arithmetic(dtype):
    scalar = FORMATS[dtype][3]
    v = {name: scalar(value) for name, value in special(dtype)}
    up = {name: scalar(next_up(float(value), dtype)) for name, value in v.items()}
    with np.errstate(over="ignore", under="ignore", divide="ignore"):
        sq = {name: (v[name] * v[name], up[name] * up[name]) for name in v}  # each rounded once, in the format
        assert sq["square_underflows_to_zero"][0] == 0 < sq["square_underflows_to_zero"][1]
        assert 0 < sq["square_is_subnormal"][0] < v["min_normal"] <= sq["square_is_subnormal"][1]
        assert np.isfinite(sq["square_just_finite"][0]) and np.isinf(sq["square_overflows"][0])
        assert np.isinf(scalar(1) / v["reciprocal_overflows"]) and np.isfinite(scalar(1) / up["reciprocal_overflows"])
    assert v["square_overflows"] == up["square_just_finite"]
    assert float(v["one_minus_ulp"]) == next_down(1.0, dtype) and float(v["one_plus_ulp"]) == next_up(1.0, dtype)


@pytest.mark.parametrize(
    "dtype, exc, message",
    [
        ("f16", ValueError, "unsupported dtype \"f16\": use 'f32' or 'f64'"),
        (None, TypeError, "'None' is not an instance of 'str'"),
    ],
)
def test_refusals(dtype, exc, message):
    with pytest.raises(exc) as info:
        special(dtype)
    assert str(info.value) == message
