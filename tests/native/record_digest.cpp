// A digest of the record's bits over a fixed set of random rows (words in
// few, many and all parts, powers of two, NaN, infinite, negative and -0.0
// cells), computed through the batch (the row engine, the DA kernels at the
// current level, the sparse sums). Printed, not checked: tools/check-aarch64
// compares the digests of two builds. The one thing left out is the sign of
// the NaN that an invalid operation (inf - inf, 0 / 0) creates: x86 gives it
// the sign bit, ARM does not; NaNs that come from the input keep their sign
// and payload on both.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <vector>

#include "analyzer/evaluation/batch_evaluation.hpp"

int main() {
    // mt19937_64's sequence is fixed by the standard; only integer draws
    // are turned into doubles, so every build sees the same rows.
    std::mt19937_64 rng(2028);
    constexpr std::size_t parts = 211;
    std::vector<double> sizes(parts);
    double total = 0.0;
    for (double& size : sizes) {
        size = static_cast<double>(50 + rng() % 3000);
        total += size;
    }
    std::vector<std::vector<double>> rows(400, std::vector<double>(parts, 0.0));
    for (auto& row : rows) {
        const std::uint64_t density = rng() % 5;  // in 0, 1/64, 1/4, 3/4 or all of the parts
        for (double& cell : row) {
            const std::uint64_t draw = rng();
            const bool present = density == 4 || (density == 3 && draw % 4 != 0) ||
                                 (density == 2 && draw % 4 == 0) || (density == 1 && draw % 64 == 0);
            if (present) {
                cell = draw % 7 == 0 ? std::ldexp(1.0, static_cast<int>(draw % 9))
                                     : static_cast<double>(1 + (draw >> 8) % 40);
            }
        }
        switch (rng() % 16) {
            case 0:
                row[rng() % parts] = std::numeric_limits<double>::quiet_NaN();
                break;
            case 1:
                row[rng() % parts] = std::numeric_limits<double>::infinity();
                break;
            case 2:
                row[rng() % parts] = -3.0;
                break;
            case 3:
                row[rng() % parts] = -0.0;
                break;
            default:
                break;
        }
    }
    lexispan::OwnedRows source(rows);
    auto records = lexispan::calculate_batch_metrics(source, sizes, total);
    if (!records.ok()) {
        std::printf("the batch refused the rows\n");
        return 1;
    }
    // FNV-1a over every field's bits (0 for an absent one), record by record.
    std::uint64_t digest = 0xcbf29ce484222325ULL;
    const auto add = [&](std::uint64_t bits) {
        for (int byte = 0; byte < 8; ++byte) {
            digest = (digest ^ ((bits >> (8 * byte)) & 0xFFU)) * 0x100000001b3ULL;
        }
    };
    constexpr std::uint64_t sign = std::uint64_t{1} << 63;
    constexpr std::uint64_t default_nan = 0x7FF8000000000000ULL;
    for (const auto& record : records.value()) {
        add(static_cast<std::uint64_t>(record.range));
        for (const auto& field : lexispan::optional_fields) {
            const auto& value = record.*field.member;
            const std::uint64_t bits = value ? std::bit_cast<std::uint64_t>(*value) : 0;
            add((bits & ~sign) == default_nan ? default_nan : bits);
        }
    }
    std::printf("record digest %016llx\n", static_cast<unsigned long long>(digest));
    return 0;
}
