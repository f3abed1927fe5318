"""Pictures of gammatonegrams. matplotlib is imported when a picture is drawn,
so that `import tavik` needs NumPy alone."""

from __future__ import annotations

import warnings
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from _tavik import transforms

from ._analysis import check_integer, check_real
from ._features import _real_values, erb_rate_to_hz, hz_to_erb_rate
from ._signal import Gammatonegram

if TYPE_CHECKING:
    from matplotlib.axes import Axes

# Frames pooled per pass, so that pooling a long recording never makes a
# full-size copy of its features.
_POOL_FRAMES = 1 << 16
_TICKS_HZ = (20, 50, 100, 200, 500, 1000, 2000, 4000, 8000, 16000, 32000)


def _erb_rate(hz: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """The ERB-rate scale of the axis, 0 below 0 Hz."""
    return np.asarray(hz_to_erb_rate(np.maximum(hz, 0.0)), dtype=np.float64)


def _hz(erb: npt.ArrayLike) -> npt.NDArray[np.float64]:
    return np.asarray(erb_rate_to_hz(erb), dtype=np.float64)


def _as_amplitude(g: Gammatonegram) -> tuple[Any, str]:
    """How features become the linear values that are pooled (mean envelope,
    or the feature itself), and the colour bar's label."""
    transform = g.transform
    if isinstance(transform, transforms.log10):
        return (lambda f: 10.0 ** f), "level (dB, 20·log10 of the mean envelope)"
    if isinstance(transform, transforms.dB):
        return (lambda f: 10.0 ** (f / 20)), "level (dB, 20·log10 of the mean envelope)"
    return None, "feature"


def _pooled(features: npt.NDArray[np.float64], edges: npt.NDArray[np.intp],
            to_linear: Any) -> npt.NDArray[np.float64]:
    """The mean of each run of frames [edges[i], edges[i + 1]) (of the linear
    values, for levels), computed a bounded number of frames at a time."""
    columns = np.empty((len(edges) - 1, features.shape[1]))
    start = 0
    while start < len(edges) - 1:
        # Whole columns, about _POOL_FRAMES frames (at least one column).
        stop = max(start + 1, int(np.searchsorted(edges, edges[start] + _POOL_FRAMES, "right")) - 1)
        stop = min(stop, len(edges) - 1)
        part = features[edges[start]:edges[stop]]
        values = to_linear(part) if to_linear is not None else part
        sums = np.add.reduceat(values, edges[start:stop] - edges[start], axis=0)
        columns[start:stop] = sums / np.diff(edges[start:stop + 1])[:, None]
        start = stop
    return columns


def _row_edges_of(frames: int, times: npt.ArrayLike | None, sample_rate: object,
                  hop: object) -> npt.NDArray[np.float64]:
    """The times at which the rows of a plain array start, and where the last
    ends: from `times` (each row's start, or every row's edges), else from
    `sample_rate` and `hop` (row i from i·hop to (i + 1)·hop samples)."""
    if times is not None:
        if sample_rate is not None or hop is not None:
            raise TypeError("plot takes times or sample_rate and hop, not both")
        values = np.asarray(times)
        if values.dtype.kind not in "iuf" or values.ndim != 1:
            raise TypeError(f"times must be a 1-D array of real numbers; got a {values.ndim}-D "
                            f"{values.dtype} array")
        edges = np.asarray(values, dtype=np.float64)
        if len(edges) not in (frames, frames + 1):
            raise ValueError(f"times must hold the start of each of the {frames} rows (or "
                             f"{frames + 1} edges), not {len(edges)} values")
        if not (np.isfinite(edges).all() and (np.diff(edges) > 0).all()):
            raise ValueError("times must be finite and increasing")
        if len(edges) == frames and frames:
            # The last row lasts as long as the one before (a lone row 1 s).
            step = edges[-1] - edges[-2] if frames > 1 else 1.0
            edges = np.append(edges, edges[-1] + step)
        return edges
    if sample_rate is None or hop is None:
        raise TypeError("plot of a plain array needs times, or sample_rate and hop")
    rate = check_integer("sample_rate", sample_rate, 1, integral_floats=True)
    step = check_integer("hop", hop, 1)
    return np.arange(frames + 1, dtype=np.float64) * step / rate  # as Gammatonegram.times


def plot(g: Gammatonegram | npt.ArrayLike, ax: Axes | None = None, top_dB: float | None = None,
         *, centre_frequencies: npt.ArrayLike | None = None, times: npt.ArrayLike | None = None,
         sample_rate: int | None = None, hop: int | None = None,
         floor_dB: float | None = None) -> Axes:
    """Draw a gammatonegram: time against centre frequency on the ERB-rate axis.

    Levels are shown in dB (20·log10 of each filter's mean envelope) down to
    ``top_dB`` below the loudest cell, named on the colour bar; quieter
    cells, digital silence (``-inf``) among them, are drawn at that floor,
    never as holes. The picture is drawn at display resolution: runs of
    frames are pooled into the picture's columns (the mean of their
    envelopes), so a long recording costs no more to draw than a short one.
    Features of another transform than log10 or dB are drawn as they are.
    matplotlib is imported by this call.

    A plain array of shape (frames, filters) is drawn too, as
    ``librosa.display.specshow`` draws one: its values as they are (pooled
    by their mean, the colours from the smallest to the largest finite
    value), with the ``centre_frequencies`` of its columns and the times of
    its rows, given as ``times`` or as ``sample_rate`` and ``hop``.

    Parameters
    ----------
    g : Gammatonegram or array_like
        What :func:`tavik.gammatonegram` returns, or a 2-D array of real
        numbers (frames, filters).
    ax : matplotlib.axes.Axes, optional
        Where to draw; by default a new figure of 10 x 4.8 inches.
    top_dB : float, default 100
        Range of levels shown, in dB below the loudest cell (librosa's name
        for the same idea): a positive number. For levels only.
    centre_frequencies : array_like, optional
        Of a plain array: the centre frequency of each column in Hz,
        positive and increasing.
    times : array_like, optional
        Of a plain array: the time of each row's start in seconds (the last
        row lasts as long as the one before), or of every row's edges (one
        more value than rows); finite and increasing.
    sample_rate, hop : int, optional
        Of a plain array, instead of ``times``: rows ``hop`` samples apart
        at ``sample_rate`` Hz, the first at 0 s (``hop=1`` for a value per
        sample).
    floor_dB : float, optional
        Deprecated: the former name of ``top_dB``, accepted for one release
        with a DeprecationWarning.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn into, with a colour bar beside them.

    Raises
    ------
    TypeError
        If ``g`` is neither a :class:`Gammatonegram` nor a 2-D array of real
        numbers; ``top_dB`` is not a real number, or given with
        ``floor_dB``; a plain array lacks ``centre_frequencies`` or its
        times, or is given both ``times`` and ``sample_rate`` and ``hop``;
        a gammatonegram is given any of these; or they are not numbers.
    ValueError
        If ``top_dB`` is not positive, ``centre_frequencies`` or ``times``
        do not match the array or are not increasing, or ``sample_rate`` or
        ``hop`` is not positive.

    Examples
    --------
    >>> import numpy as np, tavik
    >>> t = np.arange(16000) / 16000
    >>> g = tavik.gammatonegram(np.sin(2 * np.pi * 440 * t), 16000)
    >>> ax = tavik.plot(g, top_dB=80)
    >>> ax.figure.savefig("tone.png")  # doctest: +SKIP

    Any array of (frames, filters), such as the normalised features:

    >>> ax = tavik.plot(tavik.cmvn(g), centre_frequencies=g.centre_frequencies,
    ...                 sample_rate=g.sample_rate, hop=g.hop)
    """
    name = "top_dB"
    if floor_dB is not None:
        if top_dB is not None:
            raise TypeError("plot takes top_dB or its former name floor_dB, not both")
        name, top_dB = "floor_dB", floor_dB
    if top_dB is None:
        top_dB = 100.0
    check_real(name, top_dB)
    if not top_dB > 0:
        raise ValueError(f"{name} must be positive, not {top_dB!r}")
    if floor_dB is not None:
        warnings.warn("plot's floor_dB is now called top_dB; floor_dB will be removed in the "
                      "next release", DeprecationWarning, stacklevel=2)
    to_linear: Any
    if isinstance(g, Gammatonegram):
        given_axes = {"centre_frequencies": centre_frequencies, "times": times,
                      "sample_rate": sample_rate, "hop": hop}
        extra = [name for name, value in given_axes.items() if value is not None]
        if extra:
            raise TypeError(f"plot takes {', '.join(extra)} for a plain array only; a "
                            f"Gammatonegram has its own")
        features, centres = g.features, g.centre_frequencies
        frames = features.shape[0]
        row_edges = np.arange(frames + 1) * (g.hop / g.sample_rate)
        if frames:
            row_edges[-1] = ((frames - 1) * g.hop + g.num_samples) / g.sample_rate
        to_linear, label = _as_amplitude(g)
    else:
        if isinstance(g, (str, bytes)):
            raise TypeError(f"g must be a Gammatonegram (what tavik.gammatonegram or tavik.load "
                            f"returns) or a 2-D array of real numbers, not {type(g).__name__}")
        array = np.asarray(g)
        if array.dtype.kind not in "iuf" or array.ndim != 2:
            raise TypeError(f"g must be a Gammatonegram (what tavik.gammatonegram or tavik.load "
                            f"returns) or a 2-D array of real numbers (frames, filters); got a "
                            f"{array.ndim}-D {array.dtype} array")
        features = np.asarray(array, dtype=np.float64)
        frames = features.shape[0]
        if centre_frequencies is None:
            raise TypeError("plot of a plain array needs centre_frequencies")
        centres = _real_values("centre_frequencies", centre_frequencies)
        if (centres.shape != (features.shape[1],) or not np.isfinite(centres).all()
                or not (centres > 0).all() or not (np.diff(centres) > 0).all()):
            raise ValueError(f"centre_frequencies must be {features.shape[1]} positive, "
                             f"increasing frequencies, one per column")
        row_edges = _row_edges_of(frames, times, sample_rate, hop)
        to_linear, label = None, "value"
    import matplotlib.pyplot as plt

    if ax is None:
        _, ax = plt.subplots(figsize=(10, 4.8), layout="constrained")
    figure = ax.figure
    width = max(1, int(ax.bbox.width))  # in pixels
    edges = np.unique(np.linspace(0, frames, min(frames, width) + 1).round().astype(np.intp))
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        pooled = _pooled(features, edges, to_linear)
        values = 20.0 * np.log10(pooled) if to_linear is not None else pooled

    # Cell edges: halfway between neighbouring centre frequencies on the
    # ERB-rate scale; in time, from the first row's start to the last's end.
    e = _erb_rate(centres)
    half = (e[1] - e[0]) / 2 if len(e) > 1 else 1.0
    f_edges = _hz(np.concatenate(([e[0] - half], (e[:-1] + e[1:]) / 2, [e[-1] + half])))
    t_edges = row_edges[edges]

    finite = np.isfinite(values)
    top = float(np.max(values[finite])) if finite.any() else 0.0
    if to_linear is not None:
        floor = top - top_dB
        values = np.maximum(values, floor)  # -inf (silence) at the floor; NaN stays
        label += f"\nfloor: {top_dB:g} dB below the loudest"
    else:
        floor = float(np.min(values[finite])) if finite.any() else 0.0
    if frames:
        mesh = ax.pcolormesh(t_edges, f_edges, values.T, shading="flat", cmap="magma",
                             vmin=floor, vmax=top, rasterized=True)
        figure.colorbar(mesh, ax=ax, extend="min" if to_linear is not None else "neither",
                        label=label)
    ax.set_yscale("function", functions=(_erb_rate, _hz))
    ticks = [t for t in _TICKS_HZ if f_edges[0] <= t <= f_edges[-1]]
    ax.set_yticks(ticks, [f"{t:g}" for t in ticks])
    ax.set_ylim(f_edges[0], f_edges[-1])
    ax.set_xlabel("time (s)")
    ax.set_ylabel("centre frequency (Hz, ERB-rate scale)")
    return ax
