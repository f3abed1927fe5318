"""tavik: gammatone-filterbank features of audio frames, whole signals and
corpora.

The extractors are the classes of the native module ``_tavik.extractor``;
:func:`gammatonegram` frames a whole signal and runs them over it. The
command line (``tavik gammatonegram``, ``tavik corpus``) and
:func:`read_audio` need the ``cli`` extra; this package itself needs only
NumPy."""

import _tavik
from _tavik import FrequencyRangeWarning, __version__, transforms
from _tavik.extractor import Extractor, GammatoneFilterbank

from ._bands import GammatoneBandsStream, gammatone_bands
from ._corpus import Corpus, CorpusRows, open_corpus
from ._features import cmvn, deltas, erb_rate_to_hz, gfcc, hz_to_erb_rate
from ._io import load, read_audio
from ._response import frequency_response
from ._signal import LOG10, Gammatonegram, gammatonegram
from ._stream import GammatoneStream
from .display import plot

__all__ = ["Corpus", "CorpusRows", "Extractor", "FrequencyRangeWarning", "GammatoneBandsStream",
           "GammatoneFilterbank", "GammatoneStream", "Gammatonegram", "LOG10",
           "__version__", "cmvn", "deltas", "erb_rate_to_hz", "frequency_response",
           "gammatone_bands", "gammatonegram", "gfcc",
           "hz_to_erb_rate", "kernel_choice", "load", "open_corpus", "plot", "read_audio", "transforms"]


def kernel_choice() -> tuple[str, dict[str, float | None], bool]:
    return _tavik.kernel_choice()


# pybind11 binds a module's function to a record object of its own, which
# help() and pydoc name as the function's instance ("method of
# pybind11_builtins.pybind11_detail_function_record_v1_... instance"); the
# package exports a plain function that calls it, with its docstring (less
# the signature line, which inspect reads from the function itself).
kernel_choice.__doc__ = (_tavik.kernel_choice.__doc__ or "").partition("\n\n")[2] or None
