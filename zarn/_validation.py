"""Input checks shared by the estimator, model comparison and many-series fits.

Every check converts what it accepts to float64 NumPy arrays and raises ValueError or
TypeError with a message that names the offending input, in the wording scikit-learn's
own checks use where one exists, so users of both read the same messages.
"""

from __future__ import annotations

import contextlib
import numbers
import warnings
from typing import Any

import numpy as np

from zarn._optional import sklearn_or_none


def _is_sparse(a: Any) -> bool:
    return type(a).__module__.startswith("scipy.sparse")


def as_float_array(a: Any, name: str) -> np.ndarray:
    """Convert ``a`` to a float64 array without checking its values.

    Lists, NumPy arrays of any real dtype, pandas objects (nullable dtypes included:
    missing values become NaN) and anything with ``__array__`` are accepted.

    Raises
    ------
    TypeError
        For sparse matrices, ``None`` and values that are not numbers.
    ValueError
        For complex data and strings that do not read as numbers.
    """
    if type(a) is np.ndarray and a.dtype == np.float64:
        return a  # the common case, with nothing to convert
    if a is None:
        raise TypeError(f"{name} is None; expected an array of numbers")
    if _is_sparse(a):
        raise TypeError(
            f"{name} is a sparse matrix, which is not supported: convert it with {name}.toarray()"
        )
    arr = np.asarray(a)
    if arr.dtype == object and hasattr(a, "to_numpy"):
        # pandas' nullable dtypes: missing values become NaN and are reported as NaN.
        with contextlib.suppress(TypeError, ValueError):
            arr = a.to_numpy(dtype=np.float64, na_value=np.nan)
    if arr.dtype.kind == "c":
        raise ValueError(f"Complex data not supported: {name} has dtype {arr.dtype}")
    if arr.dtype.kind not in "biuf":
        try:
            arr = arr.astype(np.float64)
        except TypeError as err:
            raise TypeError(f"{name} holds a value that is not a number: {err}") from None
        except ValueError as err:
            raise ValueError(f"{name} holds a value that is not a number: {err}") from None
    return arr.astype(np.float64, copy=False)


def feature_names(X: Any) -> np.ndarray | None:
    """The string column names of a DataFrame, or None for input without them."""
    columns = getattr(X, "columns", None)
    if columns is None:
        return None
    names = list(columns)
    are_str = [isinstance(c, str) for c in names]
    if names and all(are_str):
        return np.asarray(names, dtype=object)
    if any(are_str):
        raise TypeError(
            "Feature names are only supported if all input features have string names, "
            f"but your input has {sorted({type(c).__name__ for c in names})} as feature "
            "name / column name types. Convert the column names to strings."
        )
    return None


def check_X(X: Any, name: str = "X") -> np.ndarray:
    """A 2-D float64 array of at least one sample and one feature (values unchecked)."""
    arr = as_float_array(X, name)
    if arr.ndim != 2:
        hint = ""
        if arr.ndim == 1:
            hint = (
                f". Reshape your data with {name}.reshape(-1, 1) if it has a single feature, "
                f"or {name}.reshape(1, -1) if it is a single sample"
            )
        raise ValueError(f"{name} must be 2-D (n_samples, n_features), got shape {arr.shape}{hint}")
    n, d = arr.shape
    if n == 0:
        raise ValueError(
            f"Found array with 0 sample(s) (shape={arr.shape}) while a minimum of 1 is "
            f"required: {name} is empty"
        )
    if d == 0:
        raise ValueError(
            f"Found array with 0 feature(s) (shape={arr.shape}) while a minimum of 1 is "
            f"required: {name} has no features"
        )
    return arr


def check_y(y: Any, n_samples: int, name: str = "y", *, finite: bool = True) -> np.ndarray:
    """A finite 1-D float64 target of ``n_samples`` values.

    A single column (shape (n, 1)) is flattened with a ``DataConversionWarning`` (scikit-
    learn's, when it is installed), as scikit-learn regressors do.
    """
    if y is None:
        raise ValueError("This estimator requires y to be passed, but the target y is None")
    arr = as_float_array(y, name)
    if arr.ndim == 2 and arr.shape[1] == 1:
        exceptions = sklearn_or_none("sklearn.exceptions")
        category = exceptions.DataConversionWarning if exceptions else UserWarning
        warnings.warn(
            "A column-vector y was passed when a 1d array was expected. Please change the "
            "shape of y to (n_samples,), for example using ravel().",
            category,
            stacklevel=3,
        )
        arr = arr[:, 0]
    if arr.ndim != 1:
        raise ValueError(f"{name} must have one column (one target), got shape {arr.shape}")
    if arr.shape[0] != n_samples:
        raise ValueError(
            f"X and {name} have inconsistent numbers of samples: {n_samples} and {arr.shape[0]}"
        )
    if finite:
        check_finite(arr, name)
    return arr


def check_finite(arr: np.ndarray, name: str) -> None:
    """Raise ValueError naming ``name`` if ``arr`` holds NaN or infinity."""
    # A sum is finite exactly when no element is NaN or infinite, unless finite values
    # overflow it; only then is the element-wise test needed.
    with np.errstate(over="ignore", invalid="ignore"):
        total = np.add.reduce(arr, axis=None)
    if np.isfinite(total) or np.isfinite(arr).all():
        return
    bad = "NaN" if np.isnan(arr).any() else "infinity"
    raise ValueError(f"Input {name} contains {bad}; remove or impute the non-finite values")


def check_sample_weight(sample_weight: Any, n_samples: int) -> np.ndarray | None:
    """The sample weights as a float64 array of ``n_samples`` values, checked.

    None stays None (every weight 1); a single number gives every sample that weight.

    Raises
    ------
    ValueError
        For a shape other than ``(n_samples,)``, NaN or infinity, a negative weight, or
        weights that are all zero.
    TypeError
        For values that are not numbers.

    Examples
    --------
    >>> check_sample_weight([1, 0, 2], 3)
    array([1., 0., 2.])
    >>> check_sample_weight([1.0, -1.0], 2)
    Traceback (most recent call last):
    ...
    ValueError: Negative values in data passed to sample_weight (the first at sample 1)
    """
    if sample_weight is None:
        return None
    if isinstance(sample_weight, numbers.Real) and not isinstance(sample_weight, bool):
        w = np.full(n_samples, float(sample_weight))
    else:
        w = as_float_array(sample_weight, "sample_weight")
    if w.ndim != 1 or len(w) != n_samples:
        raise ValueError(
            f"sample_weight.shape == {w.shape}, expected ({n_samples},): one weight per sample of X"
        )
    check_finite(w, "sample_weight")
    negative = np.flatnonzero(w < 0.0)
    if len(negative):
        raise ValueError(
            "Negative values in data passed to sample_weight "
            f"(the first at sample {int(negative[0])})"
        )
    if not (w > 0.0).any():
        raise ValueError("sample_weight is zero for every sample: nothing is left to fit")
    return w


def check_degrees(
    degree: int | tuple[int, ...], n_features: int, name: str = "degree"
) -> tuple[int, ...]:
    """One degree per feature from a checked degree: an int for all, or one per feature."""
    if isinstance(degree, int):
        return (degree,) * n_features
    if len(degree) != n_features:
        raise ValueError(
            f"{name} has {len(degree)} entries but X has {n_features} features; "
            "give one degree per feature, or a single int for all"
        )
    return degree


def check_positions(x: Any, name: str, n_features: int | None = None) -> np.ndarray:
    """Positions as an (n, d) float64 array: like :func:`check_X`, but a 1-D input is one
    feature (n samples), and the number of features is checked when given."""
    arr = as_float_array(x, name)
    if arr.ndim == 1 and n_features in (None, 1):
        arr = arr.reshape(-1, 1)
    arr = check_X(arr, name)
    if n_features is not None and arr.shape[1] != n_features:
        raise ValueError(f"{name} has {arr.shape[1]} features, but the fits have {n_features}")
    return arr


def not_fitted_error(estimator: Any) -> Exception:
    """scikit-learn's NotFittedError, or an error that is a ValueError and an AttributeError."""
    msg = (
        f"This {type(estimator).__name__} instance is not fitted yet. Call 'fit' with "
        "appropriate arguments before using this estimator."
    )
    exceptions = sklearn_or_none("sklearn.exceptions")
    if exceptions is not None:
        error: Exception = exceptions.NotFittedError(msg)
        return error
    return NotFittedError(msg)


class NotFittedError(ValueError, AttributeError):
    """Raised when a model is used before it was fitted, where scikit-learn is absent."""


# Nanoseconds per unit of NumPy's datetime64 and timedelta64 (calendar units, months and
# years, are converted to days first, which is exact for dates).
NS_PER_UNIT = {"W": 604_800e9, "D": 86_400e9, "h": 3_600e9, "m": 60e9, "s": 1e9}
NS_PER_UNIT.update({"ms": 1e6, "us": 1e3, "ns": 1.0})
_UNITS_PER_NS = {"ps": 1e3, "fs": 1e6, "as": 1e9}


def datetime_as_float(a: Any, name: str) -> Any:
    """Dates and durations as float64 nanoseconds; anything else unchanged.

    ``datetime64`` values become nanoseconds since 1970-01-01 and ``timedelta64`` values
    nanoseconds, whatever their unit (as xarray's ``polyfit`` converts them), rounded once
    to the nearest double. NaT (not a time) is refused like NaN.

    Raises
    ------
    ValueError
        For NaT, durations in months or years (which have no fixed length), and
        datetime64 without a unit.

    Examples
    --------
    >>> import numpy as np
    >>> datetime_as_float(np.array(["1970-01-02", "1970-01-03"], dtype="datetime64[D]"), "X")
    array([8.640e+13, 1.728e+14])
    >>> datetime_as_float(np.array([1, 2], dtype="timedelta64[s]"), "X")
    array([1.e+09, 2.e+09])
    >>> datetime_as_float([1.5, 2.5], "X")
    [1.5, 2.5]
    """
    dtype = getattr(a, "dtype", None)
    if dtype is None or getattr(dtype, "kind", None) not in ("M", "m"):
        # Lists of NumPy datetimes, and DataFrames (whose columns are all dates or all
        # durations when NumPy finds one datetime dtype for them).
        if not (isinstance(a, (list, tuple)) and a) and not hasattr(a, "dtypes"):
            return a
        arr = np.asarray(a)
        if arr.dtype.kind not in "Mm":
            return a
    else:
        arr = np.asarray(a.to_numpy() if hasattr(a, "to_numpy") else a)
    unit, step = np.datetime_data(arr.dtype)
    if unit in ("Y", "M"):
        if arr.dtype.kind == "m":
            raise ValueError(
                f"{name} holds durations in {'years' if unit == 'Y' else 'months'}, which have "
                "no fixed length; convert them to days or a finer unit"
            )
        arr = arr.astype("datetime64[D]")  # the first day of each month or year, exactly
        unit, step = "D", 1
    if unit == "generic":
        raise ValueError(f"{name} holds datetime64 values without a unit; give them one")
    counts = arr.view(np.int64)
    nat = counts == np.iinfo(np.int64).min
    if nat.any():
        raise ValueError(
            f"Input {name} contains NaT (not a time) at {int(np.count_nonzero(nat))} "
            "position(s); remove or impute the missing times"
        )
    # Exact counts below 2**53 times an exact factor: one rounding, as xarray's conversion
    # through integer nanoseconds.
    if unit in _UNITS_PER_NS:
        return counts.astype(np.float64) * step / _UNITS_PER_NS[unit]
    return counts.astype(np.float64) * (NS_PER_UNIT[unit] * step)
