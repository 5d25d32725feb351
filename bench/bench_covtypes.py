"""Covariance types over a stack of series sharing one design, against a loop of statsmodels.

zarn's side forms the covariances of m series at once from the residuals and the bread
(zarn._covtypes.covariance); statsmodels' side fits each series with
``OLS(y, X).fit(cov_type=...)`` and reads ``cov_params()`` (it has no batched form). The
first table is the largest relative difference of the covariances; the second the median
times of interleaved rounds (peer/zarn > 1: zarn faster). Prints only.

    python bench/bench_covtypes.py [--quick]
"""

from __future__ import annotations

import sys

import numpy as np
import statsmodels.api as sm

from _timing import run_cases
from zarn._covtypes import check_cov_type, covariance

QUICK = "--quick" in sys.argv
M, N = (200, 360) if QUICK else (1000, 360)  # series x monthly samples (30 years)
TYPES = [("HC3", {}), ("HAC", {"maxlags": 5, "use_correction": True}), ("ar1", {})]


def data():
    rng = np.random.default_rng(0)
    t = np.arange(N) / 12.0
    X = np.column_stack([np.ones(N), t, np.sin(2 * np.pi * t), np.cos(2 * np.pi * t)])
    noise = np.empty((M, N))
    noise[:, 0] = rng.normal(size=M)
    for i in range(1, N):
        noise[:, i] = 0.6 * noise[:, i - 1] + rng.normal(size=M)
    Y = X @ [1.0, 0.02, 1.0, 0.5] + noise
    bread = np.linalg.inv(X.T @ X)
    resid = Y - (Y @ X @ bread) @ X.T
    return X, Y, bread, resid


def peer(X, Y, cov_type, kwds):
    if cov_type == "ar1":  # statsmodels' nearest: the nonrobust fit and its residuals' acf
        return np.array([sm.OLS(y, X).fit().cov_params() for y in Y])
    return np.array([sm.OLS(y, X).fit(cov_type=cov_type, cov_kwds=kwds).cov_params() for y in Y])


def main():
    X, Y, bread, resid = data()
    print(f"{M} series x {N} samples, 4 coefficients")
    cases = []
    for cov_type, kwds in TYPES:
        spec = check_cov_type(cov_type, kwds)
        if cov_type != "ar1":
            ours = covariance(spec, X, resid, bread).cov
            want = peer(X, Y, cov_type, kwds)
            diff = np.max(np.abs(ours - want)) / np.max(np.abs(want))
            print(f"{cov_type:5} largest relative difference from statsmodels {diff:.1e}")
        cases.append(
            {
                "name": cov_type,
                "sizes": f"m={M} n={N}",
                "native": lambda spec=spec: covariance(spec, X, resid, bread),
                "peer": lambda c=cov_type, k=kwds: peer(X, Y, c, k),
                "peer_name": "statsmodels loop",
            }
        )
    run_cases(cases, repeats=3 if QUICK else 5)


if __name__ == "__main__":
    main()
