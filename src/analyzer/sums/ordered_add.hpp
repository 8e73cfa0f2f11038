// Addition with a fixed operand order. When both operands of an x86 add are
// NaN, the result carries the first operand's payload, and the compiler is
// free to commute a + b; so the scalar and the multi-row DA sums would pick
// different NaN payloads. Pinning the accumulator as the first operand makes
// every path keep the same bits.
#pragma once

namespace lexispan {

[[nodiscard]] inline double accumulate(double sum, double term) noexcept {
#if defined(__x86_64__) && defined(__SSE2__)
    asm("addsd %1, %0" : "+x"(sum) : "x"(term));
    return sum;
#else
    return sum + term;
#endif
}

}  // namespace lexispan
