"""Formulas as MathML, converted while the site is built: the pages need no
JavaScript and no network to show them, and every current browser renders it."""

from __future__ import annotations

from typing import Any

from docutils import nodes
from latex2mathml.converter import convert
from sphinx.application import Sphinx
from sphinx.errors import ExtensionError


def _mathml(latex: str, display: str, where: nodes.Node) -> str:
    try:
        return convert(latex, display=display)
    except Exception as exc:  # latex2mathml raises its own types for bad input
        raise ExtensionError(f"{where.source}:{where.line}: cannot convert {latex!r} to "
                             f"MathML: {exc}") from exc


def visit_math(self: Any, node: nodes.math) -> None:
    self.body.append(f'<span class="math">{_mathml(node.astext(), "inline", node)}</span>')
    raise nodes.SkipNode


def visit_displaymath(self: Any, node: nodes.math_block) -> None:
    # A block may hold several equations, one per paragraph, as in LaTeX's
    # displaymath environments that Sphinx accepts.
    blocks = [part.strip() for part in node.astext().split("\n\n") if part.strip()]
    self.body.append(self.starttag(node, "div", CLASS="math-display"))
    for latex in blocks:
        self.body.append(_mathml(latex, "block", node))
    self.body.append("</div>\n")
    raise nodes.SkipNode


def setup(app: Sphinx) -> None:
    app.add_html_math_renderer("mathml", (visit_math, None), (visit_displaymath, None))
