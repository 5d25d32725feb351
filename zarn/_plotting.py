"""The plot of a fit in one feature: its data, its curve and the curve's band."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike

from zarn._inference import check_kind, check_level
from zarn._optional import import_optional
from zarn._validation import not_fitted_error

if TYPE_CHECKING:
    from zarn.models import PolynomialRegressor

# Points of the curve over the domain: smooth at the resolution of a figure.
GRID_POINTS = 400
# Opacity of the band, which leaves the points behind it visible.
BAND_ALPHA = 0.25


def plot_fit(
    model: PolynomialRegressor,
    X: ArrayLike | None = None,
    y: ArrayLike | None = None,
    *,
    ax: Any = None,
    interval: str | None = "prediction",
    level: float = 0.95,
) -> Any:
    """Plot the fit of one feature: the data, the fitted curve and its band (needs matplotlib).

    Parameters
    ----------
    model : PolynomialRegressor
        A model fitted on one feature.
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

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn on.

    Raises
    ------
    ValueError
        For a model not fitted or of several features, only one of X and y, data of several columns
        or of lengths that differ, or an unknown interval or level.
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
    >>> from zarn._plotting import plot_fit
    >>> rng = np.random.default_rng(0)
    >>> x = rng.uniform(0.0, 10.0, 50)
    >>> y = np.sin(x) + rng.normal(scale=0.2, size=50)
    >>> model = zarn.PolynomialRegressor(degree=5, method="ols").fit(x[:, None], y)
    >>> ax = plot_fit(model, x[:, None], y, interval="confidence", level=0.9)
    >>> ax.get_xlabel(), [line.get_label() for line in ax.get_lines()]
    ('x0', ['fit'])
    """
    if not hasattr(model, "coef_"):
        raise not_fitted_error(model)
    if model.n_features_in_ != 1:
        raise ValueError(
            f"plot draws a model of one feature; this one has {model.n_features_in_} "
            "(plot its predictions against one feature with the others held fixed)"
        )
    if interval is not None:
        interval = check_kind(interval)
    level = check_level(level)
    if (X is None) != (y is None):
        raise ValueError("give both X and y to draw the data, or neither")
    if ax is None:
        plt = import_optional("matplotlib.pyplot", "plot")
        _, ax = plt.subplots(layout="constrained")
    else:
        import_optional("matplotlib", "plot")
    names = getattr(model, "feature_names_in_", None)
    feature = "x0" if names is None else str(names[0])
    if X is not None and y is not None:
        _draw_data(ax, model, X, y)
    low, high = (float(v) for v in model.domain_[0])
    grid = np.linspace(low, high, GRID_POINTS)
    points = _positions(grid, names)
    if interval is not None:
        lower, upper = model.predict_interval(points, level=level, kind=interval)
        ax.fill_between(
            grid, lower, upper, alpha=BAND_ALPHA, label=f"{100 * level:g}% {interval} interval"
        )
    ax.plot(grid, model.predict(points), color="C0", label="fit")
    ax.set_xlabel(feature)
    ax.set_ylabel(str(getattr(y, "name", None) or "y"))
    ax.legend()
    return ax


def _positions(x: np.ndarray, names: np.ndarray | None) -> Any:
    """The points x as the model's input: a DataFrame of its feature name, if it has one."""
    if names is None:
        return x[:, None]
    pd = import_optional("pandas", "plot of a model fitted on a DataFrame")
    return pd.DataFrame({names[0]: x})


def _draw_data(ax: Any, model: PolynomialRegressor, X: ArrayLike, y: ArrayLike) -> None:
    """The data points; those of a robust fit's training data coloured by their weight."""
    x = np.asarray(X, dtype=np.float64)
    if x.ndim == 2 and x.shape[1] != 1:
        raise ValueError(f"X must have one column, as the model; got shape {x.shape}")
    x = x.reshape(-1)
    target = np.asarray(y, dtype=np.float64).reshape(-1)
    if len(target) != len(x):
        raise ValueError(f"X and y have different lengths: {len(x)} and {len(target)}")
    weights = getattr(model, "robust_weights_", None)
    if weights is None or len(weights) != len(x):
        ax.scatter(x, target, s=12, color="0.3", label="data")
        return
    points = ax.scatter(
        x, target, s=12, c=weights, cmap="viridis", vmin=0.0, vmax=1.0, label="data"
    )
    ax.figure.colorbar(points, ax=ax, label="robust weight")
    outliers = ~model.inlier_mask_
    ax.scatter(
        x[outliers],
        target[outliers],
        s=60,
        facecolors="none",
        edgecolors="red",
        label=f"outliers ({int(outliers.sum())})",
    )
