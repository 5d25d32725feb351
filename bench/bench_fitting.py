"""Timings of the linear fits against NumPy and SciPy doing the same job.

`cases()` gives one entry per (native, peer) pair; `main()` times them interleaved and
prints median times and the ratio peer / native (above 1: zarn is faster).

Each size runs with the matrix in C order (what NumPy builds by default; the binding's copy
into column-major storage is then a transposing copy) and in Fortran order (the layout of
the design matrices that zarn itself returns; the copy is then a straight one).

    python bench/bench_fitting.py
"""

import itertools
import os

import numpy as np
import scipy.linalg

from _timing import run_cases
from zarn import zarn_core as zc

SIZES = [(100_000, 10), (2000, 200)]
GAMMA1, GAMMA2, RIDGE = 1e-4, 1e-5, 1e-10


def _problem(m, p, order, seed=0):
    rng = np.random.default_rng(seed)
    X = np.asarray(rng.standard_normal((m, p)), order=order)
    y = X @ rng.standard_normal(p) + 0.1 * rng.standard_normal(m)
    B1, B2 = rng.standard_normal((2, p, p))
    return X, y, B1 @ B1.T, B2 @ B2.T


def cases():
    out = []
    for (m, p), order in itertools.product(SIZES, "CF"):
        X, y, R1, R2 = _problem(m, p, order)
        sizes = f"{m}x{p} {order}"
        out.append(
            {
                "name": "ols",
                "sizes": sizes,
                "native": lambda X=X, y=y: zc.ols(X, y),
                "peer": lambda X=X, y=y: np.linalg.lstsq(X, y, rcond=None),
                "peer_name": "numpy.linalg.lstsq",
            }
        )
        out.append(
            {
                "name": "ols",
                "sizes": sizes,
                "native": lambda X=X, y=y: zc.ols(X, y),
                "peer": lambda X=X, y=y: scipy.linalg.lstsq(X, y),
                "peer_name": "scipy.linalg.lstsq",
            }
        )

        def normal_equations(X=X, y=y, R1=R1, R2=R2):
            n = len(y)
            A = X.T @ X + RIDGE * np.eye(X.shape[1]) + n * GAMMA1 * R1 + n * GAMMA2 * R2
            return scipy.linalg.solve(A, X.T @ y, assume_a="sym")

        out.append(
            {
                "name": "fit_regularized_linear",
                "sizes": sizes,
                "native": lambda X=X, y=y, R1=R1, R2=R2: zc.fit_regularized_linear(
                    X, y, R1, R2, GAMMA1, GAMMA2, RIDGE
                ),
                "peer": normal_equations,
                "peer_name": "scipy.linalg.solve(X'X + ..., assume_a='sym')",
            }
        )
    return out


def _blas_name():
    try:
        from threadpoolctl import threadpool_info

        return ", ".join(
            f"{i['internal_api']} {i['version']} ({i['num_threads']} threads)"
            for i in threadpool_info()
        )
    except ImportError:
        blas = np.show_config(mode="dicts")["Build Dependencies"]["blas"]
        return f"{blas['name']} {blas['version']}"


def main():
    env = {k: v for k, v in os.environ.items() if k.startswith(("OPENBLAS", "OMP"))}
    print(f"numpy {np.__version__}, BLAS: {_blas_name()}; cpus {os.cpu_count()}; env {env}")
    run_cases(cases())


if __name__ == "__main__":
    main()
