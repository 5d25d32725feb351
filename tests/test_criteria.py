import math
import shutil
import subprocess

import numpy as np
import pytest

import zarn
from zarn import _criteria as cr
from zarn._biweight import MAD_TO_SD, MM_TUNING, loss


def polynomial_data(n, degree, fraction=0.0, kind="symmetric", seed=0):
    """A polynomial of exactly ``degree`` on [-1, 1], noise 0.1, gross outliers."""
    rng = np.random.default_rng([seed, degree, n])
    x = rng.uniform(-1.0, 1.0, n)
    coef = rng.uniform(0.5, 1.5, degree + 1) * rng.choice([-1.0, 1.0], degree + 1)
    signal = np.polynomial.legendre.legval(x, coef)
    y = signal + rng.normal(0.0, 0.1, n)
    bad = rng.choice(n, int(round(fraction * n)), replace=False)
    spread = np.ptp(signal)
    if kind == "symmetric":
        y[bad] = rng.uniform(signal.min() - 2 * spread, signal.max() + 2 * spread, bad.size)
    else:  # every outlier above the curve
        y[bad] = signal[bad] + rng.uniform(0.5 * spread, 2.5 * spread, bad.size)
    return x, y


@pytest.mark.parametrize("n, degree, seed", [(30, 0, 0), (50, 3, 1), (300, 7, 2), (1000, 5, 3)])
def test_gaussian_aic_and_bic_equal_statsmodels(n, degree, seed):
    sm = pytest.importorskip("statsmodels.api")
    x, y = polynomial_data(n, min(degree, 4), seed=seed)
    Phi = zarn.design_matrix_1d(degree, x)
    fit = sm.OLS(y, Phi).fit()
    yp = Phi @ zarn.ols(Phi, y)
    k = degree + 1
    assert cr.gaussian_log_likelihood(y, yp) == pytest.approx(fit.llf, rel=1e-10)
    assert cr.gaussian_aic(y, yp, k) == pytest.approx(fit.aic, rel=1e-10)
    assert cr.gaussian_bic(y, yp, k) == pytest.approx(fit.bic, rel=1e-10)


def test_gaussian_criteria_on_a_real_series_equal_statsmodels():
    sm = pytest.importorskip("statsmodels.api")
    nile = sm.datasets.nile.load_pandas().data
    x = np.linspace(-1.0, 1.0, len(nile))
    y = nile["volume"].to_numpy(dtype=float)
    for degree in (1, 2, 6):
        Phi = zarn.design_matrix_1d(degree, x)
        fit = sm.OLS(y, Phi).fit()
        yp = Phi @ zarn.ols(Phi, y)
        assert cr.gaussian_bic(y, yp, degree + 1) == pytest.approx(fit.bic, rel=1e-10)


@pytest.mark.parametrize("power", [-600, 700, 1000])
def test_gaussian_criteria_of_huge_and_tiny_values_stay_finite(power):
    x, y = polynomial_data(40, 2, seed=5)
    yp = zarn.design_matrix_1d(2, x) @ zarn.ols(zarn.design_matrix_1d(2, x), y)
    s = 2.0**power
    shift = 2 * len(y) * power * math.log(2.0)  # RSS scales by s^2 = 2^(2 power)
    assert cr.gaussian_aic(y * s, yp * s, 3) == pytest.approx(cr.gaussian_aic(y, yp, 3) + shift)


def test_a_fit_without_residual_has_minus_infinite_criteria():
    y = np.array([1.0, 2.0, 3.0])
    assert cr.gaussian_aic(y, y.copy(), 2) == -math.inf
    assert cr.gaussian_bic(y, y.copy(), 2) == -math.inf


@pytest.mark.parametrize("fraction", [0.0, 0.2, 0.4])
@pytest.mark.parametrize("kind", ["symmetric", "one-sided"])
def test_robust_scale_recovers_the_noise_beside_gross_outliers(fraction, kind):
    rng = np.random.default_rng(7)
    r = rng.normal(0.0, 0.3, 40_000)
    bad = rng.choice(r.size, int(fraction * r.size), replace=False)
    r[bad] = rng.uniform(5.0, 50.0, bad.size) * (
        rng.choice([-1, 1], bad.size) if kind == "symmetric" else 1
    )
    mad_estimate = MAD_TO_SD * np.median(np.abs(r))
    assert cr.robust_scale(r) == pytest.approx(0.3, rel=0.01)
    if fraction == 0.4:  # the median alone is far off; the reweighting removes that bias
        assert mad_estimate > 0.4


def test_robust_scale_counts_the_fit_parameters_and_is_scale_equivariant():
    r = np.linspace(-1.0, 1.0, 50)  # short-tailed: no residual is cut
    inside = np.abs(r) < 3.0 * cr.robust_scale(r)
    assert inside.all()
    ratio = cr.robust_scale(r, k=10) / cr.robust_scale(r, k=0)
    assert ratio == pytest.approx(math.sqrt(50 / 40))
    for s in (2.0**-1000, 3.0, 2.0**1000):
        assert cr.robust_scale(r * s) == pytest.approx(cr.robust_scale(r) * s, rel=1e-12)


def test_common_scale_is_that_of_the_candidate_that_explains_the_data():
    x, y = polynomial_data(200, 3, fraction=0.2, seed=11)
    X = x[:, None]
    fits = [zarn.PolynomialRegressor(degree=d, method="robust").fit(X, y) for d in (1, 3, 5)]
    predictions = [m.predict(X) for m in fits]
    scale = cr.common_scale(y, predictions, [2, 4, 6])
    assert scale == pytest.approx(0.1, rel=0.15)
    # A candidate with as many parameters as samples (an interpolant) is left out.
    assert cr.common_scale(y, [*predictions, y.copy()], [2, 4, 6, 200]) == scale
    # Noise-free data: the scale is the floor relative to y, not zero.
    exact = cr.common_scale(y, [y.copy()], [4])
    assert 0.0 < exact < 1e-9 * np.abs(y).max()


@pytest.mark.parametrize(
    "fraction, kind",
    [(0.0, "symmetric"), (0.2, "symmetric"), (0.3, "one-sided"), (0.4, "symmetric")],
)
def test_robust_bic_of_robust_fits_finds_the_true_degree(fraction, kind):
    hits, bic_hits = 0, 0
    for seed in range(4):
        x, y = polynomial_data(300, 3, fraction, kind, seed=seed)
        X = x[:, None]
        fits = [zarn.PolynomialRegressor(degree=d, method="robust").fit(X, y) for d in range(7)]
        predictions = [m.predict(X) for m in fits]
        ks = [d + 1 for d in range(7)]
        scale = cr.common_scale(y, predictions, ks)
        scores = [cr.robust_bic(y, p, k, scale) for p, k in zip(predictions, ks)]
        hits += int(np.argmin(scores)) == 3
        ls = [
            zarn.PolynomialRegressor(degree=d, method="ols").fit(X, y).predict(X) for d in range(7)
        ]
        bic_hits += int(np.argmin([cr.gaussian_bic(y, p, k) for p, k in zip(ls, ks)])) == 3
    assert hits == 4
    assert hits >= bic_hits


def test_robust_bic_charges_an_outlier_a_bounded_amount():
    x, y = polynomial_data(100, 2, seed=2)
    yp = np.polynomial.polynomial.polyval(x, np.polynomial.polynomial.polyfit(x, y, 2))
    far, farther = y.copy(), y.copy()
    far[0] += 100.0
    farther[0] += 1e6
    base = cr.robust_bic(y, yp, 3, 0.1)
    cost = cr.robust_bic(far, yp, 3, 0.1) - base
    assert cr.robust_bic(farther, yp, 3, 0.1) - base == pytest.approx(cost)
    assert cost <= MM_TUNING**2 / 3
    # Small residuals cost (nearly) their square, as in the Gaussian likelihood.
    u = np.array([1e-3, 0.5, 1.0])
    np.testing.assert_allclose(2 * loss(u), u**2, rtol=0.05)


@pytest.mark.skipif(shutil.which("Rscript") is None, reason="needs R with robustbase")
def test_biweight_loss_is_robustbase_tukey_rho():
    u = np.array([0.0, 0.3, 1.0, 2.5, 4.0, 4.685, 6.0, -2.0])
    values = ",".join(map(repr, u.tolist()))
    code = (
        "suppressMessages(library(robustbase));"
        f"cat(format(Mchi(c({values}), {MM_TUNING!r}, 'tukey'), digits=17))"
    )
    out = subprocess.run(["Rscript", "-e", code], capture_output=True, text=True, check=True)
    chi = np.array(out.stdout.split(), dtype=float)  # robustbase's rho, scaled to max 1
    np.testing.assert_allclose(loss(u), chi * MM_TUNING**2 / 6, rtol=1e-12, atol=1e-15)
