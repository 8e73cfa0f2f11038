"""The DA kernels keep their chains in registers, checked in the generated code (tools/check-da-registers)."""

import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
TOOL = ROOT / "tools" / "check-da-registers"
COMPILER = shutil.which("c++") or shutil.which("g++")

pytestmark = [
    pytest.mark.skipif(not TOOL.is_file(), reason="needs the source tree (tools/check-da-registers)"),
    pytest.mark.skipif(platform.machine() not in ("x86_64", "AMD64"),
                       reason="the kernels are checked in x86-64 code"),
    pytest.mark.skipif(shutil.which("objdump") is None, reason="needs objdump"),
    # The sanitizer run instruments the compiler's own process through the
    # preloaded runtime (its leaks fail every compile) and the module's
    # kernels (instrumented code touches the stack by design).
    pytest.mark.skipif(os.environ.get("LEXISPAN_SANITIZED") == "1",
                       reason="checks the uninstrumented build"),
]


def run_tool(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, str(TOOL), *args], capture_output=True, text=True,
                          timeout=300)


@pytest.mark.skipif(COMPILER is None, reason="needs a C++ compiler")
def test_every_kernel_of_every_isa_at_both_optimisation_levels():
    run = run_tool()
    assert run.returncode == 0, run.stdout + run.stderr
    # 6 baseline + 6 AVX2 + 6 AVX-512 shapes, at -O2 and at -O3.
    assert run.stdout.count("18 kernels checked") == 2, run.stdout


def test_the_kernels_in_the_built_module():
    import lexispan

    run = run_tool(lexispan.__file__)
    if "no DA kernels found" in run.stdout:
        pytest.skip("the installed module carries no local symbols")
    assert run.returncode == 0, run.stdout + run.stderr


# Stand-ins with a kernel's name and the fault the tool is there to catch.
FAULTY = {
    "stack access": """
        // The chain goes through the stack on every iteration.
        for (std::size_t j = 0; j < n; ++j) {
            asm volatile("vmovupd %1, %0" : "=m"(slot) : "x"(acc));
            asm("vaddpd %1, %0, %0" : "+x"(acc) : "x"(v(q + 4 * j)));
        }""",
    "does not read it as its first operand": """
        // The term is the first operand: NaN payloads would come from it.
        for (std::size_t j = 0; j < n; ++j) {
            const v4 t = v(q + 4 * j);
            asm("vaddpd %1, %2, %0" : "=x"(acc) : "x"(acc), "x"(t));
        }""",
    "expected 1 chains": """
        // Two accumulators for what should be one chain.
        v4 other = acc;
        for (std::size_t j = 0; j < n; ++j) {
            asm("vaddpd %1, %0, %0" : "+x"(acc) : "x"(v(q + 4 * j)));
            asm("vaddpd %1, %0, %0" : "+x"(other) : "x"(v(q + 4 * j + 2)));
        }
        acc = acc - other;""",
}


@pytest.mark.skipif(COMPILER is None, reason="needs a C++ compiler")
@pytest.mark.parametrize("fault", sorted(FAULTY))
def test_a_faulty_kernel_is_reported(tmp_path, fault):
    source = tmp_path / "faulty.cpp"
    source.write_text(f"""
#include <cstddef>
using v4 = double __attribute__((vector_size(32), aligned(8)));
__attribute__((target("avx2"))) inline v4 v(const double* p) {{
    return *reinterpret_cast<const v4*>(p);
}}
template <std::size_t K>
__attribute__((noinline, target("avx2"))) void chains_avx2(const double* q, std::size_t n,
                                                         double* out) {{
    v4 acc = {{}};
    v4 slot;
    {FAULTY[fault]}
    *reinterpret_cast<v4*>(out) = acc;
    (void)slot;
}}
template void chains_avx2<1>(const double*, std::size_t, double*);
""")
    obj = tmp_path / "faulty.o"
    subprocess.run([COMPILER, "-std=c++20", "-O2", "-c", str(source), "-o", str(obj)],
                   check=True)
    run = run_tool(str(obj))
    assert run.returncode == 1, run.stdout + run.stderr
    assert fault in run.stdout, run.stdout
