"""Benchmarks of zarn.compare_models: its time, and how often each criterion finds the degree.

1. Time: degrees 0..10, one feature, n = 1,000: ``compare_models`` with penalised fits
   (without and with penalty weights, whose matrices are cached after the first call) and
   with robust fits (sampler defaults), against a statsmodels loop that fits OLS for each
   degree and reads its BIC (what a statsmodels user writes).
2. Selection accuracy: polynomials of known degree 1..6 (Legendre coefficients of size
   0.5..1.5 with random signs, x uniform on [-1, 1], so the signal's standard deviation is
   about 1), Gaussian noise of deviation 0.1 and 0.3, 0 % and 20 % gross outliers
   (uniform over five times the signal's range), n = 100, 300 and 1,000, ``--seeds`` data
   sets per cell and degree. Candidates: degrees 0..10. Pickers: the MDL score of
   ``compare_models`` with penalised fits (weights 0) and with robust fits (sampler
   defaults), AIC and BIC of statsmodels' OLS. The MDL score with other values of its
   complexity parameter H is recomputed from the same fits (the hit rates do not depend on
   H; for the robust fits the sampler ran with the default H = 20).

Times are medians of interleaved rounds (bench/_timing.py). The run appends a section to
RESULTS.md beside this file (``--no-write`` only prints); ``--figure`` also draws the
README's comparison plot into compare_models.png.

    .venv/bin/python bench/bench_compare.py [--seeds 20] [--rounds 9] [--jobs 2] [--no-write]
"""

import argparse
import datetime
import itertools
import math
import pathlib
import sys
import time

import numpy as np

import zarn
from _timing import format_seconds, run_cases

HERE = pathlib.Path(__file__).resolve().parent

DEGREES = range(0, 11)
TRUE_DEGREES = range(1, 7)
NOISES = (0.1, 0.3)
FRACTIONS = (0.0, 0.2)
SIZES = (100, 300, 1000)
SPREAD = 5.0  # outliers are uniform over SPREAD times the signal's range
DEFAULT_H = 20
LARGE_H = 2**30
H_VALUES = (20, 10**3, 10**6, LARGE_H)
PICKERS = ("MDL penalised", "MDL robust", "AIC OLS", "BIC OLS")


# ---------------------------------------------------------------------------- 1. time


def statsmodels_bic_loop(x, y):
    import statsmodels.api as sm

    bic = [sm.OLS(y, np.polynomial.polynomial.polyvander(x, d)).fit().bic for d in DEGREES]
    return int(np.argmin(bic))


def time_cases():
    rng = np.random.default_rng(0)
    x = rng.uniform(-1.0, 1.0, 1000)
    y = np.polynomial.legendre.legval(x, [0.3, -1.0, 0.8, 0.6]) + rng.normal(0, 0.1, 1000)
    base = dict(sizes="n=1000, degrees 0..10", peer=lambda: statsmodels_bic_loop(x, y))
    base["peer_name"] = "statsmodels OLS + BIC loop"
    return [
        dict(base, name="compare_models penalised", native=lambda: zarn.compare_models(x, y)),
        dict(
            base,
            name="compare_models penalised, weights",
            native=lambda: zarn.compare_models(x, y, penalties=[(1e-4, 1e-5)]),
        ),
        dict(
            base,
            name="compare_models robust",
            native=lambda: zarn.compare_models(x, y, methods=["robust"]),
        ),
    ]


# ------------------------------------------------------------------- 2. selection


def make_data(true_degree, noise, fraction, n, seed):
    """x, y of a polynomial of exactly ``true_degree`` with noise and gross outliers."""
    rng = np.random.default_rng([true_degree, int(noise * 1000), int(fraction * 100), n, seed])
    x = rng.uniform(-1.0, 1.0, n)
    coef = rng.uniform(0.5, 1.5, true_degree + 1) * rng.choice([-1.0, 1.0], true_degree + 1)
    signal = np.polynomial.legendre.legval(x, coef)
    y = signal + rng.normal(0.0, noise, n)
    bad = rng.choice(n, int(round(fraction * n)), replace=False)
    lo, hi = signal.min(), signal.max()
    pad = (SPREAD - 1.0) / 2.0 * (hi - lo)
    y[bad] = rng.uniform(lo - pad, hi + pad, bad.size)
    return x, y


def mdl_with_H(row, n, H):
    """The row's MDL score with complexity parameter H instead of the default."""
    return row.mdl + row.k**2 * (math.log(2 * H) - math.log(2 * DEFAULT_H)) / n


def pick(rows, n, H):
    """Degree of the lowest MDL score at H; ties to fewer coefficients, then to order."""
    best = min(rows, key=lambda r: (mdl_with_H(r, n, H), r.k))
    return best.degree


def select_one(true_degree, noise, fraction, n, seed):
    """The degree each picker chooses on one data set, and the compare_models times."""
    import statsmodels.api as sm

    x, y = make_data(true_degree, noise, fraction, n, seed)
    picks, times = {}, {}
    for label, method in (("penalised", "penalized"), ("robust", "robust")):
        start = time.perf_counter()
        cmp = zarn.compare_models(x, y, DEGREES, methods=[method])
        times[label] = time.perf_counter() - start
        for H in H_VALUES:
            picks[f"MDL {label}", H] = pick(cmp.rows, n, H)
    # The robust fits depend on H (the sampler minimises the MDL energy): refit at the
    # largest H rather than only rescoring.
    start = time.perf_counter()
    cmp = zarn.compare_models(x, y, DEGREES, methods=["robust"], H=LARGE_H)
    times["robust, large H"] = time.perf_counter() - start
    picks["MDL robust fitted", LARGE_H] = cmp.rows[0].degree
    fits = [sm.OLS(y, np.polynomial.polynomial.polyvander(x, d)).fit() for d in DEGREES]
    picks["AIC OLS", DEFAULT_H] = int(np.argmin([f.aic for f in fits]))
    picks["BIC OLS", DEFAULT_H] = int(np.argmin([f.bic for f in fits]))
    return (true_degree, noise, fraction, n), picks, times


def selection(seeds, jobs):
    from joblib import Parallel, delayed

    grid = itertools.product(TRUE_DEGREES, NOISES, FRACTIONS, SIZES, seeds)
    results = Parallel(n_jobs=jobs, batch_size=8)(delayed(select_one)(*args) for args in grid)
    return results


def summarise(results):
    """Per (fraction, noise, n): share of true picks, over- and under-picks, per picker."""
    cells = {}
    for (true_degree, noise, fraction, n), picks, times in results:
        cell = cells.setdefault((fraction, noise, n), {"count": 0, "times": []})
        cell["count"] += 1
        cell["times"].append(times)
        for key, chosen in picks.items():
            hits = cell.setdefault(key, [0, 0, 0])  # right, above, below
            hits[0 if chosen == true_degree else 1 if chosen > true_degree else 2] += 1
    return dict(sorted(cells.items()))


# ----------------------------------------------------------------------------- report


def draw_figure(path):
    """The README's example comparison, drawn."""
    import matplotlib

    matplotlib.use("Agg")
    rng = np.random.default_rng(0)
    x = rng.uniform(0.0, 10.0, 300)
    y = 1.0 + 0.05 * (x - 2.0) * (x - 5.0) * (x - 8.0) + rng.normal(scale=0.1, size=x.size)
    y[::10] = rng.uniform(-12.0, 12.0, 30)  # every tenth point a gross outlier
    cmp = zarn.compare_models(x, y, degrees=range(9), methods=("penalized", "robust"))
    ax = cmp.plot()
    ax.set_title("compare_models: 300 samples of a cubic, 10 % outliers")
    ax.figure.set_size_inches(8, 4.5)
    ax.figure.tight_layout()
    ax.figure.savefig(path, dpi=100)
    print(cmp)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=20, help="data sets per cell and degree")
    parser.add_argument("--rounds", type=int, default=9, help="interleaved timing rounds")
    parser.add_argument("--jobs", type=int, default=2, help="joblib workers of the selection")
    parser.add_argument("--no-write", action="store_true", help="print only")
    parser.add_argument("--figure", action="store_true", help="also draw compare_models.png")
    args = parser.parse_args()
    from run import machine

    start = time.perf_counter()
    lines = machine()
    print("\n".join(lines), flush=True)
    if args.figure:
        draw_figure(HERE / "compare_models.png")
    timing = run_cases(time_cases(), repeats=args.rounds)
    sel_start = time.perf_counter()
    cells = summarise(selection(range(args.seeds), args.jobs))
    sel_time = time.perf_counter() - sel_start

    out = _report(args, lines, timing, cells, sel_time, start)
    print("\n".join(out))
    if not args.no_write:
        with open(HERE / "RESULTS.md", "a") as f:
            f.write("\n" + "\n".join(out) + "\n")


def _h_label(H):
    exponent = math.log2(H)
    return f"2^{exponent:.0f}" if exponent == int(exponent) and H > 1024 else f"{H:g}"


def _report(args, lines, timing, cells, sel_time, start):
    today = datetime.date.today().isoformat()
    out = ["## Model comparison (bench/bench_compare.py)", "", f"Run {today}.", ""]
    out += [f"- {line}" for line in lines] + [""]
    out += [
        "### Time of one comparison, degrees 0..10, one feature, n = 1,000",
        "",
        "| case | sizes | zarn | peer | peer time | peer/zarn | target |",
        "|---|---|---|---|---|---|---|",
    ]
    for r in timing:
        goal = (
            ""
            if "robust" in r["name"]
            else (f"<= 30 ms {'met' if r['t_native'] <= 0.030 else 'NOT met'}")
        )
        out.append(
            f"| {r['name']} | {r['sizes']} | {format_seconds(r['t_native'])} | "
            f"{r['peer_name']} | {format_seconds(r['t_peer'])} | {r['ratio']:.2f} | {goal} |"
        )
    n_sets = sum(cell["count"] for cell in cells.values())
    out += [
        "",
        'Penalised: 11 fits of `method="penalized"` with weights 0 (no penalty matrices); '
        "with weights (1e-4, 1e-5) the penalties come from the cache after the first round. "
        "Robust: 11 fits with the sampler's defaults (25 chains, 200 warm-up steps, 5 x 2000 "
        "deep steps). The peer fits OLS in statsmodels for each degree and reads its BIC.",
        "",
        f"### Selection: share of data sets where each criterion picks the true degree "
        f"({args.seeds} seeds x 6 true degrees = {n_sets // len(cells)} data sets per row)",
        "",
        "Polynomials of degree 1..6 in x uniform on [-1, 1] (Legendre coefficients of size "
        "0.5..1.5, random signs: signal deviation about 1), Gaussian noise of deviation "
        f"sigma, outliers uniform over {SPREAD:g} times the signal's range; candidate degrees "
        "0..10. MDL: `compare_models` (H = 20, the default) with penalised fits (weights 0, "
        "i.e. least squares) or robust fits (sampler defaults). AIC, BIC: statsmodels OLS.",
        "",
        "| outliers | sigma | n | " + " | ".join(PICKERS) + " | MDL robust - BIC OLS |",
        "|---" * (len(PICKERS) + 4) + "|",
    ]
    for (fraction, noise, n), cell in cells.items():
        total = cell["count"]
        shares = [cell[p, DEFAULT_H][0] / total for p in PICKERS]
        out.append(
            f"| {fraction:.0%} | {noise:g} | {n} | "
            + " | ".join(f"{s:.0%}" for s in shares)
            + f" | {shares[1] - shares[3]:+.0%} |"
        )
    for fraction in FRACTIONS:
        pooled = [c for (f, _, _), c in cells.items() if f == fraction]
        total = sum(c["count"] for c in pooled)
        shares = [sum(c[p, DEFAULT_H][0] for c in pooled) / total for p in PICKERS]
        out.append(
            f"| **{fraction:.0%}** | all | all | "
            + " | ".join(f"**{s:.0%}**" for s in shares)
            + f" | **{shares[1] - shares[3]:+.0%}** |"
        )
    out += [
        "",
        "Where the wrong picks go (share of picks above / below the true degree, all cells "
        "of an outlier level pooled):",
        "",
        "| outliers | " + " | ".join(PICKERS) + " |",
        "|---" * (len(PICKERS) + 1) + "|",
    ]
    for fraction in FRACTIONS:
        pooled = [c for (f, _, _), c in cells.items() if f == fraction]
        total = sum(c["count"] for c in pooled)
        parts = []
        for p in PICKERS:
            above = sum(c[p, DEFAULT_H][1] for c in pooled) / total
            below = sum(c[p, DEFAULT_H][2] for c in pooled) / total
            parts.append(f"{above:.0%} / {below:.0%}")
        out.append(f"| {fraction:.0%} | " + " | ".join(parts) + " |")
    out += [
        "",
        "MDL with other complexity parameters H (same fits, scores recomputed; share of true "
        "picks):",
        "",
        "| outliers | sigma | n | "
        + " | ".join(f"{m} H={_h_label(H)}" for m in ("penalised", "robust") for H in H_VALUES)
        + f" | robust fitted and scored at H={_h_label(LARGE_H)} | BIC OLS |",
        "|---" * (5 + 2 * len(H_VALUES)) + "|",
    ]
    keys = [(f"MDL {m}", H) for m in ("penalised", "robust") for H in H_VALUES]
    keys += [("MDL robust fitted", LARGE_H), ("BIC OLS", DEFAULT_H)]
    for (fraction, noise, n), cell in cells.items():
        shares = [f"{cell[key][0] / cell['count']:.0%}" for key in keys]
        out.append(f"| {fraction:.0%} | {noise:g} | {n} | " + " | ".join(shares) + " |")
    for fraction in FRACTIONS:
        pooled = [c for (f, _, _), c in cells.items() if f == fraction]
        total = sum(c["count"] for c in pooled)
        shares = [f"**{sum(c[key][0] for c in pooled) / total:.0%}**" for key in keys]
        out.append(f"| **{fraction:.0%}** | all | all | " + " | ".join(shares) + " |")
    out += [
        "",
        "Mean time of one `compare_models` call (degrees 0..10) in the selection runs, one "
        f"thread per worker, {args.jobs} workers:",
        "",
        f"| n | penalised | robust | robust, H={_h_label(LARGE_H)} |",
        "|---|---|---|---|",
    ]
    for size in SIZES:
        times = [t for (_, _, n), c in cells.items() if n == size for t in c["times"]]
        means = [np.mean([t[label] for t in times]) for label in ("penalised", "robust")]
        means.append(np.mean([t["robust, large H"] for t in times]))
        out.append(f"| {size} | " + " | ".join(format_seconds(m) for m in means) + " |")
    cmd = " ".join([sys.executable, *sys.argv])
    out += [
        "",
        f"Selection runs {sel_time:.0f} s; whole run {time.perf_counter() - start:.0f} s: `{cmd}`",
        "",
    ]
    return out


if __name__ == "__main__":
    main()
