"""Figures drawn while the site is built: ``.. lexispan-figure:: module.function``
calls a function that returns a matplotlib figure, saves it as a PNG beside the
build's doctrees and shows it with the directive's content as caption. Nothing
drawn is committed; builders that show no pictures (doctest) skip the work."""

from __future__ import annotations

import importlib
import os
import time
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective

logger = logging.getLogger(__name__)

_state = {"skip": False}


def _builder_inited(app: Sphinx) -> None:
    _state["skip"] = app.builder.name in app.config.lexispan_skip_builders


def skipped() -> bool:
    """Whether this build shows no pictures or executed examples (doctest:
    the HTML build has already run them)."""
    return _state["skip"]


class FigureDirective(SphinxDirective):
    required_arguments = 1
    has_content = True
    option_spec = {"alt": directives.unchanged_required, "width": directives.unchanged}

    def run(self) -> list[nodes.Node]:
        if skipped():
            return []
        if "alt" not in self.options:
            raise self.error("a figure needs :alt: text")
        module_name, _, function_name = self.arguments[0].rpartition(".")
        draw = getattr(importlib.import_module(module_name), function_name)
        started = time.perf_counter()
        import matplotlib
        matplotlib.use("Agg")
        from matplotlib import pyplot
        figure = draw()
        folder = Path(self.env.doctreedir) / "lexispan-figures"
        folder.mkdir(parents=True, exist_ok=True)
        path = folder / f"{function_name}.png"
        figure.savefig(path, dpi=self.config.lexispan_figure_dpi)
        pyplot.close(figure)
        logger.info("figure %s drawn in %.1f s", function_name, time.perf_counter() - started)
        # A path from the source folder (Sphinx's "/" prefix) reaches the file
        # wherever the build folder lies.
        uri = "/" + _relative(path, Path(self.env.srcdir))
        image = nodes.image(uri=uri, alt=self.options["alt"])
        if "width" in self.options:
            image["width"] = self.options["width"]
        figure_node = nodes.figure("", image)
        if self.content:
            caption, _ = self.state.inline_text(" ".join(self.content), self.lineno)
            figure_node += nodes.caption("", "", *caption)
        self.set_source_info(figure_node)
        return [figure_node]


def _relative(path: Path, start: Path) -> str:
    return Path(os.path.relpath(path.resolve(), start.resolve())).as_posix()


def setup(app: Sphinx) -> None:
    app.add_directive("lexispan-figure", FigureDirective)
    app.connect("builder-inited", _builder_inited)
