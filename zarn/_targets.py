"""The fit of several targets sampled at the same positions, one model per target.

:func:`fit_targets` is the estimator's fit of a 2-D y: the first target by the single
fit (:func:`zarn._fit.fit_series`), the others through the linear plan of
:func:`zarn.fit_many` where the method's fit is linear in y, else one by one.
"""

from __future__ import annotations

import warnings

import numpy as np

from zarn._fit import SeriesFit, fit_series, positive_weights
from zarn._methods import Fit, method
from zarn._plans import SCALE, make_plan
from zarn._settings import Settings, seed_from
from zarn._uncertainty import Uncertainty
from zarn._validation import check_finite
from zarn.exceptions import RankWarning


def fit_targets(
    X: np.ndarray,
    Y: np.ndarray,
    w: np.ndarray | None,
    settings: Settings,
    names: np.ndarray | None = None,
    stacklevel: int = 2,
    datetime_like: bool = False,
) -> tuple[SeriesFit, ...]:
    """Fit each column of the finite Y (n, n_targets) at the checked positions X: one
    :class:`SeriesFit` per target, each the fit of that target alone.

    The first target is fitted by :func:`fit_series` (its errors and its rank warning are
    those of a single fit; the design, and so the rank, is the same for every target). For
    a method whose fit is linear in y (:meth:`~zarn._methods._base.Method.shares_design`)
    the others share one solve, through the linear plan of :func:`zarn.fit_many`, and the
    first target's covariance over the scale squared, each with its own scale. The others
    (robust fits, weights chosen per target) are fitted one by one with one seed, which
    ``seed_`` records.
    """
    check_finite(Y, "y")
    fitter = method(settings.method)
    shared = fitter.shares_design(settings)
    if not shared:  # every target with the same seed, as a model of random_state=seed_
        settings = settings.replace(random_state=seed_from(settings.random_state))
    first = fit_series(X, Y[:, 0], w, settings, names, stacklevel + 1, datetime_like)
    rest = Y[:, 1:]
    if not rest.shape[1]:
        return (first,)
    # The others with the first one's period, in X's units (the default one of dates).
    settings = settings.replace(period=first.design.period)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RankWarning)  # warned once, for the first target
        if not shared:
            return (first, *(fit_series(X, y, w, settings, names) for y in rest.T))
        X, rest, w = positive_weights(X, rest, w)
        k = first.design.k
        packed = make_plan(X, settings, False, False, w).fit_block(np.ascontiguousarray(rest.T))
        fits = [first]
        for j, y in enumerate(rest.T):
            coef = packed[:k, j]
            if not np.isfinite(coef).all():  # beyond the shared solve: the single fit's error
                fits.append(fit_series(X, y, w, settings, names))
                continue
            u = TargetUncertainty(first.fit.uncertainty, float(packed[SCALE, j]))
            fit = Fit(coef.copy(), u, first.fit.settings, first.fit.penalty)
            fits.append(SeriesFit(first.design, fit, first.X, y.copy()))
    return tuple(fits)


class TargetUncertainty(Uncertainty):
    """The uncertainty of one of several targets fitted on one design: the design's
    covariance over the scale squared, edf, rank and singular values (those of ``shared``,
    another target's), with the target's own residual ``scale``."""

    def __init__(self, shared: Uncertainty, scale: float) -> None:
        super().__init__(shared.n_obs, shared.rank)
        self.shared = shared
        self.normal = shared.normal
        self._scale = scale

    @property
    def singular_values(self) -> np.ndarray:
        """Singular values of the weighted design, largest first."""
        return self.shared.singular_values

    @property
    def _moments(self) -> tuple[np.ndarray, float]:
        return self.shared.cov_unscaled, self.shared.edf

    @property
    def scale(self) -> float:
        """The target's residual standard deviation (of an observation of weight 1)."""
        return self._scale
