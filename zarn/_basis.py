"""Monomial bases on the mapped domain: multi-indices, domain maps, design and penalty matrices.

Every feature is mapped affinely from its domain onto the window [-1, 1] before the basis
is built (as ``numpy.polynomial`` does), so the penalties depend only on the degrees, the
basis and the grid, never on the data: that is what lets them be cached.
"""

from __future__ import annotations

import functools
import math
import os
from collections.abc import Iterator

import numpy as np

from zarn._constants import GRID_1D, GRID_PER_DIM
from zarn._native import zarn_core as core

WINDOW = (-1.0, 1.0)
BASES = ("tensor", "total")
PENALTY_CACHE_SIZE = 16


def physical_memory() -> int:
    """Bytes of physical memory of this machine (0 where the system does not say)."""
    try:
        return os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return 0


PHYSICAL_MEMORY = physical_memory() or float("inf")


def check_memory(n_bytes: float, what: str) -> None:
    """Raise MemoryError before an allocation that could not fit in physical memory."""
    total = PHYSICAL_MEMORY
    if n_bytes > total:
        raise MemoryError(
            f"{what} would need {n_bytes / 1e9:.3g} GB, more than the "
            f"{total / 1e9:.3g} GB of memory of this machine"
        )


def basis_size(degrees: tuple[int, ...], basis: str) -> int:
    """Number of basis functions (for the total basis an upper bound, exact in one feature)."""
    if len(degrees) == 1:
        return degrees[0] + 1
    tensor = math.prod(deg + 1 for deg in degrees)
    if basis == "tensor":
        return tensor
    return min(tensor, math.comb(max(degrees) + len(degrees), len(degrees)))


@functools.lru_cache(maxsize=PENALTY_CACHE_SIZE)
def multi_indices(degrees: tuple[int, ...], basis: str) -> np.ndarray:
    """The basis' exponents, one row per basis function, in design-matrix column order.

    Cached like the penalties, and read-only for the same reason.

    The tensor basis holds every combination of per-feature powers 0..degrees[j], the last
    feature varying fastest (the order of ``build_penalty_matrices_nd``); the total basis
    keeps, in the same order, those whose powers sum to at most ``max(degrees)``.
    """
    d = len(degrees)
    if basis == "tensor":
        k = 1
        for deg in degrees:
            k *= deg + 1
        check_memory(16.0 * k * d, f"a tensor basis of {k} functions in {d} features")
        shape = tuple(deg + 1 for deg in degrees)
        indices = np.stack(np.unravel_index(np.arange(k), shape), axis=1).astype(np.int64)
    else:
        rows = list(_bounded_compositions(degrees, max(degrees)))
        indices = np.asarray(rows, dtype=np.int64).reshape(len(rows), d)
    indices.flags.writeable = False
    return indices


def _bounded_compositions(degrees: tuple[int, ...], budget: int) -> Iterator[tuple[int, ...]]:
    """Exponent tuples with e[j] <= degrees[j] and sum(e) <= budget, in lexicographic order."""
    if not degrees:
        yield ()
        return
    for p in range(min(degrees[0], budget) + 1):
        for rest in _bounded_compositions(degrees[1:], budget - p):
            yield (p, *rest)


def domain_map(domain: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Offset and scale that map each row's (low, high) onto the window [-1, 1].

    The arithmetic is that of ``numpy.polynomial.polyutils.mapparms``, so a mapped value
    equals the one ``numpy.polynomial.Polynomial`` computes for the same domain.
    """
    if len(domain) == 1:  # one feature: plain floats, the same IEEE arithmetic, less overhead
        lo, hi = domain[0].tolist()
        width = hi - lo
        return (-hi - lo) / width, 2.0 / width
    lo, hi = domain[:, 0], domain[:, 1]
    width = hi - lo
    # mapparms' (w0 * hi - w1 * lo) / (hi - lo) and (w1 - w0) / (hi - lo) for the window
    # (-1, 1), where the products by -1 and 1 are exact: the same values in fewer steps.
    off = (-hi - lo) / width
    scl = 2.0 / width
    return off, scl


def design(Z: np.ndarray, degrees: tuple[int, ...], indices: np.ndarray) -> np.ndarray:
    """The design matrix of the basis at the mapped points Z (n x d)."""
    if Z.shape[1] == 1:
        return core.design_matrix_1d(degrees[0], Z[:, 0])
    return core.design_matrix_nd(indices.tolist(), list(Z.T))


@functools.lru_cache(maxsize=PENALTY_CACHE_SIZE)
def penalties(
    degrees: tuple[int, ...], basis: str, n_grid: int | None
) -> tuple[np.ndarray, np.ndarray]:
    """The slope and curvature penalties (R1, R2) of the basis on the window box.

    Cached (least recently used, at most ``PENALTY_CACHE_SIZE`` entries; thread-safe), so
    fits with equal degrees, basis and grid build them once. The matrices are read-only,
    because every caller shares them.
    """
    d = len(degrees)
    if n_grid is None:  # the core's defaults
        n_grid = GRID_1D if d == 1 else GRID_PER_DIM
    if d == 1:
        R1, R2 = core.smoothness_penalty_matrices_1d(degrees[0], *WINDOW, n_grid)
    elif basis == "tensor":
        R1, R2, _ = core.build_penalty_matrices_nd(list(degrees), [WINDOW] * d, n_grid)
    else:
        R1, R2 = _restricted_penalties(degrees, multi_indices(degrees, basis), n_grid)
    for R in (R1, R2):
        R.flags.writeable = False
    return R1, R2


def _restricted_penalties(
    degrees: tuple[int, ...], indices: np.ndarray, n_grid: int
) -> tuple[np.ndarray, np.ndarray]:
    """The tensor penalties' rows and columns for a subset of the tensor basis.

    The tensor penalties are equal-weight sums over a regular grid of products of
    per-feature derivative factors, so each entry factorises into one-dimensional grid
    sums: for monomials a and b, sum over the grid of prod_e f_e(a_e) g_e(b_e) equals
    prod_e sum_t f_e(a_e)(t) g_e(b_e)(t). This gives exactly the same quadratic forms as
    the tensor matrices restricted to the subset, without building the full tensor basis
    (whose size grows as the product of the degrees) on the full grid.
    """
    d = len(degrees)
    t = np.linspace(WINDOW[0], WINDOW[1], n_grid)
    dV = ((WINDOW[1] - WINDOW[0]) / (n_grid - 1)) ** d
    # moments[e][r] = sum over the axis of (r-th derivative of x^a)(r-th derivative of x^b)
    # for the exponents of feature e of every pair of basis functions.
    moments = []
    for e in range(d):
        a = indices[:, e]
        tables = [derivative_table(t, degrees[e], order)[:, a] for order in range(3)]
        moments.append([table.T @ table for table in tables])

    def term(orders: list[int]) -> np.ndarray:
        out = moments[0][orders[0]].copy()
        for e in range(1, d):
            out *= moments[e][orders[e]]
        return np.asarray(out)

    k = len(indices)
    R1, R2 = np.zeros((k, k)), np.zeros((k, k))
    for i in range(d):
        R1 += term([int(e == i) for e in range(d)])
        for j in range(d):
            R2 += term([int(e == i) + int(e == j) for e in range(d)])
    return np.asfortranarray(dV * R1), np.asfortranarray(dV * R2)


def derivative_table(t: np.ndarray, degree: int, order: int) -> np.ndarray:
    """(len(t), degree + 1): the order-th derivative of t**p for p = 0..degree."""
    p = np.arange(degree + 1)
    factor = np.ones(degree + 1)
    for s in range(order):
        factor = factor * (p - s)
    powers = np.clip(p - order, 0, None)
    return np.where(p >= order, factor * t[:, None] ** powers, 0.0)
