"""Many independent polynomial fits that share their sample positions.

:func:`fit_many` fits one model per series (per pixel, spectrum or sensor) and returns a
:class:`ManyFits` holding every series' coefficients, MDL score and sample count. The
series are processed in blocks: in the calling process, in joblib worker processes, or as
the blocks of a Dask array on whatever scheduler is active.

Least-squares and penalised fits are linear in the data, so a block's series without a
missing value share one solve operator applied by a matrix product, and series with a few
missing values share a batched solve; only series whose missing values would make that
solve poorly conditioned are fitted one by one. The robust method fits every series alone.
"""

from __future__ import annotations

import functools
import math
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from zarn import _basis
from zarn._fitting import least_squares, mdl, solve
from zarn._optional import import_optional
from zarn._validation import (
    as_float_array,
    check_finite,
    check_int,
    check_X,
)
from zarn.models import PolynomialRegressor, _draw_seed

# Series per block (one task of a worker) when chunk_size is None: about 2**21 values.
BLOCK_VALUES = 2**21
# A block is fitted in pieces of about 2**15 values (256 KB), so that the dozen passes of
# the vectorised fit and scores over a piece run in cache: 2-3x faster than whole blocks.
PIECE_VALUES = 2**15
# A series with missing values joins the batched solve only when the leverages of its
# missing samples sum to at most this: its Gram matrix in the orthonormal basis of the
# full design then has eigenvalues in [1 - LEVERAGE_LIMIT, 1], a condition number <= 10.
LEVERAGE_LIMIT = 0.9
# Series whose largest magnitude lies outside this range (and is not 0) are fitted alone by
# the estimator's route, which rescales them by a power of two; the range is its own.
ORDINARY = (1e-100, 1e100)
# The design counts as of full column rank when its singular values lie within this ratio.
RANK_RTOL = 1e-10


@dataclass(frozen=True)
class _Plan:
    """Everything a block of series needs; small, picklable, shipped to every worker."""

    method: str
    skipna: bool
    X: np.ndarray  # the shared positions (n, d)
    basis: np.ndarray  # multi-indices, one row per coefficient
    domain: np.ndarray
    Phi: np.ndarray  # design matrix at the shared positions (n, k)
    H: int
    gamma1: float
    gamma2: float
    ridge: float
    R1: np.ndarray | None
    R2: np.ndarray | None
    params: dict[str, Any] = field(default_factory=dict)  # the model's, for the robust method
    Q: np.ndarray | None = None  # orthonormal basis of the design's columns (n, r)
    C: np.ndarray | None = None  # the fit of each column of Q (k, r)
    full_rank: bool = False

    @property
    def k(self) -> int:
        return self.Phi.shape[1]


class ManyFits:
    """Results of :func:`fit_many`: one polynomial per series, on a shared basis and domain.

    Attributes are NumPy arrays, or lazy Dask arrays when ``Y`` was a Dask array (compute
    them together with ``dask.compute(fits.coef, fits.mdl)`` to run the fits once).

    Attributes
    ----------
    coef : ndarray of shape (n_series, n_coefficients)
        Each series' coefficients of the basis functions of the mapped variables, in
        ``basis`` order; NaN for a series without samples.
    basis : ndarray of shape (n_coefficients, n_features)
        The exponents of each basis function.
    domain : ndarray of shape (n_features, 2)
        Each feature's (low, high), mapped onto [-1, 1]; shared by every series.
    mdl : ndarray of shape (n_series,)
        Each series' MDL score on its own samples, penalties included (NaN without samples).
    n_used : ndarray of int64, shape (n_series,)
        Samples each fit used.
    n_inliers : ndarray of int64, shape (n_series,) or None
        Robust method only: samples of each series' final refit.
    method : str
        The fitting method.
    axis : int
        The sample axis of ``Y``; :meth:`predict` lays its result out the same way.
    ndim : int
        Dimensions of ``Y``: 1 for a single series, else 2.

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> x = np.linspace(0.0, 1.0, 5)
    >>> fits = zarn.fit_many(x, np.column_stack([x, 2 * x + 1]),
    ...                      zarn.PolynomialRegressor(degree=1, method="ols"))
    >>> fits
    ManyFits(n_series=2, n_coefficients=2, method='ols')
    >>> fits.predict([0.5]).round(6)  # one row per position, one column per series
    array([[0.5, 2. ]])
    """

    def __init__(
        self,
        coef: Any,
        basis: np.ndarray,
        domain: np.ndarray,
        mdl: Any,
        n_used: Any,
        n_inliers: Any,
        method: str,
        axis: int,
        ndim: int,
    ) -> None:
        self.coef = coef
        self.basis = basis
        self.domain = domain
        self.mdl = mdl
        self.n_used = n_used
        self.n_inliers = n_inliers
        self.method = method
        self.axis = axis
        self.ndim = ndim

    def __repr__(self) -> str:
        m, k = self.coef.shape
        return f"ManyFits(n_series={m}, n_coefficients={k}, method={self.method!r})"

    def __len__(self) -> int:
        return self.coef.shape[0]

    def predict(self, x_new: ArrayLike) -> Any:
        """Evaluate every series' polynomial at the positions ``x_new``.

        Parameters
        ----------
        x_new : array-like of shape (n_new,) or (n_new, n_features)
            Positions; outside the domain the polynomials are extrapolated.

        Returns
        -------
        ndarray (or Dask array)
            Laid out as ``Y`` was: shape (n_new, n_series) for ``axis=0``, (n_series, n_new)
            for ``axis=1``, and (n_new,) for a one-dimensional ``Y``. A series without
            samples predicts NaN.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.arange(4.0)
        >>> Y = np.stack([x**2, 3 - x])  # one series per row: the samples lie along axis 1
        >>> fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=2), axis=1)
        >>> fits.predict([4.0, 5.0]).round(6)
        array([[16., 25.],
               [-1., -2.]])
        """
        X = _positions(x_new, "x_new", self.basis.shape[1])
        check_finite(X, "x_new")
        off, scl = _basis.domain_map(self.domain)
        degrees = tuple(int(d) for d in self.basis.max(axis=0))
        Phi = _basis.design(X * scl + off, degrees, self.basis)
        out = self.coef @ Phi.T  # (n_series, n_new)
        if self.ndim == 1:
            return out[0]
        return out if self.axis == 1 else out.T


def fit_many(
    x: ArrayLike,
    Y: Any,
    model: PolynomialRegressor | None = None,
    *,
    axis: int = 0,
    skipna: bool = True,
    n_jobs: int = 1,
    chunk_size: int | None = None,
    progress: bool = False,
) -> ManyFits:
    """Fit one polynomial model to each of many series sampled at shared positions.

    Parameters
    ----------
    x : array-like of shape (n,) or (n, n_features)
        The positions shared by every series; must be finite.
    Y : array-like or dask.array.Array, 1-D or 2-D
        The series, n values each along ``axis`` (default: shape (n, n_series), one column
        per series). A 1-D ``Y`` is one series. NaN marks a missing value; infinity is
        treated as NaN.
    model : PolynomialRegressor or None, default=None
        Unfitted model whose parameters apply to every series (None: its defaults). Its
        ``domain``, or else the range of ``x``, is the domain of every series, so the
        coefficients of all series are comparable.
    axis : {0, 1, -1}, default=0
        The sample axis of ``Y``.
    skipna : bool, default=True
        True: a missing value is dropped from its own series only, and a series left
        without samples gets NaN coefficients and ``n_used`` 0. False: a series with any
        missing value gets NaN coefficients and ``n_used`` 0. Neither stops other series.
    n_jobs : int, default=1
        NumPy input only: worker processes (joblib's loky backend; -1 for one per core).
        Processes, because a call into the native core holds the interpreter lock. The
        results do not depend on ``n_jobs``.
    chunk_size : int or None, default=None
        Series per block (None: about 2**21 values per block, whatever ``n_jobs``). With
        Dask input the array's own chunks are the blocks and this is ignored. Other blocks
        can change ``"ols"`` and ``"penalized"`` results by rounding only (that of the
        shared matrix products).
    progress : bool, default=False
        NumPy input only: show a progress bar of the series, advanced block by block
        (needs tqdm). With Dask, use its own progress bar or dashboard.

    Returns
    -------
    ManyFits
        The fits; its arrays are lazy Dask arrays when ``Y`` is a Dask array.

    Raises
    ------
    ValueError
        For NaN or infinity in ``x``, a length of ``x`` that differs from ``Y``'s sample
        axis, ``Y`` of more than two dimensions, or an invalid model parameter.

    Notes
    -----
    Every series is fitted on the design matrix of ``x`` mapped from the shared domain.
    ``"robust"``: each series is fitted alone by a clone of ``model`` whose domain is the
    shared one, so its result is that fit bit for bit (a ``random_state`` of None is drawn
    once, and every series uses that seed). ``"ols"`` and ``"penalized"``: the fit is
    linear in the data. The fits of the columns of an orthonormal basis Q of the design
    (one core call each) give a k x k matrix C, and every series without missing values
    gets ``C @ Q.T @ y`` from one matrix product per block. A series with missing values
    gets a batched solve of its normal equations (in the basis Q for ``"ols"``) when the
    leverages of its missing samples sum to at most 0.9 (which bounds the condition
    number of that solve by 10), and is otherwise fitted alone by the core. Both shared
    routes agree with fitting each series alone to within rounding, relative to the
    largest coefficient: measured at most 1e-12 for ``"ols"`` up to degree 10 and for
    ``"penalized"`` up to degree 6, and 1e-9 for ``"penalized"`` at degree 10 (its normal
    equations square the condition number of the design, so the single fit is no more
    accurate than that either); the tests hold them to 1e-9. The MDL scores are computed
    for all series of a block at once with the core's arithmetic (tolerance 0.4 MAD,
    strict ``<``, success rate floored at 1/(2n)): equal to :func:`zarn.mdl_score` of the
    same prediction, and to :func:`zarn.mdl_score_reg` to rounding.

    With a Dask array, ``Y`` is rechunked to a single chunk along the sample axis (chunks
    there are merged: choose chunks along the series axis only) and every block of series
    becomes one task of ``map_blocks``; the results are lazy Dask arrays. The native core
    holds the interpreter lock, so Dask's default threaded scheduler runs the blocks one
    at a time: use the distributed scheduler with process workers, for example
    ``dask.distributed.Client(LocalCluster(processes=True))``; the same code runs on a
    real cluster.

    An xarray ``DataArray`` (NumPy- or Dask-backed) with the samples along one dimension is
    stacked into two dimensions first; the README's section "Many series" shows the recipe.

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> rng = np.random.default_rng(0)
    >>> x = np.linspace(0.0, 10.0, 50)
    >>> Y = 1.0 + 0.5 * x[:, None] * rng.uniform(1, 2, 1000) + rng.normal(0, 0.1, (50, 1000))
    >>> Y[3, 7] = np.nan                         # dropped from series 7 only
    >>> fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=1, method="ols"))
    >>> fits.coef.shape, fits.n_used[6:8]
    ((1000, 2), array([50, 49]))
    >>> fits.predict([5.0]).shape              # one row per position, one column per series
    (1, 1000)
    """
    model = PolynomialRegressor() if model is None else model
    if not isinstance(model, PolynomialRegressor):
        raise TypeError(f"model must be a PolynomialRegressor or None, got {type(model).__name__}")
    X = _positions(x, "x")
    check_finite(X, "x")
    if not isinstance(skipna, (bool, np.bool_)):
        raise TypeError(f"skipna must be True or False, got {skipna!r}")
    n_jobs = check_int(n_jobs, "n_jobs", -(2**31))
    if n_jobs == 0:
        raise ValueError("n_jobs must be a positive number of processes or -1, got 0")
    if chunk_size is not None:
        chunk_size = check_int(chunk_size, "chunk_size", 1)

    dask_input = _is_dask(Y)
    if not dask_input:
        Y = as_float_array(Y, "Y")
    ndim = Y.ndim
    if ndim not in (1, 2):
        raise ValueError(
            f"Y must be 1-D (one series) or 2-D (samples along axis), got {ndim} dimensions"
        )
    axis = check_int(axis, "axis", -ndim, ndim - 1) % ndim
    n_y = Y.shape[axis]
    if n_y != X.shape[0]:
        raise ValueError(
            f"x has {X.shape[0]} samples but Y has {n_y} along its sample axis {axis} "
            f"(shape {tuple(Y.shape)}); they must match"
        )

    plan = _make_plan(X, model, bool(skipna))
    k = plan.k
    if dask_input:
        packed = _dask_blocks(Y, axis, ndim, plan)
        n_used = packed[:, k + 1].astype(np.int64)
        n_inliers = packed[:, k + 2].astype(np.int64) if plan.method == "robust" else None
        return ManyFits(
            packed[:, :k],
            plan.basis,
            plan.domain,
            packed[:, k],
            n_used,
            n_inliers,
            plan.method,
            axis,
            ndim,
        )

    Yt = Y.reshape(1, -1) if ndim == 1 else (Y.T if axis == 0 else Y)  # (n_series, n)
    packed = _run_blocks(Yt, plan, n_jobs, chunk_size, progress)
    n_inliers = packed[:, k + 2].astype(np.int64) if plan.method == "robust" else None
    return ManyFits(
        packed[:, :k].copy(),
        plan.basis,
        plan.domain,
        packed[:, k].copy(),
        packed[:, k + 1].astype(np.int64),
        n_inliers,
        plan.method,
        axis,
        ndim,
    )


# ---------------------------------------------------------------------------- set-up


def _positions(x: ArrayLike, name: str, n_features: int | None = None) -> np.ndarray:
    """Positions as an (n, d) float64 array; a 1-D input is one feature."""
    arr = as_float_array(x, name)
    if arr.ndim == 1 and n_features in (None, 1):
        arr = arr.reshape(-1, 1)
    arr = check_X(arr, name)
    if n_features is not None and arr.shape[1] != n_features:
        raise ValueError(f"{name} has {arr.shape[1]} features, but the fits have {n_features}")
    return arr


def _make_plan(X: np.ndarray, model: PolynomialRegressor, skipna: bool) -> _Plan:
    """Validate the model's parameters, fix the domain and build the shared solve operator."""
    n, d = X.shape
    degrees, method, basis_name, gamma1, gamma2, ridge, H, n_grid, _ = model._settings(d)
    domain = model._domain(X, None)
    off, scl = _basis.domain_map(domain)
    indices = _basis.multi_indices(degrees, basis_name)
    Phi = _basis.design(X * scl + off, degrees, indices)
    R1 = R2 = None
    if gamma1 != 0.0 or gamma2 != 0.0:
        R1, R2 = _basis.penalties(degrees, basis_name, n_grid)

    params = model.get_params()
    params["domain"] = domain
    shared = {"method": method, "skipna": skipna, "X": X, "basis": indices, "domain": domain,
              "Phi": Phi, "H": H, "gamma1": gamma1, "gamma2": gamma2, "ridge": ridge,
              "R1": R1, "R2": R2, "params": params}  # fmt: skip
    if method == "robust":  # one seed for every series, so that n_jobs cannot change it
        params["random_state"] = _draw_seed(params["random_state"])
        return _Plan(**shared)

    # The fit is linear in y and depends on y only through its projection onto the
    # columns of Phi, so with Q an orthonormal basis of a space holding them,
    # fit(y) = fit(Q Q' y) = C Q' y, where C holds the fits of Q's columns.
    Q, _ = np.linalg.qr(Phi)
    C = np.column_stack(
        [solve(method, Phi, np.ascontiguousarray(q), R1, R2, gamma1, gamma2, ridge) for q in Q.T]
    )
    sv = np.linalg.svd(Phi, compute_uv=False)
    full_rank = n >= Phi.shape[1] and bool(sv[-1] > RANK_RTOL * sv[0])
    return _Plan(**shared, Q=Q, C=C, full_rank=full_rank)


def _is_dask(Y: Any) -> bool:
    return type(Y).__module__.split(".")[0] == "dask" and hasattr(Y, "map_blocks")


# ------------------------------------------------------------------------ execution


def _run_blocks(
    Yt: np.ndarray, plan: _Plan, n_jobs: int, chunk_size: int | None, progress: bool
) -> np.ndarray:
    """Fit the rows of Yt block by block, here or in joblib workers; packed results."""
    m, n = Yt.shape
    if chunk_size is not None:
        size = chunk_size
    elif plan.method == "robust":  # each series is fitted alone: small blocks balance load
        size = max(1, -(-m // 64))
    else:
        size = max(1, BLOCK_VALUES // max(n, 1))
    starts = range(0, m, size)
    blocks = (Yt[s : s + size] for s in starts)
    if n_jobs == 1:
        results = (_fit_block(b, plan) for b in blocks)
    else:
        joblib = import_optional("joblib", "fit_many with n_jobs != 1")
        parallel = joblib.Parallel(n_jobs=n_jobs, backend="loky", return_as="generator")
        results = parallel(joblib.delayed(_fit_block)(b, plan) for b in blocks)
    bar = None
    if progress:
        tqdm = import_optional("tqdm", "fit_many with progress=True")
        bar = tqdm.tqdm(total=m, unit="series", desc="fit_many")
    out = np.empty((m, plan.k + 3))
    s = 0
    for res in results:
        out[s : s + len(res)] = res
        s += len(res)
        if bar is not None:
            bar.update(len(res))
    if bar is not None:
        bar.close()
    return out


def _dask_blocks(Y: Any, axis: int, ndim: int, plan: _Plan) -> Any:
    """The packed results of a Dask array, one map_blocks task per block of series."""
    import_optional("dask.array", "fit_many on a Dask array")
    dask = import_optional("dask", "fit_many on a Dask array")
    Yt = Y.reshape(1, -1) if ndim == 1 else (Y.T if axis == 0 else Y)
    Yt = Yt.rechunk({1: -1})  # one chunk along the samples
    # The plan is one task of the graph: sent to each worker once, not with every block.
    return Yt.map_blocks(
        _fit_block,
        dask.delayed(plan, pure=True),
        chunks=(Yt.chunks[0], (plan.k + 3,)),
        dtype=np.float64,
        meta=np.empty((0, 0)),
    )


def _fit_block(Yt: np.ndarray, plan: _Plan) -> np.ndarray:
    """Fit each row of Yt (n_series, n); returns [coef, mdl, n_used, n_inliers] per row."""
    Yt = np.asarray(Yt, dtype=np.float64)
    m, n = Yt.shape
    piece = max(16, PIECE_VALUES // max(n, 1))
    if plan.method == "robust" or m <= piece:
        return _fit_rows(Yt, plan)
    out = np.empty((m, plan.k + 3))
    for s in range(0, m, piece):
        out[s : s + piece] = _fit_rows(Yt[s : s + piece], plan)
    return out


def _fit_rows(Yt: np.ndarray, plan: _Plan) -> np.ndarray:
    """_fit_block on a piece of rows."""
    m, n = Yt.shape
    k = plan.k
    Yt = np.array(Yt, dtype=np.float64, order="C")  # own copy, one series per row
    out = np.full((m, k + 3), np.nan)
    out[:, k + 2] = 0  # inliers of the robust method; none without samples
    if plan.method == "robust":
        finite = np.isfinite(Yt)
        counts = finite.sum(axis=1)
        out[:, k + 1] = np.where(plan.skipna | (counts == n), counts, 0)
        for i in np.flatnonzero(out[:, k + 1]):
            out[i] = _fit_robust_one(Yt[i], finite[i], plan)
        return out

    # Sorted rows give the medians of the MDL scores, and show which rows are complete:
    # NaN sorts last and fails every comparison.
    S = np.sort(Yt, axis=1)
    finite = None
    counts = np.full(m, n)
    if not ((S[:, 0] > -np.inf) & (S[:, -1] < np.inf)).all():
        finite = np.isfinite(Yt)
        counts = finite.sum(axis=1)
        if not plan.skipna:
            counts[counts < n] = 0
        if not finite.all():
            Yt[~finite] = np.nan  # infinity is treated as missing
            S = np.sort(Yt, axis=1)
    out[:, k + 1] = counts
    # Series of huge or tiny values take the estimator's own route, which rescales them.
    top = np.maximum(np.abs(S[:, 0]), np.abs(S[np.arange(m), np.maximum(counts - 1, 0)]))
    ordinary = ((top > ORDINARY[0]) & (top < ORDINARY[1])) | (top == 0.0)
    if finite is None and ordinary.all():
        coef = (Yt @ plan.Q) @ plan.C.T
        out[:, :k] = coef
        out[:, k] = _mdl_rows(coef, Yt, S, None, plan)
        return out

    full = np.flatnonzero((counts == n) & ordinary)
    partial = np.flatnonzero((counts > 0) & (counts < n) & ordinary)
    one_by_one = [np.flatnonzero((counts > 0) & ~ordinary)]
    if full.size:
        coef = (Yt[full] @ plan.Q) @ plan.C.T
        out[full, :k] = coef
        out[full, k] = _mdl_rows(coef, Yt[full], S[full], None, plan)
    if partial.size and plan.full_rank:
        lev = np.einsum("ij,ij->i", plan.Q, plan.Q)
        missing_leverage = (~finite[partial]).astype(np.float64) @ lev
        batched = partial[missing_leverage <= LEVERAGE_LIMIT]
        one_by_one.append(partial[missing_leverage > LEVERAGE_LIMIT])
        if batched.size:
            coef = _batched_solve(Yt[batched], finite[batched], plan)
            out[batched, :k] = coef
            out[batched, k] = _mdl_rows(coef, Yt[batched], S[batched], counts[batched], plan)
    else:
        one_by_one.append(partial)
    for i in np.concatenate(one_by_one):
        used = np.isfinite(Yt[i])
        out[i, : k + 1] = _fit_one(Yt[i], used, plan)
    return out


def _fit_one(y: np.ndarray, used: np.ndarray, plan: _Plan) -> np.ndarray:
    """One series on its own samples, as the estimator fits it: coefficients and MDL score.

    A fit whose coefficients leave the range of doubles gives NaN, not an error that would
    stop the other series.
    """
    Phi, y = plan.Phi[used], y[used]
    try:
        coef = least_squares(
            plan.method, Phi, y, plan.R1, plan.R2, plan.gamma1, plan.gamma2, plan.ridge
        )
    except ValueError:
        return np.full(plan.k + 1, np.nan)
    score = mdl(Phi @ coef, y, coef, plan.H, plan.R1, plan.R2, plan.gamma1, plan.gamma2)
    return np.append(coef, score)


def _fit_robust_one(y: np.ndarray, used: np.ndarray, plan: _Plan) -> np.ndarray:
    """One series by a clone of the model with the shared domain and seed."""
    model = PolynomialRegressor(**plan.params).fit(plan.X[used], y[used])
    return np.concatenate([model.coef_, [model.mdl_, used.sum(), model.inlier_mask_.sum()]])


def _batched_solve(Yt: np.ndarray, used: np.ndarray, plan: _Plan) -> np.ndarray:
    """Least-squares or penalised fits of series with missing values, all at once."""
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


# ------------------------------------------------------------------------ MDL scores


def _mdl_rows(
    coef: np.ndarray, Yt: np.ndarray, S: np.ndarray, n_used: np.ndarray | None, plan: _Plan
) -> np.ndarray:
    """MDL scores of many series at once, with the arithmetic of :func:`zarn.mdl_score`.

    ``Yt`` holds NaN where a sample is not used, ``S`` is ``Yt`` sorted along each row, and
    ``n_used`` counts each row's samples (None: all of them).
    """
    med = _sorted_medians(S, n_used)
    dev = np.subtract(Yt, med[:, None])
    dev = np.abs(dev, out=dev)
    dev.sort(axis=1)  # NaN sorts last
    mad = _sorted_medians(dev, n_used)
    eps = np.where(mad > 0.0, 0.4 * mad, 0.4)
    res = coef @ plan.Phi.T
    res = np.abs(np.subtract(res, Yt, out=res), out=res)
    hits = np.add.reduce(res < eps[:, None], axis=1, dtype=np.int64)  # NaN is never a hit
    k = plan.k
    log_hk = k * math.log(2.0 * plan.H) if k > 0 else 0.0
    if n_used is None:
        nf = float(Yt.shape[1])
        score = -nf * _log_success_rates(Yt.shape[1])[hits] + (log_hk / nf) * k
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


__all__ = ["ManyFits", "fit_many"]
