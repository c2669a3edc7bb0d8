"""Reference and memory leaks on every path through the frame.

Each case is called many times in rounds, after warm-up rounds; the interpreter's allocated blocks, the
C heap in use and the reference counts of the objects passed in (and of None, True, False and the
exception classes) must come back to where they were. A leak of one reference or one block per call
shows as a growth of at least the number of calls in every round.
"""
import ctypes
import ctypes.util
import gc
import inspect
import sys

import pytest

from fpscope import _core as fs
from support import (FloatSub, Hostile, IntSub, PanicFloat, StrRaisingStr, StrSub, panic_class, public_functions,
                     sample_arguments, with_keywords)


Panic = panic_class()
CALLS_PER_ROUND = 300
WARMUP_ROUNDS = 2
ROUNDS = 3


class RaisingFloat:
    def __float__(self):
        raise Hostile("__float__")


class RaisingIndex:
    def __index__(self):
        raise Hostile("__index__")


class LenRaises:
    """A sequence whose length fails (only a hint) and whose third item fails."""

    def __len__(self):
        raise Hostile("__len__")

    def __getitem__(self, i):
        if i == 2:
            raise Hostile("__getitem__")
        return float(i)


class IterRaises:
    def __getitem__(self, i):
        return 1.0

    def __iter__(self):
        raise Hostile("__iter__")


# Arguments are module-level objects so that their reference counts can be watched.
LIST = [1.0, 2.0, 3.0]
TUPLE = (1.0, -1.0, 0.5)
RANGE = range(3)
EMPTY = []
NAN_LIST = [float("nan"), 1.0]
BAD_ITEM_LIST = [1.0, "x"]
X = 2.5
Y = 0.75
F32 = StrSub("f32")
F64 = "f64"
BAD_DTYPE = "f16"
SURROGATE = "\udcff"
HUGE = 10**400
NEG_K = -1
BIG_K = 2**32
SIZE_NEG = -1
OBJECTS = [RaisingFloat(), RaisingIndex(), PanicFloat(), LenRaises(), IterRaises(), FloatSub(1.5), IntSub(2)]
RAISING_FLOAT, RAISING_INDEX, PANIC_FLOAT, LEN_RAISES, ITER_RAISES, FLOAT_SUB, INT_SUB = OBJECTS
KEY_RAISING = StrRaisingStr("nope")
NON_STR_KEY = (1, 2)
GENERATOR_FACTORY = (lambda: (v for v in LIST))

ok = None  # the call returns a result
CASES = [
    # Valid calls of every function.
    ("ulp_distance", lambda: fs.ulp_distance(X, Y), ok),
    ("ulp_distance nan", lambda: fs.ulp_distance(float("nan"), X, dtype=F32), ok),
    ("ulp_distances", lambda: fs.ulp_distances(LIST, TUPLE, F32), ok),
    ("ulp_distances range/nan", lambda: fs.ulp_distances(RANGE, b=NAN_LIST + [2.0]), ok),
    ("ulp_distances empty", lambda: fs.ulp_distances(EMPTY, EMPTY), ok),
    ("ulp_distances len raises", lambda: fs.ulp_distances(LEN_RAISES, LEN_RAISES), Hostile),
    ("ordered", lambda: fs.ordered(X, F32), ok),
    ("next_up", lambda: fs.next_up(x=FLOAT_SUB, dtype=F64), ok),
    ("next_down", lambda: fs.next_down(INT_SUB), ok),
    ("spacing", lambda: fs.spacing(X, "f32"), ok),
    ("special", lambda: fs.special(), ok),
    ("special f64", lambda: fs.special(F64), ok),
    ("neighbours", lambda: fs.neighbours(X, k=INT_SUB, dtype=F32), ok),
    ("neighbours inf", lambda: fs.neighbours(float("inf"), 3), ok),
    ("binade_edges", lambda: fs.binade_edges(-3, 3, F32), ok),
    ("all_floats", lambda: fs.all_floats(1.0, 1.00001, F32, limit=100), ok),
    ("midpoint sqrt", lambda: fs.midpoint("sqrt", X, F64), ok),
    ("midpoint div", lambda: fs.midpoint("div", X, dtype=F32, y=Y), ok),
    ("midpoint unary f32", lambda: fs.midpoint("exp", X), ok),
    ("midpoint none", lambda: fs.midpoint("sqrt", -X, F64), ok),
    ("knife_edges_raw", lambda: fs.knife_edges_raw("sqrt", 1.0, 1.001, 1e-2, F32, limit=3, max_evals=50), ok),
    ("knife_edges_raw f64", lambda: fs.knife_edges_raw("sqrt", 1.0, 2.0, 0.5, F64, 5, 2**40, 40), ok),
    ("sqrt_cr", lambda: fs.sqrt_cr(X), ok),
    ("sqrt_cr f32", lambda: fs.sqrt_cr(X, F32), ok),
    # The functions' own refusals.
    ("dtype error", lambda: fs.next_up(X, BAD_DTYPE), ValueError),
    ("dtype error sequence", lambda: fs.ulp_distances(LIST, TUPLE, BAD_DTYPE), ValueError),
    ("dtype error special", lambda: fs.special(BAD_DTYPE), ValueError),
    ("unknown op", lambda: fs.midpoint("nope\u00e9", X), ValueError),
    ("unknown op scan", lambda: fs.knife_edges_raw("nope", 1.0, 2.0, max_evals=1), ValueError),
    ("div needs y", lambda: fs.midpoint("div", X, F64), ValueError),
    ("no f64 oracle", lambda: fs.midpoint("exp", X, F64), ValueError),
    ("f64 scan sqrt only", lambda: fs.knife_edges_raw("exp", 1.0, 2.0, dtype=F64, max_evals=1), ValueError),
    ("length mismatch", lambda: fs.ulp_distances(LIST, EMPTY), ValueError),
    ("more than limit", lambda: fs.all_floats(0.0, 1.0, limit=10), ValueError),
    # Binding errors.
    ("too many", lambda: fs.next_up(X, F64, X), TypeError),
    ("unexpected keyword", lambda: fs.neighbours(X, foo=X), TypeError),
    ("unencodable keyword", lambda: fs.spacing(X, **{SURROGATE: X}), TypeError),
    ("keyword str() raises", lambda: fs.spacing(X, **{KEY_RAISING: X}), Hostile),
    ("non-str keyword", with_keywords(fs.ordered, [X], {NON_STR_KEY: X}), TypeError),
    ("multiple values", lambda: fs.midpoint("sqrt", X, x=X), TypeError),
    ("missing", lambda: fs.knife_edges_raw("sqrt", hi=X), TypeError),
    # Conversion errors, each with its note.
    ("float from str", lambda: fs.next_up("a"), TypeError),
    ("float overflow", lambda: fs.ulp_distance(X, HUGE), OverflowError),
    ("float raises", lambda: fs.sqrt_cr(RAISING_FLOAT), Hostile),
    ("float index raises", lambda: fs.sqrt_cr(RAISING_INDEX), Hostile),
    ("string None", lambda: fs.next_up(X, dtype=None), TypeError),
    ("string int", lambda: fs.special(3), TypeError),
    ("string surrogate", lambda: fs.midpoint(SURROGATE, X), UnicodeEncodeError),
    ("u32 negative", lambda: fs.neighbours(X, k=NEG_K), OverflowError),
    ("u32 too big", lambda: fs.neighbours(X, k=BIG_K), OverflowError),
    ("u32 float", lambda: fs.neighbours(X, k=1.5), TypeError),
    ("u32 index raises", lambda: fs.neighbours(X, RAISING_INDEX), Hostile),
    ("i32 too big", lambda: fs.binade_edges(2**31, 0), OverflowError),
    ("i32 beyond long", lambda: fs.binade_edges(0, HUGE), OverflowError),
    ("size negative", lambda: fs.all_floats(0.0, 1.0, limit=SIZE_NEG), OverflowError),
    ("size None", lambda: fs.knife_edges_raw("sqrt", 1.0, 2.0, max_evals=None), TypeError),
    ("optional float", lambda: fs.midpoint("div", X, "f32", "y"), TypeError),
    ("sequence from str", lambda: fs.ulp_distances("ab", "cd"), TypeError),
    ("not a sequence", lambda: fs.ulp_distances(3, LIST), TypeError),
    ("generator", lambda: fs.ulp_distances(LIST, GENERATOR_FACTORY()), TypeError),
    ("sequence item", lambda: fs.ulp_distances(LIST, BAD_ITEM_LIST), TypeError),
    ("sequence iter raises", lambda: fs.ulp_distances(LIST, ITER_RAISES), Hostile),
    ("sequence item raises", lambda: fs.ulp_distances([RAISING_FLOAT], LIST), Hostile),
    # A quotient far below the subnormals (once a failure), and a failure resumed from Python code.
    ("far underflow", lambda: fs.midpoint("div", 1e-300, "f64", 1e300), ok),
    ("resumed panic", lambda: fs.next_up(PANIC_FLOAT), Panic),
]


def _all_by_keyword(fn):
    required, defaults = sample_arguments(fn)
    names = list(inspect.signature(fn).parameters)
    keywords = dict(zip(names, required), **defaults)
    return lambda: fn(**keywords)


# Every function with all of its arguments by keyword (the path that holds references to them), from its
# signature.
CASES += [(f"{fn.__name__} by keyword", _all_by_keyword(fn), ok) for fn in public_functions()]

WATCHED = [LIST, TUPLE, RANGE, EMPTY, NAN_LIST, BAD_ITEM_LIST, *LIST, *TUPLE, *NAN_LIST, *BAD_ITEM_LIST, X, Y, F32, F64, BAD_DTYPE, SURROGATE, HUGE, NEG_K,
           BIG_K, SIZE_NEG, KEY_RAISING, NON_STR_KEY, *OBJECTS, *[type(o) for o in OBJECTS],
           Panic, Hostile, TypeError, ValueError, OverflowError, UnicodeEncodeError]
# From CPython 3.12 on these are immortal: the interpreter no longer counts its own references to
# them, while a module built for the 3.9 stable ABI still does, so their counts drift for no leak.
SINGLETONS = [None, True, False] if sys.version_info < (3, 12) else []


def _heap_in_use():
    """Bytes the C allocator has handed out, or None where that cannot be read (or is not glibc's)."""
    path = ctypes.util.find_library("c")
    if path is None:
        return None
    libc = ctypes.CDLL(path)
    if not hasattr(libc, "mallinfo2"):
        return None

    class MallInfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                     "fordblks", "keepcost")]

    libc.mallinfo2.restype = MallInfo2

    def in_use():
        info = libc.mallinfo2()
        return info.uordblks + info.hblkhd

    # Under a sanitizer's allocator mallinfo2 reads nothing useful.
    return in_use if in_use() > 0 else None


HEAP_IN_USE = _heap_in_use()


def _run(call, times):
    for _ in range(times):
        try:
            call()
        except (Exception, Panic):
            pass


def _snapshot():
    gc.collect()
    return (sys.getallocatedblocks(), HEAP_IN_USE() if HEAP_IN_USE else 0,
            [sys.getrefcount(o) for o in WATCHED], [sys.getrefcount(o) for o in SINGLETONS])


@pytest.mark.parametrize("label, call, outcome", CASES, ids=[c[0] for c in CASES])
def test_no_leak(label, call, outcome, capfd):
    # The case goes through the path it names.
    if outcome is ok:
        call()
    else:
        with pytest.raises(BaseException) as info:
            call()
        assert type(info.value) is outcome

    for _ in range(WARMUP_ROUNDS):
        _run(call, CALLS_PER_ROUND)
    blocks, heap, refs, singletons = [], [], [], []
    before = _snapshot()
    for _ in range(ROUNDS):
        _run(call, CALLS_PER_ROUND)
        after = _snapshot()
        blocks.append(after[0] - before[0])
        heap.append(after[1] - before[1])
        refs.append([a - b for a, b in zip(after[2], before[2])])
        singletons.append([a - b for a, b in zip(after[3], before[3])])
        before = after
    capfd.readouterr()  # the reports of the panics provoked on purpose

    # A leak of one block or reference per call moves its count by CALLS_PER_ROUND in every round (down
    # for a reference released once too often); the interpreter's own caches move a few, and not in
    # every round.
    def drifts(deltas, step):
        return all(d >= step for d in deltas) or all(d <= -step for d in deltas)

    assert not drifts(blocks, CALLS_PER_ROUND // 10), f"allocated blocks moved by {blocks} per round"
    assert not drifts(heap, 8 * CALLS_PER_ROUND), f"C heap moved by {heap} bytes per round"
    for i, obj in enumerate(WATCHED):
        deltas = [round_refs[i] for round_refs in refs]
        assert not drifts(deltas, 1), f"reference count of {obj!r} moved by {deltas} per round"
    for i, obj in enumerate(SINGLETONS):
        deltas = [round_refs[i] for round_refs in singletons]
        assert not drifts(deltas, CALLS_PER_ROUND // 10), f"reference count of {obj!r} moved by {deltas} per round"
