"""Cepstral coefficients of filterbank features, in a fixed operation order."""

import numpy
import numpy.typing
import typing

def dct_rows(features: numpy.typing.NDArray[numpy.float64], num_ceps: int) -> numpy.typing.NDArray[numpy.float64]:
    """The first ``num_ceps`` coefficients of the orthonormal DCT-II of every row.

    Coefficient k of a row x of n values is
    ``scale_k * sum(x[i] * cos(pi * k * (2i + 1) / (2n)))``, with
    ``scale_0 = sqrt(1/n)`` and ``sqrt(2/n)`` otherwise, summed from 0.0 in
    increasing i. The cosines use only the basic floating-point operations, so
    the result has the same bits on every machine. :func:`tavik.gfcc` checks
    and converts its arguments, then calls this.

    Parameters
    ----------
    features : numpy.ndarray
        A C-contiguous 2-D float64 array of shape (frames, n).
    num_ceps : int
        How many coefficients to keep, from 1 to n.

    Returns
    -------
    numpy.ndarray
        A float64 array of shape (frames, num_ceps).

    Raises
    ------
    TypeError
        If ``features`` is not a C-contiguous 2-D float64 array.
    ValueError
        If ``num_ceps`` is not between 1 and n, or n is 0.
    """
