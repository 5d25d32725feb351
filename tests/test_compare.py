import html.parser
import math
import pickle
import sys
import warnings

import numpy as np
import pytest

import zarn
from conftest import SMALL_SAMPLER
from zarn.compare import ComparisonRow, compare_models


def cubic(n, outliers=0.0, seed=1):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    y = 1.0 - 2.0 * x + 3.0 * x**3 + rng.normal(scale=0.05, size=n)
    bad = rng.choice(n, int(outliers * n), replace=False)
    y[bad] = rng.uniform(-20.0, 20.0, bad.size)
    return x, y


@pytest.mark.parametrize("method", ["ols", "penalized"])
def test_clear_case_picks_the_true_degree(method):
    x, y = cubic(200)
    cmp = compare_models(x, y, degrees=range(9), methods=[method])
    assert cmp.best_.degree == 3 and cmp.best_.method == method
    assert cmp.rows[0].degree == 3
    np.testing.assert_allclose(cmp.best_.to_polynomial().convert().coef, [1, -2, 0, 3], atol=0.03)


def test_robust_fits_pick_the_true_degree_despite_outliers(small_sampler):
    x, y = cubic(200, outliers=0.2)
    least_squares = compare_models(x, y, degrees=range(7))
    robust = compare_models(x, y, degrees=range(7), methods=["robust"], **small_sampler)
    assert least_squares.best_.degree != 3  # the outliers hide the cubic from the plain fits
    assert robust.best_.degree == 3
    assert robust.rows[0].hit_rate > 0.75  # the inliers, 80 % of the data


def test_rows_hold_the_fit_scores_and_statsmodels_criteria():
    sm = pytest.importorskip("statsmodels.api")
    x, y = cubic(60)
    cmp = compare_models(x, y, degrees=range(6), methods=("ols", "penalized"), criterion="mdl")
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
        ref = sm.OLS(y, np.vander(x, row.k)).fit()
        assert row.edf == pytest.approx(row.k, rel=1e-9)  # no penalty: the coefficients
        assert row.aic == pytest.approx(ref.aic, rel=1e-9)
        assert row.bic == pytest.approx(ref.bic, rel=1e-9)
        assert row.rmse == pytest.approx(math.sqrt(ref.ssr / n), rel=1e-9)


@pytest.mark.parametrize("methods", [("ols", "penalized"), ("penalized", "ols")])
def test_equal_scores_go_to_the_order_of_the_candidates(methods):
    x = np.linspace(-1.0, 1.0, 30)
    cmp = compare_models(x, 2.0 * x**2 - 1.0, degrees=[3, 2], methods=methods, criterion="mdl")
    # Both methods fit the parabola exactly: equal MDL at equal k, so candidate order.
    assert [(r.degree, r.method) for r in cmp.rows] == [
        (2, methods[0]),
        (2, methods[1]),
        (3, methods[0]),
        (3, methods[1]),
    ]
    assert cmp.rows[0].mdl == cmp.rows[1].mdl
    assert cmp.best_.method == methods[0]


@pytest.mark.parametrize("column", ["mdl", "aic", "bic", "rbic"])
def test_equal_scores_go_to_fewer_coefficients(column):
    def row(k, score):
        values = {**dict(mdl=0.0, aic=0.0, bic=0.0, rbic=0.0), column: score}
        return ComparisonRow(
            k - 1, k, "ols", 0.0, 0.0, (0.0, 0.0), k, hit_rate=1.0, rmse=0.0, r2=1.0,
            fit_time=0.0, k_exceeds_n=False, **values,
        )  # fmt: skip

    rows = [row(5, 1.0), row(3, 2.0), row(2, 1.0), row(4, float("nan")), row(1, 1.0)]
    assert zarn.compare._ranking(rows, column) == [4, 2, 0, 1, 3]


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
    series = compare_models(pd.Series(x, name="t"), y, degrees=range(5))
    assert list(series.best_.feature_names_in_) == ["t"]
    assert [r.mdl for r in series.rows] == [r.mdl for r in flat.rows]
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no warning about feature names
        for cmp in (frame, series):
            np.testing.assert_array_equal(
                cmp.best_.predict(pd.DataFrame({"t": x[:3]})), flat.best_.predict(x[:3, None])
            )
    unnamed = compare_models(pd.Series(x), y, degrees=range(5))  # no name: as an array
    assert not hasattr(unnamed.best_, "feature_names_in_")


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


def test_pickles(small_sampler):
    x, y = cubic(40)
    cmp = compare_models(x, y, degrees=range(5), methods=["penalized", "robust"], **small_sampler)
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
    assert table[0].split()[-6:] == ["R²", "AIC", "BIC", "RBIC", "fit", "time"]
    assert lines[-1].endswith(f"best_ = {cmp.best_!r}") and "ranked by robust BIC" in lines[0]
    for line, row in zip(table[1:], cmp.rows):
        assert line.split()[1:3] == [str(row.degree), str(row.k)]
        for value in (row.mdl, row.aic, row.bic, row.rbic):
            assert f"{value:.2f}" in line

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
    y = X.sum(axis=1) ** 3 + rng.normal(scale=0.01, size=80)
    for criterion in ("rbic", "mdl"):
        cmp = compare_models(X, y, degrees, penalties=[(0, 0), (1e-2, 0)], criterion=criterion)
        fig, ax = plt.subplots()
        try:
            assert cmp.plot(ax=ax) is ax
            twins = [other for other in fig.axes if other is not ax]
            assert len(twins) == 1 and "MDL" in twins[0].get_ylabel()
            # Two penalty pairs: three criteria each on the left, the MDL score on the right.
            on_star_axes = 1 if criterion == "rbic" else 0
            assert len(ax.lines) == 6 + on_star_axes and len(twins[0].lines) == 3 - on_star_axes
            star = (ax if criterion == "rbic" else twins[0]).lines[-1]
            best = cmp.rows[0]
            x_best = best.degree if d == 1 else list(degrees).index(best.degree)
            height = 0.0 if criterion == "rbic" else best.mdl  # the lowest robust BIC
            assert star.get_xydata().tolist() == [[x_best, height]]
            labels = [line.get_label() for line in ax.lines[:3]]
            assert [label.split(",")[0] for label in labels] == ["RBIC", "BIC", "AIC"]
            if d == 2:
                ticks = [t.get_text() for t in ax.get_xticklabels()]
                assert ticks == ["(1, 1)", "(2, 2)", "(3, 1)"]
            else:
                low, high = ax.get_xlim()
                shown = [t for t in ax.get_xticks() if low <= t <= high]
                assert len(shown) >= 3 and all(float(t).is_integer() for t in shown)
            # The legend: four line styles, two colours, the chosen model; outside the
            # data area of both axes.
            legend = ax.get_legend()
            texts = [t.get_text() for t in legend.get_texts()]
            assert texts[:4] == ["RBIC", "BIC", "AIC", "MDL (right axis)"] and len(texts) == 7
            fig.canvas.draw()
            box = legend.get_window_extent()
            for axes in (ax, *twins):
                assert not box.overlaps(axes.bbox) and box.y0 >= axes.bbox.y1
        finally:
            plt.close(fig)


def test_plot_keeps_the_right_axis_label_inside_a_saved_figure(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    x, y = cubic(600, outliers=0.2)  # MDL scores in the hundreds: wide tick labels
    cmp = compare_models(x, y, range(6), methods=["penalized", "robust"], **SMALL_SAMPLER)
    ax = cmp.plot()
    fig = ax.figure
    try:
        fig.savefig(tmp_path / "comparison.png")  # a plain savefig, as a user writes it
        renderer = fig.canvas.get_renderer()
        box = fig.bbox
        for axes in fig.axes:
            label = axes.yaxis.label.get_window_extent(renderer)
            assert box.x0 <= label.x0 and label.x1 <= box.x1, axes.get_ylabel()
            assert box.y0 <= label.y0 and label.y1 <= box.y1
        legend = ax.get_legend().get_window_extent(renderer)  # above the axes, in the image
        assert box.y0 <= legend.y0 and legend.y1 <= box.y1 and legend.y0 >= ax.bbox.y1
    finally:
        plt.close(fig)


@pytest.mark.parametrize("module, extra", [("pandas", "pandas"), ("matplotlib", "plot")])
def test_optional_packages_are_named_when_missing(monkeypatch, module, extra):
    cmp = compare_models([0.0, 1.0, 2.0], [0.0, 1.0, 2.0], degrees=[1])
    monkeypatch.setitem(sys.modules, module, None)  # also when no test has imported it yet
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


# ------------------------------------------------------------------ criteria


@pytest.mark.parametrize("criterion", ["mdl", "aic", "bic", "rbic"])
def test_rows_are_sorted_and_best_chosen_by_the_criterion(criterion):
    x, y = cubic(80, outliers=0.1)
    methods = ("ols", "robust")
    cmp = compare_models(x, y, range(6), methods=methods, criterion=criterion, **SMALL_SAMPLER)
    values = [getattr(row, criterion) for row in cmp.rows]
    assert values == sorted(values) and cmp.criterion == criterion
    table = cmp.to_pandas()  # its columns are named as the criteria
    assert table[criterion].tolist() == values
    assert table.sort_values(criterion, kind="stable").index.tolist() == list(range(len(values)))
    best = cmp.rows[0]
    assert (cmp.best_.degree, cmp.best_.method) == (best.degree, best.method)
    assert zarn._criteria.CRITERION_NAMES[criterion] in repr(cmp).splitlines()[0]


@pytest.mark.parametrize("bad", ["BIC", "robust", "", None, 1, ("bic",)])
def test_unknown_criteria_are_refused(bad):
    with pytest.raises(ValueError, match="'criterion' parameter of compare_models must be"):
        compare_models([0.0, 1.0, 2.0], [0.0, 1.0, 2.0], degrees=[1], criterion=bad)


@pytest.mark.parametrize("kind", ["symmetric", "one-sided"])
def test_the_default_criterion_finds_the_degree_under_outliers(kind):
    rng = np.random.default_rng(4)
    for seed in range(3):
        x, y = cubic(300, seed=seed)
        bad = rng.choice(300, 90, replace=False)  # 30 % gross outliers
        if kind == "one-sided":
            y[bad] += rng.uniform(5.0, 15.0, bad.size)
        else:
            y[bad] = rng.uniform(-20.0, 20.0, bad.size)
        cmp = compare_models(x, y, degrees=range(7), methods=["penalized", "robust"])
        assert (cmp.best_.degree, cmp.best_.method) == (3, "robust")


def test_penalised_candidates_count_their_effective_degrees_of_freedom():
    x, y = cubic(100)
    cmp = compare_models(x, y, [8], penalties=[(0, 0), (0, 1e-4), (0, 1e-1), (0, "auto")])
    edf = {row.penalty: row.edf for row in cmp.rows}
    assert edf[(0.0, 0.0)] == pytest.approx(9.0, abs=1e-6)
    assert 9.0 > edf[(0.0, 1e-4)] > edf[(0.0, 0.1)] > 2.0  # curvature pulls towards a line
    auto = next(row for row in cmp.rows if row.penalty == (0.0, "auto"))
    model = zarn.PolynomialRegressor(degree=8, gamma2="auto").fit(x[:, None], y)
    assert auto.gamma2 == model.gamma2_ > 0.0 and auto.gamma1 == 0.0
    n = len(y)
    assert auto.bic - auto.edf * math.log(n) == pytest.approx(auto.aic - 2 * auto.edf)
    assert "* a penalty weight chosen by REML" in repr(cmp)


@pytest.mark.parametrize(
    "penalties", [[("auto", "Auto")], [(0.0, "max")], [("auto",)], [(-1.0, "auto")]]
)
def test_bad_automatic_penalties_are_refused(penalties):
    with pytest.raises(ValueError, match=r'finite numbers >= 0 or "auto"'):
        compare_models([0.0, 1.0, 2.0, 3.0], [0.0, 1.0, 2.0, 4.0], [1], penalties=penalties)
