"""The documentation builds as a user builds it: `pip install '.[docs]'` brings everything autodoc imports,
and a command run from a checkout whose core is not built either works (the site, from the installed
fpscope) or says in one line what to do."""
import importlib.util
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import fpscope

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
INSTALLED = Path(fpscope.__file__).resolve().parents[1]  # where the fpscope under test is imported from

pytestmark = pytest.mark.skipif(not (DOCS / "conf.py").is_file(), reason="no documentation beside the tests")

# Imports the modules named after the first argument with the packages it names unimportable.
BLOCKED_IMPORTS = r"""
import importlib, sys
blocked = set(sys.argv[1].split(","))

class Blocked:
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in blocked:
            raise ModuleNotFoundError(f"No module named {name!r} (not installed by the docs extra)", name=name)
        return None

sys.meta_path.insert(0, Blocked())
for module in sys.argv[2:]:
    importlib.import_module(module)
"""


def import_name(requirement):
    return re.split(r"[\[<>=;\s]", requirement.strip(), maxsplit=1)[0].lower().replace("-", "_")


def test_the_docs_extra_installs_everything_autodoc_imports():
    tomllib = pytest.importorskip("tomllib")
    project = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]
    extras = project["optional-dependencies"]
    provided = {import_name(r) for r in project["dependencies"] + extras["docs"]}
    optional = {import_name(r) for rs in extras.values() for r in rs}
    optional |= {import_name(line) for line in (ROOT / "requirements-test.txt").read_text().splitlines()
                 if line.strip() and not line.startswith("#")}
    pages = "\n".join(page.read_text() for page in DOCS.glob("*.rst"))
    modules = set(re.findall(r"^\.\. automodule::\s+([\w.]+)", pages, re.M))
    # Every other autodoc target is a name of the package; the command reference comes from fpscope.cli.
    modules |= {"fpscope", "fpscope.cli"}
    done = subprocess.run([sys.executable, "-c", BLOCKED_IMPORTS, ",".join(sorted(optional - provided)),
                           *sorted(modules)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr.splitlines()[-1]


@pytest.fixture
def unbuilt_checkout(tmp_path):
    """A copy of the checkout's package and documentation, its core not built."""
    shutil.copytree(ROOT / "fpscope", tmp_path / "fpscope",
                    ignore=shutil.ignore_patterns("_core*.so", "_core*.pyd", "__pycache__"))
    shutil.copytree(DOCS, tmp_path / "docs", ignore=shutil.ignore_patterns("_build"))
    return tmp_path


def run(argv, cwd, installed=True):
    """``python argv`` in ``cwd`` with fpscope importable from where the tests import it, or not at all."""
    env = {**os.environ, "PYTHONPATH": str(INSTALLED) if installed else ""}
    return subprocess.run([sys.executable, *argv], cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


def test_the_unbuilt_checkout_says_in_one_line_what_to_do(unbuilt_checkout):
    done = run(["-m", "fpscope", "--version"], unbuilt_checkout)
    assert done.returncode == 1 and done.stdout == "" and len(done.stderr.splitlines()) == 1
    assert (f"fpscope's native core (fpscope._core) is not built in {unbuilt_checkout / 'fpscope'}: build it there "
            "with `cmake -S . -B build && cmake --build build`, or `pip install .`") in done.stderr


@pytest.mark.parametrize("installed", [True, False])
def test_the_site_builds_from_an_unbuilt_checkout_with_fpscope_installed(unbuilt_checkout, tmp_path, installed):
    if importlib.util.find_spec("sphinx") is None or importlib.util.find_spec("furo") is None:
        pytest.skip("Sphinx or furo is not installed")
    if not installed and run(["-c", "import fpscope"], tmp_path, installed=False).returncode == 0:
        pytest.skip("an fpscope is installed beside Sphinx")
    done = run(["-m", "sphinx", "-W", "-q", "-b", "dummy", "docs", "out"], unbuilt_checkout, installed)
    if installed:
        assert (done.returncode, done.stderr) == (0, "")
    else:  # Sphinx's report of a configuration error, ending in the package's line
        assert done.returncode == 2 and "is not built in" in done.stderr and "pip install ." in done.stderr
