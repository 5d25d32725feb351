"""The batched building blocks of the linear route against NumPy's own linear algebra."""

import numpy as np
import pytest

from zarn import _batched
from zarn._trends import trace_of_product, unpack


def positive_definite(rng, p, r):
    """p random symmetric positive definite r x r matrices, conditioned like the batched
    solves' normal matrices (eigenvalues in [0.01, 1])."""
    Q = np.linalg.qr(rng.normal(size=(p, r, r)))[0]
    values = rng.uniform(0.01, 1.0, (p, r))
    return np.einsum("pij,pj,pkj->pik", Q, values, Q)


@pytest.mark.parametrize("r", [1, 2, 6, _batched.SWEEP_LIMIT, _batched.SWEEP_LIMIT + 1])
def test_forward_sweep_is_the_inverse_cholesky_factor_times_b(r):
    rng = np.random.default_rng(r)
    p, q = 50, r + 2
    A, B = positive_definite(rng, p, r), rng.normal(size=(p, r, q))
    S = np.concatenate([A, B], axis=2).transpose(1, 2, 0).copy()  # series last
    got = _batched._forward_sweep(S, r).transpose(2, 0, 1)
    want = np.linalg.solve(np.linalg.cholesky(A), B)
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-12 * np.abs(want).max())


@pytest.mark.parametrize("r", [3, _batched.SWEEP_LIMIT + 1])
def test_forward_sweep_refuses_a_system_that_is_not_positive_definite(r):
    rng = np.random.default_rng(0)
    A = positive_definite(rng, 10, r)
    A[7] -= 2.0 * np.eye(r)  # one indefinite system spoils the batch
    S = np.concatenate([A, rng.normal(size=(10, r, 1))], axis=2).transpose(1, 2, 0).copy()
    with pytest.raises(np.linalg.LinAlgError):
        _batched._forward_sweep(S, r)


@pytest.mark.parametrize("r", [1, 2, 6])
def test_gram_matrices_of_used_samples(r):
    rng = np.random.default_rng(r)
    n, p = 700, 40  # products of more than SMALL_PRODUCT multiply-adds: in blocks
    B = rng.normal(size=(n, r))
    W = (rng.random((p, n)) > 0.1).astype(np.float64)
    got = unpack(_batched.gram_matrices(B, W).T, r)
    np.testing.assert_allclose(got, np.einsum("ni,pn,nj->pij", B, W, B), rtol=1e-12)


@pytest.mark.parametrize(
    "shape_a, shape_b",
    [((6, 360), (360, 500)), ((500, 6), (6, 360)), ((3, 4), (4, 5)), ((1, 10**6), (10**6, 1))],
    ids=["column blocks", "row blocks", "one block", "one column beyond the budget"],
)
def test_product_in_blocks_is_the_matrix_product(shape_a, shape_b):
    rng = np.random.default_rng(0)
    A, B = rng.normal(size=shape_a), rng.normal(size=shape_b)
    np.testing.assert_allclose(_batched.product(A, B), A @ B, rtol=1e-12, atol=1e-12)


def test_trace_of_product_of_packed_symmetric_matrices():
    rng = np.random.default_rng(1)
    X, Y = rng.normal(size=(2, 5, 4, 4))
    A, B = X + X.transpose(0, 2, 1), Y + Y.transpose(0, 2, 1)
    rows, cols = np.triu_indices(4)
    got = trace_of_product(A[:, rows, cols], B[:, rows, cols], 4)
    np.testing.assert_allclose(got, np.trace(A @ B, axis1=1, axis2=2), rtol=1e-13)
