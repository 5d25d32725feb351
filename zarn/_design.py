"""A fit's design: domain, map onto [-1, 1], basis, design matrix, penalties and prediction.

:class:`Design` is built once per fit, from the training positions and the checked
parameters, by the estimator and by :func:`zarn.fit_many` (and so for every candidate of
:func:`zarn.compare_models`); the fitted model and the many-series result keep it to
evaluate their polynomials. The bases, maps and penalties themselves are computed by
:mod:`zarn._basis`.

With ``harmonics`` the design holds, after the polynomial's columns, the sine and cosine
pairs of the period (:mod:`zarn._harmonics`), computed from the unmapped positions in the
feature's own units and reduced modulo the period: every method then fits the polynomial
and the seasonal cycle jointly, and the penalties act on the polynomial's columns only.
"""

from __future__ import annotations

import math
from typing import Any, NamedTuple

import numpy as np

from zarn import _basis
from zarn._harmonics import check_harmonics, harmonic_columns
from zarn._settings import Settings
from zarn._validation import check_degrees, check_finite

# Rows of design matrix per block in predict: a block of a few MB stays in cache.
PREDICT_BLOCK_ROWS = 8192


class Design(NamedTuple):
    """The basis and the domain map of a fit; small, immutable and picklable.

    Attributes
    ----------
    degrees : tuple of int
        Highest power of each feature.
    basis : str
        ``"tensor"`` or ``"total"``.
    n_grid : int or None
        Grid of the penalty integrals (None: the core's default).
    indices : ndarray of shape (k, d)
        The exponents of each basis function (read-only, shared by a cache).
    domain : ndarray of shape (d, 2)
        Each feature's (low, high), mapped onto [-1, 1].
    offset, scale : float or ndarray
        The map ``Z = X * scale + offset`` (floats for one feature).
    harmonics : int
        Sine/cosine pairs of ``period`` after the polynomial's columns (one feature only).
    period : float or None
        The period of the harmonics in the feature's own units (None without them).

    Examples
    --------
    >>> import numpy as np
    >>> import zarn
    >>> from zarn._settings import validate_params
    >>> X = np.array([[0.0], [1.0], [2.0]])
    >>> settings = validate_params(zarn.PolynomialRegressor(degree=2, method="ols"))
    >>> design = Design.from_data(X, settings)
    >>> design.degrees, design.k, design.domain.tolist()
    ((2,), 3, [[0.0, 2.0]])
    >>> design.matrix(design.map(X))
    array([[ 1., -1.,  1.],
           [ 1.,  0.,  0.],
           [ 1.,  1.,  1.]])
    """

    degrees: tuple[int, ...]
    basis: str
    n_grid: int | None
    indices: np.ndarray
    domain: np.ndarray
    offset: Any
    scale: Any
    harmonics: int = 0
    period: float | None = None

    @classmethod
    def from_data(
        cls,
        X: np.ndarray,
        settings: Settings,
        names: np.ndarray | None = None,
        datetime_like: bool = False,
    ) -> Design:
        """The design of a fit to the positions X (n, d) with checked settings.

        The domain is ``settings.domain`` or else X's range; X is checked to be finite. A
        fit that could not fit in memory is refused before anything is built.
        ``datetime_like`` says that X holds converted dates (nanoseconds since 1970), whose
        harmonics default to a period of one mean Gregorian year.

        Raises
        ------
        ValueError
            For NaN or infinity in X, a degree sequence of the wrong length, or a domain
            of the wrong shape, of zero width or that cannot be mapped in doubles;
            harmonics with several features, or without a period on numeric positions.
        MemoryError
            For a basis whose fit would need more than the machine's memory.
        """
        n, d = X.shape
        degree = settings.degree
        degrees = (degree,) * d if isinstance(degree, int) else check_degrees(degree, d)
        basis = settings.basis
        harmonics = settings.harmonics
        if harmonics and d != 1:
            raise ValueError(
                f"harmonics need exactly one feature (the time coordinate); X has {d} features"
            )
        period = check_harmonics(harmonics, settings.period, datetime_like)
        domain = _domain(X, settings.domain, names)
        k = _basis.basis_size(degrees, basis) + 2 * harmonics
        # The design matrix holds n * k values; the SVD about two more of its size, the
        # normal equations and the penalties k * k each.
        if 8.0 * (3 * n * k + 3 * k * k) > _basis.PHYSICAL_MEMORY:
            # Many features and few samples: most likely many series, one per column.
            hint = (
                f"; X has {d} features for {n} samples: zarn.fit_many fits many series on "
                "shared positions (one series per column of Y), and zarn.fit_groups one "
                "series per group, each with its own positions (long format)"
                if d > n
                else ""
            )
            try:
                _basis.check_memory(
                    8.0 * (3 * n * k + 3 * k * k),
                    f"a {settings.method} fit of {k} coefficients (degree "
                    f"{degree if isinstance(degree, int) else degrees}, {basis} basis) on "
                    f"{n} samples",
                )
            except MemoryError as error:
                raise MemoryError(f"{error}{hint}") from None
        offset, scale = _basis.domain_map(domain)
        indices = _basis.multi_indices(degrees, basis)
        return cls(
            degrees, basis, settings.n_grid, indices, domain, offset, scale, harmonics, period
        )

    @property
    def k(self) -> int:
        """Number of columns (coefficients): the polynomial's and the harmonics'."""
        return len(self.indices) + 2 * self.harmonics

    @property
    def n_poly(self) -> int:
        """Number of the polynomial's basis functions, the first columns."""
        return len(self.indices)

    def map(self, X: np.ndarray) -> np.ndarray:
        """X (n, d) mapped onto the window (far outside the domain it may overflow)."""
        Z = X * self.scale
        Z += self.offset
        return np.asarray(Z)

    def columns(self, X: np.ndarray) -> np.ndarray:
        """The design matrix (n, k) at the positions X (n, d)."""
        return self.matrix(self.map(X), X)

    def matrix(self, Z: np.ndarray, X: np.ndarray | None = None) -> np.ndarray:
        """The design matrix (n, k) at mapped points Z (of the positions X).

        The harmonics' columns are computed from X; without X, from the positions that Z
        maps back to, which carry the map's rounding (about 1e-16 of the domain's width).
        """
        return self.derivative_matrix(Z, (0,) * Z.shape[1], X)

    def penalties(
        self, gamma1: float, gamma2: float
    ) -> tuple[np.ndarray, np.ndarray] | tuple[None, None]:
        """The slope and curvature penalties (R1, R2), or (None, None) when both weights are 0.

        With harmonics the polynomial's matrices are padded with zero rows and columns, so
        that the harmonics' coefficients are not penalised.
        """
        if gamma1 == 0.0 and gamma2 == 0.0:
            return None, None
        R1, R2 = _basis.penalties(self.degrees, self.basis, self.n_grid)
        if not self.harmonics:
            return R1, R2
        return _padded(R1, self.k), _padded(R2, self.k)

    def derivative_matrix(
        self, Z: np.ndarray, orders: tuple[int, ...], X: np.ndarray | None = None
    ) -> np.ndarray:
        """The derivatives of the basis functions at mapped points Z (n x d), with respect
        to the original variables: ``orders[j]`` times by feature j.

        Each polynomial column is the product over the features of the ``orders[j]``-th
        derivative of ``u_j ** p`` times ``scale_j ** orders[j]`` (the chain rule of the
        affine map); the harmonics' columns are differentiated in the feature's own units
        (computed from X, as in :meth:`matrix`). All orders 0 give :meth:`matrix`.
        """
        if not any(orders):
            poly = _basis.design(Z, self.degrees, self.indices)
        else:
            scale = np.broadcast_to(np.asarray(self.scale, dtype=np.float64), (Z.shape[1],))
            poly = np.ones((len(Z), self.n_poly))
            for j, order in enumerate(orders):
                table = _basis.derivative_table(Z[:, j], self.degrees[j], order)
                poly *= table[:, self.indices[:, j]]
                if order:
                    poly *= float(scale[j]) ** order
        if not self.harmonics:
            return poly
        assert self.period is not None  # set with the harmonics
        if X is None:
            X = (Z - self.offset) / self.scale
        seasonal = harmonic_columns(X[:, 0], self.period, self.harmonics, orders[0])
        return np.concatenate([poly, seasonal], axis=1)

    def predict(
        self, X: np.ndarray, coef: Any, name: str = "X", derivative: tuple[int, ...] | None = None
    ) -> Any:
        """The polynomials of ``coef`` (or their derivatives) at the finite positions X (n, d).

        ``coef`` of shape (k,) gives shape (n,); of shape (m, k) (one row per series)
        shape (m, n), NaN for a row of NaN. The design matrix is built in blocks of
        ``PREDICT_BLOCK_ROWS`` rows. A Dask array of coefficients gives a lazy result.
        ``derivative`` holds one order per feature (None: the values themselves); see
        :meth:`derivative_matrix`.

        Raises
        ------
        ValueError
            Where a prediction of finite coefficients exceeds the range of doubles (X far
            outside the domain).
        """
        # Far outside the domain the map and the powers may overflow: reported below, not
        # warned about.
        orders = (0,) * X.shape[1] if derivative is None else derivative
        with np.errstate(over="ignore", invalid="ignore"):
            Z = self.map(X)
            if not isinstance(coef, np.ndarray):  # lazy: one product, evaluated by Dask
                return coef @ self.derivative_matrix(Z, orders, X).T
            if len(Z) <= PREDICT_BLOCK_ROWS:
                out = _evaluate(self.derivative_matrix(Z, orders, X), coef)
            else:
                out = np.empty(coef.shape[:-1] + (len(Z),))
                for start in range(0, len(Z), PREDICT_BLOCK_ROWS):
                    block = slice(start, start + PREDICT_BLOCK_ROWS)
                    Phi = self.derivative_matrix(Z[block], orders, X[block])
                    out[..., block] = _evaluate(Phi, coef)
        bad = np.asarray(~np.isfinite(out))
        if coef.ndim == 2:  # a row of NaN (a series without samples) predicts NaN
            bad &= np.isfinite(coef).all(axis=1, keepdims=True)
        if bad.any():
            points = np.flatnonzero(bad.any(axis=0) if bad.ndim == 2 else bad)
            raise ValueError(
                f"the prediction exceeds the range of doubles at {len(points)} point(s) "
                f"of {name} (the first is row {points[0]}), which lie too far outside the "
                f"domain {self.domain.tolist()}"
            )
        return out


def _padded(R: np.ndarray, k: int) -> np.ndarray:
    """R (a penalty of the polynomial's columns) with zero rows and columns up to k x k."""
    out = np.zeros((k, k))
    m = len(R)
    out[:m, :m] = R
    out.flags.writeable = False  # as the cached matrices, which every caller shares
    return out


def _evaluate(Phi: np.ndarray, coef: np.ndarray) -> np.ndarray:
    """Phi @ coef for one coefficient vector, coef @ Phi.T for one row per series."""
    return np.asarray(Phi @ coef if coef.ndim == 1 else coef @ Phi.T)


def _domain(X: np.ndarray, domain: Any, names: np.ndarray | None) -> np.ndarray:
    """Each feature's (low, high), checked; also checks that X is finite."""
    n, d = X.shape
    if domain is None:
        # min and max propagate NaN and reach infinity: they also check finiteness.
        bounds = np.empty((2, d))
        np.minimum.reduce(X, out=bounds[0])
        np.maximum.reduce(X, out=bounds[1])
        out = bounds.T
    else:
        check_finite(X, "X")
        out = np.array(domain, dtype=np.float64)
        if d == 1 and out.shape == (2,):
            out = out.reshape(1, 2)
        if out.shape != (d, 2):
            raise ValueError(
                f"domain must hold one (low, high) pair per feature, i.e. shape ({d}, 2); "
                f"got shape {out.shape}"
            )
    for j, (low, high) in enumerate(out.tolist()):
        if not _maps_onto_window(low, high):
            _refuse_domain(X, domain is None, names, j, low, high)
    return out


def _refuse_domain(
    X: np.ndarray, from_data: bool, names: np.ndarray | None, j: int, low: float, high: float
) -> None:
    """Raise the error that says why feature j's domain cannot be used."""
    n = len(X)
    feature = f"feature {j}" + (f" ({names[j]!r})" if names is not None else "")
    if from_data:
        check_finite(X, "X")
        if low == high:
            raise ValueError(
                f"{feature} of X has a domain of zero width: all {n} sample(s) equal "
                f"{low!r}; drop the feature or give its domain explicitly"
                + (" (cannot fit 1 sample)" if n == 1 else "")
            )
    else:
        check_finite(np.array([low, high]), "domain")
        if not low < high:
            raise ValueError(
                f"domain of {feature} must satisfy low < high, got ({low!r}, {high!r})"
                + (": zero width" if low == high else "")
            )
    raise ValueError(
        f"the domain of {feature}, ({low!r}, {high!r}), cannot be mapped onto [-1, 1] in "
        "double precision (its width overflows or underflows); rescale the feature"
    )


def _maps_onto_window(low: float, high: float) -> bool:
    """Whether (low, high) maps onto [-1, 1] with finite, non-zero offset and scale."""
    if not low < high:  # also NaN
        return False
    width = high - low
    return (
        math.isfinite(width) and math.isfinite((-high - low) / width) and math.isfinite(2.0 / width)
    )
