"""The float model of IEEE 754 binary32 (numpy ``float32``), answered by the core."""
from fpscope._formats import F32 as FORMAT

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
