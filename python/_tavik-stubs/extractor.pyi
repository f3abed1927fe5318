"""Frame-to-features extractors.

Every extractor is immutable: its parameters are set by the constructor and
read back through read-only properties.
"""

from collections.abc import Callable, Sequence
from typing import Any, SupportsIndex, overload

import numpy as np
import numpy.typing as npt

from . import FrequencyRangeWarning as FrequencyRangeWarning

class Extractor:
    """Abstract extractor: a Python subclass supplies
    ``compute(input, features)``, which either fills the list ``features`` in
    place and returns None, or returns a sequence of ``num_features`` numbers.
    """

    def __init__(
        self,
        num_samples: int = 1024,
        num_features: int = 64,
        sample_rate: int = 44100,
        transform: Callable[[float], float] | None = ...,
        on_channel: int = -1,
    ) -> None:
        """``transform`` defaults to ``transforms.identity()``, applied
        without entering the interpreter; None stores no transform, which
        fails on the first frame that yields a feature."""

    @overload
    def __call__(self, input: Sequence[float]) -> list[float]:
        """Features of one frame of ``num_samples`` floats (a list, a tuple, a
        1-D float64 array, ``array.array('d')``, ...)."""

    @overload
    def __call__(self, input: npt.NDArray[np.float64]) -> list[float]:
        """Features of a column-major float64 array of shape (channels,
        ``num_samples``), reduced to one channel by ``on_channel``."""

    def batch(
        self,
        frames: npt.NDArray[np.float64] | npt.NDArray[np.float32],
        num_threads: int = 0,
    ) -> npt.NDArray[np.float64]:
        """Features of every frame of a float64 or float32 array, as an (n,
        ``num_features``) float64 array: a 2-D array of shape (n,
        ``num_samples``) with contiguous rows, or a 3-D array of shape (n,
        channels, ``num_samples``) of any strides, each frame reduced to one
        channel by ``on_channel``. float32 samples are converted exactly. The
        interpreter lock is released while native code runs; ``num_threads``
        0 uses every available core, and at most 4 threads per available core
        are started. A signal handler's exception (Ctrl-C) stops the batch."""

    @property
    def num_samples(self) -> int:
        """The length of a frame, in samples."""

    @property
    def num_features(self) -> int:
        """The number of features of a frame."""

    @property
    def sample_rate(self) -> int:
        """The sample rate, in hertz."""

    @property
    def transform(self) -> Callable[[float], float] | None:
        """The transform: a new, equal instance on every read for a native
        transform of ``_tavik.transforms`` (the filterbank's default reads as
        ``log10(floor=0.0)``, ``Extractor``'s as ``identity()``), None, or the
        Python callable that was given, itself."""

    @property
    def on_channel(self) -> int:
        """The row of a 2-D input to use; negative: the mean of all rows."""

    def __repr__(self) -> str:
        """The class's name and the constructor arguments, by name."""

    def __getstate__(self) -> tuple[Any, ...]:
        """The constructor arguments, then the instance dictionary."""

    def __setstate__(self, arg0: tuple[Any, ...], /) -> None:
        """Builds the object from a state that ``__getstate__`` gave."""

    def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]:
        """The same reduction for every pickle protocol."""

class GammatoneFilterbank(Extractor):
    """Fourth-order gammatone band-pass filters with centre frequencies evenly
    spaced on the ERB-rate scale from ``low_Hz`` to ``high_Hz``; feature i is
    the mean smoothed envelope of filter i over the frame, passed through
    ``transform`` (base-10 logarithm by default)."""

    class Filter:
        """One designed filter: centre frequency, recursion coefficients and
        gain."""

        def __init__(
            self, cf: float, coscf: float, sincf: float, gain: float, a: Sequence[float]
        ) -> None:
            """``a`` must hold exactly five numbers."""

        @property
        def cf(self) -> float:
            """The centre frequency, in hertz."""

        @property
        def gain(self) -> float:
            """The gain of the filter."""

        @property
        def a(self) -> list[float]:
            """A new list of the five recursion coefficients."""

        def __getstate__(self) -> tuple[Any, ...]:
            """The constructor arguments, then the instance dictionary."""

        def __setstate__(self, arg0: tuple[Any, ...], /) -> None:
            """Builds the object from a state that ``__getstate__`` gave."""

        def __reduce_ex__(self, protocol: SupportsIndex, /) -> tuple[Any, ...]:
            """The same reduction for every pickle protocol."""

    def stream_state(self, hop: SupportsIndex) -> npt.NDArray[np.float64]:
        """The state of a continuous pass with frames ``hop`` samples apart
        before its first sample, as a float64 array for ``stream_push``."""

    def stream_push(
        self,
        samples: npt.NDArray[np.float64] | npt.NDArray[np.float32],
        hop: SupportsIndex,
        state: npt.NDArray[np.float64],
        samples_pushed: SupportsIndex,
        num_threads: SupportsIndex = 0,
    ) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
        """One push of a continuous pass: every filter runs through the signal
        once, its state carried from push to push, and frame j (samples
        ``j * hop`` to ``j * hop + num_samples - 1`` of the whole signal)
        reports the mean of its smoothed envelope over the frame. ``samples``
        is a float64 or float32 array of shape (n,) or (n, channels), reduced
        per sample to one channel by ``on_channel``; ``state`` and
        ``samples_pushed`` are what the previous push left (``stream_state``
        and 0 at first). Returns the features of the frames this push
        completes, as a (k, ``num_features``) float64 array, and the new
        state; the given state is never written. The interpreter lock is
        released as in ``batch``; ``num_threads`` splits the filters."""

    def __init__(
        self,
        num_samples: int = 1024,
        num_features: int = 64,
        sample_rate: int = 44100,
        transform: Callable[[float], float] | None = ...,
        on_channel: int = -1,
        low_Hz: float = 50,
        high_Hz: float = 8000,
        temporal_integration: float = 0,
    ) -> None:
        """``transform`` defaults to the base-10 logarithm,
        ``transforms.log10()``, applied without entering the interpreter;
        ``temporal_integration`` is a time constant in seconds (0: no
        smoothing). Warns with ``FrequencyRangeWarning`` when ``high_Hz`` is
        above ``sample_rate / 2`` or ``low_Hz`` below 0; the filterbank is
        built all the same."""

    @property
    def filters(self) -> list[GammatoneFilterbank.Filter]:
        """The filters in ascending centre frequency; each element refers to
        the filterbank's own record and keeps the filterbank alive."""

    @property
    def centre_frequencies(self) -> npt.NDArray[np.float64]:
        """A new float64 array of the filters' centre frequencies in hertz,
        ascending: a copy, so writing to it leaves the filterbank as it was."""

    @property
    def low_Hz(self) -> float:
        """The lower bound of the centre frequencies, in hertz, as given."""

    @property
    def high_Hz(self) -> float:
        """The upper bound of the centre frequencies, in hertz, as given."""

    @property
    def temporal_integration(self) -> float:
        """The time constant of the envelope's smoothing, in seconds, as
        given."""
