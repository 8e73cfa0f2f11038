"""The command's reference, from its argument parsers: ``.. lexispan-command::
MODULE`` calls the module's ``build_parser()`` and writes its usage, description
and every option (help, default, choices) as Sphinx ``option`` entries, so that
``:option:`lexispan --top``` links to it. A module of the command's package that
builds a parser but has no such directive anywhere is reported at the end."""

from __future__ import annotations

import argparse
import importlib
import pkgutil
from typing import Any

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.environment import BuildEnvironment
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

logger = logging.getLogger(__name__)

_DOCUMENTED = "lexispan_commands"   # env attribute: {module name: docname}


def _escape(text: str) -> str:
    return text.replace("\\", "\\\\").replace("*", "\\*").replace("`", "\\`").replace("|", "\\|")


def _paragraphs(text: str) -> list[str]:
    """A raw description (line breaks kept by argparse) as paragraphs."""
    return [" ".join(line.strip() for line in block.splitlines())
            for block in text.strip().split("\n\n") if block.strip()]


def _option_names(action: argparse.Action, formatter: argparse.HelpFormatter) -> str:
    if not action.option_strings:
        return formatter._metavar_formatter(action, action.dest.upper())(1)[0]
    if action.nargs == 0:
        return ", ".join(action.option_strings)
    metavar = formatter._format_args(action, action.dest.upper())
    return ", ".join(f"{option} {metavar}" for option in action.option_strings)


def _help(action: argparse.Action, formatter: argparse.HelpFormatter) -> list[str]:
    lines = []
    if isinstance(action, argparse._VersionAction) and action.help is None:
        lines.append("Print the version and exit.")
    elif action.help and action.help != argparse.SUPPRESS:
        text = _escape(formatter._expand_help(action))
        lines.append(text[:1].upper() + text[1:] + ".")
    if action.choices is not None and action.metavar is not None:
        # argparse shows the choices only when no metavar hides them.
        lines.append("One of: " + ", ".join(f"``{choice}``" for choice in action.choices) + ".")
    if action.required and action.option_strings:
        lines.append("Required.")
    return lines


def parser_lines(parser: argparse.ArgumentParser) -> list[str]:
    """reStructuredText for one parser: program, usage, description, options."""
    formatter = parser._get_formatter()
    lines = [f".. program:: {parser.prog}", "", ".. code-block:: text", ""]
    lines += ["   " + line for line in parser.format_usage().rstrip().splitlines()] + [""]
    for paragraph in _paragraphs(parser.description or ""):
        lines += [_escape(paragraph), ""]
    for group in parser._action_groups:
        actions = [a for a in group._group_actions
                   if a.help != argparse.SUPPRESS and not isinstance(a, argparse._HelpAction)]
        if not actions:
            continue
        title = {"positional arguments": "Arguments", "options": "Options"}.get(
            group.title or "", (group.title or "").capitalize())
        lines += [f".. rubric:: {title}", ""]
        for action in actions:
            lines += [f".. option:: {_option_names(action, formatter)}", ""]
            lines += ["   " + line for line in _help(action, formatter)] + [""]
    for paragraph in _paragraphs(parser.epilog or ""):
        lines += [_escape(paragraph), ""]
    return lines


class CommandDirective(SphinxDirective):
    """``.. lexispan-command:: lexispan_cli.plot``"""

    required_arguments = 1
    has_content = False

    def run(self) -> list[nodes.Node]:
        name = self.arguments[0]
        module = importlib.import_module(name)
        parser = module.build_parser()
        getattr(self.env, _DOCUMENTED)[name] = self.env.docname
        holder = nodes.section()
        nested_parse_with_titles(self.state, StringList(parser_lines(parser), source=name),
                                 holder)
        return holder.children


def command_modules(package: str) -> list[str]:
    """The modules of the command's package that build an argument parser."""
    root = importlib.import_module(package)
    found = []
    for info in pkgutil.iter_modules(root.__path__, prefix=f"{package}."):
        if info.name.endswith(".__main__"):
            continue            # runs the command when imported
        module = importlib.import_module(info.name)
        if callable(getattr(module, "build_parser", None)):
            found.append(info.name)
    return found


def _init(app: Sphinx, env: BuildEnvironment, docnames: Any) -> None:
    if not hasattr(env, _DOCUMENTED):
        setattr(env, _DOCUMENTED, {})


def _purge(app: Sphinx, env: BuildEnvironment, docname: str) -> None:
    documented = getattr(env, _DOCUMENTED, {})
    for name in [name for name, doc in documented.items() if doc == docname]:
        del documented[name]


def _merge(app: Sphinx, env: BuildEnvironment, docnames: Any, other: BuildEnvironment) -> None:
    getattr(env, _DOCUMENTED).update(getattr(other, _DOCUMENTED, {}))


def _check(app: Sphinx, env: BuildEnvironment) -> None:
    documented = getattr(env, _DOCUMENTED, {})
    for name in command_modules(app.config.lexispan_command_package):
        if name not in documented:
            logger.warning("the command's parser in %s is not documented: add "
                           "'.. lexispan-command:: %s' to the command reference", name, name)


def setup(app: Sphinx) -> None:
    app.add_directive("lexispan-command", CommandDirective)
    app.connect("env-before-read-docs", _init)
    app.connect("env-purge-doc", _purge)
    app.connect("env-merge-info", _merge)
    app.connect("env-check-consistency", _check)
