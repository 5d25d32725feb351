import copy
import itertools
import pickle
import re
import threading
import warnings

import numpy as np
import pytest
from numpy.polynomial import Polynomial
from numpy.polynomial.polyutils import mapdomain, mapparms

import zarn
from conftest import SMALL_SAMPLER
from zarn import _basis, _design
from zarn._settings import check_param, validate_params
from zarn.exceptions import RankWarning

pd = pytest.importorskip("pandas")
sklearn = pytest.importorskip("sklearn")
from sklearn.base import clone  # noqa: E402
from sklearn.exceptions import NotFittedError  # noqa: E402
from sklearn.linear_model import LinearRegression  # noqa: E402
from sklearn.metrics import r2_score  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

CHECKED = [
    zarn.PolynomialRegressor(),  # the defaults: degree 3, penalised, total basis
    zarn.PolynomialRegressor(degree=1, method="ols", basis="total"),
    zarn.PolynomialRegressor(degree=2, basis="total", gamma1=1e-7, gamma2=1e-8, n_grid=2),
    zarn.PolynomialRegressor(degree=1, method="robust", basis="total", **SMALL_SAMPLER),
]


def expected_failures(estimator):
    """Checks that a configuration cannot pass, and why."""
    if estimator.method == "robust":
        return {
            "check_sample_weight_equivalence_on_dense_data": "robust weights are lmrob's "
            "precision weights: integer weights are not repeated rows (the M-scale counts "
            "the samples, not their weights), as in R's lmrob(weights=)"
        }
    return {}


with warnings.catch_warnings():
    # The estimator implements scikit-learn's protocol without inheriting its base
    # classes (so that importing zarn never imports scikit-learn); the checks say so.
    warnings.filterwarnings("ignore", "Estimator PolynomialRegressor does not inherit")
    sklearn_checks = parametrize_with_checks(CHECKED, expected_failed_checks=expected_failures)


# Some checks fit a cubic to 15 random samples of several features (35 coefficients): the
# rank warning is right there, and only a warning.
@pytest.mark.filterwarnings("ignore::zarn.exceptions.RankWarning")
@sklearn_checks
def test_scikit_learn_estimator_checks(estimator, check):
    check(estimator)


def cubic_data(n=200, seed=0, low=-3.0, high=5.0, d=1):
    rng = np.random.default_rng(seed)
    X = rng.uniform(low, high, (n, d))
    y = 1.0 + X.sum(axis=1) - 0.3 * (X**2).sum(axis=1) + 0.05 * (X**3).sum(axis=1)
    return X, y + rng.normal(scale=0.05, size=n)


METHODS = [
    {"method": "ols"},
    {"method": "penalized", "gamma1": 1e-3, "gamma2": 1e-4},
    {"method": "robust", **SMALL_SAMPLER},
]


@pytest.mark.parametrize("params", METHODS, ids=lambda p: p["method"])
def test_copies_predict_bit_for_bit(params):
    X, y = cubic_data(d=2)
    model = zarn.PolynomialRegressor(degree=(3, 2), **params).fit(X, y)
    expected = model.predict(X)
    for twin in (pickle.loads(pickle.dumps(model)), copy.copy(model), copy.deepcopy(model)):
        np.testing.assert_array_equal(twin.predict(X), expected)
        assert twin.mdl_ == model.mdl_
    refit = clone(model).fit(X, y)
    np.testing.assert_array_equal(refit.predict(X), expected)
    assert "coef_" not in clone(model).__dict__


@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_far_from_zero_data_fit_as_accurately_as_numpy(method):
    # Raw monomials of x in [0, 10] (or [1000, 1010]) are hopelessly ill-conditioned;
    # mapped onto [-1, 1] they are not.
    for low, high in [(0.0, 10.0), (1000.0, 1010.0)]:
        x = np.linspace(low, high, 400)
        y = np.exp((x - low) / (high - low)) * np.sin(3 * (x - low) / (high - low))
        model = zarn.PolynomialRegressor(degree=15, method=method).fit(x[:, None], y)
        ours = model.predict(x[:, None])
        theirs = Polynomial.fit(x, y, 15)(x)
        assert np.sqrt(np.mean((ours - y) ** 2)) / np.sqrt(np.mean(y**2)) < 1e-8
        np.testing.assert_allclose(ours, theirs, rtol=0, atol=1e-8)


def test_to_polynomial_is_the_fit():
    X, y = cubic_data(low=2.0, high=7.0)
    model = zarn.PolynomialRegressor(degree=4, method="ols").fit(X, y)
    poly = model.to_polynomial()
    np.testing.assert_array_equal(poly.domain, model.domain_[0])
    np.testing.assert_array_equal(poly.window, [-1.0, 1.0])
    x_new = np.linspace(0.0, 9.0, 37)
    np.testing.assert_allclose(poly(x_new), model.predict(x_new[:, None]), rtol=1e-13, atol=1e-12)
    np.testing.assert_allclose(poly.coef, Polynomial.fit(X[:, 0], y, 4).coef, rtol=1e-9)
    with pytest.raises(ValueError, match="one feature; this one has 2"):
        zarn.PolynomialRegressor(1).fit(*cubic_data(d=2)).to_polynomial()


def test_domain_mapping_and_explicit_domain():
    X, y = cubic_data(low=2.0, high=7.0, d=2)
    auto = zarn.PolynomialRegressor(degree=2, method="ols").fit(X, y)
    np.testing.assert_array_equal(auto.domain_, np.column_stack([X.min(0), X.max(0)]))
    wide = zarn.PolynomialRegressor(degree=2, method="ols", domain=[(0, 10), (-5, 5)]).fit(X, y)
    np.testing.assert_array_equal(wide.domain_, [[0, 10], [-5, 5]])
    # The same polynomial, written in other mapped variables.
    np.testing.assert_allclose(wide.predict(X), auto.predict(X), rtol=1e-10, atol=1e-10)
    assert not np.allclose(wide.coef_, auto.coef_)
    one = zarn.PolynomialRegressor(degree=2, domain=(0, 10)).fit(X[:, :1], y)
    np.testing.assert_array_equal(one.domain_, [[0, 10]])
    # The map onto [-1, 1] is numpy.polynomial's, to the last bit.
    rng = np.random.default_rng(5)
    domains = np.sort(rng.normal(size=(200, 2)) * 10.0 ** rng.integers(-6, 6, (200, 1)), axis=1)
    off, scl = _basis.domain_map(domains)
    expected = np.array([mapparms(dom, (-1, 1)) for dom in domains])
    np.testing.assert_array_equal(np.column_stack([off, scl]), expected)
    # One feature takes a shortcut in plain floats: the same values to the last bit.
    for dom, want in zip(domains, expected):
        assert _basis.domain_map(dom[None]) == tuple(want)
        x = rng.uniform(*dom, 5)[:, None]
        model = zarn.PolynomialRegressor(degree=1, method="ols", domain=dom)
        design = _design.Design.from_data(x, validate_params(model))
        np.testing.assert_array_equal(design.map(x)[:, 0], mapdomain(x[:, 0], dom, (-1, 1)))


@pytest.mark.parametrize("exact", [True, False])
def test_r2_of_a_constant_target_is_scikit_learns(exact):
    # A constant y has no variance to explain: R^2 is 1.0 for its exact prediction and
    # 0.0 for any other, as scikit-learn's r2_score says.
    X = np.linspace(0.0, 1.0, 20)[:, None]
    y = np.zeros(20) if exact else np.full(20, 3.0)
    model = zarn.PolynomialRegressor(degree=2, method="ols")
    model.fit(X, y if exact else X[:, 0] ** 2)
    yp = model.predict(X)
    assert bool((yp == y).all()) == exact
    assert model.score(X, y) == r2_score(y, yp) == (1.0 if exact else 0.0)


@pytest.mark.parametrize("degrees", [(2, 3), (3, 1, 2), (4, 4)])
@pytest.mark.parametrize("n_grid", [None, 5])
def test_bases_and_their_penalties(degrees, n_grid):
    tensor = _basis.multi_indices(degrees, "tensor")
    assert [tuple(r) for r in tensor] == list(itertools.product(*(range(d + 1) for d in degrees)))
    total = _basis.multi_indices(degrees, "total")
    keep = tensor.sum(axis=1) <= max(degrees)
    np.testing.assert_array_equal(total, tensor[keep])

    args = () if n_grid is None else (n_grid,)
    R1, R2, core_order = zarn.build_penalty_matrices_nd(
        list(degrees), [(-1, 1)] * len(degrees), *args
    )
    assert core_order == tensor.tolist()
    T1, T2 = _basis.penalties(degrees, "total", n_grid)
    rows = np.ix_(keep, keep)
    np.testing.assert_allclose(T1, R1[rows], rtol=1e-12, atol=1e-12 * np.abs(R1).max())
    np.testing.assert_allclose(T2, R2[rows], rtol=1e-12, atol=1e-12 * np.abs(R2).max())


def test_total_basis_model():
    X, y = cubic_data(d=3)
    model = zarn.PolynomialRegressor(degree=3, basis="total", gamma1=1e-4).fit(X, y)
    assert model.basis_.shape == (20, 3)
    assert model.basis_.sum(axis=1).max() == 3
    assert model.score(X, y) > 0.999
    # Many features with a small total basis: the tensor basis (3**12 functions) is never built.
    X12 = np.random.default_rng(1).normal(size=(300, 12))
    y12 = X12[:, 0] - X12[:, 3] ** 2
    model = zarn.PolynomialRegressor(degree=2, basis="total", gamma2=1e-12, n_grid=3)
    model.fit(X12, y12)
    assert model.coef_.shape == (91,)
    assert model.score(X12, y12) > 0.999


def test_scores_match_the_core_and_scikit_learn():
    X, y = cubic_data(d=2)
    model = zarn.PolynomialRegressor(degree=3, gamma1=1e-3, gamma2=1e-4, basis="tensor").fit(X, y)
    R1, R2, _ = zarn.build_penalty_matrices_nd([3, 3], [(-1, 1)] * 2)
    yp = model.predict(X)
    expected = zarn.mdl_score_reg(yp, y, 16, 20, model.coef_, R1, R2, 1e-3, 1e-4)
    assert model.mdl_ == pytest.approx(expected, rel=1e-12)
    assert model.mdl_score(X, y) == pytest.approx(expected, rel=1e-12)
    assert model.score(X, y) == pytest.approx(r2_score(y, yp), rel=1e-14)
    plain = zarn.PolynomialRegressor(degree=3, method="ols", H=7, basis="tensor").fit(X, y)
    assert plain.mdl_ == pytest.approx(zarn.mdl_score(plain.predict(X), y, 16, 7), rel=1e-12)


def test_penalised_fit_is_the_cores():
    X, y = cubic_data(low=-1.0, high=1.0)
    x = X[:, 0]
    model = zarn.PolynomialRegressor(degree=5, gamma1=0.01, gamma2=0.001, ridge=1e-6, n_grid=100)
    model.fit(X, y)
    R1, R2 = zarn.smoothness_penalty_matrices_1d(5, -1.0, 1.0, 100)
    z = (2 * x - (x.min() + x.max())) / (x.max() - x.min())
    expected = zarn.fit_regularized_linear(
        zarn.design_matrix_1d(5, z), y, R1, R2, 0.01, 0.001, 1e-6
    )
    np.testing.assert_allclose(model.coef_, expected, rtol=1e-10)


def test_penalties_are_cached_across_a_grid_search():
    X, y = cubic_data(n=120)
    _basis.penalties.cache_clear()
    GridSearchCV(
        zarn.PolynomialRegressor(n_grid=321),
        {"degree": [2, 3, 4], "gamma1": [1e-4, 1e-3, 1e-2]},
        cv=3,
    ).fit(X, y)
    info = _basis.penalties.cache_info()
    assert info.misses == 3  # one build per degree
    assert info.hits == 3 * 3 * 3 - 3 + 1  # every other fit, and the refit of the best
    R1, _ = _basis.penalties((3,), "tensor", 321)
    with pytest.raises(ValueError, match="read-only"):
        R1[0, 0] = 1.0


def test_pipeline_and_cross_validation():
    X, y = cubic_data(d=2)
    pipe = make_pipeline(StandardScaler(), zarn.PolynomialRegressor(degree=3, gamma2=1e-5))
    scores = cross_val_score(pipe, X, y, cv=4)
    linear = cross_val_score(LinearRegression(), X, y, cv=4)
    assert scores.min() > 0.99 > linear.max()


def test_concurrent_fits_from_threads_agree():
    X, y = cubic_data(d=2)
    _basis.penalties.cache_clear()
    results = [None] * 8

    def work(i):
        model = zarn.PolynomialRegressor(degree=3, gamma1=1e-3, n_grid=25).fit(X, y)
        results[i] = model.coef_

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for coef in results[1:]:
        np.testing.assert_array_equal(coef, results[0])


def test_inputs_convert_to_float64():
    X, y = cubic_data(d=2)
    reference = zarn.PolynomialRegressor(degree=2).fit(X, y)
    frame = pd.DataFrame(X, columns=["a", "b"])
    as_frame = zarn.PolynomialRegressor(degree=2).fit(frame, pd.Series(y))
    np.testing.assert_array_equal(as_frame.feature_names_in_, ["a", "b"])
    np.testing.assert_array_equal(as_frame.coef_, reference.coef_)
    np.testing.assert_array_equal(as_frame.predict(frame), reference.predict(X))
    as_list = zarn.PolynomialRegressor(degree=2).fit(X.tolist(), y.tolist())
    np.testing.assert_array_equal(as_list.coef_, reference.coef_)
    ints = np.arange(20).reshape(10, 2)  # two collinear columns: the fit warns of its rank
    for dtype in (np.int32, np.int64, np.float32, np.uint8):
        with pytest.warns(RankWarning, match="rank 2 for 3 coefficients"):
            model = zarn.PolynomialRegressor(degree=1, method="ols")
            got = model.fit(ints.astype(dtype), ints[:, 0])
        np.testing.assert_allclose(got.predict(ints), ints[:, 0], atol=1e-9)
    with pytest.raises(ValueError, match="feature names should match"):
        as_frame.predict(pd.DataFrame(X, columns=["b", "a"]))


def bad(**kwargs):
    return zarn.PolynomialRegressor(**kwargs)


def invalid(name, must, got):
    """scikit-learn's message for a parameter outside its constraints, as a pattern."""
    return re.escape(f"The {name!r} parameter of PolynomialRegressor must be {must}. Got {got}")


INT_AT_LEAST = "an int in the range [{}, 2147483647]"
DEGREE = "an int in the range [0, inf) or a sequence of them, one per feature"
AT_LEAST_1 = INT_AT_LEAST.format(1)
WEIGHT = "a float in the range [0.0, inf)"
GAMMA = WEIGHT + " or a str among {'auto'}"
POSITIVE = "a float in the range (0.0, inf)"


X2, Y2 = cubic_data(n=30, d=2)
NAN_X = X2.copy()
NAN_X[3, 1] = np.nan
INF_Y = Y2.copy()
INF_Y[7] = -np.inf


@pytest.mark.parametrize(
    ("model", "X", "y", "match"),
    [
        (bad(), NAN_X, Y2, "Input X contains NaN"),
        (bad(domain=[(0, 1), (0, 1)]), NAN_X, Y2, "Input X contains NaN"),
        (bad(), X2, INF_Y, "Input y contains infinity"),
        (bad(), np.empty((0, 2)), [], "0 sample"),
        (bad(), X2, np.zeros((30, 2, 2)), r"shape \(30, 2, 2\);.*zarn.fit_many"),
        (bad(), X2, np.zeros((30, 0)), r"n_targets\), got shape \(30, 0\)"),
        (bad(), X2, np.zeros((3, 30)), r"30 and 3; .*pass y.T.*fit_many\(x, y, model, axis=1\)"),
        (bad(), X2, np.column_stack([Y2, INF_Y]), "Input y contains infinity"),
        (bad(), X2, Y2[:-1], "inconsistent numbers of samples: 30 and 29"),
        (bad(degree=-1), X2, Y2, invalid("degree", DEGREE, "-1")),
        (bad(degree=(2, -2)), X2, Y2, invalid("degree", DEGREE, "(2, -2)")),
        (bad(degree=(1, 2, 3)), X2, Y2, "degree has 3 entries but X has 2 features"),
        (
            bad(method="lasso"),
            X2,
            Y2,
            invalid("method", "a str among {'ols', 'penalized', 'robust'}", "'lasso'"),
        ),
        (bad(basis="chebyshev"), X2, Y2, invalid("basis", "a str among {'tensor', 'total'}", "")),
        (bad(domain=[(0, 1), (2, 2)]), X2, Y2, r"feature 1 must satisfy low < high.*zero width"),
        (bad(domain=[(0, 1)]), X2, Y2, r"shape \(2, 2\)"),
        (bad(domain=3.0), X2, Y2, invalid("domain", "an array-like or None", "3.0")),
        (bad(gamma1=-1.0), X2, Y2, invalid("gamma1", GAMMA, "-1.0")),
        (bad(gamma2=np.inf), X2, Y2, invalid("gamma2", GAMMA, "inf")),
        (bad(ridge=np.nan), X2, Y2, invalid("ridge", WEIGHT, "nan")),
        (bad(H=0), X2, Y2, invalid("H", INT_AT_LEAST.format(1), "0")),
        (bad(H=2**31), X2, Y2, invalid("H", INT_AT_LEAST.format(1), str(2**31))),
        (bad(n_grid=1), X2, Y2, invalid("n_grid", INT_AT_LEAST.format(2) + " or None", "1")),
        # Every parameter is checked whatever the method: the sampler's too.
        (bad(method="robust", n_chains=0), X2, Y2, invalid("n_chains", AT_LEAST_1, "0")),
        (bad(method="ols", n_elite=0), X2, Y2, invalid("n_elite", AT_LEAST_1, "0")),
        (bad(n_warmup=-1), X2, Y2, invalid("n_warmup", INT_AT_LEAST.format(0), "-1")),
        (bad(n_deep=1.5), X2, Y2, invalid("n_deep", INT_AT_LEAST.format(0), "1.5")),
        (bad(step_size=0.0), X2, Y2, invalid("step_size", POSITIVE, "0.0")),
        (
            bad(method="ols", n_chains=0, step_size=-1, random_state="abc"),
            X2,
            Y2,
            invalid("n_chains", INT_AT_LEAST.format(1), "0"),
        ),
        (
            bad(method="penalized", random_state=-3),
            X2,
            Y2,
            invalid(
                "random_state",
                "an int in the range [0, 18446744073709551615], an instance of "
                "'numpy.random.Generator', an instance of 'numpy.random.RandomState' or None",
                "-3",
            ),
        ),
        (
            bad(),
            np.column_stack([X2[:, 0], np.ones(30)]),
            Y2,
            "feature 1 of X has a domain of zero",
        ),
        (bad(), X2[:, 0], Y2, "must be 2-D.*Reshape your data"),
    ],
)
def test_bad_input_is_named(model, X, y, match):
    with pytest.raises(ValueError, match=match):
        model.fit(X, y)


@pytest.mark.parametrize(
    ("model", "X", "error", "match"),
    [
        (bad(degree=2.5), X2, TypeError, invalid("degree", DEGREE, "2.5")),
        (bad(degree=True), X2, TypeError, invalid("degree", DEGREE, "True")),
        (bad(degree="3"), X2, TypeError, invalid("degree", DEGREE, "'3'")),
        (bad(degree=[[1, 2]]), X2, TypeError, invalid("degree", DEGREE, "[[1, 2]]")),
        (bad(gamma2="big"), X2, TypeError, invalid("gamma2", GAMMA, "'big'")),
        (bad(gamma2="AUTO"), X2, TypeError, invalid("gamma2", GAMMA, "'AUTO'")),
        (bad(gamma1=10**400), X2, TypeError, invalid("gamma1", GAMMA, "1000")),
        (bad(), X2.astype(complex), ValueError, "Complex data not supported"),
        (bad(), np.array([["a", "b"]] * 30), ValueError, "X holds a value that is not a number"),
    ],
)
def test_bad_types_are_named(model, X, error, match):
    with pytest.raises(error, match=match):
        model.fit(X, Y2)


def test_every_parameter_is_declared_and_checked():
    # The constraints table names every constructor parameter, in order: a new parameter
    # cannot be left unchecked.
    names = zarn.PolynomialRegressor._get_param_names()
    table = zarn.PolynomialRegressor._parameter_constraints
    assert list(table) == names
    # The defaults are taken without a test at every fit: they must satisfy the table.
    for name, default, _ in table.quick:
        assert check_param(name, default, table[name], "") == default
    model = zarn.PolynomialRegressor(degree=1, method="ols").fit(X2, Y2)
    for name in names:
        with pytest.raises(ValueError, match=f"The {name!r} parameter of PolynomialRegressor"):
            clone(model).set_params(**{name: "nonsense"}).fit(X2, Y2)


def test_predict_checks_its_input():
    model = zarn.PolynomialRegressor(degree=2).fit(X2, Y2)
    with pytest.raises(
        ValueError, match="X has 3 features, but PolynomialRegressor is expecting 2"
    ):
        model.predict(np.zeros((4, 3)))
    with pytest.raises(ValueError, match="Input X contains NaN"):
        model.predict(NAN_X)
    with pytest.raises(NotFittedError):
        zarn.PolynomialRegressor().predict(X2)
    frame_fit = zarn.PolynomialRegressor(degree=2).fit(pd.DataFrame(X2, columns=["u", "v"]), Y2)
    with pytest.warns(UserWarning, match="does not have valid feature names"):
        frame_fit.predict(X2)


def test_predict_blocks_agree_with_one_block():
    x = np.linspace(-2, 3, 3 * _design.PREDICT_BLOCK_ROWS + 17)
    model = zarn.PolynomialRegressor(degree=7, method="ols").fit(x[:, None], np.cos(x))
    whole = _basis.design((x[:, None] - 0.5) / 2.5, (7,), model.basis_) @ model.coef_
    np.testing.assert_allclose(model.predict(x[:, None]), whole, rtol=1e-13, atol=1e-13)


def test_seed_is_drawn_and_recorded():
    X, y = cubic_data()
    drawn = zarn.PolynomialRegressor(method="robust", random_state=None, **SMALL_SAMPLER).fit(X, y)
    again = zarn.PolynomialRegressor(method="robust", random_state=drawn.seed_, **SMALL_SAMPLER)
    np.testing.assert_array_equal(again.fit(X, y).coef_, drawn.coef_)
    assert pickle.loads(pickle.dumps(drawn.gibbs_)) == drawn.gibbs_
    assert drawn.inlier_mask_.shape == (200,) and drawn.inlier_mask_.dtype == bool
    refit = drawn.set_params(method="ols").fit(X, y)
    assert not hasattr(refit, "seed_") and not hasattr(refit, "inlier_mask_")


def test_repr_shows_changed_parameters():
    assert repr(zarn.PolynomialRegressor()) == "PolynomialRegressor()"
    model = zarn.PolynomialRegressor(5, method="robust", domain=[(0, 1)], random_state=None)
    assert repr(model) == (
        "PolynomialRegressor(degree=5, method='robust', domain=[(0, 1)], random_state=None)"
    )
    with pytest.raises(ValueError, match="Invalid parameter 'degrees'"):
        model.set_params(degrees=3)


@pytest.mark.parametrize("method", ["ols", "penalized"])
@pytest.mark.parametrize("exponent", [-900, -400, 400, 900])
def test_huge_and_tiny_targets_fit_exactly_as_scaled(method, exponent):
    # Least squares is homogeneous in y; scaling by a power of two is exact in floating
    # point, so the fit of 2**e * y is 2**e times the fit of y, where the normal equations
    # of the raw values would overflow or lose their digits.
    X, y = cubic_data(n=60)
    params = {"method": method, "gamma1": 1e-3, "gamma2": 1e-4}
    base = zarn.PolynomialRegressor(degree=3, **params).fit(X, y)
    scaled = zarn.PolynomialRegressor(degree=3, **params).fit(X, np.ldexp(y, exponent))
    np.testing.assert_array_equal(scaled.coef_, np.ldexp(base.coef_, exponent))
    assert scaled.score(X, np.ldexp(y, exponent)) == pytest.approx(base.score(X, y), rel=1e-12)
    # The MDL score's data term does not change with the scale; its penalty grows as the
    # square of it and may exceed the range of doubles: then +inf, never NaN.
    data = zarn.mdl_score(base.predict(X), y, 4)
    assert zarn.mdl_score(scaled.predict(X), np.ldexp(y, exponent), 4) == data
    with np.errstate(over="ignore"):
        expected = data + np.ldexp(base.mdl_ - data, 2 * exponent)
    assert scaled.mdl_ == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize(
    ("X", "params", "match"),
    [
        ([[-1.7e308], [1.7e308], [0.0]], {}, r"domain of feature 0.*cannot be mapped"),
        ([[0.0], [1e-310], [5e-311]], {}, r"domain of feature 0.*cannot be mapped"),
        ([[0.0], [1.0], [2.0]], {"gamma1": 1e308}, "overflowed|non-finite coefficients"),
    ],
)
def test_numbers_beyond_double_precision_are_refused(X, params, match):
    with pytest.raises(ValueError, match=match):
        zarn.PolynomialRegressor(degree=1, **params).fit(X, [1.0, 2.0, 3.0])


@pytest.mark.parametrize(
    ("degree", "method", "basis"),
    [(10**9, "ols", "tensor"), (10**6, "penalized", "tensor"), ((10**5, 10**5), "robust", "total")],
)
def test_fits_beyond_memory_are_refused_before_allocating(degree, method, basis):
    X = np.random.default_rng(0).uniform(size=(5, 1 if isinstance(degree, int) else 2))
    model = zarn.PolynomialRegressor(degree, method=method, basis=basis)
    with pytest.raises(MemoryError, match=r"coefficients .* would need .* GB"):
        model.fit(X, np.arange(5.0))
