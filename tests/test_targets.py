"""Several targets: fit(X, Y) with Y of shape (n, n_targets) is one model per column."""

import pickle

import numpy as np
import pytest

import zarn
from conftest import SMALL_SAMPLER

sklearn = pytest.importorskip("sklearn")
from sklearn.linear_model import LinearRegression  # noqa: E402
from sklearn.metrics import r2_score  # noqa: E402

METHODS = {
    "ols": {"method": "ols"},
    "penalized": {"method": "penalized", "gamma1": 1e-3, "gamma2": 1e-4},
    "auto": {"method": "penalized", "gamma1": "auto"},
    "robust": {"method": "robust", **SMALL_SAMPLER},
}
# Statistics of every target, stacked along the first axis.
PER_TARGET = ("coef_", "cov_", "stderr_", "scale_", "df_resid_", "edf_", "mdl_", "gamma1_")


def data(n=60, d=1, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-2.0, 3.0, (n, d))
    x = X.sum(axis=1)
    Y = np.column_stack([1 + x - 0.3 * x**2, np.sin(x), 5e3 * x**3, np.full(n, 2.0)])
    Y[:, :3] += rng.normal(scale=[0.1, 0.2, 50.0], size=(n, 3))
    Y[::9, 0] += 8.0  # outliers in one target
    return X, Y


def weights(kind, n):
    if kind is None:
        return None
    w = np.random.default_rng(1).uniform(0.5, 3.0, n)
    w[:4] = 0.0  # dropped samples: the domain is that of the others
    return w


@pytest.mark.parametrize("weighted", [None, "zeros"])
@pytest.mark.parametrize("name", list(METHODS))
def test_each_target_is_its_fit_alone(name, weighted):
    X, Y = data()
    w = weights(weighted, len(X))
    model = zarn.PolynomialRegressor(degree=3, **METHODS[name]).fit(X, Y, sample_weight=w)
    m = Y.shape[1]
    Xn = np.linspace(-3.0, 4.0, 7)[:, None]
    low, high = model.predict_interval(Xn, kind="prediction", level=0.9)
    assert model.predict(Xn).shape == low.shape == (7, m)
    for j in range(m):
        params = METHODS[name] | ({"random_state": model.seed_} if name == "robust" else {})
        alone = zarn.PolynomialRegressor(degree=3, **params).fit(X, Y[:, j], sample_weight=w)
        for attr in PER_TARGET:
            np.testing.assert_allclose(
                getattr(model, attr)[j], getattr(alone, attr), rtol=1e-8, atol=1e-10, err_msg=attr
            )
        np.testing.assert_allclose(model.predict(Xn)[:, j], alone.predict(Xn), rtol=1e-10)
        one_low, one_high = alone.predict_interval(Xn, kind="prediction", level=0.9)
        np.testing.assert_allclose(low[:, j], one_low, rtol=1e-8)
        np.testing.assert_allclose(high[:, j], one_high, rtol=1e-8)
        if name == "robust":
            np.testing.assert_array_equal(model.inlier_mask_[:, j], alone.inlier_mask_)
            np.testing.assert_allclose(model.robust_weights_[:, j], alone.robust_weights_)
            assert model.gibbs_[j] == alone.gibbs_
    assert model.coef_.shape == (m, len(model.basis_))
    assert model.cov_.shape == (m, len(model.basis_), len(model.basis_))
    assert model.rank_ == len(model.basis_) and model.singular_values_.ndim == 1


@pytest.mark.parametrize("name", ["ols", "penalized"])
def test_targets_of_extreme_size_are_fitted_as_alone(name):
    # 1e300 leaves the range of the shared sums of squares: the target is fitted alone.
    X, Y = data(n=30)
    Y = np.column_stack([Y[:, 0], Y[:, 1] * 1e300, Y[:, 1] * 1e-300])
    model = zarn.PolynomialRegressor(degree=2, **METHODS[name]).fit(X, Y)
    for j in range(3):
        alone = zarn.PolynomialRegressor(degree=2, **METHODS[name]).fit(X, Y[:, j])
        np.testing.assert_allclose(model.coef_[j], alone.coef_, rtol=1e-9)
        np.testing.assert_allclose(model.stderr_[j], alone.stderr_, rtol=1e-9)


def test_one_column_keeps_two_dimensions_as_linear_regression():
    X, Y = data(n=20)
    y = Y[:, :1]
    model = zarn.PolynomialRegressor(degree=1, method="ols").fit(X, y)
    ref = LinearRegression().fit(X, y)
    assert model.coef_.shape == (1, 2) and ref.coef_.shape == (1, 1)
    assert model.predict(X).shape == ref.predict(X).shape == (20, 1)
    np.testing.assert_allclose(model.predict(X), ref.predict(X), rtol=1e-10)
    assert model.scale_.shape == model.df_resid_.shape == (1,)
    assert model.predict_interval(X)[0].shape == (20, 1)
    flat = zarn.PolynomialRegressor(degree=1, method="ols").fit(X, y[:, 0])
    np.testing.assert_array_equal(model.coef_[0], flat.coef_)  # the same fit, bit for bit
    assert model.summary().terms == ("1", "x0")  # one target: no need to name it


def test_several_targets_equal_linear_regression_and_its_score():
    X, Y = data(n=50, d=2)
    w = np.random.default_rng(3).uniform(0.1, 2.0, 50)
    model = zarn.PolynomialRegressor(degree=1, method="ols").fit(X, Y, sample_weight=w)
    ref = LinearRegression().fit(X, Y, sample_weight=w)
    np.testing.assert_allclose(model.predict(X), ref.predict(X), rtol=1e-9, atol=1e-9)
    assert model.score(X, Y, w) == pytest.approx(r2_score(Y, ref.predict(X), sample_weight=w))
    assert model.score(X, Y) == pytest.approx(ref.score(X, Y), rel=1e-12)
    again = pickle.loads(pickle.dumps(model))  # the shared covariance travels with it
    np.testing.assert_array_equal(again.predict_interval(X)[1], model.predict_interval(X)[1])
    np.testing.assert_array_equal(again.cov_, model.cov_)


def test_summary_and_plot_of_one_target():
    X, Y = data(n=40)
    model = zarn.PolynomialRegressor(degree=2, method="ols").fit(X, Y)
    with pytest.raises(ValueError, match=r"fitted to 4 targets.*target=0 \.\.\. 3"):
        model.summary()
    with pytest.raises(ValueError, match=r"target must be an int in \[0, 3\], got 4"):
        model.summary(target=4)
    with pytest.raises(ValueError, match="got True"):
        model.to_polynomial(target=True)
    alone = zarn.PolynomialRegressor(degree=2, method="ols").fit(X, Y[:, 2])
    table, ref = model.summary(target=2, X=X, y=Y), alone.summary(X=X, y=Y[:, 2])
    np.testing.assert_allclose(table.coef, ref.coef, rtol=1e-9)
    np.testing.assert_allclose(table.pvalue, ref.pvalue, rtol=1e-6)
    assert table.r2 == pytest.approx(ref.r2)
    assert model.to_polynomial(target=2)(1.5) == pytest.approx(alone.predict([[1.5]])[0])
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    ax = model.plot(X, Y, target=2)
    (line,) = ax.get_lines()
    np.testing.assert_allclose(line.get_ydata(), alone.predict(line.get_xdata()[:, None]))
    matplotlib.pyplot.close(ax.figure)


def test_targets_of_a_dataframe_and_their_checks():
    pd = pytest.importorskip("pandas")
    X, Y = data(n=30)
    frame = pd.DataFrame(Y[:, :2], columns=["height", "width"])
    model = zarn.PolynomialRegressor(degree=2).fit(pd.DataFrame({"t": X[:, 0]}), frame)
    assert model.predict(pd.DataFrame({"t": [0.5]})).shape == (1, 2)
    with pytest.raises(ValueError, match=r"one column per target of the fit \(2\), got shape"):
        model.score(pd.DataFrame({"t": X[:, 0]}), Y[:, 0])
    assert model.mdl_score(pd.DataFrame({"t": X[:, 0]}), frame) == pytest.approx(model.mdl_)
