"""The fpscope command. What it answers and says is tested in process, through main(argv) with its output
captured; a child process runs it only where the process itself is the subject: a signal, a pipe, a
closed or full stream (the float environment: test_cli_environment.py)."""
import ast
import json
import logging
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import NamedTuple

import pytest

from fpscope import _core
from fpscope.cli import build_parser, main
from fpscope.cli._main import protect_negative_floats

ROOT = Path(__file__).resolve().parents[1]
PACKAGE = Path(_core.__file__).resolve().parent  # the source tree's, or an installed one


class Done(NamedTuple):
    returncode: int
    stdout: str
    stderr: str


@pytest.fixture
def run(capsys, monkeypatch, tmp_path):
    """Runs the command in process, in an empty working directory: its exit status and output."""
    monkeypatch.chdir(tmp_path)

    def command(*argv):
        capsys.readouterr()
        status = main(list(argv))
        return Done(status, *capsys.readouterr())
    return command


def child(*argv, redirect=""):
    """The command in a child process, with a shell redirection of its streams."""
    return subprocess.run(["sh", "-c", f'exec "$@" {redirect}', "sh", sys.executable, "-m", "fpscope", *argv],
                          cwd=ROOT, capture_output=True, text=True, timeout=60)


@pytest.mark.parametrize("argv, lines", [
    (["scan", "sqrt", "1", "4", "--limit", "2"], [
        "sqrt over [1.0, 4.0] in f32, tolerance 0.001 ulp",
        "1.0000001192092896  0x1.000002p+0  1.0                 0x1p+0         1.4901160305669303e-08  above rounded",
        "2 hits, 4 inputs evaluated; range NOT covered: stopped at the hit limit (2; raise --limit)",
        "next input: 1.0000004768371582 (0x1.000008p+0); continue with: fpscope scan sqrt 0x1.000008p+0 0x1p+2 "
        "--dtype f32 --tol 0.001 --limit 2"]),
    (["scan", "sqrt", "0x1.8p+1", "3", "--dtype", "f64"], ["no knife edges found",
                                                           "0 hits, 1 inputs evaluated; range covered"]),
    (["scan", "sqrt", "2", "3", "--max-evals", "1e3"], [
        "4 hits, 1000 inputs evaluated; range NOT covered: stopped at the evaluation limit (1000; raise --max-evals)"]),
    (["midpoint", "sqrt", "2", "--dtype", "f64"], [
        "sqrt(2.0) in f64 (certified)", "rounded       1.4142135623730951   0x1.6a09e667f3bcdp+0",
        "exact result lies below rounded; 0.06462381435852174 ulp from the rounding midpoint"]),
    (["midpoint", "sqrt", "-1"], ["sqrt(-1.0) in f32: no report (the result is not finite, or the input is "
                                  "outside the operation's domain)"]),
    (["special", "--dtype", "f64"], ["neg_zero                   -0.0                      -0x0p+0                   "
                                     "0x8000000000000000"]),
    (["ulp", "-0x1p-1074", "5e-324"], ["distance: 2 ulp (f64)", "a  -5e-324  -0x0.0000000000001p-1022       -1"]),
    (["ulp", "1", "1e300", "--dtype", "f32"], ["b  inf    inf     2139095040", "distance: 1073741824 ulp (f32)"]),
    (["neighbours", "-0.0", "-k", "1"], ["    -1  -5e-324  -0x0.0000000000001p-1022  0x8000000000000001",
                                         "     0  0.0      0x0p+0                    0x0000000000000000"]),
    (["range", "-1e-45", "1e-45"], ["0  -1.401298464324817e-45  -0x1p-149  0x80000001",
                                    "1  0.0                     0x0p+0     0x00000000",
                                    "2  1.401298464324817e-45   0x1p-149   0x00000001"]),
    (["edges", "-1022", "-1022"], ["-1022  2.225073858507201e-308  0x0.fffffffffffffp-1022  "
                                   "2.2250738585072014e-308  0x1p-1022"]),
])
def test_subcommands_print_aligned_tables(run, argv, lines):
    done = run(*argv)
    assert (done.returncode, done.stderr) == (0, "")
    out = done.stdout.splitlines()
    for line in lines:
        assert line in out, f"{line!r} not in\n{done.stdout}"


def test_scan_json_is_the_core_answer(run):
    done = run("scan", "sqrt", "1", "4", "--tol", "1e-6", "--limit", "5", "--json", "--chunk", "1000")
    data = json.loads(done.stdout)
    hits, evaluated, covered = _core.knife_edges_raw("sqrt", 1.0, 4.0, 1e-6, "f32", 5)
    assert [(h["x"], h["rounded"], h["distance_ulp"], h["exact_above"]) for h in data["hits"]] == hits
    assert (data["evaluated"], data["covered"], data["interrupted"]) == (evaluated, covered, False)
    assert float.fromhex(data["hits"][0]["x_hex"]) == hits[0][0] and float.fromhex(data["next_hex"]) == data["next"]


@pytest.mark.parametrize("argv, check", [
    (["special", "--json"], lambda d: len(d) == 29 and d[28] == {"name": "nan", "value": "nan", "value_hex": "nan",
                                                                 "bits": "0x7fc00000"} and d[26]["value"] == "inf"),
    (["ulp", "-inf", "inf", "--json"], lambda d: d["distance"] == 18437736874454810624 and d["a"] == "-inf"),
    (["midpoint", "sqrt", "4", "--dtype", "double", "--json"],
     lambda d: d["dtype"] == "f64" and d["report"] == {"rounded": 2.0, "rounded_hex": "0x1p+1", "distance_ulp": 0.5,
                                                       "exact_above": False, "exact": True}),
    (["range", "1", "1", "--json"], lambda d: d == [{"value": 1.0, "value_hex": "0x1p+0", "bits": "0x3f800000"}]),
    (["edges", "0", "0", "--json"], lambda d: d == [{"e": 0, "below": 0.9999999999999999,
                                                     "below_hex": "0x1.fffffffffffffp-1", "power": 1.0,
                                                     "power_hex": "0x1p+0"}]),
])
def test_json_output(run, argv, check):
    done = run(*argv)
    assert done.returncode == 0 and check(json.loads(done.stdout))


@pytest.mark.parametrize("argv, message", [
    ([], "the following arguments are required: COMMAND"),
    (["ulp", "1", "x"], "argument b: not a float: 'x'"),
    (["ulp", "1", "2", "--dtype", "f8"], "fpscope ulp: error: unsupported dtype \"f8\": use 'f32', 'f64', 'f16' or 'bf16'"),
    (["special", "--dtype", "bf8"], "fpscope special: error: unsupported dtype \"bf8\": use 'f32', 'f64', 'f16' or 'bf16'"),
    (["sweep", "exp", "--dtype", "bf8", "--db", "x.db"], "unsupported dtype \"bf8\": use 'f32', 'f64', 'f16' or 'bf16'"),
    (["sweep", "exp", "--dtype", "f16", "--db", "x.db"], "scan every f16 input at once with 'fpscope scan OP --dtype f16'"),
    (["scan", "exp", "1", "2", "--dtype", "f64"], "f64 scans are available for op='sqrt' only"),
    (["scan", "div", "1", "2"], "div is not a scan operation: it takes a unary operation (sqrt, "),
    (["scan", "sqrt", "2", "1"], "reversed range: lo 2.0 is above hi 1.0"),
    (["scan", "sqrt", "nan", "1"], "a range bound is NaN"),
    (["scan", "sqrt", "1", "-nan"], "a range bound is NaN"),
    (["scan", "sqrt", "1", "2", "--tol", "-1e-3"], "tolerance must be a non-negative number of ulp, not -0.001"),
    (["scan", "sqrt", "1", "2", "--tol", "nan"], "tolerance must be a non-negative number of ulp, not nan"),
    (["scan", "sqrt", "1", "2", "--tol", "abc"], "argument --tol: not a float: 'abc'"),
    (["midpoint", "sqrt", "abc"], "argument x: not a float: 'abc'"),
    (["midpoint", "sqrt", "1p3"], "argument x: not a float: '1p3'"),
    (["midpoint", "sqrt", "2", "3"], "sqrt takes one operand; y is only for div, hypot, atan2 and pow"),
    (["worst", "div"], "div is not a worst operation"),
    (["worst", "sqrt", "2", "1"], "reversed range: lo 2.0 is above hi 1.0"),
    (["sweep", "div", "1", "2", "--db", "never-created.sqlite"], "div is not a sweep operation"),
    (["sweep", "--all-ops", "nan", "1", "--db", "never-created.sqlite"], "a range bound is NaN"),
    (["sweep", "sqrt", "1", "2", "--tol", "-0.0001", "--db", "never-created.sqlite"], "tolerance must be"),
    (["neighbours", "1", "-k", "1e9"], "argument -k: at most 1000000 floats on each side, not 1000000000"),
    (["range", "-inf", "inf", "--dtype", "f64", "--limit", "18446744073709551615"],
     "fpscope range: error: not enough memory for the answer"),
    (["scan", "sqrt", "1", "2", "--limit", "-1"], "argument --limit: must not be negative: '-1'"),
    (["scan", "sqrt", "1", "2", "--stride", "1.5"], "argument --stride: not an integer: '1.5'"),
    (["midpoint", "div", "1"], "op='div' needs y"),
    (["midpoint", "recip", "-3", "--dtype", "f64"], "recip for f64 takes a positive x"),
    (["range", "0", "1", "--limit", "10"], "more than 10 floats in [0, 1], raise limit or narrow the range"),
    (["neighbours", "1", "-k", "4294967296"], "argument -k: at most 1000000 floats on each side"),
])
def test_usage_errors_are_one_line_with_status_2(run, tmp_path, argv, message):
    done = run(*argv)
    assert done.returncode == 2 and done.stdout == "" and not any(tmp_path.iterdir())
    assert done.stderr.count("\n") == 1 and message in done.stderr and "Traceback" not in done.stderr


def test_hex_needs_its_prefix_and_decimal_is_what_float_reads(run):
    assert run("midpoint", "sqrt", "-0x1P+2", "--json").returncode == 0
    done = run("ulp", "1_0", "0xAp0", "--json")
    assert json.loads(done.stdout)["distance"] == 0


# Refusals: one line on stderr, nothing on stdout, no file left behind (sweep's database).
@pytest.mark.parametrize("argv, line", [
    (["special", "a\nb"], "fpscope: error: unrecognized arguments: a\\nb (see 'fpscope --help')"),
    (["midpoint", "\x1b[2J\u202e", "1", "2"], "fpscope midpoint: error: \\x1b[2J\\u202e takes one operand; y is only for div, hypot, atan2 and pow"),
    (["neighbours", "1", "-k", "1000001"], "fpscope neighbours: error: argument -k: at most 1000000 floats on each "
                                           "side, not 1000001 (see 'fpscope neighbours --help')"),
    (["worst", "sqrt", "1", "2", "--scheduler", "local:5"],
     "fpscope worst: error: --scheduler local:5: at most 4 local workers per core (4 on this machine)"),
    (["sweep", "sqrt", "1", "2", "--db", "sweep.sqlite", "--scheduler", "local:99999999999"],
     "fpscope sweep: error: --scheduler local:99999999999: at most 4 local workers per core (4 on this machine)"),
])
def test_refusals_are_exactly_one_line(run, monkeypatch, tmp_path, argv, line):
    monkeypatch.setattr(os, "cpu_count", lambda: 1)
    assert run(*argv) == (2, "", line + "\n") and not any(tmp_path.iterdir())


# The message goes to stderr alone; with stderr closed too, nothing is written anywhere.
@pytest.mark.parametrize("redirect, argv, status, message", [
    *[(">/dev/full", argv, 74, "error: cannot write the output: No space left on device")
      for argv in (["special"], ["--version"], ["scan", "--help"])],
    *[(">&-", argv, 74, "error: cannot write the output: Bad file descriptor") for argv in (["special"], ["--version"])],
    ("2>&-", ["ulp", "1", "2", "--dtype", "f8"], 2, ""),
])
def test_unwritable_streams_give_their_own_status(redirect, argv, status, message):
    done = child(*argv, redirect=redirect)
    assert (done.returncode, done.stdout) == (status, "")
    assert done.stderr.endswith(f": {message}\n") and done.stderr.count("\n") == 1 if message else done.stderr == ""


# Without stderr a command still answers: no progress bar (it asks stderr whether it is a terminal), and
# what would go to stderr never lands in the output instead.
@pytest.mark.parametrize("argv", [["scan", "sqrt", "1", "4", "--limit", "2", "--csv"],
                                  ["worst", "exp", "1", "1.001", "--top", "2", "--csv"]])
def test_a_closed_stderr_changes_no_output(run, argv):
    closed = child(*argv, redirect="2>&-")
    assert (closed.returncode, closed.stdout, closed.stderr) == (0, run(*argv).stdout, "")


# Outputs of megabytes: far more than a pipe holds, so the reader is gone before they are written.
@pytest.mark.parametrize("argv", [["range", "0", "1e-40", "--limit", "1e9"],
                                  ["range", "-1e-40", "0", "--limit", "1e9", "--json"]])
def test_a_closed_pipe_ends_quietly_with_status_141(argv):
    child = subprocess.Popen([sys.executable, "-m", "fpscope", *argv], cwd=ROOT, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    child.stdout.readline()
    child.stdout.close()  # as `| head -1` does
    err = child.stderr.read()
    assert child.wait(timeout=60) == 141 and err == b""


def test_the_continue_line_repeats_every_option_that_matters(run):
    argv = ["scan", "sqrt", "1", "4", "--tol", "1e-9", "--max-evals", "5e3", "--stride", "3", "--limit", "7",
            "--chunk", "20", "--dtype", "float", "--workers", "2", "--uncertified"]
    done = run(*argv)
    resume = done.stdout.splitlines()[-1].split("continue with: fpscope ")[1].split()
    first = vars(build_parser().parse_args(protect_negative_floats(argv)))
    again = vars(build_parser().parse_args(protect_negative_floats(resume)))
    assert again.pop("lo") > first.pop("lo") and again.pop("dtype") == "f32" and first.pop("dtype") == "float"
    assert again == first
    # The continuation plus what was found equals the whole scan (its chunks larger, the answer is the same).
    rest = run(*resume, "--json", "--max-evals", "1e9", "--limit", "1000", "--chunk", "100000")
    found = [line.split()[0] for line in done.stdout.splitlines()[2:-2]]
    whole = _core.knife_edges_raw("sqrt", 1.0, 4.0, 1e-9, "f32", 1000, 3)[0]
    assert [float(x) for x in found] + [h["x"] for h in json.loads(rest.stdout)["hits"]] == [h[0] for h in whole]


@pytest.mark.parametrize("error, status, line", [
    (RuntimeError("boom"), 1, "fpscope special: internal failure: RuntimeError: boom (set FPSCOPE_TRACEBACK=1 "
                              "for the traceback)"),
    (KeyboardInterrupt(), 130, "fpscope: interrupted"),
    (MemoryError(), 2, "fpscope special: error: not enough memory for the answer; ask for fewer values"),
])
def test_unexpected_failures_in_a_command_are_one_line(run, monkeypatch, error, status, line):
    import dataclasses

    from fpscope import cli

    def fail(args):
        print("partial output")
        raise error
    monkeypatch.setattr(cli, "COMMANDS", [dataclasses.replace(c, run=fail) if c.name == "special" else c
                                          for c in cli.COMMANDS])
    monkeypatch.delenv("FPSCOPE_TRACEBACK", raising=False)
    assert run("special") == (status, "partial output\n", line + "\n")


def test_a_panic_of_the_core_is_an_internal_failure_in_one_line(run, monkeypatch):
    # Valid input no longer reaches one, so the command's report function is made to fail as the core would.
    import fpscope.cli.midpoint

    def failing(*args, **kwargs):
        raise _core.PanicException("broken invariant")
    monkeypatch.setattr(fpscope.cli.midpoint, "report", failing)
    assert run("midpoint", "div", "1", "3", "--dtype", "f64") == (
        1, "", "fpscope midpoint: internal failure: broken invariant\n")


@pytest.mark.parametrize("json_output", [False, True])
def test_ctrl_c_stops_a_long_scan_and_prints_what_it_found(json_output):
    # Several seconds of work even on a fast machine: every binary32 float, tolerance too small to stop early.
    argv = ["scan", "sqrt", "-inf", "inf", "--dtype", "f32", "--tol", "1e-9", "--max-evals", "5e9", "--progress"]
    child = subprocess.Popen([sys.executable, "-m", "fpscope", *argv, *(["--json"] if json_output else [])],
                             cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert child.stderr.read(1) == b"\r"  # the progress bar is up, so the scan is running
    time.sleep(0.5)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = (stream.decode() for stream in child.communicate(timeout=30))
    latency = time.monotonic() - sent
    assert child.returncode == 130 and "Traceback" not in err
    assert latency < 1.0, f"took {latency:.2f} s to stop"
    if json_output:
        data = json.loads(out)
        assert data["interrupted"] is True and data["covered"] is False and data["evaluated"] > 0
        assert data["next"] == _core.all_floats(data["next"], data["next"])[0] and data["next"] > -math.inf
    else:
        last = out.splitlines()[-2:]
        assert last[0].endswith("inputs evaluated; range NOT covered: interrupted")
        assert last[1].startswith("next input: ") and "continue with: fpscope scan sqrt " in last[1]


def test_the_version_is_written_once(run):
    """The module's version is the installed distribution's (a wheel) or pyproject.toml's (in the tree)."""
    import importlib.metadata
    import re

    import fpscope as package

    assert package.__version__ == _core.__version__
    assert run("--version") == (0, f"fpscope {_core.__version__}\n", "")
    pyproject = ROOT / "pyproject.toml"
    if pyproject.is_file():  # the source tree
        assert re.search(r'^version = "([^"]+)"$', pyproject.read_text(), re.M).group(1) == package.__version__
    try:
        dist = importlib.metadata.distribution("fpscope")
    except importlib.metadata.PackageNotFoundError:
        assert pyproject.is_file(), "neither installed nor in the source tree"
        return
    if Path(dist.locate_file("fpscope/__init__.py")).resolve() == Path(package.__file__).resolve():
        assert dist.version == package.__version__


def test_worst_prints_the_table_it_would_ship(run):
    import fpscope

    table = json.loads(run("worst", "exp", "1", "1.01", "--top", "4", "--json", "--workers", "2").stdout)
    assert [r["x"] for r in table["rows"]] == [h.x for h in fpscope.worst_cases("exp", 1.0, 1.01, top=4)]
    assert (table["top"], table["certified"], table["lo_hex"], table["hi_hex"]) == (4, True, "0x1p+0", "0x1.028f5cp+0")
    shipped = fpscope.worst_table("exp")
    assert list(table) == list(shipped) and list(table["rows"][0]) == list(shipped["rows"][0])


# ---------------------------------------------------------------- CSV

@pytest.mark.parametrize("argv", [
    ["scan", "sqrt", "1", "4", "--tol", "1e-6", "--limit", "1000"],
    ["scan", "log", "0x1.2f1fd0p+3", "0x1.2f1fdfp+3"],  # certified, and the core judges its hit otherwise
    ["worst", "exp", "1", "1.01", "--top", "4"],  # ranked, not in ascending x
    ["sweep", "exp", "1", "1.01", "--chunk", "20000", "--uncertified", "--db", "sweep.sqlite"],
])
def test_csv_lists_the_hits_the_json_lists(run, argv):
    import csv
    import io

    data = json.loads(run(*argv, "--json").stdout)
    hits = data["rows"] if argv[0] == "worst" else data["hits"]
    status, out, err = run(*argv, "--csv")
    assert (status, err) == (0, "") and out.splitlines()[0] == "op,x,x_hex,rounded,rounded_hex,distance_ulp,exact_above"
    rows = list(csv.DictReader(io.StringIO(out)))
    assert len(rows) == len(hits) > 0
    for row, hit in zip(rows, hits):
        assert row["op"] == argv[1] and (row["x_hex"], row["rounded_hex"]) == (hit["x_hex"], hit["rounded_hex"])
        assert (float(row["x"]), float(row["rounded"]), float(row["distance_ulp"])) == (
            hit["x"], hit["rounded"], hit["distance_ulp"])
        assert row["exact_above"] == str(hit["exact_above"]).lower()


@pytest.mark.parametrize("argv", [["scan", "sqrt", "1", "4", "--limit", "2"],
                                  ["scan", "sqrt", "2", "3", "--max-evals", "1e3", "--stride", "2"]])
def test_a_csv_scan_that_stops_early_says_so_on_stderr(run, argv):
    table = run(*argv).stdout.splitlines()
    status, out, err = run(*argv, "--csv")
    # The lines the table ends with, the command that continues the scan included (without --csv).
    assert err.splitlines() == ["fpscope scan: " + line for line in table[-2:]] and "--csv" not in err
    assert len(out.splitlines()) == 1 + int(table[-2].split(" hit")[0])


# ---------------------------------------------------------------- dask clusters

def test_a_scan_on_a_local_cluster_answers_as_one_here_and_leaves_no_scratch_files(run, tmp_path):
    pytest.importorskip("dask.distributed")
    argv = ["scan", "exp", "1", "1.01", "--tol", "1e-3", "--json", "--uncertified"]
    here = run(*argv)
    assert here.returncode == 0 and run(*argv, "--scheduler", "local:2") == here and not any(tmp_path.iterdir())


@pytest.mark.parametrize("scheduler, message", [
    ("local:0", "local:N needs a worker count"),
    ("nowhere", "use tcp://HOST:PORT or local:N"),
    ("tcp://127.0.0.1:9", "cannot reach the dask scheduler"),
])
def test_bad_schedulers_are_one_line_errors(run, scheduler, message):
    pytest.importorskip("dask.distributed")
    status, out, err = run("scan", "exp", "1", "1.01", "--scheduler", scheduler)
    assert (status, out) == (2, "") and message in err and len(err.splitlines()) == 1


def test_a_cluster_logs_nothing_while_it_runs(caplog):
    # A scan that stops early cancels chunks, and one that finishes anyway makes the event loop log an
    # error with a traceback about its cancelled future; that is no failure and the command says nothing.
    pytest.importorskip("dask.distributed")
    from fpscope import _cluster

    noisy = ["tornado.application", "distributed.client", "asyncio"]
    caplog.set_level(logging.DEBUG)
    with _cluster.dask_executor("local:1") as executor:
        assert executor.submit(sum, [1, 2]).result() == 3
        caplog.clear()
        for name in noisy:
            try:
                raise RuntimeError("cancelled")
            except RuntimeError:
                logging.getLogger(name).exception("Exception in callback")
        assert caplog.records == []
    caplog.clear()
    logging.getLogger("tornado.application").error("after the cluster")
    assert [r.getMessage() for r in caplog.records] == ["after the cluster"]


# ---------------------------------------------------------------- the package's imports

def module_imports(package_dir, package="fpscope"):
    """{module: the package's modules it imports anywhere, in functions too}, read from the sources.

    ``from P import name`` counts as importing module P.name when that is a module, else P itself;
    the native core is a module that imports nothing.
    """
    files = {path: ".".join((package, *path.relative_to(package_dir).with_suffix("").parts)).removesuffix(".__init__")
             for path in package_dir.rglob("*.py")}
    modules = set(files.values()) | {f"{package}._core"}
    graph = {f"{package}._core": set()}
    for path, name in files.items():
        here = name if path.name == "__init__.py" else name.rpartition(".")[0]
        found = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                found |= {alias.name for alias in node.names}
            elif isinstance(node, ast.ImportFrom):
                base = node.module or ""
                if node.level:
                    parts = here.split(".")[:len(here.split(".")) - node.level + 1]
                    base = ".".join(parts + ([node.module] if node.module else []))
                found |= {f"{base}.{alias.name}" if f"{base}.{alias.name}" in modules else base for alias in node.names}
        graph[name] = {m for m in found if m in modules}
    return graph


def a_cycle(graph):
    """One import cycle of ``graph`` as a list of modules, or None."""
    state, stack = {}, []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for target in sorted(graph[node]):
            if state.get(target) == "open":
                return stack[stack.index(target):] + [target]
            if target not in state and (found := visit(target)):
                return found
        stack.pop()
        state[node] = "done"
        return None

    return next((found for node in sorted(graph) if node not in state and (found := visit(node))), None)


def test_the_package_has_no_import_cycle():
    graph = module_imports(PACKAGE)
    assert "fpscope.cli.sweep" in graph and "fpscope._sweep" in graph["fpscope.cli.sweep"]
    assert a_cycle(graph) is None, " -> ".join(a_cycle(graph))


def test_import_cycles_are_found(tmp_path):
    # cli imports _sweep at the top, _sweep imports cli back inside a function: the layout of old.
    (tmp_path / "__init__.py").write_text("from fpscope._core import x\n")
    (tmp_path / "cli.py").write_text("from fpscope import _sweep\n")
    (tmp_path / "_sweep.py").write_text("def run():\n    from . import cli\n")
    assert a_cycle(module_imports(tmp_path)) == ["fpscope._sweep", "fpscope.cli", "fpscope._sweep"]


# The 16-bit formats under every name, in every command; the facts come from the formats' layouts
# (binary16: 10 fraction bits, largest 65504; bfloat16: the top half of a binary32).
@pytest.mark.parametrize("argv, check", [
    (["ulp", "1", "2", "--dtype", "half"], lambda d: d["dtype"] == "f16" and d["distance"] == 1024),
    (["ulp", "1", "2", "--dtype", "bfloat16"], lambda d: d["dtype"] == "bf16" and d["distance"] == 128),
    (["ulp", "1", "1.0001", "--dtype", "f16"], lambda d: d["b"] == 1.0 and d["distance"] == 0),  # rounded first
    (["special", "--dtype", "float16"],
     lambda d: {r["name"]: (r["value"], r["bits"]) for r in d}["max"] == (65504.0, "0x7bff")),
    (["special", "--dtype", "bf16"],
     lambda d: {r["name"]: (r["value_hex"], r["bits"]) for r in d}["min_subnormal"] == ("0x1p-133", "0x0001")),
    (["neighbours", "1", "-k", "1", "--dtype", "bf16"],
     lambda d: [(r["offset"], r["bits"]) for r in d] == [(-1, "0x3f7f"), (0, "0x3f80"), (1, "0x3f81")]),
    (["neighbours", "65504", "--dtype", "f16"], lambda d: [r["value"] for r in d] == [65472.0, 65504.0]),  # no inf, as in f32
    (["range", "-6e-8", "6e-8", "--dtype", "f16"],
     lambda d: [r["bits"] for r in d] == ["0x8001", "0x0000", "0x0001"]),
    (["edges", "15", "16", "--dtype", "f16"], lambda d: [r["e"] for r in d] == [15]),  # 2**16 is past the range
    (["edges", "-126", "-126", "--dtype", "bf16"], lambda d: d[0]["below_hex"] == "0x1.fcp-127"),
    (["midpoint", "exp", "1", "--dtype", "f16"],
     lambda d: d["report"]["rounded"] == 2.71875 and not d["report"]["exact_above"] and not d["core_differs"]),
    (["midpoint", "div", "1", "3", "--dtype", "bf16"], lambda d: d["report"]["rounded_hex"] == "0x1.56p-2"),
    (["audit", "exp", "numpy", "--dtype", "half"],
     lambda d: (d["dtype"], d["inputs"], d["exhaustive"]) == ("f16", 63490, True)
     and d["inputs"] == d["correctly_rounded"] + d["misrounded"] + d["special_mismatches"]),
])
def test_sixteen_bit_formats_in_every_command(run, argv, check):
    done = run(*argv, "--json")
    assert done.returncode == 0 and check(json.loads(done.stdout)), done


@pytest.mark.parametrize("dtype", ["f16", "bf16"])
def test_sixteen_bit_scans_and_tables_are_the_package_answers(run, dtype):
    import fpscope
    scan = json.loads(run("scan", "exp", "1", "2", "--dtype", dtype, "--tol", "0.05", "--limit", "2", "--json").stdout)
    api = fpscope.knife_edges("exp", 1, 2, 0.05, dtype, limit=2)
    assert [(h["x"], h["distance_ulp"]) for h in scan["hits"]] == [(h.x, h.distance_ulp) for h in api.hits]
    assert scan["evaluated"] == api.evaluated and scan["next"] == fpscope.formats.__dict__[dtype].next_up(api.hits[-1].x)
    text = run("scan", "exp", "1", "2", "--dtype", dtype, "--tol", "0.05", "--limit", "2").stdout
    assert f"--dtype {dtype} --tol 0.05 --limit 2" in text  # the command that continues it
    worst = json.loads(run("worst", "tanh", "--dtype", dtype, "--top", "3", "--json").stdout)
    assert worst["dtype"] == dtype and [r["x"] for r in worst["rows"]] == \
        [h.x for h in fpscope.worst_cases("tanh", dtype=dtype, top=3)]
