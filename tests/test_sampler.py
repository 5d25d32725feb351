import gc
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from zarn import zarn_core

MASK64 = (1 << 64) - 1


class MT19937_64:
    """The published 64-bit Mersenne Twister (Matsumoto and Nishimura, 2004)."""

    N, M = 312, 156
    A = 0xB5026F5AA96619E9
    UPPER, LOWER = 0xFFFFFFFF80000000, 0x7FFFFFFF

    def __init__(self, seed):
        mt = [seed & MASK64]
        for i in range(1, self.N):
            mt.append((6364136223846793005 * (mt[-1] ^ (mt[-1] >> 62)) + i) & MASK64)
        self.mt, self.index = mt, self.N

    def __call__(self):
        mt, N = self.mt, self.N
        if self.index >= N:
            for i in range(N):
                x = (mt[i] & self.UPPER) | (mt[(i + 1) % N] & self.LOWER)
                mt[i] = mt[(i + self.M) % N] ^ (x >> 1) ^ (self.A if x & 1 else 0)
            self.index = 0
        x = mt[self.index]
        self.index += 1
        x ^= (x >> 29) & 0x5555555555555555
        x ^= (x << 17) & 0x71D67FFFEDA60000
        x ^= (x << 37) & 0xFFF7EEE000000000
        return x ^ (x >> 43)


def uniform(rng):
    u = float(rng()) * 2.0**-64
    return u if u < 1.0 else math.nextafter(1.0, 0.0)


class Normal:
    """Polar method with one spare per source."""

    def __init__(self, mean, sd):
        self.mean, self.sd, self.spare = mean, sd, None

    def __call__(self, rng):
        if self.spare is not None:
            z, self.spare = self.spare, None
            return self.mean + self.sd * z
        while True:
            x = 2.0 * uniform(rng) - 1.0
            y = 2.0 * uniform(rng) - 1.0
            s = x * x + y * y
            if not (s > 1.0 or s == 0.0):
                break
        m = math.sqrt(-2.0 * math.log(s) / s)
        self.spare = x * m
        return self.mean + self.sd * y * m


def prediction(X, b):
    """X b summed over the columns in order from 0.0, the order the sampler uses."""
    yp = np.zeros(X.shape[0])
    for j in range(X.shape[1]):
        yp += b[j] * X[:, j]
    return yp


def reference_fit(X, y, cfg, R1=None, R2=None, gamma1=0.0, gamma2=0.0):
    """The tournament algorithm written out in Python; energies from mdl_score_reg."""
    n_chains, n_warmup, n_deep, n_elite, step, H_piH, seed = cfg
    k = X.shape[1]
    zero = np.zeros((k, k))
    pen = (
        R1 if R1 is not None else zero,
        R2 if R2 is not None else zero,
        gamma1 if R1 is not None else 0.0,
        gamma2 if R2 is not None else 0.0,
    )

    def energy(b):
        return zarn_core.mdl_score_reg(prediction(X, b), y, k, H_piH, b, *pen)

    def metropolis(b, e, T, prop, rng):
        bc = np.array([bi + prop(rng) for bi in b])
        ec = energy(bc)
        if not ec < e:
            q = (e - ec) / T
            if not uniform(rng) < math.exp(q if q < 0.0 else 0.0):
                return b, e
        return bc, ec

    chains = []
    for c in range(n_chains):
        rng = MT19937_64(seed + 1000 * c)
        init, prop = Normal(0.0, 0.5), Normal(0.0, step)
        b = np.array([init(rng) for _ in range(k)])
        e, T = energy(b), 2.0
        for _ in range(n_warmup):
            b, e = metropolis(b, e, T, prop, rng)
            T = 0.995 * T
        chains.append((b, e))

    E = [e for _, e in chains]
    w = [math.exp(-(ei - min(E)) / (1.0 + 1e-300)) for ei in E]
    wsum = H = 0.0
    for wi in w:
        wsum += wi
    for wi in w:
        p = wi / wsum
        H -= p * math.log(p + 1e-300)
    r_heat = H / (math.log(max(n_chains, 2)) + 1e-300) * 0.99 + 0.01

    ranked = sorted(chains, key=lambda ch: (math.isnan(ch[1]), 0.0 if math.isnan(ch[1]) else ch[1]))
    elite = [0]
    for i in range(1, n_chains):
        if len(elite) >= n_elite:
            break
        if all(not np.linalg.norm(ranked[i][0] - ranked[m][0]) <= 0.1 for m in elite):
            elite.append(i)
    i = len(elite)
    while len(elite) < n_elite and i < n_chains:
        elite.append(i)
        i += 1

    best_b, best_e = ranked[0]
    T = 0.5 * r_heat
    for ei, pos in enumerate(elite):
        rng, prop = MT19937_64(seed + 7777 + 13 * ei), Normal(0.0, 0.3 * step)
        b, e = ranked[pos]
        for _ in range(n_deep):
            b, e = metropolis(b, e, T, prop, rng)
            if e < best_e:
                best_b, best_e = b, e
            T = 0.9997 * T
    return best_b, best_e, elite, r_heat


def poly_data(n, noise=0.05, seed=0):
    rng = np.random.default_rng(seed)
    x = np.linspace(-1.0, 1.0, n)
    X = np.vander(x, 6, increasing=True)
    y = 1.0 + 2.0 * x - x**3 + 0.5 * x**5 + noise * rng.standard_normal(n)
    return X, y


def fit(cfg, X, y, *pen):
    return zarn_core.TournamentMCMC(*cfg).fit(X, y, *pen)


def assert_same_result(r, beta, energy):
    assert r.beta_mcmc.tobytes() == np.asarray(beta, dtype=float).tobytes()
    assert r.energy == energy or (math.isnan(r.energy) and math.isnan(energy))


def test_reference_engine_gives_the_published_10000th_output():
    rng = MT19937_64(5489)
    for _ in range(9999):
        rng()
    assert rng() == 9981545732273789042


@pytest.mark.parametrize("seed", [0, 42, 2**64 - 3000])
def test_random_starts_are_the_published_streams(seed):
    # With no steps the result is the lowest-energy random start, bit for bit; a penalty
    # makes the energies distinct, so the lowest is unique.
    X, y = poly_data(80)
    R1 = np.eye(6)
    cfg = (25, 0, 0, 5, 0.05, 20, seed)
    r = fit(cfg, X, y, R1, None, 0.3)
    beta, energy, _, r_heat = reference_fit(X, y, cfg, R1, None, 0.3)
    assert_same_result(r, beta, energy)
    assert r.gibbs.r_heat == r_heat


PEN = {
    "none": (),
    "R1": (np.diag([0.0, 1.0, 2.0]), None, 0.05),
    "R1+R2": (np.diag([0.0, 1.0, 2.0]), np.ones((3, 3)), 0.02, 0.01),
}


@pytest.mark.parametrize("pen", PEN.keys())
@pytest.mark.parametrize(
    "cfg",
    [
        (4, 30, 25, 0, 0.05, 20, 42),  # n_elite 0: a one-chain elite
        (4, 30, 25, 1, 0.05, 20, 42),
        (4, 30, 25, 9, 0.05, 20, 42),  # more wanted than chains: four runs
        (5, 20, 0, 3, 0.2, 7, 11),  # no deep phase
        (3, 0, 30, 2, 0.1, 20, 2**64 - 1),
        (3, 10, 600, 3, 0.1, 20, 5),  # long runs: the temperature carries over
    ],
)
def test_matches_reference_algorithm(cfg, pen):
    x = np.linspace(0.0, 2.0, 60)
    X = np.vander(x, 3, increasing=True)
    y = 0.5 - x + 0.75 * x**2 + 0.05 * np.random.default_rng(3).standard_normal(60)
    r = fit(cfg, X, y, *PEN[pen])
    beta, energy, _, _ = reference_fit(X, y, cfg, *PEN[pen])
    assert_same_result(r, beta, energy)
    assert (r.n_chains, r.n_elite) == (cfg[0], cfg[3])
    assert r.gibbs.T == 1.0


@pytest.mark.parametrize("n, k", [(7, 2), (16, 1), (45, 5), (50, 8), (40, 11)])
def test_matches_reference_for_design_shapes(n, k):
    # Row counts below, at and past whole blocks of rows; column counts up to and past
    # those that the prediction loop specialises.
    rng = np.random.default_rng(n + k)
    X = rng.uniform(-1.0, 1.0, (n, k))
    y = X @ rng.normal(0.0, 0.5, k) + 0.05 * rng.standard_normal(n)
    cfg = (3, 25, 25, 2, 0.1, 20, 9)
    pen = (np.eye(k), None, 0.01)
    beta, energy, _, _ = reference_fit(X, y, cfg, *pen)
    assert_same_result(fit(cfg, X, y, *pen), beta, energy)


def test_duplicated_elite_chain_gets_a_second_run():
    # One coefficient, so starting points often lie within 0.1 of each other; look for a
    # seed whose fill-up appends a chain that the diversity pass already took.
    x = np.linspace(-1.0, 1.0, 40)
    X, y = x.reshape(-1, 1), 0.3 * x
    for seed in range(300):
        cfg = (4, 0, 15, 3, 0.05, 20, seed)
        beta, energy, elite, _ = reference_fit(X, y, cfg, np.eye(1), None, 1.0)
        if len(set(elite)) < len(elite):
            break
    else:
        pytest.fail("no seed with a duplicated elite chain")
    assert_same_result(fit(cfg, X, y, np.eye(1), None, 1.0), beta, energy)


@pytest.mark.parametrize("s", [1000, 123456, 500])
def test_seed_shift_of_warm_up_chains(s):
    # Chain 1 of seed s - 1000 is chain 0 of seed s (s = 500 wraps around 2^64).
    X, y = poly_data(50, seed=4)
    R1 = np.eye(6)
    s0 = (s - 1000) & MASK64
    both = fit((2, 40, 0, 1, 0.05, 20, s0), X, y, R1, None, 0.1)
    first = fit((1, 40, 0, 1, 0.05, 20, s0), X, y, R1, None, 0.1)
    second = fit((1, 40, 0, 1, 0.05, 20, s), X, y, R1, None, 0.1)
    best = min(first, second, key=lambda r: r.energy)
    assert_same_result(both, best.beta_mcmc, best.energy)
    g = zarn_core.gibbs_entropy([first.energy, second.energy])
    assert (both.gibbs.H, both.gibbs.var_E) == (g.H, g.var_E)


@pytest.mark.parametrize("seed", [1, 2, 3])
@pytest.mark.parametrize("pen", [(), (np.eye(6), None, 0.01)])
def test_deep_phase_never_raises_the_energy_of_the_best_warm_up_chain(seed, pen):
    X, y = poly_data(120, seed=seed)
    warm = fit((10, 50, 0, 3, 0.05, 20, seed), X, y, *pen)
    deep = fit((10, 50, 300, 3, 0.05, 20, seed), X, y, *pen)
    assert deep.energy <= warm.energy
    assert deep.gibbs.r_heat == warm.gibbs.r_heat


def test_noisy_polynomial_is_fitted():
    X, y = poly_data(1000, seed=5)
    start = zarn_core.TournamentMCMC(n_warmup=0, n_deep=0).fit(X, y)
    r = zarn_core.TournamentMCMC().fit(X, y)
    assert r.energy < 0.1 * start.energy
    eps = 0.4 * zarn_core.mad(y)
    assert np.mean(np.abs(X @ r.beta_mcmc - y) < eps) > 0.9


def test_energy_is_the_mdl_score_of_the_result():
    X, y = poly_data(300, seed=6)
    R1, R2 = np.diag(np.arange(6.0)), np.eye(6)
    r = zarn_core.TournamentMCMC(n_deep=500).fit(X, y, R1, R2, 0.01, 0.002)
    expected = zarn_core.mdl_score_reg(
        prediction(X, r.beta_mcmc), y, 6, 20, r.beta_mcmc, R1, R2, 0.01, 0.002
    )
    assert r.energy == expected


def test_zero_column_design():
    X, y = np.zeros((30, 0)), np.linspace(-1.0, 1.0, 30)
    r = zarn_core.TournamentMCMC(n_chains=6, n_warmup=10, n_deep=10).fit(X, y)
    assert r.beta_mcmc.shape == (0,)
    sr = max(np.mean(np.abs(y) < 0.4 * zarn_core.mad(y)), 1 / 60)
    assert r.energy == pytest.approx(-30 * math.log(sr), rel=1e-14)
    # Six equal energies: uniform weights.
    entropy = r.gibbs.H
    assert entropy == pytest.approx(math.log(6), rel=1e-14)
    assert r.gibbs.var_E == 0.0


def test_empty_observations_give_nan_energy():
    X, y = np.zeros((0, 3)), np.zeros(0)
    r = zarn_core.TournamentMCMC(n_chains=4, n_warmup=5, n_deep=5).fit(X, y)
    assert math.isnan(r.energy) and math.isnan(r.gibbs.H)
    beta, _, _, _ = reference_fit(X, y, (4, 5, 5, 5, 0.05, 20, 42))
    assert r.beta_mcmc.tobytes() == beta.tobytes()
    assert zarn_core.TournamentMCMC().fit(X, y).beta_mcmc.shape == (3,)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("where", [0, 17, -1])  # rows inside and after the blocks of 16
def test_non_finite_data_is_rejected(bad, where):
    X, y = poly_data(40)
    m = zarn_core.TournamentMCMC(n_chains=2, n_warmup=3, n_deep=3)
    Xb = X.copy()
    Xb[where, where % 6] = bad
    with pytest.raises(ValueError, match=r"^X must be finite \(no NaN or infinity\)$"):
        m.fit(Xb, y)
    yb = y.copy()
    yb[where] = bad
    with pytest.raises(ValueError, match=r"^y must be finite \(no NaN or infinity\)$"):
        m.fit(X, yb)
    # Also without coefficients, where y meets no column of X.
    with pytest.raises(ValueError, match=r"^y must be finite"):
        m.fit(np.zeros((40, 0)), yb)


@pytest.mark.parametrize("which", ["R1", "R2"])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_penalty_is_rejected_when_applied_and_unread_when_skipped(which, bad):
    X, y = poly_data(40)
    m = zarn_core.TournamentMCMC(n_chains=3, n_warmup=5, n_deep=5)
    i = int(which[1]) - 1

    def pen(R, gamma):
        args = [None, None, 0.0, 0.0]
        args[i], args[2 + i] = R, gamma
        return args

    with pytest.raises(ValueError, match=rf"^gamma{i + 1} must be finite"):
        m.fit(X, y, *pen(np.eye(6), bad))
    R = np.eye(6)
    R[4, 1] = bad
    with pytest.raises(ValueError, match=rf"^{which} must be finite \(no NaN or infinity\)$"):
        m.fit(X, y, *pen(R, 0.1))
    plain = m.fit(X, y)
    for args in (pen(R, 0.0), pen(None, bad)):
        r = m.fit(X, y, *args)
        assert_same_result(r, plain.beta_mcmc, plain.energy)


def test_zero_weights_equal_no_penalty():
    X, y = poly_data(100, seed=7)
    m = zarn_core.TournamentMCMC(n_chains=8, n_deep=300)
    plain = m.fit(X, y)
    for pen in [
        (np.eye(6), np.ones((6, 6)), 0.0, 0.0),
        (None, None, 1.0, 1.0),
        (np.ones((2, 2)), None, 0.0),
    ]:  # a matrix that is not applied is not read
        r = m.fit(X, y, *pen)
        assert_same_result(r, plain.beta_mcmc, plain.energy)


def test_repeatable_and_defaults():
    X, y = poly_data(200, seed=8)
    m = zarn_core.TournamentMCMC()
    X0, y0 = X.copy(), y.copy()
    a, b = m.fit(X, y), m.fit(X, y)
    c = zarn_core.TournamentMCMC(25, 200, 2000, 5, 0.05, 20, 42).fit(X, y)
    for r in (b, c):
        assert_same_result(r, a.beta_mcmc, a.energy)
        assert (r.n_chains, r.n_elite) == (25, 5)
    assert np.array_equal(X, X0) and np.array_equal(y, y0)


def test_identical_across_thread_counts(tmp_path):
    script = textwrap.dedent("""
        import numpy as np
        from zarn import zarn_core
        x = np.linspace(-1.0, 1.0, 400)
        X = np.vander(x, 6, increasing=True)
        y = np.sin(3.0 * x) + 0.05 * np.cos(17.0 * x)
        r = zarn_core.TournamentMCMC(n_chains=13, n_deep=400).fit(X, y, np.eye(6), None, 1e-3)
        print(r.beta_mcmc.tobytes().hex(), r.energy.hex(), r.gibbs.H.hex(), r.gibbs.var_E.hex())
    """)
    outputs = set()
    for threads in ("1", "2", "4"):
        env = dict(os.environ, OMP_NUM_THREADS=threads)
        run = subprocess.run(
            [sys.executable, "-c", script],
            cwd=tmp_path,
            env=env,
            capture_output=True,
            text=True,
            check=True,
        )
        outputs.add(run.stdout)
    assert len(outputs) == 1


def test_invalid_settings_and_arguments():
    with pytest.raises(ValueError, match="^n_chains < 1$"):
        zarn_core.TournamentMCMC(n_chains=0)
    with pytest.raises(ValueError, match="^n_chains < 1$"):
        zarn_core.TournamentMCMC(n_chains=-4)
    for bad in (dict(n_chains=2.0), dict(seed=-1), dict(seed=2**64), dict(step_size="x")):
        with pytest.raises(TypeError):
            zarn_core.TournamentMCMC(**bad)
    m = zarn_core.TournamentMCMC(n_chains=2, n_warmup=1, n_deep=1)
    X = np.ones((5, 3))
    with pytest.raises(ValueError, match=r"\b5\b.*\b4\b"):
        m.fit(X, np.ones(4))
    with pytest.raises(ValueError, match=r"R1.*3x3.*2x2"):
        m.fit(X, np.ones(5), np.eye(2), None, 1.0)
    with pytest.raises(ValueError, match=r"R2.*3x3.*3x4"):
        m.fit(X, np.ones(5), None, np.ones((3, 4)), 0.0, 0.5)
    with pytest.raises(RuntimeError, match="^Unable to cast Python instance of type"):
        m.fit(X, np.ones(5), "not a matrix")


def test_result_objects():
    with pytest.raises(TypeError, match=r"MCMCResult: No constructor defined!$"):
        zarn_core.MCMCResult()
    X, y = poly_data(50)
    r = zarn_core.TournamentMCMC(n_chains=3, n_warmup=5, n_deep=5).fit(X, y)
    for name in ("beta_mcmc", "energy", "gibbs", "n_chains", "n_elite"):
        with pytest.raises(AttributeError):
            setattr(r, name, getattr(r, name))
    assert isinstance(r.n_chains, int) and isinstance(r.energy, float)
    assert not hasattr(zarn_core.TournamentMCMC(), "n_chains")
    # Both views refer to the result's own storage and keep it alive.
    beta, g = r.beta_mcmc, r.gibbs
    assert np.shares_memory(beta, r.beta_mcmc) and beta.ndim == 1 and beta.dtype == np.float64
    expected, H = beta.copy(), g.H
    del r
    gc.collect()
    np.random.default_rng(0).random(10000)  # reuse of freed memory would show here
    assert np.array_equal(beta, expected) and g.H == H and g.T == 1.0
    assert not beta.flags.writeable
    with pytest.raises(ValueError):
        beta[0] = 1.0
