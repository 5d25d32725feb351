"""Model comparison: fit a grid of polynomial candidates and choose one by its MDL score."""

from __future__ import annotations

import dataclasses
import math
import numbers
import time
from collections.abc import Iterable, Sequence
from typing import Any, Union

import numpy as np
from numpy.typing import ArrayLike

from zarn import _display
from zarn._constants import MAD_TOLERANCE
from zarn._fitting import Residuals
from zarn._inference import check_sample_weight
from zarn._native import zarn_core as core
from zarn._optional import import_optional
from zarn._params import DEGREES, WEIGHT, InvalidParameterError, Options, check_param
from zarn._validation import (
    as_float_array,
    check_degrees,
    check_positions,
    check_X,
    check_y,
    feature_names,
)
from zarn.models import METHODS, PolynomialRegressor

# Parameters that compare_models sets itself, candidate by candidate.
GRID_PARAMS = ("degree", "method", "gamma1", "gamma2")

Degree = Union[int, tuple[int, ...]]  # one degree for every feature, or one per feature


@dataclasses.dataclass(frozen=True)
class ComparisonRow:
    """One fitted candidate of :func:`compare_models` and its scores.

    Attributes
    ----------
    degree : int or tuple of int
        The candidate's degree, as given in ``degrees`` (one int for every feature, or one
        per feature).
    k : int
        Number of coefficients (basis functions).
    method : str
        Fitting method of :class:`zarn.PolynomialRegressor`.
    gamma1, gamma2 : float
        Slope and curvature penalty weights.
    mdl : float
        MDL score of the fit on the data, penalties included (the estimator's ``mdl_``);
        lower is better.
    hit_rate : float
        Share of samples predicted within the MDL score's tolerance, 0.4 times the median
        absolute deviation of y (0.4 if that is zero), as :func:`zarn.compute_sr` counts it.
    rmse : float
        Root mean squared residual.
    r2 : float
        Coefficient of determination.
    gaussian_aic, gaussian_bic : float
        ``n ln(RSS / n) + 2 k`` and ``n ln(RSS / n) + k ln(n)``: Akaike's and Schwarz's
        criteria of the same fit under Gaussian noise, for comparison (lower is better).
        They omit the constant ``n (1 + ln(2 pi))`` that statsmodels' ``aic`` and ``bic``
        include, which changes no ranking; ``-inf`` for a fit without residual.
    fit_time : float
        Seconds spent in ``fit``.
    k_exceeds_n : bool
        More coefficients than samples: the fit is the minimum-norm (``"ols"``) or ridge
        (``"penalized"``, ``"robust"``) solution of an underdetermined system, which
        interpolates the data; AIC and BIC mean little for it.

    Examples
    --------
    >>> import zarn
    >>> cmp = zarn.compare_models([0.0, 1.0, 2.0, 3.0], [1.0, 3.0, 5.0, 7.0], degrees=[1])
    >>> row = cmp.rows[0]
    >>> row.degree, row.k, row.method, row.hit_rate, row.k_exceeds_n
    (1, 2, 'penalized', 1.0, False)
    """

    degree: Degree
    k: int
    method: str
    gamma1: float
    gamma2: float
    mdl: float
    hit_rate: float
    rmse: float
    r2: float
    gaussian_aic: float
    gaussian_bic: float
    fit_time: float
    k_exceeds_n: bool


class ModelComparison:
    """Candidates fitted by :func:`compare_models`, ranked by MDL score, and the chosen model.

    Parameters
    ----------
    rows : sequence of ComparisonRow
        The candidates, sorted by MDL score (ties to fewer coefficients, then to the order
        of the candidates).
    best : PolynomialRegressor
        The fitted model of ``rows[0]``.
    degrees : sequence of int or tuple of int
        The degrees compared, in the order given (the plot's horizontal axis).
    n_samples : int
        Number of samples the candidates were fitted to.

    Attributes
    ----------
    rows : tuple of ComparisonRow
        One record per candidate, best first.
    best_ : PolynomialRegressor
        The fitted candidate of the lowest MDL score.
    degrees : tuple of int or tuple of int
        The degrees compared.
    n_samples : int
        Number of samples.

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> x = np.linspace(-1.0, 1.0, 40)
    >>> cmp = zarn.compare_models(x, 1.0 - x**2, degrees=range(5))
    >>> cmp.best_
    PolynomialRegressor(degree=2)
    >>> [row.degree for row in cmp.rows]  # degrees 0 and 1 fit alike: fewer coefficients first
    [2, 3, 4, 0, 1]
    """

    def __init__(
        self,
        rows: Sequence[ComparisonRow],
        best: PolynomialRegressor,
        degrees: Sequence[Degree],
        n_samples: int,
    ) -> None:
        self.rows = tuple(rows)
        self.best_ = best
        self.degrees = tuple(degrees)
        self.n_samples = n_samples

    def __len__(self) -> int:
        return len(self.rows)

    def __repr__(self) -> str:
        return _display.text_table(self)

    def _repr_html_(self) -> str:
        return _display.html_table(self)

    def to_pandas(self) -> Any:
        """The rows as a :class:`pandas.DataFrame`, one column per field, best first.

        Returns
        -------
        pandas.DataFrame
            Columns ``degree``, ``k``, ``method``, ``gamma1``, ``gamma2``, ``mdl``,
            ``hit_rate``, ``rmse``, ``r2``, ``gaussian_aic``, ``gaussian_bic``,
            ``fit_time`` and ``k_exceeds_n``.

        Raises
        ------
        ImportError
            When pandas is not installed (``pip install 'zarn[pandas]'``).

        Examples
        --------
        >>> import zarn
        >>> cmp = zarn.compare_models([0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 4.0, 9.0], degrees=[1, 2])
        >>> cmp.to_pandas()[["degree", "k", "hit_rate"]]
           degree  k  hit_rate
        0       2  3     1.000
        1       1  2     0.125
        """
        pd = import_optional("pandas", "ModelComparison.to_pandas")
        columns = [field.name for field in dataclasses.fields(ComparisonRow)]
        records = [dataclasses.astuple(row) for row in self.rows]
        return pd.DataFrame.from_records(records, columns=columns)

    # --------------------------------------------------------------------- plot

    def plot(self, ax: Any = None) -> Any:
        """Draw the MDL score against the degree, one line per method and penalty pair.

        The chosen model is marked with a star; the Gaussian BIC of every candidate is
        drawn dashed, in the same colour, on a second vertical axis (its right side).
        Degrees given per feature are placed in the order given and labelled as tuples.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Axes to draw on; by default a new figure's.

        Returns
        -------
        matplotlib.axes.Axes
            The axes of the MDL score (the BIC axes is its ``twinx``).

        Raises
        ------
        ImportError
            When matplotlib is not installed (``pip install 'zarn[plot]'``).

        Examples
        --------
        >>> import matplotlib
        >>> matplotlib.use("Agg")
        >>> import numpy as np
        >>> import zarn
        >>> x = np.linspace(-1.0, 1.0, 40)
        >>> ax = zarn.compare_models(x, x**3, degrees=range(6)).plot()
        >>> ax.get_ylabel()
        'MDL score (lower is better)'
        """
        return _display.plot(self, ax)


def compare_models(
    X: ArrayLike,
    y: ArrayLike,
    degrees: Iterable[Degree] = range(0, 11),
    *,
    methods: Iterable[str] = ("penalized",),
    penalties: Iterable[tuple[float, float]] = ((0.0, 0.0),),
    sample_weight: ArrayLike | None = None,
    **params: Any,
) -> ModelComparison:
    """Fit one polynomial model per degree, method and penalty pair, and rank them by MDL.

    Every combination of an entry of ``degrees``, of ``methods`` and of ``penalties`` is
    fitted as a :class:`zarn.PolynomialRegressor` on all of (X, y), with ``params`` passed
    to each, and scored on the same data. The candidate with the lowest MDL score (ties to
    fewer coefficients, then to the order of the candidates: degrees, then methods, then
    penalties) is returned fitted in ``best_``.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features) or (n_samples,)
        Inputs. Unlike the estimator, a 1-D X is accepted as one feature.
    y : array-like of shape (n_samples,)
        Targets.
    degrees : iterable of int or of tuple of int, default=range(0, 11)
        The degrees to compare: each an int (the degree of every feature) or one int per
        feature.
    methods : iterable of str, default=("penalized",)
        Methods of :class:`zarn.PolynomialRegressor` to compare (``"ols"``,
        ``"penalized"``, ``"robust"``); a single string is one method.
    penalties : iterable of (gamma1, gamma2), default=((0.0, 0.0),)
        Slope and curvature penalty weights to compare. ``"ols"`` fits ignore them, but
        its MDL score still charges its coefficients for them.
    sample_weight : array-like of shape (n_samples,), float or None, default=None
        Weights of the samples, passed to every candidate's ``fit`` (see
        :meth:`PolynomialRegressor.fit`). Samples of weight zero are left out of every
        score; the residual sums of squares (RMSE, R², AIC, BIC) are weighted, the MDL
        score and the hit rate count the other samples alike.
    **params
        Other parameters of every :class:`zarn.PolynomialRegressor` (``basis``,
        ``domain``, ``H``, ``ridge``, ``n_grid``, the sampler settings, ``random_state``).

    Returns
    -------
    ModelComparison
        ``rows`` (one :class:`ComparisonRow` per candidate, best first), ``best_`` (the
        chosen fitted model), a text and an HTML table, ``to_pandas()`` and ``plot()``.

    Raises
    ------
    TypeError
        For an int ``degrees`` (give ``range(0, d + 1)``) or a degree that is not an int.
    ValueError
        For empty ``degrees``, ``methods`` or ``penalties``, a negative degree, an unknown
        method, a penalty pair that is not two finite non-negative numbers, an unknown
        parameter or one that the grid sets (``degree``, ``method``, ``gamma1``,
        ``gamma2``), and for the input errors of :meth:`PolynomialRegressor.fit`.

    See Also
    --------
    PolynomialRegressor : the model fitted for every candidate.
    zarn.mdl_score_reg : the MDL score.

    Notes
    -----
    The MDL score is ``-n ln(sr) + k^2 ln(2H) / n`` plus the penalty terms, with ``sr``
    the hit rate at 0.4 times the median absolute deviation of y: it counts the samples a
    model misses, not how far they lie, so a robust fit is judged by the points it
    explains and outliers cannot drag the choice. Fits with the same hit count go to the
    fewer coefficients. Each row also carries the Gaussian AIC and BIC of the same fit,
    ``n ln(RSS / n) + 2 k`` and ``n ln(RSS / n) + k ln(n)``, for comparison with the
    usual criteria; on data with gross outliers those follow the outliers.

    How often the choice is the true degree, against BIC of least squares and for other
    values of ``H``, is measured by ``bench/bench_compare.py`` on clean data and on data
    with gross outliers: see :doc:`/performance`. In short, the model cost
    ``k^2 ln(2H) / n`` shrinks as n grows, so at the default ``H`` a larger model that
    happens to hit one or two more samples can win; a larger ``H`` (such as ``H=2**30``,
    passed through ``params``) served selection better in every setting measured. The
    default stays that of :class:`PolynomialRegressor`, H = 20.

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> rng = np.random.default_rng(0)
    >>> x = rng.uniform(-1.0, 1.0, 200)
    >>> y = 1.0 - 2.0 * x + 3.0 * x**3 + rng.normal(scale=0.05, size=200)
    >>> cmp = zarn.compare_models(x, y, degrees=range(8))
    >>> cmp.best_.degree
    3
    >>> cmp.best_.predict([[0.5]]).round(1)
    array([0.4])
    >>> row = cmp.rows[0]
    >>> row.degree, row.k, row.hit_rate > 0.9, row.k_exceeds_n
    (3, 4, True, False)
    """
    X_fit, n, d = _inputs(X)
    y = check_y(y, n)
    w = check_sample_weight(sample_weight, n)
    if w is not None and not (w > 0.0).all():  # zero weights drop their samples
        keep = w > 0.0
        X_fit = X_fit.iloc[keep] if hasattr(X_fit, "iloc") else X_fit[keep]
        y, w, n = y[keep], w[keep], int(keep.sum())
    degree_list = _degrees(degrees, d)
    method_list = _methods(methods)
    penalty_list = _penalties(penalties)
    template = _template(params)

    candidates = [
        (degree, method, gamma1, gamma2)
        for degree in degree_list
        for method in method_list
        for gamma1, gamma2 in penalty_list
    ]
    mad = core.mad(y)
    eps = MAD_TOLERANCE * mad if mad > 0.0 else MAD_TOLERANCE
    rows, models = [], []
    for degree, method, gamma1, gamma2 in candidates:
        model = PolynomialRegressor(
            **{**template, "degree": degree, "method": method, "gamma1": gamma1, "gamma2": gamma2}
        )
        start = time.perf_counter()
        model.fit(X_fit, y, sample_weight=w)
        elapsed = time.perf_counter() - start
        rows.append(_row(model, X_fit, y, w, eps, elapsed, degree, method, gamma1, gamma2))
        models.append(model)

    order = _ranking(rows)
    return ModelComparison([rows[i] for i in order], models[order[0]], degree_list, n)


def _inputs(X: ArrayLike) -> tuple[Any, int, int]:
    """X to pass to every fit (a 1-D X as one column), its number of samples and features."""
    if feature_names(X) is not None:  # a DataFrame: keep its column names for the fits
        n, d = check_X(as_float_array(X, "X")).shape
        return X, n, d
    arr = check_positions(X, "X")
    return arr, arr.shape[0], arr.shape[1]


def _degrees(degrees: Iterable[Degree], n_features: int) -> list[Degree]:
    """The degrees, checked: ints >= 0, or tuples of one int >= 0 per feature."""
    if isinstance(degrees, numbers.Integral):
        raise TypeError(
            f"degrees must be an iterable of degrees, such as range(0, {int(degrees) + 1}); "
            f"got the int {degrees!r}"
        )
    items = list(degrees)
    if not items:
        raise ValueError("degrees is empty; give at least one degree, such as range(0, 11)")
    out: list[Degree] = []
    for i, item in enumerate(items):
        name = f"degrees[{i}]"
        degree = check_param(name, item, [DEGREES], "compare_models")
        check_degrees(degree, n_features, name)
        out.append(degree)  # as given: one int, or one per feature
    return out


def _methods(methods: Iterable[str]) -> list[str]:
    items = [methods] if isinstance(methods, str) else list(methods)
    if not items:
        raise ValueError(f"methods is empty; give one or more of {', '.join(METHODS)}")
    options = [Options(*METHODS)]
    return [check_param(f"methods[{i}]", m, options, "compare_models") for i, m in enumerate(items)]


def _penalties(penalties: Iterable[tuple[float, float]]) -> list[tuple[float, float]]:
    """The (gamma1, gamma2) pairs, checked: two finite numbers >= 0 each."""
    items = list(penalties)
    if not items:
        raise ValueError("penalties is empty; give at least one pair, such as [(0.0, 0.0)]")
    out = []
    for i, pair in enumerate(items):
        try:
            g1, g2 = (check_param(f"penalties[{i}]", v, [WEIGHT], "compare_models") for v in pair)
        except (TypeError, ValueError):  # not a pair, or not of weights
            raise InvalidParameterError(
                f"penalties[{i}] must be a pair (gamma1, gamma2) of finite numbers >= 0, "
                f"got {pair!r}"
            ) from None
        out.append((g1, g2))
    return out


def _template(params: dict[str, Any]) -> dict[str, Any]:
    """The estimator parameters shared by every candidate, checked by name."""
    fixed = sorted(set(params) & set(GRID_PARAMS))
    if fixed:
        raise ValueError(
            f"compare_models sets {', '.join(fixed)} for each candidate: give them through "
            "degrees, methods and penalties instead"
        )
    return PolynomialRegressor().set_params(**params).get_params()


def _row(
    model: PolynomialRegressor,
    X: Any,
    y: np.ndarray,
    w: np.ndarray | None,
    eps: float,
    fit_time: float,
    degree: Degree,
    method: str,
    gamma1: float,
    gamma2: float,
) -> ComparisonRow:
    """The scores of a fitted candidate on its training data."""
    n = len(y)
    k = len(model.coef_)
    yp = model.predict(X)
    sums = Residuals(y, yp, w)  # safe for values of any size
    fit_term = n * (sums.log_rss - math.log(n))
    return ComparisonRow(
        degree=degree,
        k=k,
        method=method,
        gamma1=gamma1,
        gamma2=gamma2,
        mdl=float(model.mdl_),
        hit_rate=float(core.compute_sr(yp, y, eps)),
        rmse=sums.rmse,
        r2=sums.r2,
        gaussian_aic=fit_term + 2.0 * k,
        gaussian_bic=fit_term + k * math.log(n),
        fit_time=fit_time,
        k_exceeds_n=k > n,
    )


def _ranking(rows: Sequence[ComparisonRow]) -> list[int]:
    """Row positions by MDL score (NaN last), ties to fewer coefficients, then to position."""
    return sorted(
        range(len(rows)), key=lambda i: (math.isnan(rows[i].mdl), rows[i].mdl, rows[i].k, i)
    )


__all__ = ["ComparisonRow", "ModelComparison", "compare_models"]
