"""Every sample of every band of a gammatone filterbank: the band pass of a
whole signal, or of a signal that arrives in chunks."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from ._analysis import Analysis, Channel, FloatArray, Output, check_output
from ._signal import SignalLike, as_samples, lanes_of
from ._stream import OnePushAtATime

__all__ = ["GammatoneBandsStream", "Output", "gammatone_bands"]

Bands = npt.NDArray[np.float64] | npt.NDArray[np.complex128]


def _analysis(sample_rate: object, num_features: object, low_Hz: object, high_Hz: object,
              channel: object, num_threads: object) -> Analysis:
    # The keywords of a gammatonegram that the bands have, checked as it
    # checks them; its filterbank is the band pass's (frames play no part).
    return Analysis(sample_rate, num_features=num_features, low_Hz=low_Hz, high_Hz=high_Hz,
                    channel=channel, transform=None, num_threads=num_threads)


def gammatone_bands(signal: SignalLike, sample_rate: int, *, num_features: int = 64,
                    low_Hz: float = 50, high_Hz: float | None = None, channel: Channel = -1,
                    output: Output = "envelope", num_threads: int = 0) -> Bands:
    """Every sample of every band of a gammatone filterbank.

    The filters of :func:`gammatonegram` (the same table for the same
    keywords) run once through the whole signal, as in its continuous mode,
    and each one's output at every sample is returned instead of a mean over
    frames. With a filter's two-zero section output (yr, yi) at a sample, its
    gain, and the phasor (c, s) that shifted the sample down to the filter's
    baseband, each product and sum rounded on its own in this order:

    - ``"envelope"``: gain * sqrt(yr**2 + yi**2), float64: the value that
      the gammatonegram's integrator takes at that sample.
    - ``"analytic"``: gain * (yr*c + yi*s) + 1j * gain * (yi*c - yr*s),
      complex128: the band's analytic signal at its centre frequency; its
      real part is the band-pass output, its angle the instantaneous phase,
      its magnitude the envelope times that of the phasor, which its
      recursion lets drift from 1 by rounding (about 1e-10 relative after
      2 million samples).
    - ``"real"``: that real part alone, float64.

    The result is the caller's, samples x filters: 64 filters of 10 minutes
    at 48 kHz are 14.7 GB of float64 (twice that for ``"analytic"``).
    :class:`GammatoneBandsStream` gives the same values chunk by chunk, in
    memory of the chunks' size. The work runs on every core without the
    interpreter lock.

    Parameters
    ----------
    signal : array_like
        Any signal that :func:`gammatonegram` takes, of any length.
    sample_rate : int
        Samples per second (a float of integral value is taken too).
    num_features, low_Hz, high_Hz, channel, num_threads
        As for :func:`gammatonegram`, with the same defaults and checks;
        ``channel="each"`` gives every channel's bands on their own, each
        bit for bit those of ``channel=k``.
    output : {"envelope", "analytic", "real"}, default "envelope"
        What each band gives at each sample (see above).

    Returns
    -------
    numpy.ndarray
        Shape (samples, ``num_features``), one column per filter in
        ascending centre frequency (those of
        ``gammatonegram(...).centre_frequencies``), or (samples, channels,
        ``num_features``) with ``channel="each"``: float64, complex128 for
        ``"analytic"``.

    Raises
    ------
    TypeError
        As :func:`gammatonegram` for the signal and the keywords it shares,
        or if ``output`` is not a string.
    IndexError
        If ``channel`` is one that the signal lacks.
    ValueError
        As :func:`gammatonegram` for its keywords, if ``output`` is not one
        of the three ("output must be 'envelope', 'analytic' or 'real', not
        'phase'"), or if the signal holds a NaN or infinite sample or one of
        magnitude above 2**64 in a channel that enters the bands (its
        continuous mode's message). The keywords are checked before the
        signal is read.
    MemoryError
        If the result does not fit in memory.

    See Also
    --------
    GammatoneBandsStream : The same values of a signal that arrives in chunks.
    gammatonegram : Their means over frames, integrated and transformed.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> sr = 16000
    >>> t = np.arange(sr) / sr
    >>> tone = np.sin(2 * np.pi * 1000 * t)
    >>> bands = tavik.gammatone_bands(tone, sr, num_features=16)
    >>> bands.shape, bands.dtype
    ((16000, 16), dtype('float64'))
    >>> g = tavik.gammatonegram(tone, sr, num_features=16)
    >>> float(g.centre_frequencies[bands[8000:].mean(axis=0).argmax()].round())
    1061.0
    >>> z = tavik.gammatone_bands(tone, sr, num_features=16, output="analytic")
    >>> bool(np.allclose(np.abs(z), bands, rtol=1e-10, atol=0))
    True
    """
    a = _analysis(sample_rate, num_features, low_Hz, high_Hz, channel, num_threads)
    a.filterbank().bands_state(check_output(output))  # the native pass's check of the name
    samples = as_samples(signal)
    bands: Bands = a.joined([fb.bands_push(samples, output, fb.bands_state(output), 0,
                                           a.num_threads)[0] for fb in lanes_of(a, samples)])
    return bands


class GammatoneBandsStream(OnePushAtATime):
    """The bands of a signal that arrives in chunks.

    Each :meth:`push` returns every sample of every band of its chunk,
    ``(len(chunk), num_features)``. Whatever the sizes of the chunks, the
    rows of all pushes, one after another, are bit for bit
    ``tavik.gammatone_bands(whole_signal, ...)`` with the same keywords, and
    memory stays that of a chunk however long the signal: this is how the
    bands of a long recording are computed.

    ``push`` runs the native work without the interpreter lock, and Ctrl-C
    stops it with KeyboardInterrupt. A push that raises leaves the stream as
    it was, so the same chunk can be pushed again. Pushes from several
    threads are taken one at a time; a push from inside a push on the same
    thread (from a signal handler) is refused. :meth:`reset` starts the
    stream afresh for another signal. A copy or a pickle goes on from where
    the stream was.

    Parameters
    ----------
    sample_rate : int
        Samples per second.
    num_features, low_Hz, high_Hz, channel, output, num_threads
        As for :func:`gammatone_bands`, with the same defaults.

    Raises
    ------
    TypeError, ValueError
        For a parameter that :func:`gammatone_bands` refuses, with the same
        message, when the stream is made.

    Attributes
    ----------
    samples_pushed : int
        Samples (per channel) pushed so far.
    centre_frequencies : numpy.ndarray
        The filters' centre frequencies in Hz, ascending.

    See Also
    --------
    gammatone_bands : The same values of a whole signal.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> signal = np.random.default_rng(0).standard_normal(16000)
    >>> stream = tavik.GammatoneBandsStream(16000, output="real")
    >>> rows = [stream.push(chunk) for chunk in np.array_split(signal, 37)]
    >>> whole = tavik.gammatone_bands(signal, 16000, output="real")
    >>> bool((np.concatenate(rows) == whole).all())
    True
    >>> stream.samples_pushed
    16000
    """

    _reentry = "from a signal handler"

    def __init__(self, sample_rate: int, *, num_features: int = 64, low_Hz: float = 50,
                 high_Hz: float | None = None, channel: Channel = -1, output: Output = "envelope",
                 num_threads: int = 0) -> None:
        a = _analysis(sample_rate, num_features, low_Hz, high_Hz, channel, num_threads)
        self._analysis = a
        self._filterbank = a.filterbank()
        self.output = check_output(output)
        self._filterbank.bands_state(output)  # the native pass's check of the name
        self.sample_rate = a.sample_rate
        self.num_features = a.num_features
        self.low_Hz = a.low_Hz
        self.high_Hz = a.high_Hz
        self.channel = a.channel
        self.num_threads = a.num_threads
        self.centre_frequencies: FloatArray = self._filterbank.centre_frequencies
        self.centre_frequencies.flags.writeable = False
        self._unlocked()
        self._start()

    def _start(self) -> None:
        # The band pass's state of each lane (one per channel with
        # channel="each"), made by the first push, which tells the channels.
        self._states: list[npt.NDArray[np.float64]] | None = None
        self._channels = None
        self.samples_pushed = 0

    def reset(self) -> None:
        """Starts the stream afresh, as if it had just been made.

        The samples pushed so far are forgotten, with the filters' state and
        the number of channels: the next push may have another. A push that
        runs on another thread is waited for.
        """
        with self._exclusive("reset"):
            self._start()

    def push(self, chunk: SignalLike) -> Bands:
        """Feeds the next samples.

        Parameters
        ----------
        chunk : array_like
            A 1-D chunk or one of shape (samples, channels), of any kind
            :func:`gammatone_bands` accepts, with the same number of
            channels on every push (a 1-D chunk is one channel).

        Returns
        -------
        numpy.ndarray
            Every sample of every band of this chunk, of shape
            (len(chunk), ``num_features``), or (len(chunk), channels,
            ``num_features``) with ``channel="each"``: float64, complex128
            for ``output="analytic"``.

        Raises
        ------
        ValueError
            If the chunk has another number of channels than the earlier
            ones, or none, or holds a NaN or infinite sample or one of
            magnitude above 2**64 in a channel that enters the bands (the
            message names the first); the stream is left as it was.
        TypeError
            If the chunk is of a kind that :func:`gammatone_bands` refuses.
        IndexError
            If ``channel`` is not a channel of the chunk.
        RuntimeError
            If called from inside a push of this stream, on the same thread
            (a signal handler that pushes into the stream).
        """
        samples = as_samples(chunk, "chunk")
        with self._exclusive("push"):
            # Nothing of the stream changes until the native work has succeeded.
            a = self._analysis
            channels = self._channels_of(samples, lambda empty: lanes_of(a, empty))
            lanes = a.filterbanks(channels)
            states = (self._states if self._states is not None
                      else [fb.bands_state(self.output) for fb in lanes])
            pushed = [fb.bands_push(samples, self.output, state, self.samples_pushed,
                                    self.num_threads) for fb, state in zip(lanes, states)]
            bands: Bands = a.joined([lane for lane, _ in pushed])
            self._states = [state for _, state in pushed]
            self._channels = channels
            self.samples_pushed += samples.shape[0]
            return bands

    def __repr__(self) -> str:
        return (f"GammatoneBandsStream(sample_rate={self.sample_rate}, "
                f"num_features={self.num_features}, output={self.output!r}, "
                f"samples_pushed={self.samples_pushed})")
