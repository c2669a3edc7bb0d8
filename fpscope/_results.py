"""Named result types over the core's bare tuples, and the typed midpoint query."""
from __future__ import annotations

from typing import NamedTuple, Optional, SupportsFloat, SupportsIndex, Union

from fpscope._certify import certified_midpoint
from fpscope._core import midpoint
from fpscope._fenv import default_float_environment
from fpscope._truth import binary64_library_op, binary64_report

_FloatLike = Union[SupportsFloat, SupportsIndex]


class Midpoint(NamedTuple):
    """Where the exact result of an operation lies against the midpoint of the two floats around it.

    ``rounded`` is the correctly rounded result, ``distance_ulp`` the distance of the exact result
    from the nearest rounding midpoint in units of the last place (0.5 means it sits on a float),
    ``exact_above`` whether the exact result lies above ``rounded``, ``exact`` whether it equals it.

    An inexact result very close to a float may report a ``distance_ulp`` that rounds to 0.5; only
    ``exact`` says whether the result is a float. For ``recip`` of a negative binary32 input,
    ``exact_above`` compares magnitudes: it says whether the exact result is larger in magnitude
    than ``rounded``. A result exactly on a midpoint (a quotient between two subnormals) reports
    distance 0.0, ``rounded`` as the tie rounds (to even), and on which side of it the result lies.
    """

    rounded: float
    distance_ulp: float
    exact_above: bool
    exact: bool


class Hit(NamedTuple):
    """One knife edge: input ``x`` whose exact result lies within the tolerance of a midpoint."""

    x: float
    rounded: float
    distance_ulp: float
    exact_above: bool


class Scan(NamedTuple):
    """Result of a knife-edge scan.

    ``hits`` in ascending order of ``x``; ``evaluated`` counts the inputs handed to the oracle;
    ``covered`` tells whether every input of the range was visited (false when ``limit`` or
    ``max_evals`` stopped the scan while inputs were still pending).
    """

    hits: list[Hit]
    evaluated: int
    covered: bool


@default_float_environment
def report(op: str, x: _FloatLike, dtype: str = "f32", y: Optional[_FloatLike] = None, *,
           certified: bool = True) -> Optional[Midpoint]:
    """The midpoint report of ``op(x)`` (or ``x / y`` for ``op="div"``) as a :class:`Midpoint`.

    Certified (the default): the report of the exact mathematical result. The core judges the
    binary32 library operations (all but ``sqrt`` and ``recip``) from the platform's binary64
    function; where that judgement could be wrong (close to a midpoint or to a float, claims of
    exactness, no report for a finite input) MPFR decides. A quotient exactly on a midpoint between
    two subnormals, for which the core has no report, is answered as well. ``certified=False``
    gives the core's own answer, exactly ``midpoint(op, x, dtype, y)``. The binary64 library
    operations, which the core has no oracle for, are answered from MPFR alone (certified only).

    >>> report("log", float.fromhex("0x1.2f1fd6p+3")).rounded.hex()
    '0x1.1fcbce0000000p+1'
    >>> report("log", float.fromhex("0x1.2f1fd6p+3"), certified=False).rounded.hex()
    '0x1.1fcbd00000000p+1'

    ``None`` when the operation has no finite result in the format, or the input lies outside
    the oracle's domain (a negative square root, a logarithm of zero, an overflowing result).
    Refusals are the core's ``ValueError``s: an unknown op or dtype, ``div`` without ``y``.
    """
    if certified and binary64_library_op(op, dtype):  # the core has no oracle for these: MPFR's truth
        answer = binary64_report(op, x)
    else:
        answer = certified_midpoint(op, x, dtype, y) if certified else midpoint(op, x, dtype, y)
    return None if answer is None else Midpoint(*answer)
