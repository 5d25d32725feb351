"""The interface every fitting method implements, and what a fit returns.

A method is a small stateless object (:class:`Method`); the registry
(:mod:`zarn._methods`) is the only place that names them. The estimator fits one series
with :meth:`Method.fit`; :func:`zarn.fit_many`'s plans fit blocks of series that share a
design with the same object, through the solve, the design's uncertainty and the single
fit of the methods whose fit is linear in the data (:meth:`Method.shares_design`).
"""

from __future__ import annotations

import abc
from dataclasses import dataclass
from typing import Any, ClassVar

import numpy as np

from zarn._covtypes import COV_TYPES, CovSpec, check_cov_type
from zarn._design import Design
from zarn._lstsq import Penalty
from zarn._settings import Settings
from zarn._smoothing import AUTO
from zarn._uncertainty import CovTypeUncertainty, Uncertainty

# The covariance types whose lags follow the samples' order.
LAGGED = ("HAC", "ar1")


def time_order(X: np.ndarray, spec: CovSpec) -> np.ndarray | None:
    """The order of the samples in time for the covariance types whose lags follow it
    (HAC, ar1): that of the positions of one feature, None where they are in order (or
    for several features, whose rows are taken in order, and for the other types)."""
    if spec.name not in LAGGED or X.shape[1] != 1:
        return None
    x = X[:, 0]
    return None if bool((x[1:] >= x[:-1]).all()) else np.argsort(x, kind="stable")


@dataclass(eq=False, slots=True)  # built at every fit: slots, no frozen __setattr__
class Outliers:
    """What a robust fit says about each sample, besides its coefficients."""

    inlier_mask: np.ndarray  # False for the samples flagged as outliers
    weights: np.ndarray  # each sample's robustness weight in the final fit, in [0, 1]
    sampler: Any  # the sampler on the fit's residuals (SamplerRun: its gibbs on first use)
    seed: int  # the seed of the fit and of the sampler
    s_scale: float  # the scale of the S-estimate, in the units of y
    cov_h1: np.ndarray  # Huber's H1 covariance of the coefficients (statsmodels' RLM)


@dataclass(eq=False, slots=True)  # built at every fit: slots, no frozen __setattr__
class Series:
    """One series to fit: the design, the positions ``X`` (n, d), their mapped matrix
    ``Phi``, the target ``y`` (finite wherever sample weights are given) and the checked
    sample weights ``w`` (all positive) or None. X, y and w are the fit's own arrays,
    which a fit may keep (to compute its uncertainty on first use)."""

    design: Design
    X: np.ndarray
    Phi: np.ndarray
    y: np.ndarray
    w: np.ndarray | None

    def matrix(self) -> np.ndarray:
        """The design matrix at X, built again (the same bits as ``Phi``)."""
        return self.design.columns(self.X)


@dataclass(eq=False, slots=True)  # built at every fit: slots, no frozen __setattr__
class Fit:
    """A fit of one series: coefficients, their uncertainty, and what it was fitted with.

    ``settings`` holds the penalty weights used (those chosen for ``"auto"``), ``penalty``
    the penalty matrices and weights that the MDL score charges, and ``outliers`` the
    robust fit's flags (None for the other methods).
    """

    coef: np.ndarray
    uncertainty: Uncertainty
    settings: Settings
    penalty: Penalty
    outliers: Outliers | None = None


class Method(abc.ABC):
    """One way of fitting the coefficients.

    Class attributes
    ----------------
    name : str
        The value of the estimator's ``method``.
    applies_penalties : bool
        Whether the fit applies the penalty weights (a method that does not treats
        ``"auto"`` as 0; its MDL score still charges the weights given).
    flags_outliers : bool
        Whether the fit flags outliers (results then count the inliers).
    projects : bool
        Whether the fit is the orthogonal projection onto the design's columns (no
        penalty, no ridge): its fitted values are those of any basis of the columns.
    linear : bool
        Whether the fit is linear in y for numeric penalty weights, so that series
        sharing a design can share its solve (:meth:`shares_design`); such a method
        implements :meth:`solve`, :meth:`fit_rows` and :meth:`design_uncertainty`.
    extra_settings : tuple of str
        Settings that only this method reads (recorded with its results).
    cov_types : tuple of str
        The values of ``cov_type`` the method takes, its default (``cov_type=None``)
        first; those of :data:`zarn._covtypes.COV_TYPES` are computed by
        :func:`zarn._covtypes.covariance` from the fit's residuals.
    """

    name: ClassVar[str]
    applies_penalties: ClassVar[bool] = True
    flags_outliers: ClassVar[bool] = False
    projects: ClassVar[bool] = False
    linear: ClassVar[bool] = False
    extra_settings: ClassVar[tuple[str, ...]] = ()
    cov_types: ClassVar[tuple[str, ...]] = COV_TYPES

    @abc.abstractmethod
    def fit(self, data: Series, settings: Settings) -> Fit:
        """Fit one series with the checked settings (penalty weights may be "auto")."""

    def cov_spec(self, settings: Settings) -> CovSpec:
        """The checked covariance type of ``settings.cov_type`` and ``cov_kwds``.

        None is the method's default.

        Raises
        ------
        ValueError
            For a type the method does not take (the message lists those it takes), or
            keywords the type does not take.
        """
        name = self.cov_types[0] if settings.cov_type is None else settings.cov_type
        if name not in self.cov_types:
            raise ValueError(
                f"cov_type={name!r} is not available for method={self.name!r}; choose one "
                f"of {self.cov_types} (None: {self.cov_types[0]!r})"
            )
        if name in COV_TYPES:
            return check_cov_type(name, settings.cov_kwds)
        if settings.cov_kwds:
            raise ValueError(f"cov_type={name!r} takes no cov_kwds; got {settings.cov_kwds!r}")
        return CovSpec(name)

    def classic_covariance(self, settings: Settings) -> bool:
        """Whether the covariance is the method's default one (with its quantiles)."""
        return self.cov_spec(settings) == CovSpec(self.cov_types[0])

    def uncertainty_of(
        self, data: Series, coef: np.ndarray, default: Uncertainty, settings: Settings
    ) -> Uncertainty:
        """The uncertainty of a least-squares fit ``coef`` of ``data`` under the covariance
        type of ``settings``: ``default`` (the method's own) itself, or a
        :class:`~zarn._uncertainty.CovTypeUncertainty` around it, whose lags (HAC, ar1)
        run in the order of the positions for one feature, of the rows for several."""
        if self.classic_covariance(settings):
            return default
        spec = self.cov_spec(settings)
        order = time_order(data.X, spec)
        return CovTypeUncertainty(default, spec, data.Phi, data.y, coef, data.w, order)

    def shares_design(self, settings: Settings) -> bool:
        """Whether series sharing a design share its solve: the fit is linear in y, no
        weight is chosen per series, and the covariance is the default one (the other
        types need each series' residuals)."""
        return self.linear and not auto(settings) and self.classic_covariance(settings)

    def solve(self, Phi: np.ndarray, y: np.ndarray, penalty: Penalty) -> np.ndarray:
        """The coefficients of one target on unweighted rows (a method that shares its
        design's solve)."""
        raise NotImplementedError(f"the {self.name} fit is not linear in the data")

    def fit_rows(
        self, Phi: np.ndarray, y: np.ndarray, w: np.ndarray | None, penalty: Penalty
    ) -> tuple[np.ndarray, Uncertainty]:
        """The coefficients and uncertainty of one target with a penalty of numeric
        weights (a method that shares its design's solve: the series that the shared
        solves do not serve)."""
        raise NotImplementedError(f"the {self.name} fit is not linear in the data")

    def design_uncertainty(self, R: np.ndarray, n_obs: int, penalty: Penalty) -> Uncertainty:
        """The uncertainty, but for the scale, of every target fitted on the design whose
        weighted R factor is ``R`` (a method that shares its design's solve)."""
        raise NotImplementedError(f"the {self.name} fit is not linear in the data")

    def __repr__(self) -> str:
        return f"{type(self).__name__}()"


def auto(settings: Settings) -> bool:
    """Whether a penalty weight is to be chosen from the data."""
    return AUTO in (settings.gamma1, settings.gamma2)


def weight_or_zero(weight: float | str) -> float:
    """A penalty weight, with ``"auto"`` as 0.0."""
    return 0.0 if weight == AUTO else float(weight)


def fixed_weights(settings: Settings) -> Settings:
    """The settings with every ``"auto"`` weight at 0.0 (the fixed ones as given)."""
    if not auto(settings):
        return settings
    return settings.with_weights(weight_or_zero(settings.gamma1), weight_or_zero(settings.gamma2))


def penalty_of(design: Design, settings: Settings) -> Penalty:
    """The penalty of numeric weights: the design's matrices where a weight is not zero."""
    g1, g2 = settings.gamma1, settings.gamma2
    assert not isinstance(g1, str) and not isinstance(g2, str)  # chosen already
    R1, R2 = design.penalties(g1, g2)
    return Penalty(R1, R2, g1, g2, settings.ridge)
