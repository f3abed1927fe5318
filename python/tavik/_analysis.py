"""The parameters of an analysis, resolved and checked once: defaults from
the sample rate, the checks of every keyword with their messages, the
filterbank they make and the times of its frames. The rest of the package
builds on this module; it imports nothing of the package."""

from __future__ import annotations

import math
import operator
import reprlib
import sys
import warnings
from collections.abc import Callable
from dataclasses import dataclass, fields
from typing import Any, Final, Literal, TypeVar, Union

import numpy as np
import numpy.typing as npt

from _tavik import FrequencyRangeWarning, transforms
from _tavik.extractor import GammatoneFilterbank

Transform = Callable[[float], float]
FloatArray = npt.NDArray[np.float64]
# Rows of a pass over a signal: features, or bands (complex for the analytic signal).
Rows = TypeVar("Rows", npt.NDArray[np.float64], npt.NDArray[np.complex128])

Mode = Literal["continuous", "frames"]
MODES: Final = ("continuous", "frames")

#: ``channel="each"``: every channel of a signal on its own, as ``channel=k``
#: gives it, side by side on a channel axis of the features.
EACH: Final = "each"
Channel = Union[int, Literal["each"]]


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


def given(value: object) -> str:
    """What a caller passed, for a message: its type and a short repr."""
    return f"{type(value).__name__} {reprlib.repr(value)}"


def check_mode(mode: object) -> Mode:
    if not isinstance(mode, str):
        raise TypeError(f"mode must be 'continuous' or 'frames', not {given(mode)}")
    if mode == "continuous":
        return "continuous"
    if mode == "frames":
        return "frames"
    raise ValueError(f"mode must be 'continuous' or 'frames', not {mode!r}")


Output = Literal["envelope", "analytic", "real"]


def check_output(output: object) -> Output:
    """A band output's name, or a TypeError for anything but a string. Which
    strings name one the native band pass decides, with its ValueError
    (``GammatoneFilterbank.bands_state``)."""
    if not isinstance(output, str):
        raise TypeError(f"output must be a string, not {given(output)}")
    return output  # type: ignore[return-value]


def check_integer(name: str, value: object, minimum: int | None = None,
                  maximum: int | None = None, *, integral_floats: bool = False,
                  kind: str = "an integer") -> int:
    """`value` as an int within [minimum, maximum], or a TypeError (not an
    integer) or ValueError (out of range) naming the parameter, what was
    given and what is accepted (`kind`, for the TypeError). Only ints and
    objects with ``__index__`` (NumPy's integers) are integers;
    `integral_floats` takes 16000.0 too."""
    if integral_floats and isinstance(value, (float, np.floating)) and float(value).is_integer():
        value = int(value)  # 16000.0 is a rate as good as 16000
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be {kind}, not {given(value)}")
    try:
        number = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be {kind}, not {given(value)}") from None
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
        raise TypeError(f"{name} must be a real number, not {given(value)}")


def check_transform(transform: object) -> None:
    if transform is not None and not callable(transform):
        raise TypeError("transform must be a callable from float to float (such as "
                        f"tavik.transforms.log10()) or None, not {given(transform)}")


# The native filterbank keeps rates, channels and thread counts as 32-bit
# integers, sizes as size_t: the range of each integer parameter.
_INT32_MAX: Final = 2**31 - 1
_SIZE_MAX: Final = 2 * sys.maxsize + 1
_INTEGER_RANGES: Final = {"sample_rate": (1, _INT32_MAX), "num_samples": (1, _SIZE_MAX),
                          "hop": (1, _SIZE_MAX), "num_features": (2, _SIZE_MAX),
                          "channel": (-_INT32_MAX - 1, _INT32_MAX),
                          "num_threads": (0, _INT32_MAX)}


def check_parameter(name: str, value: object, *, integral_floats: bool = False) -> int:
    """The integer parameter `name` (sample_rate, num_samples, hop,
    num_features, channel or num_threads) checked against the range the
    filterbank takes, as :func:`check_integer` checks it."""
    minimum, maximum = _INTEGER_RANGES[name]
    return check_integer(name, value, minimum, maximum, integral_floats=integral_floats)


def check_channel(channel: object) -> Channel:
    """`channel` as :func:`gammatonegram` takes it: a channel number in the
    filterbank's range (negative: the mean), or ``"each"``. Another string
    is a ValueError, anything else that is not an integer a TypeError."""
    if isinstance(channel, str):
        if channel == EACH:
            return EACH
        raise ValueError(f"channel must be an integer or 'each', not {channel!r}")
    minimum, maximum = _INTEGER_RANGES["channel"]
    return check_integer("channel", channel, minimum, maximum, kind="an integer or 'each'")


@dataclass(frozen=True, eq=False)
class Parameters:
    """What decides the features of a signal: the fields of an
    :class:`Analysis` and of the gammatonegram it makes, written once."""

    sample_rate: int
    num_samples: int
    hop: int
    num_features: int
    low_Hz: float
    high_Hz: float
    temporal_integration: float
    channel: Channel
    transform: Transform | None
    mode: Mode


def parameters_of(p: Parameters) -> dict[str, Any]:
    """The fields of :class:`Parameters` by name, in their order."""
    return {f.name: getattr(p, f.name) for f in fields(Parameters)}


def build_filterbank(p: Parameters, channel: int | None = None) -> GammatoneFilterbank:
    """A new filterbank of these parameters (its own errors for an empty
    frequency range or a negative time constant), reading `channel` if
    given, else the parameters' own (channel 0 for ``"each"``)."""
    transform = p.transform
    if transform is None:
        # No transform: the raw features (a filterbank holding none would
        # fail on the first frame).
        transform = transforms.identity()
    on_channel = channel if channel is not None else p.channel
    return GammatoneFilterbank(num_samples=p.num_samples, num_features=p.num_features,
                               sample_rate=p.sample_rate, transform=transform,
                               on_channel=0 if on_channel == EACH else on_channel,
                               low_Hz=p.low_Hz, high_Hz=p.high_Hz,
                               temporal_integration=p.temporal_integration)


@dataclass(frozen=True, init=False)
class Analysis(Parameters):
    """The keywords of :func:`gammatonegram` and :class:`GammatoneStream`,
    checked, with their defaults filled in from the sample rate, and the
    filterbank they make.

    Made with the keywords and defaults of :func:`gammatonegram`; the first
    bad one is refused with the TypeError or ValueError that names it, and
    what only the filters' design can tell (an empty frequency range, a
    negative time constant) with the filterbank's own ValueError. The
    filterbank is built once, here, and shared by whatever runs this
    analysis (a copy made by pickle builds its own on first use)."""

    num_threads: int

    def __init__(self, sample_rate: object, *, num_samples: object = None, hop: object = None,
                 num_features: object = 64, low_Hz: object = 50, high_Hz: object = None,
                 temporal_integration: object = 0, channel: object = -1,
                 transform: object = LOG10, mode: object = "continuous",
                 num_threads: object = 0) -> None:
        checked_mode = check_mode(mode)
        rate = check_parameter("sample_rate", sample_rate, integral_floats=True)
        frame = (default_num_samples(rate) if num_samples is None
                 else check_parameter("num_samples", num_samples, integral_floats=True))
        step = (default_hop(rate) if hop is None
                else check_parameter("hop", hop, integral_floats=True))
        features = check_parameter("num_features", num_features)
        check_real("low_Hz", low_Hz)
        if high_Hz is None:
            high_Hz = default_high_Hz(rate)
        check_real("high_Hz", high_Hz)
        check_real("temporal_integration", temporal_integration)
        on_channel = check_channel(channel)
        check_transform(transform)
        threads = check_parameter("num_threads", num_threads)
        resolved = dict(sample_rate=rate, num_samples=frame, hop=step, num_features=features,
                        low_Hz=low_Hz, high_Hz=high_Hz, temporal_integration=temporal_integration,
                        channel=on_channel, transform=transform, mode=checked_mode,
                        num_threads=threads)
        for name, value in resolved.items():
            object.__setattr__(self, name, value)
        object.__setattr__(self, "_filterbank", build_filterbank(self))

    def __getstate__(self) -> dict[str, Any]:
        # The filterbanks stay behind: a copy builds its own when it first needs them.
        return {key: value for key, value in self.__dict__.items()
                if key not in ("_filterbank", "_channel_filterbanks")}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)

    def filterbank(self) -> GammatoneFilterbank:
        """The filterbank of this analysis, the same object on every call
        (a native filterbank never changes)."""
        fb: GammatoneFilterbank | None = self.__dict__.get("_filterbank")
        if fb is None:
            fb = build_filterbank(self)
            object.__setattr__(self, "_filterbank", fb)
        return fb

    def filterbanks(self, channels: int) -> list[GammatoneFilterbank]:
        """The filterbank of each lane of features of a signal of `channels`
        channels: this analysis's one, or with ``channel="each"`` one per
        channel, reading it (``on_channel=k``), each built once."""
        if self.channel != EACH:
            return [self.filterbank()]
        built: dict[int, GammatoneFilterbank] | None = self.__dict__.get("_channel_filterbanks")
        if built is None:
            built = {0: self.filterbank()}
            object.__setattr__(self, "_channel_filterbanks", built)
        for k in range(channels):
            if k not in built:
                with warnings.catch_warnings():
                    # Said once, when the analysis was made: not again per channel.
                    warnings.simplefilter("ignore", FrequencyRangeWarning)
                    built.setdefault(k, build_filterbank(self, k))
        return [built[k] for k in range(channels)]

    def joined(self, lanes: list[Rows]) -> Rows:
        """The rows of the lanes of :meth:`filterbanks` (features, or bands)
        as one array: (rows, num_features), or (rows, channels,
        num_features) with ``channel="each"``."""
        if self.channel != EACH:
            return lanes[0]
        joined: Rows = np.stack(lanes, axis=1)
        return joined

    def with_threads(self, num_threads: object) -> Analysis:
        """The same analysis on another number of threads, sharing its filterbanks."""
        threads = check_parameter("num_threads", num_threads)
        self.filterbank()  # built here first (after a pickle), so that both hold it
        if self.channel == EACH:
            self.filterbanks(1)
        other = object.__new__(Analysis)
        other.__dict__.update(self.__dict__, num_threads=threads)
        return other

    def frame_count(self, length: int) -> int:
        """The whole frames of a signal of `length` samples."""
        return (length - self.num_samples) // self.hop + 1 if length >= self.num_samples else 0

    def times(self, first: int, stop: int) -> FloatArray:
        """Start times in seconds of frames first to stop - 1."""
        times: FloatArray = np.arange(first, stop, dtype=np.float64) * self.hop / self.sample_rate
        return times
