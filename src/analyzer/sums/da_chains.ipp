// The body of the x86 DA kernels, written once and included by
// da_pair_sums.cpp once per instruction-set level, in namespace
// LEXISPAN_CHAINS_NAMESPACE with every function compiled for
// LEXISPAN_CHAINS_TARGET. It cannot be a plain template: a target attribute
// cannot depend on a template argument, and Clang checks the inline
// assembly's registers against the target of the function that holds it.
// (No #pragma once: included on purpose several times.)

namespace LEXISPAN_CHAINS_NAMESPACE {

// Vectors from and to memory aligned only as a double is. (The aligned(8)
// of the simd types does not survive as a template argument under Clang, so
// it is given again here.)
template <class Vector>
LEXISPAN_CHAINS_TARGET LEXISPAN_ALWAYS_INLINE Vector load(const double* p) {
    typedef Vector Unaligned __attribute__((aligned(8)));
    return *reinterpret_cast<const Unaligned*>(p);
}

template <class Vector>
LEXISPAN_CHAINS_TARGET LEXISPAN_ALWAYS_INLINE void store(double* p, Vector v) {
    typedef Vector Unaligned __attribute__((aligned(8)));
    *reinterpret_cast<Unaligned*>(p) = v;
}

// One pair term for one chain: acc += |qi - qj|, lane by lane. |x| is
// taken by clearing the sign bit, exactly what fabs does.
template <class Doubles, class Bits>
LEXISPAN_CHAINS_TARGET LEXISPAN_ALWAYS_INLINE void add_term(Doubles& acc, Doubles qi,
                                                            const double* qj, Bits mask) {
    // acc first, so both NaN operands keep acc's payload, as in the scalar
    // sum (see ordered_add.hpp).
    if constexpr (sizeof(Doubles) == 16) {
        // SSE2's two-operand forms: one block per term, which keeps Clang
        // from holding several terms at once and so spilling six chains'
        // elements out of the 16 registers.
        Doubles term = qi;
        asm("subpd %2, %1\n\tandpd %3, %1\n\taddpd %1, %0"
            : "+x"(acc), "+&x"(term)
            : "m"(*reinterpret_cast<const double(*)[2]>(qj)), "x"(mask));
    } else {
        const Doubles d = qi - load<Doubles>(qj);
        const Doubles term = __builtin_bit_cast(Doubles, __builtin_bit_cast(Bits, d) & mask);
        asm("vaddpd %1, %0, %0" : "+v"(acc) : "v"(term));
    }
}

// The additions of the scalar loop for pairs (i, j), i_begin <= i < i_end,
// with K blocks' chains in K registers, and with `half` one more chain of
// 4 lanes. The chains are indexed only by constants (the pack), which lets
// the compiler keep every one of them in a register; a loop over k leaves
// them in a stack array.
template <class Doubles, class Bits, bool half, std::size_t... Ks>
LEXISPAN_CHAINS_TARGET LEXISPAN_ALWAYS_INLINE void chains(std::index_sequence<Ks...>,
                                                          const double* const* blocks,
                                                          std::size_t stride, std::size_t n,
                                                          std::size_t i_begin,
                                                          std::size_t i_end, double* state) {
    using simd::doubles4;
    using simd::words4;
    constexpr std::size_t W = sizeof(Doubles) / sizeof(double);
    constexpr std::size_t K = sizeof...(Ks);
    constexpr std::uint64_t magnitude = ~(std::uint64_t{1} << 63);
    [[maybe_unused]] const Bits mask = Bits{} + magnitude;
    const words4 half_mask = words4{} + magnitude;
    // The K blocks are consecutive (block k starts k * W after block 0), so
    // one pointer with constant offsets reaches them all.
    [[maybe_unused]] const double* const rows = blocks[0];
    [[maybe_unused]] Doubles acc[K + 1] = {load<Doubles>(state + Ks * W)...};
    const double* const half_base = half ? blocks[K] : nullptr;
    doubles4 half_acc{};
    if constexpr (half) {
        half_acc = load<doubles4>(state + K * W);
    }
    for (std::size_t i = i_begin; i < i_end; ++i) {
        // One spare element, so that K may be 0.
        [[maybe_unused]] const Doubles qi[K + 1] = {load<Doubles>(rows + i * stride + Ks * W)...};
        doubles4 half_qi{};
        if constexpr (half) {
            half_qi = load<doubles4>(half_base + i * 4);
        }
        for (std::size_t j = i + 1; j < n; ++j) {
            (add_term(acc[Ks], qi[Ks], rows + j * stride + Ks * W, mask), ...);
            if constexpr (half) {
                add_term(half_acc, half_qi, half_base + j * 4, half_mask);
            }
        }
    }
    (store(state + Ks * W, acc[Ks]), ...);
    if constexpr (half) {
        store(state + K * W, half_acc);
    }
}

}  // namespace LEXISPAN_CHAINS_NAMESPACE
