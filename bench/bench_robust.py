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
3. Several features: data sets of robustbase with known outliers (stackloss, hbk, wood,
   salinity, coleman, starsCYG), degree 1: the points that both ``lmrob`` (weight below
   0.1 / n) and ``ltsReg`` (weight 0) flag are flagged by zarn for each of 20 seeds.
4. The tournament sampler's start (``--part sampler``), section "Robust fit sampler
   start": on the cubics of 1, engel and stackloss, how often the S-scale reached from
   the sampler's fit is lower than the engine's by more than 0.1 %.
5. Time (``--part time``), its own section "Robust fit time": one fit on one thread
   (threadpoolctl's limit of 1), a cubic with noise 0.1 and outliers y + U(-5, 5), n = 100
   to 10^6: zarn's robust and least-squares fits, scikit-learn's RANSACRegressor (with the
   trials it ran), statsmodels' RLM, R's ``lmrob`` (timed inside one Rscript process) and,
   on a line, scipy's ``theilslopes`` beside zarn's robust fit of degree 1; medians of
   interleaved rounds. Many series: ``fit_many``'s robust and least-squares routes
   against loops of ``theilslopes`` and RLM, per series. Figures
   bench/robust_scaling.png and bench/robust_many.png.

R runs through ``Rscript`` (the R parts are skipped without it). The run writes its
sections of RESULTS.md beside this file (see _results.py; ``--no-write`` only prints,
``--quick`` is a short run that only prints). On a shared 2-core machine the accuracy
part took about 2 minutes, the sampler part 1 and the time part 5 (most of it the robust
route of 100,000 series).

    .venv/bin/python bench/bench_robust.py [--part all|accuracy|sampler|time] [--seeds 20]
        [--rounds 5] [--quick] [--no-write]
"""

import argparse
import datetime
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np

import zarn
from _results import write_section
from _timing import format_seconds

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

            def predict(g):
                return model.predict(mapped(g, low, high))

            predict.n_trials = getattr(model, "n_trials_", None)  # RANSAC's trials
            return predict

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
    trials = {key[:2]: [] for key in sets}
    flagged_clean = []
    table = []
    for i, (side, level, seed) in enumerate(sets):
        x, y, _ = cubic(seed, level, side, noise=noise)
        for name, fit in methods.items():
            predict = fit(x, y, seed)
            errors[side, level].setdefault(name, []).append(rmse_on_grid(predict))
            if name == "RANSAC":
                trials[side, level].append(predict.n_trials)
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
    for key, row in means.items():
        row["RANSAC trials"] = float(np.mean(trials[key]))
        side, level = key
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

# One fit: (n, share of outliers); the 25 % rows from 100 to 10^6 make the figure.
ONE_FIT = (
    (100, 0.10),
    (100, 0.25),
    (400, 0.0),
    (400, 0.25),
    (1_000, 0.25),
    (10_000, 0.25),
    (100_000, 0.25),
    (1_000_000, 0.25),
)
TIME_NOISE = 0.1  # with outliers y + U(-5, 5): 0 to 50 noise deviations away
QUICK_LARGEST = 10_000  # --quick stops here
# Peers whose time grows too fast are timed up to these n: scipy's theilslopes forms
# all n^2 / 2 pairwise slopes (an n x n array: 800 MB at 10^4), RLM and lmrob take
# seconds per fit at 10^6.
LARGEST_N = {"theilslopes": 1_000, "RLM": 100_000, "lmrob": 100_000}
# The targets: zarn at most half of these peers' time, at these n.
TARGET_RATIO = 2.0
GOOD_START = "RLM, good start"
TARGET_N = {
    "RANSAC": (100, 400, 10_000, 100_000, 1_000_000),
    "RLM": (100, 400, 10_000, 100_000),
    GOOD_START: (100, 400, 10_000, 100_000),
}
RANSAC_MAX_TRIALS = 100  # scikit-learn's default max_trials
# Many series: series of this many samples, degree 1 (theilslopes fits a line).
SERIES_LENGTH = 100
SERIES_COUNTS = (1_000, 10_000, 100_000)
LOOP_SERIES = {"theilslopes": 1_000, "RLM": 300}  # series timed in the peers' loops
PAUSE = 0.1  # seconds before each batch: the other side's idle thread pools go to sleep


def time_data(n, fraction, seed=0):
    """x uniform on [-1, 1]; the cubic TRUTH and the line 1 + 2 x, each with noise
    TIME_NOISE, and the same share ``fraction`` of points moved by U(-5, 5)."""
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    noise = TIME_NOISE * rng.standard_normal(n)
    shift = np.where(rng.random(n) < fraction, rng.uniform(-5.0, 5.0, n), 0.0)
    cubic_y = np.polynomial.polynomial.polyval(x, TRUTH) + noise + shift
    line_y = 1.0 + 2.0 * x + noise + shift
    return x, cubic_y, line_y


def one_fit_sides(n, fraction):
    """name -> zero-argument fit of one data set, for zarn and the Python peers."""
    import statsmodels.api as sm
    from scipy.stats import theilslopes
    from sklearn.linear_model import RANSACRegressor

    x, y, line = time_data(n, fraction)
    X = x[:, None]
    F = mapped(x, x.min(), x.max())
    F1 = sm.add_constant(F, has_constant="add")
    robust = zarn.PolynomialRegressor(3, method="robust")
    ols = zarn.PolynomialRegressor(3, method="ols")
    sides = {
        "zarn robust": lambda: robust.fit(X, y),
        "zarn ols": lambda: ols.fit(X, y),
        "RANSAC": lambda: RANSACRegressor(random_state=0).fit(F, y),
        "RLM": lambda: sm.RLM(y, F1, M=sm.robust.norms.TukeyBiweight()).fit(),
    }
    if n <= LARGEST_N["RLM"]:
        # RLM at its best: started at its own answer (coefficients and scale), so that it
        # only confirms it; its default start is least squares.
        own = sm.RLM(y, F1, M=sm.robust.norms.TukeyBiweight()).fit()
        sides[GOOD_START] = lambda: sm.RLM(y, F1, M=sm.robust.norms.TukeyBiweight()).fit(
            start_params=own.params, start_scale=own.scale
        )
    if n <= LARGEST_N["theilslopes"]:
        line_model = zarn.PolynomialRegressor(1, method="robust")
        sides["zarn robust, line"] = lambda: line_model.fit(X, line)
        sides["theilslopes"] = lambda: theilslopes(line, x)
    if n > LARGEST_N["RLM"]:
        del sides["RLM"]
    return sides


def interleaved(groups, rounds, batch_seconds=0.05):
    """Median seconds per call of every side of every group, in interleaved rounds.

    ``groups`` is a list of dicts name -> zero-argument callable. Each side runs in
    batches sized from one warm-up call, after a pause and one untimed call (as
    bench/_timing.py does for two sides), side after side and group after group, so a
    drifting load hits every side alike.
    """
    sizes = [
        {k: max(1, int(batch_seconds / max(_seconds(f), 1e-7))) for k, f in g.items()}
        for g in groups
    ]
    samples = [{k: [] for k in g} for g in groups]
    for _ in range(rounds):
        for group, size, sample in zip(groups, sizes, samples):
            for name, fn in group.items():
                time.sleep(PAUSE)
                fn()
                start = time.perf_counter()
                for _ in range(size[name]):
                    fn()
                sample[name].append((time.perf_counter() - start) / size[name])
    return [{k: statistics.median(v) for k, v in s.items()} for s in samples]


def ransac_trials(n, fraction):
    """Trials RANSAC ran (of RANSAC_MAX_TRIALS) on the data set of the time table."""
    from sklearn.linear_model import RANSACRegressor

    x, y, _ = time_data(n, fraction)
    return int(RANSACRegressor(random_state=0).fit(mapped(x, x.min(), x.max()), y).n_trials_)


R_TIMES = """
out <- NULL
for (file in list.files(pattern = "^time_[0-9]+[.]csv$")) {
  d <- read.csv(file)
  fit <- function() lmrob(y ~ t + I(t^2) + I(t^3), data = d)
  one <- system.time(fit())[["elapsed"]]
  reps <- max(1L, as.integer(ceiling(0.2 / max(one, 1e-3))))
  batch <- function(r) system.time(for (i in seq_len(reps)) fit())[["elapsed"]] / reps
  each <- sapply(seq_len(rounds), batch)
  out <- rbind(out, c(id = as.integer(gsub("[^0-9]", "", file)), seconds = median(each)))
}
write.csv(out, "out_times.csv", row.names = FALSE)
"""


def lmrob_times(cases, rounds):
    """Median seconds of one ``lmrob`` fit per case, timed inside one Rscript process
    (R's start-up and the reading of the data are not counted)."""
    tables = {}
    for i, (n, fraction) in enumerate(cases):
        if n <= LARGEST_N["lmrob"]:
            x, y, _ = time_data(n, fraction)
            tables[f"time_{i}"] = (
                ["t", "y"],
                np.column_stack([mapped(x, x.min(), x.max())[:, 0], y]),
            )
    out = run_r(f"rounds <- {int(rounds)}L\n" + R_TIMES, tables)["times"]
    return {cases[int(i)]: float(t) for i, t in zip(out["id"], out["seconds"])}


def one_fit_times(cases, rounds):
    """Rows of the one-fit table: the medians of every side, lmrob's, RANSAC's trials."""
    times = interleaved([one_fit_sides(n, f) for n, f in cases], rounds)
    r_times = lmrob_times(cases, rounds) if HAS_R else {}
    rows = []
    for (n, fraction), row in zip(cases, times):
        if (n, fraction) in r_times:
            row["lmrob"] = r_times[n, fraction]
        rows.append(dict(n=n, fraction=fraction, times=row, trials=ransac_trials(n, fraction)))
        print(
            f"n={n:>9,} {fraction:4.0%}: "
            + "  ".join(f"{k} {format_seconds(v)}" for k, v in row.items()),
            flush=True,
        )
    return rows


def many_data(m, seed=0):
    """m series of SERIES_LENGTH samples on [0, 1]: random lines, noise 0.1, 10 % cloud-like
    outliers y - U(3, 10), 5 % missing; Y of shape (SERIES_LENGTH, m)."""
    rng = np.random.default_rng(seed)
    x = np.linspace(0.0, 1.0, SERIES_LENGTH)
    shape = (SERIES_LENGTH, m)
    Y = rng.standard_normal(m) + rng.standard_normal(m) * x[:, None]
    Y += 0.1 * rng.standard_normal(shape)
    Y -= np.where(rng.random(shape) < 0.1, rng.uniform(3.0, 10.0, shape), 0.0)
    Y[rng.random(shape) < 0.05] = np.nan
    return x, Y


def many_sides(m):
    """name -> zero-argument call returning seconds per series: the two routes of
    fit_many, and loops of theilslopes and RLM over a subset of the series."""
    import statsmodels.api as sm
    from scipy.stats import theilslopes

    x, Y = many_data(m)
    robust = zarn.PolynomialRegressor(1, method="robust")
    ols = zarn.PolynomialRegressor(1, method="ols")
    F = sm.add_constant(x)

    def per_series(fn, count):
        def run():
            start = time.perf_counter()
            fn(count)
            return (time.perf_counter() - start) / count

        return run

    def theil(count):
        for y in Y[:, :count].T:
            ok = np.isfinite(y)
            theilslopes(y[ok], x[ok])

    def rlm(count):
        for y in Y[:, :count].T:
            ok = np.isfinite(y)
            sm.RLM(y[ok], F[ok], M=sm.robust.norms.TukeyBiweight()).fit()

    return {
        "zarn robust": per_series(lambda count: zarn.fit_many(x, Y[:, :count], robust), m),
        "zarn ols": per_series(lambda count: zarn.fit_many(x, Y[:, :count], ols), m),
        "theilslopes": per_series(theil, min(m, LOOP_SERIES["theilslopes"])),
        "RLM": per_series(rlm, min(m, LOOP_SERIES["RLM"])),
    }


def many_times(counts, rounds):
    """Median seconds per series of every side, for each number of series."""
    rows = []
    for m in counts:
        sides = many_sides(m)
        samples = {k: [] for k in sides}
        for _ in range(rounds):
            for name, run in sides.items():
                time.sleep(PAUSE)
                samples[name].append(run())
        row = {k: statistics.median(v) for k, v in samples.items()}
        print(
            f"{m:>7,} series: " + "  ".join(f"{k} {format_seconds(v)}" for k, v in row.items()),
            flush=True,
        )
        rows.append(dict(m=m, times=row))
    return rows


def _seconds(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


# Sides of the figures and tables: label, marker and line style.
STYLES = {
    "zarn robust": ('zarn method="robust"', "o-"),
    "RANSAC": ("scikit-learn RANSACRegressor", "s-"),
    "RLM": ("statsmodels RLM (biweight)", "D-"),
    "lmrob": ("R robustbase lmrob", "v-"),
    "theilslopes": ("scipy theilslopes (a line)", "P--"),
    "zarn robust, line": ('zarn method="robust", degree 1', "o--"),
    "zarn ols": ('zarn method="ols"', "^:"),
}


def _plot_sides(ax, xs, rows, names, labels=None):
    for name in names:
        points = [(x, r[name]) for x, r in zip(xs, rows) if name in r]
        if points:
            label, style = STYLES[name]
            label = (labels or {}).get(name, label)
            grey = {"color": "0.5"} if name == "zarn ols" else {}
            ax.loglog(*zip(*points), style, label=label, **grey)
    ax.grid(True, which="both", alpha=0.3)


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def scaling_figure(rows, path):
    """Time of one fit against n (25 % outliers) for zarn and every peer, log-log."""
    plt = _pyplot()
    rows = [r for r in rows if r["fraction"] == 0.25]
    fig, ax = plt.subplots(figsize=(6.4, 4.4), layout="constrained")
    _plot_sides(ax, [r["n"] for r in rows], [r["times"] for r in rows], STYLES)
    ax.set(xlabel="samples n", ylabel="time of one fit (s)")
    ax.set_title(f"One fit, one thread: a cubic, noise {TIME_NOISE}, 25 % outliers", fontsize=10)
    ax.legend(fontsize=8)
    fig.savefig(path, dpi=120)
    plt.close(fig)


def many_figure(rows, path):
    """Time per series and for all series of fit_many's routes and the peers' loops."""
    plt = _pyplot()
    m = [r["m"] for r in rows]
    per_series = [r["times"] for r in rows]
    total = [{k: v * r["m"] for k, v in r["times"].items()} for r in rows]
    names = ["zarn robust", "RLM", "theilslopes", "zarn ols"]
    labels = {
        "zarn robust": 'zarn.fit_many, method="robust"',
        "RLM": "statsmodels RLM (biweight), a loop",
        "theilslopes": "scipy theilslopes, a loop",
        "zarn ols": 'zarn.fit_many, method="ols"',
    }
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.2), layout="constrained")
    for ax, rows_ in zip(axes, (per_series, total)):
        _plot_sides(ax, m, rows_, names, labels)
    axes[0].set(xlabel="series", ylabel="time per series (s)")
    axes[1].set(xlabel="series", ylabel="time for all series (s)")
    fig.suptitle(
        f"Many series of {SERIES_LENGTH} samples, a line each, 10 % outliers y - U(3, 10), "
        "5 % missing",
        fontsize=10,
    )
    fig.legend(
        *axes[0].get_legend_handles_labels(), loc="outside lower center", ncols=4, fontsize=8
    )
    fig.savefig(path, dpi=120)
    plt.close(fig)


def _ratio(row, peer, side="zarn robust"):
    return row[peer] / row[side] if peer in row and side in row else None


def _cell(value, fmt="{:.2f}"):
    return "" if value is None else fmt.format(value)


def _targets(rows):
    """Which of the one-fit targets hold in this run: lines of the report."""
    met, missed = [], []
    for peer, sizes in TARGET_N.items():
        for r in rows:
            ratio = _ratio(r["times"], peer)
            if r["n"] in sizes and ratio is not None:
                case = f"{peer} at n = {r['n']:,} ({r['fraction']:.0%})"
                (met if ratio >= TARGET_RATIO else missed).append(case)
    return [
        f"Targets (zarn at most {1 / TARGET_RATIO:g}x the peer's time): met for "
        + (", ".join(met) or "none")
        + "; missed for "
        + (", ".join(missed) or "none")
        + "."
    ]


def report_time(args, lines, one, many):
    rounds = args.rounds
    out = [
        "## Robust fit time",
        "",
        f"Run {datetime.date.today().isoformat()}: `bench/bench_robust.py --part time "
        f"--rounds {rounds}`.",
        "",
    ]
    out += [f"- {line}" for line in lines] + [""]
    out += [
        "### One fit, one thread",
        "",
        f"A cubic on [-1, 1] (x uniform), noise sd {TIME_NOISE}, a share of the points "
        "moved by U(-5, 5); one thread for every side (threadpoolctl's limit of 1 on OpenMP "
        f"and BLAS); medians of {rounds} interleaved rounds. RANSAC: scikit-learn's defaults "
        "on the precomputed features (t, t², t³ of x mapped onto [-1, 1]), with the number "
        f"of trials it ran (of its {RANSAC_MAX_TRIALS}: fewer means it stopped early). RLM: "
        "statsmodels with Tukey's biweight, from its default start (least squares) and "
        "from a good one (its own coefficients and scale, so that it only confirms them: "
        "its best case). lmrob: robustbase's defaults, timed inside one "
        f"Rscript process (`system.time` of repeated fits, median of {rounds} rounds), so "
        "R's start-up is not counted. Ratios are peer / zarn robust.",
        "",
        "| n | outliers | zarn robust | zarn ols | robust / ols | RANSAC | RANSAC trials "
        "| RANSAC / zarn | RLM | RLM / zarn | RLM, good start | its / zarn | lmrob "
        "| lmrob / zarn |",
        "|---" * 14 + "|",
    ]
    for r in one:
        t = r["times"]
        cells = [
            f"{r['n']:,}",
            f"{r['fraction']:.0%}",
            format_seconds(t["zarn robust"]),
            format_seconds(t["zarn ols"]),
            _cell(_ratio(t, "zarn robust", "zarn ols"), "{:.0f}"),
            format_seconds(t["RANSAC"]),
            str(r["trials"]),
            _cell(_ratio(t, "RANSAC")),
            format_seconds(t["RLM"]) if "RLM" in t else "",
            _cell(_ratio(t, "RLM")),
            format_seconds(t[GOOD_START]) if GOOD_START in t else "",
            _cell(_ratio(t, GOOD_START)),
            format_seconds(t["lmrob"]) if "lmrob" in t else "",
            _cell(_ratio(t, "lmrob")),
        ]
        out.append("| " + " | ".join(cells) + " |")
    early = [f"{r['n']:,} ({r['fraction']:.0%})" for r in one if r["trials"] < RANSAC_MAX_TRIALS]
    out += [
        "",
        f"RANSAC stopped early (fewer than its {RANSAC_MAX_TRIALS} trials) on {len(early)} "
        f"of these {len(one)} data sets" + (f" (n = {', '.join(early)})." if early else "."),
        "",
    ]
    out += _targets(one)
    line_rows = [r for r in one if "theilslopes" in r["times"]]
    out += [
        "",
        "scipy's `theilslopes` fits a line: it is timed on the same x with y = 1 + 2 x, the "
        "same noise and outliers, beside zarn's robust fit of degree 1 on those data (up to "
        f"n = {LARGEST_N['theilslopes']:,}: its n x n pairwise slopes need 800 MB at 10^4).",
        "",
        "| n | outliers | zarn robust, degree 1 | theilslopes | theilslopes / zarn |",
        "|---|---|---|---|---|",
    ]
    for r in line_rows:
        t = r["times"]
        out.append(
            f"| {r['n']:,} | {r['fraction']:.0%} | {format_seconds(t['zarn robust, line'])} | "
            f"{format_seconds(t['theilslopes'])} | "
            f"{_ratio(t, 'theilslopes', 'zarn robust, line'):.1f} |"
        )
    out += [
        "",
        "Figure: bench/robust_scaling.png (the 25 % rows).",
        "",
        "### Many series",
        "",
        f"`zarn.fit_many(x, Y, PolynomialRegressor(1, method=...))` on m series of "
        f"{SERIES_LENGTH} samples (random lines on [0, 1], noise 0.1, 10 % outliers "
        "y - U(3, 10), 5 % NaN), the routes on the machine's cores; scipy's `theilslopes` "
        "and statsmodels' RLM (biweight) in a loop over the series' present samples, on one "
        f"thread, timed on the first {LOOP_SERIES['theilslopes']:,} and "
        f"{LOOP_SERIES['RLM']:,} series; medians of {many_rounds(args)} rounds, time per "
        "series.",
        "",
        "| series | zarn robust | zarn ols | robust / ols | theilslopes | theilslopes / zarn "
        "| RLM | RLM / zarn |",
        "|---" * 8 + "|",
    ]
    for r in many:
        t = r["times"]
        out.append(
            f"| {r['m']:,} | {format_seconds(t['zarn robust'])} | "
            f"{format_seconds(t['zarn ols'])} | "
            f"{_ratio(t, 'zarn robust', 'zarn ols'):.0f} | {format_seconds(t['theilslopes'])} | "
            f"{_ratio(t, 'theilslopes'):.1f} | {format_seconds(t['RLM'])} | "
            f"{_ratio(t, 'RLM'):.1f} |"
        )
    out += ["", "Figure: bench/robust_many.png."]
    return out


# ------------------------------------------------ the tournament sampler's start, measured

S_TUNING = 1.547645  # biweight constant of the S-estimate at 50 % breakdown (lmrob's)
WIN_MARGIN = 1e-3  # a start wins when the S-scale it leads to is lower by more than this
S_STEPS = 200  # reweighting steps of the S-estimate from the sampler's start
SAMPLER_ROWS = 250  # the sampler runs on at most this many samples, as behind gibbs_


def m_scale(r, k):
    """The M-scale s of the residuals r of a fit of k coefficients: the mean over n - k of
    rho(r / s) is 1/2, rho Tukey's biweight at S_TUNING scaled to a maximum of 1."""
    s = float(np.median(np.abs(r))) or 1.0  # the fixed point is reached from any s > 0
    for _ in range(500):
        t = np.minimum((r / (S_TUNING * s)) ** 2, 1.0)
        new = s * np.sqrt(np.sum(1.0 - (1.0 - t) ** 3) / (0.5 * (r.size - k)))
        if abs(new - s) <= 1e-13 * s:
            break
        s = new
    return s


def s_refined(Phi, y, beta):
    """The S-scale reached from ``beta`` by reweighting steps, each kept while it lowers it."""
    k = Phi.shape[1]
    s = m_scale(y - Phi @ beta, k)
    for _ in range(S_STEPS):
        u = (y - Phi @ beta) / (S_TUNING * s)
        root = np.where(np.abs(u) < 1.0, 1.0 - u * u, 0.0)  # sqrt of the biweight weight
        step = np.linalg.lstsq(Phi * root[:, None], y * root, rcond=None)[0]
        scale = m_scale(y - Phi @ step, k)
        if not scale < s * (1.0 - 1e-12):
            break
        beta, s = step, scale
    return s


def sampler_start(Phi, y, seed):
    """The tournament sampler's fit (estimator's defaults) of the residuals of least
    squares, standardised by their median and MAD, on at most SAMPLER_ROWS samples drawn
    from the seed; returned in units of y, as a start of the S-estimate."""
    base = np.linalg.lstsq(Phi, y, rcond=None)[0]
    r = y - Phi @ base
    loc, s = float(np.median(r)), zarn.mad(r)
    s = s if s > 0.0 else 1.0
    rows = np.arange(y.size)
    if y.size > SAMPLER_ROWS:
        rng = np.random.default_rng(seed)
        rows = np.sort(rng.choice(y.size, SAMPLER_ROWS, replace=False))
    fit = zarn.TournamentMCMC(seed=seed).fit(Phi[rows], (r[rows] - loc) / s)
    coef = base + np.asarray(fit.beta_mcmc) * s
    coef[0] += loc
    return coef


def sampler_sets(seeds):
    """(name, design, y, seed) of the accuracy benchmark's cubics, engel (degrees 2 and 3)
    and stackloss (degree 1), each for every seed."""
    import statsmodels.api as sm

    def design(x, degree=3):
        return np.column_stack([np.ones(x.size), mapped(x, x.min(), x.max(), degree)])

    for noise, levels in ((NOISE, LEVELS), (HARD_NOISE, (0.3, 0.45))):
        for side in SIDES:
            for level in levels:
                for seed in seeds:
                    x, y, _ = cubic(seed, level, side, noise=noise)
                    yield f"cubics, noise {noise}", design(x), y, seed
    data = sm.datasets.engel.load_pandas().data
    x, y = data["income"].to_numpy(float), data["foodexp"].to_numpy(float)
    for degree in (2, 3):
        for seed in seeds:
            yield "engel", design(x, degree), y, seed
    data = sm.datasets.stackloss.load_pandas().data
    X = data[["AIRFLOW", "WATERTEMP", "ACIDCONC"]].to_numpy(float)
    X = (2.0 * X - X.min(0) - X.max(0)) / (X.max(0) - X.min(0))
    for seed in seeds:
        yield (
            "stackloss",
            np.column_stack([np.ones(len(X)), X]),
            data["STACKLOSS"].to_numpy(float),
            seed,
        )


def sampler_wins(seeds):
    """Per group of data sets: fits, wins of the sampler's start, and the check that the
    S-scale of these reweighting steps from the engine's own fit is the engine's."""
    from zarn._robust_engine import fit_one

    rows = {}
    for name, Phi, y, seed in sampler_sets(seeds):
        engine = fit_one(Phi, y, seed=seed)
        sampler = s_refined(Phi, y, sampler_start(Phi, y, seed))
        check = s_refined(Phi, y, engine.coef) / engine.s_scale
        row = rows.setdefault(name, dict(fits=0, wins=0, check=[]))
        row["fits"] += 1
        row["wins"] += int(sampler < (1.0 - WIN_MARGIN) * engine.s_scale)
        row["check"].append(check)
    return rows


# ---------------------------------------------------------- target 3: several features

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
    parser.add_argument(
        "--part",
        choices=("all", "accuracy", "sampler", "time"),
        default="all",
        help="sections to run",
    )
    parser.add_argument(
        "--quick",
        action="store_true",
        help=f"a short run (5 seeds, 2 rounds, n and series up to {QUICK_LARGEST:,}); prints only",
    )
    parser.add_argument("--no-write", action="store_true", help="print only")
    args = parser.parse_args()
    if args.quick:
        args.seeds, args.rounds, args.no_write = min(args.seeds, 5), 2, True
    warnings.simplefilter("ignore")  # peers' convergence warnings (Huber, TheilSen)
    from run import machine

    lines = machine()
    print("\n".join(lines), flush=True)
    if args.part in ("all", "accuracy"):
        start = time.perf_counter()
        out = accuracy_part(args, lines)
        out += ["", f"Total run time {time.perf_counter() - start:.0f} s."]
        _write(args, "Robust fits", out)
    if args.part in ("all", "sampler"):
        _write(args, "Robust fit sampler start", sampler_part(args))
    if args.part in ("all", "time"):
        start = time.perf_counter()
        out = time_part(args, lines)
        out += ["", f"Total run time {time.perf_counter() - start:.0f} s."]
        _write(args, "Robust fit time", out)


def _write(args, label, out):
    print("\n".join(out))
    if not args.no_write:
        write_section(HERE / "RESULTS.md", "bench/bench_robust.py", label, "\n".join(out))


def accuracy_part(args, lines):
    """Sections 1 to 3: accuracy against the peers, real data, several features."""
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
    return report(
        args, lines, means, clean_share, co2, stack, (engel, lmrob_seeds), huber, several, hard
    )


def sampler_part(args):
    """How often the tournament sampler's start would lower the engine's S-scale."""
    rows = sampler_wins(range(args.seeds))
    out = [
        "## The tournament sampler's start",
        "",
        f"Run {datetime.date.today().isoformat()}: `bench/bench_robust.py --part sampler "
        f"--seeds {args.seeds}`. For each data set, the engine's S-scale "
        "(`zarn._robust_engine.fit_one(...).s_scale`) against the S-scale reached by "
        "reweighting steps (Tukey's biweight, 50 % breakdown, each kept while it lowers the "
        "M-scale) from the tournament sampler's fit (the estimator's default settings) of "
        f"the standardised least-squares residuals, on at most {SAMPLER_ROWS} samples drawn "
        "from the seed. The sampler's start wins where its S-scale is lower by more than "
        f"{WIN_MARGIN:.1%}. Check: the same steps from the engine's own fit give back the "
        "engine's S-scale (the median ratio).",
        "",
        "| data sets | fits | the sampler's start wins | check |",
        "|---|---|---|---|",
    ]
    for name, row in rows.items():
        out.append(f"| {name} | {row['fits']} | {row['wins']} | {np.median(row['check']):.6f} |")
    fits = sum(r["fits"] for r in rows.values())
    wins = sum(r["wins"] for r in rows.values())
    return out + ["", f"In all, the sampler's start wins in {wins} of {fits} fits."]


def time_part(args, lines):
    """One fit on one thread against every peer, and many series; the two figures."""
    from threadpoolctl import threadpool_limits

    largest = QUICK_LARGEST if args.quick else max(n for n, _ in ONE_FIT)
    cases = [(n, f) for n, f in ONE_FIT if n <= largest]
    with threadpool_limits(1):  # OpenMP (the engine's) and BLAS: one thread for every side
        lines = [*lines, "one-fit thread pools: " + _pools()]
        one = one_fit_times(cases, args.rounds)
    counts = [m for m in SERIES_COUNTS if m <= largest]
    many = many_times(counts, many_rounds(args))
    if not args.no_write:
        scaling_figure(one, HERE / "robust_scaling.png")
        many_figure(many, HERE / "robust_many.png")
    return report_time(args, lines, one, many)


def many_rounds(args):
    """Rounds of the many-series timing: fewer than one fit's, whose calls take longer."""
    return max(2, (args.rounds + 1) // 2)


def _pools():
    from threadpoolctl import threadpool_info

    return "; ".join(f"{i['internal_api']} {i['num_threads']}" for i in threadpool_info())


def report(args, lines, means, clean_share, co2, stack, engel_case_, huber, several, hard):
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
        "| outliers | " + " | ".join(names) + " | zarn / RANSAC | zarn / lmrob | zarn / LS "
        f"| RANSAC trials (of {RANSAC_MAX_TRIALS}) |",
        "|---" * (len(names) + 5) + "|",
    ]
    out += _accuracy_rows(means, names)
    out += [
        "",
        f"Clean data (0 %): {100 * clean_share:.2f} % of the points flagged on average.",
        "",
        f"Outliers closer to the curve (noise sd {HARD_NOISE}: displaced by 4 to 30 noise "
        "deviations):",
        "",
        "| outliers | " + " | ".join(names) + " | zarn / RANSAC | zarn / lmrob | zarn / LS "
        f"| RANSAC trials (of {RANSAC_MAX_TRIALS}) |",
        "|---" * (len(names) + 5) + "|",
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
            f"### 3. Several features: flags against robustbase ({args.seeds} seeds, degree 1)",
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
    return out


def _accuracy_rows(means, names):
    out = []
    for (side, level), row in means.items():
        cells = " | ".join(f"{row[k]:.4f}" for k in names)
        lm = f"{row['zarn robust'] / row['lmrob']:.3f}" if "lmrob" in row else "-"
        out.append(
            f"| {level:.0%} {side} | {cells} | {row['zarn robust'] / row['RANSAC']:.3f} | {lm} "
            f"| {row['zarn robust'] / row['least squares']:.3f} | {row['RANSAC trials']:.0f} |"
        )
    return out


if __name__ == "__main__":
    main()
