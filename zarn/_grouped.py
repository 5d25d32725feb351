"""The fits of :func:`zarn.fit_groups`: one fit per group, each on its own positions and domain.

The samples are sorted by group (stably, so each group keeps its own order). Groups of
equal size whose fit is linear in the data (``"ols"``, and ``"penalized"`` with numeric
weights) share one batched solve (:func:`_fit_batch`): their mapped designs are built by
one call of the core, and their normal equations are solved together where they are as
accurate as the estimator's solve (the Gram matrix certainly well conditioned, the test
the penalised fit itself uses before it solves its normal equations); the statistics are
batched too. Every other group (robust fits, penalty weights chosen per group, the few
groups the batch refuses) is fitted alone by the estimator's own fit of one series,
:func:`zarn._fit.fit_series`, so that its results are the estimator's bit for bit.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

from zarn import _batched
from zarn._design import Design
from zarn._fit import fit_series
from zarn._lstsq import Penalty
from zarn._methods import method, penalty_of
from zarn._methods.penalized import ACCURATE_MARGIN
from zarn._settings import Settings, seed_from
from zarn._uncertainty import residual_dof
from zarn.exceptions import RankWarning

# Values (groups x samples x columns) of the design of one batch: bounds its temporaries
# at a few tens of megabytes, whatever the number of groups.
BATCH_VALUES = 2**21


@dataclass(eq=False, slots=True)
class GroupArrays:
    """The fits of every group, one row per group (NaN where a group is not fitted).

    ``offset`` and ``map_scale`` give each group's map ``X * map_scale + offset`` onto
    [-1, 1]; ``design`` holds the basis shared by the groups (its own domain is no
    group's) and ``method`` the method's name.
    ``inlier_mask`` is per input sample (False where a sample was not used), and with
    ``n_inliers`` only for a method that flags outliers. ``rank_deficient`` counts the
    fitted groups whose design cannot determine every coefficient.
    """

    coef: np.ndarray
    stderr: np.ndarray
    scale: np.ndarray
    r2: np.ndarray
    n_used: np.ndarray
    domain: np.ndarray
    offset: np.ndarray
    map_scale: np.ndarray
    n_inliers: np.ndarray | None
    inlier_mask: np.ndarray | None
    design: Design
    method: str
    rank_deficient: int = 0


@dataclass(frozen=True, eq=False)
class Sorted:
    """The samples used (finite x and y, positive weight), sorted by group: group g holds
    rows ``starts[g]:starts[g] + counts[g]`` of X, y and w, and ``rows`` maps them back to
    the input's ``n_input`` samples."""

    X: np.ndarray
    y: np.ndarray
    w: np.ndarray | None
    rows: np.ndarray
    starts: np.ndarray
    counts: np.ndarray
    n_input: int

    def group(self, g: int) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
        """Group g's samples (views)."""
        part = slice(int(self.starts[g]), int(self.starts[g] + self.counts[g]))
        return self.X[part], self.y[part], None if self.w is None else self.w[part]


def sort_samples(
    X: np.ndarray, y: np.ndarray, w: np.ndarray | None, codes: np.ndarray, n_groups: int
) -> Sorted:
    """The samples of every group, sorted by group code (-1: in no group). A sample whose
    position or target is not finite, or whose weight is zero, is left out."""
    used = (codes >= 0) & np.isfinite(y) & np.isfinite(X).all(axis=1)
    if w is not None:
        used &= w > 0.0
    rows = np.flatnonzero(used)
    rows = rows[np.argsort(codes[rows], kind="stable")]
    counts = np.bincount(codes[rows], minlength=n_groups)
    starts = np.zeros(n_groups, dtype=np.int64)
    np.cumsum(counts[:-1], out=starts[1:])
    w_used = None if w is None else w[rows]
    return Sorted(X[rows], y[rows], w_used, rows, starts, counts, len(y))


def fit_grouped(samples: Sorted, settings: Settings, min_count: int | None) -> GroupArrays:
    """Fit every group of ``samples`` with the model's checked settings.

    A group with fewer than ``min_count`` samples (None: one more than the coefficients)
    is not fitted; a group the method cannot fit (a domain of zero width, a fit that
    fails) gets NaN too, without stopping the others.
    """
    d = samples.X.shape[1]
    template = Design.from_data(np.tile([[0.0], [1.0]], (1, d)), settings)
    fitter = method(settings.method)
    if not fitter.shares_design(settings):
        # One seed for every group, as fit_many draws one for every series.
        settings = settings.replace(random_state=seed_from(settings.random_state))
    k, G = template.k, len(samples.counts)
    counts = samples.counts
    lo, hi = _ranges(samples, template, settings.domain is not None)
    width = hi - lo
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        offset, map_scale = (-hi - lo) / width, 2.0 / width
    flags = fitter.flags_outliers
    out = GroupArrays(
        coef=np.full((G, k), np.nan),
        stderr=np.full((G, k), np.nan),
        scale=np.full(G, np.nan),
        r2=np.full(G, np.nan),
        n_used=counts.astype(np.int64),
        domain=np.stack([lo, hi], axis=-1),
        offset=offset,
        map_scale=map_scale,
        n_inliers=np.zeros(G, dtype=np.int64) if flags else None,
        inlier_mask=np.zeros(samples.n_input, dtype=bool) if flags else None,
        design=template,
        method=settings.method,
    )
    fitted = (counts >= (k + 1 if min_count is None else min_count)) & (counts > 0)
    alone = fitted
    if fitter.shares_design(settings):
        batched = fitted & (counts > k) & _maps_onto_window(lo, hi, offset, map_scale)
        batched &= _ordinary_groups(samples)
        alone = fitted & ~batched
        penalty = penalty_of(template, settings)
        for m in np.unique(counts[batched]).tolist():
            groups = np.flatnonzero(batched & (counts == m))
            step = max(1, BATCH_VALUES // (m * (k + 1)))
            for s in range(0, len(groups), step):
                chunk = groups[s : s + step]
                refused = _fit_batch(samples, chunk, m, out, penalty, fitter.projects)
                alone[chunk[refused]] = True
    for g in np.flatnonzero(alone).tolist():
        _fit_alone(samples, g, settings, out)
    return out


def _ranges(samples: Sorted, template: Design, given: bool) -> tuple[np.ndarray, np.ndarray]:
    """Each group's (low, high) per feature, (G, d) each: the model's domain where one is
    given, else the range of the group's positions (NaN for a group without samples)."""
    G, d = len(samples.counts), samples.X.shape[1]
    if given:
        return (np.tile(template.domain[:, 0], (G, 1)), np.tile(template.domain[:, 1], (G, 1)))
    lo, hi = np.full((G, d), np.nan), np.full((G, d), np.nan)
    some = np.flatnonzero(samples.counts)
    if some.size:
        starts = samples.starts[some]
        lo[some] = np.minimum.reduceat(samples.X, starts, axis=0)
        hi[some] = np.maximum.reduceat(samples.X, starts, axis=0)
    return lo, hi


def _maps_onto_window(
    lo: np.ndarray, hi: np.ndarray, offset: np.ndarray, scale: np.ndarray
) -> np.ndarray:
    """Which groups' domains map onto [-1, 1] in doubles (every feature): low < high, with
    finite width, offset and scale. The others are left to the estimator's own message."""
    with np.errstate(over="ignore", invalid="ignore"):
        ok = (lo < hi) & np.isfinite(hi - lo) & np.isfinite(offset) & np.isfinite(scale)
    return np.asarray(ok.all(axis=1))


def _ordinary_groups(samples: Sorted) -> np.ndarray:
    """Which groups' targets and weights are of ordinary size (or 0), whose sums of
    squares the batch can take as they are; the estimator rescales the others."""
    G = len(samples.counts)
    ok = np.zeros(G, dtype=bool)
    some = np.flatnonzero(samples.counts)
    if some.size:
        starts = samples.starts[some]
        ok[some] = _batched.ordinary(np.maximum.reduceat(np.abs(samples.y), starts))
        if samples.w is not None:
            ok[some] &= _batched.ordinary(np.maximum.reduceat(samples.w, starts))
    return ok


def _fit_batch(
    samples: Sorted,
    groups: np.ndarray,
    m: int,
    out: GroupArrays,
    penalty: Penalty,
    projects: bool,
) -> np.ndarray:
    """Fit the b ``groups`` of m samples each at once, into ``out``; returns which of them
    (a boolean mask) the batch leaves to the estimator's fit.

    The fit of weighted rows ``Pw = sqrt(w) Phi`` and ``yw = sqrt(w) y`` solves
    ``A b = Pw'yw`` with ``A = G + S``: ``G = Pw'Pw``, and S the penalty in the weights'
    units (:meth:`zarn._lstsq.Penalty.scaled`; none for a method that projects, "ols").
    One solve against ``[Pw'yw, I]`` gives the coefficients and ``A^-1``, whose diagonal
    is the unscaled variance (OLS's ``(Phi'W Phi)^-1``, the penalised fit's posterior
    ``(Phi'W Phi + S)^-1``); the effective number of parameters is k, or
    ``trace(A^-1 G)``. Only groups whose G certainly has full rank with the margin of the
    penalised fit's normal equations are kept, so the solve loses at most about two
    digits to a QR factorisation; the residuals are summed as they are.
    """
    b, k, d = len(groups), out.design.k, samples.X.shape[1]
    index = samples.starts[groups][:, None] + np.arange(m)
    # Each group's map, with the estimator's arithmetic (Design.map).
    Z = samples.X[index] * out.map_scale[groups][:, None, :]
    Z += out.offset[groups][:, None, :]
    Phi = out.design.matrix(Z.reshape(-1, d)).reshape(b, m, k)
    y = samples.y[index]
    if samples.w is None:
        Pw, yw, sw, factor = Phi, y, np.ones_like(y), np.ones(b)
    else:
        sw = np.sqrt(samples.w[index])
        Pw, yw = Phi * sw[:, :, None], y * sw
        factor = samples.w[index].sum(axis=1) / m  # mean weight: the penalty's units
    PwT = Pw.transpose(0, 2, 1)
    G = np.matmul(PwT, Pw)
    accurate = _well_conditioned(G)
    A = G if projects else G + _penalties(penalty, k, m, factor)
    rhs = np.empty((b, k, k + 1))
    rhs[:, :, 0] = np.matmul(PwT, yw[:, :, None])[:, :, 0]
    rhs[:, :, 1:] = np.eye(k)
    A[~accurate] = np.eye(k)  # solvable; their results are not used
    with np.errstate(over="ignore", invalid="ignore"):
        solved = np.linalg.solve(A, rhs)
        coef, inverse = solved[:, :, 0], solved[:, :, 1:]
        edf = np.full(b, float(k)) if projects else np.sum(inverse * G, axis=(1, 2))
        resid = yw - np.matmul(Pw, coef[:, :, None])[:, :, 0]
        rss = np.einsum("ij,ij->i", resid, resid)
        df = residual_dof(m, np.minimum(edf, m))
        scale = _batched.scales(rss, df)
        stderr = scale[:, None] * np.sqrt(np.diagonal(inverse, axis1=1, axis2=2))
    keep = accurate & np.isfinite(coef).all(axis=1)
    constant = y.min(axis=1) == y.max(axis=1)
    tss = _batched.centred_sums(y, sw, samples.w is None)
    r2 = _batched.r_squared(rss, tss, constant)
    rows = groups[keep]
    out.coef[rows], out.stderr[rows] = coef[keep], stderr[keep]
    out.scale[rows], out.r2[rows] = scale[keep], r2[keep]
    return np.asarray(~keep)


def _well_conditioned(G: np.ndarray) -> np.ndarray:
    """Which Gram matrices (b, k, k) certainly have full rank with the margin of the
    penalised fit's normal equations: ``G - ACCURATE_MARGIN trace(G) I`` is positive
    definite (as :func:`zarn._lstsq.certainly_full_rank` tests one)."""
    k = G.shape[1]
    trace = np.trace(G, axis1=1, axis2=2)
    in_range = np.asarray(_batched.ordinary(trace) & (trace > 0.0))  # also finite
    shifted = G - (ACCURATE_MARGIN * trace)[:, None, None] * np.eye(k)
    shifted[~in_range] = np.eye(k)  # factorisable; refused below
    try:
        np.linalg.cholesky(shifted)
    except np.linalg.LinAlgError:  # some are not: find which
        return np.asarray(in_range & (np.linalg.eigvalsh(shifted)[:, 0] > 0.0))
    return in_range


def _penalties(penalty: Penalty, k: int, m: int, factor: np.ndarray) -> np.ndarray:
    """Each group's penalty matrix (b, k, k) for m rows of mean weight ``factor``: the
    penalty scaled into the weights' units, then ``ridge I + m gamma1 R1 + m gamma2 R2``
    (:func:`zarn._lstsq.penalty_matrix`'s sum, group by group)."""
    R1, R2, gamma1, gamma2, ridge = penalty
    S = (ridge * factor)[:, None, None] * np.eye(k)
    for R, gamma in ((R1, gamma1), (R2, gamma2)):
        if R is not None and gamma != 0.0:
            S += (m * (gamma * factor))[:, None, None] * R
    return S


def _fit_alone(samples: Sorted, g: int, settings: Settings, out: GroupArrays) -> None:
    """Fit group g as the estimator fits it (:func:`zarn._fit.fit_series`), into ``out``;
    a group the method cannot fit stays NaN."""
    X, y, w = samples.group(g)
    try:
        with warnings.catch_warnings():
            # Counted for one warning of the whole call (see zarn.groups).
            warnings.simplefilter("ignore", RankWarning)
            series = fit_series(X, y, w, settings)
        fit = series.fit
        r2 = _batched.r_squared_one(y, series.design.predict(X, fit.coef), w)
    except (ValueError, np.linalg.LinAlgError):
        return
    u = fit.uncertainty
    out.coef[g], out.stderr[g], out.scale[g], out.r2[g] = fit.coef, u.stderr, u.scale, r2
    out.domain[g] = series.design.domain
    out.rank_deficient += int(u.rank < out.design.k or out.design.k > u.n_obs)
    if fit.outliers is not None and out.n_inliers is not None and out.inlier_mask is not None:
        mask = fit.outliers.inlier_mask
        out.n_inliers[g] = int(mask.sum())
        part = slice(int(samples.starts[g]), int(samples.starts[g] + samples.counts[g]))
        out.inlier_mask[samples.rows[part]] = mask


__all__ = ["GroupArrays", "Sorted", "fit_grouped", "sort_samples"]
