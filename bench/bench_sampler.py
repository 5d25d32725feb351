"""Benchmark of TournamentMCMC.fit against a NumPy implementation of the same algorithm.

Run:  .venv/bin/python bench/bench_sampler.py

Each case fits a noisy degree-5 polynomial (k = 6 coefficients) with and without the
slope and curvature penalties. The NumPy sampler runs the warm-up chains as one batch
(one n x n_chains matrix product per step) and the deep phase step by step, as the
algorithm requires. Besides the times and their ratio the run prints the native cost per
energy evaluation, a batched lower bound for the same evaluations (the same number of
n x k products and passes over n values, done in large NumPy batches), and the warm-up
speed-up from one to two threads.
"""

import math
import os
import statistics
import subprocess
import sys
import textwrap
import time

import numpy as np

from _timing import run_cases
from zarn import zarn_core

DEFAULTS = dict(
    n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05, H_piH=20, seed=42
)
# At n = 10,000 both sides run shorter chains, to keep the NumPy side brief.
SHORT = dict(DEFAULTS, n_warmup=50, n_deep=500)
REPEATS = 3
# Both sides run thread pools on the same two cores (OpenMP here, OpenBLAS in NumPy) whose
# idle threads spin for a while; a pause before each timing lets them go to sleep.
PAUSE = 0.1


def poly_data(n, seed=0):
    rng = np.random.default_rng(seed)
    x = np.linspace(-1.0, 1.0, n)
    X = np.vander(x, 6, increasing=True)
    y = 1.0 + 2.0 * x - x**3 + 0.5 * x**5 + 0.05 * rng.standard_normal(n)
    return X, y


def penalties(k=6, m=600):
    """Grid averages of the squared first and second derivatives of the monomials."""
    x = np.linspace(-1.0, 1.0, m)
    p = np.arange(k)
    D1 = p * x[:, None] ** np.maximum(p - 1, 0)
    D2 = p * (p - 1) * x[:, None] ** np.maximum(p - 2, 0)
    return D1.T @ D1 / m, D2.T @ D2 / m


def evaluations(cfg):
    elite = min(max(cfg["n_elite"], 1), cfg["n_chains"])
    return cfg["n_chains"] * (1 + cfg["n_warmup"]) + elite * cfg["n_deep"]


def numpy_tournament(
    X,
    y,
    R1=None,
    R2=None,
    gamma1=0.0,
    gamma2=0.0,
    n_chains=25,
    n_warmup=200,
    n_deep=2000,
    n_elite=5,
    step_size=0.05,
    H_piH=20,
    seed=42,
):
    """The tournament sampler in NumPy, with NumPy's own random streams."""
    n, k = X.shape
    mad = np.median(np.abs(y - np.median(y)))
    eps = 0.4 * mad if mad > 0.0 else 0.4
    cost = (k * math.log(2.0 * H_piH) / n) * k if k > 0 else 0.0
    floor = 1.0 / (2.0 * n)
    pens = [(g, R) for R, g in ((R1, gamma1), (R2, gamma2)) if R is not None and g != 0.0]

    def batch_energies(B):
        hits = np.count_nonzero(np.abs(X @ B.T - y[:, None]) < eps, axis=0)
        E = -n * np.log(np.maximum(hits / n, floor)) + cost
        for g, R in pens:
            E += g * np.einsum("ij,jk,ik->i", B, R, B)
        return E

    def energy(b):
        hits = np.count_nonzero(np.abs(X @ b - y) < eps)
        E = -n * math.log(max(hits / n, floor)) + cost
        for g, R in pens:
            E += g * float(b @ (R @ b))
        return E

    rng = np.random.default_rng(seed)
    B = rng.normal(0.0, 0.5, (n_chains, k))
    E = batch_energies(B)
    T = 2.0
    for _ in range(n_warmup):
        Bc = B + rng.normal(0.0, step_size, B.shape)
        Ec = batch_energies(Bc)
        q = (E - Ec) / T
        accept = (Ec < E) | (rng.random(n_chains) < np.exp(np.minimum(q, 0.0)))
        B[accept], E[accept] = Bc[accept], Ec[accept]
        T *= 0.995

    w = np.exp(-(E - E.min()) / (1.0 + 1e-300))
    p = w / w.sum()
    He = -np.sum(p * np.log(p + 1e-300)) / (math.log(max(n_chains, 2)) + 1e-300)
    r_heat = 0.01 + 0.99 * He

    order = np.argsort(E, kind="quicksort")
    B, E = B[order], E[order]
    elite = [0]
    for i in range(1, n_chains):
        if len(elite) >= n_elite:
            break
        if np.all(np.linalg.norm(B[elite] - B[i], axis=1) > 0.1):
            elite.append(i)
    elite += list(range(len(elite), n_chains))[: max(n_elite - len(elite), 0)]

    best_b, best_e = B[0].copy(), E[0]
    T = 0.5 * r_heat
    sd = 0.3 * step_size
    for ei, pos in enumerate(elite):
        r = np.random.default_rng(seed + 7777 + 13 * ei)
        b, e = B[pos].copy(), E[pos]
        for _ in range(n_deep):
            bc = b + r.normal(0.0, sd, k)
            ec = energy(bc)
            if ec < e or r.random() < math.exp(min((e - ec) / T, 0.0)):
                b, e = bc, ec
            if e < best_e:
                best_b, best_e = b.copy(), e
            T *= 0.9997
    return best_b, best_e


def batched_bound(X, y, evals, chunk=64):
    """The evaluations' products and passes over n values, done in batches of `chunk`."""
    n, k = X.shape
    B = np.random.default_rng(0).normal(0.0, 0.5, (k, chunk))
    Yp, mask = np.empty((n, chunk)), np.empty((n, chunk), dtype=bool)
    yc = y[:, None]
    t0 = time.perf_counter()
    for _ in range(-(-evals // chunk)):
        np.matmul(X, B, out=Yp)
        np.subtract(Yp, yc, out=Yp)
        np.abs(Yp, out=Yp)
        np.less(Yp, 0.1, out=mask)
        np.count_nonzero(mask, axis=0)
    return time.perf_counter() - t0


_SPECS = [(n, pen) for n in (200, 1000, 10000) for pen in (False, True)]


def _config(n):
    return SHORT if n >= 10000 else DEFAULTS


def cases():
    out = []
    R1, R2 = penalties()
    for n, pen in _SPECS:
        X, y = poly_data(n)
        cfg = _config(n)
        args = (R1, R2, 1e-3, 1e-4) if pen else ()
        sampler = zarn_core.TournamentMCMC(**cfg)
        out.append(
            dict(
                name="TournamentMCMC.fit" + (" penalised" if pen else ""),
                sizes=f"n={n} k=6" + ("" if cfg is DEFAULTS else " n_warmup=50 n_deep=500"),
                native=lambda s=sampler, X=X, y=y, a=args: s.fit(X, y, *a),
                peer=lambda X=X, y=y, a=args, c=cfg: numpy_tournament(X, y, *a, **c),
                peer_name="NumPy",
            )
        )
    return out


def warm_up_speedup(n=1000, warm=10, repeats=25):
    """Median warm-up time (n_deep = 0) with one and with two OpenMP threads.

    The first fits of a process are left out: on this virtual machine the second core
    takes several milliseconds to wake up after idling, which a parallel loop waits for.
    """
    script = textwrap.dedent(f"""
        import statistics, time, numpy as np
        from zarn import zarn_core
        x = np.linspace(-1.0, 1.0, {n})
        X = np.vander(x, 6, increasing=True)
        y = 1.0 + 2.0 * x - x**3 + 0.5 * x**5
        s = zarn_core.TournamentMCMC(n_deep=0)
        for _ in range({warm}):
            s.fit(X, y)
        ts = []
        for _ in range({repeats}):
            t0 = time.perf_counter(); s.fit(X, y); ts.append(time.perf_counter() - t0)
        print(statistics.median(ts))
    """)
    times = {}
    for threads in (1, 2):
        time.sleep(PAUSE)
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        run = subprocess.run(
            [sys.executable, "-c", script],
            env=env,
            capture_output=True,
            text=True,
            check=True,
            cwd=os.path.dirname(os.path.abspath(__file__)),
        )
        times[threads] = float(run.stdout)
    return times


def main():
    env = {k: v for k, v in os.environ.items() if k.startswith(("OPENBLAS", "OMP"))}
    print(f"numpy {np.__version__}; cpus {os.cpu_count()}; env {env}")
    for case in cases():  # first fits of a process: warm caches and wake the second core
        case["native"]()
    rows = run_cases(cases(), repeats=REPEATS, pause=PAUSE)
    print(f"{'case':28} {'sizes':34} {'ns/eval':>8} {'bound ns':>9} {'zarn/bound':>10}")
    for row, (n, _) in zip(rows, _SPECS):
        evals = evaluations(_config(n))
        X, y = poly_data(n)
        bound = statistics.median(batched_bound(X, y, evals) for _ in range(REPEATS))
        print(
            f"{row['name']:28} {row['sizes']:34} {row['t_native'] / evals * 1e9:8.0f}"
            f" {bound / evals * 1e9:9.0f} {row['t_native'] / bound:9.2f}x"
        )

    w = warm_up_speedup()
    print(
        f"warm-up (n=1000, defaults, n_deep=0): 1 thread {w[1] * 1e3:.2f} ms, "
        f"2 threads {w[2] * 1e3:.2f} ms, speed-up {w[1] / w[2]:.2f}x"
    )


if __name__ == "__main__":
    main()
