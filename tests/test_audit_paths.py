"""Audits judged on the vector references: the same audit, to the bit, on every path and however the
inputs are cut into chunks and blocks."""
import numpy as np
import pytest

import fpscope
from fpscope import _audit, _core
from test_audit import F64, scrambled, vector_paths


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
