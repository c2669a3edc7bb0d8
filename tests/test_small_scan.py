"""Knife-edge scans and worst cases in binary16 and bfloat16: the answer of a walk that asks
`fpscope.report` input by input, under the core's stopping rules (limit, max_evals, stride,
bounds rounded to the format)."""
import json
import math

import numpy as np
import pytest

import fpscope
from fpscope._formats import resolve


def value(fmt, k):
    """The float of ordered value k, from its bit pattern by numpy (bfloat16: the top half of a float32)."""
    pattern = k if k >= 0 else 0x8000 | -k
    if fmt.name == "f16":
        return float(np.array([pattern], np.uint16).view(np.float16)[0])
    return float(np.array([pattern << 16], np.uint32).view(np.float32)[0])


def walked(op, lo, hi, tol, dtype, limit, stride, max_evals):
    """The scan by definition: one report per input, in ascending order."""
    fmt = resolve(dtype)
    low, high = fmt.round_to(lo), fmt.round_to(hi)
    if not low <= high:
        return [], 0, True
    step = stride or 1
    k, end = fmt.ordered(low), fmt.ordered(high)
    hits, evaluated = [], 0
    while k <= end:
        if evaluated == max_evals or len(hits) >= limit:
            return hits, evaluated, False
        x = value(fmt, k)
        evaluated += 1
        m = fpscope.report(op, x, dtype)
        if m is not None and not m.exact and m.distance_ulp < tol:
            hits.append((x, m.rounded, m.distance_ulp, m.exact_above))
        k += step
    return hits, evaluated, True


@pytest.mark.parametrize("op,lo,hi,tol,dtype,limit,stride,max_evals", [
    ("exp", 1, 2, 0.05, "f16", 100, 1, 10**8),          # whole binade, every hit
    ("exp", 1, 2, 0.05, "half", 2, 3, 10**8),           # the limit cuts at its last hit
    ("tanh", -0.5, 0.5, 0.02, "bf16", 100, 7, 40),      # max_evals stops first, across zero
    ("log", 0.1, 0.2, 0.1, "bfloat16", 5, 0, 10**8),    # stride 0 is stride 1
    ("sigmoid", -3, 3, 0.01, "float16", 100, 997, 10**8),  # bounds off the stride grid
    ("sqrt", 1.0001, 1.00005, 0.5, "f16", 10, 1, 10**8),  # lo > hi, both round to one float
    ("exp", -1e6, -60000, 0.5, "f16", 10, 1, 10**8),    # both past the range: -inf alone
    ("recip", -0.0, 0.0, 0.5, "f16", 10, 1, 10**8),     # +0.0 alone, no report
])
def test_scan_is_the_walk(op, lo, hi, tol, dtype, limit, stride, max_evals):
    got = fpscope.knife_edges(op, lo, hi, tol, dtype, limit, stride, max_evals)
    assert (list(map(tuple, got.hits)), got.evaluated, got.covered) == walked(op, lo, hi, tol, dtype, limit,
                                                                               stride, max_evals)


@pytest.mark.parametrize("lo,hi,limit,max_evals,want", [
    (2, 1, 10, 10, ([], 0, True)),
    (math.nan, 1, 10, 10, ([], 0, True)),
    (1, 2, 0, 10, ([], 0, False)),
    (1, 2, 10, 0, ([], 0, False)),
])
def test_trivial_scans(lo, hi, limit, max_evals, want):
    got = fpscope.knife_edges("exp", lo, hi, 0.1, "f16", limit, 1, max_evals)
    assert (got.hits, got.evaluated, got.covered) == want


def test_scan_takes_any_engine_and_answers_the_same():
    from concurrent.futures import ThreadPoolExecutor
    plain = fpscope.knife_edges("exp", -10, 10, 0.01, "bf16", limit=7)
    with ThreadPoolExecutor(2) as pool:
        assert fpscope.knife_edges("exp", -10, 10, 0.01, "bf16", limit=7, executor=pool) == plain
    assert fpscope.knife_edges("exp", -10, 10, 0.01, "bf16", limit=7, workers=2) == plain
    seen = []
    fpscope.knife_edges("exp", -10, 10, 0.01, "bf16", progress=lambda done, total: seen.append(done))
    assert seen and seen[-1] > 0


@pytest.mark.parametrize("call,error,message", [
    (lambda: fpscope.knife_edges("exp", 1, 2, 0.1, "f8"), ValueError, "unsupported dtype \"f8\": use 'f32', 'f64', 'f16' or 'bf16'"),
    (lambda: fpscope.knife_edges("div", 1, 2, 0.1, "f16"), ValueError, "unknown op"),
    (lambda: fpscope.knife_edges("exp", "a", 2, 0.1, "f16"), TypeError, "real number"),
    (lambda: fpscope.knife_edges("exp", 1, 2, 0.1, "f16", limit=-1), OverflowError, ""),
    (lambda: fpscope.knife_edges("exp", 1, 2, 0.1, "f16", workers=2, executor=object()), ValueError, "not both"),
    (lambda: fpscope.worst_cases("exp", 1, None, "f16"), ValueError, "both lo and hi"),
    (lambda: fpscope.worst_cases("div", dtype="bf16"), ValueError, "unknown op"),
    (lambda: fpscope.worst_cases("exp", dtype="f16", top=0), ValueError, "top"),
])
def test_refusals(call, error, message):
    with pytest.raises(error, match=None) as raised:
        call()
    assert message in str(raised.value)


@pytest.mark.parametrize("op,dtype,lo,hi", [("tanh", "bf16", None, None), ("exp", "f16", -3, 3),
                                            ("sqrt", "half", 1, 4)])
def test_worst_cases_rank_every_inexact_report(op, dtype, lo, hi):
    fmt = resolve(dtype)
    rows = fpscope.worst_cases(op, lo, hi, dtype, top=5)
    # The whole-range scan at tolerance 0.5 lists every inexact, finite result: its five smallest
    # distances, ties in ascending x, are the table.
    scan = fpscope.knife_edges(op, -math.inf if lo is None else lo, math.inf if hi is None else hi, 0.5, dtype,
                               limit=10**6)
    assert scan.covered
    assert rows == sorted(scan.hits, key=lambda h: h.distance_ulp)[:5]
    assert all(fmt.round_to(h.x) == h.x for h in rows)


@pytest.mark.parametrize("argv", [
    ["scan", "exp", "1", "2", "--tol", "0.05", "--limit", "100000", "--dtype", "f16"],
    ["worst", "tanh", "--top", "3", "--dtype", "bf16"],
    ["midpoint", "exp", "1.5", "--dtype", "half"],
    ["midpoint", "exp", "0.5", "--dtype", "bf16"],
])
def test_sixteen_bit_answers_say_certified_with_or_without_uncertified(capsys, argv):
    # There is no uncertified answer in these formats: --uncertified changes nothing that is printed.
    from fpscope.cli import main
    printed = {}
    for extra in ([], ["--uncertified"]):
        for form in ([], ["--json"]):
            assert main(argv + extra + form) == 0
            printed[tuple(extra + form)] = capsys.readouterr().out
    assert printed[("--uncertified",)] == printed[()]
    assert printed[("--uncertified", "--json")] == printed[("--json",)]
    assert json.loads(printed[("--uncertified", "--json")])["certified"] is True
