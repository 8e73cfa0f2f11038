"""The site's own Sphinx extension: measure tables and links from the code's
measure tables, worked examples and figures computed while the site is built,
the command's reference from its parsers, the extension module from its stubs,
and formulas as MathML."""

from __future__ import annotations

from typing import Any

from sphinx.application import Sphinx
from sphinx.environment import BuildEnvironment

from . import api, command, figures, mathml, measures, run, stubs

# Pages whose content comes from the code: read again on every build, so that
# an incremental build cannot show yesterday's numbers.
_LIVE_DIRECTIVES = (".. lexispan-", ":measure:", ".. automodule", ".. autofunction")


def _always_reread(app: Sphinx, env: BuildEnvironment, added: set[str], changed: set[str],
                   removed: set[str]) -> list[str]:
    live = []
    for docname in env.found_docs - added - changed - removed:
        text = env.doc2path(docname).read_text(encoding="utf-8")
        if any(marker in text for marker in _LIVE_DIRECTIVES):
            live.append(docname)
    return live


def setup(app: Sphinx) -> dict[str, Any]:
    app.add_config_value("lexispan_run_setup", "", "env")
    app.add_config_value("lexispan_examples", "../examples", "env")
    app.add_config_value("lexispan_stub_file", "", "env")
    app.add_config_value("lexispan_stub_module", "lexispan", "env")
    app.add_config_value("lexispan_command_package", "lexispan_cli", "env")
    app.add_config_value("lexispan_figure_dpi", 100, "env")
    app.add_config_value("lexispan_skip_builders", ("doctest", "linkcheck"), "env")
    app.add_directive("lexispan-api", api.ApiDirective)
    app.add_directive("lexispan-run", run.RunDirective)
    app.add_directive("lexispan-shell", run.ShellDirective)
    app.add_directive("lexispan-stubs", stubs.StubsDirective)
    for module in (command, figures, mathml, measures):
        module.setup(app)
    app.connect("env-get-outdated", _always_reread)
    # Before numpydoc's handler (priority 500) reads the stubs' plain text.
    app.connect("autodoc-process-docstring", stubs.plain_docstring, priority=400)
    app.connect("autodoc-process-signature", stubs.plain_signature)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
