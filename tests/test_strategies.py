"""edge_floats and knife_edge_floats: what they draw, and that they need Hypothesis."""
import math
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import find, given, settings
from hypothesis import strategies as st
from hypothesis.errors import NoSuchExample

import fpscope
from fpscope import _core, report
from fpscope._floats import to_format
from fpscope.strategies import _edge_values, edge_floats, edge_values, knife_edge_floats

ROOT = Path(__file__).resolve().parents[1]


@pytest.mark.parametrize("dtype", ["f32", "f64"])
def test_draws_the_named_values_powers_of_two_and_their_neighbours_with_both_signs(dtype):
    values = _edge_values(dtype)
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
    for v in _edge_values("f32" if f32 else "f64"):
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
        edge_floats("f8")


def test_import_needs_hypothesis():
    code = "import sys; sys.modules['hypothesis'] = None; import fpscope.strategies"
    done = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True)
    assert done.returncode == 1 and "ImportError: fpscope.strategies needs Hypothesis" in done.stderr


# ---------------------------------------------------------------- knife_edge_floats

def double_rounded_sqrt(x):
    """binary32 sqrt through a 40-bit intermediate: wrong only within about 2**-17 ulp of a midpoint."""
    m, e = math.frexp(math.sqrt(x))
    return to_format(math.ldexp(round(m * 2**40) / 2**40, e), True)


def misrounded(x):
    answer = report("sqrt", x, "f32")
    return answer is not None and double_rounded_sqrt(x) != answer.rounded


FIND = settings(database=None, derandomize=True, max_examples=500)


def test_knife_edges_find_a_fault_that_random_floats_miss():
    x = find(knife_edge_floats("sqrt", tol_ulp=1e-5), misrounded, settings=FIND)
    assert report("sqrt", x, "f32").distance_ulp < 1e-5
    with pytest.raises(NoSuchExample):
        find(st.floats(1.0, 4.0, width=32), misrounded, settings=FIND)


@pytest.mark.parametrize("op, dtype", [("sqrt", "f32"), ("sqrt", "f64"), ("exp", "f32"), ("log1p", "float"),
                                       ("cbrt", "f32"), ("arcsinh", "f32"), ("lgamma", "f32")])
def test_draws_are_floats_of_the_format_and_mostly_knife_edges(op, dtype):
    f32 = dtype in ("f32", "float")
    near = []

    @settings(database=None, max_examples=60, deadline=None)
    @given(knife_edge_floats(op, dtype))
    def draws(x):
        assert type(x) is float and math.isfinite(x) and to_format(x, f32) == x
        answer = report(op, x, dtype)
        near.append(answer is not None and answer.distance_ulp <= 1e-3)

    draws()
    assert sum(near) >= len(near) // 2, f"{sum(near)} of {len(near)} draws near a midpoint"


def test_the_shipped_table_comes_first(monkeypatch):
    from fpscope import strategies
    worst = 1.0000003576278687
    monkeypatch.setattr(strategies, "_table_inputs", lambda op, f32: (worst, 2.0))
    assert find(knife_edge_floats("sqrt"), lambda x: True, settings=FIND) == worst


def test_table_inputs_are_read_when_shipped():
    from fpscope.strategies import _table_inputs
    for op in _core.UNARY_OPS:
        xs = _table_inputs(op, True)
        assert all(to_format(x, True) == x for x in xs)
    assert _table_inputs("no such op", True) == ()


@pytest.mark.parametrize("args, kwargs, message", [
    (("exp", "f64"), {}, "f64 scans are available for op='sqrt' only"),
    (("div",), {}, "op='div' takes two arguments"),
    (("arctan2",), {}, "op='arctan2' takes two arguments"),
    (("nope",), {}, 'unknown op "nope"'),
    (("sqrt", "f8"), {}, "unsupported dtype"),
    (("sqrt",), {"window": 0}, "window must be a positive int"),
])
def test_bad_requests_are_refused_at_once(args, kwargs, message):
    with pytest.raises(ValueError, match=message):
        knife_edge_floats(*args, **kwargs)


# binary16 and bfloat16: edge values from their own layouts, knife edges from one whole-format scan.
@pytest.mark.parametrize("dtype, largest, smallest", [("f16", 65504.0, 2.0 ** -24), ("half", 65504.0, 2.0 ** -24),
                                                      ("bf16", float.fromhex("0x1.fep127"), 2.0 ** -133)])
def test_sixteen_bit_edge_values(dtype, largest, smallest):
    from fpscope._formats import resolve
    fmt = resolve(dtype)
    values = edge_values(dtype, allow_infinity=False)
    assert {largest, -largest, smallest, -smallest, 1.0, fmt.next_up(1.0), fmt.next_down(1.0)} <= set(values)
    assert all(fmt.round_to(v) == v for v in values) and not any(math.isinf(v) for v in values)
    assert len({(v, math.copysign(1, v)) for v in values}) == len(values)


@pytest.mark.parametrize("op, dtype", [("exp", "f16"), ("tanh", "bfloat16"), ("sqrt", "bf16")])
def test_sixteen_bit_knife_edges_are_all_knife_edges(op, dtype):
    @settings(database=None, max_examples=40, deadline=None)
    @given(knife_edge_floats(op, dtype, tol_ulp=1e-2))
    def draws(x):
        answer = report(op, x, dtype)
        assert answer is not None and not answer.exact and answer.distance_ulp < 1e-2

    draws()
    closest = find(knife_edge_floats(op, dtype, tol_ulp=1e-2), lambda x: True, settings=FIND)
    assert closest == fpscope.worst_cases(op, dtype=dtype, top=1)[0].x
