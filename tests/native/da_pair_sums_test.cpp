// Every DA pair-sum kernel the processor can run must give, lane for lane,
// the bits of the one-row scalar sum: random rows with zeros, negatives,
// NaNs (payloads and signs included) and infinities, every row count up to
// a full group, lengths around the vector widths and random ones, and every
// way of regrouping the rows when their stream outgrows the cache.
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "analyzer/sums/da_pair_sums.hpp"
#include "analyzer/measures/measures.hpp"
#include "check.hpp"
#include "platform/cpu_dispatch.hpp"

using namespace lexispan;

namespace {

int failures = 0;

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

// budget 0 means the kernel's own L2 share (da_pair_sums); otherwise the
// rows are regrouped as that many bytes of cache allow. The kernels run at
// the level forced by the caller.
void check(const char* name, std::size_t rows, std::size_t n, std::size_t budget,
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
    double sums[da_lanes + 1];
    // A canary past the last row: nothing may be written there.
    sums[rows] = 12345.0;
    if (budget == 0) {
        da_pair_sums(pointers.data(), rows, n, sums);
    } else {
        da_pair_sums_with_budget(pointers.data(), rows, n, sums, budget);
    }
    for (std::size_t r = 0; r < rows; ++r) {
        const double expected = da_pair_sum(q[r].data(), n);
        if (bits_of(sums[r]) != bits_of(expected)) {
            std::printf("FAIL %s rows=%zu n=%zu budget=%zu row %zu: %016" PRIx64 " != %016" PRIx64
                        "\n",
                        name, rows, n, budget, r, bits_of(sums[r]), bits_of(expected));
            ++failures;
        }
    }
    if (rows < da_lanes && sums[rows] != 12345.0) {
        std::printf("FAIL %s rows=%zu n=%zu: wrote past the last row\n", name, rows, n);
        ++failures;
    }
}

// Rows whose every pair term is NaN or infinite: the sum keeps the payload
// of the first NaN term, which only the operand order of the adds decides.
void check_special_rows(const char* name, std::mt19937_64& rng) {
    for (std::size_t rows = 1; rows <= da_lanes; rows += 5) {
        std::vector<std::vector<double>> q(rows);
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t j = 0; j < 40; ++j) {
                switch ((r + j) % 4) {
                    case 0:
                        q[r].push_back(nan_with_payload(rng(), rng() % 2 == 0));
                        break;
                    case 1:
                        q[r].push_back(-0.0);
                        break;
                    case 2:
                        q[r].push_back(r % 2 == 0 ? INFINITY : -INFINITY);
                        break;
                    default:
                        q[r].push_back(nan_with_payload(r * 1000 + j, true));
                }
            }
        }
        std::vector<const double*> pointers;
        for (const auto& row : q) {
            pointers.push_back(row.data());
        }
        for (const std::size_t budget : {std::size_t{0}, std::size_t{64}, std::size_t{1000}}) {
            double sums[da_lanes];
            if (budget == 0) {
                da_pair_sums(pointers.data(), rows, 40, sums);
            } else {
                da_pair_sums_with_budget(pointers.data(), rows, 40, sums, budget);
            }
            for (std::size_t r = 0; r < rows; ++r) {
                const double expected = da_pair_sum(q[r].data(), 40);
                if (bits_of(sums[r]) != bits_of(expected)) {
                    std::printf("FAIL %s special rows=%zu budget=%zu row %zu: %016" PRIx64
                                " != %016" PRIx64 "\n",
                                name, rows, budget, r, bits_of(sums[r]), bits_of(expected));
                    ++failures;
                }
            }
        }
    }
}

}  // namespace

int main() {
    const CpuLevel widest = cpu_level();
    std::mt19937_64 rng(20261208);
    for (const CpuLevel level : cpu_levels) {
        const char* const name = cpu_level_name(level);
        if (!cpu_level_supported(level)) {
            std::printf("skip %s (not supported here)\n", name);
            continue;
        }
        force_cpu_level(level);
        // Every row count, lengths around the vector widths.
        for (std::size_t rows = 1; rows <= da_lanes; ++rows) {
            for (const std::size_t n : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 33u, 200u}) {
                check(name, rows, n, 0, rng);
            }
        }
        // Random counts and lengths, with cache budgets from one element
        // per block to none needed: the rows are taken one block at a time
        // first and regrouped as the stream shortens, with every split of
        // the blocks into groups.
        for (int trial = 0; trial < 300; ++trial) {
            const std::size_t rows = 1 + rng() % da_lanes;
            const std::size_t n = rng() % 260;
            const std::size_t budgets[] = {1, 64, 700, 2048, 5000, 1u << 20};
            check(name, rows, n, budgets[rng() % 6], rng);
        }
        check_special_rows(name, rng);
        std::printf("ok %s\n", name);
    }
    force_cpu_level(widest);
    // The dispatching entry at the level it starts with, on every row count.
    for (std::size_t rows = 0; rows <= da_lanes; ++rows) {
        std::vector<std::vector<double>> q(rows, std::vector<double>(57));
        std::vector<const double*> pointers;
        for (auto& row : q) {
            for (double& x : row) {
                x = draw(rng);
            }
            pointers.push_back(row.data());
        }
        double sums[da_lanes];
        da_pair_sums(pointers.data(), rows, 57, sums);
        for (std::size_t r = 0; r < rows; ++r) {
            if (bits_of(sums[r]) != bits_of(da_pair_sum(q[r].data(), 57))) {
                std::printf("FAIL da_pair_sums rows=%zu row %zu\n", rows, r);
                ++failures;
            }
        }
    }
    std::printf("ok da_pair_sums\n");

    // Stoppable: cut into slices of i, the same sums; a raised flag gives up.
    for (int round = 0; round < 60; ++round) {
        const std::size_t rows = 1 + rng() % da_lanes;
        const std::size_t n = 2 + rng() % 300;
        const std::size_t slice = 1 + rng() % 40;
        const std::size_t budget = 256 + rng() % 40000;
        std::vector<std::vector<double>> q(rows, std::vector<double>(n));
        std::vector<const double*> pointers;
        for (auto& row : q) {
            for (double& x : row) {
                x = draw(rng);
            }
            pointers.push_back(row.data());
        }
        for (const CpuLevel level : cpu_levels) {
            if (!cpu_level_supported(level)) {
                continue;
            }
            force_cpu_level(level);
            std::atomic<bool> stop{false};
            double sums[da_lanes];
            if (!da_pair_sums_with_budget(pointers.data(), rows, n, sums, budget, &stop, slice)) {
                std::printf("FAIL stoppable gave up without a stop\n");
                ++failures;
            }
            for (std::size_t r = 0; r < rows; ++r) {
                if (bits_of(sums[r]) != bits_of(da_pair_sum(q[r].data(), n))) {
                    std::printf("FAIL stoppable rows=%zu n=%zu slice=%zu row %zu\n", rows, n,
                                slice, r);
                    ++failures;
                }
            }
            stop.store(true);
            if (n > slice + 1 &&
                da_pair_sums_with_budget(pointers.data(), rows, n, sums, budget, &stop, slice)) {
                std::printf("FAIL stoppable ran to the end with the flag raised\n");
                ++failures;
            }
        }
    }
    std::printf("ok stoppable\n");
    return failures == 0 ? 0 : 1;
}
