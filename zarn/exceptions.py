"""Warnings and errors that zarn raises, for users who want to catch or filter them."""

from __future__ import annotations

__all__ = ["RankWarning"]


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
