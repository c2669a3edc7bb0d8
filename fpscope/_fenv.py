"""The package's Python code computes in the float environment the core computes in.

A library built with fast-math that the process loads turns on flush-to-zero and
denormals-are-zero for the whole thread, and ``fesetround`` changes the rounding mode. The core
guards itself; Python code does not: under denormals-are-zero ``struct.pack("<f", ...)`` and the
widening of a binary32 value (``struct.unpack("<f", ...)``, numpy's float32 to float64) read
subnormals as zero, and ``math.frexp``/``math.ldexp`` flush theirs. Functions of the package that
compute with floats therefore run through the core's guard, which restores the caller's
environment afterwards, also when the function raises.
"""
from __future__ import annotations

import functools
from typing import Any, Callable, TypeVar, cast

from fpscope._core import _with_default_float_environment

_F = TypeVar("_F", bound=Callable[..., Any])


def default_float_environment(fn: _F) -> _F:
    """``fn`` called in the default float environment (to nearest, subnormals kept)."""
    @functools.wraps(fn)
    def in_default_environment(*args: Any, **kwargs: Any) -> Any:
        return _with_default_float_environment(fn, *args, **kwargs)

    return cast(_F, in_default_environment)
