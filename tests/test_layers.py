"""The core's folders keep their layers: includes point down, never in a circle (tools/check-includes)."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "tools" / "check-includes"

pytestmark = pytest.mark.skipif(not TOOL.is_file(), reason="needs the source tree (tools/check-includes)")


def check(root):
    return subprocess.run([sys.executable, str(TOOL), str(root)], capture_output=True, text=True,
                          timeout=60)


def test_the_tree_keeps_its_layers():
    run = check(ROOT)
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("file, line, complaint", [
    # A formula reaching for the scheduler.
    ("analyzer/measures/measures.cpp", '#include "parallel/thread_pool.hpp"',
     "analyzer/measures may not include parallel"),
    # A sum reaching up to the measures.
    ("analyzer/sums/zero_run_sums.hpp", '#include "analyzer/measures/measures.hpp"',
     "analyzer/sums may not include analyzer/measures"),
    # The platform unit reaching up to the pool.
    ("platform/system.cpp", '#include "parallel/cpu_budget.hpp"',
     "platform may not include parallel"),
    # The profile reaching up to the rows.
    ("analyzer/profile/corpus_profile.cpp", '#include "analyzer/evaluation/row_evaluation.hpp"',
     "analyzer/profile may not include analyzer/evaluation"),
    # Two units of one folder including each other.
    ("analyzer/measures/measures.hpp", '#include "analyzer/measures/catalogue_measures.hpp"',
     "include cycle"),
])
def test_a_planted_fault_is_found(tmp_path, file, line, complaint):
    shutil.copytree(ROOT / "src", tmp_path / "src")
    if complaint == "include cycle":
        # catalogue_measures includes measures already; close the circle.
        assert '"analyzer/measures/measures.hpp"' in (
            tmp_path / "src/analyzer/measures/catalogue_measures.cpp").read_text()
    target = tmp_path / "src" / file
    text = target.read_text()
    marker = "#pragma once\n" if "#pragma once\n" in text else "\n"
    target.write_text(text.replace(marker, marker + line + "\n", 1))
    run = check(tmp_path)
    assert run.returncode == 1
    assert complaint in run.stdout, run.stdout
