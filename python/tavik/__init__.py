"""tavik: gammatone-filterbank features of audio frames, whole signals and
corpora.

The extractors are the classes of the native module ``_tavik.extractor``;
:func:`gammatonegram` frames a whole signal and runs them over it. The
command line (``tavik gammatonegram``, ``tavik corpus``) and
:func:`read_audio` need the ``cli`` extra; this package itself needs only
NumPy."""

from _tavik import FrequencyRangeWarning, __version__, kernel_choice, transforms
from _tavik.extractor import Extractor, GammatoneFilterbank

from ._bands import GammatoneBandsStream, gammatone_bands
from ._features import cmvn, deltas, erb_rate_to_hz, gfcc, hz_to_erb_rate
from ._io import load, read_audio
from ._signal import LOG10, Gammatonegram, gammatonegram
from ._stream import GammatoneStream
from .display import plot

__all__ = ["Extractor", "FrequencyRangeWarning", "GammatoneBandsStream", "GammatoneFilterbank",
           "GammatoneStream", "Gammatonegram", "LOG10",
           "__version__", "cmvn", "deltas", "erb_rate_to_hz", "gammatone_bands", "gammatonegram", "gfcc",
           "hz_to_erb_rate", "kernel_choice", "load", "plot", "read_audio", "transforms"]
