"""Pictures of gammatonegrams. matplotlib is imported when a picture is drawn,
so that `import tavik` needs NumPy alone."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from _tavik import transforms

from ._analysis import check_real
from ._features import erb_rate_to_hz, hz_to_erb_rate
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


def plot(g: Gammatonegram, ax: Axes | None = None, floor_dB: float = 100) -> Axes:
    """Draw a gammatonegram: time against centre frequency on the ERB-rate axis.

    Levels are shown in dB (20·log10 of each filter's mean envelope) down to
    a floor ``floor_dB`` below the loudest cell, named on the colour bar;
    quieter cells, digital silence (``-inf``) among them, are drawn at the
    floor, never as holes. The picture is drawn at display resolution:
    runs of frames are pooled into the picture's columns (the mean of their
    envelopes), so a long recording costs no more to draw than a short one.
    Features of another transform than log10 or dB are drawn as they are.
    matplotlib is imported by this call.

    Parameters
    ----------
    g : Gammatonegram
        What :func:`tavik.gammatonegram` returns.
    ax : matplotlib.axes.Axes, optional
        Where to draw; by default a new figure of 10 x 4.8 inches.
    floor_dB : float, default 100
        Range of levels shown, in dB below the loudest cell.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn into, with a colour bar beside them.

    Raises
    ------
    TypeError
        If ``g`` is not a :class:`Gammatonegram` or ``floor_dB`` not a real
        number.
    ValueError
        If ``floor_dB`` is not positive.

    Examples
    --------
    >>> import numpy as np, tavik
    >>> t = np.arange(16000) / 16000
    >>> g = tavik.gammatonegram(np.sin(2 * np.pi * 440 * t), 16000)
    >>> ax = tavik.plot(g)
    >>> ax.figure.savefig("tone.png")  # doctest: +SKIP
    """
    if not isinstance(g, Gammatonegram):
        raise TypeError(f"g must be a Gammatonegram (what tavik.gammatonegram or tavik.load "
                        f"returns), not {type(g).__name__}")
    check_real("floor_dB", floor_dB)
    if not floor_dB > 0:
        raise ValueError(f"floor_dB must be positive, not {floor_dB!r}")
    import matplotlib.pyplot as plt

    if ax is None:
        _, ax = plt.subplots(figsize=(10, 4.8), layout="constrained")
    figure = ax.figure
    frames = g.features.shape[0]
    width = max(1, int(ax.bbox.width))  # in pixels
    edges = np.unique(np.linspace(0, frames, min(frames, width) + 1).round().astype(np.intp))
    to_linear, label = _as_amplitude(g)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        pooled = _pooled(g.features, edges, to_linear)
        values = 20.0 * np.log10(pooled) if to_linear is not None else pooled

    # Cell edges: halfway between neighbouring centre frequencies on the
    # ERB-rate scale; in time, from the first frame's start to the last's end.
    e = _erb_rate(g.centre_frequencies)
    half = (e[1] - e[0]) / 2 if len(e) > 1 else 1.0
    f_edges = _hz(np.concatenate(([e[0] - half], (e[:-1] + e[1:]) / 2, [e[-1] + half])))
    t_edges = edges * (g.hop / g.sample_rate)
    if frames:
        t_edges[-1] = ((frames - 1) * g.hop + g.num_samples) / g.sample_rate

    finite = np.isfinite(values)
    top = float(values[finite].max()) if finite.any() else 0.0
    if to_linear is not None:
        floor = top - floor_dB
        values = np.maximum(values, floor)  # -inf (silence) at the floor; NaN stays
        label += f"\nfloor: {floor_dB:g} dB below the loudest"
    else:
        floor = float(values[finite].min()) if finite.any() else 0.0
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
