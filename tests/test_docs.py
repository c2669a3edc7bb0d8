"""The documentation cannot drift from the code: every example of the README and of the pages in
docs/ runs (Python examples as doctests, terminal examples as commands whose output is compared),
unless it is marked as not executed with a reason; the site builds with warnings as errors."""
import doctest
import importlib.util
import os
import re
import shlex
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

import fpscope

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
README = ROOT / "README.md"
PAGES = sorted(DOCS.glob("*.rst")) if DOCS.is_dir() else []

# The tests are also run from a copy outside the source tree, against an installed wheel; the
# documentation is not copied there.
pytestmark = pytest.mark.skipif(not README.is_file() or not PAGES, reason="no documentation beside the tests")

FLAGS = doctest.ELLIPSIS


@dataclass
class Block:
    """One example: its language, its text (dedented), where it starts, and why it is not run."""

    path: Path
    line: int
    language: str
    text: str
    not_executed: str = ""

    @property
    def where(self) -> str:
        return f"{self.path.name}:{self.line}"


MD_FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)
MD_MARK = re.compile(r"<!--\s*not executed:\s*(.*?)\s*-->\s*$")
RST_MARK = re.compile(r"^\.\. not executed:\s*(.*)$")


def markdown_blocks(path: Path) -> list[Block]:
    text = path.read_text(encoding="utf-8")
    blocks = []
    for m in MD_FENCE.finditer(text):
        before = text[:m.start()].rstrip("\n").splitlines()
        mark = MD_MARK.search(before[-1]) if before else None
        blocks.append(Block(path, text.count("\n", 0, m.start()) + 2, m.group(1) or "text", m.group(2),
                            mark.group(1) if mark else ""))
    return blocks


def rst_blocks(path: Path) -> list[Block]:
    """``.. code-block::`` directives and bare doctest paragraphs (lines starting with >>>)."""
    lines = path.read_text(encoding="utf-8").splitlines()
    blocks = []
    mark = ""
    i = 0
    while i < len(lines):
        line = lines[i]
        found = RST_MARK.match(line)
        if found:
            mark = found.group(1).strip()
            i += 1
            continue
        directive = re.match(r"^\.\. code-block::\s*(\w*)", line)
        if directive:
            start = i + 1
            i += 1
            while i < len(lines) and (not lines[i].strip() or lines[i].startswith(" ")):
                i += 1
            body = [text for text in lines[start:i] if not re.match(r"^\s+:\w[\w-]*:", text)]
            indent = min((len(t) - len(t.lstrip()) for t in body if t.strip()), default=0)
            text = "\n".join(t[indent:] for t in body).strip("\n") + "\n"
            blocks.append(Block(path, start, directive.group(1) or "text", text, mark))
            mark = ""
            continue
        if line.startswith(">>>"):
            start = i
            while i < len(lines) and lines[i].strip():
                i += 1
            blocks.append(Block(path, start + 1, "pycon", "\n".join(lines[start:i]) + "\n", mark))
            mark = ""
            continue
        if line.strip() and not line.startswith(".."):
            mark = ""  # a mark belongs to the block right after it
        i += 1
    return blocks


DOCUMENTS = ([README] if README.is_file() else []) + PAGES


def blocks_of(path: Path) -> list[Block]:
    return markdown_blocks(path) if path.suffix == ".md" else rst_blocks(path)


def is_doctest(block: Block) -> bool:
    return block.language in ("python", "pycon", "py") and block.text.lstrip().startswith(">>>")


def is_console(block: Block) -> bool:
    return block.language in ("console", "shell", "bash", "sh", "text") and block.text.lstrip().startswith("$ ")


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda p: p.name)
def test_every_example_runs_or_says_why_not(path):
    for block in blocks_of(path):
        if block.not_executed:
            continue
        assert is_doctest(block) or is_console(block), (
            f"{block.where}: a {block.language} block that is neither a doctest (>>>) nor a terminal "
            "session ($ ...) must be marked '.. not executed: <reason>' (rst) or "
            "'<!-- not executed: <reason> -->' (Markdown)")


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda p: p.name)
def test_python_examples(path):
    """The page's doctests in order, sharing one namespace as a reader's session would."""
    parser = doctest.DocTestParser()
    globs: dict = {"__name__": "__docs__"}
    failures: list[str] = []
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    for block in filter(is_doctest, blocks_of(path)):
        if block.not_executed:
            continue
        test = parser.get_doctest(block.text, globs, block.where, str(path), block.line - 1)
        runner.run(test, out=failures.append, clear_globs=False)
        globs.update(test.globs)  # a DocTest works on a copy of the namespace it is given
    assert runner.failures == 0, "".join(failures)


def console_sessions(block: Block) -> list[tuple[str, str]]:
    """(command, expected output) pairs; a command line ending in a backslash goes on."""
    sessions: list[tuple[str, list[str]]] = []
    pending = ""
    for line in block.text.splitlines():
        if pending:
            pending += "\n" + line
        elif line.startswith("$ "):
            pending = line[2:]
        else:
            sessions[-1][1].append(line)
            continue
        if pending.endswith("\\"):
            continue
        sessions.append((pending, []))
        pending = ""
    return [(command, "\n".join(out).rstrip() + "\n" if out else "") for command, out in sessions]


def run_console(command: str, cwd: Path) -> str:
    """``command`` in bash, ``fpscope`` being the command of the imported package; stderr merged."""
    package_parent = Path(fpscope.__file__).resolve().parents[1]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(package_parent), os.environ.get("PYTHONPATH", "")]),
               COLUMNS="100")
    script = f'fpscope() {{ {shlex.quote(sys.executable)} -m fpscope "$@"; }}\n{command}\n'
    done = subprocess.run(["bash", "-c", script], cwd=cwd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=120, stdin=subprocess.DEVNULL)
    return "".join(line.rstrip() + "\n" for line in done.stdout.splitlines())


@pytest.mark.parametrize("path", DOCUMENTS, ids=lambda p: p.name)
def test_terminal_examples(path, tmp_path):
    checker = doctest.OutputChecker()
    problems = []
    for block in filter(is_console, blocks_of(path)):
        if block.not_executed:
            continue
        for command, want in console_sessions(block):
            got = run_console(command, tmp_path)
            if not checker.check_output(want, got, FLAGS):
                problems.append(f"{block.where}: $ {command}\n--- expected\n{want}--- got\n{got}")
    assert not problems, "\n".join(problems)


def test_the_reference_documents_every_public_name():
    text = (DOCS / "api.rst").read_text(encoding="utf-8")
    documented = set(re.findall(r"^\.\. auto\w+:: fpscope\.(\w+)", text, re.M))
    assert set(fpscope.__all__) - {"__version__"} <= documented


def test_blocks_and_marks_are_read(tmp_path):
    page = tmp_path / "page.rst"
    page.write_text("\n".join([
        "Title", "=====", "", ".. not executed: needs a cluster", "", ".. code-block:: python", "",
        "   run()", "", "Text.", "", ">>> 1 + 1", "2", "", ".. code-block:: console", "   :caption: x", "",
        "   $ fpscope special \\", "   --json", "   [...]", "", "The end."]))
    blocks = rst_blocks(page)
    assert [(b.language, b.not_executed) for b in blocks] == [("python", "needs a cluster"), ("pycon", ""),
                                                              ("console", "")]
    assert blocks[0].text == "run()\n" and blocks[1].line == 12
    assert console_sessions(blocks[2]) == [("fpscope special \\\n--json", "[...]\n")]
    readme = tmp_path / "README.md"
    readme.write_text("<!-- not executed: installs -->\n```\npip install .\n```\n\n```python\n>>> 1\n1\n```\n")
    assert [(b.language, b.not_executed, b.line) for b in markdown_blocks(readme)] == [
        ("text", "installs", 3), ("python", "", 7)]


def test_sphinx_build_has_no_warnings(tmp_path):
    if importlib.util.find_spec("sphinx") is None or importlib.util.find_spec("furo") is None:
        pytest.skip("Sphinx or furo is not installed")
    done = subprocess.run([sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html",
                           "-d", str(tmp_path / "doctrees"), str(DOCS), str(tmp_path / "html")],
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
    assert (tmp_path / "html" / "tutorial.html").is_file()
