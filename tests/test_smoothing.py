import math

import numpy as np
import pytest

import zarn
from zarn import _smoothing as smo

RIDGE = 1e-10


def noisy(f, n=200, noise=0.1, seed=0, degree=20):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    y = f(x) + rng.normal(0.0, noise, n)
    R1, R2 = zarn.smoothness_penalty_matrices_1d(degree, -1.0, 1.0)
    return x, y, zarn.design_matrix_1d(degree, x), R1, R2


def dense(Phi, y, P, held, c, lam, null):
    """The fit and its criteria from the normal equations (fine at low degree)."""
    n, k = Phi.shape
    S = lam * P + c * held
    A = Phi.T @ Phi + RIDGE * np.eye(k) + S
    b = np.linalg.solve(A, Phi.T @ y)
    r = y - Phi @ b
    edf = np.trace(Phi @ np.linalg.solve(A, Phi.T))
    D = r @ r + b @ S @ b + RIDGE * b @ b
    e = np.linalg.eigvalsh(S)
    reml = (n - null) * math.log(D) + np.linalg.slogdet(A)[1] - np.log(e[e > 1e-9 * e[-1]]).sum()
    return b, r @ r, edf, reml, n * (r @ r) / (n - edf) ** 2


# (penalty chosen, penalty held, held weight, dimension of the common null space)
PATHS = [("R2", "R1", 0.0, 2), ("R1", "R2", 0.0, 1), ("R2", "R1", 1e-3, 1), ("R1", "R2", 1e-4, 1)]


@pytest.mark.parametrize("chosen, held, c, null", PATHS)
def test_path_quantities_equal_the_normal_equations_at_low_degree(chosen, held, c, null):
    x, y, Phi, R1, R2 = noisy(np.exp, n=60, seed=1, degree=6)
    mats = {"R1": 60 * R1, "R2": 60 * R2}
    P, H = mats[chosen], mats[held]
    path = smo._Path(Phi, y, P, smo._fixed_root(7, RIDGE, [(H, c)]), (H, c) if c else None)
    assert path.null == null
    offsets = []
    for lam in (1e-6, 1e-3, 1e-1):
        b, rss, edf, reml, gcv = dense(Phi, y, P, H, c, lam, null)
        L = np.array([lam])
        np.testing.assert_allclose(path.coef(lam), b, rtol=1e-9, atol=1e-9)
        assert path.rss(L)[0] == pytest.approx(rss, rel=1e-9)
        assert path.edf(L)[0] == pytest.approx(edf, rel=1e-9)
        assert path.gcv(L)[0] == pytest.approx(gcv, rel=1e-9)
        offsets.append(path.reml(L)[0] - reml)
    np.testing.assert_allclose(offsets, offsets[0], atol=1e-8)  # equal up to a constant


@pytest.mark.parametrize("criterion", smo.CRITERIA)
@pytest.mark.parametrize("which", ["gamma1", "gamma2", "both"])
def test_the_chosen_weights_minimise_the_criterion_on_a_fine_grid(criterion, which):
    x, y, Phi, R1, R2 = noisy(lambda x: np.sin(2 * x), n=80, seed=2, degree=7)
    n = len(y)
    g1 = "auto" if which != "gamma2" else 0.0
    g2 = "auto" if which != "gamma1" else 0.0
    choice = smo.choose_weights(Phi, y, R1, R2, g1, g2, ridge=RIDGE, criterion=criterion)
    grid = np.logspace(-10, 2, 121)
    pairs = (
        [(a, b) for a in grid for b in grid]
        if which == "both"
        else [(a, 0.0) if which == "gamma1" else (0.0, a) for a in grid]
    )
    null = 1 if which != "gamma2" else 2

    def score(a, b):
        P = n * (a * R1 + b * R2)
        out = dense(Phi, y, P, 0 * P, 0.0, 1.0, null)
        return out[3] if criterion == "reml" else out[4]

    best = min(score(a, b) for a, b in pairs)
    assert score(choice.gamma1, choice.gamma2) <= best + 1e-6 * abs(best)
    assert choice.edf == pytest.approx(
        smo.effective_dof(Phi, R1, R2, choice.gamma1, choice.gamma2, RIDGE), rel=1e-9
    )


FUNCTIONS = {
    "sine": lambda x: np.sin(3 * x),
    "runge": lambda x: 1 / (1 + 25 * x**2),
    "tanh": lambda x: np.tanh(5 * x),
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_reml_weight_at_degree_20_is_near_the_best_on_a_grid(name):
    f = FUNCTIONS[name]
    x, y, Phi, R1, R2 = noisy(f, seed=3)
    t = np.linspace(-1.0, 1.0, 801)
    T = zarn.design_matrix_1d(20, t)

    def error(g2):
        coef = zarn.fit_regularized_linear(Phi, y, R1, R2, 0.0, g2, RIDGE)
        return np.sqrt(np.mean((T @ coef - f(t)) ** 2))

    best = min(error(g) for g in np.logspace(-14, 0, 57))
    choice = smo.choose_weights(Phi, y, R1, R2, 0.0, "auto")
    assert error(choice.gamma2) < 1.5 * best


@pytest.mark.parametrize("which", ["gamma1", "gamma2"])
def test_data_the_unpenalised_functions_fit_get_the_largest_weight(which):
    # A constant is free under both penalties, a straight line under the curvature one.
    f = (lambda x: 0 * x + 2.0) if which == "gamma1" else (lambda x: 1.0 - 3.0 * x)
    x, y, Phi, R1, R2 = noisy(f, n=100, seed=4, degree=10)
    g1, g2 = ("auto", 0.0) if which == "gamma1" else (0.0, "auto")
    choice = smo.choose_weights(Phi, y, R1, R2, g1, g2)
    assert choice.edf < (1.2 if which == "gamma1" else 2.2)
    # A wiggly signal with little noise: a small weight, many degrees of freedom.
    x, y, Phi, R1, R2 = noisy(lambda x: np.sin(6 * x), n=100, noise=0.01, seed=4, degree=10)
    assert smo.choose_weights(Phi, y, R1, R2, g1, g2).edf > 8.0


@pytest.mark.parametrize("s", [2.0**-900, 3.7, 2.0**900])
def test_the_choice_does_not_depend_on_the_scale_of_y(s):
    x, y, Phi, R1, R2 = noisy(np.exp, seed=5)
    ref = smo.choose_weights(Phi, y, R1, R2, "auto", "auto")
    got = smo.choose_weights(Phi, y * s, R1, R2, "auto", "auto")
    assert got.gamma1 == pytest.approx(ref.gamma1, rel=1e-6)
    assert got.gamma2 == pytest.approx(ref.gamma2, rel=1e-6)


def test_fixed_weights_and_degenerate_designs():
    x, y, Phi, R1, R2 = noisy(np.exp, n=50, seed=6, degree=4)
    fixed = smo.choose_weights(Phi, y, R1, R2, 1e-4, 2e-5)
    assert (fixed.gamma1, fixed.gamma2) == (1e-4, 2e-5)
    # Five distinct x for nine coefficients, no ridge: still a finite choice.
    xs = np.repeat(np.linspace(-1.0, 1.0, 5), 4)
    ys = np.cos(2 * xs) + np.random.default_rng(0).normal(0.0, 0.05, xs.size)
    R1, R2 = zarn.smoothness_penalty_matrices_1d(8, -1.0, 1.0)
    choice = smo.choose_weights(zarn.design_matrix_1d(8, xs), ys, R1, R2, 0.0, "auto", ridge=0.0)
    assert 0.0 < choice.gamma2 < math.inf and 2.0 <= choice.edf <= 5.0 + 1e-6
    # A constant y: the largest weight, the fit a constant.
    const = smo.choose_weights(
        Phi, np.full(50, 3.0), *zarn.smoothness_penalty_matrices_1d(4, -1.0, 1.0), "auto", 0.0
    )
    assert const.edf == pytest.approx(1.0, abs=1e-3)
    with pytest.raises(ValueError, match="'reml', 'gcv'"):
        smo.choose_weights(Phi, y, R1[:5, :5], R2[:5, :5], "auto", 0.0, criterion="aic")


def test_effective_dof_is_the_trace_of_the_hat_matrix():
    x, y, Phi, R1, R2 = noisy(np.exp, n=40, seed=7, degree=5)
    A = Phi.T @ Phi + RIDGE * np.eye(6) + 40 * (1e-3 * R1 + 1e-4 * R2)
    trace = np.trace(Phi @ np.linalg.solve(A, Phi.T))
    assert smo.effective_dof(Phi, R1, R2, 1e-3, 1e-4, RIDGE) == pytest.approx(trace, rel=1e-10)
    # More coefficients than samples: the (nearly) interpolating fit spends n.
    few = zarn.design_matrix_1d(12, np.linspace(-1.0, 1.0, 8))
    assert smo.effective_dof(few, None, None, 0.0, 0.0, RIDGE) == pytest.approx(8.0, abs=1e-3)


# ------------------------------------------------------------ through the estimator


@pytest.mark.parametrize("method", ["penalized", "robust", "ols"])
@pytest.mark.parametrize("gammas", [(0.0, "auto"), ("auto", 0.0), ("auto", "auto"), (1e-6, "auto")])
def test_the_estimator_records_the_weights_it_used(method, gammas):
    x, y, *_ = noisy(lambda x: np.sin(3 * x), seed=8)
    X = x[:, None]
    g1, g2 = gammas
    model = zarn.PolynomialRegressor(degree=12, method=method, gamma1=g1, gamma2=g2).fit(X, y)
    for given, used in zip(gammas, (model.gamma1_, model.gamma2_)):
        assert type(used) is float
        if given != "auto":
            assert used == given
        else:  # ols applies no penalty: nothing to choose
            assert (used == 0.0) if method == "ols" else (0.0 < used < 1.0)
    # The same fit as with the weights given as numbers.
    again = zarn.PolynomialRegressor(
        degree=12, method=method, gamma1=model.gamma1_, gamma2=model.gamma2_
    ).fit(X, y)
    np.testing.assert_array_equal(model.coef_, again.coef_)
    assert model.mdl_ == again.mdl_ == model.mdl_score(X, y)


def test_fixed_weights_are_recorded_too():
    model = zarn.PolynomialRegressor(degree=2, gamma1=1, gamma2=0).fit(
        [[0.0], [1.0], [2.0]], [0, 1, 4]
    )
    assert (model.gamma1_, model.gamma2_) == (1.0, 0.0)


def test_robust_automatic_weights_ignore_gross_outliers():
    f = FUNCTIONS["runge"]
    x, y, *_ = noisy(f, n=300, seed=9)
    rng = np.random.default_rng(9)
    bad = rng.choice(300, 60, replace=False)
    y_bad = y.copy()
    y_bad[bad] = rng.uniform(-5.0, 5.0, 60)
    X, t = x[:, None], np.linspace(-1.0, 1.0, 401)[:, None]
    clean = zarn.PolynomialRegressor(degree=20, gamma2="auto").fit(X, y)
    robust = zarn.PolynomialRegressor(degree=20, method="robust", gamma2="auto").fit(X, y_bad)
    # The weight is chosen on the inliers: close to the clean data's, and so is the curve.
    assert robust.gamma2_ == pytest.approx(clean.gamma2_, rel=1.0)
    err = np.sqrt(np.mean((robust.predict(t) - f(t[:, 0])) ** 2))
    assert err < 1.5 * np.sqrt(np.mean((clean.predict(t) - f(t[:, 0])) ** 2))
