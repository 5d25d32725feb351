"""Many independent fits: zarn.fit_many against xarray's DataArray.polyfit, and its scaling.

Four measurements, each a subcommand (default: the first three):

* ``speed``: 100,000 series of n = 100, degree 3, ``"ols"``, NumPy arrays, one process,
  against ``xarray.DataArray.polyfit`` on the same data (no NaN; then 10 % NaN with
  ``skipna=True``); interleaved rounds, medians; the accuracy is compared through the
  predictions of both at the samples.
* ``robust``: the robust method on 2,000 series of n = 200 with ``n_deep=500``, one process
  against two worker processes, through joblib and through a ``dask.distributed``
  ``LocalCluster`` with one and two process workers; the results must be identical.
* ``memory``: 2,000,000 series of n = 50 generated lazily by Dask in chunks of 20,000
  series, fitted on a ``LocalCluster`` of two process workers; the peak resident memory of
  each worker (the kernel's high-water mark VmHWM, reset before the work) is reported,
  against xarray's ``polyfit`` on the same lazy array and cluster set-up.
* ``agreement``: how far the shared solves of ``"ols"`` and ``"penalized"`` lie from
  fitting each series alone, by degree.

    python bench/bench_many.py [speed|robust|memory|agreement] [--rounds R]

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


# ------------------------------------------------------------------------- speed


def speed(rounds):
    import xarray as xr

    rng = np.random.default_rng(0)
    n, m = 100, 100_000
    x = np.linspace(0.0, 10.0, n)
    a = rng.normal(size=(DEGREE + 1, m))
    Y = np.polynomial.polynomial.polyvander(x / 10.0, DEGREE) @ a + rng.normal(0, 0.1, (n, m))
    Y_nan = Y.copy()
    Y_nan[rng.random(Y.shape) < 0.10] = np.nan
    model = zarn.PolynomialRegressor(degree=DEGREE, method="ols")

    def zarn_fit(data):
        return lambda: zarn.fit_many(x, data, model)

    def xarray_fit(data, skipna):
        arr = xr.DataArray(data, dims=("x", "series"), coords={"x": x})
        return lambda: arr.polyfit("x", DEGREE, skipna=skipna)

    cases = {
        "no NaN": (zarn_fit(Y), xarray_fit(Y, False), Y),
        "10 % NaN": (zarn_fit(Y_nan), xarray_fit(Y_nan, True), Y_nan),
    }
    print(f"speed: {m} series of n = {n}, degree {DEGREE}, ols; {load()}", flush=True)
    times = {name: ([], []) for name in cases}
    for _ in range(rounds):
        for name, (ours, theirs, _) in cases.items():
            times[name][0].append(timed(ours)[0])
            times[name][1].append(timed(theirs)[0])
    for name, (ours, theirs, data) in cases.items():
        t_z, t_x = statistics.median(times[name][0]), statistics.median(times[name][1])
        fits = ours()
        coeffs = theirs().polyfit_coefficients
        pred_x = xr.polyval(xr.DataArray(x, dims="x"), coeffs).transpose("x", "series").values
        pred_z = fits.predict(x)
        scale = np.nanmax(np.abs(data))
        diff = np.nanmax(np.abs(pred_z - pred_x)) / scale
        print(
            f"  {name:9} zarn.fit_many {t_z:7.3f} s  xarray polyfit {t_x:7.3f} s  "
            f"xarray/zarn {t_x / t_z:5.2f}  max |prediction difference| / max |y| {diff:.1e}  "
            f"(medians of {rounds}; {load()})",
            flush=True,
        )


# ------------------------------------------------------------------------ robust


def robust_problem():
    rng = np.random.default_rng(1)
    n, m = 200, 2000
    x = np.linspace(-1.0, 1.0, n)
    a = rng.normal(size=(DEGREE + 1, m))
    Y = np.polynomial.polynomial.polyvander(x, DEGREE) @ a + rng.normal(0, 0.05, (n, m))
    outliers = rng.random(Y.shape) < 0.2
    Y[outliers] = rng.uniform(-10, 10, outliers.sum())
    model = zarn.PolynomialRegressor(degree=DEGREE, method="robust", n_deep=500)
    return x, Y, model


def robust(rounds):
    import dask.array as da
    from dask.distributed import Client, LocalCluster
    from threadpoolctl import threadpool_limits

    x, Y, model = robust_problem()
    print(f"robust: {Y.shape[1]} series of n = {Y.shape[0]}, n_deep = 500; {load()}", flush=True)

    def run(n_jobs, threads=None):
        def fit():
            with threadpool_limits(threads, user_api="openmp"):
                return zarn.fit_many(x, Y, model, n_jobs=n_jobs).coef

        return fit

    # The sampler's warm-up runs on OpenMP threads, so one process with its default two
    # threads already uses both cores part of the time; the process-parallel speed-up is
    # measured against one process on one thread (as each worker process runs: joblib and
    # Dask workers each get one thread on this 2-core machine).
    runs = {
        "one process, 1 thread": run(1, 1),
        "one process, 2 threads (default)": run(1),
        "joblib, 2 processes": run(2),
    }
    results = {}
    times = {name: [] for name in runs}
    for _ in range(rounds):
        for name, fn in runs.items():
            t, results[name] = timed(fn)
            times[name].append(t)
        print(f"  round: {[round(v[-1], 2) for v in times.values()]} s; {load()}", flush=True)

    Yd = da.from_array(Y, chunks=(Y.shape[0], 50))
    for workers in (1, 2):
        name = f"LocalCluster, {workers} process worker(s)"
        times[name] = []
        with (
            LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            Client(cluster),
        ):
            for _ in range(rounds):
                t, results[name] = timed(lambda: zarn.fit_many(x, Yd, model).coef.compute())
                times[name].append(t)
        print(f"  {name}: {[round(v, 2) for v in times[name]]} s; {load()}", flush=True)

    reference = "one process, 1 thread"
    base = statistics.median(times[reference])
    cluster_base = statistics.median(times["LocalCluster, 1 process worker(s)"])
    for name, ts in times.items():
        t = statistics.median(ts)
        same = np.array_equal(results[name], results[reference], equal_nan=True)
        ref = cluster_base if name.startswith("LocalCluster") else base
        print(
            f"  {name:36} {t:7.2f} s  speed-up {ref / t:4.2f}x  identical: {same}",
            flush=True,
        )


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

    n, m, chunk = 50, 2_000_000, 20_000
    x = np.linspace(0.0, 1.0, n)
    rng = da.random.default_rng(2)
    trend = da.from_array(np.polynomial.polynomial.polyvander(x, DEGREE), chunks=(n, -1))
    a = rng.normal(size=(DEGREE + 1, m), chunks=(DEGREE + 1, chunk))
    Y = trend @ a + rng.normal(0, 0.1, size=(n, m), chunks=(n, chunk))
    model = zarn.PolynomialRegressor(degree=DEGREE, method="ols")
    print(f"memory: {m} series of n = {n}, chunks of {chunk} series; {load()}", flush=True)

    def ours(client):
        fits = zarn.fit_many(x, Y, model)
        coef, mdl, n_used = client.compute([fits.coef, fits.mdl, fits.n_used], sync=True)
        return f"coef {coef.shape}, all n_used = {n}: {bool((n_used == n).all())}"

    def theirs(client):
        arr = xr.DataArray(Y, dims=("x", "series"), coords={"x": x})
        coef = arr.polyfit("x", DEGREE).polyfit_coefficients.data
        return f"coef {client.compute(coef, sync=True).shape}"

    for name, work in (("zarn.fit_many", ours), ("xarray polyfit", theirs)):
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
    parser.add_argument("what", nargs="*", default=["speed", "robust", "memory"])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    for what in args.what:
        {"speed": speed, "robust": robust, "memory": memory, "agreement": agreement}[what](
            args.rounds
        )


if __name__ == "__main__":
    main()
