"""
Trend maps with xarray
======================

Thirty years of monthly sea-surface temperature anomalies on a global grid, with two
continents (no values at all) and 10 % of the ocean values missing (clouds, gaps in the
record). :mod:`zarn.xarray` fits a straight line along ``time`` to every pixel at once and
returns a Dataset: the coefficients, their standard errors, the residual scale, R² and
the number of samples of every pixel, with the grid's own coordinates.
"""

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr

import zarn
import zarn.xarray  # registers the accessor .zarn

rng = np.random.default_rng(3)
time = np.arange("1990-01", "2020-01", dtype="datetime64[M]").astype("datetime64[ns]")
lat = np.linspace(-60.0, 60.0, 61)
lon = np.linspace(0.0, 358.0, 180)
LON, LAT = np.meshgrid(lon, lat)

# The true trend (degrees per decade) and the noise, stronger in the tropics.
true_trend = 0.05 + 0.3 * np.cos(np.radians(LAT)) * np.sin(np.radians(2 * LON))
noise = 0.2 + 0.5 * np.exp(-((LAT / 15.0) ** 2))
decades = (time - time[0]) / np.timedelta64(1, "D") / 3652.425
values = true_trend * decades[:, None, None] + noise * rng.normal(size=(time.size, *LAT.shape))
land = (((LON - 100.0) / 35.0) ** 2 + ((LAT - 25.0) / 20.0) ** 2 < 1) | (
    ((LON - 290.0) / 20.0) ** 2 + ((LAT + 10.0) / 30.0) ** 2 < 1
)
values[:, land] = np.nan
values[rng.random(values.shape) < 0.10] = np.nan

sst = xr.DataArray(
    values,
    dims=("time", "lat", "lon"),
    coords={"time": time, "lat": lat, "lon": lon},
    attrs={"units": "degC"},
    name="sst",
)
fits = sst.zarn.fit("time", zarn.PolynomialRegressor(degree=1, method="ols"))
print(fits)

# %%
# The coefficients are those of the mapped time ``u`` on [-1, 1] (the attribute
# ``domain`` holds its ends), so the slope in the data's units needs the domain's
# length. :func:`zarn.xarray.trend` does that: each pixel's slope per decade, its
# standard error from the pixel's covariance (the variable ``cov``) and the p-value of
# the test that it is 0, in units of degC per decade. :func:`zarn.xarray.predict` gives
# the same slope as a derivative, in any unit of time: here per day, times the days of a
# decade.

trends = zarn.xarray.trend(fits, per="decade")
trend, trend_se = trends.trend, trends.trend_stderr
print(trend.attrs["units"], "at", trends.at.values)
slope = zarn.xarray.predict(fits, sst.time[:1], derivative=1, datetime_unit="D") * 3652.425
assert np.allclose(slope.isel(time=0), trend, equal_nan=True)

fig, axes = plt.subplots(2, 2, figsize=(11, 4.0), layout="constrained", sharex=True, sharey=True)
panels = [
    (axes[0, 0], true_trend, "true trend (°C per decade)", "RdBu_r", (-0.4, 0.4)),
    (axes[0, 1], trend, "fitted trend (°C per decade)", "RdBu_r", (-0.4, 0.4)),
    (axes[1, 0], trend_se, "its standard error", "viridis", (0.0, None)),
    (axes[1, 1], np.abs(trend) / trend_se, "|trend| / standard error", "magma", (0, 20)),
]
for ax, field, title, colours, (vmin, vmax) in panels:
    field = np.where(land, np.nan, field)
    colours = plt.get_cmap(colours).with_extremes(bad="0.75")  # land in grey
    image = ax.pcolormesh(lon, lat, field, cmap=colours, vmin=vmin, vmax=vmax)
    ax.set(title=title, aspect="equal")
    # The colour bar sits in an inset of the map's own axes, so it has the map's height
    # whatever the figure's shape (the equal aspect leaves the axes' cell taller).
    fig.colorbar(image, cax=ax.inset_axes([1.03, 0.0, 0.03, 1.0]))
axes[1, 1].contour(lon, lat, trends.trend_pvalue, levels=[0.05], colors="cyan")
plt.show()

# %%
# Where the noise is strong (the tropics) the trend is less certain. Inside the cyan
# contours the trend's p-value is above 0.05 (it is less than about 1.97 standard errors
# from 0), so its 95 % confidence interval contains 0. Pixels with fewer samples have a
# larger standard error too: ``fits.n_used`` counts them (0 on land, where every
# variable is NaN).
#
# With a Dask-backed DataArray (``sst.chunk({"lat": 20})``) the same call returns a lazy
# Dataset, one task per chunk of pixels, computed by whatever scheduler is active; see
# :doc:`/user_guide/many_series`.

print("samples per ocean pixel:", int(fits.n_used.where(~land).min()), "to", int(fits.n_used.max()))
print("median R²:", float(fits.r2.median()))
