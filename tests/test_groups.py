import warnings

import numpy as np
import pytest

import zarn
from conftest import SMALL_SAMPLER
from zarn._grouped import _normal_fits, _ranges, sort_samples
from zarn.exceptions import RankWarning

# The batched solves agree with each group's own fit to within this, relative to the
# group's largest coefficient (or standard error).
RTOL = 1e-10

MODELS = {
    "ols": zarn.PolynomialRegressor(degree=2, method="ols"),
    "ols-5": zarn.PolynomialRegressor(degree=5, method="ols"),
    "penalized": zarn.PolynomialRegressor(degree=3, gamma1=0.01, gamma2=1e-3),
    "auto": zarn.PolynomialRegressor(degree=3, gamma2="auto"),
    "robust": zarn.PolynomialRegressor(degree=2, method="robust", **SMALL_SAMPLER),
    # The robust engine's entry point for groups with a penalty, harmonics and Huber's H1.
    "robust-penalized-H1": zarn.PolynomialRegressor(
        degree=2, method="robust", gamma2=0.01, harmonics=1, cov_type="H1", **SMALL_SAMPLER
    ),
    "harmonics": zarn.PolynomialRegressor(degree=1, method="ols", harmonics=2, period=20.0),
    "penalized-harmonics": zarn.PolynomialRegressor(degree=2, gamma2=0.01, harmonics=1),
    "HAC": zarn.PolynomialRegressor(degree=2, method="ols", cov_type="HAC"),
    "HC3": zarn.PolynomialRegressor(degree=2, gamma1=0.01, cov_type="HC3"),
    "ar1": zarn.PolynomialRegressor(degree=1, method="ols", cov_type="ar1"),
}
# The period of the models with harmonics, in days for dates.
PERIOD = 20.0
# Fitted group by group through the estimator's fit: the same bits.
EXACT = {"auto", "robust", "robust-penalized-H1"}


def long_data(seed=0, n_groups=30, datetime=False):
    """Samples of n_groups groups in shuffled long format, of a few different sizes (so
    several batches), with NaN in y and x, gross outliers, a group of one sample, one
    whose positions are all equal, and a label of no group (NaN)."""
    rng = np.random.default_rng(seed)
    sizes = rng.choice([12, 12, 12, 20, 31], n_groups)
    sizes[:3] = [1, 6, 12]
    labels = np.repeat(np.arange(n_groups) * 10.0, sizes)
    x = rng.uniform(0.0, 50.0, len(labels)) + labels
    x[labels == 20.0] = 7.0  # a domain of zero width: not fitted
    y = np.sin(x / 7.0) + 0.02 * x + rng.normal(0.0, 0.1, len(x))
    y[rng.random(len(y)) < 0.05] += 20.0
    y[rng.random(len(y)) < 0.05] = np.nan
    x[rng.random(len(x)) < 0.03] = np.nan
    labels[rng.random(len(labels)) < 0.02] = np.nan
    order = rng.permutation(len(x))
    x, y, labels = x[order], y[order], labels[order]
    if datetime:
        x = np.where(np.isnan(x), np.nan, x * 86400e9 + 1.6e18)
        x = np.array(x, dtype="datetime64[ns]")  # NaN becomes NaT
    return x, y, labels, rng.uniform(0.2, 3.0, len(x))


def valid(x, y, labels, w):
    """Which samples a group's fit uses."""
    finite_x = ~np.isnat(x) if x.dtype.kind == "M" else np.isfinite(x)
    return finite_x & np.isfinite(y) & ~np.isnan(labels) & (w > 0)


def own_fit(model, x, y, w):
    """The reference: the group's samples fitted by the estimator alone."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RankWarning)
        return zarn.PolynomialRegressor(**model.get_params()).fit(x[:, None], y, sample_weight=w)


def assert_close(got, want, exact):
    if exact:
        np.testing.assert_array_equal(got, want)
    else:
        np.testing.assert_allclose(got, want, rtol=0, atol=RTOL * np.abs(want).max())


@pytest.mark.parametrize("name", list(MODELS))
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("datetime", [False, True])
def test_each_group_is_its_own_estimator_fit(name, weighted, datetime):
    model = MODELS[name]
    if model.harmonics:
        model = zarn.PolynomialRegressor(**model.get_params()).set_params(
            period=np.timedelta64(int(PERIOD), "D") if datetime else PERIOD
        )
    x, y, labels, w = long_data(datetime=datetime)
    weights = w if weighted else None
    fits = zarn.fit_groups(x, y, labels, model, sample_weight=weights)
    used = valid(x, y, labels, w)
    np.testing.assert_array_equal(fits.labels, np.unique(labels[~np.isnan(labels)]))
    k = fits.cov.shape[1]  # the coefficients of the polynomial and the harmonics
    for i, label in enumerate(fits.labels):
        mine = used & (labels == label)
        assert fits.n_used[i] == mine.sum()
        if mine.sum() < k + 1 or label == 20.0:  # too few samples, or a zero-width domain
            assert np.isnan(fits.coef[i]).all() and np.isnan(fits.scale[i])
            continue
        ref = own_fit(model, x[mine], y[mine], w[mine] if weighted else None)
        exact = name in EXACT
        assert_close(fits.coef[i], ref.coef_, exact)
        assert_close(fits.stderr[i], ref.stderr_, exact)
        assert_close(fits.cov[i], ref.cov_, exact)
        if model.harmonics:
            assert fits.harmonic_labels == ref.harmonic_labels_
            assert_close(fits.harmonic_coef[i], ref.harmonic_coef_, exact)
            assert_close(fits.harmonic_stderr[i], ref.harmonic_stderr_, exact)
            np.testing.assert_allclose(fits.amplitude[i], ref.amplitude_, rtol=1e-9)
            np.testing.assert_allclose(fits.phase_stderr[i], ref.phase_stderr_, rtol=1e-9)
        np.testing.assert_allclose(fits.scale[i], ref.scale_, rtol=RTOL)
        np.testing.assert_allclose(fits.domain[i], ref.domain_)
        score = ref.score(x[mine, None], y[mine], w[mine] if weighted else None)
        np.testing.assert_allclose(fits.r2[i], score, rtol=RTOL)
        if name.startswith("robust"):
            assert fits.n_inliers[i] == ref.inlier_mask_.sum()
            np.testing.assert_array_equal(fits.inlier_mask[mine], ref.inlier_mask_)
    assert fits.cov_type == ref.cov_type_
    if name.startswith("robust"):
        assert not fits.inlier_mask[~used].any()
    else:
        assert fits.n_inliers is None and fits.inlier_mask is None


def test_extreme_and_ill_conditioned_groups_are_fitted_as_the_estimator_fits_them():
    rng = np.random.default_rng(3)
    x = np.concatenate([rng.uniform(0, 1, 40), np.full(20, 1e3)])
    x[57:] = [1e3 + 1e-3, 1e3 + 2.0, 1e3 + 3.0]  # four distinct positions, two nearly equal
    y = rng.normal(size=60)
    y[20:40] *= 1e200  # sums of squares beyond the range of doubles
    groups = np.repeat(["plain", "huge", "clustered"], 20)
    for model in (MODELS["ols"], MODELS["penalized"]):
        fits = zarn.fit_groups(x, y, groups, model)
        for i, label in enumerate(fits.labels):
            mine = groups == label
            ref = own_fit(model, x[mine], y[mine], None)
            assert_close(fits.coef[i], ref.coef_, False)
            assert_close(fits.stderr[i], ref.stderr_, False)
            score = ref.score(x[mine, None], y[mine])
            np.testing.assert_allclose(fits.r2[i], score, rtol=RTOL)


def test_several_features():
    rng = np.random.default_rng(4)
    X = rng.uniform(-2.0, 3.0, (400, 2))
    y = 1.0 + X[:, 0] * X[:, 1] - X[:, 1] ** 2 + rng.normal(0.0, 0.1, 400)
    groups = rng.integers(0, 8, 400)
    model = zarn.PolynomialRegressor(degree=2, method="ols")
    fits = zarn.fit_groups(X, y, groups, model)
    assert fits.domain.shape == (8, 2, 2)
    for i, label in enumerate(fits.labels):
        mine = groups == label
        ref = zarn.PolynomialRegressor(degree=2, method="ols").fit(X[mine], y[mine])
        assert_close(fits.coef[i], ref.coef_, False)
        np.testing.assert_allclose(fits.domain[i], ref.domain_)
        np.testing.assert_allclose(fits.predict(X[:5], np.full(5, label)), ref.predict(X[:5]))
        alone = zarn.fit_many(X[mine], y[mine], ref.set_params(domain=ref.domain_))
        want = alone.predict(X[:5], derivative=(1, 0))  # the derivative along feature 0
        got = fits.predict(X[:5], np.full(5, label), derivative=(1, 0))
        np.testing.assert_allclose(got, want, rtol=1e-9)


def test_given_domain_is_every_groups_domain():
    x, y, labels, _ = long_data(seed=5)
    model = zarn.PolynomialRegressor(degree=2, method="ols", domain=(-10.0, 400.0))
    with pytest.warns(RankWarning, match="1 of 30 groups"):  # the one of equal positions
        fits = zarn.fit_groups(x, y, labels, model)
    fitted = np.isfinite(fits.coef).all(axis=1)
    assert (fits.domain == [[-10.0, 400.0]]).all()
    mine = (labels == 20.0) & np.isfinite(y) & np.isfinite(x)  # equal positions
    assert fitted[fits.labels == 20.0].all()
    ref = own_fit(model, x[mine], y[mine], None)
    np.testing.assert_allclose(fits.coef[fits.labels == 20.0][0], ref.coef_, rtol=1e-12)


def test_min_count_and_the_rank_warning():
    x = np.array([0.0, 1.0, 2.0, 3.0, 0.0, 1.0, 5.0, 5.0, 5.0])
    y = np.array([1.0, 2.0, 5.0, 10.0, 1.0, 3.0, 1.0, 2.0, np.nan])
    groups = np.array(["a"] * 4 + ["b"] * 2 + ["c"] * 3)
    model = zarn.PolynomialRegressor(degree=2, method="ols")
    fits = zarn.fit_groups(x, y, groups, model)  # min_count 4: only "a"
    np.testing.assert_array_equal(fits.n_used, [4, 2, 2])
    assert np.isfinite(fits.coef[0]).all() and np.isnan(fits.coef[1:]).all()
    with pytest.warns(RankWarning, match="1 of 3 groups"):
        fits = zarn.fit_groups(x, y, groups, model, min_count=2)
    ref = own_fit(model, x[4:6], y[4:6], None)  # more coefficients than samples
    np.testing.assert_allclose(fits.coef[1], ref.coef_, rtol=1e-12)
    assert np.isnan(fits.coef[2]).all()  # positions all equal: not fitted, no warning
    with pytest.raises(ValueError, match="min_count"):
        zarn.fit_groups(x, y, groups, model, min_count=0)


@pytest.mark.parametrize("name", ["ols", "penalized", "robust"])
def test_a_group_of_two_distinct_positions_is_counted_in_the_rank_warning(name):
    # Enough samples for the batch or the robust engine, but a design of rank 2 for 3
    # coefficients: the group is fitted as the estimator fits it, and counted once.
    rng = np.random.default_rng(8)
    x = np.concatenate([rng.uniform(0, 10, 30), np.repeat([2.0, 5.0], 10), rng.uniform(0, 10, 30)])
    y = 1.0 + 0.5 * x + rng.normal(0.0, 0.1, len(x))
    groups = np.repeat(["a", "two", "c"], [30, 20, 30])
    model = zarn.PolynomialRegressor(**MODELS[name].get_params()).set_params(degree=2)
    with pytest.warns(RankWarning, match="1 of 3 groups"):
        fits = zarn.fit_groups(x, y, groups, model)
    for i, part in enumerate([slice(0, 30), slice(50, 80), slice(30, 50)]):
        ref = own_fit(model, x[part], y[part], None)
        assert_close(fits.coef[i], ref.coef_, name == "robust")
        assert_close(fits.stderr[i], ref.stderr_, name == "robust")


@pytest.mark.parametrize(
    "labels",
    [
        np.array(["b", "a", "c", "a", "b", "c", "a", "b", "c"] * 3),
        np.array([3, -1, 7, 3, -1, 7, 3, -1, 7] * 3),
        np.array([2.5, np.nan, 0.5, 2.5, np.nan, 0.5, 2.5, 1.0, 0.5] * 3),
        np.array(["x", None, "y", "x", None, "y", "x", "z", "y"] * 3, dtype=object),
    ],
)
def test_labels_are_sorted_and_missing_labels_dropped_as_pandas_groupby_does(labels):
    pd = pytest.importorskip("pandas")
    x = np.tile(np.arange(9.0), 3) + np.repeat([0.0, 0.1, 0.2], 9)
    y = x**2 / 10.0
    model = zarn.PolynomialRegressor(degree=1, method="ols")
    fits = zarn.fit_groups(x, y, labels, model)
    expected = pd.Series(y).groupby(labels, dropna=True).size()
    np.testing.assert_array_equal(fits.labels, expected.index.to_numpy())
    np.testing.assert_array_equal(fits.n_used, expected.to_numpy())
    series = zarn.fit_groups(x, y, pd.Series(labels, name="sensor"), model)
    pd.testing.assert_index_equal(series.to_pandas().index, expected.index.rename("sensor"))
    np.testing.assert_array_equal(series.coef, fits.coef)


def test_categorical_labels_keep_the_order_of_their_categories():
    pd = pytest.importorskip("pandas")
    labels = pd.Categorical(list("aabbaabbzz"), categories=["z", "b", "a", "unseen"])
    x = np.arange(10.0)
    fits = zarn.fit_groups(x, x**2, labels, zarn.PolynomialRegressor(degree=1, method="ols"))
    expected = pd.Series(x).groupby(labels, observed=True).size()
    pd.testing.assert_index_equal(fits.to_pandas().index, expected.index)
    np.testing.assert_array_equal(fits.n_used, expected.to_numpy())


def test_dataframe_form():
    pd = pytest.importorskip("pandas")
    x, y, labels, w = long_data(seed=6, datetime=True)
    df = pd.DataFrame(
        {
            "site": np.where(labels < 150, "north", "south"),
            "sensor": labels,
            "time": x,
            "value": y,
            "w": w,
        }
    )
    model = MODELS["penalized"]
    fits = zarn.fit_groups(df, x="time", y="value", by=["site", "sensor"], model=model,
                           sample_weight="w")  # fmt: skip
    grouped = df.groupby(["site", "sensor"]).size()
    table = fits.to_pandas()
    pd.testing.assert_index_equal(table.index, grouped.index)
    # The same fits as the array form, labelled by the second key alone.
    plain = zarn.fit_groups(x, y, labels, model, sample_weight=w)
    order = np.searchsorted(plain.labels, table.index.get_level_values("sensor"))
    np.testing.assert_array_equal(fits.coef, plain.coef[order])
    # One key of numbers: the labels and their Index as df.groupby("sensor") gives them.
    by_sensor = zarn.fit_groups(df, x="time", y="value", by="sensor", model=model,
                                sample_weight="w")  # fmt: skip
    sizes = df.groupby("sensor").size()
    pd.testing.assert_index_equal(by_sensor.to_pandas().index, sizes.index)
    np.testing.assert_array_equal(by_sensor.coef, plain.coef)
    np.testing.assert_array_equal(table["coef_1"], fits.coef[:, 1])
    np.testing.assert_array_equal(table["n_used"], fits.n_used)
    assert list(table.columns[:2]) == ["coef_0", "coef_1"]
    assert {"stderr_3", "scale", "r2", "domain_low", "domain_high"} <= set(table.columns)
    # predict takes the keys as tuples or as a DataFrame of the key columns.
    rows = df.dropna().iloc[:6]
    keys = list(zip(rows.site, rows.sensor))
    by_tuples = fits.predict(rows.time, keys)
    np.testing.assert_array_equal(fits.predict(rows.time, rows[["site", "sensor"]]), by_tuples)
    at = grouped.index.get_indexer(keys)
    for value, i, t in zip(by_tuples, at, rows.time.to_numpy()):
        coef, (low, high) = fits.coef[i], fits.domain[i, 0]
        u = (2 * t.astype(np.int64) - low - high) / (high - low)
        np.testing.assert_allclose(value, np.polynomial.polynomial.polyval(u, coef), rtol=1e-9)


def test_predict_matches_each_groups_estimator():
    x, y, labels, _ = long_data(seed=7)
    model = MODELS["ols"]
    fits = zarn.fit_groups(x, y, labels, model)
    used = valid(x, y, labels, np.ones(len(x)))
    fitted = fits.labels[np.isfinite(fits.coef).all(axis=1)]
    at = np.linspace(-20.0, 1500.0, 7)
    for label in fitted[:5]:
        mine = used & (labels == label)
        ref = own_fit(model, x[mine], y[mine], None)
        group = np.full(len(at), label)
        np.testing.assert_allclose(fits.predict(at, group), ref.predict(at[:, None]), rtol=1e-9)
        slope = ref.to_polynomial().deriv(2)(at)
        np.testing.assert_allclose(fits.predict(at, group, derivative=2), slope, rtol=1e-9)
    not_fitted = fits.labels[np.isnan(fits.coef).all(axis=1)][0]
    assert np.isnan(fits.predict([1.0], [not_fitted])).all()
    with pytest.raises(KeyError, match=r"such as \[-5.0, 7.5\]"):
        fits.predict([1.0, 2.0, 3.0], [-5.0, 7.5, -5.0])
    with pytest.raises(ValueError, match="3 positions but groups has 2"):
        fits.predict([1.0, 2.0, 3.0], fitted[:2])


def test_bad_arguments():
    x, y, groups = np.arange(6.0), np.arange(6.0), np.array([1, 1, 1, 2, 2, 2])
    with pytest.raises(ValueError, match="x has 6 samples but y has 5"):
        zarn.fit_groups(x, y[:5], groups)
    with pytest.raises(ValueError, match="one label per sample"):
        zarn.fit_groups(x, y, groups[:5])
    with pytest.raises(TypeError, match="needs the group"):
        zarn.fit_groups(x, y)
    with pytest.raises(TypeError, match="name the columns of a DataFrame"):
        zarn.fit_groups(x, y, groups, by="sensor")
    with pytest.raises(ValueError, match="y must be 1-D"):
        zarn.fit_groups(x, np.ones((6, 2)), groups)
    with pytest.raises(ValueError, match="Negative values"):
        zarn.fit_groups(x, y, groups, sample_weight=-np.ones(6))
    with pytest.raises(TypeError, match="PolynomialRegressor"):
        zarn.fit_groups(x, y, groups, "ols")
    pd = pytest.importorskip("pandas")
    df = pd.DataFrame({"t": x, "v": y, "g": groups})
    with pytest.raises(TypeError, match="by="):
        zarn.fit_groups(df, x="t", y="v", groups=groups)
    with pytest.raises(TypeError, match="needs by="):
        zarn.fit_groups(df, x="t", y="v")


def test_without_pandas_arrays_work_and_to_pandas_names_the_extra(run_python):
    result = run_python(
        """
        import sys
        sys.modules["pandas"] = None  # as if pandas were not installed
        import numpy as np, zarn
        x = np.tile(np.arange(4.0), 2)
        fits = zarn.fit_groups(x, np.r_[x[:4], -x[:4]], np.repeat(["a", "b"], 4),
                               zarn.PolynomialRegressor(degree=1, method="ols"))
        print(fits.coef.round(6).tolist())
        try:
            fits.to_pandas()
        except ImportError as err:
            print(err)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "[[1.5, 1.5], [-1.5, -1.5]]"
    assert "pip install 'zarn[pandas]'" in lines[1]


def sorting_case(name):
    """(X, y, w, codes, n_groups) of the native sort's edge cases."""
    rng = np.random.default_rng(11)
    if name == "empty":
        return np.empty((0, 1)), np.empty(0), None, np.empty(0, dtype=np.int64), 3
    if name == "no groups":
        return np.empty((0, 2)), np.empty(0), np.empty(0), np.empty(0, dtype=np.int64), 0
    if name == "large":  # more samples and groups than the benchmark's
        n = 600_000
        X, y = rng.uniform(0.0, 1.0, (n, 1)), rng.normal(size=n)
        y[rng.random(n) < 1e-3] = np.nan
        return X, y, None, rng.integers(-1, 30_000, n), 30_000
    n = 400
    X, y, w = rng.uniform(-1.0, 1.0, (n, 2)), rng.normal(size=n), rng.uniform(0.5, 2.0, n)
    codes = rng.integers(0, 7, n)
    if name == "one group":
        return X[:, :1], y, None, np.zeros(n, dtype=np.int64), 1
    if name == "in order":
        return X, y, w, np.sort(codes), 7
    if name == "in order with a gap":
        y[123] = np.nan
        return X, y, w, np.sort(codes), 7
    if name == "no sample used":
        return X, y, w, np.full(n, -1), 2
    # Interleaved, with groups 2 and 5 empty, samples of no group, NaN, infinity, zero weights.
    codes[np.isin(codes, [2, 5])] = -1
    y[rng.random(n) < 0.05] = np.nan
    X[rng.random(n) < 0.05, 1] = np.inf
    w[rng.random(n) < 0.05] = 0.0
    return X, y, w, codes, 7


@pytest.mark.parametrize(
    "name",
    ["mixed", "one group", "in order", "in order with a gap", "no sample used", "empty",
     "no groups", "large"],
)  # fmt: skip
def test_samples_are_sorted_stably_by_group_without_those_not_used(name):
    X, y, w, codes, n_groups = sorting_case(name)
    used = (codes >= 0) & np.isfinite(y) & np.isfinite(X).all(axis=1)
    if w is not None:
        used &= w > 0.0
    want = np.flatnonzero(used)
    want = want[np.argsort(codes[want], kind="stable")]
    samples = sort_samples(X, y, w, codes, n_groups)
    counts = np.bincount(codes[used], minlength=n_groups)
    np.testing.assert_array_equal(samples.counts, counts)
    np.testing.assert_array_equal(samples.starts, np.cumsum(counts) - counts)
    assert samples.n_input == len(y)
    if used.all() and (np.diff(codes) >= 0).all():  # already grouped: the input itself
        assert name in ("in order", "one group", "empty", "no groups")
        assert samples.rows is None and samples.X is X and samples.y is y
        return
    np.testing.assert_array_equal(samples.rows, want)
    np.testing.assert_array_equal(samples.X, X[want])
    np.testing.assert_array_equal(samples.y, y[want])
    if w is not None:
        np.testing.assert_array_equal(samples.w, w[want])
    # Each group's range of its sorted samples; NaN for an empty group.
    low, high = _ranges(samples, samples.X)
    some = counts > 0
    assert np.isnan(low[~some]).all() and np.isnan(high[~some]).all()
    if some.any():
        heads = samples.starts[some]
        np.testing.assert_array_equal(low[some], np.minimum.reduceat(X[want], heads))
        np.testing.assert_array_equal(high[some], np.maximum.reduceat(X[want], heads))


def test_sorting_refuses_codes_beyond_the_groups():
    X, y, w, codes, _ = sorting_case("mixed")
    with pytest.raises(ValueError, match="codes must be below n_groups"):
        sort_samples(X, y, w, codes, 6)


@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("penalized", [False, True])
def test_native_normal_equations_of_groups_of_rows(weighted, penalized):
    # Groups of 12, 0, 3 and 30 rows; the group of 3 has two equal rows (rank 2 of 3).
    rng = np.random.default_rng(12)
    offsets = np.array([0, 12, 12, 15, 45])
    x = rng.uniform(-1.0, 1.0, 45)
    x[13] = x[14]
    Phi = np.asfortranarray(np.vander(x, 3, increasing=True))
    y = 1.0 + x - 2.0 * x**2 + rng.normal(0.0, 0.1, 45)
    w = rng.uniform(0.5, 2.0, 45) if weighted else None
    S = np.diag([1e-10, 0.3, 0.7]) if penalized else None
    fits = _normal_fits(Phi, offsets, w, 1e-3, y=y, penalty=S, residuals=True)
    np.testing.assert_array_equal(fits["certain"], [True, False, False, True])
    for g in range(4):
        part = slice(offsets[g], offsets[g + 1])
        P, yg = Phi[part], y[part]
        wg = np.ones(len(yg)) if w is None else w[part]
        G = P.T @ (wg[:, None] * P)
        np.testing.assert_allclose(fits["trace"][g], np.trace(G), rtol=1e-13)
        A = G if S is None or not len(yg) else G + wg.sum() / len(yg) * S
        if np.linalg.eigvalsh(A)[0] <= 1e-12 * max(np.trace(A), 1.0):  # not positive definite
            assert np.isnan(fits["coef"][g]).all() and np.isnan(fits["rss"][g])
            continue
        coef = np.linalg.solve(A, P.T @ (wg * yg))
        inverse = np.linalg.inv(A)
        resid = yg - P @ coef
        mean = np.sum(wg * yg) / wg.sum()
        np.testing.assert_allclose(fits["coef"][g], coef, rtol=1e-10, atol=1e-12)
        np.testing.assert_allclose(fits["inverse"][g].reshape(3, 3), inverse, rtol=1e-9)
        np.testing.assert_allclose(fits["edf"][g], np.trace(inverse @ G), rtol=1e-10)
        np.testing.assert_allclose(fits["rss"][g], np.sum(wg * resid**2), rtol=1e-9)
        np.testing.assert_allclose(fits["tss"][g], np.sum(wg * (yg - mean) ** 2), rtol=1e-12)
        np.testing.assert_allclose(fits["residuals"][part], resid, rtol=1e-9, atol=1e-13)
    alone = _normal_fits(Phi, offsets, w, 1e-3)  # the test of full rank alone
    assert set(alone) == {"trace", "certain"}
    np.testing.assert_array_equal(alone["certain"], fits["certain"])


def test_groups_without_any_sample_used():
    model = zarn.PolynomialRegressor(degree=1, method="ols")
    x = np.arange(10.0)
    y = np.r_[np.full(5, np.nan), 2.0 * x[5:]]
    fits = zarn.fit_groups(x, y, np.repeat([0, 1], 5), model)
    np.testing.assert_array_equal(fits.n_used, [0, 5])
    assert np.isnan(fits.coef[0]).all() and np.isnan(fits.domain[0]).all()
    np.testing.assert_allclose(fits.predict([10.0], [1]), [20.0])
    none = zarn.fit_groups(x, y, np.full(10, np.nan), model)  # no sample in any group
    assert len(none) == 0 and none.coef.shape == (0, 2)
