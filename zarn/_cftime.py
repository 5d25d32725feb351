"""cftime datetimes (climate-model calendars) as numbers, the way xarray's ``polyfit`` and
``polyval`` read them.

xarray subtracts 1970-01-01 of the values' own calendar and class from every date, takes
the ``total_seconds()`` of the resulting timedeltas, scales to microseconds and then to
nanoseconds (``xarray.core.duck_array_ops.datetime_to_numeric`` with ``datetime_unit="ns"``
as ``xarray.computation.computation._ensure_numeric`` calls it). The same arithmetic here
gives the same floats, so a fit on them predicts as xarray's fit does.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from zarn._harmonics import YEAR_NS

NS_PER_DAY = 86400 * 10**9
# The mean length of a year of each CF calendar, in days: the default period of harmonics
# on its dates, so that an annual cycle repeats with the model's own year.
CALENDAR_YEAR_DAYS = {
    "standard": YEAR_NS / NS_PER_DAY,
    "gregorian": YEAR_NS / NS_PER_DAY,
    "proleptic_gregorian": YEAR_NS / NS_PER_DAY,
    "julian": 365.25,
    "noleap": 365.0,
    "365_day": 365.0,
    "all_leap": 366.0,
    "366_day": 366.0,
    "360_day": 360.0,
}


def is_cftime(values: Any) -> bool:
    """Whether ``values`` is an object array of cftime datetimes (cftime not imported).

    Examples
    --------
    >>> is_cftime(np.array([1.0, 2.0]))
    False
    """
    a = np.asarray(values)
    if a.dtype != object or a.size == 0:
        return False
    first = a.flat[0]
    return type(first).__module__.split(".")[0] == "cftime"


def _calendar(values: np.ndarray) -> str:
    calendars = {getattr(v, "calendar", None) for v in values.flat}
    if len(calendars) != 1 or None in calendars:
        raise TypeError(
            f"cftime coordinates must share one calendar; got {sorted(map(str, calendars))}"
        )
    return str(calendars.pop())


def cftime_to_ns(values: Any) -> np.ndarray:
    """Nanoseconds since 1970-01-01 of the values' calendar, as floats (xarray's numbers).

    Raises
    ------
    TypeError
        For values that are not cftime datetimes of a single calendar.

    Examples
    --------
    >>> import cftime
    >>> d = [cftime.DatetimeNoLeap(1971, 1, 1), cftime.DatetimeNoLeap(1970, 1, 2)]
    >>> (cftime_to_ns(d) / 86400e9).tolist()
    [365.0, 1.0]
    """
    a = np.asarray(values, dtype=object)
    if not is_cftime(a):
        raise TypeError("expected an array of cftime datetimes")
    calendar = _calendar(a)
    first = a.flat[0]
    # xarray's offset is type(first)(1970, 1, 1); the calendar is passed as well so that
    # generic cftime.datetime objects of any calendar work too.
    offset = type(first)(1970, 1, 1, calendar=calendar)
    seconds = np.reshape([(v - offset).total_seconds() for v in a.flat], a.shape)
    micro_to_ns = np.timedelta64(1, "us") / np.timedelta64(1, "ns")
    return micro_to_ns * (seconds * 1e6)


def calendar_year_ns(values: Any) -> float:
    """The mean year of the values' calendar in nanoseconds (the default harmonic period).

    Examples
    --------
    >>> import cftime
    >>> calendar_year_ns([cftime.Datetime360Day(2000, 1, 1)]) / 86400e9
    360.0
    """
    return year_ns(_calendar(np.asarray(values, dtype=object)))


def year_ns(calendar: str) -> float:
    """The mean year of a CF calendar (by name) in nanoseconds.

    Raises
    ------
    ValueError
        For a calendar whose year length is not known.

    Examples
    --------
    >>> year_ns("noleap") / 86400e9
    365.0
    """
    try:
        return CALENDAR_YEAR_DAYS[calendar] * NS_PER_DAY
    except KeyError:
        raise ValueError(
            f"no year length is known for the calendar {calendar!r}; give the length "
            "explicitly (a period, or per as a timedelta)"
        ) from None


def calendar_of(values: Any) -> str:
    """The one calendar of an array of cftime datetimes.

    Raises
    ------
    TypeError
        For values of several calendars or without one.

    Examples
    --------
    >>> import cftime
    >>> calendar_of([cftime.Datetime360Day(2000, 1, 1)])
    '360_day'
    """
    return _calendar(np.asarray(values, dtype=object))
