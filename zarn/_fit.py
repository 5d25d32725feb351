"""The fit of one series: its design, the method's fit, and the rank warning.

The estimator's ``fit`` checks its input and calls :func:`fit_series` (through
:func:`zarn._targets.fit_targets` for several targets); so do the many-series plans for
the series they fit one by one (robust fits, weights chosen per series), which makes
those fits the estimator's bit for bit.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from zarn._design import Design
from zarn._methods import Fit, Series, method
from zarn._scores import mdl
from zarn._settings import Settings
from zarn._uncertainty import warn_if_rank_deficient
from zarn._validation import check_finite


@dataclass(eq=False, slots=True)  # built at every fit: slots, no frozen __setattr__
class SeriesFit:
    """A fitted series: its design, the method's :class:`~zarn._methods.Fit`, and the
    samples of positive weight it was fitted to (X and y, own copies), from which the MDL
    score is computed when it is asked for."""

    design: Design
    fit: Fit
    X: np.ndarray
    y: np.ndarray

    def mdl(self) -> float:
        """MDL score of the fit on its training samples, penalties included."""
        fit = self.fit
        Phi = self.design.columns(self.X)
        return mdl(Phi @ fit.coef, self.y, fit.coef, fit.settings.H, fit.penalty)


def fit_series(
    X: np.ndarray,
    y: np.ndarray,
    w: np.ndarray | None,
    settings: Settings,
    names: np.ndarray | None = None,
    stacklevel: int = 2,
    datetime_like: bool = False,
) -> SeriesFit:
    """Fit y at the checked positions X (n, d) with checked sample weights w (or None).

    y is checked to be finite where the method needs it (least squares reports a NaN in
    y only where one spreads to the coefficients); with sample weights it must be finite
    everywhere. Samples of zero weight are dropped first, so the domain is that of the
    others. ``names`` are the feature names of a DataFrame, for the domain's messages;
    ``datetime_like`` says that X holds converted dates or durations (the harmonics'
    default period).

    Warns
    -----
    zarn.exceptions.RankWarning
        When the weighted mapped design cannot determine every coefficient (attributed
        ``stacklevel`` frames up from the caller).
    """
    if w is not None:
        check_finite(y, "y")  # also where a weight is zero
        X, y, w = positive_weights(X, y, w)
    # Own copies: the fit keeps them for what it computes on first use, and the caller
    # may change its arrays in the meantime.
    X, y, w = X.copy(), y.copy(), None if w is None else w.copy()
    design = Design.from_data(X, settings, names, datetime_like)
    Phi = design.columns(X)
    fit = method(settings.method).fit(Series(design, X, Phi, y, w), settings)
    u = fit.uncertainty
    warn_if_rank_deficient(u.rank, design.k, u.n_obs, stacklevel=stacklevel + 1)
    return SeriesFit(design, fit, X, y)


def positive_weights(
    X: np.ndarray, Y: np.ndarray, w: np.ndarray | None
) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
    """The samples of positive weight (rows of X, Y and w): zero weights drop their samples
    before anything else, so the domain is that of the others."""
    if w is None or (w > 0.0).all():
        return X, Y, w
    keep = w > 0.0
    return X[keep], Y[keep], w[keep]
