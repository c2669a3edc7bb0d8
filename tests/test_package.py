"""The pure-Python layer: named results, chunked scans, progress, interruption, ULP assertions."""
import io
import math
import signal
import sys
import types

import pytest
from hypothesis import HealthCheck, assume, example, given, settings
from hypothesis import strategies as st

import fpscope
from fpscope import Hit, Midpoint, Scan, ScanInterrupted, assert_ulp_close, knife_edges, report
from fpscope import _core, _scan
from fpscope._floats import from_ordered
from fpscope._progress import TextBar, make_reporter
from support import IntSub

INF = math.inf
NAN = math.nan


def same(scan, raw):
    """Equal hits (bit for bit: repr tells -0.0 from 0.0), counts and coverage, with the right types."""
    hits, evaluated, covered = raw
    return (repr([tuple(h) for h in scan.hits]) == repr(hits) and scan.evaluated == evaluated
            and type(scan.covered) is bool and scan.covered == covered)


def test_package_reexports_the_core_unchanged():
    for name in _core.__all__:
        if name != "ulp_distances":  # wrapped, to take arrays of any shape
            assert getattr(fpscope, name) is getattr(_core, name)
    assert set(_core.__all__) < set(fpscope.__all__)


def test_named_results_equal_the_core_tuples():
    raw = _core.knife_edges_raw("sqrt", 1.0, 4.0, 1e-3, "f32", 3)
    scan = knife_edges("sqrt", 1.0, 4.0, limit=3)
    assert scan == raw and isinstance(scan.hits[0], Hit) and scan.hits[0] == raw[0][0]
    assert scan.hits[0].x == raw[0][0][0] and scan.evaluated == raw[1]
    answer = report("sqrt", 2.0, "f64")
    assert isinstance(answer, Midpoint) and answer == _core.midpoint("sqrt", 2.0, "f64")
    assert answer.exact is False and report("div", 1.0, "f64", 3.0).exact_above is True
    assert report("sqrt", -1.0) is None
    with pytest.raises(ValueError, match="op='div' needs y"):
        report("div", 1.0)


# ---------------------------------------------------------------- chunked scan = one core call

F32_OPS = _core.UNARY_OPS + ["ln", "reciprocal"]
TOLERANCES = [1e-3, 0.05, 0.25, 0.5, 0.6, 0.0, -1.0, NAN]


@st.composite
def scan_args(draw):
    f32 = draw(st.booleans())
    dtype = draw(st.sampled_from(["f32", "float"] if f32 else ["f64", "double"]))
    op = draw(st.sampled_from(F32_OPS)) if f32 else "sqrt"
    top = _core.ordered(INF, dtype)
    lo = draw(st.one_of(st.floats(allow_nan=True), st.sampled_from([-0.0, 0.0, -INF, INF, 1.0, 3e38, 1e39])))
    start = _core.ordered(lo, dtype) if lo == lo else 0
    hi = from_ordered(max(-top, min(top, start + draw(st.integers(-3, 3000)))), f32)
    if draw(st.booleans()):
        # A bound that is no value of the format, or nowhere near lo, or NaN.
        hi = draw(st.sampled_from([_core.next_up(hi), _core.next_down(hi), INF, NAN, -0.0]))
    count = max(0, _core.ordered(hi, dtype) - start + 1) if hi == hi and lo == lo else 0
    stride = draw(st.one_of(st.integers(0, 7), st.sampled_from([1 << 31, 1 << 62, 2**64 - 1])))
    step = stride or 1
    visits = (count - 1) // step + 1 if count else 0
    limit = draw(st.one_of(st.integers(0, 12), st.just(100)))
    # Every scan stays small: at most a few thousand inputs, whatever the range.
    ends = [visits, max(visits - 1, 0), 2**64 - 1] if visits <= 3001 else [3001]
    max_evals = draw(st.one_of(st.integers(0, 3001), st.sampled_from(ends)))
    tol = draw(st.sampled_from(TOLERANCES))
    return op, lo, hi, tol, dtype, limit, stride, max_evals


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(scan_args(), st.integers(1, 64))
@example(("sqrt", -0.0, 0.0, 1e-3, "f32", 100, 1, 10), 1)
@example(("sqrt", 1.0, 1.0, 0.3, "f64", 0, 1, 10), 1)
@example(("sqrt", 1.0, 1.0001, 0.3, "f32", 100, 1, 0), 3)
@example(("sqrt", 3.0, 1.0, 1e-3, "f32", 100, 1, 10), 2)
@example(("exp", NAN, 1.0, 1e-3, "f32", 100, 1, 10), 2)
@example(("sqrt", 1e39, 1e40, 1e-3, "f32", 5, 1, 10), 1)
@example(("sqrt", 0.0, INF, 0.3, "f64", 5, 2**64 - 1, 2**64 - 1), 1)
@example(("sqrt", -INF, INF, 0.3, "f32", 5, 1 << 31, 10), 1)
def test_chunked_scan_equals_one_core_call(args, chunk):
    assert same(knife_edges(*args, chunk=chunk, certified=False), _core.knife_edges_raw(*args))


def _only_hit_last(f32):
    """A range of 6 floats whose only hit at tolerance 1e-6 is its last input."""
    dtype = "f32" if f32 else "f64"
    x = _core.knife_edges_raw("sqrt", 1.1, 4.0, 1e-6, dtype, 1)[0][0][0]
    lo = from_ordered(_core.ordered(x, dtype) - 5, f32)
    assert len(_core.knife_edges_raw("sqrt", lo, x, 1e-6, dtype)[0]) == 1
    return lo, x, dtype


@pytest.mark.parametrize("f32", [True, False])
@pytest.mark.parametrize("chunk", [1, 2, 5, 6, 7])
def test_limit_and_max_evals_edges_across_chunks(f32, chunk):
    lo, x, dtype = _only_hit_last(f32)
    beyond = _core.next_up(x, dtype)
    hit = _core.knife_edges_raw("sqrt", x, x, 1e-6, dtype)[0]
    for args, expect in [(("sqrt", lo, x, 1e-6, dtype, 1), (hit, 6, True)),
                         (("sqrt", lo, beyond, 1e-6, dtype, 1), (hit, 6, False)),
                         (("sqrt", lo, x, 1e-6, dtype, 100, 1, 6), (hit, 6, True)),
                         (("sqrt", lo, x, 1e-6, dtype, 100, 1, 5), ([], 5, False))]:
        raw = _core.knife_edges_raw(*args)
        assert same(knife_edges(*args, chunk=chunk, certified=False), raw) and raw == expect


def test_adaptive_chunks_give_the_same_answer(monkeypatch):
    monkeypatch.setattr(_scan, "FIRST_CHUNK", 1000)
    calls = []
    original = _scan.knife_edges_raw
    monkeypatch.setattr(_scan, "knife_edges_raw", lambda *a: calls.append(a[7]) or original(*a))
    args = ("sqrt", 1.0, 1.05, 0.01, "f32", 10_000)
    assert same(knife_edges(*args, certified=False), original(*args))
    assert len(calls) > 4 and max(calls[2:]) <= _scan.MAX_CHUNK


@pytest.mark.parametrize("args, kwargs", [
    (("div", 1.0, 2.0), {}),
    (("exp", 1.0, 2.0), {"dtype": "f64"}),
    (("sqrt", 1.0, 2.0), {"limit": None, "max_evals": -1}),
    (("sqrt", 1.0, 2.0), {"stride": 2**64}),
    (("sqrt", 2.0, 1.0), {"max_evals": "x"}),
])
def test_refusals_are_the_core_refusals(args, kwargs):
    with pytest.raises(Exception) as raw:
        _core.knife_edges_raw(*args, **kwargs)
    with pytest.raises(type(raw.value)) as chunked:
        knife_edges(*args, **kwargs)
    assert str(chunked.value) == str(raw.value)


COUNTS = [7, 0, -1, 2**64, None, "x", IntSub(7), True]


@settings(max_examples=200, deadline=None)
@given(op=st.sampled_from(["exp", "ln", "sqrt", "nope", 3]), lo=st.sampled_from([1.0, "a"]),
       dtype=st.sampled_from(["f32", "double", "f8", b"f32"]), limit=st.sampled_from(COUNTS),
       stride=st.sampled_from([1, 2**64]), max_evals=st.sampled_from(COUNTS), certified=st.booleans())
def test_arguments_are_checked_in_the_cores_order(op, lo, dtype, limit, stride, max_evals, certified):
    """With several bad arguments the error is the one a single core call raises. (Only when neither
    count is a plain int in range may it differ: then the checks take two core calls.)"""
    assume(type(limit) is int and 0 <= limit < 2**64 or type(max_evals) is int and 0 <= max_evals < 2**64)
    args = (op, lo, 1.0001, 1e-3, dtype, limit, stride, max_evals)
    try:
        raw = _core.knife_edges_raw(*args)
    except Exception as refusal:
        with pytest.raises(type(refusal)) as chunked:
            knife_edges(*args, certified=certified)
        # An unknown dtype name gets the package's message, which names the 16-bit formats too.
        assert str(chunked.value) == str(refusal).replace("use 'f32' or 'f64'", "use 'f32', 'f64', 'f16' or 'bf16'")
    else:
        assert same(knife_edges(*args, chunk=100, certified=False), raw)


def test_bad_chunk_or_progress_is_refused():
    with pytest.raises(ValueError, match="chunk"):
        knife_edges("sqrt", 1.0, 2.0, chunk=0)
    with pytest.raises(TypeError, match="progress"):
        knife_edges("sqrt", 1.0, 2.0, progress="yes")


# ---------------------------------------------------------------- progress and interruption

def test_progress_callback_sees_every_chunk():
    seen = []
    scan = knife_edges("sqrt", 1.0, 1.001, 0.3, "f32", 10**6, 3, chunk=100, progress=lambda *a: seen.append(a))
    total = (_core.ordered(1.001, "f32") - _core.ordered(1.0, "f32")) // 3 + 1
    assert seen[0] == (0, total) and seen[-1] == (scan.evaluated, total) == (total, total)
    assert [n for n, _ in seen] == sorted(n for n, _ in seen) and len(seen) == math.ceil(total / 100) + 1
    seen.clear()
    assert knife_edges("sqrt", 2.0, 1.0, progress=lambda *a: seen.append(a)) == ([], 0, True)
    assert seen == [(0, 0)]


def test_text_bar_draws_in_place_and_ends_the_line():
    out = io.StringIO()
    bar = TextBar(200, "sqrt", stream=out, interval=0)
    bar.update(50)
    bar.close()
    text = out.getvalue()
    assert text.startswith("\rsqrt  [") and "25.0%" in text and "100.0%" not in text
    assert text.endswith("\n") and text.count("\n") == 1 and "50/200 evals" in text


def test_progress_true_uses_tqdm_when_installed(monkeypatch):
    bars = []

    class FakeBar:
        def __init__(self, **kw):
            self.total, self.n, self.closed = kw["total"], 0, False
            bars.append(self)

        def update(self, n):
            self.n += n

        def close(self):
            self.closed = True

    monkeypatch.setitem(sys.modules, "tqdm", types.SimpleNamespace(tqdm=FakeBar))
    scan = knife_edges("sqrt", 1.0, 1.0001, 0.3, limit=10**6, chunk=64, progress=True)
    assert (bars[0].total, bars[0].n, bars[0].closed) == (scan.evaluated, scan.evaluated, True)
    monkeypatch.setitem(sys.modules, "tqdm", None)  # an import that fails
    assert isinstance(make_reporter(True, 10), TextBar)


def _interrupt_at(call):
    """A progress callback that delivers SIGINT (or raises KeyboardInterrupt) at its call-th call."""
    calls = []

    def progress(evaluated, total):
        calls.append(evaluated)
        if len(calls) == call:
            if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
                raise KeyboardInterrupt  # as a program's own handler would
            signal.raise_signal(signal.SIGINT)
    return progress


@pytest.mark.parametrize("own_handler", [False, True])
@pytest.mark.parametrize("f32", [True, False])
def test_ctrl_c_between_chunks_keeps_a_consistent_partial_scan(own_handler, f32):
    dtype = "f32" if f32 else "f64"
    args = ("sqrt", 1.0, 1.0 + 2e-4 if f32 else 1.0 + 1e-12, 0.3, dtype, 10**6, 2)
    before = signal.getsignal(signal.SIGINT)
    if own_handler:
        signal.signal(signal.SIGINT, signal.default_int_handler)  # the same object, so not replaced
    with pytest.raises(ScanInterrupted) as stop:
        knife_edges(*args, chunk=50, progress=_interrupt_at(3), certified=False)
    assert signal.getsignal(signal.SIGINT) is before
    partial, resume = stop.value.scan, stop.value.resume_from
    assert isinstance(stop.value, KeyboardInterrupt) and partial.covered is False and partial.evaluated == 100
    assert same(partial, _core.knife_edges_raw(*args, max_evals=partial.evaluated))
    rest = knife_edges("sqrt", resume, *args[2:], certified=False)
    full = _core.knife_edges_raw(*args)
    assert partial.hits + rest.hits == full[0] and partial.evaluated + rest.evaluated == full[1]
    assert resume == from_ordered(_core.ordered(1.0, dtype) + 200, f32)


# ---------------------------------------------------------------- assert_ulp_close

@pytest.mark.parametrize("actual, desired, max_ulp, dtype", [
    (1.0, 1.0, 0, "f64"),
    (1.0, 1.0000000000000002, 1, "f64"),
    (-0.0, 0.0, 0, "f64"),
    (NAN, NAN, 0, "f64"),
    (1.7976931348623157e308, INF, 1, "f64"),
    (0.1, 0.10000000149011612, 0, "f32"),
    ([1.0, NAN, 3.0], (1.0, NAN, 3.0000000000000004), 1, "f64"),
    ([], [], 0, "f64"),
    ([1.0, 1.0000001192092896], 1.0, 1, "f32"),
])
def test_close_values_pass(actual, desired, max_ulp, dtype):
    assert_ulp_close(actual, desired, max_ulp, dtype)


def test_failure_names_the_worst_element_and_counts_the_rest():
    actual = [1.0, 1.0000000000000004, 2.0, 1.0000000000000009, 5.0]
    with pytest.raises(AssertionError) as err:
        assert_ulp_close(actual, [1.0, 1.0, 2.0, 1.0, 5.0], max_ulp=1)
    lines = str(err.value).splitlines()
    assert lines[0] == ("not within 1 ulp (f64): 2 of 5 elements differ by more; worst at index 3: "
                        "4 ulp apart")
    assert lines[1] == "  actual[3]  = 1.0000000000000009  (0x1.0000000000004p+0)"
    assert lines[2] == "  desired[3] = 1.0  (0x1.0000000000000p+0)"


def test_scalar_failure_and_binary32_rounding_are_shown():
    with pytest.raises(AssertionError) as err:
        assert_ulp_close(1.0, 1.0000002, max_ulp=0, dtype="f32")
    assert str(err.value).splitlines() == [
        "not within 0 ulp (f32): 2 ulp apart",
        "  actual  = 1.0  (0x1.0000000000000p+0)",
        f"  desired = 1.0000002  ({(1.0000002).hex()})  -> f32 1.000000238418579  (0x1.0000040000000p+0)",
    ]


@pytest.mark.parametrize("actual, desired, index", [([NAN, 1.0], [1.0, 1.0], 0), ([1.0, 1.0, 5.0], [1.0, NAN, 1.0], 1)])
def test_nan_equals_only_nan_and_ranks_worst(actual, desired, index):
    with pytest.raises(AssertionError, match=f"worst at index {index}: one is NaN"):
        assert_ulp_close(actual, desired, max_ulp=10**30)


def test_arrays_report_their_index_and_shapes_must_agree():
    np = pytest.importorskip("numpy")
    desired = np.ones((2, 3), dtype=np.float32)
    actual = desired.copy()
    actual[1, 2] = np.nextafter(np.float32(1), np.float32(2))
    assert_ulp_close(actual, desired, 1, "f32")
    with pytest.raises(AssertionError, match=r"1 of 6 elements .* index \(1, 2\): 1 ulp apart"):
        assert_ulp_close(actual, desired, 0, "f32")
    with pytest.raises(AssertionError, match=r"shapes differ: actual has \(2, 3\), desired has \(3, 2\)"):
        assert_ulp_close(actual, desired.reshape(3, 2), 0)
    with pytest.raises(AssertionError, match="lengths differ: actual has 2, desired has 3"):
        assert_ulp_close([1.0, 2.0], [1.0, 2.0, 3.0])


@pytest.mark.parametrize("kwargs, error", [
    ({"dtype": "f8"}, "unsupported dtype \"f8\": use 'f32', 'f64', 'f16' or 'bf16'"),
    ({"max_ulp": -1}, "max_ulp"),
    ({"max_ulp": NAN}, "max_ulp"),
])
def test_bad_arguments_are_refused(kwargs, error):
    with pytest.raises(ValueError, match=error):
        assert_ulp_close(1.0, 1.0, **kwargs)

