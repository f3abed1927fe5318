"""Tavik library"""

from . import transforms as transforms
from . import extractor as extractor
from . import cepstra as cepstra

__version__: str

def kernel_choice() -> tuple[str, dict[str, float | None], bool]:
    """The lock-step kernel variant that the filterbanks of this process use.

    On first use, the dispatch times the AVX2 and AVX-512 kernels that this
    CPU supports, each with one or more vectors of filters in flight, and keeps
    the fastest; without them it uses the ``baseline`` kernel (2 lanes, any
    CPU). ``scalar`` is the reference, one filter at a time. Every variant gives
    the same bits. The environment variable ``TAVIK_KERNEL``, read on first
    use, forces a variant by name, for bug reports and benchmarks.

    Returns
    -------
    variant : str
        The variant in use, for instance ``"avx2_x2"``.
    candidates : dict of str to float or None
        The seconds of the fastest timed round of each variant that was timed;
        None for a sole candidate, which is not timed; empty when forced.
    forced : bool
        Whether ``TAVIK_KERNEL`` named the variant.

    Raises
    ------
    ValueError
        If ``TAVIK_KERNEL`` names no variant that this CPU supports (every
        filterbank call raises it too).

    Examples
    --------
    >>> import tavik
    >>> variant, candidates, forced = tavik.kernel_choice()
    >>> variant in candidates or forced
    True
    """

class FrequencyRangeWarning(UserWarning):
    """A filterbank centred beyond the frequencies the signal holds.

    Warned when ``high_Hz`` is above the Nyquist frequency (``sample_rate / 2``),
    where the filters centred above it alias, or ``low_Hz`` is below 0 Hz. The
    filterbank is built all the same; where warnings are errors, the warning is
    raised and nothing is built.
    """
