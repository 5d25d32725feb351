"""Native core of zarn, compiled from C++ (Eigen, OpenMP): bases, penalties, fits, scores.

Every function copies its arguments once, computes in native code and returns new NumPy
arrays; it never writes to its arguments and keeps no state. A *vector* argument is
anything NumPy turns into a float64 array of shape (n,) or (n, 1); a *matrix* anything
that becomes a 2-D float64 array. Integer parameters refuse floats. Vector results have
shape (p,); matrix results are 2-D, in Fortran order. Bad values raise ValueError, values
that do not convert TypeError, requests beyond the machine's memory MemoryError. Every call
holds the interpreter lock until it returns. ``import zarn`` re-exports every name.
"""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Int = SupportsIndex  # ints and NumPy integers; floats are refused
_Float = SupportsFloat | SupportsIndex
_Vector = NDArray[np.float64]
_Matrix = NDArray[np.float64]

def mad(y: ArrayLike) -> float:
    """Median absolute deviation: the median of ``|y - median(y)|``.

    Unscaled (multiply by 1.4826 for a Gaussian standard deviation) and not floored, so it
    is 0.0 when more than half of the values are equal. The median of an even count is the
    mean of the two middle values. A NaN anywhere gives NaN, as :func:`numpy.median` does.

    Parameters
    ----------
    y : vector
        The values, length n.

    Returns
    -------
    float
        The MAD; 0.0 for an empty ``y``.

    Examples
    --------
    >>> import zarn
    >>> zarn.mad([1.0, 2.0, 3.0, 4.0, 100.0])
    1.0
    """

def compute_sr(yp: ArrayLike, yt: ArrayLike, eps: _Float) -> float:
    """Success rate: the share of points where ``|yp - yt| < eps``, floored at 1/(2n).

    The test is strict (a deviation equal to ``eps`` or NaN is a miss). The floor keeps
    ``log(sr)`` finite when nothing is hit.

    Parameters
    ----------
    yp : vector
        Prediction, length n.
    yt : vector
        Observations, length n.
    eps : float
        Tolerance; required. Zero or below hits nothing.

    Returns
    -------
    float
        A value in [1/(2n), 1]; NaN for n = 0.

    Raises
    ------
    ValueError
        If ``yp`` and ``yt`` differ in length.

    Examples
    --------
    >>> import zarn
    >>> zarn.compute_sr([0.0, 0.0, 0.0, 0.0], [0.0, 1.0, 2.0, 3.0], 1.0)
    0.25
    """

def mdl_score(yp: ArrayLike, yt: ArrayLike, k: _Int, H: _Int = 20) -> float:
    """MDL score of a prediction with ``k`` coefficients (lower is better).

    ``-n * log(sr) + k**2 * log(2 * H) / n``, where ``sr = compute_sr(yp, yt, eps)`` and
    ``eps = 0.4 * mad(yt)`` (0.4 when the MAD is 0 or NaN; a NaN observation is a miss).
    The first term is what the misses cost, the second what the coefficients cost. Compare
    scores on the same data only.

    Parameters
    ----------
    yp : vector
        Prediction, length n.
    yt : vector
        Observations, length n.
    k : int
        Number of model coefficients.
    H : int, default 20
        Complexity parameter; H = 0 with k > 0 gives -inf, a negative H NaN.

    Returns
    -------
    float
        The score; NaN for n = 0.

    Raises
    ------
    ValueError
        If ``yp`` and ``yt`` differ in length.

    Examples
    --------
    >>> import zarn
    >>> y = [0.0, 1.0, 2.0, 3.0, 4.0]
    >>> round(zarn.mdl_score(y, y, k=2), 4)
    2.9511
    """

def mdl_score_reg(
    yp: ArrayLike,
    yt: ArrayLike,
    k: _Int,
    H: _Int,
    beta: ArrayLike,
    R1: ArrayLike,
    R2: ArrayLike,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
) -> float:
    """MDL score plus smoothness penalties: ``mdl_score + gamma1 b'R1 b + gamma2 b'R2 b``.

    A term whose weight is exactly 0.0 is skipped without reading its matrix. This is the
    energy that :class:`TournamentMCMC` minimises.

    Parameters
    ----------
    yp, yt : vector
        Prediction and observations, length n each.
    k : int
        Number of coefficients.
    H : int
        Complexity parameter (required here).
    beta : vector
        Coefficients, length p.
    R1, R2 : matrix
        Penalty matrices, p x p when their weight is not 0.0; None is refused.
    gamma1, gamma2 : float, default 0.0
        Weights of the slope and curvature terms.

    Returns
    -------
    float
        The penalised score.

    Raises
    ------
    ValueError
        If ``yp`` and ``yt`` differ in length, or an applied matrix is not p x p.
    """

def design_matrix_1d(deg: _Int, x: ArrayLike) -> _Matrix:
    """Monomial design matrix of one variable: column p holds ``x**p``, p = 0 .. deg.

    Each column is the previous one times ``x``; no scaling is applied, so map data far
    from 0 onto [-1, 1] first for high degrees.

    Parameters
    ----------
    deg : int
        Highest power, at least 0.
    x : vector
        Sample points, length n.

    Returns
    -------
    ndarray of shape (n, deg + 1)
        The design matrix.

    Raises
    ------
    ValueError
        "deg < 0".

    Examples
    --------
    >>> import zarn
    >>> zarn.design_matrix_1d(2, [3.0]).tolist()
    [[1.0, 3.0, 9.0]]
    """

def smoothness_penalty_matrices_1d(
    deg: _Int, x_min: _Float, x_max: _Float, n_grid: _Int = 600
) -> tuple[_Matrix, _Matrix]:
    """Slope and curvature penalty matrices of the degree-``deg`` monomial basis.

    ``b @ R1 @ b`` approximates the integral of f'(x)**2 and ``b @ R2 @ b`` that of
    f''(x)**2 over [x_min, x_max], for f(x) = sum_p b[p] x**p, by a rectangle rule on
    ``n_grid`` equally spaced points, each weighted (x_max - x_min) / (n_grid - 1).

    Parameters
    ----------
    deg : int
        Degree, at least 0.
    x_min, x_max : float
        The interval (not validated; equal ends give zero matrices).
    n_grid : int, default 600
        Grid points, at least 2.

    Returns
    -------
    R1, R2 : ndarray of shape (deg + 1, deg + 1)
        Symmetric positive semi-definite matrices (for x_max > x_min).

    Raises
    ------
    ValueError
        "deg < 0" or "n_grid < 2".
    """

def boundary_reduce_1d(deg: _Int, x_min: _Float, x_max: _Float) -> _Matrix:
    """Boundary term ``[f' f'']`` between x_min and x_max, as a symmetric quadratic form.

    ``b @ B @ b = f'(x_max) f''(x_max) - f'(x_min) f''(x_min)`` for the monomial
    polynomial with coefficients b.

    Parameters
    ----------
    deg : int
        Degree, at least -1.
    x_min, x_max : float
        The ends of the interval.

    Returns
    -------
    ndarray of shape (deg + 1, deg + 1)
        The symmetric matrix B (0 x 0 for deg = -1).

    Raises
    ------
    ValueError
        "deg < -1".
    """

def design_matrix_nd(
    multi_indices: Sequence[Sequence[_Int]], X_cols: Sequence[ArrayLike]
) -> _Matrix:
    """Design matrix of several variables, one column per multi-index.

    ``Phi[i, j] = prod_d X_cols[d][i] ** multi_indices[j][d]``.

    Parameters
    ----------
    multi_indices : list of lists of int
        Exponents of each basis function, at least ``len(X_cols)`` each; for example the
        list returned by :func:`build_penalty_matrices_nd`, or a subset of it.
    X_cols : list of vectors
        One vector of n samples per variable.

    Returns
    -------
    ndarray of shape (n, len(multi_indices))
        The design matrix.

    Raises
    ------
    ValueError
        If ``X_cols`` is empty, its vectors differ in length, or a multi-index is shorter
        than ``X_cols``.
    """

def build_penalty_matrices_nd(
    degrees: Sequence[_Int],
    bounds: Sequence[tuple[_Float, _Float]],
    n_grid_per_dim: _Int = 30,
) -> tuple[_Matrix, _Matrix, list[list[int]]]:
    """Gradient and Hessian penalties of the tensor monomial basis on a box, and its order.

    The basis holds every multi-index with exponent d in 0 .. degrees[d], the last variable
    varying fastest. ``b @ R1 @ b`` approximates the integral of the squared gradient and
    ``b @ R2 @ b`` that of the squared Frobenius norm of the Hessian, on a grid of
    ``n_grid_per_dim`` points per axis with equal weights.

    Parameters
    ----------
    degrees : list of int
        Highest exponent per variable.
    bounds : list of (float, float)
        One (start, end) interval per variable.
    n_grid_per_dim : int, default 30
        Grid points per axis, at least 2; the cost grows with its D-th power.

    Returns
    -------
    R1, R2 : ndarray of shape (M, M)
        The penalties, M = prod(degrees[d] + 1).
    multi_indices : list of M lists of int
        The basis order; pass it to :func:`design_matrix_nd`.

    Raises
    ------
    ValueError
        "Dimension mismatch." (``len(bounds) != len(degrees)``), a degree below -1,
        "n_grid_per_dim < 2".

    Examples
    --------
    >>> import zarn
    >>> R1, R2, mi = zarn.build_penalty_matrices_nd([1, 1], [(0.0, 1.0), (0.0, 1.0)])
    >>> mi
    [[0, 0], [0, 1], [1, 0], [1, 1]]
    """

def ols(X: ArrayLike, y: ArrayLike) -> _Vector:
    """Minimum-norm least squares by a thin singular value decomposition.

    Stays defined for rank-deficient X and for more columns than rows: singular values below
    max(1, min(m, p)) * 2**-52 times the largest count as zero. NaN or infinity in y
    propagates into the result. Slower than :func:`fit_regularized_linear` on tall
    matrices, but safe on ill-conditioned ones.

    Parameters
    ----------
    X : matrix
        Design matrix, m x p.
    y : vector
        Observations, length m.

    Returns
    -------
    ndarray of shape (p,)
        The coefficients.

    Raises
    ------
    ValueError
        If ``len(y)`` differs from the rows of X, or X holds NaN or infinity.

    Examples
    --------
    >>> import zarn
    >>> zarn.ols([[1.0, 0.0], [1.0, 1.0], [1.0, 2.0]], [1.0, 3.0, 5.0]).round(12)
    array([1., 2.])
    """

def fit_regularized_linear(
    Phi: ArrayLike,
    y: ArrayLike,
    R1: ArrayLike | None = None,
    R2: ArrayLike | None = None,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
    ridge: _Float = 1e-10,
) -> _Vector:
    """Penalised least squares by the normal equations.

    Solves ``(Phi'Phi + ridge I + n gamma1 R1 + n gamma2 R2) b = Phi'y`` (n = len(y)) by
    an LDLT factorisation that reads the lower triangle. A term whose matrix is None or
    whose weight is 0.0 is dropped. A finite singular system returns what the solve gives.

    Parameters
    ----------
    Phi : matrix
        Design matrix, n x p.
    y : vector
        Observations, length n.
    R1, R2 : matrix or None, default None
        Penalty matrices, p x p.
    gamma1, gamma2 : float, default 0.0
        Penalty weights (multiplied by n).
    ridge : float, default 1e-10
        Added to the diagonal.

    Returns
    -------
    ndarray of shape (p,)
        The coefficients.

    Raises
    ------
    ValueError
        If ``len(y)`` differs from the rows of Phi, an applied matrix is not p x p, an input
        that is read holds NaN or infinity, or the normal equations overflow (scale the
        columns of Phi).
    RuntimeError
        If R1 or R2 is neither None nor convertible to a matrix.
    """

@final
class GibbsResult:
    """Gibbs entropy analysis of a set of energies (from :func:`gibbs_entropy`).

    No Python constructor; read-only attributes; not picklable.
    """

    @property
    def H(self) -> float:
        """Entropy of the normalised Boltzmann weights exp(-(E - Emin)/T), in nats."""
    @property
    def Hmax(self) -> float:
        """ln(max(N, 2)): the entropy of N equally likely states."""
    @property
    def He(self) -> float:
        """H / Hmax, in [0, 1]: 1 when all energies are equal, near 0 when one dominates."""
    @property
    def r_heat(self) -> float:
        """0.01 + 0.99 He; the sampler's deep phase starts at temperature 0.5 r_heat."""
    @property
    def var_E(self) -> float:
        """Population variance of the energies."""
    @property
    def T(self) -> float:
        """Temperature of the analysis."""

def gibbs_entropy(energies: ArrayLike, T: _Float = 1.0) -> GibbsResult:
    """Gibbs (Boltzmann) entropy analysis of N energies at temperature T.

    Parameters
    ----------
    energies : vector
        The energies, at least one.
    T : float, default 1.0
        Temperature (not validated).

    Returns
    -------
    GibbsResult
        H, Hmax, He, r_heat, var_E and T.

    Raises
    ------
    ValueError
        "energies is empty".

    Examples
    --------
    >>> import zarn
    >>> round(zarn.gibbs_entropy([1.0, 1.0, 1.0]).He, 12)
    1.0
    """

@final
class MCMCResult:
    """Result of :meth:`TournamentMCMC.fit`: no Python constructor, read-only, not picklable."""

    @property
    def beta_mcmc(self) -> _Vector:
        """Best coefficients found, shape (k,): a read-only view that keeps the result alive."""
    @property
    def energy(self) -> float:
        """Their MDL energy (penalties included)."""
    @property
    def gibbs(self) -> GibbsResult:
        """Gibbs analysis of the warm-up chains' final energies at T = 1."""
    @property
    def n_chains(self) -> int:
        """The configured number of chains."""
    @property
    def n_elite(self) -> int:
        """The configured elite size."""

@final
class TournamentMCMC:
    """Reproducible parallel annealing sampler of the MDL energy.

    Warm-up: ``n_chains`` Metropolis chains of ``n_warmup`` steps from random starts, in
    parallel on OpenMP threads; a Gibbs analysis of their final energies; then up to
    ``n_elite`` good chains that lie apart are refined by ``n_deep`` cooler, finer steps
    each on the calling thread, keeping the best point seen. Results depend only on the
    arguments and ``seed``, not on the number of threads. Cost:
    ``n_chains * (1 + n_warmup) + n_elite * n_deep`` energy evaluations, each a pass over X
    (about 5 ms with the defaults at n = 1,000, k = 6); lower ``n_deep`` first.

    Parameters
    ----------
    n_chains : int, default 25
        Warm-up chains, at least 1.
    n_warmup : int, default 200
        Steps per warm-up chain.
    n_deep : int, default 2000
        Steps per deep run.
    n_elite : int, default 5
        Largest number of refined chains.
    step_size : float, default 0.05
        Proposal standard deviation per coefficient (absolute; 0.3 of it in deep runs).
    H_piH : int, default 20
        MDL complexity parameter of the energy.
    seed : int, default 42
        Seed in [0, 2**64).

    Raises
    ------
    ValueError
        "n_chains < 1".
    TypeError
        A float for an int parameter, or a negative seed.
    """

    def __init__(
        self,
        n_chains: _Int = 25,
        n_warmup: _Int = 200,
        n_deep: _Int = 2000,
        n_elite: _Int = 5,
        step_size: _Float = 0.05,
        H_piH: _Int = 20,
        seed: _Int = 42,
    ) -> None: ...
    def fit(
        self,
        X: ArrayLike,
        y: ArrayLike,
        R1: ArrayLike | None = None,
        R2: ArrayLike | None = None,
        gamma1: _Float = 0.0,
        gamma2: _Float = 0.0,
    ) -> MCMCResult:
        """Minimise ``mdl_score_reg(X @ b, y, k, H_piH, b, R1, R2, gamma1, gamma2)`` over b.

        Parameters
        ----------
        X : matrix
            Design matrix, n x k.
        y : vector
            Observations, length n.
        R1, R2 : matrix or None, default None
            Penalty matrices, k x k; None or a weight of 0.0 drops the term.
        gamma1, gamma2 : float, default 0.0
            Penalty weights (not multiplied by n).

        Returns
        -------
        MCMCResult
            Best coefficients, their energy and the warm-up's Gibbs analysis.

        Raises
        ------
        ValueError
            If ``len(y)`` differs from the rows of X, an applied matrix is not k x k, or X, y
            or an applied penalty holds NaN or infinity.
        """
