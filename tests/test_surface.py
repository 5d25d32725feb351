"""The public surface: names, order, parameters and defaults, and the stub file."""

import ast
import inspect
import os
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import zarn
from zarn import _constants
from zarn._native import zarn_core as zc

FUNCTIONS_AND_CLASSES = [
    "mad",
    "compute_sr",
    "mdl_score",
    "mdl_score_reg",
    "design_matrix_1d",
    "smoothness_penalty_matrices_1d",
    "boundary_reduce_1d",
    "design_matrix_nd",
    "build_penalty_matrices_nd",
    "ols",
    "fit_regularized_linear",
    "GibbsResult",
    "gibbs_entropy",
    "MCMCResult",
    "TournamentMCMC",
]

CLASS_MEMBERS = {
    "GibbsResult": ["H", "Hmax", "He", "r_heat", "var_E", "T"],
    "MCMCResult": ["beta_mcmc", "energy", "gibbs", "n_chains", "n_elite"],
    "TournamentMCMC": ["fit"],
}


def public(namespace):
    return [name for name in namespace if not name.startswith("__")]


def test_module_registers_exactly_the_surface_in_order():
    assert public(vars(zc)) == FUNCTIONS_AND_CLASSES


@pytest.mark.parametrize("cls", CLASS_MEMBERS)
def test_class_members_in_order(cls):
    members = [n for n in public(vars(getattr(zc, cls))) if n != "_pybind11_conduit_v1_"]
    assert members == CLASS_MEMBERS[cls]


def test_package_reexports_the_surface_and_its_version():
    from importlib.metadata import version

    assert zarn.__version__ == version("zarn")
    for name in FUNCTIONS_AND_CLASSES:
        assert getattr(zarn, name) is getattr(zc, name)


def split_top_level(text):
    """Split a parameter list at commas outside brackets and quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, ch in enumerate(text):
        if quote:
            quote = None if ch == quote else quote
        elif ch in "\"'":
            quote = ch
        elif ch in "([":
            depth += 1
        elif ch in ")]":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    if text[start:].strip():
        parts.append(text[start:].strip())
    return parts


def native_signature(obj):
    """(name, default) pairs parsed from the signature line pybind11 writes as the docstring."""
    line = obj.__doc__.strip().splitlines()[0]
    inner = line[line.index("(") + 1 : line.rindex(")")]
    params = []
    for part in split_top_level(inner):
        name, _, rest = part.partition(":")
        default = rest.rsplit(" = ", 1)[1] if " = " in rest else None
        params.append((name.strip(), None if default is None else ast.literal_eval(default)))
    return [p for p in params if p[0] != "self"]


def stub_signatures():
    # Beside the package folder of the module (in an editable install, the source folder).
    stub = pathlib.Path(zarn._native.__file__).with_name("zarn_core.pyi")
    tree = ast.parse(stub.read_text())
    found = {}

    def record(key, fn):
        args = fn.args.args
        defaults = [None] * (len(args) - len(fn.args.defaults)) + [
            ast.literal_eval(d) for d in fn.args.defaults
        ]
        found[key] = [(a.arg, d) for a, d in zip(args, defaults) if a.arg != "self"]

    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            record(node.name, node)
        elif isinstance(node, ast.ClassDef):
            found[node.name] = [n.name for n in node.body if isinstance(n, ast.FunctionDef)]
            for n in node.body:
                if isinstance(n, ast.FunctionDef) and n.name in ("__init__", "fit"):
                    record(f"{node.name}.{n.name}", n)
    return found


def test_stub_matches_the_module():
    stubs = stub_signatures()
    for name in FUNCTIONS_AND_CLASSES:
        obj = getattr(zc, name)
        if name in CLASS_MEMBERS:
            expected = CLASS_MEMBERS[name]
            if name == "TournamentMCMC":
                assert stubs[name] == ["__init__", *expected]
                for method in ("__init__", "fit"):
                    assert stubs[f"{name}.{method}"] == native_signature(getattr(obj, method))
            else:
                assert stubs[name] == expected
        else:
            assert stubs[name] == native_signature(obj), name


def test_signatures_annotate_vectors_and_matrices():
    assert '"[m, 1]"' in zc.mad.__doc__
    assert '"[m, n]"' in zc.ols.__doc__
    for name in FUNCTIONS_AND_CLASSES:
        obj = getattr(zc, name)
        if callable(obj) and name not in CLASS_MEMBERS:
            assert obj.__doc__.strip().startswith(f"{name}("), name


def test_defaults_equal_the_values_spelled_out():
    rng = np.random.default_rng(3)
    x = rng.uniform(-1, 1, 40)
    y = np.sin(2 * x) + rng.normal(scale=0.05, size=40)
    Phi = zc.design_matrix_1d(3, x)
    yp = Phi @ zc.ols(Phi, y)
    assert zc.mdl_score(yp, y, 4) == zc.mdl_score(yp, y, 4, 20)
    beta = np.ones(4)
    assert zc.mdl_score_reg(yp, y, 4, 20, beta, np.eye(4), np.eye(4)) == zc.mdl_score_reg(
        yp, y, 4, 20, beta, np.eye(4), np.eye(4), 0.0, 0.0
    )
    for a, b in zip(
        zc.smoothness_penalty_matrices_1d(3, -1.0, 1.0),
        zc.smoothness_penalty_matrices_1d(3, -1.0, 1.0, 600),
    ):
        np.testing.assert_array_equal(a, b)
    default_nd = zc.build_penalty_matrices_nd([2, 1], [(0.0, 1.0), (-1.0, 1.0)])
    spelled_nd = zc.build_penalty_matrices_nd([2, 1], [(0.0, 1.0), (-1.0, 1.0)], 30)
    for a, b in zip(default_nd[:2], spelled_nd[:2]):
        np.testing.assert_array_equal(a, b)
    assert default_nd[2] == spelled_nd[2]
    np.testing.assert_array_equal(
        zc.fit_regularized_linear(Phi, y),
        zc.fit_regularized_linear(Phi, y, None, None, 0.0, 0.0, 1e-10),
    )
    energies = np.array([0.0, 1.0, 3.0])
    g0, g1 = zc.gibbs_entropy(energies), zc.gibbs_entropy(energies, 1.0)
    assert [getattr(g0, a) for a in CLASS_MEMBERS["GibbsResult"]] == [
        getattr(g1, a) for a in CLASS_MEMBERS["GibbsResult"]
    ]
    small = dict(n_warmup=5, n_deep=10)
    r0 = zc.TournamentMCMC(**small).fit(Phi, y)
    r1 = zc.TournamentMCMC(25, 5, 10, 5, 0.05, 20, 42).fit(Phi, y, None, None, 0.0, 0.0)
    np.testing.assert_array_equal(r0.beta_mcmc, r1.beta_mcmc)
    assert (r0.energy, r0.n_chains, r0.n_elite) == (r1.energy, r1.n_chains, r1.n_elite)
    full0, full1 = zc.TournamentMCMC(), zc.TournamentMCMC(25, 200, 2000, 5, 0.05, 20, 42)
    np.testing.assert_array_equal(full0.fit(Phi, y).beta_mcmc, full1.fit(Phi, y).beta_mcmc)


def test_python_defaults_equal_the_cores():
    # The estimator and the Python layer name the core's defaults once (zarn._constants);
    # the binding declares them again, so the two must agree.
    sampler = dict(native_signature(zc.TournamentMCMC.__init__))
    estimator = inspect.signature(zarn.PolynomialRegressor).parameters
    for name in ("n_chains", "n_warmup", "n_deep", "n_elite", "step_size"):
        assert estimator[name].default == sampler[name], name
    assert estimator["random_state"].default == sampler["seed"]
    assert estimator["H"].default == sampler["H_piH"] == dict(native_signature(zc.mdl_score))["H"]
    assert estimator["ridge"].default == dict(native_signature(zc.fit_regularized_linear))["ridge"]
    grid_1d = dict(native_signature(zc.smoothness_penalty_matrices_1d))["n_grid"]
    grid_nd = dict(native_signature(zc.build_penalty_matrices_nd))["n_grid_per_dim"]
    assert (grid_1d, grid_nd) == (_constants.GRID_1D, _constants.GRID_PER_DIM)


@pytest.mark.parametrize("scale", [0.0, 1.0, 3.7])
def test_hit_tolerance_is_the_cores(scale):
    # Residuals just inside and just outside MAD_TOLERANCE median absolute deviations of
    # y (units where the MAD is 0): the core's MDL score counts exactly the inside ones.
    n = 41
    y = scale * np.random.default_rng(1).normal(size=n)
    mad = zc.mad(y)
    eps = _constants.MAD_TOLERANCE * (mad if mad > 0.0 else 1.0)
    residual = np.where(np.arange(n) % 3 == 0, eps * (1 + 1e-9), eps * (1 - 1e-9))
    hits = int((residual < eps).sum())
    score = zc.mdl_score(y + residual, y, 1, 20)
    assert score == pytest.approx(-n * np.log(hits / n) + np.log(40.0) / n, rel=1e-12)
    assert zc.compute_sr(y + residual, y, eps) == hits / n


@pytest.mark.parametrize(
    "call, exc, match",
    [
        (lambda: zc.TournamentMCMC(n_chains=2.0), TypeError, "incompatible"),
        (lambda: zc.TournamentMCMC(seed=-1), TypeError, "incompatible"),
        (lambda: zc.TournamentMCMC(seed=2**64), TypeError, "incompatible"),
        (lambda: zc.design_matrix_1d(deg=2), TypeError, "incompatible"),
        (lambda: zc.ols(X=np.eye(2), y=[1, 2], rcond=1), TypeError, "incompatible"),
        (
            lambda: zc.fit_regularized_linear(np.eye(2), [1, 2], "R1"),
            RuntimeError,
            "^Unable to cast Python instance of type",
        ),
        (
            lambda: zc.TournamentMCMC(n_warmup=1, n_deep=1).fit(np.eye(2), [1, 2], R2=object()),
            RuntimeError,
            "^Unable to cast Python instance of type",
        ),
        (lambda: zc.smoothness_penalty_matrices_1d(-1, 0, 1), ValueError, "^deg < 0$"),
        (lambda: zc.smoothness_penalty_matrices_1d(2, 0, 1, 1), ValueError, "^n_grid < 2$"),
        (
            lambda: zc.build_penalty_matrices_nd([1, 1], [(0, 1)]),
            ValueError,
            r"^Dimension mismatch\.$",
        ),
        (lambda: zc.GibbsResult(), TypeError, ": No constructor defined!$"),
        (lambda: zc.MCMCResult(), TypeError, ": No constructor defined!$"),
    ],
)
def test_failure_table(call, exc, match):
    with pytest.raises(exc, match=match):
        call()


def test_result_attributes_are_read_only():
    result = zc.TournamentMCMC(n_chains=3, n_warmup=2, n_deep=2).fit(np.eye(3), [1.0, 2.0, 3.0])
    for name in CLASS_MEMBERS["MCMCResult"]:
        with pytest.raises(AttributeError):
            setattr(result, name, getattr(result, name))
    for name in CLASS_MEMBERS["GibbsResult"]:
        with pytest.raises(AttributeError):
            setattr(result.gibbs, name, 0.0)


@pytest.mark.slow  # a fresh interpreter that imports matplotlib
def test_quickstart_runs_and_writes_its_figure(tmp_path):
    script = pathlib.Path(__file__).resolve().parents[1] / "examples" / "quickstart.py"
    out = tmp_path / "quickstart.png"
    proc = subprocess.run(
        [sys.executable, str(script), str(out)],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "MPLBACKEND": "Agg"},
    )
    assert proc.returncode == 0, proc.stderr
    assert out.stat().st_size > 10_000
    assert "One variable" in proc.stdout and "Two variables" in proc.stdout
