"""Helpers shared by the test suites."""
import functools

from fpscope import _core as fs


def panic_class():
    """The PanicException class of the core; valid input never raises it, a resumed one does (PanicFloat)."""
    return fs.PanicException


Panic = panic_class()


class Hostile(Exception):
    """Raised by the hostile objects below, so a test can tell their failures from the module's."""


class PanicFloat:
    """__float__ lets a PanicException escape: the frame resumes it as its own internal failure."""

    def __float__(self):
        raise Panic("raised by __float__")

    def __repr__(self):
        return "PanicFloat()"


class StrSub(str):
    def __repr__(self):
        return f"StrSub({str.__repr__(self)})"


class StrRaisingStr(str):
    """A str subclass whose str() fails: reachable as a keyword key, whose message uses str()."""

    def __str__(self):
        raise Hostile("__str__")

    def __repr__(self):
        return f"StrRaisingStr({str.__repr__(self)})"


class IntSub(int):
    def __repr__(self):
        return f"IntSub({int.__repr__(self)})"


class FloatSub(float):
    def __repr__(self):
        return f"FloatSub({float.__repr__(self)})"


def with_keywords(fn, positional, kwargs):
    """A callable that hands `kwargs` to fn as its keyword dict, keys of any type included: `**`
    unpacking refuses non-str keys before the call, a restored partial does not."""
    bound = functools.partial(fn)
    bound.__setstate__((fn, tuple(positional), dict(kwargs), None))
    return bound
