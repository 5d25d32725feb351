"""
Quickstart: fit, predict, score
===============================

The whole road of zarn in one script: a polynomial of one variable fitted three ways (least
squares, penalised, robust) to noisy data with a few gross outliers, judged against the
true curve, and a surface of two variables. It prints how close each fit comes and draws
one figure.

Run it from the repository root after installing zarn with its examples extra; it saves
the figure to ``quickstart.png`` (or to the path given as first argument)::

    .venv/bin/python examples/quickstart.py
"""

import sys

import matplotlib.pyplot as plt
import numpy as np
from matplotlib.ticker import MaxNLocator

import zarn

rng = np.random.default_rng(2026)

# %%
# One variable
# ------------
# A smooth curve with Gaussian noise, and 8 % of the points thrown far off (gross
# outliers). The model takes ``X`` of shape (n_samples, n_features), as scikit-learn's
# estimators do.


def truth(x):
    return np.sin(2.5 * x) + 0.3 * x


x = np.sort(rng.uniform(-1.0, 1.0, 200))
y = truth(x) + rng.normal(scale=0.2, size=x.size)
outliers = rng.choice(x.size, 16, replace=False)
y[outliers] += rng.uniform(2.0, 4.0, outliers.size)
X = x[:, None]

models = {
    "least squares": zarn.PolynomialRegressor(degree=6, method="ols"),
    "penalised": zarn.PolynomialRegressor(degree=6, gamma1=1e-3, gamma2=1e-4),
    "robust": zarn.PolynomialRegressor(degree=6, method="robust", random_state=7),
}
grid = np.linspace(-1.0, 1.0, 400)
print(
    f"One variable: a polynomial of degree 6 fitted three ways to {x.size} noisy points,\n"
    f"{outliers.size} of them gross outliers."
)
print("How far each fit is from the true curve (root mean square), and R² on the data:")
for name, model in models.items():
    model.fit(X, y)
    rmse = np.sqrt(np.mean((model.predict(grid[:, None]) - truth(grid)) ** 2))
    print(f"  {name + ':':<15} {rmse:.3f} from the true curve, R² = {model.score(X, y):.2f}")
print("(R² counts the outliers too: the fits that follow them score higher on it, yet miss the")
print("true curve by far more.)")

robust = models["robust"]
n_flagged = x.size - robust.inlier_mask_.sum()
print(
    f"The robust fit set aside {n_flagged} points as outliers, and estimates the noise's\n"
    f"standard deviation at {robust.scale_:.2f} (the noise added was 0.2)."
)

# %%
# Two variables
# -------------
# A surface of two variables with a tensor basis of degrees (3, 3); ``predict`` evaluates
# it anywhere, here on a grid for the contour plot.

X2 = rng.uniform(0.0, 1.0, (300, 2))
z = np.sin(3.0 * X2[:, 0]) * np.cos(2.0 * X2[:, 1]) + rng.normal(scale=0.1, size=300)
surface_model = zarn.PolynomialRegressor(degree=(3, 3), basis="tensor", gamma2=1e-4)
surface_model.fit(X2, z)
r2 = surface_model.score(X2, z)
print(
    f"\nTwo variables: a surface of degrees (3, 3), with {surface_model.coef_.size} coefficients,\n"
    f"explains {100 * r2:.0f} % of the variance of z (R² = {r2:.3f})."
)

u = np.linspace(0.0, 1.0, 80)
U1, U2 = np.meshgrid(u, u)
surface = surface_model.predict(np.column_stack([U1.ravel(), U2.ravel()])).reshape(U1.shape)

# %%
# The figure
# ----------
# Left: the data, the true curve and the three fits (the outliers pull the least-squares
# fits up; the robust fit stays on the curve). Right: the fitted surface, with the data
# points coloured by their observed value on the same colour scale.

fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(12, 4.8), layout="constrained")
inlier = np.ones(x.size, dtype=bool)
inlier[outliers] = False
ax1.plot(x[inlier], y[inlier], ".", color="0.65", label="data")
ax1.plot(x[~inlier], y[~inlier], "x", color="0.35", label="gross outliers")
ax1.plot(grid, truth(grid), "k--", lw=2, label="true curve")
for name, model in models.items():
    ax1.plot(grid, model.predict(grid[:, None]), lw=1.8, label=name)
ax1.set(title="One variable, degree 6", xlabel="x", ylabel="y")
ax1.legend(loc="upper left", fontsize=9)

levels = MaxNLocator(20).tick_values(min(surface.min(), z.min()), max(surface.max(), z.max()))
contour = ax2.contourf(U1, U2, surface, levels=levels, cmap="viridis")
ax2.scatter(
    X2[:, 0],
    X2[:, 1],
    c=z,
    cmap="viridis",
    norm=contour.norm,
    s=18,
    edgecolors="black",
    linewidths=0.4,
    label="data, coloured by observed z",
)
ax2.set(title="Two variables, penalised fit of degrees (3, 3)", xlabel="x1", ylabel="x2")
ax2.legend(loc="upper right", fontsize=9)
fig.colorbar(contour, ax=ax2, label="z (surface: fitted; points: observed)")

out = sys.argv[1] if len(sys.argv) > 1 else "quickstart.png"
fig.savefig(out, dpi=100)
print(f"figure saved to {out}")
