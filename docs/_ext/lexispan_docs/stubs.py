"""The extension module documented from its type stubs: the ``lexispan`` module's
docstrings live in python/lexispan-stubs/__init__.pyi, not in the compiled
module. ``.. lexispan-stubs::`` loads the stub file as a module object named
``lexispan`` and lets autodoc read it: the module stands in for the compiled
one only while the directive's own autodoc directives run, so the executed
examples elsewhere still use the real module. The stubs' public names are
checked against the compiled module's, so the two cannot drift apart."""

from __future__ import annotations

import __future__
import ast
import builtins
import contextlib
import importlib
import importlib.machinery
import re
import sys
import types
from collections.abc import Iterator
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util import logging
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

logger = logging.getLogger(__name__)


def _stub_import(name: str, globals: object = None, locals: object = None,
                 fromlist: tuple[str, ...] = (), level: int = 0) -> object:
    """The import statement of a stub: a few names exist for type checkers
    only (typing.type_check_only); at run time they are identity decorators."""
    module = builtins.__import__(name, globals, locals, fromlist, level)
    missing = [item for item in fromlist or () if not hasattr(module, item)]
    if name == "typing" and missing == ["type_check_only"]:
        extended = types.ModuleType(name)
        extended.__dict__.update(vars(module))
        extended.type_check_only = lambda target: target  # type: ignore[attr-defined]
        return extended
    return module


def load_stub(name: str, path: Path) -> types.ModuleType:
    """The stub file executed as a module (annotations kept as strings, as
    in a stub they may name anything)."""
    source = path.read_text(encoding="utf-8")
    module = types.ModuleType(name)
    module.__builtins__ = {**vars(builtins), "__import__": _stub_import}
    module.__file__ = str(path)
    module.__loader__ = importlib.machinery.SourceFileLoader(name, str(path))
    module.__spec__ = importlib.machinery.ModuleSpec(name, module.__loader__, origin=str(path))
    code = compile(source, str(path), "exec", flags=__future__.annotations.compiler_flag,
                   dont_inherit=True)
    exec(code, module.__dict__)
    return module


@contextlib.contextmanager
def standing_in(module: types.ModuleType) -> Iterator[None]:
    name = module.__name__
    real = sys.modules.get(name)
    sys.modules[name] = module
    try:
        yield
    finally:
        if real is None:
            sys.modules.pop(name, None)
        else:
            sys.modules[name] = real


def _public(obj: object) -> set[str]:
    return {name for name in vars(obj) if not name.startswith("_")}


def drift(stub: types.ModuleType, real: types.ModuleType) -> list[str]:
    """Public names that the stubs and the compiled module do not share."""
    found = []
    for name in stub.__all__:
        if not hasattr(real, name):
            found.append(f"{name} (in the stubs only)")
            continue
        ours, theirs = _public(getattr(stub, name)), _public(getattr(real, name))
        found += [f"{name}.{member} (in the stubs only)" for member in sorted(ours - theirs)]
        found += [f"{name}.{member} (in the module only)" for member in sorted(theirs - ours)]
    return found


def type_aliases(path: Path) -> list[tuple[str, str, list[str]]]:
    """(name, value, comment lines) of each module-level ``X: TypeAlias = ...``
    of the stub, the comment being the lines just above it."""
    source = path.read_text(encoding="utf-8")
    lines = source.splitlines()
    found = []
    for node in ast.parse(source).body:
        if (isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
                and isinstance(node.annotation, ast.Name) and node.annotation.id == "TypeAlias"
                and node.value is not None):
            comment: list[str] = []
            row = node.lineno - 2
            while row >= 0 and lines[row].lstrip().startswith("#"):
                comment.insert(0, lines[row].lstrip()[1:].strip())
                row -= 1
            found.append((node.target.id, ast.unparse(node.value), comment))
    return found


def _alias_lines(module: str, aliases: list[tuple[str, str, list[str]]]) -> list[str]:
    lines = [".. rubric:: Argument types", "",
             "The signatures above name these aliases of the stubs.", ""]
    for name, value, comment in aliases:
        lines += [f".. py:data:: {module}.{name}", f"   :value: {value}", ""]
        lines += ["   " + " ".join(comment), ""]
    return lines


_MARKUP = re.compile(r"([|*`])|(?<=\w)_(?=\W|$)")


def plain_docstring(app: Sphinx, what: str, name: str, obj: object, options: object,
                    lines: list[str]) -> None:
    """The stubs' docstrings are plain text, written for editors and help():
    characters that reStructuredText would read as markup are kept as text."""
    if name.startswith(app.config.lexispan_stub_module + "."):
        lines[:] = [_MARKUP.sub(lambda m: "\\" + m.group(0), line) for line in lines]


def plain_signature(app: Sphinx, what: str, name: str, obj: object, options: object,
                    signature: str | None, return_annotation: str | None
                    ) -> tuple[str, str | None] | None:
    """A stub class that cannot be constructed (its ``__new__`` returns
    NoReturn) is shown without a call signature."""
    if what == "class" and name.startswith(app.config.lexispan_stub_module + "."):
        new = getattr(vars(obj).get("__new__") if isinstance(obj, type) else None,
                      "__func__", None)
        if new is not None and new.__annotations__.get("return") == "NoReturn":
            return "", None
    return None


class StubsDirective(SphinxDirective):
    """``.. lexispan-stubs::``: every class of the stubs' ``__all__``, with its
    members in the stubs' order, signatures with their types."""

    has_content = False

    def run(self) -> list[nodes.Node]:
        config = self.config
        path = Path(self.env.srcdir, config.lexispan_stub_file).resolve()
        module = load_stub(config.lexispan_stub_module, path)
        self.env.note_dependency(str(path))
        real = importlib.import_module(config.lexispan_stub_module)
        for problem in drift(module, real):
            logger.warning("stubs and module differ: %s", problem,
                           location=(self.env.docname, self.lineno))
        lines = []
        for name in module.__all__:
            lines += [f".. autoclass:: {module.__name__}.{name}", "   :members:",
                      "   :member-order: bysource", ""]
        aliases = type_aliases(path)
        lines += _alias_lines(module.__name__, aliases)
        content = StringList(lines, source=str(path))
        holder = nodes.section()
        saved = config.autodoc_typehints, config.autodoc_type_aliases
        # The stubs' types are their documentation; their aliases keep their names.
        config.autodoc_typehints = "signature"
        config.autodoc_type_aliases = {name: f"{module.__name__}.{name}"
                                       for name, _, _ in aliases}
        try:
            with standing_in(module):
                nested_parse_with_titles(self.state, content, holder)
        finally:
            config.autodoc_typehints, config.autodoc_type_aliases = saved
        return holder.children
