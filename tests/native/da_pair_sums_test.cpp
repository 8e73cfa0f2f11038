// Every DA pair-sum kernel the processor can run must give, lane for lane,
// the bits of the one-row scalar sum: random rows with zeros, negatives,
// NaNs (payloads and signs included) and infinities, every row count up to
// a full group, and lengths around the vector widths.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "analyzer/da_pair_sums.hpp"
#include "analyzer/measures.hpp"

using namespace lexispan;

namespace {

int failures = 0;

std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

double nan_with_payload(std::uint64_t payload, bool negative) {
    const std::uint64_t b = (negative ? std::uint64_t{1} << 63 : 0) | 0x7ff8000000000000u |
                            (payload & 0x0007ffffffffffffu);
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

double draw(std::mt19937_64& rng) {
    switch (rng() % 12) {
        case 0:
        case 1:
            return 0.0;
        case 2:
            return -0.0;
        case 3:
            return -static_cast<double>(rng() % 100) / 7.0;
        case 4:
            return rng() % 40 == 0 ? nan_with_payload(rng(), rng() % 2 == 0) : 1.0;
        case 5:
            return rng() % 60 == 0 ? INFINITY : 0.25;
        default:
            return static_cast<double>(rng() % 1000) / 997.0;
    }
}

void check(DaKernel kernel, const char* name, std::size_t rows, std::size_t n,
           std::mt19937_64& rng) {
    std::vector<std::vector<double>> q(rows, std::vector<double>(n));
    for (auto& row : q) {
        for (double& x : row) {
            x = draw(rng);
        }
    }
    std::vector<const double*> pointers;
    for (const auto& row : q) {
        pointers.push_back(row.data());
    }
    double sums[da_lanes];
    da_pair_sums_with(kernel, pointers.data(), rows, n, sums);
    for (std::size_t r = 0; r < rows; ++r) {
        const double expected = da_pair_sum(q[r].data(), n);
        if (bits_of(sums[r]) != bits_of(expected)) {
            std::printf("FAIL %s rows=%zu n=%zu row %zu: %016" PRIx64 " != %016" PRIx64 "\n",
                        name, rows, n, r, bits_of(sums[r]), bits_of(expected));
            ++failures;
        }
    }
}

}  // namespace

int main() {
    const struct {
        DaKernel kernel;
        const char* name;
    } kernels[] = {{DaKernel::baseline, "baseline"},
                   {DaKernel::avx2, "avx2"},
                   {DaKernel::avx512, "avx512"}};
    std::mt19937_64 rng(20261208);
    for (const auto& k : kernels) {
        if (!da_kernel_available(k.kernel)) {
            std::printf("skip %s (not supported here)\n", k.name);
            continue;
        }
        for (std::size_t rows = 1; rows <= da_lanes; ++rows) {
            for (const std::size_t n : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 33u, 200u}) {
                check(k.kernel, k.name, rows, n, rng);
            }
        }
        std::printf("ok %s\n", k.name);
    }
    return failures == 0 ? 0 : 1;
}
