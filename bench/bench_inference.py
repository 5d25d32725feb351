"""Uncertainty of the fits: agreement with statsmodels, coverage of the intervals, and the
speed of the "ols" route through the QR factor.

Prints three tables:

1. the largest relative difference from statsmodels OLS/WLS of the coefficients, standard
   errors, scale and both intervals, on simulated data and on statsmodels' engel data;
2. the share of 95 % intervals that cover the true mean curve (or a new observation) over
   many simulated data sets, for "ols", "penalized" with a small weight and "robust" with
   10 % gross outliers;
3. median times of the estimator's "ols" fit (coefficients and statistics) against
   numpy.polynomial.Polynomial.fit (n = 1e6, degrees 3 and 10), and of the QR route
   (coefficients alone, and with the statistics) against the core's direct minimum-norm
   solve of the whole design (n = 1e3).

    python bench/bench_inference.py [--quick]
"""

from __future__ import annotations

import sys
import warnings

import numpy as np
import statsmodels.api as sm
from threadpoolctl import threadpool_info

import zarn
from _timing import run_cases
from zarn._lstsq import augmented_factor
from zarn._methods.ols import fit_ols
from zarn._native import zarn_core as core

QUICK = "--quick" in sys.argv
N_SETS = 200 if QUICK else 400  # simulated data sets per coverage estimate


def relative(a, b):
    a, b = np.asarray(a, float), np.asarray(b, float)
    return float(np.max(np.abs(a - b) / np.abs(b)))


def agreement():
    """Largest relative differences from statsmodels, fitted through the estimator."""
    rng = np.random.default_rng(0)
    x = rng.uniform(-2, 3, 500)
    y = np.sin(x) + 0.3 * rng.standard_normal(500)
    w_sim = rng.uniform(0.2, 5.0, 500)
    engel = sm.datasets.engel.load_pandas().data
    income, food = engel["income"].to_numpy(), engel["foodexp"].to_numpy()
    cases = [
        ("simulated, degree 5", x, y, None, 5),
        ("simulated, degree 5, weights", x, y, w_sim, 5),
        ("engel, degree 3", income, food, None, 3),
        ("engel, degree 3, weights 1/income^2", income, food, 1.0 / income**2, 3),
    ]
    print("\n## Agreement with statsmodels OLS / WLS (largest relative difference)")
    print(f"{'case':40} {'coef':>9} {'stderr':>9} {'scale':>9} {'conf. int':>9} {'pred. int':>9}")
    for name, xs, ys, w, degree in cases:
        model = zarn.PolynomialRegressor(degree, method="ols").fit(xs[:, None], ys, w)
        lo, hi = model.domain_[0]
        Phi = core.design_matrix_1d(degree, (2.0 * xs - lo - hi) / (hi - lo))  # its design
        ref = (sm.OLS(ys, Phi) if w is None else sm.WLS(ys, Phi, weights=w)).fit()
        frame = ref.get_prediction(Phi, weights=np.ones(len(ys))).summary_frame(alpha=0.05)
        conf = model.predict_interval(xs[:, None], level=0.95)
        pred = model.predict_interval(xs[:, None], level=0.95, kind="prediction")
        d_conf = max(relative(conf[0], frame.mean_ci_lower), relative(conf[1], frame.mean_ci_upper))
        d_pred = max(relative(pred[0], frame.obs_ci_lower), relative(pred[1], frame.obs_ci_upper))
        print(
            f"{name:40} {relative(model.coef_, ref.params):9.1e} "
            f"{relative(model.stderr_, ref.bse):9.1e} {relative(model.scale_**2, ref.scale):9.1e} "
            f"{d_conf:9.1e} {d_pred:9.1e}"
        )


def covered(model, X, truth, level=0.95, kind="confidence"):
    low, high = model.predict_interval(X, level=level, kind=kind)
    return float(np.mean((low < truth) & (truth < high)))


def coverage():
    """Share of 95 % intervals covering the truth over simulated data sets (estimator)."""
    rng = np.random.default_rng(1)
    print(f"\n## Coverage of 95 % intervals ({N_SETS} simulated data sets each)")
    x = np.linspace(0.0, 1.0, 60)
    X = x[:, None]
    # "ols": a cubic mean, noise sd 0.2: the textbook setting.
    mean = 1.0 + x - 2.0 * x**2 + 1.5 * x**3
    conf = pred = 0.0
    for _ in range(N_SETS):
        model = zarn.PolynomialRegressor(3, method="ols").fit(
            X, mean + 0.2 * rng.standard_normal(60)
        )
        conf += covered(model, X, mean)
        pred += covered(model, X, mean + 0.2 * rng.standard_normal(60), kind="prediction")
    print(f"{'ols, confidence (mean curve)':56} {conf / N_SETS:.3f}   target 0.93-0.97")
    print(f"{'ols, prediction (new observation)':56} {pred / N_SETS:.3f}   target 0.93-0.97")
    # "penalized": degree 12 with a small curvature weight, a smooth non-polynomial mean.
    mean = np.sin(2.0 * np.pi * x) + 0.5 * x
    conf = edf = 0.0
    for _ in range(N_SETS):
        model = zarn.PolynomialRegressor(12, gamma2=1e-6).fit(
            X, mean + 0.3 * rng.standard_normal(60)
        )
        conf += covered(model, X, mean)
        edf += model.edf_
    label = "penalized, degree 12, gamma2 = 1e-6, confidence"
    print(f"{label:56} {conf / N_SETS:.3f}   target 0.90-0.98  (mean edf {edf / N_SETS:.1f} of 13)")
    # "robust": a cubic, n = 200, noise sd 0.1, 10 % gross outliers over a wide range.
    xr = rng.uniform(-1.0, 1.0, 200)
    Xr = xr[:, None]
    mean = 1.0 - xr + 0.5 * xr**3
    conf = 0.0
    n_robust = N_SETS // 2 if QUICK else N_SETS
    for _ in range(n_robust):
        y = mean + 0.1 * rng.standard_normal(200)
        bad = rng.random(200) < 0.1
        y[bad] = rng.uniform(-5.0, 5.0, bad.sum())
        model = zarn.PolynomialRegressor(3, method="robust", random_state=None).fit(Xr, y)
        conf += covered(model, Xr, mean)
    label = f"robust, 10 % gross outliers, confidence ({n_robust} sets)"
    print(f"{label:56} {conf / n_robust:.3f}   target 0.90-0.98")


def timing():
    rng = np.random.default_rng(2)
    cases = []
    for n, degree in [(1_000_000, 3), (1_000_000, 10)]:
        x = rng.uniform(-5.0, 5.0, n)
        y = np.sin(x) + 0.1 * rng.standard_normal(n)
        X = x[:, None]
        model = zarn.PolynomialRegressor(degree, method="ols")

        def fit_without_score(x=x, y=y, degree=degree):
            # The estimator's fit less its MDL score: map, design, QR route and statistics.
            lo, hi = x.min(), x.max()
            return fit_ols(core.design_matrix_1d(degree, (2.0 * x - lo - hi) / (hi - lo)), y)

        cases.append(
            {
                "name": f"ols fit less the MDL score, degree {degree}",
                "sizes": f"n={n:.0e}",
                "native": fit_without_score,
                "peer": lambda x=x, y=y, degree=degree: np.polynomial.Polynomial.fit(x, y, degree),
                "peer_name": "Polynomial.fit",
            }
        )
        cases.append(
            {
                "name": f"ols estimator fit, degree {degree}",
                "sizes": f"n={n:.0e}",
                "native": lambda X=X, y=y, model=model: model.fit(X, y),
                "peer": lambda x=x, y=y, degree=degree: np.polynomial.Polynomial.fit(x, y, degree),
                "peer_name": "Polynomial.fit",
            }
        )
    for degree in (3, 10):
        x = rng.uniform(-1.0, 1.0, 1000)
        y = np.sin(3 * x) + 0.1 * rng.standard_normal(1000)
        Phi = core.design_matrix_1d(degree, x)

        def qr_route(Phi=Phi, y=y):
            R, z, _ = augmented_factor(Phi, y)
            return core.ols(R, z)

        cases.append(
            {
                "name": f"ols coefficients by QR, degree {degree}",
                "sizes": "n=1e3",
                "native": qr_route,
                "peer": lambda Phi=Phi, y=y: core.ols(Phi, y),
                "peer_name": "core.ols(Phi, y)",
            }
        )
        cases.append(
            {
                "name": f"ols coefficients + statistics, degree {degree}",
                "sizes": "n=1e3",
                "native": lambda Phi=Phi, y=y: fit_ols(Phi, y),
                "peer": lambda Phi=Phi, y=y: core.ols(Phi, y),
                "peer_name": "core.ols(Phi, y)",
            }
        )
    print("\n## Speed of the ols route (median times; peer/zarn above 1: zarn is faster)")
    run_cases(cases, repeats=3 if QUICK else 5, batch_seconds=0.05 if QUICK else 0.2)


def main():
    blas = [(i["internal_api"], i.get("architecture"), i["num_threads"]) for i in threadpool_info()]
    print(f"numpy {np.__version__}, BLAS {blas}")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        agreement()
        coverage()
    timing()


if __name__ == "__main__":
    main()
