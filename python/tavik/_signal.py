"""Gammatonegrams of whole signals: framing, accepted forms of a signal, and
the result as an immutable record."""

from __future__ import annotations

import math
import operator
import reprlib
import sys
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field, fields
from types import MappingProxyType
from typing import Any, Final, Literal, NamedTuple, Union

import numpy as np
import numpy.typing as npt
from numpy.lib.stride_tricks import sliding_window_view

from _tavik import transforms
from _tavik.extractor import GammatoneFilterbank

Transform = Callable[[float], float]
FloatArray = npt.NDArray[np.float64]
SignalLike = Union[npt.NDArray[Any], Sequence[float], Sequence[Sequence[float]]]

# PCM integers as soundfile scales them to floats in [-1, 1): exact in float64.
_PCM_SCALE: Final = {np.dtype(np.int8): 1.0 / 128, np.dtype(np.int16): 1.0 / 32768,
                     np.dtype(np.int32): 1.0 / 2**31}
_ACCEPTED: Final = ("a 1-D signal or a 2-D (samples, channels) array of float64, float32, "
                    "float16, int32, int16, int8 or uint8 samples, or a list of numbers")
# Frames handed to the extension per call when progress is reported; the
# rows are the same whatever the chunk.
_CHUNK_FRAMES: Final = 512
# Samples per push of the continuous pass when progress is reported.
_CHUNK_SAMPLES: Final = 1 << 16

Mode = Literal["continuous", "frames"]
MODES: Final = ("continuous", "frames")


#: The level below which :data:`LOG10` raises a feature, in dB (20·log10 of the
#: mean envelope): -200 dB, a feature of 1e-10, far below any recorded sound
#: (24-bit PCM stops near -144 dB), so that digital silence gives -10, not -inf.
LOG10_FLOOR_DB: Final = -200.0


def log10_floor(floor_dB: float, name: str = "floor_dB") -> float:
    """The feature that a floor in dB stands for (0.0, no floor, for -inf).

    A level is a positive normal double: from about -6153 dB (the smallest,
    2.2e-308) to 6165 dB (the largest, 1.8e308). Beyond them the floor would
    overflow, or underflow to no floor at all (or to a subnormal, whose
    logarithm is no longer the level asked for), so they are refused with a
    ValueError that names the parameter as `name`."""
    if floor_dB == -math.inf:
        return 0.0
    try:
        level = float(10.0 ** (floor_dB / 20)) if not math.isnan(floor_dB) else math.nan
    except OverflowError:
        level = math.inf
    if not sys.float_info.min <= level < math.inf:
        raise ValueError(f"{name} must be -inf or a level from {_LOWEST_FLOOR_DB:g} to "
                         f"{_HIGHEST_FLOOR_DB:g} dB, not {floor_dB:g}")
    return level


# The levels in dB of the smallest and largest positive normal doubles,
# rounded inward to whole dB, as named by log10_floor's error.
_LOWEST_FLOOR_DB: Final = math.ceil(20 * math.log10(sys.float_info.min))
_HIGHEST_FLOOR_DB: Final = math.floor(20 * math.log10(sys.float_info.max))


#: The default transform of :func:`gammatonegram`: the native
#: ``tavik.transforms.log10`` with a floor of -200 dB (``log10(floor=1e-10)``),
#: so that silence is finite. ``tavik.transforms.log10()`` is the unfloored
#: one (silence gives -inf). Older pickles that refer to it by name,
#: ``tavik._signal.LOG10``, load as this object.
LOG10: Final = transforms.log10(floor=log10_floor(LOG10_FLOOR_DB))


@dataclass(frozen=True, eq=False)
class Gammatonegram:
    """Gammatone-filterbank features of every frame of a signal, with the
    parameters that made them.

    Made by :func:`gammatonegram` or read by :func:`load`; frozen, and its
    arrays are read-only. Made directly, it checks its fields: a wrong type
    is a TypeError, shapes that do not match (``features`` of another
    number of columns than ``num_features``, ``times`` of another length
    than its rows) a ValueError; float32 arrays are converted to float64
    (exactly). Row i of ``features`` holds the features of the
    frame starting at sample ``i * hop``, computed as ``mode`` says.

    Attributes
    ----------
    features : numpy.ndarray
        float64, shape (frames, num_features): one row per frame, one column
        per filter, in ascending centre frequency.
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
    channel : int
        The channel used, or negative for the mean of the channels.
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

    features: FloatArray
    centre_frequencies: FloatArray
    times: FloatArray
    sample_rate: int
    num_samples: int
    hop: int
    num_features: int
    low_Hz: float
    high_Hz: float
    temporal_integration: float
    channel: int
    transform: Transform | None
    mode: Mode
    extra: Mapping[str, Any] = field(default_factory=lambda: MappingProxyType({}))

    def __post_init__(self) -> None:
        state = dict(self.__dict__)
        for name in ("features", "centre_frequencies", "times"):
            state[name] = _float_array(name, state[name], 2 if name == "features" else 1)
        for name in ("sample_rate", "num_samples", "hop"):
            check_integer(name, state[name], 1)
        check_integer("num_features", state["num_features"], 2)
        check_integer("channel", state["channel"])
        for name in ("low_Hz", "high_Hz", "temporal_integration"):
            check_real(name, state[name])
        check_transform(state["transform"])
        check_mode(state["mode"])
        if not isinstance(state["extra"], Mapping):
            raise TypeError(f"extra must be a mapping, not {_given(state['extra'])}")
        frames, columns = state["features"].shape
        if columns != state["num_features"] or len(state["centre_frequencies"]) != columns:
            raise ValueError(f"features of {columns} columns and {len(state['centre_frequencies'])} "
                             f"centre frequencies do not match num_features={state['num_features']}")
        if len(state["times"]) != frames:
            raise ValueError(f"{len(state['times'])} times do not match the {frames} frames "
                             "of the features")
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

    def filterbank(self) -> GammatoneFilterbank:
        """A new filterbank with the parameters that made these features.

        Returns
        -------
        GammatoneFilterbank
            Equal in every parameter to the one that computed ``features``:
            its call on the frame starting at sample ``i * hop`` gives row i.
        """
        return make_filterbank(self.num_samples, self.num_features, self.sample_rate,
                               self.low_Hz, self.high_Hz, self.temporal_integration,
                               self.channel, self.transform)


def _float_array(name: str, value: object, ndim: int) -> FloatArray:
    """A float64 array of `ndim` dimensions; float32 and either byte order
    are taken and converted (exactly)."""
    if (not isinstance(value, np.ndarray) or value.ndim != ndim
            or value.dtype.newbyteorder("=") not in (np.float64, np.float32)):
        given = (f"a {value.ndim}-D {value.dtype} array" if isinstance(value, np.ndarray)
                 else _given(value))
        raise TypeError(f"{name} must be a {ndim}-D float64 or float32 array, not {given}")
    return value.astype(np.float64, copy=False)


def frame_times(first: int, stop: int, hop: int, sample_rate: int) -> FloatArray:
    """Start times in seconds of frames first to stop - 1."""
    times: FloatArray = np.arange(first, stop, dtype=np.float64) * hop / sample_rate
    return times


def default_num_samples(sample_rate: int) -> int:
    """25 ms, the usual analysis window of speech, in samples."""
    return max(1, round(0.025 * sample_rate))


def default_hop(sample_rate: int) -> int:
    """10 ms in samples."""
    return max(1, round(0.010 * sample_rate))


def default_high_Hz(sample_rate: int) -> float:
    """The highest centre frequency when none is given: 8000 Hz, or 90 % of
    the Nyquist frequency of a rate below 17.8 kHz (never above Nyquist)."""
    return min(8000.0, 0.45 * sample_rate)


def check_mode(mode: object) -> Mode:
    if not isinstance(mode, str):
        raise TypeError(f"mode must be 'continuous' or 'frames', not {_given(mode)}")
    if mode == "continuous":
        return "continuous"
    if mode == "frames":
        return "frames"
    raise ValueError(f"mode must be 'continuous' or 'frames', not {mode!r}")


def make_filterbank(num_samples: int, num_features: int, sample_rate: int, low_Hz: float,
                    high_Hz: float, temporal_integration: float, channel: int,
                    transform: Transform | None) -> GammatoneFilterbank:
    if transform is None:
        # No transform: the raw features (a filterbank holding none would
        # fail on the first frame).
        transform = transforms.identity()
    return GammatoneFilterbank(num_samples=num_samples, num_features=num_features,
                               sample_rate=sample_rate, transform=transform, on_channel=channel,
                               low_Hz=low_Hz, high_Hz=high_Hz,
                               temporal_integration=temporal_integration)


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
                hop: int, num_threads: int = 0,
                progress: Callable[[int], object] | None = None) -> FloatArray:
    """Features of every whole frame of `samples` (1-D, or samples x channels)
    as frames x features; `progress` is told how many frames each step did."""
    frames = frames_of(samples, fb.num_samples, hop)
    if (samples.ndim == 2 and samples.shape[1] == 1 and fb.on_channel < 0
            and samples.strides[0] == samples.itemsize):
        # One channel with unit stride: read as the mono signal it is.
        frames = frames[:, 0, :]
    if progress is None:
        return fb.batch(frames, num_threads)
    out = np.empty((frames.shape[0], fb.num_features))
    for start in range(0, frames.shape[0], _CHUNK_FRAMES):
        chunk = frames[start:start + _CHUNK_FRAMES]
        out[start:start + len(chunk)] = fb.batch(chunk, num_threads)
        if progress is not None:
            progress(len(chunk))
    return out


def continuous_features_of(fb: GammatoneFilterbank,
                           samples: npt.NDArray[np.float64] | npt.NDArray[np.float32], hop: int,
                           num_threads: int = 0,
                           progress: Callable[[int], object] | None = None) -> FloatArray:
    """Features of every whole frame of `samples` (1-D, or samples x
    channels) with the filters run through the whole signal; `progress` is
    told how many frames each step did."""
    state = fb.stream_state(hop)
    if progress is None:
        features, _ = fb.stream_push(samples, hop, state, 0, num_threads)
        return features
    length = samples.shape[0]
    count = (length - fb.num_samples) // hop + 1 if length >= fb.num_samples else 0
    out = np.empty((count, fb.num_features))
    done = 0
    for start in range(0, length, _CHUNK_SAMPLES):
        rows, state = fb.stream_push(samples[start:start + _CHUNK_SAMPLES], hop, state, start,
                                     num_threads)
        out[done:done + len(rows)] = rows
        done += len(rows)
        if len(rows):
            progress(len(rows))
    return out


def gammatonegram_with(fb: GammatoneFilterbank, signal: SignalLike, hop: int, *,
                       num_threads: int = 0, low_Hz: float, high_Hz: float,
                       temporal_integration: float, transform: Transform | None,
                       progress: Callable[[int], object] | None = None,
                       mode: Mode = "continuous") -> Gammatonegram:
    """The gammatonegram of `signal` with an existing filterbank (the
    filterbank keeps its parameters to itself, so they are passed along)."""
    mode = check_mode(mode)
    samples = as_samples(signal)
    check_channel_of(samples, fb.on_channel)
    if samples.shape[0] < fb.num_samples:
        hint = ("; it looks like (channels, samples): pass it as x.T"
                if samples.ndim == 2 and samples.shape[1] >= fb.num_samples else "")
        raise ValueError(f"the signal ({samples.shape[0]} samples) is shorter than one frame "
                         f"({fb.num_samples} samples){hint}")
    if mode == "continuous":
        features = continuous_features_of(fb, samples, hop, num_threads, progress)
    else:
        features = features_of(fb, samples, hop, num_threads, progress)
    centres = np.array([f.cf for f in fb.filters], dtype=np.float64)
    times = frame_times(0, features.shape[0], hop, fb.sample_rate)
    for array in (features, centres, times):
        array.flags.writeable = False
    return Gammatonegram(features=features, centre_frequencies=centres, times=times,
                         sample_rate=fb.sample_rate, num_samples=fb.num_samples, hop=hop,
                         num_features=fb.num_features, low_Hz=low_Hz, high_Hz=high_Hz,
                         temporal_integration=temporal_integration, channel=fb.on_channel,
                         transform=transform, mode=mode)


def check_channel_of(samples: npt.NDArray[Any], channel: int) -> None:
    """The filterbank's own IndexError for a channel that a 1-D signal (one
    channel) lacks; a 2-D signal's channels the filterbank checks itself."""
    if samples.ndim == 1 and channel >= 1:
        raise IndexError(f"Channel {channel} is out of range for an input of 1 channels")


def _given(value: object) -> str:
    """What a caller passed, for a message: its type and a short repr."""
    return f"{type(value).__name__} {reprlib.repr(value)}"


def check_integer(name: str, value: object, minimum: int | None = None,
                  maximum: int | None = None, *, integral_floats: bool = False) -> int:
    """`value` as an int within [minimum, maximum], or a TypeError (not an
    integer) or ValueError (out of range) naming the parameter, what was
    given and what is accepted. Only ints and objects with ``__index__``
    (NumPy's integers) are integers; `integral_floats` takes 16000.0 too."""
    if integral_floats and isinstance(value, (float, np.floating)) and float(value).is_integer():
        value = int(value)  # 16000.0 is a rate as good as 16000
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not {_given(value)}")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {_given(value)}") from None
    if minimum is not None and number < minimum:
        accepted = "positive" if minimum == 1 else f"at least {minimum}"
        raise ValueError(f"{name} must be {accepted}, not {number}")
    if maximum is not None and number > maximum:
        raise ValueError(f"{name} must be at most {maximum}, not {number}")
    return number


def check_real(name: str, value: object) -> None:
    """A TypeError naming the parameter unless `value` is a real number (an
    int, a float or a NumPy scalar of either; not a bool, a string or a
    complex number). Its range is the filterbank's to check."""
    if (isinstance(value, (bool, np.bool_, str, bytes, complex, np.complexfloating))
            or not (hasattr(type(value), "__float__") or hasattr(type(value), "__index__"))):
        raise TypeError(f"{name} must be a real number, not {_given(value)}")


def check_transform(transform: object) -> None:
    if transform is not None and not callable(transform):
        raise TypeError("transform must be a callable from float to float (such as "
                        f"tavik.transforms.log10()) or None, not {_given(transform)}")


# The native filterbank keeps rates, channels and thread counts as 32-bit
# integers, sizes as size_t.
_INT32_MAX: Final = 2**31 - 1
_SIZE_MAX: Final = 2 * sys.maxsize + 1


class Analysis(NamedTuple):
    """The parameters of a gammatonegram, checked, with their defaults filled in."""

    sample_rate: int
    num_samples: int
    hop: int
    num_features: int
    low_Hz: float
    high_Hz: float
    temporal_integration: float
    channel: int
    transform: Transform | None
    mode: Mode
    num_threads: int


def check_analysis(sample_rate: object, num_samples: object, hop: object, num_features: object,
                   low_Hz: object, high_Hz: object, temporal_integration: object,
                   channel: object, transform: object, mode: object,
                   num_threads: object) -> Analysis:
    """The keywords of :func:`gammatonegram` and :class:`GammatoneStream`
    checked before any work: the TypeError or ValueError of the first bad one,
    naming it. What only the filters' design can tell (an empty frequency
    range, a negative time constant) the filterbank refuses when it is made."""
    checked_mode = check_mode(mode)
    rate = check_integer("sample_rate", sample_rate, 1, _INT32_MAX, integral_floats=True)
    frame = (default_num_samples(rate) if num_samples is None
             else check_integer("num_samples", num_samples, 1, _SIZE_MAX, integral_floats=True))
    step = (default_hop(rate) if hop is None
            else check_integer("hop", hop, 1, _SIZE_MAX, integral_floats=True))
    features = check_integer("num_features", num_features, 2, _SIZE_MAX)
    check_real("low_Hz", low_Hz)
    if high_Hz is None:
        high_Hz = default_high_Hz(rate)
    check_real("high_Hz", high_Hz)
    check_real("temporal_integration", temporal_integration)
    on_channel = check_integer("channel", channel, -_INT32_MAX - 1, _INT32_MAX)
    check_transform(transform)
    threads = check_integer("num_threads", num_threads, 0, _INT32_MAX)
    return Analysis(rate, frame, step, features, low_Hz, high_Hz,  # type: ignore[arg-type]
                    temporal_integration, on_channel, transform,  # type: ignore[arg-type]
                    checked_mode, threads)


def gammatonegram(signal: SignalLike, sample_rate: int, *, num_samples: int | None = None,
                  hop: int | None = None, num_features: int = 64, low_Hz: float = 50,
                  high_Hz: float | None = None, temporal_integration: float = 0,
                  channel: int = -1, transform: Transform | None = LOG10,
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
    -39 dB from the onset at every frame's start), and each sample is
    filtered once however much the frames overlap (2.5 times less work at
    the default framing). In ``mode="frames"`` each frame is filtered on its
    own from silence: row i is bit for bit what :class:`GammatoneFilterbank`
    gives for frame i. Use it where a frame's features must not depend on
    what came before it. A signal of exactly one frame gives the same bits
    in both modes.

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
        is ``default_high_Hz(sample_rate)``: 8000 Hz, or 90 % of the Nyquist
        frequency below 17.8 kHz, the command line's rule too. A ``high_Hz``
        given above the Nyquist frequency aliases (a
        :class:`FrequencyRangeWarning` says so).
    temporal_integration : float, default 0
        Time constant in seconds of a leaky integrator that smooths each
        envelope before the mean (0: none).
    channel : int, default -1
        For a signal of several channels: the channel to use, or negative
        for the mean of the channels (rows summed in index order, then
        divided by their count).
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
        parameter that made them.

    Raises
    ------
    TypeError
        If the signal is of another kind (complex, object, bool, other
        integer types, 0-D or 3-D), a count or ``channel`` is not an
        integer, a frequency or ``temporal_integration`` is not a real
        number, ``transform`` is neither callable nor None, or ``mode`` is
        not a string; the message names the parameter and what was given.
    IndexError
        If ``channel`` is one that the signal lacks.
    ValueError
        If the signal is shorter than one frame, ``sample_rate``,
        ``num_samples`` or ``hop`` is not positive, ``num_features`` is
        below 2, ``num_threads`` is negative, the frequency range is empty,
        ``temporal_integration`` is negative or not finite, or ``mode`` is
        neither mode. The parameters are checked before the signal is read.

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
    """
    a = check_analysis(sample_rate, num_samples, hop, num_features, low_Hz, high_Hz,
                       temporal_integration, channel, transform, mode, num_threads)
    fb = make_filterbank(a.num_samples, a.num_features, a.sample_rate, a.low_Hz, a.high_Hz,
                         a.temporal_integration, a.channel, a.transform)
    return gammatonegram_with(fb, as_samples(signal), a.hop, num_threads=a.num_threads,
                              low_Hz=a.low_Hz, high_Hz=a.high_Hz,
                              temporal_integration=a.temporal_integration,
                              transform=a.transform, mode=a.mode)
