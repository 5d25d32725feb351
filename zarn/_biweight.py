"""Tukey's biweight as the robust criterion (:mod:`zarn._criteria`) judges residuals.

The robust fit itself runs in the native engine (``zarn._native.engine``) with the same
tuning constants; the criterion's loss and cut are named here once. ``t`` is a residual
divided by a scale; ``c`` the tuning constant (the residual, in scales, beyond which the
biweight gives nothing).

Examples
--------
>>> import numpy as np
>>> rho(np.array([0.0, 10.0]), MM_TUNING).tolist()
[0.0, 1.0]
"""

from __future__ import annotations

import math

import numpy as np

# Consistency factor of the median absolute deviation for Gaussian noise: 1 / Phi^-1(3/4).
MAD_TO_SD = 1.482602218505602
# Tuning constant of the M-estimator: 95 % asymptotic efficiency against least squares for
# Gaussian noise (Beaton & Tukey 1974), so clean data are judged nearly as by least
# squares, while residuals beyond it cost the same. The robust fit's final M-steps and
# the robust criterion both use it.
MM_TUNING = 4.685061
# Residuals beyond this many scales are outliers (0.27 % of Gaussian noise lies beyond),
# and the reweighted scales keep only the residuals within it.
CUTOFF = 3.0


def truncated_sd(c: float) -> float:
    """Standard deviation of a standard normal z conditioned on ``|z| < c``.

    Examples
    --------
    >>> round(truncated_sd(3.0), 6)
    0.986578
    """
    mass = math.erf(c / math.sqrt(2.0))
    density = math.exp(-0.5 * c * c) / math.sqrt(2.0 * math.pi)
    return math.sqrt(1.0 - 2.0 * c * density / mass)


# The root mean square of Gaussian residuals within CUTOFF scales, over their deviation:
# divides a reweighted scale so that it estimates the noise's standard deviation.
TRUNCATED_SD = truncated_sd(CUTOFF)


def clipped_square(t: np.ndarray, factor: float | np.ndarray) -> np.ndarray:
    """``min((t * factor)^2, 1)``, as a new array (a square beyond the doubles is 1)."""
    with np.errstate(over="ignore"):
        u = t * factor
        np.square(u, out=u)
    return np.minimum(u, 1.0, out=u)


def rho(t: np.ndarray, c: float) -> np.ndarray:
    """Tukey's biweight rho bounded by 1: ``1 - (1 - (t / c)^2)^3``, 1 beyond the cut."""
    v = clipped_square(t, 1.0 / c)
    np.subtract(1.0, v, out=v)
    cube = np.square(v)
    cube *= v  # not v**3: NumPy's power is ten times slower
    return np.asarray(np.subtract(1.0, cube, out=cube))


def loss(t: np.ndarray, c: float = MM_TUNING) -> np.ndarray:
    """The biweight loss scaled to equal ``t^2 / 2`` near zero: ``c^2 / 6 rho(t)``.

    So ``2 loss`` plays the part of ``-2 ln(density)`` of Gaussian noise for small
    residuals and is bounded by ``c^2 / 3`` for large ones.

    Examples
    --------
    >>> import numpy as np
    >>> loss(np.array([0.0, 0.01, 100.0])).round(6).tolist()  # c^2 / 6 = 3.658299
    [0.0, 5e-05, 3.658299]
    """
    return (c * c / 6.0) * rho(t, c)
