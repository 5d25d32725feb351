"""Information criteria that rank fitted candidates: Gaussian AIC and BIC, and a robust BIC.

Every criterion is "lower is better" and is computed from a candidate's residuals on the
data it was fitted to and its number of parameters ``k`` (for a penalised fit, its
effective degrees of freedom, the estimator's ``edf_``). The MDL score,
the fourth criterion of :func:`zarn.compare_models`, is the estimator's own ``mdl_``
(:func:`zarn._scores.mdl`); it is listed in the name tables but computed there. The
tables below are the only place that names the criteria: :func:`zarn.compare_models`
checks a criterion against them, its rows and displays read their columns and titles.

The robust BIC (:func:`robust_bic`) replaces the Gaussian log-likelihood by Tukey's
bounded biweight loss of the residuals on one scale common to all candidates, so that a
gross outlier costs the same bounded amount whatever the candidate, and keeps BIC's
penalty of ln(n) per parameter, which makes it consistent: the choice converges to the
true model as n grows.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from zarn._biweight import CUTOFF, MAD_TO_SD, TRUNCATED_SD, loss
from zarn._lstsq import power_of_two_scale
from zarn._scores import Residuals

# Each criterion (also its column of ComparisonRow and of to_pandas), and its name in titles
# and labels.
CRITERION_NAMES = {
    "mdl": "MDL score",
    "aic": "Gaussian AIC",
    "bic": "Gaussian BIC",
    "rbic": "robust BIC",
}
CRITERIA = tuple(CRITERION_NAMES)
# The default criterion, for every method: on clean data it picks what BIC picks, and it
# stays right with gross outliers (measured on the performance page).
DEFAULT_CRITERION = "rbic"

# The reweighting is a contraction; it stops when the scale moves by less than this share,
# or after MAX_SCALE_STEPS steps.
SCALE_TOLERANCE = 1e-9
MAX_SCALE_STEPS = 50
# A scale never falls below this share of the size of y: a candidate that fits most points
# exactly (noise-free data) then has residuals of rounding size, which cost nothing.
RELATIVE_SCALE_FLOOR = 1e-12


Degree = int | tuple[int, ...]  # one degree for every feature, or one per feature
Weight = float | str  # a penalty weight, or "auto"


@dataclass(frozen=True)
class ComparisonRow:
    """One fitted candidate of :func:`compare_models` and its scores.

    Attributes
    ----------
    degree : int or tuple of int
        The candidate's degree, as given in ``degrees`` (one int for every feature, or one
        per feature).
    k : int
        Number of coefficients (basis functions).
    method : str
        Fitting method of :class:`zarn.PolynomialRegressor`.
    gamma1, gamma2 : float
        Slope and curvature penalty weights of the fit (the estimator's ``gamma1_`` and
        ``gamma2_``: chosen by REML where ``penalty`` says ``"auto"``).
    penalty : tuple
        The entry of ``penalties`` this candidate comes from, as given (numbers or
        ``"auto"``).
    edf : float
        Effective degrees of freedom: the trace of the fit's hat matrix (for a robust fit,
        that of its refit on the inliers). k for a fit without penalty of full rank; less
        with penalties. The k of the criteria below.
    mdl : float
        MDL score of the fit on the data, penalties included (the estimator's ``mdl_``);
        lower is better.
    hit_rate : float
        Share of samples predicted within the MDL score's tolerance, 0.4 times the median
        absolute deviation of y (0.4 if that is zero), as :func:`zarn.compute_sr` counts it.
    rmse : float
        Root mean squared residual.
    r2 : float
        Coefficient of determination.
    aic, bic : float
        ``-2 llf + 2 edf`` and ``-2 llf + edf ln(n)``: Akaike's and Schwarz's criteria
        under Gaussian noise, with ``llf = -n/2 (ln(2 pi RSS / n) + 1)`` the maximised
        Gaussian log-likelihood, as statsmodels' ``aic`` and ``bic`` (lower is better;
        ``-inf`` for a fit without residual).
    rbic : float
        Robust BIC, ``2 sum(rho(r_i / s)) + edf ln(n)``, with Tukey's bounded biweight
        loss rho of the residuals r on one scale s common to all candidates (see
        :func:`compare_models`); lower is better.
    fit_time : float
        Seconds spent in ``fit``.
    k_exceeds_n : bool
        More coefficients than samples: the fit is the minimum-norm (``"ols"``) or ridge
        (``"penalized"``, ``"robust"``) solution of an underdetermined system, which
        interpolates the data; AIC and BIC mean little for it.

    Examples
    --------
    >>> import zarn
    >>> cmp = zarn.compare_models([0.0, 1.0, 2.0, 3.0], [1.0, 3.0, 5.0, 7.0], degrees=[1])
    >>> row = cmp.rows[0]
    >>> row.degree, row.k, row.method, row.hit_rate, row.k_exceeds_n
    (1, 2, 'penalized', 1.0, False)
    """

    degree: Degree
    k: int
    method: str
    gamma1: float
    gamma2: float
    penalty: tuple[Weight, Weight]
    edf: float
    mdl: float
    hit_rate: float
    rmse: float
    r2: float
    aic: float
    bic: float
    rbic: float
    fit_time: float
    k_exceeds_n: bool


def gaussian_log_likelihood(y: np.ndarray, yp: np.ndarray) -> float:
    """Maximised Gaussian log-likelihood of a fit: ``-n/2 (ln(2 pi RSS / n) + 1)``.

    That of statsmodels' ``OLS(...).fit().llf``: the noise variance is RSS / n. The
    residual sum of squares is summed on a power-of-two scale, so values of any size give a
    finite result; a fit without residual gives +inf.

    Examples
    --------
    >>> import numpy as np
    >>> y = np.array([1.0, 2.0, 4.0])
    >>> round(gaussian_log_likelihood(y, np.array([1.5, 2.5, 3.0])), 6)  # RSS = 1.5
    -3.217095
    """
    n = len(y)
    log_rss = Residuals(y, yp).log_rss
    return -0.5 * n * (math.log(2.0 * math.pi) + log_rss - math.log(n) + 1.0)


def gaussian_aic(y: np.ndarray, yp: np.ndarray, k: float) -> float:
    """Akaike's criterion under Gaussian noise, ``-2 llf + 2 k``, as statsmodels' ``aic``.

    Parameters
    ----------
    y, yp : ndarray of shape (n_samples,)
        Observations and the fit's predictions of them.
    k : float
        Number of parameters (effective degrees of freedom of a penalised fit). As in
        statsmodels, the noise variance is not counted.

    Returns
    -------
    float
        Lower is better; -inf for a fit without residual.

    Examples
    --------
    >>> import numpy as np
    >>> y = np.array([1.0, 2.0, 4.0])
    >>> round(gaussian_aic(y, np.array([1.5, 2.5, 3.0]), 2), 6)
    10.43419
    """
    return -2.0 * gaussian_log_likelihood(y, yp) + 2.0 * k


def gaussian_bic(y: np.ndarray, yp: np.ndarray, k: float) -> float:
    """Schwarz's criterion under Gaussian noise, ``-2 llf + k ln(n)``, as statsmodels' ``bic``.

    Parameters and return as :func:`gaussian_aic`.

    Examples
    --------
    >>> import numpy as np
    >>> y = np.array([1.0, 2.0, 4.0])
    >>> round(gaussian_bic(y, np.array([1.5, 2.5, 3.0]), 2), 6)
    8.631414
    """
    return -2.0 * gaussian_log_likelihood(y, yp) + k * math.log(len(y))


def robust_scale(residuals: np.ndarray, k: float = 0.0) -> float:
    """Noise deviation from a fit's residuals, unmoved by gross outliers.

    Starts from the median absolute residual (times 1.4826; breakdown point 50 %), then
    reweights: the residuals within 3 deviations give the next deviation through their
    root mean square, corrected for the cut, until it settles. The start keeps outliers
    out; the reweighting makes the estimate nearly as precise as the standard deviation of
    clean residuals and removes the median's upward bias when many points are outliers.
    The kept residuals' sum of squares is divided by ``m - k`` rather than ``m`` (m of
    them), as for an unbiased variance of a fit of k parameters.

    Parameters
    ----------
    residuals : ndarray of shape (n_samples,)
        Observations minus the fit's predictions.
    k : float, default=0.0
        Parameters of the fit (0 for residuals that were not fitted).

    Returns
    -------
    float
        The deviation; 0.0 when more than half of the residuals are zero.

    Examples
    --------
    >>> import numpy as np
    >>> rng = np.random.default_rng(0)
    >>> r = rng.normal(scale=2.0, size=2000)
    >>> r[:600] = 1e6  # 30 % gross outliers
    >>> round(robust_scale(r), 1)
    2.0
    """
    a = np.abs(np.asarray(residuals, dtype=float))
    s = power_of_two_scale(a)  # keeps the squares of huge or tiny residuals in range
    a = a / s
    scale = MAD_TO_SD * float(np.median(a))
    for _ in range(MAX_SCALE_STEPS):
        kept = a[a < CUTOFF * scale]
        if kept.size <= k or scale == 0.0:
            break
        new = math.sqrt(float(np.sum(np.square(kept))) / (kept.size - k)) / TRUNCATED_SD
        moved = abs(new - scale)
        scale = new
        if moved <= SCALE_TOLERANCE * scale:
            break
    return scale * s


def common_scale(y: np.ndarray, predictions: Sequence[np.ndarray], ks: Sequence[float]) -> float:
    """The one noise scale on which the robust criterion compares every candidate.

    Each candidate's residuals ``y - yp`` give a robust deviation (:func:`robust_scale`,
    with its k); the common scale is the smallest of them, never below ``1e-12`` times the
    size of y. A candidate that misses part of the signal has a larger deviation, and so
    does one whose fit was dragged by outliers, so the smallest belongs to a candidate
    that explains the inliers, whichever it is; candidates with ``k > n - 1``
    (interpolating, without a residual degree of freedom) are left out. This is more
    reliable than the usual choice of the largest model's fit (Ronchetti & Staudte 1994),
    which may be the one whose robust fit failed; the minimum's downward bias, among
    nearly equal estimates of overfitted candidates, is small next to the scale's own
    sampling error.

    Parameters
    ----------
    y : ndarray of shape (n_samples,)
        Observations.
    predictions : sequence of ndarray
        Each candidate's predictions of y.
    ks : sequence of float
        Each candidate's number of parameters.

    Returns
    -------
    float
        The scale, > 0.

    Examples
    --------
    >>> import numpy as np
    >>> x = np.linspace(-1.0, 1.0, 101)
    >>> y = x**2 + 0.1 * np.cos(40 * x)  # a parabola plus a wiggle of deviation 0.07
    >>> line = np.full(101, y.mean())
    >>> round(common_scale(y, [line, x**2], [1, 3]), 2)
    0.07
    """
    n = len(y)
    s = power_of_two_scale(y)  # residuals of huge y without overflow; exact
    y = y / s
    centre = float(np.median(y))
    size = abs(centre) + MAD_TO_SD * float(np.median(np.abs(y - centre)))
    floor = RELATIVE_SCALE_FLOOR * size if size > 0.0 else np.finfo(float).tiny
    with np.errstate(over="ignore"):
        scales = [robust_scale(y - yp / s, k) for yp, k in zip(predictions, ks) if k <= n - 1]
    finite = [v for v in scales if math.isfinite(v)]
    return max(min(finite, default=floor), floor) * s


def robust_bic(y: np.ndarray, yp: np.ndarray, k: float, scale: float) -> float:
    """Robust BIC: ``2 sum(rho((y - yp) / scale)) + k ln(n)``, with Tukey's biweight rho.

    The Schwarz criterion with the Gaussian ``-2 llf`` replaced by twice a bounded loss of
    the standardised residuals (the robust Schwarz criterion of Machado 1993, "Robust
    model selection and M-estimation", Econometric Theory 9; the robust AIC of Ronchetti
    1985, "Robust model selection in regression", Statistics & Probability Letters 3,
    with BIC's penalty). Because :func:`zarn._biweight.loss` equals ``u^2 / 2`` near zero, on
    clean data it ranks candidates nearly as Gaussian BIC does; each gross outlier costs
    at most ``c^2 / 3 = 7.3`` whatever the candidate, so outliers neither dominate the sum
    nor reward a candidate that bends towards them. All candidates must be scored with
    the same ``scale`` (:func:`common_scale`): with its own scale each candidate would
    measure its residuals in its own units.

    Parameters
    ----------
    y, yp : ndarray of shape (n_samples,)
        Observations and the fit's predictions of them.
    k : float
        Number of parameters (effective degrees of freedom of a penalised fit).
    scale : float
        The common noise scale, > 0.

    Returns
    -------
    float
        Lower is better.

    Examples
    --------
    >>> import numpy as np
    >>> y = np.array([0.0, 0.1, -0.1, 50.0])  # one gross outlier
    >>> round(robust_bic(y, np.zeros(4), 1, scale=0.1), 3)  # 2 rho(1) twice, c^2 / 3, ln 4
    10.613
    """
    n = len(y)
    s = max(power_of_two_scale(y), power_of_two_scale(yp))  # no overflow for huge y
    with np.errstate(over="ignore"):
        r = (y / s - yp / s) / (scale / s)
    return 2.0 * float(np.sum(loss(r))) + k * math.log(n)
