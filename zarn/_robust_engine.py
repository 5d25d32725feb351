"""Python front-end of the native robust engine (``zarn._native.zarn_robust``).

The engine fits one design shared by many series with R's ``lmrob`` defaults: an
S-estimate (Tukey's biweight, 50 % breakdown) from elemental starts drawn once from the
seed and shared by all series, concentration steps and the refinement of the best few,
then 95 %-efficient M-steps, then M-steps at the noise scale of their residuals while it
falls. A missing value (NaN in y, or a weight of 0) leaves its sample out of its series
alone. Precision weights act as in ``lmrob(weights=)`` and statsmodels' WLS: each sample's
row of the design and its y are multiplied by the square root of its weight, so
multiplying all weights by a constant changes neither the coefficients nor their
covariance (the scale, that of a sample of weight 1, changes with it).

:func:`fit_block` fits a block of series and returns a :class:`BlockFit` of arrays;
:func:`fit_groups` fits groups of samples each with its own rows of the design (the same
per-series code, so the same bits as :func:`fit_one` on a group's rows);
:func:`fit_one` fits one series (a block of one, so the same bits as inside any block)
and returns an :class:`EngineFit`, which the robust method (:mod:`zarn._methods.robust`)
turns into the estimator's results.
Every series runs on one thread of the engine's OpenMP loop, with the interpreter's lock
released; its result depends on its own data, the design and the seed only.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from zarn._constants import RIDGE
from zarn._native import zarn_robust

# Status codes of a series (BlockFit.status).
FITTED = 0  # the MM-estimate, with its scales and covariances
TOO_FEW = 1  # no more samples than coefficients: least squares, scale and covariance NaN
FAILED = 2  # nothing to fit (no sample of positive weight) or no finite fit: all NaN
# The largest seed, as for the core's sampler: seeds are unsigned 64-bit integers.
MAX_SEED = 2**64 - 1


@dataclass(frozen=True)
class BlockFit:
    """MM-estimates of m series with n samples on one design of k columns.

    Attributes
    ----------
    coef : numpy.ndarray
        m x k coefficients.
    cov : numpy.ndarray
        m x k x k covariance of the coefficients: R's ``lmrob`` default
        (``.vcov.avar1``), valid when the noise is not constant.
    cov_h1 : numpy.ndarray
        m x k x k Huber's H1 covariance at the final scale (statsmodels' ``RLM``).
    stderr, stderr_h1 : numpy.ndarray
        m x k standard errors of the two covariances, exact whatever the size of y (a
        covariance of y near 1e300 leaves the range of doubles; its standard errors do
        not).
    weights : numpy.ndarray
        m x n robustness weights of the final fit, in [0, 1]; 0 for missing samples.
    inlier_mask : numpy.ndarray of bool
        m x n: False for outliers (standardised residual at least 3 noise scales) and
        for missing samples.
    scale : numpy.ndarray
        m scales of the final M-step (``lmrob``'s ``scale``).
    s_scale : numpy.ndarray
        m scales of the S-estimate.
    noise_scale : numpy.ndarray
        m noise scales of the final residuals, the inlier cut's unit.
    n_used : numpy.ndarray
        m counts of samples of positive weight.
    status : numpy.ndarray
        m status codes: ``FITTED``, ``TOO_FEW`` or ``FAILED``.

    Examples
    --------
    >>> import numpy as np, zarn
    >>> x = np.linspace(-1.0, 1.0, 30)
    >>> fit = fit_block(zarn.design_matrix_1d(1, x), np.vstack([1.0 + x, 2.0 - x]))
    >>> np.round(fit.coef, 6).tolist(), fit.status.tolist()
    ([[1.0, 1.0], [2.0, -1.0]], [0, 0])
    """

    coef: np.ndarray
    cov: np.ndarray
    cov_h1: np.ndarray
    stderr: np.ndarray
    stderr_h1: np.ndarray
    weights: np.ndarray
    inlier_mask: np.ndarray
    scale: np.ndarray
    s_scale: np.ndarray
    noise_scale: np.ndarray
    n_used: np.ndarray
    status: np.ndarray


@dataclass(frozen=True)
class EngineFit:
    """The engine's fit of one series.

    Attributes
    ----------
    coef : numpy.ndarray
        Coefficients (k).
    inlier_mask : numpy.ndarray of bool
        False for the outliers and for missing samples.
    scale : float
        Scale of the final M-step, ``lmrob``'s ``scale``; 0.0 when most points lie
        exactly on the fit, NaN when the samples do not outnumber the coefficients.
    weights : numpy.ndarray
        Robustness weights of the final fit.
    cov : numpy.ndarray
        k x k covariance, ``lmrob``'s default (``.vcov.avar1``).
    mm_scale : float
        The same as ``scale``.
    s_scale : float
        Scale of the S-estimate.
    noise_scale : float
        Noise scale of the final residuals; outliers lie beyond 3 of it.
    cov_h1 : numpy.ndarray
        Huber's H1 covariance at ``scale`` (statsmodels' ``RLM``).
    stderr, stderr_h1 : numpy.ndarray
        Standard errors of ``cov`` and ``cov_h1``, exact for y of any size.
    dof : int
        Samples of positive weight less coefficients: the degrees of freedom of
        ``lmrob``'s t quantiles.
    status : int
        ``FITTED``, ``TOO_FEW`` or ``FAILED``.

    Examples
    --------
    >>> import numpy as np, zarn
    >>> x = np.linspace(-1.0, 1.0, 50)
    >>> fit = fit_one(zarn.design_matrix_1d(1, x), 1.0 + x)
    >>> np.round(fit.coef, 6).tolist(), fit.scale, fit.status
    ([1.0, 1.0], 0.0, 0)
    """

    coef: np.ndarray
    inlier_mask: np.ndarray
    scale: float
    weights: np.ndarray
    cov: np.ndarray
    mm_scale: float
    s_scale: float
    noise_scale: float
    cov_h1: np.ndarray
    stderr: np.ndarray
    stderr_h1: np.ndarray
    dof: int
    status: int


def _weights(w: np.ndarray | None, shape: tuple[int, ...], name: str) -> np.ndarray | None:
    """``w`` as a C-ordered float64 array of ``shape``, checked: finite and non-negative."""
    if w is None:
        return None
    arr = np.ascontiguousarray(w, dtype=np.float64)
    if arr.shape != shape:
        raise ValueError(f"{name} must have shape {shape}, got {arr.shape}")
    if not np.isfinite(arr).all() or (arr < 0.0).any():
        raise ValueError(f"{name} must be finite and non-negative")
    return arr


def _design(X: np.ndarray) -> np.ndarray:
    """``X``, checked: a finite 2-d array."""
    if X.ndim != 2:
        raise ValueError(f"Phi must be a 2-d array, got {X.ndim} dimensions")
    if not np.isfinite(X).all():
        raise ValueError("Phi must be finite")
    return X


def _check_seed(seed: int) -> None:
    if not 0 <= int(seed) <= MAX_SEED:
        raise ValueError(f"seed must be in [0, 2**64), got {seed}")


def _penalty(
    k: int, R1: np.ndarray | None, R2: np.ndarray | None, gamma1: float, gamma2: float
) -> np.ndarray | None:
    """``gamma1 R1 + gamma2 R2`` (k x k), or None when neither applies."""
    total = np.zeros((k, k))
    applied = False
    for R, gamma in ((R1, gamma1), (R2, gamma2)):
        if R is not None and gamma != 0.0:
            total += float(gamma) * np.asarray(R, dtype=np.float64)
            applied = True
    return total if applied else None


def fit_block(
    Phi: np.ndarray,
    Y: np.ndarray,
    *,
    weights: np.ndarray | None = None,
    sample_weight: np.ndarray | None = None,
    R1: np.ndarray | None = None,
    R2: np.ndarray | None = None,
    gamma1: float = 0.0,
    gamma2: float = 0.0,
    ridge: float = RIDGE,
    seed: int = 0,
) -> BlockFit:
    """Fit every row of ``Y`` on the design ``Phi`` with the robust engine.

    Parameters
    ----------
    Phi : numpy.ndarray
        Design matrix, n x k, finite.
    Y : numpy.ndarray
        m x n observations (or n for one series); NaN marks a missing sample.
    weights : numpy.ndarray or None, default None
        m x n precision weights per series (0: missing); None weighs all samples 1.
    sample_weight : numpy.ndarray or None, default None
        n precision weights shared by all series, multiplying ``weights``.
    R1, R2 : numpy.ndarray or None, default None
        k x k penalty matrices; the normal equations get ``ridge I + N (gamma1 R1 +
        gamma2 R2)``, N the series' total weight.
    gamma1, gamma2 : float, default 0.0
        Penalty weights.
    ridge : float, default 1e-10
        Ridge term of every least-squares fit.
    seed : int, default 0
        Seed of the subsample and of the elemental subsets, in [0, 2**64).

    Returns
    -------
    BlockFit

    Raises
    ------
    ValueError
        For arrays of the wrong shape, a design that is not finite, weights that are
        negative or not finite, or a seed out of range.

    Examples
    --------
    >>> import numpy as np, zarn
    >>> rng = np.random.default_rng(0)
    >>> x = np.linspace(-1.0, 1.0, 100)
    >>> Y = 1.0 + 2.0 * x + 0.1 * rng.standard_normal((3, 100))
    >>> Y[:, :10] += 50.0  # 10 % gross outliers in every series
    >>> Y[1, 50] = np.nan  # one missing sample
    >>> fit = fit_block(zarn.design_matrix_1d(1, x), Y, seed=1)
    >>> bool(np.allclose(fit.coef, [1.0, 2.0], atol=0.1)), fit.n_used.tolist()
    (True, [100, 99, 100])
    >>> int(fit.inlier_mask[:, :10].sum())  # the outliers are flagged
    0
    """
    X = _design(np.asfortranarray(Phi, dtype=np.float64))
    n, k = X.shape
    Ym = np.ascontiguousarray(np.atleast_2d(np.asarray(Y, dtype=np.float64)))
    if Ym.ndim != 2 or Ym.shape[1] != n:
        raise ValueError(f"Y must have {n} columns (one per row of Phi), got shape {Ym.shape}")
    W = _weights(weights, Ym.shape, "weights")
    sw = _weights(sample_weight, (n,), "sample_weight")
    _check_seed(seed)
    out = zarn_robust.fit_block(
        X, Ym, W, sw, _penalty(k, R1, R2, gamma1, gamma2), float(ridge), int(seed)
    )
    return BlockFit(**_fields(out, k))


def _fields(out: dict[str, np.ndarray], k: int) -> dict[str, np.ndarray]:
    """The native engine's arrays as the fields of :class:`BlockFit`, covariances k x k."""
    fields = {name: out[name] for name in _SAME_NAMES}
    m = len(fields["coef"])
    fields["cov"] = out["cov"].reshape(m, k, k)
    fields["cov_h1"] = out["cov_h1"].reshape(m, k, k)
    fields["inlier_mask"] = out["inliers"].astype(bool)
    return fields


# Fields of BlockFit that are the native engine's arrays as they come.
_SAME_NAMES = (
    "coef",
    "stderr",
    "stderr_h1",
    "weights",
    "scale",
    "s_scale",
    "noise_scale",
    "n_used",
    "status",
)


def fit_groups(
    Phi: np.ndarray,
    y: np.ndarray,
    offsets: np.ndarray,
    *,
    sample_weight: np.ndarray | None = None,
    R1: np.ndarray | None = None,
    R2: np.ndarray | None = None,
    gamma1: float = 0.0,
    gamma2: float = 0.0,
    ridge: float = RIDGE,
    seed: int = 0,
) -> BlockFit:
    """Fit G groups of samples, each on its own rows of the design, with the robust engine.

    Group g is rows ``offsets[g]:offsets[g + 1]`` of ``Phi``, ``y`` and ``sample_weight``.
    The groups are fitted in parallel with the interpreter's lock released, and each
    group's result is, bit for bit, that of :func:`fit_one` on its rows alone.

    Parameters
    ----------
    Phi : numpy.ndarray
        Stacked design matrices of the groups, N x k, finite.
    y : numpy.ndarray
        N observations; NaN marks a missing sample.
    offsets : numpy.ndarray
        G + 1 non-decreasing row offsets, from 0 to N.
    sample_weight : numpy.ndarray or None, default None
        N precision weights (0: missing); None weighs all samples 1.
    R1, R2 : numpy.ndarray or None, default None
        k x k penalty matrices shared by the groups; a group's normal equations get
        ``ridge I + N (gamma1 R1 + gamma2 R2)``, N its total weight.
    gamma1, gamma2 : float, default 0.0
        Penalty weights.
    ridge : float, default 1e-10
        Ridge term of every least-squares fit.
    seed : int, default 0
        Seed of the subsample and of the elemental subsets, in [0, 2**64).

    Returns
    -------
    BlockFit
        One row per group, but ``weights`` and ``inlier_mask`` hold one value per row of
        ``Phi``, in its order.

    Raises
    ------
    ValueError
        For arrays of the wrong shape, offsets that do not run from 0 to N without
        decreasing, a design that is not finite, weights that are negative or not
        finite, or a seed out of range.

    Examples
    --------
    >>> import numpy as np, zarn
    >>> x = np.linspace(-1.0, 1.0, 40)
    >>> Phi = np.vstack([zarn.design_matrix_1d(1, x[:25]), zarn.design_matrix_1d(1, x[25:])])
    >>> y = np.concatenate([1.0 + x[:25], 2.0 - x[25:]])
    >>> fit = fit_groups(Phi, y, np.array([0, 25, 40]))
    >>> np.round(fit.coef, 6).tolist(), fit.weights.shape
    ([[1.0, 1.0], [2.0, -1.0]], (40,))
    """
    X = _design(np.ascontiguousarray(Phi, dtype=np.float64))
    N, k = X.shape
    yv = np.asarray(y, dtype=np.float64)
    if yv.shape != (N,):
        raise ValueError(f"y must have shape {(N,)}, got {yv.shape}")
    sw = _weights(sample_weight, (N,), "sample_weight")
    cuts = np.asarray(offsets, dtype=np.int64)
    if (
        cuts.ndim != 1
        or len(cuts) < 1
        or cuts[0] != 0
        or cuts[-1] != N
        or (np.diff(cuts) < 0).any()
    ):
        raise ValueError(f"offsets must run from 0 to {N} without decreasing")
    G = len(cuts) - 1
    P = _penalty(k, R1, R2, gamma1, gamma2)
    # The native engine takes a penalty per group: the same one, G times.
    P_rows = None if P is None else np.tile(P.reshape(1, k * k), (G, 1))
    _check_seed(seed)
    out = zarn_robust.fit_groups(X, yv, sw, cuts.tolist(), P_rows, float(ridge), int(seed))
    return BlockFit(**_fields(out, k))


def fit_one(
    Phi: np.ndarray,
    y: np.ndarray,
    R1: np.ndarray | None = None,
    R2: np.ndarray | None = None,
    gamma1: float = 0.0,
    gamma2: float = 0.0,
    *,
    ridge: float = RIDGE,
    seed: int = 0,
    sample_weight: np.ndarray | None = None,
) -> EngineFit:
    """Fit one series: :func:`fit_block` on a block of one.

    ``sample_weight`` holds the series' precision weights.

    Parameters
    ----------
    Phi : numpy.ndarray
        Design matrix, n x k, finite.
    y : numpy.ndarray
        n observations; NaN marks a missing sample.
    R1, R2 : numpy.ndarray or None, default None
        Penalty matrices (k x k).
    gamma1, gamma2 : float, default 0.0
        Penalty weights (multiplied by the total sample weight).
    ridge : float, default 1e-10
        Ridge term of the least-squares fits.
    seed : int, default 0
        Seed of the random draws, in [0, 2**64).
    sample_weight : numpy.ndarray or None, default None
        Non-negative precision weight of every sample.

    Returns
    -------
    EngineFit

    Examples
    --------
    >>> import numpy as np, zarn
    >>> rng = np.random.default_rng(0)
    >>> x = rng.uniform(-1.0, 1.0, 200)
    >>> y = 1.0 - 2.0 * x + 3.0 * x**3 + 0.01 * rng.standard_normal(200)
    >>> y[:40] = rng.uniform(-20.0, 20.0, 40)  # 20 % gross outliers
    >>> fit = fit_one(zarn.design_matrix_1d(3, x), y, seed=42)
    >>> bool(np.allclose(fit.coef, [1.0, -2.0, 0.0, 3.0], atol=0.01))
    True
    >>> int(fit.inlier_mask[:40].sum()), round(fit.noise_scale, 3)
    (0, 0.01)
    """
    y = np.asarray(y, dtype=np.float64)
    if y.ndim != 1:
        raise ValueError(f"y must be a 1-d array, got {y.ndim} dimensions")
    block = fit_block(
        Phi,
        y[None],
        weights=None if sample_weight is None else np.asarray(sample_weight)[None],
        R1=R1,
        R2=R2,
        gamma1=gamma1,
        gamma2=gamma2,
        ridge=ridge,
        seed=seed,
    )
    return EngineFit(
        coef=block.coef[0],
        inlier_mask=block.inlier_mask[0],
        scale=float(block.scale[0]),
        weights=block.weights[0],
        cov=block.cov[0],
        mm_scale=float(block.scale[0]),
        s_scale=float(block.s_scale[0]),
        noise_scale=float(block.noise_scale[0]),
        cov_h1=block.cov_h1[0],
        stderr=block.stderr[0],
        stderr_h1=block.stderr_h1[0],
        dof=int(block.n_used[0]) - block.coef.shape[1],
        status=int(block.status[0]),
    )
