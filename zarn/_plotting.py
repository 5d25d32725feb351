"""The plot of a fit in one feature: its data, its curve and the curve's band."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike

from zarn._optional import import_optional
from zarn._uncertainty import check_kind, check_level
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
    """The plot of ``model``'s fit: :meth:`zarn.PolynomialRegressor.plot`."""
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
