"""Binding, conversion and error translation, seen through the functions of the module."""
import sys

import pytest

from fpscope import _core as fs
from support import public_functions, sample_arguments

HAS_NOTES = sys.version_info >= (3, 11)


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return info.value


def notes(exc):
    return getattr(exc, "__notes__", None)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: fs.next_up(), "next_up() missing 1 required positional argument: 'x'"),
        (lambda: fs.next_up(1.0, "f64", 3), "next_up() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: fs.next_up(1.0, 2.0, 3.0, foo=1),
         "next_up() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: fs.next_up(foo=1), "next_up() got an unexpected keyword argument 'foo'"),
        (lambda: fs.next_up(1.0, x=2.0), "next_up() got multiple values for argument 'x'"),
        (lambda: fs.next_up(1.0, **{"dtype": "f32", "x": 1.0}), "next_up() got multiple values for argument 'x'"),
        (lambda: fs.spacing(1.0, "f64", None, None),
         "spacing() takes from 1 to 2 positional arguments but 4 were given"),
        (lambda: fs.ordered(dtype="f32"), "ordered() missing 1 required positional argument: 'x'"),
    ],
)
def test_binding_messages(call, message):
    exc = raised(call)
    assert type(exc) is TypeError
    assert str(exc) == message
    assert notes(exc) is None


@pytest.mark.parametrize("fn", [fs.ordered, fs.next_up, fs.next_down, fs.spacing])
def test_keywords_bind_like_positions(fn):
    assert fn(x=1.0, dtype="f32") == fn(1.0, "f32") == fn(1.0, dtype="f32")
    assert fn(dtype="f32", x=1.0) == fn(1.0, "f32")


def test_keyword_that_is_not_a_parameter_name_is_refused_before_missing_arguments():
    exc = raised(lambda: fs.next_up(**{"X": 1.0}))
    assert str(exc) == "next_up() got an unexpected keyword argument 'X'"


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class IndexLike:
    def __index__(self):
        return 3


class BadFloat:
    def __float__(self):
        raise KeyError("nope")


@pytest.mark.parametrize(
    "x, expected",
    [(-1.0, -0.9999999999999999), (True, 1.0000000000000002), (1, 1.0000000000000002),
     (FloatLike(1.0), 1.0000000000000002), (IndexLike(), 3.0000000000000004)],
)
def test_float_conversion_accepts(x, expected):
    assert fs.next_up(x) == expected


@pytest.mark.parametrize(
    "x, cls",
    [("a", TypeError), (None, TypeError), (10**400, OverflowError), (BadFloat(), KeyError), ([1.0], TypeError)],
)
def test_float_conversion_failures_keep_their_class_and_get_a_note(x, cls):
    exc = raised(lambda: fs.next_up(x))
    assert type(exc) is cls
    if HAS_NOTES:
        assert notes(exc) == ["while processing 'x'"]


@pytest.mark.parametrize(
    "dtype, message",
    [(None, "'None' is not an instance of 'str'"), (3, "'int' object is not an instance of 'str'"),
     (b"f32", "'bytes' object is not an instance of 'str'"), (3.5, "'float' object is not an instance of 'str'")],
)
def test_string_conversion_error(dtype, message):
    exc = raised(lambda: fs.next_up(1.0, dtype=dtype))
    assert type(exc) is TypeError
    assert str(exc) == message
    if HAS_NOTES:
        assert notes(exc) == ["while processing 'dtype'"]


def test_string_conversion_accepts_subclasses_and_refuses_surrogates():
    class S(str):
        pass

    assert fs.next_up(1.0, S("f32")) == 1.0000001192092896
    exc = raised(lambda: fs.next_up(1.0, "\ud800"))
    assert type(exc) is UnicodeEncodeError
    if HAS_NOTES:
        assert notes(exc) == ["while processing 'dtype'"]


def test_conversion_error_names_the_type_by_qualname():
    class Outer:
        class Inner:
            pass

    exc = raised(lambda: fs.spacing(1.0, Outer.Inner()))
    assert str(exc) == "'test_conversion_error_names_the_type_by_qualname.<locals>.Outer.Inner' object is not an instance of 'str'"


def test_arguments_are_converted_in_order_before_their_meaning_is_checked():
    exc = raised(lambda: fs.next_up("a", dtype="bad"))
    assert type(exc) is TypeError
    if HAS_NOTES:
        assert notes(exc) == ["while processing 'x'"]
    exc = raised(lambda: fs.next_up(1.0, dtype="bad"))
    assert type(exc) is ValueError and notes(exc) is None


def test_unexpected_keyword_with_unencodable_key():
    exc = raised(lambda: fs.next_up(1.0, **{"\ud800": 1}))
    assert type(exc) is TypeError
    assert str(exc).startswith("next_up() got an unexpected keyword argument")


def test_each_call_raises_a_fresh_exception():
    first = raised(lambda: fs.next_up("a"))
    second = raised(lambda: fs.next_up("a"))
    assert first is not second
    if HAS_NOTES:
        assert notes(second) == ["while processing 'x'"]


def test_sequence_too_long_for_memory_is_refused_before_reading():
    exc = raised(lambda: fs.ulp_distances(range(10**12), range(10**12)))
    assert type(exc) is MemoryError
    if HAS_NOTES:
        assert notes(exc) == ["while processing 'a'"]


@pytest.mark.parametrize("a", [(1.0, 2), range(3), [True, 0.5]])
def test_float_sequences_accept_any_sequence_of_numbers(a):
    assert fs.ulp_distances(a, list(a)) == [0] * len(a)


class LyingLength:
    """A sequence whose length is a hint that iteration does not honour."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        return 1.0


def test_float_sequence_length_comes_from_iteration_not_the_hint():
    with pytest.raises(ValueError, match="length mismatch: 2 vs 5"):
        fs.ulp_distances(LyingLength(), [1.0] * 5)


@pytest.mark.parametrize("fn", public_functions(), ids=lambda fn: fn.__name__)
def test_omitted_defaults_are_the_declared_ones(fn):
    required, defaults = sample_arguments(fn)
    # Compared by repr, which shows a NaN (special's last value) equal to itself.
    assert repr(fn(*required)) == repr(fn(*required, **defaults))


def _fresh(text):
    """An equal str that is not the interned one, as text built at run time is."""
    fresh = "".join([text[:1], text[1:]]) if len(text) > 1 else (text + "x")[:-1]
    assert fresh == text
    return fresh


@pytest.mark.parametrize("dtype", ["f32", "float", "float32", "f64", "double", "float64"])
def test_names_built_at_run_time_bind_like_literals(dtype):
    assert fs.next_up(1.0, _fresh(dtype)) == fs.next_up(1.0, dtype)
    assert fs.next_up(1.0, **{_fresh("dtype"): _fresh(dtype)}) == fs.next_up(1.0, dtype=dtype)
    assert fs.midpoint(_fresh("reciprocal"), 3.0, dtype) == fs.midpoint("recip", 3.0, dtype)


@pytest.mark.parametrize("dtype, op", [("f32\x00", "sqrt"), ("f32", "sqrt\x00"), ("F32", "sqrt"), ("f32", "Sqrt")])
def test_names_compare_whole(dtype, op):
    with pytest.raises(ValueError):
        fs.midpoint(op, 2.0, dtype)
