"""The module object: attributes, __all__, docstrings and text signatures."""
import importlib.util
import inspect

import pytest

from fpscope import _core as fs

ALL = ["ulp_distance", "ulp_distances", "ordered", "next_up", "next_down", "spacing", "special", "neighbours",
       "binade_edges", "all_floats", "midpoint", "knife_edges_raw", "sqrt_cr", "UNARY_OPS", "__version__"]

SIGNATURES = {
    "ulp_distance": '(a, b, dtype="f64")',
    "ulp_distances": '(a, b, dtype="f64")',
    "ordered": '(x, dtype="f64")',
    "next_up": '(x, dtype="f64")',
    "next_down": '(x, dtype="f64")',
    "spacing": '(x, dtype="f64")',
    "special": '(dtype="f32")',
    "neighbours": '(x, k=1, dtype="f64")',
    "binade_edges": '(min_exp, max_exp, dtype="f64")',
    "all_floats": '(lo, hi, dtype="f32", limit=1000000)',
    "midpoint": '(op, x, dtype="f32", y=None)',
    "knife_edges_raw": '(op, lo, hi, tol_ulp=1e-3, dtype="f32", limit=100, stride=1, max_evals=100000000)',
    "sqrt_cr": '(x, dtype="f64")',
}

DOCS = {
    "ordered": "Monotone integer view of x (-0.0 and +0.0 both map to 0).",
    "next_up": None,
    "next_down": None,
    "spacing": "Spacing between |x| and the next larger float of the dtype.",
    "knife_edges_raw": "Up to `limit` inputs in [lo, hi] whose exact `op` result is within `tol_ulp` of a rounding\n"
    "midpoint, as (x, rounded, distance_ulp, exact_above), plus the number of inputs evaluated and\n"
    "whether the whole range was covered. Scans every `stride`-th float, at most `max_evals`.",
    "midpoint": 'Where the exact result of `op(x)` (or `x / y` for op="div") sits relative to the rounding\n'
    "midpoint: (rounded, distance_ulp, exact_above, exact). None when the result is not finite.",
}


def test_module_attributes():
    assert fs.__all__ == ALL
    assert set(ALL) <= set(dir(fs))
    assert fs.__doc__ == ""
    assert fs.__version__ == "0.3.2"
    assert len(fs.UNARY_OPS) == 17 and all(type(op) is str for op in fs.UNARY_OPS)
    assert fs.UNARY_OPS[0] == "sqrt" and fs.UNARY_OPS[-1] == "softplus"
    assert not {"ln", "reciprocal", "div"} & set(fs.UNARY_OPS)


@pytest.mark.parametrize("name, signature", SIGNATURES.items())
def test_text_signatures(name, signature):
    fn = getattr(fs, name)
    assert fn.__text_signature__ == signature
    assert fn.__name__ == name
    assert fn.__module__ == fs.__name__
    assert fn.__self__ is None
    params = inspect.signature(fn).parameters
    assert list(params) == [p.split("=")[0].strip() for p in signature[1:-1].split(",")]


@pytest.mark.parametrize("name, doc", DOCS.items())
def test_docstrings(name, doc):
    assert getattr(fs, name).__doc__ == doc


def test_defaults_reported_by_inspect():
    params = inspect.signature(fs.knife_edges_raw).parameters
    assert params["tol_ulp"].default == 1e-3
    assert params["max_evals"].default == 100000000
    assert inspect.signature(fs.midpoint).parameters["y"].default is None


def test_a_fresh_module_object_gets_fresh_attributes():
    module_spec = importlib.util.find_spec("fpscope._core")
    other = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(other)
    assert other.__all__ == ALL
    assert other.UNARY_OPS == fs.UNARY_OPS and other.UNARY_OPS is not fs.UNARY_OPS
    assert other.next_up is not fs.next_up


def test_changing_unary_ops_changes_nothing():
    saved = list(fs.UNARY_OPS)
    fs.UNARY_OPS.clear()
    try:
        assert fs.next_up(1.0) == 1.0000000000000002
    finally:
        fs.UNARY_OPS.extend(saved)


def test_execution_step_refuses_a_non_list_all():
    module_spec = importlib.util.find_spec("fpscope._core")
    other = importlib.util.module_from_spec(module_spec)
    other.__all__ = ("x",)
    with pytest.raises(TypeError, match="'tuple' object is not an instance of 'list'"):
        module_spec.loader.exec_module(other)


def test_public_operations_are_the_unary_ops_and_div():
    public = {name: op for name, op in fs._OPERATIONS.items() if op["public"]}
    assert [name for name, op in public.items() if op["arity"] == 1] == fs.UNARY_OPS
    assert {name: op for name, op in public.items() if op["arity"] != 1} == \
        {"div": {"arity": 2, "exact": True, "public": True}}
    assert type(fs._ORACLE_VERSION) is int and fs._ORACLE_VERSION >= 1


# The aliases the public functions take; the others are numpy's, for the package (test_operations.py).
@pytest.mark.parametrize("alias, canonical", [("ln", "log"), ("reciprocal", "recip")])
@pytest.mark.parametrize("x", [0.7, 3.0, 1e-30])
def test_an_alias_answers_as_its_operation(alias, canonical, x):
    assert fs.midpoint(alias, x) == fs.midpoint(canonical, x)
    assert fs.knife_edges_raw(alias, x, 2 * x, 0.4, limit=3, max_evals=500) == \
        fs.knife_edges_raw(canonical, x, 2 * x, 0.4, limit=3, max_evals=500)


def test_exact_operations_are_those_with_an_f64_oracle():
    # binary64 has exact oracles only: the operations that need the platform's library are refused there.
    def has_f64_oracle(name):
        try:
            fs._midpoint(name, 3.0, "f64", y=7.0 if fs._OPERATIONS[name]["arity"] == 2 else None)
        except ValueError:
            return False
        return True

    assert {name for name, op in fs._OPERATIONS.items() if op["exact"]} == set(filter(has_f64_oracle, fs._OPERATIONS))


@pytest.mark.parametrize("dtype", ["f32", "f64"])
def test_format_constants_are_the_core_formats(dtype):
    f = fs._FORMATS[dtype]
    p, emin, emax, bits = f["precision"], f["emin"], f["emax"], f["bits"]
    assert fs.spacing(1.0, dtype) == 2.0 ** (1 - p)
    assert fs.next_up(0.0, dtype) == 2.0 ** (emin - p + 1)
    assert fs.next_down(float("inf"), dtype) == (2 - 2.0 ** (1 - p)) * 2.0 ** emax
    assert fs.ordered(float("inf"), dtype) == (2 ** (bits - p) - 1) << (p - 1)
