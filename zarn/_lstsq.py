"""Least-squares building blocks: exact power-of-two scaling, blocked QR factors, weighted
rows, the rank rule and the penalty of a penalised fit.

Least squares and its penalties are homogeneous in y, so values far from 1 are scaled by
a power of two (exactly) before the sums that would overflow or underflow. The methods
(:mod:`zarn._methods`) and the many-series plans build their solves from these.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import NamedTuple

import numpy as np

from zarn._constants import EPS, ORDINARY

TINY = float(np.finfo(np.float64).tiny)  # the smallest normal double
# The margin of certainly_full_rank: the smallest eigenvalue of the Gram matrix above this
# fraction of its trace. Far above the rank rule's threshold (k * 2**-52 on the singular
# values, about 1e-30 on the eigenvalues) and the Gram matrix's rounding (n * 2**-52 of
# the trace for the small designs it is used on), yet below the conditioning of ordinary
# polynomial designs.
RANK_MARGIN = 1e-6
# Elements (rows x columns) per block of the blocked QR. LAPACK factorises a block by one
# Householder step per column, each a matrix-vector product and a rank-one update of the
# block; OpenBLAS runs such operations of fewer than about 9216 elements on one thread, so
# a block this size is factorised in cache, without the threads' synchronisation at every
# step (which on a busy machine costs more than the arithmetic). Blocks have at least
# twice as many rows as columns.
QR_BLOCK_ELEMENTS = 8192
# Elements per batch of blocks handed to NumPy at once: bounds the copies it makes.
QR_BATCH_ELEMENTS = 1 << 20


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


def power_of_two_scale(y: np.ndarray) -> float:
    """1.0 for y of ordinary size, else a power of two that brings max|y| near 1."""
    return power_of_two(float(np.abs(y).max(initial=0.0)))


def power_of_two(top: float) -> float:
    """1.0 for a magnitude of ordinary size, else a power of two with top / it in [1, 2)."""
    if ORDINARY[0] < top < ORDINARY[1] or top == 0.0:
        return 1.0
    return math.ldexp(1.0, math.frexp(top)[1] - 1)


@dataclass(eq=False, slots=True)  # built at every fit: slots, no frozen __setattr__
class WeightedRows:
    """The rows of positive weight, each weighted by sqrt(w / unit**2).

    ``unit`` is a power of two that brings weights beyond 1e+-100 near 1 (1.0 otherwise):
    the weighted fit is the same, and a residual scale computed from these rows is
    multiplied by ``unit`` to be that of an observation of weight 1. ``total`` is the sum
    of the weights in the same units, the n of the penalties.
    """

    Phi: np.ndarray
    y: np.ndarray
    total: float
    unit: float
    keep: np.ndarray | None  # the rows kept, where some weight is zero

    @property
    def n_obs(self) -> int:
        """Number of samples of positive weight."""
        return len(self.y)


def weighted_rows(Phi: np.ndarray, y: np.ndarray, w: np.ndarray | None) -> WeightedRows:
    """``sqrt(w) Phi`` and ``sqrt(w) y`` on the samples of positive weight."""
    if w is None:
        return WeightedRows(Phi, y, float(len(y)), 1.0, None)
    keep = None
    if not (w > 0.0).all():
        keep = w > 0.0
        Phi, y, w = Phi[keep], y[keep], w[keep]
    top = float(w.max())
    unit = 1.0
    if power_of_two(top) != 1.0:
        # A power of four, so that its square root (the unit of the scale) is exact.
        exponent = math.frexp(top)[1]
        unit = math.ldexp(1.0, exponent // 2)
        w = w / unit / unit  # unit * unit overflows for weights from 2**1023 on
    sw = np.sqrt(w)
    return WeightedRows(Phi * sw[:, None], y * sw, float(w.sum()), unit, keep)


def ranks_of(singular_values: np.ndarray, n_rows: np.ndarray, n_cols: int) -> np.ndarray:
    """:func:`rank_of` of many matrices at once: their singular values (p, r), largest
    first, and their numbers of rows (p,), each of ``n_cols`` columns.

    Examples
    --------
    >>> ranks_of(np.array([[2.0, 1.0], [2.0, 1e-20]]), np.array([5, 5]), 2).tolist()
    [2, 1]
    """
    sizes = np.maximum(1, np.minimum(n_rows, n_cols))
    threshold = np.maximum(singular_values[:, 0] * sizes * EPS, TINY)
    return np.asarray(np.count_nonzero(singular_values >= threshold[:, None], axis=1))


def rank_threshold(singular_values: np.ndarray, n_rows: int, n_cols: int) -> float:
    """Singular values below this count as zero (the core's minimum-norm least squares)."""
    top = float(singular_values[0]) if len(singular_values) else 0.0
    return max(top * max(1, min(n_rows, n_cols)) * EPS, TINY)


def norm(v: np.ndarray, last: float) -> float:
    """Euclidean norm of ``[v, last]``, without overflow or underflow of the squares."""
    if len(v) <= 64:
        return math.hypot(*v.tolist(), last)
    s = power_of_two(max(float(np.abs(v).max()), abs(last)))
    return s * math.hypot(math.sqrt(float(np.sum(np.square(v / s)))), last / s)


def singular_values(R: np.ndarray) -> tuple[np.ndarray, int]:
    """Singular values of a factor R and its rank (the core's rule)."""
    s = np.linalg.svd(R, compute_uv=False)
    return s, rank_of(s, *R.shape)


def rank_of(singular_values: np.ndarray, n_rows: int, n_cols: int) -> int:
    """Numerical rank from the singular values of an n_rows x n_cols matrix (the core's rule)."""
    threshold = rank_threshold(singular_values, n_rows, n_cols)
    return int(np.count_nonzero(singular_values >= threshold))


def penalty_matrix(
    k: int,
    R1: np.ndarray | None,
    R2: np.ndarray | None,
    n_gamma1: float,
    n_gamma2: float,
    ridge: float,
) -> np.ndarray:
    """``ridge I + n gamma1 R1 + n gamma2 R2`` (a term with weight 0.0 is left out)."""
    S = np.diag(np.full(k, float(ridge)))
    if R1 is not None and n_gamma1 != 0.0:
        S += n_gamma1 * R1
    if R2 is not None and n_gamma2 != 0.0:
        S += n_gamma2 * R2
    return S


def certainly_full_rank(Phi: np.ndarray, margin: float = RANK_MARGIN) -> bool:
    """Whether the rank rule certainly finds the (n x k, n >= k) design of full rank.

    True when the Cholesky factorisation of ``Phi'Phi - margin * trace(Phi'Phi) I``
    succeeds: the smallest singular value of Phi is then above ``sqrt(margin / k)``
    times the largest (for any margin from the default one up, far above both the
    threshold of the rank rule and the rounding errors of the Gram matrix, of the QR
    factor and of its singular values). False says nothing (the rank is then computed).

    Examples
    --------
    >>> x = np.linspace(-1, 1, 50)
    >>> certainly_full_rank(np.column_stack([np.ones(50), x])), certainly_full_rank(
    ...     np.column_stack([x, 2 * x]))
    (True, False)
    """
    n, k = Phi.shape
    if n < k:
        return False
    G = Phi.T @ Phi
    trace = float(G.trace())
    if not ORDINARY[0] < trace < ORDINARY[1]:  # also NaN: the sums must be accurate
        return False
    G.flat[:: k + 1] -= margin * trace  # the diagonal
    try:
        np.linalg.cholesky(G)
    except np.linalg.LinAlgError:
        return False
    return True


class Penalty(NamedTuple):
    """The penalties of a fit: ``ridge |b|^2 + N gamma1 b'R1 b + N gamma2 b'R2 b``.

    N is the number of samples (the sum of the sample weights); R1 and R2 are None where
    both weights are zero (nothing is built then).
    """

    R1: np.ndarray | None
    R2: np.ndarray | None
    gamma1: float
    gamma2: float
    ridge: float

    def scaled(self, factor: float) -> Penalty:
        """The penalty with both weights and the ridge multiplied by ``factor``.

        ``factor`` is the mean weight of the rows (the sum of the weights over their
        number): the penalty then stands in the weights' units, so that weights times a
        constant give the same fit. Without weights it is 1.0, which changes nothing.
        """
        if factor == 1.0:
            return self
        return self._replace(
            gamma1=self.gamma1 * factor, gamma2=self.gamma2 * factor, ridge=self.ridge * factor
        )

    def matrix(self, k: int, n: float) -> np.ndarray:
        """The matrix ``ridge I + n gamma1 R1 + n gamma2 R2`` of k coefficients."""
        return penalty_matrix(k, self.R1, self.R2, n * self.gamma1, n * self.gamma2, self.ridge)


def penalty_root(S: np.ndarray) -> np.ndarray:
    """L with ``L'L = S`` for a symmetric positive semi-definite penalty S (k x k).

    The square roots of a diagonal S (the ridge alone, without a factorisation); the
    Cholesky factor where S is positive definite (it has a ridge), else the square roots
    of its eigenvalues on its range.

    Examples
    --------
    >>> S = np.array([[2.0, 1.0], [1.0, 2.0]])
    >>> L = penalty_root(S)
    >>> bool(np.allclose(L.T @ L, S))
    True
    """
    d = np.diagonal(S)
    if np.count_nonzero(S) == np.count_nonzero(d) and (d >= 0.0).all():
        return np.diag(np.sqrt(d))
    try:
        return np.linalg.cholesky(S).T
    except np.linalg.LinAlgError:
        lam, V = np.linalg.eigh((S + S.T) / 2.0)
        keep = lam > max(float(lam[-1]), 0.0) * len(lam) * EPS
        return np.asarray(np.sqrt(lam[keep])[:, None] * V[:, keep].T)


def stacked_factor(R: np.ndarray, S: np.ndarray) -> np.ndarray:
    """The k x k R factor of the stacked ``[R; L]`` (``L'L = S``): its Gram matrix is
    ``R'R + S``, without forming it (which would square the condition number)."""
    return _upper(np.vstack([R, penalty_root(S)]))[: R.shape[1]]


def well_determined(T: np.ndarray) -> bool:
    """Whether the square upper triangular factor T is safely invertible: its diagonal
    (whose magnitudes bound its singular values' spread from below) within k * 2**-52 of
    its largest entry there."""
    d = np.abs(np.diagonal(T))
    return len(T) == T.shape[1] and bool(d.min(initial=np.inf) > d.max(initial=0.0) * len(d) * EPS)


def coefficients_too_large(method: str, y: np.ndarray) -> ValueError:
    """The error of a fit whose coefficients exceed the range of doubles.

    Examples
    --------
    >>> print(coefficients_too_large("ols", np.array([1e308])))  # doctest: +ELLIPSIS
    the ols fit's coefficients exceed the range of doubles: y is too large (max |y| = ...
    """
    return ValueError(
        f"the {method} fit's coefficients exceed the range of doubles: y is too large "
        f"(max |y| = {float(np.abs(y).max()):.3g}); rescale it"
    )
