import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import zarn  # noqa: E402
import zarn.xarray  # noqa: E402

OLS3 = zarn.PolynomialRegressor(degree=3, method="ols")


def cube(time, shape=(5, 6), seed=0, nan_rate=0.1):
    """A (time, lat, lon) cube: a cubic trend per pixel plus noise, a land mask (pixels
    without any value) and scattered missing values."""
    rng = np.random.default_rng(seed)
    n = len(time)
    t = np.linspace(-1.0, 1.0, n)[:, None, None]
    a = rng.normal(size=(4, *shape))
    values = a[0] + a[1] * t + a[2] * t**2 + a[3] * t**3 + rng.normal(0, 0.3, (n, *shape))
    values[:, :2, :2] = np.nan  # land
    values[rng.random(values.shape) < nan_rate] = np.nan
    coords = {"time": time, "lat": np.arange(shape[0]) * 10.0, "lon": np.arange(shape[1]) * 5.0}
    return xr.DataArray(values, dims=("time", "lat", "lon"), coords=coords, attrs={"units": "K"})


DAILY = np.arange("1990-01-01", "1995-01-01", dtype="datetime64[D]")[::7]
COORDINATES = {
    "numeric": np.linspace(1950.0, 2010.0, 120),
    "datetime64[ns]": DAILY.astype("datetime64[ns]"),
    "datetime64[s]": DAILY.astype("datetime64[s]"),
    "timedelta64[ms]": (DAILY - DAILY[0]).astype("timedelta64[ms]"),
}


@pytest.mark.parametrize("kind", list(COORDINATES))
def test_fitted_values_equal_polyfit_on_a_masked_cube(kind):
    da = cube(COORDINATES[kind])
    fits = zarn.xarray.fit(da, "time", OLS3)
    got = zarn.xarray.predict(fits, da.time)
    coeffs = da.polyfit("time", 3, skipna=True).polyfit_coefficients
    want = xr.polyval(da.time, coeffs).transpose(*got.dims)
    size = np.abs(da).max("time")  # per series
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    assert float((np.abs(got - want) / size).max()) < 1e-8
    assert fits.n_used.isel(lat=0, lon=0) == 0 and np.isnan(fits.coef.isel(lat=0, lon=0)).all()
    np.testing.assert_array_equal(fits.n_used, da.notnull().sum("time"))


def test_statistics_equal_statsmodels_per_series():
    sm = pytest.importorskip("statsmodels.api")
    da = cube(COORDINATES["numeric"], shape=(3, 4))
    da[:, 2, 0] = cube(COORDINATES["numeric"], shape=(3, 4), nan_rate=0.0)[:, 2, 0]  # complete
    da[:70, 2, 3] = np.nan  # too much leverage missing: fitted alone
    fits = da.zarn.fit("time", OLS3)
    x = da.time.values
    u = 2.0 * (x - x.min()) / (x.max() - x.min()) - 1.0
    for lat in range(2, 3):
        for lon in range(4):
            y = da.values[:, lat, lon]
            used = np.isfinite(y)
            res = sm.OLS(y[used], np.vander(u[used], 4, increasing=True)).fit()
            pixel = {"lat": lat, "lon": lon}
            np.testing.assert_allclose(fits.coef.isel(pixel), res.params, rtol=1e-9)
            np.testing.assert_allclose(fits.stderr.isel(pixel), res.bse, rtol=1e-8)
            assert float(fits.scale.isel(pixel)) == pytest.approx(np.sqrt(res.scale), rel=1e-8)
            assert float(fits.r2.isel(pixel)) == pytest.approx(res.rsquared, rel=1e-8)


def test_datetime_units_give_the_fit_of_nanoseconds():
    ns = COORDINATES["datetime64[ns]"]
    da = cube(ns, shape=(2, 3))
    by_date = zarn.xarray.fit(da, "time", OLS3)
    numbers = da.assign_coords(time=ns.astype(np.int64).astype(np.float64))
    by_number = zarn.xarray.fit(numbers, "time", OLS3)
    np.testing.assert_array_equal(by_date.coef, by_number.coef)
    assert by_date.attrs["domain"] == by_number.attrs["domain"]
    assert by_date.attrs["coordinate_kind"] == "datetime64"
    assert by_date.attrs["coordinate_units"] == "nanoseconds since 1970-01-01"
    seconds = zarn.xarray.fit(da.assign_coords(time=ns.astype("datetime64[s]")), "time", OLS3)
    np.testing.assert_allclose(seconds.coef, by_date.coef, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("missing", [np.datetime64("NaT"), np.nan])
def test_a_missing_position_is_a_missing_sample(missing):
    time = COORDINATES["datetime64[ns]"] if isinstance(missing, np.datetime64) else None
    time = COORDINATES["numeric"] if time is None else time
    da = cube(time, shape=(2, 3), nan_rate=0.0)
    coord = da.time.values.copy()
    coord[[3, 40]] = missing
    holey = da.assign_coords(time=coord)
    fits = zarn.xarray.fit(holey, "time", OLS3)
    kept = zarn.xarray.fit(da.drop_isel(time=[3, 40]), "time", OLS3)
    assert set(np.unique(fits.n_used)) == {0, len(time) - 2}  # land, and sea pixels
    np.testing.assert_array_equal(fits.coef, kept.coef)
    with pytest.raises(ValueError, match=r"missing \(NaN or NaT\) at 2 position"):
        zarn.xarray.fit(holey, "time", OLS3, skipna=False)
    # Predictions at a missing position are missing.
    got = zarn.xarray.predict(fits, holey.time[:5])
    sea = got.isel(lat=0, lon=2)
    assert np.isnan(got.isel(time=3)).all() and np.isfinite(sea.isel(time=[0, 1, 2, 4])).all()


def test_dataset_of_two_variables():
    sst = cube(COORDINATES["numeric"], shape=(3, 4))
    index = sst.mean(("lat", "lon")) * 2.0 + 1.0  # one series along time only
    ds = xr.Dataset({"sst": sst, "index": index, "land": sst.isel(time=0).isnull()})
    fits = ds.zarn.fit("time", OLS3)
    assert {"sst_coef", "sst_stderr", "index_coef", "index_r2"} <= set(fits.data_vars)
    assert not any(name.startswith("land") for name in fits.data_vars)
    assert fits.sst_coef.dims == ("power", "lat", "lon") and fits.index_coef.dims == ("power",)
    alone = zarn.xarray.fit(sst, "time", OLS3)
    np.testing.assert_array_equal(fits.sst_coef, alone.coef)
    predicted = zarn.xarray.predict(fits, ds.time)
    assert isinstance(predicted, xr.Dataset) and set(predicted.data_vars) == {"sst", "index"}
    np.testing.assert_allclose(
        predicted.index,
        zarn.xarray.predict(zarn.xarray.fit(index, "time", OLS3), ds.time),
        rtol=1e-12,
    )


@pytest.mark.parametrize(
    "order", [("time", "lat", "lon"), ("lat", "time", "lon"), ("lat", "lon", "time")]
)
@pytest.mark.parametrize("dtype", [np.float64, np.float32])
def test_any_layout_and_dtype_gives_the_same_fits(order, dtype):
    da = cube(COORDINATES["numeric"], shape=(3, 4))
    ref = zarn.xarray.fit(da, "time", OLS3)
    fits = da.transpose(*order).astype(dtype).zarn.fit("time", OLS3)
    assert fits.coef.dims == ("power", "lat", "lon")
    want = ref if dtype == np.float64 else zarn.xarray.fit(da.astype(dtype), "time", OLS3)
    np.testing.assert_allclose(fits.coef, want.coef, rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(fits.n_used, ref.n_used)


def test_derivatives_of_an_exact_cubic():
    time = COORDINATES["datetime64[ns]"]
    days = (time - time[0]) / np.timedelta64(1, "D")
    values = 1.0 + 0.002 * days - 3e-6 * days**2 + 2e-9 * days**3
    da = xr.DataArray(
        np.stack([values, -values], axis=1), dims=("time", "pixel"), coords={"time": time}
    )
    fits = da.zarn.fit("time", OLS3)
    at = da.time[[0, 50, -1]]
    d = days[[0, 50, -1]]
    slope = zarn.xarray.predict(fits, at, derivative=1, datetime_unit="D")
    np.testing.assert_allclose(slope[:, 0], 0.002 - 6e-6 * d + 6e-9 * d**2, rtol=1e-7)
    np.testing.assert_allclose(slope[:, 1], -slope[:, 0], rtol=1e-12)
    curvature = zarn.xarray.predict(fits, at, derivative=2, datetime_unit="h")
    np.testing.assert_allclose(curvature[:, 0], (-6e-6 + 12e-9 * d) / 24**2, rtol=1e-6)
    per_ns = zarn.xarray.predict(fits, at, derivative=1)
    np.testing.assert_allclose(per_ns * 86_400e9, slope, rtol=1e-12)
    assert zarn.xarray.predict(fits, at, derivative=4).pipe(np.abs).max() < 1e-30


def test_sample_weight_along_the_dimension():
    da = cube(COORDINATES["numeric"], shape=(2, 3))
    w = xr.DataArray(np.linspace(0.5, 2.0, da.sizes["time"]), dims="time")
    w[4] = 0.0
    fits = da.zarn.fit("time", OLS3, sample_weight=w)
    flat = da.values.reshape(da.sizes["time"], -1)
    want = zarn.fit_many(da.time.values, flat, OLS3, sample_weight=w.values)
    np.testing.assert_array_equal(fits.stderr.values.reshape(4, -1), want.stderr.T)
    np.testing.assert_array_equal(fits.n_used.values.ravel(), want.n_used)
    with pytest.raises(ValueError, match="along 'time' only"):
        da.zarn.fit("time", OLS3, sample_weight=w.expand_dims(lat=da.lat))


def test_accessor_and_module_functions_agree():
    da = cube(COORDINATES["numeric"], shape=(2, 3))
    model = zarn.PolynomialRegressor(degree=2, gamma2=1e-3)
    by_accessor = da.zarn.fit("time", model, mdl=True)
    xr.testing.assert_identical(by_accessor, zarn.xarray.fit(da, "time", model, mdl=True))
    assert "mdl" in by_accessor and "mdl" not in zarn.xarray.fit(da, "time", model)
    xr.testing.assert_identical(
        by_accessor.zarn.predict(da.time[:3], derivative=1),
        zarn.xarray.predict(by_accessor, da.time[:3], derivative=1),
    )


ROBUST = zarn.PolynomialRegressor(
    degree=2, method="robust", n_chains=4, n_warmup=20, n_deep=50, n_elite=2, random_state=None
)


@pytest.mark.parametrize("model", [OLS3, ROBUST], ids=["ols", "robust"])
def test_netcdf_round_trip(tmp_path, model):
    pytest.importorskip("scipy")
    da = cube(COORDINATES["datetime64[ns]"][:40], shape=(2, 2))
    fits = da.zarn.fit("time", model)
    path = tmp_path / "fits.nc"
    fits.to_netcdf(path, engine="scipy")
    with xr.open_dataset(path, engine="scipy") as back:
        back = back.load()
    xr.testing.assert_allclose(back, fits)
    assert back.attrs["method"] == model.method and back.attrs["dim"] == "time"
    xr.testing.assert_allclose(
        zarn.xarray.predict(back, da.time), zarn.xarray.predict(fits, da.time)
    )
    if model.method == "robust":
        # The seed drawn for random_state=None is recorded: it reproduces the fits.
        again = da.zarn.fit(
            "time",
            zarn.PolynomialRegressor(
                **{**model.get_params(), "random_state": int(back.attrs["seed"])}
            ),
        )
        np.testing.assert_array_equal(again.coef, fits.coef)
        assert (fits.n_inliers <= fits.n_used).all()


@pytest.mark.parametrize(
    "call, error, match",
    [
        (
            lambda da: zarn.xarray.fit(da, "times"),
            ValueError,
            r"dimension 'times' not found.*'lat'",
        ),
        (lambda da: zarn.xarray.fit(da.to_dataset(name="v"), "depth"), ValueError, "not found"),
        (
            lambda da: zarn.xarray.fit(
                xr.Dataset({"m": da.isel(time=0)}).assign_coords(time=da.time), "time"
            ),
            ValueError,
            "no data variable",
        ),
        (lambda da: zarn.xarray.fit(da.rename(lat="power"), "time"), ValueError, "rename"),
        (lambda da: zarn.xarray.fit(da.values, "time"), TypeError, "DataArray or Dataset"),
        (lambda da: zarn.xarray.fit(da, "time", "ols"), TypeError, "PolynomialRegressor"),
        (
            lambda da: zarn.xarray.fit(da.assign_coords(time=da.time.astype(str)), "time"),
            TypeError,
            "not numbers",
        ),
        (lambda da: zarn.xarray.fit(da + 1j, "time"), ValueError, "Complex"),
        (lambda da: zarn.xarray.fit(da, "time", skipna=None), TypeError, "skipna"),
        (lambda da: zarn.xarray.fit(da, "time", n_jobs=0), ValueError, "n_jobs"),
        (lambda da: zarn.xarray.predict(da, da.time), TypeError, "Dataset returned by"),
        (lambda da: zarn.xarray.predict(da.to_dataset(name="v"), da.time), ValueError, "no fits"),
        (lambda da: da.zarn.fit("time").zarn.predict([1.0]), ValueError, "datetime64; coord"),
        (
            lambda da: da.zarn.fit("time").zarn.predict(da.time, datetime_unit="Y"),
            ValueError,
            "fixed length",
        ),
        (lambda da: da.zarn.fit("time").zarn.predict(da.time, derivative=-1), ValueError, ">= 0"),
        (
            lambda da: (
                da.assign_coords(time=np.arange(40.0))
                .zarn.fit("time")
                .zarn.predict([1.0], datetime_unit="D")
            ),
            ValueError,
            "dates or durations only",
        ),
    ],
)
def test_bad_input(call, error, match):
    da = cube(COORDINATES["datetime64[ns]"][:40], shape=(2, 2))
    with pytest.raises(error, match=match):
        call(da)


def test_import_zarn_imports_no_xarray_and_the_accessor_registers(run_python):
    out = run_python(
        """
        import sys, zarn
        assert "xarray" not in sys.modules
        import xarray as xr, zarn.xarray
        print(type(xr.DataArray([1.0, 2.0], dims="t").zarn).__name__)
        """
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "ZarnDataArrayAccessor"


# ----------------------------------------------------------------- Dask cluster


def refuse_to_compute(*args, **kwargs):
    raise AssertionError("something was computed before .compute()")


SEEDED = zarn.PolynomialRegressor(**{**ROBUST.get_params(), "random_state": 3})


@pytest.mark.slow  # starts a cluster of two worker processes
@pytest.mark.parametrize("model", [OLS3, SEEDED], ids=["ols", "robust"])
def test_dask_input_stays_lazy_and_runs_on_a_process_cluster(client, model):
    dask = pytest.importorskip("dask")
    da = cube(COORDINATES["datetime64[ns]"][:60], shape=(6, 8) if model is OLS3 else (2, 3))
    eager = da.zarn.fit("time", model, mdl=True)
    with dask.config.set(scheduler=refuse_to_compute):
        # Chunks along time are merged.
        lazy = da.chunk({"time": 20, "lat": 2, "lon": 5}).zarn.fit("time", model, mdl=True)
        predicted = zarn.xarray.predict(lazy, da.time[:3], derivative=1, datetime_unit="D")
    assert all(isinstance(v.data, dask.array.Array) for v in lazy.data_vars.values())
    assert isinstance(predicted.data, dask.array.Array)
    computed, slope = client.compute([lazy, predicted], sync=True)
    xr.testing.assert_allclose(computed, eager, rtol=1e-12, atol=1e-12)
    want = zarn.xarray.predict(eager, da.time[:3], derivative=1, datetime_unit="D")
    xr.testing.assert_allclose(slope, want, rtol=1e-12, atol=1e-15)
