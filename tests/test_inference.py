import warnings

import numpy as np
import pytest
import statsmodels.api as sm
from scipy import stats

from zarn import _lstsq
from zarn._lstsq import Penalty
from zarn._methods.ols import fit_ols
from zarn._methods.penalized import fit_penalized
from zarn._methods.robust import robust_uncertainty
from zarn._native import zarn_core as core
from zarn._quantiles import normal_quantile, t_quantile
from zarn._uncertainty import warn_if_rank_deficient
from zarn._validation import check_sample_weight, datetime_as_float
from zarn.exceptions import RankWarning

RTOL = 1e-8


def poly_design(x, degree):
    """Monomials of x mapped onto [-1, 1], as the estimator builds them."""
    z = 2.0 * (x - x.min()) / (x.max() - x.min()) - 1.0
    return core.design_matrix_1d(degree, z)


@pytest.fixture(scope="module")
def engel():
    data = sm.datasets.engel.load_pandas().data
    return data["income"].to_numpy(), data["foodexp"].to_numpy()


def simulated(n=120, degree=4, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-3, 5, n)
    y = np.sin(x) + 0.3 * rng.standard_normal(n)
    return poly_design(x, degree), y, rng.uniform(0.2, 4.0, n)


def statsmodels_fit(Phi, y, w):
    model = sm.OLS(y, Phi) if w is None else sm.WLS(y, Phi, weights=w)
    return model.fit()


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("data", ["simulated", "engel"])
def test_ols_equals_statsmodels(weighted, data, engel):
    if data == "engel":  # heteroscedastic: spread grows with income
        income, food = engel
        Phi, y, w = poly_design(income, 3), food, 1.0 / income**2
    else:
        Phi, y, w = simulated()
    w = w if weighted else None
    coef, u = fit_ols(Phi, y, w)
    ref = statsmodels_fit(Phi, y, w)
    np.testing.assert_allclose(coef, ref.params, rtol=RTOL)
    np.testing.assert_allclose(u.stderr, ref.bse, rtol=RTOL)
    cov = ref.cov_params()
    np.testing.assert_allclose(u.cov, cov, rtol=RTOL, atol=1e-14 * np.abs(cov).max())
    np.testing.assert_allclose(u.scale**2, ref.scale, rtol=RTOL)
    assert (u.df_resid, u.rank) == (ref.df_resid, Phi.shape[1])
    sw = np.sqrt(w) if weighted else np.ones(len(y))
    expected = np.linalg.svd(Phi * sw[:, None], compute_uv=False)
    np.testing.assert_allclose(u.singular_values, expected, rtol=1e-10)
    Phi0 = Phi[::7]
    mean = Phi0 @ coef
    frame = ref.get_prediction(Phi0, weights=np.ones(len(Phi0))).summary_frame(alpha=0.1)
    for kind, prefix in [("confidence", "mean_ci"), ("prediction", "obs_ci")]:
        low, high = u.bounds(Phi0, mean, level=0.9, kind=kind)
        np.testing.assert_allclose(low, frame[f"{prefix}_lower"], rtol=RTOL)
        np.testing.assert_allclose(high, frame[f"{prefix}_upper"], rtol=RTOL)


def test_prediction_interval_of_a_weighted_new_observation_equals_statsmodels():
    Phi, y, w = simulated()
    coef, u = fit_ols(Phi, y, w)
    ref = sm.WLS(y, Phi, weights=w).fit()
    new_w = np.linspace(0.5, 3.0, 6)
    frame = ref.get_prediction(Phi[:6], weights=new_w).summary_frame(alpha=0.05)
    low, high = u.bounds(Phi[:6], Phi[:6] @ coef, 0.95, "prediction", weights=new_w)
    np.testing.assert_allclose(low, frame.obs_ci_lower, rtol=RTOL)
    np.testing.assert_allclose(high, frame.obs_ci_upper, rtol=RTOL)


def test_ols_several_features_equals_statsmodels():
    data = sm.datasets.stackloss.load_pandas().data
    X = data[["AIRFLOW", "WATERTEMP", "ACIDCONC"]].to_numpy()
    Z = 2.0 * (X - X.min(0)) / (X.max(0) - X.min(0)) - 1.0
    indices = [[a, b, c] for a in range(3) for b in range(3) for c in range(3) if a + b + c <= 2]
    Phi = core.design_matrix_nd(indices, list(Z.T))
    coef, u = fit_ols(Phi, data["STACKLOSS"].to_numpy())
    ref = sm.OLS(data["STACKLOSS"].to_numpy(), Phi).fit()
    np.testing.assert_allclose(coef, ref.params, rtol=1e-7)
    np.testing.assert_allclose(u.stderr, ref.bse, rtol=RTOL)


@pytest.mark.parametrize(
    "make",
    [
        lambda Phi: np.column_stack([Phi, Phi[:, 1] - 2.0 * Phi[:, 2]]),  # dependent column
        lambda Phi: Phi[:5],  # more coefficients than samples
        lambda Phi: np.column_stack([Phi, np.zeros(len(Phi))]),  # a column of zeros
    ],
    ids=["dependent", "wide", "zero-column"],
)
def test_rank_deficient_qr_route_is_the_direct_minimum_norm_solution(make):
    Phi, y, _ = simulated(degree=6)
    Phi = make(Phi)
    y = y[: len(Phi)]
    coef, u = fit_ols(Phi, y)
    np.testing.assert_allclose(coef, core.ols(Phi, y), rtol=1e-9, atol=1e-10)
    assert u.rank == np.linalg.matrix_rank(Phi) < Phi.shape[1]
    with pytest.warns(RankWarning, match=f"rank {u.rank} for {Phi.shape[1]} coefficients"):
        warn_if_rank_deficient(u.rank, Phi.shape[1], u.n_obs)


def test_full_rank_design_does_not_warn():
    Phi, y, _ = simulated()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        u = fit_ols(Phi, y, None)[1]
        warn_if_rank_deficient(u.rank, Phi.shape[1], u.n_obs)


def test_blocked_qr_equals_one_factorisation():
    rng = np.random.default_rng(1)
    block = _lstsq.qr_block_rows(10)  # 9 columns and y
    batch = block * (_lstsq.QR_BATCH_ELEMENTS // (block * 10))
    n = 2 * batch + block + 7  # two whole batches; a block and a few rows in the last
    Phi = poly_design(rng.uniform(0, 1, n), 8)
    y = np.exp(Phi[:, 1]) + rng.standard_normal(n)
    coef, u = fit_ols(Phi, y)
    ref = sm.OLS(y, Phi).fit()
    np.testing.assert_allclose(coef, ref.params, rtol=1e-8)
    np.testing.assert_allclose(u.stderr, ref.bse, rtol=1e-8)


@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_weights_mean_dropped_and_repeated_samples(method):
    Phi, y, _ = simulated(n=80, degree=5)
    rng = np.random.default_rng(2)
    counts = rng.integers(0, 4, len(y))
    R1, R2 = core.smoothness_penalty_matrices_1d(5, -1.0, 1.0)

    def fit(Phi, y, w):
        if method == "ols":
            return fit_ols(Phi, y, w)
        return fit_penalized(Phi, y, w, Penalty(R1, R2, 1e-3, 1e-4, 1e-10))

    repeated = np.repeat(np.arange(len(y)), counts)
    coef, u = fit(Phi, y, counts.astype(float))
    np.testing.assert_allclose(coef, fit(Phi[repeated], y[repeated], None)[0], rtol=1e-9)
    kept = counts > 0
    dropped_coef, dropped = fit(Phi[kept], y[kept], counts[kept].astype(float))
    np.testing.assert_allclose(coef, dropped_coef, rtol=1e-12)
    assert u.n_obs == dropped.n_obs == kept.sum()
    np.testing.assert_allclose(u.stderr, dropped.stderr, rtol=1e-12)


@pytest.mark.parametrize("factor", [1e-300, 1e-3, 7.0, 1e300])
@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_scaling_the_weights_changes_only_the_scale(factor, method):
    Phi, y, w = simulated()
    R1, R2 = core.smoothness_penalty_matrices_1d(4, -1.0, 1.0)

    def fit(w):
        if method == "ols":
            return fit_ols(Phi, y, w)
        return fit_penalized(Phi, y, w, Penalty(R1, R2, 1e-3, 0.0, 0.0))

    coef, u = fit(w)
    coef_c, u_c = fit(w * factor)
    np.testing.assert_allclose(coef_c, coef, rtol=1e-9)
    np.testing.assert_allclose(u_c.stderr, u.stderr, rtol=1e-9)
    np.testing.assert_allclose(u_c.scale, u.scale * np.sqrt(factor), rtol=1e-9)


@pytest.mark.parametrize("size", [1e-250, 1e250])
def test_ols_of_huge_and_tiny_targets_scales_exactly(size):
    Phi, y, _ = simulated()
    coef, u = fit_ols(Phi, y)
    coef_s, u_s = fit_ols(Phi, y * size)
    np.testing.assert_allclose(coef_s, coef * size, rtol=1e-12)
    np.testing.assert_allclose(u_s.stderr, u.stderr * size, rtol=1e-12)


def test_ols_refuses_non_finite_y():
    Phi, y, _ = simulated()
    y[3] = np.nan
    with pytest.raises(ValueError, match="y contains NaN"):
        fit_ols(Phi, y)


def test_penalized_statistics_against_the_hat_matrix():
    Phi, y, w = simulated(n=60, degree=8)
    R1, R2 = core.smoothness_penalty_matrices_1d(8, -1.0, 1.0)
    g1, g2, ridge = 1e-3, 1e-4, 1e-10
    coef, u = fit_penalized(Phi, y, w, Penalty(R1, R2, g1, g2, ridge))
    sw = np.sqrt(w)
    n_w = w.sum()
    # The ridge is in the weights' units, as the gammas: times the mean weight.
    A = (Phi * w[:, None]).T @ Phi + n_w * (g1 * R1 + g2 * R2 + ridge / 60 * np.eye(9))
    np.testing.assert_allclose(coef, np.linalg.solve(A, Phi.T @ (w * y)), rtol=1e-8)
    hat = (sw[:, None] * Phi) @ np.linalg.solve(A, (sw[:, None] * Phi).T)
    np.testing.assert_allclose(u.edf, np.trace(hat), rtol=1e-10)
    assert 2.0 < u.edf < 9.0
    rss = np.sum(w * (y - Phi @ coef) ** 2)
    np.testing.assert_allclose(u.scale**2, rss / (60 - u.edf), rtol=1e-10)
    np.testing.assert_allclose(u.cov, u.scale**2 * np.linalg.inv(A), rtol=1e-8)


def test_penalized_without_penalty_is_ols():
    Phi, y, w = simulated()
    coef, u = fit_penalized(Phi, y, w, Penalty(None, None, 0.0, 0.0, 0.0))
    coef_o, u_o = fit_ols(Phi, y, w)
    np.testing.assert_allclose(coef, coef_o, rtol=1e-9)
    np.testing.assert_allclose(u.stderr, u_o.stderr, rtol=1e-9)
    np.testing.assert_allclose(u.edf, 5.0, rtol=1e-12)


def test_robust_covariance_uses_t_quantiles_as_lmrob():
    Phi, _, w = simulated()
    cov = np.diag(np.arange(1.0, 6.0)) * 0.01
    u = robust_uncertainty(Phi, w, cov, 0.5)
    np.testing.assert_allclose(u.cov, cov, rtol=1e-15)
    low, high = u.bounds(Phi[:3], np.zeros(3), level=0.95)
    se = np.sqrt(np.einsum("ij,jk,ik->i", Phi[:3], cov, Phi[:3]))
    np.testing.assert_allclose(high, stats.t.ppf(0.975, len(w) - 5) * se, rtol=1e-12)
    np.testing.assert_allclose(low, -high, rtol=1e-15)
    assert u.rank == 5 and u.df_resid == len(w) - 5


def test_no_residual_degrees_of_freedom_gives_nan_not_a_number():
    Phi, y, _ = simulated(degree=3)
    coef, u = fit_ols(Phi[:4], y[:4])
    assert u.df_resid == 0 and np.isnan(u.scale) and np.isnan(u.stderr).all()
    np.testing.assert_allclose(Phi[:4] @ coef, y[:4], rtol=1e-10)


@pytest.mark.parametrize(
    ("weight", "error", "match"),
    [
        ([1.0, -1.0, 1.0], ValueError, "Negative values"),
        ([1.0, np.nan, 1.0], ValueError, "NaN"),
        ([1.0, np.inf, 1.0], ValueError, "infinity"),
        ([1.0, 1.0], ValueError, r"expected \(3,\)"),
        ([[1.0, 1.0, 1.0]], ValueError, r"expected \(3,\)"),
        ([0.0, 0.0, 0.0], ValueError, "zero for every sample"),
        (["a", "b", "c"], ValueError, "not a number"),
    ],
)
def test_bad_sample_weight_is_refused(weight, error, match):
    with pytest.raises(error, match=match):
        check_sample_weight(weight, 3)


def test_sample_weight_forms():
    pd = pytest.importorskip("pandas")
    assert check_sample_weight(None, 3) is None
    np.testing.assert_array_equal(check_sample_weight(2, 3), [2.0, 2.0, 2.0])
    np.testing.assert_array_equal(check_sample_weight(pd.Series([1, 0, 3]), 3), [1, 0, 3])


LEVELS = np.array([0.5, 0.6, 0.8, 0.9, 0.95, 0.975, 0.99, 0.995, 0.999, 0.9995, 0.9999])
DFS = [1.0, 1.5, 2.0, 2.7, 3.0, 5.0, 9.99, 10.0, 12.5, 30.0, 100.0, 999.0, 1e3, 4.2e3, 1e4]
DFS += [99_999.0, 1e5, 3e5, 1e6]


@pytest.mark.parametrize("df", DFS)
def test_t_quantile_equals_scipy(df):
    p = np.concatenate([(1.0 + LEVELS) / 2.0, (1.0 - LEVELS) / 2.0])
    ours = np.array([t_quantile(pi, df) for pi in p])
    np.testing.assert_allclose(ours, stats.t.ppf(p, df), rtol=1e-12)


@pytest.mark.parametrize("df", [1.5, 4.0, 33.0])
@pytest.mark.parametrize("p", [0.5 + 1e-7, 0.501, 0.52, 1e-9, 1e-14])
def test_t_quantile_inverts_scipys_distribution_function(df, p):
    # Near the centre scipy's own quantile loses digits; its distribution function does not.
    t = t_quantile(p, df)
    np.testing.assert_allclose(stats.t.cdf(t, df), p, rtol=1e-12)


def test_quantile_edges():
    assert t_quantile(0.0, 3) == -np.inf and t_quantile(1.0, 3) == np.inf
    assert np.isnan(t_quantile(0.9, 0.0)) and np.isnan(t_quantile(np.nan, 3))
    assert np.isnan(t_quantile(1.5, 3)) and t_quantile(0.5, 7) == 0.0
    p = np.concatenate([np.logspace(-300, -1, 40), (1 + LEVELS) / 2])
    ours = np.array([normal_quantile(pi) for pi in p])
    np.testing.assert_allclose(ours, stats.norm.ppf(p), rtol=1e-14)


@pytest.mark.parametrize("bad", [0.0, 1.0, -0.5, 95, np.nan])
def test_level_outside_zero_one_is_refused(bad):
    Phi, y, _ = simulated()
    _, u = fit_ols(Phi, y)
    with pytest.raises(ValueError, match="level"):
        u.bounds(Phi, y, level=bad)
    with pytest.raises(ValueError, match="kind"):
        u.bounds(Phi, y, kind="credible")


def test_ols_intervals_cover_at_their_level():
    rng = np.random.default_rng(3)
    x = np.linspace(0.0, 1.0, 40)
    Phi = poly_design(x, 3)
    truth = np.exp(x)  # not a cubic, but close to one: coverage of the cubic's own mean
    truth_fit = Phi @ np.linalg.lstsq(Phi, truth, rcond=None)[0]
    conf = pred = 0
    for _ in range(300):
        y = truth_fit + 0.2 * rng.standard_normal(40)
        coef, u = fit_ols(Phi, y)
        low, high = u.bounds(Phi, Phi @ coef, 0.95, "confidence")
        conf += np.mean((low < truth_fit) & (truth_fit < high))
        new = truth_fit + 0.2 * rng.standard_normal(40)
        low, high = u.bounds(Phi, Phi @ coef, 0.95, "prediction")
        pred += np.mean((low < new) & (new < high))
    assert 0.93 < conf / 300 < 0.97 and 0.93 < pred / 300 < 0.97


UNITS = ["ns", "us", "ms", "s", "m", "h", "D", "W", "M", "Y", "10s"]


@pytest.mark.parametrize("unit", UNITS)
def test_datetimes_convert_as_xarray_does(unit):
    duck = pytest.importorskip("xarray.core.duck_array_ops")
    stamps = ["1999-03-04T05:06:07.123456789", "2024-12-31", "1901-06-01", "1970-01-01"]
    t = np.array(stamps, dtype="datetime64[ns]").astype(f"datetime64[{unit}]")
    epoch = np.datetime64("1970-01-01")
    expected = duck.datetime_to_numeric(t, offset=epoch, datetime_unit="ns")
    np.testing.assert_array_equal(datetime_as_float(t, "X"), expected)


@pytest.mark.parametrize(
    ("value", "match"),
    [
        (np.array([0, -1, 2], dtype="timedelta64[ns]").astype("m8[ns]"), None),
        (np.array([1, 2], dtype="timedelta64[M]"), "no fixed length"),
        (np.array(["2001-01-01", "NaT"], dtype="datetime64[s]"), "NaT"),
    ],
)
def test_durations_and_missing_times(value, match):
    if match is None:
        np.testing.assert_array_equal(datetime_as_float(value, "X"), [0.0, -1.0, 2.0])
        t = value.copy()
        t[1] = np.timedelta64("NaT")
        value, match = t, "Input X contains NaT"
    with pytest.raises(ValueError, match=match):
        datetime_as_float(value, "X")


def test_sub_nanosecond_units_and_other_input():
    ps = np.array([1500, -2500], dtype="timedelta64[ps]")
    np.testing.assert_array_equal(datetime_as_float(ps, "X"), [1.5, -2.5])
    values = [[1.0], [2.0]]
    assert datetime_as_float(values, "X") is values


# ------------------------------------------------------------------ the estimator

import zarn  # noqa: E402


def mapped(model, x):
    """The model's own mapped design at x (one feature)."""
    lo, hi = model.domain_[0]
    return core.design_matrix_1d(len(model.coef_) - 1, (2.0 * x - lo - hi) / (hi - lo))


@pytest.mark.parametrize("weighted", [False, True])
def test_estimator_ols_equals_statsmodels_on_engel(engel, weighted):
    income, food = engel
    w = 1.0 / income**2 if weighted else None
    model = zarn.PolynomialRegressor(degree=3, method="ols").fit(income[:, None], food, w)
    Phi = mapped(model, income)
    ref = statsmodels_fit(Phi, food, w)
    np.testing.assert_allclose(model.coef_, ref.params, rtol=RTOL)
    np.testing.assert_allclose(model.stderr_, ref.bse, rtol=RTOL)
    np.testing.assert_allclose(model.scale_**2, ref.scale, rtol=RTOL)
    assert (model.df_resid_, model.edf_, model.rank_) == (ref.df_resid, 4.0, 4)
    grid = np.linspace(income.min(), 2 * income.max(), 9)
    new_w = np.full(9, 1e-6)
    frame = ref.get_prediction(mapped(model, grid), weights=new_w).summary_frame(alpha=0.1)
    low, high = model.predict_interval(grid[:, None], level=0.9)
    np.testing.assert_allclose([low, high], [frame.mean_ci_lower, frame.mean_ci_upper], rtol=RTOL)
    low, high = model.predict_interval(
        grid[:, None], level=0.9, kind="prediction", sample_weight=new_w
    )
    np.testing.assert_allclose([low, high], [frame.obs_ci_lower, frame.obs_ci_upper], rtol=RTOL)


@pytest.mark.parametrize("method", ["ols", "penalized", "robust"])
def test_zero_weights_drop_samples_from_the_fit_and_the_domain(method):
    rng = np.random.default_rng(4)
    x = rng.uniform(0.0, 1.0, 60)
    y = np.cos(3 * x) + 0.05 * rng.standard_normal(60)
    extra_x, extra_y = np.array([-5.0, 7.0]), np.array([100.0, -50.0])
    params = {"degree": 4, "method": method, "gamma2": 1e-4, "n_chains": 4, "n_deep": 200}
    kept = zarn.PolynomialRegressor(**params).fit(x[:, None], y)
    weights = np.r_[np.ones(60), 0.0, 0.0]
    both = zarn.PolynomialRegressor(**params).fit(
        np.r_[x, extra_x][:, None], np.r_[y, extra_y], sample_weight=weights
    )
    np.testing.assert_array_equal(both.domain_, kept.domain_)
    np.testing.assert_allclose(both.coef_, kept.coef_, rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(both.stderr_, kept.stderr_, rtol=1e-12)


def test_rank_warning_for_more_coefficients_than_samples():
    # The example: a tensor cubic of 4 features has 256 coefficients.
    rng = np.random.default_rng(5)
    X = rng.uniform(size=(200, 4))
    y = X.sum(axis=1)
    with pytest.warns(RankWarning, match="rank 200 for 256 coefficients"):
        model = zarn.PolynomialRegressor(basis="tensor").fit(X, y)
    assert model.rank_ == 200 and len(model.singular_values_) == 200


def test_penalty_lowers_the_effective_number_of_parameters():
    Phi, y, _ = simulated()
    X = np.linspace(0.0, 1.0, len(y))[:, None]
    edf = [zarn.PolynomialRegressor(degree=8, gamma2=g).fit(X, y).edf_ for g in (0.0, 1e-5, 1e-2)]
    assert 8.99 < edf[0] <= 9.0 and edf[0] > edf[1] > edf[2] > 2.0


def test_intervals_without_residual_degrees_of_freedom_are_nan():
    model = zarn.PolynomialRegressor(degree=2, method="ols").fit([[0.0], [1.0], [2.0]], [1, 0, 2])
    assert model.df_resid_ == 0.0 and np.isnan(model.scale_)
    low, high = model.predict_interval([[0.5]])
    assert np.isnan(low).all() and np.isnan(high).all()


def test_predict_interval_arguments():
    model = zarn.PolynomialRegressor(degree=1, method="ols").fit([[0.0], [1.0], [2.0]], [0, 1, 3])
    with pytest.raises(ValueError, match="kind"):
        model.predict_interval([[0.5]], kind="credible")
    with pytest.raises(ValueError, match='kind="prediction" only'):
        model.predict_interval([[0.5]], sample_weight=[2.0])
    with pytest.raises(ValueError, match="level"):
        model.predict_interval([[0.5]], level=1.0)
    with pytest.raises(AttributeError):
        zarn.PolynomialRegressor().predict_interval([[0.5]])
    low, high = model.predict_interval(np.zeros((20000, 1)))  # in blocks
    assert low.shape == (20000,) and (low < high).all()


def test_robust_intervals_cover_the_curve_despite_outliers():
    rng = np.random.default_rng(6)
    x = rng.uniform(-1.0, 1.0, 300)
    truth = 1.0 - x + 0.5 * x**3
    y = truth + 0.1 * rng.standard_normal(300)
    y[:30] = rng.uniform(-10.0, 10.0, 30)  # 10 % gross outliers
    grid = np.linspace(-0.9, 0.9, 50)
    curve = 1.0 - grid + 0.5 * grid**3
    covered, width = {}, {}
    for method in ("robust", "ols"):
        model = zarn.PolynomialRegressor(degree=3, method=method).fit(x[:, None], y)
        low, high = model.predict_interval(grid[:, None])
        covered[method] = np.mean((low < curve) & (curve < high))
        width[method] = np.mean(high - low)
    # Least squares covers too, with intervals that the outliers widen more than tenfold.
    assert covered["robust"] >= 0.9 and width["robust"] < 0.2 * width["ols"]


@pytest.mark.parametrize("unit", ["s", "D", "ns"])
def test_datetime_inputs_fit_as_nanoseconds(unit):
    t = np.arange("2020-01-01", "2020-03-01", dtype="datetime64[D]").astype(f"datetime64[{unit}]")
    y = np.sin(np.arange(len(t)) / 9.0)
    model = zarn.PolynomialRegressor(degree=3, method="ols").fit(t[:, None], y)
    ns = datetime_as_float(t, "X")
    reference = zarn.PolynomialRegressor(degree=3, method="ols").fit(ns[:, None], y)
    np.testing.assert_array_equal(model.domain_, reference.domain_)
    np.testing.assert_array_equal(model.predict(t[:5, None]), reference.predict(ns[:5, None]))
    missing = np.array([0, 1, 2, 3], dtype="timedelta64[ns]")
    missing[1] = np.timedelta64("NaT")
    with pytest.raises(ValueError, match="NaT"):
        zarn.PolynomialRegressor(degree=1).fit(missing[:, None], [1.0, 2.0, 3.0, 4.0])


def test_compare_models_weights_equal_repeated_samples():
    rng = np.random.default_rng(7)
    x = rng.uniform(0.0, 1.0, 50)
    y = x**2 + 0.1 * rng.standard_normal(50)
    counts = rng.integers(0, 3, 50)
    weighted = zarn.compare_models(x, y, degrees=range(4), methods="ols", sample_weight=counts)
    repeated = zarn.compare_models(
        np.repeat(x, counts), np.repeat(y, counts), degrees=range(4), methods="ols"
    )
    for a, b in zip(weighted.rows, repeated.rows):
        assert a.degree == b.degree
        np.testing.assert_allclose([a.rmse, a.r2], [b.rmse, b.r2], rtol=1e-10)
    np.testing.assert_allclose(weighted.best_.coef_, repeated.best_.coef_, rtol=1e-10)
    assert weighted.n_samples == np.count_nonzero(counts)


# ----------------------------------------------- the deferred factor of penalised fits


@pytest.mark.parametrize(
    "columns, expected",
    [
        (lambda x: [np.ones_like(x), x, x**2, x**3], True),
        (lambda x: [x, 2.0 * x], False),  # exactly collinear
        (lambda x: [x, x + 1e-9 * x**2], False),  # collinear to rounding of the Gram
        (lambda x: [np.ones_like(x), x * 1e-120], False),  # sums outside the ordinary range
        (lambda x: [np.ones_like(x[:2]), x[:2], x[:2] ** 2], False),  # fewer rows than columns
    ],
)
def test_certainly_full_rank_never_vouches_for_a_deficient_design(columns, expected):
    x = np.linspace(-1.0, 1.0, 40)
    Phi = np.column_stack(columns(x))
    assert _lstsq.certainly_full_rank(Phi) is expected
    if expected:  # what it vouches for is what the rank rule finds
        assert _lstsq.singular_values(_lstsq.r_factor(Phi))[1] == Phi.shape[1]


def _penalized_fits(weights):
    """The same penalised fit with its factor deferred, and computed before the caller's
    array changes."""
    import zarn

    rng = np.random.default_rng(5)
    X = rng.uniform(-2, 3, (60, 1))
    y = np.sin(X[:, 0]) + rng.normal(scale=0.1, size=60)
    w = rng.uniform(0.5, 2.0, 60) if weights else None
    fits = []
    for at_once in (False, True):
        yy = y.copy()
        model = zarn.PolynomialRegressor(degree=4, gamma2=1e-3).fit(X, yy, sample_weight=w)
        if at_once:
            assert model._fits[0].fit.uncertainty.R is not None
        yy[:] = 0.0  # the caller's array changes before the uncertainty is asked for
        fits.append(model)
    return fits, X


@pytest.mark.parametrize("weights", [False, True])
@pytest.mark.parametrize("pickled", [False, True])
def test_deferred_factor_gives_the_same_bits(weights, pickled):
    import pickle

    (deferred, eager), X = _penalized_fits(weights)
    deferred_u, eager_u = (m._fits[0].fit.uncertainty for m in (deferred, eager))
    assert "R" not in vars(deferred_u) and "R" in vars(eager_u)
    if pickled:  # before first use: the deferred inputs travel with the model
        deferred = pickle.loads(pickle.dumps(deferred))
    for name in ("rank_", "singular_values_", "cov_", "stderr_", "scale_", "edf_", "df_resid_"):
        np.testing.assert_array_equal(getattr(deferred, name), getattr(eager, name), err_msg=name)
    for kind in ("confidence", "prediction"):
        np.testing.assert_array_equal(
            deferred.predict_interval(X, kind=kind), eager.predict_interval(X, kind=kind)
        )
