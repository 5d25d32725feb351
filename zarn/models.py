"""Polynomial regression models with scikit-learn conventions, on zarn's native core."""

from __future__ import annotations

import copy
import inspect
import math
import numbers
import warnings
from collections.abc import Callable, Mapping
from typing import Any, ClassVar

import numpy as np
from numpy.typing import ArrayLike

from zarn import _basis, _constants, _methods
from zarn._design import PREDICT_BLOCK_ROWS, Design
from zarn._fit import SeriesFit, fit_series
from zarn._harmonics import amplitude_phase, harmonic_labels
from zarn._optional import import_optional
from zarn._plotting import plot_fit
from zarn._scores import Residuals, mdl
from zarn._settings import (
    ARRAY_LIKE,
    DEGREES,
    WEIGHT,
    Constraint,
    InstanceOf,
    Interval,
    Options,
    ParameterTable,
    validate_params,
)
from zarn._smoothing import AUTO
from zarn._summary import Summary, summarize
from zarn._targets import fit_targets
from zarn._uncertainty import Uncertainty, check_kind, check_level
from zarn._validation import (
    as_float_array,
    check_finite,
    check_sample_weight,
    check_X,
    check_y,
    datetime_as_float,
    feature_names,
    not_fitted_error,
)

# A penalty weight: a number, or "auto" to choose it from the data.
PENALTY_WEIGHT: list[Constraint] = [WEIGHT, Options(AUTO)]
# Attributes that only some fits set: a new fit drops those of an earlier one.
_SET_BY_SOME_FITS = frozenset(
    {
        "feature_names_in_",
        "inlier_mask_",
        "seed_",
        "robust_weights_",
        "s_scale_",
        "cov_h1_",
        "_mdl",
        "harmonic_coef_",
        "harmonic_labels_",
        "period_",
    }
)

_C_INT = _constants.C_INT_MAX


class PolynomialRegressor:
    """Polynomial regression in one or several variables: least squares, penalised or robust.

    Each feature is mapped affinely from its domain onto [-1, 1] (as
    :class:`numpy.polynomial.Polynomial` does), a monomial basis is built on the mapped
    variables, and the coefficients are fitted by ordinary least squares, by least squares
    with slope and curvature penalties, or by a robust search that ignores gross outliers.
    The model follows scikit-learn's conventions (``fit``/``predict``/``score``,
    ``get_params``/``set_params``, ``clone``, pipelines, grid searches) without needing
    scikit-learn installed.

    Parameters
    ----------
    degree : int or sequence of int, default=3
        Highest power of each feature: one int for every feature, or one per feature.
    method : {"ols", "penalized", "robust"}, default="penalized"
        ``"ols"``: minimum-norm least squares, by a QR factorisation of the design and a
        singular value decomposition of its small triangular factor (the penalties are not
        applied). ``"penalized"``: least squares plus
        ``n * gamma1 * slope + n * gamma2 * curvature`` penalties and a ridge, solved by
        the normal equations. ``"robust"``: resistant to gross outliers, see Notes.
    gamma1, gamma2 : float or "auto", default=0.0
        Weights of the penalties on the integrated squared slope (gradient) and curvature
        (Hessian) of the fitted function over the mapped box [-1, 1]^d. Both are
        multiplied by the number of samples (the sum of the sample weights, when given),
        so a weight means the same at any n. ``"auto"`` chooses the weight from the data
        by restricted maximum likelihood (REML); with both ``"auto"`` they are chosen
        together. The weights used are ``gamma1_`` and ``gamma2_`` (see Notes).
    ridge : float, default=1e-10
        Added to the diagonal of the normal equations (``"penalized"`` and the robust
        method's refits); keeps them solvable when the basis outnumbers the samples.
    basis : {"total", "tensor"}, default="total"
        ``"total"``: the monomials whose powers sum to at most the largest degree (and
        each at most its feature's degree), as scikit-learn's ``PolynomialFeatures``:
        ``comb(degree + d, d)`` coefficients for one degree in d features. ``"tensor"``:
        every combination of per-feature powers up to each feature's degree,
        ``(degree + 1) ** d`` coefficients, which grows fast with d (256 for degree 3 in 4
        features). The same for one feature.
    domain : None or sequence of (low, high), default=None
        Each feature's interval mapped onto [-1, 1]; None takes the training data's
        [min, max]. One pair per feature (a single pair for one feature).
    n_grid : int or None, default=None
        Grid points of the penalty integrals: per interval in one variable (None: 600),
        per dimension in several (None: 30). Lower it for many features.
    H : int, default=20
        Complexity parameter of the MDL score (its model cost is k^2 ln(2H) / n).
    n_chains, n_warmup, n_deep, n_elite : int, default=25, 200, 2000, 5
        Settings of the robust method's sampler (:class:`zarn.TournamentMCMC`): warm-up
        chains, steps per warm-up chain, steps per refinement run, refined chains. The fit
        time grows with ``n_chains * n_warmup + n_elite * n_deep``.
    step_size : float, default=0.05
        Proposal step of the sampler's warm-up, in the robust method's standardised units.
    random_state : int, numpy.random.Generator, numpy.random.RandomState or None, default=42
        Seed of the robust method's sampler; None draws a fresh one (recorded in
        ``seed_``). The robust fit is reproducible bit for bit for a given seed, whatever
        the number of threads.
    harmonics : int, default=0
        Sine/cosine pairs of ``period`` fitted jointly with the polynomial (a seasonal
        cycle): the columns ``sin(2 pi j x / period)``, ``cos(2 pi j x / period)`` for
        j = 1..harmonics, from x in its own units (nanoseconds since 1970 for dates),
        reduced modulo the period. One feature only. Every method fits them: the penalties
        act on the polynomial only, the robust fit includes them.
    period : float, numpy.timedelta64 or None, default=None
        The period of the harmonics in x's units; a ``timedelta64`` is taken in
        nanoseconds (the unit of converted dates). None: one mean Gregorian year
        (365.2425 days) for dates and durations; numbers need an explicit period.
    cov_type : str or None, default=None
        The covariance of the coefficients, and so ``stderr_``, intervals and the summary's
        tests. None is the method's own: ``"nonrobust"`` for ``"ols"`` and
        ``"penalized"`` (their classic covariance), ``"avar1"`` for ``"robust"``.
        ``"ols"`` and ``"penalized"`` also take ``"HC0"``-``"HC3"`` and ``"HAC"``
        (heteroscedasticity- and autocorrelation-robust, as statsmodels'
        ``OLS/WLS.fit(cov_type=...)``) and ``"ar1"`` (the AR(1) effective sample size of
        Santer et al. 2000: the residuals' lag-1 autocorrelation r1 gives
        ``n_eff = n (1 - r1) / (1 + r1)``, which inflates the covariance by
        ``(n - k) / (n_eff - k)`` and sets the t quantiles' degrees of freedom to
        ``n_eff - k``). ``"robust"`` takes ``"avar1"`` (``lmrob``'s default) and ``"H1"``
        (Huber's H1, statsmodels' ``RLM``, with normal quantiles as there). HAC and ar1
        follow the samples in the order of x (one feature) or of the rows.
    cov_kwds : dict or None, default=None
        Keywords of ``cov_type``, statsmodels' names: ``use_t`` (HC0-HC3, HAC and
        nonrobust; HC and HAC use normal quantiles unless ``use_t=True``, statsmodels'
        default), and for HAC ``maxlags`` (default ``floor(4 (n / 100)^(2/9))``, Newey and
        West's rule), ``use_correction`` (scale by ``n / (n - k)``) and ``kernel``
        (``"bartlett"`` only).

    Attributes
    ----------
    coef_ : ndarray of shape (n_coefficients,) or (n_targets, n_coefficients)
        Coefficients of the basis functions of the mapped variables, in ``basis_`` order
        (one row per target for a 2-D y: see "Several targets" below): the polynomial
        part only of a fit with harmonics.
    harmonic_coef_, harmonic_stderr_ : ndarray of shape (2 harmonics,) or (n_targets, 2 harmonics)
        Fits with harmonics only: the coefficients of the harmonic columns, in the order of
        ``harmonic_labels_``, and their standard errors.
    harmonic_labels_ : list of str
        Fits with harmonics only: ``["sin1", "cos1", "sin2", ...]``.
    amplitude_, phase_ : ndarray of shape (harmonics,) or (n_targets, harmonics)
        Fits with harmonics only: each harmonic ``a sin + b cos`` written as
        ``amplitude * cos(2 pi j x / period - phase)``, ``amplitude = hypot(a, b)`` and
        ``phase = atan2(a, b)`` in radians, measured from x = 0 (1970-01-01 for dates).
    amplitude_stderr_, phase_stderr_ : ndarray of shape (harmonics,) or (n_targets, harmonics)
        Fits with harmonics only: their standard errors by the delta method.
    period_ : float
        Fits with harmonics only: the period used, in x's units (nanoseconds for dates).
    cov_type_ : str
        The covariance type used (the method's default for ``cov_type=None``).
    basis_ : ndarray of shape (n_coefficients, n_features_in_)
        The exponents of each basis function (one row per coefficient).
    domain_ : ndarray of shape (n_features_in_, 2)
        Each feature's (low, high), mapped onto [-1, 1].
    n_features_in_ : int
        Number of features seen in ``fit``.
    feature_names_in_ : ndarray of str
        Column names of a DataFrame passed to ``fit`` (only then).
    gamma1_, gamma2_ : float or ndarray of shape (n_targets,)
        The penalty weights of the fit: the chosen ones for ``"auto"``, else the
        parameters (as floats; 0.0 for ``"auto"`` with ``method="ols"``, which applies no
        penalty).
    mdl_ : float or ndarray of shape (n_targets,)
        MDL score of the fit on its training data, penalties included, with k the number
        of coefficients (lower is better; see :func:`zarn.mdl_score_reg`). Samples of
        weight zero are left out; the others count alike.
    cov_ : ndarray of shape (n_coefficients, n_coefficients) or (n_targets, k, k)
        Covariance matrix of ``coef_`` (with harmonics: of ``coef_`` then
        ``harmonic_coef_``, all the fit's columns). With ``cov_type``, that of the type;
        else ``"ols"``: ``scale_**2 (Phi'W Phi)^-1`` of the
        mapped design Phi and the weights W (the pseudo-inverse when the design is
        rank-deficient), as statsmodels' OLS and WLS. ``"penalized"``: the Bayesian
        posterior covariance ``scale_**2 (Phi'W Phi + S)^-1`` with S the penalty (as mgcv's
        ``Vp``), which includes the bias the penalty brings. ``"robust"``: R's ``lmrob``
        default (``.vcov.avar1``), Huber's H1 for penalised fits. NaN without residual
        degrees of freedom.
    stderr_ : ndarray of shape (n_coefficients,) or (n_targets, n_coefficients)
        Standard errors of ``coef_``, the square roots of the diagonal of ``cov_``.
    scale_ : float or ndarray of shape (n_targets,)
        Standard deviation of the noise (of an observation of weight 1): the square root of
        the weighted residual sum of squares over ``df_resid_``; for the robust method the
        scale of the final M-step (``lmrob``'s ``scale``; for Gaussian noise an estimate of
        its standard deviation, not inflated by outliers), 0 for an exact fit: most
        samples on the fit to within 1e-9 of y's spread about its median.
    df_resid_ : float or ndarray of shape (n_targets,)
        Residual degrees of freedom: the samples of positive weight less ``edf_``.
    edf_ : float or ndarray of shape (n_targets,)
        Effective number of parameters, the trace of the hat matrix: ``rank_`` for
        ``"ols"``, less than the number of coefficients for penalised fits.
    rank_ : int
        Numerical rank of the weighted mapped design (singular values below
        ``max(n, k) * 2**-52`` times the largest count as zero, as for :func:`zarn.ols`).
        Below the number of coefficients, or with more coefficients than samples, ``fit``
        issues a :class:`zarn.exceptions.RankWarning`.
    singular_values_ : ndarray of shape (min(n_samples, n_coefficients),)
        Singular values of the weighted mapped design ``sqrt(W) Phi``, largest first.
    inlier_mask_ : ndarray of bool, shape (n_samples,) or (n_samples, n_targets)
        Robust method only: False for the training samples flagged as outliers, those
        whose residual, standardised for its leverage, exceeds 3 ``scale_``.
    robust_weights_ : ndarray of shape (n_samples,) or (n_samples, n_targets)
        Robust method only: each training sample's weight in [0, 1] in the final fit
        (Tukey's biweight of its residual); ``coef_`` is the least-squares fit with these
        weights (times any sample weights).
    s_scale_ : float or ndarray of shape (n_targets,)
        Robust method only: the scale of the S-estimate that starts the M-steps.
    cov_h1_ : ndarray of shape (n_coefficients, n_coefficients) or (n_targets, k, k)
        Robust method only: Huber's H1 covariance of ``coef_`` at ``scale_`` (statsmodels'
        ``RLM`` default), which assumes constant noise.
    gibbs_ : GibbsRecord or tuple of GibbsRecord
        Robust method only: the Gibbs analysis of the tournament sampler's warm-up (frozen,
        picklable), run on the fit's residuals when first asked for (with the sampler
        settings and ``seed_``, on at most 250 samples drawn from the seed); one per target
        for a 2-D y.
    seed_ : int
        Robust method only: the seed of the fit and of the sampler (the same for every
        target).

    See Also
    --------
    numpy.polynomial.Polynomial.fit : least squares in one variable, with domain mapping.
    zarn.compare_models : fit many candidates and choose one by an information criterion.
    zarn.fit_many : one model per series for many series (pixels, sensors) at shared positions.

    Notes
    -----
    The robust method is an MM-estimator with R's ``robustbase::lmrob`` defaults, fitted
    by zarn's native robust engine: up to half of the samples may be arbitrarily bad. A
    high-breakdown S-estimate (the smallest M-scale of Tukey's biweight among elemental
    starts and the annealed least-squares fit, ``s_scale_`` its scale) is followed by
    95 %-efficient biweight M-steps, first at that scale, then at the noise scale of their
    residuals while it falls. ``coef_`` is the weighted least-squares fit with the final
    biweight weights (``robust_weights_``); samples beyond 3 noise scales are flagged
    (``inlier_mask_``). On more than 1,000 samples the search runs on a subsample of
    1,000 and the last M-steps on all of them. A fit costs about as much as ten to a few
    tens of least-squares fits. ``scale_`` is the final M-step's scale and ``cov_`` is
    ``lmrob``'s default covariance (``.vcov.avar1``, valid when the noise is not
    constant; Huber's H1 with a penalty), with Student's t quantiles with ``df_resid_``
    degrees of freedom, as ``confint`` and ``summary.lmrob``; ``cov_h1_`` is Huber's H1.
    The tournament sampler does not run at fit: ``gibbs_`` runs it on the fit's residuals
    when first asked for. See the user guide's robust page.

    Several targets: ``fit(X, Y)`` with Y of shape (n_samples, n_targets) fits one model
    per column of Y, each equal (to rounding) to the fit of that column alone, with the
    same X, weights and parameters, as scikit-learn's multi-output regressors do. The
    basis, domain, ``rank_`` and ``singular_values_`` are shared; ``coef_`` has one row per
    target, every statistic one entry per target along its first axis, and ``predict``,
    ``predict_interval`` one column per target (per-sample arrays, such as
    ``inlier_mask_``, too). A Y of one column keeps these shapes, as for
    :class:`sklearn.linear_model.LinearRegression`. ``score`` is the mean of the targets'
    R^2; ``summary``, ``plot`` and ``to_polynomial`` take ``target=``. For ``"ols"`` and
    ``"penalized"`` with numeric weights the targets share one solve and one covariance
    (over the scale squared), as in :func:`zarn.fit_many`; robust fits and ``"auto"``
    weights fit each target alone, the robust ones with one seed (``seed_``). Y must be
    finite. For many series (thousands of pixels, with missing values and worker
    processes), :func:`zarn.fit_many` is the faster tool.

    Sample weights have scikit-learn's meaning for the least-squares methods: they
    multiply the squared residuals, a zero weight drops a sample, and integer weights give
    the fit of the correspondingly repeated samples. For the uncertainty they are precision
    weights, as in statsmodels' WLS and R's ``lm``: an observation of weight w has variance
    ``scale_**2 / w``, and ``df_resid_`` counts the samples of positive weight. The robust
    method takes them as ``lmrob(weights=)`` does, as precision weights (each row and its
    y multiplied by sqrt(w)): multiplying all weights by a constant changes neither
    ``coef_`` nor ``stderr_``, and integer weights are not repeated samples.

    ``rank_`` is computed by ``fit``; ``singular_values_``, ``cov_``, ``stderr_``,
    ``scale_``, ``df_resid_`` and ``edf_`` on first access, from the k x k triangular factor
    of the weighted design that the fit keeps, so that fits whose uncertainty is not asked
    for (a grid search) do not pay for it. A penalised fit of a small design (up to 65,536
    values) whose rank is certainly full keeps its weighted design instead and computes
    the factor then.

    The penalty matrices depend only on the degrees, the basis and ``n_grid`` (the
    variables are mapped), so they are kept in a bounded cache of the 16 most recently
    used and built once for a grid search over ``gamma1`` and ``gamma2``. They are built
    only when a penalty weight is not zero. The basis' exponents (16 entries) are cached
    the same way; these two bounded, thread-safe caches are the package's only state.
    Every parameter is checked at every ``fit``, whatever the method, against the table
    ``_parameter_constraints``.

    Automatic weights (``"auto"``) maximise the restricted likelihood of the penalised
    fit read as a Gaussian model whose penalised part has a Gaussian prior: REML, as in
    mgcv, rather than generalised cross-validation, which undersmooths more often. The
    search works in an orthogonal factorisation of the design, stable at degree 20, at a
    small fraction of the cost of a grid search (see
    :func:`zarn._smoothing.choose_weights` and :doc:`/performance`). The coefficients are
    then the penalised fit at the chosen weights, exactly as with ``gamma1=gamma1_,
    gamma2=gamma2_``. A robust fit chooses its weights on the inliers of a robust fit
    without the automatic penalties, then fits again with them.

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> rng = np.random.default_rng(0)
    >>> x = rng.uniform(0, 10, 200)
    >>> y = 1 + 0.5 * x - 0.02 * x**3 + rng.normal(scale=0.1, size=200)
    >>> model = zarn.PolynomialRegressor(degree=3).fit(x[:, None], y)
    >>> model.predict([[2.0], [5.0]]).round(2)  # true values 1.84 and 1.0
    array([1.83, 1.  ])
    >>> round(model.score(x[:, None], y), 4)
    0.9996
    >>> model.to_polynomial().deriv()(5.0).round(2)  # slope at x = 5; true value -1.0
    np.float64(-0.99)

    A trend with an annual cycle on monthly dates, with autocorrelation-robust errors:

    >>> t = np.arange("2000-01", "2020-01", dtype="datetime64[M]").astype("datetime64[D]")
    >>> phase = (t - np.datetime64("1970-01-01")) / np.timedelta64(1, "D") / 365.2425
    >>> y = 0.02 * np.arange(240) + 3.0 * np.cos(2 * np.pi * phase) + rng.normal(size=240)
    >>> model = zarn.PolynomialRegressor(1, method="ols", harmonics=1, cov_type="HAC")
    >>> model.fit(t[:, None], y).harmonic_labels_
    ['sin1', 'cos1']
    >>> model.amplitude_.round(1), model.cov_.shape  # true amplitude 3
    (array([3.]), (4, 4))
    """

    # What each parameter may be, checked once at the start of every fit.
    _parameter_constraints: ClassVar[ParameterTable] = ParameterTable(
        {
            "degree": [DEGREES],
            "method": [Options(*_methods.names())],
            "gamma1": PENALTY_WEIGHT,
            "gamma2": PENALTY_WEIGHT,
            "ridge": [WEIGHT],
            "basis": [Options(*_basis.BASES)],
            "domain": [None, ARRAY_LIKE],
            "n_grid": [None, Interval(int, 2, _C_INT, closed="both")],
            "H": [Interval(int, 1, _C_INT, closed="both")],
            "n_chains": [Interval(int, 1, _C_INT, closed="both")],
            "n_warmup": [Interval(int, 0, _C_INT, closed="both")],
            "n_deep": [Interval(int, 0, _C_INT, closed="both")],
            "n_elite": [Interval(int, 1, _C_INT, closed="both")],
            "step_size": [Interval(float, 0.0, math.inf, closed="neither")],
            "random_state": [
                Interval(int, 0, 2**64 - 1, closed="both"),
                InstanceOf(np.random.Generator, "numpy.random.Generator"),
                InstanceOf(np.random.RandomState, "numpy.random.RandomState"),
                None,
            ],
            "harmonics": [Interval(int, 0, _C_INT, closed="both")],
            # timedelta64 first: NumPy counts it among the integers.
            "period": [
                None,
                InstanceOf(np.timedelta64, "numpy.timedelta64"),
                Interval(float, 0.0, math.inf, closed="neither"),
            ],
            "cov_type": [None, Options(*_methods.cov_type_names())],
            "cov_kwds": [None, InstanceOf(Mapping, "dict")],
        },
        check=_methods.check_settings,
    )

    def __init__(
        self,
        degree: int | tuple[int, ...] = 3,
        *,
        method: str = "penalized",
        gamma1: float = 0.0,
        gamma2: float = 0.0,
        ridge: float = _constants.RIDGE,
        basis: str = "total",
        domain: ArrayLike | None = None,
        n_grid: int | None = None,
        H: int = _constants.H,
        n_chains: int = _constants.N_CHAINS,
        n_warmup: int = _constants.N_WARMUP,
        n_deep: int = _constants.N_DEEP,
        n_elite: int = _constants.N_ELITE,
        step_size: float = _constants.STEP_SIZE,
        random_state: int | np.random.Generator | np.random.RandomState | None = _constants.SEED,
        harmonics: int = 0,
        period: float | np.timedelta64 | None = None,
        cov_type: str | None = None,
        cov_kwds: Mapping[str, Any] | None = None,
    ) -> None:
        self.degree = degree
        self.method = method
        self.gamma1 = gamma1
        self.gamma2 = gamma2
        self.ridge = ridge
        self.basis = basis
        self.domain = domain
        self.n_grid = n_grid
        self.H = H
        self.n_chains = n_chains
        self.n_warmup = n_warmup
        self.n_deep = n_deep
        self.n_elite = n_elite
        self.step_size = step_size
        self.random_state = random_state
        self.harmonics = harmonics
        self.period = period
        self.cov_type = cov_type
        self.cov_kwds = cov_kwds

    # ----------------------------------------------------------------- fitting

    def fit(
        self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None
    ) -> PolynomialRegressor:
        """Fit the coefficients to training data, and their uncertainty.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
            Training inputs; lists, DataFrames and any real dtype are converted to float64,
            ``datetime64`` to nanoseconds since 1970-01-01 and ``timedelta64`` to
            nanoseconds (as xarray's ``polyfit`` does).
        y : array-like of shape (n_samples,) or (n_samples, n_targets)
            Training targets; a 2-D y fits one model per column, each as that column would
            be fitted alone (see "Several targets" in the Notes of the class).
        sample_weight : array-like of shape (n_samples,), float or None, default=None
            Weights that multiply each sample's squared residual (None: all 1). A zero
            weight drops the sample (the domain is that of the others); integer weights
            fit as repeated samples. See Notes.

        Returns
        -------
        self : PolynomialRegressor
            The fitted model.

        Raises
        ------
        ValueError
            For NaN, infinity or NaT in X, NaN or infinity in y, no samples, y of more than
            two dimensions (:func:`zarn.fit_many` fits many series), lengths that differ,
            negative or non-finite weights, a feature whose domain has zero width, or an
            invalid parameter.

        Warns
        -----
        zarn.exceptions.RankWarning
            When the weighted mapped design is rank-deficient or the coefficients outnumber
            the samples of positive weight.

        Examples
        --------
        >>> import zarn
        >>> zarn.PolynomialRegressor(degree=1).fit([[0.0], [1.0], [2.0]], [1.0, 3.0, 5.0]).coef_
        array([3., 2.])
        >>> Y = [[1.0, 0.0], [3.0, 1.0], [5.0, 2.0]]  # two targets: one model each
        >>> zarn.PolynomialRegressor(degree=1).fit([[0.0], [1.0], [2.0]], Y).coef_.round(6)
        array([[3., 2.],
               [1., 1.]])
        """
        settings = validate_params(self)
        names = feature_names(X)
        converted = datetime_as_float(X, "X")
        dates = converted is not X  # dates or durations: the harmonics' default period
        X = check_X(converted)
        y = _check_targets(y, X.shape[0])
        w = check_sample_weight(sample_weight, X.shape[0])
        if y.ndim == 1:
            fits: tuple[SeriesFit, ...] = (
                fit_series(X, y, w, settings, names, stacklevel=2, datetime_like=dates),
            )
        else:
            fits = fit_targets(X, y, w, settings, names, stacklevel=2, datetime_like=dates)
        self._store(fits, y.ndim == 2, X.shape[1], names)
        return self

    def _store(
        self, fits: tuple[SeriesFit, ...], several: bool, n_features: int, names: Any
    ) -> None:
        """Set the fitted attributes of the targets' fits (one, unless ``several``)."""
        for name in _SET_BY_SOME_FITS & self.__dict__.keys():  # left by an earlier fit
            del self.__dict__[name]
        self._fits = fits  # the uncertainty and mdl_, on first use
        self._several = several
        first = fits[0]
        outliers = [o for series in fits if (o := series.fit.outliers) is not None]
        if outliers:  # a method that flags outliers: every target's fit has them
            self.inlier_mask_ = self._by_sample([o.inlier_mask for o in outliers])
            self.robust_weights_ = self._by_sample([o.weights for o in outliers])
            self.seed_ = outliers[0].seed  # one seed for every target
            self.s_scale_ = self._stacked([o.s_scale for o in outliers])
            self.cov_h1_ = self._stacked([o.cov_h1 for o in outliers])
        design = first.design
        self._coef = self._stacked([series.fit.coef for series in fits])  # all columns
        k = design.n_poly
        self.coef_ = self._coef[..., :k] if design.harmonics else self._coef
        if design.harmonics:
            self.harmonic_coef_ = self._coef[..., k:]
            self.harmonic_labels_ = harmonic_labels(design.harmonics)
            self.period_ = design.period
        self.basis_ = design.indices
        self.domain_ = design.domain
        self.n_features_in_ = n_features
        if names is not None:
            self.feature_names_in_ = names
        self.rank_ = int(first.fit.uncertainty.rank)  # one design for every target
        fitted = first.fit.settings
        self.cov_type_ = _methods.method(fitted.method).cov_spec(fitted).name
        self.gamma1_ = self._stacked([float(series.fit.settings.gamma1) for series in fits])
        self.gamma2_ = self._stacked([float(series.fit.settings.gamma2) for series in fits])

    def _stacked(self, values: list[Any]) -> Any:
        """The value of the one target, or the targets' values along a first axis."""
        return np.stack(values) if self._several else values[0]

    def _by_sample(self, values: list[Any]) -> Any:
        """The one target's per-sample array, or the targets' as columns (n, n_targets)."""
        return np.column_stack(values) if self._several else values[0]

    # The uncertainty's attributes and the MDL score, computed on first access from what
    # the fit keeps (documented in the class docstring).

    @property
    def mdl_(self) -> Any:
        """MDL score of the fit on its training data, penalties included."""
        fits = self._fitted()
        cached = self.__dict__.get("_mdl")
        if cached is None:
            cached = self.__dict__["_mdl"] = self._stacked([series.mdl() for series in fits])
        return cached

    @property
    def gibbs_(self) -> Any:
        """Robust method only: the sampler's Gibbs analysis on the fit's residuals."""
        outliers = [series.fit.outliers for series in self._fitted()]
        if outliers[0] is None:
            raise AttributeError("only robust fits have the attribute 'gibbs_'")
        return self._stacked_tuple([o.sampler.gibbs for o in outliers if o is not None])

    def _stacked_tuple(self, values: list[Any]) -> Any:
        """The value of the one target, or the targets' values as a tuple."""
        return tuple(values) if self._several else values[0]

    @property
    def cov_(self) -> Any:
        """Covariance matrix of ``coef_`` (and of ``harmonic_coef_``, after them)."""
        return self._per_target(lambda u: u.cov)

    @property
    def stderr_(self) -> Any:
        """Standard errors of ``coef_``."""
        k = self._fitted()[0].design.n_poly
        return self._per_target(lambda u: u.stderr[:k])

    @property
    def harmonic_stderr_(self) -> Any:
        """Standard errors of ``harmonic_coef_``."""
        k = self._harmonic_design().n_poly
        return self._per_target(lambda u: u.stderr[k:])

    @property
    def amplitude_(self) -> Any:
        """Amplitude of each harmonic, ``hypot(sin_j, cos_j)``."""
        return self._amplitude_phase()[0]

    @property
    def phase_(self) -> Any:
        """Phase of each harmonic, ``atan2(sin_j, cos_j)`` in (-pi, pi]."""
        return self._amplitude_phase()[1]

    @property
    def amplitude_stderr_(self) -> Any:
        """Standard errors of ``amplitude_`` (delta method)."""
        return self._amplitude_phase()[2]

    @property
    def phase_stderr_(self) -> Any:
        """Standard errors of ``phase_`` (delta method), in radians."""
        return self._amplitude_phase()[3]

    def _harmonic_design(self) -> Design:
        """The design of a fit with harmonics (AttributeError without them)."""
        design = self._fitted()[0].design
        if not design.harmonics:
            raise AttributeError("only fits with harmonics > 0 have harmonic attributes")
        return design

    def _amplitude_phase(self) -> tuple[Any, Any, Any, Any]:
        """:func:`zarn._harmonics.amplitude_phase` of each target's harmonics."""
        k = self._harmonic_design().n_poly
        parts = [
            amplitude_phase(series.fit.coef[k:], series.fit.uncertainty.cov[k:, k:])
            for series in self._fits
        ]
        return tuple(self._stacked([p[i] for p in parts]) for i in range(4))

    @property
    def scale_(self) -> Any:
        """Standard deviation of the noise of an observation of weight 1."""
        return self._per_target(lambda u: float(u.scale))

    @property
    def df_resid_(self) -> Any:
        """Residual degrees of freedom."""
        return self._per_target(lambda u: float(u.df_resid))

    @property
    def edf_(self) -> Any:
        """Effective number of parameters."""
        return self._per_target(lambda u: float(u.edf))

    @property
    def singular_values_(self) -> np.ndarray:
        """Singular values of the weighted mapped design, largest first."""
        return self._fitted()[0].fit.uncertainty.singular_values  # one design for all

    def _fitted(self) -> tuple[SeriesFit, ...]:
        if not hasattr(self, "coef_"):
            raise not_fitted_error(self)
        return self._fits

    def _per_target(self, statistic: Callable[[Uncertainty], Any]) -> Any:
        """A statistic of each target's uncertainty, stacked as by ``_stacked``."""
        return self._stacked([statistic(series.fit.uncertainty) for series in self._fitted()])

    # --------------------------------------------------------------- prediction

    def predict(self, X: ArrayLike) -> np.ndarray:
        """Evaluate the fitted polynomial (and its harmonics, for a fit with them).

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features_in_)
            Points to evaluate at; outside the domain the polynomial is extrapolated.

        Returns
        -------
        ndarray of shape (n_samples,) or (n_samples, n_targets)
            The predictions; one column per target for a model fitted to a 2-D y.

        Examples
        --------
        >>> import zarn
        >>> model = zarn.PolynomialRegressor(degree=2).fit([[0.], [1.], [2.]], [0., 1., 4.])
        >>> model.predict([[3.0]]).round(6)
        array([9.])
        """
        X = self._checked(X)  # first: the error of a model not fitted
        out = np.asarray(self._fits[0].design.predict(X, self._coef))
        return out.T if self._several else out

    def predict_interval(
        self,
        X: ArrayLike,
        *,
        level: float = 0.95,
        kind: str = "confidence",
        sample_weight: ArrayLike | None = None,
    ) -> tuple[np.ndarray, np.ndarray]:
        """Confidence intervals of the mean curve, or prediction intervals of new observations.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features_in_)
            Points to evaluate at.
        level : float, default=0.95
            Coverage of the intervals, strictly between 0 and 1.
        kind : {"confidence", "prediction"}, default="confidence"
            ``"confidence"``: where the mean curve lies, ``predict(X) -/+ c * se`` with
            ``se**2 = phi' cov_ phi`` at each point's basis functions phi.
            ``"prediction"``: where a new observation falls, which adds the noise variance:
            ``se**2 + scale_**2 / w``.
        sample_weight : array-like of shape (n_samples,), float or None, default=None
            Weights w of the new observations (``kind="prediction"`` only; None: 1), as in
            ``fit``: an observation of weight w has variance ``scale_**2 / w``.

        Returns
        -------
        low, high : ndarray of shape (n_samples,) or (n_samples, n_targets)
            The bounds (one column per target for a model fitted to a 2-D y). NaN where
            the fit had no residual degrees of freedom.

        Notes
        -----
        c is the quantile of Student's t with ``df_resid_`` degrees of freedom (exact
        under Gaussian noise for ``"ols"``; for ``"robust"`` as R's ``lmrob``), or that of
        ``cov_type`` (see the class' parameters), whose covariance ``se`` then uses.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.arange(10.0)
        >>> y = 2.0 + 0.5 * x + np.array([0.1, -0.1, 0.2, 0.0, -0.2, 0.1, -0.1, 0.0, 0.1, -0.1])
        >>> model = zarn.PolynomialRegressor(degree=1, method="ols").fit(x[:, None], y)
        >>> low, high = model.predict_interval([[4.5]], level=0.9)
        >>> bool(low[0] < model.predict([[4.5]])[0] < high[0]), round(float(high[0] - low[0]), 4)
        (True, 0.1522)
        """
        X = self._checked(X)
        level = check_level(level)
        kind = check_kind(kind)
        weights = None
        if sample_weight is not None:
            if kind == "confidence":
                raise ValueError(
                    "sample_weight is the weight of new observations: it applies to "
                    'kind="prediction" only'
                )
            weights = check_sample_weight(sample_weight, len(X))
        design = self._fits[0].design
        mean = np.asarray(design.predict(X, self._coef)).T  # first: the error of an overflow
        uncertainties = [series.fit.uncertainty for series in self._fits]
        c = [u.critical_value(level) for u in uncertainties]
        half = np.empty((len(X), len(uncertainties)))
        for start in range(0, len(X), PREDICT_BLOCK_ROWS):
            block = slice(start, start + PREDICT_BLOCK_ROWS)
            Phi = design.columns(X[block])
            w_block = None if weights is None else weights[block]
            for j, u in enumerate(uncertainties):
                half[block, j] = u.half_width(Phi, c[j], kind, w_block)
        half = half if self._several else half[:, 0]
        return mean - half, mean + half

    def _checked(self, X: ArrayLike) -> np.ndarray:
        """X checked against the fit: fitted, finite, and of its features."""
        if not hasattr(self, "coef_"):
            raise not_fitted_error(self)
        names = feature_names(X)
        X = check_X(datetime_as_float(X, "X"))
        self._check_features(X.shape[1], names)
        check_finite(X, "X")
        return X

    def _check_features(self, n_features: int, names: np.ndarray | None) -> None:
        cls = type(self).__name__
        fitted = getattr(self, "feature_names_in_", None)
        if names is not None and fitted is None:
            _warn(f"X has feature names, but {cls} was fitted without feature names")
        elif names is None and fitted is not None:
            _warn(f"X does not have valid feature names, but {cls} was fitted with feature names")
        elif names is not None and fitted is not None and not np.array_equal(names, fitted):
            raise ValueError(
                "The feature names should match those that were passed during fit.\n"
                f"Fitted with: {list(fitted)}\nGot: {list(names)}"
            )
        if n_features != self.n_features_in_:
            raise ValueError(
                f"X has {n_features} features, but {cls} is expecting "
                f"{self.n_features_in_} features as input."
            )

    def score(self, X: ArrayLike, y: ArrayLike, sample_weight: ArrayLike | None = None) -> float:
        """Coefficient of determination R^2 of the prediction (as scikit-learn regressors).

        1.0 is a perfect fit; a constant y gives 1.0 when predicted exactly, else 0.0.
        ``sample_weight`` weighs each squared term (and the mean of y), as in ``fit``.
        For a model of several targets, y has one column per target and the score is the
        mean of their R^2 (scikit-learn's ``r2_score`` with ``"uniform_average"``).

        Examples
        --------
        >>> import zarn
        >>> X, y = [[0.], [1.], [2.], [3.]], [0., 1., 4., 9.]
        >>> zarn.PolynomialRegressor(degree=1).fit(X, y).score(X, y)  # 1 - 4/49
        0.9183673469387755
        """
        yp = self.predict(X)
        w = check_sample_weight(sample_weight, len(yp))
        targets = self._checked_targets(y, len(yp))
        return float(np.mean([Residuals(t, p, w).r2 for t, p in zip(targets, self._columns(yp))]))

    def _checked_targets(self, y: ArrayLike, n: int) -> list[np.ndarray]:
        """The finite target(s) y of n samples, one array per target of the fit."""
        if not self._several:
            return [check_y(y, n)]
        Y = _check_targets(y, n)
        if Y.ndim != 2 or Y.shape[1] != len(self._fits):
            raise ValueError(
                f"y must have one column per target of the fit ({len(self._fits)}), got shape "
                f"{Y.shape}"
            )
        check_finite(Y, "y")
        return list(Y.T)

    def _columns(self, values: np.ndarray) -> list[np.ndarray]:
        """Each target's column of a prediction (the prediction itself for one target)."""
        return list(values.T) if self._several else [values]

    def mdl_score(self, X: ArrayLike, y: ArrayLike) -> Any:
        """MDL score of the prediction on (X, y), penalties included: lower is better.

        The hit tolerance is 0.4 times the median absolute deviation of ``y``; the model
        cost is k^2 ln(2H) / n with k the number of coefficients. The parameters are those
        of the fit (``H``, the penalty weights). On the training data it equals ``mdl_``
        (up to the rounding of the prediction). For a model of several targets, y has one
        column per target and the result one score per target.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.linspace(-1, 1, 50)[:, None]
        >>> y = x[:, 0] ** 2
        >>> m2 = zarn.PolynomialRegressor(degree=2).fit(x, y)
        >>> m8 = zarn.PolynomialRegressor(degree=8).fit(x, y)
        >>> m2.mdl_score(x, y) < m8.mdl_score(x, y)  # both hit every point; fewer coefficients win
        True
        """
        yp = self.predict(X)
        targets = self._checked_targets(y, len(yp))
        scores = [
            mdl(p, t, series.fit.coef, series.fit.settings.H, series.fit.penalty)
            for p, t, series in zip(self._columns(yp), targets, self._fits)
        ]
        return self._stacked(scores)

    def summary(
        self,
        level: float = 0.95,
        *,
        target: int | None = None,
        X: ArrayLike | None = None,
        y: ArrayLike | None = None,
        sample_weight: ArrayLike | None = None,
    ) -> Summary:
        """The coefficient table of the fit in the features' own units, as statsmodels' summary.

        The fit's coefficients belong to the features mapped onto [-1, 1]; the table holds
        those of the monomials of the features themselves (``1``, ``income``,
        ``income^2``, ...), with their standard errors, t statistics, p values and
        confidence intervals, from the exact change of units of the coefficients and of their
        covariance ``cov_``.

        Parameters
        ----------
        level : float, default=0.95
            Coverage of the confidence intervals, strictly between 0 and 1.
        target : int or None, default=None
            The target to report, a column of the y given to ``fit``: needed for a model
            of several targets (None: the one target).
        X, y : array-like or None, default=None
            Data to report the coefficient of determination R^2 on (both or neither), such as
            the training data; y may hold every target (the column ``target`` is used).
        sample_weight : array-like or None, default=None
            Weights of that data's squared residuals, as in ``score``.

        Returns
        -------
        Summary
            One row per coefficient; prints as a table, shows as HTML in notebooks,
            ``to_pandas()`` gives a DataFrame.

        Raises
        ------
        ValueError
            For a model not fitted, a level outside (0, 1), only one of X and y, or no
            ``target`` (or one out of range) for a model of several targets.

        Notes
        -----
        For every method the statistic is ``coef / stderr`` and the p value and intervals use
        Student's t with ``df_resid_`` degrees of freedom: for ``"ols"`` as statsmodels' OLS and
        WLS, for ``"penalized"`` with the posterior covariance, for ``"robust"`` as R's
        ``summary.lmrob`` and ``confint``. Another ``cov_type`` brings its covariance and
        quantiles (normal for HC0-HC3, HAC and H1 unless ``use_t``; t with the effective
        sample size's degrees of freedom for ``"ar1"``), as statsmodels' ``fit(cov_type=)``.
        Without residual degrees of freedom, or where a standard error is not finite, a
        row's tests and intervals are NaN. A fit with harmonics lists their coefficients
        (``sin1``, ``cos1``, ...) after the polynomial's, and each harmonic's amplitude and
        phase with their standard errors.

        The coefficients of the raw monomials are exact (each rounded once from the exact
        rational change of units), but with a domain far from zero they are large, of
        alternating sign and strongly correlated: the mapped ``coef_`` are the better
        numbers to compute with.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> rng = np.random.default_rng(0)
        >>> income = rng.uniform(500.0, 3000.0, 100)
        >>> food = 100.0 + 0.5 * income - 2e-5 * income**2 + rng.normal(scale=20.0, size=100)
        >>> model = zarn.PolynomialRegressor(degree=2, method="ols").fit(income[:, None], food)
        >>> table = model.summary(X=income[:, None], y=food)
        >>> table.terms
        ('1', 'x0', 'x0^2')
        >>> print(table)  # true values 100, 0.5 and -2e-05
        Coefficients of the ols fit on 100 samples, in the features' own units
        df_resid = 97, scale = 19.69, R² = 0.9964
        term        coef     stderr       t     P>|t|   [95% low       high]
        1          100.6      11.52   8.728  7.43e-14      77.72       123.5
        x0        0.4987    0.01426   34.96  8.85e-57     0.4704       0.527
        x0^2  -1.992e-05  3.921e-06  -5.079  1.84e-06  -2.77e-05  -1.213e-05
        Student's t with 97 residual degrees of freedom; least-squares covariance
        """
        model = self._target_model(target)
        return summarize(
            model, level, X=X, y=self._target_column(y, target), sample_weight=sample_weight
        )

    def plot(
        self,
        X: ArrayLike | None = None,
        y: ArrayLike | None = None,
        *,
        ax: Any = None,
        interval: str | None = "prediction",
        level: float = 0.95,
        target: int | None = None,
    ) -> Any:
        """Plot the fit of one feature: the data, the fitted curve and its band (needs matplotlib).

        Parameters
        ----------
        X : array-like of shape (n_samples, 1) or None, default=None
            Positions of the data to draw (such as the training data); None draws the curve
            only.
        y : array-like of shape (n_samples,) or None, default=None
            Targets of the data, given with X. The name of a pandas Series labels the axis.
        ax : matplotlib.axes.Axes or None, default=None
            Where to draw; None makes a new figure.
        interval : {"prediction", "confidence"} or None, default="prediction"
            The band around the curve: where new observations fall
            (``predict_interval(kind="prediction")``), where the mean curve lies
            (``"confidence"``), or none.
        level : float, default=0.95
            Coverage of the band, strictly between 0 and 1.
        target : int or None, default=None
            The target to draw, a column of the y given to ``fit`` (and of ``y``, which may
            hold every target): needed for a model of several targets.

        Returns
        -------
        matplotlib.axes.Axes
            The axes drawn on.

        Raises
        ------
        ValueError
            For a model not fitted or of several features, only one of X and y, data of
            several columns or of lengths that differ, an unknown interval or level, or no
            ``target`` (or one out of range) for a model of several targets.
        ImportError
            When matplotlib is not installed (``pip install 'zarn[plot]'``), or pandas for a
            model fitted on a DataFrame.

        Notes
        -----
        The curve runs over the domain, ``domain_``. For a robust fit given its training data
        (as many points as ``robust_weights_``), each point is coloured by its robust
        weight, with a colour bar, and the points flagged as outliers (``inlier_mask_``
        False) are ringed in red.

        Examples
        --------
        >>> import matplotlib
        >>> matplotlib.use("Agg")
        >>> import numpy as np
        >>> import zarn
        >>> rng = np.random.default_rng(0)
        >>> x = rng.uniform(0.0, 10.0, 50)
        >>> y = np.sin(x) + rng.normal(scale=0.2, size=50)
        >>> model = zarn.PolynomialRegressor(degree=5, method="ols").fit(x[:, None], y)
        >>> ax = model.plot(x[:, None], y, interval="confidence", level=0.9)
        >>> ax.get_xlabel(), [line.get_label() for line in ax.get_lines()]
        ('x0', ['fit'])
        """
        model = self._target_model(target)
        y = self._target_column(y, target)
        return plot_fit(model, X, y, ax=ax, interval=interval, level=level)

    def to_polynomial(self, target: int | None = None) -> np.polynomial.Polynomial:
        """The fit as a :class:`numpy.polynomial.Polynomial` (one feature only).

        The polynomial carries the model's domain and the window [-1, 1], so it evaluates
        to the model's predictions and can be differentiated, integrated and solved for
        roots with NumPy. For a model of several targets, ``target`` (a column of the y
        given to ``fit``) chooses the one.

        Examples
        --------
        >>> import zarn
        >>> model = zarn.PolynomialRegressor(degree=2).fit([[1.], [2.], [3.]], [1., 4., 9.])
        >>> p = model.to_polynomial()
        >>> p(4.0).round(6), p.deriv()(4.0).round(6)
        (np.float64(16.0), np.float64(8.0))
        """
        model = self._target_model(target)
        if self.n_features_in_ != 1:
            raise ValueError(
                f"to_polynomial needs a model of one feature; this one has {self.n_features_in_}"
            )
        if self._fits[0].design.harmonics:
            raise ValueError(
                f"a model with harmonics={self.harmonics} is not a polynomial: use predict, "
                "or coef_ for the polynomial part alone"
            )
        return np.polynomial.Polynomial(
            model.coef_.copy(), domain=self.domain_[0].copy(), window=_basis.WINDOW
        )

    def _target_model(self, target: int | None) -> PolynomialRegressor:
        """The model of one target, as if fitted to it alone: itself for a model of one."""
        fits = self._fitted()
        m = len(fits)
        if target is None and m > 1:
            raise ValueError(
                f"this model was fitted to {m} targets (the columns of y): choose one with "
                f"target=0 ... {m - 1}"
            )
        given: Any = 0 if target is None else target
        if (
            isinstance(given, bool)
            or not isinstance(given, numbers.Integral)
            or not 0 <= int(given) < m
        ):
            raise ValueError(f"target must be an int in [0, {m - 1}], got {target!r}")
        if not self._several:
            return self
        model = copy.copy(self)  # the parameters and the shared attributes
        model._store(
            (fits[int(given)],),
            False,
            self.n_features_in_,
            getattr(self, "feature_names_in_", None),
        )
        return model

    def _target_column(self, y: Any, target: int | None) -> Any:
        """The column ``target`` of a y that holds every target (a DataFrame's as a Series,
        which keeps its name); any other y as it is."""
        if not self._several or y is None or np.ndim(y) != 2:
            return y
        j = 0 if target is None else int(target)
        return y.iloc[:, j] if hasattr(y, "iloc") else np.asarray(y)[:, j]

    # ------------------------------------------------- scikit-learn's protocol

    @classmethod
    def _get_param_names(cls) -> list[str]:
        signature = inspect.signature(cls.__init__)
        return [p for p in signature.parameters if p != "self"]

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The constructor's parameters, by name (scikit-learn's protocol).

        Examples
        --------
        >>> import zarn
        >>> zarn.PolynomialRegressor(degree=4).get_params()["degree"]
        4
        """
        return {name: getattr(self, name) for name in self._get_param_names()}

    def set_params(self, **params: Any) -> PolynomialRegressor:
        """Set constructor parameters by name; returns the model (scikit-learn's protocol).

        Examples
        --------
        >>> import zarn
        >>> zarn.PolynomialRegressor().set_params(degree=5, method="ols")
        PolynomialRegressor(degree=5, method='ols')
        """
        valid = self._get_param_names()
        for name, value in params.items():
            if name not in valid:
                raise ValueError(
                    f"Invalid parameter {name!r} for estimator {type(self).__name__}. "
                    f"Valid parameters are: {valid!r}."
                )
            setattr(self, name, value)
        return self

    def __repr__(self) -> str:
        defaults = {name: p.default for name, p in inspect.signature(type(self)).parameters.items()}
        changed = [
            f"{name}={value!r}"
            for name, value in self.get_params().items()
            if not _same(value, defaults[name])
        ]
        return f"{type(self).__name__}({', '.join(changed)})"

    def __sklearn_tags__(self) -> Any:
        utils = import_optional("sklearn.utils", "scikit-learn's estimator tags")
        return utils.Tags(
            estimator_type="regressor",
            target_tags=utils.TargetTags(required=True, multi_output=True),
            regressor_tags=utils.RegressorTags(),
            input_tags=utils.InputTags(allow_nan=False),
        )

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, "coef_")

    _estimator_type = "regressor"


def _check_targets(y: Any, n_samples: int) -> np.ndarray:
    """The target of a fit: a 1-D y of n_samples values (values unchecked), or a 2-D one of
    n_samples rows, one column per target (finite)."""
    arr = y if y is None else as_float_array(y, "y")
    if arr is None or arr.ndim == 1:
        return check_y(arr, n_samples, finite=False)  # least squares checks y where it must
    if arr.ndim != 2 or arr.shape[1] == 0:
        raise ValueError(
            f"y must be of shape (n_samples,) or (n_samples, n_targets), got shape {arr.shape}; "
            "zarn.fit_many fits many series sampled at shared positions (of any layout)"
        )
    if arr.shape[0] != n_samples and arr.shape[1] == n_samples:
        raise ValueError(
            f"X and y have inconsistent numbers of samples: {n_samples} and {arr.shape[0]}; "
            f"y holds {n_samples} values per row: pass y.T (one column per target), or "
            "fit the rows with zarn.fit_many(x, y, model, axis=1)"
        )
    check_y(arr[:, 0], n_samples, finite=False)  # the number of samples
    return arr


def _same(value: Any, default: Any) -> bool:
    """Whether a parameter still holds its default (for the repr)."""
    if value is default:
        return True
    if isinstance(value, (np.ndarray, np.random.Generator, np.random.RandomState)):
        return False
    try:
        return bool(value == default) and type(value) is type(default)
    except (TypeError, ValueError):
        return False


def _warn(message: str) -> None:
    warnings.warn(message, UserWarning, stacklevel=4)


__all__ = ["PolynomialRegressor"]
