import itertools

import numpy as np
import numpy.polynomial.polynomial as P
import pytest

from zarn._native import zarn_core as zc

INT_MAX = 2**31 - 1


def reference_penalties(degrees, bounds, n):
    """Rectangle rule on the tensor grid, every point weighted by the product of the steps."""
    D = len(degrees)
    mi = np.array(list(itertools.product(*(range(d + 1) for d in degrees))), int).reshape(-1, D)
    axes = [np.linspace(a, b, n) for a, b in bounds]
    dV = np.prod([(b - a) / (n - 1) for a, b in bounds])
    points = np.indices((n,) * D).reshape(D, -1, order="F")  # dimension 0 fastest

    def derivative(d, order):
        x, p = axes[d][points[d]][:, None], mi[:, d][None, :]
        coef = {0: 1, 1: p, 2: p * (p - 1)}[order]
        return np.where(p >= order, coef * x ** np.maximum(p - order, 0), 0.0)

    def gram(orders):
        H = np.ones((n**D, len(mi)))
        for d in range(D):
            H *= derivative(d, orders[d])
        return dV * (H.T @ H)

    unit = np.eye(D, dtype=int)
    R1 = sum((gram(unit[i]) for i in range(D)), np.zeros((len(mi),) * 2))
    R2 = sum((gram(unit[i] + unit[j]) for i in range(D) for j in range(D)), np.zeros_like(R1))
    return R1, R2, mi.tolist()


# ---------------------------------------------------------------- design_matrix_nd


def test_tensor_basis_of_two_linear_factors():
    R1, R2, mi = zc.build_penalty_matrices_nd([1, 1], [(0.0, 1.0), (0.0, 1.0)], 2)
    assert mi == [[0, 0], [0, 1], [1, 0], [1, 1]]
    np.testing.assert_array_equal(R1, [[0, 0, 0, 0], [0, 4, 0, 2], [0, 0, 4, 2], [0, 2, 2, 4]])
    np.testing.assert_array_equal(R2, np.diag([0, 0, 0, 8]))
    x, y = np.array([2.0, -3.0, 0.0]), np.array([5.0, 7.0, -1.0])
    np.testing.assert_array_equal(
        zc.design_matrix_nd(mi, [x, y]), np.column_stack([np.ones(3), y, x, x * y])
    )


@pytest.mark.parametrize("degrees", [[1, 2], [2, 0, 3], [0, 0, 0], [4]])
def test_design_matrix_nd_against_numpy_powers(degrees):
    mi = zc.build_penalty_matrices_nd(degrees, [(0.0, 1.0)] * len(degrees), 2)[2]
    assert mi == [list(t) for t in itertools.product(*(range(d + 1) for d in degrees))]
    X = list(np.random.default_rng(len(degrees)).normal(size=(len(degrees), 20)))
    Phi = zc.design_matrix_nd(mi, X)
    expected = np.column_stack([np.prod([X[d] ** e[d] for d in range(len(e))], 0) for e in mi])
    np.testing.assert_allclose(Phi, expected, rtol=1e-14)


def test_design_matrix_nd_one_variable_equals_1d():
    x = np.linspace(-2.0, 3.0, 17)
    Phi = zc.design_matrix_nd([[0], [1], [2], [3]], [x])
    np.testing.assert_allclose(Phi, zc.design_matrix_1d(3, x), rtol=1e-15)


def test_design_matrix_nd_exponent_rules():
    x, y = np.array([0.0, -2.0, 1.5]), np.array([3.0, 0.5, -1.0])
    Phi = zc.design_matrix_nd([[0, 0], [-1, -4], [3, 0, 5, 9], [0, 1]], [x, y])
    np.testing.assert_array_equal(Phi[:, :2], np.ones((3, 2)))
    np.testing.assert_array_equal(Phi[:, 2], [0.0, -8.0, 3.375])  # entries beyond D ignored
    np.testing.assert_array_equal(Phi[:, 3], y)
    assert zc.design_matrix_nd([], [x, y]).shape == (3, 0)


@pytest.mark.parametrize(
    "mi, X, match",
    [
        ([[1]], [], "X_cols is empty"),
        ([[1, 1]], [np.ones(3), np.ones(4)], r"X_cols\[1\] and X_cols\[0\].*4 and 3"),
        ([[1, 1], [2]], [np.ones(3), np.ones(3)], r"multi_indices\[1\] has 1 entries.*2 variables"),
    ],
)
def test_design_matrix_nd_rejects_malformed_input(mi, X, match):
    with pytest.raises(ValueError, match=match):
        zc.design_matrix_nd(mi, X)


# ------------------------------------------------------ build_penalty_matrices_nd


@pytest.mark.parametrize(
    "degrees, bounds, n",
    [
        ([3, 3, 3], [(0.0, 1.0), (-1.0, 2.0), (0.5, 1.5)], 12),
        ([2, 4], [(-1.0, 1.0), (3.0, 0.5)], 7),
        ([1, 0, 2], [(0.0, 2.0), (1.0, 1.5), (-3.0, -1.0)], 5),
        ([5], [(-2.0, 2.0)], 30),
    ],
)
def test_penalties_nd_match_a_numpy_rectangle_rule(degrees, bounds, n):
    R1, R2, mi = zc.build_penalty_matrices_nd(degrees, bounds, n)
    E1, E2, emi = reference_penalties(degrees, bounds, n)
    assert mi == emi
    for R, E in ((R1, E1), (R2, E2)):
        np.testing.assert_allclose(R, E, rtol=1e-12, atol=1e-13 * np.abs(E).max())
        np.testing.assert_array_equal(R, R.T)
        assert not R[0].any() and not R[:, 0].any()


@pytest.mark.parametrize("deg, a, b, n", [(2, 0.0, 1.0, 3), (4, -1.0, 2.0, 30), (6, 1.0, -0.5, 11)])
def test_penalties_nd_in_one_dimension_equal_the_1d_builder(deg, a, b, n):
    nd = zc.build_penalty_matrices_nd([deg], [(a, b)], n)
    for R, E in zip(nd[:2], zc.smoothness_penalty_matrices_1d(deg, a, b, n)):
        np.testing.assert_allclose(R, E, rtol=1e-13, atol=1e-13 * np.abs(E).max())


def test_penalties_nd_interval_orientation():
    bounds = [(0.0, 1.0), (-1.0, 2.0)]
    base = zc.build_penalty_matrices_nd([3, 2], bounds)  # default of 30 points
    explicit = zc.build_penalty_matrices_nd([3, 2], bounds, 30)
    for R, E in zip(base[:2], explicit[:2]):
        np.testing.assert_array_equal(R, E)
        assert np.linalg.eigvalsh(R).min() >= -1e-10 * np.abs(R).max()
    one_reversed = zc.build_penalty_matrices_nd([3, 2], [(1.0, 0.0), (-1.0, 2.0)])
    both_reversed = zc.build_penalty_matrices_nd([3, 2], [(1.0, 0.0), (2.0, -1.0)])
    for R, R1r, R2r in zip(base[:2], one_reversed[:2], both_reversed[:2]):
        np.testing.assert_allclose(R1r, -R, rtol=1e-11, atol=1e-11 * np.abs(R).max())
        np.testing.assert_allclose(R2r, R, rtol=1e-11, atol=1e-11 * np.abs(R).max())
    flat = zc.build_penalty_matrices_nd([3, 2], [(0.0, 1.0), (0.4, 0.4)])
    assert not flat[0].any() and not flat[1].any()


def test_penalties_nd_keep_overflow_visible():
    # x^2 overflows on the first axis: the vanishing second derivative in y multiplies it
    # by 0 and must give NaN, as in a plain evaluation, not be dropped as a zero column.
    args = [2, 1], [(0.0, 1e200), (0.0, 1.0)], 3
    with np.errstate(all="ignore"):
        expected = reference_penalties(*args)
    for R, E in zip(zc.build_penalty_matrices_nd(*args)[:2], expected[:2]):
        np.testing.assert_array_equal(np.isnan(R), np.isnan(E))
        assert np.isnan(R).any()


def hessian_and_gradient_integrals(c, bounds):
    """Exact box integrals of |grad f|^2 and ||Hess f||_F^2 by Gauss-Legendre quadrature."""
    nodes, weights = np.polynomial.legendre.leggauss(2 * max(c.shape))
    (a0, b0), (a1, b1) = bounds
    x = (a0 + b0) / 2 + (b0 - a0) / 2 * nodes
    y = (a1 + b1) / 2 + (b1 - a1) / 2 * nodes
    w = np.outer(weights, weights) * (b0 - a0) * (b1 - a1) / 4

    def d(i, j):
        return P.polygrid2d(x, y, P.polyder(P.polyder(c, i, axis=0), j, axis=1))

    grad = np.sum(w * (d(1, 0) ** 2 + d(0, 1) ** 2))
    hess = np.sum(w * (d(2, 0) ** 2 + 2 * d(1, 1) ** 2 + d(0, 2) ** 2))
    return grad, hess


def test_penalty_forms_nd_converge_to_gradient_and_hessian_integrals():
    # The equal-weight rule has an O(h) error from its end-point weights; the Richardson
    # combination 2 Q(h/2) - Q(h) removes it and must be far closer than either.
    degrees, bounds = [3, 2], [(-0.5, 1.0), (0.0, 2.0)]
    c = np.random.default_rng(7).normal(size=(4, 3))
    beta = c.ravel()  # multi-index order: last dimension fastest
    exact = hessian_and_gradient_integrals(c, bounds)
    coarse, fine = (zc.build_penalty_matrices_nd(degrees, bounds, n) for n in (81, 161))
    for k in range(2):
        q_coarse, q_fine = beta @ coarse[k] @ beta, beta @ fine[k] @ beta
        assert abs(q_fine - exact[k]) / abs(q_coarse - exact[k]) == pytest.approx(0.5, abs=0.02)
        assert abs(2 * q_fine - q_coarse - exact[k]) < 0.02 * abs(q_fine - exact[k])


def test_penalties_nd_empty_and_minus_one_degrees():
    R1, R2, mi = zc.build_penalty_matrices_nd([], [])
    assert mi == [[]]
    np.testing.assert_array_equal(R1, [[0.0]])
    np.testing.assert_array_equal(R2, [[0.0]])
    R1, R2, mi = zc.build_penalty_matrices_nd([2, -1], [(0.0, 1.0)] * 2)
    assert R1.shape == R2.shape == (0, 0) and mi == []


@pytest.mark.parametrize(
    "degrees, bounds, n, message",
    [
        ([1, 1], [(0.0, 1.0)] * 3, 30, "^Dimension mismatch.$"),
        ([1], [], 1, "^Dimension mismatch.$"),
        ([1, -2], [(0.0, 1.0)] * 2, 1, r"^degrees\[1\] = -2 < -1$"),
        ([1, 1], [(0.0, 1.0)] * 2, 1, "^n_grid_per_dim < 2$"),
        ([1], [(0.0, 1.0)], 0, "^n_grid_per_dim < 2$"),
        ([1], [(0.0, 1.0)], -4, "^n_grid_per_dim < 2$"),
    ],
)
def test_penalties_nd_reject_bad_arguments_in_order(degrees, bounds, n, message):
    with pytest.raises(ValueError, match=message):
        zc.build_penalty_matrices_nd(degrees, bounds, n)


@pytest.mark.parametrize(
    "degrees, n",
    [([60, 60, 60], 30), ([INT_MAX], 30), ([INT_MAX, INT_MAX], 2), ([1, 1, 1], INT_MAX)],
)
def test_penalties_nd_too_large_raise_memory_error(degrees, n):
    with pytest.raises(MemoryError, match="build_penalty_matrices_nd"):
        zc.build_penalty_matrices_nd(degrees, [(0.0, 1.0)] * len(degrees), n)
