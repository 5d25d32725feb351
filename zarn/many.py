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

from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from zarn import _backends
from zarn._design import Design
from zarn._params import Interval, check_param, validate_params
from zarn._plans import MDL, N_INLIERS, N_USED, Plan, make_plan
from zarn._validation import as_float_array, check_finite, check_positions
from zarn.models import PolynomialRegressor


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

    def __init__(self, packed: Any, plan: Plan, axis: int, ndim: int) -> None:
        k = plan.k
        lazy = not isinstance(packed, np.ndarray)
        self.coef = packed[:, :k] if lazy else packed[:, :k].copy()
        self.basis = plan.design.indices
        self.domain = plan.design.domain
        self.mdl = packed[:, MDL] if lazy else packed[:, MDL].copy()
        self.n_used = packed[:, N_USED].astype(np.int64)
        robust = plan.method == "robust"
        self.n_inliers = packed[:, N_INLIERS].astype(np.int64) if robust else None
        self.method = plan.method
        self.axis = axis
        self.ndim = ndim
        self._design: Design = plan.design

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
        X = check_positions(x_new, "x_new", self.basis.shape[1])
        check_finite(X, "x_new")
        out = self._design.predict(X, self.coef, "x_new")  # (n_series, n_new)
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
    largest coefficient (the ``"penalized"`` normal equations square the condition number
    of the design, so at high degree the single fit is no more accurate than that either);
    the tests hold them to 1e-9, and the agreement measured is on :doc:`/performance`. The
    MDL scores are computed for all series of a block at once with the core's arithmetic
    (tolerance 0.4 MAD, strict ``<``, success rate floored at 1/(2n)): equal to
    :func:`zarn.mdl_score` of the same prediction, and to :func:`zarn.mdl_score_reg` to
    rounding.

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
    params = validate_params(model)
    X = check_positions(x, "x")
    check_finite(X, "x")
    if not isinstance(skipna, (bool, np.bool_)):
        raise TypeError(f"skipna must be True or False, got {skipna!r}")
    n_jobs = check_param("n_jobs", n_jobs, _N_JOBS, "fit_many")
    chunk_size = check_param("chunk_size", chunk_size, _CHUNK_SIZE, "fit_many")

    dask_input = type(Y).__module__.split(".")[0] == "dask" and hasattr(Y, "map_blocks")
    if not dask_input:
        Y = as_float_array(Y, "Y")
    ndim = Y.ndim
    if ndim not in (1, 2):
        raise ValueError(
            f"Y must be 1-D (one series) or 2-D (samples along axis), got {ndim} dimensions"
        )
    axis = check_param("axis", axis, [Interval(int, -ndim, ndim - 1, closed="both")], "fit_many")
    axis %= ndim
    n_y = Y.shape[axis]
    if n_y != X.shape[0]:
        raise ValueError(
            f"x has {X.shape[0]} samples but Y has {n_y} along its sample axis {axis} "
            f"(shape {tuple(Y.shape)}); they must match"
        )

    plan = make_plan(X, params, bool(skipna))
    Yt = Y.reshape(1, -1) if ndim == 1 else (Y.T if axis == 0 else Y)  # (n_series, n)
    if dask_input:
        return ManyFits(_backends.dask_blocks(Yt, plan), plan, axis, ndim)
    return ManyFits(_backends.run_blocks(Yt, plan, n_jobs, chunk_size, progress), plan, axis, ndim)


# Worker processes: a count, or -1 (all cores), -2 (all but one)... as joblib counts them.
_N_JOBS = [
    Interval(int, 1, None, closed="left"),
    Interval(int, None, -1, closed="right"),
]
_CHUNK_SIZE = [Interval(int, 1, None, closed="left"), None]


__all__ = ["ManyFits", "fit_many"]
