"""The installed type stubs describe the extension: good usage passes mypy --strict, misuse fails."""

import ast
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import FIELDS, SINGLE_METRIC_NAMES

pytest.importorskip("mypy")

HERE = Path(__file__).parent / "typing"


def mypy(tmp_path: Path, *args: str) -> subprocess.CompletedProcess[str]:
    # Run outside the checkout so only the installed package and stubs are seen.
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *args],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )


def test_usage_passes_strict_and_runs(tmp_path):
    result = mypy(tmp_path, str(HERE / "usage.py"))
    assert result.returncode == 0, result.stdout + result.stderr
    ran = subprocess.run([sys.executable, str(HERE / "usage.py")], capture_output=True, text=True, timeout=60)
    assert ran.returncode == 0, ran.stderr


def test_every_marked_misuse_is_an_error(tmp_path):
    source = HERE / "misuse.py"
    marked = {n for n, line in enumerate(source.read_text().splitlines(), 1) if "# error" in line}
    result = mypy(tmp_path, str(source))
    assert result.returncode == 1, result.stdout + result.stderr
    reported = {int(m) for m in re.findall(r"^[^:\n]*misuse\.py:(\d+): error:", result.stdout, re.M)}
    assert reported == marked, result.stdout


def test_stubs_match_the_runtime_module(tmp_path):
    # stubtest imports the extension and compares every name and signature.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "lexispan"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


def test_command_line_package_is_strictly_typed(tmp_path):
    result = mypy(tmp_path, "-p", "lexispan_cli")
    assert result.returncode == 0, result.stdout + result.stderr


def test_table_package_is_strictly_typed(tmp_path):
    result = mypy(tmp_path, "-p", "lexispan_table")
    assert result.returncode == 0, result.stdout + result.stderr


def installed_stub() -> ast.Module:
    import lexispan

    path = Path(lexispan.__file__).parent / "lexispan-stubs" / "__init__.pyi"
    return ast.parse(path.read_text())


def test_every_method_and_attribute_has_a_docstring_in_the_stubs():
    import lexispan

    classes = {node.name: node for node in installed_stub().body
               if isinstance(node, ast.ClassDef) and not node.name.startswith("_")}
    assert set(classes) == set(lexispan.__all__)
    for name, node in classes.items():
        documented = {item.name for item in node.body
                      if isinstance(item, ast.FunctionDef) and ast.get_docstring(item)}
        public = {member for member in vars(getattr(lexispan, name)) if not member.startswith("_")}
        assert ast.get_docstring(node), name
        assert documented == public | {"__new__"}, name


def test_record_fields_are_the_stubs_properties_in_order():
    # The one list of the record's names that is spelled out: the stubs'.
    (record,) = [node for node in installed_stub().body
                 if isinstance(node, ast.ClassDef) and node.name == "DispersionMetrics"]
    properties = [item.name for item in record.body if isinstance(item, ast.FunctionDef)
                  and any(ast.unparse(d) == "property" for d in item.decorator_list)]
    assert tuple(properties) == FIELDS


def test_metric_name_literal_is_the_set_the_module_accepts():
    (alias,) = [node for node in installed_stub().body
                if isinstance(node, ast.AnnAssign) and ast.unparse(node.target) == "_MetricName"]
    names = [ast.literal_eval(element) for element in alias.value.slice.elts]
    assert sorted(names) == sorted(SINGLE_METRIC_NAMES)
