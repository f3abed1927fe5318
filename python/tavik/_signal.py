"""Gammatonegrams of whole signals: framing, accepted forms of a signal, and
the result as an immutable record."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, fields
from types import MappingProxyType
from typing import Any, Final, Union

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view

from _tavik.extractor import GammatoneFilterbank

from ._analysis import (EACH, LOG10, LOG10_FLOOR_DB, MODES, Analysis, Channel, FloatArray, Mode,
                        Parameters, Transform, build_filterbank, check_channel, check_integer,
                        check_mode, check_parameter, check_real, check_transform, default_high_Hz,
                        default_hop, default_num_samples, log10_floor, parameters_of)
from ._analysis import given as _given

# Defined with the analysis; named here too, where pickles and callers find them.
__all__ = ["EACH", "LOG10", "LOG10_FLOOR_DB", "MODES", "Analysis", "Channel", "Gammatonegram",
           "Mode", "Transform", "as_samples", "check_channel", "check_integer", "check_mode",
           "check_real", "filterbank_of", "lanes_of",
           "check_transform", "default_high_Hz", "default_hop", "default_num_samples",
           "features_of", "frames_of", "gammatonegram", "log10_floor"]

SignalLike = Union[npt.NDArray[Any], Sequence[float], Sequence[Sequence[float]]]

# PCM integers as soundfile scales them to floats in [-1, 1): exact in float64.
_PCM_SCALE: Final = {np.dtype(np.int8): 1.0 / 128, np.dtype(np.int16): 1.0 / 32768,
                     np.dtype(np.int32): 1.0 / 2**31}
_ACCEPTED: Final = ("a 1-D signal or a 2-D (samples, channels) array of float64, float32, "
                    "float16, int32, int16, int8 or uint8 samples, or a list of numbers")


@dataclass(frozen=True, eq=False)
class _Arrays:
    """The arrays of a gammatonegram: its first fields, before its parameters."""

    features: FloatArray
    centre_frequencies: FloatArray
    times: FloatArray


@dataclass(frozen=True, eq=False)
class Gammatonegram(Parameters, _Arrays):
    """Gammatone-filterbank features of every frame of a signal, with the
    parameters that made them.

    Made by :func:`gammatonegram` or read by :func:`load`; frozen, and its
    arrays are read-only. Made directly, it checks its fields: a wrong type
    is a TypeError; shapes that do not match (``features`` of another
    number of columns than ``num_features``, ``times`` of another length
    than its rows), an integer parameter out of the range that
    :func:`gammatonegram` takes, centre frequencies or times that are not
    finite, or times that decrease, a ValueError; float32 arrays are
    converted to float64 (exactly). Row i of ``features`` holds the features of the
    frame starting at sample ``i * hop``, computed as ``mode`` says. With
    ``channel="each"``, ``features`` has a channel axis, (frames, channels,
    num_features), and ``features[:, k]`` is what ``channel=k`` gives.

    Attributes
    ----------
    features : numpy.ndarray
        float64, shape (frames, num_features): one row per frame, one column
        per filter, in ascending centre frequency; (frames, channels,
        num_features) with ``channel="each"``.
    centre_frequencies : numpy.ndarray
        float64, shape (num_features,): the centre frequency of each filter
        in Hz.
    times : numpy.ndarray
        float64, shape (frames,): the start of each frame in seconds.
    sample_rate : int
        Samples per second of the signal.
    num_samples : int
        Frame length in samples.
    hop : int
        Samples from the start of one frame to the start of the next.
    num_features : int
        Number of filters.
    low_Hz, high_Hz : float
        Centre frequencies of the lowest and highest filter, as given.
    temporal_integration : float
        Time constant of the envelope smoothing in seconds (0: none).
    channel : int or "each"
        The channel used, negative for the mean of the channels, or
        ``"each"`` for every channel on its own.
    transform : callable or None
        The transform applied to every feature.
    mode : {"continuous", "frames"}
        ``"continuous"``: the filters ran once through the whole signal;
        ``"frames"``: each frame was filtered on its own, from silence, as
        ``GammatoneFilterbank(...)`` filters it.
    extra : Mapping
        Fields of a file read by :func:`load` that are not fields of a
        gammatonegram, such as ``source_sample_rate`` of a corpus file.

    See Also
    --------
    gammatonegram : Makes one.
    load : Reads one from a ``.npz`` file.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> g = tavik.gammatonegram(np.ones(16000), 16000,
    ...                         num_features=8)
    >>> g.features.shape, g.hop, g.num_samples
    ((98, 8), 160, 400)
    >>> g.filterbank()
    GammatoneFilterbank(num_samples=400, num_features=8, sample_rate=16000, ...)
    """

    # The arrays (_Arrays) come first, then the parameters (Parameters), then extra.
    extra: Mapping[str, Any] = field(default_factory=lambda: MappingProxyType({}))

    def __post_init__(self) -> None:
        state = dict(self.__dict__)
        each = check_channel(state["channel"]) == EACH
        for name in ("features", "centre_frequencies", "times"):
            state[name] = _float_array(name, state[name], (3 if each else 2) if name == "features"
                                       else 1)
        for name in ("sample_rate", "num_samples", "hop", "num_features"):
            check_parameter(name, state[name])
        for name in ("low_Hz", "high_Hz", "temporal_integration"):
            check_real(name, state[name])
        check_transform(state["transform"])
        check_mode(state["mode"])
        if not isinstance(state["extra"], Mapping):
            raise TypeError(f"extra must be a mapping, not {_given(state['extra'])}")
        frames, columns = state["features"].shape[0], state["features"].shape[-1]
        if each and state["features"].shape[1] == 0:
            raise ValueError("features of channel='each' must have at least one channel")
        if columns != state["num_features"] or len(state["centre_frequencies"]) != columns:
            raise ValueError(f"features of {columns} columns and {len(state['centre_frequencies'])} "
                             f"centre frequencies do not match num_features={state['num_features']}")
        if len(state["times"]) != frames:
            raise ValueError(f"{len(state['times'])} times do not match the {frames} frames "
                             "of the features")
        for name in ("centre_frequencies", "times"):
            if not np.isfinite(state[name]).all():
                raise ValueError(f"{name} must be finite")
        if (np.diff(state["times"]) < 0).any():
            raise ValueError("times must not decrease")
        self.__setstate__(state)

    def __getstate__(self) -> dict[str, Any]:
        # A mapping proxy does not pickle: extra travels as a dict.
        return {**self.__dict__, "extra": dict(self.extra)}

    def __setstate__(self, state: dict[str, Any]) -> None:
        # Copies and unpickled records get new arrays: read-only like the first.
        for name, value in state.items():
            if isinstance(value, np.ndarray):
                value.flags.writeable = False
            elif name == "extra" and not isinstance(value, MappingProxyType):
                value = MappingProxyType(dict(value))
            object.__setattr__(self, name, value)

    def __repr__(self) -> str:
        def short(value: object) -> str:
            if isinstance(value, np.ndarray):
                return f"<{'x'.join(map(str, value.shape)) or 'scalar'} {value.dtype}>"
            if isinstance(value, Mapping):
                return "{" + ", ".join(map(repr, value)) + "}"
            return repr(value)

        items = ", ".join(f"{f.name}={short(getattr(self, f.name))}" for f in fields(self))
        return f"{type(self).__name__}({items})"

    def filterbank(self, channel: int | None = None) -> GammatoneFilterbank:
        """A new filterbank with the parameters that made these features.

        Parameters
        ----------
        channel : int, optional
            The channel it reads (its ``on_channel``), instead of the
            record's own ``channel``: needed for a gammatonegram of
            ``channel="each"``, whose channel k was made by the filterbank
            of ``channel=k``.

        Returns
        -------
        GammatoneFilterbank
            Equal in every parameter to the one that computed ``features``:
            its call on the frame starting at sample ``i * hop`` gives row i
            (``features[i, k]`` for ``channel=k`` of a gammatonegram of
            ``channel="each"``).

        Raises
        ------
        TypeError
            If ``channel`` is not an integer, or not given for a
            gammatonegram of ``channel="each"``.
        ValueError
            If ``channel`` is out of the filterbank's range.
        """
        return filterbank_of(self, channel)


def filterbank_of(p: Parameters, channel: object = None) -> GammatoneFilterbank:
    """A new filterbank of these parameters, reading `channel` if given (the
    ``filterbank`` method of a gammatonegram and of a stream)."""
    if channel is None:
        if p.channel == EACH:
            raise TypeError("a gammatonegram of channel='each' has a filterbank per channel: "
                            "pass filterbank(channel=k)")
        return build_filterbank(p)
    return build_filterbank(p, check_parameter("channel", channel))


def _float_array(name: str, value: object, ndim: int) -> FloatArray:
    """A float64 array of `ndim` dimensions; float32 and either byte order
    are taken and converted (exactly)."""
    if (not isinstance(value, np.ndarray) or value.ndim != ndim
            or value.dtype.newbyteorder("=") not in (np.float64, np.float32)):
        given = (f"a {value.ndim}-D {value.dtype} array" if isinstance(value, np.ndarray)
                 else _given(value))
        raise TypeError(f"{name} must be a {ndim}-D float64 or float32 array, not {given}")
    return value.astype(np.float64, copy=False)


def as_samples(signal: SignalLike, name: str = "signal"
               ) -> npt.NDArray[np.float64] | npt.NDArray[np.float32]:
    """The signal as a 1-D or (samples, channels) float array: float64 and
    float32 arrays as they are (no copy), float16 as float32 (exactly), int32,
    int16 and int8 PCM scaled to [-1, 1), uint8 PCM (8-bit WAV) as
    (x - 128) / 128, any byte order, a list of numbers as float64."""
    if isinstance(signal, np.ndarray):
        array: npt.NDArray[Any] = signal
        given = f"a {array.ndim}-D {array.dtype} array"
    else:
        given = f"a {type(signal).__name__}"
        try:
            array = np.asarray(signal)
        except (TypeError, ValueError):
            raise TypeError(f"{name} must be {_ACCEPTED}; got {given}") from None
        if isinstance(signal, (list, tuple)):
            given = f"a {type(signal).__name__} of {array.dtype} items"
            if array.dtype.kind in "iuf":
                # Numbers of a list are values, not PCM codes.
                array = array.astype(np.float64)
    if array.ndim not in (1, 2):
        raise TypeError(f"{name} must be {_ACCEPTED}; got {given} of shape {array.shape}")
    if array.dtype.kind in "iuf" and not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    if array.dtype == np.float64 or array.dtype == np.float32:
        return array
    if array.dtype == np.float16:
        return array.astype(np.float32)
    if array.dtype == np.uint8:
        return (array.astype(np.float64) - 128.0) * (1.0 / 128)
    scale = _PCM_SCALE.get(array.dtype)
    if scale is None:
        raise TypeError(f"{name} must be {_ACCEPTED}; got {given}")
    scaled: npt.NDArray[np.float64] = array.astype(np.float64) * scale
    return scaled


def frames_of(samples: npt.NDArray[np.float64] | npt.NDArray[np.float32], num_samples: int,
              hop: int) -> npt.NDArray[Any]:
    """Every whole frame, starting at 0 and hop apart, as a view of the
    samples: (frames, num_samples) for a 1-D signal, (frames, channels,
    num_samples) for a (samples, channels) one."""
    if samples.ndim == 1:
        if samples.strides[0] != samples.itemsize:
            # batch reads rows with unit stride; a strided 1-D signal is rare.
            return sliding_window_view(np.ascontiguousarray(samples), num_samples)[::hop]
        return sliding_window_view(samples, num_samples)[::hop]
    return sliding_window_view(samples, num_samples, axis=0)[::hop]


def features_of(fb: GammatoneFilterbank, samples: npt.NDArray[np.float64] | npt.NDArray[np.float32],
                hop: int, num_threads: int = 0) -> FloatArray:
    """Features of every whole frame of `samples` (1-D, or samples x channels)
    as frames x features, each frame filtered on its own."""
    frames = frames_of(samples, fb.num_samples, hop)
    if (samples.ndim == 2 and samples.shape[1] == 1 and fb.on_channel < 0
            and samples.strides[0] == samples.itemsize):
        # One channel with unit stride: read as the mono signal it is.
        frames = frames[:, 0, :]
    return fb.batch(frames, num_threads)


def lanes_of(a: Analysis, samples: npt.NDArray[Any]) -> list[GammatoneFilterbank]:
    """The filterbanks that turn `samples` into features (one, or one per
    channel with ``channel="each"``: see :meth:`Analysis.filterbanks`), once
    the analysis's channel is checked against the signal's channels with
    the filterbank's own errors: an IndexError for a channel that the
    signal lacks (a 1-D signal has one), a ValueError for a signal of no
    channels."""
    fb = a.filterbank()
    channels = 1 if samples.ndim == 1 else samples.shape[1]
    if samples.ndim == 1:
        if fb.on_channel >= 1:
            raise IndexError(f"Channel {fb.on_channel} is out of range for an input of 1 channels")
    else:
        # The native passes' own check of the channel, on no samples, by the
        # band pass, whose state is a few rows whatever the frame and hop.
        fb.bands_push(np.empty((0, channels)), "envelope", fb.bands_state("envelope"), 0)
    return a.filterbanks(channels)


def gammatonegram(signal: SignalLike, sample_rate: int, *, num_samples: int | None = None,
                  hop: int | None = None, num_features: int = 64, low_Hz: float = 50,
                  high_Hz: float | None = None, temporal_integration: float = 0,
                  channel: Channel = -1, transform: Transform | None = LOG10,
                  mode: Mode = "continuous", num_threads: int = 0) -> Gammatonegram:
    """Gammatone-filterbank features of every frame of a whole signal.

    A bank of ``num_features`` fourth-order gammatone filters, their centre
    frequencies evenly spaced on the ERB-rate scale from ``low_Hz`` to
    ``high_Hz``, runs over the signal; each feature is the mean over a frame
    of one filter's smoothed envelope, passed through ``transform``. Frames
    of ``num_samples`` samples start at sample 0 and follow each other
    ``hop`` samples apart; only whole frames are taken. The work runs on
    every core without the interpreter lock.

    In ``mode="continuous"`` (the default) every filter runs once through
    the whole signal, its state carried from sample to sample, and frame i
    reports the mean of the envelope over its samples. Nothing starts from
    silence, so a steady tone stays in its bands (a 1 kHz tone at 16 kHz
    reads about -118 dB in the 50 Hz band, where per-frame filtering reads
    -39 dB from the onset at every frame's start when frames start on a
    zero crossing of the tone, -52 dB when they start on its peak), and
    each sample is filtered once however much the frames overlap (2.5
    times less work at the default framing). In ``mode="frames"`` each
    frame is filtered on its own from silence: row i is bit for bit what
    :class:`GammatoneFilterbank` gives for frame i. Use it where a frame's
    features must not depend on what came before it. A signal of exactly
    one frame gives the same bits in both modes.

    Parameters
    ----------
    signal : array_like
        A 1-D array, or a 2-D array of shape (samples, channels), the layout
        soundfile returns (pass a (channels, samples) array as ``signal.T``).
        float64 and float32 samples are read in place, never copied to
        float64 as a whole; float16 is taken exactly; int32, int16 and int8
        PCM are scaled to [-1, 1) as soundfile scales them (divided by 2**31,
        32768 and 128), uint8 (8-bit WAV) as (x - 128) / 128; either byte
        order; a list of numbers is taken as float64.
    sample_rate : int
        Samples per second (a float of integral value is taken too).
    num_samples : int, optional
        Frame length in samples; by default 25 ms, rounded (400 at 16 kHz).
    hop : int, optional
        Samples between the starts of frames; by default 10 ms, rounded.
    num_features : int, default 64
        Number of filters, at least 2.
    low_Hz, high_Hz : float, default 50 and None
        Centre frequencies of the lowest and highest filter. ``high_Hz=None``
        is 8000 Hz, or 90 % of the Nyquist frequency below 17.8 kHz, the
        command line's rule too (the result's ``high_Hz`` holds the value
        used). A ``high_Hz``
        given above the Nyquist frequency aliases (a
        :class:`FrequencyRangeWarning` says so).
    temporal_integration : float, default 0
        Time constant in seconds of a leaky integrator that smooths each
        envelope before the mean (0: none).
    channel : int or "each", default -1
        For a signal of several channels: the channel to use, negative for
        the mean of the channels (rows summed in index order, then divided
        by their count), or ``"each"`` for every channel on its own: the
        features then have a channel axis, (frames, channels,
        num_features), channel k bit for bit what ``channel=k`` gives (a
        1-D signal is one channel, (frames, 1, num_features)). The channels
        run one after another, each on ``num_threads`` threads.
    transform : callable or None, default LOG10
        Applied to every feature: by default the native base-10 logarithm
        with a floor at -200 dB (features below 1e-10 raised to it, so
        digital silence gives -10); ``transforms.log10()`` keeps -inf for
        silence; any native transform of ``tavik.transforms`` or any
        callable from float to float.
    mode : {"continuous", "frames"}, default "continuous"
        Filters run through the whole signal, or each frame filtered on its
        own (see above).
    num_threads : int, default 0
        Threads of the computation (0: every core): frames mode spreads the
        frames over them, continuous mode the filters.

    Returns
    -------
    Gammatonegram
        The features, their centre frequencies and frame times, and every
        parameter that made them: ``features`` of shape (frames,
        num_features), or (frames, channels, num_features) with
        ``channel="each"``.

    Raises
    ------
    TypeError
        If the signal is of another kind (complex, object, bool, other
        integer types, 0-D or 3-D), a count is not an integer, ``channel``
        neither an integer nor a string, a frequency or ``temporal_integration`` is not a real
        number, ``transform`` is neither callable nor None, or ``mode`` is
        not a string; the message names the parameter and what was given.
    IndexError
        If ``channel`` is one that the signal lacks.
    ValueError
        If the signal is shorter than one frame, ``sample_rate``,
        ``num_samples`` or ``hop`` is not positive, ``num_features`` is
        below 2, ``num_threads`` is negative, the frequency range is empty,
        ``temporal_integration`` is negative or not finite, or ``mode`` is
        neither mode, or ``channel`` is a string other than ``"each"``.
        The parameters are checked before the signal is read.
        In continuous mode, also if the signal holds a NaN or infinite
        sample or one of magnitude above 2**64 in a channel that enters the
        features (the message names the first; with ``channel="each"``, the
        first of the lowest channel that holds one).

    See Also
    --------
    gfcc : Cepstral coefficients of the features.
    GammatoneStream : The same features of a signal that arrives in chunks.
    GammatoneFilterbank : Frames mode's features, frame by frame.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> sr = 16000
    >>> t = np.arange(sr) / sr
    >>> g = tavik.gammatonegram(np.sin(2 * np.pi * 1000 * t), sr)
    >>> g.features.shape      # 25 ms frames every 10 ms, 64 filters
    (98, 64)
    >>> loudest = g.features[10].argmax()
    >>> float(g.centre_frequencies[loudest].round())     # Hz
    970.0
    >>> tone = np.sin(2 * np.pi * 300 * t)
    >>> stereo = np.stack([tone, np.zeros(sr)], axis=1)
    >>> in_dB = tavik.transforms.dB(floor_dB=-120)
    >>> left = tavik.gammatonegram(stereo, sr, channel=0,
    ...                            num_features=16, transform=in_dB)
    >>> bool(left.features.min() >= -120)
    True

    Every channel on its own, on a channel axis:

    >>> each = tavik.gammatonegram(stereo, sr, channel="each",
    ...                            num_features=16, transform=in_dB)
    >>> each.features.shape
    (98, 2, 16)
    >>> bool((each.features[:, 0] == left.features).all())
    True
    """
    a = Analysis(sample_rate, num_samples=num_samples, hop=hop, num_features=num_features,
                 low_Hz=low_Hz, high_Hz=high_Hz, temporal_integration=temporal_integration,
                 channel=channel, transform=transform, mode=mode, num_threads=num_threads)
    samples = as_samples(signal)
    lanes = lanes_of(a, samples)
    if samples.shape[0] < a.num_samples:
        hint = ("; it looks like (channels, samples): pass it as x.T"
                if samples.ndim == 2 and samples.shape[1] >= a.num_samples else "")
        raise ValueError(f"the signal ({samples.shape[0]} samples) is shorter than one frame "
                         f"({a.num_samples} samples){hint}")
    if a.mode == "continuous":
        features = a.joined([fb.stream_push(samples, a.hop, fb.stream_state(a.hop), 0,
                                            a.num_threads)[0] for fb in lanes])
    else:
        features = a.joined([features_of(fb, samples, a.hop, a.num_threads) for fb in lanes])
    centres = a.filterbank().centre_frequencies
    times = a.times(0, features.shape[0])
    for array in (features, centres, times):
        array.flags.writeable = False
    return Gammatonegram(features=features, centre_frequencies=centres, times=times,
                         **parameters_of(a))
