"""
Trends of real sea-surface temperature, with autocorrelation-aware significance
================================================================================

The ``eofs`` package ships fifty winters (November to March means, 1963-2012) of observed
sea-surface temperature anomalies of the Pacific on a 5° grid (18 latitudes x 30
longitudes, land left empty). One call of :func:`zarn.xarray.fit` fits a straight line to
every pixel; :func:`zarn.xarray.trend` turns the fits into trends in °C per decade with
their standard errors.

Winter anomalies are autocorrelated: a warm winter tends to follow a warm one. The
textbook standard errors assume independent residuals and so overstate how sure a trend
is. ``cov_type="ar1"`` widens them as climate papers do (Santer et al., 2000): the
residuals' lag-1 autocorrelation r1 gives an effective sample size ``n (1 - r1) / (1 +
r1)``, which sets both the standard errors and the degrees of freedom of the t quantiles.
"""

import importlib.resources

import matplotlib.pyplot as plt
import numpy as np
import xarray as xr
from scipy import stats

import zarn
import zarn.xarray

data = importlib.resources.files("eofs") / "examples" / "example_data" / "sst_ndjfm_anom.nc"
with importlib.resources.as_file(data) as path:
    sst = xr.open_dataset(path).sst.load()
ocean = sst.notnull().all("time")
print(dict(sst.sizes), "ocean pixels:", int(ocean.sum()))

line = {"degree": 1, "method": "ols"}
fits = {
    cov_type: zarn.xarray.fit(sst, "time", zarn.PolynomialRegressor(**line, cov_type=cov_type))
    for cov_type in ("nonrobust", "ar1")
}
trends = {cov_type: zarn.xarray.trend(fit, per="decade") for cov_type, fit in fits.items()}
print(trends["ar1"])

# %%
# Both fits give the same coefficients; only their covariances differ. A trend is
# significant at 5 % where ``|trend| / trend_stderr`` exceeds the two-sided t quantile
# with the fit's degrees of freedom (``df``: 48 for the textbook errors, fewer where the
# residuals are autocorrelated).


def significant(cov_type):
    """Pixels whose trend differs from 0 at the 5 % level under this covariance type."""
    t_value = abs(trends[cov_type].trend) / trends[cov_type].trend_stderr
    return t_value > stats.t.ppf(0.975, fits[cov_type].df)


assert np.allclose(trends["ar1"].trend, trends["nonrobust"].trend, equal_nan=True)
signif = {cov_type: significant(cov_type) for cov_type in fits}
lost = signif["nonrobust"] & ~signif["ar1"]
n_ocean = int(ocean.sum())
print(f"significant at 5 % with i.i.d. errors:      {int(signif['nonrobust'].sum())} of {n_ocean}")
print(f"significant at 5 % with AR(1)-aware errors: {int(signif['ar1'].sum())} of {n_ocean}")
print(f"no longer significant: {int(lost.sum())}")

fig, axes = plt.subplots(1, 2, figsize=(11, 3.6), layout="constrained", sharey=True)
lon, lat = sst.longitude, sst.latitude
LON, LAT = np.meshgrid(lon, lat)
colours = plt.get_cmap("RdBu_r").with_extremes(bad="0.75")  # land in grey
for ax, cov_type, title in (
    (axes[0], "nonrobust", "i.i.d. errors"),
    (axes[1], "ar1", "AR(1)-aware errors"),
):
    image = ax.pcolormesh(lon, lat, trends[cov_type].trend, cmap=colours, vmin=-0.6, vmax=0.6)
    dots = (ocean & ~signif[cov_type]).values
    ax.plot(LON[dots], LAT[dots], "k.", ms=2.5)
    n = int(signif[cov_type].sum())
    ax.set(title=f"{title}: {n} pixels significant", aspect="equal", xlabel="longitude (°E)")
circles = {"marker": "o", "ls": "none", "mfc": "none", "mec": "k", "ms": 7}
axes[1].plot(LON[lost.values], LAT[lost.values], **circles, label="no longer significant")
axes[1].legend(loc="upper right", fontsize="small")
axes[0].set_ylabel("latitude (°N)")
fig.colorbar(image, ax=axes, label="trend (°C per decade)", shrink=0.9)
fig.suptitle("Winter sea-surface temperature trend, 1963-2012 (dots: not significant at 5 %)")
plt.show()

# %%
# The warming of most of the basin stays significant either way, but about one in seven
# of the trends that pass the textbook test (the counts are printed above) fails the
# AR(1)-aware one: the circled pixels, whose residuals are autocorrelated enough to
# shrink the effective sample size. Their trends are the same; their intervals are
# wider and reach 0.
#
# The pixel whose standard error grows the most, with its fitted line, the 95 %
# confidence band of the line and the 95 % prediction band of a new winter, both under
# the AR(1) adjustment (:meth:`zarn.PolynomialRegressor.predict_interval`; the
# estimator's fit of this one series is the fit that :func:`zarn.xarray.fit` made of it):

growth = (trends["ar1"].trend_stderr / trends["nonrobust"].trend_stderr).where(lost)
pixel = growth.argmax(...)
series = sst.isel(pixel)
X = series.time.values[:, None]  # one feature: the dates
model = zarn.PolynomialRegressor(**line, cov_type="ar1").fit(X, series)
assert np.allclose(model.coef_, fits["ar1"].coef.isel(pixel))
assert np.allclose(model.stderr_, fits["ar1"].stderr.isel(pixel))

fig, ax = plt.subplots(figsize=(8, 3.4), layout="constrained")
ax.plot(series.time, series, "o", ms=4, color="0.4", label="winter anomaly")
ax.plot(series.time, model.predict(X), color="tab:red", label="trend")
for kind, alpha in (("confidence", 0.35), ("prediction", 0.12)):
    low, high = model.predict_interval(X, kind=kind)
    ax.fill_between(series.time, low, high, color="tab:red", alpha=alpha, lw=0, label=kind)
where = f"{float(series.latitude):.1f}°N, {float(series.longitude):.1f}°E"
ax.set(ylabel="anomaly (°C)", title=f"The pixel at {where}")
ax.legend(ncols=4, loc="upper left")
plt.show()

# %%
# The series steps up in the late 1970s and stays up: about the straight line, the
# residuals come in long runs of one sign, so the fifty winters carry the information of
# far fewer independent ones. The effective sample size is the t quantile's degrees of
# freedom plus the line's two coefficients. A straight line is a poor description of
# such a series, and the AR(1) adjustment says so in the only way a trend test can: by
# widening the interval.

n_eff = float(fits["ar1"].df.isel(pixel)) + 2
ratio = float(growth.isel(pixel))
print(f"at {where}: effective sample size {n_eff:.1f} of 50 winters;")
print(f"standard error of the trend with AR(1) / with i.i.d. errors: {ratio:.2f}")
