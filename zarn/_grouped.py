"""The fits of :func:`zarn.fit_groups`: one fit per group, each on its own positions and domain.

The samples are sorted by group (stably, so each group keeps its own order) by a counting
sort of the engine module's (:func:`zarn._native.zarn_robust.sort_by_group`). Groups of
equal size whose fit is linear in the data (``"ols"``, and ``"penalized"`` with numeric
weights) share one batched solve (:class:`Batch`): their mapped designs are built by
one call of the core, and their normal equations are solved group by group in one call
of the engine module (:func:`zarn._native.zarn_robust.normal_fits`) where they are as
accurate as the estimator's solve (the Gram matrix certainly well conditioned, the test
the penalised fit itself uses before it solves its normal equations); the statistics,
and the covariance types of ``cov_type`` (:func:`zarn._covtypes.covariance`), are
batched too. Robust groups with fixed penalty weights, targets and weights of ordinary
size and no zero weight are fitted at once by the robust engine's entry point for groups
(:func:`zarn._robust_engine.fit_groups`, in parallel, each group's fit the estimator's bit
for bit), and their standard errors, covariances and rank checks are computed for all
of them at once. Every other group (penalty weights chosen per group, the few groups the
batch or the engine refuses) is fitted alone by the estimator's own fit of one series,
:func:`zarn._fit.fit_series`, so that its results are the estimator's bit for bit.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np

from zarn import _batched
from zarn._covtypes import CovSpec, covariance
from zarn._design import Design
from zarn._fit import fit_series
from zarn._lstsq import RANK_MARGIN, Penalty
from zarn._methods import Method, method, penalty_of
from zarn._methods._base import LAGGED, auto
from zarn._methods.penalized import ACCURATE_MARGIN
from zarn._methods.robust import robust_uncertainty, takes_h1, unscaled_covariance
from zarn._native import zarn_robust
from zarn._robust_engine import FAILED, fit_groups
from zarn._settings import Settings, seed_from
from zarn._uncertainty import residual_dof
from zarn.exceptions import RankWarning

# Values (groups x samples x columns) of the design of one batch: its temporaries, of a
# few megabytes, stay in a core's cache and are reused by the allocator from batch to
# batch, faster than larger batches (measured at 10,000 groups of 50 samples, degree 2:
# 2**18 the best, 2**17 and 2**19 some 5 % slower, 2**21 a quarter slower).
BATCH_VALUES = 2**18


@dataclass(eq=False, slots=True)
class GroupArrays:
    """The fits of every group, one row per group (NaN where a group is not fitted).

    ``coef``, ``stderr`` and ``cov`` cover all the design's columns (the polynomial's,
    then the harmonics'). ``offset`` and ``map_scale`` give each group's map
    ``X * map_scale + offset`` onto [-1, 1]; ``design`` holds the basis shared by the
    groups (its own domain is no group's) and ``method`` the method's name.
    ``inlier_mask`` is per input sample (False where a sample was not used), and with
    ``n_inliers`` only for a method that flags outliers. ``rank_deficient`` counts the
    fitted groups whose design cannot determine every coefficient.
    """

    coef: np.ndarray
    stderr: np.ndarray
    cov: np.ndarray
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
    cov_type: str
    rank_deficient: int = 0


@dataclass(frozen=True, eq=False)
class Sorted:
    """The samples used (finite x and y, positive weight), sorted by group: group g holds
    rows ``starts[g]:starts[g] + counts[g]`` of X, y and w, which are the input's
    samples ``rows`` of its ``n_input`` (None: all of them, in order)."""

    X: np.ndarray
    y: np.ndarray
    w: np.ndarray | None
    rows: np.ndarray | None
    starts: np.ndarray
    counts: np.ndarray
    n_input: int

    def part(self, g: int) -> slice:
        """Group g's rows."""
        return slice(int(self.starts[g]), int(self.starts[g] + self.counts[g]))

    def group(self, g: int) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
        """Group g's samples (views)."""
        part = self.part(g)
        return self.X[part], self.y[part], None if self.w is None else self.w[part]

    def input_rows(self, g: int) -> np.ndarray | slice:
        """The input's samples of group g."""
        return self.part(g) if self.rows is None else self.rows[self.part(g)]

    def rows_of(self, groups: np.ndarray) -> tuple[np.ndarray | slice, np.ndarray]:
        """The rows of ``groups`` (non-empty), one group after another, and where each
        group begins among them (and where the last ends): a slice where the groups lie
        in that order already (all the groups, say), else an index."""
        counts = self.counts[groups]
        offsets = np.zeros(len(groups) + 1, dtype=np.int64)
        np.cumsum(counts, out=offsets[1:])
        first = int(self.starts[groups[0]])
        if (self.starts[groups] == offsets[:-1] + first).all():
            return slice(first, first + int(offsets[-1])), offsets
        index = np.arange(offsets[-1]) + np.repeat(self.starts[groups] - offsets[:-1], counts)
        return index, offsets


def sort_samples(
    X: np.ndarray, y: np.ndarray, w: np.ndarray | None, codes: np.ndarray, n_groups: int
) -> Sorted:
    """The samples of every group, sorted by group code (0 to ``n_groups - 1``; -1: in no
    group). A sample whose position or target is not finite, or whose weight is zero, is
    left out.

    One pass of the native kernel (:func:`zarn._native.zarn_robust.sort_by_group`) counts
    each group's samples, and a second writes the samples used in their stable order;
    samples that are all used and come sorted already (long format is often grouped) are
    not copied.
    """
    out = zarn_robust.sort_by_group(X, y, w, codes, n_groups)
    counts = out["counts"]
    starts = np.zeros(n_groups, dtype=np.int64)
    np.cumsum(counts[:-1], out=starts[1:])
    if "rows" not in out:
        return Sorted(X, y, w, None, starts, counts, len(y))
    return Sorted(out["X"], out["y"], out["w"], out["rows"], starts, counts, len(y))


def fit_grouped(
    samples: Sorted, settings: Settings, min_count: int | None, datetime_like: bool = False
) -> GroupArrays:
    """Fit every group of ``samples`` with the model's checked settings.

    A group with fewer than ``min_count`` samples (None: one more than the coefficients)
    is not fitted; a group the method cannot fit (a domain of zero width, a fit that
    fails) gets NaN too, without stopping the others. ``datetime_like`` says that the
    positions are converted dates or durations (the harmonics' default period).
    """
    d = samples.X.shape[1]
    template = Design.from_data(np.tile([[0.0], [1.0]], (1, d)), settings, None, datetime_like)
    fitter = method(settings.method)
    if fitter.flags_outliers:  # a seed per fit: one for every group, as fit_many draws it
        settings = settings.replace(random_state=seed_from(settings.random_state))
    out = _empty(samples, settings, template, fitter)
    counts = samples.counts
    k = template.k
    fitted = (counts >= (k + 1 if min_count is None else min_count)) & (counts > 0)
    alone = fitted
    by_engine = np.zeros_like(fitted)
    if fitter.linear and not auto(settings):
        y_low, y_high = _y_range(samples)
        batched = fitted & (counts > k) & _batchable(samples, out, y_low, y_high)
        alone = fitted & ~batched
        spec = fitter.cov_spec(settings)
        batch = Batch(
            samples=samples,
            out=out,
            penalty=penalty_of(template, settings),
            projects=fitter.projects,
            constant=y_low == y_high,
            spec=None if fitter.classic_covariance(settings) else spec,
        )
        for m in np.unique(counts[batched]).tolist():
            groups = np.flatnonzero(batched & (counts == m))
            step = max(1, BATCH_VALUES // (m * (k + 1)))
            for s in range(0, len(groups), step):
                chunk = groups[s : s + step]
                alone[chunk[batch.fit(chunk, m)]] = True
    elif fitter.name == "robust" and not auto(settings):
        batched = fitted & (counts > k) & _batchable(samples, out, *_y_range(samples))
        if samples.w is not None:  # zero weights change a group's domain: the estimator's
            batched &= _ranges(samples, samples.w)[0] > 0.0
        groups = np.flatnonzero(batched)
        alone = fitted & ~batched
        if groups.size:
            left = _fit_robust(samples, groups, settings, out, fitter)
            alone[groups[left]] = True
            by_engine[groups[~left]] = True
    singles = np.flatnonzero(alone)
    for g in singles.tolist():
        _fit_alone(samples, g, settings, out, datetime_like)
    # R^2 of the groups fitted one by one or by the robust engine (the batch sets its own).
    done = np.flatnonzero(alone | by_engine)
    _r_squared(samples, done[np.isfinite(out.coef[done]).all(axis=1)], out)
    return out


def evaluate(
    arrays: GroupArrays, X: np.ndarray, groups: np.ndarray, orders: tuple[int, ...]
) -> np.ndarray:
    """The value at each position X (n, d) of its group's fit (``groups``: each row's
    group), or its derivative of ``orders`` (one order per feature), in x's own units."""
    design, scale = arrays.design, arrays.map_scale[groups]
    with np.errstate(over="ignore", invalid="ignore"):
        Z = X * scale  # the map of each position's group, as Design.map
        Z += arrays.offset[groups]
        # The polynomial's derivatives in the mapped variables, times the chain rule's
        # factors of each position's group; the harmonics' in x's own units.
        M = design._replace(scale=1.0).derivative_matrix(Z, orders, X)
        for j, order in enumerate(orders):
            if order:
                M[:, : design.n_poly] *= scale[:, j, None] ** order
        # Column by column: M is column-major, and each column's coefficients are
        # gathered from a table of one value per group.
        values = np.zeros(len(X))
        for j, column in enumerate(np.asarray(M).T):
            values += column * arrays.coef[:, j][groups]
        return values


def _r_squared(samples: Sorted, groups: np.ndarray, out: GroupArrays) -> None:
    """The R^2 of the fitted ``groups``' fits on their own samples, at once: weighted by
    the sample weights (the weighted mean, as statsmodels' WLS), 1.0 for a constant
    group, as :func:`zarn._batched.r_squared_one` gives it one group at a time."""
    if not groups.size:
        return
    rows, offsets = samples.rows_of(groups)
    counts, heads = np.diff(offsets), offsets[:-1]  # heads: each group's first row
    y, which = samples.y[rows], np.repeat(groups, counts)
    fitted = evaluate(out, samples.X[rows], which, (0,) * samples.X.shape[1])
    # Values and weights over their group's largest, by a power of two for the values
    # (exactly): the same R^2, with sums of squares in range for values of any size.
    top = np.repeat(np.maximum.reduceat(np.abs(y), heads), counts)
    unit = np.ldexp(1.0, np.frexp(top)[1])
    y, fitted = y / unit, fitted / unit
    w = np.ones_like(y) if samples.w is None else samples.w[rows]
    w = w / np.repeat(np.maximum.reduceat(w, heads), counts)
    total = np.add.reduceat(w, heads)
    mean = np.add.reduceat(w * y, heads) / total
    rss = np.add.reduceat(w * (y - fitted) ** 2, heads)
    tss = np.add.reduceat(w * (y - np.repeat(mean, counts)) ** 2, heads)
    constant = np.minimum.reduceat(y, heads) == np.maximum.reduceat(y, heads)
    out.r2[groups] = _batched.r_squared(rss, tss, constant)


def _empty(samples: Sorted, settings: Settings, template: Design, fitter: Method) -> GroupArrays:
    """The results of no group fitted yet: NaN, with each group's domain and its map."""
    G, k = len(samples.counts), template.k
    if settings.domain is None:
        lo, hi = _ranges(samples, samples.X)
    else:
        lo, hi = np.tile(template.domain[:, 0], (G, 1)), np.tile(template.domain[:, 1], (G, 1))
    width = hi - lo
    with np.errstate(over="ignore", divide="ignore", invalid="ignore"):
        offset, map_scale = (-hi - lo) / width, 2.0 / width
    flags = fitter.flags_outliers
    return GroupArrays(
        coef=np.full((G, k), np.nan),
        stderr=np.full((G, k), np.nan),
        cov=np.full((G, k, k), np.nan),
        scale=np.full(G, np.nan),
        r2=np.full(G, np.nan),
        n_used=samples.counts.astype(np.int64),
        domain=np.stack([lo, hi], axis=-1),
        offset=offset,
        map_scale=map_scale,
        n_inliers=np.zeros(G, dtype=np.int64) if flags else None,
        inlier_mask=np.zeros(samples.n_input, dtype=bool) if flags else None,
        design=template,
        method=settings.method,
        cov_type=fitter.cov_spec(settings).name,
    )


def _batchable(
    samples: Sorted, out: GroupArrays, y_low: np.ndarray, y_high: np.ndarray
) -> np.ndarray:
    """Which groups the batch can take: domains that map onto [-1, 1] in doubles (low <
    high, with finite width, offset and scale), and targets (between ``y_low`` and
    ``y_high``) and weights of ordinary size (or 0), whose sums of squares it takes as
    they are. The estimator's own fit rescales the others, or gives its own message."""
    lo, hi = out.domain[..., 0], out.domain[..., 1]
    with np.errstate(over="ignore", invalid="ignore"):
        maps = (lo < hi) & np.isfinite(hi - lo) & np.isfinite(out.offset)
        maps &= np.isfinite(out.map_scale)
    y_top = np.maximum(np.abs(y_low), np.abs(y_high))
    ok = np.asarray(maps.all(axis=1) & _batched.ordinary(y_top))
    if samples.w is not None:
        ok &= _batched.ordinary(_ranges(samples, samples.w)[1])
    return ok


def _y_range(samples: Sorted) -> tuple[np.ndarray, np.ndarray]:
    """Each group's smallest and largest target."""
    return _ranges(samples, samples.y)


def _fit_robust(
    samples: Sorted, groups: np.ndarray, settings: Settings, out: GroupArrays, fitter: Method
) -> np.ndarray:
    """Fit the robust ``groups`` at once with the engine's entry point for groups
    (:func:`zarn._robust_engine.fit_groups`), each as the estimator's robust fit of its
    samples alone, into ``out``; returns which of them (a boolean mask) it leaves to
    the estimator's fit. The groups have targets and weights of ordinary size (the
    estimator then leaves y unscaled) and positive weights, with fixed penalty weights."""
    design = out.design
    index, offsets = samples.rows_of(groups)
    counts = np.diff(offsets)
    of_row = np.repeat(np.arange(len(groups)), counts)
    X, y = samples.X[index], samples.y[index]
    w = None if samples.w is None else samples.w[index]
    Z = X * out.map_scale[groups][of_row] + out.offset[groups][of_row]
    Phi = np.asarray(design.matrix(Z, X))
    penalty = penalty_of(design, settings)
    fit = fit_groups(
        Phi,
        y,
        offsets,
        sample_weight=w,
        R1=penalty.R1,
        R2=penalty.R2,
        gamma1=penalty.gamma1,
        gamma2=penalty.gamma2,
        ridge=penalty.ridge,
        seed=seed_from(settings.random_state),
    )
    left = (fit.status == FAILED) | ~np.isfinite(fit.coef).all(axis=1)
    done = np.flatnonzero(~left)
    fitted = groups[done]
    chosen = fit.cov_h1 if takes_h1(penalty, fitter.cov_spec(settings).name == "H1") else fit.cov
    out.coef[fitted] = fit.coef[done]
    out.stderr[fitted], out.cov[fitted] = _robust_errors(chosen[done], fit.scale[done])
    out.scale[fitted] = fit.scale[done]
    out.rank_deficient += _count_rank_deficient(Phi, w, offsets, done, chosen, fit.scale)
    if out.n_inliers is not None and out.inlier_mask is not None:
        mask = fit.inlier_mask
        out.n_inliers[fitted] = np.add.reduceat(mask.astype(np.int64), offsets[:-1])[done]
        rows = index if samples.rows is None else samples.rows[index]
        out.inlier_mask[rows] = mask & np.repeat(~left, counts)  # the others' come later
    return np.asarray(left)


def _robust_errors(cov: np.ndarray, scale: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The standard errors (G, k) and covariances (G, k, k) of robust fits from the
    engine's covariances and scales, for all the groups at once with the arithmetic of
    the estimator's uncertainty of one fit of y unscaled (``robust_uncertainty`` and its
    ``stderr`` and ``cov``), so that each group's are the estimator's bit for bit."""
    unscaled = unscaled_covariance(cov, scale)
    s = scale[:, None, None]
    with np.errstate(over="ignore", invalid="ignore"):
        stderr = scale[:, None] * np.sqrt(np.diagonal(unscaled, axis1=1, axis2=2))
        return stderr, unscaled * s * s


def _count_rank_deficient(
    Phi: np.ndarray,
    w: np.ndarray | None,
    offsets: np.ndarray,
    done: np.ndarray,
    cov: np.ndarray,
    scale: np.ndarray,
) -> int:
    """How many of the robust groups ``done`` (group i: rows ``offsets[i]:offsets[i+1]`` of
    Phi and w, its covariance and scale) have a weighted design of rank below k. A Gram
    matrix that certainly has full rank (:data:`zarn._lstsq.RANK_MARGIN`) settles it;
    the estimator's own rank of the others is computed group by group."""
    k = Phi.shape[1]
    certain = _certain(_normal_fits(Phi, offsets, w, RANK_MARGIN))
    deficient = 0
    for i in done[~certain[done]].tolist():
        part = slice(int(offsets[i]), int(offsets[i + 1]))
        u = robust_uncertainty(Phi[part], None if w is None else w[part], cov[i], float(scale[i]))
        deficient += u.rank < k
    return deficient


def _ranges(samples: Sorted, values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each group's smallest and largest of ``values`` (the sorted samples' X, y or w): one
    row per group, NaN for a group without samples."""
    shape = (len(samples.counts),) + values.shape[1:]
    columns = values[:, None] if values.ndim == 1 else values
    low, high = zarn_robust.group_ranges(columns, samples.starts, samples.counts)
    return low.reshape(shape), high.reshape(shape)


@dataclass(frozen=True, eq=False)
class Batch:
    """The batched solve of groups of equal size, into ``out`` (see :meth:`fit`).

    ``penalty`` is the model's (unused by a method that ``projects``, "ols"),
    ``constant`` says which groups' targets are all equal (whose R^2 is 1), and ``spec``
    is the covariance type of ``cov_type`` (None: the method's own covariance).
    """

    samples: Sorted
    out: GroupArrays
    penalty: Penalty
    projects: bool
    constant: np.ndarray
    spec: CovSpec | None

    def fit(self, groups: np.ndarray, m: int) -> np.ndarray:
        """Fit the b ``groups`` of m samples each at once; returns which of them (a boolean
        mask) the batch leaves to the estimator's fit.

        The native kernel (:func:`zarn._native.zarn_robust.normal_fits`) solves each
        group's weighted normal equations ``A b = Phi'W y`` with ``A = G + S``:
        ``G = Phi'W Phi``, and S the penalty in the weights' units
        (:meth:`zarn._lstsq.Penalty.scaled`; none for "ols"), through the Cholesky factor
        of A, whose inverse is the unscaled covariance (OLS's ``(Phi'W Phi)^-1``, the
        penalised fit's posterior ``(Phi'W Phi + S)^-1``, and the bread of the other
        covariance types); the effective number of parameters is k, or
        ``trace(A^-1 G)``. Only groups whose G certainly has full rank with the margin of
        the penalised fit's normal equations are kept, so the solve loses at most about
        two digits to a QR factorisation; the residuals are summed as they are.
        """
        out = self.out
        b, k = len(groups), out.design.k
        X, y, w = self._rows(groups, m)
        # Each group's map, with the estimator's arithmetic (Design.map).
        Z = X * out.map_scale[groups][:, None, :]
        Z += out.offset[groups][:, None, :]
        Phi = out.design.matrix(Z.reshape(b * m, -1), X.reshape(b * m, -1))
        fits = _normal_fits(
            Phi,
            np.arange(0, (b + 1) * m, m),
            w,
            ACCURATE_MARGIN,
            y=y,
            penalty=None if self.projects else self.penalty.matrix(k, m),
            residuals=self.spec is not None,
        )
        coef, bread = fits["coef"], fits["inverse"].reshape(b, k, k)
        edf = np.full(b, float(k)) if self.projects else fits["edf"]
        df = residual_dof(m, np.minimum(edf, m))
        scale = _batched.scales(fits["rss"], df)
        with np.errstate(over="ignore", invalid="ignore"):
            if self.spec is None:
                cov = (scale * scale)[:, None, None] * bread
            else:
                # Column j of group p's design is P[p, :, j]: Phi is column-major.
                P = np.asarray(Phi).T.reshape(k, b, m).transpose(1, 2, 0)
                resid = fits["residuals"].reshape(b, m)
                cov = self._covariance(X, P, resid, w, bread, df)
            stderr = np.sqrt(np.diagonal(cov, axis1=1, axis2=2))
        keep = _certain(fits) & np.isfinite(coef).all(axis=1)
        r2 = _batched.r_squared(fits["rss"], fits["tss"], self.constant[groups])
        if not keep.all():
            groups, coef, stderr, cov, scale, r2 = (
                a[keep] for a in (groups, coef, stderr, cov, scale, r2)
            )
        out.coef[groups], out.stderr[groups], out.cov[groups] = coef, stderr, cov
        out.scale[groups], out.r2[groups] = scale, r2
        return np.asarray(~keep)

    def _covariance(
        self,
        X: np.ndarray,
        Phi: np.ndarray,
        resid: np.ndarray,
        w: np.ndarray | None,
        bread: np.ndarray,
        df: np.ndarray,
    ) -> np.ndarray:
        """The covariances (b, k, k) of the type ``spec`` around each group's ``bread``,
        from its residuals: in the order of its positions for the lagged types (HAC,
        ar1) of one feature, as the estimator orders them."""
        assert self.spec is not None  # only called for another covariance type
        if self.spec.name in LAGGED and X.shape[2] == 1:
            order = np.argsort(X[:, :, 0], axis=1, kind="stable")
            Phi = np.take_along_axis(Phi, order[:, :, None], axis=1)
            resid = np.take_along_axis(resid, order, axis=1)
            w = None if w is None else np.take_along_axis(w, order, axis=1)
        return np.asarray(covariance(self.spec, Phi, resid, bread, w, df).cov)

    def _rows(self, groups: np.ndarray, m: int) -> tuple[np.ndarray, np.ndarray, np.ndarray | None]:
        """The positions (b, m, d), targets and weights (b, m) of the groups: views where
        the groups lie one after another in the sorted samples (the common case)."""
        samples, b = self.samples, len(groups)
        index = _equal_rows(samples.starts[groups], m)
        X = samples.X[index].reshape(b, m, -1)
        y = samples.y[index].reshape(b, m)
        w = None if samples.w is None else samples.w[index].reshape(b, m)
        return X, y, w


def _normal_fits(
    Phi: np.ndarray,
    offsets: np.ndarray,
    w: np.ndarray | None,
    margin: float,
    y: np.ndarray | None = None,
    penalty: np.ndarray | None = None,
    residuals: bool = False,
) -> dict[str, np.ndarray]:
    """The native kernel's normal equations of the groups of rows of Phi (group i: rows
    ``offsets[i]:offsets[i + 1]`` of Phi, y and w, which may come as (b, m) arrays):
    each Gram matrix's test of full rank with ``margin`` and, given y, each group's fit
    (see :func:`zarn._native.zarn_robust.normal_fits`)."""
    return zarn_robust.normal_fits(
        Phi,
        None if y is None else y.ravel(),
        None if w is None else w.ravel(),
        offsets.tolist(),
        penalty,
        margin,
        residuals,
    )


def _certain(fits: dict[str, np.ndarray]) -> np.ndarray:
    """Which groups' Gram matrices certainly have full rank with the kernel's margin
    (``G - margin trace(G) I`` positive definite, as :func:`zarn._lstsq.certainly_full_rank`
    tests one), their traces of ordinary size."""
    trace = fits["trace"]
    return np.asarray(fits["certain"] & _batched.ordinary(trace) & (trace > 0.0))


def _equal_rows(starts: np.ndarray, m: int) -> np.ndarray | slice:
    """The rows of groups of m rows each that begin at ``starts``, one group after
    another: a slice where they lie so already (the common case), else an index."""
    first, b = int(starts[0]), len(starts)
    if (starts == first + m * np.arange(b)).all():
        return slice(first, first + b * m)
    return (starts[:, None] + np.arange(m)).ravel()


def _fit_alone(
    samples: Sorted, g: int, settings: Settings, out: GroupArrays, datetime_like: bool
) -> None:
    """Fit group g as the estimator fits it (:func:`zarn._fit.fit_series`), into ``out``
    (all but R^2, see :func:`_r_squared`); a group the method cannot fit stays NaN."""
    X, y, w = samples.group(g)
    try:
        with warnings.catch_warnings():
            # Counted for one warning of the whole call (see zarn.groups).
            warnings.simplefilter("ignore", RankWarning)
            series = fit_series(X, y, w, settings, datetime_like=datetime_like)
    except (ValueError, np.linalg.LinAlgError):
        return
    fit = series.fit
    u = fit.uncertainty
    out.coef[g], out.stderr[g], out.cov[g], out.scale[g] = fit.coef, u.stderr, u.cov, u.scale
    out.domain[g] = series.design.domain
    out.rank_deficient += int(u.rank < out.design.k or out.design.k > u.n_obs)
    if fit.outliers is not None and out.n_inliers is not None and out.inlier_mask is not None:
        mask = fit.outliers.inlier_mask
        out.n_inliers[g] = int(mask.sum())
        out.inlier_mask[samples.input_rows(g)] = mask


__all__ = [
    "Batch",
    "GroupArrays",
    "Sorted",
    "evaluate",
    "fit_grouped",
    "sort_samples",
]
