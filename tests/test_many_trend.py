"""Per-series covariances, trends and intervals of fit_many, against the estimator's fits
of each series alone and statsmodels."""

import numpy as np
import pytest

import zarn

N = 60
X = np.linspace(0.0, 30.0, N)  # "years"
SMALL = {"n_chains": 4, "n_warmup": 20, "n_deep": 50, "n_elite": 2}
MODELS = {
    "ols": zarn.PolynomialRegressor(degree=2, method="ols"),
    "penalized": zarn.PolynomialRegressor(degree=3, gamma2=1e-3),
    "robust": zarn.PolynomialRegressor(degree=2, method="robust", random_state=0, **SMALL),
}


def series(m, seed=0, gaps="some"):
    """(N, m) series: a quadratic trend per series, noise, a few outliers, and missing
    values: none, a few per series (the batched solve), or a long gap (fitted alone)."""
    rng = np.random.default_rng(seed)
    t = (X - X.mean()) / 15.0
    a = rng.normal(size=(3, m))
    Y = a[0] + a[1] * t[:, None] + a[2] * t[:, None] ** 2 + rng.normal(0, 0.2, (N, m))
    Y[rng.random((N, m)) < 0.03] += 4.0
    if gaps in ("some", "long"):
        Y[rng.random((N, m)) < 0.08] = np.nan
    if gaps == "long":
        Y[: N // 2, ::2] = np.nan
    return Y


def single(model, y, sample_weight=None):
    """The estimator's fit of one series on its own samples, on the shared domain."""
    used = np.isfinite(y)
    w = None if sample_weight is None else sample_weight[used]
    est = zarn.PolynomialRegressor(**{**model.get_params(), "domain": [(X.min(), X.max())]})
    return est.fit(X[used, None], y[used], sample_weight=w)


@pytest.mark.parametrize("method", list(MODELS))
@pytest.mark.parametrize("gaps", ["none", "some", "long"])
@pytest.mark.parametrize("weighted", [False, True], ids=["unweighted", "weighted"])
def test_covariances_equal_the_estimators_per_series(method, gaps, weighted):
    model = MODELS[method]
    m = 4 if method == "robust" else 12
    Y = series(m, gaps=gaps)
    w = np.random.default_rng(1).uniform(0.5, 2.0, N) if weighted else None
    fits = zarn.fit_many(X, Y, model, sample_weight=w)
    k = fits.coef.shape[1]
    assert fits.cov_packed.shape == (m, k * (k + 1) // 2) and fits.cov.shape == (m, k, k)
    for i in range(m):
        est = single(model, Y[:, i], w)
        cov = est.cov_
        np.testing.assert_allclose(fits.cov[i], cov, rtol=1e-8, atol=1e-10 * np.abs(cov).max())
        np.testing.assert_allclose(fits.cov[i], fits.cov[i].T, rtol=0, atol=0)
        rows, cols = np.triu_indices(k)
        np.testing.assert_array_equal(fits.cov_packed[i], fits.cov[i][rows, cols])
        assert fits.df[i] == pytest.approx(est.df_resid_, rel=1e-10)


def statsmodels_slope(x, y, at, degree):
    """statsmodels' slope at ``at`` and its standard error: the coefficient of (x - at)
    of the polynomial in (x - at)."""
    sm = pytest.importorskip("statsmodels.api")
    u = x - at
    res = sm.OLS(y, np.vander(u, degree + 1, increasing=True)).fit()
    return res.params[1], res.bse[1], res


@pytest.mark.parametrize("degree", [1, 2])
@pytest.mark.parametrize("per", [None, 10.0])
@pytest.mark.parametrize("gaps", ["none", "some", "long"])
def test_trend_equals_statsmodels(degree, per, gaps):
    Y = series(10, seed=degree, gaps=gaps)
    fits = zarn.fit_many(X, Y, zarn.PolynomialRegressor(degree=degree, method="ols"))
    trend, stderr = fits.trend(per=per)
    pvalue = fits.trend_pvalue()
    length = 1.0 if per is None else per
    for i in range(Y.shape[1]):
        used = np.isfinite(Y[:, i])
        want, want_se, res = statsmodels_slope(
            X[used] / length, Y[used, i], X.mean() / length, degree
        )
        assert trend[i] == pytest.approx(want, rel=1e-8, abs=1e-12)
        assert stderr[i] == pytest.approx(want_se, rel=1e-8)
        assert pvalue[i] == pytest.approx(res.pvalues[1], rel=1e-8, abs=1e-300)


@pytest.mark.parametrize("per, days", [("year", 365.2425), ("decade", 3652.425)])
def test_trend_of_dates_per_year_and_decade(per, days):
    time = np.arange("1990-01", "2010-01", dtype="datetime64[M]")
    Y = np.resize(series(5, seed=3, gaps="some"), (len(time), 5))
    fits = zarn.fit_many(time, Y, zarn.PolynomialRegressor(degree=2, method="ols"))
    at = np.datetime64("2001-07-01")
    trend, stderr = fits.trend(per=per, at=at)
    x = (time - np.datetime64("1970-01-01")) / np.timedelta64(1, "D") / days
    x0 = (at - np.datetime64("1970-01-01")) / np.timedelta64(1, "D") / days
    for i in range(5):
        used = np.isfinite(Y[:, i])
        want, want_se, _ = statsmodels_slope(x[used], Y[used, i], x0, 2)
        assert trend[i] == pytest.approx(want, rel=1e-8)
        assert stderr[i] == pytest.approx(want_se, rel=1e-8)
    same = fits.trend(per=np.timedelta64(int(days * 86400), "s"), at=at)
    np.testing.assert_allclose(same, (trend, stderr), rtol=1e-12)


@pytest.mark.parametrize("method", list(MODELS))
@pytest.mark.parametrize("kind", ["confidence", "prediction"])
@pytest.mark.parametrize("axis", [0, 1])
def test_predict_interval_equals_the_estimators(method, kind, axis):
    model = MODELS[method]
    m = 4 if method == "robust" else 10
    Y = series(m, seed=5, gaps="long")
    Y[:, 1] = np.nan  # no samples: NaN bounds
    k = model.degree + 1
    Y[:-k, 3] = np.nan  # as many samples as coefficients: below min_count, NaN bounds
    Y[-k:, 3] = np.arange(k)
    fits = zarn.fit_many(X, Y if axis == 0 else Y.T, model, axis=axis)
    x_new = np.array([-2.0, 3.5, 17.0, 31.0])
    low, high = fits.predict_interval(x_new, level=0.9, kind=kind)
    if axis == 1:
        low, high = low.T, high.T
    assert low.shape == (len(x_new), m)
    for i in range(m):
        if i in (1, 3):
            assert np.isnan(low[:, i]).all() and np.isnan(high[:, i]).all()
            continue
        want = single(model, Y[:, i]).predict_interval(x_new[:, None], level=0.9, kind=kind)
        scale = np.nanmax(np.abs(Y[:, i]))
        for got, expected in zip((low[:, i], high[:, i]), want):
            np.testing.assert_allclose(got, expected, rtol=1e-8, atol=1e-9 * scale)


def test_interval_of_the_slope_equals_statsmodels():
    Y = series(6, seed=7, gaps="some")
    fits = zarn.fit_many(X, Y, zarn.PolynomialRegressor(degree=1, method="ols"))
    low, high = fits.predict_interval([5.0, 25.0], level=0.95, derivative=1)
    for i in range(6):
        used = np.isfinite(Y[:, i])
        _, _, res = statsmodels_slope(X[used], Y[used, i], 0.0, 1)
        want = res.conf_int(alpha=0.05)[1]
        np.testing.assert_allclose(
            [low[:, i], high[:, i]], [[want[0]] * 2, [want[1]] * 2], rtol=1e-9
        )


def test_one_series_and_dask_input_give_the_same():
    da = pytest.importorskip("dask.array")
    Y = series(20, seed=9, gaps="long")
    model = MODELS["ols"]
    eager = zarn.fit_many(X, Y, model)
    lazy = zarn.fit_many(X, da.from_array(Y, chunks=(N, 7)), model)
    assert isinstance(lazy.cov, da.Array)
    np.testing.assert_allclose(lazy.cov.compute(), eager.cov, rtol=1e-12, atol=1e-15)
    for got, want in zip(lazy.trend(per=10.0, at=3.0), eager.trend(per=10.0, at=3.0)):
        assert isinstance(got, da.Array)
        np.testing.assert_allclose(got.compute(), want, rtol=1e-12)
    for got, want in zip(lazy.predict_interval(X[:5]), eager.predict_interval(X[:5])):
        np.testing.assert_allclose(got.compute(), want, rtol=1e-12)
    np.testing.assert_allclose(lazy.trend_pvalue().compute(), eager.trend_pvalue(), rtol=1e-12)
    one = zarn.fit_many(X, Y[:, 4], model)
    assert one.cov.shape == (1, 3, 3) and np.shape(one.trend()[0]) == ()
    np.testing.assert_allclose(one.trend(), [t[4] for t in eager.trend()], rtol=1e-12)
    np.testing.assert_allclose(
        one.predict_interval([1.0])[0], eager.predict_interval([1.0])[0][:, 4]
    )


@pytest.mark.parametrize(
    "x, call, error, match",
    [
        (X, lambda f: f.trend(per="year"), ValueError, "dates or durations"),
        (X, lambda f: f.trend(per=np.timedelta64(1, "D")), ValueError, "dates or durations"),
        (X, lambda f: f.trend(per=0.0), ValueError, "positive"),
        (X, lambda f: f.trend(per="week"), ValueError, "'year', 'decade'"),
        (X, lambda f: f.trend(per=[1.0]), TypeError, "per must be"),
        (X, lambda f: f.trend(at=[1.0, 2.0]), ValueError, "one position"),
        (X, lambda f: f.trend(at=np.nan), ValueError, "finite"),
        (X, lambda f: f.predict_interval(X, kind="prediction", derivative=1), ValueError, "new"),
        (X, lambda f: f.predict_interval(X, level=1.0), ValueError, "level"),
        (X, lambda f: f.predict_interval(X, kind="both"), ValueError, "kind"),
        (
            np.arange("2000-01", "2005-01", dtype="datetime64[M]"),
            lambda f: f.trend(),
            ValueError,
            "per is required",
        ),
        (np.column_stack([X, X[::-1] ** 2]), lambda f: f.trend(), ValueError, "one feature"),
    ],
)
def test_bad_trend_and_interval_arguments(x, call, error, match):
    Y = np.resize(series(3, gaps="none"), (len(x), 3))
    fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=1, method="ols"))
    with pytest.raises(error, match=match):
        call(fits)


# ----------------------------------------------------------------- harmonics, cov_type

MONTHS = np.arange("1990-01", "2010-01", dtype="datetime64[M]").astype("datetime64[D]")
COV_TYPES = [
    ("ols", None, None),
    ("ols", "HC0", None),
    ("ols", "HC3", None),
    ("ols", "HAC", {"maxlags": 4, "use_correction": True}),
    ("ols", "ar1", None),
    ("penalized", "HC1", None),
    ("penalized", "ar1", None),
    ("robust", None, None),
    ("robust", "H1", None),
]


def seasonal(m, seed=0):
    """Monthly series: a trend, an annual cycle, AR(1)-like noise, gaps and one series
    with a long gap (fitted alone)."""
    rng = np.random.default_rng(seed)
    n = len(MONTHS)
    t = np.arange(n) / 12.0
    noise = rng.normal(0, 0.3, (n, m))
    noise[1:] += 0.5 * noise[:-1]
    Y = 0.02 * t[:, None] + rng.uniform(0.5, 2, m) * np.sin(2 * np.pi * t)[:, None] + noise
    Y[rng.random(Y.shape) < 0.05] = np.nan
    Y[: n // 2, 1] = np.nan
    return Y


@pytest.mark.parametrize("method, cov_type, kwds", COV_TYPES)
@pytest.mark.parametrize("shuffled", [False, True], ids=["in order", "shuffled"])
def test_harmonics_and_cov_types_equal_the_estimators_per_series(method, cov_type, kwds, shuffled):
    extra = SMALL | {"random_state": 0} if method == "robust" else {}
    model = zarn.PolynomialRegressor(
        degree=1, method=method, harmonics=2, cov_type=cov_type, cov_kwds=kwds, **extra
    )
    Y = seasonal(4 if method == "robust" else 6)
    x = MONTHS
    if shuffled:  # the lags of HAC and ar1 follow the dates, not the rows
        order = np.random.default_rng(1).permutation(len(x))
        x, Y = x[order], Y[order]
    w = np.random.default_rng(2).uniform(0.5, 2.0, len(x)) if method == "ols" else None
    fits = zarn.fit_many(x, Y, model, sample_weight=w)
    assert fits.harmonic_labels == ["sin1", "cos1", "sin2", "cos2"] and fits.cov.shape[1:] == (6, 6)
    x_new = MONTHS[[0, 100, 239]]
    bounds = fits.predict_interval(x_new, kind="confidence")
    for i in range(Y.shape[1]):
        used = np.isfinite(Y[:, i])
        domain = [tuple(fits.domain[0])]
        est = zarn.PolynomialRegressor(**{**model.get_params(), "domain": domain})
        est.fit(x[used, None], Y[used, i], sample_weight=None if w is None else w[used])
        assert est.cov_type_ == fits.cov_type
        pairs = [
            (fits.coef[i], est.coef_),
            (fits.harmonic_coef[i], est.harmonic_coef_),
            (fits.stderr[i], est.stderr_),
            (fits.harmonic_stderr[i], est.harmonic_stderr_),
            (fits.cov[i], est.cov_),
            (fits.amplitude[i], est.amplitude_),
            (fits.phase[i], est.phase_),
            (fits.amplitude_stderr[i], est.amplitude_stderr_),
            (fits.phase_stderr[i], est.phase_stderr_),
        ]
        for got, want in pairs:
            np.testing.assert_allclose(got, want, rtol=1e-8, atol=1e-10 * np.abs(want).max())
        want_bounds = est.predict_interval(x_new[:, None], kind="confidence")
        np.testing.assert_allclose([b[:, i] for b in bounds], want_bounds, rtol=1e-9)
        np.testing.assert_allclose(fits.predict(x_new)[:, i], est.predict(x_new[:, None]))


@pytest.mark.parametrize(
    "cov_type, kwds", [("HC0", {}), ("HC2", {}), ("HC3", {}), ("HAC", {"maxlags": 6})]
)
def test_slope_stderr_of_cov_types_equals_statsmodels(cov_type, kwds):
    sm = pytest.importorskip("statsmodels.api")
    Y = seasonal(5, seed=4)
    model = zarn.PolynomialRegressor(
        degree=1, method="ols", harmonics=1, cov_type=cov_type, cov_kwds=kwds
    )
    fits = zarn.fit_many(MONTHS, Y, model)
    trend, stderr = fits.trend(per="year")
    pvalue = fits.trend_pvalue()
    days = (MONTHS - np.datetime64("1970-01-01")) / np.timedelta64(1, "D")
    angle = 2 * np.pi * days / 365.2425
    X = np.column_stack([np.ones(len(days)), days / 365.2425, np.sin(angle), np.cos(angle)])
    for i in range(5):
        used = np.isfinite(Y[:, i])
        res = sm.OLS(Y[used, i], X[used]).fit(cov_type=cov_type, cov_kwds=kwds)
        assert trend[i] == pytest.approx(res.params[1], rel=1e-8)
        assert stderr[i] == pytest.approx(res.bse[1], rel=1e-8)
        assert pvalue[i] == pytest.approx(res.pvalues[1], rel=1e-8, abs=1e-300)
        assert np.isinf(fits.df[i])  # normal quantiles, as statsmodels' default


def test_trend_pvalue_of_series_without_a_test():
    """A flat series (zero residuals) has an infinite t and p = 0; a series with too few
    samples for a residual degree of freedom has NaN, as its standard error."""
    y = np.column_stack([2.0 + 0.5 * X, np.where(np.arange(N) < 2, X, np.nan), series(1)[:, 0]])
    fits = zarn.fit_many(X, y, zarn.PolynomialRegressor(degree=1, method="ols"), min_count=2)
    pvalue = fits.trend_pvalue(at=5.0)
    assert pvalue[0] == pytest.approx(0.0, abs=1e-12) and np.isnan(pvalue[1])
    assert 0.0 <= pvalue[2] <= 1.0
