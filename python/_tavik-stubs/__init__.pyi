"""Tavik library: gammatone-filterbank features of fixed-length audio frames."""

from . import extractor as extractor

__version__: str
