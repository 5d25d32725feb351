import doctest
import html.parser
import math
import pickle
import sys

import numpy as np
import pytest

import zarn
import zarn.compare
from zarn.compare import ComparisonRow, compare_models

SMALL_SAMPLER = dict(n_chains=8, n_warmup=50, n_deep=200, n_elite=2)


def cubic(n, outliers=0.0, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    y = 1.0 - 2.0 * x + 3.0 * x**3 + rng.normal(scale=0.05, size=n)
    bad = rng.choice(n, int(outliers * n), replace=False)
    y[bad] = rng.uniform(-20.0, 20.0, bad.size)
    return x, y


def test_docstring_examples():
    result = doctest.testmod(zarn.compare, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.attempted > 0
    assert result.failed == 0


@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_clear_case_picks_the_true_degree(method):
    x, y = cubic(200)
    cmp = compare_models(x, y, degrees=range(9), methods=[method])
    assert cmp.best_.degree == 3 and cmp.best_.method == method
    assert cmp.rows[0].degree == 3
    np.testing.assert_allclose(cmp.best_.to_polynomial().convert().coef, [1, -2, 0, 3], atol=0.03)


def test_robust_fits_pick_the_true_degree_despite_outliers():
    x, y = cubic(200, outliers=0.2)
    least_squares = compare_models(x, y, degrees=range(7))
    robust = compare_models(x, y, degrees=range(7), methods=["robust"], **SMALL_SAMPLER)
    assert least_squares.best_.degree != 3  # the outliers hide the cubic from the plain fits
    assert robust.best_.degree == 3
    assert robust.rows[0].hit_rate > 0.75  # the inliers, 80 % of the data


def test_rows_are_sorted_by_mdl_and_hold_the_fit_scores():
    sm = pytest.importorskip("statsmodels.api")
    x, y = cubic(60)
    cmp = compare_models(x, y, degrees=range(6), methods=("ols", "penalized"))
    assert len(cmp) == 12
    assert [r.mdl for r in cmp.rows] == sorted(r.mdl for r in cmp.rows)
    n = len(y)
    for row in cmp.rows:
        model = zarn.PolynomialRegressor(degree=row.degree, method=row.method).fit(x[:, None], y)
        assert row.k == row.degree + 1 and not row.k_exceeds_n
        assert row.mdl == pytest.approx(model.mdl_score(x[:, None], y), abs=1e-9)
        assert row.r2 == pytest.approx(model.score(x[:, None], y), abs=1e-12)
        eps = 0.4 * zarn.mad(y)
        assert row.hit_rate == zarn.compute_sr(model.predict(x[:, None]), y, eps)
        # statsmodels' criteria carry the constant n (1 + ln 2 pi) of the Gaussian likelihood.
        ref = sm.OLS(y, np.vander(x, row.k)).fit()
        constant = n * (1.0 + math.log(2.0 * math.pi))
        assert row.gaussian_aic + constant == pytest.approx(ref.aic, rel=1e-9)
        assert row.gaussian_bic + constant == pytest.approx(ref.bic, rel=1e-9)
        assert row.rmse == pytest.approx(math.sqrt(ref.ssr / n), rel=1e-9)


@pytest.mark.parametrize("methods", [("ols", "penalized"), ("penalized", "ols")])
def test_equal_scores_go_to_the_order_of_the_candidates(methods):
    x = np.linspace(-1.0, 1.0, 30)
    cmp = compare_models(x, 2.0 * x**2 - 1.0, degrees=[3, 2], methods=methods)
    # Both methods fit the parabola exactly: equal MDL at equal k, so candidate order.
    assert [(r.degree, r.method) for r in cmp.rows] == [
        (2, methods[0]),
        (2, methods[1]),
        (3, methods[0]),
        (3, methods[1]),
    ]
    assert cmp.rows[0].mdl == cmp.rows[1].mdl
    assert cmp.best_.method == methods[0]


def test_equal_scores_go_to_fewer_coefficients():
    def row(k, mdl):
        return ComparisonRow(k - 1, k, "ols", 0.0, 0.0, mdl, 1.0, 0.0, 1.0, 0.0, 0.0, 0.0, False)

    rows = [row(5, 1.0), row(3, 2.0), row(2, 1.0), row(4, float("nan")), row(1, 1.0)]
    assert zarn.compare._ranking(rows) == [4, 2, 0, 1, 3]


@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_more_coefficients_than_samples_are_fitted_and_flagged(method):
    x = np.array([0.0, 0.5, 1.5, 2.0, 3.0])
    y = np.array([1.0, -1.0, 2.0, 0.5, 3.0])
    cmp = compare_models(x, y, degrees=range(8), methods=[method])
    assert len(cmp) == 8
    for row in cmp.rows:
        assert row.k_exceeds_n == (row.k > 5)
        if row.k >= 5:  # interpolating fits hit every sample
            assert row.hit_rate == 1.0 and row.rmse < 1e-6
    assert "k > n" in repr(cmp)
    assert "k &gt; n" in cmp._repr_html_()


def test_one_dimensional_X_is_one_feature_and_dataframes_keep_names():
    pd = pytest.importorskip("pandas")
    x, y = cubic(50)
    flat, column = compare_models(x, y, degrees=range(5)), compare_models(x[:, None], y, range(5))
    assert [r.mdl for r in flat.rows] == [r.mdl for r in column.rows]
    frame = compare_models(pd.DataFrame({"t": x}), y, degrees=range(5))
    assert list(frame.best_.feature_names_in_) == ["t"]


def test_degrees_per_feature():
    rng = np.random.default_rng(0)
    X = rng.uniform(-1, 1, (100, 2))
    y = X[:, 0] ** 2 + X[:, 1] + rng.normal(scale=0.01, size=100)
    cmp = compare_models(X, y, degrees=[(1, 1), (2, 1), 2, (1, 2)])
    assert cmp.best_.degree == (2, 1)
    assert {r.k for r in cmp.rows} == {3, 5, 6}  # the total basis: powers sum to <= max
    tensor = compare_models(X, y, degrees=[(1, 1), (2, 1), 2, (1, 2)], basis="tensor")
    assert {r.k for r in tensor.rows} == {4, 6, 9}
    assert "(2, 1)" in repr(cmp)


def test_pickles():
    x, y = cubic(40)
    cmp = compare_models(x, y, degrees=range(5), methods=["penalized", "robust"], **SMALL_SAMPLER)
    back = pickle.loads(pickle.dumps(cmp))
    assert back.rows == cmp.rows and repr(back) == repr(cmp)
    grid = np.linspace(-1, 1, 7)[:, None]
    assert np.array_equal(back.best_.predict(grid), cmp.best_.predict(grid))


def test_text_and_html_tables():
    x, y = cubic(40)
    cmp = compare_models(x, y, degrees=range(4), penalties=[(0.0, 0.0), (1e-3, 0.0)])
    lines = repr(cmp).splitlines()
    table = lines[1 : 2 + len(cmp)]
    assert len({len(line) for line in table}) == 1  # aligned columns
    assert table[0].split()[:4] == ["rank", "degree", "k", "method"]
    assert "Gaussian BIC" in table[0] and lines[-1].endswith(f"best_ = {cmp.best_!r}")
    for line, row in zip(table[1:], cmp.rows):
        assert line.split()[1:3] == [str(row.degree), str(row.k)]
        assert f"{row.mdl:.2f}" in line

    class Counter(html.parser.HTMLParser):
        rows = 0

        def handle_starttag(self, tag, attrs):
            self.rows += tag == "tr"

    parser = Counter()
    parser.feed(cmp._repr_html_())
    assert parser.rows == len(cmp) + 1


def test_long_tables_are_cut():
    x, y = cubic(40)
    cmp = compare_models(x, y, degrees=range(12), penalties=[(0, 0), (1e-3, 0), (0, 1e-4)])
    assert len(cmp) == 36
    assert "... 6 more row(s)" in repr(cmp)
    assert repr(cmp).count("\n") == 2 + 30 + 1


def test_to_pandas():
    pytest.importorskip("pandas")
    x, y = cubic(40)
    cmp = compare_models(x, y, degrees=[0, 2, 4], methods=["ols", "penalized"])
    frame = cmp.to_pandas()
    assert list(frame.columns) == [f.name for f in zarn.compare.dataclasses.fields(ComparisonRow)]
    assert frame["mdl"].tolist() == [r.mdl for r in cmp.rows]
    assert frame["method"].tolist() == [r.method for r in cmp.rows]


@pytest.mark.parametrize("degrees", [range(6), [(1, 1), (2, 2), (3, 1)]])
def test_plot(degrees):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rng = np.random.default_rng(0)
    d = 1 if isinstance(degrees, range) else 2
    X = rng.uniform(-1, 1, (80, d))
    y = X.sum(axis=1) ** 3
    cmp = compare_models(X, y, degrees=degrees, penalties=[(0, 0), (1e-2, 0)])
    fig, ax = plt.subplots()
    try:
        assert cmp.plot(ax=ax) is ax
        twins = [other for other in fig.axes if other is not ax]
        assert len(twins) == 1 and "BIC" in twins[0].get_ylabel()
        assert len(ax.lines) == 3 and len(twins[0].lines) == 2  # two pairs, and the star
        star = ax.lines[-1]
        best = cmp.rows[0]
        x_best = best.degree if d == 1 else list(degrees).index(best.degree)
        assert star.get_xydata().tolist() == [[x_best, best.mdl]]
        if d == 2:
            assert [t.get_text() for t in ax.get_xticklabels()] == ["(1, 1)", "(2, 2)", "(3, 1)"]
    finally:
        plt.close(fig)


@pytest.mark.parametrize("module, extra", [("pandas", "pandas"), ("matplotlib", "plot")])
def test_optional_packages_are_named_when_missing(monkeypatch, module, extra):
    cmp = compare_models([0.0, 1.0, 2.0], [0.0, 1.0, 2.0], degrees=[1])
    for name in list(sys.modules):
        if name == module or name.startswith(module + "."):
            monkeypatch.setitem(sys.modules, name, None)
    with pytest.raises(ImportError, match=rf"pip install 'zarn\[{extra}\]'"):
        cmp.to_pandas() if module == "pandas" else cmp.plot()


@pytest.mark.parametrize(
    "kwargs, error, match",
    [
        (dict(degrees=[]), ValueError, "degrees is empty"),
        (dict(degrees=5), TypeError, r"range\(0, 6\)"),
        (dict(degrees=[1, -1]), ValueError, "degrees"),
        (dict(degrees=[(1, 2)]), ValueError, r"degrees\[0\].*2 entries.*1 feature"),
        (dict(methods=["penalized", "lasso"]), ValueError, r"methods\[1\].*'lasso'"),
        (dict(methods=[]), ValueError, "methods is empty"),
        (dict(penalties=[]), ValueError, "penalties is empty"),
        (dict(penalties=[1e-3, 1e-4]), ValueError, r"penalties\[0\].*0.001"),
        (dict(penalties=[(0, 0), (1e-3,)]), ValueError, r"penalties\[1\]"),
        (dict(penalties=[(0, "a")]), ValueError, r"penalties\[0\]"),
        (dict(penalties=[(0, -1.0)]), ValueError, r"penalties\[0\]"),
        (dict(penalties=[(0, np.nan)]), ValueError, r"penalties\[0\]"),
        (dict(degree=3), ValueError, "sets degree"),
        (dict(basis="hexagonal"), ValueError, "basis"),
        (dict(colour="red"), ValueError, "colour"),
    ],
)
def test_bad_input(kwargs, error, match):
    x, y = cubic(20)
    with pytest.raises(error, match=match):
        compare_models(x, y, **kwargs)


def test_bad_data_is_named():
    with pytest.raises(ValueError, match="inconsistent numbers of samples"):
        compare_models([1.0, 2.0, 3.0], [1.0, 2.0])
    with pytest.raises(ValueError, match="Input X contains NaN"):
        compare_models([1.0, np.nan, 3.0], [1.0, 2.0, 3.0])
