"""Worst cases: the ranking equals one over every input of the range, and the shipped tables re-certify."""
import json
import math
import os

import pytest

import fpscope
from fpscope import _certify, _core, _scan, _worst

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


@pytest.mark.parametrize("dtype", ["f32", "f16", "bf16"])
def test_every_operation_has_a_table(dtype):
    assert shipped(dtype) == sorted(_core.UNARY_OPS)


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


def test_a_missing_table_is_a_lookup_error():
    with pytest.raises(LookupError, match="no worst-case table for 'sqrt' in 'f64'"):
        fpscope.worst_table("sqrt", "f64")
    assert math.isinf(float(fpscope.worst_table(SHIPPED[0])["hi"])) if SHIPPED else True
