"""Declared parameter constraints, checked in one place with scikit-learn's messages, and
the frozen, typed :class:`Settings` of a fit that the check returns.

An estimator declares a table ``_parameter_constraints`` that maps each constructor
parameter to the list of constraints it may satisfy (an :class:`Interval`, an
:class:`Options`, :data:`ARRAY_LIKE`, :data:`DEGREES`, an :class:`InstanceOf` or ``None``);
:func:`validate_params` checks every parameter against it once per ``fit``, whatever the
method, and returns the values converted (ints to int, reals to float) as
:class:`Settings`. The functions
:func:`fit_many <zarn.fit_many>` and :func:`compare_models <zarn.compare_models>` check
their own arguments with :func:`check_param`. The wording is scikit-learn's, so users of
both read the same messages, but scikit-learn is not imported.
"""

from __future__ import annotations

import inspect
import math
import numbers
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import Any

import numpy as np

# Returned by a constraint that does not accept a value (None is a valid value).
_REJECTED = object()


class InvalidParameterError(ValueError, TypeError):
    """A parameter outside its declared constraints.

    Both a ValueError and a TypeError, as scikit-learn's own error of this name, since a
    value can be of the wrong type or of the right type but out of range.

    Examples
    --------
    >>> import zarn
    >>> try:
    ...     zarn.PolynomialRegressor(H=0).fit([[0.0], [1.0]], [0.0, 1.0])
    ... except ValueError as err:
    ...     print(err)
    The 'H' parameter of PolynomialRegressor must be an int in the range [1, ...]. Got 0 instead.
    """


class Interval:
    """Ints or reals between two bounds; bools are refused, NaN is never inside.

    Parameters
    ----------
    kind : {int, float}
        ``int``: integers only (Python or NumPy). ``float``: any real number.
    left, right : int, float or None
        The bounds; None is unbounded (-inf or inf, always open).
    closed : {"left", "right", "both", "neither"}
        Which bounds belong to the interval.

    Examples
    --------
    >>> str(Interval(int, 1, None, closed="left"))
    'an int in the range [1, inf)'
    >>> Interval(float, 0.0, math.inf, closed="left").cast(2)
    2.0
    """

    def __init__(self, kind: type, left: float | None, right: float | None, *, closed: str) -> None:
        self.kind = kind
        self.left = -math.inf if left is None else left
        self.right = math.inf if right is None else right
        self.left_closed = closed in ("left", "both") and left is not None
        self.right_closed = closed in ("right", "both") and right is not None

    def fast(self) -> Callable[[Any], bool]:
        """A quick test of values of exactly ``kind`` in the interval (no conversion)."""
        kind = self.kind
        low: Any = self.left
        high: Any = self.right
        if self.left_closed and self.right_closed:
            return lambda v: type(v) is kind and low <= v <= high
        if self.left_closed:
            return lambda v: type(v) is kind and low <= v < high
        if self.right_closed:
            return lambda v: type(v) is kind and low < v <= high
        return lambda v: type(v) is kind and low < v < high

    def cast(self, value: Any) -> Any:
        """``value`` converted to ``kind`` if it lies in the interval, else ``_REJECTED``."""
        if type(value) is not self.kind:  # the common case skips the abstract-class test
            if isinstance(value, bool) or not isinstance(
                value, numbers.Integral if self.kind is int else numbers.Real
            ):
                return _REJECTED
            try:
                value = self.kind(value)
            except OverflowError:  # an int beyond the range of doubles
                return _REJECTED
        low, high = self.left, self.right
        above = value >= low if self.left_closed else value > low
        below = value <= high if self.right_closed else value < high
        return value if above and below else _REJECTED  # NaN fails both

    def __str__(self) -> str:
        kind = "an int" if self.kind is int else "a float"
        left = "[" if self.left_closed else "("
        right = "]" if self.right_closed else ")"
        return f"{kind} in the range {left}{_bound(self.left)}, {_bound(self.right)}{right}"


def _bound(value: float) -> str:
    return "inf" if value == math.inf else "-inf" if value == -math.inf else str(value)


class Options:
    """One of a few strings.

    Examples
    --------
    >>> str(Options("tensor", "total"))
    "a str among {'tensor', 'total'}"
    """

    def __init__(self, *options: str) -> None:
        self.options = options

    def fast(self) -> Callable[[Any], bool]:
        """A quick test of the options."""
        options = frozenset(self.options)
        return lambda v: type(v) is str and v in options

    def cast(self, value: Any) -> Any:
        """``value`` if it is one of the options, else ``_REJECTED``."""
        return value if isinstance(value, str) and value in self.options else _REJECTED

    def __str__(self) -> str:
        return "a str among {" + ", ".join(repr(option) for option in self.options) + "}"


class InstanceOf:
    """An instance of a class.

    Examples
    --------
    >>> str(InstanceOf(np.random.Generator, "numpy.random.Generator"))
    "an instance of 'numpy.random.Generator'"
    """

    def __init__(self, cls: type, name: str | None = None) -> None:
        self.cls = cls
        self.name = name or f"{cls.__module__}.{cls.__qualname__}"

    def fast(self) -> Callable[[Any], bool]:
        """A quick test of instances."""
        cls = self.cls
        return lambda v: isinstance(v, cls)

    def cast(self, value: Any) -> Any:
        """``value`` if it is an instance, else ``_REJECTED``."""
        return value if isinstance(value, self.cls) else _REJECTED

    def __str__(self) -> str:
        return f"an instance of {self.name!r}"


class _ArrayLike:
    """Anything with a length, a shape or ``__array__`` that is not a scalar or a string."""

    def fast(self) -> Callable[[Any], bool]:
        """No quick test: every value takes :meth:`cast`."""
        return lambda v: False

    def cast(self, value: Any) -> Any:
        array_like = hasattr(value, "__len__") or hasattr(value, "shape")
        array_like = array_like or hasattr(value, "__array__")
        return value if array_like and not np.isscalar(value) else _REJECTED

    def __str__(self) -> str:
        return "an array-like"


class _Degrees:
    """A degree >= 0, or a non-empty sequence of them (one per feature); cast to int(s)."""

    _one = Interval(int, 0, None, closed="left")

    def fast(self) -> Callable[[Any], bool]:
        """A quick test of one int degree."""
        return lambda v: type(v) is int and v >= 0

    def cast(self, value: Any) -> Any:
        if type(value) is int and value >= 0:
            return value
        one = self._one.cast(value)
        if one is not _REJECTED or isinstance(value, (str, bytes)):
            return one
        try:
            degrees = tuple(self._one.cast(item) for item in value)
        except TypeError:  # not iterable
            return _REJECTED
        return degrees if degrees and _REJECTED not in degrees else _REJECTED

    def __str__(self) -> str:
        return "an int in the range [0, inf) or a sequence of them, one per feature"


ARRAY_LIKE = _ArrayLike()
DEGREES = _Degrees()
WEIGHT = Interval(float, 0.0, math.inf, closed="left")  # penalty weights: finite and >= 0
Constraint = Interval | Options | InstanceOf | _ArrayLike | _Degrees | None


def check_param(name: str, value: Any, constraints: Sequence[Constraint], caller: str) -> Any:
    """``value`` converted by the first constraint that accepts it.

    Parameters
    ----------
    name : str
        The parameter's name, for the message.
    value : object
        Its value.
    constraints : sequence
        What the value may be; ``None`` in the list accepts ``None``.
    caller : str
        The estimator or function that takes the parameter, for the message.

    Returns
    -------
    object
        The value, converted to int or float where the constraint says so.

    Raises
    ------
    InvalidParameterError
        When no constraint accepts the value.

    Examples
    --------
    >>> check_param("n_grid", np.int64(7), [Interval(int, 2, None, closed="left"), None], "f")
    7
    >>> check_param("n_grid", 1, [Interval(int, 2, None, closed="left"), None], "f")
    Traceback (most recent call last):
    ...
    zarn._settings.InvalidParameterError: The 'n_grid' parameter of f must be ... Got 1 instead.
    """
    for constraint in constraints:
        if constraint is None:
            if value is None:
                return None
            continue
        cast = constraint.cast(value)
        if cast is not _REJECTED:
            return cast
    raise InvalidParameterError(
        f"The {name!r} parameter of {caller} must be {_describe(constraints)}. "
        f"Got {value!r} instead."
    )


def _describe(constraints: Sequence[Constraint]) -> str:
    words = [str(c) for c in constraints if c is not None] + ["None"] * (None in constraints)
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + " or " + words[-1]


class ParameterTable(dict):
    """An estimator's constraints table: a dict of each parameter's list of constraints.

    ``check``, if given, is called with the :class:`Settings` once every parameter has
    passed its own constraints, for the parameters that constrain each other (the
    estimator's covariance type, which depends on its method).

    So that checking every parameter at every fit costs little, it also keeps, per
    parameter, the constructor's default (read from the class it is declared in, whose
    defaults must satisfy the table) and a quick test of the first constraint for values
    that need no conversion: a parameter that still holds its default, or passes the
    quick test, is not examined further.

    Examples
    --------
    >>> class Model:
    ...     _parameter_constraints = ParameterTable({"n": [Interval(int, 1, None, closed="left")]})
    ...     def __init__(self, n=5):
    ...         self.n = n
    >>> [(name, default, quick(3), quick(3.0)) for name, default, quick in
    ...  Model._parameter_constraints.quick]
    [('n', 5, True, False)]
    """

    quick: tuple[tuple[str, Any, Callable[[Any], bool]], ...] = ()

    def __init__(
        self,
        constraints: dict[str, list[Constraint]],
        check: Callable[[Settings], None] | None = None,
    ) -> None:
        super().__init__(constraints)
        # Checks of parameters that constrain each other (run after each one's own).
        self.check = check

    def __set_name__(self, owner: type, attribute: str) -> None:
        """Read the defaults of ``owner``'s constructor, once, when the class is created."""
        signature = inspect.signature(owner).parameters
        self.quick = tuple(
            (name, signature[name].default, _quick(constraints[0]))
            for name, constraints in self.items()
        )


def _quick(constraint: Constraint) -> Callable[[Any], bool]:
    if constraint is None:
        return lambda v: v is None
    return constraint.fast()


@dataclass(frozen=True)
class Settings:
    """A fit's checked parameters: those of :class:`zarn.PolynomialRegressor`, converted.

    Built by :func:`validate_params` at every fit; the methods, the design and the
    many-series plans read it. Immutable: :meth:`with_weights` gives the settings of
    other penalty weights (the chosen ones of ``"auto"``).

    Examples
    --------
    >>> import zarn
    >>> s = validate_params(zarn.PolynomialRegressor(degree=2, gamma1=1))
    >>> s.degree, s.gamma1, s.with_weights(0.5, 0.0).gamma1
    (2, 1.0, 0.5)
    """

    degree: int | tuple[int, ...]
    method: str
    gamma1: float | str  # a weight, or "auto"
    gamma2: float | str
    ridge: float
    basis: str
    domain: Any  # None, or an array-like of (low, high) pairs
    n_grid: int | None
    H: int
    n_chains: int
    n_warmup: int
    n_deep: int
    n_elite: int
    step_size: float
    random_state: Any  # an int, a Generator, a RandomState or None
    harmonics: int = 0  # sine/cosine pairs of the period fitted with the polynomial
    period: Any = None  # None, a positive number (x's units) or a numpy.timedelta64
    cov_type: str | None = None  # None: the method's own default
    cov_kwds: Any = None  # None or a mapping of the covariance type's keywords

    def with_weights(self, gamma1: float | str, gamma2: float | str) -> Settings:
        """The same settings with other penalty weights."""
        return replace(self, gamma1=gamma1, gamma2=gamma2)

    def replace(self, **changes: Any) -> Settings:
        """The same settings with the given fields changed."""
        return replace(self, **changes)

    @property
    def sampler(self) -> dict[str, Any]:
        """The settings of the robust method's sampler, :class:`zarn.TournamentMCMC`'s."""
        return {name: getattr(self, name) for name in SAMPLER_SETTINGS}


# The settings that are the robust method's sampler's.
SAMPLER_SETTINGS = ("n_chains", "n_warmup", "n_deep", "n_elite", "step_size")


def validate_params(estimator: Any) -> Settings:
    """Every parameter of ``estimator``, checked against its class's constraints table.

    Parameters
    ----------
    estimator : object
        An object whose class declares ``_parameter_constraints``, a
        :class:`ParameterTable` of each parameter (an attribute of the same name) and its
        list of constraints.

    Returns
    -------
    Settings
        The parameters, converted (ints to int, reals to float).

    Raises
    ------
    InvalidParameterError
        For the first parameter that satisfies none of its constraints.

    Examples
    --------
    >>> import zarn
    >>> validate_params(zarn.PolynomialRegressor(gamma1=1)).gamma1
    1.0
    """
    table: ParameterTable = type(estimator)._parameter_constraints
    checked = {}
    attributes = vars(estimator)  # the parameters, as scikit-learn's protocol stores them
    for name, default, quick in table.quick:
        value = attributes[name]
        if value is not default and not quick(value):  # checked and converted in full
            value = check_param(name, value, table[name], type(estimator).__name__)
        checked[name] = value
    settings = object.__new__(Settings)  # every field checked above: no __init__ needed
    settings.__dict__.update(checked)
    if table.check is not None:
        table.check(settings)
    return settings


def seed_from(random_state: Any) -> int:
    """The sampler's seed, an int in [0, 2**64), from a checked ``random_state``.

    None draws a fresh seed; a Generator or a RandomState draws one from its stream.

    Examples
    --------
    >>> seed_from(7), seed_from(np.random.default_rng(0)) == seed_from(np.random.default_rng(0))
    (7, True)
    """
    if random_state is None:
        return int(np.random.default_rng().integers(0, 2**64, dtype=np.uint64))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**64, dtype=np.uint64))
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 2**63, dtype=np.int64))
    return int(random_state)


# Worker processes: a count, or -1 (all cores), -2 (all but one)... as joblib counts them.
N_JOBS: list[Constraint] = [
    Interval(int, 1, None, closed="left"),
    Interval(int, None, -1, closed="right"),
]


def check_flag(name: str, flag: Any) -> bool:
    """A boolean argument (``True``, ``False`` or a NumPy bool), as a bool.

    Examples
    --------
    >>> check_flag("skipna", np.True_)
    True
    """
    if not isinstance(flag, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {flag!r}")
    return bool(flag)
