// Asking the processor for the instruction-set levels, and the level the
// dispatched kernels use.
#include "platform/cpu_dispatch.hpp"

#include <atomic>
#include <cstdlib>

namespace lexispan {

namespace {

bool processor_runs(CpuLevel level) noexcept {
    switch (level) {
        case CpuLevel::baseline:
            return true;
#if LEXISPAN_X86_KERNELS
        case CpuLevel::avx2:
            static_assert(std::string_view(LEXISPAN_AVX2_FEATURES) == "avx2",
                          "ask for what the AVX2 kernels are compiled for");
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") != 0;
        case CpuLevel::avx512:
            static_assert(std::string_view(LEXISPAN_AVX512_FEATURES) ==
                              "avx512f,avx512vl,avx512dq",
                          "ask for what the AVX-512 kernels are compiled for");
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") != 0 &&
                   __builtin_cpu_supports("avx512vl") != 0 &&
                   __builtin_cpu_supports("avx512dq") != 0;
#else
        case CpuLevel::avx2:
        case CpuLevel::avx512:
            return false;
#endif
    }
    return false;
}

CpuLevel widest_at_most(CpuLevel requested) noexcept {
    CpuLevel widest = CpuLevel::baseline;
    for (const CpuLevel level : cpu_levels) {
        if (level <= requested && cpu_level_supported(level)) {
            widest = level;
        }
    }
    return widest;
}

// The current level, or `unset` before the first use.
constexpr unsigned char unset = 0xFF;
constinit std::atomic<unsigned char> current_level{unset};

CpuLevel first_level() noexcept {
    CpuLevel requested = CpuLevel::avx512;
    if (const char* name = std::getenv("LEXISPAN_CPU_LEVEL")) {
        requested = parse_cpu_level(name).value_or(requested);
    }
    return widest_at_most(requested);
}

}  // namespace

const char* cpu_level_name(CpuLevel level) noexcept {
    switch (level) {
        case CpuLevel::avx512:
            return "avx512";
        case CpuLevel::avx2:
            return "avx2";
        case CpuLevel::baseline:
            break;
    }
    return "baseline";
}

std::optional<CpuLevel> parse_cpu_level(std::string_view name) noexcept {
    for (const CpuLevel level : cpu_levels) {
        if (name == cpu_level_name(level)) {
            return level;
        }
    }
    return std::nullopt;
}

bool cpu_level_supported(CpuLevel level) noexcept {
    static const bool supported[] = {processor_runs(CpuLevel::baseline),
                                     processor_runs(CpuLevel::avx2),
                                     processor_runs(CpuLevel::avx512)};
    return supported[static_cast<unsigned char>(level)];
}

CpuLevel cpu_level() noexcept {
    unsigned char level = current_level.load(std::memory_order_relaxed);
    if (level == unset) [[unlikely]] {
        // Racing first calls compute the same level; the first store wins.
        unsigned char expected = unset;
        const auto first = static_cast<unsigned char>(first_level());
        current_level.compare_exchange_strong(expected, first, std::memory_order_relaxed);
        level = current_level.load(std::memory_order_relaxed);
    }
    return static_cast<CpuLevel>(level);
}

CpuLevel force_cpu_level(CpuLevel requested) noexcept {
    const CpuLevel level = widest_at_most(requested);
    current_level.store(static_cast<unsigned char>(level), std::memory_order_relaxed);
    return level;
}

}  // namespace lexispan
