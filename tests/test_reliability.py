"""Behaviour under the ways real programs use the module: threads, fork, long sessions,
and requests at the edges of the integer range or beyond memory."""

import os
import threading

import numpy as np
import pytest

from zarn._native import zarn_core as zc

I32_MAX, I32_MIN = 2**31 - 1, -(2**31)


PROBES = [
    "zc.design_matrix_1d(I32_MAX, np.ones(10))",
    "zc.design_matrix_1d(I32_MAX - 1, np.ones(10))",
    "zc.design_matrix_1d(I32_MIN, np.ones(10))",
    "zc.smoothness_penalty_matrices_1d(I32_MAX, 0.0, 1.0)",
    "zc.smoothness_penalty_matrices_1d(200000, 0.0, 1.0, 2)",
    "zc.smoothness_penalty_matrices_1d(3, 0.0, 1.0, I32_MIN)",
    "zc.boundary_reduce_1d(I32_MAX, 0.0, 1.0)",
    "zc.boundary_reduce_1d(I32_MIN, 0.0, 1.0)",
    "zc.boundary_reduce_1d(200000, 0.0, 1.0)",
    "zc.design_matrix_nd([[1]], [np.ones(3)] * 0)",
    "zc.build_penalty_matrices_nd([I32_MAX], [(0.0, 1.0)])",
    "zc.build_penalty_matrices_nd([60, 60, 60], [(0.0, 1.0)] * 3)",
    "zc.build_penalty_matrices_nd([1] * 40, [(0.0, 1.0)] * 40, 2)",
    "zc.build_penalty_matrices_nd([1, 1, 1], [(0.0, 1.0)] * 3, I32_MAX)",
    "zc.build_penalty_matrices_nd([1, 1], [(0.0, 1.0)] * 2, I32_MIN)",
    "zc.build_penalty_matrices_nd([I32_MIN, 1], [(0.0, 1.0)] * 2)",
    "zc.TournamentMCMC(n_chains=I32_MIN).fit(np.ones((2, 1)), [1.0, 2.0])",
    "zc.TournamentMCMC(n_chains=I32_MAX, n_warmup=0, n_deep=0).fit(np.ones((2, 1)), [1.0, 2.0])",
    "zc.ols(np.ones((3, 2)), np.ones(4))",
    "zc.fit_regularized_linear(np.ones((3, 2)), np.ones(3), np.eye(3), None, 1.0)",
    "zc.fit_regularized_linear(np.full((3, 2), 1e200), np.ones(3))",
    "zc.fit_regularized_linear(np.ones((3, 200)), np.ones(3), None, None, 0.0, 0.0, np.nan)",
    "zc.fit_regularized_linear(np.ones((3, 200)), [1.0, np.inf, 1.0])",
    "zc.TournamentMCMC(n_chains=64).fit(np.full((2, 1), np.nan), [1.0, 2.0])",
    "zc.TournamentMCMC().fit(np.ones((2, 1)), [1.0, 2.0], np.eye(1), None, np.inf)",
]


@pytest.mark.slow  # a fresh interpreter per probe
@pytest.mark.parametrize("probe", PROBES)
def test_edge_of_range_requests_fail_cleanly(run_python, probe):
    proc = run_python(
        f"""
        import numpy as np
        from zarn._native import zarn_core as zc
        I32_MAX, I32_MIN = {I32_MAX}, {I32_MIN}
        try:
            {probe}
        except (ValueError, MemoryError) as e:
            print(type(e).__name__, e)
        else:
            print("returned")
        """,
        timeout=60,
    )
    assert proc.returncode == 0, f"crashed with {proc.returncode}: {proc.stderr[-2000:]}"
    kind = proc.stdout.split()[0]
    assert kind in ("ValueError", "MemoryError"), proc.stdout


def serial_and_threaded(calls, n_threads=8):
    serial = [call() for call in calls]
    results = [[None] * len(calls) for _ in range(n_threads)]
    errors = []

    def work(t):
        try:
            for i in range(len(calls)):
                j = (i + t) % len(calls)  # each thread walks the calls in another order
                results[t][j] = calls[j]()
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(n_threads)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    return serial, results


def flatten(value):
    if isinstance(value, (zc.GibbsResult,)):
        return [value.H, value.Hmax, value.He, value.r_heat, value.var_E, value.T]
    if isinstance(value, zc.MCMCResult):
        return [np.array(value.beta_mcmc), value.energy, flatten(value.gibbs), value.n_chains]
    if isinstance(value, tuple):
        return [flatten(v) for v in value]
    return value


def assert_same(a, b):
    a, b = flatten(a), flatten(b)
    if isinstance(a, list):
        assert len(a) == len(b)
        for x, y in zip(a, b):
            assert_same(x, y)
    else:
        np.testing.assert_array_equal(a, b)


def test_threads_get_the_serial_results():
    rng = np.random.default_rng(11)
    x = rng.uniform(-1, 1, 300)
    y = np.cos(3 * x) + rng.normal(scale=0.1, size=300)
    Phi = zc.design_matrix_1d(4, x)
    R1, R2 = zc.smoothness_penalty_matrices_1d(4, -1.0, 1.0, 100)
    beta = zc.ols(Phi, y)
    yp = Phi @ beta
    calls = [
        lambda: zc.mad(y),
        lambda: zc.compute_sr(yp, y, 0.1),
        lambda: zc.mdl_score(yp, y, 5),
        lambda: zc.mdl_score_reg(yp, y, 5, 20, beta, R1, R2, 0.1, 0.2),
        lambda: zc.design_matrix_1d(4, x),
        lambda: zc.smoothness_penalty_matrices_1d(4, -1.0, 1.0, 100),
        lambda: zc.boundary_reduce_1d(4, -1.0, 1.0),
        lambda: zc.design_matrix_nd([[0, 1], [2, 1]], [x, y]),
        lambda: zc.build_penalty_matrices_nd([2, 2], [(0.0, 1.0), (-1.0, 1.0)], 10),
        lambda: zc.ols(Phi, y),
        lambda: zc.fit_regularized_linear(Phi, y, R1, R2, 1e-3, 1e-3),
        lambda: zc.gibbs_entropy(y[:25]),
        lambda: zc.TournamentMCMC(n_chains=6, n_warmup=20, n_deep=50).fit(Phi, y, R1, R2, 1e-3),
    ]
    serial, threaded = serial_and_threaded(calls)
    for per_thread in threaded:
        for s, t in zip(serial, per_thread):
            assert_same(s, t)


FORK_SCRIPT = """
import multiprocessing as mp
import os
import numpy as np
from zarn._native import zarn_core as zc

rng = np.random.default_rng(4)
X = zc.design_matrix_1d(3, rng.uniform(-1, 1, 200))
y = X @ [0.5, -1.0, 0.3, 2.0] + rng.normal(scale=0.1, size=200)
sampler = zc.TournamentMCMC(n_chains=8, n_warmup=30, n_deep=100)

def fit_energy(_=None):
    r = sampler.fit(X, y)
    return r.energy, np.array(r.beta_mcmc).tobytes()

parent = fit_energy()  # the OpenMP worker team exists from here on

with mp.get_context("fork").Pool(1) as pool:
    assert pool.apply(fit_energy) == parent, "multiprocessing child differs"

read, write = os.pipe()
pid = os.fork()
if pid == 0:
    os.close(read)
    ok = fit_energy() == parent
    os.write(write, b"same" if ok else b"diff")
    os._exit(0)
os.close(write)
child = os.read(read, 16)
os.waitpid(pid, 0)
assert child == b"same", child
print("fork ok")
"""


# scikit-learn, imported first, sets KMP_INIT_AT_FORK=FALSE, which stops the OpenMP runtime
# from starting a fresh team in a forked child: without zarn's guard the child hangs.
@pytest.mark.parametrize("first", ["", "import sklearn"], ids=["alone", "after-sklearn"])
def test_fit_after_fork_matches_the_parent(run_python, first):
    proc = run_python(first + "\n" + FORK_SCRIPT, timeout=60)
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "fork ok" in proc.stdout


def rss_mib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer keeps freed memory in quarantine, so resident memory grows",
)
def test_long_sessions_keep_memory_flat():
    rng = np.random.default_rng(8)
    y = rng.normal(size=8)
    yp = y + 0.1
    X = zc.design_matrix_1d(2, rng.uniform(-1, 1, 50))
    z = X @ [1.0, 2.0, 3.0]
    sampler = zc.TournamentMCMC(n_chains=4, n_warmup=10, n_deep=20)

    def small_calls(count):
        for _ in range(count):
            zc.mad(y)
            zc.compute_sr(yp, y, 0.2)
            zc.mdl_score(yp, y, 3)
            zc.design_matrix_1d(3, y)
            zc.gibbs_entropy(y)

    def fits(count):
        for _ in range(count):
            result = sampler.fit(X, z)
            _ = result.beta_mcmc, result.gibbs  # each read makes a Python object

    small_calls(5_000)
    fits(20)
    before = rss_mib()
    small_calls(20_000)
    fits(200)
    after = rss_mib()
    assert after - before < 4.0, (before, after)
