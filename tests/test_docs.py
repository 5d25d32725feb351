import ast
import doctest
import importlib
import importlib.metadata
import pathlib
import pkgutil
import re
import sys
import textwrap

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
DOCS = ROOT / "docs"
EXAMPLES = ROOT / "examples"
# Generated or built folders of docs/: not the site's sources.
BUILT = {"_build", "_generated", "auto_examples"}


def test_readme_examples_run():
    blocks = re.findall(r"```python\n(.*?)```", README.read_text(), re.S)
    assert blocks
    for block in blocks:
        exec(compile(block, str(README), "exec"), {})


def python_modules():
    import zarn

    names = [info.name for info in pkgutil.walk_packages(zarn.__path__, "zarn.")]
    return ["zarn", *(name for name in names if not name.startswith("zarn._native"))]


@pytest.mark.parametrize("name", python_modules())
def test_docstring_examples_run(name):
    module = importlib.import_module(name)
    flags = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS
    result = doctest.testmod(module, optionflags=flags, verbose=False, report=True)
    assert result.failed == 0
    if name != "zarn" and not name.rpartition(".")[2].startswith("_"):
        assert result.attempted > 0  # a public module's docstrings show how to use it


# ---------------------------------------------------------------- the docs extra's contents


def names_imported(tree):
    """The top-level names of the modules that a parsed file or block imports."""
    names = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            names.update(alias.name.partition(".")[0] for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            names.add(node.module.partition(".")[0])
    return names


def page_code(text):
    """The Python shown on a reStructuredText page: its >>> examples and code blocks."""
    parser = doctest.DocTestParser()
    code = [example.source for example in parser.get_examples(text)]
    blocks = re.findall(
        r"^( *)\.\. code-block:: python\n((?:\1 +.*\n|[ \t]*\n)*)", text, re.M | re.I
    )
    code += [textwrap.dedent(body) for _, body in blocks if ">>>" not in body]
    return code


def conf_modules(path):
    """The Sphinx extensions and the theme that docs/conf.py names, imported by Sphinx."""
    names = set()
    for node in ast.parse(path.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.Assign) and isinstance(node.targets[0], ast.Name):
            if node.targets[0].id == "extensions":
                names.update(ast.literal_eval(node.value))
            elif node.targets[0].id == "html_theme":
                names.add(ast.literal_eval(node.value))
    return {name.partition(".")[0] for name in names}


def site_imports():
    """Every third-party module the site's build imports: pages, gallery, configuration."""
    names = conf_modules(DOCS / "conf.py")
    sources = [*EXAMPLES.glob("*.py"), *DOCS.glob("*.py")]
    for path in sources:
        names |= names_imported(ast.parse(path.read_text(encoding="utf-8"), str(path)))
    for page in DOCS.rglob("*.rst"):
        if not BUILT.intersection(page.relative_to(DOCS).parts):
            for block in page_code(page.read_text(encoding="utf-8")):
                names |= names_imported(ast.parse(block, str(page)))
    local = {path.stem for path in sources} | {"zarn"}
    return names - local - set(sys.stdlib_module_names)


def normalised(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def requirement_names(requirements):
    return {normalised(re.match(r"[A-Za-z0-9._-]+", req).group()) for req in requirements}


def project_table():
    tomllib = pytest.importorskip("tomllib")  # Python 3.11 on
    return tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]


def test_docs_extra_installs_everything_the_site_imports():
    # The README's documentation command installs the docs extra into the environment of
    # the quickstart command: the docs extra and the runtime dependencies must bring every
    # module that the gallery, the pages' examples and the Sphinx configuration import.
    docs_section = README.read_text(encoding="utf-8").partition("## Documentation")[2]
    assert "pip install '.[docs]'" in docs_section
    assert "sphinx-build -W" in docs_section
    project = project_table()
    provided = requirement_names(project["dependencies"])
    provided |= requirement_names(project["optional-dependencies"]["docs"])
    distributions = importlib.metadata.packages_distributions()
    imported = site_imports()
    assert {"matplotlib", "numpy", "sphinx", "statsmodels", "xarray"} <= imported
    missing = {
        name: distributions.get(name, [name])
        for name in imported
        if not requirement_names(distributions.get(name, [name])) & provided
    }
    assert not missing, f"the docs extra lacks the distributions of {missing}"


def test_site_imports_finds_the_imports_of_pages_and_blocks():
    page = textwrap.dedent(
        """
        Text with import os in it.

        .. code-block:: python

           >>> import numpy as np
           >>> from scipy import stats

        .. code-block:: Python

           import dask.array as da
           if True:
               from sklearn.pipeline import make_pipeline

        .. code-block:: sh

           import-not-python
        """
    )
    names = set()
    for block in page_code(page):
        names |= names_imported(ast.parse(block))
    assert names == {"numpy", "scipy", "dask", "sklearn"}
