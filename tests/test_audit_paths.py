"""Audits judged on the vector references: the same audit, to the bit, on every path and however the
inputs are cut into chunks and blocks."""
import math

import numpy as np
import pytest

import fpscope
from fpscope import _audit, _core
from test_audit import F64, mp_error, scrambled, vector_paths


def through_binary64(op):
    """The binary64 function rounded to binary32: correctly rounded nearly everywhere, so the errors crowd
    towards 1/2 and, where the result is near its rounding (exp of tiny x), towards 0."""
    def f(xs):
        with np.errstate(all="ignore"):
            return F64[op](xs.astype(np.float64)).astype(np.float32)
    return f


def audits_on_every_path(impl, op, **kwargs):
    current = _core._scan_path()
    try:
        found = {}
        for path in ["scalar"] + vector_paths():
            _core._scan_path(path)
            found[path] = repr(fpscope.audit(impl, op, **kwargs))
        return found
    finally:
        _core._scan_path(current)


@pytest.mark.parametrize("op", ["exp", "expm1", "log1p", "sin", "tan", "atan", "tanh", "sigmoid", "softplus", "rsqrt"])
@pytest.mark.parametrize("make", [through_binary64, scrambled], ids=["rounded", "scrambled"])
@pytest.mark.parametrize("worst", [1, 300])
def test_strided_whole_range_is_the_same_on_every_path(op, make, worst):
    found = audits_on_every_path(make(op), op, stride=40_009, worst=worst)
    assert len(set(found.values())) == 1, found.keys()


@pytest.mark.parametrize("op", ["exp", "sin", "log"])
@pytest.mark.parametrize("chunk", [3, 255, 257, 1000, 4099])
def test_cut_points_change_nothing(op, chunk, monkeypatch):
    # Chunks of any size cut the blocks of 256 inputs anywhere, and the short last block of each chunk
    # starts the vector reference's fallback at other places.
    args = dict(lo=-2.0 ** -10, hi=20.0, stride=70_001, worst=25)
    expected = audits_on_every_path(scrambled(op), op, **args)
    monkeypatch.setattr(_audit, "CHUNK", chunk)
    assert audits_on_every_path(scrambled(op), op, **args) == expected
    assert len(set(expected.values())) == 1


TINY = 2.0 ** -16  # below it the audit's binary64 exp is a short series, not the platform's function


def exp_audits_on_every_path(impl, **kwargs):
    """The audits of exp on every path, which must be the same; the scalar path's."""
    current = _core._scan_path()
    try:
        found = {}
        for path in ["scalar"] + vector_paths():
            _core._scan_path(path)
            found[path] = fpscope.audit(impl, "exp", **kwargs)
    finally:
        _core._scan_path(current)
    assert len({repr(a) for a in found.values()}) == 1, found.keys()
    return found["scalar"]


@pytest.mark.parametrize("lo, hi, stride", [
    (TINY * (1 - 2.0 ** -15), TINY * (1 + 2.0 ** -14), 1),     # either side of the series' bound
    (-TINY * (1 + 2.0 ** -14), -TINY * (1 - 2.0 ** -15), 1),
    (-2.0 ** -130, 2.0 ** -130, 9_973),                         # subnormals
    (-TINY, TINY, 10_000_019),                                  # every binade below the bound
    (-2.0 ** -23, 2.0 ** -23, 4_001),                           # where exp rounds to 1 or next to it
    # Beyond the binary64 range the reference is an infinity or a zero, without the platform's function.
    (709.0, 711.0, 7),                                          # the binary64 overflow threshold, 709.78
    (-747.0, -745.0, 7),                                        # half the smallest subnormal, at -745.13
    (3e38, np.inf, 997),
    (-np.inf, -3e38, 997),
])
@pytest.mark.parametrize("make", [through_binary64, scrambled], ids=["rounded", "scrambled"])
def test_exp_where_its_reference_is_cheap_against_mpmath(lo, hi, stride, make):
    # The series' errors are proven below 2^-28.9 binary32 ulps; leaving out its cubic term would err by
    # 2^-27.6 at the bound. The reported errors are |y - v| / ulp, exact once v is.
    a = exp_audits_on_every_path(make("exp"), lo=lo, hi=hi, stride=stride, worst=400)
    assert a.inputs > 100 and len(a.worst) > 50
    assert make is scrambled or a.special_mismatches == 0
    for x, y, _, e in a.worst:
        if math.isfinite(y) and abs(x) < 1000:  # e^-3e38 is no number to take exactly
            assert e == pytest.approx(mp_error("exp", x, y), abs=2.0 ** -28, rel=2.0 ** -50), (x, y)


def _exp_region_edges():
    f = np.float32
    below = lambda v: np.nextafter(f(v), f(0))
    return np.array([TINY, below(TINY), -TINY, below(-TINY), 710, below(710), -746, below(-746), 2.0 ** -149,
                     -2.0 ** -149, 0.0, -0.0, np.inf, -np.inf, 3e38, -3e38, 1.0], dtype=np.float32)


@pytest.mark.parametrize("layout", ["mixed", "nan-inside"])
def test_exp_inputs_at_the_edges_of_the_cheap_references(layout):
    # Blocks that mix the ranges of the cheap references with each other and with the platform's, and
    # blocks of tiny inputs or of overflowing ones with a NaN inside: the NaN is skipped, not judged.
    rng = np.random.default_rng(5)
    edges = _exp_region_edges()
    if layout == "mixed":
        xs = rng.permutation(np.repeat(edges, 40))
    else:
        tiny = (rng.random(600) * 2 - 1).astype(np.float32) * np.float32(TINY)
        big = np.float32(710) + rng.random(600).astype(np.float32) * np.float32(1e30)
        xs = np.concatenate([tiny[:300], [np.nan], tiny[300:], big[:300], [np.nan], big[300:]]).astype(np.float32)
    a = exp_audits_on_every_path(through_binary64("exp"), inputs=xs, worst=100)
    assert a.inputs == np.count_nonzero(~np.isnan(xs)) and a.correctly_rounded == a.inputs
    for x, y, _, e in a.worst:
        if math.isfinite(y):
            assert e == pytest.approx(mp_error("exp", x, y), abs=2.0 ** -28, rel=2.0 ** -50), (x, y)
