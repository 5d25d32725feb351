import doctest
import importlib
import pathlib
import pkgutil
import re

import pytest

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


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
