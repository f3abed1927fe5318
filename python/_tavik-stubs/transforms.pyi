"""Native transforms, for the ``transform`` of an extractor.

They are applied without entering the interpreter, so ``batch`` scales with
threads as with the default. Each is a callable from float to float that
pickles, compares equal by its parameters and shows them in its repr.
"""

from typing import final

@final
class identity:
    """Every feature unchanged."""

    def __init__(self) -> None:
        """The identity has no parameter."""

    def __call__(self, x: float) -> float:
        """The transform of one value."""

    def __repr__(self) -> str:
        """The class's name with its parameters."""

    def __eq__(self, other: object) -> bool:
        """Equal to a transform of the same class with equal parameters."""

    def __hash__(self) -> int:
        """Equal transforms hash alike."""

    def __reduce__(self) -> tuple[type[identity], tuple[()]]:
        """Pickled as the class and its parameters."""

@final
class log10:
    """The base-10 logarithm, with a feature in [0, ``floor``) raised to
    ``floor`` first: a floor on silence, whose features are 0. A negative
    feature gives NaN. ``log10()`` is the filterbank's default transform, bit
    for bit."""

    def __init__(self, floor: float = 0.0) -> None:
        """``floor`` must not be NaN."""

    @property
    def floor(self) -> float:
        """The floor, as given."""

    def __call__(self, x: float) -> float:
        """The transform of one value."""

    def __repr__(self) -> str:
        """The class's name with its parameters."""

    def __eq__(self, other: object) -> bool:
        """Equal to a transform of the same class with equal parameters."""

    def __hash__(self) -> int:
        """Equal transforms hash alike."""

    def __reduce__(self) -> tuple[type[log10], tuple[float]]:
        """Pickled as the class and its parameters."""

@final
class dB:
    """The level in decibels of a feature taken as an amplitude,
    20 log10(x), never below ``floor_dB``. NaN, also the level of a negative
    feature, stays NaN."""

    def __init__(self, floor_dB: float = ...) -> None:
        """``floor_dB`` defaults to minus infinity (no floor) and must not be
        NaN."""

    @property
    def floor_dB(self) -> float:
        """The floor in decibels, as given."""

    def __call__(self, x: float) -> float:
        """The transform of one value."""

    def __repr__(self) -> str:
        """The class's name with its parameters."""

    def __eq__(self, other: object) -> bool:
        """Equal to a transform of the same class with equal parameters."""

    def __hash__(self) -> int:
        """Equal transforms hash alike."""

    def __reduce__(self) -> tuple[type[dB], tuple[float]]:
        """Pickled as the class and its parameters."""

@final
class power:
    """A feature raised to ``exponent``: for instance ``power(1 / 3)``, the
    cube-root compression of auditory front-ends."""

    def __init__(self, exponent: float) -> None:
        """``exponent`` must not be NaN."""

    @property
    def exponent(self) -> float:
        """The exponent, as given."""

    def __call__(self, x: float) -> float:
        """The transform of one value."""

    def __repr__(self) -> str:
        """The class's name with its parameters."""

    def __eq__(self, other: object) -> bool:
        """Equal to a transform of the same class with equal parameters."""

    def __hash__(self) -> int:
        """Equal transforms hash alike."""

    def __reduce__(self) -> tuple[type[power], tuple[float]]:
        """Pickled as the class and its parameters."""
