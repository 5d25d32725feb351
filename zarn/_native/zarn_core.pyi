"""ZARN-P performans-kritik cekirdegi (C++/Eigen)."""

from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Int = SupportsIndex  # ints and NumPy integers; floats are refused
_Float = SupportsFloat | SupportsIndex
_Vector = NDArray[np.float64]
_Matrix = NDArray[np.float64]

def mad(y: ArrayLike) -> float: ...
def compute_sr(yp: ArrayLike, yt: ArrayLike, eps: _Float) -> float: ...
def mdl_score(yp: ArrayLike, yt: ArrayLike, k: _Int, H: _Int = 20) -> float: ...
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
) -> float: ...
def design_matrix_1d(deg: _Int, x: ArrayLike) -> _Matrix: ...
def smoothness_penalty_matrices_1d(
    deg: _Int, x_min: _Float, x_max: _Float, n_grid: _Int = 600
) -> tuple[_Matrix, _Matrix]: ...
def boundary_reduce_1d(deg: _Int, x_min: _Float, x_max: _Float) -> _Matrix: ...
def design_matrix_nd(multi_indices: Sequence[Sequence[_Int]], X_cols: Sequence[ArrayLike]) -> _Matrix: ...
def build_penalty_matrices_nd(
    degrees: Sequence[_Int],
    bounds: Sequence[tuple[_Float, _Float]],
    n_grid_per_dim: _Int = 30,
) -> tuple[_Matrix, _Matrix, list[list[int]]]: ...
def ols(X: ArrayLike, y: ArrayLike) -> _Vector: ...
def fit_regularized_linear(
    Phi: ArrayLike,
    y: ArrayLike,
    R1: ArrayLike | None = None,
    R2: ArrayLike | None = None,
    gamma1: _Float = 0.0,
    gamma2: _Float = 0.0,
    ridge: _Float = 1e-10,
) -> _Vector: ...
@final
class GibbsResult:
    @property
    def H(self) -> float: ...
    @property
    def Hmax(self) -> float: ...
    @property
    def He(self) -> float: ...
    @property
    def r_heat(self) -> float: ...
    @property
    def var_E(self) -> float: ...
    @property
    def T(self) -> float: ...

def gibbs_entropy(energies: ArrayLike, T: _Float = 1.0) -> GibbsResult: ...
@final
class MCMCResult:
    @property
    def beta_mcmc(self) -> _Vector: ...
    @property
    def energy(self) -> float: ...
    @property
    def gibbs(self) -> GibbsResult: ...
    @property
    def n_chains(self) -> int: ...
    @property
    def n_elite(self) -> int: ...

@final
class TournamentMCMC:
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
    ) -> MCMCResult: ...

