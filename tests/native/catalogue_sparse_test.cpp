// Every sparse form of a catalogue measure must give, bit for bit, what its
// dense form gives on the same row made dense: random rows with zeros of
// both signs, negatives, NaNs (payloads and signs), infinities, whole and
// fractional counts, over relative sizes that are finite but otherwise
// anything (zero and negative included).
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "analyzer/measures/catalogue_measures.hpp"
#include "analyzer/profile/corpus_profile.hpp"
#include "analyzer/evaluation/row_evaluation.hpp"
#include "analyzer/measures/measures.hpp"
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
    PartTable table;
    table.relative.resize(n);
    table.sizes.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        table.relative[i] = draw_relative(rng);
        table.sizes[i] = table.relative[i] * 1000.0;
    }
    table.total = 1000.0;
    // f is the profile's, whichever form is asked: the caller supplies it.
    CorpusProfile profile;
    refill_corpus_profile(profile, dense.data(), n, table.sizes, table.relative, table.total);
    const double f = profile.total_frequency;
    const std::size_t k = values.size();

    expect_same(inverse_document_frequency(get_range(profile), n),
                inverse_document_frequency(positive_count(values.data(), k), n), "idf", seed);
    expect_same(max_min_spread(dense.data(), n), max_min_spread_sparse(values.data(), k, n),
                "maxmin", seed);
    expect_same(zhang_dc(dense.data(), n, f), zhang_dc_sparse(values.data(), k, n, f),
                "zhang_dc", seed);
    expect_same(kromer_ur(dense.data(), n), kromer_ur_sparse(values.data(), k), "kromer_ur",
                seed);
    expect_same(chi_squared(dense.data(), table.relative.data(), n, f),
                chi_squared_sparse(parts.data(), values.data(), k, table.relative.data(), n, f),
                "chi_squared", seed);
    // The record's VC handed in, as the sparse row path does.
    const double vc = get_vc_population(profile).value_or(0.0);
    const double m = mean_frequency(profile);
    expect_same(juilland_d_equal_parts(profile), juilland_d_equal_parts_from_vc(vc, f, m, n),
                "juilland_d_eq", seed);
    expect_same(rosengren_kf(dense.data(), table.relative.data(), n, f),
                rosengren_kf_sparse(parts.data(), values.data(), k, table.relative.data(), f),
                "rosengren_kf", seed);
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
