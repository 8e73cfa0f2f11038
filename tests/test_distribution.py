"""What the installed distribution says about itself: one version everywhere, its licence with it."""

import re
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

import lexispan_table

from test_cli import COMMAND

ROOT = Path(__file__).resolve().parent.parent
VERSION = metadata.version("lexispan")


def test_the_package_and_the_command_report_the_installed_version():
    assert lexispan_table.__version__ == VERSION
    run = subprocess.run([*COMMAND, "--version"], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout, run.stderr) == (0, f"lexispan {VERSION}\n", "")


def test_the_licence_is_installed_with_the_distribution():
    licences = [f for f in metadata.files("lexispan") or () if f.name == "LICENSE"]
    assert len(licences) == 1
    assert licences[0].read_text().startswith("MIT License\n")


@pytest.mark.skipif(not (ROOT / "CITATION.cff").is_file(),
                    reason="needs the source tree (CITATION.cff, CHANGELOG.md)")
def test_the_citation_and_the_changelog_name_the_installed_version():
    # A release bumps python/lexispan_table/_version.py; these two are written by hand.
    citation = re.search(r"^version: \"?([^\"\n]+)\"?$", (ROOT / "CITATION.cff").read_text(), re.M)
    release = re.search(r"^## \[(\d[^\]]*)\]", (ROOT / "CHANGELOG.md").read_text(), re.M)
    assert citation and release
    assert (citation[1], release[1]) == (VERSION, VERSION)
