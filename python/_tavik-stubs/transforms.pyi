"""Native transforms, for the ``transform`` of an extractor.

They are applied without entering the interpreter, so ``batch`` scales with
threads as with the default. Each is a callable from float to float that
pickles, compares equal by its parameters and shows them in its repr.
"""

import typing

@typing.final
class identity:
    """Every feature unchanged: the default transform of :class:`Extractor`.

    Examples
    --------
    >>> from tavik import transforms
    >>> transforms.identity()(2.5)
    2.5
    """

    def __init__(self) -> None:
        """The identity has no parameter."""

    def __call__(self, x: typing.SupportsFloat | typing.SupportsIndex) -> float:
        """The transform of one value."""

    def __repr__(self) -> str:
        """The class's name with its parameters."""

    def __eq__(self, other: object, /) -> bool:
        """Equal to a transform of the same class with equal parameters."""

    def __hash__(self) -> int:
        """Equal transforms hash alike."""

    def __reduce__(self) -> tuple[type, tuple]:
        """Pickled as the class and its parameters."""

@typing.final
class log10:
    """The base-10 logarithm, with a floor on silence.

    A feature in [0, ``floor``) is raised to ``floor`` first, so that silence
    gives ``log10(floor)`` rather than -inf; a negative feature gives NaN.
    ``log10()`` is the filterbank's default transform, the C library's log10
    bit for bit; ``tavik.LOG10``, the default of ``tavik.gammatonegram``, is
    ``log10(floor=1e-10)``, a floor of -200 dB.

    Parameters
    ----------
    floor : float, default 0.0
        The least feature taken as it is (0: no floor, silence gives -inf).

    Raises
    ------
    ValueError
        If ``floor`` is NaN.

    Examples
    --------
    >>> import tavik
    >>> from tavik import transforms
    >>> transforms.log10()(100.0)
    2.0
    >>> transforms.log10(floor=1e-10)(0.0)
    -10.0
    >>> tavik.LOG10
    log10(floor=1e-10)
    """

    def __init__(self, floor: typing.SupportsFloat | typing.SupportsIndex = 0.0) -> None:
        """Builds the transform; the class's docstring describes the parameter."""

    @property
    def floor(self) -> float:
        """The floor, as given."""

    def __call__(self, x: typing.SupportsFloat | typing.SupportsIndex) -> float:
        """The transform of one value."""

    def __repr__(self) -> str:
        """The class's name with its parameters."""

    def __eq__(self, other: object, /) -> bool:
        """Equal to a transform of the same class with equal parameters."""

    def __hash__(self) -> int:
        """Equal transforms hash alike."""

    def __reduce__(self) -> tuple[type, tuple]:
        """Pickled as the class and its parameters."""

@typing.final
class dB:
    """The level in decibels of a feature taken as an amplitude.

    ``20 * log10(x)``, never below ``floor_dB``. NaN, also the level of a
    negative feature, stays NaN.

    Parameters
    ----------
    floor_dB : float, default -inf
        The least level given (-inf: no floor).

    Raises
    ------
    ValueError
        If ``floor_dB`` is NaN.

    Examples
    --------
    >>> from tavik import transforms
    >>> transforms.dB()(0.1)
    -20.0
    >>> transforms.dB(floor_dB=-100)(0.0)
    -100.0
    """

    def __init__(self, floor_dB: typing.SupportsFloat | typing.SupportsIndex = ...) -> None:
        """Builds the transform; the class's docstring describes the parameter."""

    @property
    def floor_dB(self) -> float:
        """The floor in decibels, as given."""

    def __call__(self, x: typing.SupportsFloat | typing.SupportsIndex) -> float:
        """The transform of one value."""

    def __repr__(self) -> str:
        """The class's name with its parameters."""

    def __eq__(self, other: object, /) -> bool:
        """Equal to a transform of the same class with equal parameters."""

    def __hash__(self) -> int:
        """Equal transforms hash alike."""

    def __reduce__(self) -> tuple[type, tuple]:
        """Pickled as the class and its parameters."""

@typing.final
class power:
    """A feature raised to a fixed exponent.

    For instance ``power(1 / 3)``, the cube-root compression of auditory
    front ends.

    Parameters
    ----------
    exponent : float
        The exponent.

    Raises
    ------
    ValueError
        If ``exponent`` is NaN.

    Examples
    --------
    >>> from tavik import transforms
    >>> transforms.power(1 / 3)(8.0)
    2.0
    """

    def __init__(self, exponent: typing.SupportsFloat | typing.SupportsIndex) -> None:
        """Builds the transform; the class's docstring describes the parameter."""

    @property
    def exponent(self) -> float:
        """The exponent, as given."""

    def __call__(self, x: typing.SupportsFloat | typing.SupportsIndex) -> float:
        """The transform of one value."""

    def __repr__(self) -> str:
        """The class's name with its parameters."""

    def __eq__(self, other: object, /) -> bool:
        """Equal to a transform of the same class with equal parameters."""

    def __hash__(self) -> int:
        """Equal transforms hash alike."""

    def __reduce__(self) -> tuple[type, tuple]:
        """Pickled as the class and its parameters."""
