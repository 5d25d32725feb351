"""zarn: fit and compare polynomial models on a fast C++/Eigen core.

The functions and classes below are those of the native module
``zarn._native.zarn_core``, re-exported under their own names.
"""

from importlib.metadata import PackageNotFoundError, version

from zarn._native import zarn_core
from zarn._native.zarn_core import (
    GibbsResult,
    MCMCResult,
    TournamentMCMC,
    boundary_reduce_1d,
    build_penalty_matrices_nd,
    compute_sr,
    design_matrix_1d,
    design_matrix_nd,
    fit_regularized_linear,
    gibbs_entropy,
    mad,
    mdl_score,
    mdl_score_reg,
    ols,
    smoothness_penalty_matrices_1d,
)

try:
    __version__ = version("zarn")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "GibbsResult",
    "MCMCResult",
    "TournamentMCMC",
    "__version__",
    "boundary_reduce_1d",
    "build_penalty_matrices_nd",
    "compute_sr",
    "design_matrix_1d",
    "design_matrix_nd",
    "fit_regularized_linear",
    "gibbs_entropy",
    "mad",
    "mdl_score",
    "mdl_score_reg",
    "ols",
    "smoothness_penalty_matrices_1d",
    "zarn_core",
]
