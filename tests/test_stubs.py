"""The type stubs of the core match its signatures, and mypy --strict accepts typical use."""
import ast
import importlib.util
import inspect
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

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
