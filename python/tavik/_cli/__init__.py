"""The `tavik` command line: `tavik gammatonegram` and `tavik corpus`.

soundfile, soxr, matplotlib, tqdm (the `cli` extra) and Dask (the `dask`
extra) are imported only by the commands that use them, so that `import
tavik` needs NumPy alone."""

from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Sequence

from _tavik import __version__

from . import corpus, gammatonegram
from .common import UsageError, one_line, print_stderr


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tavik", description="Gammatone-filterbank features of audio files.")
    parser.add_argument("--version", action="version", version=f"tavik {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    gammatonegram.add_parser(commands)
    corpus.add_parser(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        try:
            status: int = args.run(args)
        except UsageError as error:
            print_stderr(f"tavik {args.command}: {error}")
            return error.status
        except MemoryError:
            print_stderr(f"tavik {args.command}: not enough memory for these settings")
            return 2
        except KeyboardInterrupt:
            print_stderr(f"tavik {args.command}: interrupted")
            return 130
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        # The reader of stdout has gone (`| head`): no traceback, and none at
        # exit either when Python flushes stdout again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 141


def console_main() -> int:
    """The `tavik` script and `python -m tavik`: `main`, then no Ctrl-C in the
    interpreter's shut-down, where the work is written and reported and an
    interrupt could only print a traceback from Python's own clean-up."""
    status = main()
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    return status


__all__ = ["console_main", "main", "one_line"]
