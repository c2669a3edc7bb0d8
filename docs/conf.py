"""Sphinx configuration of the fpscope documentation (furo theme, autodoc over the package and core).

Build with warnings as errors, as CI does: ``pip install '.[docs]'``, then
``python -m sphinx -W -b html docs docs/_build/html``. The fpscope that Python imports is documented:
the source tree once its core is built (``cmake -S . -B build && cmake --build build``), else the
installed one. Run from the checkout, Python finds the source tree first; while its core is not built
it cannot be imported, and the installed fpscope is documented instead.
"""
from __future__ import annotations

import importlib.machinery
import importlib.util
import sys
from pathlib import Path

from sphinx.errors import ConfigError

HERE = Path(__file__).resolve().parent
CHECKOUT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))


def _unbuilt_checkout_first() -> bool:
    """Whether ``import fpscope`` would import this checkout's package, whose core is not built."""
    found = importlib.util.find_spec("fpscope")
    package = CHECKOUT / "fpscope"
    if found is None or found.origin is None or Path(found.origin).resolve().parent != package:
        return False
    return not any((package / f"_core{suffix}").exists() for suffix in importlib.machinery.EXTENSION_SUFFIXES)


if _unbuilt_checkout_first():
    path = sys.path[:]
    sys.path[:] = [entry for entry in path if Path(entry or ".").resolve() != CHECKOUT]
    if importlib.util.find_spec("fpscope") is None:
        sys.path[:] = path  # nothing installed: importing the checkout says what to do
try:
    import fpscope
except ImportError as e:
    raise ConfigError(str(e)) from None

project = "fpscope"
author = "The fpscope developers"
copyright = "2026, The fpscope developers"
release = version = fpscope.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.intersphinx", "fpscope_docs"]
templates_path: list[str] = []
exclude_patterns = ["_build"]
html_theme = "furo"
html_title = f"fpscope {release}"
# Single backticks in docstrings are code, as their authors meant, not emphasis.
default_role = "code"
# Option names such as --all-ops stay as typed, not turned into dashes.
smartquotes = False
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
# Names in signatures that have no page of their own here are not cross-referenced.
nitpicky = False
intersphinx_mapping: dict[str, tuple[str, None]] = {}
