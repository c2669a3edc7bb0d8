"""The command answers as in the default float environment whatever the process set, from the reading of
its arguments to its messages. Each environment is a fresh process that switches it (loading a library
built with -Ofast turns on flush-to-zero and denormals-are-zero; fesetround sets the rounding mode), then
imports the package compiled afresh, so that its float literals are read in that environment too."""
import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

CHILD = r"""
import ctypes, struct, sys
mode, fast_math, sys.pycache_prefix = sys.argv[1:4]
if mode == "flush to zero":
    ctypes.CDLL(fast_math)
elif mode != "default":
    ctypes.CDLL("libm.so.6").fesetround({"upward": 0x800, "downward": 0x400}[mode])
tiny = struct.unpack("<d", struct.pack("<Q", 1))[0]
if {"flush to zero": tiny * 1.0 != 0.0, "upward": 1.0 + tiny == 1.0, "downward": 1.0 - tiny == 1.0}.get(mode):
    sys.exit(99)  # the environment did not switch
from fpscope.cli import main
sys.exit(main(sys.argv[4:]))
"""


@pytest.fixture(scope="module")
def fast_math(tmp_path_factory):
    if shutil.which("cc") is None or platform.machine() != "x86_64":
        pytest.skip("needs the system C compiler (cc) on x86-64")
    where = tmp_path_factory.mktemp("fast_math")
    (where / "fast_math.c").write_text("int fast_math_loaded(void) { return 1; }\n")
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run(["cc", "-Ofast", "-shared", "-fPIC", str(where / "fast_math.c"), "-o", str(where / "libfm.so")],
                   check=True, env=env)
    return str(where / "libfm.so")


@pytest.mark.parametrize("mode, argv", [
    ("flush to zero", ["midpoint", "sqrt", "1e-310", "--dtype", "f64", "--json"]),
    ("flush to zero", ["ulp", "0x1p-1074", "0", "--dtype", "f64"]),
    ("upward", ["midpoint", "sqrt", "0.3", "--dtype", "f64", "--json"]),
    ("upward", ["scan", "sqrt", "0.3", "0.1"]),  # the refusal's message
    ("downward", ["scan", "sqrt", "1", "1", "--json"]),  # the default tolerance
])
def test_the_answer_is_the_default_environments(fast_math, tmp_path, mode, argv):
    def run(mode):
        return subprocess.run([sys.executable, "-c", CHILD, mode, fast_math, str(tmp_path / mode), *argv], cwd=ROOT,
                              capture_output=True, text=True, timeout=120)

    expected, done = run("default"), run(mode)
    if done.returncode == 99:
        pytest.skip(f"{mode}: the environment did not switch")
    assert expected.returncode in (0, 2) and "Traceback" not in expected.stderr
    assert (done.returncode, done.stdout, done.stderr) == (expected.returncode, expected.stdout, expected.stderr)
