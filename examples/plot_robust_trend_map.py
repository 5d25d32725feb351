"""
Robust trend maps under clouds
==============================

Ten years of monthly sea-surface temperature retrieved from a satellite, on a grid of
40 x 50 pixels with an island (no values at all). Where a cloud was missed by the cloud
mask, the retrieval sees the cold cloud top instead of the sea: such values fall 3 to
10 degrees below the truth (y - U(3, 10)), in 10 % of the samples on average, and in
more of them as the decade goes on. Another 5 % of the samples are missing.

Least squares gives every cloud a pull on the trend, and clouds that grow more frequent
pull it down. :mod:`zarn.xarray` with ``method="robust"`` fits every pixel with the
robust MM-estimate instead, which sets the clouds aside, and counts the samples it kept
(``n_inliers``).
"""

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr

import zarn
import zarn.xarray  # registers the accessor .zarn

rng = np.random.default_rng(7)
time = np.arange("2010-01", "2020-01", dtype="datetime64[M]").astype("datetime64[ns]")
lat = np.linspace(30.0, 50.0, 40)
lon = np.linspace(-40.0, -15.0, 50)
LON, LAT = np.meshgrid(lon, lat)
shape = (time.size, *LAT.shape)

# The true trend (degrees per decade: fastest along a current that crosses the region),
# an annual cycle that is stronger to the north, and the noise of the retrievals.
true_trend = 0.1 + 0.5 * np.exp(-(((LAT - 38.0 - 0.4 * (LON + 28.0)) / 4.0) ** 2))
years = (time - time[0]) / np.timedelta64(1, "D") / 365.2425
cycle = (2.0 + 0.1 * (LAT - 30.0)) * np.cos(2 * np.pi * (years[:, None, None] - 0.6))
sst = 18.0 - 0.3 * (LAT - 30.0) + cycle + true_trend * years[:, None, None] / 10.0
sst += 0.2 * rng.standard_normal(shape)

# Missed clouds: from 5 % of the samples in the first year to 15 % in the last.
cloudy = rng.random(shape) < (0.05 + 0.1 * years / years[-1])[:, None, None]
sst -= np.where(cloudy, rng.uniform(3.0, 10.0, shape), 0.0)
sst[rng.random(shape) < 0.05] = np.nan
island = ((LON + 28.0) / 4.0) ** 2 + ((LAT - 39.0) / 3.0) ** 2 < 1.0
sst[:, island] = np.nan

data = xr.DataArray(
    sst,
    dims=("time", "lat", "lon"),
    coords={"time": time, "lat": lat, "lon": lon},
    attrs={"units": "degC"},
    name="sst",
)

# %%
# The annual cycle is removed first: the median of each calendar month, pixel by pixel,
# is that month's climatology (a median, so that the clouds do not cool it). Then a
# straight line is fitted along ``time`` to the anomalies of every pixel, by least
# squares and robustly.

climatology = data.groupby("time.month").median("time")
anomaly = data.groupby("time.month") - climatology
line = {"least squares": "ols", "robust": "robust"}
fits = {
    name: anomaly.zarn.fit("time", zarn.PolynomialRegressor(degree=1, method=method))
    for name, method in line.items()
}
print(fits["robust"])

# %%
# The slope per decade is ``coef[1] * 2 / (high - low)``, with the domain's ends in
# nanoseconds (see :doc:`plot_trend_map`). The share of flagged samples is
# ``1 - n_inliers / n_used``.

low, high = fits["robust"].attrs["domain"]
per_decade = 2.0 / (high - low) * 3652.425 * 86_400e9
trend = {name: fit.coef.sel(power=1, drop=True) * per_decade for name, fit in fits.items()}
flagged = 1.0 - fits["robust"].n_inliers / fits["robust"].n_used

fig, axes = plt.subplots(2, 2, figsize=(10, 6.4), layout="constrained", sharex=True, sharey=True)
panels = [
    (axes[0, 0], true_trend, "true trend (°C per decade)", "RdBu_r", (-0.8, 0.8)),
    (axes[0, 1], trend["least squares"], "least-squares trend", "RdBu_r", (-0.8, 0.8)),
    (axes[1, 0], trend["robust"], 'robust trend (method="robust")', "RdBu_r", (-0.8, 0.8)),
    (axes[1, 1], flagged, "share of samples flagged as outliers", "viridis", (0.0, 0.2)),
]
for ax, field, title, colours, (vmin, vmax) in panels:
    field = np.where(island, np.nan, field)
    colours = plt.get_cmap(colours).with_extremes(bad="0.75")  # the island in grey
    image = ax.pcolormesh(lon, lat, field, cmap=colours, vmin=vmin, vmax=vmax)
    ax.set(title=title, aspect="equal")
    ax.label_outer()
    fig.colorbar(image, cax=ax.inset_axes([1.03, 0.0, 0.03, 1.0]))
axes[1, 0].set(xlabel="longitude", ylabel="latitude")
plt.show()

# %%
# The least-squares trend is too low on average, by about the clouds' mean depth (6.5 °C)
# times the growth of their share (10 % per decade), and so noisy that its map shows
# little of the true one; the robust trend follows the true one. The robust fit flags
# about the 10 % of samples that the clouds hit.

ocean = ~island
for name, field in trend.items():
    error = np.asarray(field)[ocean] - true_trend[ocean]
    rmse = np.sqrt(np.mean(error**2))
    print(f"{name:13}: mean error {error.mean():+.3f}, RMSE {rmse:.3f} (°C per decade)")
print(f"clouds among the present samples: {cloudy[:, ocean][~np.isnan(sst[:, ocean])].mean():.1%}")
print(f"flagged: {float(flagged.where(ocean).mean()):.1%} (mean over the ocean pixels)")
