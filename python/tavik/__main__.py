"""`python -m tavik`: the same command line as the `tavik` script."""

import sys

from ._cli import console_main

if __name__ == "__main__":
    sys.exit(console_main())
