"""Sphinx configuration of the lexispan site.

Build: pip install '.[docs]' && sphinx-build -W --keep-going -b html docs docs/_build/html
Doctests (the pages' and the docstrings'): sphinx-build -W -b doctest docs docs/_build/doctest
The package documented is the installed one; nothing is fetched while building.
"""

from __future__ import annotations

import doctest
import sys
from importlib import metadata
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent / "_ext"))
REPOSITORY = Path(__file__).resolve().parent.parent

project = "lexispan"
author = "the lexispan developers"
copyright = "the lexispan developers"
release = metadata.version("lexispan")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
    "numpydoc",
    "lexispan_docs",
]

root_doc = "index"
exclude_patterns = ["_build"]
templates_path: list[str] = []
# Option names keep their two hyphens and quotes stay straight; `name` in a
# docstring links to the object of that name where there is one (numpydoc's habit).
smartquotes = False
default_role = "py:obj"

# HTML: the Furo theme; formulas as MathML written at build time (no MathJax,
# no network); no "view source" links to the .rst files.
html_theme = "furo"
html_title = f"lexispan {release}"
html_static_path = ["_static"]
html_css_files = ["lexispan.css"]
html_show_sourcelink = False
html_copy_source = False
html_math_renderer = "mathml"

# API reference: signatures without types (the numpydoc sections give them),
# members in the order of the source.
autodoc_typehints = "none"
autodoc_member_order = "bysource"
autoclass_content = "both"
autosummary_generate = False
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False
# Every public function of lexispan_table documents every parameter (and no
# parameter that does not exist), what it returns and an example: a signature
# changed without its docstring fails the build.
numpydoc_validation_checks = {"PR01", "PR02", "PR10", "RT01", "EX01", "SS03", "GL02", "GL03"}
numpydoc_validation_exclude = {
    r"^lexispan\.",            # the extension module: one-line docstrings from the stubs
    r"\.Measure$", r"\.Measure\.",
    r"\.(DEFAULT_|POSITION_|KEYNESS_)?MEASURE",
}

# Doctests: every ">>>" block of the pages and of the docstrings included in them.
doctest_default_flags = (doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE
                         | doctest.DONT_ACCEPT_TRUE_FOR_1)
doctest_global_setup = f"""
REPOSITORY = {str(REPOSITORY)!r}
import numpy as np
import pandas as pd
import lexispan_table
pd.set_option("display.width", 100)
pd.set_option("display.max_columns", 20)
"""
# lexispan_docs (docs/_ext): the examples run at build time start from this.
lexispan_run_setup = """
import numpy as np
import pandas as pd
import lexispan
import lexispan_table
pd.set_option("display.width", 100)
pd.set_option("display.max_columns", 20)
"""
lexispan_stub_file = "../python/lexispan-stubs/__init__.pyi"
lexispan_figure_dpi = 100
