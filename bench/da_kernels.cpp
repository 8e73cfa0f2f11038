// Times the DA pair-sum kernels and the clock they run at; built and run by
// bench_da_kernels.py, which prints the table. Output: one "key value ..."
// line per figure; each time comes with the clock measured just after it,
// as the core's frequency follows the load on the other cores.
//
//   da_kernels [--previous [--previous-rows R]] [--budget BYTES] [--repeats R] N...
//
// --previous also times the kernels of an earlier revision, compiled with
// their namespace renamed to lexispan_previous (the script extracts them).
#include <sys/resource.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "analyzer/sums/da_pair_sums.hpp"
#include "analyzer/sums/da_sums.hpp"
#include "platform/cpu_dispatch.hpp"

#if defined(LEXISPAN_BENCH_PREVIOUS)
namespace lexispan_previous {
enum class DaKernel { baseline, avx2, avx512 };
void da_pair_sums_with(DaKernel kernel, const double* const* rows, std::size_t count,
                       std::size_t n, double* sums);
}  // namespace lexispan_previous
#endif

namespace {

// This thread's CPU time: on a machine shared with other work, wall time
// would also count the slices in which the thread was not running at all.
struct clock_type {
    using time_point = double;
    static double now() {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
    }
};

double seconds_since(clock_type::time_point start) { return clock_type::now() - start; }

// The core clock, measured: a chain of dependent one-cycle integer adds
// takes one cycle per add on every x86 core of the last twenty years, so
// adds / seconds is the frequency the core actually ran at (turbo
// included), which the TSC does not show.
double measured_hz() {
#if defined(__x86_64__)
    constexpr std::uint64_t rounds = 2'000'000;
    double best = 0.0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::uint64_t value = 0;
        std::uint64_t left = rounds;
        const auto start = clock_type::now();
        asm volatile(
            "1:\n"
            ".rept 100\n"
            "add $1, %0\n"
            ".endr\n"
            "dec %1\n"
            "jnz 1b\n"
            : "+r"(value), "+r"(left));
        const double hz = static_cast<double>(rounds * 100) / seconds_since(start);
        best = hz > best ? hz : best;
    }
    return best;
#else
    return 0.0;
#endif
}

double tsc_hz() {
#if defined(__x86_64__)
    timespec start{};
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    const std::uint64_t t0 = __builtin_ia32_rdtsc();
    double elapsed = 0.0;
    do {
        clock_gettime(CLOCK_MONOTONIC, &end);
        elapsed = static_cast<double>(end.tv_sec - start.tv_sec) +
                  static_cast<double>(end.tv_nsec - start.tv_nsec) * 1e-9;
    } while (elapsed < 0.2);
    const std::uint64_t t1 = __builtin_ia32_rdtsc();
    return static_cast<double>(t1 - t0) / elapsed;
#else
    return 0.0;
#endif
}

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::vector<std::vector<double>> make_rows(std::size_t rows, std::size_t n, std::uint64_t seed) {
    // Normalised frequencies: most small, some zero, as a word's rows are.
    std::mt19937_64 rng(seed);
    std::vector<std::vector<double>> q(rows, std::vector<double>(n));
    for (auto& row : q) {
        for (double& x : row) {
            x = rng() % 4 == 0 ? 0.0 : static_cast<double>(rng() % 100000) * 1e-7;
        }
    }
    return q;
}

template <class Call>
double best_time(int repeats, Call call) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = clock_type::now();
        call();
        const double t = seconds_since(start);
        best = t < best ? t : best;
    }
    return best;
}

bool same_bits(const double* a, const double* b, std::size_t count) {
    return std::memcmp(a, b, count * sizeof(double)) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool previous = false;
    std::size_t budget = 0;
    int repeats = 3;
    std::size_t rows = lexispan::da_lanes;
    std::size_t previous_rows = 16;
    std::string only;
    std::vector<std::size_t> lengths;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg == "--previous") {
            previous = true;
        } else if (arg == "--budget" && a + 1 < argc) {
            budget = std::strtoull(argv[++a], nullptr, 10);
        } else if (arg == "--only" && a + 1 < argc) {
            only = argv[++a];
        } else if (arg == "--previous-rows" && a + 1 < argc) {
            previous_rows = std::strtoull(argv[++a], nullptr, 10);
        } else if (arg == "--rows" && a + 1 < argc) {
            rows = std::strtoull(argv[++a], nullptr, 10);
        } else if (arg == "--repeats" && a + 1 < argc) {
            repeats = std::atoi(argv[++a]);
        } else {
            lengths.push_back(std::strtoull(arg.c_str(), nullptr, 10));
        }
    }
#if !defined(LEXISPAN_BENCH_PREVIOUS)
    if (previous) {
        std::fprintf(stderr, "built without the previous kernels\n");
        return 2;
    }
#endif
    const double hz_before = measured_hz();
    std::printf("clock_hz %.0f\n", hz_before);
    std::printf("tsc_hz %.0f\n", tsc_hz());

    using lexispan::CpuLevel;
    const CpuLevel kernels[] = {CpuLevel::avx512, CpuLevel::avx2, CpuLevel::baseline};
    for (const std::size_t n : lengths) {
        const auto q = make_rows(rows, n, 20261208 + n);
        std::vector<const double*> pointers;
        for (const auto& row : q) {
            pointers.push_back(row.data());
        }
        const int reps = n > 8000 ? 1 : repeats;
        // Reference bits: the scalar sum where it is quick, else the first
        // kernel timed, itself checked against the scalar sum by the tests.
        double reference[lexispan::da_lanes];
        bool have_reference = n <= 4000 && only.empty();
        if (have_reference) {
            double scalar_seconds = 0.0;
            const auto start = clock_type::now();
            for (std::size_t r = 0; r < rows; ++r) {
                reference[r] = lexispan::da_pair_sum(q[r].data(), n);
            }
            scalar_seconds = seconds_since(start);
            std::printf("time scalar %zu %zu %.6f %ld %.0f\n", n, rows, scalar_seconds,
                        peak_rss_kib(), measured_hz());
        }
        for (const CpuLevel level : kernels) {
            const char* const name = lexispan::cpu_level_name(level);
            if (!lexispan::cpu_level_supported(level) || (!only.empty() && only != name)) {
                continue;
            }
            lexispan::force_cpu_level(level);
            double sums[lexispan::da_lanes];
            const double t = best_time(reps, [&] {
                if (budget == 0) {
                    lexispan::da_pair_sums(pointers.data(), rows, n, sums);
                } else {
                    lexispan::da_pair_sums_with_budget(pointers.data(), rows, n, sums, budget);
                }
            });
            if (!have_reference) {
                std::memcpy(reference, sums, sizeof sums);
                have_reference = true;
            }
            if (!same_bits(sums, reference, rows)) {
                std::printf("mismatch %s %zu\n", name, n);
                return 1;
            }
            std::printf("time %s %zu %zu %.6f %ld %.0f\n", name, n, rows, t, peak_rss_kib(),
                        measured_hz());
        }
#if defined(LEXISPAN_BENCH_PREVIOUS)
        if (previous) {
            // The earlier kernels' group (16 rows a call before 24).
            const std::size_t previous_lanes = std::min(previous_rows, lexispan::da_lanes);
            const struct {
                lexispan_previous::DaKernel kernel;
                const char* name;
            } olds[] = {{lexispan_previous::DaKernel::avx512, "previous_avx512"},
                        {lexispan_previous::DaKernel::avx2, "previous_avx2"},
                        {lexispan_previous::DaKernel::baseline, "previous_baseline"}};
            for (const auto& k : olds) {
                if (!lexispan::cpu_level_supported(static_cast<CpuLevel>(k.kernel)) ||
                    (!only.empty() && only != k.name)) {
                    continue;
                }
                double sums[lexispan::da_lanes];
                const double t = best_time(reps, [&] {
                    lexispan_previous::da_pair_sums_with(k.kernel, pointers.data(),
                                                         previous_lanes, n, sums);
                });
                if (!same_bits(sums, reference, previous_lanes)) {
                    std::printf("mismatch %s %zu\n", k.name, n);
                    return 1;
                }
                std::printf("time %s %zu %zu %.6f %ld %.0f\n", k.name, n, previous_lanes, t,
                            peak_rss_kib(), measured_hz());
            }
        }
#endif
        std::fflush(stdout);
    }
    std::printf("clock_hz_after %.0f\n", measured_hz());
    return 0;
}
