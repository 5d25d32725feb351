"""Edges where a fit has nothing left to judge by, weights of any magnitude, ill-conditioned
designs and errors that name the problem: each case gives NaN, an exact answer or a clear
error, never a confident wrong number."""

import warnings
from fractions import Fraction

import numpy as np
import pytest

import zarn
from zarn.exceptions import RankWarning

METHODS = ["ols", "penalized"]


def noise(n, seed=0):
    return np.random.default_rng(seed).normal(size=n)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("n", [3, 4])
def test_no_residual_degrees_of_freedom_gives_nan(method, n):
    x = np.arange(float(n))[:, None]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RankWarning)
        m = zarn.PolynomialRegressor(degree=n - 1, method=method).fit(x, noise(n))
    assert m.edf_ <= n
    assert m.df_resid_ == 0.0
    assert np.isnan(m.scale_) and np.isnan(m.stderr_).all()
    low, high = m.predict_interval(x, kind="prediction")
    assert np.isnan(low).all() and np.isnan(high).all()


def test_fit_many_without_residual_degrees_of_freedom_gives_nan_scale():
    x = np.arange(4.0)
    fits = zarn.fit_many(x, np.column_stack([noise(4), noise(4, 1)]), zarn.PolynomialRegressor())
    assert np.isnan(fits.scale).all() and np.isnan(fits.stderr).all()


@pytest.mark.parametrize("factor", [1e-6, 1e-3, 1e3])
def test_penalized_fit_does_not_depend_on_the_weights_scale(factor):
    rng = np.random.default_rng(1)
    x = np.linspace(0.0, 1.0, 30)[:, None]
    y = np.sin(6 * x[:, 0]) + rng.normal(scale=0.1, size=30)
    w = rng.uniform(0.5, 2.0, 30)
    model = zarn.PolynomialRegressor(degree=10)
    a = model.fit(x, y, sample_weight=w).predict(x)
    b = zarn.PolynomialRegressor(degree=10).fit(x, y, sample_weight=factor * w).predict(x)
    np.testing.assert_allclose(b, a, rtol=0, atol=1e-9)


def test_automatic_weight_treats_integer_weights_as_repeated_rows():
    rng = np.random.default_rng(2)
    x = np.linspace(0.0, 1.0, 30)
    y = np.sin(6 * x) + rng.normal(scale=0.2, size=30)
    k = rng.integers(1, 4, 30)
    a = zarn.PolynomialRegressor(degree=10, gamma2="auto").fit(x[:, None], y, sample_weight=k)
    b = zarn.PolynomialRegressor(degree=10, gamma2="auto").fit(
        np.repeat(x, k)[:, None], np.repeat(y, k)
    )
    # The search finds ln(gamma2) to 1e-3 (on grids that differ by the rows' count).
    assert a.gamma2_ == pytest.approx(b.gamma2_, rel=2e-3)
    np.testing.assert_allclose(a.predict(x[:, None]), b.predict(x[:, None]), atol=1e-5)


@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("weight", [2.0**1023, 1e300, 1e-300, 5e-324])
def test_weights_of_any_positive_magnitude_fit(method, weight):
    rng = np.random.default_rng(3)
    x = np.linspace(0.0, 1.0, 30)[:, None]
    y = 1.0 + x[:, 0] + rng.normal(scale=0.1, size=30)
    ref = zarn.PolynomialRegressor(degree=3, method=method).fit(x, y)
    m = zarn.PolynomialRegressor(degree=3, method=method).fit(
        x, y, sample_weight=np.full(30, weight)
    )
    np.testing.assert_allclose(m.coef_, ref.coef_, rtol=1e-9, atol=1e-12)
    # Precision weights: multiplying them all by a constant changes only the scale of an
    # observation of weight 1, not the coefficients' uncertainty.
    np.testing.assert_allclose(m.stderr_, ref.stderr_, rtol=1e-9)
    assert m.scale_ == pytest.approx(ref.scale_ * np.sqrt(weight), rel=1e-9)


def exact_ridge(Phi, y, ridge):
    """The ridge solution of (Phi, y) in exact rational arithmetic (the closed form)."""
    k = Phi.shape[1]
    P = [[Fraction(v) for v in row] for row in Phi]
    t = [Fraction(v) for v in y]
    M = [
        [sum(r[a] * r[b] for r in P) + (Fraction(ridge) if a == b else 0) for b in range(k)]
        + [sum(r[a] * v for r, v in zip(P, t))]
        for a in range(k)
    ]
    for c in range(k):  # Gauss-Jordan elimination, exact
        for r in range(k):
            if r != c and M[r][c]:
                f = M[r][c] / M[c][c]
                M[r] = [a - f * b for a, b in zip(M[r], M[c])]
    return np.array([float(M[i][k] / M[i][i]) for i in range(k)])


def digits(value, reference):
    return -np.log10(np.abs(value - reference).max() / np.abs(reference).max())


def longley_fit(ridge, method="penalized"):
    sm = pytest.importorskip("statsmodels.api")
    data = sm.datasets.longley.load_pandas()
    X, y = data.exog.to_numpy(), data.endog.to_numpy()
    model = zarn.PolynomialRegressor(degree=1, method=method, ridge=ridge).fit(X, y)
    lo, hi = np.asarray(model.domain_).T
    Phi = np.column_stack([np.ones(len(X)), (2 * X - lo - hi) / (hi - lo)])  # mapped design
    ols = sm.OLS(y, sm.add_constant(X)).fit().fittedvalues
    return model.predict(X), Phi, y, ols


def test_penalized_is_as_accurate_as_ols_on_longley():
    # The default ridge (1e-10) is part of the penalised fit's definition: its exact
    # solution differs from OLS's in the tenth digit on Longley. Both methods must get
    # their own problem's answer to within one digit of each other.
    yp_ols, Phi, y, ref = longley_fit(0.0, method="ols")
    yp, _, _, _ = longley_fit(1e-10)
    exact = Phi @ exact_ridge(Phi, y, 1e-10)
    assert digits(yp, exact) >= digits(yp_ols, ref) - 1.0
    yp0, _, _, _ = longley_fit(0.0)  # without the ridge the same problem as OLS
    assert digits(yp0, ref) >= digits(yp_ols, ref) - 1.0


@pytest.mark.parametrize("degree", [8, 12])
def test_more_coefficients_than_samples_give_the_exact_ridge_solution(degree):
    x = np.linspace(-1.0, 1.0, 6)
    y = noise(6)
    with pytest.warns(RankWarning, match="6 samples"):
        m = zarn.PolynomialRegressor(degree=degree).fit(x[:, None], y)
    b = exact_ridge(np.vander(x, degree + 1, increasing=True), y, 1e-10)
    np.testing.assert_allclose(m.coef_, b, rtol=0, atol=1e-12 * np.abs(b).max())
    assert m.edf_ <= 6.0 and m.df_resid_ == 0.0


@pytest.mark.parametrize("df", [1e-12, 1e-6, 1e-3, 7e-3, 0.05, 0.0, -1.0, np.nan, np.inf])
@pytest.mark.parametrize("p", [1e-300, 0.025, 0.4, 0.5, 0.975])
def test_t_quantile_never_raises(df, p):
    from zarn._quantiles import t_quantile

    q = t_quantile(p, df)
    if not df > 0.0:
        assert np.isnan(q)
    elif df == np.inf:
        stats = pytest.importorskip("scipy.stats")
        assert q == pytest.approx(stats.norm.ppf(p), rel=1e-12)
    elif p != 0.5:
        # Far tails of tiny df lie beyond the range of doubles: +-inf, never an error.
        assert np.sign(q) == np.sign(p - 0.5) and abs(q) > 1.0


@pytest.mark.parametrize(
    ("df", "p"), [(0.05, 0.3), (0.1, 0.025), (0.7, 1e-10), (0.7, 0.3), (3.3, 1e-10)]
)
def test_t_quantile_of_small_df_matches_scipy(df, p):
    stats = pytest.importorskip("scipy.stats")
    from zarn._quantiles import t_quantile

    assert t_quantile(p, df) == pytest.approx(stats.t.ppf(p, df), rel=1e-10)


@pytest.mark.parametrize("df", [0.3, 1.0, 2.5, 30.0, 358.0, 1e5, 1e8])
def test_t_tails_of_arrays_match_the_scalar_ones_and_scipy(df):
    stats = pytest.importorskip("scipy.stats")
    from zarn._quantiles import t_two_sided, t_two_sided_array

    t = np.concatenate(
        [[0.0, 1e-300, np.nan], np.geomspace(1e-8, 1e4, 60), -np.geomspace(0.1, 50, 9)]
    )
    got = t_two_sided_array(t, np.full(t.size, df))
    scalar = np.array([t_two_sided(v, df) for v in t])
    np.testing.assert_allclose(got, scalar, rtol=1e-12, atol=0)
    reference = 2.0 * stats.t.sf(np.abs(t), df)
    shown = reference > 1e-200  # scipy's own tails lose digits beyond
    np.testing.assert_allclose(got[shown], reference[shown], rtol=1e-8)
    assert np.isnan(got[2])


@pytest.mark.parametrize("method", METHODS)
def test_fit_many_routes_without_residual_degrees_of_freedom_give_nan(method):
    x = np.arange(5.0)
    Y = np.column_stack([noise(5), noise(5, 1), noise(5, 2)])
    Y[4, 1] = np.nan  # the missing-value route: 4 samples for 4 coefficients
    fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=3, method=method))
    assert np.isfinite(fits.scale[[0, 2]]).all()
    assert np.isnan(fits.scale[1]) and np.isnan(fits.stderr[1]).all()


@pytest.mark.parametrize("factor", [1e-6, 1e3])
def test_fit_many_weights_scale_free(factor):
    rng = np.random.default_rng(6)
    x = np.linspace(0.0, 1.0, 30)
    Y = np.sin(6 * x)[:, None] + rng.normal(scale=0.1, size=(30, 4))
    Y[3, 1] = np.nan  # the batched route of missing values too
    w = rng.uniform(0.5, 2.0, 30)
    model = zarn.PolynomialRegressor(degree=10)
    a = zarn.fit_many(x, Y, model, sample_weight=w)
    b = zarn.fit_many(x, Y, model, sample_weight=factor * w)
    np.testing.assert_allclose(b.predict(x), a.predict(x), rtol=0, atol=1e-9)


@pytest.mark.parametrize("method", METHODS)
def test_fit_many_warns_once_for_a_rank_deficient_shared_design(method):
    x = np.arange(9.0)
    Y = np.random.default_rng(4).normal(size=(9, 5))
    with pytest.warns(RankWarning, match="5 series") as record:
        fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=10, method=method))
    assert len([w for w in record if issubclass(w.category, RankWarning)]) == 1
    assert np.isnan(fits.stderr).all()


def test_xarray_warns_once_naming_the_series():
    xr = pytest.importorskip("xarray")
    import zarn.xarray

    da = xr.DataArray(
        np.random.default_rng(4).normal(size=(9, 2, 3)),
        dims=("x", "a", "b"),
        coords={"x": np.arange(9.0)},
    )
    ds = xr.Dataset({"u": da, "v": da.isel(b=0)})
    with pytest.warns(RankWarning, match="shared by 8 series") as record:
        fits = zarn.xarray.fit(ds, "x", zarn.PolynomialRegressor(degree=10))
    assert len([w for w in record if issubclass(w.category, RankWarning)]) == 1
    assert np.isnan(fits.u_stderr).all()


def test_xarray_errors_name_the_problem():
    xr = pytest.importorskip("xarray")
    import zarn.xarray

    nat = np.full(5, np.datetime64("NaT"), dtype="datetime64[ns]")
    da = xr.DataArray(np.arange(5.0), dims="time", coords={"time": nat})
    with pytest.raises(ValueError, match="coordinate 'time' holds no known position"):
        zarn.xarray.fit(da, "time")
    ds = xr.Dataset({"a": ("x", np.arange(5.0)), "label": ("x", np.array(list("abcde")))})
    with pytest.raises(ValueError, match="data variable 'label'"):
        zarn.xarray.fit(ds, "x")
    weights = xr.DataArray(np.ones(3), dims="x", coords={"x": [10.0, 11.0, 12.0]})
    with pytest.raises(ValueError, match="sample weights and the data share no label"):
        zarn.xarray.fit(ds[["a"]].assign_coords(x=np.arange(5.0)), "x", sample_weight=weights)
    with pytest.raises(ValueError, match="sample weights cannot be aligned .* sizes"):
        zarn.xarray.fit(ds[["a"]], "x", sample_weight=weights.drop_vars("x"))


def test_xarray_weights_are_aligned_by_label():
    xr = pytest.importorskip("xarray")
    sm = pytest.importorskip("statsmodels.api")
    import zarn.xarray

    rng = np.random.default_rng(7)
    x = np.arange(12.0)
    y = 1.0 + 0.5 * x + rng.normal(size=12)
    w = rng.uniform(0.5, 2.0, 12)
    da = xr.DataArray(y, dims="x", coords={"x": x})
    reversed_w = xr.DataArray(w[::-1], dims="x", coords={"x": x[::-1]})
    model = zarn.PolynomialRegressor(degree=1, method="ols")
    fits = zarn.xarray.fit(da, "x", model, sample_weight=reversed_w)
    wls = sm.WLS(y, sm.add_constant(x), weights=w).fit()
    slope = zarn.xarray.predict(fits, da.x[:1], derivative=1)
    assert float(slope.squeeze()) == pytest.approx(wls.params[1], rel=1e-10)


def test_many_features_few_samples_give_a_short_error():
    X = np.random.default_rng(0).normal(size=(50, 10_000))
    with pytest.raises(MemoryError, match="fit_many fits many series on shared positions") as e:
        zarn.PolynomialRegressor().fit(X, X[:, 0])
    assert len(str(e.value)) < 400
    assert "zarn.fit_groups" in str(e.value)
