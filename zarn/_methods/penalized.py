"""``method="penalized"``: least squares with slope and curvature penalties and a ridge."""

from __future__ import annotations

import math
from collections.abc import Callable
from functools import partial

import numpy as np

from zarn._constants import ORDINARY
from zarn._lstsq import (
    Penalty,
    augmented_factor,
    certainly_full_rank,
    coefficients_too_large,
    norm,
    penalty_matrix,
    penalty_root,
    power_of_two_scale,
    r_factor,
    singular_values,
    weighted_rows,
    well_determined,
)
from zarn._methods._base import Fit, Method, Series, auto, penalty_of
from zarn._native import zarn_core as core
from zarn._settings import Settings
from zarn._smoothing import choose_weights
from zarn._uncertainty import PenalizedUncertainty, Uncertainty, design_uncertainty
from zarn._validation import check_finite

# A penalised fit defers the QR factor of its design to the first use of its uncertainty
# when its rank is certainly full: for small fits the factor costs more than the fit, for
# large ones several times the penalised solve. A weighted design of at most this many
# elements (512 KB) is kept with the fit until then; a larger one is built again.
DEFER_ELEMENTS = 1 << 16
# The normal equations square the condition number of the design: they serve where the
# smallest eigenvalue of its Gram matrix is above this share of the trace (condition
# number below sqrt(k / ACCURATE_MARGIN), 63 for k = 4: degree 3 on [-1, 1] is about
# 8), so that they lose at most about log10(63) digits more than a QR solve (some 1e-12
# relative). Elsewhere the stacked QR solves the fit.
ACCURATE_MARGIN = 1e-3


class Penalized(Method):
    """Least squares plus ``N gamma1 b'R1 b + N gamma2 b'R2 b + ridge |b|^2``.

    N is ``sum(w)`` (the number of samples without weights) and the ridge is in the
    weights' units, so that integer weights give the fit of repeated samples and weights
    scaled by a constant give the same fit. The core's normal equations
    (:func:`zarn.fit_regularized_linear`) solve it where they are accurate, the QR
    factorisation of the stacked system elsewhere (:func:`fit_penalized`). A weight
    ``"auto"`` is chosen by REML first (:func:`zarn._smoothing.choose_weights`).

    The covariance is the Bayesian posterior one, ``scale**2 (Phi'W Phi + S)^-1`` with S
    the penalty, and ``scale**2 = sum(w r**2) / (n_obs - edf)`` (as mgcv's ``Vp``): it
    includes the bias that the penalty brings, which is what gives its intervals their
    coverage across the curve.

    Examples
    --------
    >>> x = np.linspace(-1, 1, 20)
    >>> Phi = np.column_stack([np.ones(20), x])
    >>> coef, u = fit_penalized(Phi, 1 + 2 * x, None, Penalty(None, None, 0.0, 0.0, 1e-10))
    >>> coef.round(6).tolist(), round(u.edf, 6)
    ([1.0, 2.0], 2.0)
    """

    name = "penalized"
    linear = True

    def fit(self, data: Series, settings: Settings) -> Fit:
        if auto(settings):
            check_finite(data.y, "y")
            settings = auto_weights(data, settings)
        penalty = penalty_of(data.design, settings)
        coef, classic = fit_penalized(data.Phi, data.y, data.w, penalty, data.matrix)
        uncertainty = self.uncertainty_of(data, coef, classic, settings)
        return Fit(coef, uncertainty, settings, penalty)

    def solve(self, Phi: np.ndarray, y: np.ndarray, penalty: Penalty) -> np.ndarray:
        """The core's normal equations where they are accurate, else the stacked QR."""
        if not normal_equations_accurate(Phi):
            return stacked_fit(Phi, y, penalty.matrix(Phi.shape[1], len(Phi)))[0]
        R1, R2, g1, g2, ridge = penalty
        return np.asarray(core.fit_regularized_linear(Phi, y, R1, R2, g1, g2, ridge))

    def fit_rows(
        self, Phi: np.ndarray, y: np.ndarray, w: np.ndarray | None, penalty: Penalty
    ) -> tuple[np.ndarray, Uncertainty]:
        return fit_penalized(Phi, y, w, penalty)

    def design_uncertainty(self, R: np.ndarray, n_obs: int, penalty: Penalty) -> Uncertainty:
        """The posterior ``(R'R + S)^-1`` and ``edf = trace((R'R + S)^-1 R'R)``, with the
        penalties' n the number of samples."""
        return design_uncertainty(R, n_obs, penalty.matrix(R.shape[1], n_obs))


def auto_weights(data: Series, settings: Settings) -> Settings:
    """The settings with the ``"auto"`` weights chosen by REML for the fit of the series.

    With sample weights the choice is made on the weighted rows, with the ridge in the
    weights' units, and the weights found (for the penalty n gamma with n the rows) are
    converted to the fit's n, the sum of the sample weights. The criterion counts the
    observations as the rows, so that weights times a constant choose the same, except
    that integer weights count as the rows they repeat (their sum), so that they choose
    as the repeated rows do.
    """
    Phi, y, factor, count = data.Phi, data.y, 1.0, None
    if data.w is not None:
        rows = weighted_rows(Phi, y, data.w)
        Phi, y, factor = rows.Phi, rows.y, rows.n_obs / rows.total
        if rows.unit == 1.0 and bool((data.w == np.round(data.w)).all()):
            count = rows.total
    R1, R2 = data.design.penalties(1.0, 1.0)
    assert R1 is not None and R2 is not None  # weights that are not zero
    choice = choose_weights(
        Phi,
        y,
        R1,
        R2,
        settings.gamma1,
        settings.gamma2,
        ridge=settings.ridge / factor,
        n_obs=count,
    )
    return settings.with_weights(choice.gamma1 * factor, choice.gamma2 * factor)


def fit_penalized(
    Phi: np.ndarray,
    y: np.ndarray,
    w: np.ndarray | None,
    penalty: Penalty,
    rebuild: Callable[[], np.ndarray] | None = None,
) -> tuple[np.ndarray, PenalizedUncertainty]:
    """The penalised least-squares fit of y on Phi with its posterior uncertainty.

    The fit is that of ``sqrt(w) Phi`` and ``sqrt(w) y`` on the samples of positive
    weight, with the penalty in the weights' units (:meth:`zarn._lstsq.Penalty.scaled`).
    Where the normal equations are accurate (:func:`normal_equations_accurate`) the core
    solves them, and the QR factor of the uncertainty waits for its first use: a small
    design is kept until then; a large one is built again by ``rebuild`` (a picklable
    callable that returns Phi; y and w are then kept, and must be the caller's own
    arrays). Elsewhere the fit is the QR factorisation of the stacked system (
    :func:`stacked_fit`), as accurate as ``"ols"``.
    """
    rows = weighted_rows(Phi, y, w)
    m = rows.n_obs
    scaled = penalty.scaled(rows.total / m)  # the same without weights
    R1, R2, g1, g2, ridge = scaled
    k = rows.Phi.shape[1]
    S = partial(penalty_matrix, k, R1, R2, m * g1, m * g2, ridge)
    unit = rows.unit
    if not normal_equations_accurate(rows.Phi):
        coef, R, rss_root = stacked_fit(rows.Phi, rows.y, S())
        with np.errstate(over="ignore"):
            rss_root = rss_root * unit
        values, rank = singular_values(R)
        return coef, PenalizedUncertainty(R, rss_root, m, values * unit, rank, unit, penalty=S)
    coef = least_squares(rows.Phi, rows.y, scaled)
    if rows.Phi.size <= DEFER_ELEMENTS:  # y is copied, as the caller may change its array
        deferred = partial(_penalized_factor, rows.Phi, rows.y.copy(), coef, unit)
    elif rebuild is not None:
        deferred = partial(_rebuilt_factor, rebuild, y, w, coef, unit)
    else:
        R, rss_root, values, rank = _penalized_factor(rows.Phi, rows.y, coef, unit)
        return coef, PenalizedUncertainty(R, rss_root, m, values, rank, unit, penalty=S)
    return coef, PenalizedUncertainty(None, None, m, None, k, unit, deferred, penalty=S)


def normal_equations_accurate(Phi: np.ndarray) -> bool:
    """Whether the core's normal equations fit the weighted rows Phi accurately: the
    design is certainly well conditioned (:data:`ACCURATE_MARGIN`), whatever the
    penalty (which can only improve the conditioning of the equations)."""
    return certainly_full_rank(Phi, ACCURATE_MARGIN)


def stacked_fit(
    Phi: np.ndarray, y: np.ndarray, S: np.ndarray
) -> tuple[np.ndarray, np.ndarray, float]:
    """``(coef, R, rss_root)`` of the penalised least squares ``|Phi b - y|^2 + b'S b``.

    The QR factor ``[R, z; 0, rho]`` of ``[Phi, y]`` (that of ``"ols"``) reduces the
    problem to ``|R b - z|^2 + |L b|^2`` with ``L'L = S``: the QR factorisation of the
    stacked ``[R, z; L, 0]`` (2k rows) solves it without the normal equations. y is
    scaled by a power of two where its sums of squares would leave the range of doubles.
    R is that of the design, rss_root the residual norm of the data (in y's units).
    """
    R, z, rho = augmented_factor(Phi, y)
    s = 1.0
    if not (all(map(math.isfinite, z.tolist())) and math.isfinite(rho)):
        check_finite(y, "y")  # NaN or infinity in y shows in every entry of z
        s = power_of_two_scale(y)
        R, z, rho = augmented_factor(Phi, y / s)
    root = penalty_root(S)
    coef = _stacked_solve(R, z, root)
    if s == 1.0 and not np.isfinite(coef).all():
        # Finite sums whose solution leaves the range of doubles: solve for y / s.
        s = power_of_two_scale(y)
        R, z, rho = augmented_factor(Phi, y / s)
        coef = _stacked_solve(R, z, root)
    rss_root = norm(R @ coef - z, rho)
    if s != 1.0:
        with np.errstate(over="ignore"):
            coef, rss_root = coef * s, rss_root * s
        if not np.isfinite(coef).all():
            raise coefficients_too_large("penalized", y)
    return coef, R, rss_root


def _stacked_solve(R: np.ndarray, z: np.ndarray, root: np.ndarray) -> np.ndarray:
    """The minimiser of ``|R b - z|^2 + |L b|^2`` (``root`` is L), by the QR
    factorisation of the stacked ``[R, z; L, 0]``."""
    k = R.shape[1]
    stacked = np.zeros((len(R) + k, k + 1))
    stacked[: len(R), :k], stacked[: len(R), k] = R, z
    stacked[len(R) : len(R) + len(root), :k] = root
    T = r_factor(stacked)
    Tk, t = T[:k, :k], T[:k, k]
    # The triangular solve, or the core's minimum-norm solution where T is singular (no
    # ridge, a rank-deficient design).
    return np.linalg.solve(Tk, t) if well_determined(Tk) else np.asarray(core.ols(Tk, t))


def least_squares(Phi: np.ndarray, y: np.ndarray, penalty: Penalty) -> np.ndarray:
    """The penalised fit: exact for huge and tiny y, clear about non-finite input."""
    solve = Penalized().solve
    coef: np.ndarray | None = None
    try:
        coef = solve(Phi, y, penalty)
    except ValueError:  # the normal equations overflowed, or y is not finite
        pass
    else:
        c = coef.tolist()
        if all(map(math.isfinite, c)) and not 0.0 < max(map(abs, c), default=0.0) < ORDINARY[0]:
            return coef  # the common case: finite, and no digits lost to underflow
    check_finite(y, "y")  # a NaN or infinity in y spreads to every coefficient
    # Fitting y / s and scaling the coefficients back by s is the same fit; a power of
    # two s is exact and keeps the normal equations of huge or tiny y in range.
    s = power_of_two_scale(y)
    if s != 1.0:
        with np.errstate(over="ignore"):
            coef = solve(Phi, y / s, penalty) * s
        if not np.isfinite(coef).all():
            raise coefficients_too_large("penalized", y)
    elif coef is None:
        coef = solve(Phi, y, penalty)  # the core's error again
    assert coef is not None  # every route above fits, or raises
    if not np.isfinite(coef).all():
        raise ValueError(
            f"the penalized fit gave non-finite coefficients: the penalty weights "
            f"(gamma1={penalty.gamma1}, gamma2={penalty.gamma2}) or the ridge "
            f"({penalty.ridge}) are too large for double precision"
        )
    return coef


def _rebuilt_factor(
    rebuild: Callable[[], np.ndarray],
    y: np.ndarray,
    w: np.ndarray | None,
    coef: np.ndarray,
    unit: float,
) -> tuple[np.ndarray, float, np.ndarray, int]:
    """:func:`_penalized_factor` of the weighted rows of the design built again."""
    rows = weighted_rows(rebuild(), y, w)
    return _penalized_factor(rows.Phi, rows.y, coef, unit)


def _penalized_factor(
    Phi: np.ndarray, y: np.ndarray, coef: np.ndarray, unit: float
) -> tuple[np.ndarray, float, np.ndarray, int]:
    """(R, rss_root, singular values, rank) of a penalised fit of the weighted rows (Phi, y).

    The factor is that of ``[Phi, y / s]`` for the power of two s that brings the
    coefficients near 1; ``unit`` is the weights' (:class:`zarn._lstsq.WeightedRows`).
    """
    s = power_of_two_scale(coef)
    R, z, rho = augmented_factor(Phi, y / s)
    values, rank = singular_values(R)
    rss_root = norm(R @ (coef / s) - z, rho)
    with np.errstate(over="ignore"):
        rss_root = rss_root * (s * unit)
    return R, rss_root, values * unit, rank
