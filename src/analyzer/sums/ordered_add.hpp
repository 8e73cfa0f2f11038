// Addition with a fixed operand order. When both operands of an x86 add are
// NaN, the result carries the first operand's payload, and the compiler is
// free to commute a + b; so the scalar and the multi-row DA sums would pick
// different NaN payloads. Every sum that must agree with another therefore
// adds through accumulate, which keeps the accumulator's payload first.
#pragma once

#include <bit>
#include <cstdint>

#include "platform/compiler.hpp"

namespace lexispan {

// sum + term with x86's choice of NaN, in standard C++: a NaN sum, else a
// NaN term, comes out quieted with its payload; any other pair is added
// (the result no longer depends on the operand order). ARM, say, would
// prefer a signalling NaN term to a quiet NaN sum.
[[nodiscard]] inline double accumulate_portable(double sum, double term) noexcept {
    constexpr std::uint64_t quiet = std::uint64_t{1} << 51;
    if (sum != sum) {
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(sum) | quiet);
    }
    if (term != term) {
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(term) | quiet);
    }
    return sum + term;
}

[[nodiscard]] inline double accumulate(double sum, double term) noexcept {
#if LEXISPAN_X86_KERNELS
    // The accumulator is the add's first operand.
    asm("addsd %1, %0" : "+x"(sum) : "x"(term));
    return sum;
#else
    return accumulate_portable(sum, term);
#endif
}

}  // namespace lexispan
