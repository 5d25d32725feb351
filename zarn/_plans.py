"""What a block of series needs to be fitted, one plan per route of :func:`zarn.fit_many`.

A plan is built once per call from the shared positions and the model's checked
parameters, and shipped (small and picklable) to every worker. Its ``fit_block`` fits
the rows of a block (one series per row) and returns them packed, one row per series:
the coefficients, then the MDL score, the number of samples used and the number of
inliers (:data:`MDL`, :data:`N_USED` and :data:`N_INLIERS` count from the end).

- :class:`LinearPlan` (``"ols"``, ``"penalized"``): shared and batched solves
  (:mod:`zarn._batched`); a series is fitted alone only where those would not serve.
- :class:`RobustPlan`: every series alone, exactly as the estimator fits it.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Union

import numpy as np

from zarn import _batched, _fitting
from zarn._design import Design
from zarn._params import seed_from

# Packed columns after the k coefficients, counted from the end of a row.
MDL, N_USED, N_INLIERS = -3, -2, -1
# A block is fitted in pieces of about 2**15 values (256 KB), so that the dozen passes of
# the vectorised fit and scores over a piece run in cache: 2-3x faster than whole blocks.
PIECE_VALUES = 2**15
# Series per block (one task of a worker) when no chunk size is given: about 2**21 values.
BLOCK_VALUES = 2**21
# Blocks per call of the robust route, whose series each take a sampler run: small
# blocks balance the load of the workers.
ROBUST_BLOCKS = 64
# A series with missing values joins the batched solve only when the leverages of its
# missing samples sum to at most this: its Gram matrix in the orthonormal basis of the
# full design then has eigenvalues in [1 - LEVERAGE_LIMIT, 1], a condition number <= 10.
LEVERAGE_LIMIT = 0.9


def make_plan(X: np.ndarray, params: Mapping[str, Any], skipna: bool) -> Plan:
    """The plan of the model's checked ``params`` for the finite positions X (n, d)."""
    design = Design.from_data(X, params)
    Phi = design.matrix(design.map(X))
    R1, R2 = design.penalties(params["gamma1"], params["gamma2"])
    if params["method"] == "robust":  # one seed for every series, so that n_jobs cannot change it
        return RobustPlan(design, skipna, X, R1, R2, params, seed_from(params["random_state"]))
    g1, g2, ridge = params["gamma1"], params["gamma2"], params["ridge"]
    Q, C, full_rank = _batched.shared_operator(params["method"], Phi, R1, R2, g1, g2, ridge)
    return LinearPlan(
        design, skipna, params["method"], Phi, params["H"], g1, g2, ridge, R1, R2, Q, C, full_rank
    )


def empty_rows(m: int, k: int) -> np.ndarray:
    """Packed rows of m series not fitted: NaN, with no sample used and no inlier."""
    out = np.full((m, k + 3), np.nan)
    out[:, N_USED] = 0
    out[:, N_INLIERS] = 0
    return out


@dataclass(frozen=True, eq=False)
class LinearPlan:
    """The ``"ols"`` and ``"penalized"`` route: shared solve operator and penalties."""

    design: Design
    skipna: bool
    method: str
    Phi: np.ndarray  # design matrix at the shared positions (n, k)
    H: int
    gamma1: float
    gamma2: float
    ridge: float
    R1: np.ndarray | None
    R2: np.ndarray | None
    Q: np.ndarray  # orthonormal basis of the design's columns (n, r)
    C: np.ndarray  # the fit of each column of Q (k, r)
    full_rank: bool

    @property
    def k(self) -> int:
        return self.design.k

    def block_size(self, m: int, n: int) -> int:
        """Series per block by default: about ``BLOCK_VALUES`` values."""
        return max(1, BLOCK_VALUES // max(n, 1))

    def fit_block(self, Yt: np.ndarray) -> np.ndarray:
        """Packed fits of the rows of Yt (n_series, n), piece by piece."""
        m, n = Yt.shape
        piece = max(16, PIECE_VALUES // max(n, 1))
        if m <= piece:
            return self._fit_piece(Yt)
        out = np.empty((m, self.k + 3))
        for s in range(0, m, piece):
            out[s : s + piece] = self._fit_piece(Yt[s : s + piece])
        return out

    def _fit_piece(self, Yt: np.ndarray) -> np.ndarray:
        m, n = Yt.shape
        Yt = np.array(Yt, dtype=np.float64, order="C")  # own copy, one series per row
        out = empty_rows(m, self.k)
        # Sorted rows give the medians of the MDL scores, and show which rows are
        # complete: NaN sorts last and fails every comparison.
        S = np.sort(Yt, axis=1)
        if ((S[:, 0] > -np.inf) & (S[:, -1] < np.inf)).all():
            out[:, N_USED] = n
            ordinary = _batched.ordinary_rows(S, np.full(m, n))
            if ordinary.all():
                self._shared(Yt, S, out, slice(None))
            else:
                self._shared(Yt, S, out, np.flatnonzero(ordinary))
                self._alone(Yt, out, np.flatnonzero(~ordinary))
            return out

        finite = np.isfinite(Yt)
        counts = finite.sum(axis=1)
        if not self.skipna:
            counts[counts < n] = 0
        Yt[~finite] = np.nan  # infinity is treated as missing
        S = np.sort(Yt, axis=1)
        out[:, N_USED] = counts
        ordinary = _batched.ordinary_rows(S, counts)
        self._shared(Yt, S, out, np.flatnonzero((counts == n) & ordinary))
        self._alone(Yt, out, np.flatnonzero((counts > 0) & ~ordinary))
        partial = np.flatnonzero((counts > 0) & (counts < n) & ordinary)
        if not self.full_rank:
            self._alone(Yt, out, partial)
            return out
        lev = np.einsum("ij,ij->i", self.Q, self.Q)
        missing_leverage = (~finite[partial]).astype(np.float64) @ lev
        self._alone(Yt, out, partial[missing_leverage > LEVERAGE_LIMIT])
        batched = partial[missing_leverage <= LEVERAGE_LIMIT]
        if batched.size:
            coef = _batched.batched_solve(self, Yt[batched], finite[batched])
            out[batched, : self.k] = coef
            out[batched, MDL] = _batched.mdl_rows(
                self, coef, Yt[batched], S[batched], counts[batched]
            )
        return out

    def _shared(self, Yt: np.ndarray, S: np.ndarray, out: np.ndarray, rows: Any) -> None:
        """Complete series of ordinary size: the shared operator, one matrix product."""
        if isinstance(rows, np.ndarray) and not rows.size:
            return
        Y = Yt[rows]
        coef = (Y @ self.Q) @ self.C.T
        out[rows, : self.k] = coef
        out[rows, MDL] = _batched.mdl_rows(self, coef, Y, S[rows], None)

    def _alone(self, Yt: np.ndarray, out: np.ndarray, rows: np.ndarray) -> None:
        """Series fitted one by one on their own samples, as the estimator fits them.

        Series of huge or tiny values take this route, which rescales them. A fit whose
        coefficients leave the range of doubles gives NaN, not an error that would stop
        the other series.
        """
        for i in rows:
            used = np.isfinite(Yt[i])
            Phi, y = self.Phi[used], Yt[i][used]
            try:
                coef = _fitting.least_squares(
                    self.method, Phi, y, self.R1, self.R2, self.gamma1, self.gamma2, self.ridge
                )
            except ValueError:
                out[i, : self.k + 1] = np.nan
                continue
            out[i, : self.k] = coef
            out[i, MDL] = _fitting.mdl(
                Phi @ coef, y, coef, self.H, self.R1, self.R2, self.gamma1, self.gamma2
            )


@dataclass(frozen=True, eq=False)
class RobustPlan:
    """The ``"robust"`` route: every series fitted alone, as the estimator would, with the
    shared domain and one seed."""

    design: Design
    skipna: bool
    X: np.ndarray  # the shared positions (n, d)
    R1: np.ndarray | None
    R2: np.ndarray | None
    params: Mapping[str, Any]  # the model's checked parameters
    seed: int

    method = "robust"

    @property
    def k(self) -> int:
        return self.design.k

    def block_size(self, m: int, n: int) -> int:
        """Series per block by default: ``ROBUST_BLOCKS`` blocks in all."""
        return max(1, -(-m // ROBUST_BLOCKS))

    def fit_block(self, Yt: np.ndarray) -> np.ndarray:
        """Packed fits of the rows of Yt (n_series, n), one by one."""
        Yt = np.asarray(Yt, dtype=np.float64)
        m, n = Yt.shape
        out = empty_rows(m, self.k)
        finite = np.isfinite(Yt)
        counts = finite.sum(axis=1)
        out[:, N_USED] = np.where(self.skipna | (counts == n), counts, 0)
        for i in np.flatnonzero(out[:, N_USED]):
            out[i] = self._fit_one(Yt[i], finite[i])
        return out

    def _fit_one(self, y: np.ndarray, used: np.ndarray) -> np.ndarray:
        design, params = self.design, self.params
        Phi = design.matrix(design.map(self.X[used]))
        y = y[used]
        result = _fitting.robust(Phi, y, self.R1, self.R2, params, self.seed)
        coef = result.coef
        g1, g2 = params["gamma1"], params["gamma2"]
        score = _fitting.mdl(Phi @ coef, y, coef, params["H"], self.R1, self.R2, g1, g2)
        return np.concatenate([coef, [score, used.sum(), result.inlier_mask.sum()]])


Plan = Union[LinearPlan, RobustPlan]
