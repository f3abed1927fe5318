"""What usually follows a gammatonegram: cepstral coefficients, regression
deltas, mean and variance normalisation, and the ERB-rate scale on which the
filters are spaced."""

from __future__ import annotations

import math
from typing import Any, Union, overload

import numpy as np
import numpy.typing as npt

from _tavik import cepstra

from ._analysis import check_integer, check_real, given
from ._signal import Gammatonegram

FloatArray = npt.NDArray[np.float64]
FeaturesLike = Union[Gammatonegram, npt.ArrayLike]

# The ERB-rate scale of Glasberg and Moore (1990), in the operation order of
# the filterbank's own design (extractor/gammatone_filterbank.hpp).
_ERB_SLOPE = 0.00437
_ERB_SCALE = 21.4


@overload
def hz_to_erb_rate(hz: float) -> float: ...
@overload
def hz_to_erb_rate(hz: npt.ArrayLike) -> FloatArray | float: ...
def hz_to_erb_rate(hz: npt.ArrayLike) -> FloatArray | float:
    """Frequency in Hz to ERB-rate, the scale the filterbank spaces its filters on.

    The ERB-rate of a frequency f in Hz is ``21.4 * log10(0.00437 * f + 1)``
    (Glasberg and Moore, 1990): the number of equivalent rectangular
    bandwidths below f. A :class:`GammatoneFilterbank` places its centre
    frequencies evenly on this scale from ``low_Hz`` to ``high_Hz``.

    Parameters
    ----------
    hz : float or array_like
        Frequencies in Hz.

    Returns
    -------
    float or numpy.ndarray
        The ERB-rate of each frequency: a float for a scalar, else a float64
        array of the same shape. Frequencies below -1/0.00437 Hz give NaN.

    Raises
    ------
    TypeError
        If ``hz`` holds something other than real numbers (strings,
        booleans, complex numbers).

    See Also
    --------
    erb_rate_to_hz : The inverse.

    References
    ----------
    B. R. Glasberg and B. C. J. Moore, "Derivation of auditory filter shapes
    from notched-noise data", Hearing Research 47 (1990), 103-138.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> round(tavik.hz_to_erb_rate(1000.0), 3)
    15.621
    >>> g = tavik.gammatonegram(np.zeros(16000), 16000,
    ...                         num_features=5)
    >>> erb = tavik.hz_to_erb_rate(g.centre_frequencies)
    >>> np.diff(erb).round(6)
    array([7.626834, 7.626834, 7.626834, 7.626834])
    """
    values = _real_values("hz", hz)
    erb = np.log10(_ERB_SLOPE * values + 1.0) * _ERB_SCALE
    return float(erb) if erb.ndim == 0 else erb


@overload
def erb_rate_to_hz(erb: float) -> float: ...
@overload
def erb_rate_to_hz(erb: npt.ArrayLike) -> FloatArray | float: ...
def erb_rate_to_hz(erb: npt.ArrayLike) -> FloatArray | float:
    """ERB-rate to frequency in Hz, the inverse of :func:`hz_to_erb_rate`.

    Parameters
    ----------
    erb : float or array_like
        Values on the ERB-rate scale.

    Returns
    -------
    float or numpy.ndarray
        ``(10 ** (erb / 21.4) - 1) / 0.00437`` Hz: a float for a scalar, else
        a float64 array of the same shape.

    Raises
    ------
    TypeError
        If ``erb`` holds something other than real numbers (strings,
        booleans, complex numbers).

    See Also
    --------
    hz_to_erb_rate : The scale itself.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> erb = tavik.hz_to_erb_rate(1000.0)
    >>> round(tavik.erb_rate_to_hz(erb), 9)
    1000.0
    >>> # Five centre frequencies evenly spaced in ERB-rate:
    >>> edges = tavik.hz_to_erb_rate([50.0, 8000.0])
    >>> tavik.erb_rate_to_hz(np.linspace(*edges, 5)).round(1)
    array([  50. ,  421.1, 1285.9, 3301.7, 8000. ])
    """
    values = _real_values("erb", erb)
    hz = (10.0 ** (values / _ERB_SCALE) - 1.0) / _ERB_SLOPE
    return float(hz) if hz.ndim == 0 else hz


def _real_values(name: str, values: npt.ArrayLike) -> FloatArray:
    """A number or an array of real numbers as float64, or a TypeError naming
    the parameter (strings, booleans and complex numbers are not taken)."""
    array = np.asarray(values)
    if array.dtype.kind not in "iufO":
        raise TypeError(f"{name} must be a real number or an array of real numbers; got a "
                        f"{array.ndim}-D {array.dtype} array")
    try:
        return np.asarray(array, dtype=np.float64)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a real number or an array of real numbers; got "
                        f"objects that are not numbers") from None


def _features_of(features: FeaturesLike, what: str) -> FloatArray:
    """The frames x values array of a gammatonegram or of any 2-D array of
    real numbers, or the frames x channels x values one of a gammatonegram
    of ``channel="each"`` or of any 3-D array, as float64."""
    array = np.asarray(features.features if isinstance(features, Gammatonegram) else features)
    if array.dtype.kind not in "iuf" or array.ndim not in (2, 3):
        raise TypeError(f"{what} must be a Gammatonegram or a 2-D array of real numbers "
                        f"(frames, values) or a 3-D one (frames, channels, values); got a "
                        f"{array.ndim}-D {array.dtype} array")
    return np.asarray(array, dtype=np.float64)


def gfcc(g: FeaturesLike, num_ceps: int = 13, *, lifter: float = 0) -> FloatArray:
    """Gammatone cepstral coefficients (GFCC) of a gammatonegram.

    The orthonormal DCT-II over the filter axis of ``g.features``, of which
    the first ``num_ceps`` coefficients are kept: for a row x of n features,
    coefficient k is ``s_k * sum(x[i] * cos(pi * k * (2i + 1) / (2n)))``,
    with ``s_0 = sqrt(1/n)`` and ``s_k = sqrt(2/n)`` otherwise. This is
    ``scipy.fft.dct(g.features, type=2, norm="ortho", axis=1)[:, :num_ceps]``
    to within a few roundings, computed in native code in a fixed order (the
    cosines from the basic floating-point operations, each sum from 0.0 in
    filter order), so the bits are the same on every machine.

    The usual pipeline compresses the filterbank's energies before the
    transform: the logarithm (the default ``transform`` of
    :func:`gammatonegram`, base 10), or the cube root of Shao and Wang's GFCC
    (``transform=tavik.transforms.power(1 / 3)``). Silence under a plain
    logarithm gives ``-inf`` features and so non-finite coefficients; a floor
    keeps them finite (``transform=tavik.transforms.log10(floor=1e-10)``).

    ``lifter=L`` weights coefficient n by HTK's sinusoidal lifter,
    ``c_n * (1 + L / 2 * sin(pi * n / L))`` for n = 0 .. num_ceps - 1 (the
    weights computed in that order, then one product each), which raises the
    higher coefficients to a range like the lower ones'; HTK's usual L is 22.

    Parameters
    ----------
    g : Gammatonegram or array_like
        A gammatonegram, or its features: any 2-D array of real numbers of
        shape (frames, filters), or 3-D of shape (frames, channels, filters)
        as with ``channel="each"``, each channel's rows taken on their own.
    num_ceps : int, default 13
        How many coefficients to keep, from 1 to the number of filters.
    lifter : float, default 0
        The lifter's L: 0 for none (the coefficients as the DCT gives them),
        else a positive finite number.

    Returns
    -------
    numpy.ndarray
        A float64 array of shape (frames, num_ceps), or (frames, channels,
        num_ceps) for features of a channel axis.

    Raises
    ------
    TypeError
        If ``g`` is neither a gammatonegram nor a 2-D or 3-D array of real
        numbers, ``num_ceps`` is not an integer, or ``lifter`` not a real number.
    ValueError
        If ``num_ceps`` is not between 1 and the number of filters, or
        ``lifter`` is negative or not finite.

    See Also
    --------
    deltas : Their regression deltas over frames.
    cmvn : Their mean and variance normalisation.

    References
    ----------
    S. Young et al., The HTK Book (for HTK version 3.4), Cambridge University
    Engineering Department, 2006, section 5.3 (liftering).

    Y. Shao, S. Srinivasan and D. Wang, "Incorporating auditory feature
    uncertainties in robust speaker identification", ICASSP 2007.

    X. Valero and F. Alias, "Gammatone cepstral coefficients: biologically
    inspired features for non-speech audio classification", IEEE
    Transactions on Multimedia 14 (2012), 1684-1689.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> sr = 16000
    >>> t = np.arange(sr) / sr
    >>> cube_root = tavik.transforms.power(1 / 3)
    >>> g = tavik.gammatonegram(np.sin(2 * np.pi * 440 * t), sr,
    ...                         transform=cube_root)
    >>> c = tavik.gfcc(g)
    >>> c.shape
    (98, 13)
    >>> np.allclose(c[:, 0], g.features.sum(axis=1) / np.sqrt(64))
    True

    Liftered as HTK does with L = 22, the first coefficient stays as it is:

    >>> lifted = tavik.gfcc(g, lifter=22)
    >>> bool((lifted[:, 0] == c[:, 0]).all())
    True
    """
    num_ceps = check_integer("num_ceps", num_ceps)
    check_real("lifter", lifter)
    lifter = float(lifter)
    if not (math.isfinite(lifter) and lifter >= 0):
        raise ValueError(f"lifter must be 0 (none) or a positive finite number, not {lifter!r}")
    features = _features_of(g, "g")
    n = features.shape[-1]
    if not 1 <= num_ceps <= n:
        raise ValueError(f"num_ceps must be between 1 and the number of filters ({n}), "
                         f"not {num_ceps}")
    # Each row of filters on its own: channel k of a channel axis is what
    # the features of channel k alone give.
    rows = np.ascontiguousarray(features).reshape(-1, n)
    ceps: FloatArray = cepstra.dct_rows(rows, num_ceps).reshape(*features.shape[:-1], num_ceps)
    if lifter:
        ceps *= 1.0 + lifter / 2.0 * np.sin(np.pi * np.arange(num_ceps) / lifter)
    return ceps


def cmvn(features: FeaturesLike, axis: int = 0, *, variance: bool = True) -> npt.NDArray[Any]:
    """Cepstral mean (and variance) normalisation.

    Subtracts from every value the mean along ``axis`` (by default over
    frames) and, with ``variance=True``, divides by the standard deviation
    along it (the population's, ``ddof=0``): every column then has mean 0
    and standard deviation 1, to within roundings. The usual last step
    before a classifier, for :func:`gfcc` coefficients or the features
    themselves.

    A column whose values are all equal (a constant feature, or a single
    frame) has no spread to divide by: it becomes 0, never NaN or
    infinite. A column holding NaN or an infinity (a plain logarithm of
    silence) becomes NaN, as NumPy's mean and standard deviation make it.

    Parameters
    ----------
    features : Gammatonegram or array_like
        A gammatonegram (its ``features`` are normalised), or an array of
        real numbers of any number of dimensions, such as ``gfcc``'s
        coefficients (frames, num_ceps).
    axis : int, default 0
        The axis along which means and deviations are taken; negative
        counts from the last.
    variance : bool, default True
        Also divide by the standard deviation; False subtracts the mean
        alone.

    Returns
    -------
    numpy.ndarray
        The normalised values, of the input's shape: float32 for float32
        input (computed in float64, rounded once at the end), float64
        otherwise. The input is not changed.

    Raises
    ------
    TypeError
        If ``features`` is neither a gammatonegram nor an array of real
        numbers, ``axis`` is not an integer, or ``variance`` not a bool.
    ValueError
        If ``axis`` is out of range for the features' dimensions.

    See Also
    --------
    gfcc : The usual input.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> x = np.array([[1.0, 5.0], [2.0, 5.0], [3.0, 5.0]])
    >>> tavik.cmvn(x)
    array([[-1.22474487,  0.        ],
           [ 0.        ,  0.        ],
           [ 1.22474487,  0.        ]])
    >>> tavik.cmvn(x, variance=False)
    array([[-1.,  0.],
           [ 0.,  0.],
           [ 1.,  0.]])

    After the cepstra of a gammatonegram:

    >>> sr = 16000
    >>> signal = np.sin(2 * np.pi * 440 * np.arange(sr) / sr)
    >>> c = tavik.cmvn(tavik.gfcc(tavik.gammatonegram(signal, sr)))
    >>> bool(np.allclose(c.mean(axis=0), 0) and np.allclose(c.std(axis=0), 1))
    True
    """
    array = np.asarray(features.features if isinstance(features, Gammatonegram) else features)
    if array.dtype.kind not in "iuf" or array.ndim == 0:
        raise TypeError(f"features must be a Gammatonegram or an array of real numbers; got a "
                        f"{array.ndim}-D {array.dtype} array")
    axis = check_integer("axis", axis)
    if not -array.ndim <= axis < array.ndim:
        raise ValueError(f"axis must be from {-array.ndim} to {array.ndim - 1} for features "
                         f"of {array.ndim} dimension(s), not {axis}")
    if not isinstance(variance, (bool, np.bool_)):
        raise TypeError(f"variance must be a bool, not {given(variance)}")
    result_type = np.float32 if array.dtype == np.float32 else np.float64
    values = np.asarray(array, dtype=np.float64)
    if values.shape[axis] == 0:
        return np.array(values, dtype=result_type)
    with np.errstate(invalid="ignore"):  # inf - inf: the NaN documented above
        centred = values - values.mean(axis=axis, keepdims=True)
        # All equal: exactly 0, whatever the rounding of their mean.
        top = values.max(axis=axis, keepdims=True)
        constant = (top == values.min(axis=axis, keepdims=True)) & np.isfinite(top)
        centred = np.where(constant, 0.0, centred)
        if variance:
            spread = np.sqrt(np.mean(centred * centred, axis=axis, keepdims=True))
            centred /= np.where(constant, 1.0, spread)
    return np.asarray(centred, dtype=result_type)


def deltas(features: FeaturesLike, width: int = 9, order: int = 1) -> FloatArray:
    """Regression deltas over frames, as HTK computes them.

    For a half-width ``T = (width - 1) // 2``, the delta of frame t is
    ``sum(k * (x[t + k] - x[t - k]) for k in 1..T) / (2 * sum(k**2))``,
    where frames before the first and after the last repeat the first and
    the last frame. ``order=2`` gives the deltas of the deltas (the
    acceleration coefficients), and so on.

    Parameters
    ----------
    features : Gammatonegram or array_like
        A gammatonegram, or any 2-D array of real numbers of shape (frames,
        values), for instance the coefficients of :func:`gfcc`, or 3-D of
        shape (frames, channels, values) as with ``channel="each"``.
    width : int, default 9
        Frames in the regression window: odd, at least 3.
    order : int, default 1
        How many times to take the deltas: 1 or more.

    Returns
    -------
    numpy.ndarray
        A float64 array of the shape of the features.

    Raises
    ------
    TypeError
        If ``features`` is not a gammatonegram or a 2-D or 3-D array of
        real numbers, or ``width`` or ``order`` is not an integer.
    ValueError
        If ``width`` is even or below 3, or ``order`` below 1.

    References
    ----------
    S. Young et al., The HTK Book (for HTK version 3.4), Cambridge University
    Engineering Department, 2006, section 5.6.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> ramp = np.arange(6.0).reshape(-1, 1)
    >>> tavik.deltas(ramp, width=3).ravel()
    array([0.5, 1. , 1. , 1. , 1. , 0.5])
    >>> tavik.deltas(ramp, width=3, order=2).ravel()
    array([ 0.25,  0.25,  0.  ,  0.  , -0.25, -0.25])

    Features with their deltas and delta-deltas, side by side:

    >>> sr = 16000
    >>> signal = np.sin(2 * np.pi * 440 * np.arange(sr) / sr)
    >>> c = tavik.gfcc(tavik.gammatonegram(signal, sr))
    >>> d1, d2 = tavik.deltas(c), tavik.deltas(c, order=2)
    >>> np.hstack([c, d1, d2]).shape
    (98, 39)
    """
    width = check_integer("width", width)
    order = check_integer("order", order)
    if width < 3 or width % 2 == 0:
        raise ValueError(f"width must be odd and at least 3, not {width}")
    if order < 1:
        raise ValueError(f"order must be at least 1, not {order}")
    values = _features_of(features, "features")
    half = (width - 1) // 2
    denominator = 2.0 * sum(k * k for k in range(1, half + 1))
    frames = values.shape[0]
    result: FloatArray = np.array(values, dtype=np.float64)
    for _ in range(order):
        if frames == 0:
            break
        padded = np.pad(result, ((half, half),) + ((0, 0),) * (result.ndim - 1), mode="edge")
        total = np.zeros_like(result)
        for k in range(1, half + 1):
            total += k * (padded[half + k:half + k + frames] - padded[half - k:half - k + frames])
        result = total / denominator
    return result

