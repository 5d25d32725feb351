"""Many independent fits: zarn.fit_many and zarn.xarray against xarray's polyfit, a bare QR
solve and statsmodels, and their scaling.

Subcommands (default: trend, robust, memory):

* ``trend``: 100,000 series of n = 100, degree 3, ``"ols"``. (a) ``zarn.xarray.fit`` with
  its default outputs (coefficients, standard errors, scale, R^2, counts) against
  ``DataArray.polyfit`` on the same DataArray, as a (time, lat, lon) cube with monthly
  dates and as a (x, series) array with numbers, without NaN and with 10 % NaN
  (``skipna=True``); (b) ``zarn.fit_many`` on the NumPy array against one QR solve of all
  series, ``np.linalg.solve(R, Q.T @ Y)``, for ``"ols"`` and ``"penalized"``; (c) the
  agreement of the fitted values with ``xarray.polyval`` of polyfit's coefficients on a
  cube with a land mask and scattered NaN, and of the standard errors, scale and R^2 of
  200 series with statsmodels' OLS of each series alone. Interleaved rounds, medians.
* ``robust``: robust trend maps. 100,000 series of n = 100, degree 1, 10 % cloud-like
  outliers (y - U(3, 10)) and 5 % NaN: the robust route of ``zarn.fit_many`` against the
  ``"ols"`` route on the same data, ``scipy.stats.theilslopes`` per series (2,000 series,
  scaled) and the robust engine's own calls on the route's blocks (interleaved rounds,
  medians, default 3); then a 10**6-series cube through ``zarn.xarray.fit`` on a Dask
  ``LocalCluster`` of two process workers, once. Written into ``bench/RESULTS.md``.
* ``memory``: a Dask-backed DataArray of 2,000,000 series of n = 50 in chunks of 20,000
  series, generated lazily, fitted by ``zarn.xarray.fit`` on a ``LocalCluster`` of two
  process workers (one thread each); the peak resident memory of each worker (the
  kernel's high-water mark VmHWM, reset before the work) is reported, against xarray's
  ``polyfit`` on the same lazy array and cluster set-up.
* ``agreement``: how far the shared solves of ``"ols"`` and ``"penalized"`` lie from
  fitting each series alone, by degree.

    python bench/bench_many.py [trend|robust|memory|agreement] [--rounds R]
    python bench/bench_many.py robust --rounds 3

The machine has two cores shared with other work: the load average is printed with every
measurement.
"""

import argparse
import os
import statistics
import time

import numpy as np

import zarn

DEGREE = 3


def load():
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f}"


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def interleaved(cases, rounds):
    """Median and minimum seconds of each case (name -> callable), run in turn each round."""
    times = {name: [] for name in cases}
    for _ in range(rounds):
        for name, fn in cases.items():
            times[name].append(timed(fn)[0])
    return {name: (statistics.median(t), min(t)) for name, t in times.items()}


# ------------------------------------------------------------------------- trend


def trend_problem(n=100, shape=(250, 400), nan_rate=0.0, seed=0):
    """Monthly cubic trends plus noise on a (time, lat, lon) grid, as NumPy arrays."""
    rng = np.random.default_rng(seed)
    m = shape[0] * shape[1]
    t = np.linspace(0.0, 1.0, n)
    a = rng.normal(size=(DEGREE + 1, m))
    Y = np.polynomial.polynomial.polyvander(t, DEGREE) @ a + rng.normal(0, 0.1, (n, m))
    if nan_rate:
        Y[rng.random(Y.shape) < nan_rate] = np.nan
    time_ = np.arange("2000-01", "2100-01", dtype="datetime64[M]")[:n].astype("datetime64[ns]")
    return time_, Y


def trend(rounds):
    import xarray as xr

    import zarn.xarray

    n, shape = 100, (250, 400)
    model = zarn.PolynomialRegressor(degree=DEGREE, method="ols")
    print(f"trend: {shape[0] * shape[1]} series of n = {n}, degree {DEGREE}, ols; {load()}")
    rows = []
    for nan_rate in (0.0, 0.1):
        time_, Y = trend_problem(n, shape, nan_rate)
        cube = xr.DataArray(
            Y.reshape(n, *shape), dims=("time", "lat", "lon"), coords={"time": time_}
        )
        flat = xr.DataArray(Y, dims=("x", "series"), coords={"x": np.linspace(0, 10, n)})
        skipna = bool(nan_rate)
        cases = {
            "cube zarn": lambda c=cube: zarn.xarray.fit(c, "time", model),
            "cube polyfit": lambda c=cube, s=skipna: c.polyfit("time", DEGREE, skipna=s),
            "flat zarn": lambda f=flat: zarn.xarray.fit(f, "x", model),
            "flat polyfit": lambda f=flat, s=skipna: f.polyfit("x", DEGREE, skipna=s),
        }
        # polyfit with NaN fits series one by one (seconds): fewer rounds.
        result = interleaved(cases, rounds if not nan_rate else max(3, rounds // 3))
        for layout in ("cube", "flat"):
            t_z, t_x = result[f"{layout} zarn"][0], result[f"{layout} polyfit"][0]
            label = f"{layout}, {'10 % NaN' if nan_rate else 'no NaN'}"
            rows.append((label, t_z, t_x))
            print(
                f"  zarn.xarray.fit vs polyfit, {label:16} zarn {t_z * 1e3:7.1f} ms  "
                f"polyfit {t_x * 1e3:8.1f} ms  polyfit/zarn {t_x / t_z:5.2f}  ({load()})",
                flush=True,
            )

    time_, Y = trend_problem(n, shape)
    x = np.linspace(0.0, 10.0, n)
    penalized = zarn.PolynomialRegressor(degree=DEGREE, gamma2=1e-3)
    V = np.polynomial.polynomial.polyvander(x / 10.0, DEGREE)

    def qr_solve():
        Q, R = np.linalg.qr(V)
        return np.linalg.solve(R, Q.T @ Y)

    result = interleaved(
        {
            "fit_many ols": lambda: zarn.fit_many(x, Y, model),
            "fit_many penalized": lambda: zarn.fit_many(x, Y, penalized),
            "fit_many ols, mdl": lambda: zarn.fit_many(x, Y, model, mdl=True),
            "QR solve": qr_solve,
        },
        rounds,
    )
    t_qr = result["QR solve"][0]
    print(
        f"  one QR solve of all series: {t_qr * 1e3:.1f} ms (min {result['QR solve'][1] * 1e3:.1f})"
    )
    for name in ("fit_many ols", "fit_many penalized", "fit_many ols, mdl"):
        t, t_min = result[name]
        print(
            f"  {name:20} {t * 1e3:7.1f} ms (min {t_min * 1e3:.1f})  / QR solve {t / t_qr:5.2f}"
            f"  ({load()})",
            flush=True,
        )
    agreement_xarray()
    agreement_statsmodels()


def agreement_xarray():
    """Fitted values of zarn.xarray.fit against xarray.polyval(polyfit) on masked cubes."""
    import xarray as xr

    import zarn.xarray

    for kind in ("numbers", "dates"):
        n, shape = 120, (40, 50)
        time_, Y = trend_problem(n, shape, nan_rate=0.1, seed=6)
        cube = Y.reshape(n, *shape)
        cube[:, 10:25, 5:30] = np.nan  # land
        coord = time_ if kind == "dates" else np.linspace(1950.0, 2010.0, n)
        da = xr.DataArray(cube, dims=("time", "lat", "lon"), coords={"time": coord})
        for degree in (1, 3):
            model = zarn.PolynomialRegressor(degree=degree, method="ols")
            ours = zarn.xarray.predict(zarn.xarray.fit(da, "time", model), da.time)
            coeffs = da.polyfit("time", degree, skipna=True).polyfit_coefficients
            theirs = xr.polyval(da.time, coeffs).transpose(*ours.dims)
            same_nan = bool((ours.isnull() == theirs.isnull()).all())
            diff = float((abs(ours - theirs) / abs(da).max("time")).max())
            # Both against numpy's Polynomial.fit of each series (every 7th pixel).
            t = np.asarray(da.time.values, dtype=np.float64)
            worst = {"zarn": 0.0, "polyfit": 0.0}
            for i, j in np.ndindex(shape[0] // 7 + 1, shape[1] // 7 + 1):
                y = cube[:, 7 * i, 7 * j]
                used = np.isfinite(y)
                if not used.any():
                    continue
                ref = np.polynomial.Polynomial.fit(t[used], y[used], degree)(t)
                size = np.abs(y[used]).max()
                for name, fitted in (("zarn", ours), ("polyfit", theirs)):
                    got = fitted.values[:, 7 * i, 7 * j]
                    worst[name] = max(worst[name], float(np.abs(got - ref).max() / size))
            print(
                f"  agreement with polyval(polyfit), {kind:7}, degree {degree}: "
                f"max |difference| / max |y| per series {diff:.1e}; NaN alike: {same_nan}; "
                f"against numpy's Polynomial.fit: zarn {worst['zarn']:.1e}, "
                f"polyfit {worst['polyfit']:.1e}"
            )


def agreement_statsmodels():
    """Standard errors, scale and R^2 of fit_many against statsmodels' OLS per series."""
    import statsmodels.api as sm

    rng = np.random.default_rng(7)
    n, m = 100, 200
    x = np.linspace(0.0, 10.0, n)
    time_, Y = trend_problem(n, (1, m), nan_rate=0.0, seed=8)
    Y[rng.random(Y.shape) < 0.05] = np.nan
    Y[:, :50] = trend_problem(n, (1, 50), seed=9)[1]  # complete series: the shared route
    Y[:60, 50] = np.nan  # a series fitted alone
    fits = zarn.fit_many(x, Y, zarn.PolynomialRegressor(degree=DEGREE, method="ols"))
    u = 2.0 * (x - x.min()) / (x.max() - x.min()) - 1.0
    worst = {"stderr": 0.0, "scale": 0.0, "r2": 0.0}
    for j in range(m):
        used = np.isfinite(Y[:, j])
        res = sm.OLS(Y[used, j], np.vander(u[used], DEGREE + 1, increasing=True)).fit()
        pairs = [
            ("stderr", fits.stderr[j], res.bse),
            ("scale", fits.scale[j], np.sqrt(res.scale)),
            ("r2", fits.r2[j], res.rsquared),
        ]
        for name, ours, theirs in pairs:
            worst[name] = max(worst[name], float(np.max(np.abs(ours - theirs) / np.abs(theirs))))
    print(
        "  agreement with statsmodels OLS of each series alone (200 series, 5 % NaN): max "
        "relative difference " + ", ".join(f"{k} {v:.1e}" for k, v in worst.items())
    )


# ------------------------------------------------------------------------ robust

# Robust trend maps: series of this many samples, degree 1, 10 % cloud-like outliers
# (y - U(3, 10)) and 5 % NaN.
ROBUST_N, ROBUST_SERIES, THEIL_SERIES = 100, 100_000, 2_000
CUBE_SHAPE, CUBE_CHUNK = (1000, 1000), (50, 1000)  # a 10**6-series cube, 50,000 per chunk


def cloudy(rng, shape, n=ROBUST_N):
    """Series (n, *shape) of lines with noise 0.1, clouds and gaps, and their positions."""
    x = np.linspace(0.0, 1.0, n)
    slope = rng.uniform(-1.0, 1.0, shape)
    Y = 1.0 + x.reshape((n,) + (1,) * len(shape)) * slope + rng.normal(0, 0.1, (n, *shape))
    clouds = rng.random(Y.shape) < 0.1
    Y[clouds] -= rng.uniform(3.0, 10.0, clouds.sum())
    Y[rng.random(Y.shape) < 0.05] = np.nan
    return x, Y


def engine_share(x, Y, model):
    """Seconds of one robust fit_many call (blocks one after the other) and of the engine's
    calls inside it: what the route adds to the engine, measured in the same run."""
    from zarn import _plans

    spent = []
    engine = _plans.engine_block

    def timed_engine(*args, **kwargs):
        t, out = timed(lambda: engine(*args, **kwargs))
        spent.append(t)
        return out

    _plans.engine_block, _plans.RobustPlan.threaded = timed_engine, False
    try:
        total = timed(lambda: zarn.fit_many(x, Y, model))[0]
    finally:
        _plans.engine_block, _plans.RobustPlan.threaded = engine, True
    return sum(spent), total


def robust(rounds):
    """The robust route against the "ols" route, theilslopes and the engine alone."""
    from scipy import stats

    from zarn import _plans
    from zarn._robust_engine import fit_block as engine_block

    x, Y = cloudy(np.random.default_rng(1), (ROBUST_SERIES,))
    robust_model = zarn.PolynomialRegressor(degree=1, method="robust", random_state=0)
    ols_model = zarn.PolynomialRegressor(degree=1, method="ols")
    plan = _plans.make_plan(x[:, None], zarn.many.model_settings(robust_model), True, False)
    size = plan.block_size(ROBUST_SERIES, ROBUST_N)
    Yt = np.ascontiguousarray(Y.T)
    head = Y[:, :THEIL_SERIES]

    def engine():  # the engine's calls alone, on the route's blocks
        for s in range(0, ROBUST_SERIES, size):
            engine_block(plan.Phi, Yt[s : s + size], seed=plan.seed)

    def theil():
        for y in head.T:
            used = np.isfinite(y)
            stats.theilslopes(y[used], x[used])

    cases = {
        "zarn robust route": lambda: zarn.fit_many(x, Y, robust_model),
        "robust engine alone": engine,
        'zarn "ols" route': lambda: zarn.fit_many(x, Y, ols_model),
        f"theilslopes ({THEIL_SERIES} series, scaled)": theil,
    }
    print(f"robust: {ROBUST_SERIES} series of n = {ROBUST_N}; {load()}", flush=True)
    times = interleaved(cases, rounds)
    theil_name = list(cases)[-1]
    scaled = {
        n: t[0] * (ROBUST_SERIES / THEIL_SERIES if n == theil_name else 1.0)
        for n, t in times.items()
    }
    route, ols = scaled["zarn robust route"], scaled['zarn "ols" route']
    lines = [
        f"{ROBUST_SERIES:,} series x {ROBUST_N} samples, degree 1, 10 % outliers y - U(3, 10), "
        f"5 % NaN; medians of {rounds} interleaved rounds, one process (the engine's OpenMP "
        f"threads on the machine's {os.cpu_count()} cores); {load()}.",
        "",
        "| case | time (s) | per series (us) | its time / robust route's |",
        "|---|---|---|---|",
    ]
    for name, t in scaled.items():
        lines.append(f"| {name} | {t:.2f} | {t / ROBUST_SERIES * 1e6:.1f} | {t / route:.3g} |")
    inside, total = engine_share(x, Y, robust_model)
    fits = zarn.fit_many(x, Y[:, :200], robust_model)
    same = 0
    for j in range(200):
        used = np.isfinite(Y[:, j])
        ref = zarn.PolynomialRegressor(**{**robust_model.get_params(), "domain": fits.domain})
        ref.fit(x[used, None], Y[used, j])
        same += np.array_equal(fits.coef[j], ref.coef_) and np.array_equal(
            fits.stderr[j], ref.stderr_
        )
    lines += [
        "",
        f'Robust route / "ols" route: {route / ols:.1f}x (target: '
        f"at most 20x); theilslopes / robust route: {scaled[theil_name] / route:.1f}x (target: "
        f"at least 10x); route / engine alone (separate cases, so the load's drift between "
        f"them counts too): {route / scaled['robust engine alone']:.2f}x. Within one run of "
        f"the route on one thread of blocks: {total:.2f} s, of which {inside:.2f} s in the "
        f"engine's calls: the route adds {100 * (total - inside) / inside:.1f} % to them. "
        f"Coefficients and standard errors equal to the estimator's fit of the series alone, "
        f"bit for bit: {same} of 200 series.",
    ]
    print("\n".join(lines), flush=True)
    return lines


def robust_cube(rounds):
    """A 10**6-series cube through zarn.xarray.fit on a two-worker LocalCluster, once."""
    import dask.array as da
    import xarray as xr
    from dask.distributed import Client, LocalCluster

    import zarn.xarray

    def chunk(block_info=None):
        loc = block_info[None]["chunk-location"]
        shape = block_info[None]["chunk-shape"][1:]
        return cloudy(np.random.default_rng([3, *loc]), shape)[1]

    chunks = ((ROBUST_N,),) + tuple((c,) * (s // c) for s, c in zip(CUBE_SHAPE, CUBE_CHUNK))
    data = da.map_blocks(chunk, chunks=chunks, dtype=np.float64, meta=np.empty((0, 0, 0)))
    x = np.linspace(0.0, 1.0, ROBUST_N)
    cube = xr.DataArray(data, dims=("time", "lat", "lon"), coords={"time": x})
    model = zarn.PolynomialRegressor(degree=1, method="robust", random_state=0)
    m = int(np.prod(CUBE_SHAPE))
    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        t, fits = timed(lambda: client.compute(zarn.xarray.fit(cube, "time", model), sync=True))
    fitted = int(np.isfinite(fits.coef.values[1]).sum())
    line = (
        f"A {m:,}-series cube ({ROBUST_N} x {CUBE_SHAPE[0]} x {CUBE_SHAPE[1]}, chunks of "
        f"{int(np.prod(CUBE_CHUNK)):,} series, the same clouds and gaps, generated in the "
        f"workers) through `zarn.xarray.fit` on a Dask `LocalCluster` of 2 process workers "
        f"(1 thread each), run once: {t:.0f} s ({fitted:,} series fitted); {load()}."
    )
    print(line, flush=True)
    return [line]


def robust_section(rounds):
    """Both robust measurements, written into RESULTS.md."""
    import pathlib
    import sys

    here = pathlib.Path(__file__).resolve().parent
    sys.path.insert(0, str(here))
    from _results import write_section

    lines = ["## Robust trend maps (`bench/bench_many.py robust`)", ""]
    lines += robust(rounds) + [""] + robust_cube(rounds)
    write_section(here / "RESULTS.md", "bench/bench_many.py", "Robust trend maps", "\n".join(lines))


# ------------------------------------------------------------------------ memory


def _memory_mib(field="VmHWM"):
    """The process's peak (VmHWM) or current (VmRSS) resident memory, from /proc."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024.0  # kB
    return float("nan")


def _reset_peak():
    """Restart the peak resident memory count at the current size (Linux 4.0 and later)."""
    with open("/proc/self/clear_refs", "w") as clear_refs:
        clear_refs.write("5")
    return _memory_mib("VmRSS")


def _on_cluster(work):
    """Run work(client) on a fresh cluster of two process workers; time and peak RSS each."""
    from dask.distributed import Client, LocalCluster

    with (
        LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        Client(cluster) as client,
    ):
        before = client.run(_reset_peak)
        t, summary = timed(lambda: work(client))
        after = client.run(_memory_mib)
    peaks = ", ".join(
        f"{after[w]:.0f} MiB (idle before: {before[w]:.0f} MiB)" for w in sorted(after)
    )
    return t, summary, peaks


def memory(rounds):
    import dask.array as da
    import xarray as xr

    import zarn.xarray

    n, m, chunk = 50, 2_000_000, 20_000
    x = np.linspace(0.0, 1.0, n)
    rng = da.random.default_rng(2)
    trend_ = da.from_array(np.polynomial.polynomial.polyvander(x, DEGREE), chunks=(n, -1))
    a = rng.normal(size=(DEGREE + 1, m), chunks=(DEGREE + 1, chunk))
    Y = trend_ @ a + rng.normal(0, 0.1, size=(n, m), chunks=(n, chunk))
    cube = xr.DataArray(Y, dims=("x", "series"), coords={"x": x})
    model = zarn.PolynomialRegressor(degree=DEGREE, method="ols")
    print(f"memory: {m} series of n = {n}, chunks of {chunk} series; {load()}", flush=True)

    def ours(client):
        fits = zarn.xarray.fit(cube, "x", model)
        fits = client.compute(fits, sync=True)
        return f"coef {fits.coef.shape}, all n_used = {n}: {bool((fits.n_used == n).all())}"

    def theirs(client):
        coef = cube.polyfit("x", DEGREE).polyfit_coefficients.data
        return f"coef {client.compute(coef, sync=True).shape}"

    for name, work in (("zarn.xarray.fit", ours), ("xarray polyfit", theirs)):
        t, summary, peaks = _on_cluster(work)
        print(f"  {name}: {t:.1f} s, {summary}; peak RSS per worker {peaks}; {load()}", flush=True)


# --------------------------------------------------------------------- agreement


def agreement(rounds):
    """Largest difference between the shared routes and fitting each series alone."""
    print("agreement: max over 300 series of |coef - alone| / max |alone|, 5 % NaN", flush=True)
    for degree in (1, 3, 6, 10, 15):
        row = []
        for method in ("ols", "penalized"):
            rng = np.random.default_rng(degree)
            x = np.sort(rng.uniform(0, 100, 200))
            Y = 100 * np.cos(x[:, None] / 30 * rng.uniform(0.5, 2, 300))
            Y += rng.normal(size=Y.shape)
            Y[rng.random(Y.shape) < 0.05] = np.nan
            model = zarn.PolynomialRegressor(degree=degree, method=method)
            fits = zarn.fit_many(x, Y, model)
            worst = 0.0
            for j in range(Y.shape[1]):
                used = np.isfinite(Y[:, j])
                params = {**model.get_params(), "domain": fits.domain}
                ref = zarn.PolynomialRegressor(**params).fit(x[used, None], Y[used, j]).coef_
                worst = max(worst, np.abs(fits.coef[j] - ref).max() / np.abs(ref).max())
            row.append(f"{method} {worst:.1e}")
        print(f"  degree {degree:2}: " + ", ".join(row), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", nargs="*", default=["trend", "robust", "memory"])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    for what in args.what:
        run = {"trend": trend, "robust": robust_section, "memory": memory, "agreement": agreement}
        run[what](args.rounds)


if __name__ == "__main__":
    main()
