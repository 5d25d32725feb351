"""Uncertainty of a fit's coefficients: covariance, residual scale, degrees of freedom and
the intervals built from them, one small class per kind of fit.

- :class:`LeastSquaresUncertainty` (``"ols"``): ``cov = scale**2 (Phi'W Phi)^+`` and
  ``scale**2 = sum(w r**2) / (n_obs - rank)``, the textbook statistics of OLS and WLS;
- :class:`PenalizedUncertainty` (``"penalized"``): the Bayesian posterior covariance
  ``scale**2 (Phi'W Phi + S)^-1`` with S the penalty and ``edf = trace((G + S)^-1 G)``, as
  mgcv's ``Vp``;
- :class:`GivenUncertainty` (``"robust"``): the fit's own covariance and scale, with
  intervals from normal quantiles (the asymptotic theory of M-estimators has no exact t);
- :class:`CovTypeUncertainty`: a least-squares or penalised fit's uncertainty under another
  covariance type (``cov_type``: HC0-HC3, HAC, ar1), from its residuals, with the type's
  quantiles (:mod:`zarn._covtypes`).

The least-squares kinds start from the small R factor of the weighted design (the weights
in units of ``unit**2``, see :class:`zarn._lstsq.WeightedRows`): its singular values are
those of the weighted design, ``R'R`` its Gram matrix. The covariance and what depends on
it are computed on first use, so that a fit whose uncertainty is never asked for (a grid
search) does not pay for it; a fit may defer the factor itself (``factor``).
"""

from __future__ import annotations

import math
import numbers
import warnings
from collections.abc import Callable
from functools import cached_property
from typing import Any

import numpy as np

from zarn._constants import EPS
from zarn._covtypes import Covariance, CovSpec, covariance
from zarn._lstsq import rank_threshold, singular_values, stacked_factor, well_determined
from zarn._quantiles import normal_quantile, t_quantile
from zarn.exceptions import RankWarning

# Rows of the design per block when summing the quadratic forms of the standard errors:
# bounds the temporary (rows x k) product at a few megabytes.
SE_BLOCK_ROWS = 8192
# Residual degrees of freedom at or below this share of the samples count as none. The
# default ridge (1e-10, in the weights' units) takes about ridge / sigma**2 from the edf
# for each singular value sigma of the weighted design, so a fit with as many
# coefficients as samples keeps a df of 1e-10 to 1e-7 (for sigma down to 1e-2 of the
# largest) that no residual stands behind; a smoothness penalty worth the name frees a
# sizeable fraction of a degree of freedom, far above this.
DF_TOLERANCE = 1e-6
KINDS = ("confidence", "prediction")


class Uncertainty:
    """What every kind of uncertainty offers: scale, covariance, standard errors, intervals.

    A subclass gives ``_moments`` (the covariance over ``(scale / unit)**2``, and edf)
    and ``scale``; ``unit`` is a power of two that keeps the first in range for weights
    of any magnitude (see :class:`zarn._lstsq.WeightedRows`), and ``normal`` says whether
    intervals use normal quantiles rather than Student's t with ``df_resid`` degrees of
    freedom.

    Attributes
    ----------
    n_obs : int
        Samples of positive weight.
    rank : int
        Numerical rank of the weighted design.
    """

    normal = False
    unit = 1.0

    def __init__(self, n_obs: int, rank: int) -> None:
        self.n_obs = n_obs
        self.rank = rank

    @property
    def singular_values(self) -> np.ndarray:
        """Singular values of the weighted design, largest first."""
        raise NotImplementedError

    @property
    def _moments(self) -> tuple[np.ndarray, float]:
        """(covariance divided by (scale / unit)**2, edf)."""
        raise NotImplementedError

    @property
    def scale(self) -> float:
        """Residual standard deviation of an observation of weight 1 (NaN without residual
        degrees of freedom)."""
        raise NotImplementedError

    @property
    def cov_unscaled(self) -> np.ndarray:
        """Covariance of the coefficients divided by ``scale**2``."""
        with np.errstate(over="ignore"):
            return self._moments[0] / self.unit / self.unit

    @property
    def edf(self) -> float:
        """Effective number of parameters (trace of the hat matrix), at most ``n_obs``."""
        return min(self._moments[1], float(self.n_obs))

    @property
    def df_resid(self) -> float:
        """Residual degrees of freedom: samples of positive weight less ``edf``
        (:func:`residual_dof`)."""
        return float(residual_dof(self.n_obs, self.edf))

    @property
    def cov(self) -> np.ndarray:
        """Covariance matrix of the coefficients."""
        relative = self.scale / self.unit  # in range for weights of any magnitude
        with np.errstate(over="ignore", invalid="ignore"):
            return self._moments[0] * relative * relative

    @property
    def stderr(self) -> np.ndarray:
        """Standard errors of the coefficients."""
        return np.asarray(self.scale * (np.sqrt(np.diagonal(self._moments[0])) / self.unit))

    @property
    def quantile_df(self) -> float:
        """Degrees of freedom of the quantiles of tests and intervals (inf: normal)."""
        return math.inf if self.normal else self.df_resid

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
        # sqrt(phi' C phi), from the covariance in the units of the fit (in range).
        spread = np.sqrt(quadratic_forms(Phi0, self._moments[0])) / self.unit
        if kind == "prediction":
            with np.errstate(divide="ignore"):  # a zero weight: an unbounded interval
                spread = np.hypot(spread, 1.0 if weights is None else 1.0 / np.sqrt(weights))
        with np.errstate(over="ignore", invalid="ignore"):
            return np.asarray((c * self.scale) * spread)


class LeastSquaresUncertainty(Uncertainty):
    """The uncertainty of a (weighted) least-squares fit, from its small R factor.

    Parameters
    ----------
    R : ndarray of shape (min(n_obs, k), k) or None
        R factor of the weighted design (weights in units of ``unit**2``).
    rss_root : float or None
        Square root of the weighted residual sum of squares, in the units of y and of
        weight 1 (NaN for a design without a target).
    n_obs, rank : int
        Samples of positive weight; numerical rank of the weighted design.
    singular_values : ndarray or None
        Singular values of the weighted design, largest first.
    unit : float
        Power of two: the weights of ``R`` are the sample weights over ``unit**2``.
    factor : callable or None
        Where some of R, rss_root and singular_values are None: a picklable callable (a
        :func:`functools.partial` of a module function) that returns the three, in this
        order (and possibly more).

    Examples
    --------
    >>> u = LeastSquaresUncertainty(np.array([[2.0, 0.0], [0.0, 0.5]]), math.nan, 10,
    ...                             np.array([2.0, 0.5]), 2)
    >>> u.rank, u.df_resid, u.cov_unscaled.round(6).tolist()
    (2, 8.0, [[0.25, 0.0], [0.0, 4.0]])
    """

    def __init__(
        self,
        R: np.ndarray | None,
        rss_root: float | None,
        n_obs: int,
        singular_values: np.ndarray | None,
        rank: int,
        unit: float = 1.0,
        factor: Callable[[], tuple[Any, ...]] | None = None,
    ) -> None:
        super().__init__(n_obs, rank)
        # What is given is stored where the cached properties below look first.
        given = {"R": R, "rss_root": rss_root, "singular_values": singular_values}
        self.__dict__.update({name: v for name, v in given.items() if v is not None})
        self.factor = factor
        self.unit = unit

    @cached_property
    def _factored(self) -> tuple[Any, ...]:
        assert self.factor is not None  # only reached for a deferred factor
        return self.factor()

    @cached_property
    def R(self) -> np.ndarray:  # noqa: N802 - the factor's usual name
        """R factor of the weighted design."""
        return np.asarray(self._factored[0])

    @cached_property
    def rss_root(self) -> float:
        """Square root of the weighted residual sum of squares."""
        return float(self._factored[1])

    @cached_property
    def singular_values(self) -> np.ndarray:
        """Singular values of the weighted design, largest first."""
        return np.asarray(self._factored[2])

    def _unscaled(self) -> tuple[np.ndarray, float]:
        """(covariance over scale**2 in the units of R, edf)."""
        cov_unscaled, _, rank = _svd_parts(self.R)
        return cov_unscaled, float(rank)

    @cached_property
    def _moments(self) -> tuple[np.ndarray, float]:
        return self._unscaled()

    @property
    def scale(self) -> float:
        """Residual standard deviation of an observation of weight 1."""
        return float(residual_scale(self.rss_root, self.df_resid))


class PenalizedUncertainty(LeastSquaresUncertainty):
    """The posterior uncertainty of a penalised least-squares fit.

    As :class:`LeastSquaresUncertainty`, with ``penalty`` the penalty S (in the units of
    ``R``) or a picklable callable that builds it on first use: ``cov_unscaled`` is
    ``(R'R + S)^-1`` (over ``unit**2``) and ``edf = trace((R'R + S)^-1 R'R)``.

    Examples
    --------
    >>> R = np.array([[2.0, 0.0], [0.0, 1.0]])  # G = diag(4, 1)
    >>> u = PenalizedUncertainty(R, math.nan, 10, np.array([2.0, 1.0]), 2,
    ...                          penalty=np.diag([0.0, 1.0]))
    >>> u.edf, u.df_resid, u.cov_unscaled.diagonal().round(12).tolist()
    (1.5, 8.5, [0.25, 0.5])
    """

    def __init__(self, *args: Any, penalty: np.ndarray | Callable[[], np.ndarray], **kwargs: Any):
        super().__init__(*args, **kwargs)
        self.penalty = penalty

    def _unscaled(self) -> tuple[np.ndarray, float]:
        S = self.penalty() if callable(self.penalty) else self.penalty
        return _posterior(self.R, S)


class GivenUncertainty(Uncertainty):
    """The uncertainty of a fit that supplies its own covariance, scale and edf (robust).

    Rank and singular values are those of the weighted design (sample weights, not the
    fit's own robustness weights); the singular values may be given as a picklable
    callable, called on first use. Intervals use normal quantiles.

    Examples
    --------
    >>> u = GivenUncertainty(np.diag([4.0, 1.0]), 2.0, 2.0, 10, np.array([3.0, 1.0]), 2)
    >>> u.stderr.tolist(), u.df_resid, round(u.critical_value(0.95), 4)
    ([2.0, 1.0], 8.0, 1.96)
    """

    normal = True

    def __init__(
        self,
        cov: np.ndarray,
        scale: float,
        edf: float,
        n_obs: int,
        singular_values: np.ndarray | Callable[[], np.ndarray],
        rank: int,
    ) -> None:
        super().__init__(n_obs, rank)
        self._cov, self._scale, self._edf = cov, scale, edf
        self._values = singular_values

    @cached_property
    def singular_values(self) -> np.ndarray:
        """Singular values of the weighted design, largest first."""
        return self._values() if callable(self._values) else self._values

    @property
    def _moments(self) -> tuple[np.ndarray, float]:
        cov, scale, edf = self._cov, self._scale, self._edf
        if not scale > 0.0:
            return cov, edf
        # Divided twice where scale**2 underflows (a scale below 1.5e-154), not by 0.
        square = scale * scale
        return (cov / square if square > 0.0 else cov / scale / scale), edf

    @property
    def scale(self) -> float:
        """The fit's own scale."""
        return float(self._scale)


class CovTypeUncertainty(Uncertainty):
    """A least-squares or penalised fit's uncertainty under the covariance type ``spec``.

    The scale, edf, rank and singular values are those of ``base`` (the fit's default
    uncertainty); the covariance is :func:`zarn._covtypes.covariance` of the residuals
    ``y - Phi coef`` around the bread ``base``'s covariance over the scale squared (the
    penalty included), with the type's quantiles: normal for HC0-HC3 and HAC unless
    ``use_t``, t with the reduced degrees of freedom for ``"ar1"``. ``order`` puts the
    samples in time order for HAC and ar1 (None: as given). Computed on first use.

    Examples
    --------
    >>> from zarn._covtypes import check_cov_type
    >>> Phi = np.column_stack([np.ones(6), np.arange(6.0)])
    >>> y = np.array([0.1, 1.2, 1.9, 3.2, 3.9, 5.1])
    >>> coef = np.linalg.lstsq(Phi, y, rcond=None)[0]
    >>> base = design_uncertainty(np.linalg.qr(Phi, mode="r"), 6, None)
    >>> base.__dict__["rss_root"] = float(np.linalg.norm(y - Phi @ coef))
    >>> u = CovTypeUncertainty(base, check_cov_type("HC0"), Phi, y, coef, None)
    >>> u.stderr.round(4).tolist(), u.quantile_df
    ([0.0623, 0.0198], inf)
    """

    def __init__(
        self,
        base: Uncertainty,
        spec: CovSpec,
        Phi: np.ndarray,
        y: np.ndarray,
        coef: np.ndarray,
        w: np.ndarray | None,
        order: np.ndarray | None = None,
    ) -> None:
        super().__init__(base.n_obs, base.rank)
        self.base, self.spec = base, spec
        self._data = (Phi, y, coef, w, order)
        self.unit = base.unit

    @cached_property
    def covariance(self) -> Covariance:
        """The covariance of the coefficients and its quantiles' degrees of freedom."""
        Phi, y, coef, w, order = self._data
        with np.errstate(over="ignore", invalid="ignore"):
            resid = y - Phi @ coef
        if w is not None:  # in the units of the bread (the weights over unit**2)
            w = w / (self.unit * self.unit)
        if order is not None:
            Phi, resid, w = Phi[order], resid[order], None if w is None else w[order]
        bread = self.base._moments[0]
        return covariance(self.spec, Phi, resid, bread, w, self.base.df_resid)

    @property
    def singular_values(self) -> np.ndarray:
        """Singular values of the weighted design, largest first."""
        return self.base.singular_values

    @property
    def scale(self) -> float:
        """The fit's residual standard deviation (of an observation of weight 1)."""
        return self.base.scale

    @property
    def edf(self) -> float:
        """Effective number of parameters, that of the fit (the covariance not needed)."""
        return self.base.edf

    @property
    def _moments(self) -> tuple[np.ndarray, float]:
        cov, relative = self.cov, self.scale / self.unit
        if not relative > 0.0:  # an exact fit, or no residual degrees of freedom
            return cov, self.base._moments[1]
        return cov / relative / relative, self.base._moments[1]

    @property
    def cov(self) -> np.ndarray:
        """Covariance matrix of the coefficients."""
        return np.asarray(self.covariance.cov[0])

    @property
    def stderr(self) -> np.ndarray:
        """Standard errors of the coefficients."""
        return np.asarray(self.covariance.stderr[0])

    @property
    def quantile_df(self) -> float:
        """Degrees of freedom of the type's quantiles (inf: normal)."""
        return float(self.covariance.df[0])

    @property
    def normal(self) -> bool:  # type: ignore[override]
        """Whether the quantiles are normal."""
        return math.isinf(self.quantile_df)

    def critical_value(self, level: float) -> float:
        """Two-sided quantile of the covariance type for a ``level`` interval."""
        return float(self.covariance.critical_value(check_level(level))[0])

    def half_width(
        self,
        Phi0: np.ndarray,
        c: float,
        kind: str,
        weights: np.ndarray | None = None,
    ) -> np.ndarray:
        """Half-widths of the intervals at the mapped design rows ``Phi0``: those of
        :meth:`Uncertainty.half_width` with the covariance of the type, and the noise of a
        new observation ``scale**2 / w``."""
        spread = np.sqrt(quadratic_forms(Phi0, self.cov))
        if kind == "prediction":
            noise = self.scale if weights is None else self.scale / np.sqrt(weights)
            with np.errstate(divide="ignore", over="ignore"):
                spread = np.hypot(spread, noise)
        return np.asarray(c * spread)


def check_level(level: Any) -> float:
    """A confidence level strictly between 0 and 1."""
    if isinstance(level, bool) or not isinstance(level, numbers.Real):
        raise TypeError(f"level must be a real number in (0, 1), got {level!r}")
    value = float(level)
    if not 0.0 < value < 1.0:
        raise ValueError(f"level must lie strictly between 0 and 1, got {value}")
    return value


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


def residual_dof(n_obs: Any, edf: Any) -> Any:
    """``n_obs - edf``, one or one per series, with 0.0 where it is at most
    ``DF_TOLERANCE * n_obs`` (what the ridge leaves of a fit without residual).

    Examples
    --------
    >>> float(residual_dof(3, 3.0 - 1e-10)), float(residual_dof(10, 2.5))
    (0.0, 7.5)
    """
    df = np.asarray(n_obs, dtype=np.float64) - edf
    return np.where(df > DF_TOLERANCE * np.asarray(n_obs, dtype=np.float64), df, 0.0)[()]


def residual_scale(rss_root: float | np.ndarray, df_resid: float) -> Any:
    """``sqrt(rss / df_resid)`` from ``sqrt(rss)``, one or one per series; NaN without
    residual degrees of freedom."""
    if not df_resid > 0.0:
        return np.full(np.shape(rss_root), np.nan)[()]
    return rss_root / math.sqrt(df_resid)


def _svd_parts(R: np.ndarray) -> tuple[np.ndarray, np.ndarray, int]:
    """``((R'R)^+, singular values, rank)`` of a factor R, by its SVD and the rank rule."""
    _, s, Vt = np.linalg.svd(R)
    rank = int(np.count_nonzero(s >= rank_threshold(s, len(R), R.shape[1])))
    B = Vt[:rank].T / s[:rank]
    return B @ B.T, s, rank


def _posterior(R: np.ndarray, S: np.ndarray) -> tuple[np.ndarray, float]:
    """``((R'R + S)^-1, trace((R'R + S)^-1 R'R))``: a pseudo-inverse where singular.

    With T the factor of the stacked ``[R; L]`` (``T'T = R'R + S``), the inverse is
    ``T^-1 T^-T`` and the trace ``|R T^-1|_F^2``: no Gram matrix is formed, so both keep
    the digits of ill-conditioned designs (and the trace is at most the rows of R).
    """
    k = R.shape[1]
    T = stacked_factor(R, S)
    if well_determined(T):
        Tinv = np.linalg.solve(T, np.eye(k))
        RT = R @ Tinv
        return Tinv @ Tinv.T, float(np.sum(RT * RT))
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


def design_uncertainty(R: np.ndarray, n_obs: int, S: np.ndarray | None) -> Uncertainty:
    """The uncertainty of a design from its weighted R factor, without a target.

    What every target fitted on the same design (many series) shares: OLS's
    ``(Phi'W Phi)^+`` with edf the rank (``S`` None), or the penalised fit's posterior
    covariance and edf. Each target's scale is :func:`residual_scale` of its residuals.

    Examples
    --------
    >>> u = design_uncertainty(np.array([[2.0, 0.0], [0.0, 0.5]]), 10, None)
    >>> u.rank, u.df_resid
    (2, 8.0)
    """
    s, rank = singular_values(R)
    if S is None:
        return LeastSquaresUncertainty(R, math.nan, n_obs, s, rank)
    return PenalizedUncertainty(R, math.nan, n_obs, s, rank, penalty=S)


def warn_if_rank_deficient(
    rank: int, k: int, n_obs: int, stacklevel: int = 2, series: int | None = None
) -> None:
    """Issue :class:`zarn.exceptions.RankWarning` for a design that cannot fix every
    coefficient: rank below k, or more coefficients than samples of positive weight.
    ``series``: the number of series that share the design (many fits), or None."""
    if rank >= k and k <= n_obs:
        return
    shared = "" if series is None else f" shared by {series} series"
    warnings.warn(
        f"the mapped design{shared} has rank {rank} for {k} coefficients ({n_obs} samples "
        "of positive weight): the data do not determine every coefficient; lower the "
        "degree, use basis='total', add samples or a penalty",
        RankWarning,
        stacklevel=stacklevel + 1,
    )
