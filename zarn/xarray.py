"""Trend maps: fit one polynomial per series of an xarray DataArray or Dataset.

:func:`fit` fits the series along one dimension of a ``DataArray`` (or of every variable
of a ``Dataset`` that has it), with the machinery of :func:`zarn.fit_many`, and returns a
``Dataset`` over the other dimensions: the coefficients, their standard errors, the
residual scale, R^2, the sample counts and the coefficients' covariance of every series.
:func:`predict` evaluates the fits, or their derivatives, at new coordinates, and
:func:`trend` gives the slopes per year or decade with their standard errors. Dates of
cftime's calendars are read as xarray's ``polyfit`` reads them. NumPy-backed
input is fitted at once; Dask-backed input stays lazy, one task per chunk, on whatever
scheduler is active.

Importing this module (which needs xarray) registers the accessor ``.zarn`` on every
``DataArray`` and ``Dataset``: ``da.zarn.fit("time")``, ``ds.zarn.predict(times)``,
``ds.zarn.trend("decade")``.
``import zarn`` alone imports no xarray.
"""

from __future__ import annotations

import datetime
import math
import numbers
from collections.abc import Hashable
from typing import Any

import numpy as np

from zarn import __version__, _backends, _cftime
from zarn._design import Design
from zarn._harmonics import YEAR_NS, harmonic_labels
from zarn._optional import import_optional
from zarn._plans import (
    HARMONIC_FIELDS,
    LinearPlan,
    Plan,
    fields,
    harmonic_fields,
    make_plan,
    n_failed,
    warn_if_deficient,
    warn_if_failed,
)
from zarn._settings import N_JOBS, Settings, check_flag, check_param, validate_params
from zarn._trends import pack, per_length, series_pvalues, slope_row, trends, unpack
from zarn._validation import NS_PER_UNIT, as_float_array, check_sample_weight, datetime_as_float
from zarn.many import MIN_COUNT, derivative_orders, model_settings
from zarn.models import PolynomialRegressor

xr = import_optional("xarray", "zarn.xarray")

# The dimension of the coefficients (and of their standard errors) in the results.
POWER = "power"
# The dimensions of the coefficients' covariance, as xarray's polyfit(cov=True) names them.
COV_DIMS = ("cov_i", "cov_j")
# The dimensions of the harmonics' coefficients (labels sin1, cos1, ...) and of each
# harmonic's amplitude and phase (numbers 1, 2, ...).
HARMONIC, HARMONIC_NUMBER = "harmonic", "harmonic_number"
RESULT_DIMS = (POWER, HARMONIC, HARMONIC_NUMBER, *COV_DIMS)
# The variables laid out along a coefficient dimension first.
LEADING = {
    "coef": POWER,
    "stderr": POWER,
    "harmonic_coef": HARMONIC,
    "harmonic_stderr": HARMONIC,
    **dict.fromkeys(HARMONIC_FIELDS, HARMONIC_NUMBER),
}
# What the positions along the fitted dimension were, for :func:`predict` and
# :func:`trend` to convert new ones alike: the attribute ``coordinate_kind`` of the result.
NUMERIC, DATETIME, TIMEDELTA, CFTIME = "numeric", "datetime64", "timedelta64", "cftime"


def fit(
    obj: Any,
    dim: Hashable,
    model: PolynomialRegressor | None = None,
    *,
    skipna: bool = True,
    min_count: int | None = None,
    sample_weight: Any = None,
    mdl: bool = False,
    n_jobs: int = 1,
    progress: bool = False,
) -> Any:
    """Fit a polynomial along ``dim`` to every series of a DataArray or Dataset.

    Parameters
    ----------
    obj : xarray.DataArray or xarray.Dataset
        The data, NumPy- or Dask-backed. For a Dataset, every data variable with the
        dimension ``dim`` is fitted (the others are left out).
    dim : hashable
        The sample dimension. Its coordinate gives the positions: numbers, ``datetime64``
        (nanoseconds since 1970-01-01, as xarray's ``polyfit`` converts them),
        ``timedelta64`` (nanoseconds) or cftime dates (nanoseconds since 1970-01-01 of
        their calendar, as ``polyfit`` converts them; the harmonics' default period is
        the calendar's mean year, 360 days for ``360_day``); without a coordinate, 0, 1,
        2, ... A position that is NaN or NaT is a missing sample of every series.
    model : PolynomialRegressor or None, default=None
        Unfitted model whose parameters apply to every series (None: its defaults, a
        cubic fitted by penalised least squares). Its ``domain``, or else the range of the
        positions, is shared by every series.
    skipna : bool, default=True
        True: a missing value (NaN) is dropped from its own series only (a series with no
        values left, such as a land pixel of a sea-surface field, gets NaN and ``n_used``
        0). False: a series with any missing value gets NaN.
    min_count : int or None, default=None
        The fewest valid values of a series that is fitted, as in xarray's reductions: a
        series with fewer gets NaN coefficients and statistics (its ``n_used`` still
        counts them). None: one more than the number of coefficients (one residual
        degree of freedom), so that a cubic is never passed through 2 values. At least 1.
    sample_weight : array-like of shape (n,), DataArray along ``dim``, or None
        Weights of the positions along ``dim``, shared by every series (see
        :func:`zarn.fit_many`).
    mdl : bool, default=False
        Whether to compute each series' MDL score (the variable ``mdl``); it costs more
        than the least-squares fits themselves.
    n_jobs : int, default=1
        NumPy-backed input: worker processes (see :func:`zarn.fit_many`).
    progress : bool, default=False
        NumPy-backed input: show a progress bar (needs tqdm).

    Returns
    -------
    xarray.Dataset
        Over the dimensions of ``obj`` but ``dim`` (with their coordinates), holding:

        - ``coef`` (``power``, ...): the coefficients of the powers 0, 1, ... of the
          mapped position ``u = (2 x - high - low) / (high - low)``, where (low, high) is
          the attribute ``domain`` (the positions' range, in nanoseconds for dates);
        - ``stderr`` (``power``, ...): their standard errors (see
          :attr:`zarn.ManyFits.stderr`);
        - ``scale``: the residual standard deviation (for the robust method the scale of
          the final M-step, ``lmrob``'s; see :attr:`zarn.ManyFits.scale`); ``r2``: the
          coefficient of determination; ``n_used``: the samples each fit used;
        - ``mdl``: the MDL score (with ``mdl=True``); robust method: ``s_scale``, the
          scale of the S-estimate, and ``n_inliers``, the samples not flagged as
          outliers;
        - ``cov`` (``cov_i``, ``cov_j``, ...): each series' covariance of all its
          coefficients (the dimensions as ``DataArray.polyfit(cov=True)`` names them,
          labelled by the powers, or with harmonics by ``power0``, ``power1``, ...,
          ``sin1``, ``cos1``, ...), of the model's ``cov_type``; ``df``: the degrees of
          freedom of the t quantiles of its tests and intervals (``inf``: normal);
        - with ``harmonics``: ``harmonic_coef`` and ``harmonic_stderr`` (``harmonic``,
          ...; labels ``sin1``, ``cos1``, ...), and ``amplitude``, ``phase`` (radians),
          ``amplitude_stderr``, ``phase_stderr`` (``harmonic_number``, ...: 1, 2, ...),
          each harmonic written as ``amplitude cos(2 pi j x / period - phase)``.

        For a Dataset, the variables of the fit of ``v`` are named ``v_coef``,
        ``v_stderr``, ... . The attributes hold the fitted dimension, the positions' kind
        and units (and the calendar of cftime dates), the domain, the harmonics' period
        and the model's parameters, all of types that netCDF accepts (``to_netcdf``
        writes the result), and are what :func:`predict` and :func:`trend` read. The
        variables are lazy Dask arrays for Dask-backed input. The covariances take k**2
        doubles per series (k coefficients).

    Raises
    ------
    ValueError
        For a ``dim`` that ``obj`` does not have, a Dataset without a variable along it,
        positions that are all missing (or any missing with ``skipna=False``), a
        ``min_count`` below 1, or an invalid model parameter.
    TypeError
        For positions or data that are not numbers (or dates), and a ``model`` that is
        not a PolynomialRegressor.

    Warns
    -----
    zarn.FitWarning
        Once per call, counting the series (of every variable) that have enough values
        but that the method could not fit; NumPy-backed input only.

    See Also
    --------
    zarn.fit_many : the same fits on NumPy or Dask arrays.
    xarray.DataArray.polyfit : least squares of the plain powers of the coordinate.

    Notes
    -----
    The positions are mapped onto [-1, 1] before the powers are taken (as
    ``numpy.polynomial`` does), which keeps the fits accurate for dates in nanoseconds;
    so the coefficients are not those of ``polyfit`` (of the powers of x itself): compare
    fitted values (:func:`predict`), or slopes with ``derivative=1``. The series are
    fitted as by :func:`zarn.fit_many`, with its speed and its agreement with the
    estimator's single fits.

    With Dask, the data are rechunked into one chunk along ``dim`` (choose chunks along
    the other dimensions) and each chunk is one task, on whatever scheduler is active.
    Penalty weights chosen per series run in the native core, which holds the interpreter
    lock: use process workers (for example ``dask.distributed.LocalCluster(processes=True)``)
    to fit those chunks in parallel.

    Examples
    --------
    >>> import numpy as np
    >>> import xarray as xr
    >>> import zarn
    >>> import zarn.xarray
    >>> time = np.arange("2000-01", "2010-01", dtype="datetime64[M]").astype("datetime64[ns]")
    >>> rng = np.random.default_rng(0)
    >>> trend = np.array([[0.1, 0.2], [0.3, np.nan]])  # per year; one pixel is land
    >>> years = (time - time[0]) / np.timedelta64(365_25, "D") * 100
    >>> da = xr.DataArray(
    ...     trend * years[:, None, None] + rng.normal(0, 0.05, (120, 2, 2)),
    ...     dims=("time", "lat", "lon"), coords={"time": time, "lat": [10.0, 20.0]},
    ... )
    >>> fits = zarn.xarray.fit(da, "time", zarn.PolynomialRegressor(degree=1, method="ols"))
    >>> fits.coef.dims, fits.n_used.values.tolist()
    (('power', 'lat', 'lon'), [[120, 120], [120, 0]])
    >>> slope = zarn.xarray.predict(fits, da.time[:1], derivative=1, datetime_unit="D")
    >>> (slope * 365.25).round(2).values.tolist()  # per year
    [[[0.1, 0.2], [0.3, nan]]]
    >>> fits.r2.round(2).values.tolist()
    [[0.97, 0.99], [1.0, nan]]
    """
    settings = model_settings(model)
    if isinstance(obj, xr.Dataset):
        names = [name for name, var in obj.data_vars.items() if dim in var.dims]
        if dim not in obj.dims:
            raise ValueError(_no_dim(dim, obj))
        if not names:
            raise ValueError(f"no data variable of the Dataset has the dimension {dim!r}")
        arrays = {name: obj[name] for name in names}
    elif isinstance(obj, xr.DataArray):
        if dim not in obj.dims:
            raise ValueError(_no_dim(dim, obj))
        arrays = {None: obj}
    else:
        raise TypeError(f"obj must be an xarray DataArray or Dataset, got {type(obj).__name__}")
    taken = [d for d in RESULT_DIMS if d in obj.dims]
    if taken:
        raise ValueError(
            f"obj has a dimension named {taken[0]!r}, the name of a dimension of the "
            "result; rename it first"
        )
    skipna, mdl = check_flag("skipna", skipna), check_flag("mdl", mdl)

    if isinstance(sample_weight, xr.DataArray):
        obj, sample_weight = _aligned_weights(xr, obj, sample_weight, dim)
        arrays = {name: obj[name] for name in arrays} if None not in arrays else {None: obj}
    x, keep, kind, units, calendar = _positions(obj, dim)
    if not keep.any():
        raise ValueError(
            f"the coordinate {dim!r} holds no known position: all {len(keep)} values are NaN or NaT"
        )
    weights = None
    if sample_weight is not None:
        weights = check_sample_weight(sample_weight, len(x))
    if not keep.all():
        if not skipna:
            raise ValueError(
                f"the coordinate {dim!r} is missing (NaN or NaT) at {int((~keep).sum())} "
                "position(s): with skipna=False every series would be missing those samples"
            )
        arrays = {name: da.isel({dim: np.flatnonzero(keep)}) for name, da in arrays.items()}
        x = x[keep]
        weights = None if weights is None else weights[keep]
    if weights is not None and mdl:
        raise ValueError("mdl=True cannot be combined with sample_weight (see zarn.fit_many)")
    min_count = check_param("min_count", min_count, MIN_COUNT, "zarn.xarray.fit")
    if kind == CFTIME and settings.harmonics and settings.period is None:
        # The harmonics of cftime dates repeat with the calendar's own year.
        settings = settings.replace(period=_cftime.year_ns(calendar))
    plan = make_plan(x.reshape(-1, 1), settings, skipna, mdl, weights, kind != NUMERIC, min_count)
    warn_if_deficient(
        plan, sum(math.prod(n for d, n in da.sizes.items() if d != dim) for da in arrays.values())
    )
    n_jobs = check_param("n_jobs", n_jobs, N_JOBS, "zarn.xarray.fit")

    attrs = _attributes(plan, settings, dim, kind, units, skipna)
    if calendar:
        attrs["calendar"] = calendar
    out = xr.Dataset(attrs=attrs)
    failed = fitted = 0  # series of NumPy-backed variables, for the warning
    for name, da in arrays.items():
        label = "the data" if name is None else f"the data variable {name!r}"
        packed = _fit_array(da, dim, plan, n_jobs, bool(progress), label)
        if isinstance(packed, np.ndarray):
            failed, fitted = failed + n_failed(packed, plan), fitted + packed[..., 0].size
        prefix = "" if name is None else f"{name}_"
        others = [d for d in da.dims if d != dim]
        coords = {c: v for c, v in da.coords.items() if dim not in v.dims}
        values = fields(packed, plan)
        if plan.design.harmonics:
            values.update(harmonic_fields(packed, plan))
        for var, value in values.items():
            # The coefficients first, as polyfit lays them out.
            dims = tuple(others)
            if var in LEADING:
                dims, value = (LEADING[var], *others), np.moveaxis(value, -1, 0)
            elif var == "cov":
                value = np.moveaxis(unpack(value, plan.k), (-2, -1), (0, 1))
                dims = (*COV_DIMS, *others)
            out[prefix + var] = xr.Variable(dims, value, _variable_attributes(var, da))
        out = out.assign_coords({c: v for c, v in coords.items() if c not in out.coords})
    warn_if_failed(failed, fitted)
    return out.assign_coords(_coefficient_coords(plan.design))


def _coefficient_coords(design: Design) -> dict[str, Any]:
    """The coordinates of the result's coefficient dimensions: the powers, and with
    harmonics their labels and numbers; the covariance's are those of all columns (the
    powers as numbers, as polyfit's, or with harmonics as labels "power0", ...)."""
    powers = design.indices[:, 0].copy()
    coords: dict[str, Any] = {POWER: (POWER, powers)}
    labels: Any = powers
    if design.harmonics:
        names = harmonic_labels(design.harmonics)
        coords[HARMONIC] = (HARMONIC, names)
        coords[HARMONIC_NUMBER] = (HARMONIC_NUMBER, np.arange(1, design.harmonics + 1))
        labels = [f"power{p}" for p in powers] + names
    coords.update({d: (d, labels) for d in COV_DIMS})
    return coords


def _aligned_weights(xr: Any, obj: Any, weights: Any, dim: Hashable) -> tuple[Any, np.ndarray]:
    """``obj`` and the values of the DataArray ``weights`` aligned by their labels along
    ``dim``, as xarray aligns operands (its ``arithmetic_join``, "inner" by default:
    positions without a weight are left out)."""
    if weights.dims != (dim,):
        raise ValueError(
            f"sample_weight must lie along {dim!r} only, got dimensions {weights.dims}"
        )
    join = xr.get_options()["arithmetic_join"]
    try:
        obj, weights = xr.align(obj, weights, join=join)
    except ValueError as error:
        raise ValueError(
            f"the sample weights cannot be aligned with the data along {dim!r}: {error}"
        ) from None
    if obj.sizes[dim] == 0:
        raise ValueError(
            f"the sample weights and the data share no label of the coordinate {dim!r}"
        )
    return obj, weights.values


def _no_dim(dim: Hashable, obj: Any) -> str:
    return f"dimension {dim!r} not found; the dimensions are {tuple(obj.dims)}"


def _positions(obj: Any, dim: Hashable) -> tuple[np.ndarray, np.ndarray, str, str, str]:
    """The positions along ``dim`` as float64, which of them are known, their kind (numeric,
    datetime64, timedelta64 or cftime), their units and the calendar of cftime dates."""
    n = obj.sizes[dim]
    if dim not in obj.coords:
        return np.arange(n, dtype=np.float64), np.ones(n, dtype=bool), NUMERIC, "", ""
    coord = obj.coords[dim]
    values = np.asarray(coord.values)
    kind = values.dtype.kind
    if _cftime.is_cftime(values):
        x = _cftime.cftime_to_ns(values)
        calendar = _cftime.calendar_of(values)
        return x, np.ones(n, dtype=bool), CFTIME, "nanoseconds since 1970-01-01", calendar
    if kind in "Mm":
        keep = ~np.isnat(values)
        x = np.full(n, np.nan)
        x[keep] = datetime_as_float(values[keep], str(dim))
        if kind == "M":
            return x, keep, DATETIME, "nanoseconds since 1970-01-01", ""
        return x, keep, TIMEDELTA, "nanoseconds", ""
    if kind not in "biuf":
        raise TypeError(
            f"the coordinate {dim!r} holds {values.dtype} values, which are not numbers, "
            "datetime64, timedelta64 or cftime dates"
        )
    x = values.astype(np.float64)
    units = coord.attrs.get("units", "")
    return x, np.isfinite(x), NUMERIC, units if isinstance(units, str) else "", ""


def _fit_array(da: Any, dim: Hashable, plan: Plan, n_jobs: int, progress: bool, label: str) -> Any:
    """The packed fits (..., width) of the series of ``da`` (named ``label`` in errors)
    along ``dim``, lazy for Dask."""
    data = da.data
    axis = da.get_axis_num(dim)
    if not isinstance(data, np.ndarray) and hasattr(data, "map_blocks"):  # Dask
        if data.dtype.kind not in "biuf":
            raise TypeError(f"{label} holds {data.dtype} values, which are not real numbers")
        dask_array = import_optional("dask.array", "fitting a Dask-backed DataArray")
        return _backends.dask_blocks(dask_array.moveaxis(data, axis, -1), plan)
    values = np.moveaxis(as_float_array(data, label), axis, -1)
    Yt = values.reshape(-1, values.shape[-1])  # a view where the layout allows
    packed = _backends.run_blocks(Yt, plan, n_jobs, None, progress)
    return packed.reshape(values.shape[:-1] + (packed.shape[-1],))


def _attributes(
    plan: Plan, settings: Settings, dim: Hashable, kind: str, units: str, skipna: bool
) -> dict[str, Any]:
    """The result's attributes: what :func:`predict` needs, and the model's parameters, as
    strings and numbers (netCDF attributes hold no None, bool or large ints)."""
    low, high = plan.design.domain[0].tolist()
    attrs: dict[str, Any] = {
        "title": "polynomial fits by zarn",
        "zarn_version": __version__,
        "dim": str(dim),
        "coordinate_kind": kind,
        "coordinate_units": units,
        "domain": [low, high],
        "mapped_position": "u = (2 x - high - low) / (high - low), with (low, high) = domain",
        "skipna": int(skipna),
    }
    names = ["method", "degree", "basis", "gamma1", "gamma2", "ridge", "n_grid", "H"]
    names += ["harmonics", "cov_kwds", *plan.method.extra_settings]
    # The period used (in the positions' units) and the covariance type by name.
    period = plan.design.period
    attrs.update(period="None" if period is None else period, cov_type=plan.cov_type)
    for name in names:
        value = getattr(settings, name)
        if value is None:
            value = "None"
        elif isinstance(value, (tuple, list)):
            value = [int(v) for v in value]
        elif isinstance(value, numbers.Integral):
            value = int(value)
        elif isinstance(value, numbers.Real):
            value = float(value)
        attrs[name] = value if isinstance(value, (str, int, float, list)) else str(value)
    if not isinstance(plan, LinearPlan):  # the seed every series used
        attrs["seed"] = str(plan.seed)
    return attrs


_DESCRIPTIONS = {
    "coef": "coefficients of the powers of the mapped position u (see the attribute domain)",
    "stderr": "standard errors of the coefficients",
    "cov": "covariance of the coefficients",
    "df": "degrees of freedom of the t quantile of intervals (inf: normal quantile)",
    "scale": "residual standard deviation (robust: scale of the final M-step)",
    "r2": "coefficient of determination",
    "n_used": "samples used by the fit",
    "mdl": "MDL score of the fit",
    "s_scale": "scale of the robust fit's S-estimate",
    "n_inliers": "samples not flagged as outliers by the robust fit",
    "harmonic_coef": "coefficients of the harmonics (sine and cosine of each)",
    "harmonic_stderr": "standard errors of the harmonics' coefficients",
    "amplitude": "amplitude of each harmonic",
    "phase": "phase of each harmonic (the harmonic is amplitude cos(2 pi j x / period - phase))",
    "amplitude_stderr": "standard error of the amplitude",
    "phase_stderr": "standard error of the phase",
    "trend": "slope of the fit",
    "trend_stderr": "standard error of the slope",
    "trend_pvalue": "two-sided p-value of the slope against 0",
}


# The variables in the units of the data.
IN_Y_UNITS = (
    *("coef", "stderr", "scale", "s_scale"),
    *("harmonic_coef", "harmonic_stderr", "amplitude", "amplitude_stderr"),
)


def _variable_attributes(var: str, da: Any) -> dict[str, Any]:
    attrs = {"long_name": _DESCRIPTIONS[var]}
    units = da.attrs.get("units")
    if var in IN_Y_UNITS and isinstance(units, str):
        attrs["units"] = units
    elif var == "cov" and isinstance(units, str):
        attrs["units"] = f"({units})^2"
    elif var in ("phase", "phase_stderr"):
        attrs["units"] = "radian"
    return attrs


def predict(
    ds: Any,
    coord: Any,
    *,
    derivative: int = 0,
    datetime_unit: str | None = None,
) -> Any:
    """Evaluate the fits of :func:`fit` (or their derivatives) at new positions.

    Parameters
    ----------
    ds : xarray.Dataset
        A result of :func:`fit` (or the same read back from a file).
    coord : xarray.DataArray or array-like
        The positions, of the kind fitted (numbers, ``datetime64`` or ``timedelta64``);
        NaT gives NaN. A DataArray keeps its dimensions and coordinates; an array-like is
        laid along the fitted dimension, with the positions as its coordinate.
    derivative : int, default=0
        The order of the derivative with respect to the positions: 1 gives the slope of
        the trend (per nanosecond for dates, unless ``datetime_unit`` says otherwise).
    datetime_unit : {"W", "D", "h", "m", "s", "ms", "us", "ns"} or None, default=None
        For dates and durations: the unit of time of the derivatives (e.g. ``"D"`` for the
        change per day), as in ``DataArray.differentiate``. None: nanoseconds.

    Returns
    -------
    xarray.DataArray or xarray.Dataset
        Over the dimensions of ``coord`` and then those of the fits (as
        ``xarray.polyval`` lays them out); lazy where the fits are. A Dataset, one
        variable per fitted variable, when ``ds`` holds the fits of a Dataset. A series
        without samples gives NaN.

    Raises
    ------
    ValueError
        For a ``ds`` without fits, positions of another kind than those fitted, a
        negative ``derivative``, an unknown ``datetime_unit`` or predictions beyond the
        range of doubles.

    Examples
    --------
    >>> import numpy as np
    >>> import xarray as xr
    >>> import zarn.xarray
    >>> da = xr.DataArray([[0.0, 1.0, 4.0, 9.0], [1.0, 1.0, 1.0, 1.0]], dims=("pixel", "t"),
    ...                   coords={"t": [0.0, 1.0, 2.0, 3.0]})
    >>> fits = da.zarn.fit("t", zarn.PolynomialRegressor(degree=2))
    >>> zarn.xarray.predict(fits, [4.0, 5.0]).round(6)
    <xarray.DataArray (t: 2, pixel: 2)> Size: 32B
    array([[16.,  1.],
           [25.,  1.]])
    Coordinates:
      * t        (t) float64 16B 4.0 5.0
    Dimensions without coordinates: pixel
    >>> fits.zarn.predict([4.0], derivative=1).round(6).values  # slopes
    array([[8., 0.]])
    """
    names = _fitted_names(ds)
    attrs = ds.attrs
    design = _design(ds)
    kind = attrs.get("coordinate_kind", NUMERIC)
    dim = attrs.get("dim", "x")
    if not isinstance(coord, xr.DataArray):
        values = np.asarray(coord)
        if values.ndim == 0:
            values = values.reshape(1)
        coord = xr.DataArray(values, dims=(dim,), coords={dim: values})
    X, known = _new_positions(coord.values, kind, "coord")
    orders = derivative_orders(derivative, 1)
    factor = _time_factor(datetime_unit, kind) ** orders[0]
    shape = coord.shape

    def evaluate(*parts: np.ndarray) -> np.ndarray:
        coef = np.concatenate(parts, axis=-1)  # the polynomial's, then the harmonics'
        flat = coef.reshape(-1, coef.shape[-1])
        out = np.full((len(flat), known.size), np.nan)
        if known.any():
            out[:, known] = design.predict(X, flat, "coord", orders)
        if factor != 1.0:
            out *= factor
        return out.reshape(coef.shape[:-1] + shape)

    results = {}
    for prefix in names:
        coef = ds[f"{prefix}coef"]
        other = [d for d in coef.dims if d != POWER]
        parts, core = [coef], [[POWER]]
        if design.harmonics:
            parts.append(ds[f"{prefix}harmonic_coef"])
            core.append([HARMONIC])
        result = xr.apply_ufunc(
            evaluate,
            *parts,
            input_core_dims=core,
            output_core_dims=[list(coord.dims)],
            dask="parallelized",
            output_dtypes=[np.float64],
            dask_gufunc_kwargs={"output_sizes": dict(zip(coord.dims, shape))},
            keep_attrs=False,
        )
        result = result.transpose(*coord.dims, *other).assign_coords(coord.coords)
        results[prefix[:-1] if prefix else None] = result.rename(None)
    if list(results) == [None]:
        return results[None]
    return xr.Dataset({name: da for name, da in results.items()})


def trend(fits: Any, per: Any = "year", at: Any = None) -> Any:
    """The trends of the fits of :func:`fit`: each series' slope at ``at`` per ``per``,
    with its standard error.

    Parameters
    ----------
    fits : xarray.Dataset
        A result of :func:`fit` (or the same read back from a file).
    per : {"year", "decade"}, numpy.timedelta64, float or None, default="year"
        The length of the fitted coordinate the trend is given per. For dates and
        durations: ``"year"`` or ``"decade"`` (one or ten years of the calendar: 365.2425
        days, the mean Gregorian year, for ``datetime64`` and cftime's standard and
        proleptic Gregorian calendars; 365 days for ``noleap``, 360 for ``360_day``, 366
        for ``all_leap`` and 365.25 for ``julian``), or a ``timedelta64``. For numbers:
        a positive length in the coordinate's units, or None for one unit.
    at : scalar or None, default=None
        The position of the slopes, of the fitted coordinate's kind (a number, a
        ``datetime64``, a cftime date); None: the middle of the fitted domain (the
        attribute ``domain``).

    Returns
    -------
    xarray.Dataset
        Over the dimensions of the fits: ``trend`` and ``trend_stderr`` (``v_trend`` and
        ``v_trend_stderr`` for the fit of the Dataset variable v), ``g' coef`` and
        ``sqrt(g' C g)`` with g the derivatives of the basis functions at ``at`` times
        the length of ``per``, and C the covariance (``cov``); their ``units`` are y's
        per ``per`` (e.g. ``"K/decade"``) where y has units. ``trend_pvalue``: the
        two-sided p-value of the test that the slope is 0, with each series' ``df``
        degrees of freedom of Student's t (``inf``: normal), as statsmodels' ``pvalues``
        of a slope. The attribute ``per`` (its length in words) and the scalar coordinate
        ``at`` (the position, of the fitted coordinate's type: a number, a
        ``datetime64[ns]``, a ``timedelta64[ns]`` or a cftime date) say what they are.
        Lazy where the fits are.

    Raises
    ------
    ValueError
        For ``fits`` without fits or without covariances, a named ``per`` or a
        timedelta64 on numeric positions, ``per=None`` on dates, a ``per`` that is not
        positive, or an ``at`` of another kind than the fitted positions.

    See Also
    --------
    zarn.ManyFits.trend : the same for :func:`zarn.fit_many`.

    Examples
    --------
    >>> import numpy as np
    >>> import xarray as xr
    >>> import zarn.xarray
    >>> time = np.arange("1990-01", "2020-01", dtype="datetime64[M]").astype("datetime64[ns]")
    >>> years = (time - time[0]) / np.timedelta64(1, "D") / 365.2425
    >>> noise = np.resize([0.1, -0.1, 0.05, -0.05, 0.0], (360, 2))
    >>> da = xr.DataArray(0.01 * years[:, None] * [1.0, 3.0] + noise, dims=("time", "pixel"),
    ...                   coords={"time": time}, attrs={"units": "K"})
    >>> fits = da.zarn.fit("time", zarn.PolynomialRegressor(degree=1, method="ols"))
    >>> trends = zarn.xarray.trend(fits, per="decade")
    >>> trends.trend.round(2).values.tolist(), trends.trend.attrs["units"]
    ([0.1, 0.3], 'K/decade')
    >>> bool((trends.trend_stderr < 0.01).all())
    True
    """
    names = _fitted_names(fits)
    attrs = fits.attrs
    kind = attrs.get("coordinate_kind", NUMERIC)
    year = _cftime.year_ns(attrs["calendar"]) if kind == CFTIME else YEAR_NS
    length = per_length(per, kind != NUMERIC, year)
    design = _design(fits)
    if at is None:
        position = float(np.mean(design.domain[0]))
    else:
        X, known = _new_positions(at, kind, "at")
        if X.size != 1 or not known.all():
            raise ValueError(f"at must be one known position; got {at!r}")
        position = float(X[0, 0])
    g = slope_row(design, position, length)

    def evaluate(
        coef: np.ndarray, cov: np.ndarray, df: np.ndarray
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        flat = coef.reshape(-1, coef.shape[-1])
        tri = pack(cov.reshape(-1, *cov.shape[-2:]))
        value, stderr = trends(flat, tri, g)
        pvalue = series_pvalues(value, stderr, df.reshape(-1))
        return tuple(v.reshape(coef.shape[:-1]) for v in (value, stderr, pvalue))

    # The position as a scalar coordinate of the fitted coordinate's own type, which
    # netCDF stores (dates and cftime dates are encoded as coordinates are).
    at_value = _position_value(position, kind, attrs.get("calendar"))
    out = xr.Dataset(coords={"at": at_value}, attrs={"per": _per_label(per, attrs)})
    for prefix in names:
        for var in ("cov", "df"):
            if f"{prefix}{var}" not in fits:
                raise ValueError(
                    f"fits has no variable {prefix}{var}: fit again with this version of "
                    "zarn, which keeps the covariances and degrees of freedom"
                )
        results = xr.apply_ufunc(
            evaluate,
            fits[f"{prefix}coef"],
            fits[f"{prefix}cov"],
            fits[f"{prefix}df"],
            input_core_dims=[[POWER], list(COV_DIMS), []],
            output_core_dims=[[], [], []],
            dask="parallelized",
            output_dtypes=[np.float64] * 3,
            keep_attrs=False,
        )
        units = fits[f"{prefix}coef"].attrs.get("units")
        for var, result in zip(("trend", "trend_stderr", "trend_pvalue"), results):
            result.attrs["long_name"] = _DESCRIPTIONS[var]
            if isinstance(units, str) and var != "trend_pvalue":
                result.attrs["units"] = f"{units}/{out.attrs['per']}"
            out[prefix + var] = result
    return out


def _position_value(position: float, kind: str, calendar: str | None) -> Any:
    """A position in the fits' numbers (nanoseconds for dates and durations) as a value of
    the fitted coordinate's kind: a float, a ``datetime64[ns]``, a ``timedelta64[ns]`` or
    a cftime date of ``calendar``."""
    if kind == NUMERIC:
        return position
    ns = int(round(position))
    if kind == DATETIME:
        return np.datetime64(ns, "ns")
    if kind == TIMEDELTA:
        return np.timedelta64(ns, "ns")
    cftime = import_optional("cftime", "cftime coordinates")
    epoch = cftime.datetime(1970, 1, 1, calendar=calendar)
    return epoch + datetime.timedelta(microseconds=ns / 1000)


def _per_label(per: Any, attrs: Any) -> str:
    """The length of ``per`` in words, for the trends' units."""
    if isinstance(per, str):
        return per
    if isinstance(per, np.timedelta64):
        return str(per)
    units = attrs.get("coordinate_units", "")
    if per is None:
        return units or "unit"
    return f"{per:g} {units}".strip()


def _fitted_names(ds: Any) -> list[str]:
    """The prefixes of the fits that ``ds`` holds: ``""`` for the fit of a DataArray,
    ``"v_"`` for that of the Dataset variable v."""
    if not isinstance(ds, xr.Dataset):
        raise TypeError(
            f"ds must be a Dataset returned by zarn.xarray.fit, got {type(ds).__name__}"
        )
    names = [
        str(v)[: -len("coef")] for v in ds.data_vars if v == "coef" or str(v).endswith("_coef")
    ]
    names = [v for v in names if POWER in ds[f"{v}coef"].dims]
    if not names or "domain" not in ds.attrs:
        raise ValueError("ds holds no fits: pass a Dataset returned by zarn.xarray.fit")
    return names


def _design(ds: Any) -> Design:
    """The design of the fits, rebuilt from the result's attributes."""
    attrs = ds.attrs
    domain = np.asarray(attrs["domain"], dtype=np.float64).reshape(1, 2)
    harmonics = int(attrs.get("harmonics", 0))
    model = PolynomialRegressor(
        degree=int(np.asarray(ds[POWER]).max()),
        basis=str(attrs.get("basis", "total")),
        domain=domain,
        harmonics=harmonics,
        period=float(attrs["period"]) if harmonics else None,
    )
    return Design.from_data(domain.reshape(2, 1), validate_params(model))


def _new_positions(values: Any, kind: str, name: str) -> tuple[np.ndarray, np.ndarray]:
    """The known positions of ``values`` (named ``name``) as an (n, 1) float64 array, and
    which are known; of the kind of the fits' positions."""
    values = np.asarray(values).reshape(-1)
    got = CFTIME if _cftime.is_cftime(values) else values.dtype.kind
    want = {DATETIME: "M", TIMEDELTA: "m", CFTIME: CFTIME}.get(kind)
    if want is None and got in ("M", "m", CFTIME) or want is not None and got != want:
        expected = {DATETIME: "datetime64", TIMEDELTA: "timedelta64"}.get(kind, kind)
        expected = "numbers" if kind == NUMERIC else expected
        held = "cftime dates" if got == CFTIME else values.dtype
        raise ValueError(f"the fits are of positions in {expected}; {name} holds {held}")
    if got == CFTIME:
        known = np.ones(len(values), dtype=bool)
        X = _cftime.cftime_to_ns(values)
    elif got in "Mm":
        known = ~np.isnat(values)
        X = datetime_as_float(values[known], name)
    else:
        X = as_float_array(values, name)
        known = np.isfinite(X)
        X = X[known]
    return X.reshape(-1, 1), known


def _time_factor(datetime_unit: str | None, kind: str) -> float:
    """Nanoseconds per ``datetime_unit`` (1.0 for None)."""
    if datetime_unit is None:
        return 1.0
    if kind == NUMERIC:
        raise ValueError("datetime_unit applies to fits of dates or durations only")
    if datetime_unit not in NS_PER_UNIT:
        raise ValueError(
            f"datetime_unit must be one of {sorted(NS_PER_UNIT)} (units of fixed length), "
            f"got {datetime_unit!r}"
        )
    return NS_PER_UNIT[datetime_unit]


@xr.register_dataarray_accessor("zarn")
class ZarnDataArrayAccessor:
    """The accessor ``DataArray.zarn``: :func:`fit` as a method.

    Examples
    --------
    >>> import xarray as xr
    >>> import zarn.xarray
    >>> da = xr.DataArray([[1.0, 2.0, 3.0], [3.0, 2.0, 1.0]], dims=("pixel", "t"))
    >>> da.zarn.fit("t", zarn.PolynomialRegressor(degree=1)).coef.round(6).values
    array([[ 2.,  2.],
           [ 1., -1.]])
    """

    def __init__(self, obj: Any) -> None:
        self._obj = obj

    def fit(self, dim: Hashable, model: PolynomialRegressor | None = None, **kwargs: Any) -> Any:
        """:func:`zarn.xarray.fit` of this DataArray along ``dim``.

        Examples
        --------
        >>> import xarray as xr
        >>> import zarn.xarray
        >>> da = xr.DataArray([0.0, 1.0, 4.0, 9.0], dims="t", coords={"t": [0.0, 1, 2, 3]})
        >>> da.zarn.fit("t", zarn.PolynomialRegressor(degree=2, method="ols")).n_used.item()
        4
        """
        return fit(self._obj, dim, model, **kwargs)


@xr.register_dataset_accessor("zarn")
class ZarnDatasetAccessor:
    """The accessor ``Dataset.zarn``: :func:`fit` of the variables, and :func:`predict`
    and :func:`trend` of a result of :func:`fit`.

    Examples
    --------
    >>> import xarray as xr
    >>> import zarn.xarray
    >>> ds = xr.Dataset({"a": ("t", [1.0, 2.0, 4.0, 7.0]), "b": ("t", [0.0, 0.0, 0.0, 0.0])})
    >>> fits = ds.zarn.fit("t", zarn.PolynomialRegressor(degree=2))
    >>> list(fits.data_vars)[:5]
    ['a_coef', 'a_stderr', 'a_scale', 'a_r2', 'a_n_used']
    >>> fits.zarn.predict([4.0]).a.round(6).values
    array([11.])
    >>> fits.zarn.trend(per=None).a_trend.round(6).values  # the slope at t = 1.5
    array(2.)
    """

    def __init__(self, obj: Any) -> None:
        self._obj = obj

    def fit(self, dim: Hashable, model: PolynomialRegressor | None = None, **kwargs: Any) -> Any:
        """:func:`zarn.xarray.fit` of this Dataset's variables along ``dim``.

        Examples
        --------
        >>> import xarray as xr
        >>> import zarn.xarray
        >>> ds = xr.Dataset({"a": ("t", [1.0, 2.0, 4.0]), "b": ("t", [3.0, 2.0, 1.0])})
        >>> sorted(ds.zarn.fit("t", zarn.PolynomialRegressor(degree=1)).data_vars)[:3]
        ['a_coef', 'a_cov', 'a_df']
        """
        return fit(self._obj, dim, model, **kwargs)

    def predict(self, coord: Any, **kwargs: Any) -> Any:
        """:func:`zarn.xarray.predict` of this result of :func:`zarn.xarray.fit`.

        Examples
        --------
        >>> import xarray as xr
        >>> import zarn.xarray
        >>> da = xr.DataArray([1.0, 3.0, 5.0], dims="t", coords={"t": [0.0, 1.0, 2.0]})
        >>> fits = da.zarn.fit("t", zarn.PolynomialRegressor(degree=1, method="ols"))
        >>> fits.zarn.predict([3.0]).round(6).values
        array([7.])
        """
        return predict(self._obj, coord, **kwargs)

    def trend(self, per: Any = "year", at: Any = None) -> Any:
        """:func:`zarn.xarray.trend` of this result of :func:`zarn.xarray.fit`.

        Examples
        --------
        >>> import xarray as xr
        >>> import zarn.xarray
        >>> da = xr.DataArray([1.0, 3.1, 4.9, 7.0], dims="t", coords={"t": [0.0, 1, 2, 3]})
        >>> fits = da.zarn.fit("t", zarn.PolynomialRegressor(degree=1, method="ols"))
        >>> trends = fits.zarn.trend(per=10.0)        # per 10 units of t
        >>> round(float(trends.trend), 2), bool(trends.trend_pvalue < 0.01)
        (19.8, True)
        """
        return trend(self._obj, per, at)


__all__ = ["ZarnDataArrayAccessor", "ZarnDatasetAccessor", "fit", "predict", "trend"]
