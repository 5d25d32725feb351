"""Outlier-resistant polynomial fit: an MM-estimator started from a high-breakdown S-estimate.

The estimator's ``method="robust"`` calls :func:`robust_fit` on a design matrix whose
features are already mapped onto [-1, 1]. The procedure is described in the docstring of
:func:`robust_fit` and in the user guide's robust page. Everything here is NumPy and the
native core; every random draw comes from a generator seeded by the caller's seed, and every
sum over the samples is NumPy's own (never a BLAS product that a thread split could change),
so a fit depends only on its arguments.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from zarn._native import zarn_core

# The sampler and the candidate starts run on at most this many samples, drawn from the
# seed; the final steps run on all of them. A few thousand points estimate a start to a few
# per cent of the noise, and keep the cost of the search independent of n.
SUBSAMPLE = 2000
# The M-scale solves mean(rho(r / s)) = BREAKDOWN with a biweight rho bounded by 1: half
# of the points may be arbitrarily bad before the scale breaks down (the largest breakdown
# point a regression equivariant estimator can have).
BREAKDOWN = 0.5
# Biweight tuning constant that makes the M-scale with BREAKDOWN = 0.5 consistent for the
# standard deviation of Gaussian noise (E rho(Z / 1) = 0.5 for Z ~ N(0, 1)).
S_TUNING = 1.547645
# Biweight tuning constant of the final M-step: 95 % asymptotic efficiency against least
# squares for Gaussian noise.
MM_TUNING = 4.685061
# Points whose residual exceeds this many robust scales are flagged as outliers: 0.27 % of
# Gaussian noise lies beyond it, so clean data has almost nothing flagged.
CUTOFF = 3.0
# Elemental starts: enough that at least one is free of outliers, at the breakdown point
# (half the points bad), with probability 1 - MISS_PROBABILITY; never more than MAX_STARTS.
MISS_PROBABILITY = 1e-3
MAX_STARTS = 500
# After one improvement step each, the SHORTLIST starts with the smallest quick scales get
# their M-scales, and the N_BEST of them with the smallest are improved until they converge.
SHORTLIST = 10
N_BEST = 2
# Iterations stop when the fitted values move by less than TOLERANCE robust scales (far
# below the statistical error at any n), or after MAX_STEPS.
TOLERANCE = 1e-8
MAX_STEPS = 200
# The S-estimator's candidates stop earlier: the M-scale is flat at its minimum, so fitted
# values within 1e-3 scales of it give the scale to about 1e-6 of its value.
REFINE_TOLERANCE = 1e-6
# Residuals below this size relative to y (its median plus its MAD) count as zero: data on
# a polynomial is an exact fit, whatever its rounding errors.
RELATIVE_FLOOR = 1e-9
# Candidates are refitted together through the products of the design's columns, one row
# per sample, as long as they hold at most this many numbers (32 MB); one by one beyond.
PRODUCTS_LIMIT = 4_000_000
# Consistency factor of the MAD for Gaussian noise.
MAD_TO_SD = 1.482602218505602
# Distinct seed streams derived from the caller's seed: the subsample and the elemental
# subsets (the sampler takes the seed itself).
_DRAWS_STREAM = 0x5EED_0F_D2A5


@dataclass(frozen=True)
class GibbsRecord:
    """Gibbs analysis of the robust sampler's warm-up energies, as a frozen, picklable record.

    The fields are those of :class:`zarn.GibbsResult`: the entropy ``H`` of the Boltzmann
    weights of the chains' final energies, its largest possible value ``Hmax``, their ratio
    ``He``, the derived ``r_heat = 0.01 + 0.99 He`` (which sets the deep phase's starting
    temperature ``0.5 r_heat``), the population variance ``var_E`` of the energies and the
    temperature ``T`` of the analysis. ``He`` near 1 means the sampler's chains ended at
    similar energies, near 0 that a few did much better than the rest.

    Examples
    --------
    >>> import pickle
    >>> import zarn
    >>> g = zarn.GibbsRecord.from_native(zarn.gibbs_entropy([0.0, 0.0, 0.0, 0.0]))
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
        >>> zarn.GibbsRecord.from_native(zarn.gibbs_entropy([5.0])).r_heat
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
        Coefficients for the columns of the design matrix: the penalised least-squares fit
        with each sample weighted by ``weights`` times its sample weight.
    inlier_mask : numpy.ndarray of bool
        True for the samples whose residual is within 3 robust scales (``scale``) of the
        fit; False for the outliers.
    gibbs : GibbsRecord
        Gibbs analysis of the sampler's warm-up.
    scale : float
        Robust scale of the residuals, in the units of y: the M-scale of the S-estimate
        (for Gaussian noise, an estimate of its standard deviation). 0.0 when most points
        lie exactly on the fit; NaN when the samples do not outnumber the coefficients.
    weights : numpy.ndarray
        Final robustness weight of every sample, in [0, 1]: Tukey's biweight of its
        residual over ``4.685 * scale`` (1 for a residual of 0, 0 beyond the cut).
    cov : numpy.ndarray
        k x k covariance of ``coef``: Huber's sandwich estimate with his small-sample
        correction (statsmodels' ``RLM`` covariance ``"H1"``) at the robust scale, see
        :func:`robust_fit`. All NaN when the samples do not outnumber the coefficients.

    Examples
    --------
    >>> import numpy as np, zarn
    >>> x = np.linspace(-1.0, 1.0, 50)
    >>> Phi = zarn.design_matrix_1d(1, x)
    >>> fit = robust_fit(Phi, 1.0 + x, None, None, 0.0, 0.0, ridge=1e-10, H=20,
    ...                  sampler=dict(n_chains=4, n_warmup=20, n_deep=50, n_elite=2,
    ...                               step_size=0.05), seed=0)
    >>> np.round(fit.coef, 6).tolist(), bool(fit.inlier_mask.all()), fit.scale
    ([1.0, 1.0], True, 0.0)
    """

    coef: np.ndarray
    inlier_mask: np.ndarray
    gibbs: GibbsRecord
    scale: float
    weights: np.ndarray
    cov: np.ndarray


# ------------------------------------------------------------------- biweight functions


def _biweight(t: np.ndarray, c: float) -> np.ndarray:
    """Tukey's biweight weight psi(t) / t = (1 - (t / c)^2)^2 inside the cut, 0 outside."""
    v = 1.0 - np.minimum(np.square(t * (1.0 / c)), 1.0)
    return v * v


def _rho_s(t: np.ndarray) -> np.ndarray:
    """The M-scale's biweight rho at ``S_TUNING``, bounded by 1."""
    v = 1.0 - np.minimum(np.square(t * (1.0 / S_TUNING)), 1.0)
    return 1.0 - v * v * v


def _mm_loss(t: np.ndarray) -> np.ndarray:
    """Tukey's biweight rho at ``MM_TUNING``, scaled so that it is t^2 / 2 near 0."""
    v = 1.0 - np.minimum(np.square(t * (1.0 / MM_TUNING)), 1.0)
    return (MM_TUNING**2 / 6.0) * (1.0 - v * v * v)  # not v**3: NumPy's power is slower


# ------------------------------------------------------------------------ the problem


@dataclass(frozen=True)
class _Problem:
    """The samples of positive weight of one fit, with its penalties.

    ``PhiT`` is the transposed design matrix (k x n, rows contiguous), ``sw`` the sample
    weights or None when they are all 1, and ``penalty`` the matrix added to the normal
    equations, ``ridge * I + N (gamma1 R1 + gamma2 R2)`` with N the total weight.
    """

    PhiT: np.ndarray
    y: np.ndarray
    sw: np.ndarray | None
    penalty: np.ndarray

    @property
    def total(self) -> float:
        """Total sample weight."""
        return float(len(self.y)) if self.sw is None else float(np.sum(self.sw))

    @property
    def denom(self) -> float:
        """Total weight less the number of coefficients: the M-scale's degrees of freedom."""
        return self.total - len(self.PhiT)

    @functools.cached_property
    def PP(self) -> np.ndarray | None:
        """Row i: the products Phi[i, j] Phi[i, l] for all j, l; None when too large."""
        k, m = self.PhiT.shape
        if m * k * k > PRODUCTS_LIMIT:
            return None
        return (self.PhiT.T[:, :, None] * self.PhiT.T[:, None, :]).reshape(m, k * k)

    def wsum(self, X: np.ndarray) -> np.ndarray:
        """Sample-weighted sums along the last axis (NumPy's own pairwise summation)."""
        return np.sum(X if self.sw is None else X * self.sw, axis=-1)

    def residuals(self, B: np.ndarray) -> np.ndarray:
        """Residuals of each row of coefficients ``B`` (c x k), as a c x n array."""
        return self.y - B @ self.PhiT

    def solve(self, W: np.ndarray) -> np.ndarray:
        """Penalised least squares with each row of ``W`` (c x n) as robustness weights.

        Returns the c x k coefficients. The normal equations are summed by NumPy's own
        loops (``einsum``), so they do not depend on how a BLAS would split the sums over
        threads.
        """
        k = len(self.PhiT)
        if self.sw is not None:
            W = W * self.sw
        if len(W) > 1 and self.PP is not None:
            A = np.einsum("ci,ip->cp", W, self.PP).reshape(-1, k, k)
            b = np.einsum("ci,ji->cj", W * self.y, self.PhiT)
        else:
            A = np.empty((len(W), k, k))
            b = np.empty((len(W), k))
            for c, w in enumerate(W):
                Pw = self.PhiT * w
                A[c] = np.einsum("ji,ki->jk", Pw, self.PhiT)
                b[c] = np.einsum("ji,i->j", Pw, self.y)
        A += self.penalty
        try:
            return np.linalg.solve(A, b[:, :, None])[:, :, 0]
        except np.linalg.LinAlgError:  # a singular system: its minimum-norm solution
            return (np.linalg.pinv(A) @ b[:, :, None])[:, :, 0]


def _problem(Phi: np.ndarray, y: np.ndarray, sw: np.ndarray | None, pen: tuple, ridge: float):
    """The :class:`_Problem` of these samples; the penalties are weighted by their total."""
    R1, R2, gamma1, gamma2 = pen
    k = Phi.shape[1]
    total = float(len(y)) if sw is None else float(np.sum(sw))
    penalty = ridge * np.eye(k)
    if R1 is not None and gamma1 != 0.0:
        penalty += (total * gamma1) * np.asarray(R1)
    if R2 is not None and gamma2 != 0.0:
        penalty += (total * gamma2) * np.asarray(R2)
    return _Problem(np.ascontiguousarray(Phi.T), y, sw, penalty)


def _m_scales(prob: _Problem, R: np.ndarray, start: np.ndarray) -> np.ndarray:
    """The M-scale of each row r of ``R``: the s with sum(sw rho(r / s)) = BREAKDOWN * denom.

    rho is the biweight at ``S_TUNING``, bounded by 1. Newton's method on ln s from
    ``start``, safeguarded by bisection (the sum decreases in s), for all rows at once.
    A row gets 0.0 when more than ``N - BREAKDOWN * denom`` of the weight sits on zero
    residuals.
    """
    target = BREAKDOWN * prob.denom
    zero = prob.wsum(R != 0.0) <= target
    s = np.where((start > 0.0) & np.isfinite(start), start, np.max(np.abs(R), axis=1))
    s = np.where(zero | ~(s > 0.0), 1.0, s)
    low, high = np.zeros_like(s), np.full_like(s, np.inf)
    active = ~zero
    for _ in range(100):
        idx = np.flatnonzero(active)
        if idx.size == 0:
            break
        si = s[idx]
        u = np.minimum(np.square(R[idx] * (1.0 / (S_TUNING * si))[:, None]), 1.0)
        v = 1.0 - u
        vv = v * v
        excess = prob.wsum(1.0 - vv * v) - target
        # d sum / d ln s = -sum(sw t rho'(t)), with t rho'(t) = 6 u (1 - u)^2
        slope = 6.0 * prob.wsum(u * vv)
        low[idx] = np.where(excess > 0.0, si, low[idx])
        high[idx] = np.where(excess > 0.0, high[idx], si)
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            proposal = si * np.exp(np.minimum(excess / slope, 50.0))
        bad = ~((low[idx] < proposal) & (proposal < high[idx]))
        halve = np.where(np.isinf(high[idx]), 2.0 * si, 0.5 * (low[idx] + high[idx]))
        proposal = np.where(bad, halve, proposal)
        done = (np.abs(proposal - si) <= 1e-12 * si) | (excess == 0.0)
        s[idx] = np.where(excess == 0.0, si, proposal)
        active[idx[done]] = False
    return np.where(zero, 0.0, s)


def _mad_scales(R: np.ndarray) -> np.ndarray:
    """1.4826 times the median absolute value of each row: a quick scale of residuals."""
    return np.median(np.abs(R), axis=1) * MAD_TO_SD


# ------------------------------------------------------------------------ the stages


def _elemental_starts(prob: _Problem, n_starts: int, rng: np.random.Generator) -> np.ndarray:
    """Exact fits of ``n_starts`` random sets of k distinct samples: n_starts x k."""
    k, m = prob.PhiT.shape
    if 4 * k <= m:  # duplicates are rare: draw with replacement and redraw them
        idx = rng.integers(0, m, size=(n_starts, k))
        for _ in range(100):
            ordered = np.sort(idx, axis=1)
            dup = (ordered[:, 1:] == ordered[:, :-1]).any(axis=1)
            if not dup.any():
                break
            idx[dup] = rng.integers(0, m, size=(int(dup.sum()), k))
    else:
        idx = np.argsort(rng.random((n_starts, m)), axis=1)[:, :k]
    A = np.moveaxis(prob.PhiT[:, idx], 0, -1)  # n_starts x k x k
    b = prob.y[idx][:, :, None]
    try:
        return np.linalg.solve(A, b)[:, :, 0]
    except np.linalg.LinAlgError:  # some sets are singular: their minimum-norm fits
        return (np.linalg.pinv(A) @ b)[:, :, 0]


def _screen(prob: _Problem, B: np.ndarray) -> np.ndarray:
    """The ``N_BEST`` starts (rows of ``B``) of smallest M-scale after one improvement step.

    The step weights each sample by the biweight of its residual over the start's quick
    scale (1.4826 times its median absolute residual) and refits: the M-scale's analogue
    of a concentration step. A start whose quick scale is 0 fits most points exactly and
    is kept as it is. Then, as in fast-S, most M-scales need not be solved for: the
    ``SHORTLIST`` starts of smallest quick scale get theirs, and the ``N_BEST``-th
    smallest of those, s, bounds the winners'; one pass finds the other starts whose
    M-scale is below s (those with ``sum(rho(r / s)) < BREAKDOWN * denom``), which get
    theirs too.
    """
    R = prob.residuals(B)
    s = _mad_scales(R)
    fine = s > 0.0
    if fine.any():
        B = B.copy()
        B[fine] = prob.solve(_biweight(R[fine] / s[fine, None], S_TUNING))
        R = prob.residuals(B)
    quick = _mad_scales(R)
    order = np.argsort(quick, kind="stable")
    chosen = order[:SHORTLIST]
    scales = _m_scales(prob, R[chosen], quick[chosen])
    if len(order) > SHORTLIST:
        bound = float(np.sort(scales)[min(N_BEST, len(scales)) - 1])
        rest = order[SHORTLIST:]
        if bound > 0.0:  # else nothing can beat the exact fits
            below = prob.wsum(_rho_s(R[rest] * (1.0 / bound))) < BREAKDOWN * prob.denom
            rest = rest[below]
            chosen = np.concatenate([chosen, rest])
            scales = np.concatenate([scales, _m_scales(prob, R[rest], quick[rest])])
    return B[chosen[np.argsort(scales, kind="stable")[:N_BEST]]]


def _refine(prob: _Problem, B: np.ndarray, floor: float) -> tuple[np.ndarray, np.ndarray]:
    """Improve the candidates (rows of ``B``) of the S-estimator until they converge.

    Every step refits each candidate with the biweight weights of its residuals at its
    M-scale, which lowers the M-scale. A step that would raise it is not taken and ends
    that candidate's search, so each result is the best point its search visited; the
    search also ends when a step gains less than ``REFINE_TOLERANCE`` of the scale.
    Returns the coefficients and their M-scales.
    """
    B = B.copy()
    R = prob.residuals(B)
    s = _m_scales(prob, R, _mad_scales(R))
    active = s > floor
    for _ in range(MAX_STEPS):
        idx = np.flatnonzero(active)
        if idx.size == 0:
            break
        new = prob.solve(_biweight(R[idx] / s[idx, None], S_TUNING))
        R_new = prob.residuals(new)
        s_new = _m_scales(prob, R_new, s[idx])
        better = s_new <= s[idx]
        gain = s[idx] - s_new
        keep = idx[better]
        B[keep], R[keep], s[keep] = new[better], R_new[better], s_new[better]
        stop = ~better | (gain <= REFINE_TOLERANCE * s_new) | (s_new <= floor)
        active[idx[stop]] = False
    return B, s


def _mm_steps(prob: _Problem, beta: np.ndarray, scale: float) -> tuple[np.ndarray, np.ndarray]:
    """Iteratively reweighted least squares for the biweight M-estimate at a fixed scale.

    Each step refits with the weights of the current residuals, which never raises the
    M-estimator's objective (the biweight loss is a concave function of the squared
    residual): a step that would (by rounding) ends the iterations. Returns the last fit
    and the weights it was fitted with, so that it is exactly their weighted fit.
    """
    r = prob.residuals(beta[None])[0]
    w = _biweight(r / scale, MM_TUNING)
    loss = _objective(prob, beta, r, scale)
    for _ in range(MAX_STEPS):
        new = prob.solve(w[None])[0]
        r_new = prob.residuals(new[None])[0]
        loss_new = _objective(prob, new, r_new, scale)
        if not loss_new <= loss:
            break
        moved = float(np.sum(np.abs(new - beta)))
        beta, r, loss = new, r_new, loss_new
        if moved <= TOLERANCE * scale:
            return beta, w
        w = _biweight(r / scale, MM_TUNING)
    # A step stopped or MAX_STEPS ran out: refit the last weights, to keep the contract.
    return prob.solve(w[None])[0], w


def _objective(prob: _Problem, beta: np.ndarray, r: np.ndarray, scale: float) -> float:
    """The M-step's objective: weighted biweight loss plus half the quadratic penalties."""
    data = scale * scale * float(prob.wsum(_mm_loss(r / scale)))
    return data + 0.5 * float(beta @ prob.penalty @ beta)


def _sampler_start(
    prob: _Problem,
    base: np.ndarray,
    pen: tuple,
    H: int,
    sampler: Mapping[str, Any],
    seed: int,
) -> tuple[np.ndarray, Any]:
    """Run the sampler on the residuals of ``base``; return its fit in units of y.

    The sampler's hit tolerance is 0.4 MAD of the data it is given, and its starting spread
    and step sizes are absolute, so it sees ``z = (r - median(r)) / s`` for the residuals r
    of the preliminary fit and s their MAD: its tolerance is then set by the noise, not
    by the spread of y. Its coefficients are a correction to ``base``; the penalties (whose
    weights are multiplied by ``s**2`` for the change of units) are applied to the
    correction.
    """
    R1, R2, gamma1, gamma2 = pen
    r = prob.residuals(base[None])[0]
    loc = float(np.median(r))
    s = zarn_core.mad(r)
    if not s > 0.0:
        s = 1.0
    with np.errstate(over="ignore"):
        z = (r - loc) / s
    # Values beyond 1e150 MADs (even beyond the range of doubles) stay misses when clipped.
    np.clip(z, -1e150, 1e150, out=z)
    mcmc = zarn_core.TournamentMCMC(**sampler, H_piH=H, seed=seed)
    res = mcmc.fit(prob.PhiT.T, z, R1, R2, gamma1 * s * s, gamma2 * s * s)
    coef = base + np.asarray(res.beta_mcmc) * s
    coef[0] += loc
    return coef, res.gibbs


def _n_starts(k: int) -> int:
    """Elemental starts for k coefficients (see ``MISS_PROBABILITY``)."""
    clean = BREAKDOWN**k
    if -math.log1p(-clean) * MAX_STARTS <= -math.log(MISS_PROBABILITY):
        return MAX_STARTS
    return math.ceil(math.log(MISS_PROBABILITY) / math.log1p(-clean))


def _covariance(prob: _Problem, r: np.ndarray, scale: float) -> np.ndarray:
    """Huber's covariance of the M-estimate at a fixed scale (statsmodels RLM's ``"H1"``).

    ``K^2 [sum psi^2 / (N - k)] / mean(psi')^2 * scale^2 * A^-1``, with psi the biweight's
    psi function of the scaled residuals, sums and means weighted by the sample weights
    (N their total), ``K = 1 + k / N * var(psi') / mean(psi')^2`` and ``A`` the penalised
    normal matrix ``Phi' diag(sw) Phi + ridge I + N (gamma1 R1 + gamma2 R2)``.
    """
    n_total, k = prob.total, len(prob.PhiT)
    if not n_total > k:
        return np.full((k, k), np.nan)
    t = r / scale
    u = np.minimum(np.square(t * (1.0 / MM_TUNING)), 1.0)
    psi = t * np.square(1.0 - u)
    dpsi = (1.0 - u) * (1.0 - 5.0 * u)
    mean_dpsi = float(prob.wsum(dpsi)) / n_total
    if not mean_dpsi > 0.0:
        return np.full((k, k), np.nan)
    var_dpsi = float(prob.wsum(np.square(dpsi - mean_dpsi))) / n_total
    K = 1.0 + k / n_total * var_dpsi / mean_dpsi**2
    factor = K * K * float(prob.wsum(np.square(psi))) / (n_total - k) / mean_dpsi**2
    normal = _normal_matrix(prob)
    try:
        inverse = np.linalg.inv(normal)
    except np.linalg.LinAlgError:
        inverse = np.linalg.pinv(normal)
    cov = (factor * scale * scale) * inverse
    return 0.5 * (cov + cov.T)


def _normal_matrix(prob: _Problem) -> np.ndarray:
    """``Phi' diag(sw) Phi`` plus the penalties."""
    Pw = prob.PhiT if prob.sw is None else prob.PhiT * prob.sw
    return np.einsum("ji,ki->jk", Pw, prob.PhiT) + prob.penalty


def _check_weights(sample_weight: Any, n: int) -> np.ndarray:
    """Sample weights as a float64 array of n finite, non-negative values, not all zero."""
    w = np.asarray(sample_weight, dtype=np.float64)
    if w.ndim == 0:
        w = np.full(n, float(w))
    if w.shape != (n,):
        raise ValueError(
            f"sample_weight must have shape ({n},) like y, got shape {np.shape(sample_weight)}"
        )
    if not np.isfinite(w).all() or (w < 0.0).any():
        raise ValueError("sample_weight must hold finite, non-negative values")
    if not (w > 0.0).any():
        raise ValueError("sample_weight is zero for every sample: nothing to fit")
    return w


# --------------------------------------------------------------------------- the fit


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
    sample_weight: np.ndarray | None = None,
) -> RobustFit:
    """Fit ``y ~ Phi @ coef`` so that outliers, up to half of the data, do not move the fit.

    An MM-estimator (Yohai 1987), as R's ``robustbase::lmrob`` computes it: a
    high-breakdown S-estimate gives the robust scale and the start, then an M-estimate
    with Tukey's biweight at that scale gives 95 % efficiency for Gaussian noise.

    1. **Subsample.** When more than 2,000 samples have positive weight, the search runs
       on 2,000 of them drawn from ``seed``; the final steps use all of them.
    2. **Starts.** Exact fits of random sets of k samples (enough that one is free of
       outliers with probability 0.999 when half the data is bad; at most 500), and the
       penalised least-squares fit.
    3. **S-estimate.** Each start is improved by two reweighting steps that lower the
       M-scale of its residuals (the biweight scale with 50 % breakdown); the five with
       the smallest scale are improved until they converge. Then
       :class:`zarn.TournamentMCMC` (settings ``sampler``, complexity ``H``, seed ``seed``)
       runs on the residuals of the best of them, so that its hit tolerance (0.4 MAD of
       the data it sees) is set by the noise rather than by the spread of y; its best
       coefficients are one more start, improved in the same way. The candidate with the
       smallest M-scale is the S-estimate, and its M-scale (on all samples) is ``scale``.
    4. **MM-step.** Iteratively reweighted penalised least squares with the biweight at
       tuning constant 4.685 and the scale fixed, from the S-estimate, until the fitted
       values move by less than 1e-8 scales. The objective
       ``sum(w * scale**2 * rho(r / scale)) + N (gamma1 b'R1 b + gamma2 b'R2 b) / 2 +
       ridge |b|^2 / 2`` never rises, so the result is never worse than the S-estimate
       on it. Points beyond 4.685 scales get weight 0, those beyond 3 scales are flagged
       as outliers.

    High-leverage points (far out in the features) that agree with the bulk of the data
    keep their full weight, as every point is judged by its residual from a fit that the
    M-scale of all points chose; only points whose residual is large are set aside.

    Sample weights ``w`` multiply each sample's term in the M-scale's equation and in the
    M-step's objective (so integer weights act as repeated samples, to the precision of
    the iterations); the penalties are weighted by ``N = sum(w)``. Samples of zero weight
    are left out of the fit but get a residual, a weight and an inlier flag like the
    others. The sampler and the elemental starts draw the samples of positive weight
    without regard to their weight.

    The cost is that of the sampler on at most 2,000 samples, of about 100 to 500 starts
    on them, and of a few passes over all samples per MM iteration: linear in n with a
    small constant. The result depends only on the arguments and ``seed``, not on the
    number of threads.

    Parameters
    ----------
    Phi : numpy.ndarray
        Design matrix, n x k, float64; column 0 is the constant.
    y : numpy.ndarray
        Observations, length n, finite float64.
    R1, R2 : numpy.ndarray or None
        Penalty matrices (k x k) of the basis, or None when both weights are zero.
    gamma1, gamma2 : float
        Penalty weights, as for :func:`zarn.fit_regularized_linear` (multiplied by the
        total sample weight).
    ridge : float
        Ridge term of the penalised fits.
    H : int
        MDL complexity parameter of the sampler's energy.
    sampler : mapping
        ``n_chains``, ``n_warmup``, ``n_deep``, ``n_elite`` and ``step_size`` of
        :class:`zarn.TournamentMCMC`.
    seed : int
        Seed of the sampler and of the random draws, in [0, 2**64).
    sample_weight : numpy.ndarray or None, default None
        Non-negative weight of every sample; None weighs them equally.

    Returns
    -------
    RobustFit
        Coefficients, inlier mask, the sampler's Gibbs record, the robust scale, the
        robustness weights and the covariance of the coefficients. The covariance is
        Huber's estimate at the robust scale (as statsmodels' ``RLM`` with
        ``cov="H1"``): ``K^2 [sum psi^2 / (N - k)] / mean(psi')^2 scale^2 A^-1``, with
        ``A = Phi' diag(w) Phi`` plus the ridge and the penalties; it treats the scale as
        known.

    Raises
    ------
    ValueError
        For sample weights of the wrong shape, negative or not finite, or all zero.

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
    >>> int(fit.inlier_mask[:40].sum()), round(fit.scale, 3)  # outliers kept; noise sd
    (0, 0.01)
    """
    n, k = Phi.shape
    pen = (R1, R2, float(gamma1), float(gamma2))
    if sample_weight is None:
        used, sw = np.arange(n), None
    else:
        weights = _check_weights(sample_weight, n)
        used = np.flatnonzero(weights > 0.0)
        sw = weights[used]
    everything = _problem(Phi[used], y[used], sw, pen, ridge)
    rng = np.random.default_rng([seed, _DRAWS_STREAM])
    # The search runs on a subsample; its penalties are weighted by its own total weight.
    if len(used) > SUBSAMPLE:
        rows = np.sort(rng.choice(len(used), SUBSAMPLE, replace=False))
        search = _problem(
            Phi[used[rows]], y[used[rows]], None if sw is None else sw[rows], pen, ridge
        )
    else:
        search = everything
    floor = RELATIVE_FLOOR * (abs(float(np.median(everything.y))) + zarn_core.mad(everything.y))

    ls = search.solve(np.ones((1, len(search.y))))
    if len(used) <= k:  # no degrees of freedom: least squares, nothing to judge by
        _, gibbs = _sampler_start(search, ls[0], pen, H, sampler, seed)
        return _result(Phi, y, ls[0], math.nan, used, None, everything, gibbs)

    best = _screen(search, np.vstack([ls, _elemental_starts(search, _n_starts(k), rng)]))
    mcmc, gibbs = _sampler_start(search, best[0], pen, H, sampler, seed)
    refined, scales = _refine(search, np.vstack([best, mcmc]), floor)
    first = int(np.argmin(scales))  # the first of equal scales
    beta, scale = refined[first], float(scales[first])

    if search is not everything:  # the scale of all samples
        r = everything.residuals(beta[None])
        scale = float(_m_scales(everything, r, np.array([scale]))[0])
    if scale <= floor:  # most points lie on the fit: refit them alone
        r = everything.residuals(beta[None])[0]
        w = (np.abs(r) <= floor).astype(np.float64)
        coef = everything.solve(w[None])[0]
        return _result(Phi, y, coef, 0.0, used, w, everything, gibbs, exact=floor)
    if search is not everything:  # converge on the subsample first: fewer passes over all
        beta, _ = _mm_steps(search, beta, scale)
    coef, w = _mm_steps(everything, beta, scale)
    return _result(Phi, y, coef, scale, used, w, everything, gibbs)


def _result(
    Phi: np.ndarray,
    y: np.ndarray,
    coef: np.ndarray,
    scale: float,
    used: np.ndarray,
    fitted: np.ndarray | None,
    prob: _Problem,
    gibbs: Any,
    exact: float = 0.0,
) -> RobustFit:
    """The RobustFit of ``coef``: residuals, weights and flags of every sample.

    ``fitted`` holds the weights ``coef`` was fitted with on the samples ``used`` (None
    when it was fitted with equal weights); the other samples get the weights and flags
    of their residuals.
    """
    n, k = Phi.shape
    r = y - Phi @ coef
    if math.isnan(scale):  # no degrees of freedom
        return RobustFit(
            coef, np.ones(n, dtype=bool), GibbsRecord.from_native(gibbs), scale, np.ones(n),
            np.full((k, k), np.nan),
        )
    if scale == 0.0:  # the points on the fit are its inliers
        mask = np.abs(r) <= exact
        w = mask.astype(np.float64)
        cov = np.zeros((k, k))
    else:
        t = r / scale
        mask = np.abs(t) < CUTOFF
        w = _biweight(t, MM_TUNING)
        cov = _covariance(prob, r[used], scale)
    if fitted is not None:
        w[used] = fitted
    return RobustFit(coef, mask, GibbsRecord.from_native(gibbs), float(scale), w, cov)
