"""``method="robust"``: an MM-estimator started from a high-breakdown S-estimate.

:class:`Robust`, the method object, scales y into range (:func:`fit_scaled`) and calls
:func:`robust_fit` on a design matrix whose features are already mapped onto [-1, 1].
The procedure is described in the docstring of :func:`robust_fit` and in the user guide's
robust page. Everything here is NumPy and the
native core; every random draw comes from a generator seeded by the caller's seed, and every
sum over the samples is NumPy's own (never a BLAS product that a thread split could change),
so a fit depends only on its arguments.
"""

from __future__ import annotations

import dataclasses
import functools
import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from zarn._biweight import (
    BREAKDOWN,
    CUTOFF,
    MM_TUNING,
    S_TUNING,
    TRUNCATED_SD,
    blocks,
    clipped_square,
    m_scales,
    mad_scales,
    rho,
    scale_equation,
    wsum,
)
from zarn._biweight import weights as biweight_weights
from zarn._lstsq import (
    Penalty,
    coefficients_too_large,
    penalty_matrix,
    power_of_two,
    power_of_two_scale,
    r_factor,
    singular_values,
    weighted_rows,
)
from zarn._methods._base import (
    Fit,
    Method,
    Outliers,
    Series,
    auto,
    fixed_weights,
    penalty_of,
)
from zarn._methods.penalized import auto_weights
from zarn._native import zarn_core
from zarn._settings import SAMPLER_SETTINGS, Settings, seed_from
from zarn._uncertainty import GivenUncertainty
from zarn._validation import check_finite, check_sample_weight

# The sampler and the candidate starts run on at most this many samples, drawn from the
# seed; the final steps run on all of them. A thousand points place a start well within
# the basin of the final fit, and keep the cost of the search independent of n.
SUBSAMPLE = 1000
# The sampler, one of the starts, runs on at most this many of those samples: its cost
# grows with them, and a start needs only to lie in the basin of the fit.
SAMPLER_SUBSAMPLE = 250
# Elemental starts: enough that at least one is free of outliers, at the breakdown point
# (half the points bad), with probability 1 - MISS_PROBABILITY; more on small data, where
# they are cheap and the M-scale has more local minima (up to START_BUDGET residuals in
# all); never more than MAX_STARTS.
MISS_PROBABILITY = 1e-2
START_BUDGET = 20_000
MAX_STARTS = 500
# After one improvement step each, the SHORTLIST starts with the smallest quick scales get
# their M-scales, and the N_BEST of them with the smallest are improved until they converge
# (with the annealed least-squares start and the sampler's).
SHORTLIST = 10
N_BEST = 2
# The least-squares start is led to the M-scale's minimum by reweighting steps at scales
# falling from ANNEAL_FACTOR times the M-scale of its residuals to that M-scale, in
# ANNEAL_LEVELS levels of ANNEAL_STEPS steps.
ANNEAL_FACTOR = 8.0
ANNEAL_LEVELS = 6
ANNEAL_STEPS = 1
# Starts outside the shortlist join it when their M-scale is more than this fraction below
# the N_BEST-th smallest of the shortlist's: on clean data many starts end within a
# fraction of a per cent of each other, and the improvement steps merge them anyway.
SCALE_MARGIN = 0.01
# Iterations stop when the fitted values move by less than TOLERANCE robust scales (far
# below the statistical error at any n), or after MAX_STEPS.
TOLERANCE = 1e-8
MAX_STEPS = 200
# The S-estimator's candidates stop earlier: the M-scale is flat at its minimum, so fitted
# values within 1e-2 scales of it give the scale to about 1e-4 of its value.
REFINE_TOLERANCE = 1e-4
# A candidate whose scale is more than this fraction above the smallest stops improving:
# its scale falls by a few per cent in its refinement, not by this much.
PRUNE_MARGIN = 0.1
# Residuals below this size relative to y (its median plus its MAD) count as zero: data on
# a polynomial is an exact fit, whatever its rounding errors.
RELATIVE_FLOOR = 1e-9
# Candidates are refitted together through the products of the design's columns, one row
# per sample, as long as they hold at most this many numbers (32 MB); one by one beyond.
PRODUCTS_LIMIT = 4_000_000
# M-steps at the noise scale of the previous one's residuals: at most NOISE_ROUNDS, until
# it changes by less than NOISE_TOLERANCE of itself.
NOISE_ROUNDS = 50
NOISE_TOLERANCE = 1e-6
# Leverages within this of 1 mark samples that the fit interpolates: their residuals tell
# nothing about the noise.
LEVERAGE_FLOOR = 1e-8
# Distinct seed streams derived from the caller's seed: the subsample and the elemental
# subsets (the sampler takes the seed itself).
_DRAWS_STREAM = 0x5EED_0F_D2A5
_LN2 = math.log(2.0)


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
        False for the outliers: the samples whose residual, standardised for their
        leverage (see :func:`robust_fit`), exceeds 3 ``scale``.
    gibbs : GibbsRecord
        Gibbs analysis of the sampler's warm-up.
    scale : float
        Robust scale of the residuals, in the units of y: for Gaussian noise an estimate
        of its standard deviation, which outliers do not inflate (see :func:`robust_fit`).
        0.0 when most points lie exactly on the fit; NaN when the samples do not
        outnumber the coefficients.
    weights : numpy.ndarray
        Robustness weight of every sample in the final fit, in [0, 1]: Tukey's biweight
        ``(1 - (r / (4.685 mm_scale))^2)^2`` of its residual r, 0 beyond the cut.
    cov : numpy.ndarray
        k x k covariance of ``coef``: Huber's sandwich estimate with his small-sample
        correction (statsmodels' ``RLM`` covariance ``"H1"``) at ``mm_scale``, see
        :func:`robust_fit`. All NaN when the samples do not outnumber the coefficients.
    mm_scale : float
        The scale of the final M-step, at which ``weights`` are computed.

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
    mm_scale: float


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

    @functools.cached_property
    def total(self) -> float:
        """Total sample weight."""
        return float(len(self.y)) if self.sw is None else float(np.sum(self.sw))

    @property
    def denom(self) -> float:
        """Total weight less the number of coefficients: the M-scale's degrees of freedom."""
        return self.total - len(self.PhiT)

    @functools.cached_property
    def PP(self) -> np.ndarray | None:
        """Row i: the products Phi[i, j] Phi[i, l] for j <= l; None when too large."""
        k, m = self.PhiT.shape
        if m * k * (k + 1) // 2 > PRODUCTS_LIMIT:
            return None
        upper = np.triu_indices(k)
        return np.ascontiguousarray((self.PhiT[upper[0]] * self.PhiT[upper[1]]).T)

    def wsum(self, X: np.ndarray) -> np.ndarray:
        """Sample-weighted sums along the last axis."""
        return wsum(X, self.sw)

    def residuals(self, B: np.ndarray) -> np.ndarray:
        """Residuals of each row of coefficients ``B`` (c x k), as a c x n array."""
        return np.asarray(self.y - B @ self.PhiT)

    def weighted_sums(self, w: np.ndarray) -> np.ndarray:
        """``Phi' diag(sw w) y``, summed in blocks."""
        out = np.zeros(len(self.PhiT))
        ww = w if self.sw is None else w * self.sw
        for cols in blocks(len(self.y), 1):
            out += np.einsum("ji,i->j", self.PhiT[:, cols], ww[cols] * self.y[cols])
        return out

    def normal_matrix(self, w: np.ndarray) -> np.ndarray:
        """The penalised normal matrix with robustness weights ``w``, summed in blocks."""
        k, n = self.PhiT.shape
        A = self.penalty.copy()
        for cols in blocks(n, 1):
            P = self.PhiT[:, cols]
            Pw = P * (w[cols] if self.sw is None else w[cols] * self.sw[cols])
            A += np.einsum("ji,ki->jk", Pw, P)
        return A

    def solve(self, W: np.ndarray) -> np.ndarray:
        """Penalised least squares with each row of ``W`` (c x n) as robustness weights.

        Returns the c x k coefficients. The normal equations are summed by NumPy's own
        loops (``einsum``), so they do not depend on how a BLAS would split the sums over
        threads.
        """
        k = len(self.PhiT)
        if len(W) > 1 and self.PP is not None:
            if self.sw is not None:
                W = W * self.sw
            A = np.empty((len(W), k, k))
            upper = np.triu_indices(k)
            A[:, upper[0], upper[1]] = np.einsum("ci,ip->cp", W, self.PP)
            A[:, upper[1], upper[0]] = A[:, upper[0], upper[1]]
            A += self.penalty
            b = np.einsum("ci,ji->cj", W * self.y, self.PhiT)
        else:
            A = np.stack([self.normal_matrix(w) for w in W])
            b = np.stack([self.weighted_sums(w) for w in W])
        try:
            return np.linalg.solve(A, b[:, :, None])[:, :, 0]
        except np.linalg.LinAlgError:  # a singular system: its minimum-norm solution
            return np.asarray((np.linalg.pinv(A) @ b[:, :, None])[:, :, 0])


def _problem(
    PhiT: np.ndarray, y: np.ndarray, sw: np.ndarray | None, pen: tuple, ridge: float
) -> _Problem:
    """The :class:`_Problem` of these samples; the penalties are weighted by their total."""
    R1, R2, gamma1, gamma2 = pen
    total = float(len(y)) if sw is None else float(np.sum(sw))
    penalty = penalty_matrix(len(PhiT), R1, R2, total * gamma1, total * gamma2, ridge)
    # Rows contiguous whatever the caller's layout: the sums' order, and so their last bits,
    # depends on it.
    return _Problem(np.ascontiguousarray(PhiT), y, sw, penalty)


def _newton_scale(prob: _Problem, R: np.ndarray, s: np.ndarray) -> np.ndarray:
    """One Newton step on ln s towards the M-scale of each row of ``R``, from ``s``.

    The step is bounded to a factor of 2 either way (a start far from the solution, where
    the equation is flat, would otherwise overshoot).
    """
    excess, slope = scale_equation(R, s, prob.sw, prob.total, prob.denom)
    with np.errstate(divide="ignore", invalid="ignore"):
        step = np.clip(excess / slope, -_LN2, _LN2)
    return s * np.exp(np.where(np.isnan(step), 0.0, step))


def _m_scales(prob: _Problem, R: np.ndarray, start: np.ndarray) -> np.ndarray:
    """The M-scales of the rows of ``R``, with the problem's weights and degrees of freedom."""
    return m_scales(R, start, prob.sw, prob.denom)


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
        return np.asarray((np.linalg.pinv(A) @ b)[:, :, 0])


def _screen(prob: _Problem, B: np.ndarray) -> np.ndarray:
    """The ``N_BEST`` starts (rows of ``B``) of smallest M-scale after one improvement step.

    The step weights each sample by the biweight of its residual over the start's quick
    scale s (1.4826 times its median absolute residual) and refits: the M-scale's analogue
    of a concentration step; the quick scale then takes one fixed-point step towards the
    M-scale, ``s sqrt(mean(rho(r / s)) / BREAKDOWN)``. A start whose quick scale is 0 fits
    most points exactly and is kept as it is. Then, as in fast-S, most M-scales need not
    be solved for: the ``SHORTLIST`` starts of smallest quick scale get theirs, and the
    ``N_BEST``-th
    smallest of those, s, bounds the winners'; one pass finds the other starts whose
    M-scale is below ``(1 - SCALE_MARGIN) s`` (``sum(rho(r / s')) < BREAKDOWN * denom``
    there), which get theirs too. The M-scales start from the quick scales.
    """
    B = B.copy()
    quick = np.empty(len(B))
    target = BREAKDOWN * prob.denom
    for rows in blocks(len(B), len(prob.y)):
        R = prob.residuals(B[rows])
        s = mad_scales(R)
        fine = np.flatnonzero(s > 0.0)
        quick[rows] = 0.0
        if fine.size:
            sf = s[fine, None]
            B[rows.start + fine] = prob.solve(biweight_weights(R[fine] / sf, S_TUNING))
            # One fixed-point step of the M-scale from the quick scale, as in fast-S.
            mean_rho = prob.wsum(rho(prob.residuals(B[rows.start + fine]) / sf, S_TUNING)) / target
            quick[rows.start + fine] = sf[:, 0] * np.sqrt(mean_rho)
    order = np.argsort(quick, kind="stable")
    chosen = order[:SHORTLIST]
    scales = _m_scales(prob, prob.residuals(B[chosen]), quick[chosen])
    bound = float(np.sort(scales)[min(N_BEST, len(scales)) - 1])
    if len(order) > SHORTLIST and bound > 0.0:  # a bound of 0: nothing beats exact fits
        margin = (1.0 - SCALE_MARGIN) * bound
        rest = order[SHORTLIST:]
        below = np.empty(len(rest), dtype=bool)
        for rows in blocks(len(rest), len(prob.y)):
            R = prob.residuals(B[rest[rows]])
            below[rows] = prob.wsum(rho(R * (1.0 / margin), S_TUNING)) < BREAKDOWN * prob.denom
        rest = rest[below]
        chosen = np.concatenate([chosen, rest])
        extra = _m_scales(prob, prob.residuals(B[rest]), quick[rest])
        scales = np.concatenate([scales, extra])
    return B[chosen[np.argsort(scales, kind="stable")[:N_BEST]]]


def _annealed(prob: _Problem, beta: np.ndarray) -> np.ndarray:
    """The least-squares fit ``beta`` led to a start by reweighting steps at falling scales.

    Biweight reweighting steps at ``ANNEAL_FACTOR`` times the M-scale of its residuals,
    then at scales falling geometrically to that M-scale in ``ANNEAL_LEVELS`` levels of
    ``ANNEAL_STEPS`` steps. At a large scale every point, those far out in x included,
    weighs as in least squares, and the points that disagree with the bulk lose their
    weight one level after another: a path to the M-scale's minimum that elemental
    starts, which seldom include the few points far out in x, rarely find.
    """
    R = prob.residuals(beta[None])
    base = float(_m_scales(prob, R, mad_scales(R))[0])
    if not base > 0.0:
        return beta
    for factor in np.geomspace(ANNEAL_FACTOR, 1.0, ANNEAL_LEVELS):
        for _ in range(ANNEAL_STEPS):
            weights = biweight_weights(prob.residuals(beta[None]) / (factor * base), S_TUNING)
            beta = prob.solve(weights)[0]
    return beta


def _refine(prob: _Problem, B: np.ndarray, floor: float) -> tuple[np.ndarray, np.ndarray]:
    """Improve the candidates (rows of ``B``) of the S-estimator until they converge.

    Every step refits each candidate with the biweight weights of its residuals at its
    scale, then moves the scale by one Newton step towards the new residuals' M-scale
    (the estimate and its scale converge together, as in fast-S). A candidate stops when
    a step changes its scale by less than ``REFINE_TOLERANCE`` of it, or when its scale is
    more than ``PRUNE_MARGIN`` above the smallest of them. Each result is the
    better, by exact M-scale, of the candidate and its improvement. Returns the
    coefficients and their M-scales.
    """
    R = prob.residuals(B)
    s0 = _m_scales(prob, R, mad_scales(R))
    B0, B, s = B, B.copy(), s0.copy()
    active = s > floor
    for _ in range(MAX_STEPS):
        idx = np.flatnonzero(active)
        if idx.size == 0:
            break
        B[idx] = prob.solve(biweight_weights(R[idx] / s[idx, None], S_TUNING))
        R[idx] = prob.residuals(B[idx])
        new = _newton_scale(prob, R[idx], s[idx])
        still = np.abs(new - s[idx]) > REFINE_TOLERANCE * new
        s[idx] = new
        active[idx[~still | (new <= floor)]] = False
        active &= s <= (1.0 + PRUNE_MARGIN) * s.min()  # far behind: it will not catch up
    s = _m_scales(prob, R, s)
    worse = ~(s <= s0)
    B[worse], s[worse] = B0[worse], s0[worse]
    return B, s


@dataclass(frozen=True)
class _MState:
    """The M-step's objective at ``beta``, with the system of Newton's step from it.

    ``hessian step = gradient``: minus the gradient, and the Hessian, whose weights
    psi'(t) of the scaled residuals t turn negative beyond 2.1 scales.
    """

    beta: np.ndarray
    loss: float
    hessian: np.ndarray
    gradient: np.ndarray


def _m_state(prob: _Problem, beta: np.ndarray, scale: float) -> _MState:
    """One pass over the samples, in blocks, for :class:`_MState` at ``beta``.

    The M-step's objective is ``sum(sw scale^2 rho(r / scale)) + b' penalty b / 2``, with
    rho Tukey's biweight at ``MM_TUNING`` scaled to be t^2 / 2 near 0.
    """
    k, n = prob.PhiT.shape
    cubes = 0.0
    hessian, gradient = np.zeros((k, k)), np.zeros(k)
    for cols in blocks(n, 1):
        P = prob.PhiT[:, cols]
        r = prob.y[cols] - beta @ P
        u = clipped_square(r, 1.0 / (MM_TUNING * scale))
        v = np.subtract(1.0, u)
        u *= -5.0
        u += 1.0
        u *= v  # psi'(t) = (1 - u)(1 - 5u)
        r *= v
        r *= v  # scale psi(t) = r (1 - u)^2
        v *= np.square(v)  # (1 - u)^3
        if prob.sw is not None:
            sw = prob.sw[cols]
            u *= sw
            r *= sw
            v *= sw
        cubes += float(np.sum(v))
        gradient += np.einsum("ji,i->j", P, r)
        hessian += np.einsum("ji,ki->jk", P * u, P)
    # sum(sw rho) = c^2 / 6 * sum(sw (1 - (1 - u)^3))
    loss = (MM_TUNING * scale) ** 2 / 6.0 * (prob.total - cubes)
    loss += 0.5 * float(beta @ prob.penalty @ beta)
    hessian += prob.penalty
    gradient -= prob.penalty @ beta
    return _MState(beta, loss, hessian, gradient)


def _mm_steps(prob: _Problem, beta: np.ndarray, scale: float) -> tuple[np.ndarray, np.ndarray]:
    """The biweight M-estimate at a fixed scale, from ``beta``: (coef, weights).

    Newton steps on the M-step's objective; where the Hessian is not positive definite or
    Newton's step would raise the objective, a step of iteratively reweighted least
    squares (a refit with the weights psi(t) / t) instead. No step is taken that would
    raise the objective: a reweighting step never does (the biweight loss is a concave
    function of the squared residual), so the iterations end at the first one that would
    (by rounding), or when the fitted values move by less than ``TOLERANCE`` scales.
    Returns the reweighted fit from the last point and its weights, so that ``coef`` is
    exactly their weighted fit.
    """
    state = _m_state(prob, beta, scale)
    for _ in range(MAX_STEPS):
        step = _newton(state)
        new = None if step is None else _m_state(prob, state.beta + step, scale)
        if step is None or new is None or not new.loss <= state.loss:  # reweighting instead
            step = _reweighted(prob, state.beta, scale)[0] - state.beta
            new = _m_state(prob, state.beta + step, scale)
            if not new.loss <= state.loss:
                break
        state = new
        if float(np.sum(np.abs(step))) <= TOLERANCE * scale:
            break
    return _reweighted(prob, state.beta, scale)


def _reweighted(prob: _Problem, beta: np.ndarray, scale: float) -> tuple[np.ndarray, np.ndarray]:
    """The refit with the biweight weights of the residuals of ``beta``: (coef, weights)."""
    w = biweight_weights(prob.residuals(beta[None])[0] / scale, MM_TUNING)
    return _solve(prob.normal_matrix(w), prob.weighted_sums(w)), w


def _newton(state: _MState) -> np.ndarray | None:
    """Newton's step from the state, or None where the Hessian is not positive definite."""
    try:
        lower = np.linalg.cholesky(state.hessian)
    except np.linalg.LinAlgError:
        return None
    return np.linalg.solve(lower.T, np.linalg.solve(lower, state.gradient))


def _solve(A: np.ndarray, rhs: np.ndarray) -> np.ndarray:
    """``A^-1 rhs``, or the minimum-norm solution when A is singular."""
    try:
        return np.linalg.solve(A, rhs)
    except np.linalg.LinAlgError:
        return np.asarray(np.linalg.lstsq(A, rhs, rcond=None)[0])


def _sampler_problem(prob: _Problem, rng: np.random.Generator) -> _Problem:
    """At most ``SAMPLER_SUBSAMPLE`` of the search's samples, drawn from ``rng``."""
    m = len(prob.y)
    if m <= SAMPLER_SUBSAMPLE:
        return prob
    rows = np.sort(rng.choice(m, SAMPLER_SUBSAMPLE, replace=False))
    sw = None if prob.sw is None else prob.sw[rows]
    return _Problem(np.ascontiguousarray(prob.PhiT[:, rows]), prob.y[rows], sw, prob.penalty)


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


def _n_starts(k: int, m: int) -> int:
    """Elemental starts for k coefficients and m samples (see ``MISS_PROBABILITY``)."""
    clean = BREAKDOWN**k
    if -math.log1p(-clean) * MAX_STARTS <= -math.log(MISS_PROBABILITY):
        return MAX_STARTS
    needed = math.ceil(math.log(MISS_PROBABILITY) / math.log1p(-clean))
    return min(MAX_STARTS, max(needed, START_BUDGET // m))


def _covariance(prob: _Problem, coef: np.ndarray, scale: float) -> np.ndarray:
    """Huber's covariance of the M-estimate at a fixed scale (statsmodels RLM's ``"H1"``).

    ``K^2 [sum psi^2 / (N - k)] / mean(psi')^2 * scale^2 * A^-1``, with psi the biweight's
    psi function of the scaled residuals, sums and means weighted by the sample weights
    (N their total), ``K = 1 + k / N * var(psi') / mean(psi')^2`` and ``A`` the penalised
    normal matrix ``Phi' diag(sw) Phi + ridge I + N (gamma1 R1 + gamma2 R2)``.
    """
    n_total, k = prob.total, len(prob.PhiT)
    if not n_total > k:
        return np.full((k, k), np.nan)
    psi2 = dpsi = dpsi2 = 0.0
    for cols in blocks(len(prob.y), 1):
        t = prob.y[cols] - coef @ prob.PhiT[:, cols]
        t *= 1.0 / scale
        np.clip(t, -MM_TUNING, MM_TUNING, out=t)  # psi is 0 beyond the cut, even at inf
        u = clipped_square(t, 1.0 / MM_TUNING)
        v = np.subtract(1.0, u)
        t *= v
        t *= v  # psi(t) = t (1 - u)^2
        u *= -5.0
        u += 1.0
        u *= v  # psi'(t) = (1 - u)(1 - 5u)
        sw = None if prob.sw is None else prob.sw[cols]
        psi2 += float(wsum(np.square(t), sw))
        dpsi += float(wsum(u, sw))
        dpsi2 += float(wsum(np.square(u), sw))
    mean_dpsi = dpsi / n_total
    if not mean_dpsi > 0.0:
        return np.full((k, k), np.nan)
    var_dpsi = max(dpsi2 / n_total - mean_dpsi**2, 0.0)
    K = 1.0 + k / n_total * var_dpsi / mean_dpsi**2
    factor = K * K * psi2 / (n_total - k) / mean_dpsi**2
    cov = (factor * scale * scale) * _inverse(prob.normal_matrix(np.ones(len(prob.y))))
    return 0.5 * (cov + cov.T)


def _inverse(A: np.ndarray) -> np.ndarray:
    """The inverse of a normal matrix, or its pseudo-inverse when it is singular."""
    try:
        return np.linalg.inv(A)
    except np.linalg.LinAlgError:
        return np.linalg.pinv(A)


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

    An MM-estimator (Yohai 1987) started, as R's ``robustbase::lmrob``, from a fast-S
    estimate (Salibian-Barrera and Yohai 2006); its M-steps are then repeated at the
    noise scale of their residuals while that scale falls.

    1. **Subsample.** When more than 1,000 samples have positive weight, steps 2 to 4 run
       on 1,000 of them drawn from ``seed``; step 5 uses all of them.
    2. **Starts.** The penalised least-squares fit and exact fits of random sets of k
       samples: enough that one of them is free of outliers with probability 0.99 when
       half of the data is bad, more on small data (up to 20,000 residuals in all), at
       most 500.
    3. **S-estimate.** The objective of the search is the M-scale of the residuals: the
       s with ``sum(w rho(r / s)) = (N - k) / 2``, rho Tukey's biweight at 1.548 bounded
       by 1 (50 % breakdown, consistent for Gaussian noise), N the total sample weight.
       Each start takes one step that refits it with the biweight weights of its
       residuals (a concentration step for the M-scale); the two with the smallest
       M-scale (found as in fast-S) are refined until their scale settles to 1e-4.
       Two more candidates are refined with them: the least-squares fit led by
       reweighting steps at scales falling from 8 times the M-scale of its residuals to
       that M-scale (a path that keeps the few points far out in x, which elemental
       starts seldom include, as long as they agree with the rest), and the optimum of
       :class:`zarn.TournamentMCMC` (settings ``sampler``, complexity ``H``, seed
       ``seed``), run on the residuals of the best start at (at most) 250 of the
       samples, so that its hit tolerance (0.4 MAD of the data it sees) is set by the
       noise rather than by the spread of y. The candidate of smallest M-scale wins; a
       refinement that ended above its start's M-scale gives way to its start, so the
       winner has the smallest M-scale of all the starts and their refinements.
    4. **M-steps.** Newton (or, where Newton's step would not lower the objective,
       reweighted least-squares) steps on ``sum(w scale^2 rho(r / scale)) + b' P b / 2``, rho the
       biweight at 4.685 (95 % efficiency for Gaussian noise), ``P = ridge I + N
       (gamma1 R1 + gamma2 R2)``, at the S-estimate's scale, from the S-estimate, until the
       fitted values move by less than 1e-8 scales; no step raises the objective. Then
       the noise scale of the residuals (below) becomes the scale of the next M-step,
       which is kept only if its own noise scale is not larger, until it settles.
       Outliers near the curve inflate the M-scale, and with it an M-step's reach; the
       noise scale is not inflated by them, so these steps remove the bias that a heavy
       contamination leaves in the S-estimate.
    5. **All samples.** The M-step at the final scale from there on all samples; ``coef``
       is its last reweighted least-squares fit, exactly, with ``weights``.

    The noise scale divides each residual by ``sqrt(1 + q - 2 w q)`` (q its leverage in
    the weighted fit per unit of sample weight, w its robustness weight: ``1 - q`` for a
    fitted sample, ``1 + q`` for one left out), takes their M-scale, then the root mean
    square of those within 3 M-scales, over the standard deviation of a normal variable
    cut at 3: for clean data nearly the residual standard deviation, even with few samples
    per coefficient. ``scale`` is that of the final fit, and the samples beyond 3 of it
    (in the same standardised residuals) are the outliers.

    High-leverage points (far out in the features) that agree with the bulk of the data
    keep their weight: every point is judged by its residual from a fit chosen by the
    M-scale of all points, and a bad point there cannot lower that scale by pulling the
    fit, as it can lower the sum of squares of the half of the points that least-squares
    trimming keeps.

    Sample weights multiply each sample's term in the M-scale's equation, in the M-step's
    objective and in the noise scale, so integer weights act as repeated samples (to the
    precision of the iterations); the penalties are weighted by the total weight N.
    Samples of zero weight are left out but get a residual, a weight and a flag like the
    others. The sampler and the elemental starts draw among the samples of positive
    weight without regard to their weight.

    The cost is that of the sampler and of about 100 to 500 starts on at most 1,000
    samples, then a few passes over all samples per M-step: linear in n with a small
    constant. The result depends only on the arguments and ``seed``: every draw comes
    from a generator seeded by ``seed``, every sum over the samples is NumPy's own, in a
    fixed order, so the number of threads does not change a bit.

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
        robustness weights, the covariance of the coefficients and the final M-step's
        scale. The covariance is Huber's estimate for the M-step at its scale s (as
        statsmodels' ``RLM`` with ``cov="H1"``): ``K^2 [sum w psi^2 / (N - k)] /
        mean(psi')^2 s^2 A^-1``, psi the biweight's psi function of r / s, w the sample
        weights, ``K = 1 + k var(psi') / (N mean(psi')^2)`` and ``A = Phi' diag(w) Phi +
        P``; it treats the scale as known.

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
    # A residual far beyond a tiny scale may overflow to infinity when divided by it: it
    # then gets weight 0 and rho 1, as any residual beyond the cut.
    with np.errstate(over="ignore"):
        return _robust_fit(
            Phi, y, (R1, R2, float(gamma1), float(gamma2)), ridge, H, sampler, seed, sample_weight
        )


def _robust_fit(
    Phi: np.ndarray,
    y: np.ndarray,
    pen: tuple,
    ridge: float,
    H: int,
    sampler: Mapping[str, Any],
    seed: int,
    sample_weight: np.ndarray | None,
) -> RobustFit:
    """:func:`robust_fit`, with the penalties as one tuple."""
    n, k = Phi.shape
    sw = check_sample_weight(sample_weight, n)
    used = None if sw is None or (sw > 0.0).all() else np.flatnonzero(sw > 0.0)
    PhiT = np.ascontiguousarray(Phi.T)  # free for the core's design matrices (Fortran order)
    if sw is None or used is None:
        everything = _problem(PhiT, y, sw, pen, ridge)
    else:
        everything = _problem(PhiT[:, used], y[used], sw[used], pen, ridge)
    m = len(everything.y)
    rng = np.random.default_rng([seed, _DRAWS_STREAM])
    # The search runs on a subsample; its penalties are weighted by its own total weight.
    if m > SUBSAMPLE:
        rows = np.sort(rng.choice(m, SUBSAMPLE, replace=False))
        weights = None if everything.sw is None else everything.sw[rows]
        search = _problem(everything.PhiT[:, rows], everything.y[rows], weights, pen, ridge)
    else:
        search = everything
    size = abs(float(np.median(search.y))) + zarn_core.mad(search.y)
    # Not below the smallest normal double: smaller numbers may be flushed to zero.
    floor = max(RELATIVE_FLOOR * size, np.finfo(np.float64).tiny)

    ls = search.solve(np.ones((1, len(search.y))))
    if m <= k:  # no degrees of freedom: least squares, nothing to judge by
        _, gibbs = _sampler_start(search, ls[0], pen, H, sampler, seed)
        return _result(Phi, y, ls[0], math.nan, used, None, everything, gibbs)

    best = _screen(
        search, np.vstack([ls, _elemental_starts(search, _n_starts(k, len(search.y)), rng)])
    )
    mcmc, gibbs = _sampler_start(_sampler_problem(search, rng), best[0], pen, H, sampler, seed)
    annealed = _annealed(search, ls[0])
    refined, scales = _refine(search, np.vstack([best, annealed, mcmc]), floor)
    first = int(np.argmin(scales))  # the first of equal scales
    beta, scale = refined[first], float(scales[first])

    if scale <= floor:  # most points lie on the fit: refit them alone
        r = everything.residuals(beta[None])[0]
        w = (np.abs(r) <= floor).astype(np.float64)
        coef = everything.solve(w[None])[0]
        return _result(Phi, y, coef, 0.0, used, w, everything, gibbs, exact=floor)
    # The M-step at the S-scale, then the noise scale of its residuals (on the subsample
    # for large data), then the M-step at that scale on all samples.
    beta, w = _mm_steps(search, beta, scale)
    noise, e = _noise_scale(search, search.residuals(beta[None])[0], w, scale)
    for _ in range(NOISE_ROUNDS):
        if not noise > floor:
            break
        again, w_again = _mm_steps(search, beta, noise)
        new, e_again = _noise_scale(search, search.residuals(again[None])[0], w_again, noise)
        if not new <= noise:
            break
        beta, w, e, scale, noise = again, w_again, e_again, noise, new
        if abs(new - scale) <= NOISE_TOLERANCE * scale:
            break
    if search is everything:  # the fit of all samples, with its noise scale, is at hand
        return _result(Phi, y, beta, scale, used, w, everything, gibbs, noise=(noise, e))
    coef, w = _mm_steps(everything, beta, scale)
    return _result(Phi, y, coef, scale, used, w, everything, gibbs)


def _result(
    Phi: np.ndarray,
    y: np.ndarray,
    coef: np.ndarray,
    mm_scale: float,
    used: np.ndarray | None,
    fitted: np.ndarray | None,
    prob: _Problem,
    gibbs: Any,
    exact: float = 0.0,
    noise: tuple[float, np.ndarray] | None = None,
) -> RobustFit:
    """The RobustFit of ``coef``: residuals, scale, weights and flags of every sample.

    ``fitted`` holds the weights ``coef`` was fitted with on the samples ``used`` (None:
    all samples; ``fitted`` None: equal weights); the samples of zero weight get the
    weights and flags of their residuals. ``noise`` is the noise scale of ``coef`` and
    its standardised residuals on the samples ``used``, when they are known.
    """
    n, k = Phi.shape
    record = GibbsRecord.from_native(gibbs)
    r = y - Phi @ coef
    if math.isnan(mm_scale):  # no degrees of freedom
        nan = np.full((k, k), np.nan)
        return RobustFit(coef, np.ones(n, dtype=bool), record, mm_scale, np.ones(n), nan, mm_scale)
    if mm_scale == 0.0:  # the points on the fit are its inliers
        mask = np.abs(r) <= exact
        w = mask.astype(np.float64)
        if fitted is not None:
            w[_all(used)] = fitted
        return RobustFit(coef, mask, record, 0.0, w, np.zeros((k, k)), 0.0)
    r_used = prob.residuals(coef[None])[0]  # the same bits whatever the layout of Phi
    r[_all(used)] = r_used
    w = biweight_weights(r / mm_scale, MM_TUNING)
    w[_all(used)] = fitted
    cov = _covariance(prob, coef, mm_scale)
    scale, e_used = _noise_scale(prob, r_used, w[_all(used)], mm_scale) if noise is None else noise
    e = r.copy()
    e[_all(used)] = e_used
    mask = np.abs(e) < CUTOFF * scale
    return RobustFit(coef, mask, record, scale, w, cov, mm_scale)


def _all(used: np.ndarray | None) -> np.ndarray | slice:
    """An index of the samples of positive weight."""
    return slice(None) if used is None else used


def _noise_scale(
    prob: _Problem, r: np.ndarray, w: np.ndarray, mm_scale: float
) -> tuple[float, np.ndarray]:
    """The noise scale from the final fit's residuals ``r``: (scale, standardised residuals).

    The residuals are divided by ``sqrt(1 + q - 2 w q)``, with w the robustness weights
    and q the leverages ``phi' A^-1 phi`` of the weighted fit per unit of sample weight
    (``1 - q`` for a sample fitted with its full weight, ``1 + q`` for one left out): for
    Gaussian noise they then have about equal variances, which the residuals of points
    far out in the features do not; their
    M-scale (50 % breakdown) is then refined by one reweighting step: the root mean
    square of those within ``CUTOFF`` M-scales, over the standard deviation of a normal
    variable cut there. So clean data
    gets nearly the residual standard deviation, and gross outliers do not count. Samples
    fitted exactly (``1 + q - 2 w q = 0``) do not count either.
    """
    inverse = _inverse(prob.normal_matrix(w))
    h = np.empty(len(r))
    for cols in blocks(len(r), 1):
        P = prob.PhiT[:, cols]
        h[cols] = np.einsum("ji,ji->i", P, inverse @ P)
    # Var(r) / scale^2 = 1 - 2 w q + q, approximately, for q = phi' A^-1 phi per unit of
    # sample weight (a sample of weight 2 acts as two copies): 1 - q for a sample fitted
    # with its full weight, 1 + q for one left out of the fit, as a new point.
    free = np.maximum(1.0 + h - 2.0 * w * h, 0.0)
    counts = free > LEVERAGE_FLOOR
    e = np.where(counts, r / np.sqrt(np.where(counts, free, 1.0)), 0.0)
    sw = counts.astype(np.float64) if prob.sw is None else counts * prob.sw
    # Standardised residuals keep all their degrees of freedom: no k is subtracted.
    m_scale = float(m_scales(e[None], np.array([mm_scale]), sw, float(np.sum(sw)))[0])
    inside = np.abs(e) < CUTOFF * m_scale
    inside &= counts
    weights = inside if prob.sw is None else inside * prob.sw
    mean_square = float(np.sum(np.square(e) * weights)) / float(np.sum(weights))
    return math.sqrt(mean_square) / TRUNCATED_SD, e


# ------------------------------------------------------------------ the method object

# The largest |y| the robust fit is given, after its power-of-two scaling.
ROBUST_TOP = 1e150


class Robust(Method):
    """Resistant to gross outliers: up to half of the samples may be arbitrarily bad.

    The procedure is :func:`robust_fit`'s, on y scaled into range (:func:`fit_scaled`).
    Automatic penalty weights are chosen on the inliers of a robust fit without them
    (the fixed weights as given), so that outliers do not make the data look rougher than
    the curve is; then the fit runs again with them. The uncertainty is the fit's own
    covariance and robust scale, with normal quantiles.
    """

    name = "robust"
    flags_outliers = True
    extra_settings = SAMPLER_SETTINGS

    def fit(self, data: Series, settings: Settings) -> Fit:
        design, Phi, y, w = data.design, data.Phi, data.y, data.w
        check_finite(y, "y")
        seed = seed_from(settings.random_state)
        if auto(settings):
            start = fixed_weights(settings)
            mask = fit_scaled(Phi, y, penalty_of(design, start), start, seed, w).inlier_mask
            kept = None if w is None else w[mask]
            inliers = Series(design, data.X[mask], Phi[mask], y[mask], kept)
            settings = auto_weights(inliers, settings)
        penalty = penalty_of(design, settings)
        result = fit_scaled(Phi, y, penalty, settings, seed, w)
        uncertainty = given_uncertainty(Phi, w, result.cov, result.scale)
        outliers = Outliers(result.inlier_mask, result.weights, result.gibbs, seed)
        return Fit(result.coef, uncertainty, settings, penalty, outliers)


def given_uncertainty(
    Phi: np.ndarray, w: np.ndarray | None, cov: np.ndarray, scale: float
) -> GivenUncertainty:
    """The uncertainty of the robust fit: its covariance and scale, with the rank and the
    singular values of the design weighted by the sample weights (edf is the rank)."""
    rows = weighted_rows(Phi, np.zeros(len(Phi)), w)
    values, rank = singular_values(r_factor(rows.Phi))
    cov = np.asarray(cov, dtype=np.float64)
    return GivenUncertainty(cov, float(scale), float(rank), rows.n_obs, values * rows.unit, rank)


def fit_scaled(
    Phi: np.ndarray,
    y: np.ndarray,
    penalty: Penalty,
    settings: Settings,
    seed: int,
    sample_weight: np.ndarray | None = None,
) -> RobustFit:
    """:func:`robust_fit` of a finite y of any size, in the units of y.

    y beyond 1e+-100 is fitted as y / s for a power of two s (exactly), so that its sums
    of squares stay in range; the energy's penalties are then weighed at that scale. Huge
    outliers among ordinary values would push the bulk to the bottom of the range of
    doubles, where its noise is lost: s is then set by the bulk, as far as it keeps the
    largest value below ``ROBUST_TOP`` (whose square is still a double).
    """
    s = power_of_two_scale(y)
    if s > 1.0:
        bulk = abs(float(np.median(y))) + zarn_core.mad(y)
        least = math.ldexp(1.0, math.frexp(float(np.abs(y).max()) / ROBUST_TOP)[1])
        s = max(power_of_two(bulk), least)
    result = robust_fit(
        Phi,
        y / s,
        penalty.R1,
        penalty.R2,
        penalty.gamma1,
        penalty.gamma2,
        ridge=penalty.ridge,
        H=settings.H,
        sampler=settings.sampler,
        seed=seed,
        sample_weight=sample_weight,
    )
    if s == 1.0:
        return result
    with np.errstate(over="ignore"):
        coef = result.coef * s
        cov = result.cov * s * s  # (cov * s) * s: stays finite wherever it can
    if not np.isfinite(coef).all():
        raise coefficients_too_large("robust", y)
    return dataclasses.replace(
        result, coef=coef, cov=cov, scale=result.scale * s, mm_scale=result.mm_scale * s
    )
