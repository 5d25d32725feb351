"""Benchmarks of the native robust engine (``zarn._robust_engine``) against its peers.

1. One fit, one thread: a cubic on [-1, 1] (noise 0.1, outliers y + U(-5, 5)) at n = 100
   (10 %), 400 (0 % and 25 %), 10^4 and 10^5 (25 %) against scikit-learn's RANSAC (its
   defaults, precomputed features) and statsmodels' RLM (Tukey's biweight), and at 10^6
   against RANSAC; medians of interleaved rounds (bench/_timing.py). For each data set the
   number of trials RANSAC ran (of its 100) says whether it stopped early.
2. Many series: m series x 100 samples on one design of degree 1 and of degree 3, 10 %
   cloud-like outliers (y - U(3, 10)) and 5 % NaN, all threads: the engine's block fit against
   ``zarn.fit_many(..., method="ols")`` on the same data, and scipy's ``theilslopes`` per
   series (timed on a subset of the series and scaled to all of them).
3. Accuracy: the robust benchmark's cubics (bench_robust.py: n = 400, symmetric and
   one-sided outliers at 0 to 45 %) fitted by the engine and by R's ``lmrob`` (through
   Rscript, skipped without it): mean RMSE against the true curve; the share of clean
   points flagged; the coverage of the slope's 95 % interval (avar1 standard errors, t
   quantiles with n - k degrees of freedom, as lmrob's ``confint``) with constant and
   with heteroscedastic noise, 10 % outliers.

The run writes its section "Robust engine" of RESULTS.md beside this file (``--no-write``
only prints).

    PYTHONPATH=. .venv/bin/python bench/bench_robust_engine.py [--series 100000] [--rounds 5]
"""

import argparse
import datetime
import pathlib
import sys
import time

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import zarn  # noqa: E402
from _results import write_section  # noqa: E402
from _timing import format_seconds, run_cases  # noqa: E402
from bench_robust import (  # noqa: E402
    HARD_NOISE,
    HAS_R,
    LEVELS,
    NOISE,
    R_CUBICS,
    SIDES,
    cubic,
    mapped,
    rmse_on_grid,
    run_r,
)
from zarn._robust_engine import fit_block, fit_one  # noqa: E402

TRUTH = np.array([1.0, -2.0, 0.5, 3.0])
ONE_FIT = ((100, 0.1), (400, 0.0), (400, 0.25), (10_000, 0.25), (100_000, 0.25))
LARGEST = (1_000_000, 0.25)
THEIL_SUBSET = 2000  # series timed for theilslopes
MANY_DEGREES = (1, 3)  # a line (theilslopes' model) and a cubic


def one_fit_data(n, fraction, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    F = np.vander(x, 4, increasing=True)
    y = F @ TRUTH + 0.1 * rng.standard_normal(n)
    bad = rng.random(n) < fraction
    y[bad] += rng.uniform(-5.0, 5.0, bad.sum())
    return F, y


def one_fit_cases():
    import statsmodels.api as sm
    from sklearn.linear_model import RANSACRegressor

    cases, trials = [], {}
    for n, fraction in (*ONE_FIT, LARGEST):
        F, y = one_fit_data(n, fraction)
        features = F[:, 1:]
        ransac = lambda f=features, y=y: RANSACRegressor(random_state=0).fit(f, y)  # noqa: E731
        trials[n, fraction] = ransac().n_trials_
        native = lambda F=F, y=y: fit_one(F, y)  # noqa: E731
        label = f"n = {n:,}, {fraction:.0%}"
        common = dict(name=label, sizes="", native=native, key=(n, fraction))
        cases.append(dict(common, peer=ransac, peer_name="RANSAC"))
        if (n, fraction) != LARGEST:
            rlm = lambda F=F, y=y: sm.RLM(y, F, M=sm.robust.norms.TukeyBiweight()).fit()  # noqa: E731
            cases.append(dict(common, peer=rlm, peer_name="RLM"))
    return cases, trials


def many_data(m, degree, n=100, seed=0):
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 1.0, n)
    F = np.vander(2.0 * x - 1.0, degree + 1, increasing=True)
    Y = rng.standard_normal((m, degree + 1)) @ F.T + 0.1 * rng.standard_normal((m, n))
    Y -= (rng.random((m, n)) < 0.1) * rng.uniform(3.0, 10.0, (m, n))
    Y[rng.random((m, n)) < 0.05] = np.nan
    return x, F, Y


def many_series(m, rounds):
    """Median times of the engine and of the "ols" route per degree, and of theilslopes
    (scaled from THEIL_SUBSET series; it fits a line whatever the degree), interleaved."""
    from scipy.stats import theilslopes

    data = {d: many_data(m, d) for d in MANY_DEGREES}
    x, _, Y1 = data[1]

    def theil():
        for y in Y1[:THEIL_SUBSET]:
            ok = np.isfinite(y)
            theilslopes(y[ok], x[ok])

    routes = {("theilslopes", 1): theil}
    for d, (x, F, Y) in data.items():
        model = zarn.PolynomialRegressor(d, method="ols")
        routes["engine", d] = lambda F=F, Y=Y: fit_block(F, Y)
        routes["ols", d] = lambda x=x, Y=Y, model=model: zarn.fit_many(x, Y.T, model)
    times = {key: [] for key in routes}
    for _ in range(rounds):
        for key, fn in routes.items():
            start = time.perf_counter()
            fn()
            elapsed = time.perf_counter() - start
            times[key].append(elapsed * (m / THEIL_SUBSET if key[0] == "theilslopes" else 1.0))
    med = {key: float(np.median(v)) for key, v in times.items()}
    shares = {}
    for d, (_, F, Y) in data.items():
        fit = fit_block(F, Y)
        shares[d] = (
            float(np.mean(fit.status == 0)),
            float(np.mean(fit.inlier_mask[np.isfinite(Y)])),
        )
    return med, shares


def accuracy(seeds):
    """Mean RMSE per (side, level) for the engine and lmrob; share of clean points flagged."""
    errors, table, flagged = {}, [], []
    rows = [(NOISE, side, level) for side in SIDES for level in LEVELS]
    rows += [(HARD_NOISE, side, level) for side in SIDES for level in LEVELS if level >= 0.3]
    sets = [(*row, seed) for row in rows for seed in seeds]
    for i, (noise, side, level, seed) in enumerate(sets):
        x, y, _ = cubic(seed, level, side, noise=noise)
        low, high = x.min(), x.max()
        F = np.column_stack([np.ones(x.size), mapped(x, low, high)])
        fit = fit_one(F, y, seed=seed)
        c = fit.coef
        err = rmse_on_grid(lambda g, c=c, lo=low, hi=high: c[0] + mapped(g, lo, hi) @ c[1:])
        errors.setdefault((noise, side, level), {}).setdefault("engine", []).append(err)
        if level == 0.0:
            flagged.append(1.0 - fit.inlier_mask.mean())
        table.append(np.column_stack([np.full(x.size, i), F[:, 1], y]))
    if HAS_R:
        coefs = run_r(R_CUBICS, {"cubics": (["id", "t", "y"], np.vstack(table))})["cubics"]
        for i, (noise, side, level, seed) in enumerate(sets):
            x = cubic(seed, level, side, noise=noise)[0]
            low, high = x.min(), x.max()
            row = int(np.flatnonzero(coefs["id"] == i)[0])
            c = np.array([coefs[f"m{j}"][row] for j in range(4)])
            err = rmse_on_grid(lambda g, c=c, lo=low, hi=high: c[0] + mapped(g, lo, hi) @ c[1:])
            errors[noise, side, level].setdefault("lmrob", []).append(err)
    means = {key: {k: float(np.mean(v)) for k, v in row.items()} for key, row in errors.items()}
    return means, float(np.mean(flagged))


def coverage(reps, heteroscedastic):
    """Share of 95 % intervals of the slope that cover it (n = 200, 10 % outliers)."""
    from scipy.stats import t as student

    hits = 0
    for seed in range(reps):
        rng = np.random.default_rng(seed)
        x = rng.uniform(-1.0, 1.0, 200)
        sd = 0.1 * (1.0 + 2.0 * (x + 1.0)) if heteroscedastic else 0.3
        y = 1.0 + 2.0 * x + sd * rng.standard_normal(200)
        bad = rng.random(200) < 0.1
        y[bad] += rng.uniform(5.0, 10.0, bad.sum())
        fit = fit_one(np.column_stack([np.ones(200), x]), y, seed=seed)
        half = student.ppf(0.975, fit.dof) * fit.stderr[1]
        hits += abs(fit.coef[1] - 2.0) <= half
    return hits / reps


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=100_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seeds", type=int, default=10)
    parser.add_argument("--coverage", type=int, default=400)
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()
    from threadpoolctl import threadpool_limits

    with threadpool_limits(1):  # one thread for the engine, BLAS and RANSAC alike
        cases, trials = one_fit_cases()
        rows = run_cases(cases, repeats=args.rounds)
    many, shares = many_series(args.series, max(2, args.rounds // 2))
    means, flagged = accuracy(range(args.seeds))
    cover = {h: coverage(args.coverage, h) for h in (False, True)}

    out = [
        f"Run {datetime.date.today()}, `bench/bench_robust_engine.py --series {args.series} "
        f"--rounds {args.rounds}` on the machine's 2 cores (shared, so noisy).",
        "",
        "One fit, one thread (medians of interleaved rounds; cubic, noise 0.1, outliers "
        "y + U(-5, 5)):",
        "",
        "| data | engine | peer | peer time | peer / engine | RANSAC trials |",
        "|---|---|---|---|---|---|",
    ]
    for r in rows:
        ransac_trials = trials[r["key"]] if r["peer_name"] == "RANSAC" else ""
        out.append(
            f"| {r['name']} | {format_seconds(r['t_native'])} | {r['peer_name']} | "
            f"{format_seconds(r['t_peer'])} | {r['ratio']:.2f} | {ransac_trials} |"
        )
    out += [
        "",
        "RANSAC stops early (fewer than its 100 trials) where the trials column says so.",
        "",
        f"Many series: {args.series:,} x 100, 10 % y - U(3, 10), 5 % NaN, both cores "
        f"(median of {max(2, args.rounds // 2)} interleaved rounds; theilslopes, a line, "
        f"timed on {THEIL_SUBSET:,} series and scaled):",
        "",
        "| degree | route | time | per series | / ols route | theilslopes / route |",
        "|---|---|---|---|---|---|",
    ]
    theil = many["theilslopes", 1]
    for d in MANY_DEGREES:
        for name in ("engine", "ols"):
            t = many[name, d]
            out.append(
                f"| {d} | {name} | {format_seconds(t)} | {format_seconds(t / args.series)} | "
                f"{t / many['ols', d]:.1f} | {theil / t:.1f} |"
            )
    out.append(
        f"| | theilslopes | {format_seconds(theil)} | {format_seconds(theil / args.series)} | | |"
    )
    out += [
        "",
        "Engine: "
        + "; ".join(
            f"degree {d}: {fitted:.1%} of the series fitted, {inl:.1%} of the present "
            "samples inliers"
            for d, (fitted, inl) in shares.items()
        )
        + ".",
        "",
        f"Accuracy: mean RMSE against the true cubic over {args.seeds} data sets per row "
        "(n = 400, outliers U(2, 15) as bench_robust.py's):",
        "",
        "| noise | outliers | engine | lmrob | engine / lmrob |",
        "|---|---|---|---|---|",
    ]
    for (noise, side, level), row in means.items():
        lm = row.get("lmrob", float("nan"))
        out.append(
            f"| {noise} | {side} {level:.0%} | {row['engine']:.4f} | {lm:.4f} | "
            f"{row['engine'] / lm:.2f} |"
        )
    out += [
        "",
        f"Clean data: {flagged:.2%} of the points flagged. Coverage of the slope's 95 % "
        f"interval ({args.coverage} data sets, n = 200, 10 % outliers): constant noise "
        f"{cover[False]:.3f}, noise growing with x {cover[True]:.3f}.",
    ]
    text = "\n".join(out)
    print(text)
    if not args.no_write:
        write_section(HERE / "RESULTS.md", "bench/bench_robust_engine.py", "Robust engine", text)


if __name__ == "__main__":
    main()
