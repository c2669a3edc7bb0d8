"""Helpers shared by the test suites."""
from fpscope import _core as fs


def panic_class():
    """The PanicException class; it is not a module attribute, so take it from a failing call."""
    try:
        fs.midpoint("div", 1e-300, "f64", 1e300)
    except BaseException as exc:  # noqa: B902 - PanicException derives from BaseException
        return type(exc)
    raise AssertionError("the binary64 division underflow no longer panics")
