"""Exact answers about IEEE 754 binary32 and binary64 floats.

The functions of the native core are re-exported as they are (``ulp_distances`` also takes
numpy arrays of any shape, answering with a ``uint64`` array, and memoryviews). On top of them:

- :class:`Midpoint`, :class:`Hit`, :class:`Scan`: named forms of the core's tuples (they compare
  equal to them);
- :func:`report`: the midpoint report of one operation as a :class:`Midpoint`;
- :func:`knife_edges`: the knife-edge scan in interruptible chunks, with progress, on one
  thread, on many (``workers=``) or on any executor, a dask cluster's included (``executor=``);
- :func:`worst_cases`: the inputs closest to a rounding midpoint; :func:`worst_table` the shipped
  tables of every binary32 operation;
- :func:`assert_ulp_close`: ULP-exact assertions for tests, in binary32 or binary64;
- :func:`audit`: the certified accuracy of an implementation (an array function, a C function
  through :func:`native`, any callable) over ranges, samples or every binary32 input, as an
  :class:`Audit`; :func:`assert_accurate` the same as a test assertion;
- :class:`PanicException`: what the core raises when it fails an internal invariant (a
  ``BaseException``, like ``SystemExit``);
- :mod:`fpscope.formats`: the float model in binary16 and bfloat16 as well, one module per format
  (``fpscope.formats.f16.next_up(x)``).

Every function computes rounding to nearest with subnormals kept, whatever floating-point
environment the caller set (flush-to-zero, a directed rounding mode), and leaves the caller's
environment as it was.

``fpscope.strategies`` (with Hypothesis installed) draws edge values; ``python -m fpscope`` is
the command line.
"""
try:
    from fpscope._core import __version__ as __version__
except ModuleNotFoundError as missing:
    if missing.name != "fpscope._core":
        raise
    # A source checkout whose native module was never built, imported because Python looks in the
    # current directory first: say how to build it, or how to reach an installed fpscope instead. The
    # error names this package, so that `python -m fpscope` reports it in one line.
    raise ImportError(f"fpscope's native core (fpscope._core) is not built in {__path__[0]}: build it there "
                      "with `cmake -S . -B build && cmake --build build`, or `pip install .` and run from outside "
                      "the source checkout", name=__name__) from None
from fpscope._core import PanicException as PanicException
from fpscope._core import UNARY_OPS as UNARY_OPS
from fpscope._core import all_floats as all_floats
from fpscope._core import binade_edges as binade_edges
from fpscope._core import knife_edges_raw as knife_edges_raw
from fpscope._core import midpoint as midpoint
from fpscope._core import neighbours as neighbours
from fpscope._core import next_down as next_down
from fpscope._core import next_up as next_up
from fpscope._core import ordered as ordered
from fpscope._core import special as special
from fpscope._core import spacing as spacing
from fpscope._core import sqrt_cr as sqrt_cr
from fpscope._core import ulp_distance as ulp_distance
from fpscope._assertions import assert_ulp_close as assert_ulp_close
from fpscope._audit import Audit as Audit
from fpscope._audit import AuditInterrupted as AuditInterrupted
from fpscope._audit import assert_accurate as assert_accurate
from fpscope._audit import audit as audit
from fpscope._audit import native as native
from fpscope._assertions import ulp_distances as ulp_distances
from fpscope._mathlib import report as report
from fpscope._results import Hit as Hit
from fpscope._results import Midpoint as Midpoint
from fpscope._results import Scan as Scan
from fpscope._scan import ScanInterrupted as ScanInterrupted
from fpscope._scan import knife_edges as knife_edges
from fpscope._worst import worst_cases as worst_cases
from fpscope._worst import worst_table as worst_table
from fpscope import formats as formats

__all__ = [
    "ulp_distance", "ulp_distances", "ordered", "next_up", "next_down", "spacing", "special",
    "neighbours", "binade_edges", "all_floats", "midpoint", "knife_edges_raw", "sqrt_cr",
    "UNARY_OPS", "__version__", "PanicException",
    "Midpoint", "Hit", "Scan", "ScanInterrupted", "report", "knife_edges", "assert_ulp_close",
    "worst_cases", "worst_table", "formats", "audit", "Audit", "AuditInterrupted", "assert_accurate",
    "native",
]
