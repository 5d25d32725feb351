import dataclasses
import shutil
import subprocess
from fractions import Fraction

import numpy as np
import pytest

import zarn
from zarn._basis import domain_map
from zarn._units import term_names, to_raw_units, unit_change


@pytest.fixture(scope="module")
def engel():
    # Module-wide: importing statsmodels takes about a second, once for the file.
    sm = pytest.importorskip("statsmodels.api")
    return sm.datasets.engel.load_pandas().data


def raw_monomials(X, exponents):
    return np.prod(X[:, None, :] ** exponents[None, :, :], axis=2)


def assert_like_statsmodels(table, result, level=0.95):
    # statsmodels' results on the raw monomials, column for column, to 1e-6.
    for ours, theirs in [
        (table.coef, result.params),
        (table.stderr, result.bse),
        (table.statistic, result.tvalues),
        (table.pvalue, result.pvalues),
        (table.low, result.conf_int(1 - level)[:, 0]),
        (table.high, result.conf_int(1 - level)[:, 1]),
    ]:
        np.testing.assert_allclose(ours, theirs, rtol=1e-6, atol=0)
    assert table.df_resid == result.df_resid
    assert table.n_obs == result.nobs


# ------------------------------------------------------------------ units


@pytest.mark.parametrize("degree", [1, 3, 6])
@pytest.mark.parametrize("domain", [(0.0, 1.0), (-3.0, 11.0), (1990.0, 2020.0)])
def test_one_feature_is_numpys_convert(degree, domain):
    rng = np.random.default_rng(degree)
    coef = rng.normal(size=degree + 1)
    p = np.polynomial.Polynomial(coef, domain=domain, window=(-1, 1))
    exponents = np.arange(degree + 1)[:, None]
    coef_raw, _ = to_raw_units(coef, np.eye(degree + 1), exponents, np.array([domain]))
    expected = p.convert().coef
    # convert() composes in floating point: agreement to its rounding, relative to the
    # largest raw coefficient.
    np.testing.assert_allclose(coef_raw, expected, rtol=0, atol=1e-12 * np.abs(expected).max())
    # The raw polynomial reproduces the mapped one, to the rounding of its terms (which
    # far from zero are large and cancel).
    x = np.linspace(*domain, 7)
    terms = coef_raw * x[:, None] ** np.arange(degree + 1)
    np.testing.assert_allclose(terms.sum(axis=1), p(x), rtol=0, atol=1e-13 * np.abs(terms).max())


def test_exact_against_a_closed_form():
    # z = off + scl x with a far domain: (c0 + c1 z + c2 z^2) expanded by hand in rationals.
    domain = np.array([[1990.0, 2021.0]])
    off, scl = (Fraction(float(v)) for v in domain_map(domain))
    coef = np.array([0.3, -1.7, 2.9])
    c0, c1, c2 = (Fraction(float(c)) for c in coef)
    exact = [c0 + c1 * off + c2 * off**2, c1 * scl + 2 * c2 * off * scl, c2 * scl**2]
    coef_raw, _ = to_raw_units(coef, np.eye(3), np.arange(3)[:, None], domain)
    assert coef_raw.tolist() == [float(v) for v in exact]


@pytest.mark.parametrize("basis", ["total", "tensor"])
def test_unit_change_reproduces_the_design(basis):
    # The raw monomials times T equal the mapped design matrix, for several features.
    rng = np.random.default_rng(1)
    X = rng.uniform([-2.0, 10.0, 0.0], [3.0, 30.0, 1.0], size=(40, 3))
    model = zarn.PolynomialRegressor(degree=(2, 3, 1), basis=basis, method="ols").fit(
        X, rng.normal(size=40)
    )
    T = unit_change(model.basis_, model.domain_)
    design = model._fits[0].design
    Phi = design.matrix(design.map(X))
    np.testing.assert_allclose(raw_monomials(X, model.basis_) @ T, Phi, rtol=1e-10, atol=1e-10)


@pytest.mark.parametrize(
    "exponents, names, expected",
    [
        ([[0], [1], [2]], ["income"], ["1", "income", "income^2"]),
        ([[0, 0], [0, 1], [1, 2], [3, 0]], ["x0", "x1"], ["1", "x1", "x0*x1^2", "x0^3"]),
    ],
)
def test_term_names(exponents, names, expected):
    assert term_names(np.array(exponents), names) == expected


# --------------------------------------------------- against statsmodels


def test_engel_degree_2_is_statsmodels_ols(engel):
    sm = pytest.importorskip("statsmodels.api")
    d = engel
    model = zarn.PolynomialRegressor(degree=2, method="ols").fit(d[["income"]], d["foodexp"])
    table = model.summary(X=d[["income"]], y=d["foodexp"])
    x = d["income"].to_numpy()
    result = sm.OLS(d["foodexp"].to_numpy(), np.column_stack([x**0, x, x**2])).fit()
    assert_like_statsmodels(table, result)
    assert table.terms == ("1", "income", "income^2")
    assert table.r2 == pytest.approx(result.rsquared, rel=1e-12)
    assert table.scale == pytest.approx(np.sqrt(result.scale), rel=1e-10)


@pytest.mark.parametrize("level", [0.9, 0.99])
def test_engel_weighted_is_statsmodels_wls(engel, level):
    sm = pytest.importorskip("statsmodels.api")
    d = engel
    x, y = d["income"].to_numpy(), d["foodexp"].to_numpy()
    w = 1.0 / x  # variance growing with income
    model = zarn.PolynomialRegressor(degree=2, method="ols").fit(x[:, None], y, sample_weight=w)
    table = model.summary(level)
    result = sm.WLS(y, np.column_stack([x**0, x, x**2]), weights=w).fit()
    assert_like_statsmodels(table, result, level)
    assert table.terms == ("1", "x0", "x0^2")


@pytest.mark.parametrize("basis", ["total", "tensor"])
def test_two_features_are_statsmodels_ols(basis):
    sm = pytest.importorskip("statsmodels.api")
    rng = np.random.default_rng(7)
    X = rng.uniform([0.0, 50.0], [4.0, 80.0], size=(120, 2))
    y = 1.0 + X[:, 0] ** 2 - 0.01 * X[:, 0] * X[:, 1] + rng.normal(size=120)
    model = zarn.PolynomialRegressor(degree=2, basis=basis, method="ols").fit(X, y)
    table = model.summary()
    result = sm.OLS(y, raw_monomials(X, model.basis_)).fit()
    assert_like_statsmodels(table, result)
    assert table.terms[:3] == ("1", "x1", "x1^2")
    assert ("x0^2*x1^2" in table.terms) == (basis == "tensor")


def test_penalized_statistics_follow_its_covariance():
    stats = pytest.importorskip("scipy.stats")
    rng = np.random.default_rng(3)
    x = rng.uniform(10.0, 20.0, 80)
    y = np.log(x) + rng.normal(scale=0.05, size=80)
    model = zarn.PolynomialRegressor(degree=6, gamma2=1e-3).fit(x[:, None], y)
    table = model.summary(level=0.8)
    df = model.df_resid_
    assert not df.is_integer()  # the effective degrees of freedom of a penalised fit
    T = unit_change(model.basis_, model.domain_)
    np.testing.assert_allclose(table.cov, T @ model.cov_ @ T.T, rtol=1e-10)
    np.testing.assert_allclose(table.stderr, np.sqrt(np.diag(table.cov)), rtol=1e-12)
    np.testing.assert_allclose(table.statistic, table.coef / table.stderr, rtol=1e-12)
    np.testing.assert_allclose(
        table.pvalue, 2 * stats.t.sf(np.abs(table.statistic), df), rtol=1e-10
    )
    half = stats.t.ppf(0.9, df) * table.stderr
    np.testing.assert_allclose(table.high - table.coef, half, rtol=1e-10)
    np.testing.assert_allclose(table.coef - table.low, half, rtol=1e-10)
    grid = np.linspace(10.0, 20.0, 5)
    np.testing.assert_allclose(
        np.polynomial.polynomial.polyval(grid, table.coef), model.predict(grid[:, None]), rtol=1e-9
    )


R_LMROB = """
library(robustbase)
set.seed(1)  # lmrob's S-estimate starts from random subsamples
d <- read.csv("engel.csv")
f <- lmrob(foodexp ~ income + I(income^2), data = d)
t <- as.numeric(readLines("t.txt"))
out <- c(coef(f), f$df.residual, 2 * pt(abs(t), f$df.residual, lower.tail = FALSE),
         qt(0.95, f$df.residual))
cat(sprintf("%.17g", out), sep = "\\n")
"""


@pytest.mark.skipif(shutil.which("Rscript") is None, reason="needs R with robustbase")
def test_robust_is_tested_as_lmrob(engel, tmp_path):
    d = engel
    d.to_csv(tmp_path / "engel.csv", index=False)
    model = zarn.PolynomialRegressor(degree=2, method="robust").fit(d[["income"]], d["foodexp"])
    table = model.summary(level=0.9)
    (tmp_path / "t.txt").write_text("\n".join(repr(t) for t in table.statistic.tolist()))
    run = subprocess.run(
        ["Rscript", "-e", R_LMROB], cwd=tmp_path, capture_output=True, text=True, check=True
    )
    out = np.array(run.stdout.split(), dtype=float)
    coef, df, pvalue, quantile = out[:3], out[3], out[4:7], out[7]
    # The same MM-estimate (bisquare, 95 % efficiency) from different random searches,
    # which move lmrob's own estimate by about 1e-3 standard errors between R's seeds.
    assert np.all(np.abs(table.coef - coef) < 0.01 * table.stderr)
    # summary.lmrob's t with the residual degrees of freedom, and confint's quantile.
    assert table.df_resid == df
    np.testing.assert_allclose(table.pvalue, pvalue, rtol=1e-9)
    np.testing.assert_allclose(table.high - table.coef, quantile * table.stderr, rtol=1e-12)


# -------------------------------------------------------- edge cases and API


def test_no_residual_degrees_of_freedom_gives_nan_rows():
    model = zarn.PolynomialRegressor(degree=2, method="ols").fit([[0.0], [1.0], [3.0]], [1, 2, 0])
    table = model.summary()
    assert table.df_resid == 0.0
    np.testing.assert_allclose(table.coef, np.polyfit([0, 1, 3], [1, 2, 0], 2)[::-1])
    for name in ("stderr", "statistic", "pvalue", "low", "high"):
        assert np.isnan(getattr(table, name)).all(), name
    assert "nan" in str(table)


def test_to_pandas_and_frozen():
    pd = pytest.importorskip("pandas")
    X = pd.DataFrame({"dose": [1.0, 2.0, 3.0, 4.0, 5.0]})
    model = zarn.PolynomialRegressor(degree=1, method="ols").fit(X, [1.0, 2.2, 2.9, 4.1, 5.0])
    table = model.summary()
    df = table.to_pandas()
    assert list(df.columns) == ["coef", "stderr", "statistic", "pvalue", "low", "high"]
    assert list(df.index) == ["1", "dose"]
    np.testing.assert_array_equal(df["pvalue"], table.pvalue)
    with pytest.raises(dataclasses.FrozenInstanceError):
        table.level = 0.5
    with pytest.raises(ValueError, match="read-only"):
        table.coef[0] = 1.0


def test_display_shows_every_term_escaped():
    pd = pytest.importorskip("pandas")
    X = pd.DataFrame({"a<b": np.arange(6.0)})
    model = zarn.PolynomialRegressor(degree=2, method="ols").fit(X, [1.0, 0.0, 1.5, 4.0, 9.5, 15])
    table = model.summary(level=0.9)
    text, page = str(table), table._repr_html_()
    assert repr(table) == text
    for term in ("a<b", "a<b^2"):
        assert f"\n{term} " in text
        assert f"<th>{term.replace('<', '&lt;')}</th>" in page
    assert "[90% low" in text and "<th>[90% low</th>" in page
    assert "a<b" not in page


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"level": 1.0}, ValueError, "level must lie strictly between 0 and 1"),
        ({"level": "high"}, TypeError, "level must be a real number"),
        ({"X": [[0.0]]}, ValueError, "give both X and y"),
    ],
)
def test_summary_errors(kwargs, error, message):
    model = zarn.PolynomialRegressor(degree=1).fit([[0.0], [1.0], [2.0]], [0.0, 1.0, 3.0])
    with pytest.raises(error, match=message):
        model.summary(**kwargs)


# ------------------------------------------------------------------- plot


@pytest.fixture
def agg():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    yield plt
    plt.close("all")


@pytest.mark.parametrize("interval", ["prediction", "confidence"])
def test_plot_draws_data_curve_and_band(agg, interval):
    from matplotlib.collections import PolyCollection

    x = np.linspace(0.0, 5.0, 30)
    y = x**2 + np.sin(7 * x)
    model = zarn.PolynomialRegressor(degree=2, method="ols").fit(x[:, None], y)
    ax = model.plot(x[:, None], y, interval=interval, level=0.8)
    (line,) = ax.get_lines()
    grid, curve = line.get_data()
    assert (grid[0], grid[-1]) == (0.0, 5.0)
    np.testing.assert_allclose(curve, model.predict(grid[:, None]))
    bands = [c for c in ax.collections if isinstance(c, PolyCollection)]
    (band,) = bands
    low, high = model.predict_interval(grid[:, None], level=0.8, kind=interval)
    vertices = band.get_paths()[0].vertices
    assert vertices[:, 1].min() == pytest.approx(low.min())
    assert vertices[:, 1].max() == pytest.approx(high.max())
    (points,) = [c for c in ax.collections if not isinstance(c, PolyCollection)]
    np.testing.assert_array_equal(points.get_offsets(), np.column_stack([x, y]))
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("x0", "y")


def test_plot_without_data_or_band(agg):
    pd = pytest.importorskip("pandas")
    X = pd.DataFrame({"income": [1.0, 2.0, 3.0, 5.0]})
    model = zarn.PolynomialRegressor(degree=1).fit(X, [1.0, 2.0, 2.5, 5.0])
    _, ax = agg.subplots()
    assert model.plot(ax=ax, interval=None) is ax  # no feature-name warning either
    assert len(ax.get_lines()) == 1 and len(ax.collections) == 0
    assert ax.get_xlabel() == "income"


def test_plot_colours_a_robust_fit_by_its_weights(agg, small_sampler):
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(5)
    x = rng.uniform(0.0, 10.0, 60)
    y = pd.Series(2.0 + 0.5 * x + rng.normal(scale=0.2, size=60), name="height")
    y[:5] += 20.0
    model = zarn.PolynomialRegressor(degree=1, method="robust", **small_sampler)
    model.fit(x[:, None], y)
    ax = model.plot(x[:, None], y)
    ax.figure.canvas.draw()  # maps the weights to colours
    points, rings = ax.collections[0], ax.collections[1]
    assert len(points.get_offsets()) == 60
    expected = agg.get_cmap("viridis")(model.robust_weights_)
    np.testing.assert_allclose(points.get_facecolors(), expected)
    flagged = ~model.inlier_mask_
    assert flagged[:5].all()
    np.testing.assert_array_equal(rings.get_offsets(), np.column_stack([x, y])[flagged])
    assert ax.get_ylabel() == "height"
    assert len(ax.figure.axes) == 2  # the colour bar of the weights


@pytest.mark.parametrize(
    "X, kwargs, message",
    [
        (np.ones((4, 2)), {}, "plot draws a model of one feature; this one has 2"),
        (np.arange(4.0)[:, None], {"interval": "band"}, "kind must be 'confidence'"),
        (np.arange(4.0)[:, None], {"X": [[1.0]]}, "give both X and y"),
        (np.arange(4.0)[:, None], {"X": np.ones((2, 2)), "y": [1, 2]}, "X must have one col"),
    ],
)
def test_plot_errors(agg, X, kwargs, message):
    X = X * np.random.default_rng(0).uniform(size=X.shape)
    model = zarn.PolynomialRegressor(degree=1).fit(X, [0.0, 1.0, 3.0, 2.0])
    with pytest.raises(ValueError, match=message):
        model.plot(**kwargs)


@pytest.mark.parametrize("draw", ["summary", "plot"])
def test_unfitted_model_is_refused(draw):
    with pytest.raises(ValueError, match="PolynomialRegressor instance is not fitted yet"):
        getattr(zarn.PolynomialRegressor(), draw)()
