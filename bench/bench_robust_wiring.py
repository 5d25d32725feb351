"""The estimator's robust method on its own: model choice among robust fits, one fit
against RANSAC.

1. ``compare_models`` with robust candidates: degrees 0 to 10, n = 1,000, a cubic with
   noise 0.1 and 20 % outliers (y + U(-5, 5)), ranked by the robust BIC; against the same
   call with ``"ols"`` candidates (the floor of the candidates' bookkeeping).
2. One fit at n = 400 (clean and 25 % outliers, the same cubic):
   ``PolynomialRegressor(3, method="robust").fit`` against scikit-learn's RANSAC with its
   defaults on precomputed features; the number of RANSAC's trials says whether it
   stopped early (of its 100).

Medians of interleaved rounds (bench/_timing.py), one thread. The run prints its rows and,
without ``--no-write``, puts them into its section of RESULTS.md beside this file.

    OMP_NUM_THREADS=1 PYTHONPATH=. .venv/bin/python bench/bench_robust_wiring.py [--rounds 5]
"""

import argparse
import datetime
import pathlib
import sys

import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import zarn  # noqa: E402
from _results import write_section  # noqa: E402
from _timing import format_seconds, run_cases  # noqa: E402

TRUTH = np.array([1.0, -2.0, 0.5, 3.0])


def cubic(n, fraction, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1.0, 1.0, n)
    y = np.vander(x, 4, increasing=True) @ TRUTH + 0.1 * rng.standard_normal(n)
    bad = rng.random(n) < fraction
    y[bad] += rng.uniform(-5.0, 5.0, bad.sum())
    return x, y


def cases():
    from sklearn.linear_model import RANSACRegressor

    x, y = cubic(1000, 0.2)
    rows = [
        dict(
            name="compare_models, degrees 0..10",
            sizes="n = 1,000, 20 % outliers",
            native=lambda: zarn.compare_models(x, y, methods="robust"),
            peer=lambda: zarn.compare_models(x, y, methods="ols"),
            peer_name='the same with "ols"',
        )
    ]
    trials = {}
    for fraction in (0.0, 0.25):
        x4, y4 = cubic(400, fraction)
        features = np.vander(x4, 4, increasing=True)[:, 1:]
        model = zarn.PolynomialRegressor(3, method="robust")
        ransac = lambda f=features, y=y4: RANSACRegressor(random_state=0).fit(f, y)  # noqa: E731
        trials[fraction] = ransac().n_trials_
        rows.append(
            dict(
                name="one fit",
                sizes=f"n = 400, {fraction:.0%} outliers",
                native=lambda m=model, x=x4, y=y4: m.fit(x[:, None], y),
                peer=ransac,
                peer_name="RANSAC",
            )
        )
    return rows, trials


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()
    rows, trials = cases()
    results = run_cases(rows, repeats=args.rounds)
    lines = [
        f"Run {datetime.date.today()}: `OMP_NUM_THREADS=1 bench/bench_robust_wiring.py "
        f"--rounds {args.rounds}` (medians of interleaved rounds).",
        "",
        "| case | data | zarn robust | peer | peer time | peer / zarn |",
        "|---|---|---|---|---|---|",
    ]
    for r in results:
        lines.append(
            f"| {r['name']} | {r['sizes']} | {format_seconds(r['t_native'])} | "
            f"{r['peer_name']} | {format_seconds(r['t_peer'])} | {r['ratio']:.2f} |"
        )
    lines.append("")
    lines.append(
        "RANSAC's trials (of 100): "
        + ", ".join(f"{f:.0%} outliers: {t}" for f, t in trials.items())
        + "."
    )
    body = "\n".join(lines)
    print(body)
    if not args.no_write:
        write_section(HERE / "RESULTS.md", "bench/bench_robust_wiring.py", "Robust method", body)


if __name__ == "__main__":
    main()
