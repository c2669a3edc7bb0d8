"""The result types of the package: the core's bare tuples (``RawHit``, ``RawScan``) and their named forms."""
from __future__ import annotations

from typing import NamedTuple

# What knife_edges_raw answers: hits (x, rounded, distance_ulp, exact_above) in ascending x, the number
# of inputs evaluated, whether the range was covered. Scan chunks answer the same way.
RawHit = tuple[float, float, float, bool]
RawScan = tuple[list[RawHit], int, bool]


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
