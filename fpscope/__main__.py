"""``python -m fpscope``: the command line of :mod:`fpscope.cli`."""
import sys

from fpscope.cli import main

sys.exit(main())
