"""Trends of many series: agreement with statsmodels and xarray, the cost of harmonics, and
robust trends of a cloudy seasonal cube.

Five parts, each a table of the section this script writes into bench/RESULTS.md:

1. ``trend``: ``ManyFits.trend`` and ``trend_stderr`` (degree 1, and degree 2 at the
   middle) against statsmodels' OLS of each series alone, in the polynomial of
   ``x - at`` whose coefficient of ``x - at`` is the slope there;
2. ``cftime``: ``zarn.xarray.predict`` against ``xarray.polyval`` of ``polyfit`` on cftime
   coordinates of three calendars;
3. ``cov_type``: HC0-HC3 and HAC through ``fit_many`` against statsmodels'
   ``OLS.fit(cov_type=...)``, and the coverage of the slope's 95 % interval under
   ``"ar1"`` for AR(1) noise with phi = 0.6 at n = 360;
4. ``harmonics``: the time of ``fit_many`` with ``harmonics=2`` over the same fit
   without them (medians of interleaved rounds, each the mean of several calls);
5. ``cloudy cube``: a monthly 30-year cube with an annual cycle, a land mask and 10 %
   cloud-like outliers (y - U(3, 10)): the RMSE of the robust trend with ``harmonics=2``
   over that of ``"ols"`` with ``harmonics=2`` on the same cube without clouds, and the
   ols fit's agreement with statsmodels' OLS on the same regressors.

    python bench/bench_trends.py [--quick] [--no-write] [--rounds 5]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import statistics
import sys
import time

import numpy as np
import statsmodels.api as sm
import xarray as xr

import zarn
import zarn.xarray

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from _results import write_section  # noqa: E402

YEAR_DAYS = 365.2425
MONTHS = np.arange("1990-01", "2020-01", dtype="datetime64[M]").astype("datetime64[ns]")
N = MONTHS.size  # 360
YEARS = (MONTHS - MONTHS[0]) / np.timedelta64(1, "D") / YEAR_DAYS
# Series whose statsmodels fits are compared (a loop of statsmodels per series).
COMPARED = 200


def relative(got, want):
    """Largest difference relative to the largest magnitude of ``want``."""
    got, want = np.asarray(got), np.asarray(want)
    return float(np.nanmax(np.abs(got - want)) / np.nanmax(np.abs(want)))


def ar1_noise(rng, shape, phi):
    """AR(1) noise of unit innovations along the last axis."""
    e = rng.normal(size=shape)
    out = np.empty(shape)
    out[..., 0] = e[..., 0] / np.sqrt(1 - phi * phi)
    for i in range(1, shape[-1]):
        out[..., i] = phi * out[..., i - 1] + e[..., i]
    return out


def part_trend():
    rng = np.random.default_rng(0)
    Y = 0.02 * YEARS[:, None] + rng.normal(0, 0.3, (N, COMPARED))
    Y[rng.random(Y.shape) < 0.05] = np.nan
    rows = []
    x = YEARS
    for degree in (1, 2):
        fits = zarn.fit_many(MONTHS, Y, zarn.PolynomialRegressor(degree=degree, method="ols"))
        trend, stderr = fits.trend(per="year")
        at = (x.min() + x.max()) / 2.0
        want, want_se = [], []
        for i in range(COMPARED):
            used = np.isfinite(Y[:, i])
            res = sm.OLS(Y[used, i], np.vander(x[used] - at, degree + 1, increasing=True)).fit()
            want.append(res.params[1])
            want_se.append(res.bse[1])
        rows.append(
            f"| degree {degree}{' (at the middle)' if degree == 2 else ''} | {COMPARED} | "
            f"{relative(trend, want):.1e} | {relative(stderr, want_se):.1e} |"
        )
    return (
        "Trends per year of monthly series (n = 360, 5 % missing) against statsmodels' OLS "
        "of each series alone.\n\n| model | series | trend | trend_stderr |\n|---|---|---|---|\n"
        + "\n".join(rows)
    )


def part_cftime():
    rng = np.random.default_rng(1)
    rows = []
    for calendar in ("noleap", "360_day", "standard"):
        time_ = xr.date_range(
            "1950-01-16", periods=N, freq="MS", calendar=calendar, use_cftime=True
        )
        t = np.linspace(-1, 1, N)[:, None, None]
        values = 280 + 2 * t + t**3 + rng.normal(0, 0.5, (N, 20, 30))
        values[rng.random(values.shape) < 0.05] = np.nan
        da = xr.DataArray(values, dims=("time", "lat", "lon"), coords={"time": time_})
        fits = da.zarn.fit("time", zarn.PolynomialRegressor(degree=3, method="ols"))
        got = zarn.xarray.predict(fits, da.time)
        want = xr.polyval(da.time, da.polyfit("time", 3, skipna=True).polyfit_coefficients)
        diff = float((np.abs(got - want.transpose(*got.dims)) / np.abs(da).max("time")).max())
        rows.append(f"| {calendar} | 20 x 30 x {N} | {diff:.1e} |")
    return (
        "cftime coordinates: predictions of degree 3 against `xarray.polyval` of `polyfit` "
        "(5 % missing), largest difference relative to each series' largest value.\n\n"
        "| calendar | cube | difference |\n|---|---|---|\n" + "\n".join(rows)
    )


def part_cov_type(harmonics):
    if not harmonics:
        return "cov_type: not run (the estimator has no cov_type here)."
    rng = np.random.default_rng(2)
    Y = 0.02 * YEARS[:, None] + ar1_noise(rng, (COMPARED, N), 0.6).T
    Y[rng.random(Y.shape) < 0.03] = np.nan
    X = np.column_stack([np.ones(N), YEARS])
    rows = []
    for cov_type, kwds in [
        ("HC0", {}),
        ("HC1", {}),
        ("HC2", {}),
        ("HC3", {}),
        ("HAC", {"maxlags": 6}),
        ("HAC", {"maxlags": 6, "use_correction": True}),
    ]:
        model = zarn.PolynomialRegressor(degree=1, method="ols", cov_type=cov_type, cov_kwds=kwds)
        fits = zarn.fit_many(MONTHS, Y, model)
        trend, stderr = fits.trend(per="year")
        want = []
        for i in range(COMPARED):
            used = np.isfinite(Y[:, i])
            res = sm.OLS(Y[used, i], X[used]).fit(cov_type=cov_type, cov_kwds=kwds)
            want.append(res.bse[1])
        rows.append(f"| {cov_type} {kwds or ''} | {relative(stderr, want):.1e} |")
    # Coverage of the slope's 95 % interval under ar1 (phi = 0.6, n = 360).
    m = 4000
    Y = 0.02 * YEARS[:, None] + ar1_noise(rng, (m, N), 0.6).T
    covered = {}
    for cov_type in ("nonrobust", "ar1"):
        model = zarn.PolynomialRegressor(degree=1, method="ols", cov_type=cov_type)
        fits = zarn.fit_many(MONTHS, Y, model)
        low, high = fits.predict_interval(MONTHS[:1], level=0.95, derivative=1)
        per_year = YEAR_DAYS * 86400e9
        covered[cov_type] = float(
            np.mean((low[0] * per_year <= 0.02) & (high[0] * per_year >= 0.02))
        )
    return (
        f"cov_type through `fit_many` against statsmodels' `OLS.fit(cov_type=...)` of each of "
        f"{COMPARED} series alone (AR(1) noise, phi = 0.6, 3 % missing): largest relative "
        "difference of the slope's standard error.\n\n| cov_type | difference |\n|---|---|\n"
        + "\n".join(rows)
        + f"\n\nCoverage of the slope's 95 % interval, AR(1) noise with phi = 0.6, n = {N}, "
        f"{m} series: nonrobust {covered['nonrobust']:.3f}, ar1 {covered['ar1']:.3f} "
        "(target 0.92-0.97)."
    )


# Each round times enough calls to last about this long, and takes their mean: on the
# shared machine a call of a few milliseconds is often cut by another program's turn on
# its core, which scatters single calls by a third and more.
ROUND_SECONDS = 0.2


def calls_lasting(fn, seconds):
    """Calls of ``fn`` that take about ``seconds`` (after one untimed call), at least one."""
    fn()
    start = time.perf_counter()
    fn()
    return max(1, round(seconds / (time.perf_counter() - start)))


def mean_time(fn, calls):
    """Mean seconds of ``calls`` calls of ``fn``."""
    start = time.perf_counter()
    for _ in range(calls):
        fn()
    return (time.perf_counter() - start) / calls


def part_harmonics(harmonics, rounds, quick):
    if not harmonics:
        return "harmonics: not run (the estimator has no harmonics here)."
    load = os.getloadavg()[0]  # the machine is shared: its load, for reading the ratios
    rng = np.random.default_rng(3)
    m = 5_000 if quick else 20_000
    Y = 0.02 * YEARS[:, None] + np.sin(2 * np.pi * YEARS)[:, None] + rng.normal(0, 0.3, (N, m))
    gappy = Y.copy()
    gappy[rng.random(Y.shape) < 0.05] = np.nan
    rows = []
    for method, data, label in [
        ("ols", Y, "complete"),
        ("ols", gappy, "5 % missing"),
        ("penalized", Y, "complete"),
    ]:
        fits = {
            name: (lambda model=model, data=data: zarn.fit_many(MONTHS, data, model))
            for name, model in (
                ("with", zarn.PolynomialRegressor(degree=1, method=method, harmonics=2)),
                ("without", zarn.PolynomialRegressor(degree=1, method=method)),
            )
        }
        calls = {name: calls_lasting(fn, ROUND_SECONDS) for name, fn in fits.items()}
        times = {name: [] for name in fits}
        for _ in range(rounds):  # interleaved
            for name, fn in fits.items():
                times[name].append(mean_time(fn, calls[name]))
        t_with, t_without = statistics.median(times["with"]), statistics.median(times["without"])
        rows.append(
            f"| {method}, {label} | {m} x {N} | {t_without * 1e3:.0f} ms | {t_with * 1e3:.0f} ms "
            f"| {t_with / t_without:.2f} |"
        )
    return (
        f"Harmonics' cost: `fit_many` of degree 1 with `harmonics=2` (6 coefficients) and "
        f"without (2), medians of {rounds} interleaved rounds, each the mean time of the calls "
        f"that last about {ROUND_SECONDS} s (target: at most 1.5x); load average {load:.1f} at "
        f"the start on {os.cpu_count()} cores.\n\n"
        "| fit | series x samples | without | with | ratio |\n|---|---|---|---|---|\n"
        + "\n".join(rows)
    )


def part_cloudy(harmonics, quick):
    if not harmonics:
        return "cloudy cube: not run (the estimator has no harmonics here)."
    rng = np.random.default_rng(4)
    shape = (20, 30) if quick else (60, 80)
    trend = rng.normal(0.02, 0.01, shape)  # per year
    amplitude = rng.uniform(1.0, 3.0, shape)
    phase = rng.uniform(0, 2 * np.pi, shape)
    t = YEARS[:, None, None]
    season = amplitude * np.sin(2 * np.pi * t + phase) + 0.3 * np.cos(4 * np.pi * t)
    clean = 10 + trend * t + season + rng.normal(0, 0.3, (N, *shape))
    land = np.zeros(shape, dtype=bool)
    land[: shape[0] // 4, : shape[1] // 3] = True
    clean[:, land] = np.nan
    cloudy = clean.copy()
    clouds = rng.random(cloudy.shape) < 0.10
    cloudy[clouds] -= rng.uniform(3, 10, int(clouds.sum()))
    dims = ("time", "y", "x")
    kw = {"dims": dims, "coords": {"time": MONTHS}}
    ols = zarn.PolynomialRegressor(degree=1, method="ols", harmonics=2)
    robust = zarn.PolynomialRegressor(degree=1, method="robust", harmonics=2, random_state=0)
    start = time.perf_counter()
    robust_fits = xr.DataArray(cloudy, **kw).zarn.fit("time", robust)
    t_robust = time.perf_counter() - start
    start = time.perf_counter()
    ols_fits = xr.DataArray(clean, **kw).zarn.fit("time", ols)
    t_ols = time.perf_counter() - start
    ocean = ~land

    def rmse(fits):
        got = zarn.xarray.trend(fits, per="year").trend.values
        return float(np.sqrt(np.mean((got[ocean] - trend[ocean]) ** 2)))

    ratio = rmse(robust_fits) / rmse(ols_fits)
    # The ols fit with harmonics against statsmodels' OLS on the same regressors.
    days = (MONTHS - np.datetime64("1970-01-01")) / np.timedelta64(1, "D")
    phase_t = 2 * np.pi * (days / YEAR_DAYS)
    X = np.column_stack(
        [
            np.ones(N),
            days,
            np.sin(phase_t),
            np.cos(phase_t),
            np.sin(2 * phase_t),
            np.cos(2 * phase_t),
        ]
    )
    fitted = zarn.xarray.predict(ols_fits, MONTHS).transpose(*dims).values
    worst = 0.0
    pixels = np.argwhere(ocean)[:COMPARED]
    for i, j in pixels:
        want = sm.OLS(clean[:, i, j], X).fit().fittedvalues
        worst = max(worst, relative(fitted[:, i, j], want))
    return (
        f"Cloudy seasonal cube ({shape[0]} x {shape[1]} pixels, monthly, 30 years, an annual "
        "cycle of two harmonics, a land mask, 10 % outliers y - U(3, 10)): RMSE of the trend "
        "per year over the ocean pixels.\n\n"
        "| fit | data | trend RMSE | time |\n|---|---|---|---|\n"
        f"| ols, harmonics=2 | without clouds | {rmse(ols_fits):.2e} | {t_ols:.2f} s |\n"
        f"| robust, harmonics=2 | with clouds | {rmse(robust_fits):.2e} | {t_robust:.2f} s |\n\n"
        f"Ratio robust (cloudy) / ols (clean): {ratio:.3f} (target at most 1.15). The ols fit "
        "with harmonics against statsmodels' OLS on [1, t, sin, cos, sin 2, cos 2]: largest "
        f"relative difference of the fitted values over {len(pixels)} pixels {worst:.1e}."
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-write", action="store_true")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--label", default="trends of many series")
    args = parser.parse_args()
    harmonics = "harmonics" in zarn.PolynomialRegressor().get_params()
    parts = [
        part_trend(),
        part_cftime(),
        part_cov_type(harmonics),
        part_harmonics(harmonics, args.rounds, args.quick),
        part_cloudy(harmonics, args.quick),
    ]
    body = (
        f"## {args.label}\n\n`python bench/bench_trends.py"
        + (" --quick" if args.quick else "")
        + f" --rounds {args.rounds}`\n\n"
        + "\n\n".join(parts)
    )
    print(body)
    if not args.no_write:
        write_section(HERE / "RESULTS.md", "bench/bench_trends.py", args.label, body)


if __name__ == "__main__":
    main()
