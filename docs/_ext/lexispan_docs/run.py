"""Worked examples run while the site is built: ``.. lexispan-run::`` executes its
Python code statement by statement, as the interactive interpreter would, and
shows each statement with what it printed or evaluated to. The numbers on the
page are therefore the code's, from this build; an example that raises fails
the build. The blocks of one page share their variables, in page order."""

from __future__ import annotations

import ast
import contextlib
import io
import os
import shlex
import shutil
import subprocess
import sys
import traceback
from pathlib import Path
from typing import Any

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

from .figures import skipped

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


_COMPOUND = (ast.For, ast.While, ast.If, ast.With, ast.Try, ast.FunctionDef, ast.ClassDef,
             ast.AsyncFunctionDef, ast.AsyncFor, ast.AsyncWith, ast.Match)


def _prompted(source: str, compound: bool) -> list[str]:
    """The statement as typed at the interpreter's prompt (a compound one
    closed by an empty continuation line)."""
    lines = source.rstrip().splitlines()
    shown = [(">>> " if i == 0 else "... ") + line for i, line in enumerate(lines)]
    if compound:
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
        transcript.extend(_prompted(text, isinstance(statement, _COMPOUND)))
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
        if skipped():
            return []
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


def _workspace(directive: SphinxDirective) -> Path:
    """A folder of the build where the commands run, with the project's
    examples/ beside them (the working folder of every ``lexispan-shell``)."""
    folder = Path(directive.env.doctreedir) / "lexispan-shell"
    folder.mkdir(parents=True, exist_ok=True)
    examples = folder / "examples"
    if not examples.exists():
        examples.symlink_to(Path(directive.env.srcdir, directive.config.lexispan_examples)
                            .resolve(), target_is_directory=True)
    return folder


_PROGRAMS = {"lexispan": [sys.executable, "-m", "lexispan_cli"], "python": [sys.executable]}


class ShellDirective(SphinxDirective):
    """``.. lexispan-shell::`` with one ``lexispan ...`` or ``python ...``
    command a line: each runs while the site is built, in a folder holding
    the project's examples/, and is shown with its output (the first
    ``:head:`` lines of it). A command that fails fails the build.
    ``:image: FILE`` shows a picture the commands wrote."""

    has_content = True
    option_spec = {"head": directives.nonnegative_int, "image": directives.unchanged,
                   "alt": directives.unchanged}

    def run(self) -> list[nodes.Node]:
        if skipped():
            return []
        folder = _workspace(self)
        shown: list[str] = []
        for command in self.content:
            if not command.strip():
                continue
            words = shlex.split(command)
            if words[0] not in _PROGRAMS:
                raise self.error(f"{words[0]}: only lexispan and python commands run here")
            done = subprocess.run(_PROGRAMS[words[0]] + words[1:], cwd=folder,
                                  capture_output=True, text=True, timeout=600, check=False)
            if done.returncode != 0:
                logger.warning("command failed (exit status %d): %s\n%s", done.returncode,
                               command, done.stderr, location=(self.env.docname, self.lineno))
            output = done.stdout.rstrip("\n").splitlines()
            head = self.options.get("head")
            if head is not None and len(output) > head:
                output = output[:head] + ["..."]
            shown += [f"$ {command}", *output]
        text = "\n".join(shown)
        result: list[nodes.Node] = [nodes.literal_block(text, text, language="console")]
        if "image" in self.options:
            picture = folder / self.options["image"]
            saved = Path(self.env.doctreedir) / "lexispan-figures" / picture.name
            saved.parent.mkdir(parents=True, exist_ok=True)
            shutil.copyfile(picture, saved)
            uri = "/" + Path(os.path.relpath(saved.resolve(), Path(self.env.srcdir).resolve())
                             ).as_posix()
            result.append(nodes.image(uri=uri, alt=self.options.get("alt", picture.name)))
        return result
