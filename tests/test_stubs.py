"""The type stubs of the core match its signatures, and mypy --strict accepts typical use."""
import ast
import importlib.util
import inspect
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import fpscope
from fpscope import _core

ROOT = Path(__file__).resolve().parents[1]
# The stub shipped beside the module that is imported (the source tree, or an installed wheel).
STUB = ast.parse(Path(_core.__file__).with_name("_core.pyi").read_text())
FUNCTIONS = {node.name: node for node in STUB.body if isinstance(node, ast.FunctionDef)}


def test_stub_declares_every_name_of_the_module():
    declared = set(FUNCTIONS) | {node.target.id for node in STUB.body if isinstance(node, ast.AnnAssign)}
    assert set(_core.__all__) | {"__all__"} <= declared
    public = {name for name in FUNCTIONS if not name.startswith("_")}
    assert public == {name for name in _core.__all__ if callable(getattr(_core, name))}
    assert all(callable(getattr(_core, name)) for name in FUNCTIONS.keys() - public)
    assert "PanicException" in {node.name for node in STUB.body if isinstance(node, ast.ClassDef)}


@pytest.mark.parametrize(
    "name", [n for n in _core.__all__ if callable(getattr(_core, n))]
    # The private helpers with ordinary parameters; the call-through helper takes *args, **kwargs.
    + [n for n in FUNCTIONS if n.startswith("_") and n != "_with_default_float_environment"]
)
def test_stub_signature_is_the_runtime_signature(name):
    runtime = inspect.signature(getattr(_core, name))
    node = FUNCTIONS[name]
    args = node.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
    assert [a.arg for a in args.args] == list(runtime.parameters)
    defaults = [ast.literal_eval(d) for d in args.defaults]
    runtime_defaults = [p.default for p in runtime.parameters.values() if p.default is not p.empty]
    assert defaults == runtime_defaults and all(type(a) is type(b) for a, b in zip(defaults, runtime_defaults))
    assert node.returns is not None and all(a.annotation is not None for a in args.args)


def parameters(signature: str) -> str:
    """The parameters of a signature written as in a def, without annotations: kinds, names, default values."""
    args = ast.parse(f"def f{signature}: ...").body[0].args
    for arg in [*args.posonlyargs, *args.args, *args.kwonlyargs, args.vararg, args.kwarg]:
        if arg is not None:
            arg.annotation = None
    return ast.dump(args)


def test_signature_dump_lists_every_function_as_the_runtime_shows_it():
    assert set(_core._SIGNATURES) == set(FUNCTIONS)
    public = [name for name in _core._SIGNATURES if not name.startswith("_")]
    assert public == [name for name in _core.__all__ if callable(getattr(_core, name))]
    for name, signature in _core._SIGNATURES.items():
        assert getattr(_core, name).__text_signature__ == signature


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_stub_matches_the_signature_dump(name):
    assert parameters(f"({ast.unparse(FUNCTIONS[name].args)})") == parameters(_core._SIGNATURES[name])


API_PAGE = ROOT / "docs" / "api.rst"


@pytest.mark.skipif(not API_PAGE.is_file(), reason="no documentation beside the tests")
@pytest.mark.parametrize("name", [name for name in _core._SIGNATURES if not name.startswith("_")])
def test_api_page_documents_each_core_function_with_the_dumped_signature(name):
    # The page renders the signature of the object fpscope exports, the core's or a wrapper of it.
    assert re.search(rf"^\.\. autofunction:: fpscope\.{name}$", API_PAGE.read_text(encoding="utf-8"), re.M)
    shown = inspect.signature(getattr(fpscope, name))
    shown = shown.replace(parameters=[p.replace(annotation=p.empty) for p in shown.parameters.values()],
                          return_annotation=shown.empty)
    core = _core._SIGNATURES[name]
    if name == "ulp_distances":  # the package infers the dtype from the arrays when none is given
        core = core.replace('dtype="f64"', "dtype=None")
    assert parameters(str(shown)) == parameters(core)


# The text signatures and docstrings the functions had before they were declared in one place; the
# declarations must give them byte for byte.
DOCUMENTED = {
    '_scan_path': (
        '(name="")',
        'Forces the path of new scans ("scalar", "sse2", "avx2", "avx512") and returns the previous one;\nwithout a name, returns the current one.',
    ),
    '_with_default_float_environment': (
        '(fn, /, *args, **kwargs)',
        "Call fn(*args, **kwargs) rounding to nearest with subnormals kept, then restore the caller's\nfloating-point environment (also when fn raises).",
    ),
    'all_floats': (
        '(lo, hi, dtype="f32", limit=1000000)',
        'Every float of the dtype in [lo, hi], ascending. Errors if there are more than `limit`.',
    ),
    'binade_edges': (
        '(min_exp, max_exp, dtype="f64")',
        'For each exponent e in [min_exp, max_exp]: the float just below 2**e and 2**e.',
    ),
    'knife_edges_raw': (
        '(op, lo, hi, tol_ulp=1e-3, dtype="f32", limit=100, stride=1, max_evals=100000000)',
        'Up to `limit` inputs in [lo, hi] whose exact `op` result is within `tol_ulp` of a rounding\nmidpoint, as (x, rounded, distance_ulp, exact_above), plus the number of inputs evaluated and\nwhether the whole range was covered. Scans every `stride`-th float, at most `max_evals`.',
    ),
    'midpoint': (
        '(op, x, dtype="f32", y=None)',
        'Where the exact result of `op(x)` (or `x / y` for op="div") sits relative to the rounding\nmidpoint: (rounded, distance_ulp, exact_above, exact). None when the result is not finite.',
    ),
    'neighbours': (
        '(x, k=1, dtype="f64")',
        'The k floats below x, x, and the k floats above it (finite only, ascending).',
    ),
    'next_down': (
        '(x, dtype="f64")',
        None,
    ),
    'next_up': (
        '(x, dtype="f64")',
        None,
    ),
    'ordered': (
        '(x, dtype="f64")',
        'Monotone integer view of x (-0.0 and +0.0 both map to 0).',
    ),
    'spacing': (
        '(x, dtype="f64")',
        'Spacing between |x| and the next larger float of the dtype.',
    ),
    'special': (
        '(dtype="f32")',
        'Named edge values of the dtype as (name, value) pairs.',
    ),
    'sqrt_cr': (
        '(x, dtype="f64")',
        'Correctly rounded square root of the dtype, independent of the platform sqrt.',
    ),
    'ulp_distance': (
        '(a, b, dtype="f64")',
        'Number of representable floats between a and b, None if either is NaN.',
    ),
    'ulp_distances': (
        '(a, b, dtype="f64")',
        'Elementwise ulp_distance over two equally long sequences.',
    ),
}


@pytest.mark.parametrize("name", sorted(DOCUMENTED))
def test_text_signature_and_docstring_are_unchanged(name):
    fn = getattr(_core, name)
    assert (fn.__text_signature__, fn.__doc__) == DOCUMENTED[name]


USAGE = """
    from typing import Optional

    import fpscope
    from fpscope import Hit, Midpoint, Scan, ScanInterrupted, knife_edges, report

    try:
        scan: Scan = knife_edges("sqrt", 1.0, 2, tol_ulp=1e-6, limit=10, progress=True)
    except ScanInterrupted as stop:
        scan = stop.scan
    first: Hit = scan.hits[0]
    answer: Optional[Midpoint] = report("div", 1.0, "f64", 3.0)
    raw: tuple[list[tuple[float, float, float, bool]], int, bool] = fpscope.knife_edges_raw("sqrt", 1.0, 2.0)
    distances: list[Optional[int]] = fpscope.ulp_distances([1.0, 2.0], (1, 2), "f32")
    table: list[tuple[str, float]] = fpscope.special("f64")
    point: Optional[tuple[float, float, bool, bool]] = fpscope.midpoint("sqrt", 2, y=None)
    edges: list[float] = fpscope.binade_edges(-1, 1) + fpscope.neighbours(1.0, k=2) + fpscope.all_floats(1, 2)
    order: int = fpscope.ordered(fpscope.next_up(fpscope.spacing(fpscope.sqrt_cr(2.0))))
    fpscope.assert_ulp_close([first.x], [1.0], max_ulp=0, dtype="f32")
"""


def test_mypy_strict_accepts_typical_use(tmp_path):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed")
    example = tmp_path / "usage.py"
    example.write_text(textwrap.dedent(USAGE))
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import fpscope\nname: str = fpscope.next_up(1.0)\n")
    run = [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), "--python-version", "3.9"]
    done = subprocess.run([*run, str(example)], cwd=ROOT, capture_output=True, text=True)
    assert done.returncode == 0, done.stdout + done.stderr
    # The stubs are really read: a wrong use is caught.
    done = subprocess.run([*run, str(wrong)], cwd=ROOT, capture_output=True, text=True)
    assert done.returncode == 1 and 'expression has type "float", variable has type "str"' in done.stdout
