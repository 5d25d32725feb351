"""Uncertainty of the fits: agreement with statsmodels, coverage of the intervals, and the
speed of the "ols" route through the QR factor.

Prints three tables:

1. the largest relative difference from statsmodels OLS/WLS of the coefficients, standard
   errors, scale and both intervals, on simulated data and on statsmodels' engel data;
2. the share of 95 % intervals that cover the true mean curve (or a new observation) over
   many simulated data sets, for "ols", "penalized" with a small weight and "robust" with
   10 % gross outliers;
3. median times of the "ols" fit against numpy.polynomial.Polynomial.fit (n = 1e6,
   degrees 3 and 10) and against the core's direct minimum-norm solve (n = 1e3).

    python bench/bench_inference.py [--quick]
"""

from __future__ import annotations

import sys
import warnings

import numpy as np
import statsmodels.api as sm
from threadpoolctl import threadpool_info

import zarn
from zarn import _inference as inf
from zarn._native import zarn_core as core

from _timing import run_cases

QUICK = "--quick" in sys.argv
N_SETS = 200 if QUICK else 400  # simulated data sets per coverage estimate


def mapped_design(x, degree):
    lo, hi = x.min(), x.max()
    return core.design_matrix_1d(degree, (2.0 * x - lo - hi) / (hi - lo))


def relative(a, b):
    a, b = np.asarray(a, float), np.asarray(b, float)
    return float(np.max(np.abs(a - b) / np.abs(b)))


def agreement():
    """Largest relative differences from statsmodels."""
    rng = np.random.default_rng(0)
    x = rng.uniform(-2, 3, 500)
    y = np.sin(x) + 0.3 * rng.standard_normal(500)
    w_sim = rng.uniform(0.2, 5.0, 500)
    engel = sm.datasets.engel.load_pandas().data
    income, food = engel["income"].to_numpy(), engel["foodexp"].to_numpy()
    cases = [
        ("simulated, degree 5", x, y, None),
        ("simulated, degree 5, weights", x, y, w_sim),
        ("engel, degree 3", income, food, None),
        ("engel, degree 3, weights 1/income^2", income, food, 1.0 / income**2),
    ]
    print("\n## Agreement with statsmodels (largest relative difference)")
    print(f"{'case':40} {'coef':>9} {'stderr':>9} {'scale':>9} {'conf. int':>9} {'pred. int':>9}")
    for name, xs, ys, w in cases:
        degree = 5 if name.startswith("simulated") else 3
        Phi = mapped_design(xs, degree)
        coef, u = inf.ols(Phi, ys, w)
        ref = (sm.OLS(ys, Phi) if w is None else sm.WLS(ys, Phi, weights=w)).fit()
        frame = ref.get_prediction(Phi, weights=np.ones(len(ys))).summary_frame(alpha=0.05)
        conf = u.bounds(Phi, Phi @ coef, 0.95, "confidence")
        pred = u.bounds(Phi, Phi @ coef, 0.95, "prediction")
        d_conf = max(relative(conf[0], frame.mean_ci_lower), relative(conf[1], frame.mean_ci_upper))
        d_pred = max(relative(pred[0], frame.obs_ci_lower), relative(pred[1], frame.obs_ci_upper))
        print(
            f"{name:40} {relative(coef, ref.params):9.1e} {relative(u.stderr, ref.bse):9.1e} "
            f"{relative(u.scale**2, ref.scale):9.1e} {d_conf:9.1e} {d_pred:9.1e}"
        )


def coverage():
    """Share of 95 % intervals covering the truth over simulated data sets."""
    rng = np.random.default_rng(1)
    print(f"\n## Coverage of 95 % intervals ({N_SETS} simulated data sets each)")
    x = np.linspace(0.0, 1.0, 60)
    # "ols": a cubic mean, noise sd 0.2: the textbook setting.
    Phi = mapped_design(x, 3)
    mean = 1.0 + x - 2.0 * x**2 + 1.5 * x**3
    conf = pred = 0.0
    for _ in range(N_SETS):
        y = mean + 0.2 * rng.standard_normal(60)
        coef, u = inf.ols(Phi, y)
        low, high = u.bounds(Phi, Phi @ coef, 0.95, "confidence")
        conf += np.mean((low < mean) & (mean < high))
        new = mean + 0.2 * rng.standard_normal(60)
        low, high = u.bounds(Phi, Phi @ coef, 0.95, "prediction")
        pred += np.mean((low < new) & (new < high))
    print(f"{'ols, confidence (mean curve)':52} {conf / N_SETS:.3f}   target 0.93-0.97")
    print(f"{'ols, prediction (new observation)':52} {pred / N_SETS:.3f}   target 0.93-0.97")
    # "penalized": degree 12 with a small curvature weight, a smooth non-polynomial mean.
    degree = 12
    Phi = mapped_design(x, degree)
    R1, R2 = zarn.smoothness_penalty_matrices_1d(degree, -1.0, 1.0)
    mean = np.sin(2.0 * np.pi * x) + 0.5 * x
    conf = 0.0
    for _ in range(N_SETS):
        y = mean + 0.3 * rng.standard_normal(60)
        coef, u = inf.penalized(Phi, y, None, R1, R2, 0.0, 1e-6, 1e-10)
        low, high = u.bounds(Phi, Phi @ coef, 0.95, "confidence")
        conf += np.mean((low < mean) & (mean < high))
    label = f"penalized, degree {degree}, gamma2 = 1e-6, confidence"
    print(f"{label:52} {conf / N_SETS:.3f}   target 0.90-0.98  (edf {u.edf:.1f})")


def timing():
    rng = np.random.default_rng(2)
    cases = []
    for n, degree in [(1_000_000, 3), (1_000_000, 10)]:
        x = rng.uniform(-5.0, 5.0, n)
        y = np.sin(x) + 0.1 * rng.standard_normal(n)

        def ours(x=x, y=y, degree=degree):
            return inf.ols(mapped_design(x, degree), y)

        def numpy_fit(x=x, y=y, degree=degree):
            return np.polynomial.Polynomial.fit(x, y, degree)

        cases.append(
            {
                "name": f"ols fit + statistics, degree {degree}",
                "sizes": f"n={n:.0e}",
                "native": ours,
                "peer": numpy_fit,
                "peer_name": "Polynomial.fit",
            }
        )
    for degree in (3, 10):
        x = rng.uniform(-1.0, 1.0, 1000)
        y = np.sin(3 * x) + 0.1 * rng.standard_normal(1000)
        Phi = core.design_matrix_1d(degree, x)
        cases.append(
            {
                "name": f"ols solve + statistics, degree {degree}",
                "sizes": "n=1e3",
                "native": lambda Phi=Phi, y=y: inf.ols(Phi, y),
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
