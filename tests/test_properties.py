"""Property-based tests over the public functions: whatever arrives, each call either
returns a result of the documented shape and dtype or raises TypeError, ValueError or
MemoryError with a message, and never changes its inputs."""

import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from zarn._native import zarn_core as zc

# The settings are the profile's, from tests/conftest.py.
pytestmark = pytest.mark.slow

ANY_FLOAT = st.floats(allow_nan=True, allow_infinity=True, width=64)
EDGE_FLOAT = st.sampled_from([0.0, -0.0, 1.0, -1.0, 1e308, -1e308, 5e-324, math.nan, math.inf])
FLOATS = st.one_of(ANY_FLOAT, EDGE_FLOAT)
INTS32 = st.one_of(st.integers(-(2**31), 2**31 - 1), st.sampled_from([-(2**31), 2**31 - 1]))


def float_arrays(shape):
    return hnp.arrays(np.float64, shape, elements=FLOATS)


@st.composite
def vectors(draw, size=None, finite=False):
    """Things a float-vector parameter may be handed, good and bad."""
    n = draw(st.integers(0, 9)) if size is None else size
    elements = st.floats(-1e3, 1e3) if finite else FLOATS
    base = draw(hnp.arrays(np.float64, n, elements=elements))
    kinds = ["plain", "list", "column-c", "column-f", "strided", "view"]
    if not finite:
        kinds += ["int", "bool", "complex", "object", "row", "matrix", "3d", "none", "text"]
    kind = draw(st.sampled_from(kinds))
    if kind == "plain":
        return base
    if kind == "list":
        return base.tolist()
    if kind == "column-c":
        return base.reshape(n, 1).copy()
    if kind == "column-f":
        return np.asfortranarray(base.reshape(n, 1))
    if kind == "strided":
        wide = np.repeat(base, 2)
        return wide[::2]
    if kind == "view":
        parent = np.concatenate([base, base])
        return parent[n:]
    if kind == "int":
        return np.arange(n, dtype=np.int64) - 3
    if kind == "bool":
        return np.arange(n) % 2 == 0
    if kind == "complex":
        return base.astype(np.complex128) + 1j
    if kind == "object":
        return np.array([None] * n + [1.0], dtype=object)
    if kind == "row":
        return base.reshape(1, n)
    if kind == "matrix":
        return np.ones((n, 2))
    if kind == "3d":
        return np.ones((n, 1, 1))
    if kind == "none":
        return None
    return "abc"


def matrices(max_side=5):
    return st.one_of(
        st.tuples(st.integers(0, max_side), st.integers(0, max_side)).flatmap(float_arrays),
        st.tuples(st.integers(0, max_side), st.integers(0, max_side))
        .flatmap(float_arrays)
        .map(np.asfortranarray),
        st.integers(0, max_side)
        .flatmap(lambda n: float_arrays((n, 2 * n + 1)))
        .map(lambda a: a[:, ::2]),
        st.sampled_from([None, "x", np.ones((2, 2, 2)), np.ones((2, 2), dtype=complex)]),
    )


def snapshot(args):
    out = []
    for a in args:
        if isinstance(a, np.ndarray):
            out.append((a, a.copy()))
        elif isinstance(a, list):
            out.extend(snapshot(a))
    return out


def call(fn, *args, **kwargs):
    """Calls fn; returns its result, or None when it raised one of the documented errors."""
    saved = snapshot(list(args) + list(kwargs.values()))
    try:
        return fn(*args, **kwargs)
    except (TypeError, ValueError, MemoryError, RuntimeError) as e:
        if isinstance(e, RuntimeError):  # only the cast error of an optional penalty
            assert str(e).startswith("Unable to cast Python instance of type"), e
        assert str(e) or isinstance(e, MemoryError)
        return None
    finally:
        for original, copy in saved:
            np.testing.assert_array_equal(original, copy, strict=True)


def is_float_vector(v, n=None):
    return (
        isinstance(v, np.ndarray)
        and v.dtype == np.float64
        and v.ndim == 1
        and (n is None or v.shape == (n,))
    )


def as_vector(v):
    """The float64 vector that a convertible input stands for, or None."""
    if isinstance(v, np.ndarray) and v.dtype.kind == "c":
        return None
    try:
        a = np.asarray(v, dtype=np.float64)
    except (TypeError, ValueError):
        return None
    if a.ndim == 2 and a.shape[1] == 1:
        a = a[:, 0]
    return a if a.ndim == 1 else None


@given(vectors())
def test_mad(y):
    result = call(zc.mad, y)
    v = as_vector(y)
    if v is not None:
        assert isinstance(result, float)
        if (np.abs(v) < 1e300).all():  # the mean of two middle values may overflow
            assert math.isfinite(result) and result >= 0


@given(st.integers(0, 8).flatmap(lambda n: st.tuples(vectors(n), vectors(n))), FLOATS)
def test_compute_sr(pair, eps):
    yp, yt = pair
    result = call(zc.compute_sr, yp, yt, eps)
    a, v = as_vector(yp), as_vector(yt)
    if a is not None and v is not None:
        if a.size != v.size:
            assert result is None
        elif v.size:
            assert 1 / (2 * v.size) <= result <= 1.0


@given(vectors(), vectors(), INTS32, INTS32)
def test_mdl_score_any_lengths(yp, yt, k, H):
    result = call(zc.mdl_score, yp, yt, k, H)
    a, b = as_vector(yp), as_vector(yt)
    if a is not None and b is not None:
        if a.size != b.size:
            assert result is None
        else:
            assert isinstance(result, float)


@given(
    st.integers(1, 8).flatmap(lambda n: st.tuples(vectors(n, True), vectors(n, True))),
    st.integers(-5, 30),
    st.integers(1, 1000),
)
def test_mdl_score_finite_inputs_give_finite_scores(pair, k, H):
    assert math.isfinite(zc.mdl_score(pair[0], pair[1], k, H))


@given(vectors(size=3, finite=True), vectors(), matrices(), matrices(), FLOATS, FLOATS)
def test_mdl_score_reg(y, beta, R1, R2, g1, g2):
    result = call(zc.mdl_score_reg, y, y, 3, 20, beta, R1, R2, g1, g2)
    if result is not None:
        assert isinstance(result, float)


@given(st.integers(-3, 9), vectors())
def test_design_matrix_1d(deg, x):
    result = call(zc.design_matrix_1d, deg, x)
    v = as_vector(x)
    if deg < 0:
        assert result is None
    elif v is not None:
        assert result.shape == (v.size, deg + 1) and result.dtype == np.float64
        assert result.flags.f_contiguous and result.flags.writeable
        np.testing.assert_array_equal(result[:, 0], 1.0)


@given(st.integers(-2, 7), FLOATS, FLOATS, st.integers(-3, 40))
def test_smoothness_penalty_matrices_1d(deg, lo, hi, n_grid):
    result = call(zc.smoothness_penalty_matrices_1d, deg, lo, hi, n_grid)
    if deg < 0 or n_grid < 2:
        assert result is None
        return
    R1, R2 = result
    assert R1.shape == R2.shape == (deg + 1, deg + 1)
    if all(math.isfinite(t) and abs(t) < 1e3 for t in (lo, hi)):
        assert np.isfinite(R1).all() and np.isfinite(R2).all()
        np.testing.assert_allclose(R1, R1.T, rtol=1e-12, atol=0)


@given(st.integers(-3, 7), FLOATS, FLOATS)
def test_boundary_reduce_1d(deg, lo, hi):
    result = call(zc.boundary_reduce_1d, deg, lo, hi)
    if deg < -1:
        assert result is None
    else:
        assert result.shape == (deg + 1, deg + 1)
        np.testing.assert_array_equal(result, result.T)


@given(
    st.lists(st.lists(st.integers(-2, 4), max_size=4), max_size=5),
    st.lists(vectors(), max_size=3),
)
def test_design_matrix_nd(multi_indices, X_cols):
    result = call(zc.design_matrix_nd, multi_indices, X_cols)
    cols = [as_vector(c) for c in X_cols]
    if result is not None:
        assert cols and all(c is not None and c.size == cols[0].size for c in cols)
        assert result.shape == (cols[0].size, len(multi_indices))
        assert all(len(mi) >= len(cols) for mi in multi_indices)


@given(
    st.lists(st.integers(-2, 2), max_size=3),
    st.lists(st.tuples(FLOATS, FLOATS), max_size=3),
    st.integers(-2, 6),
)
def test_build_penalty_matrices_nd(degrees, bounds, n_grid):
    result = call(zc.build_penalty_matrices_nd, degrees, bounds, n_grid)
    if len(degrees) != len(bounds) or n_grid < 2 or any(d < -1 for d in degrees):
        assert result is None
        return
    R1, R2, mi = result
    M = math.prod(d + 1 for d in degrees)
    assert R1.shape == R2.shape == (M, M) and len(mi) == M
    np.testing.assert_array_equal(R1, R1.T)
    np.testing.assert_array_equal(R2, R2.T)


@given(matrices(), vectors())
def test_ols(X, y):
    result = call(zc.ols, X, y)
    if result is not None:
        X = np.asarray(X)
        assert is_float_vector(result, X.shape[1] if X.ndim == 2 else 1)


@given(
    st.tuples(st.integers(1, 6), st.integers(1, 4)).flatmap(
        lambda s: float_arrays(s).map(lambda a: np.clip(np.nan_to_num(a), -1e3, 1e3))
    ),
    st.integers(0, 3),
)
def test_ols_finite_inputs_give_finite_coefficients(X, seed):
    y = np.random.default_rng(seed).normal(size=X.shape[0])
    beta = zc.ols(X, y)
    assert is_float_vector(beta, X.shape[1]) and np.isfinite(beta).all()


@given(matrices(), vectors(), matrices(), matrices(), FLOATS, FLOATS, FLOATS)
def test_fit_regularized_linear(Phi, y, R1, R2, g1, g2, ridge):
    result = call(zc.fit_regularized_linear, Phi, y, R1, R2, g1, g2, ridge)
    if result is not None:
        assert result.dtype == np.float64 and result.ndim == 1


@given(vectors(), FLOATS)
def test_gibbs_entropy(energies, T):
    result = call(zc.gibbs_entropy, energies, T)
    v = as_vector(energies)
    if v is not None and v.size == 0:
        assert result is None
    if result is not None:
        assert result.T == T or (math.isnan(T) and math.isnan(result.T))
        if v is not None and np.isfinite(v).all() and T > 0:
            assert 0.0 <= result.H <= result.Hmax + 1e-12
            assert 0.01 - 1e-12 <= result.r_heat <= 1.0 + 1e-12


@pytest.mark.parametrize("penalised", [False, True])
@given(
    data=st.data(),
    n_chains=st.integers(-1, 4),
    n_elite=st.integers(-1, 5),
    seed=st.integers(0, 2**64 - 1),
)
def test_tournament_fit(penalised, data, n_chains, n_elite, seed):
    X = data.draw(matrices(4))
    y = data.draw(vectors())
    R = data.draw(matrices(4)) if penalised else None
    g = data.draw(FLOATS) if penalised else 0.0
    try:
        sampler = zc.TournamentMCMC(n_chains, 3, 3, n_elite, 0.05, 20, seed)
    except ValueError:
        assert n_chains < 1
        return
    result = call(sampler.fit, X, y, R, R, g, g)
    if result is not None:
        beta = result.beta_mcmc
        assert beta.dtype == np.float64 and beta.ndim == 1 and not beta.flags.writeable
        assert (result.n_chains, result.n_elite) == (n_chains, n_elite)
        assert result.gibbs.T == 1.0
