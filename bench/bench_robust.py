"""Benchmarks of the robust fit (``method="robust"``) against R's robustbase and the Python peers.

1. Accuracy: cubics on [-1, 1], n = 400, Gaussian noise (sd 0.25, and 0.5 for the harder
   rows at 30 and 45 %), with 0, 10, 30 and 45 %
   of the points displaced by U(2, 15) upwards (one-sided) or up or down at random
   (symmetric): mean RMSE against the true curve over the data sets of each level, for
   zarn, R's ``lmrob`` (MM) and ``ltsReg`` (FAST-LTS, reweighted), scikit-learn's
   RANSACRegressor, HuberRegressor and TheilSenRegressor, statsmodels' RLM (Tukey's
   biweight) and least squares, all on the same basis (t, t^2, t^3 of x mapped onto
   [-1, 1]); and the share of points flagged on clean data.
2. Real data: statsmodels' co2 (weekly, NaN dropped, time in years) with 5 % spikes of
   U(-50, 50) ppm, degree 3, against the trend fitted to the clean data; stackloss
   (degree 1, total basis) over 20 seeds; engel (food expenditure on income), degrees 2
   and 3, the prediction at the highest income; scikit-learn's Huber test data (50
   samples, 20 features, 5 corrupted rows) and its clean version.
3. Time: n = 400, clean and 25 % outliers, against RANSAC (interleaved rounds,
   bench/_timing.py); n = 10^3 .. 10^6 with 25 % outliers against RANSAC, with both
   errors; a log-log figure, bench/robust_scaling.png.
4. Several features: data sets of robustbase with known outliers (stackloss, hbk, wood,
   salinity, coleman, starsCYG), degree 1: the points that both ``lmrob`` (weight below
   0.1 / n) and ``ltsReg`` (weight 0) flag are flagged by zarn for each of 20 seeds.

R runs through ``Rscript`` (the R parts are skipped without it). The run writes its
section "Robust fits" of RESULTS.md beside this file (see _results.py; ``--no-write``
only prints).

    PYTHONPATH=. /work/venv/bin/python bench/bench_robust.py [--seeds 20] [--rounds 5]
"""

import argparse
import datetime
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

import zarn
from _results import write_section
from _timing import format_seconds, run_cases

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

N = 400
TRUTH = np.array([1.0, -2.0, 0.5, 3.0])  # the cubic, in powers of x on [-1, 1]
NOISE = 0.25  # outliers lie 8 to 60 noise deviations away
HARD_NOISE = 0.5  # and here 4 to 30: where the S-scale's bias at 45 % shows
LEVELS = (0.0, 0.1, 0.3, 0.45)
SIDES = ("symmetric", "one-sided")
GRID = np.linspace(-1.0, 1.0, 401)
SIZES = (1_000, 10_000, 100_000, 1_000_000)
HAS_R = shutil.which("Rscript") is not None


# -------------------------------------------------------------------------- helpers


def cubic(seed, fraction, side, n=N, noise=NOISE):
    """x uniform on [-1, 1], the cubic TRUTH plus noise; a fraction displaced by U(2, 15)."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    y = np.polynomial.polynomial.polyval(x, TRUTH) + noise * rng.standard_normal(n)
    bad = rng.choice(n, int(round(fraction * n)), replace=False)
    shift = rng.uniform(2.0, 15.0, bad.size)
    if side == "symmetric":
        shift *= rng.choice([-1.0, 1.0], bad.size)
    y[bad] += shift
    return x, y, bad


def mapped(x, low, high, degree=3):
    """Powers 1..degree of x mapped from [low, high] onto [-1, 1] (no constant)."""
    t = (2.0 * x - (low + high)) / (high - low)
    return np.vander(t, degree + 1, increasing=True)[:, 1:]


def rmse_on_grid(predict):
    truth = np.polynomial.polynomial.polyval(GRID, TRUTH)
    return float(np.sqrt(np.mean((predict(GRID) - truth) ** 2)))


def run_r(code, tables):
    """Run R ``code`` in a folder holding each table as NAME.csv; return its out_*.csv.

    ``tables`` maps a name to (column names, 2-D array). The code reads the tables with
    read.csv and writes results with write.csv(..., row.names = FALSE) as out_NAME.csv.
    """
    with tempfile.TemporaryDirectory() as folder:
        for name, (columns, data) in tables.items():
            np.savetxt(
                f"{folder}/{name}.csv", data, delimiter=",", header=",".join(columns), comments=""
            )
        run = subprocess.run(
            # A fixed R seed: lmrob and ltsReg draw their subsets from it.
            ["Rscript", "-e", "suppressMessages(library(robustbase)); set.seed(1)\n" + code],
            cwd=folder,
            capture_output=True,
            text=True,
        )
        if run.returncode != 0:
            raise RuntimeError(run.stderr)
        out = {}
        for path in pathlib.Path(folder).glob("out_*.csv"):
            with open(path) as f:
                columns = f.readline().strip().replace('"', "").split(",")
            values = np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)
            out[path.stem[4:]] = dict(zip(columns, values.T))
        return out


# --------------------------------------------------------------- target 1: accuracy


def peers():
    """name -> fit(x, y, seed) returning a predictor of x on [-1, 1]."""
    import statsmodels.api as sm
    from sklearn.linear_model import HuberRegressor, RANSACRegressor, TheilSenRegressor

    def zarn_fit(method):
        def fit(x, y, seed):
            model = zarn.PolynomialRegressor(3, method=method, random_state=seed)
            model.fit(x[:, None], y)
            return lambda g: model.predict(g[:, None])

        return fit

    def sklearn(make):
        def fit(x, y, seed):
            low, high = x.min(), x.max()
            model = make(seed).fit(mapped(x, low, high), y)
            return lambda g: model.predict(mapped(g, low, high))

        return fit

    def rlm(x, y, seed):
        low, high = x.min(), x.max()
        F = sm.add_constant(mapped(x, low, high), has_constant="add")
        params = sm.RLM(y, F, M=sm.robust.norms.TukeyBiweight()).fit().params
        return lambda g: params[0] + mapped(g, low, high) @ params[1:]

    return {
        "zarn robust": zarn_fit("robust"),
        "RANSAC": sklearn(lambda seed: RANSACRegressor(random_state=seed)),
        "Huber": sklearn(lambda seed: HuberRegressor(max_iter=1000)),
        "TheilSen": sklearn(lambda seed: TheilSenRegressor(random_state=seed)),
        "RLM biweight": rlm,
        "least squares": zarn_fit("ols"),
    }


R_CUBICS = """
d <- read.csv("cubics.csv")
rows <- list()
for (id in unique(d$id)) {
  s <- d[d$id == id, ]
  m <- lmrob(y ~ t + I(t^2) + I(t^3), data = s)
  l <- ltsReg(y ~ t + I(t^2) + I(t^3), data = s)
  rows[[length(rows) + 1]] <- c(id, coef(m), coef(l))
}
out <- do.call(rbind, rows)
colnames(out) <- c("id", paste0("m", 0:3), paste0("l", 0:3))
write.csv(out, "out_cubics.csv", row.names = FALSE)
"""


def accuracy(seeds, noise=NOISE, levels=LEVELS):
    """Mean RMSE per (side, level, method); share of points flagged by zarn on clean data."""
    methods = peers()
    sets = [(side, level, seed) for side in SIDES for level in levels for seed in seeds]
    errors = {key[:2]: {} for key in sets}
    flagged_clean = []
    table = []
    for i, (side, level, seed) in enumerate(sets):
        x, y, _ = cubic(seed, level, side, noise=noise)
        for name, fit in methods.items():
            errors[side, level].setdefault(name, []).append(rmse_on_grid(fit(x, y, seed)))
        if level == 0.0:
            model = zarn.PolynomialRegressor(3, method="robust", random_state=seed)
            flagged_clean.append(1.0 - model.fit(x[:, None], y).inlier_mask_.mean())
        t = mapped(x, x.min(), x.max())[:, 0]
        table.append(np.column_stack([np.full(N, i), t, y]))
    if HAS_R:
        coefs = run_r(R_CUBICS, {"cubics": (["id", "t", "y"], np.vstack(table))})["cubics"]
        for i, (side, level, seed) in enumerate(sets):
            x = cubic(seed, level, side, noise=noise)[0]
            low, high = x.min(), x.max()
            row = int(np.flatnonzero(coefs["id"] == i)[0])
            for name, key in (("lmrob", "m"), ("ltsReg", "l")):
                c = np.array([coefs[f"{key}{j}"][row] for j in range(4)])
                predict = lambda g, c=c, lo=low, hi=high: c[0] + mapped(g, lo, hi) @ c[1:]  # noqa: E731
                errors[side, level].setdefault(name, []).append(rmse_on_grid(predict))
    means = {key: {k: float(np.mean(v)) for k, v in row.items()} for key, row in errors.items()}
    for (side, level), row in means.items():
        print(f"{side:9} {level:4.0%}: " + "  ".join(f"{k} {v:.4f}" for k, v in row.items()))
    return means, float(np.mean(flagged_clean)) if flagged_clean else None


# -------------------------------------------------------------- target 2: real data


def co2_case():
    import statsmodels.api as sm
    from sklearn.linear_model import HuberRegressor, RANSACRegressor

    data = sm.datasets.co2.load_pandas().data.dropna()
    start = data.index[0]
    t = 1958.0 + (data.index - start).days.to_numpy() / 365.25 + (start.day_of_year - 1) / 365.25
    y_clean = data["co2"].to_numpy(float)
    rng = np.random.default_rng(0)
    bad = rng.random(t.size) < 0.05
    y = y_clean.copy()
    y[bad] += rng.uniform(-50.0, 50.0, bad.sum())
    X = t[:, None]
    trend = zarn.PolynomialRegressor(3, method="ols").fit(X, y_clean).predict(X)
    low, high = t.min(), t.max()
    F = mapped(t, low, high)
    fits = {
        "zarn robust": zarn.PolynomialRegressor(3, method="robust").fit(X, y).predict(X),
        "least squares": zarn.PolynomialRegressor(3, method="ols").fit(X, y).predict(X),
        "RANSAC": RANSACRegressor(random_state=0).fit(F, y).predict(F),
        "Huber": HuberRegressor(max_iter=1000).fit(F, y).predict(F),
        "RLM biweight": sm.RLM(y, sm.add_constant(F), M=sm.robust.norms.TukeyBiweight())
        .fit()
        .fittedvalues,
    }
    if HAS_R:
        code = (
            'd <- read.csv("co2.csv"); m <- lmrob(y ~ t + I(t^2) + I(t^3), data = d)\n'
            'write.csv(data.frame(fit = fitted(m)), "out_co2.csv", row.names = FALSE)'
        )
        fits["lmrob"] = run_r(code, {"co2": (["t", "y"], np.column_stack([F[:, 0], y]))})["co2"][
            "fit"
        ]
    errors = {k: float(np.sqrt(np.mean((v - trend) ** 2))) for k, v in fits.items()}
    model = zarn.PolynomialRegressor(3, method="robust").fit(X, y)
    flagged = ~model.inlier_mask_
    big = bad & (np.abs(y - y_clean) > 10.0)
    return dict(
        errors=errors,
        n=t.size,
        spikes=int(bad.sum()),
        flagged_spikes=int((flagged & bad).sum()),
        flagged_others=int((flagged & ~bad).sum()),
        big_spikes=int(big.sum()),
        flagged_big=int((flagged & big).sum()),
    )


def stackloss_case(seeds):
    import statsmodels.api as sm

    data = sm.datasets.stackloss.load_pandas().data
    X = data[["AIRFLOW", "WATERTEMP", "ACIDCONC"]].to_numpy(float)
    y = data["STACKLOSS"].to_numpy(float)
    sets = []
    for seed in seeds:
        model = zarn.PolynomialRegressor(1, method="robust", basis="total", random_state=seed)
        sets.append(frozenset((np.flatnonzero(~model.fit(X, y).inlier_mask_) + 1).tolist()))
    return sets


def engel_case():
    import statsmodels.api as sm
    from sklearn.linear_model import HuberRegressor

    data = sm.datasets.engel.load_pandas().data
    x, y = data["income"].to_numpy(float), data["foodexp"].to_numpy(float)
    top = np.array([x.max()])
    out = {}
    lmrob_seeds = {}
    for degree in (2, 3):
        low, high = x.min(), x.max()
        F = mapped(x, low, high, degree)
        row = {
            "zarn robust": float(
                zarn.PolynomialRegressor(degree, method="robust")
                .fit(x[:, None], y)
                .predict(top[:, None])[0]
            ),
            "least squares": float(
                zarn.PolynomialRegressor(degree, method="ols")
                .fit(x[:, None], y)
                .predict(top[:, None])[0]
            ),
            "Huber": float(
                HuberRegressor(max_iter=1000).fit(F, y).predict(mapped(top, low, high, degree))[0]
            ),
            "RLM biweight": float(
                sm.RLM(y, sm.add_constant(F), M=sm.robust.norms.TukeyBiweight())
                .fit()
                .fittedvalues[np.argmax(x)]
            ),
        }
        if HAS_R:
            terms = " + ".join(["t"] + [f"I(t^{p})" for p in range(2, degree + 1)])
            # lmrob's random subsets follow its seed: one fit per seed 1..10.
            code = (
                'd <- read.csv("engel.csv"); top <- which.max(d$t)\n'
                f"fit <- sapply(1:10, function(s) fitted(lmrob(y ~ {terms}, data = d,\n"
                "  control = lmrob.control(seed = s)))[top])\n"
                'write.csv(data.frame(fit = fit), "out_engel.csv", row.names = FALSE)'
            )
            fit = run_r(code, {"engel": (["t", "y"], np.column_stack([F[:, 0], y]))})["engel"]
            row["lmrob"] = float(np.median(fit["fit"]))
            lmrob_seeds[degree] = np.round(fit["fit"]).astype(int).tolist()
        row["zarn, 10 seeds"] = [
            round(
                float(
                    zarn.PolynomialRegressor(degree, method="robust", random_state=seed)
                    .fit(x[:, None], y)
                    .predict(top[:, None])[0]
                )
            )
            for seed in range(10)
        ]
        out[degree] = row
    return out, lmrob_seeds


def huber_case(seeds):
    """scikit-learn's make_regression_with_outliers (its Huber tests) and the clean data."""
    from sklearn.datasets import make_regression

    def make(corrupt):
        rng = np.random.RandomState(0)
        X, y = make_regression(n_samples=50, n_features=20, random_state=0, noise=0.05)
        rows = rng.randint(0, 50, 5)
        if corrupt:
            X[rows, :] = 2.0 * rng.normal(0, 1, (5, X.shape[1]))
        return X, y, np.unique(rows)

    X, y, rows = make(True)
    flagged = [
        np.flatnonzero(
            ~zarn.PolynomialRegressor(1, method="robust", basis="total", random_state=seed)
            .fit(X, y)
            .inlier_mask_
        )
        for seed in seeds
    ]
    Xc, yc, _ = make(False)
    clean = [
        int(
            (
                ~zarn.PolynomialRegressor(1, method="robust", basis="total", random_state=seed)
                .fit(Xc, yc)
                .inlier_mask_
            ).sum()
        )
        for seed in seeds
    ]
    caught = np.mean([np.isin(rows, f).all() for f in flagged])
    extra = np.mean([np.setdiff1d(f, rows).size for f in flagged])
    return dict(rows=rows.tolist(), caught=float(caught), extra=float(extra), clean=clean)


# ------------------------------------------------------------------- target 3: time


def timing_cases():
    from sklearn.linear_model import RANSACRegressor

    out = []
    for fraction in (0.0, 0.25):
        x, y, _ = cubic(1, fraction, "symmetric")
        F = mapped(x, x.min(), x.max())
        model = zarn.PolynomialRegressor(3, method="robust")
        out.append(
            dict(
                name=f"robust fit, {fraction:.0%} outliers",
                sizes=f"n={N}, cubic",
                native=lambda model=model, x=x, y=y: model.fit(x[:, None], y),
                peer=lambda F=F, y=y: RANSACRegressor(random_state=0).fit(F, y),
                peer_name="RANSAC",
            )
        )
    return out


def scaling(rounds):
    """Time and RMSE of zarn and RANSAC at each size (25 % symmetric outliers)."""
    from sklearn.linear_model import RANSACRegressor

    rows = []
    for n in SIZES:
        x, y, _ = cubic(7, 0.25, "symmetric", n)
        low, high = x.min(), x.max()
        F = mapped(x, low, high)
        model = zarn.PolynomialRegressor(3, method="robust")
        ransac = RANSACRegressor(random_state=0)
        ols = zarn.PolynomialRegressor(3, method="ols")
        case = dict(
            name="robust fit, 25 % outliers",
            sizes=f"n={n}",
            native=lambda model=model, x=x, y=y: model.fit(x[:, None], y),
            peer=lambda ransac=ransac, F=F, y=y: ransac.fit(F, y),
            peer_name="RANSAC",
        )
        repeats = rounds if n < 1_000_000 else max(2, rounds // 2)
        row = run_cases([case], repeats=repeats, batch_seconds=0.05)[0]
        t_ols = min(_seconds(lambda ols=ols, x=x, y=y: ols.fit(x[:, None], y)) for _ in range(3))
        row["rmse_zarn"] = rmse_on_grid(lambda g, m=model: m.predict(g[:, None]))
        row["rmse_ransac"] = rmse_on_grid(
            lambda g, r=ransac, lo=low, hi=high: r.predict(mapped(g, lo, hi))
        )
        row["t_ols"] = t_ols
        row["n"] = n
        rows.append(row)
    return rows


def _seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def figure(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    n = [r["n"] for r in rows]
    fig, ax = plt.subplots(figsize=(6, 4), layout="constrained")
    ax.loglog(n, [r["t_native"] for r in rows], "o-", label='zarn method="robust"')
    ax.loglog(n, [r["t_peer"] for r in rows], "s-", label="scikit-learn RANSACRegressor")
    ax.loglog(n, [r["t_ols"] for r in rows], "^:", color="0.5", label='zarn method="ols"')
    ax.set(xlabel="samples n", ylabel="fit time (s)", title="Cubic with 25 % outliers")
    ax.grid(True, which="both", alpha=0.3)
    ax.legend()
    fig.savefig(path, dpi=120)
    plt.close(fig)


# ---------------------------------------------------------- target 4: several features

R_SETS = """
sets <- list(
  stackloss = stackloss,
  hbk = hbk,
  wood = wood,
  salinity = salinity,
  coleman = coleman,
  starsCYG = starsCYG[, c("log.Te", "log.light")]
)
for (name in names(sets)) {
  d <- sets[[name]]
  y <- names(d)[ncol(d)]
  f <- as.formula(paste(y, "~ ."))
  m <- lmrob(f, data = d)
  l <- ltsReg(f, data = d)
  out <- cbind(d, lmrob = as.numeric(m$rweights < 0.1 / nrow(d)), lts = as.numeric(l$lts.wt == 0))
  write.csv(out, paste0("out_", name, ".csv"), row.names = FALSE)
}
"""


def several_features(seeds):
    sets = run_r(R_SETS, {})
    out = {}
    for name, columns in sets.items():
        names = list(columns)
        features = names[:-3]
        X = np.column_stack([columns[c] for c in features])
        y = columns[names[-3]]
        both = set((np.flatnonzero((columns["lmrob"] == 1) & (columns["lts"] == 1)) + 1).tolist())
        flagged = []
        for seed in seeds:
            model = zarn.PolynomialRegressor(1, method="robust", basis="total", random_state=seed)
            flagged.append(set((np.flatnonzero(~model.fit(X, y).inlier_mask_) + 1).tolist()))
        out[name] = dict(
            n=len(y),
            d=len(features),
            lmrob=sorted((np.flatnonzero(columns["lmrob"] == 1) + 1).tolist()),
            lts=sorted((np.flatnonzero(columns["lts"] == 1) + 1).tolist()),
            both=sorted(both),
            every=sorted(set.intersection(*flagged)),
            some=sorted(set.union(*flagged)),
            ok=all(both <= f for f in flagged),
        )
        print(name, out[name], flush=True)
    return out


# ------------------------------------------------------------------------- report


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seeds", type=int, default=20, help="data sets per level")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved timing rounds")
    parser.add_argument("--no-write", action="store_true", help="print only")
    args = parser.parse_args()
    warnings.simplefilter("ignore")  # peers' convergence warnings (Huber, TheilSen)
    from run import machine

    start = time.perf_counter()
    lines = machine()
    print("\n".join(lines), flush=True)
    seeds = range(args.seeds)
    means, clean_share = accuracy(seeds)
    hard, _ = accuracy(seeds, HARD_NOISE, (0.3, 0.45))
    co2 = co2_case()
    print("co2", co2, flush=True)
    stack = stackloss_case(seeds)
    engel, lmrob_seeds = engel_case()
    print("engel", engel, lmrob_seeds, flush=True)
    huber = huber_case(range(10))
    print("huber", huber, flush=True)
    several = several_features(seeds) if HAS_R else {}
    timed = run_cases(timing_cases(), repeats=args.rounds)
    scaled = scaling(args.rounds)
    figure(scaled, HERE / "robust_scaling.png")
    out = report(
        args,
        lines,
        means,
        clean_share,
        co2,
        stack,
        (engel, lmrob_seeds),
        huber,
        several,
        timed,
        hard,
    )
    out += report_scaling(scaled, start)
    print("\n".join(out))
    if not args.no_write:
        write_section(HERE / "RESULTS.md", "bench/bench_robust.py", "Robust fits", "\n".join(out))


def report(args, lines, means, clean_share, co2, stack, engel_case_, huber, several, timed, hard):
    engel, lmrob_seeds = engel_case_
    today = datetime.date.today().isoformat()
    out = ["## Robust fits", "", f"Run {today}: `bench/bench_robust.py --seeds {args.seeds}`"]
    out += [f" `--rounds {args.rounds}`.", ""] + [f"- {line}" for line in lines] + [""]
    names = ["zarn robust", "lmrob", "ltsReg", "RANSAC", "Huber", "TheilSen", "RLM biweight"]
    names = [k for k in names if k in next(iter(means.values()))] + ["least squares"]
    out += [
        f"### 1. Accuracy: mean RMSE against the true cubic ({args.seeds} data sets per level, "
        f"n = {N}, noise sd {NOISE}, outliers displaced by U(2, 15): 8 to 60 noise deviations)",
        "",
        "| outliers | " + " | ".join(names) + " | zarn / RANSAC | zarn / lmrob | zarn / LS |",
        "|---" * (len(names) + 4) + "|",
    ]
    out += _accuracy_rows(means, names)
    out += [
        "",
        f"Clean data (0 %): {100 * clean_share:.2f} % of the points flagged on average.",
        "",
        f"Outliers closer to the curve (noise sd {HARD_NOISE}: displaced by 4 to 30 noise "
        "deviations):",
        "",
        "| outliers | " + " | ".join(names) + " | zarn / RANSAC | zarn / lmrob | zarn / LS |",
        "|---" * (len(names) + 4) + "|",
    ]
    out += _accuracy_rows(hard, names) + [""]
    out += ["### 2. Real data", ""]
    out += [
        f"co2 with 5 % spikes (n = {co2['n']}, degree 3): RMSE against the clean-data trend (ppm):"
        " " + ", ".join(f"{k} {v:.3f}" for k, v in co2["errors"].items()) + ".",
        f"Flagged: {co2['flagged_spikes']} of the {co2['spikes']} spikes "
        f"({co2['big_spikes']} of them beyond 10 ppm, {co2['flagged_big']} of these flagged), "
        f"{co2['flagged_others']} other points.",
        "",
    ]
    every = sorted(frozenset.intersection(*stack))
    union = sorted(frozenset.union(*stack))
    out += [
        f"stackloss (degree 1, total basis), seeds 0..{len(stack) - 1}: observations flagged "
        f"for every seed {every}, for some seed {union} (FAST-LTS: [1, 3, 4, 21]).",
        "",
        "engel, prediction at the highest income (lowest observed y 242); lmrob: the median "
        "over its seeds 1..10:",
        "",
        "| degree | "
        + " | ".join(k for k in engel[2] if k != "zarn, 10 seeds")
        + " | zarn / lmrob |",
        "|---" * (len(engel[2]) + 1) + "|",
    ]
    for degree, row in engel.items():
        ratio = f"{row['zarn robust'] / row['lmrob']:.3f}" if "lmrob" in row else "-"
        cells = " | ".join(f"{v:.0f}" for k, v in row.items() if k != "zarn, 10 seeds")
        out.append(f"| {degree} | {cells} | {ratio} |")
    out.append("")
    for degree, row in engel.items():
        line = f"Degree {degree}: zarn for seeds 0..9 {row['zarn, 10 seeds']}"
        if degree in lmrob_seeds:
            line += f"; lmrob for seeds 1..10 {lmrob_seeds[degree]}"
        out += [line + ".", ""]
    out += [
        "",
        f"scikit-learn's Huber test data (50 samples, 20 features, corrupted rows {huber['rows']}),"
        f" seeds 0..9: all corrupted rows flagged in {100 * huber['caught']:.0f} % of the fits, "
        f"{huber['extra']:.1f} other rows flagged on average; on the clean version "
        f"{huber['clean']} rows flagged.",
        "",
    ]
    if several:
        out += [
            f"### 4. Several features: flags against robustbase ({args.seeds} seeds, degree 1)",
            "",
            "| data | n | features | lmrob | ltsReg | both | zarn, every seed | zarn, some seed "
            "| contains both |",
            "|---|---|---|---|---|---|---|---|---|",
        ]
        for name, r in several.items():
            out.append(
                f"| {name} | {r['n']} | {r['d']} | {r['lmrob']} | {r['lts']} | {r['both']} | "
                f"{r['every']} | {r['some']} | {'yes' if r['ok'] else 'NO'} |"
            )
        out.append("")
    out += [
        "### 3. Time",
        "",
        "| case | sizes | zarn | RANSAC | RANSAC / zarn |",
        "|---|---|---|---|---|",
    ]
    for r in timed:
        out.append(
            f"| {r['name']} | {r['sizes']} | {format_seconds(r['t_native'])} | "
            f"{format_seconds(r['t_peer'])} | {r['ratio']:.2f} |"
        )
    return out


def _accuracy_rows(means, names):
    out = []
    for (side, level), row in means.items():
        cells = " | ".join(f"{row[k]:.4f}" for k in names)
        lm = f"{row['zarn robust'] / row['lmrob']:.3f}" if "lmrob" in row else "-"
        out.append(
            f"| {level:.0%} {side} | {cells} | {row['zarn robust'] / row['RANSAC']:.3f} | {lm} "
            f"| {row['zarn robust'] / row['least squares']:.3f} |"
        )
    return out


def report_scaling(rows, start):
    out = [
        "",
        "Scaling, 25 % symmetric outliers (figure: bench/robust_scaling.png):",
        "",
        "| n | zarn | RANSAC | RANSAC / zarn | zarn RMSE | RANSAC RMSE | zarn ols |",
        "|---|---|---|---|---|---|---|",
    ]
    for r in rows:
        out.append(
            f"| {r['n']:.0e} | {format_seconds(r['t_native'])} | {format_seconds(r['t_peer'])} | "
            f"{r['ratio']:.2f} | {r['rmse_zarn']:.4f} | {r['rmse_ransac']:.4f} | "
            f"{format_seconds(r['t_ols'])} |"
        )
    out += ["", f"Total run time {time.perf_counter() - start:.0f} s."]
    return out


if __name__ == "__main__":
    main()
