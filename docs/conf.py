"""Sphinx configuration of kestrum's documentation site.

Build: ``python -m sphinx -W -b html docs docs/_build/html`` (after ``pip install '.[docs]'``).
"""

from __future__ import annotations

import re
from pathlib import Path

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
html_theme_options = {"description": "Weather-radar data assimilation kernels", "fixed_sidebar": True}

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
            lambda m: "*" if re.search(r"\w\*(?!\w)", line[m.end():]) else r"\*", line
        )


def setup(app):  # noqa: ANN001, ANN201
    app.connect("autodoc-process-docstring", _star_shapes)

# The native layer's contracts and the benchmark table are written once, in the
# README; the site takes those sections from there, whatever their heading level.
ROOT = Path(__file__).resolve().parent.parent
GENERATED = Path(__file__).resolve().parent / "_generated"
HEADING = re.compile(r"^(#+) (.*)$")


def readme_sections(wanted: list[str], top: int = 2) -> str:
    """The README's sections of these titles, their headings moved to start at ``top``."""
    lines = (ROOT / "README.md").read_text(encoding="utf-8").split("\n")
    heads = [(i, len(m.group(1)), m.group(2)) for i, line in enumerate(lines) if (m := HEADING.match(line))]
    fence = False
    inside = []
    for i, line in enumerate(lines):  # headings inside code blocks are not headings
        if line.startswith("```"):
            fence = not fence
        inside.append(fence)
    heads = [h for h in heads if not inside[h[0]]]
    out = []
    for title in wanted:
        found = [h for h in heads if h[2].strip() == title]
        if not found:
            raise RuntimeError(f"README.md has no section {title!r} for the documentation site")
        start, level, _ = found[0]
        end = next((i for i, lv, _ in heads if i > start and lv <= level), len(lines))
        for i in range(start, end):
            line = lines[i]
            m = HEADING.match(line)
            if m and not inside[i]:
                line = "#" * (len(m.group(1)) - level + top) + " " + m.group(2)
            out.append(line)
    return "\n".join(out)


GENERATED.mkdir(exist_ok=True)
(GENERATED / "native.md").write_text(readme_sections(["Native modules"], top=1) + "\n", encoding="utf-8")
(GENERATED / "benchmarks.md").write_text(readme_sections(["Benchmarks"], top=1) + "\n", encoding="utf-8")
