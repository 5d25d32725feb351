"""Harmonic columns, amplitude and phase: statsmodels' OLS, exact integer reductions,
finite-difference and simulated delta-method checks."""

from __future__ import annotations

import numpy as np
import pytest

from zarn._covtypes import check_cov_type, covariance
from zarn._harmonics import (
    YEAR_NS,
    amplitude_phase,
    check_harmonics,
    harmonic_columns,
)
from zarn._methods.ols import fit_ols as ols

sm = pytest.importorskip("statsmodels.api")


@pytest.mark.parametrize("harmonics", [1, 2, 3])
@pytest.mark.parametrize("cov_type", ["nonrobust", "HC1", "HAC"])
def test_ols_with_harmonics_equals_statsmodels(harmonics, cov_type):
    rng = np.random.default_rng(0)
    t = np.arange(360.0)  # months
    period = 12.0
    seasonal = 2.0 * np.sin(2 * np.pi * t / 12 + 0.4) + 0.5 * np.cos(4 * np.pi * t / 12)
    y = 0.01 * t + seasonal + rng.normal(size=t.size)
    naive = [
        f(2 * np.pi * j * t / period) for j in range(1, harmonics + 1) for f in (np.sin, np.cos)
    ]
    X_sm = np.column_stack([np.ones_like(t), t, *naive])
    kwds = {"maxlags": 4} if cov_type == "HAC" else {}
    res = sm.OLS(y, X_sm).fit(cov_type=cov_type, cov_kwds=kwds)
    X = np.column_stack([np.ones_like(t), t, harmonic_columns(t, period, harmonics)])
    coef, u = ols(X, y)
    np.testing.assert_allclose(coef, res.params, rtol=1e-8, atol=1e-10)
    c = covariance(check_cov_type(cov_type, kwds), X, y - X @ coef, u.cov_unscaled)
    np.testing.assert_allclose(c.stderr[0], res.bse, rtol=1e-8)


@pytest.mark.parametrize("period", [int(YEAR_NS), 86_400 * 10**9, 3_600 * 10**9])
def test_columns_of_large_coordinates_match_exact_integer_reduction(period):
    # Monthly datetimes of 1990-2019 as nanoseconds since 1970, rounded to multiples of
    # 1024 ns so that they are exact doubles; the exact phase is the integer remainder
    # modulo the period. The naive angle 2 pi t / period loses ~1e-10 for hourly periods.
    assert int(YEAR_NS) == YEAR_NS  # the year is a whole number of nanoseconds
    dates = np.arange("1990-01", "2020-01", dtype="datetime64[M]").astype("datetime64[ns]")
    t_int = dates.astype(np.int64) // 1024 * 1024 + 7 * 1024
    want = np.column_stack(
        [
            f(2 * np.pi * ((j * (t_int % period)) % period) / period)
            for j in (1, 2)
            for f in (np.sin, np.cos)
        ]
    )
    got = harmonic_columns(t_int.astype(float), float(period), 2)
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-13)


def test_amplitude_and_phase_rebuild_the_harmonics():
    rng = np.random.default_rng(1)
    coef = rng.normal(size=6)
    t = np.linspace(0.0, 30.0, 50)
    amp, phase, _, _ = amplitude_phase(coef, np.eye(6))
    cols = harmonic_columns(t, 10.0, 3)
    for j in range(3):
        direct = cols[:, 2 * j : 2 * j + 2] @ coef[2 * j : 2 * j + 2]
        rebuilt = amp[j] * np.cos(2 * np.pi * (j + 1) * t / 10.0 - phase[j])
        np.testing.assert_allclose(rebuilt, direct, atol=1e-12)


def _numeric_delta(coef: np.ndarray, cov: np.ndarray, h: float = 1e-6) -> np.ndarray:
    """Delta-method standard errors of (amplitude, phase) by central differences."""

    def g(c: np.ndarray) -> np.ndarray:
        return np.array([np.hypot(c[0], c[1]), np.arctan2(c[0], c[1])])

    jac = np.column_stack([(g(coef + h * e) - g(coef - h * e)) / (2 * h) for e in np.eye(2)])
    return np.sqrt(np.diag(jac @ cov @ jac.T))


@pytest.mark.parametrize("coef", [[3.0, 4.0], [-1.0, 0.2], [0.5, -2.0]])
def test_standard_errors_equal_numeric_delta_method(coef):
    coef = np.array(coef)
    cov = np.array([[0.04, 0.01], [0.01, 0.09]])
    _, _, amp_se, phase_se = amplitude_phase(coef, cov)
    np.testing.assert_allclose([amp_se[0], phase_se[0]], _numeric_delta(coef, cov), rtol=1e-7)


def test_standard_errors_agree_with_simulation():
    # 200,000 draws: the simulated standard deviations are within about 0.3 % of the truth;
    # the delta method is accurate to O(se / A) = 1 % here.
    rng = np.random.default_rng(2)
    coef = np.array([2.0, -1.0, 0.8, 0.6])
    cov = np.diag([0.0004, 0.0009, 0.0001, 0.0004])
    cov[0, 1] = cov[1, 0] = 0.0002
    draws = rng.multivariate_normal(coef, cov, size=200_000)
    amp, phase, amp_se, phase_se = amplitude_phase(draws, cov)
    _, _, want_amp_se, want_phase_se = amplitude_phase(coef, cov)
    np.testing.assert_allclose(amp.std(axis=0), want_amp_se, rtol=0.02)
    np.testing.assert_allclose(phase.std(axis=0), want_phase_se, rtol=0.02)


def test_zero_amplitude_has_nan_phase_and_errors():
    amp, phase, amp_se, phase_se = amplitude_phase([0.0, 0.0], np.eye(2))
    assert amp[0] == 0.0
    assert np.isnan([phase[0], amp_se[0], phase_se[0]]).all()


@pytest.mark.parametrize(
    ("harmonics", "period", "datetime_like", "match"),
    [
        (-1, 12.0, False, "harmonics must be an integer >= 0"),
        (1.5, 12.0, False, "harmonics must be an integer >= 0"),
        (True, 12.0, False, "harmonics must be an integer >= 0"),
        (2, None, False, "need a period in its units"),
        (2, 0.0, False, "period must be a positive finite number"),
        (2, np.inf, True, "period must be a positive finite number"),
        (2, "year", True, "period must be a positive finite number"),
        (2, np.timedelta64(-12, "D"), True, "period must be a positive finite number"),
    ],
)
def test_invalid_harmonics_or_period(harmonics, period, datetime_like, match):
    with pytest.raises(ValueError, match=match):
        check_harmonics(harmonics, period, datetime_like)


def test_period_defaults_and_conversions():
    assert check_harmonics(0, None, False) is None
    assert check_harmonics(1, None, True) == 365.2425 * 86_400e9
    assert check_harmonics(1, np.timedelta64(1, "h"), True) == 3.6e12
    # numeric positions in nanoseconds take a timedelta64 period as well
    assert check_harmonics(1, np.timedelta64(2, "s"), False) == 2e9
