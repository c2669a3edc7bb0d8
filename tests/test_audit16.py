"""Audits in binary16 and bfloat16: the one-pass judgement against MPFR's judgement of each answer,
the array types the implementation is given, and misroundings of numpy's functions checked by hand
against mpmath."""
import math

import numpy as np
import pytest

import fpscope
from fpscope import _audit16, _small, _truth
from fpscope._formats import BF16, F16

ml_dtypes = pytest.importorskip("ml_dtypes")
OUTCOME = {_truth.CORRECT: 0, _truth.MISROUNDED: 1, _truth.SPECIAL: 2}


def perturbed(fmt, op, xs, seed):
    """numpy's float32 answer rounded to the format, then a third of the answers moved by up to two
    floats and one in a hundred made NaN: every outcome and many bins."""
    fn = {"recip": np.reciprocal, "sigmoid": lambda a: 1 / (1 + np.exp(-a))}.get(op) or getattr(np, op)
    with np.errstate(all="ignore"):
        v = fn(xs.astype(np.float32)).astype(np.float64)
    rng = np.random.default_rng(seed)
    moved = fmt._round_float64(v).astype(np.int64) + rng.integers(-2, 3, xs.size) * (rng.random(xs.size) < 0.3)
    ys = _small.values_of(fmt, moved)
    ys[rng.random(xs.size) < 0.01] = np.nan
    return ys


@pytest.mark.parametrize("fmt", [F16, BF16], ids=["f16", "bf16"])
@pytest.mark.parametrize("op", ["exp", "log", "sin", "tanh", "sqrt", "recip", "sigmoid", "expm1"])
def test_judgement_is_mpfrs(fmt, op):
    xs = _small.all_inputs(fmt)
    ys = perturbed(fmt, op, xs, 7)
    j = _audit16.judge(fmt, op, xs, ys)
    for i in range(0, xs.size, 211):
        x, y = float(xs[i]), float(ys[i])
        try:
            want = _audit16._judge_exactly(fmt, op, x, y) or _truth._certified(op, x, y, _small.MODELS[fmt])
        except _truth.CertificationError:
            continue  # far out, where only the saturation rule of the reports decides
        assert (int(j["outcome"][i]), int(j["bin"][i])) == (OUTCOME[want.outcome], want.bin), (x, y)
        assert j["error"][i] == pytest.approx(want.error, rel=1e-6, abs=1e-9), (x, y)
        assert np.array_equal(j["expected"][i], want.expected, equal_nan=True) \
            and np.signbit(j["expected"][i]) == np.signbit(want.expected), (x, y)


def bf16_of(fn):
    def computed_in_float32(a):
        return fn(a.astype(np.float32)).astype(ml_dtypes.bfloat16)
    return computed_in_float32


# Misroundings checked with mpmath: exp(-0x1.83p-5) = 0.95385728... lies below the midpoint
# 0.953857421875; exp(6.84375) = 938.0000478 rounds to 938 in float32, a bfloat16 tie, to even 936.
@pytest.mark.parametrize("dtype,impl,x,y,correct", [
    ("f16", np.exp, -0.0472412109375, 0.9541015625, 0.95361328125),
    ("bf16", bf16_of(np.exp), 6.84375, 936.0, 940.0),
])
def test_whole_range_audit_finds_the_double_rounding(dtype, impl, x, y, correct):
    a = fpscope.audit(impl, "exp", dtype, worst=64)
    assert a.exhaustive and a.dtype == dtype and a.special_mismatches == 0
    assert a.inputs == (63490 if dtype == "f16" else 65282)  # every pattern but the NaNs
    assert a.inputs == a.correctly_rounded + a.misrounded == sum(c for _, _, c in a.histogram)
    assert (x, y, correct) in [row[:3] for row in a.worst]
    assert 0.5 < a.max_error < 0.5003


def test_answers_of_every_kind_agree():
    exact64 = fpscope.audit(lambda x: math.exp(x), "exp", "f16", -2, 2)  # per input, rounded to f16
    array = fpscope.audit(lambda a: np.exp(a.astype(np.float64)).astype(np.float16), "exp", "f16", -2, 2)
    assert exact64.to_dict() | {"impl": ""} == array.to_dict() | {"impl": ""}
    given = fpscope.audit(np.exp, "exp", "f16", inputs=[1.0, math.nan, 1.0001, -70000.0])
    assert given.inputs == 3 and not given.exhaustive  # 1.0001 rounds to 1.0; -70000 to -inf


@pytest.mark.parametrize("call,error,message", [
    (lambda: fpscope.audit(np.exp, "exp", "f16", sample=10), ValueError, "16-bit audits"),
    (lambda: fpscope.audit(np.exp, "exp", "bf16", 1, None), ValueError, "both lo and hi"),
    (lambda: fpscope.audit(lambda a: np.exp(a.astype(np.float32)), "exp", "bf16"), TypeError,
     "float32 values for bfloat16 inputs"),
    (lambda: fpscope.audit(np.exp, "exp", "f8"), ValueError, "unsupported dtype \"f8\""),
])
def test_refusals(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message in str(raised.value)
