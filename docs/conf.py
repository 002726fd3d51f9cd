"""Sphinx configuration of kestrum's documentation site.

Build: ``python -m sphinx -W -b html docs docs/_build/html`` (after ``pip install '.[docs]'``).
"""

from __future__ import annotations

import re

import kestrum

project = "kestrum"
author = "kestrum developers"
release = kestrum.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.napoleon",
    "sphinx.ext.mathjax",
    "myst_parser",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]
templates_path: list[str] = []
html_static_path = ["_static"]
html_theme = "alabaster"
# Code blocks are written up to 100 columns (the project's line length); the page is
# made wide enough to show them whole, and custom.css scrolls whatever is wider
# instead of cutting it off.
html_theme_options = {
    "description": "Weather-radar data assimilation kernels",
    "fixed_sidebar": True,
    "page_width": "1240px",
    "sidebar_width": "220px",
    "body_max_width": "none",
}
html_css_files = ["custom.css"]

autodoc_member_order = "bysource"
autodoc_typehints = "none"  # the docstrings give types with units and shapes
autosummary_generate = False
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_use_rtype = False
napoleon_use_ivar = True
myst_heading_anchors = 3
# Types such as "array_like, shape (n,)" become cross-references word by word, and "n"
# is also a field of several result types; such a word is not meant as a link.
suppress_warnings = ["ref.python"]


def _star_shapes(app, what, name, obj, options, lines):  # noqa: ANN001
    """Shapes written like Python, "(6, *gates)", keep their star rather than start emphasis.

    A star right after "(" or ", " and before a name is such a shape unless the line
    closes an emphasis after it.
    """
    star = re.compile(r"(?:(?<=\()|(?<=, ))\*(?=[A-Za-z_])")
    for i, line in enumerate(lines):
        lines[i] = star.sub(
            lambda m, line=line: "*" if re.search(r"\w\*(?!\w)", line[m.end() :]) else r"\*",
            line,
        )


def setup(app):  # noqa: ANN001, ANN201
    app.connect("autodoc-process-docstring", _star_shapes)
