"""The Python package's reference from its ``__all__``: ``.. lexispan-api::
lexispan_table`` writes a summary table and the full entry of every public
function and class (autodoc, numpydoc docstrings), in the order of the
``:order:`` option and then any others in ``__all__`` order, so a function
added to ``__all__`` appears without editing the page. Public constants take
their text from the directive's content (``NAME: text`` paragraphs); one
without text is reported."""

from __future__ import annotations

import importlib
import inspect

from docutils import nodes
from docutils.parsers.rst import directives
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

logger = logging.getLogger(__name__)


def _described(content: list[str]) -> dict[str, list[str]]:
    """``NAME: text`` paragraphs (continued on indented lines) by name."""
    found: dict[str, list[str]] = {}
    current: list[str] | None = None
    for line in content:
        head, colon, rest = line.partition(":")
        if colon and head.strip().isidentifier() and not line.startswith(" "):
            current = found.setdefault(head.strip(), [])
            current.append(rest.strip())
        elif current is not None:
            current.append(line.strip())
    return found


class ApiDirective(SphinxDirective):
    required_arguments = 1
    has_content = True
    option_spec = {"order": directives.unchanged}

    def run(self) -> list[nodes.Node]:
        name = self.arguments[0]
        module = importlib.import_module(name)
        public = list(module.__all__)
        first = [n for n in self.options.get("order", "").split() if n in public]
        ordered = first + [n for n in public if n not in first]
        callables = [n for n in ordered if inspect.isfunction(getattr(module, n))]
        classes = [n for n in ordered if inspect.isclass(getattr(module, n))]
        data = [n for n in ordered if n not in callables and n not in classes]
        texts = _described(list(self.content))
        lines = [".. currentmodule:: " + name, "", ".. rubric:: Functions", "",
                 ".. autosummary::", ""]
        lines += [f"   {n}" for n in callables] + [""]
        for n in callables:
            lines += [f".. autofunction:: {n}", ""]
        if data or classes:
            lines += [".. rubric:: Tables of measure names", ""]
        for n in data:
            text = texts.get(n)
            if not text:
                logger.warning("%s.%s has no description: add '%s: ...' to the "
                               "lexispan-api directive", name, n, n,
                               location=(self.env.docname, self.lineno))
                text = [""]
            value = getattr(module, n)
            lines += [f".. py:data:: {n}", f"   :type: {type(value).__name__}", ""]
            lines += ["   " + t for t in text] + [""]
        for n in classes:
            lines += [f".. autoclass:: {n}", "   :no-members:", ""]
        holder = nodes.section()
        nested_parse_with_titles(self.state, StringList(lines, source=name), holder)
        return holder.children
