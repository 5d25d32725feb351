"""Uncertainty of the least-squares fits: covariance, residual scale, degrees of freedom, rank
and the intervals built from them, with or without sample weights.

Every function works on the mapped design ``Phi`` (n x k, one column per basis function)
and the target ``y``. Sample weights have scikit-learn's meaning: they multiply the squared
residuals, a zero weight drops a sample, and integer weights give the coefficients of the
correspondingly repeated samples. For the uncertainty they are precision weights, as in
statsmodels' WLS and R's ``lm``: the residual scale is that of an observation of weight 1,
and the residual degrees of freedom count the samples of positive weight (so the standard
errors of repeated samples are not those of integer weights, which add no observations).

Both least-squares methods start from one QR factorisation of the weighted design with the
target as an extra column, ``[sqrt(w) Phi, sqrt(w) y] = Q [[R, z], [0, rho]]``
(:func:`zarn._fitting.augmented_factor`). Then ``||sqrt(w) (Phi b - y)||^2 =
||R b - z||^2 + rho^2`` for every b, so the k x k factor holds everything the fit and its
statistics need: the singular values of ``R`` are those of the weighted design, and
``R'R`` is its Gram matrix.
"""

from __future__ import annotations

import math
import numbers
import warnings
from collections.abc import Callable
from dataclasses import dataclass
from functools import cached_property, partial
from typing import Any

import numpy as np

from zarn._constants import ORDINARY
from zarn._fitting import (
    augmented_factor,
    least_squares,
    power_of_two,
    power_of_two_scale,
    r_factor,
)
from zarn._native import zarn_core as core
from zarn._validation import as_float_array, check_finite
from zarn.exceptions import RankWarning

# The spacing of doubles at 1. The core's minimum-norm least squares counts as zero the
# singular values below max(1, min(rows, columns)) * EPS times the largest (and below the
# smallest normal double); the rank here follows the same rule.
EPS = 2.0**-52
TINY = float(np.finfo(np.float64).tiny)  # the smallest normal double
# Rows of the design per block when summing the quadratic forms of the standard errors:
# bounds the temporary (rows x k) product at a few megabytes.
SE_BLOCK_ROWS = 8192
# A penalised fit defers the QR factor of its design to the first use of its uncertainty
# when the weighted design has at most this many elements (512 KB, kept with the fit until
# then) and its rank is certainly full: for small fits the factor costs more than the fit.
DEFER_ELEMENTS = 1 << 16
# The margin of certainly_full_rank: the smallest eigenvalue of the Gram matrix above this
# fraction of its trace. Far above the rank rule's threshold (k * 2**-52 on the singular
# values, about 1e-30 on the eigenvalues) and the Gram matrix's rounding (n * 2**-52 of
# the trace for the n <= DEFER_ELEMENTS rows it is used on), yet below the conditioning of
# ordinary polynomial designs.
RANK_MARGIN = 1e-6
KINDS = ("confidence", "prediction")


# ------------------------------------------------------------------- sample weights


def check_sample_weight(sample_weight: Any, n_samples: int) -> np.ndarray | None:
    """The sample weights as a float64 array of ``n_samples`` values, checked.

    None stays None (every weight 1); a single number gives every sample that weight.

    Raises
    ------
    ValueError
        For a shape other than ``(n_samples,)``, NaN or infinity, a negative weight, or
        weights that are all zero.
    TypeError
        For values that are not numbers.

    Examples
    --------
    >>> check_sample_weight([1, 0, 2], 3)
    array([1., 0., 2.])
    >>> check_sample_weight([1.0, -1.0], 2)
    Traceback (most recent call last):
    ...
    ValueError: Negative values in data passed to sample_weight (the first at sample 1)
    """
    if sample_weight is None:
        return None
    if isinstance(sample_weight, numbers.Real) and not isinstance(sample_weight, bool):
        w = np.full(n_samples, float(sample_weight))
    else:
        w = as_float_array(sample_weight, "sample_weight")
    if w.ndim != 1 or len(w) != n_samples:
        raise ValueError(
            f"sample_weight.shape == {w.shape}, expected ({n_samples},): one weight per sample of X"
        )
    check_finite(w, "sample_weight")
    negative = np.flatnonzero(w < 0.0)
    if len(negative):
        raise ValueError(
            "Negative values in data passed to sample_weight "
            f"(the first at sample {int(negative[0])})"
        )
    if not (w > 0.0).any():
        raise ValueError("sample_weight is zero for every sample: nothing is left to fit")
    return w


@dataclass(frozen=True)
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
        w = w / (unit * unit)
    sw = np.sqrt(w)
    return WeightedRows(Phi * sw[:, None], y * sw, float(w.sum()), unit, keep)


def rank_threshold(singular_values: np.ndarray, n_rows: int, n_cols: int) -> float:
    """Singular values below this count as zero (the core's minimum-norm least squares)."""
    top = float(singular_values[0]) if len(singular_values) else 0.0
    return max(top * max(1, min(n_rows, n_cols)) * EPS, TINY)


# ------------------------------------------------------------ the fits' statistics


class Uncertainty:
    """The uncertainty of a fit's coefficients, and the intervals it gives.

    Built by :func:`ols`, :func:`penalized` and :func:`given`. The rank is computed with
    the fit (a fit that cannot determine its coefficients is warned about); the covariance,
    the effective number of parameters and what depends on them on first use, from the
    small R factor of the weighted design, so that a fit whose uncertainty is never asked
    for does not pay for it. A penalised fit of a small design whose rank is certainly full
    (:func:`certainly_full_rank`) defers the factor itself, with the singular values and
    the residual norm (``factor``).

    Attributes
    ----------
    R : ndarray of shape (min(n_obs, k), k)
        R factor of the weighted design (weights in units of ``unit**2``).
    rss_root : float
        Square root of the weighted residual sum of squares, in the units of y and of
        weight 1.
    n_obs : int
        Samples of positive weight.
    singular_values : ndarray of shape (min(n_obs, k),)
        Singular values of the weighted design, largest first.
    rank : int
        Numerical rank of the weighted design.
    unit : float
        Power of two: the weights of ``R`` are the sample weights over ``unit**2``.
    penalty : ndarray of shape (k, k), callable or None
        The penalty S of a penalised fit (in the units of ``R``), or a picklable callable
        that builds it on first use; None for OLS.
    normal : bool
        Whether intervals use normal quantiles (robust fits) rather than Student's t
        with ``df_resid`` degrees of freedom.
    fixed : tuple (cov, scale, edf) or None
        A fit's own covariance, scale and edf (robust fits), used as they are.
    factor : callable or None
        Where some of R, rss_root and singular_values are None: a picklable callable (a
        :func:`functools.partial` of a module function) that returns the three, in this
        order (and possibly more).
    """

    def __init__(
        self,
        R: np.ndarray | None,
        rss_root: float | None,
        n_obs: int,
        singular_values: np.ndarray | None,
        rank: int,
        unit: float = 1.0,
        penalty: np.ndarray | Callable[[], np.ndarray] | None = None,
        normal: bool = False,
        fixed: tuple[np.ndarray, float, float] | None = None,
        factor: Callable[[], tuple[Any, ...]] | None = None,
    ) -> None:
        # What is given is stored where the cached properties below look first.
        given = {"R": R, "rss_root": rss_root, "singular_values": singular_values}
        self.__dict__.update({name: v for name, v in given.items() if v is not None})
        self.factor = factor
        self.n_obs = n_obs
        self.rank = rank
        self.unit = unit
        self.penalty = penalty
        self.normal = normal
        self.fixed = fixed

    @cached_property
    def _factored(self) -> tuple[Any, ...]:
        assert self.factor is not None  # only reached for a deferred factor
        return self.factor()

    @cached_property
    def R(self) -> np.ndarray:  # noqa: N802 - the factor's usual name
        """R factor of the weighted design."""
        return self._factored[0]

    @cached_property
    def rss_root(self) -> float:
        """Square root of the weighted residual sum of squares."""
        return self._factored[1]

    @cached_property
    def singular_values(self) -> np.ndarray:
        """Singular values of the weighted design, largest first."""
        return self._factored[2]

    @cached_property
    def _moments(self) -> tuple[np.ndarray, float]:
        """(covariance divided by scale**2, edf)."""
        if self.fixed is not None:
            cov, scale, edf = self.fixed
            if not scale > 0.0:
                return cov, edf
            # Divided twice where scale**2 underflows (a scale below 1.5e-154), not by 0.
            square = scale * scale
            return (cov / square if square > 0.0 else cov / scale / scale), edf
        unit2 = self.unit * self.unit
        if self.penalty is None:
            cov_unscaled, _, rank = _svd_parts(self.R)
            return cov_unscaled / unit2, float(rank)
        S = self.penalty() if callable(self.penalty) else self.penalty
        cov_unscaled, edf = _posterior(self.R, S)
        return cov_unscaled / unit2, edf

    @property
    def cov_unscaled(self) -> np.ndarray:
        """Covariance of the coefficients divided by ``scale**2``."""
        return self._moments[0]

    @property
    def edf(self) -> float:
        """Effective number of parameters (trace of the hat matrix)."""
        return self._moments[1]

    @property
    def df_resid(self) -> float:
        """Residual degrees of freedom: samples of positive weight less ``edf``."""
        return self.n_obs - self.edf

    @property
    def scale(self) -> float:
        """Residual standard deviation of an observation of weight 1 (NaN without residual
        degrees of freedom)."""
        if self.fixed is not None:
            return float(self.fixed[1])
        return float(residual_scale(self.rss_root, self.df_resid))

    @property
    def cov(self) -> np.ndarray:
        """Covariance matrix of the coefficients."""
        scale = self.scale
        with np.errstate(over="ignore", invalid="ignore"):
            return self.cov_unscaled * scale * scale

    @property
    def stderr(self) -> np.ndarray:
        """Standard errors of the coefficients."""
        return self.scale * np.sqrt(np.diagonal(self.cov_unscaled))

    def critical_value(self, level: float) -> float:
        """Two-sided quantile for a ``level`` interval (t with df_resid, or normal)."""
        q = (1.0 - check_level(level)) / 2.0
        if self.normal:
            return -normal_quantile(q)
        return -t_quantile(q, self.df_resid)

    def bounds(
        self,
        Phi0: np.ndarray,
        mean: np.ndarray,
        level: float = 0.95,
        kind: str = "confidence",
        weights: np.ndarray | None = None,
    ) -> tuple[np.ndarray, np.ndarray]:
        """Lower and upper bounds at the mapped design rows ``Phi0`` around ``mean``.

        ``mean -/+ half_width(Phi0, critical_value(level), kind, weights)``.
        """
        half = self.half_width(Phi0, self.critical_value(level), check_kind(kind), weights)
        return mean - half, mean + half

    def half_width(
        self,
        Phi0: np.ndarray,
        c: float,
        kind: str,
        weights: np.ndarray | None = None,
    ) -> np.ndarray:
        """Half-widths of the intervals at the mapped design rows ``Phi0``.

        ``"confidence"``: the interval of the mean curve, ``c * scale * sqrt(phi' C phi)``
        with C = ``cov_unscaled``; ``"prediction"``: that of a new observation of weight w
        (``weights``, 1 where None), whose variance is ``scale**2 / w``:
        ``c * scale * sqrt(1 / w + phi' C phi)``. c is :meth:`critical_value`.
        """
        h = quadratic_forms(Phi0, self.cov_unscaled)
        if kind == "prediction":
            with np.errstate(divide="ignore"):  # a zero weight: an unbounded interval
                h += 1.0 if weights is None else 1.0 / weights
        with np.errstate(over="ignore", invalid="ignore"):
            return (c * self.scale) * np.sqrt(h)


def check_level(level: Any) -> float:
    """A confidence level strictly between 0 and 1."""
    if isinstance(level, bool) or not isinstance(level, numbers.Real):
        raise TypeError(f"level must be a real number in (0, 1), got {level!r}")
    level = float(level)
    if not 0.0 < level < 1.0:
        raise ValueError(f"level must lie strictly between 0 and 1, got {level}")
    return level


def check_kind(kind: Any) -> str:
    """``"confidence"`` or ``"prediction"``."""
    if not isinstance(kind, str) or kind not in KINDS:
        raise ValueError(f"kind must be 'confidence' or 'prediction'; got {kind!r}")
    return kind


def quadratic_forms(Phi0: np.ndarray, C: np.ndarray) -> np.ndarray:
    """``phi' C phi`` for every row phi of Phi0, in blocks of rows (never negative).

    Examples
    --------
    >>> quadratic_forms(np.array([[1.0, 0.0], [1.0, 2.0]]), np.diag([1.0, 0.25]))
    array([1., 2.])
    """
    n = len(Phi0)
    out = np.empty(n)
    for i in range(0, n, SE_BLOCK_ROWS):
        block = Phi0[i : i + SE_BLOCK_ROWS]
        with np.errstate(over="ignore", invalid="ignore"):
            np.einsum("ij,ij->i", block @ C, block, out=out[i : i + SE_BLOCK_ROWS])
    # C is positive semi-definite: a negative form is rounding.
    np.maximum(out, 0.0, out=out)
    return out


def residual_scale(rss_root: float | np.ndarray, df_resid: float) -> Any:
    """``sqrt(rss / df_resid)`` from ``sqrt(rss)``, one or one per series; NaN without
    residual degrees of freedom."""
    if not df_resid > 0.0:
        return np.full(np.shape(rss_root), np.nan)[()]
    return rss_root / math.sqrt(df_resid)


def _norm(v: np.ndarray, last: float) -> float:
    """Euclidean norm of ``[v, last]``, without overflow or underflow of the squares."""
    if len(v) <= 64:
        return math.hypot(*v.tolist(), last)
    s = power_of_two(max(float(np.abs(v).max()), abs(last)))
    return s * math.hypot(math.sqrt(float(np.sum(np.square(v / s)))), last / s)


def _singular_values(R: np.ndarray) -> tuple[np.ndarray, int]:
    """Singular values of a factor R and its rank (the core's rule)."""
    s = np.linalg.svd(R, compute_uv=False)
    return s, rank_of(s, *R.shape)


def rank_of(singular_values: np.ndarray, n_rows: int, n_cols: int) -> int:
    """Numerical rank from the singular values of an n_rows x n_cols matrix (the core's rule)."""
    threshold = rank_threshold(singular_values, n_rows, n_cols)
    return int(np.count_nonzero(singular_values >= threshold))


def _svd_parts(R: np.ndarray) -> tuple[np.ndarray, np.ndarray, int]:
    """``((R'R)^+, singular values, rank)`` of a factor R, by its SVD and the rank rule."""
    _, s, Vt = np.linalg.svd(R)
    rank = int(np.count_nonzero(s >= rank_threshold(s, len(R), R.shape[1])))
    B = Vt[:rank].T / s[:rank]
    return B @ B.T, s, rank


def _posterior(R: np.ndarray, S: np.ndarray) -> tuple[np.ndarray, float]:
    """``((R'R + S)^-1, trace((R'R + S)^-1 R'R))``: a pseudo-inverse where singular."""
    G = R.T @ R
    M = G + S
    M = (M + M.T) / 2.0  # exactly symmetric, for the eigendecomposition
    lam, V = np.linalg.eigh(M)
    # M is positive semi-definite; its pseudo-inverse drops the eigenvalues at rounding
    # level (a singular M needs a zero ridge and a rank-deficient design).
    positive = lam > max(float(lam[-1]), 0.0) * len(lam) * EPS
    B = V[:, positive] / np.sqrt(lam[positive])
    Minv = B @ B.T
    return Minv, float(np.sum(Minv * G))


def ols_design(R: np.ndarray, n_obs: int) -> Uncertainty:
    """The OLS uncertainty of a design from its weighted R factor, without a target.

    ``cov_unscaled`` is the pseudo-inverse of the Gram matrix ``R'R`` on the singular
    values above the rank threshold (``(Phi'W Phi)^-1`` for a full-rank design), ``edf``
    the rank and ``df_resid`` ``n_obs - rank``: what every target fitted on the same design
    (many series) shares. Each target's scale is :func:`residual_scale` of its residuals.

    Examples
    --------
    >>> u = ols_design(np.array([[2.0, 0.0], [0.0, 0.5]]), n_obs=10)
    >>> u.rank, u.df_resid, u.cov_unscaled.round(6).tolist()
    (2, 8.0, [[0.25, 0.0], [0.0, 4.0]])
    """
    s, rank = _singular_values(R)
    return Uncertainty(R, math.nan, n_obs, s, rank)


def penalized_design(R: np.ndarray, S: np.ndarray, n_obs: int) -> Uncertainty:
    """The posterior uncertainty of a penalised fit's design, without a target.

    With the Gram matrix ``G = R'R = Phi'W Phi`` of the weighted design and the penalty
    ``S``, ``cov_unscaled`` is ``(G + S)^-1`` (mgcv's Bayesian ``Vp`` over the scale),
    ``edf = trace((G + S)^-1 G)`` and ``df_resid = n_obs - edf``. Rank and singular values
    are those of the weighted design, as for OLS.

    Examples
    --------
    >>> R = np.array([[2.0, 0.0], [0.0, 1.0]])  # G = diag(4, 1)
    >>> u = penalized_design(R, np.diag([0.0, 1.0]), n_obs=10)
    >>> u.edf, u.df_resid, u.cov_unscaled.diagonal().round(12).tolist()
    (1.5, 8.5, [0.25, 0.5])
    """
    s, rank = _singular_values(R)
    return Uncertainty(R, math.nan, n_obs, s, rank, penalty=S)


def ols(
    Phi: np.ndarray, y: np.ndarray, w: np.ndarray | None = None
) -> tuple[np.ndarray, Uncertainty]:
    """Minimum-norm (weighted) least squares through the QR factor, with its uncertainty.

    The QR factorisation of ``[sqrt(w) Phi, sqrt(w) y]`` (NumPy's LAPACK, in blocks of
    rows) reduces the problem to the k x k factor; the core's minimum-norm least squares
    :func:`zarn.ols` on that factor gives the solution of the full problem (the same
    minimum-norm solution, up to rounding, for rank-deficient designs too). The statistics
    are the textbook ones of OLS and WLS (those of statsmodels): ``cov = scale**2
    (Phi'W Phi)^+``, ``scale**2 = sum(w r**2) / (n_obs - rank)``.

    Parameters
    ----------
    Phi : ndarray of shape (n, k)
        Mapped design matrix.
    y : ndarray of shape (n,)
        Target.
    w : ndarray of shape (n,) or None
        Checked sample weights (:func:`check_sample_weight`).

    Returns
    -------
    coef : ndarray of shape (k,)
    uncertainty : Uncertainty

    Raises
    ------
    ValueError
        For NaN or infinity in y, or coefficients beyond the range of doubles.

    Examples
    --------
    >>> x = np.array([0.0, 1.0, 2.0, 3.0])
    >>> Phi = np.column_stack([np.ones(4), x])
    >>> coef, u = ols(Phi, np.array([1.0, 3.0, 4.0, 7.0]))
    >>> coef.round(6).tolist(), round(u.scale, 6), u.df_resid
    ([0.9, 1.9], 0.591608, 2.0)
    """
    rows = weighted_rows(Phi, y, w)
    R, z, rho = augmented_factor(rows.Phi, rows.y)
    s = 1.0
    if not (all(map(math.isfinite, z.tolist())) and math.isfinite(rho)):
        check_finite(rows.y, "y")  # NaN or infinity in y shows in every entry of z
        # Finite values whose sums of squares overflow: fit y / s, a power of two (exact).
        s = power_of_two_scale(rows.y)
        R, z, rho = augmented_factor(rows.Phi, rows.y / s)
    coef = core.ols(R, z)
    if s == 1.0 and 0.0 < max(map(abs, coef.tolist()), default=0.0) < ORDINARY[0]:
        # Tiny y: solve at a scale where no digits are lost to underflow.
        s = power_of_two_scale(rows.y)
        R, z, rho = augmented_factor(rows.Phi, rows.y / s)
        coef = core.ols(R, z)
    singular_values, rank = _singular_values(R)
    residual = partial(_ols_rss_root, R, z, rho, coef, s, rows.unit)  # before coef is scaled
    if s != 1.0 or rows.unit != 1.0:
        with np.errstate(over="ignore"):
            coef = coef * s
        if not np.isfinite(coef).all():
            raise ValueError(
                "the ols fit's coefficients exceed the range of doubles: y is too large "
                f"(max |y| = {float(np.abs(y).max()):.3g}); rescale it"
            )
        singular_values = singular_values * rows.unit
    u = Uncertainty(R, None, rows.n_obs, singular_values, rank, rows.unit, factor=residual)
    return coef, u


def _ols_rss_root(
    R: np.ndarray, z: np.ndarray, rho: float, coef: np.ndarray, s: float, unit: float
) -> tuple[None, float, None]:
    """(None, rss_root, None): the residual norm of the ols fit ``coef`` of ``(R, z, rho)``
    (of y / s, the weights in units of ``unit**2``), in the units of y and of weight 1."""
    rss_root = _norm(R @ coef - z, rho)
    if s != 1.0 or unit != 1.0:
        with np.errstate(over="ignore"):
            rss_root = rss_root * (s * unit)
    return None, rss_root, None


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


def penalized(
    Phi: np.ndarray,
    y: np.ndarray,
    w: np.ndarray | None,
    R1: np.ndarray | None,
    R2: np.ndarray | None,
    gamma1: float,
    gamma2: float,
    ridge: float,
) -> tuple[np.ndarray, Uncertainty]:
    """The penalised least-squares fit with its posterior uncertainty.

    Minimises ``sum(w r**2) + N gamma1 b'R1 b + N gamma2 b'R2 b + ridge |b|**2`` with
    N = ``sum(w)`` (the number of samples without weights), so that integer weights give
    the fit of repeated samples and weights scaled by a constant give the same fit. The
    core fits ``sqrt(w) Phi`` and ``sqrt(w) y`` on the samples of positive weight, with
    the gammas scaled so that its ``n gamma`` is ``N gamma``.

    The covariance is the Bayesian posterior one, ``scale**2 (Phi'W Phi + S)^-1`` with S
    the penalty, and ``scale**2 = sum(w r**2) / (n_obs - edf)`` (as mgcv's ``Vp``): it
    includes the bias that the penalty brings, which is what gives its intervals their
    coverage across the curve. See :func:`penalized_design`.

    Examples
    --------
    >>> x = np.linspace(-1, 1, 20)
    >>> Phi = np.column_stack([np.ones(20), x])
    >>> coef, u = penalized(Phi, 1 + 2 * x, None, None, None, 0.0, 0.0, 1e-10)
    >>> coef.round(6).tolist(), round(u.edf, 6)
    ([1.0, 2.0], 2.0)
    """
    rows = weighted_rows(Phi, y, w)
    m = rows.n_obs
    factor = rows.total / m  # 1.0 without weights
    g1, g2 = gamma1 * factor, gamma2 * factor
    coef = least_squares("penalized", rows.Phi, rows.y, R1, R2, g1, g2, ridge)
    S = partial(penalty_matrix, len(coef), R1, R2, m * g1, m * g2, ridge)
    unit = rows.unit
    if rows.Phi.size <= DEFER_ELEMENTS and certainly_full_rank(rows.Phi):
        # The factor waits until the uncertainty is asked for; y is copied, as the
        # caller may change its array in the meantime.
        deferred = partial(_penalized_factor, rows.Phi, rows.y.copy(), coef, unit)
        k = rows.Phi.shape[1]
        return coef, Uncertainty(None, None, m, None, k, unit, S, factor=deferred)
    R, rss_root, singular_values, rank = _penalized_factor(rows.Phi, rows.y, coef, unit)
    return coef, Uncertainty(R, rss_root, m, singular_values, rank, unit=unit, penalty=S)


def _penalized_factor(
    Phi: np.ndarray, y: np.ndarray, coef: np.ndarray, unit: float
) -> tuple[np.ndarray, float, np.ndarray, int]:
    """(R, rss_root, singular values, rank) of a penalised fit of the weighted rows (Phi, y).

    The factor is that of ``[Phi, y / s]`` for the power of two s that brings the
    coefficients near 1; ``unit`` is the weights' (:class:`WeightedRows`).
    """
    s = power_of_two_scale(coef)
    R, z, rho = augmented_factor(Phi, y / s)
    singular_values, rank = _singular_values(R)
    rss_root = _norm(R @ (coef / s) - z, rho)
    with np.errstate(over="ignore"):
        rss_root = rss_root * (s * unit)
    return R, rss_root, singular_values * unit, rank


def certainly_full_rank(Phi: np.ndarray) -> bool:
    """Whether the rank rule certainly finds the (n x k, n >= k) design of full rank.

    True when the Cholesky factorisation of ``Phi'Phi - RANK_MARGIN * trace(Phi'Phi) I``
    succeeds: the smallest singular value of Phi is then above ``sqrt(RANK_MARGIN / k)``
    times the largest, far above both the threshold of the rank rule and the rounding
    errors of the Gram matrix, of the QR factor and of its singular values. False says
    nothing (the rank is then computed).

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
    G.flat[:: k + 1] -= RANK_MARGIN * trace  # the diagonal
    try:
        np.linalg.cholesky(G)
    except np.linalg.LinAlgError:
        return False
    return True


def given(
    Phi: np.ndarray,
    w: np.ndarray | None,
    cov: np.ndarray,
    scale: float,
    edf: float | None = None,
) -> Uncertainty:
    """The uncertainty of a fit that supplies its own covariance and scale (robust fits).

    Rank and singular values are those of the weighted design (sample weights, not the
    fit's own robustness weights); edf defaults to the rank; intervals use normal
    quantiles, the asymptotic theory of M-estimators having no exact t.
    """
    rows = weighted_rows(Phi, np.zeros(len(Phi)), w)
    R = r_factor(rows.Phi)
    s, rank = _singular_values(R)
    fixed = (np.asarray(cov, dtype=np.float64), float(scale), float(rank if edf is None else edf))
    return Uncertainty(R, math.nan, rows.n_obs, s * rows.unit, rank, rows.unit, None, True, fixed)


def warn_if_rank_deficient(u: Uncertainty, k: int, stacklevel: int = 2) -> None:
    """Issue :class:`zarn.exceptions.RankWarning` for a design that cannot fix every
    coefficient: rank below k, or more coefficients than samples of positive weight."""
    if u.rank >= k and k <= u.n_obs:
        return
    warnings.warn(
        f"the mapped design has rank {u.rank} for {k} coefficients ({u.n_obs} samples of "
        "positive weight): the data do not determine every coefficient; lower the degree, "
        "use basis='total', add samples or a penalty",
        RankWarning,
        stacklevel=stacklevel + 1,
    )


# -------------------------------------------------------------------- quantiles

# Coefficients of Acklam's rational approximation of the normal quantile (relative error
# below 1.15e-9), refined below by a Halley step on the exact tail probability.
_A = (
    -39.69683028665376,
    220.9460984245205,
    -275.9285104469687,
    138.3577518672690,
    -30.66479806614716,
    2.506628277459239,
)
_B = (
    -54.47609879822406,
    161.5858368580409,
    -155.6989798598866,
    66.80131188771972,
    -13.28068155288572,
)
_C = (
    -0.007784894002430293,
    -0.3223964580411365,
    -2.400758277161838,
    -2.549732539343734,
    4.374664141464968,
    2.938163982698783,
)
_D = (0.007784695709041462, 0.3224671290700398, 2.445134137142996, 3.754408661907416)
_P_LOW = 0.02425  # Acklam's switch between the central and the tail approximations
_SQRT2 = math.sqrt(2.0)
_SQRT2PI = math.sqrt(2.0 * math.pi)


def _poly(coefs: tuple[float, ...], x: float) -> float:
    out = 0.0
    for c in coefs:
        out = out * x + c
    return out


def normal_quantile(p: float) -> float:
    """Quantile of the standard normal distribution, accurate to about 1e-15 relative.

    Examples
    --------
    >>> round(normal_quantile(0.975), 12)
    1.95996398454
    """
    p = float(p)
    if not 0.0 < p < 1.0:
        return -math.inf if p == 0.0 else math.inf if p == 1.0 else math.nan
    if p > 0.5:
        return -normal_quantile(1.0 - p)  # 1 - p is exact for p >= 0.5
    if p < _P_LOW:
        r = math.sqrt(-2.0 * math.log(p))
        x = _poly(_C, r) / (_poly(_D, r) * r + 1.0)
    else:
        r = (p - 0.5) ** 2
        x = (p - 0.5) * _poly(_A, r) / (_poly(_B, r) * r + 1.0)
    # Halley steps on F(x) - p, F(x) = erfc(-x / sqrt 2) / 2, which is exact in the lower
    # tail; the first one brings the error to rounding level.
    for _ in range(2):
        e = 0.5 * math.erfc(-x / _SQRT2) - p
        u = e * _SQRT2PI * math.exp(x * x / 2.0)
        x = x - u / (1.0 + x * u / 2.0)
    return x


# Stirling's series: ln Gamma(z) = (z - 1/2) ln z - z + ln(2 pi) / 2 + sum of B_2j /
# (2j (2j - 1) z^(2j - 1)); these terms make it exact to rounding for z >= 10.
_STIRLING = (1 / 12, -1 / 360, 1 / 1260, -1 / 1680, 1 / 1188, -691 / 360360, 1 / 156)
_STIRLING_MIN = 10.0


def _stirling_tail(z: float) -> float:
    z2 = z * z
    out = 0.0
    for c in reversed(_STIRLING):
        out = out / z2 + c
    return out / z


def _log_gamma_half_ratio(a: float) -> float:
    """ln(Gamma(a + 1/2) / Gamma(a)), exact to rounding for large a too."""
    if a < _STIRLING_MIN:
        return math.lgamma(a + 0.5) - math.lgamma(a)
    # The difference of the two Stirling series, arranged so that no large terms cancel.
    return (
        0.5 * math.log(a)
        + (a * math.log1p(0.5 / a) - 0.5)
        + (_stirling_tail(a + 0.5) - _stirling_tail(a))
    )


_CF_MAX_TERMS = 20000  # the fraction needs O(sqrt(a)) terms: ample up to a = 1e7
_TINY = 1e-300


def _beta_fraction(a: float, b: float, x: float) -> float:
    """Continued fraction of the regularised incomplete beta function (modified Lentz)."""
    qab, qap, qam = a + b, a + 1.0, a - 1.0
    c = 1.0
    d = 1.0 - qab * x / qap
    d = 1.0 / (d if abs(d) > _TINY else _TINY)
    h = d
    for m in range(1, _CF_MAX_TERMS):
        m2 = 2 * m
        aa = m * (b - m) * x / ((qam + m2) * (a + m2))
        d = 1.0 + aa * d
        d = 1.0 / (d if abs(d) > _TINY else _TINY)
        c = 1.0 + aa / c
        c = c if abs(c) > _TINY else _TINY
        h *= d * c
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2))
        d = 1.0 + aa * d
        d = 1.0 / (d if abs(d) > _TINY else _TINY)
        c = 1.0 + aa / c
        c = c if abs(c) > _TINY else _TINY
        step = d * c
        h *= step
        if abs(step - 1.0) < EPS:
            break
    return h


def _t_tail(t: float, df: float) -> tuple[float, float]:
    """(P(T > t), P(0 < T < t)) for t >= 0 under Student's t with df degrees of freedom.

    Each is computed directly where it is the smaller, the other as its complement to 1/2.
    """
    a = df / 2.0
    u = t * t / df
    # x = df / (df + t^2) and 1 - x, with their logarithms, without cancellation.
    x, one_minus_x = 1.0 / (1.0 + u), u / (1.0 + u)
    log_x = -math.log1p(u)
    log_1mx = -math.log1p(1.0 / u) if u > 0.0 else -math.inf
    # ln B(a, 1/2) = ln Gamma(a) + ln Gamma(1/2) - ln Gamma(a + 1/2)
    log_beta = 0.5 * math.log(math.pi) - _log_gamma_half_ratio(a)
    front = math.exp(a * log_x + 0.5 * log_1mx - log_beta)
    if x < (a + 1.0) / (a + 2.5):
        # P(T > t) = I_x(a, 1/2) / 2: the fraction converges here.
        tail = 0.5 * front * _beta_fraction(a, 0.5, x) / a
        return tail, 0.5 - tail
    # Near the centre: P(0 < T < t) = I_{1-x}(1/2, a) / 2.
    centre = front * _beta_fraction(0.5, a, one_minus_x)
    return 0.5 - centre, centre


def _t_log_density(t: float, df: float) -> float:
    return (
        _log_gamma_half_ratio(df / 2.0)
        - 0.5 * math.log(df * math.pi)
        - (df + 1.0) / 2.0 * math.log1p(t * t / df)
    )


# From this many degrees of freedom on, five terms of the Cornish-Fisher expansion of the t
# quantile in 1/df are exact to rounding for normal quantiles up to _T_EXPANSION_Z (tail
# probabilities down to 3e-7); beyond 1e5 degrees of freedom for any quantile. There the
# continued fraction would need hundreds of terms and lose digits.
_T_EXPANSION_DF = 1e3
_T_EXPANSION_Z = 5.0
_T_EXPANSION_ANY_DF = 1e5


def _t_expansion(z: float, df: float) -> float:
    """Cornish-Fisher (Abramowitz and Stegun 26.7.5) t quantile from the normal one z."""
    z2 = z * z
    g1 = (z2 + 1.0) * z / 4.0
    g2 = ((5.0 * z2 + 16.0) * z2 + 3.0) * z / 96.0
    g3 = (((3.0 * z2 + 19.0) * z2 + 17.0) * z2 - 15.0) * z / 384.0
    g4 = ((((79.0 * z2 + 776.0) * z2 + 1482.0) * z2 - 1920.0) * z2 - 945.0) * z / 92160.0
    g5 = ((((27.0 * z2 + 339.0) * z2 + 930.0) * z2 - 1782.0) * z2 - 765.0) * z2 + 17955.0
    g5 *= z / 368640.0
    return z + (g1 + (g2 + (g3 + (g4 + g5 / df) / df) / df) / df) / df


def t_quantile(p: float, df: float) -> float:
    """Quantile of Student's t distribution with ``df`` > 0 degrees of freedom.

    Exact formulas for df = 1 and 2; the Cornish-Fisher expansion for large df (the
    normal quantile for infinite df); otherwise Newton steps on the logarithm
    of the tail probability, computed from the regularised incomplete beta function by its
    continued fraction, from the expansion as a start. Agrees with
    ``scipy.stats.t.ppf`` to about 1e-13 relative; df need not be an integer.

    Examples
    --------
    >>> round(t_quantile(0.975, 10), 10)
    2.228138852
    >>> t_quantile(0.5, 3.5)
    0.0
    """
    p, df = float(p), float(df)
    if math.isnan(p) or math.isnan(df) or not df > 0.0 or not 0.0 <= p <= 1.0:
        return math.nan
    if p == 0.0 or p == 1.0:
        return -math.inf if p == 0.0 else math.inf
    if p > 0.5:
        return -t_quantile(1.0 - p, df)  # 1 - p is exact for p >= 0.5
    if p == 0.5:
        return 0.0
    q = p  # the lower tail, P(T < -t) = P(T > t)
    if df == 1.0:
        return -1.0 / math.tan(math.pi * q)
    if df == 2.0:
        return -(1.0 - 2.0 * q) / math.sqrt(2.0 * q * (1.0 - q))
    z = -normal_quantile(q)
    if df >= _T_EXPANSION_ANY_DF or (df >= _T_EXPANSION_DF and z <= _T_EXPANSION_Z):
        return -_t_expansion(z, df)
    return -_t_upper_newton(q, df, z)


def _t_upper_newton(q: float, df: float, z: float) -> float:
    """t > 0 with P(T > t) = q, by safeguarded Newton steps.

    In the tail the steps solve ln P(T > t) = ln q; near the centre P(0 < T < t) = 1/2 - q
    (exact for q >= 1/4), which keeps the digits of small t.
    """
    # The expansion is a good start for large df; for small df the normal tail is far too
    # light, and the tail of the density gives a start from the other side.
    t = _t_expansion(z, df)
    if df < 10.0 and q < 0.25:
        log_c = _t_log_density(0.0, df)
        tail = math.exp((log_c + (df - 1.0) / 2.0 * math.log(df) - math.log(q)) / df)
        t = min(t, tail) if math.isfinite(tail) else t
    central = q >= 0.25
    lo, hi = 0.0, math.inf
    log_q = math.log(q)
    for _ in range(200):
        tail, centre = _t_tail(t, df)
        if tail > q:
            lo = t
        else:
            hi = t
        density = math.exp(_t_log_density(t, df))
        if central:
            step = (0.5 - q - centre) / density
        else:
            # d ln P(T > t) / dt = -f(t) / P(T > t)
            step = (math.log(tail) - log_q) * tail / density
        new = t + step
        if not lo < new < hi:
            new = (lo + hi) / 2.0 if math.isfinite(hi) else 2.0 * max(t, 1.0)
        if abs(new - t) <= 4.0 * EPS * new:
            return new
        t = new
    return t
