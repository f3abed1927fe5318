#!/usr/bin/env python3
"""What tavik's levels mean, measured: the gain at each centre frequency, the
mean envelope against the RMS of tones and noise, the bandwidths, the centre
frequencies, the top band near the Nyquist frequency, and the ``gammatone``
package's gtgram and pyfar's GammatoneBands on the same signal when those
packages are installed.

    python examples/levels.py

Everything is measured through the public API: :func:`tavik.gammatonegram`
with ``transform=None`` (each feature the mean of one filter's envelope over a
frame) on steady tones and noise, and the filter records of
:class:`tavik.GammatoneFilterbank`. docs/levels.rst quotes what it prints.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

import tavik

FloatArray = npt.NDArray[np.float64]

SAMPLE_RATE = 16000
# Each tone is measured over the second half of its segment: after 0.125 s
# the lowest filter (50 Hz) has forgotten the previous tone to about -140 dB.
SEGMENT = SAMPLE_RATE // 4
HALF = SEGMENT // 2
DB_PER_NEPER = 20 / math.log(10)  # 8.686 dB
HALF_POWER_DB = -10 * math.log10(2)


def erb(hz: FloatArray | float) -> FloatArray:
    """The equivalent rectangular bandwidth of hearing at hz (Glasberg and
    Moore, 1990), in Hz."""
    return np.asarray(24.7 * (0.00437 * np.asarray(hz) + 1.0), dtype=np.float64)


def bandwidth(cf: FloatArray | float) -> FloatArray:
    """B, the bandwidth of the filter at cf in radians per sample: 1.019 ERB."""
    return 2 * np.pi * 1.019 * erb(cf) / SAMPLE_RATE


def gain_at_cf_dB(cf: FloatArray | float) -> FloatArray:
    """The gain at cf that the design predicts: 8.686 B dB, the factor e**B."""
    return DB_PER_NEPER * bandwidth(cf)


def gammatonegram(signal: FloatArray, high_Hz: float = 7200.0,
                  frame: int | None = None) -> FloatArray:
    """The raw features (mean envelopes) of 64 filters from 50 Hz to `high_Hz`,
    in frames of `frame` samples that follow each other (25 ms every 10 ms
    by default)."""
    return tavik.gammatonegram(signal, SAMPLE_RATE, num_samples=frame, hop=frame,
                               num_features=64, low_Hz=50, high_Hz=high_Hz,
                               transform=None).features


def tone_responses(frequencies: Sequence[float] | FloatArray,
                   high_Hz: float = 7200.0) -> FloatArray:
    """The mean envelope of every filter for a sine of amplitude 1 at each
    frequency: rows are frequencies, columns filters. The tones follow each
    other in one signal, one segment each, and only the second half of a
    segment, after the filters have settled on its tone, is read."""
    n = np.arange(SEGMENT)
    signal = np.concatenate([np.sin(2 * np.pi * f / SAMPLE_RATE * n) for f in frequencies])
    return gammatonegram(signal, high_Hz, frame=HALF)[1::2]


def crossing(erb_rates: FloatArray, levels: FloatArray, start: int, step: int,
             threshold: float) -> float:
    """The ERB-rate at which `levels` (dB against a grid of ERB-rates) first
    falls below `threshold`, walking from index `start` by `step`: the root
    of the cubic through the four grid points around the crossing. NaN if
    the grid ends first."""
    i = start
    while levels[i + step] >= threshold:
        i += step
        if not 0 <= i + step < len(levels):
            return math.nan
    lo, hi = sorted((i, i + step))
    around = slice(max(lo - 1, 0), min(hi + 2, len(levels)))
    cubic = np.polynomial.Polynomial.fit(erb_rates[around], levels[around] - threshold, 3)
    roots = [r.real for r in cubic.roots()
             if abs(r.imag) < 1e-9 and erb_rates[lo] <= r.real <= erb_rates[hi]]
    return float(roots[0])


def section(title: str) -> None:
    print(f"\n{title}\n{'-' * len(title)}")


def main() -> None:
    rng = np.random.default_rng(2026)
    fb = tavik.GammatoneFilterbank(sample_rate=SAMPLE_RATE, low_Hz=50, high_Hz=7200)
    cf = np.array([f.cf for f in fb.filters])
    gain = np.array([f.gain for f in fb.filters])
    print(f"{len(cf)} filters from {cf[0]:g} to {cf[-1]:g} Hz at {SAMPLE_RATE} Hz "
          f"(tavik {tavik.__version__}; NumPy {np.__version__})")

    section("What a level is")
    t = np.arange(SAMPLE_RATE) / SAMPLE_RATE
    k1000 = int(np.argmin(abs(cf - 1000)))
    for amplitude in (1.0, 0.1):
        tone = amplitude * np.sin(2 * np.pi * cf[k1000] * t)
        # The default features (transform=tavik.LOG10) are log10 of the raw ones.
        features = tavik.gammatonegram(tone, SAMPLE_RATE, num_features=64, low_Hz=50,
                                       high_Hz=7200).features
        assert np.allclose(features, np.log10(gammatonegram(tone)), rtol=0, atol=1e-15)
        level = features[50:, k1000].mean()
        print(f"sine of amplitude {amplitude:g} at {cf[k1000]:.1f} Hz: level {level:+.4f} "
              f"(log10 of the mean envelope) = {20 * level:+.2f} dB")

    section("Gain at each centre frequency")
    at_cf = np.diag(tone_responses(cf))
    gain_dB = 20 * np.log10(at_cf)
    print(f"sine of amplitude 1 at each cf: mean envelope {gain_dB[0]:+.3f} dB in the "
          f"lowest band to {gain_dB[-1]:+.3f} dB in the highest")
    deviation = gain_dB - gain_at_cf_dB(cf)
    print(f"against 8.686 * B dB, B = 2 pi 1.019 ERB(cf) / fs: differences "
          f"{np.min(deviation):+.4f} to {np.max(deviation):+.4f} dB")
    print(f"the records' gain is B**4 / 3 (largest relative difference "
          f"{np.max(abs((3 * gain) ** 0.25 / bandwidth(cf) - 1)):.1e})")

    section("Mean envelope against RMS")
    rms = 1 / math.sqrt(2)
    print(f"sine at {cf[k1000]:.1f} Hz, RMS {rms:.4f}: level - 20 log10(RMS) - gain at cf = "
          f"{20 * math.log10(at_cf[k1000] / rms) - gain_dB[k1000]:+.3f} dB")

    # Every filter's response to a grid of tones, 0.04 ERB-rate apart, from
    # 10 Hz up to the Nyquist frequency: bandwidths and noise bandwidths.
    grid_erb = np.arange(tavik.hz_to_erb_rate(10.0),
                         tavik.hz_to_erb_rate(SAMPLE_RATE / 2 - 1), 0.04, dtype=np.float64)
    grid = np.asarray(tavik.erb_rate_to_hz(grid_erb))
    sweep = tone_responses(grid)
    # The integral of |H|^2 over Hz, by the trapezoidal rule.
    power_bandwidth = (np.diff(grid)[:, None] * (sweep[1:] ** 2 + sweep[:-1] ** 2) / 2).sum(axis=0)

    noise = rng.standard_normal(30 * SAMPLE_RATE)
    noise_level = gammatonegram(noise)[20:].mean(axis=0)
    band_rms = np.sqrt(2 / SAMPLE_RATE * power_bandwidth)  # of the band's output, noise of RMS 1
    noise_dB = 20 * np.log10(noise_level / band_rms)
    middle = (cf >= 200) & (cf <= 6000)
    print(f"Gaussian noise, 30 s: mean envelope over the band's RMS {np.median(noise_dB):+.3f} dB "
          f"(median over the bands from 200 Hz to 6 kHz; {noise_dB[middle].min():+.3f} to "
          f"{noise_dB[middle].max():+.3f}); Rayleigh: 20 log10(sqrt(pi / 2)) = "
          f"{20 * math.log10(math.sqrt(math.pi / 2)):+.3f} dB")

    section("Bandwidths")
    print(f"from the response of every band to sines at {len(grid)} frequencies, 0.04 "
          f"ERB-rate apart from 10 Hz to the Nyquist frequency")
    widths: dict[str, list[float]] = {"half-power": [], "-10 dB": []}
    for k in range(len(cf)):
        levels = 20 * np.log10(sweep[:, k] / at_cf[k])
        peak = int(np.searchsorted(grid, cf[k]))
        for name, threshold in (("half-power", HALF_POWER_DB), ("-10 dB", -10.0)):
            low = tavik.erb_rate_to_hz(crossing(grid_erb, levels, peak, -1, threshold))
            high = tavik.erb_rate_to_hz(crossing(grid_erb, levels, peak - 1, 1, threshold))
            widths[name].append(float((high - low) / erb(cf[k])))
    for name, ideal in (("half-power", 0.8865), ("-10 dB", 1.7979)):
        w = np.array(widths[name])
        print(f"{name} bandwidth: {np.nanmin(w):.4f} to {np.nanmax(w):.4f} ERB(cf) "
              f"({np.min(w[middle]):.4f} to {np.max(w[middle]):.4f} from 200 Hz to 6 kHz); "
              f"ideal 4th-order gammatone, b = 1.019 ERB: {ideal}")
    enbw = power_bandwidth / at_cf ** 2 / erb(cf)
    print(f"noise bandwidth (integral of |H|^2 over |H(cf)|^2): {np.min(enbw[middle]):.4f} to "
          f"{np.max(enbw[middle]):.4f} ERB(cf) from 200 Hz to 6 kHz")

    section("Centre frequencies")
    slaney = slaney_centre_frequencies(50.0, 7200.0, len(cf))
    print(f"tavik: {float(cf[0])!r} to {float(cf[-1])!r} Hz, both bounds included")
    print(f"Slaney's ERBSpace (the gammatone package's centre_freqs): {slaney[0]:.3f} to "
          f"{slaney[-1]:.3f} Hz: the low bound included, the highest one step below the high")

    section("The top band near the Nyquist frequency")
    print("high_Hz   sine at the top cf   white noise in the top band   (dB against a band of\n"
          "                                                              gain 8.686 B dB, 1 ERB)")
    for high in (7200.0, 7600.0, 7800.0, 7900.0, 7990.0, 8000.0):
        top_cf = tavik.GammatoneFilterbank(sample_rate=SAMPLE_RATE, low_Hz=50,
                                           high_Hz=high).filters[-1].cf
        top_gain = float(gain_at_cf_dB(top_cf))
        # A sine at the Nyquist frequency is zero at every sample.
        sine = (f"{20 * math.log10(tone_responses([top_cf], high)[0, -1]) - top_gain:+.2f}"
                if top_cf < SAMPLE_RATE / 2 else "-")
        band = gammatonegram(noise, high)[20:, -1].mean()
        # Noise of RMS 1 through a band of 1 ERB with that gain, Rayleigh envelope.
        ideal = math.sqrt(math.pi / 2 * 2 / SAMPLE_RATE * float(erb(top_cf)))
        print(f"{high:7g}   {sine:>18}   {20 * math.log10(band / ideal) - top_gain:+27.2f}")

    section("The gammatone package's gtgram on the same noise")
    compare_gtgram(noise[:10 * SAMPLE_RATE])
    section("pyfar's GammatoneBands (Hohmann's filterbank) on the same noise")
    compare_pyfar(noise[:10 * SAMPLE_RATE])


def slaney_centre_frequencies(low: float, high: float, n: int) -> FloatArray:
    """Slaney's ERBSpace (Apple TR #35), ascending: n frequencies evenly spaced
    on the same ERB-rate scale, the lowest at `low`, the highest 1/n of the
    range below `high`."""
    q = 9.26449 * 24.7
    fraction = np.arange(n, 0, -1) / n
    return np.asarray(-q + np.exp(fraction * (np.log(low + q) - np.log(high + q))) * (high + q))


def compare_gtgram(noise: FloatArray) -> None:
    try:
        gtgram = importlib.import_module("gammatone.gtgram")
    except ImportError:
        print("not installed (pip install gammatone==1.0.3, or the bench extra)")
        return
    n = 64
    peer = gtgram.gtgram(noise, SAMPLE_RATE, 0.025, 0.010, n, 50, 7200).T  # rows: frames
    peer_cf = slaney_centre_frequencies(50.0, 7200.0, n)
    g = tavik.gammatonegram(noise, SAMPLE_RATE, num_features=n, low_Hz=50,
                            high_Hz=float(peer_cf[-1]), transform=None)
    skip = 20  # both run from rest: leave their first 200 ms out
    ours, peer = g.features[skip:], peer[skip:]
    # The mean envelope over the whole noise against the RMS over the whole noise.
    difference = 20 * np.log10(ours.mean(axis=0) / np.sqrt((peer ** 2).mean(axis=0)))
    offset = difference - gain_at_cf_dB(g.centre_frequencies)
    correlation = np.corrcoef(np.log(ours).ravel(), np.log(peer).ravel())[0, 1]
    print(f"{len(g.features)} frames of 10 s of white noise, 64 bands from 50 to {peer_cf[-1]:.1f} Hz "
          f"(the peer's centre frequencies, matched to {np.max(abs(g.centre_frequencies - peer_cf)):.0e} Hz)")
    print(f"tavik's mean envelope over gtgram's RMS (unit gain at cf), whole noise: "
          f"{difference.min():+.2f} to {difference.max():+.2f} dB per band")
    print(f"the same less tavik's gain at cf: {offset.min():+.2f} to {offset.max():+.2f} dB "
          f"(median {np.median(offset):+.3f})")
    print(f"correlation of the log levels, frame by frame: {correlation:.4f}")



def compare_pyfar(noise: FloatArray) -> None:
    try:
        pyfar = importlib.import_module("pyfar")
    except ImportError:
        print("not installed (pip install pyfar)")
        return
    # One band per ERB from 50 to 7200 Hz, placed around 1 kHz: tavik's bank
    # from the lowest to the highest of them has the same centre frequencies.
    bands = pyfar.dsp.filter.GammatoneBands([50, 7200], sampling_rate=SAMPLE_RATE)
    peer_cf = np.asarray(bands.frequencies)
    real, imag = bands.process(pyfar.Signal(noise, SAMPLE_RATE))
    envelope = np.hypot(real.time, imag.time).reshape(len(peer_cf), -1)  # (bands, samples)
    frames = np.lib.stride_tricks.sliding_window_view(envelope, 400, axis=1)[:, ::160]
    peer = frames.mean(axis=2).T  # the mean envelope of each band over each frame
    g = tavik.gammatonegram(noise, SAMPLE_RATE, num_features=len(peer_cf),
                            low_Hz=float(peer_cf[0]), high_Hz=float(peer_cf[-1]), transform=None)
    skip = 20
    ours, peer = g.features[skip:], peer[skip:len(g.features)]
    difference = 20 * np.log10(ours.mean(axis=0) / peer.mean(axis=0))
    offset = difference - gain_at_cf_dB(g.centre_frequencies)
    correlation = np.corrcoef(np.log(ours).ravel(), np.log(peer).ravel())[0, 1]
    print(f"pyfar {pyfar.__version__}: {len(peer_cf)} bands from {peer_cf[0]:.1f} to "
          f"{peer_cf[-1]:.1f} Hz (matched to {np.max(abs(g.centre_frequencies - peer_cf)):.0e} Hz), "
          f"the mean envelope of both over 25 ms frames every 10 ms")
    print(f"tavik's over pyfar's (unit gain at cf), whole noise: {difference.min():+.2f} to "
          f"{difference.max():+.2f} dB per band; less tavik's gain at cf: "
          f"{offset.min():+.3f} to {offset.max():+.3f} dB")
    print(f"correlation of the log levels, frame by frame: {correlation:.4f}")


if __name__ == "__main__":
    main()
