"""Native robust engine of zarn, compiled from C++ (Eigen, OpenMP): MM-estimates of many
series on one design.

Used through :mod:`zarn._robust_engine`, which checks the arguments. The call releases the
interpreter lock while it computes and fits the series in parallel, each on one thread, so
that no series' result depends on the others, on the number of threads or on the block.
"""

from typing import SupportsFloat, SupportsIndex

import numpy as np
from numpy.typing import ArrayLike, NDArray

def fit_block(
    Phi: ArrayLike,
    Y: ArrayLike,
    W: ArrayLike | None = None,
    shared_weights: ArrayLike | None = None,
    penalty: ArrayLike | None = None,
    ridge: SupportsFloat = 1e-10,
    seed: SupportsIndex = 0,
) -> dict[str, NDArray[np.generic]]:
    """MM-estimates of every row of ``Y`` (m x n, NaN missing) on ``Phi`` (n x k).

    ``W`` (m x n) holds each series' precision weights, ``shared_weights`` (n) multiplies
    them, ``penalty`` (k x k) is ``gamma1 R1 + gamma2 R2`` per unit of total weight.
    Returns the arrays ``coef`` (m x k), ``cov`` and ``cov_h1`` (m x k*k), ``stderr`` and
    ``stderr_h1`` (m x k), ``weights`` (m x n), ``inliers`` (m x n, uint8), ``scale``,
    ``s_scale``, ``noise_scale`` (m), ``n_used`` (m, int64) and ``status`` (m, int8).

    Raises
    ------
    ValueError
        For arrays whose shapes do not fit ``Phi``.
    """

def fit_groups(
    Phi: ArrayLike,
    y: ArrayLike,
    w: ArrayLike | None,
    offsets: list[int],
    penalties: ArrayLike | None,
    ridge: SupportsFloat = 1e-10,
    seed: SupportsIndex = 0,
) -> dict[str, NDArray[np.generic]]:
    """MM-estimates of G groups of rows, each on its own rows of ``Phi`` (N x k).

    Group g is rows ``offsets[g]:offsets[g + 1]`` of ``Phi``, ``y`` (N, NaN missing) and
    ``w`` (N precision weights, or None for 1); row g of ``penalties`` (G x k*k, or None)
    is its ``gamma1 R1 + gamma2 R2`` per unit of total weight. Each group's result is, bit
    for bit, that of :func:`fit_block` on its rows alone. Returns the arrays of
    :func:`fit_block` with one row per group, but ``weights`` and ``inliers`` (N) in the
    order of the rows.

    Raises
    ------
    ValueError
        For arrays whose shapes do not fit ``Phi``, or offsets that do not run from 0 to N
        without decreasing.
    """
