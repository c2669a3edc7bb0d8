"""Exact answers about IEEE 754 binary32 and binary64 floats."""
from fpscope._core import *  # noqa: F401,F403
from fpscope._core import __all__, __version__  # noqa: F401
