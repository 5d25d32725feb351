"""Tukey's biweight: its rho, weights and loss, and M-scales of residuals, in one place.

The robust fit (:mod:`zarn._methods.robust`) and the robust criterion
(:mod:`zarn._criteria`) judge residuals by the same bounded function with the same tuning
constants, named here once. ``t`` is a residual divided by a scale; ``c`` the tuning
constant (the residual, in scales, beyond which the biweight gives nothing). The functions
work in place on their own temporaries, as the robust fit calls them on large blocks.

Examples
--------
>>> import numpy as np
>>> weights(np.array([0.0, 1.0, 10.0]), MM_TUNING).round(4).tolist()
[1.0, 0.911, 0.0]
"""

from __future__ import annotations

import math

import numpy as np

# Consistency factor of the median absolute deviation for Gaussian noise: 1 / Phi^-1(3/4).
MAD_TO_SD = 1.482602218505602
# The M-scale solves sum(rho(r / s)) = BREAKDOWN (N - k) with a biweight rho bounded by 1
# (N samples, k coefficients, as R's lmrob): half of the points may be arbitrarily bad
# before the scale breaks down (the largest breakdown point a regression equivariant
# estimator can have).
BREAKDOWN = 0.5
# Tuning constant that makes the M-scale with BREAKDOWN = 0.5 consistent for the standard
# deviation of Gaussian noise (E rho(Z / 1) = 0.5 for Z ~ N(0, 1)).
S_TUNING = 1.547645
# Tuning constant of the M-estimator: 95 % asymptotic efficiency against least squares for
# Gaussian noise (Beaton & Tukey 1974), so clean data are judged nearly as by least
# squares, while residuals beyond it cost the same. The robust fit's final M-steps and
# the robust criterion both use it.
MM_TUNING = 4.685061
# Residuals beyond this many scales are outliers (0.27 % of Gaussian noise lies beyond),
# and the reweighted scales keep only the residuals within it.
CUTOFF = 3.0


def truncated_sd(c: float) -> float:
    """Standard deviation of a standard normal z conditioned on ``|z| < c``.

    Examples
    --------
    >>> round(truncated_sd(3.0), 6)
    0.986578
    """
    mass = math.erf(c / math.sqrt(2.0))
    density = math.exp(-0.5 * c * c) / math.sqrt(2.0 * math.pi)
    return math.sqrt(1.0 - 2.0 * c * density / mass)


# The root mean square of Gaussian residuals within CUTOFF scales, over their deviation:
# divides a reweighted scale so that it estimates the noise's standard deviation.
TRUNCATED_SD = truncated_sd(CUTOFF)


def clipped_square(t: np.ndarray, factor: float | np.ndarray) -> np.ndarray:
    """``min((t * factor)^2, 1)``, as a new array (a square beyond the doubles is 1)."""
    with np.errstate(over="ignore"):
        u = t * factor
        np.square(u, out=u)
    return np.minimum(u, 1.0, out=u)


def weights(t: np.ndarray, c: float) -> np.ndarray:
    """Tukey's biweight weight psi(t) / t = (1 - (t / c)^2)^2 inside the cut, 0 outside."""
    v = clipped_square(t, 1.0 / c)
    np.subtract(1.0, v, out=v)
    return np.asarray(np.square(v, out=v))


def rho(t: np.ndarray, c: float) -> np.ndarray:
    """Tukey's biweight rho bounded by 1: ``1 - (1 - (t / c)^2)^3``, 1 beyond the cut."""
    v = clipped_square(t, 1.0 / c)
    np.subtract(1.0, v, out=v)
    cube = np.square(v)
    cube *= v  # not v**3: NumPy's power is ten times slower
    return np.asarray(np.subtract(1.0, cube, out=cube))


def loss(t: np.ndarray, c: float = MM_TUNING) -> np.ndarray:
    """The biweight loss scaled to equal ``t^2 / 2`` near zero: ``c^2 / 6 rho(t)``.

    So ``2 loss`` plays the part of ``-2 ln(density)`` of Gaussian noise for small
    residuals and is bounded by ``c^2 / 3`` for large ones.

    Examples
    --------
    >>> import numpy as np
    >>> loss(np.array([0.0, 0.01, 100.0])).round(6).tolist()  # c^2 / 6 = 3.658299
    [0.0, 5e-05, 3.658299]
    """
    return (c * c / 6.0) * rho(t, c)


def wsum(X: np.ndarray, sw: np.ndarray | None) -> np.ndarray:
    """Sums along the last axis weighted by ``sw`` (None: 1), by NumPy's pairwise sums."""
    return np.asarray(np.sum(X if sw is None else X * sw, axis=-1))


# Many rows are handled in blocks of at most this many residuals (128 KB): their temporary
# arrays then come from the heap, where fresh maps of memory, which larger arrays get,
# would cost more in page faults than the arithmetic on them.
BLOCK = 16384


def blocks(n_rows: int, row_length: int) -> list[slice]:
    """Slices of at most ``BLOCK // row_length`` rows (at least one) covering n_rows.

    With a row length of 1, blocks of samples for passes over all of them.
    """
    step = max(1, BLOCK // row_length)
    return [slice(i, min(i + step, n_rows)) for i in range(0, n_rows, step)]


def scale_equation(
    R: np.ndarray, s: np.ndarray, sw: np.ndarray | None, total: float, dof: float
) -> tuple[np.ndarray, np.ndarray]:
    """The M-scale's equation at scales ``s`` (one per row of ``R``): (excess, slope).

    ``excess = sum(sw rho(r / s)) - BREAKDOWN * dof`` (``total = sum(sw)``), with rho the
    biweight at ``S_TUNING`` bounded by 1, decreases in s; ``slope`` is minus its
    derivative in ln s, ``sum(sw t rho'(t))`` with ``t rho'(t) = 6 u (1 - u)^2`` and
    ``u = (t / S_TUNING)^2``. Summed in blocks of columns.
    """
    squares, slope = np.zeros(len(R)), np.zeros(len(R))
    factor = (1.0 / (S_TUNING * s))[:, None]
    for cols in blocks(R.shape[1], len(R)):
        u = clipped_square(R[:, cols], factor)
        vv = np.subtract(1.0, u)
        np.square(vv, out=vv)
        u *= vv  # u (1 - u)^2; and sum (1 - u)^3 = sum (1 - u)^2 - sum u (1 - u)^2
        part = None if sw is None else sw[cols]
        slope += wsum(u, part)
        squares += wsum(vv, part)
    return total - (squares - slope) - BREAKDOWN * dof, 6.0 * slope


def m_scales(R: np.ndarray, start: np.ndarray, sw: np.ndarray | None, dof: float) -> np.ndarray:
    """The M-scale of each row r of ``R``: the s with sum(sw rho(r / s)) = BREAKDOWN * dof.

    Newton's method on ln s from ``start`` (see :func:`scale_equation`), safeguarded by
    bisection, for all rows at once. A row gets 0.0 when more than
    ``sum(sw) - BREAKDOWN * dof`` of the weight sits on zero residuals.

    Examples
    --------
    >>> import numpy as np
    >>> r = np.random.default_rng(0).normal(scale=2.0, size=(1, 20000))
    >>> m_scales(r, np.ones(1), None, 20000.0).round(1).tolist()  # consistent: about 2
    [2.0]
    """
    total = R.shape[1] if sw is None else float(np.sum(sw))
    zero = wsum(R != 0.0, sw) <= BREAKDOWN * dof
    s = np.where((start > 0.0) & np.isfinite(start), start, np.max(np.abs(R), axis=1))
    s = np.where(zero | ~(s > 0.0), 1.0, s)
    low, high = np.zeros_like(s), np.full_like(s, np.inf)
    active = ~zero
    for _ in range(100):
        idx = np.flatnonzero(active)
        if idx.size == 0:
            break
        si = s[idx]
        rows = R if idx.size == len(R) else R[idx]
        excess, slope = scale_equation(rows, si, sw, total, dof)
        low[idx] = np.where(excess > 0.0, si, low[idx])
        high[idx] = np.where(excess > 0.0, high[idx], si)
        with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
            proposal = si * np.exp(np.clip(excess / slope, -50.0, 50.0))
        bad = ~((low[idx] < proposal) & (proposal < high[idx]))
        halve = np.where(np.isinf(high[idx]), 2.0 * si, 0.5 * (low[idx] + high[idx]))
        proposal = np.where(bad, halve, proposal)
        done = (np.abs(proposal - si) <= 1e-12 * si) | (excess == 0.0)
        s[idx] = np.where(excess == 0.0, si, proposal)
        active[idx[done]] = False
    return np.where(zero, 0.0, s)


def mad_scales(R: np.ndarray) -> np.ndarray:
    """1.4826 times the median absolute value of each row: a quick scale of residuals.

    A partition in place of :func:`numpy.median`, which is several times slower on rows.

    Examples
    --------
    >>> import numpy as np
    >>> mad_scales(np.array([[1.0, -2.0, 3.0], [0.0, 0.0, 4.0]])).round(6).tolist()
    [2.965204, 0.0]
    """
    A = np.abs(R)
    half = A.shape[1] // 2
    if A.shape[1] % 2:
        A.partition(half, axis=1)
        return np.asarray(A[:, half] * MAD_TO_SD)
    A.partition([half - 1, half], axis=1)
    return np.asarray((0.5 * MAD_TO_SD) * (A[:, half - 1] + A[:, half]))
