"""Model comparison: fit a grid of polynomial candidates and choose one by a criterion."""

from __future__ import annotations

import dataclasses
import math
import numbers
import time
import warnings
from collections.abc import Iterable, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from zarn import _criteria, _display, _methods
from zarn._constants import MAD_TOLERANCE
from zarn._criteria import DEFAULT_CRITERION, ComparisonRow, Degree, Weight
from zarn._native import zarn_core as core
from zarn._optional import import_optional
from zarn._scores import Residuals
from zarn._settings import DEGREES, InvalidParameterError, Options, check_param
from zarn._uncertainty import warn_if_rank_deficient
from zarn._validation import (
    as_float_array,
    check_degrees,
    check_positions,
    check_sample_weight,
    check_X,
    check_y,
    datetime_as_float,
    feature_names,
)
from zarn.exceptions import RankWarning
from zarn.models import PENALTY_WEIGHT, PolynomialRegressor

# Parameters that compare_models sets itself, candidate by candidate.
GRID_PARAMS = ("degree", "method", "gamma1", "gamma2")


class ModelComparison:
    """Candidates fitted by :func:`compare_models`, ranked by a criterion, and the chosen model.

    Parameters
    ----------
    rows : sequence of ComparisonRow
        The candidates, sorted by ``criterion`` (ties to fewer coefficients, then to the
        order of the candidates).
    best : PolynomialRegressor
        The fitted model of ``rows[0]``.
    degrees : sequence of int or tuple of int
        The degrees compared, in the order given (the plot's horizontal axis).
    n_samples : int
        Number of samples the candidates were fitted to.
    criterion : {"rbic", "bic", "aic", "mdl"}, default="rbic"
        The criterion that ranked the rows.

    Attributes
    ----------
    rows : tuple of ComparisonRow
        One record per candidate, best first.
    best_ : PolynomialRegressor
        The fitted candidate of the lowest value of the criterion.
    criterion : str
        The criterion that chose: ``"rbic"``, ``"bic"``, ``"aic"`` or ``"mdl"``.
    degrees : tuple of int or tuple of int
        The degrees compared.
    n_samples : int
        Number of samples.

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> x = np.linspace(-1.0, 1.0, 40)
    >>> y = 1.0 - x**2 + 0.01 * np.cos(30.0 * x)  # a parabola and a small wiggle
    >>> cmp = zarn.compare_models(x, y, degrees=range(5))
    >>> cmp.best_, cmp.criterion
    (PolynomialRegressor(degree=2), 'rbic')
    >>> [row.degree for row in cmp.rows]
    [2, 3, 4, 0, 1]
    """

    def __init__(
        self,
        rows: Sequence[ComparisonRow],
        best: PolynomialRegressor,
        degrees: Sequence[Degree],
        n_samples: int,
        criterion: str = DEFAULT_CRITERION,
    ) -> None:
        self.rows = tuple(rows)
        self.best_ = best
        self.degrees = tuple(degrees)
        self.n_samples = n_samples
        self.criterion = criterion

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
            Columns ``degree``, ``k``, ``method``, ``gamma1``, ``gamma2``, ``penalty``,
            ``edf``, ``mdl``, ``hit_rate``, ``rmse``, ``r2``, ``aic``, ``bic``, ``rbic``,
            ``fit_time`` and ``k_exceeds_n``: the criteria's columns are named as the
            criteria, so ``df.sort_values(cmp.criterion)`` ranks the rows as ``rows``.

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
        """Draw every criterion against the degree, one colour per method and penalty pair.

        The robust BIC (solid), Gaussian BIC (dashed) and Gaussian AIC (dotted) share the
        left axis, each as its difference from its own lowest value, so that they fit one
        scale; the MDL score is on a second vertical axis (right, dash-dotted). The chosen
        model is marked with a star on the curve of the criterion that chose it. Degrees
        given per feature are placed in the order given and labelled as tuples. A new
        figure uses constrained layout, which keeps both axis labels inside the image
        that ``savefig`` writes; for axes of your own, create their figure with
        ``layout="constrained"`` (or call its ``tight_layout``) to the same end.

        Parameters
        ----------
        ax : matplotlib.axes.Axes, optional
            Axes to draw on; by default a new figure's.

        Returns
        -------
        matplotlib.axes.Axes
            The axes of the information criteria (the MDL score's is its ``twinx``).

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
        'criterion minus its lowest value (lower is better)'
        """
        return _display.plot(self, ax)


def compare_models(
    X: ArrayLike,
    y: ArrayLike,
    degrees: Iterable[Degree] = range(0, 11),
    *,
    methods: Iterable[str] = ("penalized",),
    penalties: Iterable[tuple[Weight, Weight]] = ((0.0, 0.0),),
    criterion: str = DEFAULT_CRITERION,
    sample_weight: ArrayLike | None = None,
    **params: Any,
) -> ModelComparison:
    """Fit one polynomial model per degree, method and penalty pair, and rank them.

    Every combination of an entry of ``degrees``, of ``methods`` and of ``penalties`` is
    fitted as a :class:`zarn.PolynomialRegressor` on all of (X, y), with ``params`` passed
    to each, and scored on the same data by every criterion. The candidate with the
    lowest value of ``criterion`` (ties to fewer coefficients, then to the order of the
    candidates: degrees, then methods, then penalties) is returned fitted in ``best_``.

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
        Slope and curvature penalty weights to compare; a weight ``"auto"`` is chosen by
        REML for each candidate (see :class:`zarn.PolynomialRegressor`). ``"ols"`` fits
        ignore them, but its MDL score still charges its coefficients for them.
    criterion : {"rbic", "bic", "aic", "mdl"}, default="rbic"
        What ranks the candidates, lower being better: the robust BIC, the Gaussian BIC
        or AIC, or the MDL score (see Notes). Every row holds all four.
    sample_weight : array-like of shape (n_samples,), float or None, default=None
        Weights of the samples, passed to every candidate's ``fit`` (see
        :meth:`PolynomialRegressor.fit`). Samples of weight zero are left out of every
        score. The criteria and the residual scores are weighted (residuals scaled by the
        square roots of the weights, as for weighted least squares), with each
        candidate's effective degrees of freedom of the weighted fit; the MDL score and
        the hit rate count the other samples alike.
    **params
        Other parameters of every :class:`zarn.PolynomialRegressor` (``basis``,
        ``domain``, ``H``, ``ridge``, ``n_grid``, the sampler settings, ``random_state``,
        ``cov_type``; ``harmonics`` and ``period``: every candidate then has the same
        harmonics, whose columns count among its coefficients ``k`` and in its ``edf``).

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
        method or criterion, a penalty pair that is not two finite non-negative numbers
        or ``"auto"``, an unknown parameter or one that the grid sets (``degree``,
        ``method``, ``gamma1``, ``gamma2``), and for the input errors of
        :meth:`PolynomialRegressor.fit`.

    Warns
    -----
    zarn.RankWarning
        When the chosen model's data do not determine all its coefficients (the other
        candidates' fits are not warned about: their rows flag ``k_exceeds_n``).

    See Also
    --------
    PolynomialRegressor : the model fitted for every candidate.
    zarn.mdl_score_reg : the MDL score.

    Notes
    -----
    The criteria, each computed with k the candidate's effective degrees of freedom
    (``edf``, the number of coefficients for a fit without penalty):

    - ``"rbic"``, the robust BIC (the default), ``2 sum(rho(r_i / s)) + k ln(n)``:
      Schwarz's criterion with the Gaussian log-likelihood replaced by Tukey's biweight
      loss, which equals ``r^2 / 2`` for small standardised residuals and is bounded
      (at 4.685 scale units) for large ones (Machado 1993; Ronchetti 1985). The scale
      s is common to all candidates: the smallest robust residual scale among them
      (:func:`zarn._criteria.common_scale`), that of a candidate that explains the
      inliers. On clean data it picks what BIC picks; gross outliers cost every
      candidate the same bounded amount, so with robust fits it keeps finding the degree
      of the inliers.
    - ``"bic"`` and ``"aic"``: the Gaussian criteria, as statsmodels computes them. BIC
      is right for least squares on clean data; AIC aims at prediction and often picks
      more coefficients than the true model has. Gross outliers drag both.
    - ``"mdl"``: the MDL score ``-n ln(sr) + k^2 ln(2H) / n`` plus the penalty terms,
      with ``sr`` the hit rate at 0.4 times the median absolute deviation of y. It is
      the energy that the robust method's sampler minimises, and a weak chooser of
      degree: its cost of coefficients vanishes as n grows and its hit count saturates
      on smooth data, so it tends to pick too many coefficients at large n (or the
      fewest, when every candidate hits every point).

    How often each criterion finds the true degree, with and without outliers, is
    measured by ``bench/bench_compare.py``: see :doc:`/performance`.

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
    >>> cmp.criterion, [r.degree for r in cmp.rows][:3]
    ('rbic', [3, 4, 5])
    """
    X_fit, n, d = _inputs(X)
    y = check_y(y, n)
    w = check_sample_weight(sample_weight, n)
    if w is not None and not (w > 0.0).all():  # zero weights drop their samples
        keep = w > 0.0
        X_fit = X_fit.iloc[keep] if hasattr(X_fit, "iloc") else X_fit[keep]
        y, w, n = y[keep], w[keep], int(keep.sum())
    degree_list = _degrees(degrees, d)
    method_list = _method_names(methods)
    penalty_list = _penalties(penalties)
    criteria = [Options(*_criteria.CRITERIA)]
    criterion = check_param("criterion", criterion, criteria, "compare_models")
    template = _template(params)

    candidates = [
        (degree, method, gamma1, gamma2)
        for degree in degree_list
        for method in method_list
        for gamma1, gamma2 in penalty_list
    ]
    mad = core.mad(y)
    eps = MAD_TOLERANCE * mad if mad > 0.0 else MAD_TOLERANCE
    models, fits = [], []
    for degree, method, gamma1, gamma2 in candidates:
        model = PolynomialRegressor(
            **{**template, "degree": degree, "method": method, "gamma1": gamma1, "gamma2": gamma2}
        )
        start = time.perf_counter()
        with warnings.catch_warnings():
            # Candidates with more coefficients than the data determine are part of a
            # comparison (their rows say so); only the chosen one is warned about, below.
            warnings.simplefilter("ignore", RankWarning)
            model.fit(X_fit, y, sample_weight=w)
        elapsed = time.perf_counter() - start
        models.append(model)
        # The effective degrees of freedom of the (weighted) fit; of the inliers' refit
        # for robust fits.
        fits.append((model.predict(X_fit), model.edf_, elapsed))

    # One scale for the robust BIC of every candidate.
    # The criteria judge the residuals of weighted least squares, sqrt(w) (y - yp).
    sw = np.ones(n) if w is None else np.sqrt(w)
    y_w = y * sw
    scale = _criteria.common_scale(y_w, [yp * sw for yp, _, _ in fits], [e for _, e, _ in fits])
    rows = [
        _row(model, y, w, yp, edf, scale, eps, elapsed, candidate)
        for model, (yp, edf, elapsed), candidate in zip(models, fits, candidates)
    ]
    order = _ranking(rows, criterion)
    best = models[order[0]]
    warn_if_rank_deficient(best.rank_, _n_coefficients(best), n, stacklevel=2)
    return ModelComparison([rows[i] for i in order], best, degree_list, n, criterion)


def _inputs(X: ArrayLike) -> tuple[Any, int, int]:
    """X to pass to every fit (a 1-D X as one column), its number of samples and features.

    A DataFrame is passed as it is, so that the fits keep its column names as their feature
    names, and a pandas Series of a string name as a DataFrame of that one column. Dates
    and durations stay dates and durations (the fits convert them, and know them as such).
    """
    if isinstance(getattr(X, "name", None), str) and hasattr(X, "to_frame"):
        X = X.to_frame()
    if feature_names(X) is not None:  # a DataFrame: keep its column names for the fits
        n, d = check_X(as_float_array(datetime_as_float(X, "X"), "X")).shape
        return X, n, d
    converted = datetime_as_float(X, "X")
    if converted is not X:
        times = np.asarray(X)
        arr = check_positions(converted, "X")
        return times.reshape(arr.shape), arr.shape[0], arr.shape[1]
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


def _method_names(methods: Iterable[str]) -> list[str]:
    items = [methods] if isinstance(methods, str) else list(methods)
    names = _methods.names()
    if not items:
        raise ValueError(f"methods is empty; give one or more of {', '.join(names)}")
    options = [Options(*names)]
    return [check_param(f"methods[{i}]", m, options, "compare_models") for i, m in enumerate(items)]


def _penalties(penalties: Iterable[tuple[Weight, Weight]]) -> list[tuple[Weight, Weight]]:
    """The (gamma1, gamma2) pairs, checked: two finite numbers >= 0 or "auto" each."""
    items = list(penalties)
    if not items:
        raise ValueError("penalties is empty; give at least one pair, such as [(0.0, 0.0)]")
    out = []
    for i, pair in enumerate(items):
        try:
            g1, g2 = (
                check_param(f"penalties[{i}]", v, PENALTY_WEIGHT, "compare_models") for v in pair
            )
        except (TypeError, ValueError):  # not a pair, or not of weights
            raise InvalidParameterError(
                f"penalties[{i}] must be a pair (gamma1, gamma2) of finite numbers >= 0 or "
                f'"auto", got {pair!r}'
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
    y: np.ndarray,
    w: np.ndarray | None,
    yp: np.ndarray,
    edf: float,
    scale: float,
    eps: float,
    fit_time: float,
    candidate: tuple[Degree, str, Weight, Weight],
) -> ComparisonRow:
    """The scores of a fitted candidate on its training data."""
    degree, method, gamma1, gamma2 = candidate
    n = len(y)
    k = _n_coefficients(model)
    sums = Residuals(y, yp, w)  # safe for values of any size
    sw = 1.0 if w is None else np.sqrt(w)
    y_w, yp_w = y * sw, yp * sw  # the residuals of weighted least squares
    return ComparisonRow(
        degree=degree,
        k=k,
        method=method,
        gamma1=model.gamma1_,
        gamma2=model.gamma2_,
        penalty=(gamma1, gamma2),
        edf=edf,
        mdl=float(model.mdl_),
        hit_rate=float(core.compute_sr(yp, y, eps)),
        rmse=sums.rmse,
        r2=sums.r2,
        aic=_criteria.gaussian_aic(y_w, yp_w, edf),
        bic=_criteria.gaussian_bic(y_w, yp_w, edf),
        rbic=_criteria.robust_bic(y_w, yp_w, edf, scale),
        fit_time=fit_time,
        k_exceeds_n=k > n,
    )


def _n_coefficients(model: PolynomialRegressor) -> int:
    """The coefficients of a fitted candidate: its polynomial's and its harmonics'."""
    return len(model.coef_) + len(getattr(model, "harmonic_labels_", ()))


def _ranking(rows: Sequence[ComparisonRow], criterion: str) -> list[int]:
    """Row positions by a criterion's column (NaN last), ties to fewer coefficients, then
    to position."""

    def key(i: int) -> tuple[bool, float, int, int]:
        value = getattr(rows[i], criterion)
        return (math.isnan(value), value, rows[i].k, i)

    return sorted(range(len(rows)), key=key)


__all__ = ["ComparisonRow", "ModelComparison", "compare_models"]
