"""edge_floats: what it draws, and that it needs Hypothesis."""
import math
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given

from fpscope import _core
from fpscope._floats import to_format
from fpscope.strategies import _edge_values, edge_floats, edge_values

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("dtype", ["f32", "f64"])
def test_draws_the_named_values_powers_of_two_and_their_neighbours_with_both_signs(dtype):
    values = _edge_values(dtype == "f32")
    reprs = {repr(v) for v in values}
    named = [v for _, v in _core.special(dtype)]
    assert {repr(v) for v in named} <= reprs and {repr(-v) for v in named} <= reprs
    assert {repr(v) for v in _core.binade_edges(-1100, 1100, dtype)} <= reprs
    assert {repr(v) for v in _core.neighbours(_core.next_up(1.0, dtype), 1, dtype)} <= reprs
    assert len(reprs) == len(values)  # each value once; -0.0 and 0.0 are two values
    assert values[0] == 0.0 and math.copysign(1, values[0]) == 1  # shrinks towards +0.0


@pytest.mark.parametrize("dtype", ["f32", "float", "f64"])
def test_values_are_floats_of_the_format(dtype):
    f32 = _core.ordered(1.0, dtype) == 0x3F800000
    for v in _edge_values(f32):
        assert type(v) is float and (math.isnan(v) or to_format(v, f32) == v)


@given(edge_floats("f32", allow_nan=False, allow_infinity=False))
def test_finite_draws_when_asked(x):
    assert math.isfinite(x) and to_format(x, True) == x


def test_nan_and_infinity_switches():
    def members(**kw):
        return set(map(repr, edge_values("f64", **kw)))

    assert "nan" not in members() and {"inf", "-inf"} <= members()
    assert "nan" in members(allow_nan=True) and not {"inf", "-inf"} & members(allow_infinity=False)


def test_bad_dtype_is_refused_at_once():
    with pytest.raises(ValueError, match="unsupported dtype"):
        edge_floats("f16")


def test_import_needs_hypothesis():
    code = "import sys; sys.modules['hypothesis'] = None; import fpscope.strategies"
    done = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True)
    assert done.returncode == 1 and "ImportError: fpscope.strategies needs Hypothesis" in done.stderr
