"""Scores of a prediction: the MDL score and the sums of squares behind R^2 and the RMSE.

Both are safe for values of any size that doubles hold: sums of squares are taken on
values scaled by a power of two (exactly), and a penalty beyond the range of doubles makes
the MDL score +inf, never NaN.
"""

from __future__ import annotations

import math

import numpy as np

from zarn._lstsq import Penalty, power_of_two_scale
from zarn._native import zarn_core as core


def mdl(yp: np.ndarray, y: np.ndarray, coef: np.ndarray, H: int, penalty: Penalty) -> float:
    """MDL score of a prediction; the penalties only where a weight is not zero.

    The core's :func:`zarn.mdl_score_reg` with the penalty's matrices and weights (its
    ridge does not count), or :func:`zarn.mdl_score` when it has no matrices.

    A penalty beyond the range of doubles (huge coefficients) makes the score +inf, never
    NaN: the quadratic forms are then summed on coefficients scaled by a power of two.
    """
    k = len(coef)
    R1, R2, gamma1, gamma2 = penalty.R1, penalty.R2, penalty.gamma1, penalty.gamma2
    if R1 is None or R2 is None:
        return float(core.mdl_score(yp, y, k, H))
    score = float(core.mdl_score_reg(yp, y, k, H, coef, R1, R2, gamma1, gamma2))
    if math.isfinite(score):
        return score
    s = power_of_two_scale(coef)
    b = coef / s
    # The penalty matrices are positive semi-definite: a negative form is rounding.
    terms = gamma1 * max(float(b @ R1 @ b), 0.0) + gamma2 * max(float(b @ R2 @ b), 0.0)
    return float(core.mdl_score(yp, y, k, H)) + terms * s * s  # (terms * s) * s: 0 stays 0


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
