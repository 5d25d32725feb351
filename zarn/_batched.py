"""Batched linear algebra of many series: the shared solve, batched solves, statistics, MDL.

The least-squares and penalised fits are linear in the data: with Q an orthonormal basis
of the design's columns, the fit of every series is ``C @ Q.T @ y``, where C holds the
fits of Q's columns (:func:`shared_operator`); the series share the design, and so the
unscaled covariance of their coefficients (the method's ``design_uncertainty``). Series with a few
missing values get a batched solve of their own normal equations, which gives their own
covariance on the way (:func:`partial_fits`). Residual scales, R^2 (:func:`r_squared`) and
the MDL scores (:func:`mdl_rows`, with the core's arithmetic) are computed for all series
of a block at once. :mod:`zarn._plans` decides which series take which route.
"""

from __future__ import annotations

import functools
import math
from typing import Any, Protocol

import numpy as np

from zarn._constants import MAD_TOLERANCE, ORDINARY
from zarn._lstsq import Penalty, power_of_two_scale
from zarn._methods import Method
from zarn._scores import Residuals
from zarn._trends import trace_of_product, triangle_indices
from zarn._uncertainty import residual_dof

# The design counts as of full column rank when its singular values lie within this ratio.
RANK_RTOL = 1e-10
# Multiply-adds of the largest matrix product run at once: OpenBLAS (NumPy's BLAS) runs
# such products on the calling thread, and larger ones on its own thread pool, whose
# hand-offs cost more than they gain for these thin products, most of all while blocks of
# series run on threads of their own (measured at n = 100: twice the time of a fit at
# 2**19, three times with missing values).
SMALL_PRODUCT = 2**18
# Unknowns up to which the batched solves eliminate over the whole batch at once
# (:func:`_forward_sweep`) rather than by LAPACK's calls per system: measured at 364
# systems, 3x faster at 2 unknowns, 1.6x at 6, about as fast at 12, twice as slow at 20.
SWEEP_LIMIT = 12


def product(A: np.ndarray, B: np.ndarray, out: np.ndarray | None = None) -> np.ndarray:
    """``A @ B`` in blocks of at most ``SMALL_PRODUCT`` multiply-adds: of B's columns where A
    is the smaller operand, else of A's rows."""
    out = np.empty((A.shape[0], B.shape[1])) if out is None else out
    if A.size <= B.size:
        step = max(1, SMALL_PRODUCT // max(A.size, 1))
        for s in range(0, B.shape[1], step):
            np.matmul(A, B[:, s : s + step], out=out[:, s : s + step])
    else:
        step = max(1, SMALL_PRODUCT // max(B.size, 1))
        for s in range(0, A.shape[0], step):
            np.matmul(A[s : s + step], B, out=out[s : s + step])
    return out


class SharedDesign(Protocol):
    """What the batched solves and scores read of a plan of series sharing a design
    (:class:`zarn._plans.LinearPlan`)."""

    @property
    def method(self) -> Method: ...
    @property
    def k(self) -> int: ...
    @property
    def H(self) -> int: ...  # noqa: N802 - the estimator's parameter
    @property
    def penalty(self) -> Penalty: ...
    @property
    def Phi(self) -> np.ndarray: ...  # noqa: N802
    @property
    def Phi_w(self) -> np.ndarray: ...  # noqa: N802
    @property
    def sw(self) -> np.ndarray | None: ...
    @property
    def Q(self) -> np.ndarray: ...  # noqa: N802
    @property
    def Qt(self) -> np.ndarray: ...  # noqa: N802
    @property
    def C(self) -> np.ndarray: ...  # noqa: N802


def shared_operator(
    method: Method, Phi: np.ndarray, penalty: Penalty
) -> tuple[np.ndarray, np.ndarray, bool]:
    """(Q, C, full_rank): an orthonormal basis Q (n, r) of the design's columns, the fits
    C (k, r) of Q's columns, and whether the design has full column rank.

    The fit is linear in y and depends on y only through its projection onto the columns
    of Phi, so fit(y) = fit(Q Q' y) = C Q' y. The first column of Phi is the constant
    basis function, so the first column of Q is constant too (which :func:`r_squared`'s
    callers use).
    """
    Q, _ = np.linalg.qr(Phi)
    C = np.column_stack([method.solve(Phi, np.ascontiguousarray(q), penalty) for q in Q.T])
    sv = np.linalg.svd(Phi, compute_uv=False)
    full_rank = Phi.shape[0] >= Phi.shape[1] and bool(sv[-1] > RANK_RTOL * sv[0])
    return Q, C, full_rank


def ordinary(top: np.ndarray) -> np.ndarray:
    """Which largest magnitudes are of ordinary size, or 0: only the series of those can
    share the solves and sums of squares without rescaling (NaN is not ordinary)."""
    return np.asarray(((top > ORDINARY[0]) & (top < ORDINARY[1])) | (top == 0.0))


def partial_fits(
    plan: SharedDesign, Y0: np.ndarray, W: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Fits of series (rows of Y0) with missing values, at once: ``(coef, cov, df_resid,
    counts)``, one row per quantity and one column per series (the layout of the packed
    results).

    ``W`` is 1.0 where a row's sample is used and 0.0 elsewhere, and ``Y0`` 0.0 where it is
    not; ``plan`` is a :class:`zarn._plans.LinearPlan` (``"ols"`` with a design of full
    rank, or ``"penalized"``), whose sample weights apply. ``coef`` (k, p) holds the
    coefficients, ``cov`` (k (k + 1) / 2, p) each series' unscaled covariance (that of the
    single fit on its own samples, in the units of the plan's weighted rows), packed
    (:func:`zarn._trends.pack`), ``df_resid`` its residual degrees of freedom and
    ``counts`` its number of samples.

    Each series' normal equations ``A b = B'W y`` (in the basis Q of the weighted design
    for ``"ols"``, where A is the identity less the missing samples' rank-one terms and
    well conditioned) are solved through the Cholesky factor L of A: with ``M = L^-1 E``
    and ``z = L^-1 B'W y``, the coefficients are ``M'z`` and the unscaled covariance ``M'M``,
    where E is C' (``"ols"``: the coefficients are
    ``C A^-1 Q'W y``) or the identity. The penalties' n is the sum of the series' weights.

    Raises
    ------
    numpy.linalg.LinAlgError
        When a penalised system is not numerically positive definite (the caller then
        fits those series one by one).
    """
    counts = W.sum(axis=1)
    sw = plan.sw
    projects = plan.method.projects
    if projects:
        B, By, E = plan.Q, plan.Qt, plan.C.T  # By = (sw Q)': y enters as sw y
    else:
        B, E = plan.Phi_w, np.eye(plan.k)
        By = (B if sw is None else B * sw[:, None]).T
    r, k = E.shape
    G = gram_matrices(B, W)
    # [A | B'W y | E] of every series, the series along the last axis.
    S = np.empty((r, r + 1 + k, len(Y0)))
    rows, cols = triangle_indices(r)
    S[rows, cols] = S[cols, rows] = G
    if not projects:
        R1, R2, gamma1, gamma2, ridge = plan.penalty
        total = counts if sw is None else W @ (sw * sw)
        # The ridge in the weights' units (see zarn._lstsq.Penalty.scaled).
        S[np.arange(r), np.arange(r)] += ridge if sw is None else ridge * total / counts
        if R1 is not None and gamma1 != 0.0:
            S[:, :r] += R1[:, :, None] * (total * gamma1)
        if R2 is not None and gamma2 != 0.0:
            S[:, :r] += R2[:, :, None] * (total * gamma2)
    product(By, Y0.T, out=S[:, r])
    S[:, r + 1 :] = E[:, :, None]
    Z = _forward_sweep(S, r)
    z, M = Z[:, 0], Z[:, 1:]
    coef = np.einsum("rp,rkp->kp", z, M)
    rows, cols = triangle_indices(k)
    cov = np.einsum("rtp,rtp->tp", M[:, rows], M[:, cols])
    # The rank (full here), or edf = trace(A^-1 G), where cov is A^-1 (E = I).
    edf = r if projects else trace_of_product(cov.T, G.T, r)
    return coef, cov, residual_dof(counts, edf), counts


def gram_matrices(B: np.ndarray, W: np.ndarray) -> np.ndarray:
    """``B' diag(w) B`` for each row w of W (p, n), packed: (r (r + 1) / 2, p).

    One matrix product of W with the packed products of B's columns: BLAS runs it in
    less time than a sum over the missing samples alone takes to find and gather their
    terms, except for many coefficients with very few missing samples.
    """
    rows, cols = triangle_indices(B.shape[1])
    terms = B[:, rows] * B[:, cols]  # (n, r (r + 1) / 2)
    return product(terms.T, W.T)


def _forward_sweep(S: np.ndarray, r: int) -> np.ndarray:
    """``L^-1 B`` (r, q, p) for the Cholesky factors L of the positive definite A, given
    ``S = [A | B]`` (r, r + q, p) of p systems along the last axis (overwritten).

    Up to ``SWEEP_LIMIT`` unknowns, one elimination step per row for the whole batch:
    row j of ``[L' | L^-1 B]`` is row j of the remaining S over the square root of its
    pivot, and the rows below lose its outer product. LAPACK's calls per system
    (:func:`_cholesky_forward`) take over beyond.

    Raises
    ------
    numpy.linalg.LinAlgError
        When a pivot is not positive (A not numerically positive definite).
    """
    if r > SWEEP_LIMIT:
        A, B = S[:, :r].transpose(2, 0, 1), S[:, r:].transpose(2, 0, 1)
        return _cholesky_forward(A, B).transpose(1, 2, 0)
    for j in range(r):
        pivot = S[j, j]
        if not (pivot > 0.0).all():
            raise np.linalg.LinAlgError("Matrix is not positive definite")
        row = S[j, j + 1 :]
        row /= np.sqrt(pivot)
        if j + 1 < r:
            S[j + 1 :, j + 1 :] -= row[: r - j - 1, None, :] * row[None, :, :]
    return S[:, r:]


def _cholesky_forward(A: np.ndarray, B: np.ndarray) -> np.ndarray:
    """``L^-1 B`` for the Cholesky factors L of the positive definite A (p, r, r); B (p, r, q).

    NumPy's LAPACK factorises the small matrices in one call; the forward substitution
    runs row by row over the whole batch (LAPACK's per-matrix calls cost more than the
    arithmetic at these sizes).
    """
    L = np.linalg.cholesky(A)
    Z = np.empty_like(B)
    for j in range(A.shape[1]):
        row = B[:, j, :]
        if j:
            row = row - np.einsum("pi,piq->pq", L[:, j, :j], Z[:, :j, :])
        Z[:, j, :] = row / L[:, j, j, None]
    return Z


def scales(rss: np.ndarray, df_resid: Any) -> np.ndarray:
    """Residual standard deviations ``sqrt(rss / df_resid)``; NaN without degrees of freedom."""
    df = np.broadcast_to(np.asarray(df_resid, dtype=np.float64), np.shape(rss))
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(df > 0.0, np.sqrt(rss / df), np.nan)


def r_squared(rss: np.ndarray, tss: np.ndarray, constant: np.ndarray) -> np.ndarray:
    """``1 - rss / tss``, and 1.0 for a constant series (as the estimator's score)."""
    with np.errstate(invalid="ignore", divide="ignore"):
        r2 = 1.0 - rss / tss
    r2[constant] = 1.0
    return np.asarray(r2)


def centred_sums(Y0: np.ndarray, Ws: np.ndarray, unweighted: bool) -> np.ndarray:
    """Sum of squares about the mean of each row's used values, weighted: ``Ws`` holds the
    square roots of the weights (0.0 where a value is not used, 1.0 for the others when
    ``unweighted``) and ``Y0`` 0.0 where a value is not used."""
    W2 = Ws if unweighted else Ws * Ws
    with np.errstate(invalid="ignore", divide="ignore"):
        mean = np.einsum("ij,ij->i", W2, Y0) / W2.sum(axis=1)
    dev = Y0 - mean[:, None]
    dev *= Ws
    return np.asarray(np.einsum("ij,ij->i", dev, dev))


def r_squared_one(y: np.ndarray, yp: np.ndarray, w: np.ndarray | None) -> float:
    """R^2 of one fit, weighted (the weighted mean and sums of squares, as statsmodels'
    WLS), safe for values of any size; 1.0 for a constant y."""
    if y.min() == y.max():
        return 1.0
    if w is None:
        return Residuals(y, yp).r2
    s = max(power_of_two_scale(y), power_of_two_scale(yp))
    y, yp = y / s, yp / s
    mean = float(np.sum(w * y) / np.sum(w))
    return 1.0 - float(np.sum(w * (y - yp) ** 2) / np.sum(w * (y - mean) ** 2))


def mdl_rows(
    plan: SharedDesign, coef: np.ndarray, Yt: np.ndarray, n_used: np.ndarray | None
) -> np.ndarray:
    """MDL scores of many series at once, with the arithmetic of :func:`zarn.mdl_score`.

    ``Yt`` holds NaN where a sample is not used and ``n_used`` counts each row's samples
    (None: all of them); ``plan`` gives the design matrix, H and the penalties. The two
    medians of each row (of y and of its deviations, for the MAD) are selected by
    :func:`numpy.partition` when every sample is used, and read from sorted rows otherwise.
    """
    med = _medians(Yt, n_used)
    dev = np.subtract(Yt, med[:, None])
    dev = np.abs(dev, out=dev)
    mad = _medians(dev, n_used)
    eps = np.where(mad > 0.0, MAD_TOLERANCE * mad, MAD_TOLERANCE)
    res = coef @ plan.Phi.T
    res = np.abs(np.subtract(res, Yt, out=res), out=res)
    hits = np.add.reduce(res < eps[:, None], axis=1, dtype=np.int64)  # NaN is never a hit
    k = plan.k
    log_hk = k * math.log(2.0 * plan.H) if k > 0 else 0.0
    if n_used is None:
        n = float(Yt.shape[1])
        score = -n * _log_success_rates(Yt.shape[1])[hits] + (log_hk / n) * k
    else:
        nf = n_used.astype(np.float64)
        sr = np.maximum(hits / nf, 1.0 / (2.0 * nf))
        score = -nf * _log(sr) + (log_hk / nf) * k
    R1, R2, gamma1, gamma2, _ = plan.penalty
    if R1 is not None and gamma1 != 0.0:
        score += gamma1 * np.einsum("ij,ij->i", coef, coef @ R1.T)
    if R2 is not None and gamma2 != 0.0:
        score += gamma2 * np.einsum("ij,ij->i", coef, coef @ R2.T)
    return score


def _medians(A: np.ndarray, n_used: np.ndarray | None) -> np.ndarray:
    """Medians of each row's first n_used values in order (NaN, not used, sort last), as
    the core computes them: for an even count, 0.5 * (upper + lower) of the middle two."""
    if n_used is None:
        n = A.shape[1]
        h = n // 2
        part = np.partition(A, h, axis=1)
        upper = part[:, h]
        return upper if n % 2 else 0.5 * (upper + part[:, :h].max(axis=1))
    S = np.sort(A, axis=1)
    rows = np.arange(len(S))
    half = n_used // 2
    upper = S[rows, half]
    lower = S[rows, np.maximum(half - 1, 0)]
    return np.asarray(np.where(n_used % 2 == 1, upper, 0.5 * (upper + lower)))


@functools.lru_cache(maxsize=8)
def _log_success_rates(n: int) -> np.ndarray:
    """ln of the success rate of h hits out of n, for h = 0..n, floored at 1/(2n).

    Cached for the 8 most recent n (a table of n + 1 values each), as every complete
    series of a fit shares it. Read-only, because the callers share it.
    """
    table = np.array([math.log(max(h / n, 1.0 / (2.0 * n))) for h in range(n + 1)])
    table.flags.writeable = False
    return table


def _log(values: np.ndarray) -> np.ndarray:
    """Natural logarithm by the C library (as the core), once per distinct value."""
    distinct, inverse = np.unique(values, return_inverse=True)
    return np.array([math.log(v) for v in distinct])[inverse]
