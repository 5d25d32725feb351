"""Invariants that every method must keep, whatever its internals.

Each test states a property the fits have by their definition (repeated samples and
integer weights, units of the weights, order of the rows, layout of the series), so that
a fault in one method's route breaks an equality instead of hiding in a tolerance.
"""

import numpy as np
import pytest

import zarn
from conftest import SMALL_SAMPLER
from zarn._biweight import loss

METHODS = {
    "ols": {"method": "ols"},
    "penalized": {"method": "penalized", "gamma1": 1e-2, "gamma2": 1e-3},
    "robust": {"method": "robust", **SMALL_SAMPLER},
    "penalized robust": {"method": "robust", "gamma1": 1e-4, **SMALL_SAMPLER},
}


def cubic(n, seed=0, noise=0.3, outliers=0.0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-3.0, 5.0, n)
    y = 1.0 + 0.5 * x - 0.2 * x**3 + rng.normal(0.0, noise, n)
    bad = rng.random(n) < outliers
    y[bad] += rng.uniform(20.0, 60.0, bad.sum())
    return x[:, None], y


def test_robust_scale_of_clean_data_is_the_least_squares_scale():
    # The final step's scale of 1,000 samples (the search's subsample: at larger n the
    # scale is still that of 1,000) has a sampling difference from the least-squares
    # scale of about 1.5 %; over 30 data sets their mean ratio is within 1 % of 1 (about
    # 4 of its standard deviations), while a consistency factor dropped or doubled moves
    # it by 1.4 % or more.
    ratios = []
    for seed in range(30):
        X, y = cubic(1000, seed=seed)
        ols = zarn.PolynomialRegressor(method="ols").fit(X, y)
        robust = zarn.PolynomialRegressor(method="robust").fit(X, y)
        ratios.append(robust.scale_ / ols.scale_)
    assert np.mean(ratios) == pytest.approx(1.0, abs=1e-2)
    # The robust criterion's scale of the least-squares residuals too.
    X, y = cubic(60_000)
    ols = zarn.PolynomialRegressor(method="ols").fit(X, y)
    common = zarn._criteria.common_scale(y, [ols.predict(X)], [ols.edf_])
    assert common == pytest.approx(ols.scale_, rel=5e-3)


@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_integer_weights_equal_repeated_rows(method):
    params = METHODS[method]
    X, y = cubic(150, seed=1)
    w = np.random.default_rng(2).integers(0, 4, len(y)).astype(float)
    weighted = zarn.PolynomialRegressor(**params).fit(X, y, sample_weight=w)
    rows = np.repeat(np.arange(len(y)), w.astype(int))
    repeated = zarn.PolynomialRegressor(**params, domain=weighted.domain_).fit(X[rows], y[rows])
    np.testing.assert_allclose(weighted.coef_, repeated.coef_, rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("method", ["ols", "penalized", "robust", "penalized robust"])
@pytest.mark.parametrize("factor", [8.0, 0.3])
def test_scaling_the_weights_changes_neither_coefficients_nor_standard_errors(method, factor):
    # Precision weights for every method (the robust fit's are lmrob's): an observation
    # of weight w has variance scale_**2 / w, so only the scale moves, by sqrt(factor).
    params = METHODS[method]
    X, y = cubic(150, seed=1, outliers=0.1 if params["method"] == "robust" else 0.0)
    w = np.random.default_rng(2).uniform(0.2, 3.0, len(y))
    base = zarn.PolynomialRegressor(**params).fit(X, y, sample_weight=w)
    scaled = zarn.PolynomialRegressor(**params).fit(X, y, sample_weight=factor * w)
    np.testing.assert_allclose(scaled.coef_, base.coef_, rtol=1e-7, atol=1e-9)
    np.testing.assert_allclose(scaled.stderr_, base.stderr_, rtol=1e-6)
    assert scaled.scale_ == pytest.approx(base.scale_ * np.sqrt(factor), rel=1e-7)
    if params["method"] == "robust":
        np.testing.assert_array_equal(scaled.inlier_mask_, base.inlier_mask_)


@pytest.mark.parametrize("method", ["penalized", "robust"])
@pytest.mark.parametrize("weights", ["gamma1", "both"])
def test_automatic_weights_do_not_depend_on_the_units_of_the_sample_weights(method, weights):
    X, y = cubic(120, seed=3)
    w = np.random.default_rng(4).uniform(0.5, 2.0, len(y))
    params = dict(method=method, gamma1="auto", gamma2="auto" if weights == "both" else 0.0)
    params.update(SMALL_SAMPLER if method == "robust" else {})
    fits = [zarn.PolynomialRegressor(**params).fit(X, y, sample_weight=c * w) for c in (1, 8)]
    # Both fits are free of the weights' units (to the precision of their iterations).
    rtol = 1e-6
    for name in ("gamma1_", "gamma2_", "coef_"):
        np.testing.assert_allclose(getattr(fits[0], name), getattr(fits[1], name), rtol=rtol)


def test_criteria_do_not_depend_on_the_units_of_the_sample_weights():
    X, y = cubic(100, seed=5, outliers=0.1)
    w = np.random.default_rng(6).uniform(0.5, 2.0, len(y))
    methods = ("ols", "penalized")  # the robust fit moves slightly with the units, above
    grid = dict(degrees=range(6), methods=methods, penalties=((0.0, 0.0), ("auto", 0.0)))
    one, many = (zarn.compare_models(X, y, sample_weight=c * w, **grid) for c in (1.0, 16.0))
    assert [(r.degree, r.method, r.penalty) for r in one.rows] == [
        (r.degree, r.method, r.penalty) for r in many.rows
    ]
    for a, b in zip(one.rows, many.rows):
        for column in ("rbic", "edf", "mdl", "gamma1", "hit_rate", "r2"):
            assert getattr(a, column) == pytest.approx(getattr(b, column), rel=1e-7, abs=1e-12)
        # The Gaussian criteria move by the same constant for every candidate.
        shift = one.rows[0].bic - many.rows[0].bic
        assert a.bic - b.bic == pytest.approx(shift, rel=1e-9, abs=1e-6)
        assert a.aic - b.aic == pytest.approx(shift, rel=1e-9, abs=1e-6)


def test_robust_bic_of_a_clean_weighted_fit_is_its_gaussian_expectation():
    # Precision weights: the noise of a sample of weight w has variance sigma^2 / w, so the
    # weighted residuals sqrt(w) r are homoscedastic and 2 rho of the standardised ones
    # averages E[2 rho(Z)] over a standard normal Z.
    rng = np.random.default_rng(7)
    n = 4000
    x = rng.uniform(-1.0, 1.0, n)
    w = rng.choice([1.0, 16.0], n)
    y = 1.0 - x + 2.0 * x**2 + rng.normal(0.0, 0.2, n) / np.sqrt(w)
    row = zarn.compare_models(x, y, degrees=[2], methods="ols", sample_weight=w).rows[0]
    z = np.random.default_rng(8).standard_normal(2_000_000)
    expected = float(np.mean(2.0 * loss(z)))
    assert (row.rbic - row.edf * np.log(n)) / n == pytest.approx(expected, rel=0.03)


def test_fit_many_negative_axis_equals_its_positive_axis():
    x = np.linspace(0.0, 1.0, 12)
    Y = np.random.default_rng(9).normal(size=(12, 12))  # square: a transposition is silent
    Y[3, 4] = np.nan
    model = zarn.PolynomialRegressor(degree=2, method="ols")
    positive = zarn.fit_many(x, Y, model, axis=1)
    negative = zarn.fit_many(x, Y, model, axis=-1)
    assert negative.axis == positive.axis == 1
    for name in ("coef", "stderr", "scale", "r2", "n_used"):
        np.testing.assert_array_equal(getattr(negative, name), getattr(positive, name))
    new = np.linspace(0.0, 1.0, 12)
    np.testing.assert_array_equal(negative.predict(new), positive.predict(new))
    # The layout of Y: one series per row along axis 1.
    single = zarn.PolynomialRegressor(degree=2, method="ols").fit(x[:, None], Y[0])
    np.testing.assert_allclose(positive.coef[0], single.coef_, rtol=1e-9)
    np.testing.assert_allclose(positive.predict(new)[0], single.predict(new[:, None]), rtol=1e-9)


@pytest.mark.parametrize("method", ["ols", "penalized", "robust"])
def test_row_permutations_change_no_fit(method):
    X, y = cubic(200, seed=10, outliers=0.1 if method == "robust" else 0.0)
    w = np.random.default_rng(11).uniform(0.5, 2.0, len(y))
    params = METHODS[method]
    order = np.random.default_rng(12).permutation(len(y))
    fit = zarn.PolynomialRegressor(**params).fit(X, y, sample_weight=w)
    shuffled = zarn.PolynomialRegressor(**params).fit(X[order], y[order], sample_weight=w[order])
    rtol = 1e-4 if method == "robust" else 1e-9
    np.testing.assert_allclose(shuffled.coef_, fit.coef_, rtol=rtol, atol=rtol)
    np.testing.assert_allclose(shuffled.stderr_, fit.stderr_, rtol=rtol)
    assert shuffled.scale_ == pytest.approx(fit.scale_, rel=rtol)
    if method == "robust":
        np.testing.assert_array_equal(shuffled.inlier_mask_, fit.inlier_mask_[order])


def test_fit_many_series_and_sample_permutations_change_no_fit():
    x = np.linspace(-1.0, 2.0, 30)
    rng = np.random.default_rng(13)
    Y = 1.0 + x[:, None] * rng.uniform(1, 2, 20) + rng.normal(0.0, 0.1, (30, 20))
    Y[rng.random(Y.shape) < 0.1] = np.nan
    w = rng.uniform(0.5, 2.0, 30)
    model = zarn.PolynomialRegressor(degree=2, gamma2=1e-3)
    fits = zarn.fit_many(x, Y, model, sample_weight=w)
    rows, cols = rng.permutation(30), rng.permutation(20)
    moved = zarn.fit_many(x[rows], Y[rows][:, cols], model, sample_weight=w[rows])
    for name in ("coef", "stderr", "scale", "r2"):
        np.testing.assert_allclose(getattr(moved, name), getattr(fits, name)[cols], rtol=1e-8)
    np.testing.assert_array_equal(moved.n_used, fits.n_used[cols])


@pytest.mark.parametrize("method", ["ols", "penalized", "robust"])
def test_xarray_square_grid_matches_the_estimator_series_by_series(method):
    xr = pytest.importorskip("xarray")
    import zarn.xarray

    size = 5  # every dimension of the same length: swapped axes give wrong numbers, no error
    rng = np.random.default_rng(14)
    t = np.arange(size, dtype=float)
    data = 1.0 + t * rng.uniform(1.0, 2.0, (size, size, 1)) + rng.normal(0, 0.1, (size,) * 3)
    da = xr.DataArray(
        data, dims=("lat", "lon", "time"), coords={"time": t, "lat": t + 10, "lon": t + 20}
    )
    da = da.transpose("time", "lon", "lat")  # the fitted dimension neither first nor last
    model = zarn.PolynomialRegressor(degree=1, method=method, **SMALL_SAMPLER)
    ds = zarn.xarray.fit(da, "time", model)
    new = xr.DataArray([0.5, 2.5], dims="time")
    predicted = zarn.xarray.predict(ds, new)
    assert ds.coef.dims == ("power", "lon", "lat") and predicted.dims == ("time", "lon", "lat")
    for lat in range(size):
        for lon in range(size):
            series = da.isel(lat=lat, lon=lon).values
            single = zarn.PolynomialRegressor(degree=1, method=method, **SMALL_SAMPLER)
            single.fit(t[:, None], series)
            got = ds.coef.isel(lat=lat, lon=lon).values
            np.testing.assert_allclose(got, single.coef_, rtol=1e-9, atol=1e-12)
            np.testing.assert_allclose(
                predicted.isel(lat=lat, lon=lon).values, single.predict([[0.5], [2.5]]), rtol=1e-9
            )
