"""The frequency response of each filter of a filterbank, from its designed
record: what the analytic band output of a filter makes of a complex tone."""

from __future__ import annotations

from typing import Final

import numpy as np
import numpy.typing as npt

from _tavik.extractor import GammatoneFilterbank

from ._analysis import given
from ._features import _real_values

# 2π to the precision of long double (64 bits of mantissa on x86, 113 where
# it is quadruple; the double's own where long double is double).
_TWO_PI: Final = np.longdouble("6.2831853071795864769252867665590057683943387987502")


def filter_records(filterbank: GammatoneFilterbank) -> tuple[npt.NDArray[np.float64], ...]:
    """The designed record of every filter as arrays, one value per filter:
    cf, coscf, sincf, gain and d, the radius of its fourfold pole (a[0] is
    4d, so d is a[0] / 4 exactly). coscf and sincf are the cosine and sine
    of the phase advance per sample that the filter's phasor turns by,
    read from the record's state (cf, coscf, sincf, gain, a)."""
    states = [f.__getstate__() for f in filterbank.filters]
    cf, coscf, sincf, gain = (np.array([s[i] for s in states], dtype=np.float64)
                              for i in range(4))
    d = np.array([s[4][0] for s in states], dtype=np.float64) / 4.0
    return cf, coscf, sincf, gain, d


def frequency_response(filterbank: GammatoneFilterbank,
                       frequencies: npt.ArrayLike) -> npt.NDArray[np.complex128]:
    """The complex frequency response of every filter of a filterbank.

    Each filter multiplies the signal by the phasor ``exp(-1j * theta * n)``
    (``theta`` its phase advance per sample at its centre frequency), runs
    it through four coincident poles at radius ``d`` and two zeros,
    ``(1 + 4d z^-1 + d^2 z^-2) / (1 - d z^-1)^4``, and scales it by its
    gain; the envelope that the features average is the magnitude of that
    analytic band output. For an input ``exp(1j * w * n)`` the band output
    is ``H(w) * exp(1j * w * n)``, shifted back up, with

        ``H(w) = gain * (1 + 4d e^{-j phi} + d^2 e^{-2j phi}) / (1 - d e^{-j phi})^4``

    at the baseband angle ``phi = w - theta``, ``w = 2 pi f / sample_rate``.
    So ``abs(H)`` at ``f`` is the filter's mean envelope for a unit complex
    tone of ``f`` Hz, and a real tone ``cos(w n)`` gives the two terms of
    ``f`` and ``-f``, halved. Negative frequencies are the images.

    The response is evaluated from the filters' own records
    (:attr:`GammatoneFilterbank.filters`): ``d`` from their coefficients,
    ``theta`` as the angle of the phasor they turn by (its cosine and sine),
    and accurate to a few units in the last place times the condition of
    the problem: ``f`` is first reduced by whole periods of the sample rate
    (exactly), then ``phi`` is formed without cancellation, as
    ``2 pi (f - cf) / sample_rate`` plus the small difference between
    ``2 pi cf / sample_rate`` and ``theta`` (both in long double where it is
    wider than double), and ``1 - d e^{-j phi}`` as
    ``(1 - d) + d (2 sin^2(phi / 2) + j sin phi)``, whose real part is a sum
    of positive terms.

    Parameters
    ----------
    filterbank : GammatoneFilterbank
        The filters, as designed for its sample rate.
    frequencies : float or array_like
        Frequencies in Hz: a number or a 1-D array of real numbers, finite,
        of any sign and beyond the Nyquist frequency too (the response is
        periodic in the sample rate).

    Returns
    -------
    numpy.ndarray
        complex128, shape (len(frequencies), num_features) (one row for a
        number): the response of filter k at frequency i in column k of row
        i.

    Raises
    ------
    TypeError
        If ``filterbank`` is not a :class:`GammatoneFilterbank`, or
        ``frequencies`` holds anything but real numbers.
    ValueError
        If ``frequencies`` has more than one dimension or is not finite.

    See Also
    --------
    GammatoneFilterbank.filters : The records it is computed from.

    Examples
    --------
    >>> import numpy as np
    >>> import tavik
    >>> fb = tavik.GammatoneFilterbank(num_samples=400, num_features=8,
    ...                                sample_rate=16000)
    >>> cf = fb.centre_frequencies
    >>> h = tavik.frequency_response(fb, cf)
    >>> h.shape
    (8, 8)
    >>> peak = np.abs(np.diag(h))          # each filter at its own centre
    >>> peak.round(2)             # for exp(1j w n); a real tone gives half
    array([2.02, 2.04, 2.06, 2.11, 2.17, 2.29, 2.49, 2.85])
    >>> bool(abs(h[7, 0]) < 1e-8)  # the 50 Hz filter at 7200 Hz
    True
    """
    if not isinstance(filterbank, GammatoneFilterbank):
        raise TypeError(f"filterbank must be a GammatoneFilterbank, not {given(filterbank)}")
    f = _real_values("frequencies", frequencies)
    if f.ndim > 1:
        raise ValueError(f"frequencies must be a number or a 1-D array, not an array of shape "
                         f"{f.shape}")
    f = np.atleast_1d(f)
    if not np.isfinite(f).all():
        raise ValueError("frequencies must be finite")
    cf, coscf, sincf, gain, d = filter_records(filterbank)
    rate = float(filterbank.sample_rate)
    # The response is periodic in the sample rate: f reduced to [-fs/2, fs/2),
    # exactly (fmod is exact, and so is the step of one period after it).
    f = np.fmod(f, rate)
    f = np.where(f >= rate / 2, f - rate, np.where(f < -rate / 2, f + rate, f))
    fs = np.longdouble(rate)
    theta = np.arctan2(sincf.astype(np.longdouble), coscf.astype(np.longdouble))
    # phi = 2 pi f / fs - theta, without the cancellation of that difference
    # near cf: f - cf is exact there, and the remainder, 2 pi cf / fs - theta,
    # is of the order of a rounding of theta.
    offset = (f[:, None] - cf[None, :]).astype(np.longdouble)
    phi = ((_TWO_PI / fs) * offset + ((_TWO_PI * cf.astype(np.longdouble)) / fs - theta)
           ).astype(np.float64)
    half = np.sin(0.5 * phi)
    sin_phi, cos_phi = np.sin(phi), np.cos(phi)
    denominator = ((1.0 - d) + d * (2.0 * half * half)) + 1j * (d * sin_phi)
    denominator = denominator * denominator
    denominator = denominator * denominator
    numerator = (1.0 + 4.0 * d * (cos_phi - 1j * sin_phi)
                 + (d * d) * (np.cos(2.0 * phi) - 1j * np.sin(2.0 * phi)))
    response: npt.NDArray[np.complex128] = gain * (numerator / denominator)
    return response
