"""A fit on the mapped domain, exactly in the features' own units.

A fitted model's coefficients belong to monomials of the mapped variables
``z_j = offset_j + scale_j * x_j`` (each feature mapped affinely from its domain onto
[-1, 1]). Expanding every ``z_j ** e`` binomially turns the basis into monomials of the
raw features ``x_j`` with the same set of exponents (both bases hold, with an exponent
vector, every smaller one), so the change of units is a square matrix ``T``:
``coef_raw = T @ coef`` and ``cov_raw = T @ cov @ T.T``.

The entries of ``T`` are computed in exact rational arithmetic from the offsets and
scales the fit itself uses (binomial coefficients are integers, and every double is a
rational number) and rounded once; the raw coefficients are exact dot products of these
rationals with the coefficients, rounded once too. A domain far from zero (years, say)
makes the raw coefficients large and of alternating sign, where a floating-point
composition of polynomials would lose digits to cancellation.
"""

from __future__ import annotations

import math
from fractions import Fraction

import numpy as np

from zarn._basis import domain_map


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
    return np.array(_exact_unit_change(exponents, domain), dtype=np.float64)


def _exact_unit_change(exponents: np.ndarray, domain: np.ndarray) -> list[list[Fraction]]:
    """The entries of :func:`unit_change` as exact rationals, row by row."""
    offset, scale = domain_map(np.asarray(domain, dtype=np.float64))
    d = exponents.shape[1]
    off = [Fraction(float(v)) for v in np.broadcast_to(offset, (d,))]
    scl = [Fraction(float(v)) for v in np.broadcast_to(scale, (d,))]
    top = exponents.max(axis=0)  # every basis holds the constant, so k >= 1
    # factor[j][e][q]: the coefficient of x_j ** q in (off_j + scl_j x_j) ** e.
    factor = [
        [
            [math.comb(e, q) * off[j] ** (e - q) * scl[j] ** q for q in range(e + 1)]
            for e in range(int(top[j]) + 1)
        ]
        for j in range(d)
    ]
    rows = exponents.tolist()
    out = []
    for raw in rows:
        line = []
        for basis in rows:
            entry = Fraction(1)
            for j, (q, e) in enumerate(zip(raw, basis)):
                if q > e:  # the basis function holds no power q of feature j
                    entry = Fraction(0)
                    break
                entry *= factor[j][e][q]
            line.append(entry)
        out.append(line)
    return out


def to_raw_units(
    coef: np.ndarray, cov: np.ndarray, exponents: np.ndarray, domain: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """The coefficients and their covariance in the features' own units.

    Parameters
    ----------
    coef : ndarray of shape (k,)
        Coefficients of the mapped basis.
    cov : ndarray of shape (k, k)
        Their covariance.
    exponents, domain
        As for :func:`unit_change`.

    Returns
    -------
    coef_raw : ndarray of shape (k,)
        ``T @ coef``, each entry the exact value rounded once (for finite coefficients).
    cov_raw : ndarray of shape (k, k)
        ``T @ cov @ T.T``, symmetric; in floating point, whose rounding is relative to the
        conditioning of ``cov`` (modest on the mapped domain), far below its uncertainty.

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
    T = np.array(exact, dtype=np.float64)
    coef = np.asarray(coef, dtype=np.float64)
    if np.isfinite(coef).all():
        values = [Fraction(float(c)) for c in coef]
        coef_raw = np.array(
            [float(sum((t * c for t, c in zip(line, values)), Fraction(0))) for line in exact]
        )
    else:
        coef_raw = T @ coef
    with np.errstate(over="ignore", invalid="ignore"):
        cov_raw = T @ np.asarray(cov, dtype=np.float64) @ T.T
    cov_raw = (cov_raw + cov_raw.T) / 2.0
    return coef_raw, cov_raw


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
