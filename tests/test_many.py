import importlib
import pickle
import socket
import warnings

import numpy as np
import pytest

import zarn
from conftest import start_cluster
from zarn import _batched, _design, _plans
from zarn._settings import validate_params
from zarn.exceptions import RankWarning

# The shared-solve routes agree with fitting each series alone to within this, relative to
# the series' largest coefficient (the documented tolerance of fit_many).
RTOL = 1e-9


def alone(model, domain, x, y):
    """The reference: the series fitted by itself with the shared domain."""
    used = np.isfinite(y)
    X = x.reshape(len(x), -1)[used]
    with warnings.catch_warnings():  # series of fewer samples than coefficients
        warnings.simplefilter("ignore", RankWarning)
        return zarn.PolynomialRegressor(**{**model.get_params(), "domain": domain}).fit(X, y[used])


def series(n=80, m=40, seed=0, d=1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-3.0, 7.0, (n, d)) if d > 1 else np.linspace(-3.0, 7.0, n)
    t = x if d == 1 else x.sum(axis=1)
    Y = 1.0 + np.outer(t, rng.normal(size=m)) + np.outer(t**3, rng.normal(size=m)) * 0.05
    return x, Y + rng.normal(scale=0.3, size=(n, m))


def with_missing(Y, seed=1, rate=0.1):
    """NaN patterns: scattered, a block at the start, all missing, one sample left, inf."""
    Y = Y.copy()
    rng = np.random.default_rng(seed)
    Y[rng.random(Y.shape) < rate] = np.nan
    Y[: len(Y) // 2, 1] = np.nan  # high leverage: fitted alone
    Y[:, 2] = np.nan
    Y[1:, 3] = np.nan
    Y[5, 4] = np.inf
    Y[7, 4] = -np.inf
    return Y


MODELS = [
    zarn.PolynomialRegressor(degree=3, method="ols"),
    zarn.PolynomialRegressor(degree=8, method="ols"),
    zarn.PolynomialRegressor(degree=3, method="penalized", gamma1=0.01, gamma2=0.001),
    zarn.PolynomialRegressor(degree=6, method="penalized"),
    zarn.PolynomialRegressor(degree=2, method="ols", harmonics=2, period=2.5),
    # More coefficients than the batched solves' sweep takes: LAPACK's factorisations.
    zarn.PolynomialRegressor(degree=3, method="ols", harmonics=5, period=2.5),
    zarn.PolynomialRegressor(degree=3, method="penalized", harmonics=5, period=2.5),
]


@pytest.mark.parametrize("model", MODELS, ids=repr)
@pytest.mark.parametrize("missing", [False, True])
def test_shared_solve_agrees_with_each_series_alone(model, missing):
    x, Y = series()
    if missing:
        Y = with_missing(Y)
    # min_count=1: a series of one sample is fitted too, as the estimator fits it.
    fits = zarn.fit_many(x, Y, model, mdl=True, min_count=1)
    for j in range(Y.shape[1]):
        finite = np.isfinite(Y[:, j])
        assert fits.n_used[j] == finite.sum()
        if not finite.any():
            assert np.isnan(fits.coef[j]).all() and np.isnan(fits.mdl[j])
            continue
        ref = alone(model, fits.domain, x, Y[:, j])
        scale = np.abs(ref.coef_).max()
        np.testing.assert_allclose(fits.coef[j], ref.coef_, rtol=0, atol=RTOL * scale)
        np.testing.assert_allclose(fits.mdl[j], ref.mdl_, rtol=RTOL)


@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_series_fitted_alone_match_bit_for_bit(method):
    # Half the samples missing at one end: too much leverage for the batched solve, so the
    # series takes the one-by-one route, which is exactly the single fit.
    x, Y = series(m=3)
    Y[:40, 0] = np.nan
    Y[:, 1] = Y[:, 0]
    model = zarn.PolynomialRegressor(degree=4, method=method, gamma1=0.1)
    fits = zarn.fit_many(x, Y, model, mdl=True)
    ref = alone(model, fits.domain, x, Y[:, 0])
    np.testing.assert_array_equal(fits.coef[0], ref.coef_)
    np.testing.assert_array_equal(fits.stderr[0], ref.stderr_)
    assert fits.scale[0] == ref.scale_ and fits.mdl[0] == ref.mdl_
    assert fits.r2[0] == pytest.approx(ref.score(x[40:, None], Y[40:, 0]), rel=1e-12)


@pytest.mark.parametrize("scale", [1e-150, 1e150])
@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_huge_and_tiny_series_are_fitted_as_alone(scale, method):
    x, Y = series(m=3)
    Y[:, 1] = Y[:, 0]
    Y[:, 1:] *= scale
    Y[5, 2] = np.nan
    model = zarn.PolynomialRegressor(degree=3, method=method, gamma1=0.1)
    fits = zarn.fit_many(x, Y, model, mdl=True)
    assert np.isfinite(fits.coef).all() and np.isfinite(fits.mdl).all()
    for j in (1, 2):
        ref = alone(model, fits.domain, x, Y[:, j])
        np.testing.assert_array_equal(fits.coef[j], ref.coef_)
        np.testing.assert_array_equal(fits.stderr[j], ref.stderr_)
        assert fits.mdl[j] == ref.mdl_
    ref = alone(model, fits.domain, x, Y[:, 0])
    np.testing.assert_allclose(fits.coef[0], ref.coef_, atol=RTOL * np.abs(ref.coef_).max())
    # Least squares is homogeneous in y: series 1 is series 0 times the scale.
    for name in ("stderr", "scale"):
        got, want = getattr(fits, name)[1], getattr(fits, name)[0] * scale
        np.testing.assert_allclose(got, want, rtol=1e-9)
    assert fits.r2[1] == pytest.approx(fits.r2[0], rel=1e-12)


def test_domain_is_shared_and_from_the_model():
    x, Y = series(m=3)
    Y[-10:, 0] = np.nan  # a series that does not reach x's maximum keeps x's domain
    fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=2))
    np.testing.assert_array_equal(fits.domain, [[x.min(), x.max()]])
    fixed = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=2, domain=(-10, 10)))
    np.testing.assert_array_equal(fixed.domain, [[-10.0, 10.0]])
    np.testing.assert_allclose(fixed.predict(x), fits.predict(x), rtol=1e-9, atol=1e-9)


def test_several_features_total_basis():
    x, Y = series(n=120, m=10, d=2)
    Y = with_missing(Y)
    model = zarn.PolynomialRegressor(degree=(2, 3), basis="total", method="ols")
    fits = zarn.fit_many(x, Y, model)
    assert fits.coef.shape == (10, len(fits.basis))
    j = 0
    ref = alone(model, fits.domain, x, Y[:, j])
    np.testing.assert_allclose(fits.coef[j], ref.coef_, atol=RTOL * np.abs(ref.coef_).max())
    np.testing.assert_allclose(fits.predict(x[:5])[:, j], ref.predict(x[:5]), rtol=1e-9)


@pytest.mark.parametrize("n", [50, 51])  # even and odd medians
@pytest.mark.parametrize("penalized", [False, True])
def test_vectorised_mdl_equals_the_core(n, penalized):
    rng = np.random.default_rng(n)
    x, Y = series(n=n, m=30)
    Y = np.round(Y, 1)  # ties and residuals on the tolerance's edge
    Y[:, 0] = 2.0  # MAD 0: tolerance 0.4
    gamma1 = 0.3 if penalized else 0.0
    model = zarn.PolynomialRegressor(degree=3, method="penalized", gamma1=gamma1)
    plan = _plans.make_plan(x.reshape(-1, 1), validate_params(model), True, True)
    coef = rng.normal(size=(30, plan.k))
    used = rng.random(Y.shape[::-1]) > 0.2
    used[:, :3] = True
    for mask in (None, used):
        Yt = Y.T.copy() if mask is None else np.where(mask, Y.T, np.nan)
        n_used = None if mask is None else mask.sum(axis=1)
        got = _batched.mdl_rows(plan, coef, Yt, n_used)
        for i in range(30):
            keep = slice(None) if mask is None else mask[i]
            yp = (plan.Phi @ coef[i])[keep]
            want = zarn.mdl_score(yp, Yt[i][keep], plan.k, plan.H)
            if penalized:
                R1, R2 = plan.penalty.R1, plan.penalty.R2
                want = zarn.mdl_score_reg(
                    yp, Yt[i][keep], plan.k, plan.H, coef[i], R1, R2, gamma1, 0.0
                )
                assert got[i] == pytest.approx(want, rel=1e-13)
            else:
                assert got[i] == want


def test_skipna_false_spares_the_complete_series():
    x, Y = series()
    Y = with_missing(Y, rate=0.003)
    model = zarn.PolynomialRegressor(degree=3)
    strict = zarn.fit_many(x, Y, model, skipna=False, mdl=True)
    lenient = zarn.fit_many(x, Y, model, mdl=True)
    complete = np.isfinite(Y).all(axis=0)
    assert complete.any() and not complete.all()
    assert np.isnan(strict.coef[~complete]).all() and np.isnan(strict.mdl[~complete]).all()
    assert (strict.n_used[~complete] == 0).all()
    assert (strict.n_used[complete] == len(x)).all()
    np.testing.assert_array_equal(strict.coef[complete], lenient.coef[complete])


def test_layouts_axis_and_one_series():
    x, Y = series(m=6)
    model = zarn.PolynomialRegressor(degree=3, method="ols")
    by_column = zarn.fit_many(x, Y, model)
    by_row = zarn.fit_many(x, Y.T, model, axis=1)
    one = zarn.fit_many(x, Y[:, 2], model)
    np.testing.assert_allclose(by_row.coef, by_column.coef, rtol=1e-12)
    np.testing.assert_allclose(one.coef[0], by_column.coef[2], rtol=1e-12)
    x_new = np.array([0.5, 1.5, 2.5])
    assert by_column.predict(x_new).shape == (3, 6)
    assert by_row.predict(x_new).shape == (6, 3)
    np.testing.assert_allclose(one.predict(x_new), by_column.predict(x_new)[:, 2], rtol=1e-12)
    ref = alone(model, by_column.domain, x, Y[:, 2])
    np.testing.assert_allclose(one.predict(x_new), ref.predict(x_new[:, None]), rtol=1e-9)


def test_results_do_not_depend_on_n_jobs():
    x, Y = series(m=500)
    Y = with_missing(Y)
    model = zarn.PolynomialRegressor(degree=3, gamma2=0.01)
    serial = zarn.fit_many(x, Y, model, chunk_size=64, mdl=True)
    parallel = zarn.fit_many(x, Y, model, chunk_size=64, n_jobs=2, progress=True, mdl=True)
    for name in ("coef", "stderr", "scale", "r2", "mdl", "n_used"):
        np.testing.assert_array_equal(getattr(parallel, name), getattr(serial, name))


def test_robust_is_the_single_fit_bit_for_bit():
    pytest.importorskip("zarn._methods.robust")
    x, Y = series(n=60, m=4)
    Y[::7, 0] += 40.0  # gross outliers
    Y[3, 1] = np.nan
    Y[:, 2] = np.nan
    model = zarn.PolynomialRegressor(
        degree=2, method="robust", n_chains=4, n_warmup=20, n_deep=50, n_elite=2
    )
    fits = zarn.fit_many(x, Y, model, mdl=True)
    parallel = zarn.fit_many(x, Y, model, n_jobs=2)
    np.testing.assert_array_equal(parallel.coef, fits.coef)
    assert fits.n_inliers[2] == 0 and fits.n_used[2] == 0
    for j in (0, 1, 3):
        ref = alone(model, fits.domain, x, Y[:, j])
        np.testing.assert_array_equal(fits.coef[j], ref.coef_)
        assert fits.mdl[j] == ref.mdl_
        assert fits.n_inliers[j] == ref.inlier_mask_.sum()
    assert fits.n_inliers[0] < fits.n_used[0]


def test_predict_in_blocks_and_far_outside_the_domain():
    x, Y = series(m=3)
    Y[:, 1] = np.nan  # no samples: predicts NaN, whatever the positions
    fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=5, method="ols"))
    x_new = np.linspace(-5.0, 9.0, 3 * _design.PREDICT_BLOCK_ROWS + 5)
    got = fits.predict(x_new)
    for j in (0, 2):
        want = alone(fits_model(fits), fits.domain, x, Y[:, j]).predict(x_new[:, None])
        np.testing.assert_allclose(got[:, j], want, rtol=1e-12, atol=1e-12)
    assert np.isnan(got[:, 1]).all()
    with pytest.raises(ValueError, match=r"exceeds the range of doubles at 1 point\(s\) of x_new"):
        fits.predict([0.0, 1e300])


def fits_model(fits):
    return zarn.PolynomialRegressor(degree=len(fits.basis) - 1, method=fits.method)


def test_pickles():
    x, Y = series(m=5)
    fits = zarn.fit_many(x, with_missing(Y), zarn.PolynomialRegressor(degree=3))
    back = pickle.loads(pickle.dumps(fits))
    np.testing.assert_array_equal(back.predict(x), fits.predict(x))
    np.testing.assert_array_equal(back.n_used, fits.n_used)


@pytest.mark.parametrize(
    "change, match",
    [
        ({"x": [0.0, np.nan, 2.0, 3.0]}, "x contains NaN"),
        ({"x": [0.0, np.inf, 2.0, 3.0]}, "x contains infinity"),
        ({"x": [0.0, 1.0, 2.0]}, "x has 3 samples but Y has 4"),
        ({"Y": np.zeros((4, 2, 2))}, "Y must be 1-D .* got 3 dimensions"),
        ({"x": [1.0, 1.0, 1.0, 1.0]}, "zero width"),
        ({"n_jobs": 0}, "'n_jobs' parameter of fit_many must be an int in the range"),
        ({"chunk_size": 0}, "'chunk_size' parameter of fit_many must be an int in the range"),
        ({"axis": 2}, r"'axis' parameter of fit_many must be an int in the range \[-2, 1\]"),
        ({"model": zarn.PolynomialRegressor(n_grid=1)}, "'n_grid' parameter"),
    ],
)
def test_bad_input(change, match):
    args = {"x": [0.0, 1.0, 2.0, 3.0], "Y": np.ones((4, 3))} | change
    with pytest.raises(ValueError, match=match):
        zarn.fit_many(args.pop("x"), args.pop("Y"), **args)


def test_model_must_be_a_polynomial_regressor():
    with pytest.raises(TypeError, match="PolynomialRegressor"):
        zarn.fit_many([0.0, 1.0], [[1.0], [2.0]], model="ols")


# ----------------------------------------------------------------- Dask cluster

# The default port of Dask's dashboard, which a notebook's cluster may hold.
DASHBOARD_PORT = 8787


@pytest.mark.slow  # starts a cluster of two worker processes
def test_the_test_cluster_starts_while_another_program_holds_the_dashboard_port():
    distributed = pytest.importorskip("distributed")
    with socket.socket() as held:
        try:
            held.bind(("127.0.0.1", DASHBOARD_PORT))
            held.listen()
        except OSError:  # another program holds it already, as under test
            pass
        with start_cluster() as cluster, distributed.Client(cluster) as c:
            assert c.submit(sum, [1, 2]).result() == 3


@pytest.mark.slow  # starts a cluster of two worker processes
@pytest.mark.parametrize("method", ["ols", "robust"])
def test_dask_on_a_process_cluster_matches_serial(client, method):
    da = pytest.importorskip("dask.array")
    x, Y = series(n=60, m=300 if method == "ols" else 8)
    Y = with_missing(Y)
    model = zarn.PolynomialRegressor(
        degree=3, method=method, n_chains=4, n_warmup=20, n_deep=50, n_elite=2
    )
    chunk = 100 if method == "ols" else 4
    serial = zarn.fit_many(x, Y, model, chunk_size=chunk, mdl=True)
    Yd = da.from_array(Y, chunks=(20, chunk))  # sample-axis chunks are merged
    lazy = zarn.fit_many(x, Yd, model, mdl=True)
    assert isinstance(lazy.coef, da.Array) and isinstance(lazy.mdl, da.Array)
    coef, mdl, n_used = client.compute([lazy.coef, lazy.mdl, lazy.n_used], sync=True)
    np.testing.assert_array_equal(coef, serial.coef)
    np.testing.assert_array_equal(mdl, serial.mdl)
    np.testing.assert_array_equal(n_used, serial.n_used)
    # Other blocks of series: the same up to the rounding of the shared solve.
    other = zarn.fit_many(x, da.from_array(Y.T, chunks=(77, 60)), model, axis=1)
    scale = np.nanmax(np.abs(serial.coef))
    np.testing.assert_allclose(other.coef.compute(), serial.coef, atol=RTOL * scale)
    predicted = lazy.predict(x[:4])
    assert isinstance(predicted, da.Array)
    np.testing.assert_allclose(predicted.compute(), serial.predict(x[:4]), atol=RTOL * scale)


# ------------------------------------------------------------ per-series statistics


def routes(n=80, m=12, seed=3):
    """Series that take each route: complete (shared operator), a few missing values
    (batched solve), half missing at one end (fitted alone), complete but tiny (alone)."""
    x, Y = series(n=n, m=m, seed=seed)
    rng = np.random.default_rng(seed)
    Y[rng.random((n, m)) < 0.08] = np.nan
    Y[:, :3] = series(n=n, m=3, seed=seed + 1)[1]  # complete
    Y[: n // 2, 3] = np.nan
    Y[:, 4] = Y[:, 0] * 1e-120
    return x, Y


# Offsets far beyond the noise take the shifted sums of squares; a nearly exact fit, the
# residuals summed one by one.
@pytest.mark.parametrize("offset", [0.0, 300.0, 1e6])
def test_ols_statistics_equal_statsmodels_on_every_route(offset):
    sm = pytest.importorskip("statsmodels.api")
    x, Y = routes()
    Y[:, np.arange(Y.shape[1]) != 4] += offset  # series 4 is tiny: it would be constant
    Y[:, 5] = 2.0 + x - 0.5 * x**2 + 1e-5 * np.sin(7 * x)  # complete, nearly exact
    fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=3, method="ols"))
    u = 2.0 * (x - x.min()) / (x.max() - x.min()) - 1.0
    for j in range(Y.shape[1]):
        used = np.isfinite(Y[:, j])
        res = sm.OLS(Y[used, j], np.vander(u[used], 4, increasing=True)).fit()
        np.testing.assert_allclose(fits.stderr[j], res.bse, rtol=1e-8)
        assert fits.scale[j] == pytest.approx(np.sqrt(res.scale), rel=1e-8)
        assert fits.r2[j] == pytest.approx(res.rsquared, rel=1e-8)


@pytest.mark.parametrize("axis", [0, 1], ids=["samples first", "series first"])
def test_complete_series_over_several_pieces_equal_lstsq(axis):
    # Complete series over several pieces of one block, as views or contiguous copies; in
    # the second piece one mean lies far beyond the noise, so that piece alone is summed
    # again, shifted.
    rng = np.random.default_rng(5)
    n = 50
    x = np.linspace(0.0, 1.0, n)
    piece = _plans.piece_size(n, 2)
    Y = 1.0 + 2.0 * x[:, None] + rng.normal(0.0, 0.1, (n, 3 * piece))
    Y[:, piece + 7] += 1e6
    fits = zarn.fit_many(
        x, Y if axis == 0 else Y.T.copy(), zarn.PolynomialRegressor(degree=1), axis=axis
    )
    _, rss, _, _ = np.linalg.lstsq(np.column_stack([np.ones(n), x]), Y, rcond=None)
    np.testing.assert_allclose(fits.scale, np.sqrt(rss / (n - 2)), rtol=1e-8)
    tss = ((Y - Y.mean(axis=0)) ** 2).sum(axis=0)
    np.testing.assert_allclose(fits.r2, 1.0 - rss / tss, rtol=1e-8)


@pytest.mark.parametrize("gammas", [(0.0, 0.0), (0.05, 0.001)])
def test_penalized_statistics_equal_the_estimators_on_every_route(gammas):
    x, Y = routes()
    model = zarn.PolynomialRegressor(degree=5, gamma1=gammas[0], gamma2=gammas[1])
    fits = zarn.fit_many(x, Y, model)
    for j in range(Y.shape[1]):
        used = np.isfinite(Y[:, j])
        ref = alone(model, fits.domain, x, Y[:, j])
        np.testing.assert_allclose(fits.stderr[j], ref.stderr_, rtol=1e-9)
        assert fits.scale[j] == pytest.approx(ref.scale_, rel=1e-9)
        assert fits.r2[j] == pytest.approx(ref.score(x[used, None], Y[used, j]), rel=1e-9)


def test_statistics_without_degrees_of_freedom_and_of_constant_series():
    x, Y = series(n=30, m=6)
    Y[:, 0] = 7.5  # constant: R^2 1, no residual
    Y[:, 1] = 7.5
    Y[::3, 1] = np.nan  # constant with missing values
    Y[:, 2] = 3e140  # constant and huge: fitted alone
    Y[4:, 3] = np.nan  # 4 samples for 4 coefficients: no residual degrees of freedom
    fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=3, method="ols"), min_count=4)
    np.testing.assert_array_equal(fits.r2[:3], 1.0)
    np.testing.assert_allclose(fits.scale[:2], 0.0, atol=1e-13)
    assert np.isnan(fits.scale[3]) and np.isnan(fits.stderr[3]).all()
    assert np.isfinite(fits.coef[3]).all() and fits.n_used[3] == 4
    assert np.isfinite(fits.stderr[4:]).all() and (fits.r2[4:] < 1.0).all()


def test_robust_statistics_are_the_estimators():
    x, Y = series(n=60, m=3)
    Y[::7, 0] += 40.0
    Y[5, 1] = np.nan
    model = zarn.PolynomialRegressor(
        degree=2, method="robust", n_chains=4, n_warmup=20, n_deep=50, n_elite=2
    )
    fits = zarn.fit_many(x, Y, model)
    assert fits.mdl is None and fits.n_inliers[0] < fits.n_used[0]
    for j in range(3):
        used = np.isfinite(Y[:, j])
        ref = alone(model, fits.domain, x, Y[:, j])
        assert fits.r2[j] == pytest.approx(ref.score(x[used, None], Y[used, j]), rel=1e-12)
        np.testing.assert_array_equal(fits.stderr[j], ref.stderr_)
        assert fits.scale[j] == ref.scale_


def test_automatic_penalty_weights_are_chosen_per_series_by_the_estimator():
    x, Y = series(n=50, m=4)
    Y[3, 1] = np.nan
    Y[:, 2] = np.nan
    model = zarn.PolynomialRegressor(degree=6, gamma2="auto")
    fits = zarn.fit_many(x, Y, model, mdl=True)
    assert fits.method == "penalized" and fits.n_inliers is None and fits.n_used[2] == 0
    for j in (0, 1, 3):
        used = np.isfinite(Y[:, j])
        ref = alone(model, fits.domain, x, Y[:, j])
        np.testing.assert_array_equal(fits.coef[j], ref.coef_)
        assert fits.mdl[j] == ref.mdl_
        assert fits.r2[j] == pytest.approx(ref.score(x[used, None], Y[used, j]), rel=1e-12)
    xr = pytest.importorskip("xarray")
    trend = importlib.import_module("zarn.xarray")
    da = xr.DataArray(Y, dims=("t", "s"), coords={"t": x})
    assert trend.fit(da, "t", model).attrs["gamma2"] == "auto"


def test_mdl_only_when_asked():
    x, Y = series(m=4)
    model = zarn.PolynomialRegressor(degree=2)
    plain, scored = zarn.fit_many(x, Y, model), zarn.fit_many(x, Y, model, mdl=True)
    assert plain.mdl is None and scored.mdl.shape == (4,) and np.isfinite(scored.mdl).all()
    np.testing.assert_array_equal(plain.coef, scored.coef)
    np.testing.assert_array_equal(plain.stderr, scored.stderr)
    with pytest.raises(TypeError, match="mdl must be True or False"):
        zarn.fit_many(x, Y, model, mdl=1)


def test_predict_derivatives():
    x, Y = series(m=3)
    model = zarn.PolynomialRegressor(degree=4, method="ols")
    fits = zarn.fit_many(x, Y, model)
    x_new = np.linspace(-4.0, 8.0, 7)
    for j in range(3):
        poly = alone(model, fits.domain, x, Y[:, j]).to_polynomial()
        for order in (1, 2, 5):
            want = poly.deriv(order)(x_new)
            got = fits.predict(x_new, derivative=order)[:, j]
            np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-9 * np.abs(poly.coef).max())
    # Several features: partial derivatives of an exact polynomial of total degree 3.
    rng = np.random.default_rng(1)
    X = rng.uniform(-2.0, 3.0, (50, 2))
    a, b = X[:, 0], X[:, 1]
    Y2 = np.column_stack([a**2 * b + 3 * b, a - b**3])
    fits2 = zarn.fit_many(X, Y2, zarn.PolynomialRegressor(degree=3, method="ols"))
    P = np.array([[0.5, -1.0], [2.0, 1.5]])
    pa, pb = P[:, 0], P[:, 1]
    np.testing.assert_allclose(
        fits2.predict(P, derivative=(1, 0)), np.column_stack([2 * pa * pb, np.ones(2)]), atol=1e-9
    )
    np.testing.assert_allclose(
        fits2.predict(P, derivative=(1, 1)), np.column_stack([2 * pa, np.zeros(2)]), atol=1e-9
    )
    for bad, error in (
        (1, ValueError),
        ((1,), ValueError),
        ((1, -1), ValueError),
        (1.0, TypeError),
    ):
        with pytest.raises(error, match="derivative"):
            fits2.predict(P, derivative=bad)


def test_dates_are_nanoseconds_and_nat_is_refused():
    t = np.arange("2020-01-01", "2020-03-01", dtype="datetime64[D]")
    Y = np.column_stack([np.arange(len(t)) * 2.0, np.ones(len(t))])
    model = zarn.PolynomialRegressor(degree=1, method="ols")
    fits = zarn.fit_many(t, Y, model)
    ns = t.astype("datetime64[ns]").astype(np.int64).astype(np.float64)
    np.testing.assert_array_equal(fits.coef, zarn.fit_many(ns, Y, model).coef)
    per_day = fits.predict(t[:1], derivative=1) * 86_400e9
    np.testing.assert_allclose(per_day, [[2.0, 0.0]], atol=1e-9)
    t = t.copy()
    t[3] = np.datetime64("NaT")
    with pytest.raises(ValueError, match="NaT"):
        zarn.fit_many(t, Y, model)


# -------------------------------------------------------------------- sample weights


def weights_for(n, seed=4):
    w = np.random.default_rng(seed).uniform(0.2, 3.0, n)
    w[[5, 17]] = 0.0  # left out of every fit
    return w


@pytest.mark.parametrize("size", [0.1, 10.0])  # a scale of the weights is no change of fit
def test_weighted_ols_equals_statsmodels_wls_on_every_route(size):
    sm = pytest.importorskip("statsmodels.api")
    x, Y = routes()
    Y[17, 5] = np.nan  # missing where the weight is zero: the series stays complete
    w = weights_for(len(x)) * size
    fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=3, method="ols"), sample_weight=w)
    u = 2.0 * (x - x.min()) / (x.max() - x.min()) - 1.0
    for j in range(Y.shape[1]):
        used = np.isfinite(Y[:, j]) & (w > 0)
        assert fits.n_used[j] == used.sum()
        res = sm.WLS(Y[used, j], np.vander(u[used], 4, increasing=True), weights=w[used]).fit()
        np.testing.assert_allclose(fits.coef[j], res.params, rtol=1e-9, atol=1e-12)
        np.testing.assert_allclose(fits.stderr[j], res.bse, rtol=1e-8)
        assert fits.scale[j] == pytest.approx(np.sqrt(res.scale), rel=1e-8)
        assert fits.r2[j] == pytest.approx(res.rsquared, rel=1e-8)


@pytest.mark.parametrize("scale", [1.0, 1e120])  # weights far from 1 are rescaled exactly
def test_weighted_penalized_equals_the_estimators_weighted_fit(scale):
    x, Y = routes()
    w = weights_for(len(x)) * scale
    model = zarn.PolynomialRegressor(degree=5, gamma1=0.05, gamma2=0.001)
    fits = zarn.fit_many(x, Y, model, sample_weight=w)
    for j in range(Y.shape[1]):
        used = np.isfinite(Y[:, j])
        ref = zarn.PolynomialRegressor(**{**model.get_params(), "domain": fits.domain})
        ref.fit(x[used, None], Y[used, j], sample_weight=w[used])
        coef = ref.coef_
        np.testing.assert_allclose(fits.coef[j], coef, rtol=1e-9, atol=1e-9 * abs(coef).max())
        np.testing.assert_allclose(fits.stderr[j], ref.stderr_, rtol=1e-8)
        assert fits.scale[j] == pytest.approx(ref.scale_, rel=1e-8)


@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_integer_weights_give_the_fits_of_repeated_samples(method):
    x, Y = series(n=40, m=5)
    Y[3, 1] = np.nan
    w = np.random.default_rng(2).integers(0, 4, len(x)).astype(float)
    model = zarn.PolynomialRegressor(degree=3, method=method, gamma2=0.01, domain=(-3, 7))
    weighted = zarn.fit_many(x, Y, model, sample_weight=w)
    repeated = zarn.fit_many(
        np.repeat(x, w.astype(int)), np.repeat(Y, w.astype(int), axis=0), model
    )
    np.testing.assert_allclose(weighted.coef, repeated.coef, rtol=1e-9, atol=1e-10)
    # Precision weights, not repeats: the residual scale differs; R^2 does not.
    np.testing.assert_allclose(weighted.r2, repeated.r2, rtol=1e-9)


def test_weights_with_the_estimator_route():
    x, Y = series(n=60, m=3)
    w = weights_for(len(x))
    model = zarn.PolynomialRegressor(
        degree=2, method="robust", n_chains=4, n_warmup=20, n_deep=50, n_elite=2
    )
    fits = zarn.fit_many(x, Y, model, sample_weight=w)
    ref = zarn.PolynomialRegressor(**{**model.get_params(), "domain": fits.domain})
    ref.fit(x[:, None], Y[:, 1], sample_weight=w)
    np.testing.assert_array_equal(fits.coef[1], ref.coef_)
    assert fits.n_used[1] == (w > 0).sum()


@pytest.mark.parametrize(
    "weights, extra, match",
    [
        (-np.ones(4), {}, "Negative"),
        (np.ones(3), {}, "expected \\(4,\\)"),
        (np.zeros(4), {}, "zero for every sample"),
        ([1, 2, np.nan, 1], {}, "NaN"),
        (np.ones(4), {"mdl": True}, "mdl=True cannot be combined"),
    ],
)
def test_bad_weights(weights, extra, match):
    with pytest.raises(ValueError, match=match):
        zarn.fit_many(np.arange(4.0), np.ones((4, 2)), sample_weight=weights, **extra)
