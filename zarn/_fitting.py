"""Least-squares fits and their scores, safe for values of any size that doubles hold.

Least squares, its penalties and R^2 are homogeneous in y, so values far from 1 are
scaled by a power of two (exactly) before the sums that would overflow or underflow.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping
from typing import Any

import numpy as np

from zarn._constants import ORDINARY
from zarn._native import zarn_core as core
from zarn._validation import check_finite

# Elements (rows x columns) per block of the blocked QR. LAPACK factorises a block by one
# Householder step per column, each a matrix-vector product and a rank-one update of the
# block; OpenBLAS runs such operations of fewer than about 9216 elements on one thread, so
# a block this size is factorised in cache, without the threads' synchronisation at every
# step (which on a busy machine costs more than the arithmetic). Blocks have at least
# twice as many rows as columns.
QR_BLOCK_ELEMENTS = 8192
# Elements per batch of blocks handed to NumPy at once: bounds the copies it makes.
QR_BATCH_ELEMENTS = 1 << 20
# The estimator's parameters that are the robust method's sampler settings.
SAMPLER_PARAMS = ("n_chains", "n_warmup", "n_deep", "n_elite", "step_size")


def solve(method, Phi, y, R1, R2, gamma1, gamma2, ridge) -> np.ndarray:
    """The ``"ols"`` or ``"penalized"`` fit of one target.

    ``"ols"``: the core's minimum-norm least squares on the small factor of the QR
    factorisation of ``[Phi, y]`` (:func:`augmented_factor`), the same solution as on
    Phi itself; ``"penalized"``: the core's normal equations.
    """
    if method == "ols":
        R, z, _ = augmented_factor(Phi, y)
        return core.ols(R, z)
    return core.fit_regularized_linear(Phi, y, R1, R2, gamma1, gamma2, ridge)


def _upper(A: np.ndarray) -> np.ndarray:
    """The R factor (min(n, m) x m, upper triangular) of the QR factorisation of A."""
    h, _ = np.linalg.qr(A, mode="raw")  # h' holds R on and above its diagonal
    R = h.T[: min(A.shape)]
    for j in range(min(len(R), A.shape[1] - 1)):  # clear the reflectors below it
        R[j + 1 :, j] = 0.0
    return R


def qr_block_rows(m: int) -> int:
    """Rows per block of the blocked QR of a matrix of m columns."""
    return max(2 * m, QR_BLOCK_ELEMENTS // max(m, 1))


def r_factor(A: np.ndarray, y: np.ndarray | None = None) -> np.ndarray:
    """R factor of A (n x m), or of ``[A, y]``, by QR factorisations of blocks of rows.

    Any R with ``R'R = A'A`` serves the least-squares fit; the blocks' factors, stacked and
    factorised again, give one (its rows' signs may differ from those of a single
    factorisation, which nothing here depends on). The blocks are factorised in batches by
    NumPy's stacked QR.

    Examples
    --------
    >>> A = np.random.default_rng(0).standard_normal((5000, 3))
    >>> R = r_factor(A)
    >>> R.shape, bool(np.allclose(R.T @ R, A.T @ A))
    ((3, 3), True)
    """
    n, k = A.shape
    m = k + (y is not None)
    block = qr_block_rows(m)
    if n <= block:
        return _upper(A if y is None else np.column_stack((A, y)))
    batch = block * max(1, QR_BATCH_ELEMENTS // (block * m))
    parts = []
    for i in range(0, n, batch):
        rows = min(batch, n - i)
        B = np.empty((rows, m))
        B[:, :k] = A[i : i + rows]
        if y is not None:
            B[:, k] = y[i : i + rows]
        whole = rows // block * block
        if whole:
            stacked = np.linalg.qr(B[:whole].reshape(-1, block, m), mode="r")
            parts.append(np.asarray(stacked).reshape(-1, m))
        if whole < rows:
            parts.append(_upper(B[whole:]))
    return r_factor(np.vstack(parts))


def augmented_factor(Phi: np.ndarray, y: np.ndarray) -> tuple[np.ndarray, np.ndarray, float]:
    """``(R, z, rho)`` from the QR factorisation of ``[Phi, y]``.

    R is min(n, k) x k and upper triangular, z = Q'y on those rows, and |rho| the norm of
    the part of y outside the column space of Phi (0.0 when n <= k), so that
    ``||Phi b - y||^2 = ||R b - z||^2 + rho^2`` for every b.
    """
    n, k = Phi.shape
    Ra = r_factor(Phi, y)
    rows = min(n, k)
    rho = float(Ra[k, k]) if n > k else 0.0
    return Ra[:rows, :k], Ra[:rows, k], rho


def least_squares(method, Phi, y, R1, R2, gamma1, gamma2, ridge) -> np.ndarray:
    """The ols or penalised fit: exact for huge and tiny y, clear about non-finite input."""
    coef: np.ndarray | None = None
    try:
        coef = solve(method, Phi, y, R1, R2, gamma1, gamma2, ridge)
    except ValueError:  # the normal equations overflowed, or y is not finite
        pass
    else:
        c = coef.tolist()
        if all(map(math.isfinite, c)) and not 0.0 < max(map(abs, c), default=0.0) < ORDINARY[0]:
            return coef  # the common case: finite, and no digits lost to underflow
    check_finite(y, "y")  # a NaN or infinity in y spreads to every coefficient
    # Fitting y / s and scaling the coefficients back by s is the same fit; a power of
    # two s is exact and keeps the normal equations of huge or tiny y in range.
    s = power_of_two_scale(y)
    if s != 1.0:
        with np.errstate(over="ignore"):
            coef = solve(method, Phi, y / s, R1, R2, gamma1, gamma2, ridge) * s
        if not np.isfinite(coef).all():
            raise ValueError(
                f"the {method} fit's coefficients exceed the range of doubles: y is too large "
                f"(max |y| = {float(np.abs(y).max()):.3g}); rescale it"
            )
    elif coef is None:
        coef = solve(method, Phi, y, R1, R2, gamma1, gamma2, ridge)  # the core's error again
    assert coef is not None  # every route above fits, or raises
    if not np.isfinite(coef).all():
        raise ValueError(
            f"the {method} fit gave non-finite coefficients: the penalty weights "
            f"(gamma1={gamma1}, gamma2={gamma2}) or the ridge ({ridge}) are too large for "
            "double precision"
        )
    return coef


# The largest |y| the robust fit is given, after its power-of-two scaling.
ROBUST_TOP = 1e150


def robust(
    Phi: np.ndarray,
    y: np.ndarray,
    R1: Any,
    R2: Any,
    params: Mapping[str, Any],
    seed: int,
    sample_weight: np.ndarray | None = None,
):
    """The robust method's fit of a finite y (:func:`zarn._robust.robust_fit`), for y of any size.

    ``params`` are the estimator's checked parameters (penalty weights, ridge, H and the
    sampler settings). Returns the :class:`zarn._robust.RobustFit` in the units of y.
    """
    from zarn._robust import robust_fit

    # y beyond 1e+-100 is fitted as y / s for a power of two s (exactly), so that its
    # sums of squares stay in range; the energy's penalties are then weighed at that scale.
    # Huge outliers among ordinary values would push the bulk to the bottom of the range
    # of doubles, where its noise is lost: s is then set by the bulk, as far as it keeps
    # the largest value below 1e150 (whose square is still a double).
    s = power_of_two_scale(y)
    if s > 1.0:
        bulk = abs(float(np.median(y))) + core.mad(y)
        least = math.ldexp(1.0, math.frexp(float(np.abs(y).max()) / ROBUST_TOP)[1])
        s = max(power_of_two(bulk), least)
    result = robust_fit(
        Phi,
        y / s,
        R1,
        R2,
        params["gamma1"],
        params["gamma2"],
        ridge=params["ridge"],
        H=params["H"],
        sampler={name: params[name] for name in SAMPLER_PARAMS},
        seed=seed,
        sample_weight=sample_weight,
    )
    if s == 1.0:
        return result
    with np.errstate(over="ignore"):
        coef = result.coef * s
        cov = result.cov * s * s  # (cov * s) * s: stays finite wherever it can
    if not np.isfinite(coef).all():
        raise ValueError(
            "the robust fit's coefficients exceed the range of doubles: y is too large "
            f"(max |y| = {float(np.abs(y).max()):.3g}); rescale it"
        )
    return dataclasses.replace(
        result, coef=coef, cov=cov, scale=result.scale * s, mm_scale=result.mm_scale * s
    )


def mdl(yp, y, coef, H, R1, R2, gamma1, gamma2) -> float:
    """MDL score of a prediction; the penalties only where a weight is not zero.

    A penalty beyond the range of doubles (huge coefficients) makes the score +inf, never
    NaN: the quadratic forms are then summed on coefficients scaled by a power of two.
    """
    k = len(coef)
    if R1 is None:
        return core.mdl_score(yp, y, k, H)
    score = core.mdl_score_reg(yp, y, k, H, coef, R1, R2, gamma1, gamma2)
    if math.isfinite(score):
        return score
    s = power_of_two_scale(coef)
    b = coef / s
    # The penalty matrices are positive semi-definite: a negative form is rounding.
    penalty = gamma1 * max(float(b @ R1 @ b), 0.0) + gamma2 * max(float(b @ R2 @ b), 0.0)
    return core.mdl_score(yp, y, k, H) + penalty * s * s  # (penalty * s) * s: 0 stays 0


class Residuals:
    """Scores from the sums of squares of y - yp and of y - mean(y), kept in range.

    With ``weights``, each squared term is multiplied by its sample's weight and the mean
    of y is the weighted one (scikit-learn's ``r2_score`` with ``sample_weight``).

    Attributes
    ----------
    log_rss : float
        ln(rss), finite even where rss itself is not (-inf for a perfect fit).
    rmse : float
        Root mean squared residual (weighted: ``sqrt(rss / sum(weights))``).
    r2 : float
        Coefficient of determination: 1.0 for a constant y predicted exactly, 0.0 for one
        that is not; -inf below the most negative double.
    """

    def __init__(self, y: np.ndarray, yp: np.ndarray, weights: np.ndarray | None = None) -> None:
        s = max(power_of_two_scale(y), power_of_two_scale(yp))
        y, yp = y / s, yp / s
        if weights is None:
            log_unit, total = 0.0, float(len(y))
            res, s_res = _scaled_sum_of_squares(y - yp)
            tot, s_tot = _scaled_sum_of_squares(y - y.mean())
        else:
            # Weights relative to the largest keep the sums in range; its logarithm is
            # added back to ln(rss).
            top = float(weights.max())
            relative = weights / top
            log_unit, total = math.log(top), float(relative.sum())
            sw = np.sqrt(relative)
            res, s_res = _scaled_sum_of_squares((y - yp) * sw)
            tot, s_tot = _scaled_sum_of_squares((y - np.average(y, weights=relative)) * sw)
        self.log_rss = (
            math.log(res) + 2.0 * math.log(s * s_res) + log_unit if res > 0.0 else -math.inf
        )
        self.rmse = s * s_res * math.sqrt(res / total)
        if tot == 0.0:
            self.r2 = 1.0 if res == 0.0 else 0.0
        else:
            ratio = s_res / s_tot
            self.r2 = 1.0 - (res / tot) * ratio * ratio


def _scaled_sum_of_squares(r: np.ndarray) -> tuple[float, float]:
    """(sum((r / s)**2), s) for a power of two s that keeps the sum in range."""
    s = power_of_two_scale(r)
    return float(np.sum(np.square(r / s))), s


def power_of_two_scale(y: np.ndarray) -> float:
    """1.0 for y of ordinary size, else a power of two that brings max|y| near 1."""
    return power_of_two(float(np.abs(y).max(initial=0.0)))


def power_of_two(top: float) -> float:
    """1.0 for a magnitude of ordinary size, else a power of two with top / it in [1, 2)."""
    if ORDINARY[0] < top < ORDINARY[1] or top == 0.0:
        return 1.0
    return math.ldexp(1.0, math.frexp(top)[1] - 1)
