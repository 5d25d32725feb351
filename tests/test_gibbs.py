import math

import numpy as np
import pytest

from zarn import zarn_core

FIELDS = ("H", "Hmax", "He", "r_heat", "var_E", "T")


def two_level(T):
    """Closed form for energies [0, 1] at temperature T > 0."""
    q = math.exp(-1.0 / T)
    p = (1.0 / (1.0 + q), q / (1.0 + q))
    H = -sum(pi * math.log(pi) for pi in p)
    He = H / math.log(2.0)
    return dict(H=H, Hmax=math.log(2.0), He=He, r_heat=0.01 + 0.99 * He, var_E=0.25, T=T)


def boltzmann_summary(E, T):
    """The summary from its definition, vectorised with NumPy."""
    E = np.asarray(E, dtype=float)
    w = np.exp(-(E - E.min()) / (T + 1e-300))
    p = w / w.sum()
    H = float(-np.sum(p * np.log(p + 1e-300)))
    Hmax = math.log(max(len(E), 2))
    He = H / Hmax
    return dict(H=H, Hmax=Hmax, He=He, r_heat=0.01 + 0.99 * He, var_E=float(np.var(E)), T=T)


def as_dict(g):
    return {f: getattr(g, f) for f in FIELDS}


@pytest.mark.parametrize(
    "energies, T, expected",
    [
        (
            [0.0, 0.0, 0.0, 0.0],
            1.0,
            dict(H=math.log(4), Hmax=math.log(4), He=1.0, r_heat=1.0, var_E=0.0, T=1.0),
        ),
        ([5.0], 3.0, dict(H=0.0, Hmax=math.log(2), He=0.0, r_heat=0.01, var_E=0.0, T=3.0)),
        ([0.0, 1.0], 1.0, two_level(1.0)),
        ([10.0, 11.0], 1.0, two_level(1.0)),
        ([0.0, 1.0], 2.0, two_level(2.0)),
        # T = 0: only the energies equal to the minimum keep a weight.
        (
            [1.0, 1.0, 2.0],
            0.0,
            dict(
                H=math.log(2),
                Hmax=math.log(3),
                He=math.log(2) / math.log(3),
                r_heat=0.01 + 0.99 * math.log(2) / math.log(3),
                var_E=2.0 / 9.0,
                T=0.0,
            ),
        ),
        # The second weight underflows to 0 and contributes nothing.
        (
            [0.0, 1000.0],
            1.0,
            dict(H=0.0, Hmax=math.log(2), He=0.0, r_heat=0.01, var_E=250000.0, T=1.0),
        ),
    ],
)
def test_worked_values(energies, T, expected):
    got = as_dict(zarn_core.gibbs_entropy(np.array(energies), T))
    assert got == pytest.approx(expected, rel=1e-12, abs=1e-15)


@pytest.mark.parametrize("N", [1, 2, 7, 25, 300])
@pytest.mark.parametrize("T", [0.3, 1.0, 5.0])
def test_matches_definition_on_random_energies(N, T):
    E = np.random.default_rng(N).normal(3.0, 2.0, N)
    got = as_dict(zarn_core.gibbs_entropy(E, T))
    assert got == pytest.approx(boltzmann_summary(E, T), rel=1e-10, abs=1e-12)


def test_shift_and_permutation_leave_the_summary_unchanged():
    E = np.random.default_rng(1).normal(0.0, 1.5, 40)
    base = as_dict(zarn_core.gibbs_entropy(E, 0.7))
    shifted = as_dict(zarn_core.gibbs_entropy(E + 123.25, 0.7))
    permuted = as_dict(zarn_core.gibbs_entropy(E[::-1].copy(), 0.7))
    assert shifted == pytest.approx(base, rel=1e-9, abs=1e-12)
    assert permuted == pytest.approx(base, rel=1e-12, abs=1e-14)


def test_default_temperature_and_column_input():
    E = np.array([0.5, 2.0, 1.0])
    assert as_dict(zarn_core.gibbs_entropy(E)) == as_dict(zarn_core.gibbs_entropy(E, 1.0))
    assert as_dict(zarn_core.gibbs_entropy(E.reshape(-1, 1), 1.0)) == as_dict(
        zarn_core.gibbs_entropy(E, 1.0)
    )
    assert zarn_core.gibbs_entropy(E).T == 1.0


def test_nan_energy_propagates_without_error():
    g = zarn_core.gibbs_entropy([0.0, float("nan"), 1.0], 1.0)
    assert all(math.isnan(v) for v in (g.H, g.He, g.r_heat, g.var_E))
    assert g.Hmax == pytest.approx(math.log(3)) and g.T == 1.0


def test_negative_temperature_overflow_gives_nan_not_error():
    g = zarn_core.gibbs_entropy([0.0, 1000.0], -1.0)
    assert math.isnan(g.H) and math.isnan(g.r_heat)
    assert g.T == -1.0 and g.var_E == 250000.0


def test_empty_energies_rejected():
    with pytest.raises(ValueError, match="^energies is empty$"):
        zarn_core.gibbs_entropy(np.array([]))


def test_result_class_has_no_constructor_and_read_only_fields():
    with pytest.raises(TypeError, match=r"GibbsResult: No constructor defined!$"):
        zarn_core.GibbsResult()
    g = zarn_core.gibbs_entropy([1.0, 2.0])
    for f in FIELDS:
        assert isinstance(getattr(g, f), float)
        with pytest.raises(AttributeError):
            setattr(g, f, 0.0)
