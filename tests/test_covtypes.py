"""Covariance types against statsmodels' OLS/WLS(...).fit(cov_type=...) and closed forms."""

from __future__ import annotations

import math

import numpy as np
import pytest

from zarn._covtypes import check_cov_type, covariance, lag1_autocorrelation

sm = pytest.importorskip("statsmodels.api")
sw = pytest.importorskip("statsmodels.stats.sandwich_covariance")
stattools = pytest.importorskip("statsmodels.tsa.stattools")
stats = pytest.importorskip("scipy.stats")

RTOL = 1e-8


def _design(n: int, degree: int = 2) -> np.ndarray:
    return np.vander(np.linspace(-1.0, 1.0, n), degree + 1, increasing=True)


def _ar1(rng: np.random.Generator, shape: tuple[int, int], phi: float) -> np.ndarray:
    e = rng.normal(size=shape)
    out = np.empty(shape)
    out[:, 0] = e[:, 0] / math.sqrt(1.0 - phi**2)
    for t in range(1, shape[1]):
        out[:, t] = phi * out[:, t - 1] + e[:, t]
    return out


def _close(a: np.ndarray, b: np.ndarray) -> None:
    np.testing.assert_allclose(a, b, rtol=RTOL, atol=RTOL * np.abs(b).max())


CASES = [
    ("nonrobust", {}),
    ("HC0", {}),
    ("HC1", {}),
    ("HC2", {}),
    ("HC3", {}),
    ("HAC", {"maxlags": 0}),
    ("HAC", {"maxlags": 1}),
    ("HAC", {"maxlags": 5}),
    ("HAC", {"maxlags": 5, "use_correction": True}),
    ("HAC", {"maxlags": 12, "use_correction": True}),
]


@pytest.mark.parametrize(("cov_type", "cov_kwds"), CASES)
@pytest.mark.parametrize("weighted", [False, True])
def test_single_series_equals_statsmodels(cov_type, cov_kwds, weighted):
    rng = np.random.default_rng(1)
    n = 80
    X = _design(n)
    w = rng.uniform(0.2, 3.0, n) if weighted else None
    y = X @ [1.0, -2.0, 0.5] + _ar1(rng, (1, n), 0.5)[0] * np.linspace(0.5, 2.0, n)
    model = sm.WLS(y, X, weights=w) if weighted else sm.OLS(y, X)
    res = model.fit(cov_type=cov_type, cov_kwds=dict(cov_kwds))
    c = covariance(check_cov_type(cov_type, cov_kwds), X, res.resid, res.normalized_cov_params, w)
    _close(c.cov[0], res.cov_params())
    # The quantiles: statsmodels' conf_int, t for nonrobust, normal for the robust types.
    half = c.critical_value(0.95)[0] * c.stderr[0]
    _close(half, (res.conf_int(0.05)[:, 1] - res.conf_int(0.05)[:, 0]) / 2.0)


@pytest.mark.parametrize("use_correction", [False, True])
def test_hac_default_lags_follow_newey_west_rule(use_correction):
    rng = np.random.default_rng(2)
    n = 360  # floor(4 * 3.6**(2/9)) = 5 lags
    X = _design(n, 1)
    y = X @ [0.3, 1.0] + _ar1(rng, (1, n), 0.6)[0]
    res = sm.OLS(y, X).fit()
    expected = sw.cov_hac_simple(res, nlags=None, use_correction=use_correction)
    spec = check_cov_type("HAC", {"use_correction": use_correction})
    _close(covariance(spec, X, res.resid, res.normalized_cov_params).cov[0], expected)


def test_use_t_gives_t_quantiles_with_residual_df():
    rng = np.random.default_rng(3)
    X = _design(30, 1)
    y = rng.normal(size=30)
    res = sm.OLS(y, X).fit(cov_type="HC3", use_t=True)
    spec = check_cov_type("HC3", {"use_t": True})
    c = covariance(spec, X, res.resid, res.normalized_cov_params)
    assert c.df[0] == 28.0
    _close(c.critical_value(0.9) * c.stderr[0], (res.conf_int(0.1)[:, 1] - res.params))


@pytest.mark.parametrize(
    ("cov_type", "cov_kwds"),
    [("HC1", {}), ("HC3", {}), ("HAC", {"maxlags": 3, "use_correction": True}), ("HAC", {})],
)
@pytest.mark.parametrize("per_series_design", [False, True])
def test_batched_with_missing_samples_equals_statsmodels_on_the_rest(
    cov_type, cov_kwds, per_series_design
):
    rng = np.random.default_rng(4)
    m, n = 6, 70
    X = _design(n)
    designs = X[None] * rng.uniform(0.5, 1.5, (m, 1, 3)) if per_series_design else X
    Y = rng.normal(size=(m, n)) * rng.uniform(0.5, 2.0, (m, n))
    w = rng.uniform(0.5, 2.0, (m, n))
    w[rng.random((m, n)) < 0.15] = 0.0
    Y[w == 0.0] = np.nan  # missing samples may hold NaN
    breads, resid, expected = [], np.empty((m, n)), []
    for i in range(m):
        Xi = designs[i] if per_series_design else X
        keep = w[i] > 0
        model = sm.WLS(Y[i, keep], Xi[keep], weights=w[i, keep])
        if cov_type == "HAC" and "maxlags" not in cov_kwds:
            # statsmodels' fit needs maxlags; its HAC function applies the default rule.
            res = model.fit()
            expected.append(sw.cov_hac_simple(res, nlags=None, use_correction=False))
        else:
            res = model.fit(cov_type=cov_type, cov_kwds=dict(cov_kwds))
            expected.append(res.cov_params())
        breads.append(res.normalized_cov_params)
        resid[i] = Y[i] - Xi @ res.params
    c = covariance(check_cov_type(cov_type, cov_kwds), designs, resid, np.array(breads), w)
    _close(c.cov, np.array(expected))


def _ar1_expected(resid: np.ndarray, nonrobust: np.ndarray, k: int) -> tuple[np.ndarray, float]:
    n = resid.size
    r1 = max(stattools.acf(resid, nlags=1, fft=False)[1], 0.0)
    n_eff = n * (1.0 - r1) / (1.0 + r1)
    return nonrobust * (n - k) / (n_eff - k), n_eff - k


@pytest.mark.parametrize("phi", [0.0, 0.3, 0.8])
def test_ar1_inflates_by_effective_sample_size(phi):
    rng = np.random.default_rng(5)
    n = 120
    X = _design(n, 1)
    y = X @ [1.0, 0.5] + _ar1(rng, (1, n), phi)[0]
    res = sm.OLS(y, X).fit()
    cov, df = _ar1_expected(res.resid, res.cov_params(), 2)
    c = covariance(check_cov_type("ar1"), X, res.resid, res.normalized_cov_params)
    _close(c.cov[0], cov)
    assert c.df[0] == pytest.approx(df, rel=1e-12)
    assert c.critical_value(0.95)[0] == pytest.approx(stats.t.ppf(0.975, df), rel=1e-10)


def test_ar1_negative_autocorrelation_keeps_nonrobust():
    X = _design(40, 1)
    e = np.tile([1.0, -1.0], 20) + np.linspace(-0.1, 0.1, 40)
    res = sm.OLS(e, X).fit()
    c = covariance(check_cov_type("ar1"), X, res.resid, res.normalized_cov_params)
    _close(c.cov[0], res.cov_params())
    assert c.n_eff[0] == 40


def test_ar1_without_effective_degrees_of_freedom_is_nan():
    # A smooth residual: r1 near 1, n_eff far below the 3 coefficients.
    X = _design(50)
    resid = np.sin(np.linspace(0.0, 3.0, 50))
    c = covariance(check_cov_type("ar1"), X, resid, np.linalg.inv(X.T @ X))
    assert c.n_eff[0] < 3
    assert np.isnan(c.cov).all() and np.isnan(c.df).all()


def test_lag1_autocorrelation_equals_acf_over_valid_samples():
    rng = np.random.default_rng(6)
    e = _ar1(rng, (3, 90), 0.4)
    valid = rng.random((3, 90)) > 0.2
    got = lag1_autocorrelation(np.where(valid, e, 7.0), valid)
    want = [stattools.acf(e[i, valid[i]], nlags=1, fft=False)[1] for i in range(3)]
    np.testing.assert_allclose(got, want, rtol=1e-12)


@pytest.mark.slow  # 4000 simulated series of 360 samples: a few seconds
def test_ar1_covers_slope_for_ar1_noise():
    # phi = 0.6, n = 360, degree 1: the 95 % interval's coverage over N = 4000 series has a
    # binomial standard error of sqrt(0.95 * 0.05 / 4000) = 0.0034, so 0.92-0.97 holds
    # with margin when the true coverage is near 0.94 (nonrobust covers about 0.70).
    rng = np.random.default_rng(7)
    m, n, slope = 4000, 360, 0.25
    X = _design(n, 1)
    Y = X @ [1.0, slope] + _ar1(rng, (m, n), 0.6)
    bread = np.linalg.inv(X.T @ X)
    coef = Y @ X @ bread
    resid = Y - coef @ X.T
    covered = {}
    for name in ("ar1", "nonrobust"):
        c = covariance(check_cov_type(name), X, resid, bread)
        half = c.critical_value(0.95) * c.stderr[:, 1]
        covered[name] = np.mean(np.abs(coef[:, 1] - slope) <= half)
    assert 0.92 <= covered["ar1"] <= 0.97
    assert covered["nonrobust"] < 0.8


@pytest.mark.parametrize(
    ("cov_type", "cov_kwds", "error", "match"),
    [
        ("HC4", None, ValueError, r"cov_type must be one of \('nonrobust', 'HC0'"),
        (3, None, TypeError, "cov_type must be a string"),
        ("HC0", {"maxlags": 2}, ValueError, r"\['maxlags'\] are not keywords of cov_type='HC0'"),
        ("ar1", {"use_t": True}, ValueError, r"takes: none"),
        ("HAC", {"maxlag": 2}, ValueError, "takes: maxlags, kernel, use_correction, use_t"),
        ("HAC", {"maxlags": -1}, ValueError, "maxlags'\\] must be an integer >= 0"),
        ("HAC", {"maxlags": 2.5}, ValueError, "maxlags'\\] must be an integer >= 0"),
        ("HAC", {"kernel": "uniform"}, ValueError, "must be 'bartlett'"),
        ("HAC", {"use_correction": 1}, ValueError, "must be True or False"),
        ("HC1", [("use_t", True)], TypeError, "cov_kwds must be a dict or None"),
    ],
)
def test_invalid_cov_type_or_keywords(cov_type, cov_kwds, error, match):
    with pytest.raises(error, match=match):
        check_cov_type(cov_type, cov_kwds)


def test_names_match_without_case():
    assert check_cov_type("hc3").name == "HC3"
    assert check_cov_type("Hac", {"maxlags": 2}).maxlags == 2
    assert check_cov_type("AR1").name == "ar1"
