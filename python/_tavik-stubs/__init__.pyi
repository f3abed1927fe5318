"""
        Tavik library 
    """

from . import cepstra as cepstra
from . import extractor as extractor
from . import transforms as transforms

__version__: str

class FrequencyRangeWarning(UserWarning):
    """A filterbank whose filters would be centred above the Nyquist frequency
    (``high_Hz`` above ``sample_rate / 2``) or below 0 Hz (``low_Hz`` below 0).
    The filterbank is built all the same."""
