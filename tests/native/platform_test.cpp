// The platform unit's stand-ins give the bits of what they replace, and the
// CPU level switch never runs a level the processor lacks. Prints the level
// the kernels started at (LEXISPAN_CPU_LEVEL applied), then checks; exits
// non-zero on the first failure.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>

#include "analyzer/profile/ordered_add.hpp"
#include "platform/compiler.hpp"
#include "platform/cpu_dispatch.hpp"
#include "platform/system.hpp"

using namespace lexispan;

namespace {

int failures = 0;

void expect(bool ok, const char* what, std::uint64_t a = 0, std::uint64_t b = 0) {
    if (!ok) {
        std::printf("FAIL %s: %016llx %016llx\n", what, static_cast<unsigned long long>(a),
                    static_cast<unsigned long long>(b));
        ++failures;
    }
}

double from_bits(std::uint64_t bits) { return std::bit_cast<double>(bits); }

// Forcing a level gives it or the widest supported one below it, and the
// kernels then report that level.
void check_levels() {
    const CpuLevel start = cpu_level();
    expect(cpu_level_supported(start), "the starting level is supported");
    expect(cpu_level_supported(CpuLevel::baseline), "baseline is always supported");
    for (const CpuLevel requested : cpu_levels) {
        expect(parse_cpu_level(cpu_level_name(requested)) == requested, "names parse back");
        const CpuLevel got = force_cpu_level(requested);
        expect(got <= requested && cpu_level_supported(got) && cpu_level() == got,
               "a forced level is clamped to a supported one");
        expect(got == requested || !cpu_level_supported(requested),
               "a supported level is taken as asked");
    }
    expect(!parse_cpu_level("AVX2") && !parse_cpu_level(""), "unknown names are refused");
    force_cpu_level(start);
}

// accumulate and multiply keep x86's choice of NaN on every path: the
// first operand's payload, then the second's, quieted; otherwise the plain
// result.
struct PinnedOperation {
    const char* name;
    double (*pinned)(double, double) noexcept;
    double (*portable)(double, double) noexcept;
};
constexpr PinnedOperation pinned_operations[] = {
    {"accumulate", accumulate, accumulate_portable},
    {"multiply", multiply, multiply_portable},
};

void check_pinned_operations() {
    const std::uint64_t quiet = std::uint64_t{1} << 51;
    const std::uint64_t specials[] = {
        0x7FF8000000000001ULL, 0xFFF80000000ABCDEULL,  // quiet NaNs
        0x7FF0000000000123ULL, 0xFFF4000000000007ULL,  // signalling NaNs
        0x7FF0000000000000ULL, 0xFFF0000000000000ULL,  // infinities
        0x0000000000000000ULL, 0x8000000000000000ULL,  // zeros
        0x0000000000000001ULL, 0x3FF0000000000000ULL, 0xC00921FB54442D18ULL};
    for (const PinnedOperation& op : pinned_operations) {
        for (const std::uint64_t s : specials) {
            for (const std::uint64_t t : specials) {
                const double a = from_bits(s);
                const double b = from_bits(t);
                const auto got = std::bit_cast<std::uint64_t>(op.pinned(a, b));
                const auto portable = std::bit_cast<std::uint64_t>(op.portable(a, b));
                expect(got == portable, op.name, got, portable);
                if (a != a) {
                    expect(got == (s | quiet), "a NaN first operand keeps its payload", got, s);
                } else if (b != b) {
                    expect(got == (t | quiet), "a NaN second operand keeps its payload", got, t);
                }
            }
        }
        std::mt19937_64 rng(31);
        for (int i = 0; i < 100000; ++i) {
            const double a = from_bits(rng());
            const double b = from_bits(rng());
            const auto got = std::bit_cast<std::uint64_t>(op.pinned(a, b));
            const auto portable = std::bit_cast<std::uint64_t>(op.portable(a, b));
            expect(got == portable, op.name, got, portable);
        }
    }
}

// The two-word integer against the compiler's own, where it has one, and
// against exact worked values everywhere.
void check_wide_unsigned() {
    const auto bits = [](PortableWideUnsigned x) {
        return std::bit_cast<std::uint64_t>(static_cast<double>(x));
    };
    // 2^64 + 2^12 lies half-way between the doubles 2^64 and 2^64 + 2^12
    // (ties to even: 2^64); one more unit below rounds up.
    PortableWideUnsigned tie = PortableWideUnsigned(std::uint64_t{1} << 63) * 2;
    tie += PortableWideUnsigned(std::uint64_t{1} << 11);
    expect(tie.high() == 1 && tie.low() == 2048, "carry into the high word");
    expect(bits(tie) == std::bit_cast<std::uint64_t>(0x1p64), "a tie rounds to even");
    tie += PortableWideUnsigned(1);
    expect(bits(tie) == std::bit_cast<std::uint64_t>(0x1.0000000000001p64),
           "a sticky bit rounds up");
    const PortableWideUnsigned square = PortableWideUnsigned(~std::uint64_t{0}) * ~std::uint64_t{0};
    expect(square.high() == ~std::uint64_t{1} && square.low() == 1, "(2^64 - 1)^2");
#if defined(__SIZEOF_INT128__)
    __extension__ typedef unsigned __int128 native;
    std::mt19937_64 rng(47);
    for (int i = 0; i < 200000; ++i) {
        // Factors of every width, so that products land in every binade.
        const std::uint64_t a = rng() >> (rng() % 64);
        const std::uint64_t b = rng() >> (rng() % 64);
        const std::uint64_t c = rng() >> (rng() % 64);
        PortableWideUnsigned p = PortableWideUnsigned(a) * b;
        p += PortableWideUnsigned(c) * c;
        const native q = static_cast<native>(a) * b + static_cast<native>(c) * c;
        expect(p.low() == static_cast<std::uint64_t>(q) &&
                   p.high() == static_cast<std::uint64_t>(q >> 64),
               "products and sums as the compiler's", p.high(), p.low());
        expect(bits(p) == std::bit_cast<std::uint64_t>(static_cast<double>(q)),
               "rounded to double as the compiler's", bits(p),
               std::bit_cast<std::uint64_t>(static_cast<double>(q)));
    }
#endif
}

void check_system() {
    expect(byte_swap(std::uint16_t{0x1234}) == 0x3412, "byte_swap 16");
    expect(byte_swap(std::uint32_t{0x12345678}) == 0x78563412, "byte_swap 32");
    expect(byte_swap(std::uint64_t{0x0123456789ABCDEFULL}) == 0xEFCDAB8967452301ULL,
           "byte_swap 64");
    expect(l2_cache_bytes() >= (std::size_t{64} << 10), "an L2 size");
    expect(usable_processors().value_or(1) >= 1, "processors");
}

}  // namespace

int main() {
    std::printf("level %s\n", cpu_level_name(cpu_level()));
    check_levels();
    check_pinned_operations();
    check_wide_unsigned();
    check_system();
    if (failures == 0) {
        std::printf("ok platform\n");
    }
    return failures == 0 ? 0 : 1;
}
