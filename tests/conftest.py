"""Settings shared by every suite."""
from hypothesis import settings

# Timing is for the benchmarks: a deadline only turns a loaded machine into a failing test.
settings.register_profile("fpscope", deadline=None)
settings.load_profile("fpscope")
