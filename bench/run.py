"""Every benchmark of zarn in one process, against its peers; writes its section of
RESULTS.md and scaling.png beside this file.

    .venv/bin/pip install '.[bench]' && .venv/bin/python bench/run.py [--label NAME] [--append]

The run goes into the section of RESULTS.md named by ``--label`` (see _results.py): a
section of that label from an earlier run is replaced where it stands, a new label is added
after this script's other sections, and ``--append`` adds the run as a further section even
when its label is taken. Every other part of the file is left as it was.
"""

import argparse
import os
import pathlib
import platform
import statistics
import sys
import time

import numpy as np

import bench_bases
import bench_fitting
import bench_sampler
from _results import write_section
from _timing import format_seconds, run_cases
from zarn import zarn_core as zc

HERE = pathlib.Path(__file__).resolve().parent


def numpy_mad(y):
    return float(np.median(np.abs(y - np.median(y))))


def numpy_sr(yp, yt, eps):
    return max(np.count_nonzero(np.abs(yp - yt) < eps) / yt.size, 1 / (2 * yt.size))


def numpy_mdl(yp, yt, k, H=20):
    m = numpy_mad(yt)
    n = yt.size
    sr = numpy_sr(yp, yt, 0.4 * m if m > 0 else 0.4)
    return -n * np.log(sr) + (k * np.log(2 * H) / n) * k


def score_cases():
    rng = np.random.default_rng(1)
    out = []
    for n in (1000, 100_000):
        y = rng.normal(size=n)
        yp = y + rng.normal(scale=0.3, size=n)
        out += [
            dict(
                name="mad",
                sizes=f"n={n}",
                native=lambda y=y: zc.mad(y),
                peer=lambda y=y: numpy_mad(y),
                peer_name="numpy.median route",
            ),
            dict(
                name="compute_sr",
                sizes=f"n={n}",
                native=lambda a=yp, b=y: zc.compute_sr(a, b, 0.3),
                peer=lambda a=yp, b=y: numpy_sr(a, b, 0.3),
                peer_name="NumPy",
            ),
            dict(
                name="mdl_score",
                sizes=f"n={n}",
                native=lambda a=yp, b=y: zc.mdl_score(a, b, 6),
                peer=lambda a=yp, b=y: numpy_mdl(a, b, 6),
                peer_name="NumPy",
            ),
        ]
    return out


def overhead_cases():
    """The smallest sensible calls (n = 8) against a bare pybind11 call: reading a
    property of a result object, which converts nothing and computes nothing."""
    y = np.linspace(0.0, 1.0, 8)
    X = zc.design_matrix_1d(2, y)
    g = zc.gibbs_entropy(y)
    bare = lambda: g.H  # noqa: E731
    calls = {
        "mad": lambda: zc.mad(y),
        "compute_sr": lambda: zc.compute_sr(y, y, 0.1),
        "mdl_score": lambda: zc.mdl_score(y, y, 3),
        "mdl_score_reg": lambda: zc.mdl_score_reg(y, y, 3, 20, y[:3], X[:3], X[:3], 0.1, 0.1),
        "design_matrix_1d": lambda: zc.design_matrix_1d(2, y),
        "ols": lambda: zc.ols(X, y),
        "fit_regularized_linear": lambda: zc.fit_regularized_linear(X, y),
        "gibbs_entropy": lambda: zc.gibbs_entropy(y),
    }
    return [
        dict(
            name=f"call overhead {k}",
            sizes="n=8",
            native=f,
            peer=bare,
            peer_name="bare pybind11 call",
        )
        for k, f in calls.items()
    ]


def machine():
    cpu = "unknown"
    if os.path.exists("/proc/cpuinfo"):
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    try:
        from threadpoolctl import threadpool_info

        blas = "; ".join(
            f"{i['internal_api']} {i.get('version')} {i.get('architecture', '')} "
            f"({i['num_threads']} threads)"
            for i in threadpool_info()
        )
    except ImportError:
        blas = "threadpoolctl not installed"
    env = {k: v for k, v in os.environ.items() if k.startswith(("OPENBLAS", "OMP"))}
    return [
        f"CPU: {cpu}; {os.cpu_count()} cores; {platform.platform()}",
        f"Python {platform.python_version()}, NumPy {np.__version__}; thread pools: {blas}",
        f"environment: {env or 'no OPENBLAS_/OMP_ variables'}",
    ]


def scaling_plot(path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    cfg = dict(bench_sampler.SHORT)
    rng = np.random.default_rng(3)

    def timed(fn, reps=3):
        ts = []
        for _ in range(reps):
            t0 = time.perf_counter()
            fn()
            ts.append(time.perf_counter() - t0)
        return statistics.median(ts)

    def pair(X, y):
        s = zc.TournamentMCMC(**cfg)
        s.fit(X, y)
        # Medians of several calls: a single millisecond-long fit is at the mercy of the VM.
        return timed(lambda: s.fit(X, y), 11), timed(
            lambda: bench_sampler.numpy_tournament(X, y, **cfg)
        )

    ns = [200, 1000, 5000, 20_000, 100_000]
    by_n = [
        pair(zc.design_matrix_1d(5, x), np.sin(3 * x)) for x in (rng.uniform(-1, 1, n) for n in ns)
    ]
    ks = [2, 4, 6, 8, 10, 12]
    x = rng.uniform(-1, 1, 1000)
    by_k = [pair(zc.design_matrix_1d(k - 1, x), np.sin(3 * x)) for k in ks]
    fig, axes = plt.subplots(1, 2, figsize=(10, 4))
    for ax, xs, data, label in (
        (axes[0], ns, by_n, "n (k = 6)"),
        (axes[1], ks, by_k, "k (n = 1000)"),
    ):
        ax.loglog(xs, [d[0] for d in data], "o-", label="zarn")
        ax.loglog(xs, [d[1] for d in data], "s-", label="NumPy")
        ax.set(xlabel=label, ylabel="fit time [s]")
        ax.legend()
    fig.suptitle("TournamentMCMC.fit, n_warmup=50, n_deep=500")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    return by_n, by_k


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--label", default="default portable build")
    parser.add_argument("--out", default=str(HERE / "RESULTS.md"))
    parser.add_argument(
        "--append",
        action="store_true",
        help="add this run as a new section, keeping an earlier one of the same label",
    )
    parser.add_argument("--no-plot", action="store_true")
    parser.add_argument(
        "--rounds", type=int, default=9, help="interleaved rounds per case; the median is reported"
    )
    args = parser.parse_args()
    start = time.perf_counter()
    lines = machine()
    print("\n".join(lines), flush=True)
    for c in bench_sampler.cases():  # first fits of a process: wake the second core
        c["native"]()
    rows = run_cases(
        bench_bases.cases() + bench_fitting.cases() + score_cases() + overhead_cases(),
        repeats=args.rounds,
    )
    rows += run_cases(bench_sampler.cases(), repeats=args.rounds)
    bound_rows = []
    for row, (n, _) in zip(rows[-len(bench_sampler._SPECS) :], bench_sampler._SPECS):
        evals = bench_sampler.evaluations(bench_sampler._config(n))
        X, y = bench_sampler.poly_data(n)
        bound = statistics.median(
            bench_sampler.batched_bound(X, y, evals) for _ in range(args.rounds)
        )
        bound_rows.append((row, evals, bound))
    warm = bench_sampler.warm_up_speedup()

    out = [f"## {args.label}", "", *[f"- {line}" for line in lines], ""]
    out += ["| case | sizes | zarn | peer | peer time | peer/zarn |", "|---|---|---|---|---|---|"]
    for r in rows:
        out.append(
            f"| {r['name']} | {r['sizes']} | {format_seconds(r['t_native'])} | "
            f"{r['peer_name']} | {format_seconds(r['t_peer'])} | {r['ratio']:.2f} |"
        )
    out += [
        "",
        "Sampler against the batched lower bound (the same number of n x k products "
        "and passes over n values, done as batched NumPy/BLAS operations):",
        "",
        "| case | sizes | ns per evaluation | bound ns | zarn/bound |",
        "|---|---|---|---|---|",
    ]
    for r, evals, bound in bound_rows:
        out.append(
            f"| {r['name']} | {r['sizes']} | {r['t_native'] / evals * 1e9:.0f} | "
            f"{bound / evals * 1e9:.0f} | {r['t_native'] / bound:.2f} |"
        )
    out += [
        "",
        f"Warm-up (n = 1000, defaults, n_deep = 0): 1 thread {warm[1] * 1e3:.2f} ms, "
        f"2 threads {warm[2] * 1e3:.2f} ms, speed-up {warm[1] / warm[2]:.2f}x",
        "",
    ]
    if not args.no_plot:
        scaling_plot(HERE / "scaling.png")
        out += ["Scaling: `scaling.png`.", ""]
    command = " ".join([sys.executable, *sys.argv])
    out += [f"Run time {time.perf_counter() - start:.0f} s: `{command}`", ""]
    write_section(pathlib.Path(args.out), "bench/run.py", args.label, "\n".join(out), args.append)
    print("\n".join(out))


if __name__ == "__main__":
    main()
