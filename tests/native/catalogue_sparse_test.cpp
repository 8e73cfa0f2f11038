// Every catalogue measure must give, bit for bit, on the sparse walk over a
// row's stored entries what it gives on the dense walk over the row made
// dense: random rows with zeros of both signs, negatives, NaNs (payloads and
// signs), infinities, whole and fractional counts, over relative sizes that
// are finite but otherwise anything (zero and negative included).
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "analyzer/measures/catalogue_measures.hpp"
#include "analyzer/measures/measures.hpp"
#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/profile/part_walk.hpp"
#include "analyzer/sums/sparse_walk.hpp"
#include "check.hpp"

using namespace lexispan;

namespace {

int failures = 0;
long checks = 0;

// A stored entry's value; zeros are stored too, as a sparse matrix may.
double draw_value(std::mt19937_64& rng, bool plain) {
    const std::uint64_t pick = rng() % (plain ? 6 : 14);
    switch (pick) {
        case 0: return static_cast<double>(rng() % 5 + 1);
        case 1: return static_cast<double>(rng() % 100000);
        case 2: return static_cast<double>(rng() % 1000) / 7.0;
        case 3: return std::ldexp(1.0, static_cast<int>(rng() % 40));
        case 4: return static_cast<double>(rng() % 64);
        case 5: return 0.0;
        case 6: return -0.0;
        case 7: return -static_cast<double>(rng() % 50) / 3.0;
        case 8: return nan_with_payload(rng(), rng() % 2 == 0);
        case 9: return rng() % 2 == 0 ? INFINITY : -INFINITY;
        case 10: return 1e300;
        case 11: return 5e-324;
        case 12: return -static_cast<double>(rng() % 9);
        default: return 1e-13;
    }
}

double draw_relative(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return 0.0;
        case 1: return -static_cast<double>(rng() % 10) / 64.0;
        case 2: return 1e-300;
        default: return static_cast<double>(rng() % 1000 + 1) / 997.0;
    }
}

void expect_same(double dense, double sparse, const char* what, std::uint64_t seed) {
    ++checks;
    if (bits_of(dense) != bits_of(sparse)) {
        if (++failures <= 20) {
            std::printf("%s differs (seed %" PRIu64 "): dense %a (%016" PRIx64
                        ") sparse %a (%016" PRIx64 ")\n",
                        what, seed, dense, bits_of(dense), sparse, bits_of(sparse));
        }
    }
}

void check_row(std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    const std::size_t n = 1 + rng() % (rng() % 4 == 0 ? 300 : 12);
    const bool plain = rng() % 3 != 0;
    std::vector<double> dense(n, 0.0);
    std::vector<std::uint32_t> parts;
    std::vector<double> values;
    const std::uint64_t density = rng() % 101;
    for (std::size_t i = 0; i < n; ++i) {
        if (rng() % 100 < density) {
            const double x = draw_value(rng, plain);
            dense[i] = x;
            parts.push_back(static_cast<std::uint32_t>(i));
            values.push_back(x);
        }
    }
    std::vector<double> relative(n);
    std::vector<double> sizes(n);
    for (std::size_t i = 0; i < n; ++i) {
        relative[i] = draw_relative(rng);
        sizes[i] = relative[i] * 1000.0;
    }
    std::vector<double> q(n);
    std::vector<double> entry_q(values.size());
    for (std::size_t i = 0; i < n; ++i) {
        q[i] = normalized_frequency(dense[i], sizes[i]);
    }
    for (std::size_t e = 0; e < values.size(); ++e) {
        entry_q[e] = q[parts[e]];
    }
    const DenseWalk whole(dense.data(), q.data(), relative.data(), n);
    const SparseWalk stored(parts.data(), values.data(), entry_q.data(), values.size(),
                            relative.data(), n);
    // The summaries the catalogue reads, then each measure, each walk with
    // its own f.
    const double f = frequency_of(whole);
    const double f_stored = frequency_of(stored);
    expect_same(f, f_stored, "f", seed);
    expect_same(q_total_of(whole), q_total_of(stored), "sum of q", seed);
    expect_same(inverse_document_frequency(range_of(whole), n),
                inverse_document_frequency(range_of(stored), n), "idf", seed);
    expect_same(max_min_spread(whole), max_min_spread(stored), "maxmin", seed);
    expect_same(zhang_dc(whole, f), zhang_dc(stored, f_stored), "zhang_dc", seed);
    expect_same(kromer_ur(whole), kromer_ur(stored), "kromer_ur", seed);
    expect_same(chi_squared(whole, f), chi_squared(stored, f_stored), "chi_squared", seed);
    expect_same(rosengren_kf(whole, f), rosengren_kf(stored, f_stored), "rosengren_kf", seed);
    const auto d_eq = [n](const auto& walk, double row_f) {
        const double m = mean_of(row_f, n);
        return juilland_d_equal_parts_from_vc(*vc_population(walk, row_f, m), row_f, m, n);
    };
    expect_same(d_eq(whole, f), d_eq(stored, f_stored), "juilland_d_eq", seed);
}

}  // namespace

int main() {
    for (std::uint64_t seed = 1; seed <= 200000; ++seed) {
        check_row(seed);
    }
    if (failures != 0) {
        std::printf("%d of %ld checks failed\n", failures, checks);
        return 1;
    }
    std::printf("ok %ld checks\n", checks);
    return 0;
}
