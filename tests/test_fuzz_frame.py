"""Hostile arguments through the call frame of every function.

Each example draws a mixture of positional and keyword arguments from hostile objects, predicts with a
small Python model of binding and conversion which exception (if any) the frame must raise, and then
checks the real call: a binding or conversion failure must have exactly the predicted class (conversion
failures with the "while processing" note, binding failures without), and a call whose arguments all
convert must either return a result of the function's shape or be refused by the function's logic.
"""
import math
import operator
import sys
import warnings

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from fpscope import _core as fs
from support import (FloatSub, Hostile, IntSub, PanicFloat, StrRaisingStr, StrSub, panic_class,
                     with_keywords)


Panic = panic_class()
HAS_NOTES = sys.version_info >= (3, 11)
MISSING = object()


# ---------------------------------------------------------------------------------------------------
# Hostile objects. All of them are stateless, so the model and the real call see the same behaviour.


class HostileBase(BaseException):
    pass


class PanicChild(Panic):
    """A subclass of PanicException is an ordinary exception for the frame, not a resumed failure."""


class HashyStr(str):
    """Equal to the plain name but hashed apart, so a dict holds both: a duplicate keyword."""

    def __hash__(self):
        return str.__hash__(self) ^ 0x5A5A

    def __repr__(self):
        return f"HashyStr({str.__repr__(self)})"


class FloatSubBadFloat(float):
    """A float subclass is read directly; its raising __float__ is never called."""

    def __float__(self):
        raise Hostile("__float__ of a float subclass")

    def __repr__(self):
        return f"FloatSubBadFloat({float.__repr__(self)})"


class _Converting:
    """Returns `result` from its conversion method, or raises it when it is an exception class."""

    def __init__(self, result):
        self.result = result

    def _convert(self):
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result(type(self).__name__)
        return self.result

    def __repr__(self):
        return f"{type(self).__name__}({self.result!r})"


class Floaty(_Converting):
    __float__ = _Converting._convert


class Indexy(_Converting):
    __index__ = _Converting._convert


class Reentrant:
    """__float__ calls back into the module, including a call that panics, before answering."""

    def __float__(self):
        assert fs.next_up(1.0) == 1.0000000000000002
        try:
            fs.ulp_distances(3, [1.0])
        except TypeError:
            pass
        try:
            fs.next_up(PanicFloat())
        except Panic:
            pass
        return 0.25

    def __repr__(self):
        return "Reentrant()"


class UnnamedMeta(type):
    """A class whose __qualname__ cannot be read: conversion errors name it with a fixed text."""

    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise Hostile("__qualname__")
        return super().__getattribute__(name)


class Unnamed(metaclass=UnnamedMeta):
    def __repr__(self):
        return "Unnamed()"


class OddlyNamed:
    """Its class's __qualname__ cannot be encoded strictly; conversion errors still name it."""

    def __repr__(self):
        return "OddlyNamed()"


OddlyNamed.__qualname__ = "Odd\udcffName"


class Seq:
    """A sequence by __getitem__, with knobs for each step of the sequence conversion."""

    def __init__(self, items, length=None, iterate=None, fail_at=None):
        self.items = list(items)
        self.length = length
        self.iterate = iterate
        self.fail_at = fail_at

    def __getitem__(self, i):
        if self.fail_at is not None and i == self.fail_at:
            raise Hostile("__getitem__")
        return self.items[i]

    def __len__(self):
        if self.length is None:
            return len(self.items)
        if isinstance(self.length, type) and issubclass(self.length, BaseException):
            raise self.length("__len__")
        return self.length

    def __repr__(self):
        return f"Seq({self.items!r}, length={self.length!r}, iterate={self.iterate!r}, fail_at={self.fail_at!r})"


class IterSeq(Seq):
    """A sequence whose __iter__ raises, returns a non-iterator, or an iterator that fails part-way."""

    def __iter__(self):
        if self.iterate == "raise":
            raise Hostile("__iter__")
        if self.iterate == "wrong":
            return 5
        return _FailingIterator(self.items)


class _FailingIterator:
    def __init__(self, items):
        self.items = list(items)
        self.i = 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.i >= len(self.items):
            raise HostileBase("__next__")
        self.i += 1
        return self.items[self.i - 1]


class NonStrKey:
    def __hash__(self):
        return 7

    def __eq__(self, other):
        return self is other

    def __str__(self):
        raise Hostile("__str__ of a key")

    def __repr__(self):
        return "NonStrKey()"


FINITE = [0.0, -0.0, 1.0, -1.0, 2.0, 0.1, 1.5, 3.0, 1e-300, 5e-324, 2.2250738585072014e-308,
          1.1754943508222875e-38, 1.401298464324817e-45, 3.4028234663852886e38, 1.7976931348623157e308, 1e300]
SPECIAL_FLOATS = [math.inf, -math.inf, math.nan]

floats = st.one_of(st.sampled_from(FINITE + SPECIAL_FLOATS), st.floats(allow_nan=True, allow_infinity=True))
float_like = st.one_of(
    floats,
    st.integers(-(2**70), 2**70),
    st.sampled_from([True, False, 10**400, -(10**400), 2**1024, 2**1023]),
    floats.map(FloatSub),
    floats.map(FloatSubBadFloat),
    st.sampled_from([IntSub(5), Floaty(2.5), Floaty(FloatSub(1.5)), Floaty("1.0"), Floaty(3), Floaty(Hostile),
                     Floaty(HostileBase), Floaty(PanicChild), Indexy(7), Indexy(2**2000), Indexy(1.5),
                     Indexy(IntSub(4)), Indexy(Hostile), PanicFloat(), Reentrant()]),
)

DTYPES = ["f32", "f64", "float", "double", "float32", "float64"]
BAD_STRINGS = ["", "f16", "F32", "f32 ", "f32\x00", "\udcff", "f3\ud800", "sqrtë", "div\n\"\\", "x" * 300,
               "\u200b", "\U0001f600"]
# Valid names come up more often than not, so that calls get past their refusals often enough.
strings = st.one_of(st.sampled_from(DTYPES), st.sampled_from(DTYPES), st.sampled_from(DTYPES).map(StrSub),
                    st.sampled_from(BAD_STRINGS), st.text(max_size=8))
OPS = list(fs.UNARY_OPS) + ["div", "ln", "reciprocal"]
op_strings = st.one_of(st.sampled_from(OPS), st.sampled_from(OPS), st.sampled_from(OPS).map(StrSub), strings)

small_sizes = st.one_of(st.integers(0, 300), st.sampled_from([True, False, IntSub(3), Indexy(2), Indexy(IntSub(1))]))
failing_sizes = st.sampled_from([-1, -(2**63), 2**64, 2**100, 1.0, None, "3", Indexy(-1), Indexy(Hostile),
                                 Indexy(1.5), Floaty(1.0)])
# Sizes that bound the work of a call (max_evals, the limit of all_floats) stay small; others may be huge.
bounded_size = st.one_of(small_sizes, failing_sizes)
any_size = st.one_of(small_sizes, failing_sizes, st.sampled_from([2**64 - 1, 2**63, 2**32, 10**12]))
int32 = st.one_of(st.integers(-(2**31), 2**31 - 1), st.integers(-3000, 3000),
                  st.sampled_from([2**31, -(2**31) - 1, 2**63, -(2**63) - 1, 10**30, True, IntSub(-5), Indexy(9),
                                   Indexy(2**40), Indexy(Hostile), 1.0, None, "1"]))
# k of neighbours bounds the result's length; the unbounded values it may take fail the conversion.
uint32 = st.one_of(st.integers(0, 64), st.sampled_from([-1, 2**32, 2**63, 2**64, 10**30, True, IntSub(2),
                                                         Indexy(3), Indexy(-3), Indexy(2**32), 1.5, None]))


def _generator(items):
    return (x for x in items)


short_floats = st.lists(float_like, max_size=4)
sequences = st.one_of(
    st.lists(floats, max_size=4),
    short_floats,
    short_floats.map(tuple),
    st.sampled_from([range(3), range(0), b"ab", bytearray(b"\x00\xff"), [], (), "ab", StrSub("1"), {1.0: 2.0},
                     {1.0}, frozenset(), 3, 2.5, None, Floaty(1.0),
                     Seq([1.0, 2.0]), Seq([1.0], length=10**6), Seq([1.0], length=-1), Seq([1.0], length=Hostile),
                     Seq([1.0], length=HostileBase), Seq([1.0], length=Panic), Seq([1.0], length="x"),
                     Seq([1.0, 2.0], fail_at=1), Seq([1.0, "x"]), IterSeq([1.0], iterate="raise"),
                     IterSeq([1.0], iterate="wrong"), IterSeq([1.0, 2.0], iterate="fail")]),
    st.lists(float_like, max_size=3).map(_generator),
)

hostile = st.one_of(
    float_like,
    strings,
    st.sampled_from([None, b"f32", bytearray(b"x"), [1.0], (1.0,), {}, object(), Unnamed(), OddlyNamed(), math.sqrt,
                     StrSub("f64"), IntSub(-1), 10**30]),
)

TYPE_VALUES = {
    "float": float_like,
    "optfloat": st.one_of(st.none(), float_like),
    "str": strings,
    "op": op_strings,
    "i32": int32,
    "u32": uint32,
    "size": any_size,
    "bounded": bounded_size,
    "seq": sequences,
}


# ---------------------------------------------------------------------------------------------------
# The functions: parameters, native types, defaults, and which refusals their logic may make.

FUNCTIONS = {
    "ulp_distance": (["a", "b", "dtype"], 2, ["float", "float", "str"], {"dtype": "f64"}),
    "ulp_distances": (["a", "b", "dtype"], 2, ["seq", "seq", "str"], {"dtype": "f64"}),
    "ordered": (["x", "dtype"], 1, ["float", "str"], {"dtype": "f64"}),
    "next_up": (["x", "dtype"], 1, ["float", "str"], {"dtype": "f64"}),
    "next_down": (["x", "dtype"], 1, ["float", "str"], {"dtype": "f64"}),
    "spacing": (["x", "dtype"], 1, ["float", "str"], {"dtype": "f64"}),
    "special": (["dtype"], 0, ["str"], {"dtype": "f32"}),
    "neighbours": (["x", "k", "dtype"], 1, ["float", "u32", "str"], {"k": 1, "dtype": "f64"}),
    "binade_edges": (["min_exp", "max_exp", "dtype"], 2, ["i32", "i32", "str"], {"dtype": "f64"}),
    "all_floats": (["lo", "hi", "dtype", "limit"], 2, ["float", "float", "str", "bounded"],
                   {"dtype": "f32", "limit": 1000000}),
    "midpoint": (["op", "x", "dtype", "y"], 2, ["op", "float", "str", "optfloat"], {"dtype": "f32", "y": None}),
    "knife_edges_raw": (["op", "lo", "hi", "tol_ulp", "dtype", "limit", "stride", "max_evals"], 3,
                        ["op", "float", "float", "float", "str", "size", "size", "bounded"],
                        {"tol_ulp": 1e-3, "dtype": "f32", "limit": 100, "stride": 1, "max_evals": 100000000}),
    "sqrt_cr": (["x", "dtype"], 1, ["float", "str"], {"dtype": "f64"}),
}

# Parameters that must always be given, so that a call that converts cannot run for long.
ALWAYS_GIVEN = {"knife_edges_raw": "max_evals", "all_floats": "limit"}
# Types whose valid values decide how long a call runs or how large its result is.
BOUNDING = {"bounded", "u32"}
# Functions whose logic refuses results that could not fit in memory.
MAY_REFUSE_MEMORY = {"ulp_distances", "neighbours", "all_floats", "knife_edges_raw"}


# ---------------------------------------------------------------------------------------------------
# The model of binding and conversion. Each step raises what the frame must raise.

class BindingFailure(Exception):
    def __init__(self, exc):
        self.exc = exc


class ConversionFailure(Exception):
    def __init__(self, exc, parameter):
        self.exc = exc
        self.parameter = parameter


def model_bind(names, required, positional, keywords):
    slots = [MISSING] * len(names)
    for i, value in enumerate(positional[: len(names)]):
        slots[i] = value
    if len(positional) > len(names):
        raise TypeError("too many positional arguments")
    for key, value in keywords:
        match = None
        if isinstance(key, str):
            try:
                encoded = str.encode(key, "utf-8")  # the bytes, never the subclass's own methods
            except UnicodeEncodeError:
                encoded = None
            for i, name in enumerate(names):
                if encoded == name.encode():
                    match = i
                    break
        if match is None:
            str(key)  # the message shows str(key); a failing str() is what the caller gets
            raise TypeError("unexpected keyword argument")
        if slots[match] is not MISSING:
            raise TypeError("multiple values")
        slots[match] = value
    if any(slot is MISSING for slot in slots[len(positional):required]):
        raise TypeError("missing required arguments")
    return slots


def _is_exception_class(value):
    return isinstance(value, type) and issubclass(value, BaseException)


def model_float(obj):
    if isinstance(obj, float):
        return float.__float__(obj)
    cls = type(obj)
    if getattr(cls, "__float__", None) is not None:
        result = cls.__float__(obj)
        if type(result) is float:
            return result
        if isinstance(result, float):
            warnings.warn("__float__ returned a float subclass", DeprecationWarning)
            return float.__float__(result)
        raise TypeError("__float__ returned non-float")
    if getattr(cls, "__index__", None) is not None:
        return float(operator.index(obj))
    raise TypeError("must be real number")


def model_string(obj):
    if not isinstance(obj, str):
        raise TypeError("not an instance of 'str'")
    return str.encode(obj, "utf-8").decode("utf-8")


def model_integer(obj, low, high):
    value = int(obj) if isinstance(obj, int) else operator.index(obj)
    if not low <= value <= high:
        raise OverflowError("out of range")
    return value


def model_sequence(obj):
    if isinstance(obj, str):
        raise TypeError("Can't extract `str` to `Vec`")
    if isinstance(obj, dict) or getattr(type(obj), "__getitem__", None) is None:
        raise TypeError("not an instance of 'Sequence'")
    return [model_float(item) for item in obj]


CONVERT = {
    "float": model_float,
    "optfloat": lambda obj: None if obj is None else model_float(obj),
    "str": model_string,
    "op": model_string,
    "i32": lambda obj: model_integer(obj, -(2**31), 2**31 - 1),
    "u32": lambda obj: model_integer(obj, 0, 2**32 - 1),
    "size": lambda obj: model_integer(obj, 0, 2**64 - 1),
    "bounded": lambda obj: model_integer(obj, 0, 2**64 - 1),
    "seq": model_sequence,
}


def model_call(name, positional, keywords):
    names, required, types, defaults = FUNCTIONS[name]
    try:
        slots = model_bind(names, required, positional, keywords)
    except BaseException as exc:  # noqa: B902 - a hostile __str__ may raise anything
        raise BindingFailure(exc)
    natives = {}
    for parameter, kind, slot in zip(names, types, slots):
        if slot is MISSING:
            natives[parameter] = defaults[parameter]
            continue
        try:
            natives[parameter] = CONVERT[kind](slot)
        except BaseException as exc:  # noqa: B902
            raise ConversionFailure(exc, parameter)
    return natives


# ---------------------------------------------------------------------------------------------------
# Result shapes.

def _is_float_list(result):
    return type(result) is list and all(type(v) is float for v in result)


def _is_report(value):
    return (type(value) is tuple and len(value) == 4 and type(value[0]) is float and type(value[1]) is float
            and type(value[2]) is bool and type(value[3]) is bool)


def check_shape(name, result, natives):
    if name == "ulp_distance":
        assert result is None or (type(result) is int and 0 <= result < 2**64)
    elif name == "ulp_distances":
        assert type(result) is list and len(result) == len(natives["a"]) == len(natives["b"])
        assert all(v is None or (type(v) is int and 0 <= v < 2**64) for v in result)
    elif name == "ordered":
        assert type(result) is int and -(2**63) <= result < 2**63
    elif name in ("next_up", "next_down", "spacing", "sqrt_cr"):
        assert type(result) is float
    elif name == "special":
        assert type(result) is list and len(result) == 29
        assert all(type(p) is tuple and len(p) == 2 and type(p[0]) is str and type(p[1]) is float for p in result)
    elif name == "neighbours":
        assert _is_float_list(result) and 1 <= len(result) <= 2 * natives["k"] + 1
    elif name == "binade_edges":
        assert _is_float_list(result) and len(result) % 2 == 0
    elif name == "all_floats":
        assert _is_float_list(result) and len(result) <= natives["limit"]
    elif name == "midpoint":
        assert result is None or _is_report(result)
    elif name == "knife_edges_raw":
        assert type(result) is tuple and len(result) == 3
        hits, evaluated, covered = result
        assert type(hits) is list and len(hits) <= natives["limit"]
        assert all(type(h) is tuple and len(h) == 4 and all(type(v) is float for v in h[:3])
                   and type(h[3]) is bool for h in hits)
        assert type(evaluated) is int and evaluated <= natives["max_evals"]
        assert type(covered) is bool
    else:
        raise AssertionError(name)


# ---------------------------------------------------------------------------------------------------
# Drawing a call.

KEY_POOL = ["foo", "X", "dtype ", "\udcff", "x\x00", "", StrRaisingStr("foo"), StrSub("nope")]
# Keys that ** unpacking refuses; a partial object's keyword dict still hands them to the function.
NON_STR_KEYS = [1, b"x", None, (1, 2), 2.5, NonStrKey()]


@st.composite
def calls(draw, name):
    names, required, types, _ = FUNCTIONS[name]
    count = len(names)
    # Hypothesis favours small draws, so rare events are tied to a value other than the smallest.
    too_many = draw(st.integers(0, 9)) == 7
    n_positional = count + 1 if too_many else draw(st.integers(0, count))
    # Mostly values meant for the parameter's type, sometimes anything; parameters that bound the work
    # of a call only ever get their own (bounded or failing) values.
    values = [draw(TYPE_VALUES[t]) if t in BOUNDING or draw(st.integers(0, 7)) != 5 else draw(hostile) for t in types]
    positional = values[:n_positional]
    if too_many:
        positional.append(draw(hostile))
    keywords = []
    forced = ALWAYS_GIVEN.get(name)
    for i in range(n_positional, count):
        # Required parameters are left out now and then, optional ones half of the time.
        if names[i] == forced or draw(st.integers(0, 9 if i < required else 1)) != 1:
            key = draw(st.sampled_from([names[i], StrSub(names[i]), StrRaisingStr(names[i])]))
            keywords.append((key, values[i]))
    if n_positional and draw(st.integers(0, 9)) == 7:
        i = draw(st.integers(0, min(n_positional, count) - 1))
        keywords.append((draw(st.sampled_from([names[i], HashyStr(names[i])])), values[i]))
    if draw(st.integers(0, 5)) == 4:
        keywords.append((draw(st.sampled_from(KEY_POOL + NON_STR_KEYS)), draw(hostile)))
    keywords = draw(st.permutations(keywords)) if len(keywords) > 1 else keywords
    # A dict keeps the first of two equal keys in place and the last value; build the call's dict the
    # same way and hand the model exactly what the function will see.
    kwargs = {}
    for key, value in keywords:
        kwargs[key] = value
    return positional, kwargs


def real_call(fn, positional, kwargs):
    if all(isinstance(key, str) for key in kwargs):
        return fn(*positional, **kwargs)
    return with_keywords(fn, positional, kwargs)()


def check_call(name, positional, kwargs):
    fn = getattr(fs, name)
    keywords = list(kwargs.items())
    with warnings.catch_warnings():
        # Warnings raised as errors are one more way for a conversion to fail part-way.
        warnings.simplefilter("error", DeprecationWarning)
        try:
            natives = model_call(name, positional, keywords)
            expected = None
        except (BindingFailure, ConversionFailure) as failure:
            natives = None
            expected = failure
        try:
            result = real_call(fn, positional, kwargs)
            raised = None
        except BaseException as exc:  # noqa: B902 - the frame may raise PanicException
            raised = exc

    if expected is not None:
        assert raised is not None, f"expected {type(expected.exc).__name__}, got {result!r}"
        assert type(raised) is type(expected.exc), f"expected {type(expected.exc).__name__}, got {raised!r}"
        if type(raised) is Panic:
            # A resumed failure keeps its message and gets no note.
            assert raised.args == (str(expected.exc),)
            assert getattr(raised, "__notes__", None) is None
        elif isinstance(expected, ConversionFailure) and HAS_NOTES:
            assert raised.__notes__[-1] == f"while processing '{expected.parameter}'"
        else:
            assert getattr(raised, "__notes__", None) is None
        return

    if raised is None:
        check_shape(name, result, natives)
        return
    # Every argument converted: only the function's own refusals remain.
    assert getattr(raised, "__notes__", None) is None, repr(raised)
    if type(raised) is ValueError:
        return
    if type(raised) is MemoryError and name in MAY_REFUSE_MEMORY:
        return
    raise AssertionError(f"{name} raised {raised!r} for arguments that all convert") from raised


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_hostile_arguments(name, capfd):
    @settings(max_examples=250, deadline=None, database=None,
              suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much,
                                     HealthCheck.function_scoped_fixture])
    @given(call=calls(name))
    def run(call):
        check_call(name, *call)

    run()
    # The interpreter and the module still answer normally afterwards.
    assert fs.next_up(1.0) == 1.0000000000000002
    capfd.readouterr()  # reports of the panics provoked on purpose


def test_model_covers_every_function():
    assert sorted(FUNCTIONS) == sorted(fs.__all__[:13])


# ---------------------------------------------------------------------------------------------------
# A conversion that empties the keyword dict: the arguments not yet converted must stay alive.

class DictClearing:
    """Finds the keyword dict holding it and empties it, then fills the freed memory with other text."""

    def _clear(self):
        import gc

        for referrer in gc.get_referrers(self):
            if isinstance(referrer, dict) and "dtype" in referrer:
                referrer.clear()
        self.junk = [StrSub("x%02d" % i) for i in range(200)]

    def __float__(self):
        self._clear()
        return 1.0

    def __index__(self):
        self._clear()
        return 2

    def __getitem__(self, i):
        if i == 0:
            self._clear()
        if i >= 2:
            raise IndexError(i)
        return 1.0


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: fs.next_up(**{"x": DictClearing(), "dtype": StrSub("f32")}), fs.next_up(1.0, "f32")),
        (lambda: fs.neighbours(**{"x": 1.0, "k": DictClearing(), "dtype": StrSub("f32")}),
         fs.neighbours(1.0, 2, "f32")),
        (lambda: fs.ulp_distances(**{"a": DictClearing(), "b": [FloatSub(0.5), FloatSub(4.0)],
                                     "dtype": StrSub("f32")}),
         fs.ulp_distances([1.0, 1.0], [0.5, 4.0], "f32")),
    ],
)
def test_arguments_outlive_a_conversion_that_empties_the_keyword_dict(call, expected):
    assert call() == expected
