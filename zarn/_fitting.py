"""Least-squares fits and their scores, safe for values of any size that doubles hold.

Least squares, its penalties and R^2 are homogeneous in y, so values far from 1 are
scaled by a power of two (exactly) before the sums that would overflow or underflow.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping
from typing import Any

import numpy as np

from zarn._constants import ORDINARY
from zarn._native import zarn_core as core
from zarn._validation import check_finite

# The estimator's parameters that are the robust method's sampler settings.
SAMPLER_PARAMS = ("n_chains", "n_warmup", "n_deep", "n_elite", "step_size")


def solve(method, Phi, y, R1, R2, gamma1, gamma2, ridge) -> np.ndarray:
    """The core's ``"ols"`` or ``"penalized"`` fit of one target."""
    if method == "ols":
        return core.ols(Phi, y)
    return core.fit_regularized_linear(Phi, y, R1, R2, gamma1, gamma2, ridge)


def least_squares(method, Phi, y, R1, R2, gamma1, gamma2, ridge) -> np.ndarray:
    """The ols or penalised fit: exact for huge and tiny y, clear about non-finite input."""
    coef: np.ndarray | None = None
    try:
        coef = solve(method, Phi, y, R1, R2, gamma1, gamma2, ridge)
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
            coef = solve(method, Phi, y / s, R1, R2, gamma1, gamma2, ridge) * s
        if not np.isfinite(coef).all():
            raise ValueError(
                f"the {method} fit's coefficients exceed the range of doubles: y is too large "
                f"(max |y| = {float(np.abs(y).max()):.3g}); rescale it"
            )
    elif coef is None:
        coef = solve(method, Phi, y, R1, R2, gamma1, gamma2, ridge)  # the core's error again
    assert coef is not None  # every route above fits, or raises
    if not np.isfinite(coef).all():
        raise ValueError(
            f"the {method} fit gave non-finite coefficients: the penalty weights "
            f"(gamma1={gamma1}, gamma2={gamma2}) or the ridge ({ridge}) are too large for "
            "double precision"
        )
    return coef


def robust(Phi: np.ndarray, y: np.ndarray, R1: Any, R2: Any, params: Mapping[str, Any], seed: int):
    """The robust method's fit of a finite y (:func:`zarn._robust.robust_fit`), for y of any size.

    ``params`` are the estimator's checked parameters (penalty weights, ridge, H and the
    sampler settings). Returns the :class:`zarn._robust.RobustFit` in the units of y.
    """
    from zarn._robust import robust_fit

    # y beyond 1e+-100 is fitted as y / s for a power of two s (exactly), so that its
    # sums of squares stay in range; the energy's penalties are then weighed at that scale.
    s = power_of_two_scale(y)
    result = robust_fit(
        Phi,
        y / s,
        R1,
        R2,
        params["gamma1"],
        params["gamma2"],
        ridge=params["ridge"],
        H=params["H"],
        sampler={name: params[name] for name in SAMPLER_PARAMS},
        seed=seed,
    )
    if s == 1.0:
        return result
    with np.errstate(over="ignore"):
        coef = result.coef * s
    if not np.isfinite(coef).all():
        raise ValueError(
            "the robust fit's coefficients exceed the range of doubles: y is too large "
            f"(max |y| = {float(np.abs(y).max()):.3g}); rescale it"
        )
    return dataclasses.replace(result, coef=coef)


def mdl(yp, y, coef, H, R1, R2, gamma1, gamma2) -> float:
    """MDL score of a prediction; the penalties only where a weight is not zero.

    A penalty beyond the range of doubles (huge coefficients) makes the score +inf, never
    NaN: the quadratic forms are then summed on coefficients scaled by a power of two.
    """
    k = len(coef)
    if R1 is None:
        return core.mdl_score(yp, y, k, H)
    score = core.mdl_score_reg(yp, y, k, H, coef, R1, R2, gamma1, gamma2)
    if math.isfinite(score):
        return score
    s = power_of_two_scale(coef)
    b = coef / s
    # The penalty matrices are positive semi-definite: a negative form is rounding.
    penalty = gamma1 * max(float(b @ R1 @ b), 0.0) + gamma2 * max(float(b @ R2 @ b), 0.0)
    return core.mdl_score(yp, y, k, H) + penalty * s * s  # (penalty * s) * s: 0 stays 0


class Residuals:
    """Scores from the sums of squares of y - yp and of y - mean(y), kept in range.

    With ``weights``, each squared term is multiplied by its sample's weight and the mean
    of y is the weighted one (scikit-learn's ``r2_score`` with ``sample_weight``).

    Attributes
    ----------
    log_rss : float
        ln(rss), finite even where rss itself is not (-inf for a perfect fit).
    rmse : float
        Root mean squared residual (weighted: ``sqrt(rss / sum(weights))``).
    r2 : float
        Coefficient of determination: 1.0 for a constant y predicted exactly, 0.0 for one
        that is not; -inf below the most negative double.
    """

    def __init__(self, y: np.ndarray, yp: np.ndarray, weights: np.ndarray | None = None) -> None:
        s = max(power_of_two_scale(y), power_of_two_scale(yp))
        y, yp = y / s, yp / s
        if weights is None:
            log_unit, total = 0.0, float(len(y))
            res, s_res = _scaled_sum_of_squares(y - yp)
            tot, s_tot = _scaled_sum_of_squares(y - y.mean())
        else:
            # Weights relative to the largest keep the sums in range; its logarithm is
            # added back to ln(rss).
            top = float(weights.max())
            relative = weights / top
            log_unit, total = math.log(top), float(relative.sum())
            sw = np.sqrt(relative)
            res, s_res = _scaled_sum_of_squares((y - yp) * sw)
            tot, s_tot = _scaled_sum_of_squares((y - np.average(y, weights=relative)) * sw)
        self.log_rss = (
            math.log(res) + 2.0 * math.log(s * s_res) + log_unit if res > 0.0 else -math.inf
        )
        self.rmse = s * s_res * math.sqrt(res / total)
        if tot == 0.0:
            self.r2 = 1.0 if res == 0.0 else 0.0
        else:
            ratio = s_res / s_tot
            self.r2 = 1.0 - (res / tot) * ratio * ratio


def _scaled_sum_of_squares(r: np.ndarray) -> tuple[float, float]:
    """(sum((r / s)**2), s) for a power of two s that keeps the sum in range."""
    s = power_of_two_scale(r)
    return float(np.sum(np.square(r / s))), s


def power_of_two_scale(y: np.ndarray) -> float:
    """1.0 for y of ordinary size, else a power of two that brings max|y| near 1."""
    return power_of_two(float(np.abs(y).max(initial=0.0)))


def power_of_two(top: float) -> float:
    """1.0 for a magnitude of ordinary size, else a power of two with top / it in [1, 2)."""
    if ORDINARY[0] < top < ORDINARY[1] or top == 0.0:
        return 1.0
    return math.ldexp(1.0, math.frexp(top)[1] - 1)
