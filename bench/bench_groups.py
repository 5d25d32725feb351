"""fit_groups against loops over the groups: one fit per group, each on its own positions.

Long-format data as sensors send them: G groups (default 10,000) of 50 samples each at
their own random positions, interleaved (sorted by time, not by group), degree 2, with
5 % gross outliers. Each side starts from the same three arrays (positions, values,
group labels), so the loops pay for splitting the samples into groups, as a user's loop
would:

- ``"ols"``: ``zarn.fit_groups`` against a loop of ``numpy.polynomial.Polynomial.fit``
  and against a loop of ``PolynomialRegressor.fit``;
- ``"penalized"`` (a fixed curvature weight) and ``"robust"``: against a loop of the
  estimator;
- for reference, pandas' ``DataFrame.groupby(...).apply`` with the estimator (``"ols"``).

Times are medians of interleaved rounds (bench/_timing.py); ratios are peer time / zarn
time (above 1: zarn is faster). The agreement of each method's coefficients with the
estimator loop's (largest difference relative to each group's largest coefficient, and
for robust fits the groups equal bit for bit) is printed with the table. With ``--write``
the table goes into this script's section of RESULTS.md beside this file
(bench/_results.py).

    .venv/bin/python bench/bench_groups.py [--groups 10000] [--rounds 3] [--write]
"""

import argparse
import os
import pathlib
import sys
import warnings

import numpy as np

import zarn
from _results import write_section
from _timing import format_seconds, run_cases

HERE = pathlib.Path(__file__).resolve().parent
SAMPLES = 50  # per group
DEGREE = 2
MODELS = {
    "ols": zarn.PolynomialRegressor(degree=DEGREE, method="ols"),
    "penalized": zarn.PolynomialRegressor(degree=DEGREE, method="penalized", gamma2=1e-3),
    "robust": zarn.PolynomialRegressor(degree=DEGREE, method="robust"),
}


def data(n_groups, seed=0):
    """Positions, values and labels of n_groups sensors, interleaved in time order."""
    rng = np.random.default_rng(seed)
    labels = np.repeat(np.arange(n_groups), SAMPLES)
    t = rng.uniform(0.0, 100.0, labels.size)
    slope = rng.normal(0.0, 0.05, n_groups)[labels]
    y = 20.0 + slope * t - 1e-4 * (t - 50.0) ** 2 + rng.normal(0.0, 0.2, t.size)
    bad = rng.random(t.size) < 0.05
    y[bad] += rng.uniform(5.0, 20.0, bad.sum())
    order = np.argsort(t)
    return t[order], y[order], labels[order]


def split(t, y, labels):
    """Each group's positions and values, in their order, as a loop over groups needs."""
    order = np.argsort(labels, kind="stable")
    cuts = np.flatnonzero(np.diff(labels[order])) + 1
    return zip(np.split(t[order], cuts), np.split(y[order], cuts))


def polyfit_loop(t, y, labels):
    return [np.polynomial.Polynomial.fit(a, b, DEGREE) for a, b in split(t, y, labels)]


def estimator_loop(model, t, y, labels):
    params = model.get_params()
    fits = [zarn.PolynomialRegressor(**params).fit(a[:, None], b) for a, b in split(t, y, labels)]
    return np.array([fit.coef_ for fit in fits])


def pandas_apply(model, frame):
    params = model.get_params()

    def one(part):
        return zarn.PolynomialRegressor(**params).fit(part[["t"]].to_numpy(), part["y"]).coef_

    return frame.groupby("sensor")[["t", "y"]].apply(one)


def agreement(t, y, labels):
    """Lines on how each method's fit_groups agrees with its estimator loop."""
    lines = []
    for name, model in MODELS.items():
        got = zarn.fit_groups(t, y, labels, model).coef
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            want = estimator_loop(model, t, y, labels)
        rel = np.abs(got - want).max(axis=1) / np.abs(want).max(axis=1)
        same = int((got == want).all(axis=1).sum())
        lines.append(
            f"- {name}: largest difference {rel.max():.1e} of the group's largest coefficient; "
            f"{same:,} of {len(want):,} groups equal bit for bit"
        )
    return lines


def cases(t, y, labels, frame):
    n_groups = len(np.unique(labels))
    sizes = f"{n_groups:,} groups x {SAMPLES}"
    out = [
        {
            "name": "ols",
            "sizes": sizes,
            "native": lambda: zarn.fit_groups(t, y, labels, MODELS["ols"]),
            "peer": lambda: polyfit_loop(t, y, labels),
            "peer_name": "loop of Polynomial.fit",
        }
    ]
    for name, model in MODELS.items():
        out.append(
            {
                "name": name,
                "sizes": sizes,
                "native": lambda model=model: zarn.fit_groups(t, y, labels, model),
                "peer": lambda model=model: estimator_loop(model, t, y, labels),
                "peer_name": "loop of PolynomialRegressor.fit",
            }
        )
    if frame is not None:
        out.append(
            {
                "name": "ols",
                "sizes": sizes,
                "native": lambda: zarn.fit_groups(
                    frame, x="t", y="y", by="sensor", model=MODELS["ols"]
                ),
                "peer": lambda: pandas_apply(MODELS["ols"], frame),
                "peer_name": "pandas groupby.apply of the estimator",
            }
        )
    return out


def load_average():
    """The machine's load averages over 1, 5 and 15 minutes."""
    return " ".join(f"{v:.2f}" for v in os.getloadavg())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--groups", type=int, default=10_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--write", action="store_true")
    parser.add_argument("--label", default="fit_groups")
    args = parser.parse_args()
    load = load_average()
    t, y, labels = data(args.groups)
    try:
        import pandas as pd
    except ImportError:
        frame = None
    else:
        frame = pd.DataFrame({"sensor": labels, "t": t, "y": y})
    notes = agreement(t, y, labels)
    print("\n".join(notes))
    rows = run_cases(cases(t, y, labels, frame), repeats=args.rounds)
    lines = [
        "| method | zarn.fit_groups | peer | peer time | peer / zarn |",
        "|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(
            f"| {r['name']} | {format_seconds(r['t_native'])} | {r['peer_name']} | "
            f"{format_seconds(r['t_peer'])} | {r['ratio']:.1f} |"
        )
    table = "\n".join(lines)
    print(table)
    if args.write:
        command = " ".join(["python", "bench/bench_groups.py", *sys.argv[1:]])
        body = (
            f"## fit_groups: one fit per group on its own positions ({args.label})\n\n"
            f"{args.groups:,} groups of {SAMPLES} samples at their own positions, "
            f"interleaved, degree {DEGREE}, 5 % gross outliers; medians of {args.rounds} "
            f"interleaved rounds (`{command}`), load average {load} at the start and "
            f"{load_average()} at the end. Agreement with "
            "the estimator loop:\n\n" + "\n".join(notes) + f"\n\n{table}"
        )
        write_section(HERE / "RESULTS.md", "bench/bench_groups.py", args.label, body)


if __name__ == "__main__":
    main()
