"""Lazy imports of optional dependencies, with an error that names the extra to install."""

from __future__ import annotations

import importlib
from types import ModuleType

# The extra of pyproject.toml that installs each optional top-level package.
EXTRAS = {
    "sklearn": "sklearn",
    "pandas": "pandas",
    "matplotlib": "plot",
    "dask": "dask",
    "distributed": "dask",
    "joblib": "parallel",
    "tqdm": "progress",
    "xarray": "xarray",
}


def import_optional(name: str, feature: str) -> ModuleType:
    """Import the optional module ``name``, or explain which extra provides it.

    Parameters
    ----------
    name : str
        Dotted module name, such as ``"sklearn.exceptions"``.
    feature : str
        What the caller wanted to do, for the error message.

    Returns
    -------
    module
        The imported module.

    Raises
    ------
    ImportError
        When the module is not installed; the message names the extra.

    Examples
    --------
    >>> import_optional("numpy.polynomial", "polynomials").__name__
    'numpy.polynomial'
    """
    try:
        return importlib.import_module(name)
    except ImportError as err:
        top = name.partition(".")[0]
        extra = EXTRAS.get(top, top)
        raise ImportError(
            f"{feature} needs the optional package {top!r}, which is not installed; "
            f"install it with: pip install 'zarn[{extra}]'"
        ) from err


def sklearn_or_none(name: str) -> ModuleType | None:
    """Import a scikit-learn module if scikit-learn is installed, else return None."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None
