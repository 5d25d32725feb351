"""The one-pass normal equations of fit_regularized_linear on shapes around the kernel's
groups of rows, its register tiles, its cache blocks and the switch to the library's rank
update, against a dense NumPy solve; and the matrix argument conversion that the fits and
the sampler share, across memory layouts."""

import numpy as np
import pytest

from zarn import zarn_core as zc


def normal_solve(Phi, y, R=None, gamma=0.0, ridge=1e-10):
    n, p = Phi.shape
    A = Phi.T @ Phi + ridge * np.eye(p)
    if R is not None:
        A = A + n * gamma * R
    return np.linalg.solve(A, Phi.T @ y)


@pytest.mark.parametrize("n", [1, 7, 8, 9, 23, 24, 25, 300, 2049])
@pytest.mark.parametrize("p", [1, 2, 3, 4, 5, 8, 11, 17])
def test_row_and_column_counts(n, p):
    rng = np.random.default_rng(100 * n + p)
    Phi = rng.standard_normal((n, p))
    y = rng.standard_normal(n)
    B = rng.standard_normal((p, p))
    R = B @ B.T
    # A penalty keeps the system well conditioned when there are fewer rows than columns.
    beta = zc.fit_regularized_linear(Phi, y, R, None, 0.1)
    np.testing.assert_allclose(beta, normal_solve(Phi, y, R, 0.1), rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("p", [127, 128, 129])
def test_either_side_of_the_switch_to_the_rank_update(p):
    rng = np.random.default_rng(p)
    Phi = rng.standard_normal((3 * p + 5, p))
    y = rng.standard_normal(3 * p + 5)
    np.testing.assert_allclose(
        zc.fit_regularized_linear(Phi, y), normal_solve(Phi, y), rtol=1e-9, atol=1e-11
    )


def test_no_columns_and_no_rows():
    assert zc.fit_regularized_linear(np.zeros((5, 0)), np.ones(5)).shape == (0,)
    # No rows: A = ridge I, b = 0.
    np.testing.assert_array_equal(zc.fit_regularized_linear(np.zeros((0, 3)), []), np.zeros(3))


def test_large_values_keep_relative_accuracy():
    # Columns of very different scales, as in a monomial basis on a wide interval.
    x = np.linspace(0.0, 50.0, 1000)
    Phi = np.vander(x, 4, increasing=True)
    y = 1.0 - 0.5 * x + 0.01 * x**3
    np.testing.assert_allclose(
        zc.fit_regularized_linear(Phi, y, ridge=0.0),
        [1.0, -0.5, 0.0, 0.01],
        rtol=1e-8,
        atol=1e-9,
    )


def test_memory_layout_does_not_change_the_result():
    rng = np.random.default_rng(8)
    Phi = rng.standard_normal((1001, 9))
    y = rng.standard_normal(1001)
    a = zc.fit_regularized_linear(np.asfortranarray(Phi), y)
    b = zc.fit_regularized_linear(np.ascontiguousarray(Phi), y)
    assert a.tobytes() == b.tobytes()


def misaligned(a):
    """A C-ordered copy of a whose data starts one byte past an 8-byte boundary."""
    buf = np.zeros(a.nbytes + 8, dtype=np.uint8)
    start = (-buf.ctypes.data) % 8 + 1
    out = buf[start : start + a.nbytes].view(np.float64).reshape(a.shape)
    out[...] = a
    assert out.ctypes.data % 8 != 0 and out.flags.c_contiguous
    return out


def sampled(X, y):
    return zc.TournamentMCMC(n_chains=3, n_warmup=5, n_deep=5).fit(X, y).beta_mcmc


@pytest.mark.parametrize("fit", [zc.ols, zc.fit_regularized_linear, sampled])
def test_every_layout_and_kind_of_matrix_gives_the_same_fit(fit):
    # C order takes the binding's blocked copy; every other input the general conversion.
    rng = np.random.default_rng(9)
    base = rng.standard_normal((3001, 14))
    y = rng.standard_normal(3001)
    expected = fit(np.asfortranarray(base[:, ::2]), y)
    for X in [
        np.ascontiguousarray(base[:, ::2]),
        base[:, ::2],  # strided view
        base[:, ::2].astype(">f8"),  # byte-swapped: the general conversion
        base[:, ::2].tolist(),
        misaligned(np.ascontiguousarray(base[:, ::2])),  # the general conversion
    ]:
        assert fit(X, y).tobytes() == expected.tobytes()
    # One-dimensional input is a one-column matrix; a C-ordered (m, 1) array is too.
    col = np.ascontiguousarray(base[:, :1])
    one_d, c_col, f_col = fit(base[:, 0], y), fit(col, y), fit(np.asfortranarray(col), y)
    assert one_d.tobytes() == c_col.tobytes() == f_col.tobytes()
