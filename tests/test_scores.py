import math

import numpy as np
import pytest

from zarn._native import zarn_core as zc


def numpy_mad(y):
    y = np.asarray(y, dtype=float)
    if y.size == 0:
        return 0.0
    return float(np.median(np.abs(y - np.median(y))))


@pytest.mark.parametrize(
    "y, expected",
    [
        ([], 0.0),
        ([7.0], 0.0),
        ([5, 5, 5, 9], 0.0),
        ([1, 2, 3, 4], 1.0),
        ([1, 2, 3, 4, 100], 1.0),
        ([3, 1], 1.0),
    ],
)
def test_mad_worked_values(y, expected):
    assert zc.mad(y) == expected


@pytest.mark.parametrize("n", [1, 2, 3, 10, 11, 1000, 1001])
def test_mad_matches_numpy_median_route(n):
    rng = np.random.default_rng(n)
    y = rng.standard_cauchy(n)
    assert zc.mad(y) == pytest.approx(numpy_mad(y), rel=1e-15, abs=0.0)


def test_mad_with_duplicates_in_the_middle():
    # Even length where the two middle order statistics come from repeated values.
    y = np.array([4.0, 1.0, 4.0, 4.0, 2.0, 9.0])
    assert zc.mad(y) == numpy_mad(y)


@pytest.mark.parametrize("n", [*range(1, 13), 31, 64])
def test_mad_is_nan_with_a_nan_at_any_position(n):
    y = np.random.default_rng(n).normal(size=n)
    for i in range(n):
        with_nan = y.copy()
        with_nan[i] = np.nan
        assert math.isnan(zc.mad(with_nan)), i
    y[::3] = np.nan  # several of them
    assert math.isnan(zc.mad(y))


@pytest.mark.parametrize(
    "y",
    [
        [np.inf, 1.0, 2.0],  # finite median: the infinite deviation is just the largest
        [1.0, -np.inf, 2.0, 3.0],
        [np.inf],  # inf - inf: NaN
        [np.inf, np.inf, 1.0],
        [-np.inf, np.inf],  # the mean of the middle values is NaN
        [2.0, np.inf],  # median inf, one deviation NaN
        [1.5e308, 1.5e308],  # the mean of the middle values overflows: every deviation inf
        [np.inf, -np.inf, 1.0],
    ],
)
def test_mad_with_infinities_follows_the_numpy_median_route(y):
    with np.errstate(all="ignore"):
        expected = numpy_mad(y)
    got = zc.mad(y)
    assert got == expected or (math.isnan(got) and math.isnan(expected))
    # And wherever the infinities sit.
    for shifted in (np.roll(y, 1), np.asarray(y)[::-1]):
        assert zc.mad(shifted) == got or (math.isnan(zc.mad(shifted)) and math.isnan(got))


@pytest.mark.parametrize(
    "yp, yt, eps, expected",
    [
        ([0, 0, 0, 0], [0, 1, 2, 3], 1.0, 0.25),  # a deviation equal to eps misses
        ([1, 2, 3, 4], [1, 2, 3, 4], 1e-12, 1.0),
        ([1, 2, 3, 4], [1, 2, 3, 4], 0.0, 0.125),  # eps = 0 is never beaten: floor 1/(2n)
        ([1, 2, 3, 4], [1, 2, 3, 4], -1.0, 0.125),
        ([np.nan, 2.0], [1.0, 2.0], 10.0, 0.5),  # a NaN deviation is a miss
        ([9, 9, 9, 9, 9], [0, 0, 0, 0, 0], 1.0, 0.1),
    ],
)
def test_compute_sr_worked_values(yp, yt, eps, expected):
    assert zc.compute_sr(yp, yt, eps) == expected


def test_compute_sr_empty_is_nan():
    assert math.isnan(zc.compute_sr([], [], 1.0))


def test_compute_sr_matches_numpy():
    rng = np.random.default_rng(5)
    yt = rng.normal(size=501)
    yp = yt + rng.normal(scale=0.5, size=501)
    expected = max(np.mean(np.abs(yp - yt) < 0.3), 1 / (2 * 501))
    assert zc.compute_sr(yp, yt, 0.3) == pytest.approx(expected, rel=1e-15)


YT = [1.0, 2.0, 3.0, 4.0]


@pytest.mark.parametrize(
    "yp, k, H, expected",
    [
        (YT, 2, 20, math.log(40)),
        ([1, 2, 3, 5], 2, 20, -4 * math.log(0.75) + math.log(40)),
        ([1, 2, 3, 5], 3, 7, -4 * math.log(0.75) + 9 * math.log(14) / 4),
        ([1, 2, 3, 5], 0, 20, -4 * math.log(0.75)),  # no cost term for k <= 0
        ([1, 2, 3, 5], -3, 0, -4 * math.log(0.75)),
        ([9, 9, 9, 9], 0, 20, 4 * math.log(8)),  # every point misses: n ln(2n)
    ],
)
def test_mdl_score_worked_values(yp, k, H, expected):
    assert zc.mdl_score(yp, YT, k, H) == pytest.approx(expected, rel=1e-14)


def test_mdl_score_degenerate_H_gives_ieee_values():
    assert zc.mdl_score(YT, YT, 2, 0) == -math.inf
    assert math.isnan(zc.mdl_score(YT, YT, 2, -1))
    assert math.isnan(zc.mdl_score([], [], 2))


def test_mdl_score_default_H_is_20():
    yp = [1.0, 2.5, 3.0, 4.2]
    assert zc.mdl_score(yp, YT, 3) == zc.mdl_score(yp, YT, 3, 20)


def test_mdl_tolerance_falls_back_when_mad_is_zero():
    # MAD of yt is 0, so the tolerance is 0.4 rather than 0: deviations 0.3 hit, 0.5 miss.
    yt = [1.0, 1.0, 1.0, 5.0]
    yp = [1.3, 1.5, 1.0, 5.0]
    assert zc.mdl_score(yp, yt, 0) == pytest.approx(-4 * math.log(0.75), rel=1e-14)


def test_mdl_tolerance_scales_with_mad():
    # MAD of yt is 2, so the tolerance is 0.8: a deviation of 0.7 hits, 0.9 misses.
    yt = np.array([0.0, 2.0, 4.0, 6.0])
    assert zc.mad(yt) == 2.0
    assert zc.mdl_score(yt + [0.7, 0, 0, 0], yt, 0) == 0.0
    assert zc.mdl_score(yt + [0.9, 0, 0, 0], yt, 0) == pytest.approx(-4 * math.log(0.75))


@pytest.mark.parametrize("k", [0, 3])
def test_mdl_score_with_a_nan_observation_uses_the_fallback_tolerance(k):
    # mad(yt) is NaN, so eps is 0.4 wherever the NaN sits (with the numbers alone the MAD is
    # 20 and eps 8). Deviations of 0.3 hit, 0.5 and the NaN observation miss.
    yt = 10.0 * np.arange(9.0)
    yp = yt + np.array([0.3, 0.5] * 4 + [0.3])
    n = yt.size
    for i in range(n):
        bad = yt.copy()
        bad[i] = np.nan
        hits = np.count_nonzero(np.abs(yp - bad) < 0.4)
        expected = -n * math.log(hits / n) + (k * math.log(40) / n) * k
        assert zc.mdl_score(yp, bad, k) == pytest.approx(expected, rel=1e-14), i
        beta = np.array([1.0, 2.0])
        assert zc.mdl_score_reg(yp, bad, k, 20, beta, np.eye(2), np.eye(2), 0.5) == pytest.approx(
            expected + 2.5, rel=1e-14
        ), i


def test_mdl_score_reg_adds_weighted_quadratic_forms():
    yp = [1, 2, 3, 5]
    base = zc.mdl_score(yp, YT, 2, 20)
    eye = np.eye(2)
    beta = np.array([3.0, 4.0])
    assert zc.mdl_score_reg(yp, YT, 2, 20, beta, eye, eye, 1.0, 0.0) == pytest.approx(base + 25)
    R2 = np.array([[2.0, 1.0], [0.0, 1.0]])
    expected = base + 0.5 * 25 - 2.0 * float(beta @ R2 @ beta)
    got = zc.mdl_score_reg(yp, YT, 2, 20, beta, eye, R2, gamma1=0.5, gamma2=-2.0)
    assert got == pytest.approx(expected, rel=1e-14)


def test_mdl_score_reg_skipped_terms_never_read_their_matrix():
    yp = [1, 2, 3, 5]
    wrong = np.ones((3, 5))
    beta = [1.0, 2.0]
    assert zc.mdl_score_reg(yp, YT, 2, 20, beta, wrong, wrong) == zc.mdl_score(yp, YT, 2, 20)
    assert zc.mdl_score_reg(yp, YT, 2, 20, beta, np.eye(2), wrong, 1.0) == pytest.approx(
        zc.mdl_score(yp, YT, 2, 20) + 5.0
    )


def test_mdl_score_reg_nan_weight_is_applied():
    got = zc.mdl_score_reg(YT, YT, 2, 20, [1.0, 1.0], np.eye(2), np.eye(2), math.nan, 0.0)
    assert math.isnan(got)


@pytest.mark.parametrize(
    "R1, gamma1, R2, gamma2, bad",
    [
        (np.eye(3), 1.0, np.eye(2), 0.0, "R1"),
        (np.ones((2, 3)), 1.0, np.eye(2), 0.0, "R1"),
        (np.eye(2), 0.0, np.eye(1), 2.0, "R2"),
        (np.eye(2), 1.0, np.ones((3, 2)), math.nan, "R2"),
    ],
)
def test_mdl_score_reg_rejects_applied_penalty_of_wrong_shape(R1, gamma1, R2, gamma2, bad):
    with pytest.raises(ValueError, match=rf"{bad} must be a 2x2 matrix.*got \d+x\d+"):
        zc.mdl_score_reg(YT, YT, 2, 20, [1.0, 2.0], R1, R2, gamma1, gamma2)


@pytest.mark.parametrize(
    "call",
    [
        lambda yp, yt: zc.compute_sr(yp, yt, 1.0),
        lambda yp, yt: zc.mdl_score(yp, yt, 2),
        lambda yp, yt: zc.mdl_score_reg(yp, yt, 2, 20, [0.0], np.eye(1), np.eye(1), 1.0, 1.0),
    ],
    ids=["compute_sr", "mdl_score", "mdl_score_reg"],
)
@pytest.mark.parametrize("n_yp, n_yt", [(3, 4), (5, 4), (0, 1), (1, 0)])
def test_length_mismatch_names_both_lengths(call, n_yp, n_yt):
    message = rf"yp and yt must have the same length, got {n_yp} and {n_yt}"
    with pytest.raises(ValueError, match=message):
        call(np.zeros(n_yp), np.zeros(n_yt))
