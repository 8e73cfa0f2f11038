"""Worked examples run while the site is built: ``.. lexispan-run::`` executes its
Python code statement by statement, as the interactive interpreter would, and
shows each statement with what it printed or evaluated to. The numbers on the
page are therefore the code's, from this build; an example that raises fails
the build. The blocks of one page share their variables, in page order."""

from __future__ import annotations

import ast
import contextlib
import io
import sys
import traceback
from typing import Any

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)

_NAMESPACE_KEY = "lexispan_run_namespace"


def namespace(directive: SphinxDirective) -> dict[str, Any]:
    """The page's variables: one namespace per page, started by the
    ``lexispan_run_setup`` code of conf.py."""
    space = directive.env.temp_data.get(_NAMESPACE_KEY)
    if space is None:
        space = {"__name__": f"lexispan_docs_page_{directive.env.docname.replace('/', '_')}"}
        exec(compile(directive.config.lexispan_run_setup, "<lexispan_run_setup>", "exec"), space)
        directive.env.temp_data[_NAMESPACE_KEY] = space
    return space


def _prompted(source: str) -> list[str]:
    lines = source.rstrip().splitlines()
    shown = [(">>> " if i == 0 else "... ") + line for i, line in enumerate(lines)]
    if len(lines) > 1 and lines[-1].startswith((" ", "\t")):
        shown.append("...")
    return [line.rstrip() for line in shown]


def run_statements(code: str, space: dict[str, Any], filename: str) -> list[str]:
    """Runs `code` one top-level statement at a time; the transcript, prompts
    and output, as lines. An exception propagates after its statement."""
    tree = ast.parse(code, filename)
    source_lines = code.splitlines()
    transcript: list[str] = []
    for statement in tree.body:
        first = statement.lineno - 1
        if isinstance(statement, (ast.FunctionDef, ast.ClassDef, ast.AsyncFunctionDef)):
            first -= len(statement.decorator_list)
        text = "\n".join(source_lines[first:statement.end_lineno])
        transcript.extend(_prompted(text))
        single = compile(ast.Interactive(body=[statement]), filename, "single")
        captured = io.StringIO()
        hook = sys.displayhook
        sys.displayhook = _display(captured)
        try:
            with contextlib.redirect_stdout(captured):
                exec(single, space)
        finally:
            sys.displayhook = hook
            transcript.extend(captured.getvalue().rstrip("\n").splitlines())
    return transcript


def _display(out: io.StringIO) -> Any:
    def show(value: object) -> None:
        if value is not None:
            out.write(repr(value) + "\n")
    return show


class RunDirective(SphinxDirective):
    """``.. lexispan-run::`` with Python code as content; ``:hidden:`` runs it
    without showing it (setup shared with the blocks after it)."""

    has_content = True
    option_spec = {"hidden": directives.flag}

    def run(self) -> list[nodes.Node]:
        code = "\n".join(self.content)
        source, line = self.get_source_info()
        space = namespace(self)
        try:
            transcript = run_statements(code, space, f"{source}:{line}")
        except Exception:
            logger.warning("example failed:\n%s", traceback.format_exc(limit=-3),
                           location=(self.env.docname, self.lineno))
            return []
        if "hidden" in self.options:
            return []
        text = "\n".join(transcript)
        block = nodes.literal_block(text, text, language="pycon")
        block["classes"].append("lexispan-run")
        self.set_source_info(block)
        return [block]
