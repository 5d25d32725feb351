"""Many independent polynomial fits that share their sample positions.

:func:`fit_many` fits one model per series (per pixel, spectrum or sensor) and returns a
:class:`ManyFits` holding every series' coefficients, their standard errors, the residual
scale, R^2, the sample count and, when asked, the MDL score. The series are processed in
blocks: in the calling process, in joblib worker processes, or as the blocks of a Dask
array on whatever scheduler is active.

Least-squares and penalised fits are linear in the data, so a block's series without a
missing value share one solve operator applied by a matrix product (and share their
unscaled covariance), and series with a few missing values share a batched solve; only
series whose missing values would make that solve poorly conditioned are fitted one by
one. The robust method fits whole blocks on its native engine, with the estimator's
arithmetic, so that every series' results are the estimator's.
"""

from __future__ import annotations

import functools
import numbers
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from zarn import _backends
from zarn._design import Design
from zarn._harmonics import harmonic_labels
from zarn._plans import (
    HARMONIC_FIELDS,
    Plan,
    fields,
    harmonic_fields,
    make_plan,
    n_failed,
    warn_if_deficient,
    warn_if_failed,
)
from zarn._settings import N_JOBS, Interval, Settings, check_flag, check_param, validate_params
from zarn._trends import (
    interval_half_widths,
    per_length,
    series_critical_values,
    series_pvalues,
    slope_row,
    trends,
    unpack,
)
from zarn._uncertainty import check_kind, check_level
from zarn._validation import (
    as_float_array,
    check_finite,
    check_positions,
    check_sample_weight,
    datetime_as_float,
)
from zarn.models import PolynomialRegressor


class ManyFits:
    """Results of :func:`fit_many`: one polynomial per series, on a shared basis and domain.

    Attributes are NumPy arrays, or lazy Dask arrays when ``Y`` was a Dask array (compute
    them together with ``dask.compute(fits.coef, fits.stderr)`` to run the fits once).

    Attributes
    ----------
    coef : ndarray of shape (n_series, n_coefficients)
        Each series' coefficients of the basis functions of the mapped variables, in
        ``basis`` order (the polynomial's, without the harmonics'); NaN for a series
        without samples.
    stderr : ndarray of shape (n_series, n_coefficients)
        Standard errors of the coefficients: those of the estimator's fit of the series
        alone (``PolynomialRegressor.stderr_``: for ``"ols"`` the textbook ones, equal to
        statsmodels' OLS on the mapped design; for ``"penalized"`` the Bayesian posterior
        ones; for ``"robust"`` those of the final fit at the robust scale). NaN without
        residual degrees of freedom.
    cov : ndarray of shape (n_series, k, k)
        Each series' covariance of its k coefficients, the polynomial's and then the
        harmonics' (``PolynomialRegressor.cov_`` of its fit alone), unpacked on each
        access from the upper triangles that the fits keep (``cov_packed``).
    cov_packed : ndarray of shape (n_series, k * (k + 1) / 2)
        The upper triangles of the covariances, row by row (the order of
        ``numpy.triu_indices``).
    df : ndarray of shape (n_series,)
        Degrees of freedom of the quantiles of each series' intervals and tests (the
        estimator's: ``df_resid``, or that of ``cov_type``); ``inf`` where they are normal
        quantiles.
    cov_type : str
        The covariance type of ``cov`` and ``stderr`` (``PolynomialRegressor.cov_type_``).
    harmonic_coef, harmonic_stderr : ndarray of shape (n_series, 2 harmonics) or None
        With ``harmonics``: the coefficients of the harmonic columns, in the order of
        ``harmonic_labels`` (``["sin1", "cos1", "sin2", ...]``), and their standard errors.
    amplitude, phase, amplitude_stderr, phase_stderr : ndarray or None
        With ``harmonics``, of shape (n_series, harmonics): each harmonic as
        ``amplitude * cos(2 pi j x / period - phase)``, with delta-method standard errors
        (as ``PolynomialRegressor.amplitude_``).
    period : float or None
        The harmonics' period in x's units (nanoseconds for dates).
    scale : ndarray of shape (n_series,)
        Residual standard deviation of each fit: ``sqrt(rss / df_resid)``, with
        ``df_resid`` the samples used less the rank (``"ols"``) or the effective number
        of parameters (``"penalized"``); the robust noise scale for ``"robust"``.
    r2 : ndarray of shape (n_series,)
        Coefficient of determination of each fit on its own samples, ``1 - rss / tss``
        (1.0 for a constant series). For the robust method the outliers count too.
    mdl : ndarray of shape (n_series,) or None
        Each series' MDL score on its own samples, penalties included (NaN without
        samples); None unless :func:`fit_many` was called with ``mdl=True``.
    basis : ndarray of shape (n_coefficients, n_features)
        The exponents of each basis function.
    domain : ndarray of shape (n_features, 2)
        Each feature's (low, high), mapped onto [-1, 1]; shared by every series.
    n_used : ndarray of int64, shape (n_series,)
        Samples each fit used.
    n_inliers : ndarray of int64, shape (n_series,) or None
        Robust method only: samples of each series not flagged as outliers (the
        estimator's ``inlier_mask_.sum()``).
    method : str
        The fitting method.
    axis : int
        The sample axis of ``Y``; :meth:`predict` lays its result out the same way.
    ndim : int
        Dimensions of ``Y``: 1 for a single series, else 2.
    dates : bool
        Whether the positions were dates or durations (then in nanoseconds).

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> x = np.linspace(0.0, 1.0, 5)
    >>> fits = zarn.fit_many(x, np.column_stack([x, 2 * x + 1 + [0, 0.1, 0, -0.1, 0]]),
    ...                      zarn.PolynomialRegressor(degree=1, method="ols"))
    >>> fits
    ManyFits(n_series=2, n_coefficients=2, method='ols')
    >>> fits.predict([0.5]).round(6)  # one row per position, one column per series
    array([[0.5, 2. ]])
    >>> fits.stderr.round(4)  # an exact line has no error; statsmodels' OLS gives the other
    array([[0.    , 0.    ],
           [0.0327, 0.0462]])
    >>> fits.r2.round(4)
    array([1.    , 0.9931])
    """

    def __init__(self, packed: Any, plan: Plan, axis: int, ndim: int, dates: bool = False) -> None:
        # Views of the packed array (n_series, width), whose quantities are contiguous.
        values = fields(packed, plan)
        self.coef = values["coef"]
        self.stderr = values["stderr"]
        self.cov_packed = values["cov"]
        self.df = values["df"]
        self.scale = values["scale"]
        self.r2 = values["r2"]
        self.mdl = values.get("mdl")
        self.n_used = values["n_used"]
        self.s_scale = values.get("s_scale")
        self.n_inliers = values.get("n_inliers")
        design = plan.design
        self.harmonic_coef = values.get("harmonic_coef")
        self.harmonic_stderr = values.get("harmonic_stderr")
        self.harmonic_labels = harmonic_labels(design.harmonics) if design.harmonics else None
        self.period = design.period
        self.cov_type = plan.cov_type
        self.basis = design.indices
        self.domain = design.domain
        self.method = plan.method.name
        self.axis = axis
        self.ndim = ndim
        self.dates = dates
        self._design: Design = design
        self._coef = packed[:, : plan.k]  # every column's coefficients, harmonics included
        self._packed, self._plan = packed, plan

    @functools.cached_property
    def _harmonic_fields(self) -> dict[str, Any]:
        """Amplitudes and phases with their errors, computed on first use (None each
        without harmonics)."""
        if not self._design.harmonics:
            return dict.fromkeys(HARMONIC_FIELDS)
        return harmonic_fields(self._packed, self._plan)

    @property
    def amplitude(self) -> Any:
        """Each harmonic's amplitude, (n_series, harmonics); None without harmonics.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.arange(48.0)                     # months
        >>> cycle = 2.0 * np.cos(2 * np.pi * x / 12 - 0.5) + np.resize([0.1, -0.1, 0.0], 48)
        >>> model = zarn.PolynomialRegressor(degree=1, method="ols", harmonics=1, period=12.0)
        >>> fits = zarn.fit_many(x, np.column_stack([cycle, 3.0 * cycle]), model)
        >>> relative = fits.amplitude_stderr / fits.amplitude
        >>> fits.amplitude.round(1).tolist(), bool((relative < 0.05).all())
        ([[2.0], [6.0]], True)
        """
        return self._harmonic_fields["amplitude"]

    @property
    def phase(self) -> Any:
        """Each harmonic's phase in radians, (n_series, harmonics), of
        ``amplitude cos(2 pi j x / period - phase)``; None without harmonics.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.arange(24.0)
        >>> model = zarn.PolynomialRegressor(degree=0, method="ols", harmonics=1, period=12.0)
        >>> fits = zarn.fit_many(x, np.cos(2 * np.pi * x / 12 - 1.0), model)
        >>> fits.phase.round(6).tolist()
        [[1.0]]
        """
        return self._harmonic_fields["phase"]

    @property
    def amplitude_stderr(self) -> Any:
        """Standard errors of ``amplitude`` (delta method); None without harmonics.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> fits = zarn.fit_many(np.arange(5.0), np.arange(5.0) ** 2,
        ...                      zarn.PolynomialRegressor(degree=2, method="ols"))
        >>> fits.amplitude_stderr is None   # no harmonics; see amplitude for a fit with them
        True
        """
        return self._harmonic_fields["amplitude_stderr"]

    @property
    def phase_stderr(self) -> Any:
        """Standard errors of ``phase`` (delta method); None without harmonics.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.arange(36.0)
        >>> y = np.sin(np.pi * x / 6) + np.resize([0.1, -0.1, 0.0, 0.05], 36)
        >>> fits = zarn.fit_many(x, y, zarn.PolynomialRegressor(0, harmonics=1, period=12.0))
        >>> bool(fits.phase_stderr[0, 0] < 0.05)
        True
        """
        return self._harmonic_fields["phase_stderr"]

    def __repr__(self) -> str:
        m, k = self.coef.shape
        return f"ManyFits(n_series={m}, n_coefficients={k}, method={self.method!r})"

    def __len__(self) -> int:
        return int(self.coef.shape[0])

    def predict(self, x_new: ArrayLike, derivative: int | tuple[int, ...] = 0) -> Any:
        """Evaluate every series' polynomial, or a derivative of it, at the positions ``x_new``.

        Parameters
        ----------
        x_new : array-like of shape (n_new,) or (n_new, n_features)
            Positions; outside the domain the polynomials are extrapolated. Dates and
            durations are converted as at the fit (nanoseconds).
        derivative : int or tuple of int, default=0
            The order of the derivative with respect to the positions (in their own
            units: per nanosecond for dates); with several features, one order per
            feature (partial derivatives). 0 gives the fitted values.

        Returns
        -------
        ndarray (or Dask array)
            Laid out as ``Y`` was: shape (n_new, n_series) for ``axis=0``, (n_series, n_new)
            for ``axis=1``, and (n_new,) for a one-dimensional ``Y``. A series without
            samples predicts NaN.

        Raises
        ------
        ValueError
            For positions that are not finite, a negative order, an int order other than
            0 with several features, or predictions beyond the range of doubles.

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
        >>> fits.predict([4.0, 5.0], derivative=1).round(6)  # the slopes
        array([[ 8., 10.],
               [-1., -1.]])
        """
        orders = derivative_orders(derivative, self.basis.shape[1])
        X = self._positions(x_new)
        return self._laid_out(self._design.predict(X, self._coef, "x_new", orders))

    @property
    def cov(self) -> Any:
        """Each series' covariance of its coefficients, (n_series, n_coefficients,
        n_coefficients), unpacked from ``cov_packed`` (lazy for Dask).

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.arange(6.0)
        >>> fits = zarn.fit_many(x, np.column_stack([x + [0, 1, 0, -1, 0, 1], x]),
        ...                      zarn.PolynomialRegressor(degree=1, method="ols"))
        >>> fits.cov.shape, bool(np.allclose(np.sqrt(np.diagonal(fits.cov, 0, 1, 2)), fits.stderr))
        ((2, 2, 2), True)
        """
        return unpack(self.cov_packed, self._coef.shape[1])

    def trend(self, per: Any = None, at: Any = None) -> tuple[Any, Any]:
        """Each series' trend: the slope dy/dx at ``at``, per ``per`` of x, with its
        standard error.

        Parameters
        ----------
        per : {"year", "decade"}, numpy.timedelta64, float or None, default=None
            The length of x the trend is given per. For dates and durations: ``"year"``
            (365.2425 days, the mean Gregorian year), ``"decade"`` (3,652.425 days) or a
            ``timedelta64``; these need to be named (a trend per nanosecond is never what
            is meant), so None is refused there. For numbers: a positive length in x's
            units, or None for one unit of x.
        at : float, numpy.datetime64, numpy.timedelta64 or None, default=None
            The position of the slope (None: the middle of the fitted domain). The slope
            of a line is the same everywhere; that of a curve is not.

        Returns
        -------
        trend, trend_stderr : ndarray of shape (n_series,), or of shape () for a 1-D Y
            Lazy for Dask. ``g' coef`` and ``sqrt(g' C g)``, with g the derivatives of the basis
            functions at ``at`` times ``per`` (0 for the harmonics' columns: the trend is
            the polynomial's slope) and C the series' covariance (``cov``, of its
            ``cov_type``): for ``"ols"`` of degree 1, statsmodels' slope and its standard
            error in the units of ``per``. NaN for a series without samples or without
            residual degrees of freedom.

        Raises
        ------
        ValueError
            For fits of several features, ``per=None`` with dates, a named ``per`` or a
            timedelta64 with numbers, a ``per`` that is not positive, or an ``at`` that is
            not one finite position.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> time = np.arange("2000-01", "2020-01", dtype="datetime64[M]").astype("datetime64[D]")
        >>> years = (time - time[0]) / np.timedelta64(1, "D") / 365.2425
        >>> noise = np.resize([0.1, -0.1, 0.05, -0.05], (240, 1))
        >>> Y = 0.02 * years[:, None] * [1.0, 2.0] + noise
        >>> fits = zarn.fit_many(time, Y, zarn.PolynomialRegressor(degree=1, method="ols"))
        >>> trend, stderr = fits.trend(per="decade")
        >>> trend.round(2), bool((stderr < 0.01).all())
        (array([0.2, 0.4]), True)
        """
        length = per_length(per, self.dates)
        g = slope_row(self._design, self._at(at), length)
        trend, stderr = trends(self._coef, self.cov_packed, g)
        return (trend[0], stderr[0]) if self.ndim == 1 else (trend, stderr)

    def trend_pvalue(self, at: Any = None) -> Any:
        """Each series' two-sided p-value of its trend at ``at``: of the test that the slope
        there is 0, as statsmodels' ``pvalues`` of a slope.

        The ratio of the trend to its standard error does not depend on ``per``, so neither
        does the p-value; it is that of :meth:`trend` at the same ``at``.

        Parameters
        ----------
        at : float, numpy.datetime64, numpy.timedelta64 or None, default=None
            The position of the slope, as for :meth:`trend` (None: the middle of the
            fitted domain).

        Returns
        -------
        pvalue : ndarray of shape (n_series,), or of shape () for a 1-D Y
            Lazy for Dask. ``P(|T| > |trend / trend_stderr|)`` with T Student's t of each
            series' ``df`` degrees of freedom, the normal distribution where ``df`` is
            ``inf`` (the quantiles of :meth:`predict_interval`): for ``"ols"`` of degree 1,
            statsmodels' p-value of the slope, also with ``cov_type="HAC"`` (normal, as
            statsmodels without ``use_t``). NaN where the standard error is.

        Raises
        ------
        ValueError
            For fits of several features, or an ``at`` that is not one finite position.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.arange(20.0)
        >>> noise = np.resize([0.3, -0.2, -0.3, 0.2], 20)
        >>> Y = np.column_stack([0.1 * x + noise, noise])   # a trend, and none
        >>> fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=1, method="ols"))
        >>> (fits.trend_pvalue() < 0.05).tolist()
        [True, False]
        """
        g = slope_row(self._design, self._at(at), 1.0)
        trend, stderr = trends(self._coef, self.cov_packed, g)
        pvalue = series_pvalues(trend, stderr, self.df)
        return pvalue[0] if self.ndim == 1 else pvalue

    def predict_interval(
        self,
        x_new: ArrayLike,
        level: float = 0.95,
        kind: str = "confidence",
        derivative: int | tuple[int, ...] = 0,
    ) -> tuple[Any, Any]:
        """Each series' confidence intervals of its curve (or of a derivative), or
        prediction intervals of new observations, at the positions ``x_new``.

        Parameters
        ----------
        x_new : array-like of shape (n_new,) or (n_new, n_features)
            Positions, as for :meth:`predict`.
        level : float, default=0.95
            Coverage of the intervals, strictly between 0 and 1.
        kind : {"confidence", "prediction"}, default="confidence"
            ``"confidence"``: where the curve (or its derivative) lies, ``predict -/+ c se``
            with ``se**2 = phi' C phi`` at the basis functions phi (or their derivatives)
            of each position and C the series' covariance. ``"prediction"``: where a new
            observation of weight 1 falls, ``se**2 + scale**2``.
        derivative : int or tuple of int, default=0
            The order of the derivative, as for :meth:`predict` (``"confidence"`` only).

        Returns
        -------
        low, high : ndarray (or Dask array)
            Laid out as :meth:`predict`. c is each series' quantile of the estimator's
            intervals (``PolynomialRegressor.predict_interval``): Student's t with the
            series' ``df`` degrees of freedom (``df_resid``: for ``"ols"``, exact under
            Gaussian noise; for ``"robust"``, as R's ``lmrob``; ``n_eff - k`` for
            ``cov_type="ar1"``), the normal quantile where ``df`` is ``inf`` (HC0-HC3 and
            HAC without ``use_t``, Huber's H1). NaN for a series without samples or
            without residual degrees of freedom.

        Raises
        ------
        ValueError
            As :meth:`predict`, and for a level outside (0, 1), an unknown kind, or a
            prediction interval of a derivative.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.arange(10.0)
        >>> noise = np.array([0.1, -0.1, 0.2, 0.0, -0.2, 0.1, -0.1, 0.0, 0.1, -0.1])
        >>> fits = zarn.fit_many(x, 2.0 + 0.5 * x + noise,
        ...                      zarn.PolynomialRegressor(degree=1, method="ols"))
        >>> low, high = fits.predict_interval([4.5], level=0.9)
        >>> round(float(high[0] - low[0]), 4)  # as the estimator's
        0.1522
        """
        level, kind = check_level(level), check_kind(kind)
        orders = derivative_orders(derivative, self.basis.shape[1])
        if kind == "prediction" and any(orders):
            raise ValueError(
                "prediction intervals are those of new observations, not of derivatives: "
                'use kind="confidence" with derivative'
            )
        X = self._positions(x_new)
        mean = self._design.predict(X, self._coef, "x_new", orders)  # (n_series, n_new)
        G = self._design.derivative_matrix(self._design.map(X), orders, X)
        c = series_critical_values(self.df, level)
        half = interval_half_widths(self.cov_packed, self.scale, c, G, kind)
        return self._laid_out(mean - half), self._laid_out(mean + half)

    def _positions(self, x_new: ArrayLike) -> np.ndarray:
        """New positions (n_new, n_features), checked; dates in nanoseconds."""
        X = check_positions(datetime_as_float(x_new, "x_new"), "x_new", self.basis.shape[1])
        check_finite(X, "x_new")
        return X

    def _at(self, at: Any) -> float:
        """The position of a trend: one finite value (dates in nanoseconds), or the
        middle of the domain."""
        if at is None:
            return float(self.domain[0].mean())
        value = np.asarray(datetime_as_float(np.asarray(at).reshape(-1), "at"), dtype=float)
        if value.size != 1:
            raise ValueError(f"at must be one position; got {value.size}")
        return float(value[0])

    def _laid_out(self, out: Any) -> Any:
        """Values (n_series, n_new) laid out as ``Y``."""
        if self.ndim == 1:
            return out[0]
        return out if self.axis == 1 else out.T


def derivative_orders(derivative: Any, n_features: int) -> tuple[int, ...]:
    """One order of derivative per feature, checked: an int (for one feature, or 0) or a
    sequence of one int per feature, each >= 0."""
    if isinstance(derivative, numbers.Integral) and not isinstance(derivative, bool):
        if derivative != 0 and n_features != 1:
            raise ValueError(
                f"derivative={derivative} is ambiguous with {n_features} features: give one "
                "order per feature, e.g. (1, 0) for the slope along the first"
            )
        orders: tuple[Any, ...] = (derivative,) * n_features
    elif isinstance(derivative, (tuple, list)):
        orders = tuple(derivative)
        if len(orders) != n_features:
            raise ValueError(
                f"derivative has {len(orders)} orders but the fits have {n_features} features"
            )
    else:
        raise TypeError(f"derivative must be an int or a tuple of ints, got {derivative!r}")
    for order in orders:
        if isinstance(order, bool) or not isinstance(order, numbers.Integral) or order < 0:
            raise ValueError(f"derivative orders must be ints >= 0, got {derivative!r}")
    return tuple(int(o) for o in orders)


def model_settings(model: Any) -> Settings:
    """The checked settings of the model of :func:`fit_many` and :func:`zarn.xarray.fit`
    (None: the defaults): an internal API of the two.

    Raises
    ------
    TypeError
        For a model that is not a :class:`PolynomialRegressor`.
    """
    model = PolynomialRegressor() if model is None else model
    if not isinstance(model, PolynomialRegressor):
        raise TypeError(f"model must be a PolynomialRegressor or None, got {type(model).__name__}")
    return validate_params(model)


def fit_many(
    x: ArrayLike,
    Y: Any,
    model: PolynomialRegressor | None = None,
    *,
    axis: int = 0,
    skipna: bool = True,
    min_count: int | None = None,
    sample_weight: ArrayLike | None = None,
    mdl: bool = False,
    n_jobs: int = 1,
    chunk_size: int | None = None,
    progress: bool = False,
) -> ManyFits:
    """Fit one polynomial model to each of many series sampled at shared positions.

    Parameters
    ----------
    x : array-like of shape (n,) or (n, n_features)
        The positions shared by every series; must be finite. Dates (``datetime64``) and
        durations (``timedelta64``) become float nanoseconds, as xarray converts them; NaT
        is refused like NaN.
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
    min_count : int or None, default=None
        The fewest valid samples of a series that is fitted (pandas' and xarray's name):
        a series with fewer gets NaN coefficients and statistics, and its ``n_used``
        still counts them. None: one more than the number of coefficients, so that every
        fit has a residual degree of freedom (a cubic through 2 points would otherwise
        give coefficients, R^2 = 1 and standard errors that mean nothing). At least 1.
    sample_weight : array-like of shape (n,) or None, default=None
        Weights of the samples, shared by every series, with scikit-learn's meaning: they
        multiply the squared residuals, a zero weight leaves the sample out (of ``n_used``
        too), and integer weights give the coefficients of repeated samples. For the
        statistics they are precision weights, as in statsmodels' WLS: ``scale`` is that
        of an observation of weight 1, and R^2 uses the weighted mean. The penalties' n
        is the sum of the weights of a series' samples. The robust method passes them to
        its engine as the estimator does (``lmrob``'s precision weights). Not with
        ``mdl=True``.
    mdl : bool, default=False
        Whether to compute each series' MDL score (``ManyFits.mdl``). Its two medians per
        series cost more than the least-squares fit itself (about 2.5x the time of an
        ``"ols"`` fit of complete series), so it is computed only when asked.
    n_jobs : int, default=1
        NumPy input only: worker processes (joblib's loky backend; -1 for one per core).
        Processes, because a call into the native core holds the interpreter lock. With
        1, the ``"ols"``, ``"penalized"`` and ``"robust"`` fits run their blocks on up to
        four threads of the calling process (their work is NumPy's or the robust engine's,
        which release the lock; the engine also spreads a block's series over its own
        threads). The results do not depend on ``n_jobs`` or on the threads.
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
        The fits; its arrays are lazy Dask arrays when ``Y`` is a Dask array. Each series
        keeps the full covariance of its coefficients, packed (its upper triangle), for
        :meth:`ManyFits.trend` and :meth:`ManyFits.predict_interval`: 2 k + k (k + 1) / 2
        + 7 doubles per series in all, of which the covariance and its degrees of freedom
        are k (k + 1) / 2 + 1 (100,000 series at degree 3, k = 4, hold 8.8 MB of
        covariances in 20 MB of results).

    Raises
    ------
    ValueError
        For NaN, NaT or infinity in ``x``, a length of ``x`` that differs from ``Y``'s
        sample axis, ``Y`` of more than two dimensions, invalid sample weights (negative,
        not finite, all zero, or of another length), ``mdl=True`` with sample weights, a
        ``min_count`` below 1, or an invalid model parameter.

    Warns
    -----
    zarn.FitWarning
        Once, counting the series that have enough samples but that the method could
        not fit (NaN, while the other series are fitted); NumPy input only, since Dask
        input is fitted when it is computed.
    zarn.RankWarning
        When the shared design cannot determine every coefficient.

    See Also
    --------
    zarn.xarray.fit : the same fits of the series of an xarray DataArray or Dataset,
        returned as a Dataset.

    Notes
    -----
    Every series is fitted on the design matrix of ``x`` mapped from the shared domain.
    ``"robust"``: each block of series is one call of the native robust engine, which
    fits the series on its threads without the interpreter lock; a series' fit depends
    on its own present samples, the design and the seed only, so its results are those
    of a :class:`PolynomialRegressor` of the model's parameters, whose domain is the
    shared one, fitted to the series alone, bit for bit (R^2 and the MDL score to
    rounding). A ``random_state`` of None is drawn once, and every series uses that
    seed; series of extreme size (``|y|`` beyond 1e+-100) are scaled as the estimator scales
    them, one by one. Penalty weights chosen per series (``"auto"``): each series is
    fitted alone by that estimator. ``"ols"`` and ``"penalized"``: the fit is linear in
    the data. The fits of the columns of an orthonormal basis Q of the design (one core
    call each) give a k x k matrix C, and every series without missing values gets
    ``C @ Q.T @ y`` from one matrix product per block; all of them share the unscaled
    covariance of their coefficients, so their standard errors are that covariance's
    times their residual scale. A series with missing values gets a batched solve of its
    normal equations (in the basis Q for ``"ols"``), through their Cholesky factors, which
    also give its own covariance, when the leverages of its missing samples sum to at most
    0.99 (which bounds the condition number of that solve by 100), and is otherwise fitted
    alone, as the estimator fits it. Both shared routes agree with fitting each series
    alone to within rounding, relative to the largest coefficient (the ``"penalized"``
    normal equations square the condition number of the design, so at high degree the
    single fit is no more accurate than that either); the tests hold them to 1e-9, and the
    agreement measured is on :doc:`/performance`. The MDL scores are computed for all
    series of a block at once with the core's arithmetic (tolerance 0.4 MAD, strict
    ``<``, success rate floored at 1/(2n)): equal to :func:`zarn.mdl_score` of the same
    prediction, and to :func:`zarn.mdl_score_reg` to rounding.

    The model's ``harmonics`` and ``period`` add the sine/cosine columns of the period to
    the shared design (the period of dates defaults to one mean Gregorian year), so every
    route fits them with the polynomial, as the estimator does. Its ``cov_type`` applies
    to every series: on the ``"ols"`` and ``"penalized"`` routes the covariances of
    HC0-HC3, HAC and ``"ar1"`` are formed for all series of a block at once from their
    residuals and their unscaled covariance (:func:`zarn._covtypes.covariance`, with
    missing samples left out of the lags, as statsmodels on the series without them), and
    ``df`` holds each series' degrees of freedom of its quantiles (``inf`` for normal
    ones, ``n_eff - k`` for ``"ar1"``).

    With a Dask array, ``Y`` is rechunked to a single chunk along the sample axis (chunks
    there are merged: choose chunks along the series axis only) and every block of series
    becomes one task of ``map_blocks``; the results are lazy Dask arrays. The robust
    engine and NumPy release the interpreter lock, so Dask's threaded scheduler runs
    those blocks at once; the native core holds it, so penalty weights chosen per series
    need process workers to run in parallel, for example
    ``dask.distributed.Client(LocalCluster(processes=True))``; the same code runs on a
    real cluster.

    For an xarray ``DataArray`` or ``Dataset`` (NumPy- or Dask-backed), :mod:`zarn.xarray`
    fits the series along one dimension and returns the results as a ``Dataset``.

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
    >>> bool((fits.scale.round(1) == 0.1).all())  # the noise's standard deviation
    True
    """
    settings = model_settings(model)
    converted = datetime_as_float(x, "x")
    dates = converted is not x  # the conversion returns anything but dates as given
    X = check_positions(converted, "x")
    check_finite(X, "x")
    skipna, mdl = check_flag("skipna", skipna), check_flag("mdl", mdl)
    n_jobs = check_param("n_jobs", n_jobs, N_JOBS, "fit_many")
    min_count = check_param("min_count", min_count, MIN_COUNT, "fit_many")
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

    weights = check_sample_weight(sample_weight, X.shape[0])
    if weights is not None and mdl:
        raise ValueError(
            "mdl=True cannot be combined with sample_weight: the MDL score counts the "
            "samples a fit hits, which has no weighted form here"
        )
    plan = make_plan(X, settings, skipna, mdl, weights, dates, min_count)
    Yt = Y.reshape(1, -1) if ndim == 1 else (Y.T if axis == 0 else Y)  # (n_series, n)
    warn_if_deficient(plan, Yt.shape[0])
    if dask_input:
        packed = _backends.dask_blocks(Yt, plan)
    else:
        packed = _backends.run_blocks(Yt, plan, n_jobs, chunk_size, progress)
        warn_if_failed(n_failed(packed, plan), len(packed))
    return ManyFits(packed, plan, axis, ndim, dates)


_CHUNK_SIZE = [Interval(int, 1, None, closed="left"), None]
# min_count of fit_many and zarn.xarray.fit: a count of samples, or None for k + 1.
MIN_COUNT = [Interval(int, 1, None, closed="left"), None]


__all__ = ["ManyFits", "fit_many"]
