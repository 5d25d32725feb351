"""Warnings and errors that zarn raises, for users who want to catch or filter them."""

from __future__ import annotations

__all__ = ["FitWarning", "RankWarning"]


class RankWarning(UserWarning):
    """The mapped design cannot determine every coefficient.

    Issued by a fit when the weighted design matrix of the mapped basis is rank-deficient,
    or when the coefficients outnumber the samples that carry a positive weight. The fit
    still returns the minimum-norm (``"ols"``) or penalised solution, but some combinations
    of coefficients are fixed by the method rather than by the data: predictions away from
    the training points are then unreliable. Lower the degree, use ``basis="total"``, add
    data, or use ``method="penalized"`` with a penalty weight. The message names the rank
    and the number of coefficients. As with NumPy's ``RankWarning``, turn it into an error
    with :func:`warnings.simplefilter` or silence it the same way.

    Examples
    --------
    >>> import warnings
    >>> from zarn.exceptions import RankWarning
    >>> with warnings.catch_warnings(record=True) as caught:
    ...     warnings.simplefilter("always")
    ...     warnings.warn("rank 2 of 3 coefficients", RankWarning)
    >>> caught[0].category.__name__, issubclass(RankWarning, UserWarning)
    ('RankWarning', True)
    """


class FitWarning(UserWarning):
    """Some series of a many-series fit could not be fitted.

    Issued once per call of :func:`zarn.fit_many` or :func:`zarn.xarray.fit` when the
    method fails on series that have enough samples (for example a robust fit that finds
    no finite solution, or coefficients beyond the range of doubles); the message counts
    them. Those series get NaN coefficients and statistics, with their ``n_used``; every
    other series is fitted as usual. Series without enough samples (fewer than
    ``min_count``) are not counted: ``n_used`` reports them. Filter it or turn it into
    an error with :mod:`warnings`, as any warning.

    Examples
    --------
    >>> import warnings
    >>> import numpy as np
    >>> import zarn
    >>> x = np.linspace(0.0, 1.0, 12)
    >>> Y = np.column_stack([1.0 + x, 1.7e308 * (-1.0) ** np.arange(12)])
    >>> with warnings.catch_warnings(record=True) as caught:  # the second's cubic overflows
    ...     warnings.simplefilter("always")
    ...     fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=3, method="ols"))
    >>> [w.category.__name__ for w in caught]
    ['FitWarning']
    >>> print(caught[0].message)
    1 of 2 series could not be fitted; their coefficients are NaN
    >>> fits.coef[0, :2].round(6).tolist(), bool(np.isnan(fits.coef[1]).all())
    ([1.5, 0.5], True)
    """
