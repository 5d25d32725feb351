"""zarn.xarray's trends, covariances and cftime coordinates, against statsmodels, the
estimator, and xarray's own polyfit/polyval."""

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import zarn  # noqa: E402
import zarn.xarray  # noqa: E402

TIME = np.arange("1990-01", "2020-01", dtype="datetime64[M]").astype("datetime64[ns]")
DAY = np.timedelta64(1, "D")


def cube(time, shape=(3, 4), seed=0, nan_rate=0.05):
    """A (time, lat, lon) cube: a quadratic trend and an annual-like wiggle per pixel,
    noise, one land pixel and scattered missing values."""
    rng = np.random.default_rng(seed)
    n = len(time)
    t = np.linspace(-1.0, 1.0, n)[:, None, None]
    a = rng.normal(size=(3, *shape))
    values = a[0] + a[1] * t + a[2] * t**2 + rng.normal(0, 0.3, (n, *shape))
    values[:, 0, 0] = np.nan  # land
    values[rng.random(values.shape) < nan_rate] = np.nan
    coords = {"time": time, "lat": np.arange(shape[0]) * 10.0}
    return xr.DataArray(values, dims=("time", "lat", "lon"), coords=coords, attrs={"units": "K"})


def statsmodels_slope(x, y, at, degree):
    """statsmodels' slope at ``at`` with its standard error and p-value (the polynomial in
    x - at)."""
    sm = pytest.importorskip("statsmodels.api")
    res = sm.OLS(y, np.vander(x - at, degree + 1, increasing=True)).fit()
    return res.params[1], res.bse[1], res.pvalues[1]


def days_since_1970(time):
    return (time - np.datetime64("1970-01-01")) / DAY


@pytest.mark.parametrize("degree", [1, 2])
@pytest.mark.parametrize("per, days", [("year", 365.2425), ("decade", 3652.425)])
def test_trend_equals_statsmodels_per_pixel(degree, per, days):
    da = cube(TIME, seed=degree)
    fits = da.zarn.fit("time", zarn.PolynomialRegressor(degree=degree, method="ols"))
    out = zarn.xarray.trend(fits, per=per)
    assert set(out.data_vars) == {"trend", "trend_stderr", "trend_pvalue"}
    assert out.trend.dims == ("lat", "lon") and out.trend.attrs["units"] == f"K/{per}"
    assert "units" not in out.trend_pvalue.attrs
    x = days_since_1970(TIME) / days
    middle = (x.min() + x.max()) / 2.0
    assert out.at.dtype == "datetime64[ns]"
    assert days_since_1970(out.at.values) == pytest.approx(middle * days, rel=1e-15)
    assert np.isnan(out.to_array()[:, 0, 0]).all()
    for lat in range(3):
        for lon in range(4):
            if lat == lon == 0:
                continue
            y = da.values[:, lat, lon]
            used = np.isfinite(y)
            want, want_se, want_p = statsmodels_slope(x[used], y[used], middle, degree)
            assert float(out.trend[lat, lon]) == pytest.approx(want, rel=1e-8)
            assert float(out.trend_stderr[lat, lon]) == pytest.approx(want_se, rel=1e-8)
            assert float(out.trend_pvalue[lat, lon]) == pytest.approx(want_p, rel=1e-8, abs=1e-300)


@pytest.mark.parametrize("method", ["ols", "penalized", "robust"])
def test_covariance_variable_equals_the_estimators(method):
    small = {"n_chains": 4, "n_warmup": 20, "n_deep": 50, "n_elite": 2, "random_state": 1}
    model = zarn.PolynomialRegressor(
        degree=2, method=method, **(small if method == "robust" else {})
    )
    da = cube(TIME[:80], shape=(2, 2), nan_rate=0.1)
    fits = da.zarn.fit("time", model)
    assert fits.cov.dims == ("cov_i", "cov_j", "lat", "lon")
    assert fits.cov.cov_i.values.tolist() == [0, 1, 2] and fits.cov.attrs["units"] == "(K)^2"
    x = days_since_1970(TIME[:80])
    domain = [(x.min() * 86400e9, x.max() * 86400e9)]
    for lat, lon in [(0, 1), (1, 0), (1, 1)]:
        y = da.values[:, lat, lon]
        used = np.isfinite(y)
        est = zarn.PolynomialRegressor(**{**model.get_params(), "domain": domain})
        est.fit(TIME[:80][used, None], y[used])
        got = fits.cov.isel(lat=lat, lon=lon).values
        np.testing.assert_allclose(got, est.cov_, rtol=1e-8, atol=1e-10 * np.abs(est.cov_).max())
        assert float(fits.df[lat, lon]) == pytest.approx(est.df_resid_, rel=1e-12)


def test_dataset_fits_accessor_and_position():
    da = cube(TIME)
    ds = xr.Dataset({"sst": da, "ice": -2.0 * da})
    fits = ds.zarn.fit("time", zarn.PolynomialRegressor(degree=2, method="ols"))
    at = np.datetime64("2000-01-01")
    out = fits.zarn.trend("decade", at=at)
    assert set(out.data_vars) == {
        f"{v}_{var}" for v in ("sst", "ice") for var in ("trend", "trend_stderr", "trend_pvalue")
    }
    np.testing.assert_allclose(out.ice_trend, -2.0 * out.sst_trend, rtol=1e-12)
    np.testing.assert_allclose(out.ice_trend_stderr, 2.0 * out.sst_trend_stderr, rtol=1e-12)
    np.testing.assert_allclose(out.ice_trend_pvalue, out.sst_trend_pvalue, rtol=1e-12)
    assert out.at.values == at and out.sst_trend.at.values == at
    # The slope of the fitted values at that date, per decade.
    slope = zarn.xarray.predict(fits, [at], derivative=1, datetime_unit="D").sst
    np.testing.assert_allclose(out.sst_trend, slope.isel(time=0) * 3652.425, rtol=1e-10)


def test_dask_backed_fits_give_lazy_trends_equal_to_numpys():
    dask = pytest.importorskip("dask")
    da = cube(TIME[:120], shape=(4, 6))
    model = zarn.PolynomialRegressor(degree=2, method="ols")
    eager = zarn.xarray.trend(da.zarn.fit("time", model), "decade")
    lazy = zarn.xarray.trend(da.chunk({"lat": 2, "lon": 3}).zarn.fit("time", model), "decade")
    assert all(isinstance(v.data, dask.array.Array) for v in lazy.data_vars.values())
    xr.testing.assert_allclose(lazy.compute(), eager, rtol=1e-12)


def test_trend_from_a_file(tmp_path):
    pytest.importorskip("scipy")
    fits = cube(TIME[:60]).zarn.fit("time", zarn.PolynomialRegressor(degree=1, method="ols"))
    fits.to_netcdf(tmp_path / "fits.nc", engine="scipy")
    with xr.open_dataset(tmp_path / "fits.nc", engine="scipy") as back:
        xr.testing.assert_allclose(zarn.xarray.trend(back.load()), zarn.xarray.trend(fits))
    # The trends with their date ``at`` are written and read back too.
    out = zarn.xarray.trend(fits)
    out.to_netcdf(tmp_path / "trends.nc", engine="scipy")
    with xr.open_dataset(tmp_path / "trends.nc", engine="scipy") as back:
        xr.testing.assert_allclose(back.load(), out)


# ----------------------------------------------------------------- cftime

CALENDARS = ["noleap", "360_day", "standard"]


def cftime_axis(calendar, n=150):
    """Monthly cftime dates of a calendar, of its own class (as xarray makes them)."""
    pytest.importorskip("cftime")
    index = xr.date_range("1950-01-16", periods=n, freq="MS", calendar=calendar, use_cftime=True)
    return np.asarray(index)


@pytest.mark.parametrize("calendar", CALENDARS)
@pytest.mark.parametrize("degree", [1, 3])
def test_cftime_predictions_equal_polyfit_and_polyval(calendar, degree):
    time = cftime_axis(calendar)
    da = cube(time, shape=(2, 3), seed=degree, nan_rate=0.0)
    fits = da.zarn.fit("time", zarn.PolynomialRegressor(degree=degree, method="ols"))
    assert fits.attrs["coordinate_kind"] == "cftime" and fits.attrs["calendar"] == calendar
    new = xr.DataArray(time[::7], dims="time", coords={"time": time[::7]})
    got = zarn.xarray.predict(fits, new)
    coeffs = da.polyfit("time", degree).polyfit_coefficients
    want = xr.polyval(new, coeffs).transpose(*got.dims)
    size = float(np.abs(da).max())
    assert float(np.abs(got - want).max()) < 1e-8 * size


@pytest.mark.parametrize(
    "calendar, year_days", [("noleap", 365.0), ("360_day", 360.0), ("standard", 365.2425)]
)
def test_cftime_trend_per_year_of_the_calendar(calendar, year_days):
    time = cftime_axis(calendar)
    da = cube(time, shape=(2, 2), nan_rate=0.1)
    fits = da.zarn.fit("time", zarn.PolynomialRegressor(degree=1, method="ols"))
    out = zarn.xarray.trend(fits, per="year")
    x = zarn._cftime.cftime_to_ns(time) / 86400e9 / year_days
    for lat, lon in [(0, 1), (1, 0)]:
        y = da.values[:, lat, lon]
        used = np.isfinite(y)
        want, want_se, _ = statsmodels_slope(x[used], y[used], 0.0, 1)
        assert float(out.trend[lat, lon]) == pytest.approx(want, rel=1e-8)
        assert float(out.trend_stderr[lat, lon]) == pytest.approx(want_se, rel=1e-8)
    at = zarn.xarray.trend(fits, per="year", at=time[10])
    np.testing.assert_allclose(at.trend, out.trend, rtol=1e-12)  # a line's slope
    assert at.at.item() == time[10] and at.at.item().calendar == time[10].calendar
    middle = zarn._cftime.cftime_to_ns([out.at.item()])[0]
    assert middle == pytest.approx(np.mean(zarn._cftime.cftime_to_ns(time[[0, -1]])), abs=1e3)


@pytest.mark.parametrize(
    "call, match",
    [
        (lambda f: zarn.xarray.trend(f.drop_vars("cov")), "no variable cov"),
        (lambda f: zarn.xarray.trend(f, per=None), "per is required"),
        (lambda f: zarn.xarray.trend(f, at=3.0), "datetime64; at holds"),
        (lambda f: zarn.xarray.trend(f, at=TIME[:2]), "one known position"),
        (lambda f: zarn.xarray.trend(f.drop_vars(["coef", "cov"])), "no fits"),
        (
            lambda f: zarn.xarray.predict(f, cftime_axis("noleap", 3)),
            "datetime64; coord holds cftime",
        ),
    ],
)
def test_bad_trend_input(call, match):
    fits = cube(TIME[:40]).zarn.fit("time", zarn.PolynomialRegressor(degree=1, method="ols"))
    with pytest.raises(ValueError, match=match):
        call(fits)


def test_numeric_coordinate_needs_a_length():
    da = cube(np.linspace(0.0, 30.0, 40))
    fits = da.zarn.fit("time", zarn.PolynomialRegressor(degree=1, method="ols"))
    with pytest.raises(ValueError, match="needs positions in dates"):
        zarn.xarray.trend(fits)
    per_ten = zarn.xarray.trend(fits, per=10.0)
    per_one = zarn.xarray.trend(fits, per=None)
    np.testing.assert_allclose(per_ten.trend, 10.0 * per_one.trend, rtol=1e-12)


# ----------------------------------------------------------------- harmonics, cov_type


def seasonal_cube(time, shape=(2, 3), seed=5):
    rng = np.random.default_rng(seed)
    n = len(time)
    t = np.arange(n)[:, None, None] / 12.0
    amplitude = rng.uniform(1, 3, shape)
    values = (
        10 + 0.02 * t + amplitude * np.sin(2 * np.pi * t + 1.0) + rng.normal(0, 0.3, (n, *shape))
    )
    values[:, 0, 0] = np.nan
    values[rng.random(values.shape) < 0.05] = np.nan
    return xr.DataArray(
        values, dims=("time", "lat", "lon"), coords={"time": time}, attrs={"units": "K"}
    )


@pytest.mark.parametrize("cov_type", [None, "HAC", "ar1"])
@pytest.mark.parametrize("lazy", [False, True], ids=["numpy", "dask"])
def test_harmonics_through_xarray_equal_the_estimator(cov_type, lazy, tmp_path):
    da = seasonal_cube(TIME[:240])
    model = zarn.PolynomialRegressor(degree=1, method="ols", harmonics=2, cov_type=cov_type)
    data = da.chunk({"lat": 1}) if lazy else da
    if lazy:
        pytest.importorskip("dask")
    fits = data.zarn.fit("time", model).compute()
    assert fits.harmonic_coef.dims == ("harmonic", "lat", "lon")
    assert fits.harmonic.values.tolist() == ["sin1", "cos1", "sin2", "cos2"]
    assert fits.amplitude.dims == ("harmonic_number", "lat", "lon")
    assert fits.cov_i.values.tolist() == ["power0", "power1", "sin1", "cos1", "sin2", "cos2"]
    assert (
        fits.attrs["cov_type"] == (cov_type or "nonrobust")
        and fits.phase.attrs["units"] == "radian"
    )
    predicted = zarn.xarray.predict(fits, da.time[::30])
    trends = zarn.xarray.trend(fits, per="decade")
    domain = [tuple(fits.attrs["domain"])]
    for lat, lon in [(0, 1), (1, 2)]:
        y = da.values[:, lat, lon]
        used = np.isfinite(y)
        est = zarn.PolynomialRegressor(**{**model.get_params(), "domain": domain})
        est.fit(TIME[:240][used, None], y[used])
        pixel = {"lat": lat, "lon": lon}
        for got, want in [
            (fits.harmonic_coef.isel(pixel), est.harmonic_coef_),
            (fits.harmonic_stderr.isel(pixel), est.harmonic_stderr_),
            (fits.amplitude.isel(pixel), est.amplitude_),
            (fits.phase_stderr.isel(pixel), est.phase_stderr_),
            (fits.cov.isel(pixel), est.cov_),
            (predicted.isel(pixel), est.predict(TIME[:240:30, None])),
        ]:
            np.testing.assert_allclose(got, want, rtol=1e-8, atol=1e-10 * np.abs(want).max())
        # The trend is the polynomial's slope: the seasonal cycle's is left out.
        slope = est.coef_[1] * 2.0 / (domain[0][1] - domain[0][0]) * 3652.425 * 86400e9
        assert float(trends.trend.isel(pixel)) == pytest.approx(slope, rel=1e-10)
    fits.to_netcdf(tmp_path / "fits.nc", engine="scipy")
    with xr.open_dataset(tmp_path / "fits.nc", engine="scipy") as back:
        xr.testing.assert_allclose(zarn.xarray.predict(back.load(), da.time[::30]), predicted)


@pytest.mark.parametrize("calendar, year_days", [("360_day", 360.0), ("noleap", 365.0)])
def test_cftime_harmonics_repeat_with_the_calendars_year(calendar, year_days):
    sm = pytest.importorskip("statsmodels.api")
    time = cftime_axis(calendar, 240)
    da = seasonal_cube(time, shape=(1, 2))
    model = zarn.PolynomialRegressor(degree=1, method="ols", harmonics=1)
    fits = da.zarn.fit("time", model)
    assert fits.attrs["period"] == year_days * 86400e9
    days = zarn._cftime.cftime_to_ns(time) / 86400e9
    angle = 2 * np.pi * days / year_days
    X = np.column_stack([np.ones(len(days)), days / year_days, np.sin(angle), np.cos(angle)])
    y = da.values[:, 0, 1]
    used = np.isfinite(y)
    res = sm.OLS(y[used], X[used]).fit()
    out = zarn.xarray.trend(fits, per="year")
    assert float(out.trend[0, 1]) == pytest.approx(res.params[1], rel=1e-8)
    assert float(out.trend_stderr[0, 1]) == pytest.approx(res.bse[1], rel=1e-8)
    np.testing.assert_allclose(fits.harmonic_coef[:, 0, 1], res.params[2:], rtol=1e-8)


@pytest.mark.parametrize(
    "coord, per, at",
    [(np.arange(50.0), 10.0, 7.5), (np.arange(50) * DAY, "year", np.timedelta64(7, "D"))],
    ids=["numbers", "durations"],
)
def test_at_is_of_the_coordinates_type(coord, per, at):
    da = xr.DataArray(np.arange(50.0) ** 1.5, dims="t", coords={"t": coord})
    fits = da.zarn.fit("t", zarn.PolynomialRegressor(degree=2, method="ols"))
    given, middle = zarn.xarray.trend(fits, per, at=at), zarn.xarray.trend(fits, per)
    assert given.at.values == at and given.at.dtype.kind == np.asarray(coord).dtype.kind
    ends = np.asarray(coord)[[0, -1]].astype(float if coord.dtype.kind == "f" else "m8[ns]")
    assert middle.at.values == ends[0] + (ends[1] - ends[0]) / 2
