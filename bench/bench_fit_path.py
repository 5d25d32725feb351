"""The estimator's fit path against numpy's Polynomial.fit: degree 3, one feature, one thread.

``PolynomialRegressor(degree=3, method=m).fit(x[:, None], y)`` for m = "ols" and
"penalized" (no penalty weight, so both fit the same curve), against
``numpy.polynomial.Polynomial.fit(x, y, 3)``, which maps x onto [-1, 1] as the estimator
does, at n = 100, 1e3, 1e5 and 1e6. Times are medians of interleaved rounds
(bench/_timing.py), on one thread (OMP_NUM_THREADS=1 and threadpoolctl). Ratios are
peer time / zarn time: above 1, zarn is faster. Prints a Markdown table; with ``--write``
it also writes it to this script's section ``--label`` of RESULTS.md beside this file
(bench/_results.py), replacing that section of an earlier run.

    OMP_NUM_THREADS=1 .venv/bin/python bench/bench_fit_path.py [--rounds 7] [--write --label L]
"""

import argparse
import os
import pathlib

os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from threadpoolctl import threadpool_limits  # noqa: E402

import zarn  # noqa: E402
from _results import write_section  # noqa: E402
from _timing import format_seconds, run_cases  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent
SIZES = (100, 1_000, 100_000, 1_000_000)
DEGREE = 3


def cases():
    out = []
    for n in SIZES:
        rng = np.random.default_rng(n)
        x = rng.uniform(-3.0, 5.0, n)
        y = 1.0 + 0.5 * x - 0.2 * x**3 + rng.normal(0.0, 0.3, n)
        X = x[:, None]
        for method in ("ols", "penalized"):
            model = zarn.PolynomialRegressor(degree=DEGREE, method=method)
            out.append(
                {
                    "name": f'fit "{method}"',
                    "sizes": f"n = {n:,}",
                    "native": lambda model=model, X=X, y=y: model.fit(X, y),
                    "peer": lambda x=x, y=y: np.polynomial.Polynomial.fit(x, y, DEGREE),
                    "peer_name": "Polynomial.fit",
                }
            )
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--write", action="store_true")
    parser.add_argument("--label", default="fit path")
    args = parser.parse_args()
    with threadpool_limits(limits=1):
        rows = run_cases(cases(), repeats=args.rounds)
    lines = [
        "| fit | n | zarn | Polynomial.fit | Polynomial.fit / zarn |",
        "|---|---|---|---|---|",
    ]
    for r in rows:
        lines.append(
            f"| {r['name']} | {r['sizes'][4:]} | {format_seconds(r['t_native'])} | "
            f"{format_seconds(r['t_peer'])} | {r['ratio']:.2f} |"
        )
    table = "\n".join(lines)
    print(table)
    if args.write:
        body = f"## Fit path against Polynomial.fit ({args.label})\n\n{table}"
        write_section(HERE / "RESULTS.md", "bench/bench_fit_path.py", args.label, body)


if __name__ == "__main__":
    main()
