// Addition and multiplication with a fixed operand order. When both
// operands of an x86 add or multiply are NaN, the result carries the first
// operand's payload, and the compiler is free to commute a + b and a * b,
// differently wherever the same formula is compiled; so two entry points,
// or the scalar and the multi-row DA sums, would pick different NaN
// payloads. Pinning the first operand makes every path keep the same bits.
// It sits in the lowest folder because every sum adds through it, the
// profile's own ones included.
#pragma once

namespace lexispan {

// sum + term, whose NaN is sum's when both are NaN.
[[nodiscard]] inline double accumulate(double sum, double term) noexcept {
#if defined(__x86_64__) && defined(__SSE2__)
    asm("addsd %1, %0" : "+x"(sum) : "x"(term));
    return sum;
#else
    return sum + term;
#endif
}

// a * b, whose NaN is a's when both are NaN.
[[nodiscard]] inline double multiply(double a, double b) noexcept {
#if defined(__x86_64__) && defined(__SSE2__)
    asm("mulsd %1, %0" : "+x"(a) : "x"(b));
    return a;
#else
    return a * b;
#endif
}

}  // namespace lexispan
