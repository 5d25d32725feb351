"""cftime coordinates as numbers: the fit's predictions against xarray's polyfit/polyval."""

from __future__ import annotations

import numpy as np
import pytest

import zarn
from zarn._cftime import calendar_year_ns, cftime_to_ns, is_cftime

cftime = pytest.importorskip("cftime")
xr = pytest.importorskip("xarray")


@pytest.mark.parametrize("calendar", ["noleap", "360_day"])
@pytest.mark.parametrize("degree", [1, 2])
def test_fit_on_converted_coordinates_predicts_as_xarray(calendar, degree):
    rng = np.random.default_rng(0)
    time = xr.date_range("1990-01-16", periods=360, freq="MS", calendar=calendar, use_cftime=True)
    years = np.arange(360) / 12.0
    y = 0.2 * years + 0.01 * years**2 + np.sin(2 * np.pi * years) + rng.normal(size=360)
    da = xr.DataArray(y, coords={"time": time}, dims="time")
    coeffs = da.polyfit("time", degree).polyfit_coefficients
    expected = xr.polyval(da.time, coeffs).values
    x = cftime_to_ns(time.values)
    model = zarn.PolynomialRegressor(degree=degree, method="ols").fit(x[:, None], y)
    got = model.predict(x[:, None])
    np.testing.assert_allclose(got, expected, rtol=1e-8, atol=1e-8 * np.abs(expected).max())
    # Predictions are blind to an affine change of x; the coefficients are not: the numbers
    # themselves are xarray's (its offset and unit).
    np.testing.assert_allclose(np.polyfit(x, y, degree), coeffs.values, rtol=1e-6)


def test_generic_cftime_datetimes_of_any_calendar():
    # cftime.datetime with a calendar attribute: the same numbers as the calendar's class.
    generic = [cftime.datetime(2001, 3, 1, calendar="360_day")]
    special = [cftime.Datetime360Day(2001, 3, 1)]
    assert cftime_to_ns(generic)[0] == cftime_to_ns(special)[0] == (31 * 360 + 60) * 86400e9


@pytest.mark.parametrize(
    ("calendar", "days"),
    [("noleap", 365.0), ("360_day", 360.0), ("all_leap", 366.0), ("julian", 365.25)],
)
def test_calendar_year(calendar, days):
    assert calendar_year_ns([cftime.datetime(2000, 1, 1, calendar=calendar)]) == days * 86400e9


def test_mixed_calendars_and_other_values_are_refused():
    mixed = [cftime.DatetimeNoLeap(2000, 1, 1), cftime.Datetime360Day(2000, 1, 1)]
    with pytest.raises(TypeError, match="must share one calendar; got \\['360_day', 'noleap'\\]"):
        cftime_to_ns(mixed)
    with pytest.raises(TypeError, match="expected an array of cftime datetimes"):
        cftime_to_ns(np.array(["2000-01-01"], dtype=object))
    assert is_cftime(np.array(mixed, dtype=object))
    assert not is_cftime(np.array([], dtype=object))
