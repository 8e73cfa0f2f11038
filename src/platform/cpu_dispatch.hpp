// The instruction-set levels of the core's kernels, defined once: what each
// level compiles a kernel for, how the processor is asked whether it runs
// it, and the level the dispatched kernels use (the widest the processor
// runs, or a narrower one asked for by LEXISPAN_CPU_LEVEL or by a test).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/compiler.hpp"

namespace lexispan {

// Narrowest first. Every build has `baseline` (SSE2 on x86-64; plain C++
// in the portable build and elsewhere); the others exist in x86-64 builds.
enum class CpuLevel : unsigned char { baseline, avx2, avx512 };

inline constexpr CpuLevel cpu_levels[] = {CpuLevel::baseline, CpuLevel::avx2, CpuLevel::avx512};

// "baseline", "avx2", "avx512": the names LEXISPAN_CPU_LEVEL takes.
[[nodiscard]] const char* cpu_level_name(CpuLevel level) noexcept;
[[nodiscard]] std::optional<CpuLevel> parse_cpu_level(std::string_view name) noexcept;

// Whether this build has kernels for `level` and the processor (with its
// operating system) runs them.
[[nodiscard]] bool cpu_level_supported(CpuLevel level) noexcept;

// The level the dispatched kernels run at. On first use it is the widest
// supported level, or the level named by LEXISPAN_CPU_LEVEL (read once) if
// that is narrower; an unknown name is ignored.
[[nodiscard]] CpuLevel cpu_level() noexcept;

// For tests and benchmarks: makes the dispatched kernels run at `requested`
// from the next call on, or at the widest supported level below it, which
// is returned. A level the processor lacks is never run.
CpuLevel force_cpu_level(CpuLevel requested) noexcept;

}  // namespace lexispan

#if LEXISPAN_X86_KERNELS
// Kernels of a level are compiled with its target attribute. AVX-512 takes
// the subsets that its kernels' 128- and 256-bit operations and 64-bit lane
// logic need (VL, DQ) beside the foundation; cpu_dispatch.cpp asks the
// processor for exactly these.
#define LEXISPAN_AVX2_FEATURES "avx2"
#define LEXISPAN_AVX512_FEATURES "avx512f,avx512vl,avx512dq"
#define LEXISPAN_TARGET_AVX2 __attribute__((target(LEXISPAN_AVX2_FEATURES)))
#define LEXISPAN_TARGET_AVX512 __attribute__((target(LEXISPAN_AVX512_FEATURES)))

namespace lexispan::simd {

// Vectors of 2, 4 and 8 lanes, read from memory aligned only as a double
// is. (An alias template would silently drop the vector attribute.)
using doubles2 = double __attribute__((vector_size(16), aligned(8)));
using doubles4 = double __attribute__((vector_size(32), aligned(8)));
using doubles8 = double __attribute__((vector_size(64), aligned(8)));
using words2 = std::uint64_t __attribute__((vector_size(16), aligned(8)));
using words4 = std::uint64_t __attribute__((vector_size(32), aligned(8)));
using words8 = std::uint64_t __attribute__((vector_size(64), aligned(8)));

}  // namespace lexispan::simd
#endif
