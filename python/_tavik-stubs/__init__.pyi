"""
        Tavik library 
    """

from . import cepstra as cepstra
from . import extractor as extractor
from . import transforms as transforms

__version__: str

def kernel_choice() -> tuple[str, dict[str, float | None], bool]:
    """The lock-step kernel variant that the filterbanks of this process use,
    as ``(variant, candidates, forced)``: ``candidates`` maps each variant that
    was timed on first use to the seconds of its fastest round (None for a sole
    candidate, which is not timed; empty when forced), and ``forced`` tells
    whether the environment variable ``TAVIK_KERNEL`` named the variant. Every
    variant gives the same bits. A ``TAVIK_KERNEL`` that names no variant this
    CPU supports raises ValueError here and in every filterbank call."""

class FrequencyRangeWarning(UserWarning):
    """A filterbank whose filters would be centred above the Nyquist frequency
    (``high_Hz`` above ``sample_rate / 2``) or below 0 Hz (``low_Hz`` below 0).
    The filterbank is built all the same."""
