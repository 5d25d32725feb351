"""Run the ``>>>`` examples of the documentation pages, the native module's stub and the
site's own tools.

The Sphinx build shows these examples but does not run them; this script does, so a page
whose example drifts from what zarn returns fails CI. The ``docs`` extra installs every
library the examples import (xarray, statsmodels, SciPy, pandas). Run from the repository
root:

    .venv/bin/python docs/run_doctests.py
"""

from __future__ import annotations

import ast
import doctest
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import _bench_tables  # noqa: E402  (the site's results converter, beside this file)

DOCS = pathlib.Path(__file__).resolve().parent
STUB = DOCS.parent / "zarn" / "_native" / "zarn_core.pyi"
SKIP = {"_build", "_generated", "auto_examples"}
FLAGS = doctest.NORMALIZE_WHITESPACE | doctest.ELLIPSIS


def pages() -> list[pathlib.Path]:
    """Every hand-written page of the site."""
    return sorted(
        p for p in DOCS.rglob("*.rst") if not SKIP.intersection(p.relative_to(DOCS).parts)
    )


def stub_tests(path: pathlib.Path) -> list[doctest.DocTest]:
    """The examples in the stub's docstrings (a stub cannot be imported as a module)."""
    parser = doctest.DocTestParser()
    tests = []
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)):
            text = ast.get_docstring(node)
            if text and ">>>" in text:
                name = f"{path.name}:{getattr(node, 'name', 'module')}"
                tests.append(parser.get_doctest(text, {}, name, str(path), 0))
    return tests


def main() -> int:
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    parser = doctest.DocTestParser()
    for page in pages():
        text = page.read_text(encoding="utf-8")
        if ">>>" in text:
            runner.run(parser.get_doctest(text, {}, page.name, str(page), 0))
    for test in stub_tests(STUB):
        runner.run(test)
    for test in doctest.DocTestFinder().find(_bench_tables):
        runner.run(test)
    failed, attempted = runner.summarize(verbose=False)
    print(f"documentation examples: {attempted} run, {failed} failed")
    return 1 if failed or not attempted else 0


if __name__ == "__main__":
    sys.exit(main())
