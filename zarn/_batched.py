"""Batched linear algebra of many series: the shared solve, batched solves, MDL scores.

The least-squares and penalised fits are linear in the data: with Q an orthonormal basis
of the design's columns, the fit of every series is ``C @ Q.T @ y``, where C holds the
fits of Q's columns (:func:`shared_operator`). Series with a few missing values get a
batched solve of their own normal equations (:func:`batched_solve`), and the MDL scores
of a block of series are computed at once with the core's arithmetic
(:func:`mdl_rows`). :mod:`zarn._plans` decides which series take which route.
"""

from __future__ import annotations

import functools
import math
from typing import Any

import numpy as np

from zarn._constants import MAD_TOLERANCE, ORDINARY
from zarn._fitting import solve

# The design counts as of full column rank when its singular values lie within this ratio.
RANK_RTOL = 1e-10


def shared_operator(
    method: str, Phi: np.ndarray, R1: Any, R2: Any, gamma1: float, gamma2: float, ridge: float
) -> tuple[np.ndarray, np.ndarray, bool]:
    """(Q, C, full_rank): an orthonormal basis Q (n, r) of the design's columns, the fits
    C (k, r) of Q's columns, and whether the design has full column rank.

    The fit is linear in y and depends on y only through its projection onto the columns
    of Phi, so fit(y) = fit(Q Q' y) = C Q' y.
    """
    Q, _ = np.linalg.qr(Phi)
    C = np.column_stack(
        [solve(method, Phi, np.ascontiguousarray(q), R1, R2, gamma1, gamma2, ridge) for q in Q.T]
    )
    sv = np.linalg.svd(Phi, compute_uv=False)
    full_rank = Phi.shape[0] >= Phi.shape[1] and bool(sv[-1] > RANK_RTOL * sv[0])
    return Q, C, full_rank


def ordinary_rows(S: np.ndarray, counts: np.ndarray) -> np.ndarray:
    """Which sorted rows (NaN last, ``counts`` values each) have a largest magnitude of
    ordinary size, or are 0: only those can share the solves without rescaling."""
    m = len(S)
    top = np.maximum(np.abs(S[:, 0]), np.abs(S[np.arange(m), np.maximum(counts - 1, 0)]))
    return ((top > ORDINARY[0]) & (top < ORDINARY[1])) | (top == 0.0)


def batched_solve(plan: Any, Yt: np.ndarray, used: np.ndarray) -> np.ndarray:
    """Least-squares or penalised fits of series (rows of Yt) with missing values, at once.

    ``used`` marks each row's samples; ``plan`` is a :class:`zarn._plans.LinearPlan`.
    """
    W = used.astype(np.float64)
    Y0 = np.where(used, Yt, 0.0)
    if plan.method == "ols":
        # In the basis Q the normal equations are well conditioned: G = Q'WQ is the
        # identity less the missing samples' rank-one terms.
        r = plan.Q.shape[1]
        QQ = (plan.Q[:, :, None] * plan.Q[:, None, :]).reshape(-1, r * r)
        G = (W @ QQ).reshape(-1, r, r)
        d = np.linalg.solve(G, (Y0 @ plan.Q)[:, :, None])[:, :, 0]
        return d @ plan.C.T
    Phi, k = plan.Phi, plan.k
    PP = (Phi[:, :, None] * Phi[:, None, :]).reshape(-1, k * k)
    A = (W @ PP).reshape(-1, k, k)
    A[:, np.arange(k), np.arange(k)] += plan.ridge
    n_used = W.sum(axis=1)[:, None, None]
    if plan.R1 is not None and plan.gamma1 != 0.0:
        A += (n_used * plan.gamma1) * plan.R1
    if plan.R2 is not None and plan.gamma2 != 0.0:
        A += (n_used * plan.gamma2) * plan.R2
    return np.linalg.solve(A, (Y0 @ Phi)[:, :, None])[:, :, 0]


def mdl_rows(
    plan: Any, coef: np.ndarray, Yt: np.ndarray, S: np.ndarray, n_used: np.ndarray | None
) -> np.ndarray:
    """MDL scores of many series at once, with the arithmetic of :func:`zarn.mdl_score`.

    ``Yt`` holds NaN where a sample is not used, ``S`` is ``Yt`` sorted along each row, and
    ``n_used`` counts each row's samples (None: all of them); ``plan`` gives the design
    matrix, H and the penalties.
    """
    med = _sorted_medians(S, n_used)
    dev = np.subtract(Yt, med[:, None])
    dev = np.abs(dev, out=dev)
    dev.sort(axis=1)  # NaN sorts last
    mad = _sorted_medians(dev, n_used)
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
    if plan.R1 is not None and plan.gamma1 != 0.0:
        score += plan.gamma1 * np.einsum("ij,ij->i", coef, coef @ plan.R1.T)
    if plan.R2 is not None and plan.gamma2 != 0.0:
        score += plan.gamma2 * np.einsum("ij,ij->i", coef, coef @ plan.R2.T)
    return score


def _sorted_medians(S: np.ndarray, n_used: np.ndarray | None) -> np.ndarray:
    """Medians of the first n_used values of each sorted row, as the core computes them.

    For an even count the core averages the two middle values as 0.5 * (upper + lower).
    """
    if n_used is None:
        h = S.shape[1] // 2
        return S[:, h] if S.shape[1] % 2 else 0.5 * (S[:, h] + S[:, h - 1])
    rows = np.arange(len(S))
    half = n_used // 2
    upper = S[rows, half]
    lower = S[rows, np.maximum(half - 1, 0)]
    return np.where(n_used % 2 == 1, upper, 0.5 * (upper + lower))


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
