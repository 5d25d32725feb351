"""Automatic smoothness-penalty weights by restricted maximum likelihood (REML).

The penalised fit minimises ``|y - Phi b|^2 + ridge |b|^2 + n gamma1 b'R1 b + n gamma2
b'R2 b`` (the core's :func:`zarn.fit_regularized_linear`). Read as a Gaussian model with a
Gaussian prior on the penalised part of ``b`` (variance ``sigma^2 / (n gamma)``), each
weight is a ratio of variances, and REML chooses it by maximising the likelihood of the
data with the unpenalised part integrated out (Patterson & Thompson 1971; Wood 2011,
"Fast stable restricted maximum likelihood and marginal likelihood estimation of
semiparametric generalized linear models", JRSS B 73(1)). REML is the default rather than
generalised cross-validation (GCV, Craven & Wahba 1979) because its criterion is smoother
in the weight and has a clear minimum, while GCV's is flat near its optimum and often has
a spurious one at too small a weight, so GCV undersmooths more often (Reiss & Ogden 2009,
"Smoothing parameter selection for a class of semiparametric linear models", JRSS B
71(2)); :func:`choose_weights` offers GCV too, for comparison.

Numerical route. A degree-20 monomial basis on [-1, 1] has a condition number near 1e7,
so its normal equations (near 1e14) are no place to try many weights. Instead the design
is factorised once, ``[Phi; sqrt(ridge) I; fixed penalty] = Q R`` (Householder QR), and
the penalty to be chosen is eigen-decomposed in that orthogonal basis,
``R^-T (n R_j) R^-1 = U diag(s) U'``. Along the weight ``lam`` the fit, its residual sum
of squares, its effective degrees of freedom and the REML and GCV criteria are then sums
over the k eigenvalues ``s_i`` (``1 / (1 + lam s_i)`` shrinks each component): O(k) or
O(k^2) per trial weight, without another solve. The weight is found on ln(lam) by a grid
over the range where the penalty goes from negligible to dominant, then golden-section
refinement around the grid's best point. With both weights "auto", the two 1-D searches
alternate (each with the other weight held) until neither moves: a coordinate-wise
minimisation of the same two-dimensional REML criterion.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import numpy as np

from zarn._lstsq import power_of_two_scale

AUTO = "auto"
CRITERIA = ("reml", "gcv")
Weight = float | str  # a fixed weight, or "auto"

# An eigenvalue of a penalty in the orthogonal basis below this share of the largest is
# a null direction (a function the penalty does not see, such as a constant or a line).
# Measured at degree 20 on [-1, 1]: the null eigenvalues are exact zeros, the smallest
# others above 1e-7 of the largest, so the threshold sits far from both.
NULL_TOLERANCE = 1e-11
# The search covers lam * s from SEARCH_MARGIN / s_max (the penalty changes no component
# by more than this share) to 1 / (SEARCH_MARGIN * s_min) (it shrinks every penalised
# component to this share): beyond both ends the criteria are flat.
SEARCH_MARGIN = 1e-6
# Grid step on ln(lam): a quarter of a unit (about 0.11 decades) keeps a local minimum of
# the criterion from falling between two grid points unseen.
GRID_STEP = 0.25
# Golden-section refinement stops when the bracket on ln(lam) is this narrow: the weight
# is then known to 0.1 %, far below the criterion's own sampling error.
LOG_TOLERANCE = 1e-3
# Alternate 1-D searches (both weights "auto") stop when neither ln(gamma) moves more
# than this, or after MAX_SWEEPS rounds.
SWEEP_TOLERANCE = 1e-2
MAX_SWEEPS = 30
# Ridge used for the factorisation when the given one is zero and the design has fewer
# independent columns than coefficients: the estimator's default ridge.
FALLBACK_RIDGE = 1e-10
# Smallest penalised objective, relative to |y|^2: the rounding level of a sum of squares.
D_FLOOR = 1e-28
INV_PHI = (math.sqrt(5.0) - 1.0) / 2.0  # golden-section ratio


@dataclass(frozen=True)
class WeightChoice:
    """Penalty weights chosen by :func:`choose_weights`.

    Attributes
    ----------
    gamma1, gamma2 : float
        The weights (as the estimator's ``gamma1`` and ``gamma2``); a weight given as a
        number is returned unchanged.
    edf : float
        Effective degrees of freedom (trace of the hat matrix) of the fit at these weights.
    criterion : str
        ``"reml"`` or ``"gcv"``.
    score : float
        The criterion at the weights, up to a constant (lower is better).

    Examples
    --------
    >>> WeightChoice(0.0, 1e-5, 6.2, "reml", -812.0).gamma2
    1e-05
    """

    gamma1: float
    gamma2: float
    edf: float
    criterion: str
    score: float


class _Path:
    """The penalised fit along one weight ``lam`` of ``P``, the other terms held fixed.

    ``P`` is the penalty matrix in the units of the fit (``n R_j``); ``fixed`` the sum of
    the fixed penalty terms (``ridge I`` plus a held weight times its matrix). In the
    orthogonal basis of ``[Phi; fixed^(1/2)] = [Q1; Q2] R``, the coefficients of the fit
    are ``c = R b = U diag(1 / (1 + lam s)) U' Q1' y`` (``R^-T P R^-1 = U diag(s) U'``).
    """

    def __init__(
        self,
        Phi: np.ndarray,
        y: np.ndarray,
        P: np.ndarray,
        fixed_root: np.ndarray,
        held: tuple[np.ndarray, float] | None,
        count: float | None = None,
    ) -> None:
        n, k = Phi.shape
        self.n = n if count is None else count  # the observations the rows stand for
        Q, R = np.linalg.qr(np.vstack([Phi, fixed_root]))
        self.R = R
        Q1, Q2 = Q[:n], Q[n:]
        s, U = _eigh(_in_basis(R, P))
        self.s = s
        self.rank = int(np.sum(s > NULL_TOLERANCE * s[-1])) if s[-1] > 0.0 else 0
        self.U = U
        w = Q1.T @ y
        self.z = U.T @ w
        r0 = y - Q1 @ w
        q2w = Q2 @ w
        # The penalised objective at lam = 0: the fit's residual plus its fixed penalties,
        # both sums of squares, so no cancellation against |y|^2.
        self.d0 = float(r0 @ r0 + q2w @ q2w)
        # A y that the unpenalised functions fit exactly (D = 0) is best fitted by them:
        # a floor far below any noise keeps ln(D) finite, and the determinants then favour
        # the largest weight.
        self.d_floor = D_FLOOR * float(y @ y) + np.finfo(float).tiny
        self.rss0 = float(r0 @ r0)
        Q1U = Q1 @ U
        self.h = Q1U.T @ r0
        self.G = Q1U.T @ Q1U  # U' Q1'Q1 U: the identity but for the fixed penalties' share
        self.g = np.diag(self.G).copy()
        self.null = self._null_dimension(R, P, held)

    def _null_dimension(
        self, R: np.ndarray, P: np.ndarray, held: tuple[np.ndarray, float] | None
    ) -> int:
        """Dimension of the functions no penalty sees; sets the log-determinant terms."""
        k = len(self.s)
        if held is None:
            # log|lam P|_+ = rank ln(lam) + a constant.
            self.mu = np.ones(self.rank)
            self.held_weight = 0.0
            return k - self.rank
        P_held, weight = held
        # log|lam P + c P_held|_+ on the range of T = P + P_held: with T's whitened
        # eigenvectors, P has eigenvalues mu in [0, 1] and P_held 1 - mu, so the
        # determinant is prod(lam mu + c (1 - mu)) times a constant.
        t, W = _eigh(_in_basis(R, P) + _in_basis(R, P_held))
        keep = t > NULL_TOLERANCE * t[-1] if t[-1] > 0.0 else np.zeros(k, bool)
        Wk = W[:, keep] / np.sqrt(t[keep])
        mu = np.linalg.eigvalsh(Wk.T @ _in_basis(R, P) @ Wk)
        self.mu = np.clip(mu, 0.0, 1.0)
        self.held_weight = weight
        return k - int(keep.sum())

    def shrinkage(self, lam: np.ndarray) -> np.ndarray:
        """(len(lam), k): 1 / (1 + lam s) for each trial weight and eigen-direction."""
        return np.asarray(1.0 / (1.0 + np.multiply.outer(lam, self.s)))

    def edf(self, lam: np.ndarray) -> np.ndarray:
        """Trace of the hat matrix ``Phi (Phi'Phi + fixed + lam P)^-1 Phi'``."""
        return self.shrinkage(lam) @ self.g

    def rss(self, lam: np.ndarray) -> np.ndarray:
        """Residual sum of squares of the fit at each weight."""
        a = self.z * (1.0 - self.shrinkage(lam))  # the part of the fit the penalty removes
        quad = np.einsum("gi,ij,gj->g", a, self.G, a)
        return np.asarray(np.maximum(self.rss0 + 2.0 * (a @ self.h) + quad, 0.0))

    def reml(self, lam: np.ndarray) -> np.ndarray:
        """-2 x the restricted log-likelihood with the noise variance profiled out, up to a
        constant: (n - M) ln(D) + ln|Phi'Phi + S| - ln|S|_+, with D the penalised objective
        at its minimum and M the dimension of the penalties' common null space."""
        shrink = self.shrinkage(lam)
        d = self.d0 + (self.z * self.z * (1.0 - shrink)).sum(axis=1)
        d = np.maximum(d, self.d_floor)
        log_det_fit = -np.log(shrink).sum(axis=1)  # sum of ln(1 + lam s)
        c = self.held_weight
        log_det_pen = np.log(np.multiply.outer(lam, self.mu) + c * (1.0 - self.mu)).sum(axis=1)
        return np.asarray((self.n - self.null) * np.log(d) + log_det_fit - log_det_pen)

    def gcv(self, lam: np.ndarray) -> np.ndarray:
        """Generalised cross-validation score n RSS / (n - edf)^2."""
        free = np.maximum(self.n - self.edf(lam), 1e-300)
        return np.asarray(self.n * self.rss(lam) / (free * free))

    def coef(self, lam: float) -> np.ndarray:
        """The fit's coefficients at one weight (for checks; the estimator uses the core)."""
        c = self.U @ (self.z / (1.0 + lam * self.s))
        return np.linalg.solve(self.R, c)

    def search_range(self) -> tuple[float, float]:
        """ln(lam) from where the penalty is negligible to where it dominates."""
        top = self.s[-1]
        low = self.s[len(self.s) - self.rank]  # smallest eigenvalue of a penalised direction
        return math.log(SEARCH_MARGIN / top), math.log(1.0 / (SEARCH_MARGIN * low))


def _eigh(A: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Eigenvalues (ascending, rounding below zero set to zero) and vectors of a PSD A."""
    s, U = np.linalg.eigh(0.5 * (A + A.T))
    return np.maximum(s, 0.0), U


def _in_basis(R: np.ndarray, P: np.ndarray) -> np.ndarray:
    """R^-T P R^-1: a penalty in the orthogonal basis of the factorised design."""
    left = np.linalg.solve(R.T, P)
    return np.linalg.solve(R.T, left.T).T


def _root(A: np.ndarray) -> np.ndarray:
    """E with E'E = A for a symmetric positive semi-definite A (rows of its range only)."""
    a, V = _eigh(A)
    keep = a > NULL_TOLERANCE * a[-1] if a[-1] > 0.0 else np.zeros(len(a), bool)
    return np.asarray(np.sqrt(a[keep])[:, None] * V[:, keep].T)


def _fixed_root(k: int, ridge: float, terms: list[tuple[np.ndarray, float]]) -> np.ndarray:
    """Rows whose Gram matrix is ridge I plus the held penalty terms."""
    rows = [math.sqrt(ridge) * np.eye(k)]
    rows += [math.sqrt(weight) * _root(P) for P, weight in terms if weight > 0.0]
    return np.vstack(rows)


def _minimise(
    f: Callable[[np.ndarray], np.ndarray], low: float, high: float
) -> tuple[float, float]:
    """Minimum of a criterion on [low, high] in ln(lam): a grid, then golden section.

    ``f`` maps an array of ln(lam) to the criterion's values. Returns (ln lam, value).
    """
    n_grid = max(int(math.ceil((high - low) / GRID_STEP)) + 1, 3)
    grid = np.linspace(low, high, n_grid)
    values = f(grid)
    values = np.where(np.isnan(values), np.inf, values)
    i = int(np.argmin(values))
    if i == 0 or i == n_grid - 1:  # on the edge of the range: the criterion is flat beyond
        return float(grid[i]), float(values[i])
    a, b = float(grid[i - 1]), float(grid[i + 1])
    c = b - INV_PHI * (b - a)
    d = a + INV_PHI * (b - a)
    fc, fd = (float(v) for v in f(np.array([c, d])))
    while b - a > LOG_TOLERANCE:
        if fc <= fd:
            b, d, fd = d, c, fc
            c = b - INV_PHI * (b - a)
            fc = float(f(np.array([c]))[0])
        else:
            a, c, fc = c, d, fd
            d = a + INV_PHI * (b - a)
            fd = float(f(np.array([d]))[0])
    best, value = (c, fc) if fc <= fd else (d, fd)
    if value > values[i]:  # the grid point stays the best seen
        return float(grid[i]), float(values[i])
    return best, value


def _search(path: _Path, criterion: str) -> tuple[float, float]:
    """The weight (0 if no direction is penalised) and criterion value along a path."""
    if path.rank == 0:
        value = getattr(path, criterion)(np.array([0.0]))
        return 0.0, float(value[0])
    score = path.reml if criterion == "reml" else path.gcv
    low, high = path.search_range()
    log_lam, value = _minimise(lambda rho: score(np.exp(rho)), low, high)
    if criterion == "gcv" and log_lam == low:
        return 0.0, value  # GCV prefers no penalty at all
    return math.exp(log_lam), value


def choose_weights(
    Phi: np.ndarray,
    y: np.ndarray,
    R1: np.ndarray,
    R2: np.ndarray,
    gamma1: Weight,
    gamma2: Weight,
    *,
    ridge: float = 1e-10,
    criterion: str = "reml",
    n_obs: float | None = None,
) -> WeightChoice:
    """Choose the penalty weights given as ``"auto"`` by REML (or GCV).

    Parameters
    ----------
    Phi : ndarray of shape (n_samples, n_coefficients)
        Design matrix (features mapped onto [-1, 1]).
    y : ndarray of shape (n_samples,)
        Finite targets.
    R1, R2 : ndarray of shape (n_coefficients, n_coefficients)
        Slope and curvature penalty matrices of the basis.
    gamma1, gamma2 : float or "auto"
        Each weight: a number is held fixed, ``"auto"`` is chosen. With both ``"auto"``,
        the two are chosen together (alternating one-dimensional searches of the same
        two-dimensional criterion until neither moves).
    ridge : float, default=1e-10
        The fit's ridge term (a fixed penalty, part of every trial fit).
    criterion : {"reml", "gcv"}, default="reml"
        Restricted maximum likelihood (the estimator's choice) or generalised
        cross-validation.
    n_obs : float or None, default=None
        The number of observations the rows stand for, which the criteria count: the sum
        of the sample weights where the rows are weighted (integer weights then choose
        the weights of the repeated rows); None: the rows.

    Returns
    -------
    WeightChoice
        The weights, the effective degrees of freedom and the criterion's value.

    Raises
    ------
    ValueError
        For an unknown ``criterion``.

    Notes
    -----
    A weight search covers ln(gamma) between where the penalty changes the fit by less
    than one part in a million and where it shrinks every penalised direction to a
    millionth; a weight at the upper end means the data are fitted by the functions the
    penalty leaves free (a constant for ``gamma1``, a straight line for ``gamma2``). Each
    trial weight costs O(k^2) operations after one QR factorisation and one symmetric
    eigen-decomposition (k the number of coefficients). The criterion and the weights do
    not change when y is multiplied by a constant.

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> rng = np.random.default_rng(0)
    >>> x = np.linspace(-1.0, 1.0, 200)
    >>> y = np.sin(3.0 * x) + rng.normal(scale=0.1, size=200)
    >>> Phi = zarn.design_matrix_1d(20, x)
    >>> R1, R2 = zarn.smoothness_penalty_matrices_1d(20, -1.0, 1.0)
    >>> choice = choose_weights(Phi, y, R1, R2, 0.0, "auto")
    >>> 1e-9 < choice.gamma2 < 1e-3, 4.0 < choice.edf < 12.0
    (True, True)
    >>> coef = zarn.fit_regularized_linear(Phi, y, R1, R2, 0.0, choice.gamma2)
    >>> float(np.sqrt(np.mean((Phi @ coef - np.sin(3.0 * x)) ** 2))) < 0.03
    True
    """
    if criterion not in CRITERIA:
        raise ValueError(
            f"criterion must be one of {', '.join(map(repr, CRITERIA))}; got {criterion!r}"
        )
    n, k = Phi.shape
    y = y / power_of_two_scale(y)  # the choice is the same for any scale of y
    P1, P2 = n * np.asarray(R1, dtype=float), n * np.asarray(R2, dtype=float)
    ridge = _usable_ridge(Phi, ridge)
    auto1, auto2 = gamma1 == AUTO, gamma2 == AUTO
    g1 = 0.0 if auto1 else float(gamma1)
    g2 = 0.0 if auto2 else float(gamma2)
    if not (auto1 or auto2):
        return WeightChoice(g1, g2, effective_dof(Phi, R1, R2, g1, g2, ridge), criterion, math.nan)

    def search(P: np.ndarray, held_P: np.ndarray, held_weight: float) -> tuple[float, float, _Path]:
        """Choose the weight of P with held_P at held_weight: (weight, value, path)."""
        root = _fixed_root(k, ridge, [(held_P, held_weight)])
        held = (held_P, held_weight) if held_weight > 0.0 else None
        path = _Path(Phi, y, P, root, held, n_obs)
        return (*_search(path, criterion), path)

    if auto1 != auto2:  # one weight chosen, the other held
        P, held_P, held_weight = (P1, P2, g2) if auto1 else (P2, P1, g1)
        lam, value, path = search(P, held_P, held_weight)
        g1, g2 = (lam, g2) if auto1 else (g1, lam)
        return WeightChoice(g1, g2, float(path.edf(np.array([lam]))[0]), criterion, value)

    # Both chosen: the curvature weight first (the slope weight at zero), then each in turn.
    g2, value, path = search(P2, P1, 0.0)
    for _ in range(MAX_SWEEPS):
        new1, _, _ = search(P1, P2, g2)
        new2, value, path = search(P2, P1, new1)
        moved = max(_log_change(g1, new1), _log_change(g2, new2))
        g1, g2 = new1, new2
        if moved < SWEEP_TOLERANCE:
            break
    edf = float(path.edf(np.array([g2]))[0])
    return WeightChoice(g1, g2, edf, criterion, value)


def _log_change(old: float, new: float) -> float:
    if old == new:
        return 0.0
    if old <= 0.0 or new <= 0.0:
        return math.inf
    return abs(math.log(new / old))


def _usable_ridge(Phi: np.ndarray, ridge: float) -> float:
    """The ridge, or the estimator's default when it is zero and Phi lacks full rank."""
    if ridge > 0.0:
        return ridge
    n, k = Phi.shape
    if n >= k and np.linalg.matrix_rank(Phi) == k:
        return 0.0
    return FALLBACK_RIDGE


def effective_dof(
    Phi: np.ndarray,
    R1: np.ndarray | None,
    R2: np.ndarray | None,
    gamma1: float,
    gamma2: float,
    ridge: float,
) -> float:
    """Effective degrees of freedom of a penalised fit: the trace of its hat matrix.

    The hat matrix ``Phi (Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2)^-1 Phi'`` maps y
    to the fitted values; its trace counts the parameters the fit spends. It is computed
    from an orthogonal factorisation of ``Phi`` stacked over square roots of the
    penalties (never from the normal equations), so it stays accurate at degree 20.

    Parameters
    ----------
    Phi : ndarray of shape (n_samples, n_coefficients)
        Design matrix.
    R1, R2 : ndarray or None
        Penalty matrices (None where the weight is zero).
    gamma1, gamma2 : float
        Penalty weights, multiplied by n as in :func:`zarn.fit_regularized_linear`.
    ridge : float
        Ridge term.

    Returns
    -------
    float
        A number between 0 and ``min(n_samples, n_coefficients)``; the number of
        coefficients for an unpenalised full-rank fit.

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> x = np.linspace(-1.0, 1.0, 50)
    >>> Phi = zarn.design_matrix_1d(5, x)
    >>> round(effective_dof(Phi, None, None, 0.0, 0.0, 0.0), 10)
    6.0
    >>> R1, R2 = zarn.smoothness_penalty_matrices_1d(5, -1.0, 1.0)
    >>> 2.0 < effective_dof(Phi, R1, R2, 0.0, 1e3, 0.0) < 2.01  # nearly a straight line
    True
    """
    n, k = Phi.shape
    terms = [(np.asarray(R, dtype=float) * n, g) for R, g in ((R1, gamma1), (R2, gamma2)) if g]
    Q, _ = np.linalg.qr(np.vstack([Phi, _fixed_root(k, _usable_ridge(Phi, ridge), terms)]))
    Q1 = Q[:n]
    return float(np.sum(Q1 * Q1))
