"""Sphinx helpers for the fpscope documentation.

- The native core's docstrings are plain text, written for ``help()``; a few of their characters
  mean markup to reStructuredText (``|x|`` is a substitution, ``2**e`` opens bold text). They are
  escaped when the documentation is rendered, and stay as they are in the module.
- ``.. worst-case-tables::`` renders the worst-case tables shipped in ``fpscope/data/worst/``, one
  table per file, or says that this build ships none.
- ``.. fpscope-commands::`` renders the reference of every subcommand of the ``fpscope`` command
  from its argument parser: usage, description, arguments and options with their help.
"""
from __future__ import annotations

import argparse
import json
import math
from importlib import resources
from typing import Any

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

# Characters of the core's plain text that reStructuredText reads as markup. Backticks stay: they
# mark code there, and the documentation's default role renders them as code.
RST_SPECIAL = ("\\", "|", "*", "_")


def escape_plain_text(line: str) -> str:
    """``line`` with every character that reStructuredText would read as markup escaped."""
    for char in RST_SPECIAL:
        line = line.replace(char, "\\" + char)
    return line


def is_core_object(obj: Any) -> bool:
    """Whether ``obj`` is a function of the native core (whose ``__self__`` is the module)."""
    owner = getattr(obj, "__self__", None)
    return getattr(obj, "__module__", None) == "fpscope._core" or getattr(owner, "__name__", None) == "fpscope._core"


def escape_core_docstrings(app: Sphinx, what: str, name: str, obj: Any, options: Any, lines: list[str]) -> None:
    if is_core_object(obj):
        lines[:] = [escape_plain_text(line) for line in lines]


def worst_tables() -> list[dict[str, Any]]:
    """Every table shipped with the imported fpscope, by dtype and operation name."""
    folder = resources.files("fpscope").joinpath("data", "worst")
    if not folder.is_dir():
        return []
    files = sorted((f for f in folder.iterdir() if f.name.endswith(".json")), key=lambda f: f.name)
    return [json.loads(f.read_text(encoding="utf-8")) for f in files]


def _number(value: Any) -> str:
    return repr(value) if isinstance(value, float) and math.isfinite(value) else str(value)


class WorstCaseTables(SphinxDirective):
    """Renders each shipped worst-case table as a section with a list table."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        tables = worst_tables()
        if not tables:
            paragraph = nodes.paragraph(text="This build of fpscope ships no worst-case tables.")
            return [paragraph]
        out: list[str] = []
        for table in tables:
            title = f"{table['op']} ({table['dtype']})"
            out += [title, "-" * len(title), ""]
            how = "certified" if table.get("certified") else "as the core's binary64 reference judges them"
            out += [f"The {len(table['rows'])} inputs in [``{table['lo_hex']}``, ``{table['hi_hex']}``] "
                    f"whose exact result lies closest to a rounding midpoint ({how}); "
                    f"{table['evaluated']} inputs scanned at a tolerance of {_number(table['tol_ulp'])} ulp.", ""]
            out += [".. list-table::", "   :header-rows: 1", "",
                    "   * - x", "     - rounded", "     - distance_ulp", "     - exact result"]
            for row in table["rows"]:
                out += [f"   * - ``{row['x_hex']}``", f"     - ``{row['rounded_hex']}``",
                        f"     - {_number(row['distance_ulp'])}",
                        f"     - {'above' if row['exact_above'] else 'below'} rounded"]
            out.append("")
        container = nodes.Element()
        nested_parse_with_titles(self.state, StringList(out, source="worst-case tables"), container,
                                 self.content_offset)
        return list(container.children)


def _subcommands(parser: argparse.ArgumentParser) -> dict[str, argparse.ArgumentParser]:
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            return dict(action.choices)
    return {}


def _invocation(action: argparse.Action) -> str:
    if not action.option_strings:
        return action.metavar if isinstance(action.metavar, str) else action.dest
    if action.nargs == 0:
        return ", ".join(action.option_strings)
    metavar = action.metavar if isinstance(action.metavar, str) else action.dest.upper()
    return ", ".join(f"{option} {metavar}" for option in action.option_strings)


def command_reference() -> list[str]:
    """reStructuredText for every subcommand of the fpscope command, from its parser."""
    from fpscope.cli import build_parser

    out: list[str] = []
    for name, parser in _subcommands(build_parser()).items():
        title = f"fpscope {name}"
        formatter = argparse.HelpFormatter(parser.prog, width=88)
        formatter.add_usage(parser.usage, parser._actions, parser._mutually_exclusive_groups, prefix="")
        usage = formatter.format_help().strip()
        out += [title, "~" * len(title), "", parser.description or "", "", ".. code-block:: text", ""]
        out += ["   " + line for line in usage.splitlines()] + [""]
        for action in parser._actions:
            if isinstance(action, argparse._HelpAction):
                continue
            help_text = argparse.HelpFormatter(parser.prog)._expand_help(action) if action.help else ""
            out += [f"``{_invocation(action)}``", f"   {escape_plain_text(help_text) or '(no description)'}", ""]
    return out


class CommandReference(SphinxDirective):
    """Renders :func:`command_reference` in place."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        container = nodes.Element()
        nested_parse_with_titles(self.state, StringList(command_reference(), source="fpscope.cli.build_parser"),
                                 container, self.content_offset)
        return list(container.children)


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_directive("fpscope-commands", CommandReference)
    app.connect("autodoc-process-docstring", escape_core_docstrings)
    app.add_directive("worst-case-tables", WorstCaseTables)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
