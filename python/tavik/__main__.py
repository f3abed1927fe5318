"""`python -m tavik`: the same command line as the `tavik` script."""

import sys

from ._cli import main

if __name__ == "__main__":
    sys.exit(main())
