import dataclasses
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import zarn
from zarn._robust import GibbsRecord, robust_fit

SMALL = dict(n_chains=8, n_warmup=60, n_deep=300, n_elite=2, step_size=0.05)
DEFAULT = dict(n_chains=25, n_warmup=200, n_deep=2000, n_elite=5, step_size=0.05)


def cubic(n, fraction, seed=0, noise=0.02):
    """A cubic on [-1, 1] with Gaussian noise; a fraction of y replaced by gross outliers."""
    rng = np.random.default_rng(seed)
    x = np.sort(rng.uniform(-1.0, 1.0, n))
    truth = np.array([0.5, -1.0, 0.3, 1.2])
    y = zarn.design_matrix_1d(3, x) @ truth + noise * rng.standard_normal(n)
    bad = rng.choice(n, int(round(fraction * n)), replace=False)
    y[bad] = rng.uniform(-10.0, 10.0, bad.size)
    return x, y, truth, bad


def fit(Phi, y, gamma1=0.0, gamma2=0.0, sampler=SMALL, seed=7):
    R1 = R2 = None
    if gamma1 or gamma2:
        R1, R2 = zarn.smoothness_penalty_matrices_1d(Phi.shape[1] - 1, -1.0, 1.0)
    return robust_fit(
        Phi, y, R1, R2, gamma1, gamma2, ridge=1e-10, H=20, sampler=sampler, seed=seed
    ), (R1, R2)


def energy(Phi, y, coef, R1, R2, gamma1, gamma2):
    k = Phi.shape[1]
    zeros = np.zeros((k, k))
    R1 = zeros if R1 is None else R1
    R2 = zeros if R2 is None else R2
    return zarn.mdl_score_reg(Phi @ coef, y, k, 20, coef, R1, R2, gamma1, gamma2)


@pytest.mark.parametrize("fraction", [0.1, 0.3, 0.5])
def test_gross_outliers_do_not_move_the_curve(fraction):
    x, y, truth, bad = cubic(300, fraction)
    Phi = zarn.design_matrix_1d(3, x)
    result, _ = fit(Phi, y, sampler=DEFAULT)
    grid = zarn.design_matrix_1d(3, np.linspace(-1.0, 1.0, 201))
    rmse = np.sqrt(np.mean((grid @ (result.coef - truth)) ** 2))
    plain = zarn.fit_regularized_linear(Phi, y)
    assert np.sqrt(np.mean((grid @ (plain - truth)) ** 2)) > 0.1  # the outliers do matter
    assert rmse < 0.02
    # Outliers far from the curve are never inliers; nearly every clean point is.
    far = bad[np.abs(y[bad] - Phi[bad] @ truth) > 0.5]
    assert not result.inlier_mask[far].any()
    clean = np.setdiff1d(np.arange(len(y)), bad)
    assert result.inlier_mask[clean].mean() > 0.97


def _datasets():
    rng = np.random.default_rng(3)
    x = np.linspace(-1.0, 1.0, 120)
    step = np.where(x < 0.1, -1.0, 2.0) + 0.05 * rng.standard_normal(x.size)
    few_equal = np.r_[np.full(70, 3.0), rng.uniform(-50.0, 50.0, 50)]
    return {
        "clean": (3, cubic(200, 0.0)[:2], 0.0, 0.0),
        "heavy outliers": (3, cubic(200, 0.5, seed=1)[:2], 0.0, 0.0),
        "outliers, penalised": (5, cubic(200, 0.3, seed=2)[:2], 1e-3, 1e-4),
        "clean, penalised": (5, cubic(200, 0.0, seed=4)[:2], 1e-2, 0.0),
        "pure noise": (4, (x, rng.standard_normal(x.size)), 0.0, 0.0),
        "step, a wrong model": (2, (x, step), 0.0, 0.0),
        "mostly equal y": (2, (x, few_equal), 0.0, 0.0),
    }


@pytest.mark.parametrize("name", list(_datasets()))
def test_contract_refit_of_inliers_never_worse_than_full_fit(name):
    degree, (x, y), gamma1, gamma2 = _datasets()[name]
    Phi = zarn.design_matrix_1d(degree, x)
    result, (R1, R2) = fit(Phi, y, gamma1, gamma2)
    mask = result.inlier_mask
    assert mask.dtype == bool and mask.shape == y.shape and result.coef.shape == (degree + 1,)
    full = zarn.fit_regularized_linear(Phi, y, R1, R2, gamma1, gamma2, 1e-10)
    assert energy(Phi, y, result.coef, R1, R2, gamma1, gamma2) <= energy(
        Phi, y, full, R1, R2, gamma1, gamma2
    )
    refit = zarn.fit_regularized_linear(Phi[mask], y[mask], R1, R2, gamma1, gamma2, 1e-10)
    np.testing.assert_array_equal(result.coef, refit)
    if mask.all():
        np.testing.assert_array_equal(result.coef, full)


def test_mostly_equal_y_keeps_the_majority():
    x = np.linspace(-1.0, 1.0, 120)
    y = np.r_[np.full(70, 3.0), np.random.default_rng(0).uniform(-50.0, 50.0, 50)]
    result, _ = fit(zarn.design_matrix_1d(2, x), y)
    np.testing.assert_allclose(result.coef, [3.0, 0.0, 0.0], atol=1e-9)
    assert result.inlier_mask[:70].all()


def test_units_of_y_do_not_matter():
    # One-sided outliers: a least-squares start is dragged off, so the sampler must find
    # the curve, which it does only in standardised units.
    x, y, _, bad = cubic(300, 0.4, seed=5)
    y[bad] = 4.0 + np.abs(y[bad])
    Phi = zarn.design_matrix_1d(3, x)
    base, _ = fit(Phi, y, sampler=DEFAULT)
    assert not base.inlier_mask[bad].any()
    scaled, _ = fit(Phi, 1000.0 * y + 5e4, sampler=DEFAULT)
    np.testing.assert_array_equal(base.inlier_mask, scaled.inlier_mask)
    expected = 1000.0 * base.coef
    expected[0] += 5e4
    np.testing.assert_allclose(scaled.coef, expected, rtol=1e-6, atol=1e-6)


def test_deterministic_for_a_seed():
    x, y, _, _ = cubic(200, 0.3, seed=6)
    Phi = zarn.design_matrix_1d(3, x)
    a, _ = fit(Phi, y, seed=11)
    b, _ = fit(Phi, y, seed=11)
    c, _ = fit(Phi, y, seed=12)
    assert a.coef.tobytes() == b.coef.tobytes()
    np.testing.assert_array_equal(a.inlier_mask, b.inlier_mask)
    assert a.gibbs == b.gibbs
    assert a.gibbs != c.gibbs  # the seed reaches the sampler


def test_same_bits_whatever_the_number_of_threads():
    script = textwrap.dedent(
        """
        import numpy as np, zarn
        from zarn._robust import robust_fit
        rng = np.random.default_rng(0)
        x = rng.uniform(-1, 1, 400)
        y = np.sin(3 * x) + 0.05 * rng.standard_normal(400)
        y[:120] = rng.uniform(-5, 5, 120)
        s = dict(n_chains=9, n_warmup=50, n_deep=200, n_elite=3, step_size=0.05)
        r = robust_fit(zarn.design_matrix_1d(5, x), y, None, None, 0.0, 0.0,
                       ridge=1e-10, H=20, sampler=s, seed=3)
        print(r.coef.tobytes().hex(), r.inlier_mask.sum(), r.gibbs)
        """
    )
    outputs = []
    for threads in ("1", "2"):
        env = dict(os.environ, OMP_NUM_THREADS=threads, OPENBLAS_NUM_THREADS=threads)
        run = subprocess.run(  # outside the source tree, which has no compiled core
            [sys.executable, "-c", script],
            env=env,
            capture_output=True,
            text=True,
            check=True,
            cwd="/",
        )
        outputs.append(run.stdout)
    assert outputs[0] == outputs[1]


@pytest.mark.parametrize(
    "case",
    ["one point", "more coefficients than points", "constant y", "all points equal"],
)
def test_edge_cases(case):
    if case == "one point":
        Phi, y = zarn.design_matrix_1d(3, np.array([0.25])), np.array([2.0])
    elif case == "more coefficients than points":
        Phi, y = zarn.design_matrix_1d(6, np.array([-0.5, 0.0, 0.7])), np.array([1.0, -2.0, 4.0])
    elif case == "constant y":
        Phi, y = zarn.design_matrix_1d(3, np.linspace(-1.0, 1.0, 40)), np.full(40, -7.5)
    else:
        Phi, y = zarn.design_matrix_1d(2, np.full(12, 0.3)), np.full(12, 4.0)
    result, _ = fit(Phi, y)
    assert np.isfinite(result.coef).all()
    assert result.inlier_mask.all()  # nothing can be an outlier here
    np.testing.assert_allclose(Phi @ result.coef, y, atol=1e-6)
    full = zarn.fit_regularized_linear(Phi, y)
    np.testing.assert_array_equal(result.coef, full)


def test_gibbs_record_is_frozen_picklable_and_copies_every_field():
    # Energies [0, 1] at T = 2: the Gibbs analysis documented for the core.
    record = GibbsRecord.from_native(zarn.gibbs_entropy([0.0, 1.0], 2.0))
    assert dataclasses.astuple(record) == pytest.approx(
        (0.6628473, np.log(2.0), 0.9562865, 0.9567237, 0.25, 2.0), rel=1e-6
    )
    assert all(type(v) is float for v in dataclasses.astuple(record))
    assert pickle.loads(pickle.dumps(record)) == record
    with pytest.raises(dataclasses.FrozenInstanceError):
        record.H = 0.0
    x, y, _, _ = cubic(50, 0.1)
    result, _ = fit(zarn.design_matrix_1d(2, x), y)
    clone = pickle.loads(pickle.dumps(result))
    assert clone.gibbs == result.gibbs
    np.testing.assert_array_equal(clone.coef, result.coef)


def test_estimator_robust_far_from_zero_beats_penalized_on_mdl():
    rng = np.random.default_rng(8)
    x = rng.uniform(100.0, 110.0, 400)
    truth = lambda v: 2.0 + 0.5 * (v - 105.0) - 0.02 * (v - 105.0) ** 3  # noqa: E731
    y = truth(x) + 0.05 * rng.standard_normal(x.size)
    y[:120] = rng.uniform(-20.0, 20.0, 120)
    settings = dict(n_chains=10, n_warmup=100, n_deep=500, n_elite=3, random_state=1)
    robust = zarn.PolynomialRegressor(3, method="robust", **settings).fit(x[:, None], y)
    plain = zarn.PolynomialRegressor(3).fit(x[:, None], y)
    grid = np.linspace(100.0, 110.0, 101)
    assert np.max(np.abs(robust.predict(grid[:, None]) - truth(grid))) < 0.05
    assert robust.mdl_ <= plain.mdl_
    assert robust.inlier_mask_[:120].mean() < 0.05 and robust.inlier_mask_[120:].mean() > 0.97
    assert robust.seed_ == 1


@pytest.mark.parametrize(("fraction", "seed"), [(0.1, 1), (0.1, 2), (0.3, 2)])
def test_final_inliers_are_those_within_three_deviations_by_sum_of_squares(fraction, seed):
    # The refits end with the deviation estimated from the inliers' sum of squares
    # (corrected for the cut at 3 deviations) until the inlier set repeats: the final
    # inliers are exactly the points within 3 such deviations of the final fit. A
    # deviation from the median absolute residual (the first stage) marks other points.
    stats = pytest.importorskip("scipy.stats")
    x, y, _, _ = cubic(400, fraction, seed=seed, noise=0.3)
    model = zarn.PolynomialRegressor(3, method="robust", **SMALL).fit(x[:, None], y)
    mask = model.inlier_mask_
    assert 0 < (~mask).sum() < 0.5 * len(y)  # the fit of the inliers was kept
    r = y - model.predict(x[:, None])
    sd = np.sqrt(np.sum(r[mask] ** 2) / (mask.sum() - 4)) / stats.truncnorm(-3, 3).std()
    np.testing.assert_array_equal(mask, np.abs(r) < 3.0 * sd)
