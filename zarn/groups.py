"""One polynomial fit per group of samples, each group on its own positions and domain.

:func:`fit_groups` takes samples in long format (one row per observation, with a group
label: a sensor, a station, a patient) as arrays or a pandas DataFrame, fits the model to
every group as :class:`zarn.PolynomialRegressor` would fit that group alone, and returns a
:class:`GroupFits` with one row per group. The fits themselves are
:mod:`zarn._grouped`'s.
"""

from __future__ import annotations

import warnings
from collections.abc import Hashable, Sequence
from typing import Any, NamedTuple

import numpy as np
from numpy.typing import ArrayLike

from zarn._grouped import GroupArrays, evaluate, fit_grouped, sort_samples
from zarn._harmonics import amplitude_phase, harmonic_labels
from zarn._optional import import_optional
from zarn._settings import Interval, check_param
from zarn._validation import (
    as_float_array,
    check_positions,
    check_sample_weight,
    datetime_as_float,
)
from zarn.exceptions import RankWarning
from zarn.many import derivative_orders, model_settings
from zarn.models import PolynomialRegressor

_MIN_COUNT = [Interval(int, 1, None, closed="left"), None]
# Unknown labels named in predict's KeyError, at most.
_SHOWN_LABELS = 5
# Keys tested first for order (ascending): a few thousand cost microseconds.
_HEAD = 4096


class GroupFits:
    """Results of :func:`fit_groups`: one polynomial per group, each on its own domain.

    Attributes
    ----------
    labels : ndarray of shape (n_groups,)
        The group labels, sorted as pandas' ``groupby`` sorts them (tuples for several
        keys); row i of every other attribute belongs to ``labels[i]``.
    coef : ndarray of shape (n_groups, n_coefficients)
        Each group's coefficients of the basis functions of its mapped variables (its own
        domain mapped onto [-1, 1]), in ``basis`` order; NaN for a group not fitted. With
        harmonics, the polynomial's only (as the estimator's ``coef_``).
    stderr : ndarray of shape (n_groups, n_coefficients)
        Standard errors of the coefficients, the estimator's ``stderr_`` of the group's
        fit (``"ols"``: statsmodels' OLS; ``"penalized"``: the posterior ones;
        ``"robust"``: ``lmrob``'s; with ``cov_type``, those of the type); NaN without
        residual degrees of freedom.
    cov : ndarray of shape (n_groups, k, k)
        Each group's covariance of all its coefficients, ``coef`` then
        ``harmonic_coef`` (k of them), the estimator's ``cov_``: for the standard error
        of any linear combination, such as a slope in the positions' own units.
    harmonic_coef, harmonic_stderr : ndarray of shape (n_groups, 2 harmonics) or None
        With ``harmonics`` only: the coefficients of the sine and cosine columns, in the
        order of ``harmonic_labels``, and their standard errors.
    harmonic_labels : list of str or None
        With ``harmonics`` only: ``["sin1", "cos1", "sin2", ...]``.
    amplitude, phase, amplitude_stderr, phase_stderr : ndarray or None
        Shape (n_groups, harmonics), with ``harmonics`` only: each harmonic as
        ``amplitude * cos(2 pi j x / period - phase)`` (phase in radians from x = 0) and
        their delta-method standard errors, as the estimator's ``amplitude_`` and
        ``phase_``.
    period : float or None
        With ``harmonics`` only: the period, in the positions' units (nanoseconds for
        dates).
    scale : ndarray of shape (n_groups,)
        Residual standard deviation of each fit, the estimator's ``scale_``.
    r2 : ndarray of shape (n_groups,)
        Coefficient of determination of each fit on its own samples (weighted with the
        sample weights; 1.0 for a constant group).
    n_used : ndarray of int64, shape (n_groups,)
        Samples of each group that were used (finite position and target, positive
        weight), also for a group not fitted.
    n_inliers : ndarray of int64, shape (n_groups,) or None
        Robust method only: samples of each group not flagged as outliers.
    inlier_mask : ndarray of bool, shape (n_samples,) or None
        Robust method only: per input sample, False for the outliers and for the samples
        not used.
    domain : ndarray of shape (n_groups, n_features, 2)
        Each group's (low, high) per feature: the model's ``domain`` if given, else the
        range of the group's positions.
    basis : ndarray of shape (n_coefficients, n_features)
        The exponents of each basis function, shared by every group.
    method : str
        The fitting method.
    cov_type : str
        The covariance type of ``stderr`` and ``cov`` (the method's default for
        ``cov_type=None``).

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> x = np.array([0.0, 1.0, 2.0, 3.0, 10.0, 11.0, 12.0, 13.0])
    >>> y = np.array([1.0, 3.0, 5.0, 7.1, 0.0, -1.0, -2.0, -3.0])
    >>> fits = zarn.fit_groups(x, y, ["a"] * 4 + ["b"] * 4,
    ...                        zarn.PolynomialRegressor(degree=1, method="ols"))
    >>> fits
    GroupFits(n_groups=2, n_fitted=2, n_coefficients=2, method='ols')
    >>> fits.labels.tolist(), fits.domain[:, 0].tolist()
    (['a', 'b'], [[0.0, 3.0], [10.0, 13.0]])
    >>> fits.predict([4.0, 14.0], ["a", "b"]).round(2)
    array([ 9.1, -4. ])
    """

    def __init__(self, arrays: GroupArrays, labels: np.ndarray, index: Any) -> None:
        design = arrays.design
        k = design.n_poly
        self.labels = labels
        self.coef = arrays.coef[:, :k]
        self.stderr = arrays.stderr[:, :k]
        self.cov = arrays.cov
        self.harmonic_coef = self.harmonic_stderr = self.harmonic_labels = None
        self.amplitude = self.phase = self.amplitude_stderr = self.phase_stderr = None
        self.period = design.period
        if design.harmonics:
            self.harmonic_coef = arrays.coef[:, k:]
            self.harmonic_stderr = arrays.stderr[:, k:]
            self.harmonic_labels = harmonic_labels(design.harmonics)
            parts = amplitude_phase(self.harmonic_coef, arrays.cov[:, k:, k:])
            self.amplitude, self.phase, self.amplitude_stderr, self.phase_stderr = parts
        self.scale = arrays.scale
        self.r2 = arrays.r2
        self.n_used = arrays.n_used
        self.n_inliers = arrays.n_inliers
        self.inlier_mask = arrays.inlier_mask
        self.domain = arrays.domain
        self.basis = arrays.design.indices
        self.method = arrays.method
        self.cov_type = arrays.cov_type
        self._arrays = arrays
        self._index = index  # the pandas Index of the labels, for pandas input

    def __repr__(self) -> str:
        n_fitted = int(np.isfinite(self.coef).all(axis=1).sum())
        harmonics = self._arrays.design.harmonics
        seasonal = f", harmonics={harmonics}" if harmonics else ""
        return (
            f"GroupFits(n_groups={len(self)}, n_fitted={n_fitted}, "
            f"n_coefficients={self.coef.shape[1]}{seasonal}, method={self.method!r})"
        )

    def __len__(self) -> int:
        return len(self.labels)

    def predict(
        self, x: ArrayLike, groups: Any, derivative: int | tuple[int, ...] = 0
    ) -> np.ndarray:
        """Evaluate each position with its own group's polynomial (or a derivative of it).

        Parameters
        ----------
        x : array-like of shape (n,) or (n, n_features)
            Positions; outside a group's domain its polynomial is extrapolated. Dates and
            durations are converted as at the fit (nanoseconds).
        groups : array-like of shape (n,)
            The group of each position, one of ``labels`` (for several keys, tuples of
            keys, or a DataFrame of the key columns).
        derivative : int or tuple of int, default=0
            The order of the derivative with respect to the positions (in their own
            units); with several features, one order per feature. 0 gives the values.

        Returns
        -------
        ndarray of shape (n,)
            The predictions; NaN for a position of a group that was not fitted.

        Raises
        ------
        KeyError
            For a group that is not one of ``labels`` (the first few are named).
        ValueError
            For positions that are not finite or of another number of features, lengths
            that differ, or a negative order.

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.array([0.0, 1.0, 2.0, 0.0, 1.0, 2.0])
        >>> fits = zarn.fit_groups(x, np.r_[x[:3] ** 2, 2 * x[3:]], [1, 1, 1, 2, 2, 2],
        ...                        zarn.PolynomialRegressor(degree=2, method="ols"),
        ...                        min_count=3)
        >>> fits.predict([3.0, 3.0], [1, 2]).round(6)
        array([9., 6.])
        >>> fits.predict([3.0, 3.0], [1, 2], derivative=1).round(6)  # the slopes
        array([6., 2.])
        """
        d = self.basis.shape[1]
        orders = derivative_orders(derivative, d)
        X = check_positions(datetime_as_float(x, "x"), "x", d)
        if not np.isfinite(X).all():
            raise ValueError("Input x contains NaN or infinity; remove or impute the values")
        return evaluate(self._arrays, X, self._rows_of(groups, len(X)), orders)

    def _rows_of(self, groups: Any, n: int) -> np.ndarray:
        """The row of each of the n positions' groups; KeyError for unknown labels."""
        if self._index is not None:
            pd = import_optional("pandas", "predicting the groups of a DataFrame")
            keys = groups
            if hasattr(groups, "columns"):
                keys = pd.MultiIndex.from_frame(groups)
            elif self._index.nlevels > 1:
                keys = pd.MultiIndex.from_tuples(list(groups))
            codes = np.asarray(self._index.get_indexer(keys))
            wanted = np.asarray(keys, dtype=object)
        else:
            wanted = np.asarray(groups)
            if wanted.ndim != 1:
                raise ValueError(f"groups must be 1-D, got shape {wanted.shape}")
            codes = _lookup(self.labels, wanted)
        if len(codes) != n:
            raise ValueError(f"x has {n} positions but groups has {len(codes)} labels")
        unknown = codes < 0
        if unknown.any():
            shown = list(dict.fromkeys(wanted[unknown].tolist()))[:_SHOWN_LABELS]
            raise KeyError(
                f"{int(unknown.sum())} position(s) belong to groups that were not fitted, "
                f"such as {shown}"
            )
        return codes

    def to_pandas(self) -> Any:
        """The results as a pandas DataFrame indexed by group (needs pandas).

        Columns: ``coef_<p>`` and ``stderr_<p>`` for the coefficient of power p of the
        mapped variable (``<p>`` the exponents joined by ``_`` for several features; the
        harmonics' labels, ``coef_sin1``, ...), ``scale``, ``r2``, ``n_used``,
        ``n_inliers`` (robust method) and the domain's ``domain_low``, ``domain_high``
        (``domain_low_<j>`` per feature j for several).

        Examples
        --------
        >>> import numpy as np
        >>> import zarn
        >>> x = np.tile(np.arange(5.0), 2)
        >>> fits = zarn.fit_groups(x, np.r_[x[:5], 3 - x[:5]], np.repeat(["s1", "s2"], 5),
        ...                        zarn.PolynomialRegressor(degree=1, method="ols"))
        >>> fits.to_pandas()[["coef_0", "coef_1", "n_used", "domain_low"]]
            coef_0  coef_1  n_used  domain_low
        s1     2.0     2.0       5         0.0
        s2     1.0    -2.0       5         0.0
        """
        pd = import_optional("pandas", "GroupFits.to_pandas")
        terms = ["_".join(map(str, row)) for row in self.basis.tolist()]
        terms += self.harmonic_labels or []
        columns: dict[str, Any] = {}
        for name, values in (("coef", self._arrays.coef), ("stderr", self._arrays.stderr)):
            columns.update({f"{name}_{t}": values[:, i] for i, t in enumerate(terms)})
        columns.update(scale=self.scale, r2=self.r2, n_used=self.n_used)
        if self.n_inliers is not None:
            columns["n_inliers"] = self.n_inliers
        d = self.domain.shape[1]
        for j in range(d):
            suffix = "" if d == 1 else f"_{j}"
            columns[f"domain_low{suffix}"] = self.domain[:, j, 0]
            columns[f"domain_high{suffix}"] = self.domain[:, j, 1]
        index = self._index if self._index is not None else pd.Index(self.labels)
        return pd.DataFrame(columns, index=index)


def _lookup(labels: np.ndarray, wanted: np.ndarray) -> np.ndarray:
    """The position of each wanted label among the sorted ``labels``, -1 where absent."""
    try:
        at = np.searchsorted(labels, wanted)
    except TypeError:  # labels of another kind: none of them is known
        return np.full(len(wanted), -1)
    at = np.minimum(at, len(labels) - 1)
    found = np.asarray(labels[at] == wanted) if len(labels) else np.zeros(len(wanted), bool)
    return np.where(found, at, -1)


def fit_groups(
    data: Any,
    /,
    y: Any = None,
    groups: Any = None,
    model: PolynomialRegressor | None = None,
    *,
    x: Hashable | Sequence[Hashable] | None = None,
    by: Hashable | Sequence[Hashable] | None = None,
    sample_weight: Any = None,
    min_count: int | None = None,
) -> GroupFits:
    """Fit one polynomial model per group of samples, each on its own positions and domain.

    Two forms: ``fit_groups(x, y, groups, model)`` with arrays (or pandas Series), and
    ``fit_groups(df, x="time", y="value", by="sensor", model=model)`` with a pandas
    DataFrame in long format (one row per observation).

    Parameters
    ----------
    data : array-like of shape (n,) or (n, n_features), or pandas.DataFrame
        The positions x of every sample, or a DataFrame holding the columns named by
        ``x``, ``y`` and ``by``. Dates (``datetime64``, pandas datetimes) and durations
        become float nanoseconds, as xarray converts them.
    y : array-like of shape (n,), or a column label
        The targets (a column of ``data`` for a DataFrame).
    groups : array-like of shape (n,) or None
        The group label of every sample (arrays only): numbers, strings or any labels
        NumPy (or pandas, for a Series) can sort. A missing label (NaN, None) leaves its
        sample out, as pandas' ``groupby`` does.
    model : PolynomialRegressor or None, default=None
        Unfitted model whose parameters apply to every group (None: its defaults).
    x : column label or list of labels, optional
        DataFrame only: the column(s) of the positions (several for several features).
    by : column label or list of labels, optional
        DataFrame only: the column(s) whose values make the groups (as ``df.groupby(by)``).
    sample_weight : array-like of shape (n,), column label or None, default=None
        Weights of the samples, with the estimator's meaning; a zero weight leaves the
        sample out of its group.
    min_count : int or None, default=None
        Groups with fewer samples used get NaN coefficients and statistics (``n_used``
        is still reported); None: one more than the number of coefficients (one residual
        degree of freedom), as pandas' and xarray's ``min_count``.

    Returns
    -------
    GroupFits
        One row per group, in the order of its ``labels``.

    Raises
    ------
    ValueError
        For lengths that differ, y or groups of more than one dimension, invalid sample
        weights (negative, not finite, all zero), or an invalid model parameter.
    TypeError
        For arguments of the other form (``x=`` or ``by=`` with arrays, ``groups`` with a
        DataFrame), or a model that is not a :class:`PolynomialRegressor`.

    Warns
    -----
    zarn.exceptions.RankWarning
        Once, when the designs of some fitted groups cannot determine every coefficient.

    See Also
    --------
    zarn.fit_many : many series sampled at the same positions, fitted on one shared domain.

    Notes
    -----
    Each group's fit is the one ``PolynomialRegressor(**model.get_params()).fit(x_g, y_g)``
    gives on that group's samples ``x_g, y_g`` (in their order in the input), with the
    group's own domain, so a group's coefficients are those of its own mapped variable.
    Every parameter of the model applies, ``harmonics`` (with their ``period``) and
    ``cov_type`` included. A NaN (or NaT) in the position or the target, or a zero
    weight, leaves a sample out of its group. A group the method cannot fit (all its
    positions equal, say) gets NaN and does not stop the others. A ``random_state`` of
    None (or a Generator) gives one seed, drawn once, to every group.

    Groups of equal size share one batched solve where the method's fit is linear in the
    data (``"ols"``, ``"penalized"`` with numeric weights): one call of the core builds
    all their designs, one batched solve of their normal equations gives their
    coefficients and unscaled covariances, and the statistics (the covariance types of
    ``cov_type`` too) are computed for all of them at once. The normal equations serve
    only groups whose Gram matrix is certainly well conditioned (the test the penalised
    fit uses for its own normal equations), so the results agree with the estimator's QR
    solve to about 1e-12 relative to the largest coefficient; the others, and groups of
    extreme values, are fitted one by one by the estimator's own fit. Robust fits with
    fixed penalty weights go to the native robust engine in one call, which fits the
    groups in parallel, each on its own rows, as the estimator fits it (bit for bit);
    penalty weights chosen per group (``"auto"``), robust groups of extreme values or
    with zero weights run group by group through the estimator's fit of one series,
    with the same results bit for bit, without the estimator's per-call checks.

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> import zarn
    >>> rng = np.random.default_rng(0)
    >>> df = pd.DataFrame({
    ...     "sensor": np.repeat(["north", "south", "east"], 40),
    ...     "time": np.concatenate([np.sort(rng.uniform(0, 10, 40)) for _ in range(3)]),
    ... })
    >>> slope = df.sensor.map({"north": 0.5, "south": -0.2, "east": 0.1})
    >>> df["value"] = 20 + slope * df.time + rng.normal(0, 0.1, len(df))
    >>> fits = zarn.fit_groups(df, x="time", y="value", by="sensor",
    ...                        model=zarn.PolynomialRegressor(degree=1, method="ols"))
    >>> fits.labels.tolist()  # sorted, as df.groupby("sensor")
    ['east', 'north', 'south']
    >>> per_unit = fits.coef[:, 1] * 2 / (fits.domain[:, 0, 1] - fits.domain[:, 0, 0])
    >>> per_unit.round(2)  # the slopes per unit of time
    array([ 0.1,  0.5, -0.2])
    >>> fits.predict([5.0], ["north"]).round(1)
    array([22.5])
    """
    settings = model_settings(model)
    min_count = check_param("min_count", min_count, _MIN_COUNT, "fit_groups")
    if hasattr(data, "columns") and hasattr(data, "groupby"):
        given = _from_frame(data, x, y, by, groups, sample_weight)
    else:
        if x is not None or by is not None:
            raise TypeError(
                "x= and by= name the columns of a DataFrame; with arrays call "
                "fit_groups(x, y, groups, model)"
            )
        given = _from_arrays(data, y, groups, sample_weight)
    labels = given.labels
    samples = sort_samples(given.X, given.y, given.w, given.codes, len(labels))
    arrays = fit_grouped(samples, settings, min_count, given.dates)
    if arrays.rank_deficient:
        warnings.warn(
            f"the mapped designs of {arrays.rank_deficient} of {len(labels)} groups cannot "
            "determine every coefficient (too few distinct positions for the degree): "
            "their coefficients are minimum-norm or penalised solutions; raise min_count, "
            "lower the degree or add a penalty",
            RankWarning,
            stacklevel=2,
        )
    return GroupFits(arrays, labels, given.index)


class _Given(NamedTuple):
    """The checked input of either form: positions (n, d), targets, weights, each
    sample's group number (-1: none), the sorted labels, their pandas Index (None for
    labels that did not come from pandas) and whether the positions were dates."""

    X: np.ndarray
    y: np.ndarray
    w: np.ndarray | None
    codes: np.ndarray
    labels: np.ndarray
    index: Any
    dates: bool


def _positions(x: Any) -> tuple[np.ndarray, bool]:
    """The positions (n, d) as floats, and whether they were dates or durations: those in
    nanoseconds, as :func:`zarn._validation.datetime_as_float` converts them, with NaT
    as NaN (a missing sample of its group)."""
    arr = x.to_numpy() if hasattr(x, "to_numpy") else x
    if getattr(arr, "dtype", None) is not None and arr.dtype.kind in "Mm":
        nat = np.isnat(arr)
        values = datetime_as_float(np.where(nat, np.zeros_like(arr), arr), "x")
        values[nat] = np.nan
        return check_positions(values, "x"), True
    converted = datetime_as_float(x, "x")
    return check_positions(converted, "x"), converted is not x


def _targets(y: Any, n: int) -> np.ndarray:
    """The targets: one value per sample."""
    yv = as_float_array(y, "y")
    if yv.ndim != 1:
        raise ValueError(f"y must be 1-D (one target per sample), got shape {yv.shape}")
    if len(yv) != n:
        raise ValueError(f"x has {n} samples but y has {len(yv)}; they must match")
    return yv


def _from_arrays(x: Any, y: Any, groups: Any, sample_weight: Any) -> _Given:
    """The input of the array form."""
    X, dates = _positions(x)
    if y is None:
        raise TypeError("fit_groups(x, y, groups, model) needs y")
    yv = _targets(y, len(X))
    w = check_sample_weight(sample_weight, len(yv))
    return _Given(X, yv, w, *_codes(groups, len(yv)), dates)


def _codes(groups: Any, n: int) -> tuple[np.ndarray, np.ndarray, Any]:
    """(codes, labels, index) of the group labels of n samples: each sample's group number
    (-1 for a missing label), the sorted labels and their pandas Index (None unless the
    labels came as a pandas object)."""
    if groups is None:
        raise TypeError("fit_groups(x, y, groups, model) needs the group of every sample")
    if type(groups).__module__.partition(".")[0] == "pandas":  # Series, Index, Categorical
        pd = import_optional("pandas", "fit_groups with pandas labels")
        name = getattr(groups, "name", None)
        if _plain_numbers(groups):
            return _numbers_with_index(groups, n, name, pd)
        frame = pd.Series(groups).reset_index(drop=True).to_frame("key")
        codes, index = _pandas_codes(frame, "key", n)
        return codes, index.to_numpy(), index.rename(name)
    keys = np.asarray(groups)
    if keys.ndim != 1 or len(keys) != n:
        raise ValueError(f"groups must hold one label per sample ({n}), got shape {keys.shape}")
    missing = _missing(keys)
    if not missing.any():
        labels, codes = _factorize(keys)
        return codes, labels, None
    codes = np.full(n, -1, dtype=np.int64)
    labels, codes[~missing] = _factorize(keys[~missing])
    return codes, labels, None


def _plain_numbers(keys: Any) -> bool:
    """Whether pandas labels are plain numbers (a NumPy dtype of integers or floats), which
    NumPy numbers and sorts as pandas' ``groupby`` does, and faster."""
    dtype = getattr(keys, "dtype", None)
    return isinstance(dtype, np.dtype) and dtype.kind in "iuf"


def _numbers_with_index(
    keys: Any, n: int, name: Any, pd: Any
) -> tuple[np.ndarray, np.ndarray, Any]:
    """:func:`_codes` of pandas labels of plain numbers, with the Index of the labels."""
    codes, labels, _ = _codes(np.asarray(keys), n)
    return codes, labels, pd.Index(labels, name=name)


def _factorize(keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """(sorted distinct labels, each key's position among them), as ``np.unique`` with
    ``return_inverse`` gives them, in linear time for integers of a small range and for
    keys that come sorted (grouped long format)."""
    if keys.dtype.kind in "iu" and len(keys):
        low = int(keys.min())
        if int(keys.max()) - low <= 2 * len(keys):  # a count per value costs no more
            shifted = keys - low if low else keys
            tally = np.bincount(shifted)
            present = tally > 0
            labels = np.flatnonzero(present) + low
            if present.all():  # every value of the range: each key's code is its offset
                return labels, shifted.astype(np.int64, copy=False)
            return labels, (np.cumsum(present) - 1)[shifted]
    if len(keys) and keys.dtype != object and ascending(keys):
        new = np.empty(len(keys), dtype=bool)
        new[0] = True
        np.not_equal(keys[1:], keys[:-1], out=new[1:])
        codes = np.cumsum(new)
        codes -= 1
        return keys[new], codes
    labels, inverse = np.unique(keys, return_inverse=True)
    return labels, inverse.ravel()


def ascending(keys: np.ndarray) -> bool:
    """Whether the keys never decrease. A short head is tested first: it settles most keys
    that do not come sorted without a pass over all of them."""
    head = keys[:_HEAD]
    return not (head[1:] < head[:-1]).any() and not (keys[1:] < keys[:-1]).any()


def _missing(keys: np.ndarray) -> np.ndarray:
    """Which labels are missing: NaN (and NaT), or None in an array of objects."""
    if keys.dtype.kind in "fcmM":
        return np.asarray(np.isnan(keys))
    if keys.dtype == object:
        return np.array([k is None or (isinstance(k, float) and k != k) for k in keys], bool)
    return np.zeros(len(keys), dtype=bool)


def _pandas_codes(frame: Any, by: Any, n: int) -> tuple[np.ndarray, Any]:
    """Each row's group number (-1 for missing keys) and the groups' sorted Index, as
    ``frame.groupby(by)`` numbers and sorts them."""
    if len(frame) != n:
        raise ValueError(f"groups has {len(frame)} labels for {n} samples; they must match")
    grouped = frame.groupby(by, sort=True, dropna=True, observed=True)
    codes = grouped.ngroup().to_numpy()
    if codes.dtype.kind == "f":  # NaN for the rows of missing keys
        codes = np.nan_to_num(codes, nan=-1.0)
    return codes.astype(np.int64, copy=False), grouped.size().index


def _from_frame(df: Any, x: Any, y: Any, by: Any, groups: Any, sample_weight: Any) -> _Given:
    """The input of the DataFrame form."""
    if groups is not None:
        raise TypeError("with a DataFrame, name the group columns with by=, not groups=")
    for name, value in (("x", x), ("y", y), ("by", by)):
        if value is None:
            raise TypeError(f"fit_groups(df, x=..., y=..., by=...) needs {name}=")
    columns = list(x) if isinstance(x, (list, tuple)) else [x]
    X, dates = _positions(df[columns])
    yv = _targets(df[y], len(X))
    named = isinstance(sample_weight, str) or (
        np.isscalar(sample_weight) and sample_weight in df.columns
    )
    w = check_sample_weight(df[sample_weight] if named else sample_weight, len(yv))
    single = not isinstance(by, (list, tuple)) and by in df.columns
    if single and _plain_numbers(df[by]):
        pd = import_optional("pandas", "fit_groups with a DataFrame")
        return _Given(X, yv, w, *_numbers_with_index(df[by], len(yv), by, pd), dates)
    codes, index = _pandas_codes(df, by, len(yv))
    return _Given(X, yv, w, codes, index.to_numpy(), index, dates)


__all__ = ["GroupFits", "fit_groups"]
