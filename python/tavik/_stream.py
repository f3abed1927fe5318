"""A gammatonegram computed as the signal arrives, chunk by chunk."""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import ClassVar

import numpy as np
import numpy.typing as npt

from _tavik.extractor import GammatoneFilterbank

from ._analysis import LOG10, Analysis, Channel, FloatArray, Mode, Transform
from ._signal import SignalLike, as_samples, features_of, filterbank_of, lanes_of

Samples = npt.NDArray[np.float64] | npt.NDArray[np.float32]


class OnePushAtATime:
    """What the streams share: the lock that a push or reset holds across
    the native call (which lets other threads run), so that pushes from
    several threads are taken one at a time; the refusal of a push from
    inside a push on the same thread (which would otherwise wait for
    itself); copies and pickles between pushes; and the channels of the
    chunks, the same in every push until a reset."""

    #: Where a push from inside a push comes from, for its message.
    _reentry: ClassVar[str]
    #: The channels of the chunks so far (None before the first).
    _channels: int | None

    def _unlocked(self) -> None:
        # The thread that holds the lock, to tell a push from inside a push
        # from one that has to wait.
        self._lock = threading.Lock()
        self._holder: int | None = None

    @contextmanager
    def _exclusive(self, what: str) -> Iterator[None]:
        if self._holder == threading.get_ident():
            raise RuntimeError(f"{type(self).__name__}.{what} was called while a push of the same "
                               f"stream runs on this thread ({self._reentry}): a stream takes one "
                               "push at a time, and the running push is left as it was")
        with self._lock:
            self._holder = threading.get_ident()
            try:
                yield
            finally:
                self._holder = None

    def __getstate__(self) -> dict[str, object]:
        # A copy or pickle is of the stream between pushes, without its lock.
        with self._exclusive("__getstate__"):
            return {key: value for key, value in self.__dict__.items()
                    if key not in ("_lock", "_holder")}

    def __setstate__(self, state: dict[str, object]) -> None:
        self.__dict__.update(state)
        self._unlocked()

    def _channels_of(self, samples: Samples, probe: Callable[[Samples], object]) -> int:
        """The chunk's channels, the same as the earlier chunks' (ValueError
        otherwise). For the first chunk, `probe` runs the native pass over no
        samples of that many channels, whose IndexError refuses a channel
        the chunk lacks."""
        channels = 1 if samples.ndim == 1 else samples.shape[1]
        if self._channels is None:
            probe(np.empty((0, channels)))
        elif channels != self._channels:
            raise ValueError(f"a chunk of {channels} channels after chunks of {self._channels}")
        return channels


class GammatoneStream(OnePushAtATime):
    """The gammatonegram of a signal that arrives in chunks.

    Each :meth:`push` returns the rows of the frames that its chunk
    completed. Whatever the sizes of the chunks (one sample, a prime, more
    than a frame), the rows of all pushes, one after another, are bit for
    bit ``tavik.gammatonegram(whole_signal, ...).features`` with the same
    keywords, in both modes. Memory stays flat however long the signal:
    continuous mode carries only the filters' state and the sums of the
    frames still open, frames mode the samples of the frames not yet
    complete.

    ``push`` runs the native work without the interpreter lock, like
    ``batch``, and Ctrl-C stops it with KeyboardInterrupt. A push that
    raises leaves the stream as it was, so the same chunk can be pushed
    again. Pushes from several threads are taken one at a time; a push from
    inside a push (a transform pushing into its own stream) is refused.
    :meth:`reset` starts the stream afresh for another signal.

    Parameters
    ----------
    sample_rate : int
        Samples per second.
    num_samples, hop, num_features, low_Hz, high_Hz, temporal_integration, channel, transform, mode, num_threads
        As for :func:`gammatonegram`, with the same defaults;
        ``channel="each"`` gives rows of every channel on its own, (k,
        channels, num_features), each channel with its own filters' state.

    Raises
    ------
    TypeError, ValueError
        For a parameter that :func:`gammatonegram` refuses, with the same
        message, when the stream is made (``num_threads=-1`` included).

    Attributes
    ----------
    samples_pushed : int
        Samples (per channel) pushed so far.
    frames_emitted : int
        Rows returned so far.
    last_times : numpy.ndarray
        Start times in seconds of the rows the last push returned.
    centre_frequencies : numpy.ndarray
        The filters' centre frequencies in Hz, ascending.

    See Also
    --------
    gammatonegram : The same features of a whole signal.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> signal = np.random.default_rng(0).standard_normal(16000)
    >>> stream = tavik.GammatoneStream(16000)
    >>> chunks = np.array_split(signal, 37)
    >>> rows = [stream.push(chunk) for chunk in chunks]
    >>> whole = tavik.gammatonegram(signal, 16000)
    >>> bool((np.concatenate(rows) == whole.features).all())
    True
    >>> stream.frames_emitted, stream.samples_pushed
    (98, 16000)
    >>> stream.reset()
    >>> stream.frames_emitted, stream.samples_pushed
    (0, 0)

    Live audio, with an input stream of the ``sounddevice`` package (not a
    dependency of tavik) delivering float32 blocks::

        stream = tavik.GammatoneStream(16000)

        def callback(block, frames, time, status):
            rows = stream.push(block)      # (k, 64) float64
            for t, row in zip(stream.last_times, rows):
                ...                        # draw or classify

        with sounddevice.InputStream(samplerate=16000, channels=1,
                                     callback=callback):
            ...
    """

    _reentry = "from its transform"

    def __init__(self, sample_rate: int, *, num_samples: int | None = None,
                 hop: int | None = None, num_features: int = 64, low_Hz: float = 50,
                 high_Hz: float | None = None, temporal_integration: float = 0,
                 channel: Channel = -1, transform: Transform | None = LOG10,
                 mode: Mode = "continuous", num_threads: int = 0) -> None:
        self._begin(Analysis(sample_rate, num_samples=num_samples, hop=hop,
                             num_features=num_features, low_Hz=low_Hz, high_Hz=high_Hz,
                             temporal_integration=temporal_integration, channel=channel,
                             transform=transform, mode=mode, num_threads=num_threads))

    @classmethod
    def _of(cls, analysis: Analysis) -> GammatoneStream:
        """The stream of an analysis, running on its filterbank."""
        stream = cls.__new__(cls)
        stream._begin(analysis)
        return stream

    def _begin(self, a: Analysis) -> None:
        self._analysis = a
        self.mode: Mode = a.mode
        self.sample_rate = a.sample_rate
        self.num_samples = a.num_samples
        self.hop = a.hop
        self.num_features = a.num_features
        self.low_Hz = a.low_Hz
        self.high_Hz = a.high_Hz
        self.temporal_integration = a.temporal_integration
        self.channel = a.channel
        self.transform = a.transform
        self.num_threads = a.num_threads
        self._filterbank = a.filterbank()
        self.centre_frequencies: FloatArray = self._filterbank.centre_frequencies
        self.centre_frequencies.flags.writeable = False
        self._unlocked()
        self._start()

    def _start(self) -> None:
        # Continuous mode: the native pass's state of each lane of features
        # (one per channel with channel="each") after samples_pushed samples;
        # made by the first push, which tells the channels.
        self._states: list[npt.NDArray[np.float64]] | None = None
        # Frames mode: the samples from the start of the next frame on, and
        # how many samples of the next chunks fall between frames (hop > frame).
        self._pending: Samples | None = None
        self._skip = 0
        self._channels: int | None = None
        self.samples_pushed = 0
        self.frames_emitted = 0
        self.last_times: FloatArray = np.empty(0)

    def __setstate__(self, state: dict[str, object]) -> None:
        if "_state" in state:  # pickled before a stream had a state per channel
            state = {**state, "_states": [state["_state"]]}
            del state["_state"]
        super().__setstate__(state)

    def reset(self) -> None:
        """Starts the stream afresh, as if it had just been made.

        The samples and frames pushed so far are forgotten, with the
        filters' state, the samples of frames not yet complete and the
        number of channels: the next push may have another, and its rows are
        those of a new stream with the same parameters. A push that runs on
        another thread is waited for.

        Raises
        ------
        RuntimeError
            If called from inside a push of this stream (by its transform).
        """
        with self._exclusive("reset"):
            self._start()

    def filterbank(self, channel: int | None = None) -> GammatoneFilterbank:
        """A new filterbank with this stream's parameters.

        Parameters
        ----------
        channel : int, optional
            The channel it reads, instead of the stream's own ``channel``:
            needed with ``channel="each"``, as for
            :meth:`Gammatonegram.filterbank`.

        Returns
        -------
        GammatoneFilterbank
            Its frames-mode features of a frame are those of ``mode="frames"``.

        Raises
        ------
        TypeError
            If ``channel`` is not an integer, or not given for a stream of
            ``channel="each"``.
        """
        return filterbank_of(self._analysis, channel)

    def push(self, chunk: SignalLike) -> FloatArray:
        """Feeds the next samples.

        Parameters
        ----------
        chunk : array_like
            A 1-D chunk or one of shape (samples, channels), of any kind
            :func:`gammatonegram` accepts, with the same number of channels
            on every push (a 1-D chunk is one channel).

        Returns
        -------
        numpy.ndarray
            The features of the frames this chunk completed, float64 of
            shape (k, ``num_features``), or (k, channels, ``num_features``)
            with ``channel="each"``; k may be 0.

        Raises
        ------
        ValueError
            If the chunk has another number of channels than the earlier
            ones, or none, or holds a NaN or infinite sample or one of
            magnitude above 2**64 in a channel that enters the features
            (the message names the first); the stream is left as it was.
        TypeError
            If the chunk is of a kind that :func:`gammatonegram` refuses.
        IndexError
            If ``channel`` is not a channel of the chunk.
        RuntimeError
            If called from inside a push of this stream, on the same thread
            (a transform that pushes into its own stream).

        Notes
        -----
        Pushes from several threads are taken one at a time, in the order
        in which they get the stream's lock: a push waits for the one that
        runs, and the stream is that of the chunks one after another.
        """
        samples = as_samples(chunk, "chunk")
        with self._exclusive("push"):
            return self._push(samples)

    def _push(self, samples: Samples) -> FloatArray:
        # Nothing of the stream changes until the native work has succeeded.
        a = self._analysis
        # The first chunk's channels are checked against the analysis's
        # channel by the native pass itself, over no samples.
        channels = self._channels_of(samples, lambda empty: lanes_of(a, empty))
        lanes = a.filterbanks(channels)
        if self.mode == "continuous":
            states = (self._states if self._states is not None
                      else [fb.stream_state(self.hop) for fb in lanes])
            pushed = [fb.stream_push(samples, self.hop, state, self.samples_pushed,
                                     self.num_threads) for fb, state in zip(lanes, states)]
            rows = a.joined([lane for lane, _ in pushed])
            self._states = [state for _, state in pushed]
        else:
            rows = self._push_frames(samples, lanes)
        self._channels = channels
        first = self.frames_emitted
        self.samples_pushed += samples.shape[0]
        self.frames_emitted += len(rows)
        self.last_times = self._analysis.times(first, self.frames_emitted)
        return rows

    def _push_frames(self, samples: Samples, lanes: list[GammatoneFilterbank]) -> FloatArray:
        skip = min(self._skip, samples.shape[0])
        samples = samples[skip:]
        buffer = samples if self._pending is None else _joined(self._pending, samples)
        length, hop = buffer.shape[0], self.hop
        count = self._analysis.frame_count(length)
        rows = self._analysis.joined([features_of(fb, buffer, hop, self.num_threads) if count
                                      else np.empty((0, self.num_features)) for fb in lanes])
        consumed = count * hop
        # Copied, so that the caller's chunk is not kept alive or read later.
        self._pending = buffer[consumed:].copy() if consumed < length else None
        self._skip = self._skip - skip + max(0, consumed - length)
        return rows

    def __repr__(self) -> str:
        return (f"GammatoneStream(sample_rate={self.sample_rate}, num_samples={self.num_samples}, "
                f"hop={self.hop}, num_features={self.num_features}, mode={self.mode!r}, "
                f"samples_pushed={self.samples_pushed}, frames_emitted={self.frames_emitted})")


def _joined(first: Samples, second: Samples) -> Samples:
    """The two runs of samples one after the other; float32 stays float32
    only when both are, float64 holds either exactly."""
    if first.ndim != second.ndim:
        first = first.reshape(first.shape[0], -1)
        second = second.reshape(second.shape[0], -1)
    dtype = np.float32 if first.dtype == second.dtype == np.float32 else np.float64
    joined: Samples = np.concatenate([first.astype(dtype, copy=False),
                                      second.astype(dtype, copy=False)])
    return joined
