"""The float model of IEEE 754 binary16 (numpy ``float16``): 11 significand bits, exponents
-14 to 15."""
from fpscope._formats import F16 as FORMAT

all_floats = FORMAT.all_floats
array = FORMAT.array
binade_edges = FORMAT.binade_edges
neighbours = FORMAT.neighbours
next_down = FORMAT.next_down
next_up = FORMAT.next_up
numpy_dtype = FORMAT.numpy_dtype
ordered = FORMAT.ordered
round_to = FORMAT.round_to
spacing = FORMAT.spacing
special = FORMAT.special
ulp_distance = FORMAT.ulp_distance
ulp_distances = FORMAT.ulp_distances

__all__ = ["FORMAT", "all_floats", "array", "binade_edges", "neighbours", "next_down", "next_up", "numpy_dtype",
           "ordered", "round_to", "spacing", "special", "ulp_distance", "ulp_distances"]
