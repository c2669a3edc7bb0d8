"""Sphinx configuration of the fpscope documentation (furo theme, autodoc over the package and core).

Build with warnings as errors, as CI does: ``python -m sphinx -W -b html docs docs/_build/html``.
The fpscope that Python imports is documented: the source tree after a build, or an installed wheel.
"""
from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE / "_ext"))

import fpscope  # noqa: E402

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
