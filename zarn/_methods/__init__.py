"""The fitting methods, one module each, and their registry: the only place that names them.

Everything that fits (the estimator, :func:`zarn.fit_many`'s plans, :func:`zarn.compare_models`
through the estimator, and :mod:`zarn.xarray` through the plans) asks the registry for the
method object of the ``method`` setting and calls it; none of them asks which method it
holds. Adding a method is one new module with a :class:`~zarn._methods._base.Method`
subclass, plus its line below.

Examples
--------
>>> names()
('ols', 'penalized', 'robust')
>>> method("ols").projects
True
"""

from __future__ import annotations

from zarn._methods._base import Fit, Method, Outliers, Series, penalty_of
from zarn._methods.ols import LeastSquares
from zarn._methods.penalized import Penalized
from zarn._methods.robust import GibbsRecord, Robust
from zarn._settings import Settings

# Each method by its name, in the order in which tables and messages list them.
REGISTRY: dict[str, Method] = {m.name: m for m in (LeastSquares(), Penalized(), Robust())}


def names() -> tuple[str, ...]:
    """The names of the methods, in the registry's order."""
    return tuple(REGISTRY)


def method(name: str) -> Method:
    """The method object of a checked method name."""
    return REGISTRY[name]


def cov_type_names() -> tuple[str, ...]:
    """Every method's covariance types, in the registry's order, each once."""
    return tuple(dict.fromkeys(name for m in REGISTRY.values() for name in m.cov_types))


def check_settings(settings: Settings) -> None:
    """Check the parameters that depend on the method: its covariance type.

    Raises
    ------
    ValueError
        For a ``cov_type`` the method does not take, or ``cov_kwds`` the type does not.
    """
    REGISTRY[settings.method].cov_spec(settings)


__all__ = [
    "REGISTRY",
    "Fit",
    "GibbsRecord",
    "Method",
    "Outliers",
    "Series",
    "check_settings",
    "cov_type_names",
    "method",
    "names",
    "penalty_of",
]
