"""Design matrix and tensor-product penalties against NumPy, timed in one run.

Run: .venv/bin/python bench/bench_bases.py
"""

import itertools

import numpy as np

from _timing import run_cases
from zarn._native import zarn_core as zc


def numpy_penalties_nd(degrees, bounds, n):
    """The same equal-weight rule in vectorised NumPy: the grid as index arrays (dimension 0
    fastest), derivative tables per dimension, one gathered derivative matrix per term and
    its Gram matrix through BLAS."""
    D = len(degrees)
    mi = np.array(list(itertools.product(*(range(d + 1) for d in degrees))), int).reshape(-1, D)
    axes = [np.linspace(a, b, n) for a, b in bounds]
    dV = np.prod([(b - a) / (n - 1) for a, b in bounds])
    points = np.indices((n,) * D).reshape(D, -1, order="F")

    def table(d, order):
        p = np.arange(degrees[d] + 1)
        coef = {0: 1, 1: p, 2: p * (p - 1)}[order]
        return np.where(p >= order, coef * axes[d][:, None] ** np.maximum(p - order, 0), 0.0)

    tables = [[table(d, order) for order in range(3)] for d in range(D)]

    def gram(orders):
        H = np.ones((n**D, len(mi)))
        for d in range(D):
            H *= tables[d][orders[d]][points[d]][:, mi[:, d]]
        return dV * (H.T @ H)

    unit = np.eye(D, dtype=int)
    R1 = sum(gram(unit[i]) for i in range(D))
    R2 = sum(gram(unit[i] + unit[j]) for i in range(D) for j in range(D))
    return R1, R2, mi


def cases():
    x = np.random.default_rng(0).uniform(-1.0, 1.0, 10**6)
    degrees, bounds = [3, 3, 3], [(0.0, 1.0), (-1.0, 2.0), (0.5, 1.5)]
    return [
        {
            "name": "design_matrix_1d",
            "sizes": "n=10^6, deg=10",
            "native": lambda: zc.design_matrix_1d(10, x),
            "peer": lambda: np.polynomial.polynomial.polyvander(x, 10),
            "peer_name": "numpy.polynomial.polynomial.polyvander",
        },
        {
            "name": "build_penalty_matrices_nd",
            "sizes": "degrees (3,3,3), 30 points per dimension",
            "native": lambda: zc.build_penalty_matrices_nd(degrees, bounds, 30),
            "peer": lambda: numpy_penalties_nd(degrees, bounds, 30),
            "peer_name": "vectorised NumPy rectangle rule",
        },
    ]


def main():
    run_cases(cases())


if __name__ == "__main__":
    main()
