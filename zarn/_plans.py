"""What a block of series needs to be fitted, one plan per route of :func:`zarn.fit_many`.

A plan is built once per call from the shared positions and the model's checked
parameters, and shipped (small and picklable) to every worker. Its ``fit_block`` fits
the rows of a block (one series per row) into a packed array of :func:`width` rows, one
column per series: the k coefficients, their k standard errors, the upper triangle of
their covariance (k (k + 1) / 2 values, :mod:`zarn._trends`), then the degrees of freedom
of the intervals' quantile (``inf`` for the normal quantile), the S-estimate's scale
(robust fits), the residual scale, R^2, the MDL score, the number of samples used and the
number of inliers (:data:`DF` ... :data:`N_INLIERS` count from the end). One row per
quantity keeps every quantity of the results contiguous, written in place and handed out
without copies (:func:`fields`). A series with fewer usable samples than the plan's
``min_count`` is not fitted (NaN, with its count of samples); one that has enough but
that its method cannot fit gets NaN coefficients too (:func:`n_failed` counts them).

- :class:`LinearPlan` (methods whose fit is linear in y, :meth:`Method.shares_design
  <zarn._methods._base.Method.shares_design>`): shared and batched solves
  (:mod:`zarn._batched`) with the method object's solve and uncertainty; a series is
  fitted alone only where those would not serve.
- :class:`RobustPlan` (the robust method with fixed penalty weights): whole blocks on
  the native robust engine (:func:`zarn._robust_engine.fit_block`), packed as the
  estimator's robust fit reports them.
- :class:`EstimatorPlan` (penalty weights chosen per series): every series fitted alone,
  as the estimator fits it (:func:`zarn._fit.fit_series`).
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np

from zarn import _batched
from zarn._constants import EPS
from zarn._covtypes import CovSpec, covariance
from zarn._design import Design
from zarn._fit import fit_series
from zarn._harmonics import amplitude_phase
from zarn._lstsq import TINY, Penalty, r_factor, ranks_of, singular_values, weighted_rows
from zarn._methods import Method, method, penalty_of
from zarn._methods._base import auto, time_order
from zarn._methods.robust import Robust, fit_scaled, takes_h1
from zarn._robust_engine import fit_block as engine_block
from zarn._scores import mdl
from zarn._settings import Settings, seed_from
from zarn._trends import diagonal, pack, triangle_size, unpack
from zarn._uncertainty import (
    CovTypeUncertainty,
    Uncertainty,
    residual_dof,
    warn_if_rank_deficient,
)
from zarn.exceptions import FitWarning, RankWarning

# Packed rows after the coefficients, their standard errors and their covariance,
# counted from the end.
DF, S_SCALE, SCALE, R2, MDL, N_USED, N_INLIERS = -7, -6, -5, -4, -3, -2, -1
# What a series' own fit may raise when its data defeat the method (a system without a
# finite solution, coefficients beyond the range of doubles, arithmetic on degenerate
# samples): the series gets NaN, and the other series of its block are fitted still.
UNFITTABLE = (ValueError, ArithmeticError, np.linalg.LinAlgError)


def piece_size(n: int, width: int) -> int:
    """Series per piece of n samples whose largest product is (series, n) by (n, width):
    small enough for NumPy's BLAS to run it on the calling thread (see
    :data:`zarn._batched.SMALL_PRODUCT`)."""
    return max(16, _batched.SMALL_PRODUCT // max(n * width, 1))


# Series per block (one task of a worker) when no chunk size is given: about 2**21 values.
BLOCK_VALUES = 2**21
# Blocks per call of the estimator route, whose series each take a full fit (REML or GCV
# weights of their own): small blocks balance the load of the workers.
ESTIMATOR_BLOCKS = 64
# Values per block of the robust route: about 1,300 series of 100 samples, a few tenths of
# a second of the engine's time, long enough for its threads to share the series evenly
# and short enough for a progress bar to move and for workers to balance their load.
ROBUST_BLOCK_VALUES = 2**17
# The bound of _surely_full_rank must exceed this many EPS of the largest eigenvalue of
# the Gram matrix: far more than its rounding errors.
RANK_MARGIN = 1e4
# The residual sum of squares of a complete series is taken as the difference of two sums
# of squares when it is at least this share of the larger. The sums are exact to about
# n * 2**-53 of the larger, so the difference to n * 2**-37 of itself (1.5e-9 at n = 100;
# the statistics are held to 1e-8); else the residuals themselves are summed.
CANCELLATION = 2.0**-16
# Values per piece of the series with missing values or of extreme size: arrays of
# (series, samples) of 1 MB, which stay in cache through the passes of a batched solve.
# The number of coefficients does not enter (the matrix products inside run in blocks of
# at most _batched.SMALL_PRODUCT multiply-adds): pieces of fewer series cost more calls
# of the interpreter, which threads fitting blocks at once wait for in turn (measured with
# 6 coefficients and 360 samples on one thread: 12 % more time at 121 series than at 364,
# 5 % more at 728).
INCOMPLETE_PIECE = 2**17
# A series with missing values joins the batched solve only when the leverages of its
# missing samples sum to at most this: its Gram matrix in the orthonormal basis of the
# full design then has eigenvalues in [1 - LEVERAGE_LIMIT, 1], a condition number <= 100,
# which costs at most two of the digits of a solve through a QR factorisation. (A limit
# of 0.9 sent six times as many series of 10 % random gaps, n = 100, to single fits.)
LEVERAGE_LIMIT = 0.99


def width(k: int) -> int:
    """Packed values per series of a fit of k coefficients."""
    return 2 * k + triangle_size(k) - DF


def covariance_rows(k: int) -> slice:
    """The packed rows of the covariance's upper triangle of a fit of k coefficients."""
    return slice(2 * k, 2 * k + triangle_size(k))


def fields(packed: Any, plan: Plan) -> dict[str, Any]:
    """The named quantities of packed fits (..., width), views along the last axis:
    ``coef`` and ``stderr`` (..., p) of the polynomial's p columns, ``harmonic_coef`` and
    ``harmonic_stderr`` (..., 2 harmonics) of the harmonics' (with harmonics), ``scale``,
    ``r2``, ``n_used`` (int64), ``cov`` (..., k (k + 1) / 2, packed, of all k columns),
    ``df``, and ``mdl``, ``s_scale`` and ``n_inliers`` (int64) where the plan computes
    them."""
    k, p = plan.k, plan.design.n_poly
    out = {
        "coef": packed[..., :p],
        "stderr": packed[..., k : k + p],
    }
    if plan.design.harmonics:
        out["harmonic_coef"] = packed[..., p:k]
        out["harmonic_stderr"] = packed[..., k + p : 2 * k]
    out.update(
        scale=packed[..., SCALE],
        r2=packed[..., R2],
        n_used=packed[..., N_USED].astype(np.int64),
        cov=packed[..., covariance_rows(k)],
        df=packed[..., DF],
    )
    if plan.scores:
        out["mdl"] = packed[..., MDL]
    if plan.method.flags_outliers:
        out["s_scale"] = packed[..., S_SCALE]
        out["n_inliers"] = packed[..., N_INLIERS].astype(np.int64)
    return out


HARMONIC_FIELDS = ("amplitude", "phase", "amplitude_stderr", "phase_stderr")


def harmonic_fields(packed: Any, plan: Plan) -> dict[str, Any]:
    """Each harmonic's amplitude and phase with their standard errors (...,
    harmonics), from packed fits with harmonics (:func:`zarn._harmonics.amplitude_phase`;
    lazy, block by block, for a Dask array)."""
    h = plan.design.harmonics

    def block(values: np.ndarray) -> np.ndarray:
        k, p = plan.k, plan.design.n_poly
        cov = unpack(values[..., covariance_rows(k)], k)[..., p:, p:]
        return np.concatenate(amplitude_phase(values[..., p:k], cov), axis=-1)

    if isinstance(packed, np.ndarray):
        out = block(packed)
    else:
        chunks = packed.chunks[:-1] + ((4 * h,),)
        out = packed.map_blocks(block, chunks=chunks, dtype=np.float64)
    return {name: out[..., i * h : (i + 1) * h] for i, name in enumerate(HARMONIC_FIELDS)}


def store_uncertainty(u: Uncertainty, out: np.ndarray) -> None:
    """Write a single fit's standard errors, covariance, quantile's degrees of freedom
    (``inf`` for the normal quantile) and scale into its packed column ``out``."""
    stderr = u.stderr
    k = len(stderr)
    out[k : 2 * k] = stderr
    with np.errstate(over="ignore", invalid="ignore"):  # the standard errors stay exact
        out[covariance_rows(k)] = pack(u.cov)
    out[DF] = u.quantile_df
    out[SCALE] = u.scale


def make_plan(
    X: np.ndarray,
    settings: Settings,
    skipna: bool,
    scores: bool,
    sample_weight: np.ndarray | None = None,
    datetime_like: bool = False,
    min_count: int | None = 1,
) -> Plan:
    """The plan of the model's checked ``settings`` for the finite positions X (n, d).

    ``scores``: whether to compute the MDL score of every series. ``sample_weight``:
    checked weights shared by every series, or None; the samples of zero weight are left
    out of every fit (but the domain is that of all positions, as for the estimator).
    ``datetime_like``: X holds converted dates or durations (the harmonics' default
    period is then a year). ``min_count``: the fewest usable samples of a series that is
    fitted (None: one more than the coefficients, for one residual degree of freedom).
    """
    design = Design.from_data(X, settings, datetime_like=datetime_like)
    fitter = method(settings.method)
    least = design.k + 1 if min_count is None else min_count
    keep = None
    if sample_weight is not None and not (sample_weight > 0.0).all():
        keep = np.flatnonzero(sample_weight > 0.0)
        X, sample_weight = X[keep], sample_weight[keep]
    # The linear route computes every covariance type from its residuals, batched.
    classic = settings.replace(cov_type=None, cov_kwds=None)
    if not fitter.shares_design(classic):
        # One seed for every series, so that n_jobs cannot change it.
        seed = seed_from(settings.random_state)
        Phi = design.columns(X)
        rank = singular_values(r_factor(weighted_rows(Phi, np.ones(len(X)), sample_weight).Phi))[1]
        common = (design, skipna, scores, keep, least, fitter, sample_weight, rank)
        if isinstance(fitter, Robust) and not auto(settings):
            huber = fitter.cov_spec(settings).name == "H1"
            penalty = penalty_of(design, settings)
            return RobustPlan(*common, Phi, penalty, settings.H, seed, huber)
        # The shared domain and period.
        fixed = settings.replace(domain=design.domain, random_state=seed, period=design.period)
        return EstimatorPlan(*common, X, fixed)
    Phi = design.columns(X)
    spec = None if fitter.classic_covariance(settings) else fitter.cov_spec(settings)
    penalty = penalty_of(design, settings)
    # The fit of weighted samples is the plain fit of the rows sqrt(w) phi and sqrt(w) y,
    # with the penalties' n the sum of the weights (see zarn._methods.penalized).
    rows = weighted_rows(Phi, np.ones(len(Phi)), sample_weight)
    sw = None if sample_weight is None else rows.y  # sqrt(w), in the units of rows
    scaled = penalty.scaled(rows.total / rows.n_obs)
    Q, C, full_rank = _batched.shared_operator(fitter, rows.Phi, scaled)
    u = fitter.design_uncertainty(r_factor(rows.Phi), len(rows.Phi), scaled)
    # Projections of the unweighted data: Q'(sqrt(w) y) = (sqrt(w) Q)'y.
    Qy = Q if sw is None else Q * sw[:, None]
    return LinearPlan(
        design=design,
        skipna=skipna,
        scores=scores,
        keep=keep,
        min_count=least,
        method=fitter,
        Phi=Phi,
        Phi_w=rows.Phi,
        sw=sw,
        unit=rows.unit,
        weights=sample_weight,
        H=settings.H,
        penalty=penalty,
        Q=Q,
        Qt=np.ascontiguousarray(Qy.T),
        C=C,
        Rq=Q.T @ rows.Phi,
        full_rank=full_rank,
        unit_stderr=np.sqrt(np.diagonal(u.cov_unscaled)),
        unit_cov=pack(u.cov_unscaled),
        df_resid=u.df_resid,
        rank=u.rank,
        cov_spec=spec,
        order=None if spec is None else time_order(X, spec),
    )


def warn_if_deficient(plan: Plan, n_series: int, stacklevel: int = 2) -> None:
    """One :class:`zarn.exceptions.RankWarning` for the call where the shared design
    cannot determine every coefficient of its ``n_series`` series."""
    warn_if_rank_deficient(plan.rank, plan.k, plan.n_obs, stacklevel + 1, series=n_series)


def warn_if_failed(failed: int, total: int, stacklevel: int = 2) -> None:
    """One :class:`zarn.exceptions.FitWarning` for the call of ``total`` series of which
    ``failed`` (:func:`n_failed`) could not be fitted, if any."""
    if failed:
        warnings.warn(
            f"{failed} of {total} series could not be fitted; their coefficients are NaN",
            FitWarning,
            stacklevel=stacklevel + 1,
        )


def kept(Yt: np.ndarray, keep: np.ndarray | None) -> np.ndarray:
    """The samples (columns of Yt) of positive weight."""
    return Yt if keep is None else Yt[:, keep]


def usable_counts(finite: np.ndarray, skipna: bool) -> np.ndarray:
    """The samples each series (row of ``finite``) may use: its finite values, or none
    where one is missing and ``skipna`` is False."""
    counts = finite.sum(axis=1)
    return np.where(skipna | (counts == finite.shape[1]), counts, 0)


def n_failed(packed: np.ndarray, plan: Plan) -> int:
    """Series of the packed fits (..., width) that had the plan's ``min_count`` usable
    samples (at least one) yet got no coefficients: those their method could not fit."""
    used = packed[..., N_USED]
    return int(np.count_nonzero((used >= max(plan.min_count, 1)) & np.isnan(packed[..., 0])))


def not_fitted(out: np.ndarray) -> np.ndarray:
    """Fill the packed columns ``out`` (width, m) as series not fitted: NaN, with no sample
    used and no inlier."""
    out[:N_USED] = np.nan
    out[N_USED:] = 0.0
    return out


def _columns(Yt: np.ndarray, s: int, piece: int, Z: np.ndarray) -> np.ndarray:
    """The series ``s`` to ``s + piece`` of Yt (rows), one per column (n, p): a view, or
    a contiguous copy in the buffer Z where they are columns of an array with the samples
    along its first axis (the usual layout of a time-first cube), for which the copy
    makes the products and sums that read them faster than it costs (measured at n = 360:
    a fifth less time with 2 coefficients, a third with 6)."""
    P = Yt[s : s + piece].T
    if P.flags.c_contiguous or P.flags.f_contiguous:
        return P
    Zp = Z[:, : P.shape[1]]
    np.copyto(Zp, P)
    return Zp


class _SharedDesign:
    """What every plan tells about its shared design: the number of coefficients and
    of shared samples of positive weight (the rows of ``Phi``)."""

    design: Design
    Phi: np.ndarray

    @property
    def k(self) -> int:
        return self.design.k

    @property
    def n_obs(self) -> int:
        """Shared samples of positive weight."""
        return len(self.Phi)


@dataclass(frozen=True, eq=False)
class LinearPlan(_SharedDesign):
    """The ``"ols"`` and ``"penalized"`` route: shared solve operator and statistics."""

    threaded = True  # its blocks are NumPy's work, which threads can share

    design: Design
    skipna: bool
    scores: bool  # compute the MDL scores
    keep: np.ndarray | None  # the samples of positive weight, where some weight is zero
    min_count: int  # the fewest usable samples of a series that is fitted
    method: Method
    Phi: np.ndarray  # design matrix at the shared positions (n, k) of positive weight
    Phi_w: np.ndarray  # its rows times sqrt(w), in the units below (Phi without weights)
    sw: np.ndarray | None  # sqrt(w / unit**2) of each sample, or None without weights
    unit: float  # scales of weighted rows times this are those of an observation of weight 1
    weights: np.ndarray | None  # the sample weights of positive weight, as given
    H: int
    penalty: Penalty  # as given: each fit's n is the sum of its samples' weights
    Q: np.ndarray  # orthonormal basis of the weighted design's columns (n, r), Q[:, 0] ~ sw
    Qt: np.ndarray  # (sw Q).T, contiguous: Qt @ y = Q'(sw y)
    C: np.ndarray  # the fit of each column of Q (k, r)
    Rq: np.ndarray  # Q.T @ Phi_w (r, k): fitted values in the basis Q
    full_rank: bool
    unit_stderr: np.ndarray  # standard errors of a complete series' fit of scale 1 (k,)
    unit_cov: np.ndarray  # its covariance, packed (k (k + 1) / 2,)
    df_resid: float  # residual degrees of freedom of a complete series
    rank: int  # numerical rank of the weighted design
    cov_spec: CovSpec | None = None  # a covariance type other than the method's own
    order: np.ndarray | None = None  # the samples in time order, where they are not

    @property
    def cov_type(self) -> str:
        """The name of the covariance type."""
        return self.method.cov_types[0] if self.cov_spec is None else self.cov_spec.name

    def block_size(self, m: int, n: int) -> int:
        """Series per block by default: about ``BLOCK_VALUES`` values."""
        return max(1, BLOCK_VALUES // max(n, 1))

    def fit_block(self, Yt: np.ndarray, out: np.ndarray | None = None) -> np.ndarray:
        """The packed fits (width, n_series) of the rows of Yt (n_series, n), into ``out``.

        Every series is first taken as complete: the matrix products and sums of squares
        run piece by piece (:meth:`_project`), in the layout given, and the statistics
        once for the block (:meth:`_complete`). A series with a missing value or values of
        extreme size is then fitted by :meth:`_incomplete`.
        """
        Yt = kept(Yt, self.keep)
        m, n = Yt.shape
        k = self.k
        out = np.empty((width(k), m)) if out is None else out
        if n < self.min_count:  # no series has enough samples
            not_fitted(out)[N_USED] = usable_counts(np.isfinite(Yt), self.skipna)
            return out
        with np.errstate(over="ignore", invalid="ignore"):
            D, y0, ss = self._project(Yt)
            shared = self._complete(Yt, D, y0, ss, out)
        if self.cov_spec is not None and shared.any():
            rows = np.flatnonzero(shared)
            bread = unpack(self.unit_cov, k)
            self._cov_type(Yt[rows], out[:k, rows].T, bread, None, self.df_resid, out, rows)
        if not shared.all():
            rest = np.flatnonzero(~shared)
            self._incomplete(Yt[rest], out, rest)
        return out

    def _cov_type(
        self,
        Y: np.ndarray,
        coef: np.ndarray,
        bread: np.ndarray,
        W: np.ndarray | None,
        df_resid: Any,
        out: np.ndarray,
        rows: np.ndarray,
    ) -> None:
        """The covariances of the type ``cov_spec`` (:func:`zarn._covtypes.covariance`) of
        series (rows of Y, 0.0 where W is 0.0) with coefficients ``coef`` (m, k), their
        covariance over the scale squared ``bread`` ((k, k) shared, or (m, k, k)), used
        samples W (1.0 or 0.0; None: all) and residual degrees of freedom: their standard
        errors, covariances and quantiles' degrees of freedom into the columns ``rows``
        of ``out``. The breads are in the units of the weighted rows, and so the weights
        given with them (``sw**2``)."""
        k = self.k
        with np.errstate(over="ignore", invalid="ignore"):
            resid = Y - coef @ self.Phi.T
        w = None if self.sw is None else self.sw * self.sw
        if W is not None:
            w = W if w is None else W * w
        Phi = self.Phi
        if self.order is not None:
            Phi, resid = Phi[self.order], resid[:, self.order]
            w = None if w is None else w[..., self.order]
        assert self.cov_spec is not None  # only called with a covariance type
        c = covariance(self.cov_spec, Phi, resid, bread, w, df_resid)
        out[k : 2 * k, rows] = c.stderr.T
        with np.errstate(over="ignore", invalid="ignore"):
            out[covariance_rows(k), rows] = pack(c.cov).T
        out[DF, rows] = c.df

    def _project(self, Yt: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """The sums of every series (row of Yt) taken as complete, piece by piece:
        ``D = Q'(sw y)`` (sw: the square roots of the weights, 1 without), a shift ``y0``
        and ``||sw (y - y0)||^2``. NaN or infinity where a series is not complete.

        The shift is 0 where the sums of squares of y itself keep enough digits for the
        residual sum of squares (``||y||^2 - ||D||^2`` at least ``CANCELLATION`` of
        ``||y||^2``); otherwise (a mean far from 0 against the noise, or weights) it is
        each series' first value, and the pieces of such series are read again and summed
        shifted. The first pass makes three calls per piece, the checks run once for the
        block: threads fitting other blocks wait for the interpreter's lock at each call.
        """
        m, n = Yt.shape
        r = self.Qt.shape[0]
        piece = piece_size(n, r)
        D, y0, ss = np.empty((r, m)), np.zeros(m), np.empty(m)
        Z = np.empty((n, min(piece, m)))  # a piece's contiguous copy, or its shifted values
        starts = np.arange(0, m, piece)
        for s in starts.tolist():
            P = _columns(Yt, s, piece, Z)
            np.matmul(self.Qt, P, out=D[:, s : s + piece])
            if self.sw is None:
                np.einsum("ij,ij->j", P, P, out=ss[s : s + piece])
        if self.sw is None:
            kept_digits = ss - np.einsum("ij,ij->j", D, D) >= CANCELLATION * ss
            starts = starts[~np.logical_and.reduceat(kept_digits | ~np.isfinite(ss), starts)]
        for s in starts.tolist():  # the pieces whose sums are taken again, shifted
            P = _columns(Yt, s, piece, Z)
            e = s + P.shape[1]
            y0[s:e] = P[0]
            Zp = np.subtract(P, y0[s:e], out=Z[:, : e - s])
            if self.sw is not None:
                Zp *= self.sw[:, None]
            np.einsum("ij,ij->j", Zp, Zp, out=ss[s:e])
        return D, y0, ss

    def _complete(
        self, Yt: np.ndarray, D: np.ndarray, y0: np.ndarray, ss: np.ndarray, out: np.ndarray
    ) -> np.ndarray:
        """The fits and statistics of the series taken as complete, into ``out``; returns
        which series are complete and of ordinary size, the only ones these results are
        for.

        With the sums of :meth:`_project`: the coefficients are ``C D``. Q's first column
        is sw times a constant, so a NaN or an infinity anywhere in a series makes
        ``D[0]`` non-finite. With ``z = sw (y - y0)`` and ``d = Q'z = D - Q'sw y0``, the
        residual sum of squares of the projection onto the columns of Q is ``||z||^2 -
        ||d||^2``, that of
        the fit this plus the part inside, ``||D - Q'Phi_w b||^2`` (0 for ``"ols"`` of full
        rank), and the (weighted) sum of squares about the (weighted) mean is the former
        plus ``sum(d[1:]**2)`` (0 for a constant series, whose R^2 is 1). Where the
        difference is less than ``CANCELLATION`` of ``||z||^2`` (a fit that explains
        nearly all of ``z``), the residuals are summed instead. Of ordinary size:
        ``max(|y0|, ||z||)`` within ``ORDINARY``, or y all zero; the sums of squares of the
        others may have left the range of doubles.
        """
        n, k = Yt.shape[1], self.k
        d = D - np.outer(self.Qt.sum(axis=1), y0) if y0.any() else D
        coef = out[:k]
        _batched.product(self.C, D, out=coef)
        inside = None
        if not self.method.projects or not self.full_rank:
            G = _batched.product(self.Rq, coef)
            G -= D
            inside = np.einsum("ij,ij->j", G, G)
        if self.scores:  # piece by piece, whose sorts run in cache
            piece = piece_size(n, k)
            for s in range(0, len(Yt), piece):
                part = np.ascontiguousarray(coef[:, s : s + piece].T)
                out[MDL, s : s + piece] = _batched.mdl_rows(self, part, Yt[s : s + piece], None)
        explained = np.einsum("ij,ij->j", d[1:], d[1:])
        outside = ss - d[0] * d[0] - explained
        # ss is 0 exactly for a constant series (y - y0 cannot underflow at ordinary size):
        # it lies in the columns of Q, with nothing outside and nothing to explain.
        constant = ss == 0.0
        outside[constant] = explained[constant] = 0.0
        rough = np.flatnonzero(~(outside >= CANCELLATION * ss) & np.isfinite(d[0]))
        if rough.size:
            coef = out[:k, rough]
            res = coef.T @ self.Phi.T
            res -= Yt[rough]
            if self.sw is not None:
                res *= self.sw
            rss_rough = np.einsum("ij,ij->i", res, res)
            outside[rough] = rss_rough if inside is None else rss_rough - inside[rough]
        outside = np.maximum(outside, 0.0)
        rss = outside if inside is None else outside + inside
        size = np.maximum(np.abs(y0), np.sqrt(ss))
        shared = _batched.ordinary(size)
        zero = np.flatnonzero(size == 0.0)  # all zero, or too small to square
        if zero.size:
            shared[zero] = ~Yt[zero].any(axis=1)
        tss = outside + explained
        scale = _batched.scales(rss, self.df_resid)  # in the units of the weighted rows
        np.multiply(self.unit_stderr[:, None], scale, out=out[k : 2 * k])
        with np.errstate(over="ignore"):  # the standard errors stay exact
            np.multiply(self.unit_cov[:, None], scale * scale, out=out[covariance_rows(k)])
        out[DF] = self.df_resid
        out[S_SCALE] = np.nan
        out[SCALE] = scale * self.unit
        out[R2] = _batched.r_squared(rss, tss, constant)
        if not self.scores:
            out[MDL] = np.nan
        out[N_USED] = n
        out[N_INLIERS] = 0.0
        return shared

    def _incomplete(self, Yt: np.ndarray, out: np.ndarray, rows: np.ndarray) -> None:
        """Series (rows of Yt, written to the columns ``rows`` of ``out``) with missing or
        infinite values, or values of extreme size, piece by piece. Those of extreme size
        are fitted alone (which rescales them); a series with missing values takes the
        batched solve when its missing samples carry little leverage, and is otherwise
        fitted alone.
        """
        piece = max(16, INCOMPLETE_PIECE // Yt.shape[1])
        for s in range(0, len(rows), piece):
            part = Yt[s : s + piece]
            packed = not_fitted(np.empty((out.shape[0], len(part))))
            self._incomplete_piece(part, packed)
            out[:, rows[s : s + piece]] = packed

    def _incomplete_piece(self, Yt: np.ndarray, out: np.ndarray) -> None:
        Yt = np.array(Yt, dtype=np.float64, order="C")  # own copy, one series per row
        n = Yt.shape[1]
        finite = np.isfinite(Yt)
        Yt[~finite] = np.nan  # infinity is treated as missing
        counts = usable_counts(finite, self.skipna)
        finite[counts == 0] = False
        with np.errstate(invalid="ignore"):  # rows without values
            high, low = np.fmax.reduce(Yt, axis=1), np.fmin.reduce(Yt, axis=1)
        shared = _batched.ordinary(np.maximum(np.abs(high), np.abs(low)))
        out[N_USED] = counts
        fitted = counts >= self.min_count
        alone = np.flatnonzero(fitted & ~shared)
        partial = np.flatnonzero(fitted & shared & (counts < n))
        if partial.size and self.full_rank:
            W = finite[partial].astype(np.float64)
            lev = np.einsum("ij,ij->i", self.Q, self.Q)
            missing_leverage = lev.sum() - W @ lev
            few = missing_leverage <= LEVERAGE_LIMIT
            alone = np.concatenate([alone, partial[~few]])
            partial, W = partial[few], W[few]
            try:
                self._batched(Yt[partial], W, high[partial] == low[partial], out, partial)
            except np.linalg.LinAlgError:  # a penalised system not positive definite
                alone = np.concatenate([alone, partial])
        else:
            alone = np.concatenate([alone, partial])
        self._alone(Yt[alone], finite[alone], out, alone)

    def _batched(
        self, Yt: np.ndarray, W: np.ndarray, constant: np.ndarray, out: np.ndarray, rows: Any
    ) -> None:
        """Series with a few missing values (W: 1.0 where used, else 0.0): one batched
        solve (:func:`_batched.partial_fits`)."""
        if not len(rows):
            return
        k = self.k
        Y0 = np.where(W > 0.0, Yt, 0.0)
        coef, cov, df_resid, counts = _batched.partial_fits(self, Y0, W)
        Ws = W if self.sw is None else W * self.sw  # square roots of the weights used
        res = _batched.product(coef.T, self.Phi.T)
        res -= Y0
        res *= Ws
        rss = np.einsum("ij,ij->i", res, res)
        scale = _batched.scales(rss, df_resid)  # in the units of the weighted rows
        tss = _batched.centred_sums(Y0, Ws, self.sw is None)
        out[:k, rows] = coef
        out[k : 2 * k, rows] = scale * np.sqrt(diagonal(cov.T, k).T)
        out[covariance_rows(k), rows] = cov * (scale * scale)
        out[DF, rows] = df_resid
        out[SCALE, rows] = scale * self.unit
        out[R2, rows] = _batched.r_squared(rss, tss, constant)
        if self.scores:
            out[MDL, rows] = _batched.mdl_rows(self, coef.T, Yt, counts.astype(np.int64))
        if self.cov_spec is not None:
            self._cov_type(Y0, coef.T, unpack(cov.T, k), W, df_resid, out, rows)

    def _alone(self, Yt: np.ndarray, used: np.ndarray, out: np.ndarray, rows: np.ndarray) -> None:
        """Series fitted one by one on their own samples, as the estimator fits them.

        Series of huge or tiny values take this route, which rescales them. A fit whose
        coefficients leave the range of doubles gives NaN, not an error that would stop
        the other series.
        """
        k = self.k
        for y, keep, i in zip(Yt, used, rows):
            # The estimator's layout of the design matrix (the core's, column-major), for
            # the same rounding in the factorisations.
            Phi, y = np.asfortranarray(self.Phi[keep]), y[keep]
            w = None if self.weights is None else self.weights[keep]
            try:
                coef, u = self.method.fit_rows(Phi, y, w, self.penalty)
            except UNFITTABLE:
                continue  # NaN, with the samples it had
            if self.cov_spec is not None:
                u = CovTypeUncertainty(u, self.cov_spec, Phi, y, coef, w, self._order_of(keep))
            yp = Phi @ coef
            out[:k, i] = coef
            store_uncertainty(u, out[:, i])
            out[R2, i] = _batched.r_squared_one(y, yp, w)
            if self.scores:
                out[MDL, i] = mdl(yp, y, coef, self.H, self.penalty)

    def _order_of(self, used: np.ndarray) -> np.ndarray | None:
        """The time order of a series' used samples (True in ``used``), as indices of
        them, or None where they are in order."""
        if self.order is None:
            return None
        position = np.cumsum(used) - 1  # each used sample's index among the used
        return np.asarray(position[self.order[used[self.order]]])


@dataclass(frozen=True, eq=False)
class RobustPlan(_SharedDesign):
    """The robust route with fixed penalty weights: every block of series in one call of
    the native robust engine, with the estimator's design, penalty, seed and sample
    weights, so that each series' results are those of the estimator's fit of it alone.

    Series of extreme size (a largest |y| that the estimator scales by a power of two)
    are fitted alone by the estimator's own :func:`zarn._methods.robust.fit_scaled`.
    """

    threaded = True  # the engine releases the interpreter lock

    design: Design
    skipna: bool
    scores: bool
    keep: np.ndarray | None  # the samples of positive weight, where some weight is zero
    min_count: int
    method: Method
    weights: np.ndarray | None  # the sample weights of positive weight, or None
    rank: int  # numerical rank of the weighted design
    Phi: np.ndarray  # design matrix at the shared positions (n, k) of positive weight
    penalty: Penalty
    H: int
    seed: int  # drawn once per call: every series uses it
    huber: bool = False  # Huber's H1 covariance with normal quantiles (cov_type="H1")

    def block_size(self, m: int, n: int) -> int:
        """Series per block by default: about ``ROBUST_BLOCK_VALUES`` values."""
        return max(1, ROBUST_BLOCK_VALUES // max(n, 1))

    def fit_block(self, Yt: np.ndarray, out: np.ndarray | None = None) -> np.ndarray:
        """The packed fits (width, n_series) of the rows of Yt (n_series, n)."""
        Y = np.array(kept(Yt, self.keep), dtype=np.float64, order="C")  # own copy
        m, n = Y.shape
        out = not_fitted(np.empty((width(self.k), m)) if out is None else out)
        finite = np.isfinite(Y)
        np.copyto(Y, np.nan, where=~finite)  # infinity is treated as missing
        out[N_USED] = counts = usable_counts(finite, self.skipna)
        rows = np.flatnonzero(counts >= self.min_count)
        with np.errstate(invalid="ignore"):  # rows without values
            top = np.fmax(np.fmax.reduce(Y, axis=1), -np.fmin.reduce(Y, axis=1))[rows]
        ordinary = _batched.ordinary(top)
        shared, alone = rows[ordinary], rows[~ordinary]
        if shared.size == m:  # every series: no copies of its rows
            self._shared(Y, finite, out, shared)
        elif shared.size:
            self._shared(Y[shared], finite[shared], out, shared)
        for i in alone:
            self._alone(Y[i], finite[i], out[:, i])
        return out

    def _shared(self, Y: np.ndarray, used: np.ndarray, out: np.ndarray, rows: np.ndarray) -> None:
        """Series of ordinary size (rows of Y, NaN where missing): one call of the engine."""
        p = self.penalty
        try:
            fit = engine_block(
                self.Phi,
                Y,
                sample_weight=self.weights,
                R1=p.R1,
                R2=p.R2,
                gamma1=p.gamma1,
                gamma2=p.gamma2,
                ridge=p.ridge,
                seed=self.seed,
            )
        except UNFITTABLE:  # each series alone, so that only those at fault fail
            for j, i in enumerate(rows):
                self._alone(Y[j], used[j], out[:, i])
            return
        cov = fit.cov_h1 if self._h1 else fit.cov
        packed = np.empty((out.shape[0], len(Y)))
        packed[N_USED] = out[N_USED, rows]
        self._pack(
            packed,
            fit.coef,  # NaN where the engine found no fit (FAILED)
            cov,
            fit.scale,
            fit.s_scale,
            np.ones(len(Y)),
            fit.inlier_mask.sum(axis=1),
            Y,
            used,
        )
        out[:, rows] = packed

    def _alone(self, y: np.ndarray, used: np.ndarray, out: np.ndarray) -> None:
        """A series fitted on its own samples as the estimator fits it (those of extreme
        size scaled by a power of two); NaN where that fit fails."""
        Phi = np.asfortranarray(self.Phi[used])  # the estimator's layout
        w = None if self.weights is None else self.weights[used]
        try:
            fit, s = fit_scaled(Phi, y[used], self.penalty, self.seed, w)
        except UNFITTABLE:
            return
        cov = fit.cov_h1 if self._h1 else fit.cov
        self._pack(
            out[:, None],  # a view
            fit.coef[None],
            cov[None],
            np.array([fit.scale]),
            np.array([fit.s_scale]),
            np.array([s]),
            np.array([fit.inlier_mask.sum()]),
            y[None],
            used[None],
        )

    @property
    def cov_type(self) -> str:
        """The name of the covariance type."""
        return "H1" if self.huber else "avar1"

    @property
    def _h1(self) -> bool:
        """Whether the fits take Huber's H1 covariance, as the estimator's do."""
        return takes_h1(self.penalty, self.huber)

    def _quantile_df(self, used: np.ndarray) -> np.ndarray:
        """Degrees of freedom of the quantiles of series using the samples ``used`` (m, n):
        ``inf`` (normal) for Huber's H1, else the samples less the rank of each one's
        weighted design (the shared one's for complete series), as the estimator's."""
        counts = used.sum(axis=1)
        if self.huber:
            return np.full(len(used), np.inf)
        rank = np.full(len(used), float(self.rank))
        rows = self.Phi if self.weights is None else self.Phi * np.sqrt(self.weights)[:, None]
        partial = np.flatnonzero(~used.all(axis=1))
        partial = partial[~_surely_full_rank(rows, used[partial])]
        piece = piece_size(rows.shape[0], rows.shape[1] ** 2)
        for s in range(0, len(partial), piece):
            part = partial[s : s + piece]
            values = np.linalg.svd(used[part, :, None] * rows, compute_uv=False)
            rank[part] = ranks_of(values, counts[part], rows.shape[1])
        return np.asarray(residual_dof(counts, rank))

    def _pack(
        self,
        out: np.ndarray,
        coef: np.ndarray,
        cov: np.ndarray,
        scale: np.ndarray,
        s_scale: np.ndarray,
        unit: np.ndarray,
        inliers: np.ndarray,
        Y: np.ndarray,
        used: np.ndarray,
    ) -> None:
        """The packed columns ``out`` of the engine's fits of the rows of Y / ``unit`` (a
        power of two per series; NaN where a sample is not ``used``): their coefficients
        (m, k), their covariances (m, k, k), their final and S scales and inlier counts,
        with the estimator's arithmetic (:func:`zarn._methods.robust.robust_uncertainty`):
        the covariance is ``(scale unit)**2 (cov / scale**2)`` and the standard errors
        ``(scale unit) sqrt(var / scale**2)`` (divided by the squared scale only where the
        scale is positive); the quantiles' degrees of freedom by :meth:`_quantile_df`."""
        k = self.k
        tri = pack(cov)
        with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
            real = coef * unit[:, None]
            unscaled = np.where(scale[:, None] > 0.0, tri / (scale * scale)[:, None], tri)
            out[k : 2 * k] = ((scale * unit)[:, None] * np.sqrt(diagonal(unscaled, k))).T
            relative = scale * unit
            out[covariance_rows(k)] = (unscaled * (relative * relative)[:, None]).T
            out[S_SCALE] = s_scale * unit
            out[SCALE] = scale * unit
        out[DF] = self._quantile_df(used)
        out[:k] = real.T
        out[N_INLIERS] = inliers
        scaled = Y if np.all(unit == 1.0) else Y / unit[:, None]
        out[R2] = self._r_squared(coef, scaled, used)
        # No fit, or coefficients beyond the range of doubles (the estimator's fit raises).
        bad = ~np.isfinite(real).all(axis=1)
        if self.scores:
            for j in np.flatnonzero(~bad):
                y, b = Y[j, used[j]], real[j]
                yp = np.asfortranarray(self.Phi[used[j]]) @ b  # the estimator's layout
                out[MDL, j] = mdl(yp, y, b, self.H, self.penalty)
        out[:N_USED, bad] = np.nan
        out[N_INLIERS, bad] = 0.0

    def _r_squared(self, coef: np.ndarray, Ys: np.ndarray, used: np.ndarray) -> np.ndarray:
        """R^2 of the fits ``coef`` of the rows of ``Ys`` on their ``used`` samples,
        weighted by the sample weights (relative to the largest, which keeps the sums in
        range), all outliers included; 1.0 for a constant series."""
        W = used.astype(np.float64)
        if self.weights is not None:
            W *= np.sqrt(self.weights / self.weights.max())
        Y0 = np.where(used, Ys, 0.0)
        with np.errstate(over="ignore", invalid="ignore"):
            res = coef @ self.Phi.T
            res -= Y0
            res *= W
            rss = np.einsum("ij,ij->i", res, res)
            tss = _batched.centred_sums(Y0, W, self.weights is None)
            high, low = np.fmax.reduce(Ys, axis=1), np.fmin.reduce(Ys, axis=1)
        return _batched.r_squared(rss, tss, high == low)


def _surely_full_rank(rows: np.ndarray, used: np.ndarray) -> np.ndarray:
    """Whether the rows (n, k) that each row of ``used`` (m, n) keeps surely have full
    column rank, singular values told apart from zero as :func:`zarn._lstsq.ranks_of`
    does: the smallest eigenvalue of all rows' Gram matrix less the squared norms of the
    rows left out bounds the kept rows' smallest squared singular value from below (Weyl's
    inequality), and their largest is at most all rows' largest. Where the bound is not far
    enough above the rank threshold, False: their singular values are then needed."""
    n, k = rows.shape
    if n < k:
        return np.zeros(len(used), dtype=bool)
    eigenvalues = np.linalg.eigvalsh(rows.T @ rows)
    left_out = (~used).astype(np.float64) @ np.einsum("ij,ij->i", rows, rows)
    # Far above the threshold's square (top k EPS)^2, and above the rounding errors of the
    # eigenvalues and of the sums (a few EPS of the largest eigenvalue).
    margin = RANK_MARGIN * EPS * eigenvalues[-1] + TINY
    return np.asarray(eigenvalues[0] - left_out > margin)


@dataclass(frozen=True, eq=False)
class EstimatorPlan(_SharedDesign):
    """Every series fitted alone as the estimator fits it (:func:`zarn._fit.fit_series`),
    with the model's settings, the shared domain and one seed: penalty weights chosen per
    series, for any method."""

    threaded = False  # its fits call the core, which holds the interpreter lock

    design: Design
    skipna: bool
    scores: bool
    keep: np.ndarray | None  # the samples of positive weight, where some weight is zero
    min_count: int
    method: Method
    weights: np.ndarray | None  # their sample weights, or None
    rank: int  # numerical rank of the weighted design
    X: np.ndarray  # the shared positions (n, d) of positive weight
    settings: Settings  # the model's settings, domain and seed fixed

    @property
    def n_obs(self) -> int:
        """Shared samples of positive weight."""
        return len(self.X)

    @property
    def cov_type(self) -> str:
        """The name of the covariance type."""
        return self.method.cov_spec(self.settings).name

    @property
    def seed(self) -> int:
        """The seed of every series' fit."""
        return int(self.settings.random_state)

    def block_size(self, m: int, n: int) -> int:
        """Series per block by default: ``ESTIMATOR_BLOCKS`` blocks in all."""
        return max(1, -(-m // ESTIMATOR_BLOCKS))

    def fit_block(self, Yt: np.ndarray, out: np.ndarray | None = None) -> np.ndarray:
        """The packed fits (width, n_series) of the rows of Yt (n_series, n), one by one."""
        Yt = np.asarray(kept(Yt, self.keep), dtype=np.float64)
        m, n = Yt.shape
        out = not_fitted(np.empty((width(self.k), m)) if out is None else out)
        finite = np.isfinite(Yt)
        out[N_USED] = counts = usable_counts(finite, self.skipna)
        for i in np.flatnonzero(counts >= self.min_count):
            self._fit_one(Yt[i], finite[i], out[:, i])
        return out

    def _fit_one(self, y: np.ndarray, used: np.ndarray, out: np.ndarray) -> None:
        X, y = self.X[used], y[used]
        w = None if self.weights is None else self.weights[used]
        try:
            with warnings.catch_warnings():
                # The count of samples per series is in the results (n_used).
                warnings.simplefilter("ignore", RankWarning)
                series = fit_series(X, y, w, self.settings)
        except UNFITTABLE:
            return  # NaN, with the samples it had
        fit, k = series.fit, self.k
        out[:k] = fit.coef
        store_uncertainty(fit.uncertainty, out)
        out[R2] = _batched.r_squared_one(y, series.design.predict(X, fit.coef), w)
        if self.scores:
            out[MDL] = series.mdl()
        if fit.outliers is not None:
            out[S_SCALE] = fit.outliers.s_scale
            out[N_INLIERS] = fit.outliers.inlier_mask.sum()
        else:
            out[N_INLIERS] = len(y)


Plan = LinearPlan | RobustPlan | EstimatorPlan
