"""A fit on the mapped domain, exactly in the features' own units.

A fitted model's coefficients belong to monomials of the mapped variables
``z_j = offset_j + scale_j * x_j`` (each feature mapped affinely from its domain onto
[-1, 1]). Expanding every ``z_j ** e`` binomially turns the basis into monomials of the
raw features ``x_j`` with the same set of exponents (both bases hold, with an exponent
vector, every smaller one), so the change of units is a square matrix ``T``:
``coef_raw = T @ coef`` and ``cov_raw = T @ cov @ T.T``.

The entries of ``T`` are computed in exact integer arithmetic from the offsets and
scales the fit itself uses (binomial coefficients are integers, and every double is an
integer over a power of two) and rounded once; the raw coefficients are exact dot
products of these entries with the coefficients, rounded once too. A domain far from
zero (years, say) makes the raw coefficients large and of alternating sign, where a
floating-point composition of polynomials would lose digits to cancellation.
"""

from __future__ import annotations

import math

import numpy as np

from zarn._basis import domain_map

# An exact dyadic rational: the integer numerator over 2 ** exponent (every double is one).
Dyadic = tuple[int, int]


def unit_change(exponents: np.ndarray, domain: np.ndarray) -> np.ndarray:
    """The matrix T (k, k) from the mapped basis' coefficients to those of the raw monomials.

    Parameters
    ----------
    exponents : ndarray of shape (k, d)
        The basis' exponents, one row per basis function (a fit's ``basis_``).
    domain : ndarray of shape (d, 2)
        Each feature's (low, high), mapped onto [-1, 1] (a fit's ``domain_``).

    Returns
    -------
    ndarray of shape (k, k)
        ``T[r, b]``: the coefficient of the raw monomial ``prod_j x_j ** exponents[r, j]``
        in the expansion of basis function b; the raw monomials in the basis' order.

    Examples
    --------
    >>> import numpy as np
    >>> unit_change(np.array([[0], [1], [2]]), np.array([[0.0, 2.0]]))  # z = x - 1
    array([[ 1., -1.,  1.],
           [ 0.,  1., -2.],
           [ 0.,  0.,  1.]])
    """
    return _rounded(_exact_unit_change(exponents, domain), len(exponents))


def _dyadic(value: float) -> Dyadic:
    numerator, denominator = float(value).as_integer_ratio()
    return numerator, denominator.bit_length() - 1  # the denominator is a power of two


def _exact_unit_change(
    exponents: np.ndarray, domain: np.ndarray
) -> list[list[tuple[int, int, int]]]:
    """The non-zero entries of :func:`unit_change`, exactly: per row (column, numerator,
    exponent) with the entry numerator / 2 ** exponent."""
    offset, scale = domain_map(np.asarray(domain, dtype=np.float64))
    d = exponents.shape[1]
    off = [_dyadic(v) for v in np.broadcast_to(offset, (d,))]
    scl = [_dyadic(v) for v in np.broadcast_to(scale, (d,))]
    top = exponents.max(axis=0)  # every basis holds the constant, so k >= 1
    # factor[j][e][q]: the coefficient of x_j ** q in (off_j + scl_j x_j) ** e.
    factor = [
        [
            [
                (
                    math.comb(e, q) * off[j][0] ** (e - q) * scl[j][0] ** q,
                    off[j][1] * (e - q) + scl[j][1] * q,
                )
                for q in range(e + 1)
            ]
            for e in range(int(top[j]) + 1)
        ]
        for j in range(d)
    ]
    # Raw monomial r appears in basis function b where its exponents are nowhere larger.
    present = np.all(exponents[:, None, :] <= exponents[None, :, :], axis=2)
    rows = exponents.tolist()
    out = []
    for r, raw in enumerate(rows):
        line = []
        for b in np.flatnonzero(present[r]).tolist():
            numerator, exponent = 1, 0
            for j, q in enumerate(raw):
                n, s = factor[j][rows[b][j]][q]
                numerator *= n
                exponent += s
            line.append((b, numerator, exponent))
        out.append(line)
    return out


def _rounded(exact: list[list[tuple[int, int, int]]], k: int) -> np.ndarray:
    """The exact entries as a dense matrix of doubles, each rounded once."""
    # Python's division of integers rounds correctly, however large they are.
    T = np.zeros((k, k))
    for r, line in enumerate(exact):
        for b, numerator, exponent in line:
            T[r, b] = numerator / (1 << exponent)
    return T


def to_raw_units(
    coef: np.ndarray, cov: np.ndarray, exponents: np.ndarray, domain: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """The coefficients and their covariance in the features' own units.

    Parameters
    ----------
    coef : ndarray of shape (k + h,)
        Coefficients of the mapped basis (its k functions first), then any h coefficients
        of other columns (the harmonics), which need no change of units.
    cov : ndarray of shape (k + h, k + h)
        Their covariance.
    exponents, domain
        As for :func:`unit_change`.

    Returns
    -------
    coef_raw : ndarray of shape (k + h,)
        ``T @ coef``, each entry the exact value rounded once (for finite coefficients),
        then the other coefficients as they are.
    cov_raw : ndarray of shape (k + h, k + h)
        ``T @ cov @ T.T`` (T extended by the identity on the other coefficients),
        symmetric; in floating point, whose rounding is relative to the conditioning of
        ``cov`` (modest on the mapped domain), far below its uncertainty.

    Examples
    --------
    >>> import numpy as np
    >>> coef_raw, cov_raw = to_raw_units(
    ...     np.array([1.0, 2.0]), np.eye(2), np.array([[0], [1]]), np.array([[0.0, 2.0]])
    ... )
    >>> coef_raw, cov_raw  # 1 + 2 (x - 1) = -1 + 2 x
    (array([-1.,  2.]), array([[ 2., -1.],
           [-1.,  1.]]))
    """
    exact = _exact_unit_change(exponents, domain)
    k = len(exponents)
    coef = np.asarray(coef, dtype=np.float64)
    T = np.eye(len(coef))
    T[:k, :k] = _rounded(exact, k)
    if np.isfinite(coef[:k]).all():
        values = [_dyadic(c) for c in coef[:k].tolist()]
        coef_raw = np.array([_exact_dot(line, values) for line in exact] + coef[k:].tolist())
    else:
        coef_raw = T @ coef
    with np.errstate(over="ignore", invalid="ignore"):
        cov_raw = T @ np.asarray(cov, dtype=np.float64) @ T.T
    cov_raw = (cov_raw + cov_raw.T) / 2.0
    return coef_raw, cov_raw


def _exact_dot(line: list[tuple[int, int, int]], values: list[Dyadic]) -> float:
    """The sum of a row's entries times the values, exactly, rounded once."""
    terms = [(n * values[b][0], s + values[b][1]) for b, n, s in line]
    common = max(s for _, s in terms)
    return sum(n << (common - s) for n, s in terms) / (1 << common)


def term_names(exponents: np.ndarray, feature_names: list[str]) -> list[str]:
    """Names of the raw monomials: ``1``, ``income``, ``income^2``, ``x0*x1^2``.

    Examples
    --------
    >>> term_names(np.array([[0, 0], [1, 0], [1, 2]]), ["x0", "x1"])
    ['1', 'x0', 'x0*x1^2']
    """
    names = []
    for row in exponents.tolist():
        factors = [
            name if p == 1 else f"{name}^{p}" for name, p in zip(feature_names, row) if p > 0
        ]
        names.append("*".join(factors) or "1")
    return names
