"""Worst cases: the ranking equals one over every input of the range, and the shipped tables re-certify."""
import json
import math
import os

import pytest

import fpscope
from fpscope import _certify, _core, _mathlib, _scan, _worst
from fpscope.cli import main

# The tables shipped beside the imported package (the source tree, or an installed wheel).
TABLES = os.path.join(os.path.dirname(os.path.abspath(fpscope.__file__)), "data", "worst")


def ranked_by_brute_force(op, lo, hi, dtype, top, certified):
    """Every input with an inexact result (tolerance past 0.5 ulp, or the widest a certified scan
    takes), stably sorted by distance."""
    if certified:
        hits, _, covered = _scan.certified_scan(op, lo, hi, _certify.MAX_TOLERANCE, dtype, 2**64 - 1)
    else:
        hits, _, covered = _core.knife_edges_raw(op, lo, hi, 1.0, dtype, 2**64 - 1)
    assert covered
    return sorted(hits, key=lambda h: h[2])[:top]


@pytest.mark.parametrize("op, lo, hi, dtype, top", [
    ("exp", 1.0, 1.01, "f32", 5),
    ("sin", 0.5, 0.5001, "f32", 40),
    ("recip", 3.0, 3.0001, "f32", 3),
    ("sqrt", 4.0, 4.0, "f32", 3),                      # exact: nothing to rank
    ("log", 0.9999, 1.0, "f32", 10**4),                # fewer inputs than asked for
    ("sqrt", 2.0, 2.0000000000001, "f64", 7),
    ("rsqrt", 1e-3, 1.0001e-3, "f32", 2),
])
@pytest.mark.parametrize("certified", [False, True])
def test_worst_cases_equal_a_ranking_of_every_input(op, lo, hi, dtype, top, certified):
    got = fpscope.worst_cases(op, lo, hi, dtype, top, certified=certified, workers=2)
    assert [tuple(h) for h in got] == ranked_by_brute_force(op, lo, hi, dtype, top, certified)


def ranked_by_reports(op, lo, hi, top, y=None):
    """Every input's certified report, the inexact ones stably sorted by distance (ascending x on ties)."""
    rows = [(x, r.rounded, r.distance_ulp, r.exact_above) for x in fpscope.all_floats(lo, hi, limit=10**6)
            for r in [fpscope.report(op, x, "f32", y)] if r is not None and not r.exact]
    return sorted(rows, key=lambda h: h[2])[:top]


# C's other functions, through stretches with exact results (pi-scaled at large x), a pole, subnormal
# results, a zero, and those of two arguments with y fixed, under numpy's names too.
@pytest.mark.parametrize("op, lo, hi, y, top", [
    ("cbrt", 1.0, 1.001, None, 5),
    ("tgamma", -2.001, -1.999, None, 8),
    ("lgamma", 0.9999, 1.0001, None, 4),
    ("sinpi", 1e6, 1.0001e6, None, 6),
    ("tanpi", 0.24999, 0.25001, None, 6),
    ("erfc", 9.9, 9.91, None, 3),
    ("arcsinh", 2.0, 2.001, None, 4),
    ("hypot", 1.0, 1.001, 3e-3, 4),
    ("atan2", -0.5005, -0.5, -1.0, 3),
    ("power", 2.0, 2.001, -0.5, 5),
])
def test_worst_cases_of_other_functions_rank_every_report(op, lo, hi, y, top):
    got = fpscope.worst_cases(op, lo, hi, top=top, y=y, workers=2)
    assert [tuple(h) for h in got] == ranked_by_reports(op, lo, hi, top, y)


@pytest.mark.parametrize("call, message", [
    (lambda: fpscope.worst_cases("cbrt", 1.0, 2.0, y=2.0), "op='cbrt' takes no y"),
    (lambda: fpscope.worst_cases("hypot", 1.0, 2.0), "op='hypot' needs y"),
    (lambda: fpscope.worst_cases("pow", 1.0, 2.0, "f16", y=2.0), "binary32 only, not f16"),
    (lambda: fpscope.worst_cases("sinpi", 1.0, 2.0, "f64"), "f64 scans are available for op='sqrt' only"),
])
def test_refusals_of_other_functions(call, message):
    with pytest.raises(ValueError, match=message):
        call()


def test_cli_worst_takes_y(capsys):
    assert main(["worst", "pow", "1.5", "1.5005", "--y", "0.1", "--top", "3", "--json"]) == 0
    table = json.loads(capsys.readouterr().out)
    assert (table["op"], table["y"], table["y_hex"]) == ("pow", float.fromhex("0x1.99999ap-4"), "0x1.99999ap-4")
    rows = [(float.fromhex(r["x_hex"]), float.fromhex(r["rounded_hex"]), r["distance_ulp"], r["exact_above"])
            for r in table["rows"]]
    assert rows == ranked_by_reports("pow", 1.5, 1.5005, 3, float.fromhex("0x1.99999ap-4"))
    assert main(["worst", "arccosh", "1", "1.0001", "--top", "1"]) == 0
    assert capsys.readouterr().out.startswith("arccosh over [1.0, ")


@pytest.mark.parametrize("argv, message", [
    (["worst", "cbrt", "1", "2", "--y", "2"], "cbrt takes one operand; --y is only for hypot, atan2 and pow"),
    (["worst", "atan2", "1", "2"], "op='atan2' needs y"),
])
def test_cli_worst_refuses_y_where_it_means_nothing(capsys, argv, message):
    assert main(argv) == 2
    assert message in capsys.readouterr().err


def test_narrowing_and_widening_passes(monkeypatch):
    """A first tolerance that keeps too many hits, and then too few, still ends with the true top."""
    monkeypatch.setattr(_worst, "MIN_LIMIT", 30)
    monkeypatch.setattr(_worst, "LIMIT_PER_ROW", 1)
    got = fpscope.worst_cases("exp", 1.0, 1.05, "f32", 20, certified=False)
    assert [tuple(h) for h in got] == ranked_by_brute_force("exp", 1.0, 1.05, "f32", 20, False)


@pytest.mark.parametrize("args, error, message", [
    (("sqrt", None, None, "f64"), ValueError, "binary64 worst cases need an explicit range"),
    (("exp", 1.0, None), ValueError, "give both lo and hi"),
    (("exp", 1.0, 2.0, "f32", 0), ValueError, "top must be at least 1"),
    (("exp", 1.0, 2.0, "f64"), ValueError, "f64 scans are available for op='sqrt' only"),
    (("nope", 1.0, 2.0), ValueError, "unknown op"),
])
def test_refusals(args, error, message):
    with pytest.raises(error, match=message):
        fpscope.worst_cases(*args)


# ---------------------------------------------------------------- the shipped tables

def shipped(dtype):
    prefix = dtype + "_"
    return sorted(name[len(prefix):-len(".json")] for name in os.listdir(TABLES) if name.startswith(prefix)) \
        if os.path.isdir(TABLES) else []


SHIPPED = shipped("f32")
# C's other functions of one argument with binary32 tables (log2p1 and exp2m1 have none).
OTHER_UNARY = sorted(op for op in _mathlib.PRIVATE_OPS - _mathlib.BINARY_OPS if op not in ("log2p1", "exp2m1"))


@pytest.mark.parametrize("dtype, ops", [("f32", sorted(list(_core.UNARY_OPS) + OTHER_UNARY)),
                                        ("f16", sorted(_core.UNARY_OPS)), ("bf16", sorted(_core.UNARY_OPS))])
def test_every_operation_has_a_table(dtype, ops):
    assert shipped(dtype) == ops


# A 16-bit table ranks every input: its rows are the certified reports of those inputs, in order,
# and no other input lies closer to a midpoint than its last row (the whole-range scan says so).
@pytest.mark.parametrize("dtype", ["f16", "bf16"])
@pytest.mark.parametrize("op", sorted(_core.UNARY_OPS))
def test_sixteen_bit_tables_re_certify(dtype, op):
    table = fpscope.worst_table(op, dtype)
    rows = table["rows"]
    assert (table["op"], table["dtype"], table["certified"], len(rows)) == (op, dtype, True, table["top"])
    for row in rows:
        x = float.fromhex(row["x_hex"])
        m = fpscope.report(op, x, dtype)
        assert m is not None and not m.exact
        assert (m.rounded, m.distance_ulp, m.exact_above) == (float.fromhex(row["rounded_hex"]), row["distance_ulp"],
                                                              row["exact_above"])
    last = rows[-1]["distance_ulp"]
    closer = fpscope.knife_edges(op, -math.inf, math.inf, last, dtype, limit=10**6)
    assert {h.x for h in closer.hits} <= {float.fromhex(r["x_hex"]) for r in rows}


@pytest.mark.parametrize("op", SHIPPED)
def test_shipped_rows_re_certify(op):
    table = fpscope.worst_table(op)
    rows = table["rows"]
    assert table["op"] == op and table["dtype"] == "f32" and table["certified"] is True
    assert len(rows) == table["top"]
    lo, hi = float(table["lo"]), float(table["hi"])
    for row in rows:
        x = float.fromhex(row["x_hex"])
        assert lo <= x <= hi and float(row["x"]) == x
        hits, evaluated, covered = _scan.certified_scan(op, x, x, _certify.MAX_TOLERANCE, "f32")
        assert (evaluated, covered) == (1, True) and len(hits) == 1
        assert hits[0] == (x, float.fromhex(row["rounded_hex"]), row["distance_ulp"], row["exact_above"])
        assert row["distance_ulp"] < table["tol_ulp"]
    keys = [(r["distance_ulp"], _core.ordered(float.fromhex(r["x_hex"]), "f32")) for r in rows]
    assert keys == sorted(keys)


@pytest.mark.parametrize("op", ["a" * 300, "exp\0", "nope", "", "../worst/f32_exp", "exp/", 5],
                         ids=lambda op: repr(op)[:12])
def test_an_unknown_name_is_a_lookup_error(op):
    with pytest.raises(LookupError, match=r"^no worst-case table for .* in 'f32'$"):
        fpscope.worst_table(op)


@pytest.mark.parametrize("alias, name", [("arcsinh", "asinh"), ("arccos", "acos"), ("arctan", "atan")])
def test_numpy_names_find_the_table_of_the_c_name(alias, name):
    assert fpscope.worst_table(alias) == fpscope.worst_table(name)


def test_a_missing_table_is_a_lookup_error():
    with pytest.raises(LookupError, match="no worst-case table for 'sqrt' in 'f64'"):
        fpscope.worst_table("sqrt", "f64")
    assert math.isinf(float(fpscope.worst_table(SHIPPED[0])["hi"])) if SHIPPED else True


# The 1,000 hardest inputs of every binary32 input of each of C's other functions: a whole-range
# certified ranking whose head is the shipped table, every row of it re-certified by a report.
@pytest.mark.slow
@pytest.mark.parametrize("op", OTHER_UNARY)
def test_the_thousand_hardest_inputs_re_certify(op):
    rows = fpscope.worst_cases(op, top=1000, workers=2)
    assert len(rows) == 1000
    for h in rows:
        m = fpscope.report(op, h.x)
        assert m is not None and not m.exact and (m.rounded, m.distance_ulp, m.exact_above) == h[1:]
    table = fpscope.worst_table(op)
    assert [tuple(h) for h in rows[:table["top"]]] == [
        (float.fromhex(r["x_hex"]), float.fromhex(r["rounded_hex"]), r["distance_ulp"], r["exact_above"])
        for r in table["rows"]]
