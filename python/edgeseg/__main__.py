"""python -m edgeseg: the edgeseg command line."""
import sys

from ._cli import main

sys.exit(main())
