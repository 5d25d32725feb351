"""Covariance types of the least-squares and penalised fits: nonrobust, HC0-HC3, HAC and ar1.

Every estimator is a sandwich ``B M B`` around the "bread" ``B``, the k x k inverse of the
fit's normal matrix (``(Phi' W Phi)^-1``, or ``(Phi' W Phi + S)^-1`` with the penalty ``S``
for a penalised fit). The conventions are statsmodels' ``OLS/WLS(...).fit(cov_type=...)``:

- the scores are ``u_i = sqrt(w_i) phi_i * sqrt(w_i) e_i`` (the whitened design row times
  the whitened residual), so weights are precision weights as in WLS;
- ``"HC1"`` scales HC0 by ``n / df_resid``; ``"HC2"`` and ``"HC3"`` divide the squared
  residuals by ``1 - h_i`` and ``(1 - h_i)^2``, with the leverages
  ``h_i = w_i phi_i' B phi_i``;
- ``"HAC"`` is Newey and West's estimator with Bartlett weights ``1 - l / (L + 1)`` up to the
  lag ``L = maxlags``, by default ``floor(4 (n / 100)^(2/9))``; ``use_correction`` scales it
  by ``n / (n - k)``, k the number of coefficients;
- ``"HC*"`` and ``"HAC"`` give normal quantiles unless ``use_t=True`` (statsmodels'
  default); ``"nonrobust"`` gives t quantiles with ``df_resid`` degrees of freedom (normal
  ones with ``use_t=False``).

``"ar1"`` is the effective-sample-size adjustment of Santer et al. (2000): the lag-1
autocorrelation ``r1`` of the whitened residuals (in time order, mean removed) gives
``n_eff = n (1 - r1) / (1 + r1)``; the nonrobust covariance is multiplied by
``df_resid / (df_resid - (n - n_eff))`` (``(n - k) / (n_eff - k)`` for least squares) and
the t quantile has ``df_resid - (n - n_eff)`` degrees of freedom. A negative ``r1`` counts
as 0, so the adjustment never narrows the nonrobust intervals. Where ``n_eff`` leaves no
residual degree of freedom the covariance and its degrees of freedom are NaN.

Samples of zero weight are missing: they add nothing, ``n`` counts the samples of positive
weight, and the lags of ``"HAC"`` and ``"ar1"`` run over the remaining samples in order
(as statsmodels on the series with the missing samples dropped).

All functions work on a stack of m series at once, sharing one design (n x k) or each with
its own (m x n x k); a single fit is the stack of one.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from zarn._quantiles import normal_quantile, t_quantile

COV_TYPES = ("nonrobust", "HC0", "HC1", "HC2", "HC3", "HAC", "ar1")
# The keywords each covariance type takes (statsmodels' names); "kernel" only "bartlett".
COV_KWDS = {
    "nonrobust": ("use_t",),
    "HC0": ("use_t",),
    "HC1": ("use_t",),
    "HC2": ("use_t",),
    "HC3": ("use_t",),
    "HAC": ("maxlags", "kernel", "use_correction", "use_t"),
    "ar1": (),
}
# Scores of this many (series x samples x coefficients) elements are formed at once for
# the robust meats: bounds the temporary at 32 MB.
BLOCK_ELEMENTS = 1 << 22


@dataclass(frozen=True)
class CovSpec:
    """A validated covariance type with its keywords (see :func:`check_cov_type`).

    Examples
    --------
    >>> CovSpec("HAC", maxlags=2).use_correction
    False
    """

    name: str
    maxlags: int | None = None
    use_correction: bool = False
    use_t: bool = True


def check_cov_type(cov_type: Any, cov_kwds: Mapping[str, Any] | None = None) -> CovSpec:
    """Validate ``cov_type`` and ``cov_kwds`` as statsmodels' ``fit`` takes them.

    Names are matched without regard to case (``"hc3"``, ``"hac"``, ``"AR1"``).

    Raises
    ------
    ValueError
        For an unknown name, a keyword the type does not take, or a bad keyword value.
    TypeError
        For a name that is not a string or keywords that are not a mapping.

    Examples
    --------
    >>> check_cov_type("hac", {"maxlags": 4})
    CovSpec(name='HAC', maxlags=4, use_correction=False, use_t=False)
    >>> check_cov_type("nonrobust").use_t
    True
    """
    if not isinstance(cov_type, str):
        raise TypeError(f"cov_type must be a string, one of {COV_TYPES}; got {cov_type!r}")
    names = {name.lower(): name for name in COV_TYPES}
    name = names.get(cov_type.lower())
    if name is None:
        raise ValueError(f"cov_type must be one of {COV_TYPES}; got {cov_type!r}")
    if cov_kwds is None:
        cov_kwds = {}
    if not isinstance(cov_kwds, Mapping):
        raise TypeError(f"cov_kwds must be a dict or None; got {type(cov_kwds).__name__}")
    unknown = sorted(set(cov_kwds) - set(COV_KWDS[name]))
    if unknown:
        allowed = ", ".join(COV_KWDS[name]) or "none"
        raise ValueError(
            f"cov_kwds {unknown} are not keywords of cov_type={name!r} (it takes: {allowed})"
        )
    for key in ("use_t", "use_correction"):
        if key in cov_kwds and not isinstance(cov_kwds[key], (bool, np.bool_)):
            raise ValueError(f"cov_kwds[{key!r}] must be True or False; got {cov_kwds[key]!r}")
    maxlags = cov_kwds.get("maxlags")
    if maxlags is not None and (
        isinstance(maxlags, (bool, np.bool_))
        or not isinstance(maxlags, numbers.Integral)
        or maxlags < 0
    ):
        raise ValueError(f"cov_kwds['maxlags'] must be an integer >= 0 or None; got {maxlags!r}")
    kernel = cov_kwds.get("kernel", "bartlett")
    if kernel != "bartlett":
        raise ValueError(f"cov_kwds['kernel'] must be 'bartlett'; got {kernel!r}")
    return CovSpec(
        name=name,
        maxlags=None if maxlags is None else int(maxlags),
        use_correction=bool(cov_kwds.get("use_correction", False)),
        use_t=bool(cov_kwds.get("use_t", name in ("nonrobust", "ar1"))),
    )


def newey_west_lags(n_obs: Any) -> np.ndarray:
    """Newey and West's lag rule as statsmodels applies it: ``floor(4 (n / 100)^(2/9))``.

    Examples
    --------
    >>> newey_west_lags([50, 100, 360]).tolist()
    [3, 4, 5]
    """
    return np.floor(4.0 * (np.asarray(n_obs, dtype=float) / 100.0) ** (2.0 / 9.0)).astype(int)


@dataclass(frozen=True)
class Covariance:
    """Covariances of a stack of fits and the degrees of freedom of their quantiles.

    Attributes
    ----------
    cov : ndarray of shape (m, k, k)
        The coefficients' covariance of each series.
    df : ndarray of shape (m,)
        Degrees of freedom of the t quantile; ``inf`` for the normal quantile.
    n_eff : ndarray of shape (m,)
        The effective sample size ("ar1"), else the count of samples of positive weight.
    """

    cov: np.ndarray
    df: np.ndarray
    n_eff: np.ndarray

    @property
    def stderr(self) -> np.ndarray:
        """Standard errors, shape (m, k).

        Examples
        --------
        >>> Covariance(4.0 * np.eye(2)[None], np.array([5.0]), np.array([7.0])).stderr
        array([[2., 2.]])
        """
        with np.errstate(invalid="ignore"):  # a negative variance (leverage 1) is NaN
            return np.asarray(np.sqrt(np.diagonal(self.cov, axis1=-2, axis2=-1)))

    def critical_value(self, level: float) -> np.ndarray:
        """Two-sided critical values of each series at confidence ``level``, shape (m,).

        Examples
        --------
        >>> c = Covariance(np.eye(1)[None], np.array([np.inf]), np.array([10.0]))
        >>> round(float(c.critical_value(0.95)[0]), 6)
        1.959964
        """
        return critical_values(self.df, level)


def critical_values(df: np.ndarray, level: float) -> np.ndarray:
    """Two-sided critical values at confidence ``level`` for the degrees of freedom ``df``
    of each series (``inf``: the normal quantile; NaN or at most 0: NaN), same shape.

    Examples
    --------
    >>> critical_values(np.array([10.0, np.inf, 10.0]), 0.95).round(6).tolist()
    [2.228139, 1.959964, 2.228139]
    """
    p = 0.5 + level / 2.0
    # One quantile per distinct df: the series of a stack mostly share theirs.
    dfs, inverse = np.unique(df, return_inverse=True)
    q = [normal_quantile(p) if math.isinf(d) else t_quantile(p, d) for d in dfs]
    return np.asarray(q, dtype=float)[inverse.ravel()].reshape(np.shape(df))


def _scores_source(
    resid: np.ndarray, weights: np.ndarray | None
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Whitened residuals (m, n), square-root weights (m, n) and counts of valid samples."""
    resid = np.atleast_2d(np.asarray(resid, dtype=float))
    if weights is None:
        w = np.ones_like(resid)
    else:
        w = np.broadcast_to(np.asarray(weights, dtype=float), resid.shape)
    valid = w > 0.0
    root_w = np.sqrt(np.where(valid, w, 0.0))
    # Missing samples may carry NaN residuals: their whitened residual is exactly 0.
    wresid = np.where(valid, resid, 0.0) * root_w
    return wresid, root_w, valid.sum(axis=1).astype(float)


def _weighted_design(design: np.ndarray, root_w: np.ndarray, rows: slice) -> np.ndarray:
    """The whitened designs of the series ``rows``, shape (b, n, k)."""
    d = design if design.ndim == 2 else design[rows]
    return np.asarray(root_w[rows, :, None] * d)


def _leverages(design: np.ndarray, root_w: np.ndarray, bread: np.ndarray) -> np.ndarray:
    """``h_i = w_i phi_i' B phi_i`` of every series and sample, shape (m, n)."""
    if design.ndim == 2 and bread.ndim == 2:
        h = np.einsum("na,ab,nb->n", design, bread, design)
        return np.asarray(root_w**2 * h)
    d = design if design.ndim == 3 else design[None]
    b = bread if bread.ndim == 3 else bread[None]
    return np.asarray(root_w**2 * np.einsum("mna,mab,mnb->mn", d, b, d))


def _blocks(m: int, n: int, k: int) -> list[slice]:
    """Slices of the series whose scores (b x n x k) fit in BLOCK_ELEMENTS."""
    block = max(1, BLOCK_ELEMENTS // max(1, n * k))
    return [slice(start, min(m, start + block)) for start in range(0, m, block)]


def _heteroscedastic_meat(design: np.ndarray, root_w: np.ndarray, s: np.ndarray) -> np.ndarray:
    """``sum_i s_i w_i phi_i phi_i'`` per series, shape (m, k, k)."""
    m, n = root_w.shape
    k = design.shape[-1]
    meat = np.empty((m, k, k))
    for rows in _blocks(m, n, k):
        v = _weighted_design(design, root_w, rows) * np.sqrt(s[rows])[:, :, None]
        meat[rows] = np.swapaxes(v, 1, 2) @ v
    return meat


def _compact(values: np.ndarray, valid: np.ndarray) -> np.ndarray:
    """Move each row's valid entries to its front, in order, zeros after them."""
    if valid.all():
        return values
    order = np.argsort(~valid, axis=1, kind="stable")
    return np.take_along_axis(values, order.reshape(order.shape + (1,) * (values.ndim - 2)), 1)


def _hac_meat(
    design: np.ndarray,
    wresid: np.ndarray,
    root_w: np.ndarray,
    valid: np.ndarray,
    lags: np.ndarray,
) -> np.ndarray:
    """Newey-West's meat with Bartlett weights, lags over the valid samples, (m, k, k)."""
    m, n = wresid.shape
    k = design.shape[-1]
    meat = np.empty((m, k, k))
    for rows in _blocks(m, n, k):
        u = _weighted_design(design, root_w, rows) * wresid[rows, :, None]
        u = _compact(u, valid[rows])
        ut = np.swapaxes(u, 1, 2)
        s = ut @ u
        top = lags[rows]
        for lag in range(1, int(top.max(initial=0)) + 1):
            weight = np.where(lag <= top, 1.0 - lag / (top + 1.0), 0.0)
            g = ut[:, :, lag:] @ u[:, :-lag]
            s += weight[:, None, None] * (g + np.swapaxes(g, 1, 2))
        meat[rows] = s
    return meat


def lag1_autocorrelation(wresid: np.ndarray, valid: np.ndarray) -> np.ndarray:
    """Lag-1 autocorrelation of each row's valid entries, in order, mean removed.

    The estimator of ``statsmodels.tsa.stattools.acf`` (sums over the n valid entries,
    the denominator the sum of all n squares). NaN for rows with fewer than 2 entries.

    Examples
    --------
    >>> e = np.array([[1.0, 2.0, 3.0, 4.0]])
    >>> lag1_autocorrelation(e, e > 0).round(6).tolist()
    [0.25]
    """
    count = valid.sum(axis=1)
    x = np.where(valid, wresid, 0.0)
    mean = x.sum(axis=1) / np.maximum(count, 1)
    c = _compact(np.where(valid, x - mean[:, None], 0.0), valid)
    num = np.einsum("mn,mn->m", c[:, 1:], c[:, :-1])
    den = np.einsum("mn,mn->m", c, c)
    with np.errstate(invalid="ignore", divide="ignore"):
        r1 = num / den
    return np.where(count >= 2, r1, np.nan)


def covariance(
    spec: CovSpec,
    design: np.ndarray,
    resid: np.ndarray,
    bread: np.ndarray,
    weights: np.ndarray | None = None,
    df_resid: Any = None,
) -> Covariance:
    """The covariances of a stack of fits under the covariance type ``spec``.

    Parameters
    ----------
    spec : CovSpec
        From :func:`check_cov_type`.
    design : ndarray of shape (n, k) or (m, n, k)
        The (unweighted) design, shared by the series or one per series.
    resid : ndarray of shape (n,) or (m, n)
        The residuals ``y - Phi b``, in time order for "HAC" and "ar1"; entries of zero
        weight are ignored (they may be NaN).
    bread : ndarray of shape (k, k) or (m, k, k)
        The inverse of the normal matrix, penalty included for penalised fits; one per
        series when their weights or designs differ.
    weights : ndarray of shape (n,) or (m, n), optional
        Precision weights; 0 marks a missing sample. None: all 1.
    df_resid : float or ndarray of shape (m,), optional
        Residual degrees of freedom (``n - edf`` for penalised fits); default ``n - k``
        with n the count of samples of positive weight.

    Returns
    -------
    Covariance
        With ``cov`` of shape (m, k, k) (m = 1 for a single series). A series without
        residual degrees of freedom (``df_resid`` not above 0) gets NaN, as does a
        leverage of 1 for HC2 and HC3; no warning is issued.

    Examples
    --------
    >>> X = np.column_stack([np.ones(4), np.arange(4.0)])
    >>> e = np.array([0.1, -0.2, 0.2, -0.1])
    >>> c = covariance(check_cov_type("HC0"), X, e, np.linalg.inv(X.T @ X))
    >>> c.cov.shape, c.df.tolist()
    ((1, 2, 2), [inf])
    """
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        out, dfr = _covariance(spec, design, resid, bread, weights, df_resid)
    cov, df = out.cov, out.df
    # No residual: the residuals say nothing of the noise (not a zero covariance).
    bare = ~(dfr > 0.0)
    if bare.any():
        cov, df = cov.copy(), df.copy()
        cov[bare], df[bare] = np.nan, np.nan
    return Covariance(cov, df, out.n_eff)


def _covariance(
    spec: CovSpec,
    design: np.ndarray,
    resid: np.ndarray,
    bread: np.ndarray,
    weights: np.ndarray | None,
    df_resid: Any,
) -> tuple[Covariance, np.ndarray]:
    """:func:`covariance` before series without residual degrees of freedom are set to
    NaN, and the residual degrees of freedom of each series."""
    design = np.asarray(design, dtype=float)
    bread = np.asarray(bread, dtype=float)
    wresid, root_w, n_obs = _scores_source(resid, weights)
    m, k = wresid.shape[0], design.shape[-1]
    dfr = n_obs - k if df_resid is None else np.broadcast_to(np.asarray(df_resid, float), (m,))
    bread3 = np.broadcast_to(bread, (m, k, k))
    name = spec.name
    if name in ("nonrobust", "ar1"):
        scale = np.einsum("mn,mn->m", wresid, wresid) / dfr
        cov = scale[:, None, None] * bread3
        df, n_eff = dfr.astype(float), n_obs
        if name == "ar1":
            r1 = np.maximum(lag1_autocorrelation(wresid, root_w > 0.0), 0.0)
            n_eff = n_obs * (1.0 - r1) / (1.0 + r1)
            df = dfr - (n_obs - n_eff)
            inflation = np.where(df > 0.0, dfr / df, np.nan)
            cov = inflation[:, None, None] * cov
            df = np.where(df > 0.0, df, np.nan)
        elif not spec.use_t:
            df = np.full(m, np.inf)
        return Covariance(cov, df, n_eff), dfr
    if name == "HAC":
        lags = newey_west_lags(n_obs) if spec.maxlags is None else np.full(m, spec.maxlags, int)
        meat = _hac_meat(design, wresid, root_w, root_w > 0.0, lags)
    else:
        s = wresid**2  # the meat is sum s_i w_i phi_i phi_i' = sum u_i u_i'
        if name == "HC1":
            s = s * (n_obs / dfr)[:, None]
        elif name in ("HC2", "HC3"):
            h = _leverages(design, root_w, bread)
            s = s / (1.0 - h) ** (1 if name == "HC2" else 2)
        meat = _heteroscedastic_meat(design, root_w, s)
    cov = bread3 @ meat @ np.swapaxes(bread3, 1, 2)
    if name == "HAC" and spec.use_correction:
        cov = cov * (n_obs / (n_obs - k))[:, None, None]
    df = dfr.astype(float) if spec.use_t else np.full(m, np.inf)
    return Covariance(cov, df, n_obs), dfr
