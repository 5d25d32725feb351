"""zarn: fit and compare polynomial models on a fast C++/Eigen core.

:class:`PolynomialRegressor` is the model most users want. The low-level functions and
classes of the native module ``zarn._native.zarn_core`` are re-exported under their own
names.
"""

from importlib.metadata import PackageNotFoundError, version

try:
    from zarn._native import zarn_core
except ImportError as err:  # a source tree without the compiled module
    raise ImportError(
        f"zarn's compiled core is missing from {__path__[0]}: this is probably the source "
        "folder of a checkout, which Python imports first when run from the repository "
        "root. Install zarn for development with `pip install --no-build-isolation -e .` "
        "(see README.md), or run Python from another folder."
    ) from err
from zarn._methods import GibbsRecord
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
from zarn._summary import Summary
from zarn.compare import ComparisonRow, ModelComparison, compare_models
from zarn.exceptions import FitWarning, RankWarning
from zarn.many import ManyFits, fit_many
from zarn.models import PolynomialRegressor

try:
    __version__ = version("zarn")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "ComparisonRow",
    "FitWarning",
    "GibbsRecord",
    "GibbsResult",
    "MCMCResult",
    "ManyFits",
    "ModelComparison",
    "PolynomialRegressor",
    "RankWarning",
    "Summary",
    "TournamentMCMC",
    "__version__",
    "boundary_reduce_1d",
    "build_penalty_matrices_nd",
    "compare_models",
    "compute_sr",
    "design_matrix_1d",
    "design_matrix_nd",
    "fit_many",
    "fit_regularized_linear",
    "gibbs_entropy",
    "mad",
    "mdl_score",
    "mdl_score_reg",
    "ols",
    "smoothness_penalty_matrices_1d",
    "zarn_core",
]
