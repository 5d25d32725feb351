"""Sphinx configuration of zarn's documentation site.

Build from the repository root (see README, section "Documentation"):

    .venv/bin/sphinx-build -W --keep-going -b html docs docs/_build/html

The build needs no network: no inventories are fetched. The gallery runs every script of
``examples/`` and fails the build when one of them raises.
"""

from __future__ import annotations

import pathlib
import sys

from numpydoc.xref import DEFAULT_LINKS

import zarn

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))  # the page generator below lives beside this file

from _bench_tables import write_bench_page  # noqa: E402

project = "zarn"
author = "the zarn developers"
copyright = "2026, the zarn developers"
release = zarn.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "sphinx-mathjax-offline",  # MathJax served from the site itself: formulas render offline
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "sphinx_copybutton",
    "myst_parser",  # the changelog page includes CHANGELOG.md, which is Markdown
]

templates_path: list[str] = []
exclude_patterns = ["_build", "_generated", "**/*.ipynb", "**/*.py", "**/*.zip"]
default_role = "literal"
nitpicky = False

# numpydoc: the class pages list their methods through autodoc's members, not through
# numpydoc's own summary table, which would list every method twice.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
# Parameter types become cross-references (attribute names such as ``n_features_in_``
# would otherwise read as reStructuredText link targets); the words below stay text.
numpydoc_xref_param_type = True
# numpydoc's own aliases point words such as "int" or "array_like" at the Python and NumPy
# documentation, which an offline build cannot reach: they would show as "python:int".
# Every one of them stays plain text here; names of zarn's own classes still link.
_PLAIN_WORDS = sorted(DEFAULT_LINKS)
numpydoc_xref_aliases = {word: word for word in _PLAIN_WORDS}
numpydoc_xref_ignore = {"of", "or", "and", "shape", "default", "optional", "mapping", "object"}
# Dimension names in shapes stay text too ("n_features_in_" keeps its role: a trailing
# underscore would otherwise read as a link).
numpydoc_xref_ignore.update(["n", "m", "k", "d", "p", "n_samples", "n_features", "n_series"])
numpydoc_xref_ignore.update(["n_coefficients", "n_outputs", "n_candidates"])
numpydoc_xref_ignore.update(_PLAIN_WORDS)
autodoc_typehints = "none"
autodoc_member_order = "bysource"
toc_object_entries_show_parents = "hide"  # "fit()" rather than "PolynomialRegressor.fit()"

# The copy button leaves out the ">>> " and "... " prompts and the printed results.
copybutton_prompt_text = r">>> |\.\.\. |\$ "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True

# No inventories are downloaded: the build must work offline.
intersphinx_mapping: dict[str, tuple[str, None]] = {}

sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r".*\.py$",  # run every example, so every figure is drawn here
    "ignore_pattern": r"__init__\.py",
    "within_subsection_order": "_gallery_order.ExampleOrder",
    "download_all_examples": False,
    "remove_config_comments": True,
    "abort_on_example_error": False,  # run them all, then fail the build with the list
    "min_reported_time": 1,
    "matplotlib_animations": False,
    # "Examples using ..." on the API pages: the gallery records which of zarn's names each
    # example uses, and every API page shows its list with the ``minigallery`` directive.
    "doc_module": ("zarn",),
    "backreferences_dir": "_generated/backreferences",
}

html_theme = "pydata_sphinx_theme"
html_title = f"zarn {release}"
html_static_path = ["_static"]
html_css_files = ["zarn.css"]
html_show_sourcelink = False
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "header_links_before_dropdown": 5,
    # The performance page's tables and the gallery's code need the width (the performance
    # page's sections are in its left column).
    "secondary_sidebar_items": {
        "index": ["page-toc"],
        "getting_started": ["page-toc"],
        "user_guide/*": ["page-toc"],
        "api/*": ["page-toc"],
        "api/native/*": ["page-toc"],
        "performance": [],
        "auto_examples/*": [],
    },
    "footer_start": ["copyright"],
    "footer_end": [],
}
# Pages without sub-pages get no left navigation, so wide tables have room.
html_sidebars = {
    "index": [],
    "getting_started": [],
    "performance": ["page-toc"],
    "coming_from": [],
    "faq": [],
    "glossary": [],
    "changelog": [],
}
html_context = {"default_mode": "light"}


def setup(app):
    """Write the performance tables from bench/RESULTS.md before the pages are read."""
    write_bench_page(ROOT / "bench" / "RESULTS.md", HERE / "_generated" / "bench_results.rst")
