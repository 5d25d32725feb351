"""The robust route of fit_many and zarn.xarray on the native engine; min_count; FitWarning."""

import warnings

import numpy as np
import pytest

import zarn
from zarn import _plans

SEED = 7


def cloudy(n=60, m=6, d=1, seed=0):
    """Positions (n, d) and series (n, m): a smooth surface, noise 0.1, 10 % of the samples
    pulled down by clouds (y - U(3, 10))."""
    rng = np.random.default_rng(seed)
    X = np.sort(rng.uniform(-2.0, 3.0, (n, d)), axis=0)
    Y = 1.0 + X.sum(axis=1)[:, None] * rng.uniform(0.5, 2.0, m) + 0.1 * rng.normal(size=(n, m))
    clouds = rng.random((n, m)) < 0.1
    Y[clouds] -= rng.uniform(3.0, 10.0, clouds.sum())
    return X, Y


def gaps(Y, seed=1):
    """5 % scattered NaN, a run at the start of series 1, infinity in series 2."""
    Y = Y.copy()
    Y[np.random.default_rng(seed).random(Y.shape) < 0.05] = np.nan
    Y[:15, 1] = np.nan
    Y[4, 2] = np.inf
    return Y


CASES = {
    "complete": {},
    "nan gaps": {"gaps": True},
    "zero shared weights": {"weights": "zeros"},
    "sample weights": {"weights": "uniform", "gaps": True},
    "tiny": {"size": 1e-300},
    "huge": {"size": 1e300},
    "huge with gaps": {"size": 1e300, "gaps": True},
    "penalised": {"gamma2": 0.01, "gaps": True},
    "two features": {"d": 2, "gaps": True},
}


def case_data(case):
    X, Y = cloudy(d=case.get("d", 1))
    if case.get("gaps"):
        Y = gaps(Y)
    Y[:, :3] *= case.get("size", 1.0)  # half the series of extreme size, among ordinary ones
    w = None
    if case.get("weights") == "zeros":
        w = np.ones(len(X))
        w[::5] = 0.0
    elif case.get("weights") == "uniform":
        w = np.random.default_rng(3).uniform(0.2, 5.0, len(X))
    model = zarn.PolynomialRegressor(
        degree=2, method="robust", gamma2=case.get("gamma2", 0.0), random_state=SEED
    )
    return X, Y, w, model


def estimator(model, domain, X, y, w):
    """The estimator's fit of one series alone on its present samples, on the shared domain."""
    used = np.isfinite(y)
    ref = zarn.PolynomialRegressor(**{**model.get_params(), "domain": domain})
    return ref.fit(X[used], y[used], sample_weight=None if w is None else w[used]), used


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_every_series_is_the_estimators_fit_bit_for_bit(case):
    X, Y, w, model = case_data(case)
    fits = zarn.fit_many(X, Y, model, sample_weight=w, mdl=w is None)
    assert fits.n_inliers.min() > 0 and (fits.n_inliers < fits.n_used).any()  # clouds flagged
    for j in range(Y.shape[1]):
        ref, used = estimator(model, fits.domain, X, Y[:, j], w)
        np.testing.assert_array_equal(fits.coef[j], ref.coef_)
        np.testing.assert_array_equal(fits.stderr[j], ref.stderr_)
        assert fits.scale[j] == ref.scale_ and fits.s_scale[j] == ref.s_scale_
        assert fits.n_inliers[j] == ref.inlier_mask_.sum()
        assert fits.n_used[j] == len(ref.inlier_mask_)
        sw = None if w is None else w[used]
        r2 = ref.score(X[used], Y[used, j], sample_weight=sw)
        assert fits.r2[j] == pytest.approx(r2, rel=1e-12, abs=1e-12)
        if w is None:
            assert fits.mdl[j] == ref.mdl_


def test_results_do_not_depend_on_blocks_threads_or_workers():
    X, Y = cloudy(m=40)
    Y = gaps(Y)
    model = zarn.PolynomialRegressor(degree=1, method="robust", random_state=SEED)
    one = zarn.fit_many(X, Y, model)
    for kwargs in ({"chunk_size": 3}, {"chunk_size": 7, "n_jobs": 2}):
        other = zarn.fit_many(X, Y, model, **kwargs)
        for name in ("coef", "stderr", "scale", "s_scale", "r2", "n_used", "n_inliers"):
            np.testing.assert_array_equal(getattr(other, name), getattr(one, name))


def test_plan_routes():
    X, _ = cloudy()
    route = {
        "robust": _plans.RobustPlan,
        "robust, automatic weights": _plans.EstimatorPlan,
        "ols": _plans.LinearPlan,
    }
    for label, kind in route.items():
        method = label.split(",")[0]
        gamma2 = "auto" if "automatic" in label else 0.0
        model = zarn.PolynomialRegressor(degree=2, method=method, gamma2=gamma2)
        plan = _plans.make_plan(X, zarn.many.model_settings(model), True, False)
        assert isinstance(plan, kind), label
        assert plan.threaded is (kind is not _plans.EstimatorPlan)


def test_xarray_carries_the_robust_diagnostics():
    xr = pytest.importorskip("xarray")
    trend = pytest.importorskip("zarn.xarray")
    X, Y = cloudy(m=6)
    Y = gaps(Y)
    da = xr.DataArray(Y.T.reshape(2, 3, -1), dims=("lat", "lon", "t"), coords={"t": X[:, 0]})
    model = zarn.PolynomialRegressor(degree=1, method="robust", random_state=None)
    ds = trend.fit(da, "t", model)
    fits = zarn.fit_many(X, Y, model.set_params(random_state=int(ds.attrs["seed"])))
    for name in ("scale", "s_scale", "n_inliers", "n_used"):
        np.testing.assert_array_equal(ds[name].values.reshape(-1), getattr(fits, name))
    np.testing.assert_array_equal(ds.coef.values.reshape(2, -1).T, fits.coef)
    assert (ds.s_scale >= ds.scale * 0.5).all()  # the M-step's scale, near the S-estimate's


@pytest.mark.slow  # a Dask cluster of two worker processes
def test_dask_blocks_are_the_numpy_results(client):
    da = pytest.importorskip("dask.array")
    Y = gaps(with_steps(30, [5]))
    model = zarn.PolynomialRegressor(degree=1, method="robust", random_state=SEED)
    with pytest.warns(zarn.FitWarning, match="1 of 30 series"):
        here = zarn.fit_many(STEP_X, Y, model)
    lazy = zarn.fit_many(STEP_X, da.from_array(Y, chunks=(len(Y), 8)), model)
    coef, s_scale, n_used = da.compute(lazy.coef, lazy.s_scale, lazy.n_used)
    np.testing.assert_array_equal(coef, here.coef)
    np.testing.assert_array_equal(s_scale, here.s_scale)
    np.testing.assert_array_equal(n_used, here.n_used)


# --- series that cannot be fitted -------------------------------------------------------

# Positions clustered about 0 within the domain [-1, 1], and a series that steps there
# between the ends of the range of doubles: the slope of every fit exceeds them.
STEP_X = np.concatenate([[-1.0], np.linspace(-0.01, 0.01, 28), [1.0]])
STEP = 1.7e308 * np.sign(STEP_X)


def with_steps(m, columns, seed=0):
    """Series at STEP_X (30, m): lines with noise, and the step in ``columns``."""
    rng = np.random.default_rng(seed)
    Y = 1.0 + STEP_X[:, None] * rng.uniform(1.0, 2.0, m) + 0.1 * rng.normal(size=(30, m))
    Y[:, columns] = STEP[:, None]
    return Y


@pytest.mark.parametrize(
    "model",
    [
        zarn.PolynomialRegressor(degree=1, method="ols"),
        zarn.PolynomialRegressor(degree=1, method="penalized", gamma2=1e-3),
        zarn.PolynomialRegressor(degree=1, method="robust", random_state=SEED),
        zarn.PolynomialRegressor(degree=1, method="robust", gamma1="auto", random_state=SEED),
    ],
    ids=["ols", "penalized", "robust", "robust auto"],
)
def test_unfittable_series_get_nan_and_one_warning_counts_them(model):
    Y = with_steps(8, [2, 5])
    Y[:, 6] = np.nan  # no samples: reported by n_used, not counted
    Y[2:, 7] = np.nan  # too few samples: likewise
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        fits = zarn.fit_many(STEP_X, Y, model)
    assert [w.category for w in caught] == [zarn.FitWarning]
    assert str(caught[0].message).startswith("2 of 8 series could not be fitted")
    bad = np.zeros(8, dtype=bool)
    bad[[2, 5, 6, 7]] = True
    assert np.isnan(fits.coef[bad]).all() and np.isnan(fits.r2[bad]).all()
    assert np.isfinite(fits.coef[~bad]).all()
    np.testing.assert_array_equal(fits.n_used, [30] * 6 + [0, 2])


def test_xarray_warns_once_for_all_variables():
    xr = pytest.importorskip("xarray")
    trend = pytest.importorskip("zarn.xarray")
    Y = with_steps(4, [1])
    ds = xr.Dataset({v: (("pixel", "t"), Y.T) for v in ("a", "b")}, coords={"t": STEP_X})
    model = zarn.PolynomialRegressor(degree=1, method="robust", random_state=SEED)
    with pytest.warns(zarn.FitWarning, match="^2 of 8 series") as caught:
        out = trend.fit(ds, "t", model)
    assert len(caught) == 1 and np.isnan(out.a_coef.values[:, 1]).all()


# --- min_count ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "model",
    [
        zarn.PolynomialRegressor(degree=3, method="ols"),
        zarn.PolynomialRegressor(degree=3),
        zarn.PolynomialRegressor(degree=3, method="robust", random_state=SEED),
        zarn.PolynomialRegressor(degree=3, gamma2="auto"),
    ],
    ids=["ols", "penalized", "robust", "auto"],
)
def test_min_count_leaves_short_series_unfitted(model):
    X, Y = cloudy(n=30, m=4)
    x = X[:, 0]
    Y[2:, 0] = np.nan  # 2 values at degree 3
    Y[4:, 1] = np.nan  # 4 values: as many as coefficients
    Y[5:, 2] = np.nan  # 5 values: one residual degree of freedom
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # too few samples is no failure
        fits = zarn.fit_many(x, Y, model)
    np.testing.assert_array_equal(fits.n_used, [2, 4, 5, 30])
    for name in ("coef", "stderr", "scale", "r2"):
        values = getattr(fits, name)
        assert np.isnan(values[:2]).all() and np.isfinite(values[2:]).all(), name
    loose = zarn.fit_many(x, Y, model, min_count=1)
    assert np.isfinite(loose.coef).all()
    strict = zarn.fit_many(x, Y, model, min_count=30)
    assert np.isnan(strict.coef[:3]).all() and np.isfinite(strict.coef[3]).all()
    np.testing.assert_array_equal(strict.n_used, fits.n_used)


def test_min_count_in_xarray():
    xr = pytest.importorskip("xarray")
    trend = pytest.importorskip("zarn.xarray")
    y = np.full((2, 10), np.nan)
    y[0] = np.arange(10.0)
    y[1, :2] = [1.0, 2.0]
    da = xr.DataArray(y, dims=("pixel", "t"))
    model = zarn.PolynomialRegressor(degree=3, method="ols")
    fits = trend.fit(da, "t", model)
    assert np.isnan(fits.coef.values[:, 1]).all() and np.isnan(fits.r2.values[1])
    assert fits.n_used.values.tolist() == [10, 2]
    assert np.isfinite(trend.fit(da, "t", model, min_count=2).coef.values).all()


@pytest.mark.parametrize(
    "value, error, match",
    [
        (0, ValueError, "min_count"),
        (-3, ValueError, "min_count"),
        (2.5, TypeError, "min_count"),
        (True, TypeError, "min_count"),
        ("3", TypeError, "min_count"),
    ],
)
def test_min_count_is_checked(value, error, match):
    with pytest.raises((ValueError, TypeError), match=match) as info:
        zarn.fit_many(np.arange(5.0), np.ones((5, 2)), min_count=value)
    assert isinstance(info.value, (ValueError, TypeError))
