"""Native robust engine of zarn, compiled from C++ (Eigen, OpenMP): MM-estimates of many
series on one design.

Used through :mod:`zarn._robust_engine`, which checks the arguments. The call releases the
interpreter lock while it computes and fits the series in parallel, each on one thread, so
that no series' result depends on the others, on the number of threads or on the block.
"""

from typing import Any, SupportsFloat, SupportsIndex

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

def sort_by_group(
    X: ArrayLike,
    y: ArrayLike,
    w: ArrayLike | None,
    codes: ArrayLike,
    n_groups: SupportsIndex,
) -> dict[str, Any]:
    """The samples used, stably sorted by group code, by a counting sort.

    A sample is used when its row of ``X`` (n x d) and its ``y`` are finite, its weight
    ``w`` (n, or None for 1) is positive and its code (n, int64) is 0 or more (-1: in no
    group). Returns ``counts`` (each group's samples used, int64) and, unless every
    sample is used and the codes never decrease (then the input is its own sorted copy),
    the sorted ``X``, ``y``, ``w`` (None without weights) and ``rows``: the input's row
    of each sorted sample. Group g is rows ``starts[g]:starts[g] + counts[g]`` of them,
    ``starts`` the partial sums of ``counts``.

    Raises
    ------
    ValueError
        For arrays of other lengths, a negative ``n_groups`` or a code of ``n_groups`` or
        more.

    Examples
    --------
    >>> import numpy as np
    >>> from zarn._native import zarn_robust
    >>> out = zarn_robust.sort_by_group(
    ...     np.array([[0.0], [1.0], [2.0], [np.nan]]), np.array([5.0, 6.0, 7.0, 8.0]), None,
    ...     np.array([1, 0, 1, 0]), 2)
    >>> out["counts"].tolist(), out["rows"].tolist(), out["y"].tolist()
    ([1, 2], [1, 0, 2], [6.0, 5.0, 7.0])
    """

def group_ranges(
    values: ArrayLike, starts: ArrayLike, counts: ArrayLike
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Each group's smallest and largest value per column of ``values`` (n x d): group g is
    rows ``starts[g]:starts[g] + counts[g]``; returns ``(low, high)`` (groups x d), NaN for
    a group of no rows.

    Raises
    ------
    ValueError
        For starts and counts of other lengths, or rows outside ``values``.
    """

def normal_fits(
    Phi: ArrayLike,
    y: ArrayLike | None,
    w: ArrayLike | None,
    offsets: list[int],
    penalty: ArrayLike | None,
    margin: SupportsFloat,
    residuals: bool = False,
) -> dict[str, NDArray[np.generic]]:
    """Linear fits of groups of rows of ``Phi`` (N x k) through their normal equations.

    Group g is rows ``offsets[g]:offsets[g + 1]`` of ``Phi``, ``y`` and ``w`` (N precision
    weights, or None for 1). For each group: ``trace`` of its Gram matrix
    ``G = Phi'W Phi`` and ``certain``, whether ``G - margin trace(G) I`` is positive
    definite (a certain full rank). Given ``y``, also the solution of
    ``(G + (sum(w) / m) S) b = Phi'W y`` for its m rows, ``S`` the ``penalty`` (k x k) of
    m rows of unit weight (None: no penalty), by the Cholesky factor: ``coef`` (G x k,
    NaN where the matrix is not numerically positive definite), ``inverse`` (G x k*k,
    the matrix's inverse), ``edf`` (``trace(inverse G)``), ``rss`` and ``tss`` (the
    weighted sums of squares about the fit and about the weighted mean) and, with
    ``residuals``, ``residuals`` (N, unweighted, in the order of the rows; else None).

    Raises
    ------
    ValueError
        For arrays whose shapes do not fit ``Phi``, or offsets that do not run from 0 to N
        without decreasing.

    Examples
    --------
    >>> import numpy as np
    >>> from zarn._native import zarn_robust
    >>> x = np.array([0.0, 1.0, 2.0, 0.0, 1.0, 2.0])
    >>> Phi = np.column_stack([np.ones(6), x])
    >>> fits = zarn_robust.normal_fits(Phi, np.r_[1 + x[:3], 2 * x[3:]], None, [0, 3, 6],
    ...                                None, 1e-3)
    >>> fits["coef"].round(12).tolist(), fits["certain"].tolist()
    ([[1.0, 1.0], [0.0, 2.0]], [True, True])
    """
