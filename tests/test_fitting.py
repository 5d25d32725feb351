import math

import numpy as np
import pytest

from zarn import zarn_core as zc


def random_matrix(rng, m, p, rank=None):
    """Gaussian m x p matrix, of the given rank when rank < min(m, p)."""
    if rank is None:
        return rng.standard_normal((m, p))
    return rng.standard_normal((m, rank)) @ rng.standard_normal((rank, p))


def derivative_penalty(deg, order, n_grid=200):
    """Grid average of the squared order-th derivative of the monomials x^0..x^deg on [0, 1]:
    b'Rb approximates the integral of (d^order/dx^order sum_k b_k x^k)^2."""
    t = np.linspace(0.0, 1.0, n_grid)
    D = np.zeros((n_grid, deg + 1))
    for k in range(order, deg + 1):
        D[:, k] = math.perm(k, order) * t ** (k - order)
    return D.T @ D / n_grid


def penalty_kwargs(which, R, gamma):
    """Keyword arguments that apply R as penalty `which` ("R1" or "R2") with weight gamma."""
    return {which: R, "gamma" + which[1]: gamma}


def normal_solve(Phi, y, terms=(), ridge=1e-10):
    """Dense NumPy solve of (Phi'Phi + ridge I + sum n g R) beta = Phi'y."""
    n = len(y)
    A = Phi.T @ Phi + ridge * np.eye(Phi.shape[1])
    for R, g in terms:
        A = A + n * g * R
    return np.linalg.solve(A, Phi.T @ y)


# ---------------------------------------------------------------- ols


@pytest.mark.parametrize(
    "X, y, expected",
    [
        ([[2.0, 0.0], [0.0, 4.0]], [2.0, 2.0], [1.0, 0.5]),
        # Duplicate columns: the smallest-norm beta with beta1 + beta2 = 2.
        ([[1.0, 1.0], [2.0, 2.0], [3.0, 3.0]], [2.0, 4.0, 6.0], [1.0, 1.0]),
        (np.zeros((3, 2)), [1.0, -2.0, 3.0], [0.0, 0.0]),
        (np.zeros((30, 20)), np.arange(30.0), np.zeros(20)),
        # No observations, or no coefficients: the minimum-norm solution is zero.
        (np.zeros((0, 3)), np.zeros(0), np.zeros(3)),
        (np.zeros((3, 0)), np.ones(3), np.zeros(0)),
    ],
)
def test_ols_worked_examples(X, y, expected):
    beta = zc.ols(X, y)
    assert beta.shape == (len(expected),)
    np.testing.assert_allclose(beta, expected, rtol=1e-12, atol=1e-12)


# Shapes below and above 16 columns, tall, wide and rank-deficient.
SHAPES = [
    (50, 5, None),
    (300, 40, None),
    (5, 12, None),
    (20, 60, None),
    (40, 6, 2),
    (60, 25, 7),
    (10, 30, 4),
]


@pytest.mark.parametrize("m, p, rank", SHAPES)
def test_ols_matches_numpy_lstsq(m, p, rank):
    rng = np.random.default_rng(m * 1000 + p)
    X = random_matrix(rng, m, p, rank)
    y = rng.standard_normal(m)
    expected = np.linalg.lstsq(X, y, rcond=None)[0]
    np.testing.assert_allclose(zc.ols(X, y), expected, rtol=1e-8, atol=1e-10)


@pytest.mark.parametrize("m, p", [(50, 5), (400, 30)])
def test_ols_residual_is_orthogonal_to_columns(m, p):
    rng = np.random.default_rng(p)
    X = random_matrix(rng, m, p)
    y = rng.standard_normal(m) + 3.0
    r = y - X @ zc.ols(X, y)
    scale = np.linalg.norm(X, axis=0) * np.linalg.norm(y)
    assert np.all(np.abs(X.T @ r) <= 1e-12 * scale)


@pytest.mark.parametrize("m, p", [(4, 9), (15, 40)])
def test_ols_wide_full_row_rank_fits_exactly(m, p):
    rng = np.random.default_rng(m)
    X = random_matrix(rng, m, p)
    y = rng.standard_normal(m)
    np.testing.assert_allclose(X @ zc.ols(X, y), y, atol=1e-10)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("p", [3, 20])
def test_ols_rejects_non_finite_X(bad, p):
    X = np.ones((25, p))
    X[7, p - 1] = bad
    with pytest.raises(ValueError, match="X must be finite"):
        zc.ols(X, np.ones(25))


def test_ols_rank_threshold_scales_with_the_smaller_dimension():
    # Singular values 1 and 100 eps on a 1000 x 2 matrix: above the decomposition's cutoff
    # min(m, p) eps = 2 eps, below NumPy's default max(m, p) eps = 1000 eps. So ols keeps the
    # second direction (coefficient 1 / s2 along it) where lstsq's default drops it.
    rng = np.random.default_rng(12)
    U = np.linalg.qr(rng.standard_normal((1000, 2)))[0]
    V = np.linalg.qr(rng.standard_normal((2, 2)))[0]
    s2 = 100 * np.finfo(float).eps
    X = U @ np.diag([1.0, s2]) @ V.T
    y = U @ [1.0, 1.0]
    along = V[:, 1] @ zc.ols(X, y)
    assert along == pytest.approx(1 / s2, rel=0.2)
    assert abs(V[:, 1] @ np.linalg.lstsq(X, y, rcond=None)[0]) < 1e-3


@pytest.mark.parametrize("p", [3, 20])
def test_ols_non_finite_y_propagates(p):
    rng = np.random.default_rng(1)
    y = rng.standard_normal(30)
    y[4] = np.nan
    assert np.isnan(zc.ols(random_matrix(rng, 30, p), y)).all()


# ---------------------------------------------------------------- fit_regularized_linear


@pytest.mark.parametrize(
    "Phi, y",
    [
        # n = 2: A = I + 2 * 0.5 * I = 2I.
        (np.eye(2), [1.0, 1.0]),
        # n = 4: A = 2I + 4 * 0.5 * I = 4I, b = [2, 2].
        (np.array([[1.0, 0.0], [0.0, 1.0], [1.0, 0.0], [0.0, 1.0]]), [1.0, 1.0, 1.0, 1.0]),
    ],
)
def test_frl_weights_scale_with_number_of_observations(Phi, y):
    beta = zc.fit_regularized_linear(Phi, y, np.eye(2), None, 0.5, 0.0, 0.0)
    np.testing.assert_allclose(beta, [0.5, 0.5], rtol=1e-15)


@pytest.mark.parametrize("ridge", [0.0, 1.0, 3.0, -0.5])
def test_frl_ridge_is_applied_without_penalties(ridge):
    beta = zc.fit_regularized_linear(np.eye(2), [1.0, 1.0], ridge=ridge)
    np.testing.assert_allclose(beta, [1.0 / (1.0 + ridge)] * 2, rtol=1e-14)


def test_frl_defaults_are_no_penalty_and_tiny_ridge():
    rng = np.random.default_rng(5)
    Phi = random_matrix(rng, 40, 4)
    y = rng.standard_normal(40)
    beta = zc.fit_regularized_linear(Phi, y)
    np.testing.assert_array_equal(
        beta, zc.fit_regularized_linear(Phi, y, None, None, 0.0, 0.0, 1e-10)
    )
    np.testing.assert_allclose(beta, zc.ols(Phi, y), rtol=1e-8)


@pytest.mark.parametrize("which", ["R1", "R2"])
@pytest.mark.parametrize("gamma", [0.3, -2.0, 1e6])
def test_frl_reads_only_lower_triangle_of_penalty(which, gamma):
    rng = np.random.default_rng(2)
    Phi = random_matrix(rng, 6, 2)
    y = rng.standard_normal(6)
    upper = np.array([[0.0, 1.0], [0.0, 0.0]])
    # A strictly upper penalty has no influence; a strictly lower one acts as if mirrored.
    np.testing.assert_array_equal(
        zc.fit_regularized_linear(Phi, y, ridge=0.0, **penalty_kwargs(which, upper, gamma)),
        zc.fit_regularized_linear(Phi, y, ridge=0.0),
    )
    np.testing.assert_allclose(
        zc.fit_regularized_linear(Phi, y, ridge=0.0, **penalty_kwargs(which, upper.T, gamma)),
        normal_solve(Phi, y, [(upper + upper.T, gamma)], ridge=0.0),
        rtol=1e-8,
    )


@pytest.mark.parametrize(
    "use1, use2, g1, g2",
    [
        (True, False, 0.01, 0.0),
        (False, True, 0.0, 0.2),
        (True, True, 0.05, 0.003),
        (True, True, -0.001, 0.02),  # a negative weight is applied
    ],
)
def test_frl_matches_dense_normal_solve(use1, use2, g1, g2):
    rng = np.random.default_rng(11)
    m, p = 80, 6
    Phi = random_matrix(rng, m, p)
    y = rng.standard_normal(m)
    B1, B2 = rng.standard_normal((2, p, p))
    R1, R2 = B1 @ B1.T, B2 @ B2.T
    beta = zc.fit_regularized_linear(
        Phi, y, R1 if use1 else None, R2 if use2 else None, g1, g2, ridge=1e-3
    )
    terms = [(R1, g1)] * use1 + [(R2, g2)] * use2
    np.testing.assert_allclose(beta, normal_solve(Phi, y, terms, ridge=1e-3), rtol=1e-9)


def test_frl_skipped_penalty_is_never_read():
    rng = np.random.default_rng(3)
    Phi = random_matrix(rng, 20, 3)
    y = rng.standard_normal(20)
    expected = zc.fit_regularized_linear(Phi, y)
    bad = np.full((5, 4), np.nan)
    # Weights 0.0 and -0.0 with a matrix of the wrong size and content; weights without one.
    for args in [(bad, bad), (bad, bad, -0.0, 0.0), (None, None, np.nan, 7.0)]:
        np.testing.assert_array_equal(zc.fit_regularized_linear(Phi, y, *args), expected)


NON_FINITE_SHOWN = [(np.nan, "NaN"), (np.inf, "infinity"), (-np.inf, "-infinity")]


@pytest.mark.parametrize("which", ["R1", "R2"])
@pytest.mark.parametrize("bad, shown", NON_FINITE_SHOWN)
def test_frl_non_finite_weight_is_applied_and_rejected(which, bad, shown):
    # Skipped, the weight would leave beta = [1, 1]; a NaN weight is not 0.0, so it applies.
    with pytest.raises(ValueError, match=rf"^gamma{which[1]} must be finite .*, got {shown}$"):
        zc.fit_regularized_linear(np.eye(2), [1.0, 1.0], **penalty_kwargs(which, np.eye(2), bad))


@pytest.mark.parametrize(
    "which, order",
    [
        # Huge slope penalty: the best constant; huge curvature penalty: the best line.
        ("R1", 1),
        ("R2", 2),
    ],
)
def test_frl_large_penalty_tends_to_low_degree_fit(which, order):
    deg = 6
    rng = np.random.default_rng(4)
    x = np.sort(rng.uniform(0.0, 1.0, 200))
    y = np.sin(3.0 * x) + 0.05 * rng.standard_normal(200)
    Phi = np.vander(x, deg + 1, increasing=True)
    low = Phi[:, :order]
    low_curve = low @ np.linalg.lstsq(low, y, rcond=None)[0]
    distances = []
    for gamma in [0.0, 1e-2, 1e2, 1e6]:
        beta = zc.fit_regularized_linear(
            Phi, y, **penalty_kwargs(which, derivative_penalty(deg, order), gamma)
        )
        distances.append(np.max(np.abs(Phi @ beta - low_curve)))
    assert distances[0] > 0.05
    assert all(a > b for a, b in zip(distances, distances[1:]))
    assert distances[-1] < 1e-4


@pytest.mark.parametrize("fit", [zc.ols, zc.fit_regularized_linear])
def test_length_mismatch_is_rejected_naming_both_sizes(fit):
    with pytest.raises(ValueError, match="6 and 5"):
        fit(np.ones((6, 2)), np.ones(5))


@pytest.mark.parametrize("which", ["R1", "R2"])
@pytest.mark.parametrize("shape", [(3, 3), (2, 3), (1, 1)])
def test_frl_rejects_applied_penalty_of_wrong_shape(which, shape):
    with pytest.raises(ValueError, match=rf"{which} must be a 2x2 .* got {shape[0]}x{shape[1]}"):
        zc.fit_regularized_linear(
            np.eye(2), [1.0, 2.0], **penalty_kwargs(which, np.ones(shape), 0.1)
        )


@pytest.mark.parametrize("which", ["R1", "R2"])
@pytest.mark.parametrize("bad", ["abc", object(), [[1.0, "x"]]])
def test_frl_unconvertible_penalty_raises_cast_error_before_computing(which, bad):
    # y is too short for Phi: the cast error must come first, before any check or solve.
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type"):
        zc.fit_regularized_linear(np.eye(3), [1.0], **{which: bad})


# ---------------------------------------------------------------- non-finite input

NON_FINITE = [np.nan, np.inf, -np.inf]

# Row counts around whole groups of eight rows (the normal-equation sums take eight rows at a
# time and the rest one by one) and a column count past the one-pass kernel's limit of 128.
FRL_SHAPES = [(37, 5), (16, 3), (7, 1), (300, 130)]


def bad_position(m, p, where):
    return {"first": (0, 0), "middle": (m // 2, p // 2), "last": (m - 1, p - 1)}[where]


@pytest.mark.parametrize("bad", NON_FINITE)
@pytest.mark.parametrize("m, p", FRL_SHAPES)
@pytest.mark.parametrize("where", ["first", "middle", "last"])
def test_frl_rejects_non_finite_Phi(bad, m, p, where):
    rng = np.random.default_rng(m + p)
    Phi = random_matrix(rng, m, p)
    Phi[bad_position(m, p, where)] = bad
    with pytest.raises(ValueError, match="^Phi must be finite"):
        zc.fit_regularized_linear(Phi, rng.standard_normal(m))


@pytest.mark.parametrize("bad", NON_FINITE)
@pytest.mark.parametrize("m, p", FRL_SHAPES + [(9, 0)])
@pytest.mark.parametrize("where", ["first", "middle", "last"])
def test_frl_rejects_non_finite_y(bad, m, p, where):
    rng = np.random.default_rng(m + p)
    y = rng.standard_normal(m)
    y[bad_position(m, 1, where)[0]] = bad
    with pytest.raises(ValueError, match="^y must be finite"):
        zc.fit_regularized_linear(random_matrix(rng, m, p), y)


@pytest.mark.parametrize("bad", [np.inf, -np.inf])
def test_frl_infinity_against_zeros_is_still_found(bad):
    # inf * 0 is NaN: an infinity whose row and column are otherwise zero, in Phi or in y
    # against a zero row of Phi, must be found and named as well.
    Phi = np.zeros((12, 3))
    Phi[:, 0] = 1.0
    Phi[5, 2] = bad
    with pytest.raises(ValueError, match="^Phi must be finite"):
        zc.fit_regularized_linear(Phi, np.ones(12))
    y = np.ones(12)
    Phi[5, :] = 0.0
    y[5] = bad
    with pytest.raises(ValueError, match="^y must be finite"):
        zc.fit_regularized_linear(Phi, y)


@pytest.mark.parametrize("bad, shown", NON_FINITE_SHOWN)
def test_frl_rejects_non_finite_ridge(bad, shown):
    with pytest.raises(
        ValueError, match=rf"^ridge must be finite \(no NaN or infinity\), got {shown}$"
    ):
        zc.fit_regularized_linear(np.eye(2), [1.0, 1.0], ridge=bad)


@pytest.mark.parametrize("which", ["R1", "R2"])
@pytest.mark.parametrize("bad", NON_FINITE)
@pytest.mark.parametrize("entry", [(0, 0), (2, 1), (1, 2)])  # diagonal, lower, upper
@pytest.mark.parametrize("gamma", [0.5, 0.0, -0.0, None])  # None: the matrix is passed, no weight
def test_frl_non_finite_penalty_matrix_applied_or_skipped(which, bad, entry, gamma):
    rng = np.random.default_rng(8)
    Phi = random_matrix(rng, 20, 3)
    y = rng.standard_normal(20)
    R = np.eye(3)
    R[entry] = bad
    kwargs = {which: R} if gamma is None else penalty_kwargs(which, R, gamma)
    if gamma:
        with pytest.raises(ValueError, match=rf"^{which} must be finite \(no NaN or infinity\)$"):
            zc.fit_regularized_linear(Phi, y, **kwargs)
    else:
        np.testing.assert_array_equal(
            zc.fit_regularized_linear(Phi, y, **kwargs), zc.fit_regularized_linear(Phi, y)
        )


@pytest.mark.parametrize("order", ["C", "F"])
@pytest.mark.parametrize("m, p", [(37, 5), (300, 130)])
def test_frl_overflowing_normal_equations_are_rejected(order, m, p):
    rng = np.random.default_rng(p)
    Phi = random_matrix(rng, m, p)
    y = Phi @ rng.standard_normal(p) + 0.1 * rng.standard_normal(m)
    scaled_Phi, scaled_y = np.asarray(Phi * 1e160, order=order), y * 1e160
    # The scaled problem is legitimate: a decomposition of Phi itself solves it, with the
    # coefficients of the unscaled one.
    beta = np.linalg.lstsq(scaled_Phi, scaled_y, rcond=None)[0]
    np.testing.assert_allclose(beta, np.linalg.lstsq(Phi, y, rcond=None)[0], rtol=1e-9)
    with pytest.raises(
        ValueError, match=r"^the normal equations overflowed: Phi'Phi .* scale the columns of Phi"
    ):
        zc.fit_regularized_linear(scaled_Phi, scaled_y)
    # Phi'Phi fits, Phi'y does not: a column of ones against observations of 1e308.
    Phi[:, 0] = 1.0
    with pytest.raises(
        ValueError,
        match=r"^the normal equations overflowed: Phi'y .* scale y or the columns of Phi",
    ):
        zc.fit_regularized_linear(np.asarray(Phi, order=order), np.full(m, 1e308))


@pytest.mark.parametrize(
    "kwargs",
    [
        {"R1": np.eye(3), "gamma1": 1e307},  # n * gamma1 overflows
        {"R2": np.full((3, 3), 1e300), "gamma2": 1e10},  # n * gamma2 * R2 overflows
        # Each term is finite, their sum is not.
        {"R1": np.eye(3), "gamma1": 3e306, "R2": np.eye(3), "gamma2": 3e306},
        {"ridge": 1.7e308, "R1": np.eye(3), "gamma1": 1e306},
    ],
)
def test_frl_overflowing_penalised_matrix_is_rejected(kwargs):
    rng = np.random.default_rng(2)
    with pytest.raises(
        ValueError,
        match=r"^the penalised normal matrix overflowed: .* reduce ridge, gamma1 or gamma2",
    ):
        zc.fit_regularized_linear(random_matrix(rng, 40, 3), rng.standard_normal(40), **kwargs)


def test_frl_finite_singular_and_indefinite_systems_still_solve():
    # Duplicate columns without ridge: a singular Phi'Phi; the solve still returns a
    # solution of the normal equations, and no error.
    rng = np.random.default_rng(6)
    Phi = random_matrix(rng, 30, 3)
    Phi = np.column_stack([Phi, Phi[:, 0]])
    y = rng.standard_normal(30)
    beta = zc.fit_regularized_linear(Phi, y, ridge=0.0)
    np.testing.assert_allclose(Phi.T @ Phi @ beta, Phi.T @ y, atol=1e-10)
    # A negative ridge that makes the matrix indefinite: diag(1, 4) - 2 I = diag(-1, 2).
    beta = zc.fit_regularized_linear(np.diag([1.0, 2.0]), [1.0, 1.0], ridge=-2.0)
    np.testing.assert_allclose(beta, [-1.0, 1.0], rtol=1e-15)
