"""Hostile input against the Python layer: every call raises a clear error or returns
finite results of the documented shapes, and never changes what the next call returns."""

import numpy as np
import pytest

import zarn

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from hypothesis.extra import numpy as hnp  # noqa: E402

pd = pytest.importorskip("pandas")

# Derandomised: CI runs the same examples every time.
SETTINGS = settings(
    derandomize=True,
    database=None,
    deadline=None,
    max_examples=300,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
EXPECTED_ERRORS = (ValueError, TypeError, MemoryError)
SMALL_SAMPLER = {"n_chains": 3, "n_warmup": 5, "n_deep": 10, "n_elite": 2}

SPECIAL = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1e-300, -1e300, 1e300, 5e-324, 1.7e308]
FLOAT_DTYPES = [np.float64, np.float32, np.float16]
OTHER_DTYPES = [np.int8, np.int64, np.uint16, np.bool_, np.complex128, "U3", "M8[s]", object]


@st.composite
def numbers(draw, shape):
    """Arrays of many dtypes, magnitudes from 1e-300 to 1e300, NaN and infinity inside."""
    dtype = draw(st.sampled_from(FLOAT_DTYPES + OTHER_DTYPES))
    if dtype in FLOAT_DTYPES:
        magnitude = draw(st.sampled_from([1e-300, 1e-8, 1.0, 1e8, 1e300]))
        values = draw(hnp.arrays(np.float64, shape, elements=st.floats(-1, 1, allow_nan=False)))
        values = values * magnitude
        if draw(st.booleans()):
            flat = values.reshape(-1)
            for _ in range(draw(st.integers(0, 3))):
                if flat.size:
                    flat[draw(st.integers(0, flat.size - 1))] = draw(st.sampled_from(SPECIAL))
        with np.errstate(over="ignore"):
            return values.astype(dtype)
    if dtype is object:
        return draw(hnp.arrays(np.float64, shape)).astype(object)
    return draw(hnp.arrays(dtype, shape))


@st.composite
def training_data(draw):
    n = draw(st.integers(0, 6))
    d = draw(st.integers(0, 3))
    X = draw(numbers((n, d)))
    if d and n and draw(st.booleans()):  # a constant feature
        X[:, draw(st.integers(0, d - 1))] = X.flat[0]
    y = draw(numbers((n,)))
    kind = draw(st.sampled_from(["array", "list", "pandas", "1-D X", "2-D y"]))
    if kind == "list":
        X, y = X.tolist(), y.tolist()
    elif kind == "pandas" and X.ndim == 2:
        X = pd.DataFrame(X, columns=[f"f{j}" for j in range(X.shape[1])])
        y = pd.Series(y)
    elif kind == "1-D X" and d:
        X = X[:, 0]
    elif kind == "2-D y":
        y = np.column_stack([y, y])
    return X, y


@st.composite
def models(draw):
    method = draw(st.sampled_from(zarn.models.METHODS))
    degree = draw(
        st.one_of(
            st.integers(-1, 8),
            st.tuples(st.integers(0, 5), st.integers(0, 5)),
            st.sampled_from([10**9, 2.5, "3", None]),
        )
    )
    gamma = st.sampled_from([0.0, 1e-3, 1.0, 1e300, -1.0, np.nan])
    return zarn.PolynomialRegressor(
        degree,
        method=method,
        gamma1=draw(gamma),
        gamma2=draw(gamma),
        basis=draw(st.sampled_from(["tensor", "total", "legendre"])),
        n_grid=draw(st.sampled_from([None, 2, 7, 1])),
        ridge=draw(st.sampled_from([1e-10, 0.0, 1e300])),
        **SMALL_SAMPLER,
    )


def reference_fit():
    x = np.linspace(-1.0, 3.0, 40)[:, None]
    y = np.cos(x[:, 0]) + 0.1 * np.sin(7 * x[:, 0])
    fits = [
        zarn.PolynomialRegressor(5, method=method, gamma1=1e-4, **SMALL_SAMPLER).fit(x, y)
        for method in zarn.models.METHODS
    ]
    return np.concatenate([fit.predict(x) for fit in fits] + [[fit.mdl_ for fit in fits]])


REFERENCE = reference_fit()


def assert_clear(err):
    """An expected error whose message says something."""
    assert isinstance(err, EXPECTED_ERRORS), repr(err)
    assert len(str(err)) > 10, repr(err)
    assert "Unable to cast" not in str(err)


@SETTINGS
@given(model=models(), data=training_data())
def test_estimator_on_hostile_input(model, data):
    X, y = data
    try:  # the suite turns warnings into errors: no overflow or invalid operation escapes
        model.fit(X, y)
    except EXPECTED_ERRORS as err:
        assert_clear(err)
    else:
        k = len(model.basis_)
        assert model.coef_.shape == (k,) and np.isfinite(model.coef_).all()
        assert model.basis_.shape == (k, model.n_features_in_)
        assert not np.isnan(model.mdl_)
        Xf = np.asarray(X, dtype=np.float64)
        prediction = model.predict(Xf if not hasattr(X, "columns") else X)
        assert prediction.shape == (len(Xf),)
        assert np.isfinite(prediction).all()
    np.testing.assert_array_equal(reference_fit(), REFERENCE)


FITTED = [
    zarn.PolynomialRegressor(3, method=method, gamma1=1e-3, **SMALL_SAMPLER).fit(
        np.linspace(0.0, 1.0, 30).reshape(15, 2), np.arange(15.0)
    )
    for method in zarn.models.METHODS
]


@pytest.mark.filterwarnings("ignore:X has feature names:UserWarning")
@SETTINGS
@given(which=st.integers(0, 2), data=training_data())
def test_fitted_estimator_on_hostile_input(which, data):
    model = FITTED[which]
    X, y = data
    for method in ("predict", "score", "mdl_score"):
        call = getattr(model, method)
        try:
            result = call(X) if method == "predict" else call(X, y)
        except EXPECTED_ERRORS as err:
            assert_clear(err)
        else:
            result = np.asarray(result)
            assert result.shape == ((len(X),) if method == "predict" else ())
            # R^2 below the most negative double is -inf; nothing else is not finite.
            assert np.isfinite(result).all() or (method == "score" and result == -np.inf)
    np.testing.assert_array_equal(reference_fit(), REFERENCE)
