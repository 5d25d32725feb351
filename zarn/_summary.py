"""The coefficient table of a fitted model, in the features' own units.

:func:`summarize` converts a fitted :class:`zarn.PolynomialRegressor` to the raw
monomials of its features (:mod:`zarn._units`) and tests each coefficient against zero;
:class:`Summary` holds the result, and :mod:`zarn._summary_display` draws it.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike

from zarn._optional import import_optional
from zarn._quantiles import normal_quantile, t_quantile, t_two_sided
from zarn._uncertainty import check_level
from zarn._units import term_names, to_raw_units
from zarn._validation import not_fitted_error

if TYPE_CHECKING:
    from zarn.models import PolynomialRegressor

# The table's columns, in order: the names of Summary's arrays and of to_pandas' columns.
COLUMNS = ("coef", "stderr", "statistic", "pvalue", "low", "high")
# The harmonics' table: each harmonic's amplitude and phase with their standard errors.
HARMONIC_COLUMNS = ("amplitude", "amplitude_stderr", "phase", "phase_stderr")


@dataclass(frozen=True, eq=False, repr=False)
class Summary:
    """The coefficients of a fit in the features' own units, with their tests and intervals.

    Made by :meth:`zarn.PolynomialRegressor.summary`; frozen, its arrays read-only. It
    prints as a text table, shows as an HTML table in notebooks, and converts to a
    DataFrame with :meth:`to_pandas`.

    Attributes
    ----------
    terms : tuple of str
        One name per coefficient: ``1`` for the constant, ``income``, ``income^2``,
        ``x0*x1^2`` for the monomials of the features, then ``sin1``, ``cos1``, ... for
        the harmonics of a fit with them.
    coef, stderr : ndarray of shape (n_terms,)
        The coefficients of the monomials of the raw features and their standard errors.
    statistic, pvalue : ndarray of shape (n_terms,)
        ``coef / stderr`` and the two-sided p value of the hypothesis that the coefficient
        is zero, under Student's t with ``quantile_df`` degrees of freedom (the normal
        distribution where it is infinite).
    low, high : ndarray of shape (n_terms,)
        Bounds of the ``level`` confidence interval of each coefficient.
    cov : ndarray of shape (n_terms, n_terms)
        Covariance matrix of ``coef``.
    method : str
        The fit's method: ``"ols"``, ``"penalized"`` or ``"robust"``.
    n_obs : int
        Samples of positive weight in the fit.
    df_resid : float
        Residual degrees of freedom (samples less the effective number of parameters).
    scale : float
        Standard deviation of the noise of an observation of weight 1 (robust: the
        robust scale).
    level : float
        Coverage of the intervals.
    r2 : float or None
        Coefficient of determination on the data given to ``summary()`` (None without).
    cov_type : str
        The covariance type (``"nonrobust"``, ``"HC3"``, ``"avar1"``, ...).
    quantile_df : float
        Degrees of freedom of the tests and intervals: ``df_resid``, those of ``"ar1"``,
        or infinite for normal quantiles.
    amplitude, amplitude_stderr, phase, phase_stderr : ndarray of shape (harmonics,)
        Each harmonic's amplitude and phase (radians) with their delta-method standard
        errors; empty without harmonics.

    Examples
    --------
    >>> import zarn
    >>> model = zarn.PolynomialRegressor(degree=1, method="ols")
    >>> table = model.fit([[1.0], [2.0], [3.0], [4.0]], [2.1, 3.9, 6.1, 7.9]).summary()
    >>> table.terms, table.coef.round(6).tolist()
    (('1', 'x0'), [0.1, 1.96])
    """

    terms: tuple[str, ...]
    coef: np.ndarray
    stderr: np.ndarray
    statistic: np.ndarray
    pvalue: np.ndarray
    low: np.ndarray
    high: np.ndarray
    cov: np.ndarray
    method: str
    n_obs: int
    df_resid: float
    scale: float
    level: float
    r2: float | None = None
    cov_type: str = "nonrobust"
    quantile_df: float = math.nan
    amplitude: np.ndarray = field(default_factory=lambda: np.empty(0))
    amplitude_stderr: np.ndarray = field(default_factory=lambda: np.empty(0))
    phase: np.ndarray = field(default_factory=lambda: np.empty(0))
    phase_stderr: np.ndarray = field(default_factory=lambda: np.empty(0))

    def __post_init__(self) -> None:
        for name in (*COLUMNS, *HARMONIC_COLUMNS, "cov"):
            value = np.array(getattr(self, name), dtype=np.float64)
            value.flags.writeable = False
            object.__setattr__(self, name, value)

    def to_pandas(self) -> Any:
        """The table as a :class:`pandas.DataFrame`, one row per term (needs pandas).

        Its columns are ``coef``, ``stderr``, ``statistic``, ``pvalue``, ``low`` and
        ``high``, its index the term names.

        Examples
        --------
        >>> import zarn
        >>> model = zarn.PolynomialRegressor(degree=2, method="ols")
        >>> model.fit([[0.0], [1.0], [2.0], [3.0], [4.0]], [1.0, 2.1, 4.8, 10.2, 17.1])
        PolynomialRegressor(degree=2, method='ols')
        >>> df = model.summary().to_pandas()
        >>> list(df.columns), list(df.index)
        (['coef', 'stderr', 'statistic', 'pvalue', 'low', 'high'], ['1', 'x0', 'x0^2'])
        """
        pd = import_optional("pandas", "Summary.to_pandas")
        return pd.DataFrame(
            {name: np.array(getattr(self, name)) for name in COLUMNS},
            index=pd.Index(list(self.terms), name="term"),
        )

    def __str__(self) -> str:
        from zarn._summary_display import text_table

        return text_table(self)

    def __repr__(self) -> str:
        return str(self)

    def _repr_html_(self) -> str:
        from zarn._summary_display import html_table

        return html_table(self)


def summarize(
    model: PolynomialRegressor,
    level: float = 0.95,
    *,
    X: ArrayLike | None = None,
    y: ArrayLike | None = None,
    sample_weight: ArrayLike | None = None,
) -> Summary:
    """The coefficient table of ``model``: :meth:`zarn.PolynomialRegressor.summary`."""
    if not hasattr(model, "coef_"):
        raise not_fitted_error(model)
    level = check_level(level)
    if (X is None) != (y is None):
        raise ValueError("give both X and y to report R^2 on them, or neither")
    uncertainty = model._fits[0].fit.uncertainty
    coef, cov = to_raw_units(model._coef, uncertainty.cov, model.basis_, model.domain_)
    stderr = np.sqrt(np.diagonal(cov))
    df = float(model.df_resid_)
    quantile_df = float(uncertainty.quantile_df)
    statistic, pvalue, low, high = _tests(coef, stderr, quantile_df, level)
    names = getattr(model, "feature_names_in_", None)
    features = [f"x{j}" for j in range(model.n_features_in_)] if names is None else list(names)
    terms = term_names(model.basis_, [str(name) for name in features])
    harmonics: dict[str, Any] = {}
    if hasattr(model, "harmonic_labels_"):
        terms += model.harmonic_labels_
        amplitude, phase, amplitude_stderr, phase_stderr = model._amplitude_phase()
        harmonics = {
            "amplitude": amplitude,
            "amplitude_stderr": amplitude_stderr,
            "phase": phase,
            "phase_stderr": phase_stderr,
        }
    return Summary(
        terms=tuple(terms),
        coef=coef,
        stderr=stderr,
        statistic=statistic,
        pvalue=pvalue,
        low=low,
        high=high,
        cov=cov,
        method=model.method,
        n_obs=round(df + float(model.edf_)),
        df_resid=df,
        scale=float(model.scale_),
        level=level,
        r2=None if X is None or y is None else float(model.score(X, y, sample_weight)),
        cov_type=model.cov_type_,
        quantile_df=quantile_df,
        **harmonics,
    )


def _tests(
    coef: np.ndarray, stderr: np.ndarray, df: float, level: float
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """t statistics, two-sided p values and interval bounds; NaN where they are undefined.
    An infinite df gives the normal distribution's."""
    nan = np.full(len(coef), np.nan)
    if not df > 0.0:  # also NaN
        return nan, nan.copy(), nan.copy(), nan.copy()
    usable = np.isfinite(stderr)
    with np.errstate(divide="ignore", invalid="ignore"):
        statistic = np.where(usable, coef / stderr, np.nan)
    q = (1.0 - level) / 2.0
    if math.isinf(df):
        pvalue = np.array([math.erfc(abs(t) / math.sqrt(2.0)) for t in statistic.tolist()])
        half = -normal_quantile(q) * np.where(usable, stderr, np.nan)
        return statistic, pvalue, coef - half, coef + half
    pvalue = np.array([t_two_sided(t, df) for t in statistic.tolist()])
    half = -t_quantile(q, df) * np.where(usable, stderr, np.nan)
    return statistic, pvalue, coef - half, coef + half
