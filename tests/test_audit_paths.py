"""Audits judged on the vector references: the same audit, to the bit, on every path and however the
inputs are cut into chunks and blocks."""
import math

import numpy as np
import pytest

import fpscope
from fpscope import _audit, _core, _mathlib
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


def binary64_of(op):
    """op in binary64: the pi-scaled ones after an exact reduction of x."""
    if op in ("sinpi", "cospi", "tanpi"):
        period, f = {"sinpi": (2.0, np.sin), "cospi": (2.0, np.cos), "tanpi": (1.0, np.tan)}[op]
        return lambda xs: f(np.pi * np.fmod(xs, period))
    if op == "tgamma":
        return np.vectorize(lambda x: math.gamma(x) if -200 < x < 171 and x != math.floor(x) else
                            (math.inf if x >= 0 else math.nan), otypes=[np.float64])
    return np.cbrt


def answers_at_points(op, at_point):
    """The binary64 function rounded and moved a few ulps on some inputs; where at_point holds, mostly one
    of +-0, +-1, +-inf, NaN and 2^-149, or the next float up of the rounding, picked by x's bits."""
    f = binary64_of(op)
    picks = np.array([0.0, -0.0, 1.0, -1.0, np.inf, -np.inf, np.nan, 2.0 ** -149], dtype=np.float32)

    def answers(xs):
        with np.errstate(all="ignore"):
            ys = f(xs.astype(np.float64)).astype(np.float32)
            h = (xs.view(np.uint32).astype(np.uint64) * 2654435761) >> 29 & 0xFFFF
            moved = (ys.view(np.int32) + (h % 5 == 0) * ((h % 7).astype(np.int32) - 3)).view(np.float32)
            point = at_point(xs)
            picked = np.where(h % 3 == 0, np.nextafter(ys, np.float32(np.inf)), picks[h % 8])
        return np.where(point & (h % 9 < 8), picked, np.where(np.isfinite(ys), moved, ys))
    return answers


QUARTERS = np.arange(-40, 41, dtype=np.float32) / 4
PI_POINTS = np.concatenate([QUARTERS, np.nextafter(QUARTERS, -np.inf), np.nextafter(QUARTERS, np.inf), np.float32([
    0.0, -0.0, np.inf, -np.inf, 2.0 ** -149, -2.0 ** -149, 2.0 ** 21 + 0.25, -2.0 ** 21 - 0.75, 2.0 ** 22 + 0.5,
    -2.0 ** 22 - 1.5, 2.0 ** 23 - 0.5, 2.0 ** 23 + 1, -2.0 ** 23 - 3, 2.0 ** 24 + 2, -2.0 ** 25 - 4, -3e38, 3.4e38])])
# Cubes of floats of up to 9 bits across the range, their neighbours, and the cube roots' own rule at 0 and inf.
_ROOTS = np.float64([1, 3, 5, 7, 27, 255, 405, 511]) * np.float64(2.0) ** np.arange(-49, 35, 7)[:, None]
_CUBES = (_ROOTS.ravel() ** 3).astype(np.float32)
CUBES = np.concatenate([_CUBES, -_CUBES, np.nextafter(_CUBES, np.float32(0)), np.nextafter(_CUBES, np.float32(np.inf)),
                        np.float32([0.0, -0.0, np.inf, -np.inf, 2.0 ** -149, 3.4e38])])
POWERS = np.float32(2.0) ** -np.arange(1, 150, dtype=np.float32)
TINY_POWERS = np.concatenate([POWERS, -POWERS, np.nextafter(POWERS, np.float32(1)), np.float32([0.5, -0.5, 0.75])])


def is_pi_point(op):
    return lambda x: _mathlib.exact_point(op, x) is not None


def is_cube(x):
    answer = fpscope.report("cbrt", x)
    return not math.isfinite(x) or x == 0 or answer.exact


def is_reciprocal_power(x):  # tgamma(x) just below 1/x, a float
    return x != 0 and abs(x) < 1 and math.frexp(x)[0] in (0.5, -0.5)


# (op, crafted inputs, the points its rule settles, whether they are exact points, whose errors are exact).
POINTS = [(op, PI_POINTS, is_pi_point(op), True) for op in ("sinpi", "cospi", "tanpi")] + [
    ("cbrt", CUBES, is_cube, True), ("tgamma", TINY_POWERS, is_reciprocal_power, False)]


def close(a, b):
    """Audits' dicts equal but for errors, which may differ in their last bits (1e-12 relative)."""
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (a != a and b != b) or math.isclose(a, b, rel_tol=1e-12)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(close(u, v) for u, v in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(close(a[k], b[k]) for k in a)
    return a == b


def uncertain_f32(op, xs, ys, path):
    """The core's judgement of ys at xs on the path: its tally, with the inputs it leaves undecided."""
    current = _core._scan_path()
    try:
        _core._scan_path(path)
        return _core._audit_f32(op, len(xs), xs=xs.ctypes.data, ys=ys.ctypes.data, worst=50)
    finally:
        _core._scan_path(current)


@pytest.mark.parametrize("op, points, is_point, exact", POINTS, ids=[p[0] for p in POINTS])
def test_points_decided_by_rule_are_judged_natively_as_certified(op, points, is_point, exact):
    # Crafted points and every 40_009th float (for the pi-scaled ops a third of them, all of |x| >= 2^23,
    # exact points): the core decides each point a rule of its settles (exact points, zeros, infinities; the
    # side of tgamma below 1/x) itself, and its audit is the same to the bit on every path as the one with
    # those inputs (skipped by the core as NaN) judged one by one by the certified judgement; beside 1/x,
    # where the core's errors come from the binary64 value, to their last bits.
    start = _core.ordered(-np.inf, "f32")
    strided = np.empty((_core.ordered(np.inf, "f32") - start) // 40_009 + 1, dtype=np.float32)
    _core._audit_fill(strided.ctypes.data, -np.inf, 40_009, len(strided), "f32")
    xs = np.concatenate([points, strided])
    settled = np.array([is_point(x) for x in xs.tolist()])
    impl = answers_at_points(op, lambda a: np.isin(a, xs[settled]))
    ys = impl(xs)
    part = _audit._part_of(uncertain_f32(op, np.where(settled, np.float32(np.nan), xs), ys, "scalar"), op, 0, 50)
    for i in np.flatnonzero(settled).tolist():
        _audit._add_certified(part, op, True, i, float(xs[i]), float(ys[i]), _audit._f32_binade(float(xs[i])))
    part.worst, part.examples = sorted(part.worst, key=_audit._worst_key)[:50], sorted(part.examples)[:_audit.EXAMPLES]
    expected = _audit._finish(part, op, "f32", _audit._resolve(impl, True).description, False, True, 50)
    found = set(audits_on_every_path(impl, op, inputs=xs, worst=50).values())
    if exact:
        assert found == {repr(expected)}
    else:
        assert len(found) == 1
        assert close(fpscope.audit(impl, op, inputs=xs, worst=50).to_dict(), expected.to_dict())
    for path in ["scalar"] + vector_paths():
        assert not [x for _, x, _ in uncertain_f32(op, xs, ys, path)[-1] if is_point(x)]


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
