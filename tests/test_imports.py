"""The Python packages import in one direction: no module of lexispan_table or
lexispan_cli reaches itself through its imports (those inside functions
too), and each imports first in a fresh interpreter."""

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import lexispan_cli
import lexispan_table


def _modules():
    """{dotted name: source file, or None for a compiled or stub-only module}."""
    found = {}
    for package in (lexispan_table, lexispan_cli):
        root = Path(package.__file__).parent
        for path in sorted(root.rglob("*")):
            if path.suffix not in (".py", ".pyi", ".so", ".pyd") or "__pycache__" in path.parts:
                continue
            parts = [*path.parent.relative_to(root.parent).parts, path.name.split(".")[0]]
            if parts[-1] == "__init__":
                parts.pop()
            name = ".".join(parts)
            if path.suffix == ".py" or name not in found:
                found[name] = path if path.suffix == ".py" else None
    return found


MODULES = _modules()


def _imports(name, path):
    """The modules of both packages that `name` imports anywhere in its code."""
    package = name if path.name == "__init__.py" else name.rpartition(".")[0]
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            targets = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom):
            base = node.module or ""
            if node.level:
                anchor = package.rsplit(".", node.level - 1)[0]
                base = f"{anchor}.{base}" if base else anchor
            # `from package import module` imports the module, not the package's names.
            targets = [f"{base}.{a.name}" if f"{base}.{a.name}" in MODULES else base
                       for a in node.names]
        elif (isinstance(node, ast.Call) and getattr(node.func, "attr", None) == "import_module"
              and node.args and isinstance(node.args[0], ast.Constant)):
            targets = [node.args[0].value]
        else:
            continue
        yield from (target for target in targets if target in MODULES)


GRAPH = {name: set(_imports(name, path)) if path else set() for name, path in MODULES.items()}


def cycle_through(name, graph):
    """A chain of imports from `name` back to itself, or None."""
    chains = [[name, target] for target in sorted(graph[name])]
    seen = set()
    while chains:
        chain = chains.pop()
        if chain[-1] == name:
            return chain
        if chain[-1] not in seen:
            seen.add(chain[-1])
            chains += [[*chain, target] for target in sorted(graph[chain[-1]])]
    return None


@pytest.mark.parametrize("name", sorted(MODULES))
def test_no_module_reaches_itself_and_each_imports_first(name):
    assert cycle_through(name, GRAPH) is None, " -> ".join(cycle_through(name, GRAPH))
    if name.endswith("__main__"):
        return  # runs the command when imported
    run = subprocess.run([sys.executable, "-c", f"import {name}"], capture_output=True,
                         text=True, timeout=120)
    assert run.returncode == 0, run.stderr


def test_a_planted_cycle_is_found():
    # The circle this layout replaced: the Dask path reusing the table's private evaluation.
    assert "lexispan_table._dask" in GRAPH["lexispan_table._table"]
    planted = {**GRAPH, "lexispan_table._dask": {*GRAPH["lexispan_table._dask"],
                                                 "lexispan_table._table"}}
    assert cycle_through("lexispan_table._table", planted) == [
        "lexispan_table._table", "lexispan_table._dask", "lexispan_table._table"]
