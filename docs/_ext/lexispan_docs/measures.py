"""Measure names from the code, never retyped: the tables of the family pages, the
overview of every measure and the ``:measure:`` role all read ``MEASURES``,
``POSITION_MEASURES`` and ``KEYNESS_MEASURES`` of ``lexispan_table``.

``.. lexispan-measures::`` (a family page's table) takes one row per measure
as ``name | cell | cell ...``; the name must be one of the code's, and the
measure's title and description come from the code. The page then *claims*
the measure: the overview and every ``:measure:`name``` link to that row. A
measure that no page claims (one added to the code since the pages were
written) is listed by ``.. lexispan-unclaimed-measures::``, so new measures
appear on the site at once, with their descriptions from the code."""

from __future__ import annotations

from typing import Any

from docutils import nodes
from docutils.parsers.rst import directives
from sphinx.application import Sphinx
from sphinx.environment import BuildEnvironment
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective, SphinxRole

logger = logging.getLogger(__name__)

_CLAIMS = "lexispan_measure_pages"   # env attribute: {measure name: docname}
# The code's tables, in the order the overview lists them.
TABLES = (("MEASURES", "Measures of a word x part matrix (dispersion, dispersion_arrays)"),
          ("POSITION_MEASURES", "Measures from token positions (position_dispersion)"),
          ("KEYNESS_MEASURES", "Keyness columns (keyness, keyness_arrays)"))


def catalogue() -> dict[str, Any]:
    """Every measure of the code by name, in table order."""
    import lexispan_table
    found: dict[str, Any] = {}
    for table, _ in TABLES:
        for measure in getattr(lexispan_table, table):
            found.setdefault(measure.name, measure)
    return found


def anchor(name: str) -> str:
    return f"measure-{name.replace('_', '-')}"


class measure_ref(nodes.literal):
    """A measure's name, linked to its row once every page is read (a plain
    literal for builders that do not resolve links)."""


def _table(headers: list[str], rows: list[tuple[list[str], list[list[nodes.Node]]]],
           widths: list[int]) -> nodes.table:
    table = nodes.table(classes=["lexispan-measures"])
    group = nodes.tgroup(cols=len(headers))
    table += group
    for width in widths:
        group += nodes.colspec(colwidth=width)
    head = nodes.thead()
    group += head
    head_row = nodes.row()
    head += head_row
    for header in headers:
        head_row += nodes.entry("", nodes.paragraph(text=header))
    body = nodes.tbody()
    group += body
    for ids, cells in rows:
        row = nodes.row(ids=ids)
        body += row
        for cell in cells:
            row += nodes.entry("", nodes.paragraph("", "", *cell))
    return table


class MeasuresDirective(SphinxDirective):
    """A family page's table; ``:columns:`` names the extra columns."""

    has_content = True
    option_spec = {"columns": directives.unchanged, "widths": directives.unchanged}

    def run(self) -> list[nodes.Node]:
        known = catalogue()
        extra = [c.strip() for c in self.options.get("columns", "").split("|") if c.strip()]
        claims = getattr(self.env, _CLAIMS)
        rows = []
        messages: list[nodes.Node] = []
        for offset, line in enumerate(self.content):
            if not line.strip():
                continue
            name, *cells = [cell.strip() for cell in line.split("|")]
            if name not in known:
                raise self.error(f"unknown measure {name!r}: not in lexispan_table's tables")
            if len(cells) != len(extra):
                raise self.error(f"{name}: {len(cells)} cells for {len(extra)} columns")
            if claims.get(name, self.env.docname) != self.env.docname:
                raise self.error(f"{name} is already described on {claims[name]}")
            claims[name] = self.env.docname
            measure = known[name]
            first = [nodes.literal(text=name), nodes.Text(" "),
                     nodes.emphasis(text=f"({measure.title})") if measure.title != name
                     else nodes.Text("")]
            row = [first, [nodes.Text(measure.description)]]
            for cell in cells:
                inline, problems = self.state.inline_text(cell, self.content_offset + offset)
                row.append(inline)
                messages += problems
            rows.append(([anchor(name)], row))
        widths = [int(w) for w in self.options.get("widths", "").split()] or (
            [3, 5] + [3] * len(extra))
        return [_table(["Name", "What it is (from the code)", *extra], rows, widths),
                *messages]


class AllMeasuresDirective(SphinxDirective):
    """Every measure of the code, with a link to the page that describes it."""

    def run(self) -> list[nodes.Node]:
        import lexispan_table
        result: list[nodes.Node] = []
        for table, caption in TABLES:
            result.append(nodes.rubric(text=caption))
            rows = [([], [[measure_ref(m.name, m.name, name=m.name)],
                          [nodes.Text(m.title)], [nodes.Text(m.description)]])
                    for m in getattr(lexispan_table, table)]
            result.append(_table(["Name", "Title", "What it is"], rows, [3, 3, 6]))
        return result


class unclaimed_list(nodes.General, nodes.Element):
    """Replaced, once every page is read, by the measures no page describes."""


class UnclaimedDirective(SphinxDirective):
    def run(self) -> list[nodes.Node]:
        return [unclaimed_list()]


class MeasureRole(SphinxRole):
    """``:measure:`dp```: the name in code type, linked to its row."""

    def run(self) -> tuple[list[nodes.Node], list[nodes.system_message]]:
        if self.text not in catalogue():
            message = self.inliner.reporter.warning(
                f"unknown measure {self.text!r}: not in lexispan_table's tables",
                line=self.lineno)
            return [nodes.literal(text=self.text)], [message]
        return [measure_ref(self.text, self.text, name=self.text)], []


def _link(app: Sphinx, fromdoc: str, name: str) -> nodes.Node:
    target = getattr(app.env, _CLAIMS, {}).get(name)
    code = nodes.literal(text=name)
    if target is None:
        return code
    uri = app.builder.get_relative_uri(fromdoc, target) + "#" + anchor(name)
    return nodes.reference("", "", code, internal=True, refuri=uri)


def _resolve(app: Sphinx, doctree: nodes.document, fromdoc: str) -> None:
    for ref in list(doctree.findall(measure_ref)):
        ref.replace_self(_link(app, fromdoc, ref["name"]))
    for holder in list(doctree.findall(unclaimed_list)):
        claims = getattr(app.env, _CLAIMS, {})
        missing = [m for name, m in catalogue().items() if name not in claims]
        if not missing:
            holder.replace_self(nodes.paragraph(
                text="Every measure of this version is described on its family's page."))
            continue
        items = nodes.bullet_list()
        for m in missing:
            items += nodes.list_item("", nodes.paragraph(
                "", "", nodes.literal(text=m.name), nodes.Text(f" ({m.title}): {m.description}")))
        holder.replace_self(items)


def _init(app: Sphinx, env: BuildEnvironment, docnames: Any) -> None:
    if not hasattr(env, _CLAIMS):
        setattr(env, _CLAIMS, {})


def _purge(app: Sphinx, env: BuildEnvironment, docname: str) -> None:
    claims = getattr(env, _CLAIMS, {})
    for name in [name for name, doc in claims.items() if doc == docname]:
        del claims[name]


def _merge(app: Sphinx, env: BuildEnvironment, docnames: Any, other: BuildEnvironment) -> None:
    getattr(env, _CLAIMS).update(getattr(other, _CLAIMS, {}))


def setup(app: Sphinx) -> None:
    app.add_node(measure_ref)
    app.add_node(unclaimed_list)
    app.add_directive("lexispan-measures", MeasuresDirective)
    app.add_directive("lexispan-all-measures", AllMeasuresDirective)
    app.add_directive("lexispan-unclaimed-measures", UnclaimedDirective)
    app.add_role("measure", MeasureRole())
    app.connect("env-before-read-docs", _init)
    app.connect("env-purge-doc", _purge)
    app.connect("env-merge-info", _merge)
    app.connect("doctree-resolved", _resolve)
