"""Building the native test programs (tests/native) with CMake, for tests/test_native_*.py.

Kept apart from conftest.py, which imports the extension: tools/sanitize-tests
runs the native tests with --noconftest, in an interpreter that cannot load
the instrumented extension.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
CMAKE_LISTS = ROOT / "CMakeLists.txt"
# Every program of the LEXISPAN_NATIVE_TESTS list in CMakeLists.txt (none in a
# copy of tests/ alone, where the fixtures skip).
PROGRAMS = re.search(r"foreach\(program IN ITEMS([^)]*)\)",
                     CMAKE_LISTS.read_text()).group(1).split() if CMAKE_LISTS.is_file() else []


def build_native_programs(directory, build_type, targets):
    """Configures the project with its native test programs and builds `targets` there.

    The programs link the core library and get its compiler flags, warnings as
    errors; under tools/sanitize-tests (LEXISPAN_SANITIZED=1) they are
    instrumented as the core is, under tools/ci-portable (LEXISPAN_PORTABLE=1)
    built as the portable core. CMake compiles with $CXX when it is set.
    """
    if not CMAKE_LISTS.is_file():
        pytest.skip("needs the source tree (CMakeLists.txt) to build the native test programs")
    if shutil.which("cmake") is None:
        pytest.skip("no cmake to build the native test programs")
    if not (os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")):
        pytest.skip("no C++ compiler to build the native test programs")
    options = [f"-DCMAKE_BUILD_TYPE={build_type}", "-DLEXISPAN_NATIVE_TESTS=ON",
               "-DLEXISPAN_WERROR=ON", f"-DPython_EXECUTABLE={sys.executable}"]
    if os.environ.get("LEXISPAN_SANITIZED") == "1":
        options.append("-DLEXISPAN_SANITIZE=ON")
    # tools/ci-portable: the native programs are built as the extension was.
    if os.environ.get("LEXISPAN_PORTABLE") == "1":
        options.append("-DLEXISPAN_PORTABLE=ON")
    for command in (["cmake", "-S", str(ROOT), "-B", str(directory), *options],
                    ["cmake", "--build", str(directory), "--parallel", "2",
                     "--target", *targets]):
        completed = subprocess.run(command, capture_output=True, text=True, timeout=900)
        assert completed.returncode == 0, completed.stdout + completed.stderr
    return Path(directory)


# Build directories by build type. Each test module that imports the fixtures
# below gets fixtures of its own, so the builds are shared here, once per run.
_built = {}


def _build_once(tmp_path_factory, build_type, targets):
    if build_type not in _built:
        _built[build_type] = build_native_programs(
            tmp_path_factory.mktemp(f"native-{build_type.lower()}"), build_type, targets)
    return _built[build_type]


@pytest.fixture(scope="session")
def native_release(tmp_path_factory):
    """The directory of every native test program, built as the wheel builds the core."""
    return _build_once(tmp_path_factory, "Release", PROGRAMS)


@pytest.fixture(scope="session")
def native_debug(tmp_path_factory):
    """The DA kernel and sparse-form tests built without optimisation, so nothing is
    vectorised by the compiler."""
    return _build_once(tmp_path_factory, "Debug", ["da_pair_sums_test", "catalogue_sparse_test"])
