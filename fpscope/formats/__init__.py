"""The float model in every format of the package, one module per format.

``fpscope.formats.f16`` (IEEE 754 binary16, numpy ``float16``), ``fpscope.formats.bf16``
(bfloat16: 8 significand bits and the exponent range of binary32, ``ml_dtypes.bfloat16``),
``fpscope.formats.f32`` and ``fpscope.formats.f64`` each have the functions ``next_up``,
``next_down``, ``ordered``, ``spacing``, ``ulp_distance``, ``ulp_distances``, ``special``,
``neighbours``, ``binade_edges`` and ``all_floats`` of the core, with the core's arguments less
``dtype``, and ``round_to``, ``array`` and ``numpy_dtype`` (see `Format`). The functions of ``f32``
and ``f64`` are the core's own, which read every argument as a Python float first; those of the
16-bit formats give the answers the core gives for binary32, in their format. Each module's
``FORMAT`` is its `Format`.

Values go in and out as Python floats: an argument that is not a value of the format is rounded
to it, to nearest with ties to even, from its exact value (never through binary32, whose rounding
first could move a value onto a midpoint of the smaller format). Arrays of the format (numpy
``float16``, ``ml_dtypes.bfloat16``) are read as they are where sequences are taken. ``ml_dtypes``
is optional (``pip install 'fpscope[ml]'``): without it, bfloat16 arrays are refused and every
scalar question still works.
"""
from fpscope._formats import Format as Format
from fpscope._formats import format_of as format_of
from fpscope._formats import resolve as resolve
from fpscope._formats import round_to as round_to
from fpscope.formats import bf16 as bf16
from fpscope.formats import f16 as f16
from fpscope.formats import f32 as f32
from fpscope.formats import f64 as f64

__all__ = ["Format", "resolve", "round_to", "format_of", "f16", "bf16", "f32", "f64"]
