"""``python -m fpscope.cli``, as ``python -m fpscope``."""
import sys

from fpscope.cli import main

sys.exit(main())
