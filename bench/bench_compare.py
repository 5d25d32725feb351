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
import subprocess
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
    cmp = zarn.compare_models(x, y, DEGREES, methods=["robust"], H=LARGE_H, criterion="mdl")
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


# ---------------------------------------------------------------- 3. model choice

CHOICE_DEGREES = range(0, 8)
CHOICE_TRUE = range(1, 6)
CHOICE_SIZES = (100, 300, 1000)
CHOICE_NOISE = 0.1
# (share of outliers, where they lie): "symmetric" uniform over SPREAD times the signal's
# range around it, "one-sided" all above the curve by 0.5 to 2.5 times that range.
CHOICE_LEVELS = (
    (0.0, "none"),
    (0.2, "symmetric"),
    (0.2, "one-sided"),
    (0.4, "symmetric"),
    (0.4, "one-sided"),
)
CHOICE_PICKERS = ("MDL", "AIC", "BIC", "RBIC", "BIC OLS", "RBIC OLS")
CHOICE_TARGETS = {0.0: 0.95, 0.2: 0.90, 0.4: 0.80}  # share of true picks at n = 300

AUTO_DEGREE, AUTO_N, AUTO_NOISE = 20, 200, 0.1
AUTO_FUNCTIONS = {
    "sine": lambda x: np.sin(3.0 * x),
    "Runge": lambda x: 1.0 / (1.0 + 25.0 * x**2),
    "exponential": np.exp,
    "tanh": lambda x: np.tanh(5.0 * x),
    "cubic": lambda x: x**3 - 0.5 * x,
}
AUTO_GRID = np.logspace(-14.0, 0.0, 57)  # weights, 4 per decade: the "fine grid"
AUTO_GRID_2D = np.logspace(-14.0, 0.0, 29)  # both weights, 2 per decade each
RIDGE_ALPHAS = np.logspace(-12.0, 2.0, 57)  # RidgeCV's ridge penalties, 4 per decade
TRUTH_POINTS = np.linspace(-1.0, 1.0, 1001)


def contaminated(true_degree, fraction, kind, n, seed):
    """x, y of a polynomial of exactly ``true_degree``, noise 0.1, gross outliers."""
    rng = np.random.default_rng([true_degree, int(fraction * 100), kind == "one-sided", n, seed])
    x = rng.uniform(-1.0, 1.0, n)
    coef = rng.uniform(0.5, 1.5, true_degree + 1) * rng.choice([-1.0, 1.0], true_degree + 1)
    signal = np.polynomial.legendre.legval(x, coef)
    y = signal + rng.normal(0.0, CHOICE_NOISE, n)
    bad = rng.choice(n, int(round(fraction * n)), replace=False)
    lo, hi = signal.min(), signal.max()
    if kind == "one-sided":
        y[bad] = signal[bad] + rng.uniform(0.5, 2.5, bad.size) * (hi - lo)
    else:
        pad = (SPREAD - 1.0) / 2.0 * (hi - lo)
        y[bad] = rng.uniform(lo - pad, hi + pad, bad.size)
    return x, y


def picks(x, y, degrees, method):
    """The degree each criterion of compare_models picks among fits of one method."""
    from zarn._criteria import CRITERIA
    from zarn.compare import _ranking

    cmp = zarn.compare_models(x, y, degrees, methods=[method])
    return {name.upper(): cmp.rows[_ranking(cmp.rows, name)[0]].degree for name in CRITERIA}


def robust_choice(x, y, degrees):
    """compare_models with robust fits and its default criterion, the robust BIC."""
    return zarn.compare_models(x, y, degrees, methods=["robust"]).best_.degree


def choose_one(true_degree, fraction, kind, n, seed):
    x, y = contaminated(true_degree, fraction, kind, n, seed)
    degrees = list(CHOICE_DEGREES)
    start = time.perf_counter()
    chosen = picks(x, y, degrees, "robust")
    elapsed = time.perf_counter() - start
    ols = picks(x, y, degrees, "ols")
    chosen.update({"BIC OLS": ols["BIC"], "RBIC OLS": ols["RBIC"]})
    return (fraction, kind, n), true_degree, chosen, elapsed


def choice_selection(seeds, jobs):
    from joblib import Parallel, delayed

    grid = [
        (d, fraction, kind, n, seed)
        for fraction, kind in CHOICE_LEVELS
        for n in CHOICE_SIZES
        for d in CHOICE_TRUE
        for seed in seeds
    ]
    results = Parallel(n_jobs=jobs, batch_size=4)(delayed(choose_one)(*a) for a in grid)
    cells = {}
    for key, true_degree, picks, elapsed in results:
        cell = cells.setdefault(key, {"count": 0, "time": 0.0, "right": {}, "above": {}})
        cell["count"] += 1
        cell["time"] += elapsed
        for name, chosen in picks.items():
            cell["right"][name] = cell["right"].get(name, 0) + (chosen == true_degree)
            cell["above"][name] = cell["above"].get(name, 0) + (chosen > true_degree)
    return cells


def auto_data(name, seed):
    rng = np.random.default_rng([list(AUTO_FUNCTIONS).index(name), seed])
    x = rng.uniform(-1.0, 1.0, AUTO_N)
    y = AUTO_FUNCTIONS[name](x) + rng.normal(0.0, AUTO_NOISE, AUTO_N)
    return x, y


def auto_one(name, seed):
    """Errors against the true curve: automatic weights, the grid's best, RidgeCV."""
    from sklearn.linear_model import RidgeCV

    from zarn._smoothing import choose_weights

    x, y = auto_data(name, seed)
    f = AUTO_FUNCTIONS[name]
    Phi = zarn.design_matrix_1d(AUTO_DEGREE, x)
    R1, R2 = zarn.smoothness_penalty_matrices_1d(AUTO_DEGREE, -1.0, 1.0)
    T = zarn.design_matrix_1d(AUTO_DEGREE, TRUTH_POINTS)
    truth = f(TRUTH_POINTS)

    def error(g1, g2):
        coef = zarn.fit_regularized_linear(Phi, y, R1, R2, g1, g2, 1e-10)
        return float(np.sqrt(np.mean((T @ coef - truth) ** 2)))

    out = {}
    best = {
        "gamma2": min(error(0.0, g) for g in AUTO_GRID),
        "gamma1": min(error(g, 0.0) for g in AUTO_GRID),
        "both": min(error(a, b) for a in AUTO_GRID_2D for b in AUTO_GRID_2D),
    }
    settings = {"gamma2": (0.0, "auto"), "gamma1": ("auto", 0.0), "both": ("auto", "auto")}
    for which, (g1, g2) in settings.items():
        for criterion in ("reml", "gcv"):
            choice = choose_weights(Phi, y, R1, R2, g1, g2, criterion=criterion)
            out[which, criterion] = error(choice.gamma1, choice.gamma2) / best[which]
    ridge = RidgeCV(alphas=RIDGE_ALPHAS).fit(Phi[:, 1:], y)
    ridge_error = float(np.sqrt(np.mean((ridge.predict(T[:, 1:]) - truth) ** 2)))
    out["RidgeCV", ""] = ridge_error / best["gamma2"]
    out["none", ""] = error(0.0, 0.0) / best["gamma2"]
    return name, out


def auto_weights(seeds, jobs):
    from joblib import Parallel, delayed

    grid = [(name, seed) for name in AUTO_FUNCTIONS for seed in seeds]
    results = Parallel(n_jobs=jobs)(delayed(auto_one)(*a) for a in grid)
    ratios = {}
    for name, out in results:
        for key, ratio in out.items():
            ratios.setdefault(key, {}).setdefault(name, []).append(ratio)
    return ratios


def auto_time_cases():
    """One data set: the automatic weight and its fit against the grid searches."""
    from sklearn.linear_model import RidgeCV
    from sklearn.model_selection import GridSearchCV

    x, y = auto_data("sine", 0)
    X = x[:, None]
    Phi = zarn.design_matrix_1d(AUTO_DEGREE, x)

    def auto(g1, g2):
        return zarn.PolynomialRegressor(degree=AUTO_DEGREE, gamma1=g1, gamma2=g2).fit(X, y)

    def grid_search():
        model = zarn.PolynomialRegressor(degree=AUTO_DEGREE)
        search = GridSearchCV(model, {"gamma2": list(AUTO_GRID)}, cv=5)
        return search.fit(X, y)

    sizes = f"degree {AUTO_DEGREE}, n={AUTO_N}"
    search = dict(peer=grid_search, peer_name=f"GridSearchCV, {AUTO_GRID.size} weights, 5 folds")
    return [
        dict(search, name="gamma2 auto (REML)", sizes=sizes, native=lambda: auto(0.0, "auto")),
        dict(
            search,
            name="gamma1, gamma2 auto (REML)",
            sizes=sizes,
            native=lambda: auto("auto", "auto"),
        ),
        dict(
            name="gamma2 auto (REML)",
            sizes=sizes,
            native=lambda: auto(0.0, "auto"),
            peer=lambda: RidgeCV(alphas=RIDGE_ALPHAS).fit(Phi[:, 1:], y),
            peer_name=f"RidgeCV, {RIDGE_ALPHAS.size} ridge penalties",
        ),
    ]


def ransac_loop(x, y, degrees):
    """The comparison loop a scikit-learn user writes: RANSAC at every degree, scored by
    the same robust BIC."""
    from sklearn.linear_model import LinearRegression, RANSACRegressor

    from zarn import _criteria as cr

    predictions = []
    for d in degrees:
        if d == 0:
            predictions.append(np.full(len(y), np.median(y)))
            continue
        V = np.polynomial.polynomial.polyvander(x, d)[:, 1:]
        model = RANSACRegressor(LinearRegression(), random_state=0).fit(V, y)
        predictions.append(model.predict(V))
    ks = [d + 1 for d in degrees]
    scale = cr.common_scale(y, predictions, ks)
    return int(np.argmin([cr.robust_bic(y, p, k, scale) for p, k in zip(predictions, ks)]))


def choice_time_cases():
    x, y = contaminated(3, 0.2, "symmetric", 1000, 0)
    degrees = list(range(0, 11))
    return [
        dict(
            name="compare_models, robust fits, RBIC",
            sizes="n=1000, degrees 0..10, 20 % outliers",
            native=lambda: robust_choice(x, y, degrees),
            peer=lambda: ransac_loop(x, y, degrees),
            peer_name="RANSAC(LinearRegression) loop + RBIC",
        )
    ]


def choice_report(args, lines, cells, ratios, timing, elapsed):
    today = datetime.date.today().isoformat()
    cmd = " ".join([sys.executable, *sys.argv])
    commit = subprocess.run(
        ["git", "rev-parse", "--short", "HEAD"], cwd=HERE, capture_output=True, text=True
    ).stdout.strip()
    out = ["## Model choice", "", f"Run {today} at commit {commit} (`{cmd}`, {elapsed:.0f} s).", ""]
    out += [f"- {line}" for line in lines] + [""]
    n_sets = next(iter(cells.values()))["count"]
    out += [
        f"### Selection: share of data sets where each criterion picks the true degree "
        f"({n_sets} data sets per row)",
        "",
        f"Polynomials of degree {CHOICE_TRUE[0]}..{CHOICE_TRUE[-1]} in x uniform on [-1, 1] "
        "(Legendre coefficients of size 0.5..1.5, random signs), Gaussian noise of deviation "
        f"{CHOICE_NOISE:g}; symmetric outliers uniform over {SPREAD:g} times the signal's range, "
        "one-sided ones above the curve by 0.5..2.5 times that range. Candidates: degrees "
        f"{CHOICE_DEGREES[0]}..{CHOICE_DEGREES[-1]}. MDL, AIC, BIC, RBIC: the pick of "
        '`compare_models(x, y, degrees, methods=["robust"], criterion=...)` (sampler '
        "defaults; RBIC is the default criterion); BIC OLS: BIC of least-squares fits "
        '(`methods=["ols"], criterion="bic"`), the baseline; RBIC OLS: the robust BIC of '
        "the least-squares fits.",
        "",
        "| outliers | where | n | " + " | ".join(CHOICE_PICKERS) + " | target (n = 300) |",
        "|---" * (len(CHOICE_PICKERS) + 4) + "|",
    ]
    for (fraction, kind, n), cell in sorted(
        cells.items(), key=lambda c: (c[0][0], c[0][1], c[0][2])
    ):
        shares = [cell["right"][p] / cell["count"] for p in CHOICE_PICKERS]
        goal = ""
        if n == 300:
            target = CHOICE_TARGETS[fraction]
            met = shares[3] >= target and shares[3] >= shares[4]
            goal = f">= {target:.0%} and >= BIC OLS: {'met' if met else 'NOT met'}"
        out.append(
            f"| {fraction:.0%} | {kind} | {n} | "
            + " | ".join(f"{s:.0%}" for s in shares)
            + f" | {goal} |"
        )
    out += ["", "Share of picks above the true degree (the rest of the misses are below):", ""]
    out += ["| outliers | where | " + " | ".join(CHOICE_PICKERS) + " |"]
    out += ["|---" * (len(CHOICE_PICKERS) + 2) + "|"]
    for fraction, kind in CHOICE_LEVELS:
        pooled = [c for (f, k, _), c in cells.items() if (f, k) == (fraction, kind)]
        total = sum(c["count"] for c in pooled)
        above = [sum(c["above"][p] for c in pooled) / total for p in CHOICE_PICKERS]
        out.append(f"| {fraction:.0%} | {kind} | " + " | ".join(f"{a:.0%}" for a in above) + " |")
    out += ["", "Mean time of one `compare_models` call with robust fits (degrees 0..7):", ""]
    out += ["| n | time |", "|---|---|"]
    for size in CHOICE_SIZES:
        pooled = [c for (_, _, n), c in cells.items() if n == size]
        mean = sum(c["time"] for c in pooled) / sum(c["count"] for c in pooled)
        out.append(f"| {size} | {format_seconds(mean)} |")
    count = len(next(iter(ratios[("gamma2", "reml")].values())))
    out += [
        "",
        f"### Automatic penalty weights: error against the true curve / that of the best weight "
        f"on a fine grid ({count} data sets per function)",
        "",
        f"Degree {AUTO_DEGREE}, n = {AUTO_N} (x uniform on [-1, 1]), noise {AUTO_NOISE:g}. The "
        f"grid: {AUTO_GRID.size} weights from 1e-14 to 1 (4 per decade); for both weights "
        f"{AUTO_GRID_2D.size} x {AUTO_GRID_2D.size} (2 per decade). Error: root mean square "
        "against the true function at 1001 points of [-1, 1]. RidgeCV: scikit-learn's, "
        f"{RIDGE_ALPHAS.size} penalties from 1e-12 to 100 on the same monomials (intercept "
        "unpenalised), against the best curvature weight. Target: median <= 1.25, worst <= 2.",
        "",
        "| weights | criterion | " + " | ".join(AUTO_FUNCTIONS) + " | median | worst | target |",
        "|---" * (len(AUTO_FUNCTIONS) + 5) + "|",
    ]
    for (which, criterion), per in ratios.items():
        everything = np.concatenate([per[name] for name in AUTO_FUNCTIONS])
        median, worst = float(np.median(everything)), float(everything.max())
        cells_ = [
            f"{np.median(per[name]):.2f} / {np.max(per[name]):.2f}" for name in AUTO_FUNCTIONS
        ]
        goal = ""
        if criterion == "reml":
            goal = "met" if median <= 1.25 and worst <= 2.0 else "NOT met"
        out.append(
            f"| {which} | {criterion or '-'} | "
            + " | ".join(cells_)
            + f" | {median:.3f} | {worst:.2f} | {goal} |"
        )
    out += [
        "",
        "Per function: median / worst. gamma2: the curvature weight chosen, gamma1 = 0; "
        "gamma1: the slope weight, gamma2 = 0; both: chosen together; none: no penalty.",
        "",
        "### Time",
        "",
        "| case | sizes | zarn | peer | peer time | peer/zarn | target |",
        "|---|---|---|---|---|---|---|",
    ]
    for r in timing:
        goal = ""
        if "GridSearchCV" in r["peer_name"]:
            goal = f">= 10: {'met' if r['ratio'] >= 10 else 'NOT met'}"
        out.append(
            f"| {r['name']} | {r['sizes']} | {format_seconds(r['t_native'])} | "
            f"{r['peer_name']} | {format_seconds(r['t_peer'])} | {r['ratio']:.2f} | {goal} |"
        )
    out += [
        "",
        'zarn\'s side of the weights: `PolynomialRegressor(degree=20, gamma2="auto").fit` '
        "(the REML choice and the fit at the chosen weight); the peer: `GridSearchCV` of the "
        "same estimator over the fine grid of `gamma2`. Medians of interleaved rounds "
        "(bench/_timing.py).",
        "",
    ]
    return out


def replace_section(path, title, text):
    """RESULTS.md with the section ``title`` replaced by ``text`` (appended if absent)."""
    lines = path.read_text().splitlines() if path.exists() else []
    start = next((i for i, line in enumerate(lines) if line == title), None)
    if start is None:
        lines += [""] + text
    else:
        end = next(
            (i for i in range(start + 1, len(lines)) if lines[i].startswith("## ")), len(lines)
        )
        lines[start:end] = text
    path.write_text("\n".join(lines).rstrip("\n") + "\n")


def run_choice(args):
    from run import machine

    start = time.perf_counter()
    lines = machine()
    print("\n".join(lines), flush=True)
    timing = run_cases(auto_time_cases() + choice_time_cases(), repeats=args.rounds)
    ratios = auto_weights(range(args.auto_seeds), args.jobs)
    cells = choice_selection(range(args.seeds), args.jobs)
    out = choice_report(args, lines, cells, ratios, timing, time.perf_counter() - start)
    print("\n".join(out))
    if not args.no_write:
        replace_section(HERE / "RESULTS.md", "## Model choice", out)


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
    ax.figure.savefig(path, dpi=100)  # the plot's constrained layout keeps its labels in
    print(cmp)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=20, help="data sets per cell and degree")
    parser.add_argument("--rounds", type=int, default=9, help="interleaved timing rounds")
    parser.add_argument("--jobs", type=int, default=2, help="joblib workers of the selection")
    parser.add_argument("--no-write", action="store_true", help="print only")
    parser.add_argument("--figure", action="store_true", help="also draw compare_models.png")
    parser.add_argument(
        "--choice", action="store_true", help="only the model-choice section (criteria, weights)"
    )
    parser.add_argument("--auto-seeds", type=int, default=20, help="data sets per function")
    args = parser.parse_args()
    if args.choice:
        run_choice(args)
        return
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
