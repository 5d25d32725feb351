"""
Many series at once: a trend per pixel
======================================

:func:`zarn.fit_many` fits one model to each of many series that share their sample
positions. Here, an 80 × 80 image observed 60 times: every pixel's series gets a
quadratic trend, 15 % of the values are missing (clouds), and a few pixels are missing
almost entirely. The fits run in one call; missing values are dropped from their own
series only.
"""

import matplotlib.pyplot as plt
import numpy as np

import zarn

rng = np.random.default_rng(8)
t = np.linspace(0.0, 5.0, 60)  # years: the positions shared by every series
rows, cols = np.mgrid[0:80, 0:80] / 79.0
true_slope = 0.4 * np.sin(3.0 * rows) * np.cos(2.0 * cols) + 0.1  # per year
true_curve = -0.02 * (rows - 0.5)  # per year squared

# Y has one column per pixel: shape (60, 6400).
Y = (
    true_slope.ravel() * t[:, None]
    + true_curve.ravel() * t[:, None] ** 2
    + rng.normal(scale=0.15, size=(t.size, rows.size))
)
Y[rng.random(Y.shape) < 0.15] = np.nan
Y[:-2, rng.choice(rows.size, 20, replace=False)] = np.nan  # nearly empty pixels

fits = zarn.fit_many(t, Y, zarn.PolynomialRegressor(degree=2, gamma2=1e-6))
print(fits, "| samples used per series:", fits.n_used.min(), "to", fits.n_used.max())

# %%
# The coefficients are those of the mapped variable u = 2 (t - 2.5) / 5 on [-1, 1], in
# ``fits.basis`` order (u^0, u^1, u^2); the slope at the middle of the period is
# coef[:, 1] * du/dt. A series with very few samples still gets a fit (penalised, so it
# stays defined even with fewer samples than coefficients; with no samples at all it
# would be NaN), but not one to trust: ``fits.n_used`` tells them apart, and the map
# leaves pixels with fewer than 10 samples blank.

scale = 2.0 / (t[-1] - t[0])
slope = fits.coef[:, 1] * scale
slope[fits.n_used < 10] = np.nan
slope = slope.reshape(rows.shape)
true_mid = true_slope + 2.0 * true_curve * 2.5  # d/dt of the truth at t = 2.5
predicted = fits.predict(t)  # shape (60, 6400): every series at once

fig = plt.figure(figsize=(13, 4.4), layout="constrained")
ax1, ax2, ax3 = fig.subplots(1, 3, width_ratios=[1, 1, 1.3])
cmap = plt.get_cmap("BrBG").with_extremes(bad="0.6")
for ax, image, title in [(ax1, true_mid, "true trend"), (ax2, slope, "fitted trend")]:
    shown = ax.imshow(image, vmin=-0.35, vmax=0.55, cmap=cmap, origin="lower")
    ax.set(title=f"{title} at mid-period", xticks=[], yticks=[])
fig.colorbar(shown, ax=[ax1, ax2], label="trend per year", shrink=0.85)
for pixel in (200, 3300, 6100):
    (line,) = ax3.plot(t, Y[:, pixel], ".", ms=4)
    ax3.plot(t, predicted[:, pixel], color=line.get_color(), label=f"pixel {pixel}")
ax3.set(title="three pixels and their fits", xlabel="years", ylabel="value")
ax3.legend(fontsize=8)
plt.show()

# %%
# On large arrays, pass ``n_jobs=2`` (or -1) to fit chunks of series in worker
# processes, or give a Dask array as ``Y`` to get lazy results computed by a Dask
# cluster; see :doc:`/user_guide/many_series`.
