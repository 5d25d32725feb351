"""Outlier-resistant polynomial fit: a sampler start, trimmed refits, and an MDL check.

The estimator's ``method="robust"`` calls :func:`robust_fit` on a design matrix whose
features are already mapped onto [-1, 1]. The procedure is described in the docstring of
:func:`robust_fit`.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from zarn._native import zarn_core

# Residuals beyond this many estimated noise deviations are outliers. Three deviations keep
# 99.7 % of Gaussian noise (clean data loses almost nothing against the plain fit) while
# uniform gross outliers far from the curve are cut.
CUTOFF = 3.0
# Each round of trimmed refits stops when the inlier set repeats; this bounds it otherwise.
MAX_REFITS = 30
# Smallest noise scale, relative to the size of y.
RELATIVE_FLOOR = 1e-9
# Consistency factor of the MAD for Gaussian noise.
MAD_TO_SD = 1.482602218505602


def _truncated_sd(c: float) -> float:
    """Standard deviation of a standard normal z conditioned on ``|z| < c``."""
    mass = math.erf(c / math.sqrt(2.0))
    density = math.exp(-0.5 * c * c) / math.sqrt(2.0 * math.pi)
    return math.sqrt(1.0 - 2.0 * c * density / mass)


def _truncated_median(c: float) -> float:
    """Median of ``|z|`` for a standard normal z conditioned on ``|z| < c`` (bisection)."""
    half = 0.5 * math.erf(c / math.sqrt(2.0))
    low, high = 0.0, c
    for _ in range(60):
        mid = 0.5 * (low + high)
        low, high = (mid, high) if math.erf(mid / math.sqrt(2.0)) < half else (low, mid)
    return 0.5 * (low + high)


TRUNCATED_SD = _truncated_sd(CUTOFF)
TRUNCATED_MEDIAN = _truncated_median(CUTOFF)


@dataclass(frozen=True)
class GibbsRecord:
    """Gibbs analysis of the sampler's warm-up energies, as a frozen, picklable record.

    The fields are those of :class:`zarn.GibbsResult`: the entropy ``H`` of the Boltzmann
    weights of the chains' final energies, its largest possible value ``Hmax``, their ratio
    ``He``, the derived ``r_heat = 0.01 + 0.99 He`` (which sets the deep phase's starting
    temperature ``0.5 r_heat``), the population variance ``var_E`` of the energies and the
    temperature ``T`` of the analysis.

    Examples
    --------
    >>> import pickle
    >>> import zarn
    >>> g = GibbsRecord.from_native(zarn.gibbs_entropy([0.0, 0.0, 0.0, 0.0]))
    >>> g.He, g.r_heat, g.var_E
    (1.0, 1.0, 0.0)
    >>> pickle.loads(pickle.dumps(g)) == g
    True
    """

    H: float
    Hmax: float
    He: float
    r_heat: float
    var_E: float
    T: float

    @classmethod
    def from_native(cls, g: Any) -> GibbsRecord:
        """Copy the six fields of a :class:`zarn.GibbsResult`.

        Parameters
        ----------
        g : zarn.GibbsResult
            The native result, for example ``MCMCResult.gibbs``.

        Returns
        -------
        GibbsRecord

        Examples
        --------
        >>> import zarn
        >>> GibbsRecord.from_native(zarn.gibbs_entropy([5.0])).r_heat
        0.01
        """
        return cls(
            H=float(g.H),
            Hmax=float(g.Hmax),
            He=float(g.He),
            r_heat=float(g.r_heat),
            var_E=float(g.var_E),
            T=float(g.T),
        )


@dataclass(frozen=True)
class RobustFit:
    """Result of :func:`robust_fit`.

    Attributes
    ----------
    coef : numpy.ndarray
        Coefficients for the columns of the design matrix; always the penalised
        least-squares fit of the rows selected by ``inlier_mask``.
    inlier_mask : numpy.ndarray of bool
        The rows treated as inliers; all True when the fit of all data was kept.
    gibbs : GibbsRecord
        Gibbs analysis of the sampler's warm-up.

    Examples
    --------
    >>> import numpy as np, zarn
    >>> x = np.linspace(-1.0, 1.0, 50)
    >>> Phi = zarn.design_matrix_1d(1, x)
    >>> fit = robust_fit(Phi, 1.0 + x, None, None, 0.0, 0.0, ridge=1e-10, H=20,
    ...                  sampler=dict(n_chains=4, n_warmup=20, n_deep=50, n_elite=2,
    ...                               step_size=0.05), seed=0)
    >>> np.round(fit.coef, 6).tolist(), bool(fit.inlier_mask.all())
    ([1.0, 1.0], True)
    """

    coef: np.ndarray
    inlier_mask: np.ndarray
    gibbs: GibbsRecord


def _energy(
    Phi: np.ndarray,
    y: np.ndarray,
    coef: np.ndarray,
    H: int,
    R1: np.ndarray,
    R2: np.ndarray,
    gamma1: float,
    gamma2: float,
) -> float:
    """The MDL score of ``coef`` with its penalties: the objective the sampler minimises."""
    return zarn_core.mdl_score_reg(Phi @ coef, y, Phi.shape[1], H, coef, R1, R2, gamma1, gamma2)


def _scale(v: np.ndarray) -> float:
    """The MAD of ``v``, or 1 when it is 0 (more than half of the values are equal).

    The MDL energy takes the same fallback: its hit tolerance is 0.4 MAD, or 0.4 when the
    MAD is 0, so dividing y by this scale leaves the energy unchanged.
    """
    s = zarn_core.mad(v)
    return s if s > 0.0 else 1.0


def _sampler_start(
    Phi: np.ndarray,
    y: np.ndarray,
    pen: tuple[Any, Any, float, float],
    H: int,
    sampler: Mapping[str, Any],
    seed: int,
) -> tuple[np.ndarray, Any]:
    """Run the sampler on standardised data and return its coefficients in units of ``y``.

    The sampler's starting spread and step sizes are absolute, so it sees
    ``z = (y - median(y)) / s`` with ``s`` the MAD of ``y``. Its hit-count energy is
    invariant under this change of units once the penalty weights are multiplied by
    ``s**2``: the penalties annihilate constants, so the shift of column 0 costs nothing.
    """
    R1, R2, gamma1, gamma2 = pen
    loc = float(np.median(y))
    s = _scale(y)
    with np.errstate(over="ignore"):
        z = (y - loc) / s
    # Values beyond 1e150 MADs (even beyond the range of doubles) stay misses when clipped.
    np.clip(z, -1e150, 1e150, out=z)
    mcmc = zarn_core.TournamentMCMC(**sampler, H_piH=H, seed=seed)
    res = mcmc.fit(Phi, z, R1, R2, gamma1 * s * s, gamma2 * s * s)
    coef = res.beta_mcmc * s
    coef[0] += loc
    return coef, res.gibbs


def _refit(
    Phi: np.ndarray, y: np.ndarray, mask: np.ndarray, pen: tuple, ridge: float
) -> np.ndarray:
    R1, R2, gamma1, gamma2 = pen
    return zarn_core.fit_regularized_linear(
        Phi[mask], y[mask], R1, R2, gamma1=gamma1, gamma2=gamma2, ridge=ridge
    )


def _median_scale(r: np.ndarray, k: int) -> float:
    """Noise deviation from the median absolute residual of inliers cut at ``CUTOFF``."""
    return float(np.median(np.abs(r))) / TRUNCATED_MEDIAN


def _sd_scale(r: np.ndarray, k: int) -> float:
    """Noise deviation from the residual sum of squares of inliers cut at ``CUTOFF``.

    NumPy's own summation, not a BLAS dot product, whose split over threads could change
    the last bits with the number of threads.
    """
    return math.sqrt(float(np.sum(np.square(r))) / (r.size - k)) / TRUNCATED_SD


def _trimmed_refits(
    Phi: np.ndarray, y: np.ndarray, start: np.ndarray, pen: tuple, ridge: float
) -> np.ndarray | None:
    """Inlier set of trimmed least-squares refits started from ``start``, or None.

    A point is an inlier while its residual is below ``CUTOFF`` noise deviations. The first
    deviation is 1.4826 times the median absolute residual of the start. Then the inliers
    get the penalised fit and are re-selected by its residuals, with the deviation
    re-estimated from the inliers' residuals: first from their median, which outliers
    that slipped in barely move, until the inlier set repeats; then from their sum of
    squares, which is more precise once they are gone, until it repeats again. No
    deviation falls below ``RELATIVE_FLOOR`` times the size of ``y``. Returns None when
    k points or fewer would remain.
    """
    n, k = Phi.shape
    # A floor far below any noise, relative to the data's size: an exact fit's rounding
    # errors count as zero residuals, so data on a polynomial keeps every point.
    floor = RELATIVE_FLOOR * (abs(float(np.median(y))) + _scale(y))
    r = y - Phi @ start
    mask = np.abs(r) < CUTOFF * max(MAD_TO_SD * float(np.median(np.abs(r))), floor)
    for scale in (_median_scale, _sd_scale):
        seen: set[bytes] = set()
        for _ in range(MAX_REFITS):
            if int(mask.sum()) <= k:
                return None
            key = np.packbits(mask).tobytes()
            if key in seen:  # the inlier set repeats: a fixed point or a cycle
                break
            seen.add(key)
            r = y - Phi @ _refit(Phi, y, mask, pen, ridge)
            mask = np.abs(r) < CUTOFF * max(scale(r[mask], k), floor)
    return mask


def robust_fit(
    Phi: np.ndarray,
    y: np.ndarray,
    R1: np.ndarray | None,
    R2: np.ndarray | None,
    gamma1: float,
    gamma2: float,
    *,
    ridge: float,
    H: int,
    sampler: Mapping[str, Any],
    seed: int,
) -> RobustFit:
    """Fit ``y ~ Phi @ coef`` so that gross outliers do not move the fit.

    Procedure:

    1. **Start.** :class:`zarn.TournamentMCMC` (settings ``sampler``, complexity ``H``,
       seed ``seed``) minimises the MDL energy, whose data term counts the points within
       0.4 MAD of the curve and so ignores points far from it, whatever their number. It
       runs on ``y`` centred by its median and scaled by its MAD (the sampler's starting
       spread and steps are absolute); ``Phi`` already has its features on [-1, 1].
    2. **Trimmed refits.** From the start's residuals, the noise deviation is 1.4826
       times their median absolute value; the points within 3 deviations are the
       inliers and get the penalised least-squares fit (:func:`zarn.fit_regularized_linear`).
       The deviation is re-estimated from the inliers' residuals (corrected for the cut),
       the inliers are re-selected by the new fit's residuals over all points, and the
       two steps repeat until the inlier set repeats: first with the deviation taken from
       the inliers' median absolute residual, which outliers that slipped in barely move,
       then from their sum of squares, which is more precise once they are gone (at most
       30 refits each).
    3. **Check.** The penalised fit of all data is a candidate too: the refit on the
       final inliers is kept only if its MDL energy (:func:`zarn.mdl_score_reg` with the
       penalties, in the units of ``y``) is not above that of the fit of all data;
       otherwise the fit of all data is returned with every point an inlier.

    So the result always ends with a penalised least-squares fit of its inlier set, is
    never worse on its MDL energy than the penalised fit of all data, and depends only on
    the arguments (the sampler's result does not depend on the number of threads).

    Parameters
    ----------
    Phi : numpy.ndarray
        Design matrix, n x k, float64; column 0 is the constant.
    y : numpy.ndarray
        Observations, length n, finite float64.
    R1, R2 : numpy.ndarray or None
        Penalty matrices (k x k) of the basis, or None when both weights are zero.
    gamma1, gamma2 : float
        Penalty weights, as for :func:`zarn.fit_regularized_linear`.
    ridge : float
        Ridge term of the penalised fits.
    H : int
        MDL complexity parameter.
    sampler : mapping
        ``n_chains``, ``n_warmup``, ``n_deep``, ``n_elite`` and ``step_size`` of
        :class:`zarn.TournamentMCMC`.
    seed : int
        Seed of the sampler, in [0, 2**64).

    Returns
    -------
    RobustFit
        Coefficients, inlier mask and the sampler's Gibbs record.

    Examples
    --------
    >>> import numpy as np, zarn
    >>> rng = np.random.default_rng(0)
    >>> x = rng.uniform(-1.0, 1.0, 200)
    >>> y = 1.0 - 2.0 * x + 3.0 * x**3 + 0.01 * rng.standard_normal(200)
    >>> y[:40] = rng.uniform(-20.0, 20.0, 40)  # 20 % gross outliers
    >>> Phi = zarn.design_matrix_1d(3, x)
    >>> fit = robust_fit(Phi, y, None, None, 0.0, 0.0, ridge=1e-10, H=20,
    ...                  sampler=dict(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5,
    ...                               step_size=0.05), seed=42)
    >>> bool(np.allclose(fit.coef, [1.0, -2.0, 0.0, 3.0], atol=0.01))
    True
    >>> int(fit.inlier_mask[:40].sum())  # outliers kept as inliers
    0
    """
    n, k = Phi.shape
    pen = (R1, R2, float(gamma1), float(gamma2))
    full = zarn_core.fit_regularized_linear(
        Phi, y, R1, R2, gamma1=gamma1, gamma2=gamma2, ridge=ridge
    )
    start, gibbs = _sampler_start(Phi, y, pen, H, sampler, seed)
    record = GibbsRecord.from_native(gibbs)
    everything = np.ones(n, dtype=bool)
    mask = _trimmed_refits(Phi, y, start, pen, ridge)
    if mask is None or mask.all():
        return RobustFit(full, everything, record)
    coef = _refit(Phi, y, mask, pen, ridge)
    zeros = np.zeros((k, k))
    Q1 = zeros if R1 is None else R1
    Q2 = zeros if R2 is None else R2
    if _energy(Phi, y, coef, H, Q1, Q2, gamma1, gamma2) <= _energy(
        Phi, y, full, H, Q1, Q2, gamma1, gamma2
    ):
        return RobustFit(coef, mask, record)
    return RobustFit(full, everything, record)
