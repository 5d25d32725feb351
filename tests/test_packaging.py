"""How zarn installs and imports: NumPy is its only runtime dependency, and a checkout
without the compiled core says what to do. These tests need no optional package, so they
run whatever is installed."""

import pathlib
import subprocess
import sys

import zarn


def test_import_loads_no_optional_dependency(run_python):
    result = run_python(
        """
        import sys, zarn
        heavy = ("sklearn", "pandas", "matplotlib", "dask", "distributed", "joblib", "tqdm",
                 "xarray", "scipy", "statsmodels")
        print(sorted(m for m in heavy if m in sys.modules))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_without_scikit_learn_the_model_still_works(run_python):
    result = run_python(
        """
        import sys
        sys.modules["sklearn"] = None  # as if scikit-learn were not installed
        import numpy as np, zarn
        model = zarn.PolynomialRegressor(degree=2)
        try:
            model.predict([[1.0]])
        except ValueError as err:
            assert isinstance(err, AttributeError), type(err)
        else:
            raise SystemExit("no error before fit")
        x = np.linspace(0, 1, 9)[:, None]
        print(model.fit(x, x[:, 0] ** 2).predict([[0.5]]).round(9))
        try:
            model.__sklearn_tags__()
        except ImportError as err:
            print(err)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "[0.25]"
    assert "pip install 'zarn[sklearn]'" in lines[1]


def test_source_tree_without_compiled_core_says_what_to_do(tmp_path):
    # A checkout's source folder, imported from the repository root: no compiled module.
    source = pathlib.Path(zarn.__file__).parent
    for name in ("__init__.py", "_native/__init__.py"):
        (tmp_path / "zarn" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "zarn" / name).write_text((source / name).read_text())
    result = subprocess.run(  # -S: no site-packages, where an installed zarn would be found
        [sys.executable, "-S", "-c", "import zarn"], capture_output=True, text=True, cwd=tmp_path
    )
    assert result.returncode != 0
    assert "pip install --no-build-isolation -e ." in result.stderr
