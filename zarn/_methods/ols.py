"""``method="ols"``: minimum-norm (weighted) least squares through the QR factor."""

from __future__ import annotations

import math
from functools import partial

import numpy as np

from zarn._constants import ORDINARY
from zarn._lstsq import (
    Penalty,
    augmented_factor,
    certainly_full_rank,
    coefficients_too_large,
    norm,
    power_of_two_scale,
    singular_values,
    weighted_rows,
)
from zarn._methods._base import Fit, Method, Series, fixed_weights, penalty_of
from zarn._native import zarn_core as core
from zarn._settings import Settings
from zarn._uncertainty import LeastSquaresUncertainty, Uncertainty, design_uncertainty
from zarn._validation import check_finite


class LeastSquares(Method):
    """Minimum-norm least squares; the penalties are not applied.

    The QR factorisation of ``[sqrt(w) Phi, sqrt(w) y]`` (NumPy's LAPACK, in blocks of
    rows) reduces the problem to the k x k factor; the core's minimum-norm least squares
    :func:`zarn.ols` on that factor gives the solution of the full problem (the same
    minimum-norm solution, up to rounding, for rank-deficient designs too). The statistics
    are the textbook ones of OLS and WLS (those of statsmodels): ``cov = scale**2
    (Phi'W Phi)^+``, ``scale**2 = sum(w r**2) / (n_obs - rank)``.

    Examples
    --------
    >>> x = np.array([0.0, 1.0, 2.0, 3.0])
    >>> Phi = np.column_stack([np.ones(4), x])
    >>> coef, u = fit_ols(Phi, np.array([1.0, 3.0, 4.0, 7.0]), None)
    >>> coef.round(6).tolist(), round(u.scale, 6), u.df_resid
    ([0.9, 1.9], 0.591608, 2.0)
    """

    name = "ols"
    linear = True
    applies_penalties = False
    projects = True

    def fit(self, data: Series, settings: Settings) -> Fit:
        settings = fixed_weights(settings)  # no penalty to choose
        coef, classic = fit_ols(data.Phi, data.y, data.w)
        uncertainty = self.uncertainty_of(data, coef, classic, settings)
        return Fit(coef, uncertainty, settings, penalty_of(data.design, settings))

    def solve(self, Phi: np.ndarray, y: np.ndarray, penalty: Penalty) -> np.ndarray:
        """The core's minimum-norm least squares on the small factor of the QR
        factorisation of ``[Phi, y]``, the same solution as on Phi itself."""
        R, z, _ = augmented_factor(Phi, y)
        return np.asarray(core.ols(R, z))

    def fit_rows(
        self, Phi: np.ndarray, y: np.ndarray, w: np.ndarray | None, penalty: Penalty
    ) -> tuple[np.ndarray, Uncertainty]:
        return fit_ols(Phi, y, w)

    def design_uncertainty(self, R: np.ndarray, n_obs: int, penalty: Penalty) -> Uncertainty:
        """``cov_unscaled`` the pseudo-inverse of ``R'R`` on the singular values above the
        rank threshold, ``edf`` the rank."""
        return design_uncertainty(R, n_obs, None)


def fit_ols(
    Phi: np.ndarray, y: np.ndarray, w: np.ndarray | None = None
) -> tuple[np.ndarray, LeastSquaresUncertainty]:
    """Coefficients and uncertainty of the (weighted) least-squares fit of y on Phi.

    Raises
    ------
    ValueError
        For NaN or infinity in y, or coefficients beyond the range of doubles.
    """
    rows = weighted_rows(Phi, y, w)
    R, z, rho = augmented_factor(rows.Phi, rows.y)
    s = 1.0
    if not (all(map(math.isfinite, z.tolist())) and math.isfinite(rho)):
        check_finite(rows.y, "y")  # NaN or infinity in y shows in every entry of z
        # Finite values whose sums of squares overflow: fit y / s, a power of two (exact).
        s = power_of_two_scale(rows.y)
        R, z, rho = augmented_factor(rows.Phi, rows.y / s)
    coef = np.asarray(core.ols(R, z))
    if s == 1.0 and 0.0 < max(map(abs, coef.tolist()), default=0.0) < ORDINARY[0]:
        # Tiny y: solve at a scale where no digits are lost to underflow.
        s = power_of_two_scale(rows.y)
        R, z, rho = augmented_factor(rows.Phi, rows.y / s)
        coef = np.asarray(core.ols(R, z))
    values: np.ndarray | None = None
    if certainly_full_rank(R):  # the rank rule's answer; the SVD waits for first use
        rank = R.shape[1]
    else:
        values, rank = singular_values(R)
    # Before coef is scaled: the residual norm (and the singular values) on first use.
    factor = partial(_ols_factor, R, z, rho, coef, s, rows.unit)
    if s != 1.0 or rows.unit != 1.0:
        with np.errstate(over="ignore"):
            coef = coef * s
        if not np.isfinite(coef).all():
            raise coefficients_too_large("ols", y)
        values = None if values is None else values * rows.unit
    u = LeastSquaresUncertainty(R, None, rows.n_obs, values, rank, rows.unit, factor=factor)
    return coef, u


def _ols_factor(
    R: np.ndarray, z: np.ndarray, rho: float, coef: np.ndarray, s: float, unit: float
) -> tuple[None, float, np.ndarray]:
    """(None, rss_root, singular values): the residual norm of the ols fit ``coef`` of
    ``(R, z, rho)`` (of y / s, the weights in units of ``unit**2``), in the units of y and
    of weight 1, and the singular values of the weighted design."""
    rss_root = norm(R @ coef - z, rho)
    if s != 1.0 or unit != 1.0:
        with np.errstate(over="ignore"):
            rss_root = rss_root * (s * unit)
    return None, rss_root, singular_values(R)[0] * unit
