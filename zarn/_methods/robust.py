"""``method="robust"``: an MM-estimator with R's ``lmrob`` defaults, on the native engine.

:class:`Robust`, the method object, scales y into range (:func:`fit_scaled`) and fits it
with the robust engine (:func:`zarn._robust_engine.fit_one`): an S-estimate from elemental
starts, then 95 %-efficient M-steps, then M-steps at the noise scale of their residuals.
Its uncertainty is ``lmrob``'s (:class:`RobustUncertainty`). The tournament sampler no
longer runs at fit: :class:`SamplerRun` runs it on the fit's residuals when its Gibbs
analysis (``gibbs_``) is first asked for.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from zarn._design import Design
from zarn._lstsq import (
    Penalty,
    WeightedRows,
    certainly_full_rank,
    coefficients_too_large,
    power_of_two,
    power_of_two_scale,
    r_factor,
    singular_values,
    weighted_rows,
)
from zarn._methods._base import (
    Fit,
    Method,
    Outliers,
    Series,
    auto,
    fixed_weights,
    penalty_of,
)
from zarn._methods.penalized import auto_weights
from zarn._native import zarn_core
from zarn._robust_engine import FAILED, EngineFit, fit_one
from zarn._settings import SAMPLER_SETTINGS, Settings, seed_from
from zarn._uncertainty import GivenUncertainty
from zarn._validation import check_finite

# The sampler runs on at most this many of the fit's samples, drawn from the seed: its
# cost grows with them, and its Gibbs analysis describes the residual problem, not n.
SAMPLER_SUBSAMPLE = 250
# Seed stream of that draw, distinct from the sampler's own (the seed itself).
_SAMPLER_STREAM = 0x5EED_0F_D2A5
# The largest |y| the engine is given, after the power-of-two scaling: its square is
# still a double.
ROBUST_TOP = 1e150


@dataclass(frozen=True)
class GibbsRecord:
    """Gibbs analysis of the robust sampler's warm-up energies, as a frozen, picklable record.

    The fields are those of :class:`zarn.GibbsResult`: the entropy ``H`` of the Boltzmann
    weights of the chains' final energies, its largest possible value ``Hmax``, their ratio
    ``He``, the derived ``r_heat = 0.01 + 0.99 He`` (which sets the deep phase's starting
    temperature ``0.5 r_heat``), the population variance ``var_E`` of the energies and the
    temperature ``T`` of the analysis. ``He`` near 1 means the sampler's chains ended at
    similar energies, near 0 that a few did much better than the rest.

    Examples
    --------
    >>> import pickle
    >>> import zarn
    >>> g = zarn.GibbsRecord.from_native(zarn.gibbs_entropy([0.0, 0.0, 0.0, 0.0]))
    >>> g.He, g.r_heat, g.var_E
    (1.0, 1.0, 0.0)
    >>> pickle.loads(pickle.dumps(g)) == g
    True
    """

    H: float
    Hmax: float
    He: float
    r_heat: float
    var_E: float
    T: float

    @classmethod
    def from_native(cls, g: Any) -> GibbsRecord:
        """Copy the six fields of a :class:`zarn.GibbsResult`.

        Parameters
        ----------
        g : zarn.GibbsResult
            The native result, for example ``MCMCResult.gibbs``.

        Returns
        -------
        GibbsRecord

        Examples
        --------
        >>> import zarn
        >>> zarn.GibbsRecord.from_native(zarn.gibbs_entropy([5.0])).r_heat
        0.01
        """
        return cls(
            H=float(g.H),
            Hmax=float(g.Hmax),
            He=float(g.He),
            r_heat=float(g.r_heat),
            var_E=float(g.var_E),
            T=float(g.T),
        )


@dataclass(frozen=True, eq=False)
class SamplerRun:
    """The tournament sampler on the residuals of a robust fit, run on first use.

    ``design`` and ``X`` give the mapped design of the fit's samples, ``y`` their targets
    and ``coef`` the fit; ``H``, ``sampler`` and ``seed`` are the estimator's settings.
    :attr:`gibbs` runs the sampler once, as the robust fit once did at every fit: on at
    most ``SAMPLER_SUBSAMPLE`` samples drawn from the seed, on the standardised residuals
    ``z = (r - median(r)) / MAD(r)`` of ``coef`` (so that its hit tolerance, 0.4 MAD of
    what it sees, is set by the noise), with the penalty weights multiplied by ``MAD**2``
    for that change of units. Sample weights do not enter.
    """

    design: Design
    X: np.ndarray
    y: np.ndarray
    coef: np.ndarray
    penalty: Penalty
    H: int
    sampler: Mapping[str, Any]
    seed: int

    @functools.cached_property
    def gibbs(self) -> GibbsRecord:
        """The Gibbs analysis of the sampler's warm-up energies (computed once)."""
        Phi = self.design.columns(self.X)
        y = self.y
        if len(y) > SAMPLER_SUBSAMPLE:
            rng = np.random.default_rng([self.seed, _SAMPLER_STREAM])
            rows = np.sort(rng.choice(len(y), SAMPLER_SUBSAMPLE, replace=False))
            Phi, y = Phi[rows], y[rows]
        with np.errstate(over="ignore", invalid="ignore"):
            r = y - Phi @ self.coef
            loc = float(np.median(r))
            s = zarn_core.mad(r)
            if not (s > 0.0 and math.isfinite(s)):
                s = 1.0
            z = (r - loc) / s
            # Values beyond 1e150 MADs (even beyond the range of doubles) stay misses.
            z = np.clip(np.nan_to_num(z, nan=0.0), -1e150, 1e150)
            g1, g2 = self.penalty.gamma1 * s * s, self.penalty.gamma2 * s * s
        mcmc = zarn_core.TournamentMCMC(**self.sampler, H_piH=self.H, seed=self.seed)
        result = mcmc.fit(Phi, z, self.penalty.R1, self.penalty.R2, g1, g2)
        return GibbsRecord.from_native(result.gibbs)


class RobustUncertainty(GivenUncertainty):
    """The uncertainty of a robust fit as R's ``lmrob`` states it.

    The covariance is the engine's ``lmrob`` default (``.vcov.avar1``, after Croux,
    Dhaene and Hoorelbeke 2003: valid when the noise is not constant), given divided by
    the square of ``scale``, the final M-step's scale, so that y of any size keeps exact
    standard errors; intervals use Student's t with ``df_resid`` degrees of freedom (the
    samples of positive weight less the rank), as ``confint`` and ``summary.lmrob``.

    Examples
    --------
    >>> import numpy as np
    >>> u = RobustUncertainty(np.diag([1.0, 0.25]), 2.0, 2.0, 10, np.array([3.0, 1.0]), 2)
    >>> u.stderr.tolist(), u.df_resid, round(u.critical_value(0.95), 4)
    ([2.0, 1.0], 8.0, 2.306)
    """

    normal = False

    @property
    def _moments(self) -> tuple[np.ndarray, float]:
        return self._cov, self._edf  # given already divided by scale**2


class Robust(Method):
    """Resistant to gross outliers: up to half of the samples may be arbitrarily bad.

    The fit is the robust engine's MM-estimate on y scaled into range
    (:func:`fit_scaled`), with sample weights as ``lmrob``'s precision weights.
    Automatic penalty weights are chosen on the inliers of a robust fit without them
    (the fixed weights as given), so that outliers do not make the data look rougher than
    the curve is; then the fit runs again with them. The uncertainty is ``lmrob``'s
    (:class:`RobustUncertainty`); the sampler's Gibbs analysis waits for first use
    (:class:`SamplerRun`).
    """

    name = "robust"
    flags_outliers = True
    extra_settings = SAMPLER_SETTINGS
    # lmrob's default covariance, or Huber's H1 (statsmodels' RLM) on request.
    cov_types = ("avar1", "H1")

    def fit(self, data: Series, settings: Settings) -> Fit:
        design, Phi, y, w = data.design, data.Phi, data.y, data.w
        check_finite(y, "y")
        seed = seed_from(settings.random_state)
        if auto(settings):
            start = fixed_weights(settings)
            mask = fit_scaled(Phi, y, penalty_of(design, start), seed, w)[0].inlier_mask
            kept = None if w is None else w[mask]
            inliers = Series(design, data.X[mask], Phi[mask], y[mask], kept)
            settings = auto_weights(inliers, settings)
        penalty = penalty_of(design, settings)
        result, s = fit_scaled(Phi, y, penalty, seed, w)
        with np.errstate(over="ignore"):
            coef = result.coef * s
            cov_h1 = result.cov_h1 * s * s  # (cov * s) * s: stays finite wherever it can
        if not np.isfinite(coef).all():
            raise coefficients_too_large("robust", y)
        huber = self.cov_spec(settings).name == "H1"
        columns = functools.partial(design.columns, data.X)
        uncertainty = engine_uncertainty(
            Phi, w, result.cov, result.cov_h1, result.scale, s, penalty, huber, columns
        )
        sampler = SamplerRun(design, data.X, y, coef, penalty, settings.H, settings.sampler, seed)
        outliers = Outliers(
            result.inlier_mask, result.weights, sampler, seed, result.s_scale * s, cov_h1
        )
        return Fit(coef, uncertainty, settings, penalty, outliers)


def takes_h1(penalty: Penalty, huber: bool) -> bool:
    """Whether a fit takes Huber's H1 covariance rather than lmrob's: on request
    (``huber``), or for a penalised fit, whose normal matrix carries the penalty (lmrob's
    covariance is that of unpenalised fits).

    Examples
    --------
    >>> takes_h1(Penalty(None, None, 0.0, 0.0, 1e-10), huber=False)
    False
    """
    return huber or penalty.R1 is not None or penalty.R2 is not None


def engine_uncertainty(
    Phi: np.ndarray,
    w: np.ndarray | None,
    cov: np.ndarray,
    cov_h1: np.ndarray,
    scale: float,
    unit: float,
    penalty: Penalty,
    huber: bool,
    columns: Callable[[], np.ndarray] | None = None,
) -> RobustUncertainty:
    """The uncertainty of the engine's fit of y / ``unit`` with covariances ``cov``
    (lmrob's) and ``cov_h1`` (Huber's): lmrob's with Student's t quantiles, or Huber's
    with normal ones when ``huber`` (RLM's); penalised fits take Huber's (:func:`takes_h1`).
    ``columns`` as for :func:`robust_uncertainty`."""
    chosen = cov_h1 if takes_h1(penalty, huber) else cov
    uncertainty = robust_uncertainty(Phi, w, chosen, scale, unit, columns)
    uncertainty.normal = huber
    return uncertainty


def robust_uncertainty(
    Phi: np.ndarray,
    w: np.ndarray | None,
    cov: np.ndarray,
    scale: float,
    unit: float = 1.0,
    columns: Callable[[], np.ndarray] | None = None,
) -> RobustUncertainty:
    """The :class:`RobustUncertainty` of a fit in units of y / ``unit`` (a power of two):
    its covariance and scale, with the rank and the singular values of the design
    weighted by the sample weights.

    ``columns`` (picklable, None for none) builds Phi again: where the weighted design
    certainly has full rank (:func:`zarn._lstsq.certainly_full_rank`, from its Gram
    matrix), the singular values then wait for first use, from that design, without the
    fit holding it.
    """
    rows = weighted_rows(Phi, np.zeros(len(Phi)), w)
    k = Phi.shape[1]
    values: np.ndarray | Callable[[], np.ndarray]
    if columns is not None and certainly_full_rank(rows.Phi):
        values, rank = functools.partial(_design_singular_values, columns, w), k
    else:
        values, rank = _singular_values(rows)
    unscaled = unscaled_covariance(np.asarray(cov, dtype=np.float64), scale)
    return RobustUncertainty(unscaled, scale * unit, float(rank), rows.n_obs, values, rank)


def unscaled_covariance(cov: np.ndarray, scale: Any) -> np.ndarray:
    """``cov / scale**2`` of one fit's covariance (k, k) or of many (p, k, k, with scales
    (p,)). An exact fit (scale 0) keeps its covariance of 0; no scale (NaN) leaves it NaN.

    Examples
    --------
    >>> unscaled_covariance(np.array([[4.0]]), 2.0).tolist()
    [[1.0]]
    """
    s = np.asarray(scale, dtype=np.float64)[..., None, None]
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        return np.where(s > 0.0, cov / (s * s), cov)


def _design_singular_values(columns: Callable[[], np.ndarray], w: np.ndarray | None) -> np.ndarray:
    """The singular values of the design ``columns()`` weighted by ``w``, largest first."""
    Phi = columns()
    return _singular_values(weighted_rows(Phi, np.zeros(len(Phi)), w))[0]


def _singular_values(rows: WeightedRows) -> tuple[np.ndarray, int]:
    """The singular values of weighted rows, in the units of the sample weights, and
    their rank."""
    values, rank = singular_values(r_factor(rows.Phi))
    return values * rows.unit, rank


def fit_scaled(
    Phi: np.ndarray,
    y: np.ndarray,
    penalty: Penalty,
    seed: int,
    sample_weight: np.ndarray | None = None,
) -> tuple[EngineFit, float]:
    """The engine's fit of a finite y of any size: (the fit of y / s, s).

    s is 1.0 for y of ordinary size, else a power of two (so the division is exact) that
    keeps the covariance of y / s within doubles: set by the bulk of y (its median plus
    its MAD), as far as it keeps the largest value below ``ROBUST_TOP``. The penalised
    fit scales with y, so the coefficients of y are those of y / s times s.

    Raises
    ------
    ValueError
        When the engine finds no finite fit.
    """
    s = power_of_two_scale(y)
    bulk = abs(float(np.median(y))) + zarn_core.mad(y) if s > 1.0 else 0.0
    if bulk > 0.0:  # (a bulk of zeros keeps the scaling of the largest value)
        least = math.ldexp(1.0, math.frexp(float(np.abs(y).max()) / ROBUST_TOP)[1])
        s = max(power_of_two(bulk), least)
    result = fit_one(
        Phi,
        y if s == 1.0 else y / s,  # (no copy of y of ordinary size)
        penalty.R1,
        penalty.R2,
        penalty.gamma1,
        penalty.gamma2,
        ridge=penalty.ridge,
        seed=seed,
        sample_weight=sample_weight,
    )
    if result.status == FAILED:
        raise ValueError("the robust fit found no finite solution for these data")
    return result, s
