"""Seasonal harmonics: the sine/cosine columns of a period, and each harmonic's amplitude and
phase with delta-method standard errors.

Harmonic j of period P is ``a_j sin(2 pi j t / P) + b_j cos(2 pi j t / P)``, written as
``A_j cos(2 pi j t / P - phi_j)`` with amplitude ``A_j = hypot(a_j, b_j)`` and phase
``phi_j = atan2(a_j, b_j)`` in (-pi, pi]: the harmonic peaks at ``t = phi_j P / (2 pi j)``
(modulo ``P / j``). The phase origin is t = 0 of the coordinate the columns are built on;
for datetimes converted to nanoseconds since 1970-01-01T00:00 (as numpy's datetime64 and
xarray's conversions give them) phases are measured from that instant.
"""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np

# One mean Gregorian year (365.2425 days, the 400-year cycle's mean) in nanoseconds, the
# unit of converted datetimes: the default period of harmonics on dates. It is a whole
# number of nanoseconds (31,556,952 s), so datetimes reduce modulo it exactly.
YEAR_NS = 365.2425 * 86400 * 10**9
# The derivative of order r of the pair (sin, cos), for r modulo 4, as (which of the pair,
# sign) for each column: sin' = cos and cos' = -sin.
_TURNS = (
    ((0, 1.0), (1, 1.0)),
    ((1, 1.0), (0, -1.0)),
    ((0, -1.0), (1, -1.0)),
    ((1, -1.0), (0, 1.0)),
)


def harmonic_labels(harmonics: int) -> list[str]:
    """Labels of the harmonic columns: ``sin1, cos1, sin2, cos2, ...``.

    Examples
    --------
    >>> harmonic_labels(2)
    ['sin1', 'cos1', 'sin2', 'cos2']
    """
    return [f"{f}{j}" for j in range(1, harmonics + 1) for f in ("sin", "cos")]


def check_harmonics(harmonics: Any, period: Any, datetime_like: bool) -> float | None:
    """Validate ``harmonics`` and ``period``; return the period in x's units (None if none).

    Dates (``datetime_like``) default to :data:`YEAR_NS`; numbers need an explicit positive
    finite period. A ``numpy.timedelta64`` period is converted to nanoseconds, the unit of
    converted dates and durations (and so of numeric positions in nanoseconds).

    Raises
    ------
    ValueError
        For a negative or non-integer count, a missing or non-positive period.

    Examples
    --------
    >>> check_harmonics(2, 12.0, False)
    12.0
    >>> check_harmonics(1, None, True) == YEAR_NS
    True
    >>> check_harmonics(1, np.timedelta64(360, "D"), True) == 360 * 86400e9
    True
    """
    if (
        isinstance(harmonics, (bool, np.bool_))
        or not isinstance(harmonics, numbers.Integral)
        or harmonics < 0
    ):
        raise ValueError(f"harmonics must be an integer >= 0; got {harmonics!r}")
    if harmonics == 0:
        return None
    if period is None:
        if datetime_like:
            return YEAR_NS
        raise ValueError(
            "harmonics on a numeric coordinate need a period in its units, such as "
            "period=12.0 for monthly steps; only dates default to one year"
        )
    if isinstance(period, np.timedelta64):  # in nanoseconds, the unit of converted dates
        period = period / np.timedelta64(1, "ns")
    if (
        isinstance(period, (bool, np.bool_))
        or not isinstance(period, numbers.Real)
        or not math.isfinite(period)
        or period <= 0
    ):
        raise ValueError(f"period must be a positive finite number; got {period!r}")
    return float(period)


def harmonic_columns(t: Any, period: float, harmonics: int, derivative: int = 0) -> np.ndarray:
    """The columns ``sin(2 pi j t / period), cos(2 pi j t / period)`` for j = 1..harmonics,
    or their ``derivative``-th derivatives with respect to t.

    ``t`` is reduced modulo the period before the angle is formed (and ``j t`` modulo it
    again), so large coordinates, such as nanoseconds since 1970, lose no digits. The
    derivative of order r of ``sin(w t)`` is ``w**r sin(w t + r pi / 2)`` (w = 2 pi j /
    period), formed from the same sines and cosines.

    Returns
    -------
    ndarray of shape (n, 2 * harmonics)
        In the order of :func:`harmonic_labels`.

    Examples
    --------
    >>> harmonic_columns([0.0, 3.0], 12.0, 1).round(12).tolist()
    [[0.0, 1.0], [1.0, 0.0]]
    >>> (harmonic_columns([0.0], 2 * np.pi, 1, derivative=1)).round(12).tolist()  # cos, -sin
    [[1.0, -0.0]]
    """
    t = np.asarray(t, dtype=float).ravel()
    frac = np.remainder(t, period) / period  # in [0, 1)
    out = np.empty((t.size, 2 * harmonics))
    (i_sin, s_sin), (i_cos, s_cos) = _TURNS[derivative % 4]
    for j in range(1, harmonics + 1):
        angle = 2.0 * np.pi * np.remainder(j * frac, 1.0)
        pair = (np.sin(angle), np.cos(angle))
        factor = (2.0 * np.pi * j / period) ** derivative
        out[:, 2 * j - 2] = (factor * s_sin) * pair[i_sin]
        out[:, 2 * j - 1] = (factor * s_cos) * pair[i_cos]
    return out


def amplitude_phase(coef: Any, cov: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Amplitude and phase of each harmonic with their delta-method standard errors.

    Parameters
    ----------
    coef : array of shape (..., 2 h)
        The harmonic coefficients, ordered as :func:`harmonic_labels`.
    cov : array of shape (..., 2 h, 2 h)
        Their covariance (only the 2 x 2 blocks of each harmonic are used).

    Returns
    -------
    amplitude, phase, amplitude_stderr, phase_stderr : ndarray of shape (..., h)
        The gradients of ``hypot(a, b)`` and ``atan2(a, b)`` are ``(a, b) / A`` and
        ``(b, -a) / A^2``; a zero amplitude gives NaN standard errors and phase.

    Examples
    --------
    >>> amp, ph, amp_se, ph_se = amplitude_phase([3.0, 4.0], np.eye(2) * 0.01)
    >>> amp.tolist(), round(float(ph[0]), 6), amp_se.round(6).tolist(), ph_se.tolist()
    ([5.0], 0.643501, [0.1], [0.02])
    """
    coef = np.asarray(coef, dtype=float)
    cov = np.asarray(cov, dtype=float)
    a, b = coef[..., 0::2], coef[..., 1::2]
    idx = np.arange(a.shape[-1])
    vaa = cov[..., 2 * idx, 2 * idx]
    vbb = cov[..., 2 * idx + 1, 2 * idx + 1]
    vab = cov[..., 2 * idx, 2 * idx + 1]
    amp = np.hypot(a, b)
    with np.errstate(invalid="ignore", divide="ignore"):
        amp_var = (a * a * vaa + 2.0 * a * b * vab + b * b * vbb) / amp**2
        phase_var = (b * b * vaa - 2.0 * a * b * vab + a * a * vbb) / amp**4
    zero = amp == 0.0
    phase = np.where(zero, np.nan, np.arctan2(a, b))
    amp_se = np.where(zero, np.nan, np.sqrt(amp_var))
    phase_se = np.where(zero, np.nan, np.sqrt(phase_var))
    return amp, phase, amp_se, phase_se
