import numpy as np
import numpy.polynomial.polynomial as P
import pytest

from zarn._native import zarn_core as zc

INT_MAX = 2**31 - 1


# ---------------------------------------------------------------- design_matrix_1d


@pytest.mark.parametrize("deg", [0, 1, 4, 11])
@pytest.mark.parametrize("n", [0, 1, 7, 1000])
def test_design_matrix_is_the_chain_of_products(deg, n):
    x = np.random.default_rng(deg * 1000 + n).normal(scale=1.5, size=n)
    Phi = zc.design_matrix_1d(deg, x)
    assert Phi.shape == (n, deg + 1) and Phi.flags.f_contiguous
    chained = np.ones((n, deg + 1))
    for p in range(1, deg + 1):
        chained[:, p] = chained[:, p - 1] * x
    np.testing.assert_array_equal(Phi, chained)
    np.testing.assert_allclose(Phi, x[:, None] ** np.arange(deg + 1), rtol=1e-13)


def test_design_matrix_special_samples_and_input_kinds():
    Phi = zc.design_matrix_1d(4, [0, -1, 2])
    np.testing.assert_array_equal(Phi, [[1, 0, 0, 0, 0], [1, -1, 1, -1, 1], [1, 2, 4, 8, 16]])
    np.testing.assert_array_equal(zc.design_matrix_1d(4, np.array([[0.0], [-1.0], [2.0]])), Phi)


@pytest.mark.parametrize("deg", [-1, -7, -(2**31)])
def test_design_matrix_rejects_negative_degree(deg):
    with pytest.raises(ValueError, match="^deg < 0$"):
        zc.design_matrix_1d(deg, [1.0, 2.0])


def test_design_matrix_degree_at_int_max_does_not_wrap():
    with pytest.raises(MemoryError, match="design_matrix_1d"):
        zc.design_matrix_1d(INT_MAX, np.ones(10))
    assert zc.design_matrix_1d(INT_MAX, []).shape == (0, 2**31)


# ---------------------------------------------------------------- boundary_reduce_1d


@pytest.mark.parametrize(
    "deg, expected",
    [
        (0, [[0]]),
        (1, np.zeros((2, 2))),
        (2, np.diag([0, 0, 4])),
        (3, [[0, 0, 0, 0], [0, 0, 0, 3], [0, 0, 4, 9], [0, 3, 9, 18]]),
    ],
)
def test_boundary_matrix_on_unit_interval(deg, expected):
    np.testing.assert_array_equal(zc.boundary_reduce_1d(deg, 0.0, 1.0), expected)


@pytest.mark.parametrize("deg", [2, 3, 6])
@pytest.mark.parametrize("a, b", [(0.0, 1.0), (-2.0, 0.5), (3.0, -1.0)])
def test_boundary_matrix_is_the_boundary_term(deg, a, b):
    B = zc.boundary_reduce_1d(deg, a, b)
    np.testing.assert_array_equal(B, B.T)
    assert not B[0].any() and not B[:, 0].any()
    rng = np.random.default_rng(deg)
    for beta in rng.normal(size=(5, deg + 1)):
        d1, d2 = P.polyder(beta, 1), P.polyder(beta, 2)
        term = P.polyval(b, d1) * P.polyval(b, d2) - P.polyval(a, d1) * P.polyval(a, d2)
        assert beta @ B @ beta == pytest.approx(term, rel=1e-12, abs=1e-12)
    np.testing.assert_allclose(zc.boundary_reduce_1d(deg, b, a), -B, rtol=1e-14, atol=1e-12)


def test_boundary_matrix_degenerate_cases():
    # Equal ends cancel up to the rounding of one product (the subtraction is fused).
    scale = np.abs(zc.boundary_reduce_1d(5, 0.0, 0.7)).max()
    assert np.abs(zc.boundary_reduce_1d(5, 0.7, 0.7)).max() <= 1e-15 * scale
    assert zc.boundary_reduce_1d(-1, 0.0, 1.0).shape == (0, 0)
    with pytest.raises(ValueError, match="^deg < -1$"):
        zc.boundary_reduce_1d(-2, 0.0, 1.0)
    with pytest.raises(MemoryError):
        zc.boundary_reduce_1d(INT_MAX, 0.0, 1.0)


# ------------------------------------------------------ smoothness_penalty_matrices_1d


@pytest.mark.parametrize(
    "deg, n_grid, R1, R2",
    [
        (0, 5, [[0]], [[0]]),
        (1, 2, [[0, 0], [0, 2]], np.zeros((2, 2))),
        (2, 3, [[0, 0, 0], [0, 1.5, 1.5], [0, 1.5, 2.5]], np.diag([0, 0, 6])),
    ],
)
def test_penalties_worked_examples(deg, n_grid, R1, R2):
    r = zc.smoothness_penalty_matrices_1d(deg, 0.0, 1.0, n_grid)
    assert isinstance(r, tuple) and len(r) == 2
    np.testing.assert_array_equal(r[0], R1)
    np.testing.assert_array_equal(r[1], R2)


def closed_form_penalties(deg, a, b, n):
    dx = (b - a) / (n - 1)
    x = a + np.arange(n) * dx
    p = np.arange(deg + 1)
    d1 = np.where(p >= 1, p * x[:, None] ** np.maximum(p - 1, 0), 0.0)
    d2 = np.where(p >= 2, p * (p - 1) * x[:, None] ** np.maximum(p - 2, 0), 0.0)
    return dx * d1.T @ d1, dx * d2.T @ d2


@pytest.mark.parametrize(
    "deg, a, b, n", [(3, 0.0, 1.0, 600), (5, -1.5, 2.0, 41), (7, 2.0, -1.0, 9)]
)
def test_penalties_match_the_closed_form_sums(deg, a, b, n):
    R1, R2 = zc.smoothness_penalty_matrices_1d(deg, a, b, n)
    E1, E2 = closed_form_penalties(deg, a, b, n)
    scale = max(np.abs(E2).max(), 1.0)
    np.testing.assert_allclose(R1, E1, rtol=1e-12, atol=1e-13 * scale)
    np.testing.assert_allclose(R2, E2, rtol=1e-12, atol=1e-13 * scale)
    np.testing.assert_array_equal(R1, R1.T)
    np.testing.assert_array_equal(R2, R2.T)
    assert not R1[0].any() and not R2[:2].any() and not R2[:, :2].any()
    sign = np.sign(b - a)
    assert (sign * np.linalg.eigvalsh(R1)).min() >= -1e-9 * np.abs(R1).max()


def test_penalties_default_grid_and_degenerate_intervals():
    for got, want in zip(
        zc.smoothness_penalty_matrices_1d(4, -1.0, 2.0),
        zc.smoothness_penalty_matrices_1d(4, -1.0, 2.0, 600),
    ):
        np.testing.assert_array_equal(got, want)
    assert not any(R.any() for R in zc.smoothness_penalty_matrices_1d(4, 1.5, 1.5, 10))
    fwd = zc.smoothness_penalty_matrices_1d(4, -1.0, 2.0, 50)
    rev = zc.smoothness_penalty_matrices_1d(4, 2.0, -1.0, 50)
    for f, r in zip(fwd, rev):
        np.testing.assert_allclose(r, -f, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("order", [1, 2])
def test_penalty_forms_converge_to_the_integrals(order):
    # With every grid point weighted dx the rule is the trapezoid rule plus dx/2 times the
    # end values; removing that term leaves an O(dx^2) error, and the raw error is ~ dx.
    a, b, deg = -0.5, 1.5, 5
    beta = np.random.default_rng(order).normal(size=deg + 1)
    h = P.polypow(P.polyder(beta, order), 2)
    exact = P.polyval(b, P.polyint(h)) - P.polyval(a, P.polyint(h))
    errors = []
    for n in (101, 201, 401):
        dx = (b - a) / (n - 1)
        form = beta @ zc.smoothness_penalty_matrices_1d(deg, a, b, n)[order - 1] @ beta
        end_term = dx / 2 * (P.polyval(a, h) + P.polyval(b, h))
        assert (form - exact) / end_term == pytest.approx(1.0, rel=0.05)
        errors.append(abs(form - end_term - exact))
    assert 3.5 < errors[0] / errors[1] < 4.5 and 3.5 < errors[1] / errors[2] < 4.5


@pytest.mark.parametrize(
    "deg, n_grid, message",
    [
        (-1, 600, "deg < 0"),
        (-1, 1, "deg < 0"),
        (3, 1, "n_grid < 2"),
        (3, 0, "n_grid < 2"),
        (0, -5, "n_grid < 2"),
    ],
)
def test_penalties_reject_bad_arguments_in_order(deg, n_grid, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        zc.smoothness_penalty_matrices_1d(deg, 0.0, 1.0, n_grid)


@pytest.mark.parametrize("deg", [100_000, INT_MAX])
def test_penalties_too_large_for_memory(deg):
    with pytest.raises(MemoryError, match="smoothness_penalty_matrices_1d"):
        zc.smoothness_penalty_matrices_1d(deg, 0.0, 1.0, 3)
