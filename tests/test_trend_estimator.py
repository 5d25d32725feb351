"""The estimator's seasonal harmonics and covariance types, against statsmodels.

The harmonic columns are built here from the dates themselves (days since 1970 over
365.2425), independently of the package, and the polynomial columns from the fitted
domain, so that ordinary least squares on them in statsmodels is the reference.
"""

import pickle

import numpy as np
import pytest

import zarn
from zarn._settings import InvalidParameterError

sm = pytest.importorskip("statsmodels.api")

YEAR_DAYS = 365.2425


def monthly(n_years=30, start="1990-01"):
    """Mid-month dates from ``start`` for ``n_years`` years."""
    months = np.arange(np.datetime64(start, "M"), np.datetime64(start, "M") + 12 * n_years)
    return months.astype("datetime64[D]") + np.timedelta64(14, "D")


def harmonic_regressors(phase, harmonics):
    """[sin(2 pi j phase), cos(2 pi j phase)] for j = 1..harmonics; phase in periods."""
    cols = []
    for j in range(1, harmonics + 1):
        cols += [np.sin(2 * np.pi * j * phase), np.cos(2 * np.pi * j * phase)]
    return np.column_stack(cols)


def regressors(model, x_float, phase):
    """The mapped polynomial columns of a fitted one-feature model, then its harmonics."""
    low, high = model.domain_[0]
    z = (2.0 * x_float - (low + high)) / (high - low)
    poly = np.column_stack([z**p for p in model.basis_[:, 0]])
    return np.column_stack([poly, harmonic_regressors(phase, model.harmonics)])


def seasonal_curve(n, phase):
    """A quadratic trend and two harmonics of amplitude 2 and 0.5."""
    u = np.linspace(-1.0, 1.0, n)
    y = 10.0 + 1.5 * u - 0.5 * u**2
    return y + 2.0 * np.cos(2 * np.pi * phase - 0.7) + 0.5 * np.sin(4 * np.pi * phase)


def seasonal_series(rng, n, phase, outliers=0.0):
    """The seasonal curve with Gaussian noise 0.3 and a share of cloud-like outliers."""
    y = seasonal_curve(n, phase) + rng.normal(scale=0.3, size=n)
    if outliers:
        bad = rng.random(n) < outliers
        y[bad] -= rng.uniform(3.0, 10.0, bad.sum())
    return y


@pytest.fixture(scope="module")
def dates_data():
    t = monthly()
    days = (t - np.datetime64("1970-01-01", "D")).astype(float)
    phase = days / YEAR_DAYS
    y = seasonal_series(np.random.default_rng(1), len(t), phase)
    return t, days * 86_400e9, phase, y


@pytest.fixture(scope="module")
def numeric_data():
    x = np.arange(240.0)
    y = seasonal_series(np.random.default_rng(2), len(x), x / 12.0)
    return x, x, x / 12.0, y


def assert_close(actual, expected, rtol=1e-8):
    np.testing.assert_allclose(actual, expected, rtol=rtol, atol=rtol * np.max(np.abs(expected)))


@pytest.mark.parametrize("data", ["dates_data", "numeric_data"])
@pytest.mark.parametrize("degree", [1, 2])
def test_ols_with_harmonics_is_statsmodels_ols(request, data, degree):
    x, x_float, phase, y = request.getfixturevalue(data)
    period = None if data == "dates_data" else 12.0
    model = zarn.PolynomialRegressor(degree, method="ols", harmonics=2, period=period)
    model.fit(x[:, None], y)
    ref = sm.OLS(y, regressors(model, x_float, phase)).fit()
    k = degree + 1
    assert model.harmonic_labels_ == ["sin1", "cos1", "sin2", "cos2"]
    assert_close(model.coef_, ref.params[:k])
    assert_close(model.harmonic_coef_, ref.params[k:])
    assert_close(model.stderr_, ref.bse[:k])
    assert_close(model.harmonic_stderr_, ref.bse[k:])
    assert_close(model.cov_, ref.cov_params())
    assert_close(model.predict(x[:, None]), ref.fittedvalues)
    # The harmonics' rows of the summary need no change of units: statsmodels' own.
    table = model.summary()
    assert table.terms[k:] == ("sin1", "cos1", "sin2", "cos2")
    assert_close(table.coef[k:], ref.params[k:])
    assert_close(table.pvalue[k:], ref.pvalues[k:], rtol=1e-6)
    assert "harmonic  amplitude" in str(table) and "<table>" in table._repr_html_()
    # amplitude 2 at phase 0.7 for the first harmonic (a cosine shifted by 0.7 radians)
    assert model.amplitude_[0] == pytest.approx(2.0, abs=0.1)
    assert model.phase_[0] == pytest.approx(0.7, abs=0.1)
    np.testing.assert_array_equal(table.amplitude, model.amplitude_)
    np.testing.assert_array_equal(table.phase_stderr, model.phase_stderr_)


def test_timedelta_period_equals_the_period_in_nanoseconds(dates_data):
    t, _, _, y = dates_data
    by_default = zarn.PolynomialRegressor(1, method="ols", harmonics=1).fit(t[:, None], y)
    year = np.timedelta64(31_556_952, "s")
    explicit = zarn.PolynomialRegressor(1, method="ols", harmonics=1, period=year)
    explicit.fit(t[:, None], y)
    assert by_default.period_ == explicit.period_ == 365.2425 * 86_400e9
    np.testing.assert_array_equal(by_default.harmonic_coef_, explicit.harmonic_coef_)


COV_TYPES = [
    ("HC0", None),
    ("HC1", None),
    ("HC2", None),
    ("HC3", None),
    ("HAC", None),
    ("HAC", {"maxlags": 3}),
    ("HAC", {"maxlags": 2, "use_correction": True}),
    ("HC1", {"use_t": True}),
    ("nonrobust", {"use_t": False}),
]


@pytest.mark.parametrize(("cov_type", "cov_kwds"), COV_TYPES)
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_cov_types_are_statsmodels(numeric_data, cov_type, cov_kwds, weighted, method):
    x, x_float, phase, y = numeric_data
    w = np.random.default_rng(3).uniform(0.2, 3.0, len(x)) if weighted else None
    model = zarn.PolynomialRegressor(
        2, method=method, harmonics=1, period=12.0, cov_type=cov_type, cov_kwds=cov_kwds
    )
    model.fit(x[:, None], y, sample_weight=w)
    Phi = regressors(model, x_float, phase)
    ols = sm.OLS(y, Phi) if w is None else sm.WLS(y, Phi, weights=w)
    kwds = dict(cov_kwds or {})
    use_t = kwds.pop("use_t", None)
    if cov_type == "HAC":  # statsmodels needs the lags: Newey and West's rule by default
        kwds.setdefault("maxlags", int(4 * (len(x) / 100) ** (2 / 9)))
    ref = ols.fit(cov_type=cov_type, cov_kwds=kwds, use_t=use_t)
    # "penalized" without penalty differs from least squares by its ridge (1e-10) only.
    rtol = 1e-8 if method == "ols" else 1e-7
    assert_close(model.cov_, ref.cov_params(), rtol)
    assert_close(np.r_[model.stderr_, model.harmonic_stderr_], ref.bse, rtol)
    assert model.cov_type_ == cov_type
    table = model.summary()
    assert_close(table.pvalue[3:], ref.pvalues[3:], 1e-6)
    low, high = ref.conf_int(0.1)[3:].T
    assert_close(model.summary(level=0.9).low[3:], low, 1e-7)
    assert_close(model.summary(level=0.9).high[3:], high, 1e-7)
    # Intervals of the curve: the covariance of the type with its quantiles.
    lo, hi = model.predict_interval(x[:5, None], level=0.9)
    frame = ref.get_prediction(Phi[:5]).summary_frame(alpha=0.1)
    assert_close(lo, frame["mean_ci_lower"].to_numpy(), 1e-7)
    assert_close(hi, frame["mean_ci_upper"].to_numpy(), 1e-7)


def test_ar1_inflates_by_the_effective_sample_size():
    # AR(1) noise with phi = 0.6 around a line: n_eff = n (1 - r1) / (1 + r1) from the
    # lag-1 autocorrelation of the residuals (statsmodels' acf), t with n_eff - k df.
    rng = np.random.default_rng(4)
    n = 360
    e = np.empty(n)
    e[0] = rng.normal()
    for i in range(1, n):
        e[i] = 0.6 * e[i - 1] + rng.normal()
    x = np.arange(n, dtype=float)
    y = 0.01 * x + e
    order = rng.permutation(n)  # given out of time order: the lags follow x
    plain = zarn.PolynomialRegressor(1, method="ols").fit(x[order, None], y[order])
    ar1 = zarn.PolynomialRegressor(1, method="ols", cov_type="ar1").fit(x[order, None], y[order])
    ref = sm.OLS(y, sm.add_constant(x)).fit()
    r1 = sm.tsa.acf(ref.resid, nlags=1)[1]
    n_eff = n * (1 - r1) / (1 + r1)
    assert_close(ar1.stderr_, plain.stderr_ * np.sqrt((n - 2) / (n_eff - 2)))
    assert ar1.summary().quantile_df == pytest.approx(n_eff - 2, rel=1e-10)
    assert "degrees of freedom; least-squares covariance with the AR(1)" in str(ar1.summary())


def test_penalties_leave_the_harmonics_unpenalised(numeric_data):
    # A huge curvature penalty makes the polynomial a line; the seasonal cycle is still
    # fitted in full, as by least squares on [1, z, sin, cos].
    x, x_float, phase, y = numeric_data
    model = zarn.PolynomialRegressor(3, harmonics=2, period=12.0, gamma2=1e6).fit(x[:, None], y)
    line = zarn.PolynomialRegressor(1, method="ols", harmonics=2, period=12.0)
    line.fit(x[:, None], y)
    np.testing.assert_allclose(model.harmonic_coef_, line.harmonic_coef_, atol=1e-4)
    assert model.amplitude_[0] == pytest.approx(2.0, abs=0.1)
    auto = zarn.PolynomialRegressor(3, harmonics=2, period=12.0, gamma2="auto")
    auto.fit(x[:, None], y)
    np.testing.assert_allclose(auto.amplitude_, [2.0, 0.5], atol=0.1)


def test_robust_with_harmonics_ignores_cloud_like_outliers(dates_data):
    t, x_float, phase, _ = dates_data
    rng = np.random.default_rng(5)
    y = seasonal_series(rng, len(t), phase, outliers=0.1)
    robust = zarn.PolynomialRegressor(2, method="robust", harmonics=2).fit(t[:, None], y)
    ols = zarn.PolynomialRegressor(2, method="ols", harmonics=2).fit(t[:, None], y)
    np.testing.assert_allclose(robust.amplitude_, [2.0, 0.5], atol=0.1)
    truth = seasonal_curve(len(t), phase)
    assert np.sqrt(np.mean((robust.predict(t[:, None]) - truth) ** 2)) < 0.1
    # least squares is pulled down by the outliers, the robust fit is not
    assert np.mean(ols.predict(t[:, None]) - robust.predict(t[:, None])) < -0.3
    assert robust.inlier_mask_.mean() == pytest.approx(0.9, abs=0.04)
    huber = zarn.PolynomialRegressor(2, method="robust", harmonics=2, cov_type="H1")
    huber.fit(t[:, None], y)
    np.testing.assert_array_equal(huber.coef_, robust.coef_)
    assert_close(huber.cov_, robust.cov_h1_)
    assert huber.summary().quantile_df == np.inf


@pytest.mark.parametrize("order", [1, 2])
@pytest.mark.parametrize("data", ["dates_data", "numeric_data"])
def test_derivatives_include_the_harmonics(request, data, order):
    x, _, _, y = request.getfixturevalue(data)
    period = None if data == "dates_data" else 12.0
    model = zarn.PolynomialRegressor(2, method="ols", harmonics=2, period=period)
    model.fit(x[:, None], y)
    X = np.asarray(x[10:20, None], dtype=float if period else "datetime64[ns]").astype(float)
    design, coef = model._fits[0].design, model._coef
    h = np.ptp(model.domain_[0]) * (1e-6 if order == 1 else 1e-5)
    f = lambda dx: design.predict(X + dx, coef)  # noqa: E731
    finite = (f(h) - f(-h)) / (2 * h) if order == 1 else (f(h) - 2 * f(0.0) + f(-h)) / h**2
    exact = design.predict(X, coef, derivative=(order,))
    np.testing.assert_allclose(exact, finite, rtol=1e-5, atol=1e-5 * np.abs(exact).max())
    assert np.abs(exact).max() > 0.0


@pytest.mark.parametrize(
    ("X", "params", "error", "match"),
    [
        ("two", {"harmonics": 1, "period": 12.0}, ValueError, "exactly one feature"),
        ("one", {"harmonics": 1}, ValueError, "period"),
        ("one", {"harmonics": -1}, InvalidParameterError, "'harmonics' parameter"),
        ("one", {"harmonics": 1, "period": -2.0}, InvalidParameterError, "'period' parameter"),
        ("one", {"harmonics": 1, "period": "year"}, InvalidParameterError, "'period'"),
        ("one", {"method": "robust", "cov_type": "HC3"}, ValueError, r"\('avar1', 'H1'\)"),
        ("one", {"method": "ols", "cov_type": "avar1"}, ValueError, "'HC0', 'HC1'"),
        ("one", {"method": "ols", "cov_type": "hc3"}, InvalidParameterError, "'cov_type'"),
        ("one", {"cov_type": "HC3", "cov_kwds": {"maxlags": 2}}, ValueError, "takes: use_t"),
        (
            "one",
            {"method": "robust", "cov_type": "H1", "cov_kwds": {"use_t": True}},
            ValueError,
            "no cov_kwds",
        ),
        ("one", {"cov_kwds": {"maxlags": 2}}, ValueError, "maxlags"),
        ("one", {"cov_type": 3}, InvalidParameterError, "'cov_type' parameter"),
        ("one", {"cov_type": "HAC", "cov_kwds": [1]}, InvalidParameterError, "'cov_kwds'"),
    ],
)
def test_invalid_parameters_raise(X, params, error, match):
    x = np.arange(20.0)
    X = x[:, None] if X == "one" else np.column_stack([x, x**2])
    with pytest.raises(error, match=match):
        zarn.PolynomialRegressor(1, **params).fit(X, np.sin(x))


def test_a_model_with_harmonics_is_no_polynomial(numeric_data):
    x, _, _, y = numeric_data
    model = zarn.PolynomialRegressor(1, harmonics=1, period=12.0).fit(x[:, None], y)
    with pytest.raises(ValueError, match="not a polynomial"):
        model.to_polynomial()
    plain = zarn.PolynomialRegressor(1).fit(x[:, None], y)
    assert not hasattr(plain, "amplitude_") and not hasattr(plain, "harmonic_coef_")


def test_parameters_clone_and_pickle(dates_data):
    sklearn_base = pytest.importorskip("sklearn.base")
    t, _, _, y = dates_data
    params = {"harmonics": 2, "period": np.timedelta64(365, "D"), "cov_type": "HAC"}
    params["cov_kwds"] = {"maxlags": 4}
    model = zarn.PolynomialRegressor(2, method="ols", **params)
    assert {k: model.get_params()[k] for k in params} == params
    twin = sklearn_base.clone(model).set_params(cov_kwds={"maxlags": 2})
    assert twin.get_params()["cov_kwds"] == {"maxlags": 2} and model.cov_kwds == {"maxlags": 4}
    assert "harmonics=2" in repr(model)
    model.fit(t[:, None], y)
    again = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(again.predict(t[:5, None]), model.predict(t[:5, None]))
    np.testing.assert_array_equal(again.harmonic_stderr_, model.harmonic_stderr_)
    np.testing.assert_array_equal(again.amplitude_stderr_, model.amplitude_stderr_)


@pytest.mark.parametrize(
    "params",
    [
        {"method": "ols", "cov_type": "HC3"},
        {"method": "penalized", "gamma2": 1e-3, "cov_type": "HAC"},
        {"method": "robust"},
    ],
)
def test_several_targets_equal_their_fits_alone(dates_data, params):
    t, _, _, y = dates_data
    Y = np.column_stack([y, y[::-1], 2 * y])
    model = zarn.PolynomialRegressor(2, harmonics=1, **params).fit(t[:, None], Y)
    for j in range(Y.shape[1]):
        alone = zarn.PolynomialRegressor(2, harmonics=1, **params).fit(t[:, None], Y[:, j])
        np.testing.assert_allclose(model.harmonic_coef_[j], alone.harmonic_coef_, rtol=1e-9)
        np.testing.assert_allclose(model.harmonic_stderr_[j], alone.harmonic_stderr_, rtol=1e-9)
        np.testing.assert_allclose(model.stderr_[j], alone.stderr_, rtol=1e-9)


def test_compare_models_counts_the_harmonics(dates_data):
    t, x_float, phase, y = dates_data
    cmp = zarn.compare_models(
        t, y, degrees=range(5), methods=["ols"], criterion="bic", harmonics=2, cov_type="HC1"
    )
    assert cmp.best_.harmonics == 2 and cmp.best_.cov_type_ == "HC1"
    assert cmp.best_.degree == 2
    for row in cmp.rows:
        assert row.k == row.degree + 1 + 4
    best = next(r for r in cmp.rows if r.degree == 2)
    ref = sm.OLS(y, regressors(cmp.best_, x_float, phase)).fit()
    assert best.aic == pytest.approx(ref.aic, rel=1e-10)
    assert best.bic == pytest.approx(ref.bic, rel=1e-10)


def test_co2_seasonal_cycle_and_trend():
    data = pytest.importorskip("statsmodels.datasets.co2").load_pandas().data["co2"].dropna()
    t = data.index.to_numpy()
    model = zarn.PolynomialRegressor(2, method="ols", harmonics=2).fit(t[:, None], data.values)
    # The Mauna Loa cycle: about 3 ppm from peak to mean.
    assert 2.0 < model.amplitude_[0] < 4.0
    assert model.amplitude_stderr_[0] < 0.05
    days = (t - np.datetime64("1970-01-01")) / np.timedelta64(1, "D")
    ref = sm.OLS(data.values, regressors(model, days * 86_400e9, days / YEAR_DAYS)).fit()
    assert_close(model.coef_, ref.params[:3])
    assert_close(model.harmonic_coef_, ref.params[3:])
    assert_close(model.stderr_, ref.bse[:3])


@pytest.mark.parametrize("cov_type", ["HC0", "HC1", "HC2", "HC3", "HAC", "ar1"])
@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_no_residual_degrees_of_freedom_give_nan_not_zero(cov_type, method):
    # Three samples, three coefficients: the residuals are 0 and say nothing of the noise
    # (HC0 and HAC would give standard errors of exactly 0, HC1 and HC3 divide by 0).
    x, y = np.arange(3.0), np.array([1.0, 2.5, 2.0])
    model = zarn.PolynomialRegressor(2, method=method, cov_type=cov_type).fit(x[:, None], y)
    low, high = model.predict_interval(x[:, None])
    assert np.isnan(model.stderr_).all() and np.isnan(model.cov_).all()
    assert np.isnan(low).all() and np.isnan(high).all()
    assert np.isnan(model.summary().pvalue).all()
